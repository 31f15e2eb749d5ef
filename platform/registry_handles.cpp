// The table of open registry key handles. A handle is the address of its own entry, so
// it never collides with the platform's other handles, and is checked against the
// table before use.
#include "registry_handles.h"

#include <mutex>
#include <set>

#include "ntplatform.h"
#include "registry_internal.h"

namespace ntp::reg {
namespace {

struct KeyHandle {
  std::u16string rel;
  uint32_t access;
};

std::mutex gHandleMutex;
std::set<KeyHandle*> gHandles;

}  // namespace

HANDLE NewKeyHandle(const std::u16string& rel, uint32_t access) {
  std::lock_guard lock(gHandleMutex);
  auto* h = new KeyHandle{rel, access};
  gHandles.insert(h);
  return h;
}

bool LookupKeyHandle(HANDLE h, std::u16string* rel, uint32_t* access) {
  std::lock_guard lock(gHandleMutex);
  auto it = gHandles.find(static_cast<KeyHandle*>(h));
  if (it == gHandles.end()) return false;
  if (rel) *rel = (*it)->rel;
  if (access) *access = (*it)->access;
  return true;
}

bool CloseKeyHandle(HANDLE h) {
  std::lock_guard lock(gHandleMutex);
  auto it = gHandles.find(static_cast<KeyHandle*>(h));
  if (it == gHandles.end()) return false;
  delete *it;
  gHandles.erase(it);
  return true;
}

void ClearKeyHandles() {
  std::lock_guard lock(gHandleMutex);
  for (auto* h : gHandles) delete h;
  gHandles.clear();
}

uint32_t GrantedAccess(uint32_t requested) {
  constexpr uint32_t kMaximumAllowed = 0x02000000u, kGenericAll = 0x10000000u;
  uint32_t granted = requested & 0x00FFFFFFu;
  if (requested & (kMaximumAllowed | kGenericAll)) granted |= KEY_ALL_ACCESS;
  if (requested & GENERIC_READ) granted |= KEY_READ;
  if (requested & GENERIC_WRITE) granted |= KEY_WRITE;
  return granted;
}

}  // namespace ntp::reg
