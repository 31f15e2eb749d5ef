// Deleting partitions and moving the active flag, leaving every partition a request did
// not name byte for byte as it was.
#include <gtest/gtest.h>

#include "requests.h"

namespace {

using namespace requests;

// p1 (active), p2, and an extended partition with three logical drives and gaps.
std::string Script() {
  return Sectors(63, 4 * K - 63, "7", true) + Sectors(6 * K, 4 * K, "6") + Sectors(10 * K, 24 * K, "5") +
         Sectors(10 * K + 63, 4 * K - 63, "6") + Sectors(16 * K + 63, 4 * K - 63, "7") +
         Sectors(20 * K + 63, 4 * K - 63, "b");
}

class DeleteAndActive : public ::testing::Test {
 protected:
  Disk d{40, Script()};
  std::map<std::pair<uint64_t, uint64_t>, uint64_t> hashes;
  void SetUp() override {
    d.Boot();
    FillPartitions(d);
    hashes = DataHashes(d);
  }
};

TEST_F(DeleteAndActive, DeletingTheMiddleLogicalDriveRelinksTheChain) {
  ZM_OBJECT_ID volume = VolumeAt(d.disk(), 16 * C);
  ASSERT_NE(volume, 0u);
  size_t alerts = zm::Alerts().size();
  EXPECT_EQ(Delete(volume), 0u);
  ExpectOneAlert(alerts, ALERT_GUID_DELETED_PARTITION);
  EXPECT_EQ(SfdiskData(d.image()),
            (std::vector<std::pair<uint64_t, uint64_t>>{
                {T, 4 * C - T}, {6 * C, 4 * C}, {10 * C + T, 4 * C - T}, {20 * C + T, 4 * C - T}}));
  EXPECT_EQ(ExpectSurvivorsIntact(d, hashes), 4u);
  // The first drive's boot record now links to the third drive's.
  auto ebr = d.Read(10 * C, kSector);
  EXPECT_EQ(ebr[446 + 16 + 4], 5);
  uint32_t rel = 0;
  memcpy(&rel, &ebr[446 + 16 + 8], 4);
  EXPECT_EQ(rel, 10 * K);
  EXPECT_EQ(VolumeAt(d.disk(), 16 * C), 0u);
}

TEST_F(DeleteAndActive, ExtendedPartitionGoesOnlyWhenEmpty) {
  auto ext = Children(d.disk(), ZM_OBJ_EXTENDED);
  ASSERT_EQ(ext.size(), 1u);
  ntp::ResetCounters();
  size_t alerts = zm::Alerts().size();
  EXPECT_EQ(Delete(ext[0]), LDM_E_EXTENDED_NOT_EMPTY);
  ExpectOneAlert(alerts, ALERT_GUID_DELETE_PARTITION_FAILED, u" ");
  EXPECT_EQ(ntp::Counters(0).sectorsRead, 0u) << "refused from the database, before the table is read";

  for (uint64_t offset : {10 * C, 16 * C, 20 * C}) ASSERT_EQ(Delete(VolumeAt(d.disk(), offset)), 0u);
  EXPECT_EQ(Delete(ext[0]), 0u);
  EXPECT_TRUE(Children(d.disk(), ZM_OBJ_EXTENDED).empty());
  EXPECT_EQ(RegionsUnder(d.disk(), ZM_OBJ_FREE_SPACE),
            (std::vector<Region>{{ZM_OBJ_FREE_SPACE, 4 * C, 2 * C}, {ZM_OBJ_FREE_SPACE, 10 * C, 30 * C}}));
  ExpectAgreement(d);
  EXPECT_EQ(ExpectSurvivorsIntact(d, hashes), 2u);
}

TEST_F(DeleteAndActive, OnlySinglePartitionVolumesAreDeleted) {
  ZM_OBJECT_ID volume = VolumeAt(d.disk(), 6 * C);
  auto json = testutil::SfdiskJson(d.image());
  ASSERT_TRUE(json.is_object());
  struct Case {
    uint32_t facility;
    ZMSTATUS status;
  };
  for (const Case& c : {Case{2, LDM_E_FT_VOLUME}, Case{3, LDM_E_NOT_SINGLE_PARTITION}}) {
    SetU32(volume, "FACILITY", c.facility);
    size_t alerts = zm::Alerts().size();
    EXPECT_EQ(Delete(volume), c.status);
    ExpectOneAlert(alerts, ALERT_GUID_DELETE_PARTITION_FAILED, u" ");
  }
  EXPECT_EQ(Delete(PartitionAt(d.disk(), 6 * C)), E_INVALIDARG_ZM);  // a partition, not its volume
  EXPECT_EQ(testutil::SfdiskJson(d.image()), json);

  // A partition already gone from the table: success, nothing written.
  SetU32(volume, "FACILITY", 1);
  SetU64(PartitionAt(d.disk(), 6 * C), "LENGTH_LL", 3 * C);
  ntp::ResetCounters();
  EXPECT_EQ(Delete(volume), 0u);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
}

TEST_F(DeleteAndActive, DriveLetterIsRemovedFirstAndAFailedRemovalKeepsThePartition) {
  ZM_OBJECT_ID volume = VolumeAt(d.disk(), 6 * C);
  RefreshDLandFS(volume);  // "mount" publishes the letters it finds
  std::u16string letter = testutil::PropString(volume, "DRIVE_LETTER");
  ASSERT_EQ(letter.size(), 2u);
  const char drive = static_cast<char>(letter[0]);
  ASSERT_EQ(ntp::DriveLetterTarget(drive), u"\\Device\\Harddisk0\\Partition2");

  auto json = testutil::SfdiskJson(d.image());
  zm::InjectFault("PrCallProvider", 1, ZM_E_FAIL);
  size_t alerts = zm::Alerts().size();
  EXPECT_EQ(Delete(volume), ZM_E_FAIL);
  zm::ClearFaults();
  ExpectOneAlert(alerts, ALERT_GUID_DELETE_PARTITION_FAILED);
  EXPECT_EQ(testutil::SfdiskJson(d.image()), json);
  EXPECT_EQ(VolumeAt(d.disk(), 6 * C), volume);

  EXPECT_EQ(Delete(volume), 0u);
  EXPECT_TRUE(ntp::DriveLetterTarget(drive).empty());
  EXPECT_EQ(PartitionAt(d.disk(), 6 * C), 0u);
  EXPECT_EQ(ExpectSurvivorsIntact(d, hashes), 4u);
}

TEST_F(DeleteAndActive, MarkingActiveRewritesBothFlagsInOneWrite) {
  // Already active: nothing written, still the success alert.
  ntp::ResetCounters();
  size_t alerts = zm::Alerts().size();
  EXPECT_EQ(LdmMarkPartitionActive(VolumeAt(d.disk(), T)), 0u);
  ExpectOneAlert(alerts, ALERT_GUID_MARKED_ACTIVE);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);

