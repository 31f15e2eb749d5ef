// The machine: its configuration file, creating a machine directory, booting it
// (lock, images, devices, partition numbers, drive letters, registry) and the
// sector I/O every device call goes through.
#include "machine.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

#include "blockdev.h"
#include "configblob.h"
#include "ftstandin.h"
#include "machine_state.h"
#include "mbr.h"
#include "ntplatform.h"
#include "overlay.h"
#include "overlay_hook.h"
#include "registry_store.h"

namespace ntp {

namespace fs = std::filesystem;
using detail::Cdrom;
using detail::Disk;
using detail::Partition;

namespace {

constexpr const char* kConfigName = "machine.toml";
constexpr const char* kLockName = "machine.lock";
constexpr const char16_t* kDiskKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";
constexpr NTSTATUS kMediaWriteProtected = NTSTATUS(0xC00000A2);

constexpr NTSTATUS kDiskCorrupt = NTSTATUS(0xC0000032);
constexpr NTSTATUS kUnsuccessful = NTSTATUS(0xC0000001);
constexpr NTSTATUS kDiskFull = NTSTATUS(0xC000007F);

std::unique_ptr<detail::Machine> g_machine;
std::function<void(unsigned, uint64_t, const uint8_t*, const uint8_t*, size_t)> g_writeHook;
std::function<bool(unsigned, const std::vector<PendingSector>&, std::string*)> g_beforeWrite;

// What identifies an image or device: two paths with the same identity are one disk.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator<(const Identity& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
  bool operator==(const Identity& o) const { return dev == o.dev && ino == o.ino; }
};

Identity IdentityOf(const struct stat& st) {
  return S_ISBLK(st.st_mode) ? Identity{st.st_rdev, 0} : Identity{st.st_dev, st.st_ino};
}

// A layout read and a sector write of another process exclude each other through an
// open-file-description lock on the first byte of the image or device: a writer holds
// it exclusively while it writes, a reader shared while it reads the tables, so a
// reader sees a table as it was before or after a write, never half of each. The
// flocks of writing boots are separate locks: a reader never waits for them. Where the
// file system has no such locks, reads and writes go on without.
class TableLock {
 public:
  TableLock(int fd, bool write) : fd_(fd) {
    struct flock fl = Range(write ? F_WRLCK : F_RDLCK);
    while (fd_ >= 0 && fcntl(fd_, F_OFD_SETLKW, &fl) != 0)
      if (errno != EINTR) fd_ = -1;
  }
  ~TableLock() {
    struct flock fl = Range(F_UNLCK);
    if (fd_ >= 0) fcntl(fd_, F_OFD_SETLK, &fl);
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  static struct flock Range(short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    return fl;
  }
  int fd_;
};

// Why an image or device cannot be written, or empty.
std::string WriteProtection(int fd, const std::string& path, bool block) {
  if (block) {
    int ro = 0;
    return ioctl(fd, BLKROGET, &ro) == 0 && ro != 0 ? "is write-protected" : "";
  }
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0)
    return "is write-protected (the image " + path + " is immutable)";
  if (access(path.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
    return "is write-protected (the image " + path + " is read-only)";
  return "";
}

std::string ErrnoText() { return std::strerror(errno); }

bool SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

std::string Resolve(const std::string& dir, const std::string& path) {
  fs::path p(path);
  return p.is_absolute() ? p.string() : (fs::path(dir) / p).string();
}

bool ValidDisk(const DiskConfig& d, std::string* why) {
  if (d.image.empty()) return SetError(why, "a disk has no image path");
  if (d.heads < 1 || d.heads > 255) return SetError(why, "heads must be 1 to 255");
  if (d.sectors < 1 || d.sectors > 63) return SetError(why, "sectors per track must be 1 to 63");
  uint32_t b = d.bytesPerSector;
  if (b < 512 || b > 4096 || (b & (b - 1)) != 0)
    return SetError(why, "bytes per sector must be 512, 1024, 2048 or 4096");
  return true;
}

bool PreadAll(int fd, void* buffer, size_t length, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    ssize_t n = pread(fd, p, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}

bool PwriteAll(int fd, const void* buffer, size_t length, uint64_t offset) {
  auto* p = static_cast<const uint8_t*>(buffer);
  while (length > 0) {
    ssize_t n = pwrite(fd, p, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}

bool SizeOf(int fd, uint64_t* size) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (S_ISBLK(st.st_mode)) return ioctl(fd, BLKGETSIZE64, size) == 0;
  if (!S_ISREG(st.st_mode)) return false;
  *size = uint64_t(st.st_size);
  return true;
}

// One partition record of the stored disk configuration, as far as boot letters need it.
struct LetterRecord {
  uint32_t signature;
  int64_t offset, length;
  uint8_t letter, assign;
  uint32_t ftType;
  uint16_t ftMember;
};

// The partition records of the "Information" value; a value the blob checker rejects
// gives no records at all (the provider does not use it either).
std::vector<LetterRecord> ParseInformation(const std::vector<uint8_t>& blob) {
  std::vector<LetterRecord> out;
  if (!DiskRegistryValidate(blob.data(), blob.size(), nullptr)) return out;
  const ftformat::BlobWalk walk = ftformat::WalkBlob(blob.data(), blob.size());
  for (const auto& p : walk.partitions)
    out.push_back({walk.disks[p.disk].signature, p.rec.StartingOffset, p.rec.Length, p.rec.DriveLetter,
                   p.rec.AssignDriveLetter, p.rec.FtType, p.rec.FtMember});
  return out;
}

std::u16string LinkName(char letter) {
  std::u16string s = u"\\DOSDEVICES\\";
  s += char16_t(letter);
  s += u':';
  return s;
}

std::u16string PartitionDevice(unsigned disk, unsigned number) {
  return detail::Utf16("\\Device\\Harddisk" + std::to_string(disk) + "\\Partition" + std::to_string(number));
}

std::u16string CdromDevice(unsigned index) {
  return detail::Utf16("\\Device\\CdRom" + std::to_string(index));
}

// The letter a record or a CD-ROM value names (upper case), or 0 when it names none.
char RecordedLetter(char16_t c) {
  if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
  return c >= u'C' && c <= u'Z' ? char(c) : 0;
}

// Drive letters at boot, as NT 4.0 gives them from the stored configuration: a volume
// whose record names a letter gets it, one whose record asks for none gets none, and
// only volumes with no letter recorded get the lowest free ones. A letter recorded for a
// volume that is not here (its disk is away) is given to no other, so it is still free
// when the disk comes back.
void AssignBootLetters(detail::Machine& m) {
  std::vector<LetterRecord> records;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (reg::GetValue(kDiskKey, u"Information", &type, &data) && type == REG_BINARY)
    records = ParseInformation(data);

  bool used[26] = {}, reserved[26] = {};
  for (const auto& r : records)
    if (char l = RecordedLetter(r.letter); l != 0 && (r.assign || r.ftType != NotAnFtMember))
      reserved[l - 'A'] = true;  // FT members all record their set's letter
  // CD-ROMs: the letter stored under the device name; ' ' asks for none.
  std::vector<char16_t> cdValue(m.cdroms.size(), 0);
  for (size_t i = 0; i < m.cdroms.size(); ++i) {
    if (!reg::GetValue(kDiskKey, CdromDevice(unsigned(i)), &type, &data) || data.size() < 2) continue;
    cdValue[i] = char16_t(data[0] | (data[1] << 8));
    if (char l = RecordedLetter(cdValue[i]); l != 0) reserved[l - 'A'] = true;
  }
  auto take = [&](char letter, const std::u16string& target) {
    used[letter - 'A'] = true;
    m.links[LinkName(letter)] = target;
  };
  auto nextFree = [&]() -> char {
    for (char c = 'C'; c <= 'Z'; ++c)
      if (!used[c - 'A'] && !reserved[c - 'A']) return c;
    return 0;
  };

  enum class Want { Default, None, Letter };
  struct Candidate {
    unsigned disk;
    std::shared_ptr<Partition> part;
    bool primary;
    Want want;
    char letter;
  };
  std::vector<Candidate> candidates;
  for (auto& disk : m.disks) {
    for (auto& [number, part] : disk->partitions) {
      Candidate c{disk->index, part, part->primary, Want::Default, 0};
      const LetterRecord* rec = nullptr;
      for (const auto& r : records)
        if (r.signature == disk->signature && r.offset == int64_t(part->offset) &&
            r.length == int64_t(part->length)) {
          rec = &r;
          break;
        }
      if (rec != nullptr) {
        if (rec->ftType != NotAnFtMember && rec->ftMember != 0) {
          c.want = Want::None;  // a set's volume takes the letter of member 0 only
        } else if (!rec->assign) {
          c.want = Want::None;
        } else if (char l = RecordedLetter(rec->letter); l != 0) {
          c.want = Want::Letter;
          c.letter = l;
        }
      }
      if (c.want == Want::Default && !part->info.RecognizedPartition) c.want = Want::None;
      candidates.push_back(c);
    }
  }

  // Recorded letters first; of two volumes recorded with one letter, the first keeps it
  // and the other is treated as having none.
  for (auto& c : candidates) {
    if (c.want != Want::Letter) continue;
    if (used[c.letter - 'A']) {
      c.want = Want::Default;
      continue;
    }
    take(c.letter, PartitionDevice(c.disk, c.part->number));
    c.want = Want::None;
  }
  std::vector<bool> cdDone(m.cdroms.size(), false);
  for (size_t i = 0; i < m.cdroms.size(); ++i) {
    const char l = RecordedLetter(cdValue[i]);
    if (cdValue[i] == u' ') {
      cdDone[i] = true;
    } else if (l != 0 && !used[l - 'A']) {
      take(l, CdromDevice(unsigned(i)));
      cdDone[i] = true;
    }
  }
  auto assignDefault = [&](Candidate& c) {
    char l = nextFree();
    if (l != 0) take(l, PartitionDevice(c.disk, c.part->number));
    c.want = Want::None;
  };
  // Each disk's active (else first) primary partition, then logical drives, then the
  // other primaries.
  for (auto& disk : m.disks) {
    Candidate* pick = nullptr;
    for (auto& c : candidates)
      if (c.disk == disk->index && c.primary && c.want == Want::Default) {
        if (c.part->info.BootIndicator) {
          pick = &c;
          break;
        }
        if (pick == nullptr) pick = &c;
      }
    if (pick != nullptr) assignDefault(*pick);
  }
  for (auto& c : candidates)
    if (!c.primary && c.want == Want::Default) assignDefault(c);
  for (auto& c : candidates)
    if (c.primary && c.want == Want::Default) assignDefault(c);
  for (size_t i = 0; i < m.cdroms.size(); ++i) {
    if (cdDone[i]) continue;
    char l = nextFree();
    if (l != 0) take(l, CdromDevice(unsigned(i)));
  }
}

void CloseDevices(detail::Machine& m) {
  for (auto& d : m.disks) {
    d->alive = false;
    for (auto& [n, p] : d->partitions) p->alive = false;
    if (d->fd >= 0) close(d->fd);
    d->fd = -1;
  }
  for (auto& c : m.cdroms) {
    c->alive = false;
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
  }
}

}  // namespace

// ---- configuration ----------------------------------------------------------------

namespace {

// Reads a machine configuration; empty tells a file without a single setting (every
// file this program writes has at least the OS version).
bool LoadConfigFile(const std::string& file, MachineConfig* config, std::string* error, bool* empty) {
  toml::table tbl;
  try {
    tbl = toml::parse_file(file);
  } catch (const toml::parse_error& e) {
    std::ostringstream os;
    os << file << ": " << e.description() << " (line " << e.source().begin.line << ")";
    return SetError(error, os.str());
  } catch (const std::exception& e) {
    return SetError(error, file + ": " + e.what());
  }
  if (empty != nullptr) *empty = tbl.empty();
  MachineConfig cfg;
  auto u32 = [&](toml::node_view<toml::node> v, uint32_t* out, const char* what) {
    if (!v) return true;
    auto i = v.value<int64_t>();
    if (!i || *i < 0 || *i > int64_t(UINT32_MAX))
      return SetError(error, file + ": " + what + " is not a number");
    *out = uint32_t(*i);
    return true;
  };
  if (auto os = tbl["os"]) {
    if (!u32(os["major"], &cfg.osMajor, "os.major") || !u32(os["minor"], &cfg.osMinor, "os.minor") ||
        !u32(os["build"], &cfg.osBuild, "os.build"))
      return false;
  }
  if (auto disks = tbl["disk"]) {
    const toml::array* arr = disks.as_array();
    if (arr == nullptr) return SetError(error, file + ": disk must be an array of tables");
    for (size_t i = 0; i < arr->size(); ++i) {
      const toml::table* t = arr->get(i)->as_table();
      if (t == nullptr) return SetError(error, file + ": disk " + std::to_string(i) + " is not a table");
      toml::node_view<toml::node> v{const_cast<toml::table*>(t)};
      DiskConfig d;
      auto image = v["image"].value<std::string>();
      if (!image) return SetError(error, file + ": disk " + std::to_string(i) + " has no image");
      d.image = *image;
      if (!u32(v["heads"], &d.heads, "disk.heads") || !u32(v["sectors"], &d.sectors, "disk.sectors") ||
          !u32(v["bytes_per_sector"], &d.bytesPerSector, "disk.bytes_per_sector"))
        return false;
      for (auto [key, flag] : {std::pair{"removable", &d.removable}, std::pair{"read_only", &d.readOnly}}) {
        auto r = v[key];
        if (!r) continue;
        auto b = r.value<bool>();
        if (!b) return SetError(error, file + ": disk." + key + " is not a boolean");
        *flag = *b;
      }
      std::string why;
      if (!ValidDisk(d, &why)) return SetError(error, file + ": disk " + std::to_string(i) + ": " + why);
      cfg.disks.push_back(d);
    }
  }
  if (auto cds = tbl["cdrom"]) {
    const toml::array* arr = cds.as_array();
    if (arr == nullptr) return SetError(error, file + ": cdrom must be an array of tables");
    for (size_t i = 0; i < arr->size(); ++i) {
      const toml::table* t = arr->get(i)->as_table();
      if (t == nullptr) return SetError(error, file + ": cdrom " + std::to_string(i) + " is not a table");
      CdromConfig c;
      if (auto iso = (*t)["iso"].value<std::string>()) c.iso = *iso;
      cfg.cdroms.push_back(c);
    }
  }
  *config = cfg;
  return true;
}

// Writes text to DIR/name through a temporary file renamed over it, so a crash leaves
// the old file or the new one.
bool WriteWhole(const std::string& dir, const std::string& name, const std::string& text,
                std::string* error) {
  const std::string file = (fs::path(dir) / name).string(), tmp = file + ".tmp";
  {
    std::ofstream o(tmp, std::ios::trunc);
    o << text;
    o.flush();
    if (!o) return SetError(error, "cannot write " + tmp);
  }
  int fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  if (rename(tmp.c_str(), file.c_str()) != 0)
    return SetError(error, "cannot replace " + file + ": " + ErrnoText());
  return true;
}

// Why a machine that has booted before does not boot with the configuration it has
// now (problem: "is empty", "is missing", "cannot be read (...)"), and how to go on: the copy every
// save keeps, when it is sound, else a copy of the user's.
std::string LostConfigRefusal(const std::string& dir, const std::string& problem) {
  const std::string file = (fs::path(dir) / kConfigName).string(), copy = file + ".bak";
  std::string text = "the configuration of this machine (" + file + ") " + problem +
                     ", and the machine has booted before: it would boot without its disks, and the next "
                     "request that writes would record every FT set's members as lost. To go on, ";
  MachineConfig saved;
  bool empty = true;
  if (LoadConfigFile(copy, &saved, nullptr, &empty) && !empty)
    return text + "put back the copy kept at its last change (" + std::to_string(saved.disks.size()) +
           " disk(s)): cp '" + copy + "' '" + file + "'";
  return text +
         "put back a copy of it; it lists each disk as [[disk]] with image = \"PATH\" (this "
         "machine's own images are in " +
         (fs::path(dir) / "disks").string() + ")";
}

}  // namespace

bool LoadMachineConfig(const std::string& dir, MachineConfig* config, std::string* error) {
  return LoadConfigFile((fs::path(dir) / kConfigName).string(), config, error, nullptr);
}

bool SaveMachineConfig(const std::string& dir, const MachineConfig& config, std::string* error) {
  toml::table tbl;
  tbl.insert("os", toml::table{{"major", int64_t(config.osMajor)},
                               {"minor", int64_t(config.osMinor)},
                               {"build", int64_t(config.osBuild)}});
  toml::array disks;
  for (const auto& d : config.disks) {
    std::string why;
    if (!ValidDisk(d, &why)) return SetError(error, why);
    disks.push_back(toml::table{{"image", d.image},
                                {"heads", int64_t(d.heads)},
                                {"sectors", int64_t(d.sectors)},
                                {"bytes_per_sector", int64_t(d.bytesPerSector)},
                                {"removable", d.removable}});
    if (d.readOnly) disks.back().as_table()->insert("read_only", true);
  }
  tbl.insert("disk", std::move(disks));
  toml::array cds;
  for (const auto& c : config.cdroms) cds.push_back(toml::table{{"iso", c.iso}});
  tbl.insert("cdrom", std::move(cds));

  std::ostringstream text;
  text << "# Machine configuration: disks, CD-ROMs and the OS version.\n" << tbl << "\n";
  if (!WriteWhole(dir, kConfigName, text.str(), error)) return false;
  // The copy a machine whose configuration is later emptied or damaged is restored
  // from; one that cannot be kept is removed rather than left stale.
  if (!WriteWhole(dir, std::string(kConfigName) + ".bak", text.str(), nullptr))
    unlink((fs::path(dir) / (std::string(kConfigName) + ".bak")).c_str());
  return true;
}

namespace {

bool CreateMachineFiles(const std::string& dir, const std::vector<std::pair<uint64_t, DiskConfig>>& disks,
                        const std::vector<CdromConfig>& cdroms, std::string* error) {
  MachineConfig cfg;
  cfg.cdroms = cdroms;
  std::random_device rd;
  std::set<uint32_t> signatures;
  for (size_t i = 0; i < disks.size(); ++i) {
    DiskConfig d = disks[i].second;
    if (d.image.empty()) d.image = "disks/disk" + std::to_string(i) + ".img";
    std::string why;
    if (!ValidDisk(d, &why)) return SetError(error, "disk " + std::to_string(i) + ": " + why);
    const uint64_t size = disks[i].first;
    if (size < d.bytesPerSector || size % d.bytesPerSector != 0)
      return SetError(error, "disk " + std::to_string(i) + ": the size must be a whole number of sectors");
    const std::string path = Resolve(dir, d.image);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST)
      return SetError(error, path + " exists already; remove it or choose another directory");
    if (fd < 0) return SetError(error, "cannot create " + path + ": " + ErrnoText());
    uint32_t sig = 0;
    while (sig == 0 || signatures.count(sig)) sig = uint32_t(rd());
    signatures.insert(sig);
    std::vector<uint8_t> sector(d.bytesPerSector, 0);
    for (int b = 0; b < 4; ++b) sector[440 + b] = uint8_t(sig >> (8 * b));
    sector[510] = 0x55;
    sector[511] = 0xAA;
    bool ok =
        ftruncate(fd, off_t(size)) == 0 && PwriteAll(fd, sector.data(), sector.size(), 0) && fsync(fd) == 0;
    std::string err = ErrnoText();
    close(fd);
    if (!ok) return SetError(error, "cannot write " + path + ": " + err);
    cfg.disks.push_back(d);
  }
  return SaveMachineConfig(dir, cfg, error);
}

}  // namespace

bool CreateMachine(const std::string& dir, const std::vector<std::pair<uint64_t, DiskConfig>>& disks,
                   const std::vector<CdromConfig>& cdroms, std::string* error) {
  std::error_code ec;
  fs::create_directories(fs::path(dir) / "disks", ec);
  if (ec) return SetError(error, "cannot create " + dir + ": " + ec.message());
  if (fs::exists(fs::path(dir) / kConfigName)) return SetError(error, dir + " already holds a machine");
  // What this run creates is recorded first, so that a run killed halfway can be
  // cleaned by the next one, and a failed run cleans up at once.
  std::vector<std::string> files;
  for (size_t i = 0; i < disks.size(); ++i) {
    files.push_back(disks[i].second.image.empty() ? "disks/disk" + std::to_string(i) + ".img"
                                                  : disks[i].second.image);
    // Only files this run creates are recorded, so a cleanup never removes another's.
    if (fs::exists(Resolve(dir, files.back()), ec))
      return SetError(error,
                      Resolve(dir, files.back()) + " exists already; remove it or choose another directory");
  }
  if (!detail::BeginInit(dir, files, error)) return false;
  if (!CreateMachineFiles(dir, disks, cdroms, error)) {
    detail::AbandonInit(dir);
    return false;
  }
  detail::EndInit(dir);
  return true;
}

// ---- boot -----------------------------------------------------------------------------

bool Boot(const std::string& dir, LockMode mode, std::string* error, const std::function<void()>& onWait) {
  BootOptions options;
  options.mode = mode;
  if (onWait) options.onWait = [onWait](const std::string&) { onWait(); };
  return Boot(dir, options, error);
}

namespace {

constexpr unsigned kLoopMajor = 7;  // Linux's loop devices

// Opens the configured disks of m: O_RDWR for a boot that may write (O_RDONLY for a
// disk attached read-only or one the user may not write), O_RDONLY for a read-only
// boot. A disk that cannot be opened, sized or told apart from another is kept with
// the reason, without a descriptor. identities receives each opened disk's identity.
void OpenDisks(detail::Machine& m, std::vector<std::pair<Identity, size_t>>* identities) {
  for (size_t i = 0; i < m.config.disks.size(); ++i) {
    auto d = std::make_shared<Disk>();
    d->index = unsigned(i);
    d->config = m.config.disks[i];
    d->path = Resolve(m.dir, d->config.image);
    m.disks.push_back(d);
    const bool readOnly = m.readOnly || d->config.readOnly;
    d->fd = open(d->path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (d->fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
      d->fd = open(d->path.c_str(), O_RDONLY | O_CLOEXEC);
      d->readOnly = true;
    }
    if (d->fd < 0) {
      // The rest of the machine boots; this disk is named with the reason.
      d->damage = errno == ENOENT ? "is missing (no image " + d->path + ")"
                                  : "cannot be opened (" + d->path + ": " + ErrnoText() + ")";
      continue;
    }
    d->readOnly = d->readOnly || readOnly;
    struct stat st {};
    if (fstat(d->fd, &st) != 0 || !SizeOf(d->fd, &d->length)) {
      d->damage = "cannot be sized (" + d->path + ")";
    } else if (d->length == 0 && S_ISBLK(st.st_mode)) {
      // A loop device without its file (detached, or its file gone) reads as empty.
      d->damage = major(st.st_rdev) == kLoopMajor
                      ? "is a detached loop device (" + d->path +
                            " has no backing file); attach its image again (losetup " + d->path +
                            " IMAGE) or give the machine the image itself"
                      : "is an empty block device (" + d->path + ": no medium?)";
    } else if (d->length < d->config.bytesPerSector) {
      d->damage = "is smaller than a sector (" + d->path + ")";
    }
    if (!d->damage.empty()) {
      close(d->fd);
      d->fd = -1;
      continue;
    }
    d->blockDevice = S_ISBLK(st.st_mode);
    const Identity id = IdentityOf(st);
    for (const auto& [other, j] : *identities)
      if (other == id) d->damage = "is the same image as disk " + std::to_string(j) + " (" + d->path + ")";
    if (!d->damage.empty()) {
      close(d->fd);
      d->fd = -1;
      continue;
    }
    identities->push_back({id, i});
    const std::string name = "disk " + std::to_string(i) + " ";
    if (d->config.readOnly) {
      d->writeRefusal = name + "is attached read-only: no request writes it";
      continue;
    }
    // Write protection damages a machine that may write; one booted only to read it
    // reads the disk as any other and only says that it could not be written.
    std::string protection = WriteProtection(d->fd, d->path, d->blockDevice);
    if (protection.empty()) continue;
    d->readOnly = true;
    if (m.readOnly)
      d->writeRefusal = name + protection;
    else
      d->damage = protection;
  }
}

// Reads every disk's partition table, runs the FtDisk stand-in and gives the drive
// letters: the end of every boot. False (with everything opened closed) when a table
// cannot be read.
bool Start(std::unique_ptr<detail::Machine> m, std::string* error) {
  for (auto& d : m->disks) {
    m->links[detail::Upper(detail::Utf16("\\DosDevices\\PhysicalDrive" + std::to_string(d->index)))] =
        PartitionDevice(d->index, 0);
    if (d->fd < 0) continue;
    ptable::ReadResult r;
    NTSTATUS s = detail::RefreshLayout(*d, &r);
    if (!NT_SUCCESS(s)) {
      reg::Close();
      CloseDevices(*m);
      if (m->lockFd >= 0) close(m->lockFd);
      return SetError(error, "cannot read the partition table of disk " + std::to_string(d->index));
    }
    d->signature = r.signature;
    // An image cut short (a copy that did not finish, a full file system) still holds
    // a table that reaches beyond it.
    uint64_t reach = 0;
    for (const auto& e : r.entries)
      if (e.PartitionType != PARTITION_ENTRY_UNUSED)
        reach = std::max(reach, uint64_t(e.StartingOffset.QuadPart) + uint64_t(e.PartitionLength.QuadPart));
    if (reach > d->length && d->damage.empty())
      d->damage = "is shorter than its partition table says (" + std::to_string(d->length) +
                  " bytes; the table reaches " + std::to_string(reach) + ")";
  }
  // The FtDisk stand-in runs before the letters are given and before the host starts,
  // as the driver does at boot. In a read-only boot what it records stays in the
  // in-memory registry: shown, and written by the next boot that may write.
  const detail::FtStandinReport report = detail::RunFtStandin(*m);
  if (m->readOnly) m->unstored = report.orphaned, m->returned = report.returned;
  AssignBootLetters(*m);
  detail::SetBootVersion(m->config.osMajor, m->config.osMinor, m->config.osBuild);
  g_machine = std::move(m);
  return true;
}

}  // namespace

bool Boot(const std::string& dir, const BootOptions& options, std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (g_machine) return SetError(error, "a machine is already booted in this process");
  auto m = std::make_unique<detail::Machine>();
  m->dir = dir;
  m->readOnly = options.readOnly;
  // A machine that has booted before and lost its configuration is not booted without
  // its disks.
  const std::string file = (fs::path(dir) / kConfigName).string();
  bool empty = false;
  std::string why;
  if (!LoadConfigFile(file, &m->config, &why, &empty)) {
    std::error_code ec;
    if (!reg::HadStore(dir)) return SetError(error, why);
    return SetError(error, LostConfigRefusal(dir, fs::exists(file, ec) ? "cannot be read (" + why + ")"
                                                                       : std::string("is missing")));
  }
  if (empty && reg::HadStore(dir)) return SetError(error, LostConfigRefusal(dir, "is empty"));

  auto fail = [&](const std::string& text) {
    CloseDevices(*m);
    if (m->lockFd >= 0) close(m->lockFd);
    return SetError(error, text);
  };
  // Takes a flock, waiting (and saying for what) unless the caller would rather fail.
  auto take = [&](int fd, int how, const std::string& what) {
    if (flock(fd, how | LOCK_NB) == 0) return std::string();
    if (errno != EWOULDBLOCK) return "cannot lock " + what + ": " + ErrnoText();
    if (options.mode == LockMode::NoWait) return what + " is in use by another process";
    if (options.onWait) options.onWait(what);
    while (flock(fd, how) != 0)
      if (errno != EINTR) return "cannot lock " + what + ": " + ErrnoText();
    return std::string();
  };
  // One writing process per machine; a reader takes no lock and makes no lock file.
  if (!options.readOnly) {
    const std::string lockPath = (fs::path(dir) / kLockName).string();
    m->lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m->lockFd < 0) {
      const bool denied = errno == EROFS || errno == EACCES || errno == EPERM;
      return SetError(error, "cannot open " + lockPath + ": " + ErrnoText() +
                                 (denied ? " (this command writes; the commands that only read, such as show "
                                           "and check, need no write access)"
                                         : ""));
    }
    if (std::string e = take(m->lockFd, LOCK_EX, "the machine " + dir); !e.empty()) return fail(e);
  } else if (options.holdShared) {
    const std::string lockPath = (fs::path(dir) / kLockName).string();
    m->lockFd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (m->lockFd < 0 && errno == ENOENT)
      m->lockFd = open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (m->lockFd >= 0)
      if (std::string e = take(m->lockFd, LOCK_SH, "the machine " + dir); !e.empty()) return fail(e);
  }

  std::vector<std::pair<Identity, size_t>> identities;
  OpenDisks(*m, &identities);
  // One writer per image or device. Taken in one global order, so two machines that
  // share two disks cannot each hold one and wait for the other. A reader's table
  // reads take a lock of their own (TableLock), never these.
  std::sort(identities.begin(), identities.end());
  for (const auto& [id, i] : options.readOnly ? decltype(identities){} : identities) {
    auto& d = m->disks[i];
    std::string e =
        take(d->fd, d->readOnly ? LOCK_SH : LOCK_EX, "disk " + std::to_string(i) + " (" + d->path + ")");
    if (!e.empty()) return fail(e);
  }
  for (size_t i = 0; i < m->config.cdroms.size(); ++i) {
    auto c = std::make_shared<Cdrom>();
    c->index = unsigned(i);
    c->iso = m->config.cdroms[i].iso;
    m->cdroms.push_back(c);
    if (c->iso.empty()) continue;
    const std::string path = Resolve(dir, c->iso);
    c->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (c->fd < 0 || !SizeOf(c->fd, &c->length))
      return fail("cannot open CD-ROM image " + path + ": " + ErrnoText());
  }

  std::string regError;
  if (!(options.readOnly ? reg::OpenReadOnly(dir, &regError) : reg::Open(dir, &regError)))
    return fail("cannot open the registry: " + regError);
  return Start(std::move(m), error);
}

bool BootImages(const std::vector<std::string>& images, const std::vector<reg::ImportValue>& registry,
                std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (g_machine) return SetError(error, "a machine is already booted in this process");
  auto m = std::make_unique<detail::Machine>();
  m->readOnly = true;
  for (const auto& image : images) {
    DiskConfig d;
    std::error_code ec;
    d.image = fs::absolute(image, ec).string();
    m->config.disks.push_back(d);
  }
  std::vector<std::pair<Identity, size_t>> identities;
  OpenDisks(*m, &identities);
  // Each image was named on purpose: one that cannot be used is an error, not damage.
  for (const auto& d : m->disks)
    if (!d->damage.empty()) {
      CloseDevices(*m);
      return SetError(error, "cannot use the image " + images[d->index] + ": disk " +
                                 std::to_string(d->index) + " " + d->damage);
    }
  std::string regError;
  if (!reg::OpenInMemory(registry, &regError)) {
    CloseDevices(*m);
    return SetError(error, "cannot hold the registry values in memory: " + regError);
  }
  return Start(std::move(m), error);
}

void Shutdown() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine) return;
  EndOverlay();
  reg::Close();
  CloseDevices(*g_machine);
  if (g_machine->lockFd >= 0) close(g_machine->lockFd);
  g_machine.reset();
  detail::ResetVersion();
}

bool BootedReadOnly() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  return g_machine != nullptr && g_machine->readOnly;
}

