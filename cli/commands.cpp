// The administrator's requests: each one is sent through the provider's control entry,
// then the alerts it raised and the new layout are printed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>

#include "../diskreg/diskreg.h"
#include "cli.h"
#include "machine.h"
#include "ntplatform.h"
#include "registry_store.h"
#include "served.h"

namespace cli {

NTSTATUS OpenDevice(const std::u16string& name, ACCESS_MASK access, HANDLE* h) {
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, name.c_str());
  OBJECT_ATTRIBUTES oa{sizeof(OBJECT_ATTRIBUTES), nullptr, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  IO_STATUS_BLOCK iosb{};
  return NtOpenFile(h, access | SYNCHRONIZE, &oa, &iosb, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    FILE_SYNCHRONOUS_IO_NONALERT);
}

NTSTATUS ReadDriveLayout(HANDLE disk, std::vector<uint8_t>* buf) {
  IO_STATUS_BLOCK iosb{};
  NTSTATUS st = STATUS_UNSUCCESSFUL;
  buf->assign(16040, 0);
  for (int tries = 0; tries < 8; ++tries) {
    st = NtDeviceIoControlFile(disk, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr,
                               0, buf->data(), static_cast<ULONG>(buf->size()));
    if (st != STATUS_BUFFER_TOO_SMALL) break;
    buf->resize(buf->size() * 2);
  }
  return st;
}

const char16_t kDiskKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";

namespace {

bool Failed(ZMSTATUS st) { return st != 0; }

// What a request did, in one line, from the snapshot after it: the member id the
// provider returned (a new volume) and whether this is a dry run ("would ...").
using Describe = std::function<std::string(const json& snap, uint64_t member, bool dry)>;

// Sends one request, keeps backups of the table sectors it changes (not in a dry run),
// and prints the outcome. diskIndex < 0 prints every disk.
int Request(Session& s, const Options& opt, const std::string& command, const std::string& what,
            ZM_OBJECT_ID id, uint32_t cls, uint32_t code, PropSet& in, int diskIndex, std::ostream& out,
            std::ostream& err, const Describe& describe = nullptr) {
  size_t mark = s.AlertCount();
  ntp::RequestScope scope;  // the platform's reasons for this request
  TableBackup backup;
  if (!opt.dryRun) backup.Before(command);
  PropSet outProps;
  ZM_OBJECT_ID resultId = 0;
  ZMSTATUS st = s.Control(id, cls, code, in.get(), outProps.get(), &resultId);
  std::vector<std::string> backups = opt.dryRun ? std::vector<std::string>{} : backup.After(err);
  s.RefreshBuiltin(u"fsys");
  auto alerts = s.AlertsSince(mark);
  json snap = Snapshot(alerts);
  uint64_t member = 0;
  bool hasMember = outProps.FindU64("MEMBERID", &member);
  std::string message = Failed(st) ? FailureSentence(what, st) : "";
  // The platform's reason (a busy partition, a write-protected or damaged disk, a
  // backup that could not be saved) says more than the status.
  if (const ntp::Status status = scope.StatusOf(st); !status.ok() && !status.message().empty())
    message = what + ": " + status.message() + " (" + HexStatus(status.code()) + ")";
  // A table the request had to leave alone: say which entry or layout is the reason.
  if (Failed(st) && diskIndex >= 0)
    for (const auto& d : snap["disks"])
      if (d["index"] == diskIndex && d.contains("read_only") && d["read_only"].is_string() &&
          message.find(d["read_only"].get<std::string>()) == std::string::npos)
        message += "; " + d["read_only"].get<std::string>();
  // A write the provider could not make (and may not report) fails the request too.
  const std::string writeFailure = TakeWriteFailures();
  if (!writeFailure.empty()) message += (message.empty() ? command + ": " : "; ") + writeFailure;
  const bool ok = !Failed(st) && writeFailure.empty();
  std::string done = ok && describe ? describe(snap, hasMember ? member : 0, opt.dryRun) : "";
  if (opt.json) {
    snap["request"] = {{"command", command},
                       {"object", id},
                       {"object_name", NameOf(snap, id)},
                       {"status", st},
                       {"message", !ok ? json(message) : json(done.empty() ? json(nullptr) : json(done))},
                       {"result_id", resultId},
                       {"member_id", hasMember ? json(member) : json(nullptr)},
                       {"member_name", hasMember ? json(NameOf(snap, member)) : json(nullptr)},
                       {"backups", backups}};
    if (!ok)
      PrintJsonFailure(out, message, Failed(st) ? json(st) : json(nullptr), snap);
    else
      PrintJsonResult(out, snap);
  } else {
    PrintAlerts(out, snap["alerts"], opt.dryRun ? "would raise alert: " : "alert: ");
    for (const auto& b : backups) out << "saved the previous table sectors as backup " << b << "\n";
    if (!done.empty()) out << done << "\n";
    if (opt.dryRun) out << "the layout as it would be:\n";
    if (diskIndex >= 0) {
      PrintDisk(out, snap, static_cast<unsigned>(diskIndex), opt);
    } else {
      PrintTree(out, snap, opt);
    }
  }
  if (!ok) {
    err << message << "\n";
    return kFailed;
  }
  return kOk;
}

std::string Verb(bool dry, const std::string& past, const std::string& would) { return dry ? would : past; }

// The disk that holds the object (a volume's first partition, or a partition, an
// extended partition or a disk), for printing its layout; -1 when unknown.
int DiskIndexOfObject(const json& snap, ZM_OBJECT_ID id) {
  std::function<bool(const json&)> holds = [&](const json& regions) {
    for (const auto& r : regions) {
      if (r["id"] == id || (r.contains("volume") && r["volume"] == id)) return true;
      if (r.contains("regions") && holds(r["regions"])) return true;
    }
    return false;
  };
  for (const auto& d : snap["disks"]) {
    if (d["id"] == id || holds(d["regions"])) return d["index"].is_number() ? d["index"].get<int>() : -1;
  }
  return -1;
}

bool OpenOr(Session& s, const Options& opt, std::ostream& err) {
  std::string e;
  if (s.Open(opt.dir, opt.noWait, &e)) return true;
  err << e << "\n";
  return false;
}

// A partition table whose chain of boot records ends early is reported, one sentence
// per disk; the partitions before the damage are still shown.
bool ReportDamagedTables(const json& snap, std::ostream& err) {
  bool damaged = false;
  for (const auto& d : snap["disks"]) {
    if (!d.contains("layout_warnings") || d["layout_warnings"].empty()) continue;
    damaged = true;
    std::string all;
    for (const auto& w : d["layout_warnings"]) all += (all.empty() ? "" : "; ") + w.get<std::string>();
    err << d["name"].get<std::string>()
        << ": the partition table is damaged, partitions after the damage are not shown: " << all << "\n";
  }
  return damaged;
}

}  // namespace

void NoteUnstoredRecords(const Session& s, std::ostream& err) {
  if (const uint32_t back = ntp::UnstoredBootReturns(); back != 0)
    err << "note: this boot finds " << back
        << " FT member(s) back unchanged in sets nothing could write meanwhile and shows them members "
           "again; that is stored by the next command that writes\n";
  const uint32_t n = ntp::UnstoredBootRecords();
  if (n == 0) return;
  if (s.images())
    err << "note: " << n << " FT member(s) are on disks not given with --image; they are shown orphaned\n";
  else
    err << "note: this boot finds " << n
        << " FT member(s) whose partitions are not on the disks and shows them "
        << "orphaned; nothing is stored until a command that writes runs (if the disks are back by then, "
           "nothing is)\n";
}

int CmdShow(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  NoteUnstoredRecords(s, err);
  json snap = Snapshot({});
  std::ostringstream damage;
  bool damaged = ReportDamagedTables(snap, damage);
  for (const auto& d : ntp::DamagedDisks()) {
    damage << d.reason << "\n";
    damaged = true;
  }
  err << damage.str();
  // FT volumes that a live `volume serve` has open (a dead server's marker is ignored).
  const std::vector<ftdata::Served> served =
      s.images() ? std::vector<ftdata::Served>{} : ftdata::ServedSets(opt.dir);
  if (opt.json) {
    snap["served"] = json::array();
    for (const auto& v : served)
      snap["served"].push_back(
          {{"set", v.set}, {"where", v.where}, {"read_only", v.readOnly}, {"pid", v.pid}});
    if (damaged)
      PrintJsonFailure(out, damage.str().substr(0, damage.str().find('\n')), nullptr, std::move(snap));
    else
      PrintJsonResult(out, std::move(snap));
  } else {
    PrintTree(out, snap, opt);
    if (!opt.raw)
      for (const auto& v : served)
        out << "Served: " << v.set << " over NBD at " << v.where << " ("
            << (v.readOnly ? "read-only" : "read-write") << ", nbdkit pid " << v.pid << ")\n";
  }
  return damaged ? kFailed : kOk;
}

int CmdLayout(Session& s, const Options& opt, bool hasDisk, unsigned disk, std::ostream& out,
              std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  json result = json::array();
  auto disks = ntp::Disks();
  if (hasDisk &&
      std::none_of(disks.begin(), disks.end(), [&](const ntp::DiskInfo& d) { return d.index == disk; })) {
    err << "there is no disk " << disk << " (the machine has " << disks.size() << ")\n";
    return kFailed;
  }
  int rc = kOk;
  for (const auto& d : disks) {
    if (hasDisk && d.index != disk) continue;
    std::u16string name = d.device + u"\\Partition0";
    HANDLE h = nullptr;
    NTSTATUS st = OpenDevice(name, GENERIC_READ, &h);
    json entry = {{"disk", d.index}, {"device", Narrow(d.device)}};
    if (!NT_SUCCESS(st)) {
      err << "cannot open " << Narrow(name) << " (" << HexStatus(static_cast<uint32_t>(st)) << ")\n";
      rc = kFailed;
      continue;
    }
    std::vector<uint8_t> buf;
    st = ReadDriveLayout(h, &buf);
    NtClose(h);
    if (!NT_SUCCESS(st)) {
      err << "cannot read the layout of " << Narrow(d.device) << " (" << HexStatus(static_cast<uint32_t>(st))
          << ")\n";
      rc = kFailed;
      continue;
    }
    DRIVE_LAYOUT_INFORMATION head;
    std::memcpy(&head, buf.data(), offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry));
    size_t room =
        (buf.size() - offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry)) / sizeof(PARTITION_INFORMATION);
    size_t count = std::min<size_t>(head.PartitionCount, room);
    entry["partition_count"] = head.PartitionCount;
    entry["signature"] = head.Signature;
    json entries = json::array();
    for (size_t i = 0; i < count; ++i) {
      PARTITION_INFORMATION p;
      std::memcpy(&p, buf.data() + offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) + i * sizeof p,
                  sizeof p);
      entries.push_back({{"index", i},
                         {"starting_offset", p.StartingOffset.QuadPart},
                         {"partition_length", p.PartitionLength.QuadPart},
                         {"hidden_sectors", p.HiddenSectors},
                         {"partition_number", p.PartitionNumber},
                         {"partition_type", p.PartitionType},
                         {"boot_indicator", p.BootIndicator != 0},
                         {"recognized", p.RecognizedPartition != 0}});
    }
    entry["entries"] = entries;
    json warnings = json::array();
    for (const auto& w : ntp::LayoutWarnings(d.index)) {
      warnings.push_back(w);
      err << "disk" << d.index << ": the partition table is damaged: " << w << "\n";
      rc = kFailed;
    }
    entry["warnings"] = warnings;
    result.push_back(entry);
  }
  if (opt.json) {
    json doc = hasDisk && result.size() == 1 ? result[0] : json{{"disks", result}};
    if (rc != kOk)
      PrintJsonFailure(out, "the partition table of a disk is damaged or cannot be read", nullptr, doc);
    else
      PrintJsonResult(out, doc);
    return rc;
  }
  for (const auto& e : result) {
    char sig[16];
    std::snprintf(sig, sizeof sig, "0x%08X", e["signature"].get<uint32_t>());
    out << "disk" << e["disk"] << "  " << e["device"].get<std::string>() << "  PartitionCount "
        << e["partition_count"] << "  Signature " << sig << "\n";
    out << "  INDEX  STARTING_OFFSET  PARTITION_LENGTH  HIDDEN  NUMBER  TYPE  BOOT  RECOGNIZED\n";
    for (const auto& p : e["entries"]) {
      char line[160];
      std::snprintf(line, sizeof line, "  %5u  %15lld  %16lld  %6u  %6u  0x%02X  %4s  %s\n",
                    p["index"].get<unsigned>(), p["starting_offset"].get<long long>(),
                    p["partition_length"].get<long long>(), p["hidden_sectors"].get<unsigned>(),
                    p["partition_number"].get<unsigned>(), p["partition_type"].get<unsigned>(),
                    p["boot_indicator"].get<bool>() ? "yes" : "no",
                    p["recognized"].get<bool>() ? "yes" : "no");
      out << line;
    }
  }
  return rc;
}

