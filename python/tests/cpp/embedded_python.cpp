// The only file of the tests that uses the full C API: embedding needs it.
#include "embedded_python.hpp"

#include <Python.h>
#include <gtest/gtest.h>

extern "C" PyObject* PyInit__quillrun_sdk();
extern "C" PyObject* PyInit__frame_probe();

namespace quillrun::py::testing {
namespace {

// Makes `quillrun_sdk` a bare package over the source tree's folder, so its
// submodules import while the extension itself is the built-in module.
constexpr const char* kSetUp = R"py(
import sys, types
package = types.ModuleType("quillrun_sdk")
package.__path__ = [PACKAGE_DIR + "/quillrun_sdk"]
sys.modules["quillrun_sdk"] = package
)py";

class EmbeddedPython final : public ::testing::Environment {
 public:
  void SetUp() override {
    PyImport_AppendInittab("_quillrun_sdk", &PyInit__quillrun_sdk);
    PyImport_AppendInittab("_frame_probe", &PyInit__frame_probe);
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    // The interpreter finds its standard library from its own executable.
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, QR_TEST_PYTHON_EXECUTABLE);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    PyObject* main_dict = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* dir = PyUnicode_FromString(QR_TEST_PACKAGE_DIR);
    PyDict_SetItemString(main_dict, "PACKAGE_DIR", dir);
    Py_DECREF(dir);
    ASSERT_TRUE(run_python(kSetUp));
  }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new EmbeddedPython);

}  // namespace

bool run_python(const char* code) {
  PyObject* main_dict = PyModule_GetDict(PyImport_AddModule("__main__"));
  PyObject* globals = PyDict_Copy(main_dict);
  PyObject* result = PyRun_String(code, Py_file_input, globals, globals);
  Py_DECREF(globals);
  if (result == nullptr) {
    PyErr_Print();
    return false;
  }
  Py_DECREF(result);
  return true;
}

}  // namespace quillrun::py::testing
