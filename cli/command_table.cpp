// The commands of ftdiskctl gathered from their families, and the parser made from them.
// A new command is a row and its handler in its family's file.
#include "command_table.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iostream>

#include "ftcmd.h"
#include "hive_commands.h"

namespace cli {

namespace {

// Checks a SIZE argument (binary units or bytes); "max" is the whole free region.
std::string SizeCheck(const std::string& s) {
  if (s == "max") return "";
  uint64_t v;
  bool sectors;
  std::string e;
  return ParseSize(s, false, &v, &e, &sectors) ? "" : e;
}

std::string OffsetCheck(const std::string& s) {
  uint64_t v;
  bool sectors;
  std::string e;
  return ParseSize(s, true, &v, &e, &sectors) ? "" : e;
}

std::string LetterCheck(const std::string& s) {
  return ParseDriveLetter(s) ? "" : "'" + s + "' is not a drive letter (C: to Z:)";
}

std::string VolumeCheck(const std::string& s) {
  VolumeSpec v;
  std::string e;
  return ParseVolumeSpec(s, &v, &e) ? "" : e;
}

}  // namespace

OptionBuilder Flag(const char* names, const char* help) { return OptionBuilder(names, Holds::kFlag, help); }
OptionBuilder Text(const char* names, const char* help) { return OptionBuilder(names, Holds::kText, help); }
OptionBuilder Texts(const char* names, const char* help) { return OptionBuilder(names, Holds::kTexts, help); }

namespace {

OptionBuilder Number(const char* names, Holds holds, const char* help) {
  OptionBuilder o(names, holds, help);
  return names[0] == '-' ? o.Meta("N") : o;
}

}  // namespace

OptionBuilder Uint(const char* names, const char* help) { return Number(names, Holds::kUint, help); }
OptionBuilder Uints(const char* names, const char* help) { return Number(names, Holds::kUints, help); }
OptionBuilder Int(const char* names, const char* help) { return Number(names, Holds::kInt, help); }

int UsageError(Call& c, const char* message) {
  c.err << "ftdiskctl: " << message << "\n";
  return kUsage;
}

namespace {

// The rows of the program itself.
std::vector<CommandSpec> ProgramCommands() {
  return {
      {"",
       "ftdiskctl: manage the partitions, drive letters and FT sets of a machine",
       {Text("-m,--machine", "machine directory (default ./machine, or $FTDISKCTL_MACHINE)")
            .Of(Names::kDir)
            .Meta("DIR")
            .Into(&Options::dir),
        Texts("--image",
              "instead of -m: look at this disk image or block device without a machine (read-only commands; "
              "nothing is written); repeatable")
            .Of(Names::kFile)
            .Meta("IMAGE"),
        Text("--hive", "with --image: the FT configuration of the DISK key of this NT SYSTEM hive")
            .Of(Names::kFile)
            .Meta("SYSTEM")
            .Excludes("--reg"),
        Text("--reg", "with --image: the FT configuration of this REGEDIT4 .reg file")
            .Of(Names::kFile)
            .Meta("FILE"),
        Flag("--no-wait", "fail at once when another process holds the machine").Into(&Options::noWait),
        Flag("--json", "print JSON (schema: docs/json-schema.md)").Into(&Options::json),
        Flag("--bytes", "print sizes and offsets as exact byte counts").Into(&Options::bytes),
        Flag("--sectors",
             "print sizes and offsets in sectors of their disk (show, layout); a remainder as +Nb")
            .Excludes("--bytes")
            .Into(&Options::sectors),
        Flag("--cylinders",
             "print sizes and offsets in cylinders of their disk's geometry (show, layout); what is past the "
             "last whole cylinder as +Ns, in sectors")
            .Excludes("--sectors")
            .Into(&Options::cylinders),
        Flag("-y,--yes",
             "do not ask before a request destroys data (asked only on a terminal: delete of a partition "
             "holding "
             "a file system, ft delete and break, volume import, restore)")
            .Into(&Options::yes),
        Flag(
            "-q,--quiet",
            "print nothing on standard output (errors still go to standard error): the exit status tells, as "
            "with grep -q")
            .Excludes("--json")
            .Into(&Options::quiet),
        Flag("-n,--dry-run", "run a writing request on an overlay of the machine and print what would change")
            .Into(&Options::dryRun),
        Text("--color", "colours in tables: auto (on a terminal), always or never")
            .Choices({"auto", "always", "never"})
            .Meta("WHEN")
            .Into(&Options::color),
        Flag("--version", "print the version of ftdiskctl and of the provider module")},
       0,
       nullptr,
       "ftdiskctl init m --disk 512M --disk 512M\nftdiskctl -m m create primary --disk 0 --size 100M\n"
       "ftdiskctl -m m letter disk0/p1 E:\nftdiskctl -m m show\n"},
  };
}

// Every row, in the order of help and of the parser.
std::vector<CommandSpec> MakeTable() {
  std::vector<CommandSpec> table;
  for (auto family : {ProgramCommands, MachineCommands, DetachCommands, ShowCommands, DumpCommands,
                      PartitionCommands, CheckCommands, MenuCommands, RegistryCommands, RecoverCommands,
                      AlertCommands, BackupCommands, DemoCommands, FtCommands, VolumeCommands, ShellCommands})
    for (CommandSpec& row : family()) table.push_back(std::move(row));
  return table;
}

// The parent of a path: "ft edit define" -> "ft edit", "show" -> "".
std::string ParentPath(const std::string& path) {
  const size_t space = path.rfind(' ');
  return space == std::string::npos ? "" : path.substr(0, space);
}

std::string LastWord(const std::string& path) { return path.substr(path.rfind(' ') + 1); }

// A disk is taken by its number (0) or by its name as the documents give it (disk0).
std::string DiskNumber(std::string& value) {
  std::string digits = value.rfind("disk", 0) == 0 ? value.substr(4) : value;
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
    return "a disk is named by its number (0) or its name (disk0), not '" + value + "'";
  value = digits;
  return "";
}

CLI::Validator ValidatorOf(Check check) {
  switch (check) {
    case Check::kSize:
      return CLI::Validator(SizeCheck, "SIZE");
    case Check::kOffset:
      return CLI::Validator(OffsetCheck, "BYTES");
    case Check::kVolume:
      return CLI::Validator(VolumeCheck, "VOLUME");
    case Check::kLetter:
      return CLI::Validator(LetterCheck, "X:");
    case Check::kColumns:
      return CLI::Validator(CheckColumns, "COLUMNS");
    case Check::kVolumeColumns:
      return CLI::Validator(CheckVolumeColumns, "COLUMNS");
    case Check::kExistingFile:
      return CLI::ExistingFile;
    case Check::kNone:
      break;
  }
  return CLI::Validator();
}

// "Example:" and its line, or "Examples:" and theirs.
std::string Footer(const std::string& example) {
  std::string lines = example;
  if (!lines.empty() && lines.back() == '\n') lines.pop_back();
  const bool many = lines.find('\n') != std::string::npos;
  std::string text = many ? "Examples:" : "Example:";
  size_t from = 0;
  while (from <= lines.size()) {
    const size_t nl = lines.find('\n', from);
    text += "\n  " + lines.substr(from, nl - from);
    if (nl == std::string::npos) break;
    from = nl + 1;
  }
  return text;
}

// An option or argument as the synopsis writes it: "--disk N", "[DIR]", "MEMBER...".
std::string SynopsisWord(const OptionSpec& o) {
  const std::string names = o.names;
  const bool positional = names[0] != '-';
  const std::string first = names.substr(0, names.find(','));
  std::string meta = o.meta != nullptr ? o.meta : positional ? names : "";
  if (!o.choices.empty()) {
    meta.clear();
    for (const auto& c : o.choices) meta += (meta.empty() ? "" : "|") + c;
  }
  if (meta.empty() && o.holds != Holds::kFlag) {
    meta = OptionKey(names);
    for (char& ch : meta)
      ch = ch == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  std::string word = positional ? meta : o.holds == Holds::kFlag ? first : first + " " + meta;
  const bool many = o.holds == Holds::kTexts || o.holds == Holds::kUints;
  if (!o.required) word = "[" + word + "]";
  return many ? word + "..." : word;
}

}  // namespace

int RunHandler(const CommandSpec& row, Call& c) {
  // An argument that should name an FT set and names none is a usage error (2), as an
  // unknown volume is elsewhere; a set named rightly that does not exist is a failure (1).
  for (const OptionSpec& o : row.options)
    if (o.object == Names::kFtSet && o.names[0] != '-' && SetArgumentFails(c.a.Text(o.names), c.err))
      return kUsage;
  return row.handler(c);
}

const std::vector<CommandSpec>& CommandTable() {
  static const std::vector<CommandSpec> table = MakeTable();
  return table;
}

std::string OptionKey(const std::string& names) {
  std::string key;
  size_t from = 0;
  while (from <= names.size()) {
    const size_t comma = names.find(',', from);
    const std::string name = names.substr(from, comma - from);
    if (name.rfind("--", 0) == 0) key = name.substr(2);
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  return key.empty() ? names : key;
}

const Args::Value& Args::Get(const std::string& key) const {
  static const Value none;
  const auto it = values_.find(scope_ + "\n" + key);
  return it == values_.end() ? none : it->second;
}

bool Args::Given(const std::string& key) const {
  const Value& v = Get(key);
  return v.option != nullptr && v.option->count() > 0;
}

namespace {

// Adds a word to a synopsis line, which goes on below, indented, past 100 columns.
void Append(std::string* line, const std::string& word) {
  const size_t last = line->rfind('\n');
  const size_t width = line->size() - (last == std::string::npos ? 0 : last + 1);
  *line += (width + 1 + word.size() > 100 ? "\n        " : " ") + word;
}

}  // namespace

void PrintSynopsis(std::ostream& out) {
  const auto& table = CommandTable();
  for (const CommandSpec& row : table) {
    const std::string path = row.path;
    // A command with commands of its own is shown through them.
    const bool hasCommands = std::any_of(table.begin(), table.end(), [&](const CommandSpec& r) {
      return !path.empty() && std::string(r.path).rfind(path + " ", 0) == 0;
    });
    if (hasCommands) continue;
    std::string line = "ftdiskctl" + (path.empty() ? "" : " " + path);
    std::vector<bool> shown(row.options.size(), false);
    for (size_t i = 0; i < row.options.size(); ++i) {
      if (shown[i]) continue;
      const OptionSpec& o = row.options[i];
      std::string word = SynopsisWord(o);
      // Two options that exclude each other are shown as alternatives.
      for (size_t j = i + 1; j < row.options.size(); ++j) {
        const OptionSpec& p = row.options[j];
        const bool pair = (o.excludes != nullptr && OptionKey(o.excludes) == OptionKey(p.names)) ||
                          (p.excludes != nullptr && OptionKey(p.excludes) == OptionKey(o.names));
        if (!pair || o.required || p.required) continue;
        OptionSpec a = o, b = p;
        a.required = b.required = true;
        word = "[" + SynopsisWord(a) + " | " + SynopsisWord(b) + "]";
        shown[j] = true;
        break;
      }
      Append(&line, word);
    }
    if (path.empty()) Append(&line, "COMMAND [ARGS]");
    out << line << "\n";
  }
}

CommandParser::CommandParser(CLI::App& app, Options& opt, Args& args, const std::vector<std::string>* words,
                             bool listAll)
    : app_(app), args_(args) {
  const std::string programFooter = Footer(CommandTable().front().example) +
                                    "\nExit status: 0 success, 1 the request failed, 2 usage error.";
  app.require_subcommand(0, 1);
  app.fallthrough();  // before the commands are added: they inherit it
  std::map<std::string, CLI::App*> byPath;
  for (const CommandSpec& row : CommandTable()) {
    const std::string path = row.path;
    const std::string top = path.substr(0, path.find(' '));
    const bool whole =
        words == nullptr || top.empty() || std::find(words->begin(), words->end(), top) != words->end();
    if (!whole) {
      // A command the line does not name: its name and help for the program's help and
      // messages, nothing below it.
      if (path == top && listAll) apps_[&row] = app.add_subcommand(path, row.help);
      continue;
    }
    CLI::App* c = path.empty() ? &app : byPath.at(ParentPath(path))->add_subcommand(LastWord(path), row.help);
    byPath[path] = c;
    apps_[&row] = c;
    if (row.access & kNeedsCommand) c->require_subcommand(1);
    for (const OptionSpec& o : row.options) {
      Args::Value& v = args_.values_[path + "\n" + OptionKey(o.names)];
      CLI::Option* added = nullptr;
      switch (o.holds) {
        case Holds::kFlag:
          added = c->add_flag(o.names, o.flag ? opt.*o.flag : v.flag, o.help);
          break;
        case Holds::kText:
          added = c->add_option(o.names, o.text ? opt.*o.text : v.text, o.help);
          break;
        case Holds::kTexts:
          added = c->add_option(o.names, v.texts, o.help);
          break;
        case Holds::kUint:
          added = c->add_option(o.names, v.u, o.help);
          break;
        case Holds::kUints:
          added = c->add_option(o.names, v.us, o.help);
          break;
        case Holds::kInt:
          added = c->add_option(o.names, v.i, o.help);
          break;
      }
      v.option = added;
      if (o.required) added->required();
      if (o.object == Names::kDisk && o.holds != Holds::kText)
        added->transform(CLI::Validator(DiskNumber, ""));
      if (!o.choices.empty()) added->check(CLI::IsMember(o.choices));
      if (o.check != Check::kNone) added->check(ValidatorOf(o.check));
    }
    for (const OptionSpec& o : row.options)
      if (o.excludes != nullptr) args_.values_[path + "\n" + OptionKey(o.names)].option->excludes(o.excludes);
    // A command without examples of its own shows the program's.
    c->footer(row.example != nullptr && !path.empty() ? Footer(row.example) : programFooter);
  }
}

const CommandSpec* CommandParser::RowOf(const CLI::App* app) const {
  for (const auto& [row, a] : apps_)
    if (a == app) return row;
  return nullptr;
}

CLI::App* CommandParser::AppOf(const CommandSpec& row) const { return apps_.at(&row); }

const CommandSpec& CommandParser::Parsed() const {
  const CLI::App* at = &app_;
  while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
  return *RowOf(at);
}

CLI::Option* CommandParser::OptionOf(const CommandSpec& row, const std::string& key) const {
  const auto it = args_.values_.find(std::string(row.path) + "\n" + key);
  return it == args_.values_.end() ? nullptr : it->second.option;
}

unsigned CommandParser::AccessOf(const CommandSpec& row) const {
  if (row.switchOption == nullptr) return row.access;
  const CLI::Option* o = OptionOf(row, OptionKey(row.switchOption));
  return o != nullptr && o->count() > 0 ? row.accessWith : row.access;
}

}  // namespace cli
