// Every command's --json document, on machines holding every kind of object, checked
// against the strict schema of its kind in docs/schema/ by a full JSON Schema validator.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "testutil.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace testutil;

namespace {

struct Case {
  const char* kind;  // docs/schema/KIND.schema.json
  int rc;
  std::string args;
};

// Runs each case (its words after the program name) and validates all documents in one
// run of tests/docs/validate_json.py --strict: each must conform, and stop conforming
// when a key is added or one of its keys dropped.
void ExpectConforming(const std::vector<Case>& cases) {
  json docs = json::array();
  for (const auto& c : cases) {
    Result r = Ctl("--json " + c.args);
    EXPECT_EQ(r.rc, c.rc) << c.args << ": " << r.err;
    // The document of a command whose data goes to standard output is on standard error.
    const std::string& text = c.args.ends_with(" -") ? r.err : r.out;
    json doc = json::parse(text, nullptr, false);
    EXPECT_TRUE(doc.is_object()) << c.args << ": not one document: " << text;
    docs.push_back({c.kind, doc});
  }
  TempDir t;
  std::ofstream(t.path + "/docs.json") << docs.dump();
  std::string out;
  const std::string src = FTDISK_SOURCE_DIR;
  Run("/usr/bin/python3 " + Quote(src + "/tests/docs/validate_json.py") + " --strict " +
          Quote(src + "/docs/schema") + " " + Quote(t.path + "/docs.json"),
      &out);
  std::istringstream lines(out);
  size_t i = 0;
  for (std::string line; std::getline(lines, line) && i < cases.size(); ++i) {
    EXPECT_EQ(line, "\"\"") << cases[i].kind << ": " << cases[i].args;
  }
  EXPECT_EQ(i, cases.size()) << "the validator did not answer for every document";
}

}  // namespace

// The demo's machine (primary, extended and logical partitions, a mirror, letters, a
// CD-ROM, backups and alerts): readers, requests, dry runs, failures and restores.
TEST(CliSchema, DemoMachineDocumentsConform) {
  TempDir t;
  const std::string dir = t.path + "/demo", m = "-m " + Quote(dir) + " ";
  ASSERT_EQ(Ctl("demo " + Quote(dir)).rc, 0);
  json backups = json::parse(Ctl(m + "--json backups list").out, nullptr, false)["backups"];
  ASSERT_FALSE(backups.empty());
  const std::string newest = backups.back()["name"];
  ExpectConforming({
      {"show", 0, m + "show"},
      {"show", 0, m + "show -v --bytes"},
      {"layout", 0, m + "layout"},
      {"layout", 0, m + "layout --disk 0"},
      {"registry-show", 0, m + "registry show"},
      {"registry-export", 0, m + "registry export " + Quote(t.path + "/disk.reg")},
      {"registry-export", 0, m + "registry export --hive " + Quote(t.path + "/SYSTEM")},
      {"alerts", 0, m + "alerts"},
      {"backups", 0, m + "backups list"},
      {"version", 0, "--version"},
      {"check", 0, m + "check"},
      {"request", 0, m + "menus"},
      {"request", 0, m + "--dry-run letter mirror0 --remove"},
      {"request", 0, m + "--dry-run create primary --disk 1 --size max"},
      {"request", 0, m + "create primary --disk 1 --size 10M"},
      {"request", 0, m + "active disk1/p2"},
      {"request", 0, m + "letter disk1/p2 Q:"},
      {"request", 0, m + "letter disk0/p5 --remove"},
      {"request", 0, m + "delete disk1/p2"},
      {"request", 0, m + "rescan"},
      {"request", 0, m + "registry import " + Quote(t.path + "/disk.reg")},
      {"request", 1, m + "create logical --disk 1 --size 8M"},
      {"request", 1, m + "delete mirror0"},
      {"request", 1, m + "--dry-run delete disk0/p9"},
      {"request", 0, m + "--dry-run restore " + newest},
      {"request", 0, m + "restore " + newest + " --force"},
      {"request", 1, m + "registry import /nonexistent.reg"},
      {"registry-recover", 0, m + "registry recover --list"},
      {"registry-recover", 0, m + "registry recover"},
      {"failure", 2, m + "frob"},
      {"failure", 2, m + "--dry-run show"},
      {"failure", 2, m + "create primary --disk 0 --size 10Q"},
      {"failure", 2, m + "letter nosuch Q:"},
      {"failure", 1, "-m " + Quote(t.path + "/none") + " show"},
      {"failure", 2, "demo " + Quote(t.path + "/demo2")},
  });
}

