// The storage-management host's interface as the provider sees it (libzmapi).
// Every operation has C linkage; handles are opaque.
#pragma once

#include "nttypes.h"

typedef uint32_t ZMSTATUS;
typedef uint64_t ZM_OBJECT_ID;
typedef void* ZM_HANDLE;   // database, provider or provider-module handle
typedef void* ZM_PROPSET;  // property set

// One named value. Pointer fields are pointer-sized; the integer fields are 32-bit.
typedef struct _ZM_PROPERTY {
  const char* Name;
  uint32_t Type;
  uint32_t Flags;
  uint32_t Size;
  void* Value;
} ZM_PROPERTY;

// Value types.
enum : uint32_t {
  ZM_TYPE_UINT8 = 10,
  ZM_TYPE_UINT32 = 11,
  ZM_TYPE_UINT64 = 12,
  ZM_TYPE_BOOL = 13,
  ZM_TYPE_STRING = 14,  // UTF-16, size in bytes including the terminator
  ZM_TYPE_OBJECT_ID = 16,
};

// Object types.
enum : uint32_t {
  ZM_OBJ_ANY = 0,
  ZM_OBJ_SEVERITY_ROOT = 10,
  ZM_OBJ_VOLUME_ROOT = 11,
  ZM_OBJ_DISK = 200,
  ZM_OBJ_VOLUME = 202,
  ZM_OBJ_CONTAINER = 205,
  ZM_OBJ_EXTENDED = 209,
  ZM_OBJ_FREE_SPACE = 210,
  ZM_OBJ_PARTITION = 211,
};

// Operation classes and codes of a control request.
enum : uint32_t {
  OP_REFRESH = 1,
  OPCLASS_LAYOUT = 10000,
  OPCLASS_VOLUME = 10001,
  OP_CREATE_PARTITION = 10001,
  OP_DELETE_PARTITION = 10002,
  OP_ASSIGN_DRIVE_LETTER = 10003,
  OP_REMOVE_DRIVE_LETTER = 10004,
  OP_MARK_ACTIVE = 10018,
  OP_UPDATE_DISK = 10033,
  OP_UPDATE_CONTEXT_MENUS = 10040,
};

// Status values shared by host and provider.
#define ZM_S_OK 0x00000000u
#define ZM_E_FAIL 0xC1000001u
#define ZM_E_NOT_THIS_PROVIDER 0xC1000005u
#define ZM_E_WRONG_PARENT 0xC100001Au
#define ZM_E_WRONG_PARENT_TYPE 0xC100001Bu
#define ZM_E_AMBIGUOUS_PARENT 0xC100001Cu
#define ZM_E_NO_OBJECT 0xC1000002u
#define ZM_E_NO_PROPERTY 0xC1000003u
#define ZM_E_NO_PROVIDER 0xC1000004u
#define ZM_E_INVALID_HANDLE 0xC1000006u
#define ZM_E_NO_ALERT 0xC1000007u
#define ZM_E_LETTER_IN_USE 0xC1000010u
#define ZM_E_BAD_LETTER 0xC1000011u
#define E_INVALIDARG_ZM 0x80070057u
#define E_NOTIMPL_ZM 0x80004001u
#define E_OUTOFMEMORY_ZM 0x8007000Eu

typedef struct _ZmApiProgressPacket {
  uint32_t Size;
  uint32_t Percent;
  const WCHAR* Text;
} ZmApiProgressPacket;
typedef uint8_t (*ZM_PROGRESS_CALLBACK)(ZmApiProgressPacket*);

// One event as delivered to a provider.
typedef struct _Zm_Notification_Header {
  uint32_t Size;        // bytes of the record
  uint32_t Sequence;    // host's running event number
  GUID EventGuid;       // offset 8
  uint64_t Timestamp;   // offset 24
  ZM_OBJECT_ID Object;  // offset 32
  uint32_t ObjectType;  // offset 40
  uint32_t Reserved;
} _Zm_Notification_Header;
static_assert(offsetof(_Zm_Notification_Header, EventGuid) == 8, "event GUID at 8");
static_assert(offsetof(_Zm_Notification_Header, Object) == 32, "object id at 32");
static_assert(offsetof(_Zm_Notification_Header, ObjectType) == 40, "object type at 40");

// A provider's six entry points, filled by its ProviderEntry.
typedef ZMSTATUS (*ZM_CONTROL_FN)(ZM_OBJECT_ID objectId, uint32_t operationClass, uint32_t operationCode,
                                  ZM_PROPSET inProps, ZM_PROPSET outProps, uint32_t arg6, uint32_t arg7,
                                  void* arg8, ZM_PROGRESS_CALLBACK progress, ZM_OBJECT_ID* resultId);
typedef ZMSTATUS (*ZM_INIT_FN)(ZM_HANDLE db, ZM_HANDLE prov, uint32_t a, uint32_t b);
typedef ZMSTATUS (*ZM_SHUTDOWN_FN)(uint32_t a);
typedef ZMSTATUS (*ZM_GETATTR_FN)(ZM_OBJECT_ID id, void** attr);
typedef ZMSTATUS (*ZM_NOTIFY_FN)(_Zm_Notification_Header* header);
typedef ZMSTATUS (*ZM_VERSION_FN)(WCHAR** version);

typedef struct _ZM_PROVIDER_INFO {
  ZM_CONTROL_FN Control;
  ZM_INIT_FN Init;
  ZM_SHUTDOWN_FN Shutdown;
  ZM_GETATTR_FN GetAttr;
  ZM_NOTIFY_FN ChangeNotify;
  ZM_VERSION_FN Version;
} ZM_PROVIDER_INFO;

