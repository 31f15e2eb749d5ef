// Looking changes nothing: read-only commands on a machine nobody may write, beside a
// running writer, on images without a machine, and disks attached read-only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "testutil.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace testutil;

namespace {

const char* const kReaders[] = {"show",   "layout",       "check",       "registry show",
                                "alerts", "backups list", "show --json", "--version"};

// A digest of a file's bytes, read in large pieces (images are tens of MiB).
size_t Digest(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::string buf(1 << 20, '\0');
  size_t h = 0;
  while (f.read(buf.data(), std::streamsize(buf.size())) || f.gcount() > 0)
    h = h * 31 + std::hash<std::string_view>{}(std::string_view(buf.data(), size_t(f.gcount())));
  return h;
}

// Every entry of a tree with its kind, size, mode, modification time and bytes.
std::string Tree(const std::string& dir) {
  std::string s;
  std::vector<fs::path> all(fs::recursive_directory_iterator(dir), fs::recursive_directory_iterator{});
  all.push_back(dir);
  for (const auto& p : all) {
    struct stat st {};
    lstat(p.c_str(), &st);
    s += p.string() + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
         (S_ISREG(st.st_mode) ? std::to_string(Digest(p)) : "") + "\n";
  }
  return s;
}

// A machine of three disks with a stripe set with parity holding random data, exported
// as data, and its DISK key as a hive and as a .reg file.
struct ParityMachine : CtlMachine {
  std::string data = tmp.path + "/data", hive = tmp.path + "/SYSTEM", reg = tmp.path + "/disk.reg";
  ParityMachine() : CtlMachine("--disk 32M --disk 32M --disk 32M") {
    Run("head -c 12M /dev/urandom >" + Quote(tmp.path + "/in"));
    for (const std::string& c : {std::string("ft create parity --size 8M --disk 0 --disk 1 --disk 2"),
                                 "volume import parity0 " + tmp.path + "/in", "volume export parity0 " + data,
                                 "registry export --hive " + hive, "registry export " + reg})
      if (Result r = On(c); r.rc != 0) throw std::runtime_error(c + ": " + r.err);
  }
};

TEST(CliReadOnly, ReadersChangeNoByteOrTimeAndNeedNoWriteAccess) {
  ParityMachine m;
  const std::string out = m.tmp.path + "/out";  // what the readers export, whoever they are
  fs::create_directories(out);
  chmod(out.c_str(), 0777);
  chmod(m.tmp.path.c_str(), 0755);
  // A read-only bind mount of the machine, where the test may mount; undone at the end.
  std::string ro = m.tmp.path + "/ro";
  fs::create_directories(ro);
  if (testutil::Run("mount --bind " + Quote(m.dir) + " " + Quote(ro) +
                    " 2>/dev/null && (mount -o remount,ro,bind " + Quote(ro) + " 2>/dev/null || (umount " +
                    Quote(ro) + "; false))") != 0)
    ro.clear();
  std::shared_ptr<void> unmount(nullptr, [&](void*) { ro.empty() || testutil::Run("umount " + Quote(ro)); });
  struct Way {
    const char *name, *as;
    std::string dir;
    bool usable;
  } ways[] = {{"writable", "", m.dir, true},
              {"chmod -R a-w", "", m.dir, true},
              {"as nobody", "setpriv --reuid=65534 --regid=65534 --clear-groups env ", m.dir, geteuid() == 0},
              {"read-only mount", "", ro, !ro.empty()}};
  for (const auto& w : ways) {
    SCOPED_TRACE(w.name);
    if (!w.usable) continue;  // needs root (and, for the mount, the right to mount)
    if (std::string(w.name) == "chmod -R a-w") {
      ASSERT_EQ(testutil::Run("chmod -R a-w " + Quote(m.dir)), 0);
    }
    const std::string before = Tree(m.dir);
    std::vector<std::string> commands(std::begin(kReaders), std::end(kReaders));
    commands.push_back("registry export " + out + "/out.reg");
    commands.push_back("volume export parity0 " + out + "/out.img");
    for (const auto& c : commands) {
      Result r = Ctl("-m " + Quote(w.dir) + " --no-wait " + c, "", w.as);
      EXPECT_EQ(r.rc, 0) << c << ": " << r.err;
    }
    EXPECT_EQ(Tree(m.dir), before);
    EXPECT_EQ(Digest(out + "/out.img"), Digest(m.data));
    fs::remove(out + "/out.img");
    fs::remove(out + "/out.reg");
    if (w.as[0] != '\0' || w.dir != m.dir) {
      EXPECT_TRUE(Fails(Ctl("-m " + Quote(w.dir) + " rescan", "", w.as), "need no write access"));
    }
  }
  testutil::Run("chmod -R u+w " + Quote(m.dir));
}

// A boot that only reads records no lost member: a disk briefly away leaves the set
// as it was; a writing command while it is away records it.
TEST(CliReadOnly, AMissingDiskIsShownLostButOnlyAWriterRecordsIt) {
  ParityMachine m;
  const std::string away = m.tmp.path + "/away.img", registry = ReadFile(m.dir + "/registry.db");
  fs::rename(m.Image(2), away);
  Result check = m.On("check");
  EXPECT_EQ(check.rc, 1);
  EXPECT_NE(check.err.find("nothing is stored until a command that writes runs"), std::string::npos);
  EXPECT_TRUE(ReadFile(m.dir + "/registry.db") == registry) << "a read-only boot wrote the registry";
  fs::rename(away, m.Image(2));
  EXPECT_EQ(m.On("check").rc, 0) << "the set was recorded degraded by a reader";

  fs::rename(m.Image(2), away);
  EXPECT_EQ(m.On("rescan").rc, 0);
  fs::rename(away, m.Image(2));
  EXPECT_TRUE(Fails(m.On("check"), "")) << "the writer's boot did not record the lost member";
}

// A reader beside a writer that holds the machine (a shell between two requests) does
// not wait for it and sees its last committed request.
TEST(CliReadOnly, AReaderBesideARunningWriterSeesItsLastCommit) {
  CtlMachine m("--disk 32M");
  FILE* shell = popen(("FTDISK_MODULE=" + Quote(FTDISK_MODULE_PATH) + " " + Quote(FTDISKCTL_PATH) + " " +
                       m.M() + "shell >/dev/null 2>&1")
                          .c_str(),
                      "w");
  ASSERT_NE(shell, nullptr);
  fputs("create primary --disk 0 --size 8M\n", shell);
  fflush(shell);
  size_t seen = 0;
  for (int i = 0; i < 500 && seen == 0; ++i) {
    Result r = m.On("--no-wait show --json");
    ASSERT_EQ(r.rc, 0) << r.err;
    const json shown = json::parse(r.out);
    for (const auto& p : shown["disks"][0]["regions"]) seen += p["kind"] == "primary";
    if (seen == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(seen, 1u) << "the writer's committed partition is not seen";
  EXPECT_TRUE(Fails(m.On("--no-wait rescan"), "in use")) << "the writer had ended: nothing was proven";
  EXPECT_EQ(pclose(shell), 0);
}

// --image: the parity set's images in any order with the hive of their machine, or a
// .reg file, read as the machine reads them, writing nothing anywhere.
TEST(CliImages, SetsAssembleByDiskSignatureAndDegradedOnesStayReadable) {
  ParityMachine m;
  const std::string cwd = m.tmp.path + "/cwd", out = cwd + "/out.img", in = "env -C " + Quote(cwd) + " ";
  fs::create_directories(cwd);
  const std::string before = Tree(m.dir);
  struct Case {
    std::vector<unsigned> disks;
    std::string config;
    const char* state;
  } cases[] = {{{2, 0, 1}, "--hive " + Quote(m.hive), "healthy"},
               {{1, 2}, "--reg " + Quote(m.reg), "has-orphan"}};
  for (const auto& c : cases) {
    std::string args;
    for (unsigned d : c.disks) args += "--image " + Quote(m.Image(d)) + " ";
    args += c.config + " ";
    SCOPED_TRACE(args);
    json show = json::parse(Ctl(args + "show --json", "", in).out, nullptr, false);
    std::string state;
    for (const auto& v : show["volumes"])
      if (v["name"] == "parity0") state = v["state_text"];
    EXPECT_EQ(state, c.state);
    EXPECT_EQ(Ctl(args + "volume export parity0 " + Quote(out), "", in).rc, 0);
    EXPECT_EQ(Digest(out), Digest(m.data)) << "the exported volume differs";
    fs::remove(out);
    EXPECT_TRUE(fs::is_empty(cwd)) << "a machine of images made a file";
    Result check = Ctl(args + "check", "", in);
    EXPECT_EQ(check.rc, c.disks.size() == 3 ? 0 : 1);
    if (c.disks.size() < 3) {
      EXPECT_NE(check.out.find("member 0: its disk (signature"), std::string::npos) << check.out;
    }
    EXPECT_TRUE(Fails(Ctl(args + "create primary --disk 0 --size 8M", "", in), "init DIR --attach", 2));
  }
  EXPECT_EQ(Tree(m.dir), before);
}

// A disk attached read-only: every request that would write it is refused with that
// reason before anything, on it or elsewhere, is written; its data can still be copied.
TEST(CliEvidence, EveryWriteToAReadOnlyDiskIsRefusedBeforeAnythingIsWritten) {
  ParityMachine m;
  CtlMachine e("--disk 32M");
  const std::string evidence = m.Image(1);
  ASSERT_EQ(e.On("attach --read-only " + Quote(evidence)).rc, 0);
  EXPECT_NE(e.On("show").out.find("read-only: disk 1 is attached read-only"), std::string::npos);
  auto bytes = [&] { return Digest(evidence) + 3 * Digest(e.Image(0)) + 7 * Digest(e.dir + "/registry.db"); };
  auto refused = [&](const std::string& c) {
    SCOPED_TRACE(c);
    const size_t before = bytes();
    EXPECT_TRUE(Fails(e.On(c), "disk 1 is attached read-only"));
    EXPECT_EQ(bytes(), before) << "something was written";
  };
  for (const char* c : {"create primary --disk 1 --size 4M", "delete disk1/p1", "active disk1/p1",
                        "ft create stripe --size 4M --disk 0 --disk 1"})
    refused(c);
  ASSERT_EQ(e.On("ft create mirror disk1/p1 --disk 0").rc, 0);
  refused("ft delete mirror0");
  refused("volume import mirror0 " + Quote(m.data));
}

// A machine that has booted before does not boot without its configuration: the
// message gives the copy to put back, and nothing is recorded meanwhile.
TEST(CliReadOnly, ALostConfigurationIsRefusedWithTheWayOn) {
  ParityMachine m;
  const std::string file = m.dir + "/machine.toml", registry = ReadFile(m.dir + "/registry.db");
  for (const char* damage : {"", "[disk", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(damage ? damage : "missing");
    damage != nullptr ? void(std::ofstream(file) << damage) : void(fs::remove(file));
    EXPECT_TRUE(Fails(m.On("show"), "cp '" + file + ".bak' '" + file + "'"));
    EXPECT_TRUE(Fails(m.On("rescan"), "has booted before"));
    EXPECT_TRUE(ReadFile(m.dir + "/registry.db") == registry);
  }
  fs::copy_file(file + ".bak", file, fs::copy_options::overwrite_existing);
  EXPECT_EQ(m.On("check").rc, 0);
}

}  // namespace
