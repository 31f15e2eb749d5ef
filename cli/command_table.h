// The one table of ftdiskctl's commands: for each its words, arguments and options, what
// it may do (write, boot read-only, run in the shell, take --dry-run or --image), its
// handler, help and example. The parser, --help, the shell's help, the bash completion
// and the man page's synopsis are all made from it.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "cli.h"

namespace cli {

// What a command's argument names (for its synopsis and help).
enum class Names { kNothing, kDisk, kRegion, kVolume, kFtSet, kBackup, kFile, kDir, kWord };

// How an option's value is held.
enum class Holds { kFlag, kText, kTexts, kUint, kUints, kInt };

// A check on a value, made by the parser (a usage error names the option).
enum class Check { kNone, kSize, kOffset, kVolume, kLetter, kColumns, kVolumeColumns, kExistingFile };

struct OptionSpec {
  const char* names;  // "-o,--output", or an argument's name ("DIR")
  Holds holds;
  const char* help;
  bool required = false;
  Names object = Names::kNothing;
  const char* meta = nullptr;                 // the value's name in the synopsis
  std::vector<std::string> choices = {};      // the only words accepted
  std::vector<std::string> completions = {};  // words offered by completion (choices too)
  Check check = Check::kNone;
  const char* excludes = nullptr;  // an option of the same command
  bool Options::*flag = nullptr;   // held in the command's Options instead
  std::string Options::*text = nullptr;
};

// What a command may do.
enum Access : unsigned {
  kWrites = 1u << 0,         // a request of the provider: takes --dry-run
  kReadOnly = 1u << 1,       // the machine is booted read-only; --image may stand for it
  kOwnProcess = 1u << 2,     // not in the shell
  kWritesOutside = 1u << 3,  // writes files of its own (no dry run)
  kNoJson = 1u << 4,         // output for people only: --json is refused
  kOwnOutput = 1u << 5,      // prints as it goes (the shell): no JSON document wrapped around it
  kNeedsCommand = 1u << 6,   // a word of its own must follow (registry, ft, volume)
  kOwnDryRun = 1u << 7,      // writes outside the requests, with a --dry-run of its own
};

class Args;
class CommandParser;
struct Call;
using Handler = std::function<int(Call&)>;

struct CommandSpec {
  const char* path;  // "registry show"; "" is ftdiskctl itself
  const char* help;
  std::vector<OptionSpec> options = {};
  unsigned access = 0;
  Handler handler = nullptr;
  const char* example = nullptr;  // lines; "Example:" or "Examples:" above them
  const char* dataArg = nullptr;  // an argument that, when "-", makes standard output the data's
  // With this option given, the access is accessWith instead ("ft verify --repair" writes).
  const char* switchOption = nullptr;
  unsigned accessWith = 0;
};

const std::vector<CommandSpec>& CommandTable();

// The rows are written with these: Flag("--force", ...), Text("DIR", ...) and the
// like, then what sets the option apart (.Req(), .Of(Names::kDisk), ...).
struct OptionBuilder : OptionSpec {
  OptionBuilder(const char* names, Holds holds, const char* help) : OptionSpec{names, holds, help} {}
  OptionBuilder& Req() { return required = true, *this; }
  OptionBuilder& Of(Names n) { return object = n, *this; }
  OptionBuilder& Meta(const char* m) { return meta = m, *this; }
  OptionBuilder& Choices(std::vector<std::string> c) { return choices = std::move(c), *this; }
  OptionBuilder& Offers(std::vector<std::string> c) { return completions = std::move(c), *this; }
  OptionBuilder& Checked(Check c) { return check = c, *this; }
  OptionBuilder& Excludes(const char* other) { return excludes = other, *this; }
  OptionBuilder& Into(bool Options::*f) { return flag = f, *this; }
  OptionBuilder& Into(std::string Options::*t) { return text = t, *this; }
};
OptionBuilder Flag(const char* names, const char* help);
OptionBuilder Text(const char* names, const char* help);
OptionBuilder Texts(const char* names, const char* help);
// A number option's value is N in the synopsis; an argument is named by its name.
OptionBuilder Uint(const char* names, const char* help);
OptionBuilder Uints(const char* names, const char* help);
OptionBuilder Int(const char* names, const char* help);

// "ftdiskctl: MESSAGE" on standard error; the usage error's exit status.
int UsageError(Call& c, const char* message);

// Each family's rows, kept next to its handlers; CommandTable() gathers them in this order.
std::vector<CommandSpec> MachineCommands();    // init, attach (machine_commands.cpp)
std::vector<CommandSpec> DetachCommands();     // detach.cpp
std::vector<CommandSpec> ShowCommands();       // show, layout (show_commands.cpp)
std::vector<CommandSpec> DumpCommands();       // dump, apply (dump.cpp)
std::vector<CommandSpec> PartitionCommands();  // create ... rescan (partition_commands.cpp)
std::vector<CommandSpec> CheckCommands();      // check.cpp
std::vector<CommandSpec> MenuCommands();       // menus (partition_commands.cpp)
std::vector<CommandSpec> RegistryCommands();   // registry show, export, import (registry_commands.cpp)
std::vector<CommandSpec> RecoverCommands();    // registry recover (recover.cpp)
std::vector<CommandSpec> AlertCommands();      // alerts (show_commands.cpp)
std::vector<CommandSpec> BackupCommands();     // backups, restore (backup.cpp)
std::vector<CommandSpec> DemoCommands();       // demo.cpp
std::vector<CommandSpec> FtCommands();         // ft.cpp
std::vector<CommandSpec> VolumeCommands();     // volume.cpp
std::vector<CommandSpec> ShellCommands();      // shell.cpp

// The values one command line gave, by option key: an argument's name ("DIR") or an
// option's long name without dashes ("disk").
class Args {
 public:
  const std::string& Text(const std::string& key) const { return Get(key).text; }
  const std::vector<std::string>& Texts(const std::string& key) const { return Get(key).texts; }
  unsigned Uint(const std::string& key) const { return Get(key).u; }
  const std::vector<unsigned>& Uints(const std::string& key) const { return Get(key).us; }
  int Int(const std::string& key) const { return Get(key).i; }  // -1 when not given
  bool Flag(const std::string& key) const { return Get(key).flag; }
  bool Given(const std::string& key) const;

