// Tables written by other systems: containers of every type, flagged and unusual entries,
// two extended or two active entries, chains out of order and boot records
// off the track. A request changes only what it names: every other entry stays in the
// table (read here with the test's own reader), every other partition keeps its bytes,
// and the database holds one object and one volume per partition through any rescans.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <tuple>

#include "../platform/platform_test_util.h"
#include "requests.h"

namespace {

using namespace requests;

constexpr uint32_t K = kCylSectors;
constexpr uint64_t kCylinders = 40;

struct Raw {
  uint8_t type = 0;
  uint32_t start = 0, size = 0;  // as stored (relative)
  bool boot = false;
};

// One table sector: its LBA and four slots.
struct Table {
  uint64_t lba;
  Raw slot[4];
};

// Writes the table; the master boot record keeps its code and disk signature.
void WriteTable(const Disk& d, const Table& t) {
  auto slot = [&](int i) {
    return std::array<uint32_t, 4>{t.slot[i].type, t.slot[i].start, t.slot[i].size, t.slot[i].boot};
  };
  std::vector<uint8_t> s = pt::TableSector({slot(0), slot(1), slot(2), slot(3)});
  if (t.lba == 0) s.erase(s.begin(), s.begin() + 446);
  d.Write(t.lba * kSector + (t.lba == 0 ? 446 : 0), s);
}

// The test's own reader: every non-empty data entry with its absolute sector extent, and
// every container entry of the master boot record; links are followed under any type
// whose low six bits are 5 or 15.
using Entry = std::tuple<uint8_t, uint64_t, uint64_t>;  // type, absolute start, size

bool IsLink(uint8_t type) { return (type & 0x3F) == 5 || (type & 0x3F) == 15; }

Raw Decode(const std::vector<uint8_t>& sector, int slot) {
  Raw r;
  const uint8_t* e = &sector[446 + 16 * slot];
  r.boot = e[0] & 0x80;
  r.type = e[4];
  memcpy(&r.start, e + 8, 4);
  memcpy(&r.size, e + 12, 4);
  return r;
}

std::set<Entry> ReadEntries(const Disk& d, std::vector<uint64_t>* active = nullptr) {
  std::set<Entry> out;
  std::set<uint64_t> seen;
  // The master boot record lists its links as entries; boot records only link on.
  for (uint64_t at = 0, ext = 0, next = 0;; at = next, next = 0) {
    const auto sector = d.Read(at * kSector, kSector);
    if (sector[510] != 0x55 || sector[511] != 0xAA) break;
    for (int i = 0; i < 4; ++i) {
      const Raw r = Decode(sector, i);
      if (IsLink(r.type) && at != 0) {
        if (next == 0 && r.size != 0) next = ext + r.start;
        continue;
      }
      if (IsLink(r.type) && ext == 0) ext = next = r.start;
      if (r.type == 0 && r.start == 0 && r.size == 0) continue;
      out.insert({r.type, at + r.start, r.size});
      if (r.boot && active) active->push_back(at + r.start);
    }
    if (next == 0 || !seen.insert(next).second || next >= kCylinders * K) break;
  }
  return out;
}

// Calls f(offset, length) for both ends (up to 64 KiB each) of every data entry.
template <typename F>
void ForEachEnd(const std::set<Entry>& entries, F f) {
  for (const Entry& e : entries) {
    if (IsLink(std::get<0>(e))) continue;
    const uint64_t at = std::get<1>(e) * kSector, len = std::get<2>(e) * kSector;
    const uint64_t head = std::min<uint64_t>(len, 64 * 1024);
    f(e, at, head);
    f(e, at + len - head, head);
  }
}

// Bytes of every data partition the reader finds: a pattern at each end is written
// before boot, and its hash is what a request must leave alone.
std::map<Entry, uint64_t> Fingerprints(const Disk& d, const std::set<Entry>& entries) {
  std::map<Entry, uint64_t> m;
  ForEachEnd(entries, [&](const Entry& e, uint64_t at, uint64_t n) { m[e] = m[e] * 31 + Hash(d, at, n); });
  return m;
}

void FillEnds(const Disk& d, const std::set<Entry>& entries) {
  uint32_t seed = 7;
  ForEachEnd(entries, [&](const Entry&, uint64_t at, uint64_t n) { d.Write(at, Pattern(n, seed++)); });
}

std::vector<ZM_OBJECT_ID> Logicals(ZM_OBJECT_ID disk) {
  std::vector<ZM_OBJECT_ID> v;
  for (ZM_OBJECT_ID e : Children(disk, ZM_OBJ_EXTENDED))
    for (ZM_OBJECT_ID l : Children(e, ZM_OBJ_PARTITION)) v.push_back(l);
  return v;
}

// Every partition object has exactly one volume, every volume one partition, and the
// partitions the database holds are the table's data entries (logical drives widened
// by their boot-record track are matched by their end).
void ExpectOneObjectPerPartition(const Disk& d, const std::string& when) {
  std::vector<ZM_OBJECT_ID> parts = Children(d.disk(), ZM_OBJ_PARTITION), logicals = Logicals(d.disk());
  parts.insert(parts.end(), logicals.begin(), logicals.end());
  EXPECT_EQ(parts.size(), testutil::Objects(ZM_OBJ_PARTITION).size())
      << when << ": a partition without parent";
  std::set<uint64_t> ends;
  for (ZM_OBJECT_ID p : parts) {
    const uint64_t end = PropU64(p, "OFFSET_LL") + PropU64(p, "LENGTH_LL");
    EXPECT_EQ(Parents(p, ZM_OBJ_VOLUME).size(), 1u) << when;
    EXPECT_TRUE(ends.insert(end).second) << when << ": two objects for the partition ending at " << end;
  }
  for (ZM_OBJECT_ID v : testutil::Objects(ZM_OBJ_VOLUME))
    EXPECT_EQ(Children(v, ZM_OBJ_PARTITION).size(), 1u) << when << ": a volume without its partition";
}

// A random legal layout of 40 cylinders: primaries and gaps in any slots, at most one
// container (0x05, 0x0F, 0x85 or 0xC5) whose logical drives are linked in any order and
// start 1, 63 or 2048 sectors after their boot records; unusual types and boot flags.
std::vector<Table> RandomLayout(std::mt19937& rng) {
  auto pick = [&](auto... v) {
    const uint8_t options[] = {static_cast<uint8_t>(v)...};
    return options[rng() % sizeof...(v)];
  };
  std::vector<Table> tables{{0, {}}};
  std::vector<int> slots{0, 1, 2, 3};
  std::shuffle(slots.begin(), slots.end(), rng);
  size_t used = 0;
  uint32_t cyl = 1 + rng() % 2;  // a gap at the start now and then
  const bool withContainer = rng() % 4 != 0;
  const int primaries = static_cast<int>(rng() % (withContainer ? 3 : 4));
  for (int p = 0; p < primaries && cyl + 4 < 26; ++p) {
    const uint32_t len = 2 + rng() % 3;
    Raw& r = tables[0].slot[slots[used++]];
    r = {pick(0x07, 0x06, 0x0B, 0x83, 0x40, 0x80, 0xC0, 0x86), cyl * K, len * K, rng() % 5 == 0};
    cyl += len + rng() % 2;
  }
  if (withContainer) {
    const uint32_t base = std::max<uint32_t>(cyl, 20) * K, length = (kCylinders - 2) * K - base;
    tables[0].slot[slots[used++]] = {pick(0x05, 0x0F, 0x85, 0xC5), base, length, rng() % 6 == 0};
    // Logical drives laid out in address order, linked in a shuffled order.
    struct Drive {
      uint64_t ebr, data, size;
      uint8_t type;
    };
    std::vector<Drive> drives;
    uint64_t at = base;
    const int n = static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) {
      const uint32_t hidden = i == 0 ? pick(63, 63, 1) : pick(63, 1, 200);
      const uint64_t size = (1 + rng() % 2) * K - hidden;
      if (at + hidden + size > base + length) break;
      drives.push_back({at, at + hidden, size, pick(0x07, 0x06, 0x80, 0x83, 0x86)});
      at = at + hidden + size + (rng() % 2) * K;
    }
    // The first boot record is the container's own sector; the rest follow in any order.
    if (drives.size() > 1) std::shuffle(drives.begin() + 1, drives.end(), rng);
    for (size_t k = 0; k < drives.size(); ++k) {
      const Drive& dr = drives[k];
      Table t{dr.ebr, {}};
      t.slot[0] = {dr.type, static_cast<uint32_t>(dr.data - dr.ebr), static_cast<uint32_t>(dr.size), false};
      if (k + 1 < drives.size()) {
        const Drive& nx = drives[k + 1];
        t.slot[1] = {0x05, static_cast<uint32_t>(nx.ebr - base),
                     static_cast<uint32_t>(nx.data + nx.size - nx.ebr), false};
      }
      tables.push_back(t);
    }
    if (drives.empty()) tables.push_back({base, {}});
  }
  return tables;
}

