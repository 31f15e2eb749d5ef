// Device access against a booted temporary machine: opens and their retries, layout
// and geometry as sfdisk sees them, writes, volume locks and drive-letter lookup.
#include "ntlow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "../platform/platform_test_util.h"
#include "machine.h"
#include "testutil.h"

namespace {

using namespace testutil;

const PCWSTR kDisk0 = u"\\Device\\Harddisk0";

// Records the sleeps of the retry loops instead of waiting.
struct SleepRecorder {
  std::mutex m;
  std::vector<DWORD> sleeps;
  SleepRecorder() {
    ntp::SetSleepHook([this](DWORD ms) {
      std::lock_guard<std::mutex> g(m);
      sleeps.push_back(ms);
    });
  }
  ~SleepRecorder() { ntp::SetSleepHook(nullptr); }
};

class Ntlow : public ::testing::Test {
 protected:
  Ntlow() : machine_({64 * MiB}) {}
  void SetUp() override {
    // Two primaries (the first active), an extended partition with two logical drives.
    ASSERT_TRUE(testutil::Sfdisk(machine_.image(0), "label: dos\n,16M,7,*\n,8M,6\n,,5\n,8M,7\n,8M,b\n"));
    machine_.Boot();
  }
  void TearDown() override {
    ntp::ClearFaults();
    machine_.Shutdown();
  }
  HANDLE OpenDisk(ACCESS_MASK access = GENERIC_READ) {
    HANDLE h = nullptr;
    EXPECT_EQ(LowOpenDisk(kDisk0, access, &h), STATUS_SUCCESS);
    return h;
  }
  Machine machine_;
};

TEST_F(Ntlow, OpenRetriesThreeTimesAndReturnsTheLastStatus) {
  SleepRecorder rec;
  HANDLE h = nullptr;
  ntp::InjectFault("NtOpenFile", 1, static_cast<uint32_t>(STATUS_SHARING_VIOLATION));
  ntp::InjectFault("NtOpenFile", 2, static_cast<uint32_t>(STATUS_SHARING_VIOLATION));
  ntp::InjectFault("NtOpenFile", 3, static_cast<uint32_t>(STATUS_ACCESS_DENIED));
  EXPECT_EQ(LowOpenDisk(kDisk0, GENERIC_READ, &h), STATUS_ACCESS_DENIED);
  EXPECT_EQ(rec.sleeps, (std::vector<DWORD>{500, 500, 500})) << "a sleep follows every failed attempt";

  // Two failures, then success: two sleeps and a usable handle.
  rec.sleeps.clear();
  ntp::InjectFault("NtOpenFile", 1, static_cast<uint32_t>(STATUS_SHARING_VIOLATION));
  ntp::InjectFault("NtOpenFile", 2, static_cast<uint32_t>(STATUS_ACCESS_DENIED));
  ASSERT_EQ(LowOpenDisk(kDisk0, GENERIC_READ, &h), STATUS_SUCCESS);
  EXPECT_EQ(rec.sleeps, (std::vector<DWORD>{500, 500}));
  NtClose(h);
}

TEST_F(Ntlow, PartitionNamesAreFormedFromTheDiskName) {
  SleepRecorder rec;
  HANDLE h = nullptr;
  ASSERT_EQ(LowOpenPartition(kDisk0, 2, GENERIC_READ, &h), STATUS_SUCCESS);
  PARTITION_INFORMATION info;
  memset(&info, 0xEE, sizeof info);
  ASSERT_EQ(LowGetPartitionInformation(h, info), STATUS_SUCCESS);
  EXPECT_EQ(info.PartitionNumber, 2u);
  EXPECT_EQ(info.PartitionType, 0x06);
  EXPECT_EQ(info.StartingOffset.QuadPart, int64_t(17 * MiB));
  NtClose(h);

  // A disk name too long for the partition name is refused before any open.
  std::u16string longName = u"\\Device\\" + std::u16string(95, u'x');
  EXPECT_EQ(LowOpenDisk(longName.c_str(), GENERIC_READ, &h), STATUS_OBJECT_NAME_INVALID);
  EXPECT_TRUE(rec.sleeps.empty());
}

TEST_F(Ntlow, GeometryAndLayoutMatchTheImageAndAFailedReadReleasesTheBuffer) {
  uint64_t blocks = zm::OutstandingBlocks();
  HANDLE h = OpenDisk();
  DISK_GEOMETRY g{};
  ASSERT_EQ(LowGetDriveGeometry(h, g), STATUS_SUCCESS);
  EXPECT_EQ(g.Cylinders.QuadPart, int64_t(64 * MiB / (255 * 63 * 512)));

  PDRIVE_LAYOUT_INFORMATION layout = nullptr;
  ASSERT_EQ(LowGetDiskLayout(h, &layout), STATUS_SUCCESS);
  // The data partitions where sfdisk put them: slots 0 and 1, then one per boot record.
  ASSERT_EQ(layout->PartitionCount, 12u);
  const int64_t data[][3] = {{0, 2048, 32768}, {1, 34816, 16384}, {4, 53248, 16384}, {8, 71680, 16384}};
  for (auto [i, start, size] : data) {
    EXPECT_EQ(layout->PartitionEntry[i].StartingOffset.QuadPart, start * 512) << i;
    EXPECT_EQ(layout->PartitionEntry[i].PartitionLength.QuadPart, size * 512) << i;
  }
  _ZmFree(layout, __FILE__, __LINE__);
  EXPECT_EQ(zm::OutstandingBlocks(), blocks);

  layout = reinterpret_cast<PDRIVE_LAYOUT_INFORMATION>(0x1);
  ntp::InjectFault("IOCTL_DISK_GET_DRIVE_LAYOUT", 1, static_cast<uint32_t>(STATUS_IO_DEVICE_ERROR));
  EXPECT_EQ(LowGetDiskLayout(h, &layout), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(layout, nullptr);
  EXPECT_EQ(zm::OutstandingBlocks(), blocks);
  zm::InjectFault("_ZmAlloc", 1, 0);
  EXPECT_EQ(LowGetDiskLayout(h, &layout), STATUS_NO_MEMORY);
  zm::ClearFaults();
  NtClose(h);
}

TEST_F(Ntlow, SetLayoutKeepsTheCountAndTakesTheDriverNumbers) {
  HANDLE h = OpenDisk(GENERIC_READ | GENERIC_WRITE);
  PDRIVE_LAYOUT_INFORMATION layout = nullptr;
  ASSERT_EQ(LowGetDiskLayout(h, &layout), STATUS_SUCCESS);
  ULONG count = layout->PartitionCount;
  // Slot 3 of the master boot record is free (sfdisk put the extended one in slot 2):
  // nothing to add there on a full disk, so flip the active flag instead.
  layout->PartitionEntry[0].BootIndicator = 0;
  layout->PartitionEntry[0].RewritePartition = 1;
  layout->PartitionEntry[1].BootIndicator = 1;
  layout->PartitionEntry[1].RewritePartition = 1;
  for (ULONG i = 0; i < count; ++i) layout->PartitionEntry[i].PartitionNumber = 0;
  ASSERT_EQ(LowSetDiskLayout(h, layout), STATUS_SUCCESS);
  EXPECT_EQ(layout->PartitionCount, count);
  EXPECT_EQ(layout->PartitionEntry[0].PartitionNumber, 1u) << "numbers come back from the driver";

  auto parts = testutil::SfdiskJson(machine_.image(0))["partitiontable"]["partitions"];
  EXPECT_FALSE(parts[0].value("bootable", false));
  EXPECT_TRUE(parts[1].value("bootable", false));

  // A refused write returns the driver's status and writes nothing.
  ntp::ResetCounters();
  ntp::InjectFault("IOCTL_DISK_SET_DRIVE_LAYOUT", 1, static_cast<uint32_t>(STATUS_INVALID_PARAMETER));
  EXPECT_EQ(LowSetDiskLayout(h, layout), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
  _ZmFree(layout, __FILE__, __LINE__);
  NtClose(h);
}

TEST_F(Ntlow, WriteSectorsWritesAtTheSixtyFourBitOffset) {
  HANDLE h = OpenDisk(GENERIC_READ | GENERIC_WRITE);
  std::vector<uint8_t> data(2 * 512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  const ULONG first = 120000;
  ASSERT_EQ(LowWriteSectors(h, 512, first, 2, data.data()), STATUS_SUCCESS);
  std::vector<uint8_t> back(data.size());
  ASSERT_TRUE(ntp::ReadDiskBytes(0, uint64_t{first} * 512, back.data(), back.size()));
  EXPECT_EQ(back, data);

  // An offset past 4 GiB must not wrap around to the start of the disk.
  ntp::ResetCounters();
  EXPECT_FALSE(NT_SUCCESS(LowWriteSectors(h, 512, 0x00800000u + 1, 1, data.data())));
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);
  // A length that overflows 32 bits is refused, not cut.
  EXPECT_EQ(LowWriteSectors(h, 0x10000, 0, 0x10000, data.data()), STATUS_INVALID_PARAMETER);
  NtClose(h);
}

TEST_F(Ntlow, LockRetriesTenTimesAndUnlockDismountsFirst) {
  SleepRecorder rec;
  HANDLE a = nullptr, b = nullptr;
  ASSERT_EQ(LowOpenPartition(kDisk0, 1, FILE_READ_DATA, &a), STATUS_SUCCESS);
  ASSERT_EQ(LowOpenPartition(kDisk0, 1, FILE_READ_DATA, &b), STATUS_SUCCESS);
  ASSERT_EQ(LowLockDrive(a), STATUS_SUCCESS);
  EXPECT_EQ(LowLockDrive(b), STATUS_ACCESS_DENIED);
  EXPECT_EQ(rec.sleeps, std::vector<DWORD>(10, 500));
  EXPECT_EQ(LowUnlockDrive(a), STATUS_SUCCESS);
  rec.sleeps.clear();
  EXPECT_EQ(LowLockDrive(b), STATUS_SUCCESS);
  NtClose(a);
  NtClose(b);
}

TEST_F(Ntlow, DeviceNamesMapBackToTheFirstMatchingLetter) {
  const std::u16string p2 = u"\\Device\\Harddisk0\\Partition2", p3 = u"\\Device\\Harddisk0\\Partition3";
  for (char l = 'C'; l <= 'Z'; ++l) ntp::RemoveDriveLetter(l);
  uint64_t blocks = zm::OutstandingBlocks();
  PWSTR letter = nullptr;
  EXPECT_EQ(InverseQueryDosDevice(p2.c_str(), &letter), 0);
  EXPECT_EQ(letter, nullptr);

  ASSERT_EQ(ntp::DefineDriveLetter('H', p2), STATUS_SUCCESS);
  ASSERT_EQ(ntp::DefineDriveLetter('E', p2), STATUS_SUCCESS);
  EXPECT_EQ(InverseQueryDosDevice(nullptr, &letter), 0);
  EXPECT_EQ(InverseQueryDosDevice(p2.c_str(), nullptr), 0);
  WCHAR target[20] = {u'x', 0};
  EXPECT_TRUE(GetCanonicalLinkTarget(nullptr, target) == 1 && target[0] == 0) << "no name, no target";
  GetCanonicalLinkTarget(u"\\Device\\None", target);
  EXPECT_EQ(std::u16string(target), u"\\Device\\None") << "a name that is no link is its own target";
  ASSERT_EQ(InverseQueryDosDevice(p2.c_str(), &letter), 1);
  EXPECT_EQ(std::u16string(letter), u"E:");
  _ZmFree(letter, __FILE__, __LINE__);
  // The comparison is exact.
  EXPECT_EQ(InverseQueryDosDevice(u"\\device\\harddisk0\\partition2", &letter), 0);

  // K: names the link Y:, whose target is the device: K: is found through the resolved
  // target, before Y: itself.
  ASSERT_EQ(ntp::DefineDriveLetter('Y', p3), STATUS_SUCCESS);
  ASSERT_EQ(ntp::DefineDriveLetter('K', u"\\DosDevices\\Y:"), STATUS_SUCCESS);
  ASSERT_EQ(InverseQueryDosDevice(p3.c_str(), &letter), 1);
  EXPECT_EQ(std::u16string(letter), u"K:");
  _ZmFree(letter, __FILE__, __LINE__);
  EXPECT_EQ(zm::OutstandingBlocks(), blocks);
}

// Writes a master boot record with one extended partition and a chain of `logicals`
// extended boot records, each holding one data partition, straight into the image.
void WriteLongChain(const std::string& image, unsigned logicals) {
  const uint32_t ext = 2048, stride = 1024;
  pt::WriteAt(image, 0, pt::TableSector({{0x05, ext, stride * logicals}}));
  for (uint32_t i = 0; i < logicals; ++i)
    pt::WriteAt(image, (ext + i * stride) * 512ull,
                i + 1 < logicals
                    ? pt::TableSector({{0x07, 63, stride - 63}, {0x05, (i + 1) * stride, stride}})
                    : pt::TableSector({{0x07, 63, stride - 63}}));
}

TEST(NtlowLongChain, LayoutLargerThanTheFirstBufferIsReadWhole) {
  Machine machine({256 * MiB});
  const unsigned logicals = 130;  // 4 + 4 x 130 = 524 entries, more than 501
  WriteLongChain(machine.image(0), logicals);
  machine.Boot();
  uint64_t blocks = zm::OutstandingBlocks();
  HANDLE h = nullptr;
  ASSERT_EQ(LowOpenDisk(kDisk0, GENERIC_READ, &h), STATUS_SUCCESS);
  PDRIVE_LAYOUT_INFORMATION layout = nullptr;
  ASSERT_EQ(LowGetDiskLayout(h, &layout), STATUS_SUCCESS);
  EXPECT_EQ(layout->PartitionCount, 4u + 4u * logicals);
  const PARTITION_INFORMATION& last = layout->PartitionEntry[4 * logicals];
  EXPECT_EQ(last.StartingOffset.QuadPart, int64_t(2048 + (logicals - 1) * 1024 + 63) * 512);
  _ZmFree(layout, __FILE__, __LINE__);

  // The entry of the last logical drive is found in that long layout.
  HANDLE p = nullptr;
  ASSERT_EQ(LowOpenPartition(kDisk0, logicals, GENERIC_READ, &p), STATUS_SUCCESS);
  PARTITION_INFORMATION info{};
  ASSERT_EQ(LowGetPartitionInformation(p, info), STATUS_SUCCESS);
  EXPECT_EQ(info.PartitionNumber, logicals);
  NtClose(p);
  NtClose(h);
  EXPECT_EQ(zm::OutstandingBlocks(), blocks);
}

}  // namespace
