// Disk safety end to end: a request ended at every write point, two machines on one
// image, read-only commands, and a loop device with a mounted file system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>

#include "ptable.h"
#include "testutil.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace testutil;

namespace {

std::string M(const std::string& dir) { return "-m " + Quote(dir) + " "; }

// The table as our own reader sees it: entries (start, size, type, active) and the
// table sectors; a chain cut short counts as a broken table.
struct Table {
  std::vector<std::tuple<uint64_t, uint64_t, int, bool>> data;
  std::vector<uint64_t> sectors;
  bool broken = false;
  bool operator==(const Table& o) const { return data == o.data && broken == o.broken; }
};

Table ReadTable(const std::string& image) {
  ntp::ptable::DiskShape shape;
  shape.sectors = fs::file_size(image) / 512;
  ntp::ptable::ReadResult r;
  ntp::ptable::Read(
      shape,
      [&](uint64_t lba, uint8_t* buf) {
        const std::string b = ReadAt(image, lba * 512, 512);
        std::copy(b.begin(), b.end(), buf);
        return b.size() == 512;
      },
      &r);
  Table t;
  for (const auto& e : r.entries)
    if (e.PartitionType != PARTITION_ENTRY_UNUSED)
      t.data.emplace_back(uint64_t(e.StartingOffset.QuadPart) / 512,
                          uint64_t(e.PartitionLength.QuadPart) / 512, e.PartitionType, e.BootIndicator != 0);
  std::sort(t.data.begin(), t.data.end());
  t.sectors = r.tableSectors;
  t.broken = !r.warnings.empty();
  return t;
}

std::vector<std::pair<uint64_t, uint64_t>> Extents(const Table& t) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const auto& [start, size, type, active] : t.data)
    if (ntp::ptable::IsData(uint8_t(type))) out.push_back({start, size});
  return out;
}

// A copy of machine directory from at to, replacing what was there.
void Copy(const std::string& from, const std::string& to) {
  fs::remove_all(to);
  ASSERT_EQ(testutil::Run("cp -a --sparse=always " + Quote(from) + " " + Quote(to)), 0);
}

json Backups(const std::string& dir) {
  json j = json::parse(ReadAt(dir + "/backups/index.json", 0, 1 << 20), nullptr, false);
  return j.is_object() ? j["backups"] : json::array();
}

