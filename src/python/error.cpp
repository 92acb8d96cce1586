#include "python/error.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace lorvane::py {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw ErrorAlreadySet{};
}

void raise(PyObject* type, const std::string& message) { raise(type, message.c_str()); }

bool passes_through(PyObject* exc) {
  return !PyErr_GivenExceptionMatches(exc, PyExc_Exception) ||
         PyErr_GivenExceptionMatches(exc, PyExc_MemoryError) ||
         PyErr_GivenExceptionMatches(exc, PyExc_RecursionError);
}

std::string take_error_text(bool traceback) {
  throw_if_passes_through();
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return "unknown error";
  std::string text = error_text(exc, traceback);
  Py_DECREF(exc);
  return text;
}

std::string error_text(PyObject* exc, bool traceback) {
  std::string text;
  auto utf8 = [&](PyObject* s) {
    if (const char* c = s ? PyUnicode_AsUTF8(s) : nullptr) text = c;
    Py_XDECREF(s);
  };
  if (traceback) {
    if (PyObject* module = PyImport_ImportModule("traceback")) {
      PyObject* lines = PyObject_CallMethod(module, "format_exception", "O", exc);
      PyObject* empty = lines ? PyUnicode_FromString("") : nullptr;
      utf8(empty ? PyUnicode_Join(empty, lines) : nullptr);
      Py_XDECREF(empty);
      Py_XDECREF(lines);
      Py_DECREF(module);
    }
  }
  if (text.empty()) {
    utf8(PyObject_Str(exc));
    text = std::string(Py_TYPE(exc)->tp_name) + ": " + text;
  }
  PyErr_Clear();  // whatever formatting it raised
  return text;
}

PyObject* panic_exception_type() {
  // Created under the interpreter lock on first use and kept for the life of
  // the process (never freed, so it can be raised during shutdown too).
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when the module hits an internal error (a broken invariant).\n\n"
        "Derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void set_internal_error(const char* message) {
  PyObject* type = panic_exception_type();
  if (!type) {
    // A second failure while reporting the first: nothing sound is left to do.
    std::fputs("Lorvane: cannot create the internal-error exception\n", stderr);
    std::abort();
  }
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                        "replace");
  if (!text) {
    std::fputs("Lorvane: cannot report an internal error\n", stderr);
    std::abort();
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void raise_internal_error(const std::string& message, PyObject* cause) {
  set_internal_error(message.c_str());
  PyObject* exc = PyErr_GetRaisedException();
  PyException_SetCause(exc, Py_NewRef(cause));  // steals the new reference
  PyErr_SetRaisedException(exc);
  throw ErrorAlreadySet{};
}

namespace {

// An allocation failed: MemoryError while the call has changed nothing yet,
// so that the caller may free memory and go on; the end of the process once
// it has begun a change that cannot be put back.
void out_of_memory() noexcept {
  if (detail::t_irreversible) {
    std::fputs("Lorvane: out of memory in the middle of a change that cannot be undone\n", stderr);
    std::abort();
  }
  PyErr_NoMemory();
}

}  // namespace

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const InternalError& e) {
    set_internal_error(e.what());
  } catch (const std::bad_alloc&) {
    out_of_memory();
  } catch (const std::length_error&) {
    out_of_memory();  // a container asked for more than it can ever hold
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "Lorvane: unexpected C++ exception: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "Lorvane: unexpected C++ exception");
  }
}

}  // namespace lorvane::py
