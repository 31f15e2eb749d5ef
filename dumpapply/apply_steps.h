// An apply's steps carried out: each through the requests an administrator would make
// (create, active, letter, rescan, ft edit define and member), and those no single request
// of the provider makes: partition types written through the disk driver, the dump's
// letters handed out volume by volume, and disk signatures written before the provider
// first sees the disks. Nothing here prints; each returns a status whose message says
// what failed, and what it did.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "apply_plan.h"
#include "boot.h"
#include "dumpfile.h"
#include "machine.h"
#include "partition_requests.h"
#include "status.h"

namespace dumpapply {

// Rewrites the disk's table through the disk driver with the types given to the
// partitions of those extents (which no request of the provider sets). backup: the
// sectors written are saved first (not in a dry run); warnings about the backup go to
// *warnings. The provider has not read the new types yet: the caller rescans the disk.
ntp::Status SetTypes(unsigned disk, uint64_t sectorBytes, const std::vector<ftformat::DumpPartition>& types,
                     bool backup, std::string* warnings);

// A letter change asked of the provider: letter 0 takes the volume's letter away.
struct LetterChange {
  std::string volume;
  char letter = 0;
  char had = 0;  // the letter the volume held
};
// Makes one change through the provider's letter request; its failure ends SetLetters.
using LetterRequest = std::function<ntp::Status(const LetterChange&)>;

// Gives every volume of the dump the letter the dump gives it, and takes the letters the
// provider handed out on its own from those the dump gives none. Letters are taken first,
// so a letter one volume holds can go to another. takeOnly: only take them, from the
// partitions too that become members of a set. A dump sfdisk wrote (no FT sets) leaves
// the provider's letters as they are. *done lists the changes made, in order.
ntp::Status SetLetters(const ftformat::Dump& d, bool takeOnly, const LetterRequest& request,
                       std::vector<LetterChange>* done);

// Writes the signatures on disks that hold no partition yet, in a boot of the platform
// alone (the machine in dir, which no host holds now): the provider then finds each disk
// under the signature its records will carry. A disk without a table gets an empty one.
// Sector 0 is saved as a backup first; warnings about that go to *warnings.
ntp::Status WriteSignatures(const std::string& dir, ntp::LockMode lock,
                            const std::vector<std::pair<unsigned, uint32_t>>& signatures,
                            std::string* warnings);

// The plan for the dump on the machine the session is open on (dir). Disks that need a
// signature first get it (not in a dry run, which goes on with the disks' own): the
// session closed, the signatures written, the session opened again and the plan made
// again. *signatures: those the first plan asked for (written, or would be); warnings
// about the backups go to *warnings. A failure's message is the whole sentence.
ntp::Status PlanWithSignatures(zm::Session& s, const std::string& dir, bool noWait, bool dryRun,
                               const ftformat::Dump& d, bool force, ApplyPlan* plan,
                               std::vector<std::pair<unsigned, uint32_t>>* signatures, std::string* warnings);

// How an apply's steps are carried out.
struct StepContext {
  ftconfig::RequestContext requests;  // how the partition requests run
  // Text for standard error: warnings about backups, the sentence of a request refused or
  // failed, the requests' notes.
  std::function<void(const std::string& text)> error;
};

// Carries out one step of the plan. *letters: the changes a letters step made, in order.
// False when a request was refused or failed (its sentence went to c.error).
bool RunStep(zm::Session& s, const Step& step, const ftformat::Dump& d, const StepContext& c,
             std::vector<LetterChange>* letters);

}  // namespace dumpapply
