#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillrun
