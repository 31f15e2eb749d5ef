// The dump text: written and read back. sfdisk reads a disk's section as it stands (the
// lines starting with '#' are comments to it), so "sfdisk IMAGE < section" lays out the
// same table.
#include "dumpfile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sstream>

namespace ftformat {

namespace {

std::string Hex(uint64_t v, int width) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*llx", width, static_cast<unsigned long long>(v));
  return buf;
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// A number as sfdisk writes them: decimal, or hexadecimal after 0x. Digits only, no overflow.
bool Number(const std::string& text, uint64_t* v, int base = 10) {
  std::string s = Trim(text);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2), base = 16;
  if (s.empty() || s.size() > (base == 16 ? 16u : 19u)) return false;
  const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
  if (s.find_first_not_of(digits) != std::string::npos) return false;
  *v = std::stoull(s, nullptr, base);
  return true;
}

// "key=value key=value" (blank-separated): the fields of our own comment lines.
std::map<std::string, std::string> Fields(const std::string& text) {
  std::map<std::string, std::string> f;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    const size_t eq = word.find('=');
    f[word.substr(0, eq)] = eq == std::string::npos ? "" : word.substr(eq + 1);
  }
  return f;
}

// The partition number at the end of a device name: "disk0/p5" -> 5, "/dev/sdb5" -> 5.
bool TrailingNumber(const std::string& name, unsigned* n) {
  size_t i = name.size();
  while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9') --i;
  uint64_t v = 0;
  if (i == name.size() || !Number(name.substr(i), &v) || v == 0 || v > 999) return false;
  *n = static_cast<unsigned>(v);
  return true;
}

// "E:", "e:" or "E" -> 'E'; only C to Z are drive letters.
std::optional<char> DriveLetter(const std::string& text) {
  if (text.size() != 1 && !(text.size() == 2 && text[1] == ':')) return std::nullopt;
  const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (c < 'C' || c > 'Z') return std::nullopt;
  return c;
}

const std::set<std::string> kSetTypes = {"mirror", "stripe", "parity", "volset"};
const std::set<std::string> kStates = {"healthy", "orphaned", "regenerating", "initializing"};

}  // namespace

std::string DumpText(const Dump& d) {
  std::ostringstream o;
  o << "# ftdiskctl dump: one section per disk, each read by 'sfdisk IMAGE < section' too\n";
  for (const DumpDisk& k : d.disks) {
    o << "\n# disk: " << k.Name() << " bytes=" << k.bytes << " cylinders=" << k.cylinders
      << " heads=" << k.heads << " sectors=" << k.sectors << "\n";
    o << "label: dos\nlabel-id: 0x" << Hex(k.signature, 8) << "\ndevice: " << k.Name()
      << "\nunit: sectors\nsector-size: " << k.sectorSize << "\n\n";
    for (const DumpPartition& p : k.partitions) {
      char line[160];
      std::snprintf(line, sizeof line, "%s : start=%12llu, size=%12llu, type=%s%s\n", p.name.c_str(),
                    static_cast<unsigned long long>(p.start), static_cast<unsigned long long>(p.size),
                    Hex(p.type, 1).c_str(), p.bootable ? ", bootable" : "");
      o << line;
    }
  }
  if (!d.sets.empty() || !d.letters.empty()) o << "\n";
  for (const DumpSet& s : d.sets) {
    std::string members, states;
    for (const DumpMember& m : s.members) {
      members += (members.empty() ? "" : ",") + m.partition;
      states += (states.empty() ? "" : ",") + m.state;
    }
    o << "# ft: " << s.name << " type=" << s.type << " group=" << s.group << " state=" << s.state
      << " members=" << members << " member-states=" << states << "\n";
  }
  for (const DumpLetter& l : d.letters) o << "# letter: " << l.volume << " " << l.letter << ":\n";
  return o.str();
}

