// placeholder, replaced by the module definition
#include <Python.h>
static PyModuleDef_Slot slots[] = {{0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_vorl", "x", 0, nullptr, slots, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__vorl(void) { return PyModuleDef_Init(&def); }
