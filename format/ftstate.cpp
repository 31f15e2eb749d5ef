// Members whose partition is gone: orphaned in the configuration, their sets degraded.
// Shared by the boot-time check of the platform and the provider's rebuild, so both
// apply the same rule.
#include "ftstate.h"

#include <cstring>
#include <vector>

namespace {

// The state a set takes with lost members orphaned: a mirror or parity set with one has
// an orphan; any other loss disables it.
uint32_t StateWithOrphans(uint32_t type, uint32_t lost, uint32_t members) {
  const bool redundant = type == Mirror || type == StripeWithParity;
  return redundant && lost == 1 && members > 1 ? uint32_t(FtHasOrphan) : uint32_t(FtDisabled);
}

_DISK_PARTITION RecordAt(const uint8_t* b, uint64_t at) {
  _DISK_PARTITION rec;
  std::memcpy(&rec, b + at, sizeof rec);
  return rec;
}

void PutState(uint8_t* b, uint64_t setAt, uint32_t state) {
  std::memcpy(b + setAt + offsetof(_FT_DESCRIPTION, FtVolumeState), &state, sizeof state);
}

}  // namespace

uint32_t FtSetStateAfterLoss(uint32_t type, uint32_t current, uint32_t lost, uint32_t members) {
  if (lost == 0 || current == FtDisabled) return current;
  switch (type) {
    case Mirror:
    case StripeWithParity:
    case Stripe:
    case VolumeSet:
      return StateWithOrphans(type, lost, members);
    default:
      return current;
  }
}

uint32_t DiskRegistryOrphanMissingMembers(void* blob, size_t len, const DiskRegistryPresence& present) {
  if (!blob || !DiskRegistryValidate(blob, len, nullptr)) return 0;
  auto* b = static_cast<uint8_t*>(blob);
  uint32_t changed = 0;
  // The validator has made sure every member points at a record on the member's disk.
  for (const auto& set : ftformat::WalkBlob(b, len).sets) {
    uint32_t lost = 0;
    for (const auto& member : set.members) {
      const uint64_t at = member.md.OffsetToPartitionInfo;
      _DISK_PARTITION rec = RecordAt(b, at);
      if (rec.FtState != Orphaned && !present(member.md.Signature, rec.StartingOffset, rec.Length)) {
        rec.FtState = Orphaned;
        std::memcpy(b + at, &rec, sizeof rec);
        ++changed;
      }
      if (rec.FtState == Orphaned) ++lost;
    }
    const uint32_t state = FtSetStateAfterLoss(set.type, set.state, lost, set.count);
    if (state != set.state) {
      PutState(b, set.at, state);
      ++changed;
    }
  }
  return changed;
}

uint32_t FtSetStateFor(uint32_t type, uint32_t orphaned, uint32_t regenerating, uint32_t initializing,
                       uint32_t members) {
  if (orphaned > 0) return StateWithOrphans(type, orphaned, members);
  if (regenerating > 0) return FtRegenerating;
  if (initializing > 0) return FtInitializing;
  return FtStateOk;
}

bool ftformat::MemberHoldsData(uint32_t type, uint32_t state) {
  return state == Healthy || (state == Initializing && type == StripeWithParity);
}

namespace {

// One set of a valid blob as the boot-time pass walks it: where its description and its
// members' partition records are.
struct SetPlace {
  uint64_t at = 0;  // the _FT_DESCRIPTION
  uint16_t type = 0;
  uint16_t group = 0;
  std::vector<_FT_MEMBER_DESCRIPTION> members;
};

std::vector<SetPlace> SetPlaces(const uint8_t* b, size_t len) {
  std::vector<SetPlace> sets;
  for (const auto& s : ftformat::WalkBlob(b, len).sets) {
    SetPlace set{s.at, s.type, s.group, {}};
    for (const auto& m : s.members) set.members.push_back(m.md);
    sets.push_back(std::move(set));
  }
  return sets;
}

uint32_t SetState(const uint8_t* b, uint64_t setAt) {
  uint32_t state;
  std::memcpy(&state, b + setAt + offsetof(_FT_DESCRIPTION, FtVolumeState), sizeof state);
  return state;
}

}  // namespace

uint32_t DiskRegistryTrackAbsentMembers(void* blob, size_t len, const DiskRegistryPresence& present,
                                        std::vector<FtAbsentMember>* absent, uint32_t* orphaned,
                                        uint32_t* returned) {
  if (!blob || !absent || !DiskRegistryValidate(blob, len, nullptr)) return 0;
  auto* b = static_cast<uint8_t*>(blob);
  // Members orphaned by this boot are the ones healthy (or otherwise not orphaned) now
  // whose partition is missing; note them before the common rule orphans them.
  std::vector<SetPlace> sets = SetPlaces(b, len);
  std::vector<FtAbsentMember> noted = *absent;
  for (const auto& set : sets)
    for (size_t m = 0; m < set.members.size(); ++m) {
      _DISK_PARTITION rec;
      std::memcpy(&rec, b + set.members[m].OffsetToPartitionInfo, sizeof rec);
      if (rec.FtState == Orphaned || present(set.members[m].Signature, rec.StartingOffset, rec.Length))
        continue;
      noted.push_back({set.type, set.group, uint16_t(m), false, set.members[m].Signature, rec.StartingOffset,
                       rec.Length});
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
    while (s < sets.size() && !(sets[s].type == note.type && sets[s].group == note.group)) ++s;
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
    if (!note.mayBeStale && SetState(b, sets[s].at) == FtDisabled &&
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
    uint32_t current = SetState(b, sets[s].at);
    if (touched[s]) {
      uint32_t orphaned = 0, regenerating = 0, initializing = 0;
      for (const auto& md : sets[s].members) {
        const _DISK_PARTITION rec = RecordAt(b, md.OffsetToPartitionInfo);
        orphaned += rec.FtState == Orphaned;
        regenerating += rec.FtState == Regenerating;
        initializing += rec.FtState == Initializing;
      }
      const uint32_t state =
          FtSetStateFor(sets[s].type, orphaned, regenerating, initializing, uint32_t(sets[s].members.size()));
      if (state != current) {
        PutState(b, sets[s].at, state);
        current = state;
        ++changed;
      }
    }
    if (current != FtDisabled)
      for (auto& k : kept)
        if (k.type == sets[s].type && k.group == sets[s].group) k.mayBeStale = true;
  }
  *absent = std::move(kept);
  return changed;
}
