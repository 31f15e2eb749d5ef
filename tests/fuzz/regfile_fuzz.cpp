// Fuzz target for the REGEDIT4 importer. The importer reads a file into an open
// registry store, so the target opens one store once (in a fresh directory, on a
// memory file system when there is one) and writes each input to a file there.
//
// Checked: a refused import says why and leaves the last key it names as it was; an
// applied import's last key exports, and that export imports back to the same values.
//
// Built and run by scripts/fuzz.sh; replayed by test_fuzzreplay.
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "registry_internal.h"
#include "registry_store.h"

namespace {

// Each store is used for this many inputs, then thrown away, so it stays small.
constexpr unsigned kInputsPerStore = 5000;

struct Store {
  std::string dir;
  unsigned uses = 0;

  // A fresh directory each time: no record of the old store or its backups, which
  // would have the new one refused as lost.
  bool Reopen() {
    ntp::reg::Close();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    dir = FuzzScratchDir("regfile-fuzz");
    uses = 0;
    std::string error;
    return ntp::reg::Open(dir, &error);
  }
  ~Store() {
    ntp::reg::Close();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

Store& TheStore() {
  static Store store;
  if (store.dir.empty() || ++store.uses >= kInputsPerStore)
    FUZZ_CHECK(store.Reopen(), "a registry store opens");
  return store;
}

// The last "[...]" line of the input, as a key path for the store (empty if none).
std::u16string LastKey(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size), last;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    size_t a = line.find_first_not_of(" \t");
    if (a != std::string::npos && line[a] == '[' && line.size() - a >= 2 && line.back() == ']')
      last = line.substr(a + 1, line.size() - a - 2);
    pos = end + 1;
  }
  std::u16string wide;
  if (last.empty() || !ntp::reg::FromUtf8(last, &wide)) return u"";
  return wide;
}

bool SameValues(const std::vector<ntp::reg::Value>& a, const std::vector<ntp::reg::Value>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
  return true;
}

}  // namespace

int FuzzRegFile(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;  // the importer reads whole files; big ones add nothing
  Store& store = TheStore();
  const std::string in = store.dir + "/in.reg", out = store.dir + "/out.reg";
  FUZZ_CHECK(FuzzWriteFile(in, data, size), "the input file is written");

  const std::u16string key = LastKey(data, size);
  const std::vector<ntp::reg::Value> before =
      key.empty() ? std::vector<ntp::reg::Value>{} : ntp::reg::ListValues(key);
  std::string error;
  if (!ntp::reg::ImportRegFile(in, &error)) {
    FUZZ_CHECK(!error.empty(), "every refusal says why");
    if (!key.empty())
      FUZZ_CHECK(SameValues(ntp::reg::ListValues(key), before), "a refused import changes nothing");
    return 0;
  }
  if (key.empty()) return 1;

  // What was applied exports, and the export imports back to the same values. The
  // export may refuse a name it cannot spell; that is its own, checked, answer.
  const std::vector<ntp::reg::Value> applied = ntp::reg::ListValues(key);
  error.clear();
  if (!ntp::reg::ExportRegFile(key, out, &error)) {
    FUZZ_CHECK(!error.empty(), "a refused export says why");
    return 1;
  }
  error.clear();
  FUZZ_CHECK(ntp::reg::ImportRegFile(out, &error), error.c_str());
  FUZZ_CHECK(SameValues(ntp::reg::ListValues(key), applied), "an export imports back to the same values");
  return 1;
}

FUZZ_ENTRY(FuzzRegFile)
