// The FT requests as the program carries them out (ftdata/requests): a dry run says in
// the conditional what each would do, the data pass it would leave out included, and a
// request refused by its checks prints no request document and keeps no backup.
#include <gtest/gtest.h>

#include "testutil.h"

namespace {

using nlohmann::json;
using namespace testutil;

TEST(FtRequests, DryRunsSayWhatTheyWouldDoAndRefusalsStartNothing) {
  CtlMachine m{"--disk 64M --disk 64M"};
  ASSERT_EQ(m.On("create primary --disk 0 --size 20M").rc, 0);
  ASSERT_EQ(m.On("create primary --disk 1 --size 20M").rc, 0);
  struct Case {
    std::string args, says;
  };
  const Case kBeforeDefine[] = {{"ft edit define mirror disk0/p1 disk1/p1", "would define mirror0 "}};
  for (const auto& c : kBeforeDefine) {
    Result r = m.On("--dry-run " + c.args);
    EXPECT_EQ(r.rc, 0) << c.args << ": " << r.err;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << ": " << r.out;
  }
  ASSERT_EQ(m.On("ft edit define mirror disk0/p1 disk1/p1").rc, 0);  // initializing
  const Case kDefined[] = {
      {"ft regenerate mirror0", "would initialize mirror0\n"},
      {"ft edit member mirror0 1 --state orphaned", "member 1 of mirror0 would be orphaned\n"},
      {"ft edit drop mirror0", "would drop mirror0"}};
  for (const auto& c : kDefined) {
    Result r = m.On("--dry-run " + c.args);
    EXPECT_EQ(r.rc, 0) << c.args << ": " << r.err;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << ": " << r.out;
  }
  // The data pass a dry run leaves out is named on standard error.
  EXPECT_NE(m.On("--dry-run ft regenerate mirror0")
                .err.find("dry run: the data pass (copying member 0 to member 1"),
            std::string::npos);

  // Refused by the checks: the reason alone, no request in the document, no backup.
  const std::string backups = m.On("backups --json").out;
  for (const std::string args :
       {"ft delete mirror7", "ft regenerate mirror0 5 --onto 1", "ft extend mirror0 --disk 1 --size 4M"}) {
    Result r = m.On(args + " --json");
    EXPECT_EQ(r.rc, 1) << args;
    const json doc = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << args << ": " << r.out;
    EXPECT_FALSE(doc.contains("request")) << args << ": " << r.out;
  }
  EXPECT_EQ(m.On("backups --json").out, backups) << "a refused request keeps no backup";
}

}  // namespace
