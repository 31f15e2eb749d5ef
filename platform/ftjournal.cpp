// The FT journal's file: a few lines of text, the last one a checksum of the others.
//
//   ftdisk-ft-journal 1
//   set TYPE GROUP
//   member SIGNATURE OFFSET LENGTH          one per member, in member order
//   marked STATE...                         one state per member
//   dirty BEGIN END                         any number, sorted, disjoint
//   import BYTES DONE SOURCE                SOURCE with %XX for control bytes and '%'
//   pass copy|parity MEMBER all|dirty DONE
//   sum FNV1A64
#include "ftjournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "machine.h"
#include "machine_state.h"
#include "overlay.h"

namespace ntp::ftjournal {

namespace {

namespace fs = std::filesystem;

constexpr const char* kHeader = "ftdisk-ft-journal 1";
constexpr size_t kMaxFile = 1 << 20;
constexpr size_t kMaxRanges = 4096;

fs::path Dir() { return fs::path(MachineDir()) / "ft-journal"; }

uint64_t Fnv(const std::string& s) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

std::string Escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == '%' || c == 0x7f) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool Unescape(const std::string& s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
      return false;
    *out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return true;
}

std::string Text(const Journal& j) {
  std::ostringstream o;
  o << kHeader << "\nset " << j.type << " " << j.group << "\n";
  for (const auto& m : j.members) o << "member " << m.signature << " " << m.offset << " " << m.length << "\n";
  if (!j.marked.empty()) {
    o << "marked";
    for (uint32_t s : j.marked) o << " " << s;
    o << "\n";
  }
  for (const auto& r : j.dirty) o << "dirty " << r.begin << " " << r.end << "\n";
  if (j.importing) o << "import " << j.bytes << " " << j.done << " " << Escape(j.source) << "\n";
  if (!j.pass.empty())
    o << "pass " << j.pass << " " << j.member << " " << (j.dirtyOnly ? "dirty" : "all") << " " << j.passDone
      << "\n";
  std::string body = o.str();
  return body + "sum " + std::to_string(Fnv(body)) + "\n";
}

// Parses and checks a journal's text; false with why on anything out of place.
bool Parse(const std::string& text, Journal* j, std::string* why) {
  const size_t sumAt = text.rfind("sum ");
  if (sumAt == std::string::npos || (sumAt != 0 && text[sumAt - 1] != '\n') || text.back() != '\n') {
    *why = "it has no checksum";
    return false;
  }
  const std::string body = text.substr(0, sumAt);
  if (text.substr(sumAt) != "sum " + std::to_string(Fnv(body)) + "\n") {
    *why = "its checksum does not match";
    return false;
  }
  std::istringstream in(body);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) {
    *why = "it is not an FT journal of this version";
    return false;
  }
  bool haveSet = false;
  while (std::getline(in, line)) {
    std::istringstream w(line);
    std::string key;
    w >> key;
    bool ok = true;
    if (key == "set" && !haveSet) {
      ok = static_cast<bool>(w >> j->type >> j->group);
      haveSet = true;
    } else if (key == "member" && j->members.size() < ftmap::kMaxMembers) {
      MemberId m;
      ok = static_cast<bool>(w >> m.signature >> m.offset >> m.length) && m.offset >= 0 && m.length > 0;
      j->members.push_back(m);
    } else if (key == "marked" && j->marked.empty()) {
      for (uint32_t s; w >> s;) j->marked.push_back(s);
      ok = w.eof() && j->marked.size() == j->members.size();
    } else if (key == "dirty" && j->dirty.size() < kMaxRanges) {
      ftmap::Range r;
      ok = static_cast<bool>(w >> r.begin >> r.end) && r.begin < r.end &&
           (j->dirty.empty() || j->dirty.back().end < r.begin);
      j->dirty.push_back(r);
    } else if (key == "import" && !j->importing) {
      std::string source;
      ok = static_cast<bool>(w >> j->bytes >> j->done) && (j->bytes == 0 || j->done <= j->bytes);
      if (ok && w.get() == ' ') std::getline(w, source);
      ok = ok && Unescape(source, &j->source);
      j->importing = true;
    } else if (key == "pass" && j->pass.empty()) {
      std::string scope;
      ok = static_cast<bool>(w >> j->pass >> j->member >> scope >> j->passDone) &&
           (j->pass == "copy" || j->pass == "parity") && (scope == "all" || scope == "dirty") &&
           j->member >= -1 && j->member < static_cast<int>(j->members.size());
      j->dirtyOnly = scope == "dirty";
    } else {
      ok = false;
    }
    std::string rest;
    if (!ok || (key != "import" && (w >> rest))) {
      *why = "its line '" + line.substr(0, 80) + "' is malformed";
      return false;
    }
  }
  if (!haveSet || j->members.empty()) {
    *why = "it names no set";
    return false;
  }
  return true;
}

bool SyncDir(const fs::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool ok = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

}  // namespace

std::string SetName(uint32_t type, uint16_t group) {
  static const char* const kWords[] = {"mirror", "stripe", "parity", "volset"};
  return (type < 4 ? kWords[type] : "ft") + std::to_string(group);
}

bool Load(uint32_t type, uint16_t group, const std::vector<MemberId>& members, Journal* journal,
          std::string* why) {
  why->clear();
  *journal = Journal{};
  std::ifstream f(Dir() / SetName(type, group), std::ios::binary);
  if (!f) return false;
  std::string text(kMaxFile + 1, '\0');
  f.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(f.gcount()));
  Journal j;
  if (text.size() > kMaxFile) {
    *why = "it is too large";
  } else if (Parse(text, &j, why)) {
    if (j.type != type || j.group != group)
      *why = "it belongs to " + SetName(j.type, j.group);
    else if (j.members != members)
      *why = "it was written for other members than the set has now";
  }
  if (!why->empty()) return false;
  *journal = std::move(j);
  return true;
}

bool Save(const Journal& journal, std::string* error) {
  if (OverlayActive()) return true;
  const fs::path dir = Dir(), file = dir / SetName(journal.type, journal.group);
  std::error_code ec;
  if (journal.Empty()) {
    if (!fs::remove(file, ec) && ec) {
      *error = "cannot remove " + file.string() + ": " + ec.message();
      return false;
    }
    SyncDir(dir);
    detail::CrashPoint();
    return true;
  }
  fs::create_directories(dir, ec);
  const fs::path tmp = file.string() + ".tmp";
  const std::string text = Text(journal);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            ::fsync(fd) == 0;
  const int saved = errno;
  if (fd >= 0) ::close(fd);
  if (ok) {
    fs::rename(tmp, file, ec);
    ok = !ec && SyncDir(dir);
  }
  if (!ok) {
    *error =
        "cannot write the FT journal " + file.string() + ": " + (ec ? ec.message() : std::strerror(saved));
    return false;
  }
  detail::CrashPoint();
  return true;
}

}  // namespace ntp::ftjournal
