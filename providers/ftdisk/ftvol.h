// Reference-counted views onto an FTInfo, and the four iterators that hand them out.
//
// FTVolume and FTDisk hold the FTInfo and an index and re-resolve their record on every
// call, so they always see the current blob. FTMember and FTPartition answer from copies
// taken when they were made; their setters write the blob and then the copy.
//
// Every object handed out (CurrentItem, FTInfo::FindVolume, FTInfo::FindPartition) is
// new with a count of 0 and is the caller's: hold it in a Ptr, or raise `refcount` and
// later call downcount, or delete it while the count is still 0. Views and iterators
// never own the FTInfo, which must outlive them.
#pragma once

#include <cstdint>

#include "ftinfo.h"

// FTVolume::GetType when the set has no resolvable member 0.
constexpr uint32_t kNoFtType = 0xFFFFFFFFu;

class RefCount {
 public:
  RefCount() = default;
  RefCount(const RefCount&) = delete;
  RefCount& operator=(const RefCount&) = delete;
  virtual ~RefCount();
  // Lowers the count; at 0 the object deletes itself.
  void downcount();

  uint32_t refcount = 0;  // holders raise it directly
};

template <class T>
class Ptr {
 public:
  Ptr() = default;
  explicit Ptr(T* p) { *this = p; }
  Ptr(const Ptr& other) { *this = other.p_; }
  ~Ptr() { Release(); }
  // Counts the new object before releasing the old one, so assigning the held object
  // again (or one it keeps alive) never frees it under the caller.
  Ptr& operator=(T* p) {
    if (p == p_) return *this;
    if (p) ++p->refcount;
    Release();
    p_ = p;
    return *this;
  }
  Ptr& operator=(const Ptr& other) { return *this = other.p_; }

  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  void Release() {
    T* old = p_;
    p_ = nullptr;
    if (old) old->downcount();
  }
  T* p_ = nullptr;
};

class FTVolume : public RefCount {
 public:
  FTVolume(FTInfo* info, uint32_t volumeIndex);
  ~FTVolume() override;

  uint32_t GetState() const;         // FtVolumeState; FtDisabled for an invalid index
  uint32_t NumberOfMembers() const;  // 0 for an invalid index
  uint32_t GetType() const;          // FtType of member 0's record; kNoFtType when none
  uint16_t GetFtGroup() const;       // FtGroup of member 0's record; 0xFFFF when none
  int GetMemberInfo(uint32_t member, _FT_MEMBER_DESCRIPTION** memberInfo, _DISK_PARTITION** partition) const;
  int AssignDriveLetter(uint8_t letter);
  int64_t GetLength() const;  // bytes of the set by its type and its members' lengths
  // Bytes the volume serves: GetLength with a striped set's members cut to whole 64 KiB
  // stripes (the FtDisk layout has no partial last row), so the size published is the
  // size the volume's data has.
  int64_t GetUsableLength() const;

  FTInfo* GetFTInfo() const { return info_; }
  uint32_t GetVolumeIndex() const { return index_; }

 private:
  int64_t GetLengthOfSmallestMember() const;

  FTInfo* info_;
  uint32_t index_;
};

class FTMember : public RefCount {
 public:
  FTMember(const _FT_MEMBER_DESCRIPTION& member, const _DISK_PARTITION& partition, uint32_t memberIndex,
           uint32_t volumeIndex, FTInfo* info);
  ~FTMember() override;

  uint32_t GetDiskSignature() const { return member_.Signature; }
  uint32_t GetFtType() const { return partition_.FtType; }
  uint32_t GetFtPartitionState() const { return partition_.FtState; }
  int64_t GetStartingOffset() const { return partition_.StartingOffset; }
  int64_t GetLength() const { return partition_.Length; }
  int64_t GetFtLength() const { return partition_.FtLength; }
  uint8_t GetDriveLetter() const { return partition_.DriveLetter; }
  int GetAssignDriveLetter() const { return partition_.AssignDriveLetter; }
  uint16_t GetFtGroup() const { return partition_.FtGroup; }
  uint16_t GetFtMember() const { return partition_.FtMember; }
  uint32_t GetPartitionInfoOffset() const { return member_.OffsetToPartitionInfo; }
  uint32_t GetMemberIndex() const { return memberIndex_; }
  uint32_t GetVolumeIndex() const { return volumeIndex_; }
  const _DISK_PARTITION& GetPartitionCopy() const { return partition_; }

  int SetPartitionInfoOffset(uint32_t offset);
  int SetDriveLetter(uint8_t letter);
  int SetAssignDriveLetter(int assign);

