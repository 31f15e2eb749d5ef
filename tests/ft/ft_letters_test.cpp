// Drive letters of FT volumes, partition volumes and CD-ROMs recorded in the registry.
#include <gtest/gtest.h>

#include "diskreg.h"
#include "fdiskreg.h"
#include "ftdisk.h"
#include "ftfixture.h"
#include "ntlow.h"
#include "provider.h"
#include "registry_store.h"

using namespace ftt;
using FtLetters = FtTest;
using testutil::PropU64;

namespace {

const ftblob::Part& RecordAt(const ftblob::Config& c, unsigned disk, unsigned part) {
  return c.disks.at(disk).parts.at(part);
}

}  // namespace

// A letter given to an FT volume is recorded for every member, with the assign flag on
// member 0 only; a partition volume's letter is patched into its record, and when its
// partition has no record the request fails with 0xC1100001, nothing is written and the
// running letter is put back. The next boot gives the letters recorded; removing them
// records ' ', and the boot after that gives none.
TEST_F(FtLetters, LettersOfFtAndPartitionVolumesAreRecordedAndSurviveReboots) {
  ASSERT_EQ(0u, Publish(MirrorConfig()));
  ZM_HANDLE provider = machine->Provider();
  const ZM_OBJECT_ID p2Volume = testutil::Parents(Partition(0, 2), ZM_OBJ_VOLUME).at(0);
  const ZM_OBJECT_ID q2Volume = testutil::Parents(Partition(1, 2), ZM_OBJ_VOLUME).at(0);
  for (ZM_OBJECT_ID v : {p2Volume, q2Volume})  // no letter to begin with
    if (!testutil::PropString(v, "DRIVE_LETTER").empty()) Letter(provider, v, nullptr);
  ASSERT_EQ(0u, Letter(provider, FtVolumes().at(0), u"K:"));
  ASSERT_EQ(0u, Letter(provider, p2Volume, u"T:"));
  ftblob::Config r = ftblob::Parse(ftblob::Stored());
  EXPECT_EQ('K', RecordAt(r, 0, 0).letter);
  EXPECT_EQ(1u, RecordAt(r, 0, 0).assign);
  EXPECT_EQ('K', RecordAt(r, 1, 0).letter);
  EXPECT_EQ(0u, RecordAt(r, 1, 0).assign);
  EXPECT_EQ('T', RecordAt(r, 0, 1).letter);
  EXPECT_EQ(1u, RecordAt(r, 0, 1).assign);

  // Q2 has no record in the stored configuration.
  const std::vector<uint8_t> before = ftblob::Stored();
  EXPECT_EQ(0xC1100001u, Letter(provider, q2Volume, u"U:"));
  EXPECT_EQ(before, ftblob::Stored());
  // "mount" had given the letter already: it is taken back, as nothing was recorded.
  EXPECT_EQ(u"", ntp::DriveLetterTarget('U'));
  EXPECT_NE(u"U:", testutil::PropString(q2Volume, "DRIVE_LETTER"));

  machine->Reboot();
  provider = machine->Provider();
  EXPECT_EQ(u"\\Device\\Harddisk0\\Partition1", ntp::DriveLetterTarget('K'));
  EXPECT_EQ(u"\\Device\\Harddisk0\\Partition2", ntp::DriveLetterTarget('T'));
  ASSERT_EQ(1u, FtVolumes().size());
  // Rebuilds keep the removals: the partition's behind the still lettered mirror, then the mirror's.
  ASSERT_EQ(0u, Letter(provider, testutil::Parents(Partition(0, 2), ZM_OBJ_VOLUME).at(0), nullptr));
  ASSERT_EQ(0u, fdRebuildRegistry());
  EXPECT_EQ(' ', RecordAt(ftblob::Parse(ftblob::Stored()), 0, 1).letter);
  ASSERT_EQ(0u, Letter(provider, FtVolumes().at(0), nullptr));
  ASSERT_EQ(0u, fdRebuildRegistry());
  r = ftblob::Parse(ftblob::Stored());
  for (auto [disk, part] : {std::pair{0, 0}, {1, 0}, {0, 1}}) {
    EXPECT_EQ(' ', RecordAt(r, disk, part).letter);
    EXPECT_EQ(0u, RecordAt(r, disk, part).assign);
  }
  machine->Reboot();
  machine->Provider();
  for (char l = 'C'; l <= 'Z'; ++l) {
    EXPECT_NE(u"\\Device\\Harddisk0\\Partition1", ntp::DriveLetterTarget(l)) << l;
    EXPECT_NE(u"\\Device\\Harddisk0\\Partition2", ntp::DriveLetterTarget(l)) << l;
  }
}

