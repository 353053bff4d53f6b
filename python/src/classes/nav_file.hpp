#pragma once
// NavFile: a whole trace, shared with the views made from it.

#include "runtime/errors.hpp"
#include "quillrun/trace.hpp"
#include "runtime/ref.hpp"
#include "runtime/types.hpp"

namespace quillrun::py {

struct NavFilePayload {
  SharedTrace trace;
};

extern Class<NavFilePayload> g_nav_file;

// A new NavFile around a trace just moved into its shared holder (by the
// builder's finish() or a read).
[[nodiscard]] PyResult<Ref> new_nav_file(SharedTrace trace);

}  // namespace quillrun::py
