// The machine as an aligned tree, its tables driven by one column table per kind of row.
#include <langinfo.h>
#include <libsmartcols/libsmartcols.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sstream>

#include "cli.h"

namespace cli {

json AlertsJson(const std::vector<zm::AlertRecord>& alerts) {
  json out = json::array();
  for (const auto& a : alerts) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", a.kind.Data1,
                  a.kind.Data2, a.kind.Data3, a.kind.Data4[0], a.kind.Data4[1], a.kind.Data4[2],
                  a.kind.Data4[3], a.kind.Data4[4], a.kind.Data4[5], a.kind.Data4[6], a.kind.Data4[7]);
    json inserts = json::array();
    for (const auto& s : a.inserts) inserts.push_back(Narrow(s));
    out.push_back({{"time", a.time},
                   {"severity", a.severity},
                   {"guid", guid},
                   {"kind", AlertKindWord(guid)},
                   {"message_id", a.messageId},
                   {"text", a.text},
                   {"inserts", inserts}});
  }
  return out;
}

std::string Size(uint64_t bytes, const Options& opt) {
  return opt.bytes ? std::to_string(bytes) : FormatSize(bytes);
}

std::string Size(uint64_t bytes, const Options& opt, const Disk* disk) {
  if (disk && opt.sectors) return UnitCount(bytes, disk->SectorBytes(), disk->SectorBytes());
  if (disk && opt.cylinders) return UnitCount(bytes, uint64_t(disk->CylinderBytes()), disk->SectorBytes());
  return Size(bytes, opt);
}