uint32_t UnstoredBootRecords() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  return g_machine != nullptr ? g_machine->unstored : 0;
}

uint32_t UnstoredBootReturns() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  return g_machine != nullptr ? g_machine->returned : 0;
}

bool IsBooted() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  return g_machine != nullptr;
}

const std::string& MachineDir() {
  static const std::string none;
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  return g_machine ? g_machine->dir : none;
}

std::vector<DiskInfo> Disks() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  std::vector<DiskInfo> out;
  if (!g_machine) return out;
  for (auto& d : g_machine->disks) {
    if (d->fd < 0) continue;  // a missing disk has no devices
    DiskInfo info{};
    info.index = d->index;
    info.device = detail::Utf16("\\Device\\Harddisk" + std::to_string(d->index));
    info.length = d->length;
    std::vector<uint8_t> sector(d->config.bytesPerSector);
    // Read beside the device counters: they count what callers of the device asked for.
    bool read = d->fd >= 0 && PreadAll(d->fd, sector.data(), sector.size(), 0);
    if (read) detail::OverlayPatchRead(*d, 0, sector.data(), sector.size());  // a dry run's writes
    info.signature = read ? ftformat::MbrSignature(sector.data(), sector.size()) : 0;
    info.geometry = detail::GeometryOf(*d);
    info.removable = d->config.removable;
    info.path = d->path;
    out.push_back(info);
  }
  return out;
}

