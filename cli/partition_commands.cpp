// The partition requests: create, delete, active, letter, rescan and menus.
#include "partition_commands.h"

#include <unistd.h>

#include <algorithm>
#include <ostream>

#include "command_table.h"
#include "machine.h"
#include "ntplatform.h"
#include "request.h"

namespace cli {

namespace {

// MBR tables address 2^32 sectors.
constexpr uint64_t kMbrSectors = uint64_t{1} << 32;

// "created disk0/p1 (100 MiB requested, 101.9 MiB after rounding to cylinder 13)".
std::string CreatedLine(const Machine& m, uint64_t member, bool dry, const CreateArgs& a, uint64_t asked,
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
  std::string line = verb + (!found->name.empty() ? found->name : a.kind) + " (" + FormatUnits(asked) +
                     " requested, " + FormatUnits(len) + " after rounding to cylinder " +
                     std::to_string(cyl ? (off + len) / cyl : 0) + ")";
  return line;
}

// Why letter cannot go to volume id because another volume has it ("" when none has):
// which volume, and what to do.
std::string LetterHolder(const Machine& m, const std::string& letter, ZM_OBJECT_ID id) {
  const auto wanted = ParseDriveLetter(letter);
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

}  // namespace

int CmdCreate(Session& s, const Options& opt, const CreateArgs& a, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  const Machine m = Machine::Read();
  const Disk* disk = m.FindDisk(a.disk);
  if (!disk) {
    err << "cannot create partition: there is no disk " << a.disk << " (the machine has " << m.disks.size()
        << "; see 'ftdiskctl show')\n";
    return kFailed;
  }
  if (disk->readOnly) {
    // A damaged or write-protected disk in the platform's words, else the table's reason.
    std::string why =
        "the table of disk " + std::to_string(a.disk) + " is left alone by requests: " + *disk->readOnly;
    for (const auto& dd : ntp::DamagedDisks())
      if (dd.index == a.disk)
        why =
            dd.reason.rfind("disk ", 0) == 0 ? dd.reason : "disk " + std::to_string(a.disk) + " " + dd.reason;
    err << "cannot create partition: " << why << "\n";
    return kFailed;
  }
  const uint64_t bps = disk->SectorBytes();
  uint32_t regionType = a.kind == "primary" ? 1 : a.kind == "extended" ? 2 : 3;
  uint64_t offset = a.offset, size = a.size;
  if (a.offsetInSectors) {
    if (offset > disk->size / bps) {
      err << "cannot create partition: the offset " << a.offset << "s lies beyond the end of disk " << a.disk
          << "\n";
      return kFailed;
    }
    offset *= bps;
  }
  if (a.sizeInSectors) {
    if (size > disk->size / bps) {
      err << "cannot create partition: " << a.size << " sectors are more than disk " << a.disk << " holds ("
          << FormatUnits(disk->size) << ")\n";
      return kFailed;
    }
    size *= bps;
  }
  const std::vector<Region>* regions = &disk->regions;
  if (regionType == 3) {
    regions = nullptr;
    for (const Region& r : disk->regions)
      if (r.IsExtended()) regions = &r.regions;
    if (!regions) {
      err << "cannot create partition: disk " << a.disk
          << " has no extended partition to hold a logical drive (create one first with 'ftdiskctl create "
             "extended --disk "
          << a.disk << " --size SIZE')\n";
      return kFailed;
    }
  }
  uint64_t largest = 0, freeCount = 0;
  for (const Region& r : *regions)
    if (r.IsFree()) {
      largest = std::max(largest, r.length);
      ++freeCount;
    }
  std::string where = regionType == 3 ? "the extended partition of disk " + std::to_string(a.disk)
                                      : "disk " + std::to_string(a.disk);
  if (freeCount == 0) {
    err << "cannot create partition: " << where
        << " has no free space left; delete a partition first (see 'ftdiskctl show')\n";
    return kFailed;
  }
  const uint64_t minimum = disk->MinCreateSize();
  if (!a.maxSize && size < minimum) {
    err << "cannot create partition: " << FormatUnits(size) << " is less than the smallest partition the "
        << "provider keeps after rounding to cylinders (" << FormatUnits(minimum) << " on disk " << a.disk
        << "); ask for at least " << minimum << " bytes\n";
    return kFailed;
  }
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
    if (!found) {
      err << "cannot create partition: no free region of " << where << " can hold " << FormatUnits(size)
          << "; the largest holds " << FormatUnits(largest) << " (ask for that, or use --size max)\n";
      return kFailed;
    }
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
      err << "cannot create partition: no free region of " << where << " starts at offset " << offset
          << "; --offset must be the start of a free region (" << (list.empty() ? "none" : list) << ")\n";
      return kFailed;
    }
  }
  // An MBR table describes at most 2^32 sectors (2 TiB with 512-byte sectors).
  uint64_t limit = kMbrSectors * bps;
  if (offset >= limit || limit - offset < minimum) {
    err << "cannot create partition: the free region at offset " << offset << " lies at or too close to the "
        << FormatUnits(limit)
        << " that MBR partition tables can address; the space beyond it cannot be used\n";
    return kFailed;
  }
  if (size > limit - offset) {
    if (!a.maxSize) {
      err << "cannot create partition: it would end beyond the " << FormatUnits(limit)
          << " that MBR partition tables can address; ask for at most " << (limit - offset) << " bytes ("
          << FormatUnits(limit - offset) << ")\n";
      return kFailed;
    }
    size = limit - offset;
    clamped = true;
  }
  PropSet in;
  in.AddU64("OFFSET_LL", offset);
  in.AddU64("LENGTH_LL", size);
  in.AddU32("REGION_TYPE", regionType);
  std::string command = "create " + a.kind + " --disk " + std::to_string(a.disk) + " --size " +
                        std::to_string(size) + " --offset " + std::to_string(offset);
  uint64_t asked = size;
  Describe describe = [&](const Machine& after, uint64_t member, bool dry) {
    std::string line = CreatedLine(after, member, dry, a, asked, offset);
    if (clamped) line += "; --size max stopped at the 2 TiB limit of MBR tables";
    return line;
  };
  return Request(s, opt, command, "cannot create partition", disk->id, OPCLASS_LAYOUT, OP_CREATE_PARTITION,
                 in, static_cast<int>(a.disk), out, err, describe);
}

