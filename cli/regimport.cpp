// Imports into HKEY_LOCAL_MACHINE\SYSTEM\DISK: checked first, then stored in one
// transaction, so a refused import stores nothing at all.
#include <ostream>

#include "cli.h"
#include "ftstate.h"
#include "machine.h"
#include "ntplatform.h"
#include "registry_store.h"

namespace cli {

namespace {

bool IsInformation(const std::u16string& name) {
  std::u16string n = name;
  for (auto& c : n)
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
  return n == u"INFORMATION";
}

}  // namespace

bool CheckInformationImport(const std::vector<uint8_t>& data, uint32_t type, bool force,
                            std::vector<std::string>* losses, std::string* error) {
  losses->clear();
  ConfigView incoming;
  std::string why;
  if (type != REG_BINARY) {
    *error = "its \"Information\" value is not binary (type " + std::to_string(type) + ")";
    return false;
  }
  if (!ReadConfigView(data.data(), data.size(), &incoming, &why)) {
    *error = "its \"Information\" value is malformed: " + why;
    return false;
  }

  // What the stored configuration has that the new one loses, and disks it names that
  // this machine does not have.
  uint32_t storedType = 0;
  std::vector<uint8_t> stored;
  ConfigView current;
  if (!ntp::reg::GetValue(kDiskKey, u"Information", &storedType, &stored) || storedType != REG_BINARY ||
      !ReadConfigView(stored.data(), stored.size(), &current, nullptr))
    current = {};
  std::vector<uint32_t> here;
  for (const auto& d : ntp::Disks()) here.push_back(d.signature);
  const ftformat::ImportLosses lost = ftformat::ConfigImportLosses(current, incoming, here);
  for (const ConfigSet& set : lost.sets)
    losses->push_back("FT set " + FtSetName(set) + " (" + std::to_string(set.members.size()) +
                      " members) would no longer be configured");
  for (uint32_t sig : lost.absentDisks)
    losses->push_back("disk signature " + model::SignatureText(sig) + " is not a disk of this machine");
  if (!losses->empty() && !force) {
    *error = "importing it would lose what is listed above; run it again with --force to import anyway";
    return false;
  }
  return true;
}

bool ImportDiskValues(const std::vector<DiskKeyValue>& values, bool force, std::vector<std::string>* losses,
                      std::string* error) {
  losses->clear();
  std::vector<ntp::reg::ImportValue> batch;
  for (const DiskKeyValue& v : values) {
    if (IsInformation(v.name) && !CheckInformationImport(v.data, v.type, force, losses, error)) return false;
    ntp::reg::ImportValue iv;
    iv.keyPath = kDiskKey;
    iv.name = v.name;
    iv.type = v.type;
    iv.data = v.data;
    batch.push_back(std::move(iv));
  }
  return ntp::reg::ImportValues(batch, error);
}

bool ImportRegFileChecked(const std::string& file, bool force, std::ostream& warn, std::string* error) {
  std::vector<ntp::reg::ImportValue> values;
  if (!ntp::reg::ParseRegFile(file, &values, error)) return false;
  std::u16string diskKey = kDiskKey;
  for (auto& c : diskKey)
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
  std::vector<std::string> losses;
  for (const auto& v : values) {
    std::u16string key = v.keyPath;
    for (auto& c : key)
      if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    if (v.keyOnly || key != diskKey || !IsInformation(v.name)) continue;
    std::vector<std::string> found;
    bool ok = true;
    if (v.remove) {
      uint32_t type = 0;
      std::vector<uint8_t> stored;
      ConfigView current;
      if (ntp::reg::GetValue(kDiskKey, u"Information", &type, &stored) &&
          ReadConfigView(stored.data(), stored.size(), &current, nullptr))
        for (const ConfigSet& set : current.sets)
          found.push_back("FT set " + FtSetName(set) + " would no longer be configured");
      if (!found.empty() && !force) {
        *error = "removing \"Information\" would lose what is listed above; run it again with --force";
        ok = false;
      }
    } else {
      ok = CheckInformationImport(v.data, v.type, force, &found, error);
    }
    losses.insert(losses.end(), found.begin(), found.end());
    if (!ok) {
      for (const auto& l : losses) warn << "  " << l << "\n";
      return false;
    }
  }
  if (!losses.empty()) {
    warn << "warning: importing '" << file << "' with --force loses:\n";
    for (const auto& l : losses) warn << "  " << l << "\n";
  }
  if (!ntp::reg::ImportValues(values, error)) return false;
  return true;
}

}  // namespace cli
