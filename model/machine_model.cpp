// The model read from the host database and its look-ups by stable name.
#include "machine_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>

#include "boot.h"
#include "machine.h"

namespace model {

using zm::ChildrenOf;
using zm::DecodeU64;
using zm::Narrow;
using zm::ObjectsOfType;
using zm::ObjectType;
using zm::ParentsOf;

namespace {

// The properties the model reads, decoded in one host read per object. The host's
// property names are interned, so each name is matched once per process, then by its
// address.
// clang-format off
enum Prop : uint8_t {
  kOffset, kLength, kRegionType, kPartitionType, kActive, kNumber, kSlot, kDevice, kState, kSeverity,
  kFtMember, kMenuShow, kMenuEnable, kMenuLocalOnly, kDriveLetter, kFileSystem, kVolumeType, kFacility,
  kFtGroup, kSignature, kBytesPerSector, kSectorsPerTrack, kRemovable, kLayoutReadOnly, kPropCount
};
constexpr const char* kPropNames[kPropCount] = {
    "OFFSET_LL", "LENGTH_LL", "REGION_TYPE", "PARTITION_TYPE", "ACTIVE", "PARTITION_NUMBER", "ENTRY_SLOT",
    "\\Device\\", "STATE", "SEVERITY", "FT_MEMBER_NUMBER", "MENU_SHOW_MASK_LL", "MENU_ENABLE_MASK_LL",
    "MENU_LOCAL_ONLY_MASK_LL", "DRIVE_LETTER", "FILE_SYSTEM", "LDM_VOLUME_TYPE", "FACILITY", "FT_GROUP",
    "SIGNATURE", "BYTES_PER_SECTOR", "SECTORS_PER_TRACK", "REMOVABLE", "LAYOUT_READ_ONLY"};
// clang-format on

// The model's index of a host property by the host's name number (-1: not read), filled
// as names are first met.
int PropIndex(const zm::PropertyView& v) {
  static std::vector<int8_t> byId;  // -2: not looked at yet
  if (v.nameId >= byId.size()) byId.resize(v.nameId + 1, -2);
  int8_t& index = byId[v.nameId];
  if (index == -2) {
    index = -1;
    for (int i = 0; i < kPropCount && index < 0; ++i)
      if (std::strcmp(kPropNames[i], v.name) == 0) index = static_cast<int8_t>(i);
  }
  return index;
}

class Props {
 public:
  explicit Props(ZM_OBJECT_ID id) {
    if (id == 0) return;
    static zm::ObjectView view;  // reused: one copy per object, no allocation per property
    zm::ReadObject(id, &view);
    for (const zm::PropertyView& v : view.props) {
      const int i = PropIndex(v);
      if (i < 0 || seen_ & (1u << i)) continue;
      seen_ |= 1u << i;
      if (v.data == nullptr || v.size == 0) continue;
      if (DecodeU64(v.type, v.data, v.size, &u64_[i])) numbers_ |= 1u << i;
      if (v.type == ZM_TYPE_STRING && DecodeText(v.data, v.size, &text_[i])) texts_ |= 1u << i;
    }
  }
  std::optional<uint64_t> U64(Prop p) const {
    return numbers_ & (1u << p) ? std::optional<uint64_t>(u64_[p]) : std::nullopt;
  }
  uint64_t U64Or0(Prop p) const { return numbers_ & (1u << p) ? u64_[p] : 0; }
  std::optional<std::string> String(Prop p) const {
    return texts_ & (1u << p) ? std::optional<std::string>(text_[p]) : std::nullopt;
  }

 private:
  // UTF-16 up to its terminator (none: no string); ASCII is copied as it is.
  static bool DecodeText(const void* v, size_t size, std::string* value) {
    const char* p = static_cast<const char*>(v);
    const size_t units = size / 2;
    size_t length = 0;
    bool ascii = true;
    for (char16_t c; length < units; ++length) {
      std::memcpy(&c, p + 2 * length, 2);
      if (c == 0) break;
      ascii = ascii && c < 0x80;
    }
    if (length == units) {
      value->clear();
      return false;
    }
    if (!ascii) {
      std::u16string wide(length, u'\0');
      std::memcpy(wide.data(), p, 2 * length);
      *value = Narrow(wide);
      return true;
    }
    value->resize(length);
    for (size_t i = 0; i < length; ++i) {
      char16_t c;
      std::memcpy(&c, p + 2 * i, 2);
      (*value)[i] = static_cast<char>(c);
    }
    return true;
  }

