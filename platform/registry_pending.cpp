// Fallback for the platform's fault-injection hook until the machine's own lands: a
// weak definition that never fails, overridden by the real one.
#include "faults.h"

namespace ntp {
__attribute__((weak)) bool ShouldFail(const char*, uint32_t*) { return false; }
}  // namespace ntp
