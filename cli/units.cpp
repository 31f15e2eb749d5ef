#include "units.h"

namespace cli {

bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  std::string cur;
  bool inWord = false;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
        cur += line[++i];
      } else {
        cur += c;
      }
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      inWord = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      cur += line[++i];
      inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words->push_back(cur);
      cur.clear();
      inWord = false;
    } else if (c == '#' && !inWord && words->empty()) {
      break;  // a line whose first word starts with # is a comment; "#14" later is an id
    } else {
      cur += c;
      inWord = true;
    }
  }
  if (quote) {
    if (error) *error = "unterminated quote";
    return false;
  }
  if (inWord) words->push_back(cur);
  return true;
}

}  // namespace cli
