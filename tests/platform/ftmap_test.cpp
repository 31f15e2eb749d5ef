// The FT data layout against a reference written here from the layout's description,
// for every type and 2, 3 and 5 members; the FT journal's trust.
#include "ftmap.h"

#include <gtest/gtest.h>

#include <fstream>

#include "ftjournal.h"
#include "ntplatform.h"
#include "testutil.h"

namespace {

namespace fm = ntp::ftmap;
constexpr uint64_t K = fm::kStripeBytes;

struct Where {
  unsigned member;
  uint64_t offset;
};

// Reference: walks the volume stripe by stripe (member by member for a volume set) and
// records where each volume byte offset lies.
std::vector<std::pair<uint64_t, Where>> Reference(fm::Type type, const std::vector<uint64_t>& m) {
  std::vector<std::pair<uint64_t, Where>> out;
  const unsigned n = static_cast<unsigned>(m.size());
  uint64_t smallest = *std::min_element(m.begin(), m.end());
  uint64_t rows = smallest / K;
  uint64_t vol = 0;
  auto stripe = [&](unsigned member, uint64_t memberOffset) {
    for (uint64_t probe : {uint64_t{0}, uint64_t{512}, K - 1})
      out.push_back({vol + probe, {member, memberOffset + probe}});
    vol += K;
  };
  switch (type) {
    case fm::kVolumeSet:
      for (unsigned i = 0; i < n; ++i) {
        for (uint64_t probe : {uint64_t{0}, m[i] / 2, m[i] - 1}) out.push_back({vol + probe, {i, probe}});
        vol += m[i];
      }
      break;
    case fm::kStripe:
      for (uint64_t r = 0; r < rows; ++r)
        for (unsigned i = 0; i < n; ++i) stripe(i, r * K);
      break;
    case fm::kParity:
      for (uint64_t r = 0; r < rows; ++r) {
        // Row 0's parity on the last member, row 1's on member 0, and so on.
        unsigned parity = r == 0 ? n - 1 : static_cast<unsigned>((r - 1) % n);
        for (unsigned i = 0; i < n; ++i)
          if (i != parity) stripe(i, r * K);
      }
      break;
    case fm::kMirror:
      for (uint64_t probe : {uint64_t{0}, smallest - 1}) out.push_back({probe, {0, probe}});
      vol = smallest;
      break;
  }
  out.push_back({vol, {~0u, 0}});  // the first byte past the end
  return out;
}

TEST(FtMap, EveryTypeAndMemberCountMatchesTheReference) {
  for (fm::Type type : {fm::kVolumeSet, fm::kStripe, fm::kParity, fm::kMirror}) {
    for (unsigned n : {2u, 3u, 5u}) {
      // Unequal members, none a whole number of stripes: the stripe types use whole
      // stripes of the smallest.
      std::vector<uint64_t> members;
      for (unsigned i = 0; i < n; ++i) members.push_back((7 + 2 * i) * K + 4096 * (i + 1));
      if (type == fm::kParity && n < 3) {
        EXPECT_EQ(fm::VolumeLength(type, members), 0u) << "a parity set needs three members";
        continue;
      }
      SCOPED_TRACE(testing::Message() << "type " << type << ", " << n << " members");
      auto ref = Reference(type, members);
      EXPECT_EQ(fm::VolumeLength(type, members), ref.back().first);
      for (const auto& [offset, where] : ref) {
        fm::Piece p;
        bool inside = fm::Map(type, members, offset, &p);
        if (where.member == ~0u) {
          EXPECT_FALSE(inside) << "offset " << offset;
          continue;
        }
        ASSERT_TRUE(inside) << "offset " << offset;
        EXPECT_EQ(p.member, where.member) << "offset " << offset;
        EXPECT_EQ(p.memberOffset, where.offset) << "offset " << offset;
        if (type == fm::kStripe || type == fm::kParity) {
          EXPECT_EQ(p.length, K - offset % K);
        }
      }
    }
  }
}

TEST(FtMap, MemberCountsOutsideTheRulesHaveNoVolume) {
  const std::vector<uint64_t> one = {10 * K};
  const std::vector<uint64_t> many(33, 10 * K);
  EXPECT_EQ(fm::VolumeLength(fm::kStripe, one), 0u);
  EXPECT_EQ(fm::VolumeLength(fm::kMirror, one), 0u);
  EXPECT_EQ(fm::VolumeLength(fm::kVolumeSet, one), 10 * K);
  for (fm::Type t : {fm::kVolumeSet, fm::kStripe, fm::kParity, fm::kMirror}) {
    EXPECT_EQ(fm::VolumeLength(t, many), 0u) << "33 members, type " << t;
    EXPECT_EQ(fm::UsableMemberLength(t, many), 0u) << "33 members, type " << t;
  }
}

// A set opens with as many members missing as its type tolerates, and no more; a
// regenerated member reports its progress up to the whole member.
TEST(FtMap, VolumesOpenWithTheMissingMembersTheirTypeToleratesAndRegenerate) {
  testutil::Machine m({16 * testutil::MiB, 16 * testutil::MiB, 16 * testutil::MiB});
  std::vector<fm::Member> present;
  for (unsigned d = 0; d < 3; ++d) {
    ASSERT_TRUE(testutil::Sfdisk(m.image(d), "label: dos\nstart=63, size=16002, type=7\n"));
    present.push_back({u"\\Device\\Harddisk" + testutil::Widen(std::to_string(d)) + u"\\Partition1"});
  }
  m.Boot();
  const fm::Member lost{u"", 0, false};
  std::string error;
  fm::Volume mirror(fm::kMirror, {present[0], lost}), stripe(fm::kStripe, {present[0], lost});
  EXPECT_EQ(mirror.Open(false, &error), STATUS_SUCCESS) << error;
  EXPECT_EQ(mirror.Length(), 16002u * 512);
  EXPECT_EQ(stripe.Open(false, &error), STATUS_NO_SUCH_DEVICE);
  EXPECT_NE(error.find("missing"), std::string::npos) << error;

  // Parity is written only through a parity set open for writing.
  fm::Volume parity(fm::kParity, present);
  EXPECT_EQ(parity.InitializeParity({}), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(parity.Open(true, &error), STATUS_SUCCESS) << error;
  std::pair<uint64_t, uint64_t> last;
  EXPECT_EQ(parity.Rebuild(1, [&](uint64_t done, uint64_t total) { last = {done, total}; }), STATUS_SUCCESS);
  EXPECT_EQ(last, std::make_pair(uint64_t(125 * fm::kStripeBytes), uint64_t(125 * fm::kStripeBytes)));
}

}  // namespace

namespace {

namespace fj = ntp::ftjournal;

// The FT journal is trusted only whole, for the set and members it was written for.
TEST(FtJournal, TrustedOnlyWholeAndForItsOwnMembers) {
  testutil::Machine m({16 * testutil::MiB});
  m.Boot();
  fj::Journal j;
  j.type = fm::kParity;
  j.group = 3;
  j.members = {{7, 32256, 1 << 20}, {8, 32256, 1 << 20}, {9, 8225280, 1 << 20}};
  j.marked = {3, 3, 3};
  j.dirty = {{0, K}, {4 * K, 6 * K}};
  j.importing = true;
  j.source = "/images/a b%\n.img";
  j.bytes = 3 << 20;
  j.done = 1 << 20;
  std::string error, why;
  ASSERT_TRUE(fj::Save(j, &error)) << error;
  fj::Journal back;
  ASSERT_TRUE(fj::Load(fm::kParity, 3, j.members, &back, &why)) << why;
  EXPECT_EQ(back.source, j.source);
  EXPECT_EQ(back.dirty, j.dirty);
  EXPECT_EQ(back.marked, j.marked);
  EXPECT_EQ(back.done, j.done);
  auto moved = j.members;
  moved[2].offset += 512;
  EXPECT_FALSE(fj::Load(fm::kParity, 3, moved, &back, &why));
  EXPECT_FALSE(fj::Load(fm::kParity, 4, j.members, &back, &why));
  // One digit of a dirty range changed: the checksum no longer matches.
  const std::string file = m.dir() + "/ft-journal/parity3";
  std::string text = testutil::ReadFile(file);
  text[text.find("dirty 262144") + 6] = '3';
  std::ofstream(file, std::ios::trunc) << text;
  EXPECT_FALSE(fj::Load(fm::kParity, 3, j.members, &back, &why));
  EXPECT_NE(why.find("checksum"), std::string::npos) << why;
  // An empty journal is no file.
  fj::Journal none;
  none.type = fm::kParity;
  none.group = 3;
  ASSERT_TRUE(fj::Save(none, &error));
  EXPECT_FALSE(std::ifstream(file).good());
}

}  // namespace
