// The machine steps of the FT requests, and the requests an interruption left unfinished.
#include "ftrequest.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

#include "ftfind.h"
#include "ftjournal.h"
#include "ftmap.h"
#include "machine.h"
#include "ntplatform.h"

namespace ftconfig {

namespace fm = ntp::ftmap;

void DropJournal(uint32_t type, uint16_t group) {
  ntp::ftjournal::Journal j;
  j.type = type;
  j.group = group;
  std::string ignored;
  ntp::ftjournal::Save(j, &ignored);
}

void Publish(zm::Session& s) {
  zm::PropSet in, out;
  ZM_OBJECT_ID rid = 0;
  s.Control(0, OPCLASS_LAYOUT, OP_REFRESH, in.get(), out.get(), &rid);
  s.RefreshBuiltin(u"mount");
  s.RefreshBuiltin(u"fsys");
}

ZMSTATUS DeletePartition(zm::Session& s, ZM_OBJECT_ID volume) {
  zm::PropSet in, out;
  ZM_OBJECT_ID rid = 0;
  return s.Control(volume, OPCLASS_LAYOUT, OP_DELETE_PARTITION, in.get(), out.get(), &rid);
}

ZMSTATUS SetLetter(zm::Session& s, ZM_OBJECT_ID volume, char letter) {
  zm::PropSet in, out;
  ZM_OBJECT_ID rid = 0;
  if (letter == 0)
    return s.Control(volume, OPCLASS_VOLUME, OP_REMOVE_DRIVE_LETTER, in.get(), out.get(), &rid);
  in.AddString("DRIVE_LETTER", zm::Widen(std::string(1, letter) + ":"));
  return s.Control(volume, OPCLASS_VOLUME, OP_ASSIGN_DRIVE_LETTER, in.get(), out.get(), &rid);
}

ntp::Status MarkMembers(const std::vector<PartitionRef>& members, bool on) {
  for (const auto& d : ntp::Disks()) {
    if (!ntp::WriteRefusal(d.index).empty()) continue;
    HANDLE h = nullptr;
    std::vector<uint8_t> buf;
    bool changed = false;
    for (const auto& m : members) {
      if (m.signature != d.signature) continue;
      if (h == nullptr &&
          (!NT_SUCCESS(zm::OpenDevice(d.device + u"\\Partition0", GENERIC_READ | GENERIC_WRITE, &h)) ||
           !NT_SUCCESS(zm::ReadDriveLayout(h, &buf)))) {
        if (h != nullptr) NtClose(h);
        return ntp::Status(0, "cannot read the partition table of disk " + std::to_string(d.index));
      }
      auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION*>(buf.data());
      for (size_t i = 0, count = zm::LayoutEntries(buf); i < count; ++i) {
        PARTITION_INFORMATION& e = layout->PartitionEntry[i];
        if (e.StartingOffset.QuadPart != m.offset || e.PartitionLength.QuadPart != m.length) continue;
        const uint8_t type = on ? e.PartitionType | 0x80 : e.PartitionType & 0x7F;
        if (type == e.PartitionType || !ntp::ftfind::FtFlag(on ? type : e.PartitionType)) continue;
        e.PartitionType = type;
        e.RewritePartition = TRUE;
        changed = true;
      }
    }
    if (h == nullptr) continue;
    NTSTATUS st = STATUS_SUCCESS;
    if (changed) {
      const ULONG size = static_cast<ULONG>(offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) +
                                            zm::LayoutEntries(buf) * sizeof(PARTITION_INFORMATION));
      IO_STATUS_BLOCK iosb{};
      st = NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_SET_DRIVE_LAYOUT, buf.data(),
                                 size, buf.data(), size);
    }
    NtClose(h);
    if (!NT_SUCCESS(st))
      return ntp::Status(static_cast<uint32_t>(st),
                         "cannot mark the members' partition types on disk " + std::to_string(d.index));
  }
  return ntp::Status();
}

