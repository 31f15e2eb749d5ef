// Fuzz target for the partition-table reader and builder. The input is a small disk:
//
//   byte 0      mode: bit 0 reads past the image fail (else they wrap around it),
//               bit 1 the disk is 256 times the sector count below,
//               bits 4-5 bytes per sector 512 << n
//   byte 1, 2   heads - 1, sectors per track - 1 (kept inside the valid geometry)
//   bytes 3-6   disk size in sectors, little-endian (0: just the image)
//   the rest    the image, sector after sector from LBA 0
//
// Whatever Read makes of it must be well formed; a layout Read produced without
// complaint must build, and the built sectors must read back as the same layout.
//
// Built and run by scripts/fuzz.sh; replayed by test_fuzzreplay.
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "ntplatform.h"
#include "ptable.h"

namespace {

constexpr size_t kShapeHeader = 7;

struct FuzzDisk {
  const uint8_t* image = nullptr;
  size_t imageBytes = 0;
  uint64_t imageSectors = 0;
  uint32_t bps = 512;
  uint64_t sectors = 0;
  bool failBeyond = false;
  std::map<uint64_t, std::vector<uint8_t>> written;  // sectors Build produced

  bool Read(uint64_t lba, uint8_t* buffer) const {
    if (lba >= sectors) return false;  // the platform never serves a sector past the end
    auto w = written.find(lba);
    if (w != written.end()) {
      std::memcpy(buffer, w->second.data(), bps);
      return true;
    }
    std::memset(buffer, 0, bps);
    if (imageSectors == 0) return !failBeyond;
    if (lba >= imageSectors) {
      if (failBeyond) return false;
      lba %= imageSectors;
    }
    const size_t at = size_t(lba) * bps;
    std::memcpy(buffer, image + at, std::min<size_t>(bps, imageBytes - at));
    return true;
  }
};

bool SameEntry(const PARTITION_INFORMATION& a, const PARTITION_INFORMATION& b) {
  return a.StartingOffset.QuadPart == b.StartingOffset.QuadPart &&
         a.PartitionLength.QuadPart == b.PartitionLength.QuadPart && a.HiddenSectors == b.HiddenSectors &&
         a.PartitionType == b.PartitionType && a.BootIndicator == b.BootIndicator &&
         a.RecognizedPartition == b.RecognizedPartition;
}

void CheckWellFormed(const ntp::ptable::ReadResult& r, const FuzzDisk& disk) {
  FUZZ_CHECK(r.entries.size() == 4 * r.tableSectors.size(), "four entries per table sector");
  FUZZ_CHECK(r.tableSectors.size() <= ntp::ptable::kMaxChain + 1, "the chain is cut at its limit");
  std::set<uint64_t> seen;
  for (uint64_t t : r.tableSectors) {
    FUZZ_CHECK(t < disk.sectors, "table sectors lie on the disk");
    FUZZ_CHECK(seen.insert(t).second, "table sectors are distinct");
  }
  if (!r.tableSectors.empty())
    FUZZ_CHECK(r.tableSectors[0] == 0, "the first table is the master boot record");
  for (const auto& e : r.entries) {
    FUZZ_CHECK(e.PartitionNumber == 0, "the reader numbers nothing");
    if (e.PartitionType == PARTITION_ENTRY_UNUSED)
      FUZZ_CHECK(e.StartingOffset.QuadPart == 0 && e.PartitionLength.QuadPart == 0 && e.HiddenSectors == 0,
                 "an unused entry is all zero");
    FUZZ_CHECK(e.StartingOffset.QuadPart >= 0 && e.PartitionLength.QuadPart >= 0, "no negative extents");
  }
}

}  // namespace

