// The marker of an FT volume being served (ftdiskctl volume serve, the nbdkit plugin):
// DIR/served/SET.PID, written by the server when it starts and removed when it stops,
// so `show` can say the volume is in use. The server holds a shared flock on its marker
// for as long as it runs; a marker nobody holds is a dead server's and is ignored.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ftdata {

struct Served {
  std::string set;    // "parity0"
  std::string where;  // how clients reach it: "unix:/run/x.sock", "tcp:localhost:10809"
  bool readOnly = false;
  pid_t pid = 0;
};

// A marker kept while this process serves; removed by its destructor.
class ServeMarker {
 public:
  ServeMarker() = default;
  ~ServeMarker() { Remove(); }
  ServeMarker(const ServeMarker&) = delete;
  ServeMarker& operator=(const ServeMarker&) = delete;
  // Writes and locks the marker in the machine directory dir, removing stale markers of
  // the same set on the way. False with *error when it cannot be written.
  bool Create(const std::string& dir, const Served& served, std::string* error);
  void Remove();

 private:
  int fd_ = -1;
  std::string path_;
};

// The volumes of the machine in dir that live servers serve, by set name then pid.
std::vector<Served> ServedSets(const std::string& dir);

}  // namespace ftdata
