// The rescan command, which a hive import runs too: prints its result and returns an
// exit status.
#pragma once

#include <iosfwd>
#include <string>

#include "cli.h"

namespace cli {

int CmdRescan(Session& s, const Options& opt, bool hasDisk, unsigned disk, std::ostream& out,
              std::ostream& err);

}  // namespace cli
