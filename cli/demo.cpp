// "ftdiskctl demo": builds a machine and walks through the requests an administrator
// makes, on one boot, explaining each step in one line.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cli.h"
#include "machine.h"

namespace fs = std::filesystem;

namespace cli {

namespace {

const char kMarker[] = ".ftdiskctl-demo";

std::string FirstOfKind(const json& snap, unsigned disk, const std::string& kind, size_t nth = 0) {
  const json* d = FindDisk(snap, disk);
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
  Session session;
  auto run = [&](const std::vector<std::string>& words) {
    std::string line = "$ ftdiskctl -m " + dir;
    for (const auto& w : words) line += " " + w;
    out << line << "\n" << std::flush;
    std::vector<std::string> args = {"-m", dir};
    if (opt.bytes) args.push_back("--bytes");
    args.insert(args.end(), words.begin(), words.end());
    int rc = RunCommandLine(args, &session, true, out, out);
    if (rc != kOk) ++failures;
    return rc;
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

  json snap = Snapshot({});
  std::string primary = FirstOfKind(snap, 0, "primary");
  std::string logical1 = FirstOfKind(snap, 0, "logical", 0), logical2 = FirstOfKind(snap, 0, "logical", 1);
  if (!primary.empty()) {
    step("Mark disk 0's primary partition active (the boot partition).");
    run({"active", primary});
  }
  if (!logical1.empty()) {
    step("Give the logical drives the letters E: and F:; the letters are recorded in the registry.");
    run({"letter", logical1, "E:"});
    if (!logical2.empty()) run({"letter", logical2, "F:"});
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

  snap = Snapshot({});
  ZM_OBJECT_ID mirrorId = 0;
  for (const auto& v : snap["volumes"])
    if (v["kind"] == "mirror") mirrorId = v["id"];
  step("Give the mirror volume the letter M:; the letter is recorded on both members.");
  if (mirrorId != 0) {
    run({"letter", std::to_string(mirrorId), "M:"});
  } else {
    out << "skipped: the provider published no mirror volume\n";
    ++failures;
  }

  step("The whole machine: disks, partitions, free space and volumes, with the context menus.");
  run({"show", "-v"});
  step("Every alert that the requests raised.");
  PrintAlerts(out, AlertsJson(zm::Alerts()));
  step("The FT configuration as it is stored in the registry, decoded.");
  run({"registry", "show"});
  session.Close();
  out << "\n"
      << (failures == 0 ? "demo complete"
                        : "demo finished with " + std::to_string(failures) + " failed step(s)")
      << "; the machine is in " << dir << "\n";
  return failures == 0 ? kOk : kFailed;
}

}  // namespace cli
