// Device access over the NT native interface. No state is kept between calls; every
// handle and buffer obtained here is released on every path except the ones handed out.
#include "ntlow.h"

#include <cstring>
#include <string>
#include <string_view>

#include "zmapi.h"

namespace {

constexpr int kOpenAttempts = 3;
constexpr int kLockAttempts = 10;
constexpr DWORD kRetrySleepMs = 500;
constexpr size_t kPartitionNameChars = 100;
constexpr ULONG kLayoutHeaderBytes = offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry);
constexpr ULONG kLayoutFirstBytes = kLayoutHeaderBytes + 501 * sizeof(PARTITION_INFORMATION);  // 16040
// The largest layout buffer tried when the driver reports that a smaller one is too small.
constexpr ULONG kLayoutMaxBytes = kLayoutHeaderBytes + 65536 * sizeof(PARTITION_INFORMATION);
constexpr ULONG kDosTargetChars = 1024;
constexpr ULONG kLinkTargetBytes = 512;

void InitAttributes(OBJECT_ATTRIBUTES* oa, PUNICODE_STRING name) {
  *oa = OBJECT_ATTRIBUTES{sizeof *oa, nullptr, name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
}

// Entries that a layout buffer of `bytes` can hold.
ULONG LayoutCapacity(ULONG bytes) { return (bytes - kLayoutHeaderBytes) / sizeof(PARTITION_INFORMATION); }

}  // namespace

NTSTATUS LowOpenNtName(PCWSTR name, ACCESS_MASK access, PHANDLE handle, int exclusive) {
  if (name == nullptr || handle == nullptr) return STATUS_INVALID_PARAMETER;
  *handle = nullptr;
  UNICODE_STRING uname;
  if (!RtlCreateUnicodeString(&uname, name)) return STATUS_NO_MEMORY;
  OBJECT_ATTRIBUTES oa;
  InitAttributes(&oa, &uname);
  ULONG share = exclusive != 0 ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE);

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    IO_STATUS_BLOCK iosb{};
    HANDLE h = nullptr;
    status = NtOpenFile(&h, access | SYNCHRONIZE, &oa, &iosb, share, FILE_SYNCHRONOUS_IO_ALERT);
    if (NT_SUCCESS(status)) {
      *handle = h;
      break;
    }
    Sleep(kRetrySleepMs);  // also after the last failed attempt
  }
  RtlFreeUnicodeString(&uname);
  return status;
}

NTSTATUS LowOpenPartition(PCWSTR diskName, ULONG partitionNumber, ACCESS_MASK access, PHANDLE handle) {
  if (diskName == nullptr || handle == nullptr) return STATUS_INVALID_PARAMETER;
  *handle = nullptr;
  WCHAR name[kPartitionNameChars];
  // A disk name too long for the buffer is refused rather than opened truncated.
  if (swprintf(name, kPartitionNameChars, u"%s\\partition%u", diskName, partitionNumber) < 0)
    return STATUS_OBJECT_NAME_INVALID;
  return LowOpenNtName(name, access, handle, 0);
}

NTSTATUS LowOpenDisk(PCWSTR diskName, ACCESS_MASK access, PHANDLE handle) {
  return LowOpenPartition(diskName, 0, access, handle);
}

NTSTATUS LowLockDrive(HANDLE handle) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    IO_STATUS_BLOCK iosb{};
    status =
        NtFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0);
    if (NT_SUCCESS(status)) break;
    Sleep(kRetrySleepMs);
  }
  return status;
}

NTSTATUS LowUnlockDrive(HANDLE handle) {
  IO_STATUS_BLOCK iosb{};
  // Unlocking always dismounts first; the dismount's own status does not matter.
  NtFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0);
  iosb = IO_STATUS_BLOCK{};
  return NtFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr,
                         0);
}

NTSTATUS LowGetDiskLayout(HANDLE handle, PDRIVE_LAYOUT_INFORMATION* layout) {
  if (layout == nullptr) return STATUS_INVALID_PARAMETER;
  *layout = nullptr;
  // Room for 501 entries covers every ordinary disk; a longer logical-drive chain gets a
  // larger buffer instead of leaving the disk unreadable.
  ULONG bytes = kLayoutFirstBytes;
  for (;;) {
    auto* buffer = static_cast<PDRIVE_LAYOUT_INFORMATION>(_ZmAlloc(bytes, __FILE__, __LINE__));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    memset(buffer, 0, bytes);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb,
                                            IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, buffer, bytes);
    bool tooSmall = status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW;
    if (NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
      // Never hand out a count that the buffer does not back.
      if (buffer->PartitionCount <= LayoutCapacity(bytes)) {
        *layout = buffer;
        return STATUS_SUCCESS;
      }
      tooSmall = true;
      status = STATUS_BUFFER_TOO_SMALL;
    }
    _ZmFree(buffer, __FILE__, __LINE__);
    if (!tooSmall || bytes >= kLayoutMaxBytes) return status;
    ULONG entries = LayoutCapacity(bytes) * 2;
    bytes = kLayoutHeaderBytes + entries * static_cast<ULONG>(sizeof(PARTITION_INFORMATION));
    if (bytes > kLayoutMaxBytes) bytes = kLayoutMaxBytes;
  }
}

