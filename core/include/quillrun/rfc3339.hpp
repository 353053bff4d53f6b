#pragma once
// Strict RFC 3339 date-time text, as used for the provenance commit time.

#include <string_view>

#include "quillrun/instant.hpp"
#include "quillrun/result.hpp"

namespace quillrun {

struct Rfc3339Error {
  std::string_view description;  // a fixed text, e.g. "premature end of input"
};

// Any offset is allowed; the instant is converted to UTC.
[[nodiscard]] Result<Instant, Rfc3339Error> parse_rfc3339(std::string_view text);

}  // namespace quillrun
