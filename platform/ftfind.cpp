// The search for FT sets in partitions whose configuration is lost (ftfind.h). Reads
// are sampled and cached in 4 KiB blocks, so a search over large disks reads a few
// MiB; whole members are read only when asked (Options::full).
#include "ftfind.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <memory>

#include "fsprobe.h"

namespace ntp::ftfind {

namespace {

namespace fp = fsprobe;

constexpr uint64_t kBlock = 4096;
constexpr uint64_t kMiB = 1 << 20;
constexpr int kUnset = -2, kMissing = -1, kAnyLost = -3;
constexpr size_t kMaxSolutions = 8;
constexpr unsigned kBudget = 2000;  // structure checks per hypothesis
constexpr size_t kMaxClass = 16;    // partitions of one size tried together for parity

// "8225280 bytes (7.8 MiB)".
std::string Bytes(uint64_t n) {
  std::string s = std::to_string(n) + " bytes";
  if (n >= kMiB) s += " (" + std::to_string(n / kMiB) + "." + std::to_string(n % kMiB * 10 / kMiB) + " MiB)";
  return s;
}

// "a FAT16", "an NTFS".
std::string Article(const std::string& word) { return (word.rfind("N", 0) == 0 ? "an " : "a ") + word; }

std::string Hex2(uint8_t v) {
  static const char kDigits[] = "0123456789abcdef";
  return std::string("0x") + kDigits[v >> 4] + kDigits[v & 15];
}

// A set's make-up to try: its type, member count, the partitions that may fill its
// positions, and the file system that must come out whole.
struct Hypothesis {
  ftmap::Type type = ftmap::kStripe;
  unsigned n = 0;         // members; a volume set grows until the file system fits
  int head = kMissing;    // the partition at position 0 (kMissing: that member is lost)
  int missing = -1;       // parity: the position whose member is lost (read as the XOR of the
                          // others); kAnyLost: one of positions 1 on
  std::vector<int> pool;  // candidates for the other positions
  fp::Boot boot;
  uint64_t poolMax = 0;  // the longest candidate, for positions not filled yet
};

class Finder {
 public:
  Finder(const std::vector<Partition>& parts, const Options& options)
      : p_(parts), opt_(options), claimed_(parts.size(), false), cache_(parts.size()), boots_(parts.size()) {}

  Result Run() {
    for (size_t i = 0; i < p_.size(); ++i) {
      uint8_t s[512];
      boots_[i] = Len(static_cast<int>(i)) >= 512 && Read(static_cast<int>(i), 0, s, 512) ? fp::ParseBoot(s)
                                                                                          : fp::Boot{};
    }
    Mirrors();
    Parity();
    Striped();
    DegradedParity();
    StaleMirrors();
    DegradedMirrors();
    Notes();
    return std::move(result_);
  }

 private:
  uint64_t Len(int p) const { return p_[p].length > 0 ? static_cast<uint64_t>(p_[p].length) / 512 * 512 : 0; }
  bool Flagged(int p) const { return FtFlag(p_[p].type); }

  // A cached 4 KiB block of a partition (shorter at its end); null when unreadable.
  const std::vector<uint8_t>* Block(int p, uint64_t index) {
    auto& cache = cache_[p];
    auto it = cache.find(index);
    if (it == cache.end()) {
      const uint64_t at = index * kBlock;
      std::vector<uint8_t> b(at < Len(p) ? std::min(kBlock, Len(p) - at) : 0);
      if (!b.empty() && !p_[p].read(at, b.data(), b.size())) b.clear();
      it = cache.emplace(index, std::move(b)).first;
    }
    return it->second.empty() ? nullptr : &it->second;
  }
  bool Read(int p, uint64_t offset, void* buffer, size_t length) {
    if (offset > Len(p) || length > Len(p) - offset) return false;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (length > 0) {
      const std::vector<uint8_t>* b = Block(p, offset / kBlock);
      const size_t in = offset % kBlock;
      if (b == nullptr || in >= b->size()) return false;
      const size_t n = std::min(length, b->size() - in);
      std::memcpy(out, b->data() + in, n);
      out += n;
      offset += n;
      length -= n;
    }
    return true;
  }

  // Block-aligned offsets to sample below length: every 16 KiB of the first 512 KiB
  // (the first rows of a striped set, where file systems keep their structures) and
  // 64 more spread over the rest.
  static std::vector<uint64_t> Samples(uint64_t length) {
    std::vector<uint64_t> out;
    if (length < kBlock) return out;
    const uint64_t last = (length - kBlock) / kBlock * kBlock;
    for (uint64_t at = 0; at < 512 * 1024 && at <= last; at += 16 * 1024) out.push_back(at);
    for (uint64_t k = 0; k <= 64; ++k) out.push_back(last / 64 * k / kBlock * kBlock);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
  }

  // ---- mirrors ----

