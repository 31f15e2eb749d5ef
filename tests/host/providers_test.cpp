// Providers and the allocator.
#include <algorithm>
#include <cstring>
#include <map>

#include "host_fixture.h"
#include "internal.h"

using namespace hosttest;

namespace {

using ProvidersTest = HostTest;

TEST_F(ProvidersTest, RegisteredProviderIsInitialisedFoundByNameAndCalled) {
  ZM_HANDLE prov = Recorder({}, u"Recorder");
  ASSERT_NE(prov, nullptr);
  EXPECT_EQ(Rec().db, db);
  EXPECT_EQ(Rec().prov, prov);

  ZM_HANDLE found = nullptr;
  EXPECT_EQ(PrGetProviderByName(db, u"RECORDER", &found), ZM_S_OK);
  EXPECT_EQ(found, prov);
  EXPECT_EQ(PrGetProviderByName(db, u"recorder2", &found), ZM_E_NO_PROVIDER);
  ASSERT_EQ(PrGetProviderByName(db, u"mount", &found), ZM_S_OK);

  // The ten request arguments reach the control entry as given.
  ZM_OBJECT_ID result = 0;
  int marker = 0;
  EXPECT_EQ(PrCallProvider(prov, 5, 10001, 10003, nullptr, nullptr, 6, 7, &marker, nullptr, &result),
            ZM_S_OK);
  EXPECT_EQ(result, 77u);
  EXPECT_EQ(PrCallProvider(prov, 5, 10000, 99, nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr), ZM_E_FAIL);
  EXPECT_EQ(Rec().calls,
            (std::vector<std::string>{"Init", "Control 10001/10003 6 7 p", "Control 10000/99 0 0 0"}));

  // The catalogue is the provider's own and the same on every boot.
  GUID cat = PrGetMessageCatalog(prov);
  EXPECT_FALSE(SameGuid(cat, PrGetMessageCatalog(found)));
  zm::Stop();
  db = zm::Start();
  prov = Recorder({}, u"recorder");
  EXPECT_TRUE(SameGuid(cat, PrGetMessageCatalog(prov)));

  zm::UnloadProviders();
  EXPECT_EQ(PrGetProviderByName(db, u"recorder", &found), ZM_E_NO_PROVIDER);
  EXPECT_EQ(PrCallProvider(prov, 5, 1, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr),
            ZM_E_INVALID_HANDLE);
  EXPECT_EQ(PrGetProviderByName(db, u"mount", &found), ZM_S_OK) << "built-ins stay";
}

TEST_F(ProvidersTest, FailedInitialisationLeavesNoProviderAndNoRegistration) {
  Rec().initResult = ZM_E_FAIL;
  Rec().registerOnInit = {GUID_ZMINITIALIZATION_COMPLETE};
  std::string err;
  EXPECT_EQ(zm::RegisterProvider(&RecorderEntry, u"rec", &err), nullptr);
  EXPECT_NE(err.find("0xC1000001"), std::string::npos) << err;
  ZM_HANDLE found = nullptr;
  EXPECT_EQ(PrGetProviderByName(db, u"rec", &found), ZM_E_NO_PROVIDER);
  zm::InitializationComplete();
  zm::WaitIdle();
  EXPECT_TRUE(Rec().Take().empty());
}

TEST_F(ProvidersTest, ModuleIsLoadedThroughItsEntryAndUnloaded) {
  std::string err;
  EXPECT_EQ(zm::LoadProvider("/nonexistent/libnothing.so", u"ftdisk", &err), nullptr);
  EXPECT_EQ(zm::LoadProvider(FTDISK_MODULE_PATH, u"notftdisk", &err), nullptr);
  EXPECT_NE(err.find("0xC1000005"), std::string::npos) << err;
  ZM_HANDLE prov = zm::LoadProvider(FTDISK_MODULE_PATH, u"FtDisk", &err), found = nullptr;
  ASSERT_NE(prov, nullptr) << err;
  EXPECT_EQ(PrGetProviderByName(db, u"ftdisk", &found), ZM_S_OK);
  EXPECT_EQ(found, prov);
  zm::UnloadProviders();
  EXPECT_EQ(PrGetProviderByName(db, u"ftdisk", &found), ZM_E_NO_PROVIDER);
}

TEST_F(ProvidersTest, AllocatorCountsTagsAndRefusesForeignBlocks) {
  uint64_t before = zm::OutstandingBlocks();
  char* a = static_cast<char*>(_ZmAlloc(10, "layout.cpp", 42));
  ASSERT_NE(a, nullptr);
  std::memcpy(a, "123456789", 10);
  void* zero = _ZmAlloc(0, "z.cpp", 1);
  EXPECT_NE(zero, nullptr);
  auto tags = zm::OutstandingTags();
  EXPECT_NE(std::find(tags.begin(), tags.end(), "layout.cpp:42"), tags.end());

  char* b = static_cast<char*>(_ZmRealloc(a, 100000, "layout.cpp", 50));
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(b, "123456789");
  tags = zm::OutstandingTags();
  EXPECT_EQ(std::find(tags.begin(), tags.end(), "layout.cpp:42"), tags.end());
  EXPECT_NE(std::find(tags.begin(), tags.end(), "layout.cpp:50"), tags.end());
  EXPECT_EQ(zm::OutstandingBlocks(), before + 2);

  int local = 0;
  _ZmFree(&local, "x.cpp", 1);  // not a host block: refused, nothing breaks
  EXPECT_EQ(_ZmRealloc(&local, 8, "x.cpp", 2), nullptr);
  _ZmFree(b, "x.cpp", 3);
  _ZmFree(b, "x.cpp", 4);  // second free is refused as well
  _ZmFree(zero, "x.cpp", 5);
  EXPECT_EQ(zm::OutstandingBlocks(), before);
}

// Blocks given back are handed out again by size class: a block reused for any size of
// its class holds all of it, and the live-block table keeps up with thousands of
// blocks taken and given back in another order.
TEST_F(ProvidersTest, ReusedBlocksHoldTheirWholeSizeAndEveryBlockIsTracked) {
  uint64_t before = zm::OutstandingBlocks();
  std::vector<std::pair<uint8_t*, size_t>> blocks;
  for (size_t size = 0; size < 3000; size += 7) {
    auto* b = static_cast<uint8_t*>(_ZmAlloc(size, "reuse.cpp", int(size % 5)));
    ASSERT_NE(b, nullptr);
    std::memset(b, int(size & 0xFF), size);
    blocks.push_back({b, size});
  }
  // Every other block back, then blocks of the largest size of each class in their place.
  for (size_t i = 0; i < blocks.size(); i += 2) _ZmFree(blocks[i].first, "reuse.cpp", 9);
  for (size_t i = 0; i < blocks.size(); i += 2) {
    size_t size = (blocks[i].second + 15) / 16 * 16;
    auto* b = static_cast<uint8_t*>(_ZmAlloc(size, "reuse.cpp", 10));
    ASSERT_NE(b, nullptr);
    std::memset(b, 0xEE, size);
    blocks[i] = {b, 0};
  }
  for (size_t i = 1; i < blocks.size(); i += 2)
    for (size_t k = 0; k < blocks[i].second; ++k)
      ASSERT_EQ(blocks[i].first[k], uint8_t(blocks[i].second & 0xFF)) << "block of " << blocks[i].second;
  EXPECT_EQ(zm::OutstandingBlocks(), before + blocks.size());
  for (auto& [b, size] : blocks) _ZmFree(b, "reuse.cpp", 11);
  EXPECT_EQ(zm::OutstandingBlocks(), before);
}

TEST(FlatTable, AgreesWithAMapThroughInsertsRemovalsAndGrowth) {
  zmi::FlatTable<uint64_t> table;
  std::map<uint64_t, uint64_t> model;
  uint64_t x = 88172645463325252ull;  // xorshift: keys that collide and recur
  for (int i = 0; i < 20000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    uint64_t key = 2 + x % 3000;
    if (x % 3 == 0) {
      EXPECT_EQ(table.Erase(key), model.erase(key) == 1);
    } else {
      table.Put(key, x);
      model[key] = x;
    }
  }
  EXPECT_EQ(table.size(), model.size());
  for (uint64_t key = 0; key < 3002; ++key) {
    const uint64_t* v = table.Find(key);
    auto it = model.find(key);
    ASSERT_EQ(v != nullptr, it != model.end()) << key;
    if (v != nullptr) {
      EXPECT_EQ(*v, it->second);
    }
  }
}

}  // namespace
