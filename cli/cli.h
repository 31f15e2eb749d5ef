// What the front end's source files share: the booted session, the database snapshot,
// the commands, output helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "regblob.h"
#include "units.h"
#include "zmapi.h"
#include "zmhost.h"

namespace ntp::reg {
struct Value;
}

namespace cli {

using json = nlohmann::json;

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Options that every command sees.
struct Options {
  std::string dir = "machine";
  bool noWait = false;
  bool json = false;
  bool bytes = false;
  bool verbose = false;
  bool dryRun = false;
  // init: make the machine in a directory that is not empty; registry import: replace a
  // configuration even when that loses sets or disks
  bool force = false;
};

// One boot of a machine: platform, host, the ftdisk provider. Open() prints the waiting
// message when another process holds the machine.
class Session {
 public:
  ~Session() { Close(); }
  bool Open(const std::string& dir, bool noWait, std::string* error);
  // Before Open: the command only reads, so the disks are opened read-only under a
  // shared lock.
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  void Close();
  bool open() const { return open_; }
  const std::string& dir() const { return dir_; }
  ZMSTATUS Control(ZM_OBJECT_ID id, uint32_t cls, uint32_t code, ZM_PROPSET in, ZM_PROPSET out,
                   ZM_OBJECT_ID* resultId);
  size_t AlertCount() const;
  std::vector<zm::AlertRecord> AlertsSince(size_t mark) const;
  // Sends the refresh request (code 1) to one of the host's own providers.
  void RefreshBuiltin(const std::u16string& name);

 private:
  bool open_ = false;
  bool platform_ = false, host_ = false, readOnly_ = false;
  ZM_HANDLE provider_ = nullptr;
  std::string dir_;
};

// Where the provider module is: FTDISK_MODULE or FTDISK_PROVIDER, else libftdisk.so next
// to this program, else in the library directory it was installed with.
std::string ModulePath();
std::string SelfPath();

// Database reads (host records freed at once).
bool PropU64(ZM_OBJECT_ID id, const char* name, uint64_t* value);  // types 10, 11, 12, 13, 16
bool PropString(ZM_OBJECT_ID id, const char* name, std::string* value);
std::vector<ZM_OBJECT_ID> ObjectsOfType(uint32_t type);
std::vector<ZM_OBJECT_ID> ChildrenOf(ZM_OBJECT_ID id, uint32_t type);
std::vector<ZM_OBJECT_ID> ParentsOf(ZM_OBJECT_ID id, uint32_t type);
uint32_t ObjectType(ZM_OBJECT_ID id);  // 0 when there is no such object

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

std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);

// The whole database as the "show" schema (docs/json-schema.md).
json Snapshot(const std::vector<zm::AlertRecord>& alerts);
json AlertsJson(const std::vector<zm::AlertRecord>& alerts);
// Text forms.
void PrintTree(std::ostream& out, const json& snap, const Options& opt);
void PrintDisk(std::ostream& out, const json& snap, unsigned disk, const Options& opt);
void PrintAlerts(std::ostream& out, const json& alerts);
std::string Size(uint64_t bytes, const Options& opt);

// Finds what a VOLUME argument names in the snapshot: a volume id (or 0 with a message).
ZM_OBJECT_ID ResolveVolume(const json& snap, const std::string& text, std::string* error);
const json* FindDisk(const json& snap, unsigned index);

// Runs one parsed command line (argv without the program name) on the session, which
// is opened on first use; inShell refuses the commands that need their own process.
int RunCommandLine(const std::vector<std::string>& args, Session* session, bool inShell, std::ostream& out,
                   std::ostream& err);

// Command bodies (commands.cpp). Each prints its result and returns an exit status.
struct CreateArgs {
  std::string kind;
  unsigned disk = 0;
  uint64_t size = 0;
  bool hasOffset = false;
  uint64_t offset = 0;
  bool maxSize = false;
};
int CmdShow(Session& s, const Options& opt, std::ostream& out, std::ostream& err);
int CmdLayout(Session& s, const Options& opt, bool hasDisk, unsigned disk, std::ostream& out,
              std::ostream& err);
