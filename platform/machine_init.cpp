// Making a machine directory safely: `init` records what it is about to create in
// DIR/init.partial before creating it and removes the record last, so a run that was
// killed halfway leaves a directory that the next `init` recognises as its own and
// cleans, instead of files that block it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "disk_signature.h"
#include "machine.h"
#include "machine_state.h"
#include "mbr.h"
#include "ntplatform.h"

namespace ntp {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPartialName = "init.partial";

bool SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

// A path recorded in init.partial names a file inside the machine directory only.
bool Inside(const std::string& rel) {
  fs::path p(rel);
  if (rel.empty() || p.is_absolute()) return false;
  for (const auto& part : p)
    if (part == "..") return false;
  return true;
}

}  // namespace

namespace detail {

bool BeginInit(const std::string& dir, const std::vector<std::string>& files, std::string* error) {
  const std::string path = (fs::path(dir) / kPartialName).string();
  std::string text = "# ftdiskctl init was making a machine here; these files are its own.\n";
  for (const auto& f : files)
    if (Inside(f)) text += f + "\n";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
  const int saved = errno;
  if (fd >= 0) close(fd);
  if (!ok) {
    unlink(path.c_str());
    return SetError(error, "cannot write " + path + ": " + std::strerror(saved));
  }
  return true;
}

void EndInit(const std::string& dir) {
  unlink((fs::path(dir) / kPartialName).c_str());
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

void AbandonInit(const std::string& dir) {
  std::ifstream in(fs::path(dir) / kPartialName);
  std::string line;
  std::error_code ec;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#' && Inside(line)) fs::remove(fs::path(dir) / line, ec);
  for (const char* name : {"machine.toml.tmp", "machine.toml.bak", "machine.toml.bak.tmp"})
    fs::remove(fs::path(dir) / name, ec);
  fs::remove(fs::path(dir) / "disks", ec);  // only when empty
  EndInit(dir);
}

}  // namespace detail

bool PrepareMachineDir(const std::string& dir, bool force, std::string* note, std::string* error,
                       bool dryRun) {
  std::error_code ec;
  const fs::path d(dir);
  if (dryRun) {
    // The directory, or the nearest folder above it that exists, must take new files.
    fs::path where = fs::absolute(d, ec);
    while (!where.empty() && !fs::exists(where, ec) && where != where.parent_path())
      where = where.parent_path();
    if (access(where.c_str(), W_OK | X_OK) != 0)
      return SetError(error, "cannot write in '" + where.string() + "': " + std::strerror(errno));
  }
  if (!fs::exists(d, ec)) return true;
  if (!fs::is_directory(d, ec)) return SetError(error, "it is not a directory");
  if (fs::exists(d / "machine.toml", ec)) return SetError(error, "it is a machine already");
  if (fs::exists(d / kPartialName, ec)) {
    if (!dryRun) detail::AbandonInit(dir);
    if (note != nullptr)
      *note = "an earlier 'init' of " + dir + " was interrupted; the files it had made " +
              (dryRun ? "would be removed" : "were removed");
    return true;
  }
  if (force) return true;
  std::string first;
  size_t count = 0;
  for (const auto& e : fs::directory_iterator(d, ec)) {
    if (count++ == 0) first = e.path().filename().string();
  }
  if (count == 0) return true;
  return SetError(error,
                  "the directory is not empty (it holds '" + first + "'" +
                      (count > 1 ? " and " + std::to_string(count - 1) + " more" : std::string()) +
                      "); give --force to make the machine in it anyway, or choose an empty directory");
}

namespace {

// Reads an image's first sector for attaching it.
Status ReadImageStart(const std::string& image, uint8_t (&sector)[512]) {
  const std::string what = "cannot attach '" + image + "': ";
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status(STATUS_UNSUCCESSFUL, what + std::strerror(errno));
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0;
  const ssize_t got = ok ? pread(fd, sector, sizeof sector, 0) : -1;
  ::close(fd);
  if (!ok || (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)))
    return Status(STATUS_UNSUCCESSFUL, what + "not a regular file or block device");
  if (got != static_cast<ssize_t>(sizeof sector))
    return Status(STATUS_UNSUCCESSFUL,
                  what + "the first sector cannot be read (the image is empty or unreadable)");
  return Status();
}

}  // namespace

