#include "python/args.hpp"
#include "python/type_util.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace lorvane::py {

namespace {
[[noreturn]] void type_error(const std::string& message) { raise(PyExc_TypeError, message); }

[[noreturn]] void unexpected_keyword(const char* qualname, const std::string& name) {
  type_error(std::string(qualname) + "() got an unexpected keyword argument '" + name + "'");
}

std::string quoted_list(const std::vector<const char*>& names) {
  // 'a'  |  'a' and 'b'  |  'a', 'b' and 'c'
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}
}  // namespace

void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
  const Py_ssize_t nparams = static_cast<Py_ssize_t>(sig.params.size());
  const char* const* names = sig.params.begin();
  if (nargs > nparams) {
    type_error(std::string(sig.qualname) + "() takes " + std::to_string(nparams) + " positional argument" +
               (nparams == 1 ? "" : "s") + " but " + std::to_string(nargs) +
               (nargs == 1 ? " was" : " were") + " given");
  }
  for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) type_error("keywords must be strings");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (!text) throw ErrorAlreadySet{};
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
      if (static_cast<Py_ssize_t>(std::strlen(names[i])) == len && std::memcmp(names[i], text, len) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) unexpected_keyword(sig.qualname, std::string(text, len));
    if (out[slot]) {
      type_error(std::string(sig.qualname) + "() got multiple values for argument '" + names[slot] + "'");
    }
    out[slot] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    if (!out[i]) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    type_error(std::string(sig.qualname) + "() missing " + std::to_string(missing.size()) +
               " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
               quoted_list(missing));
  }
}

void refuse_keywords(const char* qualname, PyObject* kwnames) {
  if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) return;
  PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
  if (!PyUnicode_Check(key)) type_error("keywords must be strings");
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &len);
  if (!text) throw ErrorAlreadySet{};
  unexpected_keyword(qualname, std::string(text, static_cast<std::size_t>(len)));
}

Ref collect_kwargs(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 0) {
    type_error(std::string(qualname) + "() takes 0 positional arguments but " + std::to_string(nargs) +
               (nargs == 1 ? " was" : " were") + " given");
  }
  Ref dict = Ref::steal(require(PyDict_New()));
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) type_error("keywords must be strings");
    require(PyDict_SetItem(dict.get(), key, args[nargs + k]));
  }
  return dict;
}

std::string cannot_convert(PyObject* obj, const char* expected) {
  return std::string("'") + short_type_name(Py_TYPE(obj)) + "' object cannot be converted to '" + expected + "'";
}

void raise_argument_error(const char* param, const std::string& cause) {
  type_error(std::string("argument '") + param + "': " + cause);
}

void rethrow_as_argument_error(const char* param) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc && Py_TYPE(exc) == reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    Ref text = Ref::steal(PyObject_Str(exc));
    if (text) {
      Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
      if (message) {
        Ref fresh = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
        if (fresh) {
          PyException_SetCause(fresh.get(), nullptr);
          Py_DECREF(exc);
          PyErr_SetRaisedException(fresh.release());
          throw ErrorAlreadySet{};
        }
      }
    }
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
  throw ErrorAlreadySet{};
}

std::uint32_t extract_u32(PyObject* obj, const char* param) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) rethrow_as_argument_error(param);
  long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) rethrow_as_argument_error(param);
  if (v < 0 || v > 0xFFFFFFFFLL) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(v);
}

}  // namespace lorvane::py
