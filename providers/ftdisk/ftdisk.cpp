// FT sets as volume objects, drive letters of FT volumes, and the FT rebuild. Every
// operation that loads the FT configuration does so under the FT mutex g_hMutex and
// checks the stored blob before any record of it is used.
#include "ftdisk.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "diskreg.h"
#include "fdiskreg.h"
#include "ftinfo.h"
#include "ftvol.h"
#include "layout.h"
#include "provider.h"

HANDLE g_hMutex = nullptr;

namespace {

using layout::IdList;

constexpr uint64_t kStateBit38 = 0x4000000000ull;
constexpr uint64_t kUpperHalf = 0xFFFFFFFF00000000ull;
constexpr uint64_t kStateInitializing = 0x400000000ull;  // bit 34

// How bad a set's state is: an orphan or a regeneration still running leaves the data
// with no redundancy (1); a disabled or failed set has lost data (2).
uint32_t FtStateSeverity(uint32_t ftState) {
  switch (ftState) {
    case FtStateOk:
    case FtInitializing:
      return 0;
    case FtHasOrphan:
    case FtRegenerating:
      return 1;
    default:
      return 2;
  }
}

// Guards the creation and the closing of g_hMutex, so two first uses on different
// threads cannot both create a mutex (and then hold different ones).
std::mutex gMutexCreation;

void AddU32(ZM_PROPSET set, const char* name, uint32_t value) {
  ZM_PROPERTY p{name, ZM_TYPE_UINT32, 0, sizeof value, &value};
  PsAddProperty(set, &p);
}

void AddU64(ZM_PROPSET set, const char* name, uint64_t value) {
  ZM_PROPERTY p{name, ZM_TYPE_UINT64, 0, sizeof value, &value};
  PsAddProperty(set, &p);
}

enum class Stored { Loaded, Absent, Unreadable };

// Loads the stored FT configuration into info. A missing or empty value is Absent; one
// that cannot be read or is not a well-formed blob is Unreadable (info stays empty, so
// no record of it is ever used).
Stored LoadStoredConfiguration(FTInfo& info) {
  if (info.Load(nullptr, 0)) return Stored::Loaded;
  return info.LastLoadResult() == FTLoadResult::NotStored ? Stored::Absent : Stored::Unreadable;
}

// Calls fn(signature, record) for every partition record of the disk part of a checked
// blob, in order, until fn returns false; returns false when fn did.
template <typename Byte, typename Fn>
bool ForEachPartitionRecord(Byte* blob, Fn fn) {
  _DISK_CONFIG_HEADER header;
  std::memcpy(&header, blob, sizeof header);
  if (header.DiskInformationSize == 0) return true;
  Byte* p = blob + header.DiskInformationOffset;
  uint16_t disks;
  std::memcpy(&disks, p, sizeof disks);
  p += kDiskRegistryHeaderSize;
  for (uint32_t d = 0; d < disks; ++d) {
    uint16_t parts;
    uint32_t signature;
    std::memcpy(&parts, p, sizeof parts);
    std::memcpy(&signature, p + 4, sizeof signature);
    for (uint32_t i = 0; i < parts; ++i)
      if (!fn(signature, p + kDiskDescriptionHeaderSize + i * kDiskPartitionSize)) return false;
    p += DiskDescriptionSize(parts);
  }
  return true;
}

// True when every partition record of a checked blob is found by location in info: the
// merge took the scanned disk part over.
bool HoldsEveryPartitionOf(FTInfo& info, const uint8_t* blob) {
  return ForEachPartitionRecord(blob, [&info](uint32_t signature, const uint8_t* at) {
    _DISK_PARTITION rec;
    std::memcpy(&rec, at, sizeof rec);
    Ptr<FTPartition> found;
    found = info.FindPartition(signature, rec.StartingOffset, rec.Length);
    return bool(found);
  });
}

bool HasDisk(const FTInfo& info, uint32_t signature) {
  for (uint32_t d = 0; d < info.NumberOfDisks(); ++d) {
    _DISK_DESCRIPTION* disk = nullptr;
    if (info.GetDiskInfo(d, &disk) && disk->Signature == signature) return true;
  }
  return false;
}

// The letter a record or a value names, or 0 when it names none (' ', 0, anything else).
uint8_t Recorded(uint8_t letter) {
  if (letter >= 'a' && letter <= 'z') letter = uint8_t(letter - 32);
  return letter >= 'C' && letter <= 'Z' ? letter : 0;
}

// Orphans the members of info's sets whose partition has no record in the scanned blob
// (header + disk part, checked), and degrades their sets.
void OrphanMembersNotIn(FTInfo& info, const uint8_t* scanned, uint32_t size) {
  FTInfo disks;
  if (!disks.Load(scanned, size)) return;
  std::vector<uint8_t> blob(info.Blob(), info.Blob() + info.UsedLength());
  // A member on a disk the scan did not find at all (away for now) is left as it was;
  // the FtDisk driver judges it when the disk is back.
  auto present = [&disks](uint32_t signature, int64_t offset, int64_t length) {
    if (!HasDisk(disks, signature)) return true;
    Ptr<FTPartition> found;
    found = disks.FindPartition(signature, offset, length);
    return bool(found);
  };
  if (DiskRegistryOrphanMissingMembers(blob.data(), blob.size(), present) != 0)
    info.Load(blob.data(), uint32_t(blob.size()));
}

// A placeholder volume exists only for its one partition: once an FT set has taken the
// partition it is deleted, so no volume without a partition stays (a letter request
// could otherwise resolve to it).
void DeleteIfEmptyPlaceholder(ZM_OBJECT_ID volume) {
  uint32_t facility = 0;
  if (ZM_FAILED(ReadU32(volume, "FACILITY", &facility)) || facility != 1) return;
  IdList children;
  if (!ZM_FAILED(ObGetChildObjects(ghDb, volume, ZM_OBJ_PARTITION, &children.count, &children.ids)) &&
      children.count == 0)
    ObDeleteObject(ghDb, volume);
}

// The scan records the letters of the running system. Where the stored configuration
// records a letter for the same partition, or asks for none (not assigned), that is
// kept instead: letters change only by request, and a configuration imported or
// edited during this boot is not overwritten by the letters the boot gave before it.
// The scanned blob has been checked.
void KeepRecordedLetters(FTInfo& stored, uint8_t* scanned) {
  ForEachPartitionRecord(scanned, [&stored](uint32_t signature, uint8_t* at) {
    _DISK_PARTITION rec;
    std::memcpy(&rec, at, sizeof rec);
    if (rec.FtType != NotAnFtMember) return true;
    Ptr<FTPartition> old;
    old = stored.FindPartition(signature, rec.StartingOffset, rec.Length);
    if (!old || old->GetFtType() != NotAnFtMember) return true;
    if (old->GetAssignDriveLetter() == 0) {
      rec.DriveLetter = old->GetDriveLetter();
      rec.AssignDriveLetter = 0;
    } else if (Recorded(old->GetDriveLetter()) != 0) {
      rec.DriveLetter = Recorded(old->GetDriveLetter());
      rec.AssignDriveLetter = 1;
    } else {
      return true;
    }
    std::memcpy(at, &rec, sizeof rec);
    return true;
  });
}

// One FT set published: its volume object found or made, members linked and written.
// Returns the first failure of this set's own operations, else 0.
ZMSTATUS PublishSet(FTVolume* set, const IdList& partitions) {
  const uint32_t zmType = FtTypeToZmType(set->GetType());
  const uint32_t group = set->GetFtGroup();
  ZMSTATUS status = 0;
  ZM_OBJECT_ID volume = 0;
  bool created = false;
  if (!GetVolumeId(zmType, group, &volume)) {
    status = ObCreateObject(ghDb, ghProvider, ZM_OBJ_VOLUME, &volume);
    if (ZM_FAILED(status)) return status;
    created = true;
    if (partitions.count > 0) {
      ZM_OBJECT_ID disk = 0;
      if (!ZM_FAILED(GetParentDisk(partitions.ids[0], &disk))) {
        IdList containers;
        if (!ZM_FAILED(
                ObGetParentObjects(ghDb, disk, ZM_OBJ_CONTAINER, &containers.count, &containers.ids)) &&
            containers.count > 0)
          ObAddChildObject(ghDb, containers.ids[0], volume);
      }
    }
  }

  ZM_PROPSET volumeProps = nullptr;
  status = PsCreatePropset(&volumeProps);
  if (ZM_FAILED(status)) {
    // A new volume object without its properties could never be found again.
    if (created) ObDeleteObject(ghDb, volume);
    return status;
  }
  GetVolumeProperties(set, volumeProps, volume);

  ZMSTATUS firstFailure = 0;
  FTMemberIterator members(set);
  for (members.First(); !members.IsDone(); members.Next()) {
    Ptr<FTMember> member;
    member = members.CurrentItem();
    if (!member) continue;
    ZM_OBJECT_ID partition = 0;
    if (ZM_FAILED(FindPartition(partitions.count, partitions.ids, member->GetDiskSignature(),
                                member->GetStartingOffset(), member->GetLength(), &partition)))
      continue;  // not in the database: left out

    IdList parents;
    if (!ZM_FAILED(ObGetParentObjects(ghDb, partition, ZM_OBJ_VOLUME, &parents.count, &parents.ids)) &&
        parents.count > 0) {
      if (parents.ids[0] != volume) {
        ObRemoveChildObject(ghDb, parents.ids[0], partition);
        ObAddChildObject(ghDb, volume, partition);
        DeleteIfEmptyPlaceholder(parents.ids[0]);
      }
    } else {
      ObAddChildObject(ghDb, volume, partition);
    }

    ZM_PROPSET memberProps = nullptr;
    ZMSTATUS s = PsCreatePropset(&memberProps);
    if (ZM_FAILED(s)) {
      if (!ZM_FAILED(firstFailure)) firstFailure = s;
    } else {
      GetMemberProperties(member.get(), memberProps);
      ObSetProperties(ghDb, partition, memberProps);
      PsDestroyPropset(memberProps);
    }

    if (member->GetFtMember() == 0) {
      ZM_PROPERTY* device = nullptr;
      if (!ZM_FAILED(ObGetProperty(ghDb, partition, "\\Device\\", &device)) && device != nullptr)
        PsAddProperty(volumeProps, device);
      if (device != nullptr) _ZmFree(device, __FILE__, __LINE__);
    }
  }

  ObSetProperties(ghDb, volume, volumeProps);
  PsDestroyPropset(volumeProps);
  IdList children;
  if (!ZM_FAILED(ObGetChildObjects(ghDb, volume, ZM_OBJ_PARTITION, &children.count, &children.ids)) &&
      children.count == 0)
    ObDeleteObject(ghDb, volume);
  return firstFailure;
}

}  // namespace

