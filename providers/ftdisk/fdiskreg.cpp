// The stored disk part compared with the database and rebuilt from it, and drive
// letters recorded in the FtDisk configuration.
#include "fdiskreg.h"

#include <cstring>
#include <string>
#include <vector>

#include "diskreg.h"
#include "ftdisk.h"
#include "layout.h"
#include "ntlow.h"
#include "provider.h"

namespace {

constexpr NTSTATUS kStatusInsufficientResources = static_cast<NTSTATUS>(0xC000009A);
// Every area handed out is this much longer than the disk part it holds, zero-filled,
// so the fixed-size probes of the checks never reach past it.
constexpr uint32_t kAreaSlack = 64;
// Bytes probed before a description slot is used: its header and one record.
constexpr uintptr_t kDescriptionProbe = kDiskDescriptionHeaderSize + kDiskPartitionSize;

using layout::IdList;

_DISK_PARTITION* RecordAt(_DISK_DESCRIPTION* description, uint32_t index) {
  return reinterpret_cast<_DISK_PARTITION*>(reinterpret_cast<uint8_t*>(description) +
                                            kDiskDescriptionHeaderSize + size_t(kDiskPartitionSize) * index);
}

const _DISK_DESCRIPTION* NextDescription(const _DISK_DESCRIPTION* description) {
  return reinterpret_cast<const _DISK_DESCRIPTION*>(reinterpret_cast<const uint8_t*>(description) +
                                                    DiskDescriptionSize(description->NumberOfPartitions));
}

// The letter of a "DRIVE_LETTER" value: the low byte of its first character. A volume
// whose letter was just removed has none (no property or an empty string): that is
// recorded as ' ', which asks for no letter, so the removal outlives a reboot.
ZMSTATUS ReadLetter(ZM_OBJECT_ID id, uint8_t* letter) {
  std::u16string value;
  ZMSTATUS s = ReadString(id, "DRIVE_LETTER", &value);
  if (s == ZM_E_NO_PROPERTY) {
    *letter = ' ';
    return 0;
  }
  if (ZM_FAILED(s)) return s;
  *letter = value.empty() || value[0] == 0 ? ' ' : static_cast<uint8_t>(value[0] & 0xFF);
  return s;
}

// TRUE when no configuration is stored, or one without a disk part or without disks.
// A stored value that is not a well-formed blob is not empty: it is never replaced.
bool StoredDiskPartEmpty() {
  ULONG size = 0;
  if (!NT_SUCCESS(DiskRegistryGet(nullptr, &size))) return false;
  if (size < kDiskRegistryHeaderSize) return true;
  std::vector<uint8_t> area(size);
  if (!NT_SUCCESS(DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(area.data()), &size))) return false;
  uint16_t disks = 0;
  std::memcpy(&disks, area.data(), sizeof disks);
  return disks == 0;
}

