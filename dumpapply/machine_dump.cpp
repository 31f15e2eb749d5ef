#include "machine_dump.h"

#include <algorithm>
#include <map>

#include "boot.h"
#include "configblob.h"
#include "ntplatform.h"
#include "registry_store.h"

namespace dumpapply {

using ftformat::Dump;
using ftformat::DumpDisk;
using ftformat::DumpMember;
using ftformat::DumpPartition;
using ftformat::DumpSet;

bool DiskIndex(const std::string& text, unsigned* index) {
  const std::string digits = text.rfind("disk", 0) == 0 ? text.substr(4) : text;
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *index = static_cast<unsigned>(std::stoul(digits));
  return true;
}

bool ReadTable(unsigned index, uint64_t sectorBytes, std::vector<DumpPartition>* parts, uint32_t* signature) {
  parts->clear();
  HANDLE h = nullptr;
  NTSTATUS st = zm::OpenDevice(zm::Widen("\\Device\\Harddisk" + std::to_string(index) + "\\Partition0"),
                               GENERIC_READ, &h);
  zm::DriveLayout layout;
  if (NT_SUCCESS(st)) st = zm::ReadDriveLayout(h, &layout);
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
    p.start = uint64_t(e.StartingOffset.QuadPart) / sectorBytes;
    p.size = uint64_t(e.PartitionLength.QuadPart) / sectorBytes;
    p.bootable = e.BootIndicator != 0;
    parts->push_back(p);
  }
  return true;
}

namespace {

// The FT sets the stored configuration records, by FT type and group, their members
// named by the partition at the record's disk signature and offset ("" when the disks
// hold none there). A configuration the validator refuses records none.
std::map<std::pair<uint32_t, unsigned>, DumpSet> StoredSets(
    const std::map<std::pair<uint64_t, uint64_t>, std::string>& bySignatureOffset,
    std::vector<std::string>* notes) {
  std::map<std::pair<uint32_t, unsigned>, DumpSet> sets;
  uint32_t type = 0;
  std::vector<uint8_t> blob;
  std::string why;
  if (!ntp::reg::GetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", u"Information", &type, &blob) ||
      !DiskRegistryValidate(blob.data(), blob.size(), &why))
    return sets;
  const ftformat::BlobWalk w = ftformat::WalkBlob(blob.data(), blob.size());
  if (!w.hasHeader) return sets;
  for (const ftformat::PartitionAt& p : w.partitions) {
    const _DISK_PARTITION& rec = p.rec;
    if (rec.FtType == NotAnFtMember) continue;
    const unsigned group = rec.FtGroup, member = rec.FtMember;
    if (member >= 32) {  // no FT set has as many members: a damaged record
      notes->push_back("a record of FT group " + std::to_string(group) + " names member " +
                       std::to_string(member) + "; left out");
      continue;
    }
    const std::string name = ftformat::FtTypeName(rec.FtType);
    const std::string word = name == "stripe_with_parity" ? "parity" : name == "volume_set" ? "volset" : name;
    DumpSet& s = sets[{rec.FtType, group}];
    s.type = word;
    s.group = group;
    s.name = word + std::to_string(group);
    const auto at = bySignatureOffset.find({w.disks[p.disk].signature, uint64_t(rec.StartingOffset)});
    if (s.members.size() <= member) s.members.resize(member + 1);
    s.members[member] = {member, at == bySignatureOffset.end() ? "" : at->second,
                         ftformat::FtPartitionStateName(rec.FtState)};
  }
  // A set's group is its place in the configuration's list of sets.
  for (auto& [key, s] : sets)
    if (key.second < w.sets.size() && w.sets[key.second].type == key.first)
      s.state = ftformat::FtStateName(w.sets[key.second].state);
  return sets;
}

}  // namespace

Dump MakeDump(const model::Machine& m, const std::vector<unsigned>& only, std::vector<std::string>* notes) {
  Dump d;
  auto wanted = [&](unsigned index) {
    return only.empty() || std::find(only.begin(), only.end(), index) != only.end();
  };
  std::map<std::pair<uint64_t, uint64_t>, std::string> bySignatureOffset;  // -> partition name
  for (const model::Disk& disk : m.disks) {
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
    return DiskIndex(partition.substr(0, partition.find('/')), &index) && wanted(index);
  };
  for (auto& [key, s] : StoredSets(bySignatureOffset, notes)) {
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
  for (const model::Volume& v : m.volumes) {
    if (!v.driveLetter || v.driveLetter->empty() || v.name.empty() || v.kind == "cdrom") continue;
    const bool dumped = v.IsFtSet() ? std::any_of(d.sets.begin(), d.sets.end(),
                                                  [&](const DumpSet& s) { return s.name == v.name; })
                                    : onDumpedDisk(v.name);
    if (dumped) d.letters.push_back({v.name, (*v.driveLetter)[0]});
  }
  return d;
}

}  // namespace dumpapply
