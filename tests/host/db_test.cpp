// Object database: listings, links, properties, records and the database lock.
#include <chrono>
#include <cstring>

#include "host_fixture.h"
#include "testutil.h"

using namespace hosttest;

namespace {

using DbTest = HostTest;

TEST_F(DbTest, ListingsKeepCreationAndLinkOrderAndFilterByType) {
  EXPECT_TRUE(testutil::Objects(ZM_OBJ_ANY).empty());
  ZM_OBJECT_ID d1 = Create(ZM_OBJ_DISK), p1 = Create(ZM_OBJ_PARTITION), d2 = Create(ZM_OBJ_DISK);
  ZM_OBJECT_ID f1 = Create(ZM_OBJ_FREE_SPACE), p2 = Create(ZM_OBJ_PARTITION);
  EXPECT_EQ(testutil::Objects(ZM_OBJ_ANY), (std::vector<ZM_OBJECT_ID>{d1, p1, d2, f1, p2}));
  EXPECT_EQ(testutil::Objects(ZM_OBJ_DISK), (std::vector<ZM_OBJECT_ID>{d1, d2}));

  // Link order, not id order.
  ASSERT_EQ(ObAddChildObject(db, d1, p2), ZM_S_OK);
  ASSERT_EQ(ObAddChildObject(db, d1, f1), ZM_S_OK);
  ASSERT_EQ(ObAddChildObject(db, d1, p1), ZM_S_OK);
  ASSERT_EQ(ObAddChildObject(db, d1, p1), ZM_S_OK);  // twice is once
  EXPECT_EQ(testutil::Children(d1), (std::vector<ZM_OBJECT_ID>{p2, f1, p1}));
  EXPECT_EQ(testutil::Children(d1, ZM_OBJ_PARTITION), (std::vector<ZM_OBJECT_ID>{p2, p1}));

  // Several parents.
  ZM_OBJECT_ID vol = Create(ZM_OBJ_VOLUME);
  ASSERT_EQ(ObAddChildObject(db, vol, p1), ZM_S_OK);
  EXPECT_EQ(testutil::Parents(p1), (std::vector<ZM_OBJECT_ID>{d1, vol}));

  uint32_t n = 7;
  ZM_OBJECT_ID* ids = reinterpret_cast<ZM_OBJECT_ID*>(&n);
  EXPECT_EQ(ObGetChildObjects(db, 12345, 0, &n, &ids), ZM_E_NO_OBJECT);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(ids, nullptr);
  EXPECT_EQ(ObGetChildObjects(reinterpret_cast<ZM_HANDLE>(&n), d1, 0, &n, &ids), ZM_E_INVALID_HANDLE);
}

TEST_F(DbTest, CyclesAreRefusedAndDeletionRemovesLinksKeepsChildrenAndNeverReusesIds) {
  ZM_OBJECT_ID disk = Create(ZM_OBJ_DISK), ext = Create(ZM_OBJ_EXTENDED), log = Create(ZM_OBJ_PARTITION);
  ZM_OBJECT_ID vol = Create(ZM_OBJ_VOLUME);
  ASSERT_EQ(ObAddChildObject(db, disk, ext), ZM_S_OK);
  ASSERT_EQ(ObAddChildObject(db, ext, log), ZM_S_OK);
  ASSERT_EQ(ObAddChildObject(db, vol, log), ZM_S_OK);
  // Links that close a cycle are refused.
  EXPECT_EQ(ObAddChildObject(db, log, disk), E_INVALIDARG_ZM);
  EXPECT_EQ(ObAddChildObject(db, ext, ext), E_INVALIDARG_ZM);
  EXPECT_TRUE(testutil::Children(log).empty());
  ASSERT_EQ(ObDeleteObject(db, ext), ZM_S_OK);
  EXPECT_EQ(ObDeleteObject(db, ext), ZM_E_NO_OBJECT);
  EXPECT_TRUE(testutil::Children(disk).empty());
  EXPECT_EQ(testutil::Parents(log), (std::vector<ZM_OBJECT_ID>{vol}));
  EXPECT_EQ(testutil::Objects(ZM_OBJ_ANY), (std::vector<ZM_OBJECT_ID>{disk, log, vol}));
  EXPECT_EQ(ObAddChildObject(db, ext, log), ZM_E_NO_OBJECT);
  EXPECT_GT(Create(ZM_OBJ_EXTENDED), vol);

  ASSERT_EQ(ObRemoveChildObject(db, vol, log), ZM_S_OK);
  EXPECT_TRUE(testutil::Parents(log).empty());
  EXPECT_EQ(ObRemoveChildObject(db, vol, log), ZM_S_OK);  // not linked: nothing to do
}

TEST_F(DbTest, PropertiesAreCheckedCopiedReplacedAndReturnedAsOneFreeableBlock) {
  ZM_OBJECT_ID id = Create(ZM_OBJ_PARTITION);
  char16_t text[] = u"Primary Partition";
  char name[] = "NAME";
  ZM_PROPERTY r{name, ZM_TYPE_STRING, 0, sizeof text, text};
  ASSERT_EQ(ObSetProperty(db, id, &r), ZM_S_OK);
  // The caller's buffers may change or vanish after the call.
  text[0] = u'X';
  name[0] = 'Z';
  uint64_t before = zm::OutstandingBlocks();
  ZM_PROPERTY* got = nullptr;
  ASSERT_EQ(ObGetProperty(db, id, "NAME", &got), ZM_S_OK);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(zm::OutstandingBlocks(), before + 1);
  EXPECT_EQ(got->Type, ZM_TYPE_STRING);
  EXPECT_EQ(std::u16string(static_cast<char16_t*>(got->Value)), u"Primary Partition");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(got->Value) % 8, 0u);
  _ZmFree(got, __FILE__, __LINE__);
  EXPECT_EQ(zm::OutstandingBlocks(), before);

