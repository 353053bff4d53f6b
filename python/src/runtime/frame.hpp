#pragma once
// The call frame: every function the interpreter calls into this module is
// one of the entries below, wrapped around an operation's body. The frame
// turns an error value into the pending exception and traps every C++
// exception, so none ever crosses into the interpreter.

#include <Python.h>

#include <utility>

#include "runtime/errors.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {

namespace frame_detail {

// Sets the exception for the C++ exception being handled: MemoryError for
// an allocation failure, else PanicException with its text.
void raise_internal_failure();
// The dealloc form: the failure goes to sys.unraisablehook.
void report_internal_failure(PyObject* context);
[[noreturn]] void abort_uncaught() noexcept;

template <class Body>
PyObject* object_frame(Body&& body) noexcept {
  try {
    try {
      PyResult<Ref> result = body();
      if (result) return std::move(result).value().release();
      std::move(result).error().restore();
    } catch (...) {
      raise_internal_failure();
    }
    return nullptr;
  } catch (...) {
    abort_uncaught();
  }
}

template <class Body>
Py_ssize_t size_frame(Body&& body) noexcept {
  try {
    try {
      PyResult<Py_ssize_t> result = body();
      if (result) return *result;
      std::move(result).error().restore();
    } catch (...) {
      raise_internal_failure();
    }
    return -1;
  } catch (...) {
    abort_uncaught();
  }
}

template <class Body>
int status_frame(Body&& body) noexcept {
  try {
    try {
      PyStatus result = body();
      if (result) return 0;
      std::move(result).error().restore();
    } catch (...) {
      raise_internal_failure();
    }
    return -1;
  } catch (...) {
    abort_uncaught();
  }
}

template <class Body>
void dealloc_frame(PyObject* context, Body&& body) noexcept {
  try {
    try {
      body();
    } catch (...) {
      report_internal_failure(context);
    }
  } catch (...) {
    abort_uncaught();
  }
}

}  // namespace frame_detail

// Body signatures, one per entry kind.
using ConstructorBody = PyResult<Ref> (*)(PyTypeObject* type, PyObject* args, PyObject* kwargs);
using UnaryBody = PyResult<Ref> (*)(PyObject* self);
using BinaryBody = PyResult<Ref> (*)(PyObject* self, PyObject* key);
using CompareBody = PyResult<Ref> (*)(PyObject* self, PyObject* other, int op);
using SizeBody = PyResult<Py_ssize_t> (*)(PyObject* self);
using FastcallBody = PyResult<Ref> (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
using StatusBody = PyStatus (*)(PyObject* self);

// __new__ (Py_tp_new).
template <ConstructorBody Body>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return frame_detail::object_frame([&] { return Body(type, args, kwargs); });
}

// __repr__, __str__, __iter__, __next__ (Py_tp_repr, ...).
template <UnaryBody Body>
PyObject* unary_entry(PyObject* self) noexcept {
  return frame_detail::object_frame([&] { return Body(self); });
}

// A method or module function without parameters (METH_NOARGS).
template <UnaryBody Body>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return frame_detail::object_frame([&] { return Body(self); });
}

// A getter (PyGetSetDef::get).
template <UnaryBody Body>
PyObject* getter_entry(PyObject* self, void* /*closure*/) noexcept {
  return frame_detail::object_frame([&] { return Body(self); });
}

// __getitem__ (Py_mp_subscript).
template <BinaryBody Body>
PyObject* binary_entry(PyObject* self, PyObject* key) noexcept {
  return frame_detail::object_frame([&] { return Body(self, key); });
}

// The comparison slot (Py_tp_richcompare).
template <CompareBody Body>
PyObject* compare_entry(PyObject* self, PyObject* other, int op) noexcept {
  return frame_detail::object_frame([&] { return Body(self, other, op); });
}

// __len__ (Py_mp_length or Py_sq_length).
template <SizeBody Body>
Py_ssize_t size_entry(PyObject* self) noexcept {
  return frame_detail::size_frame([&] { return Body(self); });
}

// __hash__ (Py_tp_hash). -1 is the error return of the slot, so a hash that
// comes out as -1 is handed out as -2, as the interpreter's own types do.
template <SizeBody Body>
Py_hash_t hash_entry(PyObject* self) noexcept {
  return frame_detail::size_frame([&]() -> PyResult<Py_ssize_t> {
    PyResult<Py_ssize_t> hash = Body(self);
    if (hash && *hash == -1) return Py_ssize_t{-2};
    return hash;
  });
}

// A method or module function with parameters (METH_FASTCALL | METH_KEYWORDS);
// `self` is the module for module functions and null for static methods.
template <FastcallBody Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return frame_detail::object_frame([&] { return Body(self, args, nargs, kwnames); });
}

// The module's execution slot.
template <StatusBody Body>
int exec_entry(PyObject* module) noexcept {
  return frame_detail::status_frame([&] { return Body(module); });
}

// The shared __iter__ of the iterator classes.
PyResult<Ref> return_self(PyObject* self) noexcept;

// Function pointers as the C API stores them. The detour through void(*)()
// is the one cast between function types that compilers accept silently.
template <class F>
[[nodiscard]] PyCFunction as_cfunction(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
template <class F>
[[nodiscard]] void* as_slot(F* function) noexcept {
  return reinterpret_cast<void*>(function);
}

}  // namespace quillrun::py
