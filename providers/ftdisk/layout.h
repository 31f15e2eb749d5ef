// The region model of a partition table and the helpers shared by the layout files:
// scanning and publishing partitions and free space, changing the table, and the
// placeholder volumes above basic partitions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mbr.h"
#include "ntdisk.h"
#include "ntplatform.h"
#include "zmapi.h"

// Region types, also the "REGION_TYPE" and "LDM_VOLUME_TYPE" values of partitions.
enum : uint32_t {
  REGION_PRIMARY = 1,
  REGION_EXTENDED = 2,
  REGION_LOGICAL = 3,
};

// Provider status codes of the layout requests.
#define LDM_E_TABLE_UNREADABLE 0xC1100005u
#define LDM_E_NOT_FREE_SPACE 0xC1100006u
#define LDM_E_NOTHING_LEFT 0xC1100007u
#define LDM_E_ZAP_FAILED 0xC1100008u
#define LDM_E_EXTENDED_IN_TABLE 0xC1100009u
#define LDM_E_WRITE_FAILED 0xC110000Au
#define LDM_E_OPEN_FAILED 0xC110000Bu
#define LDM_E_REGIONS_FAILED 0xC110000Du
#define LDM_E_GEOMETRY_FAILED 0xC110000Eu
#define LDM_E_FT_VOLUME 0xC1100010u
#define LDM_E_EXTENDED_NOT_EMPTY 0xC1100012u
#define LDM_E_NO_FREE_SLOT 0xC1100013u
#define LDM_E_EXTENDED_EXISTS 0xC1100014u
#define LDM_E_NOT_SINGLE_PARTITION 0xC1100015u
#define LDM_E_TABLE_READ_ONLY 0xC1100016u       // foreign layout, or the driver keeps the table read-only
#define LDM_E_SIGNATURE_NOT_UNIQUE 0xC1100017u  // disk signature 0 or shared with another disk

// The disk property that says why requests leave a disk's table alone (UTF-16; empty or
// absent when they may change it).
#define LDM_PROP_READ_ONLY "LAYOUT_READ_ONLY"

// The EntrySlot of a region a request adds: it takes the lowest empty slot of the table.
#define REGION_NEW_SLOT 0xFFFFFFFFu

// One region of a disk: a primary partition, the extended partition, or a logical drive
// widened to include the track of its extended boot record.
struct _REGION_ENTRY {
  int64_t StartingOffset;
  int64_t Length;
  uint32_t RegionType;
  uint8_t PartitionType;
  uint8_t BootIndicator;
  uint32_t EntrySlot;  // its index in the layout it was read from; REGION_NEW_SLOT when new
  uint8_t RewritePartition;
  uint32_t PartitionNumber;
  uint8_t RecognizedPartition;
};

// Everything needed to write a disk's table back; owns nothing.
struct _DISK_ENTRY {
  _REGION_ENTRY* PrimaryRegions;
  _REGION_ENTRY* LogicalRegions;  // element 0 is the extended container
  uint32_t PrimaryCount;
  uint32_t LogicalCount;  // container included; 0 means no extended partition
  uint32_t Signature;
  DISK_GEOMETRY Geometry;
};

// A free extent of a disk or of its extended partition.
struct _FREE_EXTENT {
  int64_t Offset;
  int64_t Length;
};

// Geometry units: track, cylinder, and the usable size (whole cylinders only).
uint32_t TrackBytes(const DISK_GEOMETRY& g);
uint32_t CylinderBytes(const DISK_GEOMETRY& g);
int64_t UsableBytes(const DISK_GEOMETRY& g);

// System id classes. Only type 0 is an empty slot (0x40, 0x80, 0xC0 are entries whose
// space is taken); containers by the low six bits (0x05, 0x0F, 0x85, 0xC5...).
bool IsEmptyType(uint8_t type);
using ftformat::IsContainerType;

// Builds the region list of one level (1 or 2: disk level; 3: container level).
// The list comes from _ZmAlloc and is the caller's. Entries whose offsets or lengths
// are negative or would overflow are left out and counted in *skipped.
bool CreateRegionsEx(PDRIVE_LAYOUT_INFORMATION layout, uint32_t level, uint32_t& count, _REGION_ENTRY*& list,
                     DISK_GEOMETRY geometry, uint32_t* skipped);
bool CreateRegions(PDRIVE_LAYOUT_INFORMATION layout, uint32_t level, uint32_t& count, _REGION_ENTRY*& list,
                   DISK_GEOMETRY geometry);
int StartCompareFunction(const void* a, const void* b);
void SortRegions(_REGION_ENTRY* list, uint32_t count);

// Free extents of a disk-level list (level 1) or a container-level list (level 3), in
// ascending order. The list is sorted in place.
std::vector<_FREE_EXTENT> FreeExtents(_REGION_ENTRY* list, uint32_t count, uint32_t level,
                                      const DISK_GEOMETRY& geometry);

bool GetUnallocatedSpaceSpec(int64_t offset, int64_t length, int64_t& freeOffset, int64_t& freeLength,
                             uint32_t regionType, ZM_OBJECT_ID disk);

