// FAT and NTFS structure checks (fsprobe.h). Offsets and counts read from the volume
// are checked against the boot sector and the buffer before use; walks are bounded so
// a damaged or hostile volume costs little.
#include "fsprobe.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <utility>

namespace ntp::fsprobe {

namespace {

constexpr size_t kSector = 512;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) { return U16(p) | static_cast<uint32_t>(U16(p + 2)) << 16; }
uint64_t U64(const uint8_t* p) { return U32(p) | static_cast<uint64_t>(U32(p + 4)) << 32; }
bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }
bool AllZero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// One run of the checks: the sectors it read (each read once), its verdict, and the
// ranges it vouches for.
class Run {
 public:
  Run(const VolumeReader& read, const Vouch& vouch, bool explain)
      : read_(read), vouch_(vouch), explain_(explain) {}

  // The 512 bytes at a sector-aligned volume offset; null when not known.
  const uint8_t* At(uint64_t offset) {
    auto it = cache_.find(offset);
    if (it == cache_.end()) {
      std::vector<uint8_t> s(kSector);
      if (!read_(offset, s.data(), kSector)) s.clear();
      it = cache_.emplace(offset, std::move(s)).first;
    }
    return it->second.empty() ? nullptr : it->second.data();
  }
  // length bytes (whole sectors) from offset; false when any of them is not known.
  bool Read(uint64_t offset, size_t length, std::vector<uint8_t>* out) {
    out->resize(length);
    for (size_t at = 0; at < length; at += kSector) {
      const uint8_t* s = At(offset + at);
      if (s == nullptr) return false;
      std::memcpy(out->data() + at, s, std::min(kSector, length - at));
    }
    return true;
  }
  void Fail(const std::string& why) {
    if (!f_.failed) f_.failure = why;
    f_.failed = true;
  }
  bool failed() const { return f_.failed; }
  void Evidence(const std::string& what) {
    if (explain_) f_.evidence.push_back(what);
  }
  void Good(uint64_t offset, uint64_t length) {
    if (vouch_) vouch_(offset, length);
  }
  Findings Take() { return std::move(f_); }

 private:
  const VolumeReader& read_;
  const Vouch& vouch_;
  bool explain_;
  std::map<uint64_t, std::vector<uint8_t>> cache_;  // an empty vector: not known
  Findings f_;
};

// ---- FAT ------------------------------------------------------------------------

class Fat {
 public:
  Fat(const Boot& b, Run& run) : b_(b), run_(run) {
    const uint64_t bps = b.bytesPerSector;
    fat_ = uint64_t{b.reserved} * bps;
    root_ = fat_ + uint64_t{b.fats} * b.fatSectors * bps;
    rootBytes_ = (uint64_t{b.rootEntries} * 32 + bps - 1) / bps * bps;
    data_ = root_ + rootBytes_;
    cluster_ = uint64_t{b.sectorsPerCluster} * bps;
  }

  void Check() {
    if (b_.kind == Kind::kFat32) Fat32Sectors();
    Copies();
    if (run_.failed()) return;
    Tree();
  }

 private:
  enum class What { kEnd, kSkip, kLabel, kFile, kDir, kDot, kDotDot, kBad };
  struct Entry {
    What what = What::kBad;
    uint32_t cluster = 0;
    uint32_t size = 0;
  };

  bool InRange(uint32_t c) const { return c >= 2 && c < b_.clusters + 2; }
  uint64_t ClusterOffset(uint32_t c) const { return data_ + uint64_t{c - 2} * cluster_; }

  // The FAT32 backup boot sector and FSInfo sector, in the reserved area.
  void Fat32Sectors() {
    const uint8_t* boot = run_.At(0);
    if (b_.backupBoot != 0 && b_.backupBoot < b_.reserved && boot != nullptr) {
      const uint64_t at = uint64_t{b_.backupBoot} * b_.bytesPerSector;
      if (const uint8_t* copy = run_.At(at)) {
        if (std::memcmp(copy, boot, 90) != 0) return run_.Fail("the backup boot sector differs");
        run_.Good(at, kSector);
        run_.Evidence("the FAT32 backup boot sector matches");
      }
    }
    if (b_.fsInfo != 0 && b_.fsInfo < b_.reserved) {
      const uint64_t at = uint64_t{b_.fsInfo} * b_.bytesPerSector;
      if (const uint8_t* s = run_.At(at)) {
        if (std::memcmp(s, "RRaA", 4) != 0 || std::memcmp(s + 484, "rrAa", 4) != 0)
          return run_.Fail("no FSInfo sector where the boot sector puts it");
        run_.Good(at, kSector);
      }
    }
  }

