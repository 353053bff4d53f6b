#pragma once
// The .qrd writer: an assembled or parsed trace to the bytes of an HDF5 file,
// built wholly in memory.

#include <cstdint>
#include <vector>

#include "quillrun/image.hpp"
#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"
#include "quillrun/trace.hpp"

namespace quillrun {

// The image of `trace`, or the first value that cannot be stored: a present
// time of -1 us bound for a u64 time column (ReservedAbsentMicros), a text
// that does not fit its fixed-width field (FieldEncode), or a library failure
// (Hdf5). On failure nothing is returned but the error. Values this build
// does not recognise (icon codes and names, colours, legacy unit labels, free
// travel modes) are written as held.
[[nodiscard]] Result<Image, SdkError> write_nav_image(const NavFileData& trace);
// The same, as a vector.
[[nodiscard]] Result<std::vector<std::uint8_t>, SdkError> write_nav_file(const NavFileData& trace);

}  // namespace quillrun
