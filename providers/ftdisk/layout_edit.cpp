// Creating and deleting partitions: the request is checked against the database, the
// table is read afresh, changed through the region lists and written back in one call,
// and the disk is rescanned. Every request raises a success or failure alert.
#include <algorithm>
#include <cstring>
#include <string>

#include "ftdisk.h"
#include "layout.h"
#include "ntlow.h"
#include "provider.h"

// DeletePartition, or with write false only its checks: everything that would refuse
// the delete is found before anything (a drive letter included) is changed.
ZMSTATUS DeleteInTable(int64_t offset, int64_t length, uint32_t regionType, PCWSTR diskDevice, bool write,
                       std::u16string* reason, bool* checked);

namespace {

using layout::IdList;

constexpr uint64_t kMaxSectors = 0xFFFFFFFFull;

// Reads a property of a request's input set with the exact value type and size.
bool FindValue(ZM_PROPSET set, const char* name, uint32_t type, uint32_t size, void* out) {
  ZM_PROPERTY* r = nullptr;
  bool ok = !ZM_FAILED(PsFindProperty(set, name, &r)) && r != nullptr && r->Type == type && r->Size == size &&
            r->Value != nullptr;
  if (ok) memcpy(out, r->Value, size);
  if (r != nullptr) _ZmFree(r, __FILE__, __LINE__);
  return ok;
}

// A new partition's volume gets the lowest free letter in the request that makes it,
// as a boot would give it one; the registry update after the request records it.
void GiveFreeLetter(ZM_OBJECT_ID volume) {
  std::u16string device, letter;
  // Only a recognised partition has a device to link a letter to.
  if (ZM_FAILED(ReadString(volume, "\\Device\\", &device)) || device.empty()) return;
  if (!ZM_FAILED(ReadString(volume, "DRIVE_LETTER", &letter)) && !letter.empty() && letter[0] != 0) return;
  const uint8_t free = FtFreeDriveLetter();
  ZM_HANDLE mount = nullptr;
  ZM_PROPSET in = nullptr;
  if (free == 0 || ZM_FAILED(PrGetProviderByName(ghDb, u"mount", &mount)) || ZM_FAILED(PsCreatePropset(&in)))
    return;
  const std::u16string text{char16_t(free), u':'};
  ZM_PROPERTY p{"DRIVE_LETTER", ZM_TYPE_STRING, 0, uint32_t((text.size() + 1) * sizeof(char16_t)),
                const_cast<char16_t*>(text.c_str())};
  PsAddProperty(in, &p);
  ZM_OBJECT_ID ignored = 0;
  PrCallProvider(mount, volume, OPCLASS_VOLUME, OP_ASSIGN_DRIVE_LETTER, in, nullptr, 0, 0, nullptr, nullptr,
                 &ignored);
  PsDestroyPropset(in);
}

void AddMemberId(ZM_PROPSET out, ZM_OBJECT_ID id) {
  if (out == nullptr) return;
  ZM_PROPERTY r{"MEMBERID", ZM_TYPE_OBJECT_ID, 0, 8, &id};
  PsAddProperty(out, &r);
}

// True when a byte extent can be stored as a 32-bit sector start and count.
bool FitsSectors(int64_t start, int64_t length, uint32_t bytesPerSector) {
  if (bytesPerSector == 0 || start < 0 || length < 0) return false;
  if (start % bytesPerSector != 0 || length % bytesPerSector != 0) return false;
  return static_cast<uint64_t>(start) / bytesPerSector <= kMaxSectors &&
         static_cast<uint64_t>(length) / bytesPerSector <= kMaxSectors;
}

// True when [offset, offset + length) lies inside one of the extents.
bool InsideOneOf(const std::vector<_FREE_EXTENT>& extents, int64_t offset, int64_t length) {
  for (const _FREE_EXTENT& e : extents)
    if (e.Offset <= offset && length <= e.Length && offset - e.Offset <= e.Length - length) return true;
  return false;
}

// Opens the disk for writing and reads geometry, table and both region lists. A table
// the lists cannot rebuild whole (or one the driver keeps read-only) is refused here,
// before anything is changed; *reason then says why.
struct OpenedDisk {
  layout::DiskHandle handle;
  DISK_GEOMETRY geometry{};
  layout::LayoutBuffer table;
  layout::RegionList primary, logical;
  std::u16string reason;
  bool checked = false;  // the table was read and checked (reason is meaningful)
};

// Opens the disk and reads its geometry, then its table.
ZMSTATUS OpenForChange(PCWSTR device, OpenedDisk& d) {
  if (!NT_SUCCESS(LowOpenDisk(device, GENERIC_READ | GENERIC_WRITE, &d.handle.h))) {
    d.handle.h = nullptr;
    return LDM_E_OPEN_FAILED;
  }
  if (LowGetDriveGeometry(d.handle.h, d.geometry) != 0) return LDM_E_GEOMETRY_FAILED;
  // Rounding and alignment divide by these units; a disk without them is unusable.
  if (TrackBytes(d.geometry) == 0 || CylinderBytes(d.geometry) == 0) return LDM_E_GEOMETRY_FAILED;
  if (LowGetDiskLayout(d.handle.h, &d.table.p) != 0) {
    d.table.p = nullptr;
    return LDM_E_TABLE_UNREADABLE;
  }
  ZMSTATUS s = layout::TableProblem(d.handle.h, d.table.p, d.geometry, &d.reason);
  d.checked = true;
  if (s != 0) return s;
  if (!CreateRegions(d.table.p, 1, d.primary.count, d.primary.list, d.geometry) ||
      !CreateRegions(d.table.p, 3, d.logical.count, d.logical.list, d.geometry))
    return LDM_E_REGIONS_FAILED;
  return 0;
}

bool AppendRegion(layout::RegionList& l, const _REGION_ENTRY& r) {
  void* grown = _ZmRealloc(l.list, (l.count + 1) * sizeof(_REGION_ENTRY), __FILE__, __LINE__);
  if (grown == nullptr) return false;
  l.list = static_cast<_REGION_ENTRY*>(grown);
  l.list[l.count++] = r;
  return true;
}

_DISK_ENTRY DiskEntry(OpenedDisk& d) {
  _DISK_ENTRY e{};
  e.PrimaryRegions = d.primary.list;
  e.LogicalRegions = d.logical.list;
  e.PrimaryCount = d.primary.count;
  e.LogicalCount = d.logical.count;
  e.Signature = d.table.p->Signature;
  e.Geometry = d.geometry;
  return e;
}

ZMSTATUS CreateRequest(ZM_PROPSET inProps, ZM_PROPSET outProps, ZM_OBJECT_ID disk, std::u16string& device) {
  uint32_t type = 0;
  if (ZM_FAILED(ObGetObjectType(ghDb, disk, &type)) || type != ZM_OBJ_DISK) return E_INVALIDARG_ZM;
  if (ZM_FAILED(ReadString(disk, "\\Device\\", &device)) || device.empty()) {
    device.clear();
    return E_INVALIDARG_ZM;
  }
  int64_t offset = 0, length = 0;
  uint32_t regionType = 0;
  if (!FindValue(inProps, "OFFSET_LL", ZM_TYPE_UINT64, 8, &offset) ||
      !FindValue(inProps, "LENGTH_LL", ZM_TYPE_UINT64, 8, &length) ||
      !FindValue(inProps, "REGION_TYPE", ZM_TYPE_UINT32, 4, &regionType))
    return E_INVALIDARG_ZM;

  IdList parts, extended;
  ZMSTATUS s;
  if (ZM_FAILED(s = layout::Children(disk, ZM_OBJ_PARTITION, parts))) return s;
  if (ZM_FAILED(s = layout::Children(disk, ZM_OBJ_EXTENDED, extended))) return s;
  if (regionType != REGION_LOGICAL && parts.count + extended.count >= 4) return LDM_E_NO_FREE_SLOT;
  if (regionType == REGION_EXTENDED && extended.count > 0) return LDM_E_EXTENDED_EXISTS;

  ZMSTATUS result = CreatePartition(offset, length, regionType, device.c_str(), disk);
  if (!ZM_FAILED(result)) {
    ZM_OBJECT_ID created = 0;
    result = UpdateDisk(disk, &created);
    CreateFakeVolumes(disk);
    if (created != 0) {
      IdList volumes;
      if (!ZM_FAILED(layout::Parents(created, ZM_OBJ_VOLUME, volumes)) && volumes.count > 0) {
        AddMemberId(outProps, volumes.ids[0]);
        GiveFreeLetter(volumes.ids[0]);
      }
    }
  }
  if (bDoneInitializing) UpdateRegistry();
  return result;
}

ZMSTATUS DeleteRequest(ZM_OBJECT_ID id, ZM_OBJECT_ID* resultId, std::u16string& device) {
  uint32_t type = 0;
  if (ZM_FAILED(ObGetObjectType(ghDb, id, &type)) || (type != ZM_OBJ_VOLUME && type != ZM_OBJ_EXTENDED))
    return E_INVALIDARG_ZM;

  ZM_OBJECT_ID partition = 0, volume = 0;
  if (type == ZM_OBJ_EXTENDED) {
    IdList children;
    if (ZM_FAILED(layout::Children(id, ZM_OBJ_ANY, children))) return LDM_E_NOT_SINGLE_PARTITION;
    for (uint32_t i = 0; i < children.count; ++i) {
      uint32_t childType = 0;
      if (ZM_FAILED(ObGetObjectType(ghDb, children.ids[i], &childType))) return LDM_E_NOT_SINGLE_PARTITION;
      if (childType == ZM_OBJ_PARTITION) return LDM_E_EXTENDED_NOT_EMPTY;
      // Anything but free space below the extended partition: nothing is deleted.
      if (childType != ZM_OBJ_FREE_SPACE) return E_INVALIDARG_ZM;
    }
    partition = id;
  } else {
    uint32_t facility = 0;
    if (ZM_FAILED(ReadU32(id, "FACILITY", &facility))) return LDM_E_NOT_SINGLE_PARTITION;
    if (facility == 2) return LDM_E_FT_VOLUME;
    if (facility != 1) return LDM_E_NOT_SINGLE_PARTITION;
    IdList parts;
    if (ZM_FAILED(layout::Children(id, ZM_OBJ_PARTITION, parts)) || parts.count == 0) return E_INVALIDARG_ZM;
    partition = parts.ids[0];
    volume = id;
  }

  uint32_t regionType = 0;
  uint64_t offset = 0, length = 0;
  if (ZM_FAILED(ReadU32(partition, "REGION_TYPE", &regionType)) ||
      ZM_FAILED(ReadU64(partition, "OFFSET_LL", &offset)) ||
      ZM_FAILED(ReadU64(partition, "LENGTH_LL", &length)))
    return E_INVALIDARG_ZM;
  ZM_OBJECT_ID disk = 0;
  {
    IdList up;
    ZM_OBJECT_ID below = partition;
    if (regionType == REGION_LOGICAL) {
      if (ZM_FAILED(layout::Parents(partition, ZM_OBJ_EXTENDED, up)) || up.count != 1) return E_INVALIDARG_ZM;
      below = up.ids[0];
    }
    if (ZM_FAILED(layout::Parents(below, ZM_OBJ_DISK, up)) || up.count != 1) return E_INVALIDARG_ZM;
    disk = up.ids[0];
  }
  if (ZM_FAILED(ReadString(disk, "\\Device\\", &device)) || device.empty()) {
    device.clear();
    return E_INVALIDARG_ZM;
  }

  // Everything that would refuse the delete is checked before the letter goes.
  std::u16string reason;
  bool checked = false;
  ZMSTATUS s = DeleteInTable(static_cast<int64_t>(offset), static_cast<int64_t>(length), regionType,
                             device.c_str(), false, &reason, &checked);
  if (checked) layout::PublishTableProblem(disk, reason);
  if (ZM_FAILED(s)) return s;

  ZM_HANDLE mount = nullptr;
  s = PrGetProviderByName(ghDb, u"mount", &mount);
  if (ZM_FAILED(s)) return s;
  ZM_PROPSET in = nullptr, out = nullptr;
  if (ZM_FAILED(s = PsCreatePropset(&in))) return s;
  if (ZM_FAILED(s = PsCreatePropset(&out))) {
    PsDestroyPropset(in);
    return s;
  }
  if (volume != 0) {
    ZM_PROPERTY* letter = nullptr;
    bool hasLetter = !ZM_FAILED(ObGetProperty(ghDb, volume, "DRIVE_LETTER", &letter)) && letter != nullptr;
    if (letter != nullptr) _ZmFree(letter, __FILE__, __LINE__);
    if (hasLetter) {
      s = PrCallProvider(mount, volume, OPCLASS_VOLUME, OP_REMOVE_DRIVE_LETTER, in, out, 0, 0, nullptr,
                         nullptr, resultId);
      if (ZM_FAILED(s)) {
        PsDestroyPropset(in);
        PsDestroyPropset(out);
        return s;
      }
    }
  }
  PsDestroyPropset(in);
  PsDestroyPropset(out);

  ZMSTATUS result =
      DeletePartition(static_cast<int64_t>(offset), static_cast<int64_t>(length), regionType, device.c_str());
  if (!ZM_FAILED(result)) {
    ZM_OBJECT_ID created = 0;
    result = UpdateDisk(disk, &created);
    CreateFakeVolumes(disk);
  }
  if (bDoneInitializing) UpdateRegistry();
  return result;
}

}  // namespace

