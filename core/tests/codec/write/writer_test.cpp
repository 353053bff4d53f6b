#include "quillrun/writer.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "codec/h5/hdf5.hpp"
#include "quillrun/units.hpp"
#include "quillrun/version.hpp"
#include "support/h5_read.hpp"

// Every image is written to a real file and opened with HDF5's default
// driver: the library's own checks, not our reader, judge the bytes. The
// expected names, types, chunks and texts are spelled out here rather than
// taken from the layout definition, so that a drift in either shows.

namespace quillrun {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::string>;
constexpr std::uint64_t kAbsent = std::numeric_limits<std::uint64_t>::max();
constexpr hsize_t kUnlimited = H5S_UNLIMITED;
constexpr std::string_view kTimeUnits = "microseconds since 1970-01-01T00:00:00Z";

Instant at_us(std::int64_t micros) { return *instant_from_us(micros); }

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }
std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

NavPoint point(Timestamps times, double lat = 1.5, double lon = 2.5) {
  NavPoint p;
  p.lat = lat;
  p.lon = lon;
  p.times = times;
  return p;
}

Bytes write_ok(const NavFileData& trace) {
  auto image = write_nav_file(trace);
  EXPECT_TRUE(image.has_value()) << image.error().message();
  return image.has_value() ? std::move(image).value() : Bytes{};
}

h5::File open_on_disk(const Bytes& image) {
  const std::string path = ::testing::TempDir() + "writer_test_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".qrd";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  const h5::ErrorPrintingOff quiet;
  h5::File file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  std::remove(path.c_str());  // the open file stays readable
  return file;
}

// Member names in the order they were created.
Texts members(hid_t group) {
  H5G_info_t info{};
  EXPECT_GE(H5Gget_info(group, &info), 0);
  Texts names;
  for (hsize_t i = 0; i < info.nlinks; ++i) {
    char name[512] = {};
    EXPECT_GE(H5Lget_name_by_idx(group, ".", H5_INDEX_CRT_ORDER, H5_ITER_INC, i, name, sizeof name, H5P_DEFAULT), 0);
    names.emplace_back(name);
  }
  return names;
}

herr_t collect(hid_t, const char* name, const H5A_info_t*, void* out) {
  static_cast<Texts*>(out)->emplace_back(name);
  return 0;
}

// Attribute names in the order they were created.
Texts attribute_names(hid_t object) {
  Texts names;
  EXPECT_GE(H5Aiterate2(object, H5_INDEX_CRT_ORDER, H5_ITER_INC, nullptr, &collect, &names), 0);
  return names;
}

// A scalar variable-length UTF-8 text attribute.
std::string text_attribute(hid_t object, const char* name) {
  const h5::Attribute attribute(H5Aopen(object, name, H5P_DEFAULT));
  EXPECT_TRUE(attribute.valid()) << name;
  const h5::Datatype type(H5Aget_type(attribute.get()));
  const h5::Dataspace space(H5Aget_space(attribute.get()));
  EXPECT_EQ(H5Tget_class(type.get()), H5T_STRING) << name;
  EXPECT_GT(H5Tis_variable_str(type.get()), 0) << name;
  EXPECT_EQ(H5Tget_cset(type.get()), H5T_CSET_UTF8) << name;
  EXPECT_EQ(H5Sget_simple_extent_type(space.get()), H5S_SCALAR) << name;
  char* value = nullptr;
  EXPECT_GE(H5Aread(attribute.get(), type.get(), &value), 0);
  std::string text = value == nullptr ? "<null>" : value;
  H5free_memory(value);
  return text;
}

Texts text_list_attribute(hid_t object, const char* name) {
  const h5::Attribute attribute(H5Aopen(object, name, H5P_DEFAULT));
  EXPECT_TRUE(attribute.valid()) << name;
  const h5::Datatype type(H5Aget_type(attribute.get()));
  const h5::Dataspace space(H5Aget_space(attribute.get()));
  EXPECT_EQ(H5Tget_class(type.get()), H5T_STRING);
  EXPECT_GT(H5Tis_variable_str(type.get()), 0);
  EXPECT_EQ(H5Sget_simple_extent_ndims(space.get()), 1);
  std::vector<char*> values(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space.get())));
  EXPECT_GE(H5Aread(attribute.get(), type.get(), values.data()), 0);
  Texts texts;
  for (char* value : values) {
    texts.emplace_back(value);
    H5free_memory(value);
  }
  return texts;
}

double float_attribute(hid_t object, const char* name) {
  const h5::Attribute attribute(H5Aopen(object, name, H5P_DEFAULT));
  EXPECT_TRUE(attribute.valid()) << name;
  const h5::Datatype type(H5Aget_type(attribute.get()));
  EXPECT_GT(H5Tequal(type.get(), H5T_IEEE_F64LE), 0);
  double value = 0;
  EXPECT_GE(H5Aread(attribute.get(), H5T_NATIVE_DOUBLE, &value), 0);
  return value;
}

h5::Group group(hid_t parent, const char* name) {
  h5::Group g(H5Gopen2(parent, name, H5P_DEFAULT));
  EXPECT_TRUE(g.valid()) << name;
  return g;
}

// How a dataset is stored.
struct Stored {
  std::vector<hsize_t> dims;
  std::vector<hsize_t> max_dims;
  std::vector<hsize_t> chunk;
  std::vector<int> filters;  // in pipeline order
  std::vector<unsigned> deflate_level;
};

Stored stored(hid_t parent, const char* name) {
  Stored s;
  const h5::Dataset dataset(H5Dopen2(parent, name, H5P_DEFAULT));
  EXPECT_TRUE(dataset.valid()) << name;
  const h5::Dataspace space(H5Dget_space(dataset.get()));
  const int rank = H5Sget_simple_extent_ndims(space.get());
  s.dims.resize(static_cast<std::size_t>(rank));
  s.max_dims.resize(static_cast<std::size_t>(rank));
  H5Sget_simple_extent_dims(space.get(), s.dims.data(), s.max_dims.data());
  const h5::PropList dcpl(H5Dget_create_plist(dataset.get()));
  EXPECT_EQ(H5Pget_layout(dcpl.get()), H5D_CHUNKED) << name;
  s.chunk.resize(static_cast<std::size_t>(rank));
  EXPECT_EQ(H5Pget_chunk(dcpl.get(), rank, s.chunk.data()), rank);
  const int nfilters = H5Pget_nfilters(dcpl.get());
  for (int i = 0; i < nfilters; ++i) {
    unsigned flags = 0;
    std::size_t count = 4;
    unsigned values[4] = {};
    unsigned config = 0;
    const H5Z_filter_t id =
        H5Pget_filter2(dcpl.get(), static_cast<unsigned>(i), &flags, &count, values, 0, nullptr, &config);
    s.filters.push_back(id);
    if (id == H5Z_FILTER_DEFLATE) s.deflate_level.push_back(values[0]);
  }
  return s;
}

