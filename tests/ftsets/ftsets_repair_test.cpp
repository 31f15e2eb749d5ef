// FT sets repaired through the built program as an administrator would: a dead disk
// replaced with only the commands check advises, requests killed at every write and run
// again, a disk away for a boot, a mirror broken with a stale member, signatures.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "testutil.h"

namespace {

using nlohmann::json;
using namespace testutil;
namespace fs = std::filesystem;

// Small cylinders (16 x 63 sectors) keep the sets and their data passes small.
const std::string kDisks = "--disk 32M,16,63 --disk 32M,16,63 --disk 32M,16,63";

json Json(const CtlMachine& m, const std::string& args) {
  return json::parse(m.On(args + " --json").out, nullptr, false);
}

std::string Random(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(g());
  return s;
}

// Fills the set with random bytes through the program; returns them.
std::string FillSet(const CtlMachine& m, const std::string& set, unsigned seed) {
  const std::string file = m.tmp.path + "/data.bin";
  EXPECT_EQ(m.On("volume export " + set + " " + Quote(file)).rc, 0);
  const std::string data = Random(fs::file_size(file), seed);
  std::ofstream(file, std::ios::binary) << data;
  EXPECT_EQ(m.On("volume import " + set + " " + Quote(file)).rc, 0);
  return data;
}

std::string Export(const CtlMachine& m, const std::string& set) {
  const std::string file = m.tmp.path + "/out.bin";
  Result r = m.On("volume export " + set + " " + Quote(file));
  return r.rc == 0 ? ReadFile(file) : "export failed: " + r.err;
}

// The commands check advises, in the order of its findings (none with a placeholder).
std::vector<std::string> Advice(const CtlMachine& m) {
  std::vector<std::string> out;
  static const std::regex command("ftdiskctl ([a-z][^;()]*[^;() ])");
  const json check = Json(m, "check");  // kept: the loop walks into it
  for (const auto& f : check["findings"]) {
    const std::string action = f["action"];
    for (std::sregex_iterator it(action.begin(), action.end(), command), end; it != end; ++it)
      if (!std::regex_search((*it)[1].str(), std::regex("[A-Z]{2,}"))) out.push_back((*it)[1]);
  }
  return out;
}

void Replace(const std::string& image, uint64_t bytes) {
  fs::resize_file(image, 0);
  fs::resize_file(image, bytes);
}

// Disk 1 dies and a blank disk takes its place; check's advice alone brings the set
// back with every byte, onto a disk as large or larger; a smaller one is refused with
// the size it needs, and nothing is written to it.
TEST(FtRepair, ADeadDiskIsReplacedWithCheckAdviceAlone) {
  const std::string mirror = "ft create mirror disk0/p1 --disk 1",
                    parity = "ft create parity --size 3M --disk 0 --disk 1 --disk 2";
  struct Case {
    const std::string& make;
    const char* set;
    uint64_t replacement;
    bool fits;
  } cases[] = {
      {mirror, "mirror0", 32 * MiB, true}, {mirror, "mirror0", 48 * MiB, true},
      {mirror, "mirror0", 2 * MiB, false}, {parity, "parity0", 32 * MiB, true},
      {parity, "parity0", 64 * MiB, true}, {parity, "parity0", 2 * MiB, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make + ", replacement of " + std::to_string(c.replacement));
    CtlMachine m(&c.make == &mirror ? "--disk 32M,16,63 --disk 32M,16,63" : kDisks);
    ASSERT_EQ(m.On("create primary --disk 0 --size 3M").rc, 0);
    ASSERT_EQ(m.On(c.make).rc, 0);
    EXPECT_EQ(m.On("check").rc, 0) << "a set ft create makes is clean";
    const std::string data = FillSet(m, c.set, 7);
    Replace(m.Image(1), c.replacement);
    // Each round runs the first command check advises, while it advises one.
    for (int round = 0; round < 4 && m.On("check").rc != 0; ++round) {
      const auto advice = Advice(m);
      if (advice.empty()) break;
      ASSERT_EQ(m.On(advice[0]).rc, 0) << advice[0];
    }
    EXPECT_EQ(m.On("check").rc, c.fits ? 0 : 1);
    EXPECT_TRUE(Export(m, c.set) == data) << "every byte is the set's";
    if (c.fits) continue;
    EXPECT_TRUE(Fails(m.On("ft regenerate " + std::string(c.set) + " 1 --onto 1"), "bytes"));
    EXPECT_TRUE(SfdiskData(m.Image(1)).empty());
  }
}

// Every write of each request (disk writes and registry commits) is a point where it may
// die. Afterwards each partition on the disks was there before, belongs to a set, or is
// named by check; unless check finds the request done, the same command again finishes
// it, after which check is clean and the disks hold what the whole request makes, set
// data included.
struct Killed {
  const char* base;  // "plain": data in disk0/p1; "sets": mirror0 and volset0; "dead": mirror0, disk 1 blank
  const char* request;
};
class FtKilled : public testing::TestWithParam<Killed> {};

TEST_P(FtKilled, ARequestKilledAtAnyWriteFinishesWhenRunAgain) {
  const std::string base = GetParam().base, request = GetParam().request;
  CtlMachine from(kDisks);
  ASSERT_EQ(from.On("create primary --disk 0 --size 1M").rc, 0);
  const auto [start, sectors] = SfdiskData(from.Image(0)).at(0);
  WriteAt(from.Image(0), start * 512, Random(sectors * 512, 3));
  std::vector<std::string> setup;
  if (base == "sets")
    setup = {"ft create mirror disk0/p1 --disk 2", "ft create volset --size 1M --disk 0 --disk 1"};
  if (base == "dead") setup = {"ft create mirror disk0/p1 --disk 1"};
  for (const auto& command : setup) ASSERT_EQ(from.On(command).rc, 0) << command;
  if (base == "dead") Replace(from.Image(1), 32 * MiB);
  auto layout = [](const std::string& dir) {
    std::vector<std::vector<std::pair<uint64_t, uint64_t>>> disks;
    for (int d = 0; d < 3; ++d) disks.push_back(SfdiskData(dir + "/disks/disk" + std::to_string(d) + ".img"));
    return disks;
  };
  auto copy = [&](const std::string& to) {
    fs::remove_all(to);
    ASSERT_EQ(testutil::Run("cp -a --sparse=always " + Quote(from.dir) + " " + Quote(to)), 0);
  };
  const auto before = layout(from.dir);
  CtlMachine whole;
  copy(whole.dir);
  ASSERT_EQ(whole.On(request).rc, 0);
  const auto after = layout(whole.dir);
  std::map<std::string, std::string> data;  // each set's bytes after the whole request
  const json shown = Json(whole, "show");   // held: a loop over a temporary's member dangles
  for (const auto& v : shown["volumes"])
    if (v["kind"] != "primary") data[v["name"]] = Export(whole, v["name"]);
  for (int k = 1;; ++k) {
    SCOPED_TRACE("killed at write " + std::to_string(k));
    CtlMachine m;
    copy(m.dir);
    Result r =
        m.On(request, "", "FTDISK_CRASH_COUNT_COMMITS=1 FTDISK_CRASH_AFTER_WRITES=" + std::to_string(k));
    ASSERT_TRUE(r.rc == 86 || r.rc == 0) << r.err;
    if (r.rc == 0) break;
    std::set<std::string> named;
    const json findings = Json(m, "check")["findings"];
    for (const auto& f : findings) named.insert(f["object"]);
    const json show = Json(m, "show");
    for (const auto& disk : show["disks"])
      for (const auto& region : disk["regions"]) {
        if (region["kind"] != "primary") continue;
        const uint64_t at = region["offset"].get<uint64_t>() / 512;
        const auto& was = before[disk["index"].get<size_t>()];
        bool accounted = named.count(region["name"]) ||
                         std::any_of(was.begin(), was.end(), [&](auto& p) { return p.first == at; });
        for (const auto& v : show["volumes"])
          accounted = accounted || (v["id"] == region["volume"] && v["kind"] != "primary");
        EXPECT_TRUE(accounted) << region["name"] << " is accounted for by nothing";
      }
    // Stopped after its last write, the request is done; run again, it would be a new one.
    if (findings.empty() && layout(m.dir) == after) continue;
    Result again = m.On(request);
    ASSERT_EQ(again.rc, 0) << again.err;
    Result check = m.On("check");
    EXPECT_EQ(check.rc, 0) << check.out;
    EXPECT_EQ(layout(m.dir), after) << "the disks hold what the whole request makes";
    for (const auto& [name, bytes] : data) EXPECT_TRUE(Export(m, name) == bytes) << name;
    ASSERT_LT(k, 400) << "the request never finished";
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachRequest, FtKilled,
    testing::Values(Killed{"plain", "ft create mirror disk0/p1 --disk 1"},
                    Killed{"plain", "ft create parity --size 1M --disk 0 --disk 1 --disk 2"},
                    Killed{"plain", "ft create stripe --size 1M --disk 0 --disk 2"},
                    Killed{"sets", "ft extend volset0 --disk 2 --size 1M"},
                    Killed{"sets", "ft delete mirror0"}, Killed{"dead", "ft regenerate mirror0 1 --onto 1"}),
    [](const testing::TestParamInfo<Killed>& info) {
      // "ft create mirror disk0/p1 --disk 1": create_mirror
      const std::string request = info.param.request;
      std::string name;
      for (char c : request.substr(3, request.find(' ', request.find(' ', 3) + 1) - 3))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// A stripe set, a volume set and a mirror lose disk 1 for one boot; it comes back byte
// for byte. The stripe and volume sets are whole again; the mirror, which could be
// written meanwhile, keeps the member out until check's command rebuilds it.
TEST(FtRepair, ADiskAwayForOneBootAndBackUnchanged) {
  CtlMachine m(kDisks);
  ASSERT_EQ(m.On("ft create stripe --size 2M --disk 0 --disk 1").rc, 0);
  ASSERT_EQ(m.On("ft create volset --size 1M --disk 1 --disk 2").rc, 0);
  ASSERT_EQ(m.On("create primary --disk 2 --size 2M").rc, 0);
  ASSERT_EQ(m.On("ft create mirror disk2/p2 --disk 1").rc, 0);
  const std::string stripe = FillSet(m, "stripe0", 1), volset = FillSet(m, "volset0", 2);
  fs::rename(m.Image(1), m.Image(1) + ".away");
  EXPECT_EQ(m.On("check").rc, 1);
  EXPECT_EQ(m.On("volume export stripe0 -").rc, 1);
  // What is left of the stripe set: member 0's stripes, member 1's as zeros.
  const json saved = Json(m, "volume export stripe0 " + Quote(m.tmp.path + "/holes.bin") + " --allow-holes");
  std::string expect = stripe;
  for (size_t at = 64 * 1024; at < expect.size(); at += 128 * 1024)
    expect.replace(at, 64 * 1024, 64 * 1024, '\0');
  EXPECT_TRUE(ReadFile(m.tmp.path + "/holes.bin") == expect);
  EXPECT_EQ(saved["zeroed"].size(), stripe.size() / (128 * 1024));
  const std::string mirror = FillSet(m, "mirror0", 3);
  fs::rename(m.Image(1) + ".away", m.Image(1));
  EXPECT_TRUE(Export(m, "stripe0") == stripe);
  EXPECT_TRUE(Export(m, "volset0") == volset);
  const auto advice = Advice(m);
  ASSERT_EQ(advice, std::vector<std::string>({"ft regenerate mirror0 1", "ft regenerate mirror0 1"}));
  ASSERT_EQ(m.On(advice[0]).rc, 0);
  EXPECT_EQ(m.On("check").rc, 0);
  EXPECT_TRUE(Export(m, "mirror0") == mirror);
}

// Breaking a mirror whose member 0 is stale leaves the letter and the data with member
// 1; with neither member current the break is refused. A signature the configuration
// records is changed only when forced; a unique one never.
TEST(FtRepair, BreakKeepsTheCurrentMemberAndSignaturesKeepTheirRecords) {
  CtlMachine m(kDisks);
  ASSERT_EQ(m.On("create primary --disk 0 --size 2M").rc, 0);
  ASSERT_EQ(m.On("letter disk0/p1 M:").rc, 0);
  ASSERT_EQ(m.On("ft create mirror disk0/p1 --disk 1").rc, 0);
  fs::rename(m.Image(0), m.Image(0) + ".away");
  const std::string data = FillSet(m, "mirror0", 4);
  fs::rename(m.Image(0) + ".away", m.Image(0));
  EXPECT_TRUE(Fails(m.On("attach --write-signature " + Quote(m.Image(0))), "unique already"));
  ASSERT_EQ(m.On("ft break mirror0").rc, 0);
  const json show = Json(m, "show");
  for (const auto& v : show["volumes"])
    if (v["drive_letter"] == "M:") {
      EXPECT_EQ(v["name"], "disk1/p1") << "the letter is with the current data";
    }
  const auto m1 = SfdiskData(m.Image(1)).at(0);
  EXPECT_TRUE(ReadAt(m.Image(1), m1.first * 512, data.size()) == data);

  ASSERT_EQ(m.On("ft edit define mirror disk0/p1 disk1/p1 --assume-clean").rc, 0);
  ASSERT_EQ(m.On("ft edit member mirror0 0 --state orphaned").rc, 0);
  ASSERT_EQ(m.On("ft edit member mirror0 1 --state orphaned").rc, 0);
  EXPECT_TRUE(Fails(m.On("ft break mirror0"), "neither member"));

  // Disk 2 becomes a copy of disk 1's sector 0: the signature is shared and recorded.
  WriteAt(m.Image(2), 0, ReadAt(m.Image(1), 0, 512));
  const std::string sector = ReadAt(m.Image(1), 0, 512);
  EXPECT_TRUE(Fails(m.On("attach --write-signature " + Quote(m.Image(1))), "--force"));
  EXPECT_TRUE(ReadAt(m.Image(1), 0, 512) == sector) << "nothing written without --force";
  EXPECT_EQ(m.On("attach --write-signature --force " + Quote(m.Image(2))).rc, 0);
  EXPECT_FALSE(ReadAt(m.Image(2), 0x1B8, 4) == sector.substr(0x1B8, 4));
}

// A mirror or parity set defined over existing partitions is not taken to be in step
// unless the administrator says so: check names the pass that makes it so.
TEST(FtRepair, ADefinedRedundantSetWaitsForItsDataPass) {
  CtlMachine m(kDisks);
  for (int d = 0; d < 3; ++d)
    ASSERT_EQ(m.On("create primary --disk " + std::to_string(d) + " --size 2M").rc, 0);
  ASSERT_EQ(m.On("ft edit define parity disk0/p1 disk1/p1 disk2/p1").rc, 0);
  // Its parity was never written: a lost member cannot be rebuilt from it.
  ASSERT_EQ(m.On("ft edit member parity0 1 --state orphaned").rc, 0);
  EXPECT_TRUE(Fails(m.On("ft regenerate parity0 1"), "initializing"));
  ASSERT_EQ(m.On("ft edit member parity0 1 --state initializing").rc, 0);
  const auto advice = Advice(m);
  ASSERT_FALSE(advice.empty());
  EXPECT_EQ(advice[0], "ft regenerate parity0");
  ASSERT_EQ(m.On(advice[0]).rc, 0);
  EXPECT_EQ(m.On("check").rc, 0);
  ASSERT_EQ(m.On("ft edit drop parity0").rc, 0);
  ASSERT_EQ(m.On("ft edit define parity disk0/p1 disk1/p1 disk2/p1 --assume-clean").rc, 0);
  EXPECT_EQ(m.On("check").rc, 0);
}

}  // namespace