namespace {

// MBR tables address 2^32 sectors.
constexpr uint64_t kMbrSectors = uint64_t{1} << 32;

// "created disk0/p1 (100 MiB requested, 101.9 MiB after rounding to cylinder 13)".
std::string CreatedLine(const json& snap, uint64_t member, bool dry, const CreateArgs& a, uint64_t asked,
                        uint64_t offset) {
  const json* disk = FindDisk(snap, a.disk);
  // The new partition: the member volume's, or the one that starts where the request did.
  const json* found = nullptr;
  std::function<void(const json&)> walk = [&](const json& regions) {
    for (const auto& r : regions) {
      if (r["kind"] == "free") continue;
      bool mine = member != 0 ? r.value("volume", json()) == member
                              : r["offset"].get<uint64_t>() <= offset + MinCreateSize(*disk) &&
                                    offset <= r["offset"].get<uint64_t>() + r["length"].get<uint64_t>() &&
                                    r["kind"] == a.kind;
      if (mine && !found) found = &r;
      if (r.contains("regions") && a.kind == "logical") walk(r["regions"]);
    }
  };
  if (disk) walk((*disk)["regions"]);
  std::string verb = dry ? "would create " : "created ";
  if (!found) return verb + a.kind + " partition on disk" + std::to_string(a.disk);
  uint64_t len = (*found)["length"], off = (*found)["offset"];
  uint64_t cyl = (*disk)["sectors_per_track"].get<uint64_t>() *
                 (*disk)["tracks_per_cylinder"].get<uint64_t>() * (*disk)["bytes_per_sector"].get<uint64_t>();
  std::string line =
      verb + ((*found).value("name", json()).is_string() ? (*found)["name"].get<std::string>() : a.kind) +
      " (" + FormatUnits(asked) + " requested, " + FormatUnits(len) + " after rounding to cylinder " +
      std::to_string(cyl ? (off + len) / cyl : 0) + ")";
  return line;
}

}  // namespace

