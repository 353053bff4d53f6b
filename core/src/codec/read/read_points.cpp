// The nav_points table: one nav point per row, its times from the optional
// u64 columns (or, in older files, from `time`).

#include <utility>

#include "codec/h5/chunk_codec.hpp"
#include "codec/layout.hpp"
#include "codec/read/read_cells.hpp"
#include "codec/read/read_tables.hpp"

namespace quillrun::reader {
namespace {

namespace np = layout::nav_points;
constexpr std::string_view kGroup = np::kGroup;

struct NavPointColumns {
  layout::CellVector<std::int64_t> time;
  layout::CellVector<double> lat;
  layout::CellVector<double> lon;
  layout::CellVector<double> heading;
  layout::CellVector<double> speed_mps;
  layout::CellVector<std::uint64_t> gps_time_us;
  std::optional<layout::CellVector<std::uint64_t>> sys_time_us;
  std::optional<layout::CellVector<double>> eph_m;
};

[[nodiscard]] Result<NavPoint, SdkError> next_nav_point_row(const NavPointColumns& c, std::size_t row) {
  const auto r = static_cast<std::uint64_t>(row);
  QR_ASSIGN_OR_RETURN(const std::optional<Instant> gps,
                      decode_time_us(c.gps_time_us[row], kGroup, np::kGpsTimeUs.name, r));
  std::optional<Instant> sys;
  if (c.sys_time_us) {
    QR_ASSIGN_OR_RETURN(sys, decode_time_us((*c.sys_time_us)[row], kGroup, np::kSysTimeUs.name, r));
  }
  const std::optional<Timestamps> times = Timestamps::from(gps, sys);
  if (!times) return fail(SdkError{sdk_error::NavPointWithoutTime{r}});
  NavPoint point;
  point.lat = c.lat[row];
  point.lon = c.lon[row];
  point.times = *times;
  point.heading = unless_nan(c.heading[row]);
  point.speed_mps = unless_nan(c.speed_mps[row]);
  if (c.eph_m) point.eph_m = unless_nan((*c.eph_m)[row]);
  return point;
}

}  // namespace

Result<std::vector<NavPoint>, SdkError> read_nav_points(ReaderFile& file) {
  QR_ASSIGN_OR_RETURN(const ReaderGroup group, open_group(file, kGroup));
  NavPointColumns c;
  QR_ASSIGN_OR_RETURN(c.time, read_required<std::int64_t>(group, np::kTime.name));
  QR_ASSIGN_OR_RETURN(c.lat, read_required<double>(group, np::kLat.name));
  QR_ASSIGN_OR_RETURN(c.lon, read_required<double>(group, np::kLon.name));
  QR_ASSIGN_OR_RETURN(c.heading, read_required<double>(group, np::kHeading.name));
  QR_ASSIGN_OR_RETURN(c.speed_mps, read_required<double>(group, np::kSpeedMps.name));
  auto gps_time_us = read_optional<std::uint64_t>(group, np::kGpsTimeUs.name);
  if (!gps_time_us) return fail(std::move(gps_time_us).error());
  QR_ASSIGN_OR_RETURN(c.sys_time_us, read_optional<std::uint64_t>(group, np::kSysTimeUs.name));
  QR_ASSIGN_OR_RETURN(c.eph_m, read_optional<double>(group, np::kEphM.name));

  const std::size_t n = c.time.size();
  if (gps_time_us->has_value()) {
    c.gps_time_us = std::move(**gps_time_us);
  } else {
    // Older files keep the receiver time in `time` only; a count of -1 there
    // reads as an absent time, as it would in a u64 column.
    c.gps_time_us.reserve(n);
    for (const std::int64_t count : c.time) c.gps_time_us.push_back(time_cell_from_count(count));
  }

  QR_TRY(expect_rows(kGroup, np::kGpsTimeUs.name, n, c.gps_time_us.size()));
  if (c.sys_time_us) QR_TRY(expect_rows(kGroup, np::kSysTimeUs.name, n, c.sys_time_us->size()));
  QR_TRY(expect_rows(kGroup, np::kLat.name, n, c.lat.size()));
  QR_TRY(expect_rows(kGroup, np::kLon.name, n, c.lon.size()));
  QR_TRY(expect_rows(kGroup, np::kHeading.name, n, c.heading.size()));
  QR_TRY(expect_rows(kGroup, np::kSpeedMps.name, n, c.speed_mps.size()));
  if (c.eph_m) QR_TRY(expect_rows(kGroup, np::kEphM.name, n, c.eph_m->size()));

  std::vector<NavPoint> points(n);
  QR_TRY(codec::for_blocks(n, kRowsPerBlock, [&](std::size_t begin, std::size_t end) -> Status<SdkError> {
    for (std::size_t row = begin; row < end; ++row) {
      QR_ASSIGN_OR_RETURN(points[row], next_nav_point_row(c, row));
    }
    return {};
  }));
  return points;
}

}  // namespace quillrun::reader
