// The native and Win32 registry calls: dispositions, classes, the full-information
// buffer rules, the Win32 size rules, access and handles.
#include <cstring>

#include "registry_fixture.h"
#include "registry_handles.h"
#include "registry_internal.h"

namespace {

using RegistryCalls = RegistryTest;

struct Key {
  HANDLE h = nullptr;
  ~Key() {
    if (h) ntp::reg::CloseKeyHandle(h);
  }
};

NTSTATUS Create(const char16_t* path, Key* key, ULONG* disposition, const char16_t* cls = nullptr,
                ACCESS_MASK access = KEY_ALL_ACCESS) {
  UNICODE_STRING name = Counted(path), klass = cls ? Counted(cls) : UNICODE_STRING{};
  OBJECT_ATTRIBUTES oa = Attributes(&name);
  return NtCreateKey(&key->h, access, &oa, 0, cls ? &klass : nullptr, 0, disposition);
}

NTSTATUS Open(const char16_t* path, Key* key, ACCESS_MASK access = KEY_ALL_ACCESS, HANDLE root = nullptr) {
  UNICODE_STRING name = Counted(path);
  OBJECT_ATTRIBUTES oa = Attributes(&name, root);
  return NtOpenKey(&key->h, access, &oa);
}

NTSTATUS Set(HANDLE key, const char16_t* value, ULONG type, std::vector<uint8_t> data) {
  UNICODE_STRING name = Counted(value);
  return NtSetValueKey(key, &name, 0, type, data.data(), ULONG(data.size()));
}

TEST_F(RegistryCalls, CreateKeyMakesTheLastComponentKeepsTheFirstClassAndHandlesKeepTheirAccess) {
  Key k;
  ULONG disposition = 0;
  EXPECT_EQ(Create(u"\\REGISTRY\\MACHINE\\SYSTEM\\A\\B", &k, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(k.h, nullptr);
  EXPECT_EQ(Open(u"\\REGISTRY\\MACHINE\\SYSTEM\\A", &k), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(u"\\REGISTRY\\MACHINE\\SYSTEM\\A\\B", &k), STATUS_OBJECT_PATH_NOT_FOUND);

  Key a, b, system;
  ASSERT_EQ(Create(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", &a, &disposition, u"Disk class"), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(Create(u"\\registry\\machine\\system\\disk", &b, &disposition, u"Other"), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_NE(a.h, b.h);
  std::u16string cls;
  ASSERT_EQ(ntp::reg::KeyClass(u"SYSTEM\\DISK", &cls), STATUS_SUCCESS);
  EXPECT_EQ(cls, u"Disk class");

  // A path relative to an open key.
  ASSERT_EQ(Set(a.h, u"V", REG_BINARY, Bytes({5})), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\REGISTRY\\MACHINE\\SYSTEM", &system), STATUS_SUCCESS);
  Key rel;
  ASSERT_EQ(Open(u"Disk", &rel, KEY_READ, system.h), STATUS_SUCCESS);
  uint8_t buf[64];
  ULONG len = 0;
  UNICODE_STRING v = Counted(u"v");
  ASSERT_EQ(NtQueryValueKey(rel.h, &v, KeyValueFullInformation, buf, sizeof buf, &len), STATUS_SUCCESS);

  // A read-only handle writes nothing; maximum-allowed access (what the disk layer asks
  // for) grants writing.
  EXPECT_EQ(Set(rel.h, u"V", REG_BINARY, Bytes({1})), STATUS_ACCESS_DENIED);
  EXPECT_EQ(NtDeleteValueKey(rel.h, &v), STATUS_ACCESS_DENIED);
  EXPECT_EQ(NtDeleteValueKey(a.h, &v), STATUS_SUCCESS);
  Key max;
  ASSERT_EQ(Open(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", &max, 0x02000000), STATUS_SUCCESS);
  EXPECT_EQ(Set(max.h, u"V", REG_BINARY, Bytes({2})), STATUS_SUCCESS);

  // A closed key handle is no handle; other values never were.
  HANDLE h = a.h;
  EXPECT_TRUE(ntp::reg::CloseKeyHandle(h));
  a.h = nullptr;
  EXPECT_FALSE(ntp::reg::CloseKeyHandle(h));
  EXPECT_EQ(Set(h, u"V", REG_BINARY, Bytes({1})), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryCalls, FullInformationFollowsTheBufferSizeRules) {
  Key k;
  ULONG disposition;
  ASSERT_EQ(Create(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", &k, &disposition), STATUS_SUCCESS);
  std::vector<uint8_t> blob(108);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = uint8_t(i + 1);
  ASSERT_EQ(Set(k.h, u"Information", REG_BINARY, blob), STATUS_SUCCESS);

  const ULONG nameBytes = 22;                   // "Information"
  const ULONG dataOffset = (20 + 22 + 7) & ~7;  // 48
  const ULONG total = dataOffset + 108;
  UNICODE_STRING name = Counted(u"INFORMATION");
  const std::pair<ULONG, NTSTATUS> cases[] = {{0, STATUS_BUFFER_TOO_SMALL},
                                              {19, STATUS_BUFFER_TOO_SMALL},
                                              {20, STATUS_BUFFER_OVERFLOW},
                                              {total - 1, STATUS_BUFFER_OVERFLOW},
                                              {total, STATUS_SUCCESS}};
  for (const auto& [length, status] : cases) {
    std::vector<uint8_t> buf(length + 8, 0xCC);
    ULONG result = 0;
    NTSTATUS st =
        NtQueryValueKey(k.h, &name, KeyValueFullInformation, length ? buf.data() : nullptr, length, &result);
    SCOPED_TRACE(length);
    EXPECT_EQ(st, status);
    EXPECT_EQ(result, total);
    // Nothing is written past the length given.
    for (size_t i = length; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xCC) << i;
    if (length < 20) continue;
    KEY_VALUE_FULL_INFORMATION info;
    std::memcpy(&info, buf.data(), 20);
    EXPECT_EQ(info.NameLength, nameBytes);
    EXPECT_EQ(info.DataOffset, dataOffset);
    if (st != STATUS_SUCCESS) continue;
    // The stored spelling of the name, then the data at its aligned offset.
    EXPECT_EQ(std::memcmp(buf.data() + 20, u"Information", nameBytes), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + dataOffset, buf.begin() + total), blob);
  }
}

TEST_F(RegistryCalls, Win32CallsShareTheStoreAndFollowTheSizeRules) {
  HKEY k = nullptr;
  DWORD disposition = 0;
  // Intermediate keys are created, unlike the native call.
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"System\\Disk\\Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &k, &disposition),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\Disk", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  const auto data = Bytes({3, 0, 0, 0, 9, 9});
  ASSERT_EQ(RegSetValueExW(k, u"Information", 0, REG_BINARY, data.data(), DWORD(data.size())), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);

  // The native path reads what the Win32 call wrote.
  EXPECT_EQ(Value(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", u"Information"), data);

  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\DISK", 0, KEY_READ, &k), ERROR_SUCCESS);
  DWORD t = 0, size = 5;
  uint8_t buf[16] = {};
  EXPECT_EQ(RegQueryValueExW(k, u"Information", nullptr, &t, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, data.size());
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExW(k, u"Information", nullptr, &t, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + size), data);
  EXPECT_EQ(RegSetValueExW(k, u"X", 0, REG_BINARY, data.data(), 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

}  // namespace
