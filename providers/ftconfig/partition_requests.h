// The partition requests carried out below the front end: create, delete, active, letter,
// rescan and the context menus' update. Each checks its arguments against the model of
// the booted machine, sends one request through the provider's control entry (the
// backups of the table sectors it changes kept, not in a dry run) and says what it did in
// a sentence. Nothing here prints: the outcome, the machine after it and its alerts come
// back for the caller to show.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "boot.h"
#include "machine_model.h"
#include "status.h"

namespace ftconfig {

// How the requests run.
struct RequestContext {
  bool dryRun = false;    // on the platform's overlay: the sentences say "would ..."
  bool allowIds = false;  // object ids name volumes too (inside the shell)
};

// What a partition request came to. The Status is ok when it succeeded; otherwise its
// message is the whole sentence: of a refusal before anything was sent when sent is
// false, of the request's failure when it is true.
struct PartitionOutcome {
  ntp::Status status;
  bool sent = false;
  std::string command;         // the request as typed after "ftdiskctl"
  ZM_OBJECT_ID object = 0;     // what it was sent to
  int disk = -1;               // the disk whose layout shows it; -1: every disk
  zm::RequestOutcome request;  // its status, reply, alerts, backups and backup warnings
  model::Machine after;        // the machine after it, with the request's alerts
  std::string done;            // what it did ("created disk0/p1 (...)"); "" when nothing is said
};

// The create request's arguments as typed: sizes and offsets in bytes, or in sectors of
// the disk when marked so ("2048s").
struct NewPartition {
  std::string kind;  // primary, extended or logical
  unsigned disk = 0;
  uint64_t size = 0;
  bool hasOffset = false;
  uint64_t offset = 0;
  bool maxSize = false;  // the whole free region
  bool sizeInSectors = false, offsetInSectors = false;
};

// create KIND --disk N --size SIZE [--offset BYTES]: the disk, its table, the free region
// and the limit of MBR tables checked first; the created line names the rounding.
PartitionOutcome RequestCreate(zm::Session& s, const RequestContext& c, const NewPartition& a);
// delete VOLUME, or the extended partition of a disk (volume "extended"): a member of an
// FT set is refused.
PartitionOutcome RequestDelete(zm::Session& s, const RequestContext& c, const std::string& volume,
                               bool extended, unsigned disk);
// active VOLUME: a logical drive or a CD-ROM is refused (no slot in the master boot record).
PartitionOutcome RequestActive(zm::Session& s, const RequestContext& c, const std::string& volume);
// letter VOLUME X: (letter checked for its form already) or letter VOLUME --remove.
PartitionOutcome RequestLetter(zm::Session& s, const RequestContext& c, const std::string& volume,
                               const std::string& letter, bool remove);
// rescan [--disk N]: the tables read again and republished (one disk: the update-disk request).
PartitionOutcome RequestRescan(zm::Session& s, const RequestContext& c, std::optional<unsigned> disk);
// The same refresh under another command's name ("registry import FILE").
PartitionOutcome RequestRefresh(zm::Session& s, const RequestContext& c, const std::string& command,
                                const std::string& what);
// menus: every context menu recomputed.
PartitionOutcome RequestMenus(zm::Session& s, const RequestContext& c);

// Why letter cannot go to volume id because another volume has it ("" when none has):
// which volume, and what to do.
std::string LetterHolder(const model::Machine& m, const std::string& letter, ZM_OBJECT_ID id);

}  // namespace ftconfig
