// Where the bytes of an FT volume live: the one mapping from a volume offset to a member
// and an offset in that member, for each FT type, and I/O on a whole volume through it
// (degraded sets included), with the data passes that build, rebuild and verify a set.
// docs/ft-layout.md describes the layout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "nttypes.h"

namespace ntp::ftmap {

// FT set types as the configuration stores them.
enum Type : uint32_t { kMirror = 0, kStripe = 1, kParity = 2, kVolumeSet = 3 };

// Stripe sets and stripe sets with parity interleave 64 KiB stripes.
constexpr uint64_t kStripeBytes = 64 * 1024;
constexpr unsigned kMaxMembers = 32;

// A run of volume bytes that lies contiguously on one member.
struct Piece {
  unsigned member = 0;
  uint64_t memberOffset = 0;
  uint64_t length = 0;  // bytes from memberOffset on, up to the end of the stripe or member
};

// Bytes of each member that hold volume data (stripe types use whole stripes of the
// smallest member; a mirror its smallest member; a volume set every byte).
uint64_t UsableMemberLength(Type type, const std::vector<uint64_t>& members);
// Bytes the volume holds; 0 when the member count does not suit the type. This is the
// set's one size: what the provider publishes, export gives and import accepts.
uint64_t VolumeLength(Type type, const std::vector<uint64_t>& members);
// The member holding the parity stripe of a row of a set of n members.
unsigned ParityMember(unsigned n, uint64_t row);
// Maps one volume offset (below VolumeLength). For a mirror it names member 0; every
// member holds the same bytes at the same offset. False when offset is outside.
bool Map(Type type, const std::vector<uint64_t>& members, uint64_t offset, Piece* piece);

// A range [begin, end) of bytes: member offsets, the same on every member of a mirror,
// stripe set or stripe set with parity (one row of stripes lies at the same offsets).
struct Range {
  uint64_t begin = 0, end = 0;
  bool operator==(const Range& o) const { return begin == o.begin && end == o.end; }
};
// Bytes between the checkpoints of a pass over total bytes in steps of step: about an
// eighth of the pass, at least 1 MiB and at most 256 MiB, in whole steps.
uint64_t CheckpointBytes(uint64_t total, uint64_t step);
// Adds or removes a range from a sorted list of disjoint ranges, merging neighbours.
void AddRange(std::vector<Range>* list, Range r);
void RemoveRange(std::vector<Range>* list, Range r);

// One member as the volume sees it.
struct Member {
  std::u16string device;  // \Device\HarddiskN\PartitionM; empty when the partition is gone
  uint64_t length = 0;    // bytes of the member; 0: taken from the device (or the others)
  bool usable = true;     // false for an orphaned member: never read, never written
};

// Reports progress of a long pass: bytes done of total.
using Progress = std::function<void(uint64_t done, uint64_t total)>;
// Called by a long pass each time everything below `done` (a member offset) is written
// and flushed, so the caller can record where a later run may resume; a failure stops
// the pass with that status.
using Checkpoint = std::function<NTSTATUS(uint64_t done)>;

// What a verify pass found: ranges of member offsets whose members disagree (a mirror)
// or whose rows' parity does not match their data (whole rows), merged where adjacent.
struct VerifyReport {
  uint64_t ranges = 0;       // mismatching ranges in all
  uint64_t bytes = 0;        // member bytes in them
  std::vector<Range> first;  // the first few of them
  bool repaired = false;     // every one was rewritten
  static constexpr size_t kKept = 10;
};

// An FT volume opened on its members' partition devices. Reads and writes must be
// whole sectors (512-byte multiples). One unusable member is tolerated by a mirror
// (another member serves it) and by a parity set (its bytes are recomputed from the
// others); any unusable member fails a stripe set or a volume set.
//
// Writes are not flushed one by one (a data pass flushes once per checkpoint and at
// its end, through Flush) and not backed up: the FT journal records what may be
// inconsistent until the flush.
class Volume {
 public:
  Volume(Type type, std::vector<Member> members);
  ~Volume();
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  // Opens every usable member (for writing too when asked) and reads its length.
  NTSTATUS Open(bool write, std::string* error);
  Type type() const { return type_; }
  uint64_t Length() const { return length_; }
  const std::vector<uint64_t>& MemberLengths() const { return lengths_; }
  // Bytes of each member the volume uses: whole rows of a striped set, the smallest
  // member of a mirror (0 for a volume set, whose members are used whole).
  uint64_t MemberSpan() const;
  // Volume bytes of one I/O of a pass: whole stripe rows, about 1 MiB per member.
  uint64_t IoBytes() const;
  // The member range a volume range touches, widened to whole rows: what may disagree
  // between members while a write of it is in flight.
  Range MemberRange(uint64_t offset, uint64_t length) const;
  // The volume bytes a member range of whole rows holds.
  Range VolumeRange(Range members) const;

