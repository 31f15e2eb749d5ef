// The model as table cells: sizes in the units asked for, and the volume table's columns
// picked through its column table.
#include "columns.h"

#include <gtest/gtest.h>

#include "testutil.h"

using namespace testutil;

namespace {

// Sizes count in lsblk's units, in bytes, or in the disk's own sectors and cylinders: a
// disk of 4096-byte sectors and 8 MiB cylinders tells them apart from the usual geometry.
TEST(Columns, SizeCellsCountInTheUnitsAsked) {
  model::Machine m;
  model::Disk d;
  d.id = 1;
  d.bytesPerSector = 4096;
  d.sectorsPerTrack = 32;
  d.tracksPerCylinder = 64;
  const uint64_t cylinder = 8 << 20;
  model::Region r;
  r.id = 2;
  r.type = ZM_OBJ_PARTITION;
  r.kind = "primary";
  r.offset = cylinder + 3 * 4096;
  r.length = 2 * cylinder;
  r.volume = 3;
  d.regions.push_back(r);
  m.disks.push_back(d);
  model::Volume v;
  v.id = 3;
  v.length = r.length;
  m.volumes.push_back(v);
  struct Case {
    model::SizeUnits units;
    const char *start, *end, *size;
  };
  const Case cases[] = {
      {{}, "8M", "24M", "16M"},
      {{.bytes = true}, "8400896", "25178112", "16777216"},
      {{.sectors = true}, "2051", "6147", "4096"},
      {{.cylinders = true}, "1+3s", "3+3s", "2"},
  };
  const auto regionCols = model::PickRegionColumns("start,end,size", false);
  const auto volumeCols = model::PickVolumeColumns("SIZE", false);
  ASSERT_EQ(regionCols.size(), 3u);
  ASSERT_EQ(volumeCols.size(), 1u);
  for (const Case& c : cases) {
    EXPECT_EQ(regionCols[0]->cell(m, m.disks[0].regions[0], c.units), c.start);
    EXPECT_EQ(regionCols[1]->cell(m, m.disks[0].regions[0], c.units), c.end);
    EXPECT_EQ(regionCols[2]->cell(m, m.disks[0].regions[0], c.units), c.size);
    EXPECT_EQ(volumeCols[0]->cell(m, m.volumes[0], c.units), c.size);
  }
}

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
