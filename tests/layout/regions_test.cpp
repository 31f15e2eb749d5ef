// The region model on hand-made tables: which entries become regions, their order, and
// the free extents between them.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "layout.h"
#include "zmhost.h"

namespace {

constexpr int64_t kSector = 512;
constexpr int64_t kTrack = 63 * kSector;
constexpr int64_t kCylinder = 255 * kTrack;

DISK_GEOMETRY Geometry(int64_t cylinders) { return {{.QuadPart = cylinders}, FixedMedia, 255, 63, 512}; }

struct Entry {
  int64_t start, length;
  uint8_t type;
  uint8_t boot = 0;
};

// A zero-filled layout buffer the way the device layer hands it out.
struct Table {
  std::vector<uint8_t> bytes;
  explicit Table(uint32_t count, const std::vector<Entry>& entries) {
    bytes.assign(offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) + 16 * sizeof(PARTITION_INFORMATION), 0);
    layout()->PartitionCount = count;
    for (size_t i = 0; i < entries.size(); ++i)
      layout()->PartitionEntry[i] = {{.QuadPart = entries[i].start},
                                     {.QuadPart = entries[i].length},
                                     0,
                                     static_cast<ULONG>(i + 1),
                                     entries[i].type,
                                     entries[i].boot,
                                     1,
                                     0};
  }
  PDRIVE_LAYOUT_INFORMATION layout() { return reinterpret_cast<PDRIVE_LAYOUT_INFORMATION>(bytes.data()); }
};

struct Regions {
  uint32_t count = 0;
  _REGION_ENTRY* list = nullptr;
  uint32_t skipped = 0;
  bool ok = false;
  Regions(Table& t, uint32_t level, int64_t cylinders = 1000) {
    ok = CreateRegionsEx(t.layout(), level, count, list, Geometry(cylinders), &skipped);
  }
  ~Regions() { _ZmFree(list, __FILE__, __LINE__); }
};

constexpr Entry kEmpty{0, 0, 0};

TEST(RegionModel, DiskLevelTakesTheFirstFourSlotsInSlotOrder) {
  // Slot 1 empty, slot 3 holds an extended partition with the top bits set.
  Table t(8, {{kTrack, 10 * kCylinder - kTrack, 0x07, 0x80},
              kEmpty,
              {20 * kCylinder, 5 * kCylinder, 0x86},
              {30 * kCylinder, 50 * kCylinder, 0x85},
              {30 * kCylinder + kTrack, 10 * kCylinder - kTrack, 0x06}});
  Regions r(t, 1);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.count, 3u);
  EXPECT_EQ(r.list[0].BootIndicator, 0x80);
  EXPECT_EQ(r.list[1].EntrySlot, 2u);
  EXPECT_EQ(r.list[1].RegionType, static_cast<uint32_t>(REGION_PRIMARY));  // 0x86 holds data
  EXPECT_EQ(r.list[2].EntrySlot, 3u);
  EXPECT_EQ(r.list[2].RegionType, static_cast<uint32_t>(REGION_EXTENDED));
  EXPECT_EQ(r.list[2].PartitionType, 0x85);  // all eight bits kept
  EXPECT_EQ(r.list[2].PartitionNumber, 4u);
}

TEST(RegionModel, ContainerLevelForEachExtendedSystemId) {
  for (uint8_t type : {uint8_t{0x0F}, uint8_t{0xC5}}) {
    SCOPED_TRACE(type);
    const int64_t base = 10 * kCylinder;
    // The container's boot record holds the first drive one track in, then a link to
    // the second boot record.
    Table t(12, {{kTrack, base - kTrack, 0x06},
                 {base, 40 * kCylinder, type},
                 kEmpty,
                 kEmpty,
                 {base + kTrack, 10 * kCylinder - kTrack, 0x07},
                 {base + 10 * kCylinder, 10 * kCylinder, 0x05},
                 kEmpty,
                 kEmpty,
                 {base + 10 * kCylinder + kTrack, 10 * kCylinder - kTrack, 0x86},
                 kEmpty,
                 kEmpty,
                 kEmpty});
    Regions r(t, 3);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.count, 3u);
    EXPECT_EQ(r.list[0].RegionType, static_cast<uint32_t>(REGION_EXTENDED));
    // Logical drives include their boot-record track; the first begins with the container.
    EXPECT_EQ(r.list[1].StartingOffset, base);
    EXPECT_EQ(r.list[1].Length, 10 * kCylinder);
    EXPECT_EQ(r.list[1].EntrySlot, 4u);
    EXPECT_EQ(r.list[2].StartingOffset, base + 10 * kCylinder);
    EXPECT_EQ(r.list[2].RegionType, static_cast<uint32_t>(REGION_LOGICAL));

    // Sorting keeps the container first although the first drive starts with it.
    std::swap(r.list[0], r.list[2]);
    std::swap(r.list[1], r.list[2]);
    SortRegions(r.list, r.count);
    EXPECT_EQ(r.list[0].RegionType, static_cast<uint32_t>(REGION_EXTENDED));
    EXPECT_EQ(r.list[1].EntrySlot, 4u);
    EXPECT_EQ(r.list[2].EntrySlot, 8u);
    // Regions of one kind that start together keep their order.
    r.list[2].StartingOffset = r.list[1].StartingOffset;
    SortRegions(r.list, r.count);
    EXPECT_EQ(r.list[1].EntrySlot, 4u);
    EXPECT_EQ(r.list[2].EntrySlot, 8u);
  }
}

