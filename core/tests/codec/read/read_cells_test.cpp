#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "codec/read/read_cells.hpp"

namespace quillrun::reader {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes cell(std::string_view content, std::size_t width) {
  Bytes b(content.begin(), content.end());
  b.resize(width, 0);
  return b;
}

// --- fixed-width fields ---------------------------------------------------

TEST(FixedField, AllNulIsEmptyText) {
  const auto r = decode_fixed_field_256(Bytes(256, 0));
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, "");
}

TEST(FixedField, OnlyTheLastByteNulHolds255Bytes) {
  Bytes b(256, 'x');
  b[255] = 0;
  const auto r = decode_fixed_field_256(b);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size(), 255u);
}

TEST(FixedField, EachWidthAcceptsItsOwnCellsOnly) {
  EXPECT_EQ(*decode_fixed_field_32(cell("satellite_lost", 32)), "satellite_lost");
  EXPECT_EQ(*decode_fixed_field_8(cell("#A0b1C2", 8)), "#A0b1C2");
  EXPECT_EQ(*decode_fixed_field(cell("note", 512), 512), "note");
  const auto r = decode_fixed_field_8(cell("#A0b1C2", 32));
  ASSERT_FALSE(r);
  const auto* w = std::get_if<field_error::WrongWidth>(&r.error().value);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->width, 8u);
  EXPECT_EQ(w->length, 32u);
}

TEST(FixedField, NoNulIsNoTerminator) {
  const auto r = decode_fixed_field_256(Bytes(256, 'a'));
  ASSERT_FALSE(r);
  const auto* e = std::get_if<field_error::NoTerminator>(&r.error().value);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->width, 256u);
}

TEST(FixedField, ByteAfterTheTerminatorIsTrailingData) {
  Bytes b = cell("ab", 256);
  b[3] = 'c';
  const auto r = decode_fixed_field_256(b);
  ASSERT_FALSE(r);
  const auto* e = std::get_if<field_error::TrailingData>(&r.error().value);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->offset, 3u);
  // 41 00 42 00 ...: the stray byte is at offset 2.
  const auto c = decode_fixed_field_8(Bytes{0x41, 0, 0x42, 0, 0, 0, 0, 0});
  ASSERT_FALSE(c);
  EXPECT_EQ(std::get<field_error::TrailingData>(c.error().value).offset, 2u);
}

TEST(FixedField, OrderOfChecks) {
  // Wrong width wins over everything; a missing terminator over bad UTF-8;
  // trailing data over bad UTF-8 in the content.
  EXPECT_TRUE(std::holds_alternative<field_error::WrongWidth>(decode_fixed_field_8(Bytes(7, 0xFF)).error().value));
  EXPECT_TRUE(std::holds_alternative<field_error::NoTerminator>(decode_fixed_field_8(Bytes(8, 0xFF)).error().value));
  EXPECT_TRUE(std::holds_alternative<field_error::TrailingData>(
      decode_fixed_field_8(Bytes{0xFF, 0, 0xFF, 0, 0, 0, 0, 0}).error().value));
}

// --- UTF-8 ----------------------------------------------------------------

struct Utf8Case {
  const char* name;
  Bytes content;
  std::uint64_t valid_up_to;
  std::optional<std::uint64_t> error_len;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class FixedFieldUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(FixedFieldUtf8, ReportsTheFirstFault) {
  const Utf8Case& c = GetParam();
  Bytes b = c.content;
  b.resize(32, 0);
  const auto r = decode_fixed_field_32(b);
  ASSERT_FALSE(r);
  const auto* e = std::get_if<field_error::NotUtf8>(&r.error().value);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->valid_up_to, c.valid_up_to);
  EXPECT_EQ(e->error_len, c.error_len);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FixedFieldUtf8,
    ::testing::Values(Utf8Case{"lone_ff", {0xFF}, 0, 1},
                      Utf8Case{"stray_continuation", {'a', 0x80}, 1, 1},
                      Utf8Case{"overlong_c0", {0xC0, 0x80}, 0, 1},
                      Utf8Case{"two_byte_cut", {'a', 'b', 0xC3}, 2, std::nullopt},
                      Utf8Case{"three_byte_cut_after_two", {0xE2, 0x82}, 0, std::nullopt},
                      Utf8Case{"three_byte_bad_third", {0xE2, 0x82, 'x'}, 0, 2},
                      Utf8Case{"overlong_e0", {0xE0, 0x80, 0x80}, 0, 1},
                      Utf8Case{"surrogate", {'z', 0xED, 0xA0, 0x80}, 1, 1},
                      Utf8Case{"four_byte_cut_after_three", {0xF0, 0x9F, 0x98}, 0, std::nullopt},
                      Utf8Case{"four_byte_bad_fourth", {0xF0, 0x9F, 0x98, 'x'}, 0, 3},
                      Utf8Case{"past_10ffff", {0xF4, 0x90, 0x80, 0x80}, 0, 1},
                      Utf8Case{"f5_lead", {0xF5, 0x80, 0x80, 0x80}, 0, 1},
                      Utf8Case{"after_valid_multibyte", {0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xFE}, 5, 1}),
    [](const ::testing::TestParamInfo<Utf8Case>& p) { return std::string(p.param.name); });

