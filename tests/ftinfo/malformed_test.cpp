// Blobs that lie about their counts, offsets or sizes are refused before any record is
// used, and nothing that is accepted can make the model read or write outside it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "blob_builder.h"
#include "ftinfo.h"
#include "ftvol.h"

using namespace blobtest;

namespace {

constexpr uint32_t kSigA = 0x0A0A0A0A, kSigB = 0x0B0B0B0B;

// 216 bytes: disk part at 44 (descriptions at 48 and 108, records at 56 and 116), FT
// part at 168 (set at 172, members at 184 and 200 pointing at 56 and 116).
std::vector<uint8_t> Mirror() {
  return Build({{kSigA, {{.start = 32256, .length = 100, .letter = 'E', .assign = 1}}},
                {kSigB, {{.start = 32256, .length = 100}}}},
               {{.type = 0, .members = {{0, 0}, {1, 0}}}});
}

struct Mutation {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> apply;
};

// The FT part moved in front of the disk part: each part is sound, but the used
// length (end of the FT part) no longer covers the disk part.
void SwapParts(std::vector<uint8_t>& b) {
  std::vector<uint8_t> out(b.begin(), b.begin() + 44);
  out.insert(out.end(), b.begin() + 168, b.end());
  out.insert(out.end(), b.begin() + 44, b.begin() + 168);
  Put32(out, 12, 44 + 48);
  Put32(out, 20, 44);
  Put32(out, 44 + 4 + 12 + 8, 56 + 48);
  Put32(out, 44 + 4 + 12 + 16 + 8, 116 + 48);
  b = out;
}

const std::vector<Mutation>& Mutations() {
  static const std::vector<Mutation> list = {
      {"disk count larger than the data", [](auto& b) { Put16(b, 44, 3); }},
      {"partition count at its maximum", [](auto& b) { Put16(b, 108, 0xFFFF); }},
      {"FT part ends past the blob", [](auto& b) { Put32(b, 24, 49); }},
      {"member count larger than the data", [](auto& b) { Put16(b, 172, 3); }},
      {"member offset at the top of the range", [](auto& b) { Put32(b, 208, 0xFFFFFFFF); }},
      {"member offset inside a record", [](auto& b) { Put32(b, 192, 60); }},
      {"member offset on a description header", [](auto& b) { Put32(b, 208, 108); }},
      {"disk part offset wrapping around", [](auto& b) { Put32(b, 12, 0xFFFFFFF0); }},
      {"disk part offset not aligned", [](auto& b) { Put32(b, 12, 45); }},
      {"FT part overlapping the disk part", [](auto& b) { Put32(b, 20, 120); }},
      {"FT part inside the header",
       [](auto& b) {
         Put32(b, 20, 0);
         Put32(b, 24, 8);
       }},
      {"member on another disk than its record", [](auto& b) { Put32(b, 204, kSigA); }},
      {"FT part in front of the disk part", SwapParts},
  };
  return list;
}

TEST(FtInfoMalformed, RefusedWithAReasonAndTheObjectKept) {
  const auto good = Build({{kSigA, {{.start = 1, .length = 2}}}}, {}, false);
  for (const Mutation& m : Mutations()) {
    auto bad = Mirror();
    m.apply(bad);
    FTInfo info;
    ASSERT_TRUE(info.Load(good.data(), uint32_t(good.size())));
    EXPECT_FALSE(info.Load(bad.data(), uint32_t(bad.size()))) << m.name;
    EXPECT_EQ(info.LastLoadResult(), FTLoadResult::Malformed) << m.name;
    EXPECT_FALSE(info.LastLoadError().empty()) << m.name;
    EXPECT_EQ(Bytes(info), good) << m.name;
    // A rebuild whose scanned blob is malformed changes nothing either.
    EXPECT_TRUE(info.Rebuild(bad.data(), uint32_t(bad.size()))) << m.name;
    EXPECT_EQ(Bytes(info), good) << m.name;
  }
}

// Walks everything an accepted blob offers, changes letters and merges it, so the
// sanitizers see every access the model can make on it.
void Exercise(FTInfo& info, const std::vector<uint8_t>& scan) {
  FTDiskIterator di(info);
  for (di.First(); !di.IsDone(); di.Next()) {
    Ptr<FTDisk> d(di.CurrentItem());
    if (!d) continue;
    FTPartitionIterator pi(*d);
    for (pi.First(); !pi.IsDone(); pi.Next()) {
      Ptr<FTPartition> p(pi.CurrentItem());
      if (!p) continue;
      info.AssignDriveLetter(d->GetSignature(), p->GetStartingOffset(), p->GetLength(), 'X');
      p->SetFtGroup(p->GetFtGroup());
    }
  }
  FTVolumeIterator vi(info);
  for (vi.First(); !vi.IsDone(); vi.Next()) {
    Ptr<FTVolume> v(vi.CurrentItem());
    if (!v) continue;
    (void)v->GetLength();
    (void)v->GetState();
    v->AssignDriveLetter(' ');
    FTMemberIterator mi(*v);
    for (mi.First(); !mi.IsDone(); mi.Next()) {
      Ptr<FTMember> m(mi.CurrentItem());
      if (m) m->SetDriveLetter('Y');
    }
  }
  FTInfo copy;
  copy = info;
  copy.Rebuild(scan.data(), uint32_t(scan.size()));
  EXPECT_LE(copy.UsedLength(), 1u << 20);
}

TEST(FtInfoMalformed, EveryByteAndEveryLength) {
  const auto base = Mirror();
  const auto scan = Build({{kSigA, {{.start = 32256, .length = 100}}}}, {}, false);
  unsigned accepted = 0;
  for (size_t i = 0; i < base.size(); ++i) {
    for (uint8_t v : {uint8_t(0x00), uint8_t(0x01), uint8_t(0x34), uint8_t(0x7F), uint8_t(0xFF),
                      uint8_t(base[i] ^ 0x04)}) {
      auto b = base;
      b[i] = v;
      FTInfo info;
      if (!info.Load(b.data(), uint32_t(b.size()))) continue;
      ++accepted;
      Exercise(info, scan);
      // The scan merged into this configuration must itself be a sound blob.
      FTInfo check;
      if (info.Rebuild(scan.data(), uint32_t(scan.size())) && info.Blob()) {
        EXPECT_TRUE(check.Load(info.Blob(), info.UsedLength())) << i << " " << int(v);
      }
    }
  }
  EXPECT_GT(accepted, 0u);
  for (size_t n = 1; n < base.size(); ++n) {
    FTInfo info;
    EXPECT_FALSE(info.Load(base.data(), uint32_t(n))) << n;
  }
}

}  // namespace
