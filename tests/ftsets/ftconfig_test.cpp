// FT sets changed in a configuration held in memory: the other sets and the disk part
// stay as they were, member records follow their set, and the rules refuse what NT
// refuses.
#include "ftconfig.h"

#include <gtest/gtest.h>

#include "../ftinfo/blob_builder.h"
#include "diskreg.h"
#include "machine.h"
#include "registry_store.h"
#include "testutil.h"

namespace {

using namespace blobtest;
constexpr int64_t M = 1 << 20;

// Three disks, each with a partition at 1 MiB (letters E, G, I) and one at 20 MiB.
std::vector<Disk> ThreeDisks() {
  std::vector<Disk> d;
  for (uint32_t i = 0; i < 3; ++i)
    d.push_back({0x100 + i,
                 {{.start = M, .length = 10 * M, .letter = uint8_t('E' + 2 * i), .assign = 1},
                  {.start = 20 * M, .length = 10 * M}}});
  return d;
}

ftconfig::PartitionRef Ref(uint32_t disk, uint32_t part) {
  return {0x100 + disk, part == 0 ? M : 20 * M, 10 * M};
}

TEST(FtConfig, ChangingOneSetLeavesTheOthersAndTheDiskPartAlone) {
  // mirror0 = d0p0 + d1p0, stripe0 = d0p1 + d1p1 + d2p1.
  auto blob =
      blobtest::Build(ThreeDisks(), {Set{0, 0, 0, {{0, 0}, {1, 0}}}, Set{1, 0, 0, {{0, 1}, {1, 1}, {2, 1}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), static_cast<uint32_t>(blob.size())));
  std::string e;

  ASSERT_TRUE(ftconfig::RemoveSet(info, Mirror, 0, &e)) << e;
  ASSERT_TRUE(ftconfig::AddSet(info, VolumeSet, 0, {Ref(2, 0), Ref(2, 1)}, Healthy, &e)) << e;
  ASSERT_TRUE(ftconfig::AppendMember(info, VolumeSet, 0, Ref(0, 0), &e)) << e;
  ASSERT_TRUE(ftconfig::SetMemberState(info, Stripe, 0, 2, Orphaned, &e)) << e;
  ASSERT_TRUE(DiskRegistryValidate(info.Blob(), info.UsedLength(), &e)) << e;

  auto sets = ftconfig::Sets(info);
  ASSERT_EQ(sets.size(), 2u);
  ftconfig::SetView stripe, volset, none;
  ASSERT_TRUE(ftconfig::FindSet(info, Stripe, 0, &stripe));
  ASSERT_TRUE(ftconfig::FindSet(info, VolumeSet, 0, &volset));
  EXPECT_FALSE(ftconfig::FindSet(info, Mirror, 0, &none));
  ASSERT_EQ(stripe.members.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(stripe.members[i].where.signature, 0x100 + i);
    EXPECT_EQ(stripe.members[i].where.offset, 20 * M);
  }
  EXPECT_EQ(stripe.state, FtDisabled) << "a stripe set with a lost member is disabled";
  ASSERT_EQ(volset.members.size(), 3u);
  EXPECT_EQ(volset.members[1].where.offset, 20 * M);
  EXPECT_EQ(volset.members[2].where.signature, 0x100u);
  for (const auto& m : volset.members) EXPECT_EQ(m.letter, 'I') << "the set takes member 0's letter";
  EXPECT_EQ(volset.members[0].assign, 1);
  EXPECT_EQ(volset.members[2].assign, 0) << "only member 0 asks for the letter";

  // The broken mirror's records: plain again, member 1 without a letter.
  _DISK_PARTITION* d1p0 = nullptr;
  ASSERT_TRUE(info.GetPartitionInfo(1, 0, &d1p0, nullptr));
  EXPECT_EQ(d1p0->FtType, NotAnFtMember);
  EXPECT_EQ(d1p0->FtGroup, 0xFFFF);
  EXPECT_EQ(d1p0->DriveLetter, ' ');
  EXPECT_EQ(d1p0->AssignDriveLetter, 0);
  // d0p0 is volume-set member 2 now.
  _DISK_PARTITION* d0p0 = nullptr;
  ASSERT_TRUE(info.GetPartitionInfo(0, 0, &d0p0, nullptr));
  EXPECT_EQ(d0p0->FtType, VolumeSet);
  EXPECT_EQ(d0p0->FtMember, 2);
  EXPECT_EQ(ftconfig::FreeGroup(info, VolumeSet), 1);
  EXPECT_EQ(ftconfig::FreeGroup(info, Mirror), 0);

  // A set that exists, or a partition without a record: refused, nothing changes.
  auto before = blobtest::Bytes(info);
  EXPECT_FALSE(ftconfig::AddSet(info, VolumeSet, 0, {Ref(1, 0)}, Healthy, &e));
  EXPECT_FALSE(ftconfig::AddSet(info, Mirror, 0, {Ref(1, 0), {0x999, M, 10 * M}}, Healthy, &e));
  EXPECT_FALSE(ftconfig::RemoveSet(info, Mirror, 0, &e));
  // So is a change to a set or member that is not there.
  EXPECT_FALSE(ftconfig::AppendMember(info, Mirror, 3, Ref(2, 1), &e));
  EXPECT_EQ(e, "there is no mirror3");
  EXPECT_FALSE(ftconfig::AppendMember(info, VolumeSet, 0, {0x999, M, 10 * M}, &e));
  EXPECT_FALSE(ftconfig::SetMemberState(info, Stripe, 0, 3, Orphaned, &e));
  EXPECT_EQ(e, "stripe0 has no member 3");
  EXPECT_FALSE(ftconfig::SetMemberState(info, Mirror, 3, -1, Orphaned, &e));
  EXPECT_FALSE(ftconfig::SetSetState(info, Mirror, 3, FtStateOk, &e));
  EXPECT_EQ(blobtest::Bytes(info), before);

  // A set of one member takes its group from that member's record.
  auto one = Build(ThreeDisks(), {Set{VolumeSet, 3, 0, {{2, 1}}}});
  ASSERT_TRUE(info.Load(one.data(), static_cast<uint32_t>(one.size())));
  EXPECT_EQ(ftconfig::Sets(info).at(0).group, 3);

  // A set has at most 32 members.
  Disk many{0x200, {}};
  Set full{VolumeSet, 0, 0, {}};
  for (uint32_t i = 0; i < 33; ++i) many.parts.push_back({.start = (i + 1) * M, .length = M});
  for (uint32_t i = 0; i < 32; ++i) full.members.push_back({0, i});
  auto big = blobtest::Build({many}, {full});
  ASSERT_TRUE(info.Load(big.data(), static_cast<uint32_t>(big.size())));
  EXPECT_FALSE(ftconfig::AppendMember(info, VolumeSet, 0, {0x200, 33 * M, M}, &e));
  EXPECT_EQ(e, "the set has 32 members already");
}

TEST(FtConfig, SetStateFollowsItsMembers) {
  struct Case {
    uint32_t type;
    std::vector<uint32_t> members;
    uint32_t state;
  } cases[] = {
      {Mirror, {Healthy, Orphaned}, FtHasOrphan},
      {StripeWithParity, {Orphaned, Healthy, Healthy}, FtHasOrphan},
      {StripeWithParity, {Orphaned, Healthy, Orphaned}, FtDisabled},
      {Stripe, {Healthy, Orphaned}, FtDisabled},
      {VolumeSet, {Orphaned}, FtDisabled},
      {Mirror, {Healthy, Regenerating}, FtRegenerating},
      {StripeWithParity, {Initializing, Initializing, Initializing}, FtInitializing},
      {Mirror, {Healthy, Healthy}, FtStateOk},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ftconfig::SetStateFor(c.type, c.members), c.state) << "type " << c.type;
}

// A change is written only over a configuration that reads, and only when it is whole.
TEST(FtConfig, UpdateWritesOnlyAWholeChangeOverAReadableConfiguration) {
  testutil::TempDir tmp;
  std::string e;
  ASSERT_TRUE(ntp::reg::Open(tmp.path, &e)) << e;
  auto keep = [](FTInfo&, std::string*) { return true; };
  EXPECT_FALSE(ftconfig::Update(keep, &e));
  EXPECT_EQ(e, "no FT configuration is stored yet");
  const auto blob = blobtest::Build(ThreeDisks(), {Set{0, 0, 0, {{0, 0}, {1, 0}}}});
  auto bad = blob;
  bad[18] = 0x7F;  // the disk part's size runs past the value
  blobtest::Store(bad);
  FTInfo read;
  EXPECT_FALSE(ftconfig::Read(&read, &e));
  EXPECT_FALSE(ftconfig::Update(keep, &e));
  EXPECT_NE(e.find("malformed and is left alone"), std::string::npos) << e;
  EXPECT_EQ(blobtest::Stored(), bad);

  blobtest::Store(blob);
  auto breaks = [](FTInfo& i, std::string*) {
    _FT_DESCRIPTION* d = nullptr;
    return i.GetVolumeInfo(0, &d) && (d->NumberOfMembers = 9) != 0;
  };
  EXPECT_FALSE(ftconfig::Update(breaks, &e));
  EXPECT_NE(e.find("does not hold together"), std::string::npos) << e;
  ntp::InjectFault("RegSetValueExW", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ftconfig::Update(keep, &e));
  EXPECT_EQ(e, "the configuration cannot be written to the registry");
  ntp::ClearFaults();
  EXPECT_EQ(blobtest::Stored(), blob);
  ntp::reg::Close();
}

TEST(FtConfig, RulesRefuseBeforeAnythingIsWritten) {
  auto blob = blobtest::Build(ThreeDisks(), {Set{0, 0, 0, {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), static_cast<uint32_t>(blob.size())));
  auto c = [](uint32_t disk, uint32_t part, bool boot = false) {
    return ftconfig::Candidate{Ref(disk, part), disk, boot,
                               "d" + std::to_string(disk) + "p" + std::to_string(part)};
  };
  std::vector<ftconfig::Candidate> many;
  for (uint32_t i = 0; i < 33; ++i) many.push_back({{0x200, int64_t(i) * M, M}, i % 3, false, "x"});
  struct Case {
    uint32_t type;
    std::vector<ftconfig::Candidate> members;
    const char* says;  // empty: allowed
  } cases[] = {
      {Mirror, {c(0, 1), c(0, 1)}, "different disks"},
      {Mirror, {c(0, 1), c(1, 1), c(2, 1)}, "exactly two"},
      {StripeWithParity, {c(0, 1), c(1, 1)}, "3 to 32"},
      {StripeWithParity, {c(0, 1), c(1, 1), c(1, 1)}, "different disks"},
      {Stripe, {c(0, 1), c(1, 1, true)}, "boot or system"},
      {VolumeSet, {c(2, 1, true)}, "boot or system"},
      {Stripe, {c(0, 1), c(0, 1)}, "named twice"},
      {Stripe, {c(2, 1), c(1, 0)}, "already belongs to mirror0"},
      {VolumeSet, many, "1 to 32"},
      {Mirror, {c(0, 1, true), c(1, 1)}, ""},
      {VolumeSet, {c(0, 1), c(2, 1)}, ""},
  };
  for (const auto& k : cases) {
    std::string got = ftconfig::CheckNewSet(info, k.type, k.members);
    if (*k.says == 0)
      EXPECT_EQ(got, "") << "type " << k.type;
    else
      EXPECT_NE(got.find(k.says), std::string::npos) << "type " << k.type << ": " << got;
  }
}

}  // namespace
