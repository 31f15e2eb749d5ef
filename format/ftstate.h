// The state rules of FT sets, the boot-time pass that orphans members whose partition is
// gone, and the small sealed records kept beside the configuration. Shared by the
// platform's FtDisk stand-in, the provider and the front end, so every reader applies
// the same rule.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "configblob.h"

// The state a set takes when lost of its members are orphaned: a mirror or a parity set
// with one lost has an orphan, a stripe set or volume set with any lost, or a parity
// set (or mirror) with two or more, is disabled. With none lost, or for a type that is
// no FT set, the state stays current; a disabled set never becomes less than disabled.
uint32_t FtSetStateAfterLoss(uint32_t type, uint32_t current, uint32_t lost, uint32_t members);

// Whether a disk with this signature holds a partition at exactly this offset and length.
using DiskRegistryPresence = std::function<bool(uint32_t signature, int64_t offset, int64_t length)>;

// Marks every FT member whose partition is not present as Orphaned and gives each set
// with orphans the state FtSetStateAfterLoss says; a member already orphaned stays so
// (it comes back only when regenerated). blob must be accepted by DiskRegistryValidate.
// Returns the number of records changed (0: the blob is as it was).
uint32_t DiskRegistryOrphanMissingMembers(void* blob, size_t len, const DiskRegistryPresence& present);

// The state that follows from a set's member states: any orphaned member gives
// FtHasOrphan (a mirror or parity set with one) or FtDisabled; else a regenerating
// member FtRegenerating, an initializing one FtInitializing; else FtStateOk.
uint32_t FtSetStateFor(uint32_t type, uint32_t orphaned, uint32_t regenerating, uint32_t initializing,
                       uint32_t members);

namespace ftformat {
// Whether a member in this state holds its share of the data: a healthy one does; an
// initializing member of a parity set holds its data stripes (only the parity is not
// written yet); an orphaned, regenerating or initializing mirror member does not.
bool MemberHoldsData(uint32_t type, uint32_t state);
}  // namespace ftformat

// An FT member that a boot orphaned because its partition was not on the disks, as the
// boot recorded it: where the member was, and whether its set could still be written
// while it was away (then its data may be stale when it returns).
struct FtAbsentMember {
  uint16_t type = 0;
  uint16_t group = 0;
  uint16_t member = 0;
  bool mayBeStale = false;
  uint32_t signature = 0;
  int64_t offset = 0;
  int64_t length = 0;
  bool operator==(const FtAbsentMember&) const = default;
};

// The boot-time pass of the FtDisk stand-in. Missing members are orphaned as
// DiskRegistryOrphanMissingMembers does and noted in *absent. A noted member whose
// partition is back with the same signature, offset and length becomes Healthy again
// when its set could not be written while it was away (the note is not marked stale
// and the set is still disabled); its note goes. Notes whose member is no longer an
// orphaned member at that place go too, and the notes of a set that can be written
// after this pass are marked stale. blob must be accepted by DiskRegistryValidate.
// Returns the number of records of the blob changed; *orphaned and *returned (when
// given) receive how many members the pass orphaned and took back.
uint32_t DiskRegistryTrackAbsentMembers(void* blob, size_t len, const DiskRegistryPresence& present,
                                        std::vector<FtAbsentMember>* absent, uint32_t* orphaned = nullptr,
                                        uint32_t* returned = nullptr);

// Small records this system keeps beside the configuration (absent members, pending FT
// requests), under one registry key. Each value is sealed: a magic number, a version,
// the payload's length and its CRC-32, so that a damaged or foreign value is refused
// before any field of it is used.
#define FtStateKey "\\REGISTRY\\MACHINE\\SOFTWARE\\ftdisk"
#define FtAbsentMembersValue "AbsentMembers"
uint32_t DiskRegistryCrc32(const void* data, size_t size);
std::vector<uint8_t> FtSealRecord(uint32_t magic, const std::vector<uint8_t>& payload);
// The payload of a sealed record, or false with *why.
bool FtOpenRecord(const uint8_t* data, size_t size, uint32_t magic, std::vector<uint8_t>* payload,
                  std::string* why);
std::vector<uint8_t> FtEncodeAbsentMembers(const std::vector<FtAbsentMember>& absent);
bool FtDecodeAbsentMembers(const uint8_t* data, size_t size, std::vector<FtAbsentMember>* absent,
                           std::string* why);
