// Module entry point: multi-phase initialisation of "tessaline" with the classes LlmEngine and
// LlmStreamer, listed in __all__ in that order.
#include <string>

#include "engine/py_types.h"

namespace engine::py {
namespace {

// Appends `name` to the module's __all__ (creating the list if the attribute is missing), then
// sets the attribute. Returns -1 with an exception set on failure.
int add_to_module(PyObject* module, const char* name, PyObject* obj) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  if (!PyList_Check(all)) {
    set_error(PyExc_TypeError, downcast_message(all, "list"));
    Py_DECREF(all);
    return -1;
  }
  PyObject* text = PyUnicode_FromString(name);
  const int appended = text != nullptr ? PyList_Append(all, text) : -1;
  Py_XDECREF(text);
  Py_DECREF(all);
  if (appended < 0) return -1;
  return PyObject_SetAttrString(module, name, obj);
}

int module_exec_body(PyObject* module) {
  if (!PyModule_Check(module)) {
    set_error(PyExc_TypeError, downcast_message(module, "module"));
    return -1;
  }
  PyTypeObject* engine = engine_type();
  if (engine == nullptr) return -1;
  if (add_to_module(module, "LlmEngine", reinterpret_cast<PyObject*>(engine)) < 0) return -1;
  PyTypeObject* streamer = streamer_type();
  if (streamer == nullptr) return -1;
  if (add_to_module(module, "LlmStreamer", reinterpret_cast<PyObject*>(streamer)) < 0) return -1;
  return 0;
}

int module_exec(PyObject* module) {
  return guarded([&] { return module_exec_body(module); }, -1);
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_gil
                                   {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
                                   {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "tessaline",
                          "",  // __doc__ is the empty string
                          0,
                          nullptr,
                          module_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace
}  // namespace engine::py

PyMODINIT_FUNC PyInit_tessaline(void) { return PyModuleDef_Init(&engine::py::module_def); }