FtMutexHold::FtMutexHold() {
  HANDLE h;
  {
    std::lock_guard<std::mutex> lock(gMutexCreation);
    if (g_hMutex == nullptr) g_hMutex = CreateMutexW(nullptr, FALSE, nullptr);
    h = g_hMutex;
  }
  if (h == nullptr) return;
  // An abandoned mutex is still owned by this thread once the wait returns.
  DWORD w = WaitForSingleObject(h, INFINITE);
  if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) held_ = h;
}

FtMutexHold::~FtMutexHold() {
  if (held_ != nullptr) ReleaseMutex(held_);
}

uint32_t FtTypeToZmType(uint32_t ftType) {
  switch (ftType) {
    case Mirror:
      return 7;
    case Stripe:
      return 6;
    case StripeWithParity:
      return 8;
    case VolumeSet:
      return 5;
    default:
      return 0;
  }
}

uint32_t ZmTypeToFtType(uint32_t zmType) {
  switch (zmType) {
    case 5:
      return VolumeSet;
    case 6:
      return Stripe;
    case 7:
      return Mirror;
    case 8:
      return StripeWithParity;
    default:
      return NotAnFtMember;
  }
}

uint64_t FtStateToZmState(uint32_t ftState) {
  switch (ftState) {
    case FtStateOk:
      return 0x4;
    case FtHasOrphan:
      return 0x20000;
    case FtDisabled:
      return 0x8;
    case FtRegenerating:
      return 0x8000;
    case FtInitializing:
      return 0x400000000ull;
    default:
      return 0x8;
  }
}

