// Requests on several threads while the host's notifier delivers events: the run must
// end, leave every mask as a fresh computation gives it, and settle without new events.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "menus_util.h"

namespace {

using namespace menustest;

ZMSTATUS Control(ZM_OBJECT_ID id, uint32_t cls, uint32_t code, ZM_PROPSET in = nullptr) {
  ZM_OBJECT_ID result = 0;
  return FtDiskControl(id, cls, code, in, nullptr, 0, 0, nullptr, nullptr, &result);
}

// Waits for the host to go idle; an event storm would never let it, so give up loudly.
void SettleOrDie() {
  auto idle = std::async(std::launch::async, [] { zm::WaitIdle(); });
  if (idle.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "the host never went idle: events keep coming";
    std::_Exit(1);
  }
}

TEST(MenusUnderLoad, RefreshLettersAndMenuRequestsWhileEventsFlow) {
  Machine machine({64 * MiB}, 1);
  ASSERT_TRUE(testutil::Sfdisk(machine.image(0), "label: dos\n,16M,7,*\n,8M,6\n,,5\n,8M,7\n,8M,7\n"));
  machine.Boot();
  machine.Provider();
  SettleOrDie();

  ZM_OBJECT_ID cd = 0;
  for (ZM_OBJECT_ID v : testutil::Objects(ZM_OBJ_VOLUME))
    if (testutil::PropU64(v, "LDM_VOLUME_TYPE") == 4) cd = v;
  ASSERT_NE(cd, 0u);

  constexpr int kRounds = 15;
  std::thread refresher([] {
    for (int i = 0; i < kRounds; ++i) Control(0, OPCLASS_LAYOUT, OP_REFRESH);
  });
  std::thread letters([cd] {
    for (int i = 0; i < kRounds; ++i) {
      ZM_PROPSET in = nullptr;
      if (PsCreatePropset(&in) != 0) continue;
      testutil::AddString(in, "DRIVE_LETTER", i % 2 ? u"P:" : u"Q:");
      Control(cd, OPCLASS_VOLUME, OP_ASSIGN_DRIVE_LETTER, in);
      Control(cd, OPCLASS_VOLUME, OP_REMOVE_DRIVE_LETTER, in);
      PsDestroyPropset(in);
    }
  });
  std::thread menus([] {
    for (int i = 0; i < kRounds; ++i) Control(0, OPCLASS_VOLUME, OP_UPDATE_CONTEXT_MENUS);
  });
  refresher.join();
  letters.join();
  menus.join();
  SettleOrDie();

  // The CD-ROM ends without a letter.
  EXPECT_EQ(testutil::PropString(cd, "DRIVE_LETTER"), u"");
  EXPECT_EQ(Read(cd), (Masks{0x8000B, 0x80082, 0x3}));

  // Every object's masks are what a fresh computation gives, and recomputing all of them
  // changes nothing, so no further event is raised.
  std::vector<std::pair<ZM_OBJECT_ID, Masks>> seen;
  for (ZM_OBJECT_ID v : testutil::Objects(ZM_OBJ_VOLUME)) seen.push_back({v, Read(v)});
  for (ZM_OBJECT_ID e : testutil::Objects(ZM_OBJ_EXTENDED)) seen.push_back({e, Read(e)});
  uint64_t events = zm::EventsDelivered();
  Control(0, OPCLASS_VOLUME, OP_UPDATE_CONTEXT_MENUS);
  SettleOrDie();
  EXPECT_EQ(zm::EventsDelivered(), events);
  for (const auto& [id, masks] : seen) EXPECT_EQ(Read(id), masks) << id;
  machine.Shutdown();
}

}  // namespace
