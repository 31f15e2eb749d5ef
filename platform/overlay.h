// Dry runs: while the overlay is on, sector writes to the machine's disks stay in memory
// (later reads see them) and the registry store is a throw-away in-memory copy, so a
// request runs against the real machine and nothing of it is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ntp {

// Starts the overlay on the booted machine; the registry switches to an in-memory copy
// of the store. False (with a reason) when the store cannot be copied.
bool BeginOverlay(std::string* error);
// Drops every kept sector and the registry copy; the real store is used again.
void EndOverlay();
bool OverlayActive();

// A sector the request wrote whose contents differ from the disk's.
struct OverlaySector {
  unsigned disk;
  uint64_t lba;
  std::vector<uint8_t> before, after;
};
std::vector<OverlaySector> OverlayChanges();

namespace reg {
// Used by the overlay: switch the store to an in-memory copy of itself, and back.
bool BeginScratchCopy(std::string* error);
void EndScratchCopy();
}  // namespace reg

}  // namespace ntp
