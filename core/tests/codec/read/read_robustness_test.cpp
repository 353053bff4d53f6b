// Damaged files end in a trace or an error, never in a crash or a hang.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <zlib.h>

#include "codec/h5/hdf5.hpp"
#include "support/log_capture.hpp"
#include "support/qrd_craft.hpp"
#include "support/qrd_mutate.hpp"
#include "quillrun/reader.hpp"
#include "quillrun/writer.hpp"
#include "support/trace_samples.hpp"

// HDF5 asks malloc for sizes that a damaged file declares (an object header
// chunk of 2^51 bytes, say) and handles the null it gets back; under
// AddressSanitizer such a request would abort the run instead.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace quillrun {
namespace {

constexpr std::uint64_t kSeedsPerImage = 1500;

// Whether `image` reads; a failure must say why, and either way no object of
// the library may stay open and no memory with it. A read may leave the
// library holding more than before only the first time: what it keeps for
// good (a conversion path, say) is made once. Only a library without free
// lists (the sanitized one) gives back every block it frees, so that what it
// holds after a read is exact; it also tells what LeakSanitizer cannot, such
// as objects left registered as IDs.
bool reads(const std::vector<std::uint8_t>& image, const std::string& what) {
  const auto r = read_nav_file(image);
  if (!r) {
    EXPECT_FALSE(r.error().message().empty()) << what;
  }
  EXPECT_EQ(H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL), 0) << what;
#ifdef H5_USING_MEMCHECKER
  if (h5::MemoryBudget::held() > 0) {
    (void)read_nav_file(image);
    EXPECT_LE(h5::MemoryBudget::held(), 0) << what << ": bytes kept by the library per read";
  }
#endif
  return r.has_value();
}

void read_every_mutation(const std::vector<std::uint8_t>& image) {
  testing::LogCapture::start(log::LevelFilter::Off);
  std::uint64_t values = 0;
  std::uint64_t errors = 0;
  for (std::uint64_t seed = 0; seed < kSeedsPerImage; ++seed) {
    if (reads(testing::mutate(image, seed), "seed " + std::to_string(seed))) {
      ++values;
    } else {
      ++errors;
    }
  }
  // The damage is real: most mutations fail, some leave a readable file.
  EXPECT_GT(errors, kSeedsPerImage / 4);
  EXPECT_GT(values, 0u);
  testing::LogCapture::start();
}

TEST(ReadRobustness, DamagedWriterImages) {
  const auto image = write_nav_file(testing::rich_trace());
  ASSERT_TRUE(image) << image.error().message();
  read_every_mutation(*image);
}

TEST(ReadRobustness, DamagedEarliestFormatImages) {
  read_every_mutation(testing::earliest_format_image());
}

// Images damaged in the field that crashed older HDF5 releases, and a few
// mutations of each: they start where mutating a sound image rarely gets.
TEST(ReadRobustness, CollectedDamagedImagesAndTheirMutations) {
  constexpr std::uint64_t kSeedsPerCollectedImage = 32;
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(QR_TEST_DAMAGED_DIR)) {
    if (entry.path().extension() == ".qrd") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  ASSERT_GE(paths.size(), 147u);
  testing::LogCapture::start(log::LevelFilter::Off);
  for (const auto& path : paths) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(image.empty()) << path;
    const std::string name = path.filename().string();
    (void)reads(image, name);
    for (std::uint64_t seed = 0; seed < kSeedsPerCollectedImage; ++seed) {
      (void)reads(testing::mutate(image, seed), name + " seed " + std::to_string(seed));
    }
  }
  testing::LogCapture::start();
}

// The library loops forever on a global heap collection with an empty
// object of index 0; such a collection is refused before it is opened.
TEST(ReadRobustness, EmptyFreeSpaceObjectInAGlobalHeapIsRefused) {
  const auto image = write_nav_file(testing::rich_trace());
  ASSERT_TRUE(image);
  std::vector<std::uint8_t> damaged = *image;
  const std::string_view text(reinterpret_cast<const char*>(damaged.data()), damaged.size());
  const std::size_t heap = text.find("GCOL");
  ASSERT_NE(heap, std::string_view::npos);
  // The first object starts after the 16-byte collection header; zero it.
  std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(heap + 16), 16, std::uint8_t{0});
  const auto r = read_nav_file(damaged);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "HDF5 error: the global heap collection at byte " + std::to_string(heap) +
                                     " is damaged: its objects do not fill it");
}

// The earliest file format has no checksums over the attribute messages: a
// damaged reference from a variable-length string into its global heap is
// caught by the reader, not followed by the library.
class DamagedStringReference : public ::testing::TestWithParam<int> {};