TEST(RegionModel, ContainerLevelEdgeCases) {
  const int64_t base = 10 * kCylinder;
  // PartitionCount 4 leaves out the entries beyond; logical drives without an extended
  // entry give no regions; of two extended entries only the first is the container.
  struct Case {
    uint32_t count, regions;
    std::vector<Entry> entries;
  } cases[] = {
      {4, 1, {{base, 20 * kCylinder, 0x05}, kEmpty, kEmpty, kEmpty, {base + kTrack, kCylinder, 0x06}}},
      {8, 0, {{kTrack, base, 0x06}, kEmpty, kEmpty, kEmpty, {base + kTrack, kCylinder, 0x06}}},
      {8, 1, {{base, 10 * kCylinder, 0x05}, {30 * kCylinder, 10 * kCylinder, 0x0F}}},
  };
  for (const Case& c : cases) {
    Table t(c.count, c.entries);
    Regions r(t, 3);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.count, c.regions);
    EXPECT_TRUE(r.count == 0 || r.list[0].EntrySlot == 0);
    EXPECT_EQ(FreeExtents(r.list, r.count, 3, Geometry(1000)).empty(), r.count == 0);
  }
  Table t(8, {});
  uint32_t count = 7;
  _REGION_ENTRY* list = nullptr;
  EXPECT_FALSE(CreateRegions(t.layout(), 4, count, list, Geometry(10)));
  EXPECT_FALSE(CreateRegions(nullptr, 1, count, list, Geometry(10)));
  EXPECT_EQ(list, nullptr);
}

TEST(RegionModel, EntriesThatWouldOverflowAreLeftOutAndCounted) {
  const int64_t huge = std::numeric_limits<int64_t>::max() - kCylinder;
  Table t(8, {{kTrack, kCylinder, 0x06},
              {huge, 2 * kCylinder, 0x07},
              {-kCylinder, kCylinder, 0x07},
              {10 * kCylinder, 10 * kCylinder, 0x05},
              {10 * kCylinder + kTrack, kCylinder, 0x06},
              {11 * kCylinder + kTrack, std::numeric_limits<int64_t>::max(), 0x06}});
  Regions primary(t, 1);
  ASSERT_TRUE(primary.ok);
  EXPECT_EQ(primary.count, 2u);
  EXPECT_EQ(primary.skipped, 2u);
  Regions logical(t, 3);
  ASSERT_TRUE(logical.ok);
  EXPECT_EQ(logical.count, 2u);
  EXPECT_EQ(logical.skipped, 1u);
}

TEST(FreeExtents, DiskLevelGapsEndAtTheLastWholeCylinder) {
  // 1000 cylinders; partitions in slot order 2, 0 with a gap between and after them.
  Table t(4, {{300 * kCylinder, 300 * kCylinder, 0x07}, kEmpty, {kTrack, 100 * kCylinder - kTrack, 0x06}});
  Regions r(t, 1);
  ASSERT_TRUE(r.ok);
  auto free = FreeExtents(r.list, r.count, 1, Geometry(1000));
  ASSERT_EQ(free.size(), 3u);
  EXPECT_EQ(free[0].Length, kTrack);
  EXPECT_EQ(free[1].Offset, 100 * kCylinder);
  EXPECT_EQ(free[1].Length, 200 * kCylinder);
  EXPECT_EQ(free[2].Offset, 600 * kCylinder);
  EXPECT_EQ(free[2].Length, 400 * kCylinder);

  // An empty disk is one free extent up to the last whole cylinder, which is kept below
  // the largest offset.
  Table none(0, {});
  Regions empty(none, 1);
  const int64_t most = std::numeric_limits<int64_t>::max() / kCylinder;
  for (auto [cylinders, end] : {std::pair<int64_t, int64_t>{1000, 1000 * kCylinder},
                                {most, most * kCylinder},
                                {most + 1, std::numeric_limits<int64_t>::max()},
                                {0, 0},
                                {-5, 0}}) {
    auto all = FreeExtents(empty.list, empty.count, 1, Geometry(cylinders));
    EXPECT_EQ(all.size(), end != 0 ? 1u : 0u) << cylinders;
    EXPECT_EQ(all.empty() ? 0 : all[0].Offset + all[0].Length, end) << cylinders;
  }
}

TEST(FreeExtents, OverlappingOrOutOfRangeRegionsNeverOpenAGapInsideARegion) {
  // A second entry nested in the first, and one beyond the usable end.
  Table t(4, {{kTrack, 500 * kCylinder, 0x07},
              {10 * kCylinder, kCylinder, 0x06},
              {900 * kCylinder, 200 * kCylinder, 0x06}});
  Regions r(t, 1);
  auto free = FreeExtents(r.list, r.count, 1, Geometry(1000));
  for (const auto& e : free) {
    SCOPED_TRACE(e.Offset);
    EXPECT_TRUE(e.Offset + e.Length <= kTrack || e.Offset >= kTrack + 500 * kCylinder);
    EXPECT_LE(e.Offset + e.Length, 1000 * kCylinder);
  }
  ASSERT_EQ(free.size(), 2u);
  EXPECT_EQ(free[1].Offset, kTrack + 500 * kCylinder);
  EXPECT_EQ(free[1].Offset + free[1].Length, 900 * kCylinder);
}

}  // namespace