  // Whether two partitions hold the same bytes below length in every sample; *nonzero
  // counts the samples that are not all zeros.
  bool SamplesAgree(int a, int b, uint64_t length, unsigned* samples, unsigned* nonzero) {
    *samples = *nonzero = 0;
    for (uint64_t at : Samples(length)) {
      const auto *x = Block(a, at / kBlock), *y = Block(b, at / kBlock);
      if (x == nullptr || y == nullptr || x->size() != y->size() || *x != *y) return false;
      ++*samples;
      *nonzero += std::any_of(x->begin(), x->end(), [](uint8_t v) { return v != 0; });
    }
    return *samples > 0;
  }

  // Bytes in which whole members differ below length (reads everything); false when a
  // read fails.
  bool WholeDiffer(const std::vector<int>& members, uint64_t length, bool parity, uint64_t* differ) {
    *differ = 0;
    std::vector<uint8_t> acc(kMiB), buf(kMiB);
    for (uint64_t at = 0; at < length; at += kMiB) {
      const size_t n = static_cast<size_t>(std::min(kMiB, length - at));
      if (!p_[members[0]].read(at, acc.data(), n)) return false;
      for (size_t m = 1; m < members.size(); ++m) {
        if (!p_[members[m]].read(at, buf.data(), n)) return false;
        if (parity) {
          for (size_t i = 0; i < n; ++i) acc[i] ^= buf[i];
        } else {
          for (size_t i = 0; i < n; ++i) *differ += acc[i] != buf[i];
        }
      }
      if (parity)
        *differ += static_cast<uint64_t>(
            std::count_if(acc.begin(), acc.begin() + n, [](uint8_t v) { return v != 0; }));
    }
    return true;
  }

  void Mirrors() {
    const int n = static_cast<int>(p_.size());
    std::vector<std::pair<int, int>> pairs;
    std::vector<unsigned> matches(p_.size(), 0);
    for (int a = 0; a < n; ++a)
      for (int b = a + 1; b < n; ++b) {
        if (p_[a].disk == p_[b].disk || Len(a) == 0 || (Len(a) != Len(b) && !(Flagged(a) && Flagged(b))))
          continue;
        unsigned samples = 0, nonzero = 0;
        if (!SamplesAgree(a, b, std::min(Len(a), Len(b)), &samples, &nonzero) || nonzero == 0) continue;
        pairs.push_back({a, b});
        ++matches[a];
        ++matches[b];
      }
    for (auto [a, b] : pairs) {
      if (matches[a] > 1 || matches[b] > 1) {
        if (!claimed_[a] || !claimed_[b])
          Note(p_[a].name + " and " + p_[b].name +
               " hold the same sampled bytes as other partitions too: a mirror among copies, which the data "
               "cannot tell apart; define the pair that was the mirror by hand");
        claimed_[a] = claimed_[b] = true;
        continue;
      }
      const uint64_t length = std::min(Len(a), Len(b));
      Proposal prop;
      prop.type = ftmap::kMirror;
      prop.members = {a, b};
      prop.volumeLength = length;
      unsigned samples = 0, nonzero = 0;
      SamplesAgree(a, b, length, &samples, &nonzero);
      prop.evidence.push_back("the members agree in " + std::to_string(samples) +
                              " sampled blocks of 4 KiB across " + Bytes(length) + " (" +
                              std::to_string(nonzero) + " of them not zeros)");
      bool sure = Flagged(a) && Flagged(b);
      if (opt_.full) {
        uint64_t differ = 0;
        if (!WholeDiffer({a, b}, length, false, &differ)) {
          prop.evidence.push_back("reading the members whole failed");
          sure = false;
        } else if (differ > 0) {
          prop.evidence.push_back("read whole, the members differ in " + std::to_string(differ) + " bytes");
          sure = false;
        } else {
          prop.evidence.push_back("read whole, the members agree in every byte");
          prop.whole = true;
        }
      }
      prop.evidence.push_back(FlagEvidence(prop.members));
      prop.evidence.push_back(
          "the data does not show which member came first; member 0 is the one on the lower disk");
      if (boots_[a].kind != fp::Kind::kNone) {
        prop.fileSystem = fp::KindName(boots_[a].kind);
        prop.evidence.push_back("holds " + Article(prop.fileSystem) + " file system of " +
                                Bytes(boots_[a].bytes));
      }
      prop.confidence = sure ? Confidence::kSure : Confidence::kLikely;
      Claim(std::move(prop));
    }
  }

  std::string FlagEvidence(const std::vector<int>& members) const {
    std::string types;
    bool all = true;
    for (int m : members) {
      if (m < 0) continue;
      types += (types.empty() ? "" : ", ") + Hex2(p_[m].type);
      all = all && Flagged(m);
    }
    return all ? "every member's partition type carries the fault-tolerance flag (" + types + ")"
               : "not every partition type carries the fault-tolerance flag (" + types + ")";
  }

  // ---- stripe sets with parity whose rows XOR to zero ----