// Fills the description of one disk with at most capacity records; see
// driveToDiskDescription.
uint32_t FillDiskDescription(ZM_OBJECT_ID disk, _DISK_DESCRIPTION* description, uint32_t capacity) {
  if (description == nullptr || IsBadReadPtr(description, kDescriptionProbe)) return 0;
  uint32_t signature = 0, bytesPerSector = 0, sectorsPerTrack = 0;
  if (ZM_FAILED(ReadU32(disk, "SIGNATURE", &signature)) ||
      ZM_FAILED(ReadU32(disk, "BYTES_PER_SECTOR", &bytesPerSector)) ||
      ZM_FAILED(ReadU32(disk, "SECTORS_PER_TRACK", &sectorsPerTrack)))
    return 0;
  const int64_t track = int64_t(bytesPerSector) * sectorsPerTrack;

  uint32_t primaryCount = 0, logicalCount = 0;
  ZM_OBJECT_ID *primaries = nullptr, *logicals = nullptr;
  const uint32_t n = fdGetPartitionCount(disk, &primaryCount, &primaries, &logicalCount, &logicals);
  description->Signature = signature;
  description->NumberOfPartitions = 0;

  // Records are written for recognised partitions whose properties can be read, in
  // increasing partition-number order; the others are left out of the count, so the
  // stored description and the consistency check agree.
  uint32_t filled = 0;
  uint32_t lastNumber = 0;
  for (uint32_t i = 0; i < n && filled < capacity; ++i) {
    ZM_OBJECT_ID partition = FindNextRegion(primaryCount, primaries, logicalCount, logicals, &lastNumber);
    if (partition == 0) break;
    uint32_t number = 0;
    if (ZM_FAILED(ReadU32(partition, "PARTITION_NUMBER", &number))) number = 0;
    if (!IS_RECOGNIZED(partition)) continue;
    uint64_t offset = 0, length = 0;
    uint32_t volumeType = 0;
    if (ZM_FAILED(ReadU64(partition, "OFFSET_LL", &offset)) ||
        ZM_FAILED(ReadU64(partition, "LENGTH_LL", &length)) ||
        ZM_FAILED(ReadU32(partition, "LDM_VOLUME_TYPE", &volumeType)))
      continue;
    _DISK_PARTITION record{};
    record.FtType = NotAnFtMember;
    record.FtState = Healthy;
    record.StartingOffset = static_cast<int64_t>(offset);
    record.Length = static_cast<int64_t>(length);
    if (volumeType == 3) {  // the registry records a logical drive's data, one track in
      record.StartingOffset += track;
      record.Length -= track;
    }
    record.DriveLetter = GetDriveLetter(partition);
    record.AssignDriveLetter = 1;
    record.LogicalNumber = static_cast<uint16_t>(number);
    record.FtGroup = 0xFFFF;
    record.FtMember = 0;
    record.Modified = 1;
    std::memcpy(RecordAt(description, filled), &record, sizeof record);
    ++filled;
  }
  description->NumberOfPartitions = static_cast<uint16_t>(filled);
  if (primaries != nullptr) _ZmFree(primaries, __FILE__, __LINE__);
  if (logicals != nullptr) _ZmFree(logicals, __FILE__, __LINE__);
  return filled;
}

}  // namespace

BOOLEAN IS_VALID_DRIVE(uint32_t deviceType) { return deviceType == 1 || deviceType >= 4; }

BOOLEAN IS_RECOGNIZED(ZM_OBJECT_ID partition) {
  uint8_t type = 0;
  if (ZM_FAILED(ReadU8(partition, "PARTITION_TYPE", &type))) return FALSE;
  if (type == 0x42) return FALSE;
  switch (type & 0x3F) {  // the FT bits 0x80 and 0x40 leave the base type
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x06:
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x0E:
      return TRUE;
    default:
      return FALSE;
  }
}

ZMSTATUS fdReadRegistry(_DISK_REGISTRY** area) {
  if (area == nullptr || IsBadReadPtr(area, sizeof *area)) return E_INVALIDARG_ZM;
  *area = nullptr;
  // The size and the copy are two reads; the FT mutex keeps this process's writers of
  // the value from changing its size between them.
  FtMutexHold hold;
  if (!hold.held()) return 3;
  ULONG size = 0;
  NTSTATUS s = DiskRegistryGet(nullptr, &size);
  if (s == STATUS_NO_MEMORY || s == kStatusInsufficientResources) return 1;
  if (!NT_SUCCESS(s)) return 3;
  if (size == 0) return 0;
  if (size > UINT32_MAX - kAreaSlack) return 1;
  auto* buffer = static_cast<uint8_t*>(_ZmAlloc(size + kAreaSlack, __FILE__, __LINE__));
  if (buffer == nullptr) return 1;
  std::memset(buffer, 0, size + kAreaSlack);
  ULONG copied = size;
  s = DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(buffer), &copied);
  if (s == STATUS_NO_MEMORY || s == kStatusInsufficientResources) {
    _ZmFree(buffer, __FILE__, __LINE__);
    return 2;
  }
  if (!NT_SUCCESS(s) || copied > size) {
    _ZmFree(buffer, __FILE__, __LINE__);
    return 0;
  }
  *area = reinterpret_cast<_DISK_REGISTRY*>(buffer);
  return 0;
}

