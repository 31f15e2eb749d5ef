// The registry commands on NT hive files: registry import/export/show --hive, and a new
// machine made from recovered disk images and their SYSTEM hive.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli.h"

namespace cli {

int CmdRegistryImportHive(Session& s, const Options& opt, const std::string& hive, bool rescan,
                          std::ostream& out, std::ostream& err);
int CmdRegistryExportHive(Session& s, const Options& opt, const std::string& hive, bool backup,
                          std::ostream& out, std::ostream& err);
int CmdRegistryShowHive(const Options& opt, const std::string& hive, std::ostream& out, std::ostream& err);

// init DIR [--disk ...] [--attach IMAGE]... --from-hive SYSTEM: the hive is checked first
// (nothing is made when it is refused), then the machine is made, the images attached
// and the hive's DISK key imported.
struct InitFromHive {
  std::string dir;
  std::vector<std::string> disks, cdroms, attach;
  bool emptyCdrom = false;
  std::string hive;       // may be empty: then only the images are attached
  bool readOnly = false;  // the attached images are evidence: no request writes them
};
int CmdInitFromHive(const Options& opt, const InitFromHive& a, std::ostream& out, std::ostream& err);

}  // namespace cli
