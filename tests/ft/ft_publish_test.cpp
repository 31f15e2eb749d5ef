// FT sets of an imported configuration published as volume objects.
#include <gtest/gtest.h>

#include <algorithm>

#include "diskreg.h"
#include "ftdisk.h"
#include "ftfixture.h"
#include "ftinfo.h"
#include "provider.h"

using namespace ftt;
using FtPublish = FtTest;
using namespace testutil;

namespace {

constexpr uint32_t kMissingSignature = 0x0BADD15C;

ZM_OBJECT_ID MakeVolume(uint32_t type, uint32_t group) {
  ZM_OBJECT_ID id = 0;
  EXPECT_EQ(0u, ObCreateObject(zm::Database(), ghProvider, ZM_OBJ_VOLUME, &id));
  SetU32(id, "LDM_VOLUME_TYPE", type);
  SetU32(id, "FT_GROUP", group);
  return id;
}

}  // namespace

// One blob with a set of every FT type, one member on a disk the machine lacks; each
// volume gets its type, state, length, group, facility and member 0's device path, and
// each member found its state and number.
TEST_F(FtPublish, EveryFtTypeBecomesAVolumeWithItsMembers) {
  EXPECT_EQ(0u, Publish({{{Signature(0),
                           {Member(P1, Mirror, 1, 0, Healthy), Member(P2, Stripe, 2, 0, Orphaned),
                            Member(L1, StripeWithParity, 3, 0, Regenerating)}},
                          {Signature(1),
                           {Member(Q1, Mirror, 1, 1, Initializing), Member(Q2, Stripe, 2, 1, 7),
                            Member(Q3, StripeWithParity, 3, 1), Member(Q4, VolumeSet, 4, 0)}},
                          {kMissingSignature, {Member({kCylinder, 3 * kCylinder}, StripeWithParity, 3, 2)}}},
                         {ftblob::FtSet(Mirror, FtStateOk, {{0, 0}, {1, 0}}),
                          ftblob::FtSet(Stripe, FtRegenerating, {{0, 1}, {1, 1}}),
                          ftblob::FtSet(StripeWithParity, FtInitializing, {{0, 2}, {1, 2}, {2, 0}}),
                          ftblob::FtSet(VolumeSet, FtCheckParity, {{1, 3}})}}));

  struct Want {
    uint32_t zmType;
    uint64_t state;
    uint32_t severity;  // the set's health: regenerating 1, failed 2
    int64_t length;
    std::vector<ZM_OBJECT_ID> members;
  };
  const Want want[] = {
      {7, 0x4, 0, P1.length, {Partition(0, 1), Partition(1, 1)}},
      // Striped sets publish whole 64 KiB stripes of their smallest member.
      {6, 0x8000, 1, 2 * (P2.length & ~0xFFFF), {Partition(0, 2), Partition(1, 2)}},
      {8, 0x400000000ull, 0, 2 * (L1.length & ~0xFFFF), {Partition(0, 3), Partition(1, 3)}},
      {5, 0x8, 2, Q4.length, {Partition(1, 4)}},
  };
  // The placeholder pass that follows leaves the sets' health alone: a healthy member
  // must not paint a failed set healthy.
  for (unsigned disk : {0, 1}) CreateFakeVolumes(DiskObject(disk));
  std::vector<ZM_OBJECT_ID> volumes = FtVolumes();
  ASSERT_EQ(4u, volumes.size());
  for (const Want& w : want) {
    SCOPED_TRACE(w.zmType);
    ZM_OBJECT_ID v = 0;
    for (ZM_OBJECT_ID id : volumes)
      if (PropU64(id, "LDM_VOLUME_TYPE") == w.zmType) v = id;
    ASSERT_NE(0u, v);
    EXPECT_EQ(w.state, PropU64(v, "STATE"));
    EXPECT_EQ(w.severity, PropU64(v, "SEVERITY"));
    EXPECT_EQ(uint64_t(w.length), PropU64(v, "LENGTH_LL"));
    EXPECT_EQ(2u, PropU64(v, "FACILITY"));
    EXPECT_EQ(1u, Parents(v, ZM_OBJ_CONTAINER).size());  // the container above the disks
    EXPECT_EQ(PropString(w.members[0], "\\Device\\"), PropString(v, "\\Device\\"));
    EXPECT_EQ(w.members, Children(v, ZM_OBJ_PARTITION));
    for (ZM_OBJECT_ID m : w.members) EXPECT_EQ(std::vector<ZM_OBJECT_ID>{v}, FtParents(m));
  }
  EXPECT_EQ(1u, PropU64(FtVolumes()[0], "FT_GROUP"));
  // Member states replace the partition's state whole; numbers come from the records.
  EXPECT_EQ(0x4u, PropU64(Partition(0, 1), "STATE"));
  EXPECT_EQ(0x400000000ull, PropU64(Partition(1, 1), "STATE"));
  EXPECT_EQ(0x2u, PropU64(Partition(0, 2), "STATE"));
  EXPECT_EQ(0x8u, PropU64(Partition(1, 2), "STATE"));
  EXPECT_EQ(0x8000u, PropU64(Partition(0, 3), "STATE"));
  EXPECT_EQ(1u, PropU64(Partition(1, 1), "FT_MEMBER_NUMBER"));
  EXPECT_EQ(0u, PropU64(Partition(0, 1), "FT_MEMBER_NUMBER"));
  // A second pass over the same sets moves no member and makes no volume.
  const uint64_t moves = zm::CallCount("ObRemoveChildObject");
  EXPECT_EQ(0u, AddFtObjectsToDatabase());
  EXPECT_EQ(zm::CallCount("ObRemoveChildObject"), moves);
  EXPECT_EQ(FtVolumes(), volumes);
}

