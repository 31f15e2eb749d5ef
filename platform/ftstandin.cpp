// The FtDisk driver stand-in at boot. NT's FtDisk reads "Information" when it starts
// and matches each FT member with a partition of the disks it found (disk signature,
// starting offset, length). A member it cannot find is orphaned and its set degraded;
// the new states are written back so that every later reader (the provider, the front
// end, the next boot) sees the same health. A member whose partition comes back stays
// orphaned: only regenerating it makes it a healthy member again.
#include "ftstandin.h"

#include "diskreg.h"
#include "machine_state.h"
#include "registry_store.h"

namespace ntp::detail {

namespace {
constexpr const char16_t* kDiskKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";
}

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
  report.changed = DiskRegistryOrphanMissingMembers(blob.data(), blob.size(), present);
  if (report.changed != 0 && !reg::SetValue(kDiskKey, u"Information", REG_BINARY, blob)) {
    report.writeFailed = true;
    report.changed = 0;
  }
  return report;
}

}  // namespace ntp::detail
