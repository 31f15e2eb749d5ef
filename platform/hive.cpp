// NT registry hive files through libhivex: the DISK key of a SYSTEM hive.
#include "hive.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "ftstate.h"
#include "registry_internal.h"

namespace ntp::hive {

namespace {

constexpr uint32_t kRegSz = 1, kRegBinary = 3;
constexpr size_t kBaseBlock = 4096, kBin = 4096;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  for (int i = 0; i < 2; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// The base block's checksum: the XOR of its first 127 double words, with 0 and ~0
// reserved.
uint32_t HeaderChecksum(const uint8_t* base) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 508; i += 4) sum ^= Get32(base + i);
  if (sum == 0xFFFFFFFFu) return 0xFFFFFFFEu;
  if (sum == 0) return 1;
  return sum;
}

// A hive stores any 32-bit type, more than the library's enumeration names: the type is
// moved in and out of it as bytes, never loaded as an enumeration value.
static_assert(sizeof(hive_type) == sizeof(uint32_t));
uint32_t TypeBits(const hive_type& t) {
  uint32_t v;
  std::memcpy(&v, &t, sizeof v);
  return v;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

struct HiveCloser {
  void operator()(hive_h* h) const { hivex_close(h); }
};
using Hive = std::unique_ptr<hive_h, HiveCloser>;

struct Freer {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Freer>;

// What the base block says, checked before libhivex sees the file so that the common
// faults get a message naming them. forWrite also refuses a hive whose last write was
// not completed: rewriting it would mark it consistent and drop what its log holds.
bool CheckHeader(const std::string& file, std::string* error, bool forWrite = false) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  std::vector<uint8_t> base(kBaseBlock);
  ssize_t got = ::fstat(fd, &st) == 0 ? ::pread(fd, base.data(), base.size(), 0) : -1;
  ::close(fd);
  if (got < 0 || !S_ISREG(st.st_mode)) {
    *error = "not a regular file";
    return false;
  }
  if (got < 4 || std::memcmp(base.data(), "regf", 4) != 0) {
    *error = "not a registry hive (it does not begin with the signature 'regf')";
    return false;
  }
  uint64_t size = uint64_t(st.st_size);
  if (size < kBaseBlock + kBin) {
    *error = "truncated: " + std::to_string(size) + " bytes, less than a base block and one hive bin (8192)";
    return false;
  }
  if (Get32(&base[0x1FC]) != HeaderChecksum(base.data())) {
    *error = "damaged: the checksum of its base block is wrong";
    return false;
  }
  if (Get32(&base[0x14]) != 1) {
    *error = "not a hive this tool can read (format version " + std::to_string(Get32(&base[0x14])) + ")";
    return false;
  }
  if (forWrite && Get32(&base[0x04]) != Get32(&base[0x08])) {
    *error = "its last write was not completed (sequence numbers " + std::to_string(Get32(&base[0x04])) +
             " and " + std::to_string(Get32(&base[0x08])) +
             " differ); let the system it belongs to recover it from its log first";
    return false;
  }
  uint64_t bins = Get32(&base[0x28]);
  if (bins < kBin || kBaseBlock + bins > size) {
    *error = "truncated: its header announces " + std::to_string(bins) +
             " bytes of hive bins, the file holds " + std::to_string(size - kBaseBlock);
    return false;
  }
  return true;
}

// Where the chain of hive bins after the base block breaks: the first bin whose header
// is not "hbin" with its own offset and a size in whole 4 KiB pages inside the bins the
// base block announces; "" when the chain is whole.
std::string BrokenBin(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  uint8_t base[kBaseBlock];
  uint64_t bins = 0;
  if (::pread(fd, base, sizeof base, 0) == ssize_t(sizeof base)) bins = Get32(&base[0x28]);
  std::string broken;
  char where[96];
  for (uint64_t off = 0; off < bins && broken.empty();) {
    uint8_t head[32] = {};
    std::snprintf(where, sizeof where, "the hive bin at file offset 0x%llX",
                  static_cast<unsigned long long>(kBaseBlock + off));
    const bool read = ::pread(fd, head, sizeof head, off_t(kBaseBlock + off)) == ssize_t(sizeof head);
    const uint32_t size = Get32(&head[8]);
    if (!read || std::memcmp(head, "hbin", 4) != 0)
      broken = std::string(where) + (read ? " has no 'hbin' signature" : " cannot be read");
    else if (Get32(&head[4]) != off)
      broken = std::string(where) + " names the wrong offset (" + std::to_string(Get32(&head[4])) + ")";
    else if (size == 0 || size % kBin != 0 || size > bins - off)
      broken = std::string(where) + " has an impossible size (" + std::to_string(size) + " bytes)";
    off += size;
  }
  ::close(fd);
  return broken;
}

Hive OpenHive(const std::string& file, int flags, std::string* error) {
  if (!CheckHeader(file, error)) return nullptr;
  errno = 0;
  Hive h(hivex_open(file.c_str(), flags));
  if (!h) {
    // libhivex says only "not supported" or "bad message": say where the damage is and
    // what to use instead.
    const std::string why = std::strerror(errno ? errno : EINVAL);
    const std::string where = BrokenBin(file);
    *error = "the hive is damaged: " + (where.empty() ? "its keys or values cannot be read" : where) +
             " (libhivex: " + why +
             "); use an intact copy of it (the .bak that 'registry export --hive' keeps, "
             "or the system's own SYSTEM.ALT)";
  }
  return h;
}

// The DISK key below the root, 0 when there is none (*error set when the lookup failed).
hive_node_h DiskNode(hive_h* h, std::string* error) {
  hive_node_h root = hivex_root(h);
  if (root == 0) {
    *error = "it has no root key";
    return 0;
  }
  errno = 0;
  hive_node_h disk = hivex_node_get_child(h, root, "DISK");
  if (disk == 0 && errno != 0) *error = std::string("its keys cannot be read: ") + std::strerror(errno);
  return disk;
}

bool ReadValues(hive_h* h, hive_node_h node, Values* values, std::string* error) {
  values->clear();
  Owned<hive_value_h> list(hivex_node_values(h, node));
  if (!list) {
    *error = std::string("the values of its DISK key cannot be read: ") + std::strerror(errno);
    return false;
  }
  for (hive_value_h* v = list.get(); *v != 0; ++v) {
    Owned<char> key(hivex_value_key(h, *v));
    hive_type type{};
    size_t len = 0;
    if (!key || hivex_value_type(h, *v, &type, &len) != 0) {
      *error = "a value of its DISK key cannot be read";
      return false;
    }
    ntp::reg::Value out;
    if (!ntp::reg::FromUtf8(key.get(), &out.name)) {
      *error = "a value of its DISK key has a name that cannot be read";
      return false;
    }
    if (len > kMaxValueBytes) {
      *error = "the value \"" + std::string(key.get()) + "\" of its DISK key is " + std::to_string(len) +
               " bytes long, more than a configuration can be";
      return false;
    }
    size_t got = 0;
    Owned<char> data(hivex_value_value(h, *v, &type, &got));
    if (!data || got != len) {
      *error = "the data of the value \"" + std::string(key.get()) + "\" of its DISK key cannot be read";
      return false;
    }
    out.type = TypeBits(type);
    out.data.assign(data.get(), data.get() + got);
    values->push_back(std::move(out));
  }
  return true;
}

bool IsCdromValue(const std::string& name) {
  static const std::string kPrefix = "\\device\\cdrom";
  std::string n = Lower(name);
  return n.size() > kPrefix.size() && n.compare(0, kPrefix.size(), kPrefix) == 0 &&
         n.find_first_not_of("0123456789", kPrefix.size()) == std::string::npos;
}

// A CD-ROM letter: "X:" in UTF-16, with or without its terminating zero.
bool CdromLetterOk(const std::vector<uint8_t>& d) {
  if (d.size() != 4 && d.size() != 6) return false;
  if (d.size() == 6 && (d[4] != 0 || d[5] != 0)) return false;
  char letter = char(std::toupper(d[0]));
  return d[1] == 0 && letter >= 'A' && letter <= 'Z' && d[2] == ':' && d[3] == 0;
}

bool FsyncPath(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

// A unique file next to `file` (FILE.tmp-XXXXXX), created empty and locked for as long
// as it is open, so that a later run tells what a killed one left from a file in use.
struct TempFile {
  std::string path;  // "" when it could not be made
  int fd = -1;
  explicit TempFile(const std::string& file) {
    std::string tmpl = file + ".tmp-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    fd = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd < 0) return;
    ::flock(fd, LOCK_EX);
    path = buf.data();
  }
  ~TempFile() {
    if (fd >= 0) ::close(fd);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
};

// Removes the temporary files an interrupted run left next to `file`: those no running
// process holds locked.
void RemoveLeftovers(const std::string& file) {
  namespace fs = std::filesystem;
  const fs::path path(file);
  const fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  const std::string prefix = path.filename().string() + ".tmp-";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (!entry.is_regular_file(ec)) continue;
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(entry.path().c_str());
    ::close(fd);
  }
}

bool WriteAll(const std::string& path, const std::vector<uint8_t>& bytes, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  bool ok = done == bytes.size() && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

bool ReadAll(const std::string& path, std::vector<uint8_t>* bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->clear();
  uint8_t buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) bytes->insert(bytes->end(), buf, buf + n);
  ::close(fd);
  return n == 0;
}

bool SameName(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           auto up = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
           return up(x) == up(y);
         });
}

}  // namespace