namespace {

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

// A cell's text: "-" for what is missing or empty.
std::string Text(const std::optional<std::string>& v, const std::string& none = "-") {
  return v && !v->empty() ? *v : none;
}
std::string Text(const std::optional<uint64_t>& v) { return v ? std::to_string(*v) : "-"; }

// One column of a table: its name, the help of -o, alignment, its cell, its colour.
template <class Row>
struct Column {
  const char* name;
  const char* help;
  bool right;
  std::string (*cell)(const Machine& m, const Row& row, const Options& opt);
  const char* (*color)(const std::string& cell) = nullptr;
  bool byDefault = true;  // else only with -v
};

const char* StateColor(const std::string& v) {
  if (v.empty() || v == "-") return nullptr;
  if (v.find("failed") != std::string::npos || v.find("orphaned") != std::string::npos) return "red";
  return v == "healthy" ? "green" : "yellow";
}

using RegionColumn = Column<Region>;
// Free space shows only its name, kind and extent.
const RegionColumn kRegionColumns[] = {
    {"NAME", "stable name (diskN/pM, free)", false,
     [](const Machine&, const Region& r, const Options&) -> std::string {
       return r.IsFree() ? "free" : r.name.empty() ? r.kind : r.name;
     }},
    {"AT", "name by start (diskN@STARTs; shown by -v)", false,
     [](const Machine&, const Region& r, const Options&) -> std::string {
       return r.IsFree() ? "" : r.startName.empty() ? "-" : r.startName;
     },
     nullptr, false},
    {"KIND", "primary, extended, logical or free", false,
     [](const Machine&, const Region& r, const Options&) { return r.kind; }},
    {"START", "offset of the first byte", true,
     [](const Machine& m, const Region& r, const Options& o) { return Size(r.offset, o, m.DiskOf(r.id)); }},
    {"END", "offset after the last byte", true,
     [](const Machine& m, const Region& r, const Options& o) {
       return Size(r.offset + r.length, o, m.DiskOf(r.id));
     }},
    {"SIZE", "length", true,
     [](const Machine& m, const Region& r, const Options& o) { return Size(r.length, o, m.DiskOf(r.id)); }},
    {"TYPE", "partition type (system id)", false,
     [](const Machine&, const Region& r, const Options&) -> std::string {
       return r.IsFree() ? "" : r.partitionType ? Hex(*r.partitionType) : "-";
     }},
    {"ACT", "* on the active partition", false,
     [](const Machine&, const Region& r, const Options&) -> std::string { return r.Active() ? "*" : ""; }},
    {"DEVICE", "NT device of the partition", false,
     [](const Machine&, const Region& r, const Options&) { return r.IsFree() ? "" : Text(r.device); }},
    {"VOLUME", "FT set the partition belongs to", false,
     [](const Machine& m, const Region& r, const Options&) -> std::string {
       if (r.IsFree()) return "";
       std::string set = m.FtSetOf(r.volume);
       return set.empty() ? "-" : set;
     }},
    {"LETTER", "drive letter", false,
     [](const Machine&, const Region& r, const Options&) { return r.IsFree() ? "" : Text(r.driveLetter); }},
    {"FS", "file system", false,
     [](const Machine&, const Region& r, const Options&) { return r.IsFree() ? "" : Text(r.fileSystem); }},
    {"STATE", "volume state", false,
     [](const Machine&, const Region& r, const Options&) -> std::string {
       return r.IsFree() ? "" : r.state ? StateText(*r.state) : "-";
     },
     StateColor},
};

using VolumeColumn = Column<Volume>;
const VolumeColumn kVolumeColumns[] = {
    {"NAME", "stable name (diskN/pM, cdromN, mirrorG...)", false,
     [](const Machine&, const Volume& v, const Options&) { return v.name.empty() ? "-" : v.name; }},
    {"KIND", "volume kind, and an FT set's group", false,
     [](const Machine&, const Volume& v, const Options&) {
       std::string kind = v.kind.empty() ? "-" : v.kind;
       return v.ftGroup ? kind + " group " + std::to_string(*v.ftGroup) : kind;
     }},
    {"LETTER", "drive letter", false,
     [](const Machine&, const Volume& v, const Options&) { return Text(v.driveLetter); }},
    {"SIZE", "length", true,
     [](const Machine& m, const Volume& v, const Options& o) -> std::string {
       return v.length ? Size(*v.length, o, m.DiskOf(v.id)) : "-";
     }},
    {"STATE", "volume state", false,
     [](const Machine&, const Volume& v, const Options&) -> std::string {
       return v.state && !v.StateText().empty() ? v.StateText() : "-";
     }},
    {"SEV", "severity", false,
     [](const Machine&, const Volume& v, const Options&) { return Text(v.severity); }},
    {"FS", "file system", false,
     [](const Machine&, const Volume& v, const Options&) { return Text(v.fileSystem); }},
    {"DEVICE", "NT device of the volume", false,
     [](const Machine&, const Volume& v, const Options&) { return Text(v.device); }},
    {"MEMBERS", "its partitions, FT member numbers in brackets", false,
     [](const Machine&, const Volume& v, const Options&) -> std::string {
       std::string members;
       for (const Member& mb : v.members) {
         if (!members.empty()) members += " ";
         members += Text(mb.name, "?");
         if (mb.member) members += "[" + std::to_string(*mb.member) + "]";
       }
       return members.empty() ? "-" : members;
     }},
};

template <class Row, size_t N>
const Column<Row>* FindColumn(const Column<Row> (&table)[N], const std::string& name) {
  for (const auto& c : table)
    if (name == c.name) return &c;
  return nullptr;
}

// The columns a list names (upper-cased), or the table's default set when it is empty.
template <class Row, size_t N>
std::vector<const Column<Row>*> Pick(const Column<Row> (&table)[N], const std::string& list, bool verbose,
                                     std::string* unknown = nullptr) {
  std::vector<const Column<Row>*> cols;
  if (list.empty()) {
    for (const auto& c : table)
      if (verbose || c.byDefault) cols.push_back(&c);
    return cols;
  }
  std::string cur;
  for (size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size() && list[i] != ',') {
      cur += static_cast<char>(std::toupper(static_cast<unsigned char>(list[i])));
      continue;
    }
    if (cur.empty()) continue;
    if (const Column<Row>* c = FindColumn(table, cur))
      cols.push_back(c);
    else if (unknown && unknown->empty())
      *unknown = cur;
    cur.clear();
  }
  return cols;
}

template <class Row, size_t N>
std::string Check(const Column<Row> (&table)[N], const std::string& list) {
  std::string unknown;
  if (Pick(table, list, false, &unknown).empty() && unknown.empty()) return "-o needs at least one column";
  if (unknown.empty()) return "";
  std::string all;
  for (const auto& c : table) all += std::string(all.empty() ? "" : ",") + c.name;
  return "unknown column '" + unknown + "' (available: " + all + ")";
}

