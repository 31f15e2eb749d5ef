// The model's objects as table cells: one column table per kind of row (partitions and
// free space, volumes) gives each column's name, help, alignment, cell and colour and
// whether the default set shows it. The front end picks the columns and prints them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "machine_model.h"

namespace model {

// How sizes are written: exact bytes, or on a disk its sectors or cylinders; else in
// binary units ("100M").
struct SizeUnits {
  bool bytes = false;
  bool sectors = false;
  bool cylinders = false;
};
// A size as the cells write it; the disk's units only when disk is given.
std::string SizeText(uint64_t bytes, const SizeUnits& units, const Disk* disk = nullptr);

// One column of a table: its name, the help of -o, alignment, its cell, its colour.
template <class Row>
struct Column {
  const char* name;
  const char* help;
  bool right;
  std::string (*cell)(const Machine& m, const Row& row, const SizeUnits& units);
  const char* (*color)(const std::string& cell) = nullptr;  // a colour name, or null for none
  bool byDefault = true;                                    // else only with -v
};
using RegionColumn = Column<Region>;
using VolumeColumn = Column<Volume>;

// The columns a comma-separated list names (in any case), or the default set (every
// column with verbose) when the list is empty. Unknown names are left out.
std::vector<const RegionColumn*> PickRegionColumns(const std::string& list, bool verbose);
std::vector<const VolumeColumn*> PickVolumeColumns(const std::string& list, bool verbose);

// The columns of show's tables: -o picks the partition table's, -O the volume table's.
enum class Table { Regions, Volumes };
std::vector<std::string> ColumnNames(Table table = Table::Regions);  // in their default order
std::string ColumnHelp(Table table);   // one line per column: its name and what it shows
std::string JoinColumns(Table table);  // "NAME,KIND,..."
// "" when every column of the list is known, else what is wrong.
std::string CheckColumns(const std::string& columns);
std::string CheckVolumeColumns(const std::string& columns);

// A menu's masks and its bits in words, after what the provider's rules use each one
// for: "show 0x5 enable 0x1 local-only 0x0: drive-letter item (enabled), ..."; "no menu"
// without one. extended for an extended partition's menu.
std::string MenuText(const std::optional<Menu>& menu, bool extended);

}  // namespace model
