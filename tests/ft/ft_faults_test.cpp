// FT operations under failing host and platform calls, and their host allocations.
#include <gtest/gtest.h>

#include "diskreg.h"
#include "fdiskreg.h"
#include "ftdisk.h"
#include "ftfixture.h"
#include "ntlow.h"
#include "provider.h"

using namespace ftt;

namespace {

// Makes the next n calls of a host operation fail, whoever makes them.
void FailHost(const char* operation, unsigned n) {
  for (unsigned i = 1; i <= n; ++i) zm::InjectFault(operation, i, ZM_E_FAIL);
}

}  // namespace

class FtFaultTest : public FtTest {
 protected:
  void TearDown() override {
    zm::ClearFaults();
    ntp::ClearFaults();
    ntp::SetSleepHook(nullptr);
    FtTest::TearDown();
  }
};

// Publishing, rebuilding and recording letters give back every host block they take.
TEST_F(FtFaultTest, EveryHostBlockIsReleased) {
  StoreMirror();
  zm::WaitIdle();
  const uint64_t before = zm::OutstandingBlocks();
  ASSERT_EQ(0u, AddFtObjectsToDatabase());
  ASSERT_EQ(0u, AddFtObjectsToDatabase());
  UpdateRegistry();
  ASSERT_EQ(0u, fdRebuildRegistry());
  const ZM_OBJECT_ID p2Volume = testutil::Parents(Partition(0, 2), ZM_OBJ_VOLUME).at(0);
  UpdateDriveLetter(p2Volume);
  ZM_OBJECT_ID result = 0;
  ZM_PROPSET in = nullptr;
  PsCreatePropset(&in);
  testutil::AddString(in, "DRIVE_LETTER", u"X:");
  ASSERT_EQ(0u, FtDiskAssignDriveLetter(FtVolumes().at(0), OPCLASS_VOLUME, OP_ASSIGN_DRIVE_LETTER, in,
                                        nullptr, 0, nullptr, nullptr, &result));
  PsDestroyPropset(in);
  _DISK_REGISTRY* area = nullptr;
  ASSERT_EQ(0u, fdReadRegistry(&area));
  _ZmFree(area, __FILE__, __LINE__);
  zm::WaitIdle();
  EXPECT_EQ(before, zm::OutstandingBlocks());
}

// A new volume object whose properties cannot be set is deleted again rather than left
// without the type and group that would let the next pass find it.
TEST_F(FtFaultTest, NewVolumeWithoutPropertiesIsNotLeftBehind) {
  StoreMirror();
  zm::WaitIdle();
  const size_t volumes = testutil::Objects(ZM_OBJ_VOLUME).size();
  FailHost("PsCreatePropset", 200);
  EXPECT_TRUE(ZM_FAILED(AddFtObjectsToDatabase()));
  zm::ClearFaults();
  EXPECT_EQ(volumes, testutil::Objects(ZM_OBJ_VOLUME).size());
  EXPECT_EQ(0u, AddFtObjectsToDatabase());
  EXPECT_EQ(1u, FtVolumes().size());
  // One mirror in place of the two placeholder volumes of its members.
  EXPECT_EQ(volumes - 1, testutil::Objects(ZM_OBJ_VOLUME).size());
}

// A failed wait for the FT mutex does nothing; a failed store is reported and leaves
// the stored configuration as it was.
TEST_F(FtFaultTest, MutexAndStoreFailures) {
  StoreMirror();
  const std::vector<uint8_t> stored = ftblob::Stored();
  ntp::InjectFault("WaitForSingleObject", 1, 0);
  EXPECT_EQ(ZM_E_FAIL, AddFtObjectsToDatabase());
  EXPECT_TRUE(FtVolumes().empty());

  ntp::InjectFault("RegSetValueExW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(0xC1100001u, FtRebuild(nullptr, 0));
  ntp::ClearFaults();
  EXPECT_EQ(stored, ftblob::Stored());

  // The rebuild that follows the failed one stores the disks with the mirror kept.
  ASSERT_EQ(0u, fdRebuildRegistry());
  const ftblob::Config r = ftblob::Parse(ftblob::Stored());
  ASSERT_EQ(1u, r.sets.size());
  ASSERT_EQ(2u, r.sets[0].members.size());
  const ftblob::MemberRef m = r.sets[0].members[1];
  EXPECT_EQ(uint32_t(Mirror), r.disks.at(m.disk).parts.at(m.part).ftType);
  EXPECT_EQ(Q1.offset, r.disks.at(m.disk).parts.at(m.part).offset);
}

// A CD-ROM that cannot be locked gets nothing written; a failed write still unlocks it.
TEST(FtCdromFaults, LockAndUnlock) {
  testutil::Machine m({16 * testutil::MiB}, 1);
  m.Boot();
  m.Provider();
  ZM_OBJECT_ID cdrom = 0;
  for (ZM_OBJECT_ID v : testutil::Objects(ZM_OBJ_VOLUME))
    if (testutil::PropU64(v, "LDM_VOLUME_TYPE") == 4) cdrom = v;
  ASSERT_NE(0u, cdrom);
  const std::u16string device = testutil::PropString(cdrom, "\\Device\\");
  ntp::SetSleepHook([](DWORD) {});

  for (unsigned i = 1; i <= 10; ++i) ntp::InjectFault("FSCTL_LOCK_VOLUME", i, STATUS_ACCESS_DENIED);
  EXPECT_EQ(0xC1000018u, UpdateCdromDriveLetter(cdrom));
  ntp::ClearFaults();

  ntp::InjectFault("NtSetValueKey", 1, STATUS_ACCESS_DENIED);
  ntp::InjectFault("FSCTL_UNLOCK_VOLUME", 1, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(0xC1100001u, UpdateCdromDriveLetter(cdrom));
  // The unlock was asked for: its armed fault is spent, so this unlock succeeds.
  HANDLE h = nullptr;
  ASSERT_EQ(0, LowOpenNtName(device.c_str(), FILE_READ_DATA, &h, 0));
  ASSERT_EQ(0, LowLockDrive(h));
  EXPECT_EQ(0, LowUnlockDrive(h));
  NtClose(h);
  ntp::ClearFaults();
  ntp::SetSleepHook(nullptr);
}
