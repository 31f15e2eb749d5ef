// REGEDIT4 text files: export of one key's values, import of any number of keys.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\DISK]
//   "Information"=hex:03,00,00,00,...,   (a backslash continues the line)
//     00,00
//   "\\Device\\CdRom0"="D:"
//   "Count"=dword:00000001
//
// Strings are written as "text" only when they are plain printable ASCII with their
// terminator; everything else is written as hex(type):, so an export always imports
// back to the same bytes. An import is parsed and checked whole before anything is
// written, and then applied in one transaction.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "ntplatform.h"
#include "registry_internal.h"
#include "registry_store.h"

namespace ntp::reg {
namespace {

const char kRoot[] = "HKEY_LOCAL_MACHINE";

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A REG_SZ value that a quoted string reproduces exactly: printable ASCII, one
// terminating NUL, nothing after it.
bool PlainString(const std::vector<uint8_t>& data, std::string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  size_t n = data.size() / 2 - 1;
  if (data[2 * n] != 0 || data[2 * n + 1] != 0) return false;
  text->clear();
  for (size_t i = 0; i < n; ++i) {
    if (data[2 * i + 1] != 0 || data[2 * i] < 0x20 || data[2 * i] > 0x7E) return false;
    *text += char(data[2 * i]);
  }
  return true;
}

std::string HexLine(const std::string& prefix, const std::vector<uint8_t>& data) {
  std::string out, cur = prefix;
  char piece[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(piece, sizeof piece, i + 1 < data.size() ? "%02x," : "%02x", data[i]);
    if (cur.size() + 3 > 77 && cur.size() > 2) {
      out += cur + "\\\r\n";
      cur = "  ";
    }
    cur += piece;
  }
  return out + cur + "\r\n";
}

std::string ValueLine(const Value& v) {
  std::string name = v.name.empty() ? "@" : Quote(ToUtf8(v.name));
  std::string text;
  if (v.type == REG_SZ && PlainString(v.data, &text)) return name + "=" + Quote(text) + "\r\n";
  if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t d = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 |
                 uint32_t(v.data[3]) << 24;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", d);
    return name + "=dword:" + buf + "\r\n";
  }
  if (v.type == REG_BINARY) return HexLine(name + "=hex:", v.data);
  char kind[24];
  std::snprintf(kind, sizeof kind, "=hex(%x):", v.type);
  return HexLine(name + kind, v.data);
}

// ---- the reader ----

struct Parser {
  std::string file;
  std::string* error;
  int line = 0;

  bool Fail(const std::string& text) {
    if (error) *error = file + ":" + std::to_string(line) + ": " + text;
    return false;
  }
};

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted string starting at s[*pos] == '"'; on success *pos is just past the quote.
bool ParseQuoted(Parser& p, const std::string& s, size_t* pos, std::string* out) {
  out->clear();
  for (size_t i = *pos + 1; i < s.size(); ++i) {
    if (s[i] == '"') {
      *pos = i + 1;
      return true;
    }
    if (s[i] == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
        return p.Fail("bad escape in a quoted string (only \\\\ and \\\" are allowed)");
      ++i;
    }
    *out += s[i];
  }
  return p.Fail("quoted string is not closed");
}

bool ParseHexBytes(Parser& p, const std::string& s, std::vector<uint8_t>* out) {
  out->clear();
  std::string t;
  for (char c : s)
    if (c != ' ' && c != '\t') t += c;
  if (t.empty()) return true;
  size_t start = 0;
  while (start <= t.size()) {
    size_t comma = t.find(',', start);
    std::string item = t.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty()) {
      if (comma == std::string::npos) break;  // one trailing comma is tolerated
      return p.Fail("empty byte in hex data");
    }
    if (item.size() > 2 || HexDigit(item[0]) < 0 || (item.size() == 2 && HexDigit(item[1]) < 0))
      return p.Fail("'" + item + "' is not a hex byte");
    out->push_back(
        uint8_t(item.size() == 2 ? HexDigit(item[0]) * 16 + HexDigit(item[1]) : HexDigit(item[0])));
    if (comma == std::string::npos) break;
    start = comma + 1;
    if (start == t.size()) break;
  }
  return true;
}

