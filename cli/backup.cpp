// Backups of partition-table sectors under DIR/backups/, their restore, and dry runs on
// the platform's overlay.
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
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <sstream>

#include "../diskreg/diskreg.h"
#include "cli.h"
#include "machine.h"
#include "ntplatform.h"
#include "overlay.h"
#include "registry_store.h"
#include "tables.h"
#include "units.h"

namespace fs = std::filesystem;

namespace cli {

namespace tb = ntp::table_backups;

namespace {

fs::path BackupDir() { return tb::Directory(); }

const ntp::DiskInfo* DiskInfoOf(const std::vector<ntp::DiskInfo>& disks, unsigned index) {
  for (const auto& d : disks)
    if (d.index == index) return &d;
  return nullptr;
}

}  // namespace

int CmdBackupsList(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  std::string e;
  if (!s.Open(opt.dir, opt.noWait, &e)) {
    err << e << "\n";
    return kFailed;
  }
  // A machine of images has no directory to keep backups in.
  json index = s.images() ? json{{"backups", json::array()}} : tb::LoadIndex(BackupDir());
  if (opt.json) {
    // What each request wrote is kept for restore's check, not for the listing.
    for (auto& b : index["backups"])
      if (b.is_object()) b.erase("after");
    PrintJsonResult(out, index);
    return kOk;
  }
  if (index["backups"].empty()) {
    out << "no backups" << (s.images() ? "" : " in " + BackupDir().string()) << "\n";
    return kOk;
  }
  uint64_t total = 0;
  for (const auto& b : index["backups"]) {
    const uint64_t size = tb::FileBytes(BackupDir() / b.value("file", std::string()));
    total += size;
    out << b.value("name", std::string("?")) << "  disk " << b.value("disk", 0) << "  " << b["sectors"].size()
        << " sector(s)  " << Size(size, opt) << "  before: " << b.value("command", std::string()) << "\n";
  }
  out << index["backups"].size() << " backup(s), " << Size(total, opt) << " in " << BackupDir().string()
      << "\n";
  return kOk;
}

int CmdBackupsPrune(Session& s, const Options& opt, unsigned keep, std::ostream& out, std::ostream& err) {
  std::string e;
  if (!s.Open(opt.dir, opt.noWait, &e)) {
    err << e << "\n";
    return kFailed;
  }
  if (s.images()) return err << "cannot prune: a machine of images keeps no backups\n", kFailed;
  const fs::path dir = BackupDir();
  json index = tb::LoadIndex(dir);
  json& all = index["backups"];
  if (all.size() <= keep) {
    if (opt.json)
      PrintJsonResult(out, json{{"removed", 0}, {"kept", all.size()}, {"freed_bytes", 0}});
    else
      out << "kept all " << all.size() << " backup(s); nothing to prune\n";
    return kOk;
  }
  // The newest are the last ones of the index. The index is replaced first, so a crash
  // leaves files that no entry names, never an entry without its file; such files (of
  // this or an earlier prune) go after it.
  const size_t drop = all.size() - keep;
  all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(drop));
  if (!tb::SaveIndex(dir, index, &e)) return err << "cannot prune: " << e << "\n", kFailed;
  std::set<std::string> named;
  for (const auto& b : all) named.insert(b.value("file", std::string()));
  uint64_t freed = 0;
  std::error_code ec;
  for (const auto& f : fs::directory_iterator(dir, ec)) {
    const std::string name = f.path().filename().string();
    if (f.path().extension() != ".bak" || named.count(name) != 0) continue;
    const uint64_t size = tb::FileBytes(f.path());
    if (fs::remove(f.path(), ec)) freed += size;
  }
  tb::SyncDir(dir, &e);
  if (opt.json)
    PrintJsonResult(out, json{{"removed", drop}, {"kept", all.size()}, {"freed_bytes", freed}});
  else
    out << "removed " << drop << " backup(s) (" << Size(freed, opt) << "); kept the newest " << keep << "\n";
  return kOk;
}

