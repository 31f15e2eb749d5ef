// The FT configuration model: one disk-registry blob held in memory.
#include "ftinfo.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "ftvol.h"

namespace {

const WCHAR kDiskKey[] = u"System\\Disk";
const WCHAR kInformation[] = u"Information";
constexpr ACCESS_MASK kKeyRead = 0x20019;
constexpr ACCESS_MASK kKeyWrite = 0x20006;

uint8_t* NewBytes(uint64_t n) {
  if (n == 0 || n > UINT32_MAX) return nullptr;
  return new (std::nothrow) uint8_t[n];
}

// A blob is taken in only when the one checker of a well-formed blob accepts it.
bool CheckBlob(const uint8_t* blob, uint32_t size, std::string* why) {
  return DiskRegistryValidate(blob, size, why);
}

}  // namespace

FTInfo::FTInfo() = default;

FTInfo::~FTInfo() { delete[] buffer_; }

FTInfo& FTInfo::operator=(const FTInfo& other) {
  if (this == &other) return *this;
  if (!other.buffer_) {
    Init(nullptr, 0);
    return *this;
  }
  const uint32_t n = other.BufferSize();
  uint8_t* copy = NewBytes(n);
  if (!copy) return *this;  // out of memory: this object stays as it was
  std::memcpy(copy, other.buffer_, n);
  Init(copy, n);
  return *this;
}

void FTInfo::SetBuffer(uint8_t* blob, uint32_t size) {
  if (blob != buffer_) delete[] buffer_;
  buffer_ = blob;
  size_ = blob ? size : 0;
  header_ = reinterpret_cast<_DISK_CONFIG_HEADER*>(blob);
  diskPart_ = nullptr;
  ftPart_ = nullptr;
  if (blob) {
    if (header_->DiskInformationSize > 0)
      diskPart_ = reinterpret_cast<_DISK_REGISTRY*>(blob + header_->DiskInformationOffset);
    if (header_->FtInformationSize > 0)
      ftPart_ = reinterpret_cast<_FT_REGISTRY*>(blob + header_->FtInformationOffset);
  }
  walk_ = blob ? ftformat::WalkBlob(blob, size_) : ftformat::BlobWalk{};
}

int FTInfo::Init(uint8_t* blob, uint32_t size) {
  if (!blob) {
    SetBuffer(nullptr, 0);
    return FALSE;
  }
  // Every blob is checked again here, whatever built it: a rejected one is freed and
  // the held configuration stays as it was.
  if (!CheckBlob(blob, size, nullptr)) {
    if (blob != buffer_) delete[] blob;
    return FALSE;
  }
  SetBuffer(blob, size);
  return TRUE;
}

uint32_t FTInfo::BufferSize() const { return header_ ? DiskRegistryUsedLength(header_) : 0; }

uint8_t* FTInfo::FtQueryRegistry(uint32_t* size) {
  *size = 0;
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDiskKey, 0, kKeyRead, &key);
  if (rc != ERROR_SUCCESS) {
    lastLoad_ = rc == ERROR_FILE_NOT_FOUND ? FTLoadResult::NotStored : FTLoadResult::ReadFailed;
    return nullptr;
  }
  DWORD type = 0, length = 0;
  rc = RegQueryValueExW(key, kInformation, nullptr, &type, nullptr, &length);
  uint8_t* buffer = nullptr;
  if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) && length != 0) {
    buffer = NewBytes(length);
    DWORD got = length;
    if (!buffer) {
      lastLoad_ = FTLoadResult::ReadFailed;
    } else if ((rc = RegQueryValueExW(key, kInformation, nullptr, &type, buffer, &got)) != ERROR_SUCCESS ||
               got == 0 || got > length) {
      lastLoad_ = rc == ERROR_SUCCESS && got == 0 ? FTLoadResult::NotStored : FTLoadResult::ReadFailed;
      delete[] buffer;
      buffer = nullptr;
    } else {
      *size = got;
    }
  } else if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA || rc == ERROR_FILE_NOT_FOUND) {
    lastLoad_ = FTLoadResult::NotStored;  // no value, or an empty one
  } else {
    lastLoad_ = FTLoadResult::ReadFailed;
  }
  RegCloseKey(key);
  return buffer;
}

