#pragma once
// The bytes of a written file, in the memory the library built them in.
// Handing them on copies them once, giving that memory back as the copy
// goes, so that a large file is never held twice whole.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillrun {

class Image {
 public:
  Image() noexcept = default;
  Image(Image&& other) noexcept;
  Image& operator=(Image&& other) noexcept;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  ~Image();

  // Takes a block of `capacity` bytes from the core's page allocator
  // (base/pages.hpp) whose first `size` bytes are the file.
  [[nodiscard]] static Image adopt(void* block, std::size_t capacity, std::size_t size) noexcept;

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(block_), size_};
  }
  // Copies the bytes into `out`, which holds exactly size() bytes, and
  // leaves the image empty.
  void move_to(std::span<std::uint8_t> out) && noexcept;
  [[nodiscard]] std::vector<std::uint8_t> to_vector() &&;

 private:
  void* block_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quillrun
