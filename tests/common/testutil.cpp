#include "testutil.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "provider.h"

namespace testutil {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "ftdisk-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  char* p = mkdtemp(buf.data());
  if (p == nullptr) throw std::runtime_error("mkdtemp failed");
  path = p;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

int Run(const std::string& command, std::string* out) {
  FILE* f = popen(command.c_str(), "r");
  if (f == nullptr) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  int rc = pclose(f);
  if (out != nullptr) *out = text;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool Sfdisk(const std::string& image, const std::string& script) {
  std::string file = image + ".sfdisk";
  {
    std::ofstream o(file);
    o << script;
  }
  int rc = Run("sfdisk --no-reread --no-tell-kernel -q '" + image + "' < '" + file + "' 2>&1");
  std::filesystem::remove(file);
  return rc == 0;
}

nlohmann::json SfdiskJson(const std::string& image) {
  std::string out;
  if (Run("sfdisk --json '" + image + "' 2>/dev/null", &out) != 0) return nlohmann::json();
  // sfdisk prints notes (such as an omitted empty link entry) before its JSON.
  size_t brace = out.find('{');
  if (brace == std::string::npos) return nlohmann::json();
  return nlohmann::json::parse(out.substr(brace), nullptr, false);
}

std::vector<std::pair<uint64_t, uint64_t>> SfdiskData(const std::string& image) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  nlohmann::json j = SfdiskJson(image);
  if (!j.contains("partitiontable")) return out;
  for (const auto& p : j["partitiontable"].value("partitions", nlohmann::json::array()))
    if (p["type"] != "5" && p["type"] != "f") out.push_back({p["start"], p["size"]});
  std::sort(out.begin(), out.end());
  return out;
}

Machine::Machine(const std::vector<uint64_t>& diskBytes, unsigned cdroms) {
  std::vector<std::pair<uint64_t, ntp::DiskConfig>> disks;
  for (uint64_t b : diskBytes) disks.push_back({b, ntp::DiskConfig{}});
  std::vector<ntp::CdromConfig> cds(cdroms);
  std::string err;
  if (!ntp::CreateMachine(dir(), disks, cds, &err)) throw std::runtime_error("CreateMachine: " + err);
}

Machine::~Machine() {
  if (booted_) Shutdown();
}

std::string Machine::image(unsigned disk) const {
  ntp::MachineConfig cfg;
  std::string err;
  if (!ntp::LoadMachineConfig(tmp_.path, &cfg, &err) || disk >= cfg.disks.size()) return "";
  std::filesystem::path p(cfg.disks[disk].image);
  return p.is_absolute() ? p.string() : (std::filesystem::path(tmp_.path) / p).string();
}

void Machine::Boot() {
  std::string err;
  if (!ntp::Boot(tmp_.path, ntp::LockMode::NoWait, &err)) throw std::runtime_error("Boot: " + err);
  zm::Start();
  booted_ = true;
}

ZM_HANDLE Machine::Provider() {
  if (provider_ == nullptr) {
    std::string err;
    provider_ = zm::RegisterProvider(&ProviderEntry, u"ftdisk", &err);
    if (provider_ == nullptr) throw std::runtime_error("RegisterProvider: " + err);
    zm::InitializationComplete();
    zm::WaitIdle();
  }
  return provider_;
}

void Machine::Shutdown() {
  if (!booted_) return;
  zm::WaitIdle();
  zm::UnloadProviders();
  zm::Stop();
  ntp::Shutdown();
  provider_ = nullptr;
  booted_ = false;
}

static std::vector<ZM_OBJECT_ID> TakeIds(ZMSTATUS s, uint32_t count, ZM_OBJECT_ID* ids) {
  std::vector<ZM_OBJECT_ID> v;
  if (s == 0 && ids != nullptr) v.assign(ids, ids + count);
  _ZmFree(ids, __FILE__, __LINE__);
  return v;
}

std::vector<ZM_OBJECT_ID> Objects(uint32_t type) {
  uint32_t n = 0;
  ZM_OBJECT_ID* ids = nullptr;
  ZMSTATUS s = DbGetObjects(zm::Database(), type, &n, &ids);
  return TakeIds(s, n, ids);
}

std::vector<ZM_OBJECT_ID> Children(ZM_OBJECT_ID id, uint32_t type) {
  uint32_t n = 0;
  ZM_OBJECT_ID* ids = nullptr;
  ZMSTATUS s = ObGetChildObjects(zm::Database(), id, type, &n, &ids);
  return TakeIds(s, n, ids);
}

std::vector<ZM_OBJECT_ID> Parents(ZM_OBJECT_ID id, uint32_t type) {
  uint32_t n = 0;
  ZM_OBJECT_ID* ids = nullptr;
  ZMSTATUS s = ObGetParentObjects(zm::Database(), id, type, &n, &ids);
  return TakeIds(s, n, ids);
}

uint64_t PropU64(ZM_OBJECT_ID id, const char* name) {
  ZM_PROPERTY* r = nullptr;
  uint64_t v = 0;
  // An 8-, 4- or 1-byte value widened (the host stores them little-endian, as this machine).
  if (ObGetProperty(zm::Database(), id, name, &r) == 0 && r != nullptr && r->Value != nullptr &&
      (r->Size == 8 || r->Size == 4 || r->Size == 1))
    memcpy(&v, r->Value, r->Size);
  _ZmFree(r, __FILE__, __LINE__);
  return v;
}

std::u16string PropString(ZM_OBJECT_ID id, const char* name) {
  ZM_PROPERTY* r = nullptr;
  std::u16string v;
  if (ObGetProperty(zm::Database(), id, name, &r) == 0 && r != nullptr && r->Type == ZM_TYPE_STRING &&
      r->Value != nullptr && r->Size >= 2) {
    const char16_t* p = static_cast<const char16_t*>(r->Value);
    size_t n = r->Size / 2;
    while (n > 0 && p[n - 1] == 0) --n;
    v.assign(p, n);
  }
  _ZmFree(r, __FILE__, __LINE__);
  return v;
}

bool HasProp(ZM_OBJECT_ID id, const char* name) {
  ZM_PROPERTY* r = nullptr;
  bool ok = ObGetProperty(zm::Database(), id, name, &r) == 0 && r != nullptr;
  _ZmFree(r, __FILE__, __LINE__);
  return ok;
}

ZM_OBJECT_ID DiskObject(unsigned index) {
  std::u16string want = u"\\Device\\Harddisk" + Widen(std::to_string(index));
  for (ZM_OBJECT_ID d : Objects(ZM_OBJ_DISK))
    if (PropString(d, "\\Device\\") == want) return d;
  return 0;
}

void AddU64(ZM_PROPSET set, const char* name, uint64_t value) {
  ZM_PROPERTY r{name, ZM_TYPE_UINT64, 0, 8, &value};
  PsAddProperty(set, &r);
}

void AddU32(ZM_PROPSET set, const char* name, uint32_t value) {
  ZM_PROPERTY r{name, ZM_TYPE_UINT32, 0, 4, &value};
  PsAddProperty(set, &r);
}

void AddString(ZM_PROPSET set, const char* name, const std::u16string& value) {
  ZM_PROPERTY r{name, ZM_TYPE_STRING, 0, static_cast<uint32_t>((value.size() + 1) * 2),
                const_cast<char16_t*>(value.c_str())};
  PsAddProperty(set, &r);
}

std::string Narrow(const std::u16string& s) {
  std::string o;
  for (char16_t c : s) o.push_back(c < 128 ? static_cast<char>(c) : '?');
  return o;
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Result Ctl(const std::string& args, const std::string& input, const std::string& env) {
  TempDir t;
  std::string cmd =
      env + " FTDISK_MODULE=" + Quote(FTDISK_MODULE_PATH) + " " + Quote(FTDISKCTL_PATH) + " " + args;
  if (!input.empty()) {
    std::ofstream(t.path + "/in") << input;
    cmd += " < " + Quote(t.path + "/in");
  } else {
    cmd += " < /dev/null";
  }
  cmd += " 2> " + Quote(t.path + "/err");
  Result r;
  r.rc = Run(cmd, &r.out);
  std::ifstream f(t.path + "/err");
  r.err.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return r;
}

CtlMachine::CtlMachine(const std::string& disks) {
  Result r = Ctl("init " + Quote(dir) + " " + disks);
  if (r.rc == 0) r = On("show");
  if (r.rc != 0) throw std::runtime_error("init or first boot failed: " + r.err);
}

}  // namespace testutil
