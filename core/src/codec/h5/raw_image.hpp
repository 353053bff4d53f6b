#pragma once
// Inspection of a file's bytes without the library: the few structures the
// reader checks itself before the library would trust them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::h5 {

// What the checks need of the superblock: where addresses start, and the
// widths of addresses and lengths.
struct Superblock {
  std::size_t base = 0;
  std::size_t offsets = 0;
  std::size_t lengths = 0;
};
[[nodiscard]] std::optional<Superblock> find_superblock(std::span<const std::uint8_t> image) noexcept;

// The offset of a global heap collection in `image` whose objects do not
// tile it exactly, or none. HDF5 has looped forever on a collection holding
// an object of index 0 and size 0, and read past one whose objects overrun
// it; a hostile image is refused before the library sees it.
// Collections the library would refuse to load anyway (past the end of the
// image, another version) are left to it.
[[nodiscard]] std::optional<std::uint64_t> find_damaged_global_heap(std::span<const std::uint8_t> image) noexcept;

// The bytes of one stored variable-length string reference: length, heap
// address, object index.
[[nodiscard]] constexpr std::size_t variable_reference_size(const Superblock& sb) noexcept {
  return 4 + sb.offsets + 4;
}

// The texts that `references` (`count` stored references, as the library
// hands them over) name in `image`; a reference to anything but an object of
// a sound collection fails. `name` names the attribute in messages.
[[nodiscard]] Result<std::vector<std::string>, SdkError> resolve_variable_strings(
    std::span<const std::uint8_t> references, std::size_t count, const Superblock& sb,
    std::span<const std::uint8_t> image, std::string_view name);

}  // namespace quillrun::h5
