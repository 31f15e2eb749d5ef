// The host on a booted machine: boot objects, the "mount" and "fsys" providers, and
// the alert log. The provider under development is not registered here.
#include <fstream>
#include <functional>

#include "host_fixture.h"
#include "internal.h"
#include "ntlow.h"
#include "ntplatform.h"
#include "testutil.h"

using namespace hosttest;
using testutil::MiB;

namespace {

std::u16string Str(ZM_OBJECT_ID id, const char* name) { return testutil::PropString(id, name); }

// A 64 MiB disk with two primary partitions (FAT16 on the first) and one
// CD-ROM drive.
class BootedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    blocks_ = zm::OutstandingBlocks();
    ASSERT_TRUE(testutil::Sfdisk(m_.image(0), "63,40000,6\n40095,40000,7\n"));
    ASSERT_EQ(testutil::Run("mkfs.fat -F 16 --offset 63 " + testutil::Quote(m_.image(0)) +
                            " 20000 >/dev/null 2>&1"),
              0);
    m_.Boot();
    db = zm::Database();
  }
  void TearDown() override {
    m_.Shutdown();
    EXPECT_EQ(zm::OutstandingBlocks(), blocks_);
  }
  // A volume over partition n of disk 0, as a provider would make it.
  ZM_OBJECT_ID Volume(unsigned n) {
    ZM_OBJECT_ID id = 0;
    EXPECT_EQ(ObCreateObject(db, nullptr, ZM_OBJ_VOLUME, &id), ZM_S_OK);
    std::u16string dev = u"\\Device\\Harddisk0\\Partition" + testutil::Widen(std::to_string(n));
    ZM_PROPERTY r{"\\Device\\", ZM_TYPE_STRING, 0, uint32_t((dev.size() + 1) * 2), dev.data()};
    EXPECT_EQ(ObSetProperty(db, id, &r), ZM_S_OK);
    return id;
  }
  // A "mount" request on a volume; the letter (when given) as a string, or as a number.
  ZMSTATUS Mount(ZM_OBJECT_ID id, uint32_t code, const char16_t* letter, bool asNumber = false) {
    ZM_HANDLE mount = nullptr;
    EXPECT_EQ(PrGetProviderByName(db, u"mount", &mount), ZM_S_OK);
    testutil::Props in, out;
    if (asNumber) testutil::AddU32(in, "DRIVE_LETTER", 7);
    if (letter != nullptr && !asNumber) testutil::AddString(in, "DRIVE_LETTER", letter);
    ZM_OBJECT_ID result = 0;
    return PrCallProvider(mount, id, OPCLASS_VOLUME, code, in, out, 0, 0, nullptr, nullptr, &result);
  }

  testutil::Machine m_{{64 * MiB}, 1};
  ZM_HANDLE db = nullptr;

 private:
  uint64_t blocks_ = 0;
};

TEST_F(BootedTest, BootObjectsDescribeTheMachine) {
  auto containers = testutil::Objects(ZM_OBJ_CONTAINER);
  auto roots = testutil::Objects(ZM_OBJ_VOLUME_ROOT);
  ASSERT_EQ(containers.size(), 1u);
  ASSERT_EQ(roots.size(), 1u);
  ZM_OBJECT_ID disk = testutil::DiskObject(0);
  ASSERT_NE(disk, 0u);
  EXPECT_EQ(testutil::Parents(disk), (std::vector<ZM_OBJECT_ID>{containers[0]}));
  ntp::DiskInfo info = ntp::Disks()[0];
  EXPECT_EQ(testutil::PropU64(disk, "LENGTH_LL"), 64 * MiB);
  EXPECT_EQ(testutil::PropU64(disk, "SIGNATURE"), info.signature);
  // A boolean (the host takes one only as one byte), as the menus read it.
  EXPECT_EQ(testutil::ValueType(disk, "REMOVABLE"), uint32_t(ZM_TYPE_BOOL));

  // The CD-ROM is a volume below the container and a severity group of the root,
  // with its boot letter.
  auto vols = testutil::Objects(ZM_OBJ_VOLUME);
  ASSERT_EQ(vols.size(), 1u);
  EXPECT_EQ(Str(vols[0], "\\Device\\"), u"\\Device\\CdRom0");
  auto groups = testutil::Children(roots[0]);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(testutil::Parents(vols[0]), (std::vector<ZM_OBJECT_ID>{groups[0], containers[0]}));
  std::u16string letter = Str(vols[0], "DRIVE_LETTER");
  ASSERT_EQ(letter.size(), 2u);
  EXPECT_EQ(ntp::DriveLetterTarget(char(letter[0])), u"\\Device\\CdRom0");

  // Every new volume hangs below one group.
  ZM_OBJECT_ID v = Volume(1);
  EXPECT_EQ(testutil::Parents(v), (std::vector<ZM_OBJECT_ID>{groups[0]}));
}

