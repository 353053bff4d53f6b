#include "codec/read/read_cells.hpp"

#include <algorithm>
#include <string>

namespace quillrun::reader {
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

std::optional<field_error::NotUtf8> find_utf8_error(std::span<const std::uint8_t> bytes) noexcept {
  const std::size_t len = bytes.size();
  std::size_t i = 0;
  while (i < len) {
    const std::uint8_t lead = bytes[i];
    const std::size_t width = sequence_width(lead);
    if (width == 1) {
      ++i;
      continue;
    }
    const auto bad = [&](std::optional<std::uint64_t> error_len) {
      return field_error::NotUtf8{static_cast<std::uint64_t>(i), error_len};
    };
    if (width == 0) return bad(1);
    // Each following byte: running out of input first means "incomplete",
    // a wrong byte means a bad sequence of the bytes seen so far.
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= len) return bad(std::nullopt);
      const std::uint8_t b = bytes[i + k];
      const bool fits = k == 1 ? second_byte_fits(lead, b) : is_continuation(b);
      if (!fits) return bad(static_cast<std::uint64_t>(k));
    }
    i += width;
  }
  return std::nullopt;
}

Result<std::string_view, FieldError> decode_fixed_field(std::span<const std::uint8_t> cell, std::size_t width) {
  if (cell.size() != width) return fail(FieldError{field_error::WrongWidth{width, cell.size()}});
  const auto nul = std::find(cell.begin(), cell.end(), std::uint8_t{0});
  if (nul == cell.end()) return fail(FieldError{field_error::NoTerminator{width}});
  const auto stray = std::find_if(nul, cell.end(), [](std::uint8_t b) { return b != 0; });
  if (stray != cell.end()) {
    return fail(FieldError{field_error::TrailingData{static_cast<std::uint64_t>(stray - cell.begin())}});
  }
  const auto content = cell.first(static_cast<std::size_t>(nul - cell.begin()));
  if (auto bad = find_utf8_error(content)) return fail(FieldError{*bad});
  return std::string_view(reinterpret_cast<const char*>(content.data()), content.size());
}

Result<std::string_view, FieldError> decode_fixed_field_256(std::span<const std::uint8_t> cell) {
  return decode_fixed_field(cell, kLabelWidth);
}
Result<std::string_view, FieldError> decode_fixed_field_32(std::span<const std::uint8_t> cell) {
  return decode_fixed_field(cell, kIconNameWidth);
}
Result<std::string_view, FieldError> decode_fixed_field_8(std::span<const std::uint8_t> cell) {
  return decode_fixed_field(cell, kColorHexWidth);
}

Result<Instant, SdkError> micros_to_instant(std::string_view group, std::string_view dataset, std::uint64_t row,
                                            std::int64_t micros) {
  if (auto t = instant_from_us(micros)) return *t;
  return fail(SdkError{sdk_error::MicrosOutOfRange{std::string(group), std::string(dataset), row, micros}});
}

Result<std::optional<Instant>, SdkError> decode_time_us(std::uint64_t cell, std::string_view group,
                                                        std::string_view dataset, std::uint64_t row) {
  if (cell == kAbsentTimeCell) return std::optional<Instant>{};
  QR_ASSIGN_OR_RETURN(const Instant t, micros_to_instant(group, dataset, row, static_cast<std::int64_t>(cell)));
  return std::optional<Instant>{t};
}

Result<Instant, SdkError> micros_to_marker_time(std::string_view group, std::string_view dataset, std::uint64_t row,
                                                std::int64_t cell) {
  return micros_to_instant(group, dataset, row, cell);
}

}  // namespace quillrun::reader
