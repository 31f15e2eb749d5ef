// Key handles of the registry calls, for NtClose.
#pragma once

#include "nttypes.h"

namespace ntp::reg {
// Closes h when it is an open registry key handle; false when it is not one.
bool CloseKeyHandle(HANDLE h);
}  // namespace ntp::reg
