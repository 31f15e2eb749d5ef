// Host start and stop: the database with its boot objects (container, disks, CD-ROM
// volumes, volume root), the built-in providers and the notifier thread.
#include <string>

#include "internal.h"
#include "machine.h"

namespace zmi {

std::string Utf8(const std::u16string& s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // unpaired surrogate
    }
    if (c < 0x80) {
      o += static_cast<char>(c);
    } else if (c < 0x800) {
      o += static_cast<char>(0xC0 | (c >> 6));
      o += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      o += static_cast<char>(0xE0 | (c >> 12));
      o += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      o += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      o += static_cast<char>(0xF0 | (c >> 18));
      o += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      o += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      o += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return o;
}

// Default texts are 8-bit; each byte becomes one UTF-16 unit (Latin-1).
std::u16string Utf16(const std::string& s) {
  std::u16string o;
  o.reserve(s.size());
  for (unsigned char c : s) o.push_back(c);
  return o;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

namespace {

// The disk device type that both the disk scan and the disk registry take as a basic
// disk.
constexpr uint32_t kBasicDiskDeviceType = 4;

void SetAll(ZM_OBJECT_ID id, const std::vector<Value>& values) {
  for (const auto& v : values) HostSet(id, v);
}

std::u16string Number(unsigned n) {
  std::string s = std::to_string(n);
  return std::u16string(s.begin(), s.end());
}

// Without a booted machine the database starts empty (tests fill it themselves).
void MakeBootObjects() {
  if (!ntp::IsBooted()) return;
  ZM_OBJECT_ID root = HostCreate(ZM_OBJ_VOLUME_ROOT);
  SetAll(root, {StringValue("NAME", u"Volumes"), U32Value("SEVERITY", 0)});
  ZM_OBJECT_ID container = HostCreate(ZM_OBJ_CONTAINER);
  SetAll(container, {StringValue("NAME", u"Disks")});
  for (const ntp::DiskInfo& d : ntp::Disks()) {
    ZM_OBJECT_ID id = HostCreate(ZM_OBJ_DISK);
    const DISK_GEOMETRY& g = d.geometry;
    uint64_t track = uint64_t{g.SectorsPerTrack} * g.BytesPerSector;
    SetAll(id,
           {StringValue("\\Device\\", d.device), StringValue("NAME", u"Disk " + Number(d.index)),
            U32Value("LDM_DEVICE_TYPE", kBasicDiskDeviceType), U64Value("LENGTH_LL", d.length),
            U64Value("MIN_PARTITION_SIZE", track), U32Value("SIGNATURE", d.signature),
            U32Value("BYTES_PER_SECTOR", g.BytesPerSector), U32Value("SECTORS_PER_TRACK", g.SectorsPerTrack),
            U32Value("TRACKS_PER_CYLINDER", g.TracksPerCylinder),
            U64Value("CYLINDERS_LL", static_cast<uint64_t>(g.Cylinders.QuadPart)),
            BoolValue("REMOVABLE", d.removable)});
    HostLink(container, id);
  }
  for (const ntp::CdromInfo& c : ntp::Cdroms()) {
    ZM_OBJECT_ID id = HostCreate(ZM_OBJ_VOLUME);  // placed under the volume root on creation
    SetAll(id, {StringValue("\\Device\\", c.device), StringValue("NAME", u"CD-ROM " + Number(c.index)),
                U32Value("LDM_VOLUME_TYPE", 4), U64Value("STATE", 4), U32Value("SEVERITY", 0)});
    HostLink(container, id);
  }
  RefreshDriveLetters();
}

}  // namespace
}  // namespace zmi

namespace zm {

ZM_HANDLE Start() {
  if (zmi::IsDatabase(Database())) return Database();
  zmi::ResetAlerts();
  zmi::ForgetProbedVolumes();
  ZM_HANDLE db = zmi::CreateDatabase();
  zmi::StartNotifier();
  zmi::RegisterBuiltins();
  zmi::MakeBootObjects();
  return db;
}

void Stop() {
  zmi::DropAllProviders();
  zmi::StopNotifier();
  zmi::DestroyDatabase();
  zmi::ForgetProbedVolumes();
}

}  // namespace zm
