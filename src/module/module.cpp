#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "Lorvane", "placeholder", -1, nullptr};
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_Lorvane() { return PyModule_Create(&def); }