char FreeLetter() {
  bool recorded[26] = {};
  FTInfo info;
  std::string e;
  if (Read(&info, &e))
    for (uint32_t d = 0; d < info.NumberOfDisks(); ++d)
      for (uint32_t p = 0;; ++p) {
        _DISK_PARTITION* rec = nullptr;
        if (!info.GetPartitionInfo(d, p, &rec, nullptr)) break;
        const char l = static_cast<char>(std::toupper(rec->DriveLetter));
        if (l >= 'C' && l <= 'Z' && (rec->AssignDriveLetter || rec->FtType != NotAnFtMember))
          recorded[l - 'A'] = true;
      }
  for (char c = 'C'; c <= 'Z'; ++c)
    if (ntp::DriveLetterTarget(c).empty() && !recorded[c - 'A']) return c;
  return 0;
}

bool InAnySet(const PartitionRef& where) {
  FTInfo info;
  std::string e;
  if (!Read(&info, &e)) return true;
  for (const auto& set : Sets(info))
    for (const auto& m : set.members)
      if (m.where == where) return true;
  return false;
}

int DiskWithSignature(uint32_t signature) {
  for (const auto& d : ntp::Disks())
    if (d.signature == signature) return int(d.index);
  return -1;
}

bool UpdateWithRescan(zm::Session& s, const std::function<bool(FTInfo&, std::string*)>& change,
                      std::string* error) {
  if (Update(change, error)) return true;
  Publish(s);
  error->clear();
  return Update(change, error);
}

std::string Intents::Load() {
  std::string e, warning;
  if (!LoadIntents(&list_, &e)) warning = e + "; it is replaced";
  FTInfo info;
  if (!Read(&info, &e)) return warning;
  auto exists = [](const PartitionRef& p) {
    std::u16string device;
    return fm::FindPartitionDevice(p.signature, p.offset, p.length, &device);
  };
  const size_t before = list_.size();
  std::erase_if(list_, [&](const Intent& i) {
    const auto progress = Progress(i, info, exists);
    if (progress.finished) finished_.push_back(i.command);
    return progress.done;
  });
  if (list_.size() != before) StoreIntents(list_, &e);
  return warning;
}

bool Intents::Finished(const std::string& command) const {
  return std::count(finished_.begin(), finished_.end(), command) != 0;
}

uint16_t Intents::FreeGroup(const FTInfo& info, uint32_t type) const {
  SetView set;
  for (uint16_t g = 0;; ++g)
    if (!FindSet(info, type, g, &set) && std::none_of(list_.begin(), list_.end(), [&](const Intent& i) {
          return i.op == Intent::kCreate && i.type == type && i.group == g;
        }))
      return g;
}

const Intent* Intents::Find(uint16_t op, const std::string& command) const {
  for (const auto& i : list_)
    if (i.op == op && i.command == command) return &i;
  return nullptr;
}

std::string Intents::Blocking(uint32_t signature) const {
  for (const auto& i : list_)
    for (const auto& p : i.parts)
      if (p.mine && i.op != Intent::kDelete && p.where.signature == signature)
        return "an interrupted 'ftdiskctl " + i.command +
               "' has partitions on that disk; run it again to finish it first";
  return "";
}

bool Intents::Record(const Intent& intent, std::string* error) {
  std::vector<Intent> next = list_;
  std::erase_if(next, [&](const Intent& i) { return i.command == intent.command; });
  next.push_back(intent);
  if (!StoreIntents(next, error)) return false;
  list_ = next;
  return true;
}

std::string Intents::Forget(const std::string& command) {
  std::vector<Intent> next = list_;
  std::erase_if(next, [&](const Intent& i) { return i.command == command; });
  std::string e;
  if (!StoreIntents(next, &e)) return e + "; check names the request as unfinished until it is run again";
  list_ = next;
  return "";
}

Resume FindPending(const Intents& intents, uint16_t op, const std::string& command, Intent* intent) {
  if (const Intent* pending = intents.Find(op, command)) {
    *intent = *pending;
    return Resume::kPending;
  }
  return intents.Finished(command) ? Resume::kDone : Resume::kNew;
}

}  // namespace ftconfig
