// ftdiskctl end to end: the built program on temporary machines, checked against exit
// statuses, its JSON, sfdisk, the image bytes and a second process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <set>
#include <sstream>

#include "configblob.h"
#include "testutil.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace testutil;

namespace {

// A digest of a file's data extents and size, so images of mostly holes are compared
// quickly; zeros written into a hole still change it.
std::string Digest(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return "missing";
  std::string out;
  for (off_t data, hole = 0; (data = ::lseek(fd, hole, SEEK_DATA)) >= 0;) {
    hole = ::lseek(fd, data, SEEK_HOLE);
    out += "@" + std::to_string(data) + ":" +
           std::to_string(std::hash<std::string>{}(ReadAt(path, uint64_t(data), size_t(hole - data))));
  }
  out += "/" + std::to_string(::lseek(fd, 0, SEEK_END));
  ::close(fd);
  return out;
}

// Everything a request could write: the name of every file of the machine and the bytes
// of all but the alerts log (a refused request may raise an alert).
std::string State(const CtlMachine& m) {
  std::string s;
  for (const auto& e : fs::recursive_directory_iterator(m.dir)) {
    bool bytes = e.is_regular_file() && e.path().filename() != "alerts.log";
    s += e.path().string() + "=" + (bytes ? Digest(e.path().string()) : "") + ";";
  }
  return s;
}

json Json(const Result& r) { return json::parse(r.out, nullptr, false); }

// A REGEDIT4 file setting "Information" to blob; returns its quoted path.
std::string WriteReg(const std::string& path, const std::vector<uint8_t>& blob) {
  std::ofstream o(path);
  o << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\DISK]\n\"Information\"=hex:";
  for (size_t i = 0; i < blob.size(); ++i)
    o << (i ? "," : "") << std::setw(2) << std::setfill('0') << std::hex << int(blob[i]);
  o << "\n";
  return Quote(path);
}

// The first volume of a kind of "show --json".
json Volume(const json& show, const std::string& kind) {
  for (const auto& v : show["volumes"])
    if (v["kind"] == kind) return v;
  return nullptr;
}

// What the schemas of docs/schema/ find wrong with each document, whatever its kind (the
// first error, or "" for a document that conforms), all documents in one run.
std::vector<std::string> SchemaErrors(const std::vector<json>& docs) {
  TempDir t;
  json any = json::array();
  for (const auto& d : docs) any.push_back({"ftdiskctl", d});
  std::ofstream(t.path + "/docs.json") << any.dump();
  std::string out;
  const std::string src = FTDISK_SOURCE_DIR;
  testutil::Run("/usr/bin/python3 " + Quote(src + "/tests/docs/validate_json.py") + " " +
                    Quote(src + "/docs/schema") + " " + Quote(t.path + "/docs.json"),
                &out);
  std::vector<std::string> errors;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    errors.push_back(json::parse(line, nullptr, false).dump());
  return errors;
}

}  // namespace

TEST(CliUsage, BadArgumentsExitTwoSayingWhy) {
  const std::pair<const char*, const char*> bad[] = {
      {"", "usage"},
      {"create primary --disk 0 --size 16E", "too large"},
      {"create middle --disk 0 --size 1M", "middle"},
      {"create primary --size 1M", "--disk"},
      {"letter disk0/p1 A:", "not a drive letter"},
      {"letter disk0/p1", "--remove"},
      {"delete disk0/p0", "partition name"},
      {"ft delete disk0/p1", "names no FT set"},
      {"volume export nosuch -", "names no FT set"},
      {"init --disk 1M", "two cylinders"},
      {"init --disk 64M,255", "heads and sectors"},
  };
  for (const auto& [args, says] : bad) EXPECT_TRUE(Fails(Ctl(args), says, 2)) << args;
}

// A copy of a disk carries the same signature: attach says so, the image stays as it
// is, and --write-signature changes only the four signature bytes of sector 0.
TEST(CliMachine, DuplicateSignaturesAreReportedAndRewrittenOnRequest) {
  CtlMachine m("--disk 32M");
  std::string img = m.tmp.path + "/copy.img";
  ASSERT_EQ(testutil::Run("cp --sparse=always " + Quote(m.Image(0)) + " " + Quote(img)), 0);
  std::string before = Digest(img);
  Result r = m.On("attach " + Quote(img));
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.err.find("--write-signature"), std::string::npos) << r.err;
  EXPECT_EQ(Digest(img), before);
  std::string old = ReadAt(img, 0, 512);
  r = m.On("attach --write-signature " + Quote(img));
  ASSERT_EQ(r.rc, 0) << r.err;
  std::string now = ReadAt(img, 0, 512);
  EXPECT_NE(now.substr(0x1B8, 4), std::string(4, '\0'));
  EXPECT_NE(now.substr(0x1B8, 4), old.substr(0x1B8, 4)) << "the copy's, which is the original's";
  EXPECT_EQ(now.substr(0, 0x1B8) + now.substr(0x1BC), old.substr(0, 0x1B8) + old.substr(0x1BC));
  EXPECT_NE(m.On("backups").out.find("write-signature"), std::string::npos);
}

