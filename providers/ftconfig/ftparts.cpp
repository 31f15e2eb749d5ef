#include "ftparts.h"

#include <cstdio>

#include "diskconfig.h"
#include "ftmap.h"
#include "machine.h"
#include "ntplatform.h"

namespace ftconfig {

namespace {

using model::Disk;
using model::Machine;
using model::Region;

// Exact offset and length of a partition device, as the configuration records them.
bool DeviceExtent(const std::u16string& device, int64_t* offset, int64_t* length) {
  HANDLE h = nullptr;
  if (!NT_SUCCESS(zm::OpenDevice(device, GENERIC_READ, &h))) return false;
  IO_STATUS_BLOCK iosb{};
  PARTITION_INFORMATION pi{};
  bool ok = NT_SUCCESS(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb,
                                             IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &pi, sizeof pi));
  NtClose(h);
  *offset = pi.StartingOffset.QuadPart;
  *length = pi.PartitionLength.QuadPart;
  return ok;
}

ntp::Status PartFromRegion(const Disk& disk, const Region& r, Part* p) {
  p->disk = disk.index.value_or(0);
  p->name = r.name.empty() ? "?" : r.name;
  if (!r.device) return ntp::Status(0, p->name + " has no device");
  p->device = zm::Widen(*r.device);
  p->where.signature = static_cast<uint32_t>(disk.signature);
  if (!DeviceExtent(p->device, &p->where.offset, &p->where.length))
    return ntp::Status(0, p->name + " cannot be opened");
  p->volume = r.volume;
  // The active partition is the one the machine boots from; nothing else on these
  // disks says where a system lives.
  p->bootOrSystem = r.Active();
  p->hasLetter = r.driveLetter && !r.driveLetter->empty();
  return ntp::Status();
}

// The first region of the machine that matches, with its disk.
template <class F>
bool FindRegionWhere(const Machine& m, F&& match, const Disk** disk, const Region** region) {
  for (const Disk& d : m.disks) {
    *region = nullptr;
    d.ForEachRegion([&](const Region& r) {
      if (!*region && match(r)) *region = &r;
    });
    if (*region) return *disk = &d, true;
  }
  return false;
}

}  // namespace

Candidate AsCandidate(const Part& p) { return {p.where, p.disk, p.bootOrSystem, p.name}; }

ntp::Status FindPart(const Machine& m, const std::string& text, Part* p) {
  model::VolumeSpec spec;
  std::string error;
  if (!model::ParseVolumeSpec(text, &spec, &error)) return ntp::Status(0, error);
  ZM_OBJECT_ID volume = 0;
  const Region* named = nullptr;
  if (spec.kind == model::VolumeSpec::Partition && !(named = m.FindRegion(spec, text, &error)))
    return ntp::Status(0, error);
  if (spec.kind != model::VolumeSpec::Partition) {
    volume = m.ResolveVolume(text, false, &error);
    if (volume == 0) return ntp::Status(0, error);
  }
  const Disk* d = nullptr;
  const Region* r = nullptr;
  if (FindRegionWhere(
          m,
          [&](const Region& x) {
            return x.IsPartition() && (named != nullptr ? &x == named : x.volume != 0 && x.volume == volume);
          },
          &d, &r))
    return PartFromRegion(*d, *r, p);
  return ntp::Status(0, "'" + text + "' names no partition");
}

ntp::Status RefreshPart(const Machine& m, Part* p) {
  const Disk* d = nullptr;
  const Region* r = nullptr;
  if (FindRegionWhere(
          m, [&](const Region& x) { return x.device && zm::Widen(*x.device) == p->device; }, &d, &r))
    return PartFromRegion(*d, *r, p);
  return ntp::Status(0, "the partition " + zm::Narrow(p->device) + " is gone");
}

bool FindPartAt(const PartitionRef& where, Part* p) {
  std::u16string device;
  if (!ntp::ftmap::FindPartitionDevice(where.signature, where.offset, where.length, &device)) return false;
  p->device = device;
  return RefreshPart(Machine::Read(), p).ok();
}

ZM_OBJECT_ID VolumeOfPartition(const PartitionRef& where) {
  Part p;
  return FindPartAt(where, &p) ? p.volume : 0;
}

