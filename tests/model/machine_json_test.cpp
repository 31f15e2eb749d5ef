// The model as JSON: every document a command prints is written straight from it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "testutil.h"

using namespace testutil;
using nlohmann::json;

namespace {

// Every document written from the model is nlohmann's dump(2) of what it parses to: keys
// in order (the model's and a command's own merged), escapes, empty arrays, null members.
TEST(MachineJson, DocumentsAreTheDumpOfWhatTheyParseTo) {
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

}  // namespace