ZMSTATUS LdmCreatePartition(ZM_PROPSET inProps, ZM_PROPSET outProps, ZM_OBJECT_ID disk) {
  std::u16string device;
  ZMSTATUS result = CreateRequest(inProps, outProps, disk, device);
  layout::RaiseAlert(ZM_FAILED(result) ? ALERT_GUID_CREATE_PARTITION_FAILED : ALERT_GUID_CREATED_PARTITION,
                     device.c_str());
  return result;
}

ZMSTATUS LdmDeletePartition(ZM_OBJECT_ID id, ZM_OBJECT_ID* resultId) {
  std::u16string device;
  ZMSTATUS result = DeleteRequest(id, resultId, device);
  layout::RaiseAlert(ZM_FAILED(result) ? ALERT_GUID_DELETE_PARTITION_FAILED : ALERT_GUID_DELETED_PARTITION,
                     device.c_str());
  return result;
}

ZMSTATUS LdmUpdateDisk(ZM_OBJECT_ID disk, ZM_PROPSET outProps) {
  // Only a disk can be rescanned; anything else would be reported as a quiet success.
  uint32_t type = 0;
  if (ZM_FAILED(ObGetObjectType(ghDb, disk, &type)) || type != ZM_OBJ_DISK) return E_INVALIDARG_ZM;
  ZM_OBJECT_ID created = 0;
  ZMSTATUS result = UpdateDisk(disk, &created);
  if (!ZM_FAILED(result)) AddMemberId(outProps, created);
  if (bDoneInitializing) UpdateRegistry();
  result = AddFtObjectsToDatabase();
  CreateFakeVolumes(disk);
  return result;
}

