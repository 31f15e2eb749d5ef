// An FT set's data opened by name: members, volume, and the marks of a write.
#include "ftset.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "diskreg.h"
#include "ftconfig.h"
#include "machine.h"
#include "ntplatform.h"
#include "overlay.h"
#include "status.h"

namespace ftdata {

namespace fm = ntp::ftmap;
namespace fj = ntp::ftjournal;

std::string HexStatus(NTSTATUS st) { return ntp::HexCode(static_cast<uint32_t>(st)); }

std::string NoSetNamed(const std::string& text) {
  return "'" + text + "' names no FT set (mirrorG, stripeG, parityG, volsetG or the set's letter)";
}

bool ResolveSet(const model::Machine& m, const std::string& text, uint32_t* type, uint16_t* group,
                std::string* error) {
  if (ParseSetName(text, type, group)) return true;
  model::VolumeSpec spec;
  std::string e;
  if (model::ParseVolumeSpec(text, &spec, &e) && spec.kind == model::VolumeSpec::Letter) {
    ZM_OBJECT_ID id = m.ResolveVolume(text, false, error);
    if (id == 0) return false;
    if (const model::Volume* v = m.FindVolume(id);
        v && v->ftGroup && v->volumeType >= 5 && v->volumeType <= 8) {
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

bool LoadNamedSet(const model::Machine& m, const std::string& text, Set* set, std::string* error) {
  return ResolveSet(m, text, &set->type, &set->group, error) &&
         LoadSetMembers(set->type, set->group, &set->members, error);
}

namespace {

// The marks a write pass puts on a set that is redundant now: a mirror's other members
// regenerating (reads come from member 0), a parity set initializing (its data is
// whole, its parity to be checked). Empty when the set is not redundant now (degraded
// or already marked): then there is nothing to mark.
std::vector<uint32_t> MarkFor(const Set& set) {
  const auto& states = set.members.states;
  if ((set.type != Mirror && set.type != StripeWithParity) ||
      std::any_of(states.begin(), states.end(), [](uint32_t s) { return s != Healthy; }))
    return {};
  std::vector<uint32_t> marked(states.size(), set.type == Mirror ? Regenerating : Initializing);
  if (set.type == Mirror) marked[0] = Healthy;
  return marked;
}

}  // namespace

bool ParseSetName(const std::string& text, uint32_t* type, uint16_t* group) {
  for (uint32_t t : {Mirror, Stripe, StripeWithParity, VolumeSet}) {
    const std::string word = ftconfig::TypeWord(t);
    if (text.size() > word.size() && text.compare(0, word.size(), word) == 0) {
      const std::string digits = text.substr(word.size());
      if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
      unsigned long g = std::stoul(digits);
      if (g > 0xFFFE) return false;
      *type = t;
      *group = static_cast<uint16_t>(g);
      return true;
    }
  }
  return false;
}

bool LoadSetMembers(uint32_t type, uint16_t group, SetMembers* members, std::string* error) {
  FTInfo info;
  if (!ftconfig::Read(&info, error)) return false;
  ftconfig::SetView view;
  if (!ftconfig::FindSet(info, type, group, &view)) {
    *error = "there is no " + fj::SetName(type, group);
    return false;
  }
  for (const auto& m : view.members) {
    std::u16string device;
    if (!fm::FindPartitionDevice(m.where.signature, m.where.offset, m.where.length, &device)) device.clear();
    members->devices.push_back(device);
    members->lengths.push_back(static_cast<uint64_t>(m.where.length));
    members->states.push_back(m.state);
    members->signatures.push_back(m.where.signature);
    members->offsets.push_back(m.where.offset);
  }
  return true;
}

bool OpenVolume(const std::string& what, const Set& set, bool write, bool allMembers,
                std::unique_ptr<fm::Volume>* volume, std::ostream& err) {
  const SetMembers& m = set.members;
  // Under a write's own mark (a mirror's other members regenerating), those members
  // differ at most in the recorded dirty ranges: they are written too (member 0, which
  // reads come from, stays healthy), or a later write would reach member 0 alone and
  // the resync of the dirty ranges would leave them stale.
  const bool ours = MarkHolds(set, LoadJournal(set));
  std::vector<fm::Member> members;
  for (size_t i = 0; i < m.devices.size(); ++i) {
    members.push_back(
        {m.devices[i], m.lengths[i],
         !m.devices[i].empty() && (allMembers || ours || MemberHoldsData(set.type, m.states[i]))});
    // A write may reach every member: one on a disk that no request may write (attached
    // read-only) refuses it before anything is written.
    ntp::DeviceExtent where;
    if (write && members.back().usable && ntp::OpenDeviceExtent(m.devices[i], &where, false))
      if (std::string why = ntp::WriteRefusal(where.disk); !why.empty()) {
        err << what << ": member " << i << ": " << why << "\n";
        return false;
      }
  }
  *volume = std::make_unique<fm::Volume>(static_cast<fm::Type>(set.type), members);
  std::string e;
  NTSTATUS st = (*volume)->Open(write, &e);
  if (!NT_SUCCESS(st)) {
    err << what << ": " << e << " (" << HexStatus(st) << ")\n";
    return false;
  }
  return true;
}

std::vector<fj::MemberId> MemberIds(const SetMembers& m) {
  std::vector<fj::MemberId> ids;
  for (size_t i = 0; i < m.signatures.size(); ++i)
    ids.push_back({m.signatures[i], m.offsets[i], static_cast<int64_t>(m.lengths[i])});
  return ids;
}

fj::Journal LoadJournal(const Set& set) {
  fj::Journal j;
  std::string why;
  const auto ids = MemberIds(set.members);
  if (!fj::Load(set.type, set.group, ids, &j, &why)) {
    j = fj::Journal{};
    j.type = set.type;
    j.group = set.group;
    j.members = ids;
  }
  return j;
}

bool StoreStates(const Set& set, const std::vector<uint32_t>& states, std::string* error) {
  return ftconfig::Update(
      [&](FTInfo& info, std::string* why) {
        for (size_t i = 0; i < states.size(); ++i)
          if (!ftconfig::SetMemberState(info, set.type, set.group, static_cast<int>(i), states[i], why))
            return false;
        return true;
      },
      error);
}

bool MarkWritten(Set& set, fj::Journal* j, std::string* error) {
  const std::vector<uint32_t> marked = MarkFor(set);
  if (marked.empty() || ntp::OverlayActive()) return true;
  if (!StoreStates(set, marked, error)) return false;
  set.members.states = marked;
  j->marked = marked;
  return fj::Save(*j, error);
}

bool MarkHolds(const Set& set, const fj::Journal& j) {
  return !j.marked.empty() && j.marked == set.members.states;
}

bool ClearMark(Set& set, fj::Journal* j, std::string* error) {
  if (!MarkHolds(set, *j) || !j->dirty.empty() || (!j->pass.empty() && !j->dirtyOnly))
    return fj::Save(*j, error);
  j->marked.clear();
  j->pass.clear();
  if (!fj::Save(*j, error)) return false;
  std::vector<uint32_t> healthy(set.members.states.size(), Healthy);
  if (!StoreStates(set, healthy, error)) return false;
  set.members.states = healthy;
  return true;
}

}  // namespace ftdata
