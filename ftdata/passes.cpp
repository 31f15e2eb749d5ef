// The data passes over an FT set's members, with their checkpoints in the FT journal.
#include "passes.h"

#include <cstdio>

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

}  // namespace ftdata
