// Pure helpers of the front end: sizes and status texts written for people, shell words.
// Nothing here touches the machine, so the tests use these directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "object_names.h"

namespace cli {

using model::FormatSize;
using model::FormatUnits;
using model::FtSetName;
using model::ParseDriveLetter;
using model::ParseSize;
using model::ParseVolumeSpec;
using model::RegionKindName;
using model::StateText;
using model::VolumeKindName;
using model::VolumeSpec;

// bytes in whole units ("6"), what is left over in sectors ("0+63s": 63 sectors past
// cylinder 0) or, when not whole sectors, in bytes ("96327+100b").
std::string UnitCount(uint64_t bytes, uint64_t unit, uint64_t sector);

// "0xC1100013".
std::string HexStatus(uint32_t status);
// One phrase for a status of the host, the provider or the standard family, for example
// "all four primary slots are in use"; a generic phrase for unknown codes.
std::string StatusText(uint32_t status);
// The code's name in the host's and provider's headers (LDM_E_FT_VOLUME...); hex when it has none.
std::string StatusName(uint32_t status);
// "cannot create partition: all four primary slots are in use (0xC1100013)".
std::string FailureSentence(const std::string& what, uint32_t status);

// Splits one line of the shell into words: blanks separate, single and double quotes
// group, a backslash escapes the next character. Fails on an unterminated quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

}  // namespace cli
