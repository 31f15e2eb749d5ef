// Builds disk-registry blobs byte by byte from a short description, independently of
// the record structures, so the tests check the layout rather than restate it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "registry_store.h"

namespace blobtest {

struct Part {
  int64_t start = 0;
  int64_t length = 0;
  uint8_t letter = 0;
  uint8_t assign = 0;
  uint32_t ftType = 4;  // NotAnFtMember
  uint32_t ftState = 0;
  int64_t ftLength = 0;
  uint16_t logical = 0;
  uint16_t group = 0xFFFF;
  uint16_t member = 0;
  uint8_t modified = 0;
  bool operator==(const Part&) const = default;
};

struct Disk {
  uint32_t signature = 0;
  std::vector<Part> parts;
  uint32_t slack = 0;  // reserved bytes after the last description (added to the disk part)
};

struct Member {
  uint32_t disk = 0;  // index into the disks
  uint32_t part = 0;  // index into that disk's parts
  uint16_t state = 0;
};

struct Set {
  uint16_t type = 0;
  uint16_t group = 0;
  uint32_t state = 0;
  std::vector<Member> members;
  bool markRecords = true;  // give the members' records the set's type, group and numbers
};

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
inline void Put64(std::vector<uint8_t>& b, size_t at, int64_t v) { std::memcpy(&b[at], &v, 8); }
inline uint32_t Get32(const uint8_t* b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b + at, 4);
  return v;
}
// Offset of partition record (disk d, part p) in a blob built from these disks.
inline uint32_t RecordOffset(const std::vector<Disk>& disks, uint32_t d, uint32_t p) {
  uint32_t pos = 44 + 4;
  for (uint32_t i = 0; i < d; ++i) pos += 8 + 52 * uint32_t(disks[i].parts.size());
  return pos + 8 + 52 * p;
}

// With sets empty and withFtPart false there is no FT part (FtInformationSize 0).
inline std::vector<uint8_t> Build(std::vector<Disk> disks, const std::vector<Set>& sets,
                                  bool withFtPart = true) {
  for (const Set& s : sets) {
    for (size_t m = 0; m < s.members.size() && s.markRecords; ++m) {
      Part& p = disks[s.members[m].disk].parts[s.members[m].part];
      p.ftType = s.type;
      p.group = s.group;
      p.member = uint16_t(m);
    }
  }
  uint32_t diskSize = 4;
  for (const Disk& d : disks) diskSize += 8 + 52 * uint32_t(d.parts.size()) + d.slack;
  uint32_t ftSize = 0;
  if (withFtPart || !sets.empty()) {
    ftSize = 4;
    for (const Set& s : sets) ftSize += 12 + 16 * uint32_t(s.members.size());
  }
  std::vector<uint8_t> b(44 + diskSize + ftSize, 0);
  Put32(b, 0, 3);
  Put32(b, 12, 44);
  Put32(b, 16, diskSize);
  Put32(b, 20, 44 + diskSize);
  Put32(b, 24, ftSize);
  size_t pos = 44;
  Put16(b, pos, uint16_t(disks.size()));
  pos += 4;
  for (const Disk& d : disks) {
    Put16(b, pos, uint16_t(d.parts.size()));
    Put32(b, pos + 4, d.signature);
    pos += 8;
    for (const Part& p : d.parts) {
      Put32(b, pos, p.ftType);
      Put32(b, pos + 4, p.ftState);
      Put64(b, pos + 8, p.start);
      Put64(b, pos + 16, p.length);
      Put64(b, pos + 24, p.ftLength);
      b[pos + 40] = p.letter;
      b[pos + 41] = p.assign;
      Put16(b, pos + 42, p.logical);
      Put16(b, pos + 44, p.group);
      Put16(b, pos + 46, p.member);
      b[pos + 48] = p.modified;
      pos += 52;
    }
  }
  for (const Disk& d : disks) pos += d.slack;  // slack sits after the last description
  if (ftSize == 0) return b;
  Put16(b, pos, uint16_t(sets.size()));
  pos += 4;
  for (const Set& s : sets) {
    Put16(b, pos, uint16_t(s.members.size()));
    Put16(b, pos + 2, s.type);
    Put32(b, pos + 8, s.state);
    pos += 12;
    for (const Member& m : s.members) {
      Put16(b, pos, m.state);
      Put32(b, pos + 4, disks[m.disk].signature);
      Put32(b, pos + 8, RecordOffset(disks, m.disk, m.part));
      pos += 16;
    }
  }
  return b;
}

// The used bytes an FTInfo (or anything with Blob and UsedLength) holds.
template <class Info>
std::vector<uint8_t> Bytes(const Info& info) {
  return {info.Blob(), info.Blob() + info.UsedLength()};
}

// The "Information" value of the open registry: read (empty when there is none),
// written, removed.
inline const std::u16string kDiskKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";
inline std::vector<uint8_t> Stored() {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!ntp::reg::GetValue(kDiskKey, u"Information", &type, &data)) return {};
  return data;
}
inline void Store(const std::vector<uint8_t>& blob) { ntp::reg::SetValue(kDiskKey, u"Information", 3, blob); }
inline void Erase() { ntp::reg::DeleteValue(kDiskKey, u"Information"); }

}  // namespace blobtest
