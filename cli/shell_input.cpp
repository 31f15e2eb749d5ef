#include "shell_input.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace cli {

namespace {

// libedit's completion hook is a plain function: it reaches the shell through this.
Completer* g_complete = nullptr;
std::vector<std::string> g_matches;

char* NextMatch(const char*, int state) {
  static size_t next = 0;
  if (state == 0) next = 0;
  return next < g_matches.size() ? strdup(g_matches[next++].c_str()) : nullptr;
}

char** Complete(const char* text, int start, int) {
  rl_attempted_completion_over = 1;  // no file names when nothing matches
  std::vector<std::string> before;
  std::istringstream words(std::string(rl_line_buffer, static_cast<size_t>(start)));
  for (std::string w; words >> w;) before.push_back(w);
  g_matches.clear();
  if (g_complete != nullptr)
    for (auto& m : (*g_complete)(before, text))
      if (m.compare(0, std::strlen(text), text) == 0) g_matches.push_back(std::move(m));
  return g_matches.empty() ? nullptr : rl_completion_matches(text, NextMatch);
}

}  // namespace

std::string ShellHistoryFile(const std::string& machineDir) {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/')
    base = state;
  else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
    base = std::string(home) + "/.local/state";
  else
    return "";
  std::error_code ec;
  std::string name = std::filesystem::absolute(machineDir, ec).lexically_normal().string();
  if (ec) return "";
  for (char& c : name)
    if (c == '/') c = '%';
  return base + "/ftdiskctl/history/" + name;
}

ShellInput::ShellInput(const std::string& machineDir, Completer complete)
    : tty_(isatty(0) && isatty(1)), complete_(std::move(complete)) {
  if (!tty_) return;
  g_complete = &complete_;
  rl_readline_name = "ftdiskctl";
  rl_attempted_completion_function = Complete;
  using_history();
  stifle_history(1000);
  history_ = ShellHistoryFile(machineDir);
  if (!history_.empty()) read_history(history_.c_str());
}

ShellInput::~ShellInput() {
  if (!tty_) return;
  if (!history_.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(history_).parent_path(), ec);
    if (!ec) write_history(history_.c_str());
  }
  clear_history();
  rl_attempted_completion_function = nullptr;
  g_complete = nullptr;
}

bool ShellInput::ReadLine(const std::string& prompt, std::string* line) {
  if (!tty_) return static_cast<bool>(std::getline(std::cin, *line));
  char* got = readline(prompt.c_str());
  if (got == nullptr) return false;
  *line = got;
  std::free(got);
  // Kept without the space a completion leaves at the end, and never twice in a row.
  const size_t end = line->find_last_not_of(" \t");
  if (end != std::string::npos) {
    const std::string kept = line->substr(0, end + 1);
    const HIST_ENTRY* previous =
        history_length > 0 ? history_get(history_base + history_length - 1) : nullptr;
    if (previous == nullptr || kept != previous->line) add_history(kept.c_str());
  }
  return true;
}

}  // namespace cli
