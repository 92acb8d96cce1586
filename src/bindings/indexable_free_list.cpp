#include "bindings/indexable_free_list.hpp"

#include <mutex>
#include <vector>

#include "base/tuning.hpp"

namespace lorvane {

namespace {

std::mutex g_free_mutex;
std::vector<void*>* g_free_list = nullptr;  // created on first use

}  // namespace

void* pop_free_indexable() {
  std::lock_guard<std::mutex> lock(g_free_mutex);
  if (!g_free_list || g_free_list->empty()) return nullptr;
  void* p = g_free_list->back();
  g_free_list->pop_back();
  return p;
}

bool push_free_indexable(void* p) {
  std::lock_guard<std::mutex> lock(g_free_mutex);
  if (!g_free_list) {
    g_free_list = new std::vector<void*>();
    g_free_list->reserve(tuning::kIndexableFreeList);
  }
  if (g_free_list->size() >= tuning::kIndexableFreeList) return false;
  g_free_list->push_back(p);
  return true;
}

}  // namespace lorvane
