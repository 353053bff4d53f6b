#pragma once
// NavFileBuilder's class object, for the registration table; no other class
// creates or takes builders.

#include "runtime/types.hpp"

namespace quillrun::py {

[[nodiscard]] ClassBase& nav_file_builder_class() noexcept;

}  // namespace quillrun::py
