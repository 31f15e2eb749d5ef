// The picture of the booted machine: disks, their partitions and free space, volumes and
// FT sets, read from the host database in one pass, and their look-ups by stable name.
// The front end's text and JSON and the FT requests read it; it prints nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "object_names.h"
#include "zmapi.h"
#include "zmhost.h"

namespace model {

// A menu's masks as the provider publishes them; each may be missing.
struct Menu {
  std::optional<uint64_t> show, enable, localOnly;
};

// A partition, an extended partition or free space (ZM_OBJ_PARTITION, ZM_OBJ_EXTENDED,
// ZM_OBJ_FREE_SPACE). Free regions carry only id, kind, offset and length.
struct Region {
  ZM_OBJECT_ID id = 0;
  uint32_t type = 0;  // the host object type
  std::string kind;   // "primary", "logical", "extended" or "free"
  uint64_t offset = 0, length = 0;
  std::optional<uint64_t> partitionType, number, slot, state, severity;
  std::optional<bool> active;
  std::optional<std::string> device;
  std::string name;         // "disk0/p1", "disk0/extended"; "" when it has none
  std::string startName;    // "disk0@63s"
  ZM_OBJECT_ID volume = 0;  // partitions: the (first) volume above it
  // Partitions: the letter and file system of that volume, the FT member number.
  std::optional<std::string> driveLetter, fileSystem;
  std::optional<uint64_t> ftMember;
  std::optional<Menu> menu;     // extended: its menu
  std::vector<Region> regions;  // extended: logical drives and free space, by offset

  bool IsFree() const { return type == ZM_OBJ_FREE_SPACE; }
  bool IsExtended() const { return type == ZM_OBJ_EXTENDED; }
  // A primary partition or a logical drive.
  bool IsPartition() const { return kind == "primary" || kind == "logical"; }
  bool Active() const { return active.value_or(false); }
};

struct Disk {
  ZM_OBJECT_ID id = 0;
  std::optional<unsigned> index;
  std::string name;    // "disk0" ("disk?" without an index)
  std::string device;  // "\Device\Harddisk0"
  uint64_t size = 0, signature = 0, bytesPerSector = 0, sectorsPerTrack = 0;
  std::optional<uint64_t> tracksPerCylinder, cylinders, minPartitionSize;
  uint64_t freeSpace = 0;  // the sum of the free regions, inside the extended partition too
  bool removable = false;
  std::vector<std::string> layoutWarnings;
  std::optional<std::string> readOnly;  // why requests leave the disk alone
  std::vector<Region> regions;          // by offset

  uint64_t SectorBytes() const { return bytesPerSector != 0 ? bytesPerSector : 512; }
  // Bytes of a track and of a cylinder (the usual geometry's when unknown).
  int64_t TrackBytes() const;
  int64_t CylinderBytes() const;
  // The smallest size a create can ask for that the provider's cylinder rounding keeps.
  uint64_t MinCreateSize() const;
  // Calls f on every region, the extended partition's too, depth first.
  template <class F>
  void ForEachRegion(F&& f) const {
    for (const Region& r : regions) {
      f(r);
      for (const Region& x : r.regions) f(x);
    }
  }
};

struct Member {
  ZM_OBJECT_ID id = 0;
  std::optional<std::string> name;
  std::optional<uint64_t> member, state, offset, length;
};

// A volume: a partition's, a CD-ROM's or an FT set's (then ftGroup is set).
struct Volume {
  ZM_OBJECT_ID id = 0;
  std::string kind;  // VolumeKindName of volumeType
  uint64_t volumeType = 0;
  std::optional<uint64_t> facility, length, offset, state, severity, ftGroup;
  std::optional<std::string> device, driveLetter, fileSystem;
  std::vector<Member> members;
  std::optional<Menu> menu;
  std::string name;  // the stable name; "" when it has none

  bool IsFtSet() const { return ftGroup.has_value(); }
  std::string StateText() const { return state ? model::StateText(*state) : std::string(); }
};

struct Machine {
  std::string dir;
  std::optional<uint64_t> health;  // the highest severity of all volumes
  std::vector<Disk> disks;         // by index
  std::vector<Volume> volumes;
  std::vector<zm::AlertRecord> alerts;

  // Reads the booted machine's database (and the platform's view of its disks).
  static Machine Read(const std::vector<zm::AlertRecord>& alerts = {});

  const Disk* FindDisk(unsigned index) const;
  const Volume* FindVolume(ZM_OBJECT_ID id) const;
  // The disk holding the object (a disk, a region, or a volume's first partition).
  const Disk* DiskOf(ZM_OBJECT_ID id) const;
  // The region of a partition or extended partition id, or of a volume's partition.
  const Region* RegionOf(ZM_OBJECT_ID id) const;
  // The stable name of any object; "" when unknown.
  std::string NameOf(ZM_OBJECT_ID id) const;
  // The FT set ("mirror0") a volume id forms; "" for a plain volume.
  std::string FtSetOf(ZM_OBJECT_ID volume) const;
  // The region a diskN/pM, diskN/extended or diskN@START name (text, parsed into spec)
  // names; null with a message when there is none.
  const Region* FindRegion(const VolumeSpec& spec, const std::string& text, std::string* error) const;
  // The volume id a VOLUME argument names, or 0 with a message. Object ids are accepted
  // only when allowIds (inside the shell).
  ZM_OBJECT_ID ResolveVolume(const std::string& text, bool allowIds, std::string* error) const;
  // The partitions of the volume of that name, each as RegionOf gives it.
  std::vector<const Region*> MemberRegions(const std::string& volumeName) const;
  // Every name a command line can give an object, sorted, for completion.
  std::vector<std::string> Names() const;
};

// "disk0/p1 (disk0@63s, 101.9 MiB)": what a destructive request acts on.
std::string RegionSummary(const Region& r);
// The summaries of the partitions of the volume of that name, comma-separated.
std::string MembersSummary(const Machine& m, const std::string& volumeName);

}  // namespace model
