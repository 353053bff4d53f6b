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
  // One entry per fix, in the fixes' (sorted) order.
  std::vector<std::optional<SatelliteReport>> fix_reports;
  // Receiver-only nav points carrying the reports left over, in making order.
  std::vector<NavPoint> ghosts;
};

// `fixes` and `reports` sorted ascending by first time; at least one fix
// when there is any report; `window_us` not negative.
[[nodiscard]] Result<Association, BuildError> associate_reports(std::span<const NavFix> fixes,
                                                                std::vector<SatelliteReport> reports,
                                                                std::int64_t window_us);

}  // namespace quillrun
