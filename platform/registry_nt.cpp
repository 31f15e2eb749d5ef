// The native registry calls over the machine's registry store.
#include <cstring>

#include "faults.h"
#include "ntplatform.h"
#include "registry_internal.h"
#include "registry_store.h"

namespace {

using ntp::reg::LookupKeyHandle;

// A counted string as a std::u16string; false when it is malformed.
bool FromCounted(const UNICODE_STRING* s, std::u16string* out) {
  out->clear();
  if (!s || s->Length == 0) return true;
  if (s->Length % 2 != 0 || !s->Buffer) return false;
  out->assign(s->Buffer, s->Length / 2);
  return true;
}

// The key named by object attributes: an absolute path, or a path relative to an open
// key given as the root directory.
NTSTATUS Resolve(const OBJECT_ATTRIBUTES* attrs, std::u16string* rel) {
  if (!attrs) return STATUS_INVALID_PARAMETER;
  std::u16string name;
  if (!FromCounted(attrs->ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;
  if (attrs->RootDirectory) {
    std::u16string base;
    if (!LookupKeyHandle(attrs->RootDirectory, &base, nullptr)) return STATUS_INVALID_HANDLE;
    if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
    return ntp::reg::JoinPath(base, name, rel);
  }
  if (!attrs->ObjectName) return STATUS_INVALID_PARAMETER;
  return ntp::reg::CanonicalPath(name, rel);
}

// The open key behind a handle, when it grants the needed access.
NTSTATUS KeyFor(HANDLE key, uint32_t needed, std::u16string* rel) {
  uint32_t access = 0;
  if (!LookupKeyHandle(key, rel, &access)) return STATUS_INVALID_HANDLE;
  if ((access & needed) != needed) return STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

bool Fault(const char* function, NTSTATUS* status) {
  uint32_t injected = 0;
  if (!ntp::ShouldFail(function, &injected)) return false;
  *status = NTSTATUS(injected);
  return true;
}

// An injected fault on a call that writes stands for a store that could not write: it
// is recorded with the store's own write failures.
bool WriteFault(const char* function, NTSTATUS* status) {
  if (!Fault(function, status)) return false;
  ntp::reg::NoteWriteFailure(std::string(function) + ": injected fault");
  return true;
}

}  // namespace

extern "C" {

NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attrs, ULONG /*titleIndex*/,
                     PUNICODE_STRING className, ULONG /*createOptions*/, ULONG* disposition) {
  NTSTATUS st;
  if (WriteFault("NtCreateKey", &st)) return st;
  if (!key) return STATUS_INVALID_PARAMETER;
  std::u16string rel, cls;
  st = Resolve(attrs, &rel);
  if (!NT_SUCCESS(st)) return st;
  if (!FromCounted(className, &cls)) return STATUS_INVALID_PARAMETER;
  bool created = false;
  // Like the native call, only the last component is created.
  st = ntp::reg::KeyCreate(rel, className ? &cls : nullptr, false, &created);
  if (!NT_SUCCESS(st)) return st;
  *key = ntp::reg::NewKeyHandle(rel, ntp::reg::GrantedAccess(access));
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return STATUS_SUCCESS;
}

NTSTATUS NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attrs) {
  NTSTATUS st;
  if (Fault("NtOpenKey", &st)) return st;
  if (!key) return STATUS_INVALID_PARAMETER;
  std::u16string rel;
  st = Resolve(attrs, &rel);
  if (!NT_SUCCESS(st)) return st;
  st = ntp::reg::KeyExists(rel);
  if (!NT_SUCCESS(st)) return st;
  *key = ntp::reg::NewKeyHandle(rel, ntp::reg::GrantedAccess(access));
  return STATUS_SUCCESS;
}

NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG infoClass, void* info, ULONG length,
                         ULONG* resultLength) {
  NTSTATUS st;
  if (Fault("NtQueryValueKey", &st)) return st;
  std::u16string rel, name;
  st = KeyFor(key, KEY_QUERY_VALUE, &rel);
  if (!NT_SUCCESS(st)) return st;
  if (!FromCounted(valueName, &name)) return STATUS_OBJECT_NAME_INVALID;
  if (infoClass != KeyValueFullInformation || !resultLength || (!info && length > 0))
    return STATUS_INVALID_PARAMETER;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  st = ntp::reg::ValueGet(rel, name, &type, &data, &name);  // reports the stored spelling
  if (!NT_SUCCESS(st)) return st;

  // Fixed part, the name (no terminator), then the data at an 8-byte aligned offset.
  const uint64_t fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
  const uint64_t nameBytes = name.size() * sizeof(WCHAR);
  const uint64_t dataOffset = (fixed + nameBytes + 7) & ~uint64_t(7);
  const uint64_t total = dataOffset + data.size();
  if (total > 0xFFFFFFFFu) return STATUS_INVALID_PARAMETER;
  *resultLength = ULONG(total);
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;

  KEY_VALUE_FULL_INFORMATION head{};
  head.TitleIndex = 0;
  head.Type = type;
  head.DataOffset = ULONG(dataOffset);
  head.DataLength = ULONG(data.size());
  head.NameLength = ULONG(nameBytes);
  uint8_t* out = static_cast<uint8_t*>(info);
  std::memcpy(out, &head, fixed);
  if (length < total) {
    // Only what fits of the name follows the fixed part.
    uint64_t room = length - fixed;
    std::memcpy(out + fixed, name.data(), size_t(room < nameBytes ? room : nameBytes));
    return STATUS_BUFFER_OVERFLOW;
  }
  std::memcpy(out + fixed, name.data(), size_t(nameBytes));
  std::memset(out + fixed + nameBytes, 0, size_t(dataOffset - fixed - nameBytes));
  if (!data.empty()) std::memcpy(out + dataOffset, data.data(), data.size());
  return STATUS_SUCCESS;
}

NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG /*titleIndex*/, ULONG type, void* data,
                       ULONG dataSize) {
  NTSTATUS st;
  if (WriteFault("NtSetValueKey", &st)) return st;
  std::u16string rel, name;
  st = KeyFor(key, KEY_SET_VALUE, &rel);
  if (!NT_SUCCESS(st)) return st;
  if (!FromCounted(valueName, &name)) return STATUS_OBJECT_NAME_INVALID;
  if (!data && dataSize > 0) return STATUS_INVALID_PARAMETER;
  return ntp::reg::ValuePut(rel, name, type, static_cast<const uint8_t*>(data), dataSize);
}

NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING valueName) {
  NTSTATUS st;
  if (WriteFault("NtDeleteValueKey", &st)) return st;
  std::u16string rel, name;
  st = KeyFor(key, KEY_SET_VALUE, &rel);
  if (!NT_SUCCESS(st)) return st;
  if (!FromCounted(valueName, &name)) return STATUS_OBJECT_NAME_INVALID;
  return ntp::reg::ValueRemove(rel, name);
}

}  // extern "C"
