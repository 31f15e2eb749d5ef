// Decoding of MBR and extended boot record sectors.
#include "mbr.h"

#include <cstring>

namespace ftformat {

namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

bool HasBootMark(const uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

MbrEntry MbrSlot(const uint8_t* sector, int slot) {
  const uint8_t* e = sector + kMbrTableOffset + kMbrEntrySize * slot;
  return MbrEntry{e[0], e[4], Le32(e + 8), Le32(e + 12)};
}

bool ReadMbrSlots(const uint8_t* sector, size_t size, MbrEntry entries[4]) {
  if (size < kMbrSectorSize || !HasBootMark(sector)) return false;
  for (int i = 0; i < 4; ++i) entries[i] = MbrSlot(sector, i);
  return true;
}

uint32_t MbrSignature(const uint8_t* sector, size_t size) {
  return size < kMbrSignatureOffset + 4 ? 0 : Le32(sector + kMbrSignatureOffset);
}

void PutMbrSignature(uint8_t* sector, uint32_t signature) {
  for (int i = 0; i < 4; ++i) sector[kMbrSignatureOffset + i] = uint8_t(signature >> (8 * i));
}

bool IsContainerType(uint8_t type) {
  const uint8_t base = type & 0x3F;
  return base == 0x05 || base == 0x0F;
}

bool IsForeignSector0(const uint8_t* sector) {
  if (!HasBootMark(sector)) return false;
  for (int slot = 0; slot < 4; ++slot)
    if (MbrSlot(sector, slot).type == kProtectiveType) return true;
  return false;
}

bool IsForeignLayout(const uint8_t* sector0, const uint8_t* sector1) {
  return (sector0 != nullptr && IsForeignSector0(sector0)) ||
         (sector1 != nullptr && std::memcmp(sector1, "EFI PART", 8) == 0);
}

}  // namespace ftformat
