// Creating partitions: placement and rounding checked against sfdisk, refusals that
// change nothing, and the first sector of every new partition cleared.
#include <gtest/gtest.h>

#include "requests.h"

namespace {

using namespace requests;

TEST(Create, PrimaryAtOffsetZeroStartsOnTrackOneAndEndsOnTheNearerCylinder) {
  struct Case {
    uint64_t length, end;
  };
  for (const Case& c : {Case{12 * C + C / 2 - T, 12 * C},               // exactly half-way: down
                        Case{12 * C + C / 2 - T + kSector, 13 * C}}) {  // just past half-way: up
    SCOPED_TRACE(c.length);
    Disk d(40);
    d.Boot();
    d.Write(T, Pattern(kSector, 9));  // a stale boot sector where the partition will start
    size_t alerts = zm::Alerts().size();
    Outcome o = Create(d.disk(), REGION_PRIMARY, 0, c.length);
    ASSERT_EQ(o.status, 0u);
    ExpectOneAlert(alerts, ALERT_GUID_CREATED_PARTITION);
    EXPECT_EQ(SfdiskData(d.image()), (std::vector<std::pair<uint64_t, uint64_t>>{{T, c.end - T}}));
    EXPECT_EQ(d.Read(T, kSector), std::vector<uint8_t>(kSector, 0));
    // MEMBERID names the new partition's placeholder volume.
    ZM_OBJECT_ID p = PartitionAt(d.disk(), T);
    ASSERT_NE(p, 0u);
    auto v = Parents(p, ZM_OBJ_VOLUME);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(o.member, v[0]);
  }
}

TEST(Create, ExtendedThenLogicalDrivesBuildTheBootRecordChain) {
  Disk d(60);
  d.Boot();
  Outcome ext = Create(d.disk(), REGION_EXTENDED, 0, 50 * C);
  ASSERT_EQ(ext.status, 0u);
  auto exts = Children(d.disk(), ZM_OBJ_EXTENDED);
  ASSERT_EQ(exts.size(), 1u);
  // An extended partition at offset 0 starts on the second cylinder.
  EXPECT_EQ(RegionsUnder(exts[0], ZM_OBJ_FREE_SPACE), (std::vector<Region>{{ZM_OBJ_FREE_SPACE, C, 50 * C}}));

  // The first logical drive shares the container's boot record: data one track in, no link.
  d.Write(C + T, Pattern(kSector, 3));
  ASSERT_EQ(Create(d.disk(), REGION_LOGICAL, C, 10 * C).status, 0u);
  EXPECT_EQ(d.Read(C + T, kSector), std::vector<uint8_t>(kSector, 0));
  auto ebr = d.Read(C, kSector);
  EXPECT_EQ(ebr[446 + 4], 6);       // slot 0: the drive
  EXPECT_EQ(ebr[446 + 16 + 4], 0);  // slot 1: no link yet
  uint32_t rel = 0;
  memcpy(&rel, &ebr[446 + 8], 4);
  EXPECT_EQ(rel, kTrackSectors);

  // A second one goes where the free space inside the container starts.
  d.Write(11 * C + T, Pattern(kSector, 4));
  ASSERT_EQ(Create(d.disk(), REGION_LOGICAL, 11 * C, 10 * C).status, 0u);
  EXPECT_EQ(d.Read(11 * C + T, kSector), std::vector<uint8_t>(kSector, 0));
  ebr = d.Read(C, kSector);
  EXPECT_EQ(ebr[446 + 16 + 4], 5);  // now the container's record links to the next one
  EXPECT_EQ(SfdiskData(d.image()),
            (std::vector<std::pair<uint64_t, uint64_t>>{{C + T, 10 * C - T}, {11 * C + T, 10 * C - T}}));
  ExpectAgreement(d);
}

// Requests that must be refused before anything is written or cleared.
TEST(Create, RefusalsWriteNothingAndRaiseTheFailureAlert) {
  Disk d(40, Sectors(63, 10 * K - 63, "7"));
  d.Boot();
  FillPartitions(d);
  auto hashes = DataHashes(d);
  auto mbr = d.Read(0, kSector);
  auto objects = LayoutObjects();
  ZM_OBJECT_ID partition = PartitionAt(d.disk(), T);

  struct Case {
    const char* what;
    ZM_OBJECT_ID object;
    uint32_t type;
    uint64_t offset, length;
    ZMSTATUS status;
  };
  const Case cases[] = {
      {"1 byte at a cylinder boundary", d.disk(), REGION_PRIMARY, 10 * C, 1, LDM_E_NOTHING_LEFT},
      {"offset inside a free region", d.disk(), REGION_PRIMARY, 11 * C, C, LDM_E_NOT_FREE_SPACE},
      {"longer than the free region", d.disk(), REGION_PRIMARY, 10 * C, 30 * C + 1, LDM_E_NOT_FREE_SPACE},
      {"logical without extended", d.disk(), REGION_LOGICAL, 10 * C, C, LDM_E_NOT_FREE_SPACE},
      {"not a disk", partition, REGION_PRIMARY, 10 * C, C, E_INVALIDARG_ZM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ntp::ResetCounters();
    size_t alerts = zm::Alerts().size();
    EXPECT_EQ(Create(c.object, c.type, c.offset, c.length).status, c.status);
    ExpectOneAlert(alerts, ALERT_GUID_CREATE_PARTITION_FAILED,
                   c.object == d.disk() ? u"\\Device\\Harddisk0" : u" ");
    EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
    EXPECT_EQ(LayoutObjects(), objects);
  }
  EXPECT_EQ(d.Read(0, kSector), mbr);

  // A request with a missing or mistyped property is not valid.
  testutil::Props in;
  testutil::AddU64(in, "OFFSET_LL", 10 * C);
  testutil::AddU64(in, "LENGTH_LL", C);
  testutil::AddU64(in, "REGION_TYPE", REGION_PRIMARY);  // must be 32-bit
  size_t alerts = zm::Alerts().size();
  EXPECT_EQ(LdmCreatePartition(in, nullptr, d.disk()), E_INVALIDARG_ZM);
  ExpectOneAlert(alerts, ALERT_GUID_CREATE_PARTITION_FAILED);

  // A free region too small for anything once the first track is skipped: the sector
  // behind it belongs to the next partition and must not be cleared.
  SetU64(d.disk(), "MIN_PARTITION_SIZE", 0);
  for (ZM_OBJECT_ID f : Children(d.disk(), ZM_OBJ_FREE_SPACE)) ObDeleteObject(ghDb, f);
  ZM_OBJECT_ID created = 0;
  ASSERT_EQ(UpdateDisk(d.disk(), &created), 0u);
  ASSERT_EQ(RegionsUnder(d.disk(), ZM_OBJ_FREE_SPACE).front(), (Region{ZM_OBJ_FREE_SPACE, 0, T}));
  ntp::ResetCounters();
  for (uint64_t length : {T, uint64_t{kSector}})
    EXPECT_EQ(Create(d.disk(), REGION_PRIMARY, 0, length).status, LDM_E_NOTHING_LEFT);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
  EXPECT_EQ(ExpectSurvivorsIntact(d, hashes), 1u);
}

TEST(Create, SlotRules) {
  {
    Disk d(40, Sectors(63, 5 * K - 63, "7") + Sectors(5 * K, 5 * K, "7") + Sectors(10 * K, 5 * K, "5") +
                   Sectors(15 * K, 5 * K, "6"));
    d.Boot();
    EXPECT_EQ(Create(d.disk(), REGION_EXTENDED, 20 * C, 5 * C).status, LDM_E_NO_FREE_SLOT);
    EXPECT_EQ(Create(d.disk(), REGION_PRIMARY, 20 * C, 5 * C).status, LDM_E_NO_FREE_SLOT);
  }
  Disk e(40, Sectors(63, 5 * K - 63, "7") + Sectors(10 * K, 5 * K, "5"));
  e.Boot();
  EXPECT_EQ(Create(e.disk(), REGION_EXTENDED, 20 * C, 5 * C).status, LDM_E_EXTENDED_EXISTS);
}

TEST(Create, FailedTableWriteOrSectorClearLeavesTheTableIntact) {
  Disk d(40, Sectors(63, 10 * K - 63, "7") + Sectors(20 * K, 10 * K, "5") +
                 Sectors(20 * K + 63, 5 * K - 63, "6"));
  d.Boot();
  FillPartitions(d);
  auto hashes = DataHashes(d);
  auto json = testutil::SfdiskJson(d.image());
  ASSERT_TRUE(json.is_object());
  auto objects = LayoutObjects();
  struct Case {
    const char* fault;
    uint32_t type;
    uint64_t offset;
    ZMSTATUS status;
  };
  for (const Case& c : {Case{"IOCTL_DISK_SET_DRIVE_LAYOUT", REGION_LOGICAL, 25 * C, LDM_E_WRITE_FAILED},
                        Case{"NtWriteFile", REGION_PRIMARY, 10 * C, LDM_E_ZAP_FAILED}}) {
    SCOPED_TRACE(c.fault);
    size_t alerts = zm::Alerts().size();
    ntp::InjectFault(c.fault, 1, static_cast<uint32_t>(STATUS_IO_DEVICE_ERROR));
    EXPECT_EQ(Create(d.disk(), c.type, c.offset, 5 * C).status, c.status);
    ntp::ClearFaults();
    ExpectOneAlert(alerts, ALERT_GUID_CREATE_PARTITION_FAILED);
    EXPECT_EQ(testutil::SfdiskJson(d.image()), json);
    EXPECT_EQ(LayoutObjects(), objects);
  }
  EXPECT_EQ(ExpectSurvivorsIntact(d, hashes), 2u);
}

// Partitions past 2^32 sectors cannot be described by the table: a length or an extent
// beyond them is refused before any sector is cleared, so the sector a 32-bit truncation
// would hit keeps its bytes; the largest describable partition is accepted.
TEST(Create, ExtentsBeyondThirtyTwoBitSectorsAreRefused) {
  const uint64_t p1End = 267349 * K;  // the last cylinder boundary below 2^32 sectors
  Disk d(267500);
  d.Boot();
  ntp::ResetCounters();
  EXPECT_EQ(Create(d.disk(), REGION_PRIMARY, 0, 267500 * C).status, LDM_E_NOT_FREE_SPACE);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
  ASSERT_EQ(Create(d.disk(), REGION_PRIMARY, 0, p1End * kSector - T).status, 0u);
  ExpectAgreement(d);
  ASSERT_EQ(Create(d.disk(), REGION_PRIMARY, p1End * kSector, 10 * C).status, 0u);
  const uint64_t freeStart = (p1End + 10 * K) * kSector;
  ASSERT_EQ(RegionsUnder(d.disk(), ZM_OBJ_FREE_SPACE),
            (std::vector<Region>{{ZM_OBJ_FREE_SPACE, freeStart, 267500 * C - freeStart}}));
  const uint64_t wrapped = (freeStart / kSector - (uint64_t{1} << 32)) * kSector;
  d.Write(wrapped, Pattern(kSector, 5));
  auto mbr = d.Read(0, kSector);
  ntp::ResetCounters();
  for (uint32_t type : {uint32_t{REGION_PRIMARY}, uint32_t{REGION_EXTENDED}}) {
    size_t alerts = zm::Alerts().size();
    EXPECT_EQ(Create(d.disk(), type, freeStart, 50 * C).status, LDM_E_NOT_FREE_SPACE);
    ExpectOneAlert(alerts, ALERT_GUID_CREATE_PARTITION_FAILED);
  }
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
  EXPECT_EQ(d.Read(wrapped, kSector), Pattern(kSector, 5));
  EXPECT_EQ(d.Read(0, kSector), mbr);
}

}  // namespace
