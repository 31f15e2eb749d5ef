// Pure helpers of the front end: the model's names, sizes and status texts, and the
// shell's words. Nothing here touches the machine, so the tests use these directly.
#pragma once

#include <string>
#include <vector>

#include "object_names.h"
#include "status_text.h"

namespace cli {

using model::FailureSentence;
using model::FormatSize;
using model::FormatUnits;
using model::FtSetName;
using model::HexStatus;
using model::ParseDriveLetter;
using model::ParseSize;
using model::ParseVolumeSpec;
using model::RegionKindName;
using model::StateText;
using model::StatusName;
using model::StatusText;
using model::UnitCount;
using model::VolumeKindName;
using model::VolumeSpec;

// Splits one line of the shell into words: blanks separate, single and double quotes
// group, a backslash escapes the next character. Fails on an unterminated quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

}  // namespace cli
