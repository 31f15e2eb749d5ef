// "ftdiskctl volume ..." and "ft verify": the bytes of an FT volume read, written and
// checked through the platform's FT layout, a device-mapper table that gives Linux the
// same view, and the data passes the ft requests run (mirror copies, parity, rebuilds)
// with their checkpoints and dirty ranges in the set's FT journal.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>

#include "ftcmd.h"
#include "ftconfig.h"
#include "ftjournal.h"
#include "ftmap.h"
#include "ftset.h"
#include "machine.h"
#include "ntplatform.h"
#include "overlay.h"

namespace cli {

namespace {

namespace fm = ntp::ftmap;
namespace fj = ntp::ftjournal;
namespace fs = std::filesystem;

bool OpenOr(Session& s, const Options& opt, std::ostream& err) {
  std::string e;
  if (s.Open(opt.dir, opt.noWait, &e)) return true;
  err << e << "\n";
  return false;
}

std::string Status(NTSTATUS st) { return HexStatus(static_cast<uint32_t>(st)); }

// What a set's data needs (shared with the nbdkit plugin).
using ftdata::ClearMark;
using ftdata::LoadJournal;
using ftdata::MarkHolds;
using ftdata::MarkWritten;
using ftdata::OpenVolume;
using ftdata::Set;
using ftdata::StoreStates;

bool LoadNamedSet(const std::string& arg, Set* set, std::string* error) {
  return ResolveSet(Machine::Read(), arg, &set->type, &set->group, error) &&
         LoadSetMembers(set->type, set->group, &set->members, error);
}

// Progress of a pass on a terminal: percent, bytes and rate, at most a few times a second.
fm::Progress PassProgress(const std::string& what, std::ostream& err) {
  if (!isatty(2)) return nullptr;
  struct State {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now(), last{};
    bool shown = false;
  };
  auto st = std::make_shared<State>();
  return [what, st, &err](uint64_t done, uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    const bool end = total != 0 && done >= total;
    if (!end && st->shown && now - st->last < std::chrono::milliseconds(200)) return;
    st->last = now;
    st->shown = true;
    const double secs = std::chrono::duration<double>(now - st->start).count();
    err << "\r" << what << ": " << FormatSize(done);
    if (total != 0) err << " of " << FormatSize(total) << " (" << done * 100 / total << "%)";
    if (secs > 0.5)
      err << ", " << FormatSize(static_cast<uint64_t>(static_cast<double>(done) / secs)) << "/s";
    err << "   " << (end ? "\n" : "") << std::flush;
  };
}

// The source of an import: a regular file, a block device or a stream ("-" is
// standard input). size is known for the first two.
struct Source {
  int fd = -1;
  bool known = false;
  uint64_t size = 0;
  ~Source() {
    if (fd > 0) ::close(fd);
  }
};

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

// The loop device attached to an image file ("" when none).
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

// Which of the machine's disks a path is (the image, its block device, or a loop
// device over the image); -1 for none.
int MachineDiskAt(const Options& opt, const std::string& path) {
  int same = ntp::FindSameImage(opt.dir, path);
  if (same >= 0) return same;
  ntp::MachineConfig cfg;
  std::string e;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) || !ntp::LoadMachineConfig(opt.dir, &cfg, &e))
    return -1;
  for (size_t i = 0; i < cfg.disks.size(); ++i) {
    fs::path p = cfg.disks[i].image;
    std::string loop = LoopOf((p.is_absolute() ? p : fs::path(opt.dir) / p).string());
    struct stat ls {};
    if (!loop.empty() && ::stat(loop.c_str(), &ls) == 0 && ls.st_rdev == st.st_rdev)
      return static_cast<int>(i);
  }
  return -1;
}

bool OpenSource(const Options& opt, const std::string& file, Source* src, std::string* error) {
  if (file != "-") {
    const int disk = MachineDiskAt(opt, file);
    if (disk >= 0) {
      *error = "'" + file + "' is disk " + std::to_string(disk) + " of this machine";
      return false;
    }
  }
  src->fd = file == "-" ? 0 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (src->fd < 0 || fstat(src->fd, &st) != 0) {
    *error = "'" + file + "': " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = "'" + file + "' is a directory";
    return false;
  }
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
  return true;
}

