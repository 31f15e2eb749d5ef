// `ftdiskctl check`: the FT configuration compared with the disks of the machine. Each
// finding says what is wrong, about which object, and what to do; the exit status is 1
// when anything is degraded or inconsistent.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>

#include "cli.h"
#include "command_table.h"
#include "ftcmd.h"
#include "ftintent.h"
#include "ftjournal.h"
#include "ftmap.h"
#include "ftstate.h"
#include "machine.h"
#include "ntplatform.h"
#include "registry_store.h"

namespace cli {

namespace {

std::string Hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

std::string Bytes(int64_t v) { return std::to_string(v); }

// A data partition of a disk as the disk driver reports it; number is the one of its
// name (diskN/pM): its MBR slot, or from 5 in chain order for a logical drive.
struct DiskPartition {
  unsigned disk, number;
  int64_t offset, length;
  bool recognized;
};

// Every data partition of every disk, through the disk driver's layout control.
std::vector<DiskPartition> ReadPartitions(unsigned disk, const std::u16string& device) {
  std::vector<DiskPartition> out;
  HANDLE h = nullptr;
  if (!NT_SUCCESS(OpenDevice(device + u"\\Partition0", GENERIC_READ, &h))) return out;
  DriveLayout layout;
  NTSTATUS st = ReadDriveLayout(h, &layout);
  NtClose(h);
  if (!NT_SUCCESS(st)) return out;
  unsigned logical = 5;
  for (size_t i = 0; i < layout.entries.size(); ++i) {
    const PARTITION_INFORMATION& p = layout.entries[i];
    if (p.PartitionNumber == 0) continue;  // empty slot or container
    out.push_back({disk, i < 4 ? unsigned(i + 1) : logical++, p.StartingOffset.QuadPart,
                   p.PartitionLength.QuadPart, p.RecognizedPartition != 0});
  }
  return out;
}

// What a set's state means for its data, in words.
std::string SetHealth(uint32_t state) {
  switch (state) {
    case FtHasOrphan:
      return "has lost a member: its data is no longer redundant";
    case FtDisabled:
      return "is disabled: a member its data needs is lost";
    case FtRegenerating:
      return "is regenerating a member: not redundant until that ends";
    case FtInitializing:
      return "is initializing: not redundant until that ends";
    default:
      return "is in state " + FtStateName(state);
  }
}

// What check knows of the machine while it looks at the FT sets.
struct CheckContext {
  const ConfigView& view;
  const cli::Machine& machine;
  std::map<uint32_t, std::vector<unsigned>> bySignature;
  std::vector<DiskPartition> partitions;
  std::vector<ftconfig::Intent> intents;
  std::vector<FtAbsentMember> absent;