// Runs one request chosen at random and returns the entries it named (to be excluded).
std::set<Entry> RandomRequest(const Disk& d, std::mt19937& rng, std::string* what) {
  std::vector<ZM_OBJECT_ID> volumes = testutil::Objects(ZM_OBJ_VOLUME);
  auto entryOf = [&](ZM_OBJECT_ID partition) -> std::set<Entry> {
    const uint64_t end = (PropU64(partition, "OFFSET_LL") + PropU64(partition, "LENGTH_LL")) / kSector;
    std::set<Entry> named;
    for (const Entry& e : ReadEntries(d))
      if (std::get<1>(e) + std::get<2>(e) == end) named.insert(e);
    return named;
  };
  switch (rng() % 5) {
    case 0: {  // create in a random free region
      const std::vector<ZM_OBJECT_ID> free = testutil::Objects(ZM_OBJ_FREE_SPACE);
      if (free.empty()) break;
      const ZM_OBJECT_ID f = free[rng() % free.size()];
      const uint32_t type = Parents(f, ZM_OBJ_EXTENDED).empty() ? 1 + rng() % 2 : 3;
      const uint64_t len = PropU64(f, "LENGTH_LL");
      *what = "create type " + std::to_string(type) + " at " + std::to_string(PropU64(f, "OFFSET_LL"));
      Create(d.disk(), type, PropU64(f, "OFFSET_LL"), std::max<uint64_t>(1, len / (1 + rng() % 3)));
      return {};
    }
    case 1: {  // delete a volume's partition, or the extended partition
      const auto ext = Children(d.disk(), ZM_OBJ_EXTENDED);
      const bool whole = !ext.empty() && rng() % 3 == 0;
      if (!whole && volumes.empty()) break;
      const ZM_OBJECT_ID target = whole ? ext[0] : volumes[rng() % volumes.size()];
      const auto parts = whole ? ext : Children(target, ZM_OBJ_PARTITION);
      *what = whole ? "delete extended" : "delete volume";
      std::set<Entry> named = parts.empty() ? std::set<Entry>{} : entryOf(parts[0]);
      Delete(target);
      return named;
    }
    case 2: {  // active: flags change, entries stay
      if (volumes.empty()) break;
      *what = "active";
      LdmMarkPartitionActive(volumes[rng() % volumes.size()]);
      return {};
    }
    case 3:
      *what = "rescan disk";
      LdmUpdateDisk(d.disk(), nullptr);
      return {};
    default:
      *what = "rescan all";
      UpdateAllDisks();
      return {};
  }
  *what = "nothing";
  return {};
}

