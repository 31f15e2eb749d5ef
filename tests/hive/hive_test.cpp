// NT hive files through the built program, with independent readers as oracles:
// libregf (python3-libregf) reads the value the tool writes, reglookup every other key and
// value, which an export must leave alone; hivexsh adds them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "testutil.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace testutil;

namespace {

// The machine's DISK key values as "registry show --json" gives them: name -> hex data.
std::map<std::string, std::string> MachineValues(const CtlMachine& m) {
  std::map<std::string, std::string> out;
  json j = json::parse(m.On("registry show --json").out, nullptr, false);
  for (const auto& v : j.is_discarded() ? json::array() : j["values"])
    out[v["name"]] = v["data"].is_string() ? v["data"].get<std::string>() : v["data"].dump();
  return out;
}

// "Information" of a hive as libregf reads it: its type and its data in hex.
std::string Information(const std::string& hive) {
  std::string out;
  testutil::Run(
      "/usr/bin/python3 -c \"import pyregf,sys; f=pyregf.file(); f.open(sys.argv[1]); "
      "v=f.get_key_by_path('\\\\\\\\DISK').get_value_by_name('Information'); print(v.type, v.data.hex())\" " +
          Quote(hive),
      &out);
  return out.substr(0, out.find('\n'));
}

// Every key and value of a hive but the DISK key's, one line each, without times.
std::string EverythingButDisk(const std::string& hive) {
  std::string out, kept;
  testutil::Run("reglookup -H " + Quote(hive), &out);
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("/DISK,", 0) == 0 || line.rfind("/DISK/", 0) == 0) continue;
    if (line.find(",KEY,") != std::string::npos) line = line.substr(0, line.find(",KEY,"));
    kept += line + "\n";
  }
  return kept;
}

bool Hivexsh(const std::string& hive, const std::string& script) {
  TempDir t;
  std::ofstream(t.path + "/script") << script << "commit\n";
  return testutil::Run("hivexsh -w " + Quote(hive) + " -f " + Quote(t.path + "/script") + " >/dev/null") == 0;
}

class HiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testutil::Run("command -v reglookup && command -v hivexsh && /usr/bin/python3 -c 'import pyregf'") !=
        0)
      GTEST_SKIP() << "reglookup, hivexsh or python3-libregf missing (scripts/install-deps.sh)";
  }
};

// Machine -> new hive -> a new machine over copies of the disks: both independent readers
// see the machine's bytes, and the new machine holds the same bytes and the same mirror.
TEST_F(HiveTest, RoundTripThroughANewHive) {
  CtlMachine a;  // a mirror of a primary partition lettered M:
  for (const char* req :
       {"create primary --disk 0 --size 10M", "letter disk0/p1 M:", "ft create mirror disk0/p1 --disk 1"})
    ASSERT_EQ(a.On(req).rc, 0) << req;
  const std::string info = MachineValues(a)["Information"];

  const std::string hive = a.tmp.path + "/SYSTEM";
  ASSERT_EQ(a.On("registry export --hive " + Quote(hive)).rc, 0);
  EXPECT_FALSE(fs::exists(hive + ".bak"));  // nothing to keep for a new file
  EXPECT_EQ(Information(hive), "3 " + info);
  Result shown = Ctl("registry show --hive " + Quote(hive) + " --json");
  ASSERT_EQ(shown.rc, 0) << shown.err;
  EXPECT_EQ(json::parse(shown.out)["information"]["ft_sets"].size(), 1u);

  std::string copies;
  for (int i = 0; i < 2; ++i) {
    fs::copy_file(a.Image(i), a.tmp.path + "/copy" + std::to_string(i));
    copies += " --attach " + Quote(a.tmp.path + "/copy" + std::to_string(i));
  }
  CtlMachine b(copies + " --from-hive " + Quote(hive));
  EXPECT_NE(b.On("show").out.find("mirror0"), std::string::npos) << "the mirror is published from the hive";
  EXPECT_EQ(MachineValues(b)["Information"], info);
}

