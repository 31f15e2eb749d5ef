// The data passes over an FT set's members, with their checkpoints in the FT journal.
#include "passes.h"

#include <cstdio>
#include <sstream>

#include "configblob.h"
#include "ftconfig.h"
#include "ftjournal.h"
#include "ntplatform.h"

namespace ftdata {

namespace fm = ntp::ftmap;
namespace fj = ntp::ftjournal;

namespace {

ntp::Status Failure(NTSTATUS st, std::string why) { return ntp::Status(uint32_t(st), std::move(why)); }

}  // namespace

ntp::Status RunPass(fm::Volume& v, uint32_t type, uint16_t group, int member, const fm::Progress& progress,
                    const std::function<void(uint64_t from)>& resuming) {
  ntp::RequestScope scope;
  Set set{type, group, {}};
  std::string error;
  if (!LoadSetMembers(type, group, &set.members, &error)) return Failure(STATUS_UNSUCCESSFUL, error);
  fj::Journal j = LoadJournal(set);
  const std::string pass = member >= 0 ? "copy" : "parity";
  // Where our own mark is all that keeps the set from healthy, only the ranges a write
  // left dirty need the pass.
  const bool dirtyOnly = MarkHolds(set, j);
  uint64_t from = 0;
  if (j.pass == pass && j.member == member && j.dirtyOnly == dirtyOnly) from = j.passDone;
  j.pass = pass;
  j.member = member;
  j.dirtyOnly = dirtyOnly;
  j.passDone = from;
  if (!fj::Save(j, &error)) return Failure(STATUS_UNSUCCESSFUL, error);
  NTSTATUS st = STATUS_SUCCESS;
  if (!dirtyOnly || !j.dirty.empty()) {
    if (from != 0 && resuming) resuming(from);
    auto checkpoint = [&](uint64_t done) -> NTSTATUS {
      j.passDone = done;
      return fj::Save(j, &error) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    };
    const std::vector<fm::Range> ranges = dirtyOnly ? j.dirty : std::vector<fm::Range>{};
    st = member >= 0 ? v.Rebuild(static_cast<unsigned>(member), ranges, from, progress, checkpoint)
                     : v.InitializeParity(ranges, from, progress, checkpoint);
  }
  if (!NT_SUCCESS(st)) {
    if (error.empty()) error = "the data pass failed (" + HexStatus(st) + ")";
    if (!scope.Refusal().empty()) error += ": " + scope.Refusal();
    return Failure(st, error);
  }
  // Every member agrees now over all the pass covered: dirty ranges and our mark go.
  j.pass.clear();
  j.member = -1;
  j.passDone = 0;
  j.dirty.clear();
  j.marked.clear();
  return fj::Save(j, &error) ? ntp::Status() : Failure(STATUS_UNSUCCESSFUL, error);
}

ntp::Status VerifySet(const Set& set, std::unique_ptr<fm::Volume> v, unsigned from, bool repair,
                      const fm::Progress& progress, Verified* out) {
  fj::Journal j;
  std::string e;
  // Before the first repair write the set is marked, with all of it dirty: an
  // interrupted repair leaves it shown as needing one.
  Set marked = set;
  auto beforeRepair = [&]() -> NTSTATUS {
    j = LoadJournal(marked);
    if (!MarkWritten(marked, &j, &e)) return STATUS_UNSUCCESSFUL;
    if (MarkHolds(marked, j)) fm::AddRange(&j.dirty, {0, v->MemberSpan()});
    return fj::Save(j, &e) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  };
  ntp::RequestScope scope;
  NTSTATUS st = v->Verify(from, repair, progress, beforeRepair, &out->report);
  if (!NT_SUCCESS(st)) {
    std::string why = (e.empty() ? "the pass failed" : e) + " (" + HexStatus(st) + ")";
    if (!scope.Refusal().empty()) why += ": " + scope.Refusal();
    return Failure(st, why);
  }
  for (const auto& r : out->report.first) out->volumeRanges.push_back(v->VolumeRange(r));
  // A repaired set is whole: every member healthy, nothing left dirty.
  if (repair) {
    v.reset();
    j = LoadJournal(set);
    j.dirty.clear();
    j.marked.clear();
    j.pass.clear();
    if (!fj::Save(j, &e) || !StoreStates(set, std::vector<uint32_t>(set.members.states.size(), Healthy), &e))
      return Failure(STATUS_UNSUCCESSFUL, e);
  }
  return ntp::Status();
}

ntp::Status Verify(const std::string& what, const Set& set, bool repair, int from, bool dryRun,
                   const fm::Progress& progress, VerifyOutcome* out, bool* usage) {
  auto refuse = [&](const std::string& why) { return Failure(STATUS_UNSUCCESSFUL, what + ": " + why); };
  const auto& states = set.members.states;
  const size_t n = states.size();
  *usage = false;
  if (set.type != Mirror && set.type != StripeWithParity)
    return refuse("only mirrors and stripe sets with parity hold redundant data to compare");
  for (size_t i = 0; i < n; ++i)
    if (set.members.devices[i].empty())
      return refuse("member " + std::to_string(i) +
                    "'s partition is not on the disks; verify reads every member");
  if (set.type == StripeWithParity && from >= 0) {
    *usage = true;
    return Failure(
        STATUS_INVALID_PARAMETER,
        "--from names a mirror's member to copy from; a parity set's parity is always rewritten from "
        "its data");
  }
  if (from >= static_cast<int>(n)) return refuse("the set has no member " + std::to_string(from));
  if (from < 0)
    for (size_t i = 0; i < n && from < 0; ++i)
      if (MemberHoldsData(set.type, states[i])) from = static_cast<int>(i);
  if (from < 0) from = 0;
  // A repair takes one side as right: it must be a member whose data is current.
  if (repair && set.type == Mirror && !MemberHoldsData(set.type, states[static_cast<size_t>(from)]))
    return refuse("member " + std::to_string(from) + " is " +
                  ftformat::FtPartitionStateName(states[static_cast<size_t>(from)]) +
                  " and may not hold the set's current data; name a healthy member with --from");
  if (repair && set.type == StripeWithParity)
    for (size_t i = 0; i < n; ++i)
      if (!MemberHoldsData(set.type, states[i]))
        return refuse(
            "member " + std::to_string(i) +
            " may hold stale data, which a parity repair would take as right; regenerate it instead "
            "(ftdiskctl ft regenerate " +
            set.name() + " " + std::to_string(i) + ")");
  out->from = static_cast<unsigned>(from);
  out->repaired = repair && !dryRun;
  std::unique_ptr<fm::Volume> v;
  std::ostringstream refused;
  if (!OpenVolume(what, set, out->repaired, true, &v, refused)) {
    std::string text = refused.str();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return Failure(STATUS_UNSUCCESSFUL, text);
  }
  const ntp::Status st = VerifySet(set, std::move(v), out->from, out->repaired, progress, &out->found);
  return st.ok() ? st : Failure(st.code(), what + ": " + st.message());
}

}  // namespace ftdata
