// Partition-table sectors as they lie on a disk: the master boot record and the chain of
// extended boot records. Used for backups and dry runs; reads go through a callback so
// the same walk serves the booted machine and plain image files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cli {

struct TableEntry {
  uint8_t boot = 0;
  uint8_t type = 0;
  uint32_t start = 0;  // as stored: relative for extended boot records
  uint32_t count = 0;
};

// The four slots of a table sector; false when the sector lacks the 0x55 0xAA mark.
bool ParseTableSector(const uint8_t* sector, size_t size, TableEntry entries[4]);

// Reads one sector (lba) into buf (sectorSize bytes); false when it cannot.
using SectorReader = std::function<bool(uint64_t lba, uint8_t* buf)>;

struct ChainSector {
  uint64_t lba;
  bool table;  // a table sector (MBR or EBR); false: a data partition's first sector
};

// Sector 0, every extended boot record reached through the chain and the first sector of
// every data partition found. A chain that loops, leaves the disk or reaches a sector
// without the mark ends there; at most 1024 boot records are followed.
std::vector<ChainSector> WalkTables(const SectorReader& read, uint32_t sectorSize, uint64_t totalSectors);

// One line per slot that differs between two versions of a table sector, e.g.
// "slot 1: empty -> type 0x06 start 2048 sectors 204800".
std::vector<std::string> DescribeTableChange(const std::vector<uint8_t>& before,
                                             const std::vector<uint8_t>& after);

}  // namespace cli
