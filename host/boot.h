// One boot of a machine for a program that drives the provider: the platform over a
// machine directory or over disk images, the host, the ftdisk provider loaded into it;
// requests sent through the provider's control entry; database reads and property sets.
// Nothing here prints: failures come back as words for the caller to show.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "machine.h"
#include "ntdisk.h"
#include "nttypes.h"
#include "status.h"
#include "zmapi.h"
#include "zmhost.h"

namespace zm {

// Where the provider module is: FTDISK_MODULE or FTDISK_PROVIDER, else libftdisk.so next
// to the running program, else in the library directory it was installed with.
std::string ModulePath();
std::string SelfPath();  // the running program

// Disk images or block devices looked at without a machine directory, with the DISK key
// of an NT SYSTEM hive or the values of a REGEDIT4 file.
struct ImageSource {
  std::vector<std::string> images;
  std::string hive, reg;
};
// Boots the in-memory machine of the images (read-only, nothing written anywhere); the
// registry starts with the DISK key of the system they came from, so FT sets are
// assembled by disk signature whatever order the images are given in.
bool BootImageMachine(const ImageSource& source, std::string* error);

// One boot of a machine: platform, host, the ftdisk provider.
class Session {
 public:
  ~Session() { Close(); }
  bool Open(const std::string& dir, bool noWait, std::string* error);
  // Before Open: the command only reads, so the machine is booted read-only: nothing of
  // it is written, and no lock of a writer is waited for.
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  // Before Open: boot the images instead of the machine directory (read-only).
  void SetImages(const ImageSource& source) { images_ = source; }
  bool images() const { return !images_.images.empty(); }
  // Before Open: told what the boot waits for when another process holds it (the
  // machine lock, a disk), once per wait.
  void SetWaitNotice(std::function<void(const std::string& what)> notice) { waitNotice_ = std::move(notice); }
  void Close();
  bool open() const { return open_; }
  // A dry run: the platform's overlay goes on right after the machine boots.
  void SetOverlay(bool on) { overlay_ = on; }
  bool overlay() const { return overlay_; }
  const std::string& dir() const { return dir_; }
  ZMSTATUS Control(ZM_OBJECT_ID id, uint32_t cls, uint32_t code, ZM_PROPSET in, ZM_PROPSET out,
                   ZM_OBJECT_ID* resultId);
  size_t AlertCount() const;
  std::vector<AlertRecord> AlertsSince(size_t mark) const;
  // Sends the refresh request (code 1) to one of the host's own providers.
  void RefreshBuiltin(const std::u16string& name);

 private:
  bool open_ = false;
  bool platform_ = false, host_ = false, readOnly_ = false, overlay_ = false;
  ZM_HANDLE provider_ = nullptr;
  std::string dir_;
  ImageSource images_;
  std::function<void(const std::string&)> waitNotice_;
};

// Property sets for requests; the set is destroyed with the object.
class PropSet {
 public:
  PropSet();
  ~PropSet();
  PropSet(const PropSet&) = delete;
  PropSet& operator=(const PropSet&) = delete;
  ZM_PROPSET get() const { return set_; }
  void AddU64(const char* name, uint64_t v);
  void AddU32(const char* name, uint32_t v);
  void AddString(const char* name, const std::u16string& v);
  bool FindU64(const char* name, uint64_t* v) const;

 private:
  ZM_PROPSET set_ = nullptr;
};

// What one request through the provider's control entry came to.
struct RequestOutcome {
  ZMSTATUS status = 0;
  // The platform's reason for a failure (a busy partition, a write-protected or damaged
  // disk, a backup that could not be saved): says more than the status.
  ntp::Status reason;
  ZM_OBJECT_ID resultId = 0;
  std::optional<uint64_t> member;    // "MEMBERID" of the reply: the volume a request made
  std::vector<AlertRecord> alerts;   // raised while it ran
  std::vector<std::string> backups;  // backups of the table sectors it changed
  std::string backupWarnings;        // why a backup could not be kept, one line each
  bool ok() const { return status == 0; }
};
// Sends one request and waits for the host to go idle; keeps backups of the table
// sectors it changes (not in a dry run, whose writes stay in the overlay) and refreshes
// the file systems the volumes show.
RequestOutcome RunRequest(Session& s, const std::string& command, ZM_OBJECT_ID id, uint32_t cls,
                          uint32_t code, const PropSet& in, bool dryRun);

// Database reads (host records freed at once).
bool PropU64(ZM_OBJECT_ID id, const char* name, uint64_t* value);  // types 10, 11, 12, 13, 16
bool PropString(ZM_OBJECT_ID id, const char* name, std::string* value);
// A number of types 10, 11, 12, 13, 16 from its value bytes (false when too short).
bool DecodeU64(uint32_t type, const void* v, size_t size, uint64_t* value);
std::vector<ZM_OBJECT_ID> ObjectsOfType(uint32_t type);
std::vector<ZM_OBJECT_ID> ChildrenOf(ZM_OBJECT_ID id, uint32_t type);
std::vector<ZM_OBJECT_ID> ParentsOf(ZM_OBJECT_ID id, uint32_t type);
uint32_t ObjectType(ZM_OBJECT_ID id);  // 0 when there is no such object

// Opens an NT device of the booted machine by name (platform/machine.h).
using ntp::OpenDevice;
// The disk's partition table as IOCTL_DISK_GET_DRIVE_LAYOUT gives it, the buffer grown
// until it fits.
NTSTATUS ReadDriveLayout(HANDLE disk, std::vector<uint8_t>* buf);
// How many entries of a layout buffer may be read: its PartitionCount, but never more
// than the buffer holds (0 for a buffer shorter than the header).
size_t LayoutEntries(const std::vector<uint8_t>& buf);
// The same layout decoded: the header's fields and a copy of the entries it holds.
struct DriveLayout {
  uint32_t partitionCount = 0, signature = 0;
  std::vector<PARTITION_INFORMATION> entries;
};
NTSTATUS ReadDriveLayout(HANDLE disk, DriveLayout* layout);

// UTF-16 to UTF-8, and ASCII to UTF-16 (names, letters, device paths).
std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);

}  // namespace zm
