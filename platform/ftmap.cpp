// The FT data layout (docs/ft-layout.md) and volume I/O through it. Members are read and
// written through their partition devices with the NT calls, so every write passes the
// same checks, hooks and overlays as any other sector write.
#include "ftmap.h"

#include <algorithm>
#include <cstring>

#include "machine.h"
#include "ntplatform.h"

namespace ntp::ftmap {

namespace {

bool CountSuits(Type type, size_t n) {
  if (n > kMaxMembers) return false;
  switch (type) {
    case kMirror:
    case kStripe:
      return n >= 2;
    case kParity:
      return n >= 3;
    case kVolumeSet:
      return n >= 1;
  }
  return false;
}

uint64_t Smallest(const std::vector<uint64_t>& members) {
  return members.empty() ? 0 : *std::min_element(members.begin(), members.end());
}

void XorInto(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] ^= src[i];
}

HANDLE OpenDevice(const std::u16string& device, bool write) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, device.c_str());
  OBJECT_ATTRIBUTES attrs{sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  IO_STATUS_BLOCK iosb{};
  HANDLE h = nullptr;
  ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE | (write ? GENERIC_WRITE : 0);
  if (!NT_SUCCESS(NtOpenFile(&h, access, &attrs, &iosb, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             FILE_SYNCHRONOUS_IO_NONALERT)))
    return nullptr;
  return h;
}

bool PartitionInfo(HANDLE h, PARTITION_INFORMATION* info) {
  IO_STATUS_BLOCK iosb{};
  return NT_SUCCESS(NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_PARTITION_INFO,
                                          nullptr, 0, info, sizeof *info));
}

}  // namespace

uint64_t UsableMemberLength(Type type, const std::vector<uint64_t>& members) {
  if (!CountSuits(type, members.size())) return 0;
  switch (type) {
    case kMirror:
      return Smallest(members);
    case kStripe:
    case kParity:
      return Smallest(members) / kStripeBytes * kStripeBytes;
    case kVolumeSet:
      return 0;  // each member whole; see VolumeLength
  }
  return 0;
}

uint64_t VolumeLength(Type type, const std::vector<uint64_t>& members) {
  if (!CountSuits(type, members.size())) return 0;
  const uint64_t n = members.size();
  switch (type) {
    case kMirror:
      return Smallest(members);
    case kStripe:
      return UsableMemberLength(type, members) * n;
    case kParity:
      return UsableMemberLength(type, members) * (n - 1);
    case kVolumeSet: {
      uint64_t sum = 0;
      for (uint64_t m : members) sum += m;
      return sum;
    }
  }
  return 0;
}

unsigned ParityMember(unsigned n, uint64_t row) {
  return n == 0 ? 0 : static_cast<unsigned>((row + n - 1) % n);
}

bool Map(Type type, const std::vector<uint64_t>& members, uint64_t offset, Piece* piece) {
  const uint64_t total = VolumeLength(type, members);
  if (offset >= total) return false;
  const unsigned n = static_cast<unsigned>(members.size());
  const uint64_t within = offset % kStripeBytes;
  const uint64_t stripe = offset / kStripeBytes;
  switch (type) {
    case kMirror:
      *piece = {0, offset, total - offset};
      return true;
    case kStripe:
      *piece = {static_cast<unsigned>(stripe % n), (stripe / n) * kStripeBytes + within,
                kStripeBytes - within};
      return true;
    case kParity: {
      // Row r holds n - 1 data stripes on the members other than the parity member,
      // in member order.
      const uint64_t row = stripe / (n - 1);
      const unsigned k = static_cast<unsigned>(stripe % (n - 1));
      const unsigned parity = ParityMember(n, row);
      *piece = {k < parity ? k : k + 1, row * kStripeBytes + within, kStripeBytes - within};
      return true;
    }
    case kVolumeSet:
      for (unsigned m = 0; m < n; ++m) {
        if (offset < members[m]) {
          *piece = {m, offset, members[m] - offset};
          return true;
        }
        offset -= members[m];
      }
      return false;
  }
  return false;
}

Volume::Volume(Type type, std::vector<Member> members) : type_(type), members_(std::move(members)) {}