  std::string DiskName(uint32_t sig) const {
    auto it = bySignature.find(sig);
    return it == bySignature.end() ? "disk " + Hex32(sig) : "disk" + std::to_string(it->second[0]);
  }
  const DiskPartition* Find(uint32_t sig, int64_t offset, int64_t length) const {
    auto it = bySignature.find(sig);
    if (it == bySignature.end()) return nullptr;
    for (const auto& p : partitions)
      if (std::count(it->second.begin(), it->second.end(), p.disk) && p.offset == offset &&
          p.length == length)
        return &p;
    return nullptr;
  }
  // The intent of an unfinished request on the set, if any.
  const ftconfig::Intent* IntentFor(const ConfigSet& set) const {
    for (const auto& i : intents)
      if (i.type == set.type && i.group == set.group && i.op != ftconfig::Intent::kDelete) return &i;
    return nullptr;
  }
  const FtAbsentMember* Absent(const ConfigSet& set, size_t member) const {
    for (const auto& a : absent)
      if (a.type == set.type && a.group == set.group && a.member == member) return &a;
    return nullptr;
  }
};

std::string PartName(const DiskPartition& p) {
  return "disk" + std::to_string(p.disk) + "/p" + std::to_string(p.number);
}

// The command that rebuilds a lost member of a mirror or parity set onto another disk,
// or what is missing for one.
std::string RebuildOnto(const CheckContext& m, const ConfigSet& set, size_t member, int64_t length) {
  std::vector<uint32_t> signatures;
  for (size_t i : set.members) signatures.push_back(m.view.records[i].signature);
  const std::string name = FtSetName(set);
  const int disk = ReplacementDisk(m.machine, signatures, length);
  if (disk >= 0)
    return "ftdiskctl ft regenerate " + name + " " + std::to_string(member) + " --onto " +
           std::to_string(disk);
  return "attach a disk with " + std::to_string(length) + " bytes free (" + FormatSize(uint64_t(length)) +
         ") and run ftdiskctl ft regenerate " + name + " " + std::to_string(member) + " --onto DISK";
}

// Findings of one FT set: its members, what it has lost, and the command that brings it
// back, or exactly what cannot come back.
void SetFindings(const CheckContext& m, const ConfigSet& set,
                 const std::function<void(std::string, std::string, std::string, std::string)>& add) {
  const std::string name = FtSetName(set);
  const bool redundant = set.type == Mirror || set.type == StripeWithParity;
  const size_t n = set.members.size();
  // A member serves the volume when its partition is there and its state says it holds
  // its data; how many may be missing before data is lost depends on the type.
  std::vector<bool> lost(n);
  std::vector<uint64_t> lengths(n);
  std::vector<const DiskPartition*> at(n);
  std::vector<int64_t> sizes;
  std::vector<uint32_t> signatures;
  for (size_t i = 0; i < n; ++i) {
    const ConfigRecord& r = m.view.records[set.members[i]];
    at[i] = m.Find(r.signature, r.offset, r.length);
    lost[i] = at[i] == nullptr || !MemberHoldsData(set.type, r.ftState);
    lengths[i] = uint64_t(r.length);
    sizes.push_back(r.length);
    signatures.push_back(r.signature);
  }
  const size_t gone = size_t(std::count(lost.begin(), lost.end(), true));
  // A member can be rebuilt only from healthy ones: a parity never written whole (an
  // initializing member left) rebuilds nothing.
  bool whole = true;
  for (size_t i = 0; i < n; ++i)
    whole = whole && (lost[i] || m.view.records[set.members[i]].ftState == Healthy);
  const size_t tolerated = !whole ? 0 : set.type == Mirror ? n - 1 : set.type == StripeWithParity ? 1 : 0;
  const auto ranges = LostRanges(set.type, lengths, lost, whole);
  const std::string holes = ranges.empty() ? ""
                                           : "the volume's " + DescribeRanges(ranges, 4) +
                                                 " cannot be read; ftdiskctl volume export " + name +
                                                 " FILE --allow-holes saves the rest with those bytes zeroed";
  const ftconfig::Intent* pending = m.IntentFor(set);
  const std::string rerun = pending ? "run 'ftdiskctl " + pending->command + "' again to finish it" : "";

  std::string firstAction;  // the degraded finding's: the first member's way back
  for (size_t i = 0; i < n; ++i) {
    if (!lost[i]) continue;
    const ConfigRecord& r = m.view.records[set.members[i]];
    const std::string object = name + " member " + std::to_string(i);
    const FtAbsentMember* away = m.Absent(set, i);
    std::string kind, message, action;
    if (at[i] != nullptr && r.ftState != Orphaned) {
      continue;  // regenerating or initializing: the set's finding says how that ends
    } else if (at[i] != nullptr) {
      // The partition is there; the member is out of step (or may be).
      const std::string part = PartName(*at[i]);
      kind = "orphaned_member";
      message = part + " is an orphaned member" +
                (away ? away->mayBeStale ? " (its disk was away while the set could be written)"
                                         : " (its disk was away and is back unchanged)"
                      : "");
      if (redundant && gone <= tolerated) {
        action = "ftdiskctl ft regenerate " + name + " " + std::to_string(i);
      } else if (away && !away->mayBeStale) {
        action =
            "nothing could write the set while it was away: the next command that writes (for example "
            "ftdiskctl rescan) takes it back";
      } else if (redundant) {
        action = "the members left cannot rebuild it; if " + part +
                 " holds current data (nothing wrote to the set since it left), ftdiskctl ft edit member " +
                 name + " " + std::to_string(i) + " --state healthy takes it back" +
                 (set.type == Mirror ? ", then ftdiskctl ft regenerate " + name + " rebuilds the other member"
                                     : ", then ftdiskctl ft verify " + name + " checks the parity");
      } else {
        action = "if nothing wrote to " + part + " while it was out of the set, ftdiskctl ft edit member " +
                 name + " " + std::to_string(i) + " --state healthy takes it back; otherwise " + holes;
      }
    } else if (!m.bySignature.count(r.signature)) {
      kind = "missing_disk";
      message = "its disk (signature " + Hex32(r.signature) + ") is not on this machine";
      action = redundant && gone <= tolerated
                   ? "attach the disk again, or rebuild the member onto another disk: " +
                         RebuildOnto(m, set, i, r.length)
                   : "attach the disk again; until then " + holes;
    } else {
      const DiskPartition* moved = nullptr;
      const auto& list = m.bySignature.at(r.signature);
      for (const auto& q : m.partitions)
        if (std::count(list.begin(), list.end(), q.disk) && q.length == r.length) moved = &q;
      kind = moved ? "moved_member" : "missing_member";
      message = moved ? "no partition at offset " + Bytes(r.offset) + " on " + m.DiskName(r.signature) +
                            "; " + PartName(*moved) + " has its size at offset " + Bytes(moved->offset)
                      : "its partition (offset " + Bytes(r.offset) + ", " + Bytes(r.length) + " bytes) on " +
                            m.DiskName(r.signature) + " is gone";
      const std::string back = moved ? "restore the partition table from a backup (ftdiskctl restore)" : "";
      if (redundant && gone <= tolerated)
        action = (moved ? back + ", or rebuild the member: " : "") + RebuildOnto(m, set, i, r.length);
      else
        action = (moved ? back + "; until then " : "") + holes;
    }
    if (firstAction.empty()) firstAction = action;
    add(kind, object, message, action);
  }

  if (set.state != FtStateOk || gone > 0) {
    std::string message = set.state == FtStateOk ? "the set has lost " + std::to_string(gone) + " of its " +
                                                       std::to_string(n) + " members"
                                                 : "the set " + SetHealth(set.state),
                action = firstAction;
    if (set.state == FtInitializing) {
      message += pending
                     ? " ('ftdiskctl " + pending->command + "' did not finish)"
                     : ": its members have not been made to agree (a set defined without --assume-clean, or "
                       "a data pass that did not finish), so a lost member could not be rebuilt";
      action = pending ? rerun + " (or ftdiskctl ft regenerate " + name + ")"
                       : "ftdiskctl ft regenerate " + name +
                             (set.type == Mirror
                                  ? " (copies member 0 over member 1)"
                                  : " (writes the parity from the data; a member that is blank or "
                                    "stale is marked orphaned first with ftdiskctl ft edit member " +
                                        name + " N --state orphaned, so that it is rebuilt instead)");
    } else if (gone > tolerated && !ranges.empty()) {
      uint64_t bytes = 0;
      for (const auto& [from, to] : ranges) bytes += to - from;
      message += "; " + std::to_string(bytes) + " bytes of the volume cannot be read";
    }
    if (action.empty()) action = rerun.empty() ? "ftdiskctl ft regenerate " + name : rerun;
    add("degraded", name, message, action);
  }

  const std::string sizesProblem =
      ftconfig::MemberSizesProblem(set.type, sizes, LargestCylinder(m.machine, signatures));
  if (!sizesProblem.empty())
    add("member_sizes", name, sizesProblem,
        "nothing is lost: the set uses " +
            std::to_string(ntp::ftmap::UsableMemberLength(static_cast<ntp::ftmap::Type>(set.type), lengths)) +
            " bytes of each member and the rest of the larger ones lies unused; to use it, save the volume "
            "(ftdiskctl volume export " +
            name + " FILE), make the set again from equal members and import it");
}

// Partitions that interrupted FT requests made (or were deleting) and that no set holds.
void IntentFindings(const CheckContext& m,
                    const std::function<void(std::string, std::string, std::string, std::string)>& add) {
  FTInfo info;
  std::string e;
  if (m.intents.empty() || !ftconfig::Read(&info, &e)) return;
  auto exists = [&](const ftconfig::PartitionRef& p) {
    return m.Find(p.signature, p.offset, p.length) != nullptr;
  };
  for (const auto& intent : m.intents)
    for (const auto& where : ftconfig::Progress(intent, info, exists).leftovers) {
      const std::string part = PartName(*m.Find(where.signature, where.offset, where.length));
      const bool deleting = intent.op == ftconfig::Intent::kDelete;
      add("leftover_partition", part,
          (deleting ? "a member of " + ftconfig::SetName(intent.type, intent.group) +
                          " that an interrupted 'ftdiskctl " + intent.command + "' had not deleted yet"
                    : "made by an interrupted 'ftdiskctl " + intent.command + "'") +
              "; no FT set holds it",
          "run 'ftdiskctl " + intent.command + "' again to finish it" +
              (deleting ? "" : ", or delete the partition (ftdiskctl delete " + part + ")"));
    }
}

struct Finding {
  std::string kind, object, message, action;
};

using Add = std::function<void(std::string, std::string, std::string, std::string)>;

// What the rules look at: the disks found, their partitions and the stored configuration.
struct CheckInput {
  explicit CheckInput(const Options& o) : opt(o), disks(ntp::Disks()) {}
  const Options& opt;
  std::vector<ntp::DiskInfo> disks;
  std::map<uint32_t, std::vector<unsigned>> bySignature;
  std::vector<DiskPartition> partitions;
  ntp::MachineConfig config;
  bool stored = false;    // an "Information" value is there
  bool readable = false;  // and the validator accepts it
  std::string malformed;  // why it is not readable
  ConfigView view;
  cli::Machine machine;
  std::unique_ptr<CheckContext> m;  // only when readable
  bool intentsUnreadable = false;   // the pending requests could not be read
  std::string intentsWhy;           // why
};

// Disks without a signature, and disks that share one.
void SignatureRule(const CheckInput& in, const Add& add) {
  auto image = [&](unsigned i) {
    if (i >= in.config.disks.size()) return std::string("IMAGE");
    std::filesystem::path p = in.config.disks[i].image;
    std::error_code ec;
    return std::filesystem::absolute(p.is_relative() ? std::filesystem::path(in.opt.dir) / p : p, ec)
        .string();
  };
  for (const auto& [sig, list] : in.bySignature) {
    if (sig == 0)
      for (unsigned i : list)
        add("zero_signature", "disk" + std::to_string(i), "the disk has no signature (0)",
            "write one before FT sets or letters are recorded on it: ftdiskctl attach --write-signature " +
                image(i));
    if (sig != 0 && list.size() > 1) {
      std::string names;
      for (unsigned i : list) names += (names.empty() ? "disk" : ", disk") + std::to_string(i);
      add("duplicate_signature", names, "these disks share the signature " + Hex32(sig),
          "give one of them a new signature; FT members and letters cannot tell them apart");
    }
  }
}

// A stored configuration that cannot be read.
void InformationRule(const CheckInput& in, const Add& add) {
  if (in.stored && !in.readable)
    add("malformed", "Information", "the stored FT configuration is malformed: " + in.malformed,
        "restore it (ftdiskctl registry recover) or import a good one; until then no FT set is protected");
}

// Pending FT requests that cannot be read.
void RequestsRule(const CheckInput& in, const Add& add) {
  if (in.intentsUnreadable)
    add("malformed", "Requests", in.intentsWhy,
        "the next ft request replaces it; until then partitions an interrupted request made are not named");
}

// Each FT set: its health and members, and an import into it that stopped part way.
void SetRule(const CheckInput& in, const Add& add) {
  for (const ConfigSet& set : in.view.sets) {
    SetFindings(*in.m, set, add);
    std::vector<ntp::ftjournal::MemberId> ids;
    for (size_t i : set.members)
      ids.push_back({in.view.records[i].signature, in.view.records[i].offset, in.view.records[i].length});
    ntp::ftjournal::Journal journal;
    std::string untrusted;
    const std::string name = FtSetName(set);
    if (ntp::ftjournal::Load(set.type, set.group, ids, &journal, &untrusted) && journal.importing)
      add("unfinished_import", name,
          "an import of " + journal.source + " stopped after " + std::to_string(journal.done) +
              (journal.bytes != 0 ? " of its " + std::to_string(journal.bytes) : "") +
              " bytes: the volume holds part of the image",
          "import the whole image again (ftdiskctl volume import " + name + " " +
              (journal.source == "-" ? "FILE" : journal.source) + ")");
  }
}

void IntentRule(const CheckInput& in, const Add& add) { IntentFindings(*in.m, add); }

// The name of a record's partition, or where the record says it lies.
std::string RecordObject(const CheckContext& m, const ConfigRecord& r) {
  const DiskPartition* p = m.Find(r.signature, r.offset, r.length);
  return p ? PartName(*p)
           : m.DiskName(r.signature) + " at offset " + Bytes(r.offset) + " (" + Bytes(r.length) + " bytes)";
}

// Plain records without a partition (a disk that is away keeps its records, and its
// letters, until it is back).
void RecordRule(const CheckInput& in, const Add& add) {
  for (const ConfigRecord& r : in.view.records) {
    if (r.ftType != NotAnFtMember || in.m->Find(r.signature, r.offset, r.length)) continue;
    const bool here = in.bySignature.count(r.signature) != 0;
    add(here ? "stale_record" : "missing_disk", RecordObject(*in.m, r),
        here ? "the configuration records a partition that is not on the disk"
             : "the configuration records a partition of a disk that is not here",
        here ? "rescan (ftdiskctl rescan) so the configuration is rebuilt from the disks"
             : "attach the disk again: its records and letters are kept for it until then (a registry "
               "import drops them)");
  }
}

// Letters recorded for more than one partition or CD-ROM.
void LetterRule(const CheckInput& in, const Add& add) {
  std::map<uint8_t, std::vector<std::string>> letters;
  for (const ConfigRecord& r : in.view.records)
    if (r.assign && r.letter >= 'C' && r.letter <= 'Z') letters[r.letter].push_back(RecordObject(*in.m, r));
  for (const auto& v : ntp::reg::ListValues(kDiskKey)) {
    if (v.type != REG_SZ || v.data.size() < 2) continue;
    char16_t c = char16_t(v.data[0] | (v.data[1] << 8));
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    if (c >= u'C' && c <= u'Z') letters[uint8_t(c)].push_back(Narrow(v.name));
  }
  for (const auto& [letter, objects] : letters) {
    if (objects.size() < 2) continue;
    std::string list;
    for (const auto& o : objects) list += (list.empty() ? "" : ", ") + o;
    add("letter_twice", std::string(1, char(letter)) + ":",
        "the letter is recorded for " + std::to_string(objects.size()) + " objects: " + list,
        "give all but one another letter (ftdiskctl letter VOLUME X:)");
  }
}

// Disks the configuration describes more than once.
void DuplicateDiskRule(const CheckInput& in, const Add& add) {
  std::map<uint32_t, int> described;
  for (uint32_t sig : in.view.disks) ++described[sig];
  for (const auto& [sig, n] : described)
    if (n > 1)
      add("duplicate_record", in.m->DiskName(sig),
          "the configuration describes the disk " + std::to_string(n) + " times",
          "rescan (ftdiskctl rescan) so the configuration is rebuilt from the disks");
}

// Partitions the configuration does not record (only when it has a disk part: a machine
// with nothing configured yet gets one on its first change).
void UnrecordedRule(const CheckInput& in, const Add& add) {
  if (in.view.disks.empty()) return;
  for (const auto& p : in.partitions) {
    if (!p.recognized) continue;
    uint32_t sig = 0;
    for (const auto& d : in.disks)
      if (d.index == p.disk) sig = d.signature;
    bool recorded = std::any_of(in.view.records.begin(), in.view.records.end(), [&](const ConfigRecord& r) {
      return r.signature == sig && r.offset == p.offset && r.length == p.length;
    });
    if (!recorded)
      add("unrecorded_partition", PartName(p), "the configuration has no record of this partition",
          "rescan (ftdiskctl rescan) so the configuration is rebuilt from the disks");
  }
}

// The rules in the order their findings are listed; those that compare the configuration
// with the disks run only when it is readable.
struct Rule {
  bool needsConfig;
  void (*run)(const CheckInput&, const Add&);
};
constexpr Rule kRules[] = {
    {false, SignatureRule}, {false, InformationRule},  {true, RequestsRule},
    {true, SetRule},        {true, IntentRule},        {true, RecordRule},
    {true, LetterRule},     {true, DuplicateDiskRule}, {true, UnrecordedRule},
};

}  // namespace

int CmdCheck(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  std::string e;
  if (!s.Open(opt.dir, opt.noWait, &e)) {
    err << e << "\n";
    return kFailed;
  }
  NoteUnstoredRecords(s, err);

  CheckInput in(opt);
  for (const auto& d : in.disks) {
    in.bySignature[d.signature].push_back(d.index);
    auto p = ReadPartitions(d.index, d.device);
    in.partitions.insert(in.partitions.end(), p.begin(), p.end());
  }
  ntp::LoadMachineConfig(opt.dir, &in.config, &e);
  uint32_t type = 0;
  std::vector<uint8_t> blob;
  in.stored = ntp::reg::GetValue(kDiskKey, u"Information", &type, &blob) && !blob.empty();
  if (in.stored) {
    if (type != REG_BINARY) in.malformed = "the value is not binary";
    in.readable = type == REG_BINARY && ReadConfigView(blob.data(), blob.size(), &in.view, &in.malformed);
  }
  if (in.readable) {
    in.machine = cli::Machine::Read();
    in.m = std::make_unique<CheckContext>(
        CheckContext{in.view, in.machine, in.bySignature, in.partitions, {}, {}});
    in.intentsUnreadable = !ftconfig::LoadIntents(&in.m->intents, &in.intentsWhy);
    std::vector<uint8_t> raw;
    uint32_t rawType = 0;
    const std::u16string stateKey(FtStateKey, FtStateKey + std::strlen(FtStateKey));
    if (ntp::reg::GetValue(stateKey, u"AbsentMembers", &rawType, &raw))
      FtDecodeAbsentMembers(raw.data(), raw.size(), &in.m->absent, nullptr);
  }

  std::vector<Finding> findings;
  const Add add = [&](std::string kind, std::string object, std::string message, std::string action) {
    findings.push_back({std::move(kind), std::move(object), std::move(message), std::move(action)});
  };
  for (const Rule& rule : kRules)
    if (!rule.needsConfig || in.readable) rule.run(in, add);

  const bool ok = findings.empty();
  const bool readable = in.readable;
  if (opt.json) {
    json list = json::array();
    for (const auto& f : findings)
      list.push_back({{"kind", f.kind}, {"object", f.object}, {"message", f.message}, {"action", f.action}});
    // The error names the findings, how many of which kinds; the list has each one.
    std::map<std::string, size_t> kinds;
    for (const auto& f : findings) ++kinds[f.kind];
    std::string summary;
    for (const auto& [kind, count] : kinds)
      summary += (summary.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
    const std::string error = std::to_string(findings.size()) +
                              (findings.size() == 1 ? " finding (" : " findings (") + summary +
                              "); each is listed in findings with what to do";
    out << JsonText(json{
               {"ok", ok}, {"error", ok ? json(nullptr) : JsonError(error)["error"]}, {"findings", list}})
        << "\n";
  } else if (ok) {
    out << (readable ? "the FT configuration matches the disks: nothing to do\n"
                     : "no FT configuration is stored yet: nothing to check\n");
  } else {
    for (const auto& f : findings)
      out << f.object << ": " << f.message << "\n  what to do: " << f.action << "\n";
    out << findings.size() << (findings.size() == 1 ? " finding\n" : " findings\n");
  }
  return ok ? kOk : kFailed;
}

std::vector<CommandSpec> CheckCommands() {
  return {
      {"check",
       "compare the FT configuration with the disks; exit 1 when not well",
       {},
       kReadOnly,
       nullptr,
       0,
       [](Call& c) { return CmdCheck(c.s, c.opt, c.out, c.err); },
       "ftdiskctl -m m check --json"},
  };
}

}  // namespace cli
