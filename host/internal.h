// The host's internal pieces shared between its source files: call accounting and
// faults, the counted allocator, the database's own helpers, providers and events.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "zmapi.h"
#include "zmhost.h"

namespace zmi {

// ---- faults.cpp: one counter (and possible injected fault) per host operation.
enum Op : unsigned {
  kDbLockDatabase,
  kDbUnlockDatabase,
  kDbGetObjects,
  kObGetChildObjects,
  kObGetParentObjects,
  kObGetObjectType,
  kObCreateObject,
  kObCreateObjectEx,
  kObDeleteObject,
  kObAddChildObject,
  kObRemoveChildObject,
  kObGetProperty,
  kObSetProperty,
  kObSetProperties,
  kPsCreatePropset,
  kPsDestroyPropset,
  kPsAddProperty,
  kPsFindProperty,
  kPsAddI18nString,
  kPrGetMessageCatalog,
  kPrGetProviderByName,
  kPrCallProvider,
  kEvRegisterEvent,
  kEvUnregisterEvent,
  kZmRegisterAlertObject,
  kGetAlertObjectId,
  kZmRaiseAlert,
  kZmAlloc,
  kZmRealloc,
  kZmFree,
  kAlertsLogAppend,  // appending a raised alert to alerts.log (the host's own write)
  kOpCount
};
// This thread's call counters (null until its first call) and the number of armed faults.
extern thread_local constinit std::atomic<uint64_t>* tCallCounts __attribute__((tls_model("initial-exec")));
extern std::atomic<unsigned> gArmedFaults;
std::atomic<uint64_t>* ThreadCallCounts();
bool FaultFires(Op op, ZMSTATUS* status);
// Counts one call of op; true (with the status) when an injected fault fires for it.
// Inline: every host call starts here.
inline bool Enter(Op op, ZMSTATUS* status) {
  std::atomic<uint64_t>* counts = tCallCounts != nullptr ? tCallCounts : ThreadCallCounts();
  counts[op].store(counts[op].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return gArmedFaults.load(std::memory_order_acquire) != 0 && FaultFires(op, status);
}

// ---- A table from 64-bit keys to small values with open addressing: no node is
// allocated per entry, for the tables looked up on every call (live blocks, live
// property sets, waiting events). Keys 0 and 1 are reserved (empty, removed).
template <typename V>
class FlatTable {
 public:
  size_t size() const { return live_; }
  // Adds or replaces the entry of key.
  void Put(uint64_t key, V value) {
    if (V* cur = Find(key)) {
      *cur = value;
      return;
    }
    Insert(key, value);
  }
  // Adds an entry for a key that has none.
  void Insert(uint64_t key, V value) {
    if ((used_ + 1) * 10 > slots_.size() * 7) Rehash();
    size_t i = Home(key);
    while (slots_[i].key > kTomb) i = (i + 1) & (slots_.size() - 1);
    if (slots_[i].key == kEmpty) ++used_;
    slots_[i] = Slot{key, value};
    ++live_;
  }
  V* Find(uint64_t key) {
    Slot* s = SlotOf(key);
    return s != nullptr ? &s->value : nullptr;
  }
  const V* Find(uint64_t key) const { return const_cast<FlatTable*>(this)->Find(key); }
  bool Erase(uint64_t key) { return Take(key, nullptr); }
  // Removes the entry of key, giving its value; false when there is none.
  bool Take(uint64_t key, V* value) {
    Slot* s = SlotOf(key);
    if (s == nullptr) return false;
    if (value != nullptr) *value = s->value;
    s->key = kTomb;
    --live_;
    return true;
  }
  void Clear() {
    slots_.clear();
    used_ = live_ = 0;
  }
  template <typename F>
  void Each(F f) const {
    for (const Slot& s : slots_)
      if (s.key > kTomb) f(s.key, s.value);
  }

 private:
  static constexpr uint64_t kEmpty = 0, kTomb = 1;
  struct Slot {
    uint64_t key;
    V value;
  };
  Slot* SlotOf(uint64_t key) {
    if (slots_.empty() || key <= kTomb) return nullptr;
    for (size_t i = Home(key);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i].key == key) return &slots_[i];
      if (slots_[i].key == kEmpty) return nullptr;
    }
  }
  size_t Home(uint64_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & (slots_.size() - 1);
  }
  // Drops the removed entries, and doubles the table when it is more than a third full.
  void Rehash() {
    size_t n = slots_.empty() ? 256 : slots_.size();
    while (live_ * 3 > n) n *= 2;
    std::vector<Slot> old(n, Slot{kEmpty, V{}});
    old.swap(slots_);
    used_ = live_ = 0;
    for (const Slot& s : old)
      if (s.key > kTomb) Insert(s.key, s.value);
  }
  std::vector<Slot> slots_;
  size_t used_ = 0, live_ = 0;
};