  alerts = zm::Alerts().size();
  EXPECT_EQ(LdmMarkPartitionActive(VolumeAt(d.disk(), 6 * C)), 0u);
  ExpectOneAlert(alerts, ALERT_GUID_MARKED_ACTIVE);
  auto parts = testutil::SfdiskJson(d.image())["partitiontable"]["partitions"];
  ASSERT_GE(parts.size(), 2u);
  EXPECT_FALSE(parts[0].value("bootable", false));
  EXPECT_TRUE(parts[1].value("bootable", false));
  ExpectAgreement(d);
  EXPECT_EQ(ExpectSurvivorsIntact(d, hashes), 5u);

  // A logical drive cannot be the boot partition, nor a volume without its partition.
  alerts = zm::Alerts().size();
  EXPECT_EQ(LdmMarkPartitionActive(VolumeAt(d.disk(), 10 * C)), E_INVALIDARG_ZM);
  ExpectOneAlert(alerts, ALERT_GUID_MARK_ACTIVE_FAILED, u" ");
  ZM_OBJECT_ID bare = 0;
  ASSERT_EQ(ObCreateObject(zm::Database(), ghProvider, ZM_OBJ_VOLUME, &bare), 0u);
  SetU32(bare, "LDM_VOLUME_TYPE", REGION_PRIMARY);
  EXPECT_EQ(LdmMarkPartitionActive(bare), E_INVALIDARG_ZM);

  // A failed table write leaves the flags where they were.
  auto json = testutil::SfdiskJson(d.image());
  ASSERT_TRUE(json.is_object());
  ntp::InjectFault("IOCTL_DISK_SET_DRIVE_LAYOUT", 1, static_cast<uint32_t>(STATUS_IO_DEVICE_ERROR));
  alerts = zm::Alerts().size();
  EXPECT_EQ(LdmMarkPartitionActive(VolumeAt(d.disk(), T)), LDM_E_WRITE_FAILED);
  ntp::ClearFaults();
  ExpectOneAlert(alerts, ALERT_GUID_MARK_ACTIVE_FAILED);
  EXPECT_EQ(testutil::SfdiskJson(d.image()), json);
}

TEST(MarkActive, MovingTheFlagWritesOnlyTheMasterBootRecord) {
  Disk d(20, Sectors(63, 4 * K - 63, "7", true) + Sectors(4 * K, 4 * K, "7"));
  d.Boot();
  ntp::ResetCounters();
  EXPECT_EQ(LdmMarkPartitionActive(VolumeAt(d.disk(), 4 * C)), 0u);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 1u);
  auto mbr = d.Read(0, kSector);
  EXPECT_EQ(mbr[446], 0x00);
  EXPECT_EQ(mbr[446 + 16], 0x80);
}

}  // namespace
