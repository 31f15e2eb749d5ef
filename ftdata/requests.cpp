// The FT requests carried out end to end, from the checks to the data pass.
#include "requests.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

#include "ftconfig.h"
#include "ftedit.h"
#include "ftintent.h"
#include "ftparts.h"
#include "ftplan.h"
#include "ftrequest.h"
#include "ftset.h"
#include "machine.h"
#include "ntplatform.h"
#include "overlay.h"
#include "passes.h"
#include "status_text.h"
#include "table_backups.h"
#include "zmhost.h"

namespace ftdata {

namespace {

namespace fm = ntp::ftmap;

using ftconfig::AsCandidate;
using ftconfig::FindPartAt;
using ftconfig::Intents;
using ftconfig::Part;
using ftconfig::Publish;
using ftconfig::RebuildSourcesProblem;
using ftconfig::Resume;
using ftconfig::SetName;
using ftconfig::SetVolume;
using ftconfig::UpdateWithRescan;
using model::Disk;
using model::Machine;
using model::Region;

void Note(const RequestHooks& h, const std::string& line) {
  if (h.note) h.note(line);
}

// A refusal before anything was written: "cannot create the mirror: why".
ntp::Status Refuse(const std::string& what, const std::string& why) {
  return ntp::Status(0, what + ": " + why);
}

// A step's failure in words, the code named when it has one; true when it succeeded.
bool Ok(const ntp::Status& st, std::string* error) {
  if (st.ok()) return true;
  *error = st.code() != 0 ? model::FailureSentence(st.message(), st.code()) : st.message();
  return false;
}

// One request once its checks passed: backups first, the work, the backups kept.
class Run {
 public:
  Run(const std::string& command, const RequestHooks& h, RequestResult* r) : h_(h), r_(r) {
    r_->started = true;
    r_->command = command;
    backup_.Before(command);
  }
  // Ends the table and configuration part (data passes are not kept as backups).
  void EndOfTables() {
    if (ended_) return;
    ended_ = true;
    std::ostringstream warnings;
    r_->backups = backup_.After(warnings);
    std::istringstream lines(warnings.str());
    for (std::string line; std::getline(lines, line);) Note(h_, line);
  }
  // Names the FT set the request acts on or makes, and its volume before the request.
  void About(const std::string& set) {
    r_->set = set;
    r_->before = SetVolume(Machine::Read(), set);
  }
  ntp::Status Done(bool ok, const std::string& message) {
    EndOfTables();
    if (!ok) return ntp::Status(0, message);
    r_->done = message;
    return {};
  }

