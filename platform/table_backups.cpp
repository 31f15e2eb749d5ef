// Backups of partition-table sectors under DIR/backups/: the sectors a request is about
// to change, saved and flushed before the platform writes them, and their index.
#include "table_backups.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>

#include "machine_state.h"
#include "ntplatform.h"
#include "registry_internal.h"
#include "registry_store.h"

namespace ntp::table_backups {

namespace fs = std::filesystem;

std::string ToHex(const std::vector<uint8_t>& data) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  s.reserve(data.size() * 2);
  for (uint8_t b : data) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

bool FromHex(const std::string& s, std::vector<uint8_t>* out) {
  if (s.size() % 2) return false;
  out->clear();
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < s.size(); i += 2) {
    int a = nib(s[i]), b = nib(s[i + 1]);
    if (a < 0 || b < 0) return false;
    out->push_back(static_cast<uint8_t>(a * 16 + b));
  }
  return true;
}

namespace {

const DiskInfo* DiskInfoOf(const std::vector<DiskInfo>& disks, unsigned index) {
  for (const auto& d : disks)
    if (d.index == index) return &d;
  return nullptr;
}

bool WriteFileSynced(const fs::path& path, const std::vector<uint8_t>& data, std::string* error,
                     bool replace = false);

std::string TimeStamp() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

}  // namespace

std::string Directory() { return (fs::path(MachineDir()) / "backups").string(); }

uint64_t FileBytes(const std::string& path) {
  std::error_code ec;
  const uintmax_t n = fs::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(n);
}

json LoadIndex(const std::string& directory) {
  const fs::path dir = directory;
  std::ifstream f(dir / "index.json");
  if (!f) return json{{"backups", json::array()}};
  json j = json::parse(f, nullptr, false);
  if (j.is_discarded() || !j.contains("backups") || !j["backups"].is_array())
    return json{{"backups", json::array()}};
  return j;
}

namespace {

// The data file an index entry names: a plain file name inside backups/; "" when the
// entry names none or a path (an edited or damaged index.json must not lead a restore
// to read, or a prune to count, a file elsewhere).
std::string FileOf(const json& b) {
  if (!b.is_object() || !b.contains("file") || !b["file"].is_string()) return "";
  const std::string file = b["file"].get<std::string>();
  if (file.empty() || file == "." || file == ".." || file.find('/') != std::string::npos) return "";
  return file;
}

// Whether an index entry (of any shape) is the backup of that name.
bool Named(const json& b, const std::string& name) {
  return b.is_object() && b.contains("name") && b["name"].is_string() && b["name"] == name;
}

// An entry in the shape the backups write it; any other is left out of what is listed
// or restored (nlohmann's value() throws on a key of another type).
bool WellFormed(const json& b) {
  auto uint = [&](const char* key) { return b.contains(key) && b[key].is_number_unsigned(); };
  auto text = [&](const char* key) { return b.contains(key) && b[key].is_string(); };
  return b.is_object() && text("name") && uint("disk") && uint("bytes_per_sector") && uint("disk_length") &&
         b.contains("sectors") && b["sectors"].is_array() && (!b.contains("command") || text("command")) &&
         !FileOf(b).empty();
}

}  // namespace

bool SyncDir(const std::string& dir, std::string* error) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool ok = fd >= 0 && ::fsync(fd) == 0;
  if (!ok) *error = "cannot flush " + dir + ": " + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return ok;
}

bool SaveIndex(const std::string& directory, const json& index, std::string* error) {
  const fs::path dir = directory;
  fs::path tmp = dir / "index.json.tmp";
  std::string text = index.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  if (!WriteFileSynced(tmp, std::vector<uint8_t>(text.begin(), text.end()), error, true)) return false;
  std::error_code ec;
  fs::rename(tmp, dir / "index.json", ec);
  if (ec) {
    *error = "cannot replace the backup index: " + ec.message();
    return false;
  }
  return SyncDir(dir, error);
}

namespace {

bool WriteFileSynced(const fs::path& path, const std::vector<uint8_t>& data, std::string* error,
                     bool replace) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | (replace ? O_TRUNC : O_EXCL) | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      *error = "cannot write " + path.string() + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  bool ok = ::fsync(fd) == 0;
  if (!ok) *error = "cannot flush " + path.string() + ": " + std::strerror(errno);
  if (::close(fd) != 0 && ok) {
    *error = "cannot write " + path.string() + ": " + std::strerror(errno);
    ok = false;
  }
  return ok;
}

}  // namespace