  // Unclaimed partitions in groups of one size, flagged ones first. Members of one set
  // count as equal when they are less than a cylinder (the largest of their disks') apart,
  // as partitions end on cylinder boundaries, or 1/32 of their length apart (members made
  // under another geometry).
  std::vector<std::vector<int>> Classes() const {
    std::vector<int> free;
    for (int i = 0; i < static_cast<int>(p_.size()); ++i)
      if (!claimed_[i] && Len(i) >= ftmap::kStripeBytes) free.push_back(i);
    std::sort(free.begin(), free.end(), [&](int a, int b) { return Len(a) < Len(b); });
    std::vector<std::vector<int>> out;
    uint64_t start = 0, cylinder = 0;
    for (int i : free) {
      const uint64_t c = std::max(cylinder, p_[i].cylinder);
      if (out.empty() || Len(i) - start >= std::max(c, start / 32 + 1)) {
        out.push_back({});
        start = Len(i);
        cylinder = p_[i].cylinder;
      } else {
        cylinder = c;
      }
      out.back().push_back(i);
    }
    for (auto& c : out)
      std::stable_sort(c.begin(), c.end(), [&](int a, int b) { return Flagged(a) > Flagged(b); });
    return out;
  }

  void Parity() {
    for (std::vector<int> cls : Classes()) {
      if (cls.size() < 3) continue;
      if (cls.size() > kMaxClass) cls.resize(kMaxClass);
      uint64_t length = UINT64_MAX;
      for (int p : cls) length = std::min(length, Len(p));
      const std::vector<uint64_t> at = Samples(length / ftmap::kStripeBytes * ftmap::kStripeBytes);
      // Each sample folded to 64 bits: a row that XORs to zero folds to zero.
      const size_t k = cls.size();
      std::vector<std::vector<uint64_t>> folds(k, std::vector<uint64_t>(at.size(), 0));
      std::vector<bool> usable(k, true);
      for (size_t i = 0; i < k; ++i) {
        bool nonzero = false;
        for (size_t s = 0; s < at.size() && usable[i]; ++s) {
          const auto* b = Block(cls[i], at[s] / kBlock);
          if (b == nullptr) {
            usable[i] = false;
            break;
          }
          for (size_t w = 0; w + 8 <= b->size(); w += 8) {
            uint64_t v;
            std::memcpy(&v, b->data() + w, 8);
            folds[i][s] ^= v;
          }
          nonzero = nonzero || std::any_of(b->begin(), b->end(), [](uint8_t v) { return v != 0; });
        }
        usable[i] = usable[i] && nonzero;
      }
      uint32_t taken = 0;
      for (unsigned size = 3; size <= std::min<size_t>(k, ftmap::kMaxMembers); ++size)
        for (uint32_t mask = 0; mask < (1u << k); ++mask) {
          if (static_cast<unsigned>(std::popcount(mask)) != size || (mask & taken) != 0) continue;
          std::vector<int> set;
          bool ok = true;
          std::vector<uint64_t> x(at.size(), 0);
          for (size_t i = 0; i < k && ok; ++i) {
            if (!(mask >> i & 1)) continue;
            ok = usable[i] &&
                 std::none_of(set.begin(), set.end(), [&](int p) { return p_[p].disk == p_[cls[i]].disk; });
            set.push_back(cls[i]);
            for (size_t s = 0; s < at.size(); ++s) x[s] ^= folds[i][s];
          }
          if (!ok || std::any_of(x.begin(), x.end(), [](uint64_t v) { return v != 0; }) ||
              !RowsXorToZero(set, at))
            continue;
          taken |= mask;
          ParityProposal(set, at.size());
        }
    }
  }

  bool RowsXorToZero(const std::vector<int>& set, const std::vector<uint64_t>& at) {
    for (uint64_t a : at) {
      std::vector<uint8_t> x;
      for (int p : set) {
        const auto* b = Block(p, a / kBlock);
        if (b == nullptr) return false;
        if (x.empty()) x.assign(b->size(), 0);
        if (b->size() != x.size()) return false;
        for (size_t i = 0; i < x.size(); ++i) x[i] ^= (*b)[i];
      }
      if (std::any_of(x.begin(), x.end(), [](uint8_t v) { return v != 0; })) return false;
    }
    return true;
  }

