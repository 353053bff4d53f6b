#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "quillrun/rfc3339.hpp"

namespace quillrun {
namespace {

constexpr std::string_view kInvalid = "input contains invalid characters";
constexpr std::string_view kTooShort = "premature end of input";
constexpr std::string_view kTrailing = "trailing input";
constexpr std::string_view kOutOfRange = "input is out of range";
constexpr std::string_view kImpossible = "no possible date and time matching input";

struct Good {
  std::string_view text;
  Instant expected;  // days since 1970-01-01, seconds of the day, nanos: worked out by hand
};

// 2024-03-01 is day 19783; 12:34:56 is second 45296.
const std::vector<Good> kGood = {
    {"2024-03-01T12:34:56Z", {19783, 45296, 0}},
    {"2024-03-01t12:34:56z", {19783, 45296, 0}},
    {"2024-03-01 12:34:56Z", {19783, 45296, 0}},
    {"2024-03-01T12:34:56+00:00", {19783, 45296, 0}},
    {"2024-03-01T12:34:56-00:00", {19783, 45296, 0}},
    {"2024-03-01T14:34:56+02:00", {19783, 45296, 0}},
    {"2024-03-01T10:04:56-02:30", {19783, 45296, 0}},
    // Offsets that move the date, across a leap day and a year end.
    {"2024-03-01T00:30:00+01:00", {19782, 84600, 0}},
    {"2023-12-31T23:30:00-01:00", {19723, 1800, 0}},
    {"2024-03-01T12:34:56+23:59", {19782, 45356, 0}},
    {"2024-03-01T12:34:56-23:59", {19784, 45236, 0}},
    // Fractions: nine digits kept, more read and dropped.
    {"2024-03-01T12:34:56.5Z", {19783, 45296, 500'000'000}},
    {"2024-03-01T12:34:56.0001Z", {19783, 45296, 100'000}},
    {"2024-03-01T12:34:56.000000001Z", {19783, 45296, 1}},
    {"2024-03-01T12:34:56.123456789Z", {19783, 45296, 123'456'789}},
    {"2024-03-01T12:34:56.1234567891234Z", {19783, 45296, 123'456'789}},
    {"2024-03-01T12:34:56.9999999999999Z", {19783, 45296, 999'999'999}},
    {"2024-03-01T12:34:56.250+01:00", {19783, 41696, 250'000'000}},
    // Leap seconds: second 59 and a second's worth of extra nanos.
    {"1972-06-30T23:59:60Z", {911, 86399, 1'000'000'000}},
    {"1972-06-30T23:59:60.25Z", {911, 86399, 1'250'000'000}},
    {"1972-07-01T01:59:60+02:00", {911, 86399, 1'000'000'000}},
    {"2016-12-31T23:59:60.999999999Z", {17166, 86399, 1'999'999'999}},
    // Before 1970.
    {"1969-12-31T23:59:59.999999Z", {-1, 86399, 999'999'000}},
    {"1970-01-01T00:59:59+01:00", {-1, 86399, 0}},
    {"1969-07-20T20:17:40Z", {-165, 73060, 0}},
    {"1900-01-01T00:00:00Z", {-25567, 0, 0}},
    // Leap days, and the ends of what four year digits can say.
    {"2000-02-29T00:00:00Z", {11016, 0, 0}},
    {"0000-02-29T00:00:00Z", {-719469, 0, 0}},
    {"0000-01-01T00:00:00Z", {-719528, 0, 0}},
    {"0000-01-01T00:00:00+23:59", {-719529, 60, 0}},
    {"9999-12-31T23:59:59.999999999Z", {2932896, 86399, 999'999'999}},
    {"9999-12-31T23:59:59-23:59", {2932897, 86339, 0}},
};

TEST(Rfc3339, ParsesAndConvertsToUtc) {
  for (const Good& g : kGood) {
    const auto got = parse_rfc3339(g.text);
    ASSERT_TRUE(got.has_value()) << g.text << ": " << got.error().description;
    EXPECT_EQ(got->days, g.expected.days) << g.text;
    EXPECT_EQ(got->secs, g.expected.secs) << g.text;
    EXPECT_EQ(got->nanos, g.expected.nanos) << g.text;
  }
}

struct Bad {
  std::string_view text;
  std::string_view description;
};

const std::vector<Bad> kBad = {
    // The text stops early.
    {"", kTooShort},
    {"2024", kTooShort},
    {"2024-03-01", kTooShort},
    {"2024-03-01T", kTooShort},
    {"2024-03-01T12:34", kTooShort},
    {"2024-03-01T12:34:56", kTooShort},
    {"2024-03-01T12:34:56.", kTooShort},
    {"2024-03-01T12:34:56.5", kTooShort},
    {"2024-03-01T12:34:56+02", kTooShort},
    {"2024-03-01T12:34:56+02:", kTooShort},
    {"2024-03-01T12:34:56+02:0", kTooShort},
    // A byte the form does not allow there.
    {"24-03-01T12:34:56Z", kInvalid},
    {"+2024-03-01T12:34:56Z", kInvalid},
    {" 2024-03-01T12:34:56Z", kInvalid},
    {"2024/03/01T12:34:56Z", kInvalid},
    {"2024-3-01T12:34:56Z", kInvalid},
    {"2024-03-01X12:34:56Z", kInvalid},
    {"2024-03-01  12:34:56Z", kInvalid},
    {"2024-03-01T12-34-56Z", kInvalid},
    {"2024-03-01T12:34:56.Z", kInvalid},
    {"2024-03-01T12:34:56,5Z", kInvalid},
    {"2024-03-01T12:34:56 Z", kInvalid},
    {"2024-03-01T12:34:56UTC", kInvalid},
    {"2024-03-01T12:34:56+0200", kInvalid},
    {"2024-03-01T12:34:56+2:00", kInvalid},
    {"\uFF12\uFF10\uFF12\uFF14-03-01T12:34:56Z", kInvalid},
    // Something after the offset.
    {"2024-03-01T12:34:56Z ", kTrailing},
    {"2024-03-01T12:34:56Zjunk", kTrailing},
    {"2024-03-01T12:34:56ZZ", kTrailing},
    {"2024-03-01T12:34:56+02:00:00", kTrailing},
    {"2024-03-01T12:34:56.5+02:00x", kTrailing},
    // A field outside its range.
    {"2024-00-01T00:00:00Z", kOutOfRange},
    {"2024-13-01T00:00:00Z", kOutOfRange},
    {"2024-01-00T00:00:00Z", kOutOfRange},
    {"2024-01-32T00:00:00Z", kOutOfRange},
    {"2024-01-01T24:00:00Z", kOutOfRange},
    {"2024-01-01T23:60:00Z", kOutOfRange},
    {"2024-01-01T23:59:61Z", kOutOfRange},
    {"2024-01-01T23:59:99Z", kOutOfRange},
    {"2024-01-01T00:00:00+24:00", kOutOfRange},
    {"2024-01-01T00:00:00-24:00", kOutOfRange},
    {"2024-01-01T00:00:00+23:60", kOutOfRange},
    {"2024-01-01T00:00:00+99:99", kOutOfRange},
    // A date the calendar does not have.
    {"2023-02-29T00:00:00Z", kImpossible},
    {"1900-02-29T00:00:00Z", kImpossible},
    {"2024-02-30T00:00:00Z", kImpossible},
    {"2024-04-31T00:00:00Z", kImpossible},
    {"2024-11-31T23:59:60Z", kImpossible},
    // The first fault from the left decides; the calendar comes last.
    {"2024-13-01T00:00:00Zjunk", kOutOfRange},
    {"2024-13-01X00:00:00Z", kOutOfRange},
    {"2024-02-30T00:00:00Zjunk", kTrailing},
    {"2024-02-30T24:00:00Z", kOutOfRange},
    {"2024-02-30T00:00:00", kTooShort},
};

TEST(Rfc3339, FailuresCarryTheirFixedDescription) {
  for (const Bad& b : kBad) {
    const auto got = parse_rfc3339(b.text);
    ASSERT_FALSE(got.has_value()) << b.text;
    EXPECT_EQ(got.error().description, b.description) << b.text;
  }
}

TEST(Rfc3339, TextWithANulByteIsRefused) {
  const std::string with_nul("2024-03-01T12:34:56Z\0", 21);
  EXPECT_EQ(parse_rfc3339(with_nul).error().description, kTrailing);
  const std::string nul_inside("2024-03-01T12:34\0:56Z", 21);
  EXPECT_EQ(parse_rfc3339(nul_inside).error().description, kInvalid);
}

}  // namespace
}  // namespace quillrun
