// Entry points and the status test: the parts of the frame that need no disk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "provider.h"
#include "testutil.h"

namespace {

TEST(ProviderEntry, AnswersOnlyToItsNameInAnyCase) {
  struct Case {
    const char16_t* name;
    ZMSTATUS expected;
  };
  const Case cases[] = {
      {u"FtDisk", 0},
      {u"ftdisk2", ZM_E_NOT_THIS_PROVIDER},
      {u"ftdis", ZM_E_NOT_THIS_PROVIDER},
  };
  for (const Case& c : cases) {
    ZM_PROVIDER_INFO info;
    memset(&info, 0xAB, sizeof info);
    ZM_PROVIDER_INFO untouched = info;
    EXPECT_EQ(ProviderEntry(c.name, 0, &info), c.expected) << testutil::Narrow(c.name);
    if (c.expected != 0) {
      EXPECT_EQ(memcmp(&info, &untouched, sizeof info), 0) << "table written for a wrong name";
    }
  }
  // The name is tested before the table is touched.
  EXPECT_EQ(ProviderEntry(nullptr, 0, nullptr), ZM_E_NOT_THIS_PROVIDER);
  EXPECT_EQ(ProviderEntry(u"ftdisk", 0, nullptr), ZM_E_FAIL);
}

TEST(FtDiskVersion, ReportsTheFixedStringInACallerOwnedBlockOrRefuses) {
  uint64_t before = zm::OutstandingBlocks();
  WCHAR* version = nullptr;
  ASSERT_EQ(FtDiskVersion(&version), 0u);
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(std::u16string(version), u"WINNT.4.0.364.0");
  EXPECT_EQ(zm::OutstandingBlocks(), before + 1);
  _ZmFree(version, __FILE__, __LINE__);
  EXPECT_EQ(zm::OutstandingBlocks(), before);

  // A null pointer and a failed allocation are refused.
  EXPECT_EQ(FtDiskVersion(nullptr), E_INVALIDARG_ZM);
  zm::InjectFault("_ZmAlloc", 1, 0);
  version = reinterpret_cast<WCHAR*>(0x1);
  EXPECT_EQ(FtDiskVersion(&version), E_OUTOFMEMORY_ZM);
  EXPECT_EQ(version, nullptr);
  zm::ClearFaults();
}

// ZM_FAILED over each branch: host family (0x01000000 facility bits), every other
// nonzero facility (HRESULTs, provider codes, NT codes with a facility), facility 0.
TEST(ZmFailed, EveryBranch) {
  struct Case {
    ZMSTATUS s;
    int expected;
  };
  const Case cases[] = {
      {0x00000000u, 0},  // success
      // Host family: both top bits decide.
      {0xC1000001u, 1},
      {0x81000001u, 0},  // only bit 31 set
      {0xF1000000u, 1},  // other high nibble bits are not part of the facility mask
      // Any other nonzero facility: bit 31 alone decides, and the answer is 2.
      {0xC1100321u, 2},  // the provider's own error codes
      {0x41100320u, 0},  // an informational message id
      {0x40010001u, 0},  // an NT informational status with a facility
      // Facility 0: any nonzero status counts as failed, NT warnings and errors alike.
      {0xC0000001u, 1},  // STATUS_UNSUCCESSFUL
      {0x80000005u, 1},  // STATUS_BUFFER_OVERFLOW, a warning
      {0x80004001u, 1},  // E_NOTIMPL has no bits in the facility mask
  };
  for (const Case& c : cases) EXPECT_EQ(ZM_FAILED(c.s), c.expected) << std::hex << c.s;
}

}  // namespace
