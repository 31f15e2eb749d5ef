// The status test and the context-menu masks of volumes and extended partitions.
#include <cstring>
#include <string>

#include "provider.h"

namespace {

// Menu item bits.
constexpr uint64_t kItemLetter = 0x1;        // bit 0: needs a drive letter
constexpr uint64_t kItemCdrom = 0x2;         // bit 1: CD-ROM item
constexpr uint64_t kItemMarkActive = 0x4;    // bit 2: mark the partition active
constexpr uint64_t kItemBasicVolume = 0x80;  // bit 7: primary partitions and logical drives
constexpr uint64_t kItemAlways = 0x80000;    // bit 19: every volume

constexpr uint64_t kShowPrimary = 0x8008D;     // bits 0, 2, 3, 7, 19
constexpr uint64_t kShowLogical = 0x80089;     // bits 0, 3, 7, 19
constexpr uint64_t kShowCdrom = 0x8000B;       // bits 0, 1, 3, 19
constexpr uint64_t kShowFtSet = 0x80009;       // bits 0, 3, 19
constexpr uint64_t kItemNewLogical = 0x1;      // extended partition, bit 0: add a logical drive
constexpr uint64_t kItemDeleteExtended = 0x2;  // extended partition, bit 1: remove it
constexpr uint64_t kShowExtended = 0x3;        // bits 0, 1
constexpr uint64_t kVolumeLocalOnly = 0x3;     // bits 0, 1

constexpr uint64_t kStateBit25 = 0x2000000;     // withdraws bit 7 from the enable mask
constexpr uint64_t kStateBit38 = 0x4000000000;  // disables every item

constexpr uint32_t kMaxLogicalDrives = 32;
constexpr uint32_t kMenuFlags = 4;

enum VolumeKind : uint32_t {
  kPrimary = 1,
  kExtended = 2,
  kLogical = 3,
  kCdrom = 4,
  kVolumeSet = 5,
  kStripeSet = 6,
  kMirror = 7,
  kStripeSetWithParity = 8,
};

// The first listed relative of the given type, or 0; *listed tells whether the listing worked.
ZM_OBJECT_ID FirstRelative(bool parents, ZM_OBJECT_ID id, uint32_t type, bool* listed,
                           uint32_t* count = nullptr) {
  uint32_t n = 0;
  ZM_OBJECT_ID* ids = nullptr;
  ZMSTATUS s =
      parents ? ObGetParentObjects(ghDb, id, type, &n, &ids) : ObGetChildObjects(ghDb, id, type, &n, &ids);
  *listed = !ZM_FAILED(s);
  if (ids == nullptr) n = 0;
  ZM_OBJECT_ID first = (*listed && n > 0) ? ids[0] : 0;
  if (count != nullptr) *count = *listed ? n : 0;
  if (ids != nullptr) _ZmFree(ids, __FILE__, __LINE__);
  return first;
}

void AddMask(ZM_PROPSET set, const char* name, uint64_t* mask) {
  ZM_PROPERTY record = {name, ZM_TYPE_UINT64, kMenuFlags, sizeof *mask, mask};
  PsAddProperty(set, &record);
}

// Holds the database lock for one object's computation, released on every way out.
class DatabaseLock {
 public:
  DatabaseLock() { DbLockDatabase(ghProvider); }
  ~DatabaseLock() { DbUnlockDatabase(ghProvider); }
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;
};

class Propset {
 public:
  Propset() {
    if (ZM_FAILED(PsCreatePropset(&set_))) set_ = nullptr;
  }
  ~Propset() {
    if (set_ != nullptr) PsDestroyPropset(set_);
  }
  Propset(const Propset&) = delete;
  Propset& operator=(const Propset&) = delete;
  ZM_PROPSET get() const { return set_; }

 private:
  ZM_PROPSET set_ = nullptr;
};

// True when the object holds the mask with this value already, as the write would
// store it (type, flags and size included).
bool HoldsMask(ZM_OBJECT_ID id, const char* name, uint64_t mask) {
  ZM_PROPERTY* r = nullptr;
  const bool same = !ZM_FAILED(ObGetProperty(ghDb, id, name, &r)) && r != nullptr &&
                    r->Type == ZM_TYPE_UINT64 && r->Flags == kMenuFlags && r->Size == sizeof mask &&
                    r->Value != nullptr && memcmp(r->Value, &mask, sizeof mask) == 0;
  if (r != nullptr) _ZmFree(r, __FILE__, __LINE__);
  return same;
}

// Writes the three masks in their fixed order. Masks that hold these values already are
// left as they are: most updates (every volume's at boot, after each of its events)
// find nothing to change, and reading three values costs less than writing them. The
// host raises no event for a write that changes no value either, so recomputing
// unchanged masks does not start another round.
void WriteMasks(ZM_OBJECT_ID id, uint64_t enable, uint64_t show, uint64_t localOnly) {
  if (HoldsMask(id, "MENU_ENABLE_MASK_LL", enable) && HoldsMask(id, "MENU_SHOW_MASK_LL", show) &&
      HoldsMask(id, "MENU_LOCAL_ONLY_MASK_LL", localOnly))
    return;
  Propset set;
  if (set.get() == nullptr) return;
  AddMask(set.get(), "MENU_ENABLE_MASK_LL", &enable);
  AddMask(set.get(), "MENU_SHOW_MASK_LL", &show);
  AddMask(set.get(), "MENU_LOCAL_ONLY_MASK_LL", &localOnly);
  ObSetProperties(ghDb, id, set.get());
}

}  // namespace

