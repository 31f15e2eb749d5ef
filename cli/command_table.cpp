// The commands of ftdiskctl, one row each, and the parser made from them. A new command
// is a row here and its handler in its family's file (declared here above its row when no
// header declares it yet).
#include "command_table.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iostream>

#include "ftcmd.h"
#include "hive_commands.h"

namespace cli {

// dump.cpp and detach.cpp.
int CmdDump(Session& s, const Options& opt, const std::vector<std::string>& disks, std::ostream& out,
            std::ostream& err);
int CmdApply(Session& s, const Options& opt, const std::string& file, bool force, std::ostream& out,
             std::ostream& err);
int CmdDetach(Session& s, const Options& opt, const std::string& disk, bool force, std::ostream& out,
              std::ostream& err);

namespace {

// Checks a SIZE argument (binary units or bytes); "max" is the whole free region.
std::string SizeCheck(const std::string& s) {
  if (s == "max") return "";
  uint64_t v;
  bool sectors;
  std::string e;
  return ParseSize(s, false, &v, &e, &sectors) ? "" : e;
}

std::string OffsetCheck(const std::string& s) {
  uint64_t v;
  bool sectors;
  std::string e;
  return ParseSize(s, true, &v, &e, &sectors) ? "" : e;
}

std::string LetterCheck(const std::string& s) {
  return ParseDriveLetter(s) ? "" : "'" + s + "' is not a drive letter (C: to Z:)";
}

std::string VolumeCheck(const std::string& s) {
  VolumeSpec v;
  std::string e;
  return ParseVolumeSpec(s, &v, &e) ? "" : e;
}

// The table's rows are written with these: Opt("--disk", ...) for an option,
// Arg("DIR", ...) for an argument, then what sets them apart.
struct O : OptionSpec {
  O(const char* names, Holds holds, const char* help) : OptionSpec{names, holds, help} {}
  O& Req() { return required = true, *this; }
  O& Of(Names n) { return object = n, *this; }
  O& Meta(const char* m) { return meta = m, *this; }
  O& Choices(std::vector<std::string> c) { return choices = std::move(c), *this; }
  O& Offers(std::vector<std::string> c) { return completions = std::move(c), *this; }
  O& Checked(Check c) { return check = c, *this; }
  O& Excludes(const char* other) { return excludes = other, *this; }
  O& Into(bool Options::*f) { return flag = f, *this; }
  O& Into(std::string Options::*t) { return text = t, *this; }
};
O Flag(const char* names, const char* help) { return O(names, Holds::kFlag, help); }
O Text(const char* names, const char* help) { return O(names, Holds::kText, help); }
O Texts(const char* names, const char* help) { return O(names, Holds::kTexts, help); }
// A number option's value is N in the synopsis; an argument is named by its name.
O Number(const char* names, Holds holds, const char* help) {
  O o(names, holds, help);
  return names[0] == '-' ? o.Meta("N") : o;
}
O Uint(const char* names, const char* help) { return Number(names, Holds::kUint, help); }
O Uints(const char* names, const char* help) { return Number(names, Holds::kUints, help); }
O Int(const char* names, const char* help) { return Number(names, Holds::kInt, help); }

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

int Restore(Call& c) {
  const std::string& backup = c.a.Text("BACKUP");
  if (!Confirm(c.opt, "write the sectors of backup " + backup + " back over what the disk holds now?"))
    return c.err << "nothing restored\n", kFailed;
  return CmdRestore(c.s, c.opt, backup, c.a.Flag("force"), c.out, c.err);
}

int UsageError(Call& c, const char* message) {
  c.err << "ftdiskctl: " << message << "\n";
  return kUsage;
}

const char* const kSetHelp = "the set (mirrorG, ...) or its letter";

std::vector<CommandSpec> MakeTable() {
  // The column lists come from the column tables, so a new column is named here too.
  static const std::string regionColumns =
      "partition columns, comma-separated: " + JoinColumns(Table::Regions);
  static const std::string volumeColumns = "volume columns, comma-separated: " + JoinColumns(Table::Volumes);
  const auto restoreOptions = std::vector<OptionSpec>{
      Text("BACKUP", "backup name (from 'backups list') or .bak file").Req().Of(Names::kBackup),
      Flag("--force", "restore even when later requests changed the sectors")};
  return {
      {"",
       "ftdiskctl: manage the partitions, drive letters and FT sets of a machine",
       {Text("-m,--machine", "machine directory (default ./machine, or $FTDISKCTL_MACHINE)")
            .Of(Names::kDir)
            .Meta("DIR")
            .Into(&Options::dir),
        Texts("--image",
              "instead of -m: look at this disk image or block device without a machine (read-only commands; "
              "nothing is written); repeatable")
            .Of(Names::kFile)
            .Meta("IMAGE"),
        Text("--hive", "with --image: the FT configuration of the DISK key of this NT SYSTEM hive")
            .Of(Names::kFile)
            .Meta("SYSTEM")
            .Excludes("--reg"),
        Text("--reg", "with --image: the FT configuration of this REGEDIT4 .reg file")
            .Of(Names::kFile)
            .Meta("FILE"),
        Flag("--no-wait", "fail at once when another process holds the machine").Into(&Options::noWait),
        Flag("--json", "print JSON (schema: docs/json-schema.md)").Into(&Options::json),
        Flag("--bytes", "print sizes and offsets as exact byte counts").Into(&Options::bytes),
        Flag("--sectors",
             "print sizes and offsets in sectors of their disk (show, layout); a remainder as +Nb")
            .Excludes("--bytes")
            .Into(&Options::sectors),
        Flag("--cylinders",
             "print sizes and offsets in cylinders of their disk's geometry (show, layout); what is past the "
             "last whole cylinder as +Ns, in sectors")
            .Excludes("--sectors")
            .Into(&Options::cylinders),
        Flag("-y,--yes",
             "do not ask before a request destroys data (asked only on a terminal: delete of a partition "
             "holding "
             "a file system, ft delete and break, volume import, restore)")
            .Into(&Options::yes),
        Flag(
            "-q,--quiet",
            "print nothing on standard output (errors still go to standard error): the exit status tells, as "
            "with grep -q")
            .Excludes("--json")
            .Into(&Options::quiet),
        Flag("-n,--dry-run", "run a writing request on an overlay of the machine and print what would change")
            .Into(&Options::dryRun),
        Text("--color", "colours in tables: auto (on a terminal), always or never")
            .Choices({"auto", "always", "never"})
            .Meta("WHEN")
            .Into(&Options::color),
        Flag("--version", "print the version of ftdiskctl and of the provider module")},
       0,
       nullptr,
       0,
       nullptr,
       "ftdiskctl init m --disk 512M --disk 512M\nftdiskctl -m m create primary --disk 0 --size 100M\n"
       "ftdiskctl -m m letter disk0/p1 E:\nftdiskctl -m m show\n"},

      {"init",
       "make a machine directory with new sparse disk images",
       {Text("DIR", "machine directory to make (default: the -m directory)").Of(Names::kDir),
        Texts("--disk", "a disk: SIZE[,heads,sectors[,removable]]; repeat for more disks").Meta("SIZE"),
        Texts("--cdrom", "a CD-ROM drive holding this ISO image; repeatable")
            .Of(Names::kFile)
            .Meta("ISO")
            .Checked(Check::kExistingFile),
        Flag("--cdrom-empty", "a CD-ROM drive without a medium"),
        Texts("--attach", "an existing disk image or block device (not modified); repeatable")
            .Of(Names::kFile)
            .Meta("IMAGE"),
        Text("--from-hive", "import the DISK key of this NT SYSTEM hive file")
            .Of(Names::kFile)
            .Meta("SYSTEM")
            .Checked(Check::kExistingFile),
        Flag("--read-only", "the --attach images are evidence: no request writes them"),
        Flag("--force", "make the machine in a directory that is not empty").Into(&Options::force)},
       kOwnProcess | kWritesOutside | kOwnDryRun,
       nullptr,
       0,
       [](Call& c) {
         const Args& a = c.a;
         if (a.Texts("disk").empty() && a.Texts("attach").empty())
           return UsageError(c, "init needs at least one --disk SIZE or --attach IMAGE");
         if (a.Flag("read-only") && a.Texts("attach").empty())
           return UsageError(c, "--read-only goes with --attach (new --disk images are the machine's own)");
         const std::string dir = a.Text("DIR").empty() ? c.opt.dir : a.Text("DIR");
         if (!a.Text("from-hive").empty() || !a.Texts("attach").empty())
           return CmdInitFromHive(c.opt,
                                  {dir, a.Texts("disk"), a.Texts("cdrom"), a.Texts("attach"),
                                   a.Flag("cdrom-empty"), a.Text("from-hive"), a.Flag("read-only")},
                                  c.out, c.err);
         return CmdInit(c.opt, dir, a.Texts("disk"), a.Texts("cdrom"), a.Flag("cdrom-empty"), c.out, c.err);
       },
       "ftdiskctl init m --disk 512M --disk 1G,255,63 --cdrom-empty"},

      {"attach",
       "add an existing disk image or block device (it is not modified)",
       {Text("IMAGE", "image file or block device").Req().Of(Names::kFile),
        Flag("--removable", "the disk is removable"),
        Flag("--write-signature",
             "give the disk a fresh unique signature when its own is 0 or another disk's (sector 0 is backed "
             "up "
             "first); also for a disk attached already"),
        Flag(
            "--read-only",
            "evidence: the disk is opened for reading only and every request that would write it is refused; "
            "also for a disk attached already")
            .Excludes("--write-signature"),
        Flag("--force", "with --write-signature: also when the FT configuration records the old signature")
            .Into(&Options::force)},
       kOwnProcess | kWritesOutside | kOwnDryRun,
       nullptr,
       0,
       [](Call& c) {
         return CmdAttach(c.opt, c.a.Text("IMAGE"), c.a.Flag("removable"), c.a.Flag("write-signature"),
                          c.a.Flag("read-only"), c.out, c.err, c.opt.force);
       },
       "ftdiskctl -m m attach old-nt-disk.img"},

      {"detach",
       "remove a disk from the machine (its image or device is not touched)",
       {Text("DISK", "the disk: diskN or N").Req().Of(Names::kDisk),
        Flag("--force", "also when FT sets have members on it (they are orphaned)").Into(&Options::force)},
       kWrites | kOwnProcess,
       nullptr,
       0,
       [](Call& c) { return CmdDetach(c.s, c.opt, c.a.Text("DISK"), c.opt.force, c.out, c.err); },
       "ftdiskctl -m m detach disk1"},

      {"show",
       "print disks, partitions, free space and volumes as a tree",
       {Flag("-v,--verbose", "also print the context-menu masks in words").Into(&Options::verbose),
        Text("-o,--output", regionColumns.c_str())
            .Meta("COLUMNS")
            .Checked(Check::kColumns)
            .Into(&Options::columns),
        Text("-O,--volume-output", volumeColumns.c_str())
            .Meta("COLUMNS")
            .Checked(Check::kVolumeColumns)
            .Into(&Options::volumeColumns),
        Flag("--list", "partitions as a list instead of a tree").Into(&Options::list),
        Flag("--raw", "only the partition rows, blank-separated, for scripts").Into(&Options::raw),
        Flag("--noheadings", "no line of column names").Into(&Options::noHeadings),
        Flag("-P,--pairs", "only the partition rows, as NAME=\"value\" pairs (as lsblk -P)")
            .Into(&Options::pairs)},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) {
         if (c.opt.pairs) c.opt.raw = true;  // the rows alone, as --raw gives them
         return CmdShow(c.s, c.opt, c.out, c.err);
       },
       "ftdiskctl -m m show -o NAME,SIZE,LETTER --raw"},

      {"layout",
       "print the partition table exactly as the disk driver reports it",
       {Uint("--disk", "only disk N").Of(Names::kDisk)},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) { return CmdLayout(c.s, c.opt, c.a.Given("disk"), c.a.Uint("disk"), c.out, c.err); },
       "ftdiskctl -m m layout --disk 0 --json"},

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
         if (!extended && !VolumeCheck(target).empty()) return UsageError(c, VolumeCheck(target).c_str());
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

