#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/qrd_craft.hpp"
#include "quillrun/reader.hpp"
#include "codec/read/read_tables.hpp"

namespace quillrun {
namespace {

using testing::ChannelPlan;
using testing::FilePlan;
using testing::build;
using testing::minimal_file;
using testing::read_error;

FilePlan with_channels(std::vector<ChannelPlan> channels) {
  FilePlan plan = minimal_file(1);
  plan.channels = std::move(channels);
  return plan;
}

ChannelPlan scalar(std::string name, testing::Hook attributes = {}) {
  return ChannelPlan{std::move(name), {0, 1'000'000}, {1.0, 2.0}, {}, std::move(attributes)};
}

void text(hid_t g, const char* name, std::string_view value) {
  testing::ok_or_die(h5::write_text_attribute(g, name, value));
}
void texts(hid_t g, const char* name, std::vector<std::string> values) {
  testing::ok_or_die(h5::write_text_list_attribute(g, name, values));
}

TEST(ReadChannels, OrderedByName) {
  const auto r = read_nav_file(build(with_channels({scalar("b"), scalar("a"), scalar("ab"), scalar("B")})));
  ASSERT_TRUE(r) << r.error().message();
  std::vector<std::string> names;
  for (const Channel& c : r->channels) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "ab", "b"}));
}

TEST(ReadChannels, OrderedByUnsignedBytes) {
  // "\xC3\xA9" (e-acute) starts with byte 0xC3, above every ASCII byte: it
  // sorts after "z" as unsigned bytes, before "A" as signed chars.
  const auto r = read_nav_file(build(with_channels({scalar("\xC3\xA9"), scalar("z"), scalar("A")})));
  ASSERT_TRUE(r) << r.error().message();
  std::vector<std::string> names;
  for (const Channel& c : r->channels) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "z", "\xC3\xA9"}));
}

