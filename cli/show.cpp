// The database as one JSON document (the "show" schema) and as an aligned tree.
#include <langinfo.h>
#include <libsmartcols/libsmartcols.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>

#include "cli.h"
#include "machine.h"

namespace cli {

namespace {

json U64OrNull(const ObjectProps& p, const char* name) {
  uint64_t v;
  if (p.U64(name, &v)) return v;
  return nullptr;
}

json StringOrNull(const ObjectProps& p, const char* name) {
  std::string v;
  if (p.String(name, &v)) return v;
  return nullptr;
}

uint64_t U64(const ObjectProps& p, const char* name, uint64_t def = 0) {
  uint64_t v;
  return p.U64(name, &v) ? v : def;
}

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

json MenuJson(const ObjectProps& p) {
  uint64_t show, enable, local;
  bool a = p.U64("MENU_SHOW_MASK_LL", &show);
  bool b = p.U64("MENU_ENABLE_MASK_LL", &enable);
  bool c = p.U64("MENU_LOCAL_ONLY_MASK_LL", &local);
  if (!a && !b && !c) return nullptr;
  return json{{"show", a ? json(show) : json(nullptr)},
              {"enable", b ? json(enable) : json(nullptr)},
              {"local_only", c ? json(local) : json(nullptr)}};
}

// The first volume above a partition (an FT volume when the partition is a member).
ZM_OBJECT_ID VolumeOf(ZM_OBJECT_ID partition) {
  auto v = ParentsOf(partition, ZM_OBJ_VOLUME);
  return v.empty() ? 0 : v.front();
}

// What a disk's regions are named after: its name and the sizes of its sectors and tracks.
struct DiskUnits {
  std::string name;
  uint64_t bytesPerSector = 512, sectorsPerTrack = 63;
};

// "disk0@63s": a partition by the sector where its data starts, as sfdisk and the kernel
// give it (a logical drive's data starts one track after its region).
std::string StartName(const DiskUnits& d, const json& r) {
  uint64_t start = r["offset"].get<uint64_t>();
  if (r["kind"] == "logical") start += d.sectorsPerTrack * d.bytesPerSector;
  return d.name + "@" + std::to_string(start / d.bytesPerSector) + "s";
}

json RegionJson(ZM_OBJECT_ID id, uint32_t type, const DiskUnits& disk) {
  const std::string& diskName = disk.name;
  const ObjectProps p(id);
  json r;
  r["id"] = id;
  if (type == ZM_OBJ_FREE_SPACE) {
    r["kind"] = "free";
  } else if (type == ZM_OBJ_EXTENDED) {
    r["kind"] = "extended";
  } else {
    r["kind"] = RegionKindName(static_cast<uint32_t>(U64(p, "REGION_TYPE")));
  }
  r["offset"] = U64(p, "OFFSET_LL");
  r["length"] = U64(p, "LENGTH_LL");
  if (type == ZM_OBJ_FREE_SPACE) return r;
  r["partition_type"] = U64OrNull(p, "PARTITION_TYPE");
  uint64_t active = 0;
  r["active"] = p.U64("ACTIVE", &active) ? json(active != 0) : json(nullptr);
  r["number"] = U64OrNull(p, "PARTITION_NUMBER");
  r["slot"] = U64OrNull(p, "ENTRY_SLOT");
  r["device"] = StringOrNull(p, "\\Device\\");
  r["state"] = U64OrNull(p, "STATE");
  r["severity"] = U64OrNull(p, "SEVERITY");
  // Named as Linux numbers the same disk: primaries and the extended partition by their
  // slot of the master boot record (a logical drive's name is given with its siblings').
  if (r["slot"].is_number() && r["slot"].get<uint64_t>() < 4 && r["kind"] != "logical")
    r["name"] = diskName + "/p" + std::to_string(r["slot"].get<uint64_t>() + 1);
  else if (type == ZM_OBJ_EXTENDED)
    r["name"] = diskName + "/extended";
  r["start_name"] = StartName(disk, r);
  ZM_OBJECT_ID vol = type == ZM_OBJ_PARTITION ? VolumeOf(id) : 0;
  r["volume"] = vol ? json(vol) : json(nullptr);
  if (type == ZM_OBJ_PARTITION) {
    const ObjectProps vp(vol);  // no object 0: nothing read
    r["drive_letter"] = StringOrNull(vp, "DRIVE_LETTER");
    r["file_system"] = StringOrNull(vp, "FILE_SYSTEM");
    r["ft_member"] = U64OrNull(p, "FT_MEMBER_NUMBER");
  }
  if (type == ZM_OBJ_EXTENDED) {
    r["menu"] = MenuJson(p);
    json inner = json::array();
    std::vector<std::pair<ZM_OBJECT_ID, uint32_t>> kids;
    for (auto c : ChildrenOf(id, ZM_OBJ_PARTITION)) kids.push_back({c, ZM_OBJ_PARTITION});
    for (auto c : ChildrenOf(id, ZM_OBJ_FREE_SPACE)) kids.push_back({c, ZM_OBJ_FREE_SPACE});
    for (auto& k : kids) inner.push_back(RegionJson(k.first, k.second, disk));
    // Logical drives from 5 in chain order (their order in the layout), so deleting one
    // renames only the drives after it.
    std::vector<json*> drives;
    for (auto& x : inner)
      if (x["kind"] == "logical") drives.push_back(&x);
    std::stable_sort(drives.begin(), drives.end(), [](const json* a, const json* b) {
      const json &x = (*a)["slot"], &y = (*b)["slot"];
      return x.is_number() && (!y.is_number() || x.get<uint64_t>() < y.get<uint64_t>());
    });
    for (size_t i = 0; i < drives.size(); ++i) (*drives[i])["name"] = diskName + "/p" + std::to_string(5 + i);
    std::stable_sort(inner.begin(), inner.end(), [](const json& a, const json& b) {
      return a["offset"].get<uint64_t>() < b["offset"].get<uint64_t>();
    });
    r["regions"] = std::move(inner);
  }
  return r;
}

// "\Device\Harddisk3" -> 3.
bool DiskIndexOf(const std::string& device, unsigned* index) {
  const std::string prefix = "\\Device\\Harddisk";
  if (device.size() <= prefix.size() || device.compare(0, prefix.size(), prefix) != 0) return false;
  unsigned v = 0;
  for (size_t i = prefix.size(); i < device.size(); ++i) {
    if (device[i] < '0' || device[i] > '9' || v > 100000) return false;
    v = v * 10 + static_cast<unsigned>(device[i] - '0');
  }
  *index = v;
  return true;
}

}  // namespace

json AlertsJson(const std::vector<zm::AlertRecord>& alerts) {
  json out = json::array();
  for (const auto& a : alerts) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", a.kind.Data1,
                  a.kind.Data2, a.kind.Data3, a.kind.Data4[0], a.kind.Data4[1], a.kind.Data4[2],
                  a.kind.Data4[3], a.kind.Data4[4], a.kind.Data4[5], a.kind.Data4[6], a.kind.Data4[7]);
    json inserts = json::array();
    for (const auto& s : a.inserts) inserts.push_back(Narrow(s));
    out.push_back({{"time", a.time},
                   {"severity", a.severity},
                   {"kind", guid},
                   {"message_id", a.messageId},
                   {"text", a.text},
                   {"inserts", inserts}});
  }
  return out;
}

