#include "quillrun/build_error.hpp"

#include <type_traits>
#include <vector>

#include "quillrun/text.hpp"

namespace quillrun {

std::string UnplacedCounts::message() const {
  std::vector<std::string> parts;
  if (satellite_reports != 0) parts.push_back(std::to_string(satellite_reports) + " satellite report(s)");
  if (annotations != 0) parts.push_back(std::to_string(annotations) + " annotation(s)");
  if (event_markers != 0) parts.push_back(std::to_string(event_markers) + " event marker(s)");
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) text += i + 1 == parts.size() ? " and " : ", ";
    text += parts[i];
  }
  return text;
}

std::string BuildError::message() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, build_error::AnnotationsOutOfRange>) {
          return std::to_string(e.count) + " annotation(s) fall outside the nav fix time range";
        } else if constexpr (std::is_same_v<E, build_error::DuplicateChannelName>) {
          return "two channels share the name " + quoted(e.name) + "; channel names must be unique";
        } else if constexpr (std::is_same_v<E, build_error::EventMarkersOutOfRange>) {
          return std::to_string(e.count) + " event marker(s) fall outside the nav fix time range";
        } else if constexpr (std::is_same_v<E, build_error::GhostFixOutOfRange>) {
          return "a ghost nav fix at " + std::to_string(e.micros) +
                 " microseconds is past the range a UTC timestamp covers";
        } else {
          static_assert(std::is_same_v<E, build_error::NoNavFix>);
          return e.counts.message() + " have no nav fix to take a position from: at least one nav fix is required";
        }
      },
      value);
}

}  // namespace quillrun
