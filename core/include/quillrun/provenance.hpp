#pragma once
// Which build of the kit assembled a trace.

#include <string_view>

#include "quillrun/records.hpp"
#include "quillrun/version.hpp"

namespace quillrun {

// The commit id and commit time (RFC 3339 text) this build was made from.
[[nodiscard]] std::string_view build_commit_id() noexcept;
[[nodiscard]] std::string_view build_commit_time() noexcept;

// Overwrites the three provenance fields of `meta` with this build's; may log
// one warn record on quillrun_sdk::provenance. Never fails.
void build_provenance(Meta& meta);

}  // namespace quillrun
