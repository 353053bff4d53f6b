// libFuzzer's custom mutator for HDF5 images: it edits what byte mutation
// cannot forge, a reference between structures (an address made to name
// another real structure, the structure itself or one that leads to it) or a
// count, level, rank or size set to an edge value, and recomputes every
// checksum the edit breaks, so that HDF5 takes the edited structure as sound.
// Some variants are libFuzzer's byte mutations with the checksums of the
// structures they touched made to hold again; an input without structures
// falls back to byte mutation alone.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "hdf5_structure.hpp"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace quillrun::fuzz {
namespace {

// splitmix64: a variant is a function of its seed alone.
class Random {
 public:
  explicit Random(unsigned seed) : state_(seed) {}
  std::uint64_t next() noexcept {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) noexcept { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }
  bool one_in(std::size_t n) noexcept { return below(n) == 0; }

 private:
  std::uint64_t state_;
};

struct Edit {
  std::size_t offset;
  std::size_t width;
};

std::uint64_t width_max(std::size_t width) noexcept {
  return width >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * width)) - 1;
}

// An edge value for a count, level, rank, bit width or size.
std::uint64_t edge_value(Random& random, const Field& field, std::uint64_t current) {
  const std::uint64_t max = width_max(field.width);
  const unsigned bits = 8u * field.width;
  switch (field.kind) {
    case FieldKind::Rank: {
      static constexpr std::uint64_t kRanks[] = {0, 1, 2, 3, 31, 32, 33, 64, 255};
      return kRanks[random.below(std::size(kRanks))];
    }
    case FieldKind::Bits: {
      static constexpr std::uint64_t kBits[] = {0, 1, 7, 8, 31, 32, 33, 63, 64, 65, 127, 128, 255};
      return kBits[random.below(std::size(kBits))];
    }
    case FieldKind::Level:
      if (random.one_in(3)) return current + 1;
      break;
    default: break;
  }
  if (field.kind == FieldKind::Count && field.width == 8 && random.one_in(4)) {
    // A count that a record size multiplies past 2^64 into a small size;
    // sizes in memory are most often multiples of 8.
    const std::uint64_t record = random.one_in(4) ? 2 + random.below(63) : 8 * (1 + random.below(8));
    return max / record + 1 + random.below(4);
  }
  switch (random.below(12)) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 2;
    case 3: return max;
    case 4: return max - 1;
    case 5: return std::uint64_t{1} << (bits - 1);
    case 6: return current + 1;
    case 7: return current == 0 ? 0 : current - 1;
    case 8: return current * 2;
    case 9: return (std::uint64_t{1} << random.below(bits)) - 1;
    case 10: return std::uint64_t{1} << random.below(bits);
    default: return current + 1 + random.below(64);
  }
}

class Mutation {
 public:
  Mutation(std::span<std::uint8_t> image, Layout layout, Random& random)
      : image_(image), layout_(std::move(layout)), random_(random) {
    for (const Field& f : layout_.fields)
      if (f.kind == FieldKind::Address && f.target >= 0) parents_.push_back({f.owner, f.target});
  }

  // One or two edits; false when the image has no field to edit.
  bool edit() {
    if (layout_.fields.empty()) return false;
    const Field& first = pick_field();
    apply(first);
    if (random_.one_in(3)) {
      // A second edit most often in the same structure or the one the
      // first names: a level with a child pointer, a count with its node.
      const std::size_t near = first.target >= 0 ? static_cast<std::size_t>(first.target) : first.owner;
      std::vector<std::size_t> same;
      for (std::size_t i = 0; i < layout_.fields.size(); ++i)
        if (layout_.fields[i].owner == first.owner || layout_.fields[i].owner == near) same.push_back(i);
      if (!same.empty() && !random_.one_in(3)) apply(layout_.fields[same[random_.below(same.size())]]);
      else apply(pick_field());
    }
    fix_checksums();
    return true;
  }