  void ParityProposal(std::vector<int> set, size_t samples) {
    std::sort(set.begin(), set.end(), [&](int a, int b) { return p_[a].disk < p_[b].disk; });
    std::vector<int> heads;
    for (int p : set)
      if (boots_[p].kind != fp::Kind::kNone) heads.push_back(p);
    std::vector<std::string> evidence = {"the rows of the " + std::to_string(set.size()) +
                                         " members XOR to zero in " + std::to_string(samples) +
                                         " sampled blocks of 4 KiB"};
    bool whole = false;
    if (opt_.full) {
      uint64_t length = UINT64_MAX, differ = 0;
      for (int p : set) length = std::min(length, Len(p) / ftmap::kStripeBytes * ftmap::kStripeBytes);
      const bool read = WholeDiffer(set, length, true, &differ);
      evidence.push_back(!read ? "reading the members whole failed"
                         : differ > 0
                             ? "read whole, " + std::to_string(differ) + " bytes of parity do not match"
                             : "read whole, every row XORs to zero");
      if (!read || differ > 0) heads.clear();  // not sure of it: proposed, not ordered
      whole = read && differ == 0;
    }
    evidence.push_back(FlagEvidence(set));
    // The first member's stripe of row 0 begins with the boot sector; so may the parity
    // of that row (the XOR of a boot sector and zeros), so every member that does is tried.
    std::vector<Hypothesis> hs;
    for (int head : heads) {
      Hypothesis h;
      h.type = ftmap::kParity;
      h.n = static_cast<unsigned>(set.size());
      h.head = head;
      h.boot = boots_[head];
      for (int p : set)
        if (p != h.head) h.pool.push_back(p);
      hs.push_back(std::move(h));
    }
    if (!hs.empty() && Decide(hs, evidence, true)) {
      result_.proposals.back().whole = whole;
      return;
    }
    // Members known, order not: proposed as found, for a person to order.
    Proposal prop;
    prop.type = ftmap::kParity;
    prop.members = set;
    prop.evidence = evidence;
    prop.evidence.push_back(heads.empty() ? "no member begins with a file system, so the order does not show"
                                          : "no member order gives a whole file system");
    std::vector<uint64_t> lengths;
    for (int p : set) lengths.push_back(Len(p));
    prop.volumeLength = ftmap::VolumeLength(ftmap::kParity, lengths);
    prop.orders = 0;
    Claim(std::move(prop));
  }

  // ---- stripe sets and volume sets, ordered by their file system ----

  // Partitions that begin a file system larger than themselves: position 0 of a stripe
  // set or a volume set.
  bool Head(int p) const {
    return !claimed_[p] && boots_[p].kind != fp::Kind::kNone && boots_[p].bytes > Len(p);
  }

  // How many members hold the data of a striped set that begins with head: counted
  // with whole stripes of the head, and of the smallest candidate (members of one set
  // may differ by a little).
  std::vector<unsigned> DataMembers(int head, const std::vector<int>& pool) const {
    uint64_t smallest = Len(head);
    for (int p : pool) smallest = std::min(smallest, Len(p));
    std::vector<unsigned> out;
    for (uint64_t length : {Len(head), smallest}) {
      const uint64_t unit = length / ftmap::kStripeBytes * ftmap::kStripeBytes;
      const uint64_t n = unit == 0 ? 0 : (Need(boots_[head]) + unit - 1) / unit;
      if (n >= 1 && n <= ftmap::kMaxMembers && std::find(out.begin(), out.end(), n) == out.end())
        out.push_back(static_cast<unsigned>(n));
    }
    return out;
  }
  // The candidates of a striped set beginning with head: about its size, other disks.
  std::vector<int> StripedPool(int head) const {
    std::vector<int> pool;
    for (const auto& cls : Classes())
      if (std::find(cls.begin(), cls.end(), head) != cls.end())
        for (int p : cls)
          if (p != head && p_[p].disk != p_[head].disk) pool.push_back(p);
    return pool;
  }

  void Striped() {
    for (int h = 0; h < static_cast<int>(p_.size()); ++h) {
      if (!Head(h)) continue;
      Hypothesis s;
      s.type = ftmap::kStripe;
      s.head = h;
      s.boot = boots_[h];
      s.pool = StripedPool(h);
      bool found = false;
      for (unsigned n : DataMembers(h, s.pool)) {
        s.n = n;
        if (!found && n >= 2 && s.pool.size() + 1 >= n) found = Decide({s}, {}, false);
      }
      if (found) continue;
      Hypothesis v;
      v.type = ftmap::kVolumeSet;
      v.n = ftmap::kMaxMembers;
      v.head = h;
      v.boot = boots_[h];
      for (int p = 0; p < static_cast<int>(p_.size()); ++p)
        if (p != h && !claimed_[p] && Len(p) > 0) v.pool.push_back(p);
      Decide({v}, {}, false);
    }
  }

  // ---- sets with a member lost ----

  // A stripe set with parity with one member lost reads that member as the XOR of the
  // others, so its file system is checked whole as well.
  void DegradedParity() {
    for (const std::vector<int>& cls : Classes()) {
      if (cls.size() < 2) continue;
      std::vector<Hypothesis> tries;
      for (int h : cls) {
        if (!Head(h)) continue;
        Hypothesis t;
        t.type = ftmap::kParity;
        t.head = h;
        t.boot = boots_[h];
        t.pool = StripedPool(h);
        t.missing = kAnyLost;
        for (unsigned data : DataMembers(h, t.pool)) {
          t.n = data + 1;
          if (t.n >= 3 && t.n <= ftmap::kMaxMembers && t.pool.size() + 2 >= t.n) tries.push_back(t);
        }
      }
      // Member 0 lost: the XOR of the others' first sectors is the boot sector.
      if (cls.size() <= kMaxClass)
        for (uint32_t mask = 3; mask < (1u << cls.size()); ++mask) {
          std::vector<int> set;
          for (size_t i = 0; i < cls.size(); ++i)
            if (mask >> i & 1) set.push_back(cls[i]);
          if (set.size() < 2) continue;
          uint8_t x[512] = {};
          bool ok = true;
          for (int p : set) {
            uint8_t s[512];
            ok = ok && Read(p, 0, s, 512);
            for (int i = 0; i < 512 && ok; ++i) x[i] ^= s[i];
          }
          const fp::Boot b = ok ? fp::ParseBoot(x) : fp::Boot{};
          if (b.kind == fp::Kind::kNone) continue;
          Hypothesis t;
          t.type = ftmap::kParity;
          t.n = static_cast<unsigned>(set.size() + 1);
          t.missing = 0;
          t.boot = b;
          t.pool = set;
          tries.push_back(t);
        }
      for (const Hypothesis& t : tries) Decide({t}, {}, false);
    }
  }