BOOLEAN isPartitionPresent(ZM_OBJECT_ID disk, ZM_OBJECT_ID partition, uint8_t logical,
                           const _DISK_DESCRIPTION* description) {
  uint64_t offset = 0, length = 0;
  uint32_t bytesPerSector = 0, sectorsPerTrack = 0;
  if (ZM_FAILED(ReadU64(partition, "OFFSET_LL", &offset)) ||
      ZM_FAILED(ReadU64(partition, "LENGTH_LL", &length)) ||
      ZM_FAILED(ReadU32(disk, "BYTES_PER_SECTOR", &bytesPerSector)) ||
      ZM_FAILED(ReadU32(disk, "SECTORS_PER_TRACK", &sectorsPerTrack)))
    return FALSE;
  if (description == nullptr || IsBadReadPtr(description, kDescriptionProbe)) return FALSE;
  if (!IS_RECOGNIZED(partition)) return TRUE;
  int64_t start = static_cast<int64_t>(offset), size = static_cast<int64_t>(length);
  if (logical) {
    const int64_t track = int64_t(bytesPerSector) * sectorsPerTrack;
    start += track;
    size -= track;
  }
  for (uint32_t i = 0; i < description->NumberOfPartitions; ++i) {
    _DISK_PARTITION record;
    std::memcpy(&record, RecordAt(const_cast<_DISK_DESCRIPTION*>(description), i), sizeof record);
    if (record.StartingOffset == start && record.Length == size) return TRUE;
  }
  return FALSE;
}

BOOLEAN internal_DoesDiskEntryExist(ZM_OBJECT_ID disk, const _DISK_REGISTRY* area) {
  uint32_t signature = 0;
  if (ZM_FAILED(ReadU32(disk, "SIGNATURE", &signature))) return FALSE;
  IdList partitions, extended, logicals;
  if (ZM_FAILED(ObGetChildObjects(ghDb, disk, ZM_OBJ_PARTITION, &partitions.count, &partitions.ids)))
    return FALSE;
  if (ZM_FAILED(ObGetChildObjects(ghDb, disk, ZM_OBJ_EXTENDED, &extended.count, &extended.ids))) return FALSE;
  if (extended.count > 0 &&
      ZM_FAILED(ObGetChildObjects(ghDb, extended.ids[0], ZM_OBJ_PARTITION, &logicals.count, &logicals.ids)))
    return FALSE;

  const _DISK_DESCRIPTION* description = nullptr;
  const _DISK_DESCRIPTION* walk = area->Disks;
  for (uint32_t d = 0; d < area->NumberOfDisks; ++d, walk = NextDescription(walk)) {
    if (walk->Signature == signature) {
      description = walk;
      break;
    }
  }
  if (description == nullptr) return FALSE;

  uint32_t recognized = 0;
  for (uint32_t i = 0; i < partitions.count; ++i) {
    if (!IS_RECOGNIZED(partitions.ids[i])) continue;
    if (!isPartitionPresent(disk, partitions.ids[i], 0, description)) return FALSE;
    ++recognized;
  }
  for (uint32_t i = 0; i < logicals.count; ++i) {
    if (!IS_RECOGNIZED(logicals.ids[i])) continue;
    if (!isPartitionPresent(disk, logicals.ids[i], 1, description)) return FALSE;
    ++recognized;
  }
  return recognized == description->NumberOfPartitions;
}

BOOLEAN isRegistryRebuildRequired(const _DISK_REGISTRY* area) {
  if (area == nullptr) return TRUE;
  if (IsBadReadPtr(area, kAreaSlack)) return FALSE;
  IdList disks;
  if (ZM_FAILED(DbGetObjects(ghDb, ZM_OBJ_DISK, &disks.count, &disks.ids))) return FALSE;
  uint32_t valid = 0;
  for (uint32_t i = 0; i < disks.count; ++i) {
    uint32_t deviceType = 0;
    if (ZM_FAILED(ReadU32(disks.ids[i], "LDM_DEVICE_TYPE", &deviceType))) continue;
    if (!IS_VALID_DRIVE(deviceType)) continue;
    ++valid;
    if (!internal_DoesDiskEntryExist(disks.ids[i], area)) return TRUE;
  }
  // More descriptions than disks: those of disks that are away, which a rebuild keeps.
  return valid > area->NumberOfDisks;
}

