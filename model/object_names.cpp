#include "object_names.h"

#include <cctype>
#include <cstdio>
#include <utility>

namespace model {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Bytes over 1023 in binary units: the number with one decimal, dropped when it is zero
// (100 rather than 100.0), and the unit's index (0 for Ki, up to 5 for Ei).
std::string Scaled(uint64_t bytes, unsigned* unit) {
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
  *unit = u;
  return s;
}

}  // namespace

std::string FormatUnits(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  unsigned u = 0;
  const std::string number = Scaled(bytes, &u);
  return number + " " + kUnits[u];
}

std::string FormatSize(uint64_t bytes) {
  static const char kUnits[] = "KMGTPE";
  if (bytes < 1024) return std::to_string(bytes) + "B";
  unsigned u = 0;
  const std::string number = Scaled(bytes, &u);
  return number + kUnits[u];
}

std::string UnitCount(uint64_t bytes, uint64_t unit, uint64_t sector) {
  if (unit == 0 || sector == 0) return std::to_string(bytes);
  const uint64_t whole = bytes / unit, rest = bytes % unit;
  if (rest == 0) return std::to_string(whole);
  if (sector < unit && rest % sector == 0)
    return std::to_string(whole) + "+" + std::to_string(rest / sector) + "s";
  return std::to_string(whole) + "+" + std::to_string(rest) + "b";
}

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

std::string SignatureText(uint32_t signature) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", signature);
  return buf;
}

}  // namespace model