std::string Save(unsigned disk, uint32_t bps, const std::vector<SavedSector>& sectors,
                 const std::string& command, bool hasRegistry, const std::vector<uint8_t>& registry,
                 std::string* error, const std::string& existing) {
  fs::path dir = Directory();
  std::error_code ec;
  const bool fresh = !fs::exists(dir, ec);
  fs::create_directories(dir, ec);
  if (ec) {
    *error = "cannot create " + dir.string() + ": " + ec.message();
    return "";
  }
  if (fresh && !SyncDir(dir.parent_path().string(), error)) return "";
  json index = LoadIndex(dir.string());
  std::string name = existing;
  if (name.empty()) {
    std::string base = TimeStamp() + "-disk" + std::to_string(disk);
    name = base;
    for (int i = 2; fs::exists(dir / (name + ".bak"), ec); ++i) name = base + "-" + std::to_string(i);
  }
  // A backup that grows is written to a new file; the index switches to it in one
  // rename, so a crash leaves the old file and entry or the new ones, never a file cut
  // short under an index that names its sectors.
  std::string file = name + ".bak", oldFile;
  for (const auto& b : index["backups"])
    if (!existing.empty() && Named(b, name)) oldFile = FileOf(b);
  for (int i = 2; !existing.empty() && (file == oldFile || fs::exists(dir / file, ec)); ++i)
    file = name + "." + std::to_string(i) + ".bak";
  std::vector<uint8_t> blob;
  json lbas = json::array(), after = json::array();
  for (const auto& s : sectors) {
    blob.insert(blob.end(), s.before.begin(), s.before.end());
    lbas.push_back(s.lba);
    after.push_back(ToHex(s.after));
  }
  if (!WriteFileSynced(dir / file, blob, error)) return "";
  auto disks = Disks();
  const DiskInfo* d = DiskInfoOf(disks, disk);
  json entry = {{"name", name},
                {"file", file},
                {"time", static_cast<uint64_t>(std::time(nullptr))},
                {"command", command},
                {"disk", disk},
                {"device", d ? detail::Utf8(d->device) : ""},
                {"disk_length", d ? d->length : 0},
                {"bytes_per_sector", bps},
                {"sectors", lbas},
                {"after", after},
                {"registry_information", hasRegistry ? json(ToHex(registry)) : json(nullptr)}};
  bool replaced = false;
  for (auto& b : index["backups"])
    if (Named(b, name)) {
      b = entry;
      replaced = true;
    }
  if (!replaced) index["backups"].push_back(entry);
  if (!SaveIndex(dir.string(), index, error)) return "";
  if (!oldFile.empty() && oldFile != file) fs::remove(dir / oldFile, ec);
  return name;
}

bool ReadSectors(unsigned disk, uint32_t bps, const std::vector<uint64_t>& lbas,
                 std::vector<SavedSector>* out) {
  for (uint64_t lba : lbas) {
    std::vector<uint8_t> buf(bps);
    if (!ReadDiskBytes(disk, lba * bps, buf.data(), bps)) return false;
    out->push_back({lba, buf, buf});
  }
  return true;
}

TableBackup::~TableBackup() {
  if (hooked_) SetBeforeWriteHook(nullptr);
}

void TableBackup::Before(const std::string& command) {
  command_ = command;
  saved_.clear();
  uint32_t type = 0;
  hadRegistry_ = reg::GetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", u"Information", &type, &registry_);
  std::map<unsigned, uint32_t> bps;
  for (const auto& d : Disks()) bps[d.index] = d.geometry.BytesPerSector ? d.geometry.BytesPerSector : 512;
  // The platform shows every write before it happens; the sectors it is about to change
  // are saved and flushed first, and a backup that cannot be saved stops the write.
  // Writes come from the request's thread and the host's.
  auto mu = std::make_shared<std::mutex>();
  SetBeforeWriteHook(
      [this, mu, bps](unsigned disk, const std::vector<PendingSector>& pending, std::string* why) {
        std::lock_guard<std::mutex> lock(*mu);
        auto it = bps.find(disk);
        if (it == bps.end()) {
          *why = "disk " + std::to_string(disk) + " is unknown to the backup";
          return false;
        }
        const uint32_t size = it->second;
        Saved& s = saved_[disk];
        s.bytesPerSector = size;
        bool grew = false;
        for (const auto& p : pending)
          for (size_t off = 0; off + size <= p.bytes; off += size) {
            const uint64_t lba = p.lba + off / size;
            std::vector<uint8_t> after(p.after + off, p.after + off + size);
            auto found = s.sectors.find(lba);
            if (found == s.sectors.end()) {
              // The first contents seen are the ones before the request.
              s.sectors.emplace(lba, Sector{std::vector<uint8_t>(p.before + off, p.before + off + size),
                                            after, s.order.size()});
              s.order.push_back(lba);
              grew = true;
            } else {
              found->second.after = after;
            }
          }
        if (!grew) return true;
        std::vector<SavedSector> all;
        for (uint64_t lba : s.order) all.push_back({lba, s.sectors[lba].before, s.sectors[lba].after});
        std::string name = Save(disk, size, all, command_, hadRegistry_, registry_, why, s.name);
        if (name.empty()) {
          *why = "the backup of its sectors cannot be saved: " + *why;
          return false;
        }
        s.name = name;
        return true;
      });
  hooked_ = true;
}

