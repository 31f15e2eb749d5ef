// The built-in provider "fsys": on a refresh it publishes the file system libblkid finds
// on every volume as "FILE_SYSTEM" ("NTFS", "FAT", "FAT32", "CDFS" for an ISO 9660
// medium, "RAW" for anything else). A partition or CD-ROM is probed once per boot, and
// again only when it moved or its disk was written to: one read of its first sectors,
// and libblkid, reading the image in place at the partition's offset, only when they
// hold the mark of one of those file systems.
#include <blkid/blkid.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "internal.h"
#include "machine.h"
#include "ntdisk.h"
#include "ntplatform.h"

namespace zmi {
namespace {

constexpr size_t kHeadBytes = 64 * 1024;
// The marks libblkid looks for before it probes for the file systems named here lie in
// two sectors: the boot sector, and the first volume descriptor of a CD at 32 KiB.
constexpr size_t kMarkSector = 512;
constexpr uint64_t kDescriptorAt = 32 * 1024;

uint64_t Le(const std::vector<uint8_t>& b, size_t off, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint64_t{b[off + i]} << (8 * i);
  return v;
}

bool PutAt(int fd, uint64_t offset, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// libblkid confirms NTFS by the MFT's first records (up to the $Volume record, the
// fourth), which usually lie past the head: when the boot sector names NTFS they are
// fetched too, after their location and size have been checked against the volume.
void FetchMftRecord(int fd, const std::vector<uint8_t>& head, uint64_t length,
                    bool (*read)(void*, uint64_t, void*, size_t), void* ctx) {
  if (head.size() < 512 || std::memcmp(head.data() + 3, "NTFS    ", 8) != 0) return;
  uint64_t bps = Le(head, 0x0B, 2), spc = head[0x0D];
  if (bps < 256 || bps > 4096 || (bps & (bps - 1)) != 0 || spc == 0) return;
  uint64_t cluster = bps * spc;
  uint64_t lcn = Le(head, 0x30, 8);
  int8_t cpr = static_cast<int8_t>(head[0x40]);
  uint64_t record = cpr > 0 ? uint64_t(cpr) * cluster : (cpr < 0 && cpr > -31 ? uint64_t{1} << -cpr : 0);
  if (record == 0 || record > kHeadBytes || lcn > length / cluster) return;
  uint64_t off = lcn * cluster, span = 4 * record;
  if (off < head.size() || off + span > length) return;
  std::vector<uint8_t> buf(span);
  if (read != nullptr && read(ctx, off, buf.data(), buf.size())) PutAt(fd, off, buf.data(), buf.size());
}

std::string Classify(const char* type, const char* version) {
  std::string t = type != nullptr ? type : "";
  std::string v = version != nullptr ? version : "";
  if (t == "ntfs") return "NTFS";
  if (t == "vfat" || t == "msdos") return v == "FAT32" ? "FAT32" : "FAT";
  if (t == "iso9660" || t == "udf") return "CDFS";
  return "RAW";
}

struct Volume {
  HANDLE handle;
};

bool ReadVolume(void* ctx, uint64_t offset, void* buffer, size_t size) {
  auto* v = static_cast<Volume*>(ctx);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER off;
  off.QuadPart = static_cast<int64_t>(offset);
  NTSTATUS s = NtReadFile(v->handle, nullptr, nullptr, nullptr, &iosb, buffer, static_cast<ULONG>(size), &off,
                          nullptr);
  return s >= 0 && iosb.Information == size;
}

// The file system of one volume, or empty when the volume cannot be read.
std::string Probe(const std::u16string& device) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, device.c_str());
  OBJECT_ATTRIBUTES attrs{};
  attrs.Length = sizeof attrs;
  attrs.ObjectName = &name;
  IO_STATUS_BLOCK iosb{};
  HANDLE h = nullptr;
  if (NtOpenFile(&h, GENERIC_READ | SYNCHRONIZE, &attrs, &iosb, FILE_SHARE_READ | FILE_SHARE_WRITE,
                 FILE_SYNCHRONOUS_IO_NONALERT) < 0)
    return "";
  Volume v{h};
  uint64_t length = 0;
  PARTITION_INFORMATION pi{};
  if (NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0,
                            &pi, sizeof pi) >= 0)
    length = static_cast<uint64_t>(pi.PartitionLength.QuadPart);
  // The head: as much of the first 64 KiB as the volume gives, in halving steps.
  std::vector<uint8_t> head;
  for (size_t n = kHeadBytes; n >= 512; n /= 2) {
    if (length != 0 && n > length) continue;
    head.assign(n, 0);
    if (ReadVolume(&v, 0, head.data(), n)) break;
    head.clear();
  }
  std::string fs;
  if (!head.empty()) fs = DetectFileSystem(head, std::max<uint64_t>(length, head.size()), &ReadVolume, &v);
  NtClose(h);
  return fs;
}

