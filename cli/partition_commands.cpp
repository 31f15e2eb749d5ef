// The partition requests' commands: create, delete, active, letter, rescan and menus;
// the requests themselves are in providers/ftconfig/partition_requests.h.
#include "partition_commands.h"

#include <unistd.h>

#include <optional>
#include <ostream>

#include "command_table.h"
#include "request.h"

namespace cli {

int CmdRescan(Session& s, const Options& opt, bool hasDisk, unsigned disk, std::ostream& out,
              std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  return Report(opt,
                ftconfig::RequestRescan(s, RequestsFor(opt), hasDisk ? std::optional(disk) : std::nullopt),
                out, err);
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
       [](Call& c) {
         ftconfig::NewPartition create;
         create.kind = c.a.Text("KIND");
         create.disk = c.a.Uint("disk");
         const std::string& size = c.a.Text("size");
         create.maxSize = size == "max";
         std::string e;
         if (!create.maxSize) ParseSize(size, false, &create.size, &e, &create.sizeInSectors);
         create.hasOffset = !c.a.Text("offset").empty();
         if (create.hasOffset)
           ParseSize(c.a.Text("offset"), true, &create.offset, &e, &create.offsetInSectors);
         if (!OpenOr(c.s, c.opt, c.err)) return kFailed;
         return Report(c.opt, ftconfig::RequestCreate(c.s, RequestsFor(c.opt), create), c.out, c.err);
       },
       "ftdiskctl -m m create logical --disk 0 --size 50M"},

      {"delete",
       "delete a partition (by its volume) or an empty extended partition",
       {Text("VOLUME", "E:, diskN/pM, diskN@START, diskN/extended, or the word extended with --disk")
            .Req()
            .Of(Names::kRegion),
        Uint("--disk", "the disk, with 'delete extended'").Of(Names::kDisk)},
       kWrites,
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
         if (!OpenOr(c.s, c.opt, c.err)) return kFailed;
         return Report(c.opt,
                       ftconfig::RequestDelete(c.s, RequestsFor(c.opt), target, extended, c.a.Uint("disk")),
                       c.out, c.err);
       },
       "ftdiskctl -m m delete disk0/p5   |   ftdiskctl -m m delete extended --disk 0"},

      {"active",
       "make a primary partition the active (boot) partition",
       {Text("VOLUME", "E: or diskN/pM (object ids only inside the shell)")
            .Req()
            .Of(Names::kRegion)
            .Checked(Check::kVolume)},
       kWrites,
       [](Call& c) {
         if (!OpenOr(c.s, c.opt, c.err)) return kFailed;
         return Report(c.opt, ftconfig::RequestActive(c.s, RequestsFor(c.opt), c.a.Text("VOLUME")), c.out,
                       c.err);
       },
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
       [](Call& c) {
         if (!c.a.Flag("remove") && c.a.Text("LETTER").empty())
           return UsageError(c, "give the new letter (for example E:) or --remove");
         if (!OpenOr(c.s, c.opt, c.err)) return kFailed;
         return Report(c.opt,
                       ftconfig::RequestLetter(c.s, RequestsFor(c.opt), c.a.Text("VOLUME"),
                                               c.a.Text("LETTER"), c.a.Flag("remove")),
                       c.out, c.err);
       },
       "ftdiskctl -m m letter disk0/p1 E:   |   ftdiskctl -m m letter E: --remove"},

      {"rescan",
       "read the partition tables again and republish them",
       {Uint("--disk", "only disk N (update-disk request)").Of(Names::kDisk)},
       kWrites,
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
       [](Call& c) {
         if (!OpenOr(c.s, c.opt, c.err)) return kFailed;
         Options verbose = c.opt;  // the masks are shown
         verbose.verbose = true;
         return Report(verbose, ftconfig::RequestMenus(c.s, RequestsFor(c.opt)), c.out, c.err);
       },
       "ftdiskctl -m m menus --json"},
  };
}

}  // namespace cli
