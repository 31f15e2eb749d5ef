// Events: changes queue an event for the providers registered for its GUID at that
// moment; one notifier thread delivers them in order, holding no host lock while a
// provider runs.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "internal.h"

namespace zmi {
namespace {

// Changes are numbered as they happen; an event that stands for several changes of its
// object carries the number of the latest, so that it reaches every provider that was
// registered when any of them happened.
struct Event {
  GUID guid;
  ZM_OBJECT_ID id;
  uint32_t type;
  uint64_t seq;
  uint64_t time;
  uint64_t lastChange;
};

struct Registration {
  uint32_t token;
  Provider* provider;
  GUID guid;
  uint64_t since;  // first change number this registration hears of
};

std::mutex gMutex;
// gIdle wakes WaitIdle once the queue is drained; gDone wakes ForgetProvider after each
// delivery. Waking WaitIdle after every delivery would make the booting thread and the
// notifier take turns on the lock for every event.
std::condition_variable gWork, gIdle, gDone;
std::deque<Event> gQueue;
// (event kind, object) of the events queued and not yet delivered: a change of an
// object whose event still waits adds nothing, since the recipient reads the object's
// state when the event arrives. The table gives where each waiting event sits in the
// queue, by its sequence number.
FlatTable<uint64_t> gPending;
std::vector<Registration> gRegs;
// gRegs.size(), read without the lock: while nobody is registered (a provider's first
// scan) a change queues nothing and need not take the lock.
std::atomic<size_t> gRegCount{0};
void Registered() { gRegCount.store(gRegs.size(), std::memory_order_release); }
uint32_t gNextToken = 1;
uint64_t gNextSeq = 1;
uint64_t gNextChange = 1;
bool gDelivering = false;
unsigned gHeld = 0;                                                          // live HoldEvents
thread_local unsigned tHeld __attribute__((tls_model("initial-exec"))) = 0;  // of this thread
bool gStop = false;
bool gRunning = false;
std::thread gThread;
std::thread::id gThreadId;
std::atomic<uint64_t> gDelivered{0};

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// The key of an event in gPending: its object and which of the host's events it is.
uint64_t PendingKey(const GUID& guid, ZM_OBJECT_ID id) {
  static const GUID* const kKinds[] = {&GUID_DB_NODE_CHANGE_GUID, &GUID_DB_NODE_PARENT_CHANGE_GUID,
                                       &GUID_DB_NODE_CHILD_CHANGE_GUID, &GUID_ZMINITIALIZATION_COMPLETE};
  uint64_t kind = 0;
  while (kind < 4 && !SameGuid(guid, *kKinds[kind])) ++kind;
  return ((id << 3) | kind) + 2;  // 0 and 1 are the table's own
}

// 100-nanosecond units since 1601, the platform's usual time stamp.
uint64_t Now() {
  using namespace std::chrono;
  auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<uint64_t>(ns / 100) + 116444736000000000ull;
}

void Run() {
  std::unique_lock<std::mutex> g(gMutex);
  std::vector<uint32_t> tokens;  // reused: one event after another
  for (;;) {
    // Nothing is delivered while changes are held back: a pass or a request is seen
    // when it is complete.
    gWork.wait(g, [] { return gStop || (!gQueue.empty() && gHeld == 0); });
    if (gStop) break;
    Event e = gQueue.front();
    gQueue.pop_front();
    gPending.Erase(PendingKey(e.guid, e.id));
    gDelivering = true;
    // Recipients are looked up again before each call so that a withdrawn registration
    // receives nothing more.
    tokens.clear();
    for (const auto& r : gRegs)
      if (SameGuid(r.guid, e.guid) && r.since <= e.lastChange) tokens.push_back(r.token);
    for (uint32_t t : tokens) {
      ZM_NOTIFY_FN fn = nullptr;
      for (const auto& r : gRegs)
        if (r.token == t) fn = r.provider->info.ChangeNotify;
      if (fn == nullptr) continue;
      _Zm_Notification_Header h{};
      h.Size = sizeof h;
      h.Sequence = static_cast<uint32_t>(e.seq);
      h.EventGuid = e.guid;
      h.Timestamp = e.time;
      h.Object = e.id;
      h.ObjectType = e.type;
      g.unlock();
      fn(&h);
      gDelivered.fetch_add(1);
      g.lock();
    }
    gDelivering = false;
    gDone.notify_all();
    if (gQueue.empty()) gIdle.notify_all();
  }
  gDelivering = false;
  gDone.notify_all();
  gIdle.notify_all();
}

}  // namespace

void StartNotifier() {
  std::lock_guard<std::mutex> g(gMutex);
  if (gRunning) return;
  gStop = false;
  gRunning = true;
  gThread = std::thread(Run);
  gThreadId = gThread.get_id();
}

void StopNotifier() {
  {
    std::lock_guard<std::mutex> g(gMutex);
    if (!gRunning) return;
    gStop = true;
    gWork.notify_all();
  }
  gThread.join();
  std::lock_guard<std::mutex> g(gMutex);
  gRunning = false;
  gThreadId = std::thread::id();
  gQueue.clear();
  gPending.Clear();
  gRegs.clear();
  Registered();
  gIdle.notify_all();
  gDone.notify_all();
}

// Queues one change under the lock; true when it made a new event.
static bool QueueLocked(const GUID& guid, ZM_OBJECT_ID id, uint32_t type) {
  if (!gRunning) return false;
  bool wanted = false;
  for (const auto& r : gRegs) wanted |= SameGuid(r.guid, guid);
  if (!wanted) return false;
  uint64_t change = gNextChange++;
  uint64_t key = PendingKey(guid, id);
  if (const uint64_t* seq = gPending.Find(key)) {
    // The waiting event covers this change too; sequence numbers grow along the queue.
    gQueue[*seq - gQueue.front().seq].lastChange = change;
    return false;
  }
  gPending.Put(key, gNextSeq);
  gQueue.push_back(Event{guid, id, type, gNextSeq++, Now(), change});
  return true;
}

// The notifier is woken after the lock is released (it would only wake to wait for the
// lock), and not while the changes are held back.
void QueueEvent(const GUID& guid, ZM_OBJECT_ID id, uint32_t type) {
  bool wake;
  {
    std::lock_guard<std::mutex> g(gMutex);
    wake = QueueLocked(guid, id, type) && gHeld == 0;
  }
  if (wake) gWork.notify_one();
}

void QueueEvents(const Changes& changes) {
  if (gRegCount.load(std::memory_order_acquire) == 0) return;
  bool any = false;
  {
    std::lock_guard<std::mutex> g(gMutex);
    for (size_t i = 0; i < changes.size(); ++i)
      any |= QueueLocked(*changes[i].guid, changes[i].id, changes[i].type);
    any = any && gHeld == 0;
  }
  if (any) gWork.notify_one();
}

HoldEvents::HoldEvents() {
  std::lock_guard<std::mutex> g(gMutex);
  ++gHeld;
  ++tHeld;
}

HoldEvents::~HoldEvents() {
  bool wake;
  {
    std::lock_guard<std::mutex> g(gMutex);
    --tHeld;
    wake = --gHeld == 0 && !gQueue.empty();
  }
  if (wake) gWork.notify_one();
}

void ForgetProvider(Provider* p) {
  std::unique_lock<std::mutex> g(gMutex);
  std::erase_if(gRegs, [p](const Registration& r) { return r.provider == p; });
  Registered();
  // A delivery running now may be inside this provider; let it finish before the
  // caller unloads its code. The notifier itself never waits for itself.
  if (std::this_thread::get_id() != gThreadId) gDone.wait(g, [] { return !gDelivering; });
}

}  // namespace zmi

