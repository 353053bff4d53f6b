#include "codec/h5/raw_image.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

namespace quillrun::h5 {
namespace {

// Little-endian unsigned integer of `width` bytes at `at` (the caller keeps
// it inside the image).
[[nodiscard]] std::uint64_t decode_le(std::span<const std::uint8_t> image, std::size_t at, std::size_t width) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = (value << 8) | image[at + i - 1];
  return value;
}

constexpr std::array<std::uint8_t, 8> kSuperblockSignature = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1A, '\n'};

}  // namespace

// The library looks for the superblock at 0, 512, 1024, ... bytes.
std::optional<Superblock> find_superblock(std::span<const std::uint8_t> image) noexcept {
  for (std::size_t at = 0; at + 16 <= image.size(); at = at == 0 ? 512 : at * 2) {
    const auto here = image.begin() + static_cast<std::ptrdiff_t>(at);
    if (!std::equal(kSuperblockSignature.begin(), kSuperblockSignature.end(), here)) continue;
    const std::uint8_t version = image[at + 8];
    Superblock sb;
    sb.base = at;
    sb.offsets = version <= 1 ? image[at + 13] : image[at + 9];
    sb.lengths = version <= 1 ? image[at + 14] : image[at + 10];
    const auto valid = [](std::size_t width) { return width == 2 || width == 4 || width == 8; };
    if (!valid(sb.offsets) || !valid(sb.lengths)) return std::nullopt;
    return sb;
  }
  return std::nullopt;
}

namespace {

enum class HeapState : std::uint8_t { NotLoadable, Damaged, Sound };

// Walks the global heap collection at `start` as the library does: each
// object's size, padded to 8 bytes after its header; index 0 is the free
// space and holds its header. `visit(index, data offset, size)` sees each
// object. A collection the library would refuse to load (no signature,
// another version, past the end of the image) is NotLoadable; one whose
// objects do not tile it exactly is Damaged.
template <class Visit>
[[nodiscard]] HeapState walk_global_heap(std::span<const std::uint8_t> image, std::size_t start, std::size_t lengths,
                                         Visit&& visit) {
  const std::size_t header = 8 + lengths;         // signature, version, reserved, collection size
  const std::size_t object_header = 8 + lengths;  // index, references, reserved, object size
  if (start > image.size() || image.size() - start < header) return HeapState::NotLoadable;
  if (!std::equal(image.begin() + static_cast<std::ptrdiff_t>(start),
                  image.begin() + static_cast<std::ptrdiff_t>(start + 4), "GCOL") ||
      image[start + 4] != 1)
    return HeapState::NotLoadable;
  const std::uint64_t size = decode_le(image, start + 8, lengths);
  if (size > image.size() - start || size < header) return HeapState::NotLoadable;
  const std::size_t end = start + static_cast<std::size_t>(size);
  std::size_t p = start + header;
  while (p < end) {
    if (p + object_header > end) return HeapState::Sound;  // a tail too small for an object is free space
    const std::uint64_t index = decode_le(image, p, 2);
    const std::uint64_t object_size = decode_le(image, p + 8, lengths);
    const std::uint64_t room = end - p;
    if (object_size > room) return HeapState::Damaged;
    // The library loops forever on an object that takes no room.
    const std::uint64_t need = index == 0 ? object_size : object_header + (object_size + 7) / 8 * 8;
    if (need == 0 || need > room) return HeapState::Damaged;
    visit(index, p + object_header, static_cast<std::size_t>(object_size));
    p += static_cast<std::size_t>(need);
  }
  return HeapState::Sound;
}

}  // namespace

std::optional<std::uint64_t> find_damaged_global_heap(std::span<const std::uint8_t> image) noexcept {
  const std::optional<Superblock> sb = find_superblock(image);
  if (!sb) return std::nullopt;
  static constexpr std::string_view kSignature = "GCOL";
  const std::uint8_t* const begin = image.data();
  const std::uint8_t* const end = begin + image.size();
  for (const std::uint8_t* at = begin; at < end; ++at) {
    at = static_cast<const std::uint8_t*>(
        memmem(at, static_cast<std::size_t>(end - at), kSignature.data(), kSignature.size()));
    if (at == nullptr) break;
    const auto start = static_cast<std::size_t>(at - begin);
    if (walk_global_heap(image, start, sb->lengths, [](std::uint64_t, std::size_t, std::size_t) {}) ==
        HeapState::Damaged)
      return start;
  }
  return std::nullopt;
}

