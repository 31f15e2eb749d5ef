// Backups of partition-table sectors, kept under DIR/backups/ beside the registry's
// automatic backups: the sectors' contents before a request (DIR/backups/NAME.bak), and
// in index.json for each backup its disk, sectors, what the request wrote there and the
// FT configuration "Information" value of before; listing, pruning and restoring them.
// Printing them is the front end's.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "machine.h"
#include "status.h"

namespace ntp::table_backups {

using json = nlohmann::json;

std::string Directory();                      // of the booted machine
uint64_t FileBytes(const std::string& path);  // 0 when it cannot be read
// The index of a backup directory; an empty one when it is missing or damaged.
json LoadIndex(const std::string& dir);
// The index is replaced whole through a rename, so a crash leaves the old or the new one;
// file and directory are flushed before it counts as saved.
bool SaveIndex(const std::string& dir, const json& index, std::string* error);
// A directory's entries (a new or renamed file in it) reach the disk.
bool SyncDir(const std::string& dir, std::string* error);

std::string ToHex(const std::vector<uint8_t>& data);
bool FromHex(const std::string& s, std::vector<uint8_t>* out);

// One saved sector: its contents before the request and what the request wrote.
struct SavedSector {
  uint64_t lba;
  std::vector<uint8_t> before, after;
};
// The sectors of a disk as they are now (before and after alike).
bool ReadSectors(unsigned disk, uint32_t bps, const std::vector<uint64_t>& lbas,
                 std::vector<SavedSector>* out);
// Saves sectors of one disk as a backup; returns its name or "" with an error. With a
// name, that backup is rewritten (a request that writes the disk more than once keeps
// one backup). The data file, the index and the directory are flushed before it returns.
std::string Save(unsigned disk, uint32_t bps, const std::vector<SavedSector>& sectors,
                 const std::string& command, bool hasRegistry, const std::vector<uint8_t>& registry,
                 std::string* error, const std::string& existing = "");

// The backups of a directory, oldest first: each index entry without what its request
// wrote (kept for restore's check, not for a listing), and its file's size. Entries not in
// the shape the backups write (an edited or damaged index) are left out and counted.
struct Listed {
  json entry;
  uint64_t bytes = 0;
};
std::vector<Listed> List(const std::string& dir, size_t* damaged = nullptr);

// Keeps the newest keep backups. The index is replaced first, so a crash leaves files
// that no entry names, never an entry without its file; such files (of this or an
// earlier prune) go after it. A dry run counts what would go and writes nothing.
struct Pruned {
  size_t removed = 0, kept = 0;
  uint64_t freedBytes = 0;
};
Status Prune(const std::string& dir, unsigned keep, Pruned* result, bool dryRun = false);

// A backup checked against the disk it was taken from, ready to be put back: its sectors
// and "Information" value, and the disk's sectors and value as they are now.
struct Restoring {
  std::string name;
  unsigned disk = 0;
  uint32_t bytesPerSector = 512;
  std::u16string device;
  std::vector<uint64_t> lbas;
  std::vector<uint8_t> sectors;  // the backup's, lbas.size() * bytesPerSector
  bool hasRegistry = false;
  std::vector<uint8_t> registry;
  std::vector<SavedSector> current;  // now, and (after) what the restore writes
  bool hadRegistryNow = false;
  std::vector<uint8_t> registryNow;
};
// Finds the backup named name (a file name or path, ".bak" or not) and checks it: the
// same disk, sectors inside it, a file of the right size, and (unless force) sectors
// unchanged since its request wrote them, as restoring would undo a later change. A
// missing backup is STATUS_OBJECT_NAME_NOT_FOUND.
Status CheckRestore(const std::string& dir, const std::string& name, bool force, Restoring* r);
// Saves the sectors as they are now as a backup of their own (*undo; "-" in a dry run,
// which keeps none), then writes the backup's sectors back in the reverse order of its
// request's writes (links go back before the boot records they pointed to) and its
// "Information" value. *registryRestored is false when that value could not be written.
Status Restore(Restoring& r, bool dryRun, std::string* undo, bool* registryRestored);

// While a request runs, saves the previous contents of every sector it is about to
// change (data, index and directory flushed) before the platform writes them, one
// backup per disk; a backup that cannot be saved stops the write. Table sectors and
// single sectors are saved this way; the FT data passes (copies, parity, rebuilds,
// imports) are not: the FT journal makes them safe to interrupt.
class TableBackup {
 public:
  TableBackup() = default;
  ~TableBackup();
  TableBackup(const TableBackup&) = delete;
  TableBackup& operator=(const TableBackup&) = delete;
  void Before(const std::string& command);
  // Returns the names of the backups written; warnings go to err.
  std::vector<std::string> After(std::ostream& err);

 private:
  struct Sector {
    std::vector<uint8_t> before, after;  // before the request, and what it wrote
    size_t order = 0;
  };
  struct Saved {
    uint32_t bytesPerSector = 512;
    std::map<uint64_t, Sector> sectors;  // by lba
    std::vector<uint64_t> order;         // lbas in the order they were first written
    std::string name;                    // the backup, once saved
  };
  std::map<unsigned, Saved> saved_;
  std::vector<uint8_t> registry_;
  bool hadRegistry_ = false;
  bool hooked_ = false;
  std::string command_;
};

}  // namespace ntp::table_backups
