// Publishing partitions and free space: each disk's table is read, turned into
// regions, and matched against the partition objects already in the database; stale
// objects go (with the volumes above them), new regions get objects, and free space is
// rebuilt only when something changed or none is published.
#include <cstring>
#include <string>

#include "layout.h"
#include "ntlow.h"
#include "provider.h"

namespace {

using layout::IdList;

constexpr uint32_t kMsgPrimary = 0x011001F5;
constexpr uint32_t kMsgLogical = 0x011001F6;
constexpr uint32_t kMsgExtended = 0x011001F7;

void AddProp(ZM_PROPSET set, const char* name, uint32_t type, uint32_t size, const void* value) {
  ZM_PROPERTY r{name, type, 0, size, const_cast<void*>(value)};
  PsAddProperty(set, &r);
}
void AddU64(ZM_PROPSET set, const char* name, uint64_t v) { AddProp(set, name, ZM_TYPE_UINT64, 8, &v); }
void AddU32(ZM_PROPSET set, const char* name, uint32_t v) { AddProp(set, name, ZM_TYPE_UINT32, 4, &v); }
void AddU8(ZM_PROPSET set, const char* name, uint8_t v) { AddProp(set, name, ZM_TYPE_UINT8, 1, &v); }
void AddBool(ZM_PROPSET set, const char* name, uint8_t v) { AddProp(set, name, ZM_TYPE_BOOL, 1, &v); }
void AddString(ZM_PROPSET set, const char* name, const std::u16string& v) {
  AddProp(set, name, ZM_TYPE_STRING, static_cast<uint32_t>((v.size() + 1) * sizeof(char16_t)), v.c_str());
}

// Deletes an object and, first, every volume above it.
void DeleteWithVolumes(ZM_OBJECT_ID id) {
  IdList volumes;
  if (!ZM_FAILED(layout::Parents(id, ZM_OBJ_VOLUME, volumes)))
    for (uint32_t i = 0; i < volumes.count; ++i) ObDeleteObject(ghDb, volumes.ids[i]);
  ObDeleteObject(ghDb, id);
}

bool SameRegion(const _REGION_ENTRY& r, uint64_t offset, uint64_t length, uint8_t type, uint8_t active,
                uint8_t rewrite) {
  return static_cast<uint64_t>(r.StartingOffset) == offset && static_cast<uint64_t>(r.Length) == length &&
         r.PartitionType == type && r.BootIndicator == active && r.RewritePartition == rewrite;
}

// What one disk's table holds, read once per scan: the open device, its geometry and
// layout, the regions at disk level (primary) and inside the followed container
// (logical), and whether requests must leave the table alone.
struct DiskTable {
  layout::DiskHandle h;
  DISK_GEOMETRY geometry{};
  layout::LayoutBuffer table;
  layout::RegionList primary, logical;
  bool readOnly = false;
};

// The partition objects already published for a disk: primaries and extended
// partitions under the disk, then the logical drives under every extended partition
// (owner[i] is the index of that extended partition's object, -1 for the others).
struct Published {
  IdList parts, extended;
  std::vector<ZM_OBJECT_ID> objects;
  std::vector<long> owner;
};

// How the published objects and the table's regions pair up, in one host block:
// objectMatched[i], primaryMatched[j], logicalMatched[j].
struct Match {
  uint8_t* block = nullptr;
  uint8_t* objectMatched = nullptr;
  uint8_t* primaryMatched = nullptr;
  uint8_t* logicalMatched = nullptr;
  ~Match() {
    if (block != nullptr) _ZmFree(block, __FILE__, __LINE__);
  }
};

// Read: opens the disk (no partition created yet: *createdId = 0) and reads its table into regions,
// publishing why the table is left alone (or why the layout is foreign). A failure to open or read leaves the
// disk with no children.
ZMSTATUS ReadDiskTable(ZM_OBJECT_ID disk, const std::u16string& device, DiskTable* t,
                       ZM_OBJECT_ID* createdId) {
  if (!NT_SUCCESS(LowOpenDisk(device.c_str(), GENERIC_READ, &t->h.h))) {
    t->h.h = nullptr;
    DeleteAllChildren(disk);
    return LDM_E_OPEN_FAILED;
  }
  *createdId = 0;
  if (LowGetDriveGeometry(t->h.h, t->geometry) != 0) {
    t->h.Close();
    DeleteAllChildren(disk);
    return LDM_E_GEOMETRY_FAILED;
  }
  if (LowGetDiskLayout(t->h.h, &t->table.p) != 0) {
    t->table.p = nullptr;
    t->h.Close();
    DeleteAllChildren(disk);
    return LDM_E_TABLE_UNREADABLE;
  }
  // A foreign layout publishes nothing but why; a table requests must leave alone
  // publishes its partitions but no free space, so nothing is offered for a create.
  std::u16string reason;
  const bool foreign = layout::IsForeignLayout(t->table.p);
  t->readOnly = layout::TableProblem(t->h.h, t->table.p, t->geometry, &reason) != 0;
  layout::PublishTableProblem(disk, reason);
  if (!foreign) {
    if (!CreateRegions(t->table.p, 1, t->primary.count, t->primary.list, t->geometry))
      return LDM_E_REGIONS_FAILED;
    SetDiskFreeSpace(disk, t->primary.count, t->primary.list);
    if (!CreateRegions(t->table.p, 3, t->logical.count, t->logical.list, t->geometry))
      return LDM_E_REGIONS_FAILED;
  } else {
    uint64_t none = 0;
    ZM_PROPERTY r{"FREE_SPACE", ZM_TYPE_UINT64, 0, 8, &none};
    ObSetProperty(ghDb, disk, &r);
  }
  return 0;
}

ZMSTATUS ReadPublished(ZM_OBJECT_ID disk, Published* p) {
  ZMSTATUS s;
  if (ZM_FAILED(s = layout::Children(disk, ZM_OBJ_PARTITION, p->parts))) return s;
  if (ZM_FAILED(s = layout::Children(disk, ZM_OBJ_EXTENDED, p->extended))) return s;
  p->objects.insert(p->objects.end(), p->parts.ids, p->parts.ids + p->parts.count);
  p->objects.insert(p->objects.end(), p->extended.ids, p->extended.ids + p->extended.count);
  p->owner.assign(p->objects.size(), -1);
  for (uint32_t e = 0; e < p->extended.count; ++e) {
    IdList drives;
    if (ZM_FAILED(s = layout::Children(p->extended.ids[e], ZM_OBJ_PARTITION, drives))) return s;
    p->objects.insert(p->objects.end(), drives.ids, drives.ids + drives.count);
    p->owner.insert(p->owner.end(), drives.count, static_cast<long>(p->parts.count + e));
  }
  return 0;
}

// Match: pairs each published object with the region it still describes (same offset,
// length, type, active and rewrite flags) and brings a kept object's "ENTRY_SLOT" up to
// date.
ZMSTATUS MatchRegions(const DiskTable& t, const Published& p, Match* m) {
  const std::vector<ZM_OBJECT_ID>& objects = p.objects;
  const layout::RegionList &primary = t.primary, &logical = t.logical;
  const size_t total = objects.size() + primary.count + logical.count;
  if (total != 0) {
    m->block = static_cast<uint8_t*>(_ZmAlloc(total, __FILE__, __LINE__));
    if (m->block == nullptr) return E_OUTOFMEMORY_ZM;
    memset(m->block, 0, total);
  }
  m->objectMatched = m->block;
  m->primaryMatched = m->block + objects.size();
  m->logicalMatched = m->primaryMatched + primary.count;

  // Each object's region: disk level first (index j), else container level (count + j).
  ZMSTATUS s;
  std::vector<long> matchedRegion(objects.size(), -1);
  for (size_t i = 0; i < objects.size(); ++i) {
    uint64_t offset = 0, length = 0;
    uint8_t type = 0, active = 0, rewrite = 0;
    if (ZM_FAILED(s = ReadU64(objects[i], "OFFSET_LL", &offset))) return s;
    if (ZM_FAILED(s = ReadU64(objects[i], "LENGTH_LL", &length))) return s;
    if (ZM_FAILED(s = ReadU8(objects[i], "PARTITION_TYPE", &type))) return s;
    if (ZM_FAILED(s = ReadU8(objects[i], "ACTIVE", &active))) return s;
    if (ZM_FAILED(s = ReadU8(objects[i], "REWRITE", &rewrite))) return s;
    for (uint32_t j = 0; j < primary.count && matchedRegion[i] < 0; ++j)
      if (SameRegion(primary.list[j], offset, length, type, active, rewrite)) matchedRegion[i] = j;
    for (uint32_t j = 0; j < logical.count && matchedRegion[i] < 0; ++j)
      if (SameRegion(logical.list[j], offset, length, type, active, rewrite))
        matchedRegion[i] = static_cast<long>(primary.count + j);
  }
  // A logical drive belongs to the extended partition it was published under: when
  // that object goes, its drives go too and are published again under the new one, so
  // no drive is left without a parent (and published a second time by the next scan).
  for (size_t i = 0; i < objects.size(); ++i)
    if (p.owner[i] >= 0 && matchedRegion[static_cast<size_t>(p.owner[i])] < 0) matchedRegion[i] = -1;
  // A logical drive only matches a drive region, a primary or extended object only a
  // disk-level region; the container element is represented by the disk level.
  for (size_t i = 0; i < objects.size(); ++i) {
    const long r = matchedRegion[i];
    if (r < 0) continue;
    const bool drive = p.owner[i] >= 0;
    if (drive != (r > static_cast<long>(primary.count))) continue;
    m->objectMatched[i] = 1;
    if (r < static_cast<long>(primary.count))
      m->primaryMatched[r] = 1;
    else
      m->logicalMatched[r - primary.count] = 1;
    // A kept partition's place in the table can change (a chain relinked around a
    // deleted logical drive); the names shown for it follow.
    const _REGION_ENTRY& region =
        r < static_cast<long>(primary.count) ? primary.list[r] : logical.list[r - primary.count];
    uint32_t slot = 0;
    if (ZM_FAILED(ReadU32(objects[i], "ENTRY_SLOT", &slot)) || slot != region.EntrySlot) {
      slot = region.EntrySlot;
      ZM_PROPERTY prop{"ENTRY_SLOT", ZM_TYPE_UINT32, 0, 4, &slot};
      ObSetProperty(ghDb, objects[i], &prop);
    }
  }
  return 0;
}

// Apply: stale objects go (with their volumes, and a stale extended partition with its
// free space), unmatched regions get objects. True when anything changed.
bool ApplyMatch(ZM_OBJECT_ID disk, const std::u16string& device, const DiskTable& t, const Published& p,
                const Match& m, ZM_OBJECT_ID* createdId) {
  bool changed = false;
  for (size_t i = 0; i < p.objects.size(); ++i) {
    if (m.objectMatched[i]) continue;
    if (i >= p.parts.count && p.owner[i] < 0) {
      IdList free;
      if (!ZM_FAILED(layout::Children(p.objects[i], ZM_OBJ_FREE_SPACE, free)))
        for (uint32_t k = 0; k < free.count; ++k) ObDeleteObject(ghDb, free.ids[k]);
    }
    DeleteWithVolumes(p.objects[i]);
    changed = true;
  }
  for (uint32_t j = 0; j < t.primary.count; ++j) {
    if (m.primaryMatched[j]) continue;
    CreatePartitionObject(&t.primary.list[j], disk, device.c_str(), createdId);
    changed = true;
  }
  for (uint32_t j = 1; j < t.logical.count; ++j) {
    if (m.logicalMatched[j]) continue;
    CreatePartitionObject(&t.logical.list[j], disk, device.c_str(), createdId);
    changed = true;
  }
  return changed;
}

// Free space: none on a disk whose table requests leave alone; inside the extended
// partition whose chain was followed (the container element), none in any other.
ZMSTATUS RefreshFreeSpace(ZM_OBJECT_ID disk, DiskTable& t, bool changed) {
  IdList free, extended;
  ZMSTATUS s;
  if (ZM_FAILED(s = layout::Children(disk, ZM_OBJ_FREE_SPACE, free))) return s;
  if (t.readOnly) {
    for (uint32_t k = 0; k < free.count; ++k) ObDeleteObject(ghDb, free.ids[k]);
  } else if (changed || free.count == 0) {
    CreateFreeSpaceObjects(disk, t.table.p, t.geometry);
  }
  if (ZM_FAILED(s = layout::Children(disk, ZM_OBJ_EXTENDED, extended))) return s;
  for (uint32_t e = 0; e < extended.count; ++e) {
    if (ZM_FAILED(s = layout::Children(extended.ids[e], ZM_OBJ_FREE_SPACE, free))) return s;
    uint64_t offset = 0, length = 0;
    bool followed = t.logical.count > 0 && !ZM_FAILED(ReadU64(extended.ids[e], "OFFSET_LL", &offset)) &&
                    !ZM_FAILED(ReadU64(extended.ids[e], "LENGTH_LL", &length)) &&
                    static_cast<int64_t>(offset) == t.logical.list[0].StartingOffset &&
                    static_cast<int64_t>(length) == t.logical.list[0].Length;
    if (t.readOnly || !followed) {
      for (uint32_t k = 0; k < free.count; ++k) ObDeleteObject(ghDb, free.ids[k]);
    } else if (changed || free.count == 0) {
      CreateFreeSpaceObjects(extended.ids[e], t.table.p, t.geometry);
    }
  }
  return s;
}

}  // namespace

