// Fault injection: each armed fault counts down the calls of its function and fires
// once, on the call it was armed for.
#include "faults.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "machine.h"

namespace ntp {

namespace {
struct Fault {
  std::string function;
  unsigned remaining;
  uint32_t status;
};
std::mutex g_mutex;
std::vector<Fault> g_faults;
std::atomic<bool> g_armed{false};
}  // namespace

void InjectFault(const std::string& function, unsigned nth, uint32_t status) {
  if (nth == 0) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_faults.push_back({function, nth, status});
  g_armed = true;
}

void ClearFaults() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_faults.clear();
  g_armed = false;
}

bool ShouldFail(const char* function, uint32_t* status) {
  if (!g_armed.load(std::memory_order_relaxed) || function == nullptr) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  bool fired = false;
  for (auto it = g_faults.begin(); it != g_faults.end();) {
    if (it->function == function && --it->remaining == 0) {
      if (!fired && status != nullptr) *status = it->status;
      fired = true;
      it = g_faults.erase(it);
    } else {
      ++it;
    }
  }
  if (g_faults.empty()) g_armed = false;
  return fired;
}

}  // namespace ntp
