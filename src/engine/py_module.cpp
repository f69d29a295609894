// Module entry point (placeholder until the Python surface lands): an importable, empty module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef tessaline_def = {PyModuleDef_HEAD_INIT, "tessaline", "", 0, nullptr,
                                    nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_tessaline(void) { return PyModuleDef_Init(&tessaline_def); }