namespace {

[[nodiscard]] SdkError bad_reference(std::string_view attribute, std::uint64_t element) {
  return SdkError{sdk_error::Hdf5{"attribute " + std::string(attribute) + ": variable-length string " +
                                  std::to_string(element) +
                                  " does not name an object of a sound global heap collection"}};
}

}  // namespace

// A collection as the library would load it; its objects sorted by index,
// the last of an index kept where a hostile one repeats an index (as a table
// by index filled in walking order would keep it).
struct GlobalHeaps::Collections {
  struct Object {
    std::uint64_t index = 0;
    std::size_t data = 0;
    std::size_t size = 0;
  };
  struct Collection {
    HeapState state = HeapState::NotLoadable;
    std::vector<Object> objects;
  };
  std::unordered_map<std::uint64_t, Collection> by_address;
};

GlobalHeaps::GlobalHeaps(std::span<const std::uint8_t> image, Superblock sb)
    : image_(image), sb_(sb), collections_(std::make_unique<Collections>()) {}
GlobalHeaps::GlobalHeaps(GlobalHeaps&&) noexcept = default;
GlobalHeaps& GlobalHeaps::operator=(GlobalHeaps&&) noexcept = default;
GlobalHeaps::~GlobalHeaps() = default;

std::optional<GlobalHeaps> GlobalHeaps::of(std::span<const std::uint8_t> image) {
  const std::optional<Superblock> sb = find_superblock(image);
  if (!sb) return std::nullopt;
  return GlobalHeaps(image, *sb);
}

Result<std::vector<std::string>, SdkError> GlobalHeaps::resolve(std::span<const std::uint8_t> references,
                                                               std::size_t count, std::string_view name) {
  using Object = Collections::Object;
  std::vector<std::string> texts;
  texts.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = i * variable_reference_size(sb_);
    const std::uint64_t length = decode_le(references, at, 4);
    const std::uint64_t address = decode_le(references, at + 4, sb_.offsets);
    const std::uint64_t index = decode_le(references, at + 4 + sb_.offsets, 4);
    if (length == 0) {
      texts.emplace_back();
      continue;
    }
    if (index == 0 || address > image_.size() - sb_.base) return fail(bad_reference(name, i));
    auto [it, fresh] = collections_->by_address.try_emplace(address);
    Collections::Collection& heap = it->second;
    if (fresh) {
      heap.state = walk_global_heap(image_, sb_.base + static_cast<std::size_t>(address), sb_.lengths,
                                    [&heap](std::uint64_t object, std::size_t data, std::size_t size) {
                                      heap.objects.push_back(Object{object, data, size});
                                    });
      std::stable_sort(heap.objects.begin(), heap.objects.end(),
                       [](const Object& a, const Object& b) { return a.index < b.index; });
      // The sort is stable: of the objects of one index, the last walked stays.
      auto write = heap.objects.begin();
      for (auto read = heap.objects.begin(); read != heap.objects.end(); ++read) {
        if (write != heap.objects.begin() && (write - 1)->index == read->index)
          *(write - 1) = *read;
        else
          *write++ = *read;
      }
      heap.objects.erase(write, heap.objects.end());
      heap.objects.shrink_to_fit();
    }
    if (heap.state != HeapState::Sound) return fail(bad_reference(name, i));
    const auto found = std::lower_bound(heap.objects.begin(), heap.objects.end(), index,
                                        [](const Object& object, std::uint64_t wanted) { return object.index < wanted; });
    if (found == heap.objects.end() || found->index != index || length > found->size)
      return fail(bad_reference(name, i));
    texts.emplace_back(reinterpret_cast<const char*>(image_.data()) + found->data, static_cast<std::size_t>(length));
  }
  return texts;
}

}  // namespace quillrun::h5
