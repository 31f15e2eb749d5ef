// What the NT and Win32 registry calls share with the store: canonical key paths,
// NT-status results, and the table of open key handles.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nttypes.h"

namespace ntp::reg {

// Turns "\REGISTRY\MACHINE\A\B" or "HKEY_LOCAL_MACHINE\A\B" (any case) into the path
// below the machine root, "A\B" ("" for the root). Fails for other roots, empty
// components and embedded NULs.
NTSTATUS CanonicalPath(const std::u16string& path, std::u16string* relative);
// Joins a key's relative path and a subkey path ("" subkey names the key itself).
NTSTATUS JoinPath(const std::u16string& base, const std::u16string& subKey, std::u16string* relative);

// Store operations on relative paths. All return NT statuses.
NTSTATUS KeyExists(const std::u16string& rel);  // SUCCESS, OBJECT_NAME_NOT_FOUND, OBJECT_PATH_NOT_FOUND
// Creates rel (and, with parents, the missing keys above it) in one transaction.
NTSTATUS KeyCreate(const std::u16string& rel, const std::u16string* className, bool parents, bool* created);
NTSTATUS KeyClass(const std::u16string& rel, std::u16string* className);
// storedName, when given, receives the value's name as it was spelled when created.
NTSTATUS ValueGet(const std::u16string& rel, const std::u16string& name, uint32_t* type,
                  std::vector<uint8_t>* data, std::u16string* storedName = nullptr);
NTSTATUS ValuePut(const std::u16string& rel, const std::u16string& name, uint32_t type, const uint8_t* data,
                  size_t size);  // the key must exist
NTSTATUS ValueRemove(const std::u16string& rel, const std::u16string& name);

// Open key handles: each names a key by its relative path and carries its granted access.
HANDLE NewKeyHandle(const std::u16string& rel, uint32_t access);
bool LookupKeyHandle(HANDLE h, std::u16string* rel, uint32_t* access);

// Access a requested mask grants (generic and maximum-allowed rights expanded).
uint32_t GrantedAccess(uint32_t requested);

}  // namespace ntp::reg

namespace ntp::reg {

// One change of an import: the key is created when missing; the value is then set, or
// removed when remove is true.
struct BatchOp {
  std::u16string rel;
  bool hasValue = false;
  bool remove = false;
  std::u16string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};
// Applies every op in one transaction: all or nothing.
NTSTATUS ApplyBatch(const std::vector<BatchOp>& ops);

// The key's path below the root as it was spelled when the key was created.
NTSTATUS KeyDisplayPath(const std::u16string& rel, std::u16string* display);

// UTF-16 <-> UTF-8 for messages and text files; FromUtf8 refuses malformed UTF-8.
std::string ToUtf8(const std::u16string& s);
bool FromUtf8(const std::string& s, std::u16string* out);

}  // namespace ntp::reg
