// ftdiskctl: the administrator's front end. Each invocation boots the machine, loads the
// ftdisk provider, runs one command through the provider's control entry and shuts down;
// "shell" keeps one boot for many commands.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <sstream>

#include "cli.h"
#include "command_table.h"
#include "jsonout.h"

namespace cli {

namespace {

std::string DefaultMachine() {
  const char* v = std::getenv("FTDISKCTL_MACHINE");
  return v && *v ? v : "machine";
}

// The first line of a message, without the program's prefix, for a JSON error.
std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  const std::string prefix = "ftdiskctl: ";
  if (line.rfind(prefix, 0) == 0) line = line.substr(prefix.size());
  return line.empty() ? "the command failed" : line;
}

// One place for the shell and the command line: builds the parser from the command
// table, parses, checks what the command may do here, runs its handler.
class Runner {
 public:
  Runner(Session* session, bool inShell, std::ostream& out, std::ostream& err)
      : s_(session), inShell_(inShell), out_(out), err_(err) {}

  int Run(const std::vector<std::string>& args) {
    args_ = args;
    const CommandSpec& top = CommandTable().front();
    CLI::App app{top.help, "ftdiskctl"};
    opt_.dir = DefaultMachine();
    Args values;
    // Completion (also the shell's) looks at every command; a command line only at its own.
    const bool everyCommand = std::find(args.begin(), args.end(), "__complete") != args.end() ||
                              std::find(args.begin(), args.end(), "shell") != args.end();
    CommandParser parser(app, opt_, values, everyCommand ? nullptr : &args, !NamesItsCommand(args));

    // "ftdiskctl __complete WORD...": what may complete the last word of a command line,
    // for the bash completion. "ftdiskctl __synopsis": the man page's synopsis.
    if (!args.empty() && args[0] == "__complete" && !inShell_) {
      Call call{*s_, opt_, values, out_, err_, parser};
      return CompleteCommandLine(call, std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (args.size() == 1 && args[0] == "__synopsis" && !inShell_) return PrintSynopsis(out_), kOk;

    // A word where the command belongs that names none gets its own message; so does
    // one where a command's own command belongs ("registry frob").
    CLI::App* level = &app;
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (!a.empty() && a[0] == '-') {
        if (TakesValue(a)) ++i;
        continue;
      }
      auto known = level->get_subcommands([&](CLI::App* c) { return c->get_name() == a; });
      if (known.empty()) {
        if (level != &app && level->get_subcommands({}).empty()) break;  // an argument
        std::string list;
        for (auto* c : level->get_subcommands({})) list += (list.empty() ? "" : ", ") + c->get_name();
        std::string what = level == &app ? "command" : level->get_name() + " command";
        return Usage("unknown " + what + " '" + a + "' (the " + what + "s are: " + list + ")",
                     level == &app ? "ftdiskctl --help" : "ftdiskctl " + level->get_name() + " --help");
      }
      level = known.front();
      if (level->get_subcommands({}).empty()) break;
    }

    std::vector<const char*> argv = {"ftdiskctl"};
    for (const auto& a : args) argv.push_back(a.c_str());
    try {
      app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::CallForHelp& e) {
      return app.exit(e, out_, err_);
    } catch (const CLI::CallForAllHelp& e) {
      return app.exit(e, out_, err_);
    } catch (const CLI::ParseError& e) {
      std::string what = e.what();
      if (what.find("subcommand is required") != std::string::npos)
        what = "a command is required after '" +
               (level == &app ? std::string("ftdiskctl") : level->get_name()) + "'";
      return Usage(what, "ftdiskctl --help' or 'ftdiskctl COMMAND --help");
    }
    opt_.inShell = inShell_;
    parser.Scope(top);
    ImageSource images{values.Texts("image"), values.Text("hive"), values.Text("reg")};
    const bool imageGiven = values.Given("image"), machineGiven = values.Given("machine");
    const bool hiveGiven = values.Given("hive") || values.Given("reg");
    if (values.Flag("version")) {
      if (!app.get_subcommands().empty())
        return Usage("--version goes alone: 'ftdiskctl --version'", "ftdiskctl --help");
      return Finish([&](std::ostream& o, std::ostream& e) { return CmdVersion(opt_, o, e); });
    }
    if (app.get_subcommands().empty())
      return Usage("a command is required (for example 'ftdiskctl show')", "ftdiskctl --help");

    const CommandSpec& row = parser.Parsed();
    parser.Scope(row);
    const unsigned access = parser.AccessOf(row);
    if (opt_.dryRun && !(access & (kWrites | kOwnDryRun)))
      return Usage(
          access & kWritesOutside
              ? "--dry-run covers the requests (create, delete, active, letter, rescan, menus, registry "
                "import, restore, ft, volume import), apply, attach, detach, init, registry export, registry "
                "recover and backups prune; "
                "this command writes outside them and has no dry run: check its arguments and run it without "
                "--dry-run"
              : "--dry-run covers the requests (create, delete, active, letter, rescan, menus, registry "
                "import, restore, ft, volume import), apply, attach, detach, init, registry export, registry "
                "recover and backups prune; "
                "this command writes nothing, so run it without --dry-run",
          "");
    if ((access & kNoJson) && opt_.json)
      return Usage(std::string(row.path) +
                       " prints a walkthrough for people; run it without --json, then 'show --json'",
                   "");
    if (inShell_ && (access & kOwnProcess))
      return Usage("this command is not available inside the shell; run it as its own ftdiskctl command", "");
    if (inShell_ && opt_.dryRun && !(access & kOwnDryRun))
      return Usage(
          "a dry run needs its own boot of the machine; run 'ftdiskctl -m DIR --dry-run ...' outside the "
          "shell",
          "");
    // Commands that only read open the disks read-only under a shared lock; a shell
    // keeps one boot for commands of both kinds.
    const bool readOnly = access & kReadOnly;
    if (std::string why = ImageModeProblem(parser, row, imageGiven, machineGiven, hiveGiven); !why.empty())
      return Usage(why, "ftdiskctl --help");
    if (!inShell_ && !s_->open()) {
      s_->SetReadOnly(readOnly);
      if (!images.images.empty()) s_->SetImages(images);
    }

    auto exec = [&](std::ostream& out, std::ostream& err) -> int {
      Call call{*s_, opt_, values, out, err, parser};
      return RunHandler(row, call);
    };
    if (access & kOwnOutput) return exec(out_, err_);
    const bool dataOnStdout = row.dataArg != nullptr && values.Text(row.dataArg) == "-";
    return Finish(
        [&](std::ostream& out, std::ostream& err) {
          // A command with a dry run of its own says itself what it would write.
          if (opt_.dryRun && !(access & kOwnDryRun)) return DryRun(s_, opt_, exec, out, err);
          return exec(out, err);
        },
        dataOnStdout);
  }

 private:
  // Whether the option word takes the next word as its value, in any command: an option
  // given before its command's word still keeps its value from being taken for a command.
  static bool TakesValue(const std::string& word) {
    for (const CommandSpec& row : CommandTable())
      for (const OptionSpec& o : row.options)
        if (o.names[0] == '-' && o.holds != Holds::kFlag && NamesOption(o, word)) return true;
    return false;
  }

  // Whether the first word where the command belongs names one, and no help is asked
  // for: then the other commands are not shown or named by anything the line prints.
  static bool NamesItsCommand(const std::vector<std::string>& args) {
    for (const std::string& a : args)
      if (a == "-h" || a == "--help" || a == "--help-all") return false;
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (!a.empty() && a[0] == '-') {
        if (TakesValue(a)) ++i;
        continue;
      }
      for (const CommandSpec& row : CommandTable())
        if (a == row.path) return true;
      return false;
    }
    return false;
  }

