// sat_reports and tracked_sats: satellite reports joined to their nav points
// by row index, satellites joined to their reports the same way.

#include <algorithm>
#include <limits>
#include <span>
#include <string>
#include <utility>

#include "codec/h5/chunk_codec.hpp"
#include "quillrun/codes.hpp"
#include "quillrun/log.hpp"
#include "codec/layout.hpp"
#include "codec/read/read_cells.hpp"
#include "codec/read/read_tables.hpp"

namespace quillrun::reader {
namespace {

namespace sr = layout::sat_reports;
namespace ts = layout::tracked_sats;
constexpr std::string_view kReports = sr::kGroup;
constexpr std::string_view kSats = ts::kGroup;
// Older files keep the receiver time of a report here, and no host time.
constexpr std::string_view kLegacyTime = "time";
constexpr std::uint64_t kNoRow = std::numeric_limits<std::uint64_t>::max();

[[nodiscard]] Result<std::uint8_t, SdkError> check_constellation_code(std::uint8_t code) {
  if (is_known_constellation(code)) return code;
  std::string path = std::string(kSats) + "/" + std::string(ts::kConstellation.name);
  return fail(SdkError{sdk_error::UnknownConstellationCode{std::move(path), code}});
}

[[nodiscard]] SdkError index_out_of_range(std::string_view group, std::string_view dataset, std::string_view target,
                                          std::uint64_t row, std::uint64_t index, std::uint64_t target_rows) {
  return SdkError{sdk_error::IndexOutOfRange{std::string(group), std::string(dataset), std::string(target), row, index,
                                             target_rows}};
}

// The report times of each row as u64 cells, from the current columns or,
// in older files, from `time` alone (then no report has a host time).
struct ReportTimes {
  layout::CellVector<std::uint64_t> gps;
  std::optional<layout::CellVector<std::uint64_t>> sys;
};

[[nodiscard]] Result<ReportTimes, SdkError> read_report_times(const ReaderGroup& group, std::uint64_t rows) {
  ReportTimes times;
  QR_ASSIGN_OR_RETURN(std::optional<layout::CellVector<std::uint64_t>> gps,
                      read_optional<std::uint64_t>(group, sr::kGpsTimeUs.name));
  if (gps) {
    QR_TRY(expect_rows(kReports, sr::kGpsTimeUs.name, rows, gps->size()));
    times.gps = std::move(*gps);
    QR_ASSIGN_OR_RETURN(times.sys, read_optional<std::uint64_t>(group, sr::kSysTimeUs.name));
    if (times.sys) QR_TRY(expect_rows(kReports, sr::kSysTimeUs.name, rows, times.sys->size()));
    return times;
  }
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::int64_t> time, read_required<std::int64_t>(group, kLegacyTime));
  QR_TRY(expect_rows(kReports, kLegacyTime, rows, time.size()));
  times.gps.reserve(time.size());
  for (const std::int64_t count : time) times.gps.push_back(time_cell_from_count(count));
  return times;
}

[[nodiscard]] Result<ts::Cells, SdkError> read_tracked_sats(ReaderFile& file) {
  QR_ASSIGN_OR_RETURN(const ReaderGroup group, open_group(file, kSats));
  ts::Cells c;
  QR_ASSIGN_OR_RETURN(c.sat_report_idx, read_required<std::uint64_t>(group, ts::kSatReportIdx.name));
  QR_ASSIGN_OR_RETURN(c.constellation, read_required<std::uint8_t>(group, ts::kConstellation.name));
  QR_ASSIGN_OR_RETURN(c.prn, read_required<std::uint32_t>(group, ts::kPrn.name));
  QR_ASSIGN_OR_RETURN(c.in_fix, read_required<std::uint8_t>(group, ts::kInFix.name));
  QR_ASSIGN_OR_RETURN(c.elevation, read_required<float>(group, ts::kElevation.name));
  QR_ASSIGN_OR_RETURN(c.azimuth, read_required<float>(group, ts::kAzimuth.name));
  QR_ASSIGN_OR_RETURN(c.snr, read_required<float>(group, ts::kSnr.name));
  const std::uint64_t s = c.sat_report_idx.size();
  QR_TRY(expect_rows(kSats, ts::kConstellation.name, s, c.constellation.size()));
  QR_TRY(expect_rows(kSats, ts::kPrn.name, s, c.prn.size()));
  QR_TRY(expect_rows(kSats, ts::kInFix.name, s, c.in_fix.size()));
  QR_TRY(expect_rows(kSats, ts::kElevation.name, s, c.elevation.size()));
  QR_TRY(expect_rows(kSats, ts::kAzimuth.name, s, c.azimuth.size()));
  QR_TRY(expect_rows(kSats, ts::kSnr.name, s, c.snr.size()));
  return c;
}

[[nodiscard]] Satellite satellite_row(const ts::Cells& c, std::size_t i) {
  Satellite sat;
  sat.constellation = c.constellation[i];
  sat.prn = c.prn[i];
  sat.in_fix = c.in_fix[i] != 0;
  sat.elevation = unless_nan(c.elevation[i]);
  sat.azimuth = unless_nan(c.azimuth[i]);
  sat.snr = unless_nan(c.snr[i]);
  return sat;
}

// One list per report row; rows may name the reports in any order. Every
// row is checked before any list is made, so each list is allocated once.
// Rows in report order, as written, make the lists on the pool.
[[nodiscard]] Result<std::vector<std::vector<Satellite>>, SdkError> distribute_satellites(
    const ts::Cells& c, std::uint64_t report_rows) {
  const std::span<const std::uint64_t> idx(c.sat_report_idx);
  std::vector<char> block_in_order((idx.size() + kRowsPerBlock - 1) / kRowsPerBlock, 1);
  const auto check_rows = [&](std::size_t begin, std::size_t end) -> Status<SdkError> {
    bool in_order = true;
    for (std::size_t i = begin; i < end; ++i) {
      QR_TRY(check_constellation_code(c.constellation[i]));
      const std::uint64_t k = idx[i];
      if (k >= report_rows)
        return fail(index_out_of_range(kSats, ts::kSatReportIdx.name, kReports, static_cast<std::uint64_t>(i), k,
                                       report_rows));
      in_order = in_order && (i == 0 || idx[i - 1] <= k);
    }
    block_in_order[begin / kRowsPerBlock] = in_order ? 1 : 0;
    return {};
  };
  QR_TRY(codec::for_blocks(idx.size(), kRowsPerBlock, check_rows));

  std::vector<std::vector<Satellite>> lists(static_cast<std::size_t>(report_rows));
  if (std::find(block_in_order.begin(), block_in_order.end(), 0) == block_in_order.end()) {
    QR_TRY(codec::for_blocks(lists.size(), kRowsPerBlock, [&](std::size_t begin, std::size_t end) -> Status<SdkError> {
      auto row = static_cast<std::size_t>(std::lower_bound(idx.begin(), idx.end(), begin) - idx.begin());
      for (std::size_t k = begin; k < end; ++k) {
        std::size_t last = row;
        while (last < idx.size() && idx[last] == k) ++last;
        lists[k].reserve(last - row);
        for (; row < last; ++row) lists[k].push_back(satellite_row(c, row));
      }
      return {};
    }));
    return lists;
  }
  std::vector<std::size_t> sizes(lists.size(), 0);
  for (const std::uint64_t k : idx) ++sizes[static_cast<std::size_t>(k)];
  for (std::size_t k = 0; k < lists.size(); ++k) lists[k].reserve(sizes[k]);
  for (std::size_t i = 0; i < idx.size(); ++i) lists[static_cast<std::size_t>(idx[i])].push_back(satellite_row(c, i));
  return lists;
}

// The times of report row `row`, once its nav point index `q` is checked
// against the `points` nav points.
[[nodiscard]] Result<Timestamps, SdkError> decode_report_row(const ReportTimes& times, std::uint64_t q,
                                                             std::uint64_t points, std::size_t j) {
  const auto row = static_cast<std::uint64_t>(j);
  QR_ASSIGN_OR_RETURN(const std::optional<Instant> gps, decode_time_us(times.gps[j], kReports, sr::kGpsTimeUs.name, row));
  std::optional<Instant> sys;
  if (times.sys) {
    QR_ASSIGN_OR_RETURN(sys, decode_time_us((*times.sys)[j], kReports, sr::kSysTimeUs.name, row));
  }
  const std::optional<Timestamps> stamps = Timestamps::from(gps, sys);
  if (!stamps) return fail(SdkError{sdk_error::SatReportWithoutTime{row}});
  if (q >= points)
    return fail(index_out_of_range(kReports, sr::kNavPointIdx.name, layout::nav_points::kGroup, row, q, points));
  return *stamps;
}

}  // namespace

