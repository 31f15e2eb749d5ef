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

TEST_F(RegistryTest, ReplacingAValueKeepsItsSpellingAndPlace) {
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"First", REG_DWORD, Bytes({1, 0, 0, 0})));
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Second", REG_DWORD, Bytes({2, 0, 0, 0})));
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"FIRST", REG_BINARY, Bytes({9})));
  auto values = ntp::reg::ListValues(u"HKEY_LOCAL_MACHINE\\SYSTEM\\DISK");
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, u"First");
  EXPECT_EQ(values[0].type, REG_BINARY);
  EXPECT_EQ(values[0].data, Bytes({9}));
  EXPECT_EQ(values[1].name, u"Second");

  EXPECT_TRUE(ntp::reg::DeleteValue(kDisk, u"first"));
  EXPECT_FALSE(ntp::reg::DeleteValue(kDisk, u"first"));
  EXPECT_EQ(ntp::reg::ListValues(kDisk).size(), 1u);
}

TEST_F(RegistryTest, PathsOutsideTheMachineOrMalformedAreRefused) {
  for (const char16_t* path : {u"\\REGISTRY\\USER\\X", u"\\REGISTRY\\MACHINE\\A\\\\B", u"SYSTEM\\DISK",
                               u"HKEY_LOCAL_MACHINEX\\A", u"HKEY_CURRENT_USER\\A"}) {
    EXPECT_FALSE(ntp::reg::SetValue(path, u"v", REG_BINARY, Bytes({1}))) << testutil::Narrow(path);
  }
  std::u16string rel;
  EXPECT_EQ(ntp::reg::CanonicalPath(u"hklm\\System\\Disk\\", &rel), STATUS_SUCCESS);
  EXPECT_EQ(rel, u"System\\Disk");
  EXPECT_EQ(ntp::reg::CanonicalPath(u"\\REGISTRY\\MACHINE", &rel), STATUS_SUCCESS);
  EXPECT_EQ(rel, u"");
}

TEST_F(RegistryTest, AFailedCommitLeavesTheOldValueEvenAfterReopening) {
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({1, 2, 3})));
  ntp::InjectFault("RegistryCommit", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_FALSE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({4, 5, 6, 7})));
  Reopen();
  uint32_t type;
  std::vector<uint8_t> data;
  ASSERT_TRUE(ntp::reg::GetValue(kDisk, u"Information", &type, &data));
  EXPECT_EQ(data, Bytes({1, 2, 3}));
}

TEST_F(RegistryTest, AFailedCommitCreatesNoKey) {
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

namespace {

TEST(RegistryMachine, AValueWrittenDuringOneBootIsThereOnTheNext) {
  testutil::Machine machine({8 * testutil::MiB});
  machine.Boot();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\DISK", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  const BYTE data[] = {'F', 0, ':', 0, 0, 0};
  ASSERT_EQ(RegSetValueExW(key, u"\\Device\\CdRom0", 0, REG_SZ, data, sizeof data), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  machine.Reboot();
  uint32_t type = 0;
  std::vector<uint8_t> got;
  ASSERT_TRUE(ntp::reg::GetValue(kDisk, u"\\DEVICE\\CDROM0", &type, &got));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(got, std::vector<uint8_t>(data, data + sizeof data));
}

}  // namespace
