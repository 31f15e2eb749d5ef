// FT sets made, used, repaired and removed through the built program, checked with
// sfdisk on the images, the program's JSON in a fresh process, and the member bytes.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>

#include "testutil.h"

namespace {

using nlohmann::json;

using namespace testutil;

class FtSets : public testing::Test {
 protected:
  CtlMachine m{"--disk 64M --disk 64M --disk 64M"};
  json Json(const std::string& args) {
    Result r = m.On(args + " --json");
    EXPECT_EQ(r.rc, 0) << args << ": " << r.err;
    return json::parse(r.out, nullptr, false);
  }
  // The FT sets of the stored configuration.
  json Sets() { return Json("registry show")["information"]["ft_sets"]; }
  const json* Volume(const json& show, const std::string& kind) {
    for (const auto& v : show["volumes"])
      if (v["kind"] == kind) return &v;
    return nullptr;
  }

  // Bytes of a partition (sfdisk's start and size in sectors) of an image.
  static std::string Bytes(const std::string& img, uint64_t start, uint64_t sectors) {
    return ReadAt(img, start * 512, sectors * 512);
  }
  static void Fill(const std::string& img, uint64_t start, const std::string& bytes) {
    WriteAt(img, start * 512, bytes);
  }
  static std::string Random(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(g());
    return s;
  }
};

// Mirror from a partition holding data, broken again; a stripe set deleted (its
// device-mapper table is kept in tests/expected/); a duplicate signature refused before
// anything is written.
TEST_F(FtSets, MirrorBreakStripeDeleteAndDuplicateSignatures) {
  ASSERT_EQ(m.On("create primary --disk 0 --size 20M").rc, 0);
  ASSERT_EQ(m.On("letter disk0/p1 E:").rc, 0);
  const auto [start, size] = SfdiskData(m.Image(0)).at(0);
  std::string data = Random(size * 512, 1);
  Fill(m.Image(0), start, data);

  // A disk whose signature another disk shares cannot be recorded by a set; nothing is
  // written. (The other rules are checked where the sets are configured.)
  const std::string before = Bytes(m.Image(1), 0, 1), sig2 = Bytes(m.Image(2), 0, 1);
  Fill(m.Image(2), 0, sig2.substr(0, 440) + before.substr(440, 4) + sig2.substr(444));
  EXPECT_TRUE(Fails(m.On("ft create stripe --size 10M --disk 1 --disk 2"), "--write-signature"));
  EXPECT_TRUE(before == Bytes(m.Image(1), 0, 1)) << "a refused request writes nothing";
  Fill(m.Image(2), 0, sig2);
  Result r = m.On("ft create stripe --size 10M --disk 1 --disk 2");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(Sets().size(), 1u);

  ASSERT_EQ(m.On("ft delete stripe0").rc, 0);
  EXPECT_TRUE(SfdiskData(m.Image(1)).empty());
  EXPECT_TRUE(SfdiskData(m.Image(2)).empty());
  EXPECT_TRUE(Sets().empty());

  // The mirror: member 1 holds member 0's bytes; one healthy mirror volume with E:.
  r = m.On("ft create mirror disk0/p1 --disk 1");
  ASSERT_EQ(r.rc, 0) << r.err;
  const auto m1 = SfdiskData(m.Image(1));
  ASSERT_EQ(m1.size(), 1u);
  EXPECT_EQ(m1[0].second, size);
  EXPECT_TRUE(Bytes(m.Image(1), m1[0].first, size) == data);
  json show = Json("show");
  const json* mirror = Volume(show, "mirror");
  ASSERT_NE(mirror, nullptr);
  EXPECT_EQ((*mirror)["state"], 4u) << "healthy once the copy is done";
  EXPECT_EQ((*mirror)["drive_letter"], "E:");
  EXPECT_EQ((*mirror)["members"].size(), 2u);
  json sets = Sets();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0]["type_name"], "mirror");
  EXPECT_EQ(sets[0]["state_name"], "ok");
  // Written through the mirror: every member takes the bytes (checked once it is broken).
  data = Random(size * 512, 4);
  std::ofstream(m.tmp.path + "/m.bin", std::ios::binary) << data;
  ASSERT_EQ(m.On("volume import mirror0 " + Quote(m.tmp.path + "/m.bin")).rc, 0);

  // Broken: two plain partitions with the same data; member 1 has a letter of its own.
  ASSERT_EQ(m.On("ft break mirror0").rc, 0);
  EXPECT_TRUE(Sets().empty());
  show = Json("show");
  EXPECT_EQ(Volume(show, "mirror"), nullptr);
  std::set<std::string> letters;
  for (const auto& v : show["volumes"])
    if (v["kind"] == "primary" && v["drive_letter"].is_string()) letters.insert(v["drive_letter"]);
  EXPECT_TRUE(letters.size() == 2 && letters.count("E:")) << show["volumes"];
  EXPECT_TRUE(Bytes(m.Image(1), m1[0].first, size) == data);
  EXPECT_TRUE(Bytes(m.Image(0), start, size) == data);
  json registry = Json("registry show");
  for (const auto& d : registry["information"]["disks"])
    for (const auto& p : d["partitions"]) EXPECT_EQ(p["ft_type"], 4u) << "a plain partition again";
}

