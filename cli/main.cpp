// ftdiskctl: the administrator's front end. Each invocation boots the machine, loads the
// ftdisk provider, runs one command through the provider's control entry and shuts down;
// "shell" keeps one boot for many commands.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>

#include "cli.h"
#include "ftcmd.h"
#include "hive_commands.h"
#include "shell_input.h"

namespace cli {

namespace {

std::string DefaultMachine() {
  const char* v = std::getenv("FTDISKCTL_MACHINE");
  return v && *v ? v : "machine";
}

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

// The first line of a message, without the program's prefix, for a JSON error.
std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  const std::string prefix = "ftdiskctl: ";
  if (line.rfind(prefix, 0) == 0) line = line.substr(prefix.size());
  return line.empty() ? "the command failed" : line;
}

std::string LetterCheck(const std::string& s) {
  return ParseDriveLetter(s) ? "" : "'" + s + "' is not a drive letter (C: to Z:)";
}

std::string VolumeCheck(const std::string& s) {
  VolumeSpec v;
  std::string e;
  return ParseVolumeSpec(s, &v, &e) ? "" : e;
}

// One place for the shell and the command line: builds the parser, parses, runs.
class Runner {
 public:
  Runner(Session* session, bool inShell, std::ostream& out, std::ostream& err)
      : s_(session), inShell_(inShell), out_(out), err_(err) {}