TEST(CliCrash, EveryWritePointLeavesTheOldOrTheNewTableAndABackup) {
  TempDir t;
  // base: a primary, an extended partition with four logical drives, room after them,
  // data in every partition. holed: the same without the second logical drive.
  // bare: a primary and an empty extended partition.
  const std::string base = t.path + "/base", holed = t.path + "/holed", bare = t.path + "/bare";
  ASSERT_EQ(Ctl("init " + Quote(base) + " --disk 128M").rc, 0);
  for (const char* req : {"create primary --disk 0 --size 8M", "create extended --disk 0 --size 80M"})
    ASSERT_EQ(Ctl(M(base) + req).rc, 0) << req;
  Copy(base, bare);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(Ctl(M(base) + "create logical --disk 0 --size 8M").rc, 0);
  const std::string img = "/disks/disk0.img";
  for (const auto& [start, size, type, active] : ReadTable(base + img).data)
    WriteAt(base + img, start * 512 + 4096, std::string(64 * 1024, char(start)));
  Copy(base, holed);
  ASSERT_EQ(Ctl(M(holed) + "delete disk0/p6").rc, 0);
  const json shown = json::parse(Ctl(M(holed) + "show --json").out, nullptr, false);
  std::pair<uint64_t, uint64_t> hole{0, 0};  // the first free region in the extended partition
  for (const auto& r : shown["disks"][0]["regions"])
    if (r["kind"] == "extended")
      for (const auto& in : r["regions"])
        if (in["kind"] == "free" && hole.first == 0) hole = {in["offset"], in["length"]};
  ASSERT_NE(hole.first, 0u);

  const std::pair<std::string, std::string> cases[] = {
      {base, "create primary --disk 0 --size 8M"},
      {base, "create logical --disk 0 --size 8M"},
      {holed, "create logical --disk 0 --size " + std::to_string(hole.second) + " --offset " +
                  std::to_string(hole.first)},
      {base, "delete disk0/p5"},
      {base, "delete disk0/p6"},
      {base, "delete disk0/p8"},
      {bare, "delete extended --disk 0"},
      {base, "active disk0/p1"},
  };
  for (const auto& [from, request] : cases) {
    SCOPED_TRACE(request);
    const Table before = ReadTable(from + img);
    std::map<std::pair<uint64_t, uint64_t>, std::string> data;  // of every partition
    for (const auto& e : Extents(before)) data[e] = ReadAt(from + img, e.first * 512, e.second * 512);
    const size_t backupsBefore = Backups(from).size();
    // The request run whole gives the new table.
    const std::string whole = t.path + "/whole";
    Copy(from, whole);
    ASSERT_EQ(Ctl(M(whole) + request).rc, 0);
    const Table after = ReadTable(whole + img);
    ASSERT_FALSE(after == before);

    for (int k = 1;; ++k) {
      SCOPED_TRACE("ended at write point " + std::to_string(k));
      const std::string dir = t.path + "/k";
      Copy(from, dir);
      Result r = Ctl(M(dir) + request, "", "FTDISK_CRASH_AFTER_WRITES=" + std::to_string(k));
      ASSERT_TRUE(r.rc == 86 || r.rc == 0) << r.rc << r.err;
      const Table now = ReadTable(dir + img);
      EXPECT_TRUE(now == before || now == after) << "an inconsistent table";
      const auto sf = SfdiskData(dir + img);
      EXPECT_TRUE(sf == Extents(before) || sf == Extents(after)) << "sfdisk sees another table";
      for (const auto& e : Extents(after))
        if (data.count(e)) {
          EXPECT_TRUE(ReadAt(dir + img, e.first * 512, e.second * 512) == data[e]) << "data lost";
        }
      // Every table sector that changed is in a backup holding its old contents.
      json backups = Backups(dir);
      for (uint64_t lba : before.sectors) {
        const auto old = ReadAt(from + img, lba * 512, 512);
        if (ReadAt(dir + img, lba * 512, 512) == old) continue;
        ASSERT_GT(backups.size(), backupsBefore) << "sector " << lba << " changed without a backup";
        const json& b = backups.back();
        auto at = std::find(b["sectors"].begin(), b["sectors"].end(), lba);
        ASSERT_NE(at, b["sectors"].end()) << "sector " << lba << " is not in the backup";
        auto saved = ReadAt(dir + "/backups/" + b["file"].get<std::string>(),
                            uint64_t(at - b["sectors"].begin()) * 512, 512);
        EXPECT_TRUE(saved == old) << "the backup of sector " << lba << " is not its old contents";
      }
      EXPECT_EQ(Ctl(M(dir) + "show").rc, 0);
      // A rescan brings the stored configuration in line with the disk.
      EXPECT_EQ(Ctl(M(dir) + "rescan").rc, 0);
      json reg = json::parse(Ctl(M(dir) + "registry show --json").out, nullptr, false);
      std::vector<std::pair<uint64_t, uint64_t>> stored;
      for (const auto& p : reg["information"]["disks"][0]["partitions"])
        stored.push_back({p["offset"].get<uint64_t>() / 512, p["length"].get<uint64_t>() / 512});
      std::sort(stored.begin(), stored.end());
      EXPECT_EQ(stored, Extents(now));
      if (r.rc == 0) break;
      ASSERT_LT(k, 64) << "the request never finished";
    }
  }
}

// ftdiskctl started on a machine without waiting for it.
std::future<Result> Start(const CtlMachine& m, const std::string& args) {
  return std::async(std::launch::async, [&m, args] { return m.On(args); });
}

