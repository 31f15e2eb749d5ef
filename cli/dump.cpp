// dump: the machine's partition tables, FT sets and drive letters as a dump (dumpfile.h);
// apply: a dump replayed onto the machine through the requests an administrator would
// make, after the whole of it was checked against the machine's disks.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "command_table.h"
#include "dumpfile.h"
#include "ftcmd.h"
#include "machine.h"
#include "mbr.h"
#include "partition_commands.h"
#include "request.h"

namespace cli {

using ftformat::Dump;
using ftformat::DumpDisk;
using ftformat::DumpLetter;
using ftformat::DumpMember;
using ftformat::DumpPartition;
using ftformat::DumpSet;

namespace {

// "disk3" or "3" -> 3.
bool DiskArg(const std::string& text, unsigned* index) {
  const std::string digits = text.rfind("disk", 0) == 0 ? text.substr(4) : text;
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *index = static_cast<unsigned>(std::stoul(digits));
  return true;
}

// The disk's partitions as the disk driver reports its table (a logical drive from where
// its data starts, as sfdisk gives it): the master boot record's slots are p1 to p4, the
// logical drives p5, p6, ... in the order of their boot records. False when it cannot be read.
bool ReadTable(unsigned index, uint64_t bps, std::vector<DumpPartition>* parts, uint32_t* signature) {
  parts->clear();
  HANDLE h = nullptr;
  NTSTATUS st =
      OpenDevice(Widen("\\Device\\Harddisk" + std::to_string(index) + "\\Partition0"), GENERIC_READ, &h);
  DriveLayout layout;
  if (NT_SUCCESS(st)) st = ReadDriveLayout(h, &layout);
  if (h) NtClose(h);
  if (!NT_SUCCESS(st)) return false;
  *signature = layout.signature;
  unsigned logical = 4;
  for (size_t i = 0; i < layout.entries.size(); ++i) {
    const PARTITION_INFORMATION& e = layout.entries[i];
    if (e.PartitionType == 0 || e.PartitionLength.QuadPart <= 0) continue;
    DumpPartition p;
    p.type = e.PartitionType;
    // Past the first four entries the extended entries are only links of the chain.
    if (i >= 4 && p.IsExtended()) continue;
    p.number = i < 4 ? unsigned(i + 1) : ++logical;
    p.name = "disk" + std::to_string(index) + "/p" + std::to_string(p.number);
    p.start = uint64_t(e.StartingOffset.QuadPart) / bps;
    p.size = uint64_t(e.PartitionLength.QuadPart) / bps;
    p.bootable = e.BootIndicator != 0;
    parts->push_back(p);
  }
  return true;
}

// Where the provider puts a partition asked for at the start of a free region, by its
// rules: the master boot record's track (a cylinder for an extended partition) skipped at
// offset 0, the end rounded to the nearer cylinder, the free region's end not passed; a
// logical drive's data starts a track after its boot record. Bytes. False when nothing
// would be left.
struct Extent {
  int64_t start = 0, end = 0;
};
bool PredictCreate(const std::string& kind, int64_t freeStart, int64_t freeEnd, int64_t length, int64_t track,
                   int64_t cylinder, Extent* data) {
  int64_t offset = freeStart, room = freeEnd - freeStart;
  if (offset == 0) {
    const int64_t skip = kind == "extended" ? cylinder : track;
    offset = skip;
    room -= skip;
  }
  const int64_t r = (offset + length) % cylinder;
  if (r != 0) length += r > cylinder / 2 ? cylinder - r : -r;
  length = std::min(length, room);
  if (length <= 0 || (kind == "logical" && length <= track)) return false;
  data->start = kind == "logical" ? offset + track : offset;
  data->end = offset + length;
  return true;
}

// The dump as data (docs/schema/dump.schema.json).
json DumpJson(const Dump& d) {
  json disks = json::array(), sets = json::array(), letters = json::array();
  for (const DumpDisk& k : d.disks) {
    json parts = json::array();
    for (const DumpPartition& p : k.partitions)
      parts.push_back({{"name", p.name},
                       {"number", p.number},
                       {"start", p.start},
                       {"size", p.size},
                       {"type", p.type},
                       {"bootable", p.bootable}});
    disks.push_back({{"name", k.Name()},
                     {"index", k.index},
                     {"bytes", k.bytes},
                     {"sector_size", k.sectorSize},
                     {"cylinders", k.cylinders},
                     {"heads", k.heads},
                     {"sectors", k.sectors},
                     {"signature", k.signature},
                     {"partitions", parts}});
  }
  for (const DumpSet& s : d.sets) {
    json members = json::array();
    for (const DumpMember& m : s.members)
      members.push_back({{"member", m.member}, {"partition", m.partition}, {"state", m.state}});
    sets.push_back(
        {{"name", s.name}, {"type", s.type}, {"group", s.group}, {"state", s.state}, {"members", members}});
  }
  for (const DumpLetter& l : d.letters)
    letters.push_back({{"volume", l.volume}, {"letter", std::string(1, l.letter) + ":"}});
  return {{"disks", disks}, {"ft_sets", sets}, {"letters", letters}};
}

// The machine as a dump: the disks asked for (all when none), the FT sets the stored
// configuration records with all members on them, the letters of their volumes.
Dump MakeDump(const Machine& m, const std::vector<unsigned>& only, std::vector<std::string>* notes) {
  Dump d;
  auto wanted = [&](unsigned index) {
    return only.empty() || std::find(only.begin(), only.end(), index) != only.end();
  };
  std::map<std::pair<uint64_t, uint64_t>, std::string> bySignatureOffset;  // -> partition name
  for (const Disk& disk : m.disks) {
    if (!disk.index) continue;
    const uint64_t bps = disk.SectorBytes();
    DumpDisk k;
    uint32_t signature = 0;
    const bool read = ReadTable(*disk.index, bps, &k.partitions, &signature);
    for (const DumpPartition& p : k.partitions) bySignatureOffset[{disk.signature, p.start * bps}] = p.name;
    if (!wanted(*disk.index)) continue;
    if (!read) notes->push_back(disk.name + ": its partition table cannot be read");
    k.index = *disk.index;
    k.bytes = disk.size;
    k.sectorSize = bps;
    k.cylinders = disk.cylinders.value_or(0);
    k.heads = disk.tracksPerCylinder.value_or(0);
    k.sectors = disk.sectorsPerTrack;
    k.signature = static_cast<uint32_t>(disk.signature);
    if (disk.readOnly) notes->push_back(disk.name + ": requests leave it alone: " + *disk.readOnly);
    d.disks.push_back(k);
  }
  auto onDumpedDisk = [&](const std::string& partition) {
    unsigned index = 0;
    return DiskArg(partition.substr(0, partition.find('/')), &index) && wanted(index);
  };
  // FT sets as the configuration records them: member order and states.
  const json reg = RegistryJson();
  const json& info = reg.contains("information") ? reg["information"] : json::object();
  std::map<std::pair<uint32_t, unsigned>, DumpSet> sets;  // by FT type and group
  if (info.value("valid", false))
    for (const json& disk : info.value("disks", json::array()))
      for (const json& part : disk.value("partitions", json::array())) {
        const std::string type = part.value("ft_type_name", "none");
        const uint64_t group = part.value("ft_group", 0), member = part.value("ft_member", 0);
        if (type == "none") continue;
        if (member >= 32) {  // no FT set has as many members: a damaged record
          notes->push_back("a record of FT group " + std::to_string(group) + " names member " +
                           std::to_string(member) + "; left out");
          continue;
        }
        const std::string word = type == "stripe_with_parity" ? "parity"
                                 : type == "volume_set"       ? "volset"
                                                              : type;
        DumpSet& s = sets[{part.value("ft_type", 0u), static_cast<unsigned>(group)}];
        s.type = word;
        s.group = static_cast<unsigned>(group);
        s.name = word + std::to_string(group);
        const auto name =
            bySignatureOffset.find({disk.value("signature", uint64_t{0}), part.value("offset", uint64_t{0})});
        const std::string partition = name == bySignatureOffset.end() ? "" : name->second;
        if (s.members.size() <= member) s.members.resize(member + 1);
        s.members[member] = {static_cast<unsigned>(member), partition,
                             part.value("ft_state_name", "healthy")};
      }
  // A set's group is its place in the configuration's list of sets.
  const json setList = info.value("ft_sets", json::array());
  for (auto& [key, s] : sets)
    if (key.second < setList.size() && setList[key.second].value("type", 0u) == key.first)
      s.state = setList[key.second].value("state_name", "");
  for (auto& [key, s] : sets) {
    if (s.state.empty()) s.state = "ok";
    bool complete = s.members.size() >= 2, some = false;
    for (const DumpMember& mb : s.members) {
      complete = complete && !mb.partition.empty() && onDumpedDisk(mb.partition);
      some = some || (!mb.partition.empty() && onDumpedDisk(mb.partition));
    }
    if (complete)
      d.sets.push_back(s);
    else if (some)
      notes->push_back(s.name + " is left out: not all of its members are partitions of the dumped disks");
  }
  for (const Volume& v : m.volumes) {
    if (!v.driveLetter || v.driveLetter->empty() || v.name.empty() || v.kind == "cdrom") continue;
    const bool dumped = v.IsFtSet() ? std::any_of(d.sets.begin(), d.sets.end(),
                                                  [&](const DumpSet& s) { return s.name == v.name; })
                                    : onDumpedDisk(v.name);
    if (dumped) d.letters.push_back({v.name, (*v.driveLetter)[0]});
  }
  return d;
}

}  // namespace

int CmdDump(Session& s, const Options& opt, const std::vector<std::string>& disks, std::ostream& out,
            std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  const Machine m = Machine::Read();
  std::vector<unsigned> only;
  for (const std::string& text : disks) {
    unsigned index = 0;
    if (!DiskArg(text, &index) || !m.FindDisk(index)) {
      err << "ftdiskctl: there is no disk '" << text << "' (the machine has " << m.disks.size()
          << "; see 'ftdiskctl show')\n";
      return kUsage;
    }
    only.push_back(index);
  }
  std::vector<std::string> notes;
  const Dump d = MakeDump(m, only, &notes);
  if (opt.json) {
    json doc = DumpJson(d);
    doc["notes"] = notes;
    PrintJsonResult(out, doc);
    return kOk;
  }
  std::string text = DumpText(d);
  for (const std::string& n : notes) text += "# note: " + n + "\n";
  out << text;
  return kOk;
}

namespace {

// One request of an apply, planned before anything is written. run prints nothing on out
// but what it did, in words; did and would (when not empty) are printed for it.
struct Step {
  std::string did, would;
  std::function<int(Session&, Options&, std::ostream&, std::ostream&)> run;
};

std::string Sectors(const DumpPartition& p) {
  return "start=" + std::to_string(p.start) + ", size=" + std::to_string(p.size);
}

// Rewrites the disk's table through the disk driver with the partition types given
// (which no request of the provider sets), then has the provider read the disk again.
int SetTypes(Session& s, Options& o, unsigned disk, uint64_t bps, const std::vector<DumpPartition>& types,
             std::ostream& err) {
  const std::u16string name = Widen("\\Device\\Harddisk" + std::to_string(disk) + "\\Partition0");
  HANDLE h = nullptr;
  NTSTATUS st = OpenDevice(name, GENERIC_READ | GENERIC_WRITE, &h);
  std::vector<uint8_t> buf;
  if (NT_SUCCESS(st)) st = ReadDriveLayout(h, &buf);
  if (NT_SUCCESS(st)) {
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION*>(buf.data());
    const size_t count = LayoutEntries(buf);
    for (const DumpPartition& p : types)
      for (size_t i = 0; i < count; ++i) {
        PARTITION_INFORMATION& e = layout->PartitionEntry[i];
        if (e.PartitionType != 0 && uint64_t(e.StartingOffset.QuadPart) == p.start * bps &&
            uint64_t(e.PartitionLength.QuadPart) == p.size * bps) {
          e.PartitionType = static_cast<BYTE>(p.type);
          e.RewritePartition = TRUE;
        }
      }
    TableBackup backup;
    if (!o.dryRun) backup.Before("apply");
    IO_STATUS_BLOCK iosb{};
    st = NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_SET_DRIVE_LAYOUT, buf.data(),
                               static_cast<ULONG>(buf.size()), nullptr, 0);
    if (!o.dryRun) backup.After(err);
  }
  if (h) NtClose(h);
  if (!NT_SUCCESS(st)) {
    err << "the table of disk " << disk << " cannot be written (" << HexStatus(uint32_t(st)) << ")\n";
    return kFailed;
  }
  std::ostringstream layoutText;
  return CmdRescan(s, o, true, disk, layoutText, err);
}

// Gives every volume of the dump the letter the dump gives it, and takes the letters the
// provider handed out on its own from those the dump gives none. Letters go first, so a
// letter one volume holds can go to another. takeOnly: only take them, from the partitions
// too that become members of a set.
int SetLetters(Session& s, Options& o, const Dump& d, bool takeOnly, std::ostream& out, std::ostream& err) {
  if (!d.ours && d.sets.empty()) return kOk;  // sfdisk's dump: the letters the provider gives stay
  std::map<std::string, char> wanted;         // by volume name; 0: none
  std::map<std::string, bool> inSet;
  for (const DumpSet& set : d.sets) {
    wanted[set.name] = 0;
    for (const DumpMember& mb : set.members) inSet[mb.partition] = true;
  }
  for (const DumpDisk& k : d.disks)
    for (const DumpPartition& p : k.partitions)
      if (!p.IsExtended() && (takeOnly || !inSet.count(p.name))) wanted[p.name] = 0;
  for (const DumpLetter& l : d.letters) wanted[l.volume] = l.letter;
  std::ostringstream layoutText;
  const bool dry = o.dryRun;
  for (int pass = 0; pass < (takeOnly ? 1 : 2); ++pass) {
    const Machine m = Machine::Read();
    for (const Volume& v : m.volumes) {
      const auto it = wanted.find(v.name);
      if (it == wanted.end()) continue;
      const char have = v.driveLetter && !v.driveLetter->empty() ? (*v.driveLetter)[0] : 0;
      if (have == it->second) continue;
      const std::string letter = std::string(1, it->second) + ":";
      if (pass == 0 && have != 0) {
        if (CmdLetter(s, o, v.name, "", true, layoutText, err) != kOk) return kFailed;
        out << Verb(dry, "took ", "would take ") << have << ": from " << v.name << "\n";
      } else if (pass == 1 && it->second != 0) {
        if (CmdLetter(s, o, v.name, letter, false, layoutText, err) != kOk) return kFailed;
        out << Verb(dry, "gave ", "would give ") << v.name << " the letter " << letter << "\n";
      }
    }
  }
  return kOk;
}

// Writes the dump's signatures on disks that hold no partition yet, in a boot of the
// platform alone: the provider then finds each disk under the signature its records will
// carry. A disk without a table gets an empty one.
bool WriteSignatures(const Options& opt, const std::vector<std::pair<unsigned, uint32_t>>& signatures,
                     std::ostream& err) {
  std::string e;
  if (!ntp::Boot(opt.dir, opt.noWait ? ntp::LockMode::NoWait : ntp::LockMode::Wait, &e)) {
    err << "cannot open machine '" << opt.dir << "': " << e << "\n";
    return false;
  }
  bool ok = true;
  for (const auto& [index, signature] : signatures) {
    const auto disks = ntp::Disks();
    const uint32_t bps = index < disks.size() && disks[index].geometry.BytesPerSector
                             ? disks[index].geometry.BytesPerSector
                             : 512;
    HANDLE h = nullptr;
    NTSTATUS st = OpenDevice(Widen("\\Device\\Harddisk" + std::to_string(index) + "\\Partition0"),
                             GENERIC_READ | GENERIC_WRITE, &h);
    std::vector<uint8_t> sector(bps);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = 0;
    if (NT_SUCCESS(st))
      st = NtReadFile(h, nullptr, nullptr, nullptr, &iosb, sector.data(), bps, &at, nullptr);
    if (NT_SUCCESS(st)) {
      ftformat::PutMbrSignature(sector.data(), signature);
      sector[510] = 0x55;
      sector[511] = 0xAA;
      TableBackup backup;
      backup.Before("apply");
      st = NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, sector.data(), bps, &at, nullptr);
      backup.After(err);
    }
    if (h) NtClose(h);
    if (!NT_SUCCESS(st)) {
      err << "the signature of disk " << index << " cannot be written (" << HexStatus(uint32_t(st)) << ")\n";
      ok = false;
      break;
    }
  }
  ntp::Shutdown();
  return ok;
}

