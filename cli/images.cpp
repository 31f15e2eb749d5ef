// --image: disk images or block devices looked at without a machine directory. They are
// booted read-only into a machine held in memory whose registry starts with the DISK
// key of the system they came from (a SYSTEM hive or a REGEDIT4 file), so the FT sets
// are assembled by disk signature, whatever order the images are given in.
#include "cli.h"
#include "hive.h"
#include "machine.h"
#include "registry_store.h"

namespace cli {

namespace hive = ntp::hive;

bool BootImageMachine(const ImageSource& source, std::string* error) {
  std::vector<ntp::reg::ImportValue> values;
  std::string e;
  if (!source.hive.empty()) {
    hive::Values disk;
    if (!hive::ReadDiskKey(source.hive, &disk, &e)) {
      *error = "cannot read the hive '" + source.hive + "': " + e;
      return false;
    }
    for (auto& v : disk) values.push_back({kDiskKey, v.name, v.type, std::move(v.data)});
  } else if (!source.reg.empty() && !ntp::reg::ParseRegFile(source.reg, &values, &e)) {
    *error = e;  // it names the file and the line
    return false;
  }
  return ntp::BootImages(source.images, values, error);
}

}  // namespace cli
