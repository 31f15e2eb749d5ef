// "ftdiskctl volume ..." and "ft verify": the arguments, confirmations and printing of
// FT volume data read, written and checked through the platform's FT layout, and of a
// device-mapper table that gives Linux the same view; the work is in ftdata/.
#include <unistd.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <sstream>

#include "command_table.h"
#include "dmtable.h"
#include "ftcmd.h"
#include "ftconfig.h"
#include "ftmap.h"
#include "ftset.h"
#include "overlay.h"
#include "passes.h"
#include "request.h"
#include "volume_copy.h"

namespace cli {

namespace {

namespace fm = ntp::ftmap;

using ftdata::LoadNamedSet;
using ftdata::OpenVolume;
using ftdata::Set;

}  // namespace

// At most a few times a second.
fm::Progress PassProgress(const std::string& what, std::ostream& err) {
  if (!isatty(2)) return nullptr;
  struct State {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now(), last{};
    bool shown = false;
  };
  auto st = std::make_shared<State>();
  return [what, st, &err](uint64_t done, uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    const bool end = total != 0 && done >= total;
    if (!end && st->shown && now - st->last < std::chrono::milliseconds(200)) return;
    st->last = now;
    st->shown = true;
    const double secs = std::chrono::duration<double>(now - st->start).count();
    err << "\r" << what << ": " << FormatSize(done);
    if (total != 0) err << " of " << FormatSize(total) << " (" << done * 100 / total << "%)";
    if (secs > 0.5)
      err << ", " << FormatSize(static_cast<uint64_t>(static_cast<double>(done) / secs)) << "/s";
    err << "   " << (end ? "\n" : "") << std::flush;
  };
}

int CmdVolumeExport(Session& s, const Options& opt, const std::string& volume, const std::string& file,
                    std::ostream& out, std::ostream& err) {
  const std::string what = "cannot export " + volume;
  if (!OpenOr(s, opt, err)) return kFailed;
  Set set;
  std::string e;
  if (!LoadNamedSet(Machine::Read(), volume, &set, &e)) return err << what << ": " << e << "\n", kFailed;
  std::unique_ptr<fm::Volume> v;
  if (!OpenVolume(what, set, false, false, &v, err)) return kFailed;
  const bool toStdout = file == "-";
  if (toStdout) out.flush();
  const ntp::Status st =
      ftdata::ExportVolume(*v, opt.dir, file, toStdout ? nullptr : PassProgress("exporting " + volume, err));
  if (!st.ok()) return err << what << ": " << st.message() << "\n", kFailed;
  // With --json the document is printed for standard output too: the caller sends it to
  // standard error then.
  if (opt.json)
    out << JsonText(json{{"set", set.name()}, {"file", file}, {"bytes", v->Length()}}) << "\n";
  else if (!toStdout)
    out << "exported " << v->Length() << " bytes of " << volume << " to " << file << "\n";
  return kOk;
}

int CmdVolumeImport(Session& s, const Options& opt, const std::string& volume, const std::string& file,
                    bool pad, std::ostream& out, std::ostream& err) {
  const std::string what = "cannot import into " + volume;
  ftdata::ImportSource src;
  if (const ntp::Status st = ftdata::OpenImportSource(opt.dir, file, pad, &src); !st.ok())
    return err << what << ": " << st.message() << "\n", kFailed;
  if (!OpenOr(s, opt, err)) return kFailed;
  Set set;
  std::string e;
  if (!LoadNamedSet(Machine::Read(), volume, &set, &e)) return err << what << ": " << e << "\n", kFailed;
  std::unique_ptr<fm::Volume> v;
  if (!OpenVolume(what, set, true, false, &v, err)) return kFailed;
  if (const ntp::Status st = ftdata::CheckImportFits(src, file, v->Length()); !st.ok())
    return err << what << ": " << st.message() << "\n", kFailed;
  ftdata::ImportOutcome done;
  const ntp::Status st = ftdata::ImportVolume(s, set, std::move(v), src, file, pad,
                                              PassProgress("importing into " + volume, err), &done);
  if (done.simulated) {
    out << "dry run: " << (src.known ? std::to_string(src.size) + " bytes of " : "") << file
        << " would be written into " << volume << " (data is not simulated)\n";
    return kOk;
  }
  if (!st.ok()) {
    err << what << ": " << st.message() << "\n";
    if (done.unfinished)
      err << "the import is recorded as unfinished ('ftdiskctl check' reports it); import the whole image "
             "again\n";
    return kFailed;
  }
  // The set written, and each partition of it with its start and size.
  const std::string members = MembersSummary(Machine::Read(), set.name());
  if (opt.json)
    out << JsonText(
               json{{"set", set.name()}, {"file", file}, {"bytes", done.written}, {"partitions", members}})
        << "\n";
  else
    out << "wrote " << done.written << " bytes of " << file << " into " << set.name() << ": " << members
        << "\n";
  return kOk;
}

int CmdFtVerify(Session& s, const Options& opt, const std::string& setArg, bool repair, int from,
                std::ostream& out, std::ostream& err) {
  const std::string what = "cannot verify " + setArg;
  if (!OpenOr(s, opt, err)) return kFailed;
  Set set;
  std::string e;
  if (!LoadNamedSet(Machine::Read(), setArg, &set, &e)) return err << what << ": " << e << "\n", kFailed;
  const bool dry = repair && ntp::OverlayActive();
  ftdata::VerifyOutcome outcome;
  bool usage = false;
  const ntp::Status st = ftdata::Verify(what, set, repair, from, dry,
                                        PassProgress("verifying " + set.name(), err), &outcome, &usage);
  if (usage) return err << "ftdiskctl: " << st.message() << "\n", kUsage;
  if (!st.ok()) return err << st.message() << "\n", kFailed;
  from = static_cast<int>(outcome.from);
  const ftdata::Verified& found = outcome.found;
  const fm::VerifyReport& report = found.report;
  const std::vector<fm::Range>& volumeRanges = found.volumeRanges;
  const bool parity = set.type == StripeWithParity;
  json ranges = json::array();
  for (size_t i = 0; i < report.first.size(); ++i)
    ranges.push_back({{"member_offset", report.first[i].begin},
                      {"member_end", report.first[i].end},
                      {"volume_offset", volumeRanges[i].begin},
                      {"volume_end", volumeRanges[i].end}});
  if (opt.json) {
    out << JsonText(json{{"set", set.name()},
                         {"compared", parity ? "parity" : "members"},
                         {"from", parity ? json(nullptr) : json(from)},
                         {"mismatches", report.ranges},
                         {"mismatched_bytes", report.bytes},
                         {"first", ranges},
                         {"repaired", report.repaired}})
        << "\n";
  } else if (report.ranges == 0) {
    out << set.name() << ": every " << (parity ? "row's parity matches its data" : "member matches member ")
        << (parity ? "" : std::to_string(from)) << (repair && !dry ? "; the set is healthy" : "") << "\n";
  } else {
    out << set.name() << ": " << report.ranges << " mismatching range(s), " << report.bytes
        << " member bytes ("
        << (parity ? "rows whose parity does not match their data" : "where the members differ") << ")\n";
    for (size_t i = 0; i < report.first.size(); ++i) {
      const fm::Range &r = report.first[i], &vol = volumeRanges[i];
      out << "  volume bytes " << vol.begin << "-" << vol.end - 1 << " (member bytes " << r.begin << "-"
          << r.end - 1 << ")\n";
    }
    if (report.ranges > report.first.size())
      out << "  ... and " << report.ranges - report.first.size() << " more\n";
    if (report.repaired)
      out << "repaired: "
          << (parity ? "the parity was rewritten from the data"
                     : "copied from member " + std::to_string(from))
          << "; the set is healthy\n";
    else
      out << (dry ? "dry run: nothing was repaired; " : "") << "to repair: ftdiskctl ft verify " << set.name()
          << " --repair"
          << (parity ? " (rewrites the parity from the data)"
                     : " [--from MEMBER] (copies that member, default " + std::to_string(from) +
                           ", over the other)")
          << "\n";
  }
  if (report.ranges == 0 || report.repaired) return kOk;
  err << set.name() << " is not consistent: " << report.ranges << " mismatching range(s)"
      << (dry ? "; nothing was repaired in a dry run" : "") << "\n";
  return kFailed;
}

namespace {

// A name or table for dmsetup's concise format, where ',' and ';' separate fields.
std::string Concise(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ',' || c == ';' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

int CmdVolumeDmTable(Session& s, const Options& opt, const std::string& volume,
                     const std::vector<std::string>& memberDevices, bool concise, const std::string& name,
                     std::ostream& out, std::ostream& err) {
  const std::string what = "cannot describe " + volume;
  if (!OpenOr(s, opt, err)) return kFailed;
  Set set;
  std::string e;
  if (!LoadNamedSet(Machine::Read(), volume, &set, &e)) return err << what << ": " << e << "\n", kFailed;
  const size_t n = set.members.devices.size();
  if (!memberDevices.empty() && memberDevices.size() != n) {
    err << what << ": give one --member-device per member (" << n << ")\n";
    return kUsage;
  }
  ftdata::DmTable table;
  if (const ntp::Status st = ftdata::BuildDmTable(set, memberDevices, name, &table); !st.ok())
    return err << what << ": " << st.message() << "\n", kFailed;
  const std::string& top = table.name;
  const std::vector<std::string>& lines = table.lines;
  const auto& helpers = table.helpers;
  const bool files = table.memberFiles;
  if (opt.json) {
    // The table as data: each line's start, length, target and arguments, the helper
    // devices a raid target needs first (what --concise prints before the set's line).
    auto rows = [](const std::vector<std::string>& text) {
      json a = json::array();
      for (const auto& l : text) {
        std::istringstream words(l);
        uint64_t start = 0, length = 0;
        std::string target, args;
        words >> start >> length >> target;
        std::getline(words >> std::ws, args);
        a.push_back({{"start", start}, {"length", length}, {"target", target}, {"args", args}});
      }
      return a;
    };
    json helperDocs = json::array();
    for (const auto& [helper, line] : helpers)
      helperDocs.push_back({{"name", helper}, {"table", rows({line})}});
    PrintJsonResult(out, json{{"volume", set.name()},
                              {"name", top},
                              {"table", rows(lines)},
                              {"helpers", helperDocs},
                              {"member_files", files}});
    if (files)
      err << "note: some members are named by their disk's image file and start sector; dmsetup needs block "
             "devices, so attach the images with losetup (-P gives partition nodes)\n";
    return kOk;
  }
  if (!helpers.empty() && !concise) {
    err << what << ": the raid target needs "
        << (set.type == StripeWithParity ? "each member shifted by one row" : "whole member devices")
        << ", which takes a device of its own per member; print them all for 'dmsetup create --concise' "
           "with --concise (ftdiskctl volume dmtable "
        << volume << " --concise | sudo dmsetup create --concise)\n";
    return kFailed;
  }
  if (concise) {
    for (const auto& [helper, line] : helpers) out << Concise(helper) << ",,,," << Concise(line) << ";";
    out << Concise(top) << ",,,";
    for (const auto& l : lines) out << "," << Concise(l);
    out << "\n";
  } else {
    for (const auto& l : lines) out << l << "\n";
  }
  if (files)
    err << "note: some members are named by their disk's image file and start sector; dmsetup needs block "
           "devices, so attach the images with losetup (-P gives partition nodes) and run this again\n";
  return kOk;
}

std::vector<CommandSpec> VolumeCommands() {
  const char* const kSetHelp = "the set (mirrorG, ...) or its letter";
  return {
      {"volume",
       "read, write and describe the data of an FT volume",
       {},
       kNeedsCommand,
       nullptr,
       "ftdiskctl -m m volume export stripe0 stripe.img\n"
       "zcat backup.img.gz | ftdiskctl -m m volume import parity0 -\n"
       "ftdiskctl -m m volume dmtable stripe0 | sudo dmsetup create nt-stripe0\n"
       "ftdiskctl -m m volume dmtable parity0 --concise | sudo dmsetup create --concise\n"
       "ftdiskctl -m m volume serve parity0 --socket /tmp/parity0.sock"},

      {"volume export",
       "write the volume's bytes to a file (- for standard output)",
       {Text("VOLUME", kSetHelp).Req().Of(Names::kFtSet).Meta("SET"),
        Text("FILE", "file to write, or -").Req().Of(Names::kFile).Meta("FILE|DEVICE|-"),
        Flag("--allow-holes",
             "when members are lost, write the bytes no member left holds as zeros and list them")},
       kReadOnly,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLUME");
         const std::string& file = c.a.Text("FILE");
         return c.a.Flag("allow-holes") ? CmdVolumeExportWithHoles(c.s, c.opt, set, file, c.out, c.err)
                                        : CmdVolumeExport(c.s, c.opt, set, file, c.out, c.err);
       },
       nullptr,
       "FILE"},

      {"volume import",
       "write an image into the volume through the FT layout",
       {Text("VOLUME", kSetHelp).Req().Of(Names::kFtSet).Meta("SET"),
        Text("FILE", "image to read: a file, a block device, or - for standard input")
            .Req()
            .Of(Names::kFile)
            .Meta("FILE|DEVICE|-"),
        Flag("--pad", "an image that ends inside a sector: keep the rest of that sector")},
       kWrites,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLUME");
         const std::string& file = c.a.Text("FILE");
         if (!Confirm(c.opt, "overwrite every byte of " + set + " with " + file + "?"))
           return c.err << "nothing changed\n", kFailed;
         return CmdVolumeImport(c.s, c.opt, set, file, c.a.Flag("pad"), c.out, c.err);
       }},

      {"volume dmtable",
       "print a device-mapper table for dmsetup create",
       {Text("VOLUME", kSetHelp).Req().Of(Names::kFtSet).Meta("SET"),
        Texts("--member-device", "the Linux device of each member, in member order")
            .Of(Names::kFile)
            .Meta("DEV"),
        Flag("--concise",
             "dmsetup's concise format, with the helper devices a raid target needs (dmsetup create "
             "--concise)"),
        Text("--name", "--concise: the set's device name (default: the set's name)")},
       kReadOnly,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLUME");
         return CmdVolumeDmTable(c.s, c.opt, set, c.a.Texts("member-device"), c.a.Flag("concise"),
                                 c.a.Text("name"), c.out, c.err);
       }},

      {"volume serve",
       "serve the volume over NBD (nbdkit) until stopped",
       {Text("VOLUME", kSetHelp).Req().Of(Names::kFtSet).Meta("SET"),
        Flag("--read-only", "refuse writes; the machine stays open to other readers"),
        Text("--socket", "listen on this Unix socket").Of(Names::kFile).Meta("PATH"),
        Int("--port", "listen on this TCP port of 127.0.0.1")},
       kReadOnly,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLUME");
         return CmdVolumeServe(c.s, c.opt, set, c.a.Flag("read-only"), c.a.Text("socket"), c.a.Int("port"),
                               c.out, c.err);
       }},
  };
}

}  // namespace cli
