#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "assembly/association.hpp"

namespace quillrun {
namespace {

constexpr std::int64_t kSec = 1'000'000;
constexpr std::int64_t kMs = 1'000;
constexpr double kPi = 3.14159265358979323846;  // for the expected step lengths

// Times in these tests are microseconds after 2024-05-01T00:00:00Z.
const std::int64_t kBase = us(*make_instant(2024, 5, 1, 0, 0, 0));

Instant t(std::int64_t micros) { return *instant_from_us(kBase + micros); }
std::int64_t rel(const Instant& i) { return us(i) - kBase; }

NavFix fix(Timestamps times, double lat = 0, double lon = 0, std::optional<double> heading = std::nullopt) {
  NavFix f;
  f.lat = lat;
  f.lon = lon;
  f.times = times;
  f.heading = heading;
  f.speed_mps = 3.0;
  f.eph_m = 4.0;
  return f;
}
NavFix rx_fix(std::int64_t gps, double lat = 0, double lon = 0, std::optional<double> heading = std::nullopt) {
  return fix(Timestamps::receiver_only(t(gps)), lat, lon, heading);
}
NavFix both_fix(std::int64_t gps, std::int64_t sys, double lat = 0, double lon = 0) {
  return fix(Timestamps::both(t(gps), t(sys)), lat, lon);
}

// The report's id is the PRN of its one satellite.
SatelliteReport rep(std::uint32_t id, Timestamps times) {
  return SatelliteReport{{Satellite{0, id, true, 45.0f, 90.0f, 40.0f}}, times};
}
SatelliteReport rx_rep(std::uint32_t id, std::int64_t gps) { return rep(id, Timestamps::receiver_only(t(gps))); }
SatelliteReport host_rep(std::uint32_t id, std::int64_t sys) { return rep(id, Timestamps::host_only(t(sys))); }

std::uint32_t id_of(const SatelliteReport& r) { return r.tracked.at(0).prn; }

std::vector<std::optional<std::uint32_t>> held_ids(const Association& a) {
  std::vector<std::optional<std::uint32_t>> ids;
  for (const std::size_t j : a.fix_report)
    ids.push_back(j == Association::kNoReport ? std::nullopt : std::optional(id_of(a.reports.at(j))));
  return ids;
}

Association run(const std::vector<NavFix>& fixes, std::vector<SatelliteReport> reports, std::int64_t window) {
  auto result = associate_reports(fixes, std::move(reports), window);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().message());
  return result ? std::move(result).value() : Association{};
}

using Ids = std::vector<std::optional<std::uint32_t>>;
constexpr std::nullopt_t kNone = std::nullopt;

TEST(Association, WindowIsInclusive) {
  const std::vector<NavFix> fixes = {rx_fix(0)};
  auto inside = run(fixes, {rx_rep(1, 500 * kMs)}, 500 * kMs);
  EXPECT_EQ(held_ids(inside), (Ids{1}));
  EXPECT_TRUE(inside.ghosts.empty());

  auto outside = run(fixes, {rx_rep(1, 500 * kMs + 1)}, 500 * kMs);
  EXPECT_EQ(held_ids(outside), (Ids{kNone}));
  ASSERT_EQ(outside.ghosts.size(), 1u);
  EXPECT_EQ(rel(outside.ghosts[0].times.first), 500 * kMs + 1);

  auto before = run(fixes, {rx_rep(1, -500 * kMs)}, 500 * kMs);
  EXPECT_EQ(held_ids(before), (Ids{1}));
}

TEST(Association, WindowZeroTakesOnlyExactTimes) {
  const std::vector<NavFix> fixes = {rx_fix(0), rx_fix(10 * kSec)};
  auto a = run(fixes, {rx_rep(1, 0), rx_rep(2, 10 * kSec - 1)}, 0);
  EXPECT_EQ(held_ids(a), (Ids{1, kNone}));
  ASSERT_EQ(a.ghosts.size(), 1u);
}

TEST(Association, SaturatedWindowAcceptsEveryCandidate) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  // The distance between the ends of the instant range does not fit 64 bits.
  const std::vector<NavFix> fixes = {fix(Timestamps::receiver_only(min_instant()))};
  std::vector<SatelliteReport> reports = {rep(1, Timestamps::receiver_only(max_instant()))};
  auto far = associate_reports(fixes, reports, max);
  ASSERT_TRUE(far.has_value());
  EXPECT_EQ(held_ids(*far), (Ids{1}));

  // Any window short of the saturated end leaves it over, after the fix.
  auto ghost = associate_reports(fixes, reports, max - 1);
  ASSERT_TRUE(ghost.has_value());
  ASSERT_EQ(ghost->ghosts.size(), 1u);
  EXPECT_EQ(us(ghost->ghosts[0].times.first), us(max_instant()));
}

