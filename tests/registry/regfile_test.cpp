// REGEDIT4 export and import: round trips to the same bytes, files written by hand,
// and bad input rejected with its line number before anything is written.
#include <fstream>
#include <iterator>

#include "registry_fixture.h"

namespace {

using RegFile = RegistryTest;

const char16_t kDisk[] = u"HKEY_LOCAL_MACHINE\\SYSTEM\\DISK";

void Write(const std::string& file, const std::string& text) {
  std::ofstream f(file, std::ios::binary | std::ios::trunc);
  f << text;
}

// A REG_SZ value: UTF-16LE (as this machine) with its terminator.
std::vector<uint8_t> Wide(const std::u16string& s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.c_str());
  return {p, p + 2 * (s.size() + 1)};
}

TEST_F(RegFile, ExportThenImportGivesBackTheSameValues) {
  std::vector<uint8_t> blob(216);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = uint8_t(i * 13 + 1);
  const std::vector<ntp::reg::Value> values = {
      {u"Information", REG_BINARY, blob},
      {u"\\Device\\CdRom0", REG_SZ, Wide(u"D:")},
      {u"Quote\"Name", REG_SZ, Wide(u"back\\slash \"quoted\"")},
      {u"NoTerminator", REG_SZ, Bytes({'A', 0})},  // not a proper string either
      {u"Count", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12})},
      {u"", REG_SZ, Wide(u"default")},
  };
  for (const auto& v : values) ASSERT_TRUE(ntp::reg::SetValue(kDisk, v.name, v.type, v.data));

  std::string file = tmp.path + "/disk.reg", err;
  ASSERT_TRUE(ntp::reg::ExportRegFile(u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK", file, &err)) << err;
  std::string text = testutil::ReadFile(file);
  EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\DISK]\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("\"\\\\Device\\\\CdRom0\"=\"D:\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Count\"=dword:12345678\r\n"), std::string::npos);

  for (const auto& v : values) ASSERT_TRUE(ntp::reg::DeleteValue(kDisk, v.name));
  ASSERT_TRUE(ntp::reg::ImportRegFile(file, &err)) << err;
  auto back = ntp::reg::ListValues(kDisk);
  ASSERT_EQ(back.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(back[i].name, values[i].name) << i;
    EXPECT_EQ(back[i].type, values[i].type) << i;
    EXPECT_EQ(back[i].data, values[i].data) << i;
  }
  // And exporting again writes the same file.
  std::string again = tmp.path + "/again.reg";
  ASSERT_TRUE(ntp::reg::ExportRegFile(kDisk, again, &err));
  EXPECT_EQ(testutil::ReadFile(again), text);
}

TEST_F(RegFile, ImportReadsHandWrittenFilesAndReplacesValues) {
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({9, 9, 9})));
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Gone", REG_BINARY, Bytes({1})));
  std::string file = tmp.path + "/in.reg", err;
  Write(file,
        "REGEDIT4\n"
        "; a comment\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\DISK]\r\n"
        "\"information\"=hex:03,00,\\\n"
        "    00,0A , ff\n"
        "\"\\\\Device\\\\CdRom1\" = \"E:\"\n"
        "\"Gone\"=-\n"
        "\"Flags\"=dword:1f\n");
  ASSERT_TRUE(ntp::reg::ImportRegFile(file, &err)) << err;
  uint32_t type = 0;
  EXPECT_EQ(Value(kDisk, u"Information", &type), Bytes({3, 0, 0, 0x0a, 0xff}));
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(ntp::reg::ListValues(kDisk)[0].name, u"Information");  // replaced in place
  EXPECT_EQ(Value(kDisk, u"\\Device\\CdRom1"), Wide(u"E:"));
  EXPECT_EQ(Value(kDisk, u"Gone"), Bytes({0xEE}));
  EXPECT_EQ(Value(kDisk, u"Flags"), Bytes({0x1f, 0, 0, 0}));
}

TEST_F(RegFile, BadOrFailedImportsNameTheLineAndWriteNothing) {
  ASSERT_TRUE(ntp::reg::SetValue(kDisk, u"Information", REG_BINARY, Bytes({7})));
  const std::string good =
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\DISK]\n\"Information\"=hex:01,02\n\"Added\"=dword:1\n";
  struct Case {
    std::string text;
    int line;
    std::string says;
  } cases[] = {
      {"REGEDIT5\n" + good, 1, "REGEDIT4"},
      {"REGEDIT4\n" + good + "\"Bad\"=hex:01,0g\n", 5, "'0g'"},
      {"REGEDIT4\n" + good + "\"Bad\"=dword:123456789\n", 5, "dword"},
      {"REGEDIT4\n" + good + "\"Bad=hex:00\n", 5, "not closed"},
      {"REGEDIT4\n" + good + "[HKEY_CURRENT_USER\\Software]\n", 5, "HKEY_LOCAL_MACHINE"},
      {"REGEDIT4\n\"Orphan\"=dword:1\n" + good, 2, "before any [key]"},
      // The line number of a value continued over lines is its first line.
      {"REGEDIT4\n" + good + "\"Bad\"=hex:01,\\\n  02,\\\n  zz\n\"Fine\"=dword:2\n", 5, "'zz'"},
  };
  std::string file = tmp.path + "/bad.reg";
  for (const auto& c : cases) {
    Write(file, c.text);
    std::string err;
    EXPECT_FALSE(ntp::reg::ImportRegFile(file, &err)) << c.text;
    EXPECT_NE(err.find("bad.reg:" + std::to_string(c.line) + ":"), std::string::npos) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(Value(kDisk, u"Information"), Bytes({7})) << c.text;
    EXPECT_EQ(Value(kDisk, u"Added"), Bytes({0xEE})) << c.text;
  }
  // A file that parses but fails to commit changes nothing either.
  Write(file, "REGEDIT4\n" + good);
  ntp::InjectFault("RegistryCommit", 1, uint32_t(STATUS_IO_DEVICE_ERROR));
  std::string err;
  EXPECT_FALSE(ntp::reg::ImportRegFile(file, &err));
  EXPECT_NE(err.find("nothing was changed"), std::string::npos) << err;
  auto values = ntp::reg::ListValues(kDisk);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].data, Bytes({7}));
  // A name that the text format cannot spell is refused, and no file is left behind.
  ASSERT_TRUE(ntp::reg::SetValue(u"HKLM\\SOFTWARE\\X", u"two\nlines", REG_BINARY, Bytes({1})));
  EXPECT_FALSE(ntp::reg::ExportRegFile(u"HKLM\\SOFTWARE\\X", tmp.path + "/x.reg", &err));
  EXPECT_FALSE(std::ifstream(tmp.path + "/x.reg").good());
}

}  // namespace
