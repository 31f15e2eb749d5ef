// FT sets recorded in, dropped from and changed in the configuration alone, for sets
// whose partitions exist (ft edit): no data is written and no partition changes. Nothing
// here prints; each step says what it did in words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "boot.h"
#include "ftconfig.h"
#include "machine_model.h"
#include "status.h"

namespace ftconfig {

// A set of existing partitions to record.
struct Definition {
  uint32_t type = 0;
  uint16_t group = 0;
  std::vector<PartitionRef> members;
  // A mirror's or parity set's members wait for the pass that makes them agree.
  bool pending = false;
};

// The set of the partitions the arguments name (diskN/pM or a plain partition's letter),
// checked against the set rules and the configuration; group < 0: the lowest free one.
// Nothing says the members of a mirror or parity set agree: unless assumeClean, they
// are recorded initializing, as ft create's are until its data pass.
ntp::Status PlanDefinition(const model::Machine& m, uint32_t type, int group,
                           const std::vector<std::string>& members, bool assumeClean, Definition* d);
ntp::Status Define(zm::Session& s, const Definition& d, std::string* done);
ntp::Status Drop(zm::Session& s, uint32_t type, uint16_t group, std::string* done);
// "healthy", "orphaned", "regenerating", "initializing": the member states an edit sets.
bool MemberStateFromWord(const std::string& word, uint32_t* state);
ntp::Status SetMember(zm::Session& s, uint32_t type, uint16_t group, int member, uint32_t state,
                      std::string* done);

}  // namespace ftconfig
