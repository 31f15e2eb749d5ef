// The object database: typed objects with ordered properties and ordered, many-to-many
// parent/child links. Each call is atomic through one internal lock held only inside
// the call; DbLockDatabase is a separate re-entrant lock between providers.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"

namespace zmi {
namespace {

// Volumes per severity group: the provider recomputes a group from all its children on
// every change of one of them, so the group size bounds the cost of each change.
constexpr size_t kGroupSize = 16;
// Room for the properties of a partition or volume, made once.
constexpr size_t kPropsReserved = 16;

// Ids kept in place up to a few (an object's parents, most objects' children), on the
// heap beyond.
class SmallIds {
 public:
  SmallIds() = default;
  SmallIds(const SmallIds&) = delete;
  SmallIds& operator=(const SmallIds&) = delete;
  ~SmallIds() {
    if (heap_) delete[] data_;
  }
  const ZM_OBJECT_ID* begin() const { return data_; }
  const ZM_OBJECT_ID* end() const { return data_ + size_; }
  size_t size() const { return size_; }
  void push_back(ZM_OBJECT_ID id) {
    if (size_ == capacity_) Grow();
    data_[size_++] = id;
  }
  void erase_last() { --size_; }
  bool erase(ZM_OBJECT_ID id) {
    ZM_OBJECT_ID* it = std::find(data_, data_ + size_, id);
    if (it == data_ + size_) return false;
    std::copy(it + 1, data_ + size_, it);
    --size_;
    return true;
  }

 private:
  void Grow() {
    auto* bigger = new ZM_OBJECT_ID[capacity_ * 2];
    std::copy(data_, data_ + size_, bigger);
    if (heap_) delete[] data_;
    data_ = bigger;
    capacity_ *= 2;
    heap_ = true;
  }
  static constexpr size_t kInline = 4;
  ZM_OBJECT_ID inline_[kInline];
  ZM_OBJECT_ID* data_ = inline_;
  size_t size_ = 0, capacity_ = kInline;
  bool heap_ = false;
};

// An ordered set of ids in link order. Small sets (most of them) are searched in place;
// large ones (the container's children) keep an index for membership.
class LinkList {
 public:
  bool insert(ZM_OBJECT_ID id) {
    if (contains(id)) return false;
    order_.push_back(id);
    if (index_.size() != 0) {
      index_.Insert(Key(id), 1);
    } else if (order_.size() > kIndexFrom) {
      for (ZM_OBJECT_ID x : order_) index_.Insert(Key(x), 1);
    }
    return true;
  }
  bool erase(ZM_OBJECT_ID id) {
    if (!order_.erase(id)) return false;
    index_.Erase(Key(id));
    return true;
  }
  bool contains(ZM_OBJECT_ID id) const {
    if (index_.size() != 0) return index_.Find(Key(id)) != nullptr;
    return std::find(order_.begin(), order_.end(), id) != order_.end();
  }
  size_t size() const { return order_.size(); }
  const ZM_OBJECT_ID* begin() const { return order_.begin(); }
  const ZM_OBJECT_ID* end() const { return order_.end(); }

 private:
  static constexpr size_t kIndexFrom = 32;
  static uint64_t Key(ZM_OBJECT_ID id) { return id + 2; }  // clear of the table's reserved keys
  SmallIds order_;
  FlatTable<char> index_;
};

// Ids in creation order, which is ascending id order: searched by bisection.
class SortedIds {
 public:
  void append(ZM_OBJECT_ID id) { ids_.push_back(id); }
  void erase(ZM_OBJECT_ID id) {
    auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
    if (it != ids_.end() && *it == id) ids_.erase(it);
  }
  const std::vector<ZM_OBJECT_ID>& ids() const { return ids_; }

 private:
  std::vector<ZM_OBJECT_ID> ids_;
};

struct Object {
  ZM_OBJECT_ID id = 0;
  uint32_t type = 0;
  bool group = false;        // one of the host's severity groups
  std::vector<Value> props;  // in the order first written; a handful per object
  uint64_t names = 0;        // Name::Bit of every value's name (values are never removed)
  LinkList parents, children;

