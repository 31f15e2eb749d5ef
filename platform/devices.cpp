// The NT device calls over the booted machine: opening devices through the object
// namespace, the disk and volume controls, sector reads and writes, symbolic links.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "faults.h"
#include "handles.h"
#include "machine_state.h"
#include "ntplatform.h"

using namespace ntp;
using ntp::detail::Cdrom;
using ntp::detail::Disk;
using ntp::detail::Partition;

namespace {

constexpr NTSTATUS kNotLocked = NTSTATUS(0xC000002A);
constexpr NTSTATUS kMediaWriteProtected = NTSTATUS(0xC00000A2);
constexpr ULONG kFileOpened = 1;
constexpr uint32_t kCdSector = 2048;
constexpr ACCESS_MASK kReadAccess = GENERIC_READ | FILE_READ_DATA | 0x10000000u /*GENERIC_ALL*/;
constexpr ACCESS_MASK kWriteAccess =
    GENERIC_WRITE | 0x0002u /*FILE_WRITE_DATA*/ | 0x0004u /*FILE_APPEND_DATA*/ | 0x10000000u;

// An open device.
struct FileObject : HandleObject {
  std::shared_ptr<Disk> disk;  // disk and partition handles
  std::shared_ptr<Partition> part;
  std::shared_ptr<Cdrom> cd;
  detail::Device* device = nullptr;
  bool read = false, write = false, counted = false;
  ULONG share = 0;
  uint64_t position = 0;

  bool Alive() const { return device->alive && (!disk || disk->alive); }

