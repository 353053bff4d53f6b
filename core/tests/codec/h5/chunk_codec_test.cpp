// Chunks coded by the core: the writer's chunks against the ones the
// library's own filter pipeline makes, and the reader's direct path on
// chunks stored in every way a file may hold them. zlib, not the code under
// test, inflates what is compared.

#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "codec/h5/chunk_codec.hpp"
#include "codec/h5/hdf5.hpp"
#include "codec/h5/hdf5_read.hpp"
#include "quillrun/reader.hpp"
#include "quillrun/writer.hpp"
#include "base/thread_pool.hpp"
#include "support/trace_samples.hpp"

namespace quillrun::h5 {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct StoredChunk {
  std::uint32_t mask = 0;
  Bytes bytes;
};

StoredChunk stored_chunk(hid_t dataset, hsize_t row) {
  const std::array<hsize_t, 2> offset = {row, 0};
  hsize_t size = 0;
  EXPECT_GE(H5Dget_chunk_storage_size(dataset, offset.data(), &size), 0);
  StoredChunk chunk;
  chunk.bytes.resize(size);
  EXPECT_GE(H5Dread_chunk(dataset, H5P_DEFAULT, offset.data(), &chunk.mask, chunk.bytes.data()), 0);
  return chunk;
}

Bytes zlib_inflate(const Bytes& in, std::size_t size) {
  Bytes out(size + 1);
  uLongf length = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(out.data(), &length, in.data(), static_cast<uLong>(in.size())), Z_OK);
  out.resize(length);
  return out;
}

Bytes zlib_deflate(std::span<const std::uint8_t> in) {
  uLongf length = compressBound(static_cast<uLong>(in.size()));
  Bytes out(length);
  EXPECT_EQ(compress2(out.data(), &length, in.data(), static_cast<uLong>(in.size()), 6), Z_OK);
  out.resize(length);
  return out;
}

// A chunked dataset made with the library's own calls, for the reference
// pipeline and for chunks the tests store by hand.
Dataset raw_dataset(hid_t parent, const char* name, hid_t type, std::span<const hsize_t> dims,
                    std::span<const hsize_t> chunk, std::span<const H5Z_filter_t> filters) {
  const std::array<hsize_t, 2> max_dims = {H5S_UNLIMITED, dims.size() > 1 ? dims[1] : 0};
  const Dataspace space(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), max_dims.data()));
  const PropList dcpl(H5Pcreate(H5P_DATASET_CREATE));
  EXPECT_GE(H5Pset_chunk(dcpl.get(), static_cast<int>(chunk.size()), chunk.data()), 0);
  for (const H5Z_filter_t filter : filters) {
    herr_t rc = 0;
    if (filter == H5Z_FILTER_SHUFFLE) rc = H5Pset_shuffle(dcpl.get());
    if (filter == H5Z_FILTER_DEFLATE) rc = H5Pset_deflate(dcpl.get(), 6);
    if (filter == H5Z_FILTER_FLETCHER32) rc = H5Pset_fletcher32(dcpl.get());
    EXPECT_GE(rc, 0);
  }
  return Dataset(H5Dcreate2(parent, name, type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT));
}

std::string error_text(const SdkError& error) {
  const auto* hdf5 = std::get_if<sdk_error::Hdf5>(&error.value);
  return hdf5 == nullptr ? std::string("<not an Hdf5 error>") : hdf5->text;
}

template <class T>
std::vector<T> plain(const layout::CellVector<T>& cells) {
  return std::vector<T>(cells.begin(), cells.end());
}

