// The FT configuration blob ("Information") decoded for scripts (JSON) and for people
// (one line per record), both read from WalkBlob, so the two never disagree and neither
// reads outside the bytes held, however malformed the blob.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>

namespace ftformat {

// valid is the validator's verdict on the blob and why its reason when it failed; the
// walk stops where the records run out, whatever the verdict says. A blob shorter than
// its header is never valid.
nlohmann::json DecodeBlob(const uint8_t* data, size_t size, bool valid, const std::string& why);

// The same for people. sizeText writes a partition's length in the reader's units
// (the front end's "100M").
std::string BlobText(const uint8_t* data, size_t size, bool valid, const std::string& why,
                     std::string (*sizeText)(uint64_t));

}  // namespace ftformat
