// FtDisk configuration blobs built and taken apart byte by byte in the tests, laid out
// as the FtDisk driver stores them, independently of the provider's own model.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../ftinfo/blob_builder.h"
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
  std::vector<uint32_t> signatures;  // filled by Parse
};
struct Config {
  std::vector<Disk> disks;
  std::vector<Set> sets;
};

template <class T>
T Get(const std::vector<uint8_t>& b, size_t at) {
  T v{};
  if (at + sizeof v <= b.size()) std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

// Laid out by the builder the model tests use, with the records as given.
inline std::vector<uint8_t> Build(const Config& c) {
  std::vector<blobtest::Disk> disks;
  for (const Disk& d : c.disks) {
    disks.push_back({d.signature, {}});
    for (const Part& p : d.parts)
      disks.back().parts.push_back({.start = p.offset,
                                    .length = p.length,
                                    .letter = p.letter,
                                    .assign = p.assign,
                                    .ftType = p.ftType,
                                    .ftState = p.ftState,
                                    .group = p.group,
                                    .member = p.member});
  }
  std::vector<blobtest::Set> sets;
  for (const Set& s : c.sets) {
    sets.push_back({.type = s.type, .state = s.state, .members = {}, .markRecords = false});
    for (const MemberRef& m : s.members) sets.back().members.push_back({m.disk, m.part});
  }
  return blobtest::Build(disks, sets, false);
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
