// The dry-run overlay of the disks: written sectors kept in memory by (disk, lba).
#include "overlay.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "disk_key.h"
#include "machine_state.h"
#include "mbr.h"
#include "mbr_change.h"
#include "ntplatform.h"
#include "overlay_hook.h"
#include "registry_internal.h"

namespace ntp {
namespace {

bool gActive = false;
// (disk, lba) -> sector contents as the request left them; before: as on the disk.
struct Kept {
  std::vector<uint8_t> before, after;
};
std::map<std::pair<unsigned, uint64_t>, Kept> gSectors;

}  // namespace

bool BeginOverlay(std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (gActive) return true;
  if (!reg::BeginScratchCopy(error)) return false;
  gSectors.clear();
  gActive = true;
  return true;
}

void EndOverlay() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!gActive) return;
  gActive = false;
  gSectors.clear();
  reg::EndScratchCopy();
}

bool OverlayActive() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  return gActive;
}

std::vector<OverlaySector> OverlayChanges() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  std::vector<OverlaySector> out;
  for (const auto& [key, k] : gSectors) {
    if (k.before == k.after) continue;
    ftformat::MbrEntry slots[4];
    const bool table = key.second == 0 || ftformat::ReadMbrSlots(k.after.data(), k.after.size(), slots) ||
                       ftformat::ReadMbrSlots(k.before.data(), k.before.size(), slots);
    const bool cleared = std::all_of(k.after.begin(), k.after.end(), [](uint8_t x) { return x == 0; });
    out.push_back({key.first, key.second, k.before, k.after, table, cleared});
  }
  return out;
}

namespace reg {

std::vector<ValueChange> ValueChanges(const std::vector<Value>& before, const std::vector<Value>& after) {
  // By name as text, both sides; the last of a name wins.
  std::map<std::string, ValueChange> byName;
  for (const Value& v : before) byName[ToUtf8(v.name)].before = v;
  for (const Value& v : after) byName[ToUtf8(v.name)].after = v;
  std::vector<ValueChange> out;
  for (auto& [text, c] : byName) {
    const bool same = c.before && c.after ? c.before->type == c.after->type && c.before->data == c.after->data
                                          : c.before.has_value() == c.after.has_value();
    if (same) continue;
    c.name = c.after ? c.after->name : c.before->name;
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace reg

OverlayReport DescribeOverlay(const std::vector<reg::Value>& diskKeyBefore) {
  OverlayReport r;
  for (const auto& c : OverlayChanges())
    r.sectors.push_back(
        {c.disk, c.lba, c.table, c.cleared,
         c.table ? ftformat::DescribeTableChange(c.before, c.after) : std::vector<std::string>{}});
  const auto after = reg::ListValues(reg::kDiskKey);
  r.values = reg::ValueChanges(diskKeyBefore, after);
  const reg::Value* was = reg::InformationOf(diskKeyBefore);
  const reg::Value* is = reg::InformationOf(after);
  if (is != nullptr && (was == nullptr || was->type != is->type || was->data != is->data))
    r.information = *is;
  return r;
}

namespace detail {

void OverlayPatchRead(const Disk& disk, uint64_t offset, void* buffer, size_t length) {
  if (!gActive || length == 0) return;
  const uint64_t bps = disk.config.bytesPerSector;
  auto it = gSectors.lower_bound({disk.index, offset / bps});
  for (; it != gSectors.end() && it->first.first == disk.index; ++it) {
    const uint64_t start = it->first.second * bps;
    if (start >= offset + length) break;
    // The overlap of the kept sector [start, start + bps) with the read.
    const uint64_t from = std::max(start, offset), to = std::min(start + bps, offset + length);
    if (from < to)
      std::memcpy(static_cast<uint8_t*>(buffer) + (from - offset), it->second.after.data() + (from - start),
                  to - from);
  }
}

bool OverlayWrite(Disk& disk, const std::vector<ptable::SectorImage>& sectors, NTSTATUS* status) {
  if (!gActive) return false;
  const uint64_t bps = disk.config.bytesPerSector;
  for (const auto& s : sectors)
    if (s.bytes.empty() || s.bytes.size() % bps != 0 || s.lba > disk.length / bps ||
        s.bytes.size() / bps > disk.length / bps - s.lba) {
      *status = STATUS_INVALID_PARAMETER;
      return true;
    }
  for (const auto& s : sectors) {
    for (uint64_t i = 0; i < s.bytes.size() / bps; ++i) {
      const std::pair<unsigned, uint64_t> key{disk.index, s.lba + i};
      auto it = gSectors.find(key);
      if (it == gSectors.end()) {
        // The bytes on the disk itself; a sector that cannot be read counts as zeros.
        std::vector<uint8_t> before(bps);
        if (!NT_SUCCESS(ReadBytes(disk, key.second * bps, before.data(), bps)))
          std::fill(before.begin(), before.end(), 0);
        it = gSectors.emplace(key, Kept{before, before}).first;
      }
      it->second.after.assign(s.bytes.begin() + static_cast<std::ptrdiff_t>(i * bps),
                              s.bytes.begin() + static_cast<std::ptrdiff_t>((i + 1) * bps));
    }
    disk.counters.sectorsWritten += s.bytes.size() / bps;
  }
  *status = STATUS_SUCCESS;
  return true;
}

}  // namespace detail
}  // namespace ntp