  int Run(const std::vector<std::string>& args) {
    args_ = args;
    CLI::App app{"ftdiskctl: manage the partitions, drive letters and FT sets of a machine", "ftdiskctl"};
    opt_.dir = DefaultMachine();
    app.require_subcommand(0, 1);
    app.fallthrough();
    app.footer(
        "Examples:\n"
        "  ftdiskctl init m --disk 512M --disk 512M\n"
        "  ftdiskctl -m m create primary --disk 0 --size 100M\n"
        "  ftdiskctl -m m letter disk0/p1 E:\n"
        "  ftdiskctl -m m show\n"
        "Exit status: 0 success, 1 the request failed, 2 usage error.");
    auto* machineOpt = app.add_option("-m,--machine", opt_.dir,
                                      "machine directory (default ./machine, or $FTDISKCTL_MACHINE)");
    ImageSource images;
    auto* imageOpt =
        app.add_option("--image", images.images,
                       "instead of -m: look at this disk image or block device without a machine "
                       "(read-only commands; nothing is written); repeatable");
    auto* hiveOpt = app.add_option(
        "--hive", images.hive, "with --image: the FT configuration of the DISK key of this NT SYSTEM hive");
    auto* regOpt =
        app.add_option("--reg", images.reg, "with --image: the FT configuration of this REGEDIT4 .reg file");
    hiveOpt->excludes(regOpt);
    app.add_flag("--no-wait", opt_.noWait, "fail at once when another process holds the machine");
    auto* jsonOpt = app.add_flag("--json", opt_.json, "print JSON (schema: docs/json-schema.md)");
    app.add_flag("--bytes", opt_.bytes, "print sizes and offsets as exact byte counts");
    app.add_flag("-y,--yes", opt_.yes,
                 "do not ask before a request destroys data (asked only on a terminal: delete of a partition "
                 "holding a file system, ft delete and break, volume import, restore)");
    auto* quietOpt = app.add_flag("-q,--quiet", opt_.quiet,
                                  "print nothing on standard output (errors still go to standard error): "
                                  "the exit status tells, as with grep -q");
    quietOpt->excludes(jsonOpt);
    app.add_flag("-n,--dry-run", opt_.dryRun,
                 "run a writing request on an overlay of the machine and print what would change");
    app.add_option("--color", opt_.color, "colours in tables: auto (on a terminal), always or never")
        ->check(CLI::IsMember({"auto", "always", "never"}));
    bool version = false;
    app.add_flag("--version", version, "print the version of ftdiskctl and of the provider module");

    auto example = [](CLI::App* c, const std::string& text) { c->footer("Example:\n  " + text); };

    std::string initDir;
    std::vector<std::string> initDisks, initCdroms;
    bool cdromEmpty = false;
    auto* init = app.add_subcommand("init", "make a machine directory with new sparse disk images");
    init->add_option("DIR", initDir, "machine directory to make (default: the -m directory)");
    init->add_option("--disk", initDisks, "a disk: SIZE[,heads,sectors[,removable]]; repeat for more disks");
    init->add_option("--cdrom", initCdroms, "a CD-ROM drive holding this ISO image; repeatable")
        ->check(CLI::ExistingFile);
    init->add_flag("--cdrom-empty", cdromEmpty, "a CD-ROM drive without a medium");
    std::vector<std::string> initAttach;
    std::string initHive;
    init->add_option("--attach", initAttach,
                     "an existing disk image or block device (not modified); repeatable");
    init->add_option("--from-hive", initHive, "import the DISK key of this NT SYSTEM hive file")
        ->check(CLI::ExistingFile);
    bool initReadOnly = false;
    init->add_flag("--read-only", initReadOnly, "the --attach images are evidence: no request writes them");
    init->add_flag("--force", opt_.force, "make the machine in a directory that is not empty");
    example(init, "ftdiskctl init m --disk 512M --disk 1G,255,63 --cdrom-empty");

    std::string image;
    bool removable = false;
    auto* attach =
        app.add_subcommand("attach", "add an existing disk image or block device (it is not modified)");
    attach->add_option("IMAGE", image, "image file or block device")->required();
    attach->add_flag("--removable", removable, "the disk is removable");
    bool writeSignature = false;
    auto* writeSignatureOpt =
        attach->add_flag("--write-signature", writeSignature,
                         "give the disk a fresh unique signature when its own is 0 or another disk's "
                         "(sector 0 is backed up first); also for a disk attached already");
    bool attachReadOnly = false;
    attach
        ->add_flag("--read-only", attachReadOnly,
                   "evidence: the disk is opened for reading only and every request that would write it is "
                   "refused; also for a disk attached already")
        ->excludes(writeSignatureOpt);
    attach->add_flag("--force", opt_.force,
                     "with --write-signature: also when the FT configuration records the old signature");
    example(attach, "ftdiskctl -m m attach old-nt-disk.img");

    auto* show = app.add_subcommand("show", "print disks, partitions, free space and volumes as a tree");
    show->add_flag("-v,--verbose", opt_.verbose, "also print the context-menu masks in words");
    show->add_option(
            "-o,--output", opt_.columns,
            "partition columns, comma-separated: NAME,KIND,START,END,SIZE,TYPE,ACT,DEVICE,VOLUME,LETTER,"
            "FS,STATE")
        ->check(CLI::Validator(CheckColumns, "COLUMNS"));
    show->add_flag("--list", opt_.list, "partitions as a list instead of a tree");
    show->add_flag("--raw", opt_.raw, "only the partition rows, blank-separated, for scripts");
    show->add_flag("--noheadings", opt_.noHeadings, "no line of column names");
    show->add_flag("-P,--pairs", opt_.pairs,
                   "only the partition rows, as NAME=\"value\" pairs (as lsblk -P)");
    example(show, "ftdiskctl -m m show -o NAME,SIZE,LETTER --raw");

    unsigned layoutDisk = 0;
    auto* layout =
        app.add_subcommand("layout", "print the partition table exactly as the disk driver reports it");
    auto* layoutDiskOpt = layout->add_option("--disk", layoutDisk, "only disk N");
    example(layout, "ftdiskctl -m m layout --disk 0 --json");

    CreateArgs create;
    std::string sizeText, offsetText;
    auto* createCmd = app.add_subcommand("create", "create a primary, extended or logical partition");
    createCmd->add_option("KIND", create.kind, "primary, extended or logical")
        ->required()
        ->check(CLI::IsMember({"primary", "extended", "logical"}));
    createCmd->add_option("--disk", create.disk, "disk number")->required();
    createCmd
        ->add_option("--size", sizeText,
                     "size: 100M or 100MiB (binary), 100MB (decimal), 2048s (sectors), bytes, or max for the "
                     "whole free region")
        ->required()
        ->check(CLI::Validator(SizeCheck, "SIZE"));
    createCmd->add_option("--offset", offsetText, "start of the free region to use (bytes, units or sectors)")
        ->check(CLI::Validator(OffsetCheck, "BYTES"));
    example(createCmd, "ftdiskctl -m m create logical --disk 0 --size 50M");

    std::string deleteTarget;
    unsigned deleteDisk = 0;
    auto* del =
        app.add_subcommand("delete", "delete a partition (by its volume) or an empty extended partition");
    del->add_option("VOLUME", deleteTarget,
                    "E:, diskN/pM, diskN@START, diskN/extended, or the word extended with --disk")
        ->required();
    auto* delDiskOpt = del->add_option("--disk", deleteDisk, "the disk, with 'delete extended'");
    example(del, "ftdiskctl -m m delete disk0/p5   |   ftdiskctl -m m delete extended --disk 0");

    std::string activeVolume;
    auto* active = app.add_subcommand("active", "make a primary partition the active (boot) partition");
    active->add_option("VOLUME", activeVolume, "E: or diskN/pM (object ids only inside the shell)")
        ->required()
        ->check(CLI::Validator(VolumeCheck, "VOLUME"));
    example(active, "ftdiskctl -m m active disk0/p1");

    std::string letterVolume, letterValue;
    bool letterRemove = false;
    auto* letter = app.add_subcommand("letter", "assign or remove a volume's drive letter");
    letter->add_option("VOLUME", letterVolume, "E:, diskN/pM, cdromN or an FT set such as mirror0")
        ->required()
        ->check(CLI::Validator(VolumeCheck, "VOLUME"));
    auto* letterOpt = letter->add_option("LETTER", letterValue, "the new letter, C: to Z:")
                          ->check(CLI::Validator(LetterCheck, "X:"));
    auto* removeOpt = letter->add_flag("--remove", letterRemove, "remove the letter");
    letterOpt->excludes(removeOpt);
    example(letter, "ftdiskctl -m m letter disk0/p1 E:   |   ftdiskctl -m m letter E: --remove");

    unsigned rescanDisk = 0;
    auto* rescan = app.add_subcommand("rescan", "read the partition tables again and republish them");
    auto* rescanDiskOpt = rescan->add_option("--disk", rescanDisk, "only disk N (update-disk request)");
    example(rescan, "ftdiskctl -m m rescan --disk 1");

    auto* checkCmd =
        app.add_subcommand("check", "compare the FT configuration with the disks; exit 1 when not well");
    example(checkCmd, "ftdiskctl -m m check --json");

    auto* menus = app.add_subcommand("menus", "recompute every context menu and print the masks");
    example(menus, "ftdiskctl -m m menus --json");

    std::string regFile, regHive;
    bool noRescan = false, noBackup = false;
    auto* registry = app.add_subcommand("registry", "the disk registry (HKEY_LOCAL_MACHINE\\SYSTEM\\DISK)");
    registry->require_subcommand(1);
    auto* regShow = registry->add_subcommand("show", "decode the FT configuration \"Information\"");
    auto* regShowHive = regShow->add_option("--hive", regHive,
                                            "decode the DISK key of this NT SYSTEM hive file (no machine)");
    example(regShow, "ftdiskctl -m m registry show --json   |   ftdiskctl registry show --hive SYSTEM");
    auto* regExport =
        registry->add_subcommand("export", "write the key as a REGEDIT4 .reg file or into a hive");
    auto* regExportFile = regExport->add_option("FILE", regFile, ".reg file to write");
    auto* regExportHive = regExport->add_option(
        "--hive", regHive, "write the DISK key into this NT SYSTEM hive (made when missing)");
    regExportFile->excludes(regExportHive);
    regExport->add_flag("--no-backup", noBackup, "with --hive: do not keep the previous hive as FILE.bak");
    example(regExport,
            "ftdiskctl -m m registry export disk.reg   |   ftdiskctl -m m registry export --hive SYSTEM");
    auto* regImport =
        registry->add_subcommand("import", "read values from a REGEDIT4 .reg file or a hive, then rescan");
    auto* regImportFile = regImport->add_option("FILE", regFile, ".reg file to read");
    auto* regImportHive =
        regImport->add_option("--hive", regHive, "read the DISK key of this NT SYSTEM hive");
    regImportFile->excludes(regImportHive);
    regImport->add_flag("--no-rescan", noRescan, "do not rescan after the import");
    regImport->add_flag("--force", opt_.force,
                        "import even when FT sets or disks of this machine would be lost");
    example(regImport,
            "ftdiskctl -m m registry import mirror.reg   |   ftdiskctl -m m registry import --hive SYSTEM");
    bool recoverEmpty = false, recoverList = false;
    unsigned recoverBackup = 0;
    auto* regRecover = registry->add_subcommand(
        "recover", "restore the newest automatic backup of the disk key when registry.db is lost or damaged");
    auto* recoverEmptyOpt = regRecover->add_flag("--empty", recoverEmpty, "start with an empty registry");
    regRecover->add_flag("--list", recoverList, "list the automatic backups");
    regRecover->add_option("--backup", recoverBackup, "restore this backup (a number from --list)")
        ->excludes(recoverEmptyOpt);
    example(regRecover, "ftdiskctl -m m registry recover --list   |   ftdiskctl -m m registry recover");
    registry->footer("Example:\n  ftdiskctl -m m registry show");

    auto* alerts = app.add_subcommand("alerts", "print the alerts raised on this machine (alerts.log)");
    bool alertsEpoch = false;
    alerts->add_flag("--epoch", alertsEpoch,
                     "times as seconds since 1970 (the log's own), not local ISO 8601");
    example(alerts, "ftdiskctl -m m alerts --json");

    std::string backupName;
    auto* backups = app.add_subcommand("backups", "the partition-table backups kept under DIR/backups/");
    auto* backupsList = backups->add_subcommand("list", "list the backups");
    example(backupsList, "ftdiskctl -m m backups list");
    auto* backupsRestore = backups->add_subcommand("restore", "write a backup's sectors back");
    backupsRestore->add_option("BACKUP", backupName, "backup name (from 'backups list') or .bak file")
        ->required();
    bool restoreForce = false;
    backupsRestore->add_flag("--force", restoreForce, "restore even when later requests changed the sectors");
    example(backupsRestore, "ftdiskctl -m m backups restore 20261206T224500Z-disk0");
    unsigned pruneKeep = 0;
    auto* backupsPrune = backups->add_subcommand("prune", "remove all but the newest backups");
    backupsPrune->add_option("--keep", pruneKeep, "how many of the newest backups to keep")->required();
    example(backupsPrune, "ftdiskctl -m m backups prune --keep 20");
    backups->footer("Example:\n  ftdiskctl -m m backups list");
    auto* restore =
        app.add_subcommand("restore", "write a backup's sectors back (same as 'backups restore')");
    restore->add_option("BACKUP", backupName, "backup name (from 'backups list') or .bak file")->required();
    restore->add_flag("--force", restoreForce, "restore even when later requests changed the sectors");
    example(restore, "ftdiskctl -m m restore 20261206T224500Z-disk0");

    std::string demoDir = "demo-machine";
    auto* demo = app.add_subcommand("demo", "build a demo machine and walk through every kind of request");
    demo->add_option("DIR", demoDir, "directory of the demo machine (default ./demo-machine)");
    example(demo, "ftdiskctl demo demo-machine");

    FtCommands ftCommands;
    ftCommands.Add(app);

    auto* shell =
        app.add_subcommand("shell", "run many commands, one per line from standard input, on one boot");
    bool stopOnError = false;
    shell->add_flag("--stop-on-error", stopOnError,
                    "stop at the first line that fails, with its exit status");
    example(shell, "printf 'show\\ncreate primary --disk 0 --size 100M\\n' | ftdiskctl -m m shell");

    // "ftdiskctl __complete WORD...": what may complete the last word of a command line,
    // for the bash completion; the parser above is the one source of names.
    if (!args.empty() && args[0] == "__complete" && !inShell_)
      return CompleteCommandLine(app, std::vector<std::string>(args.begin() + 1, args.end()), out_);

    // A word where the command belongs that names none gets its own message; so does
    // one where a command's own command belongs ("registry frob").
    CLI::App* level = &app;
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a == "-m" || a == "--machine" || a == "--color" || a == "-o" || a == "--output" || a == "--image" ||
          (level == &app && (a == "--hive" || a == "--reg"))) {
        ++i;
        continue;
      }
      if (!a.empty() && a[0] == '-') continue;
      auto known = level->get_subcommands([&](CLI::App* c) { return c->get_name() == a; });
      if (known.empty()) {
        if (level != &app && level->get_subcommands({}).empty()) break;  // an argument
        std::string list;
        for (auto* c : level->get_subcommands({})) list += (list.empty() ? "" : ", ") + c->get_name();
        std::string what = level == &app ? "command" : level->get_name() + " command";
        return Usage("unknown " + what + " '" + a + "' (the " + what + "s are: " + list + ")",
                     level == &app ? "ftdiskctl --help" : "ftdiskctl " + level->get_name() + " --help");
      }
      level = known.front();
      if (level->get_subcommands({}).empty()) break;
    }

