// Placeholder volumes above basic partitions, their state kept in step with the
// partition, and the request that moves a disk's active (boot) flag.
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "layout.h"
#include "ntlow.h"
#include "provider.h"

namespace {

using layout::IdList;

constexpr uint64_t kForceFailedBit = 0x4000000000ull;  // bit 38
constexpr uint64_t kStateFailed = 0x8;
constexpr uint32_t kSeverityFailed = 2;
constexpr uint64_t kStateInitializing = 0x400000000ull;  // bit 34
constexpr uint32_t kFacilityFt = 2;                      // an FT volume

// The properties a placeholder volume takes from its partition, with their types.
struct CopiedProperty {
  const char* name;
  uint32_t type;
};
constexpr CopiedProperty kCopied[] = {
    {"\\Device\\", ZM_TYPE_STRING},  {"LDM_VOLUME_TYPE", ZM_TYPE_UINT32}, {"LENGTH_LL", ZM_TYPE_UINT64},
    {"STATE", ZM_TYPE_UINT64},       {"SEVERITY", ZM_TYPE_UINT32},        {"OFFSET_LL", ZM_TYPE_UINT64},
    {"REGION_TYPE", ZM_TYPE_UINT32},
};

// Where the kind and the state are among them, for the new volume's menus.
constexpr size_t kKindAt = 1, kStateAt = 3;
static_assert(std::string_view(kCopied[kKindAt].name) == "LDM_VOLUME_TYPE" &&
              std::string_view(kCopied[kStateAt].name) == "STATE");

// Copies one property into the set; *value takes a copied value of up to 8 bytes
// (little-endian, as the platform stores it).
void CopyProperty(ZM_OBJECT_ID from, const CopiedProperty& p, ZM_PROPSET set, uint64_t* value) {
  ZM_PROPERTY* r = nullptr;
  if (!ZM_FAILED(ObGetProperty(ghDb, from, p.name, &r)) && r != nullptr && r->Type == p.type &&
      r->Value != nullptr) {
    ZM_PROPERTY copy{p.name, r->Type, 0, r->Size, r->Value};
    PsAddProperty(set, &copy);
    if (r->Size <= sizeof *value) std::memcpy(value, r->Value, r->Size);
  }
  if (r != nullptr) _ZmFree(r, __FILE__, __LINE__);
}

// The menu masks of a new placeholder volume, from what its partition and disk say: the
// masks the menu update will compute for it, so that the volume is complete when made
// and the updates that its events start find nothing to change. It has no letter yet.
void AddNewVolumeMenus(ZM_PROPSET set, ZM_OBJECT_ID partition, ZM_OBJECT_ID disk, uint32_t kind,
                       uint64_t state) {
  VolumeMenuFacts facts;
  facts.kind = kind;
  facts.state = state;
  if (kind == REGION_PRIMARY) {
    uint8_t active = 0, removable = 0;
    facts.inactive = !ZM_FAILED(ReadU8(partition, "ACTIVE", &active)) && active == 0;
    facts.noActiveItem = !ZM_FAILED(ReadU8(disk, "REMOVABLE", &removable)) && removable != 0;
  }
  AddVolumeMenuMasks(set, facts);
}

// The readers set the value to 0 whenever they cannot read the property.
uint64_t U64Or0(ZM_OBJECT_ID id, const char* name) {
  uint64_t v;
  ReadU64(id, name, &v);
  return v;
}

uint32_t U32Or0(ZM_OBJECT_ID id, const char* name) {
  uint32_t v;
  ReadU32(id, name, &v);
  return v;
}

void WriteStateAndSeverity(ZM_OBJECT_ID id, uint64_t state, uint32_t severity) {
  ZM_PROPERTY s{"STATE", ZM_TYPE_UINT64, 0, 8, &state};
  ObSetProperty(ghDb, id, &s);
  ZM_PROPERTY v{"SEVERITY", ZM_TYPE_UINT32, 0, 4, &severity};
  ObSetProperty(ghDb, id, &v);
}

ZMSTATUS MarkActive(ZM_OBJECT_ID volume, std::u16string& device) {
  uint32_t type = 0, volumeType = 0;
  if (ZM_FAILED(ObGetObjectType(ghDb, volume, &type)) || type != ZM_OBJ_VOLUME) return E_INVALIDARG_ZM;
  if (ZM_FAILED(ReadU32(volume, "LDM_VOLUME_TYPE", &volumeType)) || volumeType != REGION_PRIMARY)
    return E_INVALIDARG_ZM;
  IdList parts;
  if (ZM_FAILED(layout::Children(volume, ZM_OBJ_PARTITION, parts)) || parts.count == 0)
    return E_INVALIDARG_ZM;
  ZM_OBJECT_ID partition = parts.ids[0];

  uint64_t offset = 0, length = 0;
  ZMSTATUS s;
  if (ZM_FAILED(s = ReadU64(partition, "OFFSET_LL", &offset))) return s;
  if (ZM_FAILED(s = ReadU64(partition, "LENGTH_LL", &length))) return s;
  IdList disks;
  if (ZM_FAILED(layout::Parents(partition, ZM_OBJ_DISK, disks)) || disks.count == 0) return E_INVALIDARG_ZM;
  ZM_OBJECT_ID disk = disks.ids[0];
  if (ZM_FAILED(ReadString(disk, "\\Device\\", &device)) || device.empty()) {
    device.clear();
    return E_INVALIDARG_ZM;
  }

  layout::DiskHandle h;
  if (!NT_SUCCESS(LowOpenDisk(device.c_str(), GENERIC_READ | GENERIC_WRITE, &h.h))) {
    h.h = nullptr;
    return LDM_E_OPEN_FAILED;
  }
  layout::LayoutBuffer table;
  if (LowGetDiskLayout(h.h, &table.p) != 0) {
    table.p = nullptr;
    return LDM_E_TABLE_UNREADABLE;
  }
  DISK_GEOMETRY geometry{};
  if (LowGetDriveGeometry(h.h, geometry) != 0) return LDM_E_GEOMETRY_FAILED;
  // A table the region lists cannot rebuild whole is refused before anything changes.
  std::u16string reason;
  ZMSTATUS problem = layout::TableProblem(h.h, table.p, geometry, &reason);
  layout::PublishTableProblem(disk, reason);
  if (problem != 0) return problem;
  layout::RegionList primary, logical;
  if (!CreateRegions(table.p, 1, primary.count, primary.list, geometry) ||
      !CreateRegions(table.p, 3, logical.count, logical.list, geometry))
    return LDM_E_REGIONS_FAILED;

  _DISK_ENTRY entry{};
  entry.PrimaryRegions = primary.list;
  entry.LogicalRegions = logical.list;
  entry.PrimaryCount = primary.count;
  entry.LogicalCount = logical.count;
  entry.Signature = table.p->Signature;
  entry.Geometry = geometry;

  // Exactly one entry of the disk stays flagged: the named partition. Other flags, also
  // on the extended partition or a logical drive, are cleared in the same write.
  bool found = false, changed = false;
  for (uint32_t i = 0; i < primary.count; ++i) {
    _REGION_ENTRY& r = primary.list[i];
    const bool named =
        static_cast<uint64_t>(r.StartingOffset) == offset && static_cast<uint64_t>(r.Length) == length;
    if (named && !found) {
      found = true;
      if (r.BootIndicator) continue;
      r.BootIndicator = 1;
    } else if (r.BootIndicator) {
      r.BootIndicator = 0;
    } else {
      continue;
    }
    r.RewritePartition = 1;
    changed = true;
  }
  for (uint32_t i = 1; i < logical.count; ++i) {
    _REGION_ENTRY& r = logical.list[i];
    if (!r.BootIndicator) continue;
    r.BootIndicator = 0;
    r.RewritePartition = 1;
    changed = true;
  }
  if (!found || !changed) return 0;
  if (!WriteLayout(entry, h.h)) return LDM_E_WRITE_FAILED;
  h.Close();

  ZM_OBJECT_ID created = 0;
  ZMSTATUS result = UpdateDisk(disk, &created);
  CreateFakeVolumes(disk);
  RefreshDLandFS(created);
  if (bDoneInitializing) UpdateRegistry();
  return result;
}

}  // namespace