int FTInfo::Load(const void* blob, uint32_t size) {
  lastError_.clear();
  uint8_t* copy = nullptr;
  uint32_t n = 0;
  if (blob && size > 0) {
    copy = NewBytes(size);
    if (!copy) {
      lastLoad_ = FTLoadResult::ReadFailed;
      return FALSE;
    }
    std::memcpy(copy, blob, size);
    n = size;
  } else {
    copy = FtQueryRegistry(&n);
    if (!copy) return FALSE;
  }
  if (!CheckBlob(copy, n, &lastError_)) {
    delete[] copy;
    lastLoad_ = FTLoadResult::Malformed;
    return FALSE;
  }
  Init(copy, n);
  lastLoad_ = FTLoadResult::Loaded;
  return TRUE;
}

int FTInfo::Store() const {
  // An empty object has nothing to store: writing an empty value would erase the
  // configuration it failed to read.
  const uint32_t n = BufferSize();
  if (!buffer_ || n == 0 || n > size_) return FALSE;
  WCHAR diskClass[] = u"Disk and fault tolerance information.";
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDiskKey, 0, diskClass, 0, kKeyWrite, nullptr, &key,
                      &disposition) != ERROR_SUCCESS)
    return FALSE;
  const LSTATUS rc = RegSetValueExW(key, kInformation, 0, REG_BINARY, buffer_, n);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

// ---- walking -------------------------------------------------------------------------

uint32_t FTInfo::DiskOffset(uint32_t disk) const {
  if (!diskPart_ || disk >= walk_.disks.size()) return 0;
  const ftformat::DiskAt& d = walk_.disks[disk];
  const uint64_t end =
      std::min<uint64_t>(uint64_t{header_->DiskInformationOffset} + header_->DiskInformationSize, size_);
  return d.at + DiskDescriptionSize(d.count) <= end ? uint32_t(d.at) : 0;
}

uint32_t FTInfo::VolumeOffset(uint32_t volume) const {
  if (!ftPart_ || volume >= walk_.sets.size()) return 0;
  const ftformat::SetAt& s = walk_.sets[volume];
  const uint64_t end =
      std::min<uint64_t>(uint64_t{header_->FtInformationOffset} + header_->FtInformationSize, size_);
  return s.at + FtDescriptionSize(s.count) <= end ? uint32_t(s.at) : 0;
}

uint32_t FTInfo::DiskWalkEnd() const {
  if (!diskPart_) return 0;
  if (walk_.disks.empty()) return header_->DiskInformationOffset + kDiskRegistryHeaderSize;
  const uint32_t last = DiskOffset(uint32_t(walk_.disks.size() - 1));
  return last ? last + DiskDescriptionSize(walk_.disks.back().count) : 0;
}

bool FTInfo::IsPartitionRecord(uint32_t offset) const {
  // Records lie in ascending order.
  const auto& records = walk_.partitions;
  const auto it = std::lower_bound(records.begin(), records.end(), uint64_t{offset},
                                   [](const ftformat::PartitionAt& p, uint64_t at) { return p.at < at; });
  return it != records.end() && it->at == offset;
}

// ---- queries -------------------------------------------------------------------------

uint32_t FTInfo::NumberOfFTVolumes() const { return ftPart_ ? ftPart_->NumberOfComponents : 0; }

uint32_t FTInfo::NumberOfDisks() const { return diskPart_ ? diskPart_->NumberOfDisks : 0; }

int FTInfo::GetVolumeInfo(uint32_t volume, _FT_DESCRIPTION** info) const {
  const uint32_t pos = VolumeOffset(volume);
  if (!pos) return FALSE;
  if (info) *info = reinterpret_cast<_FT_DESCRIPTION*>(buffer_ + pos);
  return TRUE;
}

