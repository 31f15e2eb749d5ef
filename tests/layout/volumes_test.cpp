// Placeholder volumes: one per partition, made once, their state merged from the
// partition on every pass.
#include <gtest/gtest.h>

#include "requests.h"

namespace {

using namespace requests;

class Volumes : public ::testing::Test {
 protected:
  Disk d{20, Sectors(63, 4 * K - 63, "7") + Sectors(4 * K, 4 * K, "6") + Sectors(8 * K, 8 * K, "5") +
                 Sectors(8 * K + 63, 4 * K - 63, "6")};
  void SetUp() override { d.Boot(); }
};

TEST_F(Volumes, StateAndSeverityMergeRules) {
  ZM_OBJECT_ID p1 = PartitionAt(d.disk(), T), p2 = PartitionAt(d.disk(), 4 * C);
  ZM_OBJECT_ID v1 = VolumeAt(d.disk(), T), v2 = VolumeAt(d.disk(), 4 * C);
  // v1: bit 38 forces failed state and severity 2; both sides' upper flags are kept.
  SetU64(v1, "STATE", 0x4000000004ull);
  SetU64(p1, "STATE", 0x100000004ull);
  SetU32(p1, "SEVERITY", 0);
  // v2: the partition's low state and severity, the volume's upper flags kept.
  SetU64(v2, "STATE", 0x200000004ull);
  SetU64(p2, "STATE", 0x8000ull);
  SetU32(p2, "SEVERITY", 1);
  EXPECT_EQ(CreateFakeVolumes(d.disk()), 0u);
  EXPECT_EQ(PropU64(v1, "STATE"), 0x4100000008ull);
  EXPECT_EQ(PropU64(v1, "SEVERITY"), 2u);
  EXPECT_EQ(PropU64(v2, "STATE"), 0x200008000ull);
  EXPECT_EQ(PropU64(v2, "SEVERITY"), 1u);
  SetU32(p2, "STATE", 0x8000);  // a state of another width is none: only the upper flags stay
  EXPECT_EQ(CreateFakeVolumes(d.disk()), 0u);
  EXPECT_EQ(PropU64(v2, "STATE"), 0x200000000ull);
}

TEST_F(Volumes, ExtendedPartitionTakesItsLogicalDrivesState) {
  ZM_OBJECT_ID l1 = PartitionAt(d.disk(), 8 * C);
  auto ext = Children(d.disk(), ZM_OBJ_EXTENDED);
  ASSERT_EQ(ext.size(), 1u);
  SetU64(l1, "STATE", 0x8);
  SetU32(l1, "SEVERITY", 2);
  EXPECT_EQ(CreateFakeVolumes(d.disk()), 0u);
  EXPECT_EQ(PropU64(ext[0], "STATE"), 0x8u);
  EXPECT_EQ(PropU64(ext[0], "SEVERITY"), 2u);
  EXPECT_EQ(PropU64(VolumeAt(d.disk(), 8 * C), "STATE"), 0x8u);
}

TEST_F(Volumes, RequestsAndPassesReleaseEverythingTheyObtain) {
  zm::WaitIdle();
  uint64_t blocks = zm::OutstandingBlocks();
  EXPECT_EQ(CreateFakeVolumes(d.disk()), 0u);
  EXPECT_EQ(UpdateAllDisks(), 0u);
  ASSERT_EQ(Create(d.disk(), REGION_LOGICAL, 12 * C, 2 * C).status, 0u);
  ASSERT_EQ(LdmMarkPartitionActive(VolumeAt(d.disk(), 4 * C)), 0u);
  ASSERT_EQ(Delete(VolumeAt(d.disk(), 12 * C)), 0u);
  EXPECT_EQ(Create(d.disk(), REGION_PRIMARY, 3 * C, C).status, LDM_E_NOT_FREE_SPACE);
  zm::WaitIdle();
  EXPECT_EQ(zm::OutstandingBlocks(), blocks);
  ExpectAgreement(d);
}

}  // namespace
