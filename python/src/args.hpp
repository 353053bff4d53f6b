#pragma once
// Argument parsing for the fast-call and constructor entries, and the
// conversions of single arguments with the note that names the parameter.

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "ref.hpp"

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

// The downcast refusal: "'int' object is not an instance of 'str'", or
// "'None' is not an instance of 'str'".
[[nodiscard]] PyError not_an_instance(PyObject* object, std::string_view class_name);

// The interpreter's float conversion (float, int, __float__, __index__).
[[nodiscard]] PyResult<double> to_double(PyObject* object) noexcept;
// A str (or subclass) as UTF-8, valid while `object` lives.
[[nodiscard]] PyResult<std::string_view> to_str(PyObject* object);

// The items of a list argument, read by iteration; `size_hint` is its
// len() when that works, else 0.
struct SequenceItems {
  Ref iterator;
  std::size_t size_hint;
};

// Any object that passes the interpreter's sequence check except a str (a
// subclass too), which is refused with "Can't extract `str` to `Vec`"; any
// other object gets the downcast TypeError naming `Sequence`.
[[nodiscard]] PyResult<SequenceItems> sequence_items(PyObject* object);

// A list argument converted item by item, in iteration order; `convert` is
// callable as `PyResult<T>(PyObject* item)` and the item lives while it runs.
template <class T, class Convert>
[[nodiscard]] PyResult<std::vector<T>> to_vec(PyObject* object, Convert&& convert) {
  QR_ASSIGN_OR_RETURN(SequenceItems items, sequence_items(object));
  std::vector<T> out;
  out.reserve(items.size_hint);
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(items.iterator.get()));
    if (!item) {
      if (PyErr_Occurred() != nullptr) return fail(PyError::fetch());
      return out;
    }
    QR_ASSIGN_OR_RETURN(T value, convert(item.get()));
    out.push_back(std::move(value));
  }
}

}  // namespace quillrun::py
