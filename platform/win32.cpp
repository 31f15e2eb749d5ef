// The rest of the Win32 and native subset: counted strings, mutexes, Sleep through a
// replaceable clock, the OS version, string comparison, pointer probing, formatting.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "faults.h"
#include "handles.h"
#include "machine_state.h"
#include "ntplatform.h"

namespace ntp {

namespace {

std::mutex g_sleepMutex;
std::function<void(DWORD)> g_sleepHook;

struct Version {
  uint32_t major = 4, minor = 0, build = 1381;
};
std::mutex g_versionMutex;
Version g_boot;
bool g_override = false;
Version g_overrideVersion;

// Mutexes with Win32 semantics: owned by a thread, re-entrant for it, abandoned when
// the owning thread ends without releasing.
struct MutexState {
  std::mutex m;
  std::condition_variable cv;
  std::thread::id owner;
  unsigned depth = 0;
  bool abandoned = false;
  std::u16string name;
};

// Never destroyed: mutex handles closed during process exit still use them.
std::mutex& g_namesMutex = *new std::mutex;
std::map<std::u16string, std::weak_ptr<MutexState>>& g_names =
    *new std::map<std::u16string, std::weak_ptr<MutexState>>;

struct MutexObject : HandleObject {
  std::shared_ptr<MutexState> state;
};

// The mutexes the current thread owns, abandoned when the thread ends.
struct Owned {
  std::map<MutexState*, std::weak_ptr<MutexState>> held;
  ~Owned() {
    for (auto& [raw, weak] : held)
      if (auto s = weak.lock()) {
        std::lock_guard<std::mutex> lock(s->m);
        if (s->owner == std::this_thread::get_id()) {
          s->owner = std::thread::id();
          s->depth = 0;
          s->abandoned = true;
          s->cv.notify_one();
        }
      }
  }
};
thread_local Owned t_owned;

}  // namespace

void SetSleepHook(std::function<void(DWORD)> hook) {
  std::lock_guard<std::mutex> lock(g_sleepMutex);
  g_sleepHook = std::move(hook);
}

void SetOsVersion(uint32_t major, uint32_t minor, uint32_t build) {
  std::lock_guard<std::mutex> lock(g_versionMutex);
  g_override = true;
  g_overrideVersion = {major, minor, build};
}

namespace detail {

void SetBootVersion(uint32_t major, uint32_t minor, uint32_t build) {
  std::lock_guard<std::mutex> lock(g_versionMutex);
  g_boot = {major, minor, build};
}

void ResetVersion() {
  std::lock_guard<std::mutex> lock(g_versionMutex);
  g_boot = Version{};
  g_override = false;
}

std::u16string Upper(const std::u16string& s) {
  std::u16string u = s;
  for (auto& c : u)
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
  return u;
}

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0 && i + 3 < s.size()) {
      cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
      n = 4;
    } else if (c >= 0xE0 && i + 2 < s.size()) {
      cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      n = 3;
    } else if (c >= 0xC0 && i + 1 < s.size()) {
      cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      n = 2;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += char16_t(0xD800 + (cp >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp);
    }
    i += n;
  }
  return out;
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace detail

namespace {

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

char16_t Lower(char16_t c) {
  if (c >= u'A' && c <= u'Z') return char16_t(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return char16_t(c + 32);
  return c;
}

// The formatter behind wsprintfW and swprintf: %s %c %d %i %u %x %X %%, flags '-' and
// '0', a width and a precision (digits or '*'), size prefixes h, l, ll, I64. 'l' is
// 32 bits as on Windows; %hs and %S take narrow strings, %hc a narrow character.
void Format(std::u16string* out, PCWSTR format, va_list args) {
  for (PCWSTR p = format; *p != 0; ++p) {
    if (*p != u'%') {
      out->push_back(*p);
      continue;
    }
    ++p;
    if (*p == 0) break;
    if (*p == u'%') {
      out->push_back(u'%');
      continue;
    }
    bool left = false, zero = false;
    for (;; ++p) {
      if (*p == u'-')
        left = true;
      else if (*p == u'0')
        zero = true;
      else if (*p == u'+' || *p == u' ' || *p == u'#')
        continue;
      else
        break;
    }
    int width = 0, precision = -1;
    if (*p == u'*') {
      width = va_arg(args, int);
      if (width < 0) {
        left = true;
        width = -width;
      }
      ++p;
    } else {
      while (*p >= u'0' && *p <= u'9') width = std::min(width * 10 + (*p++ - u'0'), 4096);
    }
    if (*p == u'.') {
      ++p;
      precision = 0;
      if (*p == u'*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') precision = std::min(precision * 10 + (*p++ - u'0'), 4096);
      }
    }
    bool narrow = false, wide64 = false;
    if (*p == u'h') {
      narrow = true;
      ++p;
    } else if (*p == u'l') {
      ++p;
      if (*p == u'l') {
        wide64 = true;
        ++p;
      }
    } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
      wide64 = true;
      p += 3;
    }
    std::u16string field;
    bool numeric = false, negative = false;
    switch (*p) {
      case u's':
      case u'S': {
        const bool isNarrow = narrow || *p == u'S';
        if (isNarrow) {
          const char* s = va_arg(args, const char*);
          if (s == nullptr) s = "(null)";
          for (size_t i = 0; s[i] != 0 && (precision < 0 || int(i) < precision); ++i)
            field.push_back(char16_t(static_cast<unsigned char>(s[i])));
        } else {
          PCWSTR s = va_arg(args, PCWSTR);
          if (s == nullptr) s = u"(null)";
          for (size_t i = 0; s[i] != 0 && (precision < 0 || int(i) < precision); ++i) field.push_back(s[i]);
        }
        break;
      }
      case u'c':
      case u'C': {
        int c = va_arg(args, int);
        field.push_back(narrow ? char16_t(static_cast<unsigned char>(c)) : char16_t(c));
        break;
      }
      case u'd':
      case u'i':
      case u'u':
      case u'x':
      case u'X': {
        numeric = true;
        uint64_t v;
        if (*p == u'd' || *p == u'i') {
          int64_t sv = wide64 ? va_arg(args, long long) : int64_t(va_arg(args, int));
          negative = sv < 0;
          v = negative ? uint64_t(0) - uint64_t(sv) : uint64_t(sv);
        } else {
          v = wide64 ? uint64_t(va_arg(args, unsigned long long)) : uint64_t(va_arg(args, unsigned int));
        }
        const char* digits = *p == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        const unsigned base = (*p == u'x' || *p == u'X') ? 16 : 10;
        char16_t tmp[32];
        int n = 0;
        do {
          tmp[n++] = char16_t(digits[v % base]);
          v /= base;
        } while (v != 0);
        while (precision > n && n < 30) tmp[n++] = u'0';
        while (n > 0) field.push_back(tmp[--n]);
        break;
      }
      default:
        // Unknown conversion: copied as it stands.
        out->push_back(u'%');
        out->push_back(*p);
        continue;
    }
    int len = int(field.size()) + (negative ? 1 : 0);
    int pad = width > len ? width - len : 0;
    if (!left && !(zero && numeric)) out->append(size_t(pad), u' ');
    if (negative) out->push_back(u'-');
    if (!left && zero && numeric) out->append(size_t(pad), u'0');
    out->append(field);
    if (left) out->append(size_t(pad), u' ');
  }
}

// Copies at most count units including the terminator; the length, or -1 when cut.
int Emit(const std::u16string& s, WCHAR* buffer, size_t count) {
  if (buffer == nullptr || count == 0) return -1;
  if (s.size() < count) {
    std::memcpy(buffer, s.data(), s.size() * 2);
    buffer[s.size()] = 0;
    return int(s.size());
  }
  std::memcpy(buffer, s.data(), (count - 1) * 2);
  buffer[count - 1] = 0;
  return -1;
}

}  // namespace
}  // namespace ntp

