// The disk-registry records and layer: record offsets against hand-built blobs, the
// validator on malformed blobs, DiskRegistryGet, drive-letter and CD-ROM letter records.
#include "diskreg.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "blob.h"
#include "handles.h"
#include "machine.h"
#include "registry_internal.h"
#include "registry_store.h"
#include "testutil.h"

namespace {

const char16_t kDisk[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";
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
  void Store(const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, bytes));
  }
  std::vector<uint8_t> Stored() {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_TRUE(ntp::reg::GetValue(kDisk, u"Information", &type, &data));
    return data;
  }

  testutil::TempDir tmp;
  size_t handles = 0;
};

// One disk with one plain partition: 108 bytes.
Blob OneDisk() {
  Blob b;
  b.Build({{0x1111, {{MB, 100 * MB}}}}, {});
  return b;
}

// A two-member mirror on two disks of one partition each: 216 bytes.
Blob MirrorBlob() {
  Blob b;
  BlobPartition p0{MB, 100 * MB, Mirror, 0, 0}, p1{MB, 100 * MB, Mirror, 0, 1};
  b.Build({{0xAAAA, {p0}}, {0xBBBB, {p1}}}, {{Mirror, {{0xAAAA, 56}, {0xBBBB, 116}}}});
  return b;
}

TEST(DiskRegRecords, StructuresSitWhereTheLayoutPutsThem) {
  Blob one = OneDisk();
  ASSERT_EQ(one.bytes.size(), 108u);
  auto* h = reinterpret_cast<_DISK_CONFIG_HEADER*>(one.bytes.data());
  EXPECT_EQ(h->DiskInformationSize, 64u);
  EXPECT_EQ(h->FtInformationOffset, 108u);
  EXPECT_EQ(DiskRegistryUsedLength(h), 108u);
  auto* reg = reinterpret_cast<_DISK_REGISTRY*>(one.bytes.data() + 44);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(&reg->Disks[0].Partitions[0]) - one.bytes.data(), 56);
  EXPECT_EQ(reg->Disks[0].Partitions[0].Length, 100 * MB);
  EXPECT_TRUE(DiskRegistryValidate(one.bytes.data(), one.bytes.size(), nullptr));

  Blob m = MirrorBlob();
  ASSERT_EQ(m.bytes.size(), 216u);
  uint8_t* base = m.bytes.data();
  h = reinterpret_cast<_DISK_CONFIG_HEADER*>(base);
  EXPECT_EQ(h->FtInformationOffset, 168u);
  EXPECT_EQ(DiskRegistryUsedLength(h), 216u);
  auto* d0 = reinterpret_cast<_DISK_DESCRIPTION*>(base + 48);
  auto* d1 = reinterpret_cast<_DISK_DESCRIPTION*>(base + 48 + DiskDescriptionSize(d0->NumberOfPartitions));
  EXPECT_EQ(reinterpret_cast<uint8_t*>(&d1->Partitions[0]) - base, 116);
  auto* ft = reinterpret_cast<_FT_REGISTRY*>(base + h->FtInformationOffset);
  _FT_DESCRIPTION& set = ft->FtDescription[0];
  EXPECT_EQ(reinterpret_cast<uint8_t*>(&set.FtMemberDescription[1]) - base, 200);
  EXPECT_EQ(set.FtMemberDescription[1].OffsetToPartitionInfo, 116u);
  std::string why;
  EXPECT_TRUE(DiskRegistryValidate(base, m.bytes.size(), &why)) << why;
}

