#include "quillrun/text.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/non_printable.hpp"

namespace quillrun {
namespace {

// What the quoted form shows as it is, and what it escapes:
//
// - `"` and `\` get a backslash; tab, carriage return, line feed and NUL
//   become \t, \r, \n and \0.
// - Every other non-printable code point becomes \u{…} (lowercase hex, no
//   leading zeros). Non-printable means a Unicode "Other" or "Separator"
//   character other than the ASCII space (non_printable.hpp): controls,
//   format characters, private use and unassigned code points, and blanks
//   such as U+00A0 or U+3000 that would read as an ordinary space.
// - Every other character, non-ASCII included, appears as it is.
// - A byte that does not start a well-formed UTF-8 sequence (a text read
//   from a damaged file) is shown as \x{NN} (lowercase hex), one byte at a
//   time, and decoding resumes at the next byte.
bool is_printable(char32_t cp) noexcept {
  const auto& table = detail::kNonPrintable;
  // The first range that ends at or after cp is the only one that can hold it.
  const auto it = std::lower_bound(table.begin(), table.end(), cp,
                                   [](const detail::CodePointRange& r, char32_t c) { return r.last < c; });
  return it == table.end() || cp < it->first;
}

struct Decoded {
  char32_t cp;
  std::size_t len;
};

// One well-formed UTF-8 sequence at the start of `s`, or none (overlong
// forms, surrogates and values past U+10FFFF are not well-formed).
std::optional<Decoded> decode_one(std::string_view s) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const auto cont = [&](std::size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
  const std::uint8_t b0 = byte(0);
  if (b0 < 0x80) return Decoded{b0, 1};
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (!cont(1)) return std::nullopt;
    return Decoded{static_cast<char32_t>(((b0 & 0x1Fu) << 6) | (byte(1) & 0x3Fu)), 2};
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (!cont(1) || !cont(2)) return std::nullopt;
    const auto cp = static_cast<char32_t>(((b0 & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu));
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    return Decoded{cp, 3};
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return std::nullopt;
    const auto cp = static_cast<char32_t>(((b0 & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) |
                                          ((byte(2) & 0x3Fu) << 6) | (byte(3) & 0x3Fu));
    if (cp < 0x10000 || cp > 0x10FFFF) return std::nullopt;
    return Decoded{cp, 4};
  }
  return std::nullopt;
}

void append_hex(std::string& out, std::uint32_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char buf[8];
  std::size_t n = 0;
  do {
    buf[n++] = kDigits[value & 0xFu];
    value >>= 4;
  } while (value != 0);
  while (n > 0) out.push_back(buf[--n]);
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const auto decoded = decode_one(text.substr(i));
    if (!decoded) {
      out += "\\x{";
      append_hex(out, static_cast<std::uint8_t>(text[i]));
      out.push_back('}');
      ++i;
      continue;
    }
    const char32_t cp = decoded->cp;
    switch (cp) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (is_printable(cp)) {
          out.append(text.substr(i, decoded->len));
        } else {
          out += "\\u{";
          append_hex(out, static_cast<std::uint32_t>(cp));
          out.push_back('}');
        }
    }
    i += decoded->len;
  }
  out.push_back('"');
  return out;
}

}  // namespace quillrun
