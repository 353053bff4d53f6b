#include <gtest/gtest.h>

#include <string>

#include "quillrun/text.hpp"

namespace quillrun {
namespace {

struct QuotedCase {
  const char* name;
  std::string input;
  std::string expected;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const QuotedCase& c, std::ostream* os) { *os << c.name; }

class QuotedTest : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedTest, RendersExpectedForm) { EXPECT_EQ(quillrun::quoted(GetParam().input), GetParam().expected); }

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Cases, QuotedTest,
    ::testing::Values(
        QuotedCase{"empty", "", "\"\""},
        QuotedCase{"plain", "power/boot", "\"power/boot\""},
        QuotedCase{"blank_and_single_quote", "it's a b", "\"it's a b\""},
        QuotedCase{"double_quote", "a\"b", "\"a\\\"b\""},
        QuotedCase{"backslash", "a\\b", "\"a\\\\b\""},
        QuotedCase{"tab", "a\tb", "\"a\\tb\""},
        QuotedCase{"carriage_return", "a\rb", "\"a\\rb\""},
        QuotedCase{"line_feed", "a\nb", "\"a\\nb\""},
        QuotedCase{"nul", "ab\0c"s, "\"ab\\0c\""},
        QuotedCase{"c0_control", "\x01\x1f", "\"\\u{1}\\u{1f}\""},
        QuotedCase{"escape_char", "\x1b[0m", "\"\\u{1b}[0m\""},
        QuotedCase{"del", "\x7f", "\"\\u{7f}\""},
        QuotedCase{"c1_control", "\xc2\x85", "\"\\u{85}\""},
        // Blanks other than the ASCII space would pass for one: escaped.
        QuotedCase{"no_break_space", "a\xc2\xa0" "b", "\"a\\u{a0}b\""},
        QuotedCase{"em_space", "\xe2\x80\x83", "\"\\u{2003}\""},
        QuotedCase{"narrow_no_break_space", "\xe2\x80\xaf", "\"\\u{202f}\""},
        QuotedCase{"ideographic_space", "\xe3\x80\x80kph", "\"\\u{3000}kph\""},
        QuotedCase{"ogham_space_mark", "\xe1\x9a\x80", "\"\\u{1680}\""},
        QuotedCase{"soft_hyphen", "\xc2\xad", "\"\\u{ad}\""},
        QuotedCase{"zero_width_space", "\xe2\x80\x8b", "\"\\u{200b}\""},
        QuotedCase{"line_separator", "\xe2\x80\xa8", "\"\\u{2028}\""},
        QuotedCase{"rtl_override", "\xe2\x80\xae", "\"\\u{202e}\""},
        QuotedCase{"word_joiner", "\xe2\x81\xa0", "\"\\u{2060}\""},
        QuotedCase{"bidi_isolate", "\xe2\x81\xa6", "\"\\u{2066}\""},
        QuotedCase{"bom", "\xef\xbb\xbf", "\"\\u{feff}\""},
        QuotedCase{"arabic_letter_mark", "\xd8\x9c", "\"\\u{61c}\""},
        QuotedCase{"language_tag", "\xf3\xa0\x80\x81", "\"\\u{e0001}\""},
        // Unassigned and private-use code points are escaped; their assigned
        // neighbours are not (U+0377 and U+037A are Greek letters).
        QuotedCase{"unassigned_greek_gap", "\xcd\xb7\xcd\xb8\xcd\xb9\xcd\xba",
                   "\"\xcd\xb7\\u{378}\\u{379}\xcd\xba\""},
        QuotedCase{"private_use", "\xee\x80\x80", "\"\\u{e000}\""},
        QuotedCase{"noncharacter_fffe", "\xef\xbf\xbe", "\"\\u{fffe}\""},
        QuotedCase{"last_code_point", "\xf4\x8f\xbf\xbf", "\"\\u{10ffff}\""},
        QuotedCase{"replacement_char", "\xef\xbf\xbd", "\"\xef\xbf\xbd\""},
        QuotedCase{"combining_accent", "e\xcc\x81", "\"e\xcc\x81\""},
        QuotedCase{"latin_accent", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
        QuotedCase{"cjk", "\xe6\x97\xa5\xe6\x9c\xac", "\"\xe6\x97\xa5\xe6\x9c\xac\""},
        QuotedCase{"emoji", "\xf0\x9f\x9a\x97", "\"\xf0\x9f\x9a\x97\""},
        QuotedCase{"lone_continuation", "a\x80z", "\"a\\x{80}z\""},
        QuotedCase{"invalid_lead", "\xff\xfe", "\"\\x{ff}\\x{fe}\""},
        QuotedCase{"truncated_sequence", "\xe6\x97", "\"\\x{e6}\\x{97}\""},
        QuotedCase{"truncated_then_ascii", "\xe6\x97x", "\"\\x{e6}\\x{97}x\""},
        QuotedCase{"overlong_slash", "\xc0\xaf", "\"\\x{c0}\\x{af}\""},
        QuotedCase{"surrogate", "\xed\xa0\x80", "\"\\x{ed}\\x{a0}\\x{80}\""},
        QuotedCase{"past_max_code_point", "\xf4\x90\x80\x80", "\"\\x{f4}\\x{90}\\x{80}\\x{80}\""},
        QuotedCase{"invalid_then_valid", "\xff\xc3\xa9", "\"\\x{ff}\xc3\xa9\""}),
    [](const ::testing::TestParamInfo<QuotedCase>& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace quillrun
