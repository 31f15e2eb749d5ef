// The FT journal: what a set's data passes have not finished, one small file per set in
// the machine directory (DIR/ft-journal/parity0 ...). A write pass records the ranges
// it is about to write before its first write and drops them after the flush that made
// them durable (as md's write-intent bitmap), so a set that was interrupted is resynced
// over those ranges only; rebuilds record how far they got, so they resume there; an
// import records itself until it has finished. The file is replaced whole through a
// rename and carries a checksum; one that is damaged, or written for other members than
// the set has now, is not trusted (the next pass then covers the whole set).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ftmap.h"

namespace ntp::ftjournal {

// A member as the configuration identifies it.
struct MemberId {
  uint32_t signature = 0;
  int64_t offset = 0, length = 0;
  bool operator==(const MemberId& o) const {
    return signature == o.signature && offset == o.offset && length == o.length;
  }
};

struct Journal {
  uint32_t type = 0;  // ftmap::Type
  uint16_t group = 0;
  std::vector<MemberId> members;
  // The member states a write pass stored in the configuration to mark the set as being
  // written (empty: no mark of ours is in place).
  std::vector<uint32_t> marked;
  // Member ranges that may disagree between members: written, not yet flushed.
  std::vector<ftmap::Range> dirty;
  // An import that has not finished: its source, its size (0 when not known ahead),
  // and the volume bytes written and flushed so far.
  bool importing = false;
  std::string source;
  uint64_t bytes = 0, done = 0;
  // A rebuild's checkpoint: "copy" (member rebuilt from the others) or "parity" (parity
  // written from the data), the member copied to, whether it covers the dirty ranges
  // only, and the member offset below which it is done.
  std::string pass;
  int member = -1;
  bool dirtyOnly = false;
  uint64_t passDone = 0;

  bool Empty() const { return marked.empty() && dirty.empty() && !importing && pass.empty(); }
};

// "mirror0", "parity2"...: the set's name, also its file's.
std::string SetName(uint32_t type, uint16_t group);

// The set's journal. False when there is none, and when the one there cannot be
// trusted (*why then says why: damaged, or written for other members).
bool Load(uint32_t type, uint16_t group, const std::vector<MemberId>& members, Journal* journal,
          std::string* why);
// Replaces the set's journal (written beside it, flushed, renamed, the directory
// flushed); an empty one removes the file. A dry run writes nothing.
bool Save(const Journal& journal, std::string* error);

}  // namespace ntp::ftjournal