std::vector<CdromInfo> Cdroms() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  std::vector<CdromInfo> out;
  if (!g_machine) return out;
  for (auto& c : g_machine->cdroms) out.push_back({c->index, CdromDevice(c->index), c->iso});
  return out;
}

// ---- drive letters ----------------------------------------------------------------

NTSTATUS DefineDriveLetter(char letter, const std::u16string& target) {
  if (letter >= 'c' && letter <= 'z') letter = char(letter - 32);
  if (letter < 'C' || letter > 'Z' || target.empty()) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine) return STATUS_NO_SUCH_DEVICE;
  auto [it, inserted] = g_machine->links.emplace(LinkName(letter), target);
  return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS RemoveDriveLetter(char letter) {
  if (letter >= 'c' && letter <= 'z') letter = char(letter - 32);
  if (letter < 'C' || letter > 'Z') return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine) return STATUS_NO_SUCH_DEVICE;
  return g_machine->links.erase(LinkName(letter)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::u16string DriveLetterTarget(char letter) {
  if (letter >= 'c' && letter <= 'z') letter = char(letter - 32);
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine) return u"";
  auto it = g_machine->links.find(LinkName(letter));
  return it == g_machine->links.end() ? u"" : it->second;
}

// ---- sector I/O -------------------------------------------------------------------------

