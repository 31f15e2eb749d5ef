// Making a machine and adding disks to it, which the hive import and the demo reuse.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli.h"

namespace cli {

int CmdInit(const Options& opt, const std::string& dir, const std::vector<std::string>& disks,
            const std::vector<std::string>& cdroms, bool emptyCdrom, std::ostream& out, std::ostream& err);
// readOnly: the disk is evidence, no request may write it (also for a disk attached
// already).
int CmdAttach(const Options& opt, const std::string& image, bool removable, bool writeSignature,
              bool readOnly, std::ostream& out, std::ostream& err, bool force = false);
// init --dry-run --attach: the checks of attaching the image as disk `index` of the
// machine init would make, and what attach would print.
int CmdAttachToNew(const Options& opt, const std::string& image, unsigned index, bool readOnly,
                   std::ostream& out, std::ostream& err);

}  // namespace cli