 private:
  _FT_MEMBER_DESCRIPTION member_;
  _DISK_PARTITION partition_;
  uint32_t memberIndex_;
  uint32_t volumeIndex_;
  FTInfo* info_;
};

class FTDisk : public RefCount {
 public:
  FTDisk(FTInfo* info, uint32_t diskIndex);
  ~FTDisk() override;

  uint32_t NumberOfPartitions() const;  // 0 for an invalid index
  uint32_t GetSignature() const;        // 0 for an invalid index
  int GetPartitionInfo(uint32_t partition, _DISK_PARTITION** info, uint32_t* offset) const;

  FTInfo* GetFTInfo() const { return info_; }
  uint32_t GetDiskIndex() const { return index_; }

 private:
  FTInfo* info_;
  uint32_t index_;
};

class FTPartition : public RefCount {
 public:
  FTPartition(const _DISK_PARTITION& partition, uint32_t offset, uint32_t partitionIndex, uint32_t diskIndex,
              FTInfo* info);
  ~FTPartition() override;

  uint32_t GetFtType() const { return partition_.FtType; }
  uint32_t GetFtPartitionState() const { return partition_.FtState; }
  int64_t GetStartingOffset() const { return partition_.StartingOffset; }
  int64_t GetLength() const { return partition_.Length; }
  int64_t GetFtLength() const { return partition_.FtLength; }
  uint8_t GetDriveLetter() const { return partition_.DriveLetter; }
  int GetAssignDriveLetter() const { return partition_.AssignDriveLetter; }
  uint16_t GetFtGroup() const { return partition_.FtGroup; }
  uint16_t GetFtMember() const { return partition_.FtMember; }
  uint32_t GetRegInfoOffset() const { return offset_; }
  uint32_t GetPartitionIndex() const { return partitionIndex_; }
  uint32_t GetDiskIndex() const { return diskIndex_; }
  const _DISK_PARTITION& GetPartitionCopy() const { return partition_; }

  int SetFtType(uint32_t type);
  int SetFtPartitionState(uint32_t state);
  int SetFtLength(int64_t length);
  int SetDriveLetter(uint8_t letter);
  int SetAssignDriveLetter(int assign);
  int SetFtGroup(uint16_t group);
  int SetFtMember(uint16_t member);

 private:
  _DISK_PARTITION partition_;
  uint32_t offset_;
  uint32_t partitionIndex_;
  uint32_t diskIndex_;
  FTInfo* info_;
};

// The iterators: First sets the index to 0, Next adds 1, IsDone compares it with the
// container's count, CurrentItem gives a new view (none when done, unresolvable or out
// of memory). Loop: First; while !IsDone: CurrentItem, use, release, Next.
class FTVolumeIterator {
 public:
  explicit FTVolumeIterator(FTInfo* info) : info_(info) {}
  explicit FTVolumeIterator(FTInfo& info) : info_(&info) {}
  virtual void First() { index_ = 0; }
  virtual void Next() { ++index_; }
  virtual int IsDone() const;
  virtual FTVolume* CurrentItem() const;
  virtual ~FTVolumeIterator() = default;

 private:
  FTInfo* info_;
  uint32_t index_ = 0;
};

class FTMemberIterator {
 public:
  explicit FTMemberIterator(const FTVolume* volume) : volume_(volume) {}
  explicit FTMemberIterator(const FTVolume& volume) : volume_(&volume) {}
  virtual void First() { index_ = 0; }
  virtual void Next() { ++index_; }
  virtual int IsDone() const;
  virtual FTMember* CurrentItem() const;
  virtual ~FTMemberIterator() = default;

 private:
  const FTVolume* volume_;
  uint32_t index_ = 0;
};

class FTDiskIterator {
 public:
  explicit FTDiskIterator(FTInfo* info) : info_(info) {}
  explicit FTDiskIterator(FTInfo& info) : info_(&info) {}
  virtual void First() { index_ = 0; }
  virtual void Next() { ++index_; }
  virtual int IsDone() const;
  virtual FTDisk* CurrentItem() const;
  virtual ~FTDiskIterator() = default;

 private:
  FTInfo* info_;
  uint32_t index_ = 0;
};

class FTPartitionIterator {
 public:
  explicit FTPartitionIterator(const FTDisk* disk) : disk_(disk) {}
  explicit FTPartitionIterator(const FTDisk& disk) : disk_(&disk) {}
  virtual void First() { index_ = 0; }
  virtual void Next() { ++index_; }
  virtual int IsDone() const;
  virtual FTPartition* CurrentItem() const;
  virtual ~FTPartitionIterator() = default;

 private:
  const FTDisk* disk_;
  uint32_t index_ = 0;
};
