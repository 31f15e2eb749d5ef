// The data passes over an FT set's members: a member rebuilt from the others, every
// row's parity written from its data, and the comparison of the members (with a repair
// that takes one side as right). Each records its progress in the set's FT journal, so
// an interrupted pass is resumed or shown as needing one. They print nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftmap.h"
#include "ftrequest.h"
#include "ftset.h"
#include "status.h"

namespace ftdata {

// Rebuilds member (>= 0) from the others, or writes the parity (member -1), resuming
// where an earlier run of the same pass stopped (resuming is told the member offset
// first). Where the set's own write mark is all that keeps it from healthy, only the
// ranges a write left dirty are passed over.
ntp::Status RunPass(ntp::ftmap::Volume& v, uint32_t type, uint16_t group, int member,
                    const ntp::ftmap::Progress& progress, const std::function<void(uint64_t from)>& resuming);

// Forgets the set's journal (a set made anew or deleted).
using ftconfig::DropJournal;

// What a comparison found: the report, and the first ranges as volume offsets.
struct Verified {
  ntp::ftmap::VerifyReport report;
  std::vector<ntp::ftmap::Range> volumeRanges;  // of report.first
};
// Compares the members of v (the set's, opened with every member) against member from
// (a mirror) or each row's parity against its data. With repair, the set is marked,
// all of it dirty, before the first repair write, and healthy again after.
ntp::Status VerifySet(const Set& set, std::unique_ptr<ntp::ftmap::Volume> v, unsigned from, bool repair,
                      const ntp::ftmap::Progress& progress, Verified* out);

}  // namespace ftdata