template <class T>
std::vector<T> library_read(hid_t dataset, std::size_t count) {
  std::vector<T> values(count);
  EXPECT_GE(H5Dread(dataset, ElementType<T>::memory(), H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
  return values;
}

// ---------------------------------------------------------------------------
// Writing

struct Shape {
  const char* name;
  std::array<hsize_t, 2> dims;
  std::array<hsize_t, 2> chunk;
  std::size_t rank;
  bool shuffle;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const Shape& c, std::ostream* os) { *os << c.name; }

class WrittenChunks : public ::testing::TestWithParam<Shape> {};

// Each stored chunk, once inflated, holds exactly what the library's own
// pipeline stores for the same rows: the same byte planes and the same
// padding of a last partial chunk.
TEST_P(WrittenChunks, DecodeToWhatTheLibraryPipelineStores) {
  const Shape shape = GetParam();
  const std::size_t count = shape.dims[0] * (shape.rank == 2 ? shape.dims[1] : 1);
  std::vector<std::uint64_t> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = (i * 2654435761U) % 1000;  // compressible
  const std::span<const hsize_t> dims(shape.dims.data(), shape.rank);
  const std::span<const hsize_t> chunk(shape.chunk.data(), shape.rank);

  auto image = NewImage::create();
  ASSERT_TRUE(image.has_value());
  const std::array<std::uint64_t, 2> dims64 = {shape.dims[0], shape.dims[1]};
  const std::array<std::uint64_t, 2> chunk64 = {shape.chunk[0], shape.chunk[1]};
  auto ours = write_dataset<std::uint64_t>(
      image->id(), "ours", values,
      {std::span(dims64).first(shape.rank), std::span(chunk64).first(shape.rank), true, shape.shuffle, 6});
  ASSERT_TRUE(ours.has_value());
  std::vector<H5Z_filter_t> filters;
  if (shape.shuffle) filters.push_back(H5Z_FILTER_SHUFFLE);
  filters.push_back(H5Z_FILTER_DEFLATE);
  const Dataset reference = raw_dataset(image->id(), "reference", H5T_STD_U64LE, dims, chunk, filters);
  ASSERT_GE(H5Dwrite(reference.get(), H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);

  const std::size_t chunk_bytes = shape.chunk[0] * (shape.rank == 2 ? shape.chunk[1] : 1) * 8;
  for (hsize_t row = 0; row < shape.dims[0]; row += shape.chunk[0]) {
    SCOPED_TRACE("chunk at row " + std::to_string(row));
    const StoredChunk mine = stored_chunk(ours->get(), row);
    const StoredChunk theirs = stored_chunk(reference.get(), row);
    EXPECT_EQ(mine.mask, 0U);
    EXPECT_LT(mine.bytes.size(), chunk_bytes);
    EXPECT_EQ(zlib_inflate(mine.bytes, chunk_bytes), zlib_inflate(theirs.bytes, chunk_bytes));
  }
  EXPECT_EQ(library_read<std::uint64_t>(ours->get(), count), values);
}

INSTANTIATE_TEST_SUITE_P(Shapes, WrittenChunks,
                         ::testing::Values(Shape{"PartialLastChunk", {20000, 0}, {8192, 0}, 1, true},
                                           Shape{"ShorterThanOneChunk", {5, 0}, {8192, 0}, 1, true},
                                           Shape{"WholeChunksOnly", {16384, 0}, {8192, 0}, 1, true},
                                           Shape{"DeflateAlone", {9000, 0}, {8192, 0}, 1, false},
                                           Shape{"Rows", {7000, 3}, {2730, 3}, 2, true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// A chunk that deflate would grow is stored shuffled but uncompressed, with
// deflate marked skipped in its mask; the library reads it back as written.
TEST(WrittenChunks, IncompressibleChunkIsStoredUncompressedWithDeflateSkipped) {
  std::mt19937_64 rng(7);
  std::vector<std::uint64_t> values(10000);
  for (std::uint64_t& v : values) v = rng();
  for (const bool shuffle : {true, false}) {
    SCOPED_TRACE(shuffle ? "shuffle and deflate" : "deflate alone");
    auto image = NewImage::create();
    ASSERT_TRUE(image.has_value());
    const std::array<std::uint64_t, 1> dims = {values.size()};
    const std::array<std::uint64_t, 1> chunk = {8192};
    auto dataset = write_dataset<std::uint64_t>(image->id(), "noise", values, {dims, chunk, true, shuffle, 6});
    ASSERT_TRUE(dataset.has_value());

    const StoredChunk first = stored_chunk(dataset->get(), 0);
    EXPECT_EQ(first.mask, shuffle ? 2U : 1U);
    ASSERT_EQ(first.bytes.size(), 65536U);
    if (!shuffle) {
      EXPECT_EQ(std::memcmp(first.bytes.data(), values.data(), 65536), 0);
    }
    // The last chunk is mostly zero padding: it deflates.
    EXPECT_EQ(stored_chunk(dataset->get(), 8192).mask, 0U);
    EXPECT_EQ(library_read<std::uint64_t>(dataset->get(), values.size()), values);
    auto direct = read_stored_chunks<std::uint64_t>(dataset->get(), "noise", values.size(), 1U << 30);
    ASSERT_TRUE(direct.has_value()) << error_text(direct.error());
    ASSERT_TRUE(direct->has_value());
    EXPECT_EQ(plain(**direct), values);
  }
}

NavFileData many_chunk_trace() {
  NavFileData trace;
  std::mt19937_64 rng(3);
  for (std::int64_t i = 0; i < 30000; ++i) {
    NavPoint point;
    point.lat = 48.0 + static_cast<double>(rng() % 100000) * 1e-7;
    point.lon = 11.0 + static_cast<double>(rng() % 100000) * 1e-7;
    point.times = Timestamps::both(testing::at(i * 100'000), testing::at(i * 100'000 + static_cast<std::int64_t>(rng() % 5000)));
    point.heading = static_cast<double>(i % 360);
    SatelliteReport report;
    report.times = point.times;
    for (std::uint32_t s = 0; s < 12; ++s)
      report.tracked.push_back(Satellite{static_cast<std::uint8_t>(s % 4), s + 1, s < 9,
                                         static_cast<float>(rng() % 90), static_cast<float>(rng() % 360),
                                         std::nullopt});
    point.satellites = std::move(report);
    trace.points.push_back(std::move(point));
  }
  return trace;
}

// The bytes of a trace depend on nothing but the trace: not on how many
// threads code its chunks.
TEST(WrittenChunks, SameImageForOneThreadAndForMany) {
  const NavFileData trace = many_chunk_trace();
  pool::limit_threads(1);
  auto one = write_nav_file(trace);
  pool::limit_threads(0);
  auto many = write_nav_file(trace);
  ASSERT_TRUE(one.has_value());
  ASSERT_TRUE(many.has_value());
  EXPECT_EQ(*one, *many);
  auto read = read_nav_file(*many);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->points, trace.points);
}

std::size_t threads_of_this_process() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// A step of a few items runs on the calling thread alone; a longer one is
// shared with threads that have ended by the time it returns.
TEST(RunInOrder, ThreadsAreStartedOnlyForLongerStepsAndEndWithThem) {
  const std::size_t before = threads_of_this_process();
  for (const std::size_t count : {std::size_t{1}, 2 * codec::kItemsPerThread - 1, std::size_t{64}}) {
    SCOPED_TRACE(count);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    codec::Steps steps;
    steps.count = count;
    steps.window = count;
    steps.middle = [&](std::size_t, std::size_t, codec::Scratch&) -> Status<SdkError> {
      {
        const std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return {};
    };
    ASSERT_TRUE(codec::run_in_order(steps));
    if (count < 2 * codec::kItemsPerThread || pool::thread_count() == 1) {
      EXPECT_EQ(threads, std::set{std::this_thread::get_id()});
    } else {
      EXPECT_GT(threads.size(), 1U);
    }
    EXPECT_EQ(threads_of_this_process(), before);
  }
}

// ---------------------------------------------------------------------------
// Reading

constexpr std::size_t kRows = 10000;
constexpr std::size_t kChunkBytes = 8192 * 4;

std::vector<std::uint32_t> counting(std::size_t n) {
  std::vector<std::uint32_t> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<std::uint32_t>(i * 7);
  return values;
}

// One u32 dataset of two chunks (the second partial) with the writer's
// filters, its chunks stored by hand.
class StoredByHand : public ::testing::Test {
 public:
  void SetUp() override {
    auto image = NewImage::create();
    ASSERT_TRUE(image.has_value());
    image_.emplace(std::move(*image));
    make_dataset("d");
  }

  // A chunk is stored once: the library may keep the first mask of a chunk
  // stored again.
  void make_dataset(const std::string& name) {
    const std::array<hsize_t, 1> dims = {kRows};
    const std::array<hsize_t, 1> chunk = {8192};
    const std::array<H5Z_filter_t, 2> filters = {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE};
    dataset_ = raw_dataset(image_->id(), name.c_str(), H5T_STD_U32LE, dims, chunk, filters);
  }

  // The chunk at `row`: `plain` padded with zeros to the chunk, shuffled
  // unless `mask` skips shuffle, deflated unless it skips deflate.
  void store(hsize_t row, std::uint32_t mask, std::span<const std::uint32_t> plain) {
    Bytes chunk(kChunkBytes, 0);
    std::memcpy(chunk.data(), plain.data(), plain.size_bytes());
    if ((mask & 1U) == 0) {
      Bytes planes(kChunkBytes);
      for (std::size_t i = 0; i < 8192; ++i)
        for (std::size_t j = 0; j < 4; ++j) planes[j * 8192 + i] = chunk[i * 4 + j];
      chunk = planes;
    }
    if ((mask & 2U) == 0) chunk = zlib_deflate(chunk);
    store_bytes(row, mask, chunk);
  }

  void store_bytes(hsize_t row, std::uint32_t mask, const Bytes& bytes) {
    const std::array<hsize_t, 1> offset = {row};
    ASSERT_GE(H5Dwrite_chunk(dataset_.get(), H5P_DEFAULT, mask, offset.data(), bytes.size(), bytes.data()), 0);
  }

  [[nodiscard]] Result<std::optional<layout::CellVector<std::uint32_t>>, SdkError> read(
      std::uint64_t image_length = 1U << 30) const {
    return read_stored_chunks<std::uint32_t>(dataset_.get(), "t/d", kRows, image_length);
  }

  std::optional<NewImage> image_;
  Dataset dataset_;
  std::vector<std::uint32_t> values_ = counting(kRows);
  std::span<const std::uint32_t> first_ = std::span(values_).first(8192);
  std::span<const std::uint32_t> second_ = std::span(values_).subspan(8192);
};

// Every mask the two filters allow reads back as the library reads it.
TEST_F(StoredByHand, FilterMasksAreHonoured) {
  for (const std::uint32_t mask : {0U, 1U, 2U, 3U}) {
    SCOPED_TRACE("mask " + std::to_string(mask));
    make_dataset("m" + std::to_string(mask));
    store(0, mask, first_);
    store(8192, 3U - mask, second_);
    auto read_back = read();
    ASSERT_TRUE(read_back.has_value()) << error_text(read_back.error());
    ASSERT_TRUE(read_back->has_value());
    EXPECT_EQ(plain(**read_back), values_);
    EXPECT_EQ(library_read<std::uint32_t>(dataset_.get(), kRows), values_);
  }
}

struct Damage {
  const char* name;
  std::function<void(StoredByHand&)> store_second;
  std::uint64_t image_length;
  std::string text;
};
void PrintTo(const Damage& c, std::ostream* os) { *os << c.name; }

class DamagedChunk : public StoredByHand, public ::testing::WithParamInterface<Damage> {};

// The first chunk is sound; the second is refused with its fault.
TEST_P(DamagedChunk, IsRefused) {
  store(0, 0, first_);
  GetParam().store_second(*this);
  auto read_back = read(GetParam().image_length);
  ASSERT_FALSE(read_back.has_value());
  EXPECT_EQ(error_text(read_back.error()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DamagedChunk,
    ::testing::Values(
        Damage{"LargerThanTheFile", [](StoredByHand& fixture) { fixture.store_bytes(8192, 0, Bytes(1001, 1)); }, 1000,
               "dataset t/d: the chunk at row 8192 keeps 1001 bytes, more than the file's 1000"},
        Damage{"LargerThanAnyDeflatedChunk",
               [](StoredByHand& fixture) { fixture.store_bytes(8192, 0, Bytes(codec::max_stored_size(kChunkBytes) + 1, 1)); },
               1U << 30,
               "dataset t/d: the chunk at row 8192 keeps " + std::to_string(codec::max_stored_size(kChunkBytes) + 1) +
                   " bytes, more than any chunk of 32768 bytes deflates to"},
        Damage{"InflatesShort",
               [](StoredByHand& fixture) { fixture.store_bytes(8192, 0, zlib_deflate(Bytes(kChunkBytes - 1, 0))); }, 1U << 30,
               "dataset t/d: the chunk at row 8192 does not inflate to its 32768 bytes"},
        Damage{"InflatesLong",
               [](StoredByHand& fixture) { fixture.store_bytes(8192, 0, zlib_deflate(Bytes(kChunkBytes + 1, 0))); }, 1U << 30,
               "dataset t/d: the chunk at row 8192 does not inflate to its 32768 bytes"},
        Damage{"NotAZlibStream", [](StoredByHand& fixture) { fixture.store_bytes(8192, 0, Bytes(100, 0xAB)); }, 1U << 30,
               "dataset t/d: the chunk at row 8192 does not inflate to its 32768 bytes"},
        Damage{"UncompressedOfAnotherSize",
               [](StoredByHand& fixture) { fixture.store_bytes(8192, 2, Bytes(kChunkBytes - 4, 0)); }, 1U << 30,
               "dataset t/d: the chunk at row 8192 is stored uncompressed in 32764 bytes, not 32768"},
        Damage{"MaskOfAFilterItLacks", [](StoredByHand& fixture) { fixture.store(8192, 4, fixture.second_); }, 1U << 30,
               "dataset t/d: the chunk at row 8192 has the filter mask 4, for filters it lacks"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Of two damaged chunks, the first in row order is the one named, however
// the threads happen to finish.
TEST_F(StoredByHand, FirstDamagedChunkInRowOrderIsNamed) {
  store_bytes(0, 0, Bytes(100, 0xAB));
  store(8192, 4, second_);
  auto read_back = read();
  ASSERT_FALSE(read_back.has_value());
  EXPECT_EQ(error_text(read_back.error()), "dataset t/d: the chunk at row 0 does not inflate to its 32768 bytes");
}

// A dataset with a chunk never written is left to the library, which reads
// the fill value there.
TEST_F(StoredByHand, MissingChunkIsLeftToTheLibrary) {
  store(0, 0, first_);
  auto read_back = read();
  ASSERT_TRUE(read_back.has_value());
  EXPECT_FALSE(read_back->has_value());
}

struct Other {
  const char* name;
  hid_t (*type)();
  std::vector<H5Z_filter_t> filters;
};
void PrintTo(const Other& c, std::ostream* os) { *os << c.name; }

hid_t u32le() { return H5T_STD_U32LE; }

class OtherStorage : public ::testing::TestWithParam<Other> {};

// Only the writer's filters and the exact type go the direct way; anything
// else is left to the library and still read whole.
TEST_P(OtherStorage, IsLeftToTheLibrary) {
  auto image = NewImage::create();
  ASSERT_TRUE(image.has_value());
  const std::array<hsize_t, 1> dims = {kRows};
  const std::array<hsize_t, 1> chunk = {8192};
  const Dataset dataset = raw_dataset(image->id(), "d", GetParam().type(), dims, chunk, GetParam().filters);
  const std::vector<std::uint32_t> values = counting(kRows);
  ASSERT_GE(H5Dwrite(dataset.get(), H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
  auto direct = read_stored_chunks<std::uint32_t>(dataset.get(), "d", kRows, 1U << 30);
  ASSERT_TRUE(direct.has_value());
  EXPECT_FALSE(direct->has_value());
  auto through_library = read_dataset_exact<std::uint32_t>(dataset.get(), kRows);
  ASSERT_TRUE(through_library.has_value());
  EXPECT_EQ(plain(*through_library), values);
}

// Chunks far larger than the writer's stay with the library, which decodes
// one at a time, rather than costing a chunk-sized buffer per thread.
TEST(OtherStorage, ChunkLargerThanFourMebibytesIsLeftToTheLibrary) {
  auto image = NewImage::create();
  ASSERT_TRUE(image.has_value());
  const std::array<hsize_t, 1> dims = {kRows};
  const std::array<hsize_t, 1> chunk = {(hsize_t{1} << 20) + 1};
  const std::array<H5Z_filter_t, 2> filters = {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE};
  const Dataset dataset = raw_dataset(image->id(), "d", H5T_STD_U32LE, dims, chunk, filters);
  const std::vector<std::uint32_t> values = counting(kRows);
  ASSERT_GE(H5Dwrite(dataset.get(), H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
  auto direct = read_stored_chunks<std::uint32_t>(dataset.get(), "d", kRows, 1U << 30);
  ASSERT_TRUE(direct.has_value());
  EXPECT_FALSE(direct->has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, OtherStorage,
    ::testing::Values(Other{"Unfiltered", u32le, {}}, Other{"ShuffleAlone", u32le, {H5Z_FILTER_SHUFFLE}},
                      Other{"DeflateThenShuffle", u32le, {H5Z_FILTER_DEFLATE, H5Z_FILTER_SHUFFLE}},
                      Other{"Fletcher32", u32le, {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE, H5Z_FILTER_FLETCHER32}},
                      Other{"WiderStoredType", [] { return H5T_STD_U64LE; }, {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE}},
                      Other{"BigEndian", [] { return H5T_STD_U32BE; }, {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace quillrun::h5
