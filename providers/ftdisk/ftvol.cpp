// Views onto the FT configuration and their iterators.
#include "ftvol.h"

#include <cstdint>
#include <new>

RefCount::~RefCount() = default;

void RefCount::downcount() {
  // An object nobody counted has no holder left either.
  if (refcount == 0 || --refcount == 0) delete this;
}

// ---- FTVolume ------------------------------------------------------------------------

FTVolume::FTVolume(FTInfo* info, uint32_t volumeIndex) : info_(info), index_(volumeIndex) {}

FTVolume::~FTVolume() = default;

uint32_t FTVolume::GetState() const {
  _FT_DESCRIPTION* d = nullptr;
  if (!info_ || !info_->GetVolumeInfo(index_, &d)) return FtDisabled;
  return d->FtVolumeState;
}

uint32_t FTVolume::NumberOfMembers() const {
  _FT_DESCRIPTION* d = nullptr;
  if (!info_ || !info_->GetVolumeInfo(index_, &d)) return 0;
  return d->NumberOfMembers;
}

uint32_t FTVolume::GetType() const {
  _DISK_PARTITION* p = nullptr;
  if (!info_ || !info_->GetMemberInfo(index_, 0, nullptr, &p)) return kNoFtType;
  return p->FtType;
}

uint16_t FTVolume::GetFtGroup() const {
  _DISK_PARTITION* p = nullptr;
  if (!info_ || !info_->GetMemberInfo(index_, 0, nullptr, &p)) return 0xFFFF;
  return p->FtGroup;
}

int FTVolume::GetMemberInfo(uint32_t member, _FT_MEMBER_DESCRIPTION** memberInfo,
                            _DISK_PARTITION** partition) const {
  return info_ ? info_->GetMemberInfo(index_, member, memberInfo, partition) : FALSE;
}

int FTVolume::AssignDriveLetter(uint8_t letter) {
  // A set whose member 0 cannot be resolved has nothing to assign to.
  _FT_MEMBER_DESCRIPTION* m = nullptr;
  _DISK_PARTITION* p = nullptr;
  if (!info_ || !info_->GetMemberInfo(index_, 0, &m, &p)) return FALSE;
  const uint32_t signature = m->Signature;
  const int64_t start = p->StartingOffset;
  const int64_t length = p->Length;
  return info_->AssignDriveLetter(signature, start, length, letter);
}

int64_t FTVolume::GetLengthOfSmallestMember() const {
  int64_t smallest = INT64_MAX;
  FTMemberIterator members(this);
  for (members.First(); !members.IsDone(); members.Next()) {
    Ptr<FTMember> member(members.CurrentItem());
    if (member && member->GetLength() < smallest) smallest = member->GetLength();
  }
  return smallest;
}

int64_t FTVolume::GetLength() const {
  // Lengths come from the registry: products and sums wrap instead of overflowing.
  const uint64_t members = NumberOfMembers();
  switch (GetType()) {
    case Mirror:
      return GetLengthOfSmallestMember();
    case Stripe:
      return int64_t(uint64_t(GetLengthOfSmallestMember()) * members);
    case StripeWithParity:
      return int64_t(uint64_t(GetLengthOfSmallestMember()) * (members - 1));
    case VolumeSet: {
      uint64_t sum = 0;
      FTMemberIterator it(this);
      for (it.First(); !it.IsDone(); it.Next()) {
        Ptr<FTMember> member(it.CurrentItem());
        if (member) sum += uint64_t(member->GetLength());
      }
      return int64_t(sum);
    }
    case NotAnFtMember:
    case WholeDisk: {
      _DISK_PARTITION* p = nullptr;
      return GetMemberInfo(0, nullptr, &p) ? p->Length : 0;
    }
    default:
      return 0;
  }
}

int64_t FTVolume::GetUsableLength() const {
  constexpr int64_t kStripe = 64 * 1024;
  const uint32_t type = GetType();
  if (type != Stripe && type != StripeWithParity) return GetLength();
  const int64_t smallest = GetLengthOfSmallestMember();
  const uint64_t members = NumberOfMembers();
  if (smallest <= 0 || members == 0) return 0;
  return int64_t(uint64_t(smallest / kStripe * kStripe) * (type == Stripe ? members : members - 1));
}

// ---- FTMember ------------------------------------------------------------------------

FTMember::FTMember(const _FT_MEMBER_DESCRIPTION& member, const _DISK_PARTITION& partition,
                   uint32_t memberIndex, uint32_t volumeIndex, FTInfo* info)
    : member_(member),
      partition_(partition),
      memberIndex_(memberIndex),
      volumeIndex_(volumeIndex),
      info_(info) {}

FTMember::~FTMember() = default;

int FTMember::SetPartitionInfoOffset(uint32_t offset) {
  const int ok = info_ ? info_->SetPartitionInfoOffset(volumeIndex_, memberIndex_, offset) : FALSE;
  if (ok) member_.OffsetToPartitionInfo = offset;
  return ok;
}

