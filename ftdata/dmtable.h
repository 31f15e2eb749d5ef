// A device-mapper table that gives Linux the same view of an FT set's volume as the
// platform's FT layout: each member's device (the kernel's partition, a loop device or
// the disk's own), and the linear, striped or raid lines over them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ftset.h"
#include "status.h"

namespace ftdata {

struct DmTable {
  std::string name;                                          // of the set's own device
  std::vector<std::string> lines;                            // "START LENGTH TARGET ARGS"
  std::vector<std::pair<std::string, std::string>> helpers;  // devices the raid line needs first
  bool memberFiles = false;  // a member is named by its disk's image file, not a block device
};

// The table of set, named name; memberDevices (one per member, or none) name the members'
// devices instead of finding them. Refused when a member the volume needs is lost.
ntp::Status BuildDmTable(const Set& set, const std::vector<std::string>& memberDevices,
                         const std::string& name, DmTable* table);

}  // namespace ftdata
