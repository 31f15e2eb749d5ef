// Entry points and the status test: the parts of the frame that need no disk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "provider.h"
#include "testutil.h"

namespace {

TEST(ProviderEntry, AnswersOnlyToItsNameInAnyCase) {
  const std::pair<const char16_t*, ZMSTATUS> cases[] = {
      {u"FtDisk", 0}, {u"ftdisk2", ZM_E_NOT_THIS_PROVIDER}, {u"ftdis", ZM_E_NOT_THIS_PROVIDER}};
  for (const auto& [name, expected] : cases) {
    ZM_PROVIDER_INFO info;
    memset(&info, 0xAB, sizeof info);
    ZM_PROVIDER_INFO untouched = info;
    EXPECT_EQ(ProviderEntry(name, 0, &info), expected) << testutil::Narrow(name);
    EXPECT_TRUE(expected == 0 || memcmp(&info, &untouched, sizeof info) == 0)
        << "table written for a wrong name";
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

// ZM_FAILED over each branch, in this order: success; the host family (0x01000000
// facility bits), where both top bits decide (bit 31 alone is not failure, other
// high-nibble bits are no part of the facility mask); any other nonzero facility, where
// bit 31 alone decides and the answer is 2 (the provider's own error codes, an
// informational message id, an NT informational status); facility 0, where any nonzero
// status counts as failed (STATUS_UNSUCCESSFUL, the warning STATUS_BUFFER_OVERFLOW,
// E_NOTIMPL with no bits in the facility mask).
TEST(ZmFailed, EveryBranch) {
  const std::pair<ZMSTATUS, int> cases[] = {
      {0x00000000u, 0}, {0xC1000001u, 1}, {0x81000001u, 0}, {0xF1000000u, 1}, {0xC1100321u, 2},
      {0x41100320u, 0}, {0x40010001u, 0}, {0xC0000001u, 1}, {0x80000005u, 1}, {0x80004001u, 1}};
  for (const auto& [s, expected] : cases) EXPECT_EQ(ZM_FAILED(s), expected) << std::hex << s;
}

}  // namespace
