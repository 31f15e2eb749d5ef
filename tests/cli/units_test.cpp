// The front end's pure parts: sizes, status sentences, shell words, table changes
// and the configuration blob.
#include "../../cli/units.h"

#include <gtest/gtest.h>

#include <cstring>

#include "../../cli/regblob.h"
#include "../../cli/tables.h"
#include "../platform/platform_test_util.h"
#include "diskreg.h"

using namespace cli;

TEST(CliSizes, UnitCountsShowWhatIsPastTheLastWholeUnit) {
  const uint64_t cylinder = 16065 * 512;
  EXPECT_EQ(UnitCount(6 * cylinder, cylinder, 512), "6");
  EXPECT_EQ(UnitCount(63 * 512, cylinder, 512), "0+63s");
  EXPECT_EQ(UnitCount(5 * cylinder + 100, cylinder, 512), "5+100b");
  EXPECT_EQ(UnitCount(96327 * 512, 512, 512), "96327");
  EXPECT_EQ(UnitCount(1000, 512, 512), "1+488b");
  EXPECT_EQ(UnitCount(1000, 0, 512), "1000");
}

TEST(CliSizes, FormatsInUnits) {
  EXPECT_EQ(FormatUnits(106896384), "101.9 MiB");
  EXPECT_EQ(FormatUnits(512), "512 bytes");
}

TEST(CliStatus, OneSentenceWithTheCode) {
  // The cause, the next step and the code, in that order.
  std::string full = FailureSentence("cannot create partition", 0xC1100013u);
  EXPECT_EQ(full.rfind("cannot create partition: all four primary slots are in use; ", 0), 0u) << full;
  EXPECT_NE(full.find("logical drive"), std::string::npos) << full;
  EXPECT_EQ(full.substr(full.size() - 12), "(0xC1100013)") << full;
  EXPECT_NE(StatusText(0xC1100010u).find("break or delete the set first"), std::string::npos);
  // Unknown codes still carry the number, and distinct families read differently.
  EXPECT_NE(FailureSentence("x", 0xC11000EEu).find("(0xC11000EE)"), std::string::npos);
  EXPECT_NE(StatusText(0xC11000EEu), StatusText(0xC10000EEu));
  EXPECT_NE(StatusText(0x80004001u).find("not implemented"), std::string::npos);
  // Codes are named as the headers name them; unknown ones by their number.
  EXPECT_EQ(StatusName(0xC1100010u), "LDM_E_FT_VOLUME");
  EXPECT_EQ(StatusName(0xC1000018u), "FT_E_CANNOT_LOCK");
  EXPECT_EQ(StatusName(0xC11000EEu), "0xC11000EE");
}

TEST(CliShellWords, QuotesEscapesAndComments) {
  std::vector<std::string> w;
  ASSERT_TRUE(SplitWords("  letter  disk0/p1   E: ", &w, nullptr));
  EXPECT_EQ(w, (std::vector<std::string>{"letter", "disk0/p1", "E:"}));
  // "#" starts a comment only as the first word: "#14" later on is an object id.
  ASSERT_TRUE(SplitWords("  # a comment", &w, nullptr));
  EXPECT_TRUE(w.empty());
  ASSERT_TRUE(SplitWords("letter #14 E:", &w, nullptr));
  EXPECT_EQ(w, (std::vector<std::string>{"letter", "#14", "E:"}));
  ASSERT_TRUE(SplitWords(R"(a\ b "c \"d\"" '' x#y)", &w, nullptr));
  EXPECT_EQ(w, (std::vector<std::string>{"a b", "c \"d\"", "", "x#y"}));
  std::string e;
  EXPECT_FALSE(SplitWords("show 'unterminated", &w, &e));
  EXPECT_FALSE(e.empty());
}

TEST(CliTables, DescribesOnlyTheSlotsThatChange) {
  const auto a = pt::TableSector({{0x06, 63, 1000, 1}});
  EXPECT_EQ(DescribeTableChange(a, pt::TableSector({{0x06, 63, 1000, 1}, {0x05, 2000, 4000, 0}})),
            (std::vector<std::string>{"slot 1: empty -> type 0x05 start 2000 sectors 4000"}));
  std::vector<uint8_t> c = a;
  c[0x1B8] = 0x12;  // signature only
  EXPECT_EQ(DescribeTableChange(a, c), (std::vector<std::string>{"disk signature changes"}));
  EXPECT_TRUE(DescribeTableChange(a, a).empty());
}

TEST(CliBlob, DecodingMalformedBlobsStaysInsideTheBuffer) {
  // A mirror over two disks, M: on member 0.
  BlobPartition p0{Mirror, 0, 32256, 106896384, 0, 'M', 1, 1, 0, 0}, p1 = p0;
  p1.member = 1;
  p1.assign = 0;
  std::vector<uint8_t> blob =
      BuildBlob({{0x11111111, {p0}}, {0x22222222, {p1}}}, {{Mirror, FtStateOk, {{0, 0}, {1, 0}}}});
  // Every truncation: decoded without reading past the end (the sanitizer build checks).
  for (size_t n = 0; n < blob.size(); ++n) {
    std::vector<uint8_t> cut(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(n));
    auto j = DecodeBlob(cut.data(), cut.size(), false, "cut");
    EXPECT_FALSE(j["valid"].get<bool>());
    EXPECT_NE(BlobText(cut.data(), cut.size(), false, "cut").find("MALFORMED: cut"), std::string::npos);
  }
  // A member pointing past the end names no record; huge counts stop at the data.
  std::vector<uint8_t> bad = blob;
  uint32_t past = 5000;
  std::memcpy(bad.data() + 168 + 4 + 12 + 8, &past, 4);
  uint16_t many = 0xFFFF;
  std::memcpy(bad.data() + 44, &many, 2);
  std::string why;
  EXPECT_FALSE(DiskRegistryValidate(bad.data(), bad.size(), &why));
  auto j = DecodeBlob(bad.data(), bad.size(), false, why);
  EXPECT_TRUE(j["ft_sets"][0]["members"][0]["disk"].is_null());
  const std::string text = BlobText(bad.data(), bad.size(), false, why);
  EXPECT_NE(text.find("MALFORMED"), std::string::npos);
  EXPECT_NE(text.find("(no such record)"), std::string::npos);
}
