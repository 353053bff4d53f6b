#pragma once
// Python exceptions as values: an operation returns PyResult<T>, and only the
// call frame hands a PyError to the interpreter.

#include <Python.h>

#include <string>
#include <string_view>

#include "quillrun/result.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {

class PyError {
 public:
  // Takes the interpreter's pending exception; when a failed call set none,
  // a SystemError stands in for it.
  [[nodiscard]] static PyError fetch() noexcept;
  // A new `type(message)`, the message being UTF-8.
  [[nodiscard]] static PyError new_error(PyObject* type, std::string_view message) noexcept;
  // A new `type(message)` around an existing str.
  [[nodiscard]] static PyError new_error(PyObject* type, Ref message) noexcept;
  // The same, with `cause` as its __cause__.
  [[nodiscard]] static PyError new_error_from(PyObject* type, std::string_view message, PyError cause) noexcept;
  [[nodiscard]] static PyError type_error(std::string_view message) noexcept {
    return new_error(PyExc_TypeError, message);
  }
  [[nodiscard]] static PyError value_error(std::string_view message) noexcept {
    return new_error(PyExc_ValueError, message);
  }
  [[nodiscard]] static PyError runtime_error(std::string_view message) noexcept {
    return new_error(PyExc_RuntimeError, message);
  }
  [[nodiscard]] static PyError no_memory() noexcept;
  // An internal failure: PanicException(message).
  [[nodiscard]] static PyError panic(std::string_view message) noexcept;

  PyError(PyError&&) noexcept = default;
  PyError& operator=(PyError&&) noexcept = default;

  // The exception instance (borrowed).
  [[nodiscard]] PyObject* value() const noexcept { return exception_.get(); }
  [[nodiscard]] bool matches(PyObject* type) const noexcept;
  // Makes this the interpreter's pending exception.
  void restore() && noexcept;
  // Adds `note` through the exception's add_note(); a failure there is
  // dropped, so the original exception is what the caller sees.
  void add_note(std::string_view note) noexcept;

 private:
  explicit PyError(Ref exception) noexcept : exception_(std::move(exception)) {}
  Ref exception_;
};

template <class T>
using PyResult = Result<T, PyError>;
using PyStatus = Status<PyError>;

// The result of a C API call that returns a new reference or null.
[[nodiscard]] inline PyResult<Ref> own(PyObject* new_reference) noexcept {
  if (new_reference == nullptr) return fail(PyError::fetch());
  return Ref::steal(new_reference);
}

// The result of a C API call that returns -1 on failure.
[[nodiscard]] inline PyStatus check(int rc) noexcept {
  if (rc < 0) return fail(PyError::fetch());
  return {};
}

// KeyboardInterrupt, SystemExit and MemoryError: never turned into another
// exception by a conversion that reports its own error.
[[nodiscard]] bool is_fatal_exception(const PyError& err) noexcept;

// "TypeName: str(exception)", for texts that report an exception.
[[nodiscard]] std::string describe(const PyError& err);

// Reports `err` through sys.unraisablehook; whatever exception was pending
// before stays pending. `context` (may be null) names where it happened.
void write_unraisable(PyError err, PyObject* context) noexcept;

// Saves the pending exception (if any) and puts it back when it ends, so code
// that runs in between cannot change the outcome of the operation around it.
class PendingExceptionGuard {
 public:
  PendingExceptionGuard() noexcept : saved_(PyErr_GetRaisedException()) {}
  ~PendingExceptionGuard() { PyErr_SetRaisedException(saved_); }
  PendingExceptionGuard(const PendingExceptionGuard&) = delete;
  PendingExceptionGuard& operator=(const PendingExceptionGuard&) = delete;

 private:
  PyObject* saved_;
};

// The text of a str as UTF-8, valid while `str` lives.
[[nodiscard]] PyResult<std::string_view> utf8_of(PyObject* str) noexcept;
// The __name__ of a type.
[[nodiscard]] PyResult<std::string> type_name(PyTypeObject* type);

}  // namespace quillrun::py
