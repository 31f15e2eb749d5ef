// Markers of FT volumes being served: one small file per server, locked while it runs.
#include "served.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ftdata {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFolder = "served";

// A marker whose server is alive: its shared lock keeps ours from being taken.
bool Held(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);  // also drops our lock when we got it
  return !free;
}

bool Parse(const fs::path& file, Served* s) {
  std::ifstream in(file);
  std::string line;
  bool hasSet = false;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "set") s->set = value, hasSet = !value.empty();
    if (key == "where") s->where = value;
    if (key == "mode") s->readOnly = value == "read-only";
    if (key == "pid") s->pid = static_cast<pid_t>(std::atol(value.c_str()));
  }
  return hasSet;
}

}  // namespace

bool ServeMarker::Create(const std::string& dir, const Served& served, std::string* error) {
  Remove();
  const fs::path folder = fs::path(dir) / kFolder;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    *error = "cannot make " + folder.string() + ": " + ec.message();
    return false;
  }
  // Markers of this set that no live server holds are what a killed server left.
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(served.set + ".", 0) == 0 && !Held(e.path())) fs::remove(e.path(), ec);
  }
  const pid_t pid = ::getpid();
  const fs::path file = folder / (served.set + "." + std::to_string(pid));
  const fs::path temp = folder / (served.set + "." + std::to_string(pid) + ".tmp");
  std::ostringstream text;
  text << "set=" << served.set << "\nwhere=" << served.where
       << "\nmode=" << (served.readOnly ? "read-only" : "read-write") << "\npid=" << pid << "\n";
  const std::string body = text.str();
  // Locked before it has its name, so no reader ever finds it unheld while we run.
  const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::flock(fd, LOCK_SH) != 0 ||
      ::write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size()) ||
      ::rename(temp.c_str(), file.c_str()) != 0) {
    *error = "cannot write " + file.string() + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  fd_ = fd;
  path_ = file.string();
  return true;
}

void ServeMarker::Remove() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
  path_.clear();
}

std::vector<Served> ServedSets(const std::string& dir) {
  std::vector<Served> all;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(dir) / kFolder, ec)) {
    Served s;
    if (e.path().extension() == ".tmp" || !Held(e.path()) || !Parse(e.path(), &s)) continue;
    all.push_back(s);
  }
  std::sort(all.begin(), all.end(),
            [](const Served& a, const Served& b) { return a.set != b.set ? a.set < b.set : a.pid < b.pid; });
  return all;
}

}  // namespace ftdata
