#pragma once
// Test helper: builds .qrd images table by table through the HDF5 layer, so
// that reader tests can hold exactly the datasets, shapes and attribute
// forms they need (older layouts and damaged files included).

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "hdf5.hpp"

namespace quillrun::testing {

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

struct ChannelSpec {
  std::string name;
  std::vector<std::int64_t> time;
  std::vector<double> value;
  std::vector<std::uint64_t> value_dims;  // empty: [n]
  Hook attributes;                        // unit, period_deg, ... as needed
};

struct FileSpec {
  std::vector<std::pair<std::string, std::string>> root_texts = {{"quillrun_version", "2"}};
  Hook root_extra;
  std::vector<Table> tables;
  std::optional<std::vector<ChannelSpec>> channels;

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

inline std::vector<std::uint8_t> build(const FileSpec& spec) {
  h5::NewImage image = value_or_die(h5::NewImage::create());
  {
    h5::Group root = value_or_die(h5::open_root(image.id()));
    for (const auto& [name, value] : spec.root_texts) ok_or_die(h5::write_text_attribute(root.get(), name, value));
    if (spec.root_extra) spec.root_extra(root.get());
    for (const Table& table : spec.tables) {
      h5::Group group = value_or_die(h5::create_group(root.get(), table.name));
      for (const Column& column : table.columns) write_column(group.get(), column);
      if (table.extra) table.extra(group.get());
    }
    if (spec.channels) {
      h5::Group channels = value_or_die(h5::create_group(root.get(), "channels"));
      for (const ChannelSpec& ch : *spec.channels) {
        h5::Group group = value_or_die(h5::create_group(channels.get(), ch.name));
        if (ch.attributes) ch.attributes(group.get());
        write_column(group.get(), Column{"time", ch.time, {}});
        write_column(group.get(), Column{"value", ch.value, ch.value_dims});
      }
    }
  }
  return value_or_die(std::move(image).finish());
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
    const auto t = static_cast<std::int64_t>(1'700'000'000'000'000 + i * 1'000'000);
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

inline FileSpec minimal_file(std::size_t points = 3) {
  FileSpec spec;
  spec.tables.push_back(nav_points_table(points));
  return spec;
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
