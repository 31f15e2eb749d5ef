// The partition requests: their checks, the request sent, its outcome in words.
#include "partition_requests.h"

#include <algorithm>
#include <cctype>

#include "ntplatform.h"
#include "object_names.h"
#include "status_text.h"
#include "zmhost.h"

namespace ftconfig {

namespace {

using model::Disk;
using model::FormatUnits;
using model::Machine;
using model::Region;
using model::Volume;

// MBR tables address 2^32 sectors.
constexpr uint64_t kMbrSectors = uint64_t{1} << 32;

// What a request did, in one line, from the machine after it: the member id the provider
// returned (a new volume), and whether this is a dry run ("would ...").
using Describe = std::function<std::string(const Machine& after, uint64_t member, bool dry)>;
// Why a request failed with this status, in the command's own words ("C: is in use by
// cdrom0; ..."); "" keeps the status's sentence.
using Explain = std::function<std::string(ZMSTATUS status)>;

std::string Verb(bool dry, const std::string& past, const std::string& would) { return dry ? would : past; }

// A refusal before anything is sent.
PartitionOutcome Refused(const std::string& sentence) {
  PartitionOutcome r;
  r.status = ntp::Status(0, sentence);
  return r;
}

// The index of the disk that holds the object; -1 when unknown.
int DiskIndexOfObject(const Machine& m, ZM_OBJECT_ID id) {
  const Disk* d = m.DiskOf(id);
  return d && d->index ? static_cast<int>(*d->index) : -1;
}

// Sends one request, keeps backups of the table sectors it changes (not in a dry run),
// and says how it ended: the platform's reason or the command's own words for a failure,
// the table the request had to leave alone, and the writes that failed on the way.
PartitionOutcome Send(zm::Session& s, const RequestContext& c, const std::string& command,
                      const std::string& what, ZM_OBJECT_ID id, uint32_t cls, uint32_t code,
                      const zm::PropSet& in, int diskIndex, const Describe& describe = nullptr,
                      const Explain& explain = nullptr) {
  PartitionOutcome r;
  r.sent = true;
  r.command = command;
  r.object = id;
  r.disk = diskIndex;
  r.request = zm::RunRequest(s, command, id, cls, code, in, c.dryRun);
  const ZMSTATUS st = r.request.status;
  const bool failed = st != 0;
  r.after = Machine::Read(r.request.alerts);
  const Machine& m = r.after;
  std::string message = failed ? model::FailureSentence(what, st) : "";
  // The platform's reason (a busy partition, a write-protected or damaged disk, a
  // backup that could not be saved) says more than the status.
  const ntp::Status& reason = r.request.reason;
  if (!reason.ok() && !reason.message().empty())
    message = what + ": " + reason.message() + " (" + ntp::HexCode(reason.code()) + ")";
  if (failed && explain)
    if (const std::string why = explain(st); !why.empty())
      message = what + ": " + why + " (" + ntp::HexCode(st) + ")";
  // A table the request had to leave alone: say which entry or layout is the reason.
  if (failed && diskIndex >= 0)
    for (const Disk& d : m.disks)
      if (d.index && static_cast<int>(*d.index) == diskIndex && d.readOnly &&
          message.find(*d.readOnly) == std::string::npos)
        message += "; " + *d.readOnly;
  // A write the provider could not make (and may not report) fails the request too.
  const std::string writeFailure = zm::TakeWriteFailures();
  if (!writeFailure.empty()) message += (message.empty() ? command + ": " : "; ") + writeFailure;
  if (failed || !writeFailure.empty()) {
    r.status = ntp::Status(st, message);
    return r;
  }
  if (describe) r.done = describe(m, r.request.member.value_or(0), c.dryRun);
  return r;
}

// "created disk0/p1 (100 MiB requested, 101.9 MiB after rounding to cylinder 13)".
std::string CreatedLine(const Machine& m, uint64_t member, bool dry, const NewPartition& a, uint64_t asked,
                        uint64_t offset) {
  const Disk* disk = m.FindDisk(a.disk);
  // The new partition: the member volume's, or the one that starts where the request did.
  const Region* found = nullptr;
  auto mine = [&](const Region& r) {
    return member != 0 ? r.volume == member
                       : r.offset <= offset + disk->MinCreateSize() && offset <= r.offset + r.length &&
                             r.kind == a.kind;
  };
  if (disk)
    for (const Region& r : disk->regions) {
      if (r.IsFree()) continue;
      if (!found && mine(r)) found = &r;
      if (a.kind == "logical")
        for (const Region& x : r.regions)
          if (!found && !x.IsFree() && mine(x)) found = &x;
    }
  std::string verb = dry ? "would create " : "created ";
  if (!found) return verb + a.kind + " partition on disk" + std::to_string(a.disk);
  const uint64_t len = found->length, off = found->offset;
  const uint64_t cyl = disk->sectorsPerTrack * disk->tracksPerCylinder.value_or(0) * disk->bytesPerSector;
  return verb + (!found->name.empty() ? found->name : a.kind) + " (" + FormatUnits(asked) + " requested, " +
         FormatUnits(len) + " after rounding to cylinder " + std::to_string(cyl ? (off + len) / cyl : 0) +
         ")";
}

}  // namespace

std::string LetterHolder(const Machine& m, const std::string& letter, ZM_OBJECT_ID id) {
  const auto wanted = model::ParseDriveLetter(letter);
  if (!wanted) return "";
  auto letterOf = [](const Volume& v) {
    return v.driveLetter && !v.driveLetter->empty()
               ? std::toupper(static_cast<unsigned char>((*v.driveLetter)[0]))
               : 0;
  };
  const Volume* holder = nullptr;
  std::string used;
  for (const Volume& v : m.volumes) {
    if (letterOf(v) == *wanted && v.id != id) holder = &v;
    if (letterOf(v)) used += static_cast<char>(letterOf(v));
  }
  if (!holder) return "";
  std::string free;  // the first few free letters
  int offered = 0;
  for (char c = 'C'; c <= 'Z' && offered < 4; ++c)
    if (used.find(c) == std::string::npos) {
      free += (offered++ ? ", " : "") + std::string(1, c) + ":";
    }
  const std::string by = holder->name.empty() ? m.NameOf(holder->id) : holder->name;
  const std::string text = std::string(1, static_cast<char>(*wanted)) + ":";
  return text + " is in use by " + (by.empty() ? "another volume" : by) +
         "; remove it there first ('ftdiskctl letter " + (by.empty() ? text : by) +
         " --remove') or pick a free letter" + (free.empty() ? " (none is free)" : " (" + free + ")");
}

PartitionOutcome RequestCreate(zm::Session& s, const RequestContext& c, const NewPartition& a) {
  const std::string no = "cannot create partition: ";
  const Machine m = Machine::Read();
  const Disk* disk = m.FindDisk(a.disk);
  if (!disk)
    return Refused(no + "there is no disk " + std::to_string(a.disk) + " (the machine has " +
                   std::to_string(m.disks.size()) + "; see 'ftdiskctl show')");
  if (disk->readOnly) {
    // A damaged or write-protected disk in the platform's words, else the table's reason.
    std::string why =
        "the table of disk " + std::to_string(a.disk) + " is left alone by requests: " + *disk->readOnly;
    for (const auto& dd : ntp::DamagedDisks())
      if (dd.index == a.disk)
        why =
            dd.reason.rfind("disk ", 0) == 0 ? dd.reason : "disk " + std::to_string(a.disk) + " " + dd.reason;
    return Refused(no + why);
  }
  const uint64_t bps = disk->SectorBytes();
  uint32_t regionType = a.kind == "primary" ? 1 : a.kind == "extended" ? 2 : 3;
  uint64_t offset = a.offset, size = a.size;
  if (a.offsetInSectors) {
    if (offset > disk->size / bps)
      return Refused(no + "the offset " + std::to_string(a.offset) + "s lies beyond the end of disk " +
                     std::to_string(a.disk));
    offset *= bps;
  }
  if (a.sizeInSectors) {
    if (size > disk->size / bps)
      return Refused(no + std::to_string(a.size) + " sectors are more than disk " + std::to_string(a.disk) +
                     " holds (" + FormatUnits(disk->size) + ")");
    size *= bps;
  }
  const std::vector<Region>* regions = &disk->regions;
  if (regionType == 3) {
    regions = nullptr;
    for (const Region& r : disk->regions)
      if (r.IsExtended()) regions = &r.regions;
    if (!regions)
      return Refused(no + "disk " + std::to_string(a.disk) +
                     " has no extended partition to hold a logical drive (create one first with 'ftdiskctl "
                     "create extended --disk " +
                     std::to_string(a.disk) + " --size SIZE')");
  }
  uint64_t largest = 0, freeCount = 0;
  for (const Region& r : *regions)
    if (r.IsFree()) {
      largest = std::max(largest, r.length);
      ++freeCount;
    }
  std::string where = regionType == 3 ? "the extended partition of disk " + std::to_string(a.disk)
                                      : "disk " + std::to_string(a.disk);
  if (freeCount == 0)
    return Refused(no + where + " has no free space left; delete a partition first (see 'ftdiskctl show')");
  const uint64_t minimum = disk->MinCreateSize();
  if (!a.maxSize && size < minimum)
    return Refused(no + FormatUnits(size) +
                   " is less than the smallest partition the provider keeps after rounding to cylinders (" +
                   FormatUnits(minimum) + " on disk " + std::to_string(a.disk) + "); ask for at least " +
                   std::to_string(minimum) + " bytes");
  bool clamped = false;
  if (!a.hasOffset) {
    // The first free region that can hold the size.
    bool found = false;
    for (const Region& r : *regions) {
      if (!r.IsFree()) continue;
      const uint64_t len = r.length;
      if (a.maxSize || len >= size) {
        offset = r.offset;
        if (a.maxSize) size = len;
        found = true;
        break;
      }
    }
    if (!found)
      return Refused(no + "no free region of " + where + " can hold " + FormatUnits(size) +
                     "; the largest holds " + FormatUnits(largest) + " (ask for that, or use --size max)");
  } else {
    bool found = false;
    std::vector<uint64_t> starts;
    auto look = [&](const Region& r) {
      if (!r.IsFree()) return;
      starts.push_back(r.offset);
      if (r.offset == offset) {
        if (a.maxSize) size = r.length;
        found = true;
      }
    };
    for (const Region& r : *regions) {
      look(r);
      for (const Region& x : r.regions) look(x);
    }
    if (!found) {
      std::string list;
      for (uint64_t x : starts) list += (list.empty() ? "" : ", ") + std::to_string(x);
      return Refused(no + "no free region of " + where + " starts at offset " + std::to_string(offset) +
                     "; --offset must be the start of a free region (" + (list.empty() ? "none" : list) +
                     ")");
    }
  }
  // An MBR table describes at most 2^32 sectors (2 TiB with 512-byte sectors).
  uint64_t limit = kMbrSectors * bps;
  if (offset >= limit || limit - offset < minimum)
    return Refused(no + "the free region at offset " + std::to_string(offset) +
                   " lies at or too close to the " + FormatUnits(limit) +
                   " that MBR partition tables can address; the space beyond it cannot be used");
  if (size > limit - offset) {
    if (!a.maxSize)
      return Refused(no + "it would end beyond the " + FormatUnits(limit) +
                     " that MBR partition tables can address; ask for at most " +
                     std::to_string(limit - offset) + " bytes (" + FormatUnits(limit - offset) + ")");
    size = limit - offset;
    clamped = true;
  }
  zm::PropSet in;
  in.AddU64("OFFSET_LL", offset);
  in.AddU64("LENGTH_LL", size);
  in.AddU32("REGION_TYPE", regionType);
  const std::string command = "create " + a.kind + " --disk " + std::to_string(a.disk) + " --size " +
                              std::to_string(size) + " --offset " + std::to_string(offset);
  const uint64_t asked = size;
  return Send(s, c, command, "cannot create partition", disk->id, OPCLASS_LAYOUT, OP_CREATE_PARTITION, in,
              static_cast<int>(a.disk), [&](const Machine& after, uint64_t member, bool dry) {
                std::string line = CreatedLine(after, member, dry, a, asked, offset);
                if (clamped) line += "; --size max stopped at the 2 TiB limit of MBR tables";
                return line;
              });
}

PartitionOutcome RequestDelete(zm::Session& s, const RequestContext& c, const std::string& volume,
                               bool extended, unsigned disk) {
  const Machine m = Machine::Read();
  const std::string target = extended ? "disk" + std::to_string(disk) + "/extended" : volume;
  std::string e;
  // The extended partition may be named by its slot or start too; it has no volume.
  model::VolumeSpec spec;
  const Region* named = nullptr;
  if (model::ParseVolumeSpec(target, &spec, nullptr) &&
      (spec.kind == model::VolumeSpec::Partition || spec.kind == model::VolumeSpec::Start))
    named = m.FindRegion(spec, target, &e);
  const ZM_OBJECT_ID id =
      named != nullptr && named->IsExtended() ? named->id : m.ResolveVolume(target, c.allowIds, &e);
  if (id == 0) return Refused("cannot delete partition: " + e);
  // What is deleted, named as the tool shows it with its start and size.
  std::string name = m.NameOf(id);
  if (const Region* r = m.RegionOf(id)) name = model::RegionSummary(*r);
  if (std::string set = m.FtSetOf(id); !set.empty())
    return Refused("cannot delete " + target + ": it is " + set +
                   ", an FT set; break the set or delete it first (see 'ftdiskctl ft --help')");
  zm::PropSet in;
  return Send(s, c, "delete " + target, "cannot delete partition", id, OPCLASS_LAYOUT, OP_DELETE_PARTITION,
              in, DiskIndexOfObject(m, id), [&](const Machine&, uint64_t, bool dry) {
                return Verb(dry, "deleted ", "would delete ") + (name.empty() ? target : name);
              });
}

PartitionOutcome RequestActive(zm::Session& s, const RequestContext& c, const std::string& volume) {
  const Machine m = Machine::Read();
  std::string e;
  const ZM_OBJECT_ID id = m.ResolveVolume(volume, c.allowIds, &e);
  if (id == 0) return Refused("cannot mark partition active: " + e);
  const std::string name = m.NameOf(id);
  // A logical drive or a CD-ROM has no slot in the master boot record to carry the flag;
  // FT sets are left to the provider.
  if (const Volume* v = m.FindVolume(id); v && (v->kind == "logical" || v->kind == "cdrom"))
    return Refused(
        "cannot mark " + volume + " active: only a primary partition can be the boot partition, and " +
        (name.empty() ? volume : name) + " is " + (v->kind == "logical" ? "a logical drive" : "a CD-ROM") +
        "; pick a primary partition (diskN/pM with M from 1 to 4)");
  const std::string set = m.FtSetOf(id);
  const std::string what = set.empty()
                               ? "cannot mark partition active"
                               : "cannot mark " + volume + " active (it belongs to " + set + ", an FT set)";
  zm::PropSet in;
  return Send(s, c, "active " + volume, what, id, OPCLASS_VOLUME, OP_MARK_ACTIVE, in,
              DiskIndexOfObject(m, id), [&](const Machine&, uint64_t, bool dry) {
                return Verb(dry, "marked ", "would mark ") + name + " active";
              });
}

PartitionOutcome RequestLetter(zm::Session& s, const RequestContext& c, const std::string& volume,
                               const std::string& letter, bool remove) {
  const Machine m = Machine::Read();
  std::string e;
  const std::string what = remove ? "cannot remove drive letter" : "cannot assign drive letter";
  const ZM_OBJECT_ID id = m.ResolveVolume(volume, c.allowIds, &e);
  if (id == 0) return Refused(what + ": " + e);
  const std::string name = m.NameOf(id);
  // The host's statuses say "in use" and "a property is missing": say by what, and why.
  const Explain explain = [&](ZMSTATUS st) -> std::string {
    if (st == ZM_E_LETTER_IN_USE && !remove) return LetterHolder(m, letter, id);
    const Region* r = m.RegionOf(id);
    if (st != ZM_E_NO_PROPERTY || !r || !r->IsExtended()) return "";
    std::string logicals;
    for (const Region& x : r->regions)
      if (!x.IsFree() && !x.name.empty()) logicals += (logicals.empty() ? "" : ", ") + x.name;
    return (r->name.empty() ? volume : r->name) +
           " is the extended partition: it holds no file system and takes no drive letter; " +
           (logicals.empty()
                ? "create a logical drive in it ('ftdiskctl create logical --disk " +
                      std::to_string(DiskIndexOfObject(m, id)) + " --size SIZE') and give that one a letter"
                : "give the letter to one of its logical drives (" + logicals + ")");
  };
  zm::PropSet in;
  std::string command = "letter " + volume;
  std::string text;
  if (!remove) {
    const auto l = model::ParseDriveLetter(letter);  // checked by the parser already
    text = std::string(1, l ? *l : '?') + ":";
    in.AddString("DRIVE_LETTER", zm::Widen(text));
    command += " " + text;
  } else {
    command += " --remove";
  }
  return Send(
      s, c, command, what, id, OPCLASS_VOLUME, remove ? OP_REMOVE_DRIVE_LETTER : OP_ASSIGN_DRIVE_LETTER, in,
      DiskIndexOfObject(m, id),
      [&](const Machine&, uint64_t, bool dry) {
        return remove ? Verb(dry, "removed the drive letter of ", "would remove the drive letter of ") + name
                      : Verb(dry, "assigned ", "would assign ") + text + " to " + name;
      },
      explain);
}

PartitionOutcome RequestRescan(zm::Session& s, const RequestContext& c, std::optional<unsigned> disk) {
  if (!disk) return RequestRefresh(s, c, "rescan", "cannot rescan");
  const Machine m = Machine::Read();
  const Disk* d = m.FindDisk(*disk);
  if (!d) return Refused("cannot rescan: there is no disk " + std::to_string(*disk));
  zm::PropSet in;
  return Send(s, c, "rescan --disk " + std::to_string(*disk), "cannot rescan disk", d->id, OPCLASS_LAYOUT,
              OP_UPDATE_DISK, in, static_cast<int>(*disk));
}

PartitionOutcome RequestRefresh(zm::Session& s, const RequestContext& c, const std::string& command,
                                const std::string& what) {
  zm::PropSet in;
  return Send(s, c, command, what, 0, OPCLASS_LAYOUT, OP_REFRESH, in, -1);
}

PartitionOutcome RequestMenus(zm::Session& s, const RequestContext& c) {
  zm::PropSet in;
  return Send(s, c, "menus", "cannot update the context menus", 0, OPCLASS_VOLUME, OP_UPDATE_CONTEXT_MENUS,
              in, -1);
}

}  // namespace ftconfig
