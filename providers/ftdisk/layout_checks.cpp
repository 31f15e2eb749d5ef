// Checks made before a request rewrites a partition table: a table is rebuilt from its
// region lists only when those lists hold every entry of it, in places a rebuild keeps.
// Anything else is refused before the first write, with a reason that names the entry.
#include <cstdio>
#include <string>

#include "layout.h"
#include "mbr.h"
#include "ntlow.h"
#include "provider.h"

namespace {

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Entry(const PDRIVE_LAYOUT_INFORMATION table, uint32_t index) {
  const PARTITION_INFORMATION& e = table->PartitionEntry[index];
  char buf[96];
  std::snprintf(buf, sizeof buf, "entry %u (type 0x%02X at byte %lld)", index, e.PartitionType,
                static_cast<long long>(e.StartingOffset.QuadPart));
  return buf;
}

// Names the first two regions that overlap (or the logical drive that leaves its
// container); the same tests as RegionsDisjoint.
std::string Overlap(const PDRIVE_LAYOUT_INFORMATION table, const layout::RegionList& primary,
                    const layout::RegionList& logical) {
  auto first = [&](std::vector<_REGION_ENTRY> v) -> std::string {
    SortRegions(v.data(), static_cast<uint32_t>(v.size()));
    for (size_t i = 1; i < v.size(); ++i)
      if (v[i].StartingOffset - v[i - 1].StartingOffset < v[i - 1].Length)
        return Entry(table, v[i].EntrySlot) + " overlaps " + Entry(table, v[i - 1].EntrySlot) +
               " (a logical drive counted from one track before its data)";
    return "";
  };
  std::string why = first(std::vector<_REGION_ENTRY>(primary.list, primary.list + primary.count));
  if (!why.empty() || logical.count < 2) return why;
  const _REGION_ENTRY& c = logical.list[0];
  for (uint32_t i = 1; i < logical.count; ++i) {
    const _REGION_ENTRY& l = logical.list[i];
    if (l.StartingOffset < c.StartingOffset || l.StartingOffset - c.StartingOffset > c.Length - l.Length)
      return Entry(table, l.EntrySlot) +
             " with the track before it does not lie inside its extended partition";
  }
  return first(std::vector<_REGION_ENTRY>(logical.list + 1, logical.list + logical.count));
}

}  // namespace

