// The booted machine as a dump (format/dumpfile.h): its disks' partition tables as the
// disk driver reports them, the FT sets the stored configuration records and the letters
// of their volumes. Nothing here prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dumpfile.h"
#include "machine_model.h"

namespace dumpapply {

// "disk3" or "3" -> 3; false for anything else.
bool DiskIndex(const std::string& text, unsigned* index);

// The disk's partitions as the disk driver reports its table (a logical drive from where
// its data starts, as sfdisk gives it): the master boot record's slots are p1 to p4, the
// logical drives p5, p6, ... in the order of their boot records. False when it cannot be
// read.
bool ReadTable(unsigned index, uint64_t sectorBytes, std::vector<ftformat::DumpPartition>* parts,
               uint32_t* signature);

// The machine as a dump: the disks asked for (all when only is empty), the FT sets the
// stored configuration records with all members on them, the letters of their volumes.
// What was left out, and why, goes to notes.
ftformat::Dump MakeDump(const model::Machine& m, const std::vector<unsigned>& only,
                        std::vector<std::string>* notes);

}  // namespace dumpapply
