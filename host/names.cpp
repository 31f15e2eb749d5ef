// Property names, interned once per process: the database and property sets compare
// names by their small integer id instead of hashing strings on every call.
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

// A per-thread cache from the caller's pointer to its name. A hit is confirmed by
// comparing the text, so a buffer reused for another name is never mistaken.
struct Slot {
  const char* key;
  Name name;
};
constexpr size_t kSlots = 256;
thread_local Slot tCache[kSlots];

size_t SlotOf(const char* p) {
  auto v = reinterpret_cast<uintptr_t>(p);
  return (v ^ (v >> 8) ^ (v >> 16)) & (kSlots - 1);
}

Name Lookup(const char* text) {
  std::lock_guard<std::mutex> g(gMutex);
  auto it = gIds.find(std::string_view(text));
  if (it != gIds.end()) return Name{it->second, gTexts[it->second - 1].c_str()};
  gTexts.emplace_back(text);
  auto id = static_cast<uint32_t>(gTexts.size());  // ids start at 1
  const std::string& stored = gTexts.back();
  gIds.emplace(std::string_view(stored), id);
  return Name{id, stored.c_str()};
}

}  // namespace

void Bytes::resize(size_t n) {
  if (n == size_) return;
  Release();
  if (n > kInline) heap_ = new uint8_t[n];
  size_ = n;
}

Name Intern(const char* text) {
  Slot& s = tCache[SlotOf(text)];
  if (s.key == text && std::strcmp(text, s.name.text) == 0) return s.name;
  Name n = Lookup(text);
  s = Slot{text, n};
  return n;
}

}  // namespace zmi