TEST(CliDiskLock, TwoMachinesOnOneImageLoseNoUpdateAndReadersShare) {
  CtlMachine a("--disk 128M"), b("--disk 16M");
  const std::string image = a.Image(0), alias = a.tmp.path + "/alias.img";
  ASSERT_EQ(b.On("attach " + Quote(image)).rc, 0);
  // The same image again, also by another name, is refused and named.
  fs::create_symlink(image, alias);
  for (const std::string& again : {image, alias})
    EXPECT_TRUE(Fails(b.On("attach " + Quote(again)), "already disk 1"));
  ASSERT_EQ(a.On("create extended --disk 0 --size 100M").rc, 0);

  // Both machines add logical drives at the same time.
  std::vector<std::future<Result>> runs;
  for (int i = 0; i < 3; ++i) {
    runs.push_back(Start(a, "create logical --disk 0 --size 8M"));
    runs.push_back(Start(b, "create logical --disk 1 --size 8M"));
  }
  for (auto& r : runs) EXPECT_EQ(r.get().rc, 0);
  EXPECT_EQ(SfdiskData(image).size(), 6u) << "an update was lost";

  // Readers share the image; a writer waits, or with --no-wait names the disk.
  int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);
  EXPECT_EQ(b.On("--no-wait show").rc, 0);
  EXPECT_TRUE(Fails(b.On("--no-wait create logical --disk 1 --size 8M"), "disk 1"));
  auto create = Start(a, "create logical --disk 0 --size 8M");
  close(fd);
  EXPECT_EQ(create.get().rc, 0);
  EXPECT_EQ(SfdiskData(image).size(), 7u);
}

// A restore puts back only what its request wrote; a later change makes it refuse
// unless forced, and the forced restore saves what it overwrites.
TEST(CliBackups, RestoreRefusesSectorsChangedSinceTheBackup) {
  CtlMachine m("--disk 64M");
  const std::string img = m.Image(0);
  ASSERT_EQ(m.On("create primary --disk 0 --size 8M").rc, 0);
  const std::string first = Backups(m.dir).back()["name"];
  ASSERT_EQ(m.On("create primary --disk 0 --size 8M").rc, 0);
  EXPECT_TRUE(Fails(m.On("restore " + first), "--force"));
  EXPECT_EQ(SfdiskData(img).size(), 2u);
  const size_t count = Backups(m.dir).size();
  EXPECT_EQ(m.On("restore --force " + first).rc, 0);
  EXPECT_EQ(SfdiskData(img).size(), 0u);
  EXPECT_EQ(Backups(m.dir).size(), count + 1);
  // The newest backup (of the restore) still matches the disk: it can be undone.
  EXPECT_EQ(m.On("restore " + Backups(m.dir).back()["name"].get<std::string>()).rc, 0);
  EXPECT_EQ(SfdiskData(img).size(), 2u);
  // A damaged backup is refused and changes nothing.
  fs::resize_file(m.dir + "/backups/" + Backups(m.dir).back()["file"].get<std::string>(), 100);
  EXPECT_TRUE(Fails(m.On("restore " + Backups(m.dir).back()["name"].get<std::string>()), "wrong size"));
  EXPECT_EQ(SfdiskData(img).size(), 2u);
  // A backup that cannot be saved stops the request before the disk is touched.
  const auto table = ReadAt(img, 0, 512);
  fs::remove_all(m.dir + "/backups");
  std::ofstream(m.dir + "/backups") << "a file where the directory belongs";
  EXPECT_TRUE(Fails(m.On("create primary --disk 0 --size 8M"), "backup"));
  EXPECT_TRUE(ReadAt(img, 0, 512) == table);
}

