// Entry point of quillrun_sdk._quillrun_sdk: the module definition and its
// execution, which registers the classes and functions.

#include <Python.h>

#include <initializer_list>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "classes/classes.hpp"
#include "runtime/errors.hpp"
#include "runtime/frame.hpp"
#include "functions.hpp"
#include "bridge/logging_bridge.hpp"
#include "classes/nav_file.hpp"
#include "classes/nav_file_builder.hpp"
#include "runtime/ref.hpp"
#include "classes/sequence_views.hpp"

namespace quillrun::py {
namespace {

// One Class<Payload> object per class, in the registration order listed in
// classes.hpp.
const std::initializer_list<ClassBase*> kClasses = {
    &g_satellite,
    &g_satellite_report,
    &g_unit,
    &g_channel_unit,
    &g_channel,
    &g_nav_fix,
    &g_annotation,
    &g_meta,
    &g_nav_point,
    &g_marker,
    &g_event_marker,
    &g_event_marker_style,
    &g_event_marker_point,
    &g_nav_point_sequence,
    &g_nav_point_iterator,
    &g_marker_sequence,
    &g_marker_iterator,
    &g_event_marker_point_sequence,
    &g_event_marker_point_iterator,
    &g_channel_sequence,
    &g_channel_iterator,
    &g_event_marker_style_sequence,
    &g_event_marker_style_iterator,
    &g_nav_file,
    &nav_file_builder_class(),
};

// Appends `name` to the module's `__all__` (made on first use), then binds
// the name, so that `__all__` lists every name in registration order.
PyStatus register_name(PyObject* module, PyObject* name, PyObject* object) {
  PyObject* found = PyObject_GetAttrString(module, "__all__");
  Ref all;
  if (found != nullptr) {
    all = Ref::steal(found);
  } else {
    PyError err = PyError::fetch();
    if (!err.matches(PyExc_AttributeError)) return fail(std::move(err));
    QR_ASSIGN_OR_RETURN(all, own(PyList_New(0)));
    QR_TRY(check(PyObject_SetAttrString(module, "__all__", all.get())));
  }
  if (!PyList_Check(all.get())) return fail(not_an_instance(all.get(), "list"));
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    return fail(PyError::panic("could not append __name__ to __all__"));
  }
  return check(PyObject_SetAttr(module, name, object));
}

PyStatus add_class(PyObject* module, ClassBase& cls) {
  QR_ASSIGN_OR_RETURN(PyTypeObject * type, cls.type());
  const std::string_view name_text = cls.name();
  QR_ASSIGN_OR_RETURN(Ref name, own(PyUnicode_FromStringAndSize(name_text.data(),
                                                                static_cast<Py_ssize_t>(name_text.size()))));
  return register_name(module, name.get(), reinterpret_cast<PyObject*>(type));
}

PyStatus add_function(PyObject* module, PyObject* module_name, PyMethodDef& definition) {
  QR_ASSIGN_OR_RETURN(Ref function, own(PyCFunction_NewEx(&definition, module, module_name)));
  QR_ASSIGN_OR_RETURN(Ref name, own(PyObject_GetAttrString(function.get(), "__name__")));
  if (!PyUnicode_Check(name.get())) return fail(not_an_instance(name.get(), "str"));
  return register_name(module, name.get(), function.get());
}

PyStatus module_exec(PyObject* module) {
  if (!PyModule_Check(module)) return fail(not_an_instance(module, "module"));
  // The type objects and once-made objects are shared by the whole process;
  // a sub-interpreter would reach objects of another interpreter through them.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    return fail(PyError::new_error(PyExc_ImportError, "_quillrun_sdk can only be imported in the main interpreter"));
  }

  install_logging_bridge();

  for (ClassBase* cls : kClasses) QR_TRY(add_class(module, *cls));

  QR_ASSIGN_OR_RETURN(Ref module_name, own(PyModule_GetNameObject(module)));
  for (PyMethodDef& definition : module_functions()) QR_TRY(add_function(module, module_name.get(), definition));
  return {};
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, as_slot(&exec_entry<module_exec>)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_quillrun_sdk",
    "",  // an empty docstring, not none
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillrun::py

PyMODINIT_FUNC PyInit__quillrun_sdk() { return PyModuleDef_Init(&quillrun::py::g_module); }
