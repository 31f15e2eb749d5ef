// Where new FT members go and what a set has lost: placements in a disk's free space as
// the provider makes partitions, the disk a lost member can be rebuilt onto, and the
// byte ranges of a volume that no member left can give. Shared by the ft requests and
// by check's advice, so that what check proposes is what the request will do.
#include <algorithm>

#include "ftcmd.h"
#include "ftmap.h"

namespace cli {

namespace {

int64_t Number(const json& j, const char* key) {
  return j.contains(key) && j[key].is_number() ? j[key].get<int64_t>() : 0;
}

// The disk's free regions outside an extended partition, where the ft requests make
// their primary partitions.
template <class F>
bool FirstFree(const json& disk, F&& fits) {
  if (!disk.contains("regions")) return false;
  for (const auto& r : disk["regions"])
    if (r["kind"] == "free" && fits(Number(r, "offset"), Number(r, "length"))) return true;
  return false;
}

}  // namespace

int64_t TrackBytes(const json& disk) {
  const int64_t t = Number(disk, "sectors_per_track") * Number(disk, "bytes_per_sector");
  return t > 0 ? t : 63 * 512;
}

int64_t CylinderBytes(const json& disk) {
  const int64_t c = TrackBytes(disk) * Number(disk, "tracks_per_cylinder");
  return c > 0 ? c : 255 * 63 * 512;
}

bool PlanAtLeast(const json& disk, int64_t wanted, ftconfig::Placement* at) {
  return FirstFree(disk, [&](int64_t offset, int64_t length) {
    return ftconfig::PlaceAtLeast(offset, length, wanted, TrackBytes(disk), CylinderBytes(disk), at);
  });
}

bool PlanRequest(const json& disk, int64_t size, ftconfig::Placement* at) {
  return FirstFree(disk, [&](int64_t offset, int64_t length) {
    return length >= size &&
           ftconfig::PlaceRequest(offset, length, size, TrackBytes(disk), CylinderBytes(disk), at);
  });
}

int ReplacementDisk(const json& snap, const std::vector<uint32_t>& memberSignatures, int64_t wanted) {
  for (const auto& d : snap["disks"]) {
    const uint32_t sig = uint32_t(Number(d, "signature"));
    if (std::count(memberSignatures.begin(), memberSignatures.end(), sig) != 0 && sig != 0) continue;
    // A signature another disk shares cannot be recorded; 0 gets a fresh one first.
    bool shared = false;
    for (const auto& o : snap["disks"])
      shared = shared || (&o != &d && sig != 0 && Number(o, "signature") == sig);
    ftconfig::Placement at;
    if (!shared && PlanAtLeast(d, wanted, &at)) return int(Number(d, "index"));
  }
  return -1;
}

std::vector<std::pair<uint64_t, uint64_t>> LostRanges(uint32_t type, const std::vector<uint64_t>& lengths,
                                                      const std::vector<bool>& lost) {
  namespace fm = ntp::ftmap;
  std::vector<std::pair<uint64_t, uint64_t>> out;
  const size_t gone = size_t(std::count(lost.begin(), lost.end(), true));
  const uint64_t total = fm::VolumeLength(static_cast<fm::Type>(type), lengths);
  if (gone == 0 || lost.size() != lengths.size() || total == 0) return out;
  // A mirror loses its data with its last member, a parity set with its second one.
  if ((type == Mirror && gone < lengths.size()) || (type == StripeWithParity && gone < 2)) return out;
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

}  // namespace cli