Status<SdkError> read_sat_reports(std::vector<NavPoint>& points, ReaderFile& file) {
  QR_ASSIGN_OR_RETURN(const std::optional<ReaderGroup> group, open_optional_group(file, kReports));
  if (!group) return {};
  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::uint64_t> nav_point_idx,
                      read_required<std::uint64_t>(*group, sr::kNavPointIdx.name));
  const std::uint64_t r = nav_point_idx.size();
  QR_ASSIGN_OR_RETURN(const ReportTimes times, read_report_times(*group, r));
  QR_ASSIGN_OR_RETURN(const ts::Cells sats, read_tracked_sats(file));
  QR_ASSIGN_OR_RETURN(std::vector<std::vector<Satellite>> lists, distribute_satellites(sats, r));

  const auto p = static_cast<std::uint64_t>(points.size());
  // Rows are decoded and checked on the pool. Up to the first faulty row,
  // reports are then attached in row order, so that a row's warnings come
  // before a later row's fault as they always have.
  std::vector<Timestamps> stamps(nav_point_idx.size());
  std::vector<std::uint64_t> faulty((nav_point_idx.size() + kRowsPerBlock - 1) / kRowsPerBlock, kNoRow);
  Status<SdkError> decoded =
      codec::for_blocks(nav_point_idx.size(), kRowsPerBlock, [&](std::size_t begin, std::size_t end) -> Status<SdkError> {
        for (std::size_t j = begin; j < end; ++j) {
          Result<Timestamps, SdkError> stamp = decode_report_row(times, nav_point_idx[j], p, j);
          if (!stamp) {
            faulty[begin / kRowsPerBlock] = j;
            return fail(std::move(stamp).error());
          }
          stamps[j] = *stamp;
        }
        return {};
      });
  const std::uint64_t sound_rows =
      decoded ? r : *std::find_if(faulty.begin(), faulty.end(), [](std::uint64_t row) { return row != kNoRow; });

  // The report row each point took its report from, to name both rows when
  // a later row replaces an earlier one's report.
  std::vector<std::uint64_t> taken_from(points.size(), kNoRow);
  for (std::uint64_t row = 0; row < sound_rows; ++row) {
    const auto j = static_cast<std::size_t>(row);
    const auto point = static_cast<std::size_t>(nav_point_idx[j]);
    if (taken_from[point] != kNoRow) {
      QR_WARN(log::targets::read, "sat_reports records " + std::to_string(taken_from[point]) + " and " +
                                      std::to_string(row) + " both name nav point " + std::to_string(point) +
                                      ", keeping the report of record " + std::to_string(row));
    }
    taken_from[point] = row;
    points[point].satellites = SatelliteReport{std::move(lists[j]), stamps[j]};
  }
  return decoded;
}

}  // namespace quillrun::reader
