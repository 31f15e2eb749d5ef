// The partition requests' outcome printed (providers/ftconfig/partition_requests.h does
// the work), and the session opening the command families share.
#pragma once

#include <iosfwd>
#include <string>

#include "cli.h"
#include "partition_requests.h"

namespace cli {

// How the requests run for these options: dry run, object ids inside the shell, failures
// in the front end's words, the writes that failed taken after each request.
ftconfig::RequestContext RequestsFor(const Options& opt);

// Prints a partition request's outcome: its alerts, backups, what it did and the layout
// of its disk (every disk when it has none), or the JSON request document; a refusal or
// failure on err. Returns the exit status.
int Report(const Options& opt, const ftconfig::PartitionOutcome& r, std::ostream& out, std::ostream& err);

inline std::string Verb(bool dry, const std::string& past, const std::string& would) {
  return dry ? would : past;
}

// Opens the session, or says why not.
bool OpenOr(Session& s, const Options& opt, std::ostream& err);

}  // namespace cli
