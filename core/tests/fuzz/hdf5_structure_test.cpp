// The structure-aware fuzzer's view of an image: on files h5py wrote, every
// checksum it places must be the one HDF5 stored, and every header of an
// index must be reached from the object that uses it; on cut or damaged
// images it must stay inside the bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "hdf5_structure.hpp"

namespace quillrun::fuzz {
namespace {

std::vector<std::uint8_t> seed(const std::string& name) {
  std::ifstream in(std::filesystem::path(QR_FUZZ_SEEDS_DIR) / name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::vector<std::string> kH5pySeeds = {"h5py-v114-chunk-indexes.qrd", "h5py-v114-dense-links-attributes.qrd",
                                             "h5py-earliest-chunked.qrd", "h5py-v114-deep-btrees.qrd",
                                             "h5py-v2-every-table.qrd"};

TEST(Hdf5Structure, PlacesEveryChecksumWhereHdf5StoredIt) {
  std::set<Kind> checked;
  for (const std::string& name : kH5pySeeds) {
    const std::vector<std::uint8_t> image = seed(name);
    const Layout layout = parse_layout(image);
    for (const Structure& s : layout.structures) {
      const bool unsummed = s.kind == Kind::GCOL || s.kind == Kind::TREE || s.kind == Kind::HEAP ||
                            s.kind == Kind::SNOD || s.kind == Kind::ObjectHeader1 || s.kind == Kind::Continuation1 ||
                            (s.kind == Kind::Superblock && image[8] < 2);
      EXPECT_EQ(s.has_checksum, !unsummed) << name << ": " << kind_name(s.kind) << " at " << s.offset;
      if (!s.has_checksum) continue;
      EXPECT_TRUE(s.checksum.holds(image)) << name << ": " << kind_name(s.kind) << " at " << s.offset;
      checked.insert(s.kind);
    }
  }
  for (const Kind kind : {Kind::Superblock, Kind::OHDR, Kind::OCHK, Kind::BTHD, Kind::BTIN, Kind::BTLF,
                          Kind::FRHP, Kind::FHDB, Kind::FHIB, Kind::EAHD, Kind::EAIB, Kind::EADB, Kind::FAHD,
                          Kind::FADB, Kind::FSHD, Kind::FSSE})
    EXPECT_TRUE(checked.count(kind)) << kind_name(kind);
}

TEST(Hdf5Structure, RewrittenChecksumHoldsAfterAnEdit) {
  std::vector<std::uint8_t> image = seed("h5py-v114-dense-links-attributes.qrd");
  const Layout layout = parse_layout(image);
  for (const Structure& s : layout.structures) {
    if (!s.has_checksum) continue;
    image[s.checksum.begin + 5] ^= 0x40;
    EXPECT_FALSE(s.checksum.holds(image)) << kind_name(s.kind);
    s.checksum.write(image);
    EXPECT_TRUE(s.checksum.holds(image)) << kind_name(s.kind);
  }
}

// The edits that matter name structures: each index and heap header must be
// named by a field the parser found, and v1 B-tree nodes by their parents.
TEST(Hdf5Structure, FindsTheReferencesToEveryIndex) {
  for (const std::string& name : kH5pySeeds) {
    const std::vector<std::uint8_t> image = seed(name);
    const Layout layout = parse_layout(image);
    std::set<std::int32_t> named;
    for (const Field& f : layout.fields)
      if (f.kind == FieldKind::Address) named.insert(f.target);
    for (std::size_t i = 0; i < layout.structures.size(); ++i) {
      const Kind kind = layout.structures[i].kind;
      if (kind != Kind::Superblock && kind != Kind::FSSE) {
        EXPECT_TRUE(named.count(static_cast<std::int32_t>(i)))
            << name << ": nothing names the " << kind_name(kind) << " at " << layout.structures[i].offset;
      }
    }
  }
}

TEST(Hdf5Structure, StaysInsideCutAndDamagedImages) {
  for (const std::string& name : kH5pySeeds) {
    const std::vector<std::uint8_t> image = seed(name);
    for (std::size_t length = 0; length < image.size(); length += 331) {
      const std::vector<std::uint8_t> cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
      for (const Field& f : parse_layout(cut).fields) {
        EXPECT_LE(f.offset + f.width, cut.size());
      }
    }
    // Every count and size at its edge, then the image parsed again.
    std::vector<std::uint8_t> damaged = image;
    for (const Field& f : parse_layout(image).fields)
      if (f.kind != FieldKind::Address) write_le(damaged, f.offset, f.width, ~std::uint64_t{0});
    const Layout layout = parse_layout(damaged);
    for (const Structure& s : layout.structures) {
      if (s.has_checksum) {
        EXPECT_LE(s.checksum.covered_end(), damaged.size());
      }
    }
  }
}

}  // namespace
}  // namespace quillrun::fuzz