int FTInfo::GetMemberInfo(uint32_t volume, uint32_t member, _FT_MEMBER_DESCRIPTION** memberInfo,
                          _DISK_PARTITION** partition) const {
  _FT_DESCRIPTION* v = nullptr;
  if (!GetVolumeInfo(volume, &v) || member >= v->NumberOfMembers) return FALSE;
  auto* m = reinterpret_cast<_FT_MEMBER_DESCRIPTION*>(
      reinterpret_cast<uint8_t*>(v) + kFtDescriptionHeaderSize + kFtMemberDescriptionSize * member);
  if (partition) {
    // The member's offset is only followed when it names a partition record.
    if (!IsPartitionRecord(m->OffsetToPartitionInfo)) return FALSE;
    *partition = reinterpret_cast<_DISK_PARTITION*>(buffer_ + m->OffsetToPartitionInfo);
  }
  if (memberInfo) *memberInfo = m;
  return TRUE;
}

int FTInfo::GetDiskInfo(uint32_t disk, _DISK_DESCRIPTION** info) const {
  const uint32_t pos = DiskOffset(disk);
  if (!pos) return FALSE;
  if (info) *info = reinterpret_cast<_DISK_DESCRIPTION*>(buffer_ + pos);
  return TRUE;
}

int FTInfo::GetPartitionInfo(uint32_t disk, uint32_t partition, _DISK_PARTITION** info,
                             uint32_t* offset) const {
  _DISK_DESCRIPTION* d = nullptr;
  if (!GetDiskInfo(disk, &d) || partition >= d->NumberOfPartitions) return FALSE;
  const uint32_t pos = uint32_t(reinterpret_cast<uint8_t*>(d) - buffer_) + kDiskDescriptionHeaderSize +
                       kDiskPartitionSize * partition;
  if (info) *info = reinterpret_cast<_DISK_PARTITION*>(buffer_ + pos);
  if (offset) *offset = pos;
  return TRUE;
}

// ---- field setters -------------------------------------------------------------------

#define FT_PARTITION_SETTER(Name, Field, Type, Convert)                \
  int FTInfo::Name(uint32_t disk, uint32_t partition, Type value) {    \
    _DISK_PARTITION* p = nullptr;                                      \
    if (!GetPartitionInfo(disk, partition, &p, nullptr)) return FALSE; \
    p->Field = Convert(value);                                         \
    return TRUE;                                                       \
  }

#define FT_AS_IS(v) (v)
#define FT_LOW_BYTE(v) uint8_t(v)

FT_PARTITION_SETTER(SetFtType, FtType, uint32_t, FT_AS_IS)
FT_PARTITION_SETTER(SetFtPartitionState, FtState, uint32_t, FT_AS_IS)
FT_PARTITION_SETTER(SetFtLength, FtLength, int64_t, FT_AS_IS)
FT_PARTITION_SETTER(SetDriveLetter, DriveLetter, uint8_t, FT_AS_IS)
FT_PARTITION_SETTER(SetAssignDriveLetter, AssignDriveLetter, int, FT_LOW_BYTE)
FT_PARTITION_SETTER(SetFtGroup, FtGroup, uint16_t, FT_AS_IS)
FT_PARTITION_SETTER(SetFtMember, FtMember, uint16_t, FT_AS_IS)

#undef FT_PARTITION_SETTER
#undef FT_AS_IS
#undef FT_LOW_BYTE

int FTInfo::SetPartitionInfoOffset(uint32_t volume, uint32_t member, uint32_t offset) {
  _FT_MEMBER_DESCRIPTION* m = nullptr;
  if (!GetMemberInfo(volume, member, &m, nullptr)) return FALSE;
  m->OffsetToPartitionInfo = offset;
  return TRUE;
}

int FTInfo::SetMemberDriveLetter(uint32_t volume, uint32_t member, uint8_t letter) {
  _DISK_PARTITION* p = nullptr;
  if (!GetMemberInfo(volume, member, nullptr, &p)) return FALSE;
  p->DriveLetter = letter;
  return TRUE;
}

int FTInfo::SetMemberAssignDriveLetter(uint32_t volume, uint32_t member, int assign) {
  _DISK_PARTITION* p = nullptr;
  if (!GetMemberInfo(volume, member, nullptr, &p)) return FALSE;
  p->AssignDriveLetter = uint8_t(assign);
  return TRUE;
}

// ---- search and change ---------------------------------------------------------------

