#include "json_writer.h"

#include <array>

namespace model {

using json = nlohmann::json;

// A string with nlohmann's escaping. Strings with bytes above 0x7F go to nlohmann's own
// serializer, which checks the UTF-8 and puts U+FFFD in place of invalid bytes (a path
// is not always UTF-8, and an exception here would abort the command).
void JsonWriter::String(const std::string& s) {
  // The bytes that go out as they are: printable ASCII but the quote and the backslash.
  static constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
    return plain;
  }();
  char* p = Room(6 * s.size() + 2);
  *p++ = '"';
  // Most strings are plain throughout: found with one look-up per byte, copied at once.
  size_t plain = 0;
  while (plain < s.size() && kPlain[static_cast<unsigned char>(s[plain])]) ++plain;
  std::memcpy(p, s.data(), plain);
  p += plain;
  for (size_t i = plain; i < s.size(); ++i) {
    const char ch = s[i];
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      *p++ = ch;
      continue;
    }
    if (c >= 0x80) {
      std::string text = json(s).dump(-1, ' ', false, json::error_handler_t::replace);
      Put(text.data(), text.size());
      return;
    }
    *p++ = '\\';
    switch (c) {
      case '"':
        *p++ = '"';
        break;
      case '\\':
        *p++ = '\\';
        break;
      case '\b':
        *p++ = 'b';
        break;
      case '\f':
        *p++ = 'f';
        break;
      case '\n':
        *p++ = 'n';
        break;
      case '\r':
        *p++ = 'r';
        break;
      case '\t':
        *p++ = 't';
        break;
      default: {
        static const char kHex[] = "0123456789abcdef";
        *p++ = 'u';
        *p++ = '0';
        *p++ = '0';
        *p++ = kHex[c >> 4];
        *p++ = kHex[c & 15];
      }
    }
  }
  *p++ = '"';
  Commit(p);
}

// Writes v as dump(2) prints it, its lines indented by indent; false for values this
// does not print (binary, discarded), which only nlohmann's serializer knows how to show.
bool JsonWriter::Value(const json& v, size_t indent) {
  switch (v.type()) {
    case json::value_t::object: {
      const auto& object = *v.get_ptr<const json::object_t*>();
      if (object.empty()) {
        Put("{}", 2);
        return true;
      }
      Put("{", 1);
      bool first = true;
      for (const auto& [key, value] : object) {
        if (!first) Put(",", 1);
        first = false;
        Line(indent + 2);
        String(key);
        Put(": ", 2);
        if (!Value(value, indent + 2)) return false;
      }
      Line(indent);
      Put("}", 1);
      return true;
    }
    case json::value_t::array: {
      const auto& array = *v.get_ptr<const json::array_t*>();
      if (array.empty()) {
        Put("[]", 2);
        return true;
      }
      Put("[", 1);
      bool first = true;
      for (const json& value : array) {
        if (!first) Put(",", 1);
        first = false;
        Line(indent + 2);
        if (!Value(value, indent + 2)) return false;
      }
      Line(indent);
      Put("]", 1);
      return true;
    }
    case json::value_t::string:
      String(*v.get_ptr<const json::string_t*>());
      return true;
    case json::value_t::boolean:
      if (*v.get_ptr<const json::boolean_t*>())
        Put("true", 4);
      else
        Put("false", 5);
      return true;
    case json::value_t::null:
      Put("null", 4);
      return true;
    case json::value_t::number_integer:
      Integer(*v.get_ptr<const json::number_integer_t*>());
      return true;
    case json::value_t::number_unsigned:
      Integer(*v.get_ptr<const json::number_unsigned_t*>());
      return true;
    case json::value_t::number_float: {
      std::string text = v.dump();
      Put(text.data(), text.size());
      return true;
    }
    default:
      return false;
  }
}

std::string JsonText(const json& doc) {
  JsonWriter w;
  if (!w.Value(doc, 0)) return doc.dump(2, ' ', false, json::error_handler_t::replace);
  return w.Take();
}

std::string JsonLines(const std::string& text) {
  if (!json::accept(text)) return text;
  // The blanks and line breaks between tokens go; those inside strings are escaped
  // already, so every blank outside a string is layout.
  std::string line;
  line.reserve(text.size());
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      line += c;
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
      line += c;
    } else if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
      line += c;
    }
  }
  return line + "\n";
}

}  // namespace model