using namespace ntp;

extern "C" {

void RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR source) {
  if (dest == nullptr) return;
  if (source == nullptr) {
    dest->Length = dest->MaximumLength = 0;
    dest->Buffer = nullptr;
    return;
  }
  size_t bytes = std::min<size_t>(WideLength(source) * 2, 0xFFFC);
  dest->Length = USHORT(bytes);
  dest->MaximumLength = USHORT(bytes + 2);
  dest->Buffer = const_cast<PWSTR>(source);
}

BOOLEAN RtlCreateUnicodeString(PUNICODE_STRING dest, PCWSTR source) {
  uint32_t status;
  if (dest == nullptr || source == nullptr || ShouldFail("RtlCreateUnicodeString", &status)) return FALSE;
  size_t bytes = WideLength(source) * 2;
  if (bytes + 2 > 0xFFFE) return FALSE;
  auto* buffer = static_cast<PWSTR>(std::malloc(bytes + 2));
  if (buffer == nullptr) return FALSE;
  std::memcpy(buffer, source, bytes + 2);
  dest->Buffer = buffer;
  dest->Length = USHORT(bytes);
  dest->MaximumLength = USHORT(bytes + 2);
  return TRUE;
}

void RtlFreeUnicodeString(PUNICODE_STRING str) {
  if (str == nullptr) return;
  std::free(str->Buffer);
  str->Buffer = nullptr;
  str->Length = str->MaximumLength = 0;
}

