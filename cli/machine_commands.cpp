// Machine set-up: init makes a machine directory, attach adds a disk image to one.
#include "machine_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "command_table.h"
#include "hive_commands.h"
#include "machine.h"
#include "ntplatform.h"
#include "request.h"

namespace cli {

namespace {

// "512M", "512M,255,63", "512M,16,63,removable".
bool ParseDiskArg(const std::string& text, uint64_t* size, ntp::DiskConfig* cfg, std::string* error) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (parts.size() > 4) {
    *error = "--disk '" + text + "': expected SIZE[,heads,sectors[,removable]]";
    return false;
  }
  if (!ParseSize(parts[0], false, size, error)) {
    *error = "--disk: " + *error;
    return false;
  }
  auto number = [&](const std::string& s, uint32_t lo, uint32_t hi, uint32_t* v, const char* what) {
    uint64_t x = 0;
    std::string e;
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos ||
        (x = std::stoull(s)) < lo || x > hi) {
      *error = "--disk '" + text + "': " + what + " must be a number from " + std::to_string(lo) + " to " +
               std::to_string(hi);
      return false;
    }
    *v = static_cast<uint32_t>(x);
    return true;
  };
  if (parts.size() == 2) {
    *error = "--disk '" + text + "': give both heads and sectors per track";
    return false;
  }
  if (parts.size() >= 3) {
    if (!number(parts[1], 1, 255, &cfg->heads, "heads")) return false;
    if (!number(parts[2], 1, 63, &cfg->sectors, "sectors per track")) return false;
  }
  if (parts.size() == 4) {
    if (parts[3] != "removable") {
      *error = "--disk '" + text + "': the fourth field can only be 'removable'";
      return false;
    }
    cfg->removable = true;
  }
  uint64_t cylinder = uint64_t{cfg->heads} * cfg->sectors * cfg->bytesPerSector;
  if (*size < 2 * cylinder) {
    *error =
        "--disk '" + text + "': a disk must hold at least two cylinders (" + FormatSize(2 * cylinder) + ")";
    return false;
  }
  return true;
}

}  // namespace

json MachineRef(const std::string& dir) { return json{{"dir", dir}, {"health", nullptr}}; }

namespace {

json AttachJson(const Options& opt, const std::string& image, unsigned index, bool readOnly) {
  json doc = {
      {"file", image}, {"disk", index}, {"name", "disk" + std::to_string(index)}, {"read_only", readOnly}};
  if (opt.dryRun) doc["dry_run"] = true;
  return doc;
}

}  // namespace

int CmdAttachToNew(const Options& opt, const std::string& image, unsigned index, bool readOnly,
                   std::ostream& out, std::ostream& err) {
  if (const ntp::Status st = ntp::CheckAttachImage(image); !st.ok()) {
    err << st.message() << "\n";
    return kFailed;
  }
  if (opt.json)
    PrintJsonResult(out, AttachJson(opt, image, index, readOnly));
  else
    out << "would attach " << image << " as disk " << index
        << (readOnly ? " (read-only: no request would write it)" : "") << "\n";
  return kOk;
}

