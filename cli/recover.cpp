// The registry's way back (`registry recover`).
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <sstream>

#include "cli.h"
#include "command_table.h"
#include "machine.h"
#include "registry_store.h"

namespace cli {

namespace {

std::string When(int64_t t) {
  char text[32] = "";
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (gmtime_r(&tt, &tm)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

}  // namespace

// Runs without booting, as a machine whose registry is lost or damaged does not boot.
int CmdRegistryRecover(const Options& opt, bool empty, bool list, unsigned seq, std::ostream& out,
                       std::ostream& err) {
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::path(opt.dir) / "machine.toml", ec)) {
    err << "'" << opt.dir << "' is not a machine directory (no machine.toml)\n";
    return kFailed;
  }
  if (list) {
    const auto kept = ntp::reg::ListBackups(opt.dir);
    if (opt.json) {
      json backups = json::array();
      for (const auto& b : kept)
        backups.push_back({{"backup", b.seq},
                           {"file", b.path},
                           {"time", b.time},
                           {"intact", b.valid},
                           {"values", b.values.size()},
                           {"information_bytes", b.informationBytes}});
      out << JsonText(json{{"registry_backups", backups}}) << "\n";
      return kOk;
    }
    if (kept.empty()) out << "no automatic registry backups are kept for " << opt.dir << "\n";
    for (const auto& b : kept) {
      char line[64];
      std::snprintf(line, sizeof line, "%6u  ", b.seq);
      out << line << When(b.time) << "  ";
      if (b.valid)
        out << b.values.size() << " values, \"Information\" " << b.informationBytes << " bytes\n";
      else
        out << "damaged\n";
    }
    return kOk;
  }
  std::string report, e;
  if (!ntp::reg::Recover(opt.dir, empty, seq, opt.noWait, &report, &e, opt.dryRun)) {
    if (!report.empty()) err << report;
    err << "cannot recover the registry of '" << opt.dir << "': " << e << "\n";
    return kFailed;
  }
  if (opt.json) {
    json lines = json::array();
    std::stringstream r(report);
    for (std::string l; std::getline(r, l);) lines.push_back(l);
    json doc = {{"recovered", !opt.dryRun}, {"empty", empty}, {"report", lines}};
    if (opt.dryRun) doc["dry_run"] = true;
    out << JsonText(doc) << "\n";
  } else {
    out << report;
    if (opt.dryRun) out << "dry run: nothing was written to " << opt.dir << "\n";
  }
  return kOk;
}

std::vector<CommandSpec> RecoverCommands() {
  return {
      {.path = "registry recover",
       .help = "restore the newest automatic backup of the disk key when registry.db is lost or damaged",
       .options = {Flag("--empty", "start with an empty registry"),
                   Flag("--list", "list the automatic backups"),
                   Uint("--backup", "restore this backup (a number from --list)").Excludes("--empty")},
       .access = kOwnProcess | kWritesOutside | kOwnDryRun,
       .handler =
           [](Call& c) {
             return CmdRegistryRecover(c.opt, c.a.Flag("empty"), c.a.Flag("list"), c.a.Uint("backup"), c.out,
                                       c.err);
           },
       .example = "ftdiskctl -m m registry recover --list   |   ftdiskctl -m m registry recover",
       .switchOption = "--list",
       .accessWith = kOwnProcess},
  };
}

}  // namespace cli
