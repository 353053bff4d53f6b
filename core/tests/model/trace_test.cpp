#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "quillrun/trace.hpp"

namespace quillrun {
namespace {

const Instant kGps{19783, 45296, 0};
const Instant kSys{19783, 45290, 500'000'000};

TEST(Timestamps, AccessorsPerKind) {
  const Timestamps both = Timestamps::both(kGps, kSys);
  EXPECT_EQ(both.kind, TimeKind::Both);
  EXPECT_EQ(both.gps_time(), kGps);
  EXPECT_EQ(both.sys_time(), kSys);
  EXPECT_EQ(both.first_time(), kGps);

  const Timestamps host = Timestamps::host_only(kSys);
  EXPECT_EQ(host.kind, TimeKind::HostOnly);
  EXPECT_EQ(host.gps_time(), std::nullopt);
  EXPECT_EQ(host.sys_time(), kSys);
  EXPECT_EQ(host.first_time(), kSys);

  const Timestamps receiver = Timestamps::receiver_only(kGps);
  EXPECT_EQ(receiver.kind, TimeKind::ReceiverOnly);
  EXPECT_EQ(receiver.gps_time(), kGps);
  EXPECT_EQ(receiver.sys_time(), std::nullopt);
  EXPECT_EQ(receiver.first_time(), kGps);
}

TEST(Timestamps, FromOptionalTimes) {
  EXPECT_EQ(Timestamps::from(kGps, kSys), Timestamps::both(kGps, kSys));
  EXPECT_EQ(Timestamps::from(kGps, std::nullopt), Timestamps::receiver_only(kGps));
  EXPECT_EQ(Timestamps::from(std::nullopt, kSys), Timestamps::host_only(kSys));
  EXPECT_EQ(Timestamps::from(std::nullopt, std::nullopt), std::nullopt);
}

TEST(Timestamps, FirstTimeIsReceiverWhenPresentWhateverTheClocks) {
  // A fix with both times sorts by its receiver time even when its host
  // time is earlier than another fix's.
  const Timestamps both = Timestamps::both(Instant{10, 0, 0}, Instant{1, 0, 0});
  const Timestamps host = Timestamps::host_only(Instant{5, 0, 0});
  const Timestamps receiver = Timestamps::receiver_only(Instant{7, 0, 0});
  std::vector<Timestamps> sorted = {both, host, receiver};
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Timestamps& a, const Timestamps& b) { return a.first_time() < b.first_time(); });
  EXPECT_EQ(sorted, (std::vector<Timestamps>{host, receiver, both}));
}

TEST(Timestamps, UnusedSecondSlotDoesNotTakePartInEquality) {
  // The reader and the assembly may leave different values in the slot
  // that a host-only or receiver-only record does not use.
  Timestamps a = Timestamps::receiver_only(kGps);
  Timestamps b = a;
  b.second = kSys;
  EXPECT_EQ(a, b);
  a.kind = b.kind = TimeKind::HostOnly;
  EXPECT_EQ(a, b);
  a.kind = b.kind = TimeKind::Both;
  EXPECT_NE(a, b);
  EXPECT_NE(Timestamps::receiver_only(kGps), Timestamps::host_only(kGps));
}

}  // namespace
}  // namespace quillrun
