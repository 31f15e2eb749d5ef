// One boot of a machine for a program that drives the provider, the requests it sends and
// the database reads it makes.
#include "boot.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "hive.h"
#include "machine.h"
#include "ntplatform.h"
#include "overlay.h"
#include "registry_store.h"
#include "table_backups.h"

namespace zm {

namespace {

constexpr const char16_t* kDiskKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";

}  // namespace

bool BootImageMachine(const ImageSource& source, std::string* error) {
  std::vector<ntp::reg::ImportValue> values;
  std::string e;
  if (!source.hive.empty()) {
    ntp::hive::Values disk;
    if (!ntp::hive::ReadDiskKey(source.hive, &disk, &e)) {
      *error = "cannot read the hive '" + source.hive + "': " + e;
      return false;
    }
    for (auto& v : disk) values.push_back({kDiskKey, v.name, v.type, std::move(v.data)});
  } else if (!source.reg.empty() && !ntp::reg::ParseRegFile(source.reg, &values, &e)) {
    *error = e;  // it names the file and the line
    return false;
  }
  return ntp::BootImages(source.images, values, error);
}

std::string SelfPath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string ModulePath() {
  for (const char* var : {"FTDISK_MODULE", "FTDISK_PROVIDER"}) {
    const char* v = std::getenv(var);
    if (v != nullptr && *v != '\0') return v;
  }
  std::filesystem::path dir = std::filesystem::path(SelfPath()).parent_path();
  std::filesystem::path here = dir / "libftdisk.so";
#ifdef FTDISK_MODULE_RELDIR
  // Installed: the module sits in the program's library directory.
  std::error_code ec;
  std::filesystem::path installed = dir / FTDISK_MODULE_RELDIR / "libftdisk.so";
  if (!std::filesystem::exists(here, ec) && std::filesystem::exists(installed, ec))
    return installed.lexically_normal().string();
#endif
  return here.string();
}

bool Session::Open(const std::string& dir, bool noWait, std::string* error) {
  if (open_) {
    if (dir == dir_) return true;
    *error = "this shell works on machine '" + dir_ + "', not '" + dir + "'";
    return false;
  }
  dir_ = dir;
  std::string err;
  if (images()) {
    if (!BootImageMachine(images_, &err)) {
      *error = "cannot look at the images: " + err;
      return false;
    }
  } else {
    // A machine that has booted before and lost machine.toml is refused by the boot,
    // with the way on.
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::path(dir) / "machine.toml", ec) &&
        !ntp::reg::HadStore(dir)) {
      *error = "'" + dir + "' is not a machine directory (no machine.toml; make one with 'ftdiskctl init " +
               dir + "')";
      return false;
    }
    ntp::BootOptions boot;
    boot.mode = noWait ? ntp::LockMode::NoWait : ntp::LockMode::Wait;
    boot.readOnly = readOnly_;
    boot.onWait = waitNotice_;
    if (!ntp::Boot(dir, boot, &err)) {
      *error = "cannot open machine '" + dir + "': " + err;
      return false;
    }
  }
  platform_ = true;
  if (overlay_ && !ntp::BeginOverlay(&err)) {
    *error = "cannot dry-run on machine '" + dir + "': " + err;
    Close();
    return false;
  }
  Start();
  host_ = true;
  std::string module = ModulePath();
  provider_ = LoadProvider(module, u"ftdisk", &err);
  if (provider_ == nullptr) {
    *error = "cannot load the provider module '" + module + "': " + err;
    Close();
    return false;
  }
  // Publishes the letters the boot derived and the file systems found on the volumes,
  // then tells the providers that the start is complete.
  InitializationComplete();
  WaitIdle();
  open_ = true;
  return true;
}

void Session::RefreshBuiltin(const std::u16string& name) {
  ZM_HANDLE h = nullptr;
  if (PrGetProviderByName(Database(), name.c_str(), &h) != 0 || h == nullptr) return;
  PropSet in, out;
  ZM_OBJECT_ID rid = 0;
  PrCallProvider(h, 0, OPCLASS_LAYOUT, OP_REFRESH, in.get(), out.get(), 0, 0, nullptr, nullptr, &rid);
  WaitIdle();
}

void Session::Close() {
  if (host_) {
    WaitIdle();
    UnloadProviders();
    Stop();
    host_ = false;
  }
  if (platform_) {
    ntp::Shutdown();
    platform_ = false;
  }
  provider_ = nullptr;
  open_ = false;
}

