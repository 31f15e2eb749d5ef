// The search for FT sets the disks hold, found from their bytes when the configuration
// that recorded them is lost: the booted machine's partitions that no recorded set
// holds, opened for reading and given to the search. Nothing here writes or prints.
#pragma once

#include <vector>

#include "ftfind.h"
#include "machine_model.h"
#include "ntplatform.h"
#include "status.h"

namespace ftconfig {

// What a search examined and found. It keeps the partitions open while it lives: the
// proposals' evidence is read through them.
class SetSearch {
 public:
  SetSearch() = default;
  ~SetSearch();
  SetSearch(const SetSearch&) = delete;
  SetSearch& operator=(const SetSearch&) = delete;

  std::vector<ntp::ftfind::Partition> partitions;  // the partitions no recorded set holds
  unsigned recordedMembers = 0;                    // the partitions recorded sets hold
  ntp::ftfind::Result found;

 private:
  friend ntp::Status FindSets(const model::Machine& m, const ntp::ftfind::Options& options,
                              SetSearch* search);
  std::vector<HANDLE> handles_;
};

// Searches the machine's partitions that no set of the stored configuration holds. Fails
// (nothing searched) when the configuration cannot be read.
ntp::Status FindSets(const model::Machine& m, const ntp::ftfind::Options& options, SetSearch* search);

}  // namespace ftconfig
