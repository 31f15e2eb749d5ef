// Property names, interned once per process: the database and property sets compare
// names by their small integer id instead of hashing strings on every call.
#include <link.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "internal.h"

namespace zmi {
namespace {

std::mutex gMutex;
std::deque<std::string> gTexts;  // elements never move, so their c_str() stays valid
std::unordered_map<std::string_view, uint32_t> gIds;

// The read-only segments of the loaded images, where string literals live: text at such
// an address cannot change while its image is loaded. Rebuilt after the host loads or
// unloads a module; the generation tells the per-thread caches to start afresh.
struct Range {
  uintptr_t begin, end;
};
std::mutex gRangeMutex;
std::vector<Range> gReadOnly;
bool gRangesKnown = false;
std::atomic<uint32_t> gGeneration{1};

int AddReadOnly(dl_phdr_info* info, size_t, void* out) {
  auto* ranges = static_cast<std::vector<Range>*>(out);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W) == 0)
      ranges->push_back({info->dlpi_addr + ph.p_vaddr, info->dlpi_addr + ph.p_vaddr + ph.p_memsz});
  }
  return 0;
}

// True when the whole name lies in a read-only segment of a loaded image.
bool InReadOnlyImage(const char* text, size_t length) {
  std::unique_lock<std::mutex> g(gRangeMutex);
  if (!gRangesKnown) {
    g.unlock();  // the loader's lock is not taken under ours
    std::vector<Range> ranges;
    dl_iterate_phdr(&AddReadOnly, &ranges);
    g.lock();
    gReadOnly = std::move(ranges);
    gRangesKnown = true;
  }
  auto p = reinterpret_cast<uintptr_t>(text);
  for (const Range& r : gReadOnly)
    if (p >= r.begin && p + length < r.end) return true;
  return false;
}

// A per-thread cache from the caller's pointer to its name. A hit on a literal is taken
// as it is; any other buffer may since hold another name, so its hit is confirmed by
// comparing the text.
// Plain data, so that the cache needs no initialisation on first use in a thread (an
// empty slot has generation 0, which never matches).
struct Slot {
  const char* key;
  const char* text;
  uint32_t id;
  uint32_t length;
  uint32_t generation;
  bool literal;
};
constexpr size_t kSlots = 256;
// The cache itself is on the heap: only its pointer is in the initial-exec block, which
// must stay small for the library to load at run time (dlopen, as nbdkit loads plugins
// that use it) where the static TLS space left is a few hundred bytes.
thread_local Slot* tCache __attribute__((tls_model("initial-exec"))) = nullptr;
// Frees the thread's cache when the thread ends; made when the cache is.
struct CacheOwner {
  bool armed = false;
  ~CacheOwner() {
    delete[] tCache;
    tCache = nullptr;
  }
};
thread_local CacheOwner tCacheOwner;

Slot* ThreadCache() {
  if (tCache == nullptr) {
    tCacheOwner.armed = true;  // registers the owner's destructor for this thread
    tCache = new Slot[kSlots]();
  }
  return tCache;
}

size_t SlotOf(const char* p) {
  auto v = reinterpret_cast<uintptr_t>(p);
  return (v ^ (v >> 8) ^ (v >> 16)) & (kSlots - 1);
}

Name Lookup(const char* text) {
  std::lock_guard<std::mutex> g(gMutex);
  auto it = gIds.find(std::string_view(text));
  if (it != gIds.end()) {
    const std::string& known = gTexts[it->second - 1];
    return Name{it->second, static_cast<uint32_t>(known.size()), known.c_str()};
  }
  gTexts.emplace_back(text);
  auto id = static_cast<uint32_t>(gTexts.size());  // ids start at 1
  const std::string& stored = gTexts.back();
  gIds.emplace(std::string_view(stored), id);
  return Name{id, static_cast<uint32_t>(stored.size()), stored.c_str()};
}

// The look-up behind a miss of the thread's cache, kept out of Intern so that a hit
// costs a leaf call.
__attribute__((noinline)) Name InternSlow(const char* text, uint32_t generation) {
  Slot& s = ThreadCache()[SlotOf(text)];
  Name n = Lookup(text);
  s = Slot{text, n.text, n.id, n.length, generation, InReadOnlyImage(text, n.length)};
  return n;
}

}  // namespace

void Bytes::Resize(size_t n) {
  if (n == size_) return;
  Release();
  if (n > kInline) heap_ = new uint8_t[n];
  size_ = n;
}

Name Intern(const char* text) {
  const uint32_t generation = gGeneration.load(std::memory_order_acquire);
  if (const Slot* cache = tCache) {
    const Slot& s = cache[SlotOf(text)];
    if (s.key == text && s.generation == generation && (s.literal || std::strcmp(text, s.text) == 0))
      return Name{s.id, s.length, s.text};
  }
  return InternSlow(text, generation);
}

void ImagesChanged() {
  {
    std::lock_guard<std::mutex> g(gRangeMutex);
    gRangesKnown = false;
  }
  gGeneration.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace zmi