      {"check",
       "compare the FT configuration with the disks; exit 1 when not well",
       {},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) { return CmdCheck(c.s, c.opt, c.out, c.err); },
       "ftdiskctl -m m check --json"},

      {"menus",
       "recompute every context menu and print the masks",
       {},
       kWrites,
       nullptr,
       0,
       [](Call& c) { return CmdMenus(c.s, c.opt, c.out, c.err); },
       "ftdiskctl -m m menus --json"},

      {"registry",
       "the disk registry (HKEY_LOCAL_MACHINE\\SYSTEM\\DISK)",
       {},
       kNeedsCommand,
       nullptr,
       0,
       nullptr,
       "ftdiskctl -m m registry show"},
      {"registry show",
       "decode the FT configuration \"Information\"",
       {Text("--hive", "decode the DISK key of this NT SYSTEM hive file (no machine)")
            .Of(Names::kFile)
            .Meta("SYSTEM")},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) {
         if (c.a.Given("hive")) return CmdRegistryShowHive(c.opt, c.a.Text("hive"), c.out, c.err);
         return CmdRegistryShow(c.s, c.opt, c.out, c.err);
       },
       "ftdiskctl -m m registry show --json   |   ftdiskctl registry show --hive SYSTEM"},
      {"registry export",
       "write the key as a REGEDIT4 .reg file or into a hive",
       {Text("FILE", ".reg file to write").Of(Names::kFile).Excludes("--hive"),
        Text("--hive", "write the DISK key into this NT SYSTEM hive (made when missing)")
            .Of(Names::kFile)
            .Meta("SYSTEM"),
        Flag("--no-backup", "with --hive: do not keep the previous hive as FILE.bak")},
       kReadOnly | kOwnDryRun,
       "--hive",
       kReadOnly | kWritesOutside | kOwnDryRun,
       [](Call& c) {
         const std::string &file = c.a.Text("FILE"), &hive = c.a.Text("hive");
         if (file.empty() && hive.empty()) return UsageError(c, "give a .reg FILE or --hive SYSTEM");
         if (c.a.Flag("no-backup") && hive.empty()) return UsageError(c, "--no-backup goes only with --hive");
         if (!hive.empty())
           return CmdRegistryExportHive(c.s, c.opt, hive, !c.a.Flag("no-backup"), c.out, c.err);
         return CmdRegistryExport(c.s, c.opt, file, c.out, c.err);
       },
       "ftdiskctl -m m registry export disk.reg   |   ftdiskctl -m m registry export --hive SYSTEM"},
      {"registry import",
       "read values from a REGEDIT4 .reg file or a hive, then rescan",
       {Text("FILE", ".reg file to read").Of(Names::kFile).Excludes("--hive"),
        Text("--hive", "read the DISK key of this NT SYSTEM hive").Of(Names::kFile).Meta("SYSTEM"),
        Flag("--no-rescan", "do not rescan after the import"),
        Flag("--force", "import even when FT sets or disks of this machine would be lost")
            .Into(&Options::force)},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         const std::string &file = c.a.Text("FILE"), &hive = c.a.Text("hive");
         if (file.empty() && hive.empty()) return UsageError(c, "give a .reg FILE or --hive SYSTEM");
         if (!hive.empty())
           return CmdRegistryImportHive(c.s, c.opt, hive, !c.a.Flag("no-rescan"), c.out, c.err);
         return CmdRegistryImport(c.s, c.opt, file, !c.a.Flag("no-rescan"), c.out, c.err);
       },
       "ftdiskctl -m m registry import mirror.reg   |   ftdiskctl -m m registry import --hive SYSTEM"},
      {"registry recover",
       "restore the newest automatic backup of the disk key when registry.db is lost or damaged",
       {Flag("--empty", "start with an empty registry"), Flag("--list", "list the automatic backups"),
        Uint("--backup", "restore this backup (a number from --list)").Excludes("--empty")},
       kOwnProcess | kWritesOutside | kOwnDryRun,
       "--list",
       kOwnProcess,
       [](Call& c) {
         return CmdRegistryRecover(c.opt, c.a.Flag("empty"), c.a.Flag("list"), c.a.Uint("backup"), c.out,
                                   c.err);
       },
       "ftdiskctl -m m registry recover --list   |   ftdiskctl -m m registry recover"},

      {"alerts",
       "print the alerts raised on this machine (alerts.log)",
       {Flag("--epoch", "times as seconds since 1970 (the log's own), not local ISO 8601")},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) { return CmdAlerts(c.s, c.opt, c.a.Flag("epoch"), c.out, c.err); },
       "ftdiskctl -m m alerts --json"},

      {"backups",
       "the partition-table backups kept under DIR/backups/",
       {},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) { return CmdBackupsList(c.s, c.opt, c.out, c.err); },
       "ftdiskctl -m m backups list"},
      {"backups list",
       "list the backups",
       {},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) { return CmdBackupsList(c.s, c.opt, c.out, c.err); },
       "ftdiskctl -m m backups list"},
      {"backups restore", "write a backup's sectors back", restoreOptions, kWrites, nullptr, 0, Restore,
       "ftdiskctl -m m backups restore 20261206T224500Z-disk0"},
      {"backups prune",
       "remove all but the newest backups",
       {Uint("--keep", "how many of the newest backups to keep").Req()},
       kWritesOutside | kOwnDryRun,
       nullptr,
       0,
       [](Call& c) { return CmdBackupsPrune(c.s, c.opt, c.a.Uint("keep"), c.out, c.err); },
       "ftdiskctl -m m backups prune --keep 20"},
      {"restore", "write a backup's sectors back (same as 'backups restore')", restoreOptions, kWrites,
       nullptr, 0, Restore, "ftdiskctl -m m restore 20261206T224500Z-disk0"},

      {"demo",
       "build a demo machine and walk through every kind of request",
       {Text("DIR", "directory of the demo machine (default ./demo-machine)").Of(Names::kDir)},
       kOwnProcess | kWritesOutside | kNoJson | kOwnOutput,
       nullptr,
       0,
       [](Call& c) {
         return CmdDemo(c.opt, c.a.Given("DIR") ? c.a.Text("DIR") : "demo-machine", c.out, c.err);
       },
       "ftdiskctl demo demo-machine"},

      {"ft",
       "make, grow, break, delete, regenerate and repair FT sets",
       {},
       kNeedsCommand,
       nullptr,
       0,
       nullptr,
       nullptr},
      {"ft create",
       "make a mirror, stripe set, stripe set with parity or volume set",
       {Text("TYPE", "mirror, stripe, parity or volset")
            .Req()
            .Choices({"mirror", "stripe", "parity", "volset"}),
        Text("VOLUME", "mirror: the partition that becomes member 0 (diskN/pM or E:)").Of(Names::kRegion),
        Uints("--disk", "a disk for a new member, in member order; repeat").Req().Of(Names::kDisk),
        Texts("--size", "size of the new partitions (volset: one per --disk, or one for all)").Meta("SIZE")},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         return CmdFtCreate(c.s, c.opt, c.a.Text("TYPE"), c.a.Text("VOLUME"), c.a.Uints("disk"),
                            c.a.Texts("size"), c.out, c.err);
       },
       "ftdiskctl -m m ft create mirror disk0/p1 --disk 1\n"
       "ftdiskctl -m m ft create parity --size 100M --disk 0 --disk 1 --disk 2"},
      {"ft extend",
       "grow a volume set by one new partition",
       {Text("VOLSET", "the volume set (volsetG)").Req().Of(Names::kFtSet),
        Uints("--disk", "disk of the new member").Req().Of(Names::kDisk),
        Texts("--size", "size of the new member").Req().Meta("SIZE")},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLSET");
         return CmdFtExtend(c.s, c.opt, set, c.a.Uints("disk"), c.a.Texts("size"), c.out, c.err);
       },
       nullptr},
      {"ft break",
       "make a mirror two plain partitions again (member 1 gets a free letter)",
       {Text("MIRROR", "the mirror (mirrorG)").Req().Of(Names::kFtSet)},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("MIRROR");
         if (!Confirm(c.opt, "break " + set + "? its members become plain partitions"))
           return c.err << "nothing changed\n", kFailed;
         return CmdFtBreak(c.s, c.opt, set, c.out, c.err);
       },
       nullptr},
      {"ft delete",
       "delete an FT set and its partitions",
       {Text("SET", "the set (mirrorG, stripeG, parityG, volsetG)").Req().Of(Names::kFtSet)},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("SET");
         if (!Confirm(c.opt, "delete " + set + " and its partitions? the data on them is lost"))
           return c.err << "nothing changed\n", kFailed;
         return CmdFtDelete(c.s, c.opt, set, c.out, c.err);
       },
       nullptr},
      {"ft regenerate",
       "rebuild an orphaned member from the other members",
       {Text("SET", "the mirror or stripe set with parity").Req().Of(Names::kFtSet),
        Int("MEMBER", "the member to rebuild (default: the orphaned one)"),
        Int("--onto", "rebuild the member onto a new partition on this disk (a replacement for a lost one)")
            .Of(Names::kDisk)
            .Meta("DISK")},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("SET");
         return CmdFtRegenerate(c.s, c.opt, set, c.a.Int("MEMBER"), c.a.Int("onto"), c.out, c.err);
       },
       "ftdiskctl -m m ft regenerate mirror0\nftdiskctl -m m ft regenerate parity0 1 --onto 3"},
      {"ft edit",
       "repair the FT configuration without touching any data",
       {},
       kNeedsCommand,
       nullptr,
       0,
       nullptr,
       "ftdiskctl -m m ft edit define mirror disk0/p1 disk1/p1 --group 0\n"
       "ftdiskctl -m m ft edit member parity0 1 --state orphaned"},
      {"ft edit define",
       "record a set made of existing partitions, members in order",
       {Text("TYPE", "mirror, stripe, parity or volset")
            .Req()
            .Offers({"mirror", "stripe", "parity", "volset"}),
        Texts("MEMBERS", "the partitions, member 0 first (diskN/pM)").Req().Of(Names::kRegion).Meta("MEMBER"),
        Int("--group", "the FT group (default: the lowest free one)").Meta("G"),
        Flag(
            "--assume-clean",
            "record a mirror or parity set as healthy (its members known to agree) instead of initializing")},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         return CmdFtEditDefine(c.s, c.opt, c.a.Text("TYPE"), c.a.Int("group"), c.a.Texts("MEMBERS"),
                                c.a.Flag("assume-clean"), c.out, c.err);
       },
       nullptr},
      {"ft edit drop",
       "remove a set from the configuration; its partitions stay",
       {Text("SET", "the set").Req().Of(Names::kFtSet)},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("SET");
         return CmdFtEditDrop(c.s, c.opt, set, c.out, c.err);
       },
       nullptr},
      {"ft edit member",
       "record the state of one member",
       {Text("SET", "the set").Req().Of(Names::kFtSet), Int("MEMBER", "the member number").Req(),
        Text("--state", "healthy, orphaned, regenerating or initializing")
            .Req()
            .Offers({"healthy", "orphaned", "regenerating", "initializing"})},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("SET");
         return CmdFtEditMember(c.s, c.opt, set, c.a.Int("MEMBER"), c.a.Text("state"), c.out, c.err);
       },
       nullptr},
      {"ft verify",
       "compare a mirror's members or a parity set's parity with its data",
       {Text("SET", "the mirror or stripe set with parity").Req().Of(Names::kFtSet),
        Flag("--repair", "rewrite what differs: the parity from the data, or a mirror member"),
        Int("--from", "mirror: the member copied over the other (default: the first healthy)")
            .Meta("MEMBER")},
       kReadOnly,
       "--repair",
       kWrites,
       [](Call& c) {
         const std::string& set = c.a.Text("SET");
         return CmdFtVerify(c.s, c.opt, set, c.a.Flag("repair"), c.a.Int("from"), c.out, c.err);
       },
       nullptr},
      {"ft find",
       "find the FT sets the disks hold when their configuration is lost",
       {Flag("--apply", "record the sets it is sure of (ft edit define)"),
        Flag("--full", "read whole members to confirm mirrors and parity, not samples")},
       kReadOnly,
       "--apply",
       kWrites,
       [](Call& c) { return CmdFtFind(c.s, c.opt, c.a.Flag("apply"), c.a.Flag("full"), c.out, c.err); },
       "ftdiskctl -m m ft find   |   ftdiskctl --image a.img --image b.img ft find"},

      {"volume",
       "read, write and describe the data of an FT volume",
       {},
       kNeedsCommand,
       nullptr,
       0,
       nullptr,
       "ftdiskctl -m m volume export stripe0 stripe.img\n"
       "zcat backup.img.gz | ftdiskctl -m m volume import parity0 -\n"
       "ftdiskctl -m m volume dmtable stripe0 | sudo dmsetup create nt-stripe0\n"
       "ftdiskctl -m m volume dmtable parity0 --concise | sudo dmsetup create --concise\n"
       "ftdiskctl -m m volume serve parity0 --socket /tmp/parity0.sock"},
      {"volume export",
       "write the volume's bytes to a file (- for standard output)",
       {Text("VOLUME", kSetHelp).Req().Of(Names::kFtSet).Meta("SET"),
        Text("FILE", "file to write, or -").Req().Of(Names::kFile).Meta("FILE|DEVICE|-"),
        Flag("--allow-holes",
             "when members are lost, write the bytes no member left holds as zeros and list them")},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLUME");
         const std::string& file = c.a.Text("FILE");
         return c.a.Flag("allow-holes") ? CmdVolumeExportWithHoles(c.s, c.opt, set, file, c.out, c.err)
                                        : CmdVolumeExport(c.s, c.opt, set, file, c.out, c.err);
       },
       nullptr,
       "FILE"},
      {"volume import",
       "write an image into the volume through the FT layout",
       {Text("VOLUME", kSetHelp).Req().Of(Names::kFtSet).Meta("SET"),
        Text("FILE", "image to read: a file, a block device, or - for standard input")
            .Req()
            .Of(Names::kFile)
            .Meta("FILE|DEVICE|-"),
        Flag("--pad", "an image that ends inside a sector: keep the rest of that sector")},
       kWrites,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLUME");
         const std::string& file = c.a.Text("FILE");
         if (!Confirm(c.opt, "overwrite every byte of " + set + " with " + file + "?"))
           return c.err << "nothing changed\n", kFailed;
         return CmdVolumeImport(c.s, c.opt, set, file, c.a.Flag("pad"), c.out, c.err);
       },
       nullptr},
      {"volume dmtable",
       "print a device-mapper table for dmsetup create",
       {Text("VOLUME", kSetHelp).Req().Of(Names::kFtSet).Meta("SET"),
        Texts("--member-device", "the Linux device of each member, in member order")
            .Of(Names::kFile)
            .Meta("DEV"),
        Flag("--concise",
             "dmsetup's concise format, with the helper devices a raid target needs (dmsetup create "
             "--concise)"),
        Text("--name", "--concise: the set's device name (default: the set's name)")},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLUME");
         return CmdVolumeDmTable(c.s, c.opt, set, c.a.Texts("member-device"), c.a.Flag("concise"),
                                 c.a.Text("name"), c.out, c.err);
       },
       nullptr},
      {"volume serve",
       "serve the volume over NBD (nbdkit) until stopped",
       {Text("VOLUME", kSetHelp).Req().Of(Names::kFtSet).Meta("SET"),
        Flag("--read-only", "refuse writes; the machine stays open to other readers"),
        Text("--socket", "listen on this Unix socket").Of(Names::kFile).Meta("PATH"),
        Int("--port", "listen on this TCP port of 127.0.0.1")},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLUME");
         return CmdVolumeServe(c.s, c.opt, set, c.a.Flag("read-only"), c.a.Text("socket"), c.a.Int("port"),
                               c.out, c.err);
       },
       nullptr},

      {"shell",
       "run many commands, one per line from standard input, on one boot",
       {Flag("--stop-on-error", "stop at the first line that fails, with its exit status")},
       kOwnProcess | kOwnOutput,
       nullptr,
       0,
       [](Call& c) { return RunShell(c, c.a.Flag("stop-on-error")); },
       "printf 'show\\ncreate primary --disk 0 --size 100M\\n' | ftdiskctl -m m shell"},
  };
}

