#include "ftfixture.h"

#include <string>

#include "diskreg.h"
#include "fdiskreg.h"
#include "ftdisk.h"
#include "provider.h"

namespace ftt {

namespace {

const char kDisk0[] =
    "label: dos\nlabel-id: 0x11111111\nunit: sectors\n\n"
    "start=63, size=16002, type=7\n"
    "start=16065, size=16065, type=7\n"
    "start=32130, size=48195, type=5\n"
    "start=32193, size=16002, type=7\n";
const char kDisk1[] =
    "label: dos\nlabel-id: 0x22222222\nunit: sectors\n\n"
    "start=63, size=16002, type=7\n"
    "start=16065, size=16065, type=7\n"
    "start=32130, size=16065, type=7\n"
    "start=48195, size=32130, type=7\n";

}  // namespace

void FtTest::SetUp() {
  machine =
      std::make_unique<testutil::Machine>(std::vector<uint64_t>{64 * testutil::MiB, 64 * testutil::MiB});
  ASSERT_TRUE(testutil::Sfdisk(machine->image(0), kDisk0));
  ASSERT_TRUE(testutil::Sfdisk(machine->image(1), kDisk1));
  machine->Boot();
  machine->Provider();
}

void FtTest::TearDown() { machine.reset(); }

ZM_OBJECT_ID FtTest::Partition(unsigned disk, unsigned number) const {
  const std::u16string want = u"\\Device\\Harddisk" + testutil::Widen(std::to_string(disk)) + u"\\Partition" +
                              testutil::Widen(std::to_string(number));
  for (ZM_OBJECT_ID p : testutil::Objects(ZM_OBJ_PARTITION))
    if (testutil::PropString(p, "\\Device\\") == want) return p;
  return 0;
}

uint32_t FtTest::Signature(unsigned disk) const {
  return static_cast<uint32_t>(testutil::PropU64(testutil::DiskObject(disk), "SIGNATURE"));
}

std::vector<ZM_OBJECT_ID> FtTest::FtVolumes() const {
  std::vector<ZM_OBJECT_ID> v;
  for (ZM_OBJECT_ID id : testutil::Objects(ZM_OBJ_VOLUME)) {
    const uint64_t t = testutil::PropU64(id, "LDM_VOLUME_TYPE");
    if (t >= 5 && t <= 8) v.push_back(id);
  }
  return v;
}

ftblob::Config FtTest::MirrorConfig(uint16_t group) const {
  return {{{Signature(0), {Member(P1, Mirror, group, 0), Plain(P2)}},
           {Signature(1), {Member(Q1, Mirror, group, 1)}}},
          {ftblob::FtSet(Mirror, FtStateOk, {{0, 0}, {1, 0}})}};
}

ZMSTATUS FtTest::Publish(const ftblob::Config& c) {
  ftblob::Store(ftblob::Build(c));
  return AddFtObjectsToDatabase();
}

std::vector<ZM_OBJECT_ID> FtTest::FtParents(ZM_OBJECT_ID partition) const {
  std::vector<ZM_OBJECT_ID> v;
  for (ZM_OBJECT_ID id : testutil::Parents(partition, ZM_OBJ_VOLUME)) {
    const uint64_t t = testutil::PropU64(id, "LDM_VOLUME_TYPE");
    if (t >= 5 && t <= 8) v.push_back(id);
  }
  return v;
}

void FtTest::StoreScannedMirror() const {
  ftblob::Erase();
  UpdateRegistry();
  ftblob::Config c = ftblob::Parse(ftblob::Stored());
  ftblob::Set mirror = ftblob::FtSet(Mirror, FtStateOk, {{}, {}});
  for (unsigned d = 0; d < c.disks.size(); ++d)
    for (unsigned i = 0; i < c.disks[d].parts.size(); ++i) {
      ftblob::Part& p = c.disks[d].parts[i];
      const unsigned member = c.disks[d].signature == Signature(0) ? 0 : 1;
      if (p.start != (member == 0 ? P1 : Q1).start) continue;
      p.ftType = Mirror;
      p.group = 0;
      p.member = static_cast<uint16_t>(member);
      mirror.members[member] = {d, i};
    }
  c.sets = {mirror};
  ftblob::Store(ftblob::Build(c));
  ASSERT_EQ(0u, AddFtObjectsToDatabase());
}

ZMSTATUS Letter(ZM_HANDLE provider, ZM_OBJECT_ID volume, const char16_t* letter) {
  testutil::Props in, out;
  if (letter != nullptr) testutil::AddString(in, "DRIVE_LETTER", letter);
  ZM_OBJECT_ID result = 0;
  ZMSTATUS s =
      zm::Control(provider, volume, OPCLASS_VOLUME,
                  letter != nullptr ? OP_ASSIGN_DRIVE_LETTER : OP_REMOVE_DRIVE_LETTER, in, out, &result);
  zm::WaitIdle();
  return s;
}

ZM_OBJECT_ID CdromVolume() {
  for (ZM_OBJECT_ID v : testutil::Objects(ZM_OBJ_VOLUME))
    if (testutil::PropU64(v, "LDM_VOLUME_TYPE") == 4) return v;
  return 0;
}

}  // namespace ftt
