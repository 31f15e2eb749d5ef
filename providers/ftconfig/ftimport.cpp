#include "ftimport.h"

#include "configblob.h"
#include "disk_key.h"
#include "machine.h"
#include "ntplatform.h"
#include "object_names.h"

namespace ftconfig {

using ntp::reg::kDiskKey;

namespace {

std::u16string Upper(std::u16string s) {
  for (auto& c : s)
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
  return s;
}

bool IsInformation(const std::u16string& name) { return Upper(name) == u"INFORMATION"; }

// The check of one "Information" value: false (with *error) when it is refused.
bool CheckInformationImport(const std::vector<uint8_t>& data, uint32_t type, bool force,
                            std::vector<std::string>* losses, std::string* error) {
  losses->clear();
  ftformat::ConfigView incoming;
  std::string why;
  if (type != REG_BINARY) {
    *error = "its \"Information\" value is not binary (type " + std::to_string(type) + ")";
    return false;
  }
  if (!ftformat::ReadConfigView(data.data(), data.size(), &incoming, &why)) {
    *error = "its \"Information\" value is malformed: " + why;
    return false;
  }

  // What the stored configuration has that the new one loses, and disks it names that
  // this machine does not have.
  uint32_t storedType = 0;
  std::vector<uint8_t> stored;
  ftformat::ConfigView current;
  if (!ntp::reg::GetValue(kDiskKey, u"Information", &storedType, &stored) || storedType != REG_BINARY ||
      !ftformat::ReadConfigView(stored.data(), stored.size(), &current, nullptr))
    current = {};
  std::vector<uint32_t> here;
  for (const auto& d : ntp::Disks()) here.push_back(d.signature);
  const ftformat::ImportLosses lost = ftformat::ConfigImportLosses(current, incoming, here);
  for (const ftformat::ConfigSet& set : lost.sets)
    losses->push_back("FT set " + ftformat::FtSetName(set) + " (" + std::to_string(set.members.size()) +
                      " members) would no longer be configured");
  for (uint32_t sig : lost.absentDisks)
    losses->push_back("disk signature " + model::SignatureText(sig) + " is not a disk of this machine");
  if (!losses->empty() && !force) {
    *error = "importing it would lose what is listed above; run it again with --force to import anyway";
    return false;
  }
  return true;
}

}  // namespace

DiskKeyImport ImportDiskValues(const std::vector<ntp::reg::Value>& values, bool force) {
  DiskKeyImport r;
  std::vector<ntp::reg::ImportValue> batch;
  for (const auto& v : values) {
    if (IsInformation(v.name) && !CheckInformationImport(v.data, v.type, force, &r.losses, &r.error)) {
      r.refused = true;
      return r;
    }
    ntp::reg::ImportValue iv;
    iv.keyPath = kDiskKey;
    iv.name = v.name;
    iv.type = v.type;
    iv.data = v.data;
    batch.push_back(std::move(iv));
  }
  r.stored = ntp::reg::ImportValues(batch, &r.error);
  return r;
}

DiskKeyImport ImportRegFile(const std::string& file, bool force) {
  DiskKeyImport r;
  std::vector<ntp::reg::ImportValue> values;
  if (!ntp::reg::ParseRegFile(file, &values, &r.error)) return r;
  const std::u16string diskKey = Upper(kDiskKey);
  for (const auto& v : values) {
    if (v.keyOnly || Upper(v.keyPath) != diskKey || !IsInformation(v.name)) continue;
    std::vector<std::string> found;
    bool ok = true;
    if (v.remove) {
      uint32_t type = 0;
      std::vector<uint8_t> stored;
      ftformat::ConfigView current;
      if (ntp::reg::GetValue(kDiskKey, u"Information", &type, &stored) &&
          ftformat::ReadConfigView(stored.data(), stored.size(), &current, nullptr))
        for (const ftformat::ConfigSet& set : current.sets)
          found.push_back("FT set " + ftformat::FtSetName(set) + " would no longer be configured");
      if (!found.empty() && !force) {
        r.error = "removing \"Information\" would lose what is listed above; run it again with --force";
        ok = false;
      }
    } else {
      ok = CheckInformationImport(v.data, v.type, force, &found, &r.error);
    }
    r.losses.insert(r.losses.end(), found.begin(), found.end());
    if (!ok) {
      r.refused = true;
      return r;
    }
  }
  r.stored = ntp::reg::ImportValues(values, &r.error);
  return r;
}

}  // namespace ftconfig
