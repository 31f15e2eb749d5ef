// "ftdiskctl ft find [--apply] [--full]": the FT sets the disks hold, found from their
// bytes when the configuration that recorded them is lost. Each proposal is printed
// with its evidence and the `ft edit define` command that records it; --apply records
// those the search is sure of (ftdata/requests.h).
#include "ftfind.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "ftcmd.h"
#include "ftconfig.h"
#include "ftsearch.h"
#include "machine.h"
#include "ntplatform.h"
#include "request.h"
#include "requests.h"

namespace cli {

namespace {

namespace ff = ntp::ftfind;

std::string Quoted(const std::string& word) {
  if (!word.empty() &&
      word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_/.-+=:@") ==
          std::string::npos)
    return word;
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string Hex(uint64_t v, int digits) {
  std::ostringstream s;
  s << "0x" << std::hex;
  s.width(digits);
  s.fill('0');
  s << v;
  return s.str();
}

struct Shown {
  const ff::Proposal* p;
  std::vector<std::string> members;  // names, "" where lost
  std::string command;               // ft edit define ..., empty for a degraded set
  std::vector<std::string> recipe;   // how a degraded set comes back
  std::string recorded;              // the set --apply recorded
  std::string refused;               // why --apply could not record it
};

std::string Prefix(const Session& s, const Options& opt) {
  return "ftdiskctl -m " + (s.images() ? std::string("DIR") : Quoted(opt.dir)) + " ";
}

Shown Describe(const ff::Proposal& p, const std::vector<ff::Partition>& parts, const std::string& prefix) {
  Shown d{&p, {}, {}, {}, {}, {}};
  const std::string word = ftconfig::TypeWord(p.type);
  std::string names;
  int lost = -1;
  for (size_t i = 0; i < p.members.size(); ++i) {
    const int m = p.members[i];
    d.members.push_back(m >= 0 ? parts[m].name : "");
    names += " " + (m >= 0 ? parts[m].name : std::string("NEW"));
    if (m < 0) lost = static_cast<int>(i);
  }
  if (lost < 0) {
    // Members compared whole are recorded as agreeing; otherwise a mirror or parity set
    // is recorded initializing, for ft regenerate to make its members agree.
    d.command = prefix + "ft edit define " + word + names + (p.whole ? " --assume-clean" : "");
    return d;
  }
  uint64_t size = 0, cylinder = 0;
  for (int m : p.members)
    if (m >= 0) {
      size = std::max<uint64_t>(size, static_cast<uint64_t>(parts[m].length));
      cylinder = std::max(cylinder, parts[m].cylinder);
    }
  const std::string have = p.members[lost == 0 ? 1 : 0] >= 0 ? parts[p.members[lost == 0 ? 1 : 0]].name : "";
  if (p.type == ntp::ftmap::kMirror) {
    d.recipe = {prefix + "ft create mirror " + have + " --disk DISK    (DISK: another disk with room for " +
                FormatUnits(size) + ")"};
  } else {
    // The provider ends a partition on the nearest cylinder boundary: half a cylinder
    // more gives one no shorter than the members, and less than a cylinder longer.
    d.recipe = {prefix + "create primary --disk DISK --size " + std::to_string(size + cylinder / 2) +
                    "    (DISK: a disk holding no other member; NEW: the new partition, which must be at "
                    "least " +
                    std::to_string(size) + " bytes and less than a cylinder more: layout --bytes shows it)",
                prefix + "ft edit define " + word + names + " --assume-clean",
                prefix + "ft edit member " + word + "G " + std::to_string(lost) +
                    " --state orphaned    (G: the group the define reports)",
                prefix + "ft regenerate " + word + "G " + std::to_string(lost)};
  }
  return d;
}

json ProposalJson(const Shown& d, const std::vector<ff::Partition>& parts) {
  const ff::Proposal& p = *d.p;
  json members = json::array();
  for (size_t i = 0; i < p.members.size(); ++i) {
    const int m = p.members[i];
    if (m < 0) {
      members.push_back({{"member", i}, {"lost", true}});
      continue;
    }
    const auto& x = parts[m];
    members.push_back({{"member", i},
                       {"lost", false},
                       {"name", x.name},
                       {"disk", x.disk},
                       {"signature", x.signature},
                       {"offset", x.offset},
                       {"length", x.length},
                       {"partition_type", x.type}});
  }
  return {{"type", ftconfig::TypeWord(p.type)},
          {"confidence", ff::ConfidenceWord(p.confidence)},
          {"degraded", p.Degraded()},
          {"file_system", p.fileSystem.empty() ? json(nullptr) : json(p.fileSystem)},
          {"volume_length", p.volumeLength},
          {"orders", p.orders},
          {"members", members},
          {"evidence", p.evidence},
          {"command", d.command.empty() ? json(nullptr) : json(d.command)},
          {"recipe", d.recipe},
          {"recorded", d.recorded.empty() ? json(nullptr) : json(d.recorded)},
          {"refused", d.refused.empty() ? json(nullptr) : json(d.refused)}};
}

void PrintText(std::ostream& out, const std::vector<Shown>& shown, const ff::Result& r,
               const ftconfig::SetSearch& parts, bool images, const std::string& prefix) {
  static const char* kTypeName[] = {"mirror", "stripe set", "stripe set with parity", "volume set"};
  for (const Shown& d : shown) {
    const ff::Proposal& p = *d.p;
    out << kTypeName[p.type] << (p.Degraded() ? " (a member lost)" : "") << ", "
        << ff::ConfidenceWord(p.confidence) << ": " << FormatUnits(p.volumeLength)
        << (p.fileSystem.empty() ? "" : ", " + p.fileSystem) << "\n";
    for (size_t i = 0; i < p.members.size(); ++i) {
      out << "  member " << i << "  ";
      const int m = p.members[i];
      if (m < 0) {
        out << "lost\n";
        continue;
      }
      const auto& x = parts.partitions[m];
      out << x.name << "  signature " << Hex(x.signature, 8) << "  offset " << x.offset << "  length "
          << x.length << "  type " << Hex(x.type, 2) << "\n";
    }
    for (const auto& e : p.evidence) out << "  - " << e << "\n";
    if (!d.command.empty()) out << "  record it: " << d.command << "\n";
    if (!d.recipe.empty()) {
      out << "  bring it back:\n";
      for (const auto& step : d.recipe) out << "    " << step << "\n";
    }
    if (!d.recorded.empty()) {
      out << "  recorded as " << d.recorded;
      if ((p.type == ntp::ftmap::kMirror || p.type == ntp::ftmap::kParity) && !p.whole)
        out << ", initializing: '" << prefix << "ft regenerate " << d.recorded
            << "' makes its members agree (ft find --full compares them whole and records them clean)";
      out << "\n";
    }
    if (!d.refused.empty()) out << "  not recorded: " << d.refused << "\n";
    out << "\n";
  }
  if (shown.empty())
    out << "no FT set found in " << parts.partitions.size() << " partition"
        << (parts.partitions.size() == 1 ? "" : "s") << "\n";
  for (const auto& n : r.notes) out << "note: " << n << "\n";
  if (parts.recordedMembers > 0)
    out << "note: " << parts.recordedMembers << " partition"
        << (parts.recordedMembers == 1 ? " is a member" : "s are members") << " of recorded sets and "
        << (parts.recordedMembers == 1 ? "was" : "were") << " left out\n";
  if (images && !shown.empty())
    out << "note: to record a set, make a machine of these images in the same order (ftdiskctl init DIR "
           "--attach "
           "IMAGE...) and run the command there\n";
}

}  // namespace

int CmdFtFind(Session& s, const Options& opt, bool apply, bool full, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  ftconfig::SetSearch parts;
  ff::Options options;
  options.full = full;
  if (const ntp::Status st = ftconfig::FindSets(Machine::Read(), options, &parts); !st.ok()) {
    err << "cannot look for FT sets: " << st.message() << "\n";
    return kFailed;
  }
  const ff::Result& found = parts.found;
  const std::string prefix = Prefix(s, opt);
  std::vector<Shown> shown;
  for (const auto& p : found.proposals) shown.push_back(Describe(p, parts.partitions, prefix));
  bool failed = false;
  if (apply) {
    const std::vector<ftdata::FoundRecord> records = ftdata::RecordFound(s, parts);
    for (size_t i = 0; i < shown.size(); ++i) {
      shown[i].recorded = records[i].recorded;
      shown[i].refused = records[i].refused;
      failed = failed || !shown[i].refused.empty();
    }
  }
  if (opt.json) {
    json doc = {{"proposals", json::array()},
                {"notes", found.notes},
                {"partitions_examined", parts.partitions.size()},
                {"recorded_members", parts.recordedMembers}};
    for (const Shown& d : shown) doc["proposals"].push_back(ProposalJson(d, parts.partitions));
    if (failed)
      PrintJsonFailure(out, "cannot record every set found", nullptr, doc);
    else
      PrintJsonResult(out, doc);
  } else {
    PrintText(out, shown, found, parts, s.images(), prefix);
  }
  if (failed)
    err << "cannot record every set found (see "
        << (opt.json ? "each proposal's \"refused\"" : "'not recorded' above") << ")\n";
  return failed ? kFailed : kOk;
}

}  // namespace cli
