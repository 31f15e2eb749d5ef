// detach: the counterpart of attach. The disk leaves the machine's configuration
// (machine.toml); its image or device is not touched.
#include <algorithm>
#include <ostream>

#include "command_table.h"
#include "machine.h"
#include "request.h"
#include "served.h"

namespace cli {

int CmdDetach(Session& s, const Options& opt, const std::string& diskText, bool force, std::ostream& out,
              std::ostream& err) {
  const std::string digits = diskText.rfind("disk", 0) == 0 ? diskText.substr(4) : diskText;
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) {
    err << "ftdiskctl: '" << diskText << "' is not a disk (disk0, disk1, ... or 0, 1, ...)\n";
    return kUsage;
  }
  const unsigned index = static_cast<unsigned>(std::stoul(digits));
  const std::string what = "cannot detach disk" + std::to_string(index);
  // A server holds the machine while it runs (the boot below would wait for it).
  const auto served = ftdata::ServedSets(opt.dir);
  if (!served.empty()) {
    err << what << ": " << served.front().set << " is being served (process " << served.front().pid << ", at "
        << served.front().where << "); stop the server first\n";
    return kFailed;
  }
  if (!OpenOr(s, opt, err)) return kFailed;
  const Machine m = Machine::Read();
  const Disk* disk = m.FindDisk(index);
  if (!disk) {
    err << "ftdiskctl: there is no disk " << index << " (the machine has " << m.disks.size()
        << "; see 'ftdiskctl show')\n";
    return kUsage;
  }
  // FT sets with members on the disk lose them: only with --force.
  std::vector<std::string> setList;
  disk->ForEachRegion([&](const Region& r) {
    const std::string set = r.IsFree() ? "" : m.FtSetOf(r.volume);
    if (!set.empty() && std::find(setList.begin(), setList.end(), set) == setList.end())
      setList.push_back(set);
  });
  std::string sets;
  for (const auto& set : setList) sets += (sets.empty() ? "" : ", ") + set;
  if (!sets.empty() && !force) {
    err << what << ": it holds members of " << sets
        << "; without it they are orphaned. Add --force to detach it anyway\n";
    return kFailed;
  }
  // The machine is held by this boot, so no other process changes its configuration meanwhile.
  std::string image;
  if (const ntp::Status st = ntp::DetachDisk(opt.dir, index, opt.dryRun, &image); !st.ok()) {
    err << what << ": " << st.message() << "\n";
    return kFailed;
  }
  const std::string renumbered =
      index + 1 < m.disks.size() ? "disk" + std::to_string(index + 1) + " and after are numbered one lower"
                                 : "";
  if (opt.json) {
    PrintJsonResult(out, json{{"file", image},
                              {"disk", index},
                              {"name", "disk" + std::to_string(index)},
                              {"orphaned_sets", setList}});
    return kOk;
  }
  out << Verb(opt.dryRun, "detached ", "would detach ") << "disk" << index << " (" << image
      << "); the image is unchanged";
  if (!renumbered.empty()) out << "; " << renumbered;
  if (!sets.empty()) out << "; " << sets << " lose their members on it";
  out << "\n";
  return kOk;
}

std::vector<CommandSpec> DetachCommands() {
  return {
      {"detach",
       "remove a disk from the machine (its image or device is not touched)",
       {Text("DISK", "the disk: diskN or N").Req().Of(Names::kDisk),
        Flag("--force", "also when FT sets have members on it (they are orphaned)").Into(&Options::force)},
       kWrites | kOwnProcess,
       [](Call& c) { return CmdDetach(c.s, c.opt, c.a.Text("DISK"), c.opt.force, c.out, c.err); },
       "ftdiskctl -m m detach disk1"},
  };
}

}  // namespace cli
