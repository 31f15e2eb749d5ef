// Reading and writing MBR/EBR partition tables in the disk driver's conventions.
#include "ptable.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "mbr.h"
#include "ntplatform.h"

namespace ntp::ptable {

namespace {

using ftformat::kMbrEntrySize;
using ftformat::kMbrTableOffset;
using RawEntry = ftformat::MbrEntry;

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

PARTITION_INFORMATION Report(const RawEntry& raw, uint64_t base, uint32_t bps) {
  PARTITION_INFORMATION info{};
  if (raw.type == PARTITION_ENTRY_UNUSED) return info;
  info.StartingOffset.QuadPart = int64_t((base + raw.start) * bps);
  info.PartitionLength.QuadPart = int64_t(uint64_t(raw.count) * bps);
  info.HiddenSectors = raw.start;
  info.PartitionType = raw.type;
  info.BootIndicator = (raw.boot & 0x80) ? TRUE : FALSE;
  info.RecognizedPartition = IsRecognized(raw.type) ? TRUE : FALSE;
  return info;
}

// CHS address of an LBA for the table, capped at cylinder 1023.
void PutChs(uint8_t* p, uint64_t lba, const DiskShape& shape) {
  uint64_t perCylinder = uint64_t(shape.heads) * shape.sectorsPerTrack;
  uint64_t c = lba / perCylinder;
  uint32_t h = uint32_t((lba / shape.sectorsPerTrack) % shape.heads);
  uint32_t s = uint32_t(lba % shape.sectorsPerTrack) + 1;
  if (c > 1023) {
    c = 1023;
    h = shape.heads - 1;
    s = shape.sectorsPerTrack;
  }
  p[0] = uint8_t(h);
  p[1] = uint8_t((s & 0x3F) | ((c >> 2) & 0xC0));
  p[2] = uint8_t(c & 0xFF);
}

}  // namespace

bool IsContainer(uint8_t type) { return ftformat::IsContainerType(type); }

bool IsRecognized(uint8_t type) {
  auto base = [](uint8_t t) {
    switch (t) {
      case PARTITION_FAT_12:
      case PARTITION_FAT_16:
      case PARTITION_HUGE:
      case PARTITION_IFS:
      case PARTITION_FAT32:
      case PARTITION_FAT32_XINT13:
      case PARTITION_XINT13:
        return true;
      default:
        return false;
    }
  };
  if (type & PARTITION_NTFT) return base(uint8_t(type & ~0xC0));
  return base(type);
}

bool IsData(uint8_t type) { return type != PARTITION_ENTRY_UNUSED && !IsContainer(type); }

namespace {

NTSTATUS ReadChain(const DiskShape& shape, const SectorReader& reader, ReadResult* result) {
  *result = ReadResult{};
  const uint32_t bps = shape.bytesPerSector;
  std::vector<uint8_t> sector(bps);
  if (shape.sectors == 0 || !reader(0, sector.data())) return STATUS_IO_DEVICE_ERROR;
  result->signature = ftformat::MbrSignature(sector.data(), sector.size());
  if (!ftformat::HasBootMark(sector.data())) return STATUS_SUCCESS;

  uint64_t extStart = 0, extSize = 0, next = 0;
  bool haveNext = false;
  for (int slot = 0; slot < 4; ++slot) {
    RawEntry raw = ftformat::MbrSlot(sector.data(), slot);
    result->entries.push_back(Report(raw, 0, bps));
    if (IsContainer(raw.type) && !haveNext && extSize == 0) {
      extStart = raw.start;
      extSize = raw.count;
      next = raw.start;
      haveNext = raw.count != 0;
      if (!haveNext) result->warnings.push_back("the extended partition has no sectors");
    }
  }
  result->tableSectors.push_back(0);

  std::set<uint64_t> visited{0};
  const uint64_t extEnd = extStart + extSize;
  while (haveNext) {
    haveNext = false;
    const uint64_t at = next;
    if (result->tableSectors.size() > kMaxChain) {
      result->warnings.push_back("the extended chain is longer than " + std::to_string(kMaxChain) +
                                 " boot records");
      break;
    }
    if (at >= shape.sectors) {
      result->warnings.push_back("an extended boot record lies beyond the end of the disk (sector " +
                                 std::to_string(at) + ")");
      break;
    }
    if (at < extStart || at >= extEnd) {
      result->warnings.push_back("an extended boot record lies outside the extended partition (sector " +
                                 std::to_string(at) + ")");
      break;
    }
    if (!visited.insert(at).second) {
      result->warnings.push_back("the extended chain loops back to sector " + std::to_string(at));
      break;
    }
    if (!reader(at, sector.data())) {
      result->warnings.push_back("the extended boot record at sector " + std::to_string(at) +
                                 " cannot be read");
      break;
    }
    if (!ftformat::HasBootMark(sector.data())) {
      result->warnings.push_back("the extended boot record at sector " + std::to_string(at) +
                                 " has no table signature");
      break;
    }
    bool linked = false;
    for (int slot = 0; slot < 4; ++slot) {
      RawEntry raw = ftformat::MbrSlot(sector.data(), slot);
      if (IsContainer(raw.type)) {
        // Links are relative to the start of the extended partition.
        result->entries.push_back(Report(raw, extStart, bps));
        if (!linked) {
          linked = true;
          if (raw.count == 0) {
            result->warnings.push_back("a link in the extended chain has no sectors");
          } else {
            next = extStart + raw.start;
            haveNext = true;
          }
        }
      } else {
        result->entries.push_back(Report(raw, at, bps));
      }
    }
    result->tableSectors.push_back(at);
  }
  return STATUS_SUCCESS;
}

std::string Hex8(uint8_t v) {
  static const char digits[] = "0123456789ABCDEF";
  return std::string("0x") + digits[v >> 4] + digits[v & 15];
}

}  // namespace

NTSTATUS Read(const DiskShape& shape, const SectorReader& reader, ReadResult* result) {
  // The assessment looks again at the sectors the walk read: it gets them from memory,
  // so a scan reads each table sector once.
  std::map<uint64_t, std::vector<uint8_t>> seen;
  const SectorReader once = [&](uint64_t lba, uint8_t* buffer) {
    auto it = seen.find(lba);
    if (it != seen.end()) {
      std::memcpy(buffer, it->second.data(), it->second.size());
      return true;
    }
    if (!reader(lba, buffer)) return false;
    seen.emplace(lba, std::vector<uint8_t>(buffer, buffer + shape.bytesPerSector));
    return true;
  };
  NTSTATUS s = ReadChain(shape, once, result);
  if (NT_SUCCESS(s)) Assess(shape, once, result);
  return s;
}

void Assess(const DiskShape& shape, const SectorReader& reader, ReadResult* result) {
  result->readOnlyReason.clear();
  const uint32_t bps = shape.bytesPerSector;
  std::vector<uint8_t> sector(bps);
  const bool marked = reader(0, sector.data()) && ftformat::HasBootMark(sector.data());
  std::vector<uint8_t> second(bps);
  const bool hasSecond = shape.sectors > 1 && bps >= 8 && reader(1, second.data());
  if (ftformat::IsForeignLayout(marked ? sector.data() : nullptr, hasSecond ? second.data() : nullptr)) {
    result->readOnlyReason = ftformat::kForeignLayout;
    return;
  }
  if (!marked) return;

  // Slots the layout reports as empty although they hold a start or a size.
  for (size_t g = 0; g < result->tableSectors.size(); ++g) {
    const uint64_t lba = result->tableSectors[g];
    if (!reader(lba, sector.data())) continue;
    for (int slot = 0; slot < 4; ++slot) {
      const RawEntry raw = ftformat::MbrSlot(sector.data(), slot);
      if (raw.type == PARTITION_ENTRY_UNUSED && (raw.start != 0 || raw.count != 0)) {
        result->readOnlyReason = "slot " + std::to_string(slot + 1) + " of the table at sector " +
                                 std::to_string(lba) + " has no type but a start (" +
                                 std::to_string(raw.start) + ") or size (" + std::to_string(raw.count) +
                                 "); a rewrite would lose it";
        return;
      }
    }
  }

  // Only the first extended partition of the master boot record is followed.
  std::vector<size_t> containers;
  for (size_t i = 0; i < 4 && i < result->entries.size(); ++i)
    if (IsContainer(result->entries[i].PartitionType)) containers.push_back(i);
  if (containers.size() > 1) {
    result->readOnlyReason = "the master boot record holds " + std::to_string(containers.size()) +
                             " extended partitions (slots " + std::to_string(containers[0] + 1) + " and " +
                             std::to_string(containers[1] + 1) + "); only the first one is followed";
    return;
  }

  if (result->warnings.empty()) return;
  // A first extended boot record that is all zeros (no signature, no entries) is an
  // extended partition nobody has used yet; anything else leaves the rest of the
  // extended partition unknown.
  if (result->tableSectors.size() == 1) {
    const PARTITION_INFORMATION* container = nullptr;
    for (size_t i = 0; i < 4 && i < result->entries.size(); ++i)
      if (IsContainer(result->entries[i].PartitionType)) {
        container = &result->entries[i];
        break;
      }
    // Only for the plain types: under 0x85, 0xC5 and the like an unreadable first
    // sector may as well be another system's data.
    if (container != nullptr && (container->PartitionType == PARTITION_EXTENDED ||
                                 container->PartitionType == PARTITION_XINT13_EXTENDED)) {
      const uint64_t at = uint64_t(container->StartingOffset.QuadPart) / bps;
      if (container->PartitionLength.QuadPart == 0) return;
      if (at < shape.sectors && reader(at, sector.data()) &&
          std::all_of(sector.begin() + kMbrTableOffset, sector.end(), [](uint8_t b) { return b == 0; }))
        return;
    }
  }
  std::string kind;
  for (size_t i = 0; i < 4 && i < result->entries.size(); ++i)
    if (IsContainer(result->entries[i].PartitionType)) {
      kind = " of type " + Hex8(result->entries[i].PartitionType);
      break;
    }
  result->readOnlyReason = "the chain of the extended partition" + kind + " cannot be followed to its end (" +
                           result->warnings.front() + "); nothing in it may be changed";
}

NTSTATUS Build(const DiskShape& shape, const SectorReader& reader, const DRIVE_LAYOUT_INFORMATION* layout,
               std::vector<SectorImage>* sectors, std::string* reason) {
  sectors->clear();
  auto refuse = [&](const std::string& why) {
    if (reason != nullptr) *reason = why;
    return STATUS_INVALID_PARAMETER;
  };
  const uint32_t bps = shape.bytesPerSector;
  const uint64_t count = layout->PartitionCount;
  if (count == 0 || count % 4 != 0) return refuse("the entry count is not a positive multiple of four");
  const PARTITION_INFORMATION* e = layout->PartitionEntry;
  const size_t groups = size_t(count / 4);

  struct Extent {
    uint64_t start, end;  // sectors, end exclusive
  };
  std::vector<uint64_t> tableLba(groups, 0);
  std::vector<std::vector<RawEntry>> raw(groups, std::vector<RawEntry>(4));
  std::vector<Extent> primaries;  // primary data and the extended partition
  std::vector<Extent> logicals;   // data in the extended chain
  uint64_t extStart = 0, extEnd = 0;
  bool haveExt = false;

  for (size_t g = 0; g < groups; ++g) {
    if (g > 0) {
      // Located by the first container entry of the previous group.
      const PARTITION_INFORMATION* prev = e + 4 * (g - 1);
      int found = -1;
      for (int s = 0; s < 4; ++s)
        if (IsContainer(prev[s].PartitionType)) {
          found = s;
          break;
        }
      if (found < 0)
        return refuse("table group " + std::to_string(g) + " has no container entry in the group before it");
      tableLba[g] = uint64_t(prev[found].StartingOffset.QuadPart) / bps;  // checked below
    }
    bool container = false;
    for (int s = 0; s < 4; ++s) {
      const PARTITION_INFORMATION& p = e[4 * g + s];
      const std::string where = "entry " + std::to_string(4 * g + s);
      if (p.PartitionType == PARTITION_ENTRY_UNUSED) {
        raw[g][s] = RawEntry{0, 0, 0, 0};
        continue;
      }
      const int64_t off = p.StartingOffset.QuadPart, len = p.PartitionLength.QuadPart;
      if (off < 0 || len <= 0) return refuse(where + " has a negative offset or no length");
      if (uint64_t(off) % bps != 0 || uint64_t(len) % bps != 0)
        return refuse(where + " is not sector-aligned");
      const uint64_t start = uint64_t(off) / bps, size = uint64_t(len) / bps;
      if (start > shape.sectors || size > shape.sectors - start)
        return refuse(where + " lies beyond the disk");
      if (size > 0xFFFFFFFFull) return refuse(where + " is too long for a 32-bit sector count");
      const bool isContainer = IsContainer(p.PartitionType);
      if (isContainer) {
        if (container) return refuse(where + " is a second container entry in its table");
        container = true;
      }
      uint64_t rel;
      if (g == 0) {
        if (start == 0) return refuse(where + " overlaps the master boot record");
        rel = start;
        if (isContainer) {
          haveExt = true;
          extStart = start;
          extEnd = start + size;
        }
        primaries.push_back({start, start + size});
      } else {
        if (start < extStart || start + size > extEnd)
          return refuse(where + " lies outside the extended partition");
        if (isContainer) {
          rel = start - extStart;
        } else {
          if (start <= tableLba[g]) return refuse(where + " does not start after its boot record");
          rel = start - tableLba[g];
          logicals.push_back({start, start + size});
        }
      }
      if (rel > 0xFFFFFFFFull) return refuse(where + " starts too far for a 32-bit sector number");
      raw[g][s] =
          RawEntry{uint8_t(p.BootIndicator ? 0x80 : 0), p.PartitionType, uint32_t(rel), uint32_t(size)};
    }
  }

  // Table sectors: distinct, inside the extended partition, never inside data.
  std::set<uint64_t> seen;
  for (size_t g = 0; g < groups; ++g) {
    if (g > 0 && (tableLba[g] < extStart || tableLba[g] >= extEnd))
      return refuse("table group " + std::to_string(g) + " lies outside the extended partition");
    if (!seen.insert(tableLba[g]).second)
      return refuse("two table groups share sector " + std::to_string(tableLba[g]));
  }
  auto overlapping = [](std::vector<Extent> v) {
    std::sort(v.begin(), v.end(), [](const Extent& a, const Extent& b) { return a.start < b.start; });
    for (size_t i = 1; i < v.size(); ++i)
      if (v[i].start < v[i - 1].end) return true;
    return false;
  };
  if (overlapping(primaries)) return refuse("primary partitions overlap");
  if (overlapping(logicals)) return refuse("logical drives overlap");
  for (uint64_t t : seen) {
    for (const Extent& x : logicals)
      if (t >= x.start && t < x.end) return refuse("a boot record lies inside a logical drive");
    for (size_t i = 0; i < primaries.size(); ++i)
      if (t >= primaries[i].start && t < primaries[i].end && !(haveExt && primaries[i].start == extStart))
        return refuse("a boot record lies inside a primary partition");
  }

  // Every check passed: build the sectors of the groups to be rewritten, deepest
  // boot record first and sector 0 last. Written in this order, each link reaches
  // the disk after the boot record it points to, so a crash between two writes
  // never leaves a link to a sector that does not hold its table yet.
  for (size_t g = groups; g-- > 0;) {
    bool rewrite = false;
    for (int s = 0; s < 4; ++s) rewrite = rewrite || e[4 * g + s].RewritePartition;
    if (!rewrite) continue;
    SectorImage img{tableLba[g], std::vector<uint8_t>(bps, 0)};
    if (g == 0) {
      // Keep the boot code of the master boot record.
      if (!reader(0, img.bytes.data())) return STATUS_IO_DEVICE_ERROR;
      std::memset(img.bytes.data() + kMbrTableOffset, 0, bps - kMbrTableOffset);
      ftformat::PutMbrSignature(img.bytes.data(), layout->Signature);
    }
    for (int s = 0; s < 4; ++s) {
      const RawEntry& r = raw[g][s];
      uint8_t* p = &img.bytes[kMbrTableOffset + kMbrEntrySize * s];
      if (r.type == PARTITION_ENTRY_UNUSED) continue;
      const uint64_t absStart = uint64_t(e[4 * g + s].StartingOffset.QuadPart) / bps;
      p[0] = r.boot;
      PutChs(p + 1, absStart, shape);
      p[4] = r.type;
      PutChs(p + 5, absStart + r.count - 1, shape);
      PutLe32(p + 8, r.start);
      PutLe32(p + 12, r.count);
    }
    img.bytes[510] = 0x55;
    img.bytes[511] = 0xAA;
    sectors->push_back(std::move(img));
  }
  return STATUS_SUCCESS;
}

}  // namespace ntp::ptable
