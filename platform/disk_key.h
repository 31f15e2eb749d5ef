// HKEY_LOCAL_MACHINE\SYSTEM\DISK, the key that holds the FT configuration ("Information")
// and the CD-ROM letters, decoded for scripts: each value by its type, and "Information"
// record by record with the validator's verdict.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "registry_store.h"

namespace ntp::reg {

inline constexpr char16_t kDiskKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";

// The key's "Information" value (its name in any case; the last one listed), or null.
const Value* InformationOf(const std::vector<Value>& values);
// Whether an "Information" value is well formed; one too short for its header never is.
// On failure *why says what is wrong.
bool InformationValid(const Value& information, std::string* why);

// A value's data as text: a string's up to its first NUL, a 4-byte DWORD's in decimal,
// anything else in hex.
std::string ValueDataText(const Value& value);
// {"name", "type", "size", "data"}: data as ValueDataText has it, a DWORD as a number.
nlohmann::json ValueJson(const Value& value);
// {"key", "values", "information"} for a listing of the key (a hive's, for instance):
// "information" is the decoded "Information" (null without one), with its type.
nlohmann::json DiskKeyJson(const std::vector<Value>& values);
// The same for the key as the registry store holds it.
nlohmann::json DiskKeyJson();

}  // namespace ntp::reg
