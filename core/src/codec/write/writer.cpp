#include "quillrun/writer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/thread_pool.hpp"
#include "codec/h5/chunk_codec.hpp"
#include "codec/h5/hdf5.hpp"
#include "quillrun/fixed_field.hpp"
#include "codec/layout.hpp"

namespace quillrun {
namespace {

namespace L = layout;

template <class T>
constexpr L::Element element_of() noexcept {
  if constexpr (std::is_same_v<T, std::uint8_t>) return L::Element::U8;
  if constexpr (std::is_same_v<T, std::uint32_t>) return L::Element::U32;
  if constexpr (std::is_same_v<T, std::uint64_t>) return L::Element::U64;
  if constexpr (std::is_same_v<T, std::int64_t>) return L::Element::I64;
  if constexpr (std::is_same_v<T, float>) return L::Element::F32;
  if constexpr (std::is_same_v<T, double>) return L::Element::F64;
}

// Adds one table column: its cells (n, or n x W bytes of a text column), its
// chunk and filters, then its attributes in layout order.
template <class Cells>
Status<SdkError> write_column(hid_t group, const L::Column& column, const Cells& cells) {
  using T = typename Cells::value_type;
  assert(element_of<T>() == column.element);
  const L::Storage storage = L::column_storage(column);
  const std::array<std::uint64_t, 2> dims = {
      column.text_width > 0 ? cells.size() / column.text_width : cells.size(), column.text_width};
  const h5::DatasetOptions options{std::span<const std::uint64_t>(dims).first(storage.rank), storage.chunk_dims(),
                                   /*unlimited_rows=*/true, storage.shuffle, L::kDeflateLevel};
  QR_ASSIGN_OR_RETURN(h5::Dataset dataset, h5::write_dataset<T>(group, column.name, cells, options));
  for (const L::TextAttribute& attribute : column.attributes)
    QR_TRY(h5::write_text_attribute(dataset.get(), attribute.name, attribute.value));
  return {};
}

// A numeric column of `rows` cells, made chunk by chunk by `fill` on the
// pool, so that a column is never in memory whole.
template <class T>
Status<SdkError> write_filled_column(hid_t group, const L::Column& column, std::size_t rows,
                                     const h5::FillRows<T>& fill) {
  assert(element_of<T>() == column.element && column.text_width == 0);
  const L::Storage storage = L::column_storage(column);
  const std::array<std::uint64_t, 1> dims = {rows};
  const h5::DatasetOptions options{dims, storage.chunk_dims(), /*unlimited_rows=*/true, storage.shuffle,
                                   L::kDeflateLevel};
  QR_ASSIGN_OR_RETURN(h5::Dataset dataset, h5::write_dataset_rows<T>(group, column.name, fill, options));
  for (const L::TextAttribute& attribute : column.attributes)
    QR_TRY(h5::write_text_attribute(dataset.get(), attribute.name, attribute.value));
  return {};
}

// The same, cell `cell(row)` by cell.
template <class T, class Cell>
Status<SdkError> write_column_rows(hid_t group, const L::Column& column, std::size_t rows, Cell cell) {
  return write_filled_column<T>(group, column, rows, [&cell](std::size_t begin, std::size_t end, std::span<T> out) {
    for (std::size_t row = begin; row < end; ++row) out[row - begin] = cell(row);
  });
}

// ---------------------------------------------------------------------------
// Cells

// The u64 cell of an optional time column: the count's two's-complement bits,
// or all ones for none. The count -1 has those bits too, so it is refused.
std::uint64_t time_cell(const std::optional<Instant>& time) noexcept {
  return time ? std::bit_cast<std::uint64_t>(us(*time)) : L::kAbsentTimeCell;
}

Status<SdkError> check_time_cell(const std::optional<Instant>& time, std::string_view group, std::string_view dataset,
                                 std::size_t row) {
  if (time && us(*time) == -1)
    return fail(SdkError{sdk_error::ReservedAbsentMicros{std::string(group), std::string(dataset), row}});
  return {};
}

Result<std::uint64_t, SdkError> encode_time_cell(const std::optional<Instant>& time, std::string_view group,
                                                 std::string_view dataset, std::size_t row) {
  QR_TRY(check_time_cell(time, group, dataset, row));
  return time_cell(time);
}

// Appends one fixed-width text cell: the text's bytes, then NULs up to the
// field's width. An empty text is all NUL.
Status<SdkError> encode_field(std::string_view text, std::string_view group, const L::Column& column,
                              std::vector<std::uint8_t>& cells) {
  if (auto fits = check_field_text(text, column.max_text_bytes()); !fits)
    return fail(SdkError{sdk_error::FieldEncode{std::move(fits).error(), std::string(group), std::string(column.name)}});
  cells.insert(cells.end(), text.begin(), text.end());
  cells.insert(cells.end(), column.text_width - text.size(), std::uint8_t{0});
  return {};
}

// None and the empty text are stored alike: a cell of NULs.
std::string_view optional_text(const std::optional<std::string>& text) noexcept {
  return text ? std::string_view(*text) : std::string_view();
}

double f64_or_absent(const std::optional<double>& value) noexcept { return value ? *value : L::absent_f64(); }
float f32_or_absent(const std::optional<float>& value) noexcept { return value ? *value : L::absent_f32(); }

std::string two_digits(std::uint32_t value) {
  return std::string{static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

// YYYY-MM-DDTHH:MM:SSZ, fractions dropped. Years outside 0000-9999, which
// RFC 3339 cannot spell, carry a sign; an instant inside a leap second shows
// second 60.
std::string format_commit_time(const Instant& time) {
  const CivilDate date = civil_from_days(time.days);
  std::string year = std::to_string(date.year < 0 ? -date.year : date.year);
  if (year.size() < 4) year.insert(0, 4 - year.size(), '0');
  if (date.year < 0) year.insert(0, 1, '-');
  if (date.year > 9999) year.insert(0, 1, '+');
  const std::uint32_t second = time.secs % 60 + (time.nanos >= 1'000'000'000 ? 1 : 0);
  return year + "-" + two_digits(date.month) + "-" + two_digits(date.day) + "T" + two_digits(time.secs / 3600) +
         ":" + two_digits(time.secs / 60 % 60) + ":" + two_digits(second) + "Z";
}

// ---------------------------------------------------------------------------
// Tables

Status<SdkError> write_root_attributes(hid_t root, const Meta& meta) {
  QR_TRY(h5::write_text_attribute(root, L::root::kVersion, L::kFormatVersion));
  const auto text = [root](std::string_view name, const std::optional<std::string>& value) -> Status<SdkError> {
    if (!value) return {};
    return h5::write_text_attribute(root, name, *value);
  };
  QR_TRY(text(L::root::kSdkVersion, meta.sdk_version));
  QR_TRY(text(L::root::kSdkGitCommit, meta.sdk_git_commit));
  if (meta.sdk_commit_time)
    QR_TRY(h5::write_text_attribute(root, L::root::kSdkCommitTime, format_commit_time(*meta.sdk_commit_time)));
  QR_TRY(text(L::root::kTitle, meta.title));
  QR_TRY(text(L::root::kDevice, meta.device));
  QR_TRY(text(L::root::kNotes, meta.notes));
  QR_TRY(text(L::root::kIdentity, meta.identity));
  if (meta.travel_mode)
    QR_TRY(h5::write_text_attribute(root, L::root::kTravelMode, travel_mode_text(*meta.travel_mode)));
  return {};
}

// Rows checked by one task of the thread pool. A check made row by row
// fails on the first faulty row, as a plain loop would.
constexpr std::size_t kRowsPerBlock = 16384;

// The cells are made chunk by chunk while they are written, so every check
// of a table runs first, in the order of a plain loop over its rows.
Status<SdkError> write_nav_points(hid_t root, const std::vector<NavPoint>& points) {
  namespace T = L::nav_points;
  const std::size_t n = points.size();
  // Every receiver time is checked before any host time.
  QR_TRY(codec::for_blocks(n, kRowsPerBlock, [&](std::size_t begin, std::size_t end) -> Status<SdkError> {
    for (std::size_t i = begin; i < end; ++i)
      if (auto checked = check_time_cell(points[i].times.gps_time(), T::kGroup, T::kGpsTimeUs.name, i); !checked)
        return checked;
    return {};
  }));
  QR_TRY(codec::for_blocks(n, kRowsPerBlock, [&](std::size_t begin, std::size_t end) -> Status<SdkError> {
    for (std::size_t i = begin; i < end; ++i)
      if (auto checked = check_time_cell(points[i].times.sys_time(), T::kGroup, T::kSysTimeUs.name, i); !checked)
        return checked;
    return {};
  }));

  QR_ASSIGN_OR_RETURN(h5::Group group, h5::create_group(root, T::kGroup));
  const hid_t g = group.get();
  QR_TRY(write_column_rows<std::int64_t>(g, T::kTime, n, [&](std::size_t i) { return us(points[i].times.first_time()); }));
  QR_TRY(write_column_rows<std::uint64_t>(g, T::kGpsTimeUs, n,
                                          [&](std::size_t i) { return time_cell(points[i].times.gps_time()); }));
  QR_TRY(write_column_rows<std::uint64_t>(g, T::kSysTimeUs, n,
                                          [&](std::size_t i) { return time_cell(points[i].times.sys_time()); }));
  QR_TRY(write_column_rows<double>(g, T::kLat, n, [&](std::size_t i) { return points[i].lat; }));
  QR_TRY(write_column_rows<double>(g, T::kLon, n, [&](std::size_t i) { return points[i].lon; }));
  QR_TRY(write_column_rows<double>(g, T::kHeading, n, [&](std::size_t i) { return f64_or_absent(points[i].heading); }));
  QR_TRY(
      write_column_rows<double>(g, T::kSpeedMps, n, [&](std::size_t i) { return f64_or_absent(points[i].speed_mps); }));
  return write_column_rows<double>(g, T::kEphM, n, [&](std::size_t i) { return f64_or_absent(points[i].eph_m); });
}

// A tracked_sats column made per chunk: `cell(report_row, satellite)` for
// the satellite rows [begin, end), found through the first satellite row of
// each report.
struct SatRows {
  const std::vector<NavPoint>& points;
  const std::vector<std::size_t>& report_point;  // per report row, its nav point
  const std::vector<std::size_t>& first_sat;     // per report row, then the total
};

template <class T, class Cell>
Status<SdkError> write_sat_column(hid_t group, const L::Column& column, const SatRows& sats, Cell cell) {
  const std::vector<std::size_t>& first_sat = sats.first_sat;
  return write_filled_column<T>(group, column, first_sat.back(), [&](std::size_t begin, std::size_t end, std::span<T> out) {
    // The last report starting at or before `begin`: the one holding it,
    // since reports without satellites start where the next one does.
    std::size_t report =
        static_cast<std::size_t>(std::upper_bound(first_sat.begin(), first_sat.end(), begin) - first_sat.begin()) - 1;
    std::size_t at = begin;
    while (at < end) {
      const std::vector<Satellite>& tracked = sats.points[sats.report_point[report]].satellites->tracked;
      for (std::size_t k = at - first_sat[report]; k < tracked.size() && at < end; ++k, ++at)
        out[at - begin] = cell(report, tracked[k]);
      ++report;
    }
  });
}

Status<SdkError> write_sat_reports(hid_t root, const std::vector<NavPoint>& points) {
  namespace R = L::sat_reports;
  namespace S = L::tracked_sats;
  std::size_t reports = 0;
  for (const NavPoint& point : points)
    if (point.satellites) ++reports;
  if (reports == 0) return {};

  // The nav point of each report row and the first satellite row of each.
  std::vector<std::size_t> report_point(reports);
  std::vector<std::size_t> first_sat(reports + 1, 0);
  for (std::size_t i = 0, row = 0; i < points.size(); ++i) {
    if (!points[i].satellites) continue;
    report_point[row] = i;
    first_sat[row + 1] = first_sat[row] + points[i].satellites->tracked.size();
    ++row;
  }
  const auto report_of = [&](std::size_t row) -> const SatelliteReport& {
    return *points[report_point[row]].satellites;
  };

  QR_TRY(codec::for_blocks(reports, kRowsPerBlock, [&](std::size_t begin, std::size_t end) -> Status<SdkError> {
    for (std::size_t row = begin; row < end; ++row) {
      const SatelliteReport& report = report_of(row);
      if (auto checked = check_time_cell(report.times.gps_time(), R::kGroup, R::kGpsTimeUs.name, row); !checked)
        return checked;
      if (auto checked = check_time_cell(report.times.sys_time(), R::kGroup, R::kSysTimeUs.name, row); !checked)
        return checked;
    }
    return {};
  }));

  {
    QR_ASSIGN_OR_RETURN(h5::Group group, h5::create_group(root, R::kGroup));
    const hid_t g = group.get();
    QR_TRY(write_column_rows<std::uint64_t>(g, R::kNavPointIdx, reports, [&](std::size_t row) {
      return static_cast<std::uint64_t>(report_point[row]);
    }));
    QR_TRY(write_column_rows<std::uint64_t>(g, R::kGpsTimeUs, reports,
                                            [&](std::size_t row) { return time_cell(report_of(row).times.gps_time()); }));
    QR_TRY(write_column_rows<std::uint64_t>(g, R::kSysTimeUs, reports,
                                            [&](std::size_t row) { return time_cell(report_of(row).times.sys_time()); }));
  }
  QR_ASSIGN_OR_RETURN(h5::Group group, h5::create_group(root, S::kGroup));
  const hid_t g = group.get();
  const SatRows sats{points, report_point, first_sat};
  QR_TRY(write_sat_column<std::uint64_t>(g, S::kSatReportIdx, sats, [](std::size_t row, const Satellite&) {
    return static_cast<std::uint64_t>(row);
  }));
  QR_TRY(write_sat_column<std::uint8_t>(g, S::kConstellation, sats,
                                        [](std::size_t, const Satellite& satellite) { return satellite.constellation; }));
  QR_TRY(write_sat_column<std::uint32_t>(g, S::kPrn, sats,
                                         [](std::size_t, const Satellite& satellite) { return satellite.prn; }));
  QR_TRY(write_sat_column<std::uint8_t>(g, S::kInFix, sats, [](std::size_t, const Satellite& satellite) {
    return static_cast<std::uint8_t>(satellite.in_fix ? 1 : 0);
  }));
  QR_TRY(write_sat_column<float>(g, S::kElevation, sats, [](std::size_t, const Satellite& satellite) {
    return f32_or_absent(satellite.elevation);
  }));
  QR_TRY(write_sat_column<float>(g, S::kAzimuth, sats, [](std::size_t, const Satellite& satellite) {
    return f32_or_absent(satellite.azimuth);
  }));
  return write_sat_column<float>(g, S::kSnr, sats,
                                 [](std::size_t, const Satellite& satellite) { return f32_or_absent(satellite.snr); });
}

Status<SdkError> write_markers(hid_t root, const std::vector<Marker>& markers) {
  namespace T = L::markers;
  if (markers.empty()) return {};
  const std::size_t n = markers.size();
  L::CellVector<std::int64_t> time(n);
  L::CellVector<double> lat(n);
  L::CellVector<double> lon(n);
  L::CellVector<std::uint8_t> icon(n);
  std::vector<std::uint8_t> label;
  label.reserve(n * T::kLabel.text_width);
  for (std::size_t i = 0; i < n; ++i) {
    const Marker& marker = markers[i];
    time[i] = us(marker.time);
    lat[i] = marker.lat;
    lon[i] = marker.lon;
    icon[i] = marker.icon;
    QR_TRY(encode_field(optional_text(marker.label), T::kGroup, T::kLabel, label));
  }
  QR_ASSIGN_OR_RETURN(h5::Group group, h5::create_group(root, T::kGroup));
  QR_TRY(write_column(group.get(), T::kTime, time));
  QR_TRY(write_column(group.get(), T::kLat, lat));
  QR_TRY(write_column(group.get(), T::kLon, lon));
  QR_TRY(write_column(group.get(), T::kIcon, icon));
  return write_column(group.get(), T::kLabel, label);
}

Status<SdkError> write_event_markers(hid_t root, const std::vector<EventMarkerPoint>& event_markers) {
  namespace T = L::event_markers;
  if (event_markers.empty()) return {};
  const std::size_t n = event_markers.size();
  L::CellVector<std::uint64_t> sys_time_us(n);
  L::CellVector<double> lat(n);
  L::CellVector<double> lon(n);
  std::vector<std::uint8_t> variant_path;
  std::vector<std::uint8_t> annotation;
  variant_path.reserve(n * T::kVariantPath.text_width);
  annotation.reserve(n * T::kAnnotation.text_width);
  for (std::size_t i = 0; i < n; ++i) {
    const EventMarkerPoint& marker = event_markers[i];
    QR_ASSIGN_OR_RETURN(sys_time_us[i], encode_time_cell(marker.sys_time, T::kGroup, T::kSysTimeUs.name, i));
    lat[i] = marker.lat;
    lon[i] = marker.lon;
    QR_TRY(encode_field(marker.variant_path, T::kGroup, T::kVariantPath, variant_path));
    QR_TRY(encode_field(optional_text(marker.annotation), T::kGroup, T::kAnnotation, annotation));
  }
  QR_ASSIGN_OR_RETURN(h5::Group group, h5::create_group(root, T::kGroup));
  QR_TRY(write_column(group.get(), T::kSysTimeUs, sys_time_us));
  QR_TRY(write_column(group.get(), T::kLat, lat));
  QR_TRY(write_column(group.get(), T::kLon, lon));
  QR_TRY(write_column(group.get(), T::kVariantPath, variant_path));
  return write_column(group.get(), T::kAnnotation, annotation);
}

Status<SdkError> write_event_marker_styles(hid_t root, const std::vector<EventMarkerStyle>& styles) {
  namespace T = L::event_marker_styles;
  if (styles.empty()) return {};
  const std::size_t n = styles.size();
  std::vector<std::uint8_t> variant_path;
  std::vector<std::uint8_t> icon_name;
  std::vector<std::uint8_t> color_hex;
  variant_path.reserve(n * T::kVariantPath.text_width);
  icon_name.reserve(n * T::kIconName.text_width);
  color_hex.reserve(n * T::kColorHex.text_width);
  for (const EventMarkerStyle& style : styles) {
    QR_TRY(encode_field(style.variant_path, T::kGroup, T::kVariantPath, variant_path));
    QR_TRY(encode_field(style.icon.name(), T::kGroup, T::kIconName, icon_name));
    const std::string_view color = style.color.kind == ColorHex::Kind::Absent ? std::string_view() : style.color.text;
    QR_TRY(encode_field(color, T::kGroup, T::kColorHex, color_hex));
  }
  QR_ASSIGN_OR_RETURN(h5::Group group, h5::create_group(root, T::kGroup));
  QR_TRY(write_column(group.get(), T::kVariantPath, variant_path));
  QR_TRY(write_column(group.get(), T::kIconName, icon_name));
  return write_column(group.get(), T::kColorHex, color_hex);
}

Status<SdkError> write_channel(hid_t channels_group, const Channel& channel) {
  namespace C = L::channels;
  QR_ASSIGN_OR_RETURN(h5::Group group, h5::create_group(channels_group, channel.name));
  if (channel.unit) QR_TRY(h5::write_text_attribute(group.get(), C::kUnit, channel.unit->label()));
  if (channel.period_deg) QR_TRY(h5::write_float_attribute(group.get(), C::kPeriodDeg, *channel.period_deg));
  if (channel.description) QR_TRY(h5::write_text_attribute(group.get(), C::kDescription, *channel.description));
  if (!channel.components.empty())
    QR_TRY(h5::write_text_list_attribute(group.get(), C::kComponents, channel.components));

  L::CellVector<std::int64_t> time(channel.times.size());
  for (std::size_t i = 0; i < time.size(); ++i) time[i] = us(channel.times[i]);
  QR_TRY(write_column(group.get(), C::kTime, time));

  const std::size_t components = channel.components.size();
  const L::Storage storage = L::channel_value_storage(components);
  const std::array<std::uint64_t, 2> dims = {channel.times.size(), components};
  const h5::DatasetOptions options{std::span<const std::uint64_t>(dims).first(storage.rank), storage.chunk_dims(),
                                   /*unlimited_rows=*/true, storage.shuffle, L::kDeflateLevel};
  QR_TRY(h5::write_dataset<double>(group.get(), C::kValue.name, channel.values, options));
  return {};
}

// Channels are never refused; only the library can fail here.
Status<SdkError> write_channels(hid_t root, const std::vector<Channel>& channels) {
  if (channels.empty()) return {};
  QR_ASSIGN_OR_RETURN(h5::Group group, h5::create_group(root, L::channels::kGroup));
  for (const Channel& channel : channels) QR_TRY(write_channel(group.get(), channel));
  return {};
}

}  // namespace

Result<Image, SdkError> write_nav_image(const NavFileData& trace) {
  const std::lock_guard library(h5::library_mutex());
  const h5::ErrorPrintingOff quiet;
  // The write's threads end before the lock is let go, so a fork, which
  // waits for the lock, never finds one.
  const pool::Crew crew;
  QR_ASSIGN_OR_RETURN(h5::NewImage image, h5::NewImage::create());
  {
    QR_ASSIGN_OR_RETURN(h5::Group root, h5::open_root(image.id()));
    QR_TRY(write_root_attributes(root.get(), trace.meta));
    QR_TRY(write_nav_points(root.get(), trace.points));
    QR_TRY(write_sat_reports(root.get(), trace.points));
    QR_TRY(write_markers(root.get(), trace.markers));
    QR_TRY(write_event_markers(root.get(), trace.event_markers));
    QR_TRY(write_event_marker_styles(root.get(), trace.event_marker_styles));
    QR_TRY(write_channels(root.get(), trace.channels));
  }
  return std::move(image).finish();
}

Result<std::vector<std::uint8_t>, SdkError> write_nav_file(const NavFileData& trace) {
  QR_ASSIGN_OR_RETURN(Image image, write_nav_image(trace));
  return std::move(image).to_vector();
}

}  // namespace quillrun
