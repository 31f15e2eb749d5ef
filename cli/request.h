// The request runner every command family uses: one request sent through the
// provider's control entry, its backups, alerts and outcome printed.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "cli.h"

namespace cli {

// What a request did, in one line, from the machine after it: the member id the
// provider returned (a new volume) and whether this is a dry run ("would ...").
using Describe = std::function<std::string(const Machine& after, uint64_t member, bool dry)>;

// Why a request failed with this status, in the command's own words ("C: is in use by
// cdrom0; ..."); "" keeps the status's sentence.
using Explain = std::function<std::string(ZMSTATUS status)>;

// Sends one request, keeps backups of the table sectors it changes (not in a dry run),
// and prints the outcome. diskIndex < 0 prints every disk.
int Request(Session& s, const Options& opt, const std::string& command, const std::string& what,
            ZM_OBJECT_ID id, uint32_t cls, uint32_t code, PropSet& in, int diskIndex, std::ostream& out,
            std::ostream& err, const Describe& describe = nullptr, const Explain& explain = nullptr);

inline std::string Verb(bool dry, const std::string& past, const std::string& would) {
  return dry ? would : past;
}

// The index of the disk that holds the object, for printing its layout; -1 when unknown.
int DiskIndexOfObject(const Machine& m, ZM_OBJECT_ID id);

// Opens the session, or says why not.
bool OpenOr(Session& s, const Options& opt, std::ostream& err);

}  // namespace cli
