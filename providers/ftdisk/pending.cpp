// Weak stand-ins for functions whose files are still being written, so every target
// links meanwhile. The real definitions override them.
#include <string>

#include "provider.h"

#define PENDING __attribute__((weak))
PENDING HANDLE g_hMutex = nullptr;
PENDING ZMSTATUS UpdateAllDisks() { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS UpdateDisk(ZM_OBJECT_ID, ZM_OBJECT_ID*) { return E_NOTIMPL_ZM; }
PENDING void RefreshDLandFS(ZM_OBJECT_ID) {}
PENDING ZMSTATUS LdmCreatePartition(ZM_PROPSET, ZM_PROPSET, ZM_OBJECT_ID) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS LdmDeletePartition(ZM_OBJECT_ID, ZM_OBJECT_ID*) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS LdmUpdateDisk(ZM_OBJECT_ID, ZM_PROPSET) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS LdmMarkPartitionActive(ZM_OBJECT_ID) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS CreateFakeVolumes(ZM_OBJECT_ID) { return E_NOTIMPL_ZM; }
PENDING void UpdateRegistry() {}
PENDING ZMSTATUS UpdateDriveLetter(ZM_OBJECT_ID) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS UpdateCdromDriveLetter(ZM_OBJECT_ID) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS AddFtObjectsToDatabase() { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS FtDiskAssignDriveLetter(ZM_OBJECT_ID, uint32_t, uint32_t, ZM_PROPSET, ZM_PROPSET, uint32_t, void*,
                                         ZM_PROGRESS_CALLBACK, ZM_OBJECT_ID*) {
  return E_NOTIMPL_ZM;
}
PENDING ZMSTATUS FtRebuild(_DISK_REGISTRY*, uint32_t) { return E_NOTIMPL_ZM; }
PENDING void FtDiskFinalize() {}
PENDING void UpdateVolumeContextMenu(ZM_OBJECT_ID) {}
PENDING void UpdateContainerVolumeContextMenu(ZM_OBJECT_ID) {}
PENDING ZMSTATUS ReadU64(ZM_OBJECT_ID, const char*, uint64_t*) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS ReadU32(ZM_OBJECT_ID, const char*, uint32_t*) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS ReadU8(ZM_OBJECT_ID, const char*, uint8_t*) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS ReadString(ZM_OBJECT_ID, const char*, std::u16string*) { return E_NOTIMPL_ZM; }
PENDING ZMSTATUS FtDiskControl(ZM_OBJECT_ID, uint32_t, uint32_t, ZM_PROPSET, ZM_PROPSET, uint32_t, uint32_t, void*,
                               ZM_PROGRESS_CALLBACK, ZM_OBJECT_ID*) {
  return E_NOTIMPL_ZM;
}
PENDING void UpdateAllContextMenus() {}
PENDING uint32_t CalculateSeverity(ZM_OBJECT_ID) { return 0; }
PENDING void UpdateParentSeverity(ZM_OBJECT_ID) {}
PENDING int ZM_FAILED(ZMSTATUS) { return 0; }
