// The module's entry points and its life: loading, the entry table, initialisation
// against the host, shut-down, and the two small entries (attributes, version).
#include <cstring>

#include "provider.h"

// Module-wide variables. Written only inside FtDiskInit, before any event is registered,
// and read-only afterwards, so they need no lock.
ZM_HANDLE ghDb = nullptr;
ZM_HANDLE ghProvider = nullptr;
GUID gMsgCatalog = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
uint8_t bDoneInitializing = 0;
uint32_t nodeChangeToken = 0;
uint32_t parentChangeToken = 0;
uint32_t childChangeToken = 0;
uint32_t initCompleteToken = 0;

const GUID ALERT_GUID_CREATED_PARTITION = {
    0x93B228B6, 0x2B64, 0x11D3, {0xB7, 0x4B, 0x00, 0x10, 0x5A, 0x24, 0xBF, 0xBF}};
const GUID ALERT_GUID_CREATE_PARTITION_FAILED = {
    0x93B228B7, 0x2B64, 0x11D3, {0xB7, 0x4B, 0x00, 0x10, 0x5A, 0x24, 0xBF, 0xBF}};
const GUID ALERT_GUID_DELETED_PARTITION = {
    0x93B228B8, 0x2B64, 0x11D3, {0xB7, 0x4B, 0x00, 0x10, 0x5A, 0x24, 0xBF, 0xBF}};
const GUID ALERT_GUID_DELETE_PARTITION_FAILED = {
    0x93B228B9, 0x2B64, 0x11D3, {0xB7, 0x4B, 0x00, 0x10, 0x5A, 0x24, 0xBF, 0xBF}};
const GUID ALERT_GUID_MARKED_ACTIVE = {
    0x93B228BA, 0x2B64, 0x11D3, {0xB7, 0x4B, 0x00, 0x10, 0x5A, 0x24, 0xBF, 0xBF}};
const GUID ALERT_GUID_MARK_ACTIVE_FAILED = {
    0x93B228BB, 0x2B64, 0x11D3, {0xB7, 0x4B, 0x00, 0x10, 0x5A, 0x24, 0xBF, 0xBF}};

namespace {

struct AlertKind {
  const GUID* guid;
  uint32_t messageId;
  const char* defaultText;
};

// Registration order; the message ids carry the severity in their top two bits.
const AlertKind kAlertKinds[] = {
    {&ALERT_GUID_CREATED_PARTITION, 0x41100320u, "Created Partition"},
    {&ALERT_GUID_CREATE_PARTITION_FAILED, 0xC1100321u, "Failed to create partition"},
    {&ALERT_GUID_DELETED_PARTITION, 0x41100322u, "Deleted partition"},
    {&ALERT_GUID_DELETE_PARTITION_FAILED, 0xC1100323u, "Failed to delete partition"},
    {&ALERT_GUID_MARKED_ACTIVE, 0x41100324u, "Marked partition active"},
    {&ALERT_GUID_MARK_ACTIVE_FAILED, 0xC1100325u, "Failed to mark partition active"},
};

constexpr DWORD kMaxSupportedMajorVersion = 4;
constexpr size_t kVersionChars = 256;

}  // namespace

extern "C" BOOL DllMain(HINSTANCE instance, DWORD reason, void* /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

extern "C" ZMSTATUS ProviderEntry(const WCHAR* name, uint32_t /*unused*/, ZM_PROVIDER_INFO* info) {
  // The name is checked before the table: a wrong name is never this provider's business.
  if (name == nullptr || lstrcmpiW(name, u"ftdisk") != 0) return ZM_E_NOT_THIS_PROVIDER;
  if (info == nullptr) return ZM_E_FAIL;
  info->Control = &FtDiskControl;
  info->Init = &FtDiskInit;
  info->Shutdown = &FtDiskShutdown;
  info->GetAttr = &FtDiskGetAttr;
  info->ChangeNotify = &FtDiskChangeNotify;
  info->Version = &FtDiskVersion;
  return ZM_S_OK;
}

ZMSTATUS FtDiskInit(ZM_HANDLE db, ZM_HANDLE prov, uint32_t /*a*/, uint32_t /*b*/) {
  ghDb = db;
  ghProvider = prov;
  gMsgCatalog = PrGetMessageCatalog(prov);

  OSVERSIONINFOW version;
  memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  if (version.dwMajorVersion > kMaxSupportedMajorVersion) return ZM_E_FAIL;

  // The first scan publishes what is on the disks but leaves the disk registry alone:
  // bDoneInitializing is still 0 here. Its result does not stop the start-up.
  UpdateAllDisks();
  bDoneInitializing = 1;

  if (!ZM_FAILED(EvRegisterEvent(ghProvider, &GUID_DB_NODE_CHANGE_GUID, &nodeChangeToken)))
    StartKnownSeverities();
  EvRegisterEvent(ghProvider, &GUID_DB_NODE_PARENT_CHANGE_GUID, &parentChangeToken);
  EvRegisterEvent(ghProvider, &GUID_DB_NODE_CHILD_CHANGE_GUID, &childChangeToken);
  EvRegisterEvent(ghProvider, &GUID_ZMINITIALIZATION_COMPLETE, &initCompleteToken);

  for (const AlertKind& kind : kAlertKinds) {
    ZM_OBJECT_ID alertId = 0;  // raisers look the id up by GUID when they need it
    ZmRegisterAlertObject(ghDb, ghProvider, kind.guid, 1, &gMsgCatalog, kind.messageId, kind.defaultText,
                          &alertId, 0);
  }
  return ZM_S_OK;
}

ZMSTATUS FtDiskShutdown(uint32_t /*a*/) {
  FtDiskFinalize();
  StopKnownSeverities();
  EvUnregisterEvent(nodeChangeToken);
  EvUnregisterEvent(parentChangeToken);
  EvUnregisterEvent(childChangeToken);
  EvUnregisterEvent(initCompleteToken);
  return ZM_S_OK;
}

ZMSTATUS FtDiskGetAttr(ZM_OBJECT_ID /*id*/, void** /*attr*/) { return ZM_S_OK; }

ZMSTATUS FtDiskVersion(WCHAR** version) {
  // A caller without a place for the answer gets a clear refusal instead of a crash.
  if (version == nullptr) return E_INVALIDARG_ZM;
  WCHAR text[kVersionChars];
  int length = swprintf(text, kVersionChars, u"%s.4.0.%d.%d", u"WINNT", 364, 0);
  if (length < 0) length = 0;
  auto* block = static_cast<WCHAR*>(_ZmAlloc((static_cast<size_t>(length) + 1) * sizeof(WCHAR), "", 0));
  *version = block;
  if (block == nullptr) return E_OUTOFMEMORY_ZM;
  memcpy(block, text, static_cast<size_t>(length) * sizeof(WCHAR));
  block[length] = 0;
  return ZM_S_OK;
}
