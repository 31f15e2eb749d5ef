// dump, apply and detach end to end: sfdisk and the stored FT configuration are the oracles.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testutil.h"

using nlohmann::json;
using namespace testutil;

namespace {

// sfdisk -d of an image without the lines that name the image.
std::string Table(const std::string& image) {
  std::string out;
  Run("sfdisk -d " + Quote(image) + " | sed 's#^[^ ]*\\([0-9]\\) :#\\1 :#; /^device:/d'", &out);
  return out;
}

json Configuration(const CtlMachine& m) {
  return json::parse(m.On("--json registry show").out)["information"];
}

// Every file of the machine and its bytes.
std::string Files(const CtlMachine& m) {
  std::string s;
  for (const auto& e : std::filesystem::recursive_directory_iterator(m.dir))
    if (e.is_regular_file() && e.path().filename() != "alerts.log")
      s += e.path().string() + "=" + std::to_string(std::hash<std::string>{}(ReadFile(e.path()))) + ";";
  return s;
}

}  // namespace

// A machine with every kind of partition, a mirror, an active partition and letters comes
// back whole on fresh disks: the same tables sector for sector, the same configuration.
TEST(CliDump, DumpThenApplyGivesTheSameTablesAndConfiguration) {
  CtlMachine a("--disk 128M --disk 128M --disk 128M");
  for (const char* request :
       {"create primary --disk 0 --size 20M", "create extended --disk 0 --size 60M",
        "create logical --disk 0 --size 20M", "create logical --disk 0 --size 20M",
        "create primary --disk 2 --size 30M", "active disk2/p1", "ft create mirror disk0/p1 --disk 1",
        "letter disk0/p6 R:", "letter disk0/p5 --remove"})
    ASSERT_EQ(a.On(request).rc, 0) << request;
  const Result dump = a.On("dump");
  ASSERT_EQ(dump.rc, 0) << dump.err;
  std::ofstream(a.tmp.path + "/m.dump") << dump.out;
  CtlMachine b("--disk 128M --disk 128M --disk 128M");
  const Result applied = b.On("apply " + Quote(a.tmp.path + "/m.dump"));
  ASSERT_EQ(applied.rc, 0) << applied.out << applied.err;
  for (unsigned d = 0; d < 3; ++d) EXPECT_EQ(Table(b.Image(d)), Table(a.Image(d))) << "disk" << d;
  EXPECT_EQ(Configuration(b), Configuration(a));
  // A second apply finds everything made, and with --force makes nothing.
  EXPECT_TRUE(Fails(b.On("apply " + Quote(a.tmp.path + "/m.dump")), "add --force"));
  EXPECT_NE(b.On("apply --force " + Quote(a.tmp.path + "/m.dump")).out.find("holds all of it already"),
            std::string::npos);
  // An apply cut short (the last logical drive missing) is completed with --force.
  CtlMachine c("--disk 128M --disk 128M --disk 128M");
  ASSERT_EQ(c.On("apply " + Quote(a.tmp.path + "/m.dump")).rc, 0);
  ASSERT_EQ(c.On("delete disk0/p6").rc, 0);
  ASSERT_EQ(c.On("apply --force " + Quote(a.tmp.path + "/m.dump")).rc, 0);
  EXPECT_EQ(Table(c.Image(0)), Table(a.Image(0)));
}

// A machine that has stored no FT configuration yet dumps its disks (no sets, no letters).
TEST(CliDump, AMachineWithoutAConfigurationDumps) {
  CtlMachine a("--disk 64M");
  const Result text = a.On("dump"), doc = a.On("--json dump");
  ASSERT_EQ(text.rc, 0) << text.err;
  EXPECT_NE(text.out.find("# disk: disk0 "), std::string::npos) << text.out;
  ASSERT_EQ(doc.rc, 0) << doc.err;
  EXPECT_EQ(json::parse(doc.out)["ft_sets"], json::array());
}

// A table sfdisk wrote on cylinder boundaries, with types requests do not make, replays.
TEST(CliDump, SfdiskTableReplays) {
  CtlMachine m("--disk 256M");
  const std::string image = m.tmp.path + "/s.img";
  ASSERT_EQ(testutil::Run("truncate -s 256M " + Quote(image)), 0);
  ASSERT_TRUE(Sfdisk(image,
                     "label: dos\nlabel-id: 0x1234abcd\nstart=63, size=96327, type=7, bootable\n"
                     "start=96390, size=208845, type=f\nstart=96453, size=64197, type=b\n"));
  std::string dump;
  testutil::Run("sfdisk -d " + Quote(image), &dump);
  ASSERT_EQ(m.On("apply -", dump).rc, 0);
  EXPECT_EQ(Table(m.Image(0)), Table(image));
}

