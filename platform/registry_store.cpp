// The machine's registry store: one SQLite database, DIR/registry.db. Keys are rows
// named by their path below \REGISTRY\MACHINE, with their class; values are rows of
// (key, name, type, data). Names are kept as spelled and looked up by an upper-cased
// copy, so they are case-insensitive. Every change runs in one transaction, with the
// write-ahead log and full syncs, so a crash leaves either the old or the new value.
#include "registry_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "faults.h"
#include "machine_state.h"
#include "ntplatform.h"
#include "overlay.h"
#include "registry_backups.h"
#include "registry_internal.h"

namespace ntp::reg {
namespace {

std::recursive_mutex gMutex;
sqlite3* gDb = nullptr;
sqlite3* gRealDb = nullptr;  // the file's store while a dry run uses an in-memory copy
std::string gDir;            // the machine directory of the open store
std::string gPending;        // the backup of a value not yet committed
std::string gDetail;         // why the running change failed, when known beyond SQLite

backups::StoreProblem gProblem = backups::StoreProblem::None;  // of the last open

constexpr const char* kMarkerName = "registry.created";

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

// Prepared statements kept for reuse, by connection and by the address of their SQL
// text (each is a literal): a boot runs the same few look-ups hundreds of times. A
// statement in use is never handed out twice; one whose connection closes while in use
// is finalised when its user lets it go.
struct Prepared {
  sqlite3* db;
  const char* sql;
  sqlite3_stmt* st;
  bool busy;
  bool orphaned;
};
std::vector<Prepared> gPrepared;

// Finalises the kept statements of a connection about to close.
void ForgetPrepared(sqlite3* db) {
  for (size_t i = 0; i < gPrepared.size();) {
    Prepared& p = gPrepared[i];
    if (p.db != db) {
      ++i;
    } else if (p.busy) {
      p.orphaned = true;
      p.db = nullptr;
      ++i;
    } else {
      sqlite3_finalize(p.st);
      gPrepared.erase(gPrepared.begin() + std::ptrdiff_t(i));
    }
  }
}

void CloseDb(sqlite3* db) {
  if (db == nullptr) return;
  ForgetPrepared(db);
  sqlite3_close(db);
}

// RAII statement with bound UTF-16 blobs.
class Stmt {
 public:
  explicit Stmt(const char* sql) {
    if (!gDb) return;
    for (Prepared& p : gPrepared)
      if (p.db == gDb && p.sql == sql && !p.busy) {
        p.busy = true;
        st_ = p.st;
        return;
      }
    if (sqlite3_prepare_v2(gDb, sql, -1, &st_, nullptr) != SQLITE_OK) {
      sqlite3_finalize(st_);
      st_ = nullptr;
      return;
    }
    gPrepared.push_back({gDb, sql, st_, true, false});
  }
  ~Stmt() {
    if (st_ == nullptr) return;
    for (size_t i = 0; i < gPrepared.size(); ++i) {
      Prepared& p = gPrepared[i];
      if (p.st != st_) continue;
      if (p.orphaned) {
        sqlite3_finalize(st_);
        gPrepared.erase(gPrepared.begin() + std::ptrdiff_t(i));
      } else {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
        p.busy = false;
      }
      return;
    }
  }
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
  sqlite3_stmt* get() const { return st_; }
  std::u16string ColText(int i) {
    const void* p = sqlite3_column_blob(st_, i);
    int n = sqlite3_column_bytes(st_, i);
    std::u16string s(size_t(n) / 2, u'\0');
    if (p && n >= 2) std::memcpy(s.data(), p, s.size() * 2);
    return s;
  }
  bool IsNull(int i) { return sqlite3_column_type(st_, i) == SQLITE_NULL; }
  std::vector<uint8_t> ColBlob(int i) {
    const uint8_t* p = static_cast<const uint8_t*>(sqlite3_column_blob(st_, i));
    int n = sqlite3_column_bytes(st_, i);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt* st_ = nullptr;
};

bool Exec(const char* sql) { return gDb && sqlite3_exec(gDb, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Statuses that say the caller asked for something absent or malformed; any other
// failure means the store could not write.
bool WriteFailed(NTSTATUS st) {
  return !NT_SUCCESS(st) && st != STATUS_OBJECT_NAME_NOT_FOUND && st != STATUS_OBJECT_PATH_NOT_FOUND &&
         st != STATUS_OBJECT_NAME_INVALID && st != STATUS_INVALID_PARAMETER && st != STATUS_ACCESS_DENIED;
}

// Runs body inside one transaction; commits when it succeeds. A fault injected on
// "RegistryCommit" stands for a crash just before the commit: everything rolls back,
// and a backup kept for the new value is removed with it. what names the change in
// the record of failed writes.
template <class F>
NTSTATUS InTransaction(const std::string& what, F&& body) {
  if (!gDb) return kNotOpen;
  gPending.clear();
  gDetail.clear();
  const bool began = Exec("BEGIN IMMEDIATE");
  NTSTATUS st = began ? body() : STATUS_UNSUCCESSFUL;
  uint32_t injected = 0;
  if (NT_SUCCESS(st) && ShouldFail("RegistryCommit", &injected)) {
    st = NTSTATUS(injected);
    gDetail = "injected fault";
  }
  if (NT_SUCCESS(st) && !Exec("COMMIT")) st = STATUS_UNSUCCESSFUL;
  // With FTDISK_CRASH_COUNT_COMMITS set, a committed change is also a point where the
  // crash tests may cut a request short, as a disk write is.
  static const bool counted = std::getenv("FTDISK_CRASH_COUNT_COMMITS") != nullptr;
  if (NT_SUCCESS(st) && counted && !what.empty()) detail::CrashPoint();
  if (!NT_SUCCESS(st)) {
    const std::string sqliteText = sqlite3_errmsg(gDb);
    if (began) Exec("ROLLBACK");
    if (!gPending.empty()) unlink(gPending.c_str());
    if (WriteFailed(st) && !what.empty())
      NoteWriteFailure(what + ": " + (gDetail.empty() ? sqliteText : gDetail));
  }
  gPending.clear();
  return st;
}

std::string Describe(const std::u16string& rel, const std::u16string* name = nullptr) {
  std::string text = "HKEY_LOCAL_MACHINE" + (rel.empty() ? std::string() : "\\" + ToUtf8(rel));
  if (name) text += " \"" + ToUtf8(*name) + "\"";
  return "writing " + text;
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

// The disk key's configuration value, whose every change keeps an automatic backup.
bool IsInformation(const std::u16string& rel, const std::u16string& name) {
  return Upper(rel) == u"SYSTEM\\DISK" && Upper(name) == u"INFORMATION";
}

// Inside a transaction: the key as it stands, class and values in listing order.
bool KeyImageLocked(int64_t id, backups::KeyImage* image) {
  Stmt c("SELECT class, path FROM keys WHERE id = ?");
  if (!c.ok()) return false;
  c.Int(1, id);
  if (c.Step() != SQLITE_ROW) return false;
  image->hasClass = !c.IsNull(0);
  image->className = image->hasClass ? c.ColText(0) : std::u16string();
  image->path = c.ColText(1);
  Stmt s("SELECT name, type, data FROM vals WHERE key_id = ? ORDER BY rowid");
  if (!s.ok()) return false;
  s.Int(1, id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW)
    image->values.push_back(Value{s.ColText(0), uint32_t(s.ColInt(1)), s.ColBlob(2)});
  return rc == SQLITE_DONE;
}

// Before "Information" changes (set, or removed when data is null): the key as it was
// and as it will be are kept as backups. The change fails when they cannot be written.
NTSTATUS KeepBackups(int64_t id, const std::u16string& name, uint32_t type, const uint8_t* data,
                     size_t size) {
  if (gDir.empty() || gRealDb != nullptr) return STATUS_SUCCESS;  // none for a dry run's copy
  backups::KeyImage before;
  if (!KeyImageLocked(id, &before)) return STATUS_UNSUCCESSFUL;
  backups::KeyImage after = before;
  bool had = false;
  for (auto it = after.values.begin(); it != after.values.end(); ++it) {
    if (Upper(it->name) != Upper(name)) continue;
    had = true;
    if (data == nullptr) {
      after.values.erase(it);
    } else {
      it->type = type;
      it->data.assign(data, data + size);
    }
    break;
  }
  if (!had && data == nullptr) return STATUS_SUCCESS;
  if (!had) after.values.push_back(Value{name, type, std::vector<uint8_t>(data, data + size)});
  if (after == before) return STATUS_SUCCESS;
  // A removal keeps only the value it removes: a key without the configuration is no
  // state to go back to.
  if (!backups::Keep(gDir, had ? &before : nullptr, data != nullptr ? &after : nullptr, &gPending, &gDetail))
    return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS PutLocked(const std::u16string& rel, const std::u16string& name, uint32_t type, const uint8_t* data,
                   size_t size) {
  int64_t id = KeyId(rel);
  if (id == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (IsInformation(rel, name)) {
    static const uint8_t none = 0;
    NTSTATUS st = KeepBackups(id, name, type, size ? data : &none, size);
    if (!NT_SUCCESS(st)) return st;
  }
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
  if (IsInformation(rel, name)) {
    NTSTATUS st = KeepBackups(id, name, 0, nullptr, 0);
    if (!NT_SUCCESS(st)) return st;
  }
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
  NTSTATUS st = InTransaction(Describe(rel), [&] { return CreateLocked(rel, className, parents, &made); });
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
  return InTransaction(Describe(rel, &name), [&] { return PutLocked(rel, name, type, data, size); });
}

NTSTATUS ValueRemove(const std::u16string& rel, const std::u16string& name) {
  std::lock_guard lock(gMutex);
  return InTransaction(Describe(rel, &name), [&] { return RemoveLocked(rel, name); });
}

NTSTATUS ApplyBatch(const std::vector<BatchOp>& ops) {
  std::lock_guard lock(gMutex);
  return InTransaction("writing " + std::to_string(ops.size()) + " registry changes", [&] {
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
  CloseDb(gDb);
  gDb = nullptr;
  gDir.clear();
}

namespace {

bool Exists(const std::string& path, off_t* size = nullptr) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  if (size) *size = st.st_size;
  return true;
}

// Records that this machine has a registry, so that losing registry.db later is noticed.
void WriteMarker(const std::string& dir) {
  const std::string path = dir + "/" + kMarkerName;
  if (Exists(path)) return;
  char when[32] = "";
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  if (gmtime_r(&now, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
  const std::string text = std::string("This machine's registry (registry.db) was made on ") + when +
                           ".\nIf registry.db is lost or damaged, the machine does not boot until "
                           "'ftdiskctl registry recover' restores it.\n";
  const std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
  if (ok) {
    int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = d >= 0 && fsync(d) == 0;
    if (d >= 0) close(d);
  }
  if (!ok) {
    unlink(tmp.c_str());
    NoteWriteFailure("writing " + path + ": " + std::strerror(errno));
  }
}

// Why a machine that has had a registry cannot boot, and how to go on.
std::string Refusal(const std::string& dir, const std::string& problem) {
  size_t intact = 0;
  int64_t newest = 0;
  for (const auto& b : ListBackups(dir))
    if (b.valid) {
      ++intact;
      newest = b.time;
    }
  std::string text = "the registry of this machine (" + dir + "/registry.db) " + problem +
                     ", and the machine has booted before: booting with an empty registry would lose its "
                     "FT configuration. To go on, ";
  if (intact > 0) {
    char when[32] = "";
    std::time_t t = std::time_t(newest);
    std::tm tm{};
    if (gmtime_r(&t, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    text += "restore the newest automatic backup (" + std::string(when) + "; " + std::to_string(intact) +
            " kept, 'ftdiskctl -m " + dir + " registry recover --list' lists them) with 'ftdiskctl -m " +
            dir + " registry recover', or start afresh with 'ftdiskctl -m " + dir +
            " registry recover --empty'";
  } else {
    text += "start afresh with 'ftdiskctl -m " + dir +
            " registry recover --empty' (no automatic backup is kept), then 'rescan'";
  }
  return text;
}

bool HasTables() {
  Stmt s("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('keys', 'vals')");
  return s.ok() && s.Step() == SQLITE_ROW && s.ColInt(0) == 2;
}

// The integrity check of an existing store: 0 sound, 1 damaged, 2 it could not run (an
// I/O error says nothing about the file's contents).
int QuickCheck(std::string* why) {
  Stmt s("PRAGMA quick_check");
  const int rc = s.ok() ? s.Step() : sqlite3_errcode(gDb);
  if (rc != SQLITE_ROW) {
    *why = sqlite3_errmsg(gDb);
    const int code = sqlite3_errcode(gDb) & 0xFF;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB ? 1 : 2;
  }
  const char* text = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
  if (text != nullptr && std::strcmp(text, "ok") == 0) return 0;
  *why = text ? text : "the integrity check failed";
  return 1;
}

// The schema and the root keys in a store just opened (gDb); with hasTables, a store
// known to hold the tables gets the root keys only.
bool MakeTables(std::string* error, bool hasTables = false) {
  bool ok = hasTables || Exec(kSchema);
  if (ok) {
    NTSTATUS st = InTransaction("", [] {
      for (const char16_t* k : {u"", u"HARDWARE", u"SOFTWARE", u"SYSTEM"}) {
        NTSTATUS s = CreateLocked(k, nullptr, false, nullptr);
        if (!NT_SUCCESS(s)) return s;
      }
      return STATUS_SUCCESS;
    });
    ok = NT_SUCCESS(st);
  }
  if (!ok && error) *error = gDetail.empty() ? sqlite3_errmsg(gDb) : gDetail;
  return ok;
}

// An empty store in memory, used in place of a file.
bool OpenMemory(std::string* error) {
  sqlite3* mem = nullptr;
  if (sqlite3_open_v2(":memory:", &mem, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    CloseDb(mem);
    if (error) *error = "cannot make an in-memory registry";
    return false;
  }
  gDb = mem;
  if (MakeTables(error)) return true;
  Close();
  return false;
}

// Opens DIR/registry.db. Unless recovering, a store that this machine had before and
// that is gone, empty or damaged is refused; a damaged one always is.
bool OpenStore(const std::string& machineDir, bool recovering, std::string* error) {
  Close();
  gProblem = backups::StoreProblem::Other;  // until known better
  const std::string file = machineDir + "/registry.db";
  off_t size = 0;
  const bool present = Exists(file, &size) && size > 0;
  const bool hadStore = Exists(machineDir + "/" + kMarkerName);
  if (!recovering && hadStore && !present) {
    gProblem = backups::StoreProblem::Lost;
    if (error) *error = Refusal(machineDir, Exists(file) ? "is empty" : "is missing");
    return false;
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = "cannot open " + file + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    CloseDb(db);
    return false;
  }
  sqlite3_busy_timeout(db, 5000);
  gDb = db;
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    CloseDb(db);
    gDb = nullptr;
    return false;
  };
  // Damage (not a database, corrupt pages, our tables gone) is told apart from errors
  // that say nothing about the file, such as a full or read-only file system.
  auto damaged = [&](int code) {
    code &= 0xFF;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
  };
  std::string why;
  if (!Exec("PRAGMA journal_mode = WAL") || !Exec("PRAGMA synchronous = FULL")) {
    const std::string text = sqlite3_errmsg(db);
    if (damaged(sqlite3_extended_errcode(db))) {
      gProblem = backups::StoreProblem::Damaged;
      return fail(Refusal(machineDir, "is damaged (" + text + ")"));
    }
    return fail("cannot use " + file + " as a registry: " + text);
  }
  const int check = present ? QuickCheck(&why) : 0;
  if (check == 2) return fail("cannot check " + file + ": " + why);
  if (check == 1) {
    gProblem = backups::StoreProblem::Damaged;
    return fail(Refusal(machineDir, "is damaged (" + why + ")"));
  }
  // A store without our tables is new when this machine never had one (a first boot
  // killed before it made them), and damaged otherwise.
  if (present && hadStore && !recovering && !HasTables()) {
    gProblem = backups::StoreProblem::Damaged;
    return fail(Refusal(machineDir, "is damaged (it holds no registry tables)"));
  }
  // The root and the top-level keys every machine has.
  if (std::string e; !MakeTables(&e)) return fail("cannot use " + file + " as a registry: " + e);
  gDir = machineDir;
  gProblem = backups::StoreProblem::None;
  WriteMarker(machineDir);
  return true;
}

// A path as an SQLite URI filename: absolute, with the characters a URI gives a
// meaning to escaped.
std::string UriOf(const std::string& path, const char* query) {
  std::string abs = path;
  if (abs.empty() || abs[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) abs = std::string(cwd) + "/" + abs;
  }
  std::string uri = "file:";
  for (char c : abs) {
    if (c == '%' || c == '?' || c == '#') {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
      uri += buf;
    } else {
      uri += c;
    }
  }
  return uri + "?" + query;
}

// SQLite's shared-lock bytes of a database file (the 510 bytes after the pending and
// reserved bytes at 1 GiB). A reader that holds them stops a closing writer from
// checkpointing its log into the file, and waits while a writer holds them
// exclusively.
constexpr off_t kSqliteSharedFirst = 0x40000002;
constexpr off_t kSqliteSharedSize = 510;

// Reads DIR/registry.db into an in-memory store without writing anything: no lock
// file, log or shared-memory file is made, and the file itself is never written.
// While a writer has the store open (its -wal and -shm files exist) the read goes
// through them, read-only, and sees the last committed transaction; otherwise the
// file alone holds every committed change and is read as immutable, under a shared
// lock that keeps a writer from checkpointing into it meanwhile.
bool OpenStoreReadOnly(const std::string& machineDir, std::string* error) {
  Close();
  gProblem = backups::StoreProblem::Other;
  const std::string file = machineDir + "/registry.db";
  off_t size = 0;
  const bool present = Exists(file, &size) && size > 0;
  const bool hadStore = Exists(machineDir + "/" + kMarkerName);
  if (hadStore && !present) {
    gProblem = backups::StoreProblem::Lost;
    if (error) *error = Refusal(machineDir, Exists(file) ? "is empty" : "is missing");
    return false;
  }
  // A machine that has never had a writing boot has no store yet: an empty one.
  if (!present) {
    gProblem = backups::StoreProblem::None;
    return OpenMemory(error);
  }
  const bool live = Exists(file + "-wal") && Exists(file + "-shm");
  int lockFd = -1;
  if (!live) {
    lockFd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kSqliteSharedFirst;
    fl.l_len = kSqliteSharedSize;
    if (lockFd >= 0)
      while (fcntl(lockFd, F_OFD_SETLKW, &fl) != 0 && errno == EINTR) {
      }
  }
  struct LockGuard {
    int fd;
    ~LockGuard() {
      if (fd >= 0) close(fd);
    }
  } guard{lockFd};
  sqlite3* db = nullptr;
  const std::string uri = UriOf(file, live ? "mode=ro&readonly_shm=1" : "immutable=1");
  int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = "cannot open " + file + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    CloseDb(db);
    return false;
  }
  sqlite3_busy_timeout(db, 5000);
  gDb = db;
  std::string why;
  const int check = QuickCheck(&why);
  if (check == 0 && !HasTables()) {
    why = "it holds no registry tables";
    // A first boot killed before it made them left an empty store: nothing to read.
    if (!hadStore) {
      Close();
      gProblem = backups::StoreProblem::None;
      return OpenMemory(error);
    }
  }
  if (check != 0 || !why.empty()) {
    Close();
    if (check == 2) {
      if (error) *error = "cannot check " + file + ": " + why;
      return false;
    }
    gProblem = backups::StoreProblem::Damaged;
    if (error) *error = Refusal(machineDir, "is damaged (" + why + ")");
    return false;
  }
  sqlite3* mem = nullptr;
  bool ok = sqlite3_open_v2(":memory:", &mem, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
  sqlite3_backup* b = ok ? sqlite3_backup_init(mem, "main", db, "main") : nullptr;
  ok = b != nullptr && sqlite3_backup_step(b, -1) == SQLITE_DONE;
  if (b != nullptr) sqlite3_backup_finish(b);
  if (!ok) {
    if (error) *error = "cannot read " + file + ": " + sqlite3_errmsg(mem != nullptr ? mem : db);
    CloseDb(mem);
    Close();
    return false;
  }
  Close();
  gDb = mem;
  if (!MakeTables(error, true)) return false;  // a copy of a store that has them
  gProblem = backups::StoreProblem::None;
  return true;
}

}  // namespace

// Dry runs: the store is copied into memory and used in its place until the copy is
// dropped; the file is not written meanwhile.

bool BeginScratchCopy(std::string* error) {
  std::lock_guard lock(gMutex);
  if (gRealDb != nullptr) return true;
  if (!gDb) {
    if (error) *error = "the registry is not open";
    return false;
  }
  sqlite3* mem = nullptr;
  if (sqlite3_open_v2(":memory:", &mem, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    CloseDb(mem);
    if (error) *error = "cannot make an in-memory registry";
    return false;
  }
  sqlite3_backup* b = sqlite3_backup_init(mem, "main", gDb, "main");
  bool ok = b != nullptr && sqlite3_backup_step(b, -1) == SQLITE_DONE;
  if (b != nullptr) sqlite3_backup_finish(b);
  if (!ok) {
    if (error) *error = std::string("cannot copy the registry: ") + sqlite3_errmsg(mem);
    CloseDb(mem);
    return false;
  }
  gRealDb = gDb;
  gDb = mem;
  return true;
}

void EndScratchCopy() {
  std::lock_guard lock(gMutex);
  if (gRealDb == nullptr) return;
  CloseDb(gDb);
  gDb = gRealDb;
  gRealDb = nullptr;
}

bool Open(const std::string& machineDir, std::string* error) {
  std::lock_guard lock(gMutex);
  return OpenStore(machineDir, false, error);
}

bool HadStore(const std::string& machineDir) { return Exists(machineDir + "/" + kMarkerName); }

bool OpenReadOnly(const std::string& machineDir, std::string* error) {
  std::lock_guard lock(gMutex);
  return OpenStoreReadOnly(machineDir, error);
}

bool OpenInMemory(const std::vector<ImportValue>& values, std::string* error) {
  std::lock_guard lock(gMutex);
  Close();
  if (!OpenMemory(error)) return false;
  if (values.empty() || ImportValues(values, error)) return true;
  Close();
  return false;
}

void NoteWriteFailure(const std::string& what) { ntp::RequestScope::NoteWriteFailure(what); }

namespace backups {

StoreProblem LastOpenProblem() {
  std::lock_guard lock(gMutex);
  return gProblem;
}

bool OpenForRecovery(const std::string& machineDir, std::string* error) {
  std::lock_guard lock(gMutex);
  return OpenStore(machineDir, true, error);
}

NTSTATUS RestoreKey(const KeyImage& image) {
  static const std::u16string rel = u"SYSTEM\\DISK";
  std::lock_guard lock(gMutex);
  return InTransaction(Describe(rel), [&] {
    // A key made anew takes the spelling it had.
    const std::u16string& spelled = Upper(image.path) == Upper(rel) ? image.path : rel;
    NTSTATUS st = CreateLocked(spelled, image.hasClass ? &image.className : nullptr, true, nullptr);
    if (!NT_SUCCESS(st)) return st;
    const int64_t id = KeyId(rel);
    {
      Stmt c("UPDATE keys SET class = ? WHERE id = ?");
      if (!c.ok()) return STATUS_UNSUCCESSFUL;
      if (image.hasClass) c.Text(1, image.className);  // else NULL: no class
      c.Int(2, id);
      if (c.Step() != SQLITE_DONE) return STATUS_UNSUCCESSFUL;
    }
    // Values the backup does not hold go, except "Information", which the restore
    // replaces last so its backups see the key as restored.
    backups::KeyImage now;
    if (!KeyImageLocked(id, &now)) return STATUS_UNSUCCESSFUL;
    for (const auto& v : now.values) {
      bool kept = false;
      for (const auto& w : image.values) kept = kept || Upper(w.name) == Upper(v.name);
      if (!kept && !IsInformation(rel, v.name) && !NT_SUCCESS(st = RemoveLocked(rel, v.name))) return st;
    }
    for (int pass = 0; pass < 2; ++pass)
      for (const auto& v : image.values) {
        if (IsInformation(rel, v.name) != (pass == 1)) continue;
        st = PutLocked(rel, v.name, v.type, v.data.data(), v.data.size());
        if (!NT_SUCCESS(st)) return st;
      }
    return STATUS_SUCCESS;
  });
}

}  // namespace backups

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
  return NT_SUCCESS(InTransaction(Describe(rel, &name), [&] {
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
