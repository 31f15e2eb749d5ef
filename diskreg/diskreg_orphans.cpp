// Members whose partition is gone: orphaned in the configuration, their sets degraded.
// Shared by the boot-time check of the platform and the provider's rebuild, so both
// apply the same rule.
#include <cstring>
#include <vector>

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

uint32_t FtSetStateFor(uint32_t type, uint32_t orphaned, uint32_t regenerating, uint32_t initializing,
                       uint32_t members) {
  if (orphaned > 0) {
    const bool redundant = type == Mirror || type == StripeWithParity;
    return redundant && orphaned == 1 && members > 1 ? uint32_t(FtHasOrphan) : uint32_t(FtDisabled);
  }
  if (regenerating > 0) return FtRegenerating;
  if (initializing > 0) return FtInitializing;
  return FtStateOk;
}

namespace {

// One set of a valid blob as the boot-time pass walks it: where its description and its
// members' partition records are.
struct SetPlace {
  uint64_t at = 0;  // the _FT_DESCRIPTION
  _FT_DESCRIPTION head{};
  uint16_t group = 0;
  std::vector<_FT_MEMBER_DESCRIPTION> members;
};

std::vector<SetPlace> SetPlaces(const uint8_t* b) {
  std::vector<SetPlace> sets;
  _DISK_CONFIG_HEADER h;
  std::memcpy(&h, b, sizeof h);
  if (h.FtInformationSize == 0) return sets;
  uint16_t count;
  std::memcpy(&count, b + h.FtInformationOffset, sizeof count);
  uint64_t pos = uint64_t(h.FtInformationOffset) + kFtRegistryHeaderSize;
  for (uint32_t s = 0; s < count; ++s) {
    SetPlace set;
    set.at = pos;
    std::memcpy(&set.head, b + pos, kFtDescriptionHeaderSize);
    for (uint32_t m = 0; m < set.head.NumberOfMembers; ++m) {
      _FT_MEMBER_DESCRIPTION md;
      std::memcpy(&md, b + pos + kFtDescriptionHeaderSize + uint64_t(kFtMemberDescriptionSize) * m,
                  sizeof md);
      set.members.push_back(md);
    }
    if (!set.members.empty()) {
      _DISK_PARTITION rec;
      std::memcpy(&rec, b + set.members[0].OffsetToPartitionInfo, sizeof rec);
      set.group = rec.FtGroup;
    }
    sets.push_back(set);
    pos += FtDescriptionSize(set.head.NumberOfMembers);
  }
  return sets;
}

}  // namespace

uint32_t DiskRegistryTrackAbsentMembers(void* blob, size_t len, const DiskRegistryPresence& present,
                                        std::vector<FtAbsentMember>* absent, uint32_t* orphaned,
                                        uint32_t* returned) {
  if (!blob || !absent || !DiskRegistryValidate(blob, len, nullptr)) return 0;
  auto* b = static_cast<uint8_t*>(blob);
  // Members orphaned by this boot are the ones healthy (or otherwise not orphaned) now
  // whose partition is missing; note them before the common rule orphans them.
  std::vector<SetPlace> sets = SetPlaces(b);
  std::vector<FtAbsentMember> noted = *absent;
  for (const auto& set : sets)
    for (size_t m = 0; m < set.members.size(); ++m) {
      _DISK_PARTITION rec;
      std::memcpy(&rec, b + set.members[m].OffsetToPartitionInfo, sizeof rec);
      if (rec.FtState == Orphaned || present(set.members[m].Signature, rec.StartingOffset, rec.Length))
        continue;
      noted.push_back({set.head.Type, set.group, uint16_t(m), false, set.members[m].Signature,
                       rec.StartingOffset, rec.Length});
    }
  if (orphaned) *orphaned = uint32_t(noted.size() - absent->size());
  if (returned) *returned = 0;
  uint32_t changed = DiskRegistryOrphanMissingMembers(blob, len, present);

  // Each note must still describe an orphaned member at that place; one that returned
  // unchanged to a set nothing could write meanwhile is a member again.
  std::vector<FtAbsentMember> kept;
  std::vector<bool> touched(sets.size(), false);
  for (const auto& note : noted) {
    size_t s = 0;
    while (s < sets.size() && !(sets[s].head.Type == note.type && sets[s].group == note.group)) ++s;
    if (s == sets.size() || note.member >= sets[s].members.size()) continue;
    const _FT_MEMBER_DESCRIPTION& md = sets[s].members[note.member];
    uint8_t* at = b + md.OffsetToPartitionInfo;
    _DISK_PARTITION rec;
    std::memcpy(&rec, at, sizeof rec);
    if (md.Signature != note.signature || rec.StartingOffset != note.offset || rec.Length != note.length ||
        rec.FtState != Orphaned)
      continue;
    bool duplicate = false;
    for (const auto& k : kept)
      duplicate = duplicate || (k.type == note.type && k.group == note.group && k.member == note.member);
    if (duplicate) continue;
    _FT_DESCRIPTION head;
    std::memcpy(&head, b + sets[s].at, kFtDescriptionHeaderSize);
    if (!note.mayBeStale && head.FtVolumeState == FtDisabled &&
        present(note.signature, note.offset, note.length)) {
      rec.FtState = Healthy;
      std::memcpy(at, &rec, sizeof rec);
      touched[s] = true;
      ++changed;
      if (returned) ++*returned;
      continue;
    }
    kept.push_back(note);
  }
  // Sets that took members back take the state their members give; any set that can be
  // written now makes its absent members' data possibly stale.
  for (size_t s = 0; s < sets.size(); ++s) {
    _FT_DESCRIPTION head;
    std::memcpy(&head, b + sets[s].at, kFtDescriptionHeaderSize);
    if (touched[s]) {
      uint32_t orphaned = 0, regenerating = 0, initializing = 0;
      for (const auto& md : sets[s].members) {
        _DISK_PARTITION rec;
        std::memcpy(&rec, b + md.OffsetToPartitionInfo, sizeof rec);
        orphaned += rec.FtState == Orphaned;
        regenerating += rec.FtState == Regenerating;
        initializing += rec.FtState == Initializing;
      }
      const uint32_t state =
          FtSetStateFor(head.Type, orphaned, regenerating, initializing, uint32_t(sets[s].members.size()));
      if (state != head.FtVolumeState) {
        std::memcpy(b + sets[s].at + offsetof(_FT_DESCRIPTION, FtVolumeState), &state, sizeof state);
        head.FtVolumeState = state;
        ++changed;
      }
    }
    if (head.FtVolumeState != FtDisabled)
      for (auto& k : kept)
        if (k.type == head.Type && k.group == sets[s].group) k.mayBeStale = true;
  }
  *absent = std::move(kept);
  return changed;
}