bool ReadDiskBytes(unsigned disk, uint64_t offset, void* buffer, size_t length) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine || disk >= g_machine->disks.size()) return false;
  return NT_SUCCESS(detail::ReadBytes(*g_machine->disks[disk], offset, buffer, length));
}

DiskCounters Counters(unsigned disk) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine || disk >= g_machine->disks.size()) return {};
  return g_machine->disks[disk]->counters;
}

void ResetCounters() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine) return;
  for (auto& d : g_machine->disks) d->counters = {};
}

void SetSectorWriteHook(
    std::function<void(unsigned, uint64_t, const uint8_t*, const uint8_t*, size_t)> hook) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  g_writeHook = std::move(hook);
}

void SetBeforeWriteHook(std::function<bool(unsigned, const std::vector<PendingSector>&, std::string*)> hook) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  g_beforeWrite = std::move(hook);
}

namespace {
thread_local RequestScope* t_scope = nullptr;
// Write failures outside any scope (a count and the most recent), and a count that
// orders all failures, so that merged failures keep the most recent as last.
std::mutex g_unscopedMutex;
WriteFailures g_unscoped;
uint64_t g_unscopedLast = 0;
std::atomic<uint64_t> g_failureSeq{0};

void Merge(WriteFailures* into, uint64_t* intoLast, const WriteFailures& from, uint64_t fromLast) {
  if (from.count == 0) return;
  into->count += from.count;
  if (fromLast > *intoLast) *intoLast = fromLast, into->last = from.last;
}
}  // namespace

