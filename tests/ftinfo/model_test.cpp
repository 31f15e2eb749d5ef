// The FT configuration model over hand-built blobs: layout, queries, views, iterators,
// setters, searches and drive letters.
#include <gtest/gtest.h>

#include <vector>

#include "blob_builder.h"
#include "ftinfo.h"
#include "ftvol.h"

using namespace blobtest;

namespace {

constexpr uint32_t kSigA = 0x11111111, kSigB = 0x22222222, kSigC = 0x33333333;

std::vector<uint8_t> Held(const FTInfo& info) { return {info.Blob(), info.Blob() + info.UsedLength()}; }

// Two disks holding a two-member mirror (group 0) and a plain partition on disk A.
std::vector<Disk> MirrorDisks() {
  return {
      {kSigA, {{.start = 32256, .length = 1000, .letter = 'C', .assign = 1}, {.start = 5000, .length = 700}}},
      {kSigB, {{.start = 32256, .length = 1200}}}};
}

TEST(FtInfoLayout, SizesAndOffsetsOfBuiltBlobs) {
  // One disk, one partition, no FT part: 108 bytes, the record at 56.
  auto one = Build({{kSigA, {{.start = 32256, .length = 1 << 20}}}}, {}, false);
  ASSERT_EQ(one.size(), 108u);
  FTInfo a;
  ASSERT_TRUE(a.Load(one.data(), uint32_t(one.size())));
  EXPECT_EQ(a.UsedLength(), 108u);
  EXPECT_EQ(a.NumberOfFTVolumes(), 0u);
  uint32_t off = 0;
  _DISK_PARTITION* p = nullptr;
  ASSERT_TRUE(a.GetPartitionInfo(0, 0, &p, &off));
  EXPECT_EQ(off, 56u);
  EXPECT_EQ(p->Length, 1 << 20);

  // A two-disk mirror: 216 bytes; members point at 56 and 116.
  auto mirror =
      Build({{kSigA, {{.start = 32256, .length = 100}}}, {kSigB, {{.start = 32256, .length = 100}}}},
            {{.type = Mirror, .members = {{0, 0}, {1, 0}}}});
  ASSERT_EQ(mirror.size(), 216u);
  FTInfo m;
  ASSERT_TRUE(m.Load(mirror.data(), uint32_t(mirror.size())));
  _FT_MEMBER_DESCRIPTION* md = nullptr;
  ASSERT_TRUE(m.GetMemberInfo(0, 0, &md, nullptr));
  EXPECT_EQ(md->OffsetToPartitionInfo, 56u);
  ASSERT_TRUE(m.GetMemberInfo(0, 1, &md, &p));
  EXPECT_EQ(md->OffsetToPartitionInfo, 116u);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(p) - m.Blob(), 116);
  EXPECT_EQ(Held(m), mirror);  // round trip
}

TEST(FtInfoLayout, UsedLengthRuleAndCopies) {
  auto blob = Build(MirrorDisks(), {}, false);
  const uint32_t used = uint32_t(blob.size());
  // FtInformationSize 0: the used length ignores FtInformationOffset and trailing bytes.
  blob.resize(blob.size() + 20, 0xEE);
  FTInfo a;
  ASSERT_TRUE(a.Load(blob.data(), uint32_t(blob.size())));
  EXPECT_EQ(a.UsedLength(), used);
  FTInfo b;
  b = a;
  EXPECT_EQ(Held(b), std::vector<uint8_t>(blob.begin(), blob.begin() + used));
  EXPECT_NE(b.Blob(), a.Blob());  // a deep copy
  FTInfo empty;
  b = empty;  // an empty source empties the target
  EXPECT_EQ(b.Blob(), nullptr);
  EXPECT_EQ(b.NumberOfDisks(), 0u);
}

TEST(FtInfoLayout, EmptyObjectAnswersNothing) {
  FTInfo e;
  EXPECT_EQ(e.NumberOfDisks(), 0u);
  EXPECT_EQ(e.NumberOfFTVolumes(), 0u);
  EXPECT_EQ(e.UsedLength(), 0u);
  EXPECT_FALSE(e.GetDiskInfo(0, nullptr));
  EXPECT_FALSE(e.GetVolumeInfo(0, nullptr));
  EXPECT_FALSE(e.GetMemberInfo(0, 0, nullptr, nullptr));
  EXPECT_FALSE(e.GetPartitionInfo(0, 0, nullptr, nullptr));
  EXPECT_FALSE(e.SetDriveLetter(0, 0, 'D'));
  EXPECT_FALSE(e.AssignDriveLetter(kSigA, 0, 0, 'D'));
  EXPECT_EQ(e.FindPartition(kSigA, 0, 0), nullptr);
  EXPECT_EQ(e.FindVolume(Mirror, 0), nullptr);
  EXPECT_FALSE(e.Store());
}

