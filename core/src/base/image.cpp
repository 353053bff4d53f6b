#include "quillrun/image.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/pages.hpp"

namespace quillrun {
namespace pages {
namespace {

std::size_t page_size() noexcept {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t whole_pages(std::size_t size) noexcept {
  const std::size_t page = page_size();
  return std::max(page, (size + page - 1) / page * page);
}

}  // namespace

void* allocate(std::size_t size) noexcept {
  void* block = mmap(nullptr, whole_pages(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void* resize(void* block, std::size_t old_size, std::size_t new_size) noexcept {
  if (block == nullptr) return allocate(new_size);
  void* moved = mremap(block, whole_pages(old_size), whole_pages(new_size), MREMAP_MAYMOVE);
  return moved == MAP_FAILED ? nullptr : moved;
}

void release(void* block, std::size_t size, std::size_t offset, std::size_t length) noexcept {
  const std::size_t end = std::min(whole_pages(size), offset + (length + page_size() - 1) / page_size() * page_size());
  if (block == nullptr || offset >= end) return;
  munmap(static_cast<char*>(block) + offset, end - offset);
}

}  // namespace pages

Image::Image(Image&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)) {}

Image& Image::operator=(Image&& other) noexcept {
  if (this != &other) {
    Image gone(std::move(*this));
    block_ = std::exchange(other.block_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Image::~Image() { pages::release(block_, capacity_, 0, capacity_); }

Image Image::adopt(void* block, std::size_t capacity, std::size_t size) noexcept {
  Image image;
  image.block_ = block;
  image.capacity_ = capacity;
  image.size_ = std::min(size, capacity);
  return image;
}

void Image::move_to(std::span<std::uint8_t> out) && noexcept {
  // Slices small beside a file, large beside a page.
  constexpr std::size_t kSlice = std::size_t{128} * pages::kGrain;
  const auto* bytes = static_cast<const std::uint8_t*>(block_);
  const std::size_t size = std::min(size_, out.size());
  // Each part is given back once: a hole, once unmapped, may be mapped
  // again by another thread.
  std::size_t at = 0;
  while (at < size) {
    const std::size_t length = std::min(kSlice, size - at);
    std::memcpy(out.data() + at, bytes + at, length);
    const bool last = at + length == size;
    pages::release(block_, capacity_, at, last ? capacity_ - at : length);
    at += length;
  }
  if (size == 0) pages::release(block_, capacity_, 0, capacity_);
  block_ = nullptr;
  capacity_ = 0;
  size_ = 0;
}

std::vector<std::uint8_t> Image::to_vector() && {
  std::vector<std::uint8_t> bytes(size_);
  std::move(*this).move_to(bytes);
  return bytes;
}

}  // namespace quillrun
