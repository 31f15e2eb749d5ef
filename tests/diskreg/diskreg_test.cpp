// The disk-registry records and layer: record offsets against hand-built blobs, the
// validator on malformed blobs, DiskRegistryGet, drive-letter and CD-ROM letter records.
#include "diskreg.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "../ftinfo/blob_builder.h"
#include "handles.h"
#include "machine.h"
#include "registry_internal.h"
#include "registry_store.h"
#include "testutil.h"

namespace {

using namespace blobtest;

constexpr int64_t MB = 1 << 20;

class DiskRegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(ntp::reg::Open(tmp.path, &err)) << err;
    handles = ntp::OpenHandleCount();
  }
  void TearDown() override {
    ntp::ClearFaults();
    EXPECT_EQ(ntp::OpenHandleCount(), handles) << "a key handle was left open";
    ntp::reg::Close();
  }
  testutil::TempDir tmp;
  size_t handles = 0;
};

// One disk with one plain partition: 108 bytes, its record at 56.
std::vector<uint8_t> OneDisk() { return Build({{0x1111, {{.start = MB, .length = 100 * MB}}}}, {}, false); }

// A two-member mirror on two disks of one partition each: 216 bytes, records at 56 and
// 116, the FT part at 168, the members at 184 and 200.
std::vector<uint8_t> MirrorBlob() {
  return Build({{0xAAAA, {{.start = MB, .length = 100 * MB}}}, {0xBBBB, {{.start = MB, .length = 100 * MB}}}},
               {{.type = Mirror, .members = {{0, 0}, {1, 0}}}});
}

// What the validator must not refuse (its refusals are checked with the model's tests):
// bytes after the used part, a disk without partitions last, a blob with no parts.
TEST(DiskRegRecords, ValidatorAcceptsTrailingBytesAndEmptyParts) {
  std::vector<uint8_t> b = MirrorBlob(), noPartitions = Build({{0x1, {}}}, {}, false), empty(44, 0);
  b.resize(300, 0xEE);
  Put32(empty, 0, 3);
  Put32(empty, 12, 44);
  Put32(empty, 20, 44);
  for (const auto* v : {&b, &noPartitions, &empty})
    EXPECT_TRUE(DiskRegistryValidate(v->data(), v->size(), nullptr));
}

TEST_F(DiskRegTest, GetHandsOutTheDiskPartOrSixtyFourZeros) {
  std::vector<uint8_t> area(64, 0xAB);
  ULONG size = 64;  // no value at all
  EXPECT_EQ(DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(area.data()), &size), STATUS_SUCCESS);
  EXPECT_EQ(area, std::vector<uint8_t>(64, 0));

  std::vector<uint8_t> m = MirrorBlob();
  m.resize(250, 0xEE);
  Store(m);
  size = 0;
  ASSERT_EQ(DiskRegistryGet(nullptr, &size), STATUS_SUCCESS);
  ASSERT_EQ(size, 124u);
  area.assign(size + 16, 0xAB);
  ASSERT_EQ(DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(area.data()), &size), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(area.begin(), area.begin() + 124),
            std::vector<uint8_t>(m.begin() + 44, m.begin() + 168));
  EXPECT_EQ(area[124], 0xAB);

  // An area smaller than the disk part is not overrun.
  area.assign(140, 0xAB);
  size = 100;
  EXPECT_EQ(DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(area.data()), &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 124u);
  EXPECT_EQ(area, std::vector<uint8_t>(140, 0xAB));
}

TEST_F(DiskRegTest, GetRefusesMalformedBlobsAndTouchesNothing) {
  std::vector<uint8_t> truncated = MirrorBlob(), lying = MirrorBlob(), tiny = {3, 0, 0, 0};
  truncated.resize(200);
  Put16(lying, 44, 40);
  for (const auto* b : {&truncated, &lying, &tiny}) {
    Store(*b);
    std::vector<uint8_t> area(256, 0xAB);
    ULONG size = 256;
    EXPECT_EQ(DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(area.data()), &size),
              STATUS_REGISTRY_CORRUPT);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(area, std::vector<uint8_t>(256, 0xAB));
    EXPECT_EQ(Stored(), *b);
  }
}