json Snapshot(const std::vector<zm::AlertRecord>& alerts) {
  json snap;
  snap["machine"] = {{"dir", ntp::MachineDir()}};
  auto platformDisks = ntp::Disks();
  json disks = json::array();
  for (ZM_OBJECT_ID d : ObjectsOfType(ZM_OBJ_DISK)) {
    const ObjectProps p(d);
    json disk;
    std::string dev;
    p.String("\\Device\\", &dev);
    unsigned index = 0;
    bool hasIndex = DiskIndexOf(dev, &index);
    disk["id"] = d;
    disk["index"] = hasIndex ? json(index) : json(nullptr);
    disk["device"] = dev;
    disk["size"] = U64(p, "LENGTH_LL");
    disk["signature"] = U64(p, "SIGNATURE");
    disk["bytes_per_sector"] = U64(p, "BYTES_PER_SECTOR");
    disk["sectors_per_track"] = U64(p, "SECTORS_PER_TRACK");
    disk["tracks_per_cylinder"] = nullptr;
    disk["cylinders"] = nullptr;
    for (const auto& pd : platformDisks) {
      if (hasIndex && pd.index == index) {
        disk["tracks_per_cylinder"] = pd.geometry.TracksPerCylinder;
        disk["cylinders"] = static_cast<uint64_t>(pd.geometry.Cylinders.QuadPart);
      }
    }
    disk["free_space"] = nullptr;  // the sum of the free regions, filled in below
    uint64_t removable = 0;
    disk["removable"] = p.U64("REMOVABLE", &removable) && removable != 0;
    disk["min_partition_size"] = nullptr;
    json warnings = json::array();
    if (hasIndex)
      for (const auto& w : ntp::LayoutWarnings(index)) warnings.push_back(w);
    disk["layout_warnings"] = std::move(warnings);
    // Why requests leave the disk or its table alone: the platform's reason (a disk
    // attached read-only or write-protected first), else the provider's.
    std::string readOnly = hasIndex ? ntp::WriteRefusal(index) : std::string();
    if (readOnly.empty() && hasIndex) readOnly = ntp::LayoutReadOnlyReason(index);
    if (readOnly.empty()) p.String("LAYOUT_READ_ONLY", &readOnly);
    disk["read_only"] = readOnly.empty() ? json(nullptr) : json(readOnly);
    DiskUnits units{hasIndex ? "disk" + std::to_string(index) : "disk?", U64(p, "BYTES_PER_SECTOR"),
                    U64(p, "SECTORS_PER_TRACK")};
    if (units.bytesPerSector == 0) units.bytesPerSector = 512;
    disk["name"] = units.name;
    json regions = json::array();
    for (uint32_t t : {ZM_OBJ_PARTITION, ZM_OBJ_EXTENDED, ZM_OBJ_FREE_SPACE})
      for (auto c : ChildrenOf(d, t)) regions.push_back(RegionJson(c, t, units));
    std::stable_sort(regions.begin(), regions.end(), [](const json& a, const json& b) {
      return a["offset"].get<uint64_t>() < b["offset"].get<uint64_t>();
    });
    disk["regions"] = std::move(regions);
    disk["free_space"] = FreeSum(disk);
    if (disk["cylinders"].is_number()) disk["min_partition_size"] = MinCreateSize(disk);
    disks.push_back(std::move(disk));
  }
  std::stable_sort(disks.begin(), disks.end(), [](const json& a, const json& b) {
    return a["index"].is_number() && b["index"].is_number() &&
           a["index"].get<unsigned>() < b["index"].get<unsigned>();
  });
  snap["disks"] = std::move(disks);
  // Every partition's name, for the members of the volumes.
  std::map<ZM_OBJECT_ID, std::string> names;
  std::function<void(const json&)> collect = [&](const json& regions) {
    for (const auto& r : regions) {
      if (r.contains("name") && r["name"].is_string()) names[r["id"].get<ZM_OBJECT_ID>()] = r["name"];
      if (r.contains("regions")) collect(r["regions"]);
    }
  };
  for (const auto& d : snap["disks"]) collect(d["regions"]);

  json volumes = json::array();
  for (ZM_OBJECT_ID v : ObjectsOfType(ZM_OBJ_VOLUME)) {
    const ObjectProps p(v);
    json vol;
    uint64_t vt = U64(p, "LDM_VOLUME_TYPE");
    vol["id"] = v;
    vol["kind"] = VolumeKindName(static_cast<uint32_t>(vt));
    vol["volume_type"] = vt;
    vol["facility"] = U64OrNull(p, "FACILITY");
    vol["device"] = StringOrNull(p, "\\Device\\");
    vol["drive_letter"] = StringOrNull(p, "DRIVE_LETTER");
    vol["length"] = U64OrNull(p, "LENGTH_LL");
    vol["offset"] = U64OrNull(p, "OFFSET_LL");
    vol["state"] = U64OrNull(p, "STATE");
    vol["state_text"] =
        vol["state"].is_number() ? json(StateText(vol["state"].get<uint64_t>())) : json(nullptr);
    vol["severity"] = U64OrNull(p, "SEVERITY");
    vol["file_system"] = StringOrNull(p, "FILE_SYSTEM");
    vol["ft_group"] = U64OrNull(p, "FT_GROUP");
    json members = json::array();
    for (auto part : ChildrenOf(v, ZM_OBJ_PARTITION)) {
      const ObjectProps mp(part);
      json m = {{"id", part}};
      auto named = names.find(part);
      m["name"] = named != names.end() ? json(named->second) : json(nullptr);
      m["member"] = U64OrNull(mp, "FT_MEMBER_NUMBER");
      m["state"] = U64OrNull(mp, "STATE");
      m["offset"] = U64OrNull(mp, "OFFSET_LL");
      m["length"] = U64OrNull(mp, "LENGTH_LL");
      members.push_back(std::move(m));
    }
    vol["members"] = std::move(members);
    vol["menu"] = MenuJson(p);
    volumes.push_back(std::move(vol));
  }
  for (auto& vol : volumes) vol["name"] = VolumeName(snap, vol);
  snap["volumes"] = std::move(volumes);

  // The host's volume root carries the highest severity of all volumes: the health.
  auto roots = ObjectsOfType(ZM_OBJ_VOLUME_ROOT);
  snap["machine"]["health"] =
      roots.empty() ? json(nullptr) : U64OrNull(ObjectProps(roots.front()), "SEVERITY");
  snap["alerts"] = AlertsJson(alerts);
  return snap;
}

