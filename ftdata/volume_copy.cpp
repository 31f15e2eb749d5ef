// An FT set's volume copied whole out of and into files, devices and streams.
#include "volume_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ftjournal.h"
#include "ftplan.h"
#include "machine.h"
#include "ntplatform.h"
#include "overlay.h"

namespace ftdata {

namespace fm = ntp::ftmap;
namespace fj = ntp::ftjournal;
namespace fs = std::filesystem;

namespace {

ntp::Status Failure(std::string why) { return ntp::Status(uint32_t(STATUS_UNSUCCESSFUL), std::move(why)); }

std::string FileError(const std::string& file) { return "'" + file + "': " + std::strerror(errno); }

// Reads up to n bytes, fewer only at the end of the input; -1 on an error.
int64_t ReadFull(int fd, uint8_t* p, uint64_t n) {
  uint64_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<uint64_t>(r);
  }
  return static_cast<int64_t>(got);
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

std::string LoopOf(const std::string& image) {
  std::error_code ec;
  const std::string real = fs::weakly_canonical(image, ec).string();
  for (const auto& e : fs::directory_iterator("/sys/block", ec)) {
    std::ifstream f(e.path() / "loop" / "backing_file");
    std::string backing;
    if (f && std::getline(f, backing) && backing == real) return "/dev/" + e.path().filename().string();
  }
  return "";
}

int MachineDiskAt(const std::string& dir, const std::string& path) {
  int same = ntp::FindSameImage(dir, path);
  if (same >= 0) return same;
  ntp::MachineConfig cfg;
  std::string e;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) || !ntp::LoadMachineConfig(dir, &cfg, &e))
    return -1;
  for (size_t i = 0; i < cfg.disks.size(); ++i) {
    fs::path p = cfg.disks[i].image;
    std::string loop = LoopOf((p.is_absolute() ? p : fs::path(dir) / p).string());
    struct stat ls {};
    if (!loop.empty() && ::stat(loop.c_str(), &ls) == 0 && ls.st_rdev == st.st_rdev)
      return static_cast<int>(i);
  }
  return -1;
}