extern "C" {

ZMSTATUS EvRegisterEvent(ZM_HANDLE prov, const GUID* eventGuid, uint32_t* token) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kEvRegisterEvent, &s)) return s;
  if (eventGuid == nullptr || token == nullptr) return E_INVALIDARG_ZM;
  zmi::Provider* p = zmi::AsProvider(prov);
  if (p == nullptr) return ZM_E_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(zmi::gMutex);
  // Registering the same event twice keeps one registration, so nothing arrives twice.
  for (const auto& r : zmi::gRegs)
    if (r.provider == p && zmi::SameGuid(r.guid, *eventGuid)) {
      *token = r.token;
      return ZM_S_OK;
    }
  *token = zmi::gNextToken++;
  zmi::gRegs.push_back({*token, p, *eventGuid, zmi::gNextChange});
  zmi::Registered();
  return ZM_S_OK;
}

ZMSTATUS EvUnregisterEvent(uint32_t token) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kEvUnregisterEvent, &s)) return s;
  std::lock_guard<std::mutex> g(zmi::gMutex);
  size_t n = std::erase_if(zmi::gRegs, [token](const zmi::Registration& r) { return r.token == token; });
  zmi::Registered();
  return n != 0 ? ZM_S_OK : E_INVALIDARG_ZM;
}

}  // extern "C"

namespace zm {

void WaitIdle() {
  std::unique_lock<std::mutex> g(zmi::gMutex);
  // The notifier, or a thread holding changes back, would wait for itself.
  if (std::this_thread::get_id() == zmi::gThreadId || zmi::tHeld > 0) return;
  zmi::gWork.notify_one();  // changes held back are delivered too
  zmi::gIdle.wait(g, [] { return !zmi::gRunning || (zmi::gQueue.empty() && !zmi::gDelivering); });
}

uint64_t EventsDelivered() { return zmi::gDelivered.load(); }

// The built-in providers first publish the letters and file systems of the volumes the
// loaded providers made, so that the event's receivers see complete volumes, and the
// event is raised after that pass: it comes after the events of every change of the
// boot, as the last thing the boot does. The pass's changes are held back and delivered
// together, each volume's once.
void InitializationComplete() {
  // The providers' own start is delivered first, so that the notifier and this pass do
  // not run side by side on the same objects and locks.
  WaitIdle();
  zmi::HoldEvents hold;
  zmi::RefreshDriveLetters();
  zmi::FsysControl(0, 0, OP_REFRESH, nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr);
  zmi::QueueEvent(GUID_ZMINITIALIZATION_COMPLETE, 0, 0);
}

}  // namespace zm