 private:
  const RequestHooks& h_;
  RequestResult* r_;
  ntp::table_backups::TableBackup backup_;
  bool ended_ = false;
};

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

// A data pass (member >= 0: that member rebuilt; -1: the parity written); a dry run
// leaves the data as it is.
bool DataPass(fm::Volume& v, uint32_t type, uint16_t group, int member, const std::string& what,
              const RequestHooks& h, std::string* error) {
  if (ntp::OverlayActive()) {
    Note(h, "dry run: the data pass (" + what + ", " + model::FormatSize(v.MemberSpan()) +
                " per member) is not run");
    return true;
  }
  const ntp::Status st =
      RunPass(v, type, group, member, h.progress ? h.progress(what) : nullptr, [&](uint64_t from) {
        Note(h, what + ": resuming where the last run stopped (member offset " + std::to_string(from) + ")");
      });
  if (!st.ok()) *error = st.message();
  return st.ok();
}

// The stored intents loaded, a damaged list named as it is replaced; where this run of
// the command stands (ftconfig::FindPending).
Resume LoadPending(Intents& intents, uint16_t op, const std::string& command, ftconfig::Intent* pending,
                   const RequestHooks& h) {
  if (const std::string warning = intents.Load(); !warning.empty()) Note(h, "warning: " + warning);
  return ftconfig::FindPending(intents, op, command, pending);
}

void ForgetIntent(Intents& intents, const std::string& command, const RequestHooks& h) {
  if (const std::string warning = intents.Forget(command); !warning.empty()) Note(h, "warning: " + warning);
}

// Undoes the unfinished request (ftconfig::RollBack), a warning said.
void RollBack(zm::Session& s, Intents& intents, const ftconfig::Intent& intent, const RequestHooks& h) {
  if (const std::string warning = ftconfig::RollBack(s, intents, intent); !warning.empty())
    Note(h, "warning: " + warning);
}

// The outcome of a request whose earlier run did all its work before it was interrupted.
ntp::Status AlreadyDone(zm::Session& s, const std::string& command, const RequestHooks& h, RequestResult* r) {
  Run run(command, h, r);
  Publish(s);  // records what that run changed on the disks, if it was stopped before that
  return run.Done(
      true, "'ftdiskctl " + command + "' had done its work when it was interrupted; nothing is left to do");
}

using Finish = ntp::Status (*)(zm::Session&, Intents&, const ftconfig::Intent&, Run&, const std::string&,
                               const RequestHooks&);

// A resumable request's first step: an interrupted run of the same command is finished
// (finish), one that had done its work is reported; true with *outcome set then.
bool Resumed(zm::Session& s, Intents& intents, uint16_t op, const std::string& command,
             const std::string& what, Finish finish, const RequestHooks& h, RequestResult* r,
             ntp::Status* outcome) {
  ftconfig::Intent pending;
  const Resume resume = LoadPending(intents, op, command, &pending, h);
  if (resume == Resume::kPending) {
    Run run(command, h, r);
    *outcome = finish(s, intents, pending, run, what, h);
    return true;
  }
  if (resume == Resume::kDone) {
    *outcome = AlreadyDone(s, command, h, r);
    return true;
  }
  return false;
}

// The set named by setArg as the configuration stores it; a refusal's words in *error.
bool LoadSet(const std::string& what, const std::string& setArg, uint32_t* type, uint16_t* group,
             ftconfig::SetView* view, ntp::Status* error) {
  std::string e;
  FTInfo info;
  if (!ResolveSet(Machine::Read(), setArg, type, group, &e) || !ftconfig::Read(&info, &e))
    return *error = Refuse(what, e), false;
  if (!ftconfig::FindSet(info, *type, *group, view))
    return *error = Refuse(what, "there is no " + SetName(*type, *group)), false;
  return true;
}

// The data pass of a new mirror or parity set, then the set marked healthy.
bool InitializeData(zm::Session& s, uint32_t type, uint16_t group, const RequestHooks& h,
                    std::string* error) {
  std::unique_ptr<fm::Volume> v;
  if (!OpenSetVolume(type, group, type == Mirror ? 1 : -1, &v, error)) return false;
  if (!(type == Mirror ? DataPass(*v, type, group, 1, "copying member 0 to member 1", h, error)
                       : DataPass(*v, type, group, -1, "writing the parity", h, error))) {
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

// Rebuilds one member of a mirror or parity set from the others and marks it healthy.
bool RebuildMember(zm::Session& s, uint32_t type, uint16_t group, unsigned member, const RequestHooks& h,
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
      DataPass(*v, type, group, int(member), "regenerating member " + std::to_string(member), h, error);
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

// The rest of ft create, from its recorded intent: the planned partitions made (or
// found from an earlier run), the set recorded, its data written.
ntp::Status FinishCreate(zm::Session& s, Intents& intents, const ftconfig::Intent& intent, Run& run,
                         const std::string& what, const RequestHooks& h) {
  run.About(SetName(intent.type, intent.group));
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
      RollBack(s, intents, intent, h);
      return run.Done(false, what + ": " + e + " (the partitions this request made are deleted again)");
    }
    names += " " + (ok ? parts[i].name : "member " + std::to_string(i));
  }
  if (!recorded) {
    for (size_t i = 1; i < parts.size(); ++i)
      if (!Ok(ftconfig::DropLetter(s, &parts[i]), &e)) {
        RollBack(s, intents, intent, h);
        return run.Done(false, what + ": " + e);
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
      RollBack(s, intents, intent, h);
      return run.Done(false, what + ": " + e);
    }
    ftconfig::DropJournal(type, group);
    // The set is published once its data is whole; the configuration says initializing
    // until then, so an interrupted pass is seen at the next boot.
    if (!needsData) Publish(s);
  }
  run.EndOfTables();
  if (needsData && (!recorded || view.state == FtInitializing) && !InitializeData(s, type, group, h, &e))
    return run.Done(false, what + ": " + e + "; run 'ftdiskctl " + intent.command + "' again to finish it");
  ForgetIntent(intents, intent.command, h);
  return run.Done(true, "made " + SetName(type, group) + " from" + names);
}

// The rest of ft extend, from its intent.
ntp::Status FinishExtend(zm::Session& s, Intents& intents, const ftconfig::Intent& intent, Run& run,
                         const std::string& what, const RequestHooks& h) {
  run.About(SetName(intent.type, intent.group));
  std::string e;
  FTInfo info;
  ftconfig::SetView view;
  if (!ftconfig::Read(&info, &e) || !ftconfig::FindSet(info, intent.type, intent.group, &view)) {
    RollBack(s, intents, intent, h);
    return run.Done(false,
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
      RollBack(s, intents, intent, h);
      return run.Done(false, what + ": " + e);
    }
    Publish(s);
  } else {
    FindPartAt(intent.parts[0].where, &made);
  }
  ForgetIntent(intents, intent.command, h);
  return run.Done(true, "extended " + SetName(intent.type, intent.group) + " by " + made.name);
}

// The rest of ft regenerate --onto, from its intent: the new partition made (or found),
// recorded as the member, rebuilt.
ntp::Status FinishReplace(zm::Session& s, Intents& intents, const ftconfig::Intent& intent, Run& run,
                          const std::string& what, const RequestHooks& h) {
  run.About(SetName(intent.type, intent.group));
  const uint32_t type = intent.type;
  const uint16_t group = intent.group;
  const unsigned member = intent.member;
  std::string e;
  FTInfo info;
  ftconfig::SetView view;
  if (!ftconfig::Read(&info, &e) || !ftconfig::FindSet(info, type, group, &view) ||
      member >= view.members.size()) {
    RollBack(s, intents, intent, h);
    return run.Done(false, what + ": " + (e.empty() ? "there is no " + SetName(type, group) : e));
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
      RollBack(s, intents, intent, h);
      return run.Done(false, what + ": " + e);
    }
    ftconfig::DropJournal(type, group);  // it names the members the set had
    Publish(s);
  } else if (!FindPartAt(intent.parts[0].where, &made)) {
    return run.Done(false, what + ": the new partition of member " + std::to_string(member) + " is gone");
  }
  run.EndOfTables();
  if (!RebuildMember(s, type, group, member, h, &e))
    return run.Done(false, what + ": " + e + "; run 'ftdiskctl " + intent.command + "' again to finish it");
  ForgetIntent(intents, intent.command, h);
  return run.Done(true, "regenerated member " + std::to_string(member) + " of " + SetName(type, group) +
                            " onto " + made.name);
}

// ft regenerate SET [MEMBER] --onto DISK: the member gets a new partition on DISK, of its
// recorded size or the least larger one the provider's rounding gives.
ntp::Status RegenerateOnto(zm::Session& s, const std::string& setArg, int member, unsigned onto, bool dryRun,
                           const RequestHooks& h, RequestResult* r) {
  const std::string what = "cannot regenerate the set";
  const std::string command = "ft regenerate " + setArg + (member >= 0 ? " " + std::to_string(member) : "") +
                              " --onto " + std::to_string(onto);
  Intents intents;
  if (ntp::Status outcome;
      Resumed(s, intents, ftconfig::Intent::kReplace, command, what, FinishReplace, h, r, &outcome))
    return outcome;
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  ntp::Status refused;
  if (!LoadSet(what, setArg, &type, &group, &view, &refused)) return refused;
  if (type != Mirror && type != StripeWithParity)
    return Refuse(what, "only mirrors and stripe sets with parity hold the data to rebuild a member");
  if (member < 0)
    for (size_t i = 0; i < view.members.size() && member < 0; ++i)
      if (view.members[i].state != Healthy) member = int(i);
  if (member < 0) return Refuse(what, setArg + " has no orphaned member; name the one to replace");
  if (member >= int(view.members.size()))
    return Refuse(what, setArg + " has no member " + std::to_string(member));
  const std::string sources = RebuildSourcesProblem(view, unsigned(member));
  if (!sources.empty()) return Refuse(what, sources);
  const Machine machine = Machine::Read();
  const Disk* disk = machine.FindDisk(onto);
  if (disk == nullptr) return Refuse(what, "there is no disk " + std::to_string(onto));
  if (const std::string why = ftconfig::TargetDisksProblem(machine, {onto}); !why.empty())
    return Refuse(what, why);
  const uint32_t signature = static_cast<uint32_t>(disk->signature);
  for (size_t i = 0; i < view.members.size(); ++i)
    if (view.members[i].where.signature == signature && signature != 0)
      return Refuse(what,
                    "disk " + std::to_string(onto) + " holds member " + std::to_string(i) + " of " +
                        SetName(type, group) +
                        (int(i) == member ? " already; regenerate it in place (ftdiskctl ft regenerate " +
                                                SetName(type, group) + " " + std::to_string(member) + ")"
                                          : "; the members must be on different disks"));
  const int64_t wanted = view.members[member].where.length;
  ftconfig::Placement at;
  if (!ftconfig::PlanAtLeast(*disk, wanted, &at))
    return Refuse(what, "disk " + std::to_string(onto) +
                            " has no free region outside the extended partition that holds member " +
                            std::to_string(member) + "'s " + std::to_string(wanted) + " bytes (" +
                            model::FormatSize(uint64_t(wanted)) + ", rounded up to a cylinder boundary)");
  const std::string blocked = intents.Blocking(signature);
  if (!blocked.empty()) return Refuse(what, "disk " + std::to_string(onto) + ": " + blocked);
  // A blank disk gets a fresh signature first (in a boot of its own: the host learns
  // disk signatures when it starts), which the caller writes.
  if (signature == 0) {
    r->signatureFor = int(onto);
    if (dryRun)
      return Refuse(what, "disk " + std::to_string(onto) +
                              " has no signature; a dry run cannot show what follows the fresh one it needs");
    return Refuse(what, "disk " + std::to_string(onto) + " has no signature");
  }
  if (const std::string why = ftconfig::SignaturesProblem(machine, {onto}); !why.empty())
    return Refuse(what, why);
  ftconfig::Intent intent{ftconfig::Intent::kReplace, type, group, uint16_t(member), command, {}};
  intent.parts.push_back({{signature, at.offset, at.length}, true, at.freeOffset, at.request});
  Run run(command, h, r);
  std::string e;
  if (!intents.Record(intent, &e)) return run.Done(false, what + ": " + e);
  return FinishReplace(s, intents, intent, run, what, h);
}

}  // namespace

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

ntp::Status CreateSet(zm::Session& s, const CreateArgs& args, const RequestHooks& h, RequestResult* r) {
  const std::string what = "cannot create the " + args.kind;
  uint32_t type = 0;
  ftconfig::TypeFromWord(args.kind, &type);
  const std::vector<unsigned>& disks = args.disks;
  std::string command = "ft create " + args.kind;
  if (type == Mirror) command += " " + args.volume;
  for (unsigned d : disks) command += " --disk " + std::to_string(d);
  for (const auto& size : args.sizeTexts) command += " --size " + size;
  Intents intents;
  if (ntp::Status outcome;
      Resumed(s, intents, ftconfig::Intent::kCreate, command, what, FinishCreate, h, r, &outcome))
    return outcome;

  const Machine machine = Machine::Read();
  FTInfo info;
  std::string e;
  if (!ftconfig::Read(&info, &e)) return Refuse(what, e);
  Part first;
  std::vector<ftconfig::Candidate> candidates;
  if (type == Mirror) {
    if (!Ok(ftconfig::FindPart(machine, args.volume, &first), &e)) return Refuse(what, e);
    if (!machine.FindDisk(disks[0])) return Refuse(what, "there is no disk " + std::to_string(disks[0]));
    candidates.push_back(AsCandidate(first));
    candidates.push_back({{}, disks[0], false, "the new partition on disk " + std::to_string(disks[0])});
  } else {
    for (size_t i = 0; i < disks.size(); ++i) {
      if (!machine.FindDisk(disks[i])) return Refuse(what, "there is no disk " + std::to_string(disks[i]));
      candidates.push_back({{0, -1 - static_cast<int64_t>(i), 0},
                            disks[i],
                            false,
                            "the new partition on disk " + std::to_string(disks[i])});
    }
  }
  std::vector<unsigned> recorded = disks;
  if (type == Mirror) recorded.push_back(first.disk);
  if (std::string why = ftconfig::TargetDisksProblem(machine, disks); !why.empty()) return Refuse(what, why);
  if (std::string why = ftconfig::SignaturesProblem(machine, recorded); !why.empty())
    return Refuse(what, why);
  std::string rule = ftconfig::CheckNewSet(info, type, candidates);
  if (!rule.empty()) return Refuse(what, rule);

  // Where each new partition goes. Members of a mirror, stripe set or parity set get at
  // least the length the largest of them gets (a mirror's: member 0's), so that a member
  // starting on the disk's first track is as large as one on a cylinder boundary.
  const std::vector<uint64_t>& sizes = args.sizes;
  std::map<unsigned, Disk> plannedDisks;  // each disk's free space as the plans leave it
  for (unsigned d : disks) plannedDisks[d] = *machine.FindDisk(d);
  int64_t wanted = type == Mirror ? first.where.length : 0;
  if (type == Stripe || type == StripeWithParity)
    for (size_t i = 0; i < disks.size(); ++i) {
      ftconfig::Placement at;
      wanted = std::max(wanted, ftconfig::PlanRequest(plannedDisks[disks[i]], int64_t(sizes[i]), &at)
                                    ? at.length
                                    : int64_t(sizes[i]));
    }
  ftconfig::Intent intent{ftconfig::Intent::kCreate, type, intents.FreeGroup(info, type), 0, command, {}};
  if (type == Mirror) intent.parts.push_back({first.where, false, 0, 0});
  for (size_t i = 0; i < disks.size(); ++i) {
    Disk& disk = plannedDisks[disks[i]];
    const uint32_t signature = static_cast<uint32_t>(disk.signature);
    const std::string blocked = intents.Blocking(signature);
    if (!blocked.empty()) return Refuse(what, "disk " + std::to_string(disks[i]) + ": " + blocked);
    ftconfig::Placement at;
    const bool placed = type == VolumeSet ? ftconfig::PlanRequest(disk, int64_t(sizes[i]), &at)
                                          : ftconfig::PlanAtLeast(disk, wanted, &at);
    if (!placed)
      return Refuse(what,
                    "no free region of disk " + std::to_string(disks[i]) +
                        " outside the extended partition holds " +
                        model::FormatSize(uint64_t(type == VolumeSet ? int64_t(sizes[i]) : wanted)) +
                        (type == VolumeSet ? "" : " (" + std::to_string(wanted) + " bytes are needed)"));
    intent.parts.push_back({{signature, at.offset, at.length}, true, at.freeOffset, at.request});
    // A second member on the same disk goes behind the first.
    for (Region& reg : disk.regions)
      if (reg.IsFree() && static_cast<int64_t>(reg.offset) == at.freeOffset) {
        const int64_t end = static_cast<int64_t>(reg.offset + reg.length);
        reg.offset = static_cast<uint64_t>(at.offset + at.length);
        reg.length = static_cast<uint64_t>(end - (at.offset + at.length));
      }
  }
  std::vector<int64_t> lengths;
  std::vector<uint32_t> signatures;
  for (const auto& p : intent.parts)
    lengths.push_back(p.where.length), signatures.push_back(p.where.signature);
  rule = ftconfig::MemberSizesProblem(type, lengths, ftconfig::LargestCylinder(machine, signatures));
  if (!rule.empty()) return Refuse(what, "the planned members: " + rule);

  Run run(command, h, r);
  if (!intents.Record(intent, &e)) return run.Done(false, what + ": " + e);
  return FinishCreate(s, intents, intent, run, what, h);
}

ntp::Status BreakOrDelete(zm::Session& s, const std::string& setArg, bool remove, const RequestHooks& h,
                          RequestResult* r) {
  const std::string what = remove ? "cannot delete the set" : "cannot break the mirror";
  const std::string command = (remove ? "ft delete " : "ft break ") + setArg;
  Intents intents;
  ftconfig::Intent pending;
  const Resume resume =
      remove ? LoadPending(intents, ftconfig::Intent::kDelete, command, &pending, h) : Resume::kNew;
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  std::string e;
  if (resume == Resume::kPending) {
    // The set went from the configuration before the run was interrupted: its partitions
    // are deleted now.
    FTInfo info;
    if (ftconfig::Read(&info, &e) && !ftconfig::FindSet(info, pending.type, pending.group, &view)) {
      Run run(command, h, r);
      std::string done;
      run.About(SetName(pending.type, pending.group));
      if (!Ok(ftconfig::DeleteMembers(s, pending, "", &done), &e)) return run.Done(false, what + ": " + e);
      ForgetIntent(intents, command, h);
      return run.Done(true, done);
    }
  }
  if (resume == Resume::kDone) return AlreadyDone(s, command, h, r);
  ntp::Status refused;
  if (!LoadSet(what, setArg, &type, &group, &view, &refused)) return refused;
  if (!remove && type != Mirror) return Refuse(what, setArg + " is not a mirror");
  std::vector<unsigned> memberDisks;  // whose tables a delete rewrites
  for (const auto& d : ntp::Disks())
    for (const auto& m : view.members)
      if (remove && m.where.signature == d.signature) memberDisks.push_back(d.index);
  if (const std::string why = ftconfig::ReadOnlyDisksProblem(memberDisks); !why.empty())
    return Refuse(what, why);
  // A broken mirror's letter stays with the member that holds the data.
  unsigned keeper = 0;
  if (!remove) {
    const bool first = MemberHoldsData(type, view.members[0].state);
    const bool second = view.members.size() > 1 && MemberHoldsData(type, view.members[1].state);
    if (!first && !second)
      return Refuse(what,
                    "neither member is recorded as holding the mirror's data; regenerate one from the other, "
                    "or record the one that holds it as healthy (ftdiskctl ft edit member " +
                        SetName(type, group) + " N --state healthy) first");
    keeper = first ? 0 : 1;
  }
  Run run(command, h, r);
  // What the request acts on, named with the start and size of each partition.
  run.About(SetName(type, group));
  const std::string members = model::MembersSummary(Machine::Read(), SetName(type, group));
  ftconfig::Intent intent{ftconfig::Intent::kDelete, type, group, 0, command, {}};
  for (const auto& m : view.members) intent.parts.push_back({m.where, true, 0, 0});
  if (remove && !intents.Record(intent, &e)) return run.Done(false, what + ": " + e);
  // The members lose the fault-tolerance flag before the set goes, so that no
  // interruption leaves flagged partitions that ft find would take for the set again.
  std::vector<ftconfig::PartitionRef> refs;
  for (const auto& m : view.members) refs.push_back(m.where);
  if (!MarkMembers(refs, false, &e)) Note(h, "note: " + e + "; the partitions keep the FT flag");
  // The provider deletes only plain partitions, so the set goes first; an interruption
  // then leaves plain partitions that the intent names.
  if (!ftconfig::Update(
          [&](FTInfo& info, std::string* why) { return ftconfig::RemoveSet(info, type, group, why, keeper); },
          &e)) {
    std::string ignored;
    MarkMembers(refs, true, &ignored);
    return run.Done(false, what + ": " + e);
  }
  ftconfig::DropJournal(type, group);
  Publish(s);
  if (!remove) {
    if (!Ok(ftconfig::GiveBrokenMirrorLetters(s, view, keeper), &e)) return run.Done(false, what + ": " + e);
    return run.Done(true, "broke " + SetName(type, group) + " into two partitions: " + members + "; member " +
                              std::to_string(keeper) + " keeps the letter");
  }
  std::string done;
  if (!Ok(ftconfig::DeleteMembers(s, intent, members, &done), &e)) return run.Done(false, what + ": " + e);
  ForgetIntent(intents, command, h);
  return run.Done(true, done);
}

ntp::Status Extend(zm::Session& s, const std::string& setArg, unsigned diskIndex, const std::string& sizeText,
                   uint64_t size, const RequestHooks& h, RequestResult* r) {
  const std::string what = "cannot extend the volume set";
  const std::string command =
      "ft extend " + setArg + " --disk " + std::to_string(diskIndex) + " --size " + sizeText;
  Intents intents;
  if (ntp::Status outcome;
      Resumed(s, intents, ftconfig::Intent::kExtend, command, what, FinishExtend, h, r, &outcome))
    return outcome;
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  ntp::Status refused;
  if (!LoadSet(what, setArg, &type, &group, &view, &refused)) return refused;
  if (type != VolumeSet) return Refuse(what, setArg + " is not a volume set");
  if (view.members.size() >= ftconfig::kMaxMembers)
    return Refuse(what, "a volume set has at most 32 members");
  const Machine machine = Machine::Read();
  if (std::string why = ftconfig::TargetDisksProblem(machine, {diskIndex}); !why.empty())
    return Refuse(what, why);
  if (std::string why = ftconfig::SignaturesProblem(machine, {diskIndex}); !why.empty())
    return Refuse(what, why);
  const Disk* disk = machine.FindDisk(diskIndex);
  const uint32_t signature = static_cast<uint32_t>(disk->signature);
  const std::string blocked = intents.Blocking(signature);
  if (!blocked.empty()) return Refuse(what, "disk " + std::to_string(diskIndex) + ": " + blocked);
  ftconfig::Placement at;
  if (!ftconfig::PlanRequest(*disk, int64_t(size), &at))
    return Refuse(what, "no free region of disk " + std::to_string(diskIndex) +
                            " outside the extended partition holds " + model::FormatSize(size));
  ftconfig::Intent intent{ftconfig::Intent::kExtend, type, group, 0, command, {}};
  intent.parts.push_back({{signature, at.offset, at.length}, true, at.freeOffset, at.request});
  Run run(command, h, r);
  std::string e;
  if (!intents.Record(intent, &e)) return run.Done(false, what + ": " + e);
  return FinishExtend(s, intents, intent, run, what, h);
}

ntp::Status Regenerate(zm::Session& s, const std::string& setArg, int member, int onto, bool dryRun,
                       const RequestHooks& h, RequestResult* r) {
  const std::string what = "cannot regenerate the set";
  if (onto >= 0) return RegenerateOnto(s, setArg, member, unsigned(onto), dryRun, h, r);
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  ntp::Status refused;
  if (!LoadSet(what, setArg, &type, &group, &view, &refused)) return refused;
  if (type != Mirror && type != StripeWithParity)
    return Refuse(what, "only mirrors and stripe sets with parity hold the data to rebuild a member");
  std::string e;
  if (view.state == FtInitializing) {
    // An initialization that was interrupted is done again from the start.
    Run run("ft regenerate " + setArg, h, r);
    run.About(SetName(type, group));
    if (!InitializeData(s, type, group, h, &e)) return run.Done(false, what + ": " + e);
    return run.Done(true, "initialized " + SetName(type, group));
  }
  if (member < 0) {
    for (size_t i = 0; i < view.members.size() && member < 0; ++i)
      if (view.members[i].state != Healthy) member = static_cast<int>(i);
    if (member < 0) return Refuse(what, setArg + " has no orphaned member; name one to rebuild it anyway");
  }
  if (member >= static_cast<int>(view.members.size()))
    return Refuse(what, setArg + " has no member " + std::to_string(member));
  const std::string sources = RebuildSourcesProblem(view, unsigned(member));
  if (!sources.empty()) return Refuse(what, sources);
  std::u16string device;
  const auto& where = view.members[member].where;
  if (!fm::FindPartitionDevice(where.signature, where.offset, where.length, &device)) {
    std::vector<uint32_t> signatures;
    for (const auto& m : view.members) signatures.push_back(m.where.signature);
    const int disk = ftconfig::ReplacementDisk(Machine::Read(), signatures, where.length);
    const std::string name = SetName(type, group), number = std::to_string(member);
    return Refuse(what, "member " + number +
                            "'s partition is not on the disks; rebuild it onto another disk " +
                            (disk >= 0 ? "(ftdiskctl ft regenerate " + name + " " + number + " --onto " +
                                             std::to_string(disk) + ")"
                                       : "with room for " + std::to_string(where.length) +
                                             " bytes (attach one, then ftdiskctl ft regenerate " + name +
                                             " " + number + " --onto DISK)"));
  }
  Run run("ft regenerate " + setArg + " " + std::to_string(member), h, r);
  run.About(SetName(type, group));
  run.EndOfTables();
  if (!RebuildMember(s, type, group, unsigned(member), h, &e)) return run.Done(false, what + ": " + e);
  return run.Done(true, "regenerated member " + std::to_string(member) + " of " + SetName(type, group));
}

ntp::Status RegenerateSigning(zm::Session& s, bool noWait, const std::string& setArg, int member, int onto,
                              bool dryRun, const RequestHooks& h,
                              const std::function<void(const ntp::SignatureChange&)>& signedDisk,
                              size_t* mark, RequestResult* r) {
  *mark = s.AlertCount();
  const ntp::Status st = Regenerate(s, setArg, member, onto, dryRun, h, r);
  if (r->signatureFor < 0 || dryRun) return st;
  const std::string dir = s.dir();
  s.Close();
  ntp::SignatureChange change;
  if (const ntp::Status sig = ntp::WriteDiskSignature(dir, noWait, unsigned(onto), false, &change); !sig.ok())
    return Refuse("cannot regenerate the set",
                  "cannot write a signature on disk " + std::to_string(onto) + ": " + sig.message());
  signedDisk(change);
  *r = RequestResult();
  std::string e;
  if (!s.Open(dir, noWait, &e)) return ntp::Status(0, e);
  *mark = s.AlertCount();
  return Regenerate(s, setArg, member, onto, dryRun, h, r);
}

ntp::Status EditDefine(zm::Session& s, const std::string& kind, uint32_t type, int group,
                       const std::vector<std::string>& memberArgs, bool assumeClean, const RequestHooks& h,
                       RequestResult* r) {
  const std::string what = "cannot define the set";
  ftconfig::Definition d;
  std::string e, done;
  if (!Ok(ftconfig::PlanDefinition(Machine::Read(), type, group, memberArgs, assumeClean, &d), &e))
    return Refuse(what, e);
  Run run("ft edit define " + kind, h, r);
  run.About(SetName(type, d.group));
  if (!Ok(ftconfig::Define(s, d, &done), &e)) return run.Done(false, what + ": " + e);
  return run.Done(true, done);
}

ntp::Status EditDrop(zm::Session& s, const std::string& setArg, const RequestHooks& h, RequestResult* r) {
  const std::string what = "cannot drop the set";
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  ntp::Status refused;
  if (!LoadSet(what, setArg, &type, &group, &view, &refused)) return refused;
  Run run("ft edit drop " + setArg, h, r);
  run.About(SetName(type, group));
  std::string e, done;
  if (!Ok(ftconfig::Drop(s, type, group, &done), &e)) return run.Done(false, what + ": " + e);
  return run.Done(true, done);
}

ntp::Status EditMember(zm::Session& s, const std::string& setArg, int member, const std::string& stateWord,
                       uint32_t state, const RequestHooks& h, RequestResult* r) {
  const std::string what = "cannot change the member";
  uint32_t type = 0;
  uint16_t group = 0;
  ftconfig::SetView view;
  ntp::Status refused;
  if (!LoadSet(what, setArg, &type, &group, &view, &refused)) return refused;
  Run run("ft edit member " + setArg + " " + std::to_string(member) + " --state " + stateWord, h, r);
  run.About(SetName(type, group));
  std::string e, done;
  if (!Ok(ftconfig::SetMember(s, type, group, member, state, &done), &e))
    return run.Done(false, what + ": " + e);
  return run.Done(true, done);
}

std::vector<FoundRecord> RecordFound(zm::Session& s, const ftconfig::SetSearch& search) {
  namespace ff = ntp::ftfind;
  std::vector<FoundRecord> records;
  for (const ff::Proposal& p : search.found.proposals) {
    FoundRecord& record = records.emplace_back();
    if (p.confidence != ff::Confidence::kSure || p.Degraded()) continue;
    std::vector<std::string> members, said;
    for (int m : p.members) members.push_back(search.partitions[m].name);
    const RequestHooks hooks{[&said](const std::string& line) { said.push_back(line); }, nullptr};
    RequestResult r;
    const ntp::Status st = EditDefine(s, ftconfig::TypeWord(p.type), p.type, -1, members, p.whole, hooks, &r);
    // Registry writes that failed on the way fail the recording, as they fail the command.
    const std::string failures = zm::TakeWriteFailures();
    if (st.ok() && failures.empty()) {
      record.recorded = r.set;
      continue;
    }
    if (!st.ok()) said.push_back(st.message());
    if (!failures.empty()) said.push_back("ftdiskctl: " + failures);
    record.refused = said[0].empty() ? "ft edit define failed" : said[0];
  }
  return records;
}

}  // namespace ftdata
