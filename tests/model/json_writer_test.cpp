// The JSON writer: the exact bytes of nlohmann's dump(2) on awkward values.
#include "json_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using model::JsonText;
using nlohmann::json;

TEST(JsonWriter, WritesTheBytesOfDumpWithIndentTwo) {
  const json cases[] = {
      nullptr,
      true,
      false,
      0,
      -1,
      std::numeric_limits<int64_t>::min(),
      std::numeric_limits<uint64_t>::max(),
      1.5,
      -0.0,
      1e300,
      "",
      "plain",
      "\"quoted\" back\\slash /slash",
      "\b\f\n\r\t",
      std::string("\x01\x1f\x7f nul:\0!", 10),
      "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80",
      json::object(),
      json::array(),
      json::array({json::array(), json::object(), json::array({json::array({1})})}),
      json{{"b", {1, "two", nullptr}}, {"a", json::object()}, {"c\n", {{"d", json::array()}}}},
      json{{"bin", json::binary({1, 2, 3}, 7)}, {"x", 1}},  // what only nlohmann prints
  };
  for (const json& v : cases) EXPECT_EQ(JsonText(v), v.dump(2)) << v.dump();
}

TEST(JsonWriter, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  const json v = {{"dir",
                   "bad\xff"
                   "dir"},
                  {"cut", "\xe6\x97"}};
  EXPECT_THROW((void)v.dump(2), json::type_error);
  std::string text;
  ASSERT_NO_THROW(text = JsonText(v));
  EXPECT_EQ(text, v.dump(2, ' ', false, json::error_handler_t::replace));
  EXPECT_NE(text.find("bad\xef\xbf\xbd"
                      "dir"),
            std::string::npos);
}
