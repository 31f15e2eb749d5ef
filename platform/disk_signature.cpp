// Disk signatures: clashes between the machine's disks, and a fresh signature written.
#include "disk_signature.h"

#include <cstdio>
#include <random>
#include <set>
#include <sstream>

#include "configblob.h"
#include "machine.h"
#include "mbr.h"
#include "ntplatform.h"
#include "registry_store.h"
#include "table_backups.h"

namespace ntp {

namespace {

// Opens \Device\HarddiskN\Partition0 of the booted machine.
NTSTATUS OpenWholeDisk(unsigned index, ACCESS_MASK access, HANDLE* h) {
  std::u16string name = u"\\Device\\Harddisk";
  for (char c : std::to_string(index)) name.push_back(static_cast<char16_t>(c));
  return OpenDevice(name + u"\\Partition0", access, h);
}

// Whether the disk holds a foreign (GPT) layout, from its first two sectors; a disk whose
// sector 0 cannot be read is not called foreign (the write that follows reports it).
bool ForeignLayout(unsigned index, uint32_t bps) {
  HANDLE h = nullptr;
  if (!NT_SUCCESS(OpenWholeDisk(index, GENERIC_READ, &h))) return false;
  std::vector<uint8_t> sectors(2 * size_t(bps));
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER at;
  at.QuadPart = 0;
  const bool first =
      NT_SUCCESS(NtReadFile(h, nullptr, nullptr, nullptr, &iosb, sectors.data(), bps, &at, nullptr));
  at.QuadPart = bps;
  const bool second =
      first && bps >= 8 &&
      NT_SUCCESS(NtReadFile(h, nullptr, nullptr, nullptr, &iosb, sectors.data() + bps, bps, &at, nullptr));
  NtClose(h);
  return first && ftformat::IsForeignLayout(sectors.data(), second ? sectors.data() + bps : nullptr);
}

// What the stored configuration records of a disk signature: its partition records and
// the FT sets they belong to, in words; "" when it records nothing of it.
std::string RecordedAs(uint32_t signature) {
  uint32_t type = 0;
  std::vector<uint8_t> blob;
  ftformat::ConfigView view;
  std::string why;
  if (!reg::GetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", u"Information", &type, &blob) ||
      type != REG_BINARY || !ftformat::ReadConfigView(blob.data(), blob.size(), &view, &why))
    return "";
  size_t partitions = 0;
  std::set<std::string> sets;
  for (const auto& r : view.records) partitions += r.signature == signature;
  for (const auto& set : view.sets)
    for (size_t m : set.members)
      if (view.records[m].signature == signature) sets.insert(ftformat::FtSetName(set));
  if (partitions == 0) return "";
  std::string text = std::to_string(partitions) + (partitions == 1 ? " partition" : " partitions");
  for (const auto& name : sets) text += (name == *sets.begin() ? ", members of " : ", ") + name;
  return text;
}

}  // namespace

std::string SignatureClash(uint32_t signature, int self) {
  if (signature == 0) return "its disk signature is 0";
  for (const auto& d : Disks())
    if (static_cast<int>(d.index) != self && d.signature == signature)
      return "its disk signature " + HexCode(signature) + " is disk " + std::to_string(d.index) + "'s too";
  return "";
}

Status WriteDiskSignature(const std::string& dir, bool noWait, unsigned index, bool force,
                          SignatureChange* change) {
  auto fail = [](const std::string& why, NTSTATUS st = STATUS_UNSUCCESSFUL) {
    return Status(uint32_t(st), why);
  };
  std::string e;
  if (!Boot(dir, noWait ? LockMode::NoWait : LockMode::Wait, &e))
    return fail("cannot open machine '" + dir + "': " + e);
  struct Down {
    ~Down() { Shutdown(); }
  } down;
  const auto disks = Disks();
  if (index >= disks.size()) return fail("the machine has no such disk");
  const uint32_t bps = disks[index].geometry.BytesPerSector ? disks[index].geometry.BytesPerSector : 512;
  if (ForeignLayout(index, bps)) return fail(ftformat::kForeignLayout);
  // A unique signature already tells the disk apart; a new one would only cut it off
  // from what the configuration records of it.
  const uint32_t current = disks[index].signature;
  if (SignatureClash(current, int(index)).empty())
    return fail("its signature " + HexCode(current) + " is unique already; nothing needs a new one");
  const std::string recorded = RecordedAs(current);
  if (!recorded.empty() && !force)
    return fail("the FT configuration records its signature " + HexCode(current) + " (" + recorded +
                "); with a new signature those records no longer match the disk: its FT members are orphaned "
                "and its letters given afresh. Add --force to write it anyway");

  std::set<uint32_t> taken{0};
  for (const auto& d : disks)
    if (d.index != index) taken.insert(d.signature);
  std::random_device rd;
  std::mt19937 gen(rd());
  uint32_t fresh = 0;
  while (taken.count(fresh) != 0) fresh = gen();

  HANDLE h = nullptr;
  NTSTATUS st = OpenWholeDisk(index, GENERIC_READ | GENERIC_WRITE, &h);
  if (!NT_SUCCESS(st)) return fail("the disk cannot be opened (" + HexCode(uint32_t(st)) + ")", st);
  std::vector<uint8_t> sector(bps);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER at;
  at.QuadPart = 0;
  st = NtReadFile(h, nullptr, nullptr, nullptr, &iosb, sector.data(), bps, &at, nullptr);
  if (!NT_SUCCESS(st)) {
    NtClose(h);
    return fail("sector 0 cannot be read (" + HexCode(uint32_t(st)) + ")", st);
  }
  change->disk = index;
  change->before = ftformat::MbrSignature(sector.data(), sector.size());
  change->after = fresh;
  ftformat::PutMbrSignature(sector.data(), fresh);
  // The sector-write hook keeps the old sector 0 as a backup of this command.
  table_backups::TableBackup backup;
  backup.Before("attach --write-signature");
  st = NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, sector.data(), bps, &at, nullptr);
  NtClose(h);
  std::ostringstream warnings;
  change->backups = backup.After(warnings);
  change->warnings = warnings.str();
  if (!NT_SUCCESS(st)) return fail("sector 0 cannot be written (" + HexCode(uint32_t(st)) + ")", st);
  return Status();
}

}  // namespace ntp