Volume::~Volume() {
  for (HANDLE h : handles_)
    if (h != nullptr) NtClose(h);
}

NTSTATUS Volume::Open(bool write, std::string* error) {
  write_ = write;
  const size_t n = members_.size();
  if (!CountSuits(type_, n)) {
    *error = "the set has " + std::to_string(n) + " member(s), which its type does not allow";
    return STATUS_INVALID_PARAMETER;
  }
  handles_.assign(n, nullptr);
  lengths_.assign(n, 0);
  unsigned missing = 0;
  for (size_t m = 0; m < n; ++m) {
    lengths_[m] = members_[m].length;
    if (!members_[m].usable || members_[m].device.empty()) {
      ++missing;
      continue;
    }
    HANDLE h = OpenDevice(members_[m].device, write);
    PARTITION_INFORMATION info{};
    if (h == nullptr || !PartitionInfo(h, &info)) {
      if (h != nullptr) NtClose(h);
      *error = "member " + std::to_string(m) + " cannot be opened";
      return STATUS_NO_SUCH_DEVICE;
    }
    handles_[m] = h;
    uint64_t actual = static_cast<uint64_t>(info.PartitionLength.QuadPart);
    if (lengths_[m] == 0) lengths_[m] = actual;
    if (actual < lengths_[m]) {
      *error = "member " + std::to_string(m) + " is shorter than the configuration records";
      return STATUS_INVALID_PARAMETER;
    }
  }
  const unsigned tolerated = (type_ == kMirror) ? static_cast<unsigned>(n) - 1 : type_ == kParity ? 1 : 0;
  if (missing > tolerated) {
    *error = std::to_string(missing) + " member(s) are missing or orphaned; the data cannot be reached";
    return STATUS_NO_SUCH_DEVICE;
  }
  // A member whose length is unknown (its partition is gone) counts as large as the
  // smallest of the others; only redundant types get here.
  uint64_t known = UINT64_MAX;
  for (uint64_t l : lengths_)
    if (l != 0) known = std::min(known, l);
  for (uint64_t& l : lengths_)
    if (l == 0) l = known == UINT64_MAX ? 0 : known;
  length_ = VolumeLength(type_, lengths_);
  return STATUS_SUCCESS;
}

NTSTATUS Volume::MemberIo(bool write, unsigned member, uint64_t offset, void* buffer, uint64_t length) {
  if (member >= handles_.size() || handles_[member] == nullptr) return STATUS_NO_SUCH_DEVICE;
  // The platform takes at most 4 GiB per call; FT I/O moves at most a few MiB.
  uint8_t* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    ULONG chunk = static_cast<ULONG>(std::min<uint64_t>(length, 1u << 30));
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<int64_t>(offset);
    NTSTATUS s = write
                     ? NtWriteFile(handles_[member], nullptr, nullptr, nullptr, &iosb, p, chunk, &at, nullptr)
                     : NtReadFile(handles_[member], nullptr, nullptr, nullptr, &iosb, p, chunk, &at, nullptr);
    if (!NT_SUCCESS(s)) return s;
    p += chunk;
    offset += chunk;
    length -= chunk;
  }
  return STATUS_SUCCESS;
}

