// FT sets changed in a configuration held in memory: the other sets and the disk part
// stay as they were, member records follow their set, and the rules refuse what NT
// refuses.
#include "ftconfig.h"

#include <gtest/gtest.h>

#include "../ftinfo/blob_builder.h"
#include "diskreg.h"
#include "ftintent.h"
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

namespace {

constexpr int64_t T = 63 * 512, C = 255 * T;

// Where the provider's rounding puts a partition, and the smallest request that gives a
// member the length it needs wherever the free region starts.
TEST(FtConfig, PlacementsFollowTheProvidersRoundingAndGiveEveryMemberWhatItNeeds) {
  struct Case {
    int64_t freeOffset, freeLength, wanted;
    int64_t offset, length;  // 0 length: refused
  } cases[] = {
      {C, 10 * C, 3 * C, C, 3 * C},                     // a cylinder boundary: exactly
      {0, 10 * C, 3 * C, T, 4 * C - T},                 // the first track: one cylinder more
      {0, 10 * C, 3 * C - T, T, 3 * C - T},             // ... unless it needs no more
      {C, 3 * C, 3 * C, C, 3 * C},                      // the whole region
      {C, 3 * C - 512, 3 * C - 4096, C, 3 * C - 512},   // a region that ends off a cylinder
      {0, 3 * C, 3 * C, 0, 0},                          // too small once the first track is gone
      {5 * C, C / 2 + 512, C / 4, 5 * C, C / 2 + 512},  // past half a cylinder at the disk's end
      {5 * C, C / 2, C / 4, 0, 0},                      // half of one rounds down to nothing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("free " + std::to_string(c.freeOffset) + "+" + std::to_string(c.freeLength) + " wanted " +
                 std::to_string(c.wanted));
    ftconfig::Placement p;
    ASSERT_EQ(ftconfig::PlaceAtLeast(c.freeOffset, c.freeLength, c.wanted, T, C, &p), c.length != 0);
    if (c.length == 0) continue;
    EXPECT_EQ(p.offset, c.offset);
    EXPECT_EQ(p.length, c.length);
    // The provider, asked that, makes exactly that.
    ftconfig::Placement again;
    ASSERT_TRUE(ftconfig::PlaceRequest(p.freeOffset, c.freeLength, p.request, T, C, &again));
    EXPECT_EQ(again.offset, p.offset);
    EXPECT_EQ(again.length, p.length);
  }
  // The end goes to the nearer cylinder boundary; half-way goes down.
  ftconfig::Placement p;
  ASSERT_TRUE(ftconfig::PlaceRequest(C, 10 * C, C + C / 2, T, C, &p));
  EXPECT_EQ(p.length, C);
  ASSERT_TRUE(ftconfig::PlaceRequest(C, 10 * C, C + C / 2 + 512, T, C, &p));
  EXPECT_EQ(p.length, 2 * C);
  EXPECT_FALSE(ftconfig::PlaceRequest(C, 10 * C, C / 4, T, C, &p)) << "nothing left after rounding";
  EXPECT_FALSE(ftconfig::PlaceRequest(C, 2 * C, 3 * C, T, C, &p)) << "more than the region holds";

  // An extended partition at the disk's start loses its first cylinder, a primary only
  // the first track; a logical drive needs more than the track of its boot record.
  using ftconfig::RegionKind;
  struct KindCase {
    RegionKind kind;
    int64_t freeOffset, request, offset, length;  // 0 length: refused
  } kinds[] = {
      {RegionKind::Extended, 0, 3 * C, C, 3 * C},    {RegionKind::Primary, 0, 3 * C, T, 3 * C - T},
      {RegionKind::Extended, C, 3 * C, C, 3 * C},    {RegionKind::Logical, C, 2 * C, C, 2 * C},
      {RegionKind::Logical, 5 * C, C / 2, 5 * C, 0},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE("kind " + std::to_string(int(k.kind)) + " at " + std::to_string(k.freeOffset));
    ASSERT_EQ(ftconfig::PlaceRequest(k.freeOffset, 10 * C, k.request, T, C, &p, k.kind), k.length != 0);
    if (k.length == 0) continue;
    EXPECT_EQ(p.offset, k.offset);
    EXPECT_EQ(p.length, k.length);
  }
  // One track on a disk of one-track cylinders: a primary partition, but no logical drive.
  EXPECT_TRUE(ftconfig::PlaceRequest(5 * T, T, T, T, T, &p, RegionKind::Primary));
  EXPECT_FALSE(ftconfig::PlaceRequest(5 * T, T, T, T, T, &p, RegionKind::Logical));