ZMSTATUS UpdateAllDisks() {
  IdList disks;
  ZMSTATUS s = DbGetObjects(ghDb, ZM_OBJ_DISK, &disks.count, &disks.ids);
  if (ZM_FAILED(s)) return s;
  for (uint32_t i = 0; i < disks.count; ++i) {
    ZM_OBJECT_ID created = 0;
    UpdateDisk(disks.ids[i], &created);
  }
  if (bDoneInitializing) UpdateRegistry();
  AddFtObjectsToDatabase();
  for (uint32_t i = 0; i < disks.count; ++i) CreateFakeVolumes(disks.ids[i]);
  return 0;
}

ZMSTATUS UpdateDisk(ZM_OBJECT_ID disk, ZM_OBJECT_ID* createdId) {
  std::u16string device;
  ZMSTATUS s = ReadString(disk, "\\Device\\", &device);
  if (ZM_FAILED(s)) return s;
  uint32_t deviceType = 0;
  if (ZM_FAILED(ReadU32(disk, "LDM_DEVICE_TYPE", &deviceType))) return E_INVALIDARG_ZM;
  if (deviceType == 1) return 0;
  if (deviceType < 2 || deviceType > 4) return E_INVALIDARG_ZM;
  // A caller without a result slot is refused before anything is opened or deleted.
  if (createdId == nullptr) return LDM_E_OPEN_FAILED;

  DiskTable t;
  if (ZM_FAILED(s = ReadDiskTable(disk, device, &t, createdId))) return s;
  Published p;
  if (ZM_FAILED(s = ReadPublished(disk, &p))) return s;
  Match m;
  if (ZM_FAILED(s = MatchRegions(t, p, &m))) return s;
  const bool changed = ApplyMatch(disk, device, t, p, m, createdId);
  return RefreshFreeSpace(disk, t, changed);
}

