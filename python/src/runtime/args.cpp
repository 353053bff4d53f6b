#include "runtime/args.hpp"

#include <vector>

#include "runtime/once.hpp"

namespace quillrun::py {
namespace {

// collections.abc.Sequence, which names what a list argument must be.
PyResult<PyObject*> sequence_abc() {
  static OnceCell cell;
  return cell.get_or_init([]() -> PyResult<Ref> {
    QR_ASSIGN_OR_RETURN(Ref abc, own(PyImport_ImportModule("collections.abc")));
    return own(PyObject_GetAttrString(abc.get(), "Sequence"));
  });
}

struct KeywordArg {
  PyObject* name;
  PyObject* value;
};

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

PyStatus parse(const Signature& sig, std::span<PyObject* const> positional, std::span<const KeywordArg> keywords,
               std::span<PyObject*> out) {
  const std::span<const Param> params = sig.params;
  std::size_t positional_count = 0;
  std::size_t required_positional = 0;
  for (const Param& p : params) {
    if (p.kind == ParamKind::KeywordOnly) continue;
    ++positional_count;
    if (p.required) ++required_positional;
  }
  for (PyObject*& slot : out) slot = nullptr;

  if (positional.size() > positional_count) {
    return fail(too_many_positional(sig, positional_count, required_positional, positional.size()));
  }
  for (std::size_t i = 0; i < positional.size(); ++i) out[i] = positional[i];

  std::vector<const char*> positional_only_as_keyword;
  for (const KeywordArg& kw : keywords) {
    if (!PyUnicode_Check(kw.name)) return fail(PyError::type_error("keywords must be strings"));
    std::size_t index = params.size();
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(kw.name, params[i].name) == 0) {
        index = i;
        break;
      }
    }
    if (index == params.size()) {
      return fail(keyword_error(sig, "%s got an unexpected keyword argument '%U'", kw.name));
    }
    if (params[index].kind == ParamKind::PositionalOnly) {
      positional_only_as_keyword.push_back(params[index].name);
      continue;
    }
    if (out[index] != nullptr) {
      return fail(keyword_error(sig, "%s got multiple values for argument '%U'", kw.name));
    }
    out[index] = kw.value;
  }
  if (!positional_only_as_keyword.empty()) {
    return fail(PyError::type_error(std::string(sig.full_name) +
                                    " got some positional-only arguments passed as keyword arguments: " +
                                    name_list(positional_only_as_keyword)));
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].kind != ParamKind::KeywordOnly && params[i].required && out[i] == nullptr) {
      missing.push_back(params[i].name);
    }
  }
  if (!missing.empty()) return fail(missing_arguments(sig, "positional", missing));
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].kind == ParamKind::KeywordOnly && params[i].required && out[i] == nullptr) {
      missing.push_back(params[i].name);
    }
  }
  if (!missing.empty()) return fail(missing_arguments(sig, "keyword", missing));
  return {};
}

}  // namespace

PyStatus parse_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        std::span<PyObject*> out) {
  const auto positional_count = static_cast<std::size_t>(nargs);
  std::vector<KeywordArg> keywords;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    if (count < 0) return fail(PyError::fetch());
    keywords.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      // Keyword values follow the positional ones in the argument vector.
      keywords.push_back(KeywordArg{PyTuple_GetItem(kwnames, i), args[nargs + i]});
    }
  }
  return parse(signature, std::span<PyObject* const>(args, positional_count), keywords, out);
}

PyStatus parse_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  std::vector<PyObject*> positional;
  if (args != nullptr) {
    const Py_ssize_t count = PyTuple_Size(args);
    if (count < 0) return fail(PyError::fetch());
    positional.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) positional.push_back(PyTuple_GetItem(args, i));
  }
  std::vector<KeywordArg> keywords;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) keywords.push_back(KeywordArg{key, value});
  }
  return parse(signature, positional, keywords, out);
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