uint64_t FtPartitionStateToZmState(uint32_t partitionState) {
  switch (partitionState) {
    case Healthy:
      return 0x4;
    case Orphaned:
      return 0x2;
    case Regenerating:
      return 0x8000;
    case Initializing:
      return 0x400000000ull;
    default:
      return 0x8;
  }
}

int GetVolumeProperties(FTVolume* volume, ZM_PROPSET set, ZM_OBJECT_ID volumeId) {
  if (volume == nullptr) return 0;
  AddU32(set, "LDM_VOLUME_TYPE", FtTypeToZmType(volume->GetType()));
  uint64_t state = FtStateToZmState(volume->GetState());
  uint32_t severity = FtStateSeverity(volume->GetState());
  uint64_t previous = 0;
  if (volumeId != 0 && !ZM_FAILED(ReadU64(volumeId, "STATE", &previous))) {
    if (previous & kStateBit38) {
      state = 0x8;
      severity = 2;
    }
    // The upper half carries over, except bit 34 (initializing), which only the set's
    // state in the configuration decides: a set that finished initializing loses it.
    state |= previous & kUpperHalf & ~kStateInitializing;
  }
  AddU64(set, "STATE", state);
  AddU32(set, "SEVERITY", severity);
  AddU64(set, "LENGTH_LL", static_cast<uint64_t>(volume->GetUsableLength()));
  AddU32(set, "FT_GROUP", volume->GetFtGroup());
  AddU32(set, "FACILITY", 2);
  return 1;
}

