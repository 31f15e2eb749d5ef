#include "apply_plan.h"

#include <algorithm>
#include <map>

#include "ftconfig.h"
#include "machine_dump.h"
#include "status.h"

namespace dumpapply {

using ftformat::Dump;
using ftformat::DumpDisk;
using ftformat::DumpLetter;
using ftformat::DumpMember;
using ftformat::DumpPartition;
using ftformat::DumpSet;

std::string Sectors(const DumpPartition& p) {
  return "start=" + std::to_string(p.start) + ", size=" + std::to_string(p.size);
}

namespace {

Step StepOf(Step::Kind kind) {
  Step s;
  s.kind = kind;
  return s;
}

// Checks one disk of the dump against the machine's disk and plans the requests that
// make its partitions: each is asked for at the start of the free space before it and
// must come out where the dump has it.
void PlanDisk(const model::Machine& m, const model::Disk& disk, const DumpDisk& k, bool force,
              ApplyPlan* plan, std::vector<Step>* typeSteps) {
  std::vector<std::string>& problems = plan->problems;
  const std::string dn = k.Name();
  if (disk.readOnly) problems.push_back(dn + ": requests leave it alone: " + *disk.readOnly);
  const uint64_t bps = disk.SectorBytes();
  if (k.sectorSize != bps)
    problems.push_back(dn + " has sectors of " + std::to_string(k.sectorSize) + " bytes in the dump, " +
                       std::to_string(bps) + " here");
  const uint64_t heads = disk.tracksPerCylinder.value_or(0);
  if ((k.heads && k.heads != heads) || (k.sectors && k.sectors != disk.sectorsPerTrack))
    problems.push_back(dn + " has " + std::to_string(k.heads) + " heads and " + std::to_string(k.sectors) +
                       " sectors per track in the dump, " + std::to_string(heads) + " and " +
                       std::to_string(disk.sectorsPerTrack) +
                       " here: partitions end on cylinder boundaries, which would differ");
  const int64_t track = disk.TrackBytes(), cylinder = disk.CylinderBytes();
  const int64_t usable = int64_t(disk.cylinders.value_or(0)) * cylinder;
  // What the disk holds already: only the dump's own partitions (an apply cut short)
  // are accepted, and only with --force.
  std::vector<DumpPartition> existing;
  uint32_t signature = 0;
  if (!ReadTable(k.index, bps, &existing, &signature))
    problems.push_back(dn + ": its partition table cannot be read");
  std::string foreign;
  for (const DumpPartition& r : existing) {
    const auto it = std::find_if(k.partitions.begin(), k.partitions.end(),
                                 [&](const DumpPartition& p) { return p.name == r.name; });
    if (it == k.partitions.end() || it->start != r.start || it->size != r.size)
      foreign += (foreign.empty() ? "" : ", ") + r.name;
  }
  if (!foreign.empty())
    problems.push_back(dn + " holds partitions the dump does not (" + foreign +
                       "); delete them first ('ftdiskctl delete')");
  else if (!existing.empty() && !force)
    problems.push_back(dn +
                       " holds partitions already (the dump's own, as an apply cut short leaves them); "
                       "add --force to complete it");
  if (k.signature != 0 && k.signature != disk.signature) {
    if (!existing.empty())
      problems.push_back(dn + " has the signature " + ntp::HexCode(uint32_t(disk.signature)) + ", the dump " +
                         ntp::HexCode(k.signature) + "; the FT configuration tells disks by it");
    for (const model::Disk& other : m.disks)
      if (&other != &disk && other.signature == k.signature)
        problems.push_back(dn + ": the dump's signature " + ntp::HexCode(k.signature) + " is " + other.name +
                           "'s here; two disks with one signature cannot be told apart");
  }
  // Primaries and the extended partition in the order of their starts, then the logical drives.
  std::vector<const DumpPartition*> outer, inner;
  const DumpPartition* extended = nullptr;
  unsigned bootable = 0;
  for (const DumpPartition& p : k.partitions) {
    (p.IsLogical() ? inner : outer).push_back(&p);
    if (p.IsExtended()) {
      if (extended || p.IsLogical())
        problems.push_back(dn + ": " + p.name + " is a second or a logical extended partition");
      extended = &p;
    }
    bootable += p.bootable;
    if (int64_t((p.start + p.size) * bps) > usable)
      problems.push_back(dn + ": " + p.name + " ends at sector " + std::to_string(p.start + p.size) +
                         ", beyond the last whole cylinder of the disk here (sector " +
                         std::to_string(usable / int64_t(bps)) + ")");
  }
  if (bootable > 1) problems.push_back(dn + ": more than one partition is bootable");
  if (!inner.empty() && !extended) problems.push_back(dn + " has logical drives but no extended partition");
  auto byStart = [](const DumpPartition* a, const DumpPartition* b) { return a->start < b->start; };
  std::sort(outer.begin(), outer.end(), byStart);
  std::sort(inner.begin(), inner.end(), byStart);
  // Requests number what they make as it comes: slots 1, 2, ..., logical drives 5, 6, ...
  for (size_t i = 0; i < outer.size(); ++i)
    if (outer[i]->number != i + 1)
      problems.push_back(dn + ": " + outer[i]->name + " lies where requests make slot " +
                         std::to_string(i + 1) +
                         " (they fill the slots in the order of the partitions' starts)");
  for (size_t i = 0; i < inner.size(); ++i)
    if (inner[i]->number != i + 5)
      problems.push_back(dn + ": " + inner[i]->name + " lies where requests make logical drive " +
                         std::to_string(i + 5));
  if (k.signature != 0 && k.signature != disk.signature && existing.empty())
    plan->signatures.push_back({k.index, k.signature});
  std::vector<DumpPartition> types;
  auto present = [&](const std::string& name, uint32_t type) {
    return std::any_of(existing.begin(), existing.end(),
                       [&](const DumpPartition& r) { return r.name == name && r.type == type; });
  };
  auto place = [&](const std::vector<const DumpPartition*>& list, int64_t from, int64_t to, bool logical) {
    int64_t cursor = from;
    for (const DumpPartition* p : list) {
      const int64_t start = int64_t(p->start * bps), end = int64_t((p->start + p->size) * bps);
      const ftconfig::RegionKind kind = logical           ? ftconfig::RegionKind::Logical
                                        : p->IsExtended() ? ftconfig::RegionKind::Extended
                                                          : ftconfig::RegionKind::Primary;
      const int64_t base = cursor == 0 ? (kind == ftconfig::RegionKind::Extended ? cylinder : track) : cursor;
      // Where the provider puts the request; a logical drive's data starts a track in.
      ftconfig::Placement got;
      const bool made =
          end > base && ftconfig::PlaceRequest(cursor, to - cursor, end - base, track, cylinder, &got, kind);
      const int64_t gotStart = base + (logical ? track : 0), gotEnd = got.offset + got.length;
      // A request longer than the free space is refused; a start off where the provider
      // puts it is still named first when some room is there.
      const bool misplaced =
          gotStart != start &&
          (made || (end > base && end - base > to - cursor && to - base > gotStart - base));
      if (!made || gotStart != start || gotEnd != end) {
        std::string why =
            misplaced ? "a request starts it where the free space before it starts, at sector " +
                            std::to_string(gotStart / int64_t(bps))
            : !made ? "there is no room for it"
                    : "its end is not on a cylinder boundary (cylinders of " +
                          std::to_string(cylinder / int64_t(bps)) +
                          " sectors); a request ends it at sector " + std::to_string(gotEnd / int64_t(bps));
        problems.push_back(dn + ": " + p->name + " (" + Sectors(*p) +
                           ") cannot be made by a request: " + why);
      } else if (std::none_of(existing.begin(), existing.end(),
                              [&](const DumpPartition& r) { return r.name == p->name; })) {
        Step s;
        s.kind = Step::Kind::Create;
        s.disk = k.index;
        s.partition = *p;
        s.regionKind = logical ? "logical" : p->IsExtended() ? "extended" : "primary";
        s.size = uint64_t(end - base);
        s.offset = uint64_t(cursor);
        plan->steps.push_back(s);
      }
      // Requests make type 06 (05 for the extended partition).
      if (p->type != (p->IsExtended() ? 0x05u : 0x06u) && !present(p->name, p->type)) types.push_back(*p);
      cursor = end;
    }
  };
  place(outer, 0, usable, false);
  if (extended)
    place(inner, int64_t(extended->start * bps), int64_t((extended->start + extended->size) * bps), true);
  if (!types.empty()) {
    Step s;
    s.kind = Step::Kind::SetTypes;
    s.disk = k.index;
    s.sectorBytes = bps;
    s.types = types;
    typeSteps->push_back(s);
  }
  for (const DumpPartition& p : k.partitions)
    if (p.bootable && std::none_of(existing.begin(), existing.end(),
                                   [&](const DumpPartition& r) { return r.name == p.name && r.bootable; })) {
      Step s;
      s.kind = Step::Kind::MakeActive;
      s.disk = k.index;
      s.partition = p;
      plan->steps.push_back(s);
    }
}

}  // namespace

ApplyPlan Plan(const model::Machine& m, const Dump& d, bool force) {
  ApplyPlan plan;
  std::vector<std::string>& problems = plan.problems;
  std::map<std::string, const DumpPartition*> dumped;
  std::vector<Step> typeSteps;  // after the sets, which may change the types
  for (const DumpDisk& k : d.disks) {
    const model::Disk* disk = m.FindDisk(k.index);
    if (!disk) {
      problems.push_back("the dump has " + k.Name() + "; this machine has " + std::to_string(m.disks.size()) +
                         " disk(s) (attach one first)");
      continue;
    }
    for (const DumpPartition& p : k.partitions) dumped[p.name] = &p;
    PlanDisk(m, *disk, k, force, &plan, &typeSteps);
  }
  // Letters the provider handed out are taken before the sets are recorded, as a
  // member's letter stays taken for the rest of the boot once it is in a set.
  plan.steps.push_back(StepOf(Step::Kind::TakeLetters));
  for (const DumpSet& set : d.sets) {
    std::vector<std::string> members;
    for (const DumpMember& mb : set.members) {
      members.push_back(mb.partition);
      if (!dumped.count(mb.partition))
        problems.push_back(set.name + ": its member " + mb.partition + " is not a partition of the dump");
    }
    const model::Volume* have = nullptr;
    for (const model::Volume& v : m.volumes)
      if (v.IsFtSet() && v.name == set.name) have = &v;
    if (have) {
      // A set of the dump made already (an apply cut short) is left as it is.
      std::vector<std::string> now;
      for (const model::Member& mb : have->members) now.push_back(mb.name.value_or("?"));
      std::vector<std::string> sorted = members;
      std::sort(sorted.begin(), sorted.end());
      std::sort(now.begin(), now.end());
      if (now != sorted)
        problems.push_back(set.name +
                           " exists here with other members; drop it first ('ftdiskctl ft edit drop')");
      continue;
    }
    Step s;
    s.kind = Step::Kind::RecordSet;
    s.set = set;
    s.members = members;
    plan.steps.push_back(s);
  }
  // A letter the dump gives must be free here or held by a volume the dump names.
  for (const DumpLetter& l : d.letters) {
    const bool named =
        dumped.count(l.volume) ||
        std::any_of(d.sets.begin(), d.sets.end(), [&](const DumpSet& s) { return s.name == l.volume; });
    if (!named)
      problems.push_back("the letter " + std::string(1, l.letter) + ": goes to " + l.volume +
                         ", which the dump does not make");
    for (const model::Volume& v : m.volumes)
      if (v.driveLetter && !v.driveLetter->empty() && (*v.driveLetter)[0] == l.letter &&
          !dumped.count(v.name) && v.name != l.volume)
        problems.push_back("the letter " + std::string(1, l.letter) + ": is " +
                           (v.name.empty() ? "a volume" : v.name) + "'s here; the dump gives it to " +
                           l.volume);
  }
  plan.steps.insert(plan.steps.end(), typeSteps.begin(), typeSteps.end());
  plan.steps.push_back(StepOf(Step::Kind::GiveLetters));
  return plan;
}

std::vector<std::string> Differences(const model::Machine& m, const Dump& d) {
  std::vector<std::string> diffs;
  for (const DumpDisk& k : d.disks) {
    const model::Disk* disk = m.FindDisk(k.index);
    if (!disk) continue;
    std::vector<DumpPartition> now;
    uint32_t signature = 0;
    ReadTable(k.index, disk->SectorBytes(), &now, &signature);
    for (const DumpPartition& p : k.partitions) {
      const auto it =
          std::find_if(now.begin(), now.end(), [&](const DumpPartition& x) { return x.name == p.name; });
      if (it == now.end() || it->start != p.start || it->size != p.size || it->type != p.type ||
          it->bootable != p.bootable)
        diffs.push_back(p.name + " is not as the dump has it (" + Sectors(p) + ", type " +
                        ntp::HexCode(p.type) + ")");
    }
    if (now.size() != k.partitions.size()) diffs.push_back(k.Name() + " holds partitions the dump does not");
  }
  return diffs;
}

}  // namespace dumpapply
