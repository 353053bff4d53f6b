#pragma once
// A sequence argument read into a vector: any object that passes the
// interpreter's sequence check except a str, its items taken by iteration.

#include <Python.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "runtime/args.hpp"
#include "runtime/errors.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {

// `convert` is callable as `PyResult<T>(PyObject* item)`.
template <class T, class Convert>
[[nodiscard]] PyResult<std::vector<T>> sequence_to_vector(PyObject* object, Convert&& convert) {
  if (PyUnicode_Check(object)) return fail(PyError::type_error("Can't extract `str` to `Vec`"));
  if (PySequence_Check(object) == 0) return fail(not_a_sequence(object));
  std::vector<T> items;
  // The length is only a hint: a failing len() is ignored, and a huge one
  // does not reserve more than iteration actually delivers.
  const Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    items.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 16)));
  }
  QR_ASSIGN_OR_RETURN(Ref iterator, own(PyObject_GetIter(object)));
  while (PyObject* next = PyIter_Next(iterator.get())) {
    Ref item = Ref::steal(next);
    QR_ASSIGN_OR_RETURN(T value, convert(item.get()));
    items.push_back(std::move(value));
  }
  if (PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  return items;
}

}  // namespace quillrun::py
