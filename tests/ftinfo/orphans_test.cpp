// Members whose partition is gone: the rule the boot-time check and the rebuild share.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "blob_builder.h"
#include "diskreg.h"

using namespace blobtest;

namespace {

constexpr int64_t kStart = 32256, kLength = 1 << 20;

uint32_t Sig(uint32_t disk) { return 0x51000000u + disk; }

// One set of n members, member i the only partition of disk i.
std::vector<uint8_t> OneSet(uint16_t type, uint32_t n, uint32_t state = FtStateOk) {
  std::vector<Disk> disks;
  Set set;
  set.type = type;
  set.group = 4;
  set.state = state;
  for (uint32_t i = 0; i < n; ++i) {
    disks.push_back({Sig(i), {{.start = kStart, .length = kLength}}});
    set.members.push_back({i, 0});
  }
  return Build(disks, {set});
}

uint32_t SetState(const std::vector<uint8_t>& b) { return Get32(b.data(), Get32(b.data(), 20) + 4 + 8); }
uint32_t MemberState(const std::vector<uint8_t>& b, uint32_t disk) {
  return Get32(b.data(), 44 + 4 + disk * (8 + 52) + 8 + 4);
}

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
        EXPECT_EQ(MemberState(blob, i), gone.count(Sig(i)) ? uint32_t(Orphaned) : uint32_t(Healthy)) << i;
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

}  // namespace
