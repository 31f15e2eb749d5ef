// "ftdiskctl ft ...": FT sets made, grown, broken, deleted, regenerated and repaired.
// Every request checks the rules before anything is written, keeps a backup of the
// table sectors and of "Information", makes partitions through the provider's own
// create request, records the set in the configuration last, and then lets the
// provider publish the result with a refresh.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <ostream>

#include "ftcmd.h"
#include "ftconfig.h"
#include "ftedit.h"
#include "ftfind.h"
#include "ftintent.h"
#include "ftmap.h"
#include "ftparts.h"
#include "ftrequest.h"
#include "machine.h"
#include "ntplatform.h"

namespace cli {

namespace {

namespace fm = ntp::ftmap;

using ftconfig::AsCandidate;
using ftconfig::FindPartAt;
using ftconfig::Part;
using ftconfig::RebuildSourcesProblem;
using ftconfig::SetName;
using ftconfig::SetVolume;

bool Fail(std::ostream& err, const std::string& what, const std::string& why) {
  err << what << ": " << why << "\n";
  return false;
}

// A step's failure in words, the code named when it has one; true when it succeeded.
bool Ok(const ntp::Status& st, std::string* error) {
  if (st.ok()) return true;
  *error = st.code() != 0 ? FailureSentence(st.message(), st.code()) : st.message();
  return false;
}

// The members' FT flag set or cleared (ftconfig::MarkMembers), its failure in words.
bool MarkMembers(const std::vector<ftconfig::PartitionRef>& members, bool on, std::string* error) {
  return Ok(ftconfig::MarkMembers(members, on), error);
}

// Opens the set's volume for writing; member `rebuild` is opened even when orphaned.
bool OpenSetVolume(uint32_t type, uint16_t group, int rebuild, std::unique_ptr<fm::Volume>* volume,
                   std::string* error) {
  SetMembers m;
  if (!LoadSetMembers(type, group, &m, error)) return false;
  std::vector<fm::Member> members;
  for (size_t i = 0; i < m.devices.size(); ++i) {
    bool usable =
        !m.devices[i].empty() && (MemberHoldsData(type, m.states[i]) || static_cast<int>(i) == rebuild);
    if (static_cast<int>(i) == rebuild && m.devices[i].empty()) {
      *error = "member " + std::to_string(i) + "'s partition is not on the disks; recreate it first";
      return false;
    }
    members.push_back({m.devices[i], m.lengths[i], usable});
  }
  *volume = std::make_unique<fm::Volume>(static_cast<fm::Type>(type), members);
  NTSTATUS st = (*volume)->Open(true, error);
  return NT_SUCCESS(st);
}

// What a request did, said of a dry run in the conditional ("would delete stripe0 and
// its partitions"): the sentences of the requests begin with their past verb.
std::string Conditional(const std::string& done) {
  static const std::pair<const char*, const char*> kVerbs[] = {{"made ", "would make "},
                                                               {"deleted ", "would delete "},
                                                               {"broke ", "would break "},
                                                               {"extended ", "would extend "},
                                                               {"regenerated ", "would regenerate "},
                                                               {"initialized ", "would initialize "},
                                                               {"defined ", "would define "},
                                                               {"dropped ", "would drop "}};
  for (const auto& [past, would] : kVerbs)
    if (done.rfind(past, 0) == 0) return would + done.substr(std::strlen(past));
  if (const size_t at = done.find(" is now "); done.rfind("member ", 0) == 0 && at != std::string::npos)
    return done.substr(0, at) + " would be " + done.substr(at + 8);
  return done;
}

// What the outcome names: the set the request acts on or makes, and its volume id
// before the request (a set that is deleted has none after).
struct Subject {
  std::string set;
  ZM_OBJECT_ID before = 0;
};

// Prints the outcome: the set's volume as the provider published it, and the alerts.
// The JSON request has the partition requests' shape: the set is the object, a set the
// request made is also the result; a failure prints the document with its error.
int Report(Session& s, const Options& opt, size_t mark, const std::string& command, const Subject& subject,
           bool ok, const std::string& sentence, const std::vector<std::string>& backups, std::ostream& out,
           std::ostream& err) {
  const std::string message = ok && opt.dryRun ? Conditional(sentence) : sentence;
  auto alerts = s.AlertsSince(mark);
  const Machine m = Machine::Read(alerts);
  if (opt.json) {
    const ZM_OBJECT_ID after = subject.set.empty() ? 0 : SetVolume(m, subject.set);
    const ZM_OBJECT_ID object = after != 0 ? after : subject.before;
    auto idOrNull = [](ZM_OBJECT_ID id) { return id != 0 ? json(id) : json(nullptr); };
    json request = {{"command", command},
                    {"object", idOrNull(object)},
                    {"object_name", subject.set.empty() ? json(nullptr) : json(subject.set)},
                    {"status", ok ? json(0) : json(nullptr)},
                    {"message", message.empty() ? json(nullptr) : json(message)},  // what the text says
                    {"result_id", idOrNull(ok && subject.before == 0 ? after : 0)},
                    {"member_id", nullptr},
                    {"member_name", nullptr},
                    {"backups", backups}};
    if (ok)
      PrintJsonResult(out, m, {{"request", std::move(request)}});
    else
      PrintJsonFailure(out, message, nullptr, m, {{"request", std::move(request)}});
  } else {
    PrintAlerts(out, m.alerts, opt.dryRun ? "would raise alert: " : "alert: ");
    for (const auto& b : backups) out << "saved the previous table sectors as backup " << b << "\n";
    if (ok) out << message << "\n";
    PrintTree(out, m, opt);
  }
  if (!ok) {
    err << message << "\n";
    return kFailed;
  }
  return kOk;
}

// One request: backups first, the work, the backups kept, the outcome printed.
class Request {
 public:
  Request(Session& s, const Options& opt, std::string command, std::ostream& out, std::ostream& err)
      : s_(s), opt_(opt), command_(std::move(command)), out_(out), err_(err) {
    mark_ = s.AlertCount();
    backup_.Before(command_);
  }
  // Ends the table and configuration part (data passes are not kept as backups).
  void EndOfTables() {
    if (!ended_) backups_ = backup_.After(err_);
    ended_ = true;
  }
  // Names the FT set the request acts on or makes ("mirror0"), for the JSON request.
  void About(const std::string& set) {
    subject_.set = set;
    subject_.before = SetVolume(Machine::Read(), set);
  }
  int Done(bool ok, const std::string& message) {
    EndOfTables();
    return Report(s_, opt_, mark_, command_, subject_, ok, message, backups_, out_, err_);
  }

