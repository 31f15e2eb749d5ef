// The FT data layout (docs/ft-layout.md) and volume I/O through it. Members are read and
// written through their partition devices with the NT calls, so every write passes the
// same checks, hooks and overlays as any other sector write.
#include "ftmap.h"

#include <algorithm>
#include <cstring>

#include "machine.h"
#include "machine_state.h"
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

// Volume rows per member I/O of a striped set (1 MiB per member), and the I/O of a
// mirror or volume set.
constexpr uint64_t kRowsPerIo = 16;
constexpr uint64_t kLinearIo = 4 << 20;

void XorInto(uint8_t* dst, const uint8_t* src, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t a, b;
    std::memcpy(&a, dst + i, 8);
    std::memcpy(&b, src + i, 8);
    a ^= b;
    std::memcpy(dst + i, &a, 8);
  }
  for (; i < n; ++i) dst[i] ^= src[i];
}

HANDLE OpenDevice(const std::u16string& device, bool write) {
  HANDLE h = nullptr;
  return NT_SUCCESS(ntp::OpenDevice(device, GENERIC_READ | (write ? GENERIC_WRITE : 0), &h)) ? h : nullptr;
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

uint64_t CheckpointBytes(uint64_t total, uint64_t step) {
  const uint64_t w = std::clamp<uint64_t>(total / 8, 1 << 20, 256ull << 20);
  return std::max(step, w / step * step);
}

void AddRange(std::vector<Range>* list, Range r) {
  if (r.begin >= r.end) return;
  std::vector<Range> out;
  for (const Range& x : *list) {
    if (x.end < r.begin || x.begin > r.end) {
      out.push_back(x);
    } else {
      r.begin = std::min(r.begin, x.begin);
      r.end = std::max(r.end, x.end);
    }
  }
  out.push_back(r);
  std::sort(out.begin(), out.end(), [](const Range& a, const Range& b) { return a.begin < b.begin; });
  *list = std::move(out);
}

void RemoveRange(std::vector<Range>* list, Range r) {
  if (r.begin >= r.end) return;
  std::vector<Range> out;
  for (const Range& x : *list) {
    if (x.end <= r.begin || x.begin >= r.end) {
      out.push_back(x);
      continue;
    }
    if (x.begin < r.begin) out.push_back({x.begin, r.begin});
    if (x.end > r.end) out.push_back({r.end, x.end});
  }
  *list = std::move(out);
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
  buffers_.assign(n, {});
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

uint64_t Volume::RowBytes() const {
  const uint64_t n = members_.size();
  return type_ == kStripe ? n * kStripeBytes : type_ == kParity ? (n - 1) * kStripeBytes : 0;
}

uint64_t Volume::MemberSpan() const {
  return type_ == kVolumeSet ? 0 : type_ == kMirror ? length_ : UsableMemberLength(type_, lengths_);
}

uint64_t Volume::IoBytes() const { return RowBytes() != 0 ? RowBytes() * kRowsPerIo : kLinearIo; }

Range Volume::MemberRange(uint64_t offset, uint64_t length) const {
  if (type_ == kMirror) return {offset, offset + length};
  const uint64_t row = RowBytes();
  if (row == 0 || length == 0) return {};
  return {offset / row * kStripeBytes, (offset + length + row - 1) / row * kStripeBytes};
}

Range Volume::VolumeRange(Range members) const {
  if (type_ != kStripe && type_ != kParity) return members;
  const uint64_t row = RowBytes();
  return {std::min(length_, members.begin / kStripeBytes * row),
          std::min(length_, (members.end + kStripeBytes - 1) / kStripeBytes * row)};
}

NTSTATUS Volume::MemberIo(bool write, unsigned member, uint64_t offset, void* buffer, uint64_t length) {
  if (member >= handles_.size() || handles_[member] == nullptr) return STATUS_NO_SUCH_DEVICE;
  // The platform takes at most 4 GiB per call; passes move a few MiB at a time.
  uint8_t* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    ULONG chunk = static_cast<ULONG>(std::min<uint64_t>(length, 1u << 30));
    NTSTATUS s;
    if (write) {
      s = detail::WriteDataTo(handles_[member], offset, p, chunk);
    } else {
      IO_STATUS_BLOCK iosb{};
      LARGE_INTEGER at;
      at.QuadPart = static_cast<int64_t>(offset);
      s = NtReadFile(handles_[member], nullptr, nullptr, nullptr, &iosb, p, chunk, &at, nullptr);
    }
    if (!NT_SUCCESS(s)) return s;
    p += chunk;
    offset += chunk;
    length -= chunk;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Volume::Flush() {
  if (!write_) return STATUS_SUCCESS;
  for (HANDLE h : handles_)
    if (h != nullptr)
      if (NTSTATUS s = detail::FlushDataOf(h); !NT_SUCCESS(s)) return s;
  return STATUS_SUCCESS;
}

NTSTATUS Volume::ReadMembers(uint64_t row, uint64_t rows, bool reconstruct) {
  const unsigned n = static_cast<unsigned>(members_.size());
  const uint64_t bytes = rows * kStripeBytes;
  int lost = -1;
  for (unsigned m = 0; m < n; ++m) {
    buffers_[m].resize(bytes);
    if (!Readable(m)) {
      if (lost >= 0 || !reconstruct) return STATUS_NO_SUCH_DEVICE;
      lost = static_cast<int>(m);
      continue;
    }
    if (NTSTATUS s = MemberIo(false, m, row * kStripeBytes, buffers_[m].data(), bytes); !NT_SUCCESS(s))
      return s;
  }
  // In every row the stripes of all members XOR to zero: the lost one is the XOR of
  // the others.
  if (lost >= 0) {
    if (type_ != kParity) return STATUS_NO_SUCH_DEVICE;
    auto& out = buffers_[static_cast<unsigned>(lost)];
    std::fill(out.begin(), out.end(), 0);
    for (unsigned m = 0; m < n; ++m)
      if (static_cast<int>(m) != lost) XorInto(out.data(), buffers_[m].data(), bytes);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Volume::ReadRows(uint64_t row, uint64_t rows, uint8_t* buf) {
  const unsigned n = static_cast<unsigned>(members_.size());
  if (NTSTATUS s = ReadMembers(row, rows, type_ == kParity); !NT_SUCCESS(s)) return s;
  for (uint64_t r = 0; r < rows; ++r) {
    const unsigned parity = type_ == kParity ? ParityMember(n, row + r) : n;
    for (unsigned m = 0; m < n; ++m) {
      if (m == parity) continue;
      std::memcpy(buf, buffers_[m].data() + r * kStripeBytes, kStripeBytes);
      buf += kStripeBytes;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS Volume::WriteRows(uint64_t row, uint64_t rows, const uint8_t* buf) {
  const unsigned n = static_cast<unsigned>(members_.size());
  for (auto& b : buffers_) b.resize(rows * kStripeBytes);
  for (uint64_t r = 0; r < rows; ++r) {
    const unsigned parity = type_ == kParity ? ParityMember(n, row + r) : n;
    uint8_t* sum = parity < n ? buffers_[parity].data() + r * kStripeBytes : nullptr;
    if (sum != nullptr) std::memset(sum, 0, kStripeBytes);
    for (unsigned m = 0; m < n; ++m) {
      if (m == parity) continue;
      std::memcpy(buffers_[m].data() + r * kStripeBytes, buf, kStripeBytes);
      if (sum != nullptr) XorInto(sum, buf, kStripeBytes);
      buf += kStripeBytes;
    }
  }
  // A member that is not open (orphaned) is left out: its bytes follow from the others.
  for (unsigned m = 0; m < n; ++m)
    if (handles_[m] != nullptr)
      if (NTSTATUS s = MemberIo(true, m, row * kStripeBytes, buffers_[m].data(), rows * kStripeBytes);
          !NT_SUCCESS(s))
        return s;
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
  if (type_ == kVolumeSet) {
    while (length > 0) {
      Piece p;
      if (!Map(type_, lengths_, offset, &p)) return STATUS_INVALID_PARAMETER;
      const uint64_t n = std::min(p.length, length);
      if (NTSTATUS s = MemberIo(false, p.member, p.memberOffset, out, n); !NT_SUCCESS(s)) return s;
      out += n;
      offset += n;
      length -= n;
    }
    return STATUS_SUCCESS;
  }
  const uint64_t rowBytes = RowBytes();
  std::vector<uint8_t> stage;
  while (length > 0) {
    const uint64_t row = offset / rowBytes, within = offset % rowBytes;
    if (within != 0 || length < rowBytes) {
      stage.resize(rowBytes);
      if (NTSTATUS s = ReadRows(row, 1, stage.data()); !NT_SUCCESS(s)) return s;
      const uint64_t n = std::min(length, rowBytes - within);
      std::memcpy(out, stage.data() + within, n);
      out += n;
      offset += n;
      length -= n;
      continue;
    }
    const uint64_t rows = std::min(kRowsPerIo, length / rowBytes);
    if (NTSTATUS s = ReadRows(row, rows, out); !NT_SUCCESS(s)) return s;
    out += rows * rowBytes;
    offset += rows * rowBytes;
    length -= rows * rowBytes;
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
      if (NTSTATUS s = MemberIo(true, m, offset, const_cast<uint8_t*>(in), length); !NT_SUCCESS(s)) return s;
      any = true;
    }
    return any ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
  }
  if (type_ == kVolumeSet) {
    while (length > 0) {
      Piece p;
      if (!Map(type_, lengths_, offset, &p)) return STATUS_INVALID_PARAMETER;
      const uint64_t n = std::min(p.length, length);
      if (NTSTATUS s = MemberIo(true, p.member, p.memberOffset, const_cast<uint8_t*>(in), n); !NT_SUCCESS(s))
        return s;
      in += n;
      offset += n;
      length -= n;
    }
    return STATUS_SUCCESS;
  }
  const uint64_t rowBytes = RowBytes();
  std::vector<uint8_t> stage;
  while (length > 0) {
    const uint64_t row = offset / rowBytes, within = offset % rowBytes;
    if (within != 0 || length < rowBytes) {
      // Part of a row: the row as it is, with the new bytes in it.
      stage.resize(rowBytes);
      if (NTSTATUS s = ReadRows(row, 1, stage.data()); !NT_SUCCESS(s)) return s;
      const uint64_t n = std::min(length, rowBytes - within);
      std::memcpy(stage.data() + within, in, n);
      if (NTSTATUS s = WriteRows(row, 1, stage.data()); !NT_SUCCESS(s)) return s;
      in += n;
      offset += n;
      length -= n;
      continue;
    }
    const uint64_t rows = std::min(kRowsPerIo, length / rowBytes);
    if (NTSTATUS s = WriteRows(row, rows, in); !NT_SUCCESS(s)) return s;
    in += rows * rowBytes;
    offset += rows * rowBytes;
    length -= rows * rowBytes;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Volume::Pass(const std::vector<Range>& ranges, uint64_t from, uint64_t step,
                      const Progress& progress, const Checkpoint& checkpoint,
                      const std::function<NTSTATUS(Range)>& work) {
  const uint64_t span = MemberSpan();
  // Striped sets work in whole stripes; the list is cut to the span.
  const uint64_t unit = type_ == kMirror ? 512 : kStripeBytes;
  std::vector<Range> list;
  for (const Range& r : ranges.empty() ? std::vector<Range>{{0, span}} : ranges)
    AddRange(&list, {r.begin / unit * unit, std::min(span, (r.end + unit - 1) / unit * unit)});
  uint64_t total = 0, done = 0;
  for (const Range& r : list) {
    total += r.end - r.begin;
    if (r.begin < from) done += std::min(from, r.end) - r.begin;
  }
  const uint64_t window = CheckpointBytes(span, step);
  uint64_t sinceFlush = 0;
  for (const Range& r : list) {
    for (uint64_t at = std::max(r.begin, from / unit * unit); at < r.end;) {
      const uint64_t end = std::min(r.end, at + step);
      if (NTSTATUS s = work({at, end}); !NT_SUCCESS(s)) return s;
      done += end - at;
      sinceFlush += end - at;
      at = end;
      if (sinceFlush >= window && done < total) {
        if (NTSTATUS s = Flush(); !NT_SUCCESS(s)) return s;
        if (checkpoint)
          if (NTSTATUS s = checkpoint(at); !NT_SUCCESS(s)) return s;
        sinceFlush = 0;
      }
      if (progress) progress(done, total);
    }
  }
  if (progress && total == 0) progress(0, 0);
  return Flush();
}

NTSTATUS Volume::Rebuild(unsigned member, const Progress& progress) {
  return Rebuild(member, {}, 0, progress, nullptr);
}

NTSTATUS Volume::Rebuild(unsigned member, const std::vector<Range>& ranges, uint64_t from,
                         const Progress& progress, const Checkpoint& checkpoint) {
  if (!write_ || member >= members_.size() || handles_[member] == nullptr) return STATUS_INVALID_PARAMETER;
  if (type_ != kMirror && type_ != kParity) return STATUS_INVALID_DEVICE_REQUEST;
  rebuilding_ = static_cast<int>(member);
  int source = -1;
  for (unsigned m = 0; m < members_.size() && source < 0; ++m)
    if (Readable(m)) source = static_cast<int>(m);
  NTSTATUS s = STATUS_NO_SUCH_DEVICE;
  if (source >= 0 && type_ == kMirror) {
    std::vector<uint8_t> buf(kLinearIo);
    s = Pass(ranges, from, kLinearIo, progress, checkpoint, [&](Range r) {
      NTSTATUS st = MemberIo(false, static_cast<unsigned>(source), r.begin, buf.data(), r.end - r.begin);
      return NT_SUCCESS(st) ? MemberIo(true, member, r.begin, buf.data(), r.end - r.begin) : st;
    });
  } else if (source >= 0) {
    s = Pass(ranges, from, kRowsPerIo * kStripeBytes, progress, checkpoint, [&](Range r) {
      NTSTATUS st = ReadMembers(r.begin / kStripeBytes, (r.end - r.begin) / kStripeBytes, true);
      return NT_SUCCESS(st) ? MemberIo(true, member, r.begin, buffers_[member].data(), r.end - r.begin) : st;
    });
  }
  rebuilding_ = -1;
  return s;
}

NTSTATUS Volume::InitializeParity(const Progress& progress) {
  return InitializeParity({}, 0, progress, nullptr);
}

NTSTATUS Volume::InitializeParity(const std::vector<Range>& ranges, uint64_t from, const Progress& progress,
                                  const Checkpoint& checkpoint) {
  if (!write_ || type_ != kParity) return STATUS_INVALID_PARAMETER;
  const unsigned n = static_cast<unsigned>(members_.size());
  return Pass(ranges, from, kRowsPerIo * kStripeBytes, progress, checkpoint, [&](Range r) {
    const uint64_t row = r.begin / kStripeBytes, rows = (r.end - r.begin) / kStripeBytes;
    if (NTSTATUS s = ReadMembers(row, rows, false); !NT_SUCCESS(s)) return s;
    for (uint64_t i = 0; i < rows; ++i) {
      const unsigned parity = ParityMember(n, row + i);
      uint8_t* sum = buffers_[parity].data() + i * kStripeBytes;
      std::memset(sum, 0, kStripeBytes);
      for (unsigned m = 0; m < n; ++m)
        if (m != parity) XorInto(sum, buffers_[m].data() + i * kStripeBytes, kStripeBytes);
    }
    // Only the parity stripes are written; the data stays as it is.
    for (uint64_t i = 0; i < rows; ++i) {
      const unsigned parity = ParityMember(n, row + i);
      if (NTSTATUS s = MemberIo(true, parity, (row + i) * kStripeBytes,
                                buffers_[parity].data() + i * kStripeBytes, kStripeBytes);
          !NT_SUCCESS(s))
        return s;
    }
    return STATUS_SUCCESS;
  });
}

NTSTATUS Volume::Verify(unsigned from, bool repair, const Progress& progress,
                        const std::function<NTSTATUS()>& beforeRepair, VerifyReport* report) {
  *report = VerifyReport{};
  if (type_ != kMirror && type_ != kParity) return STATUS_INVALID_DEVICE_REQUEST;
  if ((repair && !write_) || from >= members_.size()) return STATUS_INVALID_PARAMETER;
  for (HANDLE h : handles_)
    if (h == nullptr) return STATUS_NO_SUCH_DEVICE;
  const unsigned n = static_cast<unsigned>(members_.size());
  Range open{};  // the mismatching range being extended
  auto emit = [&](Range r) {
    if (open.end == r.begin && open.end != 0) {
      open.end = r.end;
    } else {
      if (open.end != open.begin && report->first.size() < VerifyReport::kKept) report->first.push_back(open);
      if (open.end != open.begin) ++report->ranges;
      open = r;
    }
    report->bytes += r.end - r.begin;
  };
  bool repairing = false;
  auto startRepair = [&]() -> NTSTATUS {
    if (repairing || !beforeRepair) return STATUS_SUCCESS;
    repairing = true;
    return beforeRepair();
  };
  std::vector<uint8_t> a, b, sum(kStripeBytes);
  const uint64_t step = type_ == kMirror ? kLinearIo : kRowsPerIo * kStripeBytes;
  NTSTATUS s = Pass({}, 0, step, progress, nullptr, [&](Range r) -> NTSTATUS {
    const uint64_t bytes = r.end - r.begin;
    if (type_ == kMirror) {
      a.resize(bytes);
      b.resize(bytes);
      if (NTSTATUS st = MemberIo(false, from, r.begin, a.data(), bytes); !NT_SUCCESS(st)) return st;
      std::vector<bool> bad(bytes / 512, false);
      for (unsigned m = 0; m < n; ++m) {
        if (m == from) continue;
        if (NTSTATUS st = MemberIo(false, m, r.begin, b.data(), bytes); !NT_SUCCESS(st)) return st;
        for (uint64_t i = 0; i < bytes / 512; ++i)
          if (std::memcmp(a.data() + i * 512, b.data() + i * 512, 512) != 0) {
            bad[i] = true;
            if (!repair) continue;
            if (NTSTATUS st = startRepair(); !NT_SUCCESS(st)) return st;
            // One write for each run of differing sectors.
            uint64_t j = i;
            while (j + 1 < bytes / 512 &&
                   std::memcmp(a.data() + (j + 1) * 512, b.data() + (j + 1) * 512, 512))
              bad[++j] = true;
            if (NTSTATUS st = MemberIo(true, m, r.begin + i * 512, a.data() + i * 512, (j - i + 1) * 512);
                !NT_SUCCESS(st))
              return st;
            i = j;
          }
      }
      for (uint64_t i = 0; i < bad.size(); ++i)
        if (bad[i]) emit({r.begin + i * 512, r.begin + (i + 1) * 512});
      return STATUS_SUCCESS;
    }
    const uint64_t row = r.begin / kStripeBytes;
    if (NTSTATUS st = ReadMembers(row, bytes / kStripeBytes, false); !NT_SUCCESS(st)) return st;
    for (uint64_t i = 0; i < bytes / kStripeBytes; ++i) {
      const unsigned parity = ParityMember(n, row + i);
      std::fill(sum.begin(), sum.end(), 0);
      for (unsigned m = 0; m < n; ++m)
        if (m != parity) XorInto(sum.data(), buffers_[m].data() + i * kStripeBytes, kStripeBytes);
      if (std::memcmp(sum.data(), buffers_[parity].data() + i * kStripeBytes, kStripeBytes) == 0) continue;
      const uint64_t at = (row + i) * kStripeBytes;
      emit({at, at + kStripeBytes});
      if (!repair) continue;
      if (NTSTATUS st = startRepair(); !NT_SUCCESS(st)) return st;
      if (NTSTATUS st = MemberIo(true, parity, at, sum.data(), kStripeBytes); !NT_SUCCESS(st)) return st;
    }
    return STATUS_SUCCESS;
  });
  emit({0, 0});  // closes the last range
  report->repaired = NT_SUCCESS(s) && repair && report->ranges > 0;
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