int CmdCreate(Session& s, const Options& opt, const CreateArgs& a, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  json snap = Snapshot({});
  const json* disk = FindDisk(snap, a.disk);
  if (!disk) {
    err << "cannot create partition: there is no disk " << a.disk << " (the machine has "
        << snap["disks"].size() << "; see 'ftdiskctl show')\n";
    return kFailed;
  }
  if (disk->contains("read_only") && (*disk)["read_only"].is_string()) {
    // A damaged or write-protected disk in the platform's words, else the table's reason.
    std::string why = "the table of disk " + std::to_string(a.disk) +
                      " is left alone by requests: " + (*disk)["read_only"].get<std::string>();
    for (const auto& dd : ntp::DamagedDisks())
      if (dd.index == a.disk)
        why =
            dd.reason.rfind("disk ", 0) == 0 ? dd.reason : "disk " + std::to_string(a.disk) + " " + dd.reason;
    err << "cannot create partition: " << why << "\n";
    return kFailed;
  }
  uint64_t bps = (*disk)["bytes_per_sector"];
  if (bps == 0) bps = 512;
  uint32_t regionType = a.kind == "primary" ? 1 : a.kind == "extended" ? 2 : 3;
  uint64_t offset = a.offset, size = a.size;
  if (a.offsetInSectors) {
    if (offset > (*disk)["size"].get<uint64_t>() / bps) {
      err << "cannot create partition: the offset " << a.offset << "s lies beyond the end of disk " << a.disk
          << "\n";
      return kFailed;
    }
    offset *= bps;
  }
  if (a.sizeInSectors) {
    if (size > (*disk)["size"].get<uint64_t>() / bps) {
      err << "cannot create partition: " << a.size << " sectors are more than disk " << a.disk << " holds ("
          << FormatUnits((*disk)["size"]) << ")\n";
      return kFailed;
    }
    size *= bps;
  }
  const json* regions = &(*disk)["regions"];
  if (regionType == 3) {
    regions = nullptr;
    for (const auto& r : (*disk)["regions"])
      if (r["kind"] == "extended") regions = &r["regions"];
    if (!regions) {
      err << "cannot create partition: disk " << a.disk
          << " has no extended partition to hold a logical drive (create one first with 'ftdiskctl create "
             "extended --disk "
          << a.disk << " --size SIZE')\n";
      return kFailed;
    }
  }
  uint64_t largest = 0, freeCount = 0;
  for (const auto& r : *regions)
    if (r["kind"] == "free") {
      largest = std::max(largest, r["length"].get<uint64_t>());
      ++freeCount;
    }
  std::string where = regionType == 3 ? "the extended partition of disk " + std::to_string(a.disk)
                                      : "disk " + std::to_string(a.disk);
  if (freeCount == 0) {
    err << "cannot create partition: " << where
        << " has no free space left; delete a partition first (see 'ftdiskctl show')\n";
    return kFailed;
  }
  uint64_t minimum = MinCreateSize(*disk);
  if (!a.maxSize && size < minimum) {
    err << "cannot create partition: " << FormatUnits(size) << " is less than the smallest partition the "
        << "provider keeps after rounding to cylinders (" << FormatUnits(minimum) << " on disk " << a.disk
        << "); ask for at least " << minimum << " bytes\n";
    return kFailed;
  }
  bool clamped = false;
  if (!a.hasOffset) {
    // The first free region that can hold the size.
    bool found = false;
    for (const auto& r : *regions) {
      if (r["kind"] != "free") continue;
      uint64_t len = r["length"];
      if (a.maxSize || len >= size) {
        offset = r["offset"];
        if (a.maxSize) size = len;
        found = true;
        break;
      }
    }
    if (!found) {
      err << "cannot create partition: no free region of " << where << " can hold " << FormatUnits(size)
          << "; the largest holds " << FormatUnits(largest) << " (ask for that, or use --size max)\n";
      return kFailed;
    }
  } else {
    bool found = false;
    std::vector<uint64_t> starts;
    std::function<void(const json&)> look = [&](const json& rs) {
      for (const auto& r : rs) {
        if (r["kind"] == "free") {
          starts.push_back(r["offset"]);
          if (r["offset"] == offset) {
            if (a.maxSize) size = r["length"];
            found = true;
          }
        }
        if (r.contains("regions")) look(r["regions"]);
      }
    };
    look(*regions);
    if (!found) {
      std::string list;
      for (uint64_t x : starts) list += (list.empty() ? "" : ", ") + std::to_string(x);
      err << "cannot create partition: no free region of " << where << " starts at offset " << offset
          << "; --offset must be the start of a free region (" << (list.empty() ? "none" : list) << ")\n";
      return kFailed;
    }
  }
  // An MBR table describes at most 2^32 sectors (2 TiB with 512-byte sectors).
  uint64_t limit = kMbrSectors * bps;
  if (offset >= limit || limit - offset < minimum) {
    err << "cannot create partition: the free region at offset " << offset << " lies at or too close to the "
        << FormatUnits(limit)
        << " that MBR partition tables can address; the space beyond it cannot be used\n";
    return kFailed;
  }
  if (size > limit - offset) {
    if (!a.maxSize) {
      err << "cannot create partition: it would end beyond the " << FormatUnits(limit)
          << " that MBR partition tables can address; ask for at most " << (limit - offset) << " bytes ("
          << FormatUnits(limit - offset) << ")\n";
      return kFailed;
    }
    size = limit - offset;
    clamped = true;
  }
  PropSet in;
  in.AddU64("OFFSET_LL", offset);
  in.AddU64("LENGTH_LL", size);
  in.AddU32("REGION_TYPE", regionType);
  std::string command = "create " + a.kind + " --disk " + std::to_string(a.disk) + " --size " +
                        std::to_string(size) + " --offset " + std::to_string(offset);
  uint64_t asked = size;
  Describe describe = [&](const json& after, uint64_t member, bool dry) {
    std::string line = CreatedLine(after, member, dry, a, asked, offset);
    if (clamped) line += "; --size max stopped at the 2 TiB limit of MBR tables";
    return line;
  };
  return Request(s, opt, command, "cannot create partition", (*disk)["id"], OPCLASS_LAYOUT,
                 OP_CREATE_PARTITION, in, static_cast<int>(a.disk), out, err, describe);
}

