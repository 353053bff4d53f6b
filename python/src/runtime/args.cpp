#include "runtime/args.hpp"

#include <vector>

#include "runtime/module_state.hpp"

namespace quillrun::py {
namespace {

PyResult<PyObject*> sequence_abc() {
  return module_state().sequence_abc.get_or_init([]() -> PyResult<Ref> {
    QR_ASSIGN_OR_RETURN(Ref abc, own(PyImport_ImportModule("collections.abc")));
    return own(PyObject_GetAttrString(abc.get(), "Sequence"));
  });
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ",";
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

PyError missing_arguments(const Signature& sig, const char* kind, const std::vector<const char*>& names) {
  std::string text = sig.full_name;
  text += " missing ";
  text += std::to_string(names.size());
  text += " required ";
  text += kind;
  text += names.size() == 1 ? " argument: " : " arguments: ";
  text += name_list(names);
  return PyError::type_error(text);
}

PyError too_many_positional(const Signature& sig, std::size_t positional, std::size_t required, std::size_t given) {
  std::string text = sig.full_name;
  text += " takes ";
  if (required == positional) {
    text += std::to_string(positional);
  } else {
    text += "from " + std::to_string(required) + " to " + std::to_string(positional);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return PyError::type_error(text);
}

PyError keyword_error(const Signature& sig, const char* format, PyObject* name) noexcept {
  return PyError::new_error(PyExc_TypeError, Ref::steal(PyUnicode_FromFormat(format, sig.full_name, name)));
}

// The parameter a keyword names, or params.size() for none: by identity
// with the interned names first, then by text.
std::size_t keyword_index(const Signature& sig, PyObject* name) {
  const std::span<const Param> params = sig.params;
  if (params.size() <= kMaxParams) {
    for (std::size_t i = 0; i < params.size(); ++i) {
      PyObject* interned = sig.interned_names[i].load(std::memory_order_acquire);
      if (interned == nullptr) {
        interned = PyUnicode_InternFromString(params[i].name);
        // Without memory for it, the text comparison below still finds it.
        if (interned == nullptr) {
          PyErr_Clear();
          break;
        }
        PyObject* expected = nullptr;
        if (!sig.interned_names[i].compare_exchange_strong(expected, interned, std::memory_order_acq_rel)) {
          Py_DECREF(interned);
          interned = expected;
        }
      }
      if (interned == name) return i;
    }
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, params[i].name) == 0) return i;
  }
  return params.size();
}

// The positional arguments are in place; the keywords follow, one call of
// `each_keyword(take)` handing every (name, value) pair to `take`.
template <class EachKeyword>
PyStatus parse(const Signature& sig, EachKeyword&& each_keyword, std::span<PyObject*> out) {
  const std::span<const Param> params = sig.params;
  std::vector<const char*> positional_only_as_keyword;
  QR_TRY(each_keyword([&](PyObject* name, PyObject* value) -> PyStatus {
    if (!PyUnicode_Check(name)) return fail(PyError::type_error("keywords must be strings"));
    const std::size_t index = keyword_index(sig, name);
    if (index == params.size()) {
      return fail(keyword_error(sig, "%s got an unexpected keyword argument '%U'", name));
    }
    if (params[index].kind == ParamKind::PositionalOnly) {
      positional_only_as_keyword.push_back(params[index].name);
      return {};
    }
    if (out[index] != nullptr) {
      return fail(keyword_error(sig, "%s got multiple values for argument '%U'", name));
    }
    out[index] = value;
    return {};
  }));
  if (!positional_only_as_keyword.empty()) {
    return fail(PyError::type_error(std::string(sig.full_name) +
                                    " got some positional-only arguments passed as keyword arguments: " +
                                    name_list(positional_only_as_keyword)));
  }

  // The common call gives every required argument: no list is made then.
  const auto is_missing = [&](std::size_t i, bool keyword_only) {
    return (params[i].kind == ParamKind::KeywordOnly) == keyword_only && params[i].required && out[i] == nullptr;
  };
  for (const bool keyword_only : {false, true}) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (is_missing(i, keyword_only)) missing.push_back(params[i].name);
    }
    if (!missing.empty()) return fail(missing_arguments(sig, keyword_only ? "keyword" : "positional", missing));
  }
  return {};
}

