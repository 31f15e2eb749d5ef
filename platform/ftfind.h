// Finding the FT sets that partitions hold when the configuration that recorded them
// is lost: which partitions form a set, its type, its member order, and how sure that
// is, from the partitions' bytes alone. Pure functions over member readers, so the
// same search runs over a booted machine, images, or members held in memory.
//
// Mirrors are members that agree in sampled blocks (all of them on request); stripe
// sets with parity are rows that XOR to zero; the order of a striped set and of a
// volume set is the one under which the file system at volume offset 0 (FAT or NTFS)
// finds its structures where its boot sector says they are (fsprobe.h). The layout is
// the FT mapping's (ftmap.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ftmap.h"

namespace ntp::ftfind {

// Reads whole 512-byte sectors of one partition: offset and length are multiples of
// 512 and lie inside it. False when the read fails.
using ReadFn = std::function<bool(uint64_t offset, void* buffer, size_t length)>;

// A partition that may be an FT member.
struct Partition {
  uint32_t signature = 0;          // its disk's
  unsigned disk = 0;               // its disk's index: members of one set lie on different disks
  int64_t offset = 0, length = 0;  // on its disk, as the configuration records a member
  uint64_t cylinder = 0;           // its disk's cylinder in bytes (0: not known)
  uint8_t type = 0;                // the partition table's system id
  std::string name;                // how commands name it (diskN/pM)
  ReadFn read;
};

// True for a recognised type carrying NT's fault-tolerance flag (0x80), which NT's own
// tools set on every FT member.
bool FtFlag(uint8_t type);

enum class Confidence { kPossible, kLikely, kSure };
const char* ConfidenceWord(Confidence c);  // "possible", "likely", "sure"

struct Proposal {
  ftmap::Type type = ftmap::kMirror;
  std::vector<int> members;  // indexes into the partitions, in member order; -1: not found
  Confidence confidence = Confidence::kPossible;
  std::string fileSystem;  // "FAT16", "NTFS"...; empty when none was found
  uint64_t volumeLength = 0;
  std::vector<std::string> evidence;
  unsigned orders = 1;    // member orders that fit the evidence (the first is proposed)
  bool whole = false;     // a mirror or parity set read whole (Options::full) and consistent
  bool Degraded() const;  // a member was not found
};

struct Options {
  bool full = false;  // compare whole mirrors (and every row of a parity set), not samples
};

struct Result {
  std::vector<Proposal> proposals;
  std::vector<std::string> notes;  // partitions that look like members of sets not found
};

// Every partition ends up in one proposal at most. Sure proposals are those whose type,
// members and order nothing else fits: members that agree or XOR to zero, or a file
// system found whole through exactly one order, with the fault-tolerance flag on every
// member of a mirror.
Result Find(const std::vector<Partition>& partitions, const Options& options);

}  // namespace ntp::ftfind
