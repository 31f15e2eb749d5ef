// Automatic backups of the disk key (HKLM\SYSTEM\DISK) in DIR/registry-backups/, and the
// recovery of a machine whose registry.db is lost or damaged.
//
// A backup file is
//   "NTPREGB1" | u32 path units | path | u32 class units (0xFFFFFFFF: no class) | class |
//   u32 value count |
//   per value: u32 name units | name | u32 type | u32 data bytes | data | u32 CRC-32
// little-endian, names in UTF-16LE; the CRC covers everything before it.
#include "registry_backups.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ftstate.h"
#include "machine.h"
#include "registry_internal.h"

namespace ntp::reg {
namespace backups {
namespace {

constexpr char kMagic[8] = {'N', 'T', 'P', 'R', 'E', 'G', 'B', '1'};
constexpr uint32_t kNoClass = 0xFFFFFFFFu;
// A backup larger than this is not ours (the disk key holds a few kilobytes).
constexpr size_t kMaxFile = 64u << 20;

uint32_t Crc32(const uint8_t* p, size_t n) { return DiskRegistryCrc32(p, n); }

void Put32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(uint8_t(v >> (8 * i)));
}

void PutText(std::vector<uint8_t>* out, const std::u16string& s) {
  Put32(out, uint32_t(s.size()));
  for (char16_t c : s) {
    out->push_back(uint8_t(c));
    out->push_back(uint8_t(c >> 8));
  }
}

// Reads from a buffer, every length checked against what is left.
struct Reader {
  const std::vector<uint8_t>& b;
  size_t pos = 0;
  bool U32(uint32_t* v) {
    if (b.size() - pos < 4) return false;
    *v = uint32_t(b[pos]) | uint32_t(b[pos + 1]) << 8 | uint32_t(b[pos + 2]) << 16 |
         uint32_t(b[pos + 3]) << 24;
    pos += 4;
    return true;
  }
  bool Text(uint32_t units, std::u16string* s) {
    if ((b.size() - pos) / 2 < units) return false;
    s->resize(units);
    for (uint32_t i = 0; i < units; ++i) (*s)[i] = char16_t(b[pos + 2 * i] | b[pos + 2 * i + 1] << 8);
    pos += size_t(units) * 2;
    return true;
  }
  bool Bytes(uint32_t n, std::vector<uint8_t>* out) {
    if (b.size() - pos < n) return false;
    out->assign(b.begin() + std::ptrdiff_t(pos), b.begin() + std::ptrdiff_t(pos + n));
    pos += n;
    return true;
  }
};

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) <= kMaxFile;
  if (ok) {
    out->resize(size_t(st.st_size));
    size_t got = 0;
    while (ok && got < out->size()) {
      ssize_t n = read(fd, out->data() + got, out->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok = false;
      got += n > 0 ? size_t(n) : 0;
    }
  }
  close(fd);
  return ok;
}

bool SyncDir(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// Written beside its name and renamed into place, file and directory fsynced, so a
// backup is either whole or absent.
bool WriteWhole(const std::string& dir, const std::string& path, const std::vector<uint8_t>& bytes,
                std::string* error) {
  const std::string tmp = path + ".tmp";
  // The step that failed and its own errno: a stale errno (EEXIST from making the
  // directory) would name a fault that did not happen.
  std::string failed;
  int code = 0;
  auto fail = [&](const std::string& step) {
    if (failed.empty()) failed = step, code = errno;
  };
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot make " + tmp);
  size_t done = 0;
  while (failed.empty() && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) fail("cannot write " + tmp);
    done += n > 0 ? size_t(n) : 0;
  }
  if (failed.empty() && fsync(fd) != 0) fail("cannot flush " + tmp);
  if (fd >= 0) close(fd);
  if (failed.empty() && rename(tmp.c_str(), path.c_str()) != 0)
    fail("cannot rename " + tmp + " to " + path + " (the backup's own name)");
  if (failed.empty() && !SyncDir(dir)) fail("cannot flush the directory " + dir);
  if (failed.empty()) return true;
  if (error) *error = failed + ": " + std::strerror(code);
  unlink(tmp.c_str());
  return false;
}

// Sequence numbers of the backup files (information-NNNNNN.bin), ascending; the ".tmp"
// leftovers of a crash are not backups.
std::vector<unsigned> Sequences(const std::string& dir) {
  std::vector<unsigned> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  static const std::string prefix = "information-", suffix = ".bin";
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const unsigned seq = unsigned(std::stoul(digits));
    if (seq > 0) out.push_back(seq);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::string PathOf(const std::string& dir, unsigned seq) {
  char name[40];
  std::snprintf(name, sizeof name, "information-%06u.bin", seq);
  return dir + "/" + name;
}

}  // namespace

bool KeyImage::operator==(const KeyImage& o) const {
  if (path != o.path || hasClass != o.hasClass || className != o.className ||
      values.size() != o.values.size())
    return false;
  for (size_t i = 0; i < values.size(); ++i)
    if (values[i].name != o.values[i].name || values[i].type != o.values[i].type ||
        values[i].data != o.values[i].data)
      return false;
  return true;
}

std::string Directory(const std::string& machineDir) { return machineDir + "/registry-backups"; }

std::vector<uint8_t> Encode(const KeyImage& key) {
  std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
  PutText(&out, key.path);
  if (key.hasClass)
    PutText(&out, key.className);
  else
    Put32(&out, kNoClass);
  Put32(&out, uint32_t(key.values.size()));
  for (const auto& v : key.values) {
    PutText(&out, v.name);
    Put32(&out, v.type);
    Put32(&out, uint32_t(v.data.size()));
    out.insert(out.end(), v.data.begin(), v.data.end());
  }
  Put32(&out, Crc32(out.data(), out.size()));
  return out;
}

bool Decode(const std::vector<uint8_t>& bytes, KeyImage* key, std::string* why) {
  auto fail = [&](const char* text) {
    if (why) *why = text;
    return false;
  };
  if (bytes.size() < sizeof kMagic + 12 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return fail("not a registry backup");
  const size_t body = bytes.size() - 4;
  Reader crc{bytes, body};
  uint32_t stored = 0;
  crc.U32(&stored);
  if (stored != Crc32(bytes.data(), body)) return fail("the backup is damaged (checksum mismatch)");
  std::vector<uint8_t> inner(bytes.begin(), bytes.begin() + std::ptrdiff_t(body));
  Reader r{inner, sizeof kMagic};
  KeyImage k;
  uint32_t units = 0, count = 0;
  if (!r.U32(&units) || !r.Text(units, &k.path) || !r.U32(&units)) return fail("the backup is cut short");
  if (units != kNoClass) {
    k.hasClass = true;
    if (!r.Text(units, &k.className)) return fail("the backup is cut short");
  }
  if (!r.U32(&count)) return fail("the backup is cut short");
  for (uint32_t i = 0; i < count; ++i) {
    Value v;
    uint32_t size = 0;
    if (!r.U32(&units) || !r.Text(units, &v.name) || !r.U32(&v.type) || !r.U32(&size) ||
        !r.Bytes(size, &v.data))
      return fail("the backup is cut short");
    k.values.push_back(std::move(v));
  }
  if (r.pos != inner.size()) return fail("the backup has bytes after its last value");
  *key = std::move(k);
  return true;
}

bool Keep(const std::string& machineDir, const KeyImage* before, const KeyImage* after, std::string* pending,
          std::string* error) {
  const std::string dir = Directory(machineDir);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    if (error) *error = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::vector<unsigned> seqs = Sequences(dir);
  unsigned next = seqs.empty() ? 1 : seqs.back() + 1;
  KeyImage newest;
  std::vector<uint8_t> bytes;
  bool haveNewest =
      !seqs.empty() && ReadFile(PathOf(dir, seqs.back()), &bytes) && Decode(bytes, &newest, nullptr);
  // A state the newest backup holds already is not written twice.
  for (const KeyImage* image : {before, after}) {
    if (image == nullptr || (haveNewest && newest == *image)) continue;
    const std::string path = PathOf(dir, next);
    if (!WriteWhole(dir, path, Encode(*image), error)) return false;
    if (image == after && pending) *pending = path;
    seqs.push_back(next++);
    newest = *image;
    haveNewest = true;
  }
  while (seqs.size() > kBackupsKept) {
    unlink(PathOf(dir, seqs.front()).c_str());
    seqs.erase(seqs.begin());
  }
  return true;
}

}  // namespace backups

std::vector<Backup> ListBackups(const std::string& machineDir) {
  std::vector<Backup> out;
  const std::string dir = backups::Directory(machineDir);
  for (unsigned seq : backups::Sequences(dir)) {
    Backup b;
    b.seq = seq;
    b.path = backups::PathOf(dir, seq);
    struct stat st {};
    if (stat(b.path.c_str(), &st) == 0) b.time = int64_t(st.st_mtime);
    std::vector<uint8_t> bytes;
    backups::KeyImage key;
    if (backups::ReadFile(b.path, &bytes) && backups::Decode(bytes, &key, nullptr)) {
      b.valid = true;
      for (const auto& v : key.values) {
        std::string n = ToUtf8(v.name);
        std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if (n == "information") b.informationBytes = v.data.size();
      }
      b.values = std::move(key.values);
    }
    out.push_back(std::move(b));
  }
  return out;
}

namespace {

std::string Stamp() {
  char text[32] = "";
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  if (gmtime_r(&now, &tm)) std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
  return text;
}

// The machine lock, as a boot takes it; released when the file is closed.
struct MachineLock {
  int fd = -1;
  ~MachineLock() {
    if (fd >= 0) close(fd);
  }
  bool Take(const std::string& dir, bool noWait, std::string* error) {
    const std::string path = dir + "/machine.lock";
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      *error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
    while (flock(fd, LOCK_EX | (noWait ? LOCK_NB : 0)) != 0) {
      if (errno == EINTR) continue;
      *error = errno == EWOULDBLOCK ? "the machine " + dir + " is in use by another process"
                                    : "cannot lock " + dir + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
};

}  // namespace

bool Recover(const std::string& machineDir, bool empty, unsigned seq, bool noWait, std::string* report,
             std::string* error, bool dryRun) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  if (IsBooted()) {
    *error = "a machine is booted in this process";
    return false;
  }
  MachineLock lock;
  if (!dryRun && !lock.Take(machineDir, noWait, error)) return false;