NTSTATUS LowSetDiskLayout(HANDLE handle, PDRIVE_LAYOUT_INFORMATION layout) {
  if (layout == nullptr) return STATUS_INVALID_PARAMETER;
  ULONG count = layout->PartitionCount;
  uint64_t bytes = kLayoutHeaderBytes + uint64_t{count} * sizeof(PARTITION_INFORMATION);
  if (bytes > 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status =
      NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_SET_DRIVE_LAYOUT, layout,
                            static_cast<ULONG>(bytes), layout, static_cast<ULONG>(bytes));
  // The driver may rewrite the count; the caller's entries keep the numbers it assigned.
  if (status == STATUS_SUCCESS) layout->PartitionCount = count;
  return status;
}

NTSTATUS LowGetPartitionInformation(HANDLE handle, PARTITION_INFORMATION& info) {
  memset(&info, 0, sizeof info);
  PARTITION_INFORMATION own{};
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb,
                                          IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &own, sizeof own);
  if (!NT_SUCCESS(status)) return status;

  PDRIVE_LAYOUT_INFORMATION layout = nullptr;
  status = LowGetDiskLayout(handle, &layout);
  if (!NT_SUCCESS(status)) return status;

  // The layout's own entry is what callers want: it carries the number, type and flags.
  status = STATUS_UNSUCCESSFUL;
  for (ULONG i = 0; i < layout->PartitionCount; ++i) {
    const PARTITION_INFORMATION& e = layout->PartitionEntry[i];
    if (e.StartingOffset.QuadPart == own.StartingOffset.QuadPart &&
        e.PartitionLength.QuadPart == own.PartitionLength.QuadPart) {
      memcpy(&info, &e, sizeof info);
      status = STATUS_SUCCESS;
      break;
    }
  }
  _ZmFree(layout, __FILE__, __LINE__);
  return status;
}

NTSTATUS LowWriteSectors(HANDLE handle, ULONG sectorSize, ULONG firstSector, ULONG count, void* buffer) {
  uint64_t bytes = uint64_t{sectorSize} * count;
  // A length that does not fit the call's 32-bit size would write only part of the data.
  if (bytes > 0xFFFFFFFFull || (bytes != 0 && buffer == nullptr)) return STATUS_INVALID_PARAMETER;
  LARGE_INTEGER offset;
  offset.QuadPart = static_cast<int64_t>(uint64_t{sectorSize} * firstSector);
  IO_STATUS_BLOCK iosb{};
  return NtWriteFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, static_cast<ULONG>(bytes), &offset,
                     nullptr);
}

NTSTATUS LowGetDriveGeometry(HANDLE handle, DISK_GEOMETRY& geometry) {
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status =
      NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr,
                            0, &geometry, sizeof geometry);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS LowIsDiskWritable(HANDLE handle) {
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_IS_WRITABLE,
                                          nullptr, 0, nullptr, 0);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

int InverseQueryDosDevice(PCWSTR ntName, PWSTR* driveLetter) {
  if (ntName == nullptr || driveLetter == nullptr) return 0;
  WCHAR target[kDosTargetChars];
  WCHAR resolved[kDosTargetChars];
  for (WCHAR letter = u'C'; letter <= u'Z'; ++letter) {
    WCHAR dos[3] = {letter, u':', 0};
    if (QueryDosDeviceW(dos, target, kDosTargetChars) == 0) continue;
    target[kDosTargetChars - 1] = 0;
    GetCanonicalLinkTarget(target, resolved);
    if (std::u16string_view(ntName) != std::u16string_view(target) &&
        std::u16string_view(ntName) != std::u16string_view(resolved))
      continue;
    auto* out = static_cast<PWSTR>(_ZmAlloc(sizeof dos, __FILE__, __LINE__));
    if (out == nullptr) return 0;
    memcpy(out, dos, sizeof dos);
    *driveLetter = out;
    return 1;
  }
  return 0;
}

int GetCanonicalLinkTarget(PCWSTR name, PWSTR target) {
  if (target == nullptr) return 1;
  if (name == nullptr) {
    target[0] = 0;
    return 1;
  }
  UNICODE_STRING uname;
  RtlInitUnicodeString(&uname, name);
  OBJECT_ATTRIBUTES oa;
  InitAttributes(&oa, &uname);

  WCHAR buffer[kLinkTargetBytes / sizeof(WCHAR)];
  UNICODE_STRING link{0, static_cast<USHORT>(kLinkTargetBytes), buffer};
  bool resolved = false;
  HANDLE h = nullptr;
  if (NT_SUCCESS(NtOpenSymbolicLinkObject(&h, READ_CONTROL | SYMBOLIC_LINK_QUERY, &oa))) {
    ULONG returned = 0;
    NTSTATUS status = NtQuerySymbolicLinkObject(h, &link, &returned);
    NtClose(h);
    // The target must fit together with its terminator.
    resolved = NT_SUCCESS(status) && link.Length % sizeof(WCHAR) == 0 &&
               link.Length + sizeof(WCHAR) <= sizeof buffer;
  }
  if (resolved) {
    size_t chars = link.Length / sizeof(WCHAR);
    memcpy(target, buffer, link.Length);
    target[chars] = 0;
  } else {
    memmove(target, name, (std::char_traits<WCHAR>::length(name) + 1) * sizeof(WCHAR));
  }
  return 1;
}
