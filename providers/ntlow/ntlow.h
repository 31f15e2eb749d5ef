// Device access: the provider's only road to disks, partitions and NT devices.
// Low* functions return the NT status of the native call; memory handed out (layout
// buffer, drive-letter string) comes from _ZmAlloc and is released with _ZmFree.
#pragma once

#include "ntdisk.h"
#include "ntplatform.h"

// Opens an NT object name (3 attempts, 500 ms apart). Exclusive nonzero: no sharing.
NTSTATUS LowOpenNtName(PCWSTR name, ACCESS_MASK access, PHANDLE handle, int exclusive);
// Opens "<disk>\partition<n>"; partition 0 is the whole disk.
NTSTATUS LowOpenPartition(PCWSTR diskName, ULONG partitionNumber, ACCESS_MASK access, PHANDLE handle);
NTSTATUS LowOpenDisk(PCWSTR diskName, ACCESS_MASK access, PHANDLE handle);
// Locks a volume (10 attempts, 500 ms apart).
NTSTATUS LowLockDrive(HANDLE handle);
// Dismounts (status ignored), then unlocks a volume.
NTSTATUS LowUnlockDrive(HANDLE handle);
// Reads the partition table; on success *layout is the caller's (_ZmFree).
NTSTATUS LowGetDiskLayout(HANDLE handle, PDRIVE_LAYOUT_INFORMATION* layout);
// Writes the partition table; PartitionCount is restored after a status of 0.
NTSTATUS LowSetDiskLayout(HANDLE handle, PDRIVE_LAYOUT_INFORMATION layout);
// The layout's entry of the partition opened by handle.
NTSTATUS LowGetPartitionInformation(HANDLE handle, PARTITION_INFORMATION& info);
NTSTATUS LowWriteSectors(HANDLE handle, ULONG sectorSize, ULONG firstSector, ULONG count, void* buffer);
// Any non-negative status is returned as 0.
NTSTATUS LowGetDriveGeometry(HANDLE handle, DISK_GEOMETRY& geometry);
// 0 when the disk driver lets the disk be written (its table included), else its status
// (STATUS_MEDIA_WRITE_PROTECTED for a disk it keeps read-only).
NTSTATUS LowIsDiskWritable(HANDLE handle);
// Finds the drive letter ("E:") whose DOS device maps to the NT name; 1 when found.
int InverseQueryDosDevice(PCWSTR ntName, PWSTR* driveLetter);
// Resolves one symbolic-link step; a name that is not a link resolves to itself.
int GetCanonicalLinkTarget(PCWSTR name, PWSTR target);
