// check's rules over machines described in memory: which findings a change of the disks
// or the configuration gives, about which object, and the advice that comes with them.
#include "ftcheck.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using ftconfig::CheckInput;
using ftformat::BlobDisk;
using ftformat::BlobPartition;
using ftformat::BlobSet;
constexpr int64_t M = 1 << 20;

// Disks 0 and 1 (signatures 0x100, 0x200), each with a partition at 1 MiB of 10 MiB,
// recorded as the members of one set (of type `type`, member 1 in state member1), and
// a plain partition at 20 MiB on disk 0 recorded too.
struct Machine {
  std::vector<BlobDisk> disks;
  std::vector<BlobSet> sets;
  CheckInput in;

  explicit Machine(uint16_t type = Mirror, uint32_t member1 = Healthy, uint32_t setState = FtStateOk) {
    for (unsigned d = 0; d < 2; ++d) {
      disks.push_back({0x100u * (d + 1),
                       {{type, d ? member1 : uint32_t(Healthy), M, 10 * M, 0, 0, 0, 0, 0, uint16_t(d)}}});
      in.disks.push_back({d, 0x100u * (d + 1), "/images/disk" + std::to_string(d)});
      in.partitions.push_back({d, 1, M, 10 * M, true});
    }
    disks[0].partitions.push_back({.offset = 20 * M, .length = 10 * M});
    in.partitions.push_back({0, 2, 20 * M, 10 * M, true});
    sets.push_back({type, setState, {{0, 0}, {1, 0}}});
  }
  // The input with the configuration built from disks and sets.
  const CheckInput& Input() {
    in.blob = ftformat::BuildBlob(disks, sets);
    std::string why;
    in.stored = true;
    in.readable = ftformat::ReadConfigView(in.blob.data(), in.blob.size(), &in.view, &why);
    EXPECT_TRUE(in.readable) << why;
    in.journals.resize(in.view.sets.size());
    return in;
  }
  void DropDisk(unsigned d) {
    std::erase_if(in.disks, [&](const CheckInput::Disk& x) { return x.index == d; });
    std::erase_if(in.partitions, [&](const ftconfig::DiskPartition& p) { return p.disk == d; });
  }
};

// "kind object" of each finding, and every message with its advice.
std::pair<std::vector<std::string>, std::string> Findings(const CheckInput& in) {
  std::vector<std::string> found;
  std::string advice;
  for (const auto& f : ftconfig::Check(in)) {
    found.push_back(ftconfig::KindName(f.kind) + " " + f.object);
    advice += f.message + ": " + f.action + "\n";
  }
  return {found, advice};
}

TEST(FtCheck, EachRuleNamesItsObjectAndTheWayBack) {
  struct Case {
    const char* what;
    std::function<void(Machine&)> change;
    std::vector<std::string> found;
    const char* advice;  // a part of a message or its advice ("" for none)
    uint16_t type = Mirror;
  } cases[] = {
      {"clean", [](Machine&) {}, {}, ""},
      {"a mirror's disk away: rebuilt elsewhere, no disk here has room",
       [](Machine& m) { m.DropDisk(1); },
       {"missing_disk mirror0 member 1", "degraded mirror0"},
       "attach a disk with 10485760 bytes free (10M) and run ftdiskctl ft regenerate mirror0 1 --onto DISK"},
      {"a stripe set's disk away: what cannot be read, nothing to rebuild",
       [](Machine& m) { m.DropDisk(1); },
       {"missing_disk stripe0 member 1", "degraded stripe0"},
       "volume export stripe0 FILE --allow-holes",
       Stripe},
      {"a member's partition moved on its disk",
       [](Machine& m) { m.in.partitions[1].offset = 30 * M; },
       {"moved_member mirror0 member 1", "degraded mirror0", "unrecorded_partition disk1/p1"},
       "restore the partition table from a backup (ftdiskctl restore), or rebuild the member"},
      {"a member's partition gone",
       [](Machine& m) { m.in.partitions[1].length = 5 * M; },
       {"missing_member mirror0 member 1", "degraded mirror0", "unrecorded_partition disk1/p1"},
       "--onto DISK"},
      {"an orphaned member that is there is regenerated in place",
       [](Machine& m) {
         m.disks[1].partitions[0].ftState = Orphaned;
         m.sets[0].state = FtHasOrphan;
       },
       {"orphaned_member mirror0 member 1", "degraded mirror0"},
       "ftdiskctl ft regenerate mirror0 1\n"},
      {"an unfinished import",
       [](Machine& m) {
         m.Input();
         m.in.journals[0].importing = true;
         m.in.journals[0].source = "-";
       },
       {"unfinished_import mirror0"},
       "ftdiskctl volume import mirror0 FILE"},
      {"a disk without a signature, two disks with one",
       [](Machine& m) {
         m.in.disks[0].signature = 0;
         m.in.disks.push_back({2, 0x200, "/images/disk2"});
       },
       {"zero_signature disk0", "duplicate_signature disk1, disk2", "missing_disk mirror0 member 0",
        "degraded mirror0", "missing_disk disk 00000100 at offset 20971520 (10485760 bytes)",
        "unrecorded_partition disk0/p1", "unrecorded_partition disk0/p2"},
       "ftdiskctl attach --write-signature /images/disk0"},
      {"records without partitions, partitions without records",
       [](Machine& m) {
         m.disks[1].partitions.push_back({.offset = 40 * M, .length = M});
         m.disks.push_back({0x300, {{.offset = M, .length = M}}});
         m.in.partitions.push_back({1, 5, 50 * M, M, true});
         m.in.partitions.push_back({1, 6, 60 * M, M, false});
       },
       {"stale_record disk1 at offset 41943040 (1048576 bytes)",
        "missing_disk disk 00000300 at offset 1048576 (1048576 bytes)", "unrecorded_partition disk1/p5"},
       "rescan"},
      {"one letter twice, a disk described twice",
       [](Machine& m) {
         m.disks[0].partitions[1].letter = 'E';
         m.disks[0].partitions[1].assign = 1;
         m.in.letters.push_back({"\\Device\\CdRom0", 'E'});
         m.disks.push_back({0x200, {}});
       },
       {"letter_twice E:", "duplicate_record disk1"},
       "the letter is recorded for 2 objects: disk0/p2, \\Device\\CdRom0"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m(c.type);
    c.change(m);
    if (!m.in.readable) m.Input();
    const auto [found, advice] = Findings(m.in);
    EXPECT_EQ(found, c.found);
    EXPECT_NE(advice.find(c.advice), std::string::npos) << advice;
  }
}

// A stored configuration that cannot be read is reported alone (nothing is compared
// with it), and so are pending requests that cannot be read.
TEST(FtCheck, AnUnreadableConfigurationIsReportedNotCompared) {
  Machine m;
  m.DropDisk(1);
  m.in.stored = true;
  m.in.malformed = "the FT part lies outside the value (at byte 24)";
  EXPECT_EQ(Findings(m.in).first, std::vector<std::string>{"malformed Information"});
  m.in.stored = false;
  EXPECT_TRUE(Findings(m.in).first.empty()) << "nothing stored yet: nothing to check";

  Machine requests;
  requests.Input();
  requests.in.intentsUnreadable = true;
  requests.in.intentsWhy = "the pending FT requests are damaged";
  const auto findings = ftconfig::Check(requests.in);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].object, "Requests");
  EXPECT_EQ(findings[0].message, requests.in.intentsWhy);
}

}  // namespace
