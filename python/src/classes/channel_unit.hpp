#pragma once
// What the Channel constructor shares with ChannelUnit.recognized.

#include <string_view>

#include "runtime/errors.hpp"

namespace quillrun::py {

// ValueError "unrecognized channel unit {}; use ChannelUnit::custom for a
// display-only unit", the label exactly as given, in quoted form.
[[nodiscard]] PyError unrecognized_unit_error(std::string_view label);

}  // namespace quillrun::py
