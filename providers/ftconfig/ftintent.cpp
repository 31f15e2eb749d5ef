// Intents of FT requests, sealed (diskreg's record framing) in one registry value:
//   u32 count | per intent: u16 op | u16 group | u32 type | u16 member | u16 parts |
//   u16 command bytes | u16 reserved | parts (40 bytes each: u32 signature | u32 flags |
//   i64 offset | i64 length | i64 free offset | i64 request) | command
// little-endian.
#include "ftintent.h"

#include "diskreg.h"
#include "ntplatform.h"

namespace ftconfig {

namespace {

constexpr uint32_t kMagic = 0x51525446;  // "FTRQ"
constexpr const char* kValue = "Requests";
constexpr const char16_t* kWideValue = u"Requests";
constexpr const char16_t* kSubKey = u"SOFTWARE\\ftdisk";
constexpr uint32_t kMaxIntents = 64;
constexpr size_t kPartBytes = 40;
constexpr size_t kMaxCommand = 4096;

void Put(std::vector<uint8_t>* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(uint8_t(v >> (8 * i)));
}

// Reads little-endian fields, each checked against what is left.
struct Reader {
  const std::vector<uint8_t>& b;
  size_t pos = 0;
  bool Get(uint64_t* v, int bytes) {
    if (b.size() - pos < size_t(bytes)) return false;
    *v = 0;
    for (int i = 0; i < bytes; ++i) *v |= uint64_t(b[pos + i]) << (8 * i);
    pos += bytes;
    return true;
  }
};

bool Fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

}  // namespace

std::vector<uint8_t> EncodeIntents(const std::vector<Intent>& intents) {
  std::vector<uint8_t> p;
  Put(&p, intents.size(), 4);
  for (const auto& i : intents) {
    Put(&p, i.op, 2);
    Put(&p, i.group, 2);
    Put(&p, i.type, 4);
    Put(&p, i.member, 2);
    Put(&p, i.parts.size(), 2);
    Put(&p, i.command.size(), 2);
    Put(&p, 0, 2);
    for (const auto& part : i.parts) {
      Put(&p, part.where.signature, 4);
      Put(&p, part.mine ? 1 : 0, 4);
      Put(&p, uint64_t(part.where.offset), 8);
      Put(&p, uint64_t(part.where.length), 8);
      Put(&p, uint64_t(part.freeOffset), 8);
      Put(&p, uint64_t(part.request), 8);
    }
    p.insert(p.end(), i.command.begin(), i.command.end());
  }
  return FtSealRecord(kMagic, p);
}

bool DecodeIntents(const uint8_t* data, size_t size, std::vector<Intent>* intents, std::string* why) {
  std::vector<uint8_t> p;
  if (!FtOpenRecord(data, size, kMagic, &p, why)) return false;
  Reader r{p};
  uint64_t count = 0;
  if (!r.Get(&count, 4) || count > kMaxIntents) return Fail(why, "the count of requests is wrong");
  std::vector<Intent> out;
  for (uint64_t n = 0; n < count; ++n) {
    Intent i;
    uint64_t op = 0, group = 0, type = 0, member = 0, parts = 0, command = 0, reserved = 0;
    if (!r.Get(&op, 2) || !r.Get(&group, 2) || !r.Get(&type, 4) || !r.Get(&member, 2) || !r.Get(&parts, 2) ||
        !r.Get(&command, 2) || !r.Get(&reserved, 2))
      return Fail(why, "a request is cut short");
    if (op < Intent::kCreate || op > Intent::kReplace || type > VolumeSet || parts == 0 ||
        parts > kMaxMembers || command > kMaxCommand || member >= kMaxMembers)
      return Fail(why, "a request has impossible fields");
    i.op = uint16_t(op);
    i.group = uint16_t(group);
    i.type = uint32_t(type);
    i.member = uint16_t(member);
    if (p.size() - r.pos < parts * kPartBytes + command) return Fail(why, "a request is cut short");
    for (uint64_t k = 0; k < parts; ++k) {
      uint64_t sig = 0, flags = 0, off = 0, len = 0, freeOff = 0, req = 0;
      r.Get(&sig, 4), r.Get(&flags, 4), r.Get(&off, 8), r.Get(&len, 8), r.Get(&freeOff, 8), r.Get(&req, 8);
      Intent::Part part{
          {uint32_t(sig), int64_t(off), int64_t(len)}, flags == 1, int64_t(freeOff), int64_t(req)};
      if (flags > 1 || part.where.offset < 0 || part.where.length <= 0 || part.freeOffset < 0 ||
          part.request < 0)
        return Fail(why, "a request names an impossible partition");
      i.parts.push_back(part);
    }
    i.command.assign(p.begin() + long(r.pos), p.begin() + long(r.pos + command));
    r.pos += command;
    out.push_back(std::move(i));
  }
  if (r.pos != p.size()) return Fail(why, "bytes follow the last request");
  *intents = std::move(out);
  return true;
}

bool LoadIntents(std::vector<Intent>* intents, std::string* error) {
  intents->clear();
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSubKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return true;
  DWORD type = 0, size = 0;
  LSTATUS st = RegQueryValueExW(key, kWideValue, nullptr, &type, nullptr, &size);
  std::vector<uint8_t> data(size);
  if ((st == ERROR_SUCCESS || st == ERROR_MORE_DATA) && size != 0)
    st = RegQueryValueExW(key, kWideValue, nullptr, &type, data.data(), &size);
  RegCloseKey(key);
  if (st == ERROR_FILE_NOT_FOUND) return true;
  std::string why = "it cannot be read";
  if (st == ERROR_SUCCESS && type == REG_BINARY && DecodeIntents(data.data(), size, intents, &why))
    return true;
  if (st == ERROR_SUCCESS && type != REG_BINARY) why = "it is not binary";
  *error = "the record of interrupted FT requests is unusable (" + why + ")";
  return false;
}

bool StoreIntents(const std::vector<Intent>& intents, std::string* error) {
  bool ok = true;
  if (intents.empty()) {
    HANDLE key = nullptr;
    if (NT_SUCCESS(FtOpenKey(&key, FtStateKey, nullptr))) {
      const NTSTATUS st = FtDeleteValue(key, kValue);
      ok = NT_SUCCESS(st) || st == STATUS_OBJECT_NAME_NOT_FOUND;
      NtClose(key);
    }
  } else {
    HKEY key = nullptr;
    std::vector<uint8_t> data = EncodeIntents(intents);
    ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSubKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
         ERROR_SUCCESS;
    if (ok) {
      ok = RegSetValueExW(key, kWideValue, 0, REG_BINARY, data.data(), DWORD(data.size())) == ERROR_SUCCESS;
      RegCloseKey(key);
    }
  }
  if (!ok) *error = "the record of the FT request cannot be written to the registry";
  return ok;
}

IntentProgress Progress(const Intent& intent, const FTInfo& info,
                        const std::function<bool(const PartitionRef&)>& exists) {
  auto same = [](const PartitionRef& a, const PartitionRef& b) { return a == b; };
  auto inSomeSet = [&](const PartitionRef& p) {
    for (const auto& s : Sets(info))
      for (const auto& m : s.members)
        if (same(m.where, p)) return true;
    return false;
  };
  IntentProgress out;
  SetView set;
  const bool recorded = FindSet(info, intent.type, intent.group, &set);
  // The set holds exactly the intent's partitions, in order.
  bool whole = recorded && set.members.size() == intent.parts.size();
  for (size_t i = 0; whole && i < set.members.size(); ++i)
    whole = same(set.members[i].where, intent.parts[i].where);
  switch (intent.op) {
    case Intent::kCreate:
      // A set made as asked only waits for its first data pass.
      if (whole) {
        out.done = out.finished = set.state != FtInitializing;
        return out;
      }
      break;
    case Intent::kExtend:
      for (const auto& m : set.members)
        if (recorded && same(m.where, intent.parts[0].where)) {
          out.done = out.finished = true;
          return out;
        }
      break;
    case Intent::kReplace:
      if (recorded && intent.member < set.members.size() &&
          same(set.members[intent.member].where, intent.parts[0].where)) {
        out.done = out.finished = set.members[intent.member].state == Healthy;
        return out;
      }
      break;
    case Intent::kDelete:
      // The set still standing: nothing of the request reached the configuration.
      if (whole) {
        out.done = true;
        return out;
      }
      break;
  }
  for (const auto& part : intent.parts)
    if (part.mine && exists(part.where) && !inSomeSet(part.where)) out.leftovers.push_back(part.where);
  out.done = out.leftovers.empty();
  // A delete that took the set out and left nothing behind has done its work.
  out.finished = out.done && intent.op == Intent::kDelete;
  return out;
}

}  // namespace ftconfig
