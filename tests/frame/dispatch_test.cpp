// Start-up, shut-down and request dispatch against a booted machine and the real host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine.h"
#include "provider.h"
#include "testutil.h"

namespace {

using namespace testutil;

ZMSTATUS Control(ZM_OBJECT_ID id, uint32_t cls, uint32_t code, ZM_PROPSET in = nullptr,
                 ZM_PROPSET out = nullptr) {
  ZM_OBJECT_ID result = 0;
  return FtDiskControl(id, cls, code, in, out, 0, 0, nullptr, nullptr, &result);
}

// Host calls that any handler would make; an unserved request must make none.
uint64_t Touches() {
  return zm::CallCount("DbLockDatabase") + zm::CallCount("DbGetObjects") + zm::CallCount("ObGetProperty") +
         zm::CallCount("PrCallProvider");
}

class Frame : public ::testing::Test {
 protected:
  Frame() : machine_({64 * MiB}, 1) {}
  void SetUp() override {
    machine_.Boot();
    machine_.Provider();
    zm::WaitIdle();
    blocks_ = zm::OutstandingBlocks();
  }
  // Every request releases every host block it obtained.
  void TearDown() override {
    for (ZM_PROPSET set : sets_) PsDestroyPropset(set);
    zm::WaitIdle();
    EXPECT_EQ(zm::OutstandingBlocks(), blocks_);
    zm::ClearFaults();
    ntp::ClearFaults();
  }
  // A property set with one drive letter; freed with the test.
  ZM_PROPSET Letter(const char16_t* letter) {
    ZM_PROPSET set = nullptr;
    EXPECT_EQ(PsCreatePropset(&set), 0u);
    testutil::AddString(set, "DRIVE_LETTER", letter);
    sets_.push_back(set);
    return set;
  }
  ZM_OBJECT_ID NewVolume(uint32_t volumeType) {
    ZM_OBJECT_ID v = 0;
    EXPECT_EQ(ObCreateObject(zm::Database(), ghProvider, ZM_OBJ_VOLUME, &v), 0u);
    SetU32(v, "LDM_VOLUME_TYPE", volumeType);
    return v;
  }
  Machine machine_;
  uint64_t blocks_ = 0;
  std::vector<ZM_PROPSET> sets_;
};

TEST_F(Frame, InitRegistersFourEventsAndSixAlertKinds) {
  // The fixture's boot ran FtDiskInit; a second provider instance must do the same again.
  uint64_t events = zm::CallCount("EvRegisterEvent"), alerts = zm::CallCount("ZmRegisterAlertObject");
  ASSERT_EQ(FtDiskInit(zm::Database(), ghProvider, 0, 0), 0u);
  EXPECT_EQ(zm::CallCount("EvRegisterEvent") - events, 4u);
  EXPECT_EQ(zm::CallCount("ZmRegisterAlertObject") - alerts, 6u);
  EXPECT_EQ(bDoneInitializing, 1);
  // The kinds under their published identities (alerts.log names them), 93B228B6-... to 93B228BB-....
  for (uint32_t first = 0x93B228B6; first <= 0x93B228BB; ++first) {
    const GUID kind{first, 0x2B64, 0x11D3, {0xB7, 0x4B, 0x00, 0x10, 0x5A, 0x24, 0xBF, 0xBF}};
    ZM_OBJECT_ID id = 0;
    EXPECT_EQ(GetAlertObjectId(&kind, &id), ZM_S_OK) << std::hex << first;
  }
  // Failures after the version check do not stop the start-up.
  zm::InjectFault("EvRegisterEvent", 1, ZM_E_FAIL);
  zm::InjectFault("ZmRegisterAlertObject", 2, ZM_E_FAIL);
  zm::InjectFault("DbGetObjects", 1, ZM_E_FAIL);
  EXPECT_EQ(FtDiskInit(zm::Database(), ghProvider, 0, 0), 0u);

  // On a newer system the start is refused and nothing is registered or scanned.
  zm::ClearFaults();
  ntp::SetOsVersion(5, 0, 2195);
  bDoneInitializing = 0;
  events = zm::CallCount("EvRegisterEvent");
  uint64_t lists = zm::CallCount("DbGetObjects");
  EXPECT_EQ(FtDiskInit(zm::Database(), ghProvider, 0, 0), ZM_E_FAIL);
  EXPECT_EQ(zm::CallCount("EvRegisterEvent"), events);
  EXPECT_EQ(zm::CallCount("DbGetObjects"), lists);
  EXPECT_EQ(bDoneInitializing, 0);
  ntp::SetOsVersion(4, 0, 1381);
}

TEST_F(Frame, UnservedClassesAndCodesAreRefusedWithoutTouchingAnything) {
  const struct {
    uint32_t cls, code;
    ZMSTATUS expected;
  } cases[] = {
      {0, 10001, E_INVALIDARG_ZM},     {10000, 10040, E_INVALIDARG_ZM}, {10001, 10001, E_INVALIDARG_ZM},
      {10001, 10039, E_INVALIDARG_ZM}, {10001, 10041, E_INVALIDARG_ZM}, {10002, 10001, E_INVALIDARG_ZM},
      {10001, 10010, E_NOTIMPL_ZM},
  };
  ZM_OBJECT_ID disk = testutil::DiskObject(0);
  for (const auto& c : cases) {
    uint64_t before = Touches();
    EXPECT_EQ(Control(disk, c.cls, c.code), c.expected) << c.cls << "/" << c.code;
    EXPECT_EQ(Touches(), before) << c.cls << "/" << c.code;
  }
}

TEST_F(Frame, RefreshCodesServeAnyClassUnderTheLock) {
  for (uint32_t code : {1u, 2u}) {
    uint64_t unlocks = zm::CallCount("DbUnlockDatabase");
    EXPECT_EQ(Control(0, 77, code), UpdateAllDisks()) << code;
    EXPECT_EQ(zm::CallCount("DbUnlockDatabase") - unlocks, 1u);
  }
  // A failed listing comes back as the request's status, after the lock was released.
  zm::InjectFault("DbGetObjects", 1, 0xC1000042u);
  uint64_t unlocks = zm::CallCount("DbUnlockDatabase");
  EXPECT_EQ(Control(0, 10001, 1), 0xC1000042u);
  EXPECT_EQ(zm::CallCount("DbUnlockDatabase") - unlocks, 1u);
  // The context-menu request succeeds even when its updates fail.
  zm::InjectFault("DbGetObjects", 1, ZM_E_FAIL);
  EXPECT_EQ(Control(0, 10001, 10040), 0u);
}

TEST_F(Frame, FailedCreationIsStillFollowedByAFileSystemRefresh) {
  // A creation on an object that is no disk fails; "fsys" is asked all the same.
  ZM_OBJECT_ID notADisk = testutil::Objects(ZM_OBJ_CONTAINER).at(0);
  uint64_t calls = zm::CallCount("PrCallProvider");
  ZMSTATUS s = Control(notADisk, 10000, 10001);
  EXPECT_NE(ZM_FAILED(s), 0) << std::hex << s;
  EXPECT_EQ(zm::CallCount("PrCallProvider") - calls, 1u);

  // Without "fsys" the creation's own status is the answer and nothing is called.
  zm::InjectFault("PrGetProviderByName", 1, ZM_E_NO_PROVIDER);
  calls = zm::CallCount("PrCallProvider");
  EXPECT_EQ(Control(notADisk, 10000, 10001), s);
  EXPECT_EQ(zm::CallCount("PrCallProvider"), calls);
}

TEST_F(Frame, CdromWithoutFacilityGoesToMountThenIsRecorded) {
  ZM_OBJECT_ID cd = 0;
  for (ZM_OBJECT_ID v : testutil::Objects(ZM_OBJ_VOLUME))
    if (testutil::PropU64(v, "LDM_VOLUME_TYPE") == 4) cd = v;
  ASSERT_NE(cd, 0u);
  ASSERT_FALSE(testutil::HasProp(cd, "FACILITY"));
  uint64_t calls = zm::CallCount("PrCallProvider");
  ZMSTATUS s = Control(cd, 10001, 10003, Letter(u"M:"));
  EXPECT_EQ(zm::CallCount("PrCallProvider") - calls, 1u);
  EXPECT_EQ(testutil::PropString(cd, "DRIVE_LETTER"), u"M:");
  EXPECT_EQ(ntp::DriveLetterTarget('M'), u"\\Device\\CdRom0");
  EXPECT_EQ(s, UpdateCdromDriveLetter(cd)) << "the answer is the recording step's";

  // When "mount" fails, its status is returned and no letter changes.
  zm::InjectFault("PrCallProvider", 1, ZM_E_LETTER_IN_USE);
  EXPECT_EQ(Control(cd, 10001, 10003, Letter(u"N:")), ZM_E_LETTER_IN_USE);
  EXPECT_EQ(testutil::PropString(cd, "DRIVE_LETTER"), u"M:");
}

TEST_F(Frame, DriveLetterFacilityDecidesTheRoute) {
  // No FACILITY on a volume that is no CD-ROM: the failed read's status, no provider called.
  ZM_OBJECT_ID plain = NewVolume(1);
  ZM_PROPERTY* r = nullptr;
  ZMSTATUS missing = ObGetProperty(zm::Database(), plain, "FACILITY", &r);
  if (r != nullptr) _ZmFree(r, __FILE__, __LINE__);
  ASSERT_NE(ZM_FAILED(missing), 0);
  uint64_t calls = zm::CallCount("PrCallProvider");
  EXPECT_EQ(Control(plain, 10001, 10004), missing);

  // Facilities other than 1 and 2 are refused.
  ZM_OBJECT_ID unknown = NewVolume(1);
  SetU32(unknown, "FACILITY", 3);
  EXPECT_EQ(Control(unknown, 10001, 10003), E_INVALIDARG_ZM);
  EXPECT_EQ(zm::CallCount("PrCallProvider"), calls);
}

}  // namespace
