// NT registry hive files (a SYSTEM hive), read and written through libhivex. Only the
// key DISK below the hive's root is read or changed: the FT configuration "Information"
// and the CD-ROM drive-letter values named after their devices ("\Device\CdRom0").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "registry_store.h"

namespace ntp::hive {

using Values = std::vector<ntp::reg::Value>;

// The largest value data read from a hive; a configuration is a few KiB.
constexpr size_t kMaxValueBytes = 1 << 20;

// The smallest hive a reader accepts: a base block and one 4 KiB bin holding the root
// key and its security descriptor.
std::vector<uint8_t> EmptyHive();

// Reads the values of the DISK key. Fails, saying why, when the file is not a hive, is
// truncated, or has no DISK key.
bool ReadDiskKey(const std::string& file, Values* values, std::string* error);

// Sorts a DISK key's values into those a machine takes ("Information" and the CD-ROM
// letters) and the names of the others. Fails, naming the value and the problem, when
// one that a machine takes has the wrong type or malformed data.
bool CheckDiskValues(const Values& values, Values* accepted, std::vector<std::string>* skipped,
                     std::string* error);

// Writes values into the DISK key of `file` (made when missing): each value replaces
// the one of that name, the key's other values and every other key stay as they were.
// The new hive is written to a temporary file, flushed, read back and renamed over the
// old one, which is kept as FILE.bak when backup is set. Nothing is written on failure.
struct WriteResult {
  bool created = false;           // the file did not exist
  std::string backup;             // the backup's path, when one was made
  std::vector<std::string> kept;  // values of the hive's DISK key left as they were
};
// With dryRun the same checks are made and result says what would be done; nothing is
// written, and no leftover of an interrupted write is removed.
bool WriteDiskKey(const std::string& file, const Values& values, bool backup, WriteResult* result,
                  std::string* error, bool dryRun = false);

}  // namespace ntp::hive
