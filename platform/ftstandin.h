// The part the FtDisk driver plays at boot: the stored FT configuration checked against
// the disks found, missing members orphaned and their sets degraded.
#pragma once

#include <cstdint>
#include <string>

namespace ntp::detail {

struct Machine;

// What the boot-time check did.
struct FtStandinReport {
  bool stored = false;     // an "Information" value was found
  bool malformed = false;  // ... but it is not a well-formed blob: left untouched, unused
  std::string why;         // what is wrong with it
  uint32_t changed = 0;    // records changed and written back (0: nothing written)
  uint32_t orphaned = 0;   // members this boot orphaned (their partitions are not there)
  uint32_t returned = 0;   // members back unchanged that this boot took back
  bool writeFailed = false;
};

// Runs the check on a machine whose disks have been read, before the host starts.
// A changed configuration is written back as one value (one transaction).
FtStandinReport RunFtStandin(const Machine& m);

}  // namespace ntp::detail
