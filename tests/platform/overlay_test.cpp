// What a dry run reports as changed in a registry key.
#include "overlay.h"

#include <gtest/gtest.h>

namespace {

ntp::reg::Value V(const std::u16string& name, uint32_t type, std::vector<uint8_t> data) {
  return {name, type, std::move(data)};
}

}  // namespace

// Added, deleted and changed values are reported in name order; a value whose type or
// bytes are the same is not, and of a name listed twice the last counts.
TEST(Overlay, ValueChangesNameWhatWasAddedDeletedOrChanged) {
  const std::vector<ntp::reg::Value> before = {
      V(u"Information", 3, {1, 2}), V(u"Kept", 4, {1, 0, 0, 0}), V(u"Gone", 1, {}),
      V(u"Retyped", 3, {7}),        V(u"Twice", 3, {1}),         V(u"Twice", 3, {2})};
  const std::vector<ntp::reg::Value> after = {V(u"Kept", 4, {1, 0, 0, 0}), V(u"Information", 3, {1, 3}),
                                              V(u"New", 3, {9}), V(u"Retyped", 4, {7}), V(u"Twice", 3, {2})};
  struct Want {
    std::u16string name;
    bool before, after;
  } want[] = {
      {u"Gone", true, false}, {u"Information", true, true}, {u"New", false, true}, {u"Retyped", true, true}};
  const auto changes = ntp::reg::ValueChanges(before, after);
  ASSERT_EQ(changes.size(), std::size(want));
  for (size_t i = 0; i < changes.size(); ++i) {
    EXPECT_TRUE(changes[i].name == want[i].name) << i;
    EXPECT_EQ(changes[i].before.has_value(), want[i].before) << i;
    EXPECT_EQ(changes[i].after.has_value(), want[i].after) << i;
  }
  EXPECT_EQ(changes[1].after->data, (std::vector<uint8_t>{1, 3}));
}