// No member on the machine, or member 0 missing: no volume remains in the first case,
// and no device path is taken over in the second. The placeholder volume of the
// partition the mirror took is gone in the same pass.
TEST_F(FtPublish, SetsWithMissingMembers) {
  const size_t before = Objects(ZM_OBJ_VOLUME).size();
  // Q2's record is one sector off: no partition starts there.
  EXPECT_EQ(0u,
            Publish({{{kMissingSignature, {Member(P1, Stripe, 5, 0), Member(P2, Mirror, 6, 0)}},
                      {Signature(1),
                       {Member({Q2.start + kSector, Q2.length}, Stripe, 5, 1), Member(Q4, Mirror, 6, 1)}}},
                     {ftblob::FtSet(Stripe, FtStateOk, {{0, 0}, {1, 0}}),
                      ftblob::FtSet(Mirror, FtStateOk, {{0, 1}, {1, 1}})}}));
  std::vector<ZM_OBJECT_ID> volumes = FtVolumes();
  ASSERT_EQ(1u, volumes.size());
  EXPECT_EQ(7u, PropU64(volumes[0], "LDM_VOLUME_TYPE"));
  EXPECT_FALSE(HasProp(volumes[0], "\\Device\\"));
  EXPECT_EQ(before, Objects(ZM_OBJ_VOLUME).size());
  for (ZM_OBJECT_ID v : Objects(ZM_OBJ_VOLUME))
    if (PropU64(v, "FACILITY") == 1) {
      EXPECT_FALSE(Children(v, ZM_OBJ_PARTITION).empty()) << v;
    }
}

// A logical drive's object starts one track before the partition's data; the member is
// found through that correction, on every pass, and keeps a single FT parent. An
// extended partition with a member's exact extent is never taken for it.
TEST_F(FtPublish, LogicalDriveMemberFoundThroughTrackCorrection) {
  const ZM_OBJECT_ID logical = Partition(0, 3);
  ASSERT_NE(0u, logical);
  ASSERT_EQ(uint64_t(L1.start - kTrack), PropU64(logical, "OFFSET_LL"));
  ftblob::Store(ftblob::Build({{{Signature(0), {Member(L1, Stripe, 0, 0), Member(E0, Stripe, 0, 2)}},
                                {Signature(1), {Member(Q1, Stripe, 0, 1)}}},
                               {ftblob::FtSet(Stripe, FtStateOk, {{0, 0}, {1, 0}, {0, 1}})}}));
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    EXPECT_EQ(0u, AddFtObjectsToDatabase());
    std::vector<ZM_OBJECT_ID> volumes = FtVolumes();
    ASSERT_EQ(1u, volumes.size());
    // The removal pass compares extents as they stand, so the logical drive is unlinked
    // and linked again on every pass: its place among the children may change.
    std::vector<ZM_OBJECT_ID> children = Children(volumes[0], ZM_OBJ_PARTITION);
    std::sort(children.begin(), children.end());
    std::vector<ZM_OBJECT_ID> want{logical, Partition(1, 1)};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, children);
    EXPECT_EQ(1u, FtParents(logical).size());
  }
}

