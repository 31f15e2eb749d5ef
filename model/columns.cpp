#include "columns.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "object_names.h"

namespace model {

std::string SizeText(uint64_t bytes, const SizeUnits& units, const Disk* disk) {
  if (disk && units.sectors) return UnitCount(bytes, disk->SectorBytes(), disk->SectorBytes());
  if (disk && units.cylinders) return UnitCount(bytes, uint64_t(disk->CylinderBytes()), disk->SectorBytes());
  return units.bytes ? std::to_string(bytes) : FormatSize(bytes);
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

const char* StateColor(const std::string& v) {
  if (v.empty() || v == "-") return nullptr;
  if (v.find("failed") != std::string::npos || v.find("orphaned") != std::string::npos) return "red";
  return v == "healthy" ? "green" : "yellow";
}

// Free space shows only its name, kind and extent.
const RegionColumn kRegionColumns[] = {
    {"NAME", "stable name (diskN/pM, free)", false,
     [](const Machine&, const Region& r, const SizeUnits&) -> std::string {
       return r.IsFree() ? "free" : r.name.empty() ? r.kind : r.name;
     }},
    {"AT", "name by start (diskN@STARTs; shown by -v)", false,
     [](const Machine&, const Region& r, const SizeUnits&) -> std::string {
       return r.IsFree() ? "" : r.startName.empty() ? "-" : r.startName;
     },
     nullptr, false},
    {"KIND", "primary, extended, logical or free", false,
     [](const Machine&, const Region& r, const SizeUnits&) { return r.kind; }},
    {"START", "offset of the first byte", true,
     [](const Machine& m, const Region& r, const SizeUnits& u) {
       return SizeText(r.offset, u, m.DiskOf(r.id));
     }},
    {"END", "offset after the last byte", true,
     [](const Machine& m, const Region& r, const SizeUnits& u) {
       return SizeText(r.offset + r.length, u, m.DiskOf(r.id));
     }},
    {"SIZE", "length", true,
     [](const Machine& m, const Region& r, const SizeUnits& u) {
       return SizeText(r.length, u, m.DiskOf(r.id));
     }},
    {"TYPE", "partition type (system id)", false,
     [](const Machine&, const Region& r, const SizeUnits&) -> std::string {
       return r.IsFree() ? "" : r.partitionType ? Hex(*r.partitionType) : "-";
     }},
    {"ACT", "* on the active partition", false,
     [](const Machine&, const Region& r, const SizeUnits&) -> std::string { return r.Active() ? "*" : ""; }},
    {"DEVICE", "NT device of the partition", false,
     [](const Machine&, const Region& r, const SizeUnits&) { return r.IsFree() ? "" : Text(r.device); }},
    {"VOLUME", "FT set the partition belongs to", false,
     [](const Machine& m, const Region& r, const SizeUnits&) -> std::string {
       if (r.IsFree()) return "";
       std::string set = m.FtSetOf(r.volume);
       return set.empty() ? "-" : set;
     }},
    {"LETTER", "drive letter", false,
     [](const Machine&, const Region& r, const SizeUnits&) { return r.IsFree() ? "" : Text(r.driveLetter); }},
    {"FS", "file system", false,
     [](const Machine&, const Region& r, const SizeUnits&) { return r.IsFree() ? "" : Text(r.fileSystem); }},
    {"STATE", "volume state", false,
     [](const Machine&, const Region& r, const SizeUnits&) -> std::string {
       return r.IsFree() ? "" : r.state ? StateText(*r.state) : "-";
     },
     StateColor},
};

const VolumeColumn kVolumeColumns[] = {
    {"NAME", "stable name (diskN/pM, cdromN, mirrorG...)", false,
     [](const Machine&, const Volume& v, const SizeUnits&) { return v.name.empty() ? "-" : v.name; }},
    {"KIND", "volume kind, and an FT set's group", false,
     [](const Machine&, const Volume& v, const SizeUnits&) {
       std::string kind = v.kind.empty() ? "-" : v.kind;
       return v.ftGroup ? kind + " group " + std::to_string(*v.ftGroup) : kind;
     }},
    {"LETTER", "drive letter", false,
     [](const Machine&, const Volume& v, const SizeUnits&) { return Text(v.driveLetter); }},
    {"SIZE", "length", true,
     [](const Machine& m, const Volume& v, const SizeUnits& u) -> std::string {
       return v.length ? SizeText(*v.length, u, m.DiskOf(v.id)) : "-";
     }},
    {"STATE", "volume state", false,
     [](const Machine&, const Volume& v, const SizeUnits&) -> std::string {
       return v.state && !v.StateText().empty() ? v.StateText() : "-";
     }},
    {"SEV", "severity", false,
     [](const Machine&, const Volume& v, const SizeUnits&) { return Text(v.severity); }},
    {"FS", "file system", false,
     [](const Machine&, const Volume& v, const SizeUnits&) { return Text(v.fileSystem); }},
    {"DEVICE", "NT device of the volume", false,
     [](const Machine&, const Volume& v, const SizeUnits&) { return Text(v.device); }},
    {"MEMBERS", "its partitions, FT member numbers in brackets", false,
     [](const Machine&, const Volume& v, const SizeUnits&) -> std::string {
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

}  // namespace

std::vector<const RegionColumn*> PickRegionColumns(const std::string& list, bool verbose) {
  return Pick(kRegionColumns, list, verbose);
}

std::vector<const VolumeColumn*> PickVolumeColumns(const std::string& list, bool verbose) {
  return Pick(kVolumeColumns, list, verbose);
}

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

std::string MenuText(const std::optional<Menu>& menu, bool extended) {
  if (!menu) return MenuWords(menu, extended);
  return "show " + Hex(menu->show.value_or(0)) + " enable " + Hex(menu->enable.value_or(0)) + " local-only " +
         Hex(menu->localOnly.value_or(0)) + ": " + MenuWords(menu, extended);
}

}  // namespace model