const json* FindDisk(const json& snap, unsigned index) {
  for (const auto& d : snap["disks"])
    if (d["index"].is_number() && d["index"].get<unsigned>() == index) return &d;
  return nullptr;
}

uint64_t FreeSum(const json& disk) {
  uint64_t sum = 0;
  std::function<void(const json&)> walk = [&](const json& regions) {
    for (const auto& r : regions) {
      if (r["kind"] == "free") sum += r["length"].get<uint64_t>();
      if (r.contains("regions")) walk(r["regions"]);
    }
  };
  walk(disk["regions"]);
  return sum;
}

uint64_t MinCreateSize(const json& disk) {
  // The provider rounds a partition's end to the nearer cylinder boundary, so a size of
  // half a cylinder or less is rounded away; the next whole sector is kept.
  uint64_t bps = disk.value("bytes_per_sector", json(512)).get<uint64_t>();
  uint64_t spt = disk["sectors_per_track"].is_number() ? disk["sectors_per_track"].get<uint64_t>() : 63;
  uint64_t tpc = disk["tracks_per_cylinder"].is_number() ? disk["tracks_per_cylinder"].get<uint64_t>() : 255;
  if (bps == 0) bps = 512;
  uint64_t half = spt * tpc * bps / 2;
  return (half / bps + 1) * bps;
}