namespace {

// The FT set a volume belongs to ("mirror0"), or "" for a plain volume.
std::string FtSetOfVolume(const json& snap, ZM_OBJECT_ID id) {
  const json* v = FindVolume(snap, id);
  if (!v || !(*v)["ft_group"].is_number()) return "";
  return FtSetName((*v)["kind"].get<std::string>(), (*v)["ft_group"].get<uint64_t>());
}

}  // namespace

int CmdDelete(Session& s, const Options& opt, const std::string& volume, bool extended, unsigned disk,
              std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  json snap = Snapshot({});
  ZM_OBJECT_ID id = 0;
  int diskIndex = -1;
  std::string target = extended ? "disk" + std::to_string(disk) + "/extended" : volume;
  std::string e;
  // The extended partition may be named by its slot or start too; it has no volume.
  VolumeSpec spec;
  const json* named = nullptr;
  if (ParseVolumeSpec(target, &spec, nullptr) &&
      (spec.kind == VolumeSpec::Partition || spec.kind == VolumeSpec::Start))
    named = FindRegion(snap, spec, target, &e);
  id = named != nullptr && (*named)["kind"] == "extended" ? (*named)["id"].get<ZM_OBJECT_ID>()
                                                          : ResolveVolume(snap, target, opt.inShell, &e);
  if (id == 0) {
    err << "cannot delete partition: " << e << "\n";
    return kFailed;
  }
  diskIndex = DiskIndexOfObject(snap, id);
  // What is deleted, named as the tool shows it with its start and size.
  std::string name = NameOf(snap, id);
  if (const json* r = RegionOf(snap, id)) name = RegionSummary(*r);
  if (std::string set = FtSetOfVolume(snap, id); !set.empty()) {
    err << "cannot delete " << target << ": it is " << set
        << ", an FT set; break the set or delete it first (see 'ftdiskctl ft --help')\n";
    return kFailed;
  }
  PropSet in;
  std::string command = "delete " + target;
  return Request(s, opt, command, "cannot delete partition", id, OPCLASS_LAYOUT, OP_DELETE_PARTITION, in,
                 diskIndex, out, err, [&](const json&, uint64_t, bool dry) {
                   return Verb(dry, "deleted ", "would delete ") + (name.empty() ? target : name);
                 });
}

