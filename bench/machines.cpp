#include "machines.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "configblob.h"
#include "machine.h"
#include "ntplatform.h"
#include "provider.h"
#include "registry_store.h"
#include "zmhost.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

const std::u16string kDiskKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";
const std::u16string kInformation = u"Information";

// Layout of one generated disk, in cylinders: primaries of two cylinders each (the
// first starts one track in), then the extended partition, one cylinder per logical
// drive plus the free tail, then one spare cylinder.
uint64_t ExtendedStart() { return 6 * kCylinder; }
uint64_t ExtendedLength(const Shape& s) { return (uint64_t(s.logicals) + kFreeCylinders) * kCylinder; }
uint64_t DiskBytes(const Shape& s) { return ExtendedStart() + ExtendedLength(s) + kCylinder; }

struct Part {
  uint64_t offset, length;
  bool logical;
};

std::vector<Part> Parts(const Shape& s) {
  std::vector<Part> parts;
  parts.push_back({kTrack, 2 * kCylinder - kTrack, false});
  parts.push_back({2 * kCylinder, 2 * kCylinder, false});
  parts.push_back({4 * kCylinder, 2 * kCylinder, false});
  for (unsigned j = 0; j < s.logicals; ++j)
    parts.push_back({ExtendedStart() + j * kCylinder + kTrack, kCylinder - kTrack, true});
  return parts;
}

PARTITION_INFORMATION Entry(uint64_t offset, uint64_t length, uint8_t type) {
  PARTITION_INFORMATION e{};
  e.StartingOffset.QuadPart = static_cast<int64_t>(offset);
  e.PartitionLength.QuadPart = static_cast<int64_t>(length);
  e.HiddenSectors = 0;
  e.PartitionType = type;
  e.RecognizedPartition = type != PARTITION_EXTENDED && type != PARTITION_ENTRY_UNUSED;
  e.RewritePartition = TRUE;
  return e;
}

// Writes the disk's table in the driver's convention: the boot record's four entries,
// then one group of four per extended boot record (the logical drive, the link).
bool WriteTable(unsigned disk, const Shape& s, std::string* error) {
  const size_t groups = 1 + s.logicals;
  std::vector<uint8_t> buffer(offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) +
                              groups * 4 * sizeof(PARTITION_INFORMATION));
  auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION*>(buffer.data());
  layout->PartitionCount = static_cast<ULONG>(groups * 4);
  layout->Signature = ntp::Disks()[disk].signature;
  PARTITION_INFORMATION* e = layout->PartitionEntry;
  std::vector<Part> parts = Parts(s);
  for (int i = 0; i < 3; ++i) e[i] = Entry(parts[i].offset, parts[i].length, PARTITION_IFS);
  e[3] = Entry(ExtendedStart(), ExtendedLength(s), PARTITION_EXTENDED);
  for (unsigned j = 0; j < s.logicals; ++j) {
    PARTITION_INFORMATION* g = e + 4 * (1 + j);
    const Part& p = parts[3 + j];
    g[0] = Entry(p.offset, p.length, PARTITION_IFS);
    g[1] = j + 1 < s.logicals ? Entry(p.offset - kTrack + kCylinder, kCylinder, PARTITION_EXTENDED)
                              : Entry(0, 0, PARTITION_ENTRY_UNUSED);
    g[2] = Entry(0, 0, PARTITION_ENTRY_UNUSED);
    g[3] = Entry(0, 0, PARTITION_ENTRY_UNUSED);
  }

  std::u16string name = u"\\Device\\Harddisk";
  for (char c : std::to_string(disk)) name += static_cast<char16_t>(c);
  name += u"\\Partition0";
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, name.c_str());
  OBJECT_ATTRIBUTES oa{sizeof(OBJECT_ATTRIBUTES), nullptr, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  IO_STATUS_BLOCK iosb{};
  HANDLE h = nullptr;
  NTSTATUS st = NtOpenFile(&h, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &iosb,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SYNCHRONOUS_IO_NONALERT);
  if (!NT_SUCCESS(st)) {
    *error = "cannot open disk " + std::to_string(disk);
    return false;
  }
  st = NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_SET_DRIVE_LAYOUT, buffer.data(),
                             static_cast<ULONG>(buffer.size()), nullptr, 0);
  NtClose(h);
  if (!NT_SUCCESS(st)) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(st));
    *error = "cannot write the table of disk " + std::to_string(disk) + " (" + hex + ")";
    return false;
  }
  return true;
}

// The FT sets: set i has 2 + i % 3 members (a mirror always 2, parity at least 3), each
// on another disk, taken from the logical drives in turn.
struct Member {
  unsigned disk, part;
};
std::vector<std::pair<uint16_t, std::vector<Member>>> Sets(const Shape& s) {
  std::vector<std::pair<uint16_t, std::vector<Member>>> sets;
  unsigned cursor = 0;
  for (unsigned i = 0; i < s.ftSets; ++i) {
    uint16_t type = static_cast<uint16_t>(i % 4);  // mirror, stripe, parity, volume set
    unsigned n = type == 0 ? 2 : (type == 2 ? 3 : 2 + i % 3);
    if (n > s.disks) n = s.disks;
    std::vector<Member> members;
    for (unsigned m = 0; m < n; ++m, ++cursor)
      members.push_back({cursor % s.disks, 3 + (cursor / s.disks) % s.logicals});
    sets.emplace_back(type, members);
  }
  return sets;
}