int GetMemberProperties(FTMember* member, ZM_PROPSET set) {
  AddU64(set, "STATE", FtPartitionStateToZmState(member->GetFtPartitionState()));
  AddU32(set, "FT_MEMBER_NUMBER", member->GetFtMember());
  return 1;
}

ZMSTATUS GetParentDisk(ZM_OBJECT_ID id, ZM_OBJECT_ID* disk) {
  uint32_t type = 0;
  if (ZM_FAILED(ReadU32(id, "LDM_VOLUME_TYPE", &type))) return ZM_E_AMBIGUOUS_PARENT;
  ZM_OBJECT_ID object = id;
  if (type == 3) {
    IdList extended;
    if (ZM_FAILED(ObGetParentObjects(ghDb, id, ZM_OBJ_EXTENDED, &extended.count, &extended.ids)) ||
        extended.count != 1)
      return ZM_E_AMBIGUOUS_PARENT;
    object = extended.ids[0];
  }
  IdList disks;
  ZMSTATUS s = ObGetParentObjects(ghDb, object, ZM_OBJ_DISK, &disks.count, &disks.ids);
  if (ZM_FAILED(s) || disks.count != 1) return ZM_E_AMBIGUOUS_PARENT;
  *disk = disks.ids[0];
  return s;
}

// The extent the configuration records for a partition object of the given type on
// disk: a logical drive's object (type 3) starts one track before the partition's data
// and is one track longer.
ZMSTATUS RecordedExtent(ZM_OBJECT_ID id, uint32_t type, ZM_OBJECT_ID disk, int64_t* offset, int64_t* length) {
  ZMSTATUS s = 0;
  uint64_t correction = 0;
  if (type == 3) {
    uint32_t sectors = 0, bytes = 0;
    s = ReadU32(disk, "SECTORS_PER_TRACK", &sectors);
    if (ZM_FAILED(s)) return s;
    s = ReadU32(disk, "BYTES_PER_SECTOR", &bytes);
    if (ZM_FAILED(s)) return s;
    correction = uint64_t(sectors) * bytes;
  }
  uint64_t off = 0, len = 0;
  s = ReadU64(id, "OFFSET_LL", &off);
  if (ZM_FAILED(s)) return s;
  s = ReadU64(id, "LENGTH_LL", &len);
  if (ZM_FAILED(s)) return s;
  *offset = static_cast<int64_t>(off + correction);
  *length = static_cast<int64_t>(len - correction);
  return s;
}