  ~FileObject() override {
    std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
    if (device->lockOwner == this) device->lockOwner = nullptr;
    if (counted) {
      --device->openCount;
      if (read) --device->readers;
      if (write) --device->writers;
      if (share & FILE_SHARE_READ) --device->sharedRead;
      if (share & FILE_SHARE_WRITE) --device->sharedWrite;
    }
  }
};

// An open symbolic link: the target as it was when the link was opened.
struct LinkObject : HandleObject {
  std::u16string target;
  ACCESS_MASK access = 0;
};

NTSTATUS Finish(PIO_STATUS_BLOCK iosb, NTSTATUS status, uintptr_t information = 0) {
  if (iosb != nullptr) {
    iosb->u.Status = status;
    iosb->Information = information;
  }
  return status;
}

bool Injected(const char* function, NTSTATUS* status) {
  uint32_t s = 0;
  if (!ShouldFail(function, &s)) return false;
  *status = NTSTATUS(s);
  return true;
}

bool NameOf(const UNICODE_STRING* name, std::u16string* out) {
  if (name == nullptr || name->Length == 0 || (name->Length & 1) || name->Length > name->MaximumLength ||
      name->Buffer == nullptr)
    return false;
  out->assign(name->Buffer, name->Length / 2);
  return true;
}

// "<prefix><decimal>" with no leading zeros; the rest of the name goes to *rest.
bool TakeNumber(const std::u16string& s, std::u16string_view prefix, unsigned* n, std::u16string* rest) {
  if (s.compare(0, prefix.size(), prefix) != 0) return false;
  size_t i = prefix.size(), j = i;
  uint64_t v = 0;
  while (j < s.size() && s[j] >= u'0' && s[j] <= u'9' && j - i < 9) v = v * 10 + (s[j++] - u'0');
  if (j == i || (s[i] == u'0' && j - i > 1)) return false;
  *n = unsigned(v);
  *rest = s.substr(j);
  return true;
}

struct Target {
  std::shared_ptr<Disk> disk;
  std::shared_ptr<Partition> part;  // null with a disk: the whole disk
  std::shared_ptr<Cdrom> cd;
  bool isLink = false;
  std::u16string linkTarget;
};

std::u16string Canonical(std::u16string upper) {
  if (upper.compare(0, 4, u"\\??\\") == 0) upper = u"\\DOSDEVICES\\" + upper.substr(4);
  return upper;
}

// Resolves a name in the namespace; with followLinks, symbolic links lead on to
// what they name.
NTSTATUS Lookup(detail::Machine& m, const std::u16string& name, bool followLinks, Target* out) {
  std::u16string u = Canonical(detail::Upper(name));
  for (int depth = 0; depth < 16; ++depth) {
    auto link = m.links.find(u);
    if (link != m.links.end()) {
      if (!followLinks) {
        out->isLink = true;
        out->linkTarget = link->second;
        return STATUS_SUCCESS;
      }
      u = Canonical(detail::Upper(link->second));
      continue;
    }
    unsigned n = 0, p = 0;
    std::u16string rest, rest2;
    if (TakeNumber(u, u"\\DEVICE\\HARDDISK", &n, &rest)) {
      if (n >= m.disks.size())
        return rest.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
      out->disk = m.disks[n];
      if (out->disk->fd < 0)
        return rest.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
      if (rest.empty()) return STATUS_SUCCESS;
      if (!TakeNumber(rest, u"\\PARTITION", &p, &rest2) || !rest2.empty())
        return STATUS_OBJECT_NAME_NOT_FOUND;
      if (p == 0) return STATUS_SUCCESS;
      auto it = out->disk->partitions.find(p);
      if (it == out->disk->partitions.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
      out->part = it->second;
      return STATUS_SUCCESS;
    }
    if (TakeNumber(u, u"\\DEVICE\\CDROM", &n, &rest) && rest.empty()) {
      if (n >= m.cdroms.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
      out->cd = m.cdroms[n];
      return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;  // a ring of links
}

// The byte range a handle reaches, and its sector size.
struct Extent {
  uint64_t base, length;
  uint32_t sector;
};

Extent ExtentOf(const FileObject& f) {
  if (f.cd) return {0, f.cd->length, kCdSector};
  const uint32_t bps = f.disk->config.bytesPerSector;
  if (!f.part) return {0, f.disk->length, bps};
  uint64_t base = std::min(f.part->offset, f.disk->length);
  return {base, std::min(f.part->length, f.disk->length - base), bps};
}

const char* ControlName(ULONG code) {
  switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
      return "IOCTL_DISK_GET_DRIVE_GEOMETRY";
    case IOCTL_DISK_GET_PARTITION_INFO:
      return "IOCTL_DISK_GET_PARTITION_INFO";
    case IOCTL_DISK_GET_DRIVE_LAYOUT:
      return "IOCTL_DISK_GET_DRIVE_LAYOUT";
    case IOCTL_DISK_SET_DRIVE_LAYOUT:
      return "IOCTL_DISK_SET_DRIVE_LAYOUT";
    case IOCTL_DISK_IS_WRITABLE:
      return "IOCTL_DISK_IS_WRITABLE";
    case FSCTL_LOCK_VOLUME:
      return "FSCTL_LOCK_VOLUME";
    case FSCTL_UNLOCK_VOLUME:
      return "FSCTL_UNLOCK_VOLUME";
    case FSCTL_DISMOUNT_VOLUME:
      return "FSCTL_DISMOUNT_VOLUME";
    default:
      return nullptr;
  }
}

// Common start of the calls on an open device: the handle, its machine, faults.
NTSTATUS Enter(HANDLE handle, const char* function, ULONG code, std::shared_ptr<FileObject>* file) {
  NTSTATUS s;
  if (Injected(function, &s)) return s;
  if (const char* name = ControlName(code); name != nullptr && Injected(name, &s)) return s;
  auto object = ReferenceHandle(handle);
  if (!object) return STATUS_INVALID_HANDLE;
  *file = std::dynamic_pointer_cast<FileObject>(object);
  if (!*file) return STATUS_OBJECT_TYPE_MISMATCH;
  if (detail::Current() == nullptr || !(*file)->Alive()) return STATUS_NO_SUCH_DEVICE;
  return STATUS_SUCCESS;
}

// A length with no buffer behind it is the caller's fault, as the I/O manager's probe of
// the buffers would find.
bool BuffersProbe(const void* in, ULONG inLength, const void* out, ULONG outLength) {
  return (in != nullptr || inLength == 0) && (out != nullptr || outLength == 0);
}

NTSTATUS GetLayout(Disk& disk, void* out, ULONG outLength, uintptr_t* information) {
  ptable::ReadResult r;
  NTSTATUS s = detail::RefreshLayout(disk, &r);
  if (!NT_SUCCESS(s)) return s;
  const uint64_t need = 8 + 32ull * r.entries.size();
  if (out == nullptr || outLength < need) return STATUS_BUFFER_TOO_SMALL;
  auto* layout = static_cast<DRIVE_LAYOUT_INFORMATION*>(out);
  layout->PartitionCount = ULONG(r.entries.size());
  layout->Signature = r.signature;
  if (!r.entries.empty())
    std::memcpy(layout->PartitionEntry, r.entries.data(), r.entries.size() * sizeof(PARTITION_INFORMATION));
  *information = uintptr_t(need);
  return STATUS_SUCCESS;
}

NTSTATUS SetLayout(Disk& disk, const void* in, ULONG inLength, void* out, ULONG outLength,
                   uintptr_t* information) {
  if (in == nullptr || inLength < 8) return STATUS_INVALID_PARAMETER;
  ULONG count;
  std::memcpy(&count, in, sizeof count);
  const uint64_t size = 8 + 32ull * count;
  if (inLength < size) return STATUS_INVALID_PARAMETER;
  // A table that could not be read whole (or is not ours) is never rewritten: the
  // rewrite would drop what the read did not see.
  if (!disk.layoutReadOnly.empty()) return kMediaWriteProtected;
  // A private copy: input and output are usually the same buffer.
  std::vector<uint8_t> copy(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + size);
  auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION*>(copy.data());
  const uint32_t bps = disk.config.bytesPerSector;
  std::vector<ptable::SectorImage> sectors;
  std::string why;
  NTSTATUS s = ptable::Build(
      disk.Shape(),
      [&](uint64_t lba, uint8_t* buf) { return NT_SUCCESS(detail::ReadBytes(disk, lba * bps, buf, bps)); },
      layout, &sectors, &why);
  if (!NT_SUCCESS(s)) {
    // The caller learns which entry broke which rule, not only that the layout was refused.
    if (!why.empty()) detail::SetRefusal("the disk driver refused the layout: " + why);
    return s;
  }
  // A table sector that already holds its new bytes is left as it is: the disk reads
  // the same, and an edit touches only the boot records that change.
  std::vector<uint8_t> now(bps);
  std::erase_if(sectors, [&](const ptable::SectorImage& img) {
    return img.bytes.size() == bps && NT_SUCCESS(detail::ReadBytes(disk, img.lba * bps, now.data(), bps)) &&
           std::memcmp(now.data(), img.bytes.data(), bps) == 0;
  });
  // A partition the system uses is never removed, moved or resized under it.
  s = detail::CheckBusy(disk, layout);
  if (!NT_SUCCESS(s)) return s;
  s = detail::WriteSectors(disk, sectors);
  if (!NT_SUCCESS(s)) return s;
  ptable::ReadResult r;
  s = detail::RefreshLayout(disk, &r);
  if (!NT_SUCCESS(s)) return s;
  if (!sectors.empty()) detail::NotifyKernel(disk, r);
  // The numbers the driver assigned go back into the caller's entries.
  for (ULONG i = 0; i < count; ++i) {
    PARTITION_INFORMATION& e = layout->PartitionEntry[i];
    e.PartitionNumber = 0;
    if (!ptable::IsData(e.PartitionType)) continue;
    for (auto& [n, p] : disk.partitions)
      if (p->offset == uint64_t(e.StartingOffset.QuadPart) &&
          p->length == uint64_t(e.PartitionLength.QuadPart)) {
        e.PartitionNumber = n;
        break;
      }
  }
  if (out != nullptr) std::memcpy(out, copy.data(), size_t(std::min<uint64_t>(outLength, size)));
  *information = uintptr_t(std::min<uint64_t>(outLength, size));
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS NtOpenFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attrs, PIO_STATUS_BLOCK iosb,
                    ULONG shareAccess, ULONG openOptions) {
  (void)openOptions;
  NTSTATUS s;
  if (Injected("NtOpenFile", &s)) return Finish(iosb, s);
  if (handle == nullptr || attrs == nullptr) return Finish(iosb, STATUS_INVALID_PARAMETER);
  if (attrs->RootDirectory != nullptr) return Finish(iosb, STATUS_INVALID_PARAMETER);
  std::u16string name;
  if (!NameOf(attrs->ObjectName, &name) || name[0] != u'\\') return Finish(iosb, STATUS_OBJECT_NAME_INVALID);

  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  detail::Machine* m = detail::Current();
  if (m == nullptr) return Finish(iosb, STATUS_OBJECT_NAME_NOT_FOUND);
  Target t;
  s = Lookup(*m, name, true, &t);
  if (!NT_SUCCESS(s)) return Finish(iosb, s);

  auto f = std::make_shared<FileObject>();
  f->disk = t.disk;
  f->part = t.part;
  f->cd = t.cd;
  f->device = t.part   ? static_cast<detail::Device*>(t.part.get())
              : t.disk ? static_cast<detail::Device*>(t.disk.get())
                       : static_cast<detail::Device*>(t.cd.get());
  f->read = (access & kReadAccess) != 0;
  f->write = (access & kWriteAccess) != 0;
  f->share = shareAccess & (FILE_SHARE_READ | FILE_SHARE_WRITE);
  detail::Device& d = *f->device;
  if (f->read || f->write) {
    // Sharing as NT checks it: every open must allow what the others do.
    if ((f->read && d.sharedRead < d.openCount) || (f->write && d.sharedWrite < d.openCount) ||
        (d.readers > 0 && !(f->share & FILE_SHARE_READ)) || (d.writers > 0 && !(f->share & FILE_SHARE_WRITE)))
      return Finish(iosb, STATUS_SHARING_VIOLATION);
    ++d.openCount;
    if (f->read) ++d.readers;
    if (f->write) ++d.writers;
    if (f->share & FILE_SHARE_READ) ++d.sharedRead;
    if (f->share & FILE_SHARE_WRITE) ++d.sharedWrite;
    f->counted = true;
  }
  *handle = InsertHandle(f);
  return Finish(iosb, STATUS_SUCCESS, kFileOpened);
}

NTSTATUS NtClose(HANDLE handle) {
  NTSTATUS s;
  if (Injected("NtClose", &s)) return s;
  return RemoveHandle(handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS NtDeviceIoControlFile(HANDLE handle, HANDLE event, void* apcRoutine, void* apcContext,
                               PIO_STATUS_BLOCK iosb, ULONG code, void* in, ULONG inLength, void* out,
                               ULONG outLength) {
  (void)event;
  (void)apcRoutine;
  (void)apcContext;
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  std::shared_ptr<FileObject> f;
  NTSTATUS s = Enter(handle, "NtDeviceIoControlFile", code, &f);
  if (!NT_SUCCESS(s)) return Finish(iosb, s);
  // The access a control needs is coded in bits 14 and 15 of its code.
  const ULONG needs = (code >> 14) & 3;
  if (((needs & 1) && !f->read) || ((needs & 2) && !f->write)) return Finish(iosb, STATUS_ACCESS_DENIED);
  if (!BuffersProbe(in, inLength, out, outLength)) return Finish(iosb, STATUS_ACCESS_VIOLATION);
  uintptr_t info = 0;
  switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
      if (out == nullptr || outLength < sizeof(DISK_GEOMETRY)) return Finish(iosb, STATUS_BUFFER_TOO_SMALL);
      DISK_GEOMETRY g{};
      if (f->cd) {
        if (f->cd->fd < 0) return Finish(iosb, STATUS_NO_MEDIA_IN_DEVICE);
        g.Cylinders.QuadPart = int64_t(f->cd->length / (64ull * 32 * kCdSector));
        g.MediaType = RemovableMedia;
        g.TracksPerCylinder = 64;
        g.SectorsPerTrack = 32;
        g.BytesPerSector = kCdSector;
      } else {
        g = detail::GeometryOf(*f->disk);
      }
      std::memcpy(out, &g, sizeof g);
      return Finish(iosb, STATUS_SUCCESS, sizeof g);
    }
    case IOCTL_DISK_GET_PARTITION_INFO: {
      if (f->cd) return Finish(iosb, STATUS_INVALID_DEVICE_REQUEST);
      if (out == nullptr || outLength < sizeof(PARTITION_INFORMATION))
        return Finish(iosb, STATUS_BUFFER_TOO_SMALL);
      PARTITION_INFORMATION p{};
      if (f->part) {
        p = f->part->info;
        p.RewritePartition = FALSE;
      } else {
        p.PartitionLength.QuadPart = int64_t(f->disk->length);
      }
      std::memcpy(out, &p, sizeof p);
      return Finish(iosb, STATUS_SUCCESS, sizeof p);
    }
    case IOCTL_DISK_GET_DRIVE_LAYOUT:
      if (f->cd) return Finish(iosb, STATUS_INVALID_DEVICE_REQUEST);
      s = GetLayout(*f->disk, out, outLength, &info);
      return Finish(iosb, s, info);
    case IOCTL_DISK_IS_WRITABLE: {
      if (f->cd) return Finish(iosb, kMediaWriteProtected);
      const Disk& d = *f->disk;
      const std::string name = "disk " + std::to_string(d.index);
      // What the disk itself forbids (a disk attached read-only too); a process that
      // opened the machine only to read is refused at the write, not here.
      const std::string why = !d.damage.empty()                              ? name + " " + d.damage
                              : d.config.readOnly && !d.writeRefusal.empty() ? d.writeRefusal
                              : !d.layoutReadOnly.empty()                    ? name + ": " + d.layoutReadOnly
                                                                             : std::string();
      if (why.empty()) return Finish(iosb, STATUS_SUCCESS);
      // Asked by a writer before it changes anything: the reason is what it reports.
      if (f->write) detail::SetRefusal(why);
      return Finish(iosb, kMediaWriteProtected);
    }
    case IOCTL_DISK_SET_DRIVE_LAYOUT:
      if (f->cd) return Finish(iosb, STATUS_INVALID_DEVICE_REQUEST);
      s = SetLayout(*f->disk, in, inLength, out, outLength, &info);
      return Finish(iosb, s, info);
    default:
      return Finish(iosb, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NtFsControlFile(HANDLE handle, HANDLE event, void* apcRoutine, void* apcContext,
                         PIO_STATUS_BLOCK iosb, ULONG code, void* in, ULONG inLength, void* out,
                         ULONG outLength) {
  (void)event;
  (void)apcRoutine;
  (void)apcContext;
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  std::shared_ptr<FileObject> f;
  NTSTATUS s = Enter(handle, "NtFsControlFile", code, &f);
  if (!NT_SUCCESS(s)) return Finish(iosb, s);
  if (!BuffersProbe(in, inLength, out, outLength)) return Finish(iosb, STATUS_ACCESS_VIOLATION);
  detail::Device& d = *f->device;
  switch (code) {
    case FSCTL_LOCK_VOLUME:
      if (d.lockOwner != nullptr) return Finish(iosb, STATUS_ACCESS_DENIED);
      d.lockOwner = f.get();
      return Finish(iosb, STATUS_SUCCESS);
    case FSCTL_UNLOCK_VOLUME:
      if (d.lockOwner != f.get()) return Finish(iosb, kNotLocked);
      d.lockOwner = nullptr;
      return Finish(iosb, STATUS_SUCCESS);
    case FSCTL_DISMOUNT_VOLUME:
      return Finish(iosb, STATUS_SUCCESS);
    default:
      return Finish(iosb, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// unflushed: an FT data pass's write (detail::WriteData), unless it covers a table sector.
static NTSTATUS Transfer(bool writing, HANDLE handle, PIO_STATUS_BLOCK iosb, void* buffer, ULONG length,
                         PLARGE_INTEGER byteOffset, bool unflushed = false) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  std::shared_ptr<FileObject> f;
  NTSTATUS s = Enter(handle, writing ? "NtWriteFile" : "NtReadFile", 0, &f);
  if (!NT_SUCCESS(s)) return Finish(iosb, s);
  if (writing ? !f->write : !f->read) return Finish(iosb, STATUS_ACCESS_DENIED);
  if (buffer == nullptr && length > 0) return Finish(iosb, STATUS_INVALID_PARAMETER);
  if (f->cd && f->cd->fd < 0) return Finish(iosb, STATUS_NO_MEDIA_IN_DEVICE);
  if (f->cd && writing) return Finish(iosb, kMediaWriteProtected);
  const Extent x = ExtentOf(*f);
  uint64_t offset = f->position;
  if (byteOffset != nullptr) {
    if (byteOffset->QuadPart < 0) return Finish(iosb, STATUS_INVALID_PARAMETER);
    offset = uint64_t(byteOffset->QuadPart);
  }
  // Whole sectors inside the device only.
  if (offset % x.sector != 0 || length % x.sector != 0 || offset > x.length || length > x.length - offset)
    return Finish(iosb, STATUS_INVALID_PARAMETER);
  if (length == 0) return Finish(iosb, STATUS_SUCCESS);
  if (f->cd) {
    if (pread(f->cd->fd, buffer, length, off_t(offset)) != ssize_t(length))
      return Finish(iosb, STATUS_IO_DEVICE_ERROR);
  } else if (writing) {
    const uint64_t at = x.base + offset, lba = at / x.sector;
    const bool table = std::any_of(f->disk->tableSectors.begin(), f->disk->tableSectors.end(),
                                   [&](uint64_t t) { return t >= lba && t < lba + length / x.sector; });
    if (unflushed && !table) {
      s = detail::WriteData(*f->disk, at, buffer, length);
      if (!NT_SUCCESS(s)) return Finish(iosb, s);
    } else {
      ptable::SectorImage img{
          lba, std::vector<uint8_t>(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length)};
      s = detail::WriteSectors(*f->disk, {img});
      if (!NT_SUCCESS(s)) return Finish(iosb, s);
    }
    // A write over a partition table changes the partitions the disk serves.
    if (table) {
      ptable::ReadResult r;
      if (NT_SUCCESS(detail::RefreshLayout(*f->disk, &r))) detail::NotifyKernel(*f->disk, r);
    }
  } else {
    s = detail::ReadBytes(*f->disk, x.base + offset, buffer, length);
    if (!NT_SUCCESS(s)) return Finish(iosb, s);
  }
  f->position = offset + length;
  return Finish(iosb, STATUS_SUCCESS, length);
}

NTSTATUS NtWriteFile(HANDLE handle, HANDLE event, void* apcRoutine, void* apcContext, PIO_STATUS_BLOCK iosb,
                     void* buffer, ULONG length, PLARGE_INTEGER byteOffset, ULONG* key) {
  (void)event;
  (void)apcRoutine;
  (void)apcContext;
  (void)key;
  return Transfer(true, handle, iosb, buffer, length, byteOffset);
}

NTSTATUS NtReadFile(HANDLE handle, HANDLE event, void* apcRoutine, void* apcContext, PIO_STATUS_BLOCK iosb,
                    void* buffer, ULONG length, PLARGE_INTEGER byteOffset, ULONG* key) {
  (void)event;
  (void)apcRoutine;
  (void)apcContext;
  (void)key;
  return Transfer(false, handle, iosb, buffer, length, byteOffset);
}

NTSTATUS NtOpenSymbolicLinkObject(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attrs) {
  NTSTATUS s;
  if (Injected("NtOpenSymbolicLinkObject", &s)) return s;
  if (handle == nullptr || attrs == nullptr || attrs->RootDirectory != nullptr)
    return STATUS_INVALID_PARAMETER;
  std::u16string name;
  if (!NameOf(attrs->ObjectName, &name) || name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  detail::Machine* m = detail::Current();
  if (m == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  Target t;
  s = Lookup(*m, name, false, &t);
  if (!NT_SUCCESS(s)) return s;
  if (!t.isLink) return STATUS_OBJECT_TYPE_MISMATCH;
  auto link = std::make_shared<LinkObject>();
  link->target = t.linkTarget;
  link->access = access;
  *handle = InsertHandle(link);
  return STATUS_SUCCESS;
}

NTSTATUS NtQuerySymbolicLinkObject(HANDLE handle, PUNICODE_STRING target, ULONG* returnedLength) {
  NTSTATUS s;
  if (Injected("NtQuerySymbolicLinkObject", &s)) return s;
  auto object = ReferenceHandle(handle);
  if (!object) return STATUS_INVALID_HANDLE;
  auto link = std::dynamic_pointer_cast<LinkObject>(object);
  if (!link) return STATUS_OBJECT_TYPE_MISMATCH;
  if (!(link->access & (SYMBOLIC_LINK_QUERY | 0x10000000u | 0x02000000u /*MAXIMUM_ALLOWED*/)))
    return STATUS_ACCESS_DENIED;
  if (target == nullptr) return STATUS_INVALID_PARAMETER;
  const size_t bytes = link->target.size() * 2;
  if (bytes > target->MaximumLength || target->Buffer == nullptr) {
    if (returnedLength != nullptr) *returnedLength = ULONG(bytes + 2);
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(target->Buffer, link->target.data(), bytes);
  target->Length = USHORT(bytes);
  bool terminated = bytes + 2 <= target->MaximumLength;
  if (terminated) target->Buffer[bytes / 2] = 0;
  if (returnedLength != nullptr) *returnedLength = ULONG(bytes + (terminated ? 2 : 0));
  return STATUS_SUCCESS;
}

DWORD QueryDosDeviceW(PCWSTR deviceName, PWSTR targetPath, DWORD maxChars) {
  uint32_t status;
  if (ShouldFail("QueryDosDeviceW", &status)) return 0;
  if (targetPath == nullptr || maxChars == 0) return 0;
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  detail::Machine* m = detail::Current();
  if (m == nullptr) return 0;
  std::u16string result;
  const std::u16string prefix = u"\\DOSDEVICES\\";
  if (deviceName == nullptr) {
    // Every DOS device name, each with its terminator.
    for (const auto& [name, target] : m->links)
      if (name.compare(0, prefix.size(), prefix) == 0) {
        result += name.substr(prefix.size());
        result += u'\0';
      }
  } else {
    std::u16string key = prefix + detail::Upper(std::u16string(deviceName));
    auto it = m->links.find(key);
    if (it == m->links.end()) return 0;
    result = it->second;
    result += u'\0';
  }
  result += u'\0';
  if (result.size() > maxChars) return 0;
  std::memcpy(targetPath, result.data(), result.size() * 2);
  return DWORD(result.size());
}

}  // extern "C"

namespace ntp::detail {

NTSTATUS WriteDataTo(HANDLE partition, uint64_t offset, const void* buffer, ULONG length) {
  LARGE_INTEGER at;
  at.QuadPart = int64_t(offset);
  IO_STATUS_BLOCK iosb{};
  return Transfer(true, partition, &iosb, const_cast<void*>(buffer), length, &at, true);
}

NTSTATUS FlushDataOf(HANDLE partition) {
  std::lock_guard<std::recursive_mutex> lock(MachineMutex());
  std::shared_ptr<FileObject> f;
  NTSTATUS s = Enter(partition, "NtFlushBuffersFile", 0, &f);
  if (!NT_SUCCESS(s)) return s;
  if (!f->disk || !f->write) return STATUS_ACCESS_DENIED;
  return FlushData(*f->disk);
}

}  // namespace ntp::detail

NTSTATUS ntp::OpenDevice(const std::u16string& name, ACCESS_MASK access, HANDLE* h) {
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, name.c_str());
  OBJECT_ATTRIBUTES oa{sizeof(OBJECT_ATTRIBUTES), nullptr, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  IO_STATUS_BLOCK iosb{};
  return NtOpenFile(h, access | SYNCHRONIZE, &oa, &iosb, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    FILE_SYNCHRONOUS_IO_NONALERT);
}

// Where a partition's or CD-ROM's bytes lie in its image, for readers that go there
// directly instead of through a handle (file-system detection).
bool ntp::OpenDeviceExtent(const std::u16string& device, DeviceExtent* out, bool openFd) {
  std::lock_guard<std::recursive_mutex> lock(detail::MachineMutex());
  detail::Machine* m = detail::Current();
  Target t;
  if (m == nullptr || !NT_SUCCESS(Lookup(*m, device, true, &t))) return false;
  DeviceExtent e;
  int fd = -1;
  if (t.cd) {
    fd = t.cd->fd;
    e.length = t.cd->length;
    e.cdrom = true;
  } else if (t.disk && t.part && t.disk->alive && t.part->alive) {
    fd = t.disk->fd;
    e.disk = t.disk->index;
    e.offset = std::min(t.part->offset, t.disk->length);
    e.length = std::min(t.part->length, t.disk->length - e.offset);
    e.writes = t.disk->counters.sectorsWritten;
  }
  if (fd < 0) return false;
  if (openFd && (e.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0) return false;
  *out = e;
  return true;
}
