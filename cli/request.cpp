// The partition requests' outcome printed, and the device calls the command families share.
#include "request.h"

#include <cstdio>
#include <ostream>

namespace cli {

ftconfig::RequestContext RequestsFor(const Options& opt) { return {opt.dryRun, opt.inShell}; }

int Report(const Options& opt, const ftconfig::PartitionOutcome& r, std::ostream& out, std::ostream& err) {
  if (!r.sent) {
    err << r.status.message() << "\n";
    return kFailed;
  }
  err << r.request.backupWarnings;
  const Machine& m = r.after;
  const ZMSTATUS st = r.request.status;
  const bool ok = r.status.ok();
  const bool hasMember = r.request.member.has_value();
  const uint64_t member = r.request.member.value_or(0);
  if (opt.json) {
    json request = {
        {"command", r.command},
        {"object", r.object},
        {"object_name", m.NameOf(r.object)},
        {"status", st},
        {"message", !ok ? json(r.status.message()) : json(r.done.empty() ? json(nullptr) : json(r.done))},
        {"result_id", r.request.resultId},
        {"member_id", hasMember ? json(member) : json(nullptr)},
        {"member_name", hasMember ? json(m.NameOf(member)) : json(nullptr)},
        {"backups", r.request.backups}};
    if (!ok)
      PrintJsonFailure(out, r.status.message(), st != 0 ? json(st) : json(nullptr), m,
                       {{"request", std::move(request)}});
    else
      PrintJsonResult(out, m, {{"request", std::move(request)}});
  } else {
    PrintAlerts(out, m.alerts, opt.dryRun ? "would raise alert: " : "alert: ");
    for (const auto& b : r.request.backups) out << "saved the previous table sectors as backup " << b << "\n";
    if (!r.done.empty()) out << r.done << "\n";
    if (opt.dryRun) out << "the layout as it would be:\n";
    if (r.disk >= 0) {
      PrintDisk(out, m, static_cast<unsigned>(r.disk), opt);
    } else {
      PrintTree(out, m, opt);
    }
  }
  if (!ok) {
    err << r.status.message() << "\n";
    return kFailed;
  }
  return kOk;
}

void PrintWaitNotice(const std::string& what) {
  if (what.rfind("the machine", 0) == 0)
    std::fprintf(stderr, "waiting for the machine lock held by another process...\n");
  else
    std::fprintf(stderr, "waiting for %s, held by another process...\n", what.c_str());
  std::fflush(stderr);
}

bool OpenOr(Session& s, const Options& opt, std::ostream& err) {
  std::string e;
  if (s.Open(opt.dir, opt.noWait, &e)) return true;
  err << e << "\n";
  return false;
}

}  // namespace cli
