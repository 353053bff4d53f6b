// The markers table: placed annotations with their labels and icon codes.

#include <string>
#include <utility>

#include "quillrun/codes.hpp"
#include "quillrun/log.hpp"
#include "codec/layout.hpp"
#include "codec/read/read_cells.hpp"
#include "codec/read/read_tables.hpp"

namespace quillrun::reader {

Result<std::vector<Marker>, SdkError> read_markers(ReaderFile& file) {
  namespace mk = layout::markers;
  constexpr std::string_view kGroup = mk::kGroup;
  QR_ASSIGN_OR_RETURN(const std::optional<ReaderGroup> group, open_optional_group(file, kGroup));
  if (!group) return std::vector<Marker>();
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::int64_t> time, read_required<std::int64_t>(*group, mk::kTime.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<double> lat, read_required<double>(*group, mk::kLat.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<double> lon, read_required<double>(*group, mk::kLon.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::uint8_t> icon, read_required<std::uint8_t>(*group, mk::kIcon.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::uint8_t> label, read_required<std::uint8_t>(*group, mk::kLabel.name));

  const std::uint64_t n = time.size();
  QR_TRY(expect_rows(kGroup, mk::kLat.name, n, lat.size()));
  QR_TRY(expect_rows(kGroup, mk::kLon.name, n, lon.size()));
  QR_TRY(expect_rows(kGroup, mk::kIcon.name, n, icon.size()));
  // Only the byte count matters: a flat column of n x 256 bytes is accepted.
  QR_TRY(expect_rows(kGroup, mk::kLabel.name, n * kLabelWidth, label.size()));

  std::vector<Marker> markers;
  markers.reserve(time.size());
  for (std::size_t row = 0; row < time.size(); ++row) {
    const auto r = static_cast<std::uint64_t>(row);
    auto text = decode_fixed_field_256(fixed_field_cell(label, kLabelWidth, row));
    if (!text) {
      return fail(
          SdkError{sdk_error::FieldDecode{std::string(kGroup), std::string(mk::kLabel.name), std::move(text).error()}});
    }
    Marker marker;
    marker.icon = icon[row];
    marker.icon_unknown = !is_known_marker_icon(marker.icon);
    if (marker.icon_unknown) {
      QR_WARN(log::targets::read,
              "unrecognized markers/icon code " + std::to_string(marker.icon) + ", preserving it as-is");
    }
    QR_ASSIGN_OR_RETURN(marker.time, micros_to_marker_time(kGroup, mk::kTime.name, r, time[row]));
    if (!text->empty()) marker.label = std::string(*text);
    marker.lat = lat[row];
    marker.lon = lon[row];
    markers.push_back(std::move(marker));
  }
  return markers;
}

}  // namespace quillrun::reader
