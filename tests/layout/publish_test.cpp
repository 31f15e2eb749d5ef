// Publishing: what a scan puts into the database for tables laid out by sfdisk, and
// what later scans change.
#include <gtest/gtest.h>

#include "layout.h"
#include "layout_fixture.h"

namespace {

using namespace fixture;
using namespace testutil;

constexpr uint64_t K = kCylSectors;

// Two primaries (the second active), an extended partition with three logical drives,
// gaps between them; the last drive has a type the driver does not recognise.
std::string Script() {
  return Sectors(63, 10 * K - 63, "7") + Sectors(20 * K, 10 * K, "6", true) + Sectors(30 * K, 60 * K, "5") +
         Sectors(30 * K + 63, 10 * K - 63, "6") + Sectors(50 * K + 63, 10 * K - 63, "7") +
         Sectors(60 * K + 63, 10 * K - 63, "83");
}

class Publish : public ::testing::Test {
 protected:
  Disk d{100, Script()};
  void SetUp() override { d.Boot(); }
};

TEST_F(Publish, FirstScanPublishesPartitionsFreeSpaceAndVolumes) {
  ZM_OBJECT_ID disk = d.disk();
  EXPECT_EQ(RegionsUnder(disk, ZM_OBJ_PARTITION),
            (std::vector<Region>{{ZM_OBJ_PARTITION, T, 10 * C - T}, {ZM_OBJ_PARTITION, 20 * C, 10 * C}}));
  EXPECT_EQ(RegionsUnder(disk, ZM_OBJ_EXTENDED), (std::vector<Region>{{ZM_OBJ_EXTENDED, 30 * C, 60 * C}}));
  // The one-track gap in front of the first partition is not longer than the minimum.
  EXPECT_EQ(RegionsUnder(disk, ZM_OBJ_FREE_SPACE),
            (std::vector<Region>{{ZM_OBJ_FREE_SPACE, 10 * C, 10 * C}, {ZM_OBJ_FREE_SPACE, 90 * C, 10 * C}}));
  EXPECT_EQ(PropU64(disk, "FREE_SPACE"), PropU64(disk, "LENGTH_LL") - (80 * C - T));

  auto ext = Children(disk, ZM_OBJ_EXTENDED);
  ASSERT_EQ(ext.size(), 1u);
  // Logical drives begin at the track of their boot record.
  EXPECT_EQ(RegionsUnder(ext[0], ZM_OBJ_PARTITION),
            (std::vector<Region>{{ZM_OBJ_PARTITION, 30 * C, 10 * C},
                                 {ZM_OBJ_PARTITION, 50 * C, 10 * C},
                                 {ZM_OBJ_PARTITION, 60 * C, 10 * C}}));
  EXPECT_EQ(RegionsUnder(ext[0], ZM_OBJ_FREE_SPACE),
            (std::vector<Region>{{ZM_OBJ_FREE_SPACE, 40 * C, 10 * C}, {ZM_OBJ_FREE_SPACE, 70 * C, 20 * C}}));
}

TEST_F(Publish, PartitionPropertiesCarryTheTableEntryWithTheirTypes) {
  ZM_OBJECT_ID p2 = PartitionAt(d.disk(), 20 * C), l1 = PartitionAt(d.disk(), 30 * C),
               l3 = PartitionAt(d.disk(), 60 * C);
  ASSERT_TRUE(p2 != 0 && l1 != 0 && l3 != 0);
  // The width of each value is part of the contract: readers decode by type.
  struct Expect {
    const char* name;
    uint32_t type;
    uint64_t value;
  };
  for (const Expect& e :
       {Expect{"STATE", ZM_TYPE_UINT64, 4}, Expect{"PARTITION_TYPE", ZM_TYPE_UINT8, 6},
        Expect{"ENTRY_SLOT", ZM_TYPE_UINT32, 1}, Expect{"PARTITION_NUMBER", ZM_TYPE_UINT32, 2}}) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(ValueType(p2, e.name), e.type);
    EXPECT_EQ(PropU64(p2, e.name), e.value);
  }
  EXPECT_NE(PropU64(p2, "ACTIVE"), 0u);
  EXPECT_EQ(PropString(p2, "\\Device\\"), u"\\Device\\Harddisk0\\Partition2");