ZMSTATUS FindPartition(uint32_t count, const ZM_OBJECT_ID* ids, uint32_t signature, int64_t offset,
                       int64_t length, ZM_OBJECT_ID* partition) {
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t type = 0;
    ZMSTATUS s = ReadU32(ids[i], "LDM_VOLUME_TYPE", &type);
    if (ZM_FAILED(s)) return s;
    if (type == 2) continue;  // an extended partition is never a member
    ZM_OBJECT_ID disk = 0;
    s = GetParentDisk(ids[i], &disk);
    if (ZM_FAILED(s)) return s;
    uint32_t diskSignature = 0;
    s = ReadU32(disk, "SIGNATURE", &diskSignature);
    if (ZM_FAILED(s)) return s;
    if (diskSignature != signature) continue;
    int64_t off = 0, len = 0;
    s = RecordedExtent(ids[i], type, disk, &off, &len);
    if (ZM_FAILED(s)) return s;
    if (off != offset || len != length) continue;
    *partition = ids[i];
    return s;
  }
  return FT_E_NO_PARTITION;
}

int GetVolumeId(uint32_t zmType, uint32_t group, ZM_OBJECT_ID* volume) {
  IdList volumes;
  if (ZM_FAILED(DbGetObjects(ghDb, ZM_OBJ_VOLUME, &volumes.count, &volumes.ids))) return 0;
  for (uint32_t i = 0; i < volumes.count; ++i) {
    uint32_t type = 0, g = 0;
    if (ZM_FAILED(ReadU32(volumes.ids[i], "LDM_VOLUME_TYPE", &type)) || type != zmType) continue;
    if (ZM_FAILED(ReadU32(volumes.ids[i], "FT_GROUP", &g)) || g != group) continue;
    *volume = volumes.ids[i];
    return 1;
  }
  return 0;
}

int IsFtVolume(ZM_OBJECT_ID id) {
  uint32_t type = 0;
  if (ZM_FAILED(ReadU32(id, "LDM_VOLUME_TYPE", &type))) return 0;
  return type >= 5 && type <= 8 ? 1 : 0;
}

ZMSTATUS RemoveObsoleteFromDOM(FTInfo& info) {
  IdList volumes;
  ZMSTATUS status = DbGetObjects(ghDb, ZM_OBJ_VOLUME, &volumes.count, &volumes.ids);
  if (ZM_FAILED(status) || volumes.count == 0) return status;
  for (uint32_t v = 0; v < volumes.count; ++v) {
    const ZM_OBJECT_ID volume = volumes.ids[v];
    if (!IsFtVolume(volume)) continue;
    uint32_t type = 0, group = 0;
    // A volume whose identity cannot be read is passed over, never compared stale.
    if (ZM_FAILED(ReadU32(volume, "LDM_VOLUME_TYPE", &type))) continue;
    status = ReadU32(volume, "FT_GROUP", &group);
    if (ZM_FAILED(status)) continue;
    Ptr<FTVolume> set;
    set = info.FindVolume(ZmTypeToFtType(type), static_cast<uint16_t>(group));
    if (!set) {
      ObDeleteObject(ghDb, volume);
      continue;
    }
    IdList children;
    status = ObGetChildObjects(ghDb, volume, ZM_OBJ_PARTITION, &children.count, &children.ids);
    if (ZM_FAILED(status) || children.count == 0) continue;
    for (uint32_t c = 0; c < children.count; ++c) {
      const ZM_OBJECT_ID child = children.ids[c];
      ZM_OBJECT_ID disk = 0;
      uint32_t signature = 0, partitionType = 0;
      int64_t offset = 0, length = 0;
      // Compared as the publishing pass matches members, so that a logical drive is not
      // unlinked by every pass only to be linked again.
      if (ZM_FAILED(GetParentDisk(child, &disk)) || ZM_FAILED(ReadU32(disk, "SIGNATURE", &signature)) ||
          ZM_FAILED(ReadU32(child, "LDM_VOLUME_TYPE", &partitionType)) ||
          ZM_FAILED(RecordedExtent(child, partitionType, disk, &offset, &length)))
        continue;  // cannot be compared: its link stays
      Ptr<FTPartition> record;
      record = info.FindPartition(signature, offset, length);
      if (!record || record->GetFtType() != set->GetType() || record->GetFtGroup() != set->GetFtGroup())
        status = ObRemoveChildObject(ghDb, volume, child);
    }
  }
  return status;
}

