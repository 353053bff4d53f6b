#include "hdf5_read.hpp"

#include <string>

namespace quillrun::h5 {
namespace {

[[nodiscard]] Status<SdkError> check(herr_t rc, std::string_view call) {
  if (rc < 0) return fail(last_error(call));
  return {};
}

template <class H>
[[nodiscard]] Result<H, SdkError> take(hid_t id, std::string_view call) {
  if (id < 0) return fail(last_error(call));
  return H(id);
}

[[nodiscard]] LinkKind kind_of(H5L_type_t type) noexcept {
  return type == H5L_TYPE_HARD ? LinkKind::Hard : LinkKind::Other;
}

// Range, fraction, infinity and NaN faults abort the conversion; only the
// precision lost when an integer becomes a float is let through (float
// columns may be stored as integers).
H5T_conv_ret_t refuse_lossy_conversion(H5T_conv_except_t kind, hid_t, hid_t, void*, void*, void*) noexcept {
  return kind == H5T_CONV_EXCEPT_PRECISION ? H5T_CONV_UNHANDLED : H5T_CONV_ABORT;
}

}  // namespace

Result<LinkKind, SdkError> link_kind(hid_t parent, std::string_view name) {
  const ErrorPrintingOff quiet;
  const std::string c_name(name);
  const htri_t exists = H5Lexists(parent, c_name.c_str(), H5P_DEFAULT);
  if (exists < 0) return fail(last_error("H5Lexists"));
  if (exists == 0) return LinkKind::Missing;
  H5L_info_t info{};
  QR_TRY(check(H5Lget_info(parent, c_name.c_str(), &info, H5P_DEFAULT), "H5Lget_info"));
  return kind_of(info.type);
}

Result<LinkKind, SdkError> link_kind_by_index(hid_t group, std::uint64_t index) {
  const ErrorPrintingOff quiet;
  H5L_info_t info{};
  QR_TRY(check(H5Lget_info_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, index, &info, H5P_DEFAULT),
               "H5Lget_info_by_idx"));
  return kind_of(info.type);
}

Result<Group, SdkError> open_group_by_index(hid_t group, std::uint64_t index) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Handle<&H5Oclose> object,
                      take<Handle<&H5Oclose>>(H5Oopen_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, index,
                                                             H5P_DEFAULT),
                                              "H5Oopen_by_idx"));
  const H5I_type_t type = H5Iget_type(object.get());
  if (type != H5I_GROUP) {
    return fail(SdkError{sdk_error::Hdf5{"member " + std::to_string(index) + " is not a group"}});
  }
  // A group opened through H5Oopen is a group id, closed by H5Gclose as well.
  return Group(object.release());
}

Result<DatasetStorage, SdkError> dataset_storage(hid_t dataset) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(PropList dcpl, take<PropList>(H5Dget_create_plist(dataset), "H5Dget_create_plist"));
  DatasetStorage storage;
  const H5D_layout_t layout = H5Pget_layout(dcpl.get());
  if (layout < 0) return fail(last_error("H5Pget_layout"));
  storage.is_virtual = layout == H5D_VIRTUAL;
  const int externals = H5Pget_external_count(dcpl.get());
  if (externals < 0) return fail(last_error("H5Pget_external_count"));
  storage.external = externals > 0;
  const int filters = H5Pget_nfilters(dcpl.get());
  if (filters < 0) return fail(last_error("H5Pget_nfilters"));
  for (int i = 0; i < filters; ++i) {
    unsigned flags = 0;
    std::size_t values = 0;
    unsigned config = 0;
    const H5Z_filter_t id =
        H5Pget_filter2(dcpl.get(), static_cast<unsigned>(i), &flags, &values, nullptr, 0, nullptr, &config);
    if (id < 0) return fail(last_error("H5Pget_filter2"));
    storage.filters.push_back(id);
  }
  if (layout == H5D_CHUNKED) {
    hsize_t dims[H5S_MAX_RANK] = {};
    const int rank = H5Pget_chunk(dcpl.get(), H5S_MAX_RANK, dims);
    if (rank < 0) return fail(last_error("H5Pget_chunk"));
    storage.chunk.assign(dims, dims + rank);
  }
  return storage;
}

Result<Shape, SdkError> dataset_shape(hid_t dataset) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Datatype type, take<Datatype>(H5Dget_type(dataset), "H5Dget_type"));
  Shape shape;
  shape.element_size = H5Tget_size(type.get());
  if (shape.element_size == 0) return fail(last_error("H5Tget_size"));
  QR_ASSIGN_OR_RETURN(Dataspace space, take<Dataspace>(H5Dget_space(dataset), "H5Dget_space"));
  const H5S_class_t space_class = H5Sget_simple_extent_type(space.get());
  if (space_class == H5S_NO_CLASS) return fail(last_error("H5Sget_simple_extent_type"));
  shape.null_space = space_class == H5S_NULL;
  const int rank = H5Sget_simple_extent_ndims(space.get());
  if (rank < 0) return fail(last_error("H5Sget_simple_extent_ndims"));
  std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
  if (rank > 0 && H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr) < 0)
    return fail(last_error("H5Sget_simple_extent_dims"));
  shape.dims.assign(dims.begin(), dims.end());
  return shape;
}

template <class T>
Result<std::vector<T>, SdkError> read_dataset_exact(hid_t dataset, std::size_t count) {
  const ErrorPrintingOff quiet;
  std::vector<T> values(count);
  if (count == 0) return values;
  QR_ASSIGN_OR_RETURN(PropList dxpl, take<PropList>(H5Pcreate(H5P_DATASET_XFER), "H5Pcreate"));
  QR_TRY(check(H5Pset_type_conv_cb(dxpl.get(), &refuse_lossy_conversion, nullptr), "H5Pset_type_conv_cb"));
  QR_TRY(check(H5Dread(dataset, ElementType<T>::memory(), H5S_ALL, H5S_ALL, dxpl.get(), values.data()), "H5Dread"));
  return values;
}

template Result<std::vector<std::uint8_t>, SdkError> read_dataset_exact<std::uint8_t>(hid_t, std::size_t);
template Result<std::vector<std::uint32_t>, SdkError> read_dataset_exact<std::uint32_t>(hid_t, std::size_t);
template Result<std::vector<std::uint64_t>, SdkError> read_dataset_exact<std::uint64_t>(hid_t, std::size_t);
template Result<std::vector<std::int64_t>, SdkError> read_dataset_exact<std::int64_t>(hid_t, std::size_t);
template Result<std::vector<float>, SdkError> read_dataset_exact<float>(hid_t, std::size_t);
template Result<std::vector<double>, SdkError> read_dataset_exact<double>(hid_t, std::size_t);

Result<AttributeShape, SdkError> attribute_shape(hid_t attribute) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Datatype type, take<Datatype>(H5Aget_type(attribute), "H5Aget_type"));
  QR_ASSIGN_OR_RETURN(Dataspace space, take<Dataspace>(H5Aget_space(attribute), "H5Aget_space"));
  AttributeShape shape;
  shape.type_class = H5Tget_class(type.get());
  if (shape.type_class == H5T_NO_CLASS) return fail(last_error("H5Tget_class"));
  shape.element_size = H5Tget_size(type.get());
  if (shape.element_size == 0) return fail(last_error("H5Tget_size"));
  const hssize_t count = H5Sget_simple_extent_npoints(space.get());
  if (count < 0) return fail(last_error("H5Sget_simple_extent_npoints"));
  shape.count = static_cast<std::uint64_t>(count);
  return shape;
}

}  // namespace quillrun::h5
