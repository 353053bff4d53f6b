#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "quillrun/fixed_field.hpp"
#include "quillrun/record_rules.hpp"

namespace quillrun {
namespace {

using namespace std::string_literals;

constexpr auto kNamed = [](const auto& case_info) { return std::string(case_info.param.name); };

// A quoted plain text, for expected messages (no byte here needs escaping).
std::string q(const std::string& text) { return "\"" + text + "\""; }

const std::string kE = "\xc3\xa9";  // é, two bytes

// ---------------------------------------------------------------- variant paths

struct PathCase {
  const char* name;
  std::string path;
  std::optional<std::string> error;  // none: the path passes
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class VariantPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(VariantPath, FirstFailingRuleDecides) {
  const auto& c = GetParam();
  const auto result = check_variant_path(c.path);
  ASSERT_EQ(result.has_value(), !c.error.has_value());
  if (c.error) {
    EXPECT_EQ(result.error().message(), *c.error);
  }
}

std::string path_error(const std::string& path, const std::string& why) {
  return "invalid event marker variant path " + q(path) + ": " + why;
}
const std::string kOutside = "contains characters outside ASCII alphanumeric, hyphen, underscore, and slash";

INSTANTIATE_TEST_SUITE_P(
    Rules, VariantPath,
    ::testing::Values(
        PathCase{"single", "a", std::nullopt},
        PathCase{"hierarchy", "power/boot", std::nullopt},
        PathCase{"hyphen_underscore", "-_-", std::nullopt},
        PathCase{"mixed", "Power-2/boot_B/x", std::nullopt},
        PathCase{"at_limit_255", std::string(255, 'a'), std::nullopt},
        PathCase{"empty", "", path_error("", "path is empty")},
        PathCase{"leading", "/a", path_error("/a", "starts with '/'")},
        PathCase{"lone_slash", "/", path_error("/", "starts with '/'")},
        PathCase{"leading_and_trailing", "/a/", path_error("/a/", "starts with '/'")},
        PathCase{"trailing", "a/", path_error("a/", "ends with '/'")},
        PathCase{"trailing_before_double", "a//", path_error("a//", "ends with '/'")},
        PathCase{"double", "a//b", "invalid event marker variant path \"a//b\": contains '//'"},
        PathCase{"past_limit_256", std::string(256, 'a'),
                 path_error(std::string(256, 'a'), "256 bytes, past the 255 bytes the field holds")},
        PathCase{"long_with_double_slash", std::string(150, 'a') + "//" + std::string(148, 'b'),
                 path_error(std::string(150, 'a') + "//" + std::string(148, 'b'), "contains '//'")},
        PathCase{"long_with_blank", std::string(150, 'a') + " " + std::string(149, 'b'),
                 path_error(std::string(150, 'a') + " " + std::string(149, 'b'),
                            "300 bytes, past the 255 bytes the field holds")},
        PathCase{"multibyte_straddles_limit", std::string(254, 'a') + kE,
                 path_error(std::string(254, 'a') + kE, "256 bytes, past the 255 bytes the field holds")},
        PathCase{"multibyte_inside_limit", std::string(253, 'a') + kE,
                 path_error(std::string(253, 'a') + kE, kOutside)},
        PathCase{"blank", "a b", path_error("a b", kOutside)},
        PathCase{"full_stop", "a.b", path_error("a.b", kOutside)},
        PathCase{"non_ascii_letter", "caf" + kE, path_error("caf" + kE, kOutside)},
        PathCase{"nul", "a\0b"s, "invalid event marker variant path \"a\\0b\": " + kOutside}),
    kNamed);

// ---------------------------------------------------------------- fixed field

TEST(CheckFieldText, LimitIsInclusive) {
  EXPECT_TRUE(check_field_text(std::string(255, 'x'), 255).has_value());
  EXPECT_TRUE(check_field_text("", 0).has_value());
  const auto r = check_field_text(std::string(256, 'x'), 255);
  ASSERT_FALSE(r.has_value());
  const auto& e = std::get<field_error::TooLong>(r.error().value);
  EXPECT_EQ(e.length, 256u);
  EXPECT_EQ(e.limit, 255u);
  EXPECT_EQ(e.text, std::string(256, 'x'));
}

TEST(CheckFieldText, NulBeforeLength) {
  const std::string text = "ab\0"s + std::string(300, 'x');
  const auto r = check_field_text(text, 255);
  ASSERT_FALSE(r.has_value());
  const auto& e = std::get<field_error::NulByte>(r.error().value);
  EXPECT_EQ(e.offset, 2u);
  EXPECT_EQ(e.text, text);
}

// ---------------------------------------------------------------- meta

struct MetaCase {
  const char* name;
  std::optional<std::string> title, device, notes, identity;
  std::optional<TravelModeArg> travel_mode;
  std::optional<std::string> error;
};
void PrintTo(const MetaCase& c, std::ostream* os) { *os << c.name; }

class MetaRules : public ::testing::TestWithParam<MetaCase> {};

TEST_P(MetaRules, FirstNulDecides) {
  const auto& c = GetParam();
  auto result = new_meta(c.title, c.device, c.notes, c.identity, c.travel_mode);
  ASSERT_EQ(result.has_value(), !c.error.has_value());
  if (c.error) {
    EXPECT_EQ(result.error().message(), *c.error);
    return;
  }
  const Meta& m = *result;
  EXPECT_EQ(m.title, c.title);
  EXPECT_EQ(m.device, c.device);
  EXPECT_EQ(m.notes, c.notes);
  EXPECT_EQ(m.identity, c.identity);
  EXPECT_EQ(m.travel_mode, c.travel_mode);
  EXPECT_FALSE(m.sdk_version.has_value());
  EXPECT_FALSE(m.sdk_git_commit.has_value());
  EXPECT_FALSE(m.sdk_commit_time.has_value());
}

const std::nullopt_t none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Rules, MetaRules,
    ::testing::Values(
        MetaCase{"all_absent", none, none, none, none, none, none},
        MetaCase{"empty_texts_stay", ""s, ""s, ""s, ""s, TravelModeArg{""s}, none},
        MetaCase{"full", "Drive"s, "rx-1"s, "caf" + kE, "me"s, TravelModeArg{TravelMode::Aircraft}, none},
        MetaCase{"free_mode", none, none, none, none, TravelModeArg{"Hovercraft"s}, none},
        MetaCase{"title_and_device", "ab\0c"s, "xy\0z"s, none, none, none,
                 "the title value has a nul byte at offset 2"},
        MetaCase{"device", "fine"s, "\0"s, "a\0"s, none, none, "the device value has a nul byte at offset 0"},
        MetaCase{"notes", none, none, "abc\0\0"s, "\0"s, none, "the notes value has a nul byte at offset 3"},
        MetaCase{"identity", none, none, none, "i\0"s, TravelModeArg{"\0"s},
                 "the identity value has a nul byte at offset 1"},
        MetaCase{"travel_mode", none, none, none, none, TravelModeArg{"boa\0t"s},
                 "the travel mode value has a nul byte at offset 3"}),
    kNamed);

// ---------------------------------------------------------------- event markers

const Instant kT{19'000, 3'600, 500};

struct MarkerCase {
  const char* name;
  std::string path;
  std::optional<std::string> annotation;
  std::optional<std::string> error;
};
void PrintTo(const MarkerCase& c, std::ostream* os) { *os << c.name; }

class EventMarkerRules : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(EventMarkerRules, FirstFailingRuleDecides) {
  const auto& c = GetParam();
  auto result = new_event_marker(c.path, kT, c.annotation);
  ASSERT_EQ(result.has_value(), !c.error.has_value());
  if (c.error) {
    EXPECT_EQ(result.error().message(), *c.error);
    return;
  }
  EXPECT_EQ(result->variant_path, c.path);
  EXPECT_EQ(result->sys_time, kT);
  EXPECT_EQ(result->annotation, c.annotation);
}

const std::string kAnn = "invalid event marker annotation: ";

INSTANTIATE_TEST_SUITE_P(
    Rules, EventMarkerRules,
    ::testing::Values(
        MarkerCase{"no_annotation", "power/boot", none, none},
        MarkerCase{"annotation_511", "a", std::string(511, 'x'), none},
        MarkerCase{"multibyte_at_511", "a", std::string(509, 'x') + kE, none},
        MarkerCase{"annotation_512", "a", std::string(512, 'x'),
                   kAnn + q(std::string(512, 'x')) + " is 512 bytes, past the 511 bytes the field holds"},
        MarkerCase{"multibyte_straddles_512", "a", std::string(510, 'x') + kE,
                   kAnn + q(std::string(510, 'x') + kE) + " is 512 bytes, past the 511 bytes the field holds"},
        MarkerCase{"nul_before_length", "a", "a\0"s + std::string(600, 'x'),
                   kAnn + "\"a\\0" + std::string(600, 'x') + "\" has a nul byte at offset 1"},
        MarkerCase{"path_before_annotation", "a//b", "\0"s,
                   "invalid event marker variant path \"a//b\": contains '//'"},
        MarkerCase{"empty_path", "", none, "invalid event marker variant path \"\": path is empty"}),
    kNamed);

TEST(EventMarkerRules, EmptyAnnotationBecomesNone) {
  auto result = new_event_marker("a", kT, ""s);
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->annotation.has_value());
}

TEST(EventMarkerRules, ErrorKinds) {
  EXPECT_TRUE(new_event_marker("/a", kT, none).error().is<event_marker_error::VariantPath>());
  EXPECT_TRUE(new_event_marker("a", kT, "\0"s).error().is<event_marker_error::Annotation>());
}

// ---------------------------------------------------------------- styles

struct StyleCase {
  const char* name;
  std::string path;
  StyleIconArg icon;
  std::optional<std::string> color;
  std::optional<std::string> error;
};
void PrintTo(const StyleCase& c, std::ostream* os) { *os << c.name; }

class StyleRules : public ::testing::TestWithParam<StyleCase> {};

TEST_P(StyleRules, FirstFailingRuleDecides) {
  const auto& c = GetParam();
  auto result = new_event_marker_style(c.path, c.icon, c.color);
  ASSERT_EQ(result.has_value(), !c.error.has_value());
  if (c.error) {
    EXPECT_EQ(result.error().message(), *c.error);
  }
}

std::string color_error(const std::string& shown) {
  return "invalid event marker color " + shown + ": expected the #RRGGBB form";
}
const std::string kIcon = "invalid event marker icon name: ";

INSTANTIATE_TEST_SUITE_P(
    Rules, StyleRules,
    ::testing::Values(
        StyleCase{"upper_hex", "a", {}, "#FF9900"s, none},
        StyleCase{"lower_hex", "a", {}, "#ff9900"s, none},
        StyleCase{"no_hash", "a", {}, "FF9900"s, color_error("\"FF9900\"")},
        StyleCase{"five_digits", "a", {}, "#FF990"s, color_error("\"#FF990\"")},
        StyleCase{"not_hex", "a", {}, "#GG0000"s, color_error("\"#GG0000\"")},
        StyleCase{"seven_digits", "a", {}, "#FF99000"s, color_error("\"#FF99000\"")},
        StyleCase{"leading_blank", "a", {}, " #FF9900"s, color_error("\" #FF9900\"")},
        StyleCase{"named_color", "a", {}, "red\n"s, color_error("\"red\\n\"")},
        StyleCase{"icon_name_31", "a", std::string(31, 'i'), none, none},
        StyleCase{"icon_name_32", "a", std::string(32, 'i'), none,
                  kIcon + q(std::string(32, 'i')) + " is 32 bytes, past the 31 bytes the field holds"},
        StyleCase{"icon_multibyte_straddles_32", "a", std::string(30, 'i') + kE, none,
                  kIcon + q(std::string(30, 'i') + kE) + " is 32 bytes, past the 31 bytes the field holds"},
        StyleCase{"icon_nul_before_length", "a", "p\0"s + std::string(40, 'i'), none,
                  kIcon + "\"p\\0" + std::string(40, 'i') + "\" has a nul byte at offset 1"},
        StyleCase{"path_before_icon", "a/", "\0"s, "bad"s, "invalid event marker variant path \"a/\": ends with '/'"},
        StyleCase{"icon_before_color", "a", "\0"s, "bad"s, kIcon + "\"\\0\" has a nul byte at offset 0"}),
    kNamed);

TEST(StyleRules, ColorKeepsLetterCase) {
  auto style = new_event_marker_style("a", {}, "#aBc0F9"s);
  ASSERT_TRUE(style.has_value());
  EXPECT_EQ(style->color, (ColorHex{ColorHex::Kind::Valid, "#aBc0F9"}));
}

TEST(StyleRules, EmptyOrNoColorIsAbsent) {
  EXPECT_EQ(new_event_marker_style("a", {}, ""s)->color, ColorHex{});
  EXPECT_EQ(new_event_marker_style("a", {}, none)->color, ColorHex{});
}

TEST(StyleRules, IconStates) {
  EXPECT_EQ(new_event_marker_style("a", {}, none)->icon, StyleIcon::none());
  EXPECT_EQ(new_event_marker_style("a", ""s, none)->icon, StyleIcon::none());
  const auto lost = new_event_marker_style("a", MarkerIcon::SatelliteLost, none)->icon;
  EXPECT_EQ(lost.kind, StyleIcon::Kind::Known);
  EXPECT_EQ(static_cast<int>(lost.code), 8);
  EXPECT_EQ(lost.name(), "satellite_lost");
  EXPECT_EQ(new_event_marker_style("a", "wrench"s, none)->icon, StyleIcon::known(MarkerIcon::Wrench));
  EXPECT_EQ(new_event_marker_style("a", "Pin"s, none)->icon, StyleIcon::foreign("Pin"));
}

TEST(StyleRules, ErrorKinds) {
  EXPECT_TRUE(new_event_marker_style("", {}, none).error().is<event_marker_style_error::VariantPath>());
  EXPECT_TRUE(new_event_marker_style("a", "\0"s, none).error().is<event_marker_style_error::IconName>());
  const auto bad = new_event_marker_style("a", {}, "#12345"s);
  ASSERT_TRUE(bad.error().is<event_marker_style_error::Color>());
  EXPECT_EQ(std::get<event_marker_style_error::Color>(bad.error().value).text, "#12345");
}

TEST(ParseIconName, KnownNoneOrForeign) {
  EXPECT_EQ(parse_icon_name(""), StyleIcon::none());
  EXPECT_EQ(parse_icon_name("pin"), StyleIcon::known(MarkerIcon::Pin));
  EXPECT_EQ(parse_icon_name("satellite_lost"), StyleIcon::known(MarkerIcon::SatelliteLost));
  EXPECT_EQ(parse_icon_name("Pin"), StyleIcon::foreign("Pin"));
  EXPECT_EQ(parse_icon_name("pin "), StyleIcon::foreign("pin "));
  EXPECT_EQ(parse_icon_name(" pin"), StyleIcon::foreign(" pin"));
  EXPECT_EQ(parse_icon_name("rocket"), StyleIcon::foreign("rocket"));
}

TEST(ParseColorHex, AbsentValidOrOther) {
  EXPECT_EQ(parse_color_hex(""), ColorHex{});
  EXPECT_EQ(parse_color_hex("#ff9900"), (ColorHex{ColorHex::Kind::Valid, "#ff9900"}));
  EXPECT_EQ(parse_color_hex("#FF9900"), (ColorHex{ColorHex::Kind::Valid, "#FF9900"}));
  EXPECT_EQ(parse_color_hex("rgb(1,2,3)"), (ColorHex{ColorHex::Kind::Other, "rgb(1,2,3)"}));
  EXPECT_EQ(parse_color_hex("#FF99"), (ColorHex{ColorHex::Kind::Other, "#FF99"}));
}

// ---------------------------------------------------------------- channels

const Unit kDeg{"deg", UnitBase::Deg, std::nullopt};
const Unit kMetre{"m", UnitBase::M, std::nullopt};

struct ChannelArgs {
  std::string name = "speed";
  std::optional<ChannelUnit> unit;
  std::optional<double> period;
  std::optional<std::string> description;
  std::optional<std::vector<std::string>> components;
  std::size_t times = 2;
  std::size_t values = 2;
};

Result<Channel, ChannelError> make(const ChannelArgs& a) {
  std::vector<Instant> times;
  for (std::size_t i = 0; i < a.times; ++i) times.push_back(Instant{0, static_cast<std::uint32_t>(i), 0});
  return new_channel(a.name, a.unit, a.period, a.description, a.components, std::move(times),
                     std::vector<double>(a.values, 1.5));
}

struct ChannelCase {
  const char* name;
  ChannelArgs args;
  std::optional<std::string> error;
};
void PrintTo(const ChannelCase& c, std::ostream* os) { *os << c.name; }

class ChannelRules : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(ChannelRules, FirstFailingRuleDecides) {
  const auto& c = GetParam();
  const auto result = make(c.args);
  ASSERT_EQ(result.has_value(), !c.error.has_value()) << (result ? "" : result.error().message());
  if (c.error) {
    EXPECT_EQ(result.error().message(), *c.error);
  }
}

ChannelArgs args(auto&& edit) {
  ChannelArgs a;
  edit(a);
  return a;
}

const std::string kIdent =
    ": must be a lowercase identifier (a lowercase letter or underscore, then lowercase letters, digits, or "
    "underscores)";
const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();
using Labels = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Rules, ChannelRules,
    ::testing::Values(
        ChannelCase{"plain", {}, none},
        ChannelCase{"underscore_name", args([](auto& a) { a.name = "_x"; }), none},
        ChannelCase{"digit_name", args([](auto& a) { a.name = "imu_2"; }), none},
        ChannelCase{"upper_name", args([](auto& a) { a.name = "Speed"; }),
                    "invalid channel name \"Speed\"" + kIdent},
        ChannelCase{"digit_first", args([](auto& a) { a.name = "2x"; }), "invalid channel name \"2x\"" + kIdent},
        ChannelCase{"hyphen", args([](auto& a) { a.name = "a-b"; }), "invalid channel name \"a-b\"" + kIdent},
        ChannelCase{"empty_name", args([](auto& a) { a.name = ""; }), "invalid channel name \"\"" + kIdent},
        ChannelCase{"name_before_all", args([](auto& a) {
                      a.name = "X";
                      a.description = "\0"s;
                      a.unit = ChannelUnit::legacy("km/h");
                      a.components = Labels{};
                      a.values = 7;
                      a.period = -1.0;
                    }),
                    "invalid channel name \"X\"" + kIdent},
        ChannelCase{"description_nul", args([](auto& a) {
                      a.description = "ok\0"s;
                      a.unit = ChannelUnit::legacy("km/h");
                    }),
                    "channel \"speed\": the description has a nul byte at offset 2"},
        ChannelCase{"legacy_before_components", args([](auto& a) {
                      a.unit = ChannelUnit::legacy("km / h");
                      a.components = Labels{};
                    }),
                    "channel \"speed\": legacy unit metadata \"km / h\" is not valid writer input"},
        ChannelCase{"no_components", args([](auto& a) { a.components = Labels{}; }),
                    "channel \"speed\": a vector channel needs at least one component"},
        ChannelCase{"duplicate", args([](auto& a) {
                      a.components = Labels{"x", "y", "x"};
                      a.values = 6;
                    }),
                    "channel \"speed\": duplicate component label \"x\""},
        ChannelCase{"invalid_label_first", args([](auto& a) {
                      a.components = Labels{"x", "Y", "x"};
                      a.values = 6;
                    }),
                    "channel \"speed\": invalid component label \"Y\": must be a lowercase identifier"},
        ChannelCase{"components_before_count", args([](auto& a) {
                      a.components = Labels{"x", "x"};
                      a.values = 1;
                    }),
                    "channel \"speed\": duplicate component label \"x\""},
        ChannelCase{"vector_12", args([](auto& a) {
                      a.components = Labels{"x", "y", "z"};
                      a.times = 4;
                      a.values = 12;
                    }),
                    none},
        ChannelCase{"vector_11", args([](auto& a) {
                      a.components = Labels{"x", "y", "z"};
                      a.times = 4;
                      a.values = 11;
                    }),
                    "channel \"speed\": expected 12 values but got 11"},
        ChannelCase{"scalar_4", args([](auto& a) {
                      a.times = 4;
                      a.values = 4;
                    }),
                    none},
        ChannelCase{"scalar_5", args([](auto& a) {
                      a.times = 4;
                      a.values = 5;
                    }),
                    "channel \"speed\": expected 4 values but got 5"},
        ChannelCase{"empty_channel", args([](auto& a) {
                      a.times = 0;
                      a.values = 0;
                      a.components = Labels{"x"};
                    }),
                    none},
        ChannelCase{"empty_scalar_channel", args([](auto& a) {
                      a.times = 0;
                      a.values = 0;
                    }),
                    none},
        ChannelCase{"empty_scalar_channel_with_a_value", args([](auto& a) {
                      a.times = 0;
                      a.values = 1;
                    }),
                    "channel \"speed\": expected 0 values but got 1"},
        ChannelCase{"count_before_period", args([](auto& a) {
                      a.values = 3;
                      a.period = kNan;
                    }),
                    "channel \"speed\": expected 2 values but got 3"},
        ChannelCase{"period_deg", args([](auto& a) {
                      a.period = 360.0;
                      a.unit = ChannelUnit::recognized(kDeg);
                    }),
                    none},
        ChannelCase{"period_subnormal", args([](auto& a) {
                      a.period = std::numeric_limits<double>::denorm_min();
                      a.unit = ChannelUnit::recognized(kDeg);
                    }),
                    none},
        ChannelCase{"period_metre", args([](auto& a) {
                      a.period = 360.0;
                      a.unit = ChannelUnit::recognized(kMetre);
                    }),
                    "channel \"speed\": wrap period requires a recognized angular unit"},
        ChannelCase{"period_no_unit", args([](auto& a) { a.period = 360.0; }),
                    "channel \"speed\": wrap period requires a recognized angular unit"},
        ChannelCase{"period_custom_deg", args([](auto& a) {
                      a.period = 360.0;
                      a.unit = ChannelUnit::custom("deg");
                    }),
                    "channel \"speed\": wrap period requires a recognized angular unit"},
        ChannelCase{"period_zero", args([](auto& a) {
                      a.period = 0.0;
                      a.unit = ChannelUnit::recognized(kDeg);
                    }),
                    "channel \"speed\": wrap period must be finite and positive"},
        ChannelCase{"period_negative_zero", args([](auto& a) {
                      a.period = -0.0;
                      a.unit = ChannelUnit::recognized(kDeg);
                    }),
                    "channel \"speed\": wrap period must be finite and positive"},
        ChannelCase{"period_negative", args([](auto& a) { a.period = -1.0; }),
                    "channel \"speed\": wrap period must be finite and positive"},
        ChannelCase{"period_nan", args([](auto& a) {
                      a.period = kNan;
                      a.unit = ChannelUnit::recognized(kDeg);
                    }),
                    "channel \"speed\": wrap period must be finite and positive"},
        ChannelCase{"period_infinite", args([](auto& a) {
                      a.period = kInf;
                      a.unit = ChannelUnit::recognized(kDeg);
                    }),
                    "channel \"speed\": wrap period must be finite and positive"},
        // The period's own test comes before the unit's, whatever the unit.
        ChannelCase{"period_nan_no_unit", args([](auto& a) { a.period = kNan; }),
                    "channel \"speed\": wrap period must be finite and positive"},
        ChannelCase{"period_infinite_metre", args([](auto& a) {
                      a.period = kInf;
                      a.unit = ChannelUnit::recognized(kMetre);
                    }),
                    "channel \"speed\": wrap period must be finite and positive"},
        ChannelCase{"period_zero_custom", args([](auto& a) {
                      a.period = 0.0;
                      a.unit = ChannelUnit::custom("deg");
                    }),
                    "channel \"speed\": wrap period must be finite and positive"},
        ChannelCase{"period_negative_infinite", args([](auto& a) {
                      a.period = -kInf;
                      a.unit = ChannelUnit::recognized(kDeg);
                    }),
                    "channel \"speed\": wrap period must be finite and positive"},
        ChannelCase{"legacy_without_period", args([](auto& a) { a.unit = ChannelUnit::legacy("deg"); }),
                    "channel \"speed\": legacy unit metadata \"deg\" is not valid writer input"}),
    kNamed);