Status DetachDisk(const std::string& dir, unsigned index, bool dryRun, std::string* image) {
  MachineConfig cfg;
  std::string e;
  if (!LoadMachineConfig(dir, &cfg, &e) || index >= cfg.disks.size())
    return Status(STATUS_UNSUCCESSFUL, e.empty() ? "machine.toml does not list it" : e);
  *image = cfg.disks[index].image;
  cfg.disks.erase(cfg.disks.begin() + index);
  if (!dryRun && !SaveMachineConfig(dir, cfg, &e)) return Status(STATUS_UNSUCCESSFUL, e);
  return Status();
}

Status CheckAttachImage(const std::string& image) {
  uint8_t sector[512];
  return ReadImageStart(image, sector);
}

Status AttachDisk(const std::string& dir, const std::string& image, const AttachOptions& options,
                  AttachedDisk* attached) {
  uint8_t sector[512];
  if (Status st = ReadImageStart(image, sector); !st.ok()) return st;
  std::error_code ec;
  if (!fs::exists(fs::path(dir) / "machine.toml", ec))
    return Status(
        STATUS_UNSUCCESSFUL,
        "'" + dir + "' is not a machine directory (no machine.toml; make one with 'ftdiskctl init')");
  // The machine is held while its configuration changes; a dry run boots read-only: it
  // takes no lock and writes nothing, machine.toml included.
  BootOptions boot;
  boot.mode = options.noWait ? LockMode::NoWait : LockMode::Wait;
  boot.readOnly = options.dryRun;
  boot.onWait = options.onWait;
  std::string e;
  if (!Boot(dir, boot, &e)) return Status(STATUS_UNSUCCESSFUL, "cannot open machine '" + dir + "': " + e);
  struct Booted {
    ~Booted() { Shutdown(); }
  } booted;
  // One disk can be attached once (by any path to it): a second entry for it would be
  // a second writer. Checked under the machine lock, so two attaches cannot race.
  const int same = FindSameImage(dir, image);
  if (same >= 0 && !options.readOnly)
    return Status(STATUS_UNSUCCESSFUL, "cannot attach '" + image + "': it is already disk " +
                                           std::to_string(same) + " of this machine");
  MachineConfig cfg;
  const bool loaded = LoadMachineConfig(dir, &cfg, &e);
  if (same >= 0) {
    if (loaded && static_cast<size_t>(same) < cfg.disks.size()) cfg.disks[size_t(same)].readOnly = true;
    if (!loaded || (!options.dryRun && !SaveMachineConfig(dir, cfg, &e)))
      return Status(STATUS_UNSUCCESSFUL, "cannot make disk " + std::to_string(same) + " read-only: " + e);
    *attached = {unsigned(same), true, {}};
    return Status();
  }
  *attached = {unsigned(cfg.disks.size()), false, {}};
  if (loaded) {
    DiskConfig d;
    d.image = fs::absolute(image, ec).string();
    d.removable = options.removable;
    d.readOnly = options.readOnly;
    cfg.disks.push_back(d);
  }
  if (!loaded || (!options.dryRun && !SaveMachineConfig(dir, cfg, &e)))
    return Status(STATUS_UNSUCCESSFUL, "cannot attach '" + image + "': " + e);
  if (!ftformat::IsForeignSector0(sector)) {
    const uint32_t signature = uint32_t(sector[0x1B8]) | (uint32_t(sector[0x1B9]) << 8) |
                               (uint32_t(sector[0x1BA]) << 16) | (uint32_t(sector[0x1BB]) << 24);
    attached->clash = SignatureClash(signature, -1);
  }
  return Status();
}

}  // namespace ntp