int CmdActive(Session& s, const Options& opt, const std::string& volume, std::ostream& out,
              std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  json snap = Snapshot({});
  std::string e;
  ZM_OBJECT_ID id = ResolveVolume(snap, volume, opt.inShell, &e);
  if (id == 0) {
    err << "cannot mark partition active: " << e << "\n";
    return kFailed;
  }
  std::string name = NameOf(snap, id);
  // A logical drive or a CD-ROM has no slot in the master boot record to carry the flag;
  // FT sets are left to the provider.
  if (const json* v = FindVolume(snap, id); v && ((*v)["kind"] == "logical" || (*v)["kind"] == "cdrom")) {
    std::string kind = (*v)["kind"];
    err << "cannot mark " << volume << " active: only a primary partition can be the boot partition, and "
        << (name.empty() ? volume : name) << " is " << (kind == "logical" ? "a logical drive" : "a CD-ROM")
        << "; pick a primary partition (diskN/pM with M from 1 to 4)\n";
    return kFailed;
  }
  std::string set = FtSetOfVolume(snap, id);
  std::string what = set.empty() ? "cannot mark partition active"
                                 : "cannot mark " + volume + " active (it belongs to " + set + ", an FT set)";
  PropSet in;
  return Request(s, opt, "active " + volume, what, id, OPCLASS_VOLUME, OP_MARK_ACTIVE, in,
                 DiskIndexOfObject(snap, id), out, err, [&](const json&, uint64_t, bool dry) {
                   return Verb(dry, "marked ", "would mark ") + name + " active";
                 });
}

int CmdLetter(Session& s, const Options& opt, const std::string& volume, const std::string& letter,
              bool remove, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  json snap = Snapshot({});
  std::string e;
  std::string what = remove ? "cannot remove drive letter" : "cannot assign drive letter";
  ZM_OBJECT_ID id = ResolveVolume(snap, volume, opt.inShell, &e);
  if (id == 0) {
    err << what << ": " << e << "\n";
    return kFailed;
  }
  std::string name = NameOf(snap, id);
  PropSet in;
  std::string command = "letter " + volume;
  std::string text;
  if (!remove) {
    auto l = ParseDriveLetter(letter);  // checked by the parser already
    text = std::string(1, l ? *l : '?') + ":";
    in.AddString("DRIVE_LETTER", Widen(text));
    command += " " + text;
  } else {
    command += " --remove";
  }
  return Request(
      s, opt, command, what, id, OPCLASS_VOLUME, remove ? OP_REMOVE_DRIVE_LETTER : OP_ASSIGN_DRIVE_LETTER, in,
      DiskIndexOfObject(snap, id), out, err, [&](const json&, uint64_t, bool dry) {
        return remove ? Verb(dry, "removed the drive letter of ", "would remove the drive letter of ") + name
                      : Verb(dry, "assigned ", "would assign ") + text + " to " + name;
      });
}

int CmdRescan(Session& s, const Options& opt, bool hasDisk, unsigned disk, std::ostream& out,
              std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  PropSet in;
  if (!hasDisk)
    return Request(s, opt, "rescan", "cannot rescan", 0, OPCLASS_LAYOUT, OP_REFRESH, in, -1, out, err);
  json snap = Snapshot({});
  const json* d = FindDisk(snap, disk);
  if (!d) {
    err << "cannot rescan: there is no disk " << disk << "\n";
    return kFailed;
  }
  return Request(s, opt, "rescan --disk " + std::to_string(disk), "cannot rescan disk", (*d)["id"],
                 OPCLASS_LAYOUT, OP_UPDATE_DISK, in, static_cast<int>(disk), out, err);
}