TEST(ChannelRules, RecordHoldsInputsUnchanged) {
  const std::vector<Instant> times = {Instant{5, 0, 0}, Instant{1, 0, 0}, Instant{1, 0, 0}};
  const std::vector<double> values = {kNan, kInf, -kInf, 0.0, 1.0, 2.0};
  auto result = new_channel("heading", ChannelUnit::recognized(kDeg), 360.0, "compass"s, Labels{"a", "b"}, times,
                            values);
  ASSERT_TRUE(result.has_value());
  const Channel& ch = *result;
  EXPECT_EQ(ch.name, "heading");
  EXPECT_EQ(ch.times, times);
  ASSERT_EQ(ch.values.size(), 6u);
  EXPECT_TRUE(std::isnan(ch.values[0]));
  EXPECT_EQ(ch.values[1], kInf);
  EXPECT_EQ(ch.values[5], 2.0);
  EXPECT_EQ(ch.components, (Labels{"a", "b"}));
  EXPECT_EQ(ch.unit, ChannelUnit::recognized(kDeg));
  EXPECT_EQ(ch.period_deg, 360.0);
  EXPECT_EQ(ch.description, "compass");
  EXPECT_EQ(ch.width(), 2u);
}

TEST(ChannelRules, ScalarChannelHoldsNoComponents) {
  auto result = new_channel("speed", std::nullopt, std::nullopt, std::nullopt, std::nullopt, {Instant{}}, {1.0});
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->components.empty());
  EXPECT_EQ(result->width(), 1u);
}