  // Every copy of the FAT holds the same entries; the first entry carries the media byte.
  void Copies() {
    const uint32_t n = b_.fatSectors;
    std::vector<uint32_t> sample;
    if (n <= 512) {
      for (uint32_t j = 0; j < n; ++j) sample.push_back(j);
    } else {
      for (uint32_t j = 0; j < 256; ++j) sample.push_back(j);
      for (uint32_t k = 0; k < 256; ++k)
        sample.push_back(256 + static_cast<uint32_t>(uint64_t{n - 256} * k / 256));
    }
    const uint64_t bps = b_.bytesPerSector;
    unsigned agree = 0, differ = 0;
    for (uint32_t c = 0; c < b_.fats; ++c) {
      const uint8_t* first = run_.At(fat_ + uint64_t{c} * n * bps);
      if (first != nullptr && first[0] != b_.media)
        return run_.Fail("FAT copy " + std::to_string(c) + " does not begin with the media byte");
    }
    for (uint32_t c = 1; c < b_.fats; ++c)
      for (uint32_t j : sample)
        for (uint64_t part = 0; part < bps; part += kSector) {
          const uint64_t a = fat_ + uint64_t{j} * bps + part, o = a + uint64_t{c} * n * bps;
          const uint8_t *x = run_.At(a), *y = run_.At(o);
          if (x == nullptr || y == nullptr) continue;
          if (std::memcmp(x, y, kSector) != 0) {
            ++differ;
          } else if (!AllZero(x, kSector)) {
            ++agree;
            run_.Good(a, kSector);
            run_.Good(o, kSector);
          }
        }
    // A copy left behind by a crash differs in a few sectors; one read from the wrong
    // member differs wherever the FAT holds entries.
    if (differ > 0 && differ * 8 > agree)
      return run_.Fail("the FAT copies differ in " + std::to_string(differ) + " sectors");
    if (agree > 0)
      run_.Evidence("the FAT copies agree in " + std::to_string(agree) + " sectors holding entries");
  }

  // The FAT entry of cluster c; false when its sectors are not known.
  bool Next(uint32_t c, uint32_t* next) {
    uint64_t byte =
        b_.kind == Kind::kFat12 ? uint64_t{c} + c / 2 : uint64_t{c} * (b_.kind == Kind::kFat16 ? 2 : 4);
    const uint64_t at = fat_ + byte;
    const uint8_t* s = run_.At(at / kSector * kSector);
    if (s == nullptr) return false;
    const size_t in = at % kSector;
    uint8_t bytes[4] = {s[in], 0, 0, 0};
    const size_t width = b_.kind == Kind::kFat32 ? 4 : 2;
    for (size_t i = 1; i < width; ++i) {
      if (in + i < kSector) {
        bytes[i] = s[in + i];
      } else {
        const uint8_t* t = run_.At(at / kSector * kSector + kSector);
        if (t == nullptr) return false;
        bytes[i] = t[in + i - kSector];
      }
    }
    fatSectors_.insert(at / kSector * kSector);
    if (b_.kind == Kind::kFat12)
      *next = (c & 1) ? U16(bytes) >> 4 : U16(bytes) & 0xFFF;
    else if (b_.kind == Kind::kFat16)
      *next = U16(bytes);
    else
      *next = U32(bytes) & 0x0FFFFFFF;
    return true;
  }
  bool EndOfChain(uint32_t v) const {
    return v >= (b_.kind == Kind::kFat12 ? 0xFF8u : b_.kind == Kind::kFat16 ? 0xFFF8u : 0x0FFFFFF8u);
  }

