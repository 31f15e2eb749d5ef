// Objects put into the real host's database by hand, and their menu masks.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "provider.h"
#include "testutil.h"

namespace menustest {

using testutil::Machine;
using testutil::MiB;

constexpr uint64_t kUnset = 0x5A5A5A5A5A5A5A5Aull;  // a mask value no rule produces

inline ZM_OBJECT_ID New(uint32_t type) {
  ZM_OBJECT_ID id = 0;
  EXPECT_EQ(ObCreateObject(zm::Database(), ghProvider, type, &id), 0u);
  return id;
}
inline void Link(ZM_OBJECT_ID parent, ZM_OBJECT_ID child) {
  EXPECT_EQ(ObAddChildObject(zm::Database(), parent, child), 0u);
}
inline void Set(ZM_OBJECT_ID id, const char* name, uint32_t type, const void* value, uint32_t size,
                uint32_t flags = 0) {
  ZM_PROPERTY r{name, type, flags, size, const_cast<void*>(value)};
  EXPECT_EQ(ObSetProperty(zm::Database(), id, &r), 0u);
}
using testutil::SetU32;
using testutil::SetU64;
inline void SetBool(ZM_OBJECT_ID id, const char* name, bool v) {
  uint8_t b = v ? 1 : 0;
  Set(id, name, ZM_TYPE_BOOL, &b, 1);
}
inline void SetString(ZM_OBJECT_ID id, const char* name, const std::u16string& s) {
  Set(id, name, ZM_TYPE_STRING, s.c_str(), static_cast<uint32_t>((s.size() + 1) * 2));
}

struct Masks {
  uint64_t show, enable, local;
  bool operator==(const Masks&) const = default;
};
inline std::ostream& operator<<(std::ostream& o, const Masks& m) {
  return o << std::hex << "{show 0x" << m.show << ", enable 0x" << m.enable << ", local 0x" << m.local << "}";
}
inline Masks Read(ZM_OBJECT_ID id) {
  return {testutil::PropU64(id, "MENU_SHOW_MASK_LL"), testutil::PropU64(id, "MENU_ENABLE_MASK_LL"),
          testutil::PropU64(id, "MENU_LOCAL_ONLY_MASK_LL")};
}
inline void Preset(ZM_OBJECT_ID id) {
  SetU64(id, "MENU_SHOW_MASK_LL", kUnset);
  SetU64(id, "MENU_ENABLE_MASK_LL", kUnset);
  SetU64(id, "MENU_LOCAL_ONLY_MASK_LL", kUnset);
}

class Menus : public ::testing::Test {
 protected:
  Menus() : machine_({16 * MiB}) {}
  void SetUp() override {
    machine_.Boot();
    machine_.Provider();
    // Withdraw the provider's event registrations so that only the calls made here
    // compute masks; the notifier would otherwise recompute them after every write.
    zm::WaitIdle();
    FtDiskShutdown(0);
  }
  void TearDown() override { zm::ClearFaults(); }
  Machine machine_;
};

}  // namespace menustest
