// The host's own interface (beyond include/zmapi.h): boot, provider loading, events,
// alerts, allocator counters and fault injection, for the front end and the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zmapi.h"

namespace zm {

struct AlertRecord {
  uint64_t time;      // seconds since the epoch
  uint32_t severity;  // top two bits of the message id
  GUID kind;
  uint32_t messageId;
  std::string text;  // default text of the kind
  std::vector<std::u16string> inserts;
};

// One host per process. Start() makes the database and its boot objects (container 205,
// a disk 200 per disk of the booted platform machine, CD-ROM volumes 202, the type-11
// volume root) and the built-in providers "mount" and "fsys".
ZM_HANDLE Start();
void Stop();  // unloads providers, stops the notifier, drops the database
ZM_HANDLE Database();
// One property as ReadObject copies it: the host's interned name (it lives as long as
// the process) and its number (small and dense, so a reader can index a table by it),
// the type, and the value bytes in the view's own buffer.
struct PropertyView {
  const char* name;
  uint32_t nameId;
  uint32_t type;
  const void* data;
  size_t size;
};
struct ObjectView {
  std::vector<PropertyView> props;  // in the object's order
  std::vector<unsigned char> bytes;
};
// Every property of an object in one call, for a reader that wants most of them: one
// lock, one copy, and no allocation once the view's storage has grown to the object's
// size (reuse the view from object to object). False, with the view empty, when there
// is no such object.
bool ReadObject(ZM_OBJECT_ID id, ObjectView* view);

// Loads a provider module (dlopen, DllMain(1), ProviderEntry(name)), then FtDiskInit.
// Returns the provider handle or null with an error.
ZM_HANDLE LoadProvider(const std::string& path, const std::u16string& name, std::string* error);
// Registers a provider whose code is linked into this program (tests): calls its
// ProviderEntry(name), then its Init entry, like LoadProvider without dlopen.
ZM_HANDLE RegisterProvider(ZM_PROVIDER_ENTRY_FN entry, const std::u16string& name, std::string* error);
// Raises the initialisation-complete event (after all providers are loaded).
void InitializationComplete();
// Calls a loaded provider's control entry.
ZMSTATUS Control(ZM_HANDLE provider, ZM_OBJECT_ID id, uint32_t cls, uint32_t code, ZM_PROPSET in,
                 ZM_PROPSET out, ZM_OBJECT_ID* resultId);
// Shuts every loaded provider down and unloads it (DllMain(0), dlclose).
void UnloadProviders();

// Waits until the event queue is empty and no delivery is running.
void WaitIdle();
uint64_t EventsDelivered();

std::vector<AlertRecord> Alerts();

// Alerts that could not be appended to alerts.log (a full file system, an injected
// "AlertsLogAppend" fault), counted since the process started; last says why.
struct AlertLogFailures {
  uint64_t count = 0;
  std::string last;
};
AlertLogFailures FailedAlertAppends();
// The registry writes of this thread's request (and of writes outside any) and the alert
// appends that failed since the last call, as one sentence; empty when none did. A
// request that reports success must not hide them.
std::string TakeWriteFailures();

// Allocator counters.
uint64_t OutstandingBlocks();
std::vector<std::string> OutstandingTags();  // "file:line" of each live block

// Fault injection: the nth call (1-based, from now) of the named host operation
// ("ObGetProperty", "_ZmAlloc", ...) fails with the status (allocations return null).
void InjectFault(const std::string& operation, unsigned nth, ZMSTATUS status);
void ClearFaults();
// FTDISKCTL_FAULTS="platform:NAME:N:STATUS,host:NAME:N:STATUS": the Nth call of the
// platform's or the host's NAME fails with STATUS (hex), so end-to-end tests can fail
// writes on demand. Malformed items are passed over.
void InjectFaultsFromEnvironment();
uint64_t CallCount(const std::string& operation);  // counts every host call by name
uint64_t TotalCalls();                             // all host calls so far, of every name

}  // namespace zm
