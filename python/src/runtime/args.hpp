#pragma once
// Argument parsing for the fast-call and constructor entries, and the
// conversions of single arguments with the note that names the parameter.

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "runtime/errors.hpp"

namespace quillrun::py {

enum class ParamKind : std::uint8_t { PositionalOnly, PositionalOrKeyword, KeywordOnly };

struct Param {
  const char* name;
  ParamKind kind = ParamKind::PositionalOrKeyword;
  bool required = true;
};

// Parameters in declaration order: positional ones (required before
// optional) first, then keyword-only ones.
struct Signature {
  // As error messages name the callable: "kmh_from_mps()", "NavFileBuilder.add()",
  // "NavFix.__new__()".
  const char* full_name;
  std::span<const Param> params;
};

// Fills `out` (one slot per parameter, null when not given) with borrowed
// references to the arguments.
[[nodiscard]] PyStatus parse_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, std::span<PyObject*> out);
[[nodiscard]] PyStatus parse_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                                        std::span<PyObject*> out);

// A failed conversion of the argument for `param` keeps its exception and
// gains the note "while processing '<param>'".
template <class T>
[[nodiscard]] PyResult<T> for_param(const char* param, PyResult<T> converted) {
  if (!converted) {
    std::string note = "while processing '";
    note += param;
    note += "'";
    converted.error().add_note(note);
  }
  return converted;
}

// The one parameter of a callable that takes exactly one, converted with the
// note that names it. Methods call it before any state test, so a wrong kind
// is a TypeError in every state.
template <class T, class Convert>
[[nodiscard]] PyResult<T> one_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames, Convert convert) {
  PyObject* value[1];
  QR_TRY(parse_fastcall(signature, args, nargs, kwnames, value));
  return for_param(signature.params[0].name, convert(value[0]));
}

// The downcast refusal: "'int' object is not an instance of 'str'", or
// "'None' is not an instance of 'str'".
[[nodiscard]] PyError not_an_instance(PyObject* object, std::string_view class_name);

// The interpreter's float conversion (float, int, __float__, __index__).
[[nodiscard]] PyResult<double> to_double(PyObject* object) noexcept;
// A str (or subclass) as UTF-8, valid while `object` lives.
[[nodiscard]] PyResult<std::string_view> to_str(PyObject* object);

// The refusal of a list argument that fails the sequence check: the
// downcast TypeError naming the object's qualified type name and `Sequence`
// (collections.abc's, imported once on first need).
[[nodiscard]] PyError not_a_sequence(PyObject* object);

}  // namespace quillrun::py