    std::vector<const char*> argv = {"ftdiskctl"};
    for (const auto& a : args) argv.push_back(a.c_str());
    try {
      app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::CallForHelp& e) {
      return app.exit(e, out_, err_);
    } catch (const CLI::CallForAllHelp& e) {
      return app.exit(e, out_, err_);
    } catch (const CLI::ParseError& e) {
      std::string what = e.what();
      if (what.find("subcommand is required") != std::string::npos)
        what = "a command is required after '" +
               (level == &app ? std::string("ftdiskctl") : level->get_name()) + "'";
      return Usage(what, "ftdiskctl --help' or 'ftdiskctl COMMAND --help");
    }
    opt_.inShell = inShell_;
    if (version) {
      if (!app.get_subcommands().empty())
        return Usage("--version goes alone: 'ftdiskctl --version'", "ftdiskctl --help");
      return Finish([&](std::ostream& o, std::ostream& e) { return CmdVersion(opt_, o, e); });
    }
    if (app.get_subcommands().empty())
      return Usage("a command is required (for example 'ftdiskctl show')", "ftdiskctl --help");

    bool writes = createCmd->parsed() || del->parsed() || active->parsed() || letter->parsed() ||
                  rescan->parsed() || menus->parsed() || regImport->parsed() || backupsRestore->parsed() ||
                  restore->parsed() || ftCommands.Writes();
    // Commands that write outside the provider's requests (a new machine, an image's
    // signature, a hive file, the registry from a backup) have no dry run.
    const bool writesOutside = init->parsed() || attach->parsed() || demo->parsed() ||
                               (regRecover->parsed() && !recoverList) || backupsPrune->parsed() ||
                               (regExport->parsed() && !regHive.empty());
    if (opt_.dryRun && !writes)
      return Usage(
          writesOutside
              ? "--dry-run covers the requests (create, delete, active, letter, rescan, menus, registry "
                "import, restore, ft, volume import); this command writes outside them and has no dry "
                "run: check its arguments and run it without --dry-run"
              : "--dry-run covers the requests (create, delete, active, letter, rescan, menus, registry "
                "import, restore, ft, volume import); this command writes nothing, so run it without "
                "--dry-run",
          "");
    if (demo->parsed() && opt_.json)
      return Usage("demo prints a walkthrough for people; run it without --json, then 'show --json'", "");
    bool ownProcess =
        init->parsed() || attach->parsed() || demo->parsed() || shell->parsed() || regRecover->parsed();
    if (inShell_ && ownProcess)
      return Usage("this command is not available inside the shell; run it as its own ftdiskctl command", "");
    if (inShell_ && opt_.dryRun)
      return Usage(
          "a dry run needs its own boot of the machine; run 'ftdiskctl -m DIR --dry-run ...' outside the "
          "shell",
          "");
    // Commands that only read open the disks read-only under a shared lock; a shell
    // keeps one boot for commands of both kinds.
    bool readOnly = show->parsed() || layout->parsed() || checkCmd->parsed() || regShow->parsed() ||
                    regExport->parsed() || alerts->parsed() || ftCommands.OnlyReads() ||
                    (backups->parsed() && !backupsRestore->parsed() && !backupsPrune->parsed());
    if (std::string why = ImageModeProblem(app, imageOpt, machineOpt, hiveOpt, regOpt, readOnly);
        !why.empty())
      return Usage(why, "ftdiskctl --help");
    if (!inShell_ && !s_->open()) {
      s_->SetReadOnly(readOnly);
      if (!images.images.empty()) s_->SetImages(images);
    }

