// "ftdiskctl demo": builds a machine and walks through the requests an administrator
// makes, each one its own invocation of this program (so every printed command can be
// typed again as it stands), explaining each step in one line.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli.h"
#include "command_table.h"
#include "machine.h"
#include "machine_commands.h"

extern char** environ;

namespace fs = std::filesystem;

namespace cli {

namespace {

const char kMarker[] = ".ftdiskctl-demo";

// Runs this program with args; its standard output (and standard error, when merge)
// is returned in *output. Returns the exit status, -1 when it cannot start.
int RunSelf(const std::vector<std::string>& args, bool merge, std::string* output) {
  std::string self = SelfPath();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(self.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
  if (merge) posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid;
  int rc = posix_spawn(&pid, self.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(pipefd[1]);
  if (rc != 0) {
    ::close(pipefd[0]);
    return -1;
  }
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) output->append(buf, static_cast<size_t>(n));
  ::close(pipefd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kFailed;
}

std::string FirstOfKind(const json& snap, unsigned disk, const std::string& kind, size_t nth = 0) {
  const json* d = nullptr;
  for (const auto& x : snap["disks"])
    if (x["index"] == disk) d = &x;
  if (!d) return "";
  size_t n = 0;
  std::function<std::string(const json&)> walk = [&](const json& regions) -> std::string {
    for (const auto& r : regions) {
      if (r["kind"] == kind && r.value("name", json()).is_string() && n++ == nth) return r["name"];
      if (r.contains("regions")) {
        std::string x = walk(r["regions"]);
        if (!x.empty()) return x;
      }
    }
    return "";
  };
  return walk((*d)["regions"]);
}

}  // namespace

int CmdDemo(const Options& opt, const std::string& dir, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  if (fs::exists(dir, ec)) {
    if (!fs::exists(fs::path(dir) / kMarker, ec)) {
      err << "cannot build the demo in '" << dir << "': it exists and was not made by 'ftdiskctl demo'\n";
      return kFailed;
    }
    fs::remove_all(dir, ec);
  }
  int failures = 0;
  int stepNo = 0;
  auto step = [&](const std::string& why) { out << "\n==> " << ++stepNo << ". " << why << "\n"; };
  // Each command is printed as it can be typed, then run as its own process.
  auto run = [&](const std::vector<std::string>& words) {
    std::string line = "$ ftdiskctl -m " + dir;
    for (const auto& w : words) line += " " + w;
    out << line << "\n" << std::flush;
    std::vector<std::string> args = {"-m", dir};
    if (opt.bytes) args.push_back("--bytes");
    args.insert(args.end(), words.begin(), words.end());
    std::string output;
    int rc = RunSelf(args, true, &output);
    out << output << std::flush;
    if (rc != kOk) ++failures;
    return rc;
  };
  // The machine as "show --json" prints it, for the names the next steps use.
  auto snapshot = [&]() {
    std::string text;
    RunSelf({"-m", dir, "--json", "show"}, false, &text);
    json j = json::parse(text, nullptr, false);
    return j.is_object() && j.contains("disks") ? j
                                                : json{{"disks", json::array()}, {"volumes", json::array()}};
  };

  step("Make a machine with two 512 MiB disks and an empty CD-ROM drive.");
  out << "$ ftdiskctl init " << dir << " --disk 512M --disk 512M --cdrom-empty\n";
  Options initOpt = opt;
  initOpt.json = false;
  if (CmdInit(initOpt, dir, {"512M", "512M"}, {}, true, out, err) != kOk) return kFailed;
  std::ofstream(fs::path(dir) / kMarker) << "made by ftdiskctl demo\n";

  step("Boot it: the provider publishes each disk's free space; the CD-ROM is a volume of its own.");
  run({"show"});
  step("Create a 100 MiB primary partition on disk 0; the end is rounded to a cylinder.");
  run({"create", "primary", "--disk", "0", "--size", "100M"});
  step("Create an extended partition on disk 0 to hold logical drives.");
  run({"create", "extended", "--disk", "0", "--size", "300M"});
  step("Create two logical drives inside it; each gets its own extended boot record.");
  run({"create", "logical", "--disk", "0", "--size", "100M"});
  run({"create", "logical", "--disk", "0", "--size", "100M"});

  json snap = snapshot();
  std::string primary = FirstOfKind(snap, 0, "primary");
  std::string logical1 = FirstOfKind(snap, 0, "logical", 0), logical2 = FirstOfKind(snap, 0, "logical", 1);
  if (!primary.empty()) {
    step("Mark disk 0's primary partition active (the boot partition).");
    run({"active", primary});
  }
  if (!logical1.empty()) {
    step("Give the logical drives the letters L: and N:; the letters are recorded in the registry.");
    run({"letter", logical1, "L:"});
    if (!logical2.empty()) run({"letter", logical2, "N:"});
  }

  step(
      "Make disk 0's primary partition a mirror: a new partition on disk 1 becomes member 1 and gets its "
      "bytes.");
  if (!primary.empty()) {
    run({"ft", "create", "mirror", primary, "--disk", "1"});
  } else {
    out << "skipped: disk 0 has no primary partition\n";
    ++failures;
  }

  snap = snapshot();
  std::string mirror;
  for (const auto& v : snap["volumes"])
    if (v["kind"] == "mirror" && v.value("name", json()).is_string()) mirror = v["name"];
  step("Give the mirror volume the letter M:; the letter is recorded on both members.");
  if (!mirror.empty()) {
    run({"letter", mirror, "M:"});
  } else {
    out << "skipped: the provider published no mirror volume\n";
    ++failures;
  }

  step("The whole machine: disks, partitions, free space and volumes, with the context menus.");
  run({"show", "-v"});
  step("Every alert that the requests raised, from the machine's alerts.log.");
  run({"alerts"});
  step("The FT configuration as it is stored in the registry, decoded.");
  run({"registry", "show"});
  out << "\n"
      << (failures == 0 ? "demo complete"
                        : "demo finished with " + std::to_string(failures) + " failed step(s)")
      << "; the machine is in " << dir << "\n";
  return failures == 0 ? kOk : kFailed;
}

std::vector<CommandSpec> DemoCommands() {
  return {
      {"demo",
       "build a demo machine and walk through every kind of request",
       {Text("DIR", "directory of the demo machine (default ./demo-machine)").Of(Names::kDir)},
       kOwnProcess | kWritesOutside | kNoJson | kOwnOutput,
       [](Call& c) {
         return CmdDemo(c.opt, c.a.Given("DIR") ? c.a.Text("DIR") : "demo-machine", c.out, c.err);
       },
       "ftdiskctl demo demo-machine"},
  };
}

}  // namespace cli
