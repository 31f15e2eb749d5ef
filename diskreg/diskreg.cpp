// The native registry layer of the disk registry: keys and values of
// \REGISTRY\MACHINE\SYSTEM\DISK, the configuration blob read whole and checked before
// use, and the drive-letter patches written back whole.
#include "diskreg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "configblob.h"

namespace {

// An 8-bit name widened to a counted UTF-16 string on the C heap.
NTSTATUS ToCounted(const char* s, UNICODE_STRING* out) {
  out->Length = out->MaximumLength = 0;
  out->Buffer = nullptr;
  if (!s) return STATUS_INVALID_PARAMETER;
  size_t n = std::strlen(s);
  if (n >= 0x7FFF) return STATUS_INVALID_PARAMETER;  // does not fit a counted string
  auto* buf = static_cast<WCHAR*>(std::malloc((n + 1) * sizeof(WCHAR)));
  if (!buf) return STATUS_NO_MEMORY;
  for (size_t i = 0; i < n; ++i) buf[i] = WCHAR(static_cast<unsigned char>(s[i]));
  buf[n] = 0;
  out->Buffer = buf;
  out->Length = USHORT(n * sizeof(WCHAR));
  out->MaximumLength = USHORT((n + 1) * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

void FreeCounted(UNICODE_STRING* s) {
  std::free(s->Buffer);
  s->Buffer = nullptr;
  s->Length = s->MaximumLength = 0;
}

void InitAttributes(OBJECT_ATTRIBUTES* oa, UNICODE_STRING* name) {
  oa->Length = sizeof(OBJECT_ATTRIBUTES);
  oa->RootDirectory = nullptr;
  oa->ObjectName = name;
  oa->Attributes = OBJ_CASE_INSENSITIVE;
  oa->SecurityDescriptor = nullptr;
  oa->SecurityQualityOfService = nullptr;
}

constexpr ACCESS_MASK kReadWrite = 0x2001F;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ULONG kFirstQuerySize = 4096;

_DISK_PARTITION* AsPartition(uint8_t* p) { return reinterpret_cast<_DISK_PARTITION*>(p); }

}  // namespace

NTSTATUS FtCreateKey(PHANDLE handle, const char* keyName, const char* className) {
  UNICODE_STRING name, cls;
  NTSTATUS st = ToCounted(keyName, &name);
  if (!NT_SUCCESS(st)) return st;
  bool hasClass = className != nullptr;
  if (hasClass && !NT_SUCCESS(st = ToCounted(className, &cls))) {
    FreeCounted(&name);
    return st;
  }
  OBJECT_ATTRIBUTES oa;
  InitAttributes(&oa, &name);
  HANDLE key = nullptr;
  ULONG disposition = 0;
  st =
      NtCreateKey(&key, kReadWrite, &oa, 0, hasClass ? &cls : nullptr, REG_OPTION_NON_VOLATILE, &disposition);
  if (NT_SUCCESS(st)) {
    if (disposition == REG_OPENED_EXISTING_KEY)
      std::printf("Warning: Creation was for an existing key!\n");
    else if (disposition != REG_CREATED_NEW_KEY)
      std::printf("New disposition returned == 0x%x\n", unsigned(disposition));
  }
  FreeCounted(&name);
  if (hasClass) FreeCounted(&cls);
  if (NT_SUCCESS(st)) {
    if (handle)
      *handle = key;
    else
      NtClose(key);
  }
  return st;
}

NTSTATUS FtOpenKey(PHANDLE handle, const char* keyName, const char* className) {
  UNICODE_STRING name;
  NTSTATUS st = ToCounted(keyName, &name);
  if (!NT_SUCCESS(st)) return st;
  OBJECT_ATTRIBUTES oa;
  InitAttributes(&oa, &name);
  HANDLE key = nullptr;
  st = NtOpenKey(&key, kMaximumAllowed, &oa);
  FreeCounted(&name);
  if (!NT_SUCCESS(st)) return className ? FtCreateKey(handle, keyName, className) : st;
  if (handle)
    *handle = key;
  else
    NtClose(key);
  return st;
}

NTSTATUS FtDeleteValue(HANDLE key, const char* valueName) {
  UNICODE_STRING name;
  NTSTATUS st = ToCounted(valueName, &name);
  if (!NT_SUCCESS(st)) {
    std::printf("FtDeleteValue: internal conversion error 0x%x\n", unsigned(st));
    return st;
  }
  st = NtDeleteValueKey(key, &name);
  FreeCounted(&name);
  return st;
}

NTSTATUS FtSetValue(HANDLE key, const char* valueName, void* data, ULONG dataLength, ULONG type) {
  UNICODE_STRING name;
  NTSTATUS st = ToCounted(valueName, &name);
  if (!NT_SUCCESS(st)) return st;
  st = NtSetValueKey(key, &name, 0, type, data, dataLength);
  FreeCounted(&name);
  return st;
}

NTSTATUS FtRegistryQuery(const char* valueName, char** freeToPtr, char** valuePtr, ULONG* length,
                         PHANDLE handle) {
  *length = 0;
  *freeToPtr = nullptr;
  if (valuePtr) *valuePtr = nullptr;
  HANDLE key = nullptr;
  NTSTATUS st = FtOpenKey(&key, DiskRegistryKey, nullptr);
  if (!NT_SUCCESS(st)) return st;

  UNICODE_STRING name;
  st = ToCounted(valueName, &name);
  ULONG size = kFirstQuerySize, result = 0;
  char* buffer = nullptr;
  if (NT_SUCCESS(st)) {
    buffer = static_cast<char*>(std::malloc(size));
    st = buffer ? NtQueryValueKey(key, &name, KeyValueFullInformation, buffer, size, &result)
                : STATUS_NO_MEMORY;
    // Retry with the size the query asks for; a query that does not ask for more than
    // it was given would loop forever and ends the query instead.
    while (st == STATUS_BUFFER_OVERFLOW && result > size) {
      std::free(buffer);
      size = result;
      buffer = static_cast<char*>(std::malloc(size));
      st = buffer ? NtQueryValueKey(key, &name, KeyValueFullInformation, buffer, size, &result)
                  : STATUS_NO_MEMORY;
    }
    FreeCounted(&name);
  }

  if (handle)
    *handle = key;
  else
    NtClose(key);

  if (!NT_SUCCESS(st)) {
    *freeToPtr = buffer;
    return st;
  }
  KEY_VALUE_FULL_INFORMATION info;
  std::memcpy(&info, buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Name));
  if (info.DataLength == 0) {
    std::free(buffer);
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *freeToPtr = buffer;
  // The data must lie inside what the query returned, and be a well-formed blob.
  if (uint64_t(info.DataOffset) + info.DataLength > (result < size ? result : size) ||
      !DiskRegistryValidate(buffer + info.DataOffset, info.DataLength, nullptr))
    return STATUS_REGISTRY_CORRUPT;
  auto* header = reinterpret_cast<_DISK_CONFIG_HEADER*>(buffer + info.DataOffset);
  if (valuePtr) *valuePtr = buffer + info.DataOffset;
  // Without an FT part the used length ends with the disk part, whatever the FT offset.
  *length = DiskRegistryUsedLength(header);
  return STATUS_SUCCESS;
}

NTSTATUS FtBackup(HANDLE key) { return FtDeleteValue(key, DiskRegistryKey); }

NTSTATUS DiskRegistryGet(_DISK_REGISTRY* buffer, ULONG* length) {
  if (!length) return STATUS_INVALID_PARAMETER;
  char* freeTo = nullptr;
  char* value = nullptr;
  ULONG used = 0;
  NTSTATUS st = FtRegistryQuery(DiskRegistryValue, &freeTo, &value, &used, nullptr);
  if (st == STATUS_REGISTRY_CORRUPT) {
    std::free(freeTo);
    *length = 0;
    return st;
  }
  ULONG need = 64;
  const uint8_t* from = nullptr;
  if (NT_SUCCESS(st)) {
    auto* header = reinterpret_cast<const _DISK_CONFIG_HEADER*>(value);
    need = header->DiskInformationSize;
    from = reinterpret_cast<const uint8_t*>(value) + header->DiskInformationOffset;
  }
  // The size going in is the area's size: a value that grew since the caller asked
  // for the size must not overrun it.
  if (buffer && *length < need) {
    std::free(freeTo);
    *length = need;
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (buffer) {
    if (from)
      std::memcpy(buffer, from, need);
    else
      std::memset(buffer, 0, need);
  }
  *length = need;
  std::free(freeTo);
  return STATUS_SUCCESS;
}

BOOLEAN DiskRegistryAssignDriveLetter(ULONG signature, LONGLONG startingOffset, LONGLONG length,
                                      uint8_t driveLetter) {
  char* freeTo = nullptr;
  char* value = nullptr;
  ULONG used = 0;
  HANDLE key = nullptr;
  NTSTATUS st = FtRegistryQuery(DiskRegistryValue, &freeTo, &value, &used, &key);
  if (!NT_SUCCESS(st)) {
    used = 0;
    if (!key && !NT_SUCCESS(FtOpenKey(&key, DiskRegistryKey, nullptr))) {
      std::free(freeTo);
      return FALSE;
    }
  }
  auto finish = [&](BOOLEAN result) {
    NtClose(key);
    std::free(freeTo);
    return result;
  };
  if (used == 0) return finish(FALSE);

  uint8_t* blob = reinterpret_cast<uint8_t*>(value);
  auto* header = reinterpret_cast<_DISK_CONFIG_HEADER*>(blob);
  // The value was validated when read: the walk finds every record. The first record of
  // the partition takes the letter; for an FT member, every member of its set does (the
  // first set of its type whose members are of its group), and the first member also
  // the request to assign it.
  const ftformat::BlobWalk walk = ftformat::WalkBlob(blob, used);
  bool patched = false;
  for (const auto& p : walk.partitions) {
    if (walk.disks[p.disk].signature != signature || p.rec.StartingOffset != startingOffset ||
        p.rec.Length != length)
      continue;
    const uint8_t assign = driveLetter != ' ' ? 1 : 0;
    if (p.rec.FtType == NotAnFtMember) {
      _DISK_PARTITION* rec = AsPartition(blob + p.at);
      rec->DriveLetter = driveLetter;
      rec->AssignDriveLetter = assign;
      patched = true;
      break;
    }
    const uint16_t type = uint16_t(p.rec.FtType & 0xFFFF);
    const uint16_t group = p.rec.FtGroup;
    if (header->FtInformationOffset == 0 || header->FtInformationSize == 0) return finish(FALSE);
    for (const auto& set : walk.sets) {
      if (set.type != type) continue;
      for (const auto& m : set.members) {
        if (m.record == ftformat::MemberAt::kNone) break;
        _DISK_PARTITION* member = AsPartition(blob + walk.partitions[m.record].at);
        if (member->FtGroup != group) break;
        member->DriveLetter = driveLetter;
        if (member->FtMember == 0) member->AssignDriveLetter = assign;
        patched = true;
      }
      if (patched) break;
    }
    if (patched) break;
  }
  if (!patched) return finish(FALSE);

  // Header and both parts; when the parts do not lie back to back after the header,
  // the written length reaches the end of the later one so that no record is cut off.
  uint64_t writeLength =
      uint64_t(kDiskConfigHeaderSize) + header->DiskInformationSize + header->FtInformationSize;
  uint64_t diskEnd =
      header->DiskInformationSize ? uint64_t(header->DiskInformationOffset) + header->DiskInformationSize : 0;
  uint64_t ftEnd =
      header->FtInformationSize ? uint64_t(header->FtInformationOffset) + header->FtInformationSize : 0;
  if (writeLength < diskEnd) writeLength = diskEnd;
  if (writeLength < ftEnd) writeLength = ftEnd;
  if (!DiskRegistryValidate(blob, size_t(writeLength), nullptr)) return finish(FALSE);
  FtBackup(key);
  st = FtSetValue(key, DiskRegistryValue, blob, ULONG(writeLength), REG_BINARY);
  // A write that failed is reported: the letter was not recorded.
  return finish(NT_SUCCESS(st) ? TRUE : FALSE);
}

NTSTATUS DiskRegistryAssignCdRomLetter(PCWSTR cdromName, WCHAR driveLetter) {
  HANDLE key = nullptr;
  NTSTATUS st = FtOpenKey(&key, DiskRegistryKey, DiskRegistryClass);
  if (!NT_SUCCESS(st)) return st;
  size_t n = 0;
  if (cdromName)
    while (cdromName[n]) ++n;
  if (!cdromName || n >= 0x7FFF) {
    NtClose(key);
    return STATUS_INVALID_PARAMETER;
  }
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(cdromName);
  name.Length = USHORT(n * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  WCHAR data[3] = {driveLetter, u':', 0};
  st = NtSetValueKey(key, &name, 0, REG_SZ, data, sizeof data);
  NtClose(key);
  return st;
}

NTSTATUS DiskRegistryGetCdRomLetter(PCWSTR cdromName, WCHAR* driveLetter) {
  if (!cdromName || !driveLetter) return STATUS_INVALID_PARAMETER;
  *driveLetter = 0;
  size_t n = 0;
  while (cdromName[n]) ++n;
  if (n >= 0x7FFF) return STATUS_INVALID_PARAMETER;
  HANDLE key = nullptr;
  NTSTATUS st = FtOpenKey(&key, DiskRegistryKey, nullptr);
  if (!NT_SUCCESS(st)) return st;
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(cdromName);
  name.Length = USHORT(n * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  // "X:" needs a few bytes; a value too long for this buffer names no letter anyway.
  alignas(KEY_VALUE_FULL_INFORMATION) uint8_t buffer[512] = {};
  ULONG result = 0;
  st = NtQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &result);
  NtClose(key);
  if (!NT_SUCCESS(st)) return st;
  KEY_VALUE_FULL_INFORMATION info;
  std::memcpy(&info, buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Name));
  const uint64_t end = result < sizeof buffer ? result : sizeof buffer;
  if (info.DataLength >= sizeof(WCHAR) && uint64_t(info.DataOffset) + sizeof(WCHAR) <= end)
    std::memcpy(driveLetter, buffer + info.DataOffset, sizeof(WCHAR));
  return STATUS_SUCCESS;
}
