// An apply's steps carried out through the requests, and the writes no request makes.
#include "apply_steps.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "boot.h"
#include "ftconfig.h"
#include "ftedit.h"
#include "machine_model.h"
#include "mbr.h"
#include "ntplatform.h"
#include "requests.h"
#include "table_backups.h"

namespace dumpapply {

using ftformat::DumpPartition;

namespace {

std::u16string WholeDisk(unsigned index) {
  return zm::Widen("\\Device\\Harddisk" + std::to_string(index) + "\\Partition0");
}

}  // namespace

ntp::Status SetTypes(unsigned disk, uint64_t sectorBytes, const std::vector<DumpPartition>& types,
                     bool backup, std::string* warnings) {
  HANDLE h = nullptr;
  NTSTATUS st = zm::OpenDevice(WholeDisk(disk), GENERIC_READ | GENERIC_WRITE, &h);
  std::vector<uint8_t> buf;
  if (NT_SUCCESS(st)) st = zm::ReadDriveLayout(h, &buf);
  if (NT_SUCCESS(st)) {
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION*>(buf.data());
    const size_t count = zm::LayoutEntries(buf);
    for (const DumpPartition& p : types)
      for (size_t i = 0; i < count; ++i) {
        PARTITION_INFORMATION& e = layout->PartitionEntry[i];
        if (e.PartitionType != 0 && uint64_t(e.StartingOffset.QuadPart) == p.start * sectorBytes &&
            uint64_t(e.PartitionLength.QuadPart) == p.size * sectorBytes) {
          e.PartitionType = static_cast<BYTE>(p.type);
          e.RewritePartition = TRUE;
        }
      }
    ntp::table_backups::TableBackup saved;
    if (backup) saved.Before("apply");
    IO_STATUS_BLOCK iosb{};
    st = NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_SET_DRIVE_LAYOUT, buf.data(),
                               static_cast<ULONG>(buf.size()), nullptr, 0);
    if (backup) {
      std::ostringstream said;
      saved.After(said);
      *warnings += said.str();
    }
  }
  if (h) NtClose(h);
  if (!NT_SUCCESS(st))
    return ntp::Status(uint32_t(st), "the table of disk " + std::to_string(disk) + " cannot be written (" +
                                         ntp::HexCode(uint32_t(st)) + ")");
  return ntp::Status();
}

ntp::Status SetLetters(const ftformat::Dump& d, bool takeOnly, const LetterRequest& request,
                       std::vector<LetterChange>* done) {
  if (!d.ours && d.sets.empty()) return ntp::Status();  // sfdisk's dump: the letters the provider gives stay
  std::map<std::string, char> wanted;                   // by volume name; 0: none
  std::map<std::string, bool> inSet;
  for (const ftformat::DumpSet& set : d.sets) {
    wanted[set.name] = 0;
    for (const ftformat::DumpMember& mb : set.members) inSet[mb.partition] = true;
  }
  for (const ftformat::DumpDisk& k : d.disks)
    for (const DumpPartition& p : k.partitions)
      if (!p.IsExtended() && (takeOnly || !inSet.count(p.name))) wanted[p.name] = 0;
  for (const ftformat::DumpLetter& l : d.letters) wanted[l.volume] = l.letter;
  for (int pass = 0; pass < (takeOnly ? 1 : 2); ++pass) {
    const model::Machine m = model::Machine::Read();
    for (const model::Volume& v : m.volumes) {
      const auto it = wanted.find(v.name);
      if (it == wanted.end()) continue;
      const char have = v.driveLetter && !v.driveLetter->empty() ? (*v.driveLetter)[0] : 0;
      if (have == it->second) continue;
      LetterChange change{v.name, 0, have};
      if (pass == 0 && have != 0)
        change.letter = 0;
      else if (pass == 1 && it->second != 0)
        change.letter = it->second;
      else
        continue;
      if (ntp::Status st = request(change); !st.ok()) return st;
      done->push_back(change);
    }
  }
  return ntp::Status();
}

ntp::Status WriteSignatures(const std::string& dir, ntp::LockMode lock,
                            const std::vector<std::pair<unsigned, uint32_t>>& signatures,
                            std::string* warnings) {
  std::string e;
  if (!ntp::Boot(dir, lock, &e)) return ntp::Status(ZM_E_FAIL, "cannot open machine '" + dir + "': " + e);
  ntp::Status result;
  for (const auto& [index, signature] : signatures) {
    const auto disks = ntp::Disks();
    const uint32_t bps = index < disks.size() && disks[index].geometry.BytesPerSector
                             ? disks[index].geometry.BytesPerSector
                             : 512;
    HANDLE h = nullptr;
    NTSTATUS st = zm::OpenDevice(WholeDisk(index), GENERIC_READ | GENERIC_WRITE, &h);
    std::vector<uint8_t> sector(bps);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = 0;
    if (NT_SUCCESS(st))
      st = NtReadFile(h, nullptr, nullptr, nullptr, &iosb, sector.data(), bps, &at, nullptr);
    if (NT_SUCCESS(st)) {
      // Without the 0x55 0xAA mark the slots hold no table, whatever bytes lie there: the
      // mark must not turn them into partitions.
      if (sector[510] != 0x55 || sector[511] != 0xAA)
        std::fill(sector.begin() + ftformat::kMbrTableOffset, sector.begin() + 510, uint8_t{0});
      ftformat::PutMbrSignature(sector.data(), signature);
      sector[510] = 0x55;
      sector[511] = 0xAA;
      ntp::table_backups::TableBackup saved;
      saved.Before("apply");
      st = NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, sector.data(), bps, &at, nullptr);
      std::ostringstream said;
      saved.After(said);
      *warnings += said.str();
    }
    if (h) NtClose(h);
    if (!NT_SUCCESS(st)) {
      result = ntp::Status(uint32_t(st), "the signature of disk " + std::to_string(index) +
                                             " cannot be written (" + ntp::HexCode(uint32_t(st)) + ")");
      break;
    }
  }
  ntp::Shutdown();
  return result;
}