bool CreatePartitionObject(const _REGION_ENTRY* region, ZM_OBJECT_ID disk, PCWSTR diskDevice,
                           ZM_OBJECT_ID* createdId) {
  if (region == nullptr || diskDevice == nullptr || createdId == nullptr) return false;
  uint32_t objectType;
  const char16_t* name;
  const char* defaultText;
  uint32_t message;
  switch (region->RegionType) {
    case REGION_PRIMARY:
      objectType = ZM_OBJ_PARTITION, name = u"Primary Partition", defaultText = "Primary Partition";
      message = kMsgPrimary;
      break;
    case REGION_EXTENDED:
      objectType = ZM_OBJ_EXTENDED, name = u"Extended Partition", defaultText = "Extended Partition";
      message = kMsgExtended;
      break;
    case REGION_LOGICAL:
      objectType = ZM_OBJ_PARTITION, name = u"Logical Drive", defaultText = "Logical Drive";
      message = kMsgLogical;
      break;
    default:
      return true;
  }
  ZM_OBJECT_ID id = 0;
  if (ZM_FAILED(ObCreateObject(ghDb, ghProvider, objectType, &id))) return false;
  *createdId = id;

  ZM_PROPSET set = nullptr;
  if (ZM_FAILED(PsCreatePropset(&set))) return false;
  AddString(set, "NAME", name);
  PsAddI18nString(set, gMsgCatalog, message, defaultText, "LOCALIZED_NAME");
  AddU32(set, "LDM_VOLUME_TYPE", region->RegionType);
  AddU64(set, "STATE", 4);
  AddU32(set, "SEVERITY", 0);
  AddU64(set, "OFFSET_LL", static_cast<uint64_t>(region->StartingOffset));
  AddU64(set, "LENGTH_LL", static_cast<uint64_t>(region->Length));
  AddU32(set, "REGION_TYPE", region->RegionType);
  AddU8(set, "PARTITION_TYPE", region->PartitionType);
  AddBool(set, "ACTIVE", region->BootIndicator);
  AddU32(set, "ENTRY_SLOT", region->EntrySlot);
  AddBool(set, "REWRITE", region->RewritePartition);
  AddU32(set, "PARTITION_NUMBER", region->PartitionNumber);
  if (region->RecognizedPartition) {
    std::u16string path = std::u16string(diskDevice) + u"\\Partition";
    for (char c : std::to_string(region->PartitionNumber)) path.push_back(static_cast<char16_t>(c));
    AddString(set, "\\Device\\", path);
  }
  ObSetProperties(ghDb, id, set);
  PsDestroyPropset(set);

  if (region->RegionType == REGION_LOGICAL) {
    // Under the extended partition that holds it (the first one when none does).
    IdList extended;
    if (!ZM_FAILED(layout::Children(disk, ZM_OBJ_EXTENDED, extended)) && extended.count > 0) {
      ZM_OBJECT_ID parent = extended.ids[0];
      for (uint32_t e = 0; e < extended.count; ++e) {
        uint64_t offset = 0, length = 0;
        if (ZM_FAILED(ReadU64(extended.ids[e], "OFFSET_LL", &offset)) ||
            ZM_FAILED(ReadU64(extended.ids[e], "LENGTH_LL", &length)))
          continue;
        const uint64_t start = static_cast<uint64_t>(region->StartingOffset);
        if (start >= offset && start - offset < length) {
          parent = extended.ids[e];
          break;
        }
      }
      ObAddChildObject(ghDb, parent, id);
    }
  } else {
    ObAddChildObject(ghDb, disk, id);
  }
  return true;
}