// A volume set grown and repaired by hand; a FAT file system on a stripe set with
// parity that survives a lost member and is regenerated.
TEST_F(FtSets, VolumeSetExtendEditAndParityRegenerate) {
  ASSERT_EQ(m.On("ft create volset --size 8M --size 12M --disk 0 --disk 1").rc, 0);
  Result r = m.On("ft extend volset0 --disk 2 --size 6M");
  ASSERT_EQ(r.rc, 0) << r.err;
  ASSERT_EQ(Sets().size(), 1u);
  EXPECT_EQ(Sets()[0]["members"].size(), 3u);
  // Data written through the set, which is dropped and defined again: the same set, no
  // data touched. (Where each byte lands is checked with the volume maps.)
  const std::string file = m.tmp.path + "/pattern.bin";
  uint64_t total = 0;
  for (unsigned d = 0; d < 3; ++d) total += SfdiskData(m.Image(d)).at(0).second;
  const std::string pattern = Random(total * 512, 2);
  std::ofstream(file, std::ios::binary) << pattern;
  ASSERT_EQ(m.On("volume import volset0 " + Quote(file)).rc, 0);
  ASSERT_EQ(m.On("ft edit drop volset0").rc, 0);
  EXPECT_TRUE(Sets().empty());
  EXPECT_EQ(SfdiskData(m.Image(2)).size(), 1u);
  ASSERT_EQ(m.On("ft edit define volset disk0/p1 disk1/p1 disk2/p1 --group 4").rc, 0);
  // A group past 16 bits is refused as such, not taken for the group it wraps to.
  EXPECT_TRUE(Fails(m.On("ft edit define volset disk0/p1 disk1/p1 --group 65540"), "0 to 65534", 2));
  ASSERT_EQ(m.On("volume export volset4 " + Quote(m.tmp.path + "/back.bin")).rc, 0);
  EXPECT_TRUE(ReadFile(m.tmp.path + "/back.bin") == pattern);
  ASSERT_EQ(m.On("ft delete volset4").rc, 0);
  for (unsigned d = 0; d < 3; ++d) EXPECT_TRUE(SfdiskData(m.Image(d)).empty());

  if (testutil::Run("command -v mkfs.fat && command -v fsck.fat && command -v mcopy") != 0)
    GTEST_SKIP() << "dosfstools and mtools are needed for the file-system half";
  r = m.On("ft create parity --size 20M --disk 0 --disk 1 --disk 2");
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::string fat = m.tmp.path + "/fat.img", big = m.tmp.path + "/big.bin",
                    small = m.tmp.path + "/small.txt";
  std::ofstream(big, std::ios::binary) << Random(3 << 20, 3);
  std::ofstream(small) << "hello from the parity set\n";
  ASSERT_EQ(testutil::Run("mkfs.fat -C " + Quote(fat) + " 40000 >/dev/null && mcopy -i " + Quote(fat) + " " +
                          Quote(big) + " " + Quote(small) + " ::/"),
            0);
  ASSERT_EQ(m.On("volume import parity0 " + Quote(fat)).rc, 0);
  EXPECT_EQ((*Volume(Json("show"), "stripe_with_parity"))["file_system"], "FAT");

  // Member 1's partition is wiped and recorded as orphaned: its data comes from the rest.
  const auto [lost, lostSize] = SfdiskData(m.Image(1)).at(0);
  const std::string zeros(lostSize * 512, '\0');
  Fill(m.Image(1), lost, zeros);
  ASSERT_EQ(m.On("ft edit member parity0 1 --state orphaned").rc, 0);
  EXPECT_EQ(Sets()[0]["state_name"], "has_orphan");
  const std::string out = m.tmp.path + "/out.img", got = m.tmp.path + "/got";
  auto filesBack = [&]() {
    ASSERT_EQ(m.On("volume export parity0 " + Quote(out)).rc, 0);
    EXPECT_EQ(testutil::Run("fsck.fat -n " + Quote(out) + " >/dev/null"), 0);
    testutil::Run("rm -rf " + Quote(got) + " && mkdir " + Quote(got));
    ASSERT_EQ(testutil::Run("mcopy -i " + Quote(out) + " ::/big.bin ::/small.txt " + Quote(got) + "/"), 0);
    EXPECT_EQ(testutil::Run("cmp -s " + Quote(big) + " " + Quote(got + "/big.bin")), 0);
    EXPECT_EQ(testutil::Run("cmp -s " + Quote(small) + " " + Quote(got + "/small.txt")), 0);
  };
  filesBack();
  // Two members lost: nothing is invented.
  ASSERT_EQ(m.On("ft edit member parity0 2 --state orphaned").rc, 0);
  EXPECT_EQ(m.On("volume export parity0 -").rc, 1);
  EXPECT_EQ(m.On("ft regenerate parity0 1").rc, 1);
  ASSERT_EQ(m.On("ft edit member parity0 2 --state healthy").rc, 0);

  r = m.On("ft regenerate parity0");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(Sets()[0]["state_name"], "ok");
  EXPECT_NE(Bytes(m.Image(1), lost, lostSize), zeros);
  // Healthy again; with member 0 lost too the data is still whole, and the file system
  // is still found (through the layout, not on member 0).
  const auto [first, firstSize] = SfdiskData(m.Image(0)).at(0);
  Fill(m.Image(0), first, std::string(firstSize * 512, '\0'));
  ASSERT_EQ(m.On("ft edit member parity0 0 --state orphaned").rc, 0);
  EXPECT_EQ((*Volume(Json("show"), "stripe_with_parity"))["file_system"], "FAT");
  filesBack();
}

}  // namespace
