// The machine: configuration, the process lock, boot errors, copied machines, sector
// I/O rules, sharing and volume locks, counters and the write hook.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>

#include "../ftinfo/blob_builder.h"
#include "platform_test_util.h"
#include "registry_store.h"

using namespace pt;

namespace {

constexpr uint64_t T = 63, C = 16065;

TEST(Machine, CreateWritesSignedSparseImagesAndAConfigThatLoads) {
  testutil::TempDir dir;
  const ntp::DiskConfig removable{.image = {}, .heads = 16, .removable = true};
  std::string err;
  ASSERT_TRUE(ntp::CreateMachine(dir.path, {{32 * testutil::MiB, {}}, {16 * testutil::MiB, removable}},
                                 {ntp::CdromConfig{}}, &err))
      << err;
  EXPECT_FALSE(ntp::CreateMachine(dir.path, {{32 * testutil::MiB, {}}}, {}, &err));  // never over a machine
  ntp::MachineConfig cfg;
  ASSERT_TRUE(ntp::LoadMachineConfig(dir.path, &cfg, &err)) << err;
  ASSERT_EQ(cfg.disks.size(), 2u);
  EXPECT_EQ(cfg.disks[1].heads, 16u);
  EXPECT_TRUE(cfg.disks[1].removable);
  uint32_t sigs[2];
  for (int i = 0; i < 2; ++i) {
    auto head = pt::Head(dir.path + "/" + cfg.disks[i].image, 512);
    EXPECT_EQ(head[510] | head[511] << 8, 0xAA55);
    sigs[i] = head[440] | head[441] << 8 | head[442] << 16 | uint32_t(head[443]) << 24;
    EXPECT_NE(sigs[i], 0u);
    struct stat st {};
    ASSERT_EQ(stat((dir.path + "/" + cfg.disks[i].image).c_str(), &st), 0);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 1 * testutil::MiB);  // sparse
  }
  EXPECT_NE(sigs[0], sigs[1]);

  ASSERT_TRUE(ntp::Boot(dir.path, ntp::LockMode::NoWait, &err)) << err;
  auto disks = ntp::Disks();
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].signature, sigs[0]);
  EXPECT_EQ(disks[0].geometry.Cylinders.QuadPart, int64_t(32 * testutil::MiB / (C * 512)));
  EXPECT_EQ(disks[1].geometry.MediaType, uint32_t(RemovableMedia));
  EXPECT_EQ(disks[1].geometry.TracksPerCylinder, 16u);
  EXPECT_FALSE(ntp::Boot(dir.path, ntp::LockMode::NoWait, &err));  // one machine per process
  ntp::Shutdown();
}

TEST(Machine, BadConfigurationsAndDisksAreReportedClearly) {
  testutil::TempDir dir;
  std::string err;
  ntp::MachineConfig cfg;
  EXPECT_FALSE(ntp::LoadMachineConfig(dir.path, &cfg, &err));
  EXPECT_NE(err.find("machine.toml"), std::string::npos);
  for (const char* text :
       {"[[disk]]\nheads = 255\n", "[[disk]]\nimage = \"x\"\nsectors = 64\n",
        "[[disk]]\nimage = \"x\"\nbytes_per_sector = 500\n", "[[disk]\nimage=", "disk = 5\n"}) {
    SCOPED_TRACE(text);
    std::ofstream(dir.path + "/machine.toml") << text;
    err.clear();
    EXPECT_FALSE(ntp::LoadMachineConfig(dir.path, &cfg, &err));
    EXPECT_FALSE(err.empty());
  }
  // A configuration that names one image twice boots with the second entry named as
  // damaged (two writers on one image in one process would wait for each other forever),
  // a missing image likewise; the devices of both do not exist.
  std::filesystem::remove(dir.path + "/machine.toml");
  ASSERT_TRUE(ntp::CreateMachine(dir.path, {{8 * testutil::MiB, {}}}, {}, &err));
  std::ofstream(dir.path + "/machine.toml", std::ios::app)
      << "[[disk]]\nimage = \"disks/gone.img\"\n[[disk]]\nimage = \"./disks/disk0.img\"\n";
  ASSERT_TRUE(ntp::Boot(dir.path, ntp::LockMode::NoWait, &err)) << err;
  auto damaged = ntp::DamagedDisks();
  ASSERT_EQ(damaged.size(), 2u);
  EXPECT_NE(damaged[0].reason.find("disk 1 is missing"), std::string::npos) << damaged[0].reason;
  EXPECT_NE(damaged[1].reason.find("disk 2 is the same image as disk 0"), std::string::npos)
      << damaged[1].reason;
  EXPECT_EQ(ntp::Disks().size(), 1u);
  HANDLE h = nullptr;
  EXPECT_FALSE(NT_SUCCESS(pt::Open(u"\\Device\\Harddisk2\\Partition0", &h)));
  ntp::Shutdown();
}