ZMSTATUS AddFtObjectsToDatabase() {
  FtMutexHold hold;
  if (!hold.held()) return ZM_E_FAIL;
  IdList partitions;
  ZMSTATUS status = DbGetObjects(ghDb, ZM_OBJ_PARTITION, &partitions.count, &partitions.ids);
  if (ZM_FAILED(status)) return status;
  FTInfo info;
  if (LoadStoredConfiguration(info) != Stored::Loaded) return FT_E_CONFIG_UNREADABLE;

  // Each set is judged by its own operations; the pass reports the first failure.
  ZMSTATUS result = RemoveObsoleteFromDOM(info);
  if (!ZM_FAILED(result)) result = 0;
  FTVolumeIterator sets(&info);
  for (sets.First(); !sets.IsDone(); sets.Next()) {
    Ptr<FTVolume> set;
    set = sets.CurrentItem();
    if (!set) continue;
    ZMSTATUS s = PublishSet(set.get(), partitions);
    if (ZM_FAILED(s) && !ZM_FAILED(result)) result = s;
  }
  return result;
}

ZMSTATUS FtDiskAssignDriveLetter(ZM_OBJECT_ID objectId, uint32_t operationClass, uint32_t operationCode,
                                 ZM_PROPSET inProps, ZM_PROPSET outProps, uint32_t arg6, void* arg8,
                                 ZM_PROGRESS_CALLBACK progress, ZM_OBJECT_ID* resultId) {
  FTInfo info;
  FtMutexHold hold;
  if (!hold.held()) return ZM_E_FAIL;

  uint32_t type = 0;
  ZMSTATUS s = ObGetObjectType(ghDb, objectId, &type);
  if (ZM_FAILED(s)) return s;
  if (type != ZM_OBJ_VOLUME) return E_INVALIDARG_ZM;

  uint8_t letter = ' ';
  if (operationCode != OP_REMOVE_DRIVE_LETTER) {
    ZM_PROPERTY* record = nullptr;
    s = PsFindProperty(inProps, "DRIVE_LETTER", &record);
    if (ZM_FAILED(s)) {
      if (record != nullptr) _ZmFree(record, __FILE__, __LINE__);
      return s;
    }
    if (record == nullptr || record->Type != ZM_TYPE_STRING) {
      if (record != nullptr) _ZmFree(record, __FILE__, __LINE__);
      return E_INVALIDARG_ZM;
    }
    // The first character, as an 8-bit character; a string too short to hold one, or a
    // character outside 7-bit ASCII, gives 0, which "mount" refuses.
    letter = 0;
    if (record->Value != nullptr && record->Size >= sizeof(WCHAR)) {
      WCHAR first;
      std::memcpy(&first, record->Value, sizeof first);
      if (first < 0x80) letter = static_cast<uint8_t>(first);
    }
    _ZmFree(record, __FILE__, __LINE__);
  }

  uint32_t zmType = 0, group = 0;
  s = ReadU32(objectId, "LDM_VOLUME_TYPE", &zmType);
  if (ZM_FAILED(s)) return s;
  s = ReadU32(objectId, "FT_GROUP", &group);
  if (ZM_FAILED(s)) return s;

  if (LoadStoredConfiguration(info) != Stored::Loaded) return FT_E_CONFIG_UNREADABLE;
  Ptr<FTVolume> set;
  set = info.FindVolume(ZmTypeToFtType(zmType), static_cast<uint16_t>(group));
  if (!set) return FT_E_NO_SUCH_SET;

  ZM_HANDLE mount = nullptr;
  s = PrGetProviderByName(ghDb, u"mount", &mount);
  if (ZM_FAILED(s)) return s;
  std::u16string previous;
  if (ZM_FAILED(ReadString(objectId, "DRIVE_LETTER", &previous))) previous.clear();
  ZMSTATUS mounted = PrCallProvider(mount, objectId, operationClass, operationCode, inProps, outProps, arg6,
                                    0, arg8, progress, resultId);
  if (ZM_FAILED(mounted)) return mounted;

  if (!set->AssignDriveLetter(letter) || !info.Store()) {
    // Not recorded: the running letter goes back to what it was.
    RestoreDriveLetter(objectId, previous);
    return FT_E_REGISTRY_UPDATE;
  }
  return mounted;
}

