// The model of the booted machine (model/machine_model.h) as the front end names it.
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

using model::MembersSummary;
using model::RegionSummary;

}  // namespace cli
