// Where the bytes of an FT volume live: the one mapping from a volume offset to a member
// and an offset in that member, for each FT type, and I/O on a whole volume through it
// (degraded sets included). docs/ft-layout.md describes the layout.
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
// Bytes the volume holds; 0 when the member count does not suit the type.
uint64_t VolumeLength(Type type, const std::vector<uint64_t>& members);
// The member holding the parity stripe of a row of a set of n members.
unsigned ParityMember(unsigned n, uint64_t row);
// Maps one volume offset (below VolumeLength). For a mirror it names member 0; every
// member holds the same bytes at the same offset. False when offset is outside.
bool Map(Type type, const std::vector<uint64_t>& members, uint64_t offset, Piece* piece);

// One member as the volume sees it.
struct Member {
  std::u16string device;  // \Device\HarddiskN\PartitionM; empty when the partition is gone
  uint64_t length = 0;    // bytes of the member; 0: taken from the device (or the others)
  bool usable = true;     // false for an orphaned member: never read, never written
};

// Reports progress of a long pass: bytes done of total.
using Progress = std::function<void(uint64_t done, uint64_t total)>;

// An FT volume opened on its members' partition devices. Reads and writes must be
// whole sectors (512-byte multiples). One unusable member is tolerated by a mirror
// (another member serves it) and by a parity set (its bytes are recomputed from the
// others); any unusable member fails a stripe set or a volume set.
class Volume {
 public:
  Volume(Type type, std::vector<Member> members);
  ~Volume();
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  // Opens every usable member (for writing too when asked) and reads its length.
  NTSTATUS Open(bool write, std::string* error);
  uint64_t Length() const { return length_; }
  const std::vector<uint64_t>& MemberLengths() const { return lengths_; }

  NTSTATUS Read(uint64_t offset, void* buffer, uint64_t length);
  NTSTATUS Write(uint64_t offset, const void* buffer, uint64_t length);
  // Rewrites one member from the others: the copy of a mirror, the reconstruction of a
  // parity member. The member must be open for writing (mark it usable first).
  NTSTATUS Rebuild(unsigned member, const Progress& progress);
  // Writes the parity stripe of every row from the data stripes.
  NTSTATUS InitializeParity(const Progress& progress);

 private:
  NTSTATUS MemberIo(bool write, unsigned member, uint64_t offset, void* buffer, uint64_t length);
  NTSTATUS ReadStripe(uint64_t row, unsigned member, uint8_t* out);
  NTSTATUS WriteParityRow(uint64_t row, unsigned skip, const uint8_t* replacement);

  bool Readable(unsigned m) const { return handles_[m] != nullptr && static_cast<int>(m) != rebuilding_; }
  // Whole sectors inside the volume.
  bool Fits(uint64_t offset, uint64_t length) const {
    return offset <= length_ && length <= length_ - offset && offset % 512 == 0 && length % 512 == 0;
  }

  Type type_;
  std::vector<Member> members_;
  int rebuilding_ = -1;  // the member being rewritten: written, never read
  std::vector<HANDLE> handles_;
  std::vector<uint64_t> lengths_;
  uint64_t length_ = 0;
  bool write_ = false;
};

// The partition device (\Device\HarddiskN\PartitionM) of the disk with that signature
// whose partition starts at offset with that length, as the disk driver reports them.
bool FindPartitionDevice(uint32_t signature, int64_t offset, int64_t length, std::u16string* device);

}  // namespace ntp::ftmap