ZMSTATUS FtRebuild(_DISK_REGISTRY* diskPart, uint32_t size) {
  FTInfo info;
  _DISK_CONFIG_HEADER header{};
  header.Version = 3;
  header.DiskInformationOffset = kDiskConfigHeaderSize;
  header.DiskInformationSize = size;
  header.FtInformationOffset = kDiskConfigHeaderSize + size;
  FtMutexHold hold;
  if (!hold.held()) return ZM_E_FAIL;

  uint8_t* buffer = nullptr;
  uint32_t total = 0;
  if (diskPart != nullptr && size != 0) {
    // A disk part that cannot be taken in, or does not hold together, is reported and
    // never merged: storing the old configuration back would pass for a rebuild.
    if (size > UINT32_MAX - kDiskConfigHeaderSize) return FT_E_REGISTRY_UPDATE;
    total = size + kDiskConfigHeaderSize;
    buffer = static_cast<uint8_t*>(_ZmAlloc(total, __FILE__, __LINE__));
    if (buffer == nullptr) return FT_E_REGISTRY_UPDATE;
    std::memcpy(buffer, &header, sizeof header);
    std::memcpy(buffer + kDiskConfigHeaderSize, diskPart, size);
    if (!DiskRegistryValidate(buffer, total, nullptr)) {
      _ZmFree(buffer, __FILE__, __LINE__);
      return FT_E_REGISTRY_UPDATE;
    }
  }

  ZMSTATUS result = 0;
  // A stored configuration that cannot be read is never replaced: its FT sets would be
  // lost with it.
  if (LoadStoredConfiguration(info) == Stored::Unreadable) {
    result = FT_E_REGISTRY_UPDATE;
  } else {
    // Members whose partition the scan no longer found are orphaned before the merge,
    // as the driver does at boot: a partition made later at the same place must not
    // take over a healthy member's record.
    if (buffer != nullptr && info.Blob() != nullptr && info.NumberOfFTVolumes() > 0)
      OrphanMembersNotIn(info, buffer, total);
    if (buffer != nullptr && info.Blob() != nullptr) KeepRecordedLetters(info, buffer);
    const uint32_t setsBefore = info.NumberOfFTVolumes();
    if (!info.Rebuild(buffer, buffer != nullptr ? total : 0) || info.Blob() == nullptr ||
        info.NumberOfFTVolumes() != setsBefore ||
        (buffer != nullptr && !HoldsEveryPartitionOf(info, buffer)) ||
        !DiskRegistryValidate(info.Blob(), info.UsedLength(), nullptr) || !info.Store())
      result = FT_E_REGISTRY_UPDATE;
  }
  if (buffer != nullptr) _ZmFree(buffer, __FILE__, __LINE__);
  return result;
}

void FtDiskFinalize() {
  std::lock_guard<std::mutex> lock(gMutexCreation);
  if (g_hMutex != nullptr) {
    CloseHandle(g_hMutex);
    g_hMutex = nullptr;
  }
}

uint8_t FtFreeDriveLetter() {
  bool taken[26] = {};
  for (char16_t l = u'C'; l <= u'Z'; ++l) {
    const WCHAR name[3] = {l, u':', 0};
    WCHAR target[260];
    if (QueryDosDeviceW(name, target, 260) != 0) taken[l - u'A'] = true;
  }
  {
    FtMutexHold hold;
    FTInfo info;
    if (hold.held() && LoadStoredConfiguration(info) == Stored::Loaded) {
      ForEachPartitionRecord(info.Blob(), [&taken](uint32_t, const uint8_t* at) {
        _DISK_PARTITION rec;
        std::memcpy(&rec, at, sizeof rec);
        // FT members all record their set's letter; a plain record only while assigned.
        if (uint8_t l = Recorded(rec.DriveLetter);
            l != 0 && (rec.AssignDriveLetter || rec.FtType != NotAnFtMember))
          taken[l - 'A'] = true;
        return true;
      });
    }
  }
  for (uint8_t l = 'C'; l <= 'Z'; ++l)
    if (!taken[l - 'A']) return l;
  return 0;
}

