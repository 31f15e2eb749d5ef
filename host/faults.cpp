// Call accounting and fault injection for every host operation: per-thread counters
// that only their thread writes (no shared cache line bouncing between the caller and
// the notifier), and a short list of armed faults checked only while any is armed.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <vector>

#include "internal.h"
#include "machine.h"

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

struct Counts {
  std::atomic<uint64_t> n[kOpCount] = {};
};

// The counters of live threads, and what exited threads counted. Never destroyed:
// threads may end during process exit.
struct Registry {
  std::mutex mutex;
  std::vector<Counts*> live;
  Counts retired;
};
Registry& Threads() {
  static auto* r = new Registry;
  return *r;
}

// Retires a thread's counters when the thread ends.
struct ThreadCounts {
  Counts counts;
  ThreadCounts() {
    std::lock_guard<std::mutex> g(Threads().mutex);
    Threads().live.push_back(&counts);
  }
  ~ThreadCounts() {
    Registry& r = Threads();
    std::lock_guard<std::mutex> g(r.mutex);
    for (unsigned i = 0; i < kOpCount; ++i) r.retired.n[i].fetch_add(counts.n[i].load());
    std::erase(r.live, &counts);
  }
};

}  // namespace

// The counters of this thread. The library is loaded with the program, so its
// thread-locals can live in the initial TLS block: a plain pointer read, no call into
// the dynamic loader and no initialisation guard on every host call.
constinit thread_local std::atomic<uint64_t>* tCallCounts __attribute__((tls_model("initial-exec"))) =
    nullptr;
std::atomic<unsigned> gArmedFaults{0};

std::atomic<uint64_t>* ThreadCallCounts() {
  thread_local ThreadCounts mine;
  return tCallCounts = mine.counts.n;
}

namespace {

uint64_t Total(unsigned op) {
  Registry& r = Threads();
  std::lock_guard<std::mutex> g(r.mutex);
  uint64_t n = r.retired.n[op].load();
  for (const Counts* c : r.live) n += c->n[op].load(std::memory_order_relaxed);
  return n;
}

std::mutex gFaultMutex;
std::vector<Fault> gFaults;

int FindOp(const std::string& name) {
  for (unsigned i = 0; i < kOpCount; ++i)
    if (name == kOpNames[i]) return static_cast<int>(i);
  return -1;
}

}  // namespace

bool FaultFires(Op op, ZMSTATUS* status) {
  std::lock_guard<std::mutex> g(gFaultMutex);
  uint64_t n = Total(op);
  for (auto it = gFaults.begin(); it != gFaults.end(); ++it) {
    // At or past its call: a call counted while the fault was being armed may have
    // gone by without looking.
    if (it->op == op && n >= it->target) {
      *status = it->status;
      gFaults.erase(it);
      gArmedFaults.fetch_sub(1, std::memory_order_release);
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
  uint64_t now = zmi::Total(static_cast<unsigned>(op));
  zmi::gFaults.push_back({static_cast<zmi::Op>(op), now + nth, status});
  zmi::gArmedFaults.fetch_add(1, std::memory_order_release);
}

void ClearFaults() {
  std::lock_guard<std::mutex> g(zmi::gFaultMutex);
  zmi::gArmedFaults.fetch_sub(static_cast<unsigned>(zmi::gFaults.size()), std::memory_order_release);
  zmi::gFaults.clear();
}

void InjectFaultsFromEnvironment() {
  const char* spec = std::getenv("FTDISKCTL_FAULTS");
  if (spec == nullptr || *spec == '\0') return;
  std::stringstream all(spec);
  std::string item;
  while (std::getline(all, item, ',')) {
    std::stringstream parts(item);
    std::string layer, name, nth, status;
    if (!std::getline(parts, layer, ':') || !std::getline(parts, name, ':') ||
        !std::getline(parts, nth, ':') || !std::getline(parts, status))
      continue;
    char* end = nullptr;
    const unsigned long n = std::strtoul(nth.c_str(), &end, 10);
    const unsigned long code = std::strtoul(status.c_str(), nullptr, 16);
    if (end == nth.c_str() || n == 0) continue;
    if (layer == "platform") ntp::InjectFault(name, static_cast<unsigned>(n), static_cast<uint32_t>(code));
    if (layer == "host") InjectFault(name, static_cast<unsigned>(n), static_cast<ZMSTATUS>(code));
  }
}

uint64_t CallCount(const std::string& operation) {
  int op = zmi::FindOp(operation);
  return op < 0 ? 0 : zmi::Total(static_cast<unsigned>(op));
}

uint64_t TotalCalls() {
  uint64_t total = 0;
  for (unsigned op = 0; op < zmi::kOpCount; ++op) total += zmi::Total(op);
  return total;
}

}  // namespace zm
