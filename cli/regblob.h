// The disk-registry blob ("Information") as the front end shows and builds it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "configblob.h"

namespace cli {

// The blob's records, walk, builder and names come from the format library.
using ftformat::BlobDisk;
using ftformat::BlobMember;
using ftformat::BlobPartition;
using ftformat::BlobSet;
using ftformat::BuildBlob;
using ftformat::ConfigRecord;
using ftformat::ConfigSet;
using ftformat::ConfigView;
using ftformat::FtPartitionStateName;
using ftformat::FtSetName;
using ftformat::FtStateName;
using ftformat::FtTypeName;
using ftformat::ReadConfigView;

// Decodes a blob for people and scripts. verdict is the structural check's result (why is
// its reason when it failed); the walk itself never reads outside [data, data+size) and
// stops where the records run out, whatever the verdict says.
nlohmann::json DecodeBlob(const uint8_t* data, size_t size, bool valid, const std::string& why);

// The same blob for people, one line per record, read from the walk as DecodeBlob reads it.
std::string BlobText(const uint8_t* data, size_t size, bool valid, const std::string& why);

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

}  // namespace cli
