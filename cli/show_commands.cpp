// The reading commands: show, layout and alerts.
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "command_table.h"
#include "machine.h"
#include "ntplatform.h"
#include "request.h"
#include "served.h"

namespace cli {

namespace {

// A partition table whose chain of boot records ends early is reported, one sentence
// per disk; the partitions before the damage are still shown.
bool ReportDamagedTables(const Machine& m, std::ostream& err) {
  bool damaged = false;
  for (const Disk& d : m.disks) {
    if (d.layoutWarnings.empty()) continue;
    damaged = true;
    std::string all;
    for (const auto& w : d.layoutWarnings) all += (all.empty() ? "" : "; ") + w;
    err << d.name << ": the partition table is damaged, partitions after the damage are not shown: " << all
        << "\n";
  }
  return damaged;
}

}  // namespace

void NoteUnstoredRecords(const Session& s, std::ostream& err) {
  if (const uint32_t back = ntp::UnstoredBootReturns(); back != 0)
    err << "note: this boot finds " << back
        << " FT member(s) back unchanged in sets nothing could write meanwhile and shows them members "
           "again; that is stored by the next command that writes\n";
  const uint32_t n = ntp::UnstoredBootRecords();
  if (n == 0) return;
  if (s.images())
    err << "note: " << n << " FT member(s) are on disks not given with --image; they are shown orphaned\n";
  else
    err << "note: this boot finds " << n
        << " FT member(s) whose partitions are not on the disks and shows them "
        << "orphaned; nothing is stored until a command that writes runs (if the disks are back by then, "
           "nothing is)\n";
}

int CmdShow(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  NoteUnstoredRecords(s, err);
  const Machine m = Machine::Read();
  std::ostringstream damage;
  bool damaged = ReportDamagedTables(m, damage);
  for (const auto& d : ntp::DamagedDisks()) {
    damage << d.reason << "\n";
    damaged = true;
  }
  err << damage.str();
  // FT volumes that a live `volume serve` has open (a dead server's marker is ignored).
  const std::vector<ftdata::Served> served =
      s.images() ? std::vector<ftdata::Served>{} : ftdata::ServedSets(opt.dir);
  if (opt.json) {
    json extra = {{"served", json::array()}};
    for (const auto& v : served)
      extra["served"].push_back(
          {{"set", v.set}, {"where", v.where}, {"read_only", v.readOnly}, {"pid", v.pid}});
    if (damaged)
      PrintJsonFailure(out, damage.str().substr(0, damage.str().find('\n')), nullptr, m, std::move(extra));
    else
      PrintJsonResult(out, m, std::move(extra));
  } else {
    PrintTree(out, m, opt);
    // A set left initializing (an interrupted 'ft create', or recorded so) is not
    // redundant until its members are made to agree; the STATE column alone is easy to miss.
    if (!opt.raw)
      for (const Volume& v : m.volumes)
        if (v.IsFtSet() && !v.name.empty() && v.StateText().find("initializing") != std::string::npos)
          out << "Note: " << v.name << " is initializing: its members are not yet known to agree, so it is "
              << "not redundant; 'ftdiskctl ft regenerate " << v.name << "' makes them agree\n";
    if (!opt.raw)
      for (const auto& v : served)
        out << "Served: " << v.set << " over NBD at " << v.where << " ("
            << (v.readOnly ? "read-only" : "read-write") << ", nbdkit pid " << v.pid << ")\n";
  }
  return damaged ? kFailed : kOk;
}

namespace {

// One disk's layout as IOCTL_DISK_GET_DRIVE_LAYOUT reports it.
struct LayoutOfDisk {
  unsigned disk = 0;
  std::string device;
  uint32_t partitionCount = 0, signature = 0;
  std::vector<PARTITION_INFORMATION> entries;
  std::vector<std::string> warnings;
};

json LayoutJson(const LayoutOfDisk& l) {
  json entries = json::array();
  for (size_t i = 0; i < l.entries.size(); ++i) {
    const PARTITION_INFORMATION& p = l.entries[i];
    entries.push_back({{"index", i},
                       {"starting_offset", p.StartingOffset.QuadPart},
                       {"partition_length", p.PartitionLength.QuadPart},
                       {"hidden_sectors", p.HiddenSectors},
                       {"partition_number", p.PartitionNumber},
                       {"partition_type", p.PartitionType},
                       {"boot_indicator", p.BootIndicator != 0},
                       {"recognized", p.RecognizedPartition != 0}});
  }
  return {{"disk", l.disk},           {"device", l.device}, {"partition_count", l.partitionCount},
          {"signature", l.signature}, {"entries", entries}, {"warnings", l.warnings}};
}

// Offsets and lengths in bytes, or in units of that many bytes (UnitCount) when unit > 1.
void PrintLayout(const LayoutOfDisk& l, uint64_t unit, uint64_t sector, std::ostream& out) {
  auto units = [&](const LARGE_INTEGER& v) {
    return unit > 1 ? UnitCount(uint64_t(v.QuadPart), unit, sector) : std::to_string(v.QuadPart);
  };
  char sig[16];
  std::snprintf(sig, sizeof sig, "0x%08X", l.signature);
  out << "disk" << l.disk << "  " << l.device << "  PartitionCount " << l.partitionCount << "  Signature "
      << sig << "\n";
  out << "  INDEX  STARTING_OFFSET  PARTITION_LENGTH  HIDDEN  NUMBER  TYPE  BOOT  RECOGNIZED\n";
  for (size_t i = 0; i < l.entries.size(); ++i) {
    const PARTITION_INFORMATION& p = l.entries[i];
    char line[160];
    std::snprintf(line, sizeof line, "  %5zu  %15s  %16s  %6u  %6u  0x%02X  %4s  %s\n", i,
                  units(p.StartingOffset).c_str(), units(p.PartitionLength).c_str(),
                  static_cast<unsigned>(p.HiddenSectors), static_cast<unsigned>(p.PartitionNumber),
                  static_cast<unsigned>(p.PartitionType), p.BootIndicator != 0 ? "yes" : "no",
                  p.RecognizedPartition != 0 ? "yes" : "no");
    out << line;
  }
}

}  // namespace

int CmdLayout(Session& s, const Options& opt, bool hasDisk, unsigned disk, std::ostream& out,
              std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  std::vector<LayoutOfDisk> result;
  auto disks = ntp::Disks();
  if (hasDisk &&
      std::none_of(disks.begin(), disks.end(), [&](const ntp::DiskInfo& d) { return d.index == disk; })) {
    err << "there is no disk " << disk << " (the machine has " << disks.size() << ")\n";
    return kFailed;
  }
  int rc = kOk;
  for (const auto& d : disks) {
    if (hasDisk && d.index != disk) continue;
    std::u16string name = d.device + u"\\Partition0";
    HANDLE h = nullptr;
    NTSTATUS st = OpenDevice(name, GENERIC_READ, &h);
    if (!NT_SUCCESS(st)) {
      err << "cannot open " << Narrow(name) << " (" << HexStatus(static_cast<uint32_t>(st)) << ")\n";
      rc = kFailed;
      continue;
    }
    DriveLayout read;
    st = ReadDriveLayout(h, &read);
    NtClose(h);
    if (!NT_SUCCESS(st)) {
      err << "cannot read the layout of " << Narrow(d.device) << " (" << HexStatus(static_cast<uint32_t>(st))
          << ")\n";
      rc = kFailed;
      continue;
    }
    LayoutOfDisk l;
    l.disk = d.index;
    l.device = Narrow(d.device);
    l.partitionCount = read.partitionCount;
    l.signature = read.signature;
    l.entries = std::move(read.entries);
    for (const auto& w : ntp::LayoutWarnings(d.index)) {
      l.warnings.push_back(w);
      err << "disk" << d.index << ": the partition table is damaged: " << w << "\n";
      rc = kFailed;
    }
    result.push_back(std::move(l));
  }
  if (opt.json) {
    json all = json::array();
    for (const auto& l : result) all.push_back(LayoutJson(l));
    json doc = hasDisk && all.size() == 1 ? all[0] : json{{"disks", all}};
    if (rc != kOk)
      PrintJsonFailure(out, "the partition table of a disk is damaged or cannot be read", nullptr, doc);
    else
      PrintJsonResult(out, doc);
    return rc;
  }
  for (const auto& l : result) {
    // --sectors and --cylinders count in the disk's own units.
    uint64_t unit = 1, sector = 512;
    for (const auto& d : disks)
      if (d.index == l.disk && d.geometry.BytesPerSector != 0 && (opt.sectors || opt.cylinders)) {
        sector = d.geometry.BytesPerSector;
        unit = opt.sectors ? sector : sector * d.geometry.SectorsPerTrack * d.geometry.TracksPerCylinder;
      }
    PrintLayout(l, unit, sector, out);
  }
  return rc;
}

namespace {

// An alert of alerts.log in the shape of every other alert document: the log keeps
// message ids as hex text and the GUID as "kind" in braces, the documents numbers, the
// bare GUID as "guid" and the kind's word as "kind".
json NormalAlert(const json& a) {
  json n = a.is_object() ? a : json::object();
  if (n["message_id"].is_string()) {
    std::string t = n["message_id"];
    char* end = nullptr;
    unsigned long long v = std::strtoull(t.c_str(), &end, 16);
    n["message_id"] = end != nullptr && *end == '\0' && !t.empty() ? json(v) : json(nullptr);
  }
  std::string guid = n["kind"].is_string() ? n["kind"].get<std::string>() : "";
  if (guid.size() >= 2 && guid.front() == '{' && guid.back() == '}') guid = guid.substr(1, guid.size() - 2);
  n["guid"] = guid;
  n["kind"] = AlertKindWord(guid);
  for (const char* key : {"time", "severity"})
    if (!n[key].is_number_integer()) n[key] = 0;
  if (!n["text"].is_string()) n["text"] = "";
  if (!n["inserts"].is_array()) n["inserts"] = json::array();
  if (!n["message_id"].is_number_integer()) n["message_id"] = 0;
  return n;
}

// Seconds since 1970 as an ISO 8601 local time with its offset: 2026-12-08T11:39:22+01:00.
std::string LocalTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  char text[40];
  if (localtime_r(&t, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
    return std::to_string(seconds);
  std::string iso = text;
  iso.insert(iso.size() - 2, ":");  // +0100 -> +01:00
  return iso;
}

}  // namespace

// Text gives local ISO 8601 times, or seconds since 1970 with epoch; JSON always seconds.
int CmdAlerts(Session& s, const Options& opt, bool epoch, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  if (s.images()) {
    // A machine of images raises no alert and keeps no log.
  } else if (!std::filesystem::exists(std::filesystem::path(opt.dir) / "machine.toml", ec)) {
    err << "'" << opt.dir << "' is not a machine directory (no machine.toml)\n";
    return kFailed;
  }
  json all = json::array();
  std::ifstream f;
  if (!s.images()) f.open(std::filesystem::path(opt.dir) / "alerts.log");
  std::string line;
  size_t n = 0;
  while (std::getline(f, line)) {
    ++n;
    if (line.empty()) continue;
    json a = json::parse(line, nullptr, false);
    if (a.is_discarded()) {
      err << "alerts.log line " << n << " is not JSON; skipped\n";
      continue;
    }
    all.push_back(NormalAlert(a));
  }
  if (opt.json) {
    PrintJsonResult(out, json{{"alerts", all}});
    return kOk;
  }
  for (const auto& a : all) {
    const json t = a.value("time", json(0));
    if (epoch || !t.is_number_integer())
      out << t << "  ";
    else
      out << LocalTime(t.get<int64_t>()) << "  ";
    out << "alert: " << a.value("text", std::string());
    const json inserts = a.value("inserts", json::array());
    if (!inserts.empty()) {
      out << " [";
      bool first = true;
      for (const auto& s : inserts) {
        if (!first) out << ", ";
        out << s.get<std::string>();
        first = false;
      }
      out << "]";
    }
    out << " (severity " << a.value("severity", json(0)) << ")\n";
  }
  if (all.empty()) out << "no alerts\n";
  return kOk;
}

std::vector<CommandSpec> ShowCommands() {
  // The column lists come from the column tables, so a new column is named here too.
  static const std::string regionColumns =
      "partition columns, comma-separated: " + JoinColumns(Table::Regions);
  static const std::string volumeColumns = "volume columns, comma-separated: " + JoinColumns(Table::Volumes);
  return {
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
       [](Call& c) {
         if (c.opt.pairs) c.opt.raw = true;  // the rows alone, as --raw gives them
         return CmdShow(c.s, c.opt, c.out, c.err);
       },
       "ftdiskctl -m m show -o NAME,SIZE,LETTER --raw"},

      {"layout",
       "print the partition table exactly as the disk driver reports it",
       {Uint("--disk", "only disk N").Of(Names::kDisk)},
       kReadOnly,
       [](Call& c) { return CmdLayout(c.s, c.opt, c.a.Given("disk"), c.a.Uint("disk"), c.out, c.err); },
       "ftdiskctl -m m layout --disk 0 --json"},
  };
}

std::vector<CommandSpec> AlertCommands() {
  return {
      {"alerts",
       "print the alerts raised on this machine (alerts.log)",
       {Flag("--epoch", "times as seconds since 1970 (the log's own), not local ISO 8601")},
       kReadOnly,
       [](Call& c) { return CmdAlerts(c.s, c.opt, c.a.Flag("epoch"), c.out, c.err); },
       "ftdiskctl -m m alerts --json"},
  };
}

}  // namespace cli
