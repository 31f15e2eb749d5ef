// A device-mapper table for an FT set's volume.
#include "dmtable.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "ftconfig.h"
#include "ftmap.h"
#include "machine.h"
#include "ntplatform.h"
#include "volume_copy.h"

namespace ftdata {

namespace fm = ntp::ftmap;
namespace fs = std::filesystem;

namespace {

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
    std::string loop = LoopOf(real);
    if (!loop.empty()) disks.push_back(fs::path(loop).filename().string());
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

ntp::Status BuildDmTable(const Set& set, const std::vector<std::string>& memberDevices,
                         const std::string& name, DmTable* t) {
  const SetMembers& m = set.members;
  const uint32_t type = set.type;
  const size_t n = m.devices.size();
  auto disks = ntp::Disks();
  // Each member as a device and a start sector: the given device, else the kernel's
  // partition, else the loop device of the disk's image (or the disk's own block
  // device, or its image file) at the member's start.
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
    if (!part.empty()) {
      devs.push_back({part, 0});
      continue;
    }
    struct stat st {};
    const bool block = ::stat(diskPath.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
    std::string loop = block ? diskPath : LoopOf(diskPath);
    t->memberFiles = t->memberFiles || loop.empty();
    devs.push_back({loop.empty() ? diskPath : loop, start});
  }
  bool healthy = true;
  for (size_t i = 0; i < n; ++i) {
    healthy = healthy && m.states[i] == Healthy;
    const bool lost = devs[i].first.empty() || m.states[i] == Orphaned;
    if (lost && type != Mirror)
      return ntp::Status(uint32_t(STATUS_UNSUCCESSFUL),
                         "member " + std::to_string(i) +
                             (devs[i].first.empty() ? "'s disk is not on this machine" : " is orphaned") +
                             "; its data is not whole (read it with 'ftdiskctl volume export')");
  }
  const uint64_t stripe = fm::kStripeBytes / 512;
  t->name = name.empty() ? set.name() : name;
  const std::string& top = t->name;
  auto& lines = t->lines;
  // The raid targets take whole devices: a member that starts inside its device (or a
  // parity set's member, shifted by one row) becomes a linear device of its own first.
  auto whole = [&](size_t i, uint64_t shift, uint64_t sectors) {
    if (devs[i].second + shift == 0) return devs[i].first;
    const std::string helper = top + "-m" + std::to_string(i);
    t->helpers.push_back({helper, "0 " + std::to_string(sectors) + " linear " + devs[i].first + " " +
                                      std::to_string(devs[i].second + shift)});
    return "/dev/mapper/" + helper;
  };
  if (type == VolumeSet) {
    uint64_t at = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t len = m.lengths[i] / 512;
      lines.push_back(std::to_string(at) + " " + std::to_string(len) + " linear " + devs[i].first + " " +
                      std::to_string(devs[i].second));
      at += len;
    }
  } else if (type == Stripe) {
    const uint64_t rows = fm::UsableMemberLength(fm::kStripe, m.lengths) / fm::kStripeBytes;
    std::string l = "0 " + std::to_string(rows * stripe * n) + " striped " + std::to_string(n) + " " +
                    std::to_string(stripe);
    for (const auto& d : devs) l += " " + d.first + " " + std::to_string(d.second);
    lines.push_back(l);
  } else if (type == Mirror) {
    // In sync when healthy; a member that is being copied to is rebuilt by the target.
    const uint64_t sectors = fm::VolumeLength(fm::kMirror, m.lengths) / 512;
    std::vector<std::string> params = {"0"};
    if (healthy) params.push_back("nosync");
    for (size_t i = 0; i < n; ++i)
      if (m.states[i] == Regenerating || m.states[i] == Initializing)
        params.insert(params.end(), {"rebuild", std::to_string(i)});
    std::string l = "0 " + std::to_string(sectors) + " raid raid1 " + std::to_string(params.size());
    for (const auto& p : params) l += " " + p;
    l += " " + std::to_string(n);
    for (size_t i = 0; i < n; ++i)
      l += " - " + (m.states[i] == Orphaned || devs[i].first.empty() ? "-" : whole(i, 0, sectors));
    lines.push_back(l);
  } else {
    // Row 0 (parity on the last member, data on the others in order) as linear pieces;
    // from row 1 on, the members shifted by one row are the raid target's raid5_ra
    // layout (parity of its row k on member k mod n, data in member order).
    const uint64_t rows = fm::UsableMemberLength(fm::kParity, m.lengths) / fm::kStripeBytes;
    for (size_t k = 0; k + 1 < n && rows > 0; ++k)
      lines.push_back(std::to_string(k * stripe) + " " + std::to_string(stripe) + " linear " + devs[k].first +
                      " " + std::to_string(devs[k].second));
    if (rows > 1) {
      std::string l = std::to_string((n - 1) * stripe) + " " + std::to_string((rows - 1) * (n - 1) * stripe) +
                      " raid raid5_ra " + (healthy ? "2 " : "1 ") + std::to_string(stripe) +
                      (healthy ? " nosync " : " ") + std::to_string(n);
      for (size_t i = 0; i < n; ++i) l += " - " + whole(i, stripe, (rows - 1) * stripe);
      lines.push_back(l);
    }
  }
  return ntp::Status();
}

}  // namespace ftdata