    auto exec = [&](std::ostream& out, std::ostream& err) -> int {
      if (init->parsed() && initDisks.empty() && initAttach.empty()) {
        err << "ftdiskctl: init needs at least one --disk SIZE or --attach IMAGE\n";
        return kUsage;
      }
      if (init->parsed() && initReadOnly && initAttach.empty()) {
        err << "ftdiskctl: --read-only goes with --attach (new --disk images are the machine's own)\n";
        return kUsage;
      }
      if (init->parsed() && (!initHive.empty() || !initAttach.empty()))
        return CmdInitFromHive(opt_,
                               {initDir.empty() ? opt_.dir : initDir, initDisks, initCdroms, initAttach,
                                cdromEmpty, initHive, initReadOnly},
                               out, err);
      if ((regExport->parsed() || regImport->parsed()) && regFile.empty() && regHive.empty()) {
        err << "ftdiskctl: give a .reg FILE or --hive SYSTEM\n";
        return kUsage;
      }
      if (regExport->parsed() && noBackup && regHive.empty()) {
        err << "ftdiskctl: --no-backup goes only with --hive\n";
        return kUsage;
      }
      if (regShow->parsed() && regShowHive->count() > 0) return CmdRegistryShowHive(opt_, regHive, out, err);
      if (regExport->parsed() && !regHive.empty())
        return CmdRegistryExportHive(*s_, opt_, regHive, !noBackup, out, err);
      if (regImport->parsed() && !regHive.empty())
        return CmdRegistryImportHive(*s_, opt_, regHive, !noRescan, out, err);
      if (init->parsed())
        return CmdInit(opt_, initDir.empty() ? opt_.dir : initDir, initDisks, initCdroms, cdromEmpty, out,
                       err);
      if (attach->parsed())
        return CmdAttach(opt_, image, removable, writeSignature, attachReadOnly, out, err, opt_.force);
      if (demo->parsed()) return CmdDemo(opt_, demoDir, out, err);
      if (shell->parsed()) return Shell(stopOnError, app);
      if (show->parsed()) {
        if (opt_.pairs) opt_.raw = true;  // the rows alone, as --raw gives them
        return CmdShow(*s_, opt_, out, err);
      }
      if (layout->parsed()) return CmdLayout(*s_, opt_, layoutDiskOpt->count() > 0, layoutDisk, out, err);
      if (createCmd->parsed()) {
        create.maxSize = sizeText == "max";
        std::string e;
        if (!create.maxSize) ParseSize(sizeText, false, &create.size, &e, &create.sizeInSectors);
        create.hasOffset = !offsetText.empty();
        if (create.hasOffset) ParseSize(offsetText, true, &create.offset, &e, &create.offsetInSectors);
        return CmdCreate(*s_, opt_, create, out, err);
      }
      if (del->parsed()) {
        bool extended = deleteTarget == "extended";
        if (extended && delDiskOpt->count() == 0) {
          err << "ftdiskctl: 'delete extended' needs --disk N (or name it: delete diskN/extended)\n";
          return kUsage;
        }
        if (!extended && delDiskOpt->count() > 0) {
          err << "ftdiskctl: --disk goes only with 'delete extended'\n";
          return kUsage;
        }
        if (!extended && !VolumeCheck(deleteTarget).empty()) {
          err << "ftdiskctl: " << VolumeCheck(deleteTarget) << "\n";
          return kUsage;
        }
        if (!extended && !ConfirmDelete(deleteTarget)) return err << "nothing deleted\n", kFailed;
        return CmdDelete(*s_, opt_, deleteTarget, extended, deleteDisk, out, err);
      }
      if (active->parsed()) return CmdActive(*s_, opt_, activeVolume, out, err);
      if (letter->parsed()) {
        if (!letterRemove && letterValue.empty()) {
          err << "ftdiskctl: give the new letter (for example E:) or --remove\n";
          return kUsage;
        }
        return CmdLetter(*s_, opt_, letterVolume, letterValue, letterRemove, out, err);
      }
      if (rescan->parsed()) return CmdRescan(*s_, opt_, rescanDiskOpt->count() > 0, rescanDisk, out, err);
      if (menus->parsed()) return CmdMenus(*s_, opt_, out, err);
      if (regRecover->parsed())
        return CmdRegistryRecover(opt_, recoverEmpty, recoverList, recoverBackup, out, err);
      if (checkCmd->parsed()) return CmdCheck(*s_, opt_, out, err);
      if (ftCommands.Parsed()) return ftCommands.Run(*s_, opt_, out, err);
      if (regShow->parsed()) return CmdRegistryShow(*s_, opt_, out, err);
      if (regExport->parsed()) return CmdRegistryExport(*s_, opt_, regFile, out, err);
      if (regImport->parsed()) return CmdRegistryImport(*s_, opt_, regFile, !noRescan, out, err);
      if (alerts->parsed()) return CmdAlerts(*s_, opt_, alertsEpoch, out, err);
      if ((backupsRestore->parsed() || restore->parsed()) &&
          !Confirm(opt_, "write the sectors of backup " + backupName + " back over what the disk holds now?"))
        return err << "nothing restored\n", kFailed;
      if (backupsRestore->parsed() || restore->parsed())
        return CmdRestore(*s_, opt_, backupName, restoreForce, out, err);
      if (backupsPrune->parsed()) return CmdBackupsPrune(*s_, opt_, pruneKeep, out, err);
      if (backups->parsed()) return CmdBackupsList(*s_, opt_, out, err);
      err << "ftdiskctl: a command is required\n";
      return kUsage;
    };
    if (shell->parsed() || demo->parsed()) return exec(out_, err_);
    return Finish(
        [&](std::ostream& out, std::ostream& err) {
          if (opt_.dryRun) return DryRun(s_, opt_, exec, out, err);
          return exec(out, err);
        },
        ftCommands.DataOnStdout());
  }

 private:
  // A usage error: one sentence and where to read more; with --json also one document.
  int Usage(const std::string& message, const std::string& help) {
    err_ << "ftdiskctl: " << message << "\n";
    if (!inShell_ && !help.empty()) err_ << "Run '" << help << "' for the usage.\n";
    if (JsonWanted()) PrintJsonFailure(out_, message);
    return kUsage;
  }

  // What is wrong with the --image options of this command line, or "". A machine of
  // images is for the commands that only read: a writing one is sent to 'init --attach'.
  static std::string ImageModeProblem(CLI::App& app, CLI::Option* image, CLI::Option* machine,
                                      CLI::Option* hive, CLI::Option* reg, bool readOnly) {
    if (image->count() == 0)
      return hive->count() + reg->count() > 0 ? "--hive and --reg go with --image (for a machine, 'registry "
                                                "import --hive SYSTEM' or 'registry import FILE')"
                                              : "";
    if (machine->count() > 0) return "give -m DIR or --image, not both";
    if (readOnly) return "";
    if (app.got_subcommand("shell"))
      return "the shell works on a machine directory; with --image give each command on its own";
    std::string command;
    for (CLI::App* c = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front(); c != nullptr;
         c = c->get_subcommands().empty() ? nullptr : c->get_subcommands().front())
      command += (command.empty() ? "" : " ") + c->get_name();
    return "'" + command +
           "' writes, and --image looks at the disks without writing anything (show, layout, check, "
           "registry show|export, volume export|dmtable, ft find); to change them, make a machine of them "
           "first: "
           "ftdiskctl init DIR --attach IMAGE... [--from-hive SYSTEM], then ftdiskctl -m DIR " +
           command;
  }

  bool JsonWanted() const {
    return opt_.json || std::find(args_.begin(), args_.end(), "--json") != args_.end();
  }

  // Runs a command; with --json its output becomes exactly one document with "ok" and
  // "error", whatever path the command took. A command whose data goes to standard
  // output (volume export -) gets its document on standard error, so the data stays
  // exactly the volume's bytes.
  int Finish(const std::function<int(std::ostream&, std::ostream&)>& body, bool dataOnStdout = false) {
    if (opt_.quiet) {
      std::ostringstream dropped;  // what the command says; its data (export -) goes to fd 1 itself
      return body(dropped, err_);
    }
    if (!opt_.json) return body(out_, err_);
    std::ostream& docOut = dataOnStdout ? err_ : out_;
    std::ostringstream o, e;
    const unsigned printed = JsonDocumentsPrinted();
    int rc = body(o, e);
    err_ << e.str();
    // A write that failed outside a request (at boot, say) fails the document too.
    const std::string failures = TakeWriteFailures();
    if (!failures.empty()) {
      err_ << "ftdiskctl: " << failures << "\n";
      if (rc == kOk) rc = kFailed;
    }
    // One whole document printed by the command: it has "ok" and "error" already.
    if (failures.empty() && JsonDocumentsPrinted() == printed + 1) {
      docOut << std::move(o).str();  // the buffer itself, not a copy of it
      return rc;
    }
    json doc = o.str().empty() ? json() : json::parse(o.str(), nullptr, false);
    if (!doc.is_object() && !o.str().empty()) {
      docOut << o.str();  // not a document (help text)
      return rc;
    }
    if (!doc.is_object()) doc = json::object();
    if (!failures.empty() && doc.value("ok", true)) {
      doc["ok"] = false;
      doc["error"] = JsonError(failures)["error"];
    }
    if (!doc.contains("ok")) doc["ok"] = rc == kOk;
    if (!doc.contains("error"))
      doc["error"] = doc["ok"] == true ? json(nullptr) : JsonError(FirstLine(e.str()))["error"];
    docOut << JsonText(doc) << "\n";
    return rc;
  }

  // Reads commands from standard input on one boot. The machine directory and the
  // --no-wait choice of the shell's own command line hold for every line.
  int Shell(bool stopOnError, CLI::App& app) {
    std::string e;
    if (!s_->Open(opt_.dir, opt_.noWait, &e)) {
      err_ << e << "\n";
      return kFailed;
    }
    ShellInput input(opt_.dir, [&](const std::vector<std::string>& before, const std::string& word) {
      return ShellCompletions(app, before, word);
    });
    const bool prompt = isatty(0) && !input.Interactive();
    int last = kOk;
    std::string line;
    for (unsigned lineNo = 1;; ++lineNo) {
      if (prompt) out_ << "ftdiskctl> " << std::flush;
      if (!input.ReadLine("ftdiskctl> ", &line)) break;
      std::vector<std::string> words;
      std::ostringstream errors;
      int rc = kOk;
      if (!SplitWords(line, &words, &e)) {
        errors << "ftdiskctl: " << e << "\n";
        rc = kUsage;
      } else if (words.empty()) {
        continue;
      } else if (words[0] == "exit" || words[0] == "quit") {
        break;
      } else if (words[0] == "help" && words.size() == 1) {
        ShellHelp(app);
      } else {
        if (words[0] == "help") words.erase(words.begin()), words.push_back("--help");
        std::vector<std::string> args = {"-m", opt_.dir};
        if (opt_.noWait) args.push_back("--no-wait");
        if (opt_.json) args.push_back("--json");
        if (opt_.quiet) args.push_back("-q");
        if (opt_.bytes) args.push_back("--bytes");
        args.insert(args.end(), words.begin(), words.end());
        rc = RunCommandLine(args, s_, true, out_, errors);
      }
      // Every message of a line carries its number.
      std::istringstream lines(errors.str());
      for (std::string l; std::getline(lines, l);) err_ << "line " << lineNo << ": " << l << "\n";
      out_ << std::flush;
      err_ << std::flush;
      last = rc;
      if (rc != kOk && stopOnError) {
        err_ << "ftdiskctl: stopped at line " << lineNo << " (--stop-on-error)\n";
        break;
      }
    }
    if (prompt || input.Interactive()) out_ << "\n";
    return last;
  }

  // The words an option's IsMember check accepts ("{a,b,c}" in its description).
  static std::vector<std::string> Choices(CLI::Option* o) {
    std::vector<std::string> out;
    for (int k = 0;; ++k) {
      const CLI::Validator* v = nullptr;
      try {
        v = o->get_validator(k);
      } catch (const CLI::OptionNotFound&) {
        break;
      }
      const std::string d = v->get_description();
      if (d.size() < 2 || d.front() != '{' || d.back() != '}') continue;
      std::istringstream items(d.substr(1, d.size() - 2));
      for (std::string item; std::getline(items, item, ',');) out.push_back(item);
    }
    return out;
  }

  // On a terminal, a partition holding a file system is deleted only when the user says
  // so. A name that does not resolve goes on to the request, which says what is wrong.
  bool ConfirmDelete(const std::string& target) {
    if (opt_.yes || opt_.json || opt_.dryRun || !isatty(0) || !isatty(2)) return true;
    std::string e;
    if (!s_->open() && !s_->Open(opt_.dir, opt_.noWait, &e)) return true;
    const json snap = Snapshot({});
    const ZM_OBJECT_ID id = ResolveVolume(snap, target, inShell_, &e);
    for (const auto& v : snap.value("volumes", json::array())) {
      if (v.value("id", ZM_OBJECT_ID{0}) != id || !v["file_system"].is_string()) continue;
      const std::string fs = v["file_system"];
      if (fs.empty() || fs == "RAW" || fs == "unknown") return true;
      return Confirm(opt_, "delete " + target + "? it holds a " + fs + " file system, lost with it");
    }
    return true;
  }

  // Prints what may complete the last of words (a command line after "ftdiskctl"), one
  // per line; object names come from a read-only boot of the machine the words name.
  int CompleteCommandLine(CLI::App& app, std::vector<std::string> words, std::ostream& out) {
    if (words.empty()) words.push_back("");
    const std::string word = words.back();
    words.pop_back();
    std::string dir = opt_.dir;
    for (size_t i = 0; i + 1 < words.size(); ++i)
      if (words[i] == "-m" || words[i] == "--machine") dir = words[i + 1];
    std::string e;
    if (std::filesystem::exists(std::filesystem::path(dir) / "machine.toml")) {
      s_->SetReadOnly(true);
      s_->Open(dir, true, &e);
    }
    for (const auto& c : ShellCompletions(app, words, word, false))
      if (c.compare(0, word.size(), word) == 0) out << c << "\n";
    return kOk;
  }

  // Commands that need a process of their own, which the shell does not run.
  static bool OwnProcess(const CLI::App* c) {
    const std::string& n = c->get_name();
    const CLI::App* parent = c->get_parent();
    const bool top = parent != nullptr && parent->get_parent() == nullptr;
    return (top && (n == "init" || n == "attach" || n == "demo" || n == "shell")) ||
           (n == "recover" && parent != nullptr && parent->get_name() == "registry");
  }

  // The commands the shell runs, with what they do.
  void ShellHelp(CLI::App& app) {
    out_ << "Commands (one per line; 'help COMMAND' for its options):\n";
    for (const CLI::App* c : app.get_subcommands({}))
      if (!OwnProcess(c) && !c->get_group().empty())
        out_ << "  " << c->get_name()
             << std::string(c->get_name().size() < 12 ? 12 - c->get_name().size() : 1, ' ')
             << c->get_description() << "\n";
    out_ << "  help        this list, or 'help COMMAND'\n  exit, quit  leave the shell (also Ctrl-D)\n";
  }

  // What may follow the words typed so far: the commands and options of the command
  // they name (from the parser itself), and the machine's object names as arguments.
  std::vector<std::string> ShellCompletions(CLI::App& app, const std::vector<std::string>& before,
                                            const std::string& word, bool inShell = true) {
    CLI::App* level = &app;
    size_t i = 0;
    if (!before.empty() && before[0] == "help") ++i;
    CLI::Option* valueOf = nullptr;  // the option whose value is being typed
    size_t positionals = 0;          // words given to the command reached
    for (; i < before.size(); ++i) {
      valueOf = nullptr;
      if (!before[i].empty() && before[i][0] == '-') {
        const std::string name = before[i].substr(0, before[i].find('='));
        for (CLI::App* at = level; at != nullptr && valueOf == nullptr; at = at->get_parent())
          for (CLI::Option* o : at->get_options({}))
            if (o->check_name(name) && o->get_type_size_min() > 0 && name == before[i]) valueOf = o;
        if (valueOf != nullptr && i + 1 < before.size()) ++i, valueOf = nullptr;
        continue;
      }
      auto next = level->get_subcommands([&](CLI::App* c) { return c->get_name() == before[i]; });
      if (next.empty())
        ++positionals;
      else
        level = next.front(), positionals = 0;
    }
    std::vector<std::string> out;
    if (valueOf != nullptr) {
      if (valueOf->check_name("-o")) {
        // A list of columns: complete the last one.
        const size_t comma = word.rfind(',');
        const std::string head = comma == std::string::npos ? "" : word.substr(0, comma + 1);
        for (const auto& c : ColumnNames()) out.push_back(head + c);
      } else if (valueOf->check_name("--state")) {
        out = {"healthy", "orphaned", "regenerating", "initializing"};
      } else {
        out = Choices(valueOf);
      }
      return out;
    }
    if (!word.empty() && word[0] == '-') {
      for (const CLI::Option* o : level->get_options()) {
        for (const auto& l : o->get_lnames()) out.push_back("--" + l);
        for (const auto& sn : o->get_snames()) out.push_back("-" + sn);
      }
      return out;
    }
    // The command's next positional argument, when it takes one of a few words.
    size_t p = 0;
    for (CLI::Option* o : level->get_options({}))
      if (o->get_positional() && p++ == positionals && !Choices(o).empty()) return Choices(o);
    for (const CLI::App* c : level->get_subcommands({}))
      if (!c->get_group().empty() && !(inShell && OwnProcess(c))) out.push_back(c->get_name());
    if (level == &app) {
      if (before.empty() && inShell) out.insert(out.end(), {"help", "exit", "quit"});
      return out;
    }
    if (!out.empty() || !s_->open()) return out;
    const json snap = Snapshot({});
    for (const auto& d : snap.value("disks", json::array())) {
      out.push_back(d.value("name", ""));
      for (const auto& r : d.value("regions", json::array()))
        if (r.value("kind", "") != "free") out.push_back(r.value("name", ""));
    }
    for (const auto& v : snap.value("volumes", json::array())) {
      out.push_back(v.value("name", ""));
      if (v.contains("drive_letter") && v["drive_letter"].is_string()) out.push_back(v["drive_letter"]);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
  }

  std::vector<std::string> args_;
  Session* s_;
  bool inShell_;
  std::ostream& out_;
  std::ostream& err_;
  Options opt_;
};

}  // namespace

