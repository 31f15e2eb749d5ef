// Entry points of the fuzz targets under their own names, so the replay test can run
// all of them in one program. Each returns 1 when the input got past the first checks
// (a blob the validator took, a disk with a table, a file the importer applied, a hive
// whose DISK key passed the import checks) and 0 when it was refused; a broken invariant
// aborts with a message.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

int FuzzDiskRegistry(const uint8_t* data, size_t size);
int FuzzPartitionTable(const uint8_t* data, size_t size);
int FuzzRegFile(const uint8_t* data, size_t size);
int FuzzHive(const uint8_t* data, size_t size);

#define FUZZ_CHECK(cond, what)                                                              \
  do {                                                                                      \
    if (!(cond)) {                                                                          \
      std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", __FILE__, __LINE__, what); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

// A fresh directory for a target's files, on a memory file system when there is one.
inline std::string FuzzScratchDir(const char* name) {
  std::string tmpl = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/") + name + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  FUZZ_CHECK(::mkdtemp(buf.data()) != nullptr, "a scratch directory is made");
  return buf.data();
}

inline bool FuzzWriteFile(const std::string& file, const uint8_t* data, size_t size) {
  std::ofstream f(file, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  return bool(f);
}

// The libFuzzer entry point; left out when the target is compiled into the replay test.
#ifndef FUZZ_REPLAY
#define FUZZ_ENTRY(fn)                                                      \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    fn(data, size);                                                         \
    return 0;                                                               \
  }
#else
#define FUZZ_ENTRY(fn)
#endif
