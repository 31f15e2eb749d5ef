// The statuses a request can end with, for people: each host and provider code's name and
// what it means, and the one sentence an error message makes of them.
#pragma once

#include <cstdint>
#include <string>

namespace model {

// "0xC1100013".
std::string HexStatus(uint32_t status);
// One phrase for a status of the host, the provider or the standard family, for example
// "all four primary slots are in use"; a generic phrase for unknown codes.
std::string StatusText(uint32_t status);
// The code's name in the host's and provider's headers (LDM_E_FT_VOLUME...); hex when it has none.
std::string StatusName(uint32_t status);
// "cannot create partition: all four primary slots are in use (0xC1100013)".
std::string FailureSentence(const std::string& what, uint32_t status);

}  // namespace model
