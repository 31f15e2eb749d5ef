// The names and sizes a command line gives objects.
#include "object_names.h"

#include <gtest/gtest.h>

using namespace model;

TEST(ModelNames, SizesParseExactlyAndWhatIsNotASizeFails) {
  struct Case {
    const char* text;
    uint64_t value;
    bool sectors = false;
  } cases[] = {
      {"4096", 4096},
      {"4096B", 4096},
      {"1k", 1024},
      {"100MiB", 100ull << 20},
      {"1.5G", 3ull << 29},
      {"0.5K", 512},
      {"15E", 15ull << 60},
      {"18446744073709551615", UINT64_MAX},
      {"100MB", 100000000},
      {"1.5kb", 1500},
      {"2TB", 2000000000000ull},
      {"1T", 1ull << 40},
      {"2048s", 2048, true},
  };
  for (const auto& c : cases) {
    uint64_t v = 0;
    bool sectors = !c.sectors;
    std::string e;
    EXPECT_TRUE(ParseSize(c.text, false, &v, &e, &sectors)) << c.text << ": " << e;
    EXPECT_EQ(v, c.value) << c.text;
    EXPECT_EQ(sectors, c.sectors) << c.text;
  }
  // Zero is not a size, nor 102.4 bytes, nor 2^64 however written.
  for (const char* bad : {"", "M", "10X", "10MB5", "-5M", "1.", "0", "0.1K", "1.5", "1.5s", "16E",
                          "18446744073709551616", "17179869184G", "19EB"}) {
    uint64_t v = 0;
    bool sectors = false;
    std::string e;
    EXPECT_FALSE(ParseSize(bad, false, &v, &e, &sectors)) << bad;
    EXPECT_NE(e.find(bad), std::string::npos) << "the message names the input: " << e;
  }
  // Sectors only where the caller can multiply them; zero only where it is allowed.
  uint64_t v = 1;
  std::string e;
  EXPECT_FALSE(ParseSize("2048s", false, &v, &e));
  EXPECT_NE(e.find("sectors"), std::string::npos) << e;
  EXPECT_TRUE(ParseSize("0", true, &v, nullptr));
  EXPECT_EQ(v, 0u);
}

TEST(ModelNames, SizesFormatLikeLsblk) {
  EXPECT_EQ(FormatSize(0), "0B");
  EXPECT_EQ(FormatSize(1023), "1023B");
  EXPECT_EQ(FormatSize(1024), "1K");
  EXPECT_EQ(FormatSize(3ull << 29), "1.5G");
  EXPECT_EQ(FormatSize((100ull << 20) + 8225280), "107.8M");
  EXPECT_EQ(FormatSize(UINT64_MAX), "16E");
  EXPECT_EQ(FormatUnits(106896384), "101.9 MiB");
  EXPECT_EQ(FormatUnits(512), "512 bytes");
}

TEST(ModelNames, UnitCountsShowWhatIsPastTheLastWholeUnit) {
  const uint64_t cylinder = 16065 * 512;
  EXPECT_EQ(UnitCount(6 * cylinder, cylinder, 512), "6");
  EXPECT_EQ(UnitCount(63 * 512, cylinder, 512), "0+63s");
  EXPECT_EQ(UnitCount(5 * cylinder + 100, cylinder, 512), "5+100b");
  EXPECT_EQ(UnitCount(96327 * 512, 512, 512), "96327");
  EXPECT_EQ(UnitCount(1000, 512, 512), "1+488b");
  EXPECT_EQ(UnitCount(1000, 0, 512), "1000");
}

TEST(ModelNames, VolumeSpecsAndLetters) {
  struct Good {
    const char* text;
    VolumeSpec::Kind kind;
    uint64_t value;  // the letter, "disk * 100 + number", the CD-ROM number or the id
  } good[] = {{"e:", VolumeSpec::Letter, 'E'},
              {"DISK12/P3", VolumeSpec::Partition, 1203},
              {"disk1@2048s", VolumeSpec::Start, 2048},
              {"disk1@1M", VolumeSpec::Start, 1 << 20},
              {"cdrom1", VolumeSpec::Cdrom, 1},
              {"#42", VolumeSpec::ObjectId, 42},
              {"18446744073709551615", VolumeSpec::ObjectId, UINT64_MAX}};
  for (const auto& g : good) {
    VolumeSpec s;
    ASSERT_TRUE(ParseVolumeSpec(g.text, &s, nullptr)) << g.text;
    EXPECT_EQ(s.kind, g.kind) << g.text;
    EXPECT_EQ(s.kind == VolumeSpec::Letter      ? uint64_t(s.letter)
              : s.kind == VolumeSpec::Partition ? s.disk * 100 + s.number
              : s.kind == VolumeSpec::Cdrom     ? s.number
              : s.kind == VolumeSpec::Start     ? s.start
                                                : s.id,
              g.value)
        << g.text;
  }
  for (const char* bad :
       {"A:", "B:", "1:", "disk0/p0", "disk/p1", "diskx", "disk0/p", "disk0/q1", "0", "foo", "cdrom",
        "18446744073709551616", "disk99999999999/p1", "disk0@", "disk0@x", "disk@63s", "disk0@1.5s"}) {
    VolumeSpec s;
    std::string e;
    EXPECT_FALSE(ParseVolumeSpec(bad, &s, &e)) << bad;
    EXPECT_FALSE(e.empty()) << bad;
  }
  EXPECT_EQ(ParseDriveLetter("z:"), 'Z');
  EXPECT_EQ(ParseDriveLetter("C"), 'C');
  for (const char* bad : {"B:", "EE:", "E:\\"}) EXPECT_FALSE(ParseDriveLetter(bad)) << bad;
}
