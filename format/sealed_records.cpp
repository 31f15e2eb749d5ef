// Sealed records kept beside the FT configuration, and the absent-member notes of the
// boot-time pass. A sealed record is
//   u32 magic | u16 version (1) | u16 reserved | u32 payload bytes | u32 CRC-32 | payload
// little-endian; the CRC covers the payload. Readers check all of it before they look
// at the payload, and every count inside a payload against the bytes that hold it.
#include <cstring>

#include "ftstate.h"

namespace {

constexpr uint16_t kRecordVersion = 1;
constexpr size_t kRecordHead = 16;
constexpr uint32_t kAbsentMagic = 0x42534146;  // "FASB"
constexpr size_t kAbsentEntry = 32;
// Far more than a configuration of 32-member sets can orphan.
constexpr uint32_t kMaxAbsent = 4096;

void Put16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(uint8_t(v));
  out->push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(uint8_t(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(uint8_t(v >> (8 * i)));
}
uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return uint32_t(Get16(p)) | (uint32_t(Get16(p + 2)) << 16); }
uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | (uint64_t(Get32(p + 4)) << 32); }

bool Fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

}  // namespace

uint32_t DiskRegistryCrc32(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

std::vector<uint8_t> FtSealRecord(uint32_t magic, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out;
  out.reserve(kRecordHead + payload.size());
  Put32(&out, magic);
  Put16(&out, kRecordVersion);
  Put16(&out, 0);
  Put32(&out, uint32_t(payload.size()));
  Put32(&out, DiskRegistryCrc32(payload.data(), payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

bool FtOpenRecord(const uint8_t* data, size_t size, uint32_t magic, std::vector<uint8_t>* payload,
                  std::string* why) {
  if (data == nullptr || size < kRecordHead) return Fail(why, "shorter than a record header");
  if (Get32(data) != magic) return Fail(why, "not a record of this kind");
  if (Get16(data + 4) != kRecordVersion || Get16(data + 6) != 0)
    return Fail(why, "a record version this program does not know");
  const uint32_t length = Get32(data + 8);
  if (length != size - kRecordHead) return Fail(why, "its length does not match the value");
  if (Get32(data + 12) != DiskRegistryCrc32(data + kRecordHead, length))
    return Fail(why, "its checksum does not match (damaged)");
  payload->assign(data + kRecordHead, data + size);
  return true;
}

std::vector<uint8_t> FtEncodeAbsentMembers(const std::vector<FtAbsentMember>& absent) {
  std::vector<uint8_t> payload;
  Put32(&payload, uint32_t(absent.size()));
  for (const auto& a : absent) {
    Put16(&payload, a.type);
    Put16(&payload, a.group);
    Put16(&payload, a.member);
    Put16(&payload, a.mayBeStale ? 1 : 0);
    Put32(&payload, a.signature);
    Put32(&payload, 0);
    Put64(&payload, uint64_t(a.offset));
    Put64(&payload, uint64_t(a.length));
  }
  return FtSealRecord(kAbsentMagic, payload);
}

bool FtDecodeAbsentMembers(const uint8_t* data, size_t size, std::vector<FtAbsentMember>* absent,
                           std::string* why) {
  std::vector<uint8_t> p;
  if (!FtOpenRecord(data, size, kAbsentMagic, &p, why)) return false;
  if (p.size() < 4) return Fail(why, "no count");
  const uint32_t count = Get32(p.data());
  if (count > kMaxAbsent || p.size() != 4 + size_t(count) * kAbsentEntry)
    return Fail(why, "the count does not match the entries");
  std::vector<FtAbsentMember> out;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = p.data() + 4 + size_t(i) * kAbsentEntry;
    FtAbsentMember a;
    a.type = Get16(e);
    a.group = Get16(e + 2);
    a.member = Get16(e + 4);
    if (Get16(e + 6) > 1) return Fail(why, "an entry has unknown flags");
    a.mayBeStale = Get16(e + 6) == 1;
    a.signature = Get32(e + 8);
    a.offset = int64_t(Get64(e + 16));
    a.length = int64_t(Get64(e + 24));
    if (a.offset < 0 || a.length <= 0) return Fail(why, "an entry has an impossible extent");
    out.push_back(a);
  }
  *absent = std::move(out);
  return true;
}