// The parent of a path: "ft edit define" -> "ft edit", "show" -> "".
std::string ParentPath(const std::string& path) {
  const size_t space = path.rfind(' ');
  return space == std::string::npos ? "" : path.substr(0, space);
}

std::string LastWord(const std::string& path) { return path.substr(path.rfind(' ') + 1); }

// A disk is taken by its number (0) or by its name as the documents give it (disk0).
std::string DiskNumber(std::string& value) {
  std::string digits = value.rfind("disk", 0) == 0 ? value.substr(4) : value;
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
    return "a disk is named by its number (0) or its name (disk0), not '" + value + "'";
  value = digits;
  return "";
}

CLI::Validator ValidatorOf(Check check) {
  switch (check) {
    case Check::kSize:
      return CLI::Validator(SizeCheck, "SIZE");
    case Check::kOffset:
      return CLI::Validator(OffsetCheck, "BYTES");
    case Check::kVolume:
      return CLI::Validator(VolumeCheck, "VOLUME");
    case Check::kLetter:
      return CLI::Validator(LetterCheck, "X:");
    case Check::kColumns:
      return CLI::Validator(CheckColumns, "COLUMNS");
    case Check::kVolumeColumns:
      return CLI::Validator(CheckVolumeColumns, "COLUMNS");
    case Check::kExistingFile:
      return CLI::ExistingFile;
    case Check::kNone:
      break;
  }
  return CLI::Validator();
}