std::vector<uint8_t> EmptyHive() {
  std::vector<uint8_t> b(kBaseBlock + kBin, 0);
  const uint64_t now = (uint64_t(std::time(nullptr)) + 11644473600ull) * 10000000ull;  // FILETIME
  // Cells, at offsets counted from the first bin: the root key, then its security cell.
  const uint32_t kRoot = 0x20, kSecurity = 0x78, kFree = 0xF8;
  const char kRootName[] = "SYSTEM";

  // Base block.
  std::memcpy(&b[0], "regf", 4);
  Put32(b, 0x04, 1);  // primary and secondary sequence numbers equal: consistent
  Put32(b, 0x08, 1);
  Put64(b, 0x0C, now);
  Put32(b, 0x14, 1);  // format 1.3
  Put32(b, 0x18, 3);
  Put32(b, 0x1C, 0);  // primary file
  Put32(b, 0x20, 1);  // direct memory load
  Put32(b, 0x24, kRoot);
  Put32(b, 0x28, kBin);
  Put32(b, 0x2C, 1);  // clustering factor
  Put32(b, 0x1FC, HeaderChecksum(b.data()));

  // The bin.
  const size_t bin = kBaseBlock;
  std::memcpy(&b[bin], "hbin", 4);
  Put32(b, bin + 0x04, 0);
  Put32(b, bin + 0x08, kBin);
  Put64(b, bin + 0x14, now);

  // Root key cell: 4-byte size (negative: in use), then the key record and its name.
  size_t nk = bin + kRoot;
  Put32(b, nk, uint32_t(-int32_t(kSecurity - kRoot)));
  nk += 4;
  std::memcpy(&b[nk], "nk", 2);
  Put16(b, nk + 0x02, 0x2C);  // hive entry, not deletable, ASCII name
  Put64(b, nk + 0x04, now);
  Put32(b, nk + 0x10, 0xFFFFFFFFu);  // no parent
  Put32(b, nk + 0x1C, 0xFFFFFFFFu);  // no subkey lists
  Put32(b, nk + 0x20, 0xFFFFFFFFu);
  Put32(b, nk + 0x28, 0xFFFFFFFFu);  // no value list
  Put32(b, nk + 0x2C, kSecurity);
  Put32(b, nk + 0x30, 0xFFFFFFFFu);  // no class name
  Put16(b, nk + 0x48, uint16_t(sizeof kRootName - 1));
  std::memcpy(&b[nk + 0x4C], kRootName, sizeof kRootName - 1);

  // Security cell: one self-relative descriptor shared by every key (new keys inherit
  // their parent's): owner Administrators, group SYSTEM, both granted full access.
  static const uint8_t kAdmins[] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};  // S-1-5-32-544
  static const uint8_t kSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0};                 // S-1-5-18
  std::vector<uint8_t> sd(20, 0);
  sd[0] = 1;                   // revision
  sd[2] = 0x04, sd[3] = 0x80;  // DACL present, self-relative
  std::vector<uint8_t> acl(8, 0);
  acl[0] = 2;  // ACL revision
  for (const auto& sid : {std::vector<uint8_t>(std::begin(kAdmins), std::end(kAdmins)),
                          std::vector<uint8_t>(std::begin(kSystem), std::end(kSystem))}) {
    std::vector<uint8_t> ace(8, 0);
    ace[1] = 0x02;  // inherited by subkeys
    Put16(ace, 2, uint16_t(8 + sid.size()));
    Put32(ace, 4, 0x000F003F);  // full access to the key
    ace.insert(ace.end(), sid.begin(), sid.end());
    acl.insert(acl.end(), ace.begin(), ace.end());
  }
  Put16(acl, 2, uint16_t(acl.size()));
  Put16(acl, 4, 2);
  Put32(sd, 16, 20);  // DACL right after the header
  Put32(sd, 4, uint32_t(20 + acl.size()));
  Put32(sd, 8, uint32_t(20 + acl.size() + sizeof kAdmins));
  sd.insert(sd.end(), acl.begin(), acl.end());
  sd.insert(sd.end(), std::begin(kAdmins), std::end(kAdmins));
  sd.insert(sd.end(), std::begin(kSystem), std::end(kSystem));

  size_t sk = bin + kSecurity;
  Put32(b, sk, uint32_t(-int32_t(kFree - kSecurity)));
  sk += 4;
  std::memcpy(&b[sk], "sk", 2);
  Put32(b, sk + 0x04, kSecurity);  // the list of security cells holds this one only
  Put32(b, sk + 0x08, kSecurity);
  Put32(b, sk + 0x0C, 1);  // used by the root
  Put32(b, sk + 0x10, uint32_t(sd.size()));
  std::memcpy(&b[sk + 0x14], sd.data(), sd.size());

  // The rest of the bin is one free cell.
  Put32(b, bin + kFree, uint32_t(kBin - kFree));
  return b;
}