ntp::Status ExportVolume(fm::Volume& v, const std::string& dir, const std::string& file,
                         const fm::Progress& progress) {
  const bool toStdout = file == "-";
  if (!toStdout)
    if (const int disk = MachineDiskAt(dir, file); disk >= 0)
      return Failure("'" + file + "' is disk " + std::to_string(disk) + " of this machine");
  struct stat st {};
  const bool device = !toStdout && ::stat(file.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
  int fd = toStdout ? 1
           : device ? ::open(file.c_str(), O_WRONLY | O_CLOEXEC)
                    : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Failure(FileError(file));
  uint64_t room = 0;
  if (device && (ioctl(fd, BLKGETSIZE64, &room) != 0 || room < v.Length())) {
    ::close(fd);
    return Failure("'" + file + "' holds " + std::to_string(room) + " bytes, the volume " +
                   std::to_string(v.Length()));
  }
  const uint64_t chunk = std::max<uint64_t>(v.IoBytes(), 4 << 20) / v.IoBytes() * v.IoBytes();
  std::vector<uint8_t> buf(chunk);
  std::string why;
  for (uint64_t at = 0; at < v.Length() && why.empty(); at += chunk) {
    const uint64_t n = std::min(chunk, v.Length() - at);
    NTSTATUS r = v.Read(at, buf.data(), n);
    if (!NT_SUCCESS(r))
      why = "reading at offset " + std::to_string(at) + " failed (" + HexStatus(r) + ")";
    else if (!WriteAll(fd, buf.data(), n))
      why = FileError(file);
    if (progress) progress(at + n, v.Length());
  }
  struct stat target {};
  if (!toStdout && why.empty() && fstat(fd, &target) == 0 &&
      (S_ISREG(target.st_mode) || S_ISBLK(target.st_mode)) && ::fsync(fd) != 0)
    why = FileError(file);
  if (!toStdout && ::close(fd) != 0 && why.empty()) why = FileError(file);
  return why.empty() ? ntp::Status() : Failure(why);
}

ImportSource::~ImportSource() {
  if (fd > 0) ::close(fd);
}

ntp::Status OpenImportSource(const std::string& dir, const std::string& file, bool pad, ImportSource* src) {
  if (file != "-")
    if (const int disk = MachineDiskAt(dir, file); disk >= 0)
      return Failure("'" + file + "' is disk " + std::to_string(disk) + " of this machine");
  src->fd = file == "-" ? 0 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (src->fd < 0 || fstat(src->fd, &st) != 0) return Failure(FileError(file));
  if (S_ISDIR(st.st_mode)) return Failure("'" + file + "' is a directory");
  if (S_ISREG(st.st_mode)) {
    src->known = true;
    src->size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
    src->known = ioctl(src->fd, BLKGETSIZE64, &src->size) == 0;
  }
  // A regular file given as standard input is read from where it stands.
  if (src->known && file == "-") {
    off_t at = lseek(0, 0, SEEK_CUR);
    src->size -= at > 0 ? std::min<uint64_t>(src->size, static_cast<uint64_t>(at)) : 0;
  }
  if (src->known && src->size % 512 != 0 && !pad)
    return Failure("'" + file + "' holds " + std::to_string(src->size) +
                   " bytes, not a whole number of 512-byte sectors; pad it to " +
                   std::to_string((src->size + 511) / 512 * 512) +
                   " bytes, or give --pad to write its bytes and keep the rest of the last sector");
  return ntp::Status();
}

ntp::Status CheckImportFits(const ImportSource& src, const std::string& file, uint64_t length) {
  if (!src.known || src.size <= length) return ntp::Status();
  const std::string name = file == "-" ? "the input" : "'" + file + "'";
  return Failure(name + " holds " + std::to_string(src.size) + " bytes, " +
                 std::to_string(src.size - length) + " more than the volume's " + std::to_string(length) +
                 "; nothing was written: import an image of at most " + std::to_string(length) +
                 " bytes (one exported from this set, or a file system made to that size)");
}

namespace {

ntp::Status Import(Set& set, std::unique_ptr<fm::Volume> v, ImportSource& src, const std::string& file,
                   bool pad, const fm::Progress& progress, uint64_t* written, bool* unfinished) {
  *written = 0;
  *unfinished = false;
  const uint64_t length = v->Length();
  std::string e;
  fj::Journal j = LoadJournal(set);
  if (j.pass == "copy") j.pass.clear();  // a member half copied would miss these writes
  j.importing = true;
  j.source = file == "-" ? "-" : fs::absolute(file).string();
  j.bytes = src.known ? src.size : 0;
  j.done = 0;
  if (!MarkWritten(set, &j, &e)) return Failure(e);
  const bool guard = MarkHolds(set, j);

  const uint64_t chunk = v->IoBytes();
  const uint64_t window = fm::CheckpointBytes(length, chunk);
  const uint64_t end = src.known ? src.size : length;
  std::vector<uint8_t> buf(chunk);
  std::string why;
  uint64_t at = 0;
  bool eof = false, partial = false;
  uint64_t tail = 0;
  while (!eof && why.empty() && at < end) {
    const uint64_t start = at, stop = std::min(at + window, end);
    if (guard) fm::AddRange(&j.dirty, v->MemberRange(start, (stop + 511) / 512 * 512 - start));
    j.done = start;
    if (!fj::Save(j, &e)) {
      why = e;
      break;
    }
    while (!eof && at < stop && why.empty()) {
      const int64_t got = ReadFull(src.fd, buf.data(), std::min(chunk, stop - at));
      if (got < 0) {
        why = FileError(file);
        break;
      }
      if (got == 0 || (src.known && static_cast<uint64_t>(got) < std::min(chunk, stop - at))) eof = true;
      uint64_t n = static_cast<uint64_t>(got), whole = n / 512 * 512;
      if (src.known && eof && at + n < src.size) {
        why = "'" + file + "' ended after " + std::to_string(at + n) + " of its " + std::to_string(src.size) +
              " bytes";
        n = whole;
      }
      if (n % 512 != 0 && !pad) {
        partial = true;
        tail = n - whole;
        n = whole;
      } else if (n % 512 != 0) {
        // The last sector: the volume's bytes after the image's end stay as they are.
        std::vector<uint8_t> sector(512);
        NTSTATUS r = v->Read(at + whole, sector.data(), 512);
        if (!NT_SUCCESS(r)) {
          why = "reading the last sector at offset " + std::to_string(at + whole) + " failed (" +
                HexStatus(r) + ")";
          break;
        }
        std::memcpy(sector.data(), buf.data() + whole, n - whole);
        std::memcpy(buf.data() + whole, sector.data(), 512);
      }
      const uint64_t sectors = (n + 511) / 512 * 512;
      if (sectors > 0) {
        ntp::RequestScope scope;
        NTSTATUS w = v->Write(at, buf.data(), sectors);
        if (!NT_SUCCESS(w)) {
          why = "writing at offset " + std::to_string(at) + " failed (" + HexStatus(w) + ")";
          if (!scope.Refusal().empty()) why += ": " + scope.Refusal();
          break;
        }
      }
      at += n;
      if (progress) progress(at, src.known ? src.size : 0);
      if (partial || got == 0) eof = true;
    }
    if (!why.empty()) break;
    ntp::RequestScope scope;
    NTSTATUS f = v->Flush();
    if (!NT_SUCCESS(f)) {
      why = "flushing the members failed (" + HexStatus(f) + ")";
      if (!scope.Refusal().empty()) why += ": " + scope.Refusal();
      break;
    }
    if (guard) fm::RemoveRange(&j.dirty, v->MemberRange(start, (at + 511) / 512 * 512 - start));
    j.done = at;
  }
  if (progress && !src.known && at > 0) progress(at, at);  // the line ends
  // A stream longer than the volume: its first bytes are in, the rest is refused.
  if (why.empty() && !src.known && at == length && !eof) {
    uint8_t more = 0;
    if (ReadFull(src.fd, &more, 1) == 1)
      why = "the input holds more than the volume's " + std::to_string(length) + " bytes; the first " +
            std::to_string(length) + " were written";
  }
  if (why.empty() && partial)
    why =
        "the input ended " + std::to_string(tail) + " bytes into a sector (" + std::to_string(at + tail) +
        " bytes in all, not a whole number of 512-byte sectors); those last " + std::to_string(tail) +
        " bytes were not written: import it again with --pad to write them and keep the rest of that sector";
  const bool finished = why.empty();
  if (finished) j.importing = false;
  v.reset();
  if (!ClearMark(set, &j, &e) && why.empty()) why = e;
  *written = at;
  *unfinished = !finished;
  return why.empty() ? ntp::Status() : Failure(why);
}

}  // namespace

ntp::Status ImportVolume(zm::Session& s, Set& set, std::unique_ptr<fm::Volume> v, ImportSource& src,
                         const std::string& file, bool pad, const fm::Progress& progress, ImportOutcome* o) {
  *o = ImportOutcome();
  if (ntp::OverlayActive()) {
    o->simulated = true;
    return ntp::Status();
  }
  const ntp::Status st = Import(set, std::move(v), src, file, pad, progress, &o->written, &o->unfinished);
  s.RefreshBuiltin(u"fsys");
  return st;
}

ntp::Status ExportWithHoles(const Set& set, const std::string& file,
                            std::vector<std::pair<uint64_t, uint64_t>>* holes, uint64_t* total) {
  const SetMembers& m = set.members;
  const size_t n = m.devices.size();
  std::vector<bool> lost(n);
  std::vector<HANDLE> handles(n, nullptr);
  struct Close {
    std::vector<HANDLE>& h;
    ~Close() {
      for (HANDLE x : h)
        if (x) NtClose(x);
    }
  } closer{handles};
  for (size_t i = 0; i < n; ++i)
    lost[i] = m.devices[i].empty() || !MemberHoldsData(set.type, m.states[i]) ||
              !NT_SUCCESS(ntp::OpenDevice(m.devices[i], GENERIC_READ, &handles[i]));
  // A parity set still initializing has no parity to rebuild a lost member's stripes from.
  const bool whole = std::count(m.states.begin(), m.states.end(), uint32_t(Initializing)) == 0;
  *holes = ftconfig::LostRanges(set.type, m.lengths, lost, whole);
  *total = fm::VolumeLength(static_cast<fm::Type>(set.type), m.lengths);
  if (holes->empty()) return {};
  const bool toStdout = file == "-";
  const int fd = toStdout ? 1 : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Failure("'" + file + "': " + std::strerror(errno));
  // Piece by piece through the layout: a piece on a member left is read from it, one on
  // a lost member is zeros (the parity that could rebuild it is gone with it).
  std::vector<uint8_t> buf;
  std::string why;
  for (uint64_t at = 0; at < *total && why.empty();) {
    fm::Piece p;
    // A short file is never reported as the whole volume.
    if (!fm::Map(static_cast<fm::Type>(set.type), m.lengths, at, &p)) {
      why = "the layout maps no member at volume offset " + std::to_string(at);
      break;
    }
    const uint64_t len = std::min(std::min(p.length, *total - at), uint64_t(1) << 20);
    buf.assign(len, 0);
    if (!lost[p.member]) {
      IO_STATUS_BLOCK iosb{};
      LARGE_INTEGER offset;
      offset.QuadPart = int64_t(p.memberOffset);
      NTSTATUS st = NtReadFile(handles[p.member], nullptr, nullptr, nullptr, &iosb, buf.data(), ULONG(len),
                               &offset, nullptr);
      if (!NT_SUCCESS(st))
        why = "member " + std::to_string(p.member) + " cannot be read at " + std::to_string(p.memberOffset) +
              " (" + HexStatus(st) + ")";
    }
    for (size_t done = 0; why.empty() && done < buf.size();) {
      const ssize_t w = ::write(fd, buf.data() + done, buf.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) why = "'" + file + "': " + std::strerror(errno);
      done += w > 0 ? size_t(w) : 0;
    }
    at += len;
  }
  if (!toStdout && ::close(fd) != 0 && why.empty()) why = "'" + file + "': " + std::strerror(errno);
  return why.empty() ? ntp::Status() : Failure(why);
}

}  // namespace ftdata
