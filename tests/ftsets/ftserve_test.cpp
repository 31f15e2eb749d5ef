// FT volumes served over NBD by `ftdiskctl volume serve` (nbdkit and the project's
// plugin), checked with libnbd's tools on every type: the size and bytes clients see
// are export's, writes at any offset land where export reads them (degraded too, and
// from a server killed before its flush, once regenerated), a file system mounted
// through nbdfuse comes out clean, and --read-only refuses writes and keeps writers out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "testutil.h"

namespace {

using namespace testutil;
int Sh(const std::string& command, std::string* out = nullptr) { return testutil::Run(command, out); }
const std::string kNbdsh = "PATH=/usr/bin:$PATH nbdsh";  // libnbd's module is the system python3's

std::string Random(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(g());
  return s;
}

// `ftdiskctl volume serve SET --socket` in the background, until Stop (or destruction).
struct Server {
  std::string socket, log;
  pid_t pid;
  Server(const CtlMachine& m, const std::string& set, bool readOnly = false)
      : socket(m.tmp.path + "/nbd.sock"), log(m.tmp.path + "/serve.log") {
    std::filesystem::remove(socket);
    if ((pid = fork()) == 0) {
      setenv("FTDISK_MODULE", FTDISK_MODULE_PATH, 1);
#ifdef FTDISK_ASAN_RUNTIME
      // The sanitizers' runtime first, for the plugin; nbdkit's own leaks are not ours.
      setenv("LD_PRELOAD", FTDISK_ASAN_RUNTIME, 1);
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
#endif
      if (freopen(log.c_str(), "w", stderr) != nullptr)
        execl(FTDISKCTL_PATH, "ftdiskctl", "-m", m.dir.c_str(), "volume", "serve", set.c_str(), "--socket",
              socket.c_str(), readOnly ? "--read-only" : nullptr, nullptr);
      _exit(127);
    }
    for (int i = 0, st; i < 200 && !Up() && waitpid(pid, &st, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~Server() { Stop(SIGKILL); }
  bool Up() const { return std::filesystem::exists(socket); }
  std::string Uri() const { return Quote("nbd+unix:///?socket=" + socket); }
  int Stop(int sig = SIGTERM) {  // exit status, 128 + the signal when killed
    int st = 0;
    if (pid > 0 && kill(pid, sig) == 0) waitpid(pid, &st, 0);
    pid = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
};

// Writes pieces of payload at volume offsets through nbdsh (and into model): aligned or
// not, within a stripe and across rows, the volume's last bytes too; flushed if asked.
struct Write {
  uint64_t offset, length;
};
int NbdWrite(const Server& s, const std::string& dir, const std::vector<Write>& writes, std::string* model,
             bool flush) {
  const std::string payload = Random(300000, 2);
  std::ofstream(dir + "/payload", std::ios::binary) << payload;
  std::string py = "d = open('" + dir + "/payload', 'rb').read()\n";
  for (const auto& w : writes) {
    py += "h.pwrite(d[:" + std::to_string(w.length) + "], " + std::to_string(w.offset) + ")\n";
    if (model) model->replace(w.offset, w.length, payload.substr(0, w.length));
  }
  std::ofstream(dir + "/w.py") << py << (flush ? "h.flush()\n" : "");
  return Sh(kNbdsh + " -u " + s.Uri() + " -c \"exec(open('" + dir + "/w.py').read())\" >/dev/null 2>&1");
}
std::vector<Write> RandomWrites(uint64_t size) {
  std::mt19937_64 g(3);
  std::vector<Write> w = {{size - 700, 700}};
  for (int i = 0; i < 24; ++i) {
    const uint64_t len = 1 + g() % (i % 3 == 0 ? 300000 : 5000);
    w.push_back({g() % (size - len), len});
  }
  return w;
}

class FtServe : public testing::Test {
 protected:
  void SetUp() override {
    if (Sh("command -v nbdkit nbdinfo nbdcopy >/dev/null && " + kNbdsh + " -c pass >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "nbdkit, nbdinfo, nbdcopy or nbdsh (libnbd-bin, python3-libnbd) missing";
  }
  CtlMachine m{"--disk 16M --disk 16M --disk 16M"};
  std::string Export(const std::string& set) {
    EXPECT_EQ(m.On("volume export " + set + " " + m.tmp.path + "/export").rc, 0);
    return ReadFile(m.tmp.path + "/export");
  }
  std::string Show(const std::string& set, const char* key = "state_text") {
    const auto show = nlohmann::json::parse(m.On("show --json").out);
    for (const auto& v : show["volumes"])
      if (v.value("name", "") == set) return v[key].dump();
    return "";
  }
  void Make(const std::string& type) {
    ASSERT_EQ(type == "mirror" ? m.On("create primary --disk 0 --size 5M").rc : 0, 0);
    Result r = m.On(type == "mirror" ? "ft create mirror disk0/p1 --disk 1"
                                     : "ft create " + type + " --size 5M --disk 0 --disk 1 --disk 2");
    ASSERT_EQ(r.rc, 0) << r.err;
  }
};

// Each type whole; mirror and parity with member 1 orphaned, and after a server killed
// before its flush (the set left marked, the range written recorded dirty, kept by the
// next server until regenerate resyncs it; `show` names the live server, not the dead
// one). nbdinfo's size is the published one, nbdcopy reads what export reads; once
// stopped (and regenerated) the set is healthy, verifies, and export holds every write.
enum How { kWhole, kDegraded, kKilled };
class FtServeEach : public FtServe, public testing::WithParamInterface<std::pair<const char*, How>> {};

TEST_P(FtServeEach, ServesWhatExportReadsAndTakesWrites) {
  const std::string type = GetParam().first;
  const How how = GetParam().second;
  const std::string set = type + "0";
  Make(type);
  const uint64_t size = std::stoull(Show(set, "length"));
  std::string model = Random(size, 1);
  std::ofstream(m.tmp.path + "/in", std::ios::binary) << model;
  ASSERT_EQ(m.On("volume import " + set + " " + m.tmp.path + "/in").rc, 0);
  ASSERT_EQ(how == kDegraded ? m.On("ft edit member " + set + " 1 --state orphaned").rc : 0, 0);
  if (how == kKilled) {
    Server k(m, set);
    ASSERT_EQ(NbdWrite(k, m.tmp.path, {{100000, 3000}}, &model, false), 0);
    EXPECT_EQ(k.Stop(SIGKILL), 128 + SIGKILL);
    EXPECT_NE(Show(set), "\"healthy\"");
    uint64_t begin = 1, end = 0;
    std::istringstream journal(ReadFile(m.dir + "/ft-journal/" + set));
    for (std::string word; journal >> word && word != "dirty";) {
    }
    journal >> begin >> end;
    EXPECT_TRUE(begin <= 100000 - (type == "parity" ? 65536 : 0) && 103000 <= end) << begin << "-" << end;
  }
  Server s(m, set);
  ASSERT_TRUE(s.Up()) << ReadFile(s.log);
  std::string out;
  ASSERT_EQ(Sh("nbdinfo --size " + s.Uri() + " && nbdcopy " + s.Uri() + " " + m.tmp.path + "/copy", &out), 0);
  EXPECT_EQ(std::stoull(out), size);
  EXPECT_TRUE(ReadFile(m.tmp.path + "/copy") == model);
  EXPECT_TRUE(how != kKilled || m.On("show").out.find("Served: " + set + " over NBD") != std::string::npos);
  ASSERT_EQ(NbdWrite(s, m.tmp.path, RandomWrites(size), &model, true), 0);
  EXPECT_EQ(s.Stop(), 0) << ReadFile(s.log);
  EXPECT_TRUE(how != kKilled || m.On("show").out.find("Served:") == std::string::npos) << "stale marker";
  if (how != kWhole) {
    EXPECT_NE(Show(set), "\"healthy\"");
    ASSERT_EQ(m.On("ft regenerate " + set).rc, 0);
  }
  EXPECT_EQ(Show(set), "\"healthy\"");
  EXPECT_EQ(type == "mirror" || type == "parity" ? m.On("ft verify " + set).rc : 0, 0);
  EXPECT_TRUE(Export(set) == model);
}
INSTANTIATE_TEST_SUITE_P(EveryType, FtServeEach,
                         testing::Values(std::pair("mirror", kWhole), std::pair("stripe", kWhole),
                                         std::pair("parity", kWhole), std::pair("volset", kWhole),
                                         std::pair("mirror", kDegraded), std::pair("parity", kDegraded),
                                         std::pair("mirror", kKilled), std::pair("parity", kKilled)),
                         [](const auto& p) {
                           return std::string(p.param.first) + (p.param.second == kWhole      ? ""
                                                                : p.param.second == kDegraded ? "Degraded"
                                                                                              : "AfterAKill");
                         });

// --read-only: writes are refused and nothing changes; a writer of the machine cannot
// start while it serves (readers can), and can once it stopped.
TEST_F(FtServe, ReadOnlyRefusesWritesAndKeepsWritersOut) {
  Make("parity");
  const std::string before = Export("parity0");
  Server s(m, "parity0", true);
  ASSERT_TRUE(s.Up()) << ReadFile(s.log);
  EXPECT_NE(NbdWrite(s, m.tmp.path, {{4096, 1}}, nullptr, true), 0);
  EXPECT_TRUE(Fails(m.On("--no-wait create primary --disk 0 --size 4M"), "in use"));
  EXPECT_EQ(m.On("show").rc, 0);
  EXPECT_EQ(s.Stop(), 0) << ReadFile(s.log);
  EXPECT_TRUE(Export("parity0") == before);
  EXPECT_EQ(m.On("--no-wait create primary --disk 0 --size 4M").rc, 0);
}

// An ext2 file system made, loop-mounted from nbdfuse's file and written on each type:
// fsck finds the exported bytes clean and debugfs reads the file back from them.
TEST_F(FtServe, FileSystemMountedThroughNbdfuseOnEveryType) {
  if (Sh("test -w /dev/fuse && test $(id -u) = 0 && command -v nbdfuse fusermount3 mkfs.ext2 debugfs "
         ">/dev/null"))
    GTEST_SKIP() << "FUSE, root or e2fsprogs missing";
  const std::string t = m.tmp.path, file = Random(300000, 9);
  std::ofstream(t + "/f", std::ios::binary) << file;
  std::filesystem::create_directories(t + "/fuse");
  std::filesystem::create_directories(t + "/mnt");
  for (const std::string type : {"mirror", "stripe", "parity", "volset"}) {
    SCOPED_TRACE(type);
    Make(type);
    Server s(m, type + "0");
    ASSERT_TRUE(s.Up()) << ReadFile(s.log);
    ASSERT_EQ(Sh("nbdfuse " + t + "/fuse " + s.Uri() + " >/dev/null 2>&1 &"), 0);
    for (int i = 0; i < 100 && !std::filesystem::exists(t + "/fuse/nbd"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(Sh("mkfs.ext2 -q -F " + t + "/fuse/nbd"), 0);
    if (Sh("mount -o loop " + t + "/fuse/nbd " + t + "/mnt 2>/dev/null") != 0) {
      Sh("fusermount3 -u " + t + "/fuse");
      GTEST_SKIP() << "loop devices or mounts are not available";
    }
    EXPECT_EQ(Sh("cp " + t + "/f " + t + "/mnt/f && umount " + t + "/mnt && fusermount3 -u " + t + "/fuse"),
              0);
    EXPECT_EQ(s.Stop(), 0) << ReadFile(s.log);
    std::string back;
    Export(type + "0");
    EXPECT_EQ(Sh("fsck.ext2 -fn " + t + "/export >/dev/null 2>&1 && debugfs -R 'cat /f' " + t +
                     "/export 2>/dev/null",
                 &back),
              0);
    EXPECT_TRUE(back == file);
    ASSERT_EQ(m.On("ft delete " + type + "0").rc, 0);
  }
}

}  // namespace
