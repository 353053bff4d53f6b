#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "quillrun/instant.hpp"

namespace quillrun {
namespace {

TEST(Instant, EpochAndPre1970) {
  EXPECT_EQ(us(*make_instant(1970, 1, 1, 0, 0, 0)), 0);
  EXPECT_EQ(us(*make_instant(1969, 12, 31, 23, 59, 59, 999'999'000)), -1);
  const auto t = instant_from_us(-1);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->days, -1);
  EXPECT_EQ(t->secs, 86'399u);
  EXPECT_EQ(t->nanos, 999'999'000u);
}

TEST(Instant, MicrosTruncateTowardZeroOfNanos) {
  EXPECT_EQ(us(*make_instant(1970, 1, 1, 0, 0, 0, 1'999)), 1);
  EXPECT_EQ(us(*make_instant(1969, 12, 31, 23, 59, 59, 999'999'999)), -1);
}

TEST(Instant, RangeEnds) {
  // Worked out by hand: -262143-01-01 is 96 465 292 days before the epoch.
  EXPECT_EQ(min_instant().days, -96'465'292);
  EXPECT_EQ(us(min_instant()), -96'465'292LL * 86'400 * 1'000'000);
  EXPECT_TRUE(instant_from_us(us(min_instant())).has_value());
  EXPECT_FALSE(instant_from_us(us(min_instant()) - 1).has_value());
  EXPECT_TRUE(instant_from_us(us(max_instant())).has_value());
  EXPECT_FALSE(instant_from_us(us(max_instant()) + 1).has_value());
  EXPECT_FALSE(make_instant(262143, 1, 1, 0, 0, 0).has_value());
  EXPECT_FALSE(make_instant(2023, 2, 29, 0, 0, 0).has_value());
  EXPECT_TRUE(make_instant(2024, 2, 29, 0, 0, 0).has_value());
}

TEST(Instant, CivilRoundTrip) {
  for (std::int64_t d : {-96'465'292LL, -719'468LL, -1LL, 0LL, 19'000LL, 95'026'236LL}) {
    const CivilDate c = civil_from_days(d);
    EXPECT_EQ(days_from_civil(c.year, c.month, c.day), d);
  }
}

constexpr std::int64_t kUsMin = -8'334'601'228'800'000'000;  // us(min_instant()), by hand
constexpr std::int64_t kUsMax = 8'210'266'876'799'999'999;   // us(max_instant()), by hand
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
const Instant kMin{-96'465'292, 0, 0};
const Instant kMax{95'026'236, 86'399, 999'999'999};

TEST(Instant, OrdersByDateThenSecondsThenNanos) {
  const std::vector<Instant> ascending = {
      {-96'465'292, 0, 0}, {-1, 86'399, 999'999'999}, {0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 86'399, 999'999'999},
      // A leap second sorts before the next day, though us() puts it there.
      {0, 86'399, 1'999'999'999}, {1, 0, 0}, {95'026'236, 86'399, 999'999'999}};
  for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
    EXPECT_LT(ascending[i], ascending[i + 1]) << i;
    EXPECT_GT(ascending[i + 1], ascending[i]) << i;
  }
  EXPECT_EQ((Instant{3, 4, 5}), (Instant{3, 4, 5}));
}

struct UsCase {
  Instant t;
  std::int64_t micros;
};

TEST(Instant, UsTruncatesTheNanosAndCountsLeapSecondsForward) {
  const std::vector<UsCase> cases = {
      {{0, 0, 999}, 0},
      {{0, 0, 1'000}, 1},
      {{0, 0, 1'999}, 1},
      {{-1, 86'399, 999'999'999}, -1},
      {{-1, 86'399, 999}, -1'000'000},
      {{-1, 0, 1}, -86'400'000'000},
      {{911, 86'399, 1'000'000'000}, 912LL * 86'400'000'000},
      {{911, 86'399, 1'999'999'999}, 912LL * 86'400'000'000 + 999'999},
      {kMin, kUsMin},
      {kMax, kUsMax},
  };
  for (const UsCase& c : cases) {
    EXPECT_EQ(us(c.t), c.micros) << c.t.days << " " << c.t.secs << " " << c.t.nanos;
  }
}

TEST(Instant, RangeEndsAreTheFirstAndLastInstantOfTheYears) {
  EXPECT_EQ(min_instant(), kMin);
  EXPECT_EQ(max_instant(), kMax);
  EXPECT_EQ(civil_from_days(kMin.days), (CivilDate{-262'143, 1, 1}));
  EXPECT_EQ(civil_from_days(kMax.days), (CivilDate{262'142, 12, 31}));
  EXPECT_EQ(civil_from_days(-719'528), (CivilDate{0, 1, 1}));
  EXPECT_EQ(civil_from_days(-719'529), (CivilDate{-1, 12, 31}));
}

struct FromUsCase {
  std::int64_t micros;
  std::optional<Instant> t;
};

const std::vector<FromUsCase> kFromUs = {
    {0, Instant{0, 0, 0}},
    {-1, Instant{-1, 86'399, 999'999'000}},
    {-999'999, Instant{-1, 86'399, 1'000}},
    {-1'000'000, Instant{-1, 86'399, 0}},
    {-1'000'001, Instant{-1, 86'398, 999'999'000}},
    {-86'400'000'000, Instant{-1, 0, 0}},
    {-86'400'000'001, Instant{-2, 86'399, 999'999'000}},
    {86'399'999'999, Instant{0, 86'399, 999'999'000}},
    {86'400'000'000, Instant{1, 0, 0}},
    {kUsMin, kMin},
    {kUsMin - 1, std::nullopt},
    {kUsMax, Instant{95'026'236, 86'399, 999'999'000}},
    {kUsMax + 1, std::nullopt},
    {kI64Min, std::nullopt},
    {kI64Max, std::nullopt},
};

TEST(Instant, FromUsFloorsAndStopsExactlyAtTheRangeEnds) {
  for (const FromUsCase& c : kFromUs) {
    EXPECT_EQ(instant_from_us(c.micros), c.t) << c.micros;
    EXPECT_EQ(instant_from_us_i128(c.micros), c.t) << c.micros;
  }
}

TEST(Instant, FromUs128RefusesWhatLiesBeyondSixtyFourBits) {
  const Int128 big = static_cast<Int128>(1) << 100;
  for (const Int128 v : {big, -big, static_cast<Int128>(kI64Max) + 1, static_cast<Int128>(kI64Min) - 1}) {
    EXPECT_EQ(instant_from_us_i128(v), std::nullopt);
  }
}

struct AddCase {
  Instant t;
  std::int64_t delta;
  std::optional<Instant> expected;
};

TEST(Instant, CheckedAddNeverWraps) {
  const std::vector<AddCase> cases = {
      {kMax, 0, kMax},
      {kMax, 1, std::nullopt},
      {{95'026'236, 86'399, 999'998'999}, 1, kMax},
      {kMax, -1, Instant{95'026'236, 86'399, 999'998'999}},
      {kMin, 0, kMin},
      {kMin, -1, std::nullopt},
      {kMin, 1, Instant{-96'465'292, 0, 1'000}},
      // These wrap around in 64-bit arithmetic.
      {kMax, kI64Max, std::nullopt},
      {kMin, kI64Min, std::nullopt},
      {kMin, kI64Max, Instant{10'286'699, 14'454, 775'807'000}},
      {kMax, kI64Min, Instant{-11'725'755, 71'945, 224'191'999}},
      // Sub-microsecond nanos ride along; the day boundary before 1970.
      {{0, 0, 1'500}, 1, Instant{0, 0, 2'500}},
      {{-1, 86'399, 999'999'500}, 1, Instant{0, 0, 500}},
      {{0, 0, 500}, -1, Instant{-1, 86'399, 999'999'500}},
      // A leap second counts as the start of the next one.
      {{911, 86'399, 1'000'000'000}, 0, Instant{912, 0, 0}},
      {{911, 86'399, 1'000'000'250}, -1, Instant{911, 86'399, 999'999'250}},
  };
  for (const AddCase& c : cases) {
    EXPECT_EQ(checked_add_us(c.t, c.delta), c.expected)
        << c.t.days << " " << c.t.secs << " " << c.t.nanos << " + " << c.delta;
  }
}

TEST(Instant, DiffUsIsExactAcrossTheWholeRange) {
  const Int128 span = static_cast<Int128>(16'544'868'105'599'999'999ULL);  // kUsMax - kUsMin, by hand
  EXPECT_TRUE(diff_us(kMax, kMin) == span);
  EXPECT_TRUE(diff_us(kMin, kMax) == -span);
  EXPECT_TRUE(diff_us(kMax, kMax) == 0);
  EXPECT_TRUE(diff_us(Instant{0, 0, 999}, Instant{0, 0, 0}) == 0);
  EXPECT_TRUE(diff_us(Instant{0, 0, 0}, Instant{-1, 86'399, 999'999'999}) == 1);
  EXPECT_TRUE(diff_us(Instant{1, 0, 0}, Instant{0, 0, 0}) == 86'400'000'000);
}

}  // namespace
}  // namespace quillrun