// The data passes' shared part: the rebuild or parity pass of a set with its
// checkpoints, resumed where an earlier run of the same pass stopped.
bool RunPass(fm::Volume& v, uint32_t type, uint16_t group, int member, const std::string& what,
             std::ostream& err, std::string* error) {
  ntp::RequestScope scope;
  Set set{type, group, {}};
  if (!LoadSetMembers(type, group, &set.members, error)) return false;
  if (ntp::OverlayActive()) {
    err << "dry run: the data pass (" << what << ", " << FormatSize(v.MemberSpan())
        << " per member) is not run\n";
    return true;
  }
  fj::Journal j = LoadJournal(set);
  const std::string pass = member >= 0 ? "copy" : "parity";
  // Where our own mark is all that keeps the set from healthy, only the ranges a write
  // left dirty need the pass.
  const bool dirtyOnly = MarkHolds(set, j);
  uint64_t from = 0;
  if (j.pass == pass && j.member == member && j.dirtyOnly == dirtyOnly) from = j.passDone;
  j.pass = pass;
  j.member = member;
  j.dirtyOnly = dirtyOnly;
  j.passDone = from;
  if (!fj::Save(j, error)) return false;
  NTSTATUS st = STATUS_SUCCESS;
  if (!dirtyOnly || !j.dirty.empty()) {
    if (from != 0) err << what << ": resuming where the last run stopped (member offset " << from << ")\n";
    auto checkpoint = [&](uint64_t done) -> NTSTATUS {
      j.passDone = done;
      return fj::Save(j, error) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    };
    const std::vector<fm::Range> ranges = dirtyOnly ? j.dirty : std::vector<fm::Range>{};
    const fm::Progress progress = PassProgress(what, err);
    st = member >= 0 ? v.Rebuild(static_cast<unsigned>(member), ranges, from, progress, checkpoint)
                     : v.InitializeParity(ranges, from, progress, checkpoint);
  }
  if (!NT_SUCCESS(st)) {
    if (error->empty()) *error = "the data pass failed (" + Status(st) + ")";
    const std::string refusal = scope.Refusal();
    if (!refusal.empty()) *error += ": " + refusal;
    return false;
  }
  // Every member agrees now over all the pass covered: dirty ranges and our mark go.
  j.pass.clear();
  j.member = -1;
  j.passDone = 0;
  j.dirty.clear();
  j.marked.clear();
  return fj::Save(j, error);
}

}  // namespace

bool RebuildPass(fm::Volume& v, uint32_t type, uint16_t group, unsigned member, const std::string& what,
                 std::ostream& err, std::string* error) {
  return RunPass(v, type, group, static_cast<int>(member), what, err, error);
}

bool ParityPass(fm::Volume& v, uint32_t type, uint16_t group, std::ostream& err, std::string* error) {
  return RunPass(v, type, group, -1, "writing the parity", err, error);
}

void DropJournal(uint32_t type, uint16_t group) {
  fj::Journal j;
  j.type = type;
  j.group = group;
  std::string ignored;
  fj::Save(j, &ignored);
}

