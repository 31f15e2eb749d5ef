// The front end's JSON documents: every one carries "ok" and "error".
#include "../../cli/jsonout.cpp"

#include <gtest/gtest.h>

#include <sstream>

using cli::json;

TEST(CliJsonOut, PrintedDocumentsCarryOkAndErrorAndEndWithANewline) {
  std::ostringstream ok, failed;
  cli::PrintJsonResult(ok, json{{"n", 1}});
  EXPECT_EQ(ok.str(), json({{"n", 1}, {"ok", true}, {"error", nullptr}}).dump(2) + "\n");
  cli::PrintJsonFailure(failed, "no such disk", 5);
  EXPECT_EQ(failed.str(),
            json({{"ok", false}, {"error", {{"message", "no such disk"}, {"status", 5}}}}).dump(2) + "\n");
}
