#pragma once
// Test helper: builds .qrd images table by table through the HDF5 layer, so
// that reader tests can hold exactly the datasets, shapes and attribute
// forms they need (older layouts and damaged files included).

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "codec/h5/hdf5.hpp"

namespace quillrun::testing {

// The u64 time cell of an absent time.
inline constexpr std::uint64_t kAbsent = std::numeric_limits<std::uint64_t>::max();
// 2023-11-14T22:13:20Z, the first row time of the crafted nav points.
inline constexpr std::int64_t kT0 = 1'700'000'000'000'000;

using Cells = std::variant<std::vector<std::uint8_t>, std::vector<std::uint32_t>, std::vector<std::uint64_t>,
                           std::vector<std::int64_t>, std::vector<float>, std::vector<double>>;

struct Column {
  std::string name;
  Cells cells;
  std::vector<std::uint64_t> dims;  // empty: one dimension of the cell count
};

// Runs raw HDF5 calls against a just-made object (group or root).
using Hook = std::function<void(hid_t)>;

struct Table {
  std::string name;
  std::vector<Column> columns;
  Hook extra;  // after the columns
};

struct ChannelPlan {
  std::string name;
  std::vector<std::int64_t> time;
  std::vector<double> value;
  std::vector<std::uint64_t> value_dims;  // empty: [n]
  Hook attributes;                        // unit, period_deg, ... as needed
};

struct FilePlan {
  std::vector<std::pair<std::string, std::string>> root_texts = {{"quillrun_version", "2"}};
  Hook root_extra;
  std::vector<Table> tables;
  std::optional<std::vector<ChannelPlan>> channels;

