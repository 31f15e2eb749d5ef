#include "units.h"

#include <cctype>
#include <cstdio>

#include "ftdisk.h"
#include "layout.h"
#include "zmapi.h"

namespace cli {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool ParseSize(const std::string& text, bool allowZero, uint64_t* bytes, std::string* error, bool* sectors) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "'" + text + "' " + why;
    return false;
  };
  if (sectors) *sectors = false;
  size_t i = 0;
  unsigned __int128 whole = 0;
  size_t digits = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    whole = whole * 10 + static_cast<unsigned>(text[i] - '0');
    if (whole > UINT64_MAX) return fail("is too large");
    ++i;
    ++digits;
  }
  // An optional fraction, kept exactly as numerator / 10^fracDigits.
  unsigned __int128 frac = 0, fracScale = 1;
  if (i < text.size() && text[i] == '.') {
    ++i;
    size_t fracDigits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (fracDigits < 18) {
        frac = frac * 10 + static_cast<unsigned>(text[i] - '0');
        fracScale *= 10;
      } else if (text[i] != '0') {
        return fail("has too many decimals");
      }
      ++i;
      ++fracDigits;
    }
    if (fracDigits == 0) return fail("is not a size (expected a number such as 100M, 2G or 4096)");
  }
  if (digits == 0) return fail("is not a size (expected a number such as 100M, 2G or 4096)");
  std::string unit = Lower(text.substr(i));
  // The multiplier: 1024^n for K, M, G... and KiB, MiB...; 1000^n for KB, MB...
  unsigned __int128 scale = 1;
  if (unit == "s") {
    if (!sectors) return fail("is in sectors, which only --size and --offset of 'create' take");
    if (frac != 0) return fail("is not a whole number of sectors");
    *sectors = true;
  } else if (!unit.empty() && unit != "b") {
    static const char kUnits[] = "kmgtpe";
    size_t pos = std::string(kUnits).find(unit[0]);
    std::string rest = unit.substr(1);
    if (pos == std::string::npos || !(rest.empty() || rest == "b" || rest == "ib"))
      return fail(
          "has an unknown unit (K, M, G, T or KiB, MiB, GiB, TiB are binary; KB, MB, GB, TB decimal; s "
          "sectors; a bare number is bytes)");
    for (size_t n = 0; n <= pos; ++n) scale *= rest == "b" ? 1000 : 1024;
  }
  unsigned __int128 value = whole * scale;
  if (value > UINT64_MAX) return fail("is too large");
  unsigned __int128 fracBytes = frac * scale;
  if (fracBytes % fracScale != 0) return fail("is not a whole number of bytes");
  value += fracBytes / fracScale;
  if (value > UINT64_MAX) return fail("is too large");
  if (value == 0 && !allowZero) return fail("is zero; a size must be at least one byte");
  *bytes = static_cast<uint64_t>(value);
  return true;
}

std::string FormatUnits(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  unsigned u = 0;
  long double v = static_cast<long double>(bytes) / 1024.0L;
  while (v >= 1024.0L && u + 1 < 6) {
    v /= 1024.0L;
    ++u;
  }
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.1Lf", v);
  std::string s = buf;
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
  return s + " " + kUnits[u];
}

std::string FormatSize(uint64_t bytes) {
  static const char kUnits[] = "KMGTPE";
  if (bytes < 1024) return std::to_string(bytes) + "B";
  unsigned u = 0;
  long double v = static_cast<long double>(bytes) / 1024.0L;
  while (v >= 1024.0L && u + 1 < sizeof kUnits - 1) {
    v /= 1024.0L;
    ++u;
  }
  char buf[32];
  // One decimal, dropped when it is zero (100M rather than 100.0M).
  std::snprintf(buf, sizeof buf, "%.1Lf", v);
  std::string s = buf;
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
  return s + kUnits[u];
}

std::string UnitCount(uint64_t bytes, uint64_t unit, uint64_t sector) {
  if (unit == 0 || sector == 0) return std::to_string(bytes);
  const uint64_t whole = bytes / unit, rest = bytes % unit;
  if (rest == 0) return std::to_string(whole);
  if (sector < unit && rest % sector == 0)
    return std::to_string(whole) + "+" + std::to_string(rest / sector) + "s";
  return std::to_string(whole) + "+" + std::to_string(rest) + "b";
}

