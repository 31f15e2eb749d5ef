// The model as table cells: the volume table's columns picked through its column table.
#include <gtest/gtest.h>

#include "testutil.h"

using namespace testutil;

namespace {

TEST(Columns, VolumeColumnsArePickedLikeThePartitionColumns) {
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
