#include "runtime/module_state.hpp"

namespace quillrun::py {
namespace {

// Made when the library loads; its entries only hold their texts until the
// interpreter first asks for them.
ModuleState g_state;

}  // namespace

ModuleState& module_state() noexcept { return g_state; }

}  // namespace quillrun::py
