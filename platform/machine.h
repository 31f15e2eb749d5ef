// The machine: a directory holding disk images, CD-ROMs, the registry store and the
// alert log. Booting it creates the NT devices, the DOS drive letters and opens the
// registry; the NT calls of include/ntplatform.h then serve the booted machine.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ntdisk.h"
#include "nttypes.h"
#include "registry_store.h"
#include "status.h"

namespace ntp {

struct DiskConfig {
  std::string image;  // path of the image (relative to the machine dir) or a block device
  uint32_t heads = 255;
  uint32_t sectors = 63;
  uint32_t bytesPerSector = 512;
  bool removable = false;
  bool readOnly = false;  // evidence: opened for reading only, no request may write it
};

struct CdromConfig {
  std::string iso;  // empty: no medium
};

struct MachineConfig {
  std::vector<DiskConfig> disks;
  std::vector<CdromConfig> cdroms;
  uint32_t osMajor = 4, osMinor = 0, osBuild = 1381;
};

// Reads and writes DIR/machine.toml. A save keeps the file it replaces as
// DIR/machine.toml.bak.
bool LoadMachineConfig(const std::string& dir, MachineConfig* config, std::string* error);
bool SaveMachineConfig(const std::string& dir, const MachineConfig& config, std::string* error);

// Makes a machine directory with sparse images of the given sizes (bytes); each image's
// sector 0 gets a random signature and the 0x55AA mark.
bool CreateMachine(const std::string& dir, const std::vector<std::pair<uint64_t, DiskConfig>>& disks,
                   const std::vector<CdromConfig>& cdroms, std::string* error);

// Checks a directory before `init` makes a machine in it: a missing or empty one is
// fine; a machine is refused; a half-made machine left by an interrupted `init` is
// cleaned (note says so); anything else is refused unless force is set. A dry run checks
// the same, and that the directory can be made or written, and removes nothing.
bool PrepareMachineDir(const std::string& dir, bool force, std::string* note, std::string* error,
                       bool dryRun = false);

// An image or block device added to the configuration of the machine in dir, under the
// machine's lock; one attached already (by any path to it) is only made read-only, and
// only when asked to. The image is only looked at: a regular file or block device whose
// first sector can be read. A dry run boots read-only and saves nothing.
struct AttachOptions {
  bool removable = false;
  bool readOnly = false;
  bool dryRun = false;
  bool noWait = false;
  std::function<void(const std::string& what)> onWait;  // told while the machine's lock is awaited
};
struct AttachedDisk {
  unsigned index = 0;
  bool madeReadOnly = false;  // it was attached already and is now read-only
  // Why its signature cannot tell it apart from the other disks ("" when it can, or when
  // its sector 0 is another system's and holds no signature).
  std::string clash;
};
// The failure's message is the whole sentence ("cannot attach 'x.img': ...").
Status AttachDisk(const std::string& dir, const std::string& image, const AttachOptions& options,
                  AttachedDisk* attached);
// The checks AttachDisk makes of the image before it boots the machine.
Status CheckAttachImage(const std::string& image);
// Removes disk index from the configuration of dir (machine.toml); its image is not
// touched, and *image says which it was. The caller holds the machine, so no other
// process changes the configuration meanwhile. A dry run saves nothing.
Status DetachDisk(const std::string& dir, unsigned index, bool dryRun, std::string* image);

// What the host needs to know about a disk or CD-ROM of the booted machine.
struct DiskInfo {
  unsigned index;
  std::u16string device;  // \Device\HarddiskN
  uint64_t length;        // bytes of the image
  uint32_t signature;     // from sector 0
  DISK_GEOMETRY geometry;
  bool removable;
  std::string path;  // the image or block device
};
struct CdromInfo {
  unsigned index;
  std::u16string device;  // \Device\CdRomN
  std::string iso;
};

enum class LockMode { Wait, NoWait };

// Boots DIR (one machine per process): takes the exclusive flock, creates the devices,
// assigns partition numbers and drive letters, opens the registry. onWait is called once
// when another process holds the lock and mode is Wait.
bool Boot(const std::string& dir, LockMode mode, std::string* error,
          const std::function<void()>& onWait = nullptr);

// The same with the access the process needs. A writing boot holds the machine lock
// and flocks each disk exclusively (a disk attached read-only: shared), so one image
// or device shared by two machines has one writer at a time; onWait gets what it
// waits for ("the machine", "disk 1 (/dev/sdb)") when mode is Wait. A read-only boot
// writes nothing anywhere: no lock is taken or made, every disk is opened O_RDONLY,
// the registry is read as last committed into memory (what the boot changes, such as
// members the FtDisk stand-in orphans, stays there), and each partition-table read
// waits only while a writer is writing a table.
struct BootOptions {
  LockMode mode = LockMode::Wait;
  bool readOnly = false;
  // A read-only boot that holds the machine lock shared until shutdown, so no writer
  // changes the tables or the configuration under a long-lived reader (a volume being
  // served); writers wait for it, readers do not. Where the lock file cannot be opened
  // (a directory nobody may write) there is no writer to keep out.
  bool holdShared = false;
  std::function<void(const std::string& what)> onWait;
};
bool Boot(const std::string& dir, const BootOptions& options, std::string* error);

// A read-only boot of a machine without a directory: the given images or block devices
// (disk N is images[N], geometry 255 x 63 x 512) and a registry in memory holding
// the given values. Refused when an image cannot be opened or is given twice.
bool BootImages(const std::vector<std::string>& images, const std::vector<reg::ImportValue>& registry,
                std::string* error);
void Shutdown();
bool IsBooted();
bool BootedReadOnly();  // the booted machine writes nothing
// FT members a read-only boot found changed and keeps in memory only (shown as they
// will be, stored by the next boot that may write): those whose partitions are not on
// the disks, now orphaned; and those back unchanged, members again.
uint32_t UnstoredBootRecords();
uint32_t UnstoredBootReturns();
const std::string& MachineDir();  // empty for a machine of images
std::vector<DiskInfo> Disks();
std::vector<CdromInfo> Cdroms();

// Drive letters (\DosDevices\X:), for the host's "mount" provider. letter is 'C'..'Z'.
NTSTATUS DefineDriveLetter(char letter, const std::u16string& target);
NTSTATUS RemoveDriveLetter(char letter);
std::u16string DriveLetterTarget(char letter);  // empty when none

// Reads sectors of a disk outside the NT calls (file-system detection, tests).
bool ReadDiskBytes(unsigned disk, uint64_t offset, void* buffer, size_t length);

// Where the bytes of a partition (\Device\HarddiskN\PartitionM, M >= 1, or a link to
// one) or of a CD-ROM's medium lie, for readers that go to the image or block device
// directly. With openFd, fd is a duplicate that the caller closes (else -1). writes is
// the disk's count of
// sectors written so far: while it stays the same, the partition's bytes have not
// changed. False for any other name and for a partition that no longer exists.
struct DeviceExtent {
  int fd = -1;
  uint64_t offset = 0, length = 0;  // bytes
  unsigned disk = 0;
  bool cdrom = false;
  uint64_t writes = 0;
};
bool OpenDeviceExtent(const std::u16string& device, DeviceExtent* out, bool openFd = true);
// Opens an NT device of the booted machine by name (synchronous I/O, shared for reading
// and writing); SYNCHRONIZE is added to access.
NTSTATUS OpenDevice(const std::u16string& name, ACCESS_MASK access, HANDLE* h);

// Device counters, per disk.
struct DiskCounters {
  uint64_t sectorsRead = 0, sectorsWritten = 0;
};
DiskCounters Counters(unsigned disk);
void ResetCounters();

// Fault injection: the nth call (1-based, counted from now) of the named function
// (for example "NtOpenFile", "RegSetValueExW", "IOCTL_DISK_SET_DRIVE_LAYOUT") fails
// with the given status or error code.
void InjectFault(const std::string& function, unsigned nth, uint32_t status);
void ClearFaults();

// Sleep goes through this hook when set (tests record the sleeps instead of waiting).
void SetSleepHook(std::function<void(DWORD)> hook);

// OS version reported by GetVersionExW (defaults to the machine's configured one).
void SetOsVersion(uint32_t major, uint32_t minor, uint32_t build);

// Called before any sector write reaches a disk image (partition tables and sector
// writes alike; not the FT data passes' writes, which the FT journal covers), with the
// bytes there now and the bytes about to be written; the front end uses it for backups
// and dry-run reports. Null removes the hook.
void SetSectorWriteHook(std::function<void(unsigned disk, uint64_t lba, const uint8_t* before,
                                           const uint8_t* after, size_t bytes)>
                            hook);

// Called once before a disk write with every sector it changes, before any of them
// reaches the disk; returning false (with a reason) refuses the write, which then
// fails with nothing written. The front end saves its backups here. The FT data
// passes' writes do not come here: data is not backed up sector by sector.
struct PendingSector {
  uint64_t lba;
  const uint8_t* before;  // what the disk holds now
  const uint8_t* after;   // what is about to be written
  size_t bytes;
};
void SetBeforeWriteHook(
    std::function<bool(unsigned disk, const std::vector<PendingSector>& sectors, std::string* why)> hook);

// Why the platform refused a disk write is recorded on the caller's RequestScope
// (status.h).

// Disks of the configuration that are damaged: missing or unreadable image, an image
// shorter than its partition table, a write-protected image or device (found by a
// boot that may write). Such a disk
// is named here with the reason; writes to it are refused. A missing disk is absent
// from Disks() and its devices do not exist.
struct DiskDamage {
  unsigned index;
  std::string reason;
};
std::vector<DiskDamage> DamagedDisks();

// Why no request may write a sound disk ("disk 1 is attached read-only"; in a
// read-only boot also "disk 1 is write-protected (...)"), or empty. Not damage: the
// disk is read as any other.
std::string WriteRefusal(unsigned disk);

// The disk of the configuration of DIR (not booted) that is the same file or device
// as path (same device and inode), or -1.
int FindSameImage(const std::string& dir, const std::string& path);
// The disk of the configuration of DIR whose image is path, as paths go (both made
// canonical; neither needs to exist), or -1.
int FindImagePath(const std::string& dir, const std::string& path);

// Why the last layout read of a disk ended its extended chain early (a loop, a link
// leaving the disk or the extended partition, a boot record without its signature);
// empty for a sound table.
std::vector<std::string> LayoutWarnings(unsigned disk);

// Why the disk's partition table is not changed by layout writes ("gpt disk, not
// managed", a chain that cannot be followed to its end, a slot the layout cannot
// report); empty when it may be. Such a disk also reports itself not writable.
std::string LayoutReadOnlyReason(unsigned disk);

}  // namespace ntp
