// A booted two-disk machine with known partitions, for the FT tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ftblob.h"
#include "testutil.h"

namespace ftt {

constexpr int64_t kSector = 512;
constexpr int64_t kTrack = 63 * kSector;
constexpr int64_t kCylinder = 16065 * kSector;

// Extents of the partitions' data as the tables hold them (sfdisk scripts below).
struct Extent {
  int64_t start, length;
};
// Disk 0: P1 and P2 primary, an extended partition holding the logical drive L1.
constexpr Extent P1{63 * kSector, 16002 * kSector};
constexpr Extent P2{16065 * kSector, 16065 * kSector};
constexpr Extent E0{32130 * kSector, 48195 * kSector};
constexpr Extent L1{32193 * kSector, 16002 * kSector};
// Disk 1: four primaries.
constexpr Extent Q1{63 * kSector, 16002 * kSector};
constexpr Extent Q2{16065 * kSector, 16065 * kSector};
constexpr Extent Q3{32130 * kSector, 16065 * kSector};
constexpr Extent Q4{48195 * kSector, 32130 * kSector};

// A record of the blob for an extent of the machine.
inline ftblob::Part Member(Extent e, uint32_t ftType, uint16_t group, uint16_t member, uint32_t state = 0) {
  return {.start = e.start,
          .length = e.length,
          .ftType = ftType,
          .ftState = state,
          .group = group,
          .member = member};
}
inline ftblob::Part Plain(Extent e, uint8_t letter = 0) {
  return {.start = e.start, .length = e.length, .letter = letter, .assign = uint8_t(letter != 0 ? 1 : 0)};
}

class FtTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The partition object of partition number n on disk d ("\Device\HarddiskD\PartitionN").
  ZM_OBJECT_ID Partition(unsigned disk, unsigned number) const;
  uint32_t Signature(unsigned disk) const;
  // Volume objects whose "LDM_VOLUME_TYPE" is 5 to 8, in database order.
  std::vector<ZM_OBJECT_ID> FtVolumes() const;
  // A mirror of P1 (member 0) and Q1 with a plain record for P2, and storing it.
  ftblob::Config MirrorConfig(uint16_t group = 0) const;
  void StoreMirror() const { ftblob::Store(ftblob::Build(MirrorConfig())); }
  // Stores a configuration and publishes it.
  static ZMSTATUS Publish(const ftblob::Config& c);
  // Stores the disks as a rebuild describes them, with P1 and Q1 made a mirror, and
  // publishes it.
  void StoreScannedMirror() const;
  // The FT volume parents of a partition.
  std::vector<ZM_OBJECT_ID> FtParents(ZM_OBJECT_ID partition) const;

  std::unique_ptr<testutil::Machine> machine;
};

// A drive-letter request (nullptr: removal) through the provider's control entry.
ZMSTATUS Letter(ZM_HANDLE provider, ZM_OBJECT_ID volume, const char16_t* letter);
// The CD-ROM volume of a booted machine (0 when none).
ZM_OBJECT_ID CdromVolume();

}  // namespace ftt
