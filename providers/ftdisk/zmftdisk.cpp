// Request dispatch, change notifications, the severity roll-up, and the property
// readers that every file of the provider uses.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "fdiskreg.h"
#include "ftdisk.h"
#include "layout.h"
#include "provider.h"

namespace {

constexpr uint32_t kRefreshAlso = 2;         // served like OP_REFRESH
constexpr uint32_t kNotImplemented = 10010;  // class 10001: known but not carried out
constexpr uint32_t kCdromVolume = 4;         // LDM_VOLUME_TYPE of a CD-ROM volume
constexpr uint32_t kFacilityMount = 1;       // letters changed by the provider "mount"
constexpr uint32_t kFacilityFtDisk = 2;      // letters changed by this provider

void FreeIds(ZM_OBJECT_ID* ids) {
  if (ids != nullptr) _ZmFree(ids, __FILE__, __LINE__);
}

// Gets a property record; on success *record may still be null.
ZMSTATUS GetRecord(ZM_OBJECT_ID id, const char* name, ZM_PROPERTY** record) {
  *record = nullptr;
  ZMSTATUS s = ObGetProperty(ghDb, id, name, record);
  if (ZM_FAILED(s)) {
    if (*record != nullptr) _ZmFree(*record, __FILE__, __LINE__);
    *record = nullptr;
  }
  return s;
}

// The value bytes of a record of the given type, when they are all there.
const void* ValueOf(const ZM_PROPERTY* r, uint32_t type, uint32_t size) {
  if (r == nullptr || r->Type != type || r->Value == nullptr || r->Size < size) return nullptr;
  return r->Value;
}

// Reads a fixed-size value of one of two accepted types; any other record gives 0.
template <typename T>
ZMSTATUS ReadScalar(ZM_OBJECT_ID id, const char* name, T* value, uint32_t type, uint32_t otherType) {
  if (value == nullptr) return E_INVALIDARG_ZM;
  *value = 0;
  ZM_PROPERTY* r = nullptr;
  ZMSTATUS s = GetRecord(id, name, &r);
  if (ZM_FAILED(s)) return s;
  const void* p = ValueOf(r, type, sizeof(T));
  if (p == nullptr) p = ValueOf(r, otherType, sizeof(T));
  if (p != nullptr) memcpy(value, p, sizeof(T));
  if (r != nullptr) _ZmFree(r, __FILE__, __LINE__);
  return ZM_S_OK;
}

// Severities read while handling events, each kept until a node-change event says that
// its object changed: a volume's event then reads its own severity and takes its
// siblings' from here instead of reading every sibling on every event. Only the
// notification path uses them, and only while the provider hears of every change (from
// its registration for node changes to its shut-down). A value read while an event was
// handled in between is not kept, since that event may be about the object read.
class KnownSeverities {
 public:
  void Start() {
    std::lock_guard<std::mutex> g(mu_);
    on_ = true;
    known_.clear();
  }
  void Stop() {
    std::lock_guard<std::mutex> g(mu_);
    on_ = false;
    known_.clear();
  }
  void Forget(ZM_OBJECT_ID id) {
    std::lock_guard<std::mutex> g(mu_);
    if (id < known_.size()) known_[id] = kUnknown;
    ++forgotten_;
  }
  // The highest severity among objects (0 for one that cannot be read): the known ones
  // from here, the others read and, when mayKeep, kept.
  uint32_t Highest(const ZM_OBJECT_ID* ids, uint32_t count, bool mayKeep) {
    uint32_t highest = 0;
    // The objects to read: a group's fit on the stack (at most 16 volumes), so an event
    // allocates nothing here; a larger listing goes to the heap.
    constexpr uint32_t kOnStack = 32;
    ZM_OBJECT_ID stackIds[kOnStack];
    std::vector<ZM_OBJECT_ID> heapIds;
    ZM_OBJECT_ID* unknown = stackIds;
    if (count > kOnStack) {
      heapIds.resize(count);
      unknown = heapIds.data();
    }
    uint32_t unknownCount = 0;
    uint64_t forgotten = 0;
    if (mayKeep) {
      std::lock_guard<std::mutex> g(mu_);
      for (uint32_t i = 0; i < count; ++i) {
        const uint64_t known = ids[i] < known_.size() ? known_[ids[i]] : kUnknown;
        if (known != kUnknown)
          highest = std::max(highest, static_cast<uint32_t>(known));
        else
          unknown[unknownCount++] = ids[i];
      }
      forgotten = forgotten_;
    } else {
      std::copy(ids, ids + count, unknown);
      unknownCount = count;
    }
    // Each read value takes its object's place, so the first ones are those to keep.
    uint32_t severities[kOnStack];
    uint32_t kept = 0;
    for (uint32_t i = 0; i < unknownCount; ++i) {
      uint32_t severity = 0;
      if (ZM_FAILED(ReadU32(unknown[i], "SEVERITY", &severity))) continue;
      highest = std::max(highest, severity);
      if (mayKeep && kept < kOnStack) {
        unknown[kept] = unknown[i];
        severities[kept++] = severity;
      }
    }
    if (kept != 0) {
      std::lock_guard<std::mutex> g(mu_);
      if (on_ && forgotten == forgotten_)
        for (uint32_t i = 0; i < kept; ++i) Keep(unknown[i], severities[i]);
    }
    return highest;
  }

