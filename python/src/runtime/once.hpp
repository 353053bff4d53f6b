#pragma once
// Objects made once per process on first use (imported modules, classes,
// interned names, type objects) and held until the process ends.

#include <Python.h>

#include <atomic>
#include <thread>
#include <type_traits>
#include <utility>

#include "runtime/errors.hpp"

namespace quillrun::py {

// A cell filled by the first successful initialisation; a failed one leaves
// it empty, so the next use tries again.
//
// Initialisers run with the interpreter lock held, and may give it up (an
// import does). A thread that finds another thread's initialisation running
// waits with the lock released, so the two cannot deadlock. The same thread
// reaching the cell again from inside its own initialisation (package code
// that runs during an import, say) runs the initialiser once more instead of
// waiting for itself; the first result stored wins. In the child of a fork,
// an initialisation that another thread of the parent was running is as if
// it had failed: the next use tries again.
class OnceCell {
 public:
  constexpr OnceCell() noexcept = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  // The held object (a borrowed reference that lives for the process), or
  // the initialiser's error. `init` is callable as `PyResult<Ref>()`.
  template <class Init>
  [[nodiscard]] PyResult<PyObject*> get_or_init(Init&& init) {
    if (PyObject* held = value_.load(std::memory_order_acquire)) return held;
    using Fn = std::remove_reference_t<Init>;
    return slow_path(
        [](void* context) -> PyResult<Ref> { return (*static_cast<Fn*>(context))(); },
        const_cast<void*>(static_cast<const void*>(&init)));
  }

  // The held object, or null before the first success.
  [[nodiscard]] PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

 private:
  using InitFn = PyResult<Ref> (*)(void*);
  PyResult<PyObject*> slow_path(InitFn init, void* context);
  PyResult<PyObject*> finish(PyResult<Ref> made, bool owner);

  struct Coordination;  // shared by all cells (once.cpp)
  [[nodiscard]] static Coordination& coordination() noexcept;

  std::atomic<PyObject*> value_{nullptr};
  // Guarded by the mutex shared by all cells (once.cpp). A running cell is
  // on the list of running cells, so that a fork's child can give up those
  // whose initialising thread it lacks.
  bool running_ = false;
  std::thread::id runner_{};
  OnceCell* next_running_ = nullptr;
};

// An interned str made once, for attribute and method names.
class Interned {
 public:
  constexpr explicit Interned(const char* text) noexcept : text_(text) {}
  [[nodiscard]] PyResult<PyObject*> get();

 private:
  const char* text_;
  OnceCell cell_;
};

}  // namespace quillrun::py