std::vector<std::string> TableBackup::After(std::ostream& err) {
  if (hooked_) {
    SetBeforeWriteHook(nullptr);
    hooked_ = false;
  }
  std::vector<std::string> names;
  for (auto& [disk, s] : saved_) {
    if (s.name.empty()) continue;
    names.push_back(s.name);
    // What the disk holds now is what a restore must find there; a sector written twice
    // by the request was saved with its first new contents.
    bool stale = false;
    for (uint64_t lba : s.order) {
      std::vector<uint8_t> now(s.bytesPerSector);
      if (ReadDiskBytes(disk, lba * s.bytesPerSector, now.data(), now.size()) &&
          now != s.sectors[lba].after) {
        s.sectors[lba].after = now;
        stale = true;
      }
    }
    if (!stale) continue;
    std::vector<SavedSector> all;
    for (uint64_t lba : s.order) all.push_back({lba, s.sectors[lba].before, s.sectors[lba].after});
    std::string e;
    if (Save(disk, s.bytesPerSector, all, command_, hadRegistry_, registry_, &e, s.name).empty())
      err << "warning: backup " << s.name << " could not record the new contents of disk " << disk << ": "
          << e << "\n";
  }
  return names;
}

std::vector<Listed> List(const std::string& dir, size_t* damaged) {
  std::vector<Listed> out;
  json index = LoadIndex(dir);
  if (damaged != nullptr) *damaged = 0;
  for (auto& b : index["backups"]) {
    if (!WellFormed(b)) {
      if (damaged != nullptr) ++*damaged;
      continue;
    }
    b.erase("after");
    const uint64_t bytes = FileBytes((fs::path(dir) / FileOf(b)).string());
    out.push_back({std::move(b), bytes});
  }
  return out;
}

Status Prune(const std::string& dir, unsigned keep, Pruned* result, bool dryRun) {
  json index = LoadIndex(dir);
  json& all = index["backups"];
  *result = Pruned{0, all.size(), 0};
  if (all.size() <= keep) return Status();
  const size_t drop = all.size() - keep;
  all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(drop));
  std::string e;
  if (!dryRun && !SaveIndex(dir, index, &e)) return Status(uint32_t(STATUS_UNSUCCESSFUL), e);
  std::set<std::string> named;
  for (const auto& b : all) named.insert(FileOf(b));
  std::error_code ec;
  for (const auto& f : fs::directory_iterator(dir, ec)) {
    const std::string name = f.path().filename().string();
    if (f.path().extension() != ".bak" || named.count(name) != 0) continue;
    const uint64_t size = FileBytes(f.path().string());
    if (dryRun || fs::remove(f.path(), ec)) result->freedBytes += size;
  }
  if (!dryRun) SyncDir(dir, &e);
  result->removed = drop;
  result->kept = all.size();
  return Status();
}

