// The text a "dump" prints and "apply" reads: sfdisk's dump format, one section per disk,
// with what sfdisk has no words for (the disk's size and geometry, drive letters, FT sets)
// on comment lines sfdisk skips. Pure: nothing here touches a machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ftformat {

struct DumpPartition {
  std::string name;              // "disk0/p1"; the number after "/p" is its MBR slot or logical number
  unsigned number = 0;           // 1 to 4 a primary slot (or the extended partition's), 5... a logical drive
  uint64_t start = 0, size = 0;  // sectors
  uint32_t type = 0;
  bool bootable = false;
  bool IsExtended() const { return type == 0x05 || type == 0x0F || type == 0x85; }
  bool IsLogical() const { return number >= 5; }
};

struct DumpDisk {
  unsigned index = 0;
  uint64_t bytes = 0, sectorSize = 512;            // bytes: 0 when the dump does not say
  uint64_t cylinders = 0, heads = 0, sectors = 0;  // 0 when the dump does not say
  uint32_t signature = 0;
  std::vector<DumpPartition> partitions;  // in the order of the file
  std::string Name() const { return "disk" + std::to_string(index); }
};

struct DumpMember {
  unsigned member = 0;
  std::string partition;  // "disk1/p1"
  std::string state;      // "healthy", "orphaned", "regenerating", "initializing"
};

struct DumpSet {
  std::string name;  // "mirror0"
  std::string type;  // "mirror", "stripe", "parity", "volset"
  unsigned group = 0;
  std::string state;
  std::vector<DumpMember> members;  // in member order
};

struct DumpLetter {
  std::string volume;  // "disk0/p5" or "mirror0"
  char letter = 0;
};

struct Dump {
  bool ours = false;  // written by dump: its letters are all there is (else the provider gives them)
  std::vector<DumpDisk> disks;
  std::vector<DumpSet> sets;
  std::vector<DumpLetter> letters;
};

// The dump as text: per disk a "# disk:" line and sfdisk's header and partition lines;
// after the disks, "# ft:" and "# letter:" lines.
std::string DumpText(const Dump& d);
// Reads a dump (ours, or sfdisk -d of one disk: its section is disk 0 then). False with
// a message naming the line when a line cannot be read or the dump contradicts itself.
bool ParseDump(const std::string& text, Dump* d, std::string* error);

}  // namespace ftformat