int ZM_FAILED(ZMSTATUS s) {
  uint32_t facility = s & 0x0FFF0000u;
  if (facility == 0x01000000u) return (s & 0xC0000000u) == 0xC0000000u ? 1 : 0;
  if (facility != 0) return (s & 0x80000000u) != 0 ? 2 : 0;
  return s != 0 ? 1 : 0;
}

bool VolumeMenuMasks(const VolumeMenuFacts& facts, uint64_t* enable, uint64_t* show, uint64_t* localOnly) {
  const uint32_t kind = facts.kind;
  if (kind != kPrimary && kind != kLogical && kind != kCdrom && kind != kVolumeSet && kind != kStripeSet &&
      kind != kMirror && kind != kStripeSetWithParity)
    return false;
  uint64_t e = 0, sh = 0;
  if (facts.hasLetter) e |= kItemLetter;
  if (kind == kPrimary && facts.inactive) e |= kItemMarkActive;
  switch (kind) {
    case kPrimary:
      sh = kShowPrimary;
      if (facts.noActiveItem) sh &= ~kItemMarkActive;
      break;
    case kLogical:
      sh = kShowLogical;
      break;
    case kCdrom:
      sh = kShowCdrom;
      e |= kItemCdrom;
      break;
    default:
      sh = kShowFtSet;
      break;
  }
  e |= kItemBasicVolume | kItemAlways;
  if (facts.state & kStateBit25) e &= ~kItemBasicVolume;
  if (facts.state & kStateBit38) e = 0;
  *enable = e;
  *show = sh;
  *localOnly = kVolumeLocalOnly;
  return true;
}

void AddVolumeMenuMasks(ZM_PROPSET set, const VolumeMenuFacts& facts) {
  uint64_t enable = 0, show = 0, localOnly = 0;
  if (!VolumeMenuMasks(facts, &enable, &show, &localOnly)) return;
  AddMask(set, "MENU_ENABLE_MASK_LL", &enable);
  AddMask(set, "MENU_SHOW_MASK_LL", &show);
  AddMask(set, "MENU_LOCAL_ONLY_MASK_LL", &localOnly);
}

void UpdateVolumeContextMenu(ZM_OBJECT_ID id) {
  DatabaseLock lock;
  VolumeMenuFacts facts;
  if (ZM_FAILED(ReadU32(id, "LDM_VOLUME_TYPE", &facts.kind))) return;
  uint64_t enable = 0, show = 0, localOnly = 0;
  if (!VolumeMenuMasks(facts, &enable, &show, &localOnly)) return;

  bool listed = false;
  ZM_OBJECT_ID partition = FirstRelative(false, id, ZM_OBJ_PARTITION, &listed);

  std::u16string letter;
  facts.hasLetter = !ZM_FAILED(ReadString(id, "DRIVE_LETTER", &letter)) && !letter.empty();

  uint8_t active = 0;
  facts.inactive = facts.kind == kPrimary && partition != 0 &&
                   !ZM_FAILED(ReadU8(partition, "ACTIVE", &active)) && active == 0;
  if (facts.kind == kPrimary && partition != 0) {
    // Marking active is not offered for a partition without a disk or on a removable one.
    bool disksListed = false;
    uint32_t disks = 0;
    ZM_OBJECT_ID disk = FirstRelative(true, partition, ZM_OBJ_DISK, &disksListed, &disks);
    uint8_t removable = 0;
    facts.noActiveItem = (disksListed && disks == 0) ||
                         (disk != 0 && !ZM_FAILED(ReadU8(disk, "REMOVABLE", &removable)) && removable != 0);
  }
  if (ZM_FAILED(ReadU64(id, "STATE", &facts.state))) facts.state = 0;
  VolumeMenuMasks(facts, &enable, &show, &localOnly);
  WriteMasks(id, enable, show, localOnly);
}

void UpdateContainerVolumeContextMenu(ZM_OBJECT_ID id) {
  DatabaseLock lock;
  uint32_t kind = 0;
  if (ZM_FAILED(ReadU32(id, "LDM_VOLUME_TYPE", &kind)) || kind != kExtended) return;

  uint64_t show = kShowExtended, enable = 0;
  bool listed = false;
  uint32_t logicalDrives = 0;
  FirstRelative(false, id, ZM_OBJ_PARTITION, &listed, &logicalDrives);
  if (listed) {
    if (logicalDrives < kMaxLogicalDrives) enable |= kItemNewLogical;
    if (logicalDrives == 0) enable |= kItemDeleteExtended;  // only an empty one can go
  }

  uint64_t state = 0;
  if (!ZM_FAILED(ReadU64(id, "STATE", &state)) && (state & kStateBit38)) enable = 0;
  WriteMasks(id, enable, show, 0);
}