bool ReadDiskKey(const std::string& file, Values* values, std::string* error) {
  Hive h = OpenHive(file, 0, error);
  if (!h) return false;
  hive_node_h disk = DiskNode(h.get(), error);
  if (disk == 0) {
    if (error->empty()) *error = "it has no DISK key below its root (is it a SYSTEM hive?)";
    return false;
  }
  return ReadValues(h.get(), disk, values, error);
}

bool CheckDiskValues(const Values& values, Values* accepted, std::vector<std::string>* skipped,
                     std::string* error) {
  accepted->clear();
  skipped->clear();
  for (const auto& v : values) {
    std::string name = ntp::reg::ToUtf8(v.name);
    if (Lower(name) == "information") {
      if (v.type != kRegBinary) {
        *error = "its \"Information\" value has type " + std::to_string(v.type) + ", not REG_BINARY (3)";
        return false;
      }
      std::string why;
      if (!DiskRegistryValidate(v.data.data(), v.data.size(), &why)) {
        *error = "its \"Information\" value is malformed: " + why;
        return false;
      }
      accepted->push_back(v);
    } else if (IsCdromValue(name)) {
      if (v.type != kRegSz || !CdromLetterOk(v.data)) {
        *error = "its value \"" + name + "\" is not a drive letter (REG_SZ \"X:\")";
        return false;
      }
      accepted->push_back(v);
    } else {
      skipped->push_back(name);
    }
  }
  return true;
}

