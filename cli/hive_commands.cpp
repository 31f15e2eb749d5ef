// registry import/export/show --hive and init --from-hive: the DISK key of an NT SYSTEM
// hive brought into a machine, written back into the hive, or decoded without a machine.
#include "hive_commands.h"

#include <filesystem>
#include <ostream>
#include <sstream>

#include "ftimport.h"
#include "hive.h"
#include "machine.h"
#include "machine_commands.h"
#include "partition_commands.h"
#include "registry_store.h"

namespace cli {

namespace hive = ntp::hive;

namespace {

bool OpenMachine(Session& s, const Options& opt, std::ostream& err) {
  std::string e;
  if (s.Open(opt.dir, opt.noWait, &e)) return true;
  err << e << "\n";
  return false;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names) s += (s.empty() ? "\"" : ", \"") + n + "\"";
  return s;
}

// Reads and checks the DISK key of a hive; on refusal prints why and returns false.
bool ReadHiveValues(const std::string& what, const std::string& hive, hive::Values* accepted,
                    std::vector<std::string>* skipped, std::ostream& err) {
  hive::Values all;
  std::string e;
  if (!hive::ReadDiskKey(hive, &all, &e) || !hive::CheckDiskValues(all, accepted, skipped, &e)) {
    err << what << " '" << hive << "': " << e << "; nothing was written\n";
    return false;
  }
  if (accepted->empty()) {
    err << what << " '" << hive
        << "': its DISK key holds neither \"Information\" nor CD-ROM drive letters; nothing was written\n";
    return false;
  }
  return true;
}

// Stores checked values in the machine's DISK key in one transaction, then rescans as a
// .reg import does.
int ImportValues(Session& s, const Options& opt, const std::string& source, const hive::Values& values,
                 bool rescan, std::ostream& out, std::ostream& err) {
  if (!OpenMachine(s, opt, err)) return kFailed;
  // The same checks as a .reg import: a configuration that would lose FT sets or names
  // disks this machine lacks needs --force; all values are stored in one transaction.
  const ftconfig::DiskKeyImport r = ftconfig::ImportDiskValues(values, opt.force);
  for (const auto& l : r.losses) err << "  " << l << "\n";
  if (!r.stored) {
    err << "cannot import '" << source << "': " << r.error << "; nothing was written\n";
    return kFailed;
  }
  if (!rescan) {
    if (opt.json)
      out << JsonText(json{{"file", source}, {"registry", ntp::reg::DiskKeyJson()}}) << "\n";
    else
      out << "imported " << source << " into HKEY_LOCAL_MACHINE\\SYSTEM\\DISK\n";
    return kOk;
  }
  if (!opt.json) out << "imported " << source << " into HKEY_LOCAL_MACHINE\\SYSTEM\\DISK; rescanning\n";
  return CmdRescan(s, opt, false, 0, out, err);
}

}  // namespace

int CmdRegistryImportHive(Session& s, const Options& opt, const std::string& hive, bool rescan,
                          std::ostream& out, std::ostream& err) {
  hive::Values values;
  std::vector<std::string> skipped;
  if (!ReadHiveValues("cannot import the hive", hive, &values, &skipped, err)) return kFailed;
  if (!skipped.empty() && !opt.json)
    out << "left out the values " << Joined(skipped)
        << " of the hive's DISK key (not used by this machine)\n";
  return ImportValues(s, opt, hive, values, rescan, out, err);
}

int CmdRegistryExportHive(Session& s, const Options& opt, const std::string& hive, bool backup,
                          std::ostream& out, std::ostream& err) {
  if (!OpenMachine(s, opt, err)) return kFailed;
  hive::Values values;
  std::vector<std::string> skipped;
  std::string e;
  // What this machine stores is checked as strictly as what a hive brings in.
  if (!hive::CheckDiskValues(ntp::reg::ListValues(kDiskKey), &values, &skipped, &e)) {
    err << "cannot export to the hive '" << hive << "': the machine's DISK key is not sound: " << e
        << "; nothing was written\n";
    return kFailed;
  }
  if (values.empty()) {
    err << "cannot export to the hive '" << hive
        << "': this machine stores no FT configuration or CD-ROM letter yet; nothing was written\n";
    return kFailed;
  }
  hive::WriteResult r;
  if (!hive::WriteDiskKey(hive, values, backup, &r, &e, opt.dryRun)) {
    err << "cannot export to the hive '" << hive << "': " << e << "; nothing was written\n";
    return kFailed;
  }
  json names = json::array();
  for (const auto& v : values) names.push_back(Narrow(v.name));
  if (opt.json) {
    json doc = {{"file", hive},
                {"hive", hive},
                {"key", Narrow(kDiskKey)},
                {"value_names", names},
                {"created", r.created},
                {"backup_file", r.backup.empty() ? json(nullptr) : json(r.backup)},
                {"kept", r.kept}};
    if (opt.dryRun) doc["dry_run"] = true;
    out << JsonText(doc) << "\n";
    return kOk;
  }
  const bool dry = opt.dryRun;
  out << (dry ? "would export" : "exported") << " HKEY_LOCAL_MACHINE\\SYSTEM\\DISK to the "
      << (r.created ? "new " : "") << "hive " << hive << " (" << names.size() << " value(s))\n";
  if (!r.backup.empty())
    out << (dry ? "the previous hive would be kept as " : "the previous hive is kept as ") << r.backup
        << "\n";
  if (!r.kept.empty())
    out << (dry ? "would leave as they are: " : "left as they were: ") << Joined(r.kept) << "\n";
  if (dry) out << "dry run: nothing was written to " << hive << "\n";
  return kOk;
}