bool ParseValue(Parser& p, const std::string& s, const std::u16string& rel, BatchOp* op) {
  op->rel = rel;
  op->hasValue = true;
  size_t pos = 0;
  std::string name;
  if (s[0] == '@') {
    pos = 1;
  } else if (!ParseQuoted(p, s, &pos, &name)) {
    return false;
  }
  if (!FromUtf8(name, &op->name)) return p.Fail("value name is not valid UTF-8");
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  if (pos >= s.size() || s[pos] != '=') return p.Fail("expected '=' after the value name");
  std::string rest = Trim(s.substr(pos + 1));
  if (rest == "-") {
    op->remove = true;
    return true;
  }
  if (!rest.empty() && rest[0] == '"') {
    size_t q = 0;
    std::string text;
    if (!ParseQuoted(p, rest, &q, &text)) return false;
    if (!Trim(rest.substr(q)).empty()) return p.Fail("unexpected text after the string");
    std::u16string w;
    if (!FromUtf8(text, &w)) return p.Fail("string is not valid UTF-8");
    w.push_back(u'\0');
    op->type = REG_SZ;
    op->data.resize(w.size() * 2);
    for (size_t i = 0; i < w.size(); ++i) {
      op->data[2 * i] = uint8_t(w[i]);
      op->data[2 * i + 1] = uint8_t(w[i] >> 8);
    }
    return true;
  }
  if (rest.compare(0, 6, "dword:") == 0) {
    std::string digits = Trim(rest.substr(6));
    if (digits.empty() || digits.size() > 8) return p.Fail("dword needs 1 to 8 hex digits");
    uint32_t v = 0;
    for (char c : digits) {
      if (HexDigit(c) < 0) return p.Fail("'" + digits + "' is not a hex dword");
      v = v * 16 + uint32_t(HexDigit(c));
    }
    op->type = REG_DWORD;
    op->data = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return true;
  }
  if (rest.compare(0, 4, "hex:") == 0) {
    op->type = REG_BINARY;
    return ParseHexBytes(p, rest.substr(4), &op->data);
  }
  if (rest.compare(0, 4, "hex(") == 0) {
    size_t close = rest.find("):");
    std::string digits = close == std::string::npos ? "" : rest.substr(4, close - 4);
    if (digits.empty() || digits.size() > 8) return p.Fail("hex(type): needs a hex type");
    uint32_t t = 0;
    for (char c : digits) {
      if (HexDigit(c) < 0) return p.Fail("'" + digits + "' is not a hex value type");
      t = t * 16 + uint32_t(HexDigit(c));
    }
    op->type = t;
    return ParseHexBytes(p, rest.substr(close + 2), &op->data);
  }
  return p.Fail("unknown value data (expected \"string\", dword:, hex: or hex(type):)");
}

// The file's text as UTF-8: a UTF-16LE file (with its mark) is converted.
bool ReadText(Parser& p, std::string* text) {
  std::ifstream in(p.file, std::ios::binary);
  if (!in) return p.Fail("cannot open the file");
  std::stringstream ss;
  ss << in.rdbuf();
  std::string raw = ss.str();
  if (raw.size() >= 2 && uint8_t(raw[0]) == 0xFF && uint8_t(raw[1]) == 0xFE) {
    if (raw.size() % 2 != 0) return p.Fail("UTF-16 file with an odd number of bytes");
    std::u16string w;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) w += char16_t(uint8_t(raw[i]) | uint8_t(raw[i + 1]) << 8);
    *text = ToUtf8(w);
  } else if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    *text = raw.substr(3);
  } else {
    *text = raw;
  }
  return true;
}

}  // namespace

bool ExportRegFile(const std::u16string& keyPath, const std::string& file, std::string* error) {
  std::u16string rel, display;
  NTSTATUS st = CanonicalPath(keyPath, &rel);
  if (NT_SUCCESS(st)) st = KeyDisplayPath(rel, &display);
  if (!NT_SUCCESS(st)) {
    if (error) *error = "no such key: " + ToUtf8(keyPath);
    return false;
  }
  std::string out =
      "REGEDIT4\r\n\r\n[" + std::string(kRoot) + (display.empty() ? "" : "\\" + ToUtf8(display)) + "]\r\n";
  for (const auto& v : ListValues(keyPath)) {
    // A name with a line break or other control character has no REGEDIT4 spelling.
    for (char16_t c : v.name)
      if (c < 0x20) {
        if (error) *error = "value name \"" + ToUtf8(v.name) + "\" holds a control character; not exported";
        return false;
      }
    out += ValueLine(v);
  }
  out += "\r\n";
  // Written beside the target and renamed over it, so a failed export leaves no half file.
  std::string tmp = file + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << out;
    f.flush();
    if (!f) {
      std::remove(tmp.c_str());
      if (error) *error = "cannot write " + file;
      return false;
    }
  }
  if (std::rename(tmp.c_str(), file.c_str()) != 0) {
    std::remove(tmp.c_str());
    if (error) *error = "cannot write " + file;
    return false;
  }
  return true;
}