int CmdMenus(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  PropSet in;
  Options v = opt;
  v.verbose = true;
  return Request(s, v, "menus", "cannot update the context menus", 0, OPCLASS_VOLUME, OP_UPDATE_CONTEXT_MENUS,
                 in, -1, out, err);
}

json RegistryJson() { return RegistryValuesJson(ntp::reg::ListValues(kDiskKey)); }

json RegistryValuesJson(const std::vector<ntp::reg::Value>& list) {
  json values = json::array();
  json information = nullptr;
  for (const auto& v : list) {
    json val = {{"name", Narrow(v.name)}, {"type", v.type}, {"size", v.data.size()}};
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
      std::u16string s;
      for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
        if (c == 0) break;
        s += c;
      }
      val["data"] = Narrow(s);
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
      uint32_t x;
      std::memcpy(&x, v.data.data(), 4);
      val["data"] = x;
    } else {
      static const char kHex[] = "0123456789abcdef";
      std::string hex;
      for (uint8_t b : v.data) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
      }
      val["data"] = hex;
    }
    values.push_back(val);
    if (v.name.size() == 11) {
      std::string n = Narrow(v.name);
      std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::tolower(c); });
      if (n == "information") {
        std::string why;
        bool ok = DiskRegistryValidate(v.data.data(), v.data.size(), &why);
        information = DecodeBlob(v.data.data(), v.data.size(), ok, why);
        information["type"] = v.type;
      }
    }
  }
  return json{{"key", Narrow(kDiskKey)}, {"values", values}, {"information", information}};
}

int CmdRegistryShow(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  return PrintRegistry(RegistryJson(), opt, out, err);
}

int PrintRegistry(const json& r, const Options& opt, std::ostream& out, std::ostream& err) {
  bool malformed = r["information"].is_object() && !r["information"]["valid"].get<bool>();
  if (opt.json) {
    if (malformed)
      PrintJsonFailure(
          out,
          "the stored \"Information\" value is malformed: " + r["information"]["error"].get<std::string>(),
          nullptr, r);
    else
      PrintJsonResult(out, r);
  } else {
    out << "HKEY_LOCAL_MACHINE\\SYSTEM\\DISK\n";
    for (const auto& v : r["values"]) {
      out << "  \"" << v["name"].get<std::string>() << "\" type " << v["type"] << ", " << v["size"]
          << " bytes";
      if (v["data"].is_string() && v["type"] != REG_BINARY) out << ": " << v["data"].get<std::string>();
      if (v["data"].is_number()) out << ": " << v["data"];
      out << "\n";
    }
    if (r["information"].is_null())
      out << "  no \"Information\" value: no FT configuration is stored yet\n";
    else
      out << BlobText(r["information"]);
  }
  if (r["information"].is_object() && !r["information"]["valid"].get<bool>()) {
    err << "the stored \"Information\" value is malformed: " << r["information"]["error"].get<std::string>()
        << "\n";
    return kFailed;
  }
  return kOk;
}

int CmdRegistryExport(Session& s, const Options& opt, const std::string& file, std::ostream& out,
                      std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  std::string e;
  if (!ntp::reg::ExportRegFile(kDiskKey, file, &e)) {
    err << "cannot export the registry to '" << file << "': " << e << "\n";
    return kFailed;
  }
  if (opt.json)
    PrintJsonResult(out, json{{"exported", file}, {"key", Narrow(kDiskKey)}});
  else
    out << "exported HKEY_LOCAL_MACHINE\\SYSTEM\\DISK to " << file << "\n";
  return kOk;
}

int CmdRegistryImport(Session& s, const Options& opt, const std::string& file, bool rescan, std::ostream& out,
                      std::ostream& err) {
  {
    std::ifstream f(file, std::ios::binary);
    if (!f) {
      err << "cannot import '" << file << "': " << std::strerror(errno) << "\n";
      return kFailed;
    }
  }
  if (!OpenOr(s, opt, err)) return kFailed;
  std::string e;
  if (!ImportRegFileChecked(file, opt.force, err, &e)) {
    err << "cannot import '" << file << "': " << e << "\n";
    return kFailed;
  }
  if (!rescan) {
    if (opt.json)
      PrintJsonResult(out, json{{"imported", file}, {"registry", RegistryJson()}});
    else
      out << (opt.dryRun ? "would import " : "imported ") << file
          << " into HKEY_LOCAL_MACHINE\\SYSTEM\\DISK\n";
    return kOk;
  }
  if (!opt.json)
    out << (opt.dryRun ? "would import " : "imported ") << file << " into HKEY_LOCAL_MACHINE\\SYSTEM\\DISK"
        << (opt.dryRun ? " and rescan\n" : "; rescanning\n");
  PropSet in;
  return Request(s, opt, "registry import " + file, "cannot rescan after the import", 0, OPCLASS_LAYOUT,
                 OP_REFRESH, in, -1, out, err);
}