typedef ZMSTATUS (*ZM_PROVIDER_ENTRY_FN)(const WCHAR* name, uint32_t unused, ZM_PROVIDER_INFO* info);
typedef BOOL (*ZM_DLLMAIN_FN)(HINSTANCE instance, DWORD reason, void* reserved);

// Host event GUIDs.
#define ZM_DEFINE_GUID(n, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  static const GUID n = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
ZM_DEFINE_GUID(GUID_DB_NODE_CHANGE_GUID, 0x44596650, 0x07FA, 0x11D2, 0xA7, 0xC4, 0x00, 0xA0, 0xC9, 0x24, 0x90,
               0x29);
ZM_DEFINE_GUID(GUID_DB_NODE_PARENT_CHANGE_GUID, 0xF5A73E50, 0x07F9, 0x11D2, 0xA7, 0xC4, 0x00, 0xA0, 0xC9,
               0x24, 0x90, 0x29);
ZM_DEFINE_GUID(GUID_DB_NODE_CHILD_CHANGE_GUID, 0xF59EE700, 0x080B, 0x11D2, 0xA7, 0xC4, 0x00, 0xA0, 0xC9, 0x24,
               0x90, 0x29);
ZM_DEFINE_GUID(GUID_ZMINITIALIZATION_COMPLETE, 0x18B15AD0, 0xA9CC, 0x11D2, 0x98, 0x1E, 0x00, 0xA0, 0xC9, 0x3D,
               0xAD, 0x91);

#ifdef __cplusplus
extern "C" {
#endif

ZMSTATUS DbLockDatabase(ZM_HANDLE prov);
ZMSTATUS DbUnlockDatabase(ZM_HANDLE prov);
ZMSTATUS DbGetObjects(ZM_HANDLE db, uint32_t type, uint32_t* count, ZM_OBJECT_ID** ids);
ZMSTATUS ObGetChildObjects(ZM_HANDLE db, ZM_OBJECT_ID id, uint32_t type, uint32_t* count, ZM_OBJECT_ID** ids);
ZMSTATUS ObGetParentObjects(ZM_HANDLE db, ZM_OBJECT_ID id, uint32_t type, uint32_t* count,
                            ZM_OBJECT_ID** ids);
ZMSTATUS ObGetObjectType(ZM_HANDLE db, ZM_OBJECT_ID id, uint32_t* type);
ZMSTATUS ObCreateObject(ZM_HANDLE db, ZM_HANDLE prov, uint32_t type, ZM_OBJECT_ID* id);
ZMSTATUS ObCreateObjectEx(ZM_HANDLE db, ZM_HANDLE prov, uint32_t type, uint32_t flags, uint32_t reserved,
                          ZM_OBJECT_ID* id);
ZMSTATUS ObDeleteObject(ZM_HANDLE db, ZM_OBJECT_ID id);
ZMSTATUS ObAddChildObject(ZM_HANDLE db, ZM_OBJECT_ID parent, ZM_OBJECT_ID child);
ZMSTATUS ObRemoveChildObject(ZM_HANDLE db, ZM_OBJECT_ID parent, ZM_OBJECT_ID child);
// The record comes back as one host block (record, name, value), freed with _ZmFree.
ZMSTATUS ObGetProperty(ZM_HANDLE db, ZM_OBJECT_ID id, const char* name, ZM_PROPERTY** record);
ZMSTATUS ObSetProperty(ZM_HANDLE db, ZM_OBJECT_ID id, const ZM_PROPERTY* record);
ZMSTATUS ObSetProperties(ZM_HANDLE db, ZM_OBJECT_ID id, ZM_PROPSET set);

ZMSTATUS PsCreatePropset(ZM_PROPSET* set);
ZMSTATUS PsDestroyPropset(ZM_PROPSET set);
ZMSTATUS PsAddProperty(ZM_PROPSET set, const ZM_PROPERTY* record);
// Like ObGetProperty: a copy of the record, freed with _ZmFree.
ZMSTATUS PsFindProperty(ZM_PROPSET set, const char* name, ZM_PROPERTY** record);
ZMSTATUS PsAddI18nString(ZM_PROPSET set, GUID catalog, uint32_t messageId, const char* defaultText,
                         const char* name);

GUID PrGetMessageCatalog(ZM_HANDLE prov);
ZMSTATUS PrGetProviderByName(ZM_HANDLE db, const WCHAR* name, ZM_HANDLE* provider);
ZMSTATUS PrCallProvider(ZM_HANDLE provider, ZM_OBJECT_ID objectId, uint32_t operationClass,
                        uint32_t operationCode, ZM_PROPSET inProps, ZM_PROPSET outProps, uint32_t arg6,
                        uint32_t arg7, void* arg8, ZM_PROGRESS_CALLBACK progress, ZM_OBJECT_ID* resultId);

ZMSTATUS EvRegisterEvent(ZM_HANDLE prov, const GUID* eventGuid, uint32_t* token);
ZMSTATUS EvUnregisterEvent(uint32_t token);

ZMSTATUS ZmRegisterAlertObject(ZM_HANDLE db, ZM_HANDLE prov, const GUID* alertGuid, uint32_t one,
                               const GUID* catalog, uint32_t messageId, const char* defaultText,
                               ZM_OBJECT_ID* id, uint32_t zero);
ZMSTATUS GetAlertObjectId(const GUID* alertGuid, ZM_OBJECT_ID* id);
// The inserts follow as insertCount arguments of type const WCHAR*.
ZMSTATUS ZmRaiseAlert(ZM_HANDLE prov, ZM_OBJECT_ID alertId, uint32_t insertCount, ...);

void* _ZmAlloc(size_t size, const char* file, int line);
void* _ZmRealloc(void* block, size_t size, const char* file, int line);
void _ZmFree(void* block, const char* file, int line);

#ifdef __cplusplus
}
#endif