  // Walks a chain from c, its clusters in *chain: 1 when it ends within limit clusters,
  // 2 when it goes on past them, 0 when it breaks (a free, bad or foreign entry), -1
  // when a FAT sector is not known.
  int Chain(uint32_t c, uint64_t limit, std::vector<uint32_t>* chain) {
    chain->clear();
    while (true) {
      if (steps_ >= kMaxSteps) return -1;
      if (!InRange(c)) return 0;
      if (chain->size() >= limit) return 2;
      chain->push_back(c);
      ++steps_;
      uint32_t next = 0;
      if (!Next(c, &next)) return -1;
      if (EndOfChain(next)) return 1;
      c = next;
    }
  }

  Entry Parse(const uint8_t* e) const {
    Entry r;
    if (e[0] == 0) return {What::kEnd};
    if (e[0] == 0xE5) return {What::kSkip};
    const uint8_t attr = e[11];
    if (attr & 0xC0) return r;
    if (attr == 0x0F) {  // a piece of a long name
      const uint8_t order = e[0] & 0x3F;
      if ((e[0] & 0x80) || order == 0 || order > 20 || e[12] != 0 || U16(e + 26) != 0) return r;
      return {What::kSkip};
    }
    if (e[12] & ~0x18) return r;  // only the two case bits
    if (b_.kind != Kind::kFat32 && U16(e + 20) != 0) return r;
    r.cluster = U16(e + 26) | (b_.kind == Kind::kFat32 ? static_cast<uint32_t>(U16(e + 20)) << 16 : 0);
    r.size = U32(e + 28);
    if (e[0] == '.') {
      if (!(attr & 0x10) || r.size != 0) return r;
      if (std::memcmp(e, ".          ", 11) == 0) r.what = What::kDot;
      if (std::memcmp(e, "..         ", 11) == 0) r.what = What::kDotDot;
      return r;
    }
    static const char kForbidden[] = "\"*+,./:;<=>?[\\]|";
    if (e[0] == ' ') return r;
    for (int i = 0; i < 11; ++i) {
      const uint8_t c = (i == 0 && e[0] == 0x05) ? 0xE5 : e[i];
      if (c < 0x20 || (c >= 'a' && c <= 'z') || std::memchr(kForbidden, c, sizeof kForbidden - 1) != nullptr)
        return r;
    }
    if (attr & 0x08) {
      if ((attr & 0x10) || r.cluster != 0) return r;
      r.what = What::kLabel;
    } else if (attr & 0x10) {
      if (!InRange(r.cluster)) return r;
      r.what = What::kDir;
    } else {
      if (r.size == 0 ? r.cluster != 0 && !InRange(r.cluster) : !InRange(r.cluster) || r.size > b_.bytes)
        return r;
      r.what = What::kFile;
    }
    return r;
  }

  // Entries of the directory bytes at volume offset at; false (the run failed) when one
  // is not valid. *end: the end marker was met.
  bool Entries(const std::vector<uint8_t>& bytes, uint64_t at, bool root, std::vector<Entry>* out,
               bool* end) {
    for (size_t i = 0; i + 32 <= bytes.size(); i += 32) {
      Entry e = Parse(bytes.data() + i);
      if (e.what == What::kEnd) {
        *end = true;
        return true;
      }
      if (e.what == What::kBad || ((e.what == What::kDot || e.what == What::kDotDot) && (root || i >= 64)) ||
          (e.what == What::kLabel && !root)) {
        run_.Fail("the directory at offset " + std::to_string(at + i) + " holds an entry that is not valid");
        return false;
      }
      out->push_back(e);
    }
    return true;
  }

  // Reads a directory: the root of FAT12/16 (fixed place and size) or the first
  // cluster of any other. Sector by sector up to the end marker or the first sector
  // not known. Returns the entries read; they are vouched for when valid.
  bool ReadDirectory(uint64_t offset, uint64_t length, bool root, std::vector<Entry>* out) {
    std::vector<uint8_t> s;
    bool end = false;
    for (uint64_t at = offset; at < offset + length && !end; at += kSector) {
      if (!run_.Read(at, kSector, &s)) break;
      const size_t before = out->size();
      if (!Entries(s, at, root, out, &end)) return false;
      if (out->size() > before) run_.Good(at, kSector);
    }
    return true;
  }