namespace {

// An alert of alerts.log in the shape of every other alert document: the log keeps
// message ids as hex text and GUIDs in braces, the documents numbers and bare GUIDs.
json NormalAlert(const json& a) {
  json n = a.is_object() ? a : json::object();
  if (n["message_id"].is_string()) {
    std::string t = n["message_id"];
    char* end = nullptr;
    unsigned long long v = std::strtoull(t.c_str(), &end, 16);
    n["message_id"] = end != nullptr && *end == '\0' && !t.empty() ? json(v) : json(nullptr);
  }
  if (n["kind"].is_string()) {
    std::string k = n["kind"];
    if (k.size() >= 2 && k.front() == '{' && k.back() == '}') n["kind"] = k.substr(1, k.size() - 2);
  }
  for (const char* key : {"time", "severity"})
    if (!n[key].is_number_integer()) n[key] = 0;
  if (!n["text"].is_string()) n["text"] = "";
  if (!n["inserts"].is_array()) n["inserts"] = json::array();
  if (!n["message_id"].is_number_integer()) n["message_id"] = 0;
  if (!n["kind"].is_string()) n["kind"] = "";
  return n;
}

}  // namespace

namespace {

// Seconds since 1970 as an ISO 8601 local time with its offset: 2026-12-08T11:39:22+01:00.
std::string LocalTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  char text[40];
  if (localtime_r(&t, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
    return std::to_string(seconds);
  std::string iso = text;
  iso.insert(iso.size() - 2, ":");  // +0100 -> +01:00
  return iso;
}

}  // namespace

int CmdAlerts(Session& s, const Options& opt, bool epoch, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  if (s.images()) {
    // A machine of images raises no alert and keeps no log.
  } else if (!std::filesystem::exists(std::filesystem::path(opt.dir) / "machine.toml", ec)) {
    err << "'" << opt.dir << "' is not a machine directory (no machine.toml)\n";
    return kFailed;
  }
  json all = json::array();
  std::ifstream f;
  if (!s.images()) f.open(std::filesystem::path(opt.dir) / "alerts.log");
  std::string line;
  size_t n = 0;
  while (std::getline(f, line)) {
    ++n;
    if (line.empty()) continue;
    json a = json::parse(line, nullptr, false);
    if (a.is_discarded()) {
      err << "alerts.log line " << n << " is not JSON; skipped\n";
      continue;
    }
    all.push_back(NormalAlert(a));
  }
  if (opt.json) {
    PrintJsonResult(out, json{{"alerts", all}});
    return kOk;
  }
  for (const auto& a : all) {
    const json t = a.value("time", json(0));
    if (epoch || !t.is_number_integer())
      out << t << "  ";
    else
      out << LocalTime(t.get<int64_t>()) << "  ";
    json one = {{"text", a.value("text", std::string())},
                {"inserts", a.value("inserts", json::array())},
                {"severity", a.value("severity", json(0))}};
    PrintAlerts(out, json::array({one}));
  }
  if (all.empty()) out << "no alerts\n";
  return kOk;
}

namespace {

// "512M", "512M,255,63", "512M,16,63,removable".
bool ParseDiskArg(const std::string& text, uint64_t* size, ntp::DiskConfig* cfg, std::string* error) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (parts.size() > 4) {
    *error = "--disk '" + text + "': expected SIZE[,heads,sectors[,removable]]";
    return false;
  }
  if (!ParseSize(parts[0], false, size, error)) {
    *error = "--disk: " + *error;
    return false;
  }
  auto number = [&](const std::string& s, uint32_t lo, uint32_t hi, uint32_t* v, const char* what) {
    uint64_t x = 0;
    std::string e;
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos ||
        (x = std::stoull(s)) < lo || x > hi) {
      *error = "--disk '" + text + "': " + what + " must be a number from " + std::to_string(lo) + " to " +
               std::to_string(hi);
      return false;
    }
    *v = static_cast<uint32_t>(x);
    return true;
  };
  if (parts.size() == 2) {
    *error = "--disk '" + text + "': give both heads and sectors per track";
    return false;
  }
  if (parts.size() >= 3) {
    if (!number(parts[1], 1, 255, &cfg->heads, "heads")) return false;
    if (!number(parts[2], 1, 63, &cfg->sectors, "sectors per track")) return false;
  }
  if (parts.size() == 4) {
    if (parts[3] != "removable") {
      *error = "--disk '" + text + "': the fourth field can only be 'removable'";
      return false;
    }
    cfg->removable = true;
  }
  uint64_t cylinder = uint64_t{cfg->heads} * cfg->sectors * cfg->bytesPerSector;
  if (*size < 2 * cylinder) {
    *error =
        "--disk '" + text + "': a disk must hold at least two cylinders (" + FormatSize(2 * cylinder) + ")";
    return false;
  }
  return true;
}

}  // namespace

int CmdInit(const Options& opt, const std::string& dir, const std::vector<std::string>& diskArgs,
            const std::vector<std::string>& cdroms, bool emptyCdrom, std::ostream& out, std::ostream& err) {
  std::vector<std::pair<uint64_t, ntp::DiskConfig>> disks;
  for (const auto& d : diskArgs) {
    uint64_t size = 0;
    ntp::DiskConfig cfg;
    std::string e;
    if (!ParseDiskArg(d, &size, &cfg, &e)) {
      err << e << "\n";
      return kUsage;
    }
    disks.push_back({size, cfg});
  }
  std::vector<ntp::CdromConfig> cds;
  for (const auto& iso : cdroms) {
    std::ifstream f(iso, std::ios::binary);
    if (!f) {
      err << "cannot use '" << iso << "' as a CD-ROM image: " << std::strerror(errno) << "\n";
      return kFailed;
    }
    std::error_code ec;
    cds.push_back({std::filesystem::absolute(iso, ec).string()});
  }
  if (emptyCdrom) cds.push_back({});
  std::string e, note;
  if (!ntp::PrepareMachineDir(dir, opt.force, &note, &e)) {
    err << "cannot make a machine in '" << dir << "': " << e << "\n";
    return kFailed;
  }
  if (!note.empty()) err << note << "\n";
  if (!ntp::CreateMachine(dir, disks, cds, &e)) {
    err << "cannot make a machine in '" << dir << "': " << e << "\n";
    return kFailed;
  }
  if (opt.json) {
    json d = json::array();
    for (const auto& x : disks)
      d.push_back({{"size", x.first},
                   {"heads", x.second.heads},
                   {"sectors", x.second.sectors},
                   {"removable", x.second.removable}});
    PrintJsonResult(out, json{{"machine", dir}, {"disks", d}, {"cdroms", cds.size()}});
  } else {
    out << "made machine " << dir << " with " << disks.size() << " disk(s)";
    if (!cds.empty()) out << " and " << cds.size() << " CD-ROM drive(s)";
    out << "\n";
  }
  return kOk;
}

