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

SpinLock gMutex;         // held only while the tables change
FlatTable<Block> gLive;  // by address
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

// The sites seen last, by line: blocks from a few sites in turn (a record, a list of
// ids, a record...) skip the lookup. Called with gMutex held.
struct Recent {
  const char* file = nullptr;
  int line = -1;
  uint32_t id = 0;
};
Recent gRecent[16];

__attribute__((noinline)) uint32_t LookUpTag(const char* file, int line) {
  Recent& r = gRecent[static_cast<unsigned>(line) & 15];
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

inline uint32_t TagId(const char* file, int line) {
  const Recent& r = gRecent[static_cast<unsigned>(line) & 15];
  return file == r.file && line == r.line ? r.id : LookUpTag(file, line);
}

// Small blocks that were given back are kept for the next request of their size class
// instead of going back to malloc: a property read allocates its record and the caller
// frees it at once, thousands of times per boot. Under AddressSanitizer every block is
// a fresh one, so that a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kReuse = false;
#else
constexpr bool kReuse = true;
#endif
constexpr size_t kGrain = 16, kClasses = 129, kKeptPerClass = 64;  // blocks of up to 2 KiB
struct Kept {
  void* blocks[kKeptPerClass];
  size_t count = 0;
};
Kept gKept[kClasses];

size_t ClassOf(size_t size) { return (size + kGrain - 1) / kGrain; }  // 0 for an empty block

void* Allocate(size_t size, const char* file, int line) {
  size_t cls = ClassOf(size);
  void* p = nullptr;
  if (kReuse && cls < kClasses) {
    std::lock_guard<SpinLock> g(gMutex);
    Kept& k = gKept[cls];
    if (k.count > 0) {
      p = k.blocks[--k.count];
      gLive.Insert(KeyOf(p), Block{size, TagId(file, line)});
      return p;
    }
  }
  // A block that may be kept later is made as large as its class, to fit any size of it.
  p = std::malloc(kReuse && cls < kClasses ? std::max<size_t>(cls, 1) * kGrain : (size == 0 ? 1 : size));
  if (p == nullptr) return nullptr;
  std::lock_guard<SpinLock> g(gMutex);
  gLive.Insert(KeyOf(p), Block{size, TagId(file, line)});
  return p;
}

void Release(void* block, const char* file, int line) {
  if (block == nullptr) return;
  {
    std::lock_guard<SpinLock> g(gMutex);
    Block b;
    if (!gLive.Take(KeyOf(block), &b)) {
      std::fprintf(stderr, "zmapi: %s:%d freed a block the host does not own\n", file != nullptr ? file : "",
                   line);
      return;
    }
    size_t cls = ClassOf(b.size);
    if (kReuse && cls < kClasses && gKept[cls].count < kKeptPerClass) {
      gKept[cls].blocks[gKept[cls].count++] = block;
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
  size_t oldSize;
  {
    std::lock_guard<zmi::SpinLock> g(zmi::gMutex);
    const zmi::Block* old = zmi::gLive.Find(zmi::KeyOf(block));
    if (old == nullptr) {
      std::fprintf(stderr, "zmapi: %s:%d reallocated a block the host does not own\n",
                   file != nullptr ? file : "", line);
      return nullptr;
    }
    oldSize = old->size;
  }
  // A new block, the contents copied, then the old one released: on failure the old
  // block stays valid and counted, as with realloc, and the table never holds the
  // address of a block already given back.
  void* p = zmi::Allocate(size, file, line);
  if (p == nullptr) return nullptr;
  std::memcpy(p, block, std::min(oldSize, size));
  zmi::Release(block, file, line);
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
  std::lock_guard<zmi::SpinLock> g(zmi::gMutex);
  return zmi::gLive.size();
}

std::vector<std::string> OutstandingTags() {
  std::lock_guard<zmi::SpinLock> g(zmi::gMutex);
  std::vector<std::string> v;
  v.reserve(zmi::gLive.size());
  zmi::gLive.Each([&](uint64_t, const zmi::Block& b) { v.push_back(zmi::gTags[b.tag]); });
  return v;
}

}  // namespace zm
