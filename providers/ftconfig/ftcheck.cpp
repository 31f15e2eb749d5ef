// check's rules: each a small function over what was read of the machine, adding its
// findings with the advice that brings the object back, or says exactly what cannot
// come back.
#include "ftcheck.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>

#include "boot.h"
#include "ftmap.h"
#include "ftplan.h"
#include "machine.h"
#include "ntplatform.h"
#include "registry_store.h"

namespace ftconfig {

using ftformat::ConfigRecord;
using ftformat::ConfigSet;
using ftformat::FtSetName;
using model::FormatSize;
using model::SignatureText;
using Kind = Finding::Kind;

std::string KindName(Kind kind) {
  // In the order of Finding::Kind.
  static const char* const kNames[] = {
      "zero_signature", "duplicate_signature", "malformed",           "orphaned_member",
      "missing_disk",   "moved_member",        "missing_member",      "degraded",
      "member_sizes",   "unfinished_import",   "leftover_partition",  "stale_record",
      "letter_twice",   "duplicate_record",    "unrecorded_partition"};
  static_assert(std::size(kNames) == size_t(Kind::UnrecordedPartition) + 1, "a name for every kind");
  return kNames[size_t(kind)];
}

namespace {

const std::u16string kDiskKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";

std::string Bytes(int64_t v) { return std::to_string(v); }

// Every data partition of a disk, through the disk driver's layout control.
std::vector<DiskPartition> ReadPartitions(unsigned disk, const std::u16string& device) {
  std::vector<DiskPartition> out;
  HANDLE h = nullptr;
  if (!NT_SUCCESS(ntp::OpenDevice(device + u"\\Partition0", GENERIC_READ, &h))) return out;
  zm::DriveLayout layout;
  NTSTATUS st = zm::ReadDriveLayout(h, &layout);
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
      return "is in state " + ftformat::FtStateName(state);
  }
}

std::string PartName(const DiskPartition& p) {
  return "disk" + std::to_string(p.disk) + "/p" + std::to_string(p.number);
}

// The input with its disks by signature, the look-ups the rules share, and where the
// rules' findings go.
struct Context {
  Context(const CheckInput& input, std::vector<Finding>* findings) : in(input), out(findings) {
    for (const auto& d : in.disks) bySignature[d.signature].push_back(d.index);
  }
  const CheckInput& in;
  std::vector<Finding>* out;
  std::map<uint32_t, std::vector<unsigned>> bySignature;

  void Add(Kind kind, std::string object, std::string message, std::string action) const {
    out->push_back({kind, std::move(object), std::move(message), std::move(action)});
  }
  std::string DiskName(uint32_t sig) const {
    auto it = bySignature.find(sig);
    return it == bySignature.end() ? "disk " + SignatureText(sig) : "disk" + std::to_string(it->second[0]);
  }
  const DiskPartition* Find(uint32_t sig, int64_t offset, int64_t length) const {
    auto it = bySignature.find(sig);
    if (it == bySignature.end()) return nullptr;
    for (const auto& p : in.partitions)
      if (std::count(it->second.begin(), it->second.end(), p.disk) && p.offset == offset &&
          p.length == length)
        return &p;
    return nullptr;
  }
  // The intent of an unfinished request on the set, if any.
  const Intent* IntentFor(const ConfigSet& set) const {
    for (const auto& i : in.intents)
      if (i.type == set.type && i.group == set.group && i.op != Intent::kDelete) return &i;
    return nullptr;
  }
  const FtAbsentMember* Absent(const ConfigSet& set, size_t member) const {
    for (const auto& a : in.absent)
      if (a.type == set.type && a.group == set.group && a.member == member) return &a;
    return nullptr;
  }
  // The name of a record's partition, or where the record says it lies.
  std::string RecordObject(const ConfigRecord& r) const {
    const DiskPartition* p = Find(r.signature, r.offset, r.length);
    return p ? PartName(*p)
             : DiskName(r.signature) + " at offset " + Bytes(r.offset) + " (" + Bytes(r.length) + " bytes)";
  }
};

// The command that rebuilds a lost member of a mirror or parity set onto another disk,
// or what is missing for one.
std::string RebuildOnto(const Context& m, const ConfigSet& set, size_t member, int64_t length) {
  std::vector<uint32_t> signatures;
  for (size_t i : set.members) signatures.push_back(m.in.view.records[i].signature);
  const std::string name = FtSetName(set);
  const int disk = ReplacementDisk(m.in.machine, signatures, length);
  if (disk >= 0)
    return "ftdiskctl ft regenerate " + name + " " + std::to_string(member) + " --onto " +
           std::to_string(disk);
  return "attach a disk with " + std::to_string(length) + " bytes free (" + FormatSize(uint64_t(length)) +
         ") and run ftdiskctl ft regenerate " + name + " " + std::to_string(member) + " --onto DISK";
}

// Findings of one FT set: its members, what it has lost, and the command that brings it
// back, or exactly what cannot come back.
void SetFindings(const Context& m, const ConfigSet& set) {
  const auto& records = m.in.view.records;
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
    const ConfigRecord& r = records[set.members[i]];
    at[i] = m.Find(r.signature, r.offset, r.length);
    lost[i] = at[i] == nullptr || !ftformat::MemberHoldsData(set.type, r.ftState);
    lengths[i] = uint64_t(r.length);
    sizes.push_back(r.length);
    signatures.push_back(r.signature);
  }
  const size_t gone = size_t(std::count(lost.begin(), lost.end(), true));
  // A member can be rebuilt only from healthy ones: a parity never written whole (an
  // initializing member left) rebuilds nothing.
  bool whole = true;
  for (size_t i = 0; i < n; ++i) whole = whole && (lost[i] || records[set.members[i]].ftState == Healthy);
  const size_t tolerated = !whole ? 0 : set.type == Mirror ? n - 1 : set.type == StripeWithParity ? 1 : 0;
  const auto ranges = LostRanges(set.type, lengths, lost, whole);
  const std::string holes = ranges.empty() ? ""
                                           : "the volume's " + DescribeRanges(ranges, 4) +
                                                 " cannot be read; ftdiskctl volume export " + name +
                                                 " FILE --allow-holes saves the rest with those bytes zeroed";
  const Intent* pending = m.IntentFor(set);
  const std::string rerun = pending ? "run 'ftdiskctl " + pending->command + "' again to finish it" : "";