ZMSTATUS CreatePartition(int64_t offset, int64_t length, uint32_t regionType, PCWSTR diskDevice,
                         ZM_OBJECT_ID disk) {
  if (diskDevice == nullptr) return LDM_E_OPEN_FAILED;
  OpenedDisk d;
  ZMSTATUS s = OpenForChange(diskDevice, d);
  if (d.checked) layout::PublishTableProblem(disk, d.reason);
  if (s != 0) return s;
  const int64_t track = TrackBytes(d.geometry);
  const int64_t cylinder = CylinderBytes(d.geometry);
  const uint32_t sector = d.geometry.BytesPerSector;
  // The table itself must have a free slot too; the database may lag behind it.
  if (regionType != REGION_LOGICAL && d.primary.count >= 4) return LDM_E_NO_FREE_SLOT;

  int64_t freeOffset = 0, freeLength = 0;
  if (!GetUnallocatedSpaceSpec(offset, length, freeOffset, freeLength, regionType, disk))
    return LDM_E_NOT_FREE_SPACE;
  if (freeOffset != offset || length <= 0 || length > freeLength) return LDM_E_NOT_FREE_SPACE;
  const int64_t namedOffset = freeOffset, namedLength = freeLength;

  // The master boot record's track never goes to a partition.
  if (offset == 0) {
    int64_t skip = regionType == REGION_EXTENDED ? cylinder : track;
    offset = skip;
    freeLength -= skip;
  }
  int64_t r = (offset + length) % cylinder;
  if (r != 0) {
    if (r > cylinder / 2)
      length += cylinder - r;
    else
      length -= r;
  }
  if (length > freeLength) length = freeLength;
  // Rounding down past the start, or a free region used up by the skipped track, leaves
  // nothing; a logical drive also needs room behind its boot-record track.
  if (length <= 0 || (regionType == REGION_LOGICAL && length <= track)) return LDM_E_NOTHING_LEFT;

  // The new extent must be one the table can describe (32-bit sectors) and must be free
  // in the table just read, not only in the database's view of it.
  int64_t tableStart = offset, tableLength = length;
  if (regionType == REGION_LOGICAL) {
    if (d.logical.count == 0) return LDM_E_NOT_FREE_SPACE;
    tableStart = offset - d.logical.list[0].StartingOffset;
    if (tableStart < 0) return LDM_E_NOT_FREE_SPACE;
  }
  if (!FitsSectors(tableStart, tableLength, sector)) return LDM_E_NOT_FREE_SPACE;
  {
    layout::RegionList copy;
    uint32_t level = regionType == REGION_LOGICAL ? 3 : 1;
    const layout::RegionList& from = regionType == REGION_LOGICAL ? d.logical : d.primary;
    if (from.count != 0) {
      copy.list =
          static_cast<_REGION_ENTRY*>(_ZmAlloc(from.count * sizeof(_REGION_ENTRY), __FILE__, __LINE__));
      if (copy.list == nullptr) return LDM_E_REGIONS_FAILED;
      memcpy(copy.list, from.list, from.count * sizeof(_REGION_ENTRY));
      copy.count = from.count;
    }
    if (!InsideOneOf(FreeExtents(copy.list, copy.count, level, d.geometry), offset, length))
      return LDM_E_NOT_FREE_SPACE;
  }

  if (regionType == REGION_EXTENDED) {
    if (d.logical.count != 0) return LDM_E_EXTENDED_IN_TABLE;
  }
  LARGE_INTEGER zap;
  zap.QuadPart = regionType == REGION_LOGICAL ? offset + track : offset;
  // A boot record that sits in the free gap (its drive's data starts more than a track
  // after it) is still in use until the new table is written: clear that sector after.
  const bool zapAfter =
      regionType != REGION_EXTENDED && layout::IsTableSector(d.table.p, zap.QuadPart, sector);
  if (regionType != REGION_EXTENDED) {
    // The cleared sector must lie in the free region the request named.
    if (zap.QuadPart < namedOffset || zap.QuadPart - namedOffset > namedLength - static_cast<int64_t>(sector))
      return LDM_E_ZAP_FAILED;
    if (!zapAfter && !ZapSector(zap, diskDevice, sector)) return LDM_E_ZAP_FAILED;
  }
  _REGION_ENTRY region{};
  region.StartingOffset = offset;
  region.Length = length;
  region.RegionType = regionType;
  region.PartitionType = regionType == REGION_EXTENDED ? PARTITION_EXTENDED : PARTITION_HUGE;
  region.EntrySlot = REGION_NEW_SLOT;
  region.RewritePartition = 1;
  if (regionType == REGION_EXTENDED) {
    // The new container alone: the table gets an empty extended boot record.
    if (!AppendRegion(d.logical, region)) return LDM_E_REGIONS_FAILED;
  }
  if (!AppendRegion(regionType == REGION_LOGICAL ? d.logical : d.primary, region))
    return LDM_E_REGIONS_FAILED;

  SortRegions(d.primary.list, d.primary.count);
  SortRegions(d.logical.list, d.logical.count);
  if (!WriteLayout(DiskEntry(d), d.handle.h)) return LDM_E_WRITE_FAILED;
  if (zapAfter) {
    d.handle.Close();
    if (!ZapSector(zap, diskDevice, sector)) return LDM_E_ZAP_FAILED;
  }
  return 0;
}

