#include "base/utf8.hpp"

namespace quillrun::utf8 {
namespace {

[[nodiscard]] bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0U) == 0x80U; }

// Bytes of the sequence that `lead` starts; 0 for a byte that starts none.
[[nodiscard]] std::size_t sequence_width(std::uint8_t lead) noexcept {
  if (lead < 0x80U) return 1;
  if (lead >= 0xC2U && lead <= 0xDFU) return 2;
  if (lead >= 0xE0U && lead <= 0xEFU) return 3;
  if (lead >= 0xF0U && lead <= 0xF4U) return 4;
  return 0;
}

// The second byte's range depends on the lead: it rules out overlong forms,
// surrogates and code points past U+10FFFF.
[[nodiscard]] bool second_byte_fits(std::uint8_t lead, std::uint8_t b) noexcept {
  switch (lead) {
    case 0xE0U: return b >= 0xA0U && b <= 0xBFU;
    case 0xEDU: return b >= 0x80U && b <= 0x9FU;
    case 0xF0U: return b >= 0x90U && b <= 0xBFU;
    case 0xF4U: return b >= 0x80U && b <= 0x8FU;
    default: return is_continuation(b);
  }
}

}  // namespace

Result<CodePoint, Fault> decode(std::span<const std::uint8_t> bytes) noexcept {
  const std::uint8_t lead = bytes[0];
  const std::size_t width = sequence_width(lead);
  if (width == 1) return CodePoint{lead, 1};
  if (width == 0) return fail(Fault{1});
  // Each following byte: running out of input first means "incomplete", a
  // wrong byte means a bad sequence of the bytes seen so far.
  for (std::size_t k = 1; k < width; ++k) {
    if (k >= bytes.size()) return fail(Fault{std::nullopt});
    const std::uint8_t b = bytes[k];
    const bool fits = k == 1 ? second_byte_fits(lead, b) : is_continuation(b);
    if (!fits) return fail(Fault{k});
  }
  char32_t value = lead & (0x7FU >> width);
  for (std::size_t k = 1; k < width; ++k) value = (value << 6) | (bytes[k] & 0x3FU);
  return CodePoint{value, width};
}

}  // namespace quillrun::utf8

namespace quillrun {

std::optional<field_error::NotUtf8> find_utf8_error(std::span<const std::uint8_t> bytes) noexcept {
  std::size_t i = 0;
  while (i < bytes.size()) {
    // ASCII, by far the most common, skips the decoder.
    if (bytes[i] < 0x80U) {
      ++i;
      continue;
    }
    auto decoded = utf8::decode(bytes.subspan(i));
    if (!decoded) {
      const std::optional<std::size_t> length = decoded.error().length;
      return field_error::NotUtf8{static_cast<std::uint64_t>(i),
                                  length ? std::optional<std::uint64_t>(*length) : std::nullopt};
    }
    i += decoded->length;
  }
  return std::nullopt;
}

}  // namespace quillrun
