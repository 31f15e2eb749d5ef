// The front end's pure parts: sizes, status sentences, shell words.
#include "../../cli/units.h"

#include <gtest/gtest.h>

#include <cstring>

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