// Attached images are never written by booting or showing; a GPT disk is shown for
// what it is and every request on it is refused with the reason; images that cannot be
// attached are named and change nothing.
TEST(CliMachine, AttachedImagesStayAsTheyAreAndGptDisksAreNotManaged) {
  CtlMachine m("--disk 32M");
  const std::string before = State(m), empty = m.tmp.path + "/empty.img";
  std::ofstream(empty).close();
  for (const auto& [img, says] :
       {std::pair{m.tmp.path + "/missing.img", "cannot attach"}, std::pair{empty, "first sector"}}) {
    EXPECT_TRUE(Fails(m.On("attach " + Quote(img)), says));
  }
  EXPECT_EQ(State(m), before);
  std::string images[] = {m.tmp.path + "/nt.img", m.tmp.path + "/gpt.img"}, digests;
  ASSERT_EQ(testutil::Run("truncate -s 32M " + Quote(images[0]) + " " + Quote(images[1])), 0);
  ASSERT_TRUE(Sfdisk(images[0], "label: dos\nstart=2048, size=20480, type=7\n"));
  ASSERT_TRUE(Sfdisk(images[1], "label: gpt\nsize=8M\n"));
  for (const auto& img : images) {
    digests += Digest(img);
    ASSERT_EQ(m.On("attach " + Quote(img)).rc, 0);
  }
  json show = Json(m.On("--json show"));
  ASSERT_EQ(show["disks"].size(), 3u);
  EXPECT_EQ(show["disks"][2]["read_only"], "gpt disk, not managed");
  EXPECT_TRUE(show["disks"][2]["regions"].empty());
  EXPECT_TRUE(Fails(m.On("create primary --disk 2 --size 1M"), "gpt disk, not managed"));
  EXPECT_EQ(Digest(images[0]) + Digest(images[1]), digests);
}

TEST(CliRequests, FailedRequestsSayWhyAndChangeNothing) {
  CtlMachine m;
  // A rescan stores the configuration for these disks; a refused request then finds the
  // registry in step and must leave it, and every image, as it is.
  ASSERT_EQ(m.On("rescan").rc, 0);
  std::string before = State(m);
  const std::pair<std::string, std::string> bad[] = {
      {"create primary --disk 7 --size 1M", "there is no disk 7"},
      {"create logical --disk 0 --size 1M", "no extended partition"},
      {"create primary --disk 0 --size 1G", "no free region"},
      {"delete Q:", "no volume has the drive letter Q:"},
      {"delete disk0/p9", "has no partition 9"},
      {"delete extended --disk 0", "has no extended partition"},
      {"active 999999", "accepted only inside 'ftdiskctl shell'"},
      {"create primary --disk 0 --size 10M --offset 12345", "--offset must be the start of a free region"},
      {"create primary --disk 0 --size 1000000", "smallest partition"},
      {"letter disk3/p1 E:", "no disk 3"},
      {"registry import /nonexistent/file.reg", "cannot import"},
      {"restore 20990101T000000Z-disk0", "no backup named"},
  };
  for (const auto& [args, says] : bad) {
    Result r = m.On(args);
    EXPECT_TRUE(Fails(r, says)) << args;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one sentence: " << r.err;
  }
  EXPECT_EQ(State(m), before);
  // A request the provider refuses exits 1 with the cause, the next step and the status.
  ASSERT_EQ(m.On("create extended --disk 0 --size 20M").rc, 0);
  ASSERT_EQ(m.On("create logical --disk 0 --size 10M").rc, 0);
  before = State(m);
  Result r = m.On("delete disk0/extended");
  EXPECT_TRUE(Fails(r, "cannot delete partition: "));
  EXPECT_NE(r.err.find("delete its logical drives first (0xC1100012)"), std::string::npos) << r.err;
  // The same refusal as one JSON document with the status as a number.
  json j = Json(m.On("--json delete extended --disk 0"));
  EXPECT_EQ(j["ok"], false) << j;
  EXPECT_EQ(j["error"]["status"], 0xC1100012u);
  EXPECT_EQ(State(m), before);
}

