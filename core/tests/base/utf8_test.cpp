#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/utf8.hpp"

namespace quillrun {
namespace {

// The first sequence of `bytes`: its code point and length, or the fault's
// length (0 standing for "incomplete").
struct DecodeCase {
  const char* name;
  std::string bytes;
  std::optional<char32_t> value;
  std::size_t length;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class Utf8Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8Decode, FirstSequence) {
  const auto& c = GetParam();
  const auto decoded = utf8::decode(utf8::bytes_of(c.bytes));
  ASSERT_EQ(decoded.has_value(), c.value.has_value());
  if (c.value) {
    EXPECT_EQ(decoded->value, *c.value);
    EXPECT_EQ(decoded->length, c.length);
  } else {
    EXPECT_EQ(decoded.error().length.value_or(0), c.length);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Utf8Decode,
    ::testing::Values(DecodeCase{"nul", std::string(1, '\0'), U'\0', 1}, DecodeCase{"ascii_last", "\x7f", U'\x7f', 1},
                      DecodeCase{"two_first", "\xc2\x80", U'\u0080', 2},
                      DecodeCase{"two_last", "\xdf\xbf", U'\u07ff', 2},
                      DecodeCase{"three_first", "\xe0\xa0\x80", U'\u0800', 3},
                      DecodeCase{"before_surrogates", "\xed\x9f\xbf", U'\ud7ff', 3},
                      DecodeCase{"after_surrogates", "\xee\x80\x80", U'\ue000', 3},
                      DecodeCase{"four_first", "\xf0\x90\x80\x80", U'\U00010000', 4},
                      DecodeCase{"four_last", "\xf4\x8f\xbf\xbf", U'\U0010ffff', 4},
                      DecodeCase{"continuation_alone", "\x80", std::nullopt, 1},
                      DecodeCase{"overlong_lead_c1", "\xc1\xbf", std::nullopt, 1},
                      DecodeCase{"lead_f5", "\xf5\x80\x80\x80", std::nullopt, 1},
                      DecodeCase{"overlong_three", "\xe0\x9f\xbf", std::nullopt, 1},
                      DecodeCase{"surrogate", "\xed\xa0\x80", std::nullopt, 1},
                      DecodeCase{"past_10ffff", "\xf4\x90\x80\x80", std::nullopt, 1},
                      DecodeCase{"bad_third_byte", "\xe2\x82" "A", std::nullopt, 2},
                      DecodeCase{"bad_fourth_byte", "\xf0\x90\x80" "A", std::nullopt, 3},
                      DecodeCase{"incomplete_two", "\xc3", std::nullopt, 0},
                      DecodeCase{"incomplete_four", "\xf0\x90\x80", std::nullopt, 0}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(FindUtf8Error, PositionOfTheFirstFault) {
  EXPECT_FALSE(find_utf8_error(utf8::bytes_of("plain \xc3\xa9 \xf0\x9f\x98\x80")).has_value());
  const auto bad = find_utf8_error(utf8::bytes_of("ab\xc3\xa9\xe2\x82" "A\xff"));
  ASSERT_TRUE(bad.has_value());
  EXPECT_EQ(bad->valid_up_to, 4u);
  EXPECT_EQ(bad->error_len, 2u);
  const auto cut = find_utf8_error(utf8::bytes_of("abc\xe2\x82"));
  ASSERT_TRUE(cut.has_value());
  EXPECT_EQ(cut->valid_up_to, 3u);
  EXPECT_FALSE(cut->error_len.has_value());
}

}  // namespace
}  // namespace quillrun