ZMSTATUS Session::Control(ZM_OBJECT_ID id, uint32_t cls, uint32_t code, ZM_PROPSET in, ZM_PROPSET out,
                          ZM_OBJECT_ID* resultId) {
  ZMSTATUS st = zm::Control(provider_, id, cls, code, in, out, resultId);
  WaitIdle();
  return st;
}

size_t Session::AlertCount() const { return Alerts().size(); }

std::vector<AlertRecord> Session::AlertsSince(size_t mark) const {
  auto all = Alerts();
  if (mark >= all.size()) return {};
  return std::vector<AlertRecord>(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Widen(const std::string& s) {
  // The front end's own strings are ASCII (names, letters, device paths).
  std::u16string out;
  for (unsigned char c : s) out += static_cast<char16_t>(c);
  return out;
}

namespace {

struct Record {
  ZM_PROPERTY* rec = nullptr;
  ~Record() {
    if (rec) _ZmFree(rec, __FILE__, __LINE__);
  }
};

}  // namespace

bool DecodeU64(uint32_t type, const void* v, size_t size, uint64_t* value) {
  if (v == nullptr) return false;
  switch (type) {
    case ZM_TYPE_UINT8:
    case ZM_TYPE_BOOL:
      if (size < 1) return false;
      *value = *static_cast<const uint8_t*>(v);
      return true;
    case ZM_TYPE_UINT32: {
      if (size < 4) return false;
      uint32_t x;
      std::memcpy(&x, v, 4);
      *value = x;
      return true;
    }
    case ZM_TYPE_UINT64:
    case ZM_TYPE_OBJECT_ID: {
      if (size < 8) return false;
      uint64_t x;
      std::memcpy(&x, v, 8);
      *value = x;
      return true;
    }
    default:
      return false;
  }
}

namespace {

// A string value: at most size bytes, up to the terminator; a value without one is no string.
bool DecodeString(uint32_t type, const void* v, size_t size, std::string* value) {
  if (v == nullptr || type != ZM_TYPE_STRING || size < 2) return false;
  size_t units = size / 2;
  std::u16string s;
  const char* p = static_cast<const char*>(v);
  for (size_t i = 0; i < units; ++i) {
    char16_t c;
    std::memcpy(&c, p + 2 * i, 2);
    if (c == 0) {
      *value = Narrow(s);
      return true;
    }
    s += c;
  }
  return false;
}

}  // namespace

bool PropU64(ZM_OBJECT_ID id, const char* name, uint64_t* value) {
  Record r;
  if (ObGetProperty(Database(), id, name, &r.rec) != 0 || r.rec == nullptr) return false;
  return DecodeU64(r.rec->Type, r.rec->Value, r.rec->Size, value);
}

bool PropString(ZM_OBJECT_ID id, const char* name, std::string* value) {
  Record r;
  if (ObGetProperty(Database(), id, name, &r.rec) != 0 || r.rec == nullptr) return false;
  return DecodeString(r.rec->Type, r.rec->Value, r.rec->Size, value);
}

namespace {

std::vector<ZM_OBJECT_ID> TakeIds(ZMSTATUS st, uint32_t count, ZM_OBJECT_ID* ids) {
  std::vector<ZM_OBJECT_ID> out;
  if (st == 0 && ids != nullptr) out.assign(ids, ids + count);
  if (ids != nullptr) _ZmFree(ids, __FILE__, __LINE__);
  return out;
}

}  // namespace

std::vector<ZM_OBJECT_ID> ObjectsOfType(uint32_t type) {
  uint32_t n = 0;
  ZM_OBJECT_ID* ids = nullptr;
  ZMSTATUS st = DbGetObjects(Database(), type, &n, &ids);
  return TakeIds(st, n, ids);
}

std::vector<ZM_OBJECT_ID> ChildrenOf(ZM_OBJECT_ID id, uint32_t type) {
  uint32_t n = 0;
  ZM_OBJECT_ID* ids = nullptr;
  ZMSTATUS st = ObGetChildObjects(Database(), id, type, &n, &ids);
  return TakeIds(st, n, ids);
}

std::vector<ZM_OBJECT_ID> ParentsOf(ZM_OBJECT_ID id, uint32_t type) {
  uint32_t n = 0;
  ZM_OBJECT_ID* ids = nullptr;
  ZMSTATUS st = ObGetParentObjects(Database(), id, type, &n, &ids);
  return TakeIds(st, n, ids);
}

uint32_t ObjectType(ZM_OBJECT_ID id) {
  uint32_t t = 0;
  if (ObGetObjectType(Database(), id, &t) != 0) return 0;
  return t;
}

PropSet::PropSet() { PsCreatePropset(&set_); }
PropSet::~PropSet() {
  if (set_) PsDestroyPropset(set_);
}

void PropSet::AddU64(const char* name, uint64_t v) {
  ZM_PROPERTY p{name, ZM_TYPE_UINT64, 0, 8, &v};
  PsAddProperty(set_, &p);
}

void PropSet::AddU32(const char* name, uint32_t v) {
  ZM_PROPERTY p{name, ZM_TYPE_UINT32, 0, 4, &v};
  PsAddProperty(set_, &p);
}

void PropSet::AddString(const char* name, const std::u16string& v) {
  std::u16string copy = v;
  ZM_PROPERTY p{name, ZM_TYPE_STRING, 0, static_cast<uint32_t>((copy.size() + 1) * 2), copy.data()};
  PsAddProperty(set_, &p);
}

bool PropSet::FindU64(const char* name, uint64_t* v) const {
  ZM_PROPERTY* rec = nullptr;
  if (PsFindProperty(set_, name, &rec) != 0 || rec == nullptr) return false;
  bool ok = false;
  if (rec->Value != nullptr && rec->Size >= 8 &&
      (rec->Type == ZM_TYPE_UINT64 || rec->Type == ZM_TYPE_OBJECT_ID)) {
    std::memcpy(v, rec->Value, 8);
    ok = true;
  }
  _ZmFree(rec, __FILE__, __LINE__);
  return ok;
}
NTSTATUS ReadDriveLayout(HANDLE disk, std::vector<uint8_t>* buf) {
  IO_STATUS_BLOCK iosb{};
  NTSTATUS st = STATUS_UNSUCCESSFUL;
  buf->assign(16040, 0);
  for (int tries = 0; tries < 8; ++tries) {
    st = NtDeviceIoControlFile(disk, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr,
                               0, buf->data(), static_cast<ULONG>(buf->size()));
    if (st != STATUS_BUFFER_TOO_SMALL) break;
    buf->resize(buf->size() * 2);
  }
  return st;
}

size_t LayoutEntries(const std::vector<uint8_t>& buf) {
  constexpr size_t kHead = offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry);
  if (buf.size() < kHead) return 0;
  DRIVE_LAYOUT_INFORMATION head;
  std::memcpy(&head, buf.data(), kHead);
  return std::min<size_t>(head.PartitionCount, (buf.size() - kHead) / sizeof(PARTITION_INFORMATION));
}

NTSTATUS ReadDriveLayout(HANDLE disk, DriveLayout* layout) {
  *layout = DriveLayout();
  std::vector<uint8_t> buf;
  const NTSTATUS st = ReadDriveLayout(disk, &buf);
  if (!NT_SUCCESS(st)) return st;
  if (buf.size() < offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry)) return STATUS_UNSUCCESSFUL;
  DRIVE_LAYOUT_INFORMATION head;
  std::memcpy(&head, buf.data(), offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry));
  layout->partitionCount = head.PartitionCount;
  layout->signature = head.Signature;
  const auto* first = reinterpret_cast<const PARTITION_INFORMATION*>(
      buf.data() + offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry));
  layout->entries.assign(first, first + LayoutEntries(buf));
  return st;
}

RequestOutcome RunRequest(Session& s, const std::string& command, ZM_OBJECT_ID id, uint32_t cls,
                          uint32_t code, const PropSet& in, bool dryRun) {
  RequestOutcome r;
  const size_t mark = s.AlertCount();
  ntp::RequestScope scope;  // the platform's reasons for this request
  ntp::table_backups::TableBackup backup;
  if (!dryRun) backup.Before(command);
  PropSet out;
  r.status = s.Control(id, cls, code, in.get(), out.get(), &r.resultId);
  if (!dryRun) {
    std::ostringstream warnings;
    r.backups = backup.After(warnings);
    r.backupWarnings = warnings.str();
  }
  s.RefreshBuiltin(u"fsys");
  r.alerts = s.AlertsSince(mark);
  if (uint64_t member = 0; out.FindU64("MEMBERID", &member)) r.member = member;
  r.reason = scope.StatusOf(r.status);
  return r;
}

}  // namespace zm
