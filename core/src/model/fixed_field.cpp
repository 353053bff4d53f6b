#include "quillrun/fixed_field.hpp"

#include <string>

namespace quillrun {

Status<FieldError> check_field_text(std::string_view text, std::size_t limit) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos)
    return fail(FieldError{field_error::NulByte{std::string(text), nul}});
  if (text.size() > limit) return fail(FieldError{field_error::TooLong{std::string(text), text.size(), limit}});
  return {};
}

}  // namespace quillrun
