// The machine's registry store (SQLite). Placeholder until the store lands.
#include "registry_store.h"

namespace ntp::reg {

bool Open(const std::string&, std::string*) { return true; }
void Close() {}
bool GetValue(const std::u16string&, const std::u16string&, uint32_t*, std::vector<uint8_t>*) {
  return false;
}
bool SetValue(const std::u16string&, const std::u16string&, uint32_t, const std::vector<uint8_t>&) {
  return false;
}
bool DeleteValue(const std::u16string&, const std::u16string&) { return false; }
std::vector<Value> ListValues(const std::u16string&) { return {}; }
bool ExportRegFile(const std::u16string&, const std::string&, std::string* error) {
  if (error) *error = "not available";
  return false;
}
bool ImportRegFile(const std::string&, std::string* error) {
  if (error) *error = "not available";
  return false;
}

}  // namespace ntp::reg