// A damaged disk is named by show (exit 1) beside the rest of the machine, and a write
// to it is refused with the damage, changing nothing. A write-protected one is only
// marked read-only by show, which writes nothing itself.
TEST(CliDamage, DamagedDisksAreNamedAndRefuseWrites) {
  CtlMachine m;
  const std::string image = m.Image(1);
  ASSERT_EQ(m.On("create primary --disk 1 --size 30M").rc, 0);
  struct Damage {
    const char* what;
    std::string prepare, undo, reason;
  } damages[] = {
      {"truncated", "truncate -s 20M " + Quote(image), "truncate -s 32M " + Quote(image),
       "disk 1 is shorter than its partition table"},
      {"immutable", "chattr +i " + Quote(image) + " 2>/dev/null", "chattr -i " + Quote(image),
       "disk 1 is write-protected"},
      {"missing", "mv " + Quote(image) + " " + Quote(image + ".away"),
       "mv " + Quote(image + ".away") + " " + Quote(image), "disk 1 is missing"},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    if (testutil::Run(d.prepare) != 0) continue;  // chattr needs a file system that has the flag
    Result show = m.On("show");
    const bool marked = std::string(d.what) == "immutable";  // marked read-only, not damage
    EXPECT_TRUE(marked ? show.rc == 0 && show.out.find("read-only: " + d.reason) != std::string::npos
                       : bool(Fails(show, d.reason)))
        << show.out << show.err;
    EXPECT_NE(show.out.find("disk0"), std::string::npos) << "the rest of the machine boots";
    Result del = m.On("delete disk1/p1");
    EXPECT_EQ(del.rc, 1);
    if (std::string(d.what) != "missing") {
      EXPECT_NE(del.err.find(d.reason), std::string::npos) << del.err;
    }
    // An FT set with a member there names the damage, not a lack of free space, and
    // makes nothing on the sound disk either.
    Result ft = m.On("ft create stripe --disk 0 --disk 1 --size 8M");
    EXPECT_EQ(ft.rc, 1);
    if (std::string(d.what) != "missing") {
      EXPECT_NE(ft.err.find(d.reason), std::string::npos) << ft.err;
    }
    EXPECT_TRUE(SfdiskData(m.Image(0)).empty()) << "disk 0 was written";
    EXPECT_EQ(m.On("create primary --disk 0 --size 8M").rc, 0) << "the sound disk takes requests";
    EXPECT_EQ(m.On("delete disk0/p1").rc, 0);
    ASSERT_EQ(testutil::Run(d.undo), 0);
    EXPECT_EQ(SfdiskData(image).size(), 1u) << "the damaged disk was written";
  }
  EXPECT_EQ(m.On("show").rc, 0);
}