int FTInfo::FindPartitionByLocation(uint32_t signature, int64_t startingOffset, int64_t length,
                                    uint32_t* offset, FTPartition** partition) {
  FTDiskIterator disks(this);
  for (disks.First(); !disks.IsDone(); disks.Next()) {
    Ptr<FTDisk> disk(disks.CurrentItem());
    if (!disk || disk->GetSignature() != signature) continue;
    FTPartitionIterator parts(disk.get());
    for (parts.First(); !parts.IsDone(); parts.Next()) {
      FTPartition* p = parts.CurrentItem();
      if (!p) continue;
      if (p->GetStartingOffset() == startingOffset && p->GetLength() == length) {
        if (offset) *offset = p->GetRegInfoOffset();
        if (partition)
          *partition = p;
        else
          delete p;
        return TRUE;
      }
      delete p;
    }
  }
  return FALSE;
}

FTPartition* FTInfo::FindPartition(uint32_t signature, int64_t startingOffset, int64_t length) {
  FTPartition* p = nullptr;
  return FindPartitionByLocation(signature, startingOffset, length, nullptr, &p) ? p : nullptr;
}

int FTInfo::AssignDriveLetter(uint32_t signature, int64_t startingOffset, int64_t length, uint8_t letter) {
  if (!buffer_) return FALSE;
  FTPartition* found = nullptr;
  if (!FindPartitionByLocation(signature, startingOffset, length, nullptr, &found)) return FALSE;
  Ptr<FTPartition> partition(found);
  const int flag = letter != ' ' ? 1 : 0;
  const uint32_t type = partition->GetFtType() & 0xFFFF;
  if (type == NotAnFtMember) {
    partition->SetAssignDriveLetter(flag);
    partition->SetDriveLetter(letter);
    return TRUE;
  }
  if (header_->FtInformationOffset == 0 || NumberOfFTVolumes() == 0) return FALSE;
  const uint16_t group = partition->GetFtGroup();
  FTVolumeIterator volumes(this);
  for (volumes.First(); !volumes.IsDone(); volumes.Next()) {
    Ptr<FTVolume> volume(volumes.CurrentItem());
    if (!volume || volume->GetType() != type) continue;
    bool set = false;
    FTMemberIterator members(volume.get());
    for (members.First(); !members.IsDone(); members.Next()) {
      Ptr<FTMember> member(members.CurrentItem());
      if (!member || member->GetFtGroup() != group) break;
      member->SetDriveLetter(letter);
      if (member->GetFtMember() == 0) member->SetAssignDriveLetter(flag);
      set = true;
    }
    if (set) return TRUE;
  }
  return FALSE;
}

FTVolume* FTInfo::FindVolume(uint32_t type, uint16_t group) {
  FTVolumeIterator volumes(this);
  for (volumes.First(); !volumes.IsDone(); volumes.Next()) {
    FTVolume* v = volumes.CurrentItem();
    if (!v) continue;
    if (v->GetType() == type && v->GetFtGroup() == group) return v;
    delete v;
  }
  return nullptr;
}

_DISK_DESCRIPTION* FTInfo::FindDisk(uint32_t signature) const {
  const uint32_t n = NumberOfDisks();
  for (uint32_t i = 0; i < n; ++i) {
    _DISK_DESCRIPTION* d = nullptr;
    if (!GetDiskInfo(i, &d)) return nullptr;
    if (d->Signature == signature) return d;
  }
  return nullptr;
}

int FTInfo::AddDisk(const _DISK_DESCRIPTION* disk) {
  if (!disk || !buffer_ || NumberOfFTVolumes() != 0 || !diskPart_) return FALSE;
  if (diskPart_->NumberOfDisks == 0xFFFF) return FALSE;
  const uint32_t size = DiskDescriptionSize(disk->NumberOfPartitions);
  const uint32_t used = BufferSize();
  // The description goes right after the last one the walk reaches, so it stays
  // reachable even when the disk part reserves room beyond its descriptions.
  const uint32_t at = DiskWalkEnd();
  if (!at || at > used) return FALSE;
  uint8_t* blob = NewBytes(uint64_t(used) + size);
  if (!blob) return FALSE;
  std::memcpy(blob, buffer_, at);
  std::memcpy(blob + at, disk, size);
  std::memcpy(blob + at + size, buffer_ + at, used - at);
  auto* h = reinterpret_cast<_DISK_CONFIG_HEADER*>(blob);
  reinterpret_cast<_DISK_REGISTRY*>(blob + h->DiskInformationOffset)->NumberOfDisks += 1;
  h->DiskInformationSize += size;
  h->FtInformationOffset += size;
  return Init(blob, used + size);
}