bool Confirm(const Options& opt, const std::string& question) {
  if (opt.yes || opt.json || opt.dryRun || !isatty(0) || !isatty(2)) return true;
  // To the terminal itself: the shell holds a line's messages until the line is done.
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

int RunCommandLine(const std::vector<std::string>& args, Session* session, bool inShell, std::ostream& out,
                   std::ostream& err) {
  Runner r(session, inShell, out, err);
  int rc = r.Run(args);
  // Writes that failed without the command saying so (at boot, outside a request).
  const std::string failures = TakeWriteFailures();
  if (!failures.empty()) {
    err << "ftdiskctl: " << failures << "\n";
    if (rc == kOk) rc = kFailed;
  }
  return rc;
}

}  // namespace cli

namespace {

// Ctrl-C or SIGTERM: say so, then die of the signal as before (the exit status tells the
// caller). Every write is ordered and recorded so that a request stopped anywhere can be
// finished or undone: check names what is left.
extern "C" void OnStopSignal(int sig) {
  static const char kMessage[] =
      "\nftdiskctl: stopped by a signal; what was written stays consistent: run 'ftdiskctl check' "
      "to see whether a request was left to finish\n";
  ssize_t ignored = ::write(2, kMessage, sizeof kMessage - 1);
  (void)ignored;
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

int main(int argc, char** argv) {
  for (int sig : {SIGINT, SIGTERM}) {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    ::sigaction(sig, &sa, nullptr);
  }
  // The character set of the locale decides between UTF-8 and ASCII tree characters;
  // numbers keep the C locale.
  std::setlocale(LC_CTYPE, "");
  std::vector<std::string> args(argv + 1, argv + argc);
  cli::InjectFaultsFromEnvironment();
  cli::Session session;
  int rc = cli::RunCommandLine(args, &session, false, std::cout, std::cerr);
  session.Close();
  const std::string failures = cli::TakeWriteFailures();  // at shutdown
  if (!failures.empty()) {
    std::cerr << "ftdiskctl: " << failures << "\n";
    if (rc == cli::kOk) rc = cli::kFailed;
  }
  std::cout.flush();
  return rc;
}