bool ParseRegFile(const std::string& file, std::vector<ImportValue>* values, std::string* error) {
  values->clear();
  Parser p{file, error};
  std::string text;
  if (!ReadText(p, &text)) return false;

  std::u16string rel;
  bool inKey = false, header = false;
  std::istringstream lines(text);
  std::string raw;
  int next = 0;
  auto fullPath = [](const std::u16string& r) {
    return r.empty() ? std::u16string(u"\\REGISTRY\\MACHINE") : u"\\REGISTRY\\MACHINE\\" + r;
  };
  while (std::getline(lines, raw)) {
    p.line = ++next;
    std::string s = Trim(raw);
    // Hex data continues on the next line after a trailing backslash.
    while (!s.empty() && s.back() == '\\' && std::getline(lines, raw)) {
      ++next;
      s.pop_back();
      s += Trim(raw);
    }
    if (s.empty() || s[0] == ';') continue;
    if (!header) {
      if (s != "REGEDIT4" && s != "Windows Registry Editor Version 5.00")
        return p.Fail("not a registry file (the first line must be REGEDIT4)");
      header = true;
      continue;
    }
    if (s[0] == '[') {
      if (s.back() != ']') return p.Fail("key line does not end with ']'");
      std::string path = s.substr(1, s.size() - 2);
      if (!path.empty() && path[0] == '-') return p.Fail("deleting keys is not supported");
      std::u16string wide;
      if (!FromUtf8(path, &wide)) return p.Fail("key name is not valid UTF-8");
      if (!NT_SUCCESS(CanonicalPath(wide, &rel))) return p.Fail("'" + path + "' is not a key of " + kRoot);
      ImportValue key;
      key.keyPath = fullPath(rel);
      key.keyOnly = true;
      values->push_back(key);
      inKey = true;
      continue;
    }
    if (s[0] != '"' && s[0] != '@') return p.Fail("expected a [key] or a \"value\"=data line");
    if (!inKey) return p.Fail("value before any [key] line");
    BatchOp op;
    if (!ParseValue(p, s, rel, &op)) return false;
    ImportValue v;
    v.keyPath = fullPath(rel);
    v.name = std::move(op.name);
    v.type = op.type;
    v.data = std::move(op.data);
    v.remove = op.remove;
    values->push_back(std::move(v));
  }
  if (!header) {
    p.line = next;
    return p.Fail("empty file (no REGEDIT4 line)");
  }
  return true;
}

bool ImportValues(const std::vector<ImportValue>& values, std::string* error) {
  std::vector<BatchOp> ops;
  for (const ImportValue& v : values) {
    BatchOp op;
    if (!NT_SUCCESS(CanonicalPath(v.keyPath, &op.rel))) {
      if (error) *error = "'" + ToUtf8(v.keyPath) + "' is not a key of " + kRoot + "; nothing was changed";
      return false;
    }
    op.hasValue = !v.keyOnly;
    op.remove = v.remove;
    op.name = v.name;
    op.type = v.type;
    op.data = v.data;
    ops.push_back(std::move(op));
  }
  NTSTATUS st = ApplyBatch(ops);
  if (!NT_SUCCESS(st)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", uint32_t(st));
    if (error)
      *error = std::string("the registry refused the import (status ") + buf + "); nothing was changed";
    return false;
  }
  return true;
}

bool ImportRegFile(const std::string& file, std::string* error) {
  std::vector<ImportValue> values;
  if (!ParseRegFile(file, &values, error)) return false;
  if (!ImportValues(values, error)) {
    if (error) *error = file + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace ntp::reg
