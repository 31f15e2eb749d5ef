// "attach --write-signature" and the signature checks of attach over the platform's
// disk signatures (platform/disk_signature): a disk whose signature is 0 or another
// disk's cannot be told apart in the FT configuration, and gets a fresh one.
#include <cstdio>
#include <filesystem>

#include "cli.h"
#include "disk_signature.h"
#include "machine.h"
#include "units.h"

namespace cli {

bool WriteSignature(const Options& opt, unsigned index, bool force, SignatureChange* change,
                    std::string* error) {
  const ntp::Status st = ntp::WriteDiskSignature(opt.dir, opt.noWait, index, force, change);
  if (!st.ok()) *error = st.message();
  return st.ok();
}

void PrintSignatureChange(std::ostream& out, const SignatureChange& change) {
  out << "disk " << change.disk << ": signature " << ntp::HexCode(change.before) << " replaced by "
      << ntp::HexCode(change.after) << "\n";
  for (const auto& b : change.backups) out << "saved the previous sector 0 as backup " << b << "\n";
}

int WriteFreshSignature(const Options& opt, unsigned index, bool force, std::ostream& out,
                        std::ostream& err) {
  SignatureChange change;
  std::string e;
  const bool ok = WriteSignature(opt, index, force, &change, &e);
  err << change.warnings;
  if (!ok) {
    err << "cannot write a signature on disk " << index << ": " << e << "\n";
    return kFailed;
  }
  if (opt.json)
    out << JsonText(json{{"disk", index},
                         {"old_signature", change.before},
                         {"signature", change.after},
                         {"backups", change.backups}})
        << "\n";
  else
    PrintSignatureChange(out, change);
  return kOk;
}

bool AttachedIndex(const Options& opt, const std::string& image, unsigned* index) {
  ntp::MachineConfig cfg;
  std::string e;
  if (!ntp::LoadMachineConfig(opt.dir, &cfg, &e)) return false;
  std::error_code ec;
  const auto want = std::filesystem::weakly_canonical(image, ec);
  for (size_t i = 0; i < cfg.disks.size(); ++i) {
    std::filesystem::path p = cfg.disks[i].image;
    if (p.is_relative()) p = std::filesystem::path(opt.dir) / p;
    if (std::filesystem::weakly_canonical(p, ec) == want) {
      *index = static_cast<unsigned>(i);
      return true;
    }
  }
  return false;
}

}  // namespace cli