  // Two flagged partitions of one size that agree in most sampled blocks holding data
  // but not all: a mirror whose members differ where a write reached only one, or a
  // disk was damaged. Proposed for a person to compare, never recorded by itself.
  void StaleMirrors() {
    const int n = static_cast<int>(p_.size());
    for (int a = 0; a < n; ++a)
      for (int b = a + 1; b < n; ++b) {
        if (claimed_[a] || claimed_[b] || !Flagged(a) || !Flagged(b) || p_[a].disk == p_[b].disk ||
            Len(a) != Len(b) || Len(a) == 0)
          continue;
        unsigned data = 0, agree = 0, unread[2] = {0, 0};
        for (uint64_t at : Samples(Len(a))) {
          const auto *x = Block(a, at / kBlock), *y = Block(b, at / kBlock);
          unread[0] += x == nullptr;
          unread[1] += y == nullptr;
          if (x == nullptr || y == nullptr) continue;
          const auto zero = [](const std::vector<uint8_t>* v) {
            return std::all_of(v->begin(), v->end(), [](uint8_t c) { return c == 0; });
          };
          if (zero(x) && zero(y)) continue;
          ++data;
          agree += *x == *y;
        }
        if (agree < 8 || agree * 4 < data * 3) continue;
        Proposal prop;
        prop.type = ftmap::kMirror;
        prop.members = {a, b};
        prop.volumeLength = Len(a);
        prop.confidence = Confidence::kLikely;
        std::string why = "the members agree in " + std::to_string(agree) + " of " + std::to_string(data) +
                          " sampled blocks of 4 KiB holding data";
        if (agree < data)
          why += ", and differ in " + std::to_string(data - agree) + ": a member is stale or damaged";
        for (int i = 0; i < 2; ++i)
          if (unread[i] > 0)
            why += "; " + std::to_string(unread[i]) + " sampled blocks of " + p_[i == 0 ? a : b].name +
                   " cannot be read";
        prop.evidence = {why + "; compare the members (ft verify) before trusting either",
                         FlagEvidence(prop.members)};
        if (boots_[a].kind != fp::Kind::kNone) prop.fileSystem = fp::KindName(boots_[a].kind);
        Claim(std::move(prop));
      }
  }

  // A flagged partition holding a whole file system of its own size, with no partner:
  // what is left of a mirror.
  void DegradedMirrors() {
    for (int p = 0; p < static_cast<int>(p_.size()); ++p) {
      if (claimed_[p] || !Flagged(p) || boots_[p].kind == fp::Kind::kNone || Need(boots_[p]) > Len(p))
        continue;
      const fp::Findings f = fp::Check(
          boots_[p], [&](uint64_t o, void* b, size_t n) { return Read(p, o, b, n); }, nullptr, true);
      if (f.failed) continue;
      Proposal prop;
      prop.type = ftmap::kMirror;
      prop.members = {p, kMissing};
      prop.confidence = Confidence::kLikely;
      prop.fileSystem = fp::KindName(boots_[p].kind);
      prop.volumeLength = Len(p);
      prop.evidence = {FlagEvidence({p}),
                       "holds a whole " + prop.fileSystem + " file system of " + Bytes(boots_[p].bytes) +
                           ", no larger than the partition",
                       "no other partition holds the same bytes: the other member is lost"};
      prop.evidence.insert(prop.evidence.end(), f.evidence.begin(), f.evidence.end());
      Claim(std::move(prop));
    }
  }

  void Notes() {
    for (int p = 0; p < static_cast<int>(p_.size()); ++p) {
      if (claimed_[p]) continue;
      if (Head(p))
        Note(p_[p].name + " begins " + Article(fp::KindName(boots_[p].kind)) + " file system of " +
             Bytes(boots_[p].bytes) + ", larger than the partition (" + Bytes(Len(p)) +
             "): the first member of a stripe set or volume set whose other members were not found");
      else if (Flagged(p))
        Note(p_[p].name + " carries the fault-tolerance flag (" + Hex2(p_[p].type) +
             ") but fits no set found");
    }
  }

  // ---- the search for a member order ----

