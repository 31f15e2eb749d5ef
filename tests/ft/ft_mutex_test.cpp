// The FT mutex: one mutex however many first uses overlap, and FT operations from
// several threads never interleaving their load-change-store.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "diskreg.h"
#include "fdiskreg.h"
#include "ftdisk.h"
#include "ftfixture.h"
#include "provider.h"

using namespace ftt;
using FtMutex = FtTest;

TEST_F(FtMutex, OverlappingFirstUsesShareOneMutex) {
  for (int round = 0; round < 5; ++round) {
    FtDiskFinalize();
    ASSERT_EQ(nullptr, g_hMutex);
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::atomic<int> inside{0}, most{0};
    std::vector<HANDLE> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        FtMutexHold hold;
        ASSERT_TRUE(hold.held());
        const int now = ++inside;
        int m = most.load();
        while (now > m && !most.compare_exchange_weak(m, now)) {
        }
        seen[t] = g_hMutex;
        std::this_thread::yield();
        --inside;
      });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(1, most.load());
    for (HANDLE h : seen) EXPECT_EQ(seen[0], h);
  }
  FtDiskFinalize();
  FtDiskFinalize();  // a second close does nothing
  EXPECT_EQ(nullptr, g_hMutex);
  FtMutexHold again;  // and a later use makes a new one
  EXPECT_TRUE(again.held());
  EXPECT_NE(nullptr, g_hMutex);
}

// Publishing, letter requests and rebuilds at once: every one succeeds, and the stored
// configuration ends well formed with the mirror, its members and its letter.
TEST_F(FtMutex, ConcurrentFtOperationsKeepTheConfigurationWhole) {
  StoreScannedMirror();
  const ZM_OBJECT_ID volume = FtVolumes().at(0);

  constexpr int kRounds = 6;
  std::latch start(3);
  std::atomic<int> failures{0};
  std::thread publish([&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i)
      if (AddFtObjectsToDatabase() != 0) ++failures;
  });
  std::thread letters([&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i) {
      testutil::Props in;
      testutil::AddString(in, "DRIVE_LETTER", i % 2 ? u"W:" : u"V:");
      ZM_OBJECT_ID result = 0;
      const uint32_t code = OP_ASSIGN_DRIVE_LETTER;
      if (FtDiskAssignDriveLetter(volume, OPCLASS_VOLUME, code, in, nullptr, 0, nullptr, nullptr, &result) !=
          0)
        ++failures;
      FtDiskAssignDriveLetter(volume, OPCLASS_VOLUME, OP_REMOVE_DRIVE_LETTER, nullptr, nullptr, 0, nullptr,
                              nullptr, &result);
    }
  });
  std::thread rebuild([&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i)
      if (fdRebuildRegistry() != 0) ++failures;
  });
  publish.join();
  letters.join();
  rebuild.join();
  EXPECT_EQ(0, failures.load());

  const std::vector<uint8_t> blob = ftblob::Stored();
  ASSERT_TRUE(DiskRegistryValidate(blob.data(), blob.size(), nullptr));
  const ftblob::Config r = ftblob::Parse(blob);
  ASSERT_EQ(1u, r.sets.size());
  ASSERT_EQ(2u, r.sets[0].members.size());
  const ftblob::Part& m0 = r.disks.at(r.sets[0].members[0].disk).parts.at(r.sets[0].members[0].part);
  EXPECT_EQ(P1.start, m0.start);
  EXPECT_EQ(' ', m0.letter);  // the last request removed it
  EXPECT_EQ(2u, testutil::Children(volume, ZM_OBJ_PARTITION).size());
}
