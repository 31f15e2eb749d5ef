// Test fixtures: temporary machines booted with the real platform and host, the
// provider linked in, and sfdisk as an outside oracle.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "machine.h"
#include "zmapi.h"
#include "zmhost.h"

namespace testutil {

constexpr uint64_t MiB = 1024ull * 1024ull;

// A fresh directory under the system's temp dir, removed with everything in it.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

// Runs a shell command; returns its exit status and captures standard output.
int Run(const std::string& command, std::string* out = nullptr);

// n bytes of a file from offset (fewer past its end), and bytes written over a file at offset.
std::string ReadAt(const std::string& file, uint64_t offset, size_t n);
std::string ReadFile(const std::string& file);  // all of it
void WriteAt(const std::string& file, uint64_t offset, const std::string& bytes);

// A word quoted for the shell.
std::string Quote(const std::string& s);

// One run of the built ftdiskctl (with the built provider module): its exit status,
// standard output and standard error.
struct Result {
  int rc;
  std::string out, err;
};
// args: the words after the program name; input: standard input (none when empty);
// env: more VAR=value words for the program's environment.
Result Ctl(const std::string& args, const std::string& input = "", const std::string& env = "");

// Whether a run exited with rc and said says on standard error (both shown when not).
testing::AssertionResult Fails(const Result& r, const std::string& says, int rc = 1);

// A machine directory made by "ftdiskctl init" with the given disk options (images
// DIR/disks/diskN.img) and shown once (a read-only boot: the registry store is made by
// the first command that writes).
struct CtlMachine {
  TempDir tmp;
  std::string dir = tmp.path + "/m";
  explicit CtlMachine(const std::string& disks = "--disk 32M --disk 32M");
  std::string M() const { return "-m " + Quote(dir) + " "; }
  std::string Image(unsigned n) const { return dir + "/disks/disk" + std::to_string(n) + ".img"; }
  Result On(const std::string& args, const std::string& input = "", const std::string& env = "") const {
    return Ctl(M() + args, input, env);
  }
};

// sfdisk as the oracle: lays out an image from a script, reads one back as JSON.
bool Sfdisk(const std::string& image, const std::string& script);
nlohmann::json SfdiskJson(const std::string& image);
// The data partitions sfdisk sees (extended ones left out) as (start, size) in sectors, sorted.
std::vector<std::pair<uint64_t, uint64_t>> SfdiskData(const std::string& image);

// A machine directory with disks of the given sizes (255 x 63 x 512 geometry).
class Machine {
 public:
  explicit Machine(const std::vector<uint64_t>& diskBytes, unsigned cdroms = 0);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const std::string& dir() const { return tmp_.path; }
  std::string image(unsigned disk) const;  // absolute path of disk N's image

  // Boots the platform and starts the host; Provider() then registers the linked-in
  // provider (FtDiskInit runs its first scan) and raises initialisation-complete.
  void Boot();
  ZM_HANDLE Provider();
  void Shutdown();  // provider, host, platform, in that order
  void Reboot() {
    Shutdown();
    Boot();
  }
  bool booted() const { return booted_; }

 private:
  TempDir tmp_;
  bool booted_ = false;
  ZM_HANDLE provider_ = nullptr;
};

// Host database helpers for assertions.
std::vector<ZM_OBJECT_ID> Objects(uint32_t type);
std::vector<ZM_OBJECT_ID> Children(ZM_OBJECT_ID id, uint32_t type = 0);
std::vector<ZM_OBJECT_ID> Parents(ZM_OBJECT_ID id, uint32_t type = 0);
uint64_t PropU64(ZM_OBJECT_ID id, const char* name);             // 64-bit, 32-bit, 8-bit and boolean values
void SetU64(ZM_OBJECT_ID id, const char* name, uint64_t value);  // on the object in the database
void SetU32(ZM_OBJECT_ID id, const char* name, uint32_t value);
std::u16string PropString(ZM_OBJECT_ID id, const char* name);
bool HasProp(ZM_OBJECT_ID id, const char* name);
uint32_t ValueType(ZM_OBJECT_ID id, const char* name);  // 0 when the object has no such property
ZM_OBJECT_ID DiskObject(unsigned index);  // the disk object whose "\Device\" is \Device\HarddiskN

// Property sets for requests: one made for a scope and released at its end.
struct Props {
  Props() { PsCreatePropset(&set); }
  ~Props() { PsDestroyPropset(set); }
  Props(const Props&) = delete;
  Props& operator=(const Props&) = delete;
  operator ZM_PROPSET() const { return set; }
  ZM_PROPSET set = nullptr;
};
void AddU64(ZM_PROPSET set, const char* name, uint64_t value);
void AddU32(ZM_PROPSET set, const char* name, uint32_t value);
void AddString(ZM_PROPSET set, const char* name, const std::u16string& value);

std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);

}  // namespace testutil