  // The directory tree from the root, breadth first: every subdirectory must start with
  // its own "." and its parent's "..", and every chain must be as long as its file.
  void Tree() {
    std::vector<std::pair<uint32_t, uint32_t>> dirs;  // (cluster, parent cluster; 0 for the root)
    std::vector<Entry> entries;
    std::vector<uint32_t> chain;
    if (b_.kind == Kind::kFat32) {
      if (Chain(b_.rootCluster, 8, &chain) == 0)
        return run_.Fail("the root directory's cluster chain is broken");
      for (uint32_t c : chain)
        if (!ReadDirectory(ClusterOffset(c), std::min(cluster_, kDirBytes), true, &entries)) return;
    } else if (!ReadDirectory(root_, std::min(rootBytes_, 4 * kDirBytes), true, &entries)) {
      return;
    }
    unsigned rootEntries = 0, subdirs = 0, files = 0, fileChains = 0;
    std::set<uint32_t> seen;
    auto take = [&](const std::vector<Entry>& list, uint32_t parent) {
      for (const Entry& e : list) {
        if (e.what == What::kDir && dirs.size() < kMaxDirs && seen.insert(e.cluster).second)
          dirs.push_back({e.cluster, parent});
        if (e.what != What::kFile || e.size == 0 || files >= kMaxFiles) continue;
        ++files;
        const uint64_t need = (uint64_t{e.size} + cluster_ - 1) / cluster_;
        const int sound = Chain(e.cluster, need, &chain);
        if (sound == 0 || sound == 2 || (sound == 1 && chain.size() != need))
          return run_.Fail("the cluster chain of a file of " + std::to_string(e.size) + " bytes at cluster " +
                           std::to_string(e.cluster) + " does not fit its size");
        if (sound == 1) ++fileChains;
      }
    };
    for (const Entry& e : entries) rootEntries += e.what == What::kFile || e.what == What::kDir;
    take(entries, 0);
    for (size_t i = 0; i < dirs.size() && !run_.failed(); ++i) {
      const auto [c, parent] = dirs[i];
      const uint64_t at = ClusterOffset(c);
      const uint8_t* s = run_.At(at);
      if (s == nullptr) continue;
      const Entry dot = Parse(s), dotdot = Parse(s + 32);
      const uint32_t up = (b_.kind == Kind::kFat32 && parent == b_.rootCluster) ? 0 : parent;
      if (dot.what != What::kDot || dot.cluster != c || dotdot.what != What::kDotDot || dotdot.cluster != up)
        return run_.Fail("the directory at cluster " + std::to_string(c) +
                         " does not begin with its '.' and '..' entries");
      ++subdirs;
      entries.clear();
      if (!ReadDirectory(at, std::min(cluster_, kDirBytes), false, &entries)) return;
      take(entries, c);
    }
    if (run_.failed()) return;
    for (uint64_t s : fatSectors_) run_.Good(s, kSector);
    if (rootEntries > 0)
      run_.Evidence("the root directory holds " + std::to_string(rootEntries) + " valid entries");
    if (subdirs > 0)
      run_.Evidence(std::to_string(subdirs) +
                    (subdirs == 1 ? " subdirectory begins with its" : " subdirectories begin with their") +
                    " own '.' and '..' entries");
    if (fileChains > 0)
      run_.Evidence(std::to_string(fileChains) + " file" + (fileChains == 1 ? "'s" : "s'") +
                    " cluster chains are as long as their sizes need");
  }

  // Bounds of one run: directories and files followed, FAT entries read, and the bytes
  // of a directory read (its first entries are evidence enough).
  static constexpr size_t kMaxDirs = 256, kMaxFiles = 512;
  static constexpr uint64_t kMaxSteps = 1 << 14, kDirBytes = 8192;

  const Boot& b_;
  Run& run_;
  uint64_t fat_ = 0, root_ = 0, rootBytes_ = 0, data_ = 0, cluster_ = 0;
  uint64_t steps_ = 0;
  std::set<uint64_t> fatSectors_;  // FAT sectors the chains read
};

// ---- NTFS -----------------------------------------------------------------------