 private:
  friend class CommandParser;
  struct Value {
    std::string text;
    std::vector<std::string> texts;
    unsigned u = 0;
    std::vector<unsigned> us;
    int i = -1;
    bool flag = false;
    CLI::Option* option = nullptr;
  };
  const Value& Get(const std::string& key) const;
  std::map<std::string, Value> values_;  // by "PATH\nKEY"
  std::string scope_;                    // the path of the command whose values are read
};

// What a handler is given.
struct Call {
  Session& s;
  Options& opt;
  const Args& a;
  std::ostream& out;
  std::ostream& err;
  const CommandParser& parser;  // for the shell's completion
};

// The CLI11 parser made from the table, with the values bound to args and opt. Given
// the words of a command line, only the commands they name get their options and
// subcommands; the others are there by name and help only, or, without listAll, not at
// all (for a line whose output names no other command).
class CommandParser {
 public:
  CommandParser(CLI::App& app, Options& opt, Args& args, const std::vector<std::string>* words = nullptr,
                bool listAll = true);
  // The row of the deepest command parsed (the table's first row when none).
  const CommandSpec& Parsed() const;
  // Its access, with its switch option considered.
  unsigned AccessOf(const CommandSpec& row) const;
  CLI::App* AppOf(const CommandSpec& row) const;
  CLI::Option* OptionOf(const CommandSpec& row, const std::string& key) const;  // null when not made
  const CommandSpec* RowOf(const CLI::App* app) const;
  // From now on args reads the values of this command ("" for the program's own options).
  void Scope(const CommandSpec& row) { args_.scope_ = row.path; }

 private:
  CLI::App& app_;
  Args& args_;
  std::map<const CommandSpec*, CLI::App*> apps_;
};

// Runs the row's handler, after the checks its arguments' kinds ask for.
int RunHandler(const CommandSpec& row, Call& c);
// The option key of an option's names: "-o,--output" -> "output", "DIR" -> "DIR".
std::string OptionKey(const std::string& names);
// The synopsis lines of the man page, one per command.
void PrintSynopsis(std::ostream& out);

// The words that may complete the last of words after "ftdiskctl" (bash completion; shell.cpp).
int CompleteCommandLine(Call& c, std::vector<std::string> words);

}  // namespace cli
