// Providers: loading a module (dlopen, DllMain, ProviderEntry, Init), linked-in and
// built-in providers, lookup by name, calls through the control entry, unloading.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "internal.h"

namespace zmi {
namespace {

std::mutex gMutex;
std::vector<std::unique_ptr<Provider>> gProviders;  // registration order

std::string Hex(ZMSTATUS s) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", s);
  return buf;
}

// A catalogue GUID derived from the provider's name: the same on every boot.
GUID CatalogFor(const std::u16string& name) {
  uint64_t h1 = 0xcbf29ce484222325ull, h2 = 0x84222325cbf29ce4ull;
  for (char16_t c : name) {
    char16_t l = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    h1 = (h1 ^ l) * 0x100000001b3ull;
    h2 = (h2 ^ (l + 0x5bd1u)) * 0x100000001b3ull;
  }
  GUID g;
  g.Data1 = static_cast<uint32_t>(h1 >> 32);
  g.Data2 = static_cast<uint16_t>(h1 >> 16);
  g.Data3 = static_cast<uint16_t>((h1 & 0x0FFF) | 0x5000);  // name-based
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(h2 >> (56 - 8 * i));
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  return g;
}

// The live providers' addresses, so that the handle check of every call that takes one
// needs no lock: a provider takes the lowest free slot (the few of a process keep the
// scan short) and leaves it before it is destroyed. Written under gMutex.
constexpr size_t kSlots = 64;
std::atomic<Provider*> gSlots[kSlots];
std::atomic<size_t> gSlotsUsed{0};

Provider* Add(std::unique_ptr<Provider> p) {
  std::lock_guard<std::mutex> g(gMutex);
  gProviders.push_back(std::move(p));
  Provider* raw = gProviders.back().get();
  for (size_t i = 0; i < kSlots; ++i)
    if (gSlots[i].load(std::memory_order_relaxed) == nullptr) {
      gSlots[i].store(raw, std::memory_order_release);
      if (i >= gSlotsUsed.load(std::memory_order_relaxed)) gSlotsUsed.store(i + 1, std::memory_order_release);
      break;
    }
  return raw;
}

void Remove(Provider* p) {
  std::lock_guard<std::mutex> g(gMutex);
  for (size_t i = 0; i < kSlots; ++i)
    if (gSlots[i].load(std::memory_order_relaxed) == p) gSlots[i].store(nullptr, std::memory_order_release);
  std::erase_if(gProviders, [p](const std::unique_ptr<Provider>& q) { return q.get() == p; });
}

// Calls ProviderEntry and Init; on failure the provider is gone again.
Provider* Register(ZM_PROVIDER_ENTRY_FN entry, const std::u16string& name, void* module, std::string* error) {
  HoldEvents hold;  // the provider's start is delivered when it is complete
  auto p = std::make_unique<Provider>();
  p->name = name;
  p->module = module;
  p->catalog = CatalogFor(name);
  ZMSTATUS s = entry(name.c_str(), 0, &p->info);
  if (s != ZM_S_OK) {
    if (error) *error = "provider entry refused \"" + Utf8(name) + "\" (" + Hex(s) + ")";
    return nullptr;
  }
  Provider* raw = Add(std::move(p));
  if (raw->info.Init != nullptr) {
    s = raw->info.Init(zm::Database(), raw, 0, 0);
    if (s != ZM_S_OK) {
      ForgetProvider(raw);
      Remove(raw);
      if (error) *error = "provider \"" + Utf8(name) + "\" failed to initialise (" + Hex(s) + ")";
      return nullptr;
    }
  }
  return raw;
}

ZMSTATUS Call(Provider* p, ZM_OBJECT_ID id, uint32_t cls, uint32_t code, ZM_PROPSET in, ZM_PROPSET out,
              uint32_t arg6, uint32_t arg7, void* arg8, ZM_PROGRESS_CALLBACK progress,
              ZM_OBJECT_ID* resultId) {
  if (p->info.Control == nullptr) return E_NOTIMPL_ZM;
  // The request's changes are delivered when it is complete: each object's events of a
  // kind arrive once, after the request, instead of the notifier taking turns with it.
  HoldEvents hold;
  return p->info.Control(id, cls, code, in, out, arg6, arg7, arg8, progress, resultId);
}

void Unload(Provider* p) {
  if (p->info.Shutdown != nullptr) p->info.Shutdown(0);
  ForgetProvider(p);
  if (p->module != nullptr) {
    if (auto dllMain = reinterpret_cast<ZM_DLLMAIN_FN>(dlsym(p->module, "DllMain")))
      dllMain(p->module, 0, nullptr);
    dlclose(p->module);
    ImagesChanged();
  }
  Remove(p);
}

void UnloadWhere(bool builtins) {
  std::vector<Provider*> victims;
  {
    std::lock_guard<std::mutex> g(gMutex);
    for (auto it = gProviders.rbegin(); it != gProviders.rend(); ++it)
      if (builtins || !(*it)->builtin) victims.push_back(it->get());
  }
  for (Provider* p : victims) Unload(p);
}

}  // namespace

