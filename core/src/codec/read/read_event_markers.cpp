// event_markers and event_marker_styles: rows of fixed-width text fields.

#include <string>
#include <utility>

#include "quillrun/log.hpp"
#include "quillrun/record_rules.hpp"
#include "quillrun/text.hpp"
#include "codec/layout.hpp"
#include "codec/read/read_cells.hpp"
#include "codec/read/read_tables.hpp"

namespace quillrun::reader {
namespace {

namespace em = layout::event_markers;
namespace ems = layout::event_marker_styles;
constexpr std::string_view kEvents = em::kGroup;
constexpr std::string_view kStyles = ems::kGroup;

[[nodiscard]] SdkError field_decode(std::string_view group, std::string_view dataset, FieldError error) {
  return SdkError{sdk_error::FieldDecode{std::string(group), std::string(dataset), std::move(error)}};
}

[[nodiscard]] SdkError empty_field(std::string_view group, std::string_view dataset, std::uint64_t row) {
  return SdkError{sdk_error::EmptyField{std::string(group), std::string(dataset), row}};
}

// Decodes a cell or names its column in the error.
[[nodiscard]] Result<std::string_view, SdkError> decode_cell(std::span<const std::uint8_t> cell, std::size_t width,
                                                             std::string_view group, std::string_view dataset) {
  auto text = decode_fixed_field(cell, width);
  if (!text) return fail(field_decode(group, dataset, std::move(text).error()));
  return *text;
}

// A text column's element count, checked against rows x width.
[[nodiscard]] Status<SdkError> expect_cells(std::string_view group, std::string_view dataset, std::uint64_t rows,
                                            std::size_t width, std::size_t found) {
  // rows is bounded by a column that fit in memory, so the product fits.
  return expect_rows(group, dataset, rows * width, found);
}

}  // namespace

Result<EventMarkerPoint, SdkError> decode_event_marker_row(std::uint64_t row,
                                                           std::span<const std::uint8_t> variant_path,
                                                           std::span<const std::uint8_t> annotation,
                                                           std::uint64_t sys_time_us, double lat, double lon) {
  QR_ASSIGN_OR_RETURN(const std::string_view path,
                      decode_cell(variant_path, kVariantPathWidth, kEvents, em::kVariantPath.name));
  QR_ASSIGN_OR_RETURN(const std::string_view note,
                      decode_cell(annotation, kAnnotationWidth, kEvents, em::kAnnotation.name));
  if (sys_time_us == kAbsentTimeCell) return fail(SdkError{sdk_error::EventMarkerWithoutTime{row}});
  QR_ASSIGN_OR_RETURN(const Instant sys_time,
                      micros_to_instant(kEvents, em::kSysTimeUs.name, row, static_cast<std::int64_t>(sys_time_us)));
  if (path.empty()) return fail(empty_field(kEvents, em::kVariantPath.name, row));
  EventMarkerPoint point;
  point.variant_path = std::string(path);
  point.sys_time = sys_time;
  if (!note.empty()) point.annotation = std::string(note);
  point.lat = lat;
  point.lon = lon;
  return point;
}

Result<std::vector<EventMarkerPoint>, SdkError> read_event_markers(ReaderFile& file) {
  QR_ASSIGN_OR_RETURN(const std::optional<ReaderGroup> group, open_optional_group(file, kEvents));
  if (!group) return std::vector<EventMarkerPoint>();
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::uint64_t> sys_time_us,
                      read_required<std::uint64_t>(*group, em::kSysTimeUs.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<double> lat, read_required<double>(*group, em::kLat.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<double> lon, read_required<double>(*group, em::kLon.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::uint8_t> variant_path,
                      read_required<std::uint8_t>(*group, em::kVariantPath.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::uint8_t> annotation,
                      read_required<std::uint8_t>(*group, em::kAnnotation.name));

  const std::uint64_t e = sys_time_us.size();
  QR_TRY(expect_rows(kEvents, em::kLat.name, e, lat.size()));
  QR_TRY(expect_rows(kEvents, em::kLon.name, e, lon.size()));
  QR_TRY(expect_cells(kEvents, em::kVariantPath.name, e, kVariantPathWidth, variant_path.size()));
  QR_TRY(expect_cells(kEvents, em::kAnnotation.name, e, kAnnotationWidth, annotation.size()));

  std::vector<EventMarkerPoint> markers;
  markers.reserve(sys_time_us.size());
  for (std::size_t row = 0; row < sys_time_us.size(); ++row) {
    QR_ASSIGN_OR_RETURN(EventMarkerPoint point,
                        decode_event_marker_row(static_cast<std::uint64_t>(row),
                                                fixed_field_cell(variant_path, kVariantPathWidth, row),
                                                fixed_field_cell(annotation, kAnnotationWidth, row),
                                                sys_time_us[row], lat[row], lon[row]));
    markers.push_back(std::move(point));
  }
  return markers;
}

Result<std::vector<EventMarkerStyle>, SdkError> read_event_marker_styles(ReaderFile& file) {
  QR_ASSIGN_OR_RETURN(const std::optional<ReaderGroup> group, open_optional_group(file, kStyles));
  if (!group) return std::vector<EventMarkerStyle>();
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::uint8_t> variant_path,
                      read_required<std::uint8_t>(*group, ems::kVariantPath.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::uint8_t> icon_name,
                      read_required<std::uint8_t>(*group, ems::kIconName.name));
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::uint8_t> color_hex,
                      read_required<std::uint8_t>(*group, ems::kColorHex.name));

  // The table has no other column to count its rows, so they come from
  // variant_path; a partial row there is a fault like any other count.
  const std::uint64_t y = variant_path.size() / kVariantPathWidth;
  QR_TRY(expect_cells(kStyles, ems::kVariantPath.name, y, kVariantPathWidth, variant_path.size()));
  QR_TRY(expect_cells(kStyles, ems::kIconName.name, y, kIconNameWidth, icon_name.size()));
  QR_TRY(expect_cells(kStyles, ems::kColorHex.name, y, kColorHexWidth, color_hex.size()));

  std::vector<EventMarkerStyle> styles;
  styles.reserve(static_cast<std::size_t>(y));
  for (std::size_t row = 0; row < static_cast<std::size_t>(y); ++row) {
    QR_ASSIGN_OR_RETURN(const std::string_view path,
                        decode_cell(fixed_field_cell(variant_path, kVariantPathWidth, row), kVariantPathWidth, kStyles,
                                    ems::kVariantPath.name));
    QR_ASSIGN_OR_RETURN(const std::string_view icon,
                        decode_cell(fixed_field_cell(icon_name, kIconNameWidth, row), kIconNameWidth, kStyles,
                                    ems::kIconName.name));
    QR_ASSIGN_OR_RETURN(const std::string_view color,
                        decode_cell(fixed_field_cell(color_hex, kColorHexWidth, row), kColorHexWidth, kStyles,
                                    ems::kColorHex.name));
    if (path.empty()) return fail(empty_field(kStyles, ems::kVariantPath.name, static_cast<std::uint64_t>(row)));
    EventMarkerStyle style;
    style.variant_path = std::string(path);
    style.icon = parse_icon_name(std::string(icon));
    if (style.icon.kind == StyleIcon::Kind::Foreign) {
      QR_WARN(log::targets::read,
              "unrecognized event_marker_styles/icon_name value " + quoted(icon) + ", preserving it as-is");
    }
    style.color = parse_color_hex(std::string(color));
    if (style.color.kind == ColorHex::Kind::Other) {
      QR_WARN(log::targets::read,
              "unrecognized event_marker_styles/color_hex value " + quoted(color) + ", preserving it as-is");
    }
    styles.push_back(std::move(style));
  }
  return styles;
}

}  // namespace quillrun::reader