TEST(CliRegistry, ImportShowExportRoundTripAndMalformedImportsAreRefused) {
  CtlMachine m;
  // A stored configuration with one lettered partition on a disk this machine does not
  // have: refused until --force.
  const ftformat::BlobPartition p{.offset = 32256, .length = 1 << 20, .letter = 'E', .assign = 1};
  std::string reg = WriteReg(m.tmp.path + "/one.reg", ftformat::BuildBlob({{0x78, {p}}}, {}));
  EXPECT_TRUE(Fails(m.On("registry import --no-rescan " + reg), "00000078 is not a disk of this machine"));
  const json refused = Json(m.On("--json registry import --no-rescan " + reg));
  EXPECT_EQ(refused["error"]["message"].get<std::string>().rfind("cannot import", 0), 0u) << refused;
  EXPECT_TRUE(Json(m.On("registry show --json"))["information"].is_null());
  Result r = m.On("registry import --force --no-rescan " + reg);
  ASSERT_EQ(r.rc, 0) << r.err;
  json info = Json(m.On("registry show --json"))["information"];
  ASSERT_TRUE(info.is_object()) << info;
  EXPECT_TRUE(info["valid"].get<bool>()) << info.dump();
  ASSERT_EQ(info["disks"].size(), 1u);
  EXPECT_EQ(info["disks"][0]["signature"], 0x78u);
  EXPECT_EQ(info["disks"][0]["partitions"][0]["offset"], 32256);
  EXPECT_EQ(info["disks"][0]["partitions"][0]["drive_letter"], "E:");

  const std::string exported = Quote(m.tmp.path + "/out.reg");
  ASSERT_EQ(m.On("registry export " + exported).rc, 0);
  ASSERT_EQ(m.On("registry import --force --no-rescan " + exported).rc, 0);
  EXPECT_EQ(Json(m.On("registry show --json"))["information"], info) << "export imports back the same";

  // A blob whose disk part runs past its end is refused: nothing of the file is stored,
  // neither the value nor the CD-ROM letter beside it.
  std::string bad = m.tmp.path + "/bad.reg";
  std::ofstream(bad) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\DISK]\n\"\\\\Device\\\\CdRom0\"=\"R:\"\n"
                        "\"Information\"=hex:03,00,00,00,00,00,00,00,"
                        "00,00,00,00,2c,00,00,00,ff,00,00,00,2c,00,00,00,00,00,00,00\n";
  EXPECT_TRUE(Fails(m.On("registry import --force " + Quote(bad)), "malformed"));
  json shown = Json(m.On("registry show --json"));
  EXPECT_EQ(shown["information"], info);
  EXPECT_EQ(shown["values"].size(), 1u) << shown["values"].dump();
}

// A mirror whose second member's partition was deleted behind the system's back is
// degraded, and a blank partition made at the same place is no healthy member.
TEST(CliFt, AMirrorThatLostAMemberStaysDegradedWithABlankPartitionBack) {
  CtlMachine m;
  ASSERT_EQ(m.On("create primary --disk 0 --size 10M").rc, 0);
  ASSERT_EQ(m.On("ft create mirror disk0/p1 --disk 1").rc, 0);
  EXPECT_EQ(m.On("check").rc, 0);

  // Another system deletes disk 1's partition: its table entry is cleared.
  WriteAt(m.Image(1), 446, std::string(16, '\0'));
  // The boot that finds the loss records it; when that write fails, so does the document.
  Result failed = m.On("show --json", "", "FTDISKCTL_FAULTS=platform:RegistryCommit:2:C0000185");
  EXPECT_TRUE(Fails(failed, "registry update failed"));
  EXPECT_EQ(Json(failed)["ok"], false) << failed.out;
  json v = Volume(Json(m.On("show --json")), "mirror");
  ASSERT_TRUE(v.is_object());
  EXPECT_EQ(v["state_text"], "has-orphan");
  EXPECT_EQ(v["severity"], 1);
  EXPECT_EQ(m.On("check").rc, 1);

  // A blank partition at the same place: published as the orphaned member it replaces.
  ASSERT_EQ(m.On("create primary --disk 1 --size 10M").rc, 0);
  v = Volume(Json(m.On("show --json")), "mirror");
  ASSERT_TRUE(v.is_object());
  EXPECT_EQ(v["severity"], 1);
  ASSERT_EQ(v["members"].size(), 2u);
  EXPECT_EQ(v["members"][1]["state"], 0x2) << v.dump();
  Result r = m.On("check");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.out.find("mirror0 member 1: disk1/p1 is an orphaned member"), std::string::npos) << r.out;
  // With --json the error counts the findings by kind (not a note printed on the way).
  const json doc = Json(m.On("check --json"));
  const std::string said = doc["error"].value("message", "");
  EXPECT_EQ(said.rfind(std::to_string(doc["findings"].size()) + " finding", 0), 0u) << said;
  for (const auto& f : doc["findings"])
    EXPECT_NE(said.find(f["kind"].get<std::string>()), std::string::npos) << said;
}