// A table of libsmartcols, freed with the object.
class Scols {
 public:
  explicit Scols(const Options& opt) : tb_(scols_new_table()) {
    if (!tb_) return;
    // Tree characters in ASCII unless the locale speaks UTF-8.
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr || std::string(codeset) != "UTF-8") scols_table_enable_ascii(tb_, 1);
    scols_table_enable_colors(tb_, UseColor(opt));
    if (opt.raw) scols_table_enable_raw(tb_, 1);
    if (opt.pairs) scols_table_enable_export(tb_, 1);
    if (opt.noHeadings) scols_table_enable_noheadings(tb_, 1);
    // The width of a terminal does not cut columns: output is the same in a pipe.
    scols_table_set_termforce(tb_, SCOLS_TERMFORCE_NEVER);
  }
  ~Scols() {
    if (tb_) scols_unref_table(tb_);
  }
  Scols(const Scols&) = delete;
  Scols& operator=(const Scols&) = delete;
  libscols_table* get() const { return tb_; }
  libscols_column* AddColumn(const std::string& name, bool right, bool tree) {
    int flags = (right ? SCOLS_FL_RIGHT : 0) | (tree ? SCOLS_FL_TREE : 0);
    return tb_ ? scols_table_new_column(tb_, name.c_str(), 0, flags) : nullptr;
  }
  void Print(std::ostream& out) {
    if (!tb_) return;
    char* text = nullptr;
    if (scols_print_table_to_string(tb_, &text) == 0 && text != nullptr) {
      // Lines without the padding of empty last cells.
      std::istringstream lines(text);
      for (std::string l; std::getline(lines, l);) {
        while (!l.empty() && l.back() == ' ') l.pop_back();
        out << l << "\n";
      }
    }
    std::free(text);
  }
  static bool UseColor(const Options& opt) {
    if (opt.color == "always") return true;
    if (opt.color == "never") return false;
    return isatty(1) != 0 && std::getenv("NO_COLOR") == nullptr;
  }

 private:
  libscols_table* tb_;
};

// Menu bits in words, after what the provider's rules use each one for.
std::string MenuWords(const std::optional<Menu>& menu, bool extended) {
  if (!menu) return "no menu";
  const uint64_t show = menu->show.value_or(0), enable = menu->enable.value_or(0),
                 local = menu->localOnly.value_or(0);
  struct Item {
    uint64_t bit;
    const char* name;
  };
  static const Item kVolume[] = {{0x1, "drive-letter item"}, {0x2, "CD-ROM item"},
                                 {0x4, "mark active"},       {0x8, "reserved item"},
                                 {0x80, "partition item"},   {0x80000, "general item"}};
  static const Item kExtended[] = {{0x1, "create logical drive"}, {0x2, "delete extended partition"}};
  std::string s;
  auto items = extended ? std::vector<Item>(std::begin(kExtended), std::end(kExtended))
                        : std::vector<Item>(std::begin(kVolume), std::end(kVolume));
  for (const Item& it : items) {
    if (!(show & it.bit)) continue;
    if (!s.empty()) s += ", ";
    s += it.name;
    s += (enable & it.bit) ? " (enabled" : " (disabled";
    if (local & it.bit) s += ", local only";
    s += ")";
  }
  return s.empty() ? "nothing shown" : s;
}

template <class Row>
void SetCells(libscols_line* ln, const std::vector<const Column<Row>*>& cols, const Machine& m,
              const Row& row, const Options& opt) {
  for (size_t i = 0; i < cols.size(); ++i) {
    const std::string v = cols[i]->cell(m, row, opt);
    scols_line_set_data(ln, i, v.c_str());
    if (cols[i]->color)
      if (const char* color = cols[i]->color(v)) scols_cell_set_color(scols_line_get_cell(ln, i), color);
  }
}

void AddRegionRows(Scols& t, const std::vector<const RegionColumn*>& cols, const Machine& m,
                   const std::vector<Region>& regions, libscols_line* parent, bool tree, const Options& opt) {
  for (const Region& r : regions) {
    libscols_line* ln = scols_table_new_line(t.get(), tree ? parent : nullptr);
    if (!ln) return;
    SetCells(ln, cols, m, r, opt);
    AddRegionRows(t, cols, m, r.regions, ln, tree, opt);
  }
}

// The partition rows of the given disks in one table.
void PrintRegions(std::ostream& out, const Machine& m, const std::vector<const Disk*>& disks,
                  const Options& opt) {
  const auto cols = Pick(kRegionColumns, opt.columns, opt.verbose);
  const bool tree = !opt.list && !opt.raw;
  Scols t(opt);
  for (const RegionColumn* c : cols) t.AddColumn(c->name, c->right && !opt.raw, tree && c == cols.front());
  for (const Disk* d : disks) AddRegionRows(t, cols, m, d->regions, nullptr, tree, opt);
  t.Print(out);
}

void PrintVolumes(std::ostream& out, const Machine& m, const Options& opt) {
  const auto cols = Pick(kVolumeColumns, opt.volumeColumns, opt.verbose);
  Scols t(opt);
  for (const VolumeColumn* c : cols) t.AddColumn(c->name, c->right, false);
  for (const Volume& v : m.volumes) {
    libscols_line* ln = scols_table_new_line(t.get(), nullptr);
    if (!ln) break;
    SetCells(ln, cols, m, v, opt);
  }
  t.Print(out);
}