  // A second write of the name replaces the value and type; flags are kept as given.
  uint64_t big = 0x123456789ull;
  ZM_PROPERTY r2{"NAME", ZM_TYPE_UINT64, 4, 8, &big};
  ASSERT_EQ(ObSetProperty(db, id, &r2), ZM_S_OK);
  ASSERT_EQ(ObGetProperty(db, id, "NAME", &got), ZM_S_OK);
  EXPECT_EQ(got->Type, ZM_TYPE_UINT64);
  EXPECT_EQ(got->Flags, 4u);
  EXPECT_EQ(*static_cast<uint64_t*>(got->Value), big);
  _ZmFree(got, __FILE__, __LINE__);

  got = reinterpret_cast<ZM_PROPERTY*>(&big);
  EXPECT_EQ(ObGetProperty(db, id, "MISSING", &got), ZM_E_NO_PROPERTY);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(ObSetProperty(db, id + 100, &r2), ZM_E_NO_OBJECT);

  // Malformed records are refused and store nothing.
  char16_t odd[] = u"ab";
  const std::pair<ZM_PROPERTY, const char*> cases[] = {
      {{nullptr, ZM_TYPE_UINT32, 0, 4, &big}, "no name"},
      {{"X", ZM_TYPE_UINT32, 0, 8, &big}, "32-bit value of 8 bytes"},
      {{"X", ZM_TYPE_UINT32, 0, 4, nullptr}, "no value"},
      {{"X", ZM_TYPE_STRING, 0, 3, odd}, "string of odd size"},
      {{"X", ZM_TYPE_STRING, 0, 0x7FFFFFFF, odd}, "absurd size"},
  };
  for (const auto& [record, what] : cases) EXPECT_EQ(ObSetProperty(db, id, &record), E_INVALIDARG_ZM) << what;
  EXPECT_EQ(ObGetProperty(db, id, "X", &got), ZM_E_NO_PROPERTY);
}

TEST_F(DbTest, PropertySetsCopyReplaceAndWriteInOrder) {
  ZM_PROPSET set = nullptr;
  ASSERT_EQ(PsCreatePropset(&set), ZM_S_OK);
  uint32_t a = 1;
  char name[] = "OFFSET";
  ZM_PROPERTY r{name, ZM_TYPE_UINT32, 0, 4, &a};
  ASSERT_EQ(PsAddProperty(set, &r), ZM_S_OK);
  a = 50;
  name[0] = 'Q';
  testutil::AddU32(set, "LENGTH", 2);
  ASSERT_EQ(PsAddI18nString(set, GUID{}, 0x011001F5, "Primary Partition", "LOCALIZED_NAME"), ZM_S_OK);
  testutil::AddU32(set, "LENGTH", 3);  // replaces LENGTH

  ZM_PROPERTY* got = nullptr;
  ASSERT_EQ(PsFindProperty(set, "OFFSET", &got), ZM_S_OK);
  EXPECT_EQ(*static_cast<uint32_t*>(got->Value), 1u);  // copied, not referenced
  _ZmFree(got, __FILE__, __LINE__);

  ZM_OBJECT_ID id = Create(ZM_OBJ_PARTITION);
  ASSERT_EQ(ObSetProperties(db, id, set), ZM_S_OK);
  EXPECT_EQ(testutil::PropU64(id, "LENGTH"), 3u);
  EXPECT_EQ(testutil::PropString(id, "LOCALIZED_NAME"), u"Primary Partition");
  ASSERT_EQ(PsDestroyPropset(set), ZM_S_OK);
  // A destroyed set is no longer a set.
  EXPECT_EQ(PsDestroyPropset(set), ZM_E_INVALID_HANDLE);
  EXPECT_EQ(ObSetProperties(db, id, set), ZM_E_INVALID_HANDLE);
}

