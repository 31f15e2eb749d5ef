// What an FT request is about to do, recorded before it writes anything, so that the
// same request run again after an interruption finds the partitions it made (or was
// deleting) and finishes, and `check` can name them. The records are one sealed
// registry value (FtStateKey, "Requests"): written whole in one transaction, and
// refused whole when damaged.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ftconfig.h"

namespace ftconfig {

struct Intent {
  enum Op : uint16_t { kCreate = 1, kExtend = 2, kDelete = 3, kReplace = 4 };
  struct Part {
    PartitionRef where;      // the partition as the provider makes it (or as recorded)
    bool mine = false;       // made (kDelete: deleted) by this request
    int64_t freeOffset = 0;  // the free region the request is made at (mine only)
    int64_t request = 0;     // the length asked for
    bool operator==(const Part&) const = default;
  };
  uint16_t op = 0;
  uint32_t type = 0;
  uint16_t group = 0;
  uint16_t member = 0;  // kReplace: the member that gets the new partition
  std::string command;  // the request as typed after "ftdiskctl"
  // kCreate: the set's members in order; kExtend, kReplace: the new partition;
  // kDelete: the set's members.
  std::vector<Part> parts;
  bool operator==(const Intent&) const = default;
};

// Byte form of a list of intents (sealed), and back; Decode checks every count and
// length against the bytes before it uses them.
std::vector<uint8_t> EncodeIntents(const std::vector<Intent>& intents);
bool DecodeIntents(const uint8_t* data, size_t size, std::vector<Intent>* intents, std::string* why);

// The stored intents (none when nothing is stored). False with *error when the value is
// damaged: it is then left as it is, and no request relies on it.
bool LoadIntents(std::vector<Intent>* intents, std::string* error);
// Replaces the stored intents (an empty list removes the value).
bool StoreIntents(const std::vector<Intent>& intents, std::string* error);

// How far an intent got, from the configuration and the partitions on the disks.
struct IntentProgress {
  // Nothing is left to finish: the set is made, grown, given its member or gone as
  // asked, or nothing of the request reached the disks. The intent may be forgotten.
  bool done = false;
  // Done because it did all it was asked (not because nothing of it reached the disks).
  bool finished = false;
  // Partitions it made (kDelete: was deleting) that no FT set holds.
  std::vector<PartitionRef> leftovers;
};
IntentProgress Progress(const Intent& intent, const FTInfo& info,
                        const std::function<bool(const PartitionRef&)>& exists);

}  // namespace ftconfig
