// Shared by the layout and partition tests: a booted machine with one disk laid out by
// sfdisk, and helpers to read the image and the database.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "machine.h"
#include "provider.h"
#include "testutil.h"
#include "zmhost.h"

namespace fixture {

constexpr uint64_t kSector = 512;
constexpr uint64_t kTrackSectors = 63;
constexpr uint64_t kCylSectors = 255 * 63;
constexpr uint64_t T = kTrackSectors * kSector;
constexpr uint64_t C = kCylSectors * kSector;

// One disk of `cylinders` whole cylinders, optionally laid out by an sfdisk script
// (in sectors), booted with the provider registered.
class Disk {
 public:
  explicit Disk(uint64_t cylinders, const std::string& script = "", uint64_t extraBytes = 0)
      : machine_({cylinders * C + extraBytes}) {
    if (!script.empty()) {
      bool ok = testutil::Sfdisk(machine_.image(0), "label: dos\n" + script);
      EXPECT_TRUE(ok) << script;
    }
  }
  // Boots and registers the provider (its first scan runs then).
  void Boot() {
    ntp::SetSleepHook([](DWORD) {});
    machine_.Boot();
    provider_ = machine_.Provider();
    disk_ = testutil::DiskObject(0);
    ASSERT_NE(disk_, 0u);
  }
  ~Disk() {
    if (machine_.booted()) machine_.Shutdown();
    ntp::SetSleepHook(nullptr);
  }

  std::string image() const { return machine_.image(0); }
  ZM_OBJECT_ID disk() const { return disk_; }
  ZM_HANDLE provider() const { return provider_; }
  testutil::Machine& machine() { return machine_; }

  std::vector<uint8_t> Read(uint64_t offset, size_t length) const {
    std::string b = testutil::ReadAt(image(), offset, length);
    b.resize(length, '\0');  // zeros past the end, as a disk would read
    return {b.begin(), b.end()};
  }
  void Write(uint64_t offset, const std::vector<uint8_t>& bytes) const {
    testutil::WriteAt(image(), offset, std::string(bytes.begin(), bytes.end()));
  }

 private:
  testutil::Machine machine_;
  ZM_HANDLE provider_ = nullptr;
  ZM_OBJECT_ID disk_ = 0;
};

// A deterministic pattern for a byte range, distinct per seed.
inline std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> b(length);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : b) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<uint8_t>(x);
  }
  return b;
}

// A hash of a range of the image, read a mebibyte at a time.
inline uint64_t Hash(const Disk& d, uint64_t offset, uint64_t length) {
  uint64_t h = 0;
  for (uint64_t done = 0; done < length; done += 1 << 20) {
    auto b = d.Read(offset + done, static_cast<size_t>(std::min<uint64_t>(1 << 20, length - done)));
    h = h * 1099511628211ull +
        std::hash<std::string_view>{}({reinterpret_cast<const char*>(b.data()), b.size()});
  }
  return h;
}

// A published region: kind as the CLI names it, offset and length in bytes.
struct Region {
  uint32_t type;  // object type
  uint64_t offset, length;
  bool operator==(const Region&) const = default;
  bool operator<(const Region& o) const { return offset != o.offset ? offset < o.offset : type < o.type; }
};

inline std::vector<Region> RegionsUnder(ZM_OBJECT_ID parent, uint32_t type) {
  std::vector<Region> v;
  for (ZM_OBJECT_ID id : testutil::Children(parent, type))
    v.push_back({type, testutil::PropU64(id, "OFFSET_LL"), testutil::PropU64(id, "LENGTH_LL")});
  std::sort(v.begin(), v.end());
  return v;
}

// The partition that starts at `offset` (logical drives included), and its volume.
inline ZM_OBJECT_ID PartitionAt(ZM_OBJECT_ID disk, uint64_t offset) {
  std::vector<ZM_OBJECT_ID> all = testutil::Children(disk, ZM_OBJ_PARTITION);
  for (ZM_OBJECT_ID e : testutil::Children(disk, ZM_OBJ_EXTENDED))
    for (ZM_OBJECT_ID l : testutil::Children(e, ZM_OBJ_PARTITION)) all.push_back(l);
  for (ZM_OBJECT_ID p : all)
    if (testutil::PropU64(p, "OFFSET_LL") == offset) return p;
  return 0;
}
inline ZM_OBJECT_ID VolumeAt(ZM_OBJECT_ID disk, uint64_t offset) {
  ZM_OBJECT_ID p = PartitionAt(disk, offset);
  auto v = p != 0 ? testutil::Parents(p, ZM_OBJ_VOLUME) : std::vector<ZM_OBJECT_ID>{};
  return v.empty() ? 0 : v[0];
}

// The data partitions as sfdisk reads them back: (start, size) in bytes, logical
// drives included, extended containers left out.
inline std::vector<std::pair<uint64_t, uint64_t>> SfdiskData(const std::string& image) {
  auto v = testutil::SfdiskData(image);
  for (auto& [start, size] : v) {
    start *= kSector;
    size *= kSector;
  }
  return v;
}

// The data partitions the database shows, with a logical drive's data range (its
// region less the boot-record track), to compare with SfdiskData.
inline std::vector<std::pair<uint64_t, uint64_t>> DatabaseData(ZM_OBJECT_ID disk) {
  std::vector<std::pair<uint64_t, uint64_t>> v;
  for (const Region& r : RegionsUnder(disk, ZM_OBJ_PARTITION)) v.push_back({r.offset, r.length});
  for (ZM_OBJECT_ID ext : testutil::Children(disk, ZM_OBJ_EXTENDED))
    for (const Region& r : RegionsUnder(ext, ZM_OBJ_PARTITION)) v.push_back({r.offset + T, r.length - T});
  std::sort(v.begin(), v.end());
  return v;
}

using testutil::SetU32;
using testutil::SetU64;
using testutil::ValueType;

// Every object of the kinds the layout code creates, for "nothing changed" checks.
inline std::vector<ZM_OBJECT_ID> LayoutObjects() {
  std::vector<ZM_OBJECT_ID> v;
  for (uint32_t t : {ZM_OBJ_VOLUME, ZM_OBJ_EXTENDED, ZM_OBJ_FREE_SPACE, ZM_OBJ_PARTITION}) {
    auto ids = testutil::Objects(t);
    v.insert(v.end(), ids.begin(), ids.end());
  }
  std::sort(v.begin(), v.end());
  return v;
}

inline std::string Sectors(uint64_t start, uint64_t size, const std::string& type, bool boot = false) {
  return "start=" + std::to_string(start) + ", size=" + std::to_string(size) + ", type=" + type +
         (boot ? ", bootable" : "") + "\n";
}

}  // namespace fixture