// ---------------------------------------------------------------- times of fixes and reports

TEST(RecordTimes, EitherTimeOrBoth) {
  const Instant gps{10, 1, 0};
  const Instant sys{10, 2, 0};
  EXPECT_EQ(*record_times(gps, std::nullopt), Timestamps::receiver_only(gps));
  EXPECT_EQ(*record_times(std::nullopt, sys), Timestamps::host_only(sys));
  EXPECT_EQ(*record_times(gps, sys), Timestamps::both(gps, sys));
  const auto neither = record_times(std::nullopt, std::nullopt);
  ASSERT_FALSE(neither.has_value());
  EXPECT_EQ(neither.error().message(), "provide gps_time or sys_time");
}

TEST(RecordTimes, FixAndReportNeedOne) {
  EXPECT_EQ(new_nav_fix(1.0, 2.0, std::nullopt, std::nullopt, 3.0, 4.0, 5.0).error().message(),
            "provide gps_time or sys_time");
  EXPECT_EQ(new_satellite_report({Satellite{}}, std::nullopt, std::nullopt).error().message(),
            "provide gps_time or sys_time");
  const Instant sys{3, 4, 5};
  const auto fix = new_nav_fix(1.0, 2.0, std::nullopt, sys, std::nullopt, 4.0, std::nullopt);
  ASSERT_TRUE(fix.has_value());
  EXPECT_EQ(*fix, (NavFix{1.0, 2.0, Timestamps::host_only(sys), std::nullopt, 4.0, std::nullopt}));
  const auto report = new_satellite_report({Satellite{2, 7, true, 1.0f, std::nullopt, 40.0f}}, sys, std::nullopt);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->times, Timestamps::receiver_only(sys));
  ASSERT_EQ(report->tracked.size(), 1u);
  EXPECT_EQ(report->tracked[0].prn, 7u);
}

