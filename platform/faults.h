// Fault injection shared by every platform call: a call site asks whether this call of
// its function is to fail, and with which status.
#pragma once

#include <cstdint>

namespace ntp {
// Counts one call of `function`; true (with the status) when an injected fault fires.
bool ShouldFail(const char* function, uint32_t* status);
}  // namespace ntp