std::vector<uint8_t> Blob(const Shape& s, bool membersOnly) {
  std::vector<ftformat::BlobDisk> disks(s.disks);
  std::vector<Part> parts = Parts(s);
  auto sets = Sets(s);
  std::vector<std::vector<int>> memberOf(s.disks, std::vector<int>(parts.size(), -1));
  std::vector<std::vector<uint16_t>> memberIndex(s.disks, std::vector<uint16_t>(parts.size(), 0));
  for (size_t i = 0; i < sets.size(); ++i)
    for (size_t m = 0; m < sets[i].second.size(); ++m) {
      memberOf[sets[i].second[m].disk][sets[i].second[m].part] = static_cast<int>(i);
      memberIndex[sets[i].second[m].disk][sets[i].second[m].part] = static_cast<uint16_t>(m);
    }
  std::vector<ftformat::BlobSet> blobSets(sets.size());
  for (unsigned d = 0; d < s.disks; ++d) {
    disks[d].signature = ntp::Disks()[d].signature;
    for (size_t p = 0; p < parts.size(); ++p) {
      int set = memberOf[d][p];
      if (membersOnly && set < 0) continue;
      ftformat::BlobPartition bp;
      bp.offset = static_cast<int64_t>(parts[p].offset);
      bp.length = static_cast<int64_t>(parts[p].length);
      bp.number = static_cast<uint16_t>(p + 1);
      bp.letter = ' ';
      if (set >= 0) {
        bp.ftType = sets[set].first;
        bp.group = static_cast<uint16_t>(set);
        bp.member = memberIndex[d][p];
        blobSets[set].members.push_back({d, static_cast<unsigned>(disks[d].partitions.size())});
      }
      disks[d].partitions.push_back(bp);
    }
  }
  for (size_t i = 0; i < sets.size(); ++i) blobSets[i].type = sets[i].first;
  // Members in member order within each set.
  for (auto& bs : blobSets)
    std::sort(bs.members.begin(), bs.members.end(),
              [&](const ftformat::BlobMember& a, const ftformat::BlobMember& b) {
                return disks[a.disk].partitions[a.partition].member <
                       disks[b.disk].partitions[b.partition].member;
              });
  return ftformat::BuildBlob(disks, blobSets);
}

}  // namespace

std::string MachineFor(const Shape& s) {
  std::string dir =
      (fs::temp_directory_path() / ("ftdisk-bench-" + std::to_string(s.disks) + "x" +
                                    std::to_string(s.logicals) + "-ft" + std::to_string(s.ftSets)))
          .string();
  if (fs::exists(fs::path(dir) / "machine.toml")) return dir;
  fs::remove_all(dir);
  std::vector<std::pair<uint64_t, ntp::DiskConfig>> disks;
  for (unsigned i = 0; i < s.disks; ++i) disks.push_back({DiskBytes(s), ntp::DiskConfig{}});
  std::string error;
  if (!ntp::CreateMachine(dir, disks, {}, &error)) {
    std::fprintf(stderr, "cannot create %s: %s\n", dir.c_str(), error.c_str());
    return "";
  }
  return dir;
}

bool BootMachine(const std::string& dir, const Shape& s, std::string* error) {
  if (!ntp::Boot(dir, ntp::LockMode::NoWait, error)) return false;
  const fs::path ready = fs::path(dir) / "bench-ready";
  if (fs::exists(ready)) return true;
  for (unsigned d = 0; d < s.disks; ++d)
    if (!WriteTable(d, s, error)) return false;
  if (s.ftSets > 0) StoreBlob(Blob(s, false));
  std::ofstream(ready) << "tables written\n";
  // Reboot so partition devices and boot letters come from the new tables.
  ntp::Shutdown();
  return ntp::Boot(dir, ntp::LockMode::NoWait, error);
}

ZM_HANDLE StartHost(std::string* error) {
  zm::Start();
  ZM_HANDLE provider = zm::RegisterProvider(&ProviderEntry, u"ftdisk", error);
  if (provider == nullptr) return nullptr;
  zm::InitializationComplete();
  zm::WaitIdle();
  return provider;
}

void StopHost() {
  zm::UnloadProviders();
  zm::Stop();
}

Costs Snapshot(unsigned disks) {
  Costs c;
  c.hostCalls = zm::TotalCalls();
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  c.cpuSeconds =
      double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  for (unsigned d = 0; d < disks; ++d) {
    ntp::DiskCounters dc = ntp::Counters(d);
    c.sectorsRead += dc.sectorsRead;
    c.sectorsWritten += dc.sectorsWritten;
  }
  return c;
}

Costs operator-(const Costs& a, const Costs& b) {
  return {a.hostCalls - b.hostCalls, a.sectorsRead - b.sectorsRead, a.sectorsWritten - b.sectorsWritten,
          a.cpuSeconds - b.cpuSeconds};
}

uint64_t PeakRssKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<uint64_t>(u.ru_maxrss);
}

std::vector<uint8_t> StoredBlob() {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!ntp::reg::GetValue(kDiskKey, kInformation, &type, &data)) data.clear();
  return data;
}

void StoreBlob(const std::vector<uint8_t>& blob) {
  ntp::reg::SetValue(kDiskKey, kInformation, REG_BINARY, blob);
}

std::vector<uint8_t> StaleBlob(const Shape& s) { return Blob(s, true); }

}  // namespace bench
