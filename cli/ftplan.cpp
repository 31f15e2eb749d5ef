// Where new FT members go and what a set has lost: placements in a disk's free space as
// the provider makes partitions, the disk a lost member can be rebuilt onto, the byte
// ranges of a volume that no member left can give, and the export of the rest. Shared
// by the ft requests and by check's advice, so that what check proposes is what the
// request will do.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ftcmd.h"
#include "ftmap.h"

namespace cli {

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

bool PlanAtLeast(const Disk& disk, int64_t wanted, ftconfig::Placement* at) {
  return FirstFree(disk, [&](int64_t offset, int64_t length) {
    return ftconfig::PlaceAtLeast(offset, length, wanted, disk.TrackBytes(), disk.CylinderBytes(), at);
  });
}

bool PlanRequest(const Disk& disk, int64_t size, ftconfig::Placement* at) {
  return FirstFree(disk, [&](int64_t offset, int64_t length) {
    return length >= size &&
           ftconfig::PlaceRequest(offset, length, size, disk.TrackBytes(), disk.CylinderBytes(), at);
  });
}

int ReplacementDisk(const Machine& m, const std::vector<uint32_t>& memberSignatures, int64_t wanted) {
  for (const Disk& d : m.disks) {
    const uint32_t sig = uint32_t(d.signature);
    if (std::count(memberSignatures.begin(), memberSignatures.end(), sig) != 0 && sig != 0) continue;
    // A signature another disk shares cannot be recorded; 0 gets a fresh one first.
    bool shared = false;
    for (const Disk& o : m.disks) shared = shared || (&o != &d && sig != 0 && o.signature == sig);
    ftconfig::Placement at;
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

int CmdVolumeExportWithHoles(Session& s, const Options& opt, const std::string& volume,
                             const std::string& file, std::ostream& out, std::ostream& err) {
  namespace fm = ntp::ftmap;
  const std::string what = "cannot export " + volume;
  std::string e;
  if (!s.Open(opt.dir, opt.noWait, &e)) return err << e << "\n", kFailed;
  uint32_t type = 0;
  uint16_t group = 0;
  SetMembers m;
  if (!ResolveSet(Machine::Read(), volume, &type, &group, &e) || !LoadSetMembers(type, group, &m, &e))
    return err << what << ": " << e << "\n", kFailed;
  const size_t n = m.devices.size();
  std::vector<bool> lost(n);
  std::vector<HANDLE> handles(n, nullptr);
  struct Close {
    std::vector<HANDLE>& h;
    ~Close() {
      for (HANDLE x : h)
        if (x) NtClose(x);
    }
  } closer{handles};
  for (size_t i = 0; i < n; ++i)
    lost[i] = m.devices[i].empty() || !MemberHoldsData(type, m.states[i]) ||
              !NT_SUCCESS(OpenDevice(m.devices[i], GENERIC_READ, &handles[i]));
  // A set that can still be read whole is exported the ordinary way. (A parity set
  // still initializing has no parity to rebuild a lost member's stripes from.)
  const bool whole = std::count(m.states.begin(), m.states.end(), uint32_t(Initializing)) == 0;
  const auto holes = LostRanges(type, m.lengths, lost, whole);
  if (holes.empty()) return CmdVolumeExport(s, opt, volume, file, out, err);
  const uint64_t total = fm::VolumeLength(static_cast<fm::Type>(type), m.lengths);
  const bool toStdout = file == "-";
  if (toStdout) out.flush();
  const int fd = toStdout ? 1 : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return err << what << ": '" << file << "': " << std::strerror(errno) << "\n", kFailed;
  // Piece by piece through the layout: a piece on a member left is read from it, one on
  // a lost member is zeros (the parity that could rebuild it is gone with it).
  std::vector<uint8_t> buf;
  std::string why;
  for (uint64_t at = 0; at < total && why.empty();) {
    fm::Piece p;
    if (!fm::Map(static_cast<fm::Type>(type), m.lengths, at, &p)) break;
    const uint64_t len = std::min(std::min(p.length, total - at), uint64_t(1) << 20);
    buf.assign(len, 0);
    if (!lost[p.member]) {
      IO_STATUS_BLOCK iosb{};
      LARGE_INTEGER offset;
      offset.QuadPart = int64_t(p.memberOffset);
      NTSTATUS st = NtReadFile(handles[p.member], nullptr, nullptr, nullptr, &iosb, buf.data(), ULONG(len),
                               &offset, nullptr);
      if (!NT_SUCCESS(st))
        why = "member " + std::to_string(p.member) + " cannot be read at " + std::to_string(p.memberOffset) +
              " (" + HexStatus(uint32_t(st)) + ")";
    }
    for (size_t done = 0; why.empty() && done < buf.size();) {
      const ssize_t w = ::write(fd, buf.data() + done, buf.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) why = "'" + file + "': " + std::strerror(errno);
      done += w > 0 ? size_t(w) : 0;
    }
    at += len;
  }
  if (!toStdout && ::close(fd) != 0 && why.empty()) why = "'" + file + "': " + std::strerror(errno);
  if (!why.empty()) return err << what << ": " << why << "\n", kFailed;
  json ranges = json::array();
  for (const auto& [from, to] : holes) ranges.push_back({from, to});
  // On standard output the data is all there is: the list goes to standard error (the
  // document too, sent there by the caller).
  if (opt.json)
    out << JsonText(json{{"exported", volume}, {"file", file}, {"bytes", total}, {"zeroed", ranges}}) << "\n";
  else
    (toStdout ? err : out) << "exported " << total << " bytes of " << volume
                           << (toStdout ? "" : " to " + file) << "; " << DescribeRanges(holes, holes.size())
                           << " could not be read and are zeros\n";
  return kOk;
}

}  // namespace cli