 private:
  // By object id: the host numbers objects from 1 up and never reuses a number, so a
  // vector indexed by id holds them without hashing. Ids far beyond any object made so
  // far are not kept.
  static constexpr uint64_t kUnknown = ~uint64_t{0};
  static constexpr ZM_OBJECT_ID kMaxKeptId = ZM_OBJECT_ID{1} << 24;
  void Keep(ZM_OBJECT_ID id, uint32_t severity) {
    if (id >= kMaxKeptId) return;
    if (id >= known_.size()) known_.resize(std::max<size_t>(id + 1, 2 * known_.size()), kUnknown);
    known_[id] = severity;
  }

  std::mutex mu_;
  bool on_ = false;
  uint64_t forgotten_ = 0;
  std::vector<uint64_t> known_;
};
KnownSeverities gKnown;

// Set while this thread handles an event.
thread_local bool tNotifying = false;

// The highest severity among the children of an object.
uint32_t HighestOfChildren(ZM_OBJECT_ID id) {
  uint32_t count = 0;
  ZM_OBJECT_ID* ids = nullptr;
  if (ZM_FAILED(ObGetChildObjects(ghDb, id, ZM_OBJ_ANY, &count, &ids))) {
    FreeIds(ids);
    return 0;
  }
  uint32_t highest = ids != nullptr ? gKnown.Highest(ids, count, tNotifying) : 0;
  FreeIds(ids);
  return highest;
}

void WriteSeverity(ZM_OBJECT_ID id, uint32_t severity) {
  ZM_PROPERTY record = {"SEVERITY", ZM_TYPE_UINT32, 0, sizeof severity, &severity};
  ObSetProperty(ghDb, id, &record);
}

// The roll-up of a volume's direct parents of type 10 or 11. A pass over every volume
// recomputes each parent once: done holds the parents recomputed so far.
void RollUpParents(ZM_OBJECT_ID id, std::unordered_set<ZM_OBJECT_ID>* done) {
  uint32_t count = 0;
  ZM_OBJECT_ID* ids = nullptr;
  if (ZM_FAILED(ObGetParentObjects(ghDb, id, ZM_OBJ_ANY, &count, &ids)) || ids == nullptr) {
    FreeIds(ids);
    return;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t type = 0;
    if (ZM_FAILED(ObGetObjectType(ghDb, ids[i], &type))) continue;
    if (type != ZM_OBJ_SEVERITY_ROOT && type != ZM_OBJ_VOLUME_ROOT) continue;
    if (done != nullptr && !done->insert(ids[i]).second) continue;
    // Only the direct parents: the new value is not carried further up.
    WriteSeverity(ids[i], HighestOfChildren(ids[i]));
  }
  FreeIds(ids);
}

class Notifying {
 public:
  Notifying() : outer_(tNotifying) { tNotifying = true; }
  ~Notifying() { tNotifying = outer_; }
  Notifying(const Notifying&) = delete;
  Notifying& operator=(const Notifying&) = delete;

