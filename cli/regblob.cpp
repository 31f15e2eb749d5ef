#include "regblob.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "../diskreg/diskreg.h"
#include "units.h"

namespace cli {

std::string FtTypeName(uint32_t type) {
  switch (type) {
    case Mirror:
      return "mirror";
    case Stripe:
      return "stripe";
    case StripeWithParity:
      return "stripe_with_parity";
    case VolumeSet:
      return "volume_set";
    case NotAnFtMember:
      return "none";
    case WholeDisk:
      return "whole_disk";
    default:
      return "type_" + std::to_string(type);
  }
}

std::string FtStateName(uint32_t state) {
  switch (state) {
    case FtStateOk:
      return "ok";
    case FtHasOrphan:
      return "has_orphan";
    case FtDisabled:
      return "disabled";
    case FtRegenerating:
      return "regenerating";
    case FtInitializing:
      return "initializing";
    case FtCheckParity:
      return "check_parity";
    default:
      return "state_" + std::to_string(state);
  }
}

std::string FtPartitionStateName(uint32_t state) {
  switch (state) {
    case Healthy:
      return "healthy";
    case Orphaned:
      return "orphaned";
    case Regenerating:
      return "regenerating";
    case Initializing:
      return "initializing";
    default:
      return "state_" + std::to_string(state);
  }
}

std::vector<uint8_t> BuildBlob(const std::vector<BlobDisk>& disks, const std::vector<BlobSet>& sets) {
  std::vector<uint8_t> out(kDiskConfigHeaderSize + kDiskRegistryHeaderSize, 0);
  // Offsets of every partition record, to point the FT members at them.
  std::vector<std::vector<uint32_t>> recordAt(disks.size());
  _DISK_REGISTRY reg{};
  reg.NumberOfDisks = static_cast<uint16_t>(disks.size());
  std::memcpy(out.data() + kDiskConfigHeaderSize, &reg, kDiskRegistryHeaderSize);
  for (size_t d = 0; d < disks.size(); ++d) {
    _DISK_DESCRIPTION desc{};
    desc.NumberOfPartitions = static_cast<uint16_t>(disks[d].partitions.size());
    desc.Signature = disks[d].signature;
    size_t at = out.size();
    out.resize(at + kDiskDescriptionHeaderSize);
    std::memcpy(out.data() + at, &desc, kDiskDescriptionHeaderSize);
    for (const BlobPartition& p : disks[d].partitions) {
      _DISK_PARTITION rec{};
      rec.FtType = p.ftType;
      rec.FtState = p.ftState;
      rec.StartingOffset = p.offset;
      rec.Length = p.length;
      rec.FtLength = p.ftLength;
      rec.DriveLetter = p.letter;
      rec.AssignDriveLetter = p.assign;
      rec.LogicalNumber = p.number;
      rec.FtGroup = p.group;
      rec.FtMember = p.member;
      size_t pat = out.size();
      recordAt[d].push_back(static_cast<uint32_t>(pat));
      out.resize(pat + kDiskPartitionSize);
      std::memcpy(out.data() + pat, &rec, kDiskPartitionSize);
    }
  }
  const uint32_t diskSize = static_cast<uint32_t>(out.size() - kDiskConfigHeaderSize);
  uint32_t ftSize = 0;
  if (!sets.empty()) {
    size_t ftAt = out.size();
    _FT_REGISTRY ft{};
    ft.NumberOfComponents = static_cast<uint16_t>(sets.size());
    out.resize(ftAt + kFtRegistryHeaderSize);
    std::memcpy(out.data() + ftAt, &ft, kFtRegistryHeaderSize);
    for (const BlobSet& s : sets) {
      std::vector<_FT_MEMBER_DESCRIPTION> members;
      for (const BlobMember& m : s.members) {
        if (m.disk >= disks.size() || m.partition >= disks[m.disk].partitions.size()) continue;
        _FT_MEMBER_DESCRIPTION md{};
        md.State = static_cast<uint16_t>(disks[m.disk].partitions[m.partition].ftState);
        md.Signature = disks[m.disk].signature;
        md.OffsetToPartitionInfo = recordAt[m.disk][m.partition];
        md.LogicalNumber = disks[m.disk].partitions[m.partition].number;
        members.push_back(md);
      }
      _FT_DESCRIPTION fd{};
      fd.NumberOfMembers = static_cast<uint16_t>(members.size());
      fd.Type = s.type;
      fd.FtVolumeState = s.state;
      size_t at = out.size();
      out.resize(at + kFtDescriptionHeaderSize + kFtMemberDescriptionSize * members.size());
      std::memcpy(out.data() + at, &fd, kFtDescriptionHeaderSize);
      if (!members.empty())
        std::memcpy(out.data() + at + kFtDescriptionHeaderSize, members.data(),
                    kFtMemberDescriptionSize * members.size());
    }
    ftSize = static_cast<uint32_t>(out.size() - ftAt);
  }
  _DISK_CONFIG_HEADER h{};
  h.Version = 3;
  h.DiskInformationOffset = kDiskConfigHeaderSize;
  h.DiskInformationSize = diskSize;
  h.FtInformationOffset = kDiskConfigHeaderSize + diskSize;
  h.FtInformationSize = ftSize;
  std::memcpy(out.data(), &h, kDiskConfigHeaderSize);
  return out;
}

namespace {

// Reads little-endian fields, refusing anything past the end.
struct Reader {
  const uint8_t* data;
  size_t size;
  bool Has(uint64_t at, uint64_t len) const { return at <= size && len <= size - at; }
  template <typename T>
  T Get(uint64_t at) const {
    T v{};
    std::memcpy(&v, data + at, sizeof v);
    return v;
  }
};

std::string LetterText(uint8_t c) {
  if (c >= 'C' && c <= 'Z') return std::string(1, static_cast<char>(c)) + ":";
  return "";
}

}  // namespace

nlohmann::json DecodeBlob(const uint8_t* data, size_t size, bool valid, const std::string& why) {
  using nlohmann::json;
  json out = {{"length", size}, {"valid", valid}};
  if (!valid) out["error"] = why;
  Reader r{data, size};
  if (!r.Has(0, kDiskConfigHeaderSize)) {
    if (valid) out["valid"] = false;
    if (!out.contains("error")) out["error"] = "shorter than the 44-byte header";
    out["disks"] = json::array();
    out["ft_sets"] = json::array();
    return out;
  }
  _DISK_CONFIG_HEADER h = r.Get<_DISK_CONFIG_HEADER>(0);
  out["header"] = {{"version", h.Version},
                   {"checksum", h.CheckSum},
                   {"dirty_shutdown", h.DirtyShutdown},
                   {"disk_information_offset", h.DiskInformationOffset},
                   {"disk_information_size", h.DiskInformationSize},
                   {"ft_information_offset", h.FtInformationOffset},
                   {"ft_information_size", h.FtInformationSize},
                   {"ft_stripe_width", h.FtStripeWidth},
                   {"ft_pool_size", h.FtPoolSize},
                   {"name_offset", h.NameOffset},
                   {"name_size", h.NameSize}};
  json disks = json::array();
  // record offset -> (disk, partition) for the FT members.
  std::vector<std::pair<uint64_t, std::pair<size_t, size_t>>> records;
  if (h.DiskInformationSize > 0 && r.Has(h.DiskInformationOffset, kDiskRegistryHeaderSize)) {
    uint64_t end = std::min<uint64_t>(size, uint64_t{h.DiskInformationOffset} + h.DiskInformationSize);
    uint16_t n = r.Get<uint16_t>(h.DiskInformationOffset);
    uint64_t pos = uint64_t{h.DiskInformationOffset} + kDiskRegistryHeaderSize;
    for (uint16_t d = 0; d < n && pos + kDiskDescriptionHeaderSize <= end; ++d) {
      uint16_t parts = r.Get<uint16_t>(pos);
      json disk = {
          {"record_offset", pos}, {"signature", r.Get<uint32_t>(pos + 4)}, {"partitions", json::array()}};
      pos += kDiskDescriptionHeaderSize;
      for (uint16_t p = 0; p < parts && pos + kDiskPartitionSize <= end; ++p) {
        _DISK_PARTITION rec = r.Get<_DISK_PARTITION>(pos);
        records.push_back({pos, {disks.size(), disk["partitions"].size()}});
        disk["partitions"].push_back({{"record_offset", pos},
                                      {"ft_type", rec.FtType},
                                      {"ft_type_name", FtTypeName(rec.FtType)},
                                      {"ft_state", rec.FtState},
                                      {"ft_state_name", FtPartitionStateName(rec.FtState)},
                                      {"offset", rec.StartingOffset},
                                      {"length", rec.Length},
                                      {"ft_length", rec.FtLength},
                                      {"drive_letter", LetterText(rec.DriveLetter)},
                                      {"drive_letter_byte", rec.DriveLetter},
                                      {"assign_drive_letter", rec.AssignDriveLetter},
                                      {"logical_number", rec.LogicalNumber},
                                      {"ft_group", rec.FtGroup},
                                      {"ft_member", rec.FtMember},
                                      {"modified", rec.Modified}});
        pos += kDiskPartitionSize;
      }
      disks.push_back(disk);
    }
  }
  json sets = json::array();
  if (h.FtInformationSize > 0 && r.Has(h.FtInformationOffset, kFtRegistryHeaderSize)) {
    uint64_t end = std::min<uint64_t>(size, uint64_t{h.FtInformationOffset} + h.FtInformationSize);
    uint16_t n = r.Get<uint16_t>(h.FtInformationOffset);
    uint64_t pos = uint64_t{h.FtInformationOffset} + kFtRegistryHeaderSize;
    for (uint16_t s = 0; s < n && pos + kFtDescriptionHeaderSize <= end; ++s) {
      uint16_t members = r.Get<uint16_t>(pos);
      uint16_t type = r.Get<uint16_t>(pos + 2);
      uint32_t state = r.Get<uint32_t>(pos + 8);
      json set = {{"record_offset", pos},
                  {"type", type},
                  {"type_name", FtTypeName(type)},
                  {"state", state},
                  {"state_name", FtStateName(state)},
                  {"members", json::array()}};
      pos += kFtDescriptionHeaderSize;
      for (uint16_t m = 0; m < members && pos + kFtMemberDescriptionSize <= end; ++m) {
        _FT_MEMBER_DESCRIPTION md = r.Get<_FT_MEMBER_DESCRIPTION>(pos);
        json member = {{"state", md.State},
                       {"signature", md.Signature},
                       {"offset_to_partition_info", md.OffsetToPartitionInfo},
                       {"logical_number", md.LogicalNumber},
                       {"disk", nullptr},
                       {"partition", nullptr}};
        for (const auto& rec : records) {
          if (rec.first == md.OffsetToPartitionInfo) {
            member["disk"] = rec.second.first;
            member["partition"] = rec.second.second;
          }
        }
        set["members"].push_back(member);
        pos += kFtMemberDescriptionSize;
      }
      sets.push_back(set);
    }
  }
  out["disks"] = disks;
  out["ft_sets"] = sets;
  return out;
}

std::string BlobText(const nlohmann::json& b) {
  std::ostringstream o;
  o << "Information: " << b.value("length", 0) << " bytes";
  if (!b.value("valid", false)) o << ", MALFORMED: " << b.value("error", std::string("unknown"));
  o << "\n";
  if (b.contains("header")) {
    const auto& h = b["header"];
    o << "  header: version " << h["version"] << ", disk part " << h["disk_information_size"] << " bytes at "
      << h["disk_information_offset"] << ", FT part " << h["ft_information_size"] << " bytes at "
      << h["ft_information_offset"] << "\n";
  }
  size_t di = 0;
  for (const auto& d : b["disks"]) {
    char sig[16];
    std::snprintf(sig, sizeof sig, "0x%08X", d["signature"].get<uint32_t>());
    o << "  disk " << di++ << ": signature " << sig << ", " << d["partitions"].size() << " partition(s)\n";
    for (const auto& p : d["partitions"]) {
      std::string letter = p["drive_letter"].get<std::string>();
      o << "    #" << p["logical_number"] << " offset " << p["offset"] << " length " << p["length"] << " ("
        << FormatSize(p["length"].get<int64_t>() < 0 ? 0 : p["length"].get<uint64_t>()) << ")"
        << ", letter " << (letter.empty() ? "-" : letter)
        << (p["assign_drive_letter"].get<int>() ? " (assign)" : "") << ", ft "
        << p["ft_type_name"].get<std::string>();
      if (p["ft_type"].get<uint32_t>() != NotAnFtMember)
        o << " group " << p["ft_group"] << " member " << p["ft_member"] << " "
          << p["ft_state_name"].get<std::string>();
      o << "\n";
    }
  }
  size_t si = 0;
  for (const auto& s : b["ft_sets"]) {
    o << "  ft set " << si++ << ": " << s["type_name"].get<std::string>() << ", "
      << s["state_name"].get<std::string>() << ", " << s["members"].size() << " member(s)\n";
    size_t mi = 0;
    for (const auto& m : s["members"]) {
      char sig[16];
      std::snprintf(sig, sizeof sig, "0x%08X", m["signature"].get<uint32_t>());
      o << "    member " << mi++ << ": disk signature " << sig << ", record at "
        << m["offset_to_partition_info"];
      if (m["disk"].is_null())
        o << " (no such record)";
      else
        o << " (disk " << m["disk"] << " partition record " << m["partition"] << ")";
      o << "\n";
    }
  }
  return o.str();
}

}  // namespace cli
