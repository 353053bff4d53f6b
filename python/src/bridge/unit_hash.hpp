#pragma once
// The hash and equality slots of Unit and ChannelUnit: the core's unit hash
// as it is (the hash slot turns -1 into -2), and equality with another unit
// of the same class only.

#include <Python.h>

#include "quillrun/unit_hash.hpp"
#include "runtime/errors.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {

template <auto& Cls>
PyResult<Py_ssize_t> unit_hash_slot(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto unit, Cls.shared(self));
  return static_cast<Py_hash_t>(quillrun::unit_hash(*unit));
}

// Anything but another unit of the class, a Unit and a ChannelUnit to each
// other included, is left to Python's fallback.
template <auto& Cls>
PyResult<Ref> unit_compare_slot(PyObject* self, PyObject* other, int op) {
  QR_ASSIGN_OR_RETURN(PyTypeObject * type, Cls.type_for_use());
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, type)) return Ref::borrow(Py_NotImplemented);
  QR_ASSIGN_OR_RETURN(auto left, Cls.shared(self));
  QR_ASSIGN_OR_RETURN(auto right, Cls.shared(other));
  const bool equal = *left == *right;
  return Ref::borrow(equal == (op == Py_EQ) ? Py_True : Py_False);
}

}  // namespace quillrun::py