  std::string firstAction;  // the degraded finding's: the first member's way back
  for (size_t i = 0; i < n; ++i) {
    if (!lost[i]) continue;
    const ConfigRecord& r = records[set.members[i]];
    const std::string object = name + " member " + std::to_string(i);
    const FtAbsentMember* away = m.Absent(set, i);
    Kind kind;
    std::string message, action;
    if (at[i] != nullptr && r.ftState != Orphaned) {
      continue;  // regenerating or initializing: the set's finding says how that ends
    } else if (at[i] != nullptr) {
      // The partition is there; the member is out of step (or may be).
      const std::string part = PartName(*at[i]);
      kind = Kind::OrphanedMember;
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
      kind = Kind::MissingDisk;
      message = "its disk (signature " + SignatureText(r.signature) + ") is not on this machine";
      action = redundant && gone <= tolerated
                   ? "attach the disk again, or rebuild the member onto another disk: " +
                         RebuildOnto(m, set, i, r.length)
                   : "attach the disk again; until then " + holes;
    } else {
      const DiskPartition* moved = nullptr;
      const auto& list = m.bySignature.at(r.signature);
      for (const auto& q : m.in.partitions)
        if (std::count(list.begin(), list.end(), q.disk) && q.length == r.length) moved = &q;
      kind = moved ? Kind::MovedMember : Kind::MissingMember;
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
    m.Add(kind, object, message, action);
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
    m.Add(Kind::Degraded, name, message, action);
  }

  const std::string sizesProblem =
      MemberSizesProblem(set.type, sizes, LargestCylinder(m.in.machine, signatures));
  if (!sizesProblem.empty())
    m.Add(
        Kind::MemberSizes, name, sizesProblem,
        "nothing is lost: the set uses " +
            std::to_string(ntp::ftmap::UsableMemberLength(static_cast<ntp::ftmap::Type>(set.type), lengths)) +
            " bytes of each member and the rest of the larger ones lies unused; to use it, save the volume "
            "(ftdiskctl volume export " +
            name + " FILE), make the set again from equal members and import it");
}

// Disks without a signature, and disks that share one.
void SignatureRule(const Context& m) {
  auto image = [&](unsigned index) {
    for (const auto& d : m.in.disks)
      if (d.index == index) return d.image;
    return std::string("IMAGE");
  };
  for (const auto& [sig, list] : m.bySignature) {
    if (sig == 0)
      for (unsigned i : list)
        m.Add(Kind::ZeroSignature, "disk" + std::to_string(i), "the disk has no signature (0)",
              "write one before FT sets or letters are recorded on it: ftdiskctl attach --write-signature " +
                  image(i));
    if (sig != 0 && list.size() > 1) {
      std::string names;
      for (unsigned i : list) names += (names.empty() ? "disk" : ", disk") + std::to_string(i);
      m.Add(Kind::DuplicateSignature, names, "these disks share the signature " + SignatureText(sig),
            "give one of them a new signature; FT members and letters cannot tell them apart");
    }
  }
}

// A stored configuration that cannot be read.
void InformationRule(const Context& m) {
  if (m.in.stored && !m.in.readable)
    m.Add(Kind::Malformed, "Information", "the stored FT configuration is malformed: " + m.in.malformed,
          "restore it (ftdiskctl registry recover) or import a good one; until then no FT set is protected");
}

// Pending FT requests that cannot be read.
void RequestsRule(const Context& m) {
  if (m.in.intentsUnreadable)
    m.Add(Kind::Malformed, "Requests", m.in.intentsWhy,
          "the next ft request replaces it; until then partitions an interrupted request made are not named");
}

// Each FT set: its health and members, and an import into it that stopped part way.
void SetRule(const Context& m) {
  const auto& sets = m.in.view.sets;
  for (size_t s = 0; s < sets.size(); ++s) {
    SetFindings(m, sets[s]);
    if (s >= m.in.journals.size() || !m.in.journals[s].importing) continue;
    const ntp::ftjournal::Journal& journal = m.in.journals[s];
    const std::string name = FtSetName(sets[s]);
    m.Add(Kind::UnfinishedImport, name,
          "an import of " + journal.source + " stopped after " + std::to_string(journal.done) +
              (journal.bytes != 0 ? " of its " + std::to_string(journal.bytes) : "") +
              " bytes: the volume holds part of the image",
          "import the whole image again (ftdiskctl volume import " + name + " " +
              (journal.source == "-" ? "FILE" : journal.source) + ")");
  }
}

// Partitions that interrupted FT requests made (or were deleting) and that no set holds.
void IntentRule(const Context& m) {
  FTInfo info;
  if (m.in.intents.empty() || !info.Load(m.in.blob.data(), uint32_t(m.in.blob.size()))) return;
  auto exists = [&](const PartitionRef& p) { return m.Find(p.signature, p.offset, p.length) != nullptr; };
  for (const auto& intent : m.in.intents)
    for (const auto& where : Progress(intent, info, exists).leftovers) {
      const std::string part = PartName(*m.Find(where.signature, where.offset, where.length));
      const bool deleting = intent.op == Intent::kDelete;
      m.Add(Kind::LeftoverPartition, part,
            (deleting ? "a member of " + SetName(intent.type, intent.group) +
                            " that an interrupted 'ftdiskctl " + intent.command + "' had not deleted yet"
                      : "made by an interrupted 'ftdiskctl " + intent.command + "'") +
                "; no FT set holds it",
            "run 'ftdiskctl " + intent.command + "' again to finish it" +
                (deleting ? "" : ", or delete the partition (ftdiskctl delete " + part + ")"));
    }
}

// Plain records without a partition (a disk that is away keeps its records, and its
// letters, until it is back).
void RecordRule(const Context& m) {
  for (const ConfigRecord& r : m.in.view.records) {
    if (r.ftType != NotAnFtMember || m.Find(r.signature, r.offset, r.length)) continue;
    const bool here = m.bySignature.count(r.signature) != 0;
    m.Add(here ? Kind::StaleRecord : Kind::MissingDisk, m.RecordObject(r),
          here ? "the configuration records a partition that is not on the disk"
               : "the configuration records a partition of a disk that is not here",
          here ? "rescan (ftdiskctl rescan) so the configuration is rebuilt from the disks"
               : "attach the disk again: its records and letters are kept for it until then (a registry "
                 "import drops them)");
  }
}

// Letters recorded for more than one partition or CD-ROM.
void LetterRule(const Context& m) {
  std::map<uint8_t, std::vector<std::string>> letters;
  for (const ConfigRecord& r : m.in.view.records)
    if (r.assign && r.letter >= 'C' && r.letter <= 'Z') letters[r.letter].push_back(m.RecordObject(r));
  for (const auto& l : m.in.letters) letters[uint8_t(l.letter)].push_back(l.name);
  for (const auto& [letter, objects] : letters) {
    if (objects.size() < 2) continue;
    std::string list;
    for (const auto& o : objects) list += (list.empty() ? "" : ", ") + o;
    m.Add(Kind::LetterTwice, std::string(1, char(letter)) + ":",
          "the letter is recorded for " + std::to_string(objects.size()) + " objects: " + list,
          "give all but one another letter (ftdiskctl letter VOLUME X:)");
  }
}

// Disks the configuration describes more than once.
void DuplicateDiskRule(const Context& m) {
  std::map<uint32_t, int> described;
  for (uint32_t sig : m.in.view.disks) ++described[sig];
  for (const auto& [sig, n] : described)
    if (n > 1)
      m.Add(Kind::DuplicateRecord, m.DiskName(sig),
            "the configuration describes the disk " + std::to_string(n) + " times",
            "rescan (ftdiskctl rescan) so the configuration is rebuilt from the disks");
}

// Partitions the configuration does not record (only when it has a disk part: a machine
// with nothing configured yet gets one on its first change).
void UnrecordedRule(const Context& m) {
  if (m.in.view.disks.empty()) return;
  for (const auto& p : m.in.partitions) {
    if (!p.recognized) continue;
    uint32_t sig = 0;
    for (const auto& d : m.in.disks)
      if (d.index == p.disk) sig = d.signature;
    const auto& records = m.in.view.records;
    bool recorded = std::any_of(records.begin(), records.end(), [&](const ConfigRecord& r) {
      return r.signature == sig && r.offset == p.offset && r.length == p.length;
    });
    if (!recorded)
      m.Add(Kind::UnrecordedPartition, PartName(p), "the configuration has no record of this partition",
            "rescan (ftdiskctl rescan) so the configuration is rebuilt from the disks");
  }
}

// The rules in the order their findings are listed; those that compare the configuration
// with the disks run only when it is readable.
struct Rule {
  bool needsConfig;
  void (*run)(const Context&);
};
constexpr Rule kRules[] = {
    {false, SignatureRule}, {false, InformationRule},  {true, RequestsRule},
    {true, SetRule},        {true, IntentRule},        {true, RecordRule},
    {true, LetterRule},     {true, DuplicateDiskRule}, {true, UnrecordedRule},
};

}  // namespace