uint32_t fdGetPartitionCount(ZM_OBJECT_ID disk, uint32_t* primaryCount, ZM_OBJECT_ID** primaries,
                             uint32_t* logicalCount, ZM_OBJECT_ID** logicals) {
  uint32_t pc = 0, lc = 0;
  ZM_OBJECT_ID *pids = nullptr, *lids = nullptr;
  if (ZM_FAILED(ObGetChildObjects(ghDb, disk, ZM_OBJ_PARTITION, &pc, &pids))) {
    if (pids != nullptr) _ZmFree(pids, __FILE__, __LINE__);
    pc = 0;
    pids = nullptr;
  }
  {
    IdList extended;
    if (!ZM_FAILED(ObGetChildObjects(ghDb, disk, ZM_OBJ_EXTENDED, &extended.count, &extended.ids)) &&
        extended.count > 0 &&
        ZM_FAILED(ObGetChildObjects(ghDb, extended.ids[0], ZM_OBJ_PARTITION, &lc, &lids))) {
      if (lids != nullptr) _ZmFree(lids, __FILE__, __LINE__);
      lc = 0;
      lids = nullptr;
    }
  }
  if (pids == nullptr) pc = 0;
  if (lids == nullptr) lc = 0;
  if (primaryCount != nullptr) *primaryCount = pc;
  if (logicalCount != nullptr) *logicalCount = lc;
  if (primaries != nullptr) {
    *primaries = pids;
  } else if (pids != nullptr) {
    _ZmFree(pids, __FILE__, __LINE__);
  }
  if (logicals != nullptr) {
    *logicals = lids;
  } else if (lids != nullptr) {
    _ZmFree(lids, __FILE__, __LINE__);
  }
  return pc + lc;
}

uint32_t getDiskDescriptionSize(ZM_OBJECT_ID disk) {
  const uint32_t n = fdGetPartitionCount(disk, nullptr, nullptr, nullptr, nullptr);
  return n == 0 ? DiskDescriptionSize(1) : DiskDescriptionSize(n);
}

ZM_OBJECT_ID FindNextRegion(uint32_t primaryCount, const ZM_OBJECT_ID* primaries, uint32_t logicalCount,
                            const ZM_OBJECT_ID* logicals, uint32_t* lastNumber) {
  const uint32_t last = *lastNumber;
  // Smallest number above last; within a list the later of two equal numbers wins.
  auto scan = [last](uint32_t count, const ZM_OBJECT_ID* ids, uint32_t* bestNumber) {
    ZM_OBJECT_ID best = 0;
    for (uint32_t i = 0; ids != nullptr && i < count; ++i) {
      uint32_t number = 0;
      if (ZM_FAILED(ReadU32(ids[i], "PARTITION_NUMBER", &number))) continue;
      if (number > last && (best == 0 || number <= *bestNumber)) {
        best = ids[i];
        *bestNumber = number;
      }
    }
    return best;
  };
  uint32_t primaryNumber = 0, logicalNumber = 0;
  const ZM_OBJECT_ID primary = scan(primaryCount, primaries, &primaryNumber);
  const ZM_OBJECT_ID logical = scan(logicalCount, logicals, &logicalNumber);
  // Between the lists, the primary partition wins a tie.
  if (primary != 0 && (logical == 0 || primaryNumber <= logicalNumber)) {
    *lastNumber = primaryNumber;
    return primary;
  }
  if (logical != 0) *lastNumber = logicalNumber;
  return logical;
}

uint8_t GetDriveLetter(ZM_OBJECT_ID partition) {
  std::u16string device;
  if (ZM_FAILED(ReadString(partition, "\\Device\\", &device)) || device.empty()) return 0;
  return DriveLetterOf(device.c_str());
}

uint8_t DriveLetterOf(PCWSTR device) {
  PWSTR name = nullptr;
  uint8_t letter = 0;
  if (InverseQueryDosDevice(device, &name) && name != nullptr) letter = static_cast<uint8_t>(name[0] & 0xFF);
  if (name != nullptr) _ZmFree(name, __FILE__, __LINE__);
  return letter;
}

