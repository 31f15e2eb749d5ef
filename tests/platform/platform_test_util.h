// Helpers for the platform tests: opening devices by name and reading layouts.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "machine.h"
#include "ntplatform.h"
#include "testutil.h"

namespace pt {

inline NTSTATUS Open(const std::u16string& name, HANDLE* h, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE,
                     ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, name.c_str());
  OBJECT_ATTRIBUTES oa{sizeof oa, nullptr, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  IO_STATUS_BLOCK iosb{};
  return NtOpenFile(h, access | SYNCHRONIZE, &oa, &iosb, share, FILE_SYNCHRONOUS_IO_ALERT);
}

// The layout as the driver reports it; empty vector on failure (status in *status).
inline std::vector<PARTITION_INFORMATION> Layout(HANDLE h, uint32_t* signature = nullptr,
                                                 NTSTATUS* status = nullptr) {
  std::vector<uint8_t> buf(16040, 0);
  IO_STATUS_BLOCK iosb{};
  NTSTATUS s = NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_DRIVE_LAYOUT,
                                     nullptr, 0, buf.data(), ULONG(buf.size()));
  if (status) *status = s;
  if (!NT_SUCCESS(s)) return {};
  auto* l = reinterpret_cast<DRIVE_LAYOUT_INFORMATION*>(buf.data());
  if (signature) *signature = l->Signature;
  return std::vector<PARTITION_INFORMATION>(l->PartitionEntry, l->PartitionEntry + l->PartitionCount);
}

// A layout record ready for IOCTL_DISK_SET_DRIVE_LAYOUT.
struct LayoutBuffer {
  std::vector<uint8_t> bytes;
  explicit LayoutBuffer(const std::vector<PARTITION_INFORMATION>& entries, uint32_t signature) {
    bytes.resize(8 + 32 * entries.size());
    auto* l = get();
    l->PartitionCount = ULONG(entries.size());
    l->Signature = signature;
    for (size_t i = 0; i < entries.size(); ++i) l->PartitionEntry[i] = entries[i];
  }
  DRIVE_LAYOUT_INFORMATION* get() { return reinterpret_cast<DRIVE_LAYOUT_INFORMATION*>(bytes.data()); }
};

inline NTSTATUS SetLayout(HANDLE h, LayoutBuffer& b) {
  IO_STATUS_BLOCK iosb{};
  return NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_SET_DRIVE_LAYOUT,
                               b.bytes.data(), ULONG(b.bytes.size()), b.bytes.data(), ULONG(b.bytes.size()));
}

inline PARTITION_INFORMATION Entry(uint64_t startSector, uint64_t sectors, uint8_t type, bool boot = false) {
  PARTITION_INFORMATION p{};
  p.StartingOffset.QuadPart = int64_t(startSector * 512);
  p.PartitionLength.QuadPart = int64_t(sectors * 512);
  p.PartitionType = type;
  p.BootIndicator = boot;
  p.RewritePartition = TRUE;
  return p;
}

inline PARTITION_INFORMATION Empty() { return Entry(0, 0, PARTITION_ENTRY_UNUSED); }

// A layout of table groups, each padded with empty entries to its four slots.
inline std::vector<PARTITION_INFORMATION> Groups(
    std::initializer_list<std::vector<PARTITION_INFORMATION>> groups) {
  std::vector<PARTITION_INFORMATION> v;
  for (auto g : groups) {
    g.resize(4, Empty());
    v.insert(v.end(), g.begin(), g.end());
  }
  return v;
}

// The first bytes of an image (where the tables of the tests live), or all of it.
inline std::vector<uint8_t> Head(const std::string& path, size_t bytes = size_t(1) << 31) {
  std::vector<uint8_t> out(std::min<size_t>(bytes, std::filesystem::file_size(path)));
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
  return out;
}

// Boots a plain machine (platform only, no host) for device tests.
struct Booted {
  testutil::TempDir dir;
  std::vector<std::string> images;
  explicit Booted(const std::vector<uint64_t>& sizes, unsigned cdroms = 0) {
    std::vector<std::pair<uint64_t, ntp::DiskConfig>> disks;
    for (uint64_t s : sizes) disks.push_back({s, ntp::DiskConfig{}});
    std::string err;
    if (!ntp::CreateMachine(dir.path, disks, std::vector<ntp::CdromConfig>(cdroms), &err))
      throw std::runtime_error(err);
    for (size_t i = 0; i < sizes.size(); ++i)
      images.push_back(dir.path + "/disks/disk" + std::to_string(i) + ".img");
  }
  void Boot() {
    std::string err;
    ASSERT_TRUE(ntp::Boot(dir.path, ntp::LockMode::NoWait, &err)) << err;
  }
  ~Booted() { ntp::Shutdown(); }
};

}  // namespace pt