int FTMember::SetDriveLetter(uint8_t letter) {
  const int ok = info_ ? info_->SetMemberDriveLetter(volumeIndex_, memberIndex_, letter) : FALSE;
  if (ok) partition_.DriveLetter = letter;
  return ok;
}

int FTMember::SetAssignDriveLetter(int assign) {
  const int ok = info_ ? info_->SetMemberAssignDriveLetter(volumeIndex_, memberIndex_, assign) : FALSE;
  if (ok) partition_.AssignDriveLetter = uint8_t(assign);
  return ok;
}

// ---- FTDisk --------------------------------------------------------------------------

FTDisk::FTDisk(FTInfo* info, uint32_t diskIndex) : info_(info), index_(diskIndex) {}

FTDisk::~FTDisk() = default;

uint32_t FTDisk::NumberOfPartitions() const {
  _DISK_DESCRIPTION* d = nullptr;
  if (!info_ || !info_->GetDiskInfo(index_, &d)) return 0;
  return d->NumberOfPartitions;
}

uint32_t FTDisk::GetSignature() const {
  _DISK_DESCRIPTION* d = nullptr;
  if (!info_ || !info_->GetDiskInfo(index_, &d)) return 0;
  return d->Signature;
}

int FTDisk::GetPartitionInfo(uint32_t partition, _DISK_PARTITION** info, uint32_t* offset) const {
  return info_ ? info_->GetPartitionInfo(index_, partition, info, offset) : FALSE;
}

// ---- FTPartition ---------------------------------------------------------------------

FTPartition::FTPartition(const _DISK_PARTITION& partition, uint32_t offset, uint32_t partitionIndex,
                         uint32_t diskIndex, FTInfo* info)
    : partition_(partition),
      offset_(offset),
      partitionIndex_(partitionIndex),
      diskIndex_(diskIndex),
      info_(info) {}

FTPartition::~FTPartition() = default;

#define FT_VIEW_SETTER(Name, Field, Type, Convert)                                  \
  int FTPartition::Name(Type value) {                                               \
    const int ok = info_ ? info_->Name(diskIndex_, partitionIndex_, value) : FALSE; \
    if (ok) partition_.Field = Convert(value);                                      \
    return ok;                                                                      \
  }

#define FT_AS_IS(v) (v)
#define FT_LOW_BYTE(v) uint8_t(v)

FT_VIEW_SETTER(SetFtType, FtType, uint32_t, FT_AS_IS)
FT_VIEW_SETTER(SetFtPartitionState, FtState, uint32_t, FT_AS_IS)
FT_VIEW_SETTER(SetFtLength, FtLength, int64_t, FT_AS_IS)
FT_VIEW_SETTER(SetDriveLetter, DriveLetter, uint8_t, FT_AS_IS)
FT_VIEW_SETTER(SetAssignDriveLetter, AssignDriveLetter, int, FT_LOW_BYTE)
FT_VIEW_SETTER(SetFtGroup, FtGroup, uint16_t, FT_AS_IS)
FT_VIEW_SETTER(SetFtMember, FtMember, uint16_t, FT_AS_IS)

#undef FT_VIEW_SETTER
#undef FT_AS_IS
#undef FT_LOW_BYTE

// ---- iterators -----------------------------------------------------------------------

int FTVolumeIterator::IsDone() const { return !info_ || index_ >= info_->NumberOfFTVolumes(); }

FTVolume* FTVolumeIterator::CurrentItem() const {
  if (IsDone()) return nullptr;
  return new (std::nothrow) FTVolume(info_, index_);
}

int FTMemberIterator::IsDone() const { return !volume_ || index_ >= volume_->NumberOfMembers(); }

FTMember* FTMemberIterator::CurrentItem() const {
  if (IsDone()) return nullptr;
  _FT_MEMBER_DESCRIPTION* m = nullptr;
  _DISK_PARTITION* p = nullptr;
  if (!volume_->GetMemberInfo(index_, &m, &p)) return nullptr;
  return new (std::nothrow) FTMember(*m, *p, index_, volume_->GetVolumeIndex(), volume_->GetFTInfo());
}

int FTDiskIterator::IsDone() const { return !info_ || index_ >= info_->NumberOfDisks(); }

FTDisk* FTDiskIterator::CurrentItem() const {
  if (IsDone()) return nullptr;
  return new (std::nothrow) FTDisk(info_, index_);
}

int FTPartitionIterator::IsDone() const { return !disk_ || index_ >= disk_->NumberOfPartitions(); }

FTPartition* FTPartitionIterator::CurrentItem() const {
  if (IsDone()) return nullptr;
  _DISK_PARTITION* p = nullptr;
  uint32_t offset = 0;
  if (!disk_->GetPartitionInfo(index_, &p, &offset)) return nullptr;
  return new (std::nothrow) FTPartition(*p, offset, index_, disk_->GetDiskIndex(), disk_->GetFTInfo());
}