// A new configuration moves a partition to the volume of its new set, drops partitions
// that left a set, and deletes the volume of a set that is gone.
TEST_F(FtPublish, PartitionsFollowTheirSets) {
  EXPECT_EQ(0u, Publish({{{Signature(0), {Member(P1, Mirror, 0, 0), Member(P2, Mirror, 1, 0)}},
                          {Signature(1), {Member(Q1, Mirror, 0, 1), Member(Q2, Mirror, 1, 1)}}},
                         {ftblob::FtSet(Mirror, FtStateOk, {{0, 0}, {1, 0}}),
                          ftblob::FtSet(Mirror, FtStateOk, {{0, 1}, {1, 1}})}}));
  std::vector<ZM_OBJECT_ID> first = FtVolumes();
  ASSERT_EQ(2u, first.size());

  // Mirror 0 now pairs P1 with Q2; Q1 becomes plain; mirror 1 is broken; P2 and Q3 form
  // volume set 2.
  EXPECT_EQ(0u, Publish({{{Signature(0), {Member(P1, Mirror, 0, 0), Member(P2, VolumeSet, 2, 0)}},
                          {Signature(1), {Plain(Q1), Member(Q2, Mirror, 0, 1), Member(Q3, VolumeSet, 2, 1)}}},
                         {ftblob::FtSet(Mirror, FtStateOk, {{0, 0}, {1, 1}}),
                          ftblob::FtSet(VolumeSet, FtStateOk, {{0, 1}, {1, 2}})}}));
  std::vector<ZM_OBJECT_ID> now = FtVolumes();
  ASSERT_EQ(2u, now.size());
  EXPECT_EQ(first[0], now[0]);  // the mirror of group 0 keeps its object
  EXPECT_EQ((std::vector<ZM_OBJECT_ID>{Partition(0, 1), Partition(1, 2)}),
            Children(now[0], ZM_OBJ_PARTITION));
  EXPECT_EQ(5u, PropU64(now[1], "LDM_VOLUME_TYPE"));
  EXPECT_EQ((std::vector<ZM_OBJECT_ID>{Partition(0, 2), Partition(1, 3)}),
            Children(now[1], ZM_OBJ_PARTITION));
  EXPECT_TRUE(FtParents(Partition(1, 1)).empty());
  EXPECT_EQ(0u, Children(first[1]).size());
  for (ZM_OBJECT_ID v : Objects(ZM_OBJ_VOLUME)) EXPECT_NE(first[1], v);
}

// Bit 38 of a volume's previous state forces state 0x8 and severity 2; the upper half
// of the previous state carries over, except bit 34 (initializing), which like the
// lower half comes from the set.
TEST_F(FtPublish, PreviousStateUpperHalfAndBit38) {
  for (ZM_OBJECT_ID v : Objects(ZM_OBJ_VOLUME))
    ObDeleteObject(zm::Database(), v);  // the set's is listed first
  ASSERT_EQ(0u, Publish(MirrorConfig()));
  const ZM_OBJECT_ID v = FtVolumes().at(0);

  SetU64(v, "STATE", 0x100000000ull | 0x400000000ull | 0x8000);
  ASSERT_EQ(0u, AddFtObjectsToDatabase());
  EXPECT_EQ(0x100000004ull, PropU64(v, "STATE"));
  EXPECT_EQ(0u, PropU64(v, "SEVERITY"));

  SetU64(v, "STATE", 0x4000000000ull | 0x4);
  ASSERT_EQ(0u, AddFtObjectsToDatabase());
  EXPECT_EQ(0x4000000008ull, PropU64(v, "STATE"));
  EXPECT_EQ(2u, PropU64(v, "SEVERITY"));
}

// Two volume objects with the same type and group: the first in database order is
// the set's; the other is neither updated nor deleted.
TEST_F(FtPublish, FirstOfTwoVolumesWithTheSamePairIsUpdated) {
  const ZM_OBJECT_ID a = MakeVolume(7, 3);
  const ZM_OBJECT_ID b = MakeVolume(7, 3);
  EXPECT_EQ(0u, Publish(MirrorConfig(3)));
  EXPECT_EQ(2u, Children(a, ZM_OBJ_PARTITION).size());
  EXPECT_EQ(2u, PropU64(a, "FACILITY"));
  EXPECT_TRUE(Children(b, ZM_OBJ_PARTITION).empty());
  EXPECT_FALSE(HasProp(b, "FACILITY"));
  EXPECT_EQ((std::vector<ZM_OBJECT_ID>{a, b}), FtVolumes());
}