// A letter given on a machine with nothing configured yet, with a configuration without
// an FT part (FtInformationOffset 0) or with only a header is recorded, and so comes
// back on the next boot.
TEST(CliLetters, RecordedWhateverTheConfigurationLacks) {
  for (const char* c : {"nothing stored", "no FT part", "header only"}) {
    SCOPED_TRACE(c);
    CtlMachine m("--disk 32M");
    ASSERT_TRUE(Sfdisk(m.Image(0), "label: dos\nstart=63, size=20000, type=7\n"));
    json show = Json(m.On("show --json"));
    const ftformat::BlobPartition p{.offset = 63 * 512, .length = 20000 * 512, .assign = 1, .number = 1};
    auto blob = ftformat::BuildBlob({{show["disks"][0]["signature"].get<uint32_t>(), {p}}}, {});
    std::fill(blob.begin() + 20, blob.begin() + 24, 0);  // FtInformationOffset 0
    if (c == std::string("header only")) {
      blob.assign(44, 0);
      blob[0] = 3;
      blob[12] = blob[20] = 44;
    }
    if (c != std::string("nothing stored")) {
      ASSERT_EQ(m.On("registry import --no-rescan " + WriteReg(m.tmp.path + "/c.reg", blob)).rc, 0);
    }
    Result r = m.On("letter disk0/p1 Q:");
    EXPECT_EQ(r.rc, 0) << r.err;
    show = Json(m.On("show --json"));
    EXPECT_EQ(Volume(show, "primary")["drive_letter"], "Q:") << show.dump();
  }
}

// The demo's machine: a lettered mirror that survives requests and reboots, and every
// JSON document in the documented shape. (How registry show decodes a mirror's members
// and their letters is kept in tests/expected/registry/.)
TEST(CliDemo, EndsWithALetteredMirrorAndEveryDocumentHasTheDocumentedShape) {
  TempDir t;
  std::string dir = t.path + "/demo";
  Result r = Ctl("demo " + Quote(dir));
  ASSERT_EQ(r.rc, 0) << r.out << r.err;
  std::string m = "-m " + Quote(dir) + " ";
  // A second boot: the mirror, its letter and the other letters are as the demo left them.
  json show = Json(Ctl(m + "show --json"));
  json mirror = Volume(show, "mirror");
  ASSERT_TRUE(mirror.is_object()) << show.dump();
  EXPECT_EQ(mirror["drive_letter"], "M:");
  EXPECT_EQ(mirror["members"].size(), 2u);
  std::set<std::string> letters;
  for (const auto& v : show["volumes"])
    if (v["drive_letter"].is_string()) letters.insert(v["drive_letter"]);
  EXPECT_TRUE(letters.count("L:") && letters.count("N:")) << show["volumes"].dump();

  std::vector<std::string> shown;
  std::vector<json> docs;
  for (std::string command : {"show --json", "show -v --json", "show --json --bytes"}) {
    shown.push_back(command);
    docs.push_back(Json(Ctl(m + command)));
  }
  // Every command prints exactly one document, success or failure, with "ok" telling
  // which; the exit status agrees with it.
  const std::vector<std::pair<int, std::vector<std::string>>> cases = {
      {0,
       {"layout --json", "layout --disk 0 --json", "registry show --json",
        "registry export --json " + Quote(t.path + "/out.reg"), "alerts --json", "backups list --json",
        "--json --version", "--json --dry-run letter mirror0 --remove",
        "--json --dry-run create primary --disk 1 --size max", "--json menus",
        "--json letter disk0/p5 --remove", "--json ft find"}},
      {1,
       {"--json create logical --disk 1 --size 8M",  // no extended partition on disk 1
        "--json create primary --disk 9 --size 1M", "--json delete mirror0", "--json active 14",
        "--json --dry-run delete disk0/p9", "--json registry import /nonexistent.reg"}},
      {2,
       {"--json frob", "--json registry frob", "--json --dry-run show",
        "--json create primary --disk 0 --size 10Q"}},
  };
  for (const auto& [rc, commands] : cases)
    for (const auto& args : commands) {
      r = Ctl(m + args);
      EXPECT_EQ(r.rc, rc) << args << ": " << r.err;
      json doc = Json(r);
      ASSERT_TRUE(doc.is_object()) << args << ": not one document: " << r.out;
      EXPECT_EQ(doc["ok"], rc == 0) << args;
      if (rc != 0) {
        EXPECT_FALSE(doc["error"]["message"].get<std::string>().empty()) << args;
      }
      shown.push_back(args);
      docs.push_back(doc);
    }
  const std::vector<std::string> errors = SchemaErrors(docs);
  ASSERT_EQ(errors.size(), docs.size());
  for (size_t i = 0; i < docs.size(); ++i) EXPECT_EQ(errors[i], "\"\"") << shown[i];
  // The demo replaces its own machine but no other directory.
  EXPECT_EQ(Ctl("demo " + Quote(t.path)).rc, 1);
}

