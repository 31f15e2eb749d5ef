// Partitions of block devices as the kernel sees them, through sysfs, /proc and the
// BLKRRPART and BLKPG controls.
#include "blockdev.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ntp::detail::blockdev {

namespace fs = std::filesystem;

namespace {

std::string ReadLine(const fs::path& file) {
  std::ifstream f(file);
  std::string line;
  std::getline(f, line);
  return line;
}

uint64_t ReadNumber(const fs::path& file) {
  try {
    return std::stoull(ReadLine(file));
  } catch (...) {
    return 0;
  }
}

// "/mnt/a\040b" in mountinfo is "/mnt/a b".
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(uint8_t(s[i + 1]))) {
      out += char(std::stoi(s.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

std::vector<KernelPartition> Partitions(int fd) {
  std::vector<KernelPartition> out;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return out;
  const fs::path sys =
      "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(sys, ec)) {
    if (!fs::exists(e.path() / "partition", ec)) continue;
    KernelPartition p;
    p.number = unsigned(ReadNumber(e.path() / "partition"));
    p.start = ReadNumber(e.path() / "start") * 512;  // sysfs counts 512-byte units
    p.size = ReadNumber(e.path() / "size") * 512;
    unsigned ma = 0, mi = 0;
    if (std::sscanf(ReadLine(e.path() / "dev").c_str(), "%u:%u", &ma, &mi) == 2) p.dev = makedev(ma, mi);
    std::ifstream uevent(e.path() / "uevent");
    for (std::string line; std::getline(uevent, line);)
      if (line.rfind("DEVNAME=", 0) == 0) p.node = "/dev/" + line.substr(8);
    if (p.node.empty()) p.node = "/dev/" + e.path().filename().string();
    out.push_back(p);
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
  return out;
}

std::string Busy(const KernelPartition& p) {
  // Mounted: mountinfo names the device by its numbers (field 3) and gives the mount
  // point (field 5).
  std::ifstream mounts("/proc/self/mountinfo");
  const std::string numbers = std::to_string(major(p.dev)) + ":" + std::to_string(minor(p.dev));
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream is(line);
    std::string id, parent, devno, root, point;
    if (is >> id >> parent >> devno >> root >> point && devno == numbers)
      return "mounted on " + Unescape(point);
  }
  std::ifstream swaps("/proc/swaps");
  std::string line;
  std::getline(swaps, line);  // the heading
  while (std::getline(swaps, line)) {
    std::istringstream is(line);
    std::string file;
    struct stat st {};
    if (is >> file && stat(Unescape(file).c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == p.dev)
      return "used as swap";
  }
  // Anything else that holds it (a device mapper, another program's exclusive open).
  int fd = open(p.node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? "held open by another program" : "";
  close(fd);
  return "";
}

void Update(int fd, const std::vector<TablePartition>& table, std::vector<std::string>* warnings) {
  auto same = [](const TablePartition& t, const KernelPartition& k) {
    return t.number == k.number && t.start == k.start && t.size == k.size;
  };
  auto matches = [&](const std::vector<KernelPartition>& kernel) {
    if (kernel.size() != table.size()) return false;
    for (const auto& t : table) {
      bool found = false;
      for (const auto& k : kernel) found = found || same(t, k);
      if (!found) return false;
    }
    return true;
  };
  std::vector<KernelPartition> now = Partitions(fd);
  bool inUse = false;
  for (const auto& p : now) inUse = inUse || !Busy(p).empty();
  // A kernel built without this table format takes the re-read and finds nothing; the
  // partitions are then added one by one.
  if (!inUse && ioctl(fd, BLKRRPART) == 0) {
    now = Partitions(fd);
    if (matches(now)) return;
  }

  auto change = [&](int op, unsigned number, uint64_t start, uint64_t size) {
    blkpg_partition part{};
    part.start = static_cast<long long>(start);
    part.length = static_cast<long long>(size);
    part.pno = static_cast<int>(number);
    blkpg_ioctl_arg arg{};
    arg.op = op;
    arg.datalen = sizeof part;
    arg.data = &part;
    if (ioctl(fd, BLKPG, &arg) == 0) return;
    warnings->push_back(std::string("the kernel could not ") +
                        (op == BLKPG_ADD_PARTITION ? "add" : "remove") + " partition " +
                        std::to_string(number) + ": " + std::strerror(errno));
  };
  auto inTable = [&](const KernelPartition& k) {
    for (const auto& t : table)
      if (same(t, k)) return true;
    return false;
  };
  // A partition whose number changed (a logical drive after a deleted one) is removed
  // and added again under its new number; one in use was refused before the write.
  std::vector<unsigned> taken;
  for (const auto& k : now) {
    if (inTable(k)) {
      taken.push_back(k.number);
      continue;
    }
    change(BLKPG_DEL_PARTITION, k.number, 0, 0);
  }
  // A partition takes its table number, or the lowest free one when that is still held.
  for (const auto& t : table) {
    bool known = false;
    for (const auto& k : now) known = known || same(t, k);
    if (known) continue;
    unsigned number = t.number;
    while (std::find(taken.begin(), taken.end(), number) != taken.end()) ++number;
    taken.push_back(number);
    change(BLKPG_ADD_PARTITION, number, t.start, t.size);
  }
}

}  // namespace ntp::detail::blockdev
