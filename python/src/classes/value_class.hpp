#pragma once
// Pieces shared by the value classes: optional arguments, getter results and
// the by-value equality of Satellite, SatelliteReport, NavFix, Annotation,
// Channel and Meta.

#include <Python.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/args.hpp"
#include "runtime/errors.hpp"
#include "quillrun/instant.hpp"
#include "runtime/ref.hpp"
#include "bridge/time_convert.hpp"
#include "runtime/types.hpp"

namespace quillrun::py {

// A parameter left out and one given as None are the same absent value.
[[nodiscard]] inline bool is_absent(PyObject* argument) noexcept {
  return argument == nullptr || argument == Py_None;
}

[[nodiscard]] inline PyResult<std::optional<std::string>> optional_str_arg(const char* param, PyObject* argument) {
  if (is_absent(argument)) return std::optional<std::string>();
  QR_ASSIGN_OR_RETURN(std::string_view text, for_param(param, to_str(argument)));
  return std::optional<std::string>(std::string(text));
}

[[nodiscard]] inline PyResult<std::optional<double>> optional_double_arg(const char* param, PyObject* argument) {
  if (is_absent(argument)) return std::optional<double>();
  QR_ASSIGN_OR_RETURN(double value, for_param(param, to_double(argument)));
  return std::optional<double>(value);
}

[[nodiscard]] inline PyResult<std::optional<Instant>> optional_time_arg(const char* param, PyObject* argument) {
  if (is_absent(argument)) return std::optional<Instant>();
  QR_ASSIGN_OR_RETURN(Instant instant, for_param(param, instant_from_datetime(argument)));
  return std::optional<Instant>(instant);
}

[[nodiscard]] inline PyResult<Ref> text_object(std::string_view text) {
  return own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

[[nodiscard]] inline PyResult<Ref> text_or_none(const std::optional<std::string>& text) {
  if (!text) return Ref::borrow(Py_None);
  return text_object(*text);
}

[[nodiscard]] inline PyResult<Ref> float_object(double value) { return own(PyFloat_FromDouble(value)); }

template <class F>
[[nodiscard]] PyResult<Ref> float_or_none(const std::optional<F>& value) {
  if (!value) return Ref::borrow(Py_None);
  return float_object(static_cast<double>(*value));
}

// A float in fixed notation with six decimals, correctly rounded, a sign for
// negative zero too; NaN as "NaN" and the infinities as "inf" and "-inf".
[[nodiscard]] inline std::string fixed6(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The largest double has 309 integer digits.
  char buffer[400];
  const int length = std::snprintf(buffer, sizeof buffer, "%.6f", value);
  return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

[[nodiscard]] inline Ref bool_object(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// The comparison slot of a value class: `==` compares the payloads with the
// record's own operator== (IEEE floats, so NaN is unequal even to itself);
// `!=` negates a full `==` comparison, reflected operands and the identity
// fallback included; the orderings are not supported.
template <class P>
[[nodiscard]] PyResult<Ref> compare_by_value(Class<P>& cls, PyObject* self, PyObject* other, int op) {
  if (op == Py_NE) {
    QR_ASSIGN_OR_RETURN(Ref equal, own(PyObject_RichCompare(self, other, Py_EQ)));
    const int truth = PyObject_IsTrue(equal.get());
    if (truth < 0) return fail(PyError::fetch());
    return bool_object(truth == 0);
  }
  if (op != Py_EQ) return Ref::borrow(Py_NotImplemented);
  QR_ASSIGN_OR_RETURN(PyTypeObject * type, cls.type_for_use());
  if (!PyObject_TypeCheck(other, type)) return Ref::borrow(Py_NotImplemented);
  QR_ASSIGN_OR_RETURN(auto left, cls.shared(self));
  QR_ASSIGN_OR_RETURN(auto right, cls.shared(other));
  return bool_object(*left == *right);
}

}  // namespace quillrun::py
