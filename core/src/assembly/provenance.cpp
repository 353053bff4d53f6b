#include "quillrun/provenance.hpp"

#include <string>

#include "build_info.hpp"
#include "assembly/provenance_stamp.hpp"
#include "quillrun/log.hpp"
#include "quillrun/rfc3339.hpp"
#include "quillrun/text.hpp"

namespace quillrun {

std::string_view build_commit_id() noexcept { return build_info::git_commit; }
std::string_view build_commit_time() noexcept { return build_info::git_commit_time; }

void build_provenance(Meta& meta) { detail::stamp_provenance(meta, build_commit_id(), build_commit_time()); }

namespace detail {

void stamp_provenance(Meta& meta, std::string_view commit_id, std::string_view commit_time) {
  // A Meta taken from a read file arrives with that file's provenance; this
  // build's replaces it, the commit time included, even when ours is unusable.
  meta.sdk_version = std::string(kSdkVersion);
  meta.sdk_git_commit = std::string(commit_id);
  auto parsed = parse_rfc3339(commit_time);
  if (parsed) {
    meta.sdk_commit_time = *parsed;
    return;
  }
  meta.sdk_commit_time = std::nullopt;
  QR_WARN(log::targets::provenance, "the commit time build wrote is " + quoted(commit_time) +
                                        ", which is not RFC 3339: " + std::string(parsed.error().description));
}

}  // namespace detail
}  // namespace quillrun