// Publishing (scan) helpers.
bool CreatePartitionObject(const _REGION_ENTRY* region, ZM_OBJECT_ID disk, PCWSTR diskDevice,
                           ZM_OBJECT_ID* createdId);
ZMSTATUS CreateFreeSpaceObjects(ZM_OBJECT_ID parent, PDRIVE_LAYOUT_INFORMATION layout,
                                DISK_GEOMETRY geometry);
ZMSTATUS CreateFreeSpace(ZM_OBJECT_ID parent, int64_t offset, int64_t length);
void SetDiskFreeSpace(ZM_OBJECT_ID disk, uint32_t count, const _REGION_ENTRY* regions);
void DeleteAllChildren(ZM_OBJECT_ID id);

// Table changes.
ZMSTATUS CreatePartition(int64_t offset, int64_t length, uint32_t regionType, PCWSTR diskDevice,
                         ZM_OBJECT_ID disk);
ZMSTATUS DeletePartition(int64_t offset, int64_t length, uint32_t regionType, PCWSTR diskDevice);
bool WriteLayout(const _DISK_ENTRY& disk, HANDLE handle);
bool ZapSector(LARGE_INTEGER offset, PCWSTR diskDevice, uint32_t sectorSize);

// Placeholder volumes.
ZMSTATUS EncapsulatePartition(ZM_OBJECT_ID partition, ZM_OBJECT_ID disk);

// Small host helpers used by the layout files.
namespace layout {

// An id array handed out by the host, released on every path.
struct IdList {
  uint32_t count = 0;
  ZM_OBJECT_ID* ids = nullptr;
  IdList() = default;
  IdList(const IdList&) = delete;
  IdList& operator=(const IdList&) = delete;
  ~IdList() { Reset(); }
  void Reset();
};

// Children or parents of one type (0: any). The list is emptied first.
ZMSTATUS Children(ZM_OBJECT_ID id, uint32_t type, IdList& out);
ZMSTATUS Parents(ZM_OBJECT_ID id, uint32_t type, IdList& out);

// Raises the alert of the given kind with the disk's device name (or " ") as insert.
void RaiseAlert(const GUID& kind, PCWSTR insert);

// A region list from _ZmAlloc, released on every path.
struct RegionList {
  uint32_t count = 0;
  _REGION_ENTRY* list = nullptr;
  RegionList() = default;
  RegionList(const RegionList&) = delete;
  RegionList& operator=(const RegionList&) = delete;
  ~RegionList() { Reset(); }
  void Reset();
};

// A disk opened through the device layer, closed on every path.
struct DiskHandle {
  HANDLE h = nullptr;
  DiskHandle() = default;
  DiskHandle(const DiskHandle&) = delete;
  DiskHandle& operator=(const DiskHandle&) = delete;
  ~DiskHandle() { Close(); }
  void Close();
};

// A layout buffer from the device layer, released on every path.
struct LayoutBuffer {
  PDRIVE_LAYOUT_INFORMATION p = nullptr;
  LayoutBuffer() = default;
  LayoutBuffer(const LayoutBuffer&) = delete;
  LayoutBuffer& operator=(const LayoutBuffer&) = delete;
  ~LayoutBuffer() { Reset(); }
  void Reset();
};

// True when the regions of each level are disjoint and the logical drives lie inside
// their container: only then can the table be rebuilt from the lists.
bool RegionsDisjoint(const RegionList& primary, const RegionList& logical);

// The text a foreign (GPT) disk is shown with; its table is never changed.
extern const char16_t* const kForeignDisk;
bool IsForeignLayout(PDRIVE_LAYOUT_INFORMATION table);

// Why a request must not rewrite this table, checked before anything is written:
// LDM_E_TABLE_READ_ONLY (foreign layout, or a table the driver keeps read-only) or
// LDM_E_REGIONS_FAILED (a table the region lists cannot rebuild without losing or
// moving an entry, which the reason names). 0 and an empty reason when it may.
ZMSTATUS TableProblem(HANDLE handle, PDRIVE_LAYOUT_INFORMATION table, const DISK_GEOMETRY& geometry,
                      std::u16string* reason);

// Records the reason on the disk object (LDM_PROP_READ_ONLY); an empty reason clears
// one recorded before.
void PublishTableProblem(ZM_OBJECT_ID disk, const std::u16string& reason);

// LDM_E_SIGNATURE_NOT_UNIQUE when the disk's "SIGNATURE" is 0 or another disk's too:
// the FT configuration names disks by signature, so nothing may be recorded for it.
ZMSTATUS CheckDiskSignature(ZM_OBJECT_ID disk);
// The same for the disks below a volume (every partition of it).
ZMSTATUS CheckVolumeDiskSignature(ZM_OBJECT_ID volume);

// True when [byteOffset, +sector) holds a boot record of the table as read: the first
// sector of the extended partition or one that a logical drive's entry counts from.
bool IsTableSector(PDRIVE_LAYOUT_INFORMATION table, int64_t byteOffset, uint32_t bytesPerSector);

}  // namespace layout