TEST(DiskRegRecords, ValidatorRejectsEveryLieAboutTheBuffer) {
  struct Case {
    const char* what;
    void (*mutate)(Blob&);
  } cases[] = {
      {"disk count larger than the data", [](Blob& b) { b.Put16(44, 3); }},
      {"member count larger than the data", [](Blob& b) { b.Put16(172, 9); }},
      {"member points past the end", [](Blob& b) { b.Put32(200 + 8, 216); }},
      {"FT part overlaps the disk part", [](Blob& b) { b.Put32(20, 160); }},
      {"disk part wraps around 32 bits", [](Blob& b) { b.Put32(12, 0xFFFFFFFCu), b.Put32(16, 8); }},
      {"FT part ends past the blob", [](Blob& b) { b.Put32(24, 49); }},
      {"unaligned disk part",
       [](Blob& b) { b.Put32(12, 46), b.Put32(16, 60), b.Put32(20, 0), b.Put32(24, 0); }},
  };
  for (const auto& c : cases) {
    Blob b = MirrorBlob();
    c.mutate(b);
    std::string why;
    EXPECT_FALSE(DiskRegistryValidate(b.bytes.data(), b.bytes.size(), &why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
  // What is not a lie: bytes after the used part, and a blob with no parts at all.
  Blob b = MirrorBlob();
  b.bytes.resize(300, 0xEE);
  EXPECT_TRUE(DiskRegistryValidate(b.bytes.data(), b.bytes.size(), nullptr));
  Blob empty;
  empty.Put32(0, 3);
  empty.Put32(12, 44);
  empty.Put32(20, 44);
  empty.bytes.resize(44);
  EXPECT_TRUE(DiskRegistryValidate(empty.bytes.data(), empty.bytes.size(), nullptr));
}

TEST_F(DiskRegTest, GetHandsOutTheDiskPartOrSixtyFourZeros) {
  ULONG size = 0;
  std::vector<uint8_t> area(64, 0xAB);
  size = 64;  // no value at all
  EXPECT_EQ(DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(area.data()), &size), STATUS_SUCCESS);
  EXPECT_EQ(area, std::vector<uint8_t>(64, 0));

  Blob m = MirrorBlob();
  m.bytes.resize(250, 0xEE);
  Store(m.bytes);
  size = 0;
  ASSERT_EQ(DiskRegistryGet(nullptr, &size), STATUS_SUCCESS);
  ASSERT_EQ(size, 124u);
  area.assign(size + 16, 0xAB);
  ASSERT_EQ(DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(area.data()), &size), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(area.begin(), area.begin() + 124),
            std::vector<uint8_t>(m.bytes.begin() + 44, m.bytes.begin() + 168));
  EXPECT_EQ(area[124], 0xAB);

  // An area smaller than the disk part is not overrun.
  area.assign(140, 0xAB);
  size = 100;
  EXPECT_EQ(DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(area.data()), &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 124u);
  EXPECT_EQ(area, std::vector<uint8_t>(140, 0xAB));
}

TEST_F(DiskRegTest, GetRefusesMalformedBlobsAndTouchesNothing) {
  Blob truncated = MirrorBlob();
  truncated.bytes.resize(200);
  Blob lying = MirrorBlob();
  lying.Put16(44, 40);
  Blob tiny;
  tiny.bytes = {3, 0, 0, 0};
  for (Blob* b : {&truncated, &lying, &tiny}) {
    Store(b->bytes);
    std::vector<uint8_t> area(256, 0xAB);
    ULONG size = 256;
    EXPECT_EQ(DiskRegistryGet(reinterpret_cast<_DISK_REGISTRY*>(area.data()), &size),
              STATUS_REGISTRY_CORRUPT);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(area, std::vector<uint8_t>(256, 0xAB));
    EXPECT_EQ(Stored(), b->bytes);
  }
}

TEST_F(DiskRegTest, QueryRetriesForLargeBlobsAndReportsTheUsedLength) {
  BlobDisk disk{0x4242, {}};
  for (int i = 0; i < 100; ++i) disk.partitions.push_back({(i + 1) * MB, MB});
  Blob big;
  big.Build({disk}, {});
  ASSERT_GT(big.bytes.size(), 4096u);
  big.bytes.resize(big.bytes.size() + 10, 0xEE);
  Store(big.bytes);
  char *freeTo = nullptr, *value = nullptr;
  ULONG used = 0;
  HANDLE key = nullptr;
  ASSERT_EQ(FtRegistryQuery("Information", &freeTo, &value, &used, &key), STATUS_SUCCESS);
  EXPECT_EQ(used, 44u + 4 + 8 + 5200);
  EXPECT_EQ(std::vector<uint8_t>(value, value + used),
            std::vector<uint8_t>(big.bytes.begin(), big.bytes.begin() + used));
  EXPECT_NE(key, nullptr);
  NtClose(key);
  std::free(freeTo);

  ASSERT_TRUE(ntp::reg::DeleteValue(kDisk, u"Information"));
  EXPECT_EQ(FtRegistryQuery("Information", &freeTo, &value, &used, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
  std::free(freeTo);
}

const _DISK_PARTITION& Record(const std::vector<uint8_t>& blob, size_t at) {
  return *reinterpret_cast<const _DISK_PARTITION*>(blob.data() + at);
}

TEST_F(DiskRegTest, PlainPartitionLetterIsRecordedAndClearedAndWrittenAtItsUsedLength) {
  Blob one = OneDisk();
  one.bytes.resize(130, 0xEE);  // bytes after the configuration are dropped on write
  Store(one.bytes);
  ASSERT_TRUE(DiskRegistryAssignDriveLetter(0x1111, MB, 100 * MB, 'E'));
  auto after = Stored();
  ASSERT_EQ(after.size(), 108u);
  std::vector<uint8_t> expect(one.bytes.begin(), one.bytes.begin() + 108);
  expect[56 + 40] = 'E';
  expect[56 + 41] = 1;
  EXPECT_EQ(after, expect);  // nothing else changed

  ASSERT_TRUE(DiskRegistryAssignDriveLetter(0x1111, MB, 100 * MB, ' '));
  EXPECT_EQ(Record(Stored(), 56).AssignDriveLetter, 0);

  // No record matches: another signature, offset or length.
  const auto before = Stored();
  EXPECT_FALSE(DiskRegistryAssignDriveLetter(0x2222, MB, 100 * MB, 'F'));
  EXPECT_FALSE(DiskRegistryAssignDriveLetter(0x1111, MB, 99 * MB, 'F'));
  EXPECT_EQ(Stored(), before);
}

TEST_F(DiskRegTest, EveryMemberOfTheSetGetsTheLetterAndOnlyMemberZeroTheAssignFlag) {
  // The set lists the member with FtMember 1 first: the flag follows FtMember, not order.
  Blob b;
  BlobPartition p0{MB, 100 * MB, Mirror, 0, 0}, p1{MB, 100 * MB, Mirror, 0, 1};
  b.Build({{0xAAAA, {p0}}, {0xBBBB, {p1}}}, {{Mirror, {{0xBBBB, 116}, {0xAAAA, 56}}}});
  Store(b.bytes);
  ASSERT_TRUE(DiskRegistryAssignDriveLetter(0xBBBB, MB, 100 * MB, 'M'));
  auto after = Stored();
  ASSERT_EQ(after.size(), 216u);
  EXPECT_EQ(Record(after, 56).DriveLetter, 'M');
  EXPECT_EQ(Record(after, 56).AssignDriveLetter, 1);
  EXPECT_EQ(Record(after, 116).DriveLetter, 'M');
  EXPECT_EQ(Record(after, 116).AssignDriveLetter, 0);
}

TEST_F(DiskRegTest, SetsOfAnotherGroupAreSkipped) {
  // Two mirrors on two disks; the first set's records are group 0, the second's group 1.
  Blob b;
  BlobDisk d0{0xA, {{MB, 10 * MB, Mirror, 0, 0}, {20 * MB, 10 * MB, Mirror, 1, 0}}};
  BlobDisk d1{0xB, {{MB, 10 * MB, Mirror, 0, 1}, {20 * MB, 10 * MB, Mirror, 1, 1}}};
  auto r = b.Build({d0, d1}, {});
  b.Build({d0, d1}, {{Mirror, {{0xA, r[0]}, {0xB, r[2]}}}, {Mirror, {{0xA, r[1]}, {0xB, r[3]}}}});
  Store(b.bytes);
  ASSERT_TRUE(DiskRegistryAssignDriveLetter(0xB, 20 * MB, 10 * MB, 'G'));
  auto after = Stored();
  EXPECT_EQ(Record(after, r[1]).DriveLetter, 'G');
  EXPECT_EQ(Record(after, r[3]).DriveLetter, 'G');
  EXPECT_EQ(Record(after, r[0]).DriveLetter, 0);
  EXPECT_EQ(Record(after, r[2]).DriveLetter, 0);
}

TEST_F(DiskRegTest, NothingIsWrittenWhenTheLetterCannotBeRecorded) {
  // An FT member in a blob without an FT part.
  Blob noFt;
  noFt.Build({{0xAAAA, {{MB, 100 * MB, Mirror, 0, 0}}}}, {});
  // A member pointing past the end of the value.
  Blob broken = MirrorBlob();
  broken.Put32(200 + 8, 400);
  for (Blob* b : {&noFt, &broken}) {
    Store(b->bytes);
    EXPECT_FALSE(DiskRegistryAssignDriveLetter(0xAAAA, MB, 100 * MB, 'E'));
    EXPECT_EQ(Stored(), b->bytes);
  }
  // A failed write is reported, and the old value stays.
  Blob one = OneDisk();
  Store(one.bytes);
  ntp::InjectFault("NtSetValueKey", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_FALSE(DiskRegistryAssignDriveLetter(0x1111, MB, 100 * MB, 'E'));
  EXPECT_EQ(Stored(), one.bytes);
}

TEST_F(DiskRegTest, TheFirstOfTwoDisksWithOneSignatureIsPatchedAndTheBackupNameRemoved) {
  Blob b;
  b.Build({{0x5555, {{MB, 10 * MB}}}, {0x5555, {{MB, 10 * MB}}}}, {});
  Store(b.bytes);
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, kDisk, REG_BINARY, {1}));
  ASSERT_TRUE(DiskRegistryAssignDriveLetter(0x5555, MB, 10 * MB, 'K'));
  auto after = Stored();
  EXPECT_EQ(Record(after, 56).DriveLetter, 'K');
  EXPECT_EQ(Record(after, 116).DriveLetter, 0);
  uint32_t type;
  std::vector<uint8_t> data;
  EXPECT_FALSE(ntp::reg::GetValue(kDisk, kDisk, &type, &data));
}

TEST_F(DiskRegTest, CdRomLetterIsOneValueNamedAfterTheDeviceInAKeyWithTheClass) {
  ASSERT_EQ(DiskRegistryAssignCdRomLetter(u"\\Device\\CdRom0", u'F'), STATUS_SUCCESS);
  ASSERT_EQ(DiskRegistryAssignCdRomLetter(u"\\Device\\CdRom0", u'G'), STATUS_SUCCESS);
  auto values = ntp::reg::ListValues(kDisk);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, u"\\Device\\CdRom0");
  EXPECT_EQ(values[0].type, REG_SZ);
  EXPECT_EQ(values[0].data, std::vector<uint8_t>({'G', 0, ':', 0, 0, 0}));

  ntp::InjectFault("NtSetValueKey", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_EQ(DiskRegistryAssignCdRomLetter(u"\\Device\\CdRom0", u'H'), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(DiskRegistryAssignCdRomLetter(nullptr, u'H'), STATUS_INVALID_PARAMETER);
}

}  // namespace
