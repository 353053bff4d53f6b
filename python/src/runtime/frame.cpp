#include "runtime/frame.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace quillrun::py::frame_detail {
namespace {

// The exception for the C++ exception in flight. An allocation failure is
// reported as what it is; anything else is a fault of this module.
PyError classify_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyError::no_memory();
  } catch (const std::length_error&) {
    return PyError::no_memory();
  } catch (const std::exception& e) {
    return PyError::panic(e.what());
  } catch (...) {
    return PyError::panic("the module's native code failed with an exception that carries no message");
  }
}

// A body may throw between a failed interpreter call and the fetch of its
// exception. That exception is taken out first (the interpreter refuses to
// make new objects while one is pending) and kept as the new one's context.
PyError error_for_current_exception() {
  PyObject* pending = PyErr_GetRaisedException();
  PyError err = classify_current_exception();
  if (pending != nullptr) PyException_SetContext(err.value(), pending);  // steals `pending`
  return err;
}

}  // namespace

void raise_internal_failure() { error_for_current_exception().restore(); }

void report_internal_failure(PyObject* context) {
  // A deallocation may run while an exception propagates: that one stays
  // pending, untouched.
  PendingExceptionGuard keep;
  write_unraisable(classify_current_exception(), context);
}

void abort_uncaught() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace quillrun::py::frame_detail

namespace quillrun::py {

PyResult<Ref> return_self(PyObject* self) noexcept { return Ref::borrow(self); }

}  // namespace quillrun::py
