// The partitions an FT request names or makes, found on the model of the booted machine,
// and the steps that make, take or give them back: a partition made where the request's
// intent planned it, a new member's own letter removed, an unfinished request rolled
// back. Nothing here prints; a failure comes back as a Status (the host's or provider's
// code when it has one, and what could not be done).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "boot.h"
#include "ftconfig.h"
#include "ftintent.h"
#include "ftrequest.h"
#include "machine_model.h"
#include "status.h"

namespace ftconfig {

// A partition the request names or makes.
struct Part {
  std::string name;  // diskN/pM
  unsigned disk = 0;
  std::u16string device;
  PartitionRef where;         // as the disk driver and the configuration give it
  ZM_OBJECT_ID volume = 0;    // its volume object
  bool bootOrSystem = false;  // the active partition
  bool hasLetter = false;
};

// What the set rules need to know of the partition.
Candidate AsCandidate(const Part& p);

// The partition a VOLUME argument names (diskN/pM, or the letter of a plain partition).
ntp::Status FindPart(const model::Machine& m, const std::string& text, Part* p);
// The partition with this device on the machine as it is now.
ntp::Status RefreshPart(const model::Machine& m, Part* p);
// The partition with exactly this extent on the disk with that signature; false when the
// disks hold none.
bool FindPartAt(const PartitionRef& where, Part* p);
// The volume of a plain partition after a refresh; 0 when the disks hold none there.
ZM_OBJECT_ID VolumeOfPartition(const PartitionRef& where);
// The volume id of the FT set of that name ("mirror0"); 0 when it has none.
ZM_OBJECT_ID SetVolume(const model::Machine& m, const std::string& set);

// An FT set records its members by disk signature: a disk whose signature is 0 or shared
// with another disk cannot be told apart in the configuration. Empty when the disk can
// be recorded, else the reason with the way on.
std::string SignatureProblem(const model::Machine& m, unsigned disk);
// The first of these disks' SignatureProblem; "" when every one can be recorded.
std::string SignaturesProblem(const model::Machine& m, const std::vector<unsigned>& disks);
// Why a request may write none of these disks (one attached read-only or write-protected):
// named before anything of the request is written; "" when it may.
std::string ReadOnlyDisksProblem(const std::vector<unsigned>& disks);
// Why these disks cannot take a new partition: a disk that no request may write, a damaged
// one, or one whose table the requests leave alone is named as the reason rather than
// showing no free region; "" when they can.
std::string TargetDisksProblem(const model::Machine& m, const std::vector<unsigned>& disks);
// Why a member cannot be rebuilt from the others, or "": every other member must be
// healthy.
std::string RebuildSourcesProblem(const SetView& view, unsigned member);

// Makes a primary partition through the provider's create request: size bytes asked for
// at offset, the start of a free region.
ntp::Status CreatePartition(zm::Session& s, unsigned disk, int64_t offset, int64_t size, Part* made);
// Deletes a plain partition through the provider.
ntp::Status DeletePart(zm::Session& s, const Part& p);
// Makes the partition an intent planned, or takes it when an earlier run of the same
// request made it already (a partition of exactly that extent that no set holds). A
// partition the provider places elsewhere is deleted again.
ntp::Status MakePlanned(zm::Session& s, const Intent::Part& plan, Part* made);
// A new member keeps no letter of its own: its set has member 0's.
ntp::Status DropLetter(zm::Session& s, Part* p);
// Deletes the partitions of a removed set that a delete request names and that are still
// there and in no set. *done says what was deleted (the members named as `members` says,
// when given) and which members were not on the disks.
ntp::Status DeleteMembers(zm::Session& s, const Intent& intent, const std::string& members,
                          std::string* done);
// After a mirror is broken: the running letter follows the configuration, off the stale
// member and onto the kept one, and the other member gets the lowest free letter.
ntp::Status GiveBrokenMirrorLetters(zm::Session& s, const SetView& view, unsigned keeper);
// Undoes an unfinished request before its set was recorded: the partitions it made that
// no set holds are deleted, the partition a mirror was to be made from loses its FT
// flag, and the request is forgotten. Returns a warning when the intents could not be
// stored.
std::string RollBack(zm::Session& s, Intents& intents, const Intent& intent);

}  // namespace ftconfig
