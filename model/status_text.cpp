#include "status_text.h"

#include "ftdisk.h"
#include "layout.h"
#include "status.h"
#include "zmapi.h"

namespace model {

std::string HexStatus(uint32_t status) { return ntp::HexCode(status); }

namespace {

// Every code a request can end with: its name in the host's and provider's headers and
// what it means for the administrator.
struct StatusEntry {
  uint32_t code;
  const char* name;
  const char* text;
};
#define STATUS_ENTRY(code, text) \
  { code, #code, text }
constexpr StatusEntry kStatusTable[] = {
    {0, "STATUS_SUCCESS", "success"},
    // The provider's own codes.
    STATUS_ENTRY(FT_E_REGISTRY_UPDATE,
                 "the disk registry cannot be updated (no record for the partition, or the store failed)"),
    STATUS_ENTRY(FT_E_NO_SUCH_SET, "the FT configuration has no set for this volume"),
    STATUS_ENTRY(FT_E_NO_PARTITION, "the member's partition is not in the database"),
    STATUS_ENTRY(LDM_E_TABLE_UNREADABLE, "the partition table cannot be read"),
    STATUS_ENTRY(LDM_E_NOT_FREE_SPACE,
                 "the offset is not the start of a free region, or the size does not fit in it"),
    STATUS_ENTRY(LDM_E_NOTHING_LEFT,
                 "nothing is left after rounding the end to a cylinder boundary; ask for at least half a "
                 "cylinder more"),
    STATUS_ENTRY(LDM_E_ZAP_FAILED, "the first sector of the new partition cannot be cleared"),
    STATUS_ENTRY(LDM_E_EXTENDED_IN_TABLE,
                 "the disk has an extended partition already; create logical drives inside it"),
    STATUS_ENTRY(LDM_E_WRITE_FAILED, "the new partition table cannot be written"),
    STATUS_ENTRY(LDM_E_OPEN_FAILED, "the disk cannot be opened"),
    STATUS_ENTRY(LDM_E_REGIONS_FAILED, "the partition table cannot be turned into regions"),
    STATUS_ENTRY(LDM_E_GEOMETRY_FAILED, "the disk geometry cannot be read"),
    STATUS_ENTRY(FT_E_CONFIG_UNREADABLE, "the FT configuration in the registry cannot be loaded"),
    STATUS_ENTRY(
        LDM_E_FT_VOLUME,
        "the volume belongs to an FT set; break or delete the set first (see 'ftdiskctl ft --help')"),
    STATUS_ENTRY(FT_E_CANNOT_OPEN, "the volume's device cannot be opened"),
    STATUS_ENTRY(LDM_E_EXTENDED_NOT_EMPTY,
                 "the extended partition still holds a logical drive; delete its logical drives first"),
    STATUS_ENTRY(
        LDM_E_NO_FREE_SLOT,
        "all four primary slots are in use; delete a primary partition, or create a logical drive in "
        "the extended partition"),
    STATUS_ENTRY(LDM_E_EXTENDED_EXISTS, "an extended partition exists already"),
    STATUS_ENTRY(LDM_E_NOT_SINGLE_PARTITION, "the volume is not a single-partition volume"),
    STATUS_ENTRY(LDM_E_TABLE_READ_ONLY, "the disk's partition table is left alone by requests"),
    STATUS_ENTRY(LDM_E_SIGNATURE_NOT_UNIQUE,
                 "the disk's signature is 0 or another disk's too; give it a fresh one with 'attach "
                 "--write-signature'"),
    // The host's codes.
    STATUS_ENTRY(ZM_E_FAIL, "the request failed"),
    STATUS_ENTRY(ZM_E_NO_OBJECT, "no such object"),
    STATUS_ENTRY(ZM_E_NO_PROPERTY, "a property is missing"),
    STATUS_ENTRY(ZM_E_NO_PROVIDER, "the provider is not loaded"),
    STATUS_ENTRY(ZM_E_NOT_THIS_PROVIDER, "the object belongs to another provider"),
    STATUS_ENTRY(ZM_E_INVALID_HANDLE, "invalid handle"),
    STATUS_ENTRY(ZM_E_LETTER_IN_USE,
                 "the drive letter is in use; remove it from its volume first or pick another"),
    STATUS_ENTRY(ZM_E_BAD_LETTER, "the drive letter is not valid (C: to Z:)"),
    STATUS_ENTRY(FT_E_CANNOT_LOCK, "the CD-ROM drive cannot be locked"),
    STATUS_ENTRY(ZM_E_WRONG_PARENT, "the object has a wrong or ambiguous parent"),
    STATUS_ENTRY(ZM_E_WRONG_PARENT_TYPE, "the object has a wrong or ambiguous parent"),
    STATUS_ENTRY(ZM_E_AMBIGUOUS_PARENT, "the object has a wrong or ambiguous parent"),
    // The standard family.
    STATUS_ENTRY(E_INVALIDARG_ZM, "the request does not apply to this kind of object"),
    STATUS_ENTRY(E_NOTIMPL_ZM, "this request is not implemented yet"),
    STATUS_ENTRY(E_OUTOFMEMORY_ZM, "out of memory"),
};
#undef STATUS_ENTRY

const StatusEntry* FindStatus(uint32_t status) {
  for (const auto& e : kStatusTable)
    if (e.code == status) return &e;
  return nullptr;
}

}  // namespace

std::string StatusName(uint32_t status) {
  const StatusEntry* e = FindStatus(status);
  return e ? e->name : HexStatus(status);
}

std::string StatusText(uint32_t status) {
  if (const StatusEntry* e = FindStatus(status)) return e->text;
  if ((status & 0xFFFF0000u) == 0xC1100000u) return "the provider reported an error";
  if ((status & 0xFFFF0000u) == 0xC1000000u) return "the host reported an error";
  return "the request failed";
}

std::string FailureSentence(const std::string& what, uint32_t status) {
  return what + ": " + StatusText(status) + " (" + HexStatus(status) + ")";
}

}  // namespace model