  NTSTATUS Read(uint64_t offset, void* buffer, uint64_t length);
  // A stripe row written in part is read, patched and written whole, its parity
  // computed from its data, so every row a write touches is consistent after it.
  NTSTATUS Write(uint64_t offset, const void* buffer, uint64_t length);
  // Makes every write so far durable (one flush per member disk written).
  NTSTATUS Flush();

  // Rewrites one member from the others: the copy of a mirror, the reconstruction of a
  // parity member. The member must be open for writing (mark it usable first). The
  // second form covers the given ranges (the whole span when empty) from member offset
  // `from` on, flushing and calling checkpoint at each step.
  NTSTATUS Rebuild(unsigned member, const Progress& progress);
  NTSTATUS Rebuild(unsigned member, const std::vector<Range>& ranges, uint64_t from, const Progress& progress,
                   const Checkpoint& checkpoint);
  // Writes the parity stripe of every row (of the ranges) from the data stripes.
  NTSTATUS InitializeParity(const Progress& progress);
  NTSTATUS InitializeParity(const std::vector<Range>& ranges, uint64_t from, const Progress& progress,
                            const Checkpoint& checkpoint);
  // Reads every row of a mirror or parity set and finds where the members disagree:
  // for a mirror, each usable member against member `from`; for a parity set, rows
  // whose stripes do not XOR to zero. With repair, a mirror's other members are
  // rewritten from `from` and a row's parity from its data; beforeRepair runs once
  // before the first such write. Every member must be open.
  NTSTATUS Verify(unsigned from, bool repair, const Progress& progress,
                  const std::function<NTSTATUS()>& beforeRepair, VerifyReport* report);

 private:
  NTSTATUS MemberIo(bool write, unsigned member, uint64_t offset, void* buffer, uint64_t length);
  // Whole rows [row, row + rows) in volume order, to or from buf.
  NTSTATUS ReadRows(uint64_t row, uint64_t rows, uint8_t* buf);
  NTSTATUS WriteRows(uint64_t row, uint64_t rows, const uint8_t* buf);
  // Each member's bytes of rows [row, row + rows), the unreadable one reconstructed.
  NTSTATUS ReadMembers(uint64_t row, uint64_t rows, bool reconstruct);
  // The steps of a pass: ranges cut at `from`, in pieces of at most `step` bytes,
  // with a flush and a checkpoint every window.
  NTSTATUS Pass(const std::vector<Range>& ranges, uint64_t from, uint64_t step, const Progress& progress,
                const Checkpoint& checkpoint, const std::function<NTSTATUS(Range)>& work);

  bool Readable(unsigned m) const { return handles_[m] != nullptr && static_cast<int>(m) != rebuilding_; }
  // Whole sectors inside the volume.
  bool Fits(uint64_t offset, uint64_t length) const {
    return offset <= length_ && length <= length_ - offset && offset % 512 == 0 && length % 512 == 0;
  }
  // Volume bytes of one row of a striped set.
  uint64_t RowBytes() const;

  Type type_;
  std::vector<Member> members_;
  int rebuilding_ = -1;  // the member being rewritten: written, never read
  std::vector<HANDLE> handles_;
  std::vector<uint64_t> lengths_;
  std::vector<std::vector<uint8_t>> buffers_;  // one per member, for row batches
  uint64_t length_ = 0;
  bool write_ = false;
};

// The partition device (\Device\HarddiskN\PartitionM) of the disk with that signature
// whose partition starts at offset with that length, as the disk driver reports them.
bool FindPartitionDevice(uint32_t signature, int64_t offset, int64_t length, std::u16string* device);

}  // namespace ntp::ftmap