  // Bytes the volume must hold: the file system, and NTFS's backup boot sector after it.
  static uint64_t Need(const fp::Boot& b) {
    return b.bytes + (b.kind == fp::Kind::kNtfs ? b.bytesPerSector : 0);
  }

  // Member lengths for the mapping: placed members their own, the others (not placed
  // yet, or lost) as long as the longest candidate; a volume set only its placed prefix.
  std::vector<uint64_t> Lengths(const Hypothesis& h, const std::vector<int>& placed) const {
    std::vector<uint64_t> out;
    for (unsigned m = 0; m < h.n; ++m) {
      if (h.type == ftmap::kVolumeSet) {
        if (placed[m] < 0) break;
        out.push_back(Len(placed[m]));
      } else {
        out.push_back(placed[m] >= 0 ? Len(placed[m]) : h.poolMax);
      }
    }
    return out;
  }

  // Reads volume bytes under a (partial) placement; false where they are not known.
  bool VolumeRead(const Hypothesis& h, const std::vector<int>& placed, const std::vector<uint64_t>& lengths,
                  uint64_t offset, uint8_t* out, size_t length) {
    while (length > 0) {
      ftmap::Piece piece;
      if (!ftmap::Map(h.type, lengths, offset, &piece)) return false;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(length, piece.length));
      const int who = placed[piece.member];
      if (who == kUnset) return false;
      if (who == kMissing) {
        // Only a parity member is read this way: the XOR of the row's other stripes.
        std::vector<uint8_t> other(n);
        std::memset(out, 0, n);
        for (unsigned m = 0; m < lengths.size(); ++m) {
          if (m == piece.member) continue;
          if (placed[m] < 0 || !Read(placed[m], piece.memberOffset, other.data(), n)) return false;
          for (size_t i = 0; i < n; ++i) out[i] ^= other[i];
        }
      } else if (!Read(who, piece.memberOffset, out, n)) {
        return false;
      }
      out += n;
      offset += n;
      length -= n;
    }
    return true;
  }

  fp::Findings Evaluate(const Hypothesis& h, const std::vector<int>& placed, std::vector<bool>* vouched,
                        bool explain) {
    const std::vector<uint64_t> lengths = Lengths(h, placed);
    fp::Vouch vouch;
    if (vouched != nullptr)
      vouch = [&](uint64_t offset, uint64_t length) {
        for (uint64_t end = offset + length; offset < end;) {
          ftmap::Piece piece;
          if (!ftmap::Map(h.type, lengths, offset, &piece)) return;
          (*vouched)[piece.member] = true;
          offset += std::min(piece.length, end - offset);
        }
      };
    return fp::Check(
        h.boot,
        [&](uint64_t o, void* b, size_t n) {
          return VolumeRead(h, placed, lengths, o, static_cast<uint8_t*>(b), n);
        },
        vouch, explain);
  }

  // The volume the placement makes holds the file system and needs every member.
  bool Fits(const Hypothesis& h, const std::vector<int>& placed) const {
    std::vector<uint64_t> lengths;
    uint64_t known = UINT64_MAX;
    for (unsigned m = 0; m < h.n && placed[m] != kUnset; ++m) {
      lengths.push_back(placed[m] >= 0 ? Len(placed[m]) : 0);
      if (placed[m] >= 0) known = std::min(known, Len(placed[m]));
    }
    for (uint64_t& l : lengths)
      if (l == 0) l = known;
    const uint64_t need = Need(h.boot), all = ftmap::VolumeLength(h.type, lengths);
    if (lengths.empty() || all < need) return false;
    if (h.type == ftmap::kVolumeSet) return all - lengths.back() < need;
    const uint64_t data = lengths.size() - (h.type == ftmap::kParity ? 2 : 1);
    return ftmap::UsableMemberLength(h.type, lengths) * data < need;
  }

  // Places the members of positions pos on, depth first, dropping every placement
  // under which the file system's structure is wrong; *found collects the whole ones.
  struct Walk {
    std::vector<int> placed;
    std::vector<bool> used;
    bool lost = false;  // the one lost member of a parity set is placed
    std::vector<std::vector<int>> found;
    unsigned budget = kBudget;
  };
  void Search(const Hypothesis& h, Walk& w, unsigned pos, uint64_t sum) {
    if (w.found.size() >= kMaxSolutions || w.budget == 0) return;
    const bool volset = h.type == ftmap::kVolumeSet;
    if ((!volset && pos == h.n) || (volset && sum >= Need(h.boot))) {
      if ((h.missing != kAnyLost || w.lost) && Fits(h, w.placed)) w.found.push_back(w.placed);
      return;
    }
    if (pos >= h.n) return;
    if (static_cast<int>(pos) == h.missing || (h.missing == kAnyLost && !w.lost && pos > 0)) {
      w.placed[pos] = kMissing;
      w.lost = true;
      // Its bytes are the others' XOR, known once every other position is placed.
      if (pos + 1 < h.n || !Evaluate(h, w.placed, nullptr, false).failed) Search(h, w, pos + 1, sum);
      w.lost = false;
      w.placed[pos] = kUnset;
      if (static_cast<int>(pos) == h.missing) return;
    }
    for (int c : h.pool) {
      if (w.used[c] || w.budget == 0) continue;
      // A striped set has one member per disk.
      bool sameDisk = false;
      for (unsigned m = 0; m < pos && !volset; ++m)
        sameDisk = sameDisk || (w.placed[m] >= 0 && p_[w.placed[m]].disk == p_[c].disk);
      if (sameDisk) continue;
      w.placed[pos] = c;
      w.used[c] = true;
      --w.budget;
      if (!Evaluate(h, w.placed, nullptr, false).failed) Search(h, w, pos + 1, sum + Len(c));
      w.used[c] = false;
      w.placed[pos] = kUnset;
    }
  }