int CmdDelete(Session& s, const Options& opt, const std::string& volume, bool extended, unsigned disk,
              std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  const Machine m = Machine::Read();
  ZM_OBJECT_ID id = 0;
  int diskIndex = -1;
  std::string target = extended ? "disk" + std::to_string(disk) + "/extended" : volume;
  std::string e;
  // The extended partition may be named by its slot or start too; it has no volume.
  VolumeSpec spec;
  const Region* named = nullptr;
  if (ParseVolumeSpec(target, &spec, nullptr) &&
      (spec.kind == VolumeSpec::Partition || spec.kind == VolumeSpec::Start))
    named = m.FindRegion(spec, target, &e);
  id = named != nullptr && named->IsExtended() ? named->id : m.ResolveVolume(target, opt.inShell, &e);
  if (id == 0) {
    err << "cannot delete partition: " << e << "\n";
    return kFailed;
  }
  diskIndex = DiskIndexOfObject(m, id);
  // What is deleted, named as the tool shows it with its start and size.
  std::string name = m.NameOf(id);
  if (const Region* r = m.RegionOf(id)) name = RegionSummary(*r);
  if (std::string set = m.FtSetOf(id); !set.empty()) {
    err << "cannot delete " << target << ": it is " << set
        << ", an FT set; break the set or delete it first (see 'ftdiskctl ft --help')\n";
    return kFailed;
  }
  PropSet in;
  std::string command = "delete " + target;
  return Request(s, opt, command, "cannot delete partition", id, OPCLASS_LAYOUT, OP_DELETE_PARTITION, in,
                 diskIndex, out, err, [&](const Machine&, uint64_t, bool dry) {
                   return Verb(dry, "deleted ", "would delete ") + (name.empty() ? target : name);
                 });
}

int CmdActive(Session& s, const Options& opt, const std::string& volume, std::ostream& out,
              std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  const Machine m = Machine::Read();
  std::string e;
  ZM_OBJECT_ID id = m.ResolveVolume(volume, opt.inShell, &e);
  if (id == 0) {
    err << "cannot mark partition active: " << e << "\n";
    return kFailed;
  }
  std::string name = m.NameOf(id);
  // A logical drive or a CD-ROM has no slot in the master boot record to carry the flag;
  // FT sets are left to the provider.
  if (const Volume* v = m.FindVolume(id); v && (v->kind == "logical" || v->kind == "cdrom")) {
    const std::string kind = v->kind;
    err << "cannot mark " << volume << " active: only a primary partition can be the boot partition, and "
        << (name.empty() ? volume : name) << " is " << (kind == "logical" ? "a logical drive" : "a CD-ROM")
        << "; pick a primary partition (diskN/pM with M from 1 to 4)\n";
    return kFailed;
  }
  std::string set = m.FtSetOf(id);
  std::string what = set.empty() ? "cannot mark partition active"
                                 : "cannot mark " + volume + " active (it belongs to " + set + ", an FT set)";
  PropSet in;
  return Request(s, opt, "active " + volume, what, id, OPCLASS_VOLUME, OP_MARK_ACTIVE, in,
                 DiskIndexOfObject(m, id), out, err, [&](const Machine&, uint64_t, bool dry) {
                   return Verb(dry, "marked ", "would mark ") + name + " active";
                 });
}