const json* FindVolume(const json& snap, ZM_OBJECT_ID id) {
  for (const auto& v : snap["volumes"])
    if (v["id"] == id) return &v;
  return nullptr;
}

std::string VolumeName(const json& snap, const json& v) {
  (void)snap;
  std::string kind = v["kind"].is_string() ? v["kind"].get<std::string>() : "";
  if (v["ft_group"].is_number()) {
    std::string n = FtSetName(kind, v["ft_group"].get<uint64_t>());
    if (!n.empty()) return n;
  }
  if (kind == "cdrom" && v["device"].is_string()) {
    std::string dev = v["device"];
    const std::string prefix = "\\Device\\CdRom";
    if (dev.rfind(prefix, 0) == 0) return "cdrom" + dev.substr(prefix.size());
  }
  if (v["members"].size() == 1 && v["members"][0]["name"].is_string()) return v["members"][0]["name"];
  return "";
}

std::string NameOf(const json& snap, ZM_OBJECT_ID id) {
  if (const json* v = FindVolume(snap, id)) return VolumeName(snap, *v);
  std::string found;
  std::function<void(const json&)> walk = [&](const json& regions) {
    for (const auto& r : regions) {
      if (r["id"] == id && r.value("name", json()).is_string()) found = r["name"];
      if (r.contains("regions")) walk(r["regions"]);
    }
  };
  for (const auto& d : snap["disks"]) {
    if (d["id"] == id) return d["name"];
    walk(d["regions"]);
  }
  return found;
}

const json* FindRegion(const json& snap, const VolumeSpec& spec, const std::string& text,
                       std::string* error) {
  const json* d = FindDisk(snap, spec.disk);
  if (!d) {
    *error = "there is no disk " + std::to_string(spec.disk) + " (the machine has " +
             std::to_string(snap["disks"].size()) + ")";
    return nullptr;
  }
  const uint64_t bps = (*d)["bytes_per_sector"].is_number() ? (*d)["bytes_per_sector"].get<uint64_t>() : 512;
  const std::string want = spec.kind == VolumeSpec::Partition
                               ? "disk" + std::to_string(spec.disk) + "/p" + std::to_string(spec.number)
                           : spec.kind == VolumeSpec::Start
                               ? "disk" + std::to_string(spec.disk) + "@" +
                                     std::to_string(spec.inSectors ? spec.start : spec.start / bps) + "s"
                               : "";
  // A start in bytes names a partition only when it is a whole sector.
  const bool exact = spec.kind != VolumeSpec::Start || spec.inSectors || spec.start % bps == 0;
  std::function<const json*(const json&)> find = [&](const json& regions) -> const json* {
    for (const auto& r : regions) {
      if (r["kind"] == "free") continue;
      if (spec.kind == VolumeSpec::Extended
              ? r["kind"] == "extended"
              : exact && r.value(spec.kind == VolumeSpec::Start ? "start_name" : "name", json()) == want)
        return &r;
      if (r.contains("regions"))
        if (const json* x = find(r["regions"])) return x;
    }
    return nullptr;
  };
  if (const json* r = find((*d)["regions"])) return r;
  if (spec.kind == VolumeSpec::Extended)
    *error = "disk " + std::to_string(spec.disk) + " has no extended partition";
  else if (spec.kind == VolumeSpec::Start)
    *error = "no partition of disk " + std::to_string(spec.disk) + " starts at " +
             text.substr(text.find('@') + 1) + " (see 'ftdiskctl show -v')";
  else
    *error = "disk " + std::to_string(spec.disk) + " has no partition " + std::to_string(spec.number) +
             " (see 'ftdiskctl show')";
  return nullptr;
}

