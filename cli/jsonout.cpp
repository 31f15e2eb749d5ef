// The one JSON document of a command: success and failure share the "ok" and "error" keys.
#include <atomic>
#include <charconv>
#include <cstdio>
#include <ostream>

#include "cli.h"

namespace cli {

json JsonError(const std::string& message, const json& status) {
  return json{{"ok", false}, {"error", {{"message", message}, {"status", status}}}};
}

namespace {
std::atomic<unsigned> gDocuments{0};

// A string with nlohmann's escaping. Strings with bytes above 0x7F go to nlohmann's own
// serializer, which checks the UTF-8 and puts U+FFFD in place of invalid bytes (a path
// is not always UTF-8, and an exception here would abort the command).
void AppendString(std::string& out, const std::string& s) {
  for (unsigned char c : s) {
    if (c >= 0x80) {
      out += json(s).dump(-1, ' ', false, json::error_handler_t::replace);
      return;
    }
  }
  out += '"';
  size_t plain = 0;  // start of the run not yet appended
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        char u[8];
        std::snprintf(u, sizeof u, "\\u%04x", c);
        out += u;
      }
    }
  }
  out.append(s, plain, std::string::npos);
  out += '"';
}

template <typename T>
void AppendInteger(std::string& out, T v) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// Appends v as dump(2) prints it at the given depth; false for values this does not
// print (binary, discarded), which only nlohmann's serializer knows how to show.
bool Append(std::string& out, const json& v, size_t depth) {
  switch (v.type()) {
    case json::value_t::object: {
      if (v.empty()) {
        out += "{}";
        return true;
      }
      out += "{\n";
      bool first = true;
      for (const auto& [key, value] : v.get_ref<const json::object_t&>()) {
        if (!first) out += ",\n";
        first = false;
        out.append(2 * depth + 2, ' ');
        AppendString(out, key);
        out += ": ";
        if (!Append(out, value, depth + 1)) return false;
      }
      out += '\n';
      out.append(2 * depth, ' ');
      out += '}';
      return true;
    }
    case json::value_t::array: {
      if (v.empty()) {
        out += "[]";
        return true;
      }
      out += "[\n";
      bool first = true;
      for (const json& value : v.get_ref<const json::array_t&>()) {
        if (!first) out += ",\n";
        first = false;
        out.append(2 * depth + 2, ' ');
        if (!Append(out, value, depth + 1)) return false;
      }
      out += '\n';
      out.append(2 * depth, ' ');
      out += ']';
      return true;
    }
    case json::value_t::string:
      AppendString(out, v.get_ref<const std::string&>());
      return true;
    case json::value_t::boolean:
      out += v.get<bool>() ? "true" : "false";
      return true;
    case json::value_t::null:
      out += "null";
      return true;
    case json::value_t::number_integer:
      AppendInteger(out, v.get<int64_t>());
      return true;
    case json::value_t::number_unsigned:
      AppendInteger(out, v.get<uint64_t>());
      return true;
    case json::value_t::number_float:
      out += v.dump();
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string JsonText(const json& doc) {
  std::string out;
  out.reserve(4096);
  if (!Append(out, doc, 0)) out = doc.dump(2, ' ', false, json::error_handler_t::replace);
  return out;
}

void PrintJsonResult(std::ostream& out, json doc) {
  if (!doc.is_object()) doc = json{{"result", doc}};
  if (!doc.contains("ok")) doc["ok"] = true;
  if (!doc.contains("error")) doc["error"] = nullptr;
  std::string text = JsonText(doc);
  text += '\n';
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  ++gDocuments;
}

unsigned JsonDocumentsPrinted() { return gDocuments; }

void PrintJsonFailure(std::ostream& out, const std::string& message, const json& status, json doc) {
  if (!doc.is_object()) doc = json::object();
  doc.update(JsonError(message, status));
  PrintJsonResult(out, std::move(doc));
}

}  // namespace cli
