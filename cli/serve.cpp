// "ftdiskctl volume serve": one FT volume served over NBD by nbdkit with the project's
// plugin, in the foreground until it is stopped. nbdkit replaces this process, so
// Ctrl-C and SIGTERM reach it directly; the plugin boots the machine itself, holds its
// lock while it serves, and leaves the set consistent when it stops.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "ftcmd.h"
#include "ftset.h"

namespace cli {

namespace {

namespace fs = std::filesystem;

// The plugin: FTDISK_NBD_PLUGIN, else beside the provider module (the build directory,
// or lib/ftdisk/ of an installed tree).
std::string PluginPath() {
  const char* v = std::getenv("FTDISK_NBD_PLUGIN");
  if (v != nullptr && *v != '\0') return v;
  return (fs::path(ModulePath()).parent_path() / "nbdkit-ftdisk-plugin.so").string();
}

}  // namespace

int CmdVolumeServe(Session& s, const Options& opt, const std::string& volume, bool readOnly,
                   const std::string& socket, int port, std::ostream& out, std::ostream& err) {
  const std::string what = "cannot serve " + volume;
  if (opt.inShell)
    return err << "ftdiskctl: volume serve runs until it is stopped; run it as its own ftdiskctl command\n",
           kUsage;
  if (opt.json) return err << "ftdiskctl: volume serve prints no document; run it without --json\n", kUsage;
  if (s.images())
    return err << "ftdiskctl: volume serve works on a machine directory (-m DIR), not on --image\n", kUsage;
  if (socket.empty() == (port < 0))
    return err << "ftdiskctl: volume serve takes one of --socket PATH and --port N\n", kUsage;
  if (port == 0 || port > 65535) return err << "ftdiskctl: --port takes 1 to 65535\n", kUsage;

  // A letter is resolved by a boot of our own, let go before the server boots.
  uint32_t type = 0;
  uint16_t group = 0;
  std::string e;
  if (!ftdata::ParseSetName(volume, &type, &group)) {
    std::string openError;
    if (!s.Open(opt.dir, opt.noWait, &openError)) return err << openError << "\n", kFailed;
    if (!ResolveSet(Machine::Read(), volume, &type, &group, &e))
      return err << what << ": " << e << "\n", kFailed;
  }
  s.Close();
  const std::string set = ntp::ftjournal::SetName(type, group);
  const std::string plugin = PluginPath();
  std::error_code ec;
  if (!fs::exists(plugin, ec))
    return err << what << ": the nbdkit plugin is not at " << plugin << " (set FTDISK_NBD_PLUGIN)\n", kFailed;

  const std::string where = socket.empty() ? "tcp:127.0.0.1:" + std::to_string(port)
                                           : "unix:" + fs::absolute(socket).lexically_normal().string();
  std::vector<std::string> args = {"nbdkit", "--foreground"};
  if (readOnly) args.push_back("--readonly");
  if (socket.empty())
    args.insert(args.end(), {"--ipaddr", "127.0.0.1", "--port", std::to_string(port)});
  else
    args.insert(args.end(), {"--unix", fs::absolute(socket).string()});
  args.insert(args.end(), {plugin, "machine=" + fs::absolute(opt.dir).lexically_normal().string(),
                           "set=" + set, "served-at=" + where});
  if (readOnly) args.push_back("readonly=true");
  if (opt.noWait) args.push_back("wait=false");

  err << "serving " << set << (readOnly ? " read-only" : "") << " at " << where
      << "; stop with Ctrl-C or SIGTERM\n";
  out.flush();
  err.flush();
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const char* nbdkit = std::getenv("FTDISK_NBDKIT");
  ::execvp(nbdkit != nullptr && *nbdkit != '\0' ? nbdkit : "nbdkit", argv.data());
  err << what << ": cannot run nbdkit: " << std::strerror(errno)
      << (errno == ENOENT ? " (install it: Debian package nbdkit)" : "") << "\n";
  return kFailed;
}

}  // namespace cli
