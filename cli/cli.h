// What the front end's source files share: the booted session, the database snapshot,
// the commands, output helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "boot.h"
#include "columns.h"
#include "disk_key.h"
#include "disk_signature.h"
#include "json_writer.h"
#include "machine_json.h"
#include "model.h"
#include "table_backups.h"
#include "units.h"
#include "zmapi.h"
#include "zmhost.h"

namespace cli {

using json = nlohmann::json;

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Options that every command sees.
struct Options {
  std::string dir = "machine";
  bool noWait = false;
  bool json = false;
  bool yes = false;    // -y: no confirmation asked on a terminal
  bool quiet = false;  // -q: nothing on standard output but data asked for; the exit status tells
  bool bytes = false;
  bool sectors = false;    // --sectors: sizes and offsets in sectors of the disk
  bool cylinders = false;  // --cylinders: in cylinders of the disk's geometry
  bool verbose = false;
  bool dryRun = false;
  bool inShell = false;        // object ids are accepted only inside the shell
  std::string columns;         // show -o: the columns, comma-separated ("" = the default set)
  std::string volumeColumns;   // show -O: the volume table's columns, likewise
  bool list = false;           // show --list: no tree
  bool raw = false;            // show --raw: no alignment, blank-separated
  bool noHeadings = false;     // show --noheadings: no line of column names
  bool pairs = false;          // show --pairs: NAME="value" pairs, one line per row
  std::string color = "auto";  // --color=auto|always|never
  // init: make the machine in a directory that is not empty; registry import: replace a
  // configuration even when that loses sets or disks
  bool force = false;
};

// The one JSON document a command prints with --json. Success: doc with "ok": true and
// "error": null added. Failure: {"ok": false, "error": {"message", "status"}} merged into
// doc; status is the request's status as a number, or null when the front end refused.
// Every command (new ones too) prints through these, exactly once.
void PrintJsonResult(std::ostream& out, json doc);
using model::JsonLines;
using model::JsonText;
// How many documents PrintJsonResult has printed in this process.
unsigned JsonDocumentsPrinted();
json JsonError(const std::string& message, const json& status = nullptr);
// PrintJsonResult(out, JsonError(...)) merged with doc, for a failure that still has a document.
void PrintJsonFailure(std::ostream& out, const std::string& message, const json& status = nullptr,
                      json doc = json::object());
// The "machine" object of a command that does not boot the machine (init): the
// directory; its health is not known.
json MachineRef(const std::string& dir);
// The model as JSON and as table cells (model/machine_json.h, model/columns.h).
using model::AlertKindWord;
using model::AlertsJson;
using model::MachineJsonText;
void PrintJsonResult(std::ostream& out, const Machine& m, json extra = json::object());
void PrintJsonFailure(std::ostream& out, const std::string& message, const json& status, const Machine& m,
                      json extra = json::object());

// The machine's boot, its requests and database reads (host/boot.h).
using zm::ImageSource;
using zm::ModulePath;
using zm::SelfPath;
using zm::Session;
// What Session prints while its boot waits for another process (the machine lock, a disk).
void PrintWaitNotice(const std::string& what);

using zm::ChildrenOf;
using zm::DecodeU64;
using zm::DriveLayout;
using zm::LayoutEntries;
using zm::Narrow;
using zm::ObjectsOfType;
using zm::ObjectType;
using zm::OpenDevice;
using zm::ParentsOf;
using zm::PropSet;
using zm::PropString;
using zm::PropU64;
using zm::ReadDriveLayout;
using zm::Widen;

// Text forms.
void PrintTree(std::ostream& out, const Machine& m, const Options& opt);
void PrintDisk(std::ostream& out, const Machine& m, unsigned disk, const Options& opt);
void PrintAlerts(std::ostream& out, const std::vector<zm::AlertRecord>& alerts,
                 const std::string& prefix = "alert: ");
using model::CheckColumns;
using model::CheckVolumeColumns;
using model::ColumnHelp;
using model::ColumnNames;
using model::JoinColumns;
using model::Table;
// A size in binary units, or in bytes with --bytes.
std::string Size(uint64_t bytes, const Options& opt);

// Runs one parsed command line (argv without the program name) on the session, which
// is opened on first use; inShell refuses the commands that need their own process.
// Asks on a terminal before a request destroys data ("QUESTION [y/N] " on standard
// error, the answer from standard input); true at once without a terminal, with -y,
// --json or a dry run, so scripts go on as they are.
bool Confirm(const Options& opt, const std::string& question);

int RunCommandLine(const std::vector<std::string>& args, Session* session, bool inShell, std::ostream& out,
                   std::ostream& err);

// What a read-only boot found and did not store (members it shows orphaned), one note.
void NoteUnstoredRecords(const Session& s, std::ostream& err);
using zm::InjectFaultsFromEnvironment;
using zm::TakeWriteFailures;
// Disk signatures (signature.cpp), written by ntp::WriteDiskSignature.
using SignatureChange = ntp::SignatureChange;
void PrintSignatureChange(std::ostream& out, const SignatureChange& change);
int WriteFreshSignature(const Options& opt, unsigned index, bool force, std::ostream& out, std::ostream& err);

// The registry's disk key, decoded by ntp::reg::DiskKeyJson.
using ntp::reg::kDiskKey;
// An "Information" value decoded for people (the lines `registry show` prints).
std::string InformationText(const ntp::reg::Value& information);
// Prints a listing of the disk key: the text from the values, --json the document doc
// (DiskKeyJson's, with whatever the command adds). A malformed "Information" fails.
int PrintRegistry(const std::vector<ntp::reg::Value>& values, const json& doc, const Options& opt,
                  std::ostream& out, std::ostream& err);

// Backups of partition-table sectors (platform/table_backups.h): a request saves the
// sectors it changes through a TableBackup.
using ntp::table_backups::TableBackup;

// Dry run: the request runs on the real machine with the platform's overlay on (sector
// writes kept in memory, the registry a throw-away copy, no alert or backup written);
// run(out, err) runs the request itself. The banner comes first, the changes last.
int DryRun(Session* s, const Options& opt, const std::function<int(std::ostream&, std::ostream&)>& run,
           std::ostream& out, std::ostream& err);
// The version of this program and of the provider module.
int CmdVersion(const Options& opt, std::ostream& out, std::ostream& err);

}  // namespace cli
