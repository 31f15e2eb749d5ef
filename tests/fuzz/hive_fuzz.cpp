// Fuzz target for the hive import path: a SYSTEM hive file read through libhivex, its
// DISK key's values checked as an import checks them, then written back into a copy of
// the same file as an export does.
//
// Checked: every refusal says why; whatever the checks accept reads back unchanged from
// the copy after the write; a refused write leaves the copy byte for byte as it was.
//
// Built and run by scripts/fuzz.sh; replayed by test_fuzzreplay.
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "hive.h"

namespace {

struct Scratch {
  std::string dir;
  Scratch() : dir(FuzzScratchDir("hive-fuzz")) {}
  ~Scratch() {
    ::unlink((dir + "/in").c_str());
    ::unlink((dir + "/copy").c_str());
    ::rmdir(dir.c_str());
  }
};

std::string ReadFile(const std::string& file) {
  std::ifstream f(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace

int FuzzHive(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  static Scratch scratch;
  const std::string in = scratch.dir + "/in", copy = scratch.dir + "/copy";
  FUZZ_CHECK(FuzzWriteFile(in, data, size), "the input file is written");

  ntp::hive::Values all, accepted;
  std::vector<std::string> skipped;
  std::string error;
  if (!ntp::hive::ReadDiskKey(in, &all, &error) ||
      !ntp::hive::CheckDiskValues(all, &accepted, &skipped, &error)) {
    FUZZ_CHECK(!error.empty(), "every refusal says why");
    return 0;
  }
  FUZZ_CHECK(accepted.size() + skipped.size() == all.size(), "every value is taken or left out");

  FUZZ_CHECK(FuzzWriteFile(copy, data, size), "the copy is written");
  ntp::hive::WriteResult result;
  error.clear();
  if (!ntp::hive::WriteDiskKey(copy, accepted, false, &result, &error)) {
    FUZZ_CHECK(!error.empty(), "a refused write says why");
    FUZZ_CHECK(ReadFile(copy) == std::string(reinterpret_cast<const char*>(data), size),
               "a refused write leaves the file as it was");
    return 1;
  }
  ntp::hive::Values back;
  error.clear();
  FUZZ_CHECK(ntp::hive::ReadDiskKey(copy, &back, &error), "a written hive reads back");
  for (const auto& v : accepted) {
    bool found = false;
    for (const auto& b : back) found = found || (b.name == v.name && b.type == v.type && b.data == v.data);
    FUZZ_CHECK(found, "every value written reads back unchanged");
  }
  return 1;
}

FUZZ_ENTRY(FuzzHive)
