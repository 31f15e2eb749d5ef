// Block devices under a machine's disks: the partitions the kernel knows, whether one
// is in use (mounted, swap, held open), and telling the kernel of a new table.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ntp::detail::blockdev {

// A partition the kernel serves for a disk; start and size in bytes.
struct KernelPartition {
  unsigned number = 0;
  uint64_t start = 0, size = 0;
  std::string node;  // /dev/NAME
  dev_t dev = 0;
};

// A partition of a table as the kernel numbers it (1-4 the slots of sector 0, 5 on
// the logical drives in chain order); extents in bytes.
struct TablePartition {
  unsigned number = 0;
  uint64_t start = 0, size = 0;
  bool container = false;  // an extended partition (the kernel shows its first bytes)
};

// The partitions the kernel lists for the whole-disk device open on fd (from sysfs);
// empty for a file or a device without partitions.
std::vector<KernelPartition> Partitions(int fd);

// Why the partition cannot be removed or changed now ("mounted on /mnt", "used as
// swap", "held open by another program"), or empty when it is free.
std::string Busy(const KernelPartition& p);

// Brings the kernel's partitions of the disk in line with the table (numbers, starts and
// sizes): a re-read of the whole table when nothing on the disk is in use, else one
// change per partition added, removed or renumbered. Problems are described in
// warnings; the table on disk stands.
void Update(int fd, const std::vector<TablePartition>& table, std::vector<std::string>* warnings);

}  // namespace ntp::detail::blockdev
