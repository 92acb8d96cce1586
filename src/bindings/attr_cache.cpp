#include "bindings/attr_cache.hpp"

#include <string_view>

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

}  // namespace lorvane
