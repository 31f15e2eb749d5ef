// nbdkit-ftdisk-plugin.so: serves one FT volume of a machine over NBD through the
// platform's FT layout (ftmap::Volume), as `ftdiskctl volume serve` starts it:
//
//   nbdkit -f -U SOCKET nbdkit-ftdisk-plugin.so machine=DIR set=parity0 [readonly=true]
//
// The machine is booted once, before the first connection, and held until nbdkit stops:
// a writing server holds the machine's exclusive lock (no request of another process
// changes the tables or the configuration under it), a read-only one boots read-only
// and holds the lock shared, so writers wait for it and readers do not.
//
// Writes to a redundant set follow the FT journal's rules: before the first write the
// set is marked as being written (a mirror's other members regenerating, a parity set's
// members initializing), each write's member range is recorded dirty before it is
// written, and the dirty ranges are dropped after the flush that made them durable; at
// the end the last flush clears the mark. A server killed at any point leaves the set
// shown as needing a resync of its dirty ranges only.
//
// ftmap::Volume keeps per-member row buffers and is not safe for concurrent calls, so
// every request is serialized (one volume is shared by all connections; a flush reaches
// every member, so clients may use several connections).
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ftjournal.h"
#include "ftmap.h"
#include "ftset.h"
#include "machine.h"
#include "ntplatform.h"
#include "served.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_SERIALIZE_ALL_REQUESTS

namespace {

namespace fm = ntp::ftmap;
namespace fj = ntp::ftjournal;

struct Server {
  // Parameters.
  std::string dir, setName, where = "nbd";
  bool readOnly = false, wait = true;
  // State from get_ready on.
  bool booted = false;
  ftdata::Set set;
  std::unique_ptr<fm::Volume> volume;
  // Set when the first write came: the journal, and whether our mark guards the set.
  bool writing = false, guard = false;
  fj::Journal journal;
  // Dirty ranges an earlier, interrupted writer left: kept until a resync covers them.
  std::vector<fm::Range> inherited;
  // Dirty ranges are recorded in whole pieces of about an eighth of the member (at least
  // 1 MiB, at most 256 MiB), so a stream of writes saves the journal once per piece.
  uint64_t grain = 0;
  std::vector<uint8_t> bounce;  // whole sectors around an unaligned request
  ftdata::ServeMarker marker;
};

Server* g = nullptr;

std::string Status(NTSTATUS st) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(st));
  return text;
}

int Fail(const std::string& text, int err = EIO) {
  nbdkit_error("%s", text.c_str());
  nbdkit_set_error(err);
  return -1;
}

int Config(const char* key, const char* value) {
  const std::string k = key;
  if (k == "machine") {
    g->dir = std::filesystem::absolute(value).lexically_normal().string();
  } else if (k == "set") {
    g->setName = value;
  } else if (k == "served-at") {
    g->where = value;
  } else if (k == "readonly" || k == "wait") {
    const int b = nbdkit_parse_bool(value);
    if (b < 0) return -1;
    (k == "readonly" ? g->readOnly : g->wait) = b != 0;
  } else {
    nbdkit_error("unknown parameter '%s' (machine=DIR set=NAME [readonly=BOOL] [wait=BOOL])", key);
    return -1;
  }
  return 0;
}

int ConfigComplete() {
  if (g->dir.empty() || g->setName.empty()) {
    nbdkit_error("give machine=DIR and set=NAME (mirrorG, stripeG, parityG or volsetG)");
    return -1;
  }
  uint32_t type = 0;
  uint16_t group = 0;
  if (!ftdata::ParseSetName(g->setName, &type, &group)) {
    nbdkit_error("set=%s names no FT set (mirrorG, stripeG, parityG or volsetG)", g->setName.c_str());
    return -1;
  }
  g->set.type = type;
  g->set.group = group;
  return 0;
}

