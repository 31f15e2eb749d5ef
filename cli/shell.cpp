// The shell (many commands on one boot), its help, and the completion of command lines
// for it and for bash: all from the command table.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "command_table.h"
#include "shell_input.h"

namespace cli {

namespace {

bool Positional(const OptionSpec& o) { return o.names[0] != '-'; }

// The words an option offers: its choices, the -o columns, or its own list.
std::vector<std::string> Offered(const OptionSpec& o, const std::string& word) {
  if (o.check == Check::kColumns || o.check == Check::kVolumeColumns) {
    // A list of columns: complete the last one.
    const size_t comma = word.rfind(',');
    const std::string head = comma == std::string::npos ? "" : word.substr(0, comma + 1);
    std::vector<std::string> out;
    for (const auto& c : ColumnNames(o.check == Check::kVolumeColumns ? Table::Volumes : Table::Regions))
      out.push_back(head + c);
    return out;
  }
  return o.choices.empty() ? o.completions : o.choices;
}

// The commands the shell runs, with what they do.
void ShellHelp(std::ostream& out) {
  out << "Commands (one per line; 'help COMMAND' for its options):\n";
  for (const CommandSpec& row : CommandTable()) {
    const std::string name = row.path;
    if (name.empty() || name.find(' ') != std::string::npos || (row.access & kOwnProcess)) continue;
    out << "  " << name << std::string(name.size() < 12 ? 12 - name.size() : 1, ' ') << row.help << "\n";
  }
  out << "  help        this list, or 'help COMMAND'\n  exit, quit  leave the shell (also Ctrl-D)\n";
}

// What may follow the words typed so far: the commands and options of the command
// they name, the words an option or argument takes, and the machine's object names as
// arguments.
std::vector<std::string> Completions(Call& c, const std::vector<std::string>& before, const std::string& word,
                                     bool inShell) {
  const CommandParser& parser = c.parser;
  const CommandSpec* row = &CommandTable().front();
  size_t i = 0;
  if (!before.empty() && before[0] == "help") ++i;
  const OptionSpec* valueOf = nullptr;  // the option whose value is being typed
  size_t positionals = 0;               // words given to the command reached
  auto findOption = [&](const std::string& name) -> const OptionSpec* {
    // The command's own options, then those of the commands above it.
    for (const CommandSpec* at = row; at != nullptr; at = parser.RowOf(parser.AppOf(*at)->get_parent())) {
      for (const OptionSpec& o : at->options) {
        const CLI::Option* opt = parser.OptionOf(*at, OptionKey(o.names));
        if (!Positional(o) && opt->check_name(name)) return &o;
      }
    }
    return nullptr;
  };
  for (; i < before.size(); ++i) {
    valueOf = nullptr;
    if (!before[i].empty() && before[i][0] == '-') {
      const std::string name = before[i].substr(0, before[i].find('='));
      const OptionSpec* o = findOption(name);
      if (o != nullptr && o->holds != Holds::kFlag && name == before[i]) valueOf = o;
      if (valueOf != nullptr && i + 1 < before.size()) ++i, valueOf = nullptr;
      continue;
    }
    const std::string path = std::string(row->path).empty() ? before[i] : row->path + (" " + before[i]);
    const auto next = std::find_if(CommandTable().begin(), CommandTable().end(),
                                   [&](const CommandSpec& r) { return r.path == path; });
    if (next == CommandTable().end())
      ++positionals;
    else
      row = &*next, positionals = 0;
  }
  if (valueOf != nullptr) return Offered(*valueOf, word);
  std::vector<std::string> out;
  const CLI::App* level = parser.AppOf(*row);
  if (!word.empty() && word[0] == '-') {
    for (const CLI::Option* o : level->get_options()) {
      for (const auto& l : o->get_lnames()) out.push_back("--" + l);
      for (const auto& sn : o->get_snames()) out.push_back("-" + sn);
    }
    return out;
  }
  // The command's next positional argument, when it takes one of a few words.
  size_t p = 0;
  for (const OptionSpec& o : row->options)
    if (Positional(o) && p++ == positionals && !Offered(o, word).empty()) return Offered(o, word);
  const std::string prefix = std::string(row->path).empty() ? "" : row->path + std::string(" ");
  for (const CommandSpec& r : CommandTable()) {
    const std::string path = r.path;
    if (!path.empty() && path.rfind(prefix, 0) == 0 && path.find(' ', prefix.size()) == std::string::npos &&
        !(inShell && (r.access & kOwnProcess)))
      out.push_back(path.substr(prefix.size()));
  }
  if (prefix.empty()) {
    if (before.empty() && inShell) out.insert(out.end(), {"help", "exit", "quit"});
    return out;
  }
  if (!out.empty() || !c.s.open()) return out;
  return Machine::Read().Names();
}

}  // namespace

int CompleteCommandLine(Call& c, std::vector<std::string> words) {
  if (words.empty()) words.push_back("");
  const std::string word = words.back();
  words.pop_back();
  std::string dir = c.opt.dir;
  for (size_t i = 0; i + 1 < words.size(); ++i)
    if (words[i] == "-m" || words[i] == "--machine") dir = words[i + 1];
  std::string e;
  if (std::filesystem::exists(std::filesystem::path(dir) / "machine.toml")) {
    c.s.SetReadOnly(true);
    c.s.Open(dir, true, &e);
  }
  for (const auto& w : Completions(c, words, word, false))
    if (w.compare(0, word.size(), word) == 0) c.out << w << "\n";
  return kOk;
}

// Reads commands from standard input on one boot. The machine directory and the
// --no-wait choice of the shell's own command line hold for every line.
int RunShell(Call& c, bool stopOnError) {
  const Options& opt = c.opt;
  std::string e;
  if (!c.s.Open(opt.dir, opt.noWait, &e)) {
    c.err << e << "\n";
    return kFailed;
  }
  ShellInput input(opt.dir, [&](const std::vector<std::string>& before, const std::string& word) {
    return Completions(c, before, word, true);
  });
  const bool prompt = isatty(0) && !input.Interactive();
  int last = kOk;
  std::string line;
  for (unsigned lineNo = 1;; ++lineNo) {
    if (prompt) c.out << "ftdiskctl> " << std::flush;
    if (!input.ReadLine("ftdiskctl> ", &line)) break;
    std::vector<std::string> words;
    std::ostringstream errors;
    int rc = kOk;
    if (!SplitWords(line, &words, &e)) {
      errors << "ftdiskctl: " << e << "\n";
      rc = kUsage;
    } else if (words.empty()) {
      continue;
    } else if (words[0] == "exit" || words[0] == "quit") {
      break;
    } else if (words[0] == "help" && words.size() == 1) {
      ShellHelp(c.out);
    } else {
      if (words[0] == "help") words.erase(words.begin()), words.push_back("--help");
      std::vector<std::string> args = {"-m", opt.dir};
      if (opt.noWait) args.push_back("--no-wait");
      if (opt.json) args.push_back("--json");
      if (opt.quiet) args.push_back("-q");
      if (opt.bytes) args.push_back("--bytes");
      args.insert(args.end(), words.begin(), words.end());
      if (opt.json) {
        // One document per line (JSON Lines), so a reader can take them line by line.
        std::ostringstream doc;
        rc = RunCommandLine(args, &c.s, true, doc, errors);
        c.out << JsonLines(doc.str());
      } else {
        rc = RunCommandLine(args, &c.s, true, c.out, errors);
      }
    }
    // Every message of a line carries its number.
    std::istringstream lines(errors.str());
    for (std::string l; std::getline(lines, l);) c.err << "line " << lineNo << ": " << l << "\n";
    c.out << std::flush;
    c.err << std::flush;
    last = rc;
    if (rc != kOk && stopOnError) {
      c.err << "ftdiskctl: stopped at line " << lineNo << " (--stop-on-error)\n";
      break;
    }
  }
  if (prompt || input.Interactive()) c.out << "\n";
  return last;
}

std::vector<CommandSpec> ShellCommands() {
  return {
      {"shell",
       "run many commands, one per line from standard input, on one boot",
       {Flag("--stop-on-error", "stop at the first line that fails, with its exit status")},
       kOwnProcess | kOwnOutput,
       [](Call& c) { return RunShell(c, c.a.Flag("stop-on-error")); },
       "printf 'show\\ncreate primary --disk 0 --size 100M\\n' | ftdiskctl -m m shell"},
  };
}

}  // namespace cli