int CmdLetter(Session& s, const Options& opt, const std::string& volume, const std::string& letter,
              bool remove, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  const Machine m = Machine::Read();
  std::string e;
  std::string what = remove ? "cannot remove drive letter" : "cannot assign drive letter";
  ZM_OBJECT_ID id = m.ResolveVolume(volume, opt.inShell, &e);
  if (id == 0) {
    err << what << ": " << e << "\n";
    return kFailed;
  }
  std::string name = m.NameOf(id);
  // The host's statuses say "in use" and "a property is missing": say by what, and why.
  Explain explain = [&](ZMSTATUS st) -> std::string {
    if (st == ZM_E_LETTER_IN_USE && !remove) return LetterHolder(m, letter, id);
    const Region* r = m.RegionOf(id);
    if (st != ZM_E_NO_PROPERTY || !r || !r->IsExtended()) return "";
    std::string logicals;
    for (const Region& x : r->regions)
      if (!x.IsFree() && !x.name.empty()) logicals += (logicals.empty() ? "" : ", ") + x.name;
    return (r->name.empty() ? volume : r->name) +
           " is the extended partition: it holds no file system and takes no drive letter; " +
           (logicals.empty() ? "create a logical drive in it ('ftdiskctl create logical --disk " +
                                   std::to_string(DiskIndexOfObject(m, id)) +
                                   " --size SIZE') and give that one "
                                   "a letter"
                             : "give the letter to one of its logical drives (" + logicals + ")");
  };
  PropSet in;
  std::string command = "letter " + volume;
  std::string text;
  if (!remove) {
    auto l = ParseDriveLetter(letter);  // checked by the parser already
    text = std::string(1, l ? *l : '?') + ":";
    in.AddString("DRIVE_LETTER", Widen(text));
    command += " " + text;
  } else {
    command += " --remove";
  }
  return Request(
      s, opt, command, what, id, OPCLASS_VOLUME, remove ? OP_REMOVE_DRIVE_LETTER : OP_ASSIGN_DRIVE_LETTER, in,
      DiskIndexOfObject(m, id), out, err,
      [&](const Machine&, uint64_t, bool dry) {
        return remove ? Verb(dry, "removed the drive letter of ", "would remove the drive letter of ") + name
                      : Verb(dry, "assigned ", "would assign ") + text + " to " + name;
      },
      explain);
}

int CmdRescan(Session& s, const Options& opt, bool hasDisk, unsigned disk, std::ostream& out,
              std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  PropSet in;
  if (!hasDisk)
    return Request(s, opt, "rescan", "cannot rescan", 0, OPCLASS_LAYOUT, OP_REFRESH, in, -1, out, err);
  const Machine m = Machine::Read();
  const Disk* d = m.FindDisk(disk);
  if (!d) {
    err << "cannot rescan: there is no disk " << disk << "\n";
    return kFailed;
  }
  return Request(s, opt, "rescan --disk " + std::to_string(disk), "cannot rescan disk", d->id, OPCLASS_LAYOUT,
                 OP_UPDATE_DISK, in, static_cast<int>(disk), out, err);
}

int CmdMenus(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  PropSet in;
  Options v = opt;
  v.verbose = true;
  return Request(s, v, "menus", "cannot update the context menus", 0, OPCLASS_VOLUME, OP_UPDATE_CONTEXT_MENUS,
                 in, -1, out, err);
}

namespace {

// On a terminal, a partition holding a file system is deleted only when the user says
// so. A name that does not resolve goes on to the request, which says what is wrong.
bool ConfirmDelete(Call& c, const std::string& target) {
  const Options& opt = c.opt;
  if (opt.yes || opt.json || opt.dryRun || !isatty(0) || !isatty(2)) return true;
  std::string e;
  if (!c.s.open() && !c.s.Open(opt.dir, opt.noWait, &e)) return true;
  const Machine m = Machine::Read();
  const Volume* v = m.FindVolume(m.ResolveVolume(target, opt.inShell, &e));
  if (!v || !v->fileSystem) return true;
  const std::string fs = *v->fileSystem;
  if (fs.empty() || fs == "RAW" || fs == "unknown") return true;
  return Confirm(opt, "delete " + target + "? it holds a " + fs + " file system, lost with it");
}

}  // namespace