ZM_OBJECT_ID ResolveVolume(const json& snap, const std::string& text, bool allowIds, std::string* error) {
  VolumeSpec spec;
  if (!ParseVolumeSpec(text, &spec, error)) return 0;
  switch (spec.kind) {
    case VolumeSpec::Letter: {
      std::string want = std::string(1, spec.letter) + ":";
      for (const auto& v : snap["volumes"]) {
        if (v["drive_letter"].is_string()) {
          std::string l = v["drive_letter"].get<std::string>();
          if (!l.empty() && std::toupper(static_cast<unsigned char>(l[0])) == spec.letter) return v["id"];
        }
      }
      *error = "no volume has the drive letter " + want + " (see 'ftdiskctl show')";
      return 0;
    }
    case VolumeSpec::Partition:
    case VolumeSpec::Extended:
    case VolumeSpec::Start: {
      const json* r = FindRegion(snap, spec, text, error);
      if (!r) return 0;
      if (spec.kind == VolumeSpec::Extended) return (*r)["id"];
      if ((*r)["kind"] == "extended") {
        *error = text + " is the extended partition, which holds no volume of its own";
        return 0;
      }
      if (!(*r)["volume"].is_number()) {
        *error = text + " has no volume yet (run 'ftdiskctl rescan')";
        return 0;
      }
      return (*r)["volume"];
    }
    case VolumeSpec::Cdrom: {
      std::string dev = "\\Device\\CdRom" + std::to_string(spec.number);
      for (const auto& v : snap["volumes"])
        if (v["device"].is_string() && v["device"] == dev) return v["id"];
      *error = "there is no CD-ROM " + std::to_string(spec.number);
      return 0;
    }
    case VolumeSpec::FtSet: {
      for (const auto& v : snap["volumes"])
        if (v["kind"] == spec.ftKind && v["ft_group"].is_number() &&
            v["ft_group"].get<uint64_t>() == spec.number)
          return v["id"];
      *error =
          "there is no " + text + " (no FT set of that type has group " + std::to_string(spec.number) + ")";
      return 0;
    }
    case VolumeSpec::ObjectId: {
      if (!allowIds) {
        *error = "'" + text +
                 "' is an object id; ids change with every boot and are accepted only inside 'ftdiskctl "
                 "shell'. Name the volume by its drive letter (E:), partition (diskN/pM), CD-ROM (cdromN) or "
                 "FT set (mirrorG, stripeG, parityG, volsetG) as 'ftdiskctl show' prints it";
        return 0;
      }
      if (ObjectType(spec.id) == 0) {
        *error = "there is no object with id " + std::to_string(spec.id);
        return 0;
      }
      return spec.id;
    }
  }
  return 0;
}

std::string RegionSummary(const json& r) {
  std::string name = r.value("name", json()).is_string() ? r["name"].get<std::string>() : "a partition";
  return name + " (" + r.value("start_name", json("?")).get<std::string>() + ", " +
         FormatUnits(r["length"].get<uint64_t>()) + ")";
}

const json* RegionOf(const json& snap, ZM_OBJECT_ID id) {
  std::function<const json*(const json&)> walk = [&](const json& regions) -> const json* {
    for (const auto& r : regions) {
      if (r["id"] == id || r.value("volume", json()) == id) return &r;
      if (r.contains("regions"))
        if (const json* x = walk(r["regions"])) return x;
    }
    return nullptr;
  };
  for (const auto& d : snap["disks"])
    if (const json* r = walk(d["regions"])) return r;
  return nullptr;
}

std::string MembersSummary(const json& snap, const std::string& volumeName) {
  std::string out;
  for (const auto& v : snap["volumes"]) {
    if (v["name"] != volumeName) continue;
    for (const auto& m : v["members"])
      if (const json* r = RegionOf(snap, m["id"].get<ZM_OBJECT_ID>()))
        out += (out.empty() ? "" : ", ") + RegionSummary(*r);
  }
  return out;
}

std::string Size(uint64_t bytes, const Options& opt) {
  return opt.bytes ? std::to_string(bytes) : FormatSize(bytes);
}