class Ntfs {
 public:
  Ntfs(const Boot& b, Run& run) : b_(b), run_(run) {}

  void Check() {
    BackupBoot();
    std::vector<uint8_t> mft;
    const int state = Record(b_.mftLcn * b_.clusterBytes, &mft);
    if (state < 0) return;
    if (state == 0) return run_.Fail("no $MFT record where the boot sector puts it");
    uint64_t size = 0;
    if (!Runs(mft, 0x80, &mftRuns_, &size)) return run_.Fail("the $MFT record has no data runs");
    Records(size / b_.recordBytes);
    if (run_.failed()) return;
    Mirror();
    if (run_.failed()) return;
    LogFile();
    UpCase();
    AttrDef();
    RootIndex();
  }

 private:
  struct Extent {
    uint64_t vcn, lcn, count;
  };

  // Reads a record at a volume offset and applies its update sequence: 1 when it is a
  // whole FILE record, 0 when it is not, -1 when its bytes are not known.
  int Record(uint64_t offset, std::vector<uint8_t>* rec) {
    if (!run_.Read(offset, b_.recordBytes, rec)) return -1;
    return Fixup(rec, "FILE") ? 1 : 0;
  }
  bool Fixup(std::vector<uint8_t>* rec, const char* magic) const {
    uint8_t* r = rec->data();
    if (std::memcmp(r, magic, 4) != 0) return false;
    const uint16_t usa = U16(r + 4), count = U16(r + 6);
    if (count != rec->size() / kSector + 1 || usa % 2 != 0 || usa + 2u * count > kSector) return false;
    for (uint16_t i = 1; i < count; ++i) {
      uint8_t* tail = r + i * kSector - 2;
      if (std::memcmp(tail, r + usa, 2) != 0) return false;
      std::memcpy(tail, r + usa + 2 * i, 2);
    }
    return true;
  }

  // The first attribute of a type in a record, or -1.
  long Attribute(const std::vector<uint8_t>& rec, uint32_t type) const {
    const size_t used = std::min<size_t>(U32(rec.data() + 0x18), rec.size());
    size_t a = U16(rec.data() + 0x14);
    for (int guard = 0; guard < 64 && a + 16 <= used; ++guard) {
      const uint32_t t = U32(rec.data() + a), len = U32(rec.data() + a + 4);
      if (t == 0xFFFFFFFF || len < 16 || len % 8 != 0 || a + len > used) return -1;
      if (t == type) return static_cast<long>(a);
      a += len;
    }
    return -1;
  }

  // The data runs of a non-resident attribute, and its size in bytes.
  bool Runs(const std::vector<uint8_t>& rec, uint32_t type, std::vector<Extent>* out, uint64_t* size) const {
    out->clear();
    const long found = Attribute(rec, type);
    if (found < 0) return false;
    const size_t a = static_cast<size_t>(found);
    const uint8_t* r = rec.data();
    const size_t end = a + U32(r + a + 4);
    if (r[a + 8] == 0 || a + 0x40 > end) return false;  // resident, or too short
    *size = U64(r + a + 0x30);
    uint64_t vcn = U64(r + a + 0x10), lcn = 0;
    size_t p = a + U16(r + a + 0x20);
    const uint64_t clusters = b_.bytes / b_.clusterBytes + 1;
    while (p < end && r[p] != 0 && out->size() < 256) {
      const unsigned lenBytes = r[p] & 15, offBytes = r[p] >> 4;
      ++p;
      if (lenBytes == 0 || lenBytes > 8 || offBytes > 8 || p + lenBytes + offBytes > end) return false;
      uint64_t count = 0;
      for (unsigned i = 0; i < lenBytes; ++i) count |= uint64_t{r[p + i]} << (8 * i);
      p += lenBytes;
      if (offBytes > 0) {
        uint64_t delta = 0;
        for (unsigned i = 0; i < offBytes; ++i) delta |= uint64_t{r[p + i]} << (8 * i);
        if (offBytes < 8 && (r[p + offBytes - 1] & 0x80)) delta |= ~uint64_t{0} << (8 * offBytes);
        p += offBytes;
        lcn += delta;
        if (lcn >= clusters || count > clusters - lcn) return false;
        out->push_back({vcn, lcn, count});
      }
      vcn += count;
    }
    return !out->empty();
  }