ntp::Status PlanWithSignatures(zm::Session& s, const std::string& dir, bool noWait, bool dryRun,
                               const ftformat::Dump& d, bool force, ApplyPlan* plan,
                               std::vector<std::pair<unsigned, uint32_t>>* signatures,
                               std::string* warnings) {
  *plan = Plan(model::Machine::Read(), d, force);
  signatures->clear();
  if (!plan->problems.empty()) return ntp::Status();
  *signatures = plan->signatures;
  if (signatures->empty() || dryRun) return ntp::Status();
  // The host learns disk signatures when it starts: the disks are signed with no host.
  s.Close();
  const ntp::Status st =
      WriteSignatures(dir, noWait ? ntp::LockMode::NoWait : ntp::LockMode::Wait, *signatures, warnings);
  if (!st.ok()) return st;
  std::string e;
  if (!s.Open(dir, noWait, &e)) return ntp::Status(0, e);
  *plan = Plan(model::Machine::Read(), d, force);
  return ntp::Status();
}

namespace {

// A partition request's outcome as its command would end: its warnings, then the
// sentence of a refusal or failure, on the error text.
bool Done(const StepContext& c, const ftconfig::PartitionOutcome& r) {
  if (r.sent && !r.request.backupWarnings.empty()) c.error(r.request.backupWarnings);
  if (!r.status.ok()) c.error(r.status.message() + "\n");
  return r.status.ok();
}

// An FT edit request carried out as its command is: the arguments' form checked, the
// notes and the sentence of a refusal or failure on the error text.
bool EditDone(
    const StepContext& c,
    const std::function<ntp::Status(const ftdata::RequestHooks&, ftdata::RequestResult*)>& request) {
  const ftdata::RequestHooks hooks{[&c](const std::string& line) { c.error(line + "\n"); }, nullptr};
  ftdata::RequestResult r;
  const ntp::Status st = request(hooks, &r);
  if (!r.started || !st.ok()) {
    c.error(st.message() + "\n");
    return false;
  }
  return true;
}

bool RecordSet(zm::Session& s, const Step& step, const StepContext& c) {
  uint32_t type = 0;
  if (!ftconfig::TypeFromWord(step.set.type, &type))
    return c.error("ftdiskctl: the type is mirror, stripe, parity or volset\n"), false;
  if (step.set.group > 0xFFFE) return c.error("ftdiskctl: --group is 0 to 65534\n"), false;
  if (!EditDone(c, [&](const ftdata::RequestHooks& h, ftdata::RequestResult* r) {
        return ftdata::EditDefine(s, step.set.type, type, int(step.set.group), step.members, true, h, r);
      }))
    return false;
  for (const ftformat::DumpMember& mb : step.set.members) {
    if (mb.state == "healthy") continue;
    uint32_t state = 0;
    if (!ftconfig::MemberStateFromWord(mb.state, &state))
      return c.error("ftdiskctl: --state is healthy, orphaned, regenerating or initializing\n"), false;
    if (int(mb.member) < 0) return c.error("ftdiskctl: give the member number\n"), false;
    if (!EditDone(c, [&](const ftdata::RequestHooks& h, ftdata::RequestResult* r) {
          return ftdata::EditMember(s, step.set.name, int(mb.member), mb.state, state, h, r);
        }))
      return false;
  }
  return true;
}

}  // namespace

bool RunStep(zm::Session& s, const Step& step, const ftformat::Dump& d, const StepContext& c,
             std::vector<LetterChange>* letters) {
  switch (step.kind) {
    case Step::Kind::Create: {
      ftconfig::NewPartition a;
      a.kind = step.regionKind;
      a.disk = step.disk;
      a.size = step.size;
      a.hasOffset = true;
      a.offset = step.offset;
      return Done(c, ftconfig::RequestCreate(s, c.requests, a));
    }
    case Step::Kind::MakeActive:
      return Done(c, ftconfig::RequestActive(s, c.requests, step.partition.name));
    case Step::Kind::TakeLetters:
    case Step::Kind::GiveLetters:
      return SetLetters(
                 d, step.kind == Step::Kind::TakeLetters,
                 [&](const LetterChange& change) {
                   const std::string letter = change.letter ? std::string(1, change.letter) + ":" : "";
                   return Done(c, ftconfig::RequestLetter(s, c.requests, change.volume, letter,
                                                          change.letter == 0))
                              ? ntp::Status()
                              : ntp::Status(ZM_E_FAIL, "");
                 },
                 letters)
          .ok();
    case Step::Kind::RecordSet:
      return RecordSet(s, step, c);
    case Step::Kind::SetTypes: {
      // The provider reads the new types in a rescan of the disk.
      std::string warnings;
      const ntp::Status st = SetTypes(step.disk, step.sectorBytes, step.types, !c.requests.dryRun, &warnings);
      if (!warnings.empty()) c.error(warnings);
      if (!st.ok()) return c.error(st.message() + "\n"), false;
      return Done(c, ftconfig::RequestRescan(s, c.requests, step.disk));
    }
  }
  return false;
}

}  // namespace dumpapply
