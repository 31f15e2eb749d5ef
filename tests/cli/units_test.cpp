// The front end's pure parts: the shell's words.
#include "../../cli/units.h"

#include <gtest/gtest.h>

#include <cstring>

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
