// What the front end says when it refuses (the culprit and the next step), and the dry
// runs of the commands that write outside the requests (nothing written).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "testutil.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

// Every file under dir with its bytes.
std::map<std::string, std::string> Contents(const std::string& dir) {
  std::map<std::string, std::string> all;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::ostringstream bytes;
    bytes << std::ifstream(e.path(), std::ios::binary).rdbuf();
    all[e.path().string()] = bytes.str();
  }
  return all;
}

}  // namespace

TEST(CliMessages, NameTheCulpritAndTheNextStep) {
  CtlMachine m("--disk 32M --disk 32M --cdrom-empty");
  ASSERT_EQ(m.On("create primary --disk 0 --size 4M").rc, 0);
  ASSERT_EQ(m.On("create extended --disk 0 --size 12M").rc, 0);
  ASSERT_EQ(m.On("create logical --disk 0 --size 4M").rc, 0);
  ASSERT_EQ(m.On("ft create mirror disk0/p1 --disk 1").rc, 0);
  ASSERT_EQ(m.On("ft edit member mirror0 1 --state initializing").rc, 0);
  const std::string hive = m.tmp.path + "/SYSTEM";
  ASSERT_EQ(m.On("registry export --hive " + Quote(hive)).rc, 0);
  {  // the first hive bin loses its signature
    std::fstream f(hive, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0x1000);
    f.write("hxxx", 4);
  }
  struct Case {
    std::string args;
    int rc;
    std::vector<std::string> says;  // on standard error, or standard output for rc 0
  } cases[] = {
      {"letter disk0/p5 C:",
       1,
       {"C: is in use by cdrom0", "ftdiskctl letter cdrom0 --remove", "pick a free letter (F:"}},
      {"letter disk0/extended Q:",
       1,
       {"extended partition", "takes no drive letter", "logical drives (disk0/p5)"}},
      {"registry show --hive " + Quote(hive), 1, {"hive bin at file offset 0x1000 has no 'hbin'", ".bak"}},
      {"rescan --disk disk1", 0, {"disk1"}},
      {"create primary --disk diskX --size 4M", 2, {"not 'diskX'"}},
      {"show", 0, {"mirror0 is initializing", "ft regenerate mirror0"}},
  };
  for (const auto& c : cases) {
    const Result r = m.On(c.args);
    EXPECT_EQ(r.rc, c.rc) << c.args << "\n" << r.out << r.err;
    for (const auto& s : c.says)
      EXPECT_NE((c.rc == 0 ? r.out : r.err).find(s), std::string::npos) << c.args << ": no '" << s << "' in\n"
                                                                        << r.out << r.err;
  }
}

// Each dry run says what it would write and leaves the machine and the hive as they were;
// the same command without --dry-run does change them (so the comparison can tell).
TEST(CliMessages, OwnDryRunsWriteNothing) {
  CtlMachine m;
  ASSERT_EQ(m.On("create primary --disk 0 --size 4M").rc, 0);
  ASSERT_EQ(m.On("letter disk0/p1 E:").rc, 0);
  const std::string hive = m.tmp.path + "/SYSTEM", image = m.tmp.path + "/extra.img";
  ASSERT_EQ(m.On("registry export --hive " + Quote(hive)).rc, 0);
  ASSERT_EQ(testutil::Run("truncate -s 8M " + Quote(image)), 0);
  struct Case {
    std::string args, says, setup = "true";
  } cases[] = {
      {"attach " + Quote(image), "would attach " + image + " as disk 2"},
      {"registry export --hive " + Quote(hive), "would be kept as " + hive + ".bak"},
      {"registry export " + Quote(m.tmp.path + "/disk.reg"), "would export"},
      {"registry recover", "would restore HKEY_LOCAL_MACHINE\\SYSTEM\\DISK from ",
       "rm " + Quote(m.dir) + "/registry.db*"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(testutil::Run(c.setup), 0);
    const auto before = Contents(m.tmp.path);
    const Result dry = m.On("--dry-run " + c.args);
    EXPECT_EQ(dry.rc, 0) << c.args << "\n" << dry.err;
    EXPECT_NE(dry.out.find(c.says), std::string::npos) << c.args << ":\n" << dry.out;
    EXPECT_TRUE(Contents(m.tmp.path) == before) << c.args << " wrote in its dry run";
    ASSERT_EQ(m.On(c.args).rc, 0) << c.args;
    EXPECT_FALSE(Contents(m.tmp.path) == before) << c.args << " changed nothing";
  }
}