namespace layout {

const char16_t* const kForeignDisk = ftformat::kForeignLayoutW;

bool IsForeignLayout(PDRIVE_LAYOUT_INFORMATION table) {
  if (table == nullptr) return false;
  for (uint32_t i = 0; i < 4 && i < table->PartitionCount; ++i)
    if (table->PartitionEntry[i].PartitionType == ftformat::kProtectiveType) return true;
  return false;
}

ZMSTATUS TableProblem(HANDLE handle, PDRIVE_LAYOUT_INFORMATION table, const DISK_GEOMETRY& geometry,
                      std::u16string* reason) {
  reason->clear();
  if (table == nullptr) return LDM_E_TABLE_UNREADABLE;
  if (IsForeignLayout(table)) {
    *reason = kForeignDisk;
    return LDM_E_TABLE_READ_ONLY;
  }
  if (handle != nullptr && LowIsDiskWritable(handle) != 0) {
    *reason =
        u"the disk driver keeps this disk's table read-only (a write-protected disk, or a chain of "
        u"extended boot records it cannot follow to its end)";
    return LDM_E_TABLE_READ_ONLY;
  }
  // Every entry must become a region: one container among the first four slots, at
  // most one link per extended boot record, no logical drive without a container.
  const uint32_t count = table->PartitionCount;
  int container = -1;
  for (uint32_t i = 0; i < 4 && i < count; ++i) {
    if (!IsContainerType(table->PartitionEntry[i].PartitionType)) continue;
    if (container >= 0) {
      *reason = Widen(Entry(table, i) + " is a second extended partition beside " +
                      Entry(table, static_cast<uint32_t>(container)) + "; a rewrite would drop it");
      return LDM_E_REGIONS_FAILED;
    }
    container = static_cast<int>(i);
  }
  for (uint32_t g = 4; g < count; g += 4) {
    int links = 0;
    for (uint32_t i = g; i < g + 4 && i < count; ++i) {
      const uint8_t type = table->PartitionEntry[i].PartitionType;
      if (IsEmptyType(type)) continue;
      if (container < 0) {
        *reason = Widen(Entry(table, i) + " is a logical drive without an extended partition");
        return LDM_E_REGIONS_FAILED;
      }
      if (IsContainerType(type) && ++links > 1) {
        *reason =
            Widen(Entry(table, i) + " is a second link in one extended boot record; a rewrite would drop it");
        return LDM_E_REGIONS_FAILED;
      }
    }
  }
  RegionList primary, logical;
  uint32_t skippedPrimary = 0, skippedLogical = 0;
  if (!CreateRegionsEx(table, 1, primary.count, primary.list, geometry, &skippedPrimary) ||
      !CreateRegionsEx(table, 3, logical.count, logical.list, geometry, &skippedLogical))
    return LDM_E_REGIONS_FAILED;
  if (skippedPrimary != 0 || skippedLogical != 0) {
    *reason = u"an entry's offset or length is out of range; a rewrite would drop it";
    return LDM_E_REGIONS_FAILED;
  }
  if (!RegionsDisjoint(primary, logical)) {
    *reason = Widen(Overlap(table, primary, logical) + "; a rewrite would move or overwrite it");
    return LDM_E_REGIONS_FAILED;
  }
  return 0;
}

void PublishTableProblem(ZM_OBJECT_ID disk, const std::u16string& reason) {
  std::u16string now;
  bool recorded = !ZM_FAILED(ReadString(disk, LDM_PROP_READ_ONLY, &now));
  if (reason.empty() && (!recorded || now.empty())) return;
  if (recorded && now == reason) return;
  ZM_PROPERTY r{LDM_PROP_READ_ONLY, ZM_TYPE_STRING, 0,
                static_cast<uint32_t>((reason.size() + 1) * sizeof(char16_t)),
                const_cast<char16_t*>(reason.c_str())};
  ObSetProperty(ghDb, disk, &r);
}

ZMSTATUS CheckDiskSignature(ZM_OBJECT_ID disk) {
  uint32_t signature = 0;
  ZMSTATUS s = ReadU32(disk, "SIGNATURE", &signature);
  if (ZM_FAILED(s)) return s;
  if (signature == 0) return LDM_E_SIGNATURE_NOT_UNIQUE;
  IdList disks;
  if (ZM_FAILED(s = DbGetObjects(ghDb, ZM_OBJ_DISK, &disks.count, &disks.ids))) return s;
  for (uint32_t i = 0; i < disks.count; ++i) {
    uint32_t other = 0;
    if (disks.ids[i] != disk && !ZM_FAILED(ReadU32(disks.ids[i], "SIGNATURE", &other)) && other == signature)
      return LDM_E_SIGNATURE_NOT_UNIQUE;
  }
  return 0;
}

ZMSTATUS CheckVolumeDiskSignature(ZM_OBJECT_ID volume) {
  IdList parts;
  ZMSTATUS s = Children(volume, ZM_OBJ_PARTITION, parts);
  if (ZM_FAILED(s)) return s;
  // Every member's disk: a logical drive's through its extended partition.
  for (uint32_t p = 0; p < parts.count; ++p) {
    IdList up;
    if (ZM_FAILED(s = Parents(parts.ids[p], ZM_OBJ_DISK, up))) return s;
    if (up.count == 0) {
      IdList extended;
      if (ZM_FAILED(s = Parents(parts.ids[p], ZM_OBJ_EXTENDED, extended))) return s;
      if (extended.count == 0) continue;
      if (ZM_FAILED(s = Parents(extended.ids[0], ZM_OBJ_DISK, up))) return s;
    }
    for (uint32_t i = 0; i < up.count; ++i)
      if (ZM_FAILED(s = CheckDiskSignature(up.ids[i]))) return s;
  }
  return 0;
}

bool IsTableSector(PDRIVE_LAYOUT_INFORMATION table, int64_t byteOffset, uint32_t bytesPerSector) {
  if (table == nullptr || bytesPerSector == 0) return false;
  for (uint32_t i = 0; i < table->PartitionCount; ++i) {
    const PARTITION_INFORMATION& e = table->PartitionEntry[i];
    if (IsEmptyType(e.PartitionType)) continue;
    int64_t record = -1;
    if (i < 4) {
      if (IsContainerType(e.PartitionType)) record = e.StartingOffset.QuadPart;
    } else if (IsContainerType(e.PartitionType)) {
      record = e.StartingOffset.QuadPart;  // a link points at the next boot record
    } else {
      // A logical drive counts its start from its own boot record.
      record = e.StartingOffset.QuadPart - static_cast<int64_t>(e.HiddenSectors) * bytesPerSector;
    }
    if (record >= 0 && record == byteOffset) return true;
  }
  return false;
}

}  // namespace layout
