// Merging a freshly scanned disk part with the stored FT sets, and orphaning the members
// whose partition is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "blob_builder.h"
#include "diskreg.h"
#include "ftinfo.h"
#include "ftvol.h"

using namespace blobtest;

class FTInfoTestAccess {
 public:
  static int AddDisk(FTInfo& info, const _DISK_DESCRIPTION* disk) { return info.AddDisk(disk); }
  static int AddPartition(FTInfo& info, uint32_t signature, const _DISK_PARTITION* p) {
    return info.AddPartition(signature, p);
  }
};

namespace {

constexpr uint32_t kSigA = 0xA0A0A0A0, kSigB = 0xB0B0B0B0;

FTInfo* Loaded(const std::vector<uint8_t>& blob) {
  auto* info = new FTInfo;
  EXPECT_TRUE(info->Load(blob.data(), uint32_t(blob.size())));
  return info;
}

// The stored configuration: a mirror (group 5) on A:32256 and B:32256 with FT
// attributes, and a plain partition on A.
std::vector<Disk> StoredDisks() {
  return {
      {kSigA,
       {{.start = 32256, .length = 4000, .letter = 'M', .assign = 1, .ftState = Healthy, .ftLength = 1234},
        {.start = 9000, .length = 100, .letter = 'C', .assign = 1}}},
      {kSigB, {{.start = 32256, .length = 4100, .letter = 'M', .ftState = Orphaned, .ftLength = 1234}}}};
}
std::vector<uint8_t> StoredBlob() {
  auto blob =
      Build(StoredDisks(), {{.type = Mirror, .group = 5, .state = FtHasOrphan, .members = {{0, 0}, {1, 0}}}});
  Put32(blob, 4, 0x55);  // CheckSum: the merged header takes the scanned one's
  Put32(blob, 28, 64);   // FtStripeWidth and FtPoolSize: carried over
  Put32(blob, 32, 7);
  return blob;
}

// What a scan reports: plain records with the scan's letters, room reserved at the end.
Part Scanned(int64_t start, int64_t length, uint8_t letter, uint16_t number) {
  return {.start = start, .length = length, .letter = letter, .assign = 1, .logical = number, .modified = 1};
}

// Without stored FT sets the scan replaces the blob, but a disk it did not find (B, away)
// keeps its description whole; without a scan, or with a scan that has FT sets of its
// own, nothing changes.
TEST(FtRebuild, TheScanReplacesABlobWithoutSetsAndIsIgnoredWithSetsOfItsOwn) {
  auto scan = Build({{kSigA, {Scanned(32256, 4000, 'E', 1)}, 52}}, {}, false);
  for (bool loadedFirst : {true, false}) {
    FTInfo held;
    if (loadedFirst) {
      auto plain = Build(StoredDisks(), {}, true);
      ASSERT_TRUE(held.Load(plain.data(), uint32_t(plain.size())));
    }
    EXPECT_TRUE(held.Rebuild(scan.data(), uint32_t(scan.size())));
    Disk away = StoredDisks()[1];
    away.slack = 52;
    EXPECT_EQ(Bytes(held),
              loadedFirst ? Build({{kSigA, {Scanned(32256, 4000, 'E', 1)}}, away}, {}, false) : scan)
        << loadedFirst;
  }
  auto stored = StoredBlob();
  FTInfo held;
  ASSERT_TRUE(held.Load(stored.data(), uint32_t(stored.size())));
  EXPECT_TRUE(held.Rebuild(nullptr, 0));
  EXPECT_TRUE(held.Rebuild(stored.data(), 0));
  auto withSets = Build({{kSigA, {{.start = 1, .length = 2}}}, {kSigB, {{.start = 1, .length = 2}}}},
                        {{.type = Stripe, .members = {{0, 0}, {1, 0}}}});
  EXPECT_TRUE(held.Rebuild(withSets.data(), uint32_t(withSets.size())));
  EXPECT_EQ(Bytes(held), stored);
}

TEST(FtRebuild, CarriesTheSetsIntoTheScannedDiskPart) {
  // The scan lists B first, A's records in another order, and a new partition on B.
  std::vector<Disk> scanDisks = {{kSigB, {Scanned(32256, 4100, 'F', 1), Scanned(90000, 10, 'H', 2)}},
                                 {kSigA, {Scanned(9000, 100, 'D', 1), Scanned(32256, 4000, 'G', 2)}, 52}};
  auto scan = Build(scanDisks, {}, false);
  auto stored = StoredBlob();
  FTInfo held;
  ASSERT_TRUE(held.Load(stored.data(), uint32_t(stored.size())));
  ASSERT_TRUE(held.Rebuild(scan.data(), uint32_t(scan.size())));

  const uint8_t* b = held.Blob();
  const uint32_t d = 44 + Get32(scan.data(), 16);
  EXPECT_EQ(Get32(b, 20), d);                         // FT part right after the scanned disk part
  EXPECT_EQ(Get32(b, 24), Get32(stored.data(), 24));  // the stored FT part's size
  EXPECT_EQ(Get32(b, 28), 64u);                       // stripe width and pool size carried
  EXPECT_EQ(Get32(b, 4), 0u);                         // other header fields: the scan's

  const uint32_t memberA = RecordOffset(scanDisks, 1, 1), memberB = RecordOffset(scanDisks, 0, 0);
  _FT_MEMBER_DESCRIPTION* m = nullptr;
  ASSERT_TRUE(held.GetMemberInfo(0, 0, &m, nullptr));
  EXPECT_EQ(m->OffsetToPartitionInfo, memberA);
  ASSERT_TRUE(held.GetMemberInfo(0, 1, &m, nullptr));
  EXPECT_EQ(m->OffsetToPartitionInfo, memberB);

  // The member records take the stored FT attributes and letter and keep the scan's
  // location, number and Modified flag.
  const uint32_t storedA = RecordOffset(StoredDisks(), 0, 0), storedB = RecordOffset(StoredDisks(), 1, 0);
  for (auto [now, was] : {std::pair{memberA, storedA}, std::pair{memberB, storedB}}) {
    EXPECT_EQ(0, std::memcmp(b + now, stored.data() + was, 8)) << now;            // FtType, FtState
    EXPECT_EQ(0, std::memcmp(b + now + 24, stored.data() + was + 24, 8)) << now;  // FtLength
    EXPECT_EQ(0, std::memcmp(b + now + 40, stored.data() + was + 40, 2)) << now;  // letter, flag
    EXPECT_EQ(0, std::memcmp(b + now + 44, stored.data() + was + 44, 4)) << now;  // group, member
    EXPECT_EQ(0, std::memcmp(b + now + 8, scan.data() + now + 8, 16)) << now;     // location
    EXPECT_EQ(0, std::memcmp(b + now + 42, scan.data() + now + 42, 2)) << now;    // LogicalNumber
    EXPECT_EQ(b[now + 48], 1) << now;                                             // Modified
  }
  // Plain records keep what the scan gave them.
  const uint32_t plain = RecordOffset(scanDisks, 1, 0);
  EXPECT_EQ(0, std::memcmp(b + plain, scan.data() + plain, 52));

  // Storing and reloading the merged blob gives the same bytes.
  FTInfo again;
  ASSERT_TRUE(again.Load(held.Blob(), held.UsedLength()));
  EXPECT_EQ(Bytes(again), Bytes(held));
}

TEST(FtRebuild, RecordMissingFromAScannedDiskIsTakenOver) {
  auto scan =
      Build({{kSigA, {Scanned(32256, 4000, 'G', 1)}}, {kSigB, {Scanned(77777, 10, 'H', 1)}}}, {}, false);
  auto stored = StoredBlob();
  FTInfo held;
  ASSERT_TRUE(held.Load(stored.data(), uint32_t(stored.size())));
  ASSERT_TRUE(held.Rebuild(scan.data(), uint32_t(scan.size())));
  FTDisk b(&held, 1);
  ASSERT_EQ(b.NumberOfPartitions(), 2u);
  _DISK_PARTITION* p = nullptr;
  uint32_t off = 0;
  ASSERT_TRUE(b.GetPartitionInfo(0, &p, nullptr));
  EXPECT_EQ(int64_t(p->StartingOffset), 77777);  // the scanned record stays first
  ASSERT_TRUE(b.GetPartitionInfo(1, &p, &off));
  EXPECT_EQ(int64_t(p->StartingOffset), 32256);
  EXPECT_EQ(p->FtGroup, 5);
  _FT_MEMBER_DESCRIPTION* m = nullptr;
  ASSERT_TRUE(held.GetMemberInfo(0, 1, &m, nullptr));
  EXPECT_EQ(m->OffsetToPartitionInfo, off);
}

TEST(FtAddDisk, RefusedWithFtSetsAndAppendedAfterTheLastDescription) {
  std::unique_ptr<FTInfo> withSets(Loaded(StoredBlob()));
  _DISK_DESCRIPTION* d = nullptr;
  ASSERT_TRUE(withSets->GetDiskInfo(1, &d));
  const auto before = Bytes(*withSets);
  EXPECT_FALSE(FTInfoTestAccess::AddDisk(*withSets, d));
  EXPECT_FALSE(FTInfoTestAccess::AddDisk(*withSets, nullptr));
  EXPECT_EQ(Bytes(*withSets), before);

  // Room reserved past the descriptions must not be read as the new one.
  std::unique_ptr<FTInfo> scan(Loaded(Build({{kSigA, {Scanned(1, 2, 'E', 1)}, 104}}, {}, false)));
  ASSERT_TRUE(FTInfoTestAccess::AddDisk(*scan, d));
  ASSERT_EQ(scan->NumberOfDisks(), 2u);
  FTDisk added(scan.get(), 1);
  EXPECT_EQ(added.GetSignature(), kSigB);
  EXPECT_EQ(Get32(scan->Blob(), 16), 4 + 60 + 104 + 60u);
  EXPECT_EQ(Get32(scan->Blob(), 20), 44 + 4 + 60 + 104 + 60u);  // the FT part moves behind it

  // AddPartition goes to the end of that disk's records.
  _DISK_PARTITION rec{};
  rec.StartingOffset = 555;
  rec.Length = 5;
  ASSERT_TRUE(FTInfoTestAccess::AddPartition(*scan, kSigA, &rec));
  Ptr<FTPartition> p(scan->FindPartition(kSigA, 555, 5));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->GetPartitionIndex(), 1u);
  EXPECT_EQ(Get32(scan->Blob(), 20), 44 + 4 + 60 + 104 + 60 + 52u);
  EXPECT_FALSE(FTInfoTestAccess::AddPartition(*scan, 0x1234, &rec));

