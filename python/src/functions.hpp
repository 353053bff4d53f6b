#pragma once
// The module's functions, in registration order.

#include <Python.h>

#include <span>

namespace quillrun::py {

[[nodiscard]] std::span<PyMethodDef> module_functions() noexcept;

}  // namespace quillrun::py
