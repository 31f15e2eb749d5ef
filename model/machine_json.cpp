#include "machine_json.h"

#include <strings.h>

#include <cstdio>

#include "boot.h"
#include "json_writer.h"

namespace model {

using json = nlohmann::json;

json AlertKindWord(const std::string& guid) {
  // The six kinds the provider registers, in registration order.
  static const std::pair<const char*, const char*> kKinds[] = {
      {"93B228B6-2B64-11D3-B74B-00105A24BFBF", "created_partition"},
      {"93B228B7-2B64-11D3-B74B-00105A24BFBF", "create_partition_failed"},
      {"93B228B8-2B64-11D3-B74B-00105A24BFBF", "deleted_partition"},
      {"93B228B9-2B64-11D3-B74B-00105A24BFBF", "delete_partition_failed"},
      {"93B228BA-2B64-11D3-B74B-00105A24BFBF", "marked_active"},
      {"93B228BB-2B64-11D3-B74B-00105A24BFBF", "mark_active_failed"}};
  for (const auto& [g, word] : kKinds)
    if (strcasecmp(g, guid.c_str()) == 0) return word;
  return nullptr;
}

json AlertsJson(const std::vector<zm::AlertRecord>& alerts) {
  json out = json::array();
  for (const auto& a : alerts) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", a.kind.Data1,
                  a.kind.Data2, a.kind.Data3, a.kind.Data4[0], a.kind.Data4[1], a.kind.Data4[2],
                  a.kind.Data4[3], a.kind.Data4[4], a.kind.Data4[5], a.kind.Data4[6], a.kind.Data4[7]);
    json inserts = json::array();
    for (const auto& s : a.inserts) inserts.push_back(zm::Narrow(s));
    out.push_back({{"time", a.time},
                   {"severity", a.severity},
                   {"guid", guid},
                   {"kind", AlertKindWord(guid)},
                   {"message_id", a.messageId},
                   {"text", a.text},
                   {"inserts", inserts}});
  }
  return out;
}

// The document's members, each written under its key, in the order of the keys.
namespace {

void WriteMenu(JsonWriter& w, const std::optional<Menu>& menu) {
  w.Key("menu");
  if (!menu) return w.Null();
  w.Open('{');
  w.Field("enable", menu->enable);
  w.Field("local_only", menu->localOnly);
  w.Field("show", menu->show);
  w.Close('}');
}

void WriteRegion(JsonWriter& w, const Region& r) {
  w.Open('{');
  const bool free = r.IsFree(), partition = r.type == ZM_OBJ_PARTITION, extended = r.IsExtended();
  if (!free) {
    w.Field("active", r.active);
    w.Field("device", r.device);
  }
  if (partition) {
    w.Field("drive_letter", r.driveLetter);
    w.Field("file_system", r.fileSystem);
    w.Field("ft_member", r.ftMember);
  }
  w.Field("id", r.id);
  w.Field("kind", r.kind);
  w.Field("length", r.length);
  if (extended) WriteMenu(w, r.menu);
  if (!r.name.empty()) w.Field("name", r.name);
  if (!free) w.Field("number", r.number);
  w.Field("offset", r.offset);
  if (!free) w.Field("partition_type", r.partitionType);
  if (extended) {
    w.Key("regions");
    w.Open('[');
    for (const Region& x : r.regions) {
      w.Item();
      WriteRegion(w, x);
    }
    w.Close(']');
  }
  if (!free) {
    w.Field("severity", r.severity);
    w.Field("slot", r.slot);
    w.Field("start_name", r.startName);
    w.Field("state", r.state);
    w.Key("volume");
    r.volume != 0 ? w.Integer(r.volume) : w.Null();
  }
  w.Close('}');
}

void WriteDisk(JsonWriter& w, const Disk& d) {
  w.Open('{');
  w.Field("bytes_per_sector", d.bytesPerSector);
  w.Field("cylinders", d.cylinders);
  w.Field("device", d.device);
  w.Field("free_space", d.freeSpace);
  w.Field("id", d.id);
  w.Field("index", d.index);
  w.Key("layout_warnings");
  w.Open('[');
  for (const auto& s : d.layoutWarnings) {
    w.Item();
    w.String(s);
  }
  w.Close(']');
  w.Field("min_partition_size", d.minPartitionSize);
  w.Field("name", d.name);
  w.Field("read_only", d.readOnly);
  w.Key("regions");
  w.Open('[');
  for (const Region& r : d.regions) {
    w.Item();
    WriteRegion(w, r);
  }
  w.Close(']');
  w.Field("removable", d.removable);
  w.Field("sectors_per_track", d.sectorsPerTrack);
  w.Field("signature", d.signature);
  w.Field("size", d.size);
  w.Field("tracks_per_cylinder", d.tracksPerCylinder);
  w.Close('}');
}

void WriteVolume(JsonWriter& w, const Volume& v) {
  w.Open('{');
  w.Field("device", v.device);
  w.Field("drive_letter", v.driveLetter);
  w.Field("facility", v.facility);
  w.Field("file_system", v.fileSystem);
  w.Field("ft_group", v.ftGroup);
  w.Field("id", v.id);
  w.Field("kind", v.kind);
  w.Field("length", v.length);
  w.Key("members");
  w.Open('[');
  for (const Member& m : v.members) {
    w.Item();
    w.Open('{');
    w.Field("id", m.id);
    w.Field("length", m.length);
    w.Field("member", m.member);
    w.Field("name", m.name);
    w.Field("offset", m.offset);
    w.Field("state", m.state);
    w.Close('}');
  }
  w.Close(']');
  WriteMenu(w, v.menu);
  w.Field("name", v.name);
  w.Field("offset", v.offset);
  w.Field("severity", v.severity);
  w.Field("state", v.state);
  w.Key("state_text");
  v.state ? w.String(v.StateText()) : w.Null();
  w.Field("volume_type", v.volumeType);
  w.Close('}');
}

template <size_t N, class T, class F>
void WriteArray(JsonWriter& w, const char (&key)[N], const std::vector<T>& items, F&& each) {
  w.Key(key);
  w.Open('[');
  for (const T& x : items) {
    w.Item();
    each(w, x);
  }
  w.Close(']');
}

}  // namespace

std::string MachineJsonText(const Machine& m, const json& extra) {
  JsonWriter w;
  w.Open('{');
  // The model's members and extra's, merged in the order of their keys.
  const char* const kOwn[] = {"alerts", "disks", "machine", "volumes"};
  auto own = [&](size_t i) {
    switch (i) {
      case 0:
        w.Key("alerts");
        return w.Nested(AlertsJson(m.alerts));
      case 1:
        return WriteArray(w, "disks", m.disks, WriteDisk);
      case 2:
        w.Key("machine");
        w.Open('{');
        w.Field("dir", m.dir);
        w.Field("health", m.health);
        return w.Close('}');
      default:
        return WriteArray(w, "volumes", m.volumes, WriteVolume);
    }
  };
  size_t next = 0;
  for (const auto& [key, value] : extra.items()) {
    for (; next < std::size(kOwn) && key.compare(kOwn[next]) > 0; ++next) own(next);
    if (next < std::size(kOwn) && key == kOwn[next]) ++next;  // extra's value replaces the model's
    w.Key(key);
    w.Nested(value);
  }
  for (; next < std::size(kOwn); ++next) own(next);
  w.Close('}');
  return w.Take();
}

}  // namespace model
