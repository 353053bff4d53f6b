#pragma once
// Inspection of a file's bytes without the library: the few structures the
// reader checks itself before the library would trust them.

#include <cstddef>
#include <cstdint>
#include <memory>
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

// The global heap collections of one image, each walked once for all the
// references of a read that name it: walked per attribute, a collection of
// many objects that many attributes name took time in their product. Keeps
// a few words per object walked.
class GlobalHeaps {
 public:
  // None when `image` has no superblock the reader can use.
  [[nodiscard]] static std::optional<GlobalHeaps> of(std::span<const std::uint8_t> image);
  GlobalHeaps(GlobalHeaps&&) noexcept;
  GlobalHeaps& operator=(GlobalHeaps&&) noexcept;
  ~GlobalHeaps();

  [[nodiscard]] const Superblock& superblock() const noexcept { return sb_; }

  // The texts that `references` (`count` stored references, as the library
  // hands them over) name; a reference to anything but an object of a sound
  // collection fails. `name` names the attribute in messages.
  [[nodiscard]] Result<std::vector<std::string>, SdkError> resolve(std::span<const std::uint8_t> references,
                                                                  std::size_t count, std::string_view name);

 private:
  struct Collections;
  GlobalHeaps(std::span<const std::uint8_t> image, Superblock sb);

  std::span<const std::uint8_t> image_;
  Superblock sb_;
  std::unique_ptr<Collections> collections_;
};

}  // namespace quillrun::h5