int CmdRegistryShowHive(const Options& opt, const std::string& hive, std::ostream& out, std::ostream& err) {
  hive::Values values;
  std::string e;
  if (!hive::ReadDiskKey(hive, &values, &e)) {
    err << "cannot read the hive '" << hive << "': " << e << "\n";
    return kFailed;
  }
  json r = ntp::reg::DiskKeyJson(values);
  r["hive"] = hive;
  if (!opt.json) out << "hive " << hive << ", key DISK below its root:\n";
  return PrintRegistry(values, r, opt, out, err);
}

int CmdInitFromHive(const Options& opt, const InitFromHive& a, std::ostream& out, std::ostream& err) {
  hive::Values values;
  std::vector<std::string> skipped;
  if (!a.hive.empty() &&
      !ReadHiveValues("cannot make a machine from the hive", a.hive, &values, &skipped, err))
    return kFailed;
  // With --json every step's document is collected into one; the steps' own "ok" and
  // "error" go, the whole document's say it.
  std::ostringstream captured;
  std::ostream& o = opt.json ? captured : out;
  json doc = json::object();
  auto part = [&]() {
    json d = json::parse(captured.str(), nullptr, false);
    captured.str("");
    if (d.is_object()) d.erase("ok"), d.erase("error");
    return d;
  };
  Options here = opt;
  here.dir = a.dir;
  int rc;
  if (!a.disks.empty() || !a.cdroms.empty() || a.emptyCdrom) {
    rc = CmdInit(here, a.dir, a.disks, a.cdroms, a.emptyCdrom, o, err);
  } else {
    std::string e, note;
    rc = kOk;
    const bool prepared = ntp::PrepareMachineDir(a.dir, opt.force, &note, &e, opt.dryRun);
    if (!note.empty()) err << note << "\n";
    if (!prepared) {
      err << "cannot make a machine in '" << a.dir << "': " << e << "\n";
      rc = kFailed;
    } else if (!opt.dryRun && !ntp::CreateMachine(a.dir, {}, {}, &e)) {
      err << "cannot make a machine in '" << a.dir << "': " << e << "\n";
      rc = kFailed;
    } else if (opt.json) {
      json init{{"machine", MachineRef(a.dir)}, {"disks", json::array()}, {"cdroms", 0}};
      if (opt.dryRun) init["dry_run"] = true;
      o << JsonText(init) << "\n";
    } else {
      o << (opt.dryRun ? "would make machine " : "made machine ") << a.dir << "\n";
    }
  }
  if (rc != kOk) return rc;
  if (opt.json) doc["init"] = part();
  json attached = json::array();
  for (size_t i = 0; i < a.attach.size(); ++i) {
    // A dry run has no machine to attach to: the images are checked as attach would.
    rc = opt.dryRun ? CmdAttachToNew(here, a.attach[i], unsigned(a.disks.size() + i), a.readOnly, o, err)
                    : CmdAttach(here, a.attach[i], false, false, a.readOnly, o, err);
    if (rc != kOk) return rc;
    if (opt.json) attached.push_back(part());
  }
  if (opt.json) doc["attached_images"] = attached;
  if (!a.hive.empty()) {
    if (!skipped.empty() && !opt.json)
      o << (opt.dryRun ? "would leave out the values " : "left out the values ") << Joined(skipped)
        << " of the hive's DISK key (not used by this machine)\n";
    if (opt.dryRun) {
      if (opt.json) {
        doc["import"] = {{"file", a.hive}, {"registry", ntp::reg::DiskKeyJson(values)}};
      } else {
        std::vector<std::string> names;
        for (const auto& v : values) names.push_back(Narrow(v.name));
        o << "would import the values " << Joined(names) << " of " << a.hive << "'s DISK key\n";
      }
    } else {
      // The next boot reads the configuration against the disks; no rescan here, which
      // could rebuild it before the machine is complete.
      // A machine made from a hive takes its configuration whatever it lacks: what would
      // be lost (disks not attached) is listed, not refused.
      Options forced = here;
      forced.force = true;
      Session s;
      s.SetWaitNotice(PrintWaitNotice);
      rc = ImportValues(s, forced, a.hive, values, false, o, err);
      s.Close();
      if (rc != kOk) return rc;
      if (opt.json) doc["import"] = part();
    }
  }
  if (opt.dryRun && !opt.json) out << "dry run: nothing was written\n";
  if (opt.json) {
    doc["machine"] = MachineRef(a.dir);
    if (opt.dryRun) doc["dry_run"] = true;
    PrintJsonResult(out, std::move(doc));
  }
  return kOk;
}

}  // namespace cli
