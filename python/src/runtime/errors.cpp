#include "runtime/errors.hpp"

#include "runtime/once.hpp"

namespace quillrun::py {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the module's own native code fails.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way up and ends the interpreter.";

// Made the first time one is raised and kept for the process; deliberately
// not an attribute of the module.
PyResult<PyObject*> panic_exception_type() {
  static OnceCell cell;
  return cell.get_or_init([]() -> PyResult<Ref> {
    return own(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
  });
}

Ref text_object(std::string_view text) noexcept {
  // "replace": a message must never fail to become a str.
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace

PyError PyError::fetch() noexcept {
  if (PyObject* raised = PyErr_GetRaisedException()) return PyError(Ref::steal(raised));
  return new_error(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyError PyError::new_error(PyObject* type, std::string_view message) noexcept {
  Ref text = text_object(message);
  if (!text) return fetch();
  return new_error(type, std::move(text));
}

PyError PyError::new_error(PyObject* type, Ref message) noexcept {
  if (!message) return fetch();
  PyObject* exception = PyObject_CallFunctionObjArgs(type, message.get(), nullptr);
  if (exception == nullptr) return fetch();
  return PyError(Ref::steal(exception));
}

PyError PyError::new_error_from(PyObject* type, std::string_view message, PyError cause) noexcept {
  PyError err = new_error(type, message);
  // SetCause steals the reference.
  PyException_SetCause(err.value(), cause.exception_.release());
  return err;
}

PyError PyError::no_memory() noexcept {
  PyErr_NoMemory();
  return fetch();
}

PyError PyError::panic(std::string_view message) noexcept {
  PyResult<PyObject*> type = [] {
    try {
      return panic_exception_type();
    } catch (...) {
      return PyResult<PyObject*>(fail(PyError::no_memory()));
    }
  }();
  if (!type) return std::move(type).error();
  return new_error(*type, message);
}

bool PyError::matches(PyObject* type) const noexcept {
  return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
}

void PyError::restore() && noexcept { PyErr_SetRaisedException(exception_.release()); }

void PyError::add_note(std::string_view note) noexcept {
  static Interned add_note_name("add_note");
  PendingExceptionGuard keep;  // nothing pending must be lost or replaced here
  PyResult<PyObject*> name = [] {
    try {
      return add_note_name.get();
    } catch (...) {
      return PyResult<PyObject*>(fail(PyError::no_memory()));
    }
  }();
  if (!name) return;
  Ref text = text_object(note);
  if (!text) return;
  PyObject* args[] = {exception_.get(), text.get()};
  Ref result = Ref::steal(
      PyObject_VectorcallMethod(*name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  PyErr_Clear();
}

bool is_fatal_exception(const PyError& err) noexcept {
  return err.matches(PyExc_KeyboardInterrupt) || err.matches(PyExc_SystemExit) || err.matches(PyExc_MemoryError);
}

std::string describe(const PyError& err) {
  PendingExceptionGuard keep;
  std::string text;
  if (auto name = type_name(Py_TYPE(err.value()))) {
    text = std::move(name).value();
  } else {
    text = "<unknown exception type>";
  }
  text += ": ";
  Ref str = Ref::steal(PyObject_Str(err.value()));
  PyResult<std::string_view> utf8 = str ? utf8_of(str.get()) : PyResult<std::string_view>(fail(PyError::fetch()));
  if (utf8) {
    text += *utf8;
  } else {
    text += "<exception str() failed>";
  }
  PyErr_Clear();
  return text;
}

void write_unraisable(PyError err, PyObject* context) noexcept {
  PendingExceptionGuard keep;
  std::move(err).restore();
  PyErr_WriteUnraisable(context);
}

PyResult<std::string_view> utf8_of(PyObject* str) noexcept {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return fail(PyError::fetch());
  return std::string_view(data, static_cast<std::size_t>(size));
}

PyResult<std::string> type_name(PyTypeObject* type) {
  QR_ASSIGN_OR_RETURN(Ref name, own(PyType_GetName(type)));
  QR_ASSIGN_OR_RETURN(std::string_view text, utf8_of(name.get()));
  return std::string(text);
}

}  // namespace quillrun::py
