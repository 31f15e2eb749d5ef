// Alerts: kinds registered by GUID and message id; each raised alert is kept in memory
// and appended to the booted machine's alerts.log as one JSON object per line, each
// line written whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "internal.h"
#include "machine.h"
#include "overlay.h"
#include "status.h"

namespace zmi {
namespace {

struct Kind {
  GUID guid;
  ZM_OBJECT_ID id;
  uint32_t messageId;
  GUID catalog;
  std::string text;
  std::string provider;
};

std::mutex gMutex;
std::vector<Kind> gKinds;
std::vector<zm::AlertRecord> gAlerts;

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::string GuidText(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return buf;
}

std::string Json(const std::string& s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        o += "\\\"";
        break;
      case '\\':
        o += "\\\\";
        break;
      case '\n':
        o += "\\n";
        break;
      case '\r':
        o += "\\r";
        break;
      case '\t':
        o += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          o += buf;
        } else {
          o += static_cast<char>(c);
        }
    }
  }
  return o + "\"";
}

zm::AlertLogFailures gLogFailures;  // under gMutex

void LogFailure(const std::string& why) {
  ++gLogFailures.count;
  gLogFailures.last = why;
}

// Appends one line with a single write() on an O_APPEND descriptor, then fsync, so a
// line is whole or, after a crash or a full file system, cut at its end only. A cut
// line left by an earlier failure is ended first, so a new line is never glued to it.
void AppendToLog(const zm::AlertRecord& a, const std::string& provider) {
  // A dry run keeps no alert, and a machine booted only to read is not written.
  if (!ntp::IsBooted() || ntp::OverlayActive() || ntp::BootedReadOnly()) return;
  std::string line = "{\"time\":" + std::to_string(a.time) + ",\"severity\":" + std::to_string(a.severity) +
                     ",\"kind\":" + Json(GuidText(a.kind));
  char id[16];
  std::snprintf(id, sizeof id, "0x%08X", a.messageId);
  line += ",\"message_id\":" + Json(id) + ",\"provider\":" + Json(provider) +
          ",\"text\":" + Json(Utf8(Utf16(a.text))) + ",\"inserts\":[";
  for (size_t i = 0; i < a.inserts.size(); ++i) line += (i ? "," : "") + Json(Utf8(a.inserts[i]));
  line += "]}\n";
  const std::string path = ntp::MachineDir() + "/alerts.log";
  ZMSTATUS injected;
  if (Enter(kAlertsLogAppend, &injected)) {
    LogFailure("cannot append to " + path + ": injected fault");
    return;
  }
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    LogFailure("cannot append to " + path + ": " + std::strerror(errno));
    return;
  }
  struct stat st {};
  char last = '\n';
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    int rd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (rd < 0 || pread(rd, &last, 1, st.st_size - 1) != 1) last = '\n';
    if (rd >= 0) close(rd);
  }
  if (last != '\n') line.insert(line.begin(), '\n');
  ssize_t n;
  do {
    n = write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  std::string why;
  if (n < 0)
    why = std::strerror(errno);
  else if (size_t(n) != line.size())
    why = "only " + std::to_string(n) + " of " + std::to_string(line.size()) + " bytes were written";
  else if (fsync(fd) != 0)
    why = std::strerror(errno);
  close(fd);
  if (!why.empty()) LogFailure("cannot append to " + path + ": " + why);
}

}  // namespace

void ResetAlerts() {
  std::lock_guard<std::mutex> g(gMutex);
  gKinds.clear();
  gAlerts.clear();
}

}  // namespace zmi

