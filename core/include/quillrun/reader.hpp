#pragma once
// Reading a .qrd file (format versions 1 and 2) back into the trace model.

#include <cstdint>
#include <span>

#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"
#include "quillrun/trace.hpp"

namespace quillrun {

// Parses and checks a whole file image. The bytes are only borrowed for the
// call. The first fault ends the read; no partial trace is returned.
[[nodiscard]] Result<NavFileData, SdkError> read_nav_file(std::span<const std::uint8_t> image);

}  // namespace quillrun