// ---------------------------------------------------------------- annotation label

struct LabelCase {
  const char* name;
  std::optional<std::string> label;
  std::optional<std::string> stored;  // when accepted
  std::optional<std::string> error;
};
void PrintTo(const LabelCase& c, std::ostream* os) { *os << c.name; }

class AnnotationLabel : public ::testing::TestWithParam<LabelCase> {};

TEST_P(AnnotationLabel, FieldRulesOfMarkersLabel) {
  const auto& c = GetParam();
  const auto result = new_annotation(Instant{1, 2, 3}, c.label, MarkerIcon::Gear);
  ASSERT_EQ(result.has_value(), !c.error.has_value());
  if (c.error) {
    EXPECT_EQ(result.error().message(), *c.error);
    return;
  }
  EXPECT_EQ(result->label, c.stored);
  EXPECT_EQ(result->time, (Instant{1, 2, 3}));
  EXPECT_EQ(result->icon, static_cast<std::uint8_t>(MarkerIcon::Gear));
  EXPECT_FALSE(result->icon_unknown);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AnnotationLabel,
    ::testing::Values(
        LabelCase{"none", std::nullopt, std::nullopt, std::nullopt},
        LabelCase{"empty_is_none", ""s, std::nullopt, std::nullopt},
        LabelCase{"at_limit_255", std::string(255, 'a'), std::string(255, 'a'), std::nullopt},
        LabelCase{"multibyte_at_limit", std::string(127, 'a') + kE + std::string(126, 'b'),
                  std::string(127, 'a') + kE + std::string(126, 'b'), std::nullopt},
        LabelCase{"past_limit_256", std::string(256, 'a'), std::nullopt,
                  "markers/label: " + q(std::string(256, 'a')) + " is 256 bytes, past the 255 bytes the field holds"},
        LabelCase{"nul_before_length", "a\0"s + std::string(300, 'b'), std::nullopt,
                  "markers/label: " + q("a\\0" + std::string(300, 'b')) + " has a nul byte at offset 1"}),
    kNamed);

