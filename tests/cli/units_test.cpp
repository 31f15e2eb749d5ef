// The front end's pure parts: shell words, table changes and the configuration blob.
#include "../../cli/units.h"

#include <gtest/gtest.h>

#include <cstring>

#include "../../cli/regblob.h"
#include "../../cli/tables.h"
#include "../platform/platform_test_util.h"
#include "diskreg.h"

using namespace cli;

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