  // Members placed that way are equal by the rule check applies; a cylinder apart are not.
  EXPECT_EQ(ftconfig::MemberSizesProblem(Stripe, {3 * C, 4 * C - T, 3 * C}, C), "");
  EXPECT_NE(ftconfig::MemberSizesProblem(StripeWithParity, {3 * C, 4 * C, 3 * C}, C), "");
  EXPECT_NE(ftconfig::MemberSizesProblem(Mirror, {4 * C - T, 3 * C - T}, C), "");
  EXPECT_EQ(ftconfig::MemberSizesProblem(VolumeSet, {C, 9 * C}, C), "");
}

ftconfig::Intent Sample(uint16_t op) {
  ftconfig::Intent i{op, StripeWithParity, 2, 1, "ft regenerate parity2 1 --onto 3", {}};
  i.parts.push_back({{0x100, M, 10 * M}, true, 0, 10 * M - 32256});
  i.parts.push_back({{0x101, 20 * M, 10 * M}, false, 0, 0});
  return i;
}

TEST(FtConfig, IntentsRoundTripAndADamagedRecordIsRefusedWhole) {
  const std::vector<ftconfig::Intent> list{Sample(ftconfig::Intent::kReplace),
                                           Sample(ftconfig::Intent::kDelete)};
  const auto bytes = ftconfig::EncodeIntents(list);
  std::vector<ftconfig::Intent> back;
  std::string why;
  ASSERT_TRUE(ftconfig::DecodeIntents(bytes.data(), bytes.size(), &back, &why)) << why;
  EXPECT_EQ(back, list);
  // Any byte changed or missing, or one more: refused, nothing handed out.
  for (size_t at = 0; at < bytes.size(); at += 7) {
    auto bad = bytes;
    bad[at] ^= 0x40;
    back.clear();
    EXPECT_FALSE(ftconfig::DecodeIntents(bad.data(), bad.size(), &back, &why)) << "byte " << at;
    EXPECT_TRUE(back.empty());
  }
  auto longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(ftconfig::DecodeIntents(longer.data(), longer.size(), &back, &why));
  EXPECT_FALSE(ftconfig::DecodeIntents(bytes.data(), bytes.size() - 1, &back, &why));
}