TEST(Association, TieBetweenTwoFixesGoesToTheEarlier) {
  const std::vector<NavFix> fixes = {rx_fix(0), rx_fix(1000)};
  EXPECT_EQ(held_ids(run(fixes, {rx_rep(1, 500)}, 500)), (Ids{1, kNone}));
  EXPECT_EQ(held_ids(run(fixes, {rx_rep(1, 501)}, 500)), (Ids{kNone, 1}));
  // Out of the earlier fix's reach, the later one takes it.
  EXPECT_EQ(held_ids(run(fixes, {rx_rep(1, 400)}, 450)), (Ids{1, kNone}));
  EXPECT_EQ(held_ids(run(fixes, {rx_rep(1, 499)}, 501)), (Ids{1, kNone}));
  EXPECT_EQ(held_ids(run(fixes, {rx_rep(1, 600)}, 450)), (Ids{kNone, 1}));
}

TEST(Association, EqualDistanceKeepsTheEarlierReport) {
  const std::vector<NavFix> fixes = {rx_fix(0, 0, 0), rx_fix(10 * kMs, 10, 20)};
  // Both are 100 us from fix 0; the second is refused there and is not
  // offered to fix 1, though fix 1 is inside the window.
  auto a = run(fixes, {rx_rep(1, -100), rx_rep(2, 100)}, 500 * kMs);
  EXPECT_EQ(held_ids(a), (Ids{1, kNone}));
  ASSERT_EQ(a.ghosts.size(), 1u);
  const NavPoint& g = a.ghosts[0];
  EXPECT_EQ(id_of(*g.satellites), 2u);
  EXPECT_EQ(rel(g.times.first), 100);
  EXPECT_DOUBLE_EQ(g.lat, 0.1);
  EXPECT_NEAR(g.lon, 0.2, 1e-12);  // the wrap through +180 costs a few ulps
}

TEST(Association, CloserReportPushesTheHolderOut) {
  const std::vector<NavFix> fixes = {rx_fix(0, 7, 8), rx_fix(10 * kMs)};
  auto a = run(fixes, {rx_rep(1, -200), rx_rep(2, 50)}, 500 * kMs);
  EXPECT_EQ(held_ids(a), (Ids{2, kNone}));
  ASSERT_EQ(a.ghosts.size(), 1u);
  // Pushed out before the first fix: a ghost on it, at its own time.
  EXPECT_EQ(id_of(*a.ghosts[0].satellites), 1u);
  EXPECT_EQ(rel(a.ghosts[0].times.first), -200);
  EXPECT_EQ(a.ghosts[0].lat, 7);
  EXPECT_EQ(a.ghosts[0].lon, 8);
  EXPECT_FALSE(a.ghosts[0].heading.has_value());
}