namespace {

std::string Str(const json& v, const std::string& def = "-") {
  if (v.is_string()) return v.get<std::string>().empty() ? def : v.get<std::string>();
  if (v.is_number()) return std::to_string(v.get<uint64_t>());
  return def;
}

// The columns of the partition table, in their default order.
struct Column {
  const char* name;
  bool right;
  const char* help;
};
const Column kColumns[] = {
    {"NAME", false, "stable name (diskN/pM, free)"},
    {"AT", false, "name by start (diskN@STARTs; shown by -v)"},
    {"KIND", false, "primary, extended, logical or free"},
    {"START", true, "offset of the first byte"},
    {"END", true, "offset after the last byte"},
    {"SIZE", true, "length"},
    {"TYPE", false, "partition type (system id)"},
    {"ACT", false, "* on the active partition"},
    {"DEVICE", false, "NT device of the partition"},
    {"VOLUME", false, "FT set the partition belongs to"},
    {"LETTER", false, "drive letter"},
    {"FS", false, "file system"},
    {"STATE", false, "volume state"},
};

// A table of libsmartcols, freed with the object.
class Scols {
 public:
  explicit Scols(const Options& opt) : tb_(scols_new_table()) {
    if (!tb_) return;
    // Tree characters in ASCII unless the locale speaks UTF-8.
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr || std::string(codeset) != "UTF-8") scols_table_enable_ascii(tb_, 1);
    scols_table_enable_colors(tb_, UseColor(opt));
    if (opt.raw) scols_table_enable_raw(tb_, 1);
    if (opt.pairs) scols_table_enable_export(tb_, 1);
    if (opt.noHeadings) scols_table_enable_noheadings(tb_, 1);
    // The width of a terminal does not cut columns: output is the same in a pipe.
    scols_table_set_termforce(tb_, SCOLS_TERMFORCE_NEVER);
  }
  ~Scols() {
    if (tb_) scols_unref_table(tb_);
  }
  Scols(const Scols&) = delete;
  Scols& operator=(const Scols&) = delete;
  libscols_table* get() const { return tb_; }
  libscols_column* AddColumn(const std::string& name, bool right, bool tree) {
    int flags = (right ? SCOLS_FL_RIGHT : 0) | (tree ? SCOLS_FL_TREE : 0);
    return tb_ ? scols_table_new_column(tb_, name.c_str(), 0, flags) : nullptr;
  }
  void Print(std::ostream& out) {
    if (!tb_) return;
    char* text = nullptr;
    if (scols_print_table_to_string(tb_, &text) == 0 && text != nullptr) {
      // Lines without the padding of empty last cells.
      std::istringstream lines(text);
      for (std::string l; std::getline(lines, l);) {
        while (!l.empty() && l.back() == ' ') l.pop_back();
        out << l << "\n";
      }
    }
    std::free(text);
  }
  static bool UseColor(const Options& opt) {
    if (opt.color == "always") return true;
    if (opt.color == "never") return false;
    return isatty(1) != 0 && std::getenv("NO_COLOR") == nullptr;
  }

 private:
  libscols_table* tb_;
};

// The FT set a partition's volume forms, when it is one.
std::string FtSetOf(const json& snap, const json& r) {
  if (!r.contains("volume") || !r["volume"].is_number()) return "-";
  const json* v = FindVolume(snap, r["volume"]);
  if (!v || !(*v)["ft_group"].is_number()) return "-";
  std::string n = FtSetName(Str((*v)["kind"], ""), (*v)["ft_group"].get<uint64_t>());
  return n.empty() ? "-" : n;
}

std::string Cell(const json& snap, const json& r, const std::string& col, const Options& opt) {
  std::string kind = r["kind"];
  uint64_t off = r["offset"], len = r["length"];
  if (col == "NAME") return kind == "free" ? "free" : Str(r.value("name", json()), kind);
  if (col == "AT") return kind == "free" ? "" : Str(r.value("start_name", json()));
  if (col == "KIND") return kind;
  if (col == "START") return Size(off, opt);
  if (col == "END") return Size(off + len, opt);
  if (col == "SIZE") return Size(len, opt);
  if (kind == "free") return "";
  if (col == "TYPE") return r["partition_type"].is_number() ? Hex(r["partition_type"].get<uint64_t>()) : "-";
  if (col == "ACT") return r["active"].is_boolean() && r["active"].get<bool>() ? "*" : "";
  if (col == "DEVICE") return Str(r["device"]);
  if (col == "VOLUME") return FtSetOf(snap, r);
  if (col == "LETTER") return Str(r.value("drive_letter", json()));
  if (col == "FS") return Str(r.value("file_system", json()));
  if (col == "STATE") return r["state"].is_number() ? StateText(r["state"].get<uint64_t>()) : "-";
  return "";
}

