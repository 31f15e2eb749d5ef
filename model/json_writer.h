// JSON text as nlohmann's dump(2) prints it, written straight into one buffer: documents
// built from the model need no tree of their own. Also a whole document's text and its
// one-line form.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace model {

class JsonWriter {
 public:
  JsonWriter() = default;
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;
  ~JsonWriter() { std::free(buf_); }
  // The text, with room for the line break that printing it adds.
  std::string Take() {
    std::string text;
    text.reserve(len_ + 1);
    text.assign(buf_ != nullptr ? buf_ : "", len_);
    return text;
  }
  // Room for n more bytes; Commit says how many were written. The buffer grows by
  // realloc, which neither fills the new room nor, for a large buffer, copies it.
  char* Room(size_t n) {
    if (len_ + n > cap_) Grow(len_ + n);
    return buf_ + len_;
  }
  void Commit(char* end) { len_ = static_cast<size_t>(end - buf_); }
  void Put(const char* s, size_t n) {
    std::memcpy(Room(n), s, n);
    len_ += n;
  }
  // A line break and the indentation of the next line.
  void Line(size_t indent) {
    char* p = Room(indent + 1 + kSpaces);
    *p++ = '\n';
    Indent(p, indent);
    len_ += indent + 1;
  }
  void String(const std::string& s);
  template <typename T>
  void Integer(T v) {
    char* p = Room(24);
    Commit(std::to_chars(p, p + 24, v).ptr);
  }
  // v with its lines indented by indent; false for values this does not print (binary,
  // discarded), which only nlohmann's serializer knows how to show.
  bool Value(const nlohmann::json& v, size_t indent);

  // Objects and arrays opened and closed in the writer's nesting: Key or Item before
  // each value. Keys must come in sorted order, as nlohmann's objects keep them.
  void Open(char bracket) {
    Put(&bracket, 1);
    first_.push_back(true);
  }
  void Close(char bracket) {
    const bool empty = first_.back();
    first_.pop_back();
    if (!empty) Line(Indent());
    Put(&bracket, 1);
  }
  void Item() {
    if (!first_.back()) Put(",", 1);
    first_.back() = false;
    Line(Indent());
  }
  // A key known when compiled: one reservation for the line break, indentation and key.
  template <size_t N>
  void Key(const char (&key)[N]) {
    const bool first = first_.back();
    first_.back() = false;
    const size_t indent = Indent();
    char* p = Room(indent + N + 6 + kSpaces);
    if (!first) *p++ = ',';
    *p++ = '\n';
    p = Indent(p, indent);
    *p++ = '"';
    std::memcpy(p, key, N - 1);
    p += N - 1;
    std::memcpy(p, "\": ", 3);
    Commit(p + 3);
  }
  // A key that may need escaping.
  void Key(const std::string& key) {
    Item();
    String(key);
    Put(": ", 2);
  }
  size_t Indent() const { return 2 * first_.size(); }

  void Null() { Put("null", 4); }
  void Bool(bool b) { b ? Put("true", 4) : Put("false", 5); }
  void Nested(const nlohmann::json& v) { Value(v, Indent()); }
  template <size_t N, typename T>
  void Field(const char (&key)[N], const T& v) {
    Key(key);
    Write(v);
  }

 private:
  // Blanks in fixed-size copies the compiler makes inline (documents nest a few levels);
  // callers reserve kSpaces more bytes than they keep.
  static constexpr size_t kSpaces = 32;
  static char* Indent(char* p, size_t n) {
    static const char blanks[kSpaces + 1] = "                                ";
    if (n > kSpaces) {
      std::memset(p, ' ', n);
    } else {
      std::memcpy(p, blanks, kSpaces);
    }
    return p + n;
  }

  void Write(const std::string& s) { String(s); }
  void Write(const char* s) { String(s); }
  void Write(bool b) { Bool(b); }
  void Write(uint64_t v) { Integer(v); }
  void Write(unsigned v) { Integer(v); }
  template <typename T>
  void Write(const std::optional<T>& v) {
    if (v)
      Write(*v);
    else
      Null();
  }

  void Grow(size_t need) {
    size_t cap = std::max(2 * cap_, need + 4096);
    auto* p = static_cast<char*>(std::realloc(buf_, cap));
    if (p == nullptr) throw std::bad_alloc();
    buf_ = p;
    cap_ = cap;
  }

  char* buf_ = nullptr;
  size_t cap_ = 0;
  size_t len_ = 0;
  std::vector<unsigned char> first_;  // per open bracket: nothing written in it yet
};

// doc as dump(2) prints it (no newline at the end), built in one string; bytes that are
// not UTF-8 come out as U+FFFD instead of an exception.
std::string JsonText(const nlohmann::json& doc);
// A command's --json output as one line (JSON Lines, as the shell prints it); text that
// is not one document is returned as it is.
std::string JsonLines(const std::string& text);

}  // namespace model