ZMSTATUS DeletePartition(int64_t offset, int64_t length, uint32_t regionType, PCWSTR diskDevice) {
  return DeleteInTable(offset, length, regionType, diskDevice, true, nullptr, nullptr);
}

ZMSTATUS DeleteInTable(int64_t offset, int64_t length, uint32_t regionType, PCWSTR diskDevice, bool write,
                       std::u16string* reason, bool* checked) {
  if (diskDevice == nullptr) return LDM_E_OPEN_FAILED;
  OpenedDisk d;
  ZMSTATUS s = OpenForChange(diskDevice, d);
  if (reason != nullptr) *reason = d.reason;
  if (checked != nullptr) *checked = d.checked;
  if (s != 0) return s;
  if (regionType == REGION_EXTENDED && d.logical.count != 1) return E_INVALIDARG_ZM;

  SortRegions(d.primary.list, d.primary.count);
  SortRegions(d.logical.list, d.logical.count);
  layout::RegionList& from = regionType == REGION_LOGICAL ? d.logical : d.primary;
  uint32_t first = regionType == REGION_LOGICAL ? 1 : 0;
  for (uint32_t i = first; i < from.count; ++i) {
    const _REGION_ENTRY& r = from.list[i];
    if (r.StartingOffset != offset || r.Length != length || r.RegionType != regionType) continue;
    if (!write) return 0;
    memmove(&from.list[i], &from.list[i + 1], (from.count - i - 1) * sizeof(_REGION_ENTRY));
    --from.count;
    if (regionType == REGION_EXTENDED) d.logical.count = 0;
    if (!WriteLayout(DiskEntry(d), d.handle.h)) return LDM_E_WRITE_FAILED;
    return 0;
  }
  return 0;
}

