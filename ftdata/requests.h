// The FT requests carried out end to end: sets made, grown, broken, deleted, regenerated
// (in place or onto another disk) and edited. Every request checks the rules before
// anything is written, keeps a backup of the table sectors and of "Information", makes
// partitions through the provider's own create request, records the set in the
// configuration last, runs the data pass a mirror or parity set needs, and lets the
// provider publish the result with a refresh. The resumable ones (create, extend, delete,
// regenerate --onto) record their intent first and finish an interrupted run of the same
// command. Nothing here prints: lines for standard error go to the caller's hooks, and
// the outcome comes back as a Status and a RequestResult.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "boot.h"
#include "disk_signature.h"
#include "ftmap.h"
#include "ftsearch.h"
#include "ftset.h"
#include "machine_model.h"
#include "status.h"

namespace ftdata {

// What the caller supplies.
struct RequestHooks {
  // A line for standard error ("warning: ...", "note: ...", a data pass resuming or left
  // out by a dry run), without its newline.
  std::function<void(const std::string& line)> note;
  // The progress shown while a data pass runs (null: none).
  std::function<ntp::ftmap::Progress(const std::string& what)> progress;
};

// What a request did. The returned Status is ok when it succeeded (done says what it
// did); otherwise its message is the whole sentence: of a refusal before anything was
// written when started is false, of the failure of a started request when it is true.
struct RequestResult {
  bool started = false;              // backups taken; the outcome is the request's
  std::string command;               // the request as typed after "ftdiskctl"
  std::string set;                   // the set acted on or made ("mirror0"), "" when none
  ZM_OBJECT_ID before = 0;           // its volume before the request (0: none)
  std::vector<std::string> backups;  // the table backups kept
  std::string done;                  // "made mirror0 from disk0/p1 disk1/p1"
  int signatureFor = -1;             // regenerate --onto: this disk needs a signature first
};

// The request's sentence as a dry run says it: "would delete stripe0 and its partitions".
std::string Conditional(const std::string& done);

// ft create TYPE [VOLUME] --disk N... [--size SIZE...]: the arguments checked for their
// form already (a mirror: the volume and one disk; the others: sizes parsed).
struct CreateArgs {
  std::string kind;  // mirror, stripe, parity, volset
  std::string volume;
  std::vector<unsigned> disks;
  std::vector<std::string> sizeTexts;  // as typed (the command recorded names them)
  std::vector<uint64_t> sizes;         // one per disk
};
ntp::Status CreateSet(zm::Session& s, const CreateArgs& args, const RequestHooks& h, RequestResult* r);
// ft extend VOLSET --disk N --size SIZE.
ntp::Status Extend(zm::Session& s, const std::string& setArg, unsigned disk, const std::string& sizeText,
                   uint64_t size, const RequestHooks& h, RequestResult* r);
// ft break MIRROR (remove false) and ft delete SET (true).
ntp::Status BreakOrDelete(zm::Session& s, const std::string& setArg, bool remove, const RequestHooks& h,
                          RequestResult* r);
// ft regenerate SET [MEMBER] [--onto DISK]: member < 0 is the orphaned one; onto < 0
// rebuilds in place. A disk with no signature is refused with r->signatureFor set (a
// dry run cannot go on from there; otherwise the caller signs it and asks again).
ntp::Status Regenerate(zm::Session& s, const std::string& setArg, int member, int onto, bool dryRun,
                       const RequestHooks& h, RequestResult* r);
// ft regenerate as the command carries it out: Regenerate, and for a disk with no
// signature (not in a dry run) the step it needs first, once: the session closed, a
// fresh signature written on the disk in a boot of the platform alone (the host learns
// disk signatures when it starts), signedDisk told of it, the session opened again on
// the same machine and the request asked again. *mark: the session's alert count when
// the request whose outcome this is began.
ntp::Status RegenerateSigning(zm::Session& s, bool noWait, const std::string& setArg, int member, int onto,
                              bool dryRun, const RequestHooks& h,
                              const std::function<void(const ntp::SignatureChange&)>& signedDisk,
                              size_t* mark, RequestResult* r);
// ft edit define|drop|member: the configuration changed without touching the data.
ntp::Status EditDefine(zm::Session& s, const std::string& kind, uint32_t type, int group,
                       const std::vector<std::string>& memberArgs, bool assumeClean, const RequestHooks& h,
                       RequestResult* r);
ntp::Status EditDrop(zm::Session& s, const std::string& setArg, const RequestHooks& h, RequestResult* r);
ntp::Status EditMember(zm::Session& s, const std::string& setArg, int member, const std::string& stateWord,
                       uint32_t state, const RequestHooks& h, RequestResult* r);

// ft find --apply: every proposal of the search that is sure and lost no member recorded
// as its `ft edit define` does (the same checks, backups and publishing); members
// compared whole are recorded as agreeing. One entry per proposal: the set recorded, or
// why not (the first line the command would say on standard error: a note, its refusal,
// or the registry writes that failed on the way); both empty for a proposal left alone.
struct FoundRecord {
  std::string recorded, refused;
};
std::vector<FoundRecord> RecordFound(zm::Session& s, const ftconfig::SetSearch& search);

}  // namespace ftdata
