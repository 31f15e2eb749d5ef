// The disk-registry blob: the FtDisk configuration kept in the registry value
// "Information" of \REGISTRY\MACHINE\SYSTEM\DISK, and the native registry layer that
// reads it and patches drive letters in it.
//
// All integers are little-endian; records lie back to back with no padding but the
// reserved fields, so every record is packed to 4 bytes (every record size is a
// multiple of 4, and every offset this system writes is too).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "ntplatform.h"
#include "nttypes.h"

// Registry location of the configuration.
#define DiskRegistryKey "\\REGISTRY\\MACHINE\\SYSTEM\\DISK"
#define DiskRegistryClass "Disk and fault tolerance information."
#define DiskRegistryValue "Information"

// Returned when a stored blob fails DiskRegistryValidate: stored but unreadable.
#ifndef STATUS_REGISTRY_CORRUPT
#define STATUS_REGISTRY_CORRUPT ((NTSTATUS)0xC000014C)
#endif

// Values as stored; other values are carried unchanged, so the record fields are plain
// integers and these are their named constants.
enum FT_TYPE : uint32_t {
  Mirror = 0,
  Stripe = 1,
  StripeWithParity = 2,
  VolumeSet = 3,
  NotAnFtMember = 4,
  WholeDisk = 5,
};

enum _FT_STATE : uint32_t {
  FtStateOk = 0,
  FtHasOrphan = 1,
  FtDisabled = 2,
  FtRegenerating = 3,
  FtInitializing = 4,
  FtCheckParity = 5,
};
typedef _FT_STATE FT_STATE;

enum _FT_PARTITION_STATE : uint32_t {
  Healthy = 0,
  Orphaned = 1,
  Regenerating = 2,
  Initializing = 3,
};
typedef _FT_PARTITION_STATE FT_PARTITION_STATE;

#pragma pack(push, 4)

struct _DISK_CONFIG_HEADER {
  uint32_t Version;  // 3 in every header this system builds
  uint32_t CheckSum;
  uint8_t DirtyShutdown;
  uint8_t Reserved[3];
  uint32_t DiskInformationOffset;  // from the start of the blob
  uint32_t DiskInformationSize;    // 0: no disk part
  uint32_t FtInformationOffset;
  uint32_t FtInformationSize;  // 0: no FT part
  uint32_t FtStripeWidth;
  uint32_t FtPoolSize;
  uint32_t NameOffset;
  uint32_t NameSize;
};
typedef _DISK_CONFIG_HEADER DISK_CONFIG_HEADER, *PDISK_CONFIG_HEADER;

struct _DISK_PARTITION {
  uint32_t FtType;   // an FT_TYPE
  uint32_t FtState;  // an _FT_PARTITION_STATE
  int64_t StartingOffset;
  int64_t Length;
  int64_t FtLength;
  uint32_t ReservedTwoLongs[2];
  uint8_t DriveLetter;  // 'C'..'Z'; ' ' no letter; 0 none known
  uint8_t AssignDriveLetter;
  uint16_t LogicalNumber;
  uint16_t FtGroup;  // 0xFFFF for a plain partition
  uint16_t FtMember;
  uint8_t Modified;
  uint8_t ReservedChars[3];
};
typedef _DISK_PARTITION DISK_PARTITION, *PDISK_PARTITION;

struct _DISK_DESCRIPTION {
  uint16_t NumberOfPartitions;
  uint16_t ReservedShort;
  uint32_t Signature;
  _DISK_PARTITION Partitions[1];  // NumberOfPartitions records
};
typedef _DISK_DESCRIPTION DISK_DESCRIPTION, *PDISK_DESCRIPTION;

struct _DISK_REGISTRY {
  uint16_t NumberOfDisks;
  uint16_t ReservedShort;
  _DISK_DESCRIPTION Disks[1];  // NumberOfDisks records of varying size
};
typedef _DISK_REGISTRY DISK_REGISTRY, *PDISK_REGISTRY;