TEST(ForeignTablesAtRandom, RequestsChangeOnlyWhatTheyName) {
  std::mt19937 rng(20261207);
  for (int layout = 0; layout < 24; ++layout) {
    SCOPED_TRACE("layout " + std::to_string(layout));
    Disk d(kCylinders);
    for (const Table& t : RandomLayout(rng)) WriteTable(d, t);
    std::set<Entry> before = ReadEntries(d);
    FillEnds(d, before);
    d.Boot();
    ExpectOneObjectPerPartition(d, "boot");
    for (int step = 0; step < 5; ++step) {
      auto prints = Fingerprints(d, before);
      std::string what;
      std::set<Entry> named = RandomRequest(d, rng, &what);
      zm::WaitIdle();
      SCOPED_TRACE("step " + std::to_string(step) + ": " + what);
      std::set<Entry> after = ReadEntries(d);
      for (const Entry& e : before) {
        if (named.count(e)) continue;
        ASSERT_TRUE(after.count(e)) << "entry of type " << int(std::get<0>(e)) << " at sector "
                                    << std::get<1>(e) << " is gone";
        if (prints.count(e)) {
          EXPECT_EQ(Fingerprints(d, {e})[e], prints[e])
              << "the bytes of the partition at sector " << std::get<1>(e) << " changed";
        }
      }
      ExpectOneObjectPerPartition(d, what);
      before = after;
    }
  }
}