// An export into a hive that holds other keys and values changes only the DISK key's
// values that the machine has; the previous file is kept as .bak unless --no-backup.
TEST_F(HiveTest, ExportChangesOnlyTheDiskKey) {
  CtlMachine m("--disk 32M");
  ASSERT_EQ(m.On("create primary --disk 0 --size 10M").rc, 0);
  const std::string hive = m.tmp.path + "/SYSTEM";
  ASSERT_EQ(m.On("registry export --hive " + Quote(hive)).rc, 0);
  ASSERT_TRUE(Hivexsh(hive,
                      "add Select\ncd Select\nsetval 2\nCurrent\ndword:1\nDefault\nhex:3:de,ad,be,ef\n"
                      "add Sub\ncd \\\nadd ControlSet001\ncd ControlSet001\nadd Services\ncd Services\n"
                      "setval 1\nImagePath\nstring:system32\\drivers\\ftdisk.sys\n"
                      "cd \\\ncd DISK\nsetval 2\n\\Device\\CdRom0\nstring:F:\nInformation\nhex:3:00\n"));
  const std::string before = ReadFile(hive);
  const std::string others = EverythingButDisk(hive);
  ASSERT_NE(others.find("/ControlSet001/Services/ImagePath"), std::string::npos);

  ASSERT_EQ(m.On("letter disk0/p1 K:").rc, 0);
  const std::string info = MachineValues(m)["Information"];
  // What killed exports left goes; a temporary file a running export holds stays.
  for (const char* left : {".tmp-a1b2c3", ".bak.tmp-d4e5f6", ".tmp-inuse1"})
    std::ofstream(hive + left) << "x";
  const int held = ::open((hive + ".tmp-inuse1").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  ASSERT_EQ(m.On("registry export --hive " + Quote(hive)).rc, 0);
  EXPECT_FALSE(fs::exists(hive + ".tmp-a1b2c3") || fs::exists(hive + ".bak.tmp-d4e5f6"));
  EXPECT_TRUE(fs::exists(hive + ".tmp-inuse1"));
  ::close(held);
  EXPECT_EQ(EverythingButDisk(hive), others);
  EXPECT_EQ(Information(hive), "3 " + info);
  EXPECT_EQ(ReadFile(hive + ".bak"), before);
  // A value of the hive's DISK key that the machine does not hold is left alone.
  std::string cd;
  testutil::Run("reglookup -H -p '/DISK/\\Device\\CdRom0' " + Quote(hive), &cd);
  EXPECT_NE(cd.find("SZ,F:"), std::string::npos) << cd;

  // --no-backup leaves the old backup untouched; no temporary file stays behind.
  ASSERT_EQ(m.On("letter disk0/p1 L:").rc, 0);
  ASSERT_EQ(m.On("registry export --no-backup --hive " + Quote(hive)).rc, 0);
  EXPECT_EQ(ReadFile(hive + ".bak"), before);
  EXPECT_EQ(Information(hive), "3 " + MachineValues(m)["Information"]);
  EXPECT_EQ(EverythingButDisk(hive), others);
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(m.tmp.path)) files += e.is_regular_file();
  EXPECT_EQ(files, 2u);  // SYSTEM and SYSTEM.bak

  // Through a symbolic link the hive behind it is written; the link stays a link.
  const std::string link = m.tmp.path + "/link";
  fs::create_symlink(hive, link);
  ASSERT_EQ(m.On("letter disk0/p1 N:").rc, 0);
  ASSERT_EQ(m.On("registry export --no-backup --hive " + Quote(link)).rc, 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Information(hive), "3 " + MachineValues(m)["Information"]);

  // A hive whose last write did not complete (sequence numbers differ) can be read but
  // is not rewritten: that would mark it consistent and lose what its log holds.
  std::string dirty = ReadFile(hive);
  dirty[4] ^= 1;
  dirty[508] ^= 1;  // the header checksum, an XOR of the words before it, still holds
  std::ofstream(hive, std::ios::binary | std::ios::trunc) << dirty;
  EXPECT_TRUE(Fails(m.On("registry export --hive " + Quote(hive)), "not completed"));
  EXPECT_EQ(ReadFile(hive), dirty);
  EXPECT_EQ(Ctl("registry show --hive " + Quote(hive)).rc, 0);
}

