// The registry store of a machine (SQLite), as the rest of the platform sees it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ntp::reg {

// At boot. A machine whose registry was made before (DIR/registry.created) and whose
// registry.db is now missing, empty or damaged is refused with a message that says
// how to recover; the first boot makes the store and that record.
bool Open(const std::string& machineDir, std::string* error);
// At a read-only boot: the store as last committed, copied into memory without writing
// anything (refused like Open when lost or damaged). What the boot changes stays in
// memory and is dropped at Close.
bool OpenReadOnly(const std::string& machineDir, std::string* error);
struct ImportValue;
// A store held only in memory, starting with these values (a machine without a
// directory).
bool OpenInMemory(const std::vector<ImportValue>& values, std::string* error);
void Close();  // at shutdown
// Whether DIR has had a registry (DIR/registry.created): the machine has booted before.
bool HadStore(const std::string& machineDir);

// Key paths are full native paths, e.g. u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK"
// (HKEY_LOCAL_MACHINE\... names the same key); names are case-insensitive.
bool GetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t* type,
              std::vector<uint8_t>* data);
bool SetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t type,
              const std::vector<uint8_t>& data);  // creates the key; one transaction
bool DeleteValue(const std::u16string& keyPath, const std::u16string& name);
struct Value {
  std::u16string name;
  uint32_t type;
  std::vector<uint8_t> data;
};
std::vector<Value> ListValues(const std::u16string& keyPath);

// One value of an import: set under the key keyPath (a full native path), or removed
// (remove); keyOnly names a key to create without touching a value.
struct ImportValue {
  std::u16string keyPath;
  std::u16string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  bool remove = false;
  bool keyOnly = false;
};
// Reads a REGEDIT4 file into its values; stores nothing.
bool ParseRegFile(const std::string& file, std::vector<ImportValue>* values, std::string* error);
// Stores the values in one transaction: all of them, or (false) none.
bool ImportValues(const std::vector<ImportValue>& values, std::string* error);

// REGEDIT4 text (export of one key's values; import replaces each value it names).
bool ExportRegFile(const std::u16string& keyPath, const std::string& file, std::string* error);
bool ImportRegFile(const std::string& file, std::string* error);

// Writes that could not be committed (store errors, a full file system, a backup that
// could not be kept, injected faults on the write calls) are recorded on the writing
// thread's RequestScope, so a request that swallows a failed write is still caught.
void NoteWriteFailure(const std::string& what);

// Automatic backups of the disk key, DIR/registry-backups/information-NNNNNN.bin: every
// change of "Information" first keeps the key as it was (unless the newest backup holds
// it already) and the key as it will be, each written and fsynced before the change
// is committed. The newest kBackupsKept are kept.
constexpr unsigned kBackupsKept = 10;
struct Backup {
  unsigned seq = 0;
  std::string path;
  int64_t time = 0;             // seconds since the epoch (the file's modification time)
  bool valid = false;           // complete and intact
  size_t informationBytes = 0;  // size of its "Information" value
  std::vector<Value> values;    // the disk key's values it holds
};
std::vector<Backup> ListBackups(const std::string& machineDir);  // oldest first

// Brings a machine's registry back without booting it: takes the machine lock, keeps a
// missing-or-damaged (or, with empty, any) registry.db aside as registry.db.TAG-TIME,
// and restores the disk key from backup seq (0: the newest intact one), or starts with
// an empty registry when empty is set. report receives what was done, line by line.
// With dryRun the same choices are made and report says what would be done ("would
// restore ..."); nothing is written, moved or locked.
bool Recover(const std::string& machineDir, bool empty, unsigned seq, bool noWait, std::string* report,
             std::string* error, bool dryRun = false);

}  // namespace ntp::reg
