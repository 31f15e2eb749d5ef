// The store itself: persistence, case-insensitive names, both root spellings,
// transactions that roll back whole.
#include <filesystem>
#include <fstream>
#include <thread>

#include "registry_fixture.h"
#include "registry_internal.h"

namespace {

using RegistryStore = RegistryTest;

const char16_t kDisk[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";

TEST_F(RegistryStore, ValuesSurviveReopenUnderEitherRootAndAnyCaseAndOtherPathsAreRefused) {
  std::vector<uint8_t> blob(300);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = uint8_t(i * 7);
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, blob));
  ASSERT_TRUE(ntp::reg::SetValue(u"HKEY_LOCAL_MACHINE\\Software\\Test", u"Empty", REG_BINARY, {}));
  Reopen();

  uint32_t type = 0;
  EXPECT_EQ(Value(u"HKEY_LOCAL_MACHINE\\system\\disk", u"INFORMATION", &type), blob);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_TRUE(Value(u"\\Registry\\Machine\\SOFTWARE\\test", u"empty").empty());
  EXPECT_EQ(Value(kDisk, u"Informatio"), Bytes({0xEE}));
  // Paths outside the machine, or malformed, are refused.
  for (const char16_t* path :
       {u"\\REGISTRY\\USER\\X", u"\\REGISTRY\\MACHINE\\A\\\\B", u"HKEY_LOCAL_MACHINEX\\A"})
    EXPECT_FALSE(ntp::reg::SetValue(path, u"v", REG_BINARY, Bytes({1}))) << testutil::Narrow(path);
}

TEST_F(RegistryStore, AFailedCommitOrBackupLeavesTheOldValueAndNoNewKey) {
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({1, 2, 3})));
  ntp::InjectFault("RegistryCommit", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_FALSE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({4, 5, 6, 7})));
  Reopen();
  EXPECT_EQ(Value(kDisk, u"Information"), Bytes({1, 2, 3}));

  // Nor does it leave behind the keys it would have created.
  ntp::InjectFault("RegistryCommit", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_FALSE(ntp::reg::SetValue(u"HKLM\\SYSTEM\\New\\Deeper", u"v", REG_BINARY, Bytes({1})));
  EXPECT_EQ(ntp::reg::KeyExists(u"SYSTEM\\New"), STATUS_OBJECT_NAME_NOT_FOUND);

  // A value whose backup cannot be written is not stored, and the failure is recorded
  // on the writer's request.
  std::filesystem::remove_all(tmp.path + "/registry-backups");
  std::ofstream(tmp.path + "/registry-backups") << "in the way";
  {
    ntp::RequestScope scope;
    EXPECT_FALSE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({2})));
    EXPECT_EQ(Value(kDisk, u"Information"), Bytes({1, 2, 3}));
    // Values without backups are still written; a value that is not there is no failure.
    EXPECT_TRUE(ntp::reg::SetValue(kDisk, u"Other", REG_BINARY, Bytes({2})));
    EXPECT_FALSE(ntp::reg::DeleteValue(kDisk, u"Missing"));
    const auto failed = ntp::RequestScope::TakeWriteFailures();
    EXPECT_EQ(failed.count, 3u);  // with the two injected commits above, taken here
    EXPECT_NE(failed.last.find("registry-backups"), std::string::npos) << failed.last;
    EXPECT_EQ(ntp::RequestScope::TakeWriteFailures().count, 0u);  // taken once
  }
}

// A failure belongs to the request of the thread that wrote: a request running beside
// it on another thread neither sees it nor takes it away.
TEST_F(RegistryStore, AWriteFailureShowsOnlyInTheWritingThreadsRequest) {
  ntp::RequestScope mine;
  std::thread other([] {
    ntp::RequestScope theirs;
    ntp::InjectFault("RegistryCommit", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
    EXPECT_FALSE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({9})));
    {
      ntp::RequestScope inner;  // an inner request leaves it to its outer one
    }
    EXPECT_EQ(ntp::RequestScope::TakeWriteFailures().count, 1u);
  });
  other.join();
  EXPECT_EQ(ntp::RequestScope::TakeWriteFailures().count, 0u);
  // A failure its thread's scope left untaken is kept for the next taker, not lost.
  std::thread([] {
    ntp::RequestScope left;
    ntp::InjectFault("RegistryCommit", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
    EXPECT_FALSE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({8})));
  }).join();
  EXPECT_EQ(ntp::RequestScope::TakeWriteFailures().count, 1u);
}

std::vector<uint8_t> InformationOf(const ntp::reg::Backup& b) {
  for (const auto& v : b.values)
    if (v.name == u"Information") return v.data;
  return {};
}