// One stripe of a parity set's row; an unreadable member's stripe is the XOR of the
// other members' stripes of that row.
NTSTATUS Volume::ReadStripe(uint64_t row, unsigned member, uint8_t* out) {
  const uint64_t at = row * kStripeBytes;
  if (Readable(member)) return MemberIo(false, member, at, out, kStripeBytes);
  std::memset(out, 0, kStripeBytes);
  std::vector<uint8_t> other(kStripeBytes);
  for (unsigned m = 0; m < members_.size(); ++m) {
    if (m == member) continue;
    if (!Readable(m)) return STATUS_NO_SUCH_DEVICE;
    NTSTATUS s = MemberIo(false, m, at, other.data(), kStripeBytes);
    if (!NT_SUCCESS(s)) return s;
    XorInto(out, other.data(), kStripeBytes);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Volume::Read(uint64_t offset, void* buffer, uint64_t length) {
  if (!Fits(offset, length)) return STATUS_INVALID_PARAMETER;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  if (type_ == kMirror) {
    for (unsigned m = 0; m < members_.size(); ++m)
      if (Readable(m)) return MemberIo(false, m, offset, out, length);
    return STATUS_NO_SUCH_DEVICE;
  }
  std::vector<uint8_t> stripe;
  while (length > 0) {
    Piece p;
    if (!Map(type_, lengths_, offset, &p)) return STATUS_INVALID_PARAMETER;
    const uint64_t n = std::min(p.length, length);
    NTSTATUS s;
    if (type_ == kParity && !Readable(p.member)) {
      stripe.resize(kStripeBytes);
      s = ReadStripe(p.memberOffset / kStripeBytes, p.member, stripe.data());
      if (NT_SUCCESS(s)) std::memcpy(out, stripe.data() + p.memberOffset % kStripeBytes, n);
    } else {
      s = MemberIo(false, p.member, p.memberOffset, out, n);
    }
    if (!NT_SUCCESS(s)) return s;
    out += n;
    offset += n;
    length -= n;
  }
  return STATUS_SUCCESS;
}

// Rewrites a parity row: the row's data is read (reconstructed where a member is
// unreadable), the stripe of member `skip` replaced by `replacement` when given, and
// the data and parity stripes written to every member that is open.
NTSTATUS Volume::WriteParityRow(uint64_t row, unsigned skip, const uint8_t* replacement) {
  const unsigned n = static_cast<unsigned>(members_.size());
  const unsigned parity = ParityMember(n, row);
  std::vector<std::vector<uint8_t>> data(n);
  std::vector<uint8_t> sum(kStripeBytes, 0);
  for (unsigned m = 0; m < n; ++m) {
    if (m == parity) continue;
    data[m].resize(kStripeBytes);
    if (m == skip && replacement != nullptr) {
      std::memcpy(data[m].data(), replacement, kStripeBytes);
    } else {
      NTSTATUS s = ReadStripe(row, m, data[m].data());
      if (!NT_SUCCESS(s)) return s;
    }
    XorInto(sum.data(), data[m].data(), kStripeBytes);
  }
  const uint64_t at = row * kStripeBytes;
  for (unsigned m = 0; m < n; ++m) {
    if (handles_[m] == nullptr) continue;
    if (m != parity && m != skip) continue;  // unchanged data stripes stay as they are
    NTSTATUS s = MemberIo(true, m, at, m == parity ? sum.data() : data[m].data(), kStripeBytes);
    if (!NT_SUCCESS(s)) return s;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Volume::Write(uint64_t offset, const void* buffer, uint64_t length) {
  if (!write_) return STATUS_ACCESS_DENIED;
  if (!Fits(offset, length)) return STATUS_INVALID_PARAMETER;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  if (type_ == kMirror) {
    bool any = false;
    for (unsigned m = 0; m < members_.size(); ++m) {
      if (handles_[m] == nullptr) continue;
      NTSTATUS s = MemberIo(true, m, offset, const_cast<uint8_t*>(in), length);
      if (!NT_SUCCESS(s)) return s;
      any = true;
    }
    return any ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
  }
  std::vector<uint8_t> stripe;
  while (length > 0) {
    Piece p;
    if (!Map(type_, lengths_, offset, &p)) return STATUS_INVALID_PARAMETER;
    const uint64_t n = std::min(p.length, length);
    NTSTATUS s;
    if (type_ == kParity) {
      const uint64_t row = p.memberOffset / kStripeBytes;
      stripe.resize(kStripeBytes);
      s = ReadStripe(row, p.member, stripe.data());
      if (NT_SUCCESS(s)) {
        std::memcpy(stripe.data() + p.memberOffset % kStripeBytes, in, n);
        s = WriteParityRow(row, p.member, stripe.data());
      }
    } else {
      s = MemberIo(true, p.member, p.memberOffset, const_cast<uint8_t*>(in), n);
    }
    if (!NT_SUCCESS(s)) return s;
    in += n;
    offset += n;
    length -= n;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Volume::Rebuild(unsigned member, const Progress& progress) {
  if (!write_ || member >= members_.size() || handles_[member] == nullptr) return STATUS_INVALID_PARAMETER;
  if (type_ != kMirror && type_ != kParity) return STATUS_INVALID_DEVICE_REQUEST;
  rebuilding_ = static_cast<int>(member);
  NTSTATUS s = STATUS_SUCCESS;
  if (type_ == kMirror) {
    const uint64_t chunk = 1 << 20;
    std::vector<uint8_t> buf(chunk);
    for (uint64_t at = 0; at < length_ && NT_SUCCESS(s); at += chunk) {
      const uint64_t n = std::min(chunk, length_ - at);
      s = Read(at, buf.data(), n);
      if (NT_SUCCESS(s)) s = MemberIo(true, member, at, buf.data(), n);
      if (progress) progress(at + n, length_);
    }
  } else {
    const uint64_t rows = UsableMemberLength(type_, lengths_) / kStripeBytes;
    std::vector<uint8_t> buf(kStripeBytes);
    for (uint64_t row = 0; row < rows && NT_SUCCESS(s); ++row) {
      s = ReadStripe(row, member, buf.data());
      if (NT_SUCCESS(s)) s = MemberIo(true, member, row * kStripeBytes, buf.data(), kStripeBytes);
      if (progress) progress((row + 1) * kStripeBytes, rows * kStripeBytes);
    }
  }
  rebuilding_ = -1;
  return s;
}

NTSTATUS Volume::InitializeParity(const Progress& progress) {
  if (!write_ || type_ != kParity) return STATUS_INVALID_PARAMETER;
  const unsigned n = static_cast<unsigned>(members_.size());
  const uint64_t rows = UsableMemberLength(type_, lengths_) / kStripeBytes;
  NTSTATUS s = STATUS_SUCCESS;
  std::vector<uint8_t> buf(kStripeBytes);
  for (uint64_t row = 0; row < rows && NT_SUCCESS(s); ++row) {
    // The parity stripe is the one rewritten: make it unreadable for this row.
    rebuilding_ = static_cast<int>(ParityMember(n, row));
    s = ReadStripe(row, static_cast<unsigned>(rebuilding_), buf.data());
    if (NT_SUCCESS(s))
      s = MemberIo(true, static_cast<unsigned>(rebuilding_), row * kStripeBytes, buf.data(), kStripeBytes);
    rebuilding_ = -1;
    if (progress) progress((row + 1) * kStripeBytes, rows * kStripeBytes);
  }
  return s;
}

bool FindPartitionDevice(uint32_t signature, int64_t offset, int64_t length, std::u16string* device) {
  for (const auto& d : Disks()) {
    if (d.signature != signature) continue;
    HANDLE h = OpenDevice(d.device + u"\\Partition0", false);
    if (h == nullptr) continue;
    std::vector<uint8_t> buf(16384);
    NTSTATUS s = STATUS_BUFFER_TOO_SMALL;
    for (int tries = 0; tries < 6 && s == STATUS_BUFFER_TOO_SMALL; ++tries) {
      IO_STATUS_BLOCK iosb{};
      s = NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0,
                                buf.data(), static_cast<ULONG>(buf.size()));
      if (s == STATUS_BUFFER_TOO_SMALL) buf.resize(buf.size() * 2);
    }
    NtClose(h);
    if (!NT_SUCCESS(s)) continue;
    const size_t head = offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry);
    DRIVE_LAYOUT_INFORMATION layout;
    std::memcpy(&layout, buf.data(), head);
    const size_t room = (buf.size() - head) / sizeof(PARTITION_INFORMATION);
    for (size_t i = 0; i < std::min<size_t>(layout.PartitionCount, room); ++i) {
      PARTITION_INFORMATION p;
      std::memcpy(&p, buf.data() + head + i * sizeof p, sizeof p);
      if (p.PartitionNumber == 0 || p.StartingOffset.QuadPart != offset ||
          p.PartitionLength.QuadPart != length)
        continue;
      std::u16string number;
      for (ULONG v = p.PartitionNumber; v > 0; v /= 10)
        number.insert(number.begin(), char16_t(u'0' + v % 10));
      *device = d.device + u"\\Partition" + number;
      return true;
    }
  }
  return false;
}

}  // namespace ntp::ftmap