ZM_OBJECT_ID SetVolume(const Machine& m, const std::string& set) {
  for (const model::Volume& v : m.volumes)
    if (v.IsFtSet() && v.name == set) return v.id;
  return 0;
}

std::string SignatureProblem(const Machine& m, unsigned disk) {
  const Disk* d = m.FindDisk(disk);
  if (d == nullptr) return "there is no disk " + std::to_string(disk);
  const uint64_t signature = d->signature;
  bool shared = false;
  for (const Disk& other : m.disks)
    if (&other != d && other.signature == signature) shared = true;
  if (signature != 0 && !shared) return "";
  return "disk " + std::to_string(disk) +
         (signature == 0 ? " has no disk signature" : " shares its signature with another disk") +
         ", so an FT set cannot record it; give it a unique one first (ftdiskctl attach --write-signature "
         "IMAGE)";
}

std::string SignaturesProblem(const Machine& m, const std::vector<unsigned>& disks) {
  for (unsigned d : disks)
    if (std::string why = SignatureProblem(m, d); !why.empty()) return why;
  return "";
}

std::string ReadOnlyDisksProblem(const std::vector<unsigned>& disks) {
  for (unsigned d : disks)
    if (std::string why = ntp::WriteRefusal(d); !why.empty()) return why;
  return "";
}

std::string TargetDisksProblem(const Machine& m, const std::vector<unsigned>& disks) {
  if (std::string why = ReadOnlyDisksProblem(disks); !why.empty()) return why;
  const auto damaged = ntp::DamagedDisks();
  for (unsigned d : disks) {
    for (const auto& x : damaged)
      if (x.index == d) return x.reason + "; choose another disk";
    if (const Disk* disk = m.FindDisk(d); disk && disk->readOnly)
      return "disk " + std::to_string(d) + ": " + *disk->readOnly + "; choose another disk";
  }
  return "";
}

// A member still initializing holds its data stripes but not a parity (or a copy) that
// was ever made whole, and a rebuild from it would invent the member's bytes.
std::string RebuildSourcesProblem(const SetView& view, unsigned member) {
  for (size_t i = 0; i < view.members.size(); ++i) {
    const uint32_t state = view.members[i].state;
    if (i == member || state == Healthy) continue;
    if (state == Initializing)
      return "member " + std::to_string(i) + " is initializing: the set's " +
             (view.type == Mirror ? "copy" : "parity") + " was never made whole, so member " +
             std::to_string(member) + " cannot be rebuilt from it";
    return "member " + std::to_string(i) + " does not hold its data either; nothing to rebuild from";
  }
  return "";
}

ntp::Status CreatePartition(zm::Session& s, unsigned diskIndex, int64_t offset, int64_t size, Part* made) {
  const Machine before = Machine::Read();
  const Disk* disk = before.FindDisk(diskIndex);
  if (!disk) return ntp::Status(0, "there is no disk " + std::to_string(diskIndex));
  zm::PropSet in, out;
  in.AddU64("OFFSET_LL", uint64_t(offset));
  in.AddU64("LENGTH_LL", uint64_t(size));
  in.AddU32("REGION_TYPE", 1);
  ZM_OBJECT_ID rid = 0;
  ZMSTATUS st = s.Control(disk->id, OPCLASS_LAYOUT, OP_CREATE_PARTITION, in.get(), out.get(), &rid);
  uint64_t volume = 0;
  const std::string what = "cannot create a partition on disk " + std::to_string(diskIndex);
  if (st != 0) return ntp::Status(st, what);
  // A success that names no new partition is not taken for one.
  if (!out.FindU64("MEMBERID", &volume) || volume == 0)
    return ntp::Status(0, what + ": the provider named no new partition");
  const Machine after = Machine::Read();
  const Disk* d = nullptr;
  const Region* r = nullptr;
  if (FindRegionWhere(
          after, [&](const Region& x) { return x.volume != 0 && x.volume == volume; }, &d, &r))
    return PartFromRegion(*d, *r, made);
  return ntp::Status(0, "the new partition was not published");
}

