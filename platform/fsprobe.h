// File-system structures found where a boot sector says they are, read through a
// volume reader that may not know every byte yet: the evidence that tells a member
// order giving a whole file system from one that does not. FAT12/16/32 and NTFS, from
// their published on-disk formats. Nothing read is trusted before it is checked
// against its buffer; every walk is bounded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ntp::fsprobe {

// Reads volume bytes (whole 512-byte sectors); false when they are not known: a member
// not placed yet, beyond the volume, or a failed read.
using VolumeReader = std::function<bool(uint64_t offset, void* buffer, size_t length)>;
// Told about volume bytes whose structure was read and found right (not all zeros).
using Vouch = std::function<void(uint64_t offset, uint64_t length)>;

enum class Kind { kNone, kFat12, kFat16, kFat32, kNtfs };

// What a boot sector says about its file system.
struct Boot {
  Kind kind = Kind::kNone;
  uint64_t bytes = 0;  // the size the file system claims
  // FAT
  uint32_t bytesPerSector = 0, sectorsPerCluster = 0, reserved = 0, fats = 0, rootEntries = 0;
  uint32_t fatSectors = 0, rootCluster = 0, fsInfo = 0, backupBoot = 0, clusters = 0;
  uint8_t media = 0;
  // NTFS
  uint64_t clusterBytes = 0, mftLcn = 0, mirrorLcn = 0;
  uint32_t recordBytes = 0, indexBytes = 0;
};
const char* KindName(Kind kind);  // "FAT16", "NTFS", "" for none

// Parses a 512-byte boot sector; kind kNone when it is neither FAT nor NTFS or its
// fields do not hold together.
Boot ParseBoot(const uint8_t* sector);

// What the structure checks found.
struct Findings {
  bool failed = false;                // structure read in full is wrong here
  std::string failure;                // the first such, in words
  std::vector<std::string> evidence;  // what was found right (with explain)
};

// Runs the checks of the file system whose boot sector is at volume offset 0: FAT
// copies that agree, directories where the boot sector puts them with valid entries,
// subdirectories that start with their own "." and "..", cluster chains as long as
// their files; NTFS $MFT records that carry their numbers and intact update sequences,
// $MFTMirr, the backup boot sector at the end, $LogFile pages, $UpCase, $AttrDef and
// the root index. Bytes the reader does not know give no verdict.
Findings Check(const Boot& boot, const VolumeReader& read, const Vouch& vouch, bool explain);

}  // namespace ntp::fsprobe
