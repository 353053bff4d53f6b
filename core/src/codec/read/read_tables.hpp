#pragma once
// The table readers behind read_nav_file, called in the order of the file's
// layout: nav points, satellite reports, markers, event markers, styles,
// channels.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/read/dataset_access.hpp"
#include "quillrun/records.hpp"
#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"
#include "quillrun/trace.hpp"

namespace quillrun::reader {

// Rows decoded by one task of the thread pool.
inline constexpr std::size_t kRowsPerBlock = 16384;

[[nodiscard]] Result<std::vector<NavPoint>, SdkError> read_nav_points(ReaderFile& file);
// Attaches each report to the nav point its row names.
[[nodiscard]] Status<SdkError> read_sat_reports(std::vector<NavPoint>& points, ReaderFile& file);
[[nodiscard]] Result<std::vector<Marker>, SdkError> read_markers(ReaderFile& file);
[[nodiscard]] Result<std::vector<EventMarkerPoint>, SdkError> read_event_markers(ReaderFile& file);
[[nodiscard]] Result<std::vector<EventMarkerStyle>, SdkError> read_event_marker_styles(ReaderFile& file);
[[nodiscard]] Result<std::vector<Channel>, SdkError> read_channels(ReaderFile& file);

// One row of event_markers; the cells are the row's slices of the text columns.
[[nodiscard]] Result<EventMarkerPoint, SdkError> decode_event_marker_row(std::uint64_t row,
                                                                         std::span<const std::uint8_t> variant_path,
                                                                         std::span<const std::uint8_t> annotation,
                                                                         std::uint64_t sys_time_us, double lat,
                                                                         double lon);

// The version text parsed as the reader accepts it: an optional "+", then
// ASCII digits only, within 32 bits.
[[nodiscard]] std::optional<std::uint32_t> parse_version(std::string_view text) noexcept;

// The unit of a channel from its stored text: a catalog unit, else a custom
// label, else (surrounding white space, control characters, nothing left) a
// legacy label held verbatim.
[[nodiscard]] ChannelUnit unit_from_stored_text(std::string text);

}  // namespace quillrun::reader
