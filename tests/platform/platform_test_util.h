// Helpers for the platform tests: opening devices by name and reading layouts.
#pragma once

#include <gtest/gtest.h>

#include <array>
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

// A device control on h; only its status is kept.
inline NTSTATUS Ioctl(HANDLE h, ULONG code, void* in = nullptr, size_t inBytes = 0, void* out = nullptr,
                      size_t outBytes = 0) {
  IO_STATUS_BLOCK iosb{};
  return NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, code, in, ULONG(inBytes), out,
                               ULONG(outBytes));
}

// The layout as the driver reports it; empty vector on failure.
inline std::vector<PARTITION_INFORMATION> Layout(HANDLE h, uint32_t* signature = nullptr) {
  std::vector<uint8_t> buf(16040, 0);
  if (!NT_SUCCESS(Ioctl(h, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, buf.data(), buf.size()))) return {};
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
  ULONG Number(size_t i) { return get()->PartitionEntry[i].PartitionNumber; }  // as the driver set it
};

// Sets the layout in b; inBytes shortens the input (the whole record by default).
inline NTSTATUS SetLayout(HANDLE h, LayoutBuffer& b, size_t inBytes = 0) {
  return Ioctl(h, IOCTL_DISK_SET_DRIVE_LAYOUT, b.bytes.data(), inBytes ? inBytes : b.bytes.size(),
               b.bytes.data(), b.bytes.size());
}

inline PARTITION_INFORMATION Entry(uint64_t startSector, uint64_t sectors, uint8_t type, bool boot = false) {
  return {{.QuadPart = int64_t(startSector * 512)},
          {.QuadPart = int64_t(sectors * 512)},
          0,
          0,
          type,
          boot,
          0,
          TRUE};
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
  const std::string b = testutil::ReadAt(path, 0, std::min<size_t>(bytes, std::filesystem::file_size(path)));
  return {b.begin(), b.end()};
}

inline void WriteAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  testutil::WriteAt(path, offset, std::string(bytes.begin(), bytes.end()));
}

// A table sector with the given (type, relative start, size[, active]) entries.
inline std::vector<uint8_t> TableSector(std::initializer_list<std::array<uint32_t, 4>> entries) {
  std::vector<uint8_t> s(512, 0);
  uint8_t* e = &s[446];
  for (auto [type, start, size, active] : entries) {
    e[0] = active ? 0x80 : 0;
    e[4] = uint8_t(type);
    std::memcpy(e + 8, &start, 4);
    std::memcpy(e + 12, &size, 4);
    e += 16;
  }
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

}  // namespace pt
