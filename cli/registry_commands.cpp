// The registry commands: the disk key shown, exported and imported.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>

#include "../diskreg/diskreg.h"
#include "machine.h"
#include "ntplatform.h"
#include "registry_store.h"
#include "request.h"

namespace cli {

const char16_t kDiskKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";

json RegistryJson() { return RegistryValuesJson(ntp::reg::ListValues(kDiskKey)); }

json RegistryValuesJson(const std::vector<ntp::reg::Value>& list) {
  json values = json::array();
  json information = nullptr;
  for (const auto& v : list) {
    json val = {{"name", Narrow(v.name)}, {"type", v.type}, {"size", v.data.size()}};
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
      std::u16string s;
      for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
        if (c == 0) break;
        s += c;
      }
      val["data"] = Narrow(s);
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
      uint32_t x;
      std::memcpy(&x, v.data.data(), 4);
      val["data"] = x;
    } else {
      static const char kHex[] = "0123456789abcdef";
      std::string hex;
      for (uint8_t b : v.data) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
      }
      val["data"] = hex;
    }
    values.push_back(val);
    if (v.name.size() == 11) {
      std::string n = Narrow(v.name);
      std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::tolower(c); });
      if (n == "information") {
        std::string why;
        bool ok = DiskRegistryValidate(v.data.data(), v.data.size(), &why);
        information = DecodeBlob(v.data.data(), v.data.size(), ok, why);
        information["type"] = v.type;
      }
    }
  }
  return json{{"key", Narrow(kDiskKey)}, {"values", values}, {"information", information}};
}

int CmdRegistryShow(Session& s, const Options& opt, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  return PrintRegistry(RegistryJson(), opt, out, err);
}

int PrintRegistry(const json& r, const Options& opt, std::ostream& out, std::ostream& err) {
  bool malformed = r["information"].is_object() && !r["information"]["valid"].get<bool>();
  if (opt.json) {
    if (malformed)
      PrintJsonFailure(
          out,
          "the stored \"Information\" value is malformed: " + r["information"]["error"].get<std::string>(),
          nullptr, r);
    else
      PrintJsonResult(out, r);
  } else {
    out << "HKEY_LOCAL_MACHINE\\SYSTEM\\DISK\n";
    for (const auto& v : r["values"]) {
      out << "  \"" << v["name"].get<std::string>() << "\" type " << v["type"] << ", " << v["size"]
          << " bytes";
      if (v["data"].is_string() && v["type"] != REG_BINARY) out << ": " << v["data"].get<std::string>();
      if (v["data"].is_number()) out << ": " << v["data"];
      out << "\n";
    }
    if (r["information"].is_null())
      out << "  no \"Information\" value: no FT configuration is stored yet\n";
    else
      out << BlobText(r["information"]);
  }
  if (r["information"].is_object() && !r["information"]["valid"].get<bool>()) {
    err << "the stored \"Information\" value is malformed: " << r["information"]["error"].get<std::string>()
        << "\n";
    return kFailed;
  }
  return kOk;
}

int CmdRegistryExport(Session& s, const Options& opt, const std::string& file, std::ostream& out,
                      std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  std::string e;
  if (!ntp::reg::ExportRegFile(kDiskKey, file, &e)) {
    err << "cannot export the registry to '" << file << "': " << e << "\n";
    return kFailed;
  }
  if (opt.json)
    PrintJsonResult(out, json{{"exported", file}, {"key", Narrow(kDiskKey)}});
  else
    out << "exported HKEY_LOCAL_MACHINE\\SYSTEM\\DISK to " << file << "\n";
  return kOk;
}

int CmdRegistryImport(Session& s, const Options& opt, const std::string& file, bool rescan, std::ostream& out,
                      std::ostream& err) {
  {
    std::ifstream f(file, std::ios::binary);
    if (!f) {
      err << "cannot import '" << file << "': " << std::strerror(errno) << "\n";
      return kFailed;
    }
  }
  if (!OpenOr(s, opt, err)) return kFailed;
  std::string e;
  if (!ImportRegFileChecked(file, opt.force, err, &e)) {
    err << "cannot import '" << file << "': " << e << "\n";
    return kFailed;
  }
  if (!rescan) {
    if (opt.json)
      PrintJsonResult(out, json{{"imported", file}, {"registry", RegistryJson()}});
    else
      out << (opt.dryRun ? "would import " : "imported ") << file
          << " into HKEY_LOCAL_MACHINE\\SYSTEM\\DISK\n";
    return kOk;
  }
  if (!opt.json)
    out << (opt.dryRun ? "would import " : "imported ") << file << " into HKEY_LOCAL_MACHINE\\SYSTEM\\DISK"
        << (opt.dryRun ? " and rescan\n" : "; rescanning\n");
  PropSet in;
  return Request(s, opt, "registry import " + file, "cannot rescan after the import", 0, OPCLASS_LAYOUT,
                 OP_REFRESH, in, -1, out, err);
}

}  // namespace cli