// Places the positional arguments, after the count check.
PyStatus place_positional(const Signature& sig, std::size_t given, std::span<PyObject*> out) {
  std::size_t positional_count = 0;
  std::size_t required_positional = 0;
  for (const Param& p : sig.params) {
    if (p.kind == ParamKind::KeywordOnly) continue;
    ++positional_count;
    if (p.required) ++required_positional;
  }
  for (PyObject*& slot : out) slot = nullptr;
  if (given > positional_count) return fail(too_many_positional(sig, positional_count, required_positional, given));
  return {};
}

}  // namespace

PyStatus parse_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        std::span<PyObject*> out) {
  const auto positional = static_cast<std::size_t>(nargs);
  QR_TRY(place_positional(signature, positional, out));
  for (std::size_t i = 0; i < positional; ++i) out[i] = args[i];
  Py_ssize_t keyword_count = 0;
  if (kwnames != nullptr) {
    keyword_count = PyTuple_Size(kwnames);
    if (keyword_count < 0) return fail(PyError::fetch());
  }
  return parse(
      signature,
      [&](auto&& take) -> PyStatus {
        for (Py_ssize_t i = 0; i < keyword_count; ++i) {
          // Keyword values follow the positional ones in the argument vector.
          QR_TRY(take(PyTuple_GetItem(kwnames, i), args[nargs + i]));
        }
        return {};
      },
      out);
}

PyStatus parse_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  Py_ssize_t count = 0;
  if (args != nullptr) {
    count = PyTuple_Size(args);
    if (count < 0) return fail(PyError::fetch());
  }
  const auto positional = static_cast<std::size_t>(count);
  QR_TRY(place_positional(signature, positional, out));
  for (std::size_t i = 0; i < positional; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  return parse(
      signature,
      [&](auto&& take) -> PyStatus {
        if (kwargs == nullptr) return {};
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) QR_TRY(take(key, value));
        return {};
      },
      out);
}

PyError not_an_instance(PyObject* object, std::string_view class_name) {
  std::string text;
  if (object == Py_None) {
    text = "'None' is not an instance of '";
  } else {
    auto name = type_name(Py_TYPE(object));
    if (!name) return std::move(name).error();
    text = "'" + *name + "' object is not an instance of '";
  }
  text += class_name;
  text += "'";
  return PyError::type_error(text);
}

PyResult<double> to_double(PyObject* object) noexcept {
  const double value = PyFloat_AsDouble(object);
  // -1.0 is also an ordinary value: only a pending exception makes it a failure.
  if (value == -1.0 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  return value;
}

PyResult<std::string_view> to_str(PyObject* object) {
  if (!PyUnicode_Check(object)) return fail(not_an_instance(object, "str"));
  return utf8_of(object);
}

PyError not_a_sequence(PyObject* object) {
  PyResult<PyObject*> abc = sequence_abc();
  if (!abc) return std::move(abc).error();
  PyResult<std::string> abc_name = type_name(reinterpret_cast<PyTypeObject*>(*abc));
  if (!abc_name) return std::move(abc_name).error();
  if (object == Py_None) return PyError::type_error("'None' is not an instance of '" + *abc_name + "'");
  PyResult<Ref> qualname = own(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) return std::move(qualname).error();
  PyResult<std::string_view> text = utf8_of(qualname->get());
  if (!text) return std::move(text).error();
  return PyError::type_error("'" + std::string(*text) + "' object is not an instance of '" + *abc_name + "'");
}

}  // namespace quillrun::py