  backups::KeyImage image;
  const Backup* chosen = nullptr;
  std::vector<Backup> all = ListBackups(machineDir);
  if (!empty) {
    for (auto it = all.rbegin(); it != all.rend() && chosen == nullptr; ++it)
      if (it->valid && (seq == 0 || it->seq == seq)) chosen = &*it;
    if (seq != 0 && chosen == nullptr) {
      *error = "there is no intact backup " + std::to_string(seq) + " in " + backups::Directory(machineDir);
      return false;
    }
    if (chosen == nullptr) {
      *error = "no intact automatic backup is kept in " + backups::Directory(machineDir) +
               "; 'registry recover --empty' starts with an empty registry";
      return false;
    }
    std::vector<uint8_t> bytes;
    std::string why;
    if (!backups::ReadFile(chosen->path, &bytes) || !backups::Decode(bytes, &image, &why)) {
      *error = "cannot read " + chosen->path + (why.empty() ? "" : ": " + why);
      return false;
    }
    for (const auto& b : all)
      if (!b.valid) *report += "skipped " + b.path + ": it is damaged\n";
  }

  // A sound store takes the backup in place (keeping its present state as a backup
  // first); a lost or damaged one, or any with --empty, is set aside and made anew.
  std::string why;
  std::string openError;
  const bool sound = !empty && (dryRun ? OpenReadOnly(machineDir, &why) : Open(machineDir, &why));
  if (!empty && !sound && backups::LastOpenProblem() == backups::StoreProblem::Other) {
    *error = why;  // not the store's fault: it is left as it is
    return false;
  }
  if (!sound) {
    Close();
    const std::string db = machineDir + "/registry.db";
    const std::string aside = db + (empty ? ".replaced-" : ".damaged-") + Stamp();
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const std::string from = db + suffix, to = aside + suffix;
      struct stat st {};
      if (stat(from.c_str(), &st) != 0) continue;
      if (!dryRun && rename(from.c_str(), to.c_str()) != 0) {
        *error = "cannot move " + from + " aside to " + to + ": " + std::strerror(errno);
        return false;
      }
      if (*suffix == '\0')
        *report += std::string(dryRun ? "would keep" : "kept") + " the previous registry.db as " + to + "\n";
    }
    if (dryRun) {
      // What a new store would be given is said below; none is made.
    } else if (!backups::OpenForRecovery(machineDir, &openError)) {
      *error = "cannot make a new registry: " + openError;
      return false;
    }
  }
  bool ok = true;
  if (dryRun) {
    if (!empty)
      *report += "would restore HKEY_LOCAL_MACHINE\\SYSTEM\\DISK from " + chosen->path + " (" +
                 std::to_string(image.values.size()) + " values, \"Information\" " +
                 std::to_string(chosen->informationBytes) + " bytes)\n";
    else
      *report +=
          "would start an empty registry; 'rescan' would then store the disks' layout again (FT sets "
          "are not recovered)\n";
  } else if (!empty) {
    NTSTATUS st = backups::RestoreKey(image);
    if (!NT_SUCCESS(st)) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08X", uint32_t(st));
      *error = "cannot restore the disk key from " + chosen->path + " (" + code + ")";
      ok = false;
    } else {
      *report += "restored HKEY_LOCAL_MACHINE\\SYSTEM\\DISK from " + chosen->path + " (" +
                 std::to_string(image.values.size()) + " values, \"Information\" " +
                 std::to_string(chosen->informationBytes) + " bytes)\n";
    }
  } else {
    *report +=
        "started an empty registry; 'rescan' stores the disks' layout again (FT sets are not "
        "recovered)\n";
  }
  Close();
  return ok;
}

}  // namespace ntp::reg
