// Structural checks of a disk-registry blob before any record of it is used.
#include <algorithm>
#include <cstring>
#include <vector>

#include "configblob.h"

namespace {

uint16_t Read16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint32_t Read32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool Fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

std::string At(uint64_t offset) { return " (at byte " + std::to_string(offset) + ")"; }

// A partition record of the disk part: its offset in the blob and its disk's signature.
struct RecordAt {
  uint64_t offset;
  uint32_t signature;
  bool operator<(uint64_t o) const { return offset < o; }
};

// Walks the disk descriptions of the disk part at [base, base+size) of buffer b; when
// records is given, collects every partition record (offsets relative to b).
bool CheckDiskPart(const uint8_t* b, uint64_t base, uint64_t size, std::vector<RecordAt>* records,
                   std::string* why) {
  if (size < kDiskRegistryHeaderSize) return Fail(why, "disk part shorter than its 4-byte header" + At(base));
  const uint64_t end = base + size;
  const uint32_t disks = Read16(b + base);
  uint64_t pos = base + kDiskRegistryHeaderSize;
  for (uint32_t d = 0; d < disks; ++d) {
    if (end - pos < kDiskDescriptionHeaderSize)
      return Fail(why, "disk description " + std::to_string(d) + " of " + std::to_string(disks) +
                           " runs past the disk part" + At(pos));
    const uint32_t parts = Read16(b + pos);
    const uint32_t signature = Read32(b + pos + 4);
    const uint64_t need = DiskDescriptionSize(parts);
    if (end - pos < need)
      return Fail(why, "disk description " + std::to_string(d) + " claims " + std::to_string(parts) +
                           " partitions, more than the disk part holds" + At(pos));
    if (records)
      for (uint32_t p = 0; p < parts; ++p)
        records->push_back({pos + kDiskDescriptionHeaderSize + uint64_t(kDiskPartitionSize) * p, signature});
    pos += need;
  }
  return true;
}

}  // namespace

uint32_t DiskRegistryUsedLength(const _DISK_CONFIG_HEADER* header) {
  uint64_t used = header->FtInformationSize != 0
                      ? uint64_t(header->FtInformationOffset) + header->FtInformationSize
                      : uint64_t(header->DiskInformationOffset) + header->DiskInformationSize;
  // A configuration that holds only a header (no disk part, no FT part) is the header.
  if (header->DiskInformationSize == 0 && header->FtInformationSize == 0) used = kDiskConfigHeaderSize;
  return uint32_t(used);
}

bool DiskRegistryValidateDiskPart(const void* diskPart, size_t len, std::string* why) {
  if (!diskPart) return Fail(why, "no data");
  return CheckDiskPart(static_cast<const uint8_t*>(diskPart), 0, len, nullptr, why);
}

bool DiskRegistryValidate(const void* blob, size_t len, std::string* why) {
  if (!blob) return Fail(why, "no data");
  const uint8_t* b = static_cast<const uint8_t*>(blob);
  if (len < kDiskConfigHeaderSize)
    return Fail(why, "blob of " + std::to_string(len) + " bytes is shorter than the 44-byte header");
  const uint64_t diskOff = Read32(b + 12), diskSize = Read32(b + 16);
  const uint64_t ftOff = Read32(b + 20), ftSize = Read32(b + 24);
  // Both parts, even empty ones, must end inside what was read: the used length is
  // computed from them.
  if (diskOff + diskSize > len)
    return Fail(why, "disk part [" + std::to_string(diskOff) + ", +" + std::to_string(diskSize) +
                         ") ends past the " + std::to_string(len) + " bytes of the blob" + At(12));
  if (ftOff + ftSize > len)
    return Fail(why, "FT part [" + std::to_string(ftOff) + ", +" + std::to_string(ftSize) +
                         ") ends past the " + std::to_string(len) + " bytes of the blob" + At(20));
  if (diskSize > 0) {
    if (diskOff < kDiskConfigHeaderSize) return Fail(why, "disk part overlaps the header" + At(12));
    if (diskOff % 4 != 0) return Fail(why, "disk part offset is not a multiple of 4" + At(12));
  }
  if (ftSize > 0) {
    if (ftOff < kDiskConfigHeaderSize) return Fail(why, "FT part overlaps the header" + At(20));
    if (ftOff % 4 != 0) return Fail(why, "FT part offset is not a multiple of 4" + At(20));
    if (diskSize > 0 && ftOff < diskOff + diskSize && diskOff < ftOff + ftSize)
      return Fail(why, "FT part overlaps the disk part" + At(20));
  }

  // What gets copied and stored is the used length: it must hold the header and the
  // whole disk part, or a copy or a store would cut records off.
  if (diskSize > 0 || ftSize > 0) {
    const uint64_t used = ftSize > 0 ? ftOff + ftSize : diskOff + diskSize;
    if (used < kDiskConfigHeaderSize)
      return Fail(why,
                  "used length " + std::to_string(used) + " is shorter than the 44-byte header" + At(12));
    if (diskSize > 0 && diskOff + diskSize > used)
      return Fail(why, "disk part ends past the used length " + std::to_string(used) + At(12));
  }

  std::vector<RecordAt> records;
  if (diskSize > 0 && !CheckDiskPart(b, diskOff, diskSize, &records, why)) return false;
  if (ftSize == 0) return true;

  if (ftSize < kFtRegistryHeaderSize) return Fail(why, "FT part shorter than its 4-byte header" + At(ftOff));
  const uint64_t end = ftOff + ftSize;
  const uint32_t sets = Read16(b + ftOff);
  uint64_t pos = ftOff + kFtRegistryHeaderSize;
  for (uint32_t s = 0; s < sets; ++s) {
    if (end - pos < kFtDescriptionHeaderSize)
      return Fail(why, "FT set description " + std::to_string(s) + " of " + std::to_string(sets) +
                           " runs past the FT part" + At(pos));
    const uint32_t members = Read16(b + pos);
    if (end - pos < FtDescriptionSize(members))
      return Fail(why, "FT set description " + std::to_string(s) + " claims " + std::to_string(members) +
                           " members, more than the FT part holds" + At(pos));
    for (uint32_t m = 0; m < members; ++m) {
      const uint64_t member = pos + kFtDescriptionHeaderSize + uint64_t(kFtMemberDescriptionSize) * m;
      const uint32_t target = Read32(b + member + 8);
      // Records are in ascending order: a binary search finds an exact record start.
      auto it = std::lower_bound(records.begin(), records.end(), uint64_t(target));
      if (it == records.end() || it->offset != target)
        return Fail(why, "member " + std::to_string(m) + " of FT set " + std::to_string(s) +
                             " points at byte " + std::to_string(target) +
                             ", which is not a partition record of the disk part" + At(member + 8));
      // A member names its disk twice; a record on another disk is not this member.
      if (Read32(b + member + 4) != it->signature)
        return Fail(why, "member " + std::to_string(m) + " of FT set " + std::to_string(s) +
                             " names disk signature " + std::to_string(Read32(b + member + 4)) +
                             " but its partition record lies on disk " + std::to_string(it->signature) +
                             At(member + 4));
    }
    pos += FtDescriptionSize(members);
  }
  return true;
}
