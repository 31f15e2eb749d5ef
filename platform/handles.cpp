// The shared handle table.
#include "handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace ntp {

namespace {
std::mutex g_mutex;
std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> g_table;
uintptr_t g_next = 0x100;
}  // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> object) {
  if (!object) return nullptr;
  std::lock_guard<std::mutex> lock(g_mutex);
  uintptr_t value = g_next;
  g_next += 4;
  g_table.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> ReferenceHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
  return it == g_table.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle) {
  std::shared_ptr<HandleObject> object;  // released after the table lock is dropped
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_table.end()) return false;
    object = std::move(it->second);
    g_table.erase(it);
  }
  return true;
}

size_t OpenHandleCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_table.size();
}

}  // namespace ntp