int GetReady() {
  std::string e;
  ntp::BootOptions boot;
  boot.mode = g->wait ? ntp::LockMode::Wait : ntp::LockMode::NoWait;
  boot.readOnly = g->readOnly;
  boot.holdShared = g->readOnly;  // writers of the machine wait while it serves
  boot.onWait = [](const std::string& what) {
    std::fprintf(stderr, "waiting for %s, held by another process...\n", what.c_str());
  };
  if (!ntp::Boot(g->dir, boot, &e))
    return nbdkit_error("cannot open machine '%s': %s", g->dir.c_str(), e.c_str()), -1;
  g->booted = true;
  const std::string what = "cannot serve " + g->setName;
  if (!ftdata::LoadSetMembers(g->set.type, g->set.group, &g->set.members, &e))
    return nbdkit_error("%s: %s", what.c_str(), e.c_str()), -1;
  // Members that do not hold the set's data are left out: never read, never written.
  std::ostringstream err;
  if (!ftdata::OpenVolume(what, g->set, !g->readOnly, false, &g->volume, err)) {
    std::string text = err.str();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return nbdkit_error("%s", text.c_str()), -1;
  }
  nbdkit_debug("serving %s: %llu bytes, %s", g->setName.c_str(),
               static_cast<unsigned long long>(g->volume->Length()),
               g->readOnly ? "read-only" : "read-write");
  return 0;
}

// The marker is written by the process that serves (after nbdkit's fork, if any).
int AfterFork() {
  std::string e;
  if (!g->marker.Create(g->dir, {g->setName, g->where, g->readOnly, 0}, &e))
    nbdkit_debug("the volume is served without a marker: %s", e.c_str());
  return 0;
}

// The first write marks a set that is whole; a set already marked by an interrupted
// write keeps its mark and its dirty ranges.
bool BeginWriting() {
  if (g->writing) return true;
  std::string e;
  g->journal = ftdata::LoadJournal(g->set);
  // A member copy's checkpoint goes: the copy, resumed, would miss these writes.
  const bool dropCopy = g->journal.pass == "copy";
  if (dropCopy) g->journal.pass.clear();
  if (!ftdata::MarkWritten(g->set, &g->journal, &e) || (dropCopy && !fj::Save(g->journal, &e))) {
    Fail("cannot mark " + g->setName + " as being written: " + e);
    return false;
  }
  g->guard = ftdata::MarkHolds(g->set, g->journal);
  g->inherited = g->journal.dirty;
  g->grain = fm::CheckpointBytes(g->volume->MemberSpan(), fm::kStripeBytes);
  g->writing = true;
  return true;
}

// Records the member range a write of [offset, offset + length) may leave inconsistent,
// unless a recorded range covers it already.
bool RecordDirty(uint64_t offset, uint64_t length) {
  if (!g->guard) return true;
  fm::Range r = g->volume->MemberRange(offset, length);
  const uint64_t span = g->volume->MemberSpan();
  r.begin = r.begin / g->grain * g->grain;
  r.end = std::min(span, (r.end + g->grain - 1) / g->grain * g->grain);
  for (const auto& d : g->journal.dirty)
    if (d.begin <= r.begin && r.end <= d.end) return true;
  fm::AddRange(&g->journal.dirty, r);
  std::string e;
  if (!fj::Save(g->journal, &e)) {
    fm::RemoveRange(&g->journal.dirty, r);
    Fail("cannot record the range being written in the FT journal: " + e);
    return false;
  }
  return true;
}

// Every write so far durable on every member; then nothing is dirty any more.
int FlushAll() {
  ntp::RequestScope scope;
  NTSTATUS st = g->volume->Flush();
  if (!NT_SUCCESS(st)) {
    std::string text = "flushing the members failed (" + Status(st) + ")";
    if (!scope.Refusal().empty()) text += ": " + scope.Refusal();
    return Fail(text);
  }
  if (g->guard && g->journal.dirty != g->inherited) {
    g->journal.dirty = g->inherited;
    std::string e;
    if (!fj::Save(g->journal, &e)) return Fail("cannot update the FT journal: " + e);
  }
  return 0;
}

// Flushes what was written, drops the dirty ranges and the mark, and lets the machine
// go. A failed flush keeps both, so the set stays shown as needing a resync.
void Finish() {
  if (g->volume && g->writing) {
    std::string e;
    if (FlushAll() == 0) {
      g->volume.reset();
      if (!ftdata::ClearMark(g->set, &g->journal, &e))
        nbdkit_error("%s stays marked as being written: %s", g->setName.c_str(), e.c_str());
      else if (ftdata::MarkHolds(g->set, g->journal))
        std::fprintf(
            stderr,
            "%s: an earlier write that was interrupted left ranges to resync: ftdiskctl ft regenerate %s\n",
            g->setName.c_str(), g->setName.c_str());
    }
  }
  g->volume.reset();
  g->marker.Remove();
  if (g->booted) ntp::Shutdown();
  g->booted = false;
}