ntp::Status DeletePart(zm::Session& s, const Part& p) {
  const ZMSTATUS st = DeletePartition(s, p.volume);
  return st == 0 ? ntp::Status() : ntp::Status(st, "cannot delete " + p.name);
}

ntp::Status MakePlanned(zm::Session& s, const Intent::Part& plan, Part* made) {
  if (FindPartAt(plan.where, made)) {
    if (!InAnySet(plan.where)) return ntp::Status();
    return ntp::Status(0, made->name + ", where this request planned its partition, belongs to an FT set");
  }
  const int disk = DiskWithSignature(plan.where.signature);
  if (disk < 0)
    return ntp::Status(
        0, "the disk with signature " + ntp::HexCode(plan.where.signature) + " is not on this machine");
  if (ntp::Status st = CreatePartition(s, unsigned(disk), plan.freeOffset, plan.request, made); !st.ok())
    return st;
  if (made->where == plan.where) return ntp::Status();
  DeletePart(s, *made);
  return ntp::Status(0, "the provider placed the partition on disk " + std::to_string(disk) + " at " +
                            std::to_string(made->where.offset) + " (" + std::to_string(made->where.length) +
                            " bytes), not where this request planned it; it was deleted again");
}

// A partition that an interrupted run made may have no record yet, which a rescan
// writes first.
ntp::Status DropLetter(zm::Session& s, Part* p) {
  auto drop = [&] {
    const ZMSTATUS st = SetLetter(s, p->volume, 0);
    return st == 0 ? ntp::Status() : ntp::Status(st, "cannot remove a drive letter");
  };
  if (!RefreshPart(Machine::Read(), p).ok() || !p->hasLetter || drop().ok()) return ntp::Status();
  Publish(s);
  if (!RefreshPart(Machine::Read(), p).ok() || !p->hasLetter) return ntp::Status();
  return drop();
}

ntp::Status DeleteMembers(zm::Session& s, const Intent& intent, const std::string& members,
                          std::string* done) {
  std::string away;
  for (size_t i = intent.parts.size(); i-- > 0;) {
    Part p;
    const bool here = FindPartAt(intent.parts[i].where, &p);
    if (!here) away = " " + std::to_string(i) + (away.empty() ? "" : ",") + away;
    if (!here || InAnySet(intent.parts[i].where)) continue;
    p.name = "member " + std::to_string(i) + " (" + p.name + ")";
    if (ntp::Status st = DeletePart(s, p); !st.ok()) return st;
  }
  *done = "deleted " + SetName(intent.type, intent.group) + " and its partitions" +
          (members.empty() ? "" : " " + members) +
          (away.empty() ? "" : "; the partitions of member" + away + " were not on the disks and are left");
  return ntp::Status();
}

ntp::Status GiveBrokenMirrorLetters(zm::Session& s, const SetView& view, unsigned keeper) {
  auto assign = [&](ZM_OBJECT_ID volume, char letter) {
    const ZMSTATUS st = SetLetter(s, volume, letter);
    return st == 0 ? ntp::Status() : ntp::Status(st, "cannot assign a drive letter");
  };
  const unsigned other = keeper == 0 ? 1 : 0;
  const ZM_OBJECT_ID kept = VolumeOfPartition(view.members[keeper].where);
  const ZM_OBJECT_ID second = view.members.size() > 1 ? VolumeOfPartition(view.members[other].where) : 0;
  const char letter = view.members[0].letter;
  if (keeper != 0 && letter >= 'C' && letter <= 'Z') {
    if (second != 0) SetLetter(s, second, 0);
    if (kept != 0)
      if (ntp::Status st = assign(kept, letter); !st.ok()) return st;
  }
  const char fresh = FreeLetter();
  if (second != 0 && fresh != 0) return assign(second, fresh);
  return ntp::Status();
}

std::string RollBack(zm::Session& s, Intents& intents, const Intent& intent) {
  for (const auto& plan : intent.parts) {
    Part p;
    if (plan.mine && FindPartAt(plan.where, &p) && !InAnySet(plan.where)) DeletePart(s, p);
    if (!plan.mine && !InAnySet(plan.where)) MarkMembers({plan.where}, false);
  }
  return intents.Forget(intent.command);
}

}  // namespace ftconfig
