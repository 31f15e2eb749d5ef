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
  bool operator==(const PartitionRef&) const = default;
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
// Removes a set; its members' records become plain partitions. Member keeper (0 unless
// another holds the set's data) keeps the set's letter; the others ask for none (the
// front end gives them letters afterwards).
bool RemoveSet(FTInfo& info, uint32_t type, uint16_t group, std::string* error, unsigned keeper = 0);
// Appends a member to a volume set.
bool AppendMember(FTInfo& info, uint32_t type, uint16_t group, const PartitionRef& member,
                  std::string* error);
// Makes another partition member `member` of the set, in the given state, with the set's
// type, group, member number and letter. The partition it replaces becomes a plain
// partition without a letter, or, when it is gone (dropGone: its disk died or it was
// deleted), its record goes, with its disk's description when that holds no other.
bool ReplaceMember(FTInfo& info, uint32_t type, uint16_t group, unsigned member, const PartitionRef& by,
                   uint32_t state, bool dropGone, std::string* error);
// Sets one member's state (member < 0: every member) and the set's state that follows.
bool SetMemberState(FTInfo& info, uint32_t type, uint16_t group, int member, uint32_t state,
                    std::string* error);
// Sets the set's own state, leaving its members alone.
bool SetSetState(FTInfo& info, uint32_t type, uint16_t group, uint32_t state, std::string* error);

// Member sizes. The provider ends every partition it makes on a cylinder boundary and
// starts one at the disk's start a track in, so the members of a set cannot always have
// one length: they are equal when none is a cylinder (of the largest cylinder among
// their disks) or more longer than another. Volume sets take members of any size.
// Empty when the lengths are equal, else what is wrong.
std::string MemberSizesProblem(uint32_t type, const std::vector<int64_t>& lengths, int64_t cylinder);

// Where the provider puts a new primary partition requested at the start of a free
// region: the request and the extent it gives.
struct Placement {
  int64_t freeOffset = 0;  // the free region's start, where the request is made
  int64_t request = 0;     // the length asked for
  int64_t offset = 0;      // the partition the provider makes
  int64_t length = 0;
};
// What a create request makes (its "REGION_TYPE").
enum class RegionKind { Primary = 1, Extended = 2, Logical = 3 };
// The extent a request of `request` bytes at the start of the free region gives: a
// region at the disk's start loses its first track (its first cylinder for an extended
// partition), and the end goes to the nearer cylinder boundary (never past the region).
// A logical drive's data starts a track into its extent, after its boot record. False
// when nothing is left (for a logical drive, no data).
bool PlaceRequest(int64_t freeOffset, int64_t freeLength, int64_t request, int64_t track, int64_t cylinder,
                  Placement* placement, RegionKind kind = RegionKind::Primary);
// The smallest request whose partition holds at least `wanted` bytes: the end rounded
// up to a cylinder boundary, or the whole region when that is what fits. False when
// the region cannot hold it.
bool PlaceAtLeast(int64_t freeOffset, int64_t freeLength, int64_t wanted, int64_t track, int64_t cylinder,
                  Placement* placement);

// Loads the stored configuration under the FT mutex, applies change, checks the result
// and stores it. Nothing is stored when the load, the change or the check fails; a
// stored value that is malformed is never replaced. False with *error set then.
bool Update(const std::function<bool(FTInfo&, std::string*)>& change, std::string* error);
// Loads the stored configuration (read only). False with *error when it is unreadable;
// a configuration that is not stored yet loads as empty.
bool Read(FTInfo* info, std::string* error);

// "mirror", "stripe", "parity", "volset"; empty for other types.
std::string TypeWord(uint32_t type);
// The set's name: its type's word and its group ("mirror0").
std::string SetName(uint32_t type, uint16_t group);
// The type a word names; false when it names none.
bool TypeFromWord(const std::string& word, uint32_t* type);

}  // namespace ftconfig
