#include "testutil.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "provider.h"

namespace testutil {

TempDir::TempDir() {
  path = (std::filesystem::temp_directory_path() / "ftdisk-test-XXXXXX").string();
  if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
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

std::string ReadFile(const std::string& file) {
  std::ifstream f(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

std::string ReadAt(const std::string& file, uint64_t offset, size_t n) {
  std::string b(n, '\0');
  std::ifstream f(file, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  f.read(b.data(), static_cast<std::streamsize>(n));
  b.resize(static_cast<size_t>(f.gcount()));
  return b;
}

void WriteAt(const std::string& file, uint64_t offset, const std::string& bytes) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Sfdisk(const std::string& image, const std::string& script) {
  return Run("printf %s " + Quote(script) + " | sfdisk --no-reread --no-tell-kernel -q " + Quote(image) +
             " 2>&1") == 0;
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
    if (p["type"] != "5" && p["type"] != "f" && p["type"] != "85") out.push_back({p["start"], p["size"]});
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

Machine::~Machine() { Shutdown(); }

// Machine() lets CreateMachine name every image.
std::string Machine::image(unsigned disk) const {
  return tmp_.path + "/disks/disk" + std::to_string(disk) + ".img";
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

// The ids one of the host's list calls returns through (count, ids), freed after copying.
template <typename List>
static std::vector<ZM_OBJECT_ID> Ids(List list) {
  uint32_t n = 0;
  ZM_OBJECT_ID* ids = nullptr;
  std::vector<ZM_OBJECT_ID> v;
  if (list(&n, &ids) == 0 && ids != nullptr) v.assign(ids, ids + n);
  _ZmFree(ids, __FILE__, __LINE__);
  return v;
}

std::vector<ZM_OBJECT_ID> Objects(uint32_t type) {
  return Ids([&](uint32_t* n, ZM_OBJECT_ID** ids) { return DbGetObjects(zm::Database(), type, n, ids); });
}

std::vector<ZM_OBJECT_ID> Children(ZM_OBJECT_ID id, uint32_t type) {
  return Ids(
      [&](uint32_t* n, ZM_OBJECT_ID** ids) { return ObGetChildObjects(zm::Database(), id, type, n, ids); });
}

std::vector<ZM_OBJECT_ID> Parents(ZM_OBJECT_ID id, uint32_t type) {
  return Ids(
      [&](uint32_t* n, ZM_OBJECT_ID** ids) { return ObGetParentObjects(zm::Database(), id, type, n, ids); });
}

// A property's type and bytes; type 0 (no type of the host's) when the object has none.
static std::pair<uint32_t, std::string> Prop(ZM_OBJECT_ID id, const char* name) {
  ZM_PROPERTY* r = nullptr;
  std::pair<uint32_t, std::string> v;
  if (ObGetProperty(zm::Database(), id, name, &r) == 0 && r != nullptr)
    v = {r->Type, r->Value ? std::string(static_cast<const char*>(r->Value), r->Size) : ""};
  _ZmFree(r, __FILE__, __LINE__);
  return v;
}

uint32_t ValueType(ZM_OBJECT_ID id, const char* name) { return Prop(id, name).first; }

uint64_t PropU64(ZM_OBJECT_ID id, const char* name) {
  // An 8-, 4- or 1-byte value widened (the host stores them little-endian, as this machine).
  const std::string b = Prop(id, name).second;
  uint64_t v = 0;
  if (b.size() == 8 || b.size() == 4 || b.size() == 1) memcpy(&v, b.data(), b.size());
  return v;
}

std::u16string PropString(ZM_OBJECT_ID id, const char* name) {
  auto [type, b] = Prop(id, name);
  std::u16string v(b.size() / 2, u'\0');
  memcpy(v.data(), b.data(), v.size() * 2);
  return type == ZM_TYPE_STRING ? v.substr(0, v.find_last_not_of(u'\0') + 1) : u"";
}

bool HasProp(ZM_OBJECT_ID id, const char* name) { return Prop(id, name).first != 0; }

ZM_OBJECT_ID DiskObject(unsigned index) {
  std::u16string want = u"\\Device\\Harddisk" + Widen(std::to_string(index));
  for (ZM_OBJECT_ID d : Objects(ZM_OBJ_DISK))
    if (PropString(d, "\\Device\\") == want) return d;
  return 0;
}

void SetU64(ZM_OBJECT_ID id, const char* name, uint64_t value) {
  ZM_PROPERTY r{name, ZM_TYPE_UINT64, 0, 8, &value};
  EXPECT_EQ(ObSetProperty(zm::Database(), id, &r), 0u) << name;
}

void SetU32(ZM_OBJECT_ID id, const char* name, uint32_t value) {
  ZM_PROPERTY r{name, ZM_TYPE_UINT32, 0, 4, &value};
  EXPECT_EQ(ObSetProperty(zm::Database(), id, &r), 0u) << name;
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
  Result r;
  r.rc = Run("printf %s " + Quote(input) + " | " + env + " FTDISK_MODULE=" + Quote(FTDISK_MODULE_PATH) + " " +
                 Quote(FTDISKCTL_PATH) + " " + args + " 2> " + Quote(t.path + "/err"),
             &r.out);
  r.err = ReadFile(t.path + "/err");
  return r;
}

testing::AssertionResult Fails(const Result& r, const std::string& says, int rc) {
  if (r.rc == rc && r.err.find(says) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "exit " << r.rc << " (want " << rc << ") saying: " << r.err
                                     << "(want \"" << says << "\")";
}

CtlMachine::CtlMachine(const std::string& disks) {
  Result r = Ctl("init " + Quote(dir) + " " + disks);
  if (r.rc == 0) r = On("show");
  if (r.rc != 0) throw std::runtime_error("init or first boot failed: " + r.err);
}

}  // namespace testutil