// Requests that must not reach "mount" or the registry: wrong objects, a letter that
// is no string, a set that is gone; and one that "mount" refuses.
TEST_F(FtLetters, RefusedRequestsLeaveTheRegistryUntouched) {
  ASSERT_EQ(0u, Publish(MirrorConfig()));
  const std::vector<uint8_t> before = ftblob::Stored();
  const ZM_OBJECT_ID volume = FtVolumes().at(0);
  auto call = [&](ZM_OBJECT_ID id, uint32_t code, ZM_PROPSET in) {
    ZM_OBJECT_ID result = 0;
    return FtDiskAssignDriveLetter(id, OPCLASS_VOLUME, code, in, nullptr, 0, nullptr, nullptr, &result);
  };
  testutil::Props in, number, empty, badLetter;
  testutil::AddString(in, "DRIVE_LETTER", u"L:");
  EXPECT_EQ(E_INVALIDARG_ZM, call(Partition(0, 1), OP_ASSIGN_DRIVE_LETTER, in));
  EXPECT_EQ(E_INVALIDARG_ZM, call(testutil::DiskObject(0), OP_ASSIGN_DRIVE_LETTER, in));
  testutil::AddU32(number, "DRIVE_LETTER", 'L');
  EXPECT_EQ(E_INVALIDARG_ZM, call(volume, OP_ASSIGN_DRIVE_LETTER, number));
  EXPECT_TRUE(ZM_FAILED(call(volume, OP_ASSIGN_DRIVE_LETTER, empty)));

  // "mount" refuses a letter outside C to Z: its status, nothing recorded.
  testutil::AddString(badLetter, "DRIVE_LETTER", u"1:");
  EXPECT_TRUE(ZM_FAILED(call(volume, OP_ASSIGN_DRIVE_LETTER, badLetter)));
  EXPECT_EQ(before, ftblob::Stored());

  // The set is gone from the configuration: "mount" is never asked.
  const std::vector<uint8_t> noSets = ftblob::Build({{{Signature(0), {Plain(P1), Plain(P2)}}}, {}});
  ftblob::Store(noSets);
  EXPECT_EQ(0xC1100002u, call(volume, OP_ASSIGN_DRIVE_LETTER, in));
  EXPECT_EQ(u"", ntp::DriveLetterTarget('L'));
  EXPECT_EQ(noSets, ftblob::Stored());
}

// A CD-ROM's letter is stored under its device name. A failed write is reported and
// the drive unlocked again; a drive that cannot be locked gets nothing written.
TEST(FtCdrom, LetterStoredUnderTheDeviceNameAndTheDriveUnlocked) {
  testutil::Machine m({16 * testutil::MiB}, 1);
  m.Boot();
  ZM_HANDLE provider = m.Provider();
  const ZM_OBJECT_ID cdrom = CdromVolume();
  ASSERT_NE(0u, cdrom);
  // No partition on the machine: a stored set finds no member and leaves no volume.
  ftblob::Store(ftblob::Build(
      {{{0x0BADD15C, {Member(P1, Mirror, 0, 0)}}}, {ftblob::FtSet(Mirror, FtStateOk, {{0, 0}})}}));
  EXPECT_EQ(0u, AddFtObjectsToDatabase());
  EXPECT_EQ(std::vector<ZM_OBJECT_ID>{cdrom}, testutil::Objects(ZM_OBJ_VOLUME));
  const std::u16string device = testutil::PropString(cdrom, "\\Device\\");
  const std::u16string key = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";
  if (!testutil::PropString(cdrom, "DRIVE_LETTER").empty()) {
    ASSERT_EQ(0u, Letter(provider, cdrom, nullptr));
  }
  ASSERT_EQ(0u, Letter(provider, cdrom, u"R:"));
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(ntp::reg::GetValue(key, device, &type, &data));
  EXPECT_EQ(uint32_t(REG_SZ), type);
  EXPECT_EQ((std::vector<uint8_t>{'R', 0, ':', 0, 0, 0}), data);

  ntp::SetSleepHook([](DWORD) {});
  for (unsigned i = 1; i <= 10; ++i) ntp::InjectFault("FSCTL_LOCK_VOLUME", i, STATUS_ACCESS_DENIED);
  EXPECT_EQ(0xC1000018u, UpdateCdromDriveLetter(cdrom));
  ntp::ClearFaults();

  ASSERT_EQ(0u, Letter(provider, cdrom, nullptr));
  ntp::InjectFault("NtSetValueKey", 1, STATUS_ACCESS_DENIED);
  ntp::InjectFault("FSCTL_UNLOCK_VOLUME", 1, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(0xC1100001u, Letter(provider, cdrom, u"S:"));
  ASSERT_TRUE(ntp::reg::GetValue(key, device, &type, &data));
  EXPECT_NE('S', data.at(0));
  // The unlock was asked for: its armed fault is spent, so this unlock succeeds.
  HANDLE h = nullptr;
  ASSERT_EQ(0, LowOpenNtName(device.c_str(), FILE_READ_DATA, &h, 0));
  ASSERT_EQ(0, LowLockDrive(h));
  EXPECT_EQ(0, LowUnlockDrive(h));
  NtClose(h);
  ntp::ClearFaults();
  ntp::SetSleepHook(nullptr);
}

// One partition on the machine: a set over it hangs below the container all the same.
TEST(FtSingle, ASetOverTheOnlyPartitionHangsBelowTheContainer) {
  testutil::Machine m({16 * testutil::MiB});
  ASSERT_TRUE(testutil::Sfdisk(m.image(0), "label: dos\nstart=63, size=16002, type=7\n"));
  m.Boot();
  m.Provider();
  const auto signature = uint32_t(PropU64(testutil::DiskObject(0), "SIGNATURE"));
  ftblob::Store(
      ftblob::Build({{{signature, {Member(P1, Mirror, 0, 0)}}, {0x0BADD15C, {Member(Q1, Mirror, 0, 1)}}},
                     {ftblob::FtSet(Mirror, FtHasOrphan, {{0, 0}, {1, 0}})}}));
  EXPECT_EQ(0u, AddFtObjectsToDatabase());
  size_t linked = 0;  // container links of the mirror volume
  for (ZM_OBJECT_ID v : testutil::Objects(ZM_OBJ_VOLUME))
    if (PropU64(v, "LDM_VOLUME_TYPE") == 7) linked += testutil::Parents(v, ZM_OBJ_CONTAINER).size();
  EXPECT_EQ(1u, linked);
}
