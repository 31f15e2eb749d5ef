// The disk-registry blob: the FtDisk configuration kept in the registry value
// "Information" of \REGISTRY\MACHINE\SYSTEM\DISK, as it is stored.
//
// All integers are little-endian; records lie back to back with no padding but the
// reserved fields, so every record is packed to 4 bytes (every record size is a
// multiple of 4, and every offset this system writes is too).
#pragma once

#include <stddef.h>
#include <stdint.h>

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