std::vector<CommandSpec> PartitionCommands() {
  return {
      {"create",
       "create a primary, extended or logical partition",
       {Text("KIND", "primary, extended or logical").Req().Choices({"primary", "extended", "logical"}),
        Uint("--disk", "disk number").Req().Of(Names::kDisk),
        Text("--size",
             "size: 100M or 100MiB (binary), 100MB (decimal), 2048s (sectors), bytes, or max for the whole "
             "free "
             "region")
            .Req()
            .Meta("SIZE|max")
            .Checked(Check::kSize),
        Text("--offset", "start of the free region to use (bytes, units or sectors)")
            .Meta("BYTES")
            .Checked(Check::kOffset)},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         CreateArgs create;
         create.kind = c.a.Text("KIND");
         create.disk = c.a.Uint("disk");
         const std::string& size = c.a.Text("size");
         create.maxSize = size == "max";
         std::string e;
         if (!create.maxSize) ParseSize(size, false, &create.size, &e, &create.sizeInSectors);
         create.hasOffset = !c.a.Text("offset").empty();
         if (create.hasOffset)
           ParseSize(c.a.Text("offset"), true, &create.offset, &e, &create.offsetInSectors);
         return CmdCreate(c.s, c.opt, create, c.out, c.err);
       },
       "ftdiskctl -m m create logical --disk 0 --size 50M"},

      {"delete",
       "delete a partition (by its volume) or an empty extended partition",
       {Text("VOLUME", "E:, diskN/pM, diskN@START, diskN/extended, or the word extended with --disk")
            .Req()
            .Of(Names::kRegion),
        Uint("--disk", "the disk, with 'delete extended'").Of(Names::kDisk)},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         const std::string& target = c.a.Text("VOLUME");
         const bool extended = target == "extended";
         if (extended && !c.a.Given("disk"))
           return UsageError(c, "'delete extended' needs --disk N (or name it: delete diskN/extended)");
         if (!extended && c.a.Given("disk")) return UsageError(c, "--disk goes only with 'delete extended'");
         VolumeSpec spec;
         std::string e;
         if (!extended && !ParseVolumeSpec(target, &spec, &e)) return UsageError(c, e.c_str());
         if (!extended && !ConfirmDelete(c, target)) return c.err << "nothing deleted\n", kFailed;
         return CmdDelete(c.s, c.opt, target, extended, c.a.Uint("disk"), c.out, c.err);
       },
       "ftdiskctl -m m delete disk0/p5   |   ftdiskctl -m m delete extended --disk 0"},

      {"active",
       "make a primary partition the active (boot) partition",
       {Text("VOLUME", "E: or diskN/pM (object ids only inside the shell)")
            .Req()
            .Of(Names::kRegion)
            .Checked(Check::kVolume)},
       kWrites,
       nullptr,
       0,
       [](Call& c) { return CmdActive(c.s, c.opt, c.a.Text("VOLUME"), c.out, c.err); },
       "ftdiskctl -m m active disk0/p1"},

      {"letter",
       "assign or remove a volume's drive letter",
       {Text("VOLUME", "E:, diskN/pM, cdromN or an FT set such as mirror0")
            .Req()
            .Of(Names::kVolume)
            .Checked(Check::kVolume),
        Text("LETTER", "the new letter, C: to Z:").Meta("X:").Checked(Check::kLetter).Excludes("--remove"),
        Flag("--remove", "remove the letter")},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         if (!c.a.Flag("remove") && c.a.Text("LETTER").empty())
           return UsageError(c, "give the new letter (for example E:) or --remove");
         return CmdLetter(c.s, c.opt, c.a.Text("VOLUME"), c.a.Text("LETTER"), c.a.Flag("remove"), c.out,
                          c.err);
       },
       "ftdiskctl -m m letter disk0/p1 E:   |   ftdiskctl -m m letter E: --remove"},

      {"rescan",
       "read the partition tables again and republish them",
       {Uint("--disk", "only disk N (update-disk request)").Of(Names::kDisk)},
       kWrites,
       nullptr,
       0,
       [](Call& c) { return CmdRescan(c.s, c.opt, c.a.Given("disk"), c.a.Uint("disk"), c.out, c.err); },
       "ftdiskctl -m m rescan --disk 1"},
  };
}

std::vector<CommandSpec> MenuCommands() {
  return {
      {"menus",
       "recompute every context menu and print the masks",
       {},
       kWrites,
       nullptr,
       0,
       [](Call& c) { return CmdMenus(c.s, c.opt, c.out, c.err); },
       "ftdiskctl -m m menus --json"},
  };
}

}  // namespace cli
