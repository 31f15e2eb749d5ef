// Loading and storing the configuration through the machine's registry.
#include <gtest/gtest.h>

#include <vector>

#include "blob_builder.h"
#include "ftinfo.h"
#include "ftvol.h"
#include "machine.h"
#include "ntplatform.h"
#include "registry_store.h"
#include "testutil.h"

using namespace blobtest;

namespace {

std::vector<uint8_t> Mirror() {
  return Build({{0x1234, {{.start = 32256, .length = 100}}}, {0x5678, {{.start = 32256, .length = 100}}}},
               {{.type = 0, .members = {{0, 0}, {1, 0}}}});
}

class FtInfoRegistry : public ::testing::Test {
 protected:
  void SetUp() override { machine_.Boot(); }
  void TearDown() override {
    ntp::ClearFaults();
    machine_.Shutdown();
  }
  testutil::Machine machine_{{8 * testutil::MiB}};
};

TEST_F(FtInfoRegistry, NothingStoredThenStoreAndLoadBack) {
  FTInfo empty;
  EXPECT_FALSE(empty.Load(nullptr, 0));
  EXPECT_EQ(empty.LastLoadResult(), FTLoadResult::NotStored);
  EXPECT_FALSE(empty.Store());  // an empty configuration is never written
  EXPECT_TRUE(Stored().empty());

  auto blob = Mirror();
  blob.resize(blob.size() + 12, 0xAB);  // bytes past the used length are not stored
  FTInfo info;
  ASSERT_TRUE(info.Load(blob.data(), uint32_t(blob.size())));
  ASSERT_TRUE(info.Store());
  EXPECT_EQ(Stored(), Mirror());
  FTInfo back;
  ASSERT_TRUE(back.Load(nullptr, 0));
  EXPECT_EQ(back.LastLoadResult(), FTLoadResult::Loaded);
  EXPECT_EQ(Bytes(back), Mirror());
}

TEST_F(FtInfoRegistry, UnreadableOrFailedReadIsLeftAlone) {
  auto bad = Mirror();
  Put32(bad, 192, 4000);  // a member pointing past the end
  Store(bad);
  auto scan = Build({{0x1234, {{.start = 32256, .length = 100}}}}, {}, false);
  FTInfo info;
  EXPECT_FALSE(info.Load(nullptr, 0));
  EXPECT_EQ(info.LastLoadResult(), FTLoadResult::Malformed);
  EXPECT_NE(info.LastLoadError().find("192"), std::string::npos) << info.LastLoadError();
  EXPECT_FALSE(info.Rebuild(scan.data(), uint32_t(scan.size())));
  EXPECT_FALSE(info.Store());
  EXPECT_EQ(Stored(), bad);

  Store(Mirror());
  ntp::InjectFault("RegQueryValueExW", 2, ERROR_ACCESS_DENIED);  // the read after the size query
  EXPECT_FALSE(info.Load(nullptr, 0));
  EXPECT_EQ(info.LastLoadResult(), FTLoadResult::ReadFailed);
  EXPECT_FALSE(info.Rebuild(scan.data(), uint32_t(scan.size())));  // what is stored is unknown

  ASSERT_TRUE(info.Load(scan.data(), uint32_t(scan.size())));
  ntp::InjectFault("RegSetValueExW", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(info.Store());
  EXPECT_EQ(Stored(), Mirror());
}

}  // namespace
