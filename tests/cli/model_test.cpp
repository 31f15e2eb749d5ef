// The model as commands print it: JSON written straight from it, and the volume table's
// columns picked through its column table.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "testutil.h"

using namespace testutil;
using nlohmann::json;

namespace {

// Every document written from the model is nlohmann's dump(2) of what it parses to: keys
// in order (the model's and a command's own merged), escapes, empty arrays, null members.
TEST(CliModel, DocumentsAreTheDumpOfWhatTheyParseTo) {
  TempDir tmp;
  const std::string dir = tmp.path + "/a \"quoted\" caf\xc3\xa9";
  ASSERT_EQ(Ctl("init " + Quote(dir) + " --disk 32M --disk 32M --cdrom-empty").rc, 0);
  const std::string m = "-m " + Quote(dir) + " ";
  const char* const cases[] = {
      "--json show",
      "--json create primary --disk 0 --size 4M",
      "--json letter disk0/p1 E:",
      "--json letter cdrom0 E:",  // the letter is taken: a failure with the machine's document
      "--json --dry-run create extended --disk 0 --size max",
      "--json ft create mirror disk0/p1 --disk 1",
      "--json rescan --disk 1",
      "--json show -v",
  };
  for (const char* args : cases) {
    const Result r = Ctl(m + args);
    const json doc = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << args << ": " << r.out << r.err;
    EXPECT_EQ(r.out, doc.dump(2) + "\n") << args;
    EXPECT_EQ(doc["machine"]["dir"], dir) << args;
    // An ft request says what it did in words, as its text does.
    if (doc["ok"] == true && std::string(args).find(" ft ") != std::string::npos) {
      EXPECT_TRUE(doc["request"]["message"].is_string()) << args << ": " << doc["request"];
    }
  }
}

TEST(CliModel, VolumeColumnsArePickedLikeThePartitionColumns) {
  CtlMachine m("--disk 32M --cdrom-empty");
  ASSERT_EQ(m.On("create primary --disk 0 --size 4M").rc, 0);
  ASSERT_EQ(m.On("letter disk0/p1 E:").rc, 0);
  struct Case {
    const char* args;
    const char* volumes;  // the lines after "Volumes:", or the message on standard error
    int rc;
  };
  const Case cases[] = {
      {"show -O NAME,LETTER,MEMBERS",
       "NAME     LETTER MEMBERS\ncdrom0   C:     -\ndisk0/p1 E:     disk0/p1\n", 0},
      {"show -O members,size", "MEMBERS  SIZE\n-           -\ndisk0/p1 7.8M\n", 0},
      {"show -O NAME,BOGUS",
       "unknown column 'BOGUS' (available: NAME,KIND,LETTER,SIZE,STATE,SEV,FS,DEVICE,MEMBERS)", 2},
      {"show -O ,", "-o needs at least one column", 2},
  };
  for (const Case& c : cases) {
    const Result r = m.On(c.args);
    EXPECT_EQ(r.rc, c.rc) << c.args << ": " << r.err;
    if (c.rc != 0) {
      EXPECT_NE(r.err.find(c.volumes), std::string::npos) << c.args << ": " << r.err;
      continue;
    }
    const size_t at = r.out.find("Volumes:\n"), end = r.out.find("Health:");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(at + 9, end - at - 9), c.volumes) << c.args;
  }
  // The partition table keeps its own columns.
  EXPECT_EQ(m.On("show -O NAME -o NAME,LETTER --raw --noheadings").out, "disk0/p1 E:\nfree\n");
}

}  // namespace
