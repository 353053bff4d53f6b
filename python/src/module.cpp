// Entry point of quillrun_sdk._quillrun_sdk.
#include <Python.h>

namespace {

int module_exec(PyObject* module) {
  PyObject* all = PyList_New(0);
  if (all == nullptr) return -1;
  const int rc = PyModule_AddObjectRef(module, "__all__", all);
  Py_DECREF(all);
  return rc;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_quillrun_sdk", "", 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quillrun_sdk() { return PyModuleDef_Init(&g_module); }