// Hives that must be refused, with a message naming the problem, by every command that
// reads them, with nothing written anywhere.
TEST_F(HiveTest, MalformedHivesAreRefusedAndNothingIsWritten) {
  CtlMachine src("--disk 32M");
  ASSERT_EQ(src.On("create primary --disk 0 --size 10M").rc, 0);
  const std::string good = src.tmp.path + "/GOOD";
  ASSERT_EQ(src.On("registry export --hive " + Quote(good)).rc, 0);
  const std::string goodBytes = ReadFile(good);
  const std::string info = MachineValues(src)["Information"];
  std::string infoHex;
  for (size_t i = 0; i < info.size(); i += 2) infoHex += (i ? "," : "") + info.substr(i, 2);

  struct Case {
    const char* name;
    std::function<void(std::string&)> edit;  // of GOOD's bytes; or else
    std::string script;                      // hivexsh commands run on a copy of GOOD
    const char* message;
    bool exportRefused;  // an export into it is refused too
  };
  const std::vector<Case> cases = {
      {"wrong magic", [](std::string& b) { b[0] = 'R'; }, "", "signature 'regf'", true},
      {"truncated bins", [](std::string& b) { b.resize(b.size() - 4096); }, "", "truncated", true},
      {"header checksum", [](std::string& b) { b[0x30] ^= 1; }, "", "checksum", true},
      {"Information of type REG_SZ", nullptr, "cd DISK\nsetval 1\nInformation\nhex:1:" + infoHex + "\n",
       "not REG_BINARY", false},
      {"Information malformed", nullptr, "cd DISK\nsetval 1\nInformation\nhex:3:03,00,00\n", "malformed",
       false},
      {"CD-ROM letter of type REG_DWORD", nullptr,
       "cd DISK\nsetval 2\nInformation\nhex:3:" + infoHex + "\n\\Device\\CdRom0\ndword:5\n", "CdRom0", false},
      {"no DISK key", nullptr, "cd DISK\ndel\n", "no DISK key", false},
  };

  CtlMachine m("--disk 32M");
  ASSERT_EQ(m.On("create primary --disk 0 --size 5M").rc, 0);
  const auto machineBefore = MachineValues(m);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bad = m.tmp.path + "/BAD";
    std::string bytes = goodBytes;
    if (c.edit) c.edit(bytes);
    std::ofstream(bad, std::ios::binary | std::ios::trunc) << bytes;
    if (!c.edit) {
      ASSERT_TRUE(Hivexsh(bad, c.script));
    }
    const std::string badBytes = ReadFile(bad);

    EXPECT_TRUE(Fails(m.On("registry import --hive " + Quote(bad)), c.message));
    EXPECT_EQ(MachineValues(m), machineBefore);
    EXPECT_EQ(Ctl("init " + Quote(m.tmp.path + "/new") + " --disk 32M --from-hive " + Quote(bad)).rc, 1);
    EXPECT_FALSE(fs::exists(m.tmp.path + "/new"));

    Result r = m.On("registry export --hive " + Quote(bad));
    EXPECT_EQ(r.rc, c.exportRefused ? 1 : 0) << r.err;
    if (c.exportRefused) {
      EXPECT_EQ(ReadFile(bad), badBytes);
      EXPECT_FALSE(fs::exists(bad + ".bak"));
    } else {
      EXPECT_EQ(Information(bad), "3 " + machineBefore.at("Information"));
    }
    fs::remove(bad + ".bak");
  }
  // A sound hive that names disks this machine does not have goes through the import
  // path's refusal: nothing is stored without --force.
  EXPECT_TRUE(Fails(m.On("registry import --hive " + Quote(good)), "--force"));
  EXPECT_EQ(MachineValues(m), machineBefore);
  EXPECT_EQ(m.On("registry import --force --no-rescan --hive " + Quote(good)).rc, 0);
  EXPECT_EQ(MachineValues(m)["Information"], info);

  size_t leftovers = 0;
  for (const auto& e : fs::directory_iterator(m.tmp.path))
    leftovers += e.path().filename().string() != "BAD" && e.path().filename().string() != "m";
  EXPECT_EQ(leftovers, 0u);
}

}  // namespace
