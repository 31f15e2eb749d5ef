#include "regblob.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "units.h"

namespace cli {

namespace {

std::string LetterText(uint8_t c) {
  if (c >= 'C' && c <= 'Z') return std::string(1, static_cast<char>(c)) + ":";
  return "";
}

}  // namespace

nlohmann::json DecodeBlob(const uint8_t* data, size_t size, bool valid, const std::string& why) {
  using nlohmann::json;
  json out = {{"length", size}, {"valid", valid}};
  if (!valid) out["error"] = why;
  const ftformat::BlobWalk w = ftformat::WalkBlob(data, size);
  if (!w.hasHeader) {
    if (valid) out["valid"] = false;
    if (!out.contains("error")) out["error"] = "shorter than the 44-byte header";
    out["disks"] = json::array();
    out["ft_sets"] = json::array();
    return out;
  }
  const _DISK_CONFIG_HEADER& h = w.header;
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
  for (const auto& d : w.disks)
    disks.push_back({{"record_offset", d.at}, {"signature", d.signature}, {"partitions", json::array()}});
  for (const auto& p : w.partitions) {
    const _DISK_PARTITION& rec = p.rec;
    disks[p.disk]["partitions"].push_back({{"record_offset", p.at},
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
  }
  json sets = json::array();
  for (const auto& s : w.sets) {
    json set = {{"record_offset", s.at},
                {"type", s.type},
                {"type_name", FtTypeName(s.type)},
                {"state", s.state},
                {"state_name", FtStateName(s.state)},
                {"members", json::array()}};
    for (const auto& m : s.members) {
      const bool found = m.record != ftformat::MemberAt::kNone;
      set["members"].push_back({{"state", m.md.State},
                                {"signature", m.md.Signature},
                                {"offset_to_partition_info", m.md.OffsetToPartitionInfo},
                                {"logical_number", m.md.LogicalNumber},
                                {"disk", found ? json(w.partitions[m.record].disk) : json(nullptr)},
                                {"partition", found ? json(w.partitions[m.record].index) : json(nullptr)}});
    }
    sets.push_back(set);
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
