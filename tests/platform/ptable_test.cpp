// Partition tables through the disk controls, checked against sfdisk as the outside
// oracle in both directions, plus numbering, refusals and damaged chains.
#include "ptable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "platform_test_util.h"

using namespace pt;

namespace {

constexpr uint64_t T = 63;     // one track
constexpr uint64_t C = 16065;  // one cylinder (255 x 63)
constexpr uint8_t kExt = PARTITION_EXTENDED;

// Primaries in slots 0 and 2, an extended partition with three logical drives, the
// first of them one track into the extended partition.
const char* kSfdiskScript =
    "label: dos\n"
    "IMG1 : start=63, size=16002, type=7, bootable\n"
    "IMG3 : start=16065, size=16065, type=8b\n"
    "IMG4 : start=32130, size=80000, type=5\n"
    "IMG5 : start=32193, size=16002, type=86\n"
    "IMG6 : start=48258, size=16002, type=42\n"
    "IMG7 : start=64323, size=16002, type=7\n";

std::string Script(const std::string& image) {
  std::string s = kSfdiskScript;
  for (size_t at; (at = s.find("IMG")) != std::string::npos;) s.replace(at, 3, image);
  return s;
}

HANDLE OpenDisk(ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) {
  HANDLE h = nullptr;
  EXPECT_EQ(pt::Open(u"\\Device\\Harddisk0\\Partition0", &h, access), STATUS_SUCCESS);
  return h;
}

TEST(PTable, ReadsWhatSfdiskWroteAndRefusesInvalidLayouts) {
  testutil::Machine m({64 * testutil::MiB});
  ASSERT_TRUE(testutil::Sfdisk(m.image(0), Script(m.image(0))));
  m.Boot();
  HANDLE h = OpenDisk();
  uint32_t sig = 0;
  auto e = pt::Layout(h, &sig);
  ASSERT_EQ(e.size(), 16u);  // the MBR and three boot records, four slots each

  EXPECT_EQ(sig, std::stoul(testutil::SfdiskJson(m.image(0))["partitiontable"]["id"].get<std::string>(),
                            nullptr, 16));
  // Data entries (slot, start, size, type) where the script put them, numbered in layout order.
  const uint64_t data[][4] = {{0, 63, 16002, 7},
                              {2, 16065, 16065, 0x8B},
                              {4, 32193, 16002, 0x86},
                              {8, 48258, 16002, 0x42},
                              {12, 64323, 16002, 7}};
  for (size_t k = 0; k < 5; ++k) {
    const PARTITION_INFORMATION& p = e[data[k][0]];
    EXPECT_EQ(uint64_t(p.StartingOffset.QuadPart), data[k][1] * 512) << k;
    EXPECT_EQ(uint64_t(p.PartitionLength.QuadPart), data[k][2] * 512) << k;
    EXPECT_EQ(p.PartitionType, data[k][3]) << k;
    EXPECT_EQ(p.PartitionNumber, k + 1) << k;
  }
  // Slot 1 stays an empty entry; the extended entry is absolute; hidden sectors are
  // the relative starts as stored.
  EXPECT_EQ(e[1].PartitionType, 0);
  EXPECT_TRUE(e[0].BootIndicator);
  EXPECT_EQ(e[3].PartitionType, kExt);
  EXPECT_EQ(e[3].StartingOffset.QuadPart, int64_t(32130 * 512));
  EXPECT_EQ(e[4].HiddenSectors, T);  // first logical one track into its boot record
  EXPECT_EQ(uint64_t(e[5].StartingOffset.QuadPart), (32130 + uint64_t(e[5].HiddenSectors)) * 512);
  EXPECT_EQ(uint64_t(e[8].StartingOffset.QuadPart),
            uint64_t(e[5].StartingOffset.QuadPart) + uint64_t(e[8].HiddenSectors) * 512);
  // Recognised: FT FAT32 and FT FAT16 are; 0x42 is not.
  EXPECT_TRUE(e[2].RecognizedPartition);
  EXPECT_TRUE(e[4].RecognizedPartition);
  EXPECT_FALSE(e[8].RecognizedPartition);
  // Too small a buffer for the layout; a table write without write access.
  std::vector<uint8_t> buf(8 + 32 * 15);
  EXPECT_EQ(pt::Ioctl(h, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, buf.data(), buf.size()),
            STATUS_BUFFER_TOO_SMALL);
  HANDLE ro = OpenDisk(GENERIC_READ);
  pt::LayoutBuffer one(Groups({{Entry(T, C, 7)}}), 1);
  EXPECT_EQ(pt::SetLayout(ro, one), STATUS_ACCESS_DENIED);
  NtClose(ro);

  const uint64_t disk = 64 * testutil::MiB / 512;
  PARTITION_INFORMATION unaligned = Entry(T, C, 7), negative = Entry(T, C, 7);
  unaligned.StartingOffset.QuadPart += 100;
  negative.StartingOffset.QuadPart = -512;
  struct Case {
    const char* what;  // what the driver says
    std::vector<PARTITION_INFORMATION> entries;
  } cases[] = {
      {"entry 0 is not sector-aligned", Groups({{unaligned}})},
      {"entry 0 has a negative offset", Groups({{negative}})},
      {"entry 0 lies beyond the disk", Groups({{Entry(T, disk, 7)}})},
      {"entry 0 overlaps the master boot record", Groups({{Entry(0, C, 7)}})},
      {"primary partitions overlap", Groups({{Entry(T, 2 * C, 7), Entry(C, C, 7)}})},
      {"not a positive multiple of four", {Entry(T, C, 7), Empty(), Empty()}},
      {"table group 1 has no container entry in the group before it",
       Groups({{Entry(T, C, 7)}, {Entry(2 * C, C, 7)}})},
      {"entry 4 lies outside the extended partition", Groups({{Entry(C, C, kExt)}, {Entry(3 * C, C, 7)}})},
      {"logical drives overlap", Groups({{Entry(C, 4 * C, kExt)},
                                         {Entry(C + T, 2 * C, 7), Entry(2 * C, 2 * C, kExt)},
                                         {Entry(2 * C + T, C, 7)}})},
      {"entry 1 is a second container entry in its table",
       Groups({{Entry(C, 2 * C, kExt), Entry(3 * C, C, kExt)}})},
      {"entry 4 does not start after its boot record", Groups({{Entry(C, 4 * C, kExt)}, {Entry(C, C, 7)}})},
      {"a boot record lies inside a logical drive",
       Groups({{Entry(C, 4 * C, kExt)}, {Entry(C + T, 3 * C, 7), Entry(2 * C, C, kExt)}, {}})},
      {"two table groups share sector", Groups({{Entry(C, 4 * C, kExt)},
                                                {Entry(C + T, C - T, 7), Entry(C, C, kExt)},
                                                {Entry(2 * C + T, C - T, 7)}})},
  };
  const auto before = pt::Head(m.image(0));
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    pt::LayoutBuffer b(c.entries, 0xDEADBEEF);
    ntp::RequestScope scope;
    EXPECT_EQ(pt::SetLayout(h, b), STATUS_INVALID_PARAMETER);
    EXPECT_NE(scope.Refusal().find(c.what), std::string::npos) << scope.Refusal();
  }
  // A refusal belongs to the request it was made in: the next one starts without it.
  EXPECT_TRUE(ntp::RequestScope().Refusal().empty());
  // A short input buffer is refused too.
  EXPECT_EQ(pt::SetLayout(h, one, 8 + 32 * 3), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(pt::Head(m.image(0)) == before);
  NtClose(h);
}

// Two primaries, an extended partition whose first logical drive shares its boot
// record, and two more logical drives behind links; the last drive of the given type.
std::vector<PARTITION_INFORMATION> ThreeLogicals(uint8_t lastType) {
  return Groups({{Entry(T, C - T, 7, true), Entry(C, C, 6), Empty(), Entry(2 * C, 3 * C, kExt)},
                 {Entry(2 * C + T, C - T, 7), Entry(3 * C, C, kExt)},
                 {Entry(3 * C + T, C - T, 0x0B), Entry(4 * C, C, kExt)},
                 {Entry(4 * C + T, C - T, lastType)}});
}

TEST(PTable, WrittenTablesReadBackAndARewriteWritesOnlyTheSectorsThatChange) {
  testutil::Machine m({64 * testutil::MiB});
  // Boot code in sector 0 must survive a table write.
  std::vector<uint8_t> code(440);
  for (size_t i = 0; i < code.size(); ++i) code[i] = uint8_t(i * 7 + 1);
  pt::WriteAt(m.image(0), 0, code);
  m.Boot();
  HANDLE h = OpenDisk();
  const auto entries = ThreeLogicals(7);
  pt::LayoutBuffer buf(entries, 0x12345678);
  ASSERT_EQ(pt::SetLayout(h, buf), STATUS_SUCCESS);
  // Numbers come back in the caller's entries: primaries 1, 2, then the logical drives.
  EXPECT_EQ((std::vector<ULONG>{buf.Number(0), buf.Number(1), buf.Number(3), buf.Number(4), buf.Number(8),
                                buf.Number(12)}),
            (std::vector<ULONG>{1, 2, 0, 3, 4, 5}));

  auto head = pt::Head(m.image(0), 512);
  EXPECT_TRUE(std::equal(code.begin(), code.end(), head.begin()));
  EXPECT_EQ(head[440] | head[441] << 8 | head[442] << 16 | uint32_t(head[443]) << 24, 0x12345678u);

  auto parts = testutil::SfdiskJson(m.image(0))["partitiontable"]["partitions"];
  ASSERT_EQ(parts.size(), 6u);
  EXPECT_EQ(parts[0]["bootable"], true);
  EXPECT_EQ(parts[2]["start"], 2 * C);
  for (unsigned i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parts[3 + i]["start"], (2 + i) * C + T);
    EXPECT_EQ(parts[3 + i]["size"], C - T);
    EXPECT_EQ(parts[3 + i]["type"], i == 1 ? "b" : "7");
  }

