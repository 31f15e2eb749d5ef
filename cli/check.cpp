// `ftdiskctl check`: the FT configuration compared with the disks of the machine. Each
// finding says what is wrong, about which object, and what to do; the exit status is 1
// when anything is degraded or inconsistent.
#include <map>
#include <ostream>

#include "cli.h"
#include "command_table.h"
#include "ftcheck.h"

namespace cli {

int CmdCheck(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  std::string e;
  if (!s.Open(opt.dir, opt.noWait, &e)) {
    err << e << "\n";
    return kFailed;
  }
  NoteUnstoredRecords(s, err);

  const ftconfig::CheckInput in = ftconfig::ReadCheckInput(opt.dir);
  const std::vector<ftconfig::Finding> findings = ftconfig::Check(in);
  const bool ok = findings.empty();
  const bool readable = in.readable;
  if (opt.json) {
    json list = json::array();
    for (const auto& f : findings)
      list.push_back({{"kind", ftconfig::KindName(f.kind)},
                      {"object", f.object},
                      {"message", f.message},
                      {"action", f.action}});
    // The error names the findings, how many of which kinds; the list has each one.
    std::map<std::string, size_t> kinds;
    for (const auto& f : findings) ++kinds[ftconfig::KindName(f.kind)];
    std::string summary;
    for (const auto& [kind, count] : kinds)
      summary += (summary.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
    const std::string error = std::to_string(findings.size()) +
                              (findings.size() == 1 ? " finding (" : " findings (") + summary +
                              "); each is listed in findings with what to do";
    out << JsonText(json{
               {"ok", ok}, {"error", ok ? json(nullptr) : JsonError(error)["error"]}, {"findings", list}})
        << "\n";
  } else if (ok) {
    out << (readable ? "the FT configuration matches the disks: nothing to do\n"
                     : "no FT configuration is stored yet: nothing to check\n");
  } else {
    for (const auto& f : findings)
      out << f.object << ": " << f.message << "\n  what to do: " << f.action << "\n";
    out << findings.size() << (findings.size() == 1 ? " finding\n" : " findings\n");
  }
  return ok ? kOk : kFailed;
}

std::vector<CommandSpec> CheckCommands() {
  return {
      {"check",
       "compare the FT configuration with the disks; exit 1 when not well",
       {},
       kReadOnly,
       [](Call& c) { return CmdCheck(c.s, c.opt, c.out, c.err); },
       "ftdiskctl -m m check --json"},
  };
}

}  // namespace cli