bool WriteLayout(const _DISK_ENTRY& disk, HANDLE handle) {
  const DISK_GEOMETRY& g = disk.Geometry;
  const int64_t track = TrackBytes(g);
  const uint32_t sector = g.BytesPerSector;
  if (sector == 0 || disk.PrimaryCount > 4 || (disk.PrimaryCount != 0 && disk.PrimaryRegions == nullptr) ||
      (disk.LogicalCount != 0 && disk.LogicalRegions == nullptr))
    return false;
  const size_t capacity = 9 + 4 * static_cast<size_t>(disk.LogicalCount);
  const size_t bytes =
      offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) + capacity * sizeof(PARTITION_INFORMATION);
  auto* layout = static_cast<PDRIVE_LAYOUT_INFORMATION>(_ZmAlloc(bytes, __FILE__, __LINE__));
  if (layout == nullptr) return false;
  memset(layout, 0, bytes);
  PARTITION_INFORMATION* e = layout->PartitionEntry;
  bool ok = true;

  // The master boot record: every region goes back to the slot it was read from, so an
  // entry a request does not name never moves (Linux numbers primaries by slot); a new
  // region, or a second claim to one slot, takes the lowest empty slot.
  int32_t inSlot[4] = {-1, -1, -1, -1};
  uint32_t later[4], laterCount = 0;
  for (uint32_t i = 0; i < disk.PrimaryCount; ++i) {
    const uint32_t want = disk.PrimaryRegions[i].EntrySlot;
    if (want < 4 && inSlot[want] < 0)
      inSlot[want] = int32_t(i);
    else
      later[laterCount++] = i;
  }
  for (uint32_t k = 0, slot = 0; k < laterCount; ++k) {
    while (inSlot[slot] >= 0) ++slot;  // PrimaryCount <= 4: a slot is left
    inSlot[slot] = int32_t(later[k]);
  }
  for (uint32_t n = 0; n < 4; ++n) {
    if (inSlot[n] < 0) {
      e[n].RewritePartition = 1;
      continue;
    }
    const _REGION_ENTRY& r = disk.PrimaryRegions[inSlot[n]];
    // The entry's sector start must not be cut to 32 bits.
    if (!FitsSectors(r.StartingOffset, r.Length, sector)) ok = false;
    e[n].StartingOffset.QuadPart = r.StartingOffset;
    e[n].PartitionLength.QuadPart = r.Length;
    e[n].HiddenSectors = static_cast<ULONG>(static_cast<uint64_t>(r.StartingOffset) / sector);
    e[n].PartitionType = r.PartitionType;
    e[n].BootIndicator = r.BootIndicator;
    e[n].RewritePartition = (r.EntrySlot != n || r.RewritePartition) ? 1 : 0;
  }

  // The chain, one group of four entries per extended boot record, in the order of the
  // list. A logical drive's entry keeps its place in its boot record when it had one;
  // the link to the next boot record takes the first place left.
  uint32_t base = 4;
  bool used[4] = {};
  auto place = [&](uint32_t preferred) {
    uint32_t p = preferred < 4 && !used[preferred] ? preferred : 0;
    while (used[p]) ++p;
    used[p] = true;
    return base + p;
  };
  auto closeGroup = [&] {
    for (uint32_t p = 0; p < 4; ++p)
      if (!used[p]) e[base + p].RewritePartition = 1;
    base += 4;
    std::fill(used, used + 4, false);
  };
  for (uint32_t i = 1; ok && i < disk.LogicalCount; ++i) {
    const _REGION_ENTRY& l = disk.LogicalRegions[i];
    const int64_t containerStart = disk.LogicalRegions[0].StartingOffset;
    if (l.Length <= track || l.StartingOffset < containerStart ||
        !FitsSectors(l.StartingOffset - containerStart, l.Length, sector)) {
      ok = false;
      break;
    }
    if (!(i == 1 && l.StartingOffset == containerStart)) {
      const uint32_t link = place(4);
      e[link].StartingOffset.QuadPart = l.StartingOffset;
      e[link].PartitionLength.QuadPart = l.Length;
      e[link].HiddenSectors = 0;
      e[link].PartitionType = PARTITION_EXTENDED;
      e[link].BootIndicator = 0;
      e[link].RewritePartition = (l.EntrySlot != link || l.RewritePartition) ? 1 : 0;
      closeGroup();
    }
    const uint32_t at = place(l.EntrySlot >= 4 && l.EntrySlot != REGION_NEW_SLOT ? l.EntrySlot % 4 : 4);
    e[at].StartingOffset.QuadPart = l.StartingOffset + track;
    e[at].PartitionLength.QuadPart = l.Length - track;
    e[at].HiddenSectors = g.SectorsPerTrack;
    e[at].PartitionType = l.PartitionType;
    e[at].BootIndicator = l.BootIndicator;
    e[at].RewritePartition = (l.EntrySlot != at || l.RewritePartition) ? 1 : 0;
  }
  if (ok && disk.LogicalCount != 0) closeGroup();
  const uint32_t n = base;

  bool written = false;
  if (ok) {
    layout->PartitionCount = n;
    layout->Signature = disk.Signature;
    written = NT_SUCCESS(LowSetDiskLayout(handle, layout));
  }
  _ZmFree(layout, __FILE__, __LINE__);
  return written;
}

