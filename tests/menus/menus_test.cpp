// Context-menu masks of volumes and extended partitions, computed over objects put
// into the real host's database by hand.
#include <gtest/gtest.h>

#include <string>

#include "menus_util.h"

namespace {

using namespace menustest;

// One volume's surroundings, described by what the rules look at.
struct VolumeCase {
  const char* what;
  uint32_t kind;           // LDM_VOLUME_TYPE; 0 = property absent
  const char16_t* letter;  // nullptr = absent; kNumber: a 32-bit value, no string
  int partition;           // -1 none, 0 inactive, 1 active, 2 without ACTIVE
  int disk;                // -1 no disk parent, 0 fixed, 1 removable, 2 without REMOVABLE
  uint64_t state;          // 0 = STATE absent
  Masks expected;
};

const char16_t kNumber[] = u"#";

TEST_F(Menus, VolumeMaskTable) {
  const VolumeCase cases[] = {
      {"primary, fixed disk, inactive, letter", 1, u"E:", 0, 0, 0x4, {0x8008D, 0x80085, 0x3}},
      {"primary, removable disk, active, no letter", 1, nullptr, 1, 1, 0, {0x80089, 0x80080, 0x3}},
      {"primary without partition child", 1, u"E:", -1, -1, 0, {0x8008D, 0x80081, 0x3}},
      {"primary, disk without REMOVABLE", 1, nullptr, 0, 2, 0, {0x8008D, 0x80084, 0x3}},
      {"primary, partition without ACTIVE", 1, nullptr, 2, 0, 0, {0x8008D, 0x80080, 0x3}},
      {"logical drive, letter", 3, u"F:", 0, 0, 0, {0x80089, 0x80081, 0x3}},
      {"logical drive ignores ACTIVE", 3, nullptr, 0, 0, 0, {0x80089, 0x80080, 0x3}},
      {"letter that is no string", 3, kNumber, -1, -1, 0, {0x80089, 0x80080, 0x3}},
      {"CD-ROM, letter", 4, u"G:", -1, -1, 0, {0x8000B, 0x80083, 0x3}},
      {"CD-ROM, no letter", 4, nullptr, -1, -1, 0, {0x8000B, 0x80082, 0x3}},
      {"volume set", 5, u"H:", -1, -1, 0, {0x80009, 0x80081, 0x3}},
      {"state bit 25 withdraws bit 7 only", 1, u"E:", 0, 0, 0x2000004, {0x8008D, 0x80005, 0x3}},
      {"state bit 38 disables everything", 1, u"E:", 0, 0, 0x4000000004, {0x8008D, 0, 0x3}},
  };
  for (const VolumeCase& c : cases) {
    ZM_OBJECT_ID v = New(ZM_OBJ_VOLUME);
    if (c.kind != 0) SetU32(v, "LDM_VOLUME_TYPE", c.kind);
    if (c.letter == kNumber) {
      SetU32(v, "DRIVE_LETTER", 0x3A45);
    } else if (c.letter != nullptr) {
      SetString(v, "DRIVE_LETTER", c.letter);
    }
    if (c.state != 0) SetU64(v, "STATE", c.state);
    if (c.partition >= 0) {
      ZM_OBJECT_ID p = New(ZM_OBJ_PARTITION);
      if (c.partition < 2) SetBool(p, "ACTIVE", c.partition == 1);
      Link(v, p);
      if (c.disk >= 0) {
        ZM_OBJECT_ID d = New(ZM_OBJ_DISK);
        if (c.disk < 2) SetBool(d, "REMOVABLE", c.disk == 1);
        Link(d, p);
      }
    }
    UpdateVolumeContextMenu(v);
    EXPECT_EQ(Read(v), c.expected) << c.what;
    // The masks are 64-bit values with flags 4.
    for (const char* name : {"MENU_SHOW_MASK_LL", "MENU_ENABLE_MASK_LL", "MENU_LOCAL_ONLY_MASK_LL"}) {
      ZM_PROPERTY* r = nullptr;
      ASSERT_EQ(ObGetProperty(zm::Database(), v, name, &r), 0u) << name;
      EXPECT_EQ(r->Type, ZM_TYPE_UINT64) << name;
      EXPECT_EQ(r->Flags, 4u) << name;
      _ZmFree(r, __FILE__, __LINE__);
    }
  }
}

TEST_F(Menus, UnhandledOrUnreadableKindsKeepTheirMasks) {
  ZM_OBJECT_ID extendedKind = New(ZM_OBJ_VOLUME), missing = New(ZM_OBJ_VOLUME),
               wrongType = New(ZM_OBJ_VOLUME);
  SetU32(extendedKind, "LDM_VOLUME_TYPE", 2);
  SetU64(wrongType, "LDM_VOLUME_TYPE", 1);  // a 64-bit record is not a volume type
  for (ZM_OBJECT_ID v : {extendedKind, missing, wrongType}) {
    Preset(v);
    UpdateVolumeContextMenu(v);
    EXPECT_EQ(Read(v), (Masks{kUnset, kUnset, kUnset})) << v;
  }
  // A property set that cannot be made leaves the masks as they were, too.
  ZM_OBJECT_ID primary = New(ZM_OBJ_VOLUME);
  SetU32(primary, "LDM_VOLUME_TYPE", 1);
  Preset(primary);
  zm::InjectFault("PsCreatePropset", 1, ZM_E_FAIL);
  UpdateVolumeContextMenu(primary);
  EXPECT_EQ(Read(primary), (Masks{kUnset, kUnset, kUnset}));
}

// An update leaves masks that hold its values alone, but one stored with other flags is
// written again with flags 4.
TEST_F(Menus, MasksOfTheRightValueWithOtherFlagsAreWrittenAgain) {
  ZM_OBJECT_ID v = New(ZM_OBJ_VOLUME);
  SetU32(v, "LDM_VOLUME_TYPE", 3);
  const Masks logical{0x80089, 0x80080, 0x3};
  SetU64(v, "MENU_SHOW_MASK_LL", logical.show);  // flags 0
  SetU64(v, "MENU_ENABLE_MASK_LL", logical.enable);
  SetU64(v, "MENU_LOCAL_ONLY_MASK_LL", logical.local);
  UpdateVolumeContextMenu(v);
  EXPECT_EQ(Read(v), logical);
  for (const char* name : {"MENU_SHOW_MASK_LL", "MENU_ENABLE_MASK_LL", "MENU_LOCAL_ONLY_MASK_LL"}) {
    ZM_PROPERTY* r = nullptr;
    ASSERT_EQ(ObGetProperty(zm::Database(), v, name, &r), 0u);
    EXPECT_EQ(r->Flags, 4u) << name;
    _ZmFree(r, __FILE__, __LINE__);
  }
}

TEST_F(Menus, ExtendedPartitionMasksFollowItsLogicalDrives) {
  struct Case {
    unsigned logicals;
    uint64_t state;
    uint64_t enable;
  };
  const Case cases[] = {{0, 0, 0x3}, {31, 0, 0x1}, {32, 0, 0x0}, {0, 0x2000000, 0x3}, {5, 0x4000000000, 0x0}};
  for (const Case& c : cases) {
    ZM_OBJECT_ID e = New(ZM_OBJ_EXTENDED);
    SetU32(e, "LDM_VOLUME_TYPE", 2);
    if (c.state != 0) SetU64(e, "STATE", c.state);
    for (unsigned i = 0; i < c.logicals; ++i) Link(e, New(ZM_OBJ_PARTITION));
    Link(e, New(ZM_OBJ_FREE_SPACE));  // free space inside does not count
    UpdateContainerVolumeContextMenu(e);
    EXPECT_EQ(Read(e), (Masks{0x3, c.enable, 0x0})) << c.logicals << " state " << std::hex << c.state;
  }
  // Anything but an extended partition's type keeps its masks.
  ZM_OBJECT_ID notExtended = New(ZM_OBJ_EXTENDED);
  SetU32(notExtended, "LDM_VOLUME_TYPE", 1);
  Preset(notExtended);
  UpdateContainerVolumeContextMenu(notExtended);
  EXPECT_EQ(Read(notExtended), (Masks{kUnset, kUnset, kUnset}));
  // When the children cannot be listed neither item is enabled, but the masks are written.
  ZM_OBJECT_ID unlisted = New(ZM_OBJ_EXTENDED);
  SetU32(unlisted, "LDM_VOLUME_TYPE", 2);
  zm::InjectFault("ObGetChildObjects", 1, ZM_E_FAIL);
  UpdateContainerVolumeContextMenu(unlisted);
  EXPECT_EQ(Read(unlisted), (Masks{0x3, 0x0, 0x0}));
}

TEST_F(Menus, EveryComputationReleasesTheLockAndItsBlocks) {
  zm::WaitIdle();
  uint64_t blocks = zm::OutstandingBlocks();
  ZM_OBJECT_ID refused = New(ZM_OBJ_VOLUME);  // no type: an early way out
  ZM_OBJECT_ID v = New(ZM_OBJ_VOLUME);
  SetU32(v, "LDM_VOLUME_TYPE", 1);
  SetString(v, "DRIVE_LETTER", u"E:");
  ZM_OBJECT_ID p = New(ZM_OBJ_PARTITION), d = New(ZM_OBJ_DISK);
  SetBool(p, "ACTIVE", false);
  Link(v, p);
  Link(d, p);
  ZM_OBJECT_ID e = New(ZM_OBJ_EXTENDED);
  SetU32(e, "LDM_VOLUME_TYPE", 2);
  zm::WaitIdle();
  uint64_t locks = zm::CallCount("DbLockDatabase"), unlocks = zm::CallCount("DbUnlockDatabase");
  UpdateVolumeContextMenu(refused);
  UpdateVolumeContextMenu(v);
  UpdateContainerVolumeContextMenu(refused);
  UpdateContainerVolumeContextMenu(e);
  zm::WaitIdle();
  EXPECT_EQ(zm::CallCount("DbLockDatabase") - locks, zm::CallCount("DbUnlockDatabase") - unlocks);
  EXPECT_EQ(zm::OutstandingBlocks(), blocks);
}

// A placeholder volume is made with its masks: the ones the menu update computes for it,
// for a primary partition active or not, on a fixed or a removable disk, and a logical drive.
TEST(MenusOfNewVolumes, AreTheOnesTheUpdateComputes) {
  Machine m({16 * MiB, 16 * MiB});
  const std::string table =
      "label: dos\nstart=2048, size=4096, type=7, bootable\nstart=6144, size=4096, type=7\n"
      "start=10240, size=16384, type=5\nstart=12288, size=4096, type=7\n";
  ASSERT_TRUE(testutil::Sfdisk(m.image(0), table));
  ASSERT_TRUE(testutil::Sfdisk(m.image(1), table));
  m.Boot();
  m.Provider();
  zm::WaitIdle();
  FtDiskShutdown(0);
  SetBool(testutil::DiskObject(1), "REMOVABLE", true);
  for (ZM_OBJECT_ID v : testutil::Objects(ZM_OBJ_VOLUME)) ASSERT_EQ(ObDeleteObject(zm::Database(), v), 0u);
  for (unsigned d = 0; d < 2; ++d) ASSERT_FALSE(ZM_FAILED(CreateFakeVolumes(testutil::DiskObject(d))));
  std::vector<ZM_OBJECT_ID> volumes = testutil::Objects(ZM_OBJ_VOLUME);
  ASSERT_EQ(volumes.size(), 6u);
  for (ZM_OBJECT_ID v : volumes) {
    const Masks made = Read(v);
    UpdateVolumeContextMenu(v);
    EXPECT_EQ(made, Read(v)) << "LDM_VOLUME_TYPE " << testutil::PropU64(v, "LDM_VOLUME_TYPE");
  }
}

}  // namespace