// Table-driven: one hand-made table each, the request that used to destroy something,
// and what must hold afterwards.
class ForeignTables : public ::testing::Test {
 protected:
  Disk d{kCylinders};
  void Lay(const std::vector<Table>& tables) {
    for (const Table& t : tables) WriteTable(d, t);
    FillEnds(d, ReadEntries(d));
    d.Boot();
  }
};

// A container of type 0x85 holding two drives: both are published, the free
// space inside starts behind them, and a create there leaves them alone.
TEST_F(ForeignTables, ChainsUnderFaultTolerantContainerTypesArePublished) {
  Lay({{0, {{0x07, K, 4 * K}, {0x85, 10 * K, 20 * K}}},
       {10 * K, {{0x07, 63, 2 * K - 63}, {0x05, 2 * K, 2 * K}}},
       {12 * K, {{0x06, 63, 2 * K - 63}}}});
  const auto entries = ReadEntries(d);
  const auto prints = Fingerprints(d, entries);
  auto ext = Children(d.disk(), ZM_OBJ_EXTENDED);
  ASSERT_EQ(ext.size(), 1u);
  EXPECT_EQ(Children(ext[0], ZM_OBJ_PARTITION).size(), 2u);
  auto free = RegionsUnder(ext[0], ZM_OBJ_FREE_SPACE);
  ASSERT_EQ(free.size(), 1u);
  EXPECT_EQ(free[0].offset, 14 * C);
  EXPECT_EQ(Create(d.disk(), REGION_LOGICAL, 14 * C, 2 * C).status, 0u);
  EXPECT_EQ(Delete(ext[0]), LDM_E_EXTENDED_NOT_EMPTY);
  for (const Entry& x : entries) EXPECT_TRUE(ReadEntries(d).count(x));
  EXPECT_EQ(Fingerprints(d, entries), prints);
}

