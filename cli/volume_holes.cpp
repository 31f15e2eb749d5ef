// "ftdiskctl volume export --allow-holes": a set's volume exported with the ranges no
// member left can give as zeros (ftdata/volume_copy.h), and those ranges in words.
#include <ostream>

#include "ftcmd.h"
#include "volume_copy.h"

namespace cli {

int CmdVolumeExportWithHoles(Session& s, const Options& opt, const std::string& volume,
                             const std::string& file, std::ostream& out, std::ostream& err) {
  const std::string what = "cannot export " + volume;
  std::string e;
  if (!s.Open(opt.dir, opt.noWait, &e)) return err << e << "\n", kFailed;
  ftdata::Set set;
  if (!ftdata::LoadNamedSet(Machine::Read(), volume, &set, &e))
    return err << what << ": " << e << "\n", kFailed;
  const bool toStdout = file == "-";
  if (toStdout) out.flush();
  std::vector<std::pair<uint64_t, uint64_t>> holes;
  uint64_t total = 0;
  const ntp::Status st = ftdata::ExportWithHoles(set, file, &holes, &total);
  if (!st.ok()) return err << what << ": " << st.message() << "\n", kFailed;
  // A set that can still be read whole is exported the ordinary way.
  if (holes.empty()) return CmdVolumeExport(s, opt, volume, file, out, err);
  json ranges = json::array();
  for (const auto& [from, to] : holes) ranges.push_back({from, to});
  // On standard output the data is all there is: the list goes to standard error (the
  // document too, sent there by the caller).
  if (opt.json)
    out << JsonText(json{{"exported", volume}, {"file", file}, {"bytes", total}, {"zeroed", ranges}}) << "\n";
  else
    (toStdout ? err : out) << "exported " << total << " bytes of " << volume
                           << (toStdout ? "" : " to " + file) << "; " << DescribeRanges(holes, holes.size())
                           << " could not be read and are zeros\n";
  return kOk;
}

}  // namespace cli