TEST_P(DamagedStringReference, Fails) {
  std::vector<std::uint8_t> image = testing::earliest_format_image();
  const std::string_view text(reinterpret_cast<const char*>(image.data()), image.size());
  const std::size_t heap = text.find("GCOL");
  ASSERT_NE(heap, std::string_view::npos);
  // meta_title ("morning ride", 12 bytes): length, heap address, object index.
  std::string reference("\x0c\0\0\0", 4);
  for (int i = 0; i < 8; ++i) reference.push_back(static_cast<char>((heap >> (8 * i)) & 0xFF));
  std::size_t at = text.find(reference);
  ASSERT_NE(at, std::string_view::npos);
  switch (GetParam()) {
    case 0: image[at + 12] = 77; break;    // no such object
    case 1: image[at] = 0xFF; break;       // longer than its object
    case 2: image[at + 5] ^= 0x01; break;  // an address where no heap starts
    default: image[at + 11] = 0x7F; break; // an address past the image
  }
  const auto r = read_nav_file(image);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "HDF5 error: attribute meta_title: variable-length string 0 does not name an object "
                                 "of a sound global heap collection");
}

std::string damage_name(const ::testing::TestParamInfo<int>& case_info) {
  constexpr const char* kNames[] = {"no_such_object", "longer_than_its_object", "no_heap_at_the_address",
                                    "address_past_the_image"};
  return kNames[case_info.param];
}
INSTANTIATE_TEST_SUITE_P(Damage, DamagedStringReference, ::testing::Values(0, 1, 2, 3), damage_name);

// HDF5 1.10 copies a contiguous dataset's extent out of its storage without
// comparing their sizes; the reader compares them first.
TEST(ReadRobustness, ContiguousStorageSmallerThanItsExtentIsRefused) {
  std::vector<std::uint8_t> image = testing::earliest_format_image();
  const auto r0 = read_nav_file(image);
  ASSERT_TRUE(r0) << r0.error().message();
  // nav_points/time: 32 bytes at the first data address; find its layout
  // message by the address and the size that follow each other.
  hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_fapl_core(fapl, 1 << 16, 0);
  H5Pset_file_image(fapl, image.data(), image.size());
  const hid_t file = H5Fopen("/dev/null/quillrun-test-layout", H5F_ACC_RDONLY, fapl);
  const hid_t time = H5Dopen2(file, "nav_points/time", H5P_DEFAULT);
  const haddr_t address = H5Dget_offset(time);
  H5Dclose(time);
  H5Fclose(file);
  H5Pclose(fapl);
  std::vector<std::uint8_t> pattern(16, 0);
  for (int i = 0; i < 8; ++i) pattern[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(address >> (8 * i));
  pattern[8] = 32;
  const auto at = std::search(image.begin(), image.end(), pattern.begin(), pattern.end());
  ASSERT_NE(at, image.end());
  at[8] = 16;
  const auto r = read_nav_file(image);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "HDF5 error: dataset nav_points/time keeps 16 bytes at byte " +
                                     std::to_string(address) + " of the file for 32 bytes of data");
}

// Images that harmed the reader inside the library: an uninitialised pointer
// freed, a local heap's free list followed forever or read from before the
// heap, an attribute read past the end of its data, a heap data block of
// gibibytes allocated whole, one data block named by two heaps, a group's
// B-tree node read as a chunk index's, a header that names another header's
// chunk as its own. Each fails with its own text, leaves
// no object open, and (read a second time, once the library's lasting state
// exists) leaves the library holding no more memory than before.
struct HostileImage {
  const char* name;
  const char* message;
  const char* dir = QR_TEST_HOSTILE_DIR;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const HostileImage& c, std::ostream* os) { *os << c.name; }

class Hostile : public ::testing::TestWithParam<HostileImage> {};

TEST_P(Hostile, FailsWithItsTextAndKeepsNothing) {
  std::ifstream in(std::filesystem::path(GetParam().dir) / GetParam().name, std::ios::binary);
  const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(image.empty());
  (void)read_nav_file(image);
  const auto r = read_nav_file(image);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), GetParam().message);
  EXPECT_EQ(H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL), 0);