bool has_type(hid_t parent, const char* name, hid_t expected) {
  const h5::Dataset dataset(H5Dopen2(parent, name, H5P_DEFAULT));
  const h5::Datatype type(H5Dget_type(dataset.get()));
  return H5Tequal(type.get(), expected) > 0;
}

template <class T>
std::vector<T> read(hid_t parent, const char* name) {
  const h5::Dataset dataset(H5Dopen2(parent, name, H5P_DEFAULT));
  EXPECT_TRUE(dataset.valid()) << name;
  auto values = testing::read_dataset<T>(dataset.get());
  EXPECT_TRUE(values.has_value());
  return values.has_value() ? std::move(values).value() : std::vector<T>{};
}

// Row `row` of a text column of width `width`, as raw bytes.
std::string cell(const std::vector<std::uint8_t>& column, std::size_t width, std::size_t row) {
  return std::string(column.begin() + static_cast<std::ptrdiff_t>(row * width),
                     column.begin() + static_cast<std::ptrdiff_t>((row + 1) * width));
}
std::string padded(std::string text, std::size_t width) {
  text.resize(width, '\0');
  return text;
}

const std::vector<int> kShuffleDeflate = {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE};
const std::vector<int> kDeflate = {H5Z_FILTER_DEFLATE};

// ---------------------------------------------------------------------------
// The layout

struct Column {
  const char* name;
  hid_t type;
  std::size_t width;  // 0: one-dimensional
  std::vector<hsize_t> chunk;
  std::vector<int> filters;
  std::vector<std::pair<std::string, std::string>> attributes;
};

void expect_table(hid_t root, const char* table, hsize_t rows, const std::vector<Column>& columns) {
  SCOPED_TRACE(table);
  const h5::Group g = group(root, table);
  Texts names;
  for (const Column& column : columns) names.emplace_back(column.name);
  EXPECT_EQ(members(g.get()), names);
  EXPECT_TRUE(attribute_names(g.get()).empty());
  for (const Column& column : columns) {
    SCOPED_TRACE(column.name);
    EXPECT_TRUE(has_type(g.get(), column.name, column.type));
    const Stored s = stored(g.get(), column.name);
    if (column.width == 0) {
      EXPECT_EQ(s.dims, (std::vector<hsize_t>{rows}));
      EXPECT_EQ(s.max_dims, (std::vector<hsize_t>{kUnlimited}));
    } else {
      EXPECT_EQ(s.dims, (std::vector<hsize_t>{rows, column.width}));
      EXPECT_EQ(s.max_dims, (std::vector<hsize_t>{kUnlimited, column.width}));
    }
    EXPECT_EQ(s.chunk, column.chunk);
    EXPECT_EQ(s.filters, column.filters);
    EXPECT_EQ(s.deflate_level, (std::vector<unsigned>{6}));
    const h5::Dataset dataset(H5Dopen2(g.get(), column.name, H5P_DEFAULT));
    Texts expected_names;
    for (const auto& [name, value] : column.attributes) {
      expected_names.push_back(name);
      EXPECT_EQ(text_attribute(dataset.get(), name.c_str()), value) << name;
    }
    EXPECT_EQ(attribute_names(dataset.get()), expected_names);
  }
}

const std::pair<std::string, std::string> kUnitsTime{"units", std::string(kTimeUnits)};
const std::pair<std::string, std::string> kSentinel{"absent_sentinel", "u64::MAX"};
const std::pair<std::string, std::string> kNanAbsent{"nan_means", "absent"};
const std::pair<std::string, std::string> kDegrees{"units", "degrees"};

std::vector<Column> nav_point_columns() {
  const std::vector<hsize_t> c{8192};
  return {
      {"time", H5T_STD_I64LE, 0, c, kShuffleDeflate, {kUnitsTime}},
      {"gps_time_us", H5T_STD_U64LE, 0, c, kShuffleDeflate, {kUnitsTime, kSentinel}},
      {"sys_time_us", H5T_STD_U64LE, 0, c, kShuffleDeflate, {kUnitsTime, kSentinel}},
      {"lat", H5T_IEEE_F64LE, 0, c, kShuffleDeflate, {kDegrees}},
      {"lon", H5T_IEEE_F64LE, 0, c, kShuffleDeflate, {kDegrees}},
      {"heading", H5T_IEEE_F64LE, 0, c, kShuffleDeflate, {kDegrees, kNanAbsent}},
      {"speed_mps", H5T_IEEE_F64LE, 0, c, kShuffleDeflate, {{"units", "m/s"}, kNanAbsent}},
      {"eph_m", H5T_IEEE_F64LE, 0, c, kShuffleDeflate, {{"units", "metres"}, kNanAbsent}},
  };
}

TEST(WriterLayout, EmptyTraceHasVersionAndEmptyNavPointsOnly) {
  const Bytes image = write_ok(NavFileData{});
  const h5::File file = open_on_disk(image);
  ASSERT_TRUE(file.valid());
  const h5::Group root = group(file.get(), "/");
  EXPECT_EQ(attribute_names(root.get()), Texts{"quillrun_version"});
  EXPECT_EQ(text_attribute(root.get(), "quillrun_version"), "2");
  EXPECT_EQ(members(root.get()), Texts{"nav_points"});
  expect_table(root.get(), "nav_points", 0, nav_point_columns());
}

