#include "runtime/object.hpp"

#include <string>

namespace quillrun::py {
namespace {

PyError unconstructed_error(PyObject* object) noexcept {
  try {
    auto name = type_name(Py_TYPE(object));
    if (!name) return std::move(name).error();
    return PyError::type_error("'" + *name + "' object is not initialized");
  } catch (...) {
    return PyError::no_memory();
  }
}

}  // namespace

PyStatus acquire_shared(std::atomic_ref<Py_ssize_t> flag, PyObject* object) noexcept {
  Py_ssize_t current = flag.load(std::memory_order_acquire);
  for (;;) {
    if (current == kUnconstructed) return fail(unconstructed_error(object));
    if (current == kExclusivelyBorrowed) return fail(PyError::runtime_error("Already mutably borrowed"));
    if (flag.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
      return {};
    }
  }
}

PyStatus acquire_exclusive(std::atomic_ref<Py_ssize_t> flag, PyObject* object) noexcept {
  Py_ssize_t current = 0;
  if (flag.compare_exchange_strong(current, kExclusivelyBorrowed, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return {};
  }
  if (current == kUnconstructed) return fail(unconstructed_error(object));
  return fail(PyError::runtime_error("Already borrowed"));
}

}  // namespace quillrun::py