TEST(Machine, TheLockKeepsOtherProcessesOut) {
  testutil::Machine m({8 * testutil::MiB});
  // Another holder of the machine's lock (another open file, as another process has).
  int fd = open((m.dir() + "/machine.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::string err;
  EXPECT_FALSE(ntp::Boot(m.dir(), ntp::LockMode::NoWait, &err));
  EXPECT_NE(err.find("in use"), std::string::npos);
  EXPECT_FALSE(ntp::IsBooted());

  // Once the other holder lets go, the machine boots (waiting is the front end's test).
  close(fd);
  ASSERT_TRUE(ntp::Boot(m.dir(), ntp::LockMode::Wait, &err)) << err;
  // While booted, the lock is held.
  int other = open((m.dir() + "/machine.lock").c_str(), O_RDWR);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  ntp::Shutdown();
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
}

TEST(Machine, SectorWritesFollowTheDriverRules) {
  testutil::Machine m({16 * testutil::MiB});
  m.Boot();
  HANDLE disk = nullptr, part = nullptr, ro = nullptr;
  ASSERT_EQ(pt::Open(u"\\Device\\Harddisk0\\Partition0", &disk), STATUS_SUCCESS);
  pt::LayoutBuffer b({Entry(T, C - T, 7), Entry(C, C, 7), Empty(), Empty()}, 7);
  ASSERT_EQ(pt::SetLayout(disk, b), STATUS_SUCCESS);
  ASSERT_EQ(pt::Open(u"\\Device\\Harddisk0\\Partition2", &part), STATUS_SUCCESS);
  ASSERT_EQ(pt::Open(u"\\Device\\Harddisk0\\Partition2", &ro, GENERIC_READ), STATUS_SUCCESS);

  std::vector<uint8_t> data(1024, 0x5A), back(1024), zero(512, 0);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER at{};
  auto io = [&](HANDLE h, bool write, std::vector<uint8_t>& buf, ULONG length, int64_t offset) {
    at.QuadPart = offset;
    return write ? NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, buf.data(), length, &at, nullptr)
                 : NtReadFile(h, nullptr, nullptr, nullptr, &iosb, buf.data(), length, &at, nullptr);
  };
  ntp::ResetCounters();
  EXPECT_EQ(io(part, true, data, 512, 100), STATUS_INVALID_PARAMETER) << "unaligned offset";
  EXPECT_EQ(io(part, true, data, 1024, int64_t(C * 512 - 512)), STATUS_INVALID_PARAMETER) << "past the end";
  EXPECT_EQ(io(part, true, data, 512, -512), STATUS_INVALID_PARAMETER) << "negative offset";
  EXPECT_EQ(io(ro, true, data, 512, 512), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 0u);

  // A write through the partition lands at the partition's offset, reported through a hook first.
  std::vector<std::pair<uint64_t, size_t>> hooked;
  ntp::SetSectorWriteHook(
      [&](unsigned d, uint64_t lba, const uint8_t* before, const uint8_t* after, size_t n) {
        EXPECT_EQ(d, 0u);
        EXPECT_EQ(before[0], 0);
        EXPECT_EQ(after[0], 0x5A);
        hooked.push_back({lba, n});
      });
  ASSERT_EQ(io(part, true, data, 1024, 512), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 1024u);
  ntp::SetSectorWriteHook(nullptr);
  ASSERT_EQ(hooked.size(), 1u);
  EXPECT_EQ(hooked[0].first, C + 1);
  EXPECT_EQ(ntp::Counters(0).sectorsWritten, 2u);
  ASSERT_EQ(io(ro, false, back, 1024, 512), STATUS_SUCCESS);
  EXPECT_EQ(back, data);

  // Zeroing sector 0 through the disk takes the partitions away.
  ASSERT_EQ(io(disk, true, zero, 512, 0), STATUS_SUCCESS);
  HANDLE gone = nullptr;
  EXPECT_EQ(pt::Open(u"\\Device\\Harddisk0\\Partition1", &gone, GENERIC_READ), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(io(ro, false, back, 512, 0), STATUS_NO_SUCH_DEVICE);
  for (HANDLE h : {disk, part, ro}) EXPECT_EQ(NtClose(h), STATUS_SUCCESS);
  EXPECT_EQ(NtClose(disk), STATUS_INVALID_HANDLE);
}

TEST(Machine, SharingAndVolumeLocks) {
  testutil::Machine m({8 * testutil::MiB});
  m.Boot();
  HANDLE a = nullptr, b = nullptr, c = nullptr;
  const std::u16string d0 = u"\\Device\\Harddisk0\\Partition0";
  // An exclusive open keeps out every other reader or writer, and is kept out itself.
  ASSERT_EQ(pt::Open(d0, &a, GENERIC_READ, 0), STATUS_SUCCESS);
  EXPECT_EQ(pt::Open(d0, &b, GENERIC_READ), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(pt::Open(d0, &b, SYNCHRONIZE), STATUS_SUCCESS);  // no data access
  NtClose(b);
  NtClose(a);
  ASSERT_EQ(pt::Open(d0, &a), STATUS_SUCCESS);
  EXPECT_EQ(pt::Open(d0, &b, GENERIC_READ, 0), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(pt::Open(d0, &b, GENERIC_READ, FILE_SHARE_READ), STATUS_SHARING_VIOLATION);  // a writes
  ASSERT_EQ(pt::Open(u"\\DEVICE\\HARDDISK0\\PARTITION0", &b), STATUS_SUCCESS);

  // One lock per device; closing the holder releases it.
  IO_STATUS_BLOCK iosb{};
  auto fsctl = [&](HANDLE h, ULONG code) {
    return NtFsControlFile(h, nullptr, nullptr, nullptr, &iosb, code, nullptr, 0, nullptr, 0);
  };
  EXPECT_EQ(fsctl(a, FSCTL_LOCK_VOLUME), STATUS_SUCCESS);
  EXPECT_EQ(fsctl(b, FSCTL_LOCK_VOLUME), STATUS_ACCESS_DENIED);
  EXPECT_NE(fsctl(b, FSCTL_UNLOCK_VOLUME), STATUS_SUCCESS);
  EXPECT_EQ(fsctl(b, FSCTL_DISMOUNT_VOLUME), STATUS_SUCCESS);
  NtClose(a);
  EXPECT_EQ(fsctl(b, FSCTL_LOCK_VOLUME), STATUS_SUCCESS);
  EXPECT_EQ(fsctl(b, FSCTL_UNLOCK_VOLUME), STATUS_SUCCESS);
  NtClose(b);

  // Names that are not devices.
  for (const char16_t* name :
       {u"\\Device\\Harddisk1\\Partition0", u"\\Device\\Harddisk0\\Partition01", u"\\Device\\Harddisk"}) {
    SCOPED_TRACE(testutil::Narrow(name));
    EXPECT_FALSE(NT_SUCCESS(pt::Open(name, &c)));
  }
  UNICODE_STRING odd{3, 4, const_cast<PWSTR>(u"\\x")};
  OBJECT_ATTRIBUTES oa{sizeof oa, nullptr, &odd, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  EXPECT_EQ(NtOpenFile(&c, GENERIC_READ, &oa, &iosb, 3, 0), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(NtOpenFile(&c, GENERIC_READ, nullptr, &iosb, 3, 0), STATUS_INVALID_PARAMETER);
}

// ---- drive letters and links --------------------------------------------------------

TEST(Letters, BootAssignsDefaultsThenHonoursTheStoredConfiguration) {
  testutil::Machine m({64 * testutil::MiB, 64 * testutil::MiB}, 1);
  // Disk 0: two primaries (the second active), an unrecognised one, two logical drives.
  // Disk 1: one primary.
  ASSERT_TRUE(testutil::Sfdisk(m.image(0),
                               "label: dos\nlabel-id: 0x1000\nstart=63,size=16002,type=7\n"
                               "start=16065,size=16065,type=7,bootable\nstart=32130,size=16065,type=83\n"
                               "start=48195,size=32130,type=5\nstart=48258,size=16002,type=7\n"
                               "start=64323,size=16002,type=6\n"));
  ASSERT_TRUE(testutil::Sfdisk(m.image(1), "label: dos\nlabel-id: 0x1001\nstart=63,size=16002,type=7\n"));
  m.Boot();
  // Active primaries of each disk first, then logical drives, then other primaries, then CD-ROMs.
  EXPECT_EQ(ntp::DriveLetterTarget('C'), u"\\Device\\Harddisk0\\Partition2");
  EXPECT_EQ(ntp::DriveLetterTarget('D'), u"\\Device\\Harddisk1\\Partition1");
  EXPECT_EQ(ntp::DriveLetterTarget('E'), u"\\Device\\Harddisk0\\Partition4");
  EXPECT_EQ(ntp::DriveLetterTarget('G'), u"\\Device\\Harddisk0\\Partition1");
  EXPECT_EQ(ntp::DriveLetterTarget('H'), u"\\Device\\CdRom0");
  EXPECT_EQ(ntp::DriveLetterTarget('I'), u"");

  // The stored configuration: partition 1 asks for Q, partition 2 for none, the first
  // logical drive has no letter known (gets a default); CD-ROM asks for R.
  blobtest::Store(blobtest::Build({{0x1000,
                                    {{T * 512, (C - T) * 512, 'Q', 1},
                                     {C * 512, C * 512, ' ', 0},
                                     {(3 * C + T) * 512, (C - T) * 512, 0, 1},
                                     {(4 * C + T) * 512, (C - T) * 512, 'Z', 1, 0, 0, 0, 0, 0, 1}}}},
                                  {}, false));  // member 1 of a mirror
  std::vector<uint8_t> cd = {'R', 0, ':', 0, 0, 0};
  ASSERT_TRUE(ntp::reg::SetValue(blobtest::kDiskKey, u"\\Device\\CdRom0", REG_SZ, cd));
  m.Reboot();
  EXPECT_EQ(ntp::DriveLetterTarget('Q'), u"\\Device\\Harddisk0\\Partition1");
  EXPECT_EQ(ntp::DriveLetterTarget('R'), u"\\Device\\CdRom0");
  EXPECT_EQ(ntp::DriveLetterTarget('C'),
            u"\\Device\\Harddisk1\\Partition1");  // disk 0 has no candidate primary left
  EXPECT_EQ(ntp::DriveLetterTarget('D'), u"\\Device\\Harddisk0\\Partition4");
  EXPECT_EQ(ntp::DriveLetterTarget('E'), u"");  // an FT member other than the first takes none
  EXPECT_EQ(ntp::DriveLetterTarget('Z'), u"");
  for (char l = 'C'; l <= 'Z'; ++l)
    EXPECT_NE(ntp::DriveLetterTarget(l), u"\\Device\\Harddisk0\\Partition2") << l;

  // A value the blob checker rejects gives no letters at all, not those that happen to fit.
  auto blob =
      blobtest::Build({{0x1000, {{T * 512, (C - T) * 512, 'Q', 1}, {C * 512, C * 512, 'P', 1}}}}, {}, false);
  blobtest::Put16(blob, 48, 500);  // claims 500 records
  blobtest::Store(blob);
  m.Reboot();
  EXPECT_EQ(ntp::DriveLetterTarget('Q'), u"");
  EXPECT_EQ(ntp::DriveLetterTarget('P'), u"");
  EXPECT_NE(ntp::DriveLetterTarget('C'), u"");
}

}  // namespace
