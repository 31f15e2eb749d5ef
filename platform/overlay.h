// Dry runs: while the overlay is on, sector writes to the machine's disks stay in memory
// (later reads see them) and the registry store is a throw-away in-memory copy, so a
// request runs against the real machine and nothing of it is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "registry_store.h"

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
  bool table;    // a partition-table sector before or after (sector 0 always counts)
  bool cleared;  // all zeros after (a new partition's first sector)
};
std::vector<OverlaySector> OverlayChanges();

namespace reg {
// A value the request added, deleted or changed, between two listings of one key.
struct ValueChange {
  std::u16string name;
  std::optional<Value> before, after;  // none: not there
};
// In the order of the values' names (of a name listed twice, the last counts).
std::vector<ValueChange> ValueChanges(const std::vector<Value>& before, const std::vector<Value>& after);

// Used by the overlay: switch the store to an in-memory copy of itself, and back.
bool BeginScratchCopy(std::string* error);
void EndScratchCopy();
}  // namespace reg

// What a request run on the overlay changed, for a dry run to show: each sector it wrote
// (a table sector's changed slots in words), the values of the disk key it added, deleted
// or changed, and the "Information" value it left when that differs from before.
struct SectorChange {
  unsigned disk;
  uint64_t lba;
  bool table, cleared;
  std::vector<std::string> slots;  // a table sector's changes, one line each
};
struct OverlayReport {
  std::vector<SectorChange> sectors;
  std::vector<reg::ValueChange> values;
  std::optional<reg::Value> information;
};
// diskKeyBefore: the disk key's values listed before the request ran.
OverlayReport DescribeOverlay(const std::vector<reg::Value>& diskKeyBefore);

}  // namespace ntp
