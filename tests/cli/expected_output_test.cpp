// The exact text of show (tree, columns, list, raw, pairs, verbose, JSON), registry show
// and the FT set commands on fixed machines, compared byte for byte with the files under
// tests/expected/<command>/. FTDISK_UPDATE_EXPECTED=1 rewrites those files from what this
// build prints (review the diff before committing it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "testutil.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

// Machines whose every byte is fixed: set disk signatures, then the same requests.
struct Fixed {
  const char* disks;
  std::vector<std::string> requests;
  unsigned missing = ~0u;  // a disk whose image is removed at the end
};

const std::vector<std::string> kFtRequests = {
    "create primary --disk 0 --size 4M",
    "ft create mirror disk0/p1 --disk 1",
    "ft create stripe --size 4M --disk 0 --disk 1",
    "ft create parity --size 4M --disk 1 --disk 2 --disk 3",
    "ft create volset --size 4M --size 8M --disk 2 --disk 3",
    "letter mirror0 M:",
};

const std::map<std::string, Fixed> kMachines = {
    // Primary, extended and logical partitions, an active one, letters, a removable disk
    // and an empty CD-ROM drive.
    {"plain",
     {"--disk 48M --disk 24M,255,63,removable --cdrom-empty",
      {"create primary --disk 0 --size 8M", "active disk0/p1", "create extended --disk 0 --size 24M",
       "create logical --disk 0 --size 8M", "create logical --disk 0 --size 8M",
       "letter disk0/p5 L:", "letter disk0/p6 --remove", "create primary --disk 1 --size max"}}},
    // A set of every type.
    {"ftsets", {"--disk 32M --disk 32M --disk 32M --disk 32M", kFtRequests}},
    // The same with disk 3 gone: the parity set has lost a member, the volume set fails.
    {"degraded", {"--disk 32M --disk 32M --disk 32M --disk 32M", kFtRequests, 3}},
};

struct Case {
  const char* machine;
  const char* file;  // under tests/expected/
  const char* args;
};

const Case kCases[] = {
    {"plain", "show/plain.tree", "show"},
    {"plain", "show/plain.columns", "show -o NAME,START,SIZE,TYPE,ACT,LETTER"},
    {"plain", "show/plain.list", "show --list"},
    {"plain", "show/plain.raw", "show --raw"},
    {"plain", "show/plain.noheadings", "show --list --noheadings -o NAME,KIND,END"},
    {"plain", "show/plain.pairs", "show -P --bytes"},
    {"plain", "show/plain.verbose", "show -v"},
    {"plain", "show/plain.json", "--json show"},
    {"ftsets", "show/ftsets.tree", "show"},
    {"ftsets", "show/ftsets.columns", "show -o NAME,VOLUME,STATE --list"},
    {"ftsets", "show/ftsets.raw", "show --raw --noheadings"},
    {"ftsets", "show/ftsets.verbose", "show -v --bytes"},
    {"ftsets", "show/ftsets.json", "--json show"},
    {"ftsets", "registry/ftsets.show", "registry show"},
    {"ftsets", "registry/ftsets.json", "--json registry show"},
    {"ftsets", "ft/ftsets.verify", "ft verify parity0"},
    {"ftsets", "ft/ftsets.find", "ft find"},
    {"ftsets", "volume/ftsets.dmtable", "volume dmtable volset0"},
    {"ftsets", "volume/ftsets.striped", "volume dmtable stripe0"},
    {"degraded", "show/degraded.tree", "show"},
    {"degraded", "show/degraded.json", "--json show"},
    {"degraded", "registry/degraded.show", "registry show"},
    {"degraded", "ft/degraded.verify", "ft verify mirror0"},
};

// Builds each machine once, on first use.
const CtlMachine& Get(const std::string& name) {
  static std::map<std::string, std::unique_ptr<CtlMachine>> made;
  auto& m = made[name];
  if (m) return *m;
  const Fixed& f = kMachines.at(name);
  m = std::make_unique<CtlMachine>(f.disks);
  for (unsigned d = 0; fs::exists(m->Image(d)); ++d)
    WriteAt(m->Image(d), 440, std::string{char(0x10 + d), 0x00, char(0xED), 0x5E});
  for (const auto& r : f.requests)
    if (Result res = m->On(r); res.rc != 0) throw std::runtime_error(name + ": " + r + ": " + res.err);
  if (f.missing != ~0u) fs::remove(m->Image(f.missing));
  return *m;
}

// Standard output, then standard error and the exit status when there are any, with the
// machine's temporary directory named MACHINE.
std::string Printed(const CtlMachine& m, const Result& r) {
  std::string text = r.out;
  if (!r.err.empty()) text += "--- standard error\n" + r.err;
  if (r.rc != 0) text += "--- exit status " + std::to_string(r.rc) + "\n";
  for (size_t at; (at = text.find(m.dir)) != std::string::npos;) text.replace(at, m.dir.size(), "MACHINE");
  return text;
}

TEST(ExpectedOutput, ShowRegistryAndFtTextsAreByteForByteTheKeptOnes) {
  const bool update = std::getenv("FTDISK_UPDATE_EXPECTED") != nullptr;
  const fs::path root = fs::path(FTDISK_SOURCE_DIR) / "tests" / "expected";
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.file) + ": ftdiskctl " + c.args);
    const CtlMachine& m = Get(c.machine);
    const std::string printed = Printed(m, m.On(c.args));
    const fs::path file = root / c.file;
    if (update) {
      fs::create_directories(file.parent_path());
      std::ofstream(file, std::ios::binary) << printed;
      continue;
    }
    ASSERT_TRUE(fs::exists(file)) << "no expected file: run with FTDISK_UPDATE_EXPECTED=1";
    EXPECT_EQ(printed, ReadFile(file.string()));
  }
}

}  // namespace