  // Whether the word is one of the option's names ("-m" or "--machine" of "-m,--machine").
  static bool NamesOption(const OptionSpec& o, const std::string& word) {
    const std::string_view names = o.names;
    for (size_t at = 0; at <= names.size();) {
      size_t end = names.find(',', at);
      if (end == std::string_view::npos) end = names.size();
      if (names.substr(at, end - at) == word) return true;
      at = end + 1;
    }
    return false;
  }

  // A usage error: one sentence and where to read more; with --json also one document.
  int Usage(const std::string& message, const std::string& help) {
    err_ << "ftdiskctl: " << message << "\n";
    if (!inShell_ && !help.empty()) err_ << "Run '" << help << "' for the usage.\n";
    if (JsonWanted()) PrintJsonFailure(out_, message);
    return kUsage;
  }

  // What is wrong with the --image options of this command line, or "". A machine of
  // images is for the commands that only read: a writing one is sent to 'init --attach'.
  static std::string ImageModeProblem(const CommandParser& parser, const CommandSpec& row, bool image,
                                      bool machine, bool hive) {
    if (!image)
      return hive ? "--hive and --reg go with --image (for a machine, 'registry "
                    "import --hive SYSTEM' or 'registry import FILE')"
                  : "";
    if (machine) return "give -m DIR or --image, not both";
    const unsigned access = parser.AccessOf(row);
    if (access & kReadOnly) return "";
    if (std::string(row.path) == "shell")
      return "the shell works on a machine directory; with --image give each command on its own";
    // The option that makes a reading command write is named with it ("ft find --apply").
    std::string command = row.path;
    if (row.switchOption != nullptr && access != row.access) command += std::string(" ") + row.switchOption;
    return "'" + command +
           "' writes, and --image looks at the disks without writing anything (show, layout, check, "
           "registry show|export, volume export|dmtable, ft find); to change them, make a machine of them "
           "first: "
           "ftdiskctl init DIR --attach IMAGE... [--from-hive SYSTEM], then ftdiskctl -m DIR " +
           command;
  }