  // An order found: its hypothesis, placement, and how well the file system vouches for
  // it (members its checked structures lie on, members carrying the flag).
  struct Order {
    size_t hyp = 0;
    std::vector<int> placed;
    unsigned members = 0, shown = 0, flagged = 0;
    bool Better(const Order& o) const { return shown != o.shown ? shown > o.shown : flagged > o.flagged; }
    bool Same(const Order& o) const { return shown == o.shown && flagged == o.flagged; }
  };
  Order Rate(const Hypothesis& h, size_t hyp, const std::vector<int>& placed, fp::Findings* f) {
    Order o;
    o.hyp = hyp;
    o.placed = placed;
    std::vector<bool> vouched(h.n, false);
    *f = Evaluate(h, placed, &vouched, true);
    for (unsigned m = 0; m < h.n && placed[m] != kUnset; ++m) {
      if (placed[m] < 0) continue;
      ++o.members;
      o.shown += vouched[m];
      o.flagged += Flagged(placed[m]);
    }
    return o;
  }

  // Searches the orders of the hypotheses (one set, told apart by their first member)
  // and proposes the best it finds. Orders that fit are ranked by the members the file
  // system's structures lie on, then by the members carrying the flag: a partition that
  // merely holds nothing where a structure belongs fits, but shows nothing. False
  // (nothing proposed) when no order gives a whole file system, or nothing but the first
  // member shows the file system's structure. proven: the members are known to belong
  // together (parity rows that XOR to zero).
  bool Decide(std::vector<Hypothesis> hs, std::vector<std::string> evidence, bool proven) {
    std::vector<Order> orders;
    bool many = false;
    size_t candidates = 0;
    for (size_t i = 0; i < hs.size(); ++i) {
      Hypothesis& h = hs[i];
      h.pool.erase(std::remove_if(h.pool.begin(), h.pool.end(), [&](int p) { return claimed_[p]; }),
                   h.pool.end());
      if (h.head >= 0 && claimed_[h.head]) continue;
      candidates = std::max(candidates, h.pool.size() + (h.head >= 0));
      h.poolMax = 0;
      for (int p : h.pool) h.poolMax = std::max(h.poolMax, Len(p));
      if (h.head >= 0) h.poolMax = std::max(h.poolMax, Len(h.head));
      Walk w;
      w.placed.assign(h.n, kUnset);
      w.used.assign(p_.size(), false);
      unsigned start = 0;
      if (h.head >= 0) {
        w.placed[0] = h.head;
        w.used[h.head] = true;
        start = 1;
        if (Evaluate(h, w.placed, nullptr, false).failed) continue;
      }
      Search(h, w, start, h.head >= 0 ? Len(h.head) : 0);
      many = many || w.found.size() >= kMaxSolutions || w.budget == 0;
      fp::Findings ignored;
      for (const auto& placed : w.found) orders.push_back(Rate(h, i, placed, &ignored));
    }
    if (orders.empty()) return false;
    std::stable_sort(orders.begin(), orders.end(),
                     [](const Order& a, const Order& b) { return a.Better(b); });
    const Order& best = orders[0];
    const Hypothesis& h = hs[best.hyp];
    if (!proven && best.shown < 2)
      return false;  // nothing but the head holds structure: no evidence of a set
    const size_t tied = static_cast<size_t>(
        std::count_if(orders.begin(), orders.end(), [&](const Order& o) { return o.Same(best); }));
    fp::Findings f;
    Rate(h, best.hyp, best.placed, &f);
    // The placement holds every position the hypothesis has; the set, those filled.
    const std::vector<int> members(best.placed.begin(),
                                   std::find(best.placed.begin(), best.placed.end(), kUnset));
    Proposal prop;
    prop.type = h.type;
    prop.members = members;
    prop.fileSystem = fp::KindName(h.boot.kind);
    std::vector<uint64_t> lengths;
    for (int m : members) lengths.push_back(m >= 0 ? Len(m) : h.poolMax);
    prop.volumeLength = ftmap::VolumeLength(h.type, lengths);
    prop.orders = many ? 0 : static_cast<unsigned>(tied);
    prop.evidence = std::move(evidence);
    prop.evidence.push_back(
        Article(prop.fileSystem) + " file system of " + Bytes(h.boot.bytes) +
        " begins at volume offset 0 and needs " +
        (h.type == ftmap::kVolumeSet ? "every member" : "all " + std::to_string(h.n) + " members"));
    prop.evidence.insert(prop.evidence.end(), f.evidence.begin(), f.evidence.end());
    prop.evidence.push_back("its structures lie on " + std::to_string(best.shown) + " of the " +
                            std::to_string(best.members) + " members found");
    if (!proven) prop.evidence.push_back(FlagEvidence(members));
    const size_t weaker = orders.size() - tied;
    if (prop.orders == 1)
      prop.evidence.push_back(
          weaker == 0 ? "no other member order (of " + std::to_string(candidates) +
                            " candidates) gives a whole file system"
                      : std::to_string(weaker) + " other member order" + (weaker == 1 ? " gives" : "s give") +
                            " a whole file system but with its structures or the flag on fewer members");
    else
      prop.evidence.push_back(prop.orders == 0 ? "many member orders fit the evidence; the first is shown"
                                               : std::to_string(prop.orders) +
                                                     " member orders fit the evidence equally; the first is "
                                                     "shown");
    // Sure only when the order stands alone and the structures lie on every member
    // (or the members are proven to belong together).
    prop.confidence = prop.orders != 1                                        ? Confidence::kPossible
                      : best.shown == best.members || (proven && weaker == 0) ? Confidence::kSure
                                                                              : Confidence::kLikely;
    if (h.type == ftmap::kParity && prop.Degraded()) StaleMember(&prop);
    Claim(std::move(prop));
    return true;
  }

