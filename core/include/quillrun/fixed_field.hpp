#pragma once
// The encoding check of a text bound for a fixed-width, NUL-padded field.

#include <cstddef>
#include <string_view>

#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun {

// A text fits a field of width w when it holds no NUL byte and is at most
// `limit` = w - 1 bytes long (the last byte is the terminator). The NUL test
// comes first: NulByte with the offset of the first NUL, then TooLong.
[[nodiscard]] Status<FieldError> check_field_text(std::string_view text, std::size_t limit);

}  // namespace quillrun
