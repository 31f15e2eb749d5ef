// Members whose partition is gone: orphaned in the configuration, their sets degraded.
// Shared by the boot-time check of the platform and the provider's rebuild, so both
// apply the same rule.
#include <cstring>

#include "diskreg.h"

uint32_t FtSetStateAfterLoss(uint32_t type, uint32_t current, uint32_t lost, uint32_t members) {
  if (lost == 0 || current == FtDisabled) return current;
  switch (type) {
    case Mirror:
    case StripeWithParity:
      return lost == 1 && members > 1 ? uint32_t(FtHasOrphan) : uint32_t(FtDisabled);
    case Stripe:
    case VolumeSet:
      return FtDisabled;
    default:
      return current;
  }
}

uint32_t DiskRegistryOrphanMissingMembers(void* blob, size_t len, const DiskRegistryPresence& present) {
  if (!blob || !DiskRegistryValidate(blob, len, nullptr)) return 0;
  auto* b = static_cast<uint8_t*>(blob);
  _DISK_CONFIG_HEADER h;
  std::memcpy(&h, b, sizeof h);
  if (h.FtInformationSize == 0) return 0;
  uint32_t changed = 0;
  uint16_t sets;
  std::memcpy(&sets, b + h.FtInformationOffset, sizeof sets);
  uint64_t pos = uint64_t(h.FtInformationOffset) + kFtRegistryHeaderSize;
  for (uint32_t s = 0; s < sets; ++s) {
    _FT_DESCRIPTION set;
    std::memcpy(&set, b + pos, kFtDescriptionHeaderSize);
    uint32_t lost = 0;
    for (uint32_t m = 0; m < set.NumberOfMembers; ++m) {
      _FT_MEMBER_DESCRIPTION member;
      std::memcpy(&member, b + pos + kFtDescriptionHeaderSize + uint64_t(kFtMemberDescriptionSize) * m,
                  sizeof member);
      // The checker has made sure the record exists and lies on the member's disk.
      uint8_t* at = b + member.OffsetToPartitionInfo;
      _DISK_PARTITION rec;
      std::memcpy(&rec, at, sizeof rec);
      if (rec.FtState != Orphaned && !present(member.Signature, rec.StartingOffset, rec.Length)) {
        rec.FtState = Orphaned;
        std::memcpy(at, &rec, sizeof rec);
        ++changed;
      }
      if (rec.FtState == Orphaned) ++lost;
    }
    const uint32_t state = FtSetStateAfterLoss(set.Type, set.FtVolumeState, lost, set.NumberOfMembers);
    if (state != set.FtVolumeState) {
      set.FtVolumeState = state;
      std::memcpy(b + pos + offsetof(_FT_DESCRIPTION, FtVolumeState), &state, sizeof state);
      ++changed;
    }
    pos += FtDescriptionSize(set.NumberOfMembers);
  }
  return changed;
}