int CmdCreate(Session& s, const Options& opt, const CreateArgs& a, std::ostream& out, std::ostream& err);
int CmdDelete(Session& s, const Options& opt, const std::string& volume, bool extended, unsigned disk,
              std::ostream& out, std::ostream& err);
int CmdActive(Session& s, const Options& opt, const std::string& volume, std::ostream& out,
              std::ostream& err);
int CmdLetter(Session& s, const Options& opt, const std::string& volume, const std::string& letter,
              bool remove, std::ostream& out, std::ostream& err);
int CmdRescan(Session& s, const Options& opt, bool hasDisk, unsigned disk, std::ostream& out,
              std::ostream& err);
int CmdMenus(Session& s, const Options& opt, std::ostream& out, std::ostream& err);
int CmdRegistryShow(Session& s, const Options& opt, std::ostream& out, std::ostream& err);
int CmdRegistryExport(Session& s, const Options& opt, const std::string& file, std::ostream& out,
                      std::ostream& err);
int CmdRegistryImport(Session& s, const Options& opt, const std::string& file, bool rescan, std::ostream& out,
                      std::ostream& err);
int CmdCheck(Session& s, const Options& opt, std::ostream& out, std::ostream& err);
int CmdAlerts(Session& s, const Options& opt, std::ostream& out, std::ostream& err);
// registry recover (recover.cpp): runs without booting, as a machine whose registry is
// lost or damaged does not boot.
int CmdRegistryRecover(const Options& opt, bool empty, bool list, unsigned seq, std::ostream& out,
                       std::ostream& err);
// Registry writes and alert appends that failed since the last call, as one sentence
// (empty when none): a request that reports success must not hide them.
std::string TakeWriteFailures();
void InjectFaultsFromEnvironment();
int CmdInit(const Options& opt, const std::string& dir, const std::vector<std::string>& disks,
            const std::vector<std::string>& cdroms, bool emptyCdrom, std::ostream& out, std::ostream& err);
int CmdAttach(const Options& opt, const std::string& image, bool removable, std::ostream& out,
              std::ostream& err);
int CmdDemo(const Options& opt, const std::string& dir, std::ostream& out, std::ostream& err);

// The registry's disk key and its configuration value.
extern const char16_t kDiskKey[];
json RegistryJson();
// The same decoding for any list of the key's values (a hive's, for instance), and its
// printing: exit status 1 when "Information" is malformed.
json RegistryValuesJson(const std::vector<ntp::reg::Value>& values);
int PrintRegistry(const json& r, const Options& opt, std::ostream& out, std::ostream& err);

// Backups of partition-table sectors (backup.cpp).
// While a request runs, saves the previous contents of every sector it is about to
// change under DIR/backups/ (data, index and directory flushed) before the platform
// writes them, one backup per disk; a backup that cannot be saved stops the write.
class TableBackup {
 public:
  TableBackup() = default;
  ~TableBackup();
  TableBackup(const TableBackup&) = delete;
  TableBackup& operator=(const TableBackup&) = delete;
  void Before(const std::string& command);
  // Returns the names of the backups written.
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
int CmdBackupsList(Session& s, const Options& opt, std::ostream& out, std::ostream& err);
// Refuses a backup whose sectors no longer hold what its request wrote, unless force.
int CmdRestore(Session& s, const Options& opt, const std::string& backup, bool force, std::ostream& out,
               std::ostream& err);

// Dry run: the command line runs in a child process on a copy of the machine; the
// differences are printed and nothing of the real machine is written.
// In the child of a dry run: writes the registry's disk key for the parent.
void DumpRegistryForParent();
int DryRun(Session* s, const Options& opt, const std::vector<std::string>& args, std::ostream& out,
           std::ostream& err);

}  // namespace cli