Provider* AsProvider(ZM_HANDLE handle) {
  if (handle == nullptr) return nullptr;
  for (size_t i = 0, n = gSlotsUsed.load(std::memory_order_acquire); i < n; ++i)
    if (gSlots[i].load(std::memory_order_acquire) == handle) return static_cast<Provider*>(handle);
  // More providers than slots: the rest are found under the lock.
  std::lock_guard<std::mutex> g(gMutex);
  for (const auto& p : gProviders)
    if (p.get() == handle) return p.get();
  return nullptr;
}

std::string ProviderName(ZM_HANDLE handle) {
  Provider* p = AsProvider(handle);
  return p != nullptr ? Utf8(p->name) : std::string();
}

void RegisterBuiltins() {
  for (auto [name, fn] : {std::pair<const char16_t*, ZM_CONTROL_FN>{u"mount", &MountControl},
                          std::pair<const char16_t*, ZM_CONTROL_FN>{u"fsys", &FsysControl}}) {
    auto p = std::make_unique<Provider>();
    p->name = name;
    p->catalog = CatalogFor(name);
    p->info.Control = fn;
    p->builtin = true;
    Add(std::move(p));
  }
}

void DropAllProviders() {
  UnloadWhere(false);
  UnloadWhere(true);
}

}  // namespace zmi

extern "C" {

GUID PrGetMessageCatalog(ZM_HANDLE prov) {
  ZMSTATUS s;
  GUID none{};
  if (zmi::Enter(zmi::kPrGetMessageCatalog, &s)) return none;
  zmi::Provider* p = zmi::AsProvider(prov);
  return p != nullptr ? p->catalog : none;
}

ZMSTATUS PrGetProviderByName(ZM_HANDLE db, const WCHAR* name, ZM_HANDLE* provider) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kPrGetProviderByName, &s)) return s;
  if (provider == nullptr) return E_INVALIDARG_ZM;
  *provider = nullptr;
  if (name == nullptr) return E_INVALIDARG_ZM;
  if (!zmi::IsDatabase(db)) return ZM_E_INVALID_HANDLE;
  std::u16string want(name);
  std::lock_guard<std::mutex> g(zmi::gMutex);
  for (const auto& p : zmi::gProviders)
    if (zmi::EqualNoCase(p->name, want)) {
      *provider = p.get();
      return ZM_S_OK;
    }
  return ZM_E_NO_PROVIDER;
}

ZMSTATUS PrCallProvider(ZM_HANDLE provider, ZM_OBJECT_ID objectId, uint32_t operationClass,
                        uint32_t operationCode, ZM_PROPSET inProps, ZM_PROPSET outProps, uint32_t arg6,
                        uint32_t arg7, void* arg8, ZM_PROGRESS_CALLBACK progress, ZM_OBJECT_ID* resultId) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kPrCallProvider, &s)) return s;
  zmi::Provider* p = zmi::AsProvider(provider);
  if (p == nullptr) return ZM_E_INVALID_HANDLE;
  return zmi::Call(p, objectId, operationClass, operationCode, inProps, outProps, arg6, arg7, arg8, progress,
                   resultId);
}

}  // extern "C"

namespace zm {

ZM_HANDLE LoadProvider(const std::string& path, const std::u16string& name, std::string* error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* e = dlerror();
    if (error) *error = "cannot load " + path + ": " + (e != nullptr ? e : "unknown error");
    return nullptr;
  }
  zmi::ImagesChanged();
  auto entry = reinterpret_cast<ZM_PROVIDER_ENTRY_FN>(dlsym(module, "ProviderEntry"));
  auto dllMain = reinterpret_cast<ZM_DLLMAIN_FN>(dlsym(module, "DllMain"));
  if (entry == nullptr) {
    if (error) *error = path + " exports no ProviderEntry";
    dlclose(module);
    zmi::ImagesChanged();
    return nullptr;
  }
  if (dllMain != nullptr && !dllMain(module, 1, nullptr)) {
    if (error) *error = path + " refused to attach";
    dlclose(module);
    zmi::ImagesChanged();
    return nullptr;
  }
  zmi::Provider* p = zmi::Register(entry, name, module, error);
  if (p == nullptr) {
    if (dllMain != nullptr) dllMain(module, 0, nullptr);
    dlclose(module);
    zmi::ImagesChanged();
  }
  return p;
}

ZM_HANDLE RegisterProvider(ZM_PROVIDER_ENTRY_FN entry, const std::u16string& name, std::string* error) {
  if (entry == nullptr) {
    if (error) *error = "no provider entry";
    return nullptr;
  }
  return zmi::Register(entry, name, nullptr, error);
}

ZMSTATUS Control(ZM_HANDLE provider, ZM_OBJECT_ID id, uint32_t cls, uint32_t code, ZM_PROPSET in,
                 ZM_PROPSET out, ZM_OBJECT_ID* resultId) {
  zmi::Provider* p = zmi::AsProvider(provider);
  if (p == nullptr) return ZM_E_INVALID_HANDLE;
  return zmi::Call(p, id, cls, code, in, out, 0, 0, nullptr, nullptr, resultId);
}

void UnloadProviders() { zmi::UnloadWhere(false); }

}  // namespace zm