inline uint64_t KeyOf(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// A lock for critical sections of a few dozen instructions that never wait for anything
// (the allocator's tables): cheaper than a mutex when, as almost always, it is free.
class SpinLock {
 public:
  void lock() {
    while (held_.exchange(true, std::memory_order_acquire))
      while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

// ---- alloc.cpp: blocks the host itself hands out. They are counted and tagged like
// the caller's _ZmAlloc blocks but are not subject to the "_ZmAlloc" fault.
void* HostAlloc(size_t size, const char* file, int line);
void HostFree(void* block);

// ---- names.cpp: property names, interned once. Two names are the same name when their
// ids are equal; the text stays valid for the life of the process.
struct Name {
  uint32_t id = 0;
  uint32_t length = 0;  // of text, without its terminator
  const char* text = "";
  bool operator==(const Name& o) const { return id == o.id; }
  bool operator!=(const Name& o) const { return id != o.id; }
  // One of 64 bits for the name: a holder of values keeps the bits of its names, so
  // that looking for a name it does not hold (every value added anew) needs no search.
  uint64_t Bit() const { return uint64_t{1} << (id & 63); }
};
// The name for text (8-bit, zero-terminated). Callers usually pass literals: a literal
// seen before at the same address costs a pointer hash; text in writable memory (which
// may hold another name by now) also a string compare.
Name Intern(const char* text);
// To be called after a module is loaded or unloaded: the literals the cache trusts
// without a compare are those of the images loaded now.
void ImagesChanged();

// ---- The bytes of a value: up to kInline bytes (every fixed-size type, the provider's
// names of objects and file systems, drive letters) live inside the object, longer
// values (device paths) on the heap.
class Bytes {
 public:
  static constexpr size_t kInline = 40;  // a name of up to 19 characters
  Bytes() = default;
  Bytes(const Bytes& o) { assign(o.data(), o.size()); }
  Bytes(Bytes&& o) noexcept { Take(o); }
  Bytes& operator=(const Bytes& o) {
    if (this != &o) assign(o.data(), o.size());
    return *this;
  }
  Bytes& operator=(Bytes&& o) noexcept {
    if (this != &o) {
      Release();
      Take(o);
    }
    return *this;
  }
  ~Bytes() { Release(); }
  const uint8_t* data() const { return size_ <= kInline ? inline_ : heap_; }
  uint8_t* data() { return size_ <= kInline ? inline_ : heap_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint8_t operator[](size_t i) const { return data()[i]; }
  // Sets the size; the bytes kept are unspecified unless assigned after. A value that
  // stays inside the object needs no call.
  void resize(size_t n) {
    if (n <= kInline && size_ <= kInline)
      size_ = n;
    else
      Resize(n);
  }
  void assign(const uint8_t* p, size_t n) {
    resize(n);
    if (n != 0) std::memcpy(data(), p, n);
  }
  bool operator==(const Bytes& o) const {
    return size_ == o.size_ && std::memcmp(data(), o.data(), size_) == 0;
  }

 private:
  void Resize(size_t n);
  void Release() {
    if (size_ > kInline) delete[] heap_;
    size_ = 0;
  }
  void Take(Bytes& o) {
    size_ = o.size_;
    if (size_ > kInline) {
      heap_ = o.heap_;
    } else {
      std::memcpy(inline_, o.inline_, size_);
    }
    o.size_ = 0;
  }
  size_t size_ = 0;
  union {
    uint8_t inline_[kInline];
    uint8_t* heap_;
  };
};

// ---- A stored value (properties of objects and property sets).
struct Value {
  Name name;
  uint32_t type = 0;
  uint32_t flags = 0;
  Bytes data;
  bool operator==(const Value& o) const { return type == o.type && flags == o.flags && data == o.data; }
};
// Checks a caller's record and copies it; E_INVALIDARG_ZM when it is malformed.
ZMSTATUS CopyRecord(const ZM_PROPERTY* record, Value* out);
// One host block holding record, name and value; null when out of memory.
ZM_PROPERTY* MakeRecord(const Value& v);
Value StringValue(const char* name, const std::u16string& text);

// ---- propset.cpp
struct PropSet;
// The values of a live set in their order; false for a handle that is no live set.
bool PropSetValues(ZM_PROPSET set, std::vector<Value>* values);
// The same without a copy: visit sees the values in order under the sets' lock (it must
// not call the property-set functions).
struct ValueRuns {
  const Value* first;
  size_t firstCount;
  const Value* more;
  size_t moreCount;
  template <typename F>
  void Each(F f) const {
    for (size_t i = 0; i < firstCount; ++i) f(first[i]);
    for (size_t i = 0; i < moreCount; ++i) f(more[i]);
  }
};
bool VisitPropSet(ZM_PROPSET set, const std::function<void(const ValueRuns&)>& visit);

// ---- db.cpp: database lifetime and the helpers built-in code uses (no call counting).
ZM_HANDLE CreateDatabase();
void DestroyDatabase();
bool IsDatabase(ZM_HANDLE db);
ZM_OBJECT_ID NewId();       // from the object counter (alert kinds use it too)
ZM_OBJECT_ID VolumeRoot();  // the machine's health: type 11, above the severity groups
ZM_OBJECT_ID HostCreate(uint32_t type);
bool HostLink(ZM_OBJECT_ID parent, ZM_OBJECT_ID child);
ZMSTATUS HostSet(ZM_OBJECT_ID id, const Value& v);
ZMSTATUS HostGet(ZM_OBJECT_ID id, const char* name, Value* v);
bool HostGetString(ZM_OBJECT_ID id, const char* name, std::u16string* s);
// Shows a stored value without copying it: see runs under the database's lock and must
// not call the host. False when there is no such object or property.
bool HostSee(ZM_OBJECT_ID id, const char* name, const std::function<void(const Value&)>& see);
// The stored value is a UTF-16 string equal to text (its terminator not counted).
bool HostStringIs(ZM_OBJECT_ID id, const char* name, const std::u16string& text);
std::vector<ZM_OBJECT_ID> HostObjects(uint32_t type);
std::vector<ZM_OBJECT_ID> HostChildren(ZM_OBJECT_ID id, uint32_t type);
Value U32Value(const char* name, uint32_t v);
Value U64Value(const char* name, uint64_t v);
Value BoolValue(const char* name, bool v);

// ---- providers.cpp
struct Provider {
  std::u16string name;
  ZM_PROVIDER_INFO info{};
  void* module = nullptr;  // dlopen handle, null for linked-in and built-in providers
  GUID catalog{};
  bool builtin = false;
};
Provider* AsProvider(ZM_HANDLE handle);  // null unless a live provider
void RegisterBuiltins();
void DropAllProviders();
std::string ProviderName(ZM_HANDLE handle);  // UTF-8, empty when unknown

// ---- events.cpp
void StartNotifier();
void StopNotifier();
void QueueEvent(const GUID& guid, ZM_OBJECT_ID id, uint32_t type);
// The changes of one database call, queued together (one lock, one wake-up).
struct Change {
  const GUID* guid;
  ZM_OBJECT_ID id;
  uint32_t type;
};
// A call makes a few changes (a link makes two, a new volume five): they are kept in
// place, and only a call that makes more (deleting a linked object) uses the heap.
class Changes {
 public:
  void push_back(const Change& c) {
    if (n_ < kInline)
      first_[n_++] = c;
    else
      more_.push_back(c);
  }
  size_t size() const { return n_ + more_.size(); }
  bool empty() const { return n_ == 0; }
  const Change& operator[](size_t i) const { return i < kInline ? first_[i] : more_[i - kInline]; }
  // Drops the changes of one object.
  void Drop(ZM_OBJECT_ID id) {
    Changes kept;
    for (size_t i = 0; i < size(); ++i)
      if ((*this)[i].id != id) kept.push_back((*this)[i]);
    *this = std::move(kept);
  }

 private:
  static constexpr size_t kInline = 8;
  Change first_[kInline];
  size_t n_ = 0;
  std::vector<Change> more_;
};
void QueueEvents(const Changes& changes);
// While one is alive nothing is delivered: changes are queued, and the last one to go
// wakes the notifier. A provider's start, a request and the built-in providers' pass at
// boot are delivered when they are complete instead of the notifier and the work taking
// turns on the locks for every object; changes of one object meanwhile make one event
// of each kind, as they do whenever an event still waits. WaitIdle on a thread that
// holds them returns at once (it would wait for itself).
class HoldEvents {
 public:
  HoldEvents();
  ~HoldEvents();
  HoldEvents(const HoldEvents&) = delete;
  HoldEvents& operator=(const HoldEvents&) = delete;
};
// Withdraws every registration of the provider and waits for a delivery in progress.
void ForgetProvider(Provider* p);

// ---- alerts.cpp
void ResetAlerts();

// ---- builtin_mount.cpp, builtin_fsys.cpp: the built-in providers' control entries.
ZMSTATUS MountControl(ZM_OBJECT_ID objectId, uint32_t cls, uint32_t code, ZM_PROPSET in, ZM_PROPSET out,
                      uint32_t arg6, uint32_t arg7, void* arg8, ZM_PROGRESS_CALLBACK progress,
                      ZM_OBJECT_ID* resultId);
ZMSTATUS FsysControl(ZM_OBJECT_ID objectId, uint32_t cls, uint32_t code, ZM_PROPSET in, ZM_PROPSET out,
                     uint32_t arg6, uint32_t arg7, void* arg8, ZM_PROGRESS_CALLBACK progress,
                     ZM_OBJECT_ID* resultId);
// Publishes "DRIVE_LETTER" of every volume from the \DosDevices links.
void RefreshDriveLetters();
// File-system name for the first bytes of a volume ("NTFS", "FAT", "FAT32", "CDFS" or "RAW").
// read(offset, buffer, length) reads from the volume; length is the volume's size.
std::string DetectFileSystem(const std::vector<uint8_t>& head, uint64_t length,
                             bool (*read)(void* ctx, uint64_t offset, void* buffer, size_t size), void* ctx);
// For an FT volume (true): its file system read through the FT data layout
// (fsys_ft.cpp), empty when its data cannot be reached. False for any other volume.
bool ProbeFtVolume(ZM_OBJECT_ID volume, std::string* fs);

// File-system name of the bytes [offset, offset + length) of an image or device, read
// in place by libblkid when they hold the mark of a file system it is asked for, else
// "RAW". The marks lie in the boot sector and in the sector at 32 KiB (a CD's first
// volume descriptor): MayHoldFileSystem of those sectors' bytes (as much of each as the
// extent holds).
std::string ProbeExtent(int fd, uint64_t offset, uint64_t length);
bool MayHoldFileSystem(const uint8_t* boot, size_t bootSize, const uint8_t* descriptor,
                       size_t descriptorSize);
// Drops what the probes of this boot found (a new host, a new boot).
void ForgetProbedVolumes();
uint64_t VolumeProbes();  // extents probed so far, for tests

// ---- strings
std::string Utf8(const std::u16string& s);
std::u16string Utf16(const std::string& s);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

}  // namespace zmi
