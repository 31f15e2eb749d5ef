// The registry commands: the disk key shown, exported and imported.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "command_table.h"
#include "configblob.h"
#include "configblob_text.h"
#include "ftimport.h"
#include "hive_commands.h"
#include "machine.h"
#include "ntplatform.h"
#include "registry_store.h"
#include "request.h"

namespace cli {

std::string InformationText(const ntp::reg::Value& information) {
  std::string why;
  bool ok = DiskRegistryValidate(information.data.data(), information.data.size(), &why);
  return ftformat::BlobText(information.data.data(), information.data.size(), ok, why, model::FormatSize);
}

int CmdRegistryShow(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  const auto values = ntp::reg::ListValues(kDiskKey);
  return PrintRegistry(values, ntp::reg::DiskKeyJson(values), opt, out, err);
}

int PrintRegistry(const std::vector<ntp::reg::Value>& values, const json& doc, const Options& opt,
                  std::ostream& out, std::ostream& err) {
  const ntp::reg::Value* information = ntp::reg::InformationOf(values);
  std::string why;
  const bool malformed = information != nullptr && !ntp::reg::InformationValid(*information, &why);
  const std::string problem = "the stored \"Information\" value is malformed: " + why;
  if (opt.json) {
    if (malformed)
      PrintJsonFailure(out, problem, nullptr, doc);
    else
      PrintJsonResult(out, doc);
  } else {
    out << "HKEY_LOCAL_MACHINE\\SYSTEM\\DISK\n";
    for (const auto& v : values) {
      out << "  \"" << Narrow(v.name) << "\" type " << v.type << ", " << v.data.size() << " bytes";
      if (v.type != REG_BINARY) out << ": " << ntp::reg::ValueDataText(v);
      out << "\n";
    }
    if (information == nullptr)
      out << "  no \"Information\" value: no FT configuration is stored yet\n";
    else
      out << InformationText(*information);
  }
  if (malformed) {
    err << problem << "\n";
    return kFailed;
  }
  return kOk;
}

int CmdRegistryExport(Session& s, const Options& opt, const std::string& file, std::ostream& out,
                      std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  std::string e;
  if (opt.dryRun) {
    // What the file would hold; the file itself is not touched.
    std::error_code ec;
    const bool replaces = std::filesystem::exists(file, ec);
    const size_t count = ntp::reg::ListValues(kDiskKey).size();
    if (opt.json)
      PrintJsonResult(out, json{{"file", file}, {"key", Narrow(kDiskKey)}, {"dry_run", true}});
    else
      out << "would export HKEY_LOCAL_MACHINE\\SYSTEM\\DISK (" << count << " value(s)) to " << file
          << (replaces ? ", replacing it" : "") << "; dry run: nothing was written\n";
    return kOk;
  }
  if (!ntp::reg::ExportRegFile(kDiskKey, file, &e)) {
    err << "cannot export the registry to '" << file << "': " << e << "\n";
    return kFailed;
  }
  if (opt.json)
    PrintJsonResult(out, json{{"file", file}, {"key", Narrow(kDiskKey)}});
  else
    out << "exported HKEY_LOCAL_MACHINE\\SYSTEM\\DISK to " << file << "\n";
  return kOk;
}

int CmdRegistryImport(Session& s, const Options& opt, const std::string& file, bool rescan, std::ostream& out,
                      std::ostream& err) {
  {
    std::ifstream f(file, std::ios::binary);
    if (!f) {
      err << "cannot import '" << file << "': " << std::strerror(errno) << "\n";
      return kFailed;
    }
  }
  if (!OpenOr(s, opt, err)) return kFailed;
  const ftconfig::DiskKeyImport r = ftconfig::ImportRegFile(file, opt.force);
  if (!r.refused && !r.losses.empty()) err << "warning: importing '" << file << "' with --force loses:\n";
  for (const auto& l : r.losses) err << "  " << l << "\n";
  if (!r.stored) {
    // The document names the refusal, not the first of the losses listed before it.
    const std::string message = "cannot import '" + file + "': " + r.error;
    if (opt.json) PrintJsonFailure(out, message);
    err << message << "\n";
    return kFailed;
  }
  if (!rescan) {
    if (opt.json)
      PrintJsonResult(out, json{{"file", file}, {"registry", ntp::reg::DiskKeyJson()}});
    else
      out << (opt.dryRun ? "would import " : "imported ") << file
          << " into HKEY_LOCAL_MACHINE\\SYSTEM\\DISK\n";
    return kOk;
  }
  if (!opt.json)
    out << (opt.dryRun ? "would import " : "imported ") << file << " into HKEY_LOCAL_MACHINE\\SYSTEM\\DISK"
        << (opt.dryRun ? " and rescan\n" : "; rescanning\n");
  return Report(opt,
                ftconfig::RequestRefresh(s, RequestsFor(opt), "registry import " + file,
                                         "cannot rescan after the import"),
                out, err);
}

std::vector<CommandSpec> RegistryCommands() {
  return {
      {"registry",
       "the disk registry (HKEY_LOCAL_MACHINE\\SYSTEM\\DISK)",
       {},
       kNeedsCommand,
       nullptr,
       "ftdiskctl -m m registry show"},

      {"registry show",
       "decode the FT configuration \"Information\"",
       {Text("--hive", "decode the DISK key of this NT SYSTEM hive file (no machine)")
            .Of(Names::kFile)
            .Meta("SYSTEM")},
       kReadOnly,
       [](Call& c) {
         if (c.a.Given("hive")) return CmdRegistryShowHive(c.opt, c.a.Text("hive"), c.out, c.err);
         return CmdRegistryShow(c.s, c.opt, c.out, c.err);
       },
       "ftdiskctl -m m registry show --json   |   ftdiskctl registry show --hive SYSTEM"},

      {.path = "registry export",
       .help = "write the key as a REGEDIT4 .reg file or into a hive",
       .options = {Text("FILE", ".reg file to write").Of(Names::kFile).Excludes("--hive"),
                   Text("--hive", "write the DISK key into this NT SYSTEM hive (made when missing)")
                       .Of(Names::kFile)
                       .Meta("SYSTEM"),
                   Flag("--no-backup", "with --hive: do not keep the previous hive as FILE.bak")},
       .access = kReadOnly | kOwnDryRun,
       .handler =
           [](Call& c) {
             const std::string &file = c.a.Text("FILE"), &hive = c.a.Text("hive");
             if (file.empty() && hive.empty()) return UsageError(c, "give a .reg FILE or --hive SYSTEM");
             if (c.a.Flag("no-backup") && hive.empty())
               return UsageError(c, "--no-backup goes only with --hive");
             if (!hive.empty())
               return CmdRegistryExportHive(c.s, c.opt, hive, !c.a.Flag("no-backup"), c.out, c.err);
             return CmdRegistryExport(c.s, c.opt, file, c.out, c.err);
           },
       .example =
           "ftdiskctl -m m registry export disk.reg   |   ftdiskctl -m m registry export --hive SYSTEM",
       .switchOption = "--hive",
       .accessWith = kReadOnly | kWritesOutside | kOwnDryRun},

      {"registry import",
       "read values from a REGEDIT4 .reg file or a hive, then rescan",
       {Text("FILE", ".reg file to read").Of(Names::kFile).Excludes("--hive"),
        Text("--hive", "read the DISK key of this NT SYSTEM hive").Of(Names::kFile).Meta("SYSTEM"),
        Flag("--no-rescan", "do not rescan after the import"),
        Flag("--force", "import even when FT sets or disks of this machine would be lost")
            .Into(&Options::force)},
       kWrites,
       [](Call& c) {
         const std::string &file = c.a.Text("FILE"), &hive = c.a.Text("hive");
         if (file.empty() && hive.empty()) return UsageError(c, "give a .reg FILE or --hive SYSTEM");
         if (!hive.empty())
           return CmdRegistryImportHive(c.s, c.opt, hive, !c.a.Flag("no-rescan"), c.out, c.err);
         return CmdRegistryImport(c.s, c.opt, file, !c.a.Flag("no-rescan"), c.out, c.err);
       },
       "ftdiskctl -m m registry import mirror.reg   |   ftdiskctl -m m registry import --hive SYSTEM"},
  };
}

}  // namespace cli
