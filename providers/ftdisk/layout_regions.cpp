// The region model: region lists built from a partition table, their order, the free
// extents between regions, and the check of a requested extent against free space.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "layout.h"
#include "ntlow.h"
#include "provider.h"

namespace {

constexpr int64_t kMaxOffset = std::numeric_limits<int64_t>::max();

// a + b without overflow, both non-negative.
bool AddFits(int64_t a, int64_t b) { return a >= 0 && b >= 0 && a <= kMaxOffset - b; }

bool Append(_REGION_ENTRY*& list, uint32_t& count, const _REGION_ENTRY& r) {
  void* grown = _ZmRealloc(list, (count + 1) * sizeof(_REGION_ENTRY), __FILE__, __LINE__);
  if (grown == nullptr) return false;
  list = static_cast<_REGION_ENTRY*>(grown);
  list[count++] = r;
  return true;
}

_REGION_ENTRY FromEntry(const PARTITION_INFORMATION& e, uint32_t regionType, uint32_t slot) {
  _REGION_ENTRY r{};
  r.StartingOffset = e.StartingOffset.QuadPart;
  r.Length = e.PartitionLength.QuadPart;
  r.RegionType = regionType;
  r.PartitionType = e.PartitionType;
  r.BootIndicator = e.BootIndicator;
  r.EntrySlot = slot;
  r.RewritePartition = e.RewritePartition;
  r.PartitionNumber = e.PartitionNumber;
  r.RecognizedPartition = e.RecognizedPartition;
  return r;
}

// Appends one region as the free-extent walk sees it: [cursor, start) is free when the
// region starts past the cursor; the cursor never moves backwards, so a region nested
// in or overlapping an earlier one never opens a gap inside that earlier region.
void Walk(std::vector<_FREE_EXTENT>& out, int64_t& cursor, int64_t end, const _REGION_ENTRY& r) {
  int64_t start = r.StartingOffset;
  if (cursor < start) {
    int64_t stop = start < end ? start : end;
    if (cursor < stop) out.push_back({cursor, stop - cursor});
  }
  int64_t regionEnd = r.StartingOffset + r.Length;  // checked when the list was built
  if (regionEnd > cursor) cursor = regionEnd;
}

}  // namespace

uint32_t TrackBytes(const DISK_GEOMETRY& g) { return g.SectorsPerTrack * g.BytesPerSector; }

uint32_t CylinderBytes(const DISK_GEOMETRY& g) {
  return g.TracksPerCylinder * g.SectorsPerTrack * g.BytesPerSector;
}

int64_t UsableBytes(const DISK_GEOMETRY& g) {
  int64_t cylinders = g.Cylinders.QuadPart;
  uint32_t c = CylinderBytes(g);
  if (cylinders <= 0 || c == 0) return 0;
  if (cylinders > kMaxOffset / c) return kMaxOffset;
  return cylinders * static_cast<int64_t>(c);
}

bool IsEmptyType(uint8_t type) { return type == 0; }

bool CreateRegionsEx(PDRIVE_LAYOUT_INFORMATION layout, uint32_t level, uint32_t& count, _REGION_ENTRY*& list,
                     DISK_GEOMETRY geometry, uint32_t* skipped) {
  if (skipped != nullptr) *skipped = 0;
  if (layout == nullptr) return false;
  if (level < 1 || level > 3) return false;
  count = 0;
  list = nullptr;
  uint32_t dropped = 0;
  bool ok = true;
  const int64_t track = TrackBytes(geometry);

  if (level == 1 || level == 2) {
    for (uint32_t i = 0; i < 4 && ok; ++i) {
      const PARTITION_INFORMATION& e = layout->PartitionEntry[i];
      if (IsEmptyType(e.PartitionType)) continue;
      if (!AddFits(e.StartingOffset.QuadPart, e.PartitionLength.QuadPart)) {
        ++dropped;
        continue;
      }
      uint32_t type = IsContainerType(e.PartitionType) ? REGION_EXTENDED : REGION_PRIMARY;
      ok = Append(list, count, FromEntry(e, type, i));
    }
  } else {
    uint32_t container = 4;
    for (uint32_t i = 0; i < 4; ++i) {
      if (IsContainerType(layout->PartitionEntry[i].PartitionType)) {
        container = i;
        break;
      }
    }
    if (container < 4) {
      const PARTITION_INFORMATION& c = layout->PartitionEntry[container];
      if (!AddFits(c.StartingOffset.QuadPart, c.PartitionLength.QuadPart)) {
        ++dropped;
      } else {
        ok = Append(list, count, FromEntry(c, REGION_EXTENDED, container));
        for (uint32_t i = 4; ok && i < layout->PartitionCount; ++i) {
          const PARTITION_INFORMATION& e = layout->PartitionEntry[i];
          if (IsEmptyType(e.PartitionType) || IsContainerType(e.PartitionType)) continue;
          int64_t start = e.StartingOffset.QuadPart;
          int64_t length = e.PartitionLength.QuadPart;
          // The region begins at the boot-record track in front of the drive's data.
          if (start < track || !AddFits(length, track) || !AddFits(start - track, length + track)) {
            ++dropped;
            continue;
          }
          _REGION_ENTRY r = FromEntry(e, REGION_LOGICAL, i);
          r.StartingOffset = start - track;
          r.Length = length + track;
          ok = Append(list, count, r);
        }
      }
    }
  }

  if (!ok) {
    _ZmFree(list, __FILE__, __LINE__);
    list = nullptr;
    count = 0;
    return false;
  }
  if (skipped != nullptr) *skipped = dropped;
  return true;
}

