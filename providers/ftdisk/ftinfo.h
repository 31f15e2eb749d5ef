// The FT configuration in memory: one disk-registry blob, checked when it is taken in,
// answered by index (disks, partitions, FT sets, members), patched field by field,
// searched by location, merged with a freshly scanned disk part and stored back.
//
// Every record pointer handed out stays inside the held buffer: a blob is taken in only
// when DiskRegistryValidate accepts it, and every walk is bounds-checked again on use.
// Record pointers become invalid whenever the blob is replaced or grown (Init, Load,
// Rebuild, assignment, AddDisk, AddPartition); the views of ftvol.h hold indices instead.
#pragma once

#include <cstdint>
#include <string>

#include "configblob.h"
#include "diskreg.h"

class FTVolume;
class FTMember;
class FTDisk;
class FTPartition;

// What the last FTInfo::Load found.
enum class FTLoadResult {
  Loaded,      // a blob was taken in
  NotStored,   // no key, no value, or an empty value: nothing is configured yet
  ReadFailed,  // the registry could not be read (a value may exist)
  Malformed,   // a value is stored but is not a well-formed blob: it must not be replaced
  NoBlob,      // Load was given no usable buffer and the registry was not consulted
};

class FTInfo {
 public:
  FTInfo();
  ~FTInfo();
  FTInfo(const FTInfo&) = delete;
  // Deep copy of the other's used length; an empty source empties this one.
  FTInfo& operator=(const FTInfo& other);

  // With a blob and size > 0 copies size bytes; otherwise reads the registry value.
  // TRUE when a well-formed blob was taken in; on FALSE the object is unchanged and
  // LastLoadResult / LastLoadError say why.
  int Load(const void* blob, uint32_t size);
  // Writes the used length of the held blob as "Information". FALSE (and nothing
  // written) when no blob is held or the registry refuses.
  int Store() const;
  // Merges a scanned blob (header + disk part, no FT sets) with the held FT sets; the
  // held descriptions of disks the scan lacks are kept whole.
  int Rebuild(const void* blob, uint32_t size);

  FTLoadResult LastLoadResult() const { return lastLoad_; }
  // What is wrong with a rejected blob and at which byte offset; empty otherwise.
  const std::string& LastLoadError() const { return lastError_; }

  // The held blob and its used length (what Store writes); null and 0 when empty.
  const uint8_t* Blob() const { return buffer_; }
  uint32_t UsedLength() const { return BufferSize(); }
  const _DISK_CONFIG_HEADER* Header() const { return header_; }

  // Queries. Indices are positions in walk order.
  uint32_t NumberOfFTVolumes() const;
  uint32_t NumberOfDisks() const;
  int GetVolumeInfo(uint32_t volume, _FT_DESCRIPTION** info) const;
  int GetMemberInfo(uint32_t volume, uint32_t member, _FT_MEMBER_DESCRIPTION** memberInfo,
                    _DISK_PARTITION** partition) const;
  int GetDiskInfo(uint32_t disk, _DISK_DESCRIPTION** info) const;
  int GetPartitionInfo(uint32_t disk, uint32_t partition, _DISK_PARTITION** info, uint32_t* offset) const;

  // Field setters: FALSE, writing nothing, when the indices are out of range.
  int SetFtType(uint32_t disk, uint32_t partition, uint32_t type);
  int SetFtPartitionState(uint32_t disk, uint32_t partition, uint32_t state);
  int SetFtLength(uint32_t disk, uint32_t partition, int64_t length);
  int SetDriveLetter(uint32_t disk, uint32_t partition, uint8_t letter);
  int SetAssignDriveLetter(uint32_t disk, uint32_t partition, int assign);
  int SetFtGroup(uint32_t disk, uint32_t partition, uint16_t group);
  int SetFtMember(uint32_t disk, uint32_t partition, uint16_t member);
  // Re-points a member. Any value is written (a merge re-points members at records of
  // the blob being built); a member whose offset names no partition record of this disk
  // part is not resolved by GetMemberInfo.
  int SetPartitionInfoOffset(uint32_t volume, uint32_t member, uint32_t offset);
  int SetMemberDriveLetter(uint32_t volume, uint32_t member, uint8_t letter);
  int SetMemberAssignDriveLetter(uint32_t volume, uint32_t member, int assign);

  // Search and change. Returned objects are new (count 0) and the caller's.
  FTPartition* FindPartition(uint32_t signature, int64_t startingOffset, int64_t length);
  int AssignDriveLetter(uint32_t signature, int64_t startingOffset, int64_t length, uint8_t letter);
  FTVolume* FindVolume(uint32_t type, uint16_t group);

 private:
  friend class FTInfoTestAccess;  // lets the unit tests reach the merge steps

  int Init(uint8_t* blob, uint32_t size);
  uint32_t BufferSize() const;
  uint8_t* FtQueryRegistry(uint32_t* size);
  int FindPartitionByLocation(uint32_t signature, int64_t startingOffset, int64_t length, uint32_t* offset,
                              FTPartition** partition);
  _DISK_DESCRIPTION* FindDisk(uint32_t signature) const;
  int AddDisk(const _DISK_DESCRIPTION* disk);
  int AddPartition(uint32_t signature, const _DISK_PARTITION* partition);
  // Appends every disk description of held whose signature this one lacks.
  int AddAbsentDisks(const FTInfo* held);
  int AddMissingDisks(FTInfo* held);
  int ChangePartitionOffsets(FTInfo& scanned, FTInfo** result) const;
  uint8_t* CreateFTRegistryBlob(const FTInfo& scanned, uint32_t* size) const;

  // Walk helpers over walk_: byte offset of the disk or set description with that index,
  // 0 when it does not lie wholly inside its part.
  uint32_t DiskOffset(uint32_t disk) const;
  uint32_t VolumeOffset(uint32_t volume) const;
  // TRUE when offset is the start of a partition record of the disk part.
  bool IsPartitionRecord(uint32_t offset) const;
  // End of the walked disk descriptions (where an appended description goes).
  uint32_t DiskWalkEnd() const;
  void SetBuffer(uint8_t* blob, uint32_t size);

  _DISK_CONFIG_HEADER* header_ = nullptr;
  _DISK_REGISTRY* diskPart_ = nullptr;
  _FT_REGISTRY* ftPart_ = nullptr;
  uint8_t* buffer_ = nullptr;
  uint32_t size_ = 0;  // bytes held (at least the used length)

  FTLoadResult lastLoad_ = FTLoadResult::NoBlob;
  std::string lastError_;

  // Where the held blob's records lie, walked once when it is taken in: the setters
  // change fields, never where records lie.
  ftformat::BlobWalk walk_;
};