// A loop device: the kernel learns of created partitions, a mounted or held one is
// never deleted, a write-protected device is named.
TEST(CliBlockDevice, KernelSeesPartitionsAndMountedOnesStay) {
  if (geteuid() != 0 || testutil::Run("command -v losetup mkfs.ext2 blockdev >/dev/null") != 0)
    GTEST_SKIP() << "needs root, losetup, mkfs.ext2 and blockdev";
  CtlMachine m("--disk 16M");
  const std::string image = m.tmp.path + "/loop.img", mnt = m.tmp.path + "/mnt";
  { std::ofstream(image).put('\0'); }
  fs::resize_file(image, 128 * MiB);
  std::string dev;
  if (testutil::Run("losetup -fP --show " + Quote(image), &dev) != 0 || dev.empty())
    GTEST_SKIP() << "no loop device";
  dev.erase(dev.find_last_not_of("\n") + 1);
  struct Detach {
    std::string dev, mnt;
    ~Detach() {
      testutil::Run("umount " + Quote(mnt) + " 2>/dev/null");
      testutil::Run("losetup -d " + Quote(dev));
    }
  } detach{dev, mnt};
  const std::string name = fs::path(dev).filename().string();
  auto kernelHas = [&](const std::string& part) {
    std::ifstream f("/proc/partitions");
    for (std::string w; f >> w;)
      if (w == part) return true;
    return false;
  };
  ASSERT_EQ(m.On("attach --write-signature " + Quote(dev)).rc, 0);
  ASSERT_EQ(m.On("create primary --disk 1 --size 16M").rc, 0);
  EXPECT_TRUE(kernelHas(name + "p1"));

  fs::create_directories(mnt);
  ASSERT_EQ(testutil::Run("mkfs.ext2 -q " + Quote(dev + "p1") + " && mount " + Quote(dev + "p1") + " " +
                          Quote(mnt)),
            0);
  // Another partition can be made beside the mounted one; the kernel is told one by one.
  ASSERT_EQ(m.On("create primary --disk 1 --size 16M").rc, 0);
  EXPECT_TRUE(kernelHas(name + "p2"));
  const auto table = ReadAt(image, 0, 512);
  EXPECT_TRUE(Fails(m.On("delete disk1/p1"), "mounted on " + mnt));
  EXPECT_TRUE(ReadAt(image, 0, 512) == table) << "the table changed under a mounted file system";
  {
    // A partition another program holds open is left alone too.
    int held = open((dev + "p2").c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(held, 0);
    Result r = m.On("delete disk1/p2");
    close(held);
    EXPECT_TRUE(Fails(r, "held open"));
  }
  EXPECT_EQ(m.On("delete disk1/p2").rc, 0);
  EXPECT_FALSE(kernelHas(name + "p2"));
  EXPECT_TRUE(kernelHas(name + "p1"));
  // Slot 1 goes under a mounted slot 3: its device name, PARTUUID and data stay.
  testutil::Run("umount " + Quote(mnt));
  for (int i = 0; i < 2; ++i) ASSERT_EQ(m.On("create primary --disk 1 --size 16M").rc, 0);
  const std::string p3 = dev + "p3";
  ASSERT_EQ(testutil::Run("mkfs.ext2 -q " + Quote(p3) + " && mount " + Quote(p3) + " " + Quote(mnt) +
                          " && echo kept > " + Quote(mnt + "/file")),
            0);
  auto probe = [&] {  // PARTUUID, the mounted device and the data
    std::string o;
    testutil::Run("blkid -p -s PART_ENTRY_UUID -o value " + Quote(p3) + "; findmnt -n -o SOURCE " +
                      Quote(mnt) + "; cat " + Quote(mnt + "/file"),
                  &o);
    return o;
  };
  const std::string before = probe();
  EXPECT_NE(before.find("-03\n" + p3 + "\nkept\n"), std::string::npos) << before;
  EXPECT_EQ(m.On("delete disk1/p1").rc, 0);
  EXPECT_FALSE(kernelHas(name + "p1"));
  EXPECT_EQ(probe(), before);
  // A logical drive in use is never renumbered: the one before it stays.
  testutil::Run("umount " + Quote(mnt));
  for (std::string req :
       {"create extended --disk 1 --size max --offset " + std::to_string(6 * 255 * 63 * 512),
        std::string("create logical --disk 1 --size 7M"), std::string("create logical --disk 1 --size max")})
    ASSERT_EQ(m.On(req).rc, 0) << req;
  ASSERT_EQ(testutil::Run("mkfs.ext2 -q " + Quote(dev + "p6") + " && mount " + Quote(dev + "p6") + " " +
                          Quote(mnt)),
            0);
  EXPECT_TRUE(Fails(m.On("delete disk1/p5"), "mounted on " + mnt));
  testutil::Run("umount " + Quote(mnt));
  EXPECT_EQ(m.On("delete disk1/p5").rc, 0);
  EXPECT_TRUE(kernelHas(name + "p5") && !kernelHas(name + "p6")) << "the drive after it is p5 now";

  // A write-protected device refuses writes and is named by show beside the rest.
  testutil::Run("umount " + Quote(mnt));
  ASSERT_EQ(testutil::Run("blockdev --setro " + Quote(dev)), 0);
  EXPECT_TRUE(Fails(m.On("create primary --disk 1 --size 8M"), "disk 1 is write-protected"));
  EXPECT_NE(m.On("show").out.find("read-only: disk 1 is write-protected"), std::string::npos);
  testutil::Run("blockdev --setrw " + Quote(dev));
}

}  // namespace