  EXPECT_EQ(PropU64(l1, "ENTRY_SLOT"), 4u);
  EXPECT_EQ(PropString(l1, "\\Device\\"), u"\\Device\\Harddisk0\\Partition3");
  // The driver does not recognise type 0x83: no device name is published.
  EXPECT_EQ(PropU64(l3, "PARTITION_TYPE"), 0x83u);
  EXPECT_FALSE(HasProp(l3, "\\Device\\"));
}

TEST_F(Publish, QuietRescanCreatesDeletesAndWritesNothingAndLeaksNothing) {
  auto before = LayoutObjects();
  uint64_t blocks = zm::OutstandingBlocks();
  ntp::ResetCounters();
  EXPECT_EQ(UpdateAllDisks(), 0u);
  EXPECT_EQ(LayoutObjects(), before);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
  EXPECT_EQ(ntp::Counters(0).sectorsRead, 5u) << "the four table sectors once, and sector 1";
  EXPECT_EQ(zm::OutstandingBlocks(), blocks);

  // A table sector another program rewrote is read again: here the last boot record's
  // (sfdisk puts it in the sector before the drive).
  const uint32_t shorter = 5 * K - 63;
  d.Write(60 * C + T - kSector + 446 + 12,
          {uint8_t(shorter), uint8_t(shorter >> 8), uint8_t(shorter >> 16), 0});
  EXPECT_EQ(UpdateAllDisks(), 0u);
  EXPECT_EQ(PropU64(PartitionAt(d.disk(), 60 * C), "LENGTH_LL"), 5 * C);
}

TEST_F(Publish, ActiveFlagToggleReplacesExactlyThatObjectAndItsVolume) {
  ZM_OBJECT_ID p1 = PartitionAt(d.disk(), T), p2 = PartitionAt(d.disk(), 20 * C);
  auto oldVolume = Parents(p2, ZM_OBJ_VOLUME);
  ASSERT_EQ(oldVolume.size(), 1u);
  auto keptVolume = Parents(p1, ZM_OBJ_VOLUME);
  auto ext = Children(d.disk(), ZM_OBJ_EXTENDED);
  auto drives = Children(ext[0], ZM_OBJ_PARTITION);

  d.Write(446 + 16 * 1, {0x00});  // clear the boot flag of slot 1
  EXPECT_EQ(UpdateAllDisks(), 0u);

  ASSERT_EQ(Children(d.disk(), ZM_OBJ_PARTITION).size(), 2u);
  EXPECT_EQ(PartitionAt(d.disk(), T), p1);
  ZM_OBJECT_ID np2 = PartitionAt(d.disk(), 20 * C);
  EXPECT_NE(np2, p2);
  EXPECT_EQ(PropU64(np2, "ACTIVE"), 0u);
  EXPECT_EQ(ValueType(p2, "OFFSET_LL"), 0u) << "old object still exists";
  EXPECT_EQ(ValueType(oldVolume[0], "FACILITY"), 0u) << "old volume still exists";
  EXPECT_EQ(Parents(np2, ZM_OBJ_VOLUME).size(), 1u);
  EXPECT_EQ(Parents(p1, ZM_OBJ_VOLUME), keptVolume);
  EXPECT_EQ(Children(ext[0], ZM_OBJ_PARTITION), drives);
}

TEST_F(Publish, UnreadableDiskLosesItsChildrenAndBasicTypeOneIsLeftAlone) {
  ZM_OBJECT_ID created = 0;
  ntp::InjectFault("IOCTL_DISK_GET_DRIVE_LAYOUT", 1, static_cast<uint32_t>(STATUS_IO_DEVICE_ERROR));
  EXPECT_EQ(UpdateDisk(d.disk(), &created), LDM_E_TABLE_UNREADABLE);
  ntp::ClearFaults();
  EXPECT_TRUE(Children(d.disk()).empty());

  // The next scan publishes everything again.
  EXPECT_EQ(UpdateDisk(d.disk(), &created), 0u);
  EXPECT_EQ(Children(d.disk(), ZM_OBJ_PARTITION).size(), 2u);

  // A disk whose device type is 1 is not scanned, even when its table is gone.
  auto before = LayoutObjects();
  SetU32(d.disk(), "LDM_DEVICE_TYPE", 1);
  d.Write(510, {0, 0});
  EXPECT_EQ(UpdateDisk(d.disk(), &created), 0u);
  EXPECT_EQ(LayoutObjects(), before);
  SetU32(d.disk(), "LDM_DEVICE_TYPE", 7);
  EXPECT_EQ(UpdateDisk(d.disk(), &created), E_INVALIDARG_ZM);
  EXPECT_EQ(LayoutObjects(), before);
}