int CmdRestore(Session& s, const Options& opt, const std::string& backup, bool force, std::ostream& out,
               std::ostream& err) {
  std::string e;
  if (!s.Open(opt.dir, opt.noWait, &e)) {
    err << e << "\n";
    return kFailed;
  }
  fs::path dir = BackupDir();
  json index = tb::LoadIndex(dir);
  std::string want = fs::path(backup).filename().string();
  if (want.size() > 4 && want.compare(want.size() - 4, 4, ".bak") == 0) want.resize(want.size() - 4);
  const json* entry = nullptr;
  for (const auto& b : index["backups"])
    if (b.value("name", std::string()) == want) entry = &b;
  if (!entry) {
    err << "cannot restore: there is no backup named '" << want << "' (see 'ftdiskctl backups list')\n";
    return kFailed;
  }
  unsigned disk = entry->value("disk", 0u);
  uint32_t bps = entry->value("bytes_per_sector", 512u);
  auto disks = ntp::Disks();
  const ntp::DiskInfo* d = DiskInfoOf(disks, disk);
  if (!d || d->geometry.BytesPerSector != bps || entry->value("disk_length", uint64_t{0}) != d->length) {
    err << "cannot restore " << want << ": disk " << disk << " is not the disk the backup was taken from\n";
    return kFailed;
  }
  std::vector<uint64_t> lbas;
  for (const auto& l : (*entry)["sectors"]) {
    if (!l.is_number_unsigned() || l.get<uint64_t>() >= d->length / bps) {
      err << "cannot restore " << want << ": the backup index names a sector outside the disk\n";
      return kFailed;
    }
    lbas.push_back(l.get<uint64_t>());
  }
  std::ifstream f(dir / entry->value("file", want + ".bak"), std::ios::binary);
  std::vector<uint8_t> blob((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (!f.eof() && !f.good()) blob.clear();
  if (blob.size() != lbas.size() * bps) {
    err << "cannot restore " << want << ": the backup file is missing or has the wrong size\n";
    return kFailed;
  }
  std::vector<uint8_t> registry;
  bool hasRegistry = (*entry)["registry_information"].is_string();
  if (hasRegistry && !tb::FromHex((*entry)["registry_information"], &registry)) {
    err << "cannot restore " << want << ": the saved registry value in the index is damaged\n";
    return kFailed;
  }
  // Keep what is there now, so the restore itself can be undone.
  std::vector<tb::SavedSector> current;
  uint32_t type = 0;
  std::vector<uint8_t> regNow;
  bool hadRegNow = ntp::reg::GetValue(kDiskKey, u"Information", &type, &regNow);
  if (!tb::ReadSectors(disk, bps, lbas, &current)) {
    err << "cannot restore " << want << ": the current sectors cannot be read\n";
    return kFailed;
  }
  // A backup puts back the sectors of before its request; when a later request changed
  // them again, restoring would destroy that change.
  if (!force) {
    const json& after = (*entry)["after"];
    std::string stale;
    if (!after.is_array() || after.size() != lbas.size()) {
      stale = "the backup does not record what its request wrote";
    } else {
      for (size_t i = 0; i < lbas.size() && stale.empty(); ++i) {
        std::vector<uint8_t> bytes;
        if (!after[i].is_string() || !tb::FromHex(after[i].get<std::string>(), &bytes) ||
            bytes != current[i].before)
          stale = "sector " + std::to_string(lbas[i]) + " of disk " + std::to_string(disk) +
                  " has changed since the backup was taken";
      }
    }
    if (!stale.empty()) {
      err << "cannot restore " << want << ": " << stale
          << "; restoring it would undo later changes (use --force to restore anyway)\n";
      return kFailed;
    }
  }
  for (size_t i = 0; i < current.size(); ++i)
    current[i].after.assign(blob.begin() + std::ptrdiff_t(i * bps),
                            blob.begin() + std::ptrdiff_t((i + 1) * bps));
  // A dry run keeps no backup: nothing is overwritten.
  std::string undo =
      opt.dryRun ? "-" : tb::Save(disk, bps, current, "restore " + want, hadRegNow, regNow, &e);
  if (undo.empty()) {
    err << "cannot restore " << want << ": the current sectors cannot be saved first: " << e << "\n";
    return kFailed;
  }
  std::u16string name = d->device + u"\\Partition0";
  HANDLE h = nullptr;
  NTSTATUS st = OpenDevice(name, GENERIC_READ | GENERIC_WRITE, &h);
  IO_STATUS_BLOCK iosb{};
  if (!NT_SUCCESS(st)) {
    err << "cannot restore " << want << ": " << Narrow(name) << " cannot be opened ("
        << HexStatus(static_cast<uint32_t>(st)) << ")\n";
    return kFailed;
  }
  // Undone in the reverse order of the request's writes: links go back before the
  // boot records they pointed to.
  for (size_t k = lbas.size(); k-- > 0 && NT_SUCCESS(st);) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(lbas[k] * bps);
    st = NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, blob.data() + k * bps, bps, &at, nullptr);
  }
  NtClose(h);
  if (!NT_SUCCESS(st)) {
    err << "cannot restore " << want << ": writing the sectors failed ("
        << HexStatus(static_cast<uint32_t>(st)) << "); the state before the restore is saved as " << undo
        << "\n";
    return kFailed;
  }
  if (hasRegistry && !ntp::reg::SetValue(kDiskKey, u"Information", REG_BINARY, registry))
    err << "warning: the saved \"Information\" value could not be written back\n";
  if (!opt.json && opt.dryRun)
    out << "would restore " << lbas.size() << " sector(s) of disk " << disk << " from " << want << "\n";
  else if (!opt.json)
    out << "restored " << lbas.size() << " sector(s) of disk " << disk << " from " << want
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

namespace {

// The disk key's values by name (the last of a name wins, as in the JSON listing).
std::map<std::string, ntp::reg::Value> ValuesByName(const std::vector<ntp::reg::Value>& values) {
  std::map<std::string, ntp::reg::Value> m;
  for (const auto& v : values) m[Narrow(v.name)] = v;
  return m;
}

bool SameValue(const ntp::reg::Value* x, const ntp::reg::Value* y) {
  if (x == nullptr || y == nullptr) return x == y;
  return x->type == y->type && x->data == y->data;
}

}  // namespace

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
  const auto before = ValuesByName(listBefore);
  // With --json the request's document is completed with the changes below.
  std::ostringstream result, errors;
  int rc = opt.json ? run(result, errors) : run(out, err);
  err << errors.str();
  // Sectors the request would write, with the table slots that change.
  json sectors = json::array();
  std::vector<std::string> lines;
  for (const auto& c : ntp::OverlayChanges()) {
    TableEntry dummy[4];
    bool table = c.lba == 0 || ParseTableSector(c.after.data(), c.after.size(), dummy) ||
                 ParseTableSector(c.before.data(), c.before.size(), dummy);
    bool cleared = std::all_of(c.after.begin(), c.after.end(), [](uint8_t x) { return x == 0; });
    std::vector<std::string> what =
        table ? DescribeTableChange(c.before, c.after) : std::vector<std::string>{};
    sectors.push_back(
        {{"disk", c.disk}, {"sector", c.lba}, {"table", table}, {"cleared", cleared}, {"changes", what}});
    std::string head = "disk" + std::to_string(c.disk) + " sector " + std::to_string(c.lba);
    if (!table) {
      lines.push_back(head + (cleared ? ": cleared (first sector of a partition)" : ": rewritten"));
    } else {
      for (const auto& w : what) lines.push_back(head + ": " + w);
      if (what.empty()) lines.push_back(head + (cleared ? ": cleared" : ": rewritten"));
    }
  }
  // Values of the disk key, before and as the request left the throw-away copy.
  const auto listAfter = ntp::reg::ListValues(kDiskKey);
  const auto after = ValuesByName(listAfter);
  json regChanges = json::array();
  std::set<std::string> names;
  for (const auto& [n, v] : before) names.insert(n);
  for (const auto& [n, v] : after) names.insert(n);
  for (const auto& n : names) {
    auto bx = before.find(n), ay = after.find(n);
    const ntp::reg::Value* x = bx == before.end() ? nullptr : &bx->second;
    const ntp::reg::Value* y = ay == after.end() ? nullptr : &ay->second;
    if (SameValue(x, y)) continue;
    regChanges.push_back({{"name", n},
                          {"before", x ? RegistryValueJson(*x) : json(nullptr)},
                          {"after", y ? RegistryValueJson(*y) : json(nullptr)}});
    std::string l = "registry HKEY_LOCAL_MACHINE\\SYSTEM\\DISK \"" + n + "\": ";
    if (x == nullptr)
      l += "would be added (" + std::to_string(y->data.size()) + " bytes)";
    else if (y == nullptr)
      l += "would be deleted";
    else
      l += "would change (" + std::to_string(x->data.size()) + " -> " + std::to_string(y->data.size()) +
           " bytes)";
    lines.push_back(l);
  }
  const ntp::reg::Value* informationAfter = InformationOf(listAfter);
  if (informationAfter != nullptr && !SameValue(InformationOf(listBefore), informationAfter))
    lines.push_back("the configuration would read:\n" + InformationText(*informationAfter));
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

}  // namespace cli
