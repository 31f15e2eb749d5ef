#include "tables.h"

#include <cstdio>
#include <cstring>

namespace cli {

namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string EntryText(const TableEntry& e) {
  if (e.type == 0) return "empty";
  char buf[96];
  std::snprintf(buf, sizeof buf, "type 0x%02X%s start %u sectors %u", e.type, e.boot ? " active" : "",
                e.start, e.count);
  return buf;
}

}  // namespace

bool ParseTableSector(const uint8_t* sector, size_t size, TableEntry entries[4]) {
  if (size < 512 || sector[510] != 0x55 || sector[511] != 0xAA) return false;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* p = sector + 0x1BE + 16 * i;
    entries[i].boot = p[0];
    entries[i].type = p[4];
    entries[i].start = Le32(p + 8);
    entries[i].count = Le32(p + 12);
  }
  return true;
}

std::vector<std::string> DescribeTableChange(const std::vector<uint8_t>& before,
                                             const std::vector<uint8_t>& after) {
  std::vector<std::string> lines;
  TableEntry a[4], b[4];
  bool okA = ParseTableSector(before.data(), before.size(), a);
  bool okB = ParseTableSector(after.data(), after.size(), b);
  if (!okA && !okB) {
    if (before != after) lines.push_back("contents change (no partition table before or after)");
    return lines;
  }
  if (!okA) lines.push_back("becomes a partition table (was none)");
  if (!okB) lines.push_back("stops being a partition table");
  for (int i = 0; i < 4; ++i) {
    TableEntry x = okA ? a[i] : TableEntry{}, y = okB ? b[i] : TableEntry{};
    if (x.boot != y.boot || x.type != y.type || x.start != y.start || x.count != y.count)
      lines.push_back("slot " + std::to_string(i) + ": " + EntryText(x) + " -> " + EntryText(y));
  }
  if (lines.empty() && before != after) {
    bool sigChanged = before.size() >= 0x1BC && after.size() >= 0x1BC &&
                      std::memcmp(before.data() + 0x1B8, after.data() + 0x1B8, 4) != 0;
    lines.push_back(sigChanged ? "disk signature changes" : "bytes outside the four slots change");
  }
  return lines;
}

}  // namespace cli