int CmdVolumeExport(Session& s, const Options& opt, const std::string& volume, const std::string& file,
                    std::ostream& out, std::ostream& err) {
  const std::string what = "cannot export " + volume;
  if (!OpenOr(s, opt, err)) return kFailed;
  Set set;
  std::string e;
  if (!LoadNamedSet(volume, &set, &e)) return err << what << ": " << e << "\n", kFailed;
  std::unique_ptr<fm::Volume> v;
  if (!OpenVolume(what, set, false, false, &v, err)) return kFailed;
  const bool toStdout = file == "-";
  if (!toStdout && MachineDiskAt(opt, file) >= 0) {
    err << what << ": '" << file << "' is disk " << MachineDiskAt(opt, file) << " of this machine\n";
    return kFailed;
  }
  // A block device is written in place and must hold the volume; a file is replaced.
  struct stat st {};
  const bool device = !toStdout && ::stat(file.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
  if (toStdout) out.flush();
  int fd = toStdout ? 1
           : device ? ::open(file.c_str(), O_WRONLY | O_CLOEXEC)
                    : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    err << what << ": '" << file << "': " << std::strerror(errno) << "\n";
    return kFailed;
  }
  uint64_t room = 0;
  if (device && (ioctl(fd, BLKGETSIZE64, &room) != 0 || room < v->Length())) {
    ::close(fd);
    err << what << ": '" << file << "' holds " << room << " bytes, the volume " << v->Length() << "\n";
    return kFailed;
  }
  const uint64_t chunk = std::max<uint64_t>(v->IoBytes(), 4 << 20) / v->IoBytes() * v->IoBytes();
  std::vector<uint8_t> buf(chunk);
  std::string why;
  const fm::Progress progress = toStdout ? nullptr : PassProgress("exporting " + volume, err);
  for (uint64_t at = 0; at < v->Length() && why.empty(); at += chunk) {
    const uint64_t n = std::min(chunk, v->Length() - at);
    NTSTATUS r = v->Read(at, buf.data(), n);
    if (!NT_SUCCESS(r))
      why = "reading at offset " + std::to_string(at) + " failed (" + Status(r) + ")";
    else if (!WriteAll(fd, buf.data(), n))
      why = "'" + file + "': " + std::strerror(errno);
    if (progress) progress(at + n, v->Length());
  }
  // What export reports written is on the disk (a file or a block device; not a pipe).
  struct stat target {};
  if (!toStdout && why.empty() && fstat(fd, &target) == 0 &&
      (S_ISREG(target.st_mode) || S_ISBLK(target.st_mode)) && ::fsync(fd) != 0)
    why = "'" + file + "': " + std::strerror(errno);
  if (!toStdout && ::close(fd) != 0 && why.empty()) why = "'" + file + "': " + std::strerror(errno);
  if (!why.empty()) {
    err << what << ": " << why << "\n";
    return kFailed;
  }
  // With --json the document is printed for standard output too: the caller sends it to
  // standard error then.
  if (opt.json)
    out << JsonText(json{{"exported", volume}, {"file", file}, {"bytes", v->Length()}}) << "\n";
  else if (!toStdout)
    out << "exported " << v->Length() << " bytes of " << volume << " to " << file << "\n";
  return kOk;
}