void Load() { g = new Server; }
void Cleanup() { Finish(); }
void Unload() {
  Finish();
  delete g;
  g = nullptr;
}

void* Open(int) { return g; }
int64_t GetSize(void*) { return static_cast<int64_t>(g->volume->Length()); }
int CanWrite(void*) { return g->readOnly ? 0 : 1; }
int CanFlush(void*) { return 1; }
int CanFua(void*) { return NBDKIT_FUA_NATIVE; }
int CanMultiConn(void*) { return 1; }

int ReadFailed(NTSTATUS st, uint64_t offset) {
  return Fail("reading " + g->setName + " at offset " + std::to_string(offset) + " failed (" + Status(st) +
              ")");
}

// The volume takes whole sectors: a request that is not is widened to them.
int Pread(void*, void* buf, uint32_t count, uint64_t offset, uint32_t) {
  if (offset % 512 == 0 && count % 512 == 0) {
    NTSTATUS st = g->volume->Read(offset, buf, count);
    return NT_SUCCESS(st) ? 0 : ReadFailed(st, offset);
  }
  const uint64_t a = offset / 512 * 512, e = (offset + count + 511) / 512 * 512;
  g->bounce.resize(e - a);
  NTSTATUS st = g->volume->Read(a, g->bounce.data(), e - a);
  if (!NT_SUCCESS(st)) return ReadFailed(st, a);
  std::memcpy(buf, g->bounce.data() + (offset - a), count);
  return 0;
}

int Pwrite(void*, const void* buf, uint32_t count, uint64_t offset, uint32_t flags) {
  const uint64_t a = offset / 512 * 512, e = (offset + count + 511) / 512 * 512;
  if (!BeginWriting() || !RecordDirty(a, e - a)) return -1;
  const void* data = buf;
  if (a != offset || e != offset + count) {
    // The sectors written in part keep their other bytes.
    g->bounce.resize(e - a);
    NTSTATUS st = STATUS_SUCCESS;
    if (a != offset) st = g->volume->Read(a, g->bounce.data(), 512);
    if (NT_SUCCESS(st) && e != offset + count && (e - 512 != a || a == offset))
      st = g->volume->Read(e - 512, g->bounce.data() + (e - 512 - a), 512);
    if (!NT_SUCCESS(st)) return ReadFailed(st, a);
    std::memcpy(g->bounce.data() + (offset - a), buf, count);
    data = g->bounce.data();
  }
  ntp::RequestScope scope;
  NTSTATUS st = g->volume->Write(a, data, e - a);
  if (!NT_SUCCESS(st)) {
    std::string text =
        "writing " + g->setName + " at offset " + std::to_string(offset) + " failed (" + Status(st) + ")";
    if (!scope.Refusal().empty()) text += ": " + scope.Refusal();
    return Fail(text);
  }
  return (flags & NBDKIT_FLAG_FUA) != 0 ? FlushAll() : 0;
}

int Flush(void*, uint32_t) { return g->writing ? FlushAll() : 0; }

nbdkit_plugin MakePlugin() {
  nbdkit_plugin p{};
  p.name = "ftdisk";
  p.longname = "ftdisk FT volume plugin";
  p.description =
      "serves one FT volume (mirror, stripe set, stripe set with parity, volume set) of a machine";
  p.load = Load;
  p.unload = Unload;
  p.config = Config;
  p.config_complete = ConfigComplete;
  p.config_help =
      "machine=DIR      the machine directory\n"
      "set=NAME         the FT set: mirrorG, stripeG, parityG or volsetG\n"
      "readonly=BOOL    serve read-only (the machine booted read-only)\n"
      "wait=BOOL        wait for the machine's lock (default true)\n"
      "served-at=TEXT   where clients reach the server, shown by 'ftdiskctl show'";
  p.magic_config_key = "set";
  p.get_ready = GetReady;
  p.after_fork = AfterFork;
  p.cleanup = Cleanup;
  p.open = Open;
  p.get_size = GetSize;
  p.can_write = CanWrite;
  p.can_flush = CanFlush;
  p.can_fua = CanFua;
  p.can_multi_conn = CanMultiConn;
  p.pread = Pread;
  p.pwrite = Pwrite;
  p.flush = Flush;
  p.errno_is_preserved = 0;
  return p;
}

nbdkit_plugin plugin = MakePlugin();

}  // namespace

NBDKIT_REGISTER_PLUGIN(plugin)