// "Example:" and its line, or "Examples:" and theirs.
std::string Footer(const std::string& example) {
  std::string lines = example;
  if (!lines.empty() && lines.back() == '\n') lines.pop_back();
  const bool many = lines.find('\n') != std::string::npos;
  std::string text = many ? "Examples:" : "Example:";
  size_t from = 0;
  while (from <= lines.size()) {
    const size_t nl = lines.find('\n', from);
    text += "\n  " + lines.substr(from, nl - from);
    if (nl == std::string::npos) break;
    from = nl + 1;
  }
  return text;
}

// An option or argument as the synopsis writes it: "--disk N", "[DIR]", "MEMBER...".
std::string SynopsisWord(const OptionSpec& o) {
  const std::string names = o.names;
  const bool positional = names[0] != '-';
  const std::string first = names.substr(0, names.find(','));
  std::string meta = o.meta != nullptr ? o.meta : positional ? names : "";
  if (!o.choices.empty()) {
    meta.clear();
    for (const auto& c : o.choices) meta += (meta.empty() ? "" : "|") + c;
  }
  if (meta.empty() && o.holds != Holds::kFlag) {
    meta = OptionKey(names);
    for (char& ch : meta)
      ch = ch == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  std::string word = positional ? meta : o.holds == Holds::kFlag ? first : first + " " + meta;
  const bool many = o.holds == Holds::kTexts || o.holds == Holds::kUints;
  if (!o.required) word = "[" + word + "]";
  return many ? word + "..." : word;
}

}  // namespace