  // With FT sets: a record added in front of a member's record takes the member along.
  ASSERT_TRUE(FTInfoTestAccess::AddPartition(*withSets, kSigA, &rec));
  std::string why;
  EXPECT_TRUE(DiskRegistryValidate(withSets->Blob(), withSets->UsedLength(), &why)) << why;
  std::unique_ptr<FTVolume> mirror(withSets->FindVolume(Mirror, 5));
  ASSERT_TRUE(mirror);
  FTMemberIterator members(mirror.get());
  members.First();
  members.Next();
  Ptr<FTMember> second(members.CurrentItem());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->GetDiskSignature(), kSigB);
  EXPECT_EQ(second->GetStartingOffset(), 32256);
}

// Members whose partition is gone: the rule the boot-time check and the rebuild share.
constexpr int64_t kStart = 32256, kLength = 1 << 20;

uint32_t Sig(uint32_t disk) { return 0x51000000u + disk; }

// One set of n members, member i the only partition of disk i.
std::vector<uint8_t> OneSet(uint16_t type, uint32_t n, uint32_t state = FtStateOk) {
  std::vector<Disk> disks;
  Set set{type, 4, state, {}};
  for (uint32_t i = 0; i < n; ++i) {
    disks.push_back({Sig(i), {{.start = kStart, .length = kLength}}});
    set.members.push_back({i, 0});
  }
  return Build(disks, {set});
}

