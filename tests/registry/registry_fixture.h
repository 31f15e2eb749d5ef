// A registry store opened on a fresh temporary machine directory.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine.h"
#include "ntplatform.h"
#include "registry_store.h"
#include "testutil.h"

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { Reopen(); }
  void TearDown() override {
    ntp::ClearFaults();
    ntp::reg::Close();
  }
  void Reopen() {
    ntp::reg::Close();
    std::string err;
    ASSERT_TRUE(ntp::reg::Open(tmp.path, &err)) << err;
  }

  testutil::TempDir tmp;
};

// A counted string over a literal (the literal outlives the call).
inline UNICODE_STRING Counted(const char16_t* s) {
  const auto bytes = USHORT(std::char_traits<char16_t>::length(s) * 2);
  return {bytes, bytes, const_cast<char16_t*>(s)};
}

inline OBJECT_ATTRIBUTES Attributes(UNICODE_STRING* name, HANDLE root = nullptr) {
  return {sizeof(OBJECT_ATTRIBUTES), root, name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  return std::vector<uint8_t>(v.begin(), v.end());
}

// The data of a stored value, or {0xEE} when there is none; its type in *type.
inline std::vector<uint8_t> Value(const std::u16string& key, const std::u16string& name,
                                  uint32_t* type = nullptr) {
  uint32_t t = 0;
  std::vector<uint8_t> data;
  if (!ntp::reg::GetValue(key, name, &t, &data)) return {0xEE};
  if (type != nullptr) *type = t;
  return data;
}
