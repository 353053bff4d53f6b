#pragma once
// Core values out to new Python objects: texts, floats, optional values, and
// the fixed six-decimal form the element reprs use.

#include <Python.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "ref.hpp"

namespace quillrun::py {

[[nodiscard]] inline PyResult<Ref> str_object(std::string_view text) {
  return own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

[[nodiscard]] inline PyResult<Ref> optional_str_object(const std::optional<std::string>& text) {
  if (!text) return Ref::borrow(Py_None);
  return str_object(*text);
}

[[nodiscard]] inline PyResult<Ref> float_object(double value) { return own(PyFloat_FromDouble(value)); }

[[nodiscard]] inline PyResult<Ref> optional_float_object(const std::optional<double>& value) {
  if (!value) return Ref::borrow(Py_None);
  return float_object(*value);
}

// Fixed-point with exactly six decimals, correctly rounded; NaN, inf and
// -inf spelled so, and the sign of -0.0 kept ("-0.000000").
[[nodiscard]] inline std::string fixed6(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The longest double in %f form has 309 integer digits.
  char buffer[400];
  const int length = std::snprintf(buffer, sizeof buffer, "%.6f", value);
  return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

}  // namespace quillrun::py
