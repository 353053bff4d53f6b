#pragma once
// Private to the HDF5 layer: a C call's failure turned into the error value
// carrying HDF5's own text.

#include <string_view>

#include "codec/h5/hdf5.hpp"

namespace quillrun::h5::detail {

[[nodiscard]] inline Status<SdkError> check(herr_t rc, std::string_view call) {
  if (rc < 0) return fail(last_error(call));
  return {};
}

[[nodiscard]] inline Result<bool, SdkError> check_tri(htri_t rc, std::string_view call) {
  if (rc < 0) return fail(last_error(call));
  return rc > 0;
}

// Takes ownership of a fresh id, or turns its failure into the error.
template <class H>
[[nodiscard]] Result<H, SdkError> take(hid_t id, std::string_view call) {
  if (id < 0) return fail(last_error(call));
  return H(id);
}

}  // namespace quillrun::h5::detail
