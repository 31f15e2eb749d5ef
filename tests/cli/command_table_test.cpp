// The command table seen from outside: what a command may do (and the option that
// changes it) decides what --dry-run, the shell and --image refuse; the manual's synopsis
// and the completion's words are the table's.
#include <gtest/gtest.h>

#include <sstream>

#include "testutil.h"

using namespace testutil;

namespace {

TEST(CliCommandTable, AccessDecidesWhatDryRunShellAndImagesRefuse) {
  CtlMachine m;
  const std::string image = Quote(m.dir + "/disks/disk0.img");
  const std::string nothing = "this command writes nothing",
                    outside = "writes outside them and has no dry run";
  struct Case {
    std::string args, says;  // says empty: not refused (the request itself may still fail)
  } cases[] = {
      {m.M() + "--dry-run ft verify mirror0", nothing},
      {m.M() + "--dry-run ft verify mirror0 --repair", ""},
      {m.M() + "--dry-run ft find", nothing},
      {m.M() + "--dry-run ft find --apply", ""},
      {m.M() + "--dry-run registry export x.reg", ""},
      {m.M() + "--dry-run registry export --hive x", ""},
      {m.M() + "--dry-run registry recover --list", nothing},
      {m.M() + "--dry-run registry recover", ""},
      {m.M() + "--dry-run backups prune --keep 1", ""},
      {"--dry-run init " + Quote(m.dir + "/new") + " --disk 32M", ""},
      {"--dry-run demo " + Quote(m.dir + "/new"), outside},
      {m.M() + "--dry-run volume import mirror0 /dev/null", ""},
      {"--image " + image + " ft find", ""},
      {"--image " + image + " ft find --apply", "'ft find --apply' writes"},
      {"--image " + image + " ft edit drop mirror0", "'ft edit drop' writes"},
  };
  for (const Case& c : cases) {
    const Result r = Ctl(c.args);
    if (c.says.empty())
      EXPECT_TRUE(r.rc != 2 && r.err.find("--dry-run") == std::string::npos) << c.args << "\n" << r.err;
    else
      EXPECT_TRUE(Fails(r, c.says, 2)) << c.args;
  }
  // In the shell: the commands of their own process are refused, the others run.
  const Result r = m.On("shell", "registry recover --list\nft find\nshow --list\n");
  EXPECT_NE(r.err.find("line 1: ftdiskctl: this command is not available inside the shell"),
            std::string::npos);
  EXPECT_EQ(r.err.find("line 2: ftdiskctl: this command"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("line 3:"), std::string::npos) << r.err;
}

TEST(CliCommandTable, TheManualsSynopsisIsTheTables) {
  const std::string doc = ReadFile(std::string(FTDISK_SOURCE_DIR) + "/docs/ftdiskctl.md");
  const size_t from = doc.find("## SYNOPSIS\n"), to = doc.find("\n## ", from + 1);
  ASSERT_NE(from, std::string::npos);
  std::istringstream lines(doc.substr(from, to - from));
  std::string block;
  for (std::string l; std::getline(lines, l);)
    if (l.rfind("    ", 0) == 0) block += l.substr(4) + "\n";
  const Result r = Ctl("__synopsis");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(block, r.out) << "docs/ftdiskctl.md's SYNOPSIS is the output of 'ftdiskctl __synopsis'";
}

TEST(CliCommandTable, CompletionOffersTheWordsAnOptionOrArgumentTakes) {
  const struct {
    std::string words, offered;
  } cases[] = {
      {"ft edit member mirror0 1 --state ''", "healthy\norphaned\nregenerating\ninitializing\n"},
      {"ft edit define ''", "mirror\nstripe\nparity\nvolset\n"},
      {"create l", "logical\n"},
      {"--color a", "auto\nalways\n"},
      {"-m /nonexistent registry ''", "show\nexport\nimport\nrecover\n"},
      {"-m /nonexistent ft edit ''", "define\ndrop\nmember\n"},
  };
  for (const auto& c : cases) {
    const Result r = Ctl("__complete " + c.words);
    EXPECT_EQ(r.out, c.offered) << c.words;
  }
}

// A command line builds only the commands it names; the program's help and messages
// still name every command, and an option of another command given before the command
// word still takes its value.
TEST(CliCommandTable, HelpAndMessagesOfOneCommandStillKnowEveryCommand) {
  std::vector<std::string> commands;
  std::istringstream synopsis(Ctl("__synopsis").out);
  for (std::string l; std::getline(synopsis, l);)
    if (l.rfind("ftdiskctl ", 0) == 0 && l[10] != '[') commands.push_back(l.substr(10, l.find(' ', 10) - 10));
  ASSERT_GT(commands.size(), 20u);
  const Result help = Ctl("--help"), unknown = Ctl("frob show");
  for (const std::string& c : commands) {
    EXPECT_NE(help.out.find("\n  " + c + " "), std::string::npos) << c;
    EXPECT_NE(unknown.err.find(" " + c + (c == commands.back() ? ")" : ",")), std::string::npos) << c;
  }
  EXPECT_TRUE(Fails(Ctl("--disk 3 show"), "The following arguments were not expected: 3 --disk", 2));
  EXPECT_TRUE(Fails(Ctl("registry frob"), "(the registry commands are: show, export, import, recover)", 2));
  EXPECT_NE(Ctl("volume --help").out.find("\n  export "), std::string::npos);
}

}  // namespace
