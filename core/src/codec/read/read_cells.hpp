#pragma once
// Decoding of single stored cells: fixed-width NUL-padded text fields,
// microsecond time cells and NaN-marked float cells. Shared by every table
// reader.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "quillrun/instant.hpp"
#include "quillrun/layout.hpp"
#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::reader {

using layout::kAbsentTimeCell;

inline constexpr std::size_t kLabelWidth = layout::markers::kLabel.text_width;
inline constexpr std::size_t kVariantPathWidth = layout::event_markers::kVariantPath.text_width;
inline constexpr std::size_t kAnnotationWidth = layout::event_markers::kAnnotation.text_width;
inline constexpr std::size_t kIconNameWidth = layout::event_marker_styles::kIconName.text_width;
inline constexpr std::size_t kColorHexWidth = layout::event_marker_styles::kColorHex.text_width;
static_assert(kVariantPathWidth == layout::event_marker_styles::kVariantPath.text_width);

// The first UTF-8 fault of `bytes`, or none when they are all valid. The
// fault is reported as the standard decoders do: the length of the valid
// prefix, and the length of the bad sequence, or none when the bytes end
// inside a sequence that could still have been valid.
[[nodiscard]] std::optional<field_error::NotUtf8> find_utf8_error(std::span<const std::uint8_t> bytes) noexcept;

// One stored row of a text column of `width` bytes. The view points into
// `cell`; empty when the row holds no text.
[[nodiscard]] Result<std::string_view, FieldError> decode_fixed_field(std::span<const std::uint8_t> cell,
                                                                      std::size_t width);
[[nodiscard]] Result<std::string_view, FieldError> decode_fixed_field_256(std::span<const std::uint8_t> cell);
[[nodiscard]] Result<std::string_view, FieldError> decode_fixed_field_32(std::span<const std::uint8_t> cell);
[[nodiscard]] Result<std::string_view, FieldError> decode_fixed_field_8(std::span<const std::uint8_t> cell);

// Row `row` of a flat text column read whole; the caller has checked that
// the column holds at least (row + 1) * width bytes.
[[nodiscard]] inline std::span<const std::uint8_t> fixed_field_cell(std::span<const std::uint8_t> column,
                                                                    std::size_t width, std::size_t row) noexcept {
  return column.subspan(row * width, width);
}

// A signed microsecond count since the epoch as an instant, or
// MicrosOutOfRange naming the cell.
[[nodiscard]] Result<Instant, SdkError> micros_to_instant(std::string_view group, std::string_view dataset,
                                                          std::uint64_t row, std::int64_t micros);

// A cell of an optional (u64) time column: none for the absent sentinel,
// else its bit pattern read as a signed count.
[[nodiscard]] Result<std::optional<Instant>, SdkError> decode_time_us(std::uint64_t cell, std::string_view group,
                                                                      std::string_view dataset, std::uint64_t row);

// A cell of a mandatory (i64) time column.
[[nodiscard]] Result<Instant, SdkError> micros_to_marker_time(std::string_view group, std::string_view dataset,
                                                              std::uint64_t row, std::int64_t cell);

// The bit pattern of an i64 count as a u64 cell, for older files whose
// optional time columns are missing and fall back on `time`.
[[nodiscard]] constexpr std::uint64_t time_cell_from_count(std::int64_t count) noexcept {
  return static_cast<std::uint64_t>(count);
}

// A cell of an optional float column: none for NaN, the absent marker.
template <class T>
[[nodiscard]] std::optional<T> unless_nan(T value) noexcept {
  return std::isnan(value) ? std::nullopt : std::optional<T>(value);
}

}  // namespace quillrun::reader
