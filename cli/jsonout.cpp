// The one JSON document of a command: success and failure share the "ok" and "error" keys.
#include "jsonout.h"

#include <atomic>
#include <ostream>

#include "cli.h"

namespace cli {

json JsonError(const std::string& message, const json& status) {
  return json{{"ok", false}, {"error", {{"message", message}, {"status", status}}}};
}

namespace {
std::atomic<unsigned> gDocuments{0};
HeldDocument* gHeld = nullptr;  // the innermost live one
}  // namespace

void PrintJsonText(std::ostream& out, std::string text) {
  ++gDocuments;
  if (gHeld != nullptr && gHeld->Hold(out, &text)) return;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.put('\n');
}

HeldDocument::HeldDocument(std::ostringstream& out) : out_(out), outer_(gHeld) { gHeld = this; }

HeldDocument::~HeldDocument() { gHeld = outer_; }

bool HeldDocument::Hold(std::ostream& out, std::string* text) {
  if (&out != &out_ || !document_.empty() || out_.tellp() != 0) return false;
  document_ = std::move(*text);
  document_ += '\n';
  return true;
}

std::string HeldDocument::Text() const { return document_ + out_.str(); }

void HeldDocument::Print(std::ostream& to) const {
  to.write(document_.data(), static_cast<std::streamsize>(document_.size()));
  if (out_.tellp() != 0) to << out_.str();
}

void PrintJsonResult(std::ostream& out, json doc) {
  if (!doc.is_object()) doc = json{{"result", doc}};
  if (!doc.contains("ok")) doc["ok"] = true;
  if (!doc.contains("error")) doc["error"] = nullptr;
  PrintJsonText(out, JsonText(doc));
}

unsigned JsonDocumentsPrinted() { return gDocuments; }

void PrintJsonFailure(std::ostream& out, const std::string& message, const json& status, json doc) {
  if (!doc.is_object()) doc = json::object();
  doc.update(JsonError(message, status));
  PrintJsonResult(out, std::move(doc));
}

void PrintJsonResult(std::ostream& out, const Machine& m, json extra) {
  if (!extra.contains("ok")) extra["ok"] = true;
  if (!extra.contains("error")) extra["error"] = nullptr;
  PrintJsonText(out, MachineJsonText(m, extra));
}

void PrintJsonFailure(std::ostream& out, const std::string& message, const json& status, const Machine& m,
                      json extra) {
  extra.update(JsonError(message, status));
  PrintJsonResult(out, m, std::move(extra));
}

}  // namespace cli
