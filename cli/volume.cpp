// "ftdiskctl volume ...": the bytes of an FT volume, read and written through the
// platform's FT layout, and a device-mapper table that gives Linux the same view.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>

#include "ftcmd.h"
#include "ftconfig.h"
#include "ftmap.h"
#include "machine.h"
#include "ntplatform.h"

namespace cli {

namespace {

namespace fm = ntp::ftmap;
namespace fs = std::filesystem;

constexpr uint64_t kChunk = 1 << 20;

bool OpenOr(Session& s, const Options& opt, std::ostream& err) {
  std::string e;
  if (s.Open(opt.dir, opt.noWait, &e)) return true;
  err << e << "\n";
  return false;
}

// The set's volume: every member that is on the disks and not orphaned.
bool OpenVolume(const std::string& what, const std::string& arg, bool write, uint32_t* type,
                std::unique_ptr<fm::Volume>* volume, std::ostream& err) {
  uint16_t group = 0;
  std::string e;
  SetMembers m;
  if (!ResolveSet(Snapshot({}), arg, type, &group, &e) || !LoadSetMembers(*type, group, &m, &e)) {
    err << what << ": " << e << "\n";
    return false;
  }
  std::vector<fm::Member> members;
  for (size_t i = 0; i < m.devices.size(); ++i) {
    members.push_back(
        {m.devices[i], m.lengths[i], !m.devices[i].empty() && MemberHoldsData(*type, m.states[i])});
    // A write may reach every member: one on a disk that no request may write (attached
    // read-only) refuses it before anything is written.
    ntp::DeviceExtent where;
    if (write && members.back().usable && ntp::OpenDeviceExtent(m.devices[i], &where, false))
      if (std::string why = ntp::WriteRefusal(where.disk); !why.empty()) {
        err << what << ": member " << i << ": " << why << "\n";
        return false;
      }
  }
  *volume = std::make_unique<fm::Volume>(static_cast<fm::Type>(*type), members);
  NTSTATUS st = (*volume)->Open(write, &e);
  if (!NT_SUCCESS(st)) {
    err << what << ": " << e << " (" << HexStatus(static_cast<uint32_t>(st)) << ")\n";
    return false;
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// The Linux block device of one member's partition, found through sysfs: the kernel's
// partition of the disk (or of the loop device backing the disk's image) that starts at
// the member's sector. Empty when there is none.
std::string LinuxPartition(const std::string& diskPath, uint64_t startSector, uint64_t sectors) {
  std::error_code ec;
  std::string real = fs::weakly_canonical(diskPath, ec).string();
  std::vector<std::string> disks;
  struct stat st {};
  if (::stat(real.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
    disks.push_back(fs::path(real).filename().string());
  } else {
    for (const auto& e : fs::directory_iterator("/sys/block", ec)) {
      std::ifstream f(e.path() / "loop" / "backing_file");
      std::string backing;
      if (f && std::getline(f, backing) && backing == real) disks.push_back(e.path().filename().string());
    }
  }
  for (const auto& d : disks)
    for (const auto& e : fs::directory_iterator(fs::path("/sys/block") / d, ec)) {
      std::ifstream start(e.path() / "start"), size(e.path() / "size");
      uint64_t s = 0, n = 0;
      if (start >> s && size >> n && s == startSector && n == sectors)
        return "/dev/" + e.path().filename().string();
    }
  return "";
}

}  // namespace

int CmdVolumeExport(Session& s, const Options& opt, const std::string& volume, const std::string& file,
                    std::ostream& out, std::ostream& err) {
  const std::string what = "cannot export " + volume;
  if (!OpenOr(s, opt, err)) return kFailed;
  uint32_t type = 0;
  std::unique_ptr<fm::Volume> v;
  if (!OpenVolume(what, volume, false, &type, &v, err)) return kFailed;
  const bool toStdout = file == "-";
  if (toStdout) out.flush();
  int fd = toStdout ? 1 : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    err << what << ": '" << file << "': " << std::strerror(errno) << "\n";
    return kFailed;
  }
  std::vector<uint8_t> buf(kChunk);
  bool ok = true;
  std::string why;
  for (uint64_t at = 0; at < v->Length() && ok; at += kChunk) {
    const uint64_t n = std::min(kChunk, v->Length() - at);
    NTSTATUS st = v->Read(at, buf.data(), n);
    if (!NT_SUCCESS(st)) {
      ok = false;
      why = "reading at offset " + std::to_string(at) + " failed (" + HexStatus(static_cast<uint32_t>(st)) +
            ")";
    } else if (!WriteAll(fd, buf.data(), n)) {
      ok = false;
      why = std::string("'") + file + "': " + std::strerror(errno);
    }
  }
  if (!toStdout && ::close(fd) != 0 && ok) {
    ok = false;
    why = std::string("'") + file + "': " + std::strerror(errno);
  }
  if (!ok) {
    err << what << ": " << why << "\n";
    return kFailed;
  }
  if (!toStdout) {
    if (opt.json)
      out << JsonText(json{{"exported", volume}, {"file", file}, {"bytes", v->Length()}}) << "\n";
    else
      out << "exported " << v->Length() << " bytes of " << volume << " to " << file << "\n";
  }
  return kOk;
}

int CmdVolumeImport(Session& s, const Options& opt, const std::string& volume, const std::string& file,
                    std::ostream& out, std::ostream& err) {
  const std::string what = "cannot import into " + volume;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err << what << ": '" << file << "': " << std::strerror(errno) << "\n";
    return kFailed;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    err << what << ": '" << file << "' is not a regular file\n";
    return kFailed;
  }
  if (!OpenOr(s, opt, err)) return ::close(fd), kFailed;
  uint32_t type = 0;
  std::unique_ptr<fm::Volume> v;
  if (!OpenVolume(what, volume, true, &type, &v, err)) return ::close(fd), kFailed;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > v->Length()) {
    ::close(fd);
    err << what << ": the image holds " << size << " bytes, the volume " << v->Length() << "\n";
    return kFailed;
  }
  std::vector<uint8_t> buf(kChunk);
  std::string why;
  for (uint64_t at = 0; at < size && why.empty(); at += kChunk) {
    const uint64_t n = std::min(kChunk, size - at);
    std::fill(buf.begin(), buf.end(), 0);
    size_t got = 0;
    while (got < n) {
      ssize_t r = ::pread(fd, buf.data() + got, n - got, static_cast<off_t>(at + got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    if (got != n) {
      why = "'" + file + "' could not be read whole";
      break;
    }
    // The last piece is padded with zeros to a whole sector.
    const uint64_t padded = (n + 511) / 512 * 512;
    NTSTATUS w = v->Write(at, buf.data(), std::min(padded, v->Length() - at));
    if (!NT_SUCCESS(w))
      why =
          "writing at offset " + std::to_string(at) + " failed (" + HexStatus(static_cast<uint32_t>(w)) + ")";
  }
  ::close(fd);
  v.reset();
  if (!why.empty()) {
    err << what << ": " << why << "\n";
    return kFailed;
  }
  s.RefreshBuiltin(u"fsys");
  // The set written, and each partition of it with its start and size.
  const json snap = Snapshot({});
  std::string set = volume;
  uint16_t group = 0;
  if (ResolveSet(snap, volume, &type, &group, &why)) set = ftconfig::TypeWord(type) + std::to_string(group);
  const std::string members = MembersSummary(snap, set);
  if (opt.json)
    out << JsonText(json{{"imported", file}, {"volume", volume}, {"bytes", size}, {"partitions", members}})
        << "\n";
  else
    out << "wrote " << size << " bytes of " << file << " into " << set << ": " << members << "\n";
  return kOk;
}

int CmdVolumeDmTable(Session& s, const Options& opt, const std::string& volume,
                     const std::vector<std::string>& memberDevices, std::ostream& out, std::ostream& err) {
  const std::string what = "cannot describe " + volume;
  if (!OpenOr(s, opt, err)) return kFailed;
  uint32_t type = 0;
  uint16_t group = 0;
  std::string e;
  SetMembers m;
  if (!ResolveSet(Snapshot({}), volume, &type, &group, &e) || !LoadSetMembers(type, group, &m, &e)) {
    err << what << ": " << e << "\n";
    return kFailed;
  }
  const size_t n = m.devices.size();
  if (!memberDevices.empty() && memberDevices.size() != n) {
    err << what << ": give one --member-device per member (" << n << ")\n";
    return kUsage;
  }
  if (type == StripeWithParity) {
    // The raid target's raid5 layouts put the first row's parity on the first or the last
    // device and then move it one device per row while the data starts at device 0 or
    // right after the parity; this layout moves the parity from the last member to member
    // 0, 1, ... with the data in member order, which none of them matches.
    err << what << ": no device-mapper raid layout matches a stripe set with parity; only "
        << "'ftdiskctl volume export' reads it\n";
    return kFailed;
  }
  auto disks = ntp::Disks();
  // Each member as a device and a start sector: the given device or the kernel's
  // partition at offset 0, else the whole disk at the member's own offset.
  std::vector<std::pair<std::string, uint64_t>> devs;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t start = static_cast<uint64_t>(m.offsets[i]) / 512, sectors = m.lengths[i] / 512;
    if (!memberDevices.empty()) {
      devs.push_back({memberDevices[i], 0});
      continue;
    }
    std::string diskPath;
    for (const auto& d : disks)
      if (d.signature == m.signatures[i]) diskPath = d.path;
    if (diskPath.empty()) {
      devs.push_back({"", 0});
      continue;
    }
    std::string part = LinuxPartition(diskPath, start, sectors);
    devs.push_back(part.empty() ? std::make_pair(diskPath, start) : std::make_pair(part, uint64_t{0}));
  }
  const bool orphan =
      std::any_of(m.states.begin(), m.states.end(), [](uint32_t st) { return st == Orphaned; });
  for (size_t i = 0; i < n; ++i)
    if (devs[i].first.empty() && type != Mirror) {
      err << what << ": member " << i << "'s disk is not on this machine\n";
      return kFailed;
    }
  if (orphan && type != Mirror) {
    err << what << ": the set has an orphaned member; its data is not whole\n";
    return kFailed;
  }
  const uint64_t stripe = fm::kStripeBytes / 512;
  if (type == VolumeSet) {
    uint64_t at = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t len = m.lengths[i] / 512;
      out << at << " " << len << " linear " << devs[i].first << " " << devs[i].second << "\n";
      at += len;
    }
  } else if (type == Stripe) {
    const uint64_t rows = fm::UsableMemberLength(fm::kStripe, m.lengths) / fm::kStripeBytes;
    out << "0 " << rows * stripe * n << " striped " << n << " " << stripe;
    for (const auto& d : devs) out << " " << d.first << " " << d.second;
    out << "\n";
  } else {
    // The raid target takes whole devices: each member's own partition device.
    for (size_t i = 0; i < n; ++i)
      if (devs[i].second != 0 && m.states[i] != Orphaned) {
        err << what << ": the raid1 target needs each member's partition device; attach the images with "
            << "'losetup -P' or give --member-device for every member\n";
        return kFailed;
      }
    out << "0 " << fm::VolumeLength(fm::kMirror, m.lengths) / 512 << " raid raid1 1 0 " << n;
    for (size_t i = 0; i < n; ++i)
      out << " - " << (m.states[i] == Orphaned || devs[i].first.empty() ? "-" : devs[i].first);
    out << "\n";
  }
  if (devs.front().second != 0 || (n > 1 && devs[1].second != 0))
    err << "note: the members are named by their disk and start sector; dmsetup needs block devices, so "
           "attach "
           "image files with losetup and use the loop devices\n";
  return kOk;
}

}  // namespace cli
