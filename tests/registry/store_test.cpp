// The store itself: persistence, case-insensitive names, both root spellings,
// transactions that roll back whole.
#include <fstream>

#include "registry_fixture.h"
#include "registry_internal.h"

namespace {

const char16_t kDisk[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";

TEST_F(RegistryTest, ValuesSurviveCloseAndReopenUnderEitherRootAndAnyCase) {
  std::vector<uint8_t> blob(300);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = uint8_t(i * 7);
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, blob));
  ASSERT_TRUE(ntp::reg::SetValue(u"HKEY_LOCAL_MACHINE\\Software\\Test", u"Empty", REG_BINARY, {}));
  Reopen();

  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(ntp::reg::GetValue(u"HKEY_LOCAL_MACHINE\\system\\disk", u"INFORMATION", &type, &data));
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(data, blob);
  ASSERT_TRUE(ntp::reg::GetValue(u"\\Registry\\Machine\\SOFTWARE\\test", u"empty", &type, &data));
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(ntp::reg::GetValue(kDisk, u"Informatio", &type, &data));
}

TEST_F(RegistryTest, PathsOutsideTheMachineOrMalformedAreRefused) {
  for (const char16_t* path :
       {u"\\REGISTRY\\USER\\X", u"\\REGISTRY\\MACHINE\\A\\\\B", u"HKEY_LOCAL_MACHINEX\\A"}) {
    EXPECT_FALSE(ntp::reg::SetValue(path, u"v", REG_BINARY, Bytes({1}))) << testutil::Narrow(path);
  }
}

TEST_F(RegistryTest, AFailedCommitLeavesTheOldValueAndNoNewKey) {
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({1, 2, 3})));
  ntp::InjectFault("RegistryCommit", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_FALSE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({4, 5, 6, 7})));
  Reopen();
  uint32_t type;
  std::vector<uint8_t> data;
  ASSERT_TRUE(ntp::reg::GetValue(kDisk, u"Information", &type, &data));
  EXPECT_EQ(data, Bytes({1, 2, 3}));

  // Nor does it leave behind the keys it would have created.
  ntp::InjectFault("RegistryCommit", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_FALSE(ntp::reg::SetValue(u"HKLM\\SYSTEM\\New\\Deeper", u"v", REG_BINARY, Bytes({1})));
  EXPECT_EQ(ntp::reg::KeyExists(u"SYSTEM\\New"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, OpeningSomethingThatIsNotADatabaseFails) {
  ntp::reg::Close();
  {
    std::ofstream f(tmp.path + "/registry.db", std::ios::trunc);
    f << "this is not an SQLite file, just some text that is long enough to be read as a header";
  }
  std::string err;
  EXPECT_FALSE(ntp::reg::Open(tmp.path, &err));
  EXPECT_NE(err.find("registry.db"), std::string::npos) << err;
  // Calls made with no store open fail instead of crashing.
  EXPECT_FALSE(ntp::reg::SetValue(kDisk, u"v", REG_BINARY, Bytes({1})));
  EXPECT_TRUE(ntp::reg::ListValues(kDisk).empty());
}

}  // namespace
