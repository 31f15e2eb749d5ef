// The "ft" and "volume" commands: FT sets made, changed and repaired, and FT volume data
// read, written and described; the work is in ftdata/, here are arguments and printing.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli.h"
#include "ftconfig.h"
#include "ftmap.h"
#include "ftplan.h"
#include "ftset.h"
#include "requests.h"

namespace cli {

// The ft edit commands (ft.cpp), which apply runs too. group < 0: the lowest free one.
int CmdFtEditDefine(Session& s, const Options& opt, const std::string& kind, int group,
                    const std::vector<std::string>& members, bool assumeClean, std::ostream& out,
                    std::ostream& err);
int CmdFtEditMember(Session& s, const Options& opt, const std::string& set, int member,
                    const std::string& state, std::ostream& out, std::ostream& err);
// A set argument that names neither a set (mirrorG...) nor a drive letter: says so on err.
bool SetArgumentFails(const std::string& text, std::ostream& err);

// The FT volume data commands (volume.cpp).
int CmdVolumeExport(Session& s, const Options& opt, const std::string& volume, const std::string& file,
                    std::ostream& out, std::ostream& err);
int CmdVolumeImport(Session& s, const Options& opt, const std::string& volume, const std::string& file,
                    bool pad, std::ostream& out, std::ostream& err);
// concise: dmsetup's concise format (helper devices first), the set's device named
// name (default: the set's name).
int CmdVolumeDmTable(Session& s, const Options& opt, const std::string& volume,
                     const std::vector<std::string>& memberDevices, bool concise, const std::string& name,
                     std::ostream& out, std::ostream& err);
// volume serve SET [--read-only] (--socket PATH | --port N): runs nbdkit with the plugin in
// place of this process; returns only when that could not be done.
int CmdVolumeServe(Session& s, const Options& opt, const std::string& volume, bool readOnly,
                   const std::string& socket, int port, std::ostream& out, std::ostream& err);
// ft verify SET [--repair] [--from MEMBER] (from < 0: the first member holding data).
int CmdFtVerify(Session& s, const Options& opt, const std::string& set, bool repair, int from,
                std::ostream& out, std::ostream& err);

// ft find [--apply] [--full] (ftfind.cpp): the FT sets the disks hold, found from their
// bytes; --apply records those it is sure of.
int CmdFtFind(Session& s, const Options& opt, bool apply, bool full, std::ostream& out, std::ostream& err);

// The progress of a data pass on a terminal (none elsewhere): percent, bytes and rate.
ntp::ftmap::Progress PassProgress(const std::string& what, std::ostream& err);

// "mirror0", "parity2"... or a drive letter of an FT volume: the set's type and group.
using ftdata::ResolveSet;
// The ranges a set has lost, in words (providers/ftconfig/ftplan.h).
using ftconfig::DescribeRanges;
// volume export --allow-holes: the volume with the ranges no member left can give as
// zeros, those ranges listed (a set that can be read whole is exported as usual).
int CmdVolumeExportWithHoles(Session& s, const Options& opt, const std::string& volume,
                             const std::string& file, std::ostream& out, std::ostream& err);

}  // namespace cli