std::optional<char> ParseDriveLetter(const std::string& text) {
  if (text.size() != 1 && !(text.size() == 2 && text[1] == ':')) return std::nullopt;
  char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (c < 'C' || c > 'Z') return std::nullopt;
  return c;
}

namespace {

bool ParseUnsigned(const std::string& s, uint64_t max, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  unsigned __int128 v = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > max) return false;
  }
  *out = static_cast<uint64_t>(v);
  return true;
}

}  // namespace

namespace {

// Name prefixes of FT sets and the volume kinds they stand for.
const std::pair<const char*, const char*> kFtPrefixes[] = {
    {"mirror", "mirror"}, {"stripe", "stripe"}, {"parity", "stripe_with_parity"}, {"volset", "volume_set"}};

}  // namespace

std::string FtSetName(const std::string& volumeKind, uint64_t group) {
  for (const auto& [prefix, kind] : kFtPrefixes)
    if (volumeKind == kind) return prefix + std::to_string(group);
  return "";
}

bool ParseVolumeSpec(const std::string& text, VolumeSpec* spec, std::string* error) {
  std::string t = Lower(text);
  uint64_t a = 0, b = 0;
  if (t.size() == 2 && t[1] == ':') {
    auto letter = ParseDriveLetter(text);
    if (!letter) {
      if (error) *error = "'" + text + "' is not a drive letter (C: to Z:)";
      return false;
    }
    spec->kind = VolumeSpec::Letter;
    spec->letter = *letter;
    return true;
  }
  if (t.rfind("disk", 0) == 0 && t.find('@') != std::string::npos) {
    const size_t at = t.find('@');
    bool sectors = false;
    std::string e;
    if (ParseUnsigned(t.substr(4, at - 4), 1u << 20, &a) &&
        ParseSize(t.substr(at + 1), true, &b, &e, &sectors)) {
      spec->kind = VolumeSpec::Start;
      spec->disk = static_cast<unsigned>(a);
      spec->start = b;
      spec->inSectors = sectors;
      return true;
    }
    if (error) *error = "'" + text + "' is not a partition start (diskN@START: 2048s in sectors, or 1M)";
    return false;
  }
  if (t.rfind("disk", 0) == 0) {
    size_t slash = t.find('/');
    if (slash != std::string::npos && ParseUnsigned(t.substr(4, slash - 4), 1u << 20, &a)) {
      if (t.substr(slash + 1) == "extended") {
        spec->kind = VolumeSpec::Extended;
        spec->disk = static_cast<unsigned>(a);
        return true;
      }
      if (slash + 1 < t.size() && t[slash + 1] == 'p' && ParseUnsigned(t.substr(slash + 2), 1u << 20, &b) &&
          b > 0) {
        spec->kind = VolumeSpec::Partition;
        spec->disk = static_cast<unsigned>(a);
        spec->number = static_cast<unsigned>(b);
        return true;
      }
    }
    if (error)
      *error = "'" + text + "' is not a partition name (diskN/pM, M from 1, diskN/extended or diskN@START)";
    return false;
  }
  if (t.rfind("cdrom", 0) == 0) {
    if (ParseUnsigned(t.substr(5), 1u << 20, &a)) {
      spec->kind = VolumeSpec::Cdrom;
      spec->number = static_cast<unsigned>(a);
      return true;
    }
    if (error) *error = "'" + text + "' is not a CD-ROM name (cdromN)";
    return false;
  }
  for (const auto& [prefix, kind] : kFtPrefixes) {
    std::string p = prefix;
    if (t.rfind(p, 0) != 0) continue;
    if (ParseUnsigned(t.substr(p.size()), 1u << 20, &a)) {
      spec->kind = VolumeSpec::FtSet;
      spec->ftKind = kind;
      spec->number = static_cast<unsigned>(a);
      return true;
    }
    if (error) *error = "'" + text + "' is not an FT set name (" + p + "G, G the FT group)";
    return false;
  }
  std::string digits = !t.empty() && t[0] == '#' ? t.substr(1) : t;
  if (ParseUnsigned(digits, UINT64_MAX, &a) && a != 0) {
    spec->kind = VolumeSpec::ObjectId;
    spec->id = a;
    return true;
  }
  if (error)
    *error = "'" + text +
             "' names no volume (use a drive letter such as E:, diskN/pM, cdromN, or an FT set such as "
             "mirror0)";
  return false;
}

