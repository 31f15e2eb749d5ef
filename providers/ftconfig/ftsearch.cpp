#include "ftsearch.h"

#include <algorithm>

#include "boot.h"
#include "ftconfig.h"

namespace ftconfig {

namespace {

namespace ff = ntp::ftfind;
using model::Disk;
using model::Region;

// Opens every partition of the regions (logical drives inside the extended partition
// too); those a recorded set holds are only counted.
void Walk(const Disk& disk, const std::vector<Region>& regions, const std::vector<PartitionRef>& recorded,
          std::vector<HANDLE>* handles, SetSearch* search) {
  for (const Region& r : regions) {
    Walk(disk, r.regions, recorded, handles, search);
    if (!r.IsPartition() || !r.device) continue;
    HANDLE h = nullptr;
    if (!NT_SUCCESS(zm::OpenDevice(zm::Widen(*r.device), GENERIC_READ, &h))) continue;
    IO_STATUS_BLOCK iosb{};
    PARTITION_INFORMATION pi{};
    if (!NT_SUCCESS(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_PARTITION_INFO,
                                          nullptr, 0, &pi, sizeof pi))) {
      NtClose(h);
      continue;
    }
    handles->push_back(h);
    ff::Partition p;
    p.signature = static_cast<uint32_t>(disk.signature);
    p.disk = *disk.index;
    p.offset = pi.StartingOffset.QuadPart;
    p.length = pi.PartitionLength.QuadPart;
    p.cylinder = disk.tracksPerCylinder.value_or(0) * disk.sectorsPerTrack * disk.bytesPerSector;
    p.type = pi.PartitionType;
    p.name = r.name.empty() ? "?" : r.name;
    const bool member = std::any_of(recorded.begin(), recorded.end(), [&](const PartitionRef& m) {
      return m.signature == p.signature && m.offset == p.offset && m.length == p.length;
    });
    if (member) {
      ++search->recordedMembers;
      continue;
    }
    p.read = [h](uint64_t offset, void* buffer, size_t length) {
      IO_STATUS_BLOCK io{};
      LARGE_INTEGER at;
      at.QuadPart = static_cast<int64_t>(offset);
      return NT_SUCCESS(
          NtReadFile(h, nullptr, nullptr, nullptr, &io, buffer, static_cast<ULONG>(length), &at, nullptr));
    };
    search->partitions.push_back(std::move(p));
  }
}

}  // namespace

SetSearch::~SetSearch() {
  for (HANDLE h : handles_) NtClose(h);
}

ntp::Status FindSets(const model::Machine& m, const ff::Options& options, SetSearch* search) {
  FTInfo info;
  std::string error;
  if (!Read(&info, &error)) return ntp::Status(0, error);
  std::vector<PartitionRef> recorded;
  for (const auto& set : Sets(info))
    for (const auto& member : set.members) recorded.push_back(member.where);
  // A disk the platform gives no index cannot be told apart from the others.
  for (const Disk& d : m.disks)
    if (d.index) Walk(d, d.regions, recorded, &search->handles_, search);
  search->found = ff::Find(search->partitions, options);
  return ntp::Status();
}

}  // namespace ftconfig
