// Table slots through create, delete and active: what a request does not name stays in
// its slot, as sfdisk and the project's own reader both see it.
#include <gtest/gtest.h>

#include "ptable.h"
#include "requests.h"

namespace {

using namespace requests;
using SlotMap = std::map<unsigned, uint64_t>;  // Linux partition number -> start sector

SlotMap BySfdisk(const std::string& image) {
  SlotMap m;
  const nlohmann::json table = testutil::SfdiskJson(image);
  for (const auto& p : table["partitiontable"]["partitions"]) {
    const std::string node = p["node"];  // the number at its end is the slot
    m[unsigned(std::stoul(node.substr(node.find_last_not_of("0123456789") + 1)))] = p["start"];
  }
  return m;
}

// Entries 0 to 3 of the layout are slots 1 to 4, logical drives follow from 5.
SlotMap ByOwnReader(const Disk& d) {
  ntp::ptable::ReadResult r;
  ntp::ptable::Read(
      {.sectors = 40 * K},
      [&](uint64_t lba, uint8_t* buf) {
        auto b = d.Read(lba * kSector, kSector);
        std::copy(b.begin(), b.end(), buf);
        return true;
      },
      &r);
  SlotMap m;
  for (unsigned i = 0, logical = 5; i < r.entries.size(); ++i) {
    const auto& e = r.entries[i];
    if (i < 4 ? e.PartitionType != 0 : ntp::ptable::IsData(e.PartitionType))
      m[i < 4 ? i + 1 : logical++] = uint64_t(e.StartingOffset.QuadPart) / kSector;
  }
  return m;
}

// Two primaries (a, b) and an extended partition with three logical drives, the
// container in each slot in turn, one slot empty, slot order not always disk order.
TEST(Slots, EntriesTheRequestDoesNotNameStayWhereTheyWere) {
  const uint64_t a = 63, b = 4 * K, ext = 10 * K, l1 = 10 * K + 63, l2 = 16 * K + 63, l3 = 22 * K + 63;
  for (const auto [slotA, slotB, slotExt, gap] :
       {std::array<unsigned, 4>{2, 4, 1, 3}, {1, 3, 2, 4}, {4, 1, 3, 2}, {3, 2, 4, 1}}) {
    SCOPED_TRACE("extended partition in slot " + std::to_string(slotExt));
    auto line = [](unsigned slot, uint64_t start, uint64_t size, const char* type) {
      return "IMG" + std::to_string(slot) + " : " + Sectors(start, size, type);
    };
    Disk d{40, line(slotA, a, 4 * K - 63, "7") + line(slotB, b, 4 * K, "6") +
                   line(slotExt, ext, 20 * K, "5") + line(5, l1, 4 * K - 63, "7") +
                   line(6, l2, 4 * K - 63, "6") + line(7, l3, 4 * K - 63, "b")};
    d.Boot();
    SlotMap want{{slotA, a}, {slotB, b}, {slotExt, ext}, {5, l1}, {6, l2}, {7, l3}};
    auto expect = [&](const char* step) {
      EXPECT_EQ(BySfdisk(d.image()), want) << step << " (sfdisk)";
      EXPECT_EQ(ByOwnReader(d), want) << step << " (own reader)";
    };
    ASSERT_EQ(LdmMarkPartitionActive(VolumeAt(d.disk(), b * kSector)), 0u);
    expect("active");
    ASSERT_EQ(Delete(VolumeAt(d.disk(), a * kSector)), 0u);
    want.erase(slotA);
    expect("first primary deleted");
    ASSERT_EQ(Create(d.disk(), REGION_PRIMARY, 30 * C, 4 * C).status, 0u);
    want[std::min(gap, slotA)] = 30 * K;
    expect("primary created");
    ASSERT_EQ(Delete(VolumeAt(d.disk(), 16 * C)), 0u);
    want.erase(7), want[6] = l3;
    expect("middle logical drive deleted: only the drive after it is renamed");
    ASSERT_EQ(Create(d.disk(), REGION_LOGICAL, 14 * C, 4 * C).status, 0u);
    want[6] = 14 * K + 63, want[7] = l3;
    expect("logical drive created in the gap");
  }
}

}  // namespace