  // The driver reads back what was written, with the relative starts as stored: the
  // first logical one track into its boot record, the link relative to the extended
  // partition.
  auto back = pt::Layout(h);
  ASSERT_EQ(back.size(), entries.size());
  EXPECT_EQ(back[8].StartingOffset.QuadPart, entries[8].StartingOffset.QuadPart);
  EXPECT_EQ(back[8].PartitionNumber, 4u);
  EXPECT_EQ(back[4].HiddenSectors, T);
  EXPECT_EQ(back[5].HiddenSectors, C);

  // The same layout again writes nothing; one changed entry writes its sector only.
  ntp::ResetCounters();
  pt::LayoutBuffer same(ThreeLogicals(7), 0x12345678);
  ASSERT_EQ(pt::SetLayout(h, same), STATUS_SUCCESS);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
  auto six = ThreeLogicals(6);
  for (size_t i = 0; i < six.size(); ++i) six[i].RewritePartition = i == 12;  // slot 0 of the last table
  pt::LayoutBuffer changed(six, 0x12345678);
  ASSERT_EQ(pt::SetLayout(h, changed), STATUS_SUCCESS);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 1u);
  EXPECT_EQ(pt::Layout(h)[12].PartitionType, 6);
  NtClose(h);
}

TEST(PTable, NumbersStayStableDuringABootAndEmptyBootRecordsAreKept) {
  testutil::Machine m({64 * testutil::MiB});
  m.Boot();
  HANDLE h = OpenDisk();
  pt::LayoutBuffer three({Entry(T, C - T, 7), Entry(C, C, 7), Entry(2 * C, C, 7), Empty()}, 1);
  ASSERT_EQ(pt::SetLayout(h, three), STATUS_SUCCESS);
  HANDLE second = nullptr;
  ASSERT_EQ(pt::Open(u"\\Device\\Harddisk0\\Partition2", &second, GENERIC_READ), STATUS_SUCCESS);

  // Delete the second: the others keep 1 and 3, its device disappears.
  pt::LayoutBuffer two({Entry(T, C - T, 7), Empty(), Entry(2 * C, C, 7), Empty()}, 1);
  ASSERT_EQ(pt::SetLayout(h, two), STATUS_SUCCESS);
  EXPECT_EQ((std::vector<ULONG>{two.Number(0), two.Number(2)}), (std::vector<ULONG>{1, 3}));
  HANDLE x = nullptr;
  EXPECT_EQ(pt::Open(u"\\Device\\Harddisk0\\Partition2", &x, GENERIC_READ), STATUS_OBJECT_NAME_NOT_FOUND);
  PARTITION_INFORMATION info{};
  EXPECT_EQ(pt::Ioctl(second, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &info, sizeof info),
            STATUS_NO_SUCH_DEVICE);
  NtClose(second);

  // A new partition takes the lowest free number, wherever it lies.
  pt::LayoutBuffer again({Entry(T, C - T, 7), Entry(3 * C, C, 6), Entry(2 * C, C, 7), Empty()}, 1);
  ASSERT_EQ(pt::SetLayout(h, again), STATUS_SUCCESS);
  EXPECT_EQ((std::vector<ULONG>{again.Number(1), again.Number(2)}), (std::vector<ULONG>{2, 3}));

  // A reboot numbers in layout order again.
  NtClose(h);
  m.Reboot();
  h = OpenDisk();
  auto back = pt::Layout(h);
  ASSERT_EQ(back.size(), 4u);
  EXPECT_EQ((std::vector<ULONG>{back[1].PartitionNumber, back[2].PartitionNumber}),
            (std::vector<ULONG>{2, 3}));

  // An extended partition with an empty boot record (the numbers of the partitions it
  // replaces are free again).
  pt::LayoutBuffer empty(Groups({{Entry(T, C - T, 7), Entry(C, 3 * C, kExt)}, {}}), 1);
  ASSERT_EQ(pt::SetLayout(h, empty), STATUS_SUCCESS);
  EXPECT_EQ(testutil::SfdiskJson(m.image(0))["partitiontable"]["partitions"].size(), 2u);
  EXPECT_EQ(pt::Layout(h).size(), 8u);
  // The first logical drive a cylinder into the extended partition: its boot record
  // holds only a link.
  pt::LayoutBuffer linked(Groups({{Entry(T, C - T, 7), Entry(C, 3 * C, kExt)},
                                  {Entry(2 * C, C, kExt)},
                                  {Entry(2 * C + T, C - T, 7)}}),
                          1);
  ASSERT_EQ(pt::SetLayout(h, linked), STATUS_SUCCESS);
  auto parts = testutil::SfdiskJson(m.image(0))["partitiontable"]["partitions"];
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[2]["start"], 2 * C + T);
  back = pt::Layout(h);
  ASSERT_EQ(back.size(), 12u);
  EXPECT_EQ(back[8].PartitionNumber, 2u);
  EXPECT_EQ(back[4].PartitionNumber, 0u);
  NtClose(h);
}