int FuzzPartitionTable(const uint8_t* data, size_t size) {
  if (size < kShapeHeader) return 0;
  FuzzDisk disk;
  const uint8_t mode = data[0];
  disk.bps = 512u << ((mode >> 4) & 3);
  disk.failBeyond = (mode & 1) != 0;
  ntp::ptable::DiskShape shape;
  shape.bytesPerSector = disk.bps;
  shape.heads = 1u + data[1] % 255u;
  shape.sectorsPerTrack = 1u + data[2] % 63u;
  // An exactly sized copy of the image, so reads past its end are caught.
  const size_t imageBytes = size - kShapeHeader;
  std::unique_ptr<uint8_t[]> image(new uint8_t[imageBytes ? imageBytes : 1]);
  if (imageBytes) std::memcpy(image.get(), data + kShapeHeader, imageBytes);
  disk.image = image.get();
  disk.imageBytes = imageBytes;
  disk.imageSectors = (imageBytes + disk.bps - 1) / disk.bps;
  uint64_t sectors =
      uint64_t(data[3]) | uint64_t(data[4]) << 8 | uint64_t(data[5]) << 16 | uint64_t(data[6]) << 24;
  if (mode & 2) sectors *= 256;
  disk.sectors = sectors != 0 ? sectors : disk.imageSectors;
  shape.sectors = disk.sectors;
  const ntp::ptable::SectorReader reader = [&disk](uint64_t lba, uint8_t* buffer) {
    return disk.Read(lba, buffer);
  };

  ntp::ptable::ReadResult first;
  const NTSTATUS st = ntp::ptable::Read(shape, reader, &first);
  if (!NT_SUCCESS(st)) {
    FUZZ_CHECK(st == STATUS_IO_DEVICE_ERROR, "a failed read is a device error");
    FUZZ_CHECK(first.entries.empty() && first.tableSectors.empty(), "a failed read reports nothing");
    return 0;
  }
  CheckWellFormed(first, disk);
  if (first.entries.empty()) return 0;

  // Every entry rewritten, as when the whole layout is set back.
  const size_t count = first.entries.size();
  std::vector<uint8_t> storage(offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) +
                               count * sizeof(PARTITION_INFORMATION));
  auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION*>(storage.data());
  layout->PartitionCount = ULONG(count);
  layout->Signature = first.signature ^ 0x5A5A5A5Au;  // a changed signature must be written
  for (size_t i = 0; i < count; ++i) {
    layout->PartitionEntry[i] = first.entries[i];
    layout->PartitionEntry[i].RewritePartition = TRUE;
  }
  std::vector<ntp::ptable::SectorImage> built;
  std::string reason;
  const NTSTATUS bst = ntp::ptable::Build(shape, reader, layout, &built, &reason);
  if (!NT_SUCCESS(bst)) {
    FUZZ_CHECK(bst == STATUS_INVALID_PARAMETER, "a refused layout is an invalid parameter");
    FUZZ_CHECK(!reason.empty(), "every refusal says why");
    FUZZ_CHECK(built.empty(), "nothing is built for a refused layout");
    return 1;
  }
  FUZZ_CHECK(built.size() == first.tableSectors.size(), "every group is rewritten");
  for (size_t g = 0; g < built.size(); ++g) {
    // Deepest boot record first, sector 0 last.
    FUZZ_CHECK(built[g].lba == first.tableSectors[built.size() - 1 - g],
               "groups are written where they were read");
    FUZZ_CHECK(built[g].bytes.size() == disk.bps, "whole sectors are built");
    FUZZ_CHECK(built[g].bytes[510] == 0x55 && built[g].bytes[511] == 0xAA, "built tables carry the mark");
  }
  if (!first.warnings.empty()) return 1;  // the chain was cut: the rest of the disk is not ours

  // Written and read again, the layout is the same.
  for (auto& s : built) disk.written[s.lba] = std::move(s.bytes);
  ntp::ptable::ReadResult again;
  FUZZ_CHECK(NT_SUCCESS(ntp::ptable::Read(shape, reader, &again)), "the written disk reads");
  FUZZ_CHECK(again.warnings.empty(), "the written chain reads without complaint");
  FUZZ_CHECK(again.signature == layout->Signature, "the signature is written");
  FUZZ_CHECK(again.tableSectors == first.tableSectors, "the chain is the same");
  FUZZ_CHECK(again.entries.size() == count, "the entry count is the same");
  for (size_t i = 0; i < count; ++i)
    FUZZ_CHECK(SameEntry(again.entries[i], first.entries[i]), "entries read back");
  return 1;
}

FUZZ_ENTRY(FuzzPartitionTable)
