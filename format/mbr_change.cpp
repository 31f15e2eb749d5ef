#include "mbr_change.h"

#include <cstdio>

#include "mbr.h"

namespace ftformat {

namespace {

std::string EntryText(const MbrEntry& e) {
  if (e.type == 0) return "empty";
  char buf[96];
  std::snprintf(buf, sizeof buf, "type 0x%02X%s start %u sectors %u", e.type, e.boot ? " active" : "",
                e.start, e.count);
  return buf;
}

}  // namespace

std::vector<std::string> DescribeTableChange(const std::vector<uint8_t>& before,
                                             const std::vector<uint8_t>& after) {
  std::vector<std::string> lines;
  MbrEntry a[4], b[4];
  bool okA = ReadMbrSlots(before.data(), before.size(), a);
  bool okB = ReadMbrSlots(after.data(), after.size(), b);
  if (!okA && !okB) {
    if (before != after) lines.push_back("contents change (no partition table before or after)");
    return lines;
  }
  if (!okA) lines.push_back("becomes a partition table (was none)");
  if (!okB) lines.push_back("stops being a partition table");
  for (int i = 0; i < 4; ++i) {
    MbrEntry x = okA ? a[i] : MbrEntry{}, y = okB ? b[i] : MbrEntry{};
    if (x.boot != y.boot || x.type != y.type || x.start != y.start || x.count != y.count)
      lines.push_back("slot " + std::to_string(i) + ": " + EntryText(x) + " -> " + EntryText(y));
  }
  if (lines.empty() && before != after) {
    const size_t end = kMbrSignatureOffset + 4;
    bool sigChanged = before.size() >= end && after.size() >= end &&
                      MbrSignature(before.data(), before.size()) != MbrSignature(after.data(), after.size());
    lines.push_back(sigChanged ? "disk signature changes" : "bytes outside the four slots change");
  }
  return lines;
}

}  // namespace ftformat