  Table* table(std::string_view name) {
    for (Table& t : tables)
      if (t.name == name) return &t;
    return nullptr;
  }
  Column* column(std::string_view table_name, std::string_view column_name) {
    Table* t = table(table_name);
    if (t == nullptr) return nullptr;
    for (Column& c : t->columns)
      if (c.name == column_name) return &c;
    return nullptr;
  }
  void drop_table(std::string_view name) {
    std::erase_if(tables, [&](const Table& t) { return t.name == name; });
  }
  void drop_column(std::string_view table_name, std::string_view column_name) {
    std::erase_if(table(table_name)->columns, [&](const Column& c) { return c.name == column_name; });
  }
  template <class T>
  void set(std::string_view table_name, std::string_view column_name, std::vector<T> cells,
           std::vector<std::uint64_t> dims = {}) {
    Column* c = column(table_name, column_name);
    if (c == nullptr) {
      table(table_name)->columns.push_back(Column{std::string(column_name), std::move(cells), std::move(dims)});
    } else {
      c->cells = std::move(cells);
      c->dims = std::move(dims);
    }
  }
};

template <class T>
T value_or_die(Result<T, SdkError> r) {
  if (!r) ADD_FAILURE() << "HDF5 layer: " << r.error().message();
  return std::move(r).value();
}
inline void ok_or_die(const Status<SdkError>& s) {
  if (!s) ADD_FAILURE() << "HDF5 layer: " << s.error().message();
}

inline void write_column(hid_t parent, const Column& column) {
  std::visit(
      [&](const auto& cells) {
        using T = typename std::decay_t<decltype(cells)>::value_type;
        std::vector<std::uint64_t> dims = column.dims.empty() ? std::vector<std::uint64_t>{cells.size()} : column.dims;
        std::vector<std::uint64_t> chunk;
        for (const std::uint64_t d : dims) chunk.push_back(d == 0 ? 1 : std::min<std::uint64_t>(d, 1024));
        h5::DatasetOptions options{dims, chunk, true, sizeof(T) > 1, 6};
        (void)value_or_die(h5::write_dataset<T>(parent, column.name, std::span<const T>(cells), options));
      },
      column.cells);
}

inline std::vector<std::uint8_t> build(const FilePlan& plan) {
  h5::NewImage image = value_or_die(h5::NewImage::create());
  {
    h5::Group root = value_or_die(h5::open_root(image.id()));
    for (const auto& [name, value] : plan.root_texts) ok_or_die(h5::write_text_attribute(root.get(), name, value));
    if (plan.root_extra) plan.root_extra(root.get());
    for (const Table& table : plan.tables) {
      h5::Group group = value_or_die(h5::create_group(root.get(), table.name));
      for (const Column& column : table.columns) write_column(group.get(), column);
      if (table.extra) table.extra(group.get());
    }
    if (plan.channels) {
      h5::Group channels = value_or_die(h5::create_group(root.get(), "channels"));
      for (const ChannelPlan& ch : *plan.channels) {
        h5::Group group = value_or_die(h5::create_group(channels.get(), ch.name));
        if (ch.attributes) ch.attributes(group.get());
        write_column(group.get(), Column{"time", ch.time, {}});
        write_column(group.get(), Column{"value", ch.value, ch.value_dims});
      }
    }
  }
  return value_or_die(std::move(image).finish()).to_vector();
}

// A fixed-width text column from its texts (each padded with NULs).
inline std::vector<std::uint8_t> text_cells(const std::vector<std::string>& texts, std::size_t width) {
  std::vector<std::uint8_t> out;
  for (const std::string& t : texts) {
    std::vector<std::uint8_t> cell(t.begin(), t.end());
    cell.resize(width, 0);
    out.insert(out.end(), cell.begin(), cell.end());
  }
  return out;
}

// nav_points of the current layout with `n` receiver-and-host rows.
inline Table nav_points_table(std::size_t n) {
  std::vector<std::int64_t> time;
  std::vector<std::uint64_t> gps;
  std::vector<std::uint64_t> sys;
  std::vector<double> lat;
  std::vector<double> lon;
  std::vector<double> heading;
  std::vector<double> speed;
  std::vector<double> eph;
  for (std::size_t i = 0; i < n; ++i) {
    const auto t = kT0 + static_cast<std::int64_t>(i * 1'000'000);
    time.push_back(t);
    gps.push_back(static_cast<std::uint64_t>(t));
    sys.push_back(static_cast<std::uint64_t>(t + 250));
    lat.push_back(48.0 + static_cast<double>(i) * 0.001);
    lon.push_back(11.0 + static_cast<double>(i) * 0.001);
    heading.push_back(90.0);
    speed.push_back(12.5);
    eph.push_back(3.0);
  }
  return Table{"nav_points",
               {{"time", time, {}},
                {"gps_time_us", gps, {}},
                {"sys_time_us", sys, {}},
                {"lat", lat, {}},
                {"lon", lon, {}},
                {"heading", heading, {}},
                {"speed_mps", speed, {}},
                {"eph_m", eph, {}}},
               {}};
}

inline FilePlan minimal_file(std::size_t points = 3) {
  FilePlan plan;
  plan.tables.push_back(nav_points_table(points));
  return plan;
}

// Raw attribute writers for forms the layer does not make.
inline void fixed_text_attribute(hid_t object, const char* name, std::string_view bytes, H5T_str_t pad,
                                 std::size_t size = 0) {
  const hid_t type = H5Tcopy(H5T_C_S1);
  H5Tset_size(type, size == 0 ? std::max<std::size_t>(bytes.size(), 1) : size);
  H5Tset_strpad(type, pad);
  std::string buffer(bytes);
  buffer.resize(H5Tget_size(type), pad == H5T_STR_SPACEPAD ? ' ' : '\0');
  const hid_t space = H5Screate(H5S_SCALAR);
  const hid_t attr = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
  EXPECT_GE(H5Awrite(attr, type, buffer.data()), 0);
  H5Aclose(attr);
  H5Sclose(space);
  H5Tclose(type);
}

template <class T>
void numeric_attribute(hid_t object, const char* name, hid_t file_type, hid_t memory_type, std::vector<T> values,
                       bool scalar) {
  const hsize_t n = values.size();
  const hid_t space = scalar ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr);
  const hid_t attr = H5Acreate2(object, name, file_type, space, H5P_DEFAULT, H5P_DEFAULT);
  EXPECT_GE(H5Awrite(attr, memory_type, values.data()), 0);
  H5Aclose(attr);
  H5Sclose(space);
}

}  // namespace quillrun::testing