// How far an interrupted request got, from the configuration and the partitions there.
TEST(FtConfig, IntentProgressNamesWhatARequestLeftAndWhenItIsDone) {
  // mirror0 = d0p0 + d1p0, initializing; d2p0 exists, d2p1 does not.
  auto blob = Build(ThreeDisks(), {Set{Mirror, 0, FtInitializing, {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), static_cast<uint32_t>(blob.size())));
  auto exists = [](const ftconfig::PartitionRef& p) { return !(p.signature == 0x102 && p.offset == 20 * M); };
  auto intent = [](uint16_t op, uint32_t type, std::vector<ftconfig::PartitionRef> parts) {
    ftconfig::Intent i{op, type, 0, 1, "x", {}};
    for (const auto& p : parts) i.parts.push_back({p, true, 0, 0});
    return i;
  };
  using I = ftconfig::Intent;
  struct Case {
    ftconfig::Intent intent;
    bool done;
    size_t leftovers;
  } cases[] = {
      {intent(I::kCreate, Mirror, {Ref(0, 0), Ref(1, 0)}), false, 0},  // waits for its copy
      {intent(I::kCreate, Stripe, {Ref(2, 0), Ref(2, 1)}), false, 1},  // d2p0 made, no set
      {intent(I::kCreate, Stripe, {Ref(2, 1)}), true, 0},              // nothing made
      {intent(I::kExtend, Mirror, {Ref(1, 0)}), true, 0},              // the member is in
      {intent(I::kReplace, Mirror, {Ref(1, 0)}), true, 0},             // member 1 is it, healthy
      {intent(I::kReplace, Mirror, {Ref(2, 0)}), false, 1},            // made, not recorded
      {intent(I::kDelete, Mirror, {Ref(0, 0), Ref(1, 0)}), true, 0},   // the set stands
      {intent(I::kDelete, VolumeSet, {Ref(2, 0), Ref(2, 1), Ref(0, 0)}), false, 1},
  };
  for (const auto& c : cases) {
    const auto got = ftconfig::Progress(c.intent, info, exists);
    EXPECT_EQ(got.done, c.done) << "op " << c.intent.op << " type " << c.intent.type;
    EXPECT_EQ(got.leftovers.size(), c.leftovers) << "op " << c.intent.op << " type " << c.intent.type;
  }
}

TEST(FtConfig, AReplacedMemberLeavesAPlainRecordAndBreakingKeepsTheLetterWhereAsked) {
  auto blob = Build(ThreeDisks(), {Set{Mirror, 0, 0, {{0, 0}, {1, 0}}}});
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), static_cast<uint32_t>(blob.size())));
  std::string e;
  EXPECT_FALSE(ftconfig::ReplaceMember(info, Mirror, 0, 1, Ref(0, 0), Regenerating, false, &e))
      << "a member already";
  ASSERT_TRUE(ftconfig::ReplaceMember(info, Mirror, 0, 1, Ref(2, 1), Regenerating, false, &e)) << e;
  ASSERT_TRUE(DiskRegistryValidate(info.Blob(), info.UsedLength(), &e)) << e;
  ftconfig::SetView set;
  ASSERT_TRUE(ftconfig::FindSet(info, Mirror, 0, &set));
  EXPECT_EQ(set.state, FtRegenerating);
  EXPECT_EQ(set.members[1].where.signature, 0x102u);
  EXPECT_EQ(set.members[1].letter, 'E') << "the set's letter";
  EXPECT_EQ(set.members[1].assign, 0);
  _DISK_PARTITION* old = nullptr;
  ASSERT_TRUE(info.GetPartitionInfo(1, 0, &old, nullptr));
  EXPECT_EQ(old->FtType, NotAnFtMember);
  EXPECT_EQ(old->DriveLetter, ' ');

  // A member whose partition is gone leaves no record behind: d0p1, then d1's last one.
  auto replaced =
      Build(ThreeDisks(), {Set{Stripe, 0, 0, {{0, 1}, {1, 1}}}, Set{Mirror, 1, 0, {{2, 0}, {1, 0}}}});
  FTInfo gone;
  ASSERT_TRUE(gone.Load(replaced.data(), static_cast<uint32_t>(replaced.size())));
  ASSERT_TRUE(ftconfig::ReplaceMember(gone, Stripe, 0, 0, Ref(2, 1), Regenerating, true, &e)) << e;
  ASSERT_TRUE(ftconfig::ReplaceMember(gone, Mirror, 1, 1, Ref(0, 0), Regenerating, true, &e)) << e;
  ASSERT_TRUE(DiskRegistryValidate(gone.Blob(), gone.UsedLength(), &e)) << e;
  EXPECT_EQ(gone.UsedLength(), replaced.size() - 2 * 52);
  ftconfig::SetView stripe, mirror;
  ASSERT_TRUE(ftconfig::FindSet(gone, Stripe, 0, &stripe) && ftconfig::FindSet(gone, Mirror, 1, &mirror));
  EXPECT_EQ(stripe.members[1].where, Ref(1, 1)) << "the members behind it still point at their records";
  EXPECT_EQ(mirror.members[0].where, Ref(2, 0));
  EXPECT_EQ(mirror.members[1].where, Ref(0, 0));

  ASSERT_TRUE(ftconfig::RemoveSet(info, Mirror, 0, &e, 1));
  _DISK_PARTITION *kept = nullptr, *other = nullptr;
  ASSERT_TRUE(info.GetPartitionInfo(2, 1, &kept, nullptr));
  ASSERT_TRUE(info.GetPartitionInfo(0, 0, &other, nullptr));
  EXPECT_EQ(kept->DriveLetter, 'E');
  EXPECT_EQ(kept->AssignDriveLetter, 1);
  EXPECT_EQ(other->DriveLetter, ' ');
  EXPECT_EQ(other->AssignDriveLetter, 0);
}

}  // namespace
