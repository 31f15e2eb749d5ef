// The machine steps the FT requests are made of: partitions deleted and letters changed
// through the provider, the FT flag in the members' partition types, the configuration
// changed (with a rescan when a partition has no record yet), and the requests an
// interruption left unfinished. Nothing here prints: failures come back as a Status
// (the status code, and what could not be done) or as words.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "boot.h"
#include "ftconfig.h"
#include "ftintent.h"
#include "status.h"

namespace ftconfig {

// Forgets what the set's FT journal holds: a set made, defined or removed starts anew.
void DropJournal(uint32_t type, uint16_t group);
// Runs the provider's refresh so that it publishes a changed configuration, then the
// file systems and letters.
void Publish(zm::Session& s);
// Deletes a plain partition (its volume object) through the provider.
ZMSTATUS DeletePartition(zm::Session& s, ZM_OBJECT_ID volume);
// Gives the volume the letter ('C'..'Z'), or removes its letter (0), through the host.
ZMSTATUS SetLetter(zm::Session& s, ZM_OBJECT_ID volume, char letter);

// Sets (or clears) NT's fault-tolerance flag, 0x80, in the partition types of these
// members, so that a set can be found again from its disks when the configuration is
// lost. Only entries whose types change are rewritten; running it again changes nothing.
// A disk attached read-only keeps its types. A failure names the disk; its code is 0
// when the table could not be read.
ntp::Status MarkMembers(const std::vector<PartitionRef>& members, bool on);

// The lowest letter no device holds and the configuration records for no volume (the
// letter of a disk that is away stays its own); 0 when none is left.
char FreeLetter();
// Whether a set of the stored configuration holds the partition (true when the
// configuration cannot be read: nothing is then taken for free).
bool InAnySet(const PartitionRef& where);
// The index of the machine's disk with this signature, -1 when none has it.
int DiskWithSignature(uint32_t signature);
// A change of the configuration; when the partitions it names have no record yet (the
// provider was stopped before it recorded them), a refresh writes them first.
bool UpdateWithRescan(zm::Session& s, const std::function<bool(FTInfo&, std::string*)>& change,
                      std::string* error);

// The intents of FT requests as one run sees them: the finished ones forgotten, the
// run's own recorded before it writes and forgotten when it is done.
class Intents {
 public:
  // Returns a warning when the stored intents are damaged (they are then replaced).
  std::string Load();
  // Whether an earlier run of this request was interrupted after it had done all its
  // work (only forgetting it was left).
  bool Finished(const std::string& command) const;
  // The lowest group that neither a set nor an unfinished create of that type has.
  uint16_t FreeGroup(const FTInfo& info, uint32_t type) const;
  const Intent* Find(uint16_t op, const std::string& command) const;
  // Why a new partition cannot go on the disk with this signature: an unfinished request
  // has partitions there, or plans them.
  std::string Blocking(uint32_t signature) const;
  bool Record(const Intent& intent, std::string* error);
  // Returns a warning when the list could not be stored.
  std::string Forget(const std::string& command);

 private:
  std::vector<Intent> list_;
  std::vector<std::string> finished_;
};

// Where a resumable request (create, extend, delete, regenerate --onto) stands when it
// starts: nothing of it is pending, an earlier run was interrupted and left `intent` to
// finish, or that run had done all its work already.
enum class Resume { kNew, kPending, kDone };
Resume FindPending(const Intents& intents, uint16_t op, const std::string& command, Intent* intent);

}  // namespace ftconfig
