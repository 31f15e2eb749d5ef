// Call accounting and fault injection for every host operation: a fixed table of
// atomic counters, and a short list of armed faults checked only while any is armed.
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "internal.h"

namespace zmi {
namespace {

const char* const kOpNames[kOpCount] = {
    "DbLockDatabase",
    "DbUnlockDatabase",
    "DbGetObjects",
    "ObGetChildObjects",
    "ObGetParentObjects",
    "ObGetObjectType",
    "ObCreateObject",
    "ObCreateObjectEx",
    "ObDeleteObject",
    "ObAddChildObject",
    "ObRemoveChildObject",
    "ObGetProperty",
    "ObSetProperty",
    "ObSetProperties",
    "PsCreatePropset",
    "PsDestroyPropset",
    "PsAddProperty",
    "PsFindProperty",
    "PsAddI18nString",
    "PrGetMessageCatalog",
    "PrGetProviderByName",
    "PrCallProvider",
    "EvRegisterEvent",
    "EvUnregisterEvent",
    "ZmRegisterAlertObject",
    "GetAlertObjectId",
    "ZmRaiseAlert",
    "_ZmAlloc",
    "_ZmRealloc",
    "_ZmFree",
    "AlertsLogAppend",
};

struct Fault {
  Op op;
  uint64_t target;  // the value of the op's counter at which it fires
  ZMSTATUS status;
};

std::atomic<uint64_t> gCounts[kOpCount];
std::atomic<unsigned> gArmed{0};
std::mutex gFaultMutex;
std::vector<Fault> gFaults;

int FindOp(const std::string& name) {
  for (unsigned i = 0; i < kOpCount; ++i)
    if (name == kOpNames[i]) return static_cast<int>(i);
  return -1;
}

}  // namespace

bool Enter(Op op, ZMSTATUS* status) {
  uint64_t n = gCounts[op].fetch_add(1, std::memory_order_relaxed) + 1;
  if (gArmed.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> g(gFaultMutex);
  for (auto it = gFaults.begin(); it != gFaults.end(); ++it) {
    if (it->op == op && it->target == n) {
      *status = it->status;
      gFaults.erase(it);
      gArmed.fetch_sub(1, std::memory_order_release);
      return true;
    }
  }
  return false;
}

}  // namespace zmi

namespace zm {

void InjectFault(const std::string& operation, unsigned nth, ZMSTATUS status) {
  int op = zmi::FindOp(operation);
  if (op < 0 || nth == 0) return;
  std::lock_guard<std::mutex> g(zmi::gFaultMutex);
  uint64_t now = zmi::gCounts[op].load();
  zmi::gFaults.push_back({static_cast<zmi::Op>(op), now + nth, status});
  zmi::gArmed.fetch_add(1, std::memory_order_release);
}

void ClearFaults() {
  std::lock_guard<std::mutex> g(zmi::gFaultMutex);
  zmi::gArmed.fetch_sub(static_cast<unsigned>(zmi::gFaults.size()), std::memory_order_release);
  zmi::gFaults.clear();
}

uint64_t CallCount(const std::string& operation) {
  int op = zmi::FindOp(operation);
  return op < 0 ? 0 : zmi::gCounts[op].load();
}

uint64_t TotalCalls() {
  uint64_t total = 0;
  for (const auto& count : zmi::gCounts) total += count.load();
  return total;
}

}  // namespace zm
