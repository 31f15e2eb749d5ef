// "attach --write-signature" and the signature checks of attach over the platform's
// disk signatures (platform/disk_signature): a disk whose signature is 0 or another
// disk's cannot be told apart in the FT configuration, and gets a fresh one.
#include "cli.h"
#include "disk_signature.h"
#include "units.h"

namespace cli {

void PrintSignatureChange(std::ostream& out, const SignatureChange& change) {
  out << "disk " << change.disk << ": signature " << ntp::HexCode(change.before) << " replaced by "
      << ntp::HexCode(change.after) << "\n";
  for (const auto& b : change.backups) out << "saved the previous sector 0 as backup " << b << "\n";
}

int WriteFreshSignature(const Options& opt, unsigned index, bool force, std::ostream& out,
                        std::ostream& err) {
  SignatureChange change;
  const ntp::Status st = ntp::WriteDiskSignature(opt.dir, opt.noWait, index, force, &change);
  err << change.warnings;
  if (!st.ok()) {
    err << "cannot write a signature on disk " << index << ": " << st.message() << "\n";
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

}  // namespace cli
