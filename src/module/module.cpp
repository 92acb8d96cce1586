// The module's entry point: builds `Lorvane` and registers, in this order,
// sum_as_string, Index, Indexable, FilteredIndex and PyQueryExpr.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "bindings/char_escape.hpp"
#include "bindings/filtered_index.hpp"
#include "bindings/index.hpp"
#include "bindings/indexable.hpp"
#include "bindings/query_expr.hpp"
#include "python/args.hpp"
#include "python/error.hpp"
#include "python/huge_arenas.hpp"
#include "python/ref.hpp"

namespace lorvane {
namespace {

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // created once; lives until the process ends

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded<PyObject*>(nullptr, [&] {
    PyObject* bound[2];
    py::bind_args({"sum_as_string", {"a", "b"}}, args, nargs, kwnames, bound);
    std::uint32_t a = py::extract_u32(bound[0], "a");
    std::uint32_t b = py::extract_u32(bound[1], "b");
    std::uint32_t sum = a + b;  // wraps modulo 2^32
    return PyUnicode_FromString(std::to_string(sum).c_str());
  });
}

PyMethodDef module_methods[] = {
    {"sum_as_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sum_as_string)),
     METH_FASTCALL | METH_KEYWORDS,
     "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Lorvane",
    "In-memory, queryable indexes of live Python objects.",
    // 0, not -1: with -1 the interpreter never calls PyInit_Lorvane again. It
    // re-creates the module from a copy of its first dict on a re-import
    // (a new module object) and in another interpreter (skipping the refusal).
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

using TypeFactory = PyObject* (*)();

PyObject* init() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Lorvane does not support sub-interpreters: it was already initialised in another "
                    "interpreter of this process");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);
  // Before any object of ours is made: the arenas they land in come from it.
  install_huge_arenas();
  py::Ref module = py::Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  // Methods are registered through the definition so they are bound to the module.
  if (PyModule_AddFunctions(module.get(), module_methods) < 0) return nullptr;
  struct Registration {
    const char* name;
    TypeFactory make;
  };
  const Registration classes[] = {
      {"Index", create_index_type},
      {"Indexable", create_indexable_type},
      {"FilteredIndex", create_filtered_index_type},
      {"PyQueryExpr", create_query_expr_type},
  };
  for (const Registration& r : classes) {
    PyObject* type = r.make();
    if (!type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), r.name, type) < 0) {
      Py_DECREF(type);
      return nullptr;
    }
    Py_DECREF(type);
  }
  try {
    // Printed text escapes by the interpreter's Unicode database.
    install_char_escape_test();
  } catch (const py::ErrorAlreadySet&) {
    return nullptr;
  }
  g_module = module.release();
  return Py_NewRef(g_module);
}

}  // namespace
}  // namespace lorvane

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_Lorvane() { return lorvane::init(); }
