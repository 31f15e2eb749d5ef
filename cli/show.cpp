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

using model::Column;
using model::MenuText;
using model::PickRegionColumns;
using model::PickVolumeColumns;
using model::RegionColumn;
using model::SizeText;
using model::SizeUnits;
using model::VolumeColumn;

namespace {

// The size options of the command line, as the model's cells take them.
SizeUnits UnitsOf(const Options& opt) { return {opt.bytes, opt.sectors, opt.cylinders}; }

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

template <class Row>
void SetCells(libscols_line* ln, const std::vector<const Column<Row>*>& cols, const Machine& m,
              const Row& row, const Options& opt) {
  const SizeUnits units = UnitsOf(opt);
  for (size_t i = 0; i < cols.size(); ++i) {
    const std::string v = cols[i]->cell(m, row, units);
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
  const auto cols = PickRegionColumns(opt.columns, opt.verbose);
  const bool tree = !opt.list && !opt.raw;
  Scols t(opt);
  for (const RegionColumn* c : cols) t.AddColumn(c->name, c->right && !opt.raw, tree && c == cols.front());
  for (const Disk* d : disks) AddRegionRows(t, cols, m, d->regions, nullptr, tree, opt);
  t.Print(out);
}

void PrintVolumes(std::ostream& out, const Machine& m, const Options& opt) {
  const auto cols = PickVolumeColumns(opt.volumeColumns, opt.verbose);
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
    out << "  " << what << ": " << MenuText(menu, ext) << "\n";
  };
  for (const Volume& v : m.volumes)
    line("volume " + (v.name.empty() ? "(unnamed)" : v.name) + " (" + (v.kind.empty() ? "-" : v.kind) + ")",
         v.menu, false);
  for (const Disk& d : m.disks)
    for (const Region& r : d.regions)
      if (r.IsExtended()) line(r.name.empty() ? "-" : r.name, r.menu, true);
}

void DiskHeader(std::ostream& out, const Disk& d, const Options& opt) {
  const SizeUnits units = UnitsOf(opt);
  auto size = [&](uint64_t bytes) { return SizeText(bytes, units, &d); };
  char sig[16];
  std::snprintf(sig, sizeof sig, "0x%08X", static_cast<uint32_t>(d.signature));
  auto num = [](const std::optional<uint64_t>& v) { return v ? std::to_string(*v) : std::string("?"); };
  out << (d.name.empty() ? "-" : d.name) << "  " << (d.device.empty() ? "-" : d.device) << "  "
      << size(d.size) << "  signature " << sig << "  " << num(d.cylinders) << " x "
      << num(d.tracksPerCylinder) << " x " << d.sectorsPerTrack << " x " << d.bytesPerSector
      << (d.removable ? "  removable" : "") << "  free " << size(d.freeSpace);
  if (d.minPartitionSize) out << "  min partition " << size(*d.minPartitionSize);
  out << "\n";
  if (d.readOnly) out << "  read-only: " << *d.readOnly << "\n";
}

}  // namespace

std::string Size(uint64_t bytes, const Options& opt) { return SizeText(bytes, UnitsOf(opt)); }

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
