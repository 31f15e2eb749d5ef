// The host allocator: every block is remembered with its "file:line" tag so that tests
// can assert that an operation released all it obtained. Blocks that the host did not
// hand out are refused by _ZmFree and _ZmRealloc instead of corrupting the heap.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "internal.h"

namespace zmi {
namespace {

struct Block {
  size_t size;
  uint32_t tag;
};

// The live blocks by address: an open-addressing table, so that tracking a block does
// not allocate a node of its own for every block handed out.
class BlockTable {
 public:
  size_t size() const { return live_; }
  void Put(void* p, Block b) {
    if ((used_ + 1) * 10 > slots_.size() * 7) Rehash();
    size_t i = Home(p);
    while (slots_[i].key != nullptr && slots_[i].key != Tomb()) i = (i + 1) & (slots_.size() - 1);
    if (slots_[i].key == nullptr) ++used_;
    slots_[i] = Slot{p, b};
    ++live_;
  }
  Block* Find(void* p) {
    Slot* s = SlotOf(p);
    return s != nullptr ? &s->block : nullptr;
  }
  bool Erase(void* p) {
    Slot* s = SlotOf(p);
    if (s == nullptr) return false;
    s->key = Tomb();
    --live_;
    return true;
  }
  template <typename F>
  void Each(F f) const {
    for (const Slot& s : slots_)
      if (s.key != nullptr && s.key != Tomb()) f(s.block);
  }

 private:
  struct Slot {
    void* key;
    Block block;
  };
  static void* Tomb() { return reinterpret_cast<void*>(uintptr_t{1}); }
  Slot* SlotOf(void* p) {
    if (slots_.empty() || p == nullptr || p == Tomb()) return nullptr;
    for (size_t i = Home(p);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i].key == p) return &slots_[i];
      if (slots_[i].key == nullptr) return nullptr;
    }
  }
  size_t Home(void* p) const {
    uint64_t h = (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 32) & (slots_.size() - 1);
  }
  // Drops the tombstones, and doubles the table when it is more than a third full.
  void Rehash() {
    size_t n = slots_.empty() ? 1024 : slots_.size();
    while (live_ * 3 > n) n *= 2;
    std::vector<Slot> old(n, Slot{nullptr, {}});
    old.swap(slots_);
    used_ = live_ = 0;
    for (const Slot& s : old)
      if (s.key != nullptr && s.key != Tomb()) Put(s.key, s.block);
  }
  std::vector<Slot> slots_;
  size_t used_ = 0, live_ = 0;
};

std::mutex gMutex;
BlockTable gLive;
std::unordered_map<std::string, uint32_t> gTagIds;
std::vector<std::string> gTags;

// Call sites pass string literals, so the (pointer, line) pair names a site; it is
// looked up first so that the common path builds no string.
struct SiteHash {
  size_t operator()(const std::pair<const char*, int>& k) const {
    return std::hash<const void*>()(k.first) * 31u + static_cast<size_t>(k.second);
  }
};
std::unordered_map<std::pair<const char*, int>, uint32_t, SiteHash> gSites;

// Called with gMutex held.
uint32_t TagId(const char* file, int line) {
  // The sites seen last, by line: blocks from a few sites in turn (a record, a list of
  // ids, a record...) skip the lookup.
  struct Recent {
    const char* file = nullptr;
    int line = -1;
    uint32_t id = 0;
  };
  static Recent recent[16];
  Recent& r = recent[static_cast<unsigned>(line) & 15];
  if (file == r.file && line == r.line) return r.id;
  r.file = file;
  r.line = line;
  auto site = gSites.find({file, line});
  if (site != gSites.end()) return r.id = site->second;
  std::string tag = std::string(file != nullptr ? file : "") + ":" + std::to_string(line);
  auto it = gTagIds.find(tag);
  uint32_t id;
  if (it != gTagIds.end()) {
    id = it->second;
  } else {
    id = static_cast<uint32_t>(gTags.size());
    gTags.push_back(tag);
    gTagIds.emplace(std::move(tag), id);
  }
  gSites.emplace(std::make_pair(file, line), id);
  return r.id = id;
}

void* Allocate(size_t size, const char* file, int line) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  std::lock_guard<std::mutex> g(gMutex);
  gLive.Put(p, Block{size, TagId(file, line)});
  return p;
}

void Release(void* block, const char* file, int line) {
  if (block == nullptr) return;
  {
    std::lock_guard<std::mutex> g(gMutex);
    if (!gLive.Erase(block)) {
      std::fprintf(stderr, "zmapi: %s:%d freed a block the host does not own\n", file != nullptr ? file : "",
                   line);
      return;
    }
  }
  std::free(block);
}

}  // namespace

void* HostAlloc(size_t size, const char* file, int line) { return Allocate(size, file, line); }
void HostFree(void* block) { Release(block, __FILE__, __LINE__); }

}  // namespace zmi

extern "C" {

void* _ZmAlloc(size_t size, const char* file, int line) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kZmAlloc, &s)) return nullptr;
  return zmi::Allocate(size, file, line);
}

void* _ZmRealloc(void* block, size_t size, const char* file, int line) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kZmRealloc, &s)) return nullptr;
  if (block == nullptr) return zmi::Allocate(size, file, line);
  std::lock_guard<std::mutex> g(zmi::gMutex);
  const zmi::Block* old = zmi::gLive.Find(block);
  if (old == nullptr) {
    std::fprintf(stderr, "zmapi: %s:%d reallocated a block the host does not own\n",
                 file != nullptr ? file : "", line);
    return nullptr;
  }
  // A new block, the contents copied, then the old one released: on failure the old
  // block stays valid and counted, as with realloc, and the table never holds the
  // address of a block already given back.
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  std::memcpy(p, block, std::min(old->size, size));
  zmi::gLive.Erase(block);
  std::free(block);
  zmi::gLive.Put(p, zmi::Block{size, zmi::TagId(file, line)});
  return p;
}

void _ZmFree(void* block, const char* file, int line) {
  ZMSTATUS s;
  zmi::Enter(zmi::kZmFree, &s);  // counted; freeing cannot be made to fail
  zmi::Release(block, file, line);
}

}  // extern "C"

namespace zm {

uint64_t OutstandingBlocks() {
  std::lock_guard<std::mutex> g(zmi::gMutex);
  return zmi::gLive.size();
}

std::vector<std::string> OutstandingTags() {
  std::lock_guard<std::mutex> g(zmi::gMutex);
  std::vector<std::string> v;
  v.reserve(zmi::gLive.size());
  zmi::gLive.Each([&](const zmi::Block& b) { v.push_back(zmi::gTags[b.tag]); });
  return v;
}

}  // namespace zm
