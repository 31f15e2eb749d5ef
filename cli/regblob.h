// The disk-registry blob ("Information") as the front end shows and builds it.
#pragma once

#include <cstdint>
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

std::string FtTypeName(uint32_t type);
std::string FtStateName(uint32_t state);
std::string FtPartitionStateName(uint32_t state);

}  // namespace cli