bool WriteDiskKey(const std::string& path, const Values& values, bool backup, WriteResult* result,
                  std::string* error, bool dryRun) {
  *result = WriteResult{};
  // Through a symbolic link the hive it names is written, not the link replaced.
  std::string file = path;
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    std::filesystem::path target = std::filesystem::canonical(path, ec);
    if (ec) {
      *error = "it is a symbolic link to a file that cannot be reached: " + ec.message();
      return false;
    }
    file = target.string();
  }
  struct stat st {};
  bool exists = ::stat(file.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) {
    *error = std::strerror(errno);
    return false;
  }
  result->created = !exists;
  mode_t mode = exists ? (st.st_mode & 07777) : 0644;
  if (exists) {
    std::string e;
    // An existing file must be a readable hive before anything is written.
    if (!CheckHeader(file, &e, true)) {
      *error = e;
      return false;
    }
  }
  if (dryRun) {
    // The values an existing DISK key holds that the write would leave alone.
    Values old;
    std::string e;
    Hive h = exists ? OpenHive(file, 0, &e) : nullptr;
    if (exists && !h) {
      *error = e;
      return false;
    }
    const hive_node_h disk = h ? DiskNode(h.get(), &e) : 0;
    if (!e.empty() || (disk != 0 && !ReadValues(h.get(), disk, &old, &e))) {
      *error = e;
      return false;
    }
    for (const auto& o : old)
      if (std::none_of(values.begin(), values.end(), [&](const auto& v) { return SameName(v.name, o.name); }))
        result->kept.push_back(ntp::reg::ToUtf8(o.name));
    if (exists && backup) result->backup = file + ".bak";
    return true;
  }
  RemoveLeftovers(file);
  RemoveLeftovers(file + ".bak");
  const TempFile made(file);
  const std::string& tmp = made.path;
  if (tmp.empty()) {
    *error = std::string("cannot make a temporary file next to it: ") + std::strerror(errno);
    return false;
  }
  auto fail = [&](const std::string& why) {
    ::unlink(tmp.c_str());
    *error = why;
    return false;
  };
  if (!exists && !WriteAll(tmp, EmptyHive(), mode))
    return fail(std::string("cannot write a new hive: ") + std::strerror(errno));

  {
    std::string e;
    Hive h = OpenHive(exists ? file : tmp, HIVEX_OPEN_WRITE, &e);
    if (!h) return fail(e);
    hive_node_h disk = DiskNode(h.get(), &e);
    if (disk == 0 && !e.empty()) return fail(e);
    if (disk == 0) disk = hivex_node_add_child(h.get(), hivex_root(h.get()), "DISK");
    if (disk == 0) return fail(std::string("cannot add the DISK key: ") + std::strerror(errno));
    Values old;
    if (!ReadValues(h.get(), disk, &old, &e)) return fail(e);
    for (const auto& o : old)
      if (std::none_of(values.begin(), values.end(), [&](const auto& v) { return SameName(v.name, o.name); }))
        result->kept.push_back(ntp::reg::ToUtf8(o.name));
    for (const auto& v : values) {
      std::string key = ntp::reg::ToUtf8(v.name);
      hive_set_value set{};
      set.key = key.data();
      std::memcpy(&set.t, &v.type, sizeof v.type);
      set.len = v.data.size();
      set.value = reinterpret_cast<char*>(const_cast<uint8_t*>(v.data.data()));
      if (hivex_node_set_value(h.get(), disk, &set, 0) != 0)
        return fail("cannot set the value \"" + key + "\": " + std::strerror(errno));
    }
    if (hivex_commit(h.get(), tmp.c_str(), 0) != 0)
      return fail(std::string("cannot write the new hive: ") + std::strerror(errno));
  }
  if (::chmod(tmp.c_str(), mode) != 0 || !FsyncPath(tmp, O_RDONLY))
    return fail(std::string("cannot flush the new hive: ") + std::strerror(errno));

  // The new file must read back with the values written before it replaces the old one.
  Values back;
  std::string e;
  if (!ReadDiskKey(tmp, &back, &e)) return fail("the new hive does not read back: " + e);
  for (const auto& v : values) {
    auto it = std::find_if(back.begin(), back.end(), [&](const auto& b) { return SameName(b.name, v.name); });
    if (it == back.end() || it->type != v.type || it->data != v.data)
      return fail("the new hive does not read back: \"" + ntp::reg::ToUtf8(v.name) + "\" differs");
  }

  if (exists && backup) {
    std::vector<uint8_t> old;
    std::string bak = file + ".bak";
    const TempFile bakMade(bak);
    const std::string& bakTmp = bakMade.path;
    if (bakTmp.empty() || !ReadAll(file, &old) || !WriteAll(bakTmp, old, mode) ||
        ::rename(bakTmp.c_str(), bak.c_str()) != 0) {
      std::string why = std::strerror(errno);
      if (!bakTmp.empty()) ::unlink(bakTmp.c_str());
      return fail("cannot keep the previous hive as " + bak + ": " + why);
    }
    result->backup = bak;
  }
  if (::rename(tmp.c_str(), file.c_str()) != 0)
    return fail(std::string("cannot replace it: ") + std::strerror(errno));
  std::filesystem::path parent = std::filesystem::path(file).parent_path();
  FsyncPath(parent.empty() ? "." : parent.string(), O_RDONLY | O_DIRECTORY);
  return true;
}

}  // namespace ntp::hive
