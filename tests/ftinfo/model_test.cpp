// The FT configuration model over hand-built blobs: queries, views, iterators, setters,
// searches and drive letters.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "blob_builder.h"
#include "ftinfo.h"
#include "ftvol.h"

using namespace blobtest;

namespace {

constexpr uint32_t kSigA = 0x11111111, kSigB = 0x22222222, kSigC = 0x33333333;

// Two disks holding a two-member mirror (group 0) and a plain partition on disk A.
std::vector<Disk> MirrorDisks() {
  return {
      {kSigA, {{.start = 32256, .length = 1000, .letter = 'C', .assign = 1}, {.start = 5000, .length = 700}}},
      {kSigB, {{.start = 32256, .length = 1200}}}};
}

TEST(FtInfo, UsedLengthCopiesAndTheEmptyObject) {
  auto blob = Build(MirrorDisks(), {{.type = Mirror, .members = {{0, 0}, {1, 0}}}});
  ASSERT_EQ(blob.size(), 44 + 4 + 112 + 60 + 4 + 12 + 32u);
  const auto used = blob;
  blob.resize(blob.size() + 20, 0xEE);  // bytes past the used length are no configuration
  FTInfo a, b, empty;
  ASSERT_TRUE(a.Load(blob.data(), uint32_t(blob.size())));
  b = a;
  EXPECT_EQ(Bytes(b), used);
  EXPECT_NE(b.Blob(), a.Blob());
  b = empty;
  EXPECT_EQ(b.Blob(), nullptr);
  EXPECT_EQ(b.NumberOfDisks() + b.NumberOfFTVolumes() + b.UsedLength(), 0u);
  EXPECT_FALSE(b.GetMemberInfo(0, 0, nullptr, nullptr));
  EXPECT_FALSE(b.Store());
}

// Members of 100, 120 and 110 bytes: the smallest, counted once per data member, or
// the sum; a plain record's volume is that record.
TEST(FtVolume, LengthByTypeOfMemberZerosRecord) {
  const std::vector<Disk> disks = {{kSigA, {{.start = 512, .length = 100}}},
                                   {kSigB, {{.start = 512, .length = 120}}},
                                   {kSigC, {{.start = 512, .length = 110}}}};
  for (auto [type, expected] : {std::pair<uint16_t, int64_t>{Mirror, 100},
                                {Stripe, 300},
                                {StripeWithParity, 200},
                                {VolumeSet, 330},
                                {NotAnFtMember, 100},
                                {9, 0}}) {
    auto blob = Build(disks, {{.type = type, .group = 3, .members = {{0, 0}, {1, 0}, {2, 0}}}});
    Put16(blob, 44 + 4 + 3 * 60 + 4 + 2, Mirror);  // the set description's own Type is not used
    FTInfo info;
    ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
    Ptr<FTVolume> v(info.FindVolume(type, 3));
    ASSERT_TRUE(v) << type;
    EXPECT_EQ(v->GetLength(), expected) << type;
  }
}

TEST(FtVolume, InvalidIndexAndMemberlessSet) {
  auto blob =
      Build(MirrorDisks(), {{.type = Mirror, .group = 7, .state = FtHasOrphan, .members = {{0, 0}, {1, 0}}},
                            {.type = Mirror, .members = {}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  EXPECT_EQ(FTVolume(&info, 0).GetState(), uint32_t(FtHasOrphan));
  EXPECT_EQ(FTVolume(&info, 0).GetFtGroup(), 7);
  FTVolume empty(&info, 1), beyond(&info, 2);
  EXPECT_EQ(beyond.GetState(), uint32_t(FtDisabled));
  EXPECT_EQ(empty.GetState(), uint32_t(FtStateOk));
  for (FTVolume* v : {&empty, &beyond}) {
    EXPECT_EQ(v->GetLength(), 0);
    EXPECT_FALSE(v->AssignDriveLetter('E'));
  }
}

TEST(FtIterators, WalkOrderAndEnd) {
  std::vector<Disk> disks = MirrorDisks();
  disks.push_back({kSigC, {{.start = 1, .length = 2}, {.start = 3, .length = 4}, {.start = 5, .length = 6}}});
  // Member slots are followed in their order, not in disk order.
  auto blob = Build(disks, {{.type = Stripe, .group = 0, .members = {{1, 0}, {0, 1}}},
                            {.type = VolumeSet, .group = 1, .members = {{2, 2}, {2, 0}, {2, 1}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));

  std::vector<uint32_t> offsets;
  FTDiskIterator di(info);
  for (di.First(); !di.IsDone(); di.Next()) {
    Ptr<FTDisk> d(di.CurrentItem());
    FTPartitionIterator pi(*d);
    for (pi.First(); !pi.IsDone(); pi.Next())
      offsets.push_back(Ptr<FTPartition>(pi.CurrentItem())->GetRegInfoOffset());
    EXPECT_EQ(pi.CurrentItem(), nullptr);
  }
  EXPECT_EQ(di.CurrentItem(), nullptr);
  EXPECT_EQ(offsets, (std::vector<uint32_t>{56, 108, 168, 228, 280, 332}));

  std::vector<int64_t> starts;
  FTVolumeIterator vi(info);
  for (vi.First(); !vi.IsDone(); vi.Next()) {
    Ptr<FTVolume> v(vi.CurrentItem());
    FTMemberIterator mi(*v);
    for (mi.First(); !mi.IsDone(); mi.Next())
      starts.push_back(Ptr<FTMember>(mi.CurrentItem())->GetStartingOffset());
    EXPECT_EQ(mi.CurrentItem(), nullptr);
  }
  EXPECT_EQ(starts, (std::vector<int64_t>{32256, 5000, 5, 1, 3}));
}

TEST(FtViews, CopiesSeeOnlyTheirOwnChanges) {
  auto blob = Build(MirrorDisks(), {{.type = Mirror, .members = {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  FTVolume v(&info, 0);
  FTMemberIterator mi(v);
  Ptr<FTMember> early(mi.CurrentItem()), member(mi.CurrentItem());
  ASSERT_TRUE(member->SetDriveLetter('F'));
  ASSERT_TRUE(member->SetAssignDriveLetter(0x100));  // stored as its low byte
  EXPECT_EQ(member->GetDriveLetter(), 'F');
  EXPECT_EQ(early->GetDriveLetter(), 'C');
  EXPECT_EQ(info.Blob()[56 + 40], 'F');
  EXPECT_EQ(info.Blob()[56 + 41], 0);

  FTDisk disk(&info, 0);
  FTPartitionIterator pi(disk);
  Ptr<FTPartition> p(pi.CurrentItem());
  ASSERT_TRUE(p->SetFtGroup(9));
  EXPECT_EQ(p->GetFtGroup(), 9);
  EXPECT_EQ(v.GetFtGroup(), 9);  // volumes re-resolve on every call
  EXPECT_EQ(early->GetFtGroup(), 0);
}

TEST(FtInfoSetters, OutOfRangeOrUnresolvableWritesNothing) {
  auto blob = Build(MirrorDisks(), {{.type = Mirror, .members = {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  EXPECT_FALSE(info.SetFtType(0, 2, Stripe));  // disk A has two records
  EXPECT_FALSE(info.SetFtLength(2, 0, 1));
  EXPECT_FALSE(info.SetPartitionInfoOffset(0, 2, 56));
  EXPECT_FALSE(info.SetMemberDriveLetter(1, 0, 'Q'));
  EXPECT_EQ(Bytes(info), blob);
  // A member re-pointed inside a record is no longer followed.
  ASSERT_TRUE(info.SetPartitionInfoOffset(0, 1, 60));
  _DISK_PARTITION* record = nullptr;
  EXPECT_FALSE(info.GetMemberInfo(0, 1, nullptr, &record));
  EXPECT_FALSE(info.SetMemberDriveLetter(0, 1, 'Q'));
  EXPECT_EQ(0, std::memcmp(info.Blob(), blob.data(), 184 + 8));
}

TEST(FtInfoSearch, SameSignatureOnTwoDisksAndExactLocation) {
  std::vector<Disk> disks = {{kSigA, {{.start = 100, .length = 50}}},
                             {kSigA, {{.start = 200, .length = 50}}}};
  auto blob = Build(disks, {{.type = Stripe, .group = 4, .members = {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  Ptr<FTPartition> p(info.FindPartition(kSigA, 200, 50));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->GetRegInfoOffset(), RecordOffset(disks, 1, 0));
  EXPECT_EQ(info.FindPartition(kSigA, 200, 51), nullptr);
  EXPECT_TRUE(Ptr<FTVolume>(info.FindVolume(Stripe, 4)));
  EXPECT_FALSE(Ptr<FTVolume>(info.FindVolume(Mirror, 4)));
}

TEST(FtInfoLetters, PlainPartitionAndFtMemberWithoutFtPart) {
  std::vector<Disk> disks = MirrorDisks();
  disks[1].parts[0].ftType = Mirror;
  auto blob = Build(disks, {}, false);
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  const uint32_t plain = RecordOffset(disks, 0, 1);
  ASSERT_TRUE(info.AssignDriveLetter(kSigA, 5000, 700, 'G'));
  EXPECT_EQ(info.Blob()[plain + 40], 'G');
  EXPECT_EQ(info.Blob()[plain + 41], 1);
  ASSERT_TRUE(info.AssignDriveLetter(kSigA, 5000, 700, ' '));
  EXPECT_EQ(info.Blob()[plain + 41], 0);
  const auto before = Bytes(info);
  EXPECT_FALSE(info.AssignDriveLetter(kSigB, 32256, 1200, 'H'));  // FT member, no FT part
  EXPECT_FALSE(info.AssignDriveLetter(kSigA, 5000, 701, 'G'));
  EXPECT_EQ(Bytes(info), before);
}

TEST(FtInfoLetters, WholeSetAndOnlyFtMemberZeroGetsTheFlag) {
  std::vector<Disk> disks = {{kSigA, {{.start = 1, .length = 10}, {.start = 20, .length = 10}}},
                             {kSigB, {{.start = 1, .length = 10}, {.start = 20, .length = 10}}},
                             {kSigC, {{.start = 1, .length = 10}}}};
  // A stripe set of group 1 comes first; in the set of group 2, slot 0 is FT member 1.
  auto blob = Build(disks, {{.type = Stripe, .group = 1, .members = {{0, 1}, {1, 1}}},
                            {.type = Stripe, .group = 2, .members = {{0, 0}, {1, 0}, {2, 0}}}});
  const uint32_t a0 = RecordOffset(disks, 0, 0), b0 = RecordOffset(disks, 1, 0),
                 c0 = RecordOffset(disks, 2, 0);
  Put16(blob, a0 + 46, 1);
  Put16(blob, b0 + 46, 0);
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  ASSERT_TRUE(info.AssignDriveLetter(kSigC, 1, 10, 'K'));
  for (uint32_t off : {a0, b0, c0}) EXPECT_EQ(info.Blob()[off + 40], 'K') << off;
  EXPECT_EQ(info.Blob()[b0 + 41] * 100 + info.Blob()[a0 + 41] * 10 + info.Blob()[c0 + 41], 100);
  EXPECT_EQ(info.Blob()[RecordOffset(disks, 0, 1) + 40], 0);  // the other set is untouched
  ASSERT_TRUE(Ptr<FTVolume>(info.FindVolume(Stripe, 2))->AssignDriveLetter(' '));
  EXPECT_EQ(info.Blob()[c0 + 40], ' ');
  EXPECT_EQ(info.Blob()[b0 + 41], 0);
}

}  // namespace