  // The volume offset of a byte of an attribute, or false when its runs do not hold it.
  bool Locate(const std::vector<Extent>& runs, uint64_t byte, uint64_t* offset) const {
    const uint64_t vcn = byte / b_.clusterBytes;
    for (const Extent& e : runs)
      if (vcn >= e.vcn && vcn - e.vcn < e.count) {
        *offset = (e.lcn + vcn - e.vcn) * b_.clusterBytes + byte % b_.clusterBytes;
        return true;
      }
    return false;
  }

  // The backup boot sector, in the sector after those the boot sector counts.
  void BackupBoot() {
    const uint8_t *boot = run_.At(0), *copy = run_.At(b_.bytes);
    if (boot == nullptr || copy == nullptr) return;
    if (std::memcmp(boot, copy, kSector) == 0) {
      run_.Good(b_.bytes, kSector);
      run_.Evidence("the backup boot sector at the end of the volume matches");
    } else if (!AllZero(copy, kSector)) {
      run_.Fail("the sector after the file system is not its backup boot sector");
    }
  }

  // $MFT records carry their own numbers and whole update sequences; the system files
  // (records 0 to 15) are all there.
  void Records(uint64_t count) {
    std::vector<uint8_t> rec;
    unsigned good = 0;
    count = std::min<uint64_t>(count, kMaxRecords);
    records_.assign(count, {});
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t at = 0;
      if (!Locate(mftRuns_, i * b_.recordBytes, &at)) break;
      const int state = Record(at, &rec);
      if (state < 0) continue;
      if (state == 0) {
        if (i < 16 || (!AllZero(rec.data(), rec.size()) && std::memcmp(rec.data(), "BAAD", 4) != 0))
          return run_.Fail("$MFT record " + std::to_string(i) + " is not a whole FILE record");
        continue;
      }
      // A record in use carries its number; a free one may carry 0.
      const uint32_t number = U32(rec.data() + 0x2C);
      if (U16(rec.data() + 0x14) >= 0x30 && number != i && ((U16(rec.data() + 0x16) & 1) || number != 0))
        return run_.Fail("$MFT record " + std::to_string(i) + " carries another record's number");
      ++good;
      run_.Good(at, b_.recordBytes);
      records_[i] = rec;
    }
    if (good > 0)
      run_.Evidence(std::to_string(good) + " $MFT records carry their numbers and whole update sequences");
  }
  const std::vector<uint8_t>* System(size_t i) const {
    return i < records_.size() && !records_[i].empty() ? &records_[i] : nullptr;
  }

  // $MFTMirr: whole copies of the first records.
  void Mirror() {
    std::vector<Extent> runs;
    uint64_t size = 0;
    const auto* rec = System(1);
    if (rec == nullptr || !Runs(*rec, 0x80, &runs, &size))
      runs = {{0, b_.mirrorLcn, 1}}, size = b_.recordBytes;
    const uint64_t count = std::clamp<uint64_t>(size / b_.recordBytes, 1, 4);
    std::vector<uint8_t> copy;
    unsigned same = 0;
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t at = 0;
      if (!Locate(runs, i * b_.recordBytes, &at)) break;
      const int state = Record(at, &copy);
      if (state < 0) continue;
      if (state == 0) return run_.Fail("no $MFTMirr record where the boot sector puts it");
      run_.Good(at, b_.recordBytes);
      same += System(i) != nullptr && *System(i) == copy;
    }
    if (same > 0) run_.Evidence("$MFTMirr repeats the first " + std::to_string(same) + " $MFT records");
  }

  // Samples the extent of a system file's data: up to kSamples sectors at steps of
  // stride bytes (at least the given minimum). check returns 1 for right, 0 wrong, -1
  // no verdict.
  unsigned Sample(size_t record, uint32_t type, uint64_t minStride, const char* what,
                  const std::function<int(const uint8_t*, uint64_t byte)>& check) {
    const auto* rec = System(record);
    std::vector<Extent> runs;
    uint64_t size = 0;
    if (rec == nullptr || !Runs(*rec, type, &runs, &size)) return 0;
    size = std::min<uint64_t>(size, b_.bytes);
    const uint64_t stride =
        std::max<uint64_t>(minStride, (size / kSamples + minStride - 1) / minStride * minStride);
    unsigned good = 0;
    for (uint64_t byte = 0; byte + kSector <= size && !run_.failed(); byte += stride) {
      uint64_t at = 0;
      const uint8_t* s = Locate(runs, byte, &at) ? run_.At(at) : nullptr;
      if (s == nullptr) continue;
      const int v = check(s, byte);
      if (v == 0) run_.Fail(std::string(what) + " is not what it should be at offset " + std::to_string(at));
      if (v == 1) {
        ++good;
        run_.Good(at, kSector);
      }
    }
    return good;
  }

  // $LogFile pages: untouched (all 0xFF) or restart and record pages.
  void LogFile() {
    const unsigned good = Sample(2, 0x80, 16 * 1024, "$LogFile", [](const uint8_t* s, uint64_t byte) {
      if (byte % 4096 != 0) return -1;
      if (std::all_of(s, s + kSector, [](uint8_t b) { return b == 0xFF; })) return 1;
      if (AllZero(s, kSector)) return -1;
      const bool magic =
          !std::memcmp(s, "RSTR", 4) || !std::memcmp(s, "RCRD", 4) || !std::memcmp(s, "CHKD", 4);
      return magic && U16(s + 4) % 2 == 0 && U16(s + 4) < kSector ? 1 : 0;
    });
    if (good > 0) run_.Evidence("$LogFile holds log pages in " + std::to_string(good) + " sampled places");
  }

  // $UpCase maps each character to itself or to one near it (its capital).
  void UpCase() {
    const unsigned good = Sample(10, 0x80, 2048, "$UpCase", [](const uint8_t* s, uint64_t byte) {
      unsigned near = 0;
      for (unsigned i = 0; i < kSector / 2; ++i) {
        const int64_t from = static_cast<int64_t>(byte / 2 + i), to = U16(s + 2 * i);
        near += to - from <= 0x80 && from - to <= 0x80;
      }
      return near * 4 >= kSector / 2 * 3 ? 1 : 0;
    });
    if (good > 0) run_.Evidence("$UpCase holds its table in " + std::to_string(good) + " sampled sectors");
  }

  // $AttrDef begins with the definition of $STANDARD_INFORMATION.
  void AttrDef() {
    static const char kName[] = "$STANDARD_INFORMATION";
    Sample(4, 0x80, uint64_t{1} << 62, "$AttrDef", [](const uint8_t* s, uint64_t) {
      for (size_t i = 0; i + 1 < sizeof kName; ++i)
        if (U16(s + 2 * i) != static_cast<uint8_t>(kName[i])) return 0;
      return 1;
    });
  }

  // The root directory's index blocks.
  void RootIndex() {
    const uint64_t block = b_.indexBytes;
    const unsigned good =
        Sample(5, 0xA0, block, "the root directory's index", [block](const uint8_t* s, uint64_t byte) {
          if (byte % block != 0 || AllZero(s, kSector)) return -1;
          return std::memcmp(s, "INDX", 4) == 0 ? 1 : 0;
        });
    if (good > 0) run_.Evidence("the root directory's index has " + std::to_string(good) + " INDX blocks");
  }

  static constexpr uint64_t kMaxRecords = 96, kSamples = 128;

  const Boot& b_;
  Run& run_;
  std::vector<Extent> mftRuns_;
  std::vector<std::vector<uint8_t>> records_;  // the records read whole, by number
};

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kFat12:
      return "FAT12";
    case Kind::kFat16:
      return "FAT16";
    case Kind::kFat32:
      return "FAT32";
    case Kind::kNtfs:
      return "NTFS";
    case Kind::kNone:
      break;
  }
  return "";
}

