// Where new FT members go and what a set has lost, planned on the model of the booted
// machine: placements in a disk's free space as the provider makes partitions, the disk
// a lost member can be rebuilt onto, and the byte ranges no member left can give.
#include "ftplan.h"

#include <algorithm>

#include "diskconfig.h"
#include "ftmap.h"

namespace ftconfig {

using model::Disk;
using model::Machine;
using model::Region;

namespace {

// The disk's free regions outside an extended partition, where the ft requests make
// their primary partitions.
template <class F>
bool FirstFree(const Disk& disk, F&& fits) {
  for (const Region& r : disk.regions)
    if (r.IsFree() && fits(static_cast<int64_t>(r.offset), static_cast<int64_t>(r.length))) return true;
  return false;
}

}  // namespace

int64_t LargestCylinder(const Machine& m, const std::vector<uint32_t>& signatures) {
  int64_t cylinder = 0;
  for (const Disk& d : m.disks)
    if (std::count(signatures.begin(), signatures.end(), uint32_t(d.signature)))
      cylinder = std::max(cylinder, d.CylinderBytes());
  return cylinder > 0 ? cylinder : 255 * 63 * 512;
}

bool PlanAtLeast(const Disk& disk, int64_t wanted, Placement* at) {
  return FirstFree(disk, [&](int64_t offset, int64_t length) {
    return PlaceAtLeast(offset, length, wanted, disk.TrackBytes(), disk.CylinderBytes(), at);
  });
}

bool PlanRequest(const Disk& disk, int64_t size, Placement* at) {
  return FirstFree(disk, [&](int64_t offset, int64_t length) {
    return length >= size && PlaceRequest(offset, length, size, disk.TrackBytes(), disk.CylinderBytes(), at);
  });
}

int ReplacementDisk(const Machine& m, const std::vector<uint32_t>& memberSignatures, int64_t wanted) {
  for (const Disk& d : m.disks) {
    const uint32_t sig = uint32_t(d.signature);
    if (std::count(memberSignatures.begin(), memberSignatures.end(), sig) != 0 && sig != 0) continue;
    // A signature another disk shares cannot be recorded; 0 gets a fresh one first.
    bool shared = false;
    for (const Disk& o : m.disks) shared = shared || (&o != &d && sig != 0 && o.signature == sig);
    Placement at;
    if (!shared && PlanAtLeast(d, wanted, &at)) return d.index ? int(*d.index) : 0;
  }
  return -1;
}

std::vector<std::pair<uint64_t, uint64_t>> LostRanges(uint32_t type, const std::vector<uint64_t>& lengths,
                                                      const std::vector<bool>& lost, bool parityWhole) {
  namespace fm = ntp::ftmap;
  std::vector<std::pair<uint64_t, uint64_t>> out;
  const size_t gone = size_t(std::count(lost.begin(), lost.end(), true));
  const uint64_t total = fm::VolumeLength(static_cast<fm::Type>(type), lengths);
  if (gone == 0 || lost.size() != lengths.size() || total == 0) return out;
  // A mirror loses its data with its last member, a parity set with its second one (its
  // first when its parity was never made whole).
  if ((type == Mirror && gone < lengths.size()) || (type == StripeWithParity && parityWhole && gone < 2))
    return out;
  auto add = [&](uint64_t from, uint64_t to) {
    if (!out.empty() && out.back().second == from)
      out.back().second = to;
    else
      out.push_back({from, to});
  };
  if (type == Mirror) {
    add(0, total);
    return out;
  }
  for (uint64_t at = 0; at < total;) {
    fm::Piece p;
    if (!fm::Map(static_cast<fm::Type>(type), lengths, at, &p) || p.length == 0) break;
    const uint64_t n = std::min(p.length, total - at);
    if (lost[p.member]) add(at, at + n);
    at += n;
  }
  return out;
}

std::string DescribeRanges(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, size_t shown) {
  uint64_t bytes = 0;
  for (const auto& [from, to] : ranges) bytes += to - from;
  std::string text = std::to_string(bytes) + " bytes in " + std::to_string(ranges.size()) +
                     (ranges.size() == 1 ? " range" : " ranges") + " (";
  for (size_t i = 0; i < ranges.size() && i < shown; ++i)
    text += (i ? ", " : "") + std::to_string(ranges[i].first) + "-" + std::to_string(ranges[i].second - 1);
  return text + (ranges.size() > shown ? ", ...)" : ")");
}

}  // namespace ftconfig
