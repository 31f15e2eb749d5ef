// What platform and front-end functions report, and the request-scoped carrier of the
// reasons the platform finds while the provider runs a request.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace ntp {

// A status, signature or other 32-bit code as messages print it: "0xC0000022".
inline std::string HexCode(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

// A code (an NTSTATUS, or a host or provider code; 0 is success), the reason in words and
// what to do about it. The code keeps its NT or host meaning; the words say more.
class Status {
 public:
  Status() = default;
  Status(uint32_t code, std::string message, std::string action = {})
      : code_(code), message_(std::move(message)), action_(std::move(action)) {}

  bool ok() const { return code_ == 0 && message_.empty(); }
  uint32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  const std::string& action() const { return action_; }

 private:
  uint32_t code_ = 0;
  std::string message_;
  std::string action_;
};

// Registry writes that could not be committed (store errors, a full file system, a
// backup that could not be kept, injected faults): how many, and the most recent one.
struct WriteFailures {
  uint64_t count = 0;
  std::string last;
};

// Opened by the caller around one request on its thread (a provider control, an FT data
// pass, one NBD request): while it is open, the platform records on it why it refused a
// disk write (a write-protected or damaged disk, a busy partition, a backup that could
// not be saved) and which registry writes failed. The provider in between sees only an
// NTSTATUS; the caller reads the reasons here. Scopes nest; a refusal is recorded on
// every scope open on the thread, a write failure on the innermost one (an outer scope
// receives what an inner one leaves untaken).
class RequestScope {
 public:
  RequestScope();
  ~RequestScope();
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

  // Why the last refused disk write of this request was refused; empty when none was.
  const std::string& Refusal() const { return refusal_; }
  // The request's outcome: ok for a success code; else the code with the refusal.
  Status StatusOf(uint32_t code) const { return code == 0 ? Status() : Status(code, refusal_); }

  // Records a refusal on the scopes open on the calling thread (none: nothing is kept).
  static void NoteRefusal(const std::string& why);

  // Records a failed registry write on the calling thread's innermost scope. A write made
  // outside any scope (the host's event thread, a boot) is kept for the next taker on any
  // thread, as nobody else will ask for it.
  static void NoteWriteFailure(const std::string& what);
  // Takes the write failures of the calling thread's innermost scope together with those
  // made outside any scope; each is taken once.
  static WriteFailures TakeWriteFailures();

 private:
  RequestScope* outer_;
  std::string refusal_;
  WriteFailures failures_;
  uint64_t lastFailure_ = 0;  // the order of failures_.last among all failures
};

}  // namespace ntp
