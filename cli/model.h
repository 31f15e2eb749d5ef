// The model of the booted machine (model/machine_model.h) as the front end names it, and
// its regions in the sentences a request prints.
#pragma once

#include <string>

#include "machine_model.h"

namespace cli {

using model::Disk;
using model::Machine;
using model::Member;
using model::Menu;
using model::Region;
using model::Volume;

// "disk0/p1 (disk0@63s, 101.9 MiB)": what a destructive request acts on.
std::string RegionSummary(const Region& r);
// The summaries of the partitions of the volume of that name, comma-separated.
std::string MembersSummary(const Machine& m, const std::string& volumeName);

}  // namespace cli