// Partitions made with units, then named in later processes by what the tool printed.
TEST(CliNames, PrintedNamesHoldAcrossBootsAndIdsOnlyInsideTheShell) {
  CtlMachine m("--disk 256M --disk 32M");
  Result r = m.On("create primary --disk 0 --size 100MB");
  ASSERT_EQ(r.rc, 0) << r.err;
  // 100 MB is 10^8 bytes; the rounding is said.
  EXPECT_NE(r.out.find("created disk0/p1 (95.4 MiB requested, "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("after rounding to cylinder 12)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("alert:"), std::string::npos) << "the request's alert is printed";
  ASSERT_EQ(m.On("create extended --disk 0 --size max").rc, 0);
  r = m.On("create logical --disk 0 --size 16065s");  // one cylinder in sectors
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::string name = "disk0/p5";
  ASSERT_NE(r.out.find("created " + name + " "), std::string::npos) << r.out;
  // A new process acts on the printed name; the id of the previous boot is refused.
  ASSERT_EQ(m.On("letter " + name + " K:").rc, 0);
  json show = Json(m.On("show --json"));
  std::string lettered;
  uint64_t id = 0;
  for (const auto& v : show["volumes"])
    if (v["drive_letter"] == "K:") {
      lettered = v["name"];
      id = v["id"];
    }
  EXPECT_EQ(lettered, name);
  EXPECT_TRUE(Fails(m.On("letter " + std::to_string(id) + " L:"), "diskN/pM"))
      << "the refusal says what to use";
  // Inside one shell an id holds from line to line, as #N too; errors carry line numbers;
  // there is no prompt when the input is not a terminal. No shell runs in a shell.
  r = m.On("shell", "# ids are fine here\nletter #" + std::to_string(id) + " --remove\nbogus\nshow\n");
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.err.find("line 3: ftdiskctl: unknown command 'bogus'"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("line 2:"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Volumes:"), std::string::npos);
  EXPECT_EQ(r.out.find("ftdiskctl>"), std::string::npos);
  // With --json, each line's document on one line (JSON Lines), failures included.
  r = m.On("--json shell", "show\nbogus\nshow -v\n");
  std::istringstream docs(r.out);
  std::vector<bool> oks;
  for (std::string l; std::getline(docs, l);) {
    const json d = json::parse(l, nullptr, false);
    ASSERT_TRUE(d.is_object()) << l;
    oks.push_back(d["ok"] == true);
  }
  EXPECT_EQ(oks, (std::vector<bool>{true, false, true})) << r.out;
  r = m.On("shell --stop-on-error", "shell\nletter " + name + " K:\n");
  EXPECT_TRUE(Fails(r, "not available inside the shell", 2));
  EXPECT_NE(r.err.find("stopped at line 1"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("assigned"), std::string::npos) << "the line after the failure ran";
}

// Every name the tool shows with what it names: a partition's start and letter, a
// volume's letter ("vol:" names).
std::map<std::string, std::string> Names(const json& show) {
  std::map<std::string, std::string> out;
  auto letter = [](const json& x) { return x.value("drive_letter", json()).dump(); };
  std::function<void(const json&)> walk = [&](const json& regions) {
    for (const auto& r : regions) {
      if (r["kind"] != "free") out[r["name"]] = r["start_name"].get<std::string>() + " " + letter(r);
      if (r.contains("regions")) walk(r["regions"]);
    }
  };
  for (const auto& d : show["disks"]) walk(d["regions"]);
  for (const auto& v : show["volumes"]) out["vol:" + v["name"].get<std::string>()] = letter(v);
  return out;
}

// Names and letters through boots: the first primary, a middle logical drive and an FT
// set deleted, a disk away for a request and a rescan, then back. Only the logical drive
// after the deleted one is renamed; no letter moves, none recorded is given away.
TEST(CliNames, NamesAndLettersHoldThroughRequestsOnOthersAndADiskAway) {
  CtlMachine m("--disk 256M --disk 256M --disk 256M --cdrom-empty");
  for (const char* req :
       {"create primary --disk 0 --size 40M", "create primary --disk 0 --size 40M",
        "create extended --disk 0 --size max", "create logical --disk 0 --size 20M",
        "create logical --disk 0 --size 20M", "create logical --disk 0 --size 20M",
        "ft create stripe --size 20M --disk 1 --disk 2", "ft create volset --size 20M --disk 1 --disk 2",
        "create primary --disk 2 --size 20M"})
    ASSERT_EQ(m.On(req).rc, 0) << req;
  auto want = Names(Json(m.On("show --json")));
  ASSERT_EQ(want.size(), 20u) << json(want).dump();
  ASSERT_NE(want["vol:volset0"], "null");

  Result r = m.On("delete disk0/p1");
  EXPECT_NE(r.out.find("deleted disk0/p1 (disk0@63s, "), std::string::npos) << r.out;
  want.erase("disk0/p1"), want.erase("vol:disk0/p1");
  EXPECT_EQ(Names(Json(m.On("show --json"))), want);
  // The middle logical drive, named by its start.
  ASSERT_EQ(m.On("delete " + want["disk0/p6"].substr(0, want["disk0/p6"].find(' '))).rc, 0);
  want["disk0/p6"] = want["disk0/p7"], want["vol:disk0/p6"] = want["vol:disk0/p7"];
  want.erase("disk0/p7"), want.erase("vol:disk0/p7");
  EXPECT_EQ(Names(Json(m.On("show --json"))), want);
  ASSERT_EQ(m.On("ft delete stripe0").rc, 0);
  for (const char* gone : {"vol:stripe0", "disk1/p1", "disk2/p1"}) want.erase(gone);
  EXPECT_EQ(Names(Json(m.On("show --json"))), want);

  // Disk 1 away: a partition made meanwhile gets no letter recorded for volset0.
  fs::rename(m.Image(1), m.tmp.path + "/away.img");
  ASSERT_EQ(m.On("create primary --disk 0 --size 20M").rc, 0);
  ASSERT_EQ(m.On("rescan").rc, 0);
  auto now = Names(Json(m.On("show --json")));
  EXPECT_NE(now["vol:disk0/p1"], want["vol:volset0"]);
  for (const char* kept : {"vol:cdrom0", "disk0/p2", "disk0/p5", "disk0/p6", "disk2/p3"})
    EXPECT_EQ(now[kept], want[kept]) << kept;
  want["disk0/p1"] = now["disk0/p1"], want["vol:disk0/p1"] = now["vol:disk0/p1"];
  fs::rename(m.tmp.path + "/away.img", m.Image(1));
  EXPECT_EQ(Names(Json(m.On("show --json"))), want);
  // The set's letter is recorded on every member.
  json reg = Json(m.On("registry show --json"))["information"];
  for (const auto& mem : reg["ft_sets"][0]["members"])
    EXPECT_EQ(
        reg["disks"][mem["disk"].get<size_t>()]["partitions"][mem["partition"].get<size_t>()]["drive_letter"]
            .dump(),
        want["vol:volset0"]);
}

TEST(CliDryRun, EveryWritingCommandLeavesTheMachineByteIdentical) {
  CtlMachine m("--disk 2G --disk 32M");
  for (const char* req : {"create primary --disk 0 --size 500M", "create extended --disk 0 --size 1G",
                          "create logical --disk 0 --size 200M", "letter disk0/p1 E:"})
    ASSERT_EQ(m.On(req).rc, 0) << req;
  const std::string reg = Quote(m.tmp.path + "/disk.reg");
  ASSERT_EQ(m.On("registry export " + reg).rc, 0);
  // Data in the partitions: the first megabyte of each.
  for (uint64_t at : {uint64_t{63 * 512}, uint64_t{600} << 20})
    WriteAt(m.Image(0), at, std::string(1 << 20, 'x'));
  std::string backup = Json(m.On("backups list --json"))["backups"].back()["name"];
  std::string before = State(m) + Digest(m.dir + "/alerts.log");
  std::string tmp = m.tmp.path + "/tmp";
  fs::create_directories(tmp);
  for (const std::string& c : std::vector<std::string>{
           "create primary --disk 0 --size 100M", "create logical --disk 0 --size max", "delete disk0/p5",
           "delete disk0/p1", "active disk0/p1", "letter disk0/p1 --remove", "letter disk0/p5 F:", "rescan",
           "menus", "registry import " + reg, "restore " + backup}) {
    rusage ru0{}, ru1{};
    getrusage(RUSAGE_CHILDREN, &ru0);
    Result r = m.On("--dry-run " + c, "", "TMPDIR=" + Quote(tmp) + " ");
    getrusage(RUSAGE_CHILDREN, &ru1);
    EXPECT_EQ(r.rc, 0) << c << ": " << r.err;
    EXPECT_EQ(r.out.rfind("dry run: ", 0), 0u) << c << ": the banner comes first: " << r.out.substr(0, 200);
    EXPECT_NE(r.out.find("dry run: nothing was written"), std::string::npos) << c;
    EXPECT_EQ(r.out.find("saved "), std::string::npos) << c << ": a dry run claims no backup";
    EXPECT_EQ(r.out.find("\nalert:"), std::string::npos) << c << ": alerts are what would be raised";
    EXPECT_LT((ru1.ru_oublock - ru0.ru_oublock) * 512, 1 << 20) << c << ": wrote a megabyte or more";
    EXPECT_EQ(State(m) + Digest(m.dir + "/alerts.log"), before) << c;
    EXPECT_TRUE(fs::is_empty(tmp)) << c << ": left files in TMPDIR";
  }
  // The report names what would change.
  Result r = m.On("--dry-run delete disk0/p1");
  EXPECT_NE(r.out.find("would delete disk0/p1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("disk0 sector 0: slot 0: type 0x06"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"Information\": would change"), std::string::npos) << r.out;
  // An FT request's dry run too: what it would do, the alerts it would raise.
  ASSERT_EQ(m.On("ft create volset --disk 0 --disk 1 --size 8M").rc, 0);
  r = m.On("--dry-run ft delete volset0");
  EXPECT_NE(r.out.find("\nwould delete volset0 and its partitions"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nwould raise alert: "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\nalert:"), std::string::npos) << r.out;
}

// -q: nothing on standard output, the request done all the same, the status telling.
// (The table formats' exact text is kept in tests/expected/.)
TEST(CliShow, QuietPrintsNothingAndTheStatusTells) {
  CtlMachine m("--disk 32M");
  ASSERT_EQ(m.On("create primary --disk 0 --size 4M").rc, 0);
  const Result q = m.On("-q letter disk0/p1 F:");
  EXPECT_EQ(q.rc, 0) << q.err;
  EXPECT_EQ(q.out, "");
  EXPECT_EQ(m.On("show -P -o LETTER").out, "LETTER=\"F:\"\nLETTER=\"\"\n");
  EXPECT_EQ(m.On("-q letter disk0/p1 A:").rc, 2);
}

// Pruning keeps the newest backups whole (entry and file, still restorable) and removes
// the rest, files no entry names included.
TEST(CliBackups, PruneKeepsTheNewestRestorableAndRemovesTheRest) {
  CtlMachine m("--disk 32M");
  for (const char* req :
       {"create primary --disk 0 --size 4M", "create primary --disk 0 --size 4M", "letter disk0/p1 --remove"})
    ASSERT_EQ(m.On(req).rc, 0) << req;
  std::vector<std::string> names;
  const json listed = Json(m.On("backups list --json"));
  for (const auto& b : listed["backups"]) names.push_back(b["name"]);
  ASSERT_GE(names.size(), 2u);
  std::ofstream(m.dir + "/backups/left-by-a-crash.bak") << "x";
  // A dry run counts what would go and removes nothing.
  const auto before = fs::directory_iterator(m.dir + "/backups");
  const size_t count = static_cast<size_t>(std::distance(before, fs::directory_iterator()));
  const json dry = Json(m.On("--dry-run --json backups prune --keep 1"));
  EXPECT_EQ(dry["removed"], names.size() - 1);
  EXPECT_EQ(dry["dry_run"], true);
  EXPECT_EQ(static_cast<size_t>(
                std::distance(fs::directory_iterator(m.dir + "/backups"), fs::directory_iterator())),
            count);
  ASSERT_EQ(Json(m.On("backups list --json"))["backups"].size(), names.size());
  ASSERT_EQ(m.On("backups prune --keep 1").rc, 0);
  const json left = Json(m.On("backups list --json"))["backups"];
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]["name"], names.back());
  std::set<std::string> files;
  for (const auto& f : fs::directory_iterator(m.dir + "/backups")) files.insert(f.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"index.json", left[0]["file"].get<std::string>()}));
  EXPECT_TRUE(Fails(m.On("restore " + names.front()), "no backup named"));
  EXPECT_EQ(m.On("restore --force " + names.back()).rc, 0);
}

// An edited or damaged backups/index.json: entries of another shape are left out of the
// list and refused by restore (a file named outside backups/ is never read into a table),
// and a later request's backup is still kept.
TEST(CliBackups, ADamagedIndexIsNeitherTrustedNorFatal) {
  CtlMachine m("--disk 32M");
  ASSERT_EQ(m.On("create primary --disk 0 --size 4M").rc, 0);
  const std::string index = m.dir + "/backups/index.json";
  json j = json::parse(ReadAt(index, 0, 1 << 20), nullptr, false);
  ASSERT_EQ(j["backups"].size(), 1u);
  json outside = j["backups"][0];
  const std::string victim = m.dir + "/not-a-backup";
  std::ofstream(victim) << std::string(outside["sectors"].size() * 512, 'V');
  outside["name"] = "outside";
  outside["file"] = victim;
  j["backups"].push_back(outside);
  j["backups"].push_back(7);
  std::ofstream(index, std::ios::trunc) << j.dump();
  const Result listed = m.On("backups list --json");
  EXPECT_EQ(listed.rc, 0) << listed.err;
  EXPECT_NE(listed.err.find("2 entries"), std::string::npos) << listed.err;
  EXPECT_EQ(Json(listed)["backups"].size(), 1u);
  EXPECT_TRUE(Fails(m.On("restore --force outside"), "damaged"));
  ASSERT_EQ(m.On("create primary --disk 0 --size 4M").rc, 0);
  EXPECT_EQ(Json(m.On("backups list --json"))["backups"].size(), 2u);
}

TEST(CliFailures, EveryFailedWriteExitsOneAndNamesIt) {
  CtlMachine m;
  const std::pair<const char*, const char*> cases[] = {
      // The provider does not report a failed store of "Information".
      {"platform:RegSetValueExW:1:C0000185", "registry update failed"},
      {"platform:RegistryCommit:2:C0000185", "registry update failed"},  // the first commit is the boot's
      {"host:AlertsLogAppend:1:C1000001", "alert was not recorded"},
  };
  for (const auto& [faults, says] : cases) {
    Result r =
        m.On("--json create primary --disk 0 --size 4M", "", std::string("FTDISKCTL_FAULTS=") + faults);
    EXPECT_TRUE(Fails(r, says)) << faults;
    EXPECT_EQ(Json(r)["ok"], false) << faults << ": " << r.out;
  }
  // A line cut by a crash is skipped when read and never glued to the next alert.
  { std::ofstream(m.dir + "/alerts.log", std::ios::app) << "{\"time\":17,\"sever"; }
  ASSERT_EQ(m.On("create primary --disk 1 --size 4M").rc, 0);
  std::vector<std::string> bad;
  std::ifstream f(m.dir + "/alerts.log");
  for (std::string line; std::getline(f, line);)
    if (!json::parse(line, nullptr, false).is_object()) bad.push_back(line);
  EXPECT_EQ(bad, std::vector<std::string>{"{\"time\":17,\"sever"});
  Result r = m.On("--json alerts");
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.err.find("not JSON"), std::string::npos) << r.err;
  EXPECT_EQ(Json(r)["alerts"].back()["text"], "Created Partition");
  // Text gives the log's seconds as local ISO 8601 times, or as they are with --epoch.
  const int64_t time = Json(r)["alerts"].back()["time"];
  char iso[32];
  const time_t t = time;
  struct tm utc {};
  strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S+00:00", gmtime_r(&t, &utc));
  const std::string tz = "TZ=UTC ";
  EXPECT_NE(m.On("alerts", "", tz).out.find(std::string(iso) + "  alert: Created Partition"),
            std::string::npos);
  EXPECT_NE(m.On("alerts --epoch", "", tz).out.find(std::to_string(time) + "  alert: Created"),
            std::string::npos);
}

TEST(CliMachine, InitRefusesForeignDirectoriesAndCleansItsOwnHalfMadeMachine) {
  TempDir t;
  const std::string dir = t.path + "/m";
  EXPECT_TRUE(Fails(Ctl("-m " + Quote(dir) + " show"), "is not a machine directory"));
  fs::create_directories(dir);
  std::ofstream(dir + "/notes.txt") << "the administrator's own file";
  EXPECT_TRUE(Fails(Ctl("init " + Quote(dir) + " --disk 32M"), "--force"));
  EXPECT_FALSE(fs::exists(dir + "/disks"));
  // An image in the way is named, and --force never overwrites it.
  fs::create_directories(dir + "/disks");
  std::ofstream(dir + "/disks/disk0.img") << "someone's data";
  EXPECT_TRUE(Fails(Ctl("init " + Quote(dir) + " --disk 32M --force"), "disk0.img exists already"));
  EXPECT_EQ(fs::file_size(dir + "/disks/disk0.img"), 14u);
  fs::remove(dir + "/disks/disk0.img");
  ASSERT_EQ(Ctl("init " + Quote(dir) + " --disk 32M --force").rc, 0);
  EXPECT_TRUE(fs::exists(dir + "/notes.txt"));
  EXPECT_EQ(Ctl("init " + Quote(dir) + " --disk 64M").rc, 1) << "init over a machine is refused";

  // An init killed after making its images and before its configuration: the next one
  // finishes without --force.
  const std::string half = t.path + "/half";
  ASSERT_EQ(Ctl("init " + Quote(half) + " --disk 32M --disk 32M").rc, 0);
  fs::remove(half + "/machine.toml");
  std::ofstream(half + "/init.partial") << "# interrupted\ndisks/disk0.img\ndisks/disk1.img\n";
  // A dry run says what the init would clean and make, and touches nothing.
  Result dry = Ctl("--dry-run init " + Quote(half) + " --disk 16M");
  ASSERT_EQ(dry.rc, 0) << dry.err;
  EXPECT_NE(dry.err.find("would be removed"), std::string::npos) << dry.err;
  EXPECT_TRUE(fs::exists(half + "/init.partial") && fs::exists(half + "/disks/disk1.img"));
  EXPECT_FALSE(fs::exists(half + "/machine.toml"));
  Result r = Ctl("init " + Quote(half) + " --disk 16M");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(half + "/init.partial"));
  EXPECT_FALSE(fs::exists(half + "/disks/disk1.img"));
  EXPECT_EQ(fs::file_size(half + "/disks/disk0.img"), 16u << 20);
  EXPECT_EQ(Ctl("-m " + Quote(half) + " show").rc, 0);
}
