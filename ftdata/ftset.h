// An FT set's data opened by name on the booted machine: its members as the FT
// configuration stores them, its volume through the platform's FT layout, and the marks
// a write puts on a redundant set (member states and FT journal) until its last flush.
// Shared by ftdiskctl (volume export|import, ft verify and the data passes of the ft
// requests) and the nbdkit plugin.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "ftjournal.h"
#include "ftmap.h"
#include "ftstate.h"
#include "machine_model.h"

namespace ftdata {

// A status as the messages show it: "0xC0000185".
std::string HexStatus(NTSTATUS st);

// "mirror0", "stripe1", "parity2", "volset3": the set's type and group.
bool ParseSetName(const std::string& text, uint32_t* type, uint16_t* group);

// "mirror0", "parity2"... or a drive letter of an FT volume on the machine: the set's
// type and group.
bool ResolveSet(const model::Machine& m, const std::string& text, uint32_t* type, uint16_t* group,
                std::string* error);
// Why text names no FT set, for a usage error.
std::string NoSetNamed(const std::string& text);

// A stored set's members: each member's partition device, orphaned members marked
// unusable.
struct SetMembers {
  std::vector<std::u16string> devices;  // empty where the partition is not found
  std::vector<uint64_t> lengths;
  std::vector<uint32_t> states;
  std::vector<uint32_t> signatures;
  std::vector<int64_t> offsets;
};
bool LoadSetMembers(uint32_t type, uint16_t group, SetMembers* members, std::string* error);
// Whether a member in this state holds its share of the data (format/ftstate.h).
using ftformat::MemberHoldsData;

// A set with its stored members.
struct Set {
  uint32_t type = 0;
  uint16_t group = 0;
  SetMembers members;
  std::string name() const { return ntp::ftjournal::SetName(type, group); }
};

// The set's volume: every member that is on the disks and holds its data, or is marked
// by an unfinished write's own mark (every member that is on the disks with allMembers).
// Errors go to err after what.
bool OpenVolume(const std::string& what, const Set& set, bool write, bool allMembers,
                std::unique_ptr<ntp::ftmap::Volume>* volume, std::ostream& err);

// The set text names (ResolveSet) with its stored members.
bool LoadNamedSet(const model::Machine& m, const std::string& text, Set* set, std::string* error);

std::vector<ntp::ftjournal::MemberId> MemberIds(const SetMembers& m);
// The set's journal when it can be trusted, else a fresh one for the set.
ntp::ftjournal::Journal LoadJournal(const Set& set);
// Stores the members' states (and the set's state that follows) in the configuration.
bool StoreStates(const Set& set, const std::vector<uint32_t>& states, std::string* error);
// Marks the set as being written, unless it is marked already or not redundant: the
// configuration first, then the journal, so that an interruption anywhere leaves the
// set shown as needing a resync. The dirty ranges are added as they are written.
bool MarkWritten(Set& set, ntp::ftjournal::Journal* j, std::string* error);
// Our mark is still the set's state: nothing else changed it since.
bool MarkHolds(const Set& set, const ntp::ftjournal::Journal& j);
// Takes the mark away once nothing is dirty: the journal loses it first, then the
// configuration says healthy.
bool ClearMark(Set& set, ntp::ftjournal::Journal* j, std::string* error);

}  // namespace ftdata