// The provider keeps each group's severity; the host keeps the root at the highest of
// its groups, whatever writes the groups or the root receive and however groups fill.
TEST_F(BootedTest, HealthIsTheHighestSeverityOfTheGroups) {
  ZM_OBJECT_ID root = testutil::Objects(ZM_OBJ_VOLUME_ROOT).at(0);
  std::vector<ZM_OBJECT_ID> vols;
  for (int i = 0; i < 40; ++i) vols.push_back(Volume(1));  // with the CD-ROM: 16 + 16 + 9
  auto groups = testutil::Children(root);
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(testutil::Objects(ZM_OBJ_SEVERITY_ROOT), groups);
  for (ZM_OBJECT_ID g : groups) EXPECT_LE(testutil::Children(g).size(), 16u);
  auto set = [&](ZM_OBJECT_ID id, uint32_t v) { return hosttest::SetU32(db, id, "SEVERITY", v); };
  struct {
    ZM_OBJECT_ID object;
    uint32_t severity;
    uint64_t health;
  } steps[] = {
      {groups[0], 2, 2}, {groups[1], 1, 2}, {groups[0], 0, 1},
      {root, 0, 1},  // a stale write of the root itself is corrected at once
      {groups[2], 3, 3}, {groups[2], 0, 1}, {groups[1], 0, 0},
  };
  for (const auto& s : steps) {
    ASSERT_EQ(set(s.object, s.severity), ZM_S_OK);
    EXPECT_EQ(testutil::PropU64(root, "SEVERITY"), s.health) << s.object << " = " << s.severity;
  }
  // A group that goes takes its severity with it.
  ASSERT_EQ(set(groups[1], 2), ZM_S_OK);
  ASSERT_EQ(ObDeleteObject(db, groups[1]), ZM_S_OK);
  EXPECT_EQ(testutil::PropU64(root, "SEVERITY"), 0u);

  // A deleted volume frees a place in its group, which the next volume takes.
  ASSERT_EQ(ObDeleteObject(db, vols[5]), ZM_S_OK);
  ZM_OBJECT_ID v = Volume(2);
  EXPECT_EQ(testutil::Parents(v), (std::vector<ZM_OBJECT_ID>{groups[0]}));
  EXPECT_EQ(testutil::Children(groups[0]).size(), 16u);
}