struct _FT_MEMBER_DESCRIPTION {
  uint16_t State;  // carried; the member's state is its partition record's FtState
  uint16_t ReservedShort;
  uint32_t Signature;
  uint32_t OffsetToPartitionInfo;  // from the start of the blob
  uint32_t LogicalNumber;
};
typedef _FT_MEMBER_DESCRIPTION FT_MEMBER_DESCRIPTION, *PFT_MEMBER_DESCRIPTION;

struct _FT_DESCRIPTION {
  uint16_t NumberOfMembers;
  uint16_t Type;  // the set's FT_TYPE, 16 bits here
  uint32_t Reserved;
  uint32_t FtVolumeState;  // an _FT_STATE
  _FT_MEMBER_DESCRIPTION FtMemberDescription[1];
};
typedef _FT_DESCRIPTION FT_DESCRIPTION, *PFT_DESCRIPTION;

struct _FT_REGISTRY {
  uint16_t NumberOfComponents;
  uint16_t ReservedShort;
  _FT_DESCRIPTION FtDescription[1];
};
typedef _FT_REGISTRY FT_REGISTRY, *PFT_REGISTRY;

#pragma pack(pop)

// Fixed sizes of the records (the flexible tails excluded).
constexpr uint32_t kDiskConfigHeaderSize = 44;
constexpr uint32_t kDiskRegistryHeaderSize = 4;
constexpr uint32_t kDiskDescriptionHeaderSize = 8;
constexpr uint32_t kDiskPartitionSize = 52;
constexpr uint32_t kFtRegistryHeaderSize = 4;
constexpr uint32_t kFtDescriptionHeaderSize = 12;
constexpr uint32_t kFtMemberDescriptionSize = 16;

static_assert(sizeof(_DISK_CONFIG_HEADER) == 44);
static_assert(offsetof(_DISK_CONFIG_HEADER, DirtyShutdown) == 8);
static_assert(offsetof(_DISK_CONFIG_HEADER, DiskInformationOffset) == 12);
static_assert(offsetof(_DISK_CONFIG_HEADER, DiskInformationSize) == 16);
static_assert(offsetof(_DISK_CONFIG_HEADER, FtInformationOffset) == 20);
static_assert(offsetof(_DISK_CONFIG_HEADER, FtInformationSize) == 24);
static_assert(offsetof(_DISK_CONFIG_HEADER, FtStripeWidth) == 28);
static_assert(offsetof(_DISK_CONFIG_HEADER, FtPoolSize) == 32);
static_assert(offsetof(_DISK_CONFIG_HEADER, NameOffset) == 36);
static_assert(offsetof(_DISK_CONFIG_HEADER, NameSize) == 40);

static_assert(sizeof(_DISK_PARTITION) == 52);
static_assert(offsetof(_DISK_PARTITION, FtState) == 4);
static_assert(offsetof(_DISK_PARTITION, StartingOffset) == 8);
static_assert(offsetof(_DISK_PARTITION, Length) == 16);
static_assert(offsetof(_DISK_PARTITION, FtLength) == 24);
static_assert(offsetof(_DISK_PARTITION, ReservedTwoLongs) == 32);
static_assert(offsetof(_DISK_PARTITION, DriveLetter) == 40);
static_assert(offsetof(_DISK_PARTITION, AssignDriveLetter) == 41);
static_assert(offsetof(_DISK_PARTITION, LogicalNumber) == 42);
static_assert(offsetof(_DISK_PARTITION, FtGroup) == 44);
static_assert(offsetof(_DISK_PARTITION, FtMember) == 46);
static_assert(offsetof(_DISK_PARTITION, Modified) == 48);
static_assert(offsetof(_DISK_PARTITION, ReservedChars) == 49);

static_assert(offsetof(_DISK_DESCRIPTION, Signature) == 4);
static_assert(offsetof(_DISK_DESCRIPTION, Partitions) == kDiskDescriptionHeaderSize);
static_assert(sizeof(_DISK_DESCRIPTION) == kDiskDescriptionHeaderSize + kDiskPartitionSize);
static_assert(offsetof(_DISK_REGISTRY, Disks) == kDiskRegistryHeaderSize);

