// The stored configuration rebuilt from the disks with its FT sets carried over, and
// never replaced when it cannot be read.
#include <gtest/gtest.h>

#include "diskreg.h"
#include "fdiskreg.h"
#include "ftdisk.h"
#include "ftfixture.h"
#include "provider.h"

using namespace ftt;
using FtRebuildFromDisks = FtTest;
using testutil::PropU64;

namespace {

const ftblob::Part* FindRecord(const ftblob::Config& c, uint32_t signature, Extent e) {
  for (const ftblob::Disk& d : c.disks)
    if (d.signature == signature)
      for (const ftblob::Part& p : d.parts)
        if (p.start == e.start && p.length == e.length) return &p;
  return nullptr;
}

// The member's record in the parsed blob.
const ftblob::Part& MemberRecord(const ftblob::Config& c, unsigned set, unsigned member) {
  const blobtest::Member r = c.sets.at(set).members.at(member);
  return c.disks.at(r.disk).parts.at(r.part);
}

}  // namespace

// With nothing stored, the rebuild stores the disks as they are: every recognised
// partition once, a logical drive one track in, packed descriptions, no FT part; the
// consistency check then finds nothing to do.
TEST_F(FtRebuildFromDisks, RebuildWithNothingStoredDescribesTheDisks) {
  ftblob::Erase();
  UpdateRegistry();
  const std::vector<uint8_t> blob = ftblob::Stored();
  ASSERT_TRUE(DiskRegistryValidate(blob.data(), blob.size(), nullptr));
  const ftblob::Config c = ftblob::Parse(blob);
  ASSERT_EQ(2u, c.disks.size());
  EXPECT_EQ(4u + (8 + 3 * 52) + (8 + 4 * 52), ftblob::Get<uint32_t>(blob, 16));
  EXPECT_EQ(0u, ftblob::Get<uint32_t>(blob, 24));
  const ftblob::Disk& d0 = c.disks[0];
  ASSERT_EQ(Signature(0), d0.signature);
  ASSERT_EQ(3u, d0.parts.size());
  EXPECT_EQ(P1.start, d0.parts[0].start);
  EXPECT_EQ(P2.start, d0.parts[1].start);
  EXPECT_EQ(L1.start, d0.parts[2].start);
  EXPECT_EQ(L1.length, d0.parts[2].length);
  for (const ftblob::Part& p : d0.parts) {
    EXPECT_EQ(uint32_t(NotAnFtMember), p.ftType);
    EXPECT_EQ(0xFFFFu, p.group);
  }
  const uint32_t first = ftblob::Get<uint32_t>(blob, 12) + 4 + 8;  // disk 0's first record
  for (uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(1u, ftblob::Get<uint8_t>(blob, first + 52 * i + 48)) << "Modified";
  EXPECT_NE(nullptr, FindRecord(c, Signature(1), Q4));

  _DISK_REGISTRY* area = nullptr;
  ASSERT_EQ(0u, fdReadRegistry(&area));
  ASSERT_NE(nullptr, area);
  EXPECT_FALSE(isRegistryRebuildRequired(area));
  _ZmFree(area, __FILE__, __LINE__);
  // The types recorded: with or without the FT bits, those the driver knows; never 0x42.
  for (auto [type, recorded] :
       {std::pair<uint8_t, bool>{0x86, true}, {0xC7, true}, {0x42, false}, {0x05, false}}) {
    ZM_PROPERTY r{"PARTITION_TYPE", ZM_TYPE_UINT8, 0, 1, &type};
    ASSERT_EQ(0u, ObSetProperty(zm::Database(), Partition(0, 1), &r));
    EXPECT_EQ(recorded, IS_RECOGNIZED(Partition(0, 1)) != 0) << int(type);
  }
}

// A stored mirror across both disks, one member on a logical drive, and a stripe set
// whose second disk is not on the machine: the rebuild keeps both sets, re-points every
// member at the scanned record of its partition, appends what the scan lacks (orphaned)
// and keeps the members' letters.
TEST_F(FtRebuildFromDisks, RebuildCarriesEveryFtSetOver) {
  constexpr uint32_t kGone = 0x0BADD15C;
  ftblob::Config c;
  ftblob::Part m0 = Member(L1, Mirror, 0, 0, Healthy);
  m0.letter = 'M';
  m0.assign = 1;
  ftblob::Part m1 = Member(Q2, Mirror, 0, 1, Orphaned);
  m1.letter = 'M';
  // A member record for an extent where disk 1 has no partition.
  ftblob::Part s1 = Member({Q4.start + kCylinder, kCylinder}, Stripe, 1, 1);
  c.disks = {{Signature(1), {m1, Plain(Q1), s1}},
             {kGone, {Member(P1, Stripe, 1, 0)}},
             {Signature(0), {m0, Plain(P2)}}};
  c.sets = {ftblob::FtSet(Mirror, FtHasOrphan, {{2, 0}, {0, 0}}),
            ftblob::FtSet(Stripe, FtStateOk, {{1, 0}, {0, 2}})};
  ftblob::Store(ftblob::Build(c));

  ASSERT_EQ(0u, fdRebuildRegistry());
  const std::vector<uint8_t> blob = ftblob::Stored();
  ASSERT_TRUE(DiskRegistryValidate(blob.data(), blob.size(), nullptr));
  const ftblob::Config r = ftblob::Parse(blob);
  ASSERT_EQ(2u, r.sets.size());

  EXPECT_EQ(uint16_t(Mirror), r.sets[0].type);
  EXPECT_EQ(uint32_t(FtHasOrphan), r.sets[0].state);
  ASSERT_EQ(2u, r.sets[0].members.size());
  EXPECT_EQ(Signature(0), r.disks.at(r.sets[0].members[0].disk).signature);
  EXPECT_TRUE(m0 == MemberRecord(r, 0, 0)) << "the member's record, its letter kept";
  EXPECT_TRUE(m1 == MemberRecord(r, 0, 1)) << "still orphaned";
  EXPECT_EQ(Signature(1), r.disks[r.sets[0].members[1].disk].signature);

  // The stripe set keeps its member on the absent disk as it was, and the one the scan
  // lacked on a disk that is here is orphaned with its set disabled, so no partition
  // made later at that place is taken for a healthy member.
  EXPECT_EQ(uint32_t(FtDisabled), r.sets[1].state);
  ASSERT_EQ(2u, r.sets[1].members.size());
  EXPECT_TRUE(MemberRecord(r, 1, 0) == Member(P1, Stripe, 1, 0));
  EXPECT_TRUE(MemberRecord(r, 1, 1) == Member({Q4.start + kCylinder, kCylinder}, Stripe, 1, 1, Orphaned));
  EXPECT_EQ(kGone, r.disks.at(r.sets[1].members[0].disk).signature);
  EXPECT_EQ(Signature(1), r.disks.at(r.sets[1].members[1].disk).signature);

  // Every partition of the machine has its record; the plain ones are plain.
  for (Extent e : {P1, P2, L1}) EXPECT_NE(nullptr, FindRecord(r, Signature(0), e));
  for (Extent e : {Q1, Q2, Q3, Q4}) EXPECT_NE(nullptr, FindRecord(r, Signature(1), e));
  EXPECT_EQ(uint32_t(NotAnFtMember), FindRecord(r, Signature(0), P1)->ftType);
  EXPECT_EQ(uint32_t(NotAnFtMember), FindRecord(r, Signature(1), Q3)->ftType);
}

// The member of a lone set whose partition is gone is orphaned as well, and its set with it.
TEST_F(FtRebuildFromDisks, RebuildOrphansTheLostMemberOfALoneSet) {
  ftblob::Store(ftblob::Build({{{Signature(0), {Member(P1, Stripe, 1, 0)}},
                                {Signature(1), {Member({Q4.start + kCylinder, kCylinder}, Stripe, 1, 1)}}},
                               {ftblob::FtSet(Stripe, FtStateOk, {{0, 0}, {1, 0}})}}));
  ASSERT_EQ(0u, fdRebuildRegistry());
  const ftblob::Config r = ftblob::Parse(ftblob::Stored());
  EXPECT_EQ(uint32_t(Orphaned), MemberRecord(r, 0, 1).ftState);
  EXPECT_EQ(uint32_t(FtDisabled), r.sets.at(0).state);
}

// A stored value that exists but is not a well-formed configuration is never replaced:
// neither by a rebuild nor by the consistency pass, and the value stays byte for byte.
TEST_F(FtRebuildFromDisks, RebuildRefusesToReplaceAMalformedConfiguration) {
  const std::vector<uint8_t> good = ftblob::Build(MirrorConfig());

  std::vector<std::vector<uint8_t>> bad;
  bad.push_back({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});  // shorter than the header
  bad.push_back(good);
  blobtest::Put32(bad.back(), 16, 5000);  // disk part past the end
  bad.push_back(good);
  blobtest::Put16(bad.back(), 48, 9);  // a disk claiming nine records
  bad.push_back(good);
  blobtest::Put32(bad.back(), bad.back().size() - 8, 45);  // member inside the header

  ftblob::Erase();
  UpdateRegistry();
  const std::vector<uint8_t> stored = ftblob::Stored();
  const auto at = stored.begin() + ftblob::Get<uint32_t>(stored, 12);
  const std::vector<uint8_t> scanned(at, at + ftblob::Get<uint32_t>(stored, 16));  // the disk part
  ASSERT_FALSE(scanned.empty());

  for (size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    ftblob::Store(bad[i]);
    std::vector<uint8_t> part = scanned;
    EXPECT_EQ(0xC1100001u,
              FtRebuild(reinterpret_cast<_DISK_REGISTRY*>(part.data()), static_cast<uint32_t>(part.size())));
    EXPECT_EQ(0xC1100001u, FtRebuild(nullptr, 0));
    UpdateRegistry();
    EXPECT_EQ(bad[i], ftblob::Stored());
  }
  // A disk part that does not hold together is refused before anything is loaded or
  // written; with no disk part the stored configuration is written back as it was.
  ftblob::Store(good);
  std::vector<uint8_t> part = {3, 0, 0, 0, 1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};  // 3 disks, room for 1
  EXPECT_EQ(0xC1100001u,
            FtRebuild(reinterpret_cast<_DISK_REGISTRY*>(part.data()), static_cast<uint32_t>(part.size())));
  EXPECT_EQ(good, ftblob::Stored());
  EXPECT_EQ(0u, FtRebuild(nullptr, 0));
  EXPECT_EQ(good, ftblob::Stored());
}