// FT sets of every type made, read, verified, repaired, found and removed; then a
// missing disk, a GPT disk, a disk attached read-only and disks without a machine.
TEST(CliSchema, FtSetsAndOddDisksDocumentsConform) {
  CtlMachine m("--disk 32M --disk 32M --disk 32M --disk 32M");
  const std::string d = m.M(), tmp = m.tmp.path, data = Quote(tmp + "/data");
  ASSERT_EQ(
      testutil::Run("head -c 4M /dev/urandom >" + data + " && truncate -s 32M " + Quote(tmp + "/gpt.img") +
                    " && echo 'label: gpt' | sfdisk -q " + Quote(tmp + "/gpt.img")),
      0);
  // An "Information" value shorter than its header.
  std::ofstream(tmp + "/bad.reg")
      << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\DISK]\n\"Information\"=hex:03,00\n";
  const std::string bad = Quote(tmp + "/bad.reg");
  ASSERT_EQ(m.On("create primary --disk 0 --size 4M").rc, 0);
  ExpectConforming({
      {"registry-show", 0, d + "registry show"},
      {"init", 0, "init " + Quote(tmp + "/m2") + " --disk 32M,255,63 --cdrom-empty"},
      {"ft-request", 0, d + "ft create mirror disk0/p1 --disk 1"},
      {"ft-request", 0, d + "ft create stripe --size 4M --disk 0 --disk 1"},
      {"ft-request", 0, d + "ft create parity --size 4M --disk 0 --disk 1 --disk 2"},
      {"ft-request", 0, d + "ft create volset --size 4M --disk 3"},
      {"ft-request", 0, d + "ft extend volset0 --disk 2 --size 4M"},
      {"ft-request", 0, d + "--dry-run ft delete stripe0"},
      {"ft-request", 1, d + "--dry-run ft extend volset9 --disk 2 --size 4M"},
      {"show", 0, d + "show"},
      {"volume-import", 0, d + "volume import mirror0 " + data},
      {"volume-export", 0, d + "volume export stripe0 " + Quote(tmp + "/out.img")},
      {"volume-export", 0, d + "volume export parity0 -"},
      {"ft-verify", 0, d + "ft verify mirror0"},
      {"ft-verify", 0, d + "ft verify parity0"},
      {"ft-request", 0, d + "ft edit member parity0 1 --state orphaned"},
      {"ft-request", 0, d + "ft regenerate parity0 1"},
      {"ft-request", 0, d + "ft edit drop mirror0"},
      {"ft-find", 0, d + "ft find"},
      {"ft-find", 0, d + "ft find --apply"},
      {"ft-request", 0, d + "ft break mirror0"},
      {"ft-request", 0, d + "ft delete stripe0"},
      {"registry-export", 0, d + "registry export " + Quote(tmp + "/disk.reg")},
      {"registry-export", 0, d + "registry export --hive " + Quote(tmp + "/SYSTEM")},
      {"registry-show", 0, d + "registry show --hive " + Quote(tmp + "/SYSTEM")},
      {"request", 0, d + "registry import --hive " + Quote(tmp + "/SYSTEM")},
      {"attach", 0, d + "attach " + Quote(tmp + "/gpt.img")},
      {"attach", 0, d + "attach --read-only " + Quote(tmp + "/m2/disks/disk0.img")},
      {"show", 0, d + "show"},
      {"layout", 0, d + "layout"},
      {"request", 1, d + "create primary --disk 4 --size 1M"},
      {"layout", 0, "--image " + Quote(m.Image(0)) + " layout"},
      {"show", 0,
       "--image " + Quote(m.Image(0)) + " --image " + Quote(m.Image(1)) + " --image " + Quote(m.Image(2)) +
           " --reg " + Quote(tmp + "/disk.reg") + " show"},
      {"registry-show", 0,
       "--image " + Quote(m.Image(0)) + " --reg " + Quote(tmp + "/disk.reg") + " registry show"},
      {"registry-show", 1, "--image " + Quote(m.Image(0)) + " --reg " + bad + " registry show"},
  });
  // A member's disk away: the set is shown degraded, check and ft find say so.
  fs::rename(m.Image(2), tmp + "/away.img");
  ExpectConforming({{"show", 1, d + "show"},
                    {"check", 1, d + "check"},
                    {"ft-verify", 1, d + "ft verify parity0"},
                    {"ft-find", 0, d + "ft find"}});
}