int FTInfo::AddPartition(uint32_t signature, const _DISK_PARTITION* partition) {
  if (!partition || !buffer_) return FALSE;
  const _DISK_DESCRIPTION* disk = FindDisk(signature);
  if (!disk || disk->NumberOfPartitions == 0xFFFF) return FALSE;
  const uint32_t diskPos = uint32_t(reinterpret_cast<const uint8_t*>(disk) - buffer_);
  const uint32_t at = diskPos + DiskDescriptionSize(disk->NumberOfPartitions);
  const uint32_t used = BufferSize();
  if (at > used) return FALSE;
  uint8_t* blob = NewBytes(uint64_t(used) + kDiskPartitionSize);
  if (!blob) return FALSE;
  std::memcpy(blob, buffer_, at);
  std::memcpy(blob + at, partition, kDiskPartitionSize);
  std::memcpy(blob + at + kDiskPartitionSize, buffer_ + at, used - at);
  auto* h = reinterpret_cast<_DISK_CONFIG_HEADER*>(blob);
  reinterpret_cast<_DISK_DESCRIPTION*>(blob + diskPos)->NumberOfPartitions += 1;
  h->DiskInformationSize += kDiskPartitionSize;
  h->FtInformationOffset += kDiskPartitionSize;
  // Members pointing past the insertion point follow their records, so the blob stays
  // consistent should this ever run on a configuration with FT sets.
  for (uint32_t v = 0; v < NumberOfFTVolumes(); ++v) {
    const uint32_t pos = VolumeOffset(v);
    if (!pos) break;
    const uint32_t members = reinterpret_cast<const _FT_DESCRIPTION*>(buffer_ + pos)->NumberOfMembers;
    for (uint32_t m = 0; m < members; ++m) {
      const uint32_t old = pos + kFtDescriptionHeaderSize + kFtMemberDescriptionSize * m;
      const uint32_t moved = old >= at ? old + kDiskPartitionSize : old;
      auto* member = reinterpret_cast<_FT_MEMBER_DESCRIPTION*>(blob + moved);
      if (member->OffsetToPartitionInfo >= at) member->OffsetToPartitionInfo += kDiskPartitionSize;
    }
  }
  return Init(blob, used + kDiskPartitionSize);
}

int FTInfo::AddAbsentDisks(const FTInfo* held) {
  if (!held || !buffer_) return TRUE;
  for (uint32_t d = 0; d < held->NumberOfDisks(); ++d) {
    _DISK_DESCRIPTION* disk = nullptr;
    if (!held->GetDiskInfo(d, &disk)) break;
    if (!FindDisk(disk->Signature) && !AddDisk(disk)) return FALSE;
  }
  return TRUE;
}

int FTInfo::AddMissingDisks(FTInfo* held) {
  if (!held) return TRUE;
  FTVolumeIterator volumes(held);
  for (volumes.First(); !volumes.IsDone(); volumes.Next()) {
    Ptr<FTVolume> volume(volumes.CurrentItem());
    if (!volume) continue;
    FTMemberIterator members(volume.get());
    for (members.First(); !members.IsDone(); members.Next()) {
      Ptr<FTMember> member(members.CurrentItem());
      if (!member) continue;
      const uint32_t signature = member->GetDiskSignature();
      if (!FindDisk(signature)) AddDisk(held->FindDisk(signature));
      if (!FindPartitionByLocation(signature, member->GetStartingOffset(), member->GetLength(), nullptr,
                                   nullptr)) {
        Ptr<FTPartition> original(
            held->FindPartition(signature, member->GetStartingOffset(), member->GetLength()));
        if (original) {
          const _DISK_PARTITION record = original->GetPartitionCopy();
          AddPartition(signature, &record);
        }
      }
    }
  }
  return TRUE;
}

