// The registry store of a machine (SQLite), as the rest of the platform sees it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ntp::reg {

bool Open(const std::string& machineDir, std::string* error);  // at boot
void Close();                                                  // at shutdown

// Key paths are full native paths, e.g. u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK"
// (HKEY_LOCAL_MACHINE\... names the same key); names are case-insensitive.
bool GetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t* type,
              std::vector<uint8_t>* data);
bool SetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t type,
              const std::vector<uint8_t>& data);  // creates the key; one transaction
bool DeleteValue(const std::u16string& keyPath, const std::u16string& name);
struct Value {
  std::u16string name;
  uint32_t type;
  std::vector<uint8_t> data;
};
std::vector<Value> ListValues(const std::u16string& keyPath);

// One value of an import: set under the key keyPath (a full native path), or removed
// (remove); keyOnly names a key to create without touching a value.
struct ImportValue {
  std::u16string keyPath;
  std::u16string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  bool remove = false;
  bool keyOnly = false;
};
// Reads a REGEDIT4 file into its values; stores nothing.
bool ParseRegFile(const std::string& file, std::vector<ImportValue>* values, std::string* error);
// Stores the values in one transaction: all of them, or (false) none.
bool ImportValues(const std::vector<ImportValue>& values, std::string* error);

// REGEDIT4 text (export of one key's values; import replaces each value it names).
bool ExportRegFile(const std::u16string& keyPath, const std::string& file, std::string* error);
bool ImportRegFile(const std::string& file, std::string* error);

}  // namespace ntp::reg