RequestScope::RequestScope() : outer_(t_scope) { t_scope = this; }

RequestScope::~RequestScope() {
  t_scope = outer_;
  if (failures_.count == 0) return;
  if (outer_ != nullptr) {
    Merge(&outer_->failures_, &outer_->lastFailure_, failures_, lastFailure_);
    return;
  }
  std::lock_guard<std::mutex> lock(g_unscopedMutex);
  Merge(&g_unscoped, &g_unscopedLast, failures_, lastFailure_);
}

void RequestScope::NoteRefusal(const std::string& why) {
  for (RequestScope* s = t_scope; s != nullptr; s = s->outer_) s->refusal_ = why;
}

void RequestScope::NoteWriteFailure(const std::string& what) {
  const WriteFailures one{1, what};
  const uint64_t seq = ++g_failureSeq;
  if (t_scope != nullptr) {
    Merge(&t_scope->failures_, &t_scope->lastFailure_, one, seq);
    return;
  }
  std::lock_guard<std::mutex> lock(g_unscopedMutex);
  Merge(&g_unscoped, &g_unscopedLast, one, seq);
}

WriteFailures RequestScope::TakeWriteFailures() {
  WriteFailures taken;
  uint64_t last = 0;
  if (t_scope != nullptr) {
    Merge(&taken, &last, t_scope->failures_, t_scope->lastFailure_);
    t_scope->failures_ = WriteFailures();
    t_scope->lastFailure_ = 0;
  }
  std::lock_guard<std::mutex> lock(g_unscopedMutex);
  Merge(&taken, &last, g_unscoped, g_unscopedLast);
  g_unscoped = WriteFailures();
  g_unscopedLast = 0;
  return taken;
}

