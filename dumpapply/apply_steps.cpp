#include "apply_steps.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "boot.h"
#include "machine_model.h"
#include "mbr.h"
#include "ntplatform.h"
#include "table_backups.h"

namespace dumpapply {

using ftformat::DumpPartition;

namespace {

std::u16string WholeDisk(unsigned index) {
  return zm::Widen("\\Device\\Harddisk" + std::to_string(index) + "\\Partition0");
}

}  // namespace

ntp::Status SetTypes(unsigned disk, uint64_t sectorBytes, const std::vector<DumpPartition>& types,
                     bool backup, std::string* warnings) {
  HANDLE h = nullptr;
  NTSTATUS st = zm::OpenDevice(WholeDisk(disk), GENERIC_READ | GENERIC_WRITE, &h);
  std::vector<uint8_t> buf;
  if (NT_SUCCESS(st)) st = zm::ReadDriveLayout(h, &buf);
  if (NT_SUCCESS(st)) {
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION*>(buf.data());
    const size_t count = zm::LayoutEntries(buf);
    for (const DumpPartition& p : types)
      for (size_t i = 0; i < count; ++i) {
        PARTITION_INFORMATION& e = layout->PartitionEntry[i];
        if (e.PartitionType != 0 && uint64_t(e.StartingOffset.QuadPart) == p.start * sectorBytes &&
            uint64_t(e.PartitionLength.QuadPart) == p.size * sectorBytes) {
          e.PartitionType = static_cast<BYTE>(p.type);
          e.RewritePartition = TRUE;
        }
      }
    ntp::table_backups::TableBackup saved;
    if (backup) saved.Before("apply");
    IO_STATUS_BLOCK iosb{};
    st = NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_SET_DRIVE_LAYOUT, buf.data(),
                               static_cast<ULONG>(buf.size()), nullptr, 0);
    if (backup) {
      std::ostringstream said;
      saved.After(said);
      *warnings += said.str();
    }
  }
  if (h) NtClose(h);
  if (!NT_SUCCESS(st))
    return ntp::Status(uint32_t(st), "the table of disk " + std::to_string(disk) + " cannot be written (" +
                                         ntp::HexCode(uint32_t(st)) + ")");
  return ntp::Status();
}

ntp::Status SetLetters(const ftformat::Dump& d, bool takeOnly, const LetterRequest& request,
                       std::vector<LetterChange>* done) {
  if (!d.ours && d.sets.empty()) return ntp::Status();  // sfdisk's dump: the letters the provider gives stay
  std::map<std::string, char> wanted;                   // by volume name; 0: none
  std::map<std::string, bool> inSet;
  for (const ftformat::DumpSet& set : d.sets) {
    wanted[set.name] = 0;
    for (const ftformat::DumpMember& mb : set.members) inSet[mb.partition] = true;
  }
  for (const ftformat::DumpDisk& k : d.disks)
    for (const DumpPartition& p : k.partitions)
      if (!p.IsExtended() && (takeOnly || !inSet.count(p.name))) wanted[p.name] = 0;
  for (const ftformat::DumpLetter& l : d.letters) wanted[l.volume] = l.letter;
  for (int pass = 0; pass < (takeOnly ? 1 : 2); ++pass) {
    const model::Machine m = model::Machine::Read();
    for (const model::Volume& v : m.volumes) {
      const auto it = wanted.find(v.name);
      if (it == wanted.end()) continue;
      const char have = v.driveLetter && !v.driveLetter->empty() ? (*v.driveLetter)[0] : 0;
      if (have == it->second) continue;
      LetterChange change{v.name, 0, have};
      if (pass == 0 && have != 0)
        change.letter = 0;
      else if (pass == 1 && it->second != 0)
        change.letter = it->second;
      else
        continue;
      if (ntp::Status st = request(change); !st.ok()) return st;
      done->push_back(change);
    }
  }
  return ntp::Status();
}

ntp::Status WriteSignatures(const std::string& dir, ntp::LockMode lock,
                            const std::vector<std::pair<unsigned, uint32_t>>& signatures,
                            std::string* warnings) {
  std::string e;
  if (!ntp::Boot(dir, lock, &e)) return ntp::Status(ZM_E_FAIL, "cannot open machine '" + dir + "': " + e);
  ntp::Status result;
  for (const auto& [index, signature] : signatures) {
    const auto disks = ntp::Disks();
    const uint32_t bps = index < disks.size() && disks[index].geometry.BytesPerSector
                             ? disks[index].geometry.BytesPerSector
                             : 512;
    HANDLE h = nullptr;
    NTSTATUS st = zm::OpenDevice(WholeDisk(index), GENERIC_READ | GENERIC_WRITE, &h);
    std::vector<uint8_t> sector(bps);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = 0;
    if (NT_SUCCESS(st))
      st = NtReadFile(h, nullptr, nullptr, nullptr, &iosb, sector.data(), bps, &at, nullptr);
    if (NT_SUCCESS(st)) {
      // Without the 0x55 0xAA mark the slots hold no table, whatever bytes lie there: the
      // mark must not turn them into partitions.
      if (sector[510] != 0x55 || sector[511] != 0xAA)
        std::fill(sector.begin() + ftformat::kMbrTableOffset, sector.begin() + 510, uint8_t{0});
      ftformat::PutMbrSignature(sector.data(), signature);
      sector[510] = 0x55;
      sector[511] = 0xAA;
      ntp::table_backups::TableBackup saved;
      saved.Before("apply");
      st = NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, sector.data(), bps, &at, nullptr);
      std::ostringstream said;
      saved.After(said);
      *warnings += said.str();
    }
    if (h) NtClose(h);
    if (!NT_SUCCESS(st)) {
      result = ntp::Status(uint32_t(st), "the signature of disk " + std::to_string(index) +
                                             " cannot be written (" + ntp::HexCode(uint32_t(st)) + ")");
      break;
    }
  }
  ntp::Shutdown();
  return result;
}

}  // namespace dumpapply
