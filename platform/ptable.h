// Partition tables as the NT disk driver serves them: reading the master boot record
// and the chain of extended boot records into DRIVE_LAYOUT_INFORMATION entries, and
// turning a layout back into table sectors. Pure functions over a sector reader, so
// they can be tested and fuzzed without a machine.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ntdisk.h"
#include "nttypes.h"

namespace ntp::ptable {

struct DiskShape {
  uint32_t bytesPerSector = 512;
  uint32_t heads = 255;
  uint32_t sectorsPerTrack = 63;
  uint64_t sectors = 0;  // whole sectors of the disk
};

// Reads one whole sector (bytesPerSector bytes) at the given LBA; false on error.
using SectorReader = std::function<bool(uint64_t lba, uint8_t* buffer)>;

struct ReadResult {
  uint32_t signature = 0;
  std::vector<PARTITION_INFORMATION> entries;  // groups of four; PartitionNumber 0
  std::vector<uint64_t> tableSectors;          // LBA of each group's table sector
  std::vector<std::string> warnings;           // why the chain ended early, if it did
  // Why the table must not be rewritten (a foreign layout, a chain that could not be
  // followed to its end, an entry the layout cannot report); empty when it may be.
  std::string readOnlyReason;
};

// Chains longer than this many extended boot records are cut (bounds the work a
// crafted disk can cause; real disks hold far fewer logical drives).
constexpr size_t kMaxChain = 1024;

// 0x05 or 0x0F, also with the fault-tolerance bits 0x40/0x80 (0x85, 0xC5, 0x8F...):
// the provider's region model counts all of these as extended partitions, so the
// chain under each of them is followed.
bool IsContainer(uint8_t type);
bool IsRecognized(uint8_t type);  // the NT file-system types, also with the FT flags
bool IsData(uint8_t type);        // neither empty nor a container

// STATUS_SUCCESS, or STATUS_IO_DEVICE_ERROR when sector 0 cannot be read. Problems in
// the extended chain end the chain (reported in warnings), never the read; together
// with foreign layouts they set readOnlyReason (see Assess).
NTSTATUS Read(const DiskShape& shape, const SectorReader& reader, ReadResult* result);

// Decides readOnlyReason from the sectors read: a protective 0xEE entry or a GPT header
// in sector 1 (a foreign layout), a chain that ended early (the rest of the extended
// partition is unknown, so nothing in it may be treated as free), or a slot with no type
// but a start or size (the layout reports it as empty, a rewrite would lose it).
void Assess(const DiskShape& shape, const SectorReader& reader, ReadResult* result);

struct SectorImage {
  uint64_t lba;
  std::vector<uint8_t> bytes;
};

// Validates the whole layout and builds every table sector to be written (the groups
// with a RewritePartition entry), in the order they must be written: the deepest
// extended boot record first, sector 0 last. STATUS_INVALID_PARAMETER, with a reason, for a
// layout that cannot be written; nothing is built then.
NTSTATUS Build(const DiskShape& shape, const SectorReader& reader, const DRIVE_LAYOUT_INFORMATION* layout,
               std::vector<SectorImage>* sectors, std::string* reason);

}  // namespace ntp::ptable
