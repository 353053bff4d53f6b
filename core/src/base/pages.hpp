#pragma once
// Memory straight from the kernel's page mappings: it can grow without a
// copy, and parts of it can be given back while the rest is still in use.

#include <cstddef>

namespace quillrun::pages {

// A block of at least `size` bytes, or null.
[[nodiscard]] void* allocate(std::size_t size) noexcept;
// `block` (of `old_size` bytes, or null) grown or shrunk to `new_size`,
// moved if need be; null, with `block` untouched, on failure.
[[nodiscard]] void* resize(void* block, std::size_t old_size, std::size_t new_size) noexcept;
// Gives back the whole pages of [offset, offset + length) of a block of
// `size` bytes; `offset` is a multiple of kGrain. The rest stays usable.
void release(void* block, std::size_t size, std::size_t offset, std::size_t length) noexcept;

// A multiple of every page size in use.
inline constexpr std::size_t kGrain = std::size_t{1} << 16;

}  // namespace quillrun::pages
