#include "ftedit.h"

#include <utility>

#include "diskconfig.h"
#include "ftparts.h"
#include "ftrequest.h"

namespace ftconfig {

namespace {

const std::pair<const char*, uint32_t> kStates[] = {{"healthy", Healthy},
                                                    {"orphaned", Orphaned},
                                                    {"regenerating", Regenerating},
                                                    {"initializing", Initializing}};

}  // namespace

ntp::Status PlanDefinition(const model::Machine& m, uint32_t type, int group,
                           const std::vector<std::string>& members, bool assumeClean, Definition* d) {
  std::vector<Candidate> candidates;
  std::vector<unsigned> disks;
  d->type = type;
  for (const auto& text : members) {
    Part p;
    if (ntp::Status st = FindPart(m, text, &p); !st.ok()) return st;
    d->members.push_back(p.where);
    candidates.push_back(AsCandidate(p));
    disks.push_back(p.disk);
  }
  if (std::string why = SignaturesProblem(m, disks); !why.empty()) return ntp::Status(0, why);
  FTInfo info;
  std::string e;
  if (!Read(&info, &e)) return ntp::Status(0, e);
  if (std::string rule = CheckNewSet(info, type, candidates); !rule.empty()) return ntp::Status(0, rule);
  SetView existing;
  if (group >= 0 && FindSet(info, type, static_cast<uint16_t>(group), &existing))
    return ntp::Status(0, SetName(type, static_cast<uint16_t>(group)) + " exists already; drop it first");
  d->group = group >= 0 ? static_cast<uint16_t>(group) : FreeGroup(info, type);
  d->pending = !assumeClean && (type == Mirror || type == StripeWithParity);
  return ntp::Status();
}

ntp::Status Define(zm::Session& s, const Definition& d, std::string* done) {
  std::string e;
  if (!UpdateWithRescan(
          s,
          [&](FTInfo& cfg, std::string* why) {
            return AddSet(cfg, d.type, d.group, d.members, Healthy, why) &&
                   (!d.pending ||
                    SetMemberState(cfg, d.type, d.group, d.type == Mirror ? 1 : -1, Initializing, why));
          },
          &e))
    return ntp::Status(0, e);
  DropJournal(d.type, d.group);
  Publish(s);
  const std::string name = SetName(d.type, d.group);
  *done = "defined " + name + " (no data was written" +
          (d.pending ? "; it is initializing until 'ftdiskctl ft regenerate " + name +
                           "' makes its members agree, or define it with --assume-clean)"
                     : ")");
  return ntp::Status();
}

ntp::Status Drop(zm::Session& s, uint32_t type, uint16_t group, std::string* done) {
  std::string e;
  if (!Update([&](FTInfo& info, std::string* why) { return RemoveSet(info, type, group, why); }, &e))
    return ntp::Status(0, e);
  DropJournal(type, group);
  Publish(s);
  *done = "dropped " + SetName(type, group) + " from the configuration (no data was written)";
  return ntp::Status();
}

bool MemberStateFromWord(const std::string& word, uint32_t* state) {
  for (const auto& [w, value] : kStates)
    if (word == w) return *state = value, true;
  return false;
}

ntp::Status SetMember(zm::Session& s, uint32_t type, uint16_t group, int member, uint32_t state,
                      std::string* done) {
  std::string e;
  if (!Update([&](FTInfo& info,
                  std::string* why) { return SetMemberState(info, type, group, member, state, why); },
              &e))
    return ntp::Status(0, e);
  Publish(s);
  std::string word = "?";
  for (const auto& [w, value] : kStates)
    if (value == state) word = w;
  *done = "member " + std::to_string(member) + " of " + SetName(type, group) + " is now " + word;
  return ntp::Status();
}

}  // namespace ftconfig
