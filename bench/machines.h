// Generated machines for the benchmarks: sparse disk images with NT-style partition
// tables (three primaries, an extended partition of logical drives, free space at its
// end), optionally an FT configuration over the logical drives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zmapi.h"

namespace bench {

struct Shape {
  unsigned disks = 1;
  unsigned logicals = 4;
  unsigned ftSets = 0;  // FT sets of 2 to 4 members over the logical drives
};

// Geometry of every generated disk: 255 heads x 63 sectors x 512 bytes.
constexpr uint64_t kTrack = 63ull * 512ull;
constexpr uint64_t kCylinder = 255ull * 63ull * 512ull;

// Cylinders of free space left at the end of the extended partition.
constexpr unsigned kFreeCylinders = 4;

// A machine directory for the shape, made once and kept under the temp dir.
std::string MachineFor(const Shape& shape);

// Boots the machine (platform only) and writes its partition tables and registry when
// they are not there yet.
bool BootMachine(const std::string& dir, const Shape& shape, std::string* error);

// Host and provider: Start, register the linked-in provider, initialisation complete,
// idle. StopHost undoes it (the platform stays booted).
ZM_HANDLE StartHost(std::string* error);
void StopHost();

// Everything the benchmarks report besides time.
struct Costs {
  uint64_t hostCalls = 0;
  uint64_t sectorsRead = 0;
  uint64_t sectorsWritten = 0;
  double cpuSeconds = 0;  // user + sys of the whole process, every thread
};
Costs Snapshot(unsigned disks);
Costs operator-(const Costs& a, const Costs& b);

// Peak resident memory of the process, in KiB.
uint64_t PeakRssKiB();

// The configuration blob as stored in the registry now (empty when none).
std::vector<uint8_t> StoredBlob();
void StoreBlob(const std::vector<uint8_t>& blob);

// A stale configuration for the shape: the FT sets, but the disk part describing only
// their members, so that the next registry pass must rebuild it.
std::vector<uint8_t> StaleBlob(const Shape& shape);

}  // namespace bench