TEST_F(RegistryStore, EveryChangeOfInformationKeepsTheLastTenStatesAndNothingNeverStored) {
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"\\Device\\CdRom0", REG_SZ, Bytes({'E', 0, ':', 0, 0, 0})));
  for (int i = 1; i <= 12; ++i)
    ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({i, i})));
  auto kept = ntp::reg::ListBackups(tmp.path);
  ASSERT_EQ(kept.size(), ntp::reg::kBackupsKept);
  for (size_t k = 0; k < kept.size(); ++k) {  // values 3 .. 12, oldest first, with the CD-ROM value
    EXPECT_TRUE(kept[k].valid);
    EXPECT_EQ(InformationOf(kept[k]), Bytes({int(k) + 3, int(k) + 3}));
    EXPECT_EQ(kept[k].values.size(), 2u);
  }

  // Writing the same value again, or another value of the key, keeps nothing new.
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"INFORMATION", REG_BINARY, Bytes({12, 12})));
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Other", REG_DWORD, Bytes({1, 0, 0, 0})));
  EXPECT_EQ(ntp::reg::ListBackups(tmp.path).back().seq, kept.back().seq);

  // A change rolled back leaves no backup of a value that was never stored.
  ntp::InjectFault("RegistryCommit", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  EXPECT_FALSE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({99})));
  EXPECT_EQ(InformationOf(ntp::reg::ListBackups(tmp.path).back()), Bytes({12, 12}));

  // Removing the value keeps the state it removes (the CD-ROM value changed since).
  ASSERT_TRUE(ntp::reg::DeleteValue(kDisk, u"Information"));
  auto last = ntp::reg::ListBackups(tmp.path).back();
  EXPECT_EQ(InformationOf(last), Bytes({12, 12}));
  EXPECT_EQ(last.values.size(), 3u);
}

TEST_F(RegistryStore, ALostOrDamagedStoreIsRefusedUntilRecoverBringsTheLastStateBack) {
  const auto info = Bytes({3, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8});
  const auto cdrom = Bytes({'F', 0, ':', 0, 0, 0});
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({1, 1})));
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"\\Device\\CdRom0", REG_SZ, cdrom));
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, info));
  ntp::reg::Close();
  const std::string db = tmp.path + "/registry.db";
  const std::vector<std::function<void()>> damage = {
      [&] { std::filesystem::remove(db); }, [&] { std::filesystem::resize_file(db, 0); },
      [&] {
        std::fstream(db, std::ios::in | std::ios::out | std::ios::binary) << "garbage, not a database at all";
      }};
  for (size_t i = 0; i < damage.size(); ++i) {
    SCOPED_TRACE(i);
    for (const char* f : {"-wal", "-shm"}) std::filesystem::remove(db + f);
    damage[i]();
    std::string err, report;
    EXPECT_FALSE(ntp::reg::Open(tmp.path, &err));
    EXPECT_NE(err.find("registry recover'"), std::string::npos) << err;
    EXPECT_NE(err.find("registry recover --empty'"), std::string::npos) << err;
    EXPECT_FALSE(ntp::reg::OpenReadOnly(tmp.path, &err)) << "a reader took a lost store for an empty one";
    EXPECT_NE(err.find("registry recover'"), std::string::npos) << err;
    // Calls made with no store open fail instead of crashing.
    EXPECT_FALSE(ntp::reg::SetValue(kDisk, u"v", REG_BINARY, Bytes({1})));
    EXPECT_TRUE(ntp::reg::ListValues(kDisk).empty());
    ASSERT_TRUE(ntp::reg::Recover(tmp.path, false, 0, true, &report, &err)) << err;
    ASSERT_TRUE(ntp::reg::Open(tmp.path, &err)) << err;
    EXPECT_EQ(Value(kDisk, u"Information"), info);
    EXPECT_EQ(Value(kDisk, u"\\Device\\CdRom0"), cdrom);
    ntp::reg::Close();
  }

  // A damaged newest backup is passed over for the one before it.
  auto kept = ntp::reg::ListBackups(tmp.path);
  {
    std::fstream f(kept.back().path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(-6, std::ios::end);
    f.put('\x7f');
  }
  EXPECT_FALSE(ntp::reg::ListBackups(tmp.path).back().valid);
  std::filesystem::remove(db);
  std::string err, report;
  ASSERT_TRUE(ntp::reg::Recover(tmp.path, false, 0, true, &report, &err)) << err;
  EXPECT_NE(report.find("damaged"), std::string::npos) << report;

  // --empty starts afresh and keeps the old store aside.
  ASSERT_TRUE(ntp::reg::Recover(tmp.path, true, 0, true, &report, &err)) << err;
  ASSERT_TRUE(ntp::reg::Open(tmp.path, &err)) << err;
  EXPECT_EQ(Value(kDisk, u"Information"), Bytes({0xEE}));
  bool aside = false;
  for (const auto& e : std::filesystem::directory_iterator(tmp.path))
    aside = aside || e.path().filename().string().rfind("registry.db.replaced-", 0) == 0;
  EXPECT_TRUE(aside);
}

}  // namespace