TEST_F(Publish, FreeExtentsUpToTheMinimumSizeAreNotPublished) {
  ZM_OBJECT_ID disk = d.disk();
  ASSERT_EQ(PropU64(disk, "MIN_PARTITION_SIZE"), T);
  auto count = [&] { return Children(disk, ZM_OBJ_FREE_SPACE).size(); };
  size_t base = count();
  EXPECT_EQ(CreateFreeSpace(disk, 0, static_cast<int64_t>(T)), 0u);
  EXPECT_EQ(count(), base);
  EXPECT_EQ(CreateFreeSpace(disk, 0, static_cast<int64_t>(T + 1)), 0u);
  EXPECT_EQ(count(), base + 1);

  // With a smaller minimum the gap in front of the first partition appears once the
  // disk has no free-space objects left (a rebuild is due then).
  for (ZM_OBJECT_ID f : Children(disk, ZM_OBJ_FREE_SPACE)) ObDeleteObject(ghDb, f);
  SetU64(disk, "MIN_PARTITION_SIZE", T - 1);
  ZM_OBJECT_ID created = 0;
  EXPECT_EQ(UpdateDisk(disk, &created), 0u);
  EXPECT_EQ(RegionsUnder(disk, ZM_OBJ_FREE_SPACE),
            (std::vector<Region>{{ZM_OBJ_FREE_SPACE, 0, T},
                                 {ZM_OBJ_FREE_SPACE, 10 * C, 10 * C},
                                 {ZM_OBJ_FREE_SPACE, 90 * C, 10 * C}}));
}

TEST_F(Publish, AnExtendedPartitionGoneFromTheTableTakesItsFreeSpaceAlong) {
  d.Write(446 + 16 * 2, std::vector<uint8_t>(16, 0));  // another system cleared slot 3
  EXPECT_EQ(UpdateAllDisks(), 0u);
  EXPECT_TRUE(Children(d.disk(), ZM_OBJ_EXTENDED).empty());
  // No free-space object is left behind without its container.
  for (ZM_OBJECT_ID f : Objects(ZM_OBJ_FREE_SPACE))
    EXPECT_EQ(Parents(f), std::vector<ZM_OBJECT_ID>{d.disk()}) << PropU64(f, "OFFSET_LL");
  EXPECT_EQ(RegionsUnder(d.disk(), ZM_OBJ_FREE_SPACE).back(), (Region{ZM_OBJ_FREE_SPACE, 30 * C, 70 * C}));
}

// A request's free extent is found only on a real disk, and no table means no boot record.
TEST_F(Publish, FreeExtentLookupsNeedARealDiskAndATable) {
  int64_t offset = 0, length = 0;
  EXPECT_TRUE(GetUnallocatedSpaceSpec(int64_t(91 * C), int64_t(C), offset, length, REGION_PRIMARY, d.disk()));
  EXPECT_EQ(std::make_pair(offset, length), std::make_pair(int64_t(90 * C), int64_t(10 * C)));
  EXPECT_FALSE(
      GetUnallocatedSpaceSpec(int64_t(91 * C), int64_t(10 * C), offset, length, REGION_PRIMARY, d.disk()))
      << "runs past the end of the free extent";
  for (uint32_t kind : {REGION_PRIMARY, REGION_LOGICAL})
    EXPECT_FALSE(GetUnallocatedSpaceSpec(int64_t(91 * C), int64_t(C), offset, length, kind, 0xBAD0BAD));
  EXPECT_FALSE(layout::IsTableSector(nullptr, 0, 512));
}

}  // namespace
