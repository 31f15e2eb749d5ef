// The object database: typed objects with ordered properties and ordered, many-to-many
// parent/child links. Each call is atomic through one internal mutex held only inside
// the call; DbLockDatabase is a separate re-entrant lock between providers.
#include <condition_variable>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"

namespace zmi {
namespace {

// An insertion-ordered set of ids with O(1) insert, erase and lookup.
class IdList {
 public:
  bool insert(ZM_OBJECT_ID id) {
    if (pos_.count(id) != 0) return false;
    order_.push_back(id);
    pos_.emplace(id, std::prev(order_.end()));
    return true;
  }
  bool erase(ZM_OBJECT_ID id) {
    auto it = pos_.find(id);
    if (it == pos_.end()) return false;
    order_.erase(it->second);
    pos_.erase(it);
    return true;
  }
  bool contains(ZM_OBJECT_ID id) const { return pos_.count(id) != 0; }
  size_t size() const { return order_.size(); }
  auto begin() const { return order_.begin(); }
  auto end() const { return order_.end(); }

 private:
  std::list<ZM_OBJECT_ID> order_;
  std::unordered_map<ZM_OBJECT_ID, std::list<ZM_OBJECT_ID>::iterator> pos_;
};

struct Object {
  ZM_OBJECT_ID id = 0;
  uint32_t type = 0;
  std::vector<Value> props;
  std::unordered_map<std::string, size_t> index;
  IdList parents, children;
};

struct Database {
  std::mutex mu;
  std::unordered_map<ZM_OBJECT_ID, std::unique_ptr<Object>> objects;
  IdList all;
  std::unordered_map<uint32_t, IdList> byType;
  ZM_OBJECT_ID nextId = 1;
  ZM_OBJECT_ID volumeRoot = 0;