void PrintMenus(std::ostream& out, const Machine& m) {
  out << "Menus:\n";
  auto line = [&](const std::string& what, const std::optional<Menu>& menu, bool ext) {
    out << "  " << what << ": ";
    if (menu)
      out << "show " << Hex(menu->show.value_or(0)) << " enable " << Hex(menu->enable.value_or(0))
          << " local-only " << Hex(menu->localOnly.value_or(0)) << ": ";
    out << MenuWords(menu, ext) << "\n";
  };
  for (const Volume& v : m.volumes)
    line("volume " + (v.name.empty() ? "(unnamed)" : v.name) + " (" + (v.kind.empty() ? "-" : v.kind) + ")",
         v.menu, false);
  for (const Disk& d : m.disks)
    for (const Region& r : d.regions)
      if (r.IsExtended()) line(r.name.empty() ? "-" : r.name, r.menu, true);
}

void DiskHeader(std::ostream& out, const Disk& d, const Options& opt) {
  char sig[16];
  std::snprintf(sig, sizeof sig, "0x%08X", static_cast<uint32_t>(d.signature));
  auto num = [](const std::optional<uint64_t>& v) { return v ? std::to_string(*v) : std::string("?"); };
  out << (d.name.empty() ? "-" : d.name) << "  " << (d.device.empty() ? "-" : d.device) << "  "
      << Size(d.size, opt, &d) << "  signature " << sig << "  " << num(d.cylinders) << " x "
      << num(d.tracksPerCylinder) << " x " << d.sectorsPerTrack << " x " << d.bytesPerSector
      << (d.removable ? "  removable" : "") << "  free " << Size(d.freeSpace, opt, &d);
  if (d.minPartitionSize) out << "  min partition " << Size(*d.minPartitionSize, opt, &d);
  out << "\n";
  if (d.readOnly) out << "  read-only: " << *d.readOnly << "\n";
}

}  // namespace

std::vector<std::string> ColumnNames(Table table) {
  std::vector<std::string> names;
  if (table == Table::Volumes)
    for (const auto& c : kVolumeColumns) names.push_back(c.name);
  else
    for (const auto& c : kRegionColumns) names.push_back(c.name);
  return names;
}

std::string ColumnHelp(Table table) {
  std::string help;
  auto add = [&](const char* name, const char* text) {
    help +=
        std::string(help.empty() ? "  " : "\n  ") + name + std::string(10 - std::strlen(name), ' ') + text;
  };
  if (table == Table::Volumes)
    for (const auto& c : kVolumeColumns) add(c.name, c.help);
  else
    for (const auto& c : kRegionColumns) add(c.name, c.help);
  return help;
}

std::string JoinColumns(Table table) {
  std::string all;
  for (const auto& c : ColumnNames(table)) all += (all.empty() ? "" : ",") + c;
  return all;
}

std::string CheckColumns(const std::string& columns) { return Check(kRegionColumns, columns); }
std::string CheckVolumeColumns(const std::string& columns) { return Check(kVolumeColumns, columns); }

void PrintDisk(std::ostream& out, const Machine& m, unsigned disk, const Options& opt) {
  const Disk* d = m.FindDisk(disk);
  if (!d) return;
  if (!opt.raw) DiskHeader(out, *d, opt);
  PrintRegions(out, m, {d}, opt);
}

void PrintTree(std::ostream& out, const Machine& m, const Options& opt) {
  if (opt.raw) {
    // Only the rows, for scripts: every disk's partitions and free space in one table.
    std::vector<const Disk*> all;
    for (const Disk& d : m.disks) all.push_back(&d);
    PrintRegions(out, m, all, opt);
    return;
  }
  for (const Disk& d : m.disks) {
    DiskHeader(out, d, opt);
    if (!d.regions.empty())
      PrintRegions(out, m, {&d}, opt);
    else
      out << "  (no partitions, no free space published)\n";
    out << "\n";
  }
  out << "Volumes:\n";
  if (m.volumes.empty())
    out << "  (none)\n";
  else
    PrintVolumes(out, m, opt);
  out << "Health: " << (m.health ? "severity " + std::to_string(*m.health) : std::string("unknown")) << "\n";
  if (opt.verbose) PrintMenus(out, m);
}

void PrintAlerts(std::ostream& out, const std::vector<zm::AlertRecord>& alerts, const std::string& prefix) {
  for (const auto& a : alerts) {
    out << prefix << a.text;
    if (!a.inserts.empty()) {
      out << " [";
      for (size_t i = 0; i < a.inserts.size(); ++i) out << (i ? ", " : "") << Narrow(a.inserts[i]);
      out << "]";
    }
    out << " (severity " << a.severity << ")\n";
  }
}

}  // namespace cli
