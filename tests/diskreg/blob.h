// Disk-registry blobs built byte by byte at absolute offsets, independently of the
// record structures, so tests can compare the structures against the layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

struct BlobPartition {
  int64_t offset, length;
  uint32_t ftType = 4;  // not an FT member
  uint16_t group = 0xFFFF, member = 0;
  uint8_t letter = 0, assign = 0;
};
struct BlobDisk {
  uint32_t signature;
  std::vector<BlobPartition> partitions;
};
struct BlobMember {
  uint32_t signature, offsetToPartition;
};
struct BlobSet {
  uint16_t type;
  std::vector<BlobMember> members;
};

class Blob {
 public:
  std::vector<uint8_t> bytes;

  void Put8(size_t at, uint8_t v) { Grow(at + 1)[at] = v; }
  void Put16(size_t at, uint16_t v) { std::memcpy(Grow(at + 2) + at, &v, 2); }
  void Put32(size_t at, uint32_t v) { std::memcpy(Grow(at + 4) + at, &v, 4); }
  void Put64(size_t at, int64_t v) { std::memcpy(Grow(at + 8) + at, &v, 8); }
  uint32_t Get32(size_t at) const {
    uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  }

  // Header, disk part at 44, FT part right after it (none when sets is empty), the way
  // every blob of this system is laid out. Returns the offsets of the partition records.
  std::vector<uint32_t> Build(const std::vector<BlobDisk>& disks, const std::vector<BlobSet>& sets) {
    bytes.clear();
    std::vector<uint32_t> records;
    Put32(0, 3);
    size_t at = 44;
    Put16(at, uint16_t(disks.size()));
    at += 4;
    for (const auto& d : disks) {
      Put16(at, uint16_t(d.partitions.size()));
      Put32(at + 4, d.signature);
      at += 8;
      for (const auto& p : d.partitions) {
        records.push_back(uint32_t(at));
        Put32(at + 0, p.ftType);
        Put64(at + 8, p.offset);
        Put64(at + 16, p.length);
        Put8(at + 40, p.letter);
        Put8(at + 41, p.assign);
        Put16(at + 44, p.group);
        Put16(at + 46, p.member);
        Put8(at + 51, 0);
        at += 52;
      }
    }
    Put32(12, 44);
    Put32(16, uint32_t(at - 44));
    Put32(20, uint32_t(at));
    if (!sets.empty()) {
      size_t ft = at;
      Put16(at, uint16_t(sets.size()));
      at += 4;
      for (const auto& s : sets) {
        Put16(at, uint16_t(s.members.size()));
        Put16(at + 2, s.type);
        Put32(at + 8, 0);
        at += 12;
        for (const auto& m : s.members) {
          Put32(at + 4, m.signature);
          Put32(at + 8, m.offsetToPartition);
          at += 16;
        }
      }
      Put32(24, uint32_t(at - ft));
    }
    Grow(at);
    return records;
  }

 private:
  uint8_t* Grow(size_t n) {
    if (bytes.size() < n) bytes.resize(n, 0);
    return bytes.data();
  }
};
