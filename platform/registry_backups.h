// What the registry store shares with its automatic backups of the disk key.
#pragma once

#include <string>
#include <vector>

#include "ntplatform.h"
#include "registry_store.h"

namespace ntp::reg::backups {

// The disk key as a backup holds it: its spelling, its class (when it has one) and its
// values.
struct KeyImage {
  std::u16string path;  // below the root, as spelled when the key was made
  bool hasClass = false;
  std::u16string className;
  std::vector<Value> values;
  bool operator==(const KeyImage& o) const;
};

std::vector<uint8_t> Encode(const KeyImage& key);
// Refuses a file that is cut short, fails its checksum or whose lengths leave it.
bool Decode(const std::vector<uint8_t>& bytes, KeyImage* key, std::string* why);

// Keeps `before` (unless the newest backup holds it already) and then `after` (when
// given), each fsynced with its directory, then drops all but the newest kBackupsKept.
// *pending receives the path of the `after` file, which the caller removes when its
// change is rolled back.
bool Keep(const std::string& machineDir, const KeyImage* before, const KeyImage* after, std::string* pending,
          std::string* error);

std::string Directory(const std::string& machineDir);

// Store side of a recovery (registry_store.cpp): opens DIR/registry.db, making a new
// store when there is none, and sets the disk key to a backup's image in one
// transaction (values the image lacks are removed).
bool OpenForRecovery(const std::string& machineDir, std::string* error);
// Why the last open failed: a store lost (missing or empty) or damaged is replaced by a
// recovery; any other failure (a full or read-only file system) leaves it alone.
enum class StoreProblem { None, Lost, Damaged, Other };
StoreProblem LastOpenProblem();
NTSTATUS RestoreKey(const KeyImage& image);

}  // namespace ntp::reg::backups
