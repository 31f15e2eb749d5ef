// The machine's registry store: one SQLite database, DIR/registry.db. Keys are rows
// named by their path below \REGISTRY\MACHINE, with their class; values are rows of
// (key, name, type, data). Names are kept as spelled and looked up by an upper-cased
// copy, so they are case-insensitive. Every change runs in one transaction, with the
// write-ahead log and full syncs, so a crash leaves either the old or the new value.
#include "registry_store.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>

#include "faults.h"
#include "machine_state.h"
#include "ntplatform.h"
#include "overlay.h"
#include "registry_internal.h"

namespace ntp::reg {
namespace {

std::recursive_mutex gMutex;
sqlite3* gDb = nullptr;

constexpr NTSTATUS kNotOpen = STATUS_UNSUCCESSFUL;

char16_t Upcase(char16_t c) {
  if (c >= u'a' && c <= u'z') return char16_t(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 0x20);  // Latin-1
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && (c & 1) && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F)
    return char16_t(c - 1);  // Latin Extended-A pairs (mostly even upper, odd lower)
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return char16_t(c - 0x20);  // Greek
  if (c >= 0x430 && c <= 0x44F) return char16_t(c - 0x20);                // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
  return c;
}

std::u16string Upper(const std::u16string& s) {
  std::u16string r = s;
  for (auto& c : r) c = Upcase(c);
  return r;
}

bool StartsWithNoCase(const std::u16string& s, const std::u16string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Upcase(s[i]) != Upcase(prefix[i])) return false;
  return true;
}

// A relative path is valid when it is empty or its components are non-empty, carry no
// NUL and are at most 255 units long.
bool ValidRelative(const std::u16string& rel) {
  if (rel.empty()) return true;
  size_t start = 0;
  while (true) {
    size_t end = rel.find(u'\\', start);
    size_t n = (end == std::u16string::npos ? rel.size() : end) - start;
    if (n == 0 || n > 255) return false;
    if (end == std::u16string::npos) break;
    start = end + 1;
  }
  return rel.find(u'\0') == std::u16string::npos;
}

std::u16string Parent(const std::u16string& rel) {
  size_t p = rel.rfind(u'\\');
  return p == std::u16string::npos ? std::u16string() : rel.substr(0, p);
}

