// Replays the fuzz targets' seed corpora, and a few thousand fixed pseudo-random
// mutations of them, so every build checks what the fuzzers check. Seeds named
// "reject-*" must be refused by their target, all others accepted (so a seed that
// silently stopped reaching the deep paths is noticed); "crash-*" and "known-*" files
// are reproducers of faults still waiting for a fix and are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "../fuzz/fuzz_targets.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Target = int (*)(const uint8_t*, size_t);

struct Seed {
  std::string name;
  Bytes bytes;
};

std::vector<Seed> Corpus(const std::string& target) {
  std::vector<Seed> seeds;
  const fs::path dir = fs::path(FTDISK_SOURCE_DIR) / "tests" / "fuzz" / "corpus" / target;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    if (name.rfind("known-", 0) == 0 || name.rfind("crash-", 0) == 0) continue;
    std::ifstream f(entry.path(), std::ios::binary);
    seeds.push_back({name, Bytes(std::istreambuf_iterator<char>(f), {})});
  }
  std::sort(seeds.begin(), seeds.end(), [](const Seed& a, const Seed& b) { return a.name < b.name; });
  return seeds;
}

// The tokens of tests/fuzz/tokens.dict: one quoted string a line, with \\, \" and \xHH
// escapes (libFuzzer's dictionary syntax; \r and \n as well).
std::vector<std::string> Tokens() {
  std::vector<std::string> tokens;
  std::ifstream f(fs::path(FTDISK_SOURCE_DIR) / "tests" / "fuzz" / "tokens.dict");
  for (std::string line; std::getline(f, line);) {
    if (line.size() < 2 || line.front() != '"' || line.back() != '"') continue;
    std::string t;
    for (size_t i = 1; i + 1 < line.size(); ++i) {
      if (line[i] != '\\') {
        t += line[i];
      } else if (line[++i] == 'x') {
        t += char(std::stoi(line.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        t += line[i] == 'r' ? '\r' : line[i] == 'n' ? '\n' : line[i];
      }
    }
    tokens.push_back(t);
  }
  return tokens;
}
const std::vector<std::string> kTokens = Tokens();

// One to four random edits of the seed, sometimes spliced with another seed.
Bytes Mutate(const Bytes& seed, const std::vector<Seed>& all, std::mt19937& rng) {
  Bytes b = seed;
  auto pick = [&rng](size_t n) { return n == 0 ? size_t(0) : size_t(rng() % n); };
  const int edits = 1 + int(rng() % 4);
  for (int i = 0; i < edits; ++i) {
    switch (rng() % 8) {
      case 0:  // flip a bit
        if (!b.empty()) b[pick(b.size())] ^= uint8_t(1u << (rng() % 8));
        break;
      case 1:  // set a byte
        if (!b.empty()) b[pick(b.size())] = uint8_t(rng());
        break;
      case 2: {  // overwrite with an interesting 32-bit value
        static const uint32_t kValues[] = {0,      1,          2,           4,           0x7F, 0x80, 0xFF,
                                           0xFFFF, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 44,   52,   512};
        if (b.size() >= 4) {
          uint32_t v = kValues[pick(std::size(kValues))];
          size_t at = pick(b.size() - 3) & ~size_t(rng() % 2 ? 3 : 0);
          for (int k = 0; k < 4; ++k) b[at + k] = uint8_t(v >> (8 * k));
        }
        break;
      }
      case 3: {  // delete a range
        if (b.empty()) break;
        size_t at = pick(b.size()), n = 1 + pick(std::min<size_t>(b.size() - at, 64));
        b.erase(b.begin() + long(at), b.begin() + long(std::min(b.size(), at + n)));
        break;
      }
      case 4: {  // duplicate a range
        if (b.empty() || b.size() > 16384) break;
        size_t at = pick(b.size()), n = 1 + pick(std::min<size_t>(b.size() - at, 64));
        Bytes piece(b.begin() + long(at), b.begin() + long(std::min(b.size(), at + n)));
        b.insert(b.begin() + long(pick(b.size() + 1)), piece.begin(), piece.end());
        break;
      }
      case 5: {  // insert a token
        const std::string& t = kTokens[pick(kTokens.size())];
        b.insert(b.begin() + long(pick(b.size() + 1)), t.begin(), t.end());
        break;
      }
      case 6: {  // splice: this seed's head, another seed's tail
        const Bytes& other = all[pick(all.size())].bytes;
        size_t cut = pick(b.size() + 1), from = pick(other.size() + 1);
        b.resize(cut);
        b.insert(b.end(), other.begin() + long(from), other.end());
        break;
      }
      default:  // truncate
        b.resize(pick(b.size() + 1));
        break;
    }
  }
  return b;
}

void Replay(const std::string& name, Target target, unsigned mutations) {
  const std::vector<Seed> seeds = Corpus(name);
  ASSERT_FALSE(seeds.empty()) << "no seeds for " << name;
  ASSERT_FALSE(kTokens.empty()) << "no tokens";
  for (const Seed& s : seeds) {
    const bool reject = s.name.rfind("reject-", 0) == 0;
    EXPECT_EQ(target(s.bytes.data(), s.bytes.size()), reject ? 0 : 1) << name << "/" << s.name;
  }
  std::mt19937 rng(0x5EED0000u + unsigned(name.size()));
  for (unsigned i = 0; i < mutations; ++i) {
    const Bytes input = Mutate(seeds[i % seeds.size()].bytes, seeds, rng);
    target(input.data(), input.size());  // an invariant broken aborts the program with a message
  }
}

TEST(FuzzReplay, DiskRegistryBlobs) { Replay("diskreg", FuzzDiskRegistry, 20000); }

TEST(FuzzReplay, PartitionTables) { Replay("ptable", FuzzPartitionTable, 20000); }

TEST(FuzzReplay, RegistryFiles) { Replay("regfile", FuzzRegFile, 5000); }

TEST(FuzzReplay, HiveFiles) { Replay("hive", FuzzHive, 10000); }

}  // namespace