TEST_F(BootedTest, MountAssignsMovesAndRemovesLettersAndRefusesConflicts) {
  ZM_OBJECT_ID v1 = Volume(1), v2 = Volume(2);
  const std::u16string dev1 = u"\\Device\\Harddisk0\\Partition1";
  // Boot gave the two partitions C: and D:, refreshed into the volumes.
  ASSERT_EQ(Mount(v1, OP_REFRESH, nullptr), ZM_S_OK);
  EXPECT_EQ(Str(v1, "DRIVE_LETTER"), u"C:");
  EXPECT_EQ(Str(v2, "DRIVE_LETTER"), u"D:");

  EXPECT_EQ(Mount(v1, OP_ASSIGN_DRIVE_LETTER, u"D:"), ZM_E_LETTER_IN_USE);
  EXPECT_EQ(ntp::DriveLetterTarget('C'), dev1);
  const std::pair<const char16_t*, ZMSTATUS> bad[] = {{u"B:", ZM_E_BAD_LETTER},
                                                      {u"EF", ZM_E_BAD_LETTER},
                                                      {u"[:", ZM_E_BAD_LETTER},
                                                      {nullptr, ZM_E_NO_PROPERTY}};
  for (const auto& [letter, want] : bad)
    EXPECT_EQ(Mount(v1, OP_ASSIGN_DRIVE_LETTER, letter), want) << (letter ? testutil::Narrow(letter) : "-");
  EXPECT_EQ(Mount(v1, OP_ASSIGN_DRIVE_LETTER, u"E:", true), E_INVALIDARG_ZM);
  EXPECT_EQ(Mount(v2 + 100, OP_ASSIGN_DRIVE_LETTER, u"H:"), ZM_E_NO_OBJECT);
  EXPECT_EQ(ntp::DriveLetterTarget('H'), u"");
  EXPECT_EQ(Str(v1, "DRIVE_LETTER"), u"C:");

  // A new letter replaces the old one; lower case is accepted. (E: is the CD-ROM's.)
  EXPECT_EQ(Mount(v1, OP_ASSIGN_DRIVE_LETTER, u"E:"), ZM_E_LETTER_IN_USE);
  ASSERT_EQ(Mount(v1, OP_ASSIGN_DRIVE_LETTER, u"f"), ZM_S_OK);
  EXPECT_EQ(Str(v1, "DRIVE_LETTER"), u"F:");
  EXPECT_EQ(ntp::DriveLetterTarget('C'), u"");

  ASSERT_EQ(Mount(v1, OP_REMOVE_DRIVE_LETTER, nullptr), ZM_S_OK);
  EXPECT_EQ(ntp::DriveLetterTarget('F'), u"");
  EXPECT_EQ(Str(v1, "DRIVE_LETTER"), u"");
  EXPECT_EQ(ntp::DriveLetterTarget('D'), u"\\Device\\Harddisk0\\Partition2") << "other volume untouched";

  // A link changed behind the host's back shows after a refresh.
  ASSERT_EQ(ntp::RemoveDriveLetter('D'), 0);
  ASSERT_EQ(ntp::DefineDriveLetter('G', dev1), 0);
  ASSERT_EQ(Mount(v2, OP_REFRESH, nullptr), ZM_S_OK);
  EXPECT_EQ(Str(v1, "DRIVE_LETTER"), u"G:");
  EXPECT_EQ(Str(v2, "DRIVE_LETTER"), u"");
}

// Initialisation-complete publishes letters and file systems. Partitions are probed
// once per boot; a write to their disk makes the next refresh look again, so a file
// system made by a request shows.
TEST_F(BootedTest, InitialisationCompletePublishesAndFileSystemsAreProbedOnceUntilTheirDiskIsWritten) {
  ZM_OBJECT_ID v1 = Volume(1), v2 = Volume(2);
  auto probes = [&](const std::function<void()>& step) {
    uint64_t before = zmi::VolumeProbes();
    step();
    return zmi::VolumeProbes() - before;
  };
  auto refresh = [&] {
    EXPECT_EQ(zmi::FsysControl(0, 0, OP_REFRESH, nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr), ZM_S_OK);
  };
  EXPECT_FALSE(testutil::HasProp(v1, "DRIVE_LETTER"));
  // The pass's node changes come first, one per volume, then the event, whose receivers
  // see the letters and file systems published.
  Rec().Reset();
  std::string err;
  ASSERT_NE(zm::RegisterProvider(&RecorderEntry, u"rec", &err), nullptr) << err;
  uint32_t token = 0;
  for (const GUID* g : {&GUID_ZMINITIALIZATION_COMPLETE, &GUID_DB_NODE_CHANGE_GUID})
    ASSERT_EQ(EvRegisterEvent(Rec().prov, g, &token), ZM_S_OK);
  std::atomic<bool> complete{false};
  Rec().onNotify = [&](const _Zm_Notification_Header* h) {
    if (SameGuid(h->EventGuid, GUID_ZMINITIALIZATION_COMPLETE))
      complete = testutil::HasProp(v1, "FILE_SYSTEM") && testutil::HasProp(v2, "DRIVE_LETTER");
  };
  EXPECT_EQ(probes(&zm::InitializationComplete), 2u);
  zm::WaitIdle();
  Rec().onNotify = nullptr;
  auto seen = Rec().Take();
  ASSERT_EQ(seen.size(), 3u) << "one node change per volume and the event";
  EXPECT_TRUE(SameGuid(seen[0].guid, GUID_DB_NODE_CHANGE_GUID));
  EXPECT_TRUE(SameGuid(seen[2].guid, GUID_ZMINITIALIZATION_COMPLETE)) << "the last of the boot";
  EXPECT_TRUE(complete);
  EXPECT_EQ(probes(refresh), 0u);
  EXPECT_EQ(Str(v1, "DRIVE_LETTER"), u"C:");
  EXPECT_EQ(Str(v2, "DRIVE_LETTER"), u"D:");
  EXPECT_EQ(Str(v1, "FILE_SYSTEM"), u"FAT");
  EXPECT_EQ(Str(v2, "FILE_SYSTEM"), u"RAW");

  // Partition 1's boot sector copied to partition 2 through the disk device.
  std::vector<uint8_t> boot(512);
  ASSERT_TRUE(ntp::ReadDiskBytes(0, 63 * 512, boot.data(), boot.size()));
  HANDLE h = nullptr;
  ASSERT_EQ(LowOpenPartition(u"\\Device\\Harddisk0", 2, GENERIC_READ | GENERIC_WRITE, &h), STATUS_SUCCESS);
  EXPECT_EQ(LowWriteSectors(h, 512, 0, 1, boot.data()), STATUS_SUCCESS);
  NtClose(h);
  EXPECT_EQ(probes(refresh), 2u);
  EXPECT_EQ(Str(v1, "FILE_SYSTEM"), u"FAT");
  EXPECT_EQ(Str(v2, "FILE_SYSTEM"), u"FAT");
}

