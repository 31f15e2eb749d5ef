// A started host without a booted machine, and a small provider linked into the test
// that records what the host sends it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zmapi.h"
#include "zmhost.h"

namespace hosttest {

struct Notice {
  GUID guid;
  ZM_OBJECT_ID id;
  uint32_t type;
  uint32_t sequence;
  std::thread::id thread;
};

// What the recording provider saw; one instance, reset by each fixture.
struct Recorder {
  std::mutex mu;
  std::vector<Notice> notices;
  ZM_HANDLE db = nullptr, prov = nullptr;
  ZMSTATUS initResult = 0;
  std::vector<GUID> registerOnInit;
  std::function<void(const _Zm_Notification_Header*)> onNotify;
  std::vector<std::string> calls;  // "Init", "Shutdown", "Control cls/code"
  std::vector<Notice> Take() {
    std::lock_guard<std::mutex> g(mu);
    return notices;
  }
  void Reset() {
    std::lock_guard<std::mutex> g(mu);
    notices.clear();
    calls.clear();
    db = prov = nullptr;
    initResult = 0;
    registerOnInit.clear();
    onNotify = nullptr;
  }
};
Recorder& Rec();

// ProviderEntry of the recording provider: answers to any name.
ZMSTATUS RecorderEntry(const WCHAR* name, uint32_t unused, ZM_PROVIDER_INFO* info);

inline bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Rec().Reset();
    zm::ClearFaults();
    blocksBefore_ = zm::OutstandingBlocks();
    db = zm::Start();
    ASSERT_NE(db, nullptr);
  }
  void TearDown() override {
    zm::WaitIdle();
    zm::Stop();
    zm::ClearFaults();
    EXPECT_EQ(zm::OutstandingBlocks(), blocksBefore_) << "blocks left behind";
  }
  ZM_OBJECT_ID Create(uint32_t type) {
    ZM_OBJECT_ID id = 0;
    EXPECT_EQ(ObCreateObject(db, nullptr, type, &id), ZM_S_OK);
    return id;
  }
  // Registers the recording provider, which asks for the given events when initialised.
  ZM_HANDLE Recorder(std::vector<GUID> guids = {}, const char16_t* name = u"rec") {
    Rec().registerOnInit = std::move(guids);
    std::string err;
    ZM_HANDLE p = zm::RegisterProvider(&RecorderEntry, name, &err);
    EXPECT_NE(p, nullptr) << err;
    return p;
  }
  ZM_HANDLE db = nullptr;

 private:
  uint64_t blocksBefore_ = 0;
};

ZMSTATUS SetU32(ZM_HANDLE db, ZM_OBJECT_ID id, const char* name, uint32_t v);

}  // namespace hosttest
