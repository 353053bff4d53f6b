#pragma once
// The error of the assembly behind NavFileBuilder.finish().

#include <cstdint>
#include <string>
#include <variant>

namespace quillrun {

// What a build without any nav fix could not place.
struct UnplacedCounts {
  std::uint64_t satellite_reports = 0;
  std::uint64_t annotations = 0;
  std::uint64_t event_markers = 0;

  // "1 satellite report(s), 2 annotation(s) and 3 event marker(s)"; empty
  // when every count is zero.
  [[nodiscard]] std::string message() const;
  friend bool operator==(const UnplacedCounts&, const UnplacedCounts&) = default;
};

namespace build_error {
struct AnnotationsOutOfRange {
  std::uint64_t count;
  friend bool operator==(const AnnotationsOutOfRange&, const AnnotationsOutOfRange&) = default;
};
struct DuplicateChannelName {
  std::string name;
  friend bool operator==(const DuplicateChannelName&, const DuplicateChannelName&) = default;
};
struct EventMarkersOutOfRange {
  std::uint64_t count;
  friend bool operator==(const EventMarkersOutOfRange&, const EventMarkersOutOfRange&) = default;
};
// Microseconds since the epoch; a time beyond the 64-bit range is held
// saturated at its end.
struct GhostFixOutOfRange {
  std::int64_t micros;
  friend bool operator==(const GhostFixOutOfRange&, const GhostFixOutOfRange&) = default;
};
struct NoNavFix {
  UnplacedCounts counts;
  friend bool operator==(const NoNavFix&, const NoNavFix&) = default;
};
}  // namespace build_error

struct BuildError {
  std::variant<build_error::AnnotationsOutOfRange, build_error::DuplicateChannelName,
               build_error::EventMarkersOutOfRange, build_error::GhostFixOutOfRange, build_error::NoNavFix>
      value;

  template <class V>
  [[nodiscard]] bool is() const noexcept { return std::holds_alternative<V>(value); }
  // The only place that renders these messages.
  [[nodiscard]] std::string message() const;
  friend bool operator==(const BuildError&, const BuildError&) = default;
};

}  // namespace quillrun
