// dump: the machine's partition tables, FT sets and drive letters as a dump (dumpfile.h);
// apply: a dump replayed onto the machine through the requests an administrator would
// make, after the whole of it was checked against the machine's disks (apply_plan.h).
#include <fstream>
#include <iostream>
#include <sstream>

#include "apply_plan.h"
#include "apply_steps.h"
#include "command_table.h"
#include "dumpfile.h"
#include "machine_dump.h"
#include "request.h"

namespace cli {

using dumpapply::Step;
using ftformat::Dump;
using ftformat::DumpDisk;
using ftformat::DumpLetter;
using ftformat::DumpMember;
using ftformat::DumpPartition;
using ftformat::DumpSet;

namespace {

// The dump as data (docs/schema/dump.schema.json).
json DumpJson(const Dump& d) {
  json disks = json::array(), sets = json::array(), letters = json::array();
  for (const DumpDisk& k : d.disks) {
    json parts = json::array();
    for (const DumpPartition& p : k.partitions)
      parts.push_back({{"name", p.name},
                       {"number", p.number},
                       {"start", p.start},
                       {"size", p.size},
                       {"type", p.type},
                       {"bootable", p.bootable}});
    disks.push_back({{"name", k.Name()},
                     {"index", k.index},
                     {"bytes", k.bytes},
                     {"sector_size", k.sectorSize},
                     {"cylinders", k.cylinders},
                     {"heads", k.heads},
                     {"sectors", k.sectors},
                     {"signature", k.signature},
                     {"partitions", parts}});
  }
  for (const DumpSet& s : d.sets) {
    json members = json::array();
    for (const DumpMember& m : s.members)
      members.push_back({{"member", m.member}, {"partition", m.partition}, {"state", m.state}});
    sets.push_back(
        {{"name", s.name}, {"type", s.type}, {"group", s.group}, {"state", s.state}, {"members", members}});
  }
  for (const DumpLetter& l : d.letters)
    letters.push_back({{"volume", l.volume}, {"letter", std::string(1, l.letter) + ":"}});
  return {{"disks", disks}, {"ft_sets", sets}, {"letters", letters}};
}

}  // namespace

int CmdDump(Session& s, const Options& opt, const std::vector<std::string>& disks, std::ostream& out,
            std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  const Machine m = Machine::Read();
  std::vector<unsigned> only;
  for (const std::string& text : disks) {
    unsigned index = 0;
    if (!dumpapply::DiskIndex(text, &index) || !m.FindDisk(index)) {
      err << "ftdiskctl: there is no disk '" << text << "' (the machine has " << m.disks.size()
          << "; see 'ftdiskctl show')\n";
      return kUsage;
    }
    only.push_back(index);
  }
  std::vector<std::string> notes;
  const Dump d = dumpapply::MakeDump(m, only, &notes);
  if (opt.json) {
    json doc = DumpJson(d);
    doc["notes"] = notes;
    PrintJsonResult(out, doc);
    return kOk;
  }
  std::string text = DumpText(d);
  for (const std::string& n : notes) text += "# note: " + n + "\n";
  out << text;
  return kOk;
}

namespace {

// What a step prints when it is done (or would be, in a dry run).
std::string Said(const Step& step, bool dry) {
  const std::string sectors = " (" + dumpapply::Sectors(step.partition) + ")";
  switch (step.kind) {
    case Step::Kind::Create:
      return Verb(dry, "created ", "would create ") + step.partition.name + sectors;
    case Step::Kind::MakeActive:
      return Verb(dry, "made ", "would make ") + step.partition.name + " active";
    case Step::Kind::RecordSet:
      return Verb(dry, "recorded ", "would record ") + step.set.name;
    case Step::Kind::SetTypes: {
      std::string list;
      for (const DumpPartition& p : step.types) list += (list.empty() ? "" : ", ") + p.name;
      return Verb(dry, "set the partition types of ", "would set the partition types of ") + list;
    }
    case Step::Kind::TakeLetters:
    case Step::Kind::GiveLetters:
      break;
  }
  return "";
}

// The letter changes a letters step made, in words.
void PrintLetters(std::ostream& out, bool dry, const std::vector<dumpapply::LetterChange>& done) {
  for (const dumpapply::LetterChange& c : done)
    if (c.letter == 0)
      out << Verb(dry, "took ", "would take ") << c.had << ": from " << c.volume << "\n";
    else
      out << Verb(dry, "gave ", "would give ") << c.volume << " the letter " << c.letter << ":\n";
}

}  // namespace

int CmdApply(Session& s, const Options& opt, const std::string& file, bool force, std::ostream& out,
             std::ostream& err) {
  if (file == "-" && opt.inShell) {
    err << "ftdiskctl: inside the shell, standard input holds the shell's lines; give apply a file\n";
    return kUsage;
  }
  std::string text;
  {
    std::ifstream f;
    if (file != "-") f.open(file, std::ios::binary);
    std::istream& in = file == "-" ? std::cin : f;
    if (!in) {
      err << "cannot apply '" << file << "': it cannot be read\n";
      return kFailed;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  const std::string what = "cannot apply '" + file + "'";
  Dump d;
  std::string e;
  if (!ParseDump(text, &d, &e)) {
    if (opt.json) PrintJsonFailure(out, what + ": " + e);
    err << what << ": " << e << "\n";
    return kFailed;
  }
  if (!OpenOr(s, opt, err)) return kFailed;
  dumpapply::ApplyPlan plan;
  std::vector<std::pair<unsigned, uint32_t>> signatures;
  std::string warnings;
  const ntp::Status planned = dumpapply::PlanWithSignatures(s, opt.dir, opt.noWait, opt.dryRun, d, force,
                                                            &plan, &signatures, &warnings);
  json done = json::array();
  std::ostringstream lines;
  for (const auto& [index, signature] : signatures) {
    const std::string line = Verb(opt.dryRun, "wrote", "would write") + " the signature " +
                             HexStatus(signature) + " on disk" + std::to_string(index);
    lines << line << "\n";
    done.push_back(line);
  }
  err << warnings;
  if (!planned.ok()) {
    err << planned.message() << "\n";
    return kFailed;
  }
  const std::vector<std::string>& problems = plan.problems;
  if (!problems.empty()) {
    std::string message = what + ": it does not fit this machine; nothing was written";
    if (opt.json) {
      PrintJsonFailure(out, message, nullptr, json{{"file", file}, {"problems", problems}, {"steps", done}});
    } else {
      for (const auto& p : problems) err << "  " << p << "\n";
    }
    err << message << "\n";
    return kFailed;
  }
  const dumpapply::StepContext steps{RequestsFor(opt), [&err](const std::string& text) { err << text; }};
  int rc = kOk;
  for (const Step& step : plan.steps) {
    std::ostringstream said;
    std::vector<dumpapply::LetterChange> letters;
    rc = dumpapply::RunStep(s, step, d, steps, &letters) ? kOk : kFailed;
    if (rc != kOk) break;
    PrintLetters(said, opt.dryRun, letters);
    const std::string line = Said(step, opt.dryRun);
    if (!line.empty()) said << line << "\n";
    lines << said.str();
    std::istringstream split(said.str());
    for (std::string l; std::getline(split, l);) done.push_back(l);
  }
  std::vector<std::string> diffs;
  if (rc == kOk) diffs = dumpapply::Differences(Machine::Read(), d);
  if (!opt.json) out << lines.str();
  std::string message;
  if (rc != kOk)
    message = what + ": a request failed after the steps above; run apply again with --force to complete it";
  else if (!diffs.empty())
    message = what + ": the tables differ from the dump: " + diffs.front() +
              (diffs.size() > 1 ? " (and " + std::to_string(diffs.size() - 1) + " more)" : "");
  if (opt.json) {
    json doc = {{"file", file}, {"steps", done}, {"problems", json::array()}};
    if (message.empty())
      PrintJsonResult(out, doc);
    else
      PrintJsonFailure(out, message, nullptr, doc);
  } else if (message.empty()) {
    out << Verb(opt.dryRun, "applied ", "would apply ") << file << ": "
        << (done.empty() ? "the machine holds all of it already" : std::to_string(done.size()) + " change(s)")
        << "\n";
  }
  if (!message.empty()) {
    err << message << "\n";
    return kFailed;
  }
  return kOk;
}

std::vector<CommandSpec> DumpCommands() {
  return {
      {"dump",
       "print the partition tables, FT sets and drive letters in sfdisk's dump format (for apply)",
       {Texts("DISK", "only these disks (diskN or N)").Of(Names::kDisk)},
       kReadOnly,
       [](Call& c) { return CmdDump(c.s, c.opt, c.a.Texts("DISK"), c.out, c.err); },
       "ftdiskctl -m m dump > m.dump"},

      {"apply",
       "lay out the disks, FT sets and drive letters of a dump through requests",
       {Text("DUMP", "the dump file (from 'ftdiskctl dump' or 'sfdisk -d'), or - for standard input")
            .Req()
            .Of(Names::kFile),
        Flag("--force", "go on with disks that hold the dump's partitions already (an apply cut short)")
            .Into(&Options::force)},
       kWrites,
       [](Call& c) { return CmdApply(c.s, c.opt, c.a.Text("DUMP"), c.opt.force, c.out, c.err); },
       "ftdiskctl -m fresh apply m.dump"},
  };
}

}  // namespace cli
