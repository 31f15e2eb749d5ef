// The names the model gives objects and host values, and the names and sizes a command
// line gives them. Nothing here touches the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace model {

// Parses a size: bytes ("4096", "4096B"), binary units ("100K", "100M", "2G", "1T",
// "1.5G", "100MiB"), decimal units ("100KB", "100MB", "2GB", "1TB") or, when sectors is
// given, a sector count ("2048s", *sectors set; the caller multiplies). Fails on garbage,
// on a result that is not a whole number of bytes and on overflow. allowZero is for
// offsets.
bool ParseSize(const std::string& text, bool allowZero, uint64_t* bytes, std::string* error,
               bool* sectors = nullptr);

// "101.9 MiB", "512 bytes": sizes in sentences.
std::string FormatUnits(uint64_t bytes);
// A byte count the way lsblk writes it: "512B", "100M", "1.5G" (one decimal at most).
std::string FormatSize(uint64_t bytes);
// bytes in whole units ("6"), what is left over in sectors ("0+63s": 63 sectors past
// cylinder 0) or, when not whole sectors, in bytes ("96327+100b").
std::string UnitCount(uint64_t bytes, uint64_t unit, uint64_t sector);

// "E:", "e:" or "E" -> 'E'. Only C to Z are drive letters.
std::optional<char> ParseDriveLetter(const std::string& text);

// What names a volume on the command line.
// Names that hold across boots: "E:", "diskN/pM" (M the MBR slot 1 to 4, logical drives
// from 5 in chain order, as Linux numbers them), "diskN/extended", "diskN@START" (the
// partition that starts there: "2048s" in sectors, or bytes with the units of sizes),
// "cdromN" and FT sets by type and group ("mirror0", "stripe1", "parity2", "volset3").
// Object ids ("14", "#14") change with every boot; the caller decides where they are
// accepted.
struct VolumeSpec {
  enum Kind { Letter, Partition, Extended, Start, Cdrom, FtSet, ObjectId } kind = ObjectId;
  char letter = 0;         // Letter
  unsigned disk = 0;       // Partition, Extended, Start: diskN
  uint64_t start = 0;      // Start: bytes, or sectors when inSectors
  bool inSectors = false;  // Start
  unsigned number = 0;     // Partition: pM; Cdrom: cdromN; FtSet: the group
  std::string ftKind;      // FtSet: the volume kind ("mirror", "stripe", "stripe_with_parity", "volume_set")
  uint64_t id = 0;         // ObjectId
};
// The stable name of an FT set: "mirror" and group 0 -> "mirror0"; "" for other kinds.
std::string FtSetName(const std::string& volumeKind, uint64_t group);
bool ParseVolumeSpec(const std::string& text, VolumeSpec* spec, std::string* error);

// Names of host values shown to people.
std::string RegionKindName(uint32_t regionType);     // 1 primary, 2 extended, 3 logical
std::string VolumeKindName(uint32_t ldmVolumeType);  // primary, logical, cdrom, mirror, ...
std::string StateText(uint64_t state);               // "healthy", "failed", "healthy+0x4000000000"...
std::string SignatureText(uint32_t signature);       // a disk signature in messages: "1a2b3c4d"

}  // namespace model
