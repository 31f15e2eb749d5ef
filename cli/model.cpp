// The "show" document written from the model.
#include <ostream>

#include "cli.h"
#include "jsonwriter.h"

namespace cli {

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

void PrintJsonResult(std::ostream& out, const Machine& m, json extra) {
  if (!extra.contains("ok")) extra["ok"] = true;
  if (!extra.contains("error")) extra["error"] = nullptr;
  PrintJsonText(out, MachineJsonText(m, extra));
}

void PrintJsonFailure(std::ostream& out, const std::string& message, const json& status, const Machine& m,
                      json extra) {
  extra.update(JsonError(message, status));
  PrintJsonResult(out, m, std::move(extra));
}

}  // namespace cli