Boot ParseBoot(const uint8_t* s) {
  Boot b;
  if (s[510] != 0x55 || s[511] != 0xAA) return b;
  const uint32_t bps = U16(s + 11);
  if (bps < 512 || bps > 4096 || !PowerOfTwo(bps)) return b;
  b.bytesPerSector = bps;
  if (std::memcmp(s + 3, "NTFS    ", 8) == 0) {
    const uint8_t spc = s[13];
    uint64_t sectors = spc <= 0x80 ? spc : spc >= 0xF4 ? uint64_t{1} << (256 - spc) : 0;
    if (!PowerOfTwo(sectors)) return b;
    b.clusterBytes = sectors * bps;
    const uint64_t total = U64(s + 0x28);
    if (total == 0 || total > (uint64_t{1} << 48)) return b;
    b.bytes = total * bps;
    const uint64_t clusters = b.bytes / b.clusterBytes;
    b.mftLcn = U64(s + 0x30);
    b.mirrorLcn = U64(s + 0x38);
    auto size = [&](int8_t v) -> uint64_t {
      return v > 0 ? uint64_t(v) * b.clusterBytes : v < 0 && v > -31 ? uint64_t{1} << -v : 0;
    };
    const uint64_t record = size(static_cast<int8_t>(s[0x40])), index = size(static_cast<int8_t>(s[0x44]));
    if (record < 512 || record > 65536 || !PowerOfTwo(record) || index < 512 || index > 65536 ||
        !PowerOfTwo(index) || b.mftLcn >= clusters || b.mirrorLcn >= clusters)
      return b;
    b.recordBytes = static_cast<uint32_t>(record);
    b.indexBytes = static_cast<uint32_t>(index);
    b.kind = Kind::kNtfs;
    return b;
  }
  if (!(s[0] == 0xEB && s[2] == 0x90) && s[0] != 0xE9) return b;
  b.sectorsPerCluster = s[13];
  b.reserved = U16(s + 14);
  b.fats = s[16];
  b.rootEntries = U16(s + 17);
  b.media = s[21];
  const uint32_t total = U16(s + 19) != 0 ? U16(s + 19) : U32(s + 32);
  const uint32_t fat16 = U16(s + 22);
  b.fatSectors = fat16 != 0 ? fat16 : U32(s + 36);
  if (!PowerOfTwo(b.sectorsPerCluster) || b.sectorsPerCluster > 128 || b.reserved == 0 || b.fats == 0 ||
      b.fats > 4 || (b.media != 0xF0 && b.media < 0xF8) || total == 0 || b.fatSectors == 0)
    return b;
  const uint64_t rootSectors = (uint64_t{b.rootEntries} * 32 + bps - 1) / bps;
  const uint64_t firstData = b.reserved + uint64_t{b.fats} * b.fatSectors + rootSectors;
  if (firstData >= total) return b;
  const uint64_t clusters = (total - firstData) / b.sectorsPerCluster;
  b.clusters = static_cast<uint32_t>(clusters);
  Kind kind = clusters < 4085 ? Kind::kFat12 : clusters < 65525 ? Kind::kFat16 : Kind::kFat32;
  if ((kind == Kind::kFat32) != (fat16 == 0) || (kind == Kind::kFat32) == (b.rootEntries != 0)) return b;
  // The FAT has an entry for every cluster.
  const uint64_t bits = kind == Kind::kFat12 ? 12 : kind == Kind::kFat16 ? 16 : 32;
  if (uint64_t{b.fatSectors} * bps * 8 / bits < clusters + 2) return b;
  if (kind == Kind::kFat32) {
    b.rootCluster = U32(s + 44);
    b.fsInfo = U16(s + 48);
    b.backupBoot = U16(s + 50);
    if (b.rootCluster < 2 || b.rootCluster >= clusters + 2) return b;
  }
  b.bytes = uint64_t{total} * bps;
  b.kind = kind;
  return b;
}

Findings Check(const Boot& boot, const VolumeReader& read, const Vouch& vouch, bool explain) {
  Run run(read, vouch, explain);
  if (const uint8_t* s = run.At(0)) {
    if (ParseBoot(s).kind != boot.kind) run.Fail("no boot sector at the start");
    run.Good(0, kSector);
  }
  if (!run.failed()) {
    if (boot.kind == Kind::kNtfs) {
      Ntfs(boot, run).Check();
    } else if (boot.kind != Kind::kNone) {
      Fat(boot, run).Check();
    }
  }
  return run.Take();
}

}  // namespace ntp::fsprobe
