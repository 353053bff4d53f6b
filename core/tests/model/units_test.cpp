#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillrun/units.hpp"

namespace quillrun {
namespace {

using B = UnitBase;
using P = UnitPrefix;
using std::nullopt;

struct Entry {
  std::string_view label;
  UnitBase base;
  std::optional<UnitPrefix> prefix;
};

// The catalog as published, in its fixed order.
const std::vector<Entry> kExpectedCatalog = {
    {"deg", B::Deg, nullopt},      {"m", B::M, nullopt},
    {"nm", B::M, P::Nano},         {"um", B::M, P::Micro},
    {"mm", B::M, P::Milli},        {"cm", B::M, P::Centi},
    {"km", B::M, P::Kilo},         {"km/h", B::KmPerH, nullopt},
    {"m/s", B::MPerS, nullopt},    {"mm/s", B::MPerS, P::Milli},
    {"cm/s", B::MPerS, P::Centi},  {"kn", B::Kn, nullopt},
    {"m/s2", B::MPerS2, nullopt},  {"mm/s2", B::MPerS2, P::Milli},
    {"cm/s2", B::MPerS2, P::Centi}, {"g", B::G, nullopt},
    {"ug", B::G, P::Micro},        {"mg", B::G, P::Milli},
    {"km/h/s", B::KmPerHPerS, nullopt}, {"ns", B::S, P::Nano},
    {"us", B::S, P::Micro},        {"ms", B::S, P::Milli},
    {"s", B::S, nullopt},          {"min", B::Min, nullopt},
    {"h", B::H, nullopt},          {"%", B::Percent, nullopt},
    {"per s", B::PerS, nullopt},   {"per min", B::PerMin, nullopt},
    {"per h", B::PerH, nullopt},
};

// The catalog entry labelled `label`, as a Unit built from the table above.
Unit expected_unit(std::string_view label) {
  for (const Entry& e : kExpectedCatalog) {
    if (e.label == label) return Unit{e.label, e.base, e.prefix};
  }
  ADD_FAILURE() << "no catalog label " << label;
  return Unit{};
}

std::string describe(const std::optional<Unit>& u) {
  return u ? "\"" + std::string(u->label) + "\"" : std::string("none");
}

TEST(UnitCatalog, HoldsTheTwentyNineEntriesInOrder) {
  const auto catalog = unit_catalog();
  ASSERT_EQ(catalog.size(), kExpectedCatalog.size());
  for (std::size_t i = 0; i < catalog.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(catalog[i].label, kExpectedCatalog[i].label);
    EXPECT_EQ(catalog[i].base, kExpectedCatalog[i].base);
    EXPECT_EQ(catalog[i].prefix, kExpectedCatalog[i].prefix);
  }
}

TEST(UnitCatalog, BaseLabelsByCode) {
  const std::vector<std::string_view> labels = {"deg", "g",       "h",     "km/h", "km/h/s", "kn", "m", "m/s",
                                                "m/s2", "min",     "per h", "per min", "per s", "%", "s"};
  for (std::size_t code = 0; code < labels.size(); ++code) {
    EXPECT_EQ(unit_base_label(static_cast<UnitBase>(code)), labels[code]) << code;
  }
  // An unprefixed catalog unit carries its base's own label.
  for (const Unit& u : unit_catalog()) {
    if (!u.prefix) {
      EXPECT_EQ(u.label, unit_base_label(u.base));
    }
  }
}

TEST(UnitCatalog, EqualityComparesPrefixBaseAndLabel) {
  const Unit m{"m", B::M, nullopt};
  EXPECT_EQ(m, (Unit{"m", B::M, nullopt}));
  EXPECT_NE(m, (Unit{"m", B::M, P::Milli}));
  EXPECT_NE(m, (Unit{"m", B::S, nullopt}));
  EXPECT_NE(m, (Unit{"M", B::M, nullopt}));
}

struct BaseCase {
  std::string_view text;
  std::optional<UnitBase> base;
};

TEST(UnitCatalog, MatchBaseUnitIsExactAndCaseSensitive) {
  const std::vector<BaseCase> cases = {
      {"deg", B::Deg}, {"g", B::G},     {"h", B::H},    {"kmh", B::KmPerH}, {"kn", B::Kn},
      {"m", B::M},     {"min", B::Min}, {"s", B::S},
      // The other bases are reached only through the slashed and word forms.
      {"km/h", nullopt}, {"km/h/s", nullopt}, {"m/s", nullopt}, {"m/s2", nullopt}, {"per h", nullopt},
      {"per min", nullopt}, {"per s", nullopt}, {"%", nullopt},
      {"", nullopt}, {"Deg", nullopt}, {"G", nullopt}, {"M", nullopt}, {" m", nullopt}, {"m ", nullopt},
      {"km", nullopt}, {"kmh ", nullopt}, {"mins", nullopt}, {"degrees", nullopt},
  };
  for (const BaseCase& c : cases) {
    EXPECT_EQ(match_base_unit(c.text), c.base) << '"' << c.text << '"';
  }
}

TEST(UnitCatalog, CombinePrefixedUnitKnowsExactlyTheCatalogPairs) {
  const std::map<std::pair<UnitPrefix, UnitBase>, std::string_view> pairs = {
      {{P::Centi, B::M}, "cm"},      {{P::Centi, B::MPerS}, "cm/s"}, {{P::Centi, B::MPerS2}, "cm/s2"},
      {{P::Kilo, B::M}, "km"},       {{P::Micro, B::G}, "ug"},       {{P::Micro, B::M}, "um"},
      {{P::Micro, B::S}, "us"},      {{P::Milli, B::G}, "mg"},       {{P::Milli, B::M}, "mm"},
      {{P::Milli, B::MPerS}, "mm/s"}, {{P::Milli, B::MPerS2}, "mm/s2"}, {{P::Milli, B::S}, "ms"},
      {{P::Nano, B::M}, "nm"},       {{P::Nano, B::S}, "ns"},
  };
  for (std::uint8_t p = 0; p <= 4; ++p) {
    for (std::uint8_t b = 0; b <= 14; ++b) {
      const auto prefix = static_cast<UnitPrefix>(p);
      const auto base = static_cast<UnitBase>(b);
      const auto got = combine_prefixed_unit(prefix, base);
      const auto it = pairs.find({prefix, base});
      if (it == pairs.end()) {
        EXPECT_EQ(got, nullopt) << int{p} << "/" << int{b} << " gave " << describe(got);
      } else {
        EXPECT_EQ(got, expected_unit(it->second)) << int{p} << "/" << int{b};
      }
    }
  }
}

struct TextCase {
  std::string_view text;
  std::optional<std::string_view> label;  // none: not recognized
};

void expect_cases(const std::vector<TextCase>& cases, std::optional<Unit> (*fn)(std::string_view)) {
  for (const TextCase& c : cases) {
    const auto got = fn(c.text);
    if (c.label) {
      EXPECT_EQ(got, expected_unit(*c.label)) << '"' << c.text << "\" gave " << describe(got);
    } else {
      EXPECT_EQ(got, nullopt) << '"' << c.text << "\" gave " << describe(got);
    }
  }
}

TEST(UnitCatalog, ParseUnit) {
  expect_cases(
      {
          {"deg", "deg"}, {"kmh", "km/h"}, {"min", "min"}, {"mm", "mm"}, {"ms", "ms"}, {"mg", "mg"},
          {"cm", "cm"}, {"km", "km"}, {"nm", "nm"}, {"ns", "ns"}, {"um", "um"}, {"us", "us"}, {"ug", "ug"},
          {"\u00B5m", "um"}, {"\u00B5s", "us"}, {"\u00B5g", "ug"},
          {"\u03BCm", "um"}, {"\u03BCs", "us"}, {"\u03BCg", "ug"},
          // Prefix and base pairs that the catalog does not hold.
          {"ng", nullopt}, {"cs", nullopt}, {"ks", nullopt}, {"kg", nullopt}, {"cg", nullopt},
          {"mkn", nullopt}, {"ckm", nullopt}, {"mmin", nullopt}, {"mh", nullopt}, {"mdeg", nullopt},
          {"ukmh", nullopt}, {"Km", nullopt}, {"Ms", nullopt}, {"M", nullopt},
          // A prefix alone, or one that is not a prefix.
          {"", nullopt}, {"u", nullopt}, {"\u00B5", nullopt}, {"\u03BC", nullopt}, {"c", nullopt},
          {"k", nullopt}, {"n", nullopt}, {"xm", nullopt}, {"\u00C5m", nullopt}, {"\xB5m", nullopt},
          {"\u03BBm", nullopt}, {"\u00B5\u00B5s", nullopt}, {"uus", nullopt},
          {"m/s", nullopt}, {"mm ", nullopt},
      },
      &parse_unit);
}

struct RatioCase {
  std::string_view numerator;
  std::string_view denominator;
  std::optional<std::string_view> label;
};

TEST(UnitCatalog, ParseUnitRatio) {
  const std::vector<RatioCase> cases = {
      {"m", "s", "m/s"}, {"m", "s2", "m/s2"}, {"km", "h", "km/h"}, {"cm", "s", "cm/s"}, {"cm", "s2", "cm/s2"},
      {"mm", "s", "mm/s"}, {"mm", "s2", "mm/s2"},
      {"um", "s", nullopt}, {"\u00B5m", "s", nullopt}, {"km", "s", nullopt}, {"nm", "s", nullopt},
      {"um", "s2", nullopt}, {"km", "s2", nullopt}, {"m", "h", nullopt}, {"mm", "h", nullopt},
      {"cm", "h", nullopt}, {"m", "", nullopt}, {"", "s", nullopt}, {"", "", nullopt},
      {"kmh", "s", nullopt}, {"m", "min", nullopt}, {"m", "S", nullopt}, {"M", "s", nullopt},
      {"m", "s^2", nullopt}, {"mn", "s", nullopt}, {"cmm", "s", nullopt}, {"km", "h2", nullopt},
  };
  for (const RatioCase& c : cases) {
    const auto got = parse_unit_ratio(c.numerator, c.denominator);
    SCOPED_TRACE(std::string(c.numerator) + " over " + std::string(c.denominator));
    if (c.label) {
      EXPECT_EQ(got, expected_unit(*c.label));
    } else {
      EXPECT_EQ(got, nullopt) << describe(got);
    }
  }
}

TEST(UnitFromText, EveryCanonicalLabelIsRecognized) {
  for (const Entry& e : kExpectedCatalog) {
    EXPECT_EQ(unit_from_text(e.label), expected_unit(e.label)) << e.label;
  }
}

TEST(UnitFromText, EveryAlias) {
  expect_cases(
      {
          {"G", "g"}, {"\u00B0", "deg"}, {"hr", "h"}, {"mG", "mg"}, {"sec", "s"}, {"kph", "km/h"},
          {"mps", "m/s"}, {"hour", "h"}, {"kmph", "km/h"}, {"mps2", "m/s2"}, {"meter", "m"},
          {"metre", "m"}, {"hours", "h"}, {"m/s/s", "m/s2"}, {"degree", "deg"}, {"meters", "m"},
          {"metres", "m"}, {"second", "s"}, {"degrees", "deg"}, {"seconds", "s"}, {"percent", "%"},
      },
      &unit_from_text);
}

TEST(UnitFromText, FoldsAndWordForms) {
  expect_cases(
      {
          {"m/s\u00B2", "m/s2"}, {"m/s^2", "m/s2"}, {"m/s^\u00B2", "m/s2"},
          {"mm/s\u00B2", "mm/s2"}, {"mm/s^2", "mm/s2"}, {"mm/s^\u00B2", "mm/s2"},
          {"cm/s\u00B2", "cm/s2"}, {"cm/s^2", "cm/s2"}, {"cm/s^\u00B2", "cm/s2"},
          {"per min", "per min"}, {"per s", "per s"}, {"per h", "per h"}, {"%", "%"},
          {"kmh", "km/h"}, {"\u00B5s", "us"}, {"\u03BCs", "us"}, {"\u00B5m", "um"}, {"\u03BCg", "ug"},
          // Folded twice over is not folded again, and a lone fold is no unit.
          {"m/s^^2", nullopt}, {"m/s\u00B2\u00B2", nullopt}, {"m/s22", nullopt}, {"s^2", nullopt},
          {"s\u00B2", nullopt}, {"m\u00B2", nullopt}, {"m/s^", nullopt}, {"m/s^3", nullopt},
          {"km/h^2", nullopt}, {"km/h/s^2", nullopt},
      },
      &unit_from_text);
}

TEST(UnitFromText, NearMisses) {
  expect_cases(
      {
          // Speed.
          {"km/h", "km/h"}, {"kph", "km/h"}, {"kmph", "km/h"}, {"kmh", "km/h"}, {" km/h ", "km/h"},
          {"KM/H", nullopt}, {"km / h", nullopt}, {"km/h/", nullopt}, {"/km/h", nullopt},
          {"Kph", nullopt}, {"km/hr", nullopt},
          // Acceleration; mps² is no alias and folds to mps2 only after the alias step.
          {"m/s^2", "m/s2"}, {"m/s\u00B2", "m/s2"}, {"m/s/s", "m/s2"}, {"mps2", "m/s2"}, {"m/s2", "m/s2"},
          {"mps\u00B2", nullopt}, {"mps^2", nullopt}, {"s^2", nullopt}, {"m/s/s/s", nullopt},
          {"cm/s\u00B2", "cm/s2"}, {"um/s", nullopt}, {"\u00B5m/s", nullopt}, {"km/s", nullopt},
          {"nm/s", nullopt}, {"m/h", nullopt}, {"km/h/h", nullopt}, {"m/s/h", nullopt},
          // Prefixes.
          {"\u00B5s", "us"}, {"\u03BCs", "us"}, {"us", "us"}, {"\u00B5", nullopt}, {"ns", "ns"},
          {"nm", "nm"}, {"ng", nullopt}, {"cs", nullopt}, {"kg", nullopt},
          // Gravity.
          {"G", "g"}, {"mG", "mg"}, {"g", "g"}, {"M", nullopt}, {"MG", nullopt}, {"uG", nullopt},
          // Rates and percent.
          {"percent", "%"}, {"%", "%"}, {"per s", "per s"}, {"per  s", nullopt}, {"Per s", nullopt},
          {"Percent", nullopt}, {"per sec", nullopt}, {"pers", nullopt}, {"per\u00A0s", nullopt},
          // Angles.
          {"\u00B0", "deg"}, {"degree", "deg"}, {"degrees", "deg"}, {"Degrees", nullopt},
          {"\u00B0C", nullopt}, {"deg.", nullopt},
          // Nothing at all.
          {"", nullopt}, {"   ", nullopt}, {"/", nullopt}, {"//", nullopt}, {"///", nullopt},
          {"\u00A0\u3000", nullopt},
      },
      &unit_from_text);
}

TEST(UnitFromText, LabelIsTheCatalogsTextNeverTheInput) {
  for (const std::string input : {"degrees", "\u00B0", "deg", "  deg\t", "\u00B5m", "kph", "m/s^2"}) {
    const auto got = unit_from_text(input);
    ASSERT_TRUE(got.has_value()) << input;
    bool in_catalog = false;
    for (const Unit& u : unit_catalog()) in_catalog = in_catalog || u.label.data() == got->label.data();
    EXPECT_TRUE(in_catalog) << input;
  }
  EXPECT_EQ(unit_from_text("\u00B5m")->label, "um");
  EXPECT_EQ(unit_from_text("degrees")->label, "deg");
}

TEST(UnitFromText, TrimsEveryUnicodeWhiteSpaceCharacter) {
  const std::vector<std::string_view> white_space = {
      "\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
      "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F",
      "\u205F", "\u3000"};
  for (std::string_view ws : white_space) {
    const std::string w(ws);
    SCOPED_TRACE(testing::PrintToString(w));
    EXPECT_EQ(unit_from_text(w + "deg"), expected_unit("deg"));
    EXPECT_EQ(unit_from_text("km/h" + w), expected_unit("km/h"));
    EXPECT_EQ(unit_from_text(w + w + "percent" + w + w), expected_unit("%"));
    EXPECT_EQ(unit_from_text(w + "\u00B0" + w), expected_unit("deg"));
    // Inner white space stays and spoils the text.
    EXPECT_EQ(unit_from_text("km" + w + "/h"), nullopt);
    EXPECT_EQ(unit_from_text(w), nullopt);
  }
  // Characters that look blank but lack the White_Space property stay.
  for (std::string_view not_ws : {"\u200B", "\u180E", "\u2060", "\uFEFF", "\x1F"}) {
    EXPECT_EQ(unit_from_text(std::string(not_ws) + "m"), nullopt);
    EXPECT_EQ(unit_from_text("m" + std::string(not_ws)), nullopt);
  }
  // The word forms are matched after trimming, inner blanks intact.
  EXPECT_EQ(unit_from_text("\u3000per min\u00A0"), expected_unit("per min"));
}

// Every text of up to four tokens from an alphabet that reaches all the
// interesting spellings: the recognized ones are exactly the published list.
TEST(UnitFromText, RecognizesExactlyThePublishedSpellings) {
  std::map<std::string, std::string_view> recognized;
  for (const Entry& e : kExpectedCatalog) recognized[std::string(e.label)] = e.label;
  recognized["kmh"] = "km/h";
  for (std::string_view mu : {"\u00B5", "\u03BC"}) {
    recognized[std::string(mu) + "m"] = "um";
    recognized[std::string(mu) + "s"] = "us";
    recognized[std::string(mu) + "g"] = "ug";
  }
  const std::vector<std::pair<std::string, std::string_view>> aliases = {
      {"G", "g"}, {"\u00B0", "deg"}, {"hr", "h"}, {"mG", "mg"}, {"sec", "s"}, {"kph", "km/h"},
      {"mps", "m/s"}, {"hour", "h"}, {"kmph", "km/h"}, {"mps2", "m/s2"}, {"meter", "m"},
      {"metre", "m"}, {"hours", "h"}, {"m/s/s", "m/s2"}, {"degree", "deg"}, {"meters", "m"},
      {"metres", "m"}, {"second", "s"}, {"degrees", "deg"}, {"seconds", "s"}, {"percent", "%"}};
  for (const auto& [alias, label] : aliases) recognized[alias] = label;
  for (std::string_view stem : {"m/s", "mm/s", "cm/s"}) {
    for (std::string_view two : {"\u00B2", "^2", "^\u00B2"}) {
      recognized[std::string(stem) + std::string(two)] = expected_unit(std::string(stem) + "2").label;
    }
  }

  const std::vector<std::string> tokens = {"m", "s", "k", "h", "c", "u", "n", "g", "G", "d", "e", "/", "2",
                                           "^", "%", "\u00B5", "\u03BC", "\u00B2", "\u00B0", " "};
  std::size_t checked = 0;
  std::vector<std::string> level = {""};
  for (int depth = 0; depth <= 4; ++depth) {
    std::vector<std::string> next;
    for (const std::string& text : level) {
      std::string trimmed = text;
      while (!trimmed.empty() && trimmed.front() == ' ') trimmed.erase(0, 1);
      while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
      const auto it = recognized.find(trimmed);
      const auto got = unit_from_text(text);
      if (it == recognized.end()) {
        if (got) {
          ADD_FAILURE() << '"' << text << "\" gave " << describe(got);
        }
      } else if (got != expected_unit(it->second)) {
        ADD_FAILURE() << '"' << text << "\" gave " << describe(got) << ", not " << it->second;
      }
      ++checked;
      if (depth < 4) {
        for (const std::string& t : tokens) next.push_back(text + t);
      }
    }
    level = std::move(next);
  }
  EXPECT_GT(checked, 130'000u);
}

}  // namespace
}  // namespace quillrun
