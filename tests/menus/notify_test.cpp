// Change notifications: which event recomputes what, and the severity roll-up.
#include <gtest/gtest.h>

#include <string>

#include "menus_util.h"

namespace {

using namespace menustest;
using MenuEvents = Menus;

ZMSTATUS Notify(const GUID& event, ZM_OBJECT_ID id, uint32_t type) {
  _Zm_Notification_Header h{sizeof(_Zm_Notification_Header), 0, event, 0, id, type, 0};
  return FtDiskChangeNotify(&h);
}

uint64_t Severity(ZM_OBJECT_ID id) { return testutil::PropU64(id, "SEVERITY"); }

// A volume with parents of type 10, 11 and 205. The type-10 parent has further
// children with severities 3, 0 and 7 and one without.
struct Family {
  ZM_OBJECT_ID volume, root10, root11, container;
  Family() {
    volume = New(ZM_OBJ_VOLUME);
    SetU32(volume, "LDM_VOLUME_TYPE", 5);
    root10 = New(ZM_OBJ_SEVERITY_ROOT);
    root11 = New(ZM_OBJ_VOLUME_ROOT);
    container = New(ZM_OBJ_CONTAINER);
    for (ZM_OBJECT_ID p : {root10, root11, container}) {
      Link(p, volume);
      SetU32(p, "SEVERITY", 99);
    }
    for (uint32_t s : {3u, 0u, 7u}) {
      ZM_OBJECT_ID c = New(ZM_OBJ_VOLUME);
      SetU32(c, "SEVERITY", s);
      Link(root10, c);
    }
    Link(root10, New(ZM_OBJ_VOLUME));
    ZM_OBJECT_ID odd = New(ZM_OBJ_VOLUME);  // a 64-bit record counts as severity 0
    SetU64(odd, "SEVERITY", 9);
    Link(root10, odd);
  }
};

TEST_F(MenuEvents, NodeChangeOnAVolumeUpdatesMenusThenDirectParentSeverities) {
  Family f;
  ZM_OBJECT_ID grandParent = New(ZM_OBJ_SEVERITY_ROOT);
  Link(grandParent, f.root10);
  SetU32(grandParent, "SEVERITY", 99);
  EXPECT_EQ(Notify(GUID_DB_NODE_CHANGE_GUID, f.volume, ZM_OBJ_VOLUME), 0u);
  EXPECT_EQ(Read(f.volume), (Masks{0x80009, 0x80080, 0x3}));
  EXPECT_EQ(Severity(f.root10), 7u);
  EXPECT_EQ(Severity(f.root11), 0u) << "only child without a severity";
  EXPECT_EQ(Severity(f.container), 99u) << "a type-205 parent is not this provider's";
  EXPECT_EQ(Severity(grandParent), 99u) << "the value is not carried further up";
  EXPECT_EQ(testutil::ValueType(f.root10, "SEVERITY"), uint32_t(ZM_TYPE_UINT32));
}

TEST_F(MenuEvents, SeverityComparesUnsigned) {
  ZM_OBJECT_ID parent = New(ZM_OBJ_VOLUME_ROOT);
  for (uint32_t s : {0x80000000u, 7u, 5u}) {
    ZM_OBJECT_ID c = New(ZM_OBJ_VOLUME);
    SetU32(c, "SEVERITY", s);
    Link(parent, c);
  }
  EXPECT_EQ(CalculateSeverity(parent), 0x80000000u);
  EXPECT_EQ(CalculateSeverity(New(ZM_OBJ_SEVERITY_ROOT)), 0u) << "no children";
  zm::InjectFault("ObGetChildObjects", 1, ZM_E_FAIL);
  EXPECT_EQ(CalculateSeverity(parent), 0u) << "a failed listing counts as 0";
}

// A link change of a volume updates its menus only; one of a health object (types 10
// and 11) recomputes that object's own severity, so deleting a failed volume clears it.
TEST_F(MenuEvents, LinkChangesUpdateMenusOrTheHealthObjectsOwnSeverity) {
  for (const GUID* g : {&GUID_DB_NODE_PARENT_CHANGE_GUID, &GUID_DB_NODE_CHILD_CHANGE_GUID}) {
    Family f;
    EXPECT_EQ(Notify(*g, f.volume, ZM_OBJ_VOLUME), 0u);
    EXPECT_EQ(Read(f.volume), (Masks{0x80009, 0x80080, 0x3}));
    EXPECT_EQ(Severity(f.root10), 99u);
  }
  for (uint32_t type : {uint32_t(ZM_OBJ_SEVERITY_ROOT), uint32_t(ZM_OBJ_VOLUME_ROOT)}) {
    ZM_OBJECT_ID health = New(type), failed = New(ZM_OBJ_VOLUME), fine = New(ZM_OBJ_VOLUME);
    SetU32(failed, "SEVERITY", 2);
    SetU32(fine, "SEVERITY", 1);
    Link(health, failed);
    Link(health, fine);
    EXPECT_EQ(Notify(GUID_DB_NODE_CHILD_CHANGE_GUID, health, type), 0u);
    EXPECT_EQ(Severity(health), 2u) << type;
    ASSERT_EQ(ObDeleteObject(zm::Database(), failed), 0u);
    EXPECT_EQ(Notify(GUID_DB_NODE_CHILD_CHANGE_GUID, health, type), 0u);
    EXPECT_EQ(Severity(health), 1u) << type;
  }
  // Any event on an extended partition updates only its own masks.
  ZM_OBJECT_ID e = New(ZM_OBJ_EXTENDED);
  SetU32(e, "LDM_VOLUME_TYPE", 2);
  ZM_OBJECT_ID root = New(ZM_OBJ_SEVERITY_ROOT);
  SetU32(root, "SEVERITY", 99);
  Link(root, e);
  EXPECT_EQ(Notify(GUID_DB_NODE_CHANGE_GUID, e, ZM_OBJ_EXTENDED), 0u);
  EXPECT_EQ(Read(e), (Masks{0x3, 0x3, 0x0}));
  EXPECT_EQ(Severity(root), 99u);
}

TEST_F(MenuEvents, OtherTypesAndUnknownEventsDoNothing) {
  Family f;
  const GUID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  GUID almost = GUID_DB_NODE_CHANGE_GUID;
  almost.Data4[7] ^= 1;
  struct Case {
    const GUID* event;
    uint32_t type;
  };
  const Case cases[] = {
      {&GUID_DB_NODE_CHANGE_GUID, ZM_OBJ_PARTITION},
      {&GUID_DB_NODE_CHILD_CHANGE_GUID, ZM_OBJ_CONTAINER},
      {&unknown, ZM_OBJ_VOLUME},
      {&almost, ZM_OBJ_VOLUME},
  };
  Preset(f.volume);
  for (const Case& c : cases) {
    uint64_t locks = zm::CallCount("DbLockDatabase");
    EXPECT_EQ(Notify(*c.event, f.volume, c.type), 0u);
    EXPECT_EQ(zm::CallCount("DbLockDatabase"), locks) << c.type;
  }
  EXPECT_EQ(Read(f.volume), (Masks{kUnset, kUnset, kUnset}));
  EXPECT_EQ(Severity(f.root10), 99u);
  EXPECT_EQ(FtDiskChangeNotify(nullptr), 0u);
}

TEST_F(MenuEvents, InitializationCompleteRecomputesEverything) {
  Family f;
  ZM_OBJECT_ID e = New(ZM_OBJ_EXTENDED);
  SetU32(e, "LDM_VOLUME_TYPE", 2);
  EXPECT_EQ(Notify(GUID_ZMINITIALIZATION_COMPLETE, 0, 0), 0u);
  EXPECT_EQ(Read(f.volume), (Masks{0x80009, 0x80080, 0x3}));
  EXPECT_EQ(Read(e), (Masks{0x3, 0x3, 0x0}));
  EXPECT_EQ(Severity(f.root10), 7u);

  // Extended partitions are still updated when the volumes cannot be listed.
  Preset(e);
  Preset(f.volume);
  zm::InjectFault("DbGetObjects", 1, ZM_E_FAIL);
  UpdateAllContextMenus();
  EXPECT_EQ(Read(e), (Masks{0x3, 0x3, 0x0}));
  EXPECT_EQ(Read(f.volume), (Masks{kUnset, kUnset, kUnset}));
}

// Through its events the provider keeps a group's severity at the highest of its
// volumes as they rise and fall; what it knew before a restart is not trusted after it.
TEST_F(MenuEvents, EventsKeepAGroupsSeverityAsItsVolumesChange) {
  ASSERT_EQ(FtDiskInit(zm::Database(), ghProvider, 0, 0), 0u);
  ZM_OBJECT_ID group = New(ZM_OBJ_SEVERITY_ROOT), a = New(ZM_OBJ_VOLUME), b = New(ZM_OBJ_VOLUME);
  for (ZM_OBJECT_ID v : {a, b}) {
    SetU32(v, "SEVERITY", 0);
    Link(group, v);
  }
  auto after = [group](ZM_OBJECT_ID v, uint32_t severity) {
    SetU32(v, "SEVERITY", severity);
    zm::WaitIdle();
    return Severity(group);
  };
  EXPECT_EQ(after(a, 2), 2u);
  EXPECT_EQ(after(a, 0), 0u) << "a lower severity replaces the one known";
  EXPECT_EQ(after(b, 1), 1u);
  FtDiskShutdown(0);
  SetU32(b, "SEVERITY", 3);  // not heard of
  zm::WaitIdle();
  ASSERT_EQ(FtDiskInit(zm::Database(), ghProvider, 0, 0), 0u);
  EXPECT_EQ(after(a, 1), 3u);
  FtDiskShutdown(0);
}

}  // namespace
