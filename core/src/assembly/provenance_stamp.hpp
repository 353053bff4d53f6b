#pragma once
// build_provenance with the build's texts passed in, so the path for a
// malformed commit time can be exercised without another build.

#include <string_view>

#include "quillrun/records.hpp"

namespace quillrun::detail {

void stamp_provenance(Meta& meta, std::string_view commit_id, std::string_view commit_time);

}  // namespace quillrun::detail