int CmdAttach(const Options& opt, const std::string& image, bool removable, bool writeSignature,
              bool readOnly, std::ostream& out, std::ostream& err, bool force) {
  // --write-signature on a disk attached already only gives it its fresh signature.
  unsigned attached = 0;
  if (writeSignature && AttachedIndex(opt, image, &attached))
    return WriteFreshSignature(opt, attached, force, out, err);
  // The image is only looked at, never opened for writing.
  int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err << "cannot attach '" << image << "': " << std::strerror(errno) << "\n";
    return kFailed;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  uint8_t sector[512];
  ssize_t got = ok ? pread(fd, sector, sizeof sector, 0) : -1;
  ::close(fd);
  if (!ok || (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))) {
    err << "cannot attach '" << image << "': not a regular file or block device\n";
    return kFailed;
  }
  if (got != static_cast<ssize_t>(sizeof sector)) {
    err << "cannot attach '" << image
        << "': the first sector cannot be read (the image is empty or unreadable)\n";
    return kFailed;
  }
  // Hold the machine while its configuration changes.
  std::string e;
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::path(opt.dir) / "machine.toml", ec)) {
    err << "'" << opt.dir
        << "' is not a machine directory (no machine.toml; make one with 'ftdiskctl init')\n";
    return kFailed;
  }
  if (!ntp::Boot(opt.dir, opt.noWait ? ntp::LockMode::NoWait : ntp::LockMode::Wait, &e,
                 [] { std::fprintf(stderr, "waiting for the machine lock held by another process...\n"); })) {
    err << "cannot open machine '" << opt.dir << "': " << e << "\n";
    return kFailed;
  }
  // One disk can be attached once (by any path to it): a second entry for it would be
  // a second writer. Checked under the machine lock, so two attaches cannot race.
  const int same = ntp::FindSameImage(opt.dir, image);
  if (same >= 0 && !readOnly) {
    ntp::Shutdown();
    err << "cannot attach '" << image << "': it is already disk " << same << " of this machine\n";
    return kFailed;
  }
  ntp::MachineConfig cfg;
  bool loaded = ntp::LoadMachineConfig(opt.dir, &cfg, &e);
  // --read-only on a disk attached already makes it read-only from now on.
  if (same >= 0) {
    if (loaded && static_cast<size_t>(same) < cfg.disks.size()) cfg.disks[size_t(same)].readOnly = true;
    const bool saved = loaded && ntp::SaveMachineConfig(opt.dir, cfg, &e);
    ntp::Shutdown();
    if (!saved) {
      err << "cannot make disk " << same << " read-only: " << e << "\n";
      return kFailed;
    }
    if (opt.json)
      PrintJsonResult(out, json{{"attached", image},
                                {"disk", same},
                                {"name", "disk" + std::to_string(same)},
                                {"read_only", true}});
    else
      out << "disk " << same << " (" << image << ") is read-only: no request writes it from now on\n";
    return kOk;
  }
  unsigned index = static_cast<unsigned>(cfg.disks.size());
  if (loaded) {
    ntp::DiskConfig d;
    d.image = std::filesystem::absolute(image, ec).string();
    d.removable = removable;
    d.readOnly = readOnly;
    cfg.disks.push_back(d);
  }
  bool saved = loaded && ntp::SaveMachineConfig(opt.dir, cfg, &e);
  const uint32_t signature = uint32_t(sector[0x1B8]) | (uint32_t(sector[0x1B9]) << 8) |
                             (uint32_t(sector[0x1BA]) << 16) | (uint32_t(sector[0x1BB]) << 24);
  const std::string clash = saved ? SignatureClash(signature, -1) : "";
  ntp::Shutdown();
  if (!saved) {
    err << "cannot attach '" << image << "': " << e << "\n";
    return kFailed;
  }
  if (opt.json)
    PrintJsonResult(out, json{{"attached", image},
                              {"disk", index},
                              {"name", "disk" + std::to_string(index)},
                              {"read_only", readOnly}});
  else
    out << "attached " << image << " as disk " << index
        << (readOnly ? " (read-only: no request writes it)\n"
                     : " (the image is unchanged until a request writes it)\n");
  if (clash.empty() || ForeignSector0(sector)) return kOk;
  if (writeSignature) return WriteFreshSignature(opt, index, force, out, err);
  err << "warning: disk " << index << ": " << clash
      << ", so the FT configuration cannot tell it apart; drive letters and FT sets on it are refused until "
         "it has a fresh signature: ftdiskctl -m '"
      << opt.dir << "' attach --write-signature '" << image << "'\n";
  return kOk;
}

}  // namespace cli
