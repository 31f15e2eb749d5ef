// The FtDisk driver stand-in at boot. NT's FtDisk reads "Information" when it starts
// and matches each FT member with a partition of the disks it found (disk signature,
// starting offset, length). A member it cannot find is orphaned and its set degraded;
// the new states are written back so that every later reader (the provider, the front
// end, the next boot) sees the same health. Each member orphaned that way is noted
// (FtStateKey, "AbsentMembers"); one that comes back unchanged to a set that could not
// be written meanwhile (a stripe or volume set, or a set that lost every member it
// needs) is a member again. Any other member that comes back stays orphaned: only
// regenerating it makes it a healthy member again.
#include "ftstandin.h"

#include <cstring>

#include "ftstate.h"
#include "machine_state.h"
#include "ntplatform.h"
#include "registry_internal.h"
#include "registry_store.h"

namespace ntp::detail {

namespace {
constexpr const char16_t* kDiskKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";

std::u16string Wide(const char* ascii) { return std::u16string(ascii, ascii + std::strlen(ascii)); }

// The notes of earlier boots; a damaged value counts as none, which only keeps members
// orphaned.
std::vector<FtAbsentMember> LoadAbsent(std::vector<uint8_t>* raw) {
  std::vector<FtAbsentMember> absent;
  uint32_t type = 0;
  if (reg::GetValue(Wide(FtStateKey), Wide(FtAbsentMembersValue), &type, raw) && type == REG_BINARY &&
      !FtDecodeAbsentMembers(raw->data(), raw->size(), &absent, nullptr))
    absent.clear();
  return absent;
}

// "Information" and the notes in one transaction.
bool Store(const std::vector<uint8_t>* blob, const std::vector<FtAbsentMember>& absent) {
  std::vector<reg::BatchOp> ops;
  std::u16string disk, state;
  if (!NT_SUCCESS(reg::CanonicalPath(kDiskKey, &disk)) ||
      !NT_SUCCESS(reg::CanonicalPath(Wide(FtStateKey), &state)))
    return false;
  if (blob != nullptr) ops.push_back({disk, true, false, u"Information", REG_BINARY, *blob});
  reg::BatchOp notes{state, true, absent.empty(), Wide(FtAbsentMembersValue), REG_BINARY, {}};
  if (!absent.empty()) notes.data = FtEncodeAbsentMembers(absent);
  ops.push_back(notes);
  return NT_SUCCESS(reg::ApplyBatch(ops));
}
}  // namespace

FtStandinReport RunFtStandin(const Machine& m) {
  FtStandinReport report;
  uint32_t type = 0;
  std::vector<uint8_t> blob;
  if (!reg::GetValue(kDiskKey, u"Information", &type, &blob) || blob.empty()) return report;
  report.stored = true;
  if (type != REG_BINARY || !DiskRegistryValidate(blob.data(), blob.size(), &report.why)) {
    if (type != REG_BINARY) report.why = "the value is not binary";
    report.malformed = true;
    return report;
  }
  auto present = [&m](uint32_t signature, int64_t offset, int64_t length) {
    for (const auto& disk : m.disks) {
      if (disk->signature != signature) continue;
      for (const auto& [number, part] : disk->partitions)
        if (int64_t(part->offset) == offset && int64_t(part->length) == length) return true;
    }
    return false;
  };
  std::vector<uint8_t> stored;
  std::vector<FtAbsentMember> absent = LoadAbsent(&stored);
  const bool hadNotes = !stored.empty();
  report.changed = DiskRegistryTrackAbsentMembers(blob.data(), blob.size(), present, &absent,
                                                  &report.orphaned, &report.returned);
  const bool notesChanged = absent.empty() ? hadNotes : FtEncodeAbsentMembers(absent) != stored;
  if ((report.changed != 0 || notesChanged) && !Store(report.changed != 0 ? &blob : nullptr, absent)) {
    report.writeFailed = true;
    report.changed = 0;
  }
  return report;
}

}  // namespace ntp::detail