int CmdVolumeImport(Session& s, const Options& opt, const std::string& volume, const std::string& file,
                    bool pad, std::ostream& out, std::ostream& err) {
  const std::string what = "cannot import into " + volume;
  Source src;
  std::string e;
  if (!OpenSource(opt, file, &src, &e)) return err << what << ": " << e << "\n", kFailed;
  if (src.known && src.size % 512 != 0 && !pad) {
    err << what << ": '" << file << "' holds " << src.size
        << " bytes, not a whole number of 512-byte sectors; "
        << "pad it to " << (src.size + 511) / 512 * 512
        << " bytes, or give --pad to write its bytes and keep the rest of the last sector\n";
    return kFailed;
  }
  if (!OpenOr(s, opt, err)) return kFailed;
  Set set;
  if (!LoadNamedSet(volume, &set, &e)) return err << what << ": " << e << "\n", kFailed;
  std::unique_ptr<fm::Volume> v;
  if (!OpenVolume(what, set, true, false, &v, err)) return kFailed;
  const uint64_t length = v->Length();
  if (src.known && src.size > length) {
    err << what << ": '" << file << "' holds " << src.size << " bytes, the volume " << length << "\n";
    return kFailed;
  }
  if (ntp::OverlayActive()) {
    out << "dry run: " << (src.known ? std::to_string(src.size) + " bytes of " : "") << file
        << " would be written into " << volume << " (data is not simulated)\n";
    return kOk;
  }

  // The set is marked before the first write; the journal records the import and the
  // ranges in flight, each window flushed before it is dropped.
  fj::Journal j = LoadJournal(set);
  if (j.pass == "copy") j.pass.clear();  // a member half copied would miss these writes
  j.importing = true;
  j.source = file == "-" ? "-" : fs::absolute(file).string();
  j.bytes = src.known ? src.size : 0;
  j.done = 0;
  if (!MarkWritten(set, &j, &e)) return err << what << ": " << e << "\n", kFailed;
  const bool guard = MarkHolds(set, j);

  const uint64_t chunk = v->IoBytes();
  const uint64_t window = fm::CheckpointBytes(length, chunk);
  const uint64_t end = src.known ? src.size : length;
  std::vector<uint8_t> buf(chunk);
  std::string why;
  uint64_t at = 0;
  bool eof = false, partial = false;
  uint64_t tail = 0;
  const fm::Progress progress = PassProgress("importing into " + volume, err);
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
        why = "'" + file + "': " + std::strerror(errno);
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
          why = "reading the last sector at offset " + std::to_string(at + whole) + " failed (" + Status(r) +
                ")";
          break;
        }
        std::memcpy(sector.data(), buf.data() + whole, n - whole);
        std::memcpy(buf.data() + whole, sector.data(), 512);
      }
      const uint64_t written = (n + 511) / 512 * 512;
      if (written > 0) {
        ntp::RequestScope scope;
        NTSTATUS w = v->Write(at, buf.data(), written);
        if (!NT_SUCCESS(w)) {
          why = "writing at offset " + std::to_string(at) + " failed (" + Status(w) + ")";
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
      why = "flushing the members failed (" + Status(f) + ")";
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
  s.RefreshBuiltin(u"fsys");
  if (!why.empty()) {
    err << what << ": " << why << "\n";
    if (!finished)
      err << "the import is recorded as unfinished ('ftdiskctl check' reports it); import the whole image "
             "again\n";
    return kFailed;
  }
  // The set written, and each partition of it with its start and size.
  const std::string members = Machine::Read().MembersSummary(set.name());
  if (opt.json)
    out << JsonText(json{{"imported", file}, {"volume", volume}, {"bytes", at}, {"partitions", members}})
        << "\n";
  else
    out << "wrote " << at << " bytes of " << file << " into " << set.name() << ": " << members << "\n";
  return kOk;
}

int CmdFtVerify(Session& s, const Options& opt, const std::string& setArg, bool repair, int from,
                std::ostream& out, std::ostream& err) {
  const std::string what = "cannot verify " + setArg;
  if (!OpenOr(s, opt, err)) return kFailed;
  Set set;
  std::string e;
  if (!LoadNamedSet(setArg, &set, &e)) return err << what << ": " << e << "\n", kFailed;
  const auto& states = set.members.states;
  const size_t n = states.size();
  if (set.type != Mirror && set.type != StripeWithParity)
    return err << what << ": only mirrors and stripe sets with parity hold redundant data to compare\n",
           kFailed;
  for (size_t i = 0; i < n; ++i)
    if (set.members.devices[i].empty())
      return err << what << ": member " << i
                 << "'s partition is not on the disks; verify reads every member\n",
             kFailed;
  if (set.type == StripeWithParity && from >= 0)
    return err << "ftdiskctl: --from names a mirror's member to copy from; a parity set's parity is always "
                  "rewritten from its data\n",
           kUsage;
  if (from >= static_cast<int>(n)) return err << what << ": the set has no member " << from << "\n", kFailed;
  if (from < 0)
    for (size_t i = 0; i < n && from < 0; ++i)
      if (MemberHoldsData(set.type, states[i])) from = static_cast<int>(i);
  if (from < 0) from = 0;
  // A repair takes one side as right: it must be a member whose data is current.
  if (repair && set.type == Mirror && !MemberHoldsData(set.type, states[static_cast<size_t>(from)]))
    return err << what << ": member " << from << " is "
               << FtPartitionStateName(states[static_cast<size_t>(from)])
               << " and may not hold the set's current data; name a healthy member with --from\n",
           kFailed;
  if (repair && set.type == StripeWithParity)
    for (size_t i = 0; i < n; ++i)
      if (!MemberHoldsData(set.type, states[i]))
        return err << what << ": member " << i
                   << " may hold stale data, which a parity repair would take as right; regenerate it "
                      "instead "
                      "(ftdiskctl ft regenerate "
                   << set.name() << " " << i << ")\n",
               kFailed;
  const bool dry = repair && ntp::OverlayActive();
  std::unique_ptr<fm::Volume> v;
  if (!OpenVolume(what, set, repair && !dry, true, &v, err)) return kFailed;
  fj::Journal j;
  // Before the first repair write the set is marked, with all of it dirty: an
  // interrupted repair leaves it shown as needing one.
  auto beforeRepair = [&]() -> NTSTATUS {
    j = LoadJournal(set);
    if (!MarkWritten(set, &j, &e)) return STATUS_UNSUCCESSFUL;
    if (MarkHolds(set, j)) fm::AddRange(&j.dirty, {0, v->MemberSpan()});
    return fj::Save(j, &e) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  };
  fm::VerifyReport report;
  ntp::RequestScope scope;
  NTSTATUS st = v->Verify(static_cast<unsigned>(from), repair && !dry,
                          PassProgress("verifying " + set.name(), err), beforeRepair, &report);
  if (!NT_SUCCESS(st)) {
    err << what << ": " << (e.empty() ? "the pass failed" : e) << " (" << Status(st) << ")";
    if (!scope.Refusal().empty()) err << ": " << scope.Refusal();
    err << "\n";
    return kFailed;
  }
  const bool parity = set.type == StripeWithParity;
  json ranges = json::array();
  std::vector<fm::Range> volumeRanges;  // of report.first, while the volume is open
  for (const auto& r : report.first) {
    const fm::Range vol = volumeRanges.emplace_back(v->VolumeRange(r));
    ranges.push_back({{"member_offset", r.begin},
                      {"member_end", r.end},
                      {"volume_offset", vol.begin},
                      {"volume_end", vol.end}});
  }
  // A repaired set is whole: every member healthy, nothing left dirty.
  if (repair && !dry) {
    v.reset();
    j = LoadJournal(set);
    j.dirty.clear();
    j.marked.clear();
    j.pass.clear();
    if (!fj::Save(j, &e) || !StoreStates(set, std::vector<uint32_t>(n, Healthy), &e))
      return err << what << ": " << e << "\n", kFailed;
  }
  if (opt.json) {
    out << JsonText(json{{"set", set.name()},
                         {"compared", parity ? "parity" : "members"},
                         {"from", parity ? json(nullptr) : json(from)},
                         {"mismatches", report.ranges},
                         {"mismatched_bytes", report.bytes},
                         {"first", ranges},
                         {"repaired", report.repaired}})
        << "\n";
  } else if (report.ranges == 0) {
    out << set.name() << ": every " << (parity ? "row's parity matches its data" : "member matches member ")
        << (parity ? "" : std::to_string(from)) << (repair && !dry ? "; the set is healthy" : "") << "\n";
  } else {
    out << set.name() << ": " << report.ranges << " mismatching range(s), " << report.bytes
        << " member bytes ("
        << (parity ? "rows whose parity does not match their data" : "where the members differ") << ")\n";
    for (size_t i = 0; i < report.first.size(); ++i) {
      const fm::Range &r = report.first[i], &vol = volumeRanges[i];
      out << "  volume bytes " << vol.begin << "-" << vol.end - 1 << " (member bytes " << r.begin << "-"
          << r.end - 1 << ")\n";
    }
    if (report.ranges > report.first.size())
      out << "  ... and " << report.ranges - report.first.size() << " more\n";
    if (report.repaired)
      out << "repaired: "
          << (parity ? "the parity was rewritten from the data"
                     : "copied from member " + std::to_string(from))
          << "; the set is healthy\n";
    else
      out << (dry ? "dry run: nothing was repaired; " : "") << "to repair: ftdiskctl ft verify " << set.name()
          << " --repair"
          << (parity ? " (rewrites the parity from the data)"
                     : " [--from MEMBER] (copies that member, default " + std::to_string(from) +
                           ", over the other)")
          << "\n";
  }
  if (report.ranges == 0 || report.repaired) return kOk;
  err << set.name() << " is not consistent: " << report.ranges << " mismatching range(s)"
      << (dry ? "; nothing was repaired in a dry run" : "") << "\n";
  return kFailed;
}

namespace {

// The Linux block device of one member's partition, found through sysfs: the kernel's
// partition of the disk (or of the loop device backing the disk's image) that starts at
// the member's sector. Empty when there is none.
std::string LinuxPartition(const std::string& diskPath, uint64_t startSector, uint64_t sectors) {
  std::error_code ec;
  std::string real = fs::weakly_canonical(diskPath, ec).string();
  std::vector<std::string> disks;
  struct stat st {};
  if (::stat(real.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
    disks.push_back(fs::path(real).filename().string());
  } else {
    std::string loop = LoopOf(real);
    if (!loop.empty()) disks.push_back(fs::path(loop).filename().string());
  }
  for (const auto& d : disks)
    for (const auto& e : fs::directory_iterator(fs::path("/sys/block") / d, ec)) {
      std::ifstream start(e.path() / "start"), size(e.path() / "size");
      uint64_t s = 0, n = 0;
      if (start >> s && size >> n && s == startSector && n == sectors)
        return "/dev/" + e.path().filename().string();
    }
  return "";
}

// A name or table for dmsetup's concise format, where ',' and ';' separate fields.
std::string Concise(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ',' || c == ';' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

int CmdVolumeDmTable(Session& s, const Options& opt, const std::string& volume,
                     const std::vector<std::string>& memberDevices, bool concise, const std::string& name,
                     std::ostream& out, std::ostream& err) {
  const std::string what = "cannot describe " + volume;
  if (!OpenOr(s, opt, err)) return kFailed;
  Set set;
  std::string e;
  if (!LoadNamedSet(volume, &set, &e)) return err << what << ": " << e << "\n", kFailed;
  const SetMembers& m = set.members;
  const uint32_t type = set.type;
  const size_t n = m.devices.size();
  if (!memberDevices.empty() && memberDevices.size() != n) {
    err << what << ": give one --member-device per member (" << n << ")\n";
    return kUsage;
  }
  auto disks = ntp::Disks();
  // Each member as a device and a start sector: the given device, else the kernel's
  // partition, else the loop device of the disk's image (or the disk's own block
  // device, or its image file) at the member's start.
  std::vector<std::pair<std::string, uint64_t>> devs;
  bool files = false;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t start = static_cast<uint64_t>(m.offsets[i]) / 512, sectors = m.lengths[i] / 512;
    if (!memberDevices.empty()) {
      devs.push_back({memberDevices[i], 0});
      continue;
    }
    std::string diskPath;
    for (const auto& d : disks)
      if (d.signature == m.signatures[i]) diskPath = d.path;
    if (diskPath.empty()) {
      devs.push_back({"", 0});
      continue;
    }
    std::string part = LinuxPartition(diskPath, start, sectors);
    if (!part.empty()) {
      devs.push_back({part, 0});
      continue;
    }
    struct stat st {};
    const bool block = ::stat(diskPath.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
    std::string loop = block ? diskPath : LoopOf(diskPath);
    files = files || loop.empty();
    devs.push_back({loop.empty() ? diskPath : loop, start});
  }
  bool healthy = true;
  for (size_t i = 0; i < n; ++i) {
    healthy = healthy && m.states[i] == Healthy;
    const bool lost = devs[i].first.empty() || m.states[i] == Orphaned;
    if (lost && type != Mirror) {
      err << what << ": member " << i
          << (devs[i].first.empty() ? "'s disk is not on this machine" : " is orphaned")
          << "; its data is not whole (read it with 'ftdiskctl volume export')\n";
      return kFailed;
    }
  }
  const uint64_t stripe = fm::kStripeBytes / 512;
  const std::string top = name.empty() ? set.name() : name;
  // The raid targets take whole devices: a member that starts inside its device (or a
  // parity set's member, shifted by one row) becomes a linear device of its own first.
  std::vector<std::string> lines;
  std::vector<std::pair<std::string, std::string>> helpers;  // name, table line
  auto whole = [&](size_t i, uint64_t shift, uint64_t sectors) {
    if (devs[i].second + shift == 0) return devs[i].first;
    const std::string helper = top + "-m" + std::to_string(i);
    helpers.push_back({helper, "0 " + std::to_string(sectors) + " linear " + devs[i].first + " " +
                                   std::to_string(devs[i].second + shift)});
    return "/dev/mapper/" + helper;
  };
  if (type == VolumeSet) {
    uint64_t at = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t len = m.lengths[i] / 512;
      lines.push_back(std::to_string(at) + " " + std::to_string(len) + " linear " + devs[i].first + " " +
                      std::to_string(devs[i].second));
      at += len;
    }
  } else if (type == Stripe) {
    const uint64_t rows = fm::UsableMemberLength(fm::kStripe, m.lengths) / fm::kStripeBytes;
    std::string l = "0 " + std::to_string(rows * stripe * n) + " striped " + std::to_string(n) + " " +
                    std::to_string(stripe);
    for (const auto& d : devs) l += " " + d.first + " " + std::to_string(d.second);
    lines.push_back(l);
  } else if (type == Mirror) {
    // In sync when healthy; a member that is being copied to is rebuilt by the target.
    const uint64_t sectors = fm::VolumeLength(fm::kMirror, m.lengths) / 512;
    std::vector<std::string> params = {"0"};
    if (healthy) params.push_back("nosync");
    for (size_t i = 0; i < n; ++i)
      if (m.states[i] == Regenerating || m.states[i] == Initializing)
        params.insert(params.end(), {"rebuild", std::to_string(i)});
    std::string l = "0 " + std::to_string(sectors) + " raid raid1 " + std::to_string(params.size());
    for (const auto& p : params) l += " " + p;
    l += " " + std::to_string(n);
    for (size_t i = 0; i < n; ++i)
      l += " - " + (m.states[i] == Orphaned || devs[i].first.empty() ? "-" : whole(i, 0, sectors));
    lines.push_back(l);
  } else {
    // Row 0 (parity on the last member, data on the others in order) as linear pieces;
    // from row 1 on, the members shifted by one row are the raid target's raid5_ra
    // layout (parity of its row k on member k mod n, data in member order).
    const uint64_t rows = fm::UsableMemberLength(fm::kParity, m.lengths) / fm::kStripeBytes;
    for (size_t k = 0; k + 1 < n && rows > 0; ++k)
      lines.push_back(std::to_string(k * stripe) + " " + std::to_string(stripe) + " linear " + devs[k].first +
                      " " + std::to_string(devs[k].second));
    if (rows > 1) {
      std::string l = std::to_string((n - 1) * stripe) + " " + std::to_string((rows - 1) * (n - 1) * stripe) +
                      " raid raid5_ra " + (healthy ? "2 " : "1 ") + std::to_string(stripe) +
                      (healthy ? " nosync " : " ") + std::to_string(n);
      for (size_t i = 0; i < n; ++i) l += " - " + whole(i, stripe, (rows - 1) * stripe);
      lines.push_back(l);
    }
  }
  if (opt.json) {
    // The table as data: each line's start, length, target and arguments, the helper
    // devices a raid target needs first (what --concise prints before the set's line).
    auto rows = [](const std::vector<std::string>& table) {
      json a = json::array();
      for (const auto& l : table) {
        std::istringstream words(l);
        uint64_t start = 0, length = 0;
        std::string target, args;
        words >> start >> length >> target;
        std::getline(words >> std::ws, args);
        a.push_back({{"start", start}, {"length", length}, {"target", target}, {"args", args}});
      }
      return a;
    };
    json helperDocs = json::array();
    for (const auto& [helper, line] : helpers)
      helperDocs.push_back({{"name", helper}, {"table", rows({line})}});
    PrintJsonResult(out, json{{"volume", set.name()},
                              {"name", top},
                              {"table", rows(lines)},
                              {"helpers", helperDocs},
                              {"member_files", files}});
    if (files)
      err << "note: some members are named by their disk's image file and start sector; dmsetup needs block "
             "devices, so attach the images with losetup (-P gives partition nodes)\n";
    return kOk;
  }
  if (!helpers.empty() && !concise) {
    err << what << ": the raid target needs "
        << (type == StripeWithParity ? "each member shifted by one row" : "whole member devices")
        << ", which takes a device of its own per member; print them all for 'dmsetup create --concise' "
           "with --concise (ftdiskctl volume dmtable "
        << volume << " --concise | sudo dmsetup create --concise)\n";
    return kFailed;
  }
  if (concise) {
    for (const auto& [helper, line] : helpers) out << Concise(helper) << ",,,," << Concise(line) << ";";
    out << Concise(top) << ",,,";
    for (const auto& l : lines) out << "," << Concise(l);
    out << "\n";
  } else {
    for (const auto& l : lines) out << l << "\n";
  }
  if (files)
    err << "note: some members are named by their disk's image file and start sector; dmsetup needs block "
           "devices, so attach the images with losetup (-P gives partition nodes) and run this again\n";
  return kOk;
}

}  // namespace cli