void FtRecordGivenLetters() {
  IdList volumes;
  if (ZM_FAILED(DbGetObjects(ghDb, ZM_OBJ_VOLUME, &volumes.count, &volumes.ids))) return;
  FtMutexHold hold;
  if (!hold.held()) return;
  FTInfo info;
  const bool loaded = LoadStoredConfiguration(info) == Stored::Loaded;
  bool changed = false;
  for (uint32_t v = 0; v < volumes.count; ++v) {
    const ZM_OBJECT_ID volume = volumes.ids[v];
    uint32_t type = 0, facility = 0;
    std::u16string device;
    if (ZM_FAILED(ReadU32(volume, "LDM_VOLUME_TYPE", &type)) ||
        ZM_FAILED(ReadString(volume, "\\Device\\", &device)) || device.empty())
      continue;
    const uint8_t letter = DriveLetterOf(device.c_str());
    if (letter == 0) continue;
    if (type == 4) {  // a CD-ROM: the value under its device name
      WCHAR stored = 0;
      if (!NT_SUCCESS(DiskRegistryGetCdRomLetter(device.c_str(), &stored)) ||
          (stored != u' ' && Recorded(uint8_t(stored < 0x80 ? stored : 0)) == 0))
        DiskRegistryAssignCdRomLetter(device.c_str(), WCHAR(letter));
      continue;
    }
    // Records name disks by signature: nothing is recorded for a disk that has none of its own.
    if (!loaded || ZM_FAILED(ReadU32(volume, "FACILITY", &facility)) ||
        ZM_FAILED(layout::CheckVolumeDiskSignature(volume)))
      continue;
    if (facility == 2) {
      uint32_t group = 0;
      if (ZM_FAILED(ReadU32(volume, "FT_GROUP", &group))) continue;
      Ptr<FTVolume> set;
      set = info.FindVolume(ZmTypeToFtType(type), static_cast<uint16_t>(group));
      _DISK_PARTITION* first = nullptr;
      if (!set || !set->GetMemberInfo(0, nullptr, &first) || first->AssignDriveLetter == 0) continue;
      const uint8_t recorded = Recorded(first->DriveLetter);
      if (recorded != 0 && recorded != letter) continue;  // the configuration's letter holds
      // Recorded on every member, so the letter stays with the set whichever member is here.
      bool everywhere = recorded == letter;
      for (uint32_t m = 1; everywhere && m < set->NumberOfMembers(); ++m) {
        _DISK_PARTITION* rec = nullptr;
        everywhere = set->GetMemberInfo(m, nullptr, &rec) && rec->DriveLetter == letter;
      }
      if (!everywhere && set->AssignDriveLetter(letter)) changed = true;
    } else if (facility == 1) {
      IdList parts;
      ZM_OBJECT_ID disk = 0;
      uint32_t signature = 0, partitionType = 0;
      int64_t offset = 0, length = 0;
      if (ZM_FAILED(ObGetChildObjects(ghDb, volume, ZM_OBJ_PARTITION, &parts.count, &parts.ids)) ||
          parts.count == 0 || ZM_FAILED(GetParentDisk(parts.ids[0], &disk)) ||
          ZM_FAILED(ReadU32(disk, "SIGNATURE", &signature)) ||
          ZM_FAILED(ReadU32(parts.ids[0], "LDM_VOLUME_TYPE", &partitionType)) ||
          ZM_FAILED(RecordedExtent(parts.ids[0], partitionType, disk, &offset, &length)))
        continue;
      Ptr<FTPartition> rec;
      rec = info.FindPartition(signature, offset, length);
      if (!rec || rec->GetFtType() != NotAnFtMember || rec->GetAssignDriveLetter() == 0 ||
          Recorded(rec->GetDriveLetter()) != 0)
        continue;
      rec->SetDriveLetter(letter);
      changed = true;
    }
  }
  if (changed) info.Store();
}