// ---------------------------------------------------------------- channel units

struct UnitCase {
  const char* name;
  std::string label;
  std::optional<ChannelUnit> unit;  // when accepted
  std::optional<std::string> error;
};
void PrintTo(const UnitCase& c, std::ostream* os) { *os << c.name; }

class CustomUnit : public ::testing::TestWithParam<UnitCase> {};

TEST_P(CustomUnit, FirstFailingRuleDecides) {
  const auto& c = GetParam();
  const auto result = new_custom_unit(c.label);
  ASSERT_EQ(result.has_value(), !c.error.has_value());
  if (c.error) {
    EXPECT_EQ(result.error().message(), *c.error);
  } else {
    EXPECT_EQ(*result, *c.unit);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CustomUnit,
    ::testing::Values(
        UnitCase{"trimmed", "  rpm\t", ChannelUnit::custom("rpm"), std::nullopt},
        UnitCase{"inner_space_kept", " beats per minute ", ChannelUnit::custom("beats per minute"), std::nullopt},
        UnitCase{"nbsp_inside_kept", "a\xc2\xa0" "b", ChannelUnit::custom("a\xc2\xa0" "b"), std::nullopt},
        UnitCase{"empty", "", std::nullopt, "a custom channel unit cannot be empty"},
        UnitCase{"white_space_only", " \t\n ", std::nullopt, "a custom channel unit cannot be empty"},
        UnitCase{"c0_control", "a\x01" "b", std::nullopt, "a custom channel unit cannot contain control characters"},
        UnitCase{"del", "a\x7f", std::nullopt, "a custom channel unit cannot contain control characters"},
        UnitCase{"c1_control", "x\xc2\x85" "x", std::nullopt, "a custom channel unit cannot contain control characters"},
        UnitCase{"control_before_catalog", "km\x01", std::nullopt,
                 "a custom channel unit cannot contain control characters"},
        UnitCase{"catalog_named_trimmed", "  kph ", std::nullopt,
                 "channel unit \"kph\" is recognized; use ChannelUnit::recognized instead"}),
    kNamed);

TEST(RecognizedUnit, CatalogOrRefusalWithTheLabelAsGiven) {
  const auto unit = new_recognized_unit(" km/h ");
  ASSERT_TRUE(unit.has_value());
  EXPECT_EQ(unit->kind, ChannelUnit::Kind::Recognized);
  EXPECT_EQ(unit->label(), "km/h");
  const auto refused = new_recognized_unit(" furlong ");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(),
            "unrecognized channel unit \" furlong \"; use ChannelUnit::custom for a display-only unit");
}

