// The walk over a blob's records, the configuration view built from it, the builder and
// the names of stored values.
#include "configblob.h"

#include <algorithm>
#include <cstring>

namespace ftformat {

namespace {

// Reads little-endian fields, refusing anything past the end.
struct Reader {
  const uint8_t* data;
  size_t size;
  bool Has(uint64_t at, uint64_t len) const { return at <= size && len <= size - at; }
  template <typename T>
  T Get(uint64_t at) const {
    T v{};
    std::memcpy(&v, data + at, sizeof v);
    return v;
  }
};

}  // namespace

BlobWalk WalkBlob(const uint8_t* data, size_t size) {
  BlobWalk w;
  Reader r{data, size};
  if (data == nullptr || !r.Has(0, kDiskConfigHeaderSize)) return w;
  w.hasHeader = true;
  const _DISK_CONFIG_HEADER h = w.header = r.Get<_DISK_CONFIG_HEADER>(0);
  if (h.DiskInformationSize > 0 && r.Has(h.DiskInformationOffset, kDiskRegistryHeaderSize)) {
    const uint64_t end = std::min<uint64_t>(size, uint64_t{h.DiskInformationOffset} + h.DiskInformationSize);
    const uint16_t n = r.Get<uint16_t>(h.DiskInformationOffset);
    uint64_t pos = uint64_t{h.DiskInformationOffset} + kDiskRegistryHeaderSize;
    for (uint16_t d = 0; d < n && pos + kDiskDescriptionHeaderSize <= end; ++d) {
      const DiskAt disk{pos, r.Get<uint32_t>(pos + 4), r.Get<uint16_t>(pos)};
      pos += kDiskDescriptionHeaderSize;
      for (uint16_t p = 0; p < disk.count && pos + kDiskPartitionSize <= end; ++p) {
        w.partitions.push_back({pos, w.disks.size(), p, r.Get<_DISK_PARTITION>(pos)});
        pos += kDiskPartitionSize;
      }
      w.disks.push_back(disk);
    }
  }
  if (h.FtInformationSize > 0 && r.Has(h.FtInformationOffset, kFtRegistryHeaderSize)) {
    const uint64_t end = std::min<uint64_t>(size, uint64_t{h.FtInformationOffset} + h.FtInformationSize);
    const uint16_t n = r.Get<uint16_t>(h.FtInformationOffset);
    uint64_t pos = uint64_t{h.FtInformationOffset} + kFtRegistryHeaderSize;
    for (uint16_t s = 0; s < n && pos + kFtDescriptionHeaderSize <= end; ++s) {
      SetAt set;
      set.at = pos;
      set.count = r.Get<uint16_t>(pos);
      set.type = r.Get<uint16_t>(pos + offsetof(_FT_DESCRIPTION, Type));
      set.state = r.Get<uint32_t>(pos + offsetof(_FT_DESCRIPTION, FtVolumeState));
      pos += kFtDescriptionHeaderSize;
      for (uint16_t m = 0; m < set.count && pos + kFtMemberDescriptionSize <= end; ++m) {
        MemberAt member{pos, r.Get<_FT_MEMBER_DESCRIPTION>(pos)};
        // Records lie in ascending order: a binary search finds an exact record start.
        auto it = std::lower_bound(w.partitions.begin(), w.partitions.end(),
                                   uint64_t{member.md.OffsetToPartitionInfo},
                                   [](const PartitionAt& p, uint64_t at) { return p.at < at; });
        if (it != w.partitions.end() && it->at == member.md.OffsetToPartitionInfo)
          member.record = size_t(it - w.partitions.begin());
        set.members.push_back(member);
        pos += kFtMemberDescriptionSize;
      }
      if (!set.members.empty() && set.members[0].record != MemberAt::kNone)
        set.group = w.partitions[set.members[0].record].rec.FtGroup;
      w.sets.push_back(std::move(set));
    }
  }
  return w;
}

bool ReadConfigView(const uint8_t* blob, size_t size, ConfigView* view, std::string* why) {
  *view = ConfigView{};
  if (!DiskRegistryValidate(blob, size, why)) return false;
  const BlobWalk w = WalkBlob(blob, size);
  for (const DiskAt& d : w.disks) view->disks.push_back(d.signature);
  for (const PartitionAt& p : w.partitions) {
    const _DISK_PARTITION& r = p.rec;
    view->records.push_back({w.disks[p.disk].signature, r.StartingOffset, r.Length, r.FtType, r.FtState,
                             r.DriveLetter, r.AssignDriveLetter, r.FtGroup, r.FtMember});
  }
  for (const SetAt& s : w.sets) {
    ConfigSet set{s.type, s.state, s.group, {}};
    // The validator made sure every member points at a record.
    for (const MemberAt& m : s.members) set.members.push_back(m.record);
    view->sets.push_back(std::move(set));
  }
  return true;
}

ImportLosses ConfigImportLosses(const ConfigView& current, const ConfigView& incoming,
                                const std::vector<uint32_t>& here) {
  ImportLosses out;
  for (const ConfigSet& old : current.sets) {
    const bool kept = std::any_of(incoming.sets.begin(), incoming.sets.end(), [&](const ConfigSet& n) {
      return n.type == old.type && n.group == old.group && n.members.size() == old.members.size();
    });
    if (!kept) out.sets.push_back(old);
  }
  for (uint32_t sig : incoming.disks)
    if (std::find(here.begin(), here.end(), sig) == here.end()) out.absentDisks.push_back(sig);
  return out;
}

std::vector<uint8_t> BuildBlob(const std::vector<BlobDisk>& disks, const std::vector<BlobSet>& sets) {
  std::vector<uint8_t> out(kDiskConfigHeaderSize + kDiskRegistryHeaderSize, 0);
  // Offsets of every partition record, to point the FT members at them.
  std::vector<std::vector<uint32_t>> recordAt(disks.size());
  _DISK_REGISTRY reg{};
  reg.NumberOfDisks = static_cast<uint16_t>(disks.size());
  std::memcpy(out.data() + kDiskConfigHeaderSize, &reg, kDiskRegistryHeaderSize);
  for (size_t d = 0; d < disks.size(); ++d) {
    _DISK_DESCRIPTION desc{};
    desc.NumberOfPartitions = static_cast<uint16_t>(disks[d].partitions.size());
    desc.Signature = disks[d].signature;
    size_t at = out.size();
    out.resize(at + kDiskDescriptionHeaderSize);
    std::memcpy(out.data() + at, &desc, kDiskDescriptionHeaderSize);
    for (const BlobPartition& p : disks[d].partitions) {
      _DISK_PARTITION rec{};
      rec.FtType = p.ftType;
      rec.FtState = p.ftState;
      rec.StartingOffset = p.offset;
      rec.Length = p.length;
      rec.FtLength = p.ftLength;
      rec.DriveLetter = p.letter;
      rec.AssignDriveLetter = p.assign;
      rec.LogicalNumber = p.number;
      rec.FtGroup = p.group;
      rec.FtMember = p.member;
      size_t pat = out.size();
      recordAt[d].push_back(static_cast<uint32_t>(pat));
      out.resize(pat + kDiskPartitionSize);
      std::memcpy(out.data() + pat, &rec, kDiskPartitionSize);
    }
  }
  const uint32_t diskSize = static_cast<uint32_t>(out.size() - kDiskConfigHeaderSize);
  uint32_t ftSize = 0;
  if (!sets.empty()) {
    size_t ftAt = out.size();
    _FT_REGISTRY ft{};
    ft.NumberOfComponents = static_cast<uint16_t>(sets.size());
    out.resize(ftAt + kFtRegistryHeaderSize);
    std::memcpy(out.data() + ftAt, &ft, kFtRegistryHeaderSize);
    for (const BlobSet& s : sets) {
      std::vector<_FT_MEMBER_DESCRIPTION> members;
      for (const BlobMember& m : s.members) {
        if (m.disk >= disks.size() || m.partition >= disks[m.disk].partitions.size()) continue;
        _FT_MEMBER_DESCRIPTION md{};
        md.State = static_cast<uint16_t>(disks[m.disk].partitions[m.partition].ftState);
        md.Signature = disks[m.disk].signature;
        md.OffsetToPartitionInfo = recordAt[m.disk][m.partition];
        md.LogicalNumber = disks[m.disk].partitions[m.partition].number;
        members.push_back(md);
      }
      _FT_DESCRIPTION fd{};
      fd.NumberOfMembers = static_cast<uint16_t>(members.size());
      fd.Type = s.type;
      fd.FtVolumeState = s.state;
      size_t at = out.size();
      out.resize(at + kFtDescriptionHeaderSize + kFtMemberDescriptionSize * members.size());
      std::memcpy(out.data() + at, &fd, kFtDescriptionHeaderSize);
      if (!members.empty())
        std::memcpy(out.data() + at + kFtDescriptionHeaderSize, members.data(),
                    kFtMemberDescriptionSize * members.size());
    }
    ftSize = static_cast<uint32_t>(out.size() - ftAt);
  }
  _DISK_CONFIG_HEADER h{};
  h.Version = 3;
  h.DiskInformationOffset = kDiskConfigHeaderSize;
  h.DiskInformationSize = diskSize;
  h.FtInformationOffset = kDiskConfigHeaderSize + diskSize;
  h.FtInformationSize = ftSize;
  std::memcpy(out.data(), &h, kDiskConfigHeaderSize);
  return out;
}

std::string FtTypeName(uint32_t type) {
  switch (type) {
    case Mirror:
      return "mirror";
    case Stripe:
      return "stripe";
    case StripeWithParity:
      return "stripe_with_parity";
    case VolumeSet:
      return "volume_set";
    case NotAnFtMember:
      return "none";
    case WholeDisk:
      return "whole_disk";
    default:
      return "type_" + std::to_string(type);
  }
}

std::string FtStateName(uint32_t state) {
  switch (state) {
    case FtStateOk:
      return "ok";
    case FtHasOrphan:
      return "has_orphan";
    case FtDisabled:
      return "disabled";
    case FtRegenerating:
      return "regenerating";
    case FtInitializing:
      return "initializing";
    case FtCheckParity:
      return "check_parity";
    default:
      return "state_" + std::to_string(state);
  }
}

std::string FtPartitionStateName(uint32_t state) {
  switch (state) {
    case Healthy:
      return "healthy";
    case Orphaned:
      return "orphaned";
    case Regenerating:
      return "regenerating";
    case Initializing:
      return "initializing";
    default:
      return "state_" + std::to_string(state);
  }
}

std::string FtSetName(uint32_t type, uint16_t group) {
  const char* kind = type == Mirror             ? "mirror"
                     : type == Stripe           ? "stripe"
                     : type == StripeWithParity ? "parity"
                     : type == VolumeSet        ? "volset"
                                                : "ft";
  return kind + std::to_string(group);
}

}  // namespace ftformat
