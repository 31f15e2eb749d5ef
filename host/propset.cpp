// Property sets and property records: sets copy what is added (a name added twice is
// replaced in place), and records go out as one host block holding record, name and value.
#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>

#include "internal.h"

namespace zmi {

// Values in the order they were first added; names compared by id. The first ones live
// in the set's own block (a set usually holds a handful), made as they are added; the
// rest on the heap.
struct PropSet {
  static constexpr size_t kInline = 16;
  PropSet() = default;
  PropSet(const PropSet&) = delete;
  PropSet& operator=(const PropSet&) = delete;
  ~PropSet() {
    for (size_t i = 0; i < std::min(count, kInline); ++i) First()[i].~Value();
  }
  Value* First() { return std::launder(reinterpret_cast<Value*>(room)); }
  Value& At(size_t i) { return i < kInline ? First()[i] : more[i - kInline]; }
  Value* Find(Name name) {
    if ((names & name.Bit()) == 0) return nullptr;
    for (size_t i = 0; i < count; ++i)
      if (At(i).name == name) return &At(i);
    return nullptr;
  }
  void Put(Value v) {
    if (Value* cur = Find(v.name))
      *cur = std::move(v);
    else
      *Append(v.name) = std::move(v);
  }
  // A new, empty value of that name at the end.
  Value* Append(Name name) {
    Value* v = count < kInline ? new (First() + count) Value() : &more.emplace_back();
    ++count;
    names |= name.Bit();
    return v;
  }

  alignas(Value) unsigned char room[kInline * sizeof(Value)];
  size_t count = 0;
  uint64_t names = 0;  // Name::Bit of every value's name
  std::vector<Value> more;
};

namespace {

constexpr uint32_t kMaxValueSize = 16u << 20;

SpinLock gMutex;        // the live sets and their values; ObSetProperties takes the database lock under it
FlatTable<char> gLive;  // the live sets, by address

PropSet* Live(ZM_PROPSET set) {
  auto* p = static_cast<PropSet*>(set);
  return gLive.Find(KeyOf(p)) != nullptr ? p : nullptr;
}

}  // namespace

ZMSTATUS CheckRecord(const ZM_PROPERTY* record) {
  if (record == nullptr || record->Name == nullptr || record->Name[0] == '\0') return E_INVALIDARG_ZM;
  if (record->Size > kMaxValueSize || (record->Size > 0 && record->Value == nullptr)) return E_INVALIDARG_ZM;
  // Fixed-size types must carry exactly their size, so readers can take the value as is.
  uint32_t want = 0;
  switch (record->Type) {
    case ZM_TYPE_UINT8:
    case ZM_TYPE_BOOL:
      want = 1;
      break;
    case ZM_TYPE_UINT32:
      want = 4;
      break;
    case ZM_TYPE_UINT64:
    case ZM_TYPE_OBJECT_ID:
      want = 8;
      break;
    case ZM_TYPE_STRING:
      if (record->Size % 2 != 0) return E_INVALIDARG_ZM;
      break;
    default:
      break;
  }
  return want != 0 && record->Size != want ? E_INVALIDARG_ZM : ZM_S_OK;
}

void Fill(const ZM_PROPERTY* record, Name name, Value* out) {
  out->name = name;
  out->type = record->Type;
  out->flags = record->Flags;
  out->data.assign(static_cast<const uint8_t*>(record->Value), record->Size);
}

ZMSTATUS CopyRecord(const ZM_PROPERTY* record, Value* out) {
  ZMSTATUS s = CheckRecord(record);
  if (s == ZM_S_OK) Fill(record, Intern(record->Name), out);
  return s;
}

ZM_PROPERTY* MakeRecord(const Value& v) {
  size_t nameOff = sizeof(ZM_PROPERTY);
  size_t nameLen = v.name.length;
  size_t valueOff = (nameOff + nameLen + 1 + 7) & ~size_t{7};
  auto* block = static_cast<uint8_t*>(HostAlloc(valueOff + v.data.size(), __FILE__, __LINE__));
  if (block == nullptr) return nullptr;
  auto* r = reinterpret_cast<ZM_PROPERTY*>(block);
  char* name = reinterpret_cast<char*>(block + nameOff);
  std::memcpy(name, v.name.text, nameLen + 1);
  r->Name = name;
  r->Type = v.type;
  r->Flags = v.flags;
  r->Size = static_cast<uint32_t>(v.data.size());
  r->Value = v.data.empty() ? nullptr : block + valueOff;
  if (!v.data.empty()) std::memcpy(block + valueOff, v.data.data(), v.data.size());
  return r;
}

Value StringValue(const char* name, const std::u16string& text) {
  Value v;
  v.name = Intern(name);
  v.type = ZM_TYPE_STRING;
  v.data.resize((text.size() + 1) * 2);
  std::memcpy(v.data.data(), text.c_str(), v.data.size());
  return v;
}

bool PropSetValues(ZM_PROPSET set, std::vector<Value>* values) {
  return VisitPropSet(set, [values](const ValueRuns& runs) {
    values->clear();
    runs.Each([values](const Value& v) { values->push_back(v); });
  });
}

bool VisitPropSet(ZM_PROPSET set, const std::function<void(const ValueRuns&)>& visit) {
  std::lock_guard<SpinLock> g(gMutex);
  PropSet* p = Live(set);
  if (p == nullptr) return false;
  visit(ValueRuns{p->First(), std::min(p->count, PropSet::kInline), p->more.data(), p->more.size()});
  return true;
}

}  // namespace zmi

