// The Win32 registry calls over the machine's registry store. HKEY_LOCAL_MACHINE is
// the store's root; other keys are the same handles the native calls hand out.
#include <cstring>

#include "faults.h"
#include "ntplatform.h"
#include "registry_handles.h"
#include "registry_internal.h"
#include "registry_store.h"

namespace {

// The path and access of an HKEY; the predefined root grants everything.
LSTATUS KeyFor(HKEY key, std::u16string* rel, uint32_t* access) {
  if (key == HKEY_LOCAL_MACHINE) {
    rel->clear();
    *access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  return ntp::reg::LookupKeyHandle(key, rel, access) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS ToError(NTSTATUS st) {
  switch (st) {
    case STATUS_SUCCESS:
      return ERROR_SUCCESS;
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_NOT_FOUND:
      return ERROR_FILE_NOT_FOUND;
    case STATUS_ACCESS_DENIED:
      return ERROR_ACCESS_DENIED;
    case STATUS_INVALID_HANDLE:
      return ERROR_INVALID_HANDLE;
    case STATUS_NO_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_OBJECT_NAME_INVALID:
    case STATUS_INVALID_PARAMETER:
      return ERROR_INVALID_PARAMETER;
    default:
      return 1015;  // ERROR_REGISTRY_CORRUPT: the store itself failed
  }
}

std::u16string Str(PCWSTR s) { return s ? std::u16string(s) : std::u16string(); }

bool Fault(const char* function, LSTATUS* error) {
  uint32_t injected = 0;
  if (!ntp::ShouldFail(function, &injected)) return false;
  *error = LSTATUS(injected);
  return true;
}

// An injected fault on a call that writes stands for a store that could not write: it
// is recorded with the store's own write failures.
bool WriteFault(const char* function, LSTATUS* status) {
  if (!Fault(function, status)) return false;
  ntp::reg::NoteWriteFailure(std::string(function) + ": injected fault");
  return true;
}

}  // namespace

extern "C" {

LSTATUS RegOpenKeyExW(HKEY key, PCWSTR subKey, DWORD /*options*/, ACCESS_MASK access, HKEY* result) {
  LSTATUS err;
  if (Fault("RegOpenKeyExW", &err)) return err;
  if (!result) return ERROR_INVALID_PARAMETER;
  std::u16string base, rel;
  uint32_t baseAccess = 0;
  if ((err = KeyFor(key, &base, &baseAccess)) != ERROR_SUCCESS) return err;
  NTSTATUS st = ntp::reg::JoinPath(base, Str(subKey), &rel);
  if (NT_SUCCESS(st)) st = ntp::reg::KeyExists(rel);
  if (!NT_SUCCESS(st)) return ToError(st);
  *result = ntp::reg::NewKeyHandle(rel, ntp::reg::GrantedAccess(access));
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, PCWSTR valueName, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                         DWORD* dataSize) {
  LSTATUS err;
  if (Fault("RegQueryValueExW", &err)) return err;
  std::u16string rel;
  uint32_t access = 0;
  if ((err = KeyFor(key, &rel, &access)) != ERROR_SUCCESS) return err;
  if ((access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  uint32_t t = 0;
  std::vector<uint8_t> bytes;
  NTSTATUS st = ntp::reg::ValueGet(rel, Str(valueName), &t, &bytes);
  if (!NT_SUCCESS(st)) return ToError(st);
  if (type) *type = t;
  if (!dataSize) return ERROR_SUCCESS;
  DWORD room = *dataSize;
  *dataSize = DWORD(bytes.size());
  if (!data) return ERROR_SUCCESS;  // size query
  if (room < bytes.size()) return ERROR_MORE_DATA;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, PCWSTR subKey, DWORD /*reserved*/, PWSTR className, DWORD /*options*/,
                        ACCESS_MASK access, SECURITY_ATTRIBUTES* /*security*/, HKEY* result,
                        DWORD* disposition) {
  LSTATUS err;
  if (WriteFault("RegCreateKeyExW", &err)) return err;
  if (!result) return ERROR_INVALID_PARAMETER;
  std::u16string base, rel;
  uint32_t baseAccess = 0;
  if ((err = KeyFor(key, &base, &baseAccess)) != ERROR_SUCCESS) return err;
  NTSTATUS st = ntp::reg::JoinPath(base, Str(subKey), &rel);
  if (!NT_SUCCESS(st)) return ToError(st);
  // Unlike the native call, every missing key on the way is created.
  std::u16string cls = Str(className);
  bool created = false;
  st = ntp::reg::KeyCreate(rel, className ? &cls : nullptr, true, &created);
  if (!NT_SUCCESS(st)) return ToError(st);
  *result = ntp::reg::NewKeyHandle(rel, ntp::reg::GrantedAccess(access));
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, PCWSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data,
                       DWORD dataSize) {
  LSTATUS err;
  if (WriteFault("RegSetValueExW", &err)) return err;
  std::u16string rel;
  uint32_t access = 0;
  if ((err = KeyFor(key, &rel, &access)) != ERROR_SUCCESS) return err;
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (!data && dataSize > 0) return ERROR_INVALID_PARAMETER;
  return ToError(ntp::reg::ValuePut(rel, Str(valueName), type, data, dataSize));
}

LSTATUS RegCloseKey(HKEY key) {
  LSTATUS err;
  if (Fault("RegCloseKey", &err)) return err;
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  return ntp::reg::CloseKeyHandle(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"
