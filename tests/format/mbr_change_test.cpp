// Table sectors' changes in words, as backups and dry runs print them.
#include "mbr_change.h"

#include <gtest/gtest.h>

#include "../platform/platform_test_util.h"

TEST(MbrChange, DescribesOnlyTheSlotsThatChange) {
  const auto a = pt::TableSector({{0x06, 63, 1000, 1}});
  EXPECT_EQ(ftformat::DescribeTableChange(a, pt::TableSector({{0x06, 63, 1000, 1}, {0x05, 2000, 4000, 0}})),
            (std::vector<std::string>{"slot 1: empty -> type 0x05 start 2000 sectors 4000"}));
  std::vector<uint8_t> c = a;
  c[0x1B8] = 0x12;  // signature only
  EXPECT_EQ(ftformat::DescribeTableChange(a, c), (std::vector<std::string>{"disk signature changes"}));
  EXPECT_TRUE(ftformat::DescribeTableChange(a, a).empty());
}
