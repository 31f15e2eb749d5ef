// The overlay's hooks in the platform's sector I/O (machine.cpp).
#pragma once

#include <vector>

#include "machine_state.h"

namespace ntp::detail {

// Copies the overlay's sectors over what a read of the disk returned.
void OverlayPatchRead(const Disk& disk, uint64_t offset, void* buffer, size_t length);
// With the overlay on: keeps the sectors in memory, sets *status and returns true.
bool OverlayWrite(Disk& disk, const std::vector<ptable::SectorImage>& sectors, NTSTATUS* status);

}  // namespace ntp::detail
