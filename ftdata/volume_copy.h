// An FT set's volume copied whole to a file, block device or standard output (volume
// export) and from one (volume import), and where a path is one of the machine's own
// disks, which neither may touch. They print nothing: a Status says why they stopped.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "boot.h"
#include "ftmap.h"
#include "ftset.h"
#include "status.h"

namespace ftdata {

// The loop device attached to an image file ("" when none).
std::string LoopOf(const std::string& image);
// Which disk of the machine in dir a path is (its image, its block device, or a loop
// device over the image); -1 for none.
int MachineDiskAt(const std::string& dir, const std::string& path);

// Writes the volume's bytes to file ("-": standard output, left open). A block device is
// written in place and must hold the volume; a file is replaced. What is reported
// written is on the disk (fsynced), unless it went to a pipe.
ntp::Status ExportVolume(ntp::ftmap::Volume& v, const std::string& dir, const std::string& file,
                         const ntp::ftmap::Progress& progress);

// The source of an import: a regular file, a block device or a stream ("-" is standard
// input). size is known for the first two.
struct ImportSource {
  int fd = -1;
  bool known = false;
  uint64_t size = 0;
  ImportSource() = default;
  ImportSource(const ImportSource&) = delete;
  ImportSource& operator=(const ImportSource&) = delete;
  ~ImportSource();
};
// Opens file, refusing one of the machine's disks, a directory, and (unless pad) a
// known size that is not whole sectors.
ntp::Status OpenImportSource(const std::string& dir, const std::string& file, bool pad, ImportSource* src);
// Refuses a source of known size larger than the volume, before anything is written.
ntp::Status CheckImportFits(const ImportSource& src, const std::string& file, uint64_t length);

// What an import came to.
struct ImportOutcome {
  bool simulated = false;   // a dry run: nothing was written (the data is not simulated)
  uint64_t written = 0;     // what went in
  bool unfinished = false;  // the journal keeps the import recorded as unfinished
};
// Writes the source into the set's volume, nothing in a dry run. The set is marked
// before the first write; its journal records the import and the ranges in flight, each
// window flushed before it is dropped. v is closed before the mark is cleared. Then the
// host's file-system provider reads the volumes again, whatever the outcome.
ntp::Status ImportVolume(zm::Session& s, Set& set, std::unique_ptr<ntp::ftmap::Volume> v, ImportSource& src,
                         const std::string& file, bool pad, const ntp::ftmap::Progress& progress,
                         ImportOutcome* o);

// volume export --allow-holes: the volume written to file ("-": standard output) with
// the ranges no member left can give as zeros (a lost member's share; a parity set's too
// while it is still initializing and has no parity to rebuild it from). *holes lists
// them (volume offsets, ends exclusive); when there are none, nothing is written and
// the caller exports the volume the ordinary way. *total is the volume's length.
ntp::Status ExportWithHoles(const Set& set, const std::string& file,
                            std::vector<std::pair<uint64_t, uint64_t>>* holes, uint64_t* total);

}  // namespace ftdata
