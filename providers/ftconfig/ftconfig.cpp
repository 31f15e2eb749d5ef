// FT sets made, changed and removed on an FTInfo. The FT part is laid out afresh from
// the sets kept plus the change, behind the unchanged header and disk part; the member
// records are then written through FTInfo's setters. Every result is checked as a whole
// blob before it is stored.
#include "ftconfig.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>

#include "configblob.h"
#include "diskreg.h"
#include "ftdisk.h"

namespace ftconfig {

namespace {

struct RawSet {
  _FT_DESCRIPTION head{};  // the member array of head is not used
  std::vector<_FT_MEMBER_DESCRIPTION> members;
};

bool Locate(const FTInfo& info, const PartitionRef& p, uint32_t* disk, uint32_t* partition,
            uint32_t* offset) {
  for (uint32_t d = 0; d < info.NumberOfDisks(); ++d) {
    _DISK_DESCRIPTION* desc = nullptr;
    if (!info.GetDiskInfo(d, &desc) || desc->Signature != p.signature) continue;
    for (uint32_t i = 0; i < desc->NumberOfPartitions; ++i) {
      _DISK_PARTITION* rec = nullptr;
      uint32_t off = 0;
      if (!info.GetPartitionInfo(d, i, &rec, &off)) break;
      if (rec->StartingOffset == p.offset && rec->Length == p.length) {
        *disk = d;
        *partition = i;
        if (offset) *offset = off;
        return true;
      }
    }
  }
  return false;
}

std::vector<RawSet> RawSets(const FTInfo& info) {
  std::vector<RawSet> sets;
  for (uint32_t v = 0; v < info.NumberOfFTVolumes(); ++v) {
    _FT_DESCRIPTION* d = nullptr;
    if (!info.GetVolumeInfo(v, &d)) break;
    RawSet s;
    std::memcpy(&s.head, d, kFtDescriptionHeaderSize);
    for (uint32_t m = 0; m < d->NumberOfMembers; ++m) {
      _FT_MEMBER_DESCRIPTION* md = nullptr;
      if (!info.GetMemberInfo(v, m, &md, nullptr)) break;
      s.members.push_back(*md);
    }
    sets.push_back(s);
  }
  return sets;
}

int FindRaw(const FTInfo& info, const std::vector<RawSet>& sets, uint32_t type, uint16_t group) {
  for (size_t v = 0; v < sets.size(); ++v) {
    if (sets[v].head.Type != type || sets[v].members.empty()) continue;
    _DISK_PARTITION* rec = nullptr;
    if (info.GetMemberInfo(static_cast<uint32_t>(v), 0, nullptr, &rec) && rec->FtGroup == group)
      return static_cast<int>(v);
  }
  return -1;
}

// Replaces info's FT part by sets; the header and disk part stay byte for byte.
bool Relayout(FTInfo& info, const std::vector<RawSet>& sets, std::string* error) {
  const _DISK_CONFIG_HEADER* h = info.Header();
  if (h == nullptr || h->DiskInformationSize == 0) {
    *error = "the configuration holds no disks yet";
    return false;
  }
  uint32_t ftStart = h->DiskInformationOffset + h->DiskInformationSize;
  if (h->FtInformationSize != 0 && h->FtInformationOffset >= ftStart) ftStart = h->FtInformationOffset;
  ftStart = (ftStart + 3) & ~3u;
  uint32_t ftSize = 0;
  if (!sets.empty()) {
    ftSize = kFtRegistryHeaderSize;
    for (const auto& s : sets) ftSize += FtDescriptionSize(static_cast<uint32_t>(s.members.size()));
  }
  std::vector<uint8_t> blob(ftStart + ftSize, 0);
  std::memcpy(blob.data(), info.Blob(), std::min<uint32_t>(ftStart, info.UsedLength()));
  _DISK_CONFIG_HEADER header;
  std::memcpy(&header, blob.data(), sizeof header);
  header.FtInformationOffset = ftStart;
  header.FtInformationSize = ftSize;
  std::memcpy(blob.data(), &header, sizeof header);
  if (ftSize != 0) {
    uint8_t* p = blob.data() + ftStart;
    const uint16_t count = static_cast<uint16_t>(sets.size());
    std::memcpy(p, &count, sizeof count);
    p += kFtRegistryHeaderSize;
    for (const auto& s : sets) {
      _FT_DESCRIPTION head = s.head;
      head.NumberOfMembers = static_cast<uint16_t>(s.members.size());
      std::memcpy(p, &head, kFtDescriptionHeaderSize);
      p += kFtDescriptionHeaderSize;
      for (const auto& m : s.members) {
        std::memcpy(p, &m, kFtMemberDescriptionSize);
        p += kFtMemberDescriptionSize;
      }
    }
  }
  FTInfo next;
  if (!next.Load(blob.data(), static_cast<uint32_t>(blob.size()))) {
    *error = "the changed configuration does not hold together: " + next.LastLoadError();
    return false;
  }
  info = next;
  return true;
}

// Takes a partition record that no FT member points to out of the disk part (and its
// disk's description when it was the only record), moving what follows it back.
bool DropRecord(FTInfo& info, const PartitionRef& where, std::string* error) {
  uint32_t d = 0, p = 0, at = 0;
  if (!Locate(info, where, &d, &p, &at)) return true;
  _DISK_DESCRIPTION* desc = nullptr;
  info.GetDiskInfo(d, &desc);
  const bool whole = desc->NumberOfPartitions == 1;
  const uint32_t from = whole ? at - kDiskDescriptionHeaderSize : at;
  const uint32_t size = kDiskPartitionSize + (whole ? kDiskDescriptionHeaderSize : 0);
  const uint32_t descAt = uint32_t(reinterpret_cast<const uint8_t*>(desc) - info.Blob());
  std::vector<uint8_t> blob(info.Blob(), info.Blob() + info.UsedLength());
  _DISK_CONFIG_HEADER h;
  std::memcpy(&h, blob.data(), sizeof h);
  if (whole) {
    uint16_t disks;
    std::memcpy(&disks, blob.data() + h.DiskInformationOffset, sizeof disks);
    --disks;
    std::memcpy(blob.data() + h.DiskInformationOffset, &disks, sizeof disks);
  } else {
    const uint16_t parts = uint16_t(desc->NumberOfPartitions - 1);
    std::memcpy(blob.data() + descAt, &parts, sizeof parts);
  }
  // Members point at records by their offset in the blob.
  for (const ftformat::SetAt& s : ftformat::WalkBlob(info.Blob(), info.UsedLength()).sets)
    for (const ftformat::MemberAt& m : s.members) {
      uint32_t target = m.md.OffsetToPartitionInfo;
      if (target == at) {
        *error = "the record to drop is a member's";
        return false;
      }
      if (target > at) target -= size;
      std::memcpy(blob.data() + m.at + offsetof(_FT_MEMBER_DESCRIPTION, OffsetToPartitionInfo), &target,
                  sizeof target);
    }
  h.DiskInformationSize -= size;
  if (h.FtInformationOffset > from) h.FtInformationOffset -= size;
  std::memcpy(blob.data(), &h, sizeof h);
  blob.erase(blob.begin() + from, blob.begin() + from + size);
  FTInfo next;
  if (!next.Load(blob.data(), uint32_t(blob.size()))) {
    *error = "the changed configuration does not hold together: " + next.LastLoadError();
    return false;
  }
  info = next;
  return true;
}

void MakePlain(FTInfo& info, uint32_t disk, uint32_t partition) {
  info.SetFtType(disk, partition, NotAnFtMember);
  info.SetFtPartitionState(disk, partition, Healthy);
  info.SetFtGroup(disk, partition, 0xFFFF);
  info.SetFtMember(disk, partition, 0);
}

}  // namespace

std::string TypeWord(uint32_t type) {
  switch (type) {
    case Mirror:
      return "mirror";
    case Stripe:
      return "stripe";
    case StripeWithParity:
      return "parity";
    case VolumeSet:
      return "volset";
    default:
      return "";
  }
}

std::string SetName(uint32_t type, uint16_t group) { return TypeWord(type) + std::to_string(group); }

bool TypeFromWord(const std::string& word, uint32_t* type) {
  for (uint32_t t : {Mirror, Stripe, StripeWithParity, VolumeSet})
    if (word == TypeWord(t)) {
      *type = t;
      return true;
    }
  return false;
}

std::vector<SetView> Sets(const FTInfo& info) {
  std::vector<SetView> out;
  for (uint32_t v = 0; v < info.NumberOfFTVolumes(); ++v) {
    _FT_DESCRIPTION* d = nullptr;
    if (!info.GetVolumeInfo(v, &d)) break;
    SetView s;
    s.type = d->Type;
    s.state = d->FtVolumeState;
    for (uint32_t m = 0; m < d->NumberOfMembers; ++m) {
      _FT_MEMBER_DESCRIPTION* md = nullptr;
      _DISK_PARTITION* rec = nullptr;
      if (!info.GetMemberInfo(v, m, &md, &rec)) break;
      if (m == 0) s.group = rec->FtGroup;
      s.members.push_back({{md->Signature, rec->StartingOffset, rec->Length},
                           rec->FtState,
                           rec->DriveLetter,
                           rec->AssignDriveLetter});
    }
    out.push_back(s);
  }
  return out;
}

bool FindSet(const FTInfo& info, uint32_t type, uint16_t group, SetView* set) {
  for (const auto& s : Sets(info))
    if (s.type == type && s.group == group && !s.members.empty()) {
      *set = s;
      return true;
    }
  return false;
}

uint16_t FreeGroup(const FTInfo& info, uint32_t type) {
  std::set<uint16_t> used;
  for (const auto& s : Sets(info))
    if (s.type == type) used.insert(s.group);
  uint16_t g = 0;
  while (used.count(g)) ++g;
  return g;
}

uint32_t SetStateFor(uint32_t type, const std::vector<uint32_t>& memberStates) {
  uint32_t orphaned = 0, regenerating = 0, initializing = 0;
  for (uint32_t s : memberStates) {
    orphaned += s == Orphaned;
    regenerating += s == Regenerating;
    initializing += s == Initializing;
  }
  return FtSetStateFor(type, orphaned, regenerating, initializing, uint32_t(memberStates.size()));
}

std::string CheckNewSet(const FTInfo& info, uint32_t type, const std::vector<Candidate>& members) {
  const size_t n = members.size();
  switch (type) {
    case Mirror:
      if (n != 2) return "a mirror has exactly two members";
      break;
    case Stripe:
      if (n < 2 || n > kMaxMembers) return "a stripe set has 2 to 32 members";
      break;
    case StripeWithParity:
      if (n < 3 || n > kMaxMembers) return "a stripe set with parity has 3 to 32 members";
      break;
    case VolumeSet:
      if (n < 1 || n > kMaxMembers) return "a volume set has 1 to 32 members";
      break;
    default:
      return "unknown FT set type";
  }
  std::set<unsigned> disks;
  for (size_t i = 0; i < n; ++i) {
    const Candidate& c = members[i];
    if ((type == Mirror || type == StripeWithParity) && !disks.insert(c.disk).second)
      return "the members of a " + std::string(type == Mirror ? "mirror" : "stripe set with parity") +
             " must be on different disks (" + c.name + " shares disk " + std::to_string(c.disk) + ")";
    if ((type == Stripe || type == VolumeSet) && c.bootOrSystem)
      return c.name + " is the boot or system partition, which cannot be part of a " +
             (type == Stripe ? "stripe set" : "volume set");
    for (size_t j = 0; j < i; ++j)
      if (members[j].where.signature == c.where.signature && members[j].where.offset == c.where.offset)
        return c.name + " is named twice";
    for (const auto& s : Sets(info))
      for (const auto& m : s.members)
        if (m.where.signature == c.where.signature && m.where.offset == c.where.offset &&
            m.where.length == c.where.length)
          return c.name + " already belongs to " + TypeWord(s.type) + std::to_string(s.group);
  }
  return "";
}

bool AddSet(FTInfo& info, uint32_t type, uint16_t group, const std::vector<PartitionRef>& members,
            uint32_t memberState, std::string* error) {
  std::vector<RawSet> sets = RawSets(info);
  if (FindRaw(info, sets, type, group) >= 0) {
    *error = TypeWord(type) + std::to_string(group) + " exists already";
    return false;
  }
  RawSet s;
  s.head.Type = static_cast<uint16_t>(type);
  std::vector<std::pair<uint32_t, uint32_t>> where;
  for (const auto& m : members) {
    uint32_t d = 0, p = 0, off = 0;
    if (!Locate(info, m, &d, &p, &off)) {
      *error = "a member's partition has no record in the configuration (rescan first)";
      return false;
    }
    _DISK_PARTITION* rec = nullptr;
    info.GetPartitionInfo(d, p, &rec, nullptr);
    _FT_MEMBER_DESCRIPTION md{};
    md.State = static_cast<uint16_t>(memberState);
    md.Signature = m.signature;
    md.OffsetToPartitionInfo = off;
    md.LogicalNumber = rec->LogicalNumber;
    s.members.push_back(md);
    where.push_back({d, p});
  }
  s.head.FtVolumeState = SetStateFor(type, std::vector<uint32_t>(members.size(), memberState));
  sets.push_back(s);
  FTInfo next;
  next = info;
  if (!Relayout(next, sets, error)) return false;
  // The set takes member 0's letter; the others record it too but ask for none.
  _DISK_PARTITION* first = nullptr;
  next.GetPartitionInfo(where[0].first, where[0].second, &first, nullptr);
  const uint8_t letter = first->DriveLetter;
  const int assign = first->AssignDriveLetter;
  for (size_t i = 0; i < where.size(); ++i) {
    const auto [d, p] = where[i];
    next.SetFtType(d, p, type);
    next.SetFtPartitionState(d, p, memberState);
    next.SetFtGroup(d, p, group);
    next.SetFtMember(d, p, static_cast<uint16_t>(i));
    next.SetDriveLetter(d, p, letter);
    next.SetAssignDriveLetter(d, p, i == 0 ? assign : 0);
  }
  info = next;
  return true;
}

bool RemoveSet(FTInfo& info, uint32_t type, uint16_t group, std::string* error, unsigned keeper) {
  std::vector<RawSet> sets = RawSets(info);
  const int v = FindRaw(info, sets, type, group);
  if (v < 0) {
    *error = "there is no " + TypeWord(type) + std::to_string(group);
    return false;
  }
  SetView view;
  FindSet(info, type, group, &view);
  if (keeper >= view.members.size()) {
    *error = TypeWord(type) + std::to_string(group) + " has no member " + std::to_string(keeper);
    return false;
  }
  sets.erase(sets.begin() + v);
  FTInfo next;
  next = info;
  if (!Relayout(next, sets, error)) return false;
  // The set's letter and assign flag are member 0's.
  const uint8_t letter = view.members[0].letter;
  const int assign = view.members[0].assign;
  for (size_t i = 0; i < view.members.size(); ++i) {
    uint32_t d = 0, p = 0;
    if (!Locate(next, view.members[i].where, &d, &p, nullptr)) continue;
    MakePlain(next, d, p);
    next.SetDriveLetter(d, p, i == keeper ? letter : ' ');
    next.SetAssignDriveLetter(d, p, i == keeper ? assign : 0);
  }
  info = next;
  return true;
}

bool ReplaceMember(FTInfo& info, uint32_t type, uint16_t group, unsigned member, const PartitionRef& by,
                   uint32_t state, bool dropGone, std::string* error) {
  std::vector<RawSet> sets = RawSets(info);
  const int v = FindRaw(info, sets, type, group);
  SetView view;
  if (v < 0 || !FindSet(info, type, group, &view)) {
    *error = "there is no " + TypeWord(type) + std::to_string(group);
    return false;
  }
  if (member >= view.members.size()) {
    *error = TypeWord(type) + std::to_string(group) + " has no member " + std::to_string(member);
    return false;
  }
  uint32_t d = 0, p = 0, off = 0;
  if (!Locate(info, by, &d, &p, &off)) {
    *error = "the new member's partition has no record in the configuration (rescan first)";
    return false;
  }
  _DISK_PARTITION* rec = nullptr;
  info.GetPartitionInfo(d, p, &rec, nullptr);
  if (rec->FtType != NotAnFtMember) {
    *error = "the new member's partition belongs to an FT set already";
    return false;
  }
  _FT_MEMBER_DESCRIPTION& md = sets[v].members[member];
  md.Signature = by.signature;
  md.OffsetToPartitionInfo = off;
  md.LogicalNumber = rec->LogicalNumber;
  std::vector<uint32_t> states;
  for (size_t i = 0; i < view.members.size(); ++i)
    states.push_back(i == member ? state : view.members[i].state);
  sets[v].head.FtVolumeState = SetStateFor(type, states);
  FTInfo next;
  next = info;
  if (!Relayout(next, sets, error)) return false;
  uint32_t od = 0, op = 0;
  if (Locate(next, view.members[member].where, &od, &op, nullptr)) {
    MakePlain(next, od, op);
    next.SetDriveLetter(od, op, ' ');
    next.SetAssignDriveLetter(od, op, 0);
  }
  next.SetFtType(d, p, type);
  next.SetFtPartitionState(d, p, state);
  next.SetFtGroup(d, p, group);
  next.SetFtMember(d, p, static_cast<uint16_t>(member));
  next.SetDriveLetter(d, p, view.members[0].letter);
  next.SetAssignDriveLetter(d, p, member == 0 ? view.members[0].assign : 0);
  if (dropGone && view.members[member].where != by && !DropRecord(next, view.members[member].where, error))
    return false;
  info = next;
  return true;
}

bool AppendMember(FTInfo& info, uint32_t type, uint16_t group, const PartitionRef& member,
                  std::string* error) {
  std::vector<RawSet> sets = RawSets(info);
  const int v = FindRaw(info, sets, type, group);
  if (v < 0) {
    *error = "there is no " + TypeWord(type) + std::to_string(group);
    return false;
  }
  if (sets[v].members.size() >= kMaxMembers) {
    *error = "the set has 32 members already";
    return false;
  }
  uint32_t d = 0, p = 0, off = 0;
  if (!Locate(info, member, &d, &p, &off)) {
    *error = "the new member's partition has no record in the configuration (rescan first)";
    return false;
  }
  _DISK_PARTITION* rec = nullptr;
  info.GetPartitionInfo(d, p, &rec, nullptr);
  _FT_MEMBER_DESCRIPTION md{};
  md.Signature = member.signature;
  md.OffsetToPartitionInfo = off;
  md.LogicalNumber = rec->LogicalNumber;
  sets[v].members.push_back(md);
  const uint16_t index = static_cast<uint16_t>(sets[v].members.size() - 1);
  SetView view;
  FindSet(info, type, group, &view);
  FTInfo next;
  next = info;
  if (!Relayout(next, sets, error)) return false;
  next.SetFtType(d, p, type);
  next.SetFtPartitionState(d, p, Healthy);
  next.SetFtGroup(d, p, group);
  next.SetFtMember(d, p, index);
  next.SetDriveLetter(d, p, view.members[0].letter);
  next.SetAssignDriveLetter(d, p, 0);
  info = next;
  return true;
}

bool SetMemberState(FTInfo& info, uint32_t type, uint16_t group, int member, uint32_t state,
                    std::string* error) {
  SetView view;
  if (!FindSet(info, type, group, &view)) {
    *error = "there is no " + TypeWord(type) + std::to_string(group);
    return false;
  }
  if (member >= static_cast<int>(view.members.size())) {
    *error = TypeWord(type) + std::to_string(group) + " has no member " + std::to_string(member);
    return false;
  }
  std::vector<uint32_t> states;
  for (size_t i = 0; i < view.members.size(); ++i) {
    uint32_t s = view.members[i].state;
    if (member < 0 || static_cast<int>(i) == member) {
      uint32_t d = 0, p = 0;
      if (!Locate(info, view.members[i].where, &d, &p, nullptr)) {
        *error = "member " + std::to_string(i) + " has no record";
        return false;
      }
      info.SetFtPartitionState(d, p, state);
      s = state;
    }
    states.push_back(s);
  }
  return SetSetState(info, type, group, SetStateFor(type, states), error);
}

bool SetSetState(FTInfo& info, uint32_t type, uint16_t group, uint32_t state, std::string* error) {
  std::vector<RawSet> sets = RawSets(info);
  const int v = FindRaw(info, sets, type, group);
  if (v < 0) {
    *error = "there is no " + TypeWord(type) + std::to_string(group);
    return false;
  }
  _FT_DESCRIPTION* d = nullptr;
  if (!info.GetVolumeInfo(static_cast<uint32_t>(v), &d)) return false;
  d->FtVolumeState = state;
  return true;
}

std::string MemberSizesProblem(uint32_t type, const std::vector<int64_t>& lengths, int64_t cylinder) {
  if (type == VolumeSet || lengths.size() < 2) return "";
  const auto [low, high] = std::minmax_element(lengths.begin(), lengths.end());
  if (*high - *low < cylinder) return "";
  return "its members differ in size by " + std::to_string(*high - *low) + " bytes (" + std::to_string(*low) +
         " to " + std::to_string(*high) + "), a cylinder (" + std::to_string(cylinder) + " bytes) or more";
}

bool PlaceRequest(int64_t freeOffset, int64_t freeLength, int64_t request, int64_t track, int64_t cylinder,
                  Placement* placement, RegionKind kind) {
  if (request <= 0 || request > freeLength || track <= 0 || cylinder <= 0) return false;
  int64_t offset = freeOffset, room = freeLength, length = request;
  if (offset == 0) {
    const int64_t skip = kind == RegionKind::Extended ? cylinder : track;
    offset = skip;
    room -= skip;
  }
  const int64_t r = (offset + length) % cylinder;
  if (r != 0) length += r > cylinder / 2 ? cylinder - r : -r;
  length = std::min(length, room);
  if (length <= 0 || (kind == RegionKind::Logical && length <= track)) return false;
  *placement = {freeOffset, request, offset, length};
  return true;
}

bool PlaceAtLeast(int64_t freeOffset, int64_t freeLength, int64_t wanted, int64_t track, int64_t cylinder,
                  Placement* placement) {
  if (wanted <= 0 || track <= 0 || cylinder <= 0) return false;
  const int64_t start = freeOffset == 0 ? track : freeOffset;
  const int64_t end = (start + wanted + cylinder - 1) / cylinder * cylinder;
  Placement p;
  for (int64_t request : {end - start, freeLength})
    if (PlaceRequest(freeOffset, freeLength, request, track, cylinder, &p) && p.length >= wanted) {
      *placement = p;
      return true;
    }
  return false;
}

bool Read(FTInfo* info, std::string* error) {
  FtMutexHold hold;
  if (!hold.held()) {
    *error = "the FT mutex cannot be obtained";
    return false;
  }
  if (info->Load(nullptr, 0)) return true;
  if (info->LastLoadResult() == FTLoadResult::NotStored) return true;
  *error = info->LastLoadResult() == FTLoadResult::Malformed
               ? "the stored configuration is malformed: " + info->LastLoadError()
               : std::string("the stored configuration cannot be read");
  return false;
}

bool Update(const std::function<bool(FTInfo&, std::string*)>& change, std::string* error) {
  FtMutexHold hold;
  if (!hold.held()) {
    *error = "the FT mutex cannot be obtained";
    return false;
  }
  FTInfo info;
  if (!info.Load(nullptr, 0)) {
    *error = info.LastLoadResult() == FTLoadResult::NotStored
                 ? std::string("no FT configuration is stored yet")
             : info.LastLoadResult() == FTLoadResult::Malformed
                 ? "the stored configuration is malformed and is left alone: " + info.LastLoadError()
                 : std::string("the stored configuration cannot be read");
    return false;
  }
  if (!change(info, error)) return false;
  std::string why;
  if (!DiskRegistryValidate(info.Blob(), info.UsedLength(), &why)) {
    *error = "the changed configuration does not hold together: " + why;
    return false;
  }
  if (!info.Store()) {
    *error = "the configuration cannot be written to the registry";
    return false;
  }
  return true;
}

}  // namespace ftconfig
