// What changes between two versions of a table sector, in words, for what backups and
// dry runs print.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace ftformat {

// One line per slot that differs between two versions of a table sector, e.g.
// "slot 1: empty -> type 0x06 start 2048 sectors 204800"; a sector that is a table on
// one side only, or whose change lies outside the slots, is said in one line.
std::vector<std::string> DescribeTableChange(const std::vector<uint8_t>& before,
                                             const std::vector<uint8_t>& after);

}  // namespace ftformat