static_assert(sizeof(_FT_MEMBER_DESCRIPTION) == 16);
static_assert(offsetof(_FT_MEMBER_DESCRIPTION, Signature) == 4);
static_assert(offsetof(_FT_MEMBER_DESCRIPTION, OffsetToPartitionInfo) == 8);
static_assert(offsetof(_FT_MEMBER_DESCRIPTION, LogicalNumber) == 12);
static_assert(offsetof(_FT_DESCRIPTION, Type) == 2);
static_assert(offsetof(_FT_DESCRIPTION, FtVolumeState) == 8);
static_assert(offsetof(_FT_DESCRIPTION, FtMemberDescription) == kFtDescriptionHeaderSize);
static_assert(offsetof(_FT_REGISTRY, FtDescription) == kFtRegistryHeaderSize);

// Size of a disk description with n partition records, of a set description with n
// members; the next record of each kind starts that many bytes after the current one.
constexpr uint32_t DiskDescriptionSize(uint32_t partitions) {
  return kDiskDescriptionHeaderSize + kDiskPartitionSize * partitions;
}
constexpr uint32_t FtDescriptionSize(uint32_t members) {
  return kFtDescriptionHeaderSize + kFtMemberDescriptionSize * members;
}

// Checks a whole blob (header, disk part, FT part) against the len bytes actually held:
// every offset, size and count, every record, every OffsetToPartitionInfo (which must
// name a partition record of the disk part), parts inside the buffer, not overlapping
// the header or each other, and 4-byte aligned. Nothing is read outside [blob, blob+len).
// On failure *why (when given) says what is wrong and at which byte offset.
bool DiskRegistryValidate(const void* blob, size_t len, std::string* why);

// Checks a disk part alone (a _DISK_REGISTRY as DiskRegistryGet hands it out).
bool DiskRegistryValidateDiskPart(const void* diskPart, size_t len, std::string* why);

// The used length of a valid blob: FtInformationOffset + FtInformationSize when there is
// an FT part, else DiskInformationOffset + DiskInformationSize.
uint32_t DiskRegistryUsedLength(const _DISK_CONFIG_HEADER* header);

// The state a set takes when lost of its members are orphaned: a mirror or a parity set
// with one lost has an orphan, a stripe set or volume set with any lost, or a parity
// set (or mirror) with two or more, is disabled. With none lost, or for a type that is
// no FT set, the state stays current; a disabled set never becomes less than disabled.
uint32_t FtSetStateAfterLoss(uint32_t type, uint32_t current, uint32_t lost, uint32_t members);

// Whether a disk with this signature holds a partition at exactly this offset and length.
using DiskRegistryPresence = std::function<bool(uint32_t signature, int64_t offset, int64_t length)>;

// Marks every FT member whose partition is not present as Orphaned and gives each set
// with orphans the state FtSetStateAfterLoss says; a member already orphaned stays so
// (it comes back only when regenerated). blob must be accepted by DiskRegistryValidate.
// Returns the number of records changed (0: the blob is as it was).
uint32_t DiskRegistryOrphanMissingMembers(void* blob, size_t len, const DiskRegistryPresence& present);

// The state that follows from a set's member states: any orphaned member gives
// FtHasOrphan (a mirror or parity set with one) or FtDisabled; else a regenerating
// member FtRegenerating, an initializing one FtInitializing; else FtStateOk.
uint32_t FtSetStateFor(uint32_t type, uint32_t orphaned, uint32_t regenerating, uint32_t initializing,
                       uint32_t members);

// An FT member that a boot orphaned because its partition was not on the disks, as the
// boot recorded it: where the member was, and whether its set could still be written
// while it was away (then its data may be stale when it returns).
struct FtAbsentMember {
  uint16_t type = 0;
  uint16_t group = 0;
  uint16_t member = 0;
  bool mayBeStale = false;
  uint32_t signature = 0;
  int64_t offset = 0;
  int64_t length = 0;
  bool operator==(const FtAbsentMember&) const = default;
};

