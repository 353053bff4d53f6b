#pragma once
// Small text helpers shared by every message of the core.

#include <string>
#include <string_view>

namespace quillrun {

// The quoted form of a text in messages and log records: double quotes with
// backslash escapes (see text.cpp for what counts as printable).
[[nodiscard]] std::string quoted(std::string_view text);

}  // namespace quillrun