// The removal pass alone: gone sets lose their volume, partitions that are no longer
// members of that very set are unlinked, and other volumes are never touched.
TEST_F(FtPublish, RemoveObsoleteFromDOM) {
  for (ZM_OBJECT_ID v : Objects(ZM_OBJ_VOLUME))
    ObDeleteObject(zm::Database(), v);  // the sets' are listed first
  ASSERT_EQ(0u, Publish({{{Signature(0), {Member(P1, Mirror, 0, 0), Member(P2, StripeWithParity, 1, 0)}},
                          {Signature(1), {Member(Q1, Mirror, 0, 1), Member(Q2, StripeWithParity, 1, 1)}}},
                         {ftblob::FtSet(Mirror, FtStateOk, {{0, 0}, {1, 0}}),
                          ftblob::FtSet(StripeWithParity, FtStateOk, {{0, 1}, {1, 1}})}}));
  std::vector<ZM_OBJECT_ID> volumes = FtVolumes();
  ASSERT_EQ(2u, volumes.size());
  const ZM_OBJECT_ID other = MakeVolume(1, 0);  // a partition volume with group 0
  ObAddChildObject(zm::Database(), other, Partition(1, 4));

  // The parity set is gone; P1 is now plain, so the mirror keeps only Q1.
  FTInfo info;
  const std::vector<uint8_t> blob = ftblob::Build(
      {{{Signature(0), {Plain(P1), Plain(P2)}}, {Signature(1), {Member(Q1, Mirror, 0, 1), Plain(Q2)}}},
       {ftblob::FtSet(Mirror, FtStateOk, {{1, 0}})}});
  ASSERT_TRUE(info.Load(blob.data(), static_cast<uint32_t>(blob.size())));
  EXPECT_EQ(0u, RemoveObsoleteFromDOM(info));
  EXPECT_EQ(std::vector<ZM_OBJECT_ID>{volumes[0]}, FtVolumes());
  EXPECT_EQ(std::vector<ZM_OBJECT_ID>{Partition(1, 1)}, Children(volumes[0], ZM_OBJ_PARTITION));
  EXPECT_EQ(std::vector<ZM_OBJECT_ID>{Partition(1, 4)}, Children(other, ZM_OBJ_PARTITION));
  EXPECT_EQ(1u, PropU64(other, "LDM_VOLUME_TYPE"));

  // A failure of the removal pass is the whole publishing pass's result: Q1 is plain now
  // and its link to the mirror cannot be removed.
  ASSERT_EQ(0u,
            Publish({{{Signature(0), {Member(P1, Mirror, 0, 0)}}, {Signature(1), {Member(Q1, Mirror, 0, 1)}}},
                     {ftblob::FtSet(Mirror, FtStateOk, {{0, 0}, {1, 0}})}}));
  ftblob::Store(ftblob::Build({{{Signature(0), {Member(P1, Mirror, 0, 0)}}, {Signature(1), {Plain(Q1)}}},
                               {ftblob::FtSet(Mirror, FtStateOk, {{0, 0}})}}));
  zm::InjectFault("ObRemoveChildObject", 1, 0xC1000001u);
  EXPECT_EQ(0xC1000001u, AddFtObjectsToDatabase());
  zm::ClearFaults();
}

// Nothing stored: the pass reports that the configuration cannot be loaded and changes
// nothing; a malformed blob is treated the same, never walked.
TEST_F(FtPublish, UnloadableConfigurationChangesNothing) {
  const size_t volumes = Objects(ZM_OBJ_VOLUME).size();
  ftblob::Erase();
  EXPECT_EQ(0xC110000Fu, AddFtObjectsToDatabase());
  std::vector<uint8_t> blob = ftblob::Build(MirrorConfig());
  blobtest::Put32(blob, blob.size() - 8, 4000);  // the member points outside the blob
  ftblob::Store(blob);
  EXPECT_EQ(0xC110000Fu, AddFtObjectsToDatabase());
  EXPECT_EQ(volumes, Objects(ZM_OBJ_VOLUME).size());
}

TEST(FtTables, TypesAndStates) {
  for (uint32_t zm = 5; zm <= 8; ++zm) EXPECT_EQ(zm, FtTypeToZmType(ZmTypeToFtType(zm)));
  EXPECT_EQ(7u, FtTypeToZmType(Mirror));
  EXPECT_EQ(8u, FtTypeToZmType(StripeWithParity));
  for (uint32_t t : {uint32_t(NotAnFtMember), uint32_t(WholeDisk), 6u, 0xFFFFFFFFu})
    EXPECT_EQ(0u, FtTypeToZmType(t));
  for (uint32_t zm : {0u, 1u, 2u, 3u, 4u, 9u}) EXPECT_EQ(uint32_t(NotAnFtMember), ZmTypeToFtType(zm));
  EXPECT_EQ(0x20000u, FtStateToZmState(FtHasOrphan));
  EXPECT_EQ(0x400000000ull, FtStateToZmState(FtInitializing));
  for (uint32_t s : {2u, 5u, 6u, 100u}) EXPECT_EQ(0x8u, FtStateToZmState(s));
}