  const Value* Get(Name name) const {
    if ((names & name.Bit()) == 0) return nullptr;
    for (const Value& v : props)
      if (v.name == name) return &v;
    return nullptr;
  }
};

struct Database {
  // Held inside each call only, and while a reader's visitor runs: briefly.
  SpinLock mu;
  std::vector<std::unique_ptr<Object>> objects;  // by id; ids are never reused
  SortedIds all;
  std::unordered_map<uint32_t, SortedIds> byType;
  ZM_OBJECT_ID nextId = 1;
  ZM_OBJECT_ID volumeRoot = 0;
  std::set<ZM_OBJECT_ID> groupsWithRoom;  // host groups below kGroupSize volumes
  unsigned groupCount = 0;
  Name severity = Intern("SEVERITY");
  Name name = Intern("NAME");

  // The re-entrant lock of DbLockDatabase: its holder's thread (none when free) and how
  // often the holder took it. Taking a free lock, or releasing one nobody waits for,
  // touches only these atomics; a thread that finds it held waits on lockCv.
  std::atomic<std::thread::id> owner{};
  unsigned depth = 0;  // the holder's own
  std::atomic<unsigned> waiters{0};
  std::mutex lockMu;
  std::condition_variable lockCv;
};

static_assert(std::atomic<std::thread::id>::is_always_lock_free);
Database* gDb = nullptr;

using Events = Changes;

// Events are queued after the database mutex is released.
void Flush(const Events& events) {
  if (!events.empty()) QueueEvents(events);
}

Object* Find(ZM_OBJECT_ID id) { return id < gDb->objects.size() ? gDb->objects[id].get() : nullptr; }

// True when a is b or one of b's ancestors: linking b above a would close a cycle.
bool IsAncestorOrSelf(ZM_OBJECT_ID a, ZM_OBJECT_ID b) {
  if (a == b) return true;
  // An object without children is nobody's ancestor: the usual link, of a new object.
  if (Object* o = Find(a); o == nullptr || o->children.size() == 0) return false;
  // The ancestors of b: a handful (a disk, a container, a group, the root).
  SmallIds todo, seen;
  todo.push_back(b);
  while (todo.size() != 0) {
    ZM_OBJECT_ID x = *(todo.end() - 1);
    todo.erase_last();
    if (x == a) return true;
    if (std::find(seen.begin(), seen.end(), x) != seen.end()) continue;
    seen.push_back(x);
    if (Object* o = Find(x))
      for (ZM_OBJECT_ID p : o->parents) todo.push_back(p);
  }
  return false;
}

// Stores a value; true when it changed what was stored. Values that equal the stored
// one are not copied.
template <typename V>
bool Store(Object* o, V&& v) {
  const uint64_t bit = v.name.Bit();
  if (o->names & bit) {
    for (Value& cur : o->props)
      if (cur.name == v.name) {
        if (cur == v) return false;
        cur = std::forward<V>(v);
        return true;
      }
  }
  if (o->props.empty()) o->props.reserve(kPropsReserved);
  o->props.push_back(std::forward<V>(v));
  o->names |= bit;
  return true;
}

// Keeps the machine's health equal to the highest "SEVERITY" among the root's children
// (the severity groups). A child without one, or with one that is not a 32-bit value,
// contributes nothing.
void UpdateHealth(Events* ev) {
  Object* root = Find(gDb->volumeRoot);
  if (root == nullptr) return;
  uint32_t highest = 0;
  for (ZM_OBJECT_ID c : root->children) {
    Object* child = Find(c);
    const Value* v = child != nullptr ? child->Get(gDb->severity) : nullptr;
    if (v == nullptr || v->type != ZM_TYPE_UINT32 || v->data.size() != 4) continue;
    uint32_t x;
    std::memcpy(&x, v->data.data(), 4);
    highest = std::max(highest, x);
  }
  if (Store(root, U32Value("SEVERITY", highest)))
    ev->push_back({&GUID_DB_NODE_CHANGE_GUID, root->id, root->type});
}

void Link(Object* parent, Object* child, Events* ev) {
  if (!parent->children.insert(child->id)) return;
  child->parents.insert(parent->id);
  ev->push_back({&GUID_DB_NODE_CHILD_CHANGE_GUID, parent->id, parent->type});
  ev->push_back({&GUID_DB_NODE_PARENT_CHANGE_GUID, child->id, child->type});
  if (parent->group && parent->children.size() >= kGroupSize) gDb->groupsWithRoom.erase(parent->id);
  if (parent->id == gDb->volumeRoot) UpdateHealth(ev);
}

void Unlink(Object* parent, Object* child, Events* ev) {
  if (!parent->children.erase(child->id)) return;
  child->parents.erase(parent->id);
  ev->push_back({&GUID_DB_NODE_CHILD_CHANGE_GUID, parent->id, parent->type});
  ev->push_back({&GUID_DB_NODE_PARENT_CHANGE_GUID, child->id, child->type});
  if (parent->group && parent->children.size() < kGroupSize) gDb->groupsWithRoom.insert(parent->id);
  if (parent->id == gDb->volumeRoot) UpdateHealth(ev);
}

Object* Create(uint32_t type, Events* ev);

// A severity group with room for one more volume, made below the root when none has.
Object* GroupWithRoom(Events* ev) {
  if (!gDb->groupsWithRoom.empty()) return Find(*gDb->groupsWithRoom.begin());
  Object* root = Find(gDb->volumeRoot);
  if (root == nullptr) return nullptr;
  Object* g = Create(ZM_OBJ_SEVERITY_ROOT, ev);
  g->group = true;
  std::string name = "Volume group " + std::to_string(++gDb->groupCount);
  Store(g, StringValue("NAME", Utf16(name)));
  Store(g, U32Value("SEVERITY", 0));
  gDb->groupsWithRoom.insert(g->id);
  Link(root, g, ev);
  return g;
}

Object* Create(uint32_t type, Events* ev) {
  auto o = std::make_unique<Object>();
  o->id = gDb->nextId++;
  o->type = type;
  Object* raw = o.get();
  if (gDb->objects.size() <= raw->id) gDb->objects.resize(raw->id + 1);
  gDb->objects[raw->id] = std::move(o);
  gDb->all.append(raw->id);
  gDb->byType[type].append(raw->id);
  ev->push_back({&GUID_DB_NODE_CHANGE_GUID, raw->id, type});
  // Every volume hangs below a severity group so that its severity rolls up into the
  // machine's health through a parent of bounded size.
  if (type == ZM_OBJ_VOLUME)
    if (Object* group = GroupWithRoom(ev)) Link(group, raw, ev);
  return raw;
}

// The ids of [first, last) of the given type (0: all) as a host block.
ZMSTATUS ListIds(const ZM_OBJECT_ID* first, const ZM_OBJECT_ID* last, uint32_t type, uint32_t* count,
                 ZM_OBJECT_ID** ids) {
  std::span<const ZM_OBJECT_ID> list(first, last);
  size_t n = list.size();
  if (type != ZM_OBJ_ANY) {
    n = 0;
    for (ZM_OBJECT_ID id : list) {
      Object* o = Find(id);
      if (o != nullptr && o->type == type) ++n;
    }
  }
  *count = static_cast<uint32_t>(n);
  if (n == 0) return ZM_S_OK;
  auto* out = static_cast<ZM_OBJECT_ID*>(HostAlloc(n * sizeof(ZM_OBJECT_ID), __FILE__, __LINE__));
  if (out == nullptr) {
    *count = 0;
    return E_OUTOFMEMORY_ZM;
  }
  if (type == ZM_OBJ_ANY) {
    std::memcpy(out, list.data(), n * sizeof(ZM_OBJECT_ID));
  } else {
    size_t k = 0;
    for (ZM_OBJECT_ID id : list) {
      Object* o = Find(id);
      if (o != nullptr && o->type == type) out[k++] = id;
    }
  }
  *ids = out;
  return ZM_S_OK;
}

ZMSTATUS GetLinks(ZM_HANDLE db, ZM_OBJECT_ID id, uint32_t type, uint32_t* count, ZM_OBJECT_ID** ids,
                  bool children) {
  if (count == nullptr || ids == nullptr) return E_INVALIDARG_ZM;
  *count = 0;
  *ids = nullptr;
  if (!IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  std::lock_guard<SpinLock> g(gDb->mu);
  Object* o = Find(id);
  if (o == nullptr) return ZM_E_NO_OBJECT;
  const LinkList& links = children ? o->children : o->parents;
  return ListIds(links.begin(), links.end(), type, count, ids);
}

ZMSTATUS CreateObject(ZM_HANDLE db, ZM_HANDLE prov, uint32_t type, ZM_OBJECT_ID* id) {
  if (id == nullptr) return E_INVALIDARG_ZM;
  *id = 0;
  if (!IsDatabase(db) || (prov != nullptr && AsProvider(prov) == nullptr)) return ZM_E_INVALID_HANDLE;
  if (type == ZM_OBJ_ANY) return E_INVALIDARG_ZM;
  Events ev;
  {
    std::lock_guard<SpinLock> g(gDb->mu);
    *id = Create(type, &ev)->id;
  }
  Flush(ev);
  return ZM_S_OK;
}

// Writes values to an object, under the database's lock.
class Writer {
 public:
  explicit Writer(Object* o) : o_(o) {}
  void Put(const Value& v) { Note(v.name, Store(o_, v)); }
  void Put(Value&& v) {
    Name name = v.name;
    Note(name, Store(o_, std::move(v)));
  }
  // One event per call, and none when nothing changed.
  void Finish(Events* ev) {
    if (changed_) ev->push_back({&GUID_DB_NODE_CHANGE_GUID, o_->id, o_->type});
    // A group's severity, or a write to the root's own, brings the health up to date.
    if (severity_ && gDb->volumeRoot != 0 &&
        (o_->id == gDb->volumeRoot || o_->parents.contains(gDb->volumeRoot)))
      UpdateHealth(ev);
  }

 private:
  void Note(Name name, bool changed) {
    changed_ |= changed;
    severity_ |= changed && name == gDb->severity;
  }
  Object* o_;
  bool changed_ = false, severity_ = false;
};

ZMSTATUS SetValue(ZM_OBJECT_ID id, Value&& v) {
  Events ev;
  {
    std::lock_guard<SpinLock> g(gDb->mu);
    Object* o = Find(id);
    if (o == nullptr) return ZM_E_NO_OBJECT;
    Writer w(o);
    w.Put(std::move(v));
    w.Finish(&ev);
  }
  Flush(ev);
  return ZM_S_OK;
}

}  // namespace

ZM_HANDLE CreateDatabase() {
  if (gDb == nullptr) gDb = new Database();
  return gDb;
}

void DestroyDatabase() {
  delete gDb;
  gDb = nullptr;
}

bool IsDatabase(ZM_HANDLE db) { return db != nullptr && db == gDb; }

ZM_OBJECT_ID NewId() {
  if (gDb == nullptr) return 0;
  std::lock_guard<SpinLock> g(gDb->mu);
  return gDb->nextId++;
}

ZM_OBJECT_ID VolumeRoot() { return gDb != nullptr ? gDb->volumeRoot : 0; }

ZM_OBJECT_ID HostCreate(uint32_t type) {
  Events ev;
  ZM_OBJECT_ID id;
  {
    std::lock_guard<SpinLock> g(gDb->mu);
    id = Create(type, &ev)->id;
    if (type == ZM_OBJ_VOLUME_ROOT && gDb->volumeRoot == 0) gDb->volumeRoot = id;
  }
  Flush(ev);
  return id;
}

bool HostLink(ZM_OBJECT_ID parent, ZM_OBJECT_ID child) {
  Events ev;
  {
    std::lock_guard<SpinLock> g(gDb->mu);
    Object* p = Find(parent);
    Object* c = Find(child);
    if (p == nullptr || c == nullptr || IsAncestorOrSelf(child, parent)) return false;
    Link(p, c, &ev);
  }
  Flush(ev);
  return true;
}

ZMSTATUS HostSet(ZM_OBJECT_ID id, const Value& v) {
  if (gDb == nullptr) return ZM_E_INVALID_HANDLE;
  Value copy = v;
  return SetValue(id, std::move(copy));
}

ZMSTATUS HostGet(ZM_OBJECT_ID id, const char* name, Value* v) {
  if (gDb == nullptr) return ZM_E_INVALID_HANDLE;
  Name n = Intern(name);
  std::lock_guard<SpinLock> g(gDb->mu);
  Object* o = Find(id);
  if (o == nullptr) return ZM_E_NO_OBJECT;
  const Value* found = o->Get(n);
  if (found == nullptr) return ZM_E_NO_PROPERTY;
  *v = *found;
  return ZM_S_OK;
}

bool HostSee(ZM_OBJECT_ID id, const char* name, const std::function<void(const Value&)>& see) {
  if (gDb == nullptr) return false;
  Name n = Intern(name);
  std::lock_guard<SpinLock> g(gDb->mu);
  Object* o = Find(id);
  const Value* found = o != nullptr ? o->Get(n) : nullptr;
  if (found == nullptr) return false;
  see(*found);
  return true;
}

namespace {
// The UTF-16 units of a string value up to its terminator.
size_t StringUnits(const Value& v) {
  size_t n = v.data.size() / 2;
  while (n > 0 && v.data[2 * n - 2] == 0 && v.data[2 * n - 1] == 0) --n;
  return n;
}
}  // namespace

bool HostGetString(ZM_OBJECT_ID id, const char* name, std::u16string* s) {
  bool isString = false;
  HostSee(id, name, [&](const Value& v) {
    if ((isString = v.type == ZM_TYPE_STRING)) {
      s->resize(StringUnits(v));
      std::memcpy(s->data(), v.data.data(), s->size() * 2);
    }
  });
  return isString;
}

bool HostStringIs(ZM_OBJECT_ID id, const char* name, const std::u16string& text) {
  bool same = false;
  HostSee(id, name, [&](const Value& v) {
    same = v.type == ZM_TYPE_STRING && StringUnits(v) == text.size() &&
           std::memcmp(v.data.data(), text.data(), text.size() * 2) == 0;
  });
  return same;
}

std::vector<ZM_OBJECT_ID> HostObjects(uint32_t type) {
  std::vector<ZM_OBJECT_ID> v;
  if (gDb == nullptr) return v;
  std::lock_guard<zmi::SpinLock> g(gDb->mu);
  if (type == ZM_OBJ_ANY) return gDb->all.ids();
  auto it = gDb->byType.find(type);
  if (it != gDb->byType.end()) v = it->second.ids();
  return v;
}

std::vector<ZM_OBJECT_ID> HostChildren(ZM_OBJECT_ID id, uint32_t type) {
  std::vector<ZM_OBJECT_ID> v;
  if (gDb == nullptr) return v;
  std::lock_guard<zmi::SpinLock> g(gDb->mu);
  Object* o = Find(id);
  if (o == nullptr) return v;
  for (ZM_OBJECT_ID c : o->children) {
    Object* co = Find(c);
    if (co != nullptr && (type == ZM_OBJ_ANY || co->type == type)) v.push_back(c);
  }
  return v;
}

namespace {
// A fixed-size value of the given type holding the bytes of x.
template <typename T>
Value ScalarValue(const char* name, uint32_t type, T x) {
  Value v;
  v.name = Intern(name);
  v.type = type;
  v.data.assign(reinterpret_cast<const uint8_t*>(&x), sizeof x);
  return v;
}
}  // namespace

Value U32Value(const char* name, uint32_t x) { return ScalarValue(name, ZM_TYPE_UINT32, x); }
Value U64Value(const char* name, uint64_t x) { return ScalarValue(name, ZM_TYPE_UINT64, x); }
Value BoolValue(const char* name, bool x) { return ScalarValue(name, ZM_TYPE_BOOL, uint8_t(x ? 1 : 0)); }

}  // namespace zmi

using zmi::Enter;
using zmi::gDb;

extern "C" {

ZMSTATUS DbLockDatabase(ZM_HANDLE prov) {
  ZMSTATUS s;
  if (Enter(zmi::kDbLockDatabase, &s)) return s;
  if (gDb == nullptr || zmi::AsProvider(prov) == nullptr) return ZM_E_INVALID_HANDLE;
  const auto me = std::this_thread::get_id();
  // Only this thread can make itself the holder.
  if (gDb->owner.load(std::memory_order_relaxed) == me) {
    ++gDb->depth;
    return ZM_S_OK;
  }
  auto take = [me] {
    std::thread::id none;
    return gDb->owner.compare_exchange_strong(none, me);
  };
  if (!take()) {
    std::unique_lock<std::mutex> g(gDb->lockMu);
    gDb->waiters.fetch_add(1);
    gDb->lockCv.wait(g, take);
    gDb->waiters.fetch_sub(1);
  }
  gDb->depth = 1;
  return ZM_S_OK;
}

ZMSTATUS DbUnlockDatabase(ZM_HANDLE prov) {
  ZMSTATUS s;
  if (Enter(zmi::kDbUnlockDatabase, &s)) return s;
  if (gDb == nullptr || zmi::AsProvider(prov) == nullptr) return ZM_E_INVALID_HANDLE;
  // Only the holder can release; anything else would let two holders in.
  if (gDb->owner.load(std::memory_order_relaxed) != std::this_thread::get_id() || gDb->depth == 0)
    return ZM_E_FAIL;
  if (--gDb->depth == 0) {
    gDb->owner.store(std::thread::id());
    // A waiter counts itself before it looks at the holder, both in full order with the
    // two lines above: either it sees the lock free or it is seen here and woken.
    if (gDb->waiters.load() != 0) {
      std::lock_guard<std::mutex> g(gDb->lockMu);
      gDb->lockCv.notify_one();
    }
  }
  return ZM_S_OK;
}

ZMSTATUS DbGetObjects(ZM_HANDLE db, uint32_t type, uint32_t* count, ZM_OBJECT_ID** ids) {
  ZMSTATUS s;
  if (Enter(zmi::kDbGetObjects, &s)) return s;
  if (count == nullptr || ids == nullptr) return E_INVALIDARG_ZM;
  *count = 0;
  *ids = nullptr;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  std::lock_guard<zmi::SpinLock> g(gDb->mu);
  auto listAll = [count, ids](const std::vector<ZM_OBJECT_ID>& v) {
    return zmi::ListIds(v.data(), v.data() + v.size(), ZM_OBJ_ANY, count, ids);
  };
  if (type == ZM_OBJ_ANY) return listAll(gDb->all.ids());
  auto it = gDb->byType.find(type);
  if (it == gDb->byType.end()) return ZM_S_OK;
  return listAll(it->second.ids());
}

ZMSTATUS ObGetChildObjects(ZM_HANDLE db, ZM_OBJECT_ID id, uint32_t type, uint32_t* count,
                           ZM_OBJECT_ID** ids) {
  ZMSTATUS s;
  if (Enter(zmi::kObGetChildObjects, &s)) return s;
  return zmi::GetLinks(db, id, type, count, ids, true);
}

ZMSTATUS ObGetParentObjects(ZM_HANDLE db, ZM_OBJECT_ID id, uint32_t type, uint32_t* count,
                            ZM_OBJECT_ID** ids) {
  ZMSTATUS s;
  if (Enter(zmi::kObGetParentObjects, &s)) return s;
  return zmi::GetLinks(db, id, type, count, ids, false);
}

ZMSTATUS ObGetObjectType(ZM_HANDLE db, ZM_OBJECT_ID id, uint32_t* type) {
  ZMSTATUS s;
  if (Enter(zmi::kObGetObjectType, &s)) return s;
  if (type == nullptr) return E_INVALIDARG_ZM;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  std::lock_guard<zmi::SpinLock> g(gDb->mu);
  zmi::Object* o = zmi::Find(id);
  if (o == nullptr) return ZM_E_NO_OBJECT;
  *type = o->type;
  return ZM_S_OK;
}

ZMSTATUS ObCreateObject(ZM_HANDLE db, ZM_HANDLE prov, uint32_t type, ZM_OBJECT_ID* id) {
  ZMSTATUS s;
  if (Enter(zmi::kObCreateObject, &s)) return s;
  return zmi::CreateObject(db, prov, type, id);
}

// The flags and reserved word carry nothing for this host; the object is made as by
// ObCreateObject.
ZMSTATUS ObCreateObjectEx(ZM_HANDLE db, ZM_HANDLE prov, uint32_t type, uint32_t /*flags*/,
                          uint32_t /*reserved*/, ZM_OBJECT_ID* id) {
  ZMSTATUS s;
  if (Enter(zmi::kObCreateObjectEx, &s)) return s;
  return zmi::CreateObject(db, prov, type, id);
}

ZMSTATUS ObDeleteObject(ZM_HANDLE db, ZM_OBJECT_ID id) {
  ZMSTATUS s;
  if (Enter(zmi::kObDeleteObject, &s)) return s;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  zmi::Events ev;
  {
    std::lock_guard<zmi::SpinLock> g(gDb->mu);
    zmi::Object* o = zmi::Find(id);
    if (o == nullptr) return ZM_E_NO_OBJECT;
    // Its links go; its children stay, one parent fewer.
    std::vector<ZM_OBJECT_ID> parents(o->parents.begin(), o->parents.end());
    std::vector<ZM_OBJECT_ID> children(o->children.begin(), o->children.end());
    for (ZM_OBJECT_ID p : parents)
      if (zmi::Object* po = zmi::Find(p)) zmi::Unlink(po, o, &ev);
    for (ZM_OBJECT_ID c : children)
      if (zmi::Object* co = zmi::Find(c)) zmi::Unlink(o, co, &ev);
    // Its former parents and children hear of it; events about the object itself
    // would name an id that no longer exists.
    ev.Drop(id);
    gDb->all.erase(id);
    gDb->byType[o->type].erase(id);
    if (gDb->volumeRoot == id) gDb->volumeRoot = 0;
    gDb->groupsWithRoom.erase(id);
    gDb->objects[id].reset();
  }
  zmi::Flush(ev);
  return ZM_S_OK;
}

ZMSTATUS ObAddChildObject(ZM_HANDLE db, ZM_OBJECT_ID parent, ZM_OBJECT_ID child) {
  ZMSTATUS s;
  if (Enter(zmi::kObAddChildObject, &s)) return s;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  zmi::Events ev;
  {
    std::lock_guard<zmi::SpinLock> g(gDb->mu);
    zmi::Object* p = zmi::Find(parent);
    zmi::Object* c = zmi::Find(child);
    if (p == nullptr || c == nullptr) return ZM_E_NO_OBJECT;
    // A link that would make an object its own ancestor is refused: walks of the tree
    // (deleting subtrees, rolling up severities) would never end.
    if (zmi::IsAncestorOrSelf(child, parent)) return E_INVALIDARG_ZM;
    zmi::Link(p, c, &ev);
  }
  zmi::Flush(ev);
  return ZM_S_OK;
}

ZMSTATUS ObRemoveChildObject(ZM_HANDLE db, ZM_OBJECT_ID parent, ZM_OBJECT_ID child) {
  ZMSTATUS s;
  if (Enter(zmi::kObRemoveChildObject, &s)) return s;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  zmi::Events ev;
  {
    std::lock_guard<zmi::SpinLock> g(gDb->mu);
    zmi::Object* p = zmi::Find(parent);
    zmi::Object* c = zmi::Find(child);
    if (p == nullptr || c == nullptr) return ZM_E_NO_OBJECT;
    zmi::Unlink(p, c, &ev);  // not linked: nothing to do, no event
  }
  zmi::Flush(ev);
  return ZM_S_OK;
}

ZMSTATUS ObGetProperty(ZM_HANDLE db, ZM_OBJECT_ID id, const char* name, ZM_PROPERTY** record) {
  ZMSTATUS s;
  if (Enter(zmi::kObGetProperty, &s)) return s;
  if (record == nullptr) return E_INVALIDARG_ZM;
  *record = nullptr;
  if (name == nullptr) return E_INVALIDARG_ZM;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  zmi::Name n = zmi::Intern(name);
  std::lock_guard<zmi::SpinLock> g(gDb->mu);
  zmi::Object* o = zmi::Find(id);
  if (o == nullptr) return ZM_E_NO_OBJECT;
  const zmi::Value* v = o->Get(n);
  if (v == nullptr) return ZM_E_NO_PROPERTY;
  *record = zmi::MakeRecord(*v);
  return *record != nullptr ? ZM_S_OK : E_OUTOFMEMORY_ZM;
}

ZMSTATUS ObSetProperty(ZM_HANDLE db, ZM_OBJECT_ID id, const ZM_PROPERTY* record) {
  ZMSTATUS s;
  if (Enter(zmi::kObSetProperty, &s)) return s;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  zmi::Value v;
  if ((s = zmi::CopyRecord(record, &v)) != ZM_S_OK) return s;
  return zmi::SetValue(id, std::move(v));
}

ZMSTATUS ObSetProperties(ZM_HANDLE db, ZM_OBJECT_ID id, ZM_PROPSET set) {
  ZMSTATUS s;
  if (Enter(zmi::kObSetProperties, &s)) return s;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  // The set's values go straight from the set into the object (set lock, then database
  // lock; nothing takes them the other way round).
  zmi::Events ev;
  bool found = true;
  bool live = zmi::VisitPropSet(set, [&](const zmi::ValueRuns& values) {
    std::lock_guard<zmi::SpinLock> g(gDb->mu);
    zmi::Object* o = zmi::Find(id);
    if (o == nullptr) {
      found = false;
      return;
    }
    zmi::Writer w(o);
    values.Each([&w](const zmi::Value& v) { w.Put(v); });
    w.Finish(&ev);
  });
  if (!live) return ZM_E_INVALID_HANDLE;
  if (!found) return ZM_E_NO_OBJECT;
  zmi::Flush(ev);
  return ZM_S_OK;
}

}  // extern "C"

namespace zm {

ZM_HANDLE Database() { return zmi::gDb; }

bool ReadObject(ZM_OBJECT_ID id, ObjectView* view) {
  view->props.clear();
  view->bytes.clear();
  if (zmi::gDb == nullptr) return false;
  std::lock_guard<zmi::SpinLock> g(zmi::gDb->mu);
  const zmi::Object* o = zmi::Find(id);
  if (o == nullptr) return false;
  size_t total = 0;
  for (const zmi::Value& v : o->props) total += v.data.size();
  view->bytes.resize(total);  // sized once: the pointers into it stay valid
  unsigned char* at = view->bytes.data();
  for (const zmi::Value& v : o->props) {
    const size_t n = v.data.size();
    if (n != 0) std::memcpy(at, v.data.data(), n);
    view->props.push_back({v.name.text, v.name.id, v.type, n != 0 ? at : nullptr, n});
    at += n;
  }
  return true;
}

}  // namespace zm
