#pragma once
// The memory of an object of an own class: the interpreter's header, the
// payload, and the borrow flag that guards it.

#include <Python.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "runtime/errors.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {

// borrow_flag: 0 free, n > 0 shared borrows, -1 one exclusive borrow.
inline constexpr Py_ssize_t kExclusivelyBorrowed = -1;
// An object that exists without a payload: allocated by the interpreter on a
// path that bypassed the class's constructor (for instance after
// `del NavFix.__new__`). Every access refuses it and deallocation skips the
// payload.
inline constexpr Py_ssize_t kUnconstructed = PY_SSIZE_T_MIN;

template <class P>
struct ClassObject {
  PyObject header;
  alignas(P) unsigned char storage[sizeof(P)];
  Py_ssize_t borrow_flag;

  [[nodiscard]] P& payload() noexcept { return *std::launder(reinterpret_cast<P*>(storage)); }
  [[nodiscard]] std::atomic_ref<Py_ssize_t> flag() noexcept { return std::atomic_ref<Py_ssize_t>(borrow_flag); }
};

template <class P>
[[nodiscard]] ClassObject<P>* class_object(PyObject* object) noexcept {
  return reinterpret_cast<ClassObject<P>*>(object);
}

// The flag operations; `object` names the type in the refusal of an
// unconstructed object.
[[nodiscard]] PyStatus acquire_shared(std::atomic_ref<Py_ssize_t> flag, PyObject* object) noexcept;
[[nodiscard]] PyStatus acquire_exclusive(std::atomic_ref<Py_ssize_t> flag, PyObject* object) noexcept;
inline void release_shared(std::atomic_ref<Py_ssize_t> flag) noexcept { flag.fetch_sub(1, std::memory_order_release); }
inline void release_exclusive(std::atomic_ref<Py_ssize_t> flag) noexcept { flag.store(0, std::memory_order_release); }

// A shared borrow of an object's payload, released when the guard ends; it
// also holds a reference, so the object outlives every borrow of it.
template <class P>
class Shared {
 public:
  [[nodiscard]] static PyResult<Shared> acquire(PyObject* object) noexcept {
    QR_TRY(acquire_shared(class_object<P>(object)->flag(), object));
    return Shared(Ref::borrow(object));
  }
  Shared(Shared&&) noexcept = default;
  Shared& operator=(Shared&&) = delete;
  ~Shared() {
    if (object_) release_shared(class_object<P>(object_.get())->flag());
  }

  [[nodiscard]] const P& operator*() const noexcept { return class_object<P>(object_.get())->payload(); }
  [[nodiscard]] const P* operator->() const noexcept { return &**this; }
  [[nodiscard]] PyObject* object() const noexcept { return object_.get(); }

 private:
  explicit Shared(Ref object) noexcept : object_(std::move(object)) {}
  Ref object_;
};

// The exclusive borrow, for operations that change the payload.
template <class P>
class Exclusive {
 public:
  [[nodiscard]] static PyResult<Exclusive> acquire(PyObject* object) noexcept {
    QR_TRY(acquire_exclusive(class_object<P>(object)->flag(), object));
    return Exclusive(Ref::borrow(object));
  }
  Exclusive(Exclusive&&) noexcept = default;
  Exclusive& operator=(Exclusive&&) = delete;
  ~Exclusive() {
    if (object_) release_exclusive(class_object<P>(object_.get())->flag());
  }

  [[nodiscard]] P& operator*() const noexcept { return class_object<P>(object_.get())->payload(); }
  [[nodiscard]] P* operator->() const noexcept { return &**this; }
  [[nodiscard]] PyObject* object() const noexcept { return object_.get(); }

 private:
  explicit Exclusive(Ref object) noexcept : object_(std::move(object)) {}
  Ref object_;
};

}  // namespace quillrun::py