int RunHandler(const CommandSpec& row, Call& c) {
  // An argument that should name an FT set and names none is a usage error (2), as an
  // unknown volume is elsewhere; a set named rightly that does not exist is a failure (1).
  for (const OptionSpec& o : row.options)
    if (o.object == Names::kFtSet && o.names[0] != '-' && SetArgumentFails(c.a.Text(o.names), c.err))
      return kUsage;
  return row.handler(c);
}

const std::vector<CommandSpec>& CommandTable() {
  static const std::vector<CommandSpec> table = MakeTable();
  return table;
}

std::string OptionKey(const std::string& names) {
  std::string key;
  size_t from = 0;
  while (from <= names.size()) {
    const size_t comma = names.find(',', from);
    const std::string name = names.substr(from, comma - from);
    if (name.rfind("--", 0) == 0) key = name.substr(2);
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  return key.empty() ? names : key;
}

const Args::Value& Args::Get(const std::string& key) const {
  static const Value none;
  const auto it = values_.find(scope_ + "\n" + key);
  return it == values_.end() ? none : it->second;
}

bool Args::Given(const std::string& key) const {
  const Value& v = Get(key);
  return v.option != nullptr && v.option->count() > 0;
}

namespace {

// Adds a word to a synopsis line, which goes on below, indented, past 100 columns.
void Append(std::string* line, const std::string& word) {
  const size_t last = line->rfind('\n');
  const size_t width = line->size() - (last == std::string::npos ? 0 : last + 1);
  *line += (width + 1 + word.size() > 100 ? "\n        " : " ") + word;
}

}  // namespace

void PrintSynopsis(std::ostream& out) {
  const auto& table = CommandTable();
  for (const CommandSpec& row : table) {
    const std::string path = row.path;
    // A command with commands of its own is shown through them.
    const bool hasCommands = std::any_of(table.begin(), table.end(), [&](const CommandSpec& r) {
      return !path.empty() && std::string(r.path).rfind(path + " ", 0) == 0;
    });
    if (hasCommands) continue;
    std::string line = "ftdiskctl" + (path.empty() ? "" : " " + path);
    std::vector<bool> shown(row.options.size(), false);
    for (size_t i = 0; i < row.options.size(); ++i) {
      if (shown[i]) continue;
      const OptionSpec& o = row.options[i];
      std::string word = SynopsisWord(o);
      // Two options that exclude each other are shown as alternatives.
      for (size_t j = i + 1; j < row.options.size(); ++j) {
        const OptionSpec& p = row.options[j];
        const bool pair = (o.excludes != nullptr && OptionKey(o.excludes) == OptionKey(p.names)) ||
                          (p.excludes != nullptr && OptionKey(p.excludes) == OptionKey(o.names));
        if (!pair || o.required || p.required) continue;
        OptionSpec a = o, b = p;
        a.required = b.required = true;
        word = "[" + SynopsisWord(a) + " | " + SynopsisWord(b) + "]";
        shown[j] = true;
        break;
      }
      Append(&line, word);
    }
    if (path.empty()) Append(&line, "COMMAND [ARGS]");
    out << line << "\n";
  }
}

CommandParser::CommandParser(CLI::App& app, Options& opt, Args& args) : app_(app), args_(args) {
  const std::string programFooter = Footer(CommandTable().front().example) +
                                    "\nExit status: 0 success, 1 the request failed, 2 usage error.";
  app.require_subcommand(0, 1);
  app.fallthrough();  // before the commands are added: they inherit it
  std::map<std::string, CLI::App*> byPath;
  for (const CommandSpec& row : CommandTable()) {
    const std::string path = row.path;
    CLI::App* c = path.empty() ? &app : byPath.at(ParentPath(path))->add_subcommand(LastWord(path), row.help);
    byPath[path] = c;
    apps_[&row] = c;
    if (row.access & kNeedsCommand) c->require_subcommand(1);
    for (const OptionSpec& o : row.options) {
      Args::Value& v = args_.values_[path + "\n" + OptionKey(o.names)];
      CLI::Option* added = nullptr;
      switch (o.holds) {
        case Holds::kFlag:
          added = c->add_flag(o.names, o.flag ? opt.*o.flag : v.flag, o.help);
          break;
        case Holds::kText:
          added = c->add_option(o.names, o.text ? opt.*o.text : v.text, o.help);
          break;
        case Holds::kTexts:
          added = c->add_option(o.names, v.texts, o.help);
          break;
        case Holds::kUint:
          added = c->add_option(o.names, v.u, o.help);
          break;
        case Holds::kUints:
          added = c->add_option(o.names, v.us, o.help);
          break;
        case Holds::kInt:
          added = c->add_option(o.names, v.i, o.help);
          break;
      }
      v.option = added;
      if (o.required) added->required();
      if (o.object == Names::kDisk && o.holds != Holds::kText)
        added->transform(CLI::Validator(DiskNumber, ""));
      if (!o.choices.empty()) added->check(CLI::IsMember(o.choices));
      if (o.check != Check::kNone) added->check(ValidatorOf(o.check));
    }
    for (const OptionSpec& o : row.options)
      if (o.excludes != nullptr) args_.values_[path + "\n" + OptionKey(o.names)].option->excludes(o.excludes);
    // A command without examples of its own shows the program's.
    c->footer(row.example != nullptr && !path.empty() ? Footer(row.example) : programFooter);
  }
}

const CommandSpec* CommandParser::RowOf(const CLI::App* app) const {
  for (const auto& [row, a] : apps_)
    if (a == app) return row;
  return nullptr;
}

CLI::App* CommandParser::AppOf(const CommandSpec& row) const { return apps_.at(&row); }

const CommandSpec& CommandParser::Parsed() const {
  const CLI::App* at = &app_;
  while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
  return *RowOf(at);
}

CLI::Option* CommandParser::OptionOf(const CommandSpec& row, const std::string& key) const {
  const auto it = args_.values_.find(std::string(row.path) + "\n" + key);
  return it == args_.values_.end() ? nullptr : it->second.option;
}

unsigned CommandParser::AccessOf(const CommandSpec& row) const {
  if (row.switchOption == nullptr) return row.access;
  const CLI::Option* o = OptionOf(row, OptionKey(row.switchOption));
  return o != nullptr && o->count() > 0 ? row.accessWith : row.access;
}

}  // namespace cli