ZMSTATUS CreateFreeSpaceObjects(ZM_OBJECT_ID parent, PDRIVE_LAYOUT_INFORMATION layout,
                                DISK_GEOMETRY geometry) {
  uint32_t type = 0;
  ZMSTATUS s = ObGetObjectType(ghDb, parent, &type);
  if (ZM_FAILED(s)) return s;
  if (type != ZM_OBJ_DISK && type != ZM_OBJ_EXTENDED) return ZM_E_WRONG_PARENT_TYPE;
  if (layout == nullptr) return E_INVALIDARG_ZM;
  uint32_t level = type == ZM_OBJ_DISK ? 1 : 3;
  layout::RegionList regions;
  if (!CreateRegions(layout, level, regions.count, regions.list, geometry)) return LDM_E_REGIONS_FAILED;

  IdList free;
  if (ZM_FAILED(s = layout::Children(parent, ZM_OBJ_FREE_SPACE, free))) return s;
  for (uint32_t i = 0; i < free.count; ++i) ObDeleteObject(ghDb, free.ids[i]);

  for (const _FREE_EXTENT& e : FreeExtents(regions.list, regions.count, level, geometry))
    CreateFreeSpace(parent, e.Offset, e.Length);
  return s;
}

ZMSTATUS CreateFreeSpace(ZM_OBJECT_ID parent, int64_t offset, int64_t length) {
  uint32_t type = 0;
  ZMSTATUS s = ObGetObjectType(ghDb, parent, &type);
  if (ZM_FAILED(s)) return s;
  ZM_OBJECT_ID disk = 0;
  if (type == ZM_OBJ_DISK) {
    disk = parent;
  } else if (type == ZM_OBJ_EXTENDED) {
    IdList disks;
    if (ZM_FAILED(s = layout::Parents(parent, ZM_OBJ_DISK, disks))) return s;
    if (disks.count != 1) return ZM_E_AMBIGUOUS_PARENT;
    disk = disks.ids[0];
  } else {
    return ZM_E_WRONG_PARENT;
  }
  uint64_t minimum = 0;
  if (ZM_FAILED(s = ReadU64(disk, "MIN_PARTITION_SIZE", &minimum))) return s;
  if (length <= static_cast<int64_t>(minimum)) return 0;

  ZM_OBJECT_ID id = 0;
  if (ZM_FAILED(s = ObCreateObjectEx(ghDb, ghProvider, ZM_OBJ_FREE_SPACE, 2, 0, &id))) return s;
  ZM_PROPSET set = nullptr;
  s = PsCreatePropset(&set);
  if (!ZM_FAILED(s)) {
    AddU64(set, "LENGTH_LL", static_cast<uint64_t>(length));
    AddU64(set, "OFFSET_LL", static_cast<uint64_t>(offset));
    ObSetProperties(ghDb, id, set);
    PsDestroyPropset(set);
  }
  ObAddChildObject(ghDb, parent, id);
  return s;
}

