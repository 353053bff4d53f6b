// The metadata of an HDF5 image as the structure-aware fuzzer edits it: where
// its structures lie, which of their fields name other structures or hold a
// count, level, rank or size, and which checksum covers which bytes. Built
// for damaged input: whatever cannot be read is left out, never trusted.

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillrun::fuzz {

enum class Kind : std::uint8_t {
  Superblock,
  ObjectHeader1,  // version 1 object header, no signature
  Continuation1,  // a version 1 header's continuation block
  OHDR,
  OCHK,
  TREE,
  HEAP,
  SNOD,
  GCOL,
  BTHD,
  BTIN,
  BTLF,
  FRHP,
  FHDB,
  FHIB,
  EAHD,
  EAIB,
  EASB,
  EADB,
  FAHD,
  FADB,
  FSHD,
  FSSE,
};
inline constexpr std::size_t kKindCount = static_cast<std::size_t>(Kind::FSSE) + 1;

const char* kind_name(Kind kind) noexcept;

// HDF5's metadata checksum (Bob Jenkins' lookup3 hashlittle) of bytes.
std::uint32_t lookup3(std::span<const std::uint8_t> bytes, std::uint32_t initval = 0) noexcept;

// A checksum stored little-endian at `at`, over [begin, at) or, for a
// fractal heap direct block, over [begin, end) with its own four bytes as
// zero.
struct Checksum {
  std::size_t begin = 0;
  std::size_t at = 0;
  std::size_t end = 0;  // past `at` + 4 only for a direct block
  bool holds(std::span<const std::uint8_t> image) const;
  void write(std::span<std::uint8_t> image) const;
  std::size_t covered_end() const noexcept { return end > at + 4 ? end : at + 4; }
};

struct Structure {
  Kind kind;
  std::size_t offset;
  bool has_checksum = false;
  Checksum checksum{};
};

enum class FieldKind : std::uint8_t { Address, Count, Level, Rank, Bits, Size };

struct Field {
  std::size_t offset;
  std::uint8_t width;  // bytes, little-endian
  FieldKind kind;
  std::uint32_t owner;       // the structure that holds it
  std::int32_t target = -1;  // the structure an address names
  // A record count that places another structure's checksum: it lies at
  // dependent's offset + base + count * per.
  std::int32_t dependent = -1;
  std::uint32_t base = 0;
  std::uint32_t per = 0;
};

struct Layout {
  std::uint8_t sizeof_addr = 8;
  std::uint8_t sizeof_size = 8;
  std::uint64_t base_address = 0;
  std::vector<Structure> structures;
  std::vector<Field> fields;
};

Layout parse_layout(std::span<const std::uint8_t> image);

std::uint64_t read_le(std::span<const std::uint8_t> image, std::size_t offset, std::size_t width) noexcept;
void write_le(std::span<std::uint8_t> image, std::size_t offset, std::size_t width, std::uint64_t value) noexcept;

}  // namespace quillrun::fuzz