ZMSTATUS CreateFakeVolumes(ZM_OBJECT_ID disk) {
  IdList parts;
  ZMSTATUS s = layout::Children(disk, ZM_OBJ_PARTITION, parts);
  if (ZM_FAILED(s)) return s;
  ZMSTATUS last = s;
  for (uint32_t i = 0; i < parts.count; ++i) last = EncapsulatePartition(parts.ids[i], disk);
  IdList extended, drives;
  if (!ZM_FAILED(layout::Children(disk, ZM_OBJ_EXTENDED, extended)) && extended.count > 0 &&
      !ZM_FAILED(layout::Children(extended.ids[0], ZM_OBJ_PARTITION, drives))) {
    for (uint32_t i = 0; i < drives.count; ++i) last = EncapsulatePartition(drives.ids[i], disk);
  }
  return last;
}

ZMSTATUS EncapsulatePartition(ZM_OBJECT_ID partition, ZM_OBJECT_ID disk) {
  ZM_PROPSET set = nullptr;
  ZMSTATUS s = PsCreatePropset(&set);
  if (ZM_FAILED(s)) return s;
  IdList volumes;
  if (ZM_FAILED(s = layout::Parents(partition, ZM_OBJ_VOLUME, volumes))) {
    PsDestroyPropset(set);
    return s;
  }

  if (volumes.count == 0) {
    ZM_OBJECT_ID volume = 0;
    if (ZM_FAILED(ObCreateObject(ghDb, ghProvider, ZM_OBJ_VOLUME, &volume))) {
      PsDestroyPropset(set);
      return 0;
    }
    uint64_t values[std::size(kCopied)] = {};
    for (size_t i = 0; i < std::size(kCopied); ++i) CopyProperty(partition, kCopied[i], set, &values[i]);
    uint32_t facility = 1;
    ZM_PROPERTY f{"FACILITY", ZM_TYPE_UINT32, 0, 4, &facility};
    PsAddProperty(set, &f);
    AddNewVolumeMenus(set, partition, disk, static_cast<uint32_t>(values[kKindAt]), values[kStateAt]);
    ObSetProperties(ghDb, volume, set);
    ObAddChildObject(ghDb, volume, partition);
    IdList containers;
    if (!ZM_FAILED(layout::Parents(disk, ZM_OBJ_CONTAINER, containers)) && containers.count > 0)
      ObAddChildObject(ghDb, containers.ids[0], volume);
  } else if (U32Or0(volumes.ids[0], "FACILITY") == kFacilityFt) {
    // An FT volume's state and severity are its set's, written by the FT pass; one
    // healthy member must not paint a degraded set healthy.
  } else {
    ZM_OBJECT_ID volume = volumes.ids[0];
    uint64_t p = U64Or0(partition, "STATE");
    uint64_t v = U64Or0(volume, "STATE");
    uint32_t severity = U32Or0(partition, "SEVERITY");
    // The volume's upper half carries over, but bit 34 (initializing) is the partition's
    // of this pass, never a leftover.
    uint64_t high = ((v & ~kStateInitializing) | p) & 0xFFFFFFFF00000000ull;
    uint64_t state;
    if (v & kForceFailedBit) {
      state = high | kStateFailed;
      severity = kSeverityFailed;
    } else {
      state = high | (p & 0xFFFFFFFFull);
    }
    WriteStateAndSeverity(volume, state, severity);
    IdList extended;
    if (!ZM_FAILED(layout::Parents(partition, ZM_OBJ_EXTENDED, extended)) && extended.count > 0)
      WriteStateAndSeverity(extended.ids[0], state, severity);
  }
  PsDestroyPropset(set);
  return 0;
}

ZMSTATUS LdmMarkPartitionActive(ZM_OBJECT_ID volume) {
  std::u16string device;
  ZMSTATUS result = MarkActive(volume, device);
  layout::RaiseAlert(ZM_FAILED(result) ? ALERT_GUID_MARK_ACTIVE_FAILED : ALERT_GUID_MARKED_ACTIVE,
                     device.c_str());
  return result;
}