uint32_t driveToDiskDescription(ZM_OBJECT_ID disk, _DISK_DESCRIPTION* description) {
  return FillDiskDescription(disk, description, UINT32_MAX);
}

uint32_t fdRebuildRegistry() {
  IdList disks;
  if (ZM_FAILED(DbGetObjects(ghDb, ZM_OBJ_DISK, &disks.count, &disks.ids))) return 0;
  // The disks to describe and the room reserved for each, so the fill below never
  // writes more records than were reserved, even if the database changed meanwhile.
  struct Slot {
    ZM_OBJECT_ID disk;
    uint32_t records;
  };
  std::vector<Slot> slots;
  uint64_t size = kDiskRegistryHeaderSize;
  for (uint32_t i = 0; i < disks.count; ++i) {
    uint32_t deviceType = 0;
    if (ZM_FAILED(ReadU32(disks.ids[i], "LDM_DEVICE_TYPE", &deviceType)) || !IS_VALID_DRIVE(deviceType))
      continue;
    const uint32_t bytes = getDiskDescriptionSize(disks.ids[i]);
    slots.push_back({disks.ids[i], (bytes - kDiskDescriptionHeaderSize) / kDiskPartitionSize});
    size += bytes;
  }
  if (size > UINT32_MAX - kAreaSlack || slots.size() > 0xFFFF) return 1;
  auto* area = static_cast<uint8_t*>(_ZmAlloc(size_t(size) + kAreaSlack, __FILE__, __LINE__));
  if (area == nullptr) return 1;
  std::memset(area, 0, size_t(size) + kAreaSlack);
  auto* registry = reinterpret_cast<_DISK_REGISTRY*>(area);
  registry->NumberOfDisks = static_cast<uint16_t>(slots.size());
  registry->ReservedShort = 0;
  uint32_t pos = kDiskRegistryHeaderSize;
  for (const Slot& slot : slots) {
    auto* description = reinterpret_cast<_DISK_DESCRIPTION*>(area + pos);
    const uint32_t records = FillDiskDescription(slot.disk, description, slot.records);
    pos += DiskDescriptionSize(records);
  }
  // The disk part handed on is packed: its size is exactly that of its descriptions, so
  // disks that the merge appends after it stay reachable.
  FtRebuild(registry, pos);
  _ZmFree(area, __FILE__, __LINE__);
  return 0;
}

void UpdateRegistry() {
  _DISK_REGISTRY* area = nullptr;
  const ZMSTATUS r = fdReadRegistry(&area);
  if (r == 1 || r == 2) return;
  if (isRegistryRebuildRequired(area)) fdRebuildRegistry();
  if (area != nullptr) _ZmFree(area, __FILE__, __LINE__);
  // The letters this boot gave are recorded with the configuration they belong to.
  FtRecordGivenLetters();
}

int64_t FdGetExactSize(HANDLE partition) {
  PARTITION_INFORMATION info{};
  if (!NT_SUCCESS(LowGetPartitionInformation(partition, info))) return 0;
  return info.PartitionLength.QuadPart;
}

int64_t FdGetExactOffset(HANDLE partition) {
  PARTITION_INFORMATION info{};
  if (!NT_SUCCESS(LowGetPartitionInformation(partition, info))) return 0;
  return info.StartingOffset.QuadPart;
}