bool ParseDump(const std::string& text, Dump* d, std::string* error) {
  *d = Dump();
  std::istringstream in(text);
  std::string raw;
  unsigned lineNo = 0;
  DumpDisk* disk = nullptr;
  bool partitionsBegun = false;  // sfdisk takes header lines only before the first partition
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(lineNo) + ": " + why;
    return false;
  };
  // A section without our "# disk:" line (sfdisk's own dump) is the next disk.
  auto ensureDisk = [&]() {
    if (disk) return;
    DumpDisk k;
    k.index = d->disks.empty() ? 0 : d->disks.back().index + 1;
    d->disks.push_back(k);
    disk = &d->disks.back();
    partitionsBegun = false;
  };
  while (std::getline(in, raw)) {
    ++lineNo;
    const std::string line = Trim(raw);
    if (line.empty()) continue;
    if (line[0] == '#') {
      const std::string body = Trim(line.substr(1));
      const size_t colon = body.find(':');
      const std::string key = colon == std::string::npos ? "" : body.substr(0, colon);
      const std::string rest = colon == std::string::npos ? "" : Trim(body.substr(colon + 1));
      if (key == "disk") {
        std::istringstream words(rest);
        std::string name;
        words >> name;
        uint64_t index = 0;
        if (name.rfind("disk", 0) != 0 || !Number(name.substr(4), &index) || index > 999)
          return fail("'# disk:' must name a disk as diskN");
        for (const DumpDisk& k : d->disks)
          if (k.index == index) return fail("disk" + std::to_string(index) + " appears twice");
        DumpDisk k;
        d->ours = true;
        k.index = static_cast<unsigned>(index);
        const auto f = Fields(rest.substr(name.size()));
        for (const auto& [field, target] : {std::pair<const char*, uint64_t*>{"bytes", &k.bytes},
                                            {"cylinders", &k.cylinders},
                                            {"heads", &k.heads},
                                            {"sectors", &k.sectors}}) {
          const auto it = f.find(field);
          if (it != f.end() && !Number(it->second, target))
            return fail(std::string("'") + field + "=" + it->second + "' is not a number");
        }
        d->disks.push_back(k);
        disk = &d->disks.back();
        partitionsBegun = false;
      } else if (key == "ft") {
        std::istringstream words(rest);
        DumpSet s;
        words >> s.name;
        const auto f = Fields(rest.substr(s.name.size()));
        s.type = f.count("type") ? f.at("type") : "";
        s.state = f.count("state") ? f.at("state") : "healthy";
        uint64_t group = 0;
        if (!kSetTypes.count(s.type)) return fail("'# ft:' needs type=mirror, stripe, parity or volset");
        if (!f.count("group") || !Number(f.at("group"), &group) || group > 0xFFFE)
          return fail("'# ft:' needs group=N (0 to 65534)");
        s.group = static_cast<unsigned>(group);
        if (s.name != s.type + std::to_string(group))
          return fail("the set '" + s.name + "' must be named " + s.type + std::to_string(group));
        std::vector<std::string> names, states;
        for (const auto& [field, list] :
             {std::pair<const char*, std::vector<std::string>*>{"members", &names},
              {"member-states", &states}}) {
          std::istringstream items(f.count(field) ? f.at(field) : "");
          for (std::string item; std::getline(items, item, ',');) list->push_back(item);
        }
        if (names.size() < 2) return fail(s.name + " needs members=diskN/pM,... (two at least)");
        if (!states.empty() && states.size() != names.size())
          return fail(s.name + ": member-states must give one state per member");
        for (size_t i = 0; i < names.size(); ++i) {
          const std::string state = states.empty() ? "healthy" : states[i];
          if (!kStates.count(state)) return fail("'" + state + "' is not a member state");
          s.members.push_back({static_cast<unsigned>(i), names[i], state});
        }
        for (const DumpSet& other : d->sets)
          if (other.name == s.name) return fail(s.name + " appears twice");
        d->sets.push_back(s);
      } else if (key == "letter") {
        std::istringstream words(rest);
        std::string volume, letter, extra;
        words >> volume >> letter >> extra;
        const auto l = DriveLetter(letter);
        if (volume.empty() || !l || !extra.empty())
          return fail("'# letter:' needs a volume and a letter (C: to Z:)");
        for (const DumpLetter& x : d->letters)
          if (x.letter == *l || x.volume == volume)
            return fail("the letter " + letter + " or " + volume + " appears twice");
        d->letters.push_back({volume, *l});
      }
      continue;  // other comments are the reader's
    }
    const size_t colon = line.find(':');
    const size_t eq = line.find('=');
    if (colon != std::string::npos && (eq == std::string::npos || colon < eq) &&
        line.find(" :") == std::string::npos) {
      // A header line "name: value".
      ensureDisk();
      const std::string key = Trim(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
      if (partitionsBegun && key == "label") {
        disk = nullptr;  // the next disk of a file of sfdisk dumps
        ensureDisk();
      }
      if (partitionsBegun) return fail("the header line '" + key + "' comes after a partition");
      uint64_t v = 0;
      if (key == "label") {
        if (value != "dos") return fail("only MBR (dos) tables can be replayed, not '" + value + "'");
      } else if (key == "label-id") {
        if (!Number(value, &v, 16) || v > 0xFFFFFFFFu) return fail("label-id must be 0x and 8 hex digits");
        disk->signature = static_cast<uint32_t>(v);
      } else if (key == "unit") {
        if (value != "sectors") return fail("unit must be sectors");
      } else if (key == "sector-size") {
        if (!Number(value, &v) || v < 512 || v > 65536 || (v & (v - 1)) != 0)
          return fail("sector-size must be a power of two from 512");
        disk->sectorSize = v;
      } else if (key == "first-lba" || key == "last-lba" || key == "table-length") {
        return fail("'" + key + "' is for GPT; only MBR (dos) tables can be replayed");
      }
      continue;  // device:, grain: and others say nothing a replay needs
    }
    // A partition line "NAME : start=..., size=..., type=..[, bootable]".
    ensureDisk();
    partitionsBegun = true;
    const size_t sep = line.find(" :");
    if (sep == std::string::npos) return fail("a partition line must be 'NAME : start=S, size=N, type=T'");
    DumpPartition p;
    p.name = Trim(line.substr(0, sep));
    if (!TrailingNumber(p.name, &p.number))
      return fail("'" + p.name + "' does not end in a partition number");
    bool hasStart = false, hasSize = false, hasType = false;
    std::istringstream fields(line.substr(sep + 2));
    for (std::string field; std::getline(fields, field, ',');) {
      field = Trim(field);
      const size_t e = field.find('=');
      const std::string k = Trim(field.substr(0, e));
      const std::string v = e == std::string::npos ? "" : Trim(field.substr(e + 1));
      uint64_t n = 0;
      if (k == "start" && Number(v, &n)) {
        p.start = n, hasStart = true;
      } else if (k == "size" && Number(v, &n)) {
        p.size = n, hasSize = true;
      } else if ((k == "type" || k == "Id") && Number(v, &n, 16) && n > 0 && n <= 0xFF) {
        p.type = static_cast<uint32_t>(n), hasType = true;
      } else if (k == "bootable" && e == std::string::npos) {
        p.bootable = true;
      } else {
        return fail("'" + field + "' is not start=SECTORS, size=SECTORS, type=HEX or bootable");
      }
    }
    if (!hasStart || !hasSize || !hasType || p.size == 0)
      return fail(p.name + " needs start=, size= (not 0) and type=");
    // Our names tell the disk; sfdisk's (an image's or a device's) belong to the section.
    unsigned diskOfName = disk->index;
    if (p.name.rfind("disk", 0) == 0 && p.name.find("/p") != std::string::npos) {
      uint64_t n = 0;
      if (!Number(p.name.substr(4, p.name.find("/p") - 4), &n) || n != disk->index)
        return fail(p.name + " is listed under " + disk->Name());
      diskOfName = static_cast<unsigned>(n);
    }
    p.name = "disk" + std::to_string(diskOfName) + "/p" + std::to_string(p.number);
    for (const DumpPartition& q : disk->partitions)
      if (q.number == p.number) return fail(p.name + " appears twice");
    if (p.number > 4 && p.bootable) return fail(p.name + ": only a primary partition can be bootable");
    disk->partitions.push_back(p);
  }
  if (d->disks.empty()) return *error = "the dump holds no disk", false;
  return true;
}

}  // namespace ftformat
