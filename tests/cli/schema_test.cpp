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
      {"backups-prune", 0, m + "backups prune --keep 99"},
      {"backups-prune", 0, m + "backups prune --keep 1"},
      {"registry-recover", 0, m + "registry recover --list"},
      {"registry-recover", 0, m + "--dry-run registry recover"},
      {"registry-export", 0, m + "--dry-run registry export --hive " + Quote(t.path + "/SYSTEM")},
      {"attach", 0, m + "--dry-run attach " + Quote(dir + "/disks/disk0.img") + " --read-only"},
      {"registry-recover", 0, m + "registry recover"},
      {"failure", 2, m + "frob"},
      {"failure", 2, m + "--dry-run show"},
      {"failure", 2, m + "create primary --disk 0 --size 10Q"},
      {"failure", 2, m + "letter nosuch Q:"},
      {"failure", 1, "-m " + Quote(t.path + "/none") + " show"},
      {"failure", 2, "demo " + Quote(t.path + "/demo2")},
  });
}

// The machines of bench/machines.sh: FT sets of every type, read, exported, repaired,
// found and removed; a missing disk, members recorded orphaned, a GPT disk and a table
// another tool wrote; the same disks without a machine; a fresh machine.
TEST(CliSchema, FtSetsAndOddDisksDocumentsConform) {
  TempDir t;
  const std::string build = fs::path(FTDISKCTL_PATH).parent_path(), dir = t.path + "/m", tmp = t.path;
  ASSERT_EQ(
      testutil::Run("bash " + Quote(std::string(FTDISK_SOURCE_DIR) + "/bench/machines.sh") + " " +
                    Quote(build) + " " + Quote(dir) + " && head -c 4M /dev/urandom >" + Quote(tmp + "/data")),
      0);
  // An "Information" value shorter than its header.
  std::ofstream(tmp + "/bad.reg")
      << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\DISK]\n\"Information\"=hex:03,00\n";
  std::ofstream(tmp + "/new.dump") << "label: dos\n";
  auto on = [&](const std::string& machine) { return "-m " + Quote(dir + "/" + machine) + " "; };
  const std::string f = on("ftsets"), hive = Quote(tmp + "/SYSTEM"), reg = Quote(dir + "/ftsets/disk.reg");
  std::string images;
  for (int n = 0; n < 4; ++n)
    images += "--image " + Quote(dir + "/ftsets/disks/disk" + std::to_string(n) + ".img") + " ";
  ExpectConforming({
      {"init", 0, "init " + Quote(tmp + "/new") + " --disk 32M,255,63 --cdrom-empty"},
      {"registry-show", 0, "-m " + Quote(tmp + "/new") + " registry show"},
      {"dump", 0, f + "dump"},
      {"apply", 0, "-m " + Quote(tmp + "/new") + " apply " + Quote(tmp + "/new.dump")},
      {"apply", 1, "-m " + Quote(tmp + "/new") + " --dry-run apply " + reg},
      {"apply", 1, "-m " + Quote(tmp + "/new") + " apply " + Quote(tmp + "/bad.reg")},
      {"detach", 0, "-m " + Quote(tmp + "/new") + " --dry-run detach 0"},
      {"detach", 1, f + "detach 0"},
      {"show", 0, f + "show"},
      {"layout", 0, f + "layout"},
      {"check", 0, f + "check"},
      {"registry-show", 0, f + "registry show"},
      {"ft-verify", 0, f + "ft verify mirror0"},
      {"ft-verify", 0, f + "ft verify parity0"},
      {"volume-dmtable", 0, f + "volume dmtable stripe0"},
      {"volume-dmtable", 0, f + "volume dmtable parity0"},
      {"volume-dmtable", 0, f + "volume dmtable mirror0 --member-device /dev/a --member-device /dev/b"},
      {"volume-export", 0, f + "volume export stripe0 " + Quote(tmp + "/out.img")},
      {"volume-export", 0, f + "volume export parity0 -"},
      {"volume-import", 0, f + "volume import mirror0 " + Quote(tmp + "/data")},
      {"registry-export", 0, f + "registry export --hive " + hive},
      {"registry-show", 0, f + "registry show --hive " + hive},
      {"request", 0, f + "registry import --hive " + hive},
      {"registry-import", 0, f + "registry import --no-rescan --hive " + hive},
      {"init", 0, "--dry-run init " + Quote(tmp + "/dry") + " --disk 32M --cdrom-empty"},
      {"init", 0,
       "--dry-run init " + Quote(tmp + "/hive") + " --attach " + Quote(dir + "/ftsets/disks/disk0.img") +
           " --from-hive " + hive},
      {"init", 0,
       "init " + Quote(tmp + "/hive") + " --attach " + Quote(dir + "/ftsets/disks/disk0.img") +
           " --read-only --from-hive " + hive},
      {"ft-request", 0, f + "ft create stripe --size 4M --disk 2 --disk 3"},
      {"ft-request", 0, f + "--dry-run ft delete stripe1"},
      {"ft-request", 1, f + "--dry-run ft extend volset9 --disk 1 --size 4M"},
      {"ft-request", 0, f + "ft extend volset0 --disk 1 --size 4M"},
      {"ft-request", 0, f + "ft edit member parity0 1 --state orphaned"},
      {"ft-request", 0, f + "ft regenerate parity0 1"},
      {"ft-request", 1, f + "ft edit member mirror0 5 --state orphaned"},
      {"ft-request", 0, f + "ft edit drop mirror0"},
      {"ft-find", 0, f + "ft find"},
      {"ft-find", 0, f + "ft find --apply"},
      {"ft-request", 0, f + "ft break mirror0"},
      {"ft-request", 0, f + "ft delete stripe1"},
      {"show", 1, on("missing") + "show"},
      {"check", 1, on("missing") + "check"},
      {"ft-verify", 1, on("missing") + "ft verify parity0"},
      {"ft-find", 0, on("missing") + "ft find"},
      {"show", 0, on("orphaned") + "show -v"},
      {"check", 1, on("orphaned") + "check"},
      {"ft-request", 0, on("orphaned") + "--dry-run ft regenerate parity0"},
      {"show", 0, on("foreign") + "show"},
      {"layout", 0, on("foreign") + "layout"},
      {"request", 1, on("foreign") + "create primary --disk 0 --size 1M"},
      {"attach", 0, on("foreign") + "attach --read-only " + Quote(tmp + "/new/disks/disk0.img")},
      {"show", 0, images + "--reg " + reg + " show"},
      {"check", 1, images + "--reg " + reg + " check"},
      {"layout", 0, "--image " + Quote(dir + "/ftsets/disks/disk0.img") + " layout"},
      {"registry-show", 0, images + "--reg " + reg + " registry show"},
      {"registry-show", 1, images + "--reg " + Quote(tmp + "/bad.reg") + " registry show"},
  });
}
