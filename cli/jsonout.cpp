// The one JSON document of a command: success and failure share the "ok" and "error" keys.
#include <atomic>
#include <ostream>

#include "cli.h"

namespace cli {

json JsonError(const std::string& message, const json& status) {
  return json{{"ok", false}, {"error", {{"message", message}, {"status", status}}}};
}

namespace {
std::atomic<unsigned> gDocuments{0};
}  // namespace

void PrintJsonResult(std::ostream& out, json doc) {
  if (!doc.is_object()) doc = json{{"result", doc}};
  if (!doc.contains("ok")) doc["ok"] = true;
  if (!doc.contains("error")) doc["error"] = nullptr;
  out << doc.dump(2) << "\n";
  ++gDocuments;
}

unsigned JsonDocumentsPrinted() { return gDocuments; }

void PrintJsonFailure(std::ostream& out, const std::string& message, const json& status, json doc) {
  if (!doc.is_object()) doc = json::object();
  doc.update(JsonError(message, status));
  PrintJsonResult(out, std::move(doc));
}

}  // namespace cli
