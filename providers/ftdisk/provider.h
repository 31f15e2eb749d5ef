// Functions and module-wide variables that one source file of the provider calls in
// another. Each file's own helpers stay in that file (or its own header).
#pragma once

#include <string>

#include "ntdisk.h"
#include "ntplatform.h"
#include "zmapi.h"

struct _DISK_REGISTRY;

// dllmain / zmftdisk: entry points and module-wide variables.
extern ZM_HANDLE ghDb;
extern ZM_HANDLE ghProvider;
extern GUID gMsgCatalog;
extern uint8_t bDoneInitializing;
extern uint32_t nodeChangeToken, parentChangeToken, childChangeToken, initCompleteToken;
// The six alert kinds registered by FtDiskInit; raisers look their ids up by GUID.
extern const GUID ALERT_GUID_CREATED_PARTITION, ALERT_GUID_CREATE_PARTITION_FAILED,
    ALERT_GUID_DELETED_PARTITION, ALERT_GUID_DELETE_PARTITION_FAILED, ALERT_GUID_MARKED_ACTIVE,
    ALERT_GUID_MARK_ACTIVE_FAILED;

extern "C" {
BOOL DllMain(HINSTANCE instance, DWORD reason, void* reserved);
ZMSTATUS ProviderEntry(const WCHAR* name, uint32_t unused, ZM_PROVIDER_INFO* info);
}
ZMSTATUS FtDiskControl(ZM_OBJECT_ID objectId, uint32_t operationClass, uint32_t operationCode,
                       ZM_PROPSET inProps, ZM_PROPSET outProps, uint32_t arg6, uint32_t arg7, void* arg8,
                       ZM_PROGRESS_CALLBACK progress, ZM_OBJECT_ID* resultId);
ZMSTATUS FtDiskInit(ZM_HANDLE db, ZM_HANDLE prov, uint32_t a, uint32_t b);
ZMSTATUS FtDiskShutdown(uint32_t a);
ZMSTATUS FtDiskGetAttr(ZM_OBJECT_ID id, void** attr);
ZMSTATUS FtDiskChangeNotify(_Zm_Notification_Header* header);
ZMSTATUS FtDiskVersion(WCHAR** version);
void UpdateAllContextMenus();
uint32_t CalculateSeverity(ZM_OBJECT_ID id);
void UpdateParentSeverity(ZM_OBJECT_ID id);
// Writes the highest severity of an object's children as its own "SEVERITY".
void SetOwnSeverity(ZM_OBJECT_ID id);
// The severities kept by the notification path: from the registration for node changes
// to the shut-down.
void StartKnownSeverities();
void StopKnownSeverities();

// ftmenu: the status test and the context menus.
int ZM_FAILED(ZMSTATUS s);
void UpdateVolumeContextMenu(ZM_OBJECT_ID id);
// What a volume's menu masks depend on, read from the database by
// UpdateVolumeContextMenu or known to the code that makes the volume.
struct VolumeMenuFacts {
  uint32_t kind = 0;          // "LDM_VOLUME_TYPE"
  bool hasLetter = false;     // a "DRIVE_LETTER" that is not empty
  bool inactive = false;      // a primary partition whose "ACTIVE" reads 0
  bool noActiveItem = false;  // a primary partition without a disk or on a removable one
  uint64_t state = 0;         // "STATE", 0 when it cannot be read
};
// The three masks of a volume; false for a kind that has none.
bool VolumeMenuMasks(const VolumeMenuFacts& facts, uint64_t* enable, uint64_t* show, uint64_t* localOnly);
// Adds the three masks to a set that makes a volume, when its kind has them.
void AddVolumeMenuMasks(ZM_PROPSET set, const VolumeMenuFacts& facts);
void UpdateContainerVolumeContextMenu(ZM_OBJECT_ID id);

// layout: scanning, publishing and the partition requests.
ZMSTATUS UpdateAllDisks();
ZMSTATUS UpdateDisk(ZM_OBJECT_ID disk, ZM_OBJECT_ID* createdId);
void RefreshDLandFS(ZM_OBJECT_ID id);
ZMSTATUS LdmCreatePartition(ZM_PROPSET inProps, ZM_PROPSET outProps, ZM_OBJECT_ID disk);
ZMSTATUS LdmDeletePartition(ZM_OBJECT_ID id, ZM_OBJECT_ID* resultId);
ZMSTATUS LdmUpdateDisk(ZM_OBJECT_ID disk, ZM_PROPSET outProps);
ZMSTATUS LdmMarkPartitionActive(ZM_OBJECT_ID volume);
ZMSTATUS CreateFakeVolumes(ZM_OBJECT_ID disk);

// fdiskreg: the registry kept in step with the disks; drive letters recorded.
void UpdateRegistry();
ZMSTATUS UpdateDriveLetter(ZM_OBJECT_ID volume);
ZMSTATUS UpdateCdromDriveLetter(ZM_OBJECT_ID cdrom);

// ftdisk: FT volumes.
extern HANDLE g_hMutex;
ZMSTATUS AddFtObjectsToDatabase();
ZMSTATUS FtDiskAssignDriveLetter(ZM_OBJECT_ID objectId, uint32_t operationClass, uint32_t operationCode,
                                 ZM_PROPSET inProps, ZM_PROPSET outProps, uint32_t arg6, void* arg8,
                                 ZM_PROGRESS_CALLBACK progress, ZM_OBJECT_ID* resultId);
ZMSTATUS FtRebuild(_DISK_REGISTRY* diskPart, uint32_t size);
void FtDiskFinalize();

// Helpers shared by every file: the one property-reading rule. The value is 0 / false /
// empty whenever it cannot be read (a failed call, a null record, another value type);
// a failed call also returns its status.
ZMSTATUS ReadU64(ZM_OBJECT_ID id, const char* name, uint64_t* value);
ZMSTATUS ReadU32(ZM_OBJECT_ID id, const char* name, uint32_t* value);
ZMSTATUS ReadU8(ZM_OBJECT_ID id, const char* name, uint8_t* value);  // value types 10 and 13
ZMSTATUS ReadString(ZM_OBJECT_ID id, const char* name, std::u16string* value);
