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

// ft verify SET [--repair] [--from MEMBER] on a stored set: the members checked (each on
// the disks; a repair takes as right only a member, or for a parity set only data, that
// is current), then VerifySet. from < 0 picks the first member holding data. A dry run's
// repair compares only. A refusal's message begins with what; *usage says that --from
// was given for a parity set (a usage error).
struct VerifyOutcome {
  unsigned from = 0;      // the member compared against (a mirror)
  bool repaired = false;  // a repair was asked and writes (not a dry run)
  Verified found;
};
ntp::Status Verify(const std::string& what, const Set& set, bool repair, int from, bool dryRun,
                   const ntp::ftmap::Progress& progress, VerifyOutcome* out, bool* usage);

}  // namespace ftdata