TEST_F(ForeignTables, UnusualTypesAndFlagsKeepTheirEntries) {
  // 0x80 and 0x40 entries, two flagged primaries, a flagged extended entry and drive.
  Lay({{0,
        {{0x80, K, 3 * K, true},
         {0x07, 5 * K, 3 * K, true},
         {0x40, 9 * K, 2 * K},
         {0x05, 12 * K, 10 * K, true}}},
       {12 * K, {{0x06, 63, 3 * K - 63, true}}}});
  auto entries = ReadEntries(d);
  EXPECT_EQ(RegionsUnder(d.disk(), ZM_OBJ_PARTITION).size(), 3u) << "0x80 and 0x40 are partitions";
  EXPECT_EQ(PropU64(d.disk(), "FREE_SPACE"), PropU64(d.disk(), "LENGTH_LL") - 18 * C);
  for (const Region& f : RegionsUnder(d.disk(), ZM_OBJ_FREE_SPACE))
    for (const Entry& x : entries)
      EXPECT_FALSE(f.offset < (std::get<1>(x) + std::get<2>(x)) * kSector &&
                   std::get<1>(x) * kSector < f.offset + f.length)
          << "free space at " << f.offset << " over the entry of type " << int(std::get<0>(x));
  ZM_OBJECT_ID p2 = VolumeAt(d.disk(), 5 * C);
  ASSERT_NE(p2, 0u);
  EXPECT_EQ(LdmMarkPartitionActive(p2), 0u);
  std::vector<uint64_t> active;
  auto after = ReadEntries(d, &active);
  EXPECT_EQ(active, std::vector<uint64_t>{5 * K}) << "exactly one entry stays flagged";
  EXPECT_EQ(after, entries);
  for (int i = 0; i < 3; ++i) UpdateAllDisks();
  ExpectOneObjectPerPartition(d, "after active and rescans");
  EXPECT_EQ(Logicals(d.disk()).size(), 1u);
}

TEST_F(ForeignTables, TwoExtendedEntriesAreReadOnlyAndStableThroughRescans) {
  // The second extended entry is written by another system after the boot.
  Lay({{0, {{0x05, 2 * K, 10 * K}, {0x07, 13 * K, 2 * K}}},
       {2 * K, {{0x06, 63, 3 * K - 63}}},
       {16 * K, {{0x06, 63, 3 * K - 63}}}});
  ASSERT_FALSE(testutil::Objects(ZM_OBJ_FREE_SPACE).empty());
  WriteTable(d, {0, {{0x05, 2 * K, 10 * K}, {0x07, 13 * K, 2 * K}, {0x0F, 16 * K, 10 * K}}});
  auto entries = ReadEntries(d);
  for (int i = 0; i < 3; ++i) UpdateAllDisks();
  ExpectOneObjectPerPartition(d, "rescans");
  EXPECT_EQ(Logicals(d.disk()).size(), 1u);
  EXPECT_TRUE(testutil::HasProp(d.disk(), LDM_PROP_READ_ONLY));
  EXPECT_TRUE(testutil::Objects(ZM_OBJ_FREE_SPACE).empty());
  // A refused delete keeps the volume's drive letter.
  ZM_OBJECT_ID v = VolumeAt(d.disk(), 13 * C);
  ASSERT_NE(v, 0u);
  RefreshDLandFS(v);
  zm::WaitIdle();
  const bool lettered = testutil::HasProp(v, "DRIVE_LETTER");
  EXPECT_EQ(Delete(v), LDM_E_TABLE_READ_ONLY);
  EXPECT_EQ(testutil::HasProp(v, "DRIVE_LETTER"), lettered);
  EXPECT_EQ(ReadEntries(d), entries);
}

// A boot record in the gap a drive leaves before its data is in use until the new table
// is written: a drive made in that gap clears the sector only after the write, so a
// failed write loses nothing.
TEST_F(ForeignTables, ABootRecordInAFreeGapIsClearedOnlyAfterTheNewTable) {
  Lay({{0, {{0x07, K, K}, {0x05, 2 * K, 10 * K}}},
       {2 * K, {{0x07, 63, 2 * K - 63}, {0x05, 2 * K + 63, 4 * K - 63}}},
       {4 * K + 63, {{0x07, 2 * K - 63, 2 * K}}}});
  const auto entries = ReadEntries(d);
  const auto prints = Fingerprints(d, entries);
  ntp::InjectFault("IOCTL_DISK_SET_DRIVE_LAYOUT", 1, static_cast<uint32_t>(STATUS_IO_DEVICE_ERROR));
  EXPECT_EQ(Create(d.disk(), REGION_LOGICAL, 4 * C, C).status, LDM_E_WRITE_FAILED);
  ntp::ClearFaults();
  EXPECT_EQ(ReadEntries(d), entries);
  ASSERT_EQ(Create(d.disk(), REGION_LOGICAL, 4 * C, C).status, 0u);
  for (const Entry& x : entries) EXPECT_TRUE(ReadEntries(d).count(x));
  EXPECT_EQ(Fingerprints(d, entries), prints);
  EXPECT_EQ(d.Read((4 * K + 63) * kSector, kSector), std::vector<uint8_t>(kSector, 0));
}