// Checks the dump against the machine and plans the requests that replay it; all the
// problems found when it does not fit.
std::vector<std::string> Plan(const Machine& m, const Dump& d, bool force, std::vector<Step>* steps,
                              std::vector<std::pair<unsigned, uint32_t>>* signatures) {
  std::vector<std::string> problems;
  std::map<std::string, const DumpPartition*> dumped;
  std::vector<Step> typeSteps;  // after the sets, which may change the types
  for (const DumpDisk& k : d.disks) {
    const std::string dn = k.Name();
    const Disk* disk = m.FindDisk(k.index);
    if (!disk) {
      problems.push_back("the dump has " + dn + "; this machine has " + std::to_string(m.disks.size()) +
                         " disk(s) (attach one first)");
      continue;
    }
    for (const DumpPartition& p : k.partitions) dumped[p.name] = &p;
    if (disk->readOnly) problems.push_back(dn + ": requests leave it alone: " + *disk->readOnly);
    const uint64_t bps = disk->SectorBytes();
    if (k.sectorSize != bps)
      problems.push_back(dn + " has sectors of " + std::to_string(k.sectorSize) + " bytes in the dump, " +
                         std::to_string(bps) + " here");
    const uint64_t heads = disk->tracksPerCylinder.value_or(0);
    if ((k.heads && k.heads != heads) || (k.sectors && k.sectors != disk->sectorsPerTrack))
      problems.push_back(dn + " has " + std::to_string(k.heads) + " heads and " + std::to_string(k.sectors) +
                         " sectors per track in the dump, " + std::to_string(heads) + " and " +
                         std::to_string(disk->sectorsPerTrack) +
                         " here: partitions end on cylinder boundaries, which would differ");
    const int64_t track = disk->TrackBytes(), cylinder = disk->CylinderBytes();
    const int64_t usable = int64_t(disk->cylinders.value_or(0)) * cylinder;
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
    if (k.signature != 0 && k.signature != disk->signature) {
      if (!existing.empty())
        problems.push_back(dn + " has the signature " + HexStatus(uint32_t(disk->signature)) + ", the dump " +
                           HexStatus(k.signature) + "; the FT configuration tells disks by it");
      for (const Disk& other : m.disks)
        if (&other != disk && other.signature == k.signature)
          problems.push_back(dn + ": the dump's signature " + HexStatus(k.signature) + " is " + other.name +
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
    if (k.signature != 0 && k.signature != disk->signature && existing.empty())
      signatures->push_back({k.index, k.signature});
    // Each partition is asked for at the start of the free space before it, and must come
    // out where the dump has it.
    std::vector<DumpPartition> types;
    auto present = [&](const std::string& name, uint32_t type) {
      return std::any_of(existing.begin(), existing.end(),
                         [&](const DumpPartition& r) { return r.name == name && r.type == type; });
    };
    auto place = [&](const std::vector<const DumpPartition*>& list, int64_t from, int64_t to, bool logical) {
      int64_t cursor = from;
      for (const DumpPartition* p : list) {
        const int64_t start = int64_t(p->start * bps), end = int64_t((p->start + p->size) * bps);
        const std::string kind = logical ? "logical" : p->IsExtended() ? "extended" : "primary";
        const int64_t base = cursor == 0 ? (kind == "extended" ? cylinder : track) : cursor;
        Extent got;
        const bool made = end > base && PredictCreate(kind, cursor, to, end - base, track, cylinder, &got);
        if (!made || got.start != start || got.end != end) {
          std::string why = !made ? "there is no room for it"
                            : got.start != start
                                ? "a request starts it where the free space before it starts, at sector " +
                                      std::to_string(got.start / int64_t(bps))
                                : "its end is not on a cylinder boundary (cylinders of " +
                                      std::to_string(cylinder / int64_t(bps)) +
                                      " sectors); a request ends it at sector " +
                                      std::to_string(got.end / int64_t(bps));
          problems.push_back(dn + ": " + p->name + " (" + Sectors(*p) +
                             ") cannot be made by a request: " + why);
        } else if (std::none_of(existing.begin(), existing.end(),
                                [&](const DumpPartition& r) { return r.name == p->name; })) {
          CreateArgs a;
          a.kind = kind;
          a.disk = k.index;
          a.size = uint64_t(end - base);
          a.hasOffset = true;
          a.offset = uint64_t(cursor);
          steps->push_back({"created " + p->name + " (" + Sectors(*p) + ")",
                            "would create " + p->name + " (" + Sectors(*p) + ")",
                            [a](Session& s, Options& o, std::ostream&, std::ostream& err) {
                              std::ostringstream layoutText;
                              return CmdCreate(s, o, a, layoutText, err);
                            }});
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
      std::string list;
      for (const DumpPartition& p : types) list += (list.empty() ? "" : ", ") + p.name;
      typeSteps.push_back(
          {"set the partition types of " + list, "would set the partition types of " + list,
           [index = k.index, bps, types](Session& s, Options& o, std::ostream&, std::ostream& err) {
             return SetTypes(s, o, index, bps, types, err);
           }});
    }
    for (const DumpPartition& p : k.partitions)
      if (p.bootable) {
        const bool active = std::any_of(existing.begin(), existing.end(), [&](const DumpPartition& r) {
          return r.name == p.name && r.bootable;
        });
        if (!active)
          steps->push_back({"made " + p.name + " active", "would make " + p.name + " active",
                            [name = p.name](Session& s, Options& o, std::ostream&, std::ostream& err) {
                              std::ostringstream layoutText;
                              return CmdActive(s, o, name, layoutText, err);
                            }});
      }
  }
  // Letters the provider handed out are taken before the sets are recorded, as a
  // member's letter stays taken for the rest of the boot once it is in a set.
  steps->push_back({"", "", [&d](Session& s, Options& o, std::ostream& out, std::ostream& err) {
                      return SetLetters(s, o, d, true, out, err);
                    }});
  for (const DumpSet& set : d.sets) {
    std::vector<std::string> members;
    for (const DumpMember& mb : set.members) {
      members.push_back(mb.partition);
      if (!dumped.count(mb.partition))
        problems.push_back(set.name + ": its member " + mb.partition + " is not a partition of the dump");
    }
    const Volume* have = nullptr;
    for (const Volume& v : m.volumes)
      if (v.IsFtSet() && v.name == set.name) have = &v;
    if (have) {
      // A set of the dump made already (an apply cut short) is left as it is.
      std::vector<std::string> now;
      for (const Member& mb : have->members) now.push_back(mb.name.value_or("?"));
      std::vector<std::string> sorted = members;
      std::sort(sorted.begin(), sorted.end());
      std::sort(now.begin(), now.end());
      if (now != sorted)
        problems.push_back(set.name +
                           " exists here with other members; drop it first ('ftdiskctl ft edit drop')");
      continue;
    }
    steps->push_back({"recorded " + set.name, "would record " + set.name,
                      [set, members](Session& s, Options& o, std::ostream&, std::ostream& err) {
                        std::ostringstream text;
                        if (CmdFtEditDefine(s, o, set.type, int(set.group), members, true, text, err) != kOk)
                          return kFailed;
                        for (const DumpMember& mb : set.members)
                          if (mb.state != "healthy" &&
                              CmdFtEditMember(s, o, set.name, int(mb.member), mb.state, text, err) != kOk)
                            return kFailed;
                        return kOk;
                      }});
  }
  // A letter the dump gives must be free here or held by a volume the dump names.
  for (const DumpLetter& l : d.letters) {
    const bool named =
        dumped.count(l.volume) ||
        std::any_of(d.sets.begin(), d.sets.end(), [&](const DumpSet& s) { return s.name == l.volume; });
    if (!named)
      problems.push_back("the letter " + std::string(1, l.letter) + ": goes to " + l.volume +
                         ", which the dump does not make");
    for (const Volume& v : m.volumes)
      if (v.driveLetter && !v.driveLetter->empty() && (*v.driveLetter)[0] == l.letter &&
          !dumped.count(v.name) && v.name != l.volume)
        problems.push_back("the letter " + std::string(1, l.letter) + ": is " +
                           (v.name.empty() ? "a volume" : v.name) + "'s here; the dump gives it to " +
                           l.volume);
  }
  steps->insert(steps->end(), typeSteps.begin(), typeSteps.end());
  steps->push_back({"", "", [&d](Session& s, Options& o, std::ostream& out, std::ostream& err) {
                      return SetLetters(s, o, d, false, out, err);
                    }});
  return problems;
}

// What differs between the dump's tables and the machine's after the replay.
std::vector<std::string> Differences(const Machine& m, const Dump& d) {
  std::vector<std::string> diffs;
  for (const DumpDisk& k : d.disks) {
    const Disk* disk = m.FindDisk(k.index);
    if (!disk) continue;
    const uint64_t bps = disk->SectorBytes();
    std::vector<DumpPartition> now;
    uint32_t signature = 0;
    ReadTable(k.index, bps, &now, &signature);
    for (const DumpPartition& p : k.partitions) {
      const auto it =
          std::find_if(now.begin(), now.end(), [&](const DumpPartition& x) { return x.name == p.name; });
      if (it == now.end() || it->start != p.start || it->size != p.size || it->type != p.type ||
          it->bootable != p.bootable)
        diffs.push_back(p.name + " is not as the dump has it (" + Sectors(p) + ", type " + HexStatus(p.type) +
                        ")");
    }
    if (now.size() != k.partitions.size()) diffs.push_back(k.Name() + " holds partitions the dump does not");
  }
  return diffs;
}

}  // namespace

int CmdApply(Session& s, const Options& opt, const std::string& file, bool force, std::ostream& out,
             std::ostream& err) {
  if (file == "-" && opt.inShell) {
    err << "ftdiskctl: inside the shell, standard input holds the shell's lines; give apply a file\n";
    return kUsage;
  }
  std::string text;
  {
    std::ifstream f;
    if (file != "-") f.open(file, std::ios::binary);
    std::istream& in = file == "-" ? std::cin : f;
    if (!in) {
      err << "cannot apply '" << file << "': it cannot be read\n";
      return kFailed;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  const std::string what = "cannot apply '" + file + "'";
  Dump d;
  std::string e;
  if (!ParseDump(text, &d, &e)) {
    if (opt.json) PrintJsonFailure(out, what + ": " + e);
    err << what << ": " << e << "\n";
    return kFailed;
  }
  if (!OpenOr(s, opt, err)) return kFailed;
  std::vector<Step> steps;
  std::vector<std::pair<unsigned, uint32_t>> signatures;
  std::vector<std::string> problems = Plan(Machine::Read(), d, force, &steps, &signatures);
  json done = json::array();
  std::ostringstream lines;
  if (problems.empty() && !signatures.empty()) {
    for (const auto& [index, signature] : signatures) {
      const std::string line = Verb(opt.dryRun, "wrote", "would write") + " the signature " +
                               HexStatus(signature) + " on disk" + std::to_string(index);
      lines << line << "\n";
      done.push_back(line);
    }
    // A dry run goes on with the disks' own signatures.
    if (!opt.dryRun) {
      s.Close();
      if (!WriteSignatures(opt, signatures, err) || !OpenOr(s, opt, err)) return kFailed;
      steps.clear();
      signatures.clear();
      problems = Plan(Machine::Read(), d, force, &steps, &signatures);
    }
  }
  if (!problems.empty()) {
    std::string message = what + ": it does not fit this machine; nothing was written";
    if (opt.json) {
      PrintJsonFailure(out, message, nullptr, json{{"file", file}, {"problems", problems}, {"steps", done}});
    } else {
      for (const auto& p : problems) err << "  " << p << "\n";
    }
    err << message << "\n";
    return kFailed;
  }
  Options o = opt;
  o.json = false;
  o.quiet = false;
  int rc = kOk;
  for (const Step& step : steps) {
    std::ostringstream said;
    rc = step.run(s, o, said, err);
    if (rc != kOk) break;
    const std::string line = opt.dryRun ? step.would : step.did;
    if (!line.empty()) said << line << "\n";
    lines << said.str();
    std::istringstream split(said.str());
    for (std::string l; std::getline(split, l);) done.push_back(l);
  }
  std::vector<std::string> diffs;
  if (rc == kOk) diffs = Differences(Machine::Read(), d);
  if (!opt.json) out << lines.str();
  std::string message;
  if (rc != kOk)
    message = what + ": a request failed after the steps above; run apply again with --force to complete it";
  else if (!diffs.empty())
    message = what + ": the tables differ from the dump: " + diffs.front() +
              (diffs.size() > 1 ? " (and " + std::to_string(diffs.size() - 1) + " more)" : "");
  if (opt.json) {
    json doc = {{"file", file}, {"steps", done}, {"problems", json::array()}};
    if (message.empty())
      PrintJsonResult(out, doc);
    else
      PrintJsonFailure(out, message, nullptr, doc);
  } else if (message.empty()) {
    out << Verb(opt.dryRun, "applied ", "would apply ") << file << ": "
        << (done.empty() ? "the machine holds all of it already" : std::to_string(done.size()) + " change(s)")
        << "\n";
  }
  if (!message.empty()) {
    err << message << "\n";
    return kFailed;
  }
  return kOk;
}

std::vector<CommandSpec> DumpCommands() {
  return {
      {"dump",
       "print the partition tables, FT sets and drive letters in sfdisk's dump format (for apply)",
       {Texts("DISK", "only these disks (diskN or N)").Of(Names::kDisk)},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) { return CmdDump(c.s, c.opt, c.a.Texts("DISK"), c.out, c.err); },
       "ftdiskctl -m m dump > m.dump"},

      {"apply",
       "lay out the disks, FT sets and drive letters of a dump through requests",
       {Text("DUMP", "the dump file (from 'ftdiskctl dump' or 'sfdisk -d'), or - for standard input")
            .Req()
            .Of(Names::kFile),
        Flag("--force", "go on with disks that hold the dump's partitions already (an apply cut short)")
            .Into(&Options::force)},
       kWrites,
       nullptr,
       0,
       [](Call& c) { return CmdApply(c.s, c.opt, c.a.Text("DUMP"), c.opt.force, c.out, c.err); },
       "ftdiskctl -m fresh apply m.dump"},
  };
}

}  // namespace cli
