// The FT configuration compared with the disks of the booted machine: what is read
// (disks, their partitions, "Information", pending requests, absent members, import
// journals, stored letters) and the rules that turn it into findings, each saying what
// is wrong, about which object, and what to do. Nothing here writes or prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "configblob.h"
#include "ftintent.h"
#include "ftjournal.h"
#include "ftstate.h"
#include "machine_model.h"

namespace ftconfig {

// A problem check reports. Every finding means the machine is not well (check exits 1).
struct Finding {
  enum class Kind {
    ZeroSignature,        // a disk without a signature
    DuplicateSignature,   // disks that share one
    Malformed,            // "Information" or the pending requests cannot be read
    OrphanedMember,       // an FT member whose partition is there but out of its set
    MissingDisk,          // a member's or a record's disk is not on this machine
    MovedMember,          // a member's partition is gone, one of its size is elsewhere on the disk
    MissingMember,        // a member's partition is gone
    Degraded,             // a set that is not healthy or has lost members
    MemberSizes,          // a set's members are not of one length
    UnfinishedImport,     // a volume import that stopped part way
    LeftoverPartition,    // made (or being deleted) by an interrupted FT request
    StaleRecord,          // a record without a partition on a disk that is here
    LetterTwice,          // a letter recorded for more than one object
    DuplicateRecord,      // a disk described more than once
    UnrecordedPartition,  // a partition the configuration has no record of
  };
  Kind kind;
  std::string object;   // what it is about: "mirror0", "mirror0 member 1", "disk1/p2", "E:"
  std::string message;  // what is wrong
  std::string action;   // what to do
};
// The word of a kind in check's output: "orphaned_member", "degraded"...
std::string KindName(Finding::Kind kind);

// A data partition as the disk driver reports it; number is the one of its name
// (diskN/pM): its MBR slot, or from 5 in chain order for a logical drive.
struct DiskPartition {
  unsigned disk = 0, number = 0;
  int64_t offset = 0, length = 0;
  bool recognized = false;
};

// What the rules look at, read once from the booted machine.
struct CheckInput {
  struct Disk {
    unsigned index = 0;
    uint32_t signature = 0;
    std::string image;  // its image as attach takes it (absolute), "IMAGE" when not configured
  };
  struct Letter {
    std::string name;  // the disk key's value naming the object (a CD-ROM's device)
    char letter = 0;   // 'C' to 'Z'
  };
  std::vector<Disk> disks;                        // in index order
  std::vector<DiskPartition> partitions;          // every disk's, in layout order
  bool stored = false;                            // an "Information" value is there
  bool readable = false;                          // and the validator accepts it
  std::string malformed;                          // why it is not readable
  std::vector<uint8_t> blob;                      // the value (when readable)
  ftformat::ConfigView view;                      // its records and sets (when readable)
  model::Machine machine;                         // where a lost member can be rebuilt
  std::vector<Intent> intents;                    // pending FT requests
  bool intentsUnreadable = false;                 // they cannot be read
  std::string intentsWhy;                         // why
  std::vector<FtAbsentMember> absent;             // members a boot found away
  std::vector<ntp::ftjournal::Journal> journals;  // each set's of view.sets (empty when none)
  std::vector<Letter> letters;                    // letters stored under names in the disk key
};

// Reads the booted machine whose directory is dir. The configuration's other parts are
// read only when "Information" is readable.
CheckInput ReadCheckInput(const std::string& dir);

// The findings of every rule, in the order check lists them; the rules that compare the
// configuration with the disks run only when it is readable.
std::vector<Finding> Check(const CheckInput& in);

}  // namespace ftconfig
