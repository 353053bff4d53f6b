#pragma once
// Test helper: reads through the HDF5 layer that the reader does not need
// itself — a dataset's extent, element size and whole contents as the
// library converts them, and an attribute that may be missing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/h5/checked.hpp"
#include "codec/h5/hdf5.hpp"
#include "codec/h5/hdf5_read.hpp"

namespace quillrun::testing {

// The extent of each dimension; empty for a scalar dataset.
inline Result<std::vector<std::uint64_t>, SdkError> dataset_dims(hid_t dataset) {
  QR_ASSIGN_OR_RETURN(h5::Shape shape, h5::dataset_shape(dataset));
  return std::move(shape.dims);
}

// The stored element's size in bytes.
inline Result<std::size_t, SdkError> dataset_element_size(hid_t dataset) {
  QR_ASSIGN_OR_RETURN(const h5::Shape shape, h5::dataset_shape(dataset));
  return shape.element_size;
}

// The whole dataset in row-major order, converted by the library to T.
template <class T>
Result<std::vector<T>, SdkError> read_dataset(hid_t dataset) {
  const h5::ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(h5::Dataspace space, h5::detail::take<h5::Dataspace>(H5Dget_space(dataset), "H5Dget_space"));
  const hssize_t count = H5Sget_simple_extent_npoints(space.get());
  if (count < 0) return fail(h5::last_error("H5Sget_simple_extent_npoints"));
  std::vector<T> values(static_cast<std::size_t>(count));
  if (!values.empty())
    QR_TRY(h5::detail::check(
        H5Dread(dataset, h5::ElementType<T>::memory(), H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), "H5Dread"));
  return values;
}

// None when `object` has no attribute of that name.
inline Result<std::optional<h5::Attribute>, SdkError> open_optional_attribute(hid_t object, std::string_view name) {
  {
    const h5::ErrorPrintingOff quiet;
    QR_ASSIGN_OR_RETURN(const bool exists,
                        h5::detail::check_tri(H5Aexists(object, std::string(name).c_str()), "H5Aexists"));
    if (!exists) return std::optional<h5::Attribute>();
  }
  QR_ASSIGN_OR_RETURN(h5::Attribute attribute, h5::open_attribute(object, name));
  return std::optional<h5::Attribute>(std::move(attribute));
}

}  // namespace quillrun::testing
