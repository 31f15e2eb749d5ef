// MBR and extended boot record sectors as they lie on a disk: the four table slots, the
// boot mark, the disk signature, and the entry types that need telling apart (extended
// containers, the protective entry of a foreign GPT layout). Shared by the platform's disk
// driver stand-in, the provider's table checks and the front end.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace ftformat {

constexpr size_t kMbrTableOffset = 0x1BE;
constexpr size_t kMbrEntrySize = 16;
constexpr size_t kMbrSignatureOffset = 0x1B8;
constexpr size_t kMbrSectorSize = 512;
// The type of the one entry that covers a GPT disk in its protective MBR.
constexpr uint8_t kProtectiveType = 0xEE;
// Why a disk with a foreign (GPT) layout is left alone: its table is never rewritten.
inline constexpr char kForeignLayout[] = "gpt disk, not managed";
inline constexpr char16_t kForeignLayoutW[] = u"gpt disk, not managed";

// One slot of a table sector, as stored (start relative for extended boot records).
struct MbrEntry {
  uint8_t boot = 0;
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t count = 0;
};

// Whether the sector ends in the 0x55 0xAA mark; sector holds at least 512 bytes.
bool HasBootMark(const uint8_t* sector);
// Slot 0..3 of a table sector of at least 512 bytes.
MbrEntry MbrSlot(const uint8_t* sector, int slot);
// The four slots; false (entries untouched) when the sector is shorter than 512 bytes
// or lacks the boot mark.
bool ReadMbrSlots(const uint8_t* sector, size_t size, MbrEntry entries[4]);
// The disk signature of sector 0 (0 when size is too short to hold it), and its writer.
uint32_t MbrSignature(const uint8_t* sector, size_t size);
void PutMbrSignature(uint8_t* sector, uint32_t signature);

// 0x05 or 0x0F, also with the fault-tolerance bits 0x40/0x80 (0x85, 0xC5, 0x8F...): the
// chain under each of these is followed and the space counts as an extended partition.
bool IsContainerType(uint8_t type);
// Whether sector 0 (at least 512 bytes) belongs to a foreign layout: a marked table with
// a protective entry in any slot.
bool IsForeignSector0(const uint8_t* sector);
// Whether a disk belongs to a foreign layout: sector 0 is (above), or sector 1 holds a GPT
// header. Either may be null when it could not be read.
bool IsForeignLayout(const uint8_t* sector0, const uint8_t* sector1);

}  // namespace ftformat