bool CreateRegions(PDRIVE_LAYOUT_INFORMATION layout, uint32_t level, uint32_t& count, _REGION_ENTRY*& list,
                   DISK_GEOMETRY geometry) {
  return CreateRegionsEx(layout, level, count, list, geometry, nullptr);
}

int StartCompareFunction(const void* a, const void* b) {
  const _REGION_ENTRY* x = static_cast<const _REGION_ENTRY*>(a);
  const _REGION_ENTRY* y = static_cast<const _REGION_ENTRY*>(b);
  if (x->RegionType == REGION_EXTENDED && y->RegionType == REGION_LOGICAL) return -1;
  if (x->RegionType == REGION_LOGICAL && y->RegionType == REGION_EXTENDED) return 1;
  if (x->StartingOffset < y->StartingOffset) return -1;
  if (x->StartingOffset > y->StartingOffset) return 1;
  return 0;
}

void SortRegions(_REGION_ENTRY* list, uint32_t count) {
  if (list != nullptr && count > 1) qsort(list, count, sizeof(_REGION_ENTRY), StartCompareFunction);
}

std::vector<_FREE_EXTENT> FreeExtents(_REGION_ENTRY* list, uint32_t count, uint32_t level,
                                      const DISK_GEOMETRY& geometry) {
  std::vector<_FREE_EXTENT> out;
  SortRegions(list, count);
  if (level == 3) {
    if (list == nullptr || count == 0) return out;
    int64_t cursor = list[0].StartingOffset;
    int64_t end = list[0].StartingOffset + list[0].Length;
    for (uint32_t i = 1; i < count; ++i) Walk(out, cursor, end, list[i]);
    if (cursor < end) out.push_back({cursor, end - cursor});
    return out;
  }
  int64_t cursor = 0;
  int64_t end = UsableBytes(geometry);
  for (uint32_t i = 0; list != nullptr && i < count; ++i) Walk(out, cursor, end, list[i]);
  if (cursor < end) out.push_back({cursor, end - cursor});
  return out;
}

bool GetUnallocatedSpaceSpec(int64_t offset, int64_t length, int64_t& freeOffset, int64_t& freeLength,
                             uint32_t regionType, ZM_OBJECT_ID disk) {
  layout::IdList candidates;
  if (regionType == REGION_PRIMARY || regionType == REGION_EXTENDED) {
    if (ZM_FAILED(layout::Children(disk, ZM_OBJ_FREE_SPACE, candidates))) return false;
  } else if (regionType == REGION_LOGICAL) {
    layout::IdList extended;
    if (ZM_FAILED(layout::Children(disk, ZM_OBJ_EXTENDED, extended)) || extended.count != 1) return false;
    if (ZM_FAILED(layout::Children(extended.ids[0], ZM_OBJ_FREE_SPACE, candidates))) return false;
  } else {
    return false;
  }
  if (offset < 0 || length < 0 || !AddFits(offset, length)) return false;
  for (uint32_t i = 0; i < candidates.count; ++i) {
    uint64_t len = 0, off = 0;
    if (ZM_FAILED(ReadU64(candidates.ids[i], "LENGTH_LL", &len))) continue;
    if (ZM_FAILED(ReadU64(candidates.ids[i], "OFFSET_LL", &off))) continue;
    int64_t fo = static_cast<int64_t>(off), fl = static_cast<int64_t>(len);
    if (!AddFits(fo, fl)) continue;
    if (fo <= offset && offset + length <= fo + fl) {
      freeOffset = fo;
      freeLength = fl;
      return true;
    }
  }
  return false;
}

namespace layout {

void IdList::Reset() {
  if (ids != nullptr) _ZmFree(ids, __FILE__, __LINE__);
  ids = nullptr;
  count = 0;
}

namespace {

using Listing = ZMSTATUS (*)(ZM_HANDLE, ZM_OBJECT_ID, uint32_t, uint32_t*, ZM_OBJECT_ID**);

ZMSTATUS List(Listing listing, ZM_OBJECT_ID id, uint32_t type, IdList& out) {
  out.Reset();
  ZMSTATUS s = listing(ghDb, id, type, &out.count, &out.ids);
  if (ZM_FAILED(s)) {
    out.Reset();
  } else if (out.ids == nullptr) {
    out.count = 0;
  }
  return s;
}

}  // namespace

ZMSTATUS Children(ZM_OBJECT_ID id, uint32_t type, IdList& out) {
  return List(ObGetChildObjects, id, type, out);
}

ZMSTATUS Parents(ZM_OBJECT_ID id, uint32_t type, IdList& out) {
  return List(ObGetParentObjects, id, type, out);
}

void RaiseAlert(const GUID& kind, PCWSTR insert) {
  ZM_OBJECT_ID alert = 0;
  if (ZM_FAILED(GetAlertObjectId(&kind, &alert)) || alert == 0) return;
  ZmRaiseAlert(ghProvider, alert, 1, insert != nullptr && insert[0] != 0 ? insert : u" ");
}

void RegionList::Reset() {
  if (list != nullptr) _ZmFree(list, __FILE__, __LINE__);
  list = nullptr;
  count = 0;
}

void DiskHandle::Close() {
  if (h != nullptr) NtClose(h);
  h = nullptr;
}

void LayoutBuffer::Reset() {
  if (p != nullptr) _ZmFree(p, __FILE__, __LINE__);
  p = nullptr;
}

}  // namespace layout