struct ControlCase {
  const char* name;
  std::string text;
  bool control;
};
void PrintTo(const ControlCase& c, std::ostream* os) { *os << c.name; }

class ControlCharacter : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlCharacter, C0DelAndC1) {
  EXPECT_EQ(has_control_character(GetParam().text), GetParam().control);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ControlCharacter,
    ::testing::Values(ControlCase{"empty", "", false}, ControlCase{"plain", "km/h", false},
                      ControlCase{"nul", "\0"s, true}, ControlCase{"unit_separator", "\x1f", true},
                      ControlCase{"space", " ", false}, ControlCase{"tilde", "~", false},
                      ControlCase{"del", "\x7f", true}, ControlCase{"c1_first", "\xc2\x80", true},
                      ControlCase{"c1_last", "\xc2\x9f", true}, ControlCase{"nbsp", "\xc2\xa0", false},
                      ControlCase{"lone_c2_at_end", "a\xc2", false}, ControlCase{"e_acute", kE, false},
                      ControlCase{"c1_bytes_not_after_c2", "\xc3\x85", false}),
    kNamed);

// ---------------------------------------------------------------- lookups by name

TEST(LookupByName, LowercaseNamesExactToTheByte) {
  EXPECT_EQ(*constellation_from_name("gps"), Constellation::Gps);
  EXPECT_EQ(*constellation_from_name("beidou"), Constellation::BeiDou);
  EXPECT_EQ(*constellation_from_name("qzss"), Constellation::Qzss);
  EXPECT_EQ(*marker_icon_from_name("pin"), MarkerIcon::Pin);
  EXPECT_EQ(*marker_icon_from_name("satellite_lost"), MarkerIcon::SatelliteLost);
  EXPECT_EQ(constellation_from_name("GPS").error().message(), "unknown constellation name \"GPS\"");
  EXPECT_EQ(constellation_from_name("gps ").error().message(), "unknown constellation name \"gps \"");
  EXPECT_EQ(constellation_from_name("").error().message(), "unknown constellation name \"\"");
  EXPECT_EQ(marker_icon_from_name("Pin").error().message(), "unknown marker icon name \"Pin\"");
  EXPECT_EQ(marker_icon_from_name("satellite lost").error().message(),
            "unknown marker icon name \"satellite lost\"");
}

}  // namespace
}  // namespace quillrun
