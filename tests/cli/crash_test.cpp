// Disk safety end to end: a request ended at every write point, two machines on one
// image, read-only commands, and a loop device with a mounted file system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "ptable.h"
#include "testutil.h"

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;
using testutil::Ctl;
using testutil::MiB;
using testutil::Quote;
using testutil::Result;
using testutil::SfdiskData;
using testutil::TempDir;

namespace {

std::string M(const std::string& dir) { return "-m " + Quote(dir) + " "; }

std::vector<uint8_t> ReadAt(const std::string& file, uint64_t offset, size_t bytes) {
  std::vector<uint8_t> b(bytes);
  int fd = open(file.c_str(), O_RDONLY);
  if (fd < 0 || pread(fd, b.data(), bytes, off_t(offset)) != ssize_t(bytes)) b.clear();
  if (fd >= 0) close(fd);
  return b;
}

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
        auto b = ReadAt(image, lba * 512, 512);
        if (b.empty()) return false;
        std::copy(b.begin(), b.end(), buf);
        return true;
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

size_t PartHash(const std::string& image, uint64_t start, uint64_t size) {
  auto b = ReadAt(image, start * 512, size_t(size * 512));
  return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}

// A copy of machine directory from at to, replacing what was there.
void Copy(const std::string& from, const std::string& to) {
  fs::remove_all(to);
  ASSERT_EQ(testutil::Run("cp -a --sparse=always " + Quote(from) + " " + Quote(to)), 0);
}

json Backups(const std::string& dir) {
  std::ifstream f(dir + "/backups/index.json");
  json j = f ? json::parse(f, nullptr, false) : json();
  return j.is_object() ? j["backups"] : json::array();
}

// The offset and length of the first free region inside the extended partition.
std::pair<uint64_t, uint64_t> FreeInExtended(const std::string& dir) {
  json j = json::parse(Ctl(M(dir) + "show --json").out, nullptr, false);
  for (const auto& r : j["disks"][0]["regions"])
    if (r["kind"] == "extended")
      for (const auto& in : r["regions"])
        if (in["kind"] == "free") return {in["offset"], in["length"]};
  return {0, 0};
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
  for (const auto& [start, size, type, active] : ReadTable(base + img).data) {
    std::string fill(64 * 1024, char(start));
    std::fstream f(base + img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff(start * 512 + 4096));
    f.write(fill.data(), std::streamsize(fill.size()));
  }
  Copy(base, holed);
  ASSERT_EQ(Ctl(M(holed) + "delete disk0/p3").rc, 0);
  const auto hole = FreeInExtended(holed);
  ASSERT_NE(hole.first, 0u);

  struct Case {
    std::string from, request;
  } cases[] = {
      {base, "create primary --disk 0 --size 8M"},
      {base, "create logical --disk 0 --size 8M"},
      {holed, "create logical --disk 0 --size " + std::to_string(hole.second) + " --offset " +
                  std::to_string(hole.first)},
      {base, "delete disk0/p2"},
      {base, "delete disk0/p3"},
      {base, "delete disk0/p5"},
      {bare, "delete extended --disk 0"},
      {base, "active disk0/p1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    const Table before = ReadTable(c.from + img);
    std::map<std::pair<uint64_t, uint64_t>, size_t> hashes;
    for (const auto& e : Extents(before)) hashes[e] = PartHash(c.from + img, e.first, e.second);
    const size_t backupsBefore = Backups(c.from).size();
    // The request run whole gives the new table.
    const std::string whole = t.path + "/whole";
    Copy(c.from, whole);
    ASSERT_EQ(Ctl(M(whole) + c.request).rc, 0);
    const Table after = ReadTable(whole + img);
    ASSERT_FALSE(after == before);

    for (int k = 1;; ++k) {
      SCOPED_TRACE("ended at write point " + std::to_string(k));
      const std::string dir = t.path + "/k";
      Copy(c.from, dir);
      Result r = Ctl(M(dir) + c.request, "", "FTDISK_CRASH_AFTER_WRITES=" + std::to_string(k));
      ASSERT_TRUE(r.rc == 86 || r.rc == 0) << r.rc << r.err;
      const Table now = ReadTable(dir + img);
      EXPECT_TRUE(now == before || now == after) << "an inconsistent table";
      const auto sf = SfdiskData(dir + img);
      EXPECT_TRUE(sf == Extents(before) || sf == Extents(after)) << "sfdisk sees another table";
      for (const auto& e : Extents(after))
        if (hashes.count(e)) {
          EXPECT_EQ(PartHash(dir + img, e.first, e.second), hashes[e]) << "data lost";
        }
      // Every table sector that changed is in a backup holding its old contents.
      json backups = Backups(dir);
      for (uint64_t lba : before.sectors) {
        const auto old = ReadAt(c.from + img, lba * 512, 512);
        if (ReadAt(dir + img, lba * 512, 512) == old) continue;
        ASSERT_GT(backups.size(), backupsBefore) << "sector " << lba << " changed without a backup";
        const json& b = backups.back();
        auto at = std::find(b["sectors"].begin(), b["sectors"].end(), lba);
        ASSERT_NE(at, b["sectors"].end()) << "sector " << lba << " is not in the backup";
        auto saved = ReadAt(dir + "/backups/" + b["file"].get<std::string>(),
                            uint64_t(at - b["sectors"].begin()) * 512, 512);
        EXPECT_TRUE(saved == old) << "the backup of sector " << lba << " is not its old contents";
      }
      Result show = Ctl(M(dir) + "show");
      EXPECT_EQ(show.rc, 0) << show.err;
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

// Starts ftdiskctl without waiting for it; returns its pid.
pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<std::string> words = {FTDISKCTL_PATH};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  setenv("FTDISK_MODULE", FTDISK_MODULE_PATH, 1);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  posix_spawn(&pid, FTDISKCTL_PATH, &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CliDiskLock, TwoMachinesOnOneImageLoseNoUpdateAndReadersShare) {
  TempDir t;
  const std::string a = t.path + "/a", b = t.path + "/b";
  ASSERT_EQ(Ctl("init " + Quote(a) + " --disk 128M").rc, 0);
  ASSERT_EQ(Ctl("init " + Quote(b) + " --disk 16M").rc, 0);
  const std::string image = a + "/disks/disk0.img";
  ASSERT_EQ(Ctl(M(b) + "attach " + Quote(image)).rc, 0);
  // The same image again, also by another name, is refused and named.
  fs::create_symlink(image, t.path + "/alias.img");
  for (const std::string& again : {image, t.path + "/alias.img"}) {
    Result r = Ctl(M(b) + "attach " + Quote(again));
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("already disk 1"), std::string::npos) << r.err;
  }
  ASSERT_EQ(Ctl(M(a) + "create extended --disk 0 --size 100M").rc, 0);

  // Both machines add logical drives at the same time.
  std::vector<pid_t> pids;
  for (int i = 0; i < 3; ++i) {
    pids.push_back(Spawn({"-m", a, "create", "logical", "--disk", "0", "--size", "8M"}));
    pids.push_back(Spawn({"-m", b, "create", "logical", "--disk", "1", "--size", "8M"}));
  }
  for (pid_t p : pids) EXPECT_EQ(Wait(p), 0);
  EXPECT_EQ(SfdiskData(image).size(), 6u) << "an update was lost";

  // Readers share the image; a writer waits, or with --no-wait names the disk.
  int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);
  EXPECT_EQ(Ctl(M(b) + "--no-wait show").rc, 0);
  Result busy = Ctl(M(b) + "--no-wait create logical --disk 1 --size 8M");
  EXPECT_EQ(busy.rc, 1);
  EXPECT_NE(busy.err.find("disk 1"), std::string::npos) << busy.err;
  pid_t create = Spawn({"-m", a, "create", "logical", "--disk", "0", "--size", "8M"});
  close(fd);
  EXPECT_EQ(Wait(create), 0);
  EXPECT_EQ(SfdiskData(image).size(), 7u);
}

// A restore puts back only what its request wrote; a later change makes it refuse
// unless forced, and the forced restore saves what it overwrites.
TEST(CliBackups, RestoreRefusesSectorsChangedSinceTheBackup) {
  TempDir t;
  const std::string m = t.path + "/m";
  ASSERT_EQ(Ctl("init " + Quote(m) + " --disk 64M").rc, 0);
  ASSERT_EQ(Ctl(M(m) + "create primary --disk 0 --size 8M").rc, 0);
  const std::string first = Backups(m).back()["name"];
  ASSERT_EQ(Ctl(M(m) + "create primary --disk 0 --size 8M").rc, 0);
  Result r = Ctl(M(m) + "restore " + first);
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
  EXPECT_EQ(SfdiskData(m + "/disks/disk0.img").size(), 2u);
  const size_t count = Backups(m).size();
  EXPECT_EQ(Ctl(M(m) + "restore --force " + first).rc, 0);
  EXPECT_EQ(SfdiskData(m + "/disks/disk0.img").size(), 0u);
  EXPECT_EQ(Backups(m).size(), count + 1);
  // The newest backup (of the restore) still matches the disk: it can be undone.
  EXPECT_EQ(Ctl(M(m) + "restore " + Backups(m).back()["name"].get<std::string>()).rc, 0);
  EXPECT_EQ(SfdiskData(m + "/disks/disk0.img").size(), 2u);
  // A damaged backup is refused and changes nothing.
  fs::resize_file(m + "/backups/" + Backups(m).back()["file"].get<std::string>(), 100);
  r = Ctl(M(m) + "restore " + Backups(m).back()["name"].get<std::string>());
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("wrong size"), std::string::npos) << r.err;
  EXPECT_EQ(SfdiskData(m + "/disks/disk0.img").size(), 2u);
  // A backup that cannot be saved stops the request before the disk is touched.
  const auto table = ReadAt(m + "/disks/disk0.img", 0, 512);
  fs::remove_all(m + "/backups");
  std::ofstream(m + "/backups") << "a file where the directory belongs";
  r = Ctl(M(m) + "create primary --disk 0 --size 8M");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("backup"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadAt(m + "/disks/disk0.img", 0, 512) == table);
}

// A damaged disk is named by show (exit 1) beside the rest of the machine, and a write
// to it is refused with the damage, changing nothing.
TEST(CliDamage, DamagedDisksAreNamedAndRefuseWrites) {
  TempDir t;
  const std::string m = t.path + "/m", image = m + "/disks/disk1.img";
  ASSERT_EQ(Ctl("init " + Quote(m) + " --disk 32M --disk 32M").rc, 0);
  ASSERT_EQ(Ctl(M(m) + "create primary --disk 1 --size 30M").rc, 0);
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
    Result show = Ctl(M(m) + "show");
    EXPECT_EQ(show.rc, 1);
    EXPECT_NE(show.err.find(d.reason), std::string::npos) << show.err;
    EXPECT_NE(show.out.find("disk0"), std::string::npos) << "the rest of the machine boots";
    Result del = Ctl(M(m) + "delete disk1/p1");
    EXPECT_EQ(del.rc, 1);
    if (std::string(d.what) != "missing") {
      EXPECT_NE(del.err.find(d.reason), std::string::npos) << del.err;
    }
    EXPECT_EQ(Ctl(M(m) + "create primary --disk 0 --size 8M").rc, 0) << "the sound disk takes requests";
    EXPECT_EQ(Ctl(M(m) + "delete disk0/p1").rc, 0);
    ASSERT_EQ(testutil::Run(d.undo), 0);
    EXPECT_EQ(SfdiskData(image).size(), 1u) << "the damaged disk was written";
  }
  EXPECT_EQ(Ctl(M(m) + "show").rc, 0);
}

// A loop device: the kernel learns of created partitions, a mounted or held one is
// never deleted, a write-protected device is named.
TEST(CliBlockDevice, KernelSeesPartitionsAndMountedOnesStay) {
  if (geteuid() != 0 || testutil::Run("command -v losetup mkfs.ext2 blockdev >/dev/null") != 0)
    GTEST_SKIP() << "needs root, losetup, mkfs.ext2 and blockdev";
  TempDir t;
  const std::string m = t.path + "/m", image = t.path + "/loop.img", mnt = t.path + "/mnt";
  { std::ofstream(image).put('\0'); }
  fs::resize_file(image, 64 * MiB);
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
  ASSERT_EQ(Ctl("init " + Quote(m) + " --disk 16M").rc, 0);
  ASSERT_EQ(Ctl(M(m) + "attach " + Quote(dev)).rc, 0);
  ASSERT_EQ(Ctl(M(m) + "create primary --disk 1 --size 16M").rc, 0);
  EXPECT_TRUE(kernelHas(name + "p1"));

  fs::create_directories(mnt);
  ASSERT_EQ(testutil::Run("mkfs.ext2 -q " + Quote(dev + "p1") + " && mount " + Quote(dev + "p1") + " " +
                          Quote(mnt)),
            0);
  // Another partition can be made beside the mounted one; the kernel is told one by one.
  ASSERT_EQ(Ctl(M(m) + "create primary --disk 1 --size 16M").rc, 0);
  EXPECT_TRUE(kernelHas(name + "p2"));
  const auto table = ReadAt(image, 0, 512);
  Result r = Ctl(M(m) + "delete disk1/p1");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("mounted on " + mnt), std::string::npos) << r.err;
  EXPECT_TRUE(ReadAt(image, 0, 512) == table) << "the table changed under a mounted file system";
  {
    // A partition another program holds open is left alone too.
    int held = open((dev + "p2").c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(held, 0);
    r = Ctl(M(m) + "delete disk1/p2");
    close(held);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("held open"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Ctl(M(m) + "delete disk1/p2").rc, 0);
  EXPECT_FALSE(kernelHas(name + "p2"));
  EXPECT_TRUE(kernelHas(name + "p1"));
  // A write-protected device refuses writes and is named by show beside the rest.
  testutil::Run("umount " + Quote(mnt));
  ASSERT_EQ(testutil::Run("blockdev --setro " + Quote(dev)), 0);
  r = Ctl(M(m) + "create primary --disk 1 --size 8M");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("disk 1 is write-protected"), std::string::npos) << r.err;
  r = Ctl(M(m) + "show");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("disk 1 is write-protected"), std::string::npos) << r.err;
  testutil::Run("blockdev --setrw " + Quote(dev));
}

}  // namespace
