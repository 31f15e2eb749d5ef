// The FT configuration blob ("Information") read, checked and built: the one validator,
// the one walk over its records, the builder, and the names of its values. Shared by the
// provider, the platform's FtDisk stand-in and the front end.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "diskconfig.h"

// Checks a whole blob (header, disk part, FT part) against the len bytes actually held:
// every offset, size and count, every record, every OffsetToPartitionInfo (which must
// name a partition record of the disk part), parts inside the buffer, not overlapping
// the header or each other, and 4-byte aligned. Nothing is read outside [blob, blob+len).
// On failure *why (when given) says what is wrong and at which byte offset.
bool DiskRegistryValidate(const void* blob, size_t len, std::string* why);

// Checks a disk part alone (a _DISK_REGISTRY as DiskRegistryGet hands it out).
bool DiskRegistryValidateDiskPart(const void* diskPart, size_t len, std::string* why);

// The used length of a valid blob: FtInformationOffset + FtInformationSize when there is
// an FT part, else DiskInformationOffset + DiskInformationSize.
uint32_t DiskRegistryUsedLength(const _DISK_CONFIG_HEADER* header);

namespace ftformat {

// What a walk over a blob finds. Offsets are from the start of the blob.
struct DiskAt {
  uint64_t at = 0;  // the _DISK_DESCRIPTION
  uint32_t signature = 0;
  uint16_t count = 0;  // NumberOfPartitions as stored
};
struct PartitionAt {
  uint64_t at = 0;   // the _DISK_PARTITION
  size_t disk = 0;   // index into BlobWalk::disks
  size_t index = 0;  // its place among its disk's records
  _DISK_PARTITION rec{};
};
struct MemberAt {
  uint64_t at = 0;  // the _FT_MEMBER_DESCRIPTION
  _FT_MEMBER_DESCRIPTION md{};
  static constexpr size_t kNone = size_t(-1);
  size_t record = kNone;  // index into BlobWalk::partitions of the record it points at
};
struct SetAt {
  uint64_t at = 0;     // the _FT_DESCRIPTION
  uint16_t count = 0;  // NumberOfMembers as stored
  uint16_t type = 0;
  uint32_t state = 0;
  uint16_t group = 0;  // the FT group of its first member's record (0 without one)
  std::vector<MemberAt> members;
};
struct BlobWalk {
  bool hasHeader = false;  // false: shorter than the header, nothing else was read
  _DISK_CONFIG_HEADER header{};
  std::vector<DiskAt> disks;
  std::vector<PartitionAt> partitions;  // in blob order
  std::vector<SetAt> sets;
};

// Walks every record that lies wholly inside [data, data+size), in stored order, whether
// or not DiskRegistryValidate accepts the blob: a count that claims more records than the
// bytes hold stops that list where the bytes end. Of a valid blob it finds everything.
BlobWalk WalkBlob(const uint8_t* data, size_t size);

// A well-formed configuration as the checks of `check` and `registry import` read it.
struct ConfigRecord {
  uint32_t signature = 0;  // of the disk description holding it
  int64_t offset = 0, length = 0;
  uint32_t ftType = NotAnFtMember, ftState = 0;
  uint8_t letter = 0, assign = 0;
  uint16_t group = 0xFFFF, member = 0;
};
struct ConfigSet {
  uint16_t type = 0;
  uint32_t state = 0;
  uint16_t group = 0;           // the FT group of its first member's record
  std::vector<size_t> members;  // indexes into ConfigView::records, in member order
};
struct ConfigView {
  std::vector<uint32_t> disks;  // signatures, in description order
  std::vector<ConfigRecord> records;
  std::vector<ConfigSet> sets;
};
// Reads a blob; false (why says what is wrong) when the validator rejects it.
bool ReadConfigView(const uint8_t* blob, size_t size, ConfigView* view, std::string* why);

// What replacing the configuration `current` with `incoming` loses: the sets of current
// that incoming does not hold (one of the same type, group and member count), and the
// disks incoming describes that are not among `here` (signatures of the disks present;
// their partitions and FT members would be orphaned at the next boot).
struct ImportLosses {
  std::vector<ConfigSet> sets;
  std::vector<uint32_t> absentDisks;
};
ImportLosses ConfigImportLosses(const ConfigView& current, const ConfigView& incoming,
                                const std::vector<uint32_t>& here);

// One partition record, one disk description and one FT set, for building a blob.
struct BlobPartition {
  uint32_t ftType = NotAnFtMember;
  uint32_t ftState = 0;
  int64_t offset = 0, length = 0, ftLength = 0;
  uint8_t letter = 0;  // 'C'..'Z', ' ' none, 0 unknown
  uint8_t assign = 0;
  uint16_t number = 0;
  uint16_t group = 0xFFFF;
  uint16_t member = 0;
};
struct BlobDisk {
  uint32_t signature = 0;
  std::vector<BlobPartition> partitions;
};
struct BlobMember {
  unsigned disk = 0, partition = 0;  // indexes into the disks and their partitions
};
struct BlobSet {
  uint16_t type = 0;  // FT_TYPE
  uint32_t state = 0;
  std::vector<BlobMember> members;
};

// Lays out header, disk part and FT part as the configuration stores them; each member
// points at its partition record. Members naming a record that does not exist are left
// out.
std::vector<uint8_t> BuildBlob(const std::vector<BlobDisk>& disks, const std::vector<BlobSet>& sets);

// Names of stored values ("mirror", "has_orphan", "orphaned"...; type_N / state_N for
// values this system does not define).
std::string FtTypeName(uint32_t type);
std::string FtStateName(uint32_t state);
std::string FtPartitionStateName(uint32_t state);
// A set's stable name: mirrorG, stripeG, parityG or volsetG (ftG for other types).
std::string FtSetName(uint32_t type, uint16_t group);
inline std::string FtSetName(const ConfigSet& set) { return FtSetName(set.type, set.group); }

}  // namespace ftformat
