// "ftdiskctl volume export --allow-holes": a set's volume exported with the ranges no
// member left can give as zeros, and those ranges in words.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ftcmd.h"
#include "ftmap.h"

namespace cli {

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
