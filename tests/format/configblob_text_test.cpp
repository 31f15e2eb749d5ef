// The configuration blob decoded for scripts and people, however malformed.
#include "configblob_text.h"

#include <gtest/gtest.h>

#include <cstring>

#include "configblob.h"
#include "object_names.h"

using namespace ftformat;

TEST(ConfigBlobText, DecodingMalformedBlobsStaysInsideTheBuffer) {
  // A mirror over two disks, M: on member 0.
  BlobPartition p0{Mirror, 0, 32256, 106896384, 0, 'M', 1, 1, 0, 0}, p1 = p0;
  p1.member = 1;
  p1.assign = 0;
  std::vector<uint8_t> blob =
      BuildBlob({{0x11111111, {p0}}, {0x22222222, {p1}}}, {{Mirror, FtStateOk, {{0, 0}, {1, 0}}}});
  // Every truncation: decoded without reading past the end (the sanitizer build checks).
  for (size_t n = 0; n < blob.size(); ++n) {
    std::vector<uint8_t> cut(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(n));
    auto j = DecodeBlob(cut.data(), cut.size(), false, "cut");
    EXPECT_FALSE(j["valid"].get<bool>());
    EXPECT_NE(BlobText(cut.data(), cut.size(), false, "cut", model::FormatSize).find("MALFORMED: cut"),
              std::string::npos);
  }
  // A member pointing past the end names no record; huge counts stop at the data.
  std::vector<uint8_t> bad = blob;
  uint32_t past = 5000;
  std::memcpy(bad.data() + 168 + 4 + 12 + 8, &past, 4);
  uint16_t many = 0xFFFF;
  std::memcpy(bad.data() + 44, &many, 2);
  std::string why;
  EXPECT_FALSE(DiskRegistryValidate(bad.data(), bad.size(), &why));
  auto j = DecodeBlob(bad.data(), bad.size(), false, why);
  EXPECT_TRUE(j["ft_sets"][0]["members"][0]["disk"].is_null());
  const std::string text = BlobText(bad.data(), bad.size(), false, why, model::FormatSize);
  EXPECT_NE(text.find("MALFORMED"), std::string::npos);
  EXPECT_NE(text.find("(no such record)"), std::string::npos);
}
