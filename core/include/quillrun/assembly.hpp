#pragma once
// The assembly behind NavFileBuilder.finish(): the items a builder collected
// become one sorted, associated, placed and stamped trace, or a BuildError.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quillrun/build_error.hpp"
#include "quillrun/records.hpp"
#include "quillrun/result.hpp"
#include "quillrun/trace.hpp"

namespace quillrun {

// How far a satellite report may be from a nav fix to be associated with it.
struct SatelliteWindow {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 500'000'000;  // below 1'000'000'000

  // Whole microseconds, saturating at the largest signed 64-bit value.
  [[nodiscard]] std::int64_t micros() const noexcept;
  friend bool operator==(const SatelliteWindow&, const SatelliteWindow&) = default;
};

// Everything a builder collected, in the order added. The records were
// checked when they were made; finish() checks none of their fields again.
struct CoreBuilder {
  std::vector<NavFix> fixes;
  std::vector<SatelliteReport> reports;
  std::vector<Annotation> annotations;
  // Never a skipped marker: the caller drops those before they get here.
  std::vector<EventMarker> event_markers;
  std::vector<Channel> channels;
  std::optional<Meta> meta;
  SatelliteWindow satellite_window;
  // Keyed by variant path in byte order (std::string compares as unsigned
  // bytes), so the styles come out ordered without another sort.
  std::map<std::string, EventMarkerStyle> styles;
  bool lenient = false;

  // A later style for the same variant path replaces the earlier one.
  void add_style(EventMarkerStyle style);
};

// Consumes the builder whatever the outcome; log records emitted before a
// failure stay emitted.
[[nodiscard]] Result<NavFileData, BuildError> finish(CoreBuilder&& builder);

}  // namespace quillrun