std::vector<DiskDamage> DamagedDisks() {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  std::vector<DiskDamage> out;
  if (!g_machine) return out;
  for (auto& d : g_machine->disks)
    if (!d->damage.empty()) out.push_back({d->index, "disk " + std::to_string(d->index) + " " + d->damage});
  return out;
}

std::string WriteRefusal(unsigned disk) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine || disk >= g_machine->disks.size()) return {};
  return g_machine->disks[disk]->writeRefusal;
}

int FindSameImage(const std::string& dir, const std::string& path) {
  struct stat want {};
  MachineConfig cfg;
  if (stat(path.c_str(), &want) != 0 || !LoadMachineConfig(dir, &cfg, nullptr)) return -1;
  for (size_t i = 0; i < cfg.disks.size(); ++i) {
    struct stat st {};
    if (stat(Resolve(dir, cfg.disks[i].image).c_str(), &st) == 0 && IdentityOf(st) == IdentityOf(want))
      return int(i);
  }
  return -1;
}

int FindImagePath(const std::string& dir, const std::string& path) {
  MachineConfig cfg;
  if (!LoadMachineConfig(dir, &cfg, nullptr)) return -1;
  std::error_code ec;
  const fs::path want = fs::weakly_canonical(path, ec);
  for (size_t i = 0; i < cfg.disks.size(); ++i)
    if (fs::weakly_canonical(Resolve(dir, cfg.disks[i].image), ec) == want) return int(i);
  return -1;
}

std::vector<std::string> LayoutWarnings(unsigned disk) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine || disk >= g_machine->disks.size()) return {};
  return g_machine->disks[disk]->warnings;
}

std::string LayoutReadOnlyReason(unsigned disk) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  if (!g_machine || disk >= g_machine->disks.size()) return {};
  return g_machine->disks[disk]->layoutReadOnly;
}