 private:
  bool outer_;
};

ZMSTATUS RefreshAll() {
  DbLockDatabase(ghProvider);
  ZMSTATUS s = UpdateAllDisks();
  DbUnlockDatabase(ghProvider);
  return s;
}

ZMSTATUS CreatePartitionRequest(ZM_OBJECT_ID objectId, ZM_PROPSET inProps, ZM_PROPSET outProps, uint32_t arg6,
                                uint32_t arg7, void* arg8, ZM_PROGRESS_CALLBACK progress,
                                ZM_OBJECT_ID* resultId) {
  ZMSTATUS status = LdmCreatePartition(inProps, outProps, objectId);
  // The file-system provider rescans the disk whether or not the creation succeeded;
  // its answer does not change ours.
  ZM_HANDLE fsys = nullptr;
  if (ZM_FAILED(PrGetProviderByName(ghDb, u"fsys", &fsys))) return status;
  PrCallProvider(fsys, objectId, OPCLASS_LAYOUT, OP_REFRESH, inProps, outProps, arg6, arg7, arg8, progress,
                 resultId);
  return status;
}

ZMSTATUS DriveLetterRequest(ZM_OBJECT_ID objectId, uint32_t operationCode, ZM_PROPSET inProps,
                            ZM_PROPSET outProps, uint32_t arg6, uint32_t arg7, void* arg8,
                            ZM_PROGRESS_CALLBACK progress, ZM_OBJECT_ID* resultId) {
  uint32_t volumeType = 0;
  if (ZM_FAILED(ReadU32(objectId, "LDM_VOLUME_TYPE", &volumeType))) volumeType = 0;

  uint32_t facility = 0;
  ZMSTATUS s = ReadU32(objectId, "FACILITY", &facility);
  if (ZM_FAILED(s)) {
    // CD-ROM volumes come from another provider and carry no facility: "mount" owns them.
    if (volumeType != kCdromVolume) return s;
    facility = kFacilityMount;
  }

  if (facility == kFacilityMount) {
    // The letter is recorded by disk signature: a disk that cannot be told apart by it
    // is refused before "mount" changes anything.
    if (volumeType != kCdromVolume && ZM_FAILED(s = layout::CheckVolumeDiskSignature(objectId))) return s;
    ZM_HANDLE mount = nullptr;
    s = PrGetProviderByName(ghDb, u"mount", &mount);
    if (ZM_FAILED(s)) return s;
    std::u16string previous;
    if (ZM_FAILED(ReadString(objectId, "DRIVE_LETTER", &previous))) previous.clear();
    s = PrCallProvider(mount, objectId, OPCLASS_VOLUME, operationCode, inProps, outProps, arg6, arg7, arg8,
                       progress, resultId);
    if (ZM_FAILED(s)) return s;
    // Record the letter that "mount" has just set in the disk registry; when that
    // fails the running letter goes back, so nothing shows a change that was not made.
    ZMSTATUS recorded =
        volumeType == kCdromVolume ? UpdateCdromDriveLetter(objectId) : UpdateDriveLetter(objectId);
    if (ZM_FAILED(recorded)) RestoreDriveLetter(objectId, previous);
    return recorded;
  }
  if (facility == kFacilityFtDisk) {
    if (ZM_FAILED(s = layout::CheckVolumeDiskSignature(objectId))) return s;
    return FtDiskAssignDriveLetter(objectId, OPCLASS_VOLUME, operationCode, inProps, outProps, arg6, arg8,
                                   progress, resultId);
  }
  return E_INVALIDARG_ZM;
}

}  // namespace

ZMSTATUS FtDiskControl(ZM_OBJECT_ID objectId, uint32_t operationClass, uint32_t operationCode,
                       ZM_PROPSET inProps, ZM_PROPSET outProps, uint32_t arg6, uint32_t arg7, void* arg8,
                       ZM_PROGRESS_CALLBACK progress, ZM_OBJECT_ID* resultId) {
  // The refresh codes are served whatever the class.
  if (operationCode == OP_REFRESH || operationCode == kRefreshAlso) return RefreshAll();

  if (operationClass == OPCLASS_LAYOUT) {
    switch (operationCode) {
      case OP_CREATE_PARTITION:
        return CreatePartitionRequest(objectId, inProps, outProps, arg6, arg7, arg8, progress, resultId);
      case OP_DELETE_PARTITION:
        return LdmDeletePartition(objectId, resultId);
      case OP_UPDATE_DISK:
        return LdmUpdateDisk(objectId, outProps);
      default:
        return E_INVALIDARG_ZM;
    }
  }
  if (operationClass == OPCLASS_VOLUME) {
    switch (operationCode) {
      case OP_ASSIGN_DRIVE_LETTER:
      case OP_REMOVE_DRIVE_LETTER: {
        ZMSTATUS s = DriveLetterRequest(objectId, operationCode, inProps, outProps, arg6, arg7, arg8,
                                        progress, resultId);
        // The configuration was written: the letters of the other volumes go with it.
        if (!ZM_FAILED(s)) FtRecordGivenLetters();
        return s;
      }
      case kNotImplemented:
        return E_NOTIMPL_ZM;
      case OP_MARK_ACTIVE:
        return LdmMarkPartitionActive(objectId);
      case OP_UPDATE_CONTEXT_MENUS:
        UpdateAllContextMenus();
        return ZM_S_OK;
      default:
        return E_INVALIDARG_ZM;
    }
  }
  return E_INVALIDARG_ZM;
}

