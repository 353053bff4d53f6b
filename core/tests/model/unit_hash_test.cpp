#include <gtest/gtest.h>

#include "quillrun/unit_hash.hpp"
#include "quillrun/units.hpp"

namespace quillrun {
namespace {

// The published values every SDK of the format gives.
TEST(UnitHash, PublishedValues) {
  const auto km = unit_from_text("km");
  ASSERT_TRUE(km.has_value());
  EXPECT_EQ(unit_hash(*km), 8931370276842600112);
  EXPECT_EQ(unit_hash(ChannelUnit::recognized(*km)), 7129239058288065891);
  EXPECT_EQ(unit_hash(ChannelUnit::custom("rpm")), -520175411496060762);
}

TEST(UnitHash, VariantTellsEqualTextsApart) {
  EXPECT_NE(unit_hash(ChannelUnit::custom("rpm")), unit_hash(ChannelUnit::legacy("rpm")));
}

}  // namespace
}  // namespace quillrun
