// FT data through the built program: one size per set in every boot, imports that
// change exactly the bytes given (read back by a reader of our own), device-mapper
// tables run through an emulation of their targets, planted mismatches found and
// repaired, and requests killed at every write that never leave a set healthy with
// wrong data.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "testutil.h"

namespace {

using nlohmann::json;
using namespace testutil;
constexpr uint64_t K = 64 * 1024;

std::string Random(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(g());
  return s;
}

void Save(const std::string& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

// A member partition in its image: start and length in sectors.
struct Part {
  std::string image;
  uint64_t start, sectors;
};

// The volume's bytes read from the member partitions by the layout's description.
std::string VolumeBytes(const std::string& type, const std::vector<Part>& parts) {
  std::vector<std::string> m;
  uint64_t smallest = UINT64_MAX;
  for (const auto& p : parts) {
    m.push_back(ReadAt(p.image, p.start * 512, p.sectors * 512));
    smallest = std::min(smallest, p.sectors * 512);
  }
  const size_t n = m.size();
  std::string v;
  if (type == "volset")
    for (const auto& x : m) v += x;
  if (type == "mirror") v = m[0].substr(0, smallest);
  for (uint64_t r = 0; (type == "stripe" || type == "parity") && r < smallest / K; ++r)
    for (size_t i = 0; i < n; ++i)
      if (type == "stripe" || i != (r == 0 ? n - 1 : (r - 1) % n)) v += m[i].substr(r * K, K);
  return v;
}

// Reads a dmsetup table (plain, or concise with helper devices) as the kernel's linear,
// striped, raid1 and raid5_ra targets map it; devices not under /dev/mapper/ are files.
class DmEmulator {
 public:
  explicit DmEmulator(const std::string& text) {
    if (text.find(',') == std::string::npos) {
      std::istringstream in(text);
      for (std::string line; std::getline(in, line);) Add("top", line);
      return;
    }
    std::vector<std::string> fields(1);
    for (size_t i = 0; i <= text.size(); ++i) {
      const char c = i < text.size() ? text[i] : ';';
      if (c == '\\') {
        fields.back() += text[++i];
      } else if (c == ',') {
        fields.emplace_back();
      } else if (c == ';' || c == '\n') {
        for (size_t f = 4; f < fields.size(); ++f) Add(fields[0], fields[f]);
        fields.assign(1, "");
        if (c == '\n') break;
      } else {
        fields.back() += c;
      }
    }
  }
  uint64_t Sectors() const {
    uint64_t n = 0;
    for (const auto& s : devices_.at(top_)) n += s.len;
    return n;
  }
  std::string Read() { return Read("/dev/mapper/" + top_, 0, Sectors()); }

 private:
  struct Segment {
    uint64_t start, len;
    std::vector<std::string> args;  // the target and its arguments
  };
  void Add(const std::string& dev, const std::string& line) {
    std::istringstream w(line);
    Segment s;
    w >> s.start >> s.len;
    for (std::string a; w >> a;) s.args.push_back(a);
    devices_[dev].push_back(s);
    top_ = dev;
  }
  std::string Read(const std::string& dev, uint64_t sector, uint64_t count);
  std::map<std::string, std::vector<Segment>> devices_;
  std::string top_;
};

std::string DmEmulator::Read(const std::string& path, uint64_t sector, uint64_t count) {
  if (path.rfind("/dev/mapper/", 0) != 0) return ReadAt(path, sector * 512, count * 512);
  const std::string name = path.substr(12);
  std::string out;
  while (count > 0) {
    const Segment* seg = nullptr;
    for (const auto& s : devices_.at(name))
      if (sector >= s.start && sector < s.start + s.len) seg = &s;
    if (seg == nullptr) return out;
    const auto& a = seg->args;
    const uint64_t rel = sector - seg->start;
    uint64_t step = std::min(count, seg->start + seg->len - sector), at = 0;
    std::string dev;
    if (a[0] == "linear") {
      dev = a[1], at = std::stoull(a[2]) + rel;
    } else if (a[0] == "striped") {
      const uint64_t devs = std::stoull(a[1]), chunk = std::stoull(a[2]), c = rel / chunk;
      step = std::min(step, chunk - rel % chunk);
      dev = a[3 + 2 * (c % devs)], at = std::stoull(a[4 + 2 * (c % devs)]) + c / devs * chunk + rel % chunk;
    } else {
      // raid TYPE #params params... #devs (meta data)...: raid1 reads the first device
      // not named for a rebuild; raid5_ra puts row s's parity on device s mod n and the
      // data in device order around it.
      const size_t p = std::stoul(a[2]), devs = std::stoul(a[3 + p]);
      std::vector<std::string> data;
      for (size_t i = 0; i < devs; ++i) data.push_back(a[5 + p + 2 * i]);
      if (a[1] == "raid1") {
        for (size_t i = 0; i < devs && dev.empty(); ++i)
          if (data[i] != "-" &&
              std::find(a.begin() + 3, a.begin() + 3 + p, std::to_string(i)) == a.begin() + 3 + p)
            dev = data[i];
        at = rel;
      } else {
        const uint64_t chunk = std::stoull(a[3]), c = rel / chunk, row = c / (devs - 1);
        uint64_t d = c % (devs - 1);
        if (d >= row % devs) ++d;
        step = std::min(step, chunk - rel % chunk);
        dev = data[d], at = row * chunk + rel % chunk;
      }
    }
    out += Read(dev, at, step);
    sector += step;
    count -= step;
  }
  return out;
}

class FtData : public testing::Test {
 protected:
  json Json(const CtlMachine& m, const std::string& args) {
    Result r = m.On(args + " --json");
    EXPECT_EQ(r.rc, 0) << args << ": " << r.err;
    return json::parse(r.out, nullptr, false);
  }
  static uint64_t Length(const json& show, const std::string& name) {
    for (const auto& v : show["volumes"])
      if (v.value("name", "") == name) return v["length"];
    return 0;
  }
  std::string SetState(const CtlMachine& m) {
    return Json(m, "registry show")["information"]["ft_sets"][0]["state_name"];
  }
  static uint64_t State(const json& show, const std::string& name) {
    for (const auto& v : show["volumes"])
      if (v.value("name", "") == name) return v["state"];
    return 0;
  }
};

// Every type with 2, 3 and 5 unequal members (none a whole number of stripes): show in
// the defining boot and the next, export, import and the device-mapper table give one
// size; the table maps every byte as export reads it.
TEST_F(FtData, OneSizePerSetInEveryBootAndTheDeviceMapperTableReadsTheSame) {
  CtlMachine m("--disk 16M --disk 16M --disk 16M --disk 16M --disk 16M --disk 16M --disk 16M --disk 16M");
  // Disk d holds four partitions of unequal sizes; set k takes the next free slot of
  // each disk it uses.
  for (unsigned d = 0; d < 8; ++d) {
    std::string script = "label: dos\n";
    for (unsigned p = 0; p < 4; ++p)
      script += "start=" + std::to_string(63 + p * 5000) +
                ", size=" + std::to_string(4000 + 97 * d + 31 * p) + ", type=7\n";
    ASSERT_TRUE(Sfdisk(m.Image(d), script));
  }
  ASSERT_EQ(m.On("rescan").rc, 0);
  const std::vector<std::pair<std::string, unsigned>> sets = {{"volset", 2}, {"volset", 3}, {"volset", 5},
                                                              {"stripe", 2}, {"stripe", 3}, {"stripe", 5},
                                                              {"parity", 3}, {"parity", 5}, {"mirror", 2}};
  std::vector<unsigned> slot(8, 1);
  std::map<std::string, uint64_t> defined;
  std::vector<std::pair<std::string, std::vector<Part>>> made;
  unsigned next = 0;
  for (const auto& [type, n] : sets) {
    std::string args = "ft edit define " + type;
    std::vector<Part> parts;
    for (unsigned i = 0; i < n; ++i, next = (next + 1) % 8) {
      args += " disk" + std::to_string(next) + "/p" + std::to_string(slot[next]);
      const auto sf = SfdiskData(m.Image(next)).at(slot[next]++ - 1);
      parts.push_back({m.Image(next), sf.first, sf.second});
    }
    // Taken as they are: the maps are compared, not the members' agreement.
    if (type == "mirror" || type == "parity") args += " --assume-clean";
    json r = Json(m, args);
    const std::string name = r["volumes"].back()["name"];
    defined[name] = Length(r, name);
    made.push_back({name, parts});
  }
  const json later = Json(m, "show");
  for (const auto& [name, parts] : made) {
    SCOPED_TRACE(name);
    const std::string type = name.substr(0, 6), out = m.tmp.path + "/" + name;
    // On standard output with --json: the volume's bytes alone, the document on stderr.
    const Result e = m.On("--json volume export " + name + " -");
    ASSERT_EQ(e.rc, 0) << e.err;
    EXPECT_EQ(json::parse(e.err, nullptr, false).value("bytes", 0ull), e.out.size()) << e.err;
    const std::string bytes = e.out;
    Save(out, bytes);
    EXPECT_EQ(bytes.size(), defined[name]);
    EXPECT_EQ(bytes.size(), Length(later, name));
    EXPECT_TRUE(bytes == VolumeBytes(type, parts));
    // The exported size goes back in; one sector more does not.
    Save(out, Random(bytes.size(), 7));
    EXPECT_EQ(m.On("volume import " + name + " " + out).rc, 0);
    Save(out + ".big", Random(bytes.size() + 512, 8));
    // Refused naming both sizes and the difference.
    EXPECT_TRUE(Fails(m.On("volume import " + name + " " + out + ".big"),
                      std::to_string(bytes.size() + 512) + " bytes, 512 more than the volume's " +
                          std::to_string(bytes.size())));
    Result t = m.On("volume dmtable " + name + " --concise");
    ASSERT_EQ(t.rc, 0) << t.err;
    DmEmulator dm(t.out);
    EXPECT_EQ(dm.Sectors() * 512, bytes.size());
    EXPECT_TRUE(dm.Read() == ReadFile(out)) << t.out;
  }
}

// Imports of sizes around a sector change exactly their bytes, by the layout's own
// reader; a size that is not whole sectors is refused without --pad, naming the size
// it needs, also from standard input.
TEST_F(FtData, ImportsChangeExactlyTheBytesGiven) {
  CtlMachine m("--disk 16M --disk 16M --disk 16M");
  for (unsigned d = 0; d < 3; ++d)
    ASSERT_TRUE(Sfdisk(m.Image(d), "label: dos\nstart=63, size=" + std::to_string(9000 + d) + ", type=7\n"));
  ASSERT_EQ(m.On("rescan").rc, 0);
  ASSERT_EQ(m.On("ft edit define parity disk0/p1 disk1/p1 disk2/p1").rc, 0);
  ASSERT_EQ(m.On("ft verify parity0 --repair").rc, 0);
  std::vector<Part> parts;
  for (unsigned d = 0; d < 3; ++d) parts.push_back({m.Image(d), 63, 9000 + d});
  std::string volume = VolumeBytes("parity", parts);
  const std::string file = m.tmp.path + "/img";
  Save(file, volume = Random(volume.size(), 1));
  ASSERT_EQ(m.On("volume import parity0 " + file).rc, 0);
  unsigned seed = 2;
  for (uint64_t size :
       {uint64_t{1}, uint64_t{511}, uint64_t{512}, uint64_t{513}, uint64_t{1000}, 3 * K + 7}) {
    SCOPED_TRACE(size);
    const std::string image = Random(size, seed++);
    Save(file, image);
    if (size % 512 != 0) {
      EXPECT_TRUE(Fails(m.On("volume import parity0 - < " + file), std::to_string((size + 511) / 512 * 512)));
    }
    EXPECT_TRUE(VolumeBytes("parity", parts) == volume) << "a refused import writes nothing";
    Result r = m.On("volume import parity0 --pad - < " + file);
    ASSERT_EQ(r.rc, 0) << r.err;
    volume.replace(0, size, image);
    EXPECT_TRUE(VolumeBytes("parity", parts) == volume);
  }
  EXPECT_EQ(m.On("ft verify parity0").rc, 0) << "parity written with the data";
  EXPECT_EQ(SetState(m), "ok");
}

// A difference planted in each redundant type is found where it is, and repaired from
// the named side; a parity repair is refused while a member may be stale.
TEST_F(FtData, VerifyFindsAndRepairsPlantedMismatches) {
  CtlMachine m("--disk 16M --disk 16M --disk 16M");
  ASSERT_EQ(m.On("ft create parity --size 4M --disk 0 --disk 1 --disk 2").rc, 0);
  const auto start = SfdiskData(m.Image(1)).at(0).first;
  const std::string file = m.tmp.path + "/img";
  ASSERT_EQ(m.On("volume export parity0 " + file).rc, 0);
  Save(file, Random(ReadFile(file).size(), 3));
  Result r = m.On("volume import parity0 " + file);
  ASSERT_EQ(r.rc, 0) << r.err;
  // Row 5's stripe on member 1 changed under the set: its parity no longer matches.
  WriteAt(m.Image(1), start * 512 + 5 * K + 100, "X");
  r = m.On("ft verify parity0 --json");
  EXPECT_EQ(r.rc, 1);
  json v = json::parse(r.out, nullptr, false);
  EXPECT_EQ(v["mismatches"], 1u);
  EXPECT_EQ(v["first"][0]["volume_offset"], 5 * 2 * K);
  EXPECT_TRUE(Fails(m.On("ft verify parity0 --repair --from 1"), "--from", 2));
  ASSERT_EQ(m.On("ft edit member parity0 2 --state orphaned").rc, 0);
  EXPECT_TRUE(Fails(m.On("ft verify parity0 --repair"), "regenerate"));
  ASSERT_EQ(m.On("ft edit member parity0 2 --state healthy").rc, 0);
  EXPECT_EQ(m.On("ft verify parity0 --repair").rc, 0);
  EXPECT_EQ(m.On("ft verify parity0").rc, 0);

  ASSERT_EQ(m.On("ft delete parity0").rc, 0);
  ASSERT_EQ(m.On("create primary --disk 0 --size 4M").rc, 0);
  ASSERT_EQ(m.On("ft create mirror disk0/p1 --disk 1").rc, 0);
  const auto m0 = SfdiskData(m.Image(0)).at(0), m1 = SfdiskData(m.Image(1)).at(0);
  const std::string before = ReadAt(m.Image(0), m0.first * 512, m0.second * 512);
  WriteAt(m.Image(1), m1.first * 512 + 3 * 512, "Y");
  WriteAt(m.Image(1), m1.first * 512 + 4 * 512 + 9, "Z");
  r = m.On("ft verify mirror0 --json");
  v = json::parse(r.out, nullptr, false);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(v["mismatches"], 1u) << "two adjacent sectors are one range";
  EXPECT_EQ(v["first"][0]["volume_offset"], 3 * 512u);
  EXPECT_EQ(v["first"][0]["volume_end"], 5 * 512u);
  EXPECT_EQ(m.On("ft verify mirror0 --repair").rc, 0);
  EXPECT_TRUE(ReadAt(m.Image(1), m1.first * 512, m0.second * 512) == before);
}

// Loop devices: the members named by the loop device of their image and their start
// sector, a block device as the target of an export (refused when it is too small) and
// as the source of an import. Skipped where loop devices cannot be attached.
TEST_F(FtData, LoopDevicesAsTableMembersExportTargetsAndImportSources) {
  CtlMachine m("--disk 16M --disk 16M");
  for (unsigned d = 0; d < 2; ++d)
    ASSERT_TRUE(Sfdisk(m.Image(d), "label: dos\nstart=63, size=" + std::to_string(8000 + d) + ", type=7\n"));
  ASSERT_EQ(m.On("rescan").rc, 0);
  ASSERT_EQ(m.On("ft edit define stripe disk0/p1 disk1/p1").rc, 0);
  const std::string out = m.tmp.path + "/out", scratch = m.tmp.path + "/scratch",
                    small = m.tmp.path + "/small";
  ASSERT_EQ(m.On("volume export stripe0 " + out).rc, 0);
  const uint64_t length = ReadFile(out).size();
  Save(scratch, Random(length, 5));
  Save(small, std::string(length - 512, '\0'));
  std::vector<std::string> loops;
  struct Detach {
    std::vector<std::string>& loops;
    ~Detach() {
      for (const auto& l : loops) testutil::Run("losetup -d " + l);
    }
  } detach{loops};
  for (const std::string& file : {m.Image(0), m.Image(1), scratch, small}) {
    std::string dev;
    if (testutil::Run("losetup -f --show " + Quote(file) + " 2>/dev/null", &dev) != 0 || dev.empty())
      GTEST_SKIP() << "no loop device can be attached here";
    loops.push_back(dev.substr(0, dev.find('\n')));
  }
  Result r = m.On("volume dmtable stripe0");
  EXPECT_NE(r.out.find(" " + loops[0] + " 63 " + loops[1] + " 63\n"), std::string::npos) << r.out;
  EXPECT_TRUE(Fails(m.On("volume export stripe0 " + loops[3]), std::to_string(length)));
  EXPECT_TRUE(Fails(m.On("volume export stripe0 " + loops[0]), "disk 0 of this machine"));
  ASSERT_EQ(m.On("volume import stripe0 " + loops[2]).rc, 0);
  ASSERT_EQ(m.On("volume export stripe0 " + out).rc, 0);
  EXPECT_TRUE(ReadFile(out) == ReadFile(scratch));
  Save(out, Random(length, 6));
  ASSERT_EQ(m.On("volume import stripe0 " + out).rc, 0);
  ASSERT_EQ(m.On("volume export stripe0 " + loops[2]).rc, 0);
  EXPECT_TRUE(ReadFile(scratch) == ReadFile(out));
}

// Each request killed after each of its writes and flushes: the set is never shown
// healthy while its members disagree, check always has something to say, and its
// advice (or the same request again) ends with a consistent set and the right bytes.
TEST_F(FtData, KilledAtEveryWriteNeverHealthyWithWrongData) {
  CtlMachine base("--disk 16M --disk 16M --disk 16M");
  for (unsigned d = 0; d < 3; ++d)
    ASSERT_TRUE(
        Sfdisk(base.Image(d), "label: dos\nstart=63, size=4100, type=7\nstart=8000, size=6000, type=7\n"));
  for (const char* args : {"rescan", "ft edit define parity disk0/p1 disk1/p1 disk2/p1",
                           "ft edit define mirror disk0/p2 disk1/p2", "ft verify parity0 --repair",
                           "ft verify mirror0 --repair"})
    ASSERT_EQ(base.On(args).rc, 0) << args;
  json show = Json(base, "show");
  CtlMachine m("--disk 16M");
  const std::string image = base.tmp.path + "/img", out = base.tmp.path + "/out";
  struct Case {
    std::string set, request;
    bool keepsData;  // the request changes no volume byte
  };
  const Case cases[] = {{"parity0", "volume import parity0 " + image, false},
                        {"mirror0", "volume import mirror0 " + image, false},
                        {"parity0", "ft regenerate parity0 1", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    Save(image, Random(Length(show, c.set), 9));
    ASSERT_EQ(base.On("volume export " + c.set + " " + out).rc, 0);
    const std::string before = ReadFile(out);
    bool resumed = false;
    for (int k = 1; k < 200; ++k) {
      SCOPED_TRACE(k);
      ASSERT_EQ(testutil::Run("rm -rf " + Quote(m.dir) + " && cp -a --sparse=always " + Quote(base.dir) +
                              " " + Quote(m.dir)),
                0);
      Result r = m.On(c.request, "", "FTDISK_CRASH_AFTER_WRITES=" + std::to_string(k));
      if (r.rc == 0) break;
      ASSERT_EQ(r.rc, 86) << r.err;
      if (State(Json(m, "show"), c.set) == 4) {
        EXPECT_EQ(m.On("ft verify " + c.set).rc, 0) << "healthy with members that disagree";
      }
      EXPECT_EQ(m.On("check").rc, 1) << "an interrupted request is always reported";
      r = m.On(c.keepsData ? c.request : "ft regenerate " + c.set);
      resumed = resumed || r.err.find("resuming") != std::string::npos;
      if (!c.keepsData) r = m.On(c.request);
      ASSERT_EQ(r.rc, 0) << r.err;
      EXPECT_EQ(m.On("ft verify " + c.set).rc, 0);
      EXPECT_EQ(m.On("check").rc, 0) << m.On("check").out;
      ASSERT_EQ(m.On("volume export " + c.set + " " + out).rc, 0);
      EXPECT_TRUE(ReadFile(out) == (c.keepsData ? before : ReadFile(image)));
    }
    if (c.keepsData) {
      EXPECT_TRUE(resumed) << "a killed rebuild resumes where it stopped";
    }
    auto backups = [](const std::string& dir) {
      std::error_code ec;
      return std::distance(std::filesystem::directory_iterator(dir + "/backups", ec),
                           std::filesystem::directory_iterator());
    };
    EXPECT_EQ(backups(m.dir), backups(base.dir)) << "data passes are not backed up";
  }
}

}  // namespace
