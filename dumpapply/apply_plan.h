// A dump replayed onto the machine: checked whole against the machine's disks first, then
// planned as the requests an administrator would make, in the order they must be made.
// Nothing here prints or writes; the steps are carried out by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dumpfile.h"
#include "machine_model.h"

namespace dumpapply {

// One request of an apply.
struct Step {
  enum class Kind {
    Create,       // a create request: regionKind at offset (a free region's start), size bytes
    MakeActive,   // the partition marked active
    TakeLetters,  // the letters the provider handed out taken (SetLetters, takeOnly)
    RecordSet,    // the set recorded from its members' partitions, then its member states
    SetTypes,     // the disk's partition types written (SetTypes)
    GiveLetters,  // every volume given the dump's letter (SetLetters)
  };
  Kind kind = Kind::Create;
  unsigned disk = 0;
  ftformat::DumpPartition partition;           // Create, MakeActive: as the dump has it
  std::string regionKind;                      // Create: "primary", "extended" or "logical"
  uint64_t offset = 0, size = 0;               // Create: bytes
  uint64_t sectorBytes = 0;                    // SetTypes
  std::vector<ftformat::DumpPartition> types;  // SetTypes: those whose type requests do not make
  ftformat::DumpSet set;                       // RecordSet
  std::vector<std::string> members;            // RecordSet: the partitions, in member order
};

struct ApplyPlan {
  // Why the dump does not fit the machine; empty when it does.
  std::vector<std::string> problems;
  std::vector<Step> steps;
  // Disks holding no partition yet whose signature is not the dump's: the signature to
  // write first (in a boot of the platform alone), by disk index.
  std::vector<std::pair<unsigned, uint32_t>> signatures;
};

// Checks the dump against the machine and plans the requests that replay it. force: go
// on with disks that hold the dump's own partitions already (an apply cut short).
ApplyPlan Plan(const model::Machine& m, const ftformat::Dump& d, bool force);

// What differs between the dump's tables and the machine's after the replay, one
// sentence each.
std::vector<std::string> Differences(const model::Machine& m, const ftformat::Dump& d);

// "start=63, size=16002": a partition's extent in the dump's words.
std::string Sectors(const ftformat::DumpPartition& p);

}  // namespace dumpapply