CheckInput ReadCheckInput(const std::string& dir) {
  CheckInput in;
  ntp::MachineConfig config;
  std::string e;
  ntp::LoadMachineConfig(dir, &config, &e);
  for (const auto& d : ntp::Disks()) {
    std::string image = "IMAGE";
    if (d.index < config.disks.size()) {
      std::filesystem::path p = config.disks[d.index].image;
      std::error_code ec;
      image = std::filesystem::absolute(p.is_relative() ? std::filesystem::path(dir) / p : p, ec).string();
    }
    in.disks.push_back({d.index, d.signature, image});
    auto p = ReadPartitions(d.index, d.device);
    in.partitions.insert(in.partitions.end(), p.begin(), p.end());
  }
  uint32_t type = 0;
  in.stored = ntp::reg::GetValue(kDiskKey, u"Information", &type, &in.blob) && !in.blob.empty();
  if (in.stored) {
    if (type != REG_BINARY) in.malformed = "the value is not binary";
    in.readable = type == REG_BINARY &&
                  ftformat::ReadConfigView(in.blob.data(), in.blob.size(), &in.view, &in.malformed);
  }
  if (!in.readable) {
    in.blob.clear();
    return in;
  }
  in.machine = model::Machine::Read();
  in.intentsUnreadable = !LoadIntents(&in.intents, &in.intentsWhy);
  std::vector<uint8_t> raw;
  uint32_t rawType = 0;
  const std::u16string stateKey(FtStateKey, FtStateKey + std::strlen(FtStateKey));
  if (ntp::reg::GetValue(stateKey, u"AbsentMembers", &rawType, &raw))
    FtDecodeAbsentMembers(raw.data(), raw.size(), &in.absent, nullptr);
  for (const ConfigSet& set : in.view.sets) {
    std::vector<ntp::ftjournal::MemberId> ids;
    for (size_t i : set.members)
      ids.push_back({in.view.records[i].signature, in.view.records[i].offset, in.view.records[i].length});
    ntp::ftjournal::Journal journal;
    std::string untrusted;
    if (!ntp::ftjournal::Load(set.type, set.group, ids, &journal, &untrusted)) journal = {};
    in.journals.push_back(std::move(journal));
  }
  for (const auto& v : ntp::reg::ListValues(kDiskKey)) {
    if (v.type != REG_SZ || v.data.size() < 2) continue;
    char16_t c = char16_t(v.data[0] | (v.data[1] << 8));
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    if (c >= u'C' && c <= u'Z') in.letters.push_back({zm::Narrow(v.name), char(c)});
  }
  return in;
}

std::vector<Finding> Check(const CheckInput& in) {
  std::vector<Finding> findings;
  const Context m(in, &findings);
  for (const Rule& rule : kRules)
    if (!rule.needsConfig || in.readable) rule.run(m);
  return findings;
}

}  // namespace ftconfig
