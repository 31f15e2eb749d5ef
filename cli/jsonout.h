// How the front end prints its JSON documents: every one counted, and one printed into a
// held stream kept as it is rather than copied.
#pragma once

#include <iosfwd>
#include <sstream>
#include <string>

namespace cli {

// Prints a document's text and a line break, and counts the document.
void PrintJsonText(std::ostream& out, std::string text);

// While one is alive, a document printed first into its stream is kept as it is rather
// than copied into the stream: Text gives what was printed, and Print writes it once.
// A document is a command's whole output, often most of a megabyte.
class HeldDocument {
 public:
  explicit HeldDocument(std::ostringstream& out);
  ~HeldDocument();
  HeldDocument(const HeldDocument&) = delete;
  HeldDocument& operator=(const HeldDocument&) = delete;
  // Takes a document printed into out while nothing else was: false otherwise.
  bool Hold(std::ostream& out, std::string* text);
  // Everything printed into the stream, in order.
  std::string Text() const;
  void Print(std::ostream& to) const;

 private:
  std::ostringstream& out_;
  std::string document_;  // with its line break when held
  HeldDocument* outer_;
};

}  // namespace cli