// RAII statement with bound UTF-16 blobs.
class Stmt {
 public:
  explicit Stmt(const char* sql) {
    if (gDb && sqlite3_prepare_v2(gDb, sql, -1, &st_, nullptr) != SQLITE_OK) st_ = nullptr;
  }
  ~Stmt() { sqlite3_finalize(st_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return st_ != nullptr; }
  void Text(int i, const std::u16string& s) {
    sqlite3_bind_blob(st_, i, s.data(), int(s.size() * sizeof(char16_t)), SQLITE_TRANSIENT);
  }
  void Blob(int i, const uint8_t* p, size_t n) {
    static const uint8_t empty = 0;
    sqlite3_bind_blob64(st_, i, n ? p : &empty, n, SQLITE_TRANSIENT);
  }
  void Int(int i, int64_t v) { sqlite3_bind_int64(st_, i, v); }
  int Step() { return st_ ? sqlite3_step(st_) : SQLITE_ERROR; }
  int64_t ColInt(int i) { return sqlite3_column_int64(st_, i); }
  std::u16string ColText(int i) {
    const void* p = sqlite3_column_blob(st_, i);
    int n = sqlite3_column_bytes(st_, i);
    std::u16string s(size_t(n) / 2, u'\0');
    if (p && n >= 2) std::memcpy(s.data(), p, s.size() * 2);
    return s;
  }
  std::vector<uint8_t> ColBlob(int i) {
    const uint8_t* p = static_cast<const uint8_t*>(sqlite3_column_blob(st_, i));
    int n = sqlite3_column_bytes(st_, i);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt* st_ = nullptr;
};

bool Exec(const char* sql) { return gDb && sqlite3_exec(gDb, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Runs body inside one transaction; commits when it succeeds. A fault injected on
// "RegistryCommit" stands for a crash just before the commit: everything rolls back.
template <class F>
NTSTATUS InTransaction(F&& body) {
  if (!gDb) return kNotOpen;
  if (!Exec("BEGIN IMMEDIATE")) return STATUS_UNSUCCESSFUL;
  NTSTATUS st = body();
  uint32_t injected = 0;
  if (NT_SUCCESS(st) && ShouldFail("RegistryCommit", &injected)) st = NTSTATUS(injected);
  if (NT_SUCCESS(st) && !Exec("COMMIT")) st = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(st)) Exec("ROLLBACK");
  return st;
}

// Row id of a key, or 0.
int64_t KeyId(const std::u16string& rel) {
  Stmt s("SELECT id FROM keys WHERE norm = ?");
  if (!s.ok()) return 0;
  s.Text(1, Upper(rel));
  return s.Step() == SQLITE_ROW ? s.ColInt(0) : 0;
}

NTSTATUS InsertKey(const std::u16string& rel, const std::u16string* className) {
  Stmt s("INSERT INTO keys(norm, path, class) VALUES (?, ?, ?)");
  if (!s.ok()) return STATUS_UNSUCCESSFUL;
  s.Text(1, Upper(rel));
  s.Text(2, rel);
  if (className) s.Text(3, *className);  // else NULL: no class
  return s.Step() == SQLITE_DONE ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// Inside a transaction: creates rel, and with parents every missing key above it.
NTSTATUS CreateLocked(const std::u16string& rel, const std::u16string* className, bool parents,
                      bool* created) {
  if (created) *created = false;
  if (KeyId(rel) != 0) return STATUS_SUCCESS;
  std::u16string parent = Parent(rel);
  if (!rel.empty() && KeyId(parent) == 0) {  // the root has no parent
    if (!parents) return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS st = CreateLocked(parent, nullptr, true, nullptr);
    if (!NT_SUCCESS(st)) return st;
  }
  NTSTATUS st = InsertKey(rel, className);
  if (NT_SUCCESS(st) && created) *created = true;
  return st;
}

NTSTATUS PutLocked(const std::u16string& rel, const std::u16string& name, uint32_t type, const uint8_t* data,
                   size_t size) {
  int64_t id = KeyId(rel);
  if (id == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  // An existing value keeps its spelling and its place in the listing.
  Stmt s(
      "INSERT INTO vals(key_id, norm, name, type, data) VALUES (?, ?, ?, ?, ?) "
      "ON CONFLICT(key_id, norm) DO UPDATE SET type = excluded.type, data = excluded.data");
  if (!s.ok()) return STATUS_UNSUCCESSFUL;
  s.Int(1, id);
  s.Text(2, Upper(name));
  s.Text(3, name);
  s.Int(4, type);
  s.Blob(5, data, size);
  return s.Step() == SQLITE_DONE ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS RemoveLocked(const std::u16string& rel, const std::u16string& name) {
  int64_t id = KeyId(rel);
  if (id == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  Stmt s("DELETE FROM vals WHERE key_id = ? AND norm = ?");
  if (!s.ok()) return STATUS_UNSUCCESSFUL;
  s.Int(1, id);
  s.Text(2, Upper(name));
  if (s.Step() != SQLITE_DONE) return STATUS_UNSUCCESSFUL;
  return sqlite3_changes(gDb) > 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY, norm BLOB NOT NULL UNIQUE, path BLOB NOT NULL, class BLOB);"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key_id INTEGER NOT NULL REFERENCES keys(id), norm BLOB NOT NULL, name BLOB NOT NULL,"
    "  type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key_id, norm));";

}  // namespace

// ---- paths ----

NTSTATUS CanonicalPath(const std::u16string& path, std::u16string* relative) {
  static const std::u16string roots[] = {u"\\REGISTRY\\MACHINE", u"HKEY_LOCAL_MACHINE", u"HKLM"};
  for (const auto& root : roots) {
    if (!StartsWithNoCase(path, root)) continue;
    if (path.size() == root.size()) {
      relative->clear();
      return STATUS_SUCCESS;
    }
    if (path[root.size()] != u'\\') continue;
    std::u16string rest = path.substr(root.size() + 1);
    if (!rest.empty() && rest.back() == u'\\') rest.pop_back();
    if (!ValidRelative(rest)) return STATUS_OBJECT_NAME_INVALID;
    *relative = rest;
    return STATUS_SUCCESS;
  }
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  return STATUS_OBJECT_PATH_NOT_FOUND;  // another root: not served by this machine
}

NTSTATUS JoinPath(const std::u16string& base, const std::u16string& subKey, std::u16string* relative) {
  std::u16string sub = subKey;
  if (!sub.empty() && sub.back() == u'\\') sub.pop_back();
  if (sub.empty()) {
    *relative = base;
    return STATUS_SUCCESS;
  }
  if (!ValidRelative(sub)) return STATUS_OBJECT_NAME_INVALID;
  *relative = base.empty() ? sub : base + u"\\" + sub;
  return STATUS_SUCCESS;
}

// ---- store operations ----

NTSTATUS KeyExists(const std::u16string& rel) {
  std::lock_guard lock(gMutex);
  if (!gDb) return kNotOpen;
  if (KeyId(rel) != 0) return STATUS_SUCCESS;
  return rel.empty() || KeyId(Parent(rel)) != 0 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

NTSTATUS KeyCreate(const std::u16string& rel, const std::u16string* className, bool parents, bool* created) {
  std::lock_guard lock(gMutex);
  bool made = false;
  NTSTATUS st = InTransaction([&] { return CreateLocked(rel, className, parents, &made); });
  if (created) *created = NT_SUCCESS(st) && made;
  return st;
}

NTSTATUS KeyClass(const std::u16string& rel, std::u16string* className) {
  std::lock_guard lock(gMutex);
  Stmt s("SELECT class FROM keys WHERE norm = ?");
  if (!s.ok()) return kNotOpen;
  s.Text(1, Upper(rel));
  if (s.Step() != SQLITE_ROW) return STATUS_OBJECT_NAME_NOT_FOUND;
  *className = s.ColText(0);
  return STATUS_SUCCESS;
}

NTSTATUS KeyDisplayPath(const std::u16string& rel, std::u16string* display) {
  std::lock_guard lock(gMutex);
  Stmt s("SELECT path FROM keys WHERE norm = ?");
  if (!s.ok()) return kNotOpen;
  s.Text(1, Upper(rel));
  if (s.Step() != SQLITE_ROW) return STATUS_OBJECT_NAME_NOT_FOUND;
  *display = s.ColText(0);
  return STATUS_SUCCESS;
}

NTSTATUS ValueGet(const std::u16string& rel, const std::u16string& name, uint32_t* type,
                  std::vector<uint8_t>* data, std::u16string* storedName) {
  std::lock_guard lock(gMutex);
  if (!gDb) return kNotOpen;
  int64_t id = KeyId(rel);
  if (id == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  Stmt s("SELECT type, data, name FROM vals WHERE key_id = ? AND norm = ?");
  if (!s.ok()) return STATUS_UNSUCCESSFUL;
  s.Int(1, id);
  s.Text(2, Upper(name));
  if (s.Step() != SQLITE_ROW) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (type) *type = uint32_t(s.ColInt(0));
  if (data) *data = s.ColBlob(1);
  if (storedName) *storedName = s.ColText(2);
  return STATUS_SUCCESS;
}

NTSTATUS ValuePut(const std::u16string& rel, const std::u16string& name, uint32_t type, const uint8_t* data,
                  size_t size) {
  std::lock_guard lock(gMutex);
  return InTransaction([&] { return PutLocked(rel, name, type, data, size); });
}

NTSTATUS ValueRemove(const std::u16string& rel, const std::u16string& name) {
  std::lock_guard lock(gMutex);
  return InTransaction([&] { return RemoveLocked(rel, name); });
}

NTSTATUS ApplyBatch(const std::vector<BatchOp>& ops) {
  std::lock_guard lock(gMutex);
  return InTransaction([&] {
    for (const auto& op : ops) {
      NTSTATUS st = CreateLocked(op.rel, nullptr, true, nullptr);
      if (!NT_SUCCESS(st)) return st;
      if (!op.hasValue) continue;
      if (op.remove) {
        st = RemoveLocked(op.rel, op.name);
        if (st == STATUS_OBJECT_NAME_NOT_FOUND) st = STATUS_SUCCESS;  // already absent
      } else {
        st = PutLocked(op.rel, op.name, op.type, op.data.data(), op.data.size());
      }
      if (!NT_SUCCESS(st)) return st;
    }
    return STATUS_SUCCESS;
  });
}

// ---- the store as the platform sees it ----

void Close() {
  std::lock_guard lock(gMutex);
  if (gDb) sqlite3_close(gDb);
  gDb = nullptr;
}

bool Open(const std::string& machineDir, std::string* error) {
  std::lock_guard lock(gMutex);
  Close();
  std::string file = machineDir + "/registry.db";
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = "cannot open " + file + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return false;
  }
  sqlite3_busy_timeout(db, 5000);
  gDb = db;
  bool ok = Exec("PRAGMA journal_mode = WAL") && Exec("PRAGMA synchronous = FULL") && Exec(kSchema);
  if (ok) {
    // The root and the top-level keys every machine has.
    NTSTATUS st = InTransaction([] {
      for (const char16_t* k : {u"", u"HARDWARE", u"SOFTWARE", u"SYSTEM"}) {
        NTSTATUS s = CreateLocked(k, nullptr, false, nullptr);
        if (!NT_SUCCESS(s)) return s;
      }
      return STATUS_SUCCESS;
    });
    ok = NT_SUCCESS(st);
  }
  if (!ok) {
    if (error) *error = "cannot use " + file + " as a registry: " + sqlite3_errmsg(db);
    sqlite3_close(db);
    gDb = nullptr;
    return false;
  }
  return true;
}

// Dry runs: the store is copied into memory and used in its place until the copy is
// dropped; the file is not written meanwhile.
namespace {
sqlite3* gRealDb = nullptr;
}  // namespace

bool BeginScratchCopy(std::string* error) {
  std::lock_guard lock(gMutex);
  if (gRealDb != nullptr) return true;
  if (!gDb) {
    if (error) *error = "the registry is not open";
    return false;
  }
  sqlite3* mem = nullptr;
  if (sqlite3_open_v2(":memory:", &mem, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(mem);
    if (error) *error = "cannot make an in-memory registry";
    return false;
  }
  sqlite3_backup* b = sqlite3_backup_init(mem, "main", gDb, "main");
  bool ok = b != nullptr && sqlite3_backup_step(b, -1) == SQLITE_DONE;
  if (b != nullptr) sqlite3_backup_finish(b);
  if (!ok) {
    if (error) *error = std::string("cannot copy the registry: ") + sqlite3_errmsg(mem);
    sqlite3_close(mem);
    return false;
  }
  gRealDb = gDb;
  gDb = mem;
  return true;
}

void EndScratchCopy() {
  std::lock_guard lock(gMutex);
  if (gRealDb == nullptr) return;
  sqlite3_close(gDb);
  gDb = gRealDb;
  gRealDb = nullptr;
}

bool GetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t* type,
              std::vector<uint8_t>* data) {
  std::u16string rel;
  return NT_SUCCESS(CanonicalPath(keyPath, &rel)) && NT_SUCCESS(ValueGet(rel, name, type, data));
}

bool SetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t type,
              const std::vector<uint8_t>& data) {
  std::u16string rel;
  if (!NT_SUCCESS(CanonicalPath(keyPath, &rel))) return false;
  std::lock_guard lock(gMutex);
  return NT_SUCCESS(InTransaction([&] {
    NTSTATUS st = CreateLocked(rel, nullptr, true, nullptr);
    return NT_SUCCESS(st) ? PutLocked(rel, name, type, data.data(), data.size()) : st;
  }));
}

bool DeleteValue(const std::u16string& keyPath, const std::u16string& name) {
  std::u16string rel;
  return NT_SUCCESS(CanonicalPath(keyPath, &rel)) && NT_SUCCESS(ValueRemove(rel, name));
}

std::vector<Value> ListValues(const std::u16string& keyPath) {
  std::vector<Value> out;
  std::u16string rel;
  if (!NT_SUCCESS(CanonicalPath(keyPath, &rel))) return out;
  std::lock_guard lock(gMutex);
  int64_t id = KeyId(rel);
  if (id == 0) return out;
  Stmt s("SELECT name, type, data FROM vals WHERE key_id = ? ORDER BY rowid");
  if (!s.ok()) return out;
  s.Int(1, id);
  while (s.Step() == SQLITE_ROW) out.push_back(Value{s.ColText(0), uint32_t(s.ColInt(1)), s.ColBlob(2)});
  return out;
}

// ---- text conversions ----

std::string ToUtf8(const std::u16string& s) { return detail::Utf8(s); }

bool FromUtf8(const std::string& s, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < s.size();) {
    uint8_t b = uint8_t(s[i]);
    uint32_t c;
    size_t n;
    if (b < 0x80) {
      c = b, n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, n = 4;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      uint8_t t = uint8_t(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    static const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < minimum[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      c -= 0x10000;
      *out += char16_t(0xD800 + (c >> 10));
      *out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
      *out += char16_t(c);
    }
    i += n;
  }
  return true;
}

}  // namespace ntp::reg
