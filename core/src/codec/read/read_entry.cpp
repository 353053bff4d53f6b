// The reader's entry: the file, its version, the root attributes, and the
// order in which the tables are read into one trace.

#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "base/thread_pool.hpp"
#include "codec/h5/hdf5.hpp"
#include "codec/read/dataset_access.hpp"
#include "codec/layout.hpp"
#include "quillrun/log.hpp"
#include "quillrun/reader.hpp"
#include "quillrun/rfc3339.hpp"
#include "quillrun/text.hpp"
#include "codec/read/read_tables.hpp"

namespace quillrun {
namespace reader {

std::optional<std::uint32_t> parse_version(std::string_view text) noexcept {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

namespace {

constexpr std::string_view kMissingVersion = "<missing>";

[[nodiscard]] Status<SdkError> check_version(const AttributeSet& root) {
  // Read in place: g++ 12 at -O3 sees the text moved out of the result as
  // possibly uninitialized.
  auto text = root.text(layout::root::kVersion);
  if (!text) return fail(std::move(text).error());
  if (!text->has_value()) return fail(SdkError{sdk_error::UnsupportedVersion{std::string(kMissingVersion)}});
  if (const auto number = parse_version(**text); number && (*number == 1 || *number == 2)) return {};
  return fail(SdkError{sdk_error::UnsupportedVersion{std::move(**text)}});
}

[[nodiscard]] std::optional<TravelModeArg> travel_mode_from(std::optional<std::string> text) {
  if (!text) return std::nullopt;
  if (const auto mode = travel_mode_from_stored_name(*text)) return TravelModeArg{*mode};
  QR_WARN(log::targets::read, "unknown meta_travel_mode value " + quoted(*text) + ", preserving it as-is");
  return TravelModeArg{std::move(*text)};
}

[[nodiscard]] std::optional<Instant> commit_time_from(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  auto parsed = parse_rfc3339(*text);
  if (parsed) return *parsed;
  QR_WARN(log::targets::provenance, "the sdk_commit_time attribute is " + quoted(*text) +
                                        ", which is not RFC 3339: " + std::string(parsed.error().description));
  return std::nullopt;
}

[[nodiscard]] Result<Meta, SdkError> read_meta(const AttributeSet& root) {
  Meta meta;
  QR_ASSIGN_OR_RETURN(meta.title, root.text(layout::root::kTitle));
  QR_ASSIGN_OR_RETURN(meta.device, root.text(layout::root::kDevice));
  QR_ASSIGN_OR_RETURN(meta.notes, root.text(layout::root::kNotes));
  QR_ASSIGN_OR_RETURN(meta.identity, root.text(layout::root::kIdentity));
  QR_ASSIGN_OR_RETURN(std::optional<std::string> travel_mode, root.text(layout::root::kTravelMode));
  meta.travel_mode = travel_mode_from(std::move(travel_mode));
  QR_ASSIGN_OR_RETURN(meta.sdk_version, root.text(layout::root::kSdkVersion));
  QR_ASSIGN_OR_RETURN(meta.sdk_git_commit, root.text(layout::root::kSdkGitCommit));
  QR_ASSIGN_OR_RETURN(const std::optional<std::string> commit_time, root.text(layout::root::kSdkCommitTime));
  meta.sdk_commit_time = commit_time_from(commit_time);
  return meta;
}

// The whole read; every handle of the library it opens is closed when it returns.
[[nodiscard]] Result<NavFileData, SdkError> read_trace(std::span<const std::uint8_t> image) {
  QR_ASSIGN_OR_RETURN(ReaderFile file, ReaderFile::open(image));
  QR_ASSIGN_OR_RETURN(const AttributeSet root, AttributeSet::gather(file, file.root(), std::string()));
  QR_TRY(check_version(root));

  NavFileData trace;
  QR_ASSIGN_OR_RETURN(trace.meta, read_meta(root));
  QR_ASSIGN_OR_RETURN(trace.points, read_nav_points(file));
  QR_TRY(read_sat_reports(trace.points, file));
  QR_ASSIGN_OR_RETURN(trace.markers, read_markers(file));
  QR_ASSIGN_OR_RETURN(trace.event_markers, read_event_markers(file));
  QR_ASSIGN_OR_RETURN(trace.event_marker_styles, read_event_marker_styles(file));
  QR_ASSIGN_OR_RETURN(trace.channels, read_channels(file));
  return trace;
}

}  // namespace
}  // namespace reader

Result<NavFileData, SdkError> read_nav_file(std::span<const std::uint8_t> image) {
  const std::lock_guard library(h5::library_mutex());
  // The read's threads end before the lock is let go, so a fork, which
  // waits for the lock, never finds one.
  const pool::Crew crew;
  const std::uint64_t limit = reader::library_memory_limit(image.size());
  const h5::MemoryBudget budget(limit);
  Result<NavFileData, SdkError> trace = reader::read_trace(image);
  // A refused allocation shows as whatever call failed for want of it; the
  // read is reported by the rule it broke.
  if (!trace && trace.error().is<sdk_error::Hdf5>() && h5::MemoryBudget::refused()) {
    return fail(SdkError{sdk_error::Hdf5{"reading the file needed more than " + std::to_string(limit) +
                                         " bytes of memory, the most a " + std::to_string(image.size()) +
                                         "-byte file may take"}});
  }
  return trace;
}

}  // namespace quillrun
