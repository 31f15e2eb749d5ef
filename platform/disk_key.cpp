#include "disk_key.h"

#include <cctype>
#include <cstring>

#include "configblob.h"
#include "configblob_text.h"
#include "ntplatform.h"
#include "registry_internal.h"

namespace ntp::reg {

namespace {

// A string value's text, up to its first NUL.
std::string StringData(const std::vector<uint8_t>& data) {
  std::u16string s;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    s += c;
  }
  return ToUtf8(s);
}

std::string HexData(const std::vector<uint8_t>& data) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : data) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

bool IsStringType(uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ; }
bool IsDword(const Value& v) { return v.type == REG_DWORD && v.data.size() == 4; }

uint32_t DwordData(const Value& v) {
  uint32_t x;
  std::memcpy(&x, v.data.data(), 4);
  return x;
}

bool IsInformation(const Value& v) {
  if (v.name.size() != 11) return false;
  std::string n = ToUtf8(v.name);
  for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return n == "information";
}

}  // namespace

const Value* InformationOf(const std::vector<Value>& values) {
  const Value* found = nullptr;
  for (const auto& v : values)
    if (IsInformation(v)) found = &v;
  return found;
}

bool InformationValid(const Value& v, std::string* why) {
  bool ok = DiskRegistryValidate(v.data.data(), v.data.size(), why);
  if (ok && !ftformat::WalkBlob(v.data.data(), v.data.size()).hasHeader) {
    *why = "shorter than the 44-byte header";
    return false;
  }
  return ok;
}

std::string ValueDataText(const Value& v) {
  if (IsStringType(v.type)) return StringData(v.data);
  if (IsDword(v)) return std::to_string(DwordData(v));
  return HexData(v.data);
}

nlohmann::json ValueJson(const Value& v) {
  nlohmann::json val = {{"name", ToUtf8(v.name)}, {"type", v.type}, {"size", v.data.size()}};
  if (IsDword(v))
    val["data"] = DwordData(v);
  else
    val["data"] = ValueDataText(v);
  return val;
}

nlohmann::json DiskKeyJson(const std::vector<Value>& values) {
  nlohmann::json list = nlohmann::json::array();
  nlohmann::json information = nullptr;
  for (const auto& v : values) {
    list.push_back(ValueJson(v));
    if (IsInformation(v)) {
      std::string why;
      bool ok = DiskRegistryValidate(v.data.data(), v.data.size(), &why);
      information = ftformat::DecodeBlob(v.data.data(), v.data.size(), ok, why);
      information["type"] = v.type;
    }
  }
  return nlohmann::json{{"key", ToUtf8(kDiskKey)}, {"values", list}, {"information", information}};
}

nlohmann::json DiskKeyJson() { return DiskKeyJson(ListValues(kDiskKey)); }

}  // namespace ntp::reg