TEST(Association, HostOnlyReportAgainstFixClocks) {
  // Host time to host time against a fix that has both clocks.
  const std::vector<NavFix> both = {both_fix(0, 5 * kSec)};
  EXPECT_EQ(held_ids(run(both, {host_rep(1, 5 * kSec + 300 * kMs)}, 500 * kMs)), (Ids{1}));
  EXPECT_EQ(held_ids(run(both, {host_rep(1, 5 * kSec + 501 * kMs)}, 500 * kMs)), (Ids{kNone}));

  // Against a receiver-only fix, with no clock offset at all, its own time.
  const std::vector<NavFix> rx = {rx_fix(0)};
  EXPECT_EQ(held_ids(run(rx, {host_rep(1, 300 * kMs)}, 500 * kMs)), (Ids{1}));
  auto far = run(rx, {host_rep(1, 600 * kMs)}, 500 * kMs);
  EXPECT_EQ(held_ids(far), (Ids{kNone}));
  EXPECT_EQ(rel(far.ghosts.at(0).times.first), 600 * kMs);

  // Moved onto the receiver clock, it is 0.1 s from the receiver-only fix
  // but 1.9 s from the other by host time.
  const std::vector<NavFix> mixed = {both_fix(0, 10 * kSec), rx_fix(2 * kSec)};
  EXPECT_EQ(held_ids(run(mixed, {host_rep(1, 11'900 * kMs)}, 500 * kMs)), (Ids{kNone, 1}));
}

TEST(Association, HostOnlyReportTakesTheOffsetOfTheNearestHostTime) {
  // Fix 0 and fix 2 are 5 s away by host time; fix 0 comes first.
  const std::vector<NavFix> fixes = {both_fix(0, 100 * kSec), rx_fix(10 * kSec), both_fix(20 * kSec, 110 * kSec)};
  auto a = run(fixes, {host_rep(1, 105 * kSec)}, 0);
  ASSERT_EQ(a.ghosts.size(), 1u);
  // rt = 105 s - 100 s: the gap between fixes 0 and 1, whose only offset is
  // fix 0's; halfway through the dt the ghost time is its own time moved.
  EXPECT_EQ(rel(a.ghosts[0].times.first), 5 * kSec);

  // Two samples share a host time: the first fix's offset.
  const std::vector<NavFix> same_host = {both_fix(0, 100 * kSec), both_fix(10 * kSec, 100 * kSec)};
  EXPECT_EQ(held_ids(run(same_host, {host_rep(1, 101 * kSec)}, 2 * kSec)), (Ids{1, kNone}));

  // The nearest by host time is the later sample.
  const std::vector<NavFix> later = {both_fix(0, 100 * kSec), both_fix(10 * kSec, 105 * kSec)};
  auto b = run(later, {host_rep(1, 104 * kSec)}, 500 * kMs);
  EXPECT_EQ(held_ids(b), (Ids{kNone, kNone}));
  ASSERT_EQ(b.ghosts.size(), 1u);
  // Offsets -100 s and -95 s interpolated at 4/5 of the host gap: -96 s.
  EXPECT_EQ(rel(b.ghosts[0].times.first), 8 * kSec);
  EXPECT_DOUBLE_EQ(b.ghosts[0].lat, 0.0);
}

TEST(Association, GroupingUsesStrictlyEarlierFixes) {
  // The second report has the same time as fix 1 but its slot is taken: it
  // goes into the gap that ends at fix 1, not after it.
  const std::vector<NavFix> fixes = {rx_fix(0, 0, 0), rx_fix(10 * kSec, 0, 1)};
  auto a = run(fixes, {rx_rep(1, 10 * kSec), rx_rep(2, 10 * kSec)}, 0);
  EXPECT_EQ(held_ids(a), (Ids{kNone, 1}));
  ASSERT_EQ(a.ghosts.size(), 1u);
  EXPECT_EQ(rel(a.ghosts[0].times.first), 10 * kSec);
  EXPECT_DOUBLE_EQ(a.ghosts[0].lon, 1.0);
  ASSERT_TRUE(a.ghosts[0].heading.has_value());
  EXPECT_NEAR(*a.ghosts[0].heading, 90.0, 1e-9);

  // With one fix, that report is before-first.
  const std::vector<NavFix> one = {rx_fix(10 * kSec, 3, 4)};
  auto b = run(one, {rx_rep(1, 10 * kSec), rx_rep(2, 10 * kSec)}, 0);
  ASSERT_EQ(b.ghosts.size(), 1u);
  EXPECT_FALSE(b.ghosts[0].heading.has_value());
  EXPECT_EQ(b.ghosts[0].lat, 3);
}

TEST(Association, HostOnlyReportExactlyAtAFixTimeJoinsTheGapBefore) {
  // Nearest host time is fix 0's (offset 0), so rt = 10 s = fix 1's time.
  const std::vector<NavFix> fixes = {both_fix(0, 0, 0, 0), both_fix(10 * kSec, 50 * kSec, 0, 10),
                                     rx_fix(20 * kSec)};
  auto a = run(fixes, {host_rep(1, 10 * kSec)}, 1 * kSec);
  ASSERT_EQ(a.ghosts.size(), 1u);
  // Offsets 0 and -40 s; host gap 50 s; s = 0.2 gives -8 s: time 2 s.
  EXPECT_EQ(rel(a.ghosts[0].times.first), 2 * kSec);
  EXPECT_DOUBLE_EQ(a.ghosts[0].lon, 2.0);
}

TEST(Ghosts, BeforeFirstTakesTheFixOffset) {
  const std::vector<NavFix> fixes = {both_fix(100 * kSec, 200 * kSec, 1, 2)};
  const SatelliteReport r = host_rep(1, 150 * kSec);
  auto a = run(fixes, {r}, 0);
  ASSERT_EQ(a.ghosts.size(), 1u);
  const NavPoint& g = a.ghosts[0];
  EXPECT_EQ(g.times.kind, TimeKind::ReceiverOnly);
  EXPECT_EQ(rel(g.times.first), 50 * kSec);
  EXPECT_EQ(g.lat, 1);
  EXPECT_EQ(g.lon, 2);
  EXPECT_FALSE(g.heading.has_value());
  EXPECT_FALSE(g.speed_mps.has_value());
  EXPECT_FALSE(g.eph_m.has_value());
  ASSERT_TRUE(g.satellites.has_value());
  EXPECT_EQ(*g.satellites, r);
}

TEST(Ghosts, EvenSpacingInAFourSecondGap) {
  const std::vector<NavFix> fixes = {rx_fix(0, 0, 0), rx_fix(4 * kSec, 0, 4)};
  // Host-only, no clock offsets: their own times are not used.
  auto a = run(fixes, {host_rep(1, 500 * kMs), host_rep(2, 700 * kMs), host_rep(3, 3'900 * kMs)}, 0);
  ASSERT_EQ(a.ghosts.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    const NavPoint& g = a.ghosts[k];
    EXPECT_EQ(id_of(*g.satellites), k + 1);
    EXPECT_EQ(rel(g.times.first), static_cast<std::int64_t>(k + 1) * kSec);
    EXPECT_DOUBLE_EQ(g.lon, static_cast<double>(k + 1));
    EXPECT_DOUBLE_EQ(g.lat, 0.0);
    ASSERT_TRUE(g.heading.has_value());
    EXPECT_NEAR(*g.heading, 90.0, 1e-9);
    EXPECT_FALSE(g.speed_mps.has_value());
  }
}

TEST(Ghosts, BearingOfTheGap) {
  const auto heading_of = [](double lat_b, double lon_b) {
    const std::vector<NavFix> fixes = {rx_fix(0, 0, 0), rx_fix(4 * kSec, lat_b, lon_b)};
    auto a = run(fixes, {rx_rep(1, kSec)}, 0);
    return a.ghosts.at(0).heading.value();
  };
  EXPECT_NEAR(heading_of(4, 0), 0.0, 1e-9);
  EXPECT_NEAR(heading_of(0, -4), 270.0, 1e-9);
  EXPECT_NEAR(heading_of(-4, 0), 180.0, 1e-9);
  EXPECT_NEAR(heading_of(0, 4), 90.0, 1e-9);
}

TEST(Ghosts, AcrossTheAntimeridian) {
  const std::vector<NavFix> fixes = {rx_fix(0, 0, 179.9), rx_fix(2 * kSec, 0, -179.9)};
  auto a = run(fixes, {rx_rep(1, kSec), rx_rep(2, 500 * kMs)}, 0);
  ASSERT_EQ(a.ghosts.size(), 2u);
  // Sorted by time in the gap: the report at 0.5 s first.
  EXPECT_EQ(id_of(*a.ghosts[0].satellites), 2u);
  EXPECT_NEAR(a.ghosts[0].lon, 179.95, 1e-9);
  EXPECT_NEAR(std::fabs(a.ghosts[1].lon), 180.0, 1e-9);
  EXPECT_NEAR(*a.ghosts[1].heading, 90.0, 1e-6);
}

TEST(Ghosts, ByTimeSortsStably) {
  const std::vector<NavFix> fixes = {both_fix(0, 50 * kSec, 0, 0), rx_fix(10 * kSec, 10, 0)};
  // Ordered by time within the gap, equal times in sorted order.
  auto a = run(fixes, {rx_rep(1, 4 * kSec), rx_rep(2, 4 * kSec), rep(3, Timestamps::both(t(2 * kSec), t(0)))}, 0);
  ASSERT_EQ(a.ghosts.size(), 3u);
  EXPECT_EQ(id_of(*a.ghosts[0].satellites), 3u);
  EXPECT_EQ(id_of(*a.ghosts[1].satellites), 1u);
  EXPECT_EQ(id_of(*a.ghosts[2].satellites), 2u);
  EXPECT_DOUBLE_EQ(a.ghosts[0].lat, 2.0);
  EXPECT_DOUBLE_EQ(a.ghosts[1].lat, 4.0);

  // Host time 30 s on a clock 50 s ahead: -20 s, before the first fix.
  auto b = run(fixes, {host_rep(1, 30 * kSec)}, 0);
  ASSERT_EQ(b.ghosts.size(), 1u);
  EXPECT_EQ(rel(b.ghosts[0].times.first), -20 * kSec);
  EXPECT_EQ(b.ghosts[0].lat, 0);
}

TEST(Ghosts, AfterLastSteppingAlongTheHeading) {
  const std::vector<NavFix> fixes = {rx_fix(0, 0, 10, 90.0)};
  auto a = run(fixes, {rx_rep(1, kSec), rx_rep(2, 2 * kSec), rx_rep(3, 3 * kSec)}, 0);
  ASSERT_EQ(a.ghosts.size(), 3u);
  // 1 m, 3 m and 5 m east on a sphere of radius 6371 km.
  const double deg_per_m = 180.0 / kPi / 6'371'000.0;
  for (std::size_t k = 0; k < 3; ++k) {
    const NavPoint& g = a.ghosts[k];
    EXPECT_NEAR(g.lat, 0.0, 1e-12);
    EXPECT_NEAR(g.lon - 10.0, static_cast<double>(2 * k + 1) * deg_per_m, 1e-12);
    EXPECT_FALSE(g.heading.has_value());
    EXPECT_EQ(rel(g.times.first), static_cast<std::int64_t>(k + 1) * kSec);
  }

  // Heading north from 45 degrees: latitude grows by the step, longitude stays.
  const std::vector<NavFix> north = {rx_fix(0, 45, 10, 0.0)};
  auto b = run(north, {rx_rep(1, kSec), rx_rep(2, 2 * kSec)}, 0);
  EXPECT_NEAR(b.ghosts[0].lat, 45.0 + deg_per_m, 1e-12);
  EXPECT_NEAR(b.ghosts[1].lat, 45.0 + 3 * deg_per_m, 1e-12);
  EXPECT_NEAR(b.ghosts[1].lon, 10.0, 1e-12);
}

TEST(Ghosts, AfterLastWithoutAUsableHeadingSitsOnTheFix) {
  for (const std::optional<double> heading :
       {std::optional<double>(), std::optional(std::numeric_limits<double>::quiet_NaN()),
        std::optional(std::numeric_limits<double>::infinity()),
        std::optional(-std::numeric_limits<double>::infinity())}) {
    const std::vector<NavFix> fixes = {rx_fix(0, 0, 0), both_fix(kSec, 3 * kSec, 5, 6)};
    std::vector<NavFix> with_heading = fixes;
    with_heading[1].heading = heading;
    // Host-only: moved by the last fix's offset (-2 s).
    auto a = run(with_heading, {host_rep(1, 10 * kSec), rx_rep(2, 20 * kSec)}, 0);
    ASSERT_EQ(a.ghosts.size(), 2u);
    EXPECT_EQ(rel(a.ghosts[0].times.first), 8 * kSec);
    EXPECT_EQ(rel(a.ghosts[1].times.first), 20 * kSec);
    for (const NavPoint& g : a.ghosts) {
      EXPECT_EQ(g.lat, 5);
      EXPECT_EQ(g.lon, 6);
      EXPECT_FALSE(g.heading.has_value());
    }
  }
}

TEST(Ghosts, HostOnlyGapWithoutHostProgressTakesTheMeanOffset) {
  // Offsets -100 s and -90.000001 s; the later host time is not after the
  // earlier one. The mean truncates toward zero: -95'000'000 us.
  for (const std::int64_t later_host : {100 * kSec, 99 * kSec}) {
    const std::vector<NavFix> fixes = {both_fix(0, 100 * kSec, 0, 0),
                                       both_fix(later_host - 90 * kSec - 1, later_host, 10, 0)};
    auto a = run(fixes, {host_rep(1, 100'200 * kMs)}, 0);
    ASSERT_EQ(a.ghosts.size(), 1u);
    EXPECT_EQ(rel(a.ghosts[0].times.first), 5'200 * kMs);
  }
}

TEST(Ghosts, OutOfRangeTimesFailWithoutOverflow) {
  // The offset alone spans the whole instant range: the ghost time does not
  // fit 64 bits and is reported saturated.
  const std::vector<NavFix> huge = {fix(Timestamps::both(max_instant(), min_instant()))};
  auto a = associate_reports(huge, {rep(1, Timestamps::host_only(max_instant()))}, 0);
  ASSERT_FALSE(a.has_value());
  EXPECT_EQ(a.error(), BuildError{build_error::GhostFixOutOfRange{std::numeric_limits<std::int64_t>::max()}});

  // Inside 64 bits but past the last instant: the exact microseconds.
  const std::vector<NavFix> fixes = {both_fix(0, -kBase)};  // offset: kBase
  const std::int64_t host = us(max_instant()) - 1000;
  auto b = associate_reports(fixes, {rep(1, Timestamps::host_only(*instant_from_us(host)))}, 0);
  ASSERT_FALSE(b.has_value());
  EXPECT_EQ(b.error(), BuildError{build_error::GhostFixOutOfRange{host + kBase}});

  // Both leftover reports give out-of-range ghosts; the before-first one is
  // made, and fails, first. Offsets: -1e15 us on fix 0, +1e15 us on fix 1.
  const std::int64_t big = 1'000'000'000'000'000;
  const std::vector<NavFix> two = {both_fix(0, big), both_fix(kSec, kSec - big)};
  const std::int64_t low = us(min_instant()) + 10;
  auto c = associate_reports(two,
                             {rep(1, Timestamps::host_only(*instant_from_us(low))),
                              rep(2, Timestamps::host_only(*instant_from_us(host)))},
                             0);
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error(), BuildError{build_error::GhostFixOutOfRange{low - big}});
}

TEST(Ghosts, GhostTimesAtTheEndsOfTheInstantRange) {
  // The first and last microsecond of the years -262143 to 262142, counted
  // by 400-year cycles of 146097 days from 1970-01-01.
  const std::int64_t first_us = -8'334'601'228'800'000'000;
  const std::int64_t last_us = 8'210'266'876'799'999'999;
  const Instant first = *instant_from_us(first_us);
  const Instant last = *instant_from_us(last_us);

  // Exactly at either end: made.
  const std::vector<NavFix> mid = {rx_fix(0)};
  auto ends = associate_reports(mid, {rep(1, Timestamps::receiver_only(first)), rep(2, Timestamps::receiver_only(last))},
                                0);
  ASSERT_TRUE(ends.has_value());
  ASSERT_EQ(ends->ghosts.size(), 2u);
  EXPECT_EQ(us(ends->ghosts[0].times.first), first_us);
  EXPECT_EQ(us(ends->ghosts[1].times.first), last_us);

  // One microsecond past either end, through a clock offset of -1 and +1 us.
  const std::vector<NavFix> behind = {both_fix(0, 1)};
  auto before = associate_reports(behind, {rep(1, Timestamps::host_only(first))}, 0);
  ASSERT_FALSE(before.has_value());
  EXPECT_EQ(before.error(), BuildError{build_error::GhostFixOutOfRange{-8'334'601'228'800'000'001}});
  EXPECT_EQ(before.error().message(),
            "a ghost nav fix at -8334601228800000001 microseconds is past the range a UTC timestamp covers");

  const std::vector<NavFix> ahead = {both_fix(1, 0)};
  auto after = associate_reports(ahead, {rep(1, Timestamps::host_only(last))}, 0);
  ASSERT_FALSE(after.has_value());
  EXPECT_EQ(after.error(), BuildError{build_error::GhostFixOutOfRange{8'210'266'876'800'000'000}});
}

TEST(Ghosts, InterpolatedOffsetTruncatesTowardZero) {
  // Offsets -100 s and -100 s - 3 us over a host gap of 10 s + 3 us. At host
  // 105 s, s = 5'000'000 / 10'000'003 and s * -3 us = -1.49999955 us, which
  // truncates to -1 us (a floor would give -2).
  const std::vector<NavFix> fixes = {both_fix(0, 100 * kSec, 0, 0), both_fix(10 * kSec, 110 * kSec + 3, 10, 0)};
  auto a = run(fixes, {host_rep(1, 105 * kSec)}, 0);
  ASSERT_EQ(a.ghosts.size(), 1u);
  EXPECT_EQ(rel(a.ghosts[0].times.first), 5 * kSec - 1);
  // q = 4'999'999 / 10'000'000 of the way to the second fix.
  EXPECT_NEAR(a.ghosts[0].lat, 4.999999, 1e-12);
}

TEST(Ghosts, ByTimeClampsTheOffsetShareAndThePositionButNotTheTime) {
  // The report's host time (190 s) is nearest fix 2's (200 s): rt = 10 s,
  // the first time of fix 1, so it falls in the gap between fixes 0 and 1.
  // There s = (190 - 100) / 4 is clamped to 1: offset -94 s, time 96 s,
  // past fix 1 yet kept; q = 9.6 is clamped to 1: fix 1's position.
  const std::vector<NavFix> fixes = {both_fix(0, 100 * kSec, 0, 0), both_fix(10 * kSec, 104 * kSec, 10, 20),
                                     both_fix(20 * kSec, 200 * kSec, 30, 30)};
  auto a = run(fixes, {host_rep(1, 190 * kSec)}, 0);
  EXPECT_EQ(held_ids(a), (Ids{kNone, kNone, kNone}));
  ASSERT_EQ(a.ghosts.size(), 1u);
  EXPECT_EQ(rel(a.ghosts[0].times.first), 96 * kSec);
  EXPECT_DOUBLE_EQ(a.ghosts[0].lat, 10.0);
  EXPECT_NEAR(a.ghosts[0].lon, 20.0, 1e-12);
  ASSERT_TRUE(a.ghosts[0].heading.has_value());
}

// ---------------------------------------------------------------------------
// A plain O(F * R) reading of the rules, to check the binary searches against.

struct RefGhost {
  std::int64_t time;
  double lat, lon;
  std::optional<double> heading;
  std::uint32_t id;
};

struct RefResult {
  std::vector<std::optional<std::uint32_t>> held;
  std::vector<RefGhost> ghosts;
};

double ref_wrap(double x) {
  double r = std::fmod(x + 180.0, 360.0);
  if (r < 0) r += 360.0;
  return r - 180.0;
}

RefResult reference(const std::vector<NavFix>& fixes, const std::vector<SatelliteReport>& reports, std::int64_t w) {
  const std::size_t n = fixes.size();
  const auto first = [](const auto& x) { return us(x.times.first); };
  const auto host = [](const auto& x) { return us(*x.times.sys_time()); };
  const auto has_offset = [](const NavFix& f) { return f.times.kind == TimeKind::Both; };
  const auto offset = [&](const NavFix& f) { return first(f) - host(f); };
  const auto host_only = [](const SatelliteReport& r) { return r.times.kind == TimeKind::HostOnly; };

  std::vector<std::int64_t> rt(reports.size());
  for (std::size_t j = 0; j < reports.size(); ++j) {
    const std::int64_t tt = first(reports[j]);
    rt[j] = tt;
    if (!host_only(reports[j])) continue;
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < n; ++i) {
      if (!has_offset(fixes[i])) continue;
      const std::int64_t d = std::abs(first(fixes[i]) - (tt + offset(fixes[i])));
      if (!best || d < std::abs(first(fixes[*best]) - (tt + offset(fixes[*best])))) best = i;
    }
    if (best) rt[j] = tt + offset(fixes[*best]);
  }
  const auto below = [&](std::int64_t v) {
    std::size_t c = 0;
    for (const NavFix& f : fixes) c += first(f) < v ? 1u : 0u;
    return c;
  };
  const auto dist = [&](std::size_t j, std::size_t i) {
    if (host_only(reports[j]) && fixes[i].times.sys_time()) return std::abs(first(reports[j]) - host(fixes[i]));
    return std::abs(rt[j] - first(fixes[i]));
  };

  std::vector<std::optional<std::pair<std::int64_t, std::size_t>>> slot(n);
  for (std::size_t j = 0; j < reports.size(); ++j) {
    const std::size_t p = below(rt[j]);
    std::optional<std::size_t> chosen;
    if (p >= 1 && dist(j, p - 1) <= w) chosen = p - 1;
    if (p < n && dist(j, p) <= w && (!chosen || dist(j, p) < dist(j, *chosen))) chosen = p;
    if (!chosen) continue;
    auto& s = slot[*chosen];
    if (!s || dist(j, *chosen) < s->first) s = std::pair(dist(j, *chosen), j);
  }
  RefResult out;
  std::vector<bool> taken(reports.size());
  for (const auto& s : slot) {
    out.held.push_back(s ? std::optional(id_of(reports[s->second])) : std::nullopt);
    if (s) taken[s->second] = true;
  }

  std::vector<std::vector<std::size_t>> lists(n + 1);
  for (std::size_t j = 0; j < reports.size(); ++j)
    if (!taken[j]) lists[std::min(below(rt[j]), n)].push_back(j);

  const auto rad = [](double d) { return d * 0.017453292519943295; };
  const auto deg = [](double r) { return r * 57.29577951308232; };
  for (std::size_t j : lists[0]) {
    std::int64_t time = first(reports[j]);
    if (host_only(reports[j]) && has_offset(fixes[0])) time += offset(fixes[0]);
    out.ghosts.push_back({time, fixes[0].lat, fixes[0].lon, std::nullopt, id_of(reports[j])});
  }
  for (std::size_t g = 1; g < n; ++g) {
    const auto& list = lists[g];
    if (list.empty()) continue;
    const NavFix& a = fixes[g - 1];
    const NavFix& b = fixes[g];
    const double dlon = ref_wrap(b.lon - a.lon);
    const double theta = std::atan2(std::sin(rad(dlon)) * std::cos(rad(b.lat)),
                                    std::cos(rad(a.lat)) * std::sin(rad(b.lat)) -
                                        std::sin(rad(a.lat)) * std::cos(rad(b.lat)) * std::cos(rad(dlon)));
    const double heading = std::fmod(deg(theta) + 360.0, 360.0);
    const std::int64_t dt = first(b) - first(a);
    bool any_rx = false;
    for (std::size_t j : list) any_rx = any_rx || !host_only(reports[j]);
    if (!has_offset(a) && !has_offset(b) && !any_rx) {
      for (std::size_t k = 1; k <= list.size(); ++k) {
        const double q = static_cast<double>(k) / static_cast<double>(list.size() + 1);
        out.ghosts.push_back({first(a) + static_cast<std::int64_t>(q * static_cast<double>(dt)),
                              a.lat + q * (b.lat - a.lat), ref_wrap(a.lon + q * dlon), heading,
                              id_of(reports[list[k - 1]])});
      }
      continue;
    }
    std::vector<std::pair<std::int64_t, std::size_t>> timed;
    for (std::size_t j : list) {
      std::int64_t tt = first(reports[j]);
      if (host_only(reports[j])) {
        if (!has_offset(a)) {
          if (has_offset(b)) tt += offset(b);
        } else if (!has_offset(b)) {
          tt += offset(a);
        } else {
          const std::int64_t dh = host(b) - host(a);
          if (dh >= 1) {
            double s = static_cast<double>(tt - host(a)) / static_cast<double>(dh);
            s = s < 0 ? 0 : (s > 1 ? 1 : s);
            tt += offset(a) + static_cast<std::int64_t>(s * static_cast<double>(offset(b) - offset(a)));
          } else {
            tt += (offset(a) + offset(b)) / 2;
          }
        }
      }
      timed.emplace_back(tt, j);
    }
    // Insertion sort: stable by construction.
    for (std::size_t x = 1; x < timed.size(); ++x)
      for (std::size_t y = x; y > 0 && timed[y].first < timed[y - 1].first; --y) std::swap(timed[y], timed[y - 1]);
    for (const auto& [tt, j] : timed) {
      double q = 0.5;
      if (dt >= 1) {
        q = static_cast<double>(tt - first(a)) / static_cast<double>(dt);
        q = q < 0 ? 0 : (q > 1 ? 1 : q);
      }
      out.ghosts.push_back({tt, a.lat + q * (b.lat - a.lat), ref_wrap(a.lon + q * dlon), heading, id_of(reports[j])});
    }
  }
  const NavFix& z = fixes[n - 1];
  double lat = z.lat, lon = z.lon;
  bool first_step = true;
  for (std::size_t j : lists[n]) {
    std::int64_t time = first(reports[j]);
    if (host_only(reports[j]) && has_offset(z)) time += offset(z);
    if (z.heading && std::isfinite(*z.heading)) {
      const double d = (first_step ? 1.0 : 2.0) / 6'371'000.0;
      const double h = rad(*z.heading);
      const double p1 = rad(lat);
      const double p2 = std::asin(std::sin(p1) * std::cos(d) + std::cos(p1) * std::sin(d) * std::cos(h));
      const double l2 =
          rad(lon) + std::atan2(std::sin(h) * std::sin(d) * std::cos(p1), std::cos(d) - std::sin(p1) * std::sin(p2));
      lat = deg(p2);
      lon = ref_wrap(deg(l2));
    }
    first_step = false;
    out.ghosts.push_back({time, lat, lon, std::nullopt, id_of(reports[j])});
  }
  return out;
}

class RandomTrace : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RandomTrace, MatchesThePlainReading) {
  std::mt19937_64 rng(GetParam());
  const auto uniform = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
  };
  const auto random_times = [&](std::int64_t gps) {
    // Coarse times so that ties and exact hits happen often.
    const std::int64_t sys = gps + uniform(-3, 3) * 100 * kMs + uniform(0, 2) * kSec;
    switch (uniform(0, 2)) {
      case 0: return Timestamps::both(t(gps), t(sys));
      case 1: return Timestamps::host_only(t(sys));
      default: return Timestamps::receiver_only(t(gps));
    }
  };

  const std::size_t n_fixes = static_cast<std::size_t>(uniform(1, 300));
  const std::size_t n_reports = static_cast<std::size_t>(uniform(0, 400));
  std::vector<NavFix> fixes;
  for (std::size_t i = 0; i < n_fixes; ++i) {
    NavFix f = fix(random_times(uniform(0, 600) * 100 * kMs), static_cast<double>(uniform(-800, 800)) / 10.0,
                   static_cast<double>(uniform(-1800, 1799)) / 10.0);
    if (uniform(0, 1) == 1) f.heading = static_cast<double>(uniform(0, 359));
    fixes.push_back(f);
  }
  std::vector<SatelliteReport> reports;
  for (std::size_t j = 0; j < n_reports; ++j)
    reports.push_back(rep(static_cast<std::uint32_t>(j + 1), random_times(uniform(-20, 620) * 100 * kMs)));
  const auto by_first = [](const auto& x, const auto& y) { return x.times.first < y.times.first; };
  std::stable_sort(fixes.begin(), fixes.end(), by_first);
  std::stable_sort(reports.begin(), reports.end(), by_first);
  const std::int64_t windows[] = {0, 100 * kMs, 500 * kMs, 2 * kSec};
  const std::int64_t w = windows[uniform(0, 3)];

  const RefResult expected = reference(fixes, reports, w);
  auto got = associate_reports(fixes, reports, w);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(held_ids(*got), expected.held);
  ASSERT_EQ(got->ghosts.size(), expected.ghosts.size());
  for (std::size_t k = 0; k < expected.ghosts.size(); ++k) {
    const NavPoint& g = got->ghosts[k];
    const RefGhost& e = expected.ghosts[k];
    EXPECT_EQ(id_of(*g.satellites), e.id) << k;
    EXPECT_EQ(us(g.times.first), e.time) << k;
    EXPECT_DOUBLE_EQ(g.lat, e.lat) << k;
    EXPECT_DOUBLE_EQ(g.lon, e.lon) << k;
    EXPECT_EQ(g.heading.has_value(), e.heading.has_value()) << k;
    if (g.heading && e.heading) {
      EXPECT_DOUBLE_EQ(*g.heading, *e.heading) << k;
    }
  }
  // Every report ends in exactly one place.
  std::size_t held = 0;
  for (const auto& h : expected.held) held += h ? 1u : 0u;
  EXPECT_EQ(held + expected.ghosts.size(), reports.size());
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomTrace, ::testing::Range<std::uint32_t>(1, 41),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace quillrun