namespace detail {

// FTDISK_CRASH_AFTER_WRITES=K ends the process right after the Kth sector write or
// flush of a disk (with FTDISK_CRASH_COUNT_COMMITS set, or registry commit), as a crash
// or power cut would; tests use it to prove that every point of a request leaves a
// consistent disk.
void CrashPoint() {
  static const long limit = [] {
    const char* v = std::getenv("FTDISK_CRASH_AFTER_WRITES");
    return v != nullptr ? std::strtol(v, nullptr, 10) : 0L;
  }();
  static long count = 0;
  if (limit > 0 && ++count == limit) _exit(86);
}

std::recursive_mutex& MachineMutex() {
  // Never destroyed: handles closed during process exit still take it.
  static auto* m = new std::recursive_mutex;
  return *m;
}

Machine* Current() { return g_machine.get(); }

ptable::DiskShape Disk::Shape() const {
  return ptable::DiskShape{config.bytesPerSector, config.heads, config.sectors,
                           length / config.bytesPerSector};
}

DISK_GEOMETRY GeometryOf(const Disk& d) {
  DISK_GEOMETRY g{};
  const uint64_t cylinder = uint64_t(d.config.heads) * d.config.sectors * d.config.bytesPerSector;
  g.Cylinders.QuadPart = int64_t(d.length / cylinder);
  g.MediaType = d.config.removable ? RemovableMedia : FixedMedia;
  g.TracksPerCylinder = d.config.heads;
  g.SectorsPerTrack = d.config.sectors;
  g.BytesPerSector = d.config.bytesPerSector;
  return g;
}

NTSTATUS ReadBytes(Disk& disk, uint64_t offset, void* buffer, size_t length) {
  if (!disk.alive || disk.fd < 0) return STATUS_NO_SUCH_DEVICE;
  if (offset > disk.length || length > disk.length - offset) return STATUS_INVALID_PARAMETER;
  if (length == 0) return STATUS_SUCCESS;
  if (!PreadAll(disk.fd, buffer, length, offset)) return STATUS_IO_DEVICE_ERROR;
  OverlayPatchRead(disk, offset, buffer, length);  // a dry run's writes
  const uint64_t bps = disk.config.bytesPerSector;
  disk.counters.sectorsRead += (offset + length + bps - 1) / bps - offset / bps;
  return STATUS_SUCCESS;
}

void SetRefusal(const std::string& why) { RequestScope::NoteRefusal(why); }

namespace {

// Why the disk takes no writes (the refusal recorded), or success.
NTSTATUS Writable(const Disk& disk) {
  if (!disk.alive || disk.fd < 0) return STATUS_NO_SUCH_DEVICE;
  const std::string name = "disk " + std::to_string(disk.index);
  if (!disk.damage.empty()) {
    SetRefusal(name + " " + disk.damage);
    return disk.readOnly ? kMediaWriteProtected : kDiskCorrupt;
  }
  if (!disk.writeRefusal.empty()) {
    SetRefusal(disk.writeRefusal);
    return kMediaWriteProtected;
  }
  if (disk.readOnly) {
    SetRefusal(name + " is open for reading only");
    return kMediaWriteProtected;
  }
  return STATUS_SUCCESS;
}

// A failed write or flush in words, and its status.
NTSTATUS WriteFailure(const Disk& disk, int error) {
  const std::string name = "disk " + std::to_string(disk.index);
  if (error == EROFS || error == EPERM || error == EACCES) {
    SetRefusal(name + " is write-protected");
    return kMediaWriteProtected;
  }
  if (error == ENOSPC || error == EDQUOT) {
    SetRefusal("the file system holding " + name + "'s image is full");
    return kDiskFull;
  }
  SetRefusal("writing " + name + " failed: " + std::strerror(error));
  return STATUS_IO_DEVICE_ERROR;
}

}  // namespace

NTSTATUS WriteData(Disk& disk, uint64_t offset, const void* buffer, size_t length) {
  if (NTSTATUS s = Writable(disk); !NT_SUCCESS(s)) return s;
  const uint64_t bps = disk.config.bytesPerSector;
  if (length == 0 || offset % bps != 0 || length % bps != 0 || offset > disk.length ||
      length > disk.length - offset)
    return STATUS_INVALID_PARAMETER;
  if (OverlayActive()) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    NTSTATUS kept = STATUS_SUCCESS;
    OverlayWrite(disk, {{offset / bps, std::vector<uint8_t>(p, p + length)}}, &kept);
    return kept;
  }
  if (!PwriteAll(disk.fd, buffer, length, offset)) return WriteFailure(disk, errno);
  disk.counters.sectorsWritten += length / bps;
  disk.unflushed = true;
  CrashPoint();
  return STATUS_SUCCESS;
}

NTSTATUS FlushData(Disk& disk) {
  if (!disk.unflushed || OverlayActive()) return STATUS_SUCCESS;
  if (!disk.alive || disk.fd < 0) return STATUS_NO_SUCH_DEVICE;
  if (fdatasync(disk.fd) != 0) return WriteFailure(disk, errno);
  disk.unflushed = false;
  CrashPoint();
  return STATUS_SUCCESS;
}

NTSTATUS WriteSectors(Disk& disk, const std::vector<ptable::SectorImage>& sectors) {
  if (NTSTATUS s = Writable(disk); !NT_SUCCESS(s)) return s;
  if (sectors.empty()) return STATUS_SUCCESS;
  const std::string name = "disk " + std::to_string(disk.index);
  if (NTSTATUS kept; OverlayWrite(disk, sectors, &kept)) return kept;  // a dry run: kept in memory
  const uint64_t bps = disk.config.bytesPerSector;
  // What is there now, for the hooks and for putting it back if a write fails.
  std::vector<std::vector<uint8_t>> before;
  for (const auto& s : sectors) {
    if (s.bytes.empty() || s.bytes.size() % bps != 0 || s.lba > disk.length / bps ||
        s.bytes.size() / bps > disk.length / bps - s.lba)
      return STATUS_INVALID_PARAMETER;
    before.emplace_back(s.bytes.size());
    if (!PreadAll(disk.fd, before.back().data(), s.bytes.size(), s.lba * bps)) return STATUS_IO_DEVICE_ERROR;
  }
  // Everything that changes is shown to the before-write hook at once, so a backup of
  // it is on disk before the first sector is overwritten.
  if (g_beforeWrite) {
    std::vector<PendingSector> pending;
    for (size_t i = 0; i < sectors.size(); ++i)
      if (before[i] != sectors[i].bytes)
        pending.push_back(
            {sectors[i].lba, before[i].data(), sectors[i].bytes.data(), sectors[i].bytes.size()});
    std::string why;
    if (!pending.empty() && !g_beforeWrite(disk.index, pending, &why)) {
      SetRefusal("nothing was written to " + name + ": " + why);
      return kUnsuccessful;
    }
  }
  if (g_writeHook)
    for (size_t i = 0; i < sectors.size(); ++i)
      g_writeHook(disk.index, sectors[i].lba, before[i].data(), sectors[i].bytes.data(),
                  sectors[i].bytes.size());
  // In the order given (a layout comes deepest boot record first), sector 0 last, each
  // write flushed before the next, so what a later write points to is already there.
  std::vector<size_t> order(sectors.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  TableLock tables(disk.fd, true);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return (sectors[a].lba == 0) < (sectors[b].lba == 0); });
  std::vector<size_t> done;
  bool ok = true;
  int failure = 0;
  for (size_t k = 0; k < order.size() && ok; ++k) {
    const auto& s = sectors[order[k]];
    if (!PwriteAll(disk.fd, s.bytes.data(), s.bytes.size(), s.lba * bps)) {
      ok = false;
      failure = errno;
      break;
    }
    CrashPoint();
    done.push_back(order[k]);
    disk.counters.sectorsWritten += s.bytes.size() / bps;
    if (fdatasync(disk.fd) != 0) {
      ok = false;
      failure = errno;
    }
    CrashPoint();
  }
  if (!ok) {
    // Undone in the reverse order: links go back before what they pointed to.
    for (size_t k = done.size(); k-- > 0;) {
      const size_t i = done[k];
      PwriteAll(disk.fd, before[i].data(), before[i].size(), sectors[i].lba * bps);
      fdatasync(disk.fd);
    }
    if (failure == EROFS || failure == EPERM || failure == EACCES) {
      SetRefusal(name + " is write-protected");
      return kMediaWriteProtected;
    }
    return STATUS_IO_DEVICE_ERROR;
  }
  return STATUS_SUCCESS;
}