namespace quillrun::testing {

// The error text of a read that must fail.
inline std::string read_error(const std::vector<std::uint8_t>& image);

// A dataset of `dims` whose chunks are never written: it declares its whole
// extent while the file stays small.
inline void unwritten_dataset(hid_t parent, const char* name, hid_t type, std::vector<hsize_t> dims,
                              std::vector<hsize_t> chunk) {
  std::vector<hsize_t> max_dims(dims.size(), H5S_UNLIMITED);
  const hid_t space = H5Screate_simple(static_cast<int>(dims.size()), dims.data(), max_dims.data());
  const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
  EXPECT_GE(H5Pset_chunk(dcpl, static_cast<int>(chunk.size()), chunk.data()), 0);
  const hid_t dataset = H5Dcreate2(parent, name, type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
  EXPECT_GE(dataset, 0);
  H5Dclose(dataset);
  H5Pclose(dcpl);
  H5Sclose(space);
}

}  // namespace quillrun::testing

#include "quillrun/reader.hpp"

namespace quillrun::testing {
inline std::string read_error(const std::vector<std::uint8_t>& image) {
  const auto r = read_nav_file(image);
  if (r) return "<read succeeded>";
  return r.error().message();
}
}  // namespace quillrun::testing

namespace quillrun::testing {

// A version 1 file as an older tool lays it out: the library's earliest
// format (no object header checksums), contiguous and compact datasets
// without filters, no optional time columns (but an error radius),
// variable-length string attributes.
inline std::vector<std::uint8_t> earliest_format_image() {
  const hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_fapl_core(fapl, 1 << 16, 0);
  const std::string name =
      "/dev/null/quillrun-test-earliest-" + std::to_string(reinterpret_cast<std::uintptr_t>(&fapl));
  const hid_t file = H5Fcreate(name.c_str(), H5F_ACC_EXCL, H5P_DEFAULT, fapl);
  EXPECT_GE(file, 0);
  // No modification times: the same bytes on every run.
  const hid_t untimed = H5Pcreate(H5P_DATASET_CREATE);
  H5Pset_obj_track_times(untimed, false);
  const hid_t untimed_group = H5Pcreate(H5P_GROUP_CREATE);
  H5Pset_obj_track_times(untimed_group, false);
  const auto contiguous = [untimed](hid_t parent, const char* dataset, hid_t file_type, hid_t memory_type,
                                    const void* data, std::vector<hsize_t> dims) {
    const hid_t space = H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    const hid_t d = H5Dcreate2(parent, dataset, file_type, space, H5P_DEFAULT, untimed, H5P_DEFAULT);
    EXPECT_GE(H5Dwrite(d, memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data), 0);
    H5Dclose(d);
    H5Sclose(space);
  };
  const auto vlen_text = [](hid_t object, const char* attribute, const char* value) {
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t a = H5Acreate2(object, attribute, type, space, H5P_DEFAULT, H5P_DEFAULT);
    EXPECT_GE(H5Awrite(a, type, &value), 0);
    H5Aclose(a);
    H5Sclose(space);
    H5Tclose(type);
  };
  vlen_text(file, "quillrun_version", "1");
  vlen_text(file, "meta_title", "morning ride");
  vlen_text(file, "meta_travel_mode", "bicycle");

  const std::int64_t time[4] = {1'600'000'000'000'000, 1'600'000'001'000'000, 1'600'000'002'000'000,
                                1'600'000'003'000'000};
  const double lat[4] = {1, 2, 3, 4};
  const double heading[4] = {0, 90, 180, 270};
  const hid_t points = H5Gcreate2(file, "nav_points", H5P_DEFAULT, untimed_group, H5P_DEFAULT);
  contiguous(points, "time", H5T_STD_I64LE, H5T_NATIVE_INT64, time, {4});
  for (const char* column : {"lat", "lon", "speed_mps"})
    contiguous(points, column, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, lat, {4});
  contiguous(points, "heading", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, heading, {4});
  {  // the error radius kept in the object header
    const hsize_t dims = 4;
    const hid_t space = H5Screate_simple(1, &dims, nullptr);
    const hid_t dcpl = H5Pcopy(untimed);
    H5Pset_layout(dcpl, H5D_COMPACT);
    const hid_t d = H5Dcreate2(points, "eph_m", H5T_IEEE_F64LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    EXPECT_GE(H5Dwrite(d, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, lat), 0);
    H5Dclose(d);
    H5Pclose(dcpl);
    H5Sclose(space);
  }
  vlen_text(points, "note", "older layout");
  H5Gclose(points);

  const std::uint64_t nav_point_idx[2] = {1, 3};
  const hid_t reports = H5Gcreate2(file, "sat_reports", H5P_DEFAULT, untimed_group, H5P_DEFAULT);
  contiguous(reports, "nav_point_idx", H5T_STD_U64LE, H5T_NATIVE_UINT64, nav_point_idx, {2});
  contiguous(reports, "time", H5T_STD_I64LE, H5T_NATIVE_INT64, time, {2});
  H5Gclose(reports);
  const std::uint64_t sat_report_idx[3] = {0, 1, 1};
  const std::uint8_t constellation[3] = {0, 1, 2};
  const std::uint32_t prn[3] = {5, 6, 7};
  const float angle[3] = {10, 20, 30};
  const hid_t sats = H5Gcreate2(file, "tracked_sats", H5P_DEFAULT, untimed_group, H5P_DEFAULT);
  contiguous(sats, "sat_report_idx", H5T_STD_U64LE, H5T_NATIVE_UINT64, sat_report_idx, {3});
  contiguous(sats, "constellation", H5T_STD_U8LE, H5T_NATIVE_UINT8, constellation, {3});
  contiguous(sats, "prn", H5T_STD_U32LE, H5T_NATIVE_UINT32, prn, {3});
  contiguous(sats, "in_fix", H5T_STD_U8LE, H5T_NATIVE_UINT8, constellation, {3});
  for (const char* column : {"elevation", "azimuth", "snr"})
    contiguous(sats, column, H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, angle, {3});
  H5Gclose(sats);

  const std::vector<std::uint8_t> label = text_cells({"start", "finish"}, 256);
  const std::uint8_t icon[2] = {0, 13};
  const hid_t markers = H5Gcreate2(file, "markers", H5P_DEFAULT, untimed_group, H5P_DEFAULT);
  contiguous(markers, "time", H5T_STD_I64LE, H5T_NATIVE_INT64, time, {2});
  contiguous(markers, "lat", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, lat, {2});
  contiguous(markers, "lon", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, lat, {2});
  contiguous(markers, "icon", H5T_STD_U8LE, H5T_NATIVE_UINT8, icon, {2});
  contiguous(markers, "label", H5T_STD_U8LE, H5T_NATIVE_UINT8, label.data(), {2, 256});
  H5Gclose(markers);

  const hid_t channels = H5Gcreate2(file, "channels", H5P_DEFAULT, untimed_group, H5P_DEFAULT);
  const hid_t speed = H5Gcreate2(channels, "speed", H5P_DEFAULT, untimed_group, H5P_DEFAULT);
  vlen_text(speed, "unit", "mph");
  vlen_text(speed, "description", "wheel sensor");
  contiguous(speed, "time", H5T_STD_I64LE, H5T_NATIVE_INT64, time, {4});
  contiguous(speed, "value", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, heading, {4});
  H5Gclose(speed);
  H5Gclose(channels);

  EXPECT_GE(H5Fflush(file, H5F_SCOPE_GLOBAL), 0);
  const ssize_t size = H5Fget_file_image(file, nullptr, 0);
  std::vector<std::uint8_t> image(static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
  EXPECT_EQ(H5Fget_file_image(file, image.data(), image.size()), size);
  H5Fclose(file);
  H5Pclose(untimed_group);
  H5Pclose(untimed);
  H5Pclose(fapl);
  return image;
}

}  // namespace quillrun::testing