ZMSTATUS UpdateDriveLetter(ZM_OBJECT_ID volume) {
  IdList partitions;
  ZMSTATUS s = ObGetChildObjects(ghDb, volume, ZM_OBJ_PARTITION, &partitions.count, &partitions.ids);
  if (ZM_FAILED(s)) return s;
  if (partitions.count == 0) return ZM_E_FAIL;
  const ZM_OBJECT_ID partition = partitions.ids[0];

  ZM_OBJECT_ID disk = 0;
  {
    IdList parents;
    s = ObGetParentObjects(ghDb, partition, ZM_OBJ_DISK, &parents.count, &parents.ids);
    if (ZM_FAILED(s)) return s;
    if (parents.count > 0) {
      disk = parents.ids[0];
    } else {  // a logical drive: its disk is the extended partition's
      IdList extended;
      s = ObGetParentObjects(ghDb, partition, ZM_OBJ_EXTENDED, &extended.count, &extended.ids);
      if (ZM_FAILED(s)) return s;
      if (extended.count == 0) return ZM_E_FAIL;
      IdList extendedDisks;
      s = ObGetParentObjects(ghDb, extended.ids[0], ZM_OBJ_DISK, &extendedDisks.count, &extendedDisks.ids);
      if (ZM_FAILED(s)) return s;
      if (extendedDisks.count == 0) return ZM_E_FAIL;
      disk = extendedDisks.ids[0];
    }
  }

  uint32_t signature = 0;
  s = ReadU32(disk, "SIGNATURE", &signature);
  if (ZM_FAILED(s)) return s;
  uint8_t letter = 0;
  s = ReadLetter(volume, &letter);
  if (ZM_FAILED(s)) return s;
  std::u16string device;
  s = ReadString(volume, "\\Device\\", &device);
  if (ZM_FAILED(s)) return s;

  HANDLE handle = nullptr;
  if (!NT_SUCCESS(LowOpenNtName(device.c_str(), GENERIC_READ, &handle, 0))) return FT_E_CANNOT_OPEN;
  const int64_t size = FdGetExactSize(handle);
  const int64_t offset = FdGetExactOffset(handle);
  NtClose(handle);
  if (DiskRegistryAssignDriveLetter(signature, offset, size, letter)) return s;
  // Nothing configured yet (a fresh machine, or a configuration without disks): the
  // disk part is built from the database first, which is what every later scan would
  // do, and the letter is then recorded in it.
  if (!StoredDiskPartEmpty()) return FT_E_REGISTRY_UPDATE;
  fdRebuildRegistry();
  if (!DiskRegistryAssignDriveLetter(signature, offset, size, letter)) return FT_E_REGISTRY_UPDATE;
  return s;
}

void RestoreDriveLetter(ZM_OBJECT_ID volume, const std::u16string& previous) {
  ZM_HANDLE mount = nullptr;
  if (ZM_FAILED(PrGetProviderByName(ghDb, u"mount", &mount))) return;
  ZM_PROPSET in = nullptr;
  if (ZM_FAILED(PsCreatePropset(&in))) return;
  uint32_t code = OP_REMOVE_DRIVE_LETTER;
  if (!previous.empty() && previous[0] != 0 && previous[0] != u' ') {
    code = OP_ASSIGN_DRIVE_LETTER;
    const std::u16string text{previous[0], u':'};
    ZM_PROPERTY p{"DRIVE_LETTER", ZM_TYPE_STRING, 0, uint32_t((text.size() + 1) * sizeof(char16_t)),
                  const_cast<char16_t*>(text.c_str())};
    PsAddProperty(in, &p);
  }
  ZM_OBJECT_ID ignored = 0;
  PrCallProvider(mount, volume, OPCLASS_VOLUME, code, in, nullptr, 0, 0, nullptr, nullptr, &ignored);
  PsDestroyPropset(in);
}

ZMSTATUS UpdateCdromDriveLetter(ZM_OBJECT_ID cdrom) {
  uint8_t letter = 0;
  ZMSTATUS s = ReadLetter(cdrom, &letter);
  if (ZM_FAILED(s)) return s;
  std::u16string device;
  s = ReadString(cdrom, "\\Device\\", &device);
  if (ZM_FAILED(s)) return s;

  HANDLE handle = nullptr;
  if (!NT_SUCCESS(LowOpenNtName(device.c_str(), FILE_READ_DATA, &handle, 0))) return FT_E_CANNOT_OPEN;
  if (!NT_SUCCESS(LowLockDrive(handle))) {
    NtClose(handle);
    return FT_E_CANNOT_LOCK;
  }
  // The value is written while the drive is locked; it is unlocked on every path.
  if (!NT_SUCCESS(DiskRegistryAssignCdRomLetter(device.c_str(), static_cast<WCHAR>(letter))))
    s = FT_E_REGISTRY_UPDATE;
  LowUnlockDrive(handle);
  NtClose(handle);
  return s;
}