  // A parity set found with a member lost, while a partition of its size on another
  // disk makes most sampled rows XOR to zero: that partition is the member, and the
  // members differ where a write did not reach them all or a disk was damaged. The set
  // is proposed whole, for a person to compare before recording; rebuilding the "lost"
  // member from the others would keep the damage.
  void StaleMember(Proposal* prop) {
    const auto lost = std::find(prop->members.begin(), prop->members.end(), kMissing);
    uint64_t length = UINT64_MAX;
    std::vector<int> found;
    for (int m : prop->members)
      if (m >= 0) {
        found.push_back(m);
        length = std::min(length, Len(m));
      }
    const std::vector<uint64_t> at = Samples(length / ftmap::kStripeBytes * ftmap::kStripeBytes);
    for (const std::vector<int>& cls : Classes()) {
      if (std::find(cls.begin(), cls.end(), found[0]) == cls.end()) continue;
      for (int c : cls) {
        if (std::any_of(found.begin(), found.end(),
                        [&](int m) { return m == c || p_[m].disk == p_[c].disk; }))
          continue;
        std::vector<int> set = found;
        set.push_back(c);
        unsigned zero = 0;
        for (uint64_t a : at) zero += RowsXorToZero(set, {a});
        if (zero * 2 <= at.size()) continue;
        *lost = c;
        prop->confidence = Confidence::kLikely;
        prop->evidence.push_back(
            p_[c].name + " fits as member " + std::to_string(lost - prop->members.begin()) +
            ": with it the rows XOR to zero in " + std::to_string(zero) + " of " + std::to_string(at.size()) +
            " sampled blocks only, so a member is stale or damaged; compare the members "
            "(ft verify) before trusting the volume");
        std::vector<uint64_t> lengths;
        for (int m : prop->members) lengths.push_back(Len(m));
        prop->volumeLength = ftmap::VolumeLength(ftmap::kParity, lengths);
        return;
      }
    }
  }

  void Claim(Proposal prop) {
    for (int m : prop.members)
      if (m >= 0) claimed_[m] = true;
    result_.proposals.push_back(std::move(prop));
  }
  void Note(const std::string& text) { result_.notes.push_back(text); }

  const std::vector<Partition>& p_;
  const Options& opt_;
  std::vector<bool> claimed_;
  std::vector<std::map<uint64_t, std::vector<uint8_t>>> cache_;
  std::vector<fp::Boot> boots_;
  Result result_;
};

}  // namespace

bool FtFlag(uint8_t type) {
  switch (type & 0x7F) {
    case 0x01:  // FAT12
    case 0x04:  // FAT16
    case 0x06:  // huge FAT
    case 0x07:  // NTFS / IFS
    case 0x0B:  // FAT32
    case 0x0C:  // FAT32 LBA
      return (type & 0x80) != 0;
  }
  return false;
}

const char* ConfidenceWord(Confidence c) {
  switch (c) {
    case Confidence::kSure:
      return "sure";
    case Confidence::kLikely:
      return "likely";
    case Confidence::kPossible:
      break;
  }
  return "possible";
}

bool Proposal::Degraded() const { return std::find(members.begin(), members.end(), -1) != members.end(); }

Result Find(const std::vector<Partition>& partitions, const Options& options) {
  return Finder(partitions, options).Run();
}

}  // namespace ntp::ftfind