std::string HexStatus(uint32_t status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", status);
  return buf;
}

namespace {

// Every code a request can end with: its name in the host's and provider's headers and
// what it means for the administrator.
struct StatusEntry {
  uint32_t code;
  const char* name;
  const char* text;
};
#define STATUS_ENTRY(code, text) \
  { code, #code, text }
constexpr StatusEntry kStatusTable[] = {
    {0, "STATUS_SUCCESS", "success"},
    // The provider's own codes.
    STATUS_ENTRY(FT_E_REGISTRY_UPDATE,
                 "the disk registry cannot be updated (no record for the partition, or the store failed)"),
    STATUS_ENTRY(FT_E_NO_SUCH_SET, "the FT configuration has no set for this volume"),
    STATUS_ENTRY(FT_E_NO_PARTITION, "the member's partition is not in the database"),
    STATUS_ENTRY(LDM_E_TABLE_UNREADABLE, "the partition table cannot be read"),
    STATUS_ENTRY(LDM_E_NOT_FREE_SPACE,
                 "the offset is not the start of a free region, or the size does not fit in it"),
    STATUS_ENTRY(LDM_E_NOTHING_LEFT,
                 "nothing is left after rounding the end to a cylinder boundary; ask for at least half a "
                 "cylinder more"),
    STATUS_ENTRY(LDM_E_ZAP_FAILED, "the first sector of the new partition cannot be cleared"),
    STATUS_ENTRY(LDM_E_EXTENDED_IN_TABLE,
                 "the disk has an extended partition already; create logical drives inside it"),
    STATUS_ENTRY(LDM_E_WRITE_FAILED, "the new partition table cannot be written"),
    STATUS_ENTRY(LDM_E_OPEN_FAILED, "the disk cannot be opened"),
    STATUS_ENTRY(LDM_E_REGIONS_FAILED, "the partition table cannot be turned into regions"),
    STATUS_ENTRY(LDM_E_GEOMETRY_FAILED, "the disk geometry cannot be read"),
    STATUS_ENTRY(FT_E_CONFIG_UNREADABLE, "the FT configuration in the registry cannot be loaded"),
    STATUS_ENTRY(
        LDM_E_FT_VOLUME,
        "the volume belongs to an FT set; break or delete the set first (see 'ftdiskctl ft --help')"),
    STATUS_ENTRY(FT_E_CANNOT_OPEN, "the volume's device cannot be opened"),
    STATUS_ENTRY(LDM_E_EXTENDED_NOT_EMPTY,
                 "the extended partition still holds a logical drive; delete its logical drives first"),
    STATUS_ENTRY(
        LDM_E_NO_FREE_SLOT,
        "all four primary slots are in use; delete a primary partition, or create a logical drive in "
        "the extended partition"),
    STATUS_ENTRY(LDM_E_EXTENDED_EXISTS, "an extended partition exists already"),
    STATUS_ENTRY(LDM_E_NOT_SINGLE_PARTITION, "the volume is not a single-partition volume"),
    STATUS_ENTRY(LDM_E_TABLE_READ_ONLY, "the disk's partition table is left alone by requests"),
    STATUS_ENTRY(LDM_E_SIGNATURE_NOT_UNIQUE,
                 "the disk's signature is 0 or another disk's too; give it a fresh one with 'attach "
                 "--write-signature'"),
    // The host's codes.
    STATUS_ENTRY(ZM_E_FAIL, "the request failed"),
    STATUS_ENTRY(ZM_E_NO_OBJECT, "no such object"),
    STATUS_ENTRY(ZM_E_NO_PROPERTY, "a property is missing"),
    STATUS_ENTRY(ZM_E_NO_PROVIDER, "the provider is not loaded"),
    STATUS_ENTRY(ZM_E_NOT_THIS_PROVIDER, "the object belongs to another provider"),
    STATUS_ENTRY(ZM_E_INVALID_HANDLE, "invalid handle"),
    STATUS_ENTRY(ZM_E_LETTER_IN_USE,
                 "the drive letter is in use; remove it from its volume first or pick another"),
    STATUS_ENTRY(ZM_E_BAD_LETTER, "the drive letter is not valid (C: to Z:)"),
    STATUS_ENTRY(FT_E_CANNOT_LOCK, "the CD-ROM drive cannot be locked"),
    STATUS_ENTRY(ZM_E_WRONG_PARENT, "the object has a wrong or ambiguous parent"),
    STATUS_ENTRY(ZM_E_WRONG_PARENT_TYPE, "the object has a wrong or ambiguous parent"),
    STATUS_ENTRY(ZM_E_AMBIGUOUS_PARENT, "the object has a wrong or ambiguous parent"),
    // The standard family.
    STATUS_ENTRY(E_INVALIDARG_ZM, "the request does not apply to this kind of object"),
    STATUS_ENTRY(E_NOTIMPL_ZM, "this request is not implemented yet"),
    STATUS_ENTRY(E_OUTOFMEMORY_ZM, "out of memory"),
};
#undef STATUS_ENTRY

const StatusEntry* FindStatus(uint32_t status) {
  for (const auto& e : kStatusTable)
    if (e.code == status) return &e;
  return nullptr;
}

}  // namespace

std::string StatusName(uint32_t status) {
  const StatusEntry* e = FindStatus(status);
  return e ? e->name : HexStatus(status);
}

std::string StatusText(uint32_t status) {
  if (const StatusEntry* e = FindStatus(status)) return e->text;
  if ((status & 0xFFFF0000u) == 0xC1100000u) return "the provider reported an error";
  if ((status & 0xFFFF0000u) == 0xC1000000u) return "the host reported an error";
  return "the request failed";
}

std::string FailureSentence(const std::string& what, uint32_t status) {
  return what + ": " + StatusText(status) + " (" + HexStatus(status) + ")";
}

bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  std::string cur;
  bool inWord = false;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
        cur += line[++i];
      } else {
        cur += c;
      }
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      inWord = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      cur += line[++i];
      inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words->push_back(cur);
      cur.clear();
      inWord = false;
    } else if (c == '#' && !inWord && words->empty()) {
      break;  // a line whose first word starts with # is a comment; "#14" later is an id
    } else {
      cur += c;
      inWord = true;
    }
  }
  if (quote) {
    if (error) *error = "unterminated quote";
    return false;
  }
  if (inWord) words->push_back(cur);
  return true;
}