HANDLE CreateMutexW(SECURITY_ATTRIBUTES* security, BOOL initialOwner, PCWSTR name) {
  (void)security;
  uint32_t status;
  if (ShouldFail("CreateMutexW", &status)) return nullptr;
  auto object = std::make_shared<MutexObject>();
  bool existed = false;
  if (name != nullptr && name[0] != 0) {
    // Named mutexes are one object for every opener; names are case-sensitive.
    std::lock_guard<std::mutex> lock(g_namesMutex);
    std::u16string key(name);
    auto it = g_names.find(key);
    if (it != g_names.end()) object->state = it->second.lock();
    existed = object->state != nullptr;
    if (!existed) {
      object->state = std::shared_ptr<MutexState>(new MutexState, [](MutexState* s) {
        {
          std::lock_guard<std::mutex> l(g_namesMutex);
          auto i = g_names.find(s->name);
          if (i != g_names.end() && i->second.expired()) g_names.erase(i);
        }
        delete s;
      });
      object->state->name = key;
      g_names[key] = object->state;
    }
  } else {
    object->state = std::make_shared<MutexState>();
  }
  if (initialOwner && !existed) {
    object->state->owner = std::this_thread::get_id();
    object->state->depth = 1;
    t_owned.held[object->state.get()] = object->state;
  }
  return InsertHandle(object);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  uint32_t status;
  if (ShouldFail("WaitForSingleObject", &status)) return WAIT_FAILED;
  auto object = ReferenceHandleAs<MutexObject>(handle);
  if (!object) return WAIT_FAILED;
  MutexState& s = *object->state;
  std::unique_lock<std::mutex> lock(s.m);
  const auto self = std::this_thread::get_id();
  auto free = [&] { return s.depth == 0 || s.owner == self; };
  if (milliseconds == INFINITE) {
    s.cv.wait(lock, free);
  } else if (!s.cv.wait_for(lock, std::chrono::milliseconds(milliseconds), free)) {
    return WAIT_TIMEOUT;
  }
  s.owner = self;
  ++s.depth;
  t_owned.held[object->state.get()] = object->state;
  if (s.abandoned) {
    s.abandoned = false;
    return WAIT_ABANDONED;
  }
  return WAIT_OBJECT_0;
}

BOOL ReleaseMutex(HANDLE mutex) {
  uint32_t status;
  if (ShouldFail("ReleaseMutex", &status)) return FALSE;
  auto object = ReferenceHandleAs<MutexObject>(mutex);
  if (!object) return FALSE;
  MutexState& s = *object->state;
  std::lock_guard<std::mutex> lock(s.m);
  if (s.depth == 0 || s.owner != std::this_thread::get_id()) return FALSE;
  if (--s.depth == 0) {
    s.owner = std::thread::id();
    t_owned.held.erase(object->state.get());
    s.cv.notify_one();
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  uint32_t status;
  if (ShouldFail("CloseHandle", &status)) return FALSE;
  return RemoveHandle(handle) ? TRUE : FALSE;
}

void Sleep(DWORD milliseconds) {
  std::function<void(DWORD)> hook;
  {
    std::lock_guard<std::mutex> lock(g_sleepMutex);
    hook = g_sleepHook;
  }
  if (hook) {
    hook(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL GetVersionExW(OSVERSIONINFOW* info) {
  uint32_t status;
  if (ShouldFail("GetVersionExW", &status)) return FALSE;
  if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOW)) return FALSE;
  std::lock_guard<std::mutex> lock(g_versionMutex);
  const Version& v = g_override ? g_overrideVersion : g_boot;
  info->dwMajorVersion = v.major;
  info->dwMinorVersion = v.minor;
  info->dwBuildNumber = v.build;
  info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}

BOOL DisableThreadLibraryCalls(HMODULE module) {
  (void)module;
  return TRUE;
}

int lstrcmpiW(PCWSTR a, PCWSTR b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  for (;; ++a, ++b) {
    char16_t x = Lower(*a), y = Lower(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

BOOL IsBadReadPtr(const void* p, uintptr_t size) {
  if (p == nullptr) return TRUE;
  if (size == 0) return FALSE;
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  if (start + size < start) return TRUE;
  // Probes one byte of every page through a pipe: the kernel reports an unreadable
  // address as EFAULT instead of faulting.
  static std::mutex probeMutex;
  static int fds[2] = {-1, -1};
  std::lock_guard<std::mutex> lock(probeMutex);
  if (fds[0] < 0 && pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return FALSE;
  const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t last = start + size - 1;
  for (uintptr_t at = start;; at = (at & ~(page - 1)) + page) {
    if (at > last) at = last;
    ssize_t n = write(fds[1], reinterpret_cast<const void*>(at), 1);
    if (n != 1) return TRUE;
    char sink;
    if (read(fds[0], &sink, 1) != 1) return TRUE;
    if (at == last) break;
  }
  return FALSE;
}

int wsprintfW(PWSTR buffer, PCWSTR format, ...) {
  if (buffer == nullptr || format == nullptr) return 0;
  std::u16string s;
  va_list args;
  va_start(args, format);
  Format(&s, format, args);
  va_end(args);
  // The Win32 limit of 1024 units, terminator included; a longer result is cut.
  int n = Emit(s, buffer, 1024);
  return n < 0 ? 1023 : n;
}

}  // extern "C"

int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  if (format == nullptr) return -1;
  std::u16string s;
  va_list args;
  va_start(args, format);
  Format(&s, format, args);
  va_end(args);
  return Emit(s, buffer, count);
}