// A logical drive one sector behind its boot record at the container's start: a rebuild
// would put its boot record outside the container, so requests are refused up front
// with the entry named, and nothing is written.
TEST_F(ForeignTables, TablesARebuildWouldMoveAreRefusedNamingTheEntry) {
  Lay({{0, {{0x07, K, 3 * K, true}, {0x06, 5 * K, 3 * K}, {0x05, 10 * K, 10 * K}}},
       {10 * K, {{0x07, 1, 2 * K - 1}}}});
  ZM_OBJECT_ID p2 = VolumeAt(d.disk(), 5 * C);
  ASSERT_NE(p2, 0u);
  ntp::ResetCounters();
  EXPECT_EQ(LdmMarkPartitionActive(p2), LDM_E_REGIONS_FAILED);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
  const std::string reason = testutil::Narrow(testutil::PropString(d.disk(), LDM_PROP_READ_ONLY));
  EXPECT_NE(reason.find("entry 4"), std::string::npos) << reason;
}

TEST_F(ForeignTables, OverlappingLogicalDrivesAreNamed) {
  Lay({{0, {{0x05, 20 * K, 10 * K}}},
       {20 * K, {{0x06, 63, 3 * K - 63}, {0x05, 2 * K, 4 * K}}},
       {22 * K, {{0x06, 63, 3 * K - 63}}}});
  const std::string reason = testutil::Narrow(testutil::PropString(d.disk(), LDM_PROP_READ_ONLY));
  EXPECT_NE(reason.find(" overlaps entry"), std::string::npos) << reason;
}

TEST_F(ForeignTables, FreeSpaceOfEmptyDisksAndRequestsOnWrongObjects) {
  Lay({});
  const uint64_t length = PropU64(d.disk(), "LENGTH_LL");
  EXPECT_EQ(PropU64(d.disk(), "FREE_SPACE"), length);
  ASSERT_EQ(Create(d.disk(), REGION_PRIMARY, 0, 4 * C).status, 0u);
  ZM_OBJECT_ID v = VolumeAt(d.disk(), T);
  ASSERT_NE(v, 0u);
  EXPECT_EQ(LdmUpdateDisk(v, nullptr), E_INVALIDARG_ZM) << "10033 on a volume";
  EXPECT_EQ(Delete(v), 0u);
  EXPECT_EQ(PropU64(d.disk(), "FREE_SPACE"), length) << "after the last delete";
}

TEST_F(ForeignTables, DriveLettersNeedADistinctSignature) {
  Lay({{0, {{0x07, K, 3 * K}}}});
  ZM_OBJECT_ID v = VolumeAt(d.disk(), K * kSector);
  ASSERT_NE(v, 0u);
  SetU32(d.disk(), "SIGNATURE", 0);
  testutil::Props in, out;
  testutil::AddString(in, "DRIVE_LETTER", u"R:");
  ZM_OBJECT_ID result = 0;
  EXPECT_EQ(
      FtDiskControl(v, OPCLASS_VOLUME, OP_ASSIGN_DRIVE_LETTER, in, out, 0, 0, nullptr, nullptr, &result),
      LDM_E_SIGNATURE_NOT_UNIQUE);
  EXPECT_TRUE(ntp::DriveLetterTarget('R').empty()) << "refused before the letter was set";
}

}  // namespace