  // The re-entrant lock of DbLockDatabase.
  std::mutex lockMu;
  std::condition_variable lockCv;
  std::thread::id owner;
  unsigned depth = 0;
};

Database* gDb = nullptr;

struct PendingEvent {
  const GUID* guid;
  ZM_OBJECT_ID id;
  uint32_t type;
};
using Events = std::vector<PendingEvent>;

// Events are queued after the database mutex is released.
void Flush(const Events& events) {
  for (const auto& e : events) QueueEvent(*e.guid, e.id, e.type);
}

Object* Find(ZM_OBJECT_ID id) {
  auto it = gDb->objects.find(id);
  return it == gDb->objects.end() ? nullptr : it->second.get();
}

// True when a is b or one of b's ancestors: linking b above a would close a cycle.
bool IsAncestorOrSelf(ZM_OBJECT_ID a, ZM_OBJECT_ID b) {
  std::vector<ZM_OBJECT_ID> todo{b};
  std::unordered_set<ZM_OBJECT_ID> seen;
  while (!todo.empty()) {
    ZM_OBJECT_ID x = todo.back();
    todo.pop_back();
    if (x == a) return true;
    if (!seen.insert(x).second) continue;
    if (Object* o = Find(x))
      for (ZM_OBJECT_ID p : o->parents) todo.push_back(p);
  }
  return false;
}

void Link(Object* parent, Object* child, Events* ev) {
  if (!parent->children.insert(child->id)) return;
  child->parents.insert(parent->id);
  ev->push_back({&GUID_DB_NODE_CHILD_CHANGE_GUID, parent->id, parent->type});
  ev->push_back({&GUID_DB_NODE_PARENT_CHANGE_GUID, child->id, child->type});
}

void Unlink(Object* parent, Object* child, Events* ev) {
  if (!parent->children.erase(child->id)) return;
  child->parents.erase(parent->id);
  ev->push_back({&GUID_DB_NODE_CHILD_CHANGE_GUID, parent->id, parent->type});
  ev->push_back({&GUID_DB_NODE_PARENT_CHANGE_GUID, child->id, child->type});
}

Object* Create(uint32_t type, Events* ev) {
  auto o = std::make_unique<Object>();
  o->id = gDb->nextId++;
  o->type = type;
  Object* raw = o.get();
  gDb->objects.emplace(raw->id, std::move(o));
  gDb->all.insert(raw->id);
  gDb->byType[type].insert(raw->id);
  ev->push_back({&GUID_DB_NODE_CHANGE_GUID, raw->id, type});
  // Every volume hangs below the volume root so that severities roll up into it.
  if (type == ZM_OBJ_VOLUME && gDb->volumeRoot != 0)
    if (Object* root = Find(gDb->volumeRoot)) Link(root, raw, ev);
  return raw;
}

// Stores a value; true when it changed what was stored.
bool Store(Object* o, Value v) {
  auto it = o->index.find(v.name);
  if (it != o->index.end()) {
    Value& cur = o->props[it->second];
    if (cur == v) return false;
    cur = std::move(v);
    return true;
  }
  o->index.emplace(v.name, o->props.size());
  o->props.push_back(std::move(v));
  return true;
}

ZMSTATUS ListIds(const IdList& list, uint32_t type, bool filterIsIndex, uint32_t* count, ZM_OBJECT_ID** ids) {
  std::vector<ZM_OBJECT_ID> v;
  v.reserve(list.size());
  for (ZM_OBJECT_ID id : list) {
    if (!filterIsIndex && type != ZM_OBJ_ANY) {
      Object* o = Find(id);
      if (o == nullptr || o->type != type) continue;
    }
    v.push_back(id);
  }
  *count = static_cast<uint32_t>(v.size());
  if (v.empty()) return ZM_S_OK;
  auto* out = static_cast<ZM_OBJECT_ID*>(HostAlloc(v.size() * sizeof(ZM_OBJECT_ID), __FILE__, __LINE__));
  if (out == nullptr) {
    *count = 0;
    return E_OUTOFMEMORY_ZM;
  }
  std::memcpy(out, v.data(), v.size() * sizeof(ZM_OBJECT_ID));
  *ids = out;
  return ZM_S_OK;
}

ZMSTATUS GetLinks(ZM_HANDLE db, ZM_OBJECT_ID id, uint32_t type, uint32_t* count, ZM_OBJECT_ID** ids,
                  bool children) {
  if (count == nullptr || ids == nullptr) return E_INVALIDARG_ZM;
  *count = 0;
  *ids = nullptr;
  if (!IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(gDb->mu);
  Object* o = Find(id);
  if (o == nullptr) return ZM_E_NO_OBJECT;
  return ListIds(children ? o->children : o->parents, type, false, count, ids);
}

ZMSTATUS CreateObject(ZM_HANDLE db, ZM_HANDLE prov, uint32_t type, ZM_OBJECT_ID* id) {
  if (id == nullptr) return E_INVALIDARG_ZM;
  *id = 0;
  if (!IsDatabase(db) || (prov != nullptr && AsProvider(prov) == nullptr)) return ZM_E_INVALID_HANDLE;
  if (type == ZM_OBJ_ANY) return E_INVALIDARG_ZM;
  Events ev;
  {
    std::lock_guard<std::mutex> g(gDb->mu);
    *id = Create(type, &ev)->id;
  }
  Flush(ev);
  return ZM_S_OK;
}

ZMSTATUS SetValues(ZM_OBJECT_ID id, std::vector<Value> values) {
  Events ev;
  {
    std::lock_guard<std::mutex> g(gDb->mu);
    Object* o = Find(id);
    if (o == nullptr) return ZM_E_NO_OBJECT;
    bool changed = false;
    for (auto& v : values) changed |= Store(o, std::move(v));
    // One event per call, and none when nothing changed.
    if (changed) ev.push_back({&GUID_DB_NODE_CHANGE_GUID, o->id, o->type});
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
  std::lock_guard<std::mutex> g(gDb->mu);
  return gDb->nextId++;
}

ZM_OBJECT_ID VolumeRoot() { return gDb != nullptr ? gDb->volumeRoot : 0; }

ZM_OBJECT_ID HostCreate(uint32_t type) {
  Events ev;
  ZM_OBJECT_ID id;
  {
    std::lock_guard<std::mutex> g(gDb->mu);
    id = Create(type, &ev)->id;
    if (type == ZM_OBJ_VOLUME_ROOT && gDb->volumeRoot == 0) gDb->volumeRoot = id;
  }
  Flush(ev);
  return id;
}

bool HostLink(ZM_OBJECT_ID parent, ZM_OBJECT_ID child) {
  Events ev;
  {
    std::lock_guard<std::mutex> g(gDb->mu);
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
  return SetValues(id, {v});
}

ZMSTATUS HostGet(ZM_OBJECT_ID id, const char* name, Value* v) {
  if (gDb == nullptr) return ZM_E_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(gDb->mu);
  Object* o = Find(id);
  if (o == nullptr) return ZM_E_NO_OBJECT;
  auto it = o->index.find(name);
  if (it == o->index.end()) return ZM_E_NO_PROPERTY;
  *v = o->props[it->second];
  return ZM_S_OK;
}

bool HostGetString(ZM_OBJECT_ID id, const char* name, std::u16string* s) {
  Value v;
  if (HostGet(id, name, &v) != ZM_S_OK || v.type != ZM_TYPE_STRING) return false;
  size_t n = v.data.size() / 2;
  s->resize(n);
  std::memcpy(s->data(), v.data.data(), n * 2);
  while (!s->empty() && s->back() == u'\0') s->pop_back();
  return true;
}

std::vector<ZM_OBJECT_ID> HostObjects(uint32_t type) {
  std::vector<ZM_OBJECT_ID> v;
  if (gDb == nullptr) return v;
  std::lock_guard<std::mutex> g(gDb->mu);
  if (type == ZM_OBJ_ANY) return std::vector<ZM_OBJECT_ID>(gDb->all.begin(), gDb->all.end());
  auto it = gDb->byType.find(type);
  if (it != gDb->byType.end()) v.assign(it->second.begin(), it->second.end());
  return v;
}

std::vector<ZM_OBJECT_ID> HostChildren(ZM_OBJECT_ID id, uint32_t type) {
  std::vector<ZM_OBJECT_ID> v;
  if (gDb == nullptr) return v;
  std::lock_guard<std::mutex> g(gDb->mu);
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
  v.name = name;
  v.type = type;
  v.data.resize(sizeof x);
  std::memcpy(v.data.data(), &x, sizeof x);
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
  std::unique_lock<std::mutex> g(gDb->lockMu);
  auto me = std::this_thread::get_id();
  if (gDb->depth > 0 && gDb->owner == me) {
    ++gDb->depth;
    return ZM_S_OK;
  }
  gDb->lockCv.wait(g, [] { return gDb->depth == 0; });
  gDb->owner = me;
  gDb->depth = 1;
  return ZM_S_OK;
}

ZMSTATUS DbUnlockDatabase(ZM_HANDLE prov) {
  ZMSTATUS s;
  if (Enter(zmi::kDbUnlockDatabase, &s)) return s;
  if (gDb == nullptr || zmi::AsProvider(prov) == nullptr) return ZM_E_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(gDb->lockMu);
  // Only the holder can release; anything else would let two holders in.
  if (gDb->depth == 0 || gDb->owner != std::this_thread::get_id()) return ZM_E_FAIL;
  if (--gDb->depth == 0) {
    gDb->owner = std::thread::id();
    gDb->lockCv.notify_one();
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
  std::lock_guard<std::mutex> g(gDb->mu);
  if (type == ZM_OBJ_ANY) return zmi::ListIds(gDb->all, type, true, count, ids);
  auto it = gDb->byType.find(type);
  if (it == gDb->byType.end()) return ZM_S_OK;
  return zmi::ListIds(it->second, type, true, count, ids);
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
  std::lock_guard<std::mutex> g(gDb->mu);
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
    std::lock_guard<std::mutex> g(gDb->mu);
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
    std::erase_if(ev, [id](const zmi::PendingEvent& e) { return e.id == id; });
    gDb->all.erase(id);
    gDb->byType[o->type].erase(id);
    if (gDb->volumeRoot == id) gDb->volumeRoot = 0;
    gDb->objects.erase(id);
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
    std::lock_guard<std::mutex> g(gDb->mu);
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
    std::lock_guard<std::mutex> g(gDb->mu);
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
  std::lock_guard<std::mutex> g(gDb->mu);
  zmi::Object* o = zmi::Find(id);
  if (o == nullptr) return ZM_E_NO_OBJECT;
  auto it = o->index.find(name);
  if (it == o->index.end()) return ZM_E_NO_PROPERTY;
  *record = zmi::MakeRecord(o->props[it->second]);
  return *record != nullptr ? ZM_S_OK : E_OUTOFMEMORY_ZM;
}

ZMSTATUS ObSetProperty(ZM_HANDLE db, ZM_OBJECT_ID id, const ZM_PROPERTY* record) {
  ZMSTATUS s;
  if (Enter(zmi::kObSetProperty, &s)) return s;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  zmi::Value v;
  if ((s = zmi::CopyRecord(record, &v)) != ZM_S_OK) return s;
  return zmi::SetValues(id, {std::move(v)});
}

ZMSTATUS ObSetProperties(ZM_HANDLE db, ZM_OBJECT_ID id, ZM_PROPSET set) {
  ZMSTATUS s;
  if (Enter(zmi::kObSetProperties, &s)) return s;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  std::vector<zmi::Value> values;
  if (!zmi::PropSetValues(set, &values)) return ZM_E_INVALID_HANDLE;
  return zmi::SetValues(id, std::move(values));
}

}  // extern "C"

namespace zm {

ZM_HANDLE Database() { return zmi::gDb; }

}  // namespace zm