// Superblocks that can give one of the names above; the others are not looked for.
char kNtfs[] = "ntfs", kVfat[] = "vfat", kMsdos[] = "msdos", kIso[] = "iso9660", kUdf[] = "udf";
char* kTypes[] = {kNtfs, kVfat, kMsdos, kIso, kUdf, nullptr};

// Makes a probe look for the file systems this host names. The settings stay when the
// probe is set to another device.
void Configure(blkid_probe pr) {
  blkid_probe_enable_superblocks(pr, 1);
  blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
  blkid_probe_filter_superblocks_type(pr, BLKID_FLTR_ONLYIN, kTypes);
  blkid_probe_enable_partitions(pr, 0);
}

// The file system on the device a configured probe was set to.
std::string Probe(blkid_probe pr) {
  if (blkid_do_safeprobe(pr) != 0) return "RAW";
  const char* type = nullptr;
  const char* version = nullptr;
  blkid_probe_lookup_value(pr, "TYPE", &type, nullptr);
  blkid_probe_lookup_value(pr, "VERSION", &version, nullptr);
  return Classify(type, version);
}

// What the whole-image probe answered for a device, and for which bytes.
struct Probed {
  unsigned disk;
  bool cdrom;
  uint64_t offset, length, writes;
  std::string fs;
};

std::mutex gProbeMutex;  // one probe at a time: the duplicated fds share a file offset
std::unordered_map<std::u16string, Probed> gProbed;
std::atomic<uint64_t> gProbes{0};

// Descriptors of the disk images that a refresh reads, opened once per disk and refresh.
class DiskFds {
 public:
  DiskFds() = default;
  DiskFds(const DiskFds&) = delete;
  DiskFds& operator=(const DiskFds&) = delete;
  ~DiskFds() {
    for (const auto& [disk, fd] : fds_) close(fd);
  }
  // A descriptor for the extent's image, or -1; the caller closes it when owned is set.
  int For(const std::u16string& device, const ntp::DeviceExtent& e, bool* owned) {
    *owned = e.cdrom;
    if (!e.cdrom)
      if (auto it = fds_.find(e.disk); it != fds_.end()) return it->second;
    ntp::DeviceExtent again;
    if (!ntp::OpenDeviceExtent(device, &again, true)) return -1;
    if (!e.cdrom) fds_[e.disk] = again.fd;
    return again.fd;
  }

 private:
  std::unordered_map<unsigned, int> fds_;
};

// The file system of a volume, or empty when it cannot be read.
std::string ProbeVolume(ZM_OBJECT_ID volume, const std::u16string& device, DiskFds* fds) {
  std::string fs;
  // FT volumes are read through their members' mapping.
  if (ProbeFtVolume(volume, &fs)) return fs;
  std::lock_guard<std::mutex> g(gProbeMutex);
  auto it = gProbed.find(device);
  // A partition's extent and bytes change only by writes to its disk: while its disk
  // has not been written to, the answer stands without looking the device up again.
  if (it != gProbed.end() && !it->second.cdrom &&
      ntp::Counters(it->second.disk).sectorsWritten == it->second.writes)
    return it->second.fs;
  ntp::DeviceExtent e;
  if (!ntp::OpenDeviceExtent(device, &e, false)) return Probe(device);  // not one extent of an image
  if (it != gProbed.end()) {
    const Probed& p = it->second;
    if (p.disk == e.disk && p.cdrom == e.cdrom && p.offset == e.offset && p.length == e.length &&
        p.writes == e.writes)
      return p.fs;
  }
  bool owned = false;
  int fd = fds->For(device, e, &owned);
  if (fd < 0) return "";
  fs = ProbeExtent(fd, e.offset, e.length);
  if (owned) close(fd);
  gProbed[device] = Probed{e.disk, e.cdrom, e.offset, e.length, e.writes, fs};
  return fs;
}

}  // namespace

std::string DetectFileSystem(const std::vector<uint8_t>& head, uint64_t length,
                             bool (*read)(void*, uint64_t, void*, size_t), void* ctx) {
  if (length < head.size()) length = head.size();
  int fd = memfd_create("zmapi-fsys", MFD_CLOEXEC);
  if (fd < 0) return "RAW";
  std::string result = "RAW";
  // A sparse image of the volume's size holding the head, so that probes that look
  // at the volume's size or end see the real geometry.
  if (ftruncate(fd, static_cast<off_t>(length)) == 0 && PutAt(fd, 0, head.data(), head.size())) {
    FetchMftRecord(fd, head, length, read, ctx);
    if (blkid_probe pr = blkid_new_probe()) {
      Configure(pr);
      if (blkid_probe_set_device(pr, fd, 0, static_cast<blkid_loff_t>(length)) == 0) result = Probe(pr);
      blkid_free_probe(pr);
    }
  }
  close(fd);
  return result;
}

