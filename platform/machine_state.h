// The booted machine as the platform's own files share it: disks, CD-ROMs, their
// partition devices and the object namespace. Guarded by MachineMutex().
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "machine.h"
#include "ptable.h"

namespace ntp::detail {

// machine_init.cpp: the record of an `init` in progress (DIR/init.partial) and the
// removal of what an interrupted or failed one made.
bool BeginInit(const std::string& dir, const std::vector<std::string>& files, std::string* error);
void EndInit(const std::string& dir);
void AbandonInit(const std::string& dir);

// Sharing and volume-lock state of one openable device.
struct Device {
  unsigned openCount = 0, readers = 0, writers = 0, sharedRead = 0, sharedWrite = 0;
  const void* lockOwner = nullptr;  // the file object holding FSCTL_LOCK_VOLUME
  bool alive = true;
};

struct Partition : Device {
  unsigned number = 0;
  uint64_t offset = 0, length = 0;  // bytes
  PARTITION_INFORMATION info{};     // as the layout last reported it
  bool primary = false;             // an entry of the master boot record
};

struct Disk : Device {  // also Partition0, the whole disk
  unsigned index = 0;
  DiskConfig config;
  std::string path;
  int fd = -1;
  bool readOnly = false;
  bool blockDevice = false;
  std::string damage;  // why writes are refused (see DamagedDisks); empty when sound
  // Why no request may write this sound disk (attached read-only, or write-protected
  // as a read-only boot found it); empty when requests may.
  std::string writeRefusal;
  uint64_t length = 0;
  uint32_t signature = 0;
  std::map<unsigned, std::shared_ptr<Partition>> partitions;  // by number
  std::vector<uint64_t> tableSectors;                         // as last read
  std::vector<std::string> warnings;                          // from the last layout read
  std::string layoutReadOnly;  // why the table must not be rewritten (last read); empty if it may
  DiskCounters counters;
  bool unflushed = false;  // WriteData wrote since the last FlushData
  // The last table read: the sectors it read, as read, and what it found. A later read
  // that finds those sectors unchanged finds the same table without decoding it again.
  struct LayoutRead {
    ptable::DiskShape shape;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> sectors;
    ptable::ReadResult result;  // before numbering
  };
  std::optional<LayoutRead> lastRead;

  ptable::DiskShape Shape() const;
};

struct Cdrom : Device {
  unsigned index = 0;
  std::string iso;
  int fd = -1;
  uint64_t length = 0;
};

struct Machine {
  std::string dir;  // empty for a machine of images only
  MachineConfig config;
  int lockFd = -1;
  bool readOnly = false;  // booted to read only: nothing of it is written
  uint32_t unstored = 0;  // members the FtDisk stand-in orphaned that a read-only boot keeps in memory
  uint32_t returned = 0;  // ... and members it took back
  std::vector<std::shared_ptr<Disk>> disks;
  std::vector<std::shared_ptr<Cdrom>> cdroms;
  std::map<std::u16string, std::u16string> links;  // upper-case link name -> target
};

std::recursive_mutex& MachineMutex();
Machine* Current();  // null when no machine is booted

// Sector I/O on a disk; offsets and lengths in bytes, checked against the disk.
NTSTATUS ReadBytes(Disk& disk, uint64_t offset, void* buffer, size_t length);
// Calls the sector-write hook, writes, and flushes before returning.
NTSTATUS WriteSectors(Disk& disk, const std::vector<ptable::SectorImage>& sectors);
// The FT data passes' writes: whole sectors written without a backup, the hooks or a
// flush of their own; FlushData flushes what such writes left (a dry run's overlay
// keeps them in memory instead).
NTSTATUS WriteData(Disk& disk, uint64_t offset, const void* buffer, size_t length);
NTSTATUS FlushData(Disk& disk);
// The same through a partition handle open for writing (offsets within the partition),
// with the handle's checks and fault injection ("NtWriteFile", "NtFlushBuffersFile").
NTSTATUS WriteDataTo(HANDLE partition, uint64_t offset, const void* buffer, ULONG length);
NTSTATUS FlushDataOf(HANDLE partition);

// FTDISK_CRASH_AFTER_WRITES=K ends the process right after the Kth sector write or
// flush of a disk (or of an FT journal), as a crash or power cut would; with
// FTDISK_CRASH_COUNT_COMMITS set, registry commits count too.
void CrashPoint();

// A block device's kernel partitions follow the layout just written.
void NotifyKernel(Disk& disk, const ptable::ReadResult& layout);
// Refuses (STATUS_SHARING_VIOLATION, with the refusal reason set) a layout that would
// remove, move or resize a partition of a block device that is mounted, swap or open.
NTSTATUS CheckBusy(Disk& disk, const DRIVE_LAYOUT_INFORMATION* layout);

// Reads the layout from the disk and brings the partition devices in line with it:
// unchanged partitions keep their numbers, new ones take the lowest free number,
// vanished ones are removed. The result's entries carry the numbers.
NTSTATUS RefreshLayout(Disk& disk, ptable::ReadResult* result);

DISK_GEOMETRY GeometryOf(const Disk& disk);

// Records why a write was refused on the calling thread's RequestScope.
void SetRefusal(const std::string& why);

// The version GetVersionExW reports: the booted machine's, unless SetOsVersion changed it.
void SetBootVersion(uint32_t major, uint32_t minor, uint32_t build);
void ResetVersion();

// Names.
std::u16string Upper(const std::u16string& s);
std::u16string Utf16(const std::string& s);
std::string Utf8(const std::u16string& s);

}  // namespace ntp::detail
