// Disk signatures: the FT configuration names each disk by the 32-bit value at byte
// 0x1B8 of its sector 0, so a disk whose signature is 0 or another disk's cannot be
// told apart there. A disk without a unique signature gets a fresh one (the old sector
// 0 kept as a backup first), as NT does for a disk it first sees; a disk whose signature
// is unique keeps it, and one the configuration records is changed only when forced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "status.h"

namespace ntp {

// Why a signature cannot tell a disk apart from the booted machine's other disks (index
// self skipped); "" when it can.
std::string SignatureClash(uint32_t signature, int self);

struct SignatureChange {
  unsigned disk = 0;
  uint32_t before = 0, after = 0;
  std::vector<std::string> backups;
  std::string warnings;  // about the backups
};
// Boots the machine in dir and writes a fresh unique signature on disk index. Refused
// for a foreign (GPT) disk and for one whose signature is unique already; for one whose
// signature the FT configuration records unless force.
Status WriteDiskSignature(const std::string& dir, bool noWait, unsigned index, bool force,
                          SignatureChange* change);

}  // namespace ntp