int FTInfo::ChangePartitionOffsets(FTInfo& scanned, FTInfo** result) const {
  FTInfo* copy = new (std::nothrow) FTInfo;
  if (!copy) return FALSE;
  *copy = *this;
  if (!copy->buffer_) {
    delete copy;
    return FALSE;
  }
  bool placed = true;
  {
    FTVolumeIterator volumes(copy);
    for (volumes.First(); placed && !volumes.IsDone(); volumes.Next()) {
      Ptr<FTVolume> volume(volumes.CurrentItem());
      if (!volume) {
        placed = false;
        break;
      }
      FTMemberIterator members(volume.get());
      for (members.First(); !members.IsDone(); members.Next()) {
        Ptr<FTMember> member(members.CurrentItem());
        uint32_t offset = 0;
        FTPartition* found = nullptr;
        if (!member ||
            !scanned.FindPartitionByLocation(member->GetDiskSignature(), member->GetStartingOffset(),
                                             member->GetLength(), &offset, &found)) {
          placed = false;
          break;
        }
        Ptr<FTPartition> target(found);
        member->SetPartitionInfoOffset(offset);
        target->SetFtType(member->GetFtType());
        target->SetFtPartitionState(member->GetFtPartitionState());
        target->SetFtLength(member->GetFtLength());
        target->SetDriveLetter(member->GetDriveLetter());
        target->SetAssignDriveLetter(member->GetAssignDriveLetter());
        target->SetFtGroup(member->GetFtGroup());
        target->SetFtMember(member->GetFtMember());
      }
    }
  }
  if (!placed) {
    delete copy;
    return FALSE;
  }
  if (result)
    *result = copy;
  else
    delete copy;
  return TRUE;
}

uint8_t* FTInfo::CreateFTRegistryBlob(const FTInfo& scanned, uint32_t* size) const {
  *size = 0;
  if (!scanned.header_ || !header_ || !ftPart_) return nullptr;
  const uint64_t d = uint64_t(scanned.header_->DiskInformationOffset) + scanned.header_->DiskInformationSize;
  const uint32_t ftSize = header_->FtInformationSize;
  if (d > scanned.size_ || uint64_t(header_->FtInformationOffset) + ftSize > size_) return nullptr;
  uint8_t* blob = NewBytes(d + ftSize);
  if (!blob) return nullptr;
  std::memcpy(blob, scanned.buffer_, d);
  std::memcpy(blob + d, buffer_ + header_->FtInformationOffset, ftSize);
  auto* h = reinterpret_cast<_DISK_CONFIG_HEADER*>(blob);
  h->FtInformationOffset = uint32_t(d);
  h->FtInformationSize = ftSize;
  h->FtStripeWidth = header_->FtStripeWidth;
  h->FtPoolSize = header_->FtPoolSize;
  *size = uint32_t(d + ftSize);
  return blob;
}

int FTInfo::Rebuild(const void* blob, uint32_t size) {
  if (!blob || size == 0) return TRUE;
  // A configuration that is stored but could not be read is never replaced: this
  // object then holds nothing, and a merge would drop the FT sets it may contain.
  if (!buffer_ && (lastLoad_ == FTLoadResult::Malformed || lastLoad_ == FTLoadResult::ReadFailed))
    return FALSE;
  const FTLoadResult loadResult = lastLoad_;
  const std::string loadError = lastError_;

  FTInfo scanned;
  scanned.Load(blob, size);
  if (scanned.NumberOfFTVolumes() != 0) return TRUE;
  // A disk the scan did not find (away for now) keeps its records as they are: its
  // letters and FT members are still its own when it comes back.
  scanned.AddAbsentDisks(this);
  if (NumberOfFTVolumes() == 0) {
    if (scanned.Blob() != nullptr) Load(scanned.Blob(), scanned.UsedLength());
  } else {
    scanned.AddMissingDisks(this);
    FTInfo* copy = nullptr;
    if (ChangePartitionOffsets(scanned, &copy)) {
      uint32_t n = 0;
      uint8_t* merged = copy->CreateFTRegistryBlob(scanned, &n);
      delete copy;
      if (merged) Init(merged, n);
    }
  }
  lastLoad_ = loadResult;
  lastError_ = loadError;
  return TRUE;
}