void SetDiskFreeSpace(ZM_OBJECT_ID disk, uint32_t count, const _REGION_ENTRY* regions) {
  // A disk without regions (an empty list) is all free: the value is written then too.
  if (regions == nullptr) count = 0;
  uint64_t length = 0;
  if (ZM_FAILED(ReadU64(disk, "LENGTH_LL", &length))) return;
  uint64_t used = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t l = regions[i].Length > 0 ? static_cast<uint64_t>(regions[i].Length) : 0;
    used = used > UINT64_MAX - l ? UINT64_MAX : used + l;
  }
  uint64_t free = length > used ? length - used : 0;
  ZM_PROPERTY r{"FREE_SPACE", ZM_TYPE_UINT64, 0, 8, &free};
  ObSetProperty(ghDb, disk, &r);
}

void DeleteAllChildren(ZM_OBJECT_ID id) {
  IdList children;
  if (ZM_FAILED(layout::Children(id, ZM_OBJ_ANY, children))) return;
  for (uint32_t i = 0; i < children.count; ++i) {
    DeleteAllChildren(children.ids[i]);
    ObDeleteObject(ghDb, children.ids[i]);
  }
}

void RefreshDLandFS(ZM_OBJECT_ID id) {
  ZM_PROPSET in = nullptr, out = nullptr;
  if (ZM_FAILED(PsCreatePropset(&in))) return;
  if (ZM_FAILED(PsCreatePropset(&out))) {
    PsDestroyPropset(in);
    return;
  }
  for (const char16_t* name : {u"mount", u"fsys"}) {
    ZM_HANDLE provider = nullptr;
    if (ZM_FAILED(PrGetProviderByName(ghDb, name, &provider)) || provider == nullptr) continue;
    ZM_OBJECT_ID result = 0;
    PrCallProvider(provider, id, 11, OP_REFRESH, in, out, 0, 0, nullptr, nullptr, &result);
  }
  PsDestroyPropset(in);
  PsDestroyPropset(out);
}