Status CheckRestore(const std::string& dir, const std::string& name, bool force, Restoring* r) {
  auto refuse = [](const std::string& why) { return Status(uint32_t(STATUS_UNSUCCESSFUL), why); };
  json index = LoadIndex(dir);
  std::string want = fs::path(name).filename().string();
  if (want.size() > 4 && want.compare(want.size() - 4, 4, ".bak") == 0) want.resize(want.size() - 4);
  r->name = want;
  const json* entry = nullptr;
  for (const auto& b : index["backups"])
    if (Named(b, want)) entry = &b;
  if (!entry)
    return Status(uint32_t(STATUS_OBJECT_NAME_NOT_FOUND),
                  "there is no backup named '" + want + "' (see 'ftdiskctl backups list')");
  if (!WellFormed(*entry))
    return refuse("the entry of backup '" + want +
                  "' in backups/index.json is damaged; it cannot be restored");
  const unsigned disk = entry->value("disk", 0u);
  const uint32_t bps = entry->value("bytes_per_sector", 512u);
  auto disks = Disks();
  const DiskInfo* d = DiskInfoOf(disks, disk);
  if (!d || d->geometry.BytesPerSector != bps || entry->value("disk_length", uint64_t{0}) != d->length)
    return refuse("disk " + std::to_string(disk) + " is not the disk the backup was taken from");
  r->disk = disk;
  r->bytesPerSector = bps;
  r->device = d->device;
  for (const auto& l : (*entry)["sectors"]) {
    if (!l.is_number_unsigned() || l.get<uint64_t>() >= d->length / bps)
      return refuse("the backup index names a sector outside the disk");
    r->lbas.push_back(l.get<uint64_t>());
  }
  std::ifstream f(fs::path(dir) / FileOf(*entry), std::ios::binary);
  r->sectors.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  if (!f.eof() && !f.good()) r->sectors.clear();
  if (r->sectors.size() != r->lbas.size() * bps)
    return refuse("the backup file is missing or has the wrong size");
  r->hasRegistry = (*entry)["registry_information"].is_string();
  if (r->hasRegistry && !FromHex((*entry)["registry_information"], &r->registry))
    return refuse("the saved registry value in the index is damaged");
  // What is there now, so the restore itself can be undone.
  uint32_t type = 0;
  r->hadRegistryNow =
      reg::GetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", u"Information", &type, &r->registryNow);
  if (!ReadSectors(disk, bps, r->lbas, &r->current)) return refuse("the current sectors cannot be read");
  // A backup puts back the sectors of before its request; when a later request changed
  // them again, restoring would destroy that change.
  if (!force) {
    const json& after = (*entry)["after"];
    std::string stale;
    if (!after.is_array() || after.size() != r->lbas.size()) {
      stale = "the backup does not record what its request wrote";
    } else {
      for (size_t i = 0; i < r->lbas.size() && stale.empty(); ++i) {
        std::vector<uint8_t> bytes;
        if (!after[i].is_string() || !FromHex(after[i].get<std::string>(), &bytes) ||
            bytes != r->current[i].before)
          stale = "sector " + std::to_string(r->lbas[i]) + " of disk " + std::to_string(disk) +
                  " has changed since the backup was taken";
      }
    }
    if (!stale.empty())
      return refuse(stale + "; restoring it would undo later changes (use --force to restore anyway)");
  }
  return Status();
}

Status Restore(Restoring& r, bool dryRun, std::string* undo, bool* registryRestored) {
  const uint32_t bps = r.bytesPerSector;
  *registryRestored = true;
  for (size_t i = 0; i < r.current.size(); ++i)
    r.current[i].after.assign(r.sectors.begin() + std::ptrdiff_t(i * bps),
                              r.sectors.begin() + std::ptrdiff_t((i + 1) * bps));
  std::string e;
  *undo =
      dryRun ? "-" : Save(r.disk, bps, r.current, "restore " + r.name, r.hadRegistryNow, r.registryNow, &e);
  if (undo->empty())
    return Status(uint32_t(STATUS_UNSUCCESSFUL), "the current sectors cannot be saved first: " + e);
  const std::u16string device = r.device + u"\\Partition0";
  HANDLE h = nullptr;
  NTSTATUS st = OpenDevice(device, GENERIC_READ | GENERIC_WRITE, &h);
  IO_STATUS_BLOCK iosb{};
  if (!NT_SUCCESS(st))
    return Status(uint32_t(st), reg::ToUtf8(device) + " cannot be opened (" + HexCode(uint32_t(st)) + ")");
  for (size_t k = r.lbas.size(); k-- > 0 && NT_SUCCESS(st);) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(r.lbas[k] * bps);
    st = NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, r.sectors.data() + k * bps, bps, &at, nullptr);
  }
  NtClose(h);
  if (!NT_SUCCESS(st))
    return Status(uint32_t(st), "writing the sectors failed (" + HexCode(uint32_t(st)) +
                                    "); the state before the restore is saved as " + *undo);
  if (r.hasRegistry &&
      !reg::SetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", u"Information", REG_BINARY, r.registry))
    *registryRestored = false;
  return Status();
}

}  // namespace ntp::table_backups