TEST(PTable, SectorCountsBeyondThirtyTwoBitsAreRefusedAndCylindersAreCapped) {
  // A sparse disk just over 2 TiB.
  testutil::Machine m({(1ull << 32) * 512 + 64 * testutil::MiB});
  m.Boot();
  HANDLE h = OpenDisk();
  const auto before = pt::Head(m.image(0), 1 << 20);
  pt::LayoutBuffer tooLong(Groups({{Entry(T, (1ull << 32), 7)}}), 1);
  EXPECT_EQ(pt::SetLayout(h, tooLong), STATUS_INVALID_PARAMETER);
  pt::LayoutBuffer tooFar(Groups({{Entry((1ull << 32) + C, C, 7)}}), 1);
  EXPECT_EQ(pt::SetLayout(h, tooFar), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(pt::Head(m.image(0), 1 << 20) == before);
  pt::LayoutBuffer fits(Groups({{Entry(T, 0xFFFFFFFFull, 7)}}), 1);
  EXPECT_EQ(pt::SetLayout(h, fits), STATUS_SUCCESS);

  // Cylinder/head/sector of each entry's first and last sector: the top two cylinder
  // bits ride in the sector byte, and from cylinder 1024 on every address is capped.
  pt::LayoutBuffer chs(
      {Entry(T, C - T, 7), Entry(300 * C + 1, C - 1, 7), Entry(1023 * C, C, 7), Entry(1024 * C, C, 7)}, 1);
  ASSERT_EQ(pt::SetLayout(h, chs), STATUS_SUCCESS);
  const auto mbr = pt::Head(m.image(0), 512);
  const uint8_t expected[4][6] = {{1, 1, 0, 254, 63, 0},
                                  {0, 0x42, 0x2C, 254, 0x7F, 0x2C},
                                  {0, 0xC1, 0xFF, 254, 0xFF, 0xFF},
                                  {254, 0xFF, 0xFF, 254, 0xFF, 0xFF}};
  for (int i = 0; i < 4; ++i) {
    const uint8_t* e = &mbr[446 + 16 * i];
    EXPECT_EQ(std::vector<uint8_t>({e[1], e[2], e[3], e[5], e[6], e[7]}),
              std::vector<uint8_t>(expected[i], expected[i] + 6))
        << "entry " << i;
  }
  NtClose(h);
}

// ---- damaged tables -------------------------------------------------------------

// What the pure reader makes of a 64 MiB disk holding the given sectors (zeros elsewhere).
ntp::ptable::ReadResult ReadTables(const std::map<uint64_t, std::vector<uint8_t>>& sectors) {
  ntp::ptable::ReadResult r;
  ntp::ptable::DiskShape shape;
  shape.sectors = 64 * testutil::MiB / 512;
  const std::vector<uint8_t> zeros(512, 0);
  EXPECT_EQ(ntp::ptable::Read(
                shape,
                [&](uint64_t lba, uint8_t* buf) {
                  auto it = sectors.find(lba);
                  std::memcpy(buf, it == sectors.end() ? zeros.data() : it->second.data(), 512);
                  return true;
                },
                &r),
            STATUS_SUCCESS);
  return r;
}

// Whether the driver lets a table be rewritten: chains under every container type are
// followed; a damaged chain ends where it breaks, naming the break; a foreign layout, a
// chain that ends early, two extended partitions or a slot
// the layout reports as empty although it holds a size make the table read-only, and a
// layout write on such a disk is refused.
TEST(PTable, ContainerTypesAndForeignLayoutsDecideWhetherATableMayBeRewritten) {
  std::vector<uint8_t> gptHeader(512, 0);
  std::memcpy(gptHeader.data(), "EFI PART", 8);
  // The master boot record with a plain extended partition, and its first boot record
  // holding a drive and a link.
  using Sector = std::pair<const uint64_t, std::vector<uint8_t>>;
  auto halfMarked = pt::TableSector({{7, 63, 1000}});
  halfMarked[511] = 0;  // half a table signature is none
  const Sector ext{0, pt::TableSector({{5, 2048, 20000}})};
  auto first = [](uint32_t start, uint32_t size) {
    return Sector{2048, pt::TableSector({{7, 63, 1000}, {5, start, size}})};
  };
  struct Case {
    const char* what;
    size_t data;           // data entries reported
    const char* readOnly;  // part of the reason, or null for a table that may be rewritten
    std::map<uint64_t, std::vector<uint8_t>> sectors;
  } cases[] = {
      {"a chain under 0xC5",
       2,
       nullptr,
       {{0, pt::TableSector({{0xC5, 2048, 20000}})},
        {2048, pt::TableSector({{7, 63, 1000}, {0x85, 4000, 2000}})},
        {6048, pt::TableSector({{0x80, 63, 1000}})}}},
      {"a loop over two boot records",
       2,
       "loops back to sector 2048",
       {ext, first(4000, 2000), {6048, pt::TableSector({{7, 63, 1000}, {5, 0, 2000}})}}},
      {"a link past the end of the disk",
       1,
       "beyond the end of the disk (sector 133120)",
       {ext, first(131072, 2000)}},
      {"a zero-size link", 1, "link in the extended chain has no sectors", {ext, first(4000, 0)}},
      {"a boot record without its signature",
       1,
       "at sector 6048 has no table signature",
       {ext, first(4000, 2000), {6048, halfMarked}}},
      {"a link outside the extended partition",
       1,
       "outside the extended partition (sector 22048)",
       {ext, first(20000, 2000)}},
      {"an extended entry without sectors over a used sector",
       0,
       nullptr,
       {{0, pt::TableSector({{5, 2048, 0}})}, {2048, pt::TableSector({{7, 63, 1000}})}}},
      {"a protective entry", 1, "gpt disk, not managed", {{0, pt::TableSector({{0xEE, 1, 100000}})}}},
      {"a GPT header without a protective entry", 0, "gpt disk, not managed", {{1, gptHeader}}},
      {"a slot with a size but no type", 1, "slot 2", {{0, pt::TableSector({{7, 63, 1000}, {0, 0, 5000}})}}},
      {"an unused plain extended partition", 0, nullptr, {ext}},
      {"an unreadable boot record under 0x85", 0, "0x85", {{0, pt::TableSector({{0x85, 2048, 20000}})}}},
      {"two links in one boot record: the first is followed",
       2,
       nullptr,
       {ext,
        {2048, pt::TableSector({{7, 63, 1000}, {5, 4000, 2000}, {5, 8000, 2000}})},
        {6048, pt::TableSector({{7, 63, 1000}})}}},
      {"two extended partitions",
       0,
       "2 extended",
       {{0, pt::TableSector({{5, 2048, 20000}, {0x0F, 30000, 2000}})}, {2048, pt::TableSector({})}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ntp::ptable::ReadResult r = ReadTables(c.sectors);
    size_t data = 0;
    for (auto& p : r.entries) data += ntp::ptable::IsData(p.PartitionType);
    EXPECT_EQ(data, c.data);
    if (c.readOnly == nullptr)
      EXPECT_EQ(r.readOnlyReason, "");
    else
      EXPECT_NE(r.readOnlyReason.find(c.readOnly), std::string::npos) << r.readOnlyReason;
  }

  // A chain is followed up to its limit of boot records, and not one further.
  for (size_t n : {ntp::ptable::kMaxChain, ntp::ptable::kMaxChain + 1}) {
    SCOPED_TRACE(n);
    std::map<uint64_t, std::vector<uint8_t>> chain{{0, pt::TableSector({{5, 2048, uint32_t(2 * n)}})}};
    for (size_t i = 0; i + 1 < n; ++i)
      chain[2048 + 2 * i] = pt::TableSector({{7, 1, 1}, {5, uint32_t(2 * i + 2), 2}});
    chain[2048 + 2 * (n - 1)] = pt::TableSector({{7, 1, 1}});
    const ntp::ptable::ReadResult r = ReadTables(chain);
    EXPECT_EQ(r.tableSectors.size(), std::min(n, ntp::ptable::kMaxChain) + 1);
    EXPECT_EQ(r.warnings.empty(), n == ntp::ptable::kMaxChain);
  }

  testutil::Machine m({64 * testutil::MiB});
  pt::WriteAt(m.image(0), 0, pt::TableSector({{0xEE, 1, 100000}}));
  m.Boot();
  HANDLE h = OpenDisk();
  EXPECT_EQ(pt::Ioctl(h, IOCTL_DISK_IS_WRITABLE), NTSTATUS(0xC00000A2));
  pt::LayoutBuffer b(Groups({{Entry(T, C - T, 7)}}), 0x1234);
  EXPECT_EQ(pt::SetLayout(h, b), NTSTATUS(0xC00000A2));
  NtClose(h);
}

}  // namespace