uint32_t SetState(const std::vector<uint8_t>& b) { return Get32(b.data(), Get32(b.data(), 20) + 4 + 8); }

DiskRegistryPresence AllBut(std::set<uint32_t> gone) {
  return [gone](uint32_t sig, int64_t offset, int64_t length) {
    return !gone.count(sig) && offset == kStart && length == kLength;
  };
}

TEST(FtOrphans, EachTypeWithNoneOneOrTwoMembersLost) {
  struct Case {
    uint16_t type;
    uint32_t members;
    uint32_t after[3];  // the set's state with 0, 1 and 2 members lost
  };
  const Case cases[] = {
      {Mirror, 2, {FtStateOk, FtHasOrphan, FtDisabled}},
      {StripeWithParity, 3, {FtStateOk, FtHasOrphan, FtDisabled}},
      {Stripe, 3, {FtStateOk, FtDisabled, FtDisabled}},
      {VolumeSet, 3, {FtStateOk, FtDisabled, FtDisabled}},
  };
  for (const Case& c : cases) {
    for (uint32_t lost = 0; lost <= 2; ++lost) {
      SCOPED_TRACE(testing::Message() << "type " << c.type << ", " << lost << " lost");
      auto blob = OneSet(c.type, c.members);
      std::set<uint32_t> gone;
      for (uint32_t i = 0; i < lost; ++i) gone.insert(Sig(c.members - 1 - i));  // the last members
      const uint32_t changed = DiskRegistryOrphanMissingMembers(blob.data(), blob.size(), AllBut(gone));
      EXPECT_EQ(changed != 0, lost != 0);
      EXPECT_EQ(SetState(blob), c.after[lost]);
      for (uint32_t i = 0; i < c.members; ++i)
        EXPECT_EQ(Get32(blob.data(), 44 + 4 + i * 60 + 12),
                  gone.count(Sig(i)) ? uint32_t(Orphaned) : uint32_t(Healthy))
            << "member " << i << "'s record's FtState";
      EXPECT_TRUE(DiskRegistryValidate(blob.data(), blob.size(), nullptr));

      // The partitions come back: the members stay orphaned, nothing changes.
      const auto before = blob;
      EXPECT_EQ(DiskRegistryOrphanMissingMembers(blob.data(), blob.size(), AllBut({})), 0u);
      EXPECT_EQ(blob, before);
    }
  }
}

