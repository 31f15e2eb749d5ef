// Imports into HKEY_LOCAL_MACHINE\SYSTEM\DISK, checked first against the stored FT
// configuration and the machine's disks, then stored in one transaction, so a refused
// import stores nothing at all. A booted machine is needed.
#pragma once

#include <string>
#include <vector>

#include "registry_store.h"

namespace ftconfig {

// What an import loses and whether it was stored.
struct DiskKeyImport {
  // What would be lost, one line each: FT sets of the stored configuration that the new
  // one does not hold, disks it names that this machine does not have. Listed also when
  // force lets the import go on.
  std::vector<std::string> losses;
  // The check refused it (a malformed "Information", or losses without force).
  bool refused = false;
  bool stored = false;
  std::string error;  // why nothing was stored
};

// Stores values into the disk key. Refused: an "Information" that is not a well-formed
// binary blob; and, unless force, one whose import would lose something.
DiskKeyImport ImportDiskValues(const std::vector<ntp::reg::Value>& values, bool force);

// `registry import FILE`: the .reg file's values checked as ImportDiskValues does (only
// its "Information" under the disk key is examined; removing it loses every stored set)
// and stored, all of them, in one transaction.
DiskKeyImport ImportRegFile(const std::string& file, bool force);

}  // namespace ftconfig