NavFileData full_trace() {
  NavFileData trace;
  trace.points.push_back(point(Timestamps::both(at_us(1'000), at_us(2'000))));
  trace.points.push_back(point(Timestamps::receiver_only(at_us(3'000))));
  trace.points.back().satellites = SatelliteReport{{Satellite{2, 11, true, 45.0F, 180.0F, 38.5F}}, 
                                                   Timestamps::receiver_only(at_us(3'000))};
  trace.markers.push_back(Marker{at_us(1'500), 1.0, 2.0, std::string("camp"), 3, false});
  trace.event_markers.push_back(EventMarkerPoint{"lap/start", at_us(2'500), std::string("go"), 1.0, 2.0});
  trace.event_marker_styles.push_back(
      EventMarkerStyle{"lap/start", StyleIcon::known(MarkerIcon::Check), ColorHex{ColorHex::Kind::Valid, "#00ff00"}});
  Channel channel;
  channel.name = "speed";
  channel.times = {at_us(1'000), at_us(2'000)};
  channel.values = {1.0, 2.0};
  trace.channels.push_back(channel);
  return trace;
}

TEST(WriterLayout, EveryTableWithItsColumnsTypesChunksFiltersAndAttributes) {
  const Bytes image = write_ok(full_trace());
  const h5::File file = open_on_disk(image);
  ASSERT_TRUE(file.valid());
  const h5::Group root = group(file.get(), "/");
  EXPECT_EQ(members(root.get()), (Texts{"nav_points", "sat_reports", "tracked_sats", "markers", "event_markers",
                                        "event_marker_styles", "channels"}));
  expect_table(root.get(), "nav_points", 2, nav_point_columns());

  const std::vector<hsize_t> c{8192};
  expect_table(root.get(), "sat_reports", 1,
               {
                   {"nav_point_idx", H5T_STD_U64LE, 0, c, kShuffleDeflate, {}},
                   {"gps_time_us", H5T_STD_U64LE, 0, c, kShuffleDeflate, {kUnitsTime, kSentinel}},
                   {"sys_time_us", H5T_STD_U64LE, 0, c, kShuffleDeflate, {kUnitsTime, kSentinel}},
               });
  expect_table(root.get(), "tracked_sats", 1,
               {
                   {"sat_report_idx", H5T_STD_U64LE, 0, c, kShuffleDeflate, {}},
                   {"constellation",
                    H5T_STD_U8LE,
                    0,
                    c,
                    kDeflate,
                    {{"encoding", "0=GPS,1=GLONASS,2=Galileo,3=BeiDou,4=NavIC,5=QZSS"}}},
                   {"prn", H5T_STD_U32LE, 0, c, kShuffleDeflate, {}},
                   {"in_fix", H5T_STD_U8LE, 0, c, kDeflate, {{"encoding", "0=not_in_fix,1=in_fix"}}},
                   {"elevation", H5T_IEEE_F32LE, 0, c, kShuffleDeflate, {kDegrees, kNanAbsent}},
                   {"azimuth", H5T_IEEE_F32LE, 0, c, kShuffleDeflate, {kDegrees, kNanAbsent}},
                   {"snr", H5T_IEEE_F32LE, 0, c, kShuffleDeflate, {{"units", "dB-Hz"}, kNanAbsent}},
               });
  const std::string icon_encoding =
      "0=pin,1=cross,2=circle,3=lightning,4=warning,5=error,6=check,7=satellite,8=satellite_lost,9=gear,"
      "10=refresh,11=download,12=upload,13=wrench";
  const std::pair<std::string, std::string> text256{"encoding",
                                                    "UTF-8 null-padded to 256 bytes, max 255 content bytes"};
  expect_table(root.get(), "markers", 1,
               {
                   {"time", H5T_STD_I64LE, 0, c, kShuffleDeflate, {kUnitsTime}},
                   {"lat", H5T_IEEE_F64LE, 0, c, kShuffleDeflate, {kDegrees}},
                   {"lon", H5T_IEEE_F64LE, 0, c, kShuffleDeflate, {kDegrees}},
                   {"icon", H5T_STD_U8LE, 0, c, kDeflate, {{"encoding", icon_encoding}}},
                   {"label", H5T_STD_U8LE, 256, {32, 256}, kDeflate, {text256}},
               });
  expect_table(root.get(), "event_markers", 1,
               {
                   {"sys_time_us", H5T_STD_U64LE, 0, c, kShuffleDeflate, {kUnitsTime, kSentinel}},
                   {"lat", H5T_IEEE_F64LE, 0, c, kShuffleDeflate, {kDegrees}},
                   {"lon", H5T_IEEE_F64LE, 0, c, kShuffleDeflate, {kDegrees}},
                   {"variant_path", H5T_STD_U8LE, 256, {32, 256}, kDeflate, {text256}},
                   {"annotation",
                    H5T_STD_U8LE,
                    512,
                    {16, 512},
                    kDeflate,
                    {{"encoding", "UTF-8 null-padded to 512 bytes, empty = no annotation"}}},
               });
  expect_table(root.get(), "event_marker_styles", 1,
               {
                   {"variant_path", H5T_STD_U8LE, 256, {32, 256}, kDeflate, {}},
                   {"icon_name",
                    H5T_STD_U8LE,
                    32,
                    {256, 32},
                    kDeflate,
                    {{"encoding", "lowercase MarkerIcon variant name, null-padded"}}},
                   {"color_hex", H5T_STD_U8LE, 8, {1024, 8}, kDeflate, {{"encoding", "#RRGGBB null-padded to 8 bytes"}}},
               });

  const h5::Group channels = group(root.get(), "channels");
  EXPECT_TRUE(attribute_names(channels.get()).empty());
  EXPECT_EQ(members(channels.get()), Texts{"speed"});
  const h5::Group speed = group(channels.get(), "speed");
  EXPECT_EQ(members(speed.get()), (Texts{"time", "value"}));
  EXPECT_TRUE(has_type(speed.get(), "time", H5T_STD_I64LE));
  EXPECT_TRUE(has_type(speed.get(), "value", H5T_IEEE_F64LE));
  const Stored time = stored(speed.get(), "time");
  EXPECT_EQ(time.chunk, (std::vector<hsize_t>{8192}));
  EXPECT_EQ(time.filters, kShuffleDeflate);
  const h5::Dataset time_ds(H5Dopen2(speed.get(), "time", H5P_DEFAULT));
  EXPECT_EQ(attribute_names(time_ds.get()), Texts{"units"});
  EXPECT_EQ(text_attribute(time_ds.get(), "units"), kTimeUnits);
  const h5::Dataset value_ds(H5Dopen2(speed.get(), "value", H5P_DEFAULT));
  EXPECT_TRUE(attribute_names(value_ds.get()).empty());

  // Our own reader of images opens it as well.
  auto reopened = h5::OpenImage::open(image);
  ASSERT_TRUE(reopened.has_value()) << reopened.error().message();
}

// ---------------------------------------------------------------------------
// Root attributes

TEST(WriterMeta, RootAttributesInOrderWithTheirTexts) {
  NavFileData trace;
  trace.meta.title = "Morning ride";
  trace.meta.device = "unit 7";
  trace.meta.notes = "wet roads ☔";
  trace.meta.identity = "rider-1";
  trace.meta.travel_mode = TravelModeArg(TravelMode::Bicycle);
  trace.meta.sdk_version = std::string(kSdkVersion);
  trace.meta.sdk_git_commit = "abc123";
  trace.meta.sdk_commit_time = *make_instant(2024, 5, 1, 10, 0, 0, 999'999'999);  // fractions dropped
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  const h5::Group root = group(file.get(), "/");
  EXPECT_EQ(attribute_names(root.get()),
            (Texts{"quillrun_version", "sdk_version", "sdk_git_commit", "sdk_commit_time", "meta_title", "meta_device",
                   "meta_notes", "meta_identity", "meta_travel_mode"}));
  EXPECT_EQ(text_attribute(root.get(), "sdk_version"), std::string(kSdkVersion));
  EXPECT_EQ(text_attribute(root.get(), "sdk_git_commit"), "abc123");
  EXPECT_EQ(text_attribute(root.get(), "sdk_commit_time"), "2024-05-01T10:00:00Z");
  EXPECT_EQ(text_attribute(root.get(), "meta_title"), "Morning ride");
  EXPECT_EQ(text_attribute(root.get(), "meta_device"), "unit 7");
  EXPECT_EQ(text_attribute(root.get(), "meta_notes"), "wet roads ☔");
  EXPECT_EQ(text_attribute(root.get(), "meta_identity"), "rider-1");
  EXPECT_EQ(text_attribute(root.get(), "meta_travel_mode"), "bicycle");
}

TEST(WriterMeta, FreeTravelModeNameAbsentTitleAndEmptyTitle) {
  NavFileData free_name;
  free_name.meta.travel_mode = TravelModeArg(std::string("Hovercraft"));
  const h5::File first = open_on_disk(write_ok(free_name));
  ASSERT_TRUE(first.valid());
  EXPECT_EQ(attribute_names(first.get()), (Texts{"quillrun_version", "meta_travel_mode"}));
  EXPECT_EQ(text_attribute(first.get(), "meta_travel_mode"), "Hovercraft");

  NavFileData empty_title;
  empty_title.meta.title = "";
  const h5::File second = open_on_disk(write_ok(empty_title));
  ASSERT_TRUE(second.valid());
  EXPECT_EQ(attribute_names(second.get()), (Texts{"quillrun_version", "meta_title"}));
  EXPECT_EQ(text_attribute(second.get(), "meta_title"), "");
}

TEST(WriterMeta, CommitTimesBeforeYearOneThousandKeepFourDigits) {
  NavFileData trace;
  trace.meta.sdk_commit_time = *make_instant(987, 1, 2, 3, 4, 5);
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  EXPECT_EQ(text_attribute(file.get(), "sdk_commit_time"), "0987-01-02T03:04:05Z");
}

// ---------------------------------------------------------------------------
// Nav points

TEST(WriterNavPoints, TimesPerKindOptionalFloatsAndPre1970Counts) {
  NavFileData trace;
  trace.points.push_back(point(Timestamps::both(at_us(1'700'000'000'000'000), at_us(1'700'000'000'250'000))));
  trace.points.push_back(point(Timestamps::receiver_only(at_us(-1'000'000))));
  trace.points.push_back(point(Timestamps::host_only(at_us(-86'400'000'000'123))));
  // Sub-microsecond parts are dropped: 12.3456789 us after the epoch is 12 us.
  trace.points.push_back(point(Timestamps::receiver_only(Instant{0, 0, 12'345})));
  trace.points[0].heading = 90.0;
  trace.points[0].speed_mps = 12.5;
  trace.points[0].eph_m = 3.0;
  trace.points[1].lat = std::nan("");
  trace.points[2].heading = -0.0;
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  const h5::Group nav = group(file.get(), "nav_points");

  EXPECT_EQ(read<std::int64_t>(nav.get(), "time"),
            (std::vector<std::int64_t>{1'700'000'000'000'000, -1'000'000, -86'400'000'000'123, 12}));
  EXPECT_EQ(read<std::uint64_t>(nav.get(), "gps_time_us"),
            (std::vector<std::uint64_t>{1'700'000'000'000'000, 18'446'744'073'708'551'616ULL, kAbsent, 12}));
  EXPECT_EQ(read<std::uint64_t>(nav.get(), "sys_time_us"),
            (std::vector<std::uint64_t>{1'700'000'000'250'000, kAbsent, 18'446'657'673'709'551'493ULL, kAbsent}));

  const auto heading = read<double>(nav.get(), "heading");
  ASSERT_EQ(heading.size(), 4u);
  EXPECT_EQ(heading[0], 90.0);
  EXPECT_EQ(bits(heading[1]), 0x7FF8000000000000u);
  EXPECT_EQ(bits(heading[2]), 0x8000000000000000u);  // -0.0 is a value, not absence
  const auto speed = read<double>(nav.get(), "speed_mps");
  EXPECT_EQ(speed[0], 12.5);
  EXPECT_EQ(bits(speed[3]), 0x7FF8000000000000u);
  const auto eph = read<double>(nav.get(), "eph_m");
  EXPECT_EQ(eph[0], 3.0);
  EXPECT_EQ(bits(eph[1]), 0x7FF8000000000000u);
  const auto lat = read<double>(nav.get(), "lat");
  EXPECT_TRUE(std::isnan(lat[1]));
  EXPECT_EQ(lat[0], 1.5);
  EXPECT_EQ(read<double>(nav.get(), "lon"), (std::vector<double>{2.5, 2.5, 2.5, 2.5}));
}

TEST(WriterNavPoints, ManyRowsSpanSeveralChunks) {
  NavFileData trace;
  for (std::int64_t i = 0; i < 20'000; ++i) trace.points.push_back(point(Timestamps::receiver_only(at_us(i * 100))));
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  const h5::Group nav = group(file.get(), "nav_points");
  const auto time = read<std::int64_t>(nav.get(), "time");
  ASSERT_EQ(time.size(), 20'000u);
  EXPECT_EQ(time[8191], 819'100);
  EXPECT_EQ(time[19'999], 1'999'900);
  EXPECT_EQ(stored(nav.get(), "time").chunk, (std::vector<hsize_t>{8192}));
}

// ---------------------------------------------------------------------------
// Satellite reports

SatelliteReport report(std::vector<Satellite> satellites, Timestamps times) {
  return SatelliteReport{std::move(satellites), times};
}

TEST(WriterSatReports, RowsFollowThePointsThatHoldReports) {
  NavFileData trace;
  for (int i = 0; i < 6; ++i) trace.points.push_back(point(Timestamps::receiver_only(at_us(i * 1'000))));
  trace.points[1].satellites = report({Satellite{0, 5, true, 10.0F, 20.0F, 30.0F}, Satellite{5, 193, false, {}, {}, {}}},
                                      Timestamps::both(at_us(-1'000'000), at_us(1'100)));
  trace.points[4].satellites = report({Satellite{9, 4'000'000'000U, true, -5.0F, 359.5F, {}}},
                                      Timestamps::host_only(at_us(4'100)));
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  const h5::Group reports = group(file.get(), "sat_reports");
  EXPECT_EQ(read<std::uint64_t>(reports.get(), "nav_point_idx"), (std::vector<std::uint64_t>{1, 4}));
  EXPECT_EQ(read<std::uint64_t>(reports.get(), "gps_time_us"),
            (std::vector<std::uint64_t>{18'446'744'073'708'551'616ULL, kAbsent}));
  EXPECT_EQ(read<std::uint64_t>(reports.get(), "sys_time_us"), (std::vector<std::uint64_t>{1'100, 4'100}));

  const h5::Group sats = group(file.get(), "tracked_sats");
  EXPECT_EQ(read<std::uint64_t>(sats.get(), "sat_report_idx"), (std::vector<std::uint64_t>{0, 0, 1}));
  // An unknown constellation code, kept from a read file, is written as held.
  EXPECT_EQ(read<std::uint8_t>(sats.get(), "constellation"), (std::vector<std::uint8_t>{0, 5, 9}));
  EXPECT_EQ(read<std::uint32_t>(sats.get(), "prn"), (std::vector<std::uint32_t>{5, 193, 4'000'000'000U}));
  EXPECT_EQ(read<std::uint8_t>(sats.get(), "in_fix"), (std::vector<std::uint8_t>{1, 0, 1}));
  const auto elevation = read<float>(sats.get(), "elevation");
  const auto azimuth = read<float>(sats.get(), "azimuth");
  const auto snr = read<float>(sats.get(), "snr");
  ASSERT_EQ(snr.size(), 3u);
  EXPECT_EQ(elevation[0], 10.0F);
  EXPECT_EQ(bits(elevation[1]), 0x7FC00000u);
  EXPECT_EQ(elevation[2], -5.0F);
  EXPECT_EQ(azimuth[2], 359.5F);
  EXPECT_EQ(bits(azimuth[1]), 0x7FC00000u);
  EXPECT_EQ(snr[0], 30.0F);
  EXPECT_EQ(bits(snr[2]), 0x7FC00000u);
}

TEST(WriterSatReports, AReportWithoutSatellitesStillWritesBothGroups) {
  NavFileData trace;
  trace.points.push_back(point(Timestamps::receiver_only(at_us(0))));
  trace.points[0].satellites = report({}, Timestamps::receiver_only(at_us(0)));
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  EXPECT_EQ(members(file.get()), (Texts{"nav_points", "sat_reports", "tracked_sats"}));
  EXPECT_EQ(stored(group(file.get(), "sat_reports").get(), "nav_point_idx").dims, (std::vector<hsize_t>{1}));
  const h5::Group sats = group(file.get(), "tracked_sats");
  EXPECT_EQ(members(sats.get()).size(), 7u);
  EXPECT_EQ(stored(sats.get(), "snr").dims, (std::vector<hsize_t>{0}));
  EXPECT_EQ(stored(sats.get(), "snr").chunk, (std::vector<hsize_t>{8192}));
}

// Reports of uneven sizes, some empty and some points without one, so that
// chunks of satellite rows start inside reports and next to empty ones.
TEST(WriterSatReports, UnevenReportsSpanSeveralChunks) {
  NavFileData trace;
  std::vector<std::uint64_t> report_idx;
  std::vector<std::uint32_t> prn;
  std::vector<std::uint64_t> nav_point_idx;
  for (std::int64_t i = 0; i < 6'000; ++i) {
    trace.points.push_back(point(Timestamps::receiver_only(at_us(i * 1'000))));
    if (i % 5 == 4) continue;
    std::vector<Satellite> satellites;
    for (std::uint32_t k = 0; k < static_cast<std::uint32_t>(i % 9); ++k) {
      satellites.push_back(Satellite{1, static_cast<std::uint32_t>(i) * 10 + k, true, {}, {}, {}});
      report_idx.push_back(nav_point_idx.size());
      prn.push_back(static_cast<std::uint32_t>(i) * 10 + k);
    }
    nav_point_idx.push_back(static_cast<std::uint64_t>(i));
    trace.points.back().satellites = report(std::move(satellites), Timestamps::receiver_only(at_us(i * 1'000)));
  }
  ASSERT_GT(prn.size(), 2u * 8192u);
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  EXPECT_EQ(read<std::uint64_t>(group(file.get(), "sat_reports").get(), "nav_point_idx"), nav_point_idx);
  const h5::Group sats = group(file.get(), "tracked_sats");
  EXPECT_EQ(read<std::uint64_t>(sats.get(), "sat_report_idx"), report_idx);
  EXPECT_EQ(read<std::uint32_t>(sats.get(), "prn"), prn);
}

TEST(WriterSatReports, NoReportNoGroups) {
  NavFileData trace;
  trace.points.push_back(point(Timestamps::receiver_only(at_us(0))));
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  EXPECT_EQ(members(file.get()), Texts{"nav_points"});
}

// ---------------------------------------------------------------------------
// Markers, event markers and styles

TEST(WriterMarkers, LabelsAreNulPaddedBytesAndIconsAsHeld) {
  NavFileData trace;
  const std::string longest(255, 'x');
  std::string accents;  // 127 two-byte characters: 254 bytes
  for (int i = 0; i < 127; ++i) accents += "é";
  trace.markers.push_back(Marker{at_us(-1), 10.0, 20.0, longest, 13, false});
  trace.markers.push_back(Marker{at_us(5), 11.0, 21.0, std::nullopt, 14, true});
  trace.markers.push_back(Marker{at_us(6), 12.0, 22.0, accents, 0, false});
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  const h5::Group markers = group(file.get(), "markers");
  // -1 us is an ordinary count in an i64 column.
  EXPECT_EQ(read<std::int64_t>(markers.get(), "time"), (std::vector<std::int64_t>{-1, 5, 6}));
  EXPECT_EQ(read<double>(markers.get(), "lat"), (std::vector<double>{10.0, 11.0, 12.0}));
  EXPECT_EQ(read<double>(markers.get(), "lon"), (std::vector<double>{20.0, 21.0, 22.0}));
  EXPECT_EQ(read<std::uint8_t>(markers.get(), "icon"), (std::vector<std::uint8_t>{13, 14, 0}));
  const auto label = read<std::uint8_t>(markers.get(), "label");
  ASSERT_EQ(label.size(), 3u * 256);
  EXPECT_EQ(cell(label, 256, 0), padded(longest, 256));
  EXPECT_EQ(label[255], 0);
  EXPECT_EQ(cell(label, 256, 1), std::string(256, '\0'));
  EXPECT_EQ(cell(label, 256, 2), padded(accents, 256));
}

TEST(WriterEventMarkers, TimesPathsAndAnnotations) {
  NavFileData trace;
  const std::string longest(511, 'n');
  trace.event_markers.push_back(EventMarkerPoint{"a/b", at_us(-2), longest, 1.0, 2.0});
  trace.event_markers.push_back(EventMarkerPoint{"c", at_us(7), std::nullopt, 3.0, 4.0});
  trace.event_markers.push_back(EventMarkerPoint{"d", at_us(8), std::string(), 5.0, 6.0});
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  const h5::Group events = group(file.get(), "event_markers");
  EXPECT_EQ(read<std::uint64_t>(events.get(), "sys_time_us"),
            (std::vector<std::uint64_t>{18'446'744'073'709'551'614ULL, 7, 8}));
  EXPECT_EQ(read<double>(events.get(), "lat"), (std::vector<double>{1.0, 3.0, 5.0}));
  EXPECT_EQ(read<double>(events.get(), "lon"), (std::vector<double>{2.0, 4.0, 6.0}));
  const auto paths = read<std::uint8_t>(events.get(), "variant_path");
  EXPECT_EQ(cell(paths, 256, 0), padded("a/b", 256));
  EXPECT_EQ(cell(paths, 256, 1), padded("c", 256));
  const auto annotations = read<std::uint8_t>(events.get(), "annotation");
  ASSERT_EQ(annotations.size(), 3u * 512);
  EXPECT_EQ(cell(annotations, 512, 0), padded(longest, 512));
  EXPECT_EQ(annotations[511], 0);
  EXPECT_EQ(cell(annotations, 512, 1), std::string(512, '\0'));
  EXPECT_EQ(cell(annotations, 512, 2), std::string(512, '\0'));
}

TEST(WriterStyles, IconNamesAndColoursAsHeld) {
  NavFileData trace;
  trace.event_marker_styles.push_back(
      EventMarkerStyle{"a", StyleIcon::known(MarkerIcon::SatelliteLost), ColorHex{ColorHex::Kind::Valid, "#aBcDeF"}});
  trace.event_marker_styles.push_back(EventMarkerStyle{"b", StyleIcon::none(), ColorHex{}});
  trace.event_marker_styles.push_back(
      EventMarkerStyle{"c", StyleIcon::foreign(std::string(31, 'q')), ColorHex{ColorHex::Kind::Other, "red"}});
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  const h5::Group styles = group(file.get(), "event_marker_styles");
  const auto paths = read<std::uint8_t>(styles.get(), "variant_path");
  EXPECT_EQ(cell(paths, 256, 2), padded("c", 256));
  const auto icons = read<std::uint8_t>(styles.get(), "icon_name");
  ASSERT_EQ(icons.size(), 3u * 32);
  EXPECT_EQ(cell(icons, 32, 0), padded("satellite_lost", 32));
  EXPECT_EQ(cell(icons, 32, 1), std::string(32, '\0'));
  EXPECT_EQ(cell(icons, 32, 2), padded(std::string(31, 'q'), 32));
  const auto colours = read<std::uint8_t>(styles.get(), "color_hex");
  ASSERT_EQ(colours.size(), 3u * 8);
  EXPECT_EQ(cell(colours, 8, 0), padded("#aBcDeF", 8));
  EXPECT_EQ(cell(colours, 8, 1), std::string(8, '\0'));
  EXPECT_EQ(cell(colours, 8, 2), padded("red", 8));
}

// ---------------------------------------------------------------------------
// Channels

Channel channel(std::string name, std::size_t samples, std::vector<std::string> components) {
  Channel c;
  c.name = std::move(name);
  const std::size_t width = components.empty() ? 1 : components.size();
  for (std::size_t i = 0; i < samples; ++i) c.times.push_back(at_us(static_cast<std::int64_t>(i) * 10 - 20));
  for (std::size_t i = 0; i < samples * width; ++i) c.values.push_back(static_cast<double>(i) + 0.25);
  c.components = std::move(components);
  return c;
}

TEST(WriterChannels, AttributesInOrderAndValueShapes) {
  NavFileData trace;
  Channel heading = channel("heading", 4, {});
  heading.unit = ChannelUnit::recognized(*unit_from_text("deg"));
  heading.period_deg = 360.0;
  heading.description = "compass";
  Channel imu = channel("imu", 10, {"x", "y", "z"});
  imu.unit = ChannelUnit::legacy(" m/s2 ");
  Channel pair = channel("pair", 5, {"a", "b"});
  pair.unit = ChannelUnit::custom("furlong");
  trace.channels = {heading, imu, pair, channel("plain", 0, {})};
  const h5::File file = open_on_disk(write_ok(trace));
  ASSERT_TRUE(file.valid());
  const h5::Group channels = group(file.get(), "channels");
  EXPECT_EQ(members(channels.get()), (Texts{"heading", "imu", "pair", "plain"}));

  const h5::Group h = group(channels.get(), "heading");
  EXPECT_EQ(attribute_names(h.get()), (Texts{"unit", "period_deg", "description"}));
  EXPECT_EQ(text_attribute(h.get(), "unit"), "deg");
  EXPECT_EQ(float_attribute(h.get(), "period_deg"), 360.0);
  EXPECT_EQ(text_attribute(h.get(), "description"), "compass");
  EXPECT_EQ(read<std::int64_t>(h.get(), "time"), (std::vector<std::int64_t>{-20, -10, 0, 10}));
  EXPECT_EQ(read<double>(h.get(), "value"), (std::vector<double>{0.25, 1.25, 2.25, 3.25}));
  const Stored scalar = stored(h.get(), "value");
  EXPECT_EQ(scalar.dims, (std::vector<hsize_t>{4}));
  EXPECT_EQ(scalar.chunk, (std::vector<hsize_t>{8192}));
  EXPECT_EQ(scalar.filters, kShuffleDeflate);

  const h5::Group i = group(channels.get(), "imu");
  EXPECT_EQ(attribute_names(i.get()), (Texts{"unit", "components"}));
  EXPECT_EQ(text_attribute(i.get(), "unit"), " m/s2 ");  // a legacy label goes back as read
  EXPECT_EQ(text_list_attribute(i.get(), "components"), (Texts{"x", "y", "z"}));
  const Stored vector = stored(i.get(), "value");
  EXPECT_EQ(vector.dims, (std::vector<hsize_t>{10, 3}));
  EXPECT_EQ(vector.max_dims, (std::vector<hsize_t>{kUnlimited, 3}));
  EXPECT_EQ(vector.chunk, (std::vector<hsize_t>{2730, 3}));
  EXPECT_EQ(vector.filters, kShuffleDeflate);
  const auto values = read<double>(i.get(), "value");
  ASSERT_EQ(values.size(), 30u);
  EXPECT_EQ(values[3 * 4 + 2], 14.25);  // sample 4, component z

  const h5::Group p = group(channels.get(), "pair");
  EXPECT_EQ(text_attribute(p.get(), "unit"), "furlong");
  EXPECT_EQ(stored(p.get(), "value").chunk, (std::vector<hsize_t>{4096, 2}));

  const h5::Group plain = group(channels.get(), "plain");
  EXPECT_TRUE(attribute_names(plain.get()).empty());
  EXPECT_EQ(stored(plain.get(), "value").dims, (std::vector<hsize_t>{0}));
  EXPECT_EQ(stored(plain.get(), "time").dims, (std::vector<hsize_t>{0}));
}

TEST(WriterChannels, TenThousandComponentsNeedAnAttributeBeyond64KiB) {
  std::vector<std::string> labels;
  for (int i = 0; i < 10'000; ++i) labels.push_back("component_" + std::to_string(i));
  NavFileData trace;
  trace.channels.push_back(channel("wide", 2, labels));
  const Bytes image = write_ok(trace);
  const h5::File file = open_on_disk(image);
  ASSERT_TRUE(file.valid());
  const h5::Group wide = group(group(file.get(), "channels").get(), "wide");
  EXPECT_EQ(text_list_attribute(wide.get(), "components"), labels);
  const Stored value = stored(wide.get(), "value");
  EXPECT_EQ(value.dims, (std::vector<hsize_t>{2, 10'000}));
  EXPECT_EQ(value.chunk, (std::vector<hsize_t>{1, 10'000}));
  const auto values = read<double>(wide.get(), "value");
  ASSERT_EQ(values.size(), 20'000u);
  EXPECT_EQ(values[19'999], 19'999.25);
}

// ---------------------------------------------------------------------------
// Refusals

struct Refusal {
  std::string name;
  NavFileData trace;
  std::string message;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

std::vector<Refusal> refusals() {
  std::vector<Refusal> cases;
  const Instant minus_one = at_us(-1);
  const Instant fine = at_us(0);

  {
    NavFileData t;
    t.points.push_back(point(Timestamps::both(fine, fine)));
    t.points.push_back(point(Timestamps::host_only(fine)));
    t.points.push_back(point(Timestamps::both(minus_one, fine)));
    cases.push_back({"ReceiverTimeOfANavPoint", t,
                     "nav_points/gps_time_us: record 2 has the microsecond count reserved for an absent timestamp"});
  }
  {
    // A host time on an earlier row loses to a receiver time on a later one.
    NavFileData t;
    t.points.push_back(point(Timestamps::host_only(minus_one)));
    t.points.push_back(point(Timestamps::both(fine, minus_one)));
    t.points.push_back(point(Timestamps::receiver_only(fine)));
    t.points.push_back(point(Timestamps::receiver_only(minus_one)));
    cases.push_back({"AllReceiverTimesBeforeHostTimes", t,
                     "nav_points/gps_time_us: record 3 has the microsecond count reserved for an absent timestamp"});
  }
  {
    NavFileData t;
    t.points.push_back(point(Timestamps::receiver_only(fine)));
    t.points.push_back(point(Timestamps::both(fine, minus_one)));
    cases.push_back({"HostTimeOfANavPoint", t,
                     "nav_points/sys_time_us: record 1 has the microsecond count reserved for an absent timestamp"});
  }
  {
    NavFileData t;
    t.points.push_back(point(Timestamps::host_only(minus_one)));
    cases.push_back({"HostOnlyNavPoint", t,
                     "nav_points/sys_time_us: record 0 has the microsecond count reserved for an absent timestamp"});
  }
  {
    // Row 1 of sat_reports (the report of point 3); its receiver time first.
    NavFileData t;
    for (int i = 0; i < 4; ++i) t.points.push_back(point(Timestamps::receiver_only(fine)));
    t.points[0].satellites = report({}, Timestamps::receiver_only(fine));
    t.points[3].satellites = report({}, Timestamps::both(minus_one, minus_one));
    t.markers.push_back(Marker{fine, 0, 0, std::string(300, 'x'), 0, false});
    cases.push_back({"ReportReceiverTime", t,
                     "sat_reports/gps_time_us: record 1 has the microsecond count reserved for an absent timestamp"});
  }
  {
    NavFileData t;
    t.points.push_back(point(Timestamps::receiver_only(fine)));
    t.points[0].satellites = report({}, Timestamps::host_only(minus_one));
    cases.push_back({"ReportHostTime", t,
                     "sat_reports/sys_time_us: record 0 has the microsecond count reserved for an absent timestamp"});
  }
  {
    NavFileData t;
    t.markers.push_back(Marker{fine, 0, 0, std::string(255, 'a'), 0, false});
    t.markers.push_back(Marker{fine, 0, 0, std::string(256, 'b'), 0, false});
    cases.push_back({"LabelOf256Bytes", t,
                     "markers/label: \"" + std::string(256, 'b') + "\" is 256 bytes, past the 255 bytes the field holds"});
  }
  {
    std::string accents;  // 128 two-byte characters: 256 bytes
    for (int i = 0; i < 128; ++i) accents += "é";
    NavFileData t;
    t.markers.push_back(Marker{fine, 0, 0, accents, 0, false});
    cases.push_back({"LabelMeasuredInBytes", t,
                     "markers/label: \"" + accents + "\" is 256 bytes, past the 255 bytes the field holds"});
  }
  {
    NavFileData t;
    t.markers.push_back(Marker{fine, 0, 0, std::string("a\0bc", 4), 0, false});
    cases.push_back({"LabelWithNul", t, "markers/label: \"a\\0bc\" has a nul byte at offset 1"});
  }
  {
    std::string text(300, 'z');
    text[280] = '\0';
    NavFileData t;
    t.markers.push_back(Marker{fine, 0, 0, text, 0, false});
    std::string shown(280, 'z');
    cases.push_back({"NulBeforeLength", t,
                     "markers/label: \"" + shown + "\\0" + std::string(19, 'z') + "\" has a nul byte at offset 280"});
  }
  {
    // Row by row: time, then path, then annotation; a later row's time
    // loses to an earlier row's annotation.
    NavFileData t;
    t.event_markers.push_back(EventMarkerPoint{"p", fine, std::string(512, 'n'), 0, 0});
    t.event_markers.push_back(EventMarkerPoint{"p", minus_one, std::nullopt, 0, 0});
    cases.push_back({"EventMarkerAnnotationBeforeLaterTime", t,
                     "event_markers/annotation: \"" + std::string(512, 'n') +
                         "\" is 512 bytes, past the 511 bytes the field holds"});
  }
  {
    NavFileData t;
    t.event_markers.push_back(EventMarkerPoint{"p", fine, std::nullopt, 0, 0});
    t.event_markers.push_back(EventMarkerPoint{std::string(256, 'v'), minus_one, std::string(600, 'n'), 0, 0});
    cases.push_back({"EventMarkerTimeFirst", t,
                     "event_markers/sys_time_us: record 1 has the microsecond count reserved for an absent timestamp"});
  }
  {
    NavFileData t;
    t.event_markers.push_back(EventMarkerPoint{std::string(256, 'v'), fine, std::string(600, 'n'), 0, 0});
    cases.push_back({"EventMarkerPathBeforeAnnotation", t,
                     "event_markers/variant_path: \"" + std::string(256, 'v') +
                         "\" is 256 bytes, past the 255 bytes the field holds"});
  }
  {
    NavFileData t;
    t.event_marker_styles.push_back(
        EventMarkerStyle{"s", StyleIcon::foreign(std::string(32, 'i')), ColorHex{ColorHex::Kind::Other, "#1234567"}});
    cases.push_back({"StyleIconName", t,
                     "event_marker_styles/icon_name: \"" + std::string(32, 'i') +
                         "\" is 32 bytes, past the 31 bytes the field holds"});
  }
  {
    NavFileData t;
    t.event_marker_styles.push_back(EventMarkerStyle{"s", StyleIcon::none(), ColorHex{ColorHex::Kind::Other, "#1234567"}});
    cases.push_back({"StyleColour", t,
                     "event_marker_styles/color_hex: \"#1234567\" is 8 bytes, past the 7 bytes the field holds"});
  }
  {
    NavFileData t;
    t.event_marker_styles.push_back(EventMarkerStyle{std::string("s\0", 2), StyleIcon::none(), ColorHex{}});
    cases.push_back({"StylePath", t, "event_marker_styles/variant_path: \"s\\0\" has a nul byte at offset 1"});
  }
  {
    // The tables are checked in the order they are written.
    NavFileData t;
    t.markers.push_back(Marker{fine, 0, 0, std::string(256, 'm'), 0, false});
    t.event_markers.push_back(EventMarkerPoint{"p", minus_one, std::nullopt, 0, 0});
    t.event_marker_styles.push_back(EventMarkerStyle{"s", StyleIcon::none(), ColorHex{ColorHex::Kind::Other, "#1234567"}});
    cases.push_back({"MarkersBeforeEventMarkersAndStyles", t,
                     "markers/label: \"" + std::string(256, 'm') + "\" is 256 bytes, past the 255 bytes the field holds"});
  }
  return cases;
}

class WriterRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(WriterRefusal, FailsWithTheExactMessageAndNoImage) {
  const auto image = write_nav_file(GetParam().trace);
  ASSERT_FALSE(image.has_value());
  EXPECT_EQ(image.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, WriterRefusal, ::testing::ValuesIn(refusals()),
                         [](const ::testing::TestParamInfo<Refusal>& case_info) { return case_info.param.name; });

TEST(WriterRefusalValues, CarryGroupDatasetAndRow) {
  NavFileData t;
  t.points.push_back(point(Timestamps::receiver_only(at_us(0))));
  t.points.push_back(point(Timestamps::receiver_only(at_us(-1))));
  const auto image = write_nav_file(t);
  ASSERT_FALSE(image.has_value());
  const auto* e = std::get_if<sdk_error::ReservedAbsentMicros>(&image.error().value);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->group, "nav_points");
  EXPECT_EQ(e->dataset, "gps_time_us");
  EXPECT_EQ(e->row, 1u);

  NavFileData s;
  s.markers.push_back(Marker{at_us(0), 0, 0, std::string("ab\0", 3), 0, false});
  const auto label = write_nav_file(s);
  ASSERT_FALSE(label.has_value());
  const auto* encode = std::get_if<sdk_error::FieldEncode>(&label.error().value);
  ASSERT_NE(encode, nullptr);
  EXPECT_EQ(encode->group, "markers");
  EXPECT_EQ(encode->dataset, "label");
  const auto* nul = std::get_if<field_error::NulByte>(&encode->error.value);
  ASSERT_NE(nul, nullptr);
  EXPECT_EQ(nul->offset, 2u);
}

TEST(WriterAccepts, NeverRefusedValues) {
  // i64 time columns, NaN and infinities, and channel times take anything.
  NavFileData t;
  t.points.push_back(point(Timestamps::receiver_only(at_us(0)), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()));
  t.markers.push_back(Marker{at_us(-1), std::nan(""), 0, std::nullopt, 0, false});
  Channel c = channel("c", 1, {});
  c.times = {at_us(-1)};
  c.values = {std::nan("")};
  c.period_deg = -1.0;
  t.channels.push_back(c);
  const h5::File file = open_on_disk(write_ok(t));
  ASSERT_TRUE(file.valid());
  const h5::Group channel_group = group(group(file.get(), "channels").get(), "c");
  EXPECT_EQ(read<std::int64_t>(channel_group.get(), "time"), (std::vector<std::int64_t>{-1}));
  EXPECT_EQ(read<double>(group(file.get(), "nav_points").get(), "lat"),
            (std::vector<double>{std::numeric_limits<double>::infinity()}));
}

TEST(WriterAccepts, WritingIsRepeatableAndLeavesTheTraceAlone) {
  const NavFileData trace = full_trace();
  const NavFileData before = trace;
  const Bytes first = write_ok(trace);
  const Bytes second = write_ok(trace);
  EXPECT_EQ(first.size(), second.size());
  EXPECT_EQ(trace, before);
}

}  // namespace
}  // namespace quillrun
