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

using blobtest::Disk;
using blobtest::Part;
using blobtest::Set;
struct Config {
  std::vector<Disk> disks;
  std::vector<Set> sets;
};

// A set whose members' records are given as they are.
inline Set FtSet(uint16_t type, uint32_t state, std::vector<blobtest::Member> members) {
  return {.type = type, .state = state, .members = std::move(members), .markRecords = false};
}

inline std::vector<uint8_t> Build(const Config& c) { return blobtest::Build(c.disks, c.sets, false); }

template <class T>
T Get(const std::vector<uint8_t>& b, size_t at) {
  T v{};
  if (at + sizeof v <= b.size()) std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

// Takes a blob apart; each member is resolved to the disk and record its offset points
// at (disk ~0u when it points at no record).
inline Config Parse(const std::vector<uint8_t>& b) {
  Config c;
  std::vector<std::vector<uint32_t>> records;
  const uint32_t diskOff = Get<uint32_t>(b, 12), diskSize = Get<uint32_t>(b, 16);
  const uint32_t ftOff = Get<uint32_t>(b, 20), ftSize = Get<uint32_t>(b, 24);
  if (diskSize > 0) {
    size_t pos = diskOff;
    const uint16_t disks = Get<uint16_t>(b, pos);
    pos += 4;
    for (unsigned d = 0; d < disks && pos + 8 <= b.size(); ++d) {
      const uint16_t parts = Get<uint16_t>(b, pos);
      c.disks.push_back({Get<uint32_t>(b, pos + 4), {}});
      records.emplace_back();
      pos += 8;
      for (unsigned i = 0; i < parts; ++i, pos += 52) {
        records.back().push_back(static_cast<uint32_t>(pos));
        c.disks.back().parts.push_back({.start = Get<int64_t>(b, pos + 8),
                                        .length = Get<int64_t>(b, pos + 16),
                                        .letter = Get<uint8_t>(b, pos + 40),
                                        .assign = Get<uint8_t>(b, pos + 41),
                                        .ftType = Get<uint32_t>(b, pos),
                                        .ftState = Get<uint32_t>(b, pos + 4),
                                        .group = Get<uint16_t>(b, pos + 44),
                                        .member = Get<uint16_t>(b, pos + 46)});
      }
    }
  }
  if (ftSize > 0) {
    size_t pos = ftOff;
    const uint16_t sets = Get<uint16_t>(b, pos);
    pos += 4;
    for (unsigned s = 0; s < sets && pos + 12 <= b.size(); ++s) {
      const uint16_t members = Get<uint16_t>(b, pos);
      c.sets.push_back(FtSet(Get<uint16_t>(b, pos + 2), Get<uint32_t>(b, pos + 8), {}));
      pos += 12;
      for (unsigned m = 0; m < members; ++m, pos += 16) {
        const uint32_t target = Get<uint32_t>(b, pos + 8);
        blobtest::Member ref{~0u, ~0u};
        for (uint32_t d = 0; d < records.size(); ++d)
          for (uint32_t i = 0; i < records[d].size(); ++i)
            if (records[d][i] == target) ref = {d, i};
        c.sets.back().members.push_back(ref);
      }
    }
  }
  return c;
}

using blobtest::Erase;
using blobtest::Store;
using blobtest::Stored;

}  // namespace ftblob
