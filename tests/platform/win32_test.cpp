// The Win32 subset the provider relies on: mutexes, pointer probing and the wide
// formatter.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "handles.h"
#include "ntplatform.h"

namespace {

DWORD WaitOnOtherThread(HANDLE h, DWORD ms) {
  DWORD r = 0;
  std::thread t([&] {
    r = WaitForSingleObject(h, ms);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(h);
  });
  t.join();
  return r;
}

TEST(Mutex, OwnedByTheWaitingThreadAndReentrant) {
  const size_t handles = ntp::OpenHandleCount();
  HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // again, same thread
  EXPECT_EQ(WaitOnOtherThread(m, 20), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitOnOtherThread(m, 0), WAIT_TIMEOUT);  // still held once
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));  // not owned any more
  EXPECT_EQ(WaitOnOtherThread(m, 0), WAIT_OBJECT_0);

  // Only the owner releases.
  ASSERT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  BOOL released = TRUE;
  std::thread([&] { released = ReleaseMutex(m); }).join();
  EXPECT_FALSE(released);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(CloseHandle(m));
  EXPECT_FALSE(CloseHandle(m));
  EXPECT_EQ(ntp::OpenHandleCount(), handles);
}

TEST(Mutex, AWaiterIsWokenWhenTheOwnerReleases) {
  HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
  std::atomic<DWORD> got{12345};
  std::thread w([&] {
    got = WaitForSingleObject(m, 5000);
    ReleaseMutex(m);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(got, 12345u);
  ReleaseMutex(m);
  w.join();
  EXPECT_EQ(got, WAIT_OBJECT_0);
  CloseHandle(m);
}

TEST(Win32, IsBadReadPtrProbesEveryPage) {
  EXPECT_TRUE(IsBadReadPtr(nullptr, 4));
  const long page = sysconf(_SC_PAGESIZE);
  void* mem = mmap(nullptr, size_t(page) * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto* bytes = static_cast<uint8_t*>(mem);
  ASSERT_EQ(mprotect(bytes + page, size_t(page), PROT_NONE), 0);
  EXPECT_FALSE(IsBadReadPtr(bytes, size_t(page)));
  EXPECT_TRUE(IsBadReadPtr(bytes + page - 2, 4));  // runs into the unreadable page
  EXPECT_TRUE(IsBadReadPtr(bytes + page, 1));
  munmap(mem, size_t(page) * 2);
  EXPECT_TRUE(IsBadReadPtr(bytes, 1));  // unmapped
}

TEST(Win32, WideFormatting) {
  WCHAR buf[64];
  auto check = [&](int n, const char16_t* expected) {
    EXPECT_EQ(std::u16string(buf), expected);
    EXPECT_EQ(n, int(std::u16string(expected).size()));
  };
  check(swprintf(buf, 64, u"%s.4.0.%d.%d", u"WINNT", 364, 0), u"WINNT.4.0.364.0");
  check(swprintf(buf, 64, u"%u %d %lu %llu", 4294967295u, -2147483647 - 1, 7u, 18446744073709551615ull),
        u"4294967295 -2147483648 7 18446744073709551615");

  // Truncation: at most count units including the terminator, -1 when cut.
  WCHAR small[6] = {1, 1, 1, 1, 1, 1};
  EXPECT_EQ(swprintf(small, 6, u"%s", u"abcde"), 5);
  EXPECT_EQ(swprintf(small, 6, u"%s", u"abcdef"), -1);
  EXPECT_EQ(std::u16string(small), u"abcde");
  EXPECT_EQ(swprintf(small, 0, u"x"), -1);
  EXPECT_EQ(small[0], u'a');  // count 0 writes nothing
}

}  // namespace
