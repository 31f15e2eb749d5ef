// Placement of new FT members and what a set has lost, planned on the model of the
// booted machine: shared by the FT requests and by check's advice, so that what check
// proposes is what the request will do. Nothing here writes or prints.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ftconfig.h"
#include "machine_model.h"

namespace ftconfig {

// The first free region of the disk (outside the extended partition) where the provider
// makes a partition of at least wanted bytes, and how to ask for it.
bool PlanAtLeast(const model::Disk& disk, int64_t wanted, Placement* at);
// The first free region that holds a request of size bytes, and the extent it gives.
bool PlanRequest(const model::Disk& disk, int64_t size, Placement* at);
// The first disk that can take a new member of a set whose members lie on disks with
// these signatures: none of them, a signature --onto can use, room for wanted bytes;
// -1 when there is none.
int ReplacementDisk(const model::Machine& m, const std::vector<uint32_t>& memberSignatures, int64_t wanted);
// The byte ranges [from, to) of a volume that no member left can give, for members of
// these lengths of which those marked lost are gone; parityWhole false for a parity set
// whose parity was never written whole (then no lost member can be rebuilt).
std::vector<std::pair<uint64_t, uint64_t>> LostRanges(uint32_t type, const std::vector<uint64_t>& lengths,
                                                      const std::vector<bool>& lost, bool parityWhole = true);
// "N bytes in K ranges (a-b, c-d, ...)", the first `shown` ranges named (inclusive ends).
std::string DescribeRanges(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, size_t shown);
// The largest cylinder among the disks with these signatures (the default geometry's
// when none of them is here).
int64_t LargestCylinder(const model::Machine& m, const std::vector<uint32_t>& signatures);

}  // namespace ftconfig
