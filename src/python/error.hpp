// Errors at the edge between C++ and the interpreter.
//
// Inside the module, failures travel as C++ exceptions:
//  - ErrorAlreadySet: a Python exception is already set (the C API returned
//    NULL or -1); require() throws it.
//  - InternalError (base/internal_error.hpp): a broken invariant; becomes the
//    internal-error exception (qualified name "pyo3_runtime.PanicException",
//    derived directly from BaseException).
//  - std::bad_alloc: memory ran out; becomes MemoryError, unless the call
//    has begun a change it cannot put back part-way
//    (begin_irreversible_change): then the process ends.
// Every entry point called by the interpreter runs its body through guarded(),
// the one place where C++ exceptions stop: nothing crosses into Python.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "base/internal_error.hpp"
#include "python/gil.hpp"

namespace lorvane::py {

struct ErrorAlreadySet {};

template <typename T>
inline T* require(T* p) {
  if (!p) [[unlikely]] throw ErrorAlreadySet{};
  return p;
}
inline int require(int rc) {
  if (rc == -1) [[unlikely]] throw ErrorAlreadySet{};
  return rc;
}

// Sets a Python exception and throws ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Whether an error must reach the caller unchanged where the system otherwise
// absorbs a failed call (a value's failed __hash__ hashes as 0, a keyword
// value that cannot be iterated stands for itself): an interrupt or exit (a
// BaseException outside Exception), exhausted memory, exhausted recursion.
// These say something about the process, not about the value being read.
// `exc` is an exception instance or class. The one place this is decided.
bool passes_through(PyObject* exc);

// Throws ErrorAlreadySet, leaving the error set, when the error now set passes
// through; returns otherwise (also when no error is set).
inline void throw_if_passes_through() {
  PyObject* type = PyErr_Occurred();
  if (type && passes_through(type)) throw ErrorAlreadySet{};
}

// The Python error now set, as text, and cleared: "Type: message", or with
// `traceback` the whole formatted exception. An error that passes through is
// thrown as it is instead (left set).
std::string take_error_text(bool traceback = false);

// The exception instance `exc` as take_error_text() words it. Leaves no error set.
std::string error_text(PyObject* exc, bool traceback);

// The internal-error exception class, created once per process.
PyObject* panic_exception_type();

// Sets the internal-error exception with `message` as its argument.
void set_internal_error(const char* message);

// Sets the internal-error exception with `message`, and `cause` (an exception
// instance, borrowed) as its __cause__, then throws ErrorAlreadySet. For a
// failure that a user's own exception started: it stays reachable.
[[noreturn]] void raise_internal_error(const std::string& message, PyObject* cause);

namespace detail {
// Whether the entry point running on this thread has begun a change it cannot
// undo (begin_irreversible_change); saved and cleared by guarded().
[[gnu::tls_model("initial-exec")]] inline thread_local bool t_irreversible = false;
}  // namespace detail

// Marks the running entry point as changing live state (an index's tables,
// the cores an object is recorded in, a published attribute) in a way that
// cannot be put back once begun: from here until it returns, running out of
// memory ends the process instead of raising MemoryError, because a change
// stopped half-way would leave indexes that disagree with their objects.
// Before the mark, a call has changed nothing and exhausted memory raises.
inline void begin_irreversible_change() noexcept { detail::t_irreversible = true; }

// Converts the exception in flight into a Python error (called in a catch block).
void translate_current_exception() noexcept;

// Runs `body` as an interpreter entry point: drains queued releases first and
// turns every C++ exception into a Python exception, returning `error_value`.
// Each entry point starts unmarked, and a call made from Python code that an
// outer one runs gets a mark of its own.
template <typename R, typename F>
inline R guarded(R error_value, F&& body) noexcept {
  drain_deferred_releases();
  const bool outer = std::exchange(detail::t_irreversible, false);
  try {
    R result = body();
    detail::t_irreversible = outer;
    return result;
  } catch (...) {
    translate_current_exception();
    detail::t_irreversible = outer;
    return error_value;
  }
}

}  // namespace lorvane::py
