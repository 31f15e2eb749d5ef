// FT sets of the FtDisk configuration as volume objects of the database, drive letters
// of FT volumes, and the rebuild of the configuration after the disk part changed.
#pragma once

#include <cstdint>

#include "ntplatform.h"
#include "zmapi.h"

class FTInfo;
class FTVolume;
class FTMember;
struct _DISK_REGISTRY;

// The FT mutex: serialises every load-change-store of the FT configuration.
extern HANDLE g_hMutex;

// Holds the FT mutex for the life of the object, creating it on first use (safely when
// two first uses overlap). held() is false when the wait did not obtain it.
class FtMutexHold {
 public:
  FtMutexHold();
  ~FtMutexHold();
  FtMutexHold(const FtMutexHold&) = delete;
  FtMutexHold& operator=(const FtMutexHold&) = delete;
  bool held() const { return held_ != nullptr; }

 private:
  HANDLE held_ = nullptr;
};

ZMSTATUS AddFtObjectsToDatabase();
ZMSTATUS RemoveObsoleteFromDOM(FTInfo& info);
int GetVolumeProperties(FTVolume* volume, ZM_PROPSET set, ZM_OBJECT_ID volumeId);
int GetMemberProperties(FTMember* member, ZM_PROPSET set);
uint32_t FtTypeToZmType(uint32_t ftType);
uint32_t ZmTypeToFtType(uint32_t zmType);
uint64_t FtStateToZmState(uint32_t ftState);
uint64_t FtPartitionStateToZmState(uint32_t partitionState);
ZMSTATUS FindPartition(uint32_t count, const ZM_OBJECT_ID* ids, uint32_t signature, int64_t offset,
                       int64_t length, ZM_OBJECT_ID* partition);
ZMSTATUS GetParentDisk(ZM_OBJECT_ID id, ZM_OBJECT_ID* disk);
int GetVolumeId(uint32_t zmType, uint32_t group, ZM_OBJECT_ID* volume);
int IsFtVolume(ZM_OBJECT_ID id);

ZMSTATUS FtDiskAssignDriveLetter(ZM_OBJECT_ID objectId, uint32_t operationClass, uint32_t operationCode,
                                 ZM_PROPSET inProps, ZM_PROPSET outProps, uint32_t arg6, void* arg8,
                                 ZM_PROGRESS_CALLBACK progress, ZM_OBJECT_ID* resultId);
ZMSTATUS FtRebuild(_DISK_REGISTRY* diskPart, uint32_t size);

// Records every letter the running system gives that the configuration does not record
// yet: a plain partition's in its record, an FT set's in every member's record, a
// CD-ROM's in the value under its device name. A recorded letter, or a removed one, is
// left as it is; so a letter a boot gave stays with its volume at the next boot.
void FtRecordGivenLetters();
// The lowest letter from C that no device holds now and the configuration records for
// no volume (one on a disk that is away included); 0 when none is left.
uint8_t FtFreeDriveLetter();
void FtDiskFinalize();

// Provider status codes of the FT operations.
#define FT_E_REGISTRY_UPDATE 0xC1100001u    // the configuration cannot be updated
#define FT_E_NO_SUCH_SET 0xC1100002u        // no FT set of that type and group
#define FT_E_NO_PARTITION 0xC1100003u       // the member's partition object is not found
#define FT_E_CONFIG_UNREADABLE 0xC110000Fu  // the FT configuration cannot be loaded
#define FT_E_CANNOT_OPEN 0xC1100011u        // the device cannot be opened
#define FT_E_CANNOT_LOCK 0xC1000018u        // the CD-ROM cannot be locked