  // Bytes changed by another hand: fix_checksums() remakes the checksums
  // over them too.
  void touched(std::size_t begin, std::size_t end) { edits_.push_back({begin, end - begin}); }

  // Every checksum over an edited byte holds again.
  void fix_checksums() {
    for (const Structure& s : layout_.structures) {
      if (!s.has_checksum) continue;
      const std::size_t begin = s.checksum.begin, end = s.checksum.covered_end();
      // Not an edit of the checksum itself: that one stays as made.
      const bool hit = std::any_of(edits_.begin(), edits_.end(), [&](const Edit& e) {
        const bool in_sum = e.offset >= s.checksum.at && e.offset + e.width <= s.checksum.at + 4;
        return e.offset < end && e.offset + e.width > begin && !in_sum;
      });
      if (hit) s.checksum.write(image_);
    }
    // An edited depth, size or count moves checksums of structures it did
    // not touch: the image read again says where they are now.
    const Layout after = parse_layout(image_);
    for (const Structure& s : after.structures) {
      if (!s.has_checksum) continue;
      const auto before = std::find_if(layout_.structures.begin(), layout_.structures.end(),
                                       [&](const Structure& b) { return b.offset == s.offset; });
      if (before == layout_.structures.end() || !before->has_checksum || before->checksum.at != s.checksum.at ||
          before->checksum.end != s.checksum.end)
        s.checksum.write(image_);
    }
  }

 private:
  std::span<std::uint8_t> image_;
  Layout layout_;
  Random& random_;
  std::vector<std::pair<std::uint32_t, std::int32_t>> parents_;  // owner names target
  std::vector<Edit> edits_;

  const Field& pick_field() {
    // A third by structure first, so that the few nodes of a tree weigh as
    // much as the many messages of the headers.
    if (random_.one_in(3)) {
      const std::size_t owner = layout_.fields[random_.below(layout_.fields.size())].owner;
      const std::size_t structure = random_.one_in(2) ? owner : random_.below(layout_.structures.size());
      std::vector<std::size_t> own;
      for (std::size_t i = 0; i < layout_.fields.size(); ++i)
        if (layout_.fields[i].owner == structure) own.push_back(i);
      if (!own.empty()) return layout_.fields[own[random_.below(own.size())]];
    }
    // Half of the edits are of references, most of them of those that name
    // a structure (the others name raw data or nothing).
    if (random_.one_in(2)) {
      const bool named = !random_.one_in(3);
      std::vector<std::size_t> refs;
      for (std::size_t i = 0; i < layout_.fields.size(); ++i)
        if (layout_.fields[i].kind == FieldKind::Address && (layout_.fields[i].target >= 0 || !named))
          refs.push_back(i);
      if (!refs.empty()) return layout_.fields[refs[random_.below(refs.size())]];
    }
    return layout_.fields[random_.below(layout_.fields.size())];
  }

  std::uint64_t address_of(std::size_t structure) const noexcept {
    return layout_.structures[structure].offset - layout_.base_address;
  }

  // A structure that leads to this one, up a few steps; or itself.
  std::size_t ancestor(std::size_t structure) {
    for (std::size_t steps = 1 + random_.below(3); steps > 0; --steps) {
      std::vector<std::size_t> up;
      for (const auto& [owner, target] : parents_)
        if (static_cast<std::size_t>(target) == structure && owner != structure) up.push_back(owner);
      if (up.empty()) break;
      structure = up[random_.below(up.size())];
    }
    return structure;
  }