namespace {

// The partitions of a layout as the kernel numbers them: the slots of sector 0 are 1 to 4,
// the logical drives 5 on in chain order.
std::vector<blockdev::TablePartition> KernelTable(const PARTITION_INFORMATION* entries, size_t count,
                                                  uint64_t bps) {
  std::vector<blockdev::TablePartition> table;
  unsigned logical = 5;
  for (size_t i = 0; i < count; ++i) {
    const PARTITION_INFORMATION& e = entries[i];
    if (e.PartitionType == PARTITION_ENTRY_UNUSED) continue;
    const uint64_t start = uint64_t(e.StartingOffset.QuadPart), size = uint64_t(e.PartitionLength.QuadPart);
    if (i < 4) {
      // The kernel shows an extended partition as its first bytes only.
      const bool container = ptable::IsContainer(e.PartitionType);
      const uint64_t shown = container ? std::min(size, std::max<uint64_t>(bps, 1024)) : size;
      table.push_back({unsigned(i + 1), start, shown, container});
    } else if (ptable::IsData(e.PartitionType)) {
      table.push_back({logical++, start, size, false});
    }
  }
  return table;
}

}  // namespace

void NotifyKernel(Disk& disk, const ptable::ReadResult& layout) {
  if (!disk.blockDevice || disk.fd < 0) return;
  blockdev::Update(disk.fd,
                   KernelTable(layout.entries.data(), layout.entries.size(), disk.config.bytesPerSector),
                   &disk.warnings);
}

NTSTATUS CheckBusy(Disk& disk, const DRIVE_LAYOUT_INFORMATION* layout) {
  if (!disk.blockDevice || disk.fd < 0) return STATUS_SUCCESS;
  const auto table = KernelTable(layout->PartitionEntry, layout->PartitionCount, disk.config.bytesPerSector);
  // A partition in use must keep its number, start and size: the kernel cannot move it
  // under its user, and its name (/dev/sdX3, its PARTUUID) must not go to another one.
  for (const auto& k : blockdev::Partitions(disk.fd)) {
    const bool kept = std::any_of(table.begin(), table.end(), [&](const blockdev::TablePartition& t) {
      return t.number == k.number && t.start == k.start && (t.size == k.size || t.container);
    });
    if (kept) continue;
    std::string busy = blockdev::Busy(k);
    if (busy.empty()) continue;
    SetRefusal("partition " + std::to_string(k.number) + " of disk " + std::to_string(disk.index) + " (" +
               k.node + ") is " + busy + "; nothing was written");
    return STATUS_SHARING_VIOLATION;
  }
  return STATUS_SUCCESS;
}

namespace {

bool SameShape(const ptable::DiskShape& a, const ptable::DiskShape& b) {
  return a.bytesPerSector == b.bytesPerSector && a.heads == b.heads &&
         a.sectorsPerTrack == b.sectorsPerTrack && a.sectors == b.sectors;
}

// The table read decodes only the sectors it reads: when each of the last read's
// sectors reads the same again, its result stands. The sectors are read all the same
// (another program may have written them), once each, as a full read would.
bool ReadAgain(Disk& disk, const ptable::DiskShape& shape, ptable::ReadResult* result) {
  if (!disk.lastRead || !SameShape(disk.lastRead->shape, shape)) return false;
  const uint32_t bps = shape.bytesPerSector;
  std::vector<uint8_t> now(bps);
  for (const auto& [lba, bytes] : disk.lastRead->sectors)
    if (!NT_SUCCESS(ReadBytes(disk, lba * bps, now.data(), bps)) || now != bytes) return false;
  *result = disk.lastRead->result;
  return true;
}

}  // namespace

NTSTATUS RefreshLayout(Disk& disk, ptable::ReadResult* result) {
  const uint32_t bps = disk.config.bytesPerSector;
  const ptable::DiskShape shape = disk.Shape();
  TableLock tables(disk.fd, false);
  if (!ReadAgain(disk, shape, result)) {
    disk.lastRead.reset();
    Disk::LayoutRead read{shape, {}, {}};
    NTSTATUS s = ptable::Read(
        shape,
        [&](uint64_t lba, uint8_t* buf) {
          if (!NT_SUCCESS(ReadBytes(disk, lba * bps, buf, bps))) return false;
          read.sectors.emplace_back(lba, std::vector<uint8_t>(buf, buf + bps));
          return true;
        },
        result);
    if (!NT_SUCCESS(s)) return s;
    read.result = *result;
    disk.lastRead = std::move(read);
  }
  disk.warnings = result->warnings;
  disk.layoutReadOnly = result->readOnlyReason;
  disk.tableSectors = result->tableSectors;
  disk.signature = result->signature;

  // Unchanged partitions (same offset and length) keep their numbers.
  std::map<unsigned, std::shared_ptr<Partition>> kept;
  std::vector<size_t> fresh;
  for (size_t i = 0; i < result->entries.size(); ++i) {
    PARTITION_INFORMATION& e = result->entries[i];
    if (!ptable::IsData(e.PartitionType)) continue;
    std::shared_ptr<Partition> match;
    for (auto& [n, p] : disk.partitions)
      if (!kept.count(n) && p->offset == uint64_t(e.StartingOffset.QuadPart) &&
          p->length == uint64_t(e.PartitionLength.QuadPart)) {
        match = p;
        break;
      }
    if (!match) {
      fresh.push_back(i);
      continue;
    }
    e.PartitionNumber = match->number;
    match->info = e;
    match->primary = i < 4;  // an entry of the master boot record
    kept[match->number] = match;
  }
  for (auto& [n, p] : disk.partitions)
    if (!kept.count(n)) p->alive = false;  // its device disappears
  // New partitions take the lowest numbers not in use.
  unsigned next = 1;
  for (size_t i : fresh) {
    while (kept.count(next)) ++next;
    auto p = std::make_shared<Partition>();
    PARTITION_INFORMATION& e = result->entries[i];
    p->number = next;
    p->offset = uint64_t(e.StartingOffset.QuadPart);
    p->length = uint64_t(e.PartitionLength.QuadPart);
    e.PartitionNumber = next;
    p->info = e;
    p->primary = i < 4;
    kept[next] = p;
  }
  disk.partitions = std::move(kept);
  return STATUS_SUCCESS;
}

}  // namespace detail
}  // namespace ntp