int CmdInit(const Options& opt, const std::string& dir, const std::vector<std::string>& diskArgs,
            const std::vector<std::string>& cdroms, bool emptyCdrom, std::ostream& out, std::ostream& err) {
  std::vector<std::pair<uint64_t, ntp::DiskConfig>> disks;
  for (const auto& d : diskArgs) {
    uint64_t size = 0;
    ntp::DiskConfig cfg;
    std::string e;
    if (!ParseDiskArg(d, &size, &cfg, &e)) {
      err << e << "\n";
      return kUsage;
    }
    disks.push_back({size, cfg});
  }
  std::vector<ntp::CdromConfig> cds;
  for (const auto& iso : cdroms) {
    std::ifstream f(iso, std::ios::binary);
    if (!f) {
      err << "cannot use '" << iso << "' as a CD-ROM image: " << std::strerror(errno) << "\n";
      return kFailed;
    }
    std::error_code ec;
    cds.push_back({std::filesystem::absolute(iso, ec).string()});
  }
  if (emptyCdrom) cds.push_back({});
  std::string e, note;
  if (!ntp::PrepareMachineDir(dir, opt.force, &note, &e, opt.dryRun)) {
    err << "cannot make a machine in '" << dir << "': " << e << "\n";
    return kFailed;
  }
  if (!note.empty()) err << note << "\n";
  if (!opt.dryRun && !ntp::CreateMachine(dir, disks, cds, &e)) {
    err << "cannot make a machine in '" << dir << "': " << e << "\n";
    return kFailed;
  }
  if (opt.json) {
    json d = json::array();
    for (const auto& x : disks)
      d.push_back({{"size", x.first},
                   {"heads", x.second.heads},
                   {"sectors", x.second.sectors},
                   {"removable", x.second.removable}});
    json doc{{"machine", MachineRef(dir)}, {"disks", d}, {"cdroms", cds.size()}};
    if (opt.dryRun) doc["dry_run"] = true;
    PrintJsonResult(out, std::move(doc));
  } else {
    out << (opt.dryRun ? "would make machine " : "made machine ") << dir << " with " << disks.size()
        << " disk(s)";
    if (!cds.empty()) out << " and " << cds.size() << " CD-ROM drive(s)";
    out << (opt.dryRun ? "; nothing was written\n" : "\n");
  }
  return kOk;
}

int CmdAttach(const Options& opt, const std::string& image, bool removable, bool writeSignature,
              bool readOnly, std::ostream& out, std::ostream& err, bool force) {
  // The fresh signature is written through the booted disk, which a dry run does not
  // give it: refused rather than shown as if it would simply be written.
  if (opt.dryRun && writeSignature) {
    err << "ftdiskctl: --dry-run does not go with --write-signature; 'ftdiskctl --dry-run attach "
           "IMAGE' shows the attach, and the signature is checked when it is written\n";
    return kUsage;
  }
  // --write-signature on a disk attached already only gives it its fresh signature.
  if (const int attached = writeSignature ? ntp::FindImagePath(opt.dir, image) : -1; attached >= 0)
    return WriteFreshSignature(opt, unsigned(attached), force, out, err);
  ntp::AttachOptions options;
  options.removable = removable;
  options.readOnly = readOnly;
  options.dryRun = opt.dryRun;
  options.noWait = opt.noWait;
  options.onWait = [](const std::string& what) {
    std::fprintf(stderr, "waiting for %s, held by another process...\n", what.c_str());
  };
  ntp::AttachedDisk done;
  if (const ntp::Status st = ntp::AttachDisk(opt.dir, image, options, &done); !st.ok()) {
    err << st.message() << "\n";
    return kFailed;
  }
  const unsigned index = done.index;
  if (opt.json)
    PrintJsonResult(out, AttachJson(opt, image, index, readOnly || done.madeReadOnly));
  else if (done.madeReadOnly && opt.dryRun)
    out << "would make disk " << index << " (" << image << ") read-only: no request would write it; "
        << "nothing was written to " << opt.dir << "\n";
  else if (done.madeReadOnly)
    out << "disk " << index << " (" << image << ") is read-only: no request writes it from now on\n";
  else if (opt.dryRun)
    out << "would attach " << image << " as disk " << index << " of " << opt.dir
        << (readOnly ? " (read-only: no request would write it)" : "") << "; nothing was written\n";
  else
    out << "attached " << image << " as disk " << index
        << (readOnly ? " (read-only: no request writes it)\n"
                     : " (the image is unchanged until a request writes it)\n");
  if (done.madeReadOnly || done.clash.empty()) return kOk;
  if (writeSignature) return WriteFreshSignature(opt, index, force, out, err);
  err << "warning: disk " << index << ": " << done.clash
      << ", so the FT configuration cannot tell it apart; drive letters and FT sets on it are refused until "
         "it has a fresh signature: ftdiskctl -m '"
      << opt.dir << "' attach --write-signature '" << image << "'\n";
  return kOk;
}

std::vector<CommandSpec> MachineCommands() {
  return {
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
       [](Call& c) {
         return CmdAttach(c.opt, c.a.Text("IMAGE"), c.a.Flag("removable"), c.a.Flag("write-signature"),
                          c.a.Flag("read-only"), c.out, c.err, c.opt.force);
       },
       "ftdiskctl -m m attach old-nt-disk.img"},
  };
}

}  // namespace cli
