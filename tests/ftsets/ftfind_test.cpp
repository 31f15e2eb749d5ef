// ft find: sets of every type made by the program and holding FAT16 or NTFS file
// systems with files are found again from their disks alone (attached to a new machine
// in another order, and as bare images), with equal-size decoys of random bytes beside
// them; --apply brings every volume back byte for byte; a set that lost a disk is
// proposed degraded.
#include "ftfind.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "testutil.h"

namespace {

using nlohmann::json;
using namespace testutil;

struct FileSystem {
  const char* name;
  const char* tools;
  // Makes the file system in $IMG (of $LEN bytes) and fills it with files.
  const char* make;
};

const FileSystem kFileSystems[] = {
    {"FAT16", "mkfs.fat mmd mcopy",
     "mkfs.fat -F 16 $( [ $LEN -lt 16000000 ] && echo -s 1 ) $FAT_OPTIONS $IMG >/dev/null && i=0 && while [ "
     "$i -lt 14 ]; "
     "do "
     "head -c $((LEN / 48 + i * (LEN / 700))) /dev/urandom >$T/f && mmd -i $IMG ::/d$i && mcopy -i $IMG "
     "$T/f "
     "::/d$i/f && "
     "mcopy -i $IMG $T/f ::/F$i || exit 1; i=$((i + 1)); done"},
    {"NTFS", "mkntfs ntfscp",
     "mkntfs -F -q -f $IMG >/dev/null 2>&1 && i=0 && while [ $i -lt 6 ]; do "
     "head -c $((LEN / 16 + i * 3000)) /dev/urandom >$T/f && ntfscp -q $IMG $T/f f$i >/dev/null 2>&1 || exit "
     "1; "
     "i=$((i + 1)); done"},
};

class FtFind : public testing::TestWithParam<FileSystem> {
 protected:
  CtlMachine m{"--disk 40M,16,63 --disk 40M,16,63 --disk 40M,16,63 --disk 40M,16,63"};

