#include "bindings/attr_cache.hpp"

#include <cstdint>
#include <string_view>
#include <utility>

#include "python/error.hpp"

namespace lorvane {

namespace detail {
AttrCacheEntry g_attr_cache[kAttrCacheMask + 1];

AttrLookup lookup_attr_slow(const Shape* shape, PyObject* name) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &len);
  if (!text) throw py::ErrorAlreadySet{};
  const std::string_view view(text, static_cast<std::size_t>(len));
  const AttrName* attr = AttrName::intern(view);
  const int slot = shape->find(attr);
  AttrCacheEntry& e = g_attr_cache[attr_cache_index(shape->tag(), name)];
  PyObject* old_name = e.name;
  const AttrName* old_attr = e.attr;
  e.tag = shape->tag();
  e.slot = slot;
  e.name = Py_NewRef(name);
  e.attr = attr;
  if (old_attr) old_attr->release();
  Py_XDECREF(old_name);  // CAUTION: a str's deallocation runs no Python code
  return {slot, attr};
}
}  // namespace detail

namespace {
struct NameStrEntry {
  const AttrName* attr = nullptr;
  PyObject* str = nullptr;
};
NameStrEntry g_name_strs[std::size_t{1} << tuning::kNameStrCacheBits];
}  // namespace

PyObject* attr_name_str(const AttrName* name) {
  const auto p = reinterpret_cast<std::uintptr_t>(name);
  NameStrEntry& e = g_name_strs[((p >> 4) ^ (p >> 12)) & ((std::size_t{1} << tuning::kNameStrCacheBits) - 1)];
  if (e.attr == name) [[likely]] return e.str;
  const std::string_view text = name->view();
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  if (!str) throw py::ErrorAlreadySet{};
  PyUnicode_InternInPlace(&str);
  name->acquire();
  const AttrName* old_attr = std::exchange(e.attr, name);
  PyObject* old_str = std::exchange(e.str, str);
  if (old_attr) old_attr->release();
  Py_XDECREF(old_str);  // CAUTION: a str's deallocation runs no Python code
  return str;
}

}  // namespace lorvane
