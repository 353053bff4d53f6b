#pragma once
// How a core error value becomes a Python exception: the I/O error is a
// plain OSError, every other error a ValueError, each with the error's
// message as its one argument.

#include <Python.h>

#include <concepts>
#include <string_view>

#include "runtime/errors.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::py {

template <class E>
concept CoreError = requires(const E& error) {
  { error.message() };
  std::string_view(error.message());
};

template <class E>
[[nodiscard]] bool is_os_error(const E& error) noexcept {
  if constexpr (std::same_as<E, SdkError>) {
    return is_io_error(error);
  } else {
    (void)error;
    return false;
  }
}

// With one argument only, the OSError has no errno and never becomes one of
// its subclasses (FileNotFoundError and so on): str() of it is the message.
template <CoreError E>
[[nodiscard]] PyError error_to_exception(const E& error) {
  const auto message = error.message();
  return PyError::new_error(is_os_error(error) ? PyExc_OSError : PyExc_ValueError, std::string_view(message));
}

}  // namespace quillrun::py