#ifdef H5_USING_MEMCHECKER
  // Exact only without the library's free lists, which keep what a refused
  // read freed on paths the first read did not take.
  EXPECT_LE(h5::MemoryBudget::held(), 0);
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Images, Hostile,
    ::testing::Values(
        HostileImage{"free-invalid-pointer-a.qrd", "HDF5 error: address undefined"},
        HostileImage{"free-invalid-pointer-b.qrd", "HDF5 error: address undefined"},
        HostileImage{"heap-free-list-loop-a.qrd",
                     "HDF5 error: bad heap free list: more nodes than the heap has room for"},
        HostileImage{"heap-free-list-loop-b.qrd",
                     "HDF5 error: bad heap free list: more nodes than the heap has room for"},
        HostileImage{"heap-free-list-wrapped-offset-a.qrd", "HDF5 error: bad heap free list"},
        // 2,952,790,016 bytes declared by a file of 28,534.
        HostileImage{"heap-huge-data-block-a.qrd",
                     "HDF5 error: reading the file needed more than 68021952 bytes of memory, the most a 28534-byte "
                     "file may take"},
        HostileImage{"heap-shared-data-block-a.qrd", "HDF5 error: local heap data block belongs to another heap"},
        HostileImage{"btree-shared-node-a.qrd", "HDF5 error: B-tree node belongs to a tree of another type"},
        HostileImage{"ohdr-shared-chunk-a.qrd",
                     "HDF5 error: object header continuation chunk belongs to another object header"},
        // The variable-length string type's size in the file was cut from 16
        // bytes (length, address, index) to 15 or 1; the data with it.
        HostileImage{"attribute-overread-1.qrd",
                     "HDF5 error: attribute quillrun_version keeps 15 bytes in its header for 16 bytes of data"},
        HostileImage{"attribute-overread-2.qrd",
                     "HDF5 error: attribute quillrun_version keeps 1 bytes in its header for 16 bytes of data"},
        HostileImage{"attribute-overread-3.qrd",
                     "HDF5 error: attribute channels/c1/unit keeps 15 bytes in its header for 16 bytes of data"}),
    [](const ::testing::TestParamInfo<HostileImage>& image) {
      std::string name(image.param.name, std::string_view(image.param.name).find('.'));
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// Structures that name the wrong structure, or declare counts, depths and
// parameters they do not hold; most are handed a block that an earlier read
// left in the library's cache for another owner: a chunk B-tree node that
// names itself as its child, a rank-1 dataset that names a rank-2 dataset's
// chunk B-tree, a chunked layout of rank 0, an unfiltered dataset that names
// a filtered one's extensible array, v2 B-trees whose depth, counts or nodes
// are another's, fractal heaps and arrays whose blocks are another's.
constexpr const char* kStructure = QR_TEST_STRUCTURE_DIR;
INSTANTIATE_TEST_SUITE_P(
    Structure, Hostile,
    ::testing::Values(
        HostileImage{"v1-chunk-btree-self-loop.qrd", "HDF5 error: B-tree child node is not one level below its parent",
                     kStructure},
        HostileImage{"v1-chunk-btree-of-another-rank.qrd",
                     "HDF5 error: B-tree node belongs to a tree of another key shape", kStructure},
        HostileImage{"layout-zero-rank-divides-by-zero.qrd", "HDF5 error: bad dimensions for chunked storage",
                     kStructure},
        HostileImage{"layout-names-chunk-index-of-another-class.qrd",
                     "HDF5 error: chunk index belongs to a dataset of another kind", kStructure},
        HostileImage{"v2-btree-depth-self-loop.qrd", "HDF5 error: v2 B-tree depth exceeds what its record count allows",
                     kStructure},
        HostileImage{"v2-btree-total-wraps-allocation.qrd",
                     "HDF5 error: v2 B-tree record count exceeds what the file holds", kStructure},
        HostileImage{"v2-btree-root-count-past-node.qrd", "HDF5 error: v2 B-tree record counts disagree", kStructure},
        HostileImage{"v2-btree-node-of-another-tree.qrd",
                     "HDF5 error: v2 B-tree node record count exceeds what the node holds", kStructure},
        HostileImage{"v2-btree-child-count-use-after-free.qrd",
                     "HDF5 error: v2 B-tree node record count differs from its parent's", kStructure},
        HostileImage{"fractal-heap-block-of-another-heap.qrd",
                     "HDF5 error: fractal heap direct block belongs to another heap", kStructure},
        HostileImage{"fractal-heap-block-of-another-heap-wrong-value.qrd",
                     "HDF5 error: fractal heap direct block belongs to another heap", kStructure},
        HostileImage{"extensible-array-index-block-of-another-array.qrd",
                     "HDF5 error: extensible array index block belongs to another array", kStructure},
        HostileImage{"extensible-array-page-bits-shift.qrd",
                     "HDF5 error: extensible array data block page bits out of range", kStructure},
        HostileImage{"fixed-array-data-block-of-another-array.qrd",
                     "HDF5 error: fixed array data block belongs to another array", kStructure},
        HostileImage{"attribute-shared-without-shared-heap.qrd",
                     "HDF5 error: attribute is shared but the file has no shared message heap", kStructure},
        HostileImage{"v2-btree-chunk-index-named-by-attribute-index.qrd",
                     "HDF5 error: v2 B-tree is of another type than expected", kStructure},
        HostileImage{"fractal-heap-header-past-end-of-file.qrd",
                     "HDF5 error: fractal heap header past the end of the file", kStructure},
        HostileImage{"float-precision-past-size.qrd",
                     "HDF5 error: floating-point offset+precision out of bounds", kStructure},
        HostileImage{"chunk-map-past-budget.qrd",
                     "HDF5 error: reading the file needed more than 68398464 bytes of memory, the most a "
                     "40300-byte file may take",
                     kStructure},
        HostileImage{"extensible-array-64-count-bits.qrd",
                     "HDF5 error: chunk index belongs to a dataset of another kind", kStructure}),
    [](const ::testing::TestParamInfo<HostileImage>& image) {
      std::string name(image.param.name, std::string_view(image.param.name).find('.'));
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// An extensible array chunk index whose header claims 4,294,967,297
// elements set while its blocks hold a few: the walk over it once took
// minutes and then returned the file's values. It ends where the blocks end
// and reads what they hold.
TEST(ReadRobustness, AnArrayIndexThatClaimsMoreThanItsBlocksHoldReadsWhatTheyHold) {
  std::ifstream in(std::filesystem::path(kStructure) / "extensible-array-max-index-slow-read.qrd", std::ios::binary);
  const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(image.empty());
  const auto r = read_nav_file(image);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_FALSE(r->points.empty());
  EXPECT_EQ(H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL), 0);
}

// A deflate stream of `size` zero bytes: about a thousandth of that long.
std::vector<std::uint8_t> deflated_zeros(std::size_t size) {
  z_stream stream{};
  EXPECT_EQ(deflateInit(&stream, 6), Z_OK);
  std::vector<std::uint8_t> zeros(std::size_t{1} << 20, 0);
  std::vector<std::uint8_t> out(size / 512 + 4096);
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  for (std::size_t fed = 0; fed < size; fed += zeros.size()) {
    stream.next_in = zeros.data();
    stream.avail_in = static_cast<uInt>(zeros.size());
    EXPECT_EQ(deflate(&stream, fed + zeros.size() < size ? Z_NO_FLUSH : Z_FINISH), fed + zeros.size() < size ? Z_OK
                                                                                                         : Z_STREAM_END);
  }
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// The library inflates a chunk's whole stream before it compares the result
// with the chunk's size: a chunk of 4 KiB stored as 128 MiB of deflated zeros
// (about 128 KiB) takes the library past what a file of that size may take.
// The read fails with the rule in its text, and gives back what it took.
TEST(ReadRobustness, ChunkInflatingPastTheMemoryBudgetFails) {
  testing::FilePlan plan = testing::minimal_file(1024);
  // Stored as 32-bit floats, the column is decoded by the library, not the reader.
  plan.set<float>("nav_points", "lat", std::vector<float>(1024, 48.0F));
  const std::vector<std::uint8_t> bomb = deflated_zeros(std::size_t{128} << 20);
  plan.table("nav_points")->extra = [&bomb](hid_t group) {
    const hid_t lat = H5Dopen2(group, "lat", H5P_DEFAULT);
    const hsize_t offset = 0;
    EXPECT_GE(H5Dwrite_chunk(lat, H5P_DEFAULT, 0, &offset, bomb.size(), bomb.data()), 0);
    H5Dclose(lat);
  };
  const std::vector<std::uint8_t> image = testing::build(plan);
  // 64 MiB and 32 bytes per byte of the file.
  const std::uint64_t limit = (std::uint64_t{64} << 20) + 32 * std::uint64_t{image.size()};
  ASSERT_LT(limit, std::uint64_t{128} << 20);
  (void)read_nav_file(image);
  const auto r = read_nav_file(image);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "HDF5 error: reading the file needed more than " + std::to_string(limit) +
                                     " bytes of memory, the most a " + std::to_string(image.size()) +
                                     "-byte file may take");
  EXPECT_EQ(H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL), 0);
  EXPECT_TRUE(h5::MemoryBudget::refused());
  // Small allocations may use a reserve of 16 MiB past the limit.
  EXPECT_LE(h5::MemoryBudget::peak(), limit + (std::uint64_t{16} << 20));
  EXPECT_LE(h5::MemoryBudget::held(), 0);
  // The next read has the whole budget again.
  EXPECT_TRUE(read_nav_file(testing::build(testing::minimal_file(3))));
}

TEST(ReadRobustness, TruncatedImagesFail) {
  const auto image = write_nav_file(testing::rich_trace());
  ASSERT_TRUE(image);
  for (const std::size_t length : {std::size_t{1}, std::size_t{8}, std::size_t{100}, image->size() / 2}) {
    const std::vector<std::uint8_t> cut(image->begin(), image->begin() + static_cast<std::ptrdiff_t>(length));
    const auto r = read_nav_file(cut);
    ASSERT_FALSE(r) << length;
    EXPECT_TRUE(r.error().message().starts_with("HDF5 error: ")) << r.error().message();
  }
}

}  // namespace
}  // namespace quillrun
