// The disk-registry blob ("Information") as the front end shows and builds it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace cli {

// One partition record, one disk description and one FT set, for building a blob.
struct BlobPartition {
  uint32_t ftType = 4;  // NotAnFtMember
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

// Decodes a blob for people and scripts. verdict is the structural check's result (why is
// its reason when it failed); the walk itself never reads outside [data, data+size) and
// stops where the records run out, whatever the verdict says.
nlohmann::json DecodeBlob(const uint8_t* data, size_t size, bool valid, const std::string& why);

// Text form of DecodeBlob's result, one line per record.
std::string BlobText(const nlohmann::json& decoded);

// A well-formed configuration read for the checks of `check` and `registry import`.
struct ConfigRecord {
  uint32_t signature = 0;  // of the disk description holding it
  int64_t offset = 0, length = 0;
  uint32_t ftType = 4, ftState = 0;
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
// Reads a blob; false (why says what is wrong) when the blob checker rejects it.
bool ReadConfigView(const uint8_t* blob, size_t size, ConfigView* view, std::string* why);
// The set's stable name: mirrorG, stripeG, parityG or volsetG (ftG for other types).
std::string FtSetName(const ConfigSet& set);

// A value for HKEY_LOCAL_MACHINE\SYSTEM\DISK, as a .reg file or a hive holds it.
struct DiskKeyValue {
  std::u16string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};
// Checks the values meant for HKEY_LOCAL_MACHINE\SYSTEM\DISK and stores them all in one
// transaction. Refused, storing nothing: an "Information" that is not a well-formed
// binary blob; and, unless force, one whose import would lose something, named in
// *losses: FT sets of the stored configuration that it does not hold, disks it names
// that this machine does not have. A booted machine is needed. *error says why.
// The check of ImportDiskValues for one "Information" value alone.
bool CheckInformationImport(const std::vector<uint8_t>& data, uint32_t type, bool force,
                            std::vector<std::string>* losses, std::string* error);
bool ImportDiskValues(const std::vector<DiskKeyValue>& values, bool force, std::vector<std::string>* losses,
                      std::string* error);

// `registry import FILE`: the file's values checked as ImportDiskValues does (only its
// "Information" under the disk key is examined) and stored in one transaction. What
// would be lost is written to warn, also when force lets the import go on.
bool ImportRegFileChecked(const std::string& file, bool force, std::ostream& warn, std::string* error);

std::string FtTypeName(uint32_t type);
std::string FtStateName(uint32_t state);
std::string FtPartitionStateName(uint32_t state);

}  // namespace cli