TEST(ReadChannels, ScalarAndVectorChannels) {
  ChannelPlan accel{"accel", {0, 10, 20}, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {3, 3}, [](hid_t g) {
                      text(g, "unit", "m/s2");
                      text(g, "description", "");
                      texts(g, "components", {"x", "y", "z"});
                    }};
  const auto r = read_nav_file(build(with_channels({accel, scalar("speed", [](hid_t g) { text(g, "unit", "kph"); })})));
  ASSERT_TRUE(r) << r.error().message();
  const Channel& a = r->channels[0];
  EXPECT_EQ(a.components, (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_EQ(a.values, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(a.times[2], (Instant{0, 0, 20'000}));
  EXPECT_EQ(a.description, std::optional<std::string>(""));
  ASSERT_TRUE(a.unit);
  EXPECT_EQ(a.unit->kind, ChannelUnit::Kind::Recognized);
  EXPECT_EQ(a.unit->label(), "m/s2");
  const Channel& s = r->channels[1];
  ASSERT_TRUE(s.unit);
  EXPECT_EQ(s.unit->kind, ChannelUnit::Kind::Recognized);
  EXPECT_EQ(s.unit->label(), "km/h");
  EXPECT_TRUE(s.components.empty());
  EXPECT_FALSE(s.period_deg.has_value());
  EXPECT_FALSE(s.description.has_value());
}

TEST(ReadChannels, ValueCountIsRowsTimesComponents) {
  ChannelPlan three{"v", std::vector<std::int64_t>(10, 0), std::vector<double>(29, 0.0), {}, [](hid_t g) {
                      texts(g, "components", {"x", "y", "z"});
                    }};
  EXPECT_EQ(read_error(build(with_channels({three}))),
            "dataset \"value\" in group \"channels\": expected 30 rows but found 29");
  // A single string is a vector channel of one component.
  ChannelPlan one{"w", {1, 2}, {1.0, 2.0}, {}, [](hid_t g) { text(g, "components", "only"); }};
  const auto r = read_nav_file(build(with_channels({one})));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->channels[0].components, (std::vector<std::string>{"only"}));
  // An empty list is a scalar channel.
  ChannelPlan none{"z", {1, 2}, {1.0, 2.0}, {}, [](hid_t g) { texts(g, "components", {}); }};
  const auto e = read_nav_file(build(with_channels({none})));
  ASSERT_TRUE(e) << e.error().message();
  EXPECT_TRUE(e->channels[0].components.empty());
}

TEST(ReadChannels, AttributeFormsOutsideTheRulesReadAsNone) {
  ChannelPlan odd = scalar("odd", [](hid_t g) {
    texts(g, "unit", {"m", "s"});
    testing::numeric_attribute<double>(g, "description", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, {1.0}, true);
    text(g, "period_deg", "360");
  });
  const auto r = read_nav_file(build(with_channels({odd})));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_FALSE(r->channels[0].unit.has_value());
  EXPECT_FALSE(r->channels[0].description.has_value());
  EXPECT_FALSE(r->channels[0].period_deg.has_value());

  ChannelPlan number_unit = scalar("n", [](hid_t g) {
    testing::numeric_attribute<std::int32_t>(g, "unit", H5T_STD_I32LE, H5T_NATIVE_INT32, {5}, true);
    testing::numeric_attribute<double>(g, "period_deg", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, {360.0, 180.0}, false);
  });
  const auto n = read_nav_file(build(with_channels({number_unit})));
  ASSERT_TRUE(n) << n.error().message();
  EXPECT_FALSE(n->channels[0].unit.has_value());
  EXPECT_FALSE(n->channels[0].period_deg.has_value());
}

TEST(ReadChannels, PeriodFromFloatsOfEitherWidth) {
  ChannelPlan f32 = scalar("a", [](hid_t g) {
    text(g, "unit", "deg");
    testing::numeric_attribute<float>(g, "period_deg", H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, {360.0F}, true);
  });
  ChannelPlan list = scalar("b", [](hid_t g) {
    testing::numeric_attribute<double>(g, "period_deg", H5T_IEEE_F64BE, H5T_NATIVE_DOUBLE, {90.5}, false);
  });
  const auto r = read_nav_file(build(with_channels({f32, list})));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->channels[0].period_deg, std::optional<double>(360.0));
  EXPECT_EQ(r->channels[1].period_deg, std::optional<double>(90.5));
}

struct UnitCase {
  const char* name;
  const char* stored;
  ChannelUnit::Kind kind;
  const char* label;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const UnitCase& c, std::ostream* os) { *os << c.name; }

class StoredUnit : public ::testing::TestWithParam<UnitCase> {};

TEST_P(StoredUnit, FollowsTheUnitRule) {
  const UnitCase& c = GetParam();
  const ChannelUnit unit = reader::unit_from_stored_text(c.stored);
  EXPECT_EQ(unit.kind, c.kind) << c.stored;
  EXPECT_EQ(unit.label(), c.label);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoredUnit,
    ::testing::Values(UnitCase{"kph", "kph", ChannelUnit::Kind::Recognized, "km/h"},
                      UnitCase{"padded_kph", " kph", ChannelUnit::Kind::Recognized, "km/h"},
                      UnitCase{"furlong", "furlong", ChannelUnit::Kind::Custom, "furlong"},
                      UnitCase{"furlongs_per_fortnight", "furlongs per fortnight", ChannelUnit::Kind::Custom,
                               "furlongs per fortnight"},
                      UnitCase{"leading_nbsp", "\xC2\xA0" "furlong", ChannelUnit::Kind::Legacy, "\xC2\xA0" "furlong"},
                      UnitCase{"trailing_tab", "furlong\t", ChannelUnit::Kind::Legacy, "furlong\t"},
                      UnitCase{"trailing_ideographic_space", "furlong\xE3\x80\x80", ChannelUnit::Kind::Legacy,
                               "furlong\xE3\x80\x80"},
                      UnitCase{"empty", "", ChannelUnit::Kind::Legacy, ""},
                      UnitCase{"blanks", "   ", ChannelUnit::Kind::Legacy, "   "},
                      UnitCase{"c0_control", "fur\x01long", ChannelUnit::Kind::Legacy, "fur\x01long"},
                      UnitCase{"del", "fur\x7Flong", ChannelUnit::Kind::Legacy, "fur\x7Flong"},
                      UnitCase{"c1_control", "fur\xC2\x85long", ChannelUnit::Kind::Legacy, "fur\xC2\x85long"},
                      UnitCase{"inverted_exclamation", "fur\xC2\xA1long", ChannelUnit::Kind::Custom,
                               "fur\xC2\xA1long"}),
    [](const ::testing::TestParamInfo<UnitCase>& case_info) { return std::string(case_info.param.name); });

TEST(ReadChannels, LegacyUnitIsKeptVerbatim) {
  const auto r = read_nav_file(build(with_channels({scalar("t", [](hid_t g) { text(g, "unit", " furlong"); })})));
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_TRUE(r->channels[0].unit);
  EXPECT_EQ(*r->channels[0].unit, ChannelUnit::legacy(" furlong"));
}

TEST(ReadChannels, TimesOutOfRangeNameTheChannelsGroup) {
  ChannelPlan c{"late", {0, 8'210'266'876'800'000'000LL}, {1.0, 2.0}, {}, {}};
  EXPECT_EQ(read_error(build(with_channels({c}))),
            "channels/time: record 1 holds 8210266876800000000 microseconds, past the range a UTC timestamp covers");
}

TEST(ReadChannels, DatasetPathsNameTheChannel) {
  FilePlan plan = minimal_file(1);
  // A channel whose `time` declares far more than the file holds.
  plan.tables.push_back(testing::Table{"channels", {}, [](hid_t g) {
                                         const hid_t ch = H5Gcreate2(g, "big", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
                                         testing::unwritten_dataset(ch, "time", H5T_STD_I64LE, {hsize_t{1} << 40},
                                                                    {1024});
                                         H5Gclose(ch);
                                       }});
  const auto image = build(plan);
  EXPECT_EQ(read_error(image), "dataset \"channels/big/time\" declares 8796093022208 bytes of data, past what a " +
                                   std::to_string(image.size()) + "-byte file can hold");
}

TEST(ReadChannels, InvalidUtf8InNamesAndAttributesFails) {
  EXPECT_EQ(read_error(build(with_channels({scalar("ok\xFF")}))),
            "channels/ok\xEF\xBF\xBD: the field row is not UTF-8: invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_EQ(read_error(build(with_channels({scalar("u", [](hid_t g) { text(g, "unit", "m\xE2\x82"); })}))),
            "channels/u/unit: the field row is not UTF-8: incomplete utf-8 byte sequence from index 1");
  EXPECT_EQ(read_error(build(with_channels({scalar("c", [](hid_t g) { texts(g, "components", {"x", "\x80"}); })}))),
            "channels/c/components: the field row is not UTF-8: invalid utf-8 sequence of 1 bytes from index 0");
}

TEST(ReadChannels, MembersThatAreNotHardLinkedGroupsFail) {
  FilePlan plan = minimal_file(1);
  plan.tables.push_back(testing::Table{"channels", {{"time", std::vector<std::int64_t>{1}, {}}}, {}});
  EXPECT_EQ(read_error(build(plan)), "HDF5 error: member 0 is not a group");

  FilePlan linked = minimal_file(1);
  linked.tables.push_back(testing::Table{"channels", {}, [](hid_t g) {
                                           EXPECT_GE(H5Lcreate_soft("/nav_points", g, "np", H5P_DEFAULT, H5P_DEFAULT),
                                                     0);
                                         }});
  EXPECT_EQ(read_error(build(linked)),
            "HDF5 error: channels/np is a soft, external or user-defined link; only hard links are followed");
}

TEST(ReadChannels, ValueCountIsCheckedBeforeTheTimes) {
  constexpr std::int64_t kBelowRange = -8'334'601'228'800'000'001LL;
  // Both faults in one channel: the count of values is found first.
  ChannelPlan both{"c", {0, kBelowRange}, {1.0}, {}, {}};
  EXPECT_EQ(read_error(build(with_channels({both}))),
            "dataset \"value\" in group \"channels\": expected 2 rows but found 1");
  ChannelPlan times_only{"c", {0, kBelowRange}, {1.0, 2.0}, {}, {}};
  EXPECT_EQ(read_error(build(with_channels({times_only}))),
            "channels/time: record 1 holds -8334601228800000001 microseconds, past the range a UTC timestamp covers");
}

TEST(ReadChannels, MissingValueFails) {
  FilePlan plan = minimal_file(1);
  plan.tables.push_back(testing::Table{"channels", {}, [](hid_t g) {
                                         const hid_t ch = H5Gcreate2(g, "a", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
                                         testing::write_column(ch, {"time", std::vector<std::int64_t>{1}, {}});
                                         H5Gclose(ch);
                                       }});
  EXPECT_EQ(read_error(build(plan)), "HDF5 error: object 'value' doesn't exist");
}

}  // namespace
}  // namespace quillrun
