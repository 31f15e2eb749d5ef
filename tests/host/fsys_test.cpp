// File-system detection of the "fsys" provider on hand-made boot sectors.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>

#include "internal.h"
#include "testutil.h"

namespace {

// Little-endian fields, given as (offset, value, bytes) triples, and a text at textAt.
void Put(std::vector<uint8_t>& b, std::initializer_list<uint64_t> triples, size_t textAt, const char* text) {
  for (auto f = triples.begin(); f != triples.end(); f += 3)
    for (uint64_t i = 0; i < f[2]; ++i) b[f[0] + i] = uint8_t(f[1] >> (8 * i));
  std::memcpy(b.data() + textAt, text, std::strlen(text));
}

// The first 64 KiB of a FAT volume of the given size made by mkfs.fat.
std::vector<uint8_t> FatVolume(int bits, uint64_t sectors) {
  testutil::TempDir dir;
  const std::string image = dir.path + "/fat.img";
  EXPECT_EQ(testutil::Run("mkfs.fat -F " + std::to_string(bits) + " -C " + image + " " +
                          std::to_string(sectors / 2) + " >/dev/null 2>&1"),
            0);
  std::vector<uint8_t> b(64 * 1024, 0);
  std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(b.data()), std::streamsize(b.size()));
  return b;
}

// An NTFS boot sector whose MFT starts at cluster mftLcn (8 sectors per cluster,
// 1024-byte records).
std::vector<uint8_t> NtfsBoot(uint64_t sectors, uint64_t mftLcn) {
  std::vector<uint8_t> b(64 * 1024, 0);
  Put(b, {0,    0x9052EB, 3,      0x0B, 512,  2,    0x0D,        8,    1,    0x15,   0xF8,
          1,    0x18,     63,     2,    0x1A, 255,  2,           0x1C, 63,   4,      0x24,
          0x80, 1,        0x26,   0x80, 1,    0x28, sectors - 1, 8,    0x30, mftLcn, 8,
          0x38, 2,        8,      0x40, 0xF6, 1,    0x44,        1,    1,    0x48,   0x1122334455667788ull,
          8,    510,      0xAA55, 2},
      3, "NTFS    ");
  return b;
}

// One MFT record header, enough to be recognised as a file record: its first
// attribute at 0x38, in use, and the end of attributes there.
std::vector<uint8_t> MftRecord() {
  std::vector<uint8_t> r(1024, 0);
  Put(r, {4, 0x30, 2, 6, 3, 2, 0x14, 0x38, 2, 0x16, 1, 2, 0x18, 0x98, 4, 0x1C, 1024, 4, 0x38, 0xFFFFFFFF, 4},
      0, "FILE");
  return r;
}

struct FakeVolume {
  std::map<uint64_t, std::vector<uint8_t>> extents;
  std::vector<uint64_t> reads;
};

bool ReadFake(void* ctx, uint64_t offset, void* buffer, size_t size) {
  auto* v = static_cast<FakeVolume*>(ctx);
  v->reads.push_back(offset);
  std::memset(buffer, 0, size);
  auto it = v->extents.find(offset);
  if (it != v->extents.end()) std::memcpy(buffer, it->second.data(), std::min(size, it->second.size()));
  return true;
}

// FAT32, and a cleared first sector (a new partition) or a table sector, which are no
// file system. (FAT16 is detected on a partition in the booted tests.)
TEST(FsysDetect, FatFamiliesAndBlankVolumes) {
  std::vector<uint8_t> blank(64 * 1024, 0), signatureOnly = blank;
  Put(signatureOnly, {510, 0xAA55, 2}, 0, "");
  const struct {
    std::vector<uint8_t> head;
    uint64_t sectors;
    const char* fs;
  } cases[] = {{FatVolume(32, 1024 * 2048), 1024 * 2048, "FAT32"},
               {blank, 64 * 2048, "RAW"},
               {signatureOnly, 64 * 2048, "RAW"}};
  FakeVolume none;
  for (const auto& c : cases)
    EXPECT_EQ(zmi::DetectFileSystem(c.head, c.sectors * 512, &ReadFake, &none), c.fs);
}

TEST(FsysDetect, NtfsWithItsMftFarBeyondTheHead) {
  uint64_t sectors = 4ull * 1024 * 2048;  // 4 GiB
  // MFT at cluster 786432 (3 GiB): fetched through the reader.
  FakeVolume far;
  std::vector<uint8_t> rec = MftRecord(), records(4 * 1024, 0);
  std::memcpy(records.data(), rec.data(), rec.size());
  std::memcpy(records.data() + 3 * 1024, rec.data(), rec.size());
  far.extents[786432ull * 4096] = records;
  EXPECT_EQ(zmi::DetectFileSystem(NtfsBoot(sectors, 786432), sectors * 512, &ReadFake, &far), "NTFS");
  EXPECT_EQ(far.reads, (std::vector<uint64_t>{786432ull * 4096}));

  // An MFT location past the end of the volume is not followed; no MFT, no NTFS.
  FakeVolume beyond;
  EXPECT_EQ(zmi::DetectFileSystem(NtfsBoot(sectors, sectors), sectors * 512, &ReadFake, &beyond), "RAW");
  EXPECT_TRUE(beyond.reads.empty());
  FakeVolume missing;
  EXPECT_EQ(zmi::DetectFileSystem(NtfsBoot(sectors, 786432), sectors * 512, &ReadFake, &missing), "RAW");
}

// Without one of the marks libblkid starts from, a partition is "RAW" without a probe:
// each mark alone is enough, and one cut by the end of the partition does not count.
TEST(FsysDetect, MarksThatCallForAProbe) {
  const struct {
    bool descriptor;  // in the sector at 32 KiB, else in the boot sector
    size_t offset;
    const char* mark;
    bool probe;
  } cases[] = {{false, 0, "", false},           {false, 0, "\xEB", true},
               {false, 0, "\xE9", true},        {false, 0x1FE, "\x55\xAA", true},
               {false, 0x1FE, "\x55", false},   {false, 3, "NTFS    ", true},
               {false, 0x36, "FAT16   ", true}, {false, 0x36, "MSDOS", true},
               {false, 0x52, "FAT32   ", true}, {false, 0x52, "MSWIN", true},
               {true, 1, "CD001", true},        {true, 1, "NSR03", true},
               {true, 1, "BEA01", true},        {true, 9, "CDROM", true},
               {true, 2, "CD001", false}};
  for (const auto& c : cases) {
    std::vector<uint8_t> boot(512, 0), descriptor(512, 0);
    std::memcpy((c.descriptor ? descriptor : boot).data() + c.offset, c.mark, std::strlen(c.mark));
    EXPECT_EQ(zmi::MayHoldFileSystem(boot.data(), boot.size(), descriptor.data(), descriptor.size()), c.probe)
        << c.offset << " " << c.mark;
  }
  std::vector<uint8_t> boot(512, 0), cut(3, 0);  // the partition ends inside the mark
  std::memcpy(cut.data() + 1, "CD", 2);
  EXPECT_FALSE(zmi::MayHoldFileSystem(boot.data(), boot.size(), cut.data(), cut.size()));
}

}  // namespace