ZMSTATUS FtDiskChangeNotify(_Zm_Notification_Header* header) {
  if (header == nullptr) return ZM_S_OK;
  const GUID& event = header->EventGuid;
  auto is = [&event](const GUID& g) { return memcmp(&event, &g, sizeof(GUID)) == 0; };
  const ZM_OBJECT_ID id = header->Object;
  const uint32_t type = header->ObjectType;
  Notifying notifying;

  if (is(GUID_ZMINITIALIZATION_COMPLETE)) {
    UpdateAllContextMenus();
  } else if (is(GUID_DB_NODE_PARENT_CHANGE_GUID) || is(GUID_DB_NODE_CHILD_CHANGE_GUID)) {
    if (type == ZM_OBJ_VOLUME) {
      UpdateVolumeContextMenu(id);
    } else if (type == ZM_OBJ_EXTENDED) {
      UpdateContainerVolumeContextMenu(id);
    } else if (type == ZM_OBJ_SEVERITY_ROOT || type == ZM_OBJ_VOLUME_ROOT) {
      // A health object that gained or lost a child (a failed volume deleted) takes the
      // highest severity of the children it has now; otherwise it stays red for good.
      SetOwnSeverity(id);
    }
  } else if (is(GUID_DB_NODE_CHANGE_GUID)) {
    gKnown.Forget(id);
    if (type == ZM_OBJ_VOLUME) {
      UpdateVolumeContextMenu(id);
      UpdateParentSeverity(id);
    } else if (type == ZM_OBJ_EXTENDED) {
      UpdateContainerVolumeContextMenu(id);
    }
  }
  return ZM_S_OK;
}

void UpdateAllContextMenus() {
  uint32_t count = 0;
  ZM_OBJECT_ID* ids = nullptr;
  if (!ZM_FAILED(DbGetObjects(ghDb, ZM_OBJ_VOLUME, &count, &ids)) && ids != nullptr) {
    std::unordered_set<ZM_OBJECT_ID> done;
    for (uint32_t i = 0; i < count; ++i) {
      UpdateVolumeContextMenu(ids[i]);
      RollUpParents(ids[i], &done);
    }
  }
  FreeIds(ids);

  // Extended partitions are updated even when the volumes could not be listed.
  count = 0;
  ids = nullptr;
  if (!ZM_FAILED(DbGetObjects(ghDb, ZM_OBJ_EXTENDED, &count, &ids)) && ids != nullptr) {
    for (uint32_t i = 0; i < count; ++i) UpdateContainerVolumeContextMenu(ids[i]);
  }
  FreeIds(ids);
}

uint32_t CalculateSeverity(ZM_OBJECT_ID id) { return HighestOfChildren(id); }

void SetOwnSeverity(ZM_OBJECT_ID id) { WriteSeverity(id, HighestOfChildren(id)); }

void UpdateParentSeverity(ZM_OBJECT_ID id) { RollUpParents(id, nullptr); }

void StartKnownSeverities() { gKnown.Start(); }

void StopKnownSeverities() { gKnown.Stop(); }

ZMSTATUS ReadU64(ZM_OBJECT_ID id, const char* name, uint64_t* value) {
  return ReadScalar(id, name, value, ZM_TYPE_UINT64, ZM_TYPE_UINT64);
}

ZMSTATUS ReadU32(ZM_OBJECT_ID id, const char* name, uint32_t* value) {
  return ReadScalar(id, name, value, ZM_TYPE_UINT32, ZM_TYPE_UINT32);
}

ZMSTATUS ReadU8(ZM_OBJECT_ID id, const char* name, uint8_t* value) {
  return ReadScalar(id, name, value, ZM_TYPE_UINT8, ZM_TYPE_BOOL);
}

ZMSTATUS ReadString(ZM_OBJECT_ID id, const char* name, std::u16string* value) {
  if (value == nullptr) return E_INVALIDARG_ZM;
  value->clear();
  ZM_PROPERTY* r = nullptr;
  ZMSTATUS s = GetRecord(id, name, &r);
  if (ZM_FAILED(s)) return s;
  // The string ends at its terminator, which must lie inside the stated size; a value
  // without one is no string rather than a read past its end.
  if (const void* p = ValueOf(r, ZM_TYPE_STRING, sizeof(WCHAR))) {
    size_t units = r->Size / sizeof(WCHAR);
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < units; ++i) {
      WCHAR c;
      memcpy(&c, bytes + i * sizeof(WCHAR), sizeof c);
      if (c == 0) {
        value->resize(i);
        memcpy(value->data(), bytes, i * sizeof(WCHAR));
        break;
      }
    }
  }
  if (r != nullptr) _ZmFree(r, __FILE__, __LINE__);
  return ZM_S_OK;
}