TEST(FixedFieldUtf8Valid, MultiByteTextIsKept) {
  const std::string text = "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF";
  EXPECT_EQ(*decode_fixed_field_32(cell(text, 32)), text);
}

// --- time cells -----------------------------------------------------------

// -262143-01-01T00:00:00Z is 96,465,292 days before the epoch.
constexpr std::int64_t kLowestMicros = -96'465'292LL * 86'400 * 1'000'000;
constexpr std::int64_t kHighestMicros = 8'210'266'876'799'999'999LL;

void expect_out_of_range(const SdkError& e, std::string_view group, std::string_view dataset, std::uint64_t row,
                         std::int64_t micros) {
  const auto* m = std::get_if<sdk_error::MicrosOutOfRange>(&e.value);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->group, group);
  EXPECT_EQ(m->dataset, dataset);
  EXPECT_EQ(m->row, row);
  EXPECT_EQ(m->micros, micros);
}

TEST(TimeCells, AllOnesIsAbsent) {
  const auto r = decode_time_us(std::numeric_limits<std::uint64_t>::max(), "nav_points", "gps_time_us", 0);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->has_value());
}

TEST(TimeCells, FloorDivisionBefore1970) {
  // -1,000,000 us is 1969-12-31T23:59:59Z; -1 us the last microsecond of 1969.
  const auto t = micros_to_marker_time("markers", "time", 0, -1'000'000);
  ASSERT_TRUE(t);
  EXPECT_EQ(*t, (Instant{-1, 86'399, 0}));
  const auto u = decode_time_us(std::uint64_t{0} - 1'000'000, "sat_reports", "gps_time_us", 0);
  ASSERT_TRUE(u && u->has_value());
  EXPECT_EQ(**u, (Instant{-1, 86'399, 0}));
  const auto v = decode_time_us(0xFFFF'FFFF'FFFF'FFFEULL, "sat_reports", "gps_time_us", 0);
  ASSERT_TRUE(v && v->has_value());
  EXPECT_EQ(**v, (Instant{-1, 86'399, 999'998'000}));
  // 1,500,000 us: 1.5 s after the epoch.
  EXPECT_EQ(*micros_to_marker_time("markers", "time", 0, 1'500'000), (Instant{0, 1, 500'000'000}));
}

TEST(TimeCells, ExactRangeBounds) {
  static_assert(kLowestMicros == -8'334'601'228'800'000'000LL);
  // -262143-01-01T00:00:00Z and 262142-12-31T23:59:59.999999Z.
  EXPECT_EQ(*micros_to_marker_time("markers", "time", 0, kLowestMicros), (Instant{-96'465'292, 0, 0}));
  EXPECT_EQ(*micros_to_marker_time("markers", "time", 0, kHighestMicros),
            (Instant{95'026'236, 86'399, 999'999'000}));
  const auto low = micros_to_marker_time("markers", "time", 7, kLowestMicros - 1);
  ASSERT_FALSE(low);
  expect_out_of_range(low.error(), "markers", "time", 7, kLowestMicros - 1);
  const auto high = micros_to_marker_time("channels", "time", 3, kHighestMicros + 1);
  ASSERT_FALSE(high);
  expect_out_of_range(high.error(), "channels", "time", 3, kHighestMicros + 1);
}

TEST(TimeCells, HighU64CellsReadAsNegativeCounts) {
  const auto r = decode_time_us(9'223'372'036'854'775'808ULL, "nav_points", "gps_time_us", 5);
  ASSERT_FALSE(r);
  expect_out_of_range(r.error(), "nav_points", "gps_time_us", 5, std::numeric_limits<std::int64_t>::min());
  const auto top = decode_time_us(static_cast<std::uint64_t>(kHighestMicros) + 1, "event_markers", "sys_time_us", 2);
  ASSERT_FALSE(top);
  expect_out_of_range(top.error(), "event_markers", "sys_time_us", 2, kHighestMicros + 1);
}

TEST(TimeCells, CountFallbackKeepsTheBitPattern) {
  EXPECT_EQ(time_cell_from_count(-1), kAbsentTimeCell);
  EXPECT_EQ(time_cell_from_count(-1'000'000), 18'446'744'073'708'551'616ULL);
}

}  // namespace
}  // namespace quillrun::reader
