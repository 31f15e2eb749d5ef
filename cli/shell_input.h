// The shell's input: from a terminal, lines are edited with libedit (arrows, history
// kept per machine, Tab completion); otherwise plain lines from standard input.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace cli {

// Completions of the word being typed, given the words before it.
using Completer =
    std::function<std::vector<std::string>(const std::vector<std::string>& before, const std::string& word)>;

class ShellInput {
 public:
  // machineDir names the machine whose history is kept (outside its directory, which a
  // shell that only reads must not change).
  ShellInput(const std::string& machineDir, Completer complete);
  ~ShellInput();
  ShellInput(const ShellInput&) = delete;
  ShellInput& operator=(const ShellInput&) = delete;

  bool Interactive() const { return tty_; }
  // The next line; false at the end of the input.
  bool ReadLine(const std::string& prompt, std::string* line);

 private:
  bool tty_;
  std::string history_;  // the history file, "" when none can be kept
  Completer complete_;
};

// Where the history of a machine's shell is kept: $XDG_STATE_HOME (or ~/.local/state)
// /ftdiskctl/history/ and the machine's absolute path with '/' as '%'. "" without a home.
std::string ShellHistoryFile(const std::string& machineDir);

}  // namespace cli