// A disk whose sector 0 lacks the 0x55 0xAA mark holds no table, whatever its slots hold:
// the signature apply writes there must not turn those bytes into a partition.
TEST(CliDump, ASignatureWrittenOnADiskWithoutATableLeavesNoStrayPartition) {
  CtlMachine m("--disk 64M");
  {
    std::fstream f(m.Image(0), std::ios::in | std::ios::out | std::ios::binary);
    const unsigned char slot[16] = {0, 0, 0, 0, 0x07, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x10, 0, 0};
    const char none[4] = {};
    f.seekp(0x1B8).write(none, 4);
    f.seekp(446).write(reinterpret_cast<const char*>(slot), sizeof slot);
    f.seekp(510).write(none, 2);
  }
  const Result r =
      m.On("apply -", "label: dos\nlabel-id: 0x1234abcd\n\ndisk0/p1 : start=63, size=16002, type=6\n");
  ASSERT_EQ(r.rc, 0) << r.out << r.err;
  EXPECT_EQ(Table(m.Image(0)),
            "label: dos\nlabel-id: 0x1234abcd\nunit: sectors\nsector-size: 512\n\n1 : start=          63, "
            "size=       16002, type=6\n");
}

// A dump that does not fit is refused whole, naming why, and nothing is written.
TEST(CliDump, ApplyRefusesWhatDoesNotFitAndWritesNothing) {
  CtlMachine m("--disk 64M --disk 64M,16,63");
  ASSERT_EQ(m.On("create primary --disk 1 --size 10M").rc, 0);
  const std::string part = "label: dos\n\ndisk0/p1 : start=63, size=48132, type=6\n";
  const struct {
    std::string dump, says;
  } cases[] = {
      {"label: dos\n\nx1 : start=2048, size=40960, type=83\n", "free space before it starts, at sector 63"},
      {"label: dos\n\nx1 : start=63, size=40000, type=83\n", "not on a cylinder boundary"},
      {"# disk: disk0 bytes=67108864 cylinders=8 heads=16 sectors=63\n" + part, "16 heads"},
      {"# disk: disk3\nlabel: dos\nx1 : start=63, size=48132, type=6\n", "this machine has 2 disk(s)"},
      {"# disk: disk1\nlabel: dos\n\ndisk1/p1 : start=63, size=16065, type=6\n",
       "holds partitions the dump does not"},
      {"label: dos\n\ndisk0/p1 : start=63, size=9999999, type=6\n", "beyond the last whole cylinder"},
      {"label: dos\n\ndisk0/p2 : start=63, size=48132, type=6\n", "where requests make slot 1"},
      {"label: dos\n\ndisk0/p1 : start=63, size=16002, type=6, bootable\ndisk0/p2 : start=16065, size=16065, "
       "type=6, bootable\n",
       "more than one partition is bootable"},
      {part + "# letter: disk0/p7 E:\n", "which the dump does not make"},
      {part + "# ft: mirror0 type=mirror group=0 members=disk0/p1,disk0/p9\n", "not a partition of the dump"},
      {"label: gpt\n", "only MBR (dos) tables"},
      {"label: dos\nlabel-id: 0x12\n\ndisk0/p1 : start=63, size=48132, type=6\nlabel-id: 0x1\n", "line 5"},
      {"disk0/p1 : start=63, size=1, type=zz\n", "is not start=SECTORS"},
      {"# ft: mirror0 type=mirror group=1 members=disk0/p1,disk1/p1\n", "must be named mirror1"},
      {"", "holds no disk"},
  };
  const std::string before = Files(m);
  for (const auto& c : cases) {
    EXPECT_TRUE(Fails(m.On("apply -", c.dump), c.says)) << c.dump;
    EXPECT_TRUE(Fails(m.On("--dry-run apply -", c.dump), c.says)) << c.dump;
  }
  EXPECT_EQ(Files(m), before);
}

TEST(CliDump, DetachKeepsTheImageAndRefusesWhileFtSetsNeedTheDisk) {
  CtlMachine m("--disk 32M --disk 32M --disk 32M");
  ASSERT_EQ(m.On("create primary --disk 0 --size 10M").rc, 0);
  ASSERT_EQ(m.On("ft create mirror disk0/p1 --disk 1").rc, 0);
  const std::string image = ReadFile(m.Image(1)), config = ReadFile(m.dir + "/machine.toml");
  EXPECT_TRUE(Fails(m.On("detach disk1"), "holds members of mirror0"));
  EXPECT_TRUE(Fails(m.On("detach disk7"), "there is no disk 7", 2));
  EXPECT_TRUE(Fails(m.On("detach sda"), "is not a disk", 2));
  EXPECT_EQ(m.On("--dry-run detach 2").rc, 0);
  EXPECT_EQ(ReadFile(m.dir + "/machine.toml"), config);
  ASSERT_EQ(m.On("detach --force disk1").rc, 0);
  EXPECT_EQ(ReadFile(m.Image(1)), image);
  EXPECT_EQ(json::parse(m.On("--json show").out)["disks"].size(), 2u);
  // Attached again, the disk is found by its signature: the mirror is whole again.
  ASSERT_EQ(m.On("attach " + Quote(m.Image(1))).rc, 0);
  EXPECT_NE(m.On("show").out.find("disk0/p1[0] disk2/p1[1]"), std::string::npos);
}