struct LengthCase {
  uint16_t type;
  int64_t expected;
};

class FtVolumeLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(FtVolumeLength, ByTypeOverThreeMembersOnThreeDisks) {
  const LengthCase c = GetParam();
  std::vector<Disk> disks = {{kSigA, {{.start = 512, .length = 100}}},
                             {kSigB, {{.start = 512, .length = 120}}},
                             {kSigC, {{.start = 512, .length = 110}}}};
  // The set description says Mirror; the type comes from member 0's record.
  Set set{.type = c.type, .group = 3, .members = {{0, 0}, {1, 0}, {2, 0}}};
  auto blob = Build(disks, {set});
  blob[44 + 4 + 3 * 60 + 4 + 2] = 0;  // the description's Type field
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  Ptr<FTVolume> v(info.FindVolume(c.type, 3));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->GetType(), c.type);
  EXPECT_EQ(v->GetLength(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, FtVolumeLength,
                         ::testing::Values(LengthCase{Mirror, 100}, LengthCase{Stripe, 300},
                                           LengthCase{StripeWithParity, 200}, LengthCase{VolumeSet, 330},
                                           LengthCase{NotAnFtMember, 100}, LengthCase{WholeDisk, 100},
                                           LengthCase{9, 0}));

TEST(FtVolume, StateGroupAndInvalidIndices) {
  auto blob =
      Build(MirrorDisks(), {{.type = Mirror, .group = 7, .state = FtHasOrphan, .members = {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  FTVolume v(&info, 0);
  EXPECT_EQ(v.GetState(), uint32_t(FtHasOrphan));
  EXPECT_EQ(v.GetFtGroup(), 7);
  EXPECT_EQ(v.NumberOfMembers(), 2u);
  FTVolume beyond(&info, 1);
  EXPECT_EQ(beyond.GetState(), uint32_t(FtDisabled));
  EXPECT_EQ(beyond.NumberOfMembers(), 0u);
  EXPECT_EQ(beyond.GetType(), kNoFtType);
  EXPECT_EQ(beyond.GetFtGroup(), 0xFFFF);
  EXPECT_EQ(beyond.GetLength(), 0);
  EXPECT_FALSE(beyond.AssignDriveLetter('E'));
  // A set with no members has no type and no length.
  auto none = Build(MirrorDisks(), {{.type = Mirror, .members = {}}});
  FTInfo empty;
  ASSERT_TRUE(empty.Load(none.data(), uint32_t(none.size())));
  FTVolume e(&empty, 0);
  EXPECT_EQ(e.GetType(), kNoFtType);
  EXPECT_EQ(e.GetLength(), 0);
  EXPECT_EQ(e.GetState(), uint32_t(FtStateOk));
}

TEST(FtIterators, WalkOrderAndEnd) {
  // Member slots in the order disk B, disk A: the member iterator follows the slots.
  std::vector<Disk> disks = MirrorDisks();
  disks.push_back({kSigC, {{.start = 1, .length = 2}, {.start = 3, .length = 4}, {.start = 5, .length = 6}}});
  auto blob = Build(disks, {{.type = Stripe, .group = 0, .members = {{1, 0}, {0, 1}}},
                            {.type = VolumeSet, .group = 1, .members = {{2, 2}, {2, 0}, {2, 1}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));

  std::vector<uint32_t> signatures;
  std::vector<int64_t> starts;
  FTDiskIterator di(info);
  for (di.First(); !di.IsDone(); di.Next()) {
    Ptr<FTDisk> d(di.CurrentItem());
    ASSERT_TRUE(d);
    signatures.push_back(d->GetSignature());
    FTPartitionIterator pi(d.get());
    for (pi.First(); !pi.IsDone(); pi.Next()) {
      Ptr<FTPartition> p(pi.CurrentItem());
      ASSERT_TRUE(p);
      starts.push_back(p->GetStartingOffset());
      EXPECT_EQ(p->GetRegInfoOffset(), RecordOffset(disks, d->GetDiskIndex(), p->GetPartitionIndex()));
    }
    EXPECT_EQ(pi.CurrentItem(), nullptr);  // after the last Next
  }
  EXPECT_EQ(signatures, (std::vector<uint32_t>{kSigA, kSigB, kSigC}));
  EXPECT_EQ(starts, (std::vector<int64_t>{32256, 5000, 32256, 1, 3, 5}));
  EXPECT_EQ(di.CurrentItem(), nullptr);

  std::vector<int64_t> memberStarts;
  std::vector<uint32_t> memberSigs;
  FTVolumeIterator vi(&info);
  for (vi.First(); !vi.IsDone(); vi.Next()) {
    Ptr<FTVolume> v(vi.CurrentItem());
    FTMemberIterator mi(*v);
    for (mi.First(); !mi.IsDone(); mi.Next()) {
      Ptr<FTMember> m(mi.CurrentItem());
      ASSERT_TRUE(m);
      memberStarts.push_back(m->GetStartingOffset());
      memberSigs.push_back(m->GetDiskSignature());
    }
    EXPECT_EQ(mi.CurrentItem(), nullptr);
  }
  EXPECT_EQ(memberStarts, (std::vector<int64_t>{32256, 5000, 5, 1, 3}));
  EXPECT_EQ(memberSigs, (std::vector<uint32_t>{kSigB, kSigA, kSigC, kSigC, kSigC}));
  EXPECT_EQ(vi.CurrentItem(), nullptr);
  vi.First();  // First starts over
  Ptr<FTVolume> again(vi.CurrentItem());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->GetVolumeIndex(), 0u);
}

struct Probe : RefCount {
  explicit Probe(int* deaths) : deaths_(deaths) {}
  ~Probe() override { ++*deaths_; }
  int* deaths_;
};

TEST(FtPtr, CountsReferencesAndReleasesTheLast) {
  int deaths = 0;
  {
    Ptr<Probe> a(new Probe(&deaths));
    {
      Ptr<Probe> b(a);
      EXPECT_EQ(a->refcount, 2u);
    }
    EXPECT_EQ(deaths, 0);
    a = a.get();  // assigning the held object keeps it alive
    EXPECT_EQ(deaths, 0);
    EXPECT_EQ(a->refcount, 1u);
    a = new Probe(&deaths);  // reassignment releases the old one
    EXPECT_EQ(deaths, 1);
  }
  EXPECT_EQ(deaths, 2);
  Probe* manual = new Probe(&deaths);
  manual->refcount += 1;
  manual->downcount();
  EXPECT_EQ(deaths, 3);
}

TEST(FtViews, CopiesSeeTheirOwnChangesVolumesSeeTheBlob) {
  auto blob = Build(MirrorDisks(), {{.type = Mirror, .members = {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  FTVolume v(&info, 0);
  FTMemberIterator mi(v);
  Ptr<FTMember> early(mi.CurrentItem());
  Ptr<FTMember> member(mi.CurrentItem());
  ASSERT_TRUE(member->SetDriveLetter('F'));
  EXPECT_EQ(member->GetDriveLetter(), 'F');
  EXPECT_EQ(early->GetDriveLetter(), 'C');  // taken before the change
  EXPECT_EQ(info.Blob()[56 + 40], 'F');
  Ptr<FTMember> late(mi.CurrentItem());
  EXPECT_EQ(late->GetDriveLetter(), 'F');
  ASSERT_TRUE(member->SetAssignDriveLetter(0x101));  // stored as its low byte
  EXPECT_EQ(info.Blob()[56 + 41], 1);
  EXPECT_EQ(member->GetAssignDriveLetter(), 1);

  _FT_DESCRIPTION* d = nullptr;
  ASSERT_TRUE(info.GetVolumeInfo(0, &d));
  d->FtVolumeState = FtRegenerating;
  EXPECT_EQ(v.GetState(), uint32_t(FtRegenerating));  // re-resolved on every call

  FTDisk disk(&info, 0);
  FTPartitionIterator pi(disk);
  Ptr<FTPartition> p(pi.CurrentItem());
  ASSERT_TRUE(p->SetFtLength(-5));
  EXPECT_EQ(Get64(info.Blob(), 56 + 24), -5);
  EXPECT_EQ(p->GetFtLength(), -5);
  ASSERT_TRUE(p->SetFtGroup(9));
  EXPECT_EQ(Get16(info.Blob(), 56 + 44), 9);
  EXPECT_EQ(v.GetFtGroup(), 9);
}

TEST(FtInfoSetters, OutOfRangeWritesNothing) {
  auto blob = Build(MirrorDisks(), {{.type = Mirror, .members = {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  EXPECT_FALSE(info.SetFtType(0, 2, Stripe));  // disk A has two records
  EXPECT_FALSE(info.SetFtPartitionState(2, 0, Orphaned));
  EXPECT_FALSE(info.SetDriveLetter(1, 1, 'Q'));
  EXPECT_FALSE(info.SetPartitionInfoOffset(0, 2, 56));
  EXPECT_FALSE(info.SetMemberDriveLetter(1, 0, 'Q'));
  EXPECT_FALSE(info.SetMemberAssignDriveLetter(0, 5, 1));
  EXPECT_EQ(Held(info), blob);
  // A member re-pointed at something that is not a record is no longer resolved.
  ASSERT_TRUE(info.SetPartitionInfoOffset(0, 1, 60));
  _DISK_PARTITION* record = nullptr;
  EXPECT_TRUE(info.GetMemberInfo(0, 1, nullptr, nullptr));  // the member record itself is there
  EXPECT_FALSE(info.GetMemberInfo(0, 1, nullptr, &record));
  EXPECT_FALSE(info.SetMemberDriveLetter(0, 1, 'Q'));
  FTVolume v(&info, 0);
  FTMemberIterator mi(v);
  mi.Next();
  EXPECT_EQ(mi.CurrentItem(), nullptr);
}

TEST(FtInfoSearch, FindPartitionAndVolume) {
  // Two disks with one signature: the search goes on into the second.
  std::vector<Disk> disks = {{kSigA, {{.start = 100, .length = 50}}},
                             {kSigA, {{.start = 200, .length = 50}}}};
  auto blob = Build(disks, {{.type = Stripe, .group = 4, .members = {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  Ptr<FTPartition> p(info.FindPartition(kSigA, 200, 50));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->GetDiskIndex(), 1u);
  EXPECT_EQ(p->GetRegInfoOffset(), RecordOffset(disks, 1, 0));
  EXPECT_EQ(p->GetFtGroup(), 4);
  EXPECT_EQ(info.FindPartition(kSigA, 200, 51), nullptr);  // length compared exactly
  EXPECT_EQ(info.FindPartition(kSigB, 200, 50), nullptr);
  Ptr<FTVolume> v(info.FindVolume(Stripe, 4));
  ASSERT_TRUE(v);
  EXPECT_EQ(info.FindVolume(Stripe, 5), nullptr);
  EXPECT_EQ(info.FindVolume(Mirror, 4), nullptr);
}

TEST(FtInfoLetters, PlainPartition) {
  auto blob = Build(MirrorDisks(), {{.type = Mirror, .members = {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  const uint32_t plain = RecordOffset(MirrorDisks(), 0, 1);
  ASSERT_TRUE(info.AssignDriveLetter(kSigA, 5000, 700, 'G'));
  EXPECT_EQ(info.Blob()[plain + 40], 'G');
  EXPECT_EQ(info.Blob()[plain + 41], 1);
  ASSERT_TRUE(info.AssignDriveLetter(kSigA, 5000, 700, ' '));
  EXPECT_EQ(info.Blob()[plain + 40], ' ');
  EXPECT_EQ(info.Blob()[plain + 41], 0);
  EXPECT_FALSE(info.AssignDriveLetter(kSigA, 5000, 701, 'G'));
}

TEST(FtInfoLetters, WholeSetAndOnlyMemberZeroGetsTheFlag) {
  std::vector<Disk> disks = {{kSigA, {{.start = 1, .length = 10}, {.start = 20, .length = 10}}},
                             {kSigB, {{.start = 1, .length = 10}, {.start = 20, .length = 10}}},
                             {kSigC, {{.start = 1, .length = 10}}}};
  // Two stripe sets: group 1 first (on the second records), then group 2 whose slot 0
  // record is FT member 1.
  Set first{.type = Stripe, .group = 1, .members = {{0, 1}, {1, 1}}};
  Set second{.type = Stripe, .group = 2, .members = {{0, 0}, {1, 0}, {2, 0}}};
  auto blob = Build(disks, {first, second});
  const uint32_t a0 = RecordOffset(disks, 0, 0), b0 = RecordOffset(disks, 1, 0),
                 c0 = RecordOffset(disks, 2, 0);
  Put16(blob, a0 + 46, 1);
  Put16(blob, b0 + 46, 0);
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  ASSERT_TRUE(info.AssignDriveLetter(kSigC, 1, 10, 'K'));
  for (uint32_t off : {a0, b0, c0}) EXPECT_EQ(info.Blob()[off + 40], 'K') << off;
  EXPECT_EQ(info.Blob()[b0 + 41], 1);  // FtMember 0
  EXPECT_EQ(info.Blob()[a0 + 41], 0);
  EXPECT_EQ(info.Blob()[c0 + 41], 0);
  // The first set (group 1) is untouched.
  EXPECT_EQ(info.Blob()[RecordOffset(disks, 0, 1) + 40], 0);

  // Through the volume, with ' ': letter stored, member 0's flag cleared.
  Ptr<FTVolume> v(info.FindVolume(Stripe, 2));
  ASSERT_TRUE(v->AssignDriveLetter(' '));
  EXPECT_EQ(info.Blob()[c0 + 40], ' ');
  EXPECT_EQ(info.Blob()[b0 + 41], 0);
}

TEST(FtInfoLetters, FtMemberWithoutFtPartIsRefused) {
  std::vector<Disk> disks = {{kSigA, {{.start = 1, .length = 10, .ftType = Mirror, .group = 0}}}};
  auto blob = Build(disks, {}, false);
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  EXPECT_FALSE(info.AssignDriveLetter(kSigA, 1, 10, 'D'));
  EXPECT_EQ(Held(info), blob);
}

}  // namespace
