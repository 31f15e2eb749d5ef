// The request runner, and the device calls the command families share.
#include "request.h"

#include <cstdio>
#include <ostream>

#include "machine.h"

namespace cli {

namespace {

bool Failed(ZMSTATUS st) { return st != 0; }

}  // namespace

int Request(Session& s, const Options& opt, const std::string& command, const std::string& what,
            ZM_OBJECT_ID id, uint32_t cls, uint32_t code, PropSet& in, int diskIndex, std::ostream& out,
            std::ostream& err, const Describe& describe, const Explain& explain) {
  const zm::RequestOutcome r = zm::RunRequest(s, command, id, cls, code, in, opt.dryRun);
  err << r.backupWarnings;
  const ZMSTATUS st = r.status;
  const ZM_OBJECT_ID resultId = r.resultId;
  const std::vector<std::string>& backups = r.backups;
  const Machine m = Machine::Read(r.alerts);
  const bool hasMember = r.member.has_value();
  const uint64_t member = r.member.value_or(0);
  std::string message = Failed(st) ? FailureSentence(what, st) : "";
  // The platform's reason (a busy partition, a write-protected or damaged disk, a
  // backup that could not be saved) says more than the status.
  if (!r.reason.ok() && !r.reason.message().empty())
    message = what + ": " + r.reason.message() + " (" + HexStatus(r.reason.code()) + ")";
  if (Failed(st) && explain)
    if (const std::string why = explain(st); !why.empty())
      message = what + ": " + why + " (" + HexStatus(st) + ")";
  // A table the request had to leave alone: say which entry or layout is the reason.
  if (Failed(st) && diskIndex >= 0)
    for (const Disk& d : m.disks)
      if (d.index && static_cast<int>(*d.index) == diskIndex && d.readOnly &&
          message.find(*d.readOnly) == std::string::npos)
        message += "; " + *d.readOnly;
  // A write the provider could not make (and may not report) fails the request too.
  const std::string writeFailure = TakeWriteFailures();
  if (!writeFailure.empty()) message += (message.empty() ? command + ": " : "; ") + writeFailure;
  const bool ok = !Failed(st) && writeFailure.empty();
  std::string done = ok && describe ? describe(m, hasMember ? member : 0, opt.dryRun) : "";
  if (opt.json) {
    json request = {{"command", command},
                    {"object", id},
                    {"object_name", m.NameOf(id)},
                    {"status", st},
                    {"message", !ok ? json(message) : json(done.empty() ? json(nullptr) : json(done))},
                    {"result_id", resultId},
                    {"member_id", hasMember ? json(member) : json(nullptr)},
                    {"member_name", hasMember ? json(m.NameOf(member)) : json(nullptr)},
                    {"backups", backups}};
    if (!ok)
      PrintJsonFailure(out, message, Failed(st) ? json(st) : json(nullptr), m,
                       {{"request", std::move(request)}});
    else
      PrintJsonResult(out, m, {{"request", std::move(request)}});
  } else {
    PrintAlerts(out, m.alerts, opt.dryRun ? "would raise alert: " : "alert: ");
    for (const auto& b : backups) out << "saved the previous table sectors as backup " << b << "\n";
    if (!done.empty()) out << done << "\n";
    if (opt.dryRun) out << "the layout as it would be:\n";
    if (diskIndex >= 0) {
      PrintDisk(out, m, static_cast<unsigned>(diskIndex), opt);
    } else {
      PrintTree(out, m, opt);
    }
  }
  if (!ok) {
    err << message << "\n";
    return kFailed;
  }
  return kOk;
}

int DiskIndexOfObject(const Machine& m, ZM_OBJECT_ID id) {
  const Disk* d = m.DiskOf(id);
  return d && d->index ? static_cast<int>(*d->index) : -1;
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
