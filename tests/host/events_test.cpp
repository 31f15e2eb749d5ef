// Events: routing to registered providers, no event for an unchanged write, delivery
// on the notifier thread, WaitIdle, and concurrent writers while deliveries run.
#include <chrono>

#include "host_fixture.h"
#include "testutil.h"

using namespace hosttest;

namespace {

// A second provider, registered late, that records the objects it hears of.
std::mutex gLateMutex;
std::vector<ZM_OBJECT_ID> gLate;
ZMSTATUS LateNotify(_Zm_Notification_Header* h) {
  std::lock_guard<std::mutex> g(gLateMutex);
  gLate.push_back(h->Object);
  return 0;
}
ZMSTATUS LateEntry(const WCHAR*, uint32_t, ZM_PROVIDER_INFO* info) {
  *info = ZM_PROVIDER_INFO{};
  info->ChangeNotify = &LateNotify;
  return 0;
}

class EventsTest : public HostTest {
 protected:
  // The events delivered so far (waiting for those still queued).
  static std::vector<Notice> Delivered() {
    zm::WaitIdle();
    return Rec().Take();
  }
  // Lets earlier events go by and forgets them.
  static void Settle() {
    zm::WaitIdle();
    Rec().Reset();
  }
  static std::vector<Notice> Of(const std::vector<Notice>& all, const GUID& g) {
    std::vector<Notice> v;
    for (const auto& n : all)
      if (SameGuid(n.guid, g)) v.push_back(n);
    return v;
  }
};

TEST_F(EventsTest, ChangesRaiseNodeParentAndChildEventsOffTheChangingThread) {
  Recorder({GUID_DB_NODE_CHANGE_GUID, GUID_DB_NODE_PARENT_CHANGE_GUID, GUID_DB_NODE_CHILD_CHANGE_GUID});
  ZM_OBJECT_ID disk = Create(ZM_OBJ_DISK), part = Create(ZM_OBJ_PARTITION);
  Settle();
  uint64_t delivered = zm::EventsDelivered();

  ASSERT_EQ(SetU32(db, part, "PARTITION_NUMBER", 1), ZM_S_OK);
  ASSERT_EQ(ObAddChildObject(db, disk, part), ZM_S_OK);
  auto all = Delivered();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(Of(all, GUID_DB_NODE_CHANGE_GUID).at(0).id, part);
  EXPECT_EQ(Of(all, GUID_DB_NODE_CHILD_CHANGE_GUID).at(0).id, disk);
  EXPECT_TRUE(SameGuid(all[2].guid, GUID_DB_NODE_PARENT_CHANGE_GUID));
  EXPECT_LT(all[1].sequence, all[2].sequence);
  for (const auto& n : all) EXPECT_NE(n.thread, std::this_thread::get_id());
  EXPECT_EQ(zm::EventsDelivered(), delivered + 3);

  // Deleting the partition tells its former parent; nothing names the deleted id.
  Rec().Reset();
  ASSERT_EQ(ObDeleteObject(db, part), ZM_S_OK);
  all = Delivered();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(Of(all, GUID_DB_NODE_CHILD_CHANGE_GUID).at(0).id, disk);
}

TEST_F(EventsTest, WritesThatChangeNothingRaiseNoEvent) {
  Recorder({GUID_DB_NODE_CHANGE_GUID, GUID_DB_NODE_CHILD_CHANGE_GUID});
  ZM_OBJECT_ID a = Create(ZM_OBJ_VOLUME), b = Create(ZM_OBJ_PARTITION);
  ASSERT_EQ(SetU32(db, a, "SEVERITY", 2), ZM_S_OK);
  ASSERT_EQ(ObAddChildObject(db, a, b), ZM_S_OK);
  Settle();

  EXPECT_EQ(SetU32(db, a, "SEVERITY", 2), ZM_S_OK);
  testutil::Props set;
  testutil::AddU32(set, "SEVERITY", 2);
  EXPECT_EQ(ObSetProperties(db, a, set), ZM_S_OK);
  EXPECT_TRUE(Delivered().empty());

  // The same bytes under other flags are a change; a set with several changes is one event.
  uint32_t two = 2;
  ZM_PROPERTY flagged{"SEVERITY", ZM_TYPE_UINT32, 4, 4, &two};
  EXPECT_EQ(ObSetProperty(db, a, &flagged), ZM_S_OK);
  EXPECT_EQ(Delivered().size(), 1u);  // delivered, so the next change gets an event of its own
  testutil::AddU32(set, "STATE32", 3);
  EXPECT_EQ(ObSetProperties(db, a, set), ZM_S_OK);
  EXPECT_EQ(Delivered().size(), 2u);
}

TEST_F(EventsTest, OnlyRegisteredProvidersReceiveAndUnregisteringOrUnloadingStopsDelivery) {
  ZM_HANDLE prov = Recorder({GUID_DB_NODE_CHILD_CHANGE_GUID});
  ZM_OBJECT_ID a = Create(ZM_OBJ_DISK), b = Create(ZM_OBJ_PARTITION);
  ASSERT_EQ(SetU32(db, a, "X", 1), ZM_S_OK);
  ASSERT_EQ(ObAddChildObject(db, a, b), ZM_S_OK);
  auto all = Delivered();
  ASSERT_EQ(all.size(), 1u);  // only the child change it asked for

  uint32_t token = 0;
  ASSERT_EQ(EvRegisterEvent(prov, &GUID_ZMINITIALIZATION_COMPLETE, &token), ZM_S_OK);
  zm::InitializationComplete();
  all = Delivered();
  EXPECT_EQ(Of(all, GUID_ZMINITIALIZATION_COMPLETE).size(), 1u);

  ASSERT_EQ(EvUnregisterEvent(token), ZM_S_OK);
  EXPECT_EQ(EvUnregisterEvent(token), E_INVALIDARG_ZM);
  zm::InitializationComplete();
  EXPECT_EQ(Of(Delivered(), GUID_ZMINITIALIZATION_COMPLETE).size(), 1u);

  // Unloading withdraws the registrations before the provider is shut down.
  zm::UnloadProviders();
  size_t before = Rec().Take().size();
  ASSERT_EQ(ObAddChildObject(db, a, Create(ZM_OBJ_PARTITION)), ZM_S_OK);
  EXPECT_EQ(Delivered().size(), before);
  EXPECT_EQ(Rec().calls.back(), "Shutdown");
}

TEST_F(EventsTest, WaitIdleCoversEventsRaisedByDeliveries) {
  Recorder({GUID_DB_NODE_CHANGE_GUID});
  ZM_OBJECT_ID a = Create(ZM_OBJ_DISK);
  Settle();
  // Each delivery writes a counter, which raises the next event, up to 20.
  Rec().onNotify = [this, a](const _Zm_Notification_Header* h) {
    if (h->Object != a) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    uint32_t n = uint32_t(testutil::PropU64(a, "N"));
    if (n < 20) SetU32(db, a, "N", n + 1);
  };
  SetU32(db, a, "N", 1);
  EXPECT_EQ(Delivered().size(), 20u);
}

TEST_F(EventsTest, WritersAndALockingDeliveryDoNotDeadlock) {
  ZM_HANDLE prov = Recorder({GUID_DB_NODE_CHANGE_GUID});
  ZM_OBJECT_ID a = Create(ZM_OBJ_VOLUME), b = Create(ZM_OBJ_VOLUME);
  Settle();
  // Like a context-menu update: each delivery takes the database lock and reads.
  std::atomic<int> reads{0};
  std::atomic<uint32_t> lastA{0}, lastB{0};
  Rec().onNotify = [&](const _Zm_Notification_Header* h) {
    DbLockDatabase(prov);
    if (testutil::HasProp(h->Object, "N")) {
      ++reads;
      (h->Object == a ? lastA : lastB) = uint32_t(testutil::PropU64(h->Object, "N"));
    }
    DbUnlockDatabase(prov);
  };
  auto writer = [&](ZM_OBJECT_ID id, bool lock) {
    for (uint32_t i = 1; i <= 200; ++i) {
      if (lock) DbLockDatabase(prov);  // a refresh holding the lock while it writes
      SetU32(db, id, "N", i);
      if (lock) DbUnlockDatabase(prov);
    }
  };
  std::thread t1(writer, a, true), t2(writer, b, false);
  t1.join();
  t2.join();
  zm::WaitIdle();
  // Writes to an object whose event is still queued share that event; every delivery
  // read its object, and the last one of each object saw its last write.
  size_t delivered = Rec().Take().size();
  EXPECT_LE(delivered, 400u);
  EXPECT_EQ(size_t(reads.load()), delivered);
  EXPECT_EQ(lastA.load(), 200u);
  EXPECT_EQ(lastB.load(), 200u);
}

// Changes while an event waits share it; a change reaches every provider registered
// when it happens, also when it shares an event queued before that provider registered.
TEST_F(EventsTest, ChangesWhileAnEventWaitsShareItAndReachProvidersRegisteredSince) {
  Recorder({GUID_DB_NODE_CHANGE_GUID});
  ZM_OBJECT_ID a = Create(ZM_OBJ_VOLUME), b = Create(ZM_OBJ_VOLUME), c = Create(ZM_OBJ_VOLUME);
  Settle();
  std::atomic<bool> release{false};
  Rec().onNotify = [&](const _Zm_Notification_Header*) {
    while (!release.load()) std::this_thread::yield();
  };
  SetU32(db, b, "N", 1);  // delivered first; holds the notifier until released
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (uint32_t i = 1; i <= 50; ++i) SetU32(db, a, "N", i);
  SetU32(db, c, "N", 1);
  std::string err;
  ZM_HANDLE late = zm::RegisterProvider(&LateEntry, u"late", &err);
  ASSERT_NE(late, nullptr) << err;
  uint32_t token = 0;
  ASSERT_EQ(EvRegisterEvent(late, &GUID_DB_NODE_CHANGE_GUID, &token), ZM_S_OK);
  SetU32(db, a, "N", 51);  // shares a's waiting event
  SetU32(db, b, "N", 2);
  release = true;
  zm::WaitIdle();
  std::vector<ZM_OBJECT_ID> order;
  for (const auto& e : Rec().Take()) order.push_back(e.id);
  EXPECT_EQ(order, (std::vector<ZM_OBJECT_ID>{b, a, c, b}));
  std::lock_guard<std::mutex> g(gLateMutex);
  EXPECT_EQ(gLate, (std::vector<ZM_OBJECT_ID>{a, b})) << "c changed only before it registered";
}

// A provider that changes one object many times in a request, counts what was
// delivered meanwhile, and answers gBusyStatus.
ZM_OBJECT_ID gTarget = 0;
size_t gDeliveredDuringRequest = 0;
ZMSTATUS gBusyStatus = 0;
ZMSTATUS BusyControl(ZM_OBJECT_ID, uint32_t, uint32_t, ZM_PROPSET, ZM_PROPSET, uint32_t, uint32_t, void*,
                     ZM_PROGRESS_CALLBACK, ZM_OBJECT_ID*) {
  size_t before = Rec().Take().size();
  for (uint32_t i = 1; i <= 50; ++i) {
    SetU32(zm::Database(), gTarget, "N", i);
    std::this_thread::yield();
  }
  ObAddChildObject(zm::Database(), gTarget, [] {
    ZM_OBJECT_ID id = 0;
    ObCreateObject(zm::Database(), nullptr, ZM_OBJ_PARTITION, &id);
    return id;
  }());
  gDeliveredDuringRequest = Rec().Take().size() - before;
  return gBusyStatus;
}
ZMSTATUS BusyEntry(const WCHAR*, uint32_t, ZM_PROVIDER_INFO* info) {
  *info = ZM_PROVIDER_INFO{};
  info->Control = &BusyControl;
  return 0;
}

// A request that fails delivers what it changed all the same.
TEST_F(EventsTest, ARequestsChangesArriveWhenItIsCompleteOncePerObjectAndKind) {
  Recorder({GUID_DB_NODE_CHANGE_GUID, GUID_DB_NODE_CHILD_CHANGE_GUID});
  std::string err;
  ZM_HANDLE busy = zm::RegisterProvider(&BusyEntry, u"busy", &err);
  ASSERT_NE(busy, nullptr) << err;
  for (ZMSTATUS status : {ZMSTATUS(0), ZMSTATUS(0xC1000001)}) {
    gTarget = Create(ZM_OBJ_VOLUME);
    gBusyStatus = status;
    Settle();
    EXPECT_EQ(PrCallProvider(busy, 0, 0, 0, nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr), status);
    EXPECT_EQ(gDeliveredDuringRequest, 0u);
    auto all = Delivered();
    ASSERT_EQ(all.size(), 3u) << "node changes of the target and the new partition, one child change";
    EXPECT_EQ(all[0].id, gTarget);
    EXPECT_EQ(Of(all, GUID_DB_NODE_CHILD_CHANGE_GUID).at(0).id, gTarget);
  }
}

}  // namespace