  json Json(const std::string& args) {
    Result r = Ctl(args + " --json");
    EXPECT_EQ(r.rc, 0) << args << ": " << r.err;
    return json::parse(r.out, nullptr, false);
  }
  // Each recorded set as its type and members ("signature@offset", member order).
  std::map<std::string, std::vector<std::string>> Recorded(const std::string& machine) {
    const json info = Json("-m " + Quote(machine) + " registry show")["information"];
    std::map<std::string, std::vector<std::string>> out;
    for (const auto& set : info["ft_sets"]) {
      std::vector<std::string> members;
      for (const auto& mem : set["members"])
        members.push_back(std::to_string(mem["signature"].get<uint64_t>()) + "@" +
                          std::to_string(info["disks"][mem["disk"].get<size_t>()]["partitions"]
                                             [mem["partition"].get<size_t>()]["offset"]
                                                 .get<int64_t>()));
      out[set["type_name"].get<std::string>()] = members;
    }
    return out;
  }
  static std::vector<std::string> Members(const json& proposal) {
    std::vector<std::string> out;
    for (const auto& mem : proposal["members"])
      out.push_back(mem["lost"] == true ? "lost"
                                        : std::to_string(mem["signature"].get<uint64_t>()) + "@" +
                                              std::to_string(mem["offset"].get<int64_t>()));
    return out;
  }
  static std::string TypeName(const json& proposal) {
    static const std::map<std::string, std::string> kNames = {{"mirror", "mirror"},
                                                              {"stripe", "stripe"},
                                                              {"parity", "stripe_with_parity"},
                                                              {"volset", "volume_set"}};
    return kNames.at(proposal["type"].get<std::string>());
  }
};

TEST_P(FtFind, SetsComeBackFromTheirDisksAlone) {
  const FileSystem& fs = GetParam();
  if (testutil::Run(std::string("for t in ") + fs.tools + "; do command -v $t || exit 1; done >/dev/null") !=
      0)
    GTEST_SKIP() << "needs " << fs.tools;
  for (const char* request : {"create primary --disk 0 --size 8M", "ft create mirror disk0/p1 --disk 1",
                              "ft create stripe --size 8M --disk 0 --disk 1 --disk 2",
                              "ft create parity --size 8M --disk 0 --disk 1 --disk 2",
                              "ft create volset --size 6M --size 10M --disk 2 --disk 0",
                              // Decoys: plain partitions of the members' size, on a disk of their own and
                              // beside the members, holding random bytes.
                              "create primary --disk 3 --size 8M", "create primary --disk 3 --size 8M",
                              "create primary --disk 1 --size 8M"}) {
    Result r = m.On(request);
    ASSERT_EQ(r.rc, 0) << request << ": " << r.err;
  }
  for (auto [disk, part] : {std::pair{3, 0}, {3, 1}, {1, 3}}) {
    const auto [start, size] = SfdiskData(m.Image(disk)).at(part);
    ASSERT_EQ(testutil::Run("head -c " + std::to_string(size * 512) +
                            " /dev/urandom | dd of=" + Quote(m.Image(disk)) +
                            " bs=512 seek=" + std::to_string(start) + " conv=notrunc status=none"),
              0);
  }
  // Every volume gets the file system and its files; its image is what must come back.
  std::map<std::string, std::string> images;
  const json show = Json(m.M() + "show --bytes");
  for (const auto& v : show["volumes"]) {
    const std::string name = v["name"], kind = v["kind"];
    if (kind == "primary") continue;
    images[name] = m.tmp.path + "/" + name + ".img";
    ASSERT_EQ(testutil::Run("T=" + Quote(m.tmp.path) + " IMG=" + Quote(images[name]) +
                            " LEN=" + std::to_string(v["length"].get<uint64_t>()) +
                            "; truncate -s $LEN $IMG && " + fs.make),
              0)
        << name;
    ASSERT_EQ(m.On("volume import " + name + " " + Quote(images[name])).rc, 0) << name;
  }
  ASSERT_EQ(images.size(), 4u);
  const auto recorded = Recorded(m.dir);

  // The disks on a machine that never knew the sets, in another order; and as images.
  const std::string m2 = m.tmp.path + "/m2";
  const std::vector<unsigned> order = {3, 2, 0, 1};
  std::string attach, bare;
  for (unsigned d : order) {
    attach += " --attach " + Quote(m.Image(d));
    bare += " --image " + Quote(m.Image(d));
  }
  ASSERT_EQ(Ctl("init " + Quote(m2) + attach).rc, 0);
  json found = Json("-m " + Quote(m2) + " ft find")["proposals"];
  ASSERT_EQ(found.size(), 4u) << found.dump(1);
  for (const auto& p : found) {
    EXPECT_EQ(p["confidence"], "sure") << p.dump(1);
    EXPECT_EQ(Members(p), recorded.at(TypeName(p))) << p.dump(1);
  }
  json fromImages = Json(bare + " ft find")["proposals"];
  for (json* list : {&found, &fromImages})
    for (auto& p : *list) p.erase("command");  // -m DIR for images
  EXPECT_EQ(fromImages, found) << "images alone give the same proposals";

  Result r = Ctl("-m " + Quote(m2) + " ft find --apply");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(Recorded(m2), recorded);
  for (const auto& [name, image] : images) {
    ASSERT_EQ(Ctl("-m " + Quote(m2) + " volume export " + name + " " + Quote(m.tmp.path + "/back.img")).rc,
              0);
    EXPECT_EQ(testutil::Run("cmp -s " + Quote(image) + " " + Quote(m.tmp.path + "/back.img")), 0) << name;
  }
  EXPECT_TRUE(Json("-m " + Quote(m2) + " ft find")["proposals"].empty()) << "recorded sets are left alone";

  // One disk gone: the mirror and the parity set, which keep their data, are proposed
  // degraded with the lost member in its place (member 0 of the parity set, whose boot
  // sector only the others' XOR gives, and member 1).
  for (unsigned lost : {0u, 1u}) {
    std::string rest;
    for (unsigned d : order)
      if (d != lost) rest += " --image " + Quote(m.Image(d));
    std::map<std::string, std::vector<std::string>> degraded;
    const json proposals = Json(rest + " ft find")["proposals"];
    for (const auto& p : proposals) {
      if (p["degraded"] == false) {
        EXPECT_EQ(Members(p), recorded.at(TypeName(p))) << "a set the lost disk held no member of";
        continue;
      }
      EXPECT_TRUE(p["command"].is_null()) << p.dump(1);
      degraded[TypeName(p)] = Members(p);
    }
    // A mirror's data does not show its order: the member left comes first.
    EXPECT_EQ(degraded["mirror"], (std::vector<std::string>{recorded.at("mirror")[1 - lost], "lost"}))
        << lost;
    auto parity = recorded.at("stripe_with_parity");
    parity[lost] = "lost";
    EXPECT_EQ(degraded["stripe_with_parity"], parity) << "without disk " << lost;
    EXPECT_EQ(degraded.size(), 2u);
  }
  // A broken mirror's partitions lose the flag: still equal, but no longer sure to be one.
  ASSERT_EQ(Ctl("-m " + Quote(m2) + " ft break mirror0").rc, 0);
  const json broken = Json("-m " + Quote(m2) + " ft find")["proposals"];
  ASSERT_EQ(broken.size(), 1u);
  EXPECT_EQ(broken[0]["confidence"], "likely") << broken.dump(1);

  // A member replaced onto another disk loses the flag; its replacement has it.
  auto type = [&](const std::string& member) {
    const json layout = Json("-m " + Quote(m2) + " layout --bytes");
    for (const auto& d : layout["disks"])
      for (const auto& e : d["entries"])
        if (std::to_string(d["signature"].get<uint64_t>()) + "@" +
                std::to_string(e["starting_offset"].get<int64_t>()) ==
            member)
          return e["partition_type"].get<int>();
    return -1;
  };
  const std::string old = recorded.at("stripe_with_parity")[1];
  ASSERT_EQ(type(old), 0x86);
  ASSERT_EQ(Ctl("-m " + Quote(m2) + " ft regenerate parity0").rc, 0);           // recorded initializing
  Result moved = Ctl("-m " + Quote(m2) + " ft regenerate parity0 1 --onto 0");  // disk 3 before
  ASSERT_EQ(moved.rc, 0) << moved.err;
  EXPECT_EQ(type(old), 0x06);
  EXPECT_EQ(type(Recorded(m2).at("stripe_with_parity")[1]), 0x86);
}

// The search over members held in memory: more members than above, given in another
// order among decoys (random bytes, and zeros the size of a volume set's last member,
// which NTFS leaves nothing on but its backup boot sector), a volume set of three
// sizes, a parity set whose last member is lost, and one whose row 0 parity begins with
// the boot sector too (FAT reserved sectors fill the first stripe).
TEST_P(FtFind, SearchOrdersMembersHeldInMemory) {
  namespace fm = ntp::ftmap;
  namespace ff = ntp::ftfind;
  const FileSystem& fs = GetParam();
  if (testutil::Run(std::string("for t in ") + fs.tools + "; do command -v $t || exit 1; done >/dev/null") !=
      0)
    GTEST_SKIP() << "needs " << fs.tools;
  constexpr uint64_t L = MiB + 32 * 1024;  // not whole stripes
  const struct {
    fm::Type type;
    std::vector<uint64_t> lengths;
    int lost;
    const char* fatOptions = "";
    bool stale = false;  // member 1 misses a write of 64 KiB: proposed whole, not sure
  } kLayouts[] = {{fm::kStripe, {L, L, L, L}, -1},
                  {fm::kParity, {L, L, L, L, L}, -1},
                  {fm::kParity, {L, L, L, L}, 3},
                  {fm::kParity, {L, L, L, L}, -1, "", true},
                  {fm::kParity, {2 * L, 2 * L, 2 * L}, -1, "-R 129"},
                  {fm::kVolumeSet, {3 * MiB / 2, MiB, 2 * MiB}, -1}};
  std::mt19937 random(7);
  for (const auto& layout : kLayouts) {
    SCOPED_TRACE(std::to_string(layout.type) + " of " + std::to_string(layout.lengths.size()));
    const unsigned n = static_cast<unsigned>(layout.lengths.size());
    const uint64_t length = fm::VolumeLength(layout.type, layout.lengths);
    const std::string img = m.tmp.path + "/v.img";
    ASSERT_EQ(testutil::Run("rm -f " + Quote(img) + "; T=" + Quote(m.tmp.path) + " IMG=" + Quote(img) +
                            " LEN=" + std::to_string(length) + " FAT_OPTIONS='" + layout.fatOptions +
                            "'; truncate -s $LEN $IMG && " + fs.make),
              0);
    const std::string volume = ReadFile(img);
    std::vector<std::string> members;
    for (uint64_t l : layout.lengths) members.emplace_back(l, '\0');
    for (uint64_t at = 0; at < length;) {
      fm::Piece piece;
      ASSERT_TRUE(fm::Map(layout.type, layout.lengths, at, &piece));
      const uint64_t k = std::min(piece.length, length - at);
      members[piece.member].replace(piece.memberOffset, k, volume, at, k);
      at += k;
    }
    for (uint64_t row = 0; layout.type == fm::kParity && row < layout.lengths[0] / fm::kStripeBytes; ++row)
      for (unsigned m = 0, p = fm::ParityMember(n, row); m < n; ++m)
        for (uint64_t i = row * fm::kStripeBytes; m != p && i < (row + 1) * fm::kStripeBytes; ++i)
          members[p][i] ^= members[m][i];
    if (layout.stale)
      for (uint64_t i = 0; i < 64 * 1024; ++i) members[1][L / 2 / 4096 * 4096 + i] ^= 0x5A;
    std::vector<std::string> decoys(2, std::string(L, '\0'));
    for (auto& d : decoys)
      for (auto& c : d) c = static_cast<char>(random());
    decoys.emplace_back(2 * MiB, '\0');

    // Members last to first on disks of their own, then the decoys.
    std::vector<ff::Partition> parts;
    std::vector<int> expect(n, -1);
    auto add = [&](const std::string& bytes, unsigned disk) {
      ff::Partition p;
      p.disk = disk;
      p.length = static_cast<int64_t>(bytes.size());
      p.type = 0x86;
      p.name = "disk" + std::to_string(disk);
      p.read = [&bytes](uint64_t offset, void* buffer, size_t size) {
        if (offset > bytes.size() || size > bytes.size() - offset) return false;
        std::memcpy(buffer, bytes.data() + offset, size);
        return true;
      };
      parts.push_back(p);
    };
    for (unsigned m = n; m-- > 0;)
      if (static_cast<int>(m) != layout.lost) {
        expect[m] = static_cast<int>(parts.size());
        add(members[m], m);
      }
    for (unsigned d = 0; d < decoys.size(); ++d) add(decoys[d], n + d);
    const ff::Result r = ff::Find(parts, {});
    ASSERT_EQ(r.proposals.size(), 1u);
    EXPECT_EQ(r.proposals[0].type, layout.type);
    EXPECT_EQ(r.proposals[0].members, expect);
    EXPECT_EQ(r.proposals[0].confidence, layout.stale ? ff::Confidence::kLikely : ff::Confidence::kSure);
    EXPECT_EQ(r.proposals[0].volumeLength, length);
  }
}

// Two partitions of one size holding the same bytes are a mirror, sure only when both
// carry the flag; one that misses some writes is still proposed, never as sure; two
// that differ throughout are no mirror.
TEST(FtFindMirrors, AgreementAndFlagDecideTheConfidence) {
  namespace ff = ntp::ftfind;
  const struct {
    uint8_t type;
    uint64_t differ;  // bytes of member 1 rewritten, from 256 KiB on
    int proposals;
    ff::Confidence confidence;
  } kCases[] = {{0x86, 0, 1, ff::Confidence::kSure},
                {0x06, 0, 1, ff::Confidence::kLikely},
                {0x86, 64 * 1024, 1, ff::Confidence::kLikely},
                {0x86, MiB, 0, {}}};
  std::mt19937 random(3);
  for (const auto& c : kCases) {
    std::vector<std::string> bytes(2, std::string(MiB + 256 * 1024, '\0'));
    for (auto& ch : bytes[0]) ch = static_cast<char>(random());
    bytes[1] = bytes[0];
    for (uint64_t i = 0; i < c.differ; ++i) bytes[1][256 * 1024 + i] ^= 0x33;
    std::vector<ff::Partition> parts(2);
    for (unsigned d = 0; d < 2; ++d) {
      parts[d] = {0, d, 0, static_cast<int64_t>(bytes[d].size()), 0, c.type, "disk" + std::to_string(d), {}};
      parts[d].read = [&b = bytes[d]](uint64_t offset, void* buffer, size_t size) {
        std::memcpy(buffer, b.data() + offset, size);
        return true;
      };
    }
    const ff::Result r = ff::Find(parts, {});
    ASSERT_EQ(r.proposals.size(), static_cast<size_t>(c.proposals)) << c.differ;
    if (c.proposals == 0) continue;
    EXPECT_EQ(r.proposals[0].type, ntp::ftmap::kMirror);
    EXPECT_EQ(r.proposals[0].members, (std::vector<int>{0, 1}));
    EXPECT_EQ(r.proposals[0].confidence, c.confidence) << int{c.type} << " " << c.differ;
  }
}

INSTANTIATE_TEST_SUITE_P(FileSystems, FtFind, testing::ValuesIn(kFileSystems),
                         [](const testing::TestParamInfo<FileSystem>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
