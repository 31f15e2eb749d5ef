// Requests of the partition tests and their checks: each request's one alert, the
// table as sfdisk reads it, and the bytes of partitions the request did not name.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "layout.h"
#include "layout_fixture.h"

namespace requests {

using namespace fixture;
using testutil::Children;
using testutil::Parents;
using testutil::PropU64;
constexpr uint64_t K = kCylSectors;

struct Outcome {
  ZMSTATUS status = 0;
  ZM_OBJECT_ID member = 0;
};

inline Outcome Create(ZM_OBJECT_ID disk, uint32_t type, uint64_t offset, uint64_t length) {
  testutil::Props in, out;
  testutil::AddU64(in, "OFFSET_LL", offset);
  testutil::AddU64(in, "LENGTH_LL", length);
  testutil::AddU32(in, "REGION_TYPE", type);
  Outcome o;
  o.status = LdmCreatePartition(in, out, disk);
  ZM_PROPERTY* r = nullptr;
  if (PsFindProperty(out, "MEMBERID", &r) == 0 && r != nullptr && r->Type == ZM_TYPE_OBJECT_ID)
    memcpy(&o.member, r->Value, 8);
  _ZmFree(r, __FILE__, __LINE__);
  return o;
}

inline ZMSTATUS Delete(ZM_OBJECT_ID id) {
  ZM_OBJECT_ID result = 0;
  return LdmDeletePartition(id, &result);
}

// Checks that exactly one alert was raised since `before`, of the given kind, with the
// disk's device as its insert.
inline void ExpectOneAlert(size_t before, const GUID& kind,
                           const std::u16string& insert = u"\\Device\\Harddisk0") {
  zm::WaitIdle();
  auto alerts = zm::Alerts();
  ASSERT_EQ(alerts.size(), before + 1);
  EXPECT_EQ(memcmp(&alerts.back().kind, &kind, sizeof(GUID)), 0);
  ASSERT_EQ(alerts.back().inserts.size(), 1u);
  EXPECT_EQ(alerts.back().inserts[0], insert);
}

// The table as sfdisk reads it agrees with the database.
inline void ExpectAgreement(const Disk& d) {
  auto table = SfdiskData(d.image());
  EXPECT_FALSE(table.empty()) << "sfdisk reads no table";
  EXPECT_EQ(table, DatabaseData(d.disk()));
}

// Hashes of the data partitions as sfdisk sees them, keyed by (start, size).
inline std::map<std::pair<uint64_t, uint64_t>, uint64_t> DataHashes(const Disk& d) {
  std::map<std::pair<uint64_t, uint64_t>, uint64_t> m;
  for (auto& p : SfdiskData(d.image())) m[p] = Hash(d, p.first, p.second);
  return m;
}

// Every partition in `before` that is still in the table kept every byte; returns how
// many survived.
inline size_t ExpectSurvivorsIntact(const Disk& d,
                                    const std::map<std::pair<uint64_t, uint64_t>, uint64_t>& before) {
  size_t survivors = 0;
  for (auto& p : SfdiskData(d.image())) {
    auto it = before.find(p);
    if (it == before.end()) continue;
    ++survivors;
    EXPECT_EQ(Hash(d, p.first, p.second), it->second) << "partition at " << p.first << " changed";
  }
  return survivors;
}

// Fills each data partition with its own pattern (first and last 64 KiB and one sector
// in the middle; the hashes cover the whole partition).
inline void FillPartitions(const Disk& d) {
  uint32_t seed = 1;
  for (auto& p : SfdiskData(d.image())) {
    const uint64_t chunk = 64 * 1024;
    d.Write(p.first, Pattern(chunk, seed++));
    d.Write(p.first + p.second / 2, Pattern(kSector, seed++));
    d.Write(p.first + p.second - chunk, Pattern(chunk, seed++));
  }
}

}  // namespace requests
