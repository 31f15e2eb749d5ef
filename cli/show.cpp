// The database as one JSON document (the "show" schema) and as an aligned tree.
#include <algorithm>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "cli.h"
#include "machine.h"

namespace cli {

namespace {

json U64OrNull(ZM_OBJECT_ID id, const char* name) {
  uint64_t v;
  if (PropU64(id, name, &v)) return v;
  return nullptr;
}

json StringOrNull(ZM_OBJECT_ID id, const char* name) {
  std::string v;
  if (PropString(id, name, &v)) return v;
  return nullptr;
}

uint64_t U64(ZM_OBJECT_ID id, const char* name, uint64_t def = 0) {
  uint64_t v;
  return PropU64(id, name, &v) ? v : def;
}

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

json MenuJson(ZM_OBJECT_ID id) {
  uint64_t show, enable, local;
  bool a = PropU64(id, "MENU_SHOW_MASK_LL", &show);
  bool b = PropU64(id, "MENU_ENABLE_MASK_LL", &enable);
  bool c = PropU64(id, "MENU_LOCAL_ONLY_MASK_LL", &local);
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

json RegionJson(ZM_OBJECT_ID id, uint32_t type, const std::string& diskName) {
  json r;
  r["id"] = id;
  if (type == ZM_OBJ_FREE_SPACE) {
    r["kind"] = "free";
  } else if (type == ZM_OBJ_EXTENDED) {
    r["kind"] = "extended";
  } else {
    r["kind"] = RegionKindName(static_cast<uint32_t>(U64(id, "REGION_TYPE")));
  }
  r["offset"] = U64(id, "OFFSET_LL");
  r["length"] = U64(id, "LENGTH_LL");
  if (type == ZM_OBJ_FREE_SPACE) return r;
  r["partition_type"] = U64OrNull(id, "PARTITION_TYPE");
  uint64_t active = 0;
  r["active"] = PropU64(id, "ACTIVE", &active) ? json(active != 0) : json(nullptr);
  r["number"] = U64OrNull(id, "PARTITION_NUMBER");
  r["slot"] = U64OrNull(id, "ENTRY_SLOT");
  r["device"] = StringOrNull(id, "\\Device\\");
  r["state"] = U64OrNull(id, "STATE");
  r["severity"] = U64OrNull(id, "SEVERITY");
  if (r["number"].is_number() && type == ZM_OBJ_PARTITION)
    r["name"] = diskName + "/p" + std::to_string(r["number"].get<uint64_t>());
  else if (type == ZM_OBJ_EXTENDED)
    r["name"] = diskName + "/extended";
  ZM_OBJECT_ID vol = type == ZM_OBJ_PARTITION ? VolumeOf(id) : 0;
  r["volume"] = vol ? json(vol) : json(nullptr);
  if (type == ZM_OBJ_PARTITION) {
    r["drive_letter"] = vol ? StringOrNull(vol, "DRIVE_LETTER") : json(nullptr);
    r["file_system"] = vol ? StringOrNull(vol, "FILE_SYSTEM") : json(nullptr);
    r["ft_member"] = U64OrNull(id, "FT_MEMBER_NUMBER");
  }
  if (type == ZM_OBJ_EXTENDED) {
    r["menu"] = MenuJson(id);
    json inner = json::array();
    std::vector<std::pair<ZM_OBJECT_ID, uint32_t>> kids;
    for (auto c : ChildrenOf(id, ZM_OBJ_PARTITION)) kids.push_back({c, ZM_OBJ_PARTITION});
    for (auto c : ChildrenOf(id, ZM_OBJ_FREE_SPACE)) kids.push_back({c, ZM_OBJ_FREE_SPACE});
    for (auto& k : kids) inner.push_back(RegionJson(k.first, k.second, diskName));
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

std::string DiskNameOfPartition(ZM_OBJECT_ID part) {
  auto disks = ParentsOf(part, ZM_OBJ_DISK);
  if (disks.empty()) {
    auto ext = ParentsOf(part, ZM_OBJ_EXTENDED);
    if (!ext.empty()) disks = ParentsOf(ext.front(), ZM_OBJ_DISK);
  }
  std::string dev;
  unsigned idx;
  if (!disks.empty() && PropString(disks.front(), "\\Device\\", &dev) && DiskIndexOf(dev, &idx))
    return "disk" + std::to_string(idx);
  return "disk?";
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
    json disk;
    std::string dev;
    PropString(d, "\\Device\\", &dev);
    unsigned index = 0;
    bool hasIndex = DiskIndexOf(dev, &index);
    disk["id"] = d;
    disk["index"] = hasIndex ? json(index) : json(nullptr);
    disk["device"] = dev;
    disk["size"] = U64(d, "LENGTH_LL");
    disk["signature"] = U64(d, "SIGNATURE");
    disk["bytes_per_sector"] = U64(d, "BYTES_PER_SECTOR");
    disk["sectors_per_track"] = U64(d, "SECTORS_PER_TRACK");
    disk["tracks_per_cylinder"] = nullptr;
    disk["cylinders"] = nullptr;
    for (const auto& pd : platformDisks) {
      if (hasIndex && pd.index == index) {
        disk["tracks_per_cylinder"] = pd.geometry.TracksPerCylinder;
        disk["cylinders"] = static_cast<uint64_t>(pd.geometry.Cylinders.QuadPart);
      }
    }
    disk["free_space"] = U64OrNull(d, "FREE_SPACE");
    uint64_t removable = 0;
    disk["removable"] = PropU64(d, "REMOVABLE", &removable) && removable != 0;
    disk["min_partition_size"] = U64OrNull(d, "MIN_PARTITION_SIZE");
    json warnings = json::array();
    if (hasIndex)
      for (const auto& w : ntp::LayoutWarnings(index)) warnings.push_back(w);
    disk["layout_warnings"] = warnings;
    // Why requests leave the table alone: the platform's reason, else the provider's.
    std::string readOnly = hasIndex ? ntp::LayoutReadOnlyReason(index) : std::string();
    if (readOnly.empty()) PropString(d, "LAYOUT_READ_ONLY", &readOnly);
    disk["read_only"] = readOnly.empty() ? json(nullptr) : json(readOnly);
    std::string name = hasIndex ? "disk" + std::to_string(index) : "disk?";
    disk["name"] = name;
    json regions = json::array();
    for (uint32_t t : {ZM_OBJ_PARTITION, ZM_OBJ_EXTENDED, ZM_OBJ_FREE_SPACE})
      for (auto c : ChildrenOf(d, t)) regions.push_back(RegionJson(c, t, name));
    std::stable_sort(regions.begin(), regions.end(), [](const json& a, const json& b) {
      return a["offset"].get<uint64_t>() < b["offset"].get<uint64_t>();
    });
    disk["regions"] = std::move(regions);
    disks.push_back(std::move(disk));
  }
  std::stable_sort(disks.begin(), disks.end(), [](const json& a, const json& b) {
    return a["index"].is_number() && b["index"].is_number() &&
           a["index"].get<unsigned>() < b["index"].get<unsigned>();
  });
  snap["disks"] = std::move(disks);

  json volumes = json::array();
  for (ZM_OBJECT_ID v : ObjectsOfType(ZM_OBJ_VOLUME)) {
    json vol;
    uint64_t vt = U64(v, "LDM_VOLUME_TYPE");
    vol["id"] = v;
    vol["kind"] = VolumeKindName(static_cast<uint32_t>(vt));
    vol["volume_type"] = vt;
    vol["facility"] = U64OrNull(v, "FACILITY");
    vol["device"] = StringOrNull(v, "\\Device\\");
    vol["drive_letter"] = StringOrNull(v, "DRIVE_LETTER");
    vol["length"] = U64OrNull(v, "LENGTH_LL");
    vol["offset"] = U64OrNull(v, "OFFSET_LL");
    vol["state"] = U64OrNull(v, "STATE");
    vol["state_text"] =
        vol["state"].is_number() ? json(StateText(vol["state"].get<uint64_t>())) : json(nullptr);
    vol["severity"] = U64OrNull(v, "SEVERITY");
    vol["file_system"] = StringOrNull(v, "FILE_SYSTEM");
    vol["ft_group"] = U64OrNull(v, "FT_GROUP");
    json members = json::array();
    for (auto p : ChildrenOf(v, ZM_OBJ_PARTITION)) {
      json m = {{"id", p}};
      uint64_t num;
      m["name"] = PropU64(p, "PARTITION_NUMBER", &num)
                      ? json(DiskNameOfPartition(p) + "/p" + std::to_string(num))
                      : json(nullptr);
      m["member"] = U64OrNull(p, "FT_MEMBER_NUMBER");
      m["state"] = U64OrNull(p, "STATE");
      m["offset"] = U64OrNull(p, "OFFSET_LL");
      m["length"] = U64OrNull(p, "LENGTH_LL");
      members.push_back(m);
    }
    vol["members"] = std::move(members);
    vol["menu"] = MenuJson(v);
    volumes.push_back(std::move(vol));
  }
  snap["volumes"] = std::move(volumes);

  // The host's volume root carries the highest severity of all volumes: the health.
  auto roots = ObjectsOfType(ZM_OBJ_VOLUME_ROOT);
  snap["machine"]["health"] = roots.empty() ? json(nullptr) : U64OrNull(roots.front(), "SEVERITY");
  snap["alerts"] = AlertsJson(alerts);
  return snap;
}

const json* FindDisk(const json& snap, unsigned index) {
  for (const auto& d : snap["disks"])
    if (d["index"].is_number() && d["index"].get<unsigned>() == index) return &d;
  return nullptr;
}

ZM_OBJECT_ID ResolveVolume(const json& snap, const std::string& text, std::string* error) {
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
      *error = "no volume has the drive letter " + want;
      return 0;
    }
    case VolumeSpec::Partition: {
      const json* d = FindDisk(snap, spec.disk);
      if (!d) {
        *error = "there is no disk " + std::to_string(spec.disk);
        return 0;
      }
      std::function<const json*(const json&)> find = [&](const json& regions) -> const json* {
        for (const auto& r : regions) {
          if (r["kind"] != "free" && r["kind"] != "extended" && r["number"].is_number() &&
              r["number"].get<unsigned>() == spec.number)
            return &r;
          if (r.contains("regions")) {
            if (const json* x = find(r["regions"])) return x;
          }
        }
        return nullptr;
      };
      const json* r = find((*d)["regions"]);
      if (!r) {
        *error = "disk " + std::to_string(spec.disk) + " has no partition " + std::to_string(spec.number);
        return 0;
      }
      if (!(*r)["volume"].is_number()) {
        *error = text + " has no volume yet";
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
    case VolumeSpec::ObjectId: {
      if (ObjectType(spec.id) == 0) {
        *error = "there is no object with id " + std::to_string(spec.id);
        return 0;
      }
      return spec.id;
    }
  }
  return 0;
}

std::string Size(uint64_t bytes, const Options& opt) {
  return opt.bytes ? std::to_string(bytes) : FormatSize(bytes);
}

namespace {

// A table whose columns are as wide as their widest cell.
struct Table {
  std::vector<std::vector<std::string>> rows;
  std::vector<bool> right;
  void Print(std::ostream& out) const {
    std::vector<size_t> w;
    for (const auto& r : rows)
      for (size_t i = 0; i < r.size(); ++i) {
        if (w.size() <= i) w.push_back(0);
        w[i] = std::max(w[i], Width(r[i]));
      }
    for (const auto& r : rows) {
      std::string line;
      for (size_t i = 0; i < r.size(); ++i) {
        size_t pad = w[i] - Width(r[i]);
        bool ra = i < right.size() && right[i];
        if (ra) line.append(pad, ' ');
        line += r[i];
        if (!ra && i + 1 < r.size()) line.append(pad, ' ');
        if (i + 1 < r.size()) line += "  ";
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out << line << "\n";
    }
  }
  // Display width: UTF-8 continuation bytes take no column.
  static size_t Width(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
      if ((c & 0xC0) != 0x80) ++n;
    return n;
  }
};

std::string Str(const json& v, const std::string& def = "-") {
  if (v.is_string()) return v.get<std::string>().empty() ? def : v.get<std::string>();
  if (v.is_number()) return std::to_string(v.get<uint64_t>());
  return def;
}

void RegionRows(Table& t, const json& regions, const std::string& indent, const Options& opt) {
  for (size_t i = 0; i < regions.size(); ++i) {
    const json& r = regions[i];
    bool last = i + 1 == regions.size();
    std::string branch = indent + (last ? "└─" : "├─");
    std::string kind = r["kind"];
    std::string name = kind == "free" ? "free" : Str(r.value("name", json()), kind);
    uint64_t off = r["offset"], len = r["length"];
    std::vector<std::string> row = {branch + name, kind, Size(off, opt), Size(off + len, opt),
                                    Size(len, opt)};
    if (kind == "free") {
      row.insert(row.end(), {"", "", "", "", "", "", ""});
    } else {
      row.push_back(r["partition_type"].is_number() ? Hex(r["partition_type"].get<uint64_t>()) : "-");
      row.push_back(r["active"].is_boolean() && r["active"].get<bool>() ? "*" : "");
      row.push_back(Str(r["device"]));
      row.push_back(r.contains("volume") && r["volume"].is_number() ? "#" + Str(r["volume"]) : "-");
      row.push_back(Str(r.value("drive_letter", json())));
      row.push_back(Str(r.value("file_system", json())));
      row.push_back(r["state"].is_number() ? StateText(r["state"].get<uint64_t>()) : "-");
    }
    t.rows.push_back(row);
    if (r.contains("regions")) RegionRows(t, r["regions"], indent + (last ? "  " : "│ "), opt);
  }
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
    line("volume #" + Str(v["id"]) + " (" + Str(v["kind"]) + ")", v["menu"], false);
  for (const auto& d : snap["disks"])
    for (const auto& r : d["regions"])
      if (r["kind"] == "extended") line(Str(r.value("name", json())) + " #" + Str(r["id"]), r["menu"], true);
}

void DiskHeader(std::ostream& out, const json& d, const Options& opt) {
  char sig[16];
  std::snprintf(sig, sizeof sig, "0x%08X", d["signature"].get<uint32_t>());
  out << Str(d["name"]) << "  " << Str(d["device"]) << "  " << Size(d["size"], opt) << "  signature " << sig
      << "  " << Str(d["cylinders"], "?") << " x " << Str(d["tracks_per_cylinder"], "?") << " x "
      << Str(d["sectors_per_track"], "?") << " x " << Str(d["bytes_per_sector"], "?")
      << (d["removable"].get<bool>() ? "  removable" : "") << "  free "
      << (d["free_space"].is_number() ? Size(d["free_space"], opt) : std::string("-")) << "\n";
  if (d.contains("read_only") && d["read_only"].is_string())
    out << "  read-only: " << d["read_only"].get<std::string>() << "\n";
}

Table RegionTable() {
  Table t;
  t.rows.push_back(
      {"NAME", "KIND", "START", "END", "SIZE", "TYPE", "ACT", "DEVICE", "VOLUME", "LETTER", "FS", "STATE"});
  t.right = {false, false, true, true, true};
  return t;
}

}  // namespace

void PrintDisk(std::ostream& out, const json& snap, unsigned disk, const Options& opt) {
  const json* d = FindDisk(snap, disk);
  if (!d) return;
  DiskHeader(out, *d, opt);
  Table t = RegionTable();
  RegionRows(t, (*d)["regions"], "", opt);
  t.Print(out);
}

void PrintTree(std::ostream& out, const json& snap, const Options& opt) {
  for (const auto& d : snap["disks"]) {
    DiskHeader(out, d, opt);
    Table t = RegionTable();
    RegionRows(t, d["regions"], "", opt);
    if (t.rows.size() > 1)
      t.Print(out);
    else
      out << "  (no partitions, no free space published)\n";
    out << "\n";
  }
  out << "Volumes:\n";
  Table v;
  v.rows.push_back({"ID", "KIND", "LETTER", "SIZE", "STATE", "SEV", "FS", "DEVICE", "MEMBERS"});
  v.right = {true, false, false, true};
  for (const auto& vol : snap["volumes"]) {
    std::string members;
    for (const auto& m : vol["members"]) {
      if (!members.empty()) members += " ";
      members += Str(m["name"], "#" + Str(m["id"]));
      if (m["member"].is_number()) members += "[" + Str(m["member"]) + "]";
    }
    std::string kind = Str(vol["kind"]);
    if (vol["ft_group"].is_number()) kind += " group " + Str(vol["ft_group"]);
    v.rows.push_back({"#" + Str(vol["id"]), kind, Str(vol["drive_letter"]),
                      vol["length"].is_number() ? Size(vol["length"], opt) : "-", Str(vol["state_text"]),
                      Str(vol["severity"]), Str(vol["file_system"]), Str(vol["device"]),
                      members.empty() ? "-" : members});
  }
  if (v.rows.size() > 1)
    v.Print(out);
  else
    out << "  (none)\n";
  out << "Health: "
      << (snap["machine"]["health"].is_number() ? "severity " + Str(snap["machine"]["health"])
                                                : std::string("unknown"))
      << "\n";
  if (opt.verbose) PrintMenus(out, snap);
}

void PrintAlerts(std::ostream& out, const json& alerts) {
  for (const auto& a : alerts) {
    out << "alert: " << a["text"].get<std::string>();
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
