// "fsys" on an FT volume: its first bytes are read through the FT data layout, so a
// stripe set, parity set or volume set shows the file system that spans its members,
// and a mirror or parity set with an orphaned member is read from the others.
#include <cstring>

#include "ftmap.h"
#include "internal.h"
#include "ntplatform.h"

namespace zmi {
namespace {

bool U64Of(ZM_OBJECT_ID id, const char* name, uint64_t* out) {
  Value v;
  if (HostGet(id, name, &v) != ZM_S_OK || v.data.empty() || v.data.size() > 8) return false;
  *out = 0;
  std::memcpy(out, v.data.data(), v.data.size());
  return true;
}

bool ReadThrough(void* ctx, uint64_t offset, void* buffer, size_t size) {
  auto* volume = static_cast<ntp::ftmap::Volume*>(ctx);
  // The volume reads whole sectors; a probe's odd read is widened and cut back.
  const uint64_t start = offset / 512 * 512, end = (offset + size + 511) / 512 * 512;
  if (end > volume->Length()) return false;
  std::vector<uint8_t> buf(end - start);
  if (!NT_SUCCESS(volume->Read(start, buf.data(), buf.size()))) return false;
  std::memcpy(buffer, buf.data() + (offset - start), size);
  return true;
}

}  // namespace

bool ProbeFtVolume(ZM_OBJECT_ID volume, std::string* fs) {
  fs->clear();
  uint64_t zmType = 0;
  if (!U64Of(volume, "LDM_VOLUME_TYPE", &zmType) || zmType < 5 || zmType > 8) return false;
  static const ntp::ftmap::Type kTypes[] = {ntp::ftmap::kVolumeSet, ntp::ftmap::kStripe, ntp::ftmap::kMirror,
                                            ntp::ftmap::kParity};
  // Members by their number; a number no partition carries is a member that is gone.
  std::vector<ntp::ftmap::Member> members;
  for (ZM_OBJECT_ID p : HostChildren(volume, ZM_OBJ_PARTITION)) {
    uint64_t number = 0, state = 0;
    std::u16string device;
    if (!U64Of(p, "FT_MEMBER_NUMBER", &number) || number >= ntp::ftmap::kMaxMembers ||
        !HostGetString(p, "\\Device\\", &device))
      continue;
    if (members.size() <= number) members.resize(number + 1, {u"", 0, false});
    // An orphaned (0x2) or regenerating (0x8000) member does not hold its data.
    const bool stale = U64Of(p, "STATE", &state) && (state & 0x8002) != 0;
    members[number] = {device, 0, !stale};
  }
  ntp::ftmap::Volume v(kTypes[zmType - 5], members);
  std::string error;
  if (!NT_SUCCESS(v.Open(false, &error)) || v.Length() == 0) return true;
  std::vector<uint8_t> head(std::min<uint64_t>(64 * 1024, v.Length()));
  if (ReadThrough(&v, 0, head.data(), head.size()))
    *fs = DetectFileSystem(head, v.Length(), &ReadThrough, &v);
  return true;
}

}  // namespace zmi