  uint32_t seen_ = 0, numbers_ = 0, texts_ = 0;
  uint64_t u64_[kPropCount];
  std::string text_[kPropCount];
};

std::optional<Menu> ReadMenu(const Props& p) {
  Menu m{p.U64(kMenuShow), p.U64(kMenuEnable), p.U64(kMenuLocalOnly)};
  if (!m.show && !m.enable && !m.localOnly) return std::nullopt;
  return m;
}

void SortByOffset(std::vector<Region>& regions) {
  auto byOffset = [](const Region& a, const Region& b) { return a.offset < b.offset; };
  // The host usually lists a disk's regions in order already: moving them costs more.
  if (!std::is_sorted(regions.begin(), regions.end(), byOffset))
    std::stable_sort(regions.begin(), regions.end(), byOffset);
}

// Volumes by id, read before the disks so that a partition takes its volume's letter and
// file system from there.
using VolumesById = std::unordered_map<ZM_OBJECT_ID, const Volume*>;

Region ReadRegion(ZM_OBJECT_ID id, uint32_t type, const Disk& disk, const VolumesById& volumes) {
  const Props p(id);
  Region r;
  r.id = id;
  r.type = type;
  r.kind = type == ZM_OBJ_FREE_SPACE ? "free"
           : type == ZM_OBJ_EXTENDED ? "extended"
                                     : RegionKindName(static_cast<uint32_t>(p.U64Or0(kRegionType)));
  r.offset = p.U64Or0(kOffset);
  r.length = p.U64Or0(kLength);
  if (type == ZM_OBJ_FREE_SPACE) return r;
  r.partitionType = p.U64(kPartitionType);
  if (auto a = p.U64(kActive)) r.active = *a != 0;
  r.number = p.U64(kNumber);
  r.slot = p.U64(kSlot);
  r.device = p.String(kDevice);
  r.state = p.U64(kState);
  r.severity = p.U64(kSeverity);
  // Named as Linux numbers the same disk: primaries and the extended partition by their
  // slot of the master boot record (a logical drive's name is given with its siblings').
  if (r.slot && *r.slot < 4 && r.kind != "logical")
    r.name = disk.name + "/p" + std::to_string(*r.slot + 1);
  else if (type == ZM_OBJ_EXTENDED)
    r.name = disk.name + "/extended";
  // By the sector where its data starts, as sfdisk and the kernel give it (a logical
  // drive's data starts one track after its region).
  uint64_t start = r.offset;
  if (r.kind == "logical") start += disk.sectorsPerTrack * disk.SectorBytes();
  r.startName = disk.name + "@" + std::to_string(start / disk.SectorBytes()) + "s";
  if (type == ZM_OBJ_PARTITION) {
    // The first volume above the partition (an FT volume when it is a member).
    auto parents = ParentsOf(id, ZM_OBJ_VOLUME);
    r.volume = parents.empty() ? 0 : parents.front();
    if (auto v = volumes.find(r.volume); v != volumes.end()) {
      r.driveLetter = v->second->driveLetter;
      r.fileSystem = v->second->fileSystem;
    } else {
      const Props vp(r.volume);  // no object 0: nothing read
      r.driveLetter = vp.String(kDriveLetter);
      if (r.driveLetter && r.driveLetter->empty()) r.driveLetter.reset();
      r.fileSystem = vp.String(kFileSystem);
    }
    r.ftMember = p.U64(kFtMember);
  }
  if (type == ZM_OBJ_EXTENDED) {
    r.menu = ReadMenu(p);
    for (uint32_t t : {ZM_OBJ_PARTITION, ZM_OBJ_FREE_SPACE})
      for (auto c : ChildrenOf(id, t)) r.regions.push_back(ReadRegion(c, t, disk, volumes));
    // Logical drives from 5 in chain order (their order in the layout), so deleting one
    // renames only the drives after it.
    std::vector<Region*> drives;
    for (auto& x : r.regions)
      if (x.kind == "logical") drives.push_back(&x);
    std::stable_sort(drives.begin(), drives.end(), [](const Region* a, const Region* b) {
      return a->slot && (!b->slot || *a->slot < *b->slot);
    });
    for (size_t i = 0; i < drives.size(); ++i) drives[i]->name = disk.name + "/p" + std::to_string(5 + i);
    SortByOffset(r.regions);
  }
  return r;
}

// "\Device\Harddisk3" -> 3.
std::optional<unsigned> DiskIndexOf(const std::string& device) {
  const std::string prefix = "\\Device\\Harddisk";
  if (device.size() <= prefix.size() || device.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  unsigned v = 0;
  for (size_t i = prefix.size(); i < device.size(); ++i) {
    if (device[i] < '0' || device[i] > '9' || v > 100000) return std::nullopt;
    v = v * 10 + static_cast<unsigned>(device[i] - '0');
  }
  return v;
}

Disk ReadDisk(ZM_OBJECT_ID id, const std::vector<ntp::DiskInfo>& platformDisks, const VolumesById& volumes) {
  const Props p(id);
  Disk d;
  d.id = id;
  d.device = p.String(kDevice).value_or("");
  d.index = DiskIndexOf(d.device);
  d.size = p.U64Or0(kLength);
  d.signature = p.U64Or0(kSignature);
  d.bytesPerSector = p.U64Or0(kBytesPerSector);
  d.sectorsPerTrack = p.U64Or0(kSectorsPerTrack);
  for (const auto& pd : platformDisks)
    if (d.index && pd.index == *d.index) {
      d.tracksPerCylinder = pd.geometry.TracksPerCylinder;
      d.cylinders = static_cast<uint64_t>(pd.geometry.Cylinders.QuadPart);
    }
  d.removable = p.U64Or0(kRemovable) != 0;
  if (d.index) d.layoutWarnings = ntp::LayoutWarnings(*d.index);
  // Why requests leave the disk or its table alone: the platform's reason (a disk
  // attached read-only or write-protected first), else the provider's.
  std::string readOnly = d.index ? ntp::WriteRefusal(*d.index) : std::string();
  if (readOnly.empty() && d.index) readOnly = ntp::LayoutReadOnlyReason(*d.index);
  if (readOnly.empty()) readOnly = p.String(kLayoutReadOnly).value_or("");
  if (!readOnly.empty()) d.readOnly = readOnly;
  d.name = d.index ? "disk" + std::to_string(*d.index) : "disk?";
  for (uint32_t t : {ZM_OBJ_PARTITION, ZM_OBJ_EXTENDED, ZM_OBJ_FREE_SPACE})
    for (auto c : ChildrenOf(id, t)) d.regions.push_back(ReadRegion(c, t, d, volumes));
  SortByOffset(d.regions);
  d.ForEachRegion([&](const Region& r) {
    if (r.IsFree()) d.freeSpace += r.length;
  });
  if (d.cylinders) d.minPartitionSize = d.MinCreateSize();
  return d;
}

// A volume's stable name: its FT set's, its CD-ROM's or its only partition's.
std::string VolumeName(const Volume& v) {
  if (v.ftGroup) {
    std::string n = FtSetName(v.kind, *v.ftGroup);
    if (!n.empty()) return n;
  }
  const std::string prefix = "\\Device\\CdRom";
  if (v.kind == "cdrom" && v.device && v.device->rfind(prefix, 0) == 0)
    return "cdrom" + v.device->substr(prefix.size());
  if (v.members.size() == 1 && v.members[0].name) return *v.members[0].name;
  return "";
}

// A volume and the ids of its partitions; the members' details come with the disks.
Volume ReadVolume(ZM_OBJECT_ID id) {
  const Props p(id);
  Volume v;
  v.id = id;
  v.volumeType = p.U64Or0(kVolumeType);
  v.kind = VolumeKindName(static_cast<uint32_t>(v.volumeType));
  v.facility = p.U64(kFacility);
  v.device = p.String(kDevice);
  v.driveLetter = p.String(kDriveLetter);
  if (v.driveLetter && v.driveLetter->empty()) v.driveLetter.reset();  // "" once removed: none
  v.length = p.U64(kLength);
  v.offset = p.U64(kOffset);
  v.state = p.U64(kState);
  v.severity = p.U64(kSeverity);
  v.fileSystem = p.String(kFileSystem);
  v.ftGroup = p.U64(kFtGroup);
  for (auto part : ChildrenOf(id, ZM_OBJ_PARTITION)) v.members.push_back(Member{part, {}, {}, {}, {}, {}});
  v.menu = ReadMenu(p);
  return v;
}

// A member as its partition's region gives it (else as the host does), and its name.
void FillMember(Member& m, const std::unordered_map<ZM_OBJECT_ID, const Region*>& regions) {
  if (auto r = regions.find(m.id); r != regions.end()) {
    const Region& x = *r->second;
    if (!x.name.empty()) m.name = x.name;
    m.member = x.ftMember;
    m.state = x.state;
    m.offset = x.offset;
    m.length = x.length;
    return;
  }
  const Props mp(m.id);
  m.member = mp.U64(kFtMember);
  m.state = mp.U64(kState);
  m.offset = mp.U64(kOffset);
  m.length = mp.U64(kLength);
}

}  // namespace

int64_t Disk::TrackBytes() const {
  const int64_t t = static_cast<int64_t>(sectorsPerTrack * bytesPerSector);
  return t > 0 ? t : 63 * 512;
}

int64_t Disk::CylinderBytes() const {
  const int64_t c = TrackBytes() * static_cast<int64_t>(tracksPerCylinder.value_or(0));
  return c > 0 ? c : 255 * 63 * 512;
}

uint64_t Disk::MinCreateSize() const {
  // The provider rounds a partition's end to the nearer cylinder boundary, so a size of
  // half a cylinder or less is rounded away; the next whole sector is kept.
  const uint64_t bps = SectorBytes();
  const uint64_t half = sectorsPerTrack * tracksPerCylinder.value_or(255) * bps / 2;
  return (half / bps + 1) * bps;
}

Machine Machine::Read(const std::vector<zm::AlertRecord>& alerts) {
  Machine m;
  m.dir = ntp::MachineDir();
  const auto platformDisks = ntp::Disks();
  for (ZM_OBJECT_ID v : ObjectsOfType(ZM_OBJ_VOLUME)) m.volumes.push_back(ReadVolume(v));
  VolumesById volumes;
  for (const Volume& v : m.volumes) volumes.emplace(v.id, &v);
  for (ZM_OBJECT_ID d : ObjectsOfType(ZM_OBJ_DISK)) m.disks.push_back(ReadDisk(d, platformDisks, volumes));
  std::stable_sort(m.disks.begin(), m.disks.end(),
                   [](const Disk& a, const Disk& b) { return a.index && b.index && *a.index < *b.index; });
  std::unordered_map<ZM_OBJECT_ID, const Region*> regions;
  for (const Disk& d : m.disks) d.ForEachRegion([&](const Region& r) { regions.emplace(r.id, &r); });
  for (Volume& v : m.volumes) {
    for (Member& member : v.members) FillMember(member, regions);
    v.name = VolumeName(v);
  }
  // The host's volume root carries the highest severity of all volumes: the health.
  auto roots = ObjectsOfType(ZM_OBJ_VOLUME_ROOT);
  if (!roots.empty()) m.health = Props(roots.front()).U64(kSeverity);
  m.alerts = alerts;
  return m;
}

const Disk* Machine::FindDisk(unsigned index) const {
  for (const Disk& d : disks)
    if (d.index == index) return &d;
  return nullptr;
}

const Volume* Machine::FindVolume(ZM_OBJECT_ID id) const {
  for (const Volume& v : volumes)
    if (v.id == id) return &v;
  return nullptr;
}

const Region* Machine::RegionOf(ZM_OBJECT_ID id) const {
  for (const Disk& d : disks)
    for (const Region& r : d.regions) {
      if (r.id == id || (r.volume == id && id != 0)) return &r;
      for (const Region& x : r.regions)
        if (x.id == id || (x.volume == id && id != 0)) return &x;
    }
  return nullptr;
}

const Disk* Machine::DiskOf(ZM_OBJECT_ID id) const {
  for (const Disk& d : disks) {
    if (d.id == id) return &d;
    bool holds = false;
    d.ForEachRegion([&](const Region& r) { holds = holds || r.id == id || (r.volume == id && id != 0); });
    if (holds) return &d;
  }
  return nullptr;
}

std::string Machine::NameOf(ZM_OBJECT_ID id) const {
  if (const Volume* v = FindVolume(id)) return v->name;
  for (const Disk& d : disks)
    if (d.id == id) return d.name;
  std::string found;
  for (const Disk& d : disks)
    d.ForEachRegion([&](const Region& r) {
      if (r.id == id && !r.name.empty()) found = r.name;
    });
  return found;
}

std::string Machine::FtSetOf(ZM_OBJECT_ID volume) const {
  const Volume* v = FindVolume(volume);
  return v && v->ftGroup ? FtSetName(v->kind, *v->ftGroup) : "";
}

const Region* Machine::FindRegion(const VolumeSpec& spec, const std::string& text, std::string* error) const {
  const Disk* d = FindDisk(spec.disk);
  if (!d) {
    *error = "there is no disk " + std::to_string(spec.disk) + " (the machine has " +
             std::to_string(disks.size()) + ")";
    return nullptr;
  }
  const uint64_t bps = d->bytesPerSector != 0 ? d->bytesPerSector : 512;
  const std::string want = spec.kind == VolumeSpec::Partition
                               ? "disk" + std::to_string(spec.disk) + "/p" + std::to_string(spec.number)
                           : spec.kind == VolumeSpec::Start
                               ? "disk" + std::to_string(spec.disk) + "@" +
                                     std::to_string(spec.inSectors ? spec.start : spec.start / bps) + "s"
                               : "";
  // A start in bytes names a partition only when it is a whole sector.
  const bool exact = spec.kind != VolumeSpec::Start || spec.inSectors || spec.start % bps == 0;
  const Region* found = nullptr;
  d->ForEachRegion([&](const Region& r) {
    if (found || r.IsFree()) return;
    if (spec.kind == VolumeSpec::Extended
            ? r.kind == "extended"
            : exact && (spec.kind == VolumeSpec::Start ? r.startName : r.name) == want)
      found = &r;
  });
  if (found) return found;
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

ZM_OBJECT_ID Machine::ResolveVolume(const std::string& text, bool allowIds, std::string* error) const {
  VolumeSpec spec;
  if (!ParseVolumeSpec(text, &spec, error)) return 0;
  switch (spec.kind) {
    case VolumeSpec::Letter: {
      for (const Volume& v : volumes)
        if (v.driveLetter && !v.driveLetter->empty() &&
            std::toupper(static_cast<unsigned char>((*v.driveLetter)[0])) == spec.letter)
          return v.id;
      *error = "no volume has the drive letter " + std::string(1, spec.letter) + ": (see 'ftdiskctl show')";
      return 0;
    }
    case VolumeSpec::Partition:
    case VolumeSpec::Extended:
    case VolumeSpec::Start: {
      const Region* r = FindRegion(spec, text, error);
      if (!r) return 0;
      if (spec.kind == VolumeSpec::Extended) return r->id;
      if (r->IsExtended()) {
        *error = text + " is the extended partition, which holds no volume of its own";
        return 0;
      }
      if (r->volume == 0) {
        *error = text + " has no volume yet (run 'ftdiskctl rescan')";
        return 0;
      }
      return r->volume;
    }
    case VolumeSpec::Cdrom: {
      const std::string dev = "\\Device\\CdRom" + std::to_string(spec.number);
      for (const Volume& v : volumes)
        if (v.device == dev) return v.id;
      *error = "there is no CD-ROM " + std::to_string(spec.number);
      return 0;
    }
    case VolumeSpec::FtSet: {
      for (const Volume& v : volumes)
        if (v.kind == spec.ftKind && v.ftGroup == spec.number) return v.id;
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

std::vector<const Region*> Machine::MemberRegions(const std::string& volumeName) const {
  std::vector<const Region*> out;
  for (const Volume& v : volumes) {
    if (v.name != volumeName) continue;
    for (const Member& m : v.members)
      if (const Region* r = RegionOf(m.id)) out.push_back(r);
  }
  return out;
}

std::vector<std::string> Machine::Names() const {
  std::vector<std::string> out;
  for (const Disk& d : disks) {
    out.push_back(d.name);
    for (const Region& r : d.regions)
      if (!r.IsFree()) out.push_back(r.name);
  }
  for (const Volume& v : volumes) {
    out.push_back(v.name);
    if (v.driveLetter) out.push_back(*v.driveLetter);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::string RegionSummary(const Region& r) {
  return (r.name.empty() ? std::string("a partition") : r.name) + " (" +
         (r.startName.empty() ? "?" : r.startName) + ", " + FormatUnits(r.length) + ")";
}

std::string MembersSummary(const Machine& m, const std::string& volumeName) {
  std::string out;
  for (const Region* r : m.MemberRegions(volumeName)) out += (out.empty() ? "" : ", ") + RegionSummary(*r);
  return out;
}

}  // namespace model
