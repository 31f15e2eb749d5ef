// Making, changing and removing FT sets in the FT configuration ("Information"): the
// rules a set must follow, and the changes themselves, made on an FTInfo under the FT
// mutex and stored through it. Partitions are never touched here; the front end makes
// and deletes them through the provider and then records the set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ftinfo.h"

namespace ftconfig {

constexpr unsigned kMaxMembers = 32;

// A partition as the configuration identifies it.
struct PartitionRef {
  uint32_t signature = 0;
  int64_t offset = 0;
  int64_t length = 0;
};

// What the rules need to know of a would-be member.
struct Candidate {
  PartitionRef where;
  unsigned disk = 0;          // disk index on the machine
  bool bootOrSystem = false;  // the active partition, or the one holding C:
  std::string name;           // for messages (diskN/pM)
};

struct MemberView {
  PartitionRef where;
  uint32_t state = 0;  // _FT_PARTITION_STATE
  uint8_t letter = 0;
  int assign = 0;
};
struct SetView {
  uint32_t type = 0;
  uint16_t group = 0;
  uint32_t state = 0;               // _FT_STATE
  std::vector<MemberView> members;  // in member order
};

// The sets of a configuration, in stored order.
std::vector<SetView> Sets(const FTInfo& info);
bool FindSet(const FTInfo& info, uint32_t type, uint16_t group, SetView* set);
// The lowest FT group not used by a set of that type.
uint16_t FreeGroup(const FTInfo& info, uint32_t type);

// Checks a new set (or, with existing members, an extension) against the rules: member
// count for the type, distinct disks for mirrors and parity sets, no boot or system
// partition in a stripe or volume set, every partition free of other sets, one
// partition at most once. Empty when it may be made, else one sentence.
std::string CheckNewSet(const FTInfo& info, uint32_t type, const std::vector<Candidate>& members);

// The set's state that follows from its members' states.
uint32_t SetStateFor(uint32_t type, const std::vector<uint32_t>& memberStates);

// Changes. Each works on info in memory; nothing is stored. False with *error set when
// a partition has no record or the set does not exist; info is then unchanged.
// Adds a set; the members' records get the set's type, group, member numbers and
// memberState, and member 0's drive letter becomes the set's (the other members ask
// for none).
bool AddSet(FTInfo& info, uint32_t type, uint16_t group, const std::vector<PartitionRef>& members,
            uint32_t memberState, std::string* error);
// Removes a set; its members' records become plain partitions. Member 0 keeps the set's
// letter; the others ask for none (the front end gives them letters afterwards).
bool RemoveSet(FTInfo& info, uint32_t type, uint16_t group, std::string* error);
// Appends a member to a volume set.
bool AppendMember(FTInfo& info, uint32_t type, uint16_t group, const PartitionRef& member,
                  std::string* error);
// Sets one member's state (member < 0: every member) and the set's state that follows.
bool SetMemberState(FTInfo& info, uint32_t type, uint16_t group, int member, uint32_t state,
                    std::string* error);
// Sets the set's own state, leaving its members alone.
bool SetSetState(FTInfo& info, uint32_t type, uint16_t group, uint32_t state, std::string* error);

// Loads the stored configuration under the FT mutex, applies change, checks the result
// and stores it. Nothing is stored when the load, the change or the check fails; a
// stored value that is malformed is never replaced. False with *error set then.
bool Update(const std::function<bool(FTInfo&, std::string*)>& change, std::string* error);
// Loads the stored configuration (read only). False with *error when it is unreadable;
// a configuration that is not stored yet loads as empty.
bool Read(FTInfo* info, std::string* error);

// "mirror", "stripe", "parity", "volset"; empty for other types.
std::string TypeWord(uint32_t type);
// The type a word names; false when it names none.
bool TypeFromWord(const std::string& word, uint32_t* type);

}  // namespace ftconfig