  // A reference made to name its own structure or one above it: a loop,
  // which a walk takes only where a level or depth above says there is more
  // below, so one of those often grows too.
  std::uint64_t loop(const Field& field, std::size_t to) {
    if (!random_.one_in(4)) {
      std::vector<std::size_t> levels;
      std::vector<std::size_t> chain{field.owner, to};
      for (std::size_t up = 0; up < 3; ++up) chain.push_back(ancestor(field.owner));
      for (std::size_t i = 0; i < layout_.fields.size(); ++i) {
        const Field& f = layout_.fields[i];
        if (f.kind == FieldKind::Level && std::find(chain.begin(), chain.end(), f.owner) != chain.end())
          levels.push_back(i);
      }
      if (!levels.empty()) {
        const Field& level = layout_.fields[levels[random_.below(levels.size())]];
        const std::uint64_t now = read_le(image_, level.offset, level.width);
        const std::uint64_t raised = random_.one_in(2) ? width_max(level.width) : now + 1 + random_.below(3);
        write_le(image_, level.offset, level.width, raised & width_max(level.width));
        edits_.push_back({level.offset, level.width});
      }
    }
    return address_of(to);
  }

  std::uint64_t new_address(const Field& field, std::uint64_t current) {
    const auto& structures = layout_.structures;
    const std::size_t n = structures.size();
    const std::size_t size = image_.size();
    switch (random_.below(8)) {
      case 0:
      case 1:
      case 2: {  // another structure of the kind it names
        if (field.target < 0) break;
        const Kind kind = structures[static_cast<std::size_t>(field.target)].kind;
        std::vector<std::size_t> same;
        for (std::size_t i = 0; i < n; ++i)
          if (structures[i].kind == kind && i != static_cast<std::size_t>(field.target)) same.push_back(i);
        if (same.empty()) break;
        return address_of(same[random_.below(same.size())]);
      }
      case 3: return address_of(random_.below(n));  // any structure
      case 4: return loop(field, field.owner);
      case 5: return loop(field, ancestor(field.owner));
      default: break;
    }
    switch (random_.below(8)) {
      case 0: return 0;
      case 1: return ~std::uint64_t{0};
      case 2: return size;
      case 3: return size - 1;
      case 4: return current + 1;
      case 5: return current - 1;
      case 6: return current + 8 * (1 + random_.below(8));
      default: return random_.below(size);
    }
  }

  void apply(const Field& field) {
    const std::uint64_t current = read_le(image_, field.offset, field.width);
    std::uint64_t value = field.kind == FieldKind::Address ? new_address(field, current)
                                                           : edge_value(random_, field, current);
    value &= width_max(field.width);
    write_le(image_, field.offset, field.width, value);
    edits_.push_back({field.offset, field.width});
    // A record count places the checksum of the node it counts.
    if (field.dependent >= 0 && field.per > 0 && value < image_.size() / field.per) {
      Structure& node = layout_.structures[static_cast<std::size_t>(field.dependent)];
      const std::size_t at = node.offset + field.base + static_cast<std::size_t>(value) * field.per;
      if (at + 4 <= image_.size()) {
        node.has_checksum = true;
        node.checksum = Checksum{node.offset, at, 0};
        edits_.push_back({node.offset, 1});
      }
    }
  }
};

std::size_t mutate(std::uint8_t* data, std::size_t size, std::size_t max_size, unsigned seed) {
  Random random(seed);
  const std::span<std::uint8_t> image(data, size);
  if (random.one_in(5)) {
    // Byte mutation, then the checksums of what it changed made to hold.
    const std::vector<std::uint8_t> before(data, data + size);
    const std::size_t length = LLVMFuzzerMutate(data, size, max_size);
    if (length != size) return length;
    Mutation mutation(image, parse_layout(before), random);
    for (std::size_t i = 0; i < size; ++i)
      if (data[i] != before[i]) mutation.touched(i, i + 1);
    mutation.fix_checksums();
    return size;
  }
  Mutation mutation(image, parse_layout(image), random);
  if (mutation.edit()) return size;
  return LLVMFuzzerMutate(data, size, max_size);
}

}  // namespace
}  // namespace quillrun::fuzz

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
  return quillrun::fuzz::mutate(data, size, max_size, seed);
}
