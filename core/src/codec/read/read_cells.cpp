#include "codec/read/read_cells.hpp"

#include <algorithm>
#include <string>

namespace quillrun::reader {

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
