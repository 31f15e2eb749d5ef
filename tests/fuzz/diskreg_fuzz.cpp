// Fuzz target for the disk-registry blob checks: whatever the validator accepts must
// be walkable, record by record and member by member, without reading outside it.
//
// Built and run by scripts/fuzz.sh; replayed by test_fuzzreplay.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "diskreg.h"
#include "fuzz_targets.h"

namespace {

volatile uint64_t gSink;

// Reads every field a reader of the blob uses, through the record structures.
void Walk(const uint8_t* blob, size_t len) {
  const auto* header = reinterpret_cast<const _DISK_CONFIG_HEADER*>(blob);
  uint64_t sum = DiskRegistryUsedLength(header);
  if (sum > len) __builtin_trap();  // the used length never exceeds what was read
  if (header->DiskInformationSize > 0) {
    const auto* reg = reinterpret_cast<const _DISK_REGISTRY*>(blob + header->DiskInformationOffset);
    const uint8_t* pos = reinterpret_cast<const uint8_t*>(reg) + kDiskRegistryHeaderSize;
    for (uint32_t d = 0; d < reg->NumberOfDisks; ++d) {
      const auto* disk = reinterpret_cast<const _DISK_DESCRIPTION*>(pos);
      sum += disk->Signature;
      for (uint32_t p = 0; p < disk->NumberOfPartitions; ++p) {
        const _DISK_PARTITION& rec = disk->Partitions[p];
        sum += uint64_t(rec.StartingOffset) + uint64_t(rec.Length) + rec.FtType + rec.FtGroup + rec.FtMember +
               rec.DriveLetter + rec.Modified;
      }
      pos += DiskDescriptionSize(disk->NumberOfPartitions);
    }
  }
  if (header->FtInformationSize > 0) {
    const auto* ft = reinterpret_cast<const _FT_REGISTRY*>(blob + header->FtInformationOffset);
    const uint8_t* pos = reinterpret_cast<const uint8_t*>(ft) + kFtRegistryHeaderSize;
    for (uint32_t s = 0; s < ft->NumberOfComponents; ++s) {
      const auto* set = reinterpret_cast<const _FT_DESCRIPTION*>(pos);
      sum += set->Type + set->FtVolumeState;
      for (uint32_t m = 0; m < set->NumberOfMembers; ++m) {
        const _FT_MEMBER_DESCRIPTION& member = set->FtMemberDescription[m];
        const auto* rec = reinterpret_cast<const _DISK_PARTITION*>(blob + member.OffsetToPartitionInfo);
        sum += member.Signature + rec->FtGroup + rec->FtMember + uint64_t(rec->Length);
      }
      pos += FtDescriptionSize(set->NumberOfMembers);
    }
  }
  gSink = sum;
}

}  // namespace

int FuzzDiskRegistry(const uint8_t* data, size_t size) {
  // An exactly sized, aligned copy, so any read past the end is caught.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  std::string why;
  const bool valid = DiskRegistryValidate(copy.get(), size, &why);
  if (valid) {
    Walk(copy.get(), size);
    // The disk part alone, as DiskRegistryGet hands it out, is valid too.
    const auto* header = reinterpret_cast<const _DISK_CONFIG_HEADER*>(copy.get());
    if (header->DiskInformationSize > 0 &&
        !DiskRegistryValidateDiskPart(copy.get() + header->DiskInformationOffset, header->DiskInformationSize,
                                      nullptr))
      __builtin_trap();
  } else if (why.empty()) {
    __builtin_trap();  // every refusal says why
  }
  DiskRegistryValidateDiskPart(copy.get(), size, nullptr);
  return valid ? 1 : 0;
}

FUZZ_ENTRY(FuzzDiskRegistry)
