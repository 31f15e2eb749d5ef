// "ftdiskctl backups list|prune" and "restore" over the table backups of DIR/backups/
// (platform/table_backups), and dry runs on the platform's overlay.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>

#include "cli.h"
#include "command_table.h"
#include "machine.h"
#include "ntplatform.h"
#include "overlay.h"
#include "registry_store.h"
#include "units.h"

namespace fs = std::filesystem;

namespace cli {

namespace tb = ntp::table_backups;

namespace {

fs::path BackupDir() { return tb::Directory(); }

}  // namespace

int CmdBackupsList(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  std::string e;
  if (!s.Open(opt.dir, opt.noWait, &e)) {
    err << e << "\n";
    return kFailed;
  }
  // A machine of images has no directory to keep backups in.
  size_t damaged = 0;
  const std::vector<tb::Listed> all =
      s.images() ? std::vector<tb::Listed>{} : tb::List(BackupDir(), &damaged);
  if (damaged != 0)
    err << "warning: " << damaged << " entr" << (damaged == 1 ? "y" : "ies") << " of " << BackupDir().string()
        << "/index.json " << (damaged == 1 ? "is" : "are") << " damaged and left out\n";
  if (opt.json) {
    json backups = json::array();
    for (const auto& b : all) backups.push_back(b.entry);
    PrintJsonResult(out, json{{"backups", std::move(backups)}});
    return kOk;
  }
  if (all.empty()) {
    out << "no backups" << (s.images() ? "" : " in " + BackupDir().string()) << "\n";
    return kOk;
  }
  uint64_t total = 0;
  for (const auto& [b, size] : all) {
    total += size;
    out << b.value("name", std::string("?")) << "  disk " << b.value("disk", 0) << "  " << b["sectors"].size()
        << " sector(s)  " << Size(size, opt) << "  before: " << b.value("command", std::string()) << "\n";
  }
  out << all.size() << " backup(s), " << Size(total, opt) << " in " << BackupDir().string() << "\n";
  return kOk;
}

// Removes all but the newest `keep` backups (entries and files).
int CmdBackupsPrune(Session& s, const Options& opt, unsigned keep, std::ostream& out, std::ostream& err) {
  std::string e;
  // A dry run only counts: the machine is booted read-only and nothing is removed.
  if (opt.dryRun) s.SetReadOnly(true);
  if (!s.Open(opt.dir, opt.noWait, &e)) {
    err << e << "\n";
    return kFailed;
  }
  if (s.images()) return err << "cannot prune: a machine of images keeps no backups\n", kFailed;
  tb::Pruned p;
  if (const ntp::Status st = tb::Prune(BackupDir(), keep, &p, opt.dryRun); !st.ok())
    return err << "cannot prune: " << st.message() << "\n", kFailed;
  if (opt.json) {
    json doc = {{"removed", p.removed}, {"kept", p.kept}, {"freed_bytes", p.freedBytes}};
    if (opt.dryRun) doc["dry_run"] = true;
    PrintJsonResult(out, doc);
  } else if (p.removed == 0) {
    out << "kept all " << p.kept << " backup(s); nothing to prune\n";
  } else {
    out << (opt.dryRun ? "would remove " : "removed ") << p.removed << " backup(s) ("
        << Size(p.freedBytes, opt) << "); " << (opt.dryRun ? "would keep" : "kept") << " the newest " << keep
        << "\n";
  }
  return kOk;
}

// Refuses a backup whose sectors no longer hold what its request wrote, unless force.
int CmdRestore(Session& s, const Options& opt, const std::string& backup, bool force, std::ostream& out,
               std::ostream& err) {
  std::string e;
  if (!s.Open(opt.dir, opt.noWait, &e)) {
    err << e << "\n";
    return kFailed;
  }
  tb::Restoring r;
  ntp::Status st = tb::CheckRestore(BackupDir(), backup, force, &r);
  const std::string& want = r.name;
  if (st.code() == uint32_t(STATUS_OBJECT_NAME_NOT_FOUND))
    return err << "cannot restore: " << st.message() << "\n", kFailed;
  std::string undo;
  bool registryRestored = true;
  if (st.ok()) st = tb::Restore(r, opt.dryRun, &undo, &registryRestored);
  if (!st.ok()) return err << "cannot restore " << want << ": " << st.message() << "\n", kFailed;
  if (!registryRestored) err << "warning: the saved \"Information\" value could not be written back\n";
  const unsigned disk = r.disk;
  if (!opt.json && opt.dryRun)
    out << "would restore " << r.lbas.size() << " sector(s) of disk " << disk << " from " << want << "\n";
  else if (!opt.json)
    out << "restored " << r.lbas.size() << " sector(s) of disk " << disk << " from " << want
        << "; the previous state is saved as " << undo << "\n";
  PropSet in;
  size_t mark = s.AlertCount();
  PropSet outp;
  ZM_OBJECT_ID rid = 0;
  ZMSTATUS rs = s.Control(0, OPCLASS_LAYOUT, OP_REFRESH, in.get(), outp.get(), &rid);
  const Machine m = Machine::Read(s.AlertsSince(mark));
  if (opt.json) {
    json request = {{"command", "restore " + want},
                    {"object", 0},
                    {"object_name", "disk" + std::to_string(disk)},
                    {"status", rs},
                    {"message", nullptr},
                    {"result_id", 0},
                    {"member_id", nullptr},
                    {"member_name", nullptr},
                    {"backups", opt.dryRun ? json::array() : json::array({undo})}};
    PrintJsonResult(out, m, {{"request", std::move(request)}});
  } else {
    PrintDisk(out, m, disk, opt);
  }
  if (rs != 0) err << "warning: " << FailureSentence("the rescan after the restore failed", rs) << "\n";
  return kOk;
}

// ---- Dry runs --------------------------------------------------------------------

int DryRun(Session* s, const Options& opt, const std::function<int(std::ostream&, std::ostream&)>& run,
           std::ostream& out, std::ostream& err) {
  if (!opt.json)
    out << "dry run: the request runs on an overlay of " << opt.dir
        << "; nothing is written to the disks, the registry, alerts.log or backups/\n"
        << std::flush;
  if (s->open() && !s->overlay()) {
    err << "ftdiskctl: a dry run needs its own boot of the machine; run it as its own 'ftdiskctl --dry-run "
           "...' command, not inside the shell\n";
    return kUsage;
  }
  s->SetOverlay(true);
  std::string e;
  if (!s->Open(opt.dir, opt.noWait, &e)) {
    err << e << "\n";
    return kFailed;
  }
  const auto listBefore = ntp::reg::ListValues(kDiskKey);
  // With --json the request's document is completed with the changes below.
  std::ostringstream result, errors;
  int rc = opt.json ? run(result, errors) : run(out, err);
  err << errors.str();
  const ntp::OverlayReport changed = ntp::DescribeOverlay(listBefore);
  // Sectors the request would write, with the table slots that change.
  json sectors = json::array();
  std::vector<std::string> lines;
  for (const auto& c : changed.sectors) {
    sectors.push_back({{"disk", c.disk},
                       {"sector", c.lba},
                       {"table", c.table},
                       {"cleared", c.cleared},
                       {"changes", c.slots}});
    std::string head = "disk" + std::to_string(c.disk) + " sector " + std::to_string(c.lba);
    if (!c.table) {
      lines.push_back(head + (c.cleared ? ": cleared (first sector of a partition)" : ": rewritten"));
    } else {
      for (const auto& w : c.slots) lines.push_back(head + ": " + w);
      if (c.slots.empty()) lines.push_back(head + (c.cleared ? ": cleared" : ": rewritten"));
    }
  }
  // Values of the disk key, before and as the request left the throw-away copy.
  json regChanges = json::array();
  for (const auto& [name, x, y] : changed.values) {
    const std::string n = Narrow(name);
    regChanges.push_back({{"name", n},
                          {"before", x ? ntp::reg::ValueJson(*x) : json(nullptr)},
                          {"after", y ? ntp::reg::ValueJson(*y) : json(nullptr)}});
    std::string l = "registry HKEY_LOCAL_MACHINE\\SYSTEM\\DISK \"" + n + "\": ";
    if (!x)
      l += "would be added (" + std::to_string(y->data.size()) + " bytes)";
    else if (!y)
      l += "would be deleted";
    else
      l += "would change (" + std::to_string(x->data.size()) + " -> " + std::to_string(y->data.size()) +
           " bytes)";
    lines.push_back(l);
  }
  if (changed.information)
    lines.push_back("the configuration would read:\n" + InformationText(*changed.information));
  s->Close();  // drops the overlay and the registry copy
  s->SetOverlay(false);
  json changes = {{"sectors", sectors}, {"registry", regChanges}};
  if (opt.json) {
    json doc = json::parse(result.str(), nullptr, false);
    if (!doc.is_object()) {
      std::string why = errors.str().substr(0, errors.str().find('\n'));
      doc = JsonError(why.empty() ? "the request failed" : why);
    }
    doc["dry_run"] = true;
    doc["changes"] = changes;
    PrintJsonResult(out, doc);
  } else {
    out << "\ndry run: nothing was written to " << opt.dir << ".";
    if (lines.empty()) {
      out << " The request would change nothing on the disks or in the registry.\n";
    } else {
      out << " The request would change:\n";
      for (const auto& l : lines) out << "  " << l << "\n";
    }
  }
  return rc;
}

namespace {

int Restore(Call& c) {
  const std::string& backup = c.a.Text("BACKUP");
  if (!Confirm(c.opt, "write the sectors of backup " + backup + " back over what the disk holds now?"))
    return c.err << "nothing restored\n", kFailed;
  return CmdRestore(c.s, c.opt, backup, c.a.Flag("force"), c.out, c.err);
}

}  // namespace

std::vector<CommandSpec> BackupCommands() {
  const auto restoreOptions = std::vector<OptionSpec>{
      Text("BACKUP", "backup name (from 'backups list') or .bak file").Req().Of(Names::kBackup),
      Flag("--force", "restore even when later requests changed the sectors")};
  return {
      {"backups",
       "the partition-table backups kept under DIR/backups/",
       {},
       kReadOnly,
       [](Call& c) { return CmdBackupsList(c.s, c.opt, c.out, c.err); },
       "ftdiskctl -m m backups list"},

      {"backups list",
       "list the backups",
       {},
       kReadOnly,
       [](Call& c) { return CmdBackupsList(c.s, c.opt, c.out, c.err); },
       "ftdiskctl -m m backups list"},

      {"backups restore", "write a backup's sectors back", restoreOptions, kWrites, Restore,
       "ftdiskctl -m m backups restore 20261206T224500Z-disk0"},

      {"backups prune",
       "remove all but the newest backups",
       {Uint("--keep", "how many of the newest backups to keep").Req()},
       kWritesOutside | kOwnDryRun,
       [](Call& c) { return CmdBackupsPrune(c.s, c.opt, c.a.Uint("keep"), c.out, c.err); },
       "ftdiskctl -m m backups prune --keep 20"},

      {"restore", "write a backup's sectors back (same as 'backups restore')", restoreOptions, kWrites,
       Restore, "ftdiskctl -m m restore 20261206T224500Z-disk0"},
  };
}

}  // namespace cli
