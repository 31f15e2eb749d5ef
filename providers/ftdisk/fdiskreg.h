// Keeps the disk part of the FtDisk configuration in step with the disk and partition
// objects of the database, and records drive letters in the configuration.
#pragma once

#include <string>

#include "ntplatform.h"
#include "zmapi.h"

struct _DISK_REGISTRY;
struct _DISK_DESCRIPTION;

// Compares the stored disk part with the database and rebuilds it when they differ.
void UpdateRegistry();
// Reads the stored disk part into a host-allocated area (*area, freed with _ZmFree;
// may stay null). 0 on success, 1 or 2 when memory ran out, 3 on a registry failure,
// 0x80070057 for a bad out pointer.
ZMSTATUS fdReadRegistry(_DISK_REGISTRY** area);
BOOLEAN isRegistryRebuildRequired(const _DISK_REGISTRY* area);
BOOLEAN internal_DoesDiskEntryExist(ZM_OBJECT_ID disk, const _DISK_REGISTRY* area);
BOOLEAN isPartitionPresent(ZM_OBJECT_ID disk, ZM_OBJECT_ID partition, uint8_t logical,
                           const _DISK_DESCRIPTION* description);
BOOLEAN IS_RECOGNIZED(ZM_OBJECT_ID partition);
BOOLEAN IS_VALID_DRIVE(uint32_t deviceType);
// Builds a new disk part from the database and hands it to FtRebuild. 0, or 1 when the
// area cannot be allocated.
uint32_t fdRebuildRegistry();
// Bytes reserved for one disk's description (room for one record is always kept).
uint32_t getDiskDescriptionSize(ZM_OBJECT_ID disk);
// Primary partitions and the logical drives of the first extended partition; the two
// arrays (may be null) are the caller's to free with _ZmFree.
uint32_t fdGetPartitionCount(ZM_OBJECT_ID disk, uint32_t* primaryCount, ZM_OBJECT_ID** primaries,
                             uint32_t* logicalCount, ZM_OBJECT_ID** logicals);
// The partition with the smallest partition number above *lastNumber (0 when none);
// *lastNumber becomes its number.
ZM_OBJECT_ID FindNextRegion(uint32_t primaryCount, const ZM_OBJECT_ID* primaries, uint32_t logicalCount,
                            const ZM_OBJECT_ID* logicals, uint32_t* lastNumber);
// Fills one disk description; returns the number of partition records written into it
// (its NumberOfPartitions).
uint32_t driveToDiskDescription(ZM_OBJECT_ID disk, _DISK_DESCRIPTION* description);
uint8_t GetDriveLetter(ZM_OBJECT_ID partition);
// The letter whose DOS device name leads to the device, 0 when none does.
uint8_t DriveLetterOf(PCWSTR device);
int64_t FdGetExactSize(HANDLE partition);
int64_t FdGetExactOffset(HANDLE partition);
ZMSTATUS UpdateDriveLetter(ZM_OBJECT_ID volume);
ZMSTATUS UpdateCdromDriveLetter(ZM_OBJECT_ID cdrom);
// Gives a volume back the letter it had ("E:", or none when previous is empty) through
// "mount", after a request failed past the point where "mount" changed it.
void RestoreDriveLetter(ZM_OBJECT_ID volume, const std::u16string& previous);
