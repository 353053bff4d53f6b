#pragma once
// Counting well-known receiver faults in satellite data. Findings are logged,
// never fatal, and never change the data.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quillrun/trace.hpp"

namespace quillrun {

inline constexpr std::size_t kSatelliteCounterCount = 16;

// Counter i (0-based) is the (i+1)-th check; all but the last count
// satellites, the last counts reports with a repeated (constellation, PRN).
struct SatelliteCounts {
  std::array<std::uint32_t, kSatelliteCounterCount> counters{};
};

struct SatelliteWarning {
  std::string_view summary;
  std::string_view hint;
  std::uint32_t count = 0;
};

[[nodiscard]] SatelliteCounts count_satellite_faults(std::span<const SatelliteReport> reports);

// One warning per non-zero counter, in counter order.
[[nodiscard]] std::vector<SatelliteWarning> satellite_warnings(const SatelliteCounts& counts);

// The same test as the module's snr_is_no_data_sentinel.
[[nodiscard]] bool snr_is_no_data_sentinel(float snr) noexcept;

// Counts and writes one warn record per non-zero counter.
void log_satellite_checks(std::span<const SatelliteReport> reports);

}  // namespace quillrun
