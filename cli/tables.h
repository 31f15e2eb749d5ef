// Partition-table sectors as they lie on a disk, decoded for what backups and dry runs
// print.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mbr.h"

namespace cli {

// A table slot as stored (start relative for extended boot records).
using TableEntry = ftformat::MbrEntry;

// The four slots of a table sector; false when the sector lacks the 0x55 0xAA mark.
inline bool ParseTableSector(const uint8_t* sector, size_t size, TableEntry entries[4]) {
  return ftformat::ReadMbrSlots(sector, size, entries);
}

// One line per slot that differs between two versions of a table sector, e.g.
// "slot 1: empty -> type 0x06 start 2048 sectors 204800".
std::vector<std::string> DescribeTableChange(const std::vector<uint8_t>& before,
                                             const std::vector<uint8_t>& after);

}  // namespace cli