// The boot-time pass of the FtDisk stand-in. Missing members are orphaned as
// DiskRegistryOrphanMissingMembers does and noted in *absent. A noted member whose
// partition is back with the same signature, offset and length becomes Healthy again
// when its set could not be written while it was away (the note is not marked stale
// and the set is still disabled); its note goes. Notes whose member is no longer an
// orphaned member at that place go too, and the notes of a set that can be written
// after this pass are marked stale. blob must be accepted by DiskRegistryValidate.
// Returns the number of records of the blob changed; *orphaned and *returned (when
// given) receive how many members the pass orphaned and took back.
uint32_t DiskRegistryTrackAbsentMembers(void* blob, size_t len, const DiskRegistryPresence& present,
                                        std::vector<FtAbsentMember>* absent, uint32_t* orphaned = nullptr,
                                        uint32_t* returned = nullptr);

// Small records this system keeps beside the configuration (absent members, pending FT
// requests), under one registry key. Each value is sealed: a magic number, a version,
// the payload's length and its CRC-32, so that a damaged or foreign value is refused
// before any field of it is used.
#define FtStateKey "\\REGISTRY\\MACHINE\\SOFTWARE\\ftdisk"
#define FtAbsentMembersValue "AbsentMembers"
uint32_t DiskRegistryCrc32(const void* data, size_t size);
std::vector<uint8_t> FtSealRecord(uint32_t magic, const std::vector<uint8_t>& payload);
// The payload of a sealed record, or false with *why.
bool FtOpenRecord(const uint8_t* data, size_t size, uint32_t magic, std::vector<uint8_t>* payload,
                  std::string* why);
std::vector<uint8_t> FtEncodeAbsentMembers(const std::vector<FtAbsentMember>& absent);
bool FtDecodeAbsentMembers(const uint8_t* data, size_t size, std::vector<FtAbsentMember>* absent,
                           std::string* why);

// The native registry layer. Names are 8-bit and converted to UTF-16 for each call.
// Creates (or opens) a key, class className; handle may be null (the key is then closed).
NTSTATUS FtCreateKey(PHANDLE handle, const char* keyName, const char* className);
// Opens a key; when that fails and className is given, creates it.
NTSTATUS FtOpenKey(PHANDLE handle, const char* keyName, const char* className);
NTSTATUS FtDeleteValue(HANDLE key, const char* valueName);
NTSTATUS FtSetValue(HANDLE key, const char* valueName, void* data, ULONG dataLength, ULONG type);
// Reads a value of the disk key. On success *valuePtr points at the blob inside *freeToPtr
// and *length is the blob's used length; *freeToPtr (C heap) is the caller's to free
// whenever it is set. handle, when given, receives the open key. A stored value that is
// not a valid blob gives STATUS_REGISTRY_CORRUPT.
NTSTATUS FtRegistryQuery(const char* valueName, char** freeToPtr, char** valuePtr, ULONG* length,
                         PHANDLE handle);
NTSTATUS FtBackup(HANDLE key);

// Copies the disk part of the stored blob into buffer (when given) and sets *length to
// its size. A missing or empty value gives 64 zero bytes (no disks) and success; a
// malformed one gives STATUS_REGISTRY_CORRUPT with *length 0 and buffer untouched.
NTSTATUS DiskRegistryGet(_DISK_REGISTRY* buffer, ULONG* length);
// Records the letter on the partition (signature, offset, length) or on every member of
// its FT set, and writes the blob back. TRUE when a record was patched.
BOOLEAN DiskRegistryAssignDriveLetter(ULONG signature, LONGLONG startingOffset, LONGLONG length,
                                      uint8_t driveLetter);
// Stores "X:" as the REG_SZ value named after the CD-ROM device.
NTSTATUS DiskRegistryAssignCdRomLetter(PCWSTR cdromName, WCHAR driveLetter);
// The first character of the value named after the CD-ROM device (0 when it is empty);
// the registry's status when there is no such value.
NTSTATUS DiskRegistryGetCdRomLetter(PCWSTR cdromName, WCHAR* driveLetter);