TEST_F(DiskRegTest, QueryRetriesForLargeBlobsAndReportsTheUsedLength) {
  Disk disk{0x4242, {}};
  for (int i = 0; i < 100; ++i) disk.parts.push_back({.start = (i + 1) * MB, .length = MB});
  std::vector<uint8_t> big = Build({disk}, {}, false);
  ASSERT_GT(big.size(), 4096u);
  big.resize(big.size() + 10, 0xEE);
  Store(big);
  char *freeTo = nullptr, *value = nullptr;
  ULONG used = 0;
  HANDLE key = nullptr;
  ASSERT_EQ(FtRegistryQuery("Information", &freeTo, &value, &used, &key), STATUS_SUCCESS);
  EXPECT_EQ(used, 44u + 4 + 8 + 5200);
  EXPECT_EQ(std::vector<uint8_t>(value, value + used), std::vector<uint8_t>(big.begin(), big.begin() + used));
  EXPECT_NE(key, nullptr);
  NtClose(key);
  std::free(freeTo);

  for (bool erase : {true, false}) {  // no value, and an empty one: neither is corrupt
    erase ? Erase() : Store({});
    EXPECT_EQ(FtRegistryQuery("Information", &freeTo, &value, &used, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    std::free(freeTo);
  }
}

const _DISK_PARTITION& Record(const std::vector<uint8_t>& blob, size_t at) {
  return *reinterpret_cast<const _DISK_PARTITION*>(blob.data() + at);
}

TEST_F(DiskRegTest, PlainPartitionLetterIsRecordedAndClearedAndWrittenAtItsUsedLength) {
  std::vector<uint8_t> one = OneDisk();
  one.resize(130, 0xEE);  // bytes after the configuration are dropped on write
  Store(one);
  ASSERT_TRUE(DiskRegistryAssignDriveLetter(0x1111, MB, 100 * MB, 'E'));
  std::vector<uint8_t> expect(one.begin(), one.begin() + 108);
  expect[56 + 40] = 'E';
  expect[56 + 41] = 1;
  EXPECT_EQ(Stored(), expect);  // nothing else changed

  ASSERT_TRUE(DiskRegistryAssignDriveLetter(0x1111, MB, 100 * MB, ' '));
  EXPECT_EQ(Record(Stored(), 56).AssignDriveLetter, 0);

  // No record matches: another signature, offset or length.
  const auto before = Stored();
  EXPECT_FALSE(DiskRegistryAssignDriveLetter(0x2222, MB, 100 * MB, 'F'));
  EXPECT_FALSE(DiskRegistryAssignDriveLetter(0x1111, MB, 99 * MB, 'F'));
  EXPECT_EQ(Stored(), before);
}

// A letter for an FT member goes to every member of its set (only FT member 0, not the
// first in set order, asks for it), never to a set of another group; of two disks with
// one signature the first is patched.
TEST_F(DiskRegTest, LettersOfSetMembersAndOfDisksSharingASignature) {
  const Part a{.start = MB, .length = 10 * MB}, b{.start = 20 * MB, .length = 10 * MB};
  const Part a0{.start = MB, .length = 10 * MB, .ftType = Mirror, .group = 0, .member = 0},
      a1{.start = MB, .length = 10 * MB, .ftType = Mirror, .group = 0, .member = 1};
  struct Case {
    uint32_t signature;
    int64_t offset;
    const char* records;  // each record's letter ('.' none) and flag, in blob order
    std::vector<Disk> disks;
    std::vector<Set> sets;
  } cases[] = {
      // The set lists FT member 1 first: the flag follows the member number.
      {0xB,
       MB,
       "M1M0",
       {{0xA, {a0}}, {0xB, {a1}}},
       {{.type = Mirror, .members = {{1, 0}, {0, 0}}, .markRecords = false}}},
      // The set of another group is skipped.
      {0xB,
       20 * MB,
       ".0M1.0M0",
       {{0xA, {a, b}}, {0xB, {a, b}}},
       {{.type = Mirror, .group = 0, .members = {{0, 0}, {1, 0}}},
        {.type = Mirror, .group = 1, .members = {{0, 1}, {1, 1}}}}},
      // Of two disks with one signature the first is patched.
      {0x5, MB, "M1.0", {{0x5, {a}}, {0x5, {a}}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.records);
    Store(Build(c.disks, c.sets, false));
    ASSERT_TRUE(ntp::reg::SetValue(kDiskKey, kDiskKey, REG_BINARY, {1}));
    ASSERT_TRUE(DiskRegistryAssignDriveLetter(c.signature, c.offset, 10 * MB, 'M'));
    const auto after = Stored();
    const char* want = c.records;
    for (uint32_t d = 0; d < c.disks.size(); ++d)
      for (uint32_t p = 0; p < c.disks[d].parts.size(); ++p, want += 2) {
        EXPECT_EQ(Record(after, RecordOffset(c.disks, d, p)).DriveLetter, want[0] == '.' ? 0 : want[0]);
        EXPECT_EQ(Record(after, RecordOffset(c.disks, d, p)).AssignDriveLetter, want[1] - '0');
      }
    // The backup value the old layer kept under the key's own name is removed.
    uint32_t type;
    std::vector<uint8_t> data;
    EXPECT_FALSE(ntp::reg::GetValue(kDiskKey, kDiskKey, &type, &data));
  }
}

TEST_F(DiskRegTest, NothingIsWrittenWhenTheLetterCannotBeRecorded) {
  // An FT member in a blob without an FT part.
  std::vector<uint8_t> noFt =
      Build({{0xAAAA, {{.start = MB, .length = 100 * MB, .ftType = Mirror, .group = 0}}}}, {}, false);
  // A member pointing past the end of the value.
  std::vector<uint8_t> broken = MirrorBlob();
  Put32(broken, 200 + 8, 400);
  for (const auto* b : {&noFt, &broken}) {
    Store(*b);
    EXPECT_FALSE(DiskRegistryAssignDriveLetter(0xAAAA, MB, 100 * MB, 'E'));
    EXPECT_EQ(Stored(), *b);
  }
  // A failed write is reported, and the old value stays.
  Store(OneDisk());
  ntp::InjectFault("NtSetValueKey", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_FALSE(DiskRegistryAssignDriveLetter(0x1111, MB, 100 * MB, 'E'));
  EXPECT_EQ(Stored(), OneDisk());
}

TEST_F(DiskRegTest, CdRomLetterIsOneValueNamedAfterTheDeviceInAKeyWithTheClass) {
  ASSERT_EQ(DiskRegistryAssignCdRomLetter(u"\\Device\\CdRom0", u'F'), STATUS_SUCCESS);
  ASSERT_EQ(DiskRegistryAssignCdRomLetter(u"\\Device\\CdRom0", u'G'), STATUS_SUCCESS);
  auto values = ntp::reg::ListValues(kDiskKey);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, u"\\Device\\CdRom0");
  EXPECT_EQ(values[0].type, REG_SZ);
  EXPECT_EQ(values[0].data, std::vector<uint8_t>({'G', 0, ':', 0, 0, 0}));

  ntp::InjectFault("NtSetValueKey", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_EQ(DiskRegistryAssignCdRomLetter(u"\\Device\\CdRom0", u'H'), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(DiskRegistryAssignCdRomLetter(nullptr, u'H'), STATUS_INVALID_PARAMETER);
}

}  // namespace

// An import that drops a set, changes its member count or renumbers its group loses it;
// one that keeps type, group and members does not. Disks it names that are not here are
// listed in its order.
TEST(ConfigBlob, AnImportLosesTheSetsItDoesNotHoldAndTheDisksNotHere) {
  using namespace ftformat;
  auto view = [](const std::vector<BlobDisk>& disks, const std::vector<BlobSet>& sets) {
    ConfigView v;
    const auto blob = BuildBlob(disks, sets);
    std::string why;
    EXPECT_TRUE(ReadConfigView(blob.data(), blob.size(), &v, &why)) << why;
    return v;
  };
  auto part = [](int64_t at, uint16_t group, uint16_t member) {
    return BlobPartition{.ftType = Mirror, .offset = at * MB, .length = MB, .group = group, .member = member};
  };
  const std::vector<BlobDisk> disks = {{0x11, {part(1, 0, 0), part(3, 1, 0)}},
                                       {0x22, {part(1, 0, 1), part(3, 1, 1)}}};
  const ConfigView current =
      view(disks, {{Mirror, FtStateOk, {{0, 0}, {1, 0}}}, {Mirror, FtStateOk, {{0, 1}, {1, 1}}}});
  // mirror0 kept as it is; mirror1 now group 2.
  std::vector<BlobDisk> moved = disks;
  moved[0].partitions[1].group = moved[1].partitions[1].group = 2;
  moved.push_back({0x33, {}});
  const ConfigView incoming =
      view(moved, {{Mirror, FtStateOk, {{0, 0}, {1, 0}}}, {Mirror, FtStateOk, {{0, 1}, {1, 1}}}});
  const ImportLosses lost = ConfigImportLosses(current, incoming, {0x22, 0x44});
  ASSERT_EQ(lost.sets.size(), 1u);
  EXPECT_EQ(FtSetName(lost.sets[0]), "mirror1");
  EXPECT_EQ(lost.absentDisks, (std::vector<uint32_t>{0x11, 0x33}));
  EXPECT_TRUE(ConfigImportLosses(current, current, {0x11, 0x22}).sets.empty());
  EXPECT_EQ(ConfigImportLosses(current, {}, {}).sets.size(), 2u)
      << "removing the configuration loses every set";
}
