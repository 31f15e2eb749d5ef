// The partition requests that other commands reuse: apply lays out a dump through them
// and a hive import rescans. Each prints its result and returns an exit status.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "cli.h"

namespace cli {

struct CreateArgs {
  std::string kind;
  unsigned disk = 0;
  uint64_t size = 0;
  bool hasOffset = false;
  uint64_t offset = 0;
  bool maxSize = false;
  bool sizeInSectors = false, offsetInSectors = false;  // "2048s": multiplied by the disk's sector size
};

int CmdCreate(Session& s, const Options& opt, const CreateArgs& a, std::ostream& out, std::ostream& err);
int CmdActive(Session& s, const Options& opt, const std::string& volume, std::ostream& out,
              std::ostream& err);
int CmdLetter(Session& s, const Options& opt, const std::string& volume, const std::string& letter,
              bool remove, std::ostream& out, std::ostream& err);
int CmdRescan(Session& s, const Options& opt, bool hasDisk, unsigned disk, std::ostream& out,
              std::ostream& err);

}  // namespace cli