void AddRows(Scols& t, const std::vector<std::string>& cols, const json& snap, const json& regions,
             libscols_line* parent, bool tree, const Options& opt) {
  for (const auto& r : regions) {
    libscols_line* ln = scols_table_new_line(t.get(), tree ? parent : nullptr);
    if (!ln) return;
    for (size_t i = 0; i < cols.size(); ++i) {
      std::string v = Cell(snap, r, cols[i], opt);
      scols_line_set_data(ln, i, v.c_str());
      if (cols[i] == "STATE" && !v.empty() && v != "-") {
        bool bad = v.find("failed") != std::string::npos || v.find("orphaned") != std::string::npos;
        scols_cell_set_color(scols_line_get_cell(ln, i), bad ? "red" : v == "healthy" ? "green" : "yellow");
      }
    }
    if (r.contains("regions")) AddRows(t, cols, snap, r["regions"], ln, tree, opt);
  }
}

// The columns asked for with -o (all known, upper-cased), or the default set.
std::vector<std::string> RegionColumns(const Options& opt) {
  std::vector<std::string> cols;
  if (opt.columns.empty()) {
    for (const auto& c : kColumns)
      if (opt.verbose || std::string(c.name) != "AT") cols.push_back(c.name);
    return cols;
  }
  std::string cur;
  for (size_t i = 0; i <= opt.columns.size(); ++i) {
    if (i == opt.columns.size() || opt.columns[i] == ',') {
      if (!cur.empty()) cols.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(std::toupper(static_cast<unsigned char>(opt.columns[i])));
    }
  }
  return cols;
}

// The partition rows of the given disks in one table.
void PrintRegions(std::ostream& out, const json& snap, const std::vector<const json*>& disks,
                  const Options& opt) {
  std::vector<std::string> cols = RegionColumns(opt);
  bool tree = !opt.list && !opt.raw;
  Scols t(opt);
  for (const auto& c : cols) {
    bool right = false;
    for (const auto& k : kColumns)
      if (c == k.name) right = k.right;
    t.AddColumn(c, right && !opt.raw, tree && c == cols.front());
  }
  for (const json* d : disks) AddRows(t, cols, snap, (*d)["regions"], nullptr, tree, opt);
  t.Print(out);
}

// Menu bits in words, after what the provider's rules use each one for.
std::string MenuWords(const json& menu, bool extended) {
  if (!menu.is_object()) return "no menu";
  uint64_t show = menu["show"].is_number() ? menu["show"].get<uint64_t>() : 0;
  uint64_t enable = menu["enable"].is_number() ? menu["enable"].get<uint64_t>() : 0;
  uint64_t local = menu["local_only"].is_number() ? menu["local_only"].get<uint64_t>() : 0;
  struct Item {
    uint64_t bit;
    const char* name;
  };
  static const Item kVolume[] = {{0x1, "drive-letter item"}, {0x2, "CD-ROM item"},
                                 {0x4, "mark active"},       {0x8, "reserved item"},
                                 {0x80, "partition item"},   {0x80000, "general item"}};
  static const Item kExtended[] = {{0x1, "create logical drive"}, {0x2, "delete extended partition"}};
  std::string s;
  auto items = extended ? std::vector<Item>(std::begin(kExtended), std::end(kExtended))
                        : std::vector<Item>(std::begin(kVolume), std::end(kVolume));
  for (const Item& it : items) {
    if (!(show & it.bit)) continue;
    if (!s.empty()) s += ", ";
    s += it.name;
    s += (enable & it.bit) ? " (enabled" : " (disabled";
    if (local & it.bit) s += ", local only";
    s += ")";
  }
  return s.empty() ? "nothing shown" : s;
}

void PrintMenus(std::ostream& out, const json& snap) {
  out << "Menus:\n";
  auto line = [&](const std::string& what, const json& menu, bool ext) {
    out << "  " << what << ": ";
    if (menu.is_object())
      out << "show " << Hex(menu["show"].is_number() ? menu["show"].get<uint64_t>() : 0) << " enable "
          << Hex(menu["enable"].is_number() ? menu["enable"].get<uint64_t>() : 0) << " local-only "
          << Hex(menu["local_only"].is_number() ? menu["local_only"].get<uint64_t>() : 0) << ": ";
    out << MenuWords(menu, ext) << "\n";
  };
  for (const auto& v : snap["volumes"])
    line("volume " + Str(v["name"], "(unnamed)") + " (" + Str(v["kind"]) + ")", v["menu"], false);
  for (const auto& d : snap["disks"])
    for (const auto& r : d["regions"])
      if (r["kind"] == "extended") line(Str(r.value("name", json())), r["menu"], true);
}

