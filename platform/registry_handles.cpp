// Registry key handles live in the platform's shared handle table, so NtClose closes
// them like any other handle; RegCloseKey closes only keys.
#include "registry_handles.h"

#include "handles.h"
#include "ntplatform.h"
#include "registry_internal.h"

namespace ntp::reg {
namespace {

struct KeyObject : HandleObject {
  KeyObject(std::u16string r, uint32_t a) : rel(std::move(r)), access(a) {}
  std::u16string rel;  // path below the machine root
  uint32_t access;     // granted access
};

}  // namespace

HANDLE NewKeyHandle(const std::u16string& rel, uint32_t access) {
  return InsertHandle(std::make_shared<KeyObject>(rel, access));
}

bool LookupKeyHandle(HANDLE h, std::u16string* rel, uint32_t* access) {
  auto key = ReferenceHandleAs<KeyObject>(h);
  if (!key) return false;
  if (rel) *rel = key->rel;
  if (access) *access = key->access;
  return true;
}

bool CloseKeyHandle(HANDLE h) {
  if (!ReferenceHandleAs<KeyObject>(h)) return false;
  return RemoveHandle(h);
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
