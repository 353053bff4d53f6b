#pragma once
// Giving each satellite report to the nearest nav fix inside the satellite
// window, and turning the reports no fix takes into ghost nav fixes.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quillrun/build_error.hpp"
#include "quillrun/result.hpp"
#include "quillrun/trace.hpp"

namespace quillrun {

struct Association {
  static constexpr std::size_t kNoReport = static_cast<std::size_t>(-1);

  // The reports in sorted order; those that became ghosts were moved out.
  std::vector<SatelliteReport> reports;
  // Per fix, in the fixes' (sorted) order: the index in `reports` of the
  // report it holds, or kNoReport.
  std::vector<std::size_t> fix_report;
  // Receiver-only nav points carrying the reports left over, in making order.
  std::vector<NavPoint> ghosts;

  // Moves out the report of fix `i`, if it holds one.
  [[nodiscard]] std::optional<SatelliteReport> take_report(std::size_t i) {
    if (fix_report[i] == kNoReport) return std::nullopt;
    return std::move(reports[fix_report[i]]);
  }
};

// `fixes` and `reports` sorted ascending by first time; at least one fix
// when there is any report; `window_us` not negative.
[[nodiscard]] Result<Association, BuildError> associate_reports(std::span<const NavFix> fixes,
                                                                std::vector<SatelliteReport> reports,
                                                                std::int64_t window_us);

}  // namespace quillrun