bool ZapSector(LARGE_INTEGER offset, PCWSTR diskDevice, uint32_t sectorSize) {
  // The aligned buffer needs a power-of-two sector size; the sector number must be one
  // the device layer can address without truncation.
  if (diskDevice == nullptr || sectorSize == 0 || (sectorSize & (sectorSize - 1)) != 0) return false;
  if (offset.QuadPart < 0 || offset.QuadPart % sectorSize != 0) return false;
  uint64_t sectorNumber = static_cast<uint64_t>(offset.QuadPart) / sectorSize;
  if (sectorNumber > kMaxSectors) return false;

  void* block = _ZmAlloc(2 * static_cast<size_t>(sectorSize), __FILE__, __LINE__);
  if (block == nullptr) return false;
  uintptr_t aligned =
      (reinterpret_cast<uintptr_t>(block) + sectorSize) & ~static_cast<uintptr_t>(sectorSize - 1);
  void* buffer = reinterpret_cast<void*>(aligned);
  memset(buffer, 0, sectorSize);

  bool ok = false;
  HANDLE h = nullptr;
  if (LowOpenDisk(diskDevice, GENERIC_READ | GENERIC_WRITE, &h) == 0) {
    // A failed write leaves the old contents, so it is reported, not taken as done.
    NTSTATUS written = LowWriteSectors(h, sectorSize, static_cast<ULONG>(sectorNumber), 1, buffer);
    NtClose(h);
    h = nullptr;
    if (NT_SUCCESS(written) && LowOpenDisk(diskDevice, GENERIC_READ | GENERIC_WRITE, &h) == 0) {
      NtClose(h);
      ok = true;
    }
  }
  _ZmFree(block, __FILE__, __LINE__);
  return ok;
}

// A rewrite puts each logical drive's boot record one track before its data. That is
// safe only when the regions of each level are disjoint (and the drives lie inside the
// container); otherwise a boot record could land inside another partition's data.
bool layout::RegionsDisjoint(const layout::RegionList& primary, const layout::RegionList& logical) {
  auto disjoint = [](std::vector<_REGION_ENTRY> v) {
    SortRegions(v.data(), static_cast<uint32_t>(v.size()));
    for (size_t i = 1; i < v.size(); ++i)
      if (v[i].StartingOffset - v[i - 1].StartingOffset < v[i - 1].Length) return false;
    return true;
  };
  if (!disjoint(std::vector<_REGION_ENTRY>(primary.list, primary.list + primary.count))) return false;
  if (logical.count < 2) return true;
  const _REGION_ENTRY& c = logical.list[0];
  for (uint32_t i = 1; i < logical.count; ++i) {
    const _REGION_ENTRY& l = logical.list[i];
    if (l.StartingOffset < c.StartingOffset || l.StartingOffset - c.StartingOffset > c.Length - l.Length)
      return false;
  }
  return disjoint(std::vector<_REGION_ENTRY>(logical.list + 1, logical.list + logical.count));
}