void DiskHeader(std::ostream& out, const json& d, const Options& opt) {
  char sig[16];
  std::snprintf(sig, sizeof sig, "0x%08X", d["signature"].get<uint32_t>());
  out << Str(d["name"]) << "  " << Str(d["device"]) << "  " << Size(d["size"], opt) << "  signature " << sig
      << "  " << Str(d["cylinders"], "?") << " x " << Str(d["tracks_per_cylinder"], "?") << " x "
      << Str(d["sectors_per_track"], "?") << " x " << Str(d["bytes_per_sector"], "?")
      << (d["removable"].get<bool>() ? "  removable" : "") << "  free " << Size(FreeSum(d), opt);
  if (d["min_partition_size"].is_number()) out << "  min partition " << Size(d["min_partition_size"], opt);
  out << "\n";
  if (d.contains("read_only") && d["read_only"].is_string())
    out << "  read-only: " << d["read_only"].get<std::string>() << "\n";
}

}  // namespace

std::vector<std::string> ColumnNames() {
  std::vector<std::string> names;
  for (const auto& k : kColumns) names.push_back(k.name);
  return names;
}

std::string CheckColumns(const std::string& columns) {
  Options o;
  o.columns = columns;
  std::vector<std::string> cols = RegionColumns(o);
  if (cols.empty()) return "-o needs at least one column";
  for (const auto& c : cols) {
    bool known = false;
    for (const auto& k : kColumns) known = known || c == k.name;
    if (!known) {
      std::string all;
      for (const auto& k : kColumns) all += std::string(all.empty() ? "" : ",") + k.name;
      return "unknown column '" + c + "' (available: " + all + ")";
    }
  }
  return "";
}

void PrintDisk(std::ostream& out, const json& snap, unsigned disk, const Options& opt) {
  const json* d = FindDisk(snap, disk);
  if (!d) return;
  if (!opt.raw) DiskHeader(out, *d, opt);
  PrintRegions(out, snap, {d}, opt);
}

void PrintTree(std::ostream& out, const json& snap, const Options& opt) {
  if (opt.raw) {
    // Only the rows, for scripts: every disk's partitions and free space in one table.
    std::vector<const json*> all;
    for (const auto& d : snap["disks"]) all.push_back(&d);
    PrintRegions(out, snap, all, opt);
    return;
  }
  for (const auto& d : snap["disks"]) {
    DiskHeader(out, d, opt);
    if (!d["regions"].empty())
      PrintRegions(out, snap, {&d}, opt);
    else
      out << "  (no partitions, no free space published)\n";
    out << "\n";
  }
  out << "Volumes:\n";
  if (snap["volumes"].empty()) {
    out << "  (none)\n";
  } else {
    Scols v(opt);
    const char* heads[] = {"NAME", "KIND", "LETTER", "SIZE", "STATE", "SEV", "FS", "DEVICE", "MEMBERS"};
    for (const char* h : heads) v.AddColumn(h, std::string(h) == "SIZE", false);
    for (const auto& vol : snap["volumes"]) {
      std::string members;
      for (const auto& m : vol["members"]) {
        if (!members.empty()) members += " ";
        members += Str(m["name"], "?");
        if (m["member"].is_number()) members += "[" + Str(m["member"]) + "]";
      }
      std::string kind = Str(vol["kind"]);
      if (vol["ft_group"].is_number()) kind += " group " + Str(vol["ft_group"]);
      std::string row[] = {Str(vol["name"]),
                           kind,
                           Str(vol["drive_letter"]),
                           vol["length"].is_number() ? Size(vol["length"], opt) : "-",
                           Str(vol["state_text"]),
                           Str(vol["severity"]),
                           Str(vol["file_system"]),
                           Str(vol["device"]),
                           members.empty() ? "-" : members};
      libscols_line* ln = scols_table_new_line(v.get(), nullptr);
      if (!ln) break;
      for (size_t i = 0; i < std::size(row); ++i) scols_line_set_data(ln, i, row[i].c_str());
    }
    v.Print(out);
  }
  out << "Health: "
      << (snap["machine"]["health"].is_number() ? "severity " + Str(snap["machine"]["health"])
                                                : std::string("unknown"))
      << "\n";
  if (opt.verbose) PrintMenus(out, snap);
}

void PrintAlerts(std::ostream& out, const json& alerts, const std::string& prefix) {
  for (const auto& a : alerts) {
    out << prefix << a["text"].get<std::string>();
    if (!a["inserts"].empty()) {
      out << " [";
      bool first = true;
      for (const auto& s : a["inserts"]) {
        if (!first) out << ", ";
        out << s.get<std::string>();
        first = false;
      }
      out << "]";
    }
    out << " (severity " << a["severity"] << ")\n";
  }
}

}  // namespace cli