extern "C" {

ZMSTATUS ZmRegisterAlertObject(ZM_HANDLE db, ZM_HANDLE prov, const GUID* alertGuid, uint32_t /*one*/,
                               const GUID* catalog, uint32_t messageId, const char* defaultText,
                               ZM_OBJECT_ID* id, uint32_t /*zero*/) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kZmRegisterAlertObject, &s)) return s;
  if (alertGuid == nullptr) return E_INVALIDARG_ZM;
  if (!zmi::IsDatabase(db) || zmi::AsProvider(prov) == nullptr) return ZM_E_INVALID_HANDLE;
  std::string provider = zmi::ProviderName(prov);
  std::lock_guard<std::mutex> g(zmi::gMutex);
  zmi::Kind* k = nullptr;
  for (auto& x : zmi::gKinds)
    if (zmi::SameGuid(x.guid, *alertGuid)) k = &x;
  // Registering a kind again keeps its id and takes the new message and text.
  if (k == nullptr) {
    zmi::gKinds.push_back(zmi::Kind{*alertGuid, zmi::NewId(), 0, {}, {}, {}});
    k = &zmi::gKinds.back();
  }
  k->messageId = messageId;
  k->catalog = catalog != nullptr ? *catalog : GUID{};
  k->text = defaultText != nullptr ? defaultText : "";
  k->provider = provider;
  if (id != nullptr) *id = k->id;
  return ZM_S_OK;
}

ZMSTATUS GetAlertObjectId(const GUID* alertGuid, ZM_OBJECT_ID* id) {
  ZMSTATUS s;
  if (id != nullptr) *id = 0;
  if (zmi::Enter(zmi::kGetAlertObjectId, &s)) return s;
  if (alertGuid == nullptr || id == nullptr) return E_INVALIDARG_ZM;
  std::lock_guard<std::mutex> g(zmi::gMutex);
  for (const auto& k : zmi::gKinds)
    if (zmi::SameGuid(k.guid, *alertGuid)) {
      *id = k.id;
      return ZM_S_OK;
    }
  return ZM_E_NO_ALERT;
}

ZMSTATUS ZmRaiseAlert(ZM_HANDLE prov, ZM_OBJECT_ID alertId, uint32_t insertCount, ...) {
  ZMSTATUS s;
  if (zmi::Enter(zmi::kZmRaiseAlert, &s)) return s;
  if (zmi::AsProvider(prov) == nullptr) return ZM_E_INVALID_HANDLE;
  zm::AlertRecord a{};
  a.time = static_cast<uint64_t>(std::time(nullptr));
  std::string provider;
  {
    std::lock_guard<std::mutex> g(zmi::gMutex);
    const zmi::Kind* k = nullptr;
    for (const auto& x : zmi::gKinds)
      if (x.id == alertId) k = &x;
    if (k == nullptr) return ZM_E_NO_ALERT;
    a.kind = k->guid;
    a.messageId = k->messageId;
    a.severity = k->messageId >> 30;
    a.text = k->text;
    provider = k->provider;
  }
  va_list ap;
  va_start(ap, insertCount);
  for (uint32_t i = 0; i < insertCount; ++i) {
    const WCHAR* w = va_arg(ap, const WCHAR*);
    a.inserts.push_back(w != nullptr ? std::u16string(w) : std::u16string());  // a null insert reads as empty
  }
  va_end(ap);
  std::lock_guard<std::mutex> g(zmi::gMutex);
  zmi::AppendToLog(a, provider);
  zmi::gAlerts.push_back(std::move(a));
  return ZM_S_OK;
}

}  // extern "C"

namespace zm {

std::vector<AlertRecord> Alerts() {
  std::lock_guard<std::mutex> g(zmi::gMutex);
  return zmi::gAlerts;
}

AlertLogFailures FailedAlertAppends() {
  std::lock_guard<std::mutex> g(zmi::gMutex);
  return zmi::gLogFailures;
}

std::string TakeWriteFailures() {
  static uint64_t alertsSeen = 0;  // failed appends told already
  const auto reg = ntp::RequestScope::TakeWriteFailures();
  const auto alerts = FailedAlertAppends();
  std::string text;
  if (reg.count > 0) {
    const uint64_t n = reg.count;
    text += "the registry update failed (" + reg.last +
            (n > 1 ? "; " + std::to_string(n) + " registry writes failed" : std::string()) +
            "): the stored configuration may not match the disks until a 'rescan' succeeds";
  }
  if (alerts.count > alertsSeen) {
    if (!text.empty()) text += "; ";
    text += "an alert was not recorded (" + alerts.last + ")";
  }
  alertsSeen = alerts.count;
  return text;
}

}  // namespace zm
