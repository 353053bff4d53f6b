#pragma once
// The Python hash of Unit and ChannelUnit: the core's unit hash as it is
// (the hash slot turns -1 into -2).

#include <Python.h>

#include "quillrun/unit_hash.hpp"

namespace quillrun::py {

template <class U>
[[nodiscard]] Py_hash_t python_hash(const U& unit) {
  return static_cast<Py_hash_t>(quillrun::unit_hash(unit));
}

}  // namespace quillrun::py
