#include "configblob_text.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "configblob.h"

namespace ftformat {

namespace {

std::string LetterText(uint8_t c) {
  if (c >= 'C' && c <= 'Z') return std::string(1, static_cast<char>(c)) + ":";
  return "";
}

std::string HexCode(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

}  // namespace

nlohmann::json DecodeBlob(const uint8_t* data, size_t size, bool valid, const std::string& why) {
  using nlohmann::json;
  json out = {{"length", size}, {"valid", valid}};
  if (!valid) out["error"] = why;
  const BlobWalk w = WalkBlob(data, size);
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
    const std::string letter = LetterText(rec.DriveLetter);  // null without one, as everywhere
    disks[p.disk]["partitions"].push_back({{"record_offset", p.at},
                                           {"ft_type", rec.FtType},
                                           {"ft_type_name", FtTypeName(rec.FtType)},
                                           {"ft_state", rec.FtState},
                                           {"ft_state_name", FtPartitionStateName(rec.FtState)},
                                           {"offset", rec.StartingOffset},
                                           {"length", rec.Length},
                                           {"ft_length", rec.FtLength},
                                           {"drive_letter", letter.empty() ? json(nullptr) : json(letter)},
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
      const bool found = m.record != MemberAt::kNone;
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

std::string BlobText(const uint8_t* data, size_t size, bool valid, const std::string& why,
                     std::string (*sizeText)(uint64_t)) {
  std::ostringstream o;
  const BlobWalk w = WalkBlob(data, size);
  o << "Information: " << size << " bytes";
  if (!valid || !w.hasHeader) o << ", MALFORMED: " << (!valid ? why : "shorter than the 44-byte header");
  o << "\n";
  if (!w.hasHeader) return o.str();
  const _DISK_CONFIG_HEADER& h = w.header;
  o << "  header: version " << h.Version << ", disk part " << h.DiskInformationSize << " bytes at "
    << h.DiskInformationOffset << ", FT part " << h.FtInformationSize << " bytes at " << h.FtInformationOffset
    << "\n";
  for (size_t di = 0; di < w.disks.size(); ++di) {
    const std::string sig = HexCode(w.disks[di].signature);
    const size_t count = static_cast<size_t>(
        std::count_if(w.partitions.begin(), w.partitions.end(), [&](const auto& p) { return p.disk == di; }));
    o << "  disk " << di << ": signature " << sig << ", " << count << " partition(s)\n";
    for (const auto& p : w.partitions) {
      if (p.disk != di) continue;
      const _DISK_PARTITION& rec = p.rec;
      const std::string letter = LetterText(rec.DriveLetter);
      o << "    #" << rec.LogicalNumber << " offset " << rec.StartingOffset << " length " << rec.Length
        << " (" << sizeText(rec.Length < 0 ? 0 : static_cast<uint64_t>(rec.Length)) << ")"
        << ", letter " << (letter.empty() ? "-" : letter) << (rec.AssignDriveLetter ? " (assign)" : "")
        << ", ft " << FtTypeName(rec.FtType);
      if (rec.FtType != NotAnFtMember)
        o << " group " << rec.FtGroup << " member " << rec.FtMember << " "
          << FtPartitionStateName(rec.FtState);
      o << "\n";
    }
  }
  for (size_t si = 0; si < w.sets.size(); ++si) {
    const auto& s = w.sets[si];
    o << "  ft set " << si << ": " << FtTypeName(s.type) << ", " << FtStateName(s.state) << ", "
      << s.members.size() << " member(s)\n";
    for (size_t mi = 0; mi < s.members.size(); ++mi) {
      const auto& m = s.members[mi];
      o << "    member " << mi << ": disk signature " << HexCode(m.md.Signature) << ", record at "
        << m.md.OffsetToPartitionInfo;
      if (m.record == MemberAt::kNone)
        o << " (no such record)";
      else
        o << " (disk " << w.partitions[m.record].disk << " partition record " << w.partitions[m.record].index
          << ")";
      o << "\n";
    }
  }
  return o.str();
}

}  // namespace ftformat