TEST_F(DbTest, DatabaseLockIsReentrantAndExclusive) {
  ZM_HANDLE prov = Recorder();
  ASSERT_EQ(DbLockDatabase(prov), ZM_S_OK);
  ASSERT_EQ(DbLockDatabase(prov), ZM_S_OK);
  std::atomic<bool> got{false};
  std::atomic<ZMSTATUS> foreignUnlock{0};
  std::thread other([&] {
    foreignUnlock = DbUnlockDatabase(prov);  // not the holder
    // Single calls do not wait for the holder.
    ZM_OBJECT_ID id = 0;
    ObCreateObject(zm::Database(), prov, ZM_OBJ_DISK, &id);
    DbLockDatabase(prov);
    got = true;
    DbUnlockDatabase(prov);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(got);
  EXPECT_EQ(DbUnlockDatabase(prov), ZM_S_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(got) << "released after one of two takes";
  EXPECT_EQ(DbUnlockDatabase(prov), ZM_S_OK);
  other.join();
  EXPECT_TRUE(got);
  EXPECT_EQ(foreignUnlock, ZM_E_FAIL);
  EXPECT_EQ(testutil::Objects(ZM_OBJ_DISK).size(), 1u);
  EXPECT_EQ(DbUnlockDatabase(prov), ZM_E_FAIL);
}

// A name is known by its text, also when the caller's buffer held another name before,
// and a set with more values than it keeps in place writes all of them in order.
TEST_F(DbTest, NamesInAReusedBufferAndLongSetsKeepTheirValues) {
  ZM_OBJECT_ID id = Create(ZM_OBJ_VOLUME);
  char name[] = "ALPHA";
  ASSERT_EQ(SetU32(db, id, name, 1), ZM_S_OK);
  std::memcpy(name, "BRAVO", 5);
  ASSERT_EQ(SetU32(db, id, name, 2), ZM_S_OK);
  EXPECT_EQ(testutil::PropU64(id, "ALPHA"), 1u);
  EXPECT_EQ(testutil::PropU64(id, "BRAVO"), 2u);

  testutil::Props set;
  std::vector<std::string> names;
  for (uint32_t i = 0; i < 24; ++i) names.push_back("P" + std::to_string(i));
  for (uint32_t i = 0; i < 24; ++i) testutil::AddU32(set, names[i].c_str(), i);
  testutil::AddU32(set, "P20", 99);  // replaces a value kept beyond the first ones
  ZM_OBJECT_ID other = Create(ZM_OBJ_PARTITION);
  ASSERT_EQ(ObSetProperties(db, other, set), ZM_S_OK);
  // One read gives every name and value in order; a view reused for a smaller object
  // holds only that object's.
  zm::ObjectView view;
  ASSERT_TRUE(zm::ReadObject(other, &view));
  std::vector<std::string> order;
  for (const auto& p : view.props) {
    uint32_t v = 0;
    ASSERT_EQ(p.size, 4u);
    std::memcpy(&v, p.data, 4);
    EXPECT_EQ(v, order.size() == 20 ? 99u : order.size()) << p.name;
    order.push_back(p.name);
  }
  EXPECT_EQ(order, names);
  ASSERT_TRUE(zm::ReadObject(id, &view));
  ASSERT_EQ(view.props.size(), 2u);
  EXPECT_STREQ(view.props[1].name, "BRAVO");
  EXPECT_EQ(*static_cast<const uint32_t*>(view.props[1].data), 2u);
  EXPECT_FALSE(zm::ReadObject(id + 1000, &view));
  EXPECT_TRUE(view.props.empty());
  EXPECT_EQ(testutil::PropU64(other, "P20"), 99u);
  EXPECT_EQ(testutil::PropU64(other, "P23"), 23u);
}

// Threads taking the lock in turn, each twice: never two holders, nobody left waiting.
TEST_F(DbTest, DatabaseLockHasOneHolderUnderContention) {
  ZM_HANDLE prov = Recorder();
  int inside = 0, overlaps = 0;
  auto worker = [&] {
    for (int i = 0; i < 2000; ++i) {
      DbLockDatabase(prov);
      DbLockDatabase(prov);
      if (++inside != 1) ++overlaps;
      if (i % 100 == 0) std::this_thread::yield();
      --inside;
      DbUnlockDatabase(prov);
      DbUnlockDatabase(prov);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlaps, 0);
  ASSERT_EQ(DbLockDatabase(prov), ZM_S_OK);  // free again
  EXPECT_EQ(DbUnlockDatabase(prov), ZM_S_OK);
}

}  // namespace
