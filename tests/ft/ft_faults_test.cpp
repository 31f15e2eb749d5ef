// FT operations under failing host and platform calls, and their host allocations.
#include <gtest/gtest.h>

#include "diskreg.h"
#include "fdiskreg.h"
#include "ftdisk.h"
#include "ftfixture.h"
#include "ftinfo.h"
#include "ntlow.h"
#include "provider.h"

using namespace ftt;

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
  ASSERT_EQ(0u, Letter(machine->Provider(), FtVolumes().at(0), u"X:"));
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
  for (unsigned i = 1; i <= 200; ++i) zm::InjectFault("PsCreatePropset", i, ZM_E_FAIL);  // every one
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
  const blobtest::Member m = r.sets[0].members[1];
  EXPECT_EQ(uint32_t(Mirror), r.disks.at(m.disk).parts.at(m.part).ftType);
  EXPECT_EQ(Q1.start, r.disks.at(m.disk).parts.at(m.part).start);
}

// The configuration through the registry: nothing stored is told apart from a value
// that is malformed (its position named) or cannot be read; neither is ever replaced,
// an empty configuration is never written, and bytes past the used length are not.
TEST_F(FtFaultTest, ConfigurationLoadedAndStoredThroughTheRegistry) {
  ftblob::Erase();
  FTInfo info;
  EXPECT_FALSE(info.Load(nullptr, 0));
  EXPECT_EQ(info.LastLoadResult(), FTLoadResult::NotStored);
  EXPECT_FALSE(info.Store());
  EXPECT_TRUE(ftblob::Stored().empty());

  const std::vector<uint8_t> mirror = ftblob::Build(MirrorConfig());
  std::vector<uint8_t> blob = mirror;
  blob.resize(blob.size() + 12, 0xAB);
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  ASSERT_TRUE(info.Store());
  EXPECT_EQ(ftblob::Stored(), mirror);
  FTInfo back;
  ASSERT_TRUE(back.Load(nullptr, 0));
  EXPECT_EQ(back.LastLoadResult(), FTLoadResult::Loaded);
  EXPECT_EQ(blobtest::Bytes(back), mirror);

  std::vector<uint8_t> bad = mirror;
  blobtest::Put32(bad, bad.size() - 8, 4000);  // a member pointing past the end
  ftblob::Store(bad);
  const std::vector<uint8_t> scan = ftblob::Build({{{Signature(0), {Plain(P1)}}}, {}});
  FTInfo unread, failed;
  EXPECT_FALSE(unread.Load(nullptr, 0));
  EXPECT_EQ(unread.LastLoadResult(), FTLoadResult::Malformed);
  EXPECT_NE(unread.LastLoadError().find(std::to_string(bad.size() - 8)), std::string::npos)
      << unread.LastLoadError();
  EXPECT_FALSE(unread.Rebuild(scan.data(), uint32_t(scan.size())));
  EXPECT_FALSE(unread.Store());
  EXPECT_EQ(ftblob::Stored(), bad);

  ftblob::Store(mirror);
  ntp::InjectFault("RegQueryValueExW", 2, ERROR_ACCESS_DENIED);  // the read after the size query
  EXPECT_FALSE(failed.Load(nullptr, 0));
  EXPECT_EQ(failed.LastLoadResult(), FTLoadResult::ReadFailed);
  EXPECT_FALSE(failed.Rebuild(scan.data(), uint32_t(scan.size())));  // what is stored is unknown
}
