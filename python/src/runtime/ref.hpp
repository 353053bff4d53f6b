#pragma once
// The one owner of a strong reference: every new reference the C API hands
// us goes into a Ref at once, so no path can leak or drop it twice.

#include <Python.h>

#include <utility>

namespace quillrun::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (which may be null).
  [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference of its own to a borrowed one.
  [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      // Dropped last: a finaliser that runs here sees this Ref already updated.
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (the C API's "new reference" result).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  [[nodiscard]] Ref clone() const noexcept { return borrow(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quillrun::py