TEST(FtOrphans, ADisabledSetStaysDisabledAndAMalformedBlobIsLeftAlone) {
  auto blob = OneSet(Mirror, 2, FtDisabled);
  DiskRegistryOrphanMissingMembers(blob.data(), blob.size(), AllBut({Sig(1)}));
  EXPECT_EQ(SetState(blob), uint32_t(FtDisabled));

  auto bad = OneSet(Mirror, 2);
  Put32(bad, Get32(bad.data(), 20) + 4 + 12 + 8, 50);  // member 0 points into the header
  const auto before = bad;
  EXPECT_EQ(DiskRegistryOrphanMissingMembers(bad.data(), bad.size(), AllBut({Sig(0), Sig(1)})), 0u);
  EXPECT_EQ(bad, before);
}

// Boots in a row, each with some disks away: which members come back by themselves.
TEST(FtOrphans, AMemberBackUnchangedReturnsOnlyWhereNothingCouldWriteTheSetMeanwhile) {
  struct Case {
    const char* what;
    uint16_t type;
    uint32_t members;
    std::vector<std::set<uint32_t>> away;  // disks away at each boot
    std::vector<uint32_t> orphaned;        // members orphaned after the last boot
    uint32_t state;
  };
  const Case cases[] = {
      {"stripe member away for one boot", Stripe, 2, {{1}, {}}, {}, FtStateOk},
      {"volume set, every disk away", VolumeSet, 3, {{0, 1, 2}, {}}, {}, FtStateOk},
      {"mirror member away: the set stayed writable", Mirror, 2, {{1}, {}}, {1}, FtHasOrphan},
      {"mirror, both away at once", Mirror, 2, {{0, 1}, {}}, {}, FtStateOk},
      {"mirror, the later one back first", Mirror, 2, {{0}, {0, 1}, {0}, {}}, {0}, FtHasOrphan},
      {"parity, two away at once, one back", StripeWithParity, 3, {{0, 1}, {1}, {}}, {1}, FtHasOrphan},
      {"stripe, back while another is away", Stripe, 3, {{1}, {2}, {}}, {}, FtStateOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto blob = OneSet(c.type, c.members);
    std::vector<FtAbsentMember> notes;
    for (const auto& away : c.away) {
      std::set<uint32_t> gone;
      for (uint32_t d : away) gone.insert(Sig(d));
      DiskRegistryTrackAbsentMembers(blob.data(), blob.size(), AllBut(gone), &notes);
      // What the boot notes survives its record.
      const auto sealed = FtEncodeAbsentMembers(notes);
      ASSERT_TRUE(FtDecodeAbsentMembers(sealed.data(), sealed.size(), &notes, nullptr));
    }
    for (uint32_t i = 0; i < c.members; ++i) {
      const bool orphaned = std::count(c.orphaned.begin(), c.orphaned.end(), i) != 0;
      EXPECT_EQ(Get32(blob.data(), 44 + 4 + i * 60 + 12), orphaned ? uint32_t(Orphaned) : uint32_t(Healthy))
          << "member " << i;
    }
    EXPECT_EQ(SetState(blob), c.state);
    EXPECT_EQ(notes.size(), c.orphaned.size()) << "a note for each member still out";
    EXPECT_TRUE(DiskRegistryValidate(blob.data(), blob.size(), nullptr));
  }

  // A member made orphaned by hand is not taken back, and its stale note goes.
  auto blob = OneSet(Stripe, 2);
  std::vector<FtAbsentMember> notes{{Stripe, 4, 1, false, Sig(1), kStart, kLength + 512}};
  DiskRegistryTrackAbsentMembers(blob.data(), blob.size(), AllBut({}), &notes);
  EXPECT_TRUE(notes.empty()) << "a note for another extent is dropped";
  auto sealed = FtEncodeAbsentMembers({{Stripe, 4, 1, false, Sig(1), kStart, kLength}});
  sealed.back() ^= 1;
  EXPECT_FALSE(FtDecodeAbsentMembers(sealed.data(), sealed.size(), &notes, nullptr)) << "damaged";
}

}  // namespace