 private:
  Session& s_;
  const Options& opt_;
  std::string command_;
  std::ostream& out_;
  std::ostream& err_;
  TableBackup backup_;
  std::vector<std::string> backups_;
  Subject subject_;
  size_t mark_ = 0;
  bool ended_ = false;
};

// A disk check's reason (ftconfig's *Problem), said as the request's failure; true when
// there is one.
bool Refused(const std::string& why, const std::string& what, std::ostream& err) {
  return !why.empty() && (Fail(err, what, why), true);
}

int Usage(std::ostream& err, const std::string& text) {
  err << "ftdiskctl: " << text << "\n";
  return kUsage;
}

bool OpenOr(Session& s, const Options& opt, std::ostream& err) {
  std::string e;
  if (s.Open(opt.dir, opt.noWait, &e)) return true;
  err << e << "\n";
  return false;
}

using ftconfig::DiskWithSignature;
using ftconfig::FreeLetter;
using ftconfig::InAnySet;
using ftconfig::Intents;
using ftconfig::Publish;
using ftconfig::Resume;
using ftconfig::UpdateWithRescan;

// The stored intents loaded, a damaged list named as it is replaced.
void LoadIntents(Intents& intents, std::ostream& err) {
  if (const std::string warning = intents.Load(); !warning.empty()) err << "warning: " << warning << "\n";
}

// The preamble of the resumable requests: the intents loaded, and where this run of
// the command stands (ftconfig::FindPending).
Resume LoadPending(Intents& intents, uint16_t op, const std::string& command, ftconfig::Intent* pending,
                   std::ostream& err) {
  LoadIntents(intents, err);
  return ftconfig::FindPending(intents, op, command, pending);
}

void ForgetIntent(Intents& intents, const std::string& command, std::ostream& err) {
  if (const std::string warning = intents.Forget(command); !warning.empty())
    err << "warning: " << warning << "\n";
}

// Undoes the unfinished request (ftconfig::RollBack), a warning said.
void RollBack(Session& s, Intents& intents, const ftconfig::Intent& intent, std::ostream& err) {
  if (const std::string warning = ftconfig::RollBack(s, intents, intent); !warning.empty())
    err << "warning: " << warning << "\n";
}

// The outcome of a request whose earlier run did all its work before it was interrupted.
int AlreadyDone(Session& s, const Options& opt, const std::string& command, std::ostream& out,
                std::ostream& err) {
  Request req(s, opt, command, out, err);
  Publish(s);  // records what that run changed on the disks, if it was stopped before that
  return req.Done(
      true, "'ftdiskctl " + command + "' had done its work when it was interrupted; nothing is left to do");
}

// The data pass of a new mirror or parity set, then the set marked healthy.
bool InitializeData(Session& s, uint32_t type, uint16_t group, std::ostream& err, std::string* error) {
  std::unique_ptr<fm::Volume> v;
  if (!OpenSetVolume(type, group, type == Mirror ? 1 : -1, &v, error)) return false;
  if (!(type == Mirror ? RebuildPass(*v, type, group, 1, "copying member 0 to member 1", err, error)
                       : ParityPass(*v, type, group, err, error))) {
    *error +=
        "; the set stays initializing (ftdiskctl ft regenerate " + SetName(type, group) + " resumes it)";
    return false;
  }
  v.reset();
  bool ok = ftconfig::Update(
      [&](FTInfo& info, std::string* e) {
        return ftconfig::SetMemberState(info, type, group, -1, Healthy, e);
      },
      error);
  Publish(s);
  return ok;
}

// The rest of ft create, from its recorded intent: the planned partitions made (or
// found from an earlier run), the set recorded, its data written.
int FinishCreate(Session& s, Intents& intents, const ftconfig::Intent& intent, Request& req,
                 const std::string& what, std::ostream& err) {
  req.About(SetName(intent.type, intent.group));
  const uint32_t type = intent.type;
  const uint16_t group = intent.group;
  const bool needsData = type == Mirror || type == StripeWithParity;
  std::string e, names;
  FTInfo info;
  ftconfig::SetView view;
  bool recorded = ftconfig::Read(&info, &e) && ftconfig::FindSet(info, type, group, &view) &&
                  view.members.size() == intent.parts.size();
  for (size_t i = 0; recorded && i < view.members.size(); ++i)
    recorded = view.members[i].where == intent.parts[i].where;
  std::vector<Part> parts(intent.parts.size());
  for (size_t i = 0; i < intent.parts.size(); ++i) {
    const auto& plan = intent.parts[i];
    bool ok = recorded || !plan.mine ? FindPartAt(plan.where, &parts[i])
                                     : Ok(ftconfig::MakePlanned(s, plan, &parts[i]), &e);
    if (!ok && !recorded && !plan.mine) e = "member " + std::to_string(i) + "'s partition is gone";
    if (!ok && !recorded) {
      RollBack(s, intents, intent, err);
      return req.Done(false, what + ": " + e + " (the partitions this request made are deleted again)");
    }
    names += " " + (ok ? parts[i].name : "member " + std::to_string(i));
  }
  if (!recorded) {
    for (size_t i = 1; i < parts.size(); ++i)
      if (!Ok(ftconfig::DropLetter(s, &parts[i]), &e)) {
        RollBack(s, intents, intent, err);
        return req.Done(false, what + ": " + e);
      }
    std::vector<ftconfig::PartitionRef> refs;
    for (const auto& p : intent.parts) refs.push_back(p.where);
    // A mirror's new member and every member of a parity set wait for the data pass.
    bool ok = MarkMembers(refs, true, &e) &&
              UpdateWithRescan(
                  s,
                  [&](FTInfo& cfg, std::string* why) {
                    if (!ftconfig::AddSet(cfg, type, group, refs, Healthy, why)) return false;
                    return !needsData || ftconfig::SetMemberState(cfg, type, group, type == Mirror ? 1 : -1,
                                                                  Initializing, why);
                  },
                  &e);
    if (!ok) {
      RollBack(s, intents, intent, err);
      return req.Done(false, what + ": " + e);
    }
    DropJournal(type, group);
    // The set is published once its data is whole; the configuration says initializing
    // until then, so an interrupted pass is seen at the next boot.
    if (!needsData) Publish(s);
  }
  req.EndOfTables();
  if (needsData && (!recorded || view.state == FtInitializing) && !InitializeData(s, type, group, err, &e))
    return req.Done(false, what + ": " + e + "; run 'ftdiskctl " + intent.command + "' again to finish it");
  ForgetIntent(intents, intent.command, err);
  return req.Done(true, "made " + SetName(type, group) + " from" + names);
}

int CreateSet(Session& s, const Options& opt, const std::string& kind, const std::string& volumeArg,
              const std::vector<unsigned>& disks, const std::vector<std::string>& sizeTexts,
              std::ostream& out, std::ostream& err) {
  const std::string what = "cannot create the " + kind;
  uint32_t type = 0;
  ftconfig::TypeFromWord(kind, &type);
  if (!OpenOr(s, opt, err)) return kFailed;
  std::string command = "ft create " + kind;
  if (type == Mirror) command += " " + volumeArg;
  for (unsigned d : disks) command += " --disk " + std::to_string(d);
  for (const auto& size : sizeTexts) command += " --size " + size;
  Intents intents;
  ftconfig::Intent pending;
  const Resume resume = LoadPending(intents, ftconfig::Intent::kCreate, command, &pending, err);
  if (resume == Resume::kPending) {
    Request req(s, opt, command, out, err);
    return FinishCreate(s, intents, pending, req, what, err);
  }
  if (resume == Resume::kDone) return AlreadyDone(s, opt, command, out, err);

  const Machine machine = Machine::Read();
  FTInfo info;
  std::string e;
  if (!ftconfig::Read(&info, &e)) return Fail(err, what, e), kFailed;
  std::vector<uint64_t> sizes;
  Part first;
  std::vector<ftconfig::Candidate> candidates;
  if (type == Mirror) {
    if (volumeArg.empty() || disks.size() != 1) return Usage(err, "ft create mirror VOLUME --disk N");
    if (!Ok(ftconfig::FindPart(machine, volumeArg, &first), &e)) return Fail(err, what, e), kFailed;
    if (!machine.FindDisk(disks[0]))
      return Fail(err, what, "there is no disk " + std::to_string(disks[0])), kFailed;
    candidates.push_back(AsCandidate(first));
    candidates.push_back({{}, disks[0], false, "the new partition on disk " + std::to_string(disks[0])});
  } else {
    if (!volumeArg.empty()) return Usage(err, "ft create " + kind + " takes --disk and --size, not a VOLUME");
    if (disks.empty() || sizeTexts.empty())
      return Usage(err, "ft create " + kind + " --size SIZE --disk N --disk M...");
    if (sizeTexts.size() != 1 && (type != VolumeSet || sizeTexts.size() != disks.size()))
      return Usage(
          err, type == VolumeSet ? "give one --size, or one per --disk" : "give one --size for every member");
    for (size_t i = 0; i < disks.size(); ++i) {
      uint64_t size = 0;
      if (!ParseSize(sizeTexts[sizeTexts.size() == 1 ? 0 : i], false, &size, &e)) return Usage(err, e);
      if (!machine.FindDisk(disks[i]))
        return Fail(err, what, "there is no disk " + std::to_string(disks[i])), kFailed;
      sizes.push_back(size);
      candidates.push_back({{0, -1 - static_cast<int64_t>(i), 0},
                            disks[i],
                            false,
                            "the new partition on disk " + std::to_string(disks[i])});
    }
  }
  std::vector<unsigned> recorded = disks;
  if (type == Mirror) recorded.push_back(first.disk);
  if (Refused(ftconfig::TargetDisksProblem(machine, disks), what, err) ||
      Refused(ftconfig::SignaturesProblem(machine, recorded), what, err))
    return kFailed;
  std::string rule = ftconfig::CheckNewSet(info, type, candidates);
  if (!rule.empty()) return Fail(err, what, rule), kFailed;

  // Where each new partition goes. Members of a mirror, stripe set or parity set get at
  // least the length the largest of them gets (a mirror's: member 0's), so that a member
  // starting on the disk's first track is as large as one on a cylinder boundary.
  std::map<unsigned, Disk> plannedDisks;  // each disk's free space as the plans leave it
  for (unsigned d : disks) plannedDisks[d] = *machine.FindDisk(d);
  int64_t wanted = type == Mirror ? first.where.length : 0;
  if (type == Stripe || type == StripeWithParity)
    for (size_t i = 0; i < disks.size(); ++i) {
      ftconfig::Placement at;
      wanted =
          std::max(wanted, PlanRequest(plannedDisks[disks[i]], int64_t(sizes[i]), &at) ? at.length
                                                                                       : int64_t(sizes[i]));
    }
  ftconfig::Intent intent{ftconfig::Intent::kCreate, type, intents.FreeGroup(info, type), 0, command, {}};
  if (type == Mirror) intent.parts.push_back({first.where, false, 0, 0});
  for (size_t i = 0; i < disks.size(); ++i) {
    Disk& disk = plannedDisks[disks[i]];
    const uint32_t signature = static_cast<uint32_t>(disk.signature);
    const std::string blocked = intents.Blocking(signature);
    if (!blocked.empty())
      return Fail(err, what, "disk " + std::to_string(disks[i]) + ": " + blocked), kFailed;
    ftconfig::Placement at;
    const bool placed =
        type == VolumeSet ? PlanRequest(disk, int64_t(sizes[i]), &at) : PlanAtLeast(disk, wanted, &at);
    if (!placed)
      return Fail(err, what,
                  "no free region of disk " + std::to_string(disks[i]) +
                      " outside the extended partition holds " +
                      FormatSize(uint64_t(type == VolumeSet ? int64_t(sizes[i]) : wanted)) +
                      (type == VolumeSet ? "" : " (" + std::to_string(wanted) + " bytes are needed)")),
             kFailed;
    intent.parts.push_back({{signature, at.offset, at.length}, true, at.freeOffset, at.request});
    // A second member on the same disk goes behind the first.
    for (Region& r : disk.regions)
      if (r.IsFree() && static_cast<int64_t>(r.offset) == at.freeOffset) {
        const int64_t end = static_cast<int64_t>(r.offset + r.length);
        r.offset = static_cast<uint64_t>(at.offset + at.length);
        r.length = static_cast<uint64_t>(end - (at.offset + at.length));
      }
  }
  std::vector<int64_t> lengths;
  std::vector<uint32_t> signatures;
  for (const auto& p : intent.parts)
    lengths.push_back(p.where.length), signatures.push_back(p.where.signature);
  rule = ftconfig::MemberSizesProblem(type, lengths, LargestCylinder(machine, signatures));
  if (!rule.empty()) return Fail(err, what, "the planned members: " + rule), kFailed;

  Request req(s, opt, command, out, err);
  if (!intents.Record(intent, &e)) return req.Done(false, what + ": " + e);
  return FinishCreate(s, intents, intent, req, what, err);
}

bool LoadSet(const std::string& what, const std::string& setArg, uint32_t* type, uint16_t* group,
             ftconfig::SetView* view, std::ostream& err) {
  std::string e;
  if (!ResolveSet(Machine::Read(), setArg, type, group, &e)) return Fail(err, what, e);
  FTInfo info;
  if (!ftconfig::Read(&info, &e)) return Fail(err, what, e);
  if (!ftconfig::FindSet(info, *type, *group, view))
    return Fail(err, what, "there is no " + SetName(*type, *group));
  return true;
}

int BreakOrDelete(Session& s, const Options& opt, const std::string& setArg, bool remove, std::ostream& out,
                  std::ostream& err) {
  const std::string what = remove ? "cannot delete the set" : "cannot break the mirror";
  if (!OpenOr(s, opt, err)) return kFailed;
  const std::string command = (remove ? "ft delete " : "ft break ") + setArg;
  Intents intents;
  ftconfig::Intent pending;
  const Resume resume =
      remove ? LoadPending(intents, ftconfig::Intent::kDelete, command, &pending, err) : Resume::kNew;
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  std::string e;
  if (resume == Resume::kPending) {
    // The set went from the configuration before the run was interrupted: its partitions
    // are deleted now.
    FTInfo info;
    if (ftconfig::Read(&info, &e) && !ftconfig::FindSet(info, pending.type, pending.group, &view)) {
      Request req(s, opt, command, out, err);
      std::string done;
      req.About(SetName(pending.type, pending.group));
      if (!Ok(ftconfig::DeleteMembers(s, pending, "", &done), &e)) return req.Done(false, what + ": " + e);
      ForgetIntent(intents, command, err);
      return req.Done(true, done);
    }
  }
  if (resume == Resume::kDone) return AlreadyDone(s, opt, command, out, err);
  if (!LoadSet(what, setArg, &type, &group, &view, err)) return kFailed;
  if (!remove && type != Mirror) return Fail(err, what, setArg + " is not a mirror"), kFailed;
  std::vector<unsigned> memberDisks;  // whose tables a delete rewrites
  for (const auto& d : ntp::Disks())
    for (const auto& m : view.members)
      if (remove && m.where.signature == d.signature) memberDisks.push_back(d.index);
  if (Refused(ftconfig::ReadOnlyDisksProblem(memberDisks), what, err)) return kFailed;
  // A broken mirror's letter stays with the member that holds the data.
  unsigned keeper = 0;
  if (!remove) {
    const bool first = MemberHoldsData(type, view.members[0].state);
    const bool second = view.members.size() > 1 && MemberHoldsData(type, view.members[1].state);
    if (!first && !second)
      return Fail(
                 err, what,
                 "neither member is recorded as holding the mirror's data; regenerate one from the other, or "
                 "record the one that holds it as healthy (ftdiskctl ft edit member " +
                     SetName(type, group) + " N --state healthy) first"),
             kFailed;
    keeper = first ? 0 : 1;
  }
  Request req(s, opt, command, out, err);
  // What the request acts on, named with the start and size of each partition.
  req.About(SetName(type, group));
  const std::string members = MembersSummary(Machine::Read(), SetName(type, group));
  ftconfig::Intent intent{ftconfig::Intent::kDelete, type, group, 0, command, {}};
  for (const auto& m : view.members) intent.parts.push_back({m.where, true, 0, 0});
  if (remove && !intents.Record(intent, &e)) return req.Done(false, what + ": " + e);
  // The members lose the fault-tolerance flag before the set goes, so that no
  // interruption leaves flagged partitions that ft find would take for the set again.
  std::vector<ftconfig::PartitionRef> refs;
  for (const auto& m : view.members) refs.push_back(m.where);
  if (!MarkMembers(refs, false, &e)) err << "note: " << e << "; the partitions keep the FT flag\n";
  // The provider deletes only plain partitions, so the set goes first; an interruption
  // then leaves plain partitions that the intent names.
  if (!ftconfig::Update(
          [&](FTInfo& info, std::string* why) { return ftconfig::RemoveSet(info, type, group, why, keeper); },
          &e)) {
    std::string ignored;
    MarkMembers(refs, true, &ignored);
    return req.Done(false, what + ": " + e);
  }
  DropJournal(type, group);
  Publish(s);
  if (!remove) {
    if (!Ok(ftconfig::GiveBrokenMirrorLetters(s, view, keeper), &e)) return req.Done(false, what + ": " + e);
    return req.Done(true, "broke " + SetName(type, group) + " into two partitions: " + members + "; member " +
                              std::to_string(keeper) + " keeps the letter");
  }
  std::string done;
  if (!Ok(ftconfig::DeleteMembers(s, intent, members, &done), &e)) return req.Done(false, what + ": " + e);
  ForgetIntent(intents, command, err);
  return req.Done(true, done);
}

// The rest of ft extend, from its intent.
int FinishExtend(Session& s, Intents& intents, const ftconfig::Intent& intent, Request& req,
                 const std::string& what, std::ostream& err) {
  req.About(SetName(intent.type, intent.group));
  std::string e;
  FTInfo info;
  ftconfig::SetView view;
  if (!ftconfig::Read(&info, &e) || !ftconfig::FindSet(info, intent.type, intent.group, &view)) {
    RollBack(s, intents, intent, err);
    return req.Done(false,
                    what + ": " + (e.empty() ? "there is no " + SetName(intent.type, intent.group) : e));
  }
  Part made;
  const bool member = std::any_of(view.members.begin(), view.members.end(),
                                  [&](const auto& m) { return m.where == intent.parts[0].where; });
  if (!member) {
    if (!Ok(ftconfig::MakePlanned(s, intent.parts[0], &made), &e) ||
        !Ok(ftconfig::DropLetter(s, &made), &e) || !MarkMembers({made.where}, true, &e) ||
        !UpdateWithRescan(
            s,
            [&](FTInfo& cfg, std::string* why) {
              return ftconfig::AppendMember(cfg, intent.type, intent.group, made.where, why);
            },
            &e)) {
      RollBack(s, intents, intent, err);
      return req.Done(false, what + ": " + e);
    }
    Publish(s);
  } else {
    FindPartAt(intent.parts[0].where, &made);
  }
  ForgetIntent(intents, intent.command, err);
  return req.Done(true, "extended " + SetName(intent.type, intent.group) + " by " + made.name);
}

int Extend(Session& s, const Options& opt, const std::string& setArg, const std::vector<unsigned>& disks,
           const std::vector<std::string>& sizeTexts, std::ostream& out, std::ostream& err) {
  const std::string what = "cannot extend the volume set";
  if (disks.size() != 1 || sizeTexts.size() != 1) return Usage(err, "ft extend VOLSET --disk N --size SIZE");
  uint64_t size = 0;
  std::string e;
  if (!ParseSize(sizeTexts[0], false, &size, &e)) return Usage(err, e);
  if (!OpenOr(s, opt, err)) return kFailed;
  const std::string command =
      "ft extend " + setArg + " --disk " + std::to_string(disks[0]) + " --size " + sizeTexts[0];
  Intents intents;
  ftconfig::Intent pending;
  const Resume resume = LoadPending(intents, ftconfig::Intent::kExtend, command, &pending, err);
  if (resume == Resume::kPending) {
    Request req(s, opt, command, out, err);
    return FinishExtend(s, intents, pending, req, what, err);
  }
  if (resume == Resume::kDone) return AlreadyDone(s, opt, command, out, err);
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  if (!LoadSet(what, setArg, &type, &group, &view, err)) return kFailed;
  if (type != VolumeSet) return Fail(err, what, setArg + " is not a volume set"), kFailed;
  if (view.members.size() >= ftconfig::kMaxMembers)
    return Fail(err, what, "a volume set has at most 32 members"), kFailed;
  const Machine machine = Machine::Read();
  if (Refused(ftconfig::TargetDisksProblem(machine, disks), what, err) ||
      Refused(ftconfig::SignaturesProblem(machine, disks), what, err))
    return kFailed;
  const Disk* disk = machine.FindDisk(disks[0]);
  const uint32_t signature = static_cast<uint32_t>(disk->signature);
  const std::string blocked = intents.Blocking(signature);
  if (!blocked.empty()) return Fail(err, what, "disk " + std::to_string(disks[0]) + ": " + blocked), kFailed;
  ftconfig::Placement at;
  if (!PlanRequest(*disk, int64_t(size), &at))
    return Fail(err, what,
                "no free region of disk " + std::to_string(disks[0]) +
                    " outside the extended partition holds " + FormatSize(size)),
           kFailed;
  ftconfig::Intent intent{ftconfig::Intent::kExtend, type, group, 0, command, {}};
  intent.parts.push_back({{signature, at.offset, at.length}, true, at.freeOffset, at.request});
  Request req(s, opt, command, out, err);
  if (!intents.Record(intent, &e)) return req.Done(false, what + ": " + e);
  return FinishExtend(s, intents, intent, req, what, err);
}

// Rebuilds one member of a mirror or parity set from the others and marks it healthy.
bool RebuildMember(Session& s, uint32_t type, uint16_t group, unsigned member, std::ostream& err,
                   std::string* error) {
  std::unique_ptr<fm::Volume> v;
  if (!OpenSetVolume(type, group, int(member), &v, error)) return false;
  if (!ftconfig::Update(
          [&](FTInfo& info, std::string* why) {
            return ftconfig::SetMemberState(info, type, group, int(member), Regenerating, why);
          },
          error))
    return false;
  Publish(s);
  const bool rebuilt =
      RebuildPass(*v, type, group, member, "regenerating member " + std::to_string(member), err, error);
  v.reset();
  if (!rebuilt) {
    *error += "; the member stays regenerating (the same command resumes it)";
    return false;
  }
  bool ok = ftconfig::Update(
      [&](FTInfo& info, std::string* why) {
        return ftconfig::SetMemberState(info, type, group, int(member), Healthy, why);
      },
      error);
  Publish(s);
  return ok;
}

// The rest of ft regenerate --onto, from its intent: the new partition made (or found),
// recorded as the member, rebuilt.
int FinishReplace(Session& s, Intents& intents, const ftconfig::Intent& intent, Request& req,
                  const std::string& what, std::ostream& err) {
  req.About(SetName(intent.type, intent.group));
  const uint32_t type = intent.type;
  const uint16_t group = intent.group;
  const unsigned member = intent.member;
  std::string e;
  FTInfo info;
  ftconfig::SetView view;
  if (!ftconfig::Read(&info, &e) || !ftconfig::FindSet(info, type, group, &view) ||
      member >= view.members.size()) {
    RollBack(s, intents, intent, err);
    return req.Done(false, what + ": " + (e.empty() ? "there is no " + SetName(type, group) : e));
  }
  Part made, old;
  // The record of a partition that is gone (its disk died) goes with it.
  const bool gone = !FindPartAt(view.members[member].where, &old);
  if (view.members[member].where != intent.parts[0].where) {
    if (!Ok(ftconfig::MakePlanned(s, intent.parts[0], &made), &e) ||
        !Ok(ftconfig::DropLetter(s, &made), &e) || !MarkMembers({made.where}, true, &e) ||
        // The partition replaced, when it is still there, is a member no more.
        (!gone && !MarkMembers({old.where}, false, &e)) ||
        !UpdateWithRescan(
            s,
            [&](FTInfo& cfg, std::string* why) {
              return ftconfig::ReplaceMember(cfg, type, group, member, made.where, Regenerating, gone, why);
            },
            &e)) {
      std::string ignored;
      if (!gone) MarkMembers({old.where}, true, &ignored);
      RollBack(s, intents, intent, err);
      return req.Done(false, what + ": " + e);
    }
    DropJournal(type, group);  // it names the members the set had
    Publish(s);
  } else if (!FindPartAt(intent.parts[0].where, &made)) {
    return req.Done(false, what + ": the new partition of member " + std::to_string(member) + " is gone");
  }
  req.EndOfTables();
  if (!RebuildMember(s, type, group, member, err, &e))
    return req.Done(false, what + ": " + e + "; run 'ftdiskctl " + intent.command + "' again to finish it");
  ForgetIntent(intents, intent.command, err);
  return req.Done(true, "regenerated member " + std::to_string(member) + " of " + SetName(type, group) +
                            " onto " + made.name);
}

// ft regenerate SET [MEMBER] --onto DISK: the member gets a new partition on DISK, of its
// recorded size or the least larger one the provider's rounding gives.
int RegenerateOnto(Session& s, const Options& opt, const std::string& setArg, int member, unsigned onto,
                   std::ostream& out, std::ostream& err) {
  const std::string what = "cannot regenerate the set";
  const std::string command = "ft regenerate " + setArg + (member >= 0 ? " " + std::to_string(member) : "") +
                              " --onto " + std::to_string(onto);
  Intents intents;
  ftconfig::Intent pending;
  const Resume resume = LoadPending(intents, ftconfig::Intent::kReplace, command, &pending, err);
  if (resume == Resume::kPending) {
    Request req(s, opt, command, out, err);
    return FinishReplace(s, intents, pending, req, what, err);
  }
  if (resume == Resume::kDone) return AlreadyDone(s, opt, command, out, err);
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  if (!LoadSet(what, setArg, &type, &group, &view, err)) return kFailed;
  if (type != Mirror && type != StripeWithParity)
    return Fail(err, what, "only mirrors and stripe sets with parity hold the data to rebuild a member"),
           kFailed;
  if (member < 0)
    for (size_t i = 0; i < view.members.size() && member < 0; ++i)
      if (view.members[i].state != Healthy) member = int(i);
  if (member < 0)
    return Fail(err, what, setArg + " has no orphaned member; name the one to replace"), kFailed;
  if (member >= int(view.members.size()))
    return Fail(err, what, setArg + " has no member " + std::to_string(member)), kFailed;
  const std::string sources = RebuildSourcesProblem(view, unsigned(member));
  if (!sources.empty()) return Fail(err, what, sources), kFailed;
  const Machine machine = Machine::Read();
  const Disk* disk = machine.FindDisk(onto);
  if (disk == nullptr) return Fail(err, what, "there is no disk " + std::to_string(onto)), kFailed;
  if (Refused(ftconfig::TargetDisksProblem(machine, {onto}), what, err)) return kFailed;
  const uint32_t signature = static_cast<uint32_t>(disk->signature);
  for (size_t i = 0; i < view.members.size(); ++i)
    if (view.members[i].where.signature == signature && signature != 0)
      return Fail(err, what,
                  "disk " + std::to_string(onto) + " holds member " + std::to_string(i) + " of " +
                      SetName(type, group) +
                      (int(i) == member ? " already; regenerate it in place (ftdiskctl ft regenerate " +
                                              SetName(type, group) + " " + std::to_string(member) + ")"
                                        : "; the members must be on different disks")),
             kFailed;
  const int64_t wanted = view.members[member].where.length;
  ftconfig::Placement at;
  if (!PlanAtLeast(*disk, wanted, &at))
    return Fail(err, what,
                "disk " + std::to_string(onto) +
                    " has no free region outside the extended partition that holds " + "member " +
                    std::to_string(member) + "'s " + std::to_string(wanted) + " bytes (" +
                    FormatSize(uint64_t(wanted)) + ", rounded up to a cylinder boundary)"),
           kFailed;
  const std::string blocked = intents.Blocking(signature);
  if (!blocked.empty()) return Fail(err, what, "disk " + std::to_string(onto) + ": " + blocked), kFailed;
  // A blank disk gets a fresh signature first (in a boot of its own: the host learns
  // disk signatures when it starts).
  if (signature == 0) {
    if (opt.dryRun)
      return Fail(err, what,
                  "disk " + std::to_string(onto) +
                      " has no signature; a dry run cannot show what follows the fresh one it needs"),
             kFailed;
    s.Close();
    SignatureChange change;
    std::string e;
    if (!WriteSignature(opt, onto, false, &change, &e))
      return Fail(err, what, "cannot write a signature on disk " + std::to_string(onto) + ": " + e), kFailed;
    if (!opt.json) PrintSignatureChange(out, change);
    if (!OpenOr(s, opt, err)) return kFailed;
    return RegenerateOnto(s, opt, setArg, member, onto, out, err);
  }
  if (Refused(ftconfig::SignaturesProblem(machine, {onto}), what, err)) return kFailed;
  ftconfig::Intent intent{ftconfig::Intent::kReplace, type, group, uint16_t(member), command, {}};
  intent.parts.push_back({{signature, at.offset, at.length}, true, at.freeOffset, at.request});
  Request req(s, opt, command, out, err);
  std::string e;
  if (!intents.Record(intent, &e)) return req.Done(false, what + ": " + e);
  return FinishReplace(s, intents, intent, req, what, err);
}

int Regenerate(Session& s, const Options& opt, const std::string& setArg, int member, int onto,
               std::ostream& out, std::ostream& err) {
  const std::string what = "cannot regenerate the set";
  if (!OpenOr(s, opt, err)) return kFailed;
  if (onto >= 0) return RegenerateOnto(s, opt, setArg, member, unsigned(onto), out, err);
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  if (!LoadSet(what, setArg, &type, &group, &view, err)) return kFailed;
  if (type != Mirror && type != StripeWithParity)
    return Fail(err, what, "only mirrors and stripe sets with parity hold the data to rebuild a member"),
           kFailed;
  if (view.state == FtInitializing) {
    // An initialization that was interrupted is done again from the start.
    Request req(s, opt, "ft regenerate " + setArg, out, err);
    req.About(SetName(type, group));
    std::string e;
    if (!InitializeData(s, type, group, err, &e)) return req.Done(false, what + ": " + e);
    return req.Done(true, "initialized " + SetName(type, group));
  }
  if (member < 0) {
    for (size_t i = 0; i < view.members.size(); ++i)
      if (view.members[i].state != Healthy) {
        member = static_cast<int>(i);
        break;
      }
    if (member < 0)
      return Fail(err, what, setArg + " has no orphaned member; name one to rebuild it anyway"), kFailed;
  }
  if (member >= static_cast<int>(view.members.size()))
    return Fail(err, what, setArg + " has no member " + std::to_string(member)), kFailed;
  const std::string sources = RebuildSourcesProblem(view, unsigned(member));
  if (!sources.empty()) return Fail(err, what, sources), kFailed;
  std::u16string device;
  const auto& where = view.members[member].where;
  if (!fm::FindPartitionDevice(where.signature, where.offset, where.length, &device)) {
    std::vector<uint32_t> signatures;
    for (const auto& m : view.members) signatures.push_back(m.where.signature);
    const int disk = ReplacementDisk(Machine::Read(), signatures, where.length);
    return Fail(err, what,
                "member " + std::to_string(member) +
                    "'s partition is not on the disks; rebuild it onto another disk " +
                    (disk >= 0 ? "(ftdiskctl ft regenerate " + SetName(type, group) + " " +
                                     std::to_string(member) + " --onto " + std::to_string(disk) + ")"
                               : "with room for " + std::to_string(where.length) +
                                     " bytes (attach one, then ftdiskctl ft regenerate " +
                                     SetName(type, group) + " " + std::to_string(member) + " --onto DISK)")),
           kFailed;
  }
  Request req(s, opt, "ft regenerate " + setArg + " " + std::to_string(member), out, err);
  req.About(SetName(type, group));
  req.EndOfTables();
  std::string e;
  if (!RebuildMember(s, type, group, unsigned(member), err, &e)) return req.Done(false, what + ": " + e);
  return req.Done(true, "regenerated member " + std::to_string(member) + " of " + SetName(type, group));
}

int EditDefine(Session& s, const Options& opt, const std::string& kind, int group,
               const std::vector<std::string>& memberArgs, bool assumeClean, std::ostream& out,
               std::ostream& err) {
  const std::string what = "cannot define the set";
  uint32_t type = 0;
  if (!ftconfig::TypeFromWord(kind, &type)) return Usage(err, "the type is mirror, stripe, parity or volset");
  if (group > 0xFFFE) return Usage(err, "--group is 0 to 65534");
  if (!OpenOr(s, opt, err)) return kFailed;
  ftconfig::Definition d;
  std::string e, done;
  if (!Ok(ftconfig::PlanDefinition(Machine::Read(), type, group, memberArgs, assumeClean, &d), &e))
    return Fail(err, what, e), kFailed;
  Request req(s, opt, "ft edit define " + kind, out, err);
  req.About(SetName(type, d.group));
  if (!Ok(ftconfig::Define(s, d, &done), &e)) return req.Done(false, what + ": " + e);
  return req.Done(true, done);
}

int EditDrop(Session& s, const Options& opt, const std::string& setArg, std::ostream& out,
             std::ostream& err) {
  const std::string what = "cannot drop the set";
  if (!OpenOr(s, opt, err)) return kFailed;
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  if (!LoadSet(what, setArg, &type, &group, &view, err)) return kFailed;
  Request req(s, opt, "ft edit drop " + setArg, out, err);
  req.About(SetName(type, group));
  std::string e, done;
  if (!Ok(ftconfig::Drop(s, type, group, &done), &e)) return req.Done(false, what + ": " + e);
  return req.Done(true, done);
}

int EditMember(Session& s, const Options& opt, const std::string& setArg, int member,
               const std::string& stateWord, std::ostream& out, std::ostream& err) {
  const std::string what = "cannot change the member";
  uint32_t state = 0;
  if (!ftconfig::MemberStateFromWord(stateWord, &state))
    return Usage(err, "--state is healthy, orphaned, regenerating or initializing");
  if (member < 0) return Usage(err, "give the member number");
  if (!OpenOr(s, opt, err)) return kFailed;
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  if (!LoadSet(what, setArg, &type, &group, &view, err)) return kFailed;
  Request req(s, opt, "ft edit member " + setArg + " " + std::to_string(member) + " --state " + stateWord,
              out, err);
  req.About(SetName(type, group));
  std::string e, done;
  if (!Ok(ftconfig::SetMember(s, type, group, member, state, &done), &e))
    return req.Done(false, what + ": " + e);
  return req.Done(true, done);
}

}  // namespace

namespace {

std::string NoSetNamed(const std::string& text) {
  return "'" + text + "' names no FT set (mirrorG, stripeG, parityG, volsetG or the set's letter)";
}

}  // namespace

// A set argument that is neither a set's name nor a drive letter is a usage error.
bool SetArgumentFails(const std::string& text, std::ostream& err) {
  uint32_t type = 0;
  uint16_t group = 0;
  VolumeSpec spec;
  std::string e;
  if (ftdata::ParseSetName(text, &type, &group) ||
      (ParseVolumeSpec(text, &spec, &e) && spec.kind == VolumeSpec::Letter))
    return false;
  err << "ftdiskctl: " << NoSetNamed(text) << "\n";
  return true;
}

bool ResolveSet(const Machine& m, const std::string& text, uint32_t* type, uint16_t* group,
                std::string* error) {
  if (ftdata::ParseSetName(text, type, group)) return true;
  VolumeSpec spec;
  std::string e;
  if (ParseVolumeSpec(text, &spec, &e) && spec.kind == VolumeSpec::Letter) {
    ZM_OBJECT_ID id = m.ResolveVolume(text, false, error);
    if (id == 0) return false;
    if (const Volume* v = m.FindVolume(id); v && v->ftGroup && v->volumeType >= 5 && v->volumeType <= 8) {
      static const uint32_t kFt[] = {VolumeSet, Stripe, Mirror, StripeWithParity};
      *type = kFt[v->volumeType - 5];
      *group = static_cast<uint16_t>(*v->ftGroup);
      return true;
    }
    *error = text + " is not an FT volume";
    return false;
  }
  *error = NoSetNamed(text);
  return false;
}

// The handlers of the ft commands (the command table calls them).
int CmdFtCreate(Session& s, const Options& opt, const std::string& kind, const std::string& volume,
                const std::vector<unsigned>& disks, const std::vector<std::string>& sizes, std::ostream& out,
                std::ostream& err) {
  return CreateSet(s, opt, kind, volume, disks, sizes, out, err);
}
int CmdFtExtend(Session& s, const Options& opt, const std::string& set, const std::vector<unsigned>& disks,
                const std::vector<std::string>& sizes, std::ostream& out, std::ostream& err) {
  return Extend(s, opt, set, disks, sizes, out, err);
}
int CmdFtBreak(Session& s, const Options& opt, const std::string& set, std::ostream& out, std::ostream& err) {
  return BreakOrDelete(s, opt, set, false, out, err);
}
int CmdFtDelete(Session& s, const Options& opt, const std::string& set, std::ostream& out,
                std::ostream& err) {
  return BreakOrDelete(s, opt, set, true, out, err);
}
int CmdFtRegenerate(Session& s, const Options& opt, const std::string& set, int member, int onto,
                    std::ostream& out, std::ostream& err) {
  return Regenerate(s, opt, set, member, onto, out, err);
}
int CmdFtEditDefine(Session& s, const Options& opt, const std::string& kind, int group,
                    const std::vector<std::string>& members, bool assumeClean, std::ostream& out,
                    std::ostream& err) {
  return EditDefine(s, opt, kind, group, members, assumeClean, out, err);
}
int CmdFtEditDrop(Session& s, const Options& opt, const std::string& set, std::ostream& out,
                  std::ostream& err) {
  return EditDrop(s, opt, set, out, err);
}
int CmdFtEditMember(Session& s, const Options& opt, const std::string& set, int member,
                    const std::string& state, std::ostream& out, std::ostream& err) {
  return EditMember(s, opt, set, member, state, out, err);
}

}  // namespace cli