// Region types 1 to 3 share their names with the volume types of the same numbers.
std::string RegionKindName(uint32_t regionType) {
  return regionType >= 1 && regionType <= 3 ? VolumeKindName(regionType) : "unknown";
}

std::string VolumeKindName(uint32_t t) {
  switch (t) {
    case 1:
      return "primary";
    case 2:
      return "extended";
    case 3:
      return "logical";
    case 4:
      return "cdrom";
    case 5:
      return "volume_set";
    case 6:
      return "stripe";
    case 7:
      return "mirror";
    case 8:
      return "stripe_with_parity";
    default:
      return "unknown";
  }
}

std::string StateText(uint64_t state) {
  std::string s;
  struct Bit {
    uint64_t bit;
    const char* name;
  };
  static const Bit kBits[] = {{0x4, "healthy"},
                              {0x2, "orphaned"},
                              {0x8, "failed"},
                              {0x8000, "regenerating"},
                              {0x20000, "has-orphan"},
                              {0x400000000ull, "initializing"},
                              {0x4000000000ull, "disabled"}};
  uint64_t rest = state;
  for (const Bit& b : kBits) {
    if (state & b.bit) {
      if (!s.empty()) s += '+';
      s += b.name;
      rest &= ~b.bit;
    }
  }
  if (rest != 0) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(rest));
    if (!s.empty()) s += '+';
    s += buf;
  }
  return s.empty() ? "none" : s;
}

}  // namespace cli