TEST_F(BootedTest, RaisedAlertsAreAppendedToTheMachinesLog) {
  std::string err;
  ZM_HANDLE prov = zm::RegisterProvider(&RecorderEntry, u"rec", &err);
  ASSERT_NE(prov, nullptr) << err;
  const GUID kind{0x93B228B6, 0x2B64, 0x11D3, {0xB7, 0x4B, 0x00, 0x10, 0x5A, 0x24, 0xBF, 0xBF}};
  ZM_OBJECT_ID id = 0, again = 0;
  GUID cat = PrGetMessageCatalog(prov);
  EXPECT_EQ(GetAlertObjectId(&kind, &id), ZM_E_NO_ALERT);
  ASSERT_EQ(ZmRegisterAlertObject(db, prov, &kind, 1, &cat, 0x41100320, "Created \"Partition\"", &id, 0),
            ZM_S_OK);
  EXPECT_EQ(GetAlertObjectId(&kind, &again), ZM_S_OK);
  EXPECT_EQ(again, id);
  EXPECT_EQ(ZmRaiseAlert(prov, id + 1000, 0), ZM_E_NO_ALERT);
  // A line cut by an earlier crash stays a line of its own; a failed append is
  // counted and leaves the log as it was.
  std::ofstream(m_.dir() + "/alerts.log") << "{\"time\":1,\"sev";
  const uint64_t failed = zm::FailedAlertAppends().count;
  ASSERT_EQ(ZmRaiseAlert(prov, id, 1, u"Disk 0 \u00e9"), ZM_S_OK);
  zm::InjectFault("AlertsLogAppend", 1, ZM_E_FAIL);
  ASSERT_EQ(ZmRaiseAlert(prov, id, 1, u"lost"), ZM_S_OK);
  EXPECT_EQ(zm::FailedAlertAppends().count, failed + 1);
  ASSERT_EQ(ZmRaiseAlert(prov, id, 1, static_cast<const WCHAR*>(nullptr)), ZM_S_OK);  // reads as empty
  std::ifstream log(m_.dir() + "/alerts.log");
  std::string line;
  std::getline(log, line);
  EXPECT_EQ(line, "{\"time\":1,\"sev");
  std::vector<nlohmann::json> lines;
  while (std::getline(log, line)) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["severity"], 1);
  EXPECT_EQ(lines[0]["kind"], "{93B228B6-2B64-11D3-B74B-00105A24BFBF}");
  EXPECT_EQ(lines[0]["message_id"], "0x41100320");
  EXPECT_EQ(lines[0]["inserts"], nlohmann::json::array({"Disk 0 \u00e9"}));
  EXPECT_EQ(lines[1]["inserts"], nlohmann::json::array({""}));
}

}  // namespace