namespace {
// The mark's bytes at offset of a sector of size bytes; the length is the literal's, so
// the compare is a few instructions instead of a strlen and a memcmp call.
template <size_t N>
bool MarkAt(const uint8_t* sector, size_t size, size_t offset, const char (&mark)[N]) {
  return offset + (N - 1) <= size && std::memcmp(sector + offset, mark, N - 1) == 0;
}
}  // namespace

bool MayHoldFileSystem(const uint8_t* boot, size_t bootSize, const uint8_t* descriptor,
                       size_t descriptorSize) {
  auto boots = [&](size_t offset, const auto& mark) { return MarkAt(boot, bootSize, offset, mark); };
  auto describes = [&](size_t offset, const auto& mark) {
    return MarkAt(descriptor, descriptorSize, offset, mark);
  };
  // FAT: a jump instruction, the boot sector's signature or a FAT type name.
  if (boots(0, "\xEB") || boots(0, "\xE9") || boots(0x1FE, "\x55\xAA") || boots(0x52, "MSWIN") ||
      boots(0x52, "FAT32   ") || boots(0x36, "MSDOS") || boots(0x36, "FAT16   ") || boots(0x36, "FAT12   ") ||
      boots(0x36, "FAT     "))
    return true;
  if (boots(3, "NTFS    ")) return true;
  // ISO 9660 and UDF volume descriptors (High Sierra's name 8 bytes further in).
  return describes(1, "CD001") || describes(1, "BEA01") || describes(1, "BOOT2") || describes(1, "CDW02") ||
         describes(1, "NSR02") || describes(1, "NSR03") || describes(1, "TEA01") || describes(9, "CDROM");
}

namespace {
// Reads up to one sector at offset of the extent; false when the read fails.
bool ReadMarkSector(int fd, uint64_t base, uint64_t length, uint64_t offset, uint8_t* sector, size_t* size) {
  *size = offset < length ? static_cast<size_t>(std::min<uint64_t>(length - offset, kMarkSector)) : 0;
  return *size == 0 ||
         pread(fd, sector, *size, static_cast<off_t>(base + offset)) == static_cast<ssize_t>(*size);
}
}  // namespace

std::string ProbeExtent(int fd, uint64_t offset, uint64_t length) {
  gProbes.fetch_add(1, std::memory_order_relaxed);
  std::string result = "RAW";
  if (length == 0) return result;  // libblkid would take the rest of the image
  // Without the mark of one of the file systems looked for, libblkid would find none of
  // them: the two sectors that may hold one are read, the second only when the first
  // has none (one small read each rather than one of 32 KiB, most of it copied for
  // nothing).
  uint8_t boot[kMarkSector], descriptor[kMarkSector];
  size_t bootSize = 0, descriptorSize = 0;
  if (ReadMarkSector(fd, offset, length, 0, boot, &bootSize) &&
      !MayHoldFileSystem(boot, bootSize, nullptr, 0) &&
      ReadMarkSector(fd, offset, length, kDescriptorAt, descriptor, &descriptorSize) &&
      !MayHoldFileSystem(boot, bootSize, descriptor, descriptorSize))
    return result;
  // One probe serves every extent; setting the device resets its results.
  static std::mutex mutex;
  static blkid_probe pr = nullptr;
  std::lock_guard<std::mutex> g(mutex);
  if (pr == nullptr) {
    if ((pr = blkid_new_probe()) == nullptr) return result;
    Configure(pr);
  }
  if (blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset), static_cast<blkid_loff_t>(length)) ==
      0)
    result = Probe(pr);
  return result;
}

void ForgetProbedVolumes() {
  std::lock_guard<std::mutex> g(gProbeMutex);
  gProbed.clear();
}

uint64_t VolumeProbes() { return gProbes.load(std::memory_order_relaxed); }

// Codes 1 and 2 refresh every volume's "FILE_SYSTEM"; a volume that cannot be read
// keeps what it had. Other codes are not served.
ZMSTATUS FsysControl(ZM_OBJECT_ID /*objectId*/, uint32_t /*cls*/, uint32_t code, ZM_PROPSET, ZM_PROPSET,
                     uint32_t, uint32_t, void*, ZM_PROGRESS_CALLBACK, ZM_OBJECT_ID*) {
  if (code != OP_REFRESH && code != 2) return E_INVALIDARG_ZM;
  DiskFds fds;
  for (ZM_OBJECT_ID v : HostObjects(ZM_OBJ_VOLUME)) {
    std::u16string device;
    if (!HostGetString(v, "\\Device\\", &device) || device.empty()) continue;
    std::string fs = ProbeVolume(v, device, &fds);
    if (fs.empty()) continue;
    std::u16string text = Utf16(fs);
    if (!HostStringIs(v, "FILE_SYSTEM", text)) HostSet(v, StringValue("FILE_SYSTEM", text));
  }
  return ZM_S_OK;
}

}  // namespace zmi
