#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "codec/read/dataset_access.hpp"
#include "support/qrd_craft.hpp"
#include "quillrun/reader.hpp"
#include "support/trace_samples.hpp"

namespace quillrun {
namespace {

using testing::FilePlan;
using testing::build;
using testing::minimal_file;
using testing::read_error;
using testing::kAbsent;
using testing::kT0;
using testing::at;

TEST(ReadNavPoints, CurrentLayoutGivesEachTimeKind) {
  FilePlan plan = minimal_file(3);
  plan.set<std::uint64_t>("nav_points", "gps_time_us", {kT0, kAbsent, kT0 + 2});
  plan.set<std::uint64_t>("nav_points", "sys_time_us", {kT0 + 10, kT0 + 11, kAbsent});
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->points.size(), 3u);
  EXPECT_EQ(r->points[0].times, Timestamps::both(at(kT0), at(kT0 + 10)));
  EXPECT_EQ(r->points[1].times, Timestamps::host_only(at(kT0 + 11)));
  EXPECT_EQ(r->points[2].times, Timestamps::receiver_only(at(kT0 + 2)));
  EXPECT_EQ(r->points[0].lat, 48.0);
  EXPECT_EQ(r->points[0].heading, std::optional<double>(90.0));
  EXPECT_EQ(r->points[0].eph_m, std::optional<double>(3.0));
  EXPECT_FALSE(r->points[0].satellites.has_value());
}

TEST(ReadNavPoints, NanLatitudeKeptNanOptionalsAbsent) {
  FilePlan plan = minimal_file(2);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  plan.set<double>("nav_points", "lat", {nan, 1.0});
  plan.set<double>("nav_points", "heading", {nan, 2.0});
  plan.set<double>("nav_points", "speed_mps", {nan, -nan});
  plan.set<double>("nav_points", "eph_m", {1.0, nan});
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_TRUE(std::isnan(r->points[0].lat));
  EXPECT_FALSE(r->points[0].heading.has_value());
  EXPECT_FALSE(r->points[0].speed_mps.has_value());
  EXPECT_FALSE(r->points[1].speed_mps.has_value());  // a NaN of either sign
  EXPECT_FALSE(r->points[1].eph_m.has_value());
  EXPECT_EQ(r->points[1].heading, std::optional<double>(2.0));
}

TEST(ReadNavPoints, OlderLayoutTakesReceiverTimesFromTime) {
  FilePlan plan = minimal_file(2);
  plan.root_texts = {{"quillrun_version", "1"}};
  plan.drop_column("nav_points", "gps_time_us");
  plan.drop_column("nav_points", "sys_time_us");
  plan.drop_column("nav_points", "eph_m");
  plan.set<std::int64_t>("nav_points", "time", {-1'000'000, kT0});
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->points[0].times, Timestamps::receiver_only(Instant{-1, 86'399, 0}));
  EXPECT_EQ(r->points[1].times, Timestamps::receiver_only(at(kT0)));
  EXPECT_FALSE(r->points[0].eph_m.has_value());
}

TEST(ReadNavPoints, TimeOfMinusOneInAnOlderFileIsNoTime) {
  FilePlan plan = minimal_file(3);
  plan.drop_column("nav_points", "gps_time_us");
  plan.drop_column("nav_points", "sys_time_us");
  plan.set<std::int64_t>("nav_points", "time", {kT0, -1, kT0});
  EXPECT_EQ(read_error(build(plan)), "nav point 1 has neither a receiver nor a host timestamp");
}

TEST(ReadNavPoints, BothTimesAbsent) {
  FilePlan plan = minimal_file(3);
  plan.set<std::uint64_t>("nav_points", "gps_time_us", {kT0, kT0, kAbsent});
  plan.set<std::uint64_t>("nav_points", "sys_time_us", {kT0, kT0, kAbsent});
  EXPECT_EQ(read_error(build(plan)), "nav point 2 has neither a receiver nor a host timestamp");
}

TEST(ReadNavPoints, HighCellIsANegativeCountOutOfRange) {
  FilePlan plan = minimal_file(3);
  plan.set<std::uint64_t>("nav_points", "gps_time_us", {kT0, 9'223'372'036'854'775'808ULL, kT0});
  EXPECT_EQ(read_error(build(plan)),
            "nav_points/gps_time_us: record 1 holds -9223372036854775808 microseconds, past the range a UTC "
            "timestamp covers");
  // The receiver cell is decoded before the host cell of the same row.
  plan.set<std::uint64_t>("nav_points", "sys_time_us", {kT0, 9'223'372'036'854'775'809ULL, kT0});
  EXPECT_TRUE(read_error(build(plan)).starts_with("nav_points/gps_time_us: record 1"));
  plan.set<std::uint64_t>("nav_points", "gps_time_us", {kT0, kT0, kT0});
  EXPECT_TRUE(read_error(build(plan)).starts_with("nav_points/sys_time_us: record 1 holds -9223372036854775807"));
}

TEST(ReadNavPoints, RowCountsInTheirOrder) {
  FilePlan plan = minimal_file(3);
  plan.set<std::uint64_t>("nav_points", "sys_time_us", {kT0, kT0});
  EXPECT_EQ(read_error(build(plan)), "dataset \"sys_time_us\" in group \"nav_points\": expected 3 rows but found 2");
  plan.set<std::uint64_t>("nav_points", "gps_time_us", {kT0});
  EXPECT_EQ(read_error(build(plan)), "dataset \"gps_time_us\" in group \"nav_points\": expected 3 rows but found 1");

  FilePlan coords = minimal_file(5);
  coords.set<double>("nav_points", "lat", {1, 2, 3, 4});
  coords.set<double>("nav_points", "eph_m", {1});
  EXPECT_EQ(read_error(build(coords)), "dataset \"lat\" in group \"nav_points\": expected 5 rows but found 4");
  coords = minimal_file(5);
  coords.set<double>("nav_points", "eph_m", {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(read_error(build(coords)), "dataset \"eph_m\" in group \"nav_points\": expected 5 rows but found 6");
}

TEST(ReadNavPoints, MissingRequiredDatasetIsTheLibraryError) {
  for (const char* name : {"time", "lat", "lon", "heading", "speed_mps"}) {
    FilePlan plan = minimal_file(2);
    plan.drop_column("nav_points", name);
    EXPECT_EQ(read_error(build(plan)), std::string("HDF5 error: object '") + name + "' doesn't exist");
  }
}

TEST(ReadNavPoints, FloatColumnsStoredNarrowerAreConverted) {
  FilePlan plan = minimal_file(2);
  plan.set<float>("nav_points", "lat", {1.5F, 2.25F});
  plan.set<std::int64_t>("nav_points", "lon", {7, -8});
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->points[1].lat, 2.25);
  EXPECT_EQ(r->points[1].lon, -8.0);
}

// A stored value that the requested type cannot hold is refused, never clamped.
TEST(ReadNavPoints, ValuesOutsideTheRequestedTypeFail) {
  const std::string refused = "HDF5 error: can't handle conversion exception";
  FilePlan negative = minimal_file(3);
  negative.set<std::int64_t>("nav_points", "gps_time_us", {kT0, -5, kT0});
  EXPECT_EQ(read_error(build(negative)), refused);

  FilePlan fraction = minimal_file(3);
  fraction.set<double>("nav_points", "time", {1.0, 2.5, 3.0});
  EXPECT_EQ(read_error(build(fraction)), refused);

  FilePlan whole = minimal_file(3);
  whole.set<double>("nav_points", "time", {1.0, 2.0, 3.0});
  EXPECT_TRUE(read_nav_file(build(whole)));

  // NaN is in no integer's range, though it compares as inside it.
  FilePlan nan = minimal_file(3);
  nan.set<double>("nav_points", "time", {1.0, std::numeric_limits<double>::quiet_NaN(), 3.0});
  EXPECT_EQ(read_error(build(nan)), refused);

  FilePlan huge = minimal_file(3);
  huge.set<double>("nav_points", "time", {1.0, 1e30, 3.0});
  EXPECT_EQ(read_error(build(huge)), refused);

  FilePlan too_big = minimal_file(1);
  too_big.set<std::uint64_t>("nav_points", "time", {9'223'372'036'854'775'808ULL});
  EXPECT_EQ(read_error(build(too_big)), refused);
}

// --- the size guard and the budget of one read ----------------------------

// Builds `plan` until its size no longer depends on a declared extent
// computed from it (an unwritten dataset's extent costs no bytes).
template <class MakePlan>
std::vector<std::uint8_t> build_with_length(MakePlan make) {
  std::uint64_t length = 1;
  for (int i = 0; i < 5; ++i) {
    std::vector<std::uint8_t> image = build(make(length));
    if (image.size() == length) return image;
    length = image.size();
  }
  ADD_FAILURE() << "image size does not settle";
  return {};
}

Result<reader::CheckedDataset, SdkError> guard_one(reader::ReaderFile& file, const char* group, const char* name) {
  QR_ASSIGN_OR_RETURN(const reader::ReaderGroup g, reader::open_group(file, group));
  return reader::open_dataset(g, name);
}

TEST(DatasetGuard, ExactlyThousandThirtyTwoTimesTheFileIsAccepted) {
  for (const std::uint64_t extra : {std::uint64_t{0}, std::uint64_t{1}}) {
    const auto image = build_with_length([extra](std::uint64_t length) {
      FilePlan plan = minimal_file(1);
      plan.tables.push_back(testing::Table{"probe", {}, [length, extra](hid_t g) {
                                             testing::unwritten_dataset(g, "bytes", H5T_STD_U8LE,
                                                                        {length * 1032 + extra}, {1024});
                                           }});
      return plan;
    });
    auto file = reader::ReaderFile::open(image);
    ASSERT_TRUE(file);
    const auto r = guard_one(*file, "probe", "bytes");
    if (extra == 0) {
      EXPECT_TRUE(r) << r.error().message();
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().message(), "dataset \"probe/bytes\" declares " + std::to_string(image.size() * 1032 + 1) +
                                         " bytes of data, past what a " + std::to_string(image.size()) +
                                         "-byte file can hold");
    }
  }
}

TEST(DatasetGuard, ExtentProductsSaturateInsteadOfWrapping) {
  FilePlan plan = minimal_file(1);
  plan.drop_column("nav_points", "heading");
  // 2^32 x 2^32 x 8 bytes overflows 64 bits.
  plan.table("nav_points")->extra = [](hid_t g) {
    testing::unwritten_dataset(g, "heading", H5T_IEEE_F64LE, {hsize_t{1} << 32, hsize_t{1} << 32}, {1, 1024});
  };
  const auto image = build(plan);
  EXPECT_EQ(read_error(image), "dataset \"nav_points/heading\" declares 147573952589676412928 bytes of data, past "
                               "what a " + std::to_string(image.size()) + "-byte file can hold");
}

TEST(DatasetGuard, HugeChunkOfASmallDatasetIsRefused) {
  FilePlan plan = minimal_file(1);
  plan.drop_column("nav_points", "speed_mps");
  plan.table("nav_points")->extra = [](hid_t g) {
    testing::unwritten_dataset(g, "speed_mps", H5T_IEEE_F64LE, {1}, {hsize_t{1} << 27});
  };
  const auto image = build(plan);
  EXPECT_EQ(read_error(image), "dataset \"nav_points/speed_mps\" declares 1073741824 bytes of data, past what a " +
                                   std::to_string(image.size()) + "-byte file can hold");
}

TEST(DatasetGuard, DatasetsOfOneReadShareOneBudget) {
  // Each of `lat` and `lon` alone passes; together they cross the bound,
  // and `lon`, read second, is named.
  std::uint64_t each = 0;
  const auto image = build_with_length([&each](std::uint64_t length) {
    FilePlan plan = minimal_file(0);
    plan.drop_column("nav_points", "lat");
    plan.drop_column("nav_points", "lon");
    each = length * 1032 / 8 * 6 / 10;  // 60 % of the bound, in f64 elements
    plan.table("nav_points")->extra = [each](hid_t g) {
      testing::unwritten_dataset(g, "lat", H5T_IEEE_F64LE, {each}, {1024});
      testing::unwritten_dataset(g, "lon", H5T_IEEE_F64LE, {each}, {1024});
    };
    return plan;
  });
  EXPECT_EQ(read_error(image), "dataset \"nav_points/lon\" declares " + std::to_string(each * 8) +
                                   " bytes of data, past what a " + std::to_string(image.size()) +
                                   "-byte file can hold");
}

// --- what the reader does not follow ----------------------------------------

TEST(ReadStorage, ExternalStorageIsRefused) {
  FilePlan plan = minimal_file(1);
  plan.drop_column("nav_points", "eph_m");
  plan.table("nav_points")->extra = [](hid_t g) {
    const hsize_t dims = 1;
    const hid_t space = H5Screate_simple(1, &dims, nullptr);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    EXPECT_GE(H5Pset_external(dcpl, "outside.bin", 0, 8), 0);
    const hid_t d = H5Dcreate2(g, "eph_m", H5T_IEEE_F64LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    EXPECT_GE(d, 0);
    H5Dclose(d);
    H5Pclose(dcpl);
    H5Sclose(space);
  };
  EXPECT_EQ(read_error(build(plan)), "HDF5 error: dataset nav_points/eph_m keeps its data in external files");
}

TEST(ReadStorage, OtherFiltersAreRefused) {
  FilePlan plan = minimal_file(1);
  plan.drop_column("nav_points", "lon");
  plan.table("nav_points")->extra = [](hid_t g) {
    const hsize_t dims = 1;
    const hsize_t chunk = 1;
    const hid_t space = H5Screate_simple(1, &dims, nullptr);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(dcpl, 1, &chunk);
    H5Pset_shuffle(dcpl);
    H5Pset_fletcher32(dcpl);
    const hid_t d = H5Dcreate2(g, "lon", H5T_IEEE_F64LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    const double v = 1.0;
    H5Dwrite(d, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, &v);
    H5Dclose(d);
    H5Pclose(dcpl);
    H5Sclose(space);
  };
  EXPECT_EQ(read_error(build(plan)),
            "HDF5 error: dataset nav_points/lon uses HDF5 filter 3; only deflate and shuffle are read");
}

TEST(ReadStorage, VirtualDatasetsAreRefused) {
  FilePlan plan = minimal_file(1);
  plan.drop_column("nav_points", "lat");
  plan.table("nav_points")->extra = [](hid_t g) {
    const hsize_t dims = 1;
    const hid_t space = H5Screate_simple(1, &dims, nullptr);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    EXPECT_GE(H5Pset_virtual(dcpl, space, "other.h5", "/lat", space), 0);
    const hid_t d = H5Dcreate2(g, "lat", H5T_IEEE_F64LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    EXPECT_GE(d, 0);
    H5Dclose(d);
    H5Pclose(dcpl);
    H5Sclose(space);
  };
  EXPECT_EQ(read_error(build(plan)), "HDF5 error: dataset nav_points/lat is virtual; its data lies outside the file");
}

TEST(ReadStorage, SoftAndExternalLinksAreNotFollowed) {
  FilePlan soft = minimal_file(1);
  soft.drop_column("nav_points", "lon");
  soft.table("nav_points")->extra = [](hid_t g) {
    EXPECT_GE(H5Lcreate_soft("/nav_points/lat", g, "lon", H5P_DEFAULT, H5P_DEFAULT), 0);
  };
  EXPECT_EQ(read_error(build(soft)),
            "HDF5 error: nav_points/lon is a soft, external or user-defined link; only hard links are followed");

  FilePlan external = minimal_file(1);
  external.root_extra = [](hid_t root) {
    EXPECT_GE(H5Lcreate_external("elsewhere.qrd", "/markers", root, "markers", H5P_DEFAULT, H5P_DEFAULT), 0);
  };
  EXPECT_EQ(read_error(build(external)),
            "HDF5 error: markers is a soft, external or user-defined link; only hard links are followed");
}

TEST(ReadStorage, ImagesOpenAtOnceStayApart) {
  FilePlan two = minimal_file(2);
  FilePlan five = minimal_file(5);
  const auto outer_image = build(two);
  auto outer = reader::ReaderFile::open(outer_image);
  ASSERT_TRUE(outer);
  const auto inner = read_nav_file(build(five));
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->points.size(), 5u);
  // The same bytes again, while the first image is still open.
  const auto again = read_nav_file(outer_image);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->points.size(), 2u);
}

}  // namespace
}  // namespace quillrun
