// "ftdiskctl --version": this program's version and the version string of the provider
// module it loads, asked through the module's own version entry.
#include <dlfcn.h>

#include <ostream>

#include "cli.h"

#ifndef FTDISKCTL_VERSION
#define FTDISKCTL_VERSION "0.1.0"  // the Debian package's version when the project sets none
#endif

namespace cli {

namespace {

// The provider's version string, or "" with a reason.
std::string ProviderVersion(const std::string& module, std::string* error) {
  void* h = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char* why = dlerror();
    *error = "cannot load " + module + ": " + (why ? why : "unknown error");
    return "";
  }
  std::string version;
  auto entry = reinterpret_cast<ZM_PROVIDER_ENTRY_FN>(dlsym(h, "ProviderEntry"));
  ZM_PROVIDER_INFO info{};
  WCHAR* text = nullptr;
  if (entry == nullptr) {
    *error = module + " exports no ProviderEntry";
  } else if (entry(u"ftdisk", 0, &info) != 0 || info.Version == nullptr) {
    *error = module + " is not the ftdisk provider";
  } else if (info.Version(&text) != 0 || text == nullptr) {
    *error = module + " gives no version";
  } else {
    version = Narrow(std::u16string(text));
  }
  if (text != nullptr) _ZmFree(text, __FILE__, __LINE__);
  dlclose(h);
  return version;
}

}  // namespace

int CmdVersion(const Options& opt, std::ostream& out, std::ostream& err) {
  std::string module = ModulePath(), e;
  std::string provider = ProviderVersion(module, &e);
  if (opt.json) {
    json doc = {
        {"version", FTDISKCTL_VERSION},
        {"provider", {{"module", module}, {"version", provider.empty() ? json(nullptr) : json(provider)}}}};
    if (provider.empty())
      PrintJsonFailure(out, e, nullptr, doc);
    else
      PrintJsonResult(out, doc);
  } else {
    out << "ftdiskctl " << FTDISKCTL_VERSION << "\n";
    if (!provider.empty()) out << "provider ftdisk " << provider << " (" << module << ")\n";
  }
  if (provider.empty()) {
    err << "ftdiskctl: " << e << "\n";
    return kFailed;
  }
  return kOk;
}

}  // namespace cli