  bool JsonWanted() const {
    return opt_.json || std::find(args_.begin(), args_.end(), "--json") != args_.end();
  }

  // Runs a command; with --json its output becomes exactly one document with "ok" and
  // "error", whatever path the command took. A command whose data goes to standard
  // output (volume export -) gets its document on standard error, so the data stays
  // exactly the volume's bytes.
  int Finish(const std::function<int(std::ostream&, std::ostream&)>& body, bool dataOnStdout = false) {
    if (opt_.quiet) {
      std::ostringstream dropped;  // what the command says; its data (export -) goes to fd 1 itself
      return body(dropped, err_);
    }
    if (!opt_.json) return body(out_, err_);
    std::ostream& docOut = dataOnStdout ? err_ : out_;
    std::ostringstream o, e;
    HeldDocument held(o);
    const unsigned printed = JsonDocumentsPrinted();
    int rc = body(o, e);
    err_ << e.str();
    // A write that failed outside a request (at boot, say) fails the document too.
    const std::string failures = TakeWriteFailures();
    if (!failures.empty()) {
      err_ << "ftdiskctl: " << failures << "\n";
      if (rc == kOk) rc = kFailed;
    }
    // One whole document printed by the command: it has "ok" and "error" already.
    if (failures.empty() && JsonDocumentsPrinted() == printed + 1) {
      held.Print(docOut);
      return rc;
    }
    const std::string text = held.Text();
    json doc = text.empty() ? json() : json::parse(text, nullptr, false);
    if (!doc.is_object() && !text.empty()) {
      docOut << text;  // not a document (help text)
      return rc;
    }
    if (!doc.is_object()) doc = json::object();
    if (!failures.empty() && doc.value("ok", true)) {
      doc["ok"] = false;
      doc["error"] = JsonError(failures)["error"];
    }
    if (!doc.contains("ok")) doc["ok"] = rc == kOk;
    if (!doc.contains("error"))
      doc["error"] = doc["ok"] == true ? json(nullptr) : JsonError(FirstLine(e.str()))["error"];
    docOut << JsonText(doc) << "\n";
    return rc;
  }

  std::vector<std::string> args_;
  Session* s_;
  bool inShell_;
  std::ostream& out_;
  std::ostream& err_;
  Options opt_;
};

}  // namespace

bool Confirm(const Options& opt, const std::string& question) {
  if (opt.yes || opt.json || opt.dryRun || !isatty(0) || !isatty(2)) return true;
  // To the terminal itself: the shell holds a line's messages until the line is done.
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

int RunCommandLine(const std::vector<std::string>& args, Session* session, bool inShell, std::ostream& out,
                   std::ostream& err) {
  Runner r(session, inShell, out, err);
  int rc = r.Run(args);
  // Writes that failed without the command saying so (at boot, outside a request).
  const std::string failures = TakeWriteFailures();
  if (!failures.empty()) {
    err << "ftdiskctl: " << failures << "\n";
    if (rc == kOk) rc = kFailed;
  }
  return rc;
}

}  // namespace cli

namespace {

// Ctrl-C or SIGTERM: say so, then die of the signal as before (the exit status tells the
// caller). Every write is ordered and recorded so that a request stopped anywhere can be
// finished or undone: check names what is left.
extern "C" void OnStopSignal(int sig) {
  static const char kMessage[] =
      "\nftdiskctl: stopped by a signal; what was written stays consistent: run 'ftdiskctl check' "
      "to see whether a request was left to finish\n";
  ssize_t ignored = ::write(2, kMessage, sizeof kMessage - 1);
  (void)ignored;
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

int main(int argc, char** argv) {
  for (int sig : {SIGINT, SIGTERM}) {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    ::sigaction(sig, &sa, nullptr);
  }
  // The character set of the locale decides between UTF-8 and ASCII tree characters;
  // numbers keep the C locale.
  std::setlocale(LC_CTYPE, "");
  std::vector<std::string> args(argv + 1, argv + argc);
  cli::InjectFaultsFromEnvironment();
  cli::Session session;
  session.SetWaitNotice(cli::PrintWaitNotice);
  int rc = cli::RunCommandLine(args, &session, false, std::cout, std::cerr);
  session.Close();
  const std::string failures = cli::TakeWriteFailures();  // at shutdown
  if (!failures.empty()) {
    std::cerr << "ftdiskctl: " << failures << "\n";
    if (rc == cli::kOk) rc = cli::kFailed;
  }
  std::cout.flush();
  return rc;
}
