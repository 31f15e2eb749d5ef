// FtDisk configuration blobs built and taken apart byte by byte in the tests, laid out
// as the FtDisk driver stores them, independently of the provider's own model.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "testutil.h"

namespace ftblob {

struct Part {
  int64_t offset = 0, length = 0;
  uint32_t ftType = 4;  // not an FT member
  uint32_t ftState = 0;
  uint16_t group = 0xFFFF, member = 0;
  uint8_t letter = 0, assign = 0;
  uint32_t recordOffset = 0;  // filled by Parse
};
struct Disk {
  uint32_t signature = 0;
  std::vector<Part> parts;
};
struct MemberRef {
  unsigned disk = 0, part = 0;
};
struct Set {
  Set() = default;
  Set(uint16_t t, uint32_t s, std::vector<MemberRef> m) : type(t), state(s), members(std::move(m)) {}
  uint16_t type = 0;
  uint32_t state = 0;
  std::vector<MemberRef> members;
  // Filled by Parse: each member's signature and record offset.
  std::vector<uint32_t> signatures, recordOffsets;
};
struct Config {
  std::vector<Disk> disks;
  std::vector<Set> sets;
};

template <class T>
void Put(std::vector<uint8_t>& b, size_t at, T v) {
  if (b.size() < at + sizeof v) b.resize(at + sizeof v);
  std::memcpy(b.data() + at, &v, sizeof v);
}
template <class T>
T Get(const std::vector<uint8_t>& b, size_t at) {
  T v{};
  if (at + sizeof v <= b.size()) std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

inline std::vector<uint8_t> Build(const Config& c) {
  std::vector<uint8_t> b(44, 0);
  Put<uint32_t>(b, 0, 3);
  Put<uint32_t>(b, 12, 44);
  size_t pos = 44;
  Put<uint16_t>(b, pos, static_cast<uint16_t>(c.disks.size()));
  Put<uint16_t>(b, pos + 2, 0);
  pos += 4;
  std::vector<std::vector<uint32_t>> offsets;
  for (const Disk& d : c.disks) {
    Put<uint16_t>(b, pos, static_cast<uint16_t>(d.parts.size()));
    Put<uint16_t>(b, pos + 2, 0);
    Put<uint32_t>(b, pos + 4, d.signature);
    pos += 8;
    offsets.emplace_back();
    for (const Part& p : d.parts) {
      offsets.back().push_back(static_cast<uint32_t>(pos));
      Put<uint32_t>(b, pos, p.ftType);
      Put<uint32_t>(b, pos + 4, p.ftState);
      Put<int64_t>(b, pos + 8, p.offset);
      Put<int64_t>(b, pos + 16, p.length);
      Put<int64_t>(b, pos + 24, 0);
      Put<uint64_t>(b, pos + 32, 0);
      Put<uint8_t>(b, pos + 40, p.letter);
      Put<uint8_t>(b, pos + 41, p.assign);
      Put<uint16_t>(b, pos + 42, 0);
      Put<uint16_t>(b, pos + 44, p.group);
      Put<uint16_t>(b, pos + 46, p.member);
      Put<uint32_t>(b, pos + 48, 0);
      pos += 52;
    }
  }
  Put<uint32_t>(b, 16, static_cast<uint32_t>(pos - 44));
  Put<uint32_t>(b, 20, static_cast<uint32_t>(pos));
  if (c.sets.empty()) return b;
  const size_t ftStart = pos;
  Put<uint16_t>(b, pos, static_cast<uint16_t>(c.sets.size()));
  Put<uint16_t>(b, pos + 2, 0);
  pos += 4;
  for (const Set& s : c.sets) {
    Put<uint16_t>(b, pos, static_cast<uint16_t>(s.members.size()));
    Put<uint16_t>(b, pos + 2, s.type);
    Put<uint32_t>(b, pos + 4, 0);
    Put<uint32_t>(b, pos + 8, s.state);
    pos += 12;
    for (const MemberRef& m : s.members) {
      Put<uint16_t>(b, pos, 0);
      Put<uint16_t>(b, pos + 2, 0);
      Put<uint32_t>(b, pos + 4, c.disks[m.disk].signature);
      Put<uint32_t>(b, pos + 8, offsets[m.disk][m.part]);
      Put<uint32_t>(b, pos + 12, 0);
      pos += 16;
    }
  }
  Put<uint32_t>(b, 24, static_cast<uint32_t>(pos - ftStart));
  return b;
}

// Takes a blob apart; members are given as (signature, record offset), and each
// member's MemberRef is resolved to the disk and record it points at (disk ~0u when it
// points at no record).
inline Config Parse(const std::vector<uint8_t>& b) {
  Config c;
  const uint32_t diskOff = Get<uint32_t>(b, 12), diskSize = Get<uint32_t>(b, 16);
  const uint32_t ftOff = Get<uint32_t>(b, 20), ftSize = Get<uint32_t>(b, 24);
  if (diskSize > 0) {
    size_t pos = diskOff;
    const uint16_t disks = Get<uint16_t>(b, pos);
    pos += 4;
    for (unsigned d = 0; d < disks && pos + 8 <= b.size(); ++d) {
      Disk disk;
      const uint16_t parts = Get<uint16_t>(b, pos);
      disk.signature = Get<uint32_t>(b, pos + 4);
      pos += 8;
      for (unsigned i = 0; i < parts; ++i, pos += 52) {
        Part p;
        p.recordOffset = static_cast<uint32_t>(pos);
        p.ftType = Get<uint32_t>(b, pos);
        p.ftState = Get<uint32_t>(b, pos + 4);
        p.offset = Get<int64_t>(b, pos + 8);
        p.length = Get<int64_t>(b, pos + 16);
        p.letter = Get<uint8_t>(b, pos + 40);
        p.assign = Get<uint8_t>(b, pos + 41);
        p.group = Get<uint16_t>(b, pos + 44);
        p.member = Get<uint16_t>(b, pos + 46);
        disk.parts.push_back(p);
      }
      c.disks.push_back(disk);
    }
  }
  if (ftSize > 0) {
    size_t pos = ftOff;
    const uint16_t sets = Get<uint16_t>(b, pos);
    pos += 4;
    for (unsigned s = 0; s < sets && pos + 12 <= b.size(); ++s) {
      Set set;
      const uint16_t members = Get<uint16_t>(b, pos);
      set.type = Get<uint16_t>(b, pos + 2);
      set.state = Get<uint32_t>(b, pos + 8);
      pos += 12;
      for (unsigned m = 0; m < members; ++m, pos += 16) {
        set.signatures.push_back(Get<uint32_t>(b, pos + 4));
        const uint32_t target = Get<uint32_t>(b, pos + 8);
        set.recordOffsets.push_back(target);
        MemberRef ref{~0u, ~0u};
        for (unsigned d = 0; d < c.disks.size(); ++d)
          for (unsigned i = 0; i < c.disks[d].parts.size(); ++i)
            if (c.disks[d].parts[i].recordOffset == target) ref = {d, i};
        set.members.push_back(ref);
      }
      c.sets.push_back(set);
    }
  }
  return c;
}

// The stored "Information" value, empty when there is none.
std::vector<uint8_t> Stored();
void Store(const std::vector<uint8_t>& blob);
void Erase();

}  // namespace ftblob