extern "C" {

ZMSTATUS PsCreatePropset(ZM_PROPSET* set) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kPsCreatePropset, &s)) return s;
  if (set == nullptr) return E_INVALIDARG_ZM;
  *set = nullptr;
  // The set's memory is a counted host block, so a set that is never destroyed shows.
  void* mem = zmi::HostAlloc(sizeof(zmi::PropSet), __FILE__, __LINE__);
  if (mem == nullptr) return E_OUTOFMEMORY_ZM;
  auto* p = new (mem) zmi::PropSet;  // not value-initialised: the room for values stays as it is
  std::lock_guard<zmi::SpinLock> g(zmi::gMutex);
  zmi::gLive.Put(zmi::KeyOf(p), 1);
  *set = p;
  return ZM_S_OK;
}

ZMSTATUS PsDestroyPropset(ZM_PROPSET set) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kPsDestroyPropset, &s)) return s;
  zmi::PropSet* p;
  {
    std::lock_guard<zmi::SpinLock> g(zmi::gMutex);
    p = zmi::Live(set);
    if (p == nullptr) return ZM_E_INVALID_HANDLE;
    zmi::gLive.Erase(zmi::KeyOf(p));
  }
  p->~PropSet();
  zmi::HostFree(p);
  return ZM_S_OK;
}

ZMSTATUS PsAddProperty(ZM_PROPSET set, const ZM_PROPERTY* record) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kPsAddProperty, &s)) return s;
  if ((s = zmi::CheckRecord(record)) != ZM_S_OK) return s;
  zmi::Name name = zmi::Intern(record->Name);
  std::lock_guard<zmi::SpinLock> g(zmi::gMutex);
  zmi::PropSet* p = zmi::Live(set);
  if (p == nullptr) return ZM_E_INVALID_HANDLE;
  // Written in place: into the value of that name, or a new one at the end.
  zmi::Value* v = p->Find(name);
  zmi::Fill(record, name, v != nullptr ? v : p->Append(name));
  return ZM_S_OK;
}

ZMSTATUS PsFindProperty(ZM_PROPSET set, const char* name, ZM_PROPERTY** record) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kPsFindProperty, &s)) return s;
  if (record == nullptr) return E_INVALIDARG_ZM;
  *record = nullptr;
  if (name == nullptr) return E_INVALIDARG_ZM;
  std::lock_guard<zmi::SpinLock> g(zmi::gMutex);
  zmi::PropSet* p = zmi::Live(set);
  if (p == nullptr) return ZM_E_INVALID_HANDLE;
  const zmi::Value* v = p->Find(zmi::Intern(name));
  if (v == nullptr) return ZM_E_NO_PROPERTY;
  *record = zmi::MakeRecord(*v);
  return *record != nullptr ? ZM_S_OK : E_OUTOFMEMORY_ZM;
}

// There are no message files on this host: the localised text of a message is the
// default text the provider supplies with it.
ZMSTATUS PsAddI18nString(ZM_PROPSET set, GUID /*catalog*/, uint32_t /*messageId*/, const char* defaultText,
                         const char* name) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kPsAddI18nString, &s)) return s;
  if (name == nullptr || name[0] == '\0') return E_INVALIDARG_ZM;
  zmi::Value v = zmi::StringValue(name, zmi::Utf16(defaultText != nullptr ? defaultText : ""));
  std::lock_guard<zmi::SpinLock> g(zmi::gMutex);
  zmi::PropSet* p = zmi::Live(set);
  if (p == nullptr) return ZM_E_INVALID_HANDLE;
  p->Put(std::move(v));
  return ZM_S_OK;
}

}  // extern "C"
