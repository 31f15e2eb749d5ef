// "ftdiskctl ft ...": FT sets made, grown, broken, deleted, regenerated and edited. The
// requests are carried out by ftdata/requests.h; here are their arguments and the
// printing of what they did (text, or the JSON request document).
#include <functional>
#include <ostream>

#include "command_table.h"
#include "ftcmd.h"
#include "ftconfig.h"
#include "ftedit.h"
#include "ftparts.h"
#include "request.h"
#include "requests.h"

namespace cli {

namespace {

// What the requests give the front end: lines for standard error, the progress of a
// data pass on a terminal.
ftdata::RequestHooks Hooks(std::ostream& err) {
  return {[&err](const std::string& line) { err << line << "\n"; },
          [&err](const std::string& what) { return PassProgress(what, err); }};
}

// Prints the outcome: the set's volume as the provider published it, and the alerts.
// The JSON request has the partition requests' shape: the set is the object, a set the
// request made is also the result; a failure prints the document with its error. A
// request refused before it began says why on standard error only.
int Report(Session& s, const Options& opt, size_t mark, const ntp::Status& st, const ftdata::RequestResult& r,
           std::ostream& out, std::ostream& err) {
  if (!r.started) return err << st.message() << "\n", kFailed;
  const bool ok = st.ok();
  const std::string message = ok ? (opt.dryRun ? ftdata::Conditional(r.done) : r.done) : st.message();
  auto alerts = s.AlertsSince(mark);
  const Machine m = Machine::Read(alerts);
  if (opt.json) {
    const ZM_OBJECT_ID after = r.set.empty() ? 0 : ftconfig::SetVolume(m, r.set);
    const ZM_OBJECT_ID object = after != 0 ? after : r.before;
    auto idOrNull = [](ZM_OBJECT_ID id) { return id != 0 ? json(id) : json(nullptr); };
    json request = {{"command", r.command},
                    {"object", idOrNull(object)},
                    {"object_name", r.set.empty() ? json(nullptr) : json(r.set)},
                    {"status", ok ? json(0) : json(nullptr)},
                    {"message", message.empty() ? json(nullptr) : json(message)},  // what the text says
                    {"result_id", idOrNull(ok && r.before == 0 ? after : 0)},
                    {"member_id", nullptr},
                    {"member_name", nullptr},
                    {"backups", r.backups}};
    if (ok)
      PrintJsonResult(out, m, {{"request", std::move(request)}});
    else
      PrintJsonFailure(out, message, nullptr, m, {{"request", std::move(request)}});
  } else {
    PrintAlerts(out, m.alerts, opt.dryRun ? "would raise alert: " : "alert: ");
    for (const auto& b : r.backups) out << "saved the previous table sectors as backup " << b << "\n";
    if (ok) out << message << "\n";
    PrintTree(out, m, opt);
  }
  if (!ok) {
    err << message << "\n";
    return kFailed;
  }
  return kOk;
}

// Runs one request of the library (its checks, its work) and prints its outcome.
int Carry(Session& s, const Options& opt, std::ostream& out, std::ostream& err,
          const std::function<ntp::Status(const ftdata::RequestHooks&, ftdata::RequestResult*)>& request) {
  const size_t mark = s.AlertCount();
  ftdata::RequestResult r;
  const ntp::Status st = request(Hooks(err), &r);
  return Report(s, opt, mark, st, r, out, err);
}

int Usage(std::ostream& err, const std::string& text) {
  err << "ftdiskctl: " << text << "\n";
  return kUsage;
}

int Regenerate(Session& s, const Options& opt, const std::string& setArg, int member, int onto,
               std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  size_t mark = 0;
  ftdata::RequestResult r;
  const ntp::Status st = ftdata::RegenerateSigning(
      s, opt.noWait, setArg, member, onto, opt.dryRun, Hooks(err),
      [&](const SignatureChange& change) {
        if (!opt.json) PrintSignatureChange(out, change);
      },
      &mark, &r);
  return Report(s, opt, mark, st, r, out, err);
}

}  // namespace

// A set argument that is neither a set's name nor a drive letter is a usage error.
bool SetArgumentFails(const std::string& text, std::ostream& err) {
  uint32_t type = 0;
  uint16_t group = 0;
  VolumeSpec spec;
  std::string e;
  if (ftdata::ParseSetName(text, &type, &group) ||
      (ParseVolumeSpec(text, &spec, &e) && spec.kind == VolumeSpec::Letter))
    return false;
  err << "ftdiskctl: " << ftdata::NoSetNamed(text) << "\n";
  return true;
}

// The handlers of the ft commands: the arguments' form checked, the request carried out
// by ftdata, its outcome printed. apply records sets with the edit commands too.
int CmdFtEditDefine(Session& s, const Options& opt, const std::string& kind, int group,
                    const std::vector<std::string>& members, bool assumeClean, std::ostream& out,
                    std::ostream& err) {
  uint32_t type = 0;
  if (!ftconfig::TypeFromWord(kind, &type)) return Usage(err, "the type is mirror, stripe, parity or volset");
  if (group > 0xFFFE) return Usage(err, "--group is 0 to 65534");
  if (!OpenOr(s, opt, err)) return kFailed;
  return Carry(s, opt, out, err, [&](const ftdata::RequestHooks& h, ftdata::RequestResult* r) {
    return ftdata::EditDefine(s, kind, type, group, members, assumeClean, h, r);
  });
}

int CmdFtEditMember(Session& s, const Options& opt, const std::string& set, int member,
                    const std::string& stateWord, std::ostream& out, std::ostream& err) {
  uint32_t state = 0;
  if (!ftconfig::MemberStateFromWord(stateWord, &state))
    return Usage(err, "--state is healthy, orphaned, regenerating or initializing");
  if (member < 0) return Usage(err, "give the member number");
  if (!OpenOr(s, opt, err)) return kFailed;
  return Carry(s, opt, out, err, [&](const ftdata::RequestHooks& h, ftdata::RequestResult* r) {
    return ftdata::EditMember(s, set, member, stateWord, state, h, r);
  });
}

namespace {

int CmdFtCreate(Session& s, const Options& opt, const std::string& kind, const std::string& volume,
                const std::vector<unsigned>& disks, const std::vector<std::string>& sizes, std::ostream& out,
                std::ostream& err) {
  ftdata::CreateArgs args{kind, volume, disks, sizes, {}};
  uint32_t type = 0;
  ftconfig::TypeFromWord(kind, &type);
  if (!OpenOr(s, opt, err)) return kFailed;
  if (type == Mirror) {
    if (volume.empty() || disks.size() != 1) return Usage(err, "ft create mirror VOLUME --disk N");
  } else {
    if (!volume.empty()) return Usage(err, "ft create " + kind + " takes --disk and --size, not a VOLUME");
    if (disks.empty() || sizes.empty())
      return Usage(err, "ft create " + kind + " --size SIZE --disk N --disk M...");
    if (sizes.size() != 1 && (type != VolumeSet || sizes.size() != disks.size()))
      return Usage(
          err, type == VolumeSet ? "give one --size, or one per --disk" : "give one --size for every member");
    for (size_t i = 0; i < disks.size(); ++i) {
      uint64_t size = 0;
      std::string e;
      if (!ParseSize(sizes[sizes.size() == 1 ? 0 : i], false, &size, &e)) return Usage(err, e);
      args.sizes.push_back(size);
    }
  }
  return Carry(s, opt, out, err, [&](const ftdata::RequestHooks& h, ftdata::RequestResult* r) {
    return ftdata::CreateSet(s, args, h, r);
  });
}

int CmdFtExtend(Session& s, const Options& opt, const std::string& set, const std::vector<unsigned>& disks,
                const std::vector<std::string>& sizes, std::ostream& out, std::ostream& err) {
  if (disks.size() != 1 || sizes.size() != 1) return Usage(err, "ft extend VOLSET --disk N --size SIZE");
  uint64_t size = 0;
  std::string e;
  if (!ParseSize(sizes[0], false, &size, &e)) return Usage(err, e);
  if (!OpenOr(s, opt, err)) return kFailed;
  return Carry(s, opt, out, err, [&](const ftdata::RequestHooks& h, ftdata::RequestResult* r) {
    return ftdata::Extend(s, set, disks[0], sizes[0], size, h, r);
  });
}

int CmdFtBreak(Session& s, const Options& opt, const std::string& set, std::ostream& out, std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  return Carry(s, opt, out, err, [&](const ftdata::RequestHooks& h, ftdata::RequestResult* r) {
    return ftdata::BreakOrDelete(s, set, false, h, r);
  });
}

int CmdFtDelete(Session& s, const Options& opt, const std::string& set, std::ostream& out,
                std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  return Carry(s, opt, out, err, [&](const ftdata::RequestHooks& h, ftdata::RequestResult* r) {
    return ftdata::BreakOrDelete(s, set, true, h, r);
  });
}

int CmdFtEditDrop(Session& s, const Options& opt, const std::string& set, std::ostream& out,
                  std::ostream& err) {
  if (!OpenOr(s, opt, err)) return kFailed;
  return Carry(s, opt, out, err, [&](const ftdata::RequestHooks& h, ftdata::RequestResult* r) {
    return ftdata::EditDrop(s, set, h, r);
  });
}

}  // namespace

// The ft family: its rows in the command table.
std::vector<CommandSpec> FtCommands() {
  return {
      {"ft", "make, grow, break, delete, regenerate and repair FT sets", {}, kNeedsCommand},

      {"ft create",
       "make a mirror, stripe set, stripe set with parity or volume set",
       {Text("TYPE", "mirror, stripe, parity or volset")
            .Req()
            .Choices({"mirror", "stripe", "parity", "volset"}),
        Text("VOLUME", "mirror: the partition that becomes member 0 (diskN/pM or E:)").Of(Names::kRegion),
        Uints("--disk", "a disk for a new member, in member order; repeat").Req().Of(Names::kDisk),
        Texts("--size", "size of the new partitions (volset: one per --disk, or one for all)").Meta("SIZE")},
       kWrites,
       [](Call& c) {
         return CmdFtCreate(c.s, c.opt, c.a.Text("TYPE"), c.a.Text("VOLUME"), c.a.Uints("disk"),
                            c.a.Texts("size"), c.out, c.err);
       },
       "ftdiskctl -m m ft create mirror disk0/p1 --disk 1\n"
       "ftdiskctl -m m ft create parity --size 100M --disk 0 --disk 1 --disk 2"},

      {"ft extend",
       "grow a volume set by one new partition",
       {Text("VOLSET", "the volume set (volsetG)").Req().Of(Names::kFtSet),
        Uints("--disk", "disk of the new member").Req().Of(Names::kDisk),
        Texts("--size", "size of the new member").Req().Meta("SIZE")},
       kWrites,
       [](Call& c) {
         const std::string& set = c.a.Text("VOLSET");
         return CmdFtExtend(c.s, c.opt, set, c.a.Uints("disk"), c.a.Texts("size"), c.out, c.err);
       }},

      {"ft break",
       "make a mirror two plain partitions again (member 1 gets a free letter)",
       {Text("MIRROR", "the mirror (mirrorG)").Req().Of(Names::kFtSet)},
       kWrites,
       [](Call& c) {
         const std::string& set = c.a.Text("MIRROR");
         if (!Confirm(c.opt, "break " + set + "? its members become plain partitions"))
           return c.err << "nothing changed\n", kFailed;
         return CmdFtBreak(c.s, c.opt, set, c.out, c.err);
       }},

      {"ft delete",
       "delete an FT set and its partitions",
       {Text("SET", "the set (mirrorG, stripeG, parityG, volsetG)").Req().Of(Names::kFtSet)},
       kWrites,
       [](Call& c) {
         const std::string& set = c.a.Text("SET");
         if (!Confirm(c.opt, "delete " + set + " and its partitions? the data on them is lost"))
           return c.err << "nothing changed\n", kFailed;
         return CmdFtDelete(c.s, c.opt, set, c.out, c.err);
       }},

      {"ft regenerate",
       "rebuild an orphaned member from the other members",
       {Text("SET", "the mirror or stripe set with parity").Req().Of(Names::kFtSet),
        Int("MEMBER", "the member to rebuild (default: the orphaned one)"),
        Int("--onto", "rebuild the member onto a new partition on this disk (a replacement for a lost one)")
            .Of(Names::kDisk)
            .Meta("DISK")},
       kWrites,
       [](Call& c) {
         const std::string& set = c.a.Text("SET");
         return Regenerate(c.s, c.opt, set, c.a.Int("MEMBER"), c.a.Int("onto"), c.out, c.err);
       },
       "ftdiskctl -m m ft regenerate mirror0\nftdiskctl -m m ft regenerate parity0 1 --onto 3"},

      {"ft edit",
       "repair the FT configuration without touching any data",
       {},
       kNeedsCommand,
       nullptr,
       "ftdiskctl -m m ft edit define mirror disk0/p1 disk1/p1 --group 0\n"
       "ftdiskctl -m m ft edit member parity0 1 --state orphaned"},

      {"ft edit define",
       "record a set made of existing partitions, members in order",
       {Text("TYPE", "mirror, stripe, parity or volset")
            .Req()
            .Offers({"mirror", "stripe", "parity", "volset"}),
        Texts("MEMBERS", "the partitions, member 0 first (diskN/pM)").Req().Of(Names::kRegion).Meta("MEMBER"),
        Int("--group", "the FT group (default: the lowest free one)").Meta("G"),
        Flag(
            "--assume-clean",
            "record a mirror or parity set as healthy (its members known to agree) instead of initializing")},
       kWrites,
       [](Call& c) {
         return CmdFtEditDefine(c.s, c.opt, c.a.Text("TYPE"), c.a.Int("group"), c.a.Texts("MEMBERS"),
                                c.a.Flag("assume-clean"), c.out, c.err);
       }},

      {"ft edit drop",
       "remove a set from the configuration; its partitions stay",
       {Text("SET", "the set").Req().Of(Names::kFtSet)},
       kWrites,
       [](Call& c) {
         const std::string& set = c.a.Text("SET");
         return CmdFtEditDrop(c.s, c.opt, set, c.out, c.err);
       }},

      {"ft edit member",
       "record the state of one member",
       {Text("SET", "the set").Req().Of(Names::kFtSet), Int("MEMBER", "the member number").Req(),
        Text("--state", "healthy, orphaned, regenerating or initializing")
            .Req()
            .Offers({"healthy", "orphaned", "regenerating", "initializing"})},
       kWrites,
       [](Call& c) {
         const std::string& set = c.a.Text("SET");
         return CmdFtEditMember(c.s, c.opt, set, c.a.Int("MEMBER"), c.a.Text("state"), c.out, c.err);
       }},

      {.path = "ft verify",
       .help = "compare a mirror's members or a parity set's parity with its data",
       .options = {Text("SET", "the mirror or stripe set with parity").Req().Of(Names::kFtSet),
                   Flag("--repair", "rewrite what differs: the parity from the data, or a mirror member"),
                   Int("--from", "mirror: the member copied over the other (default: the first healthy)")
                       .Meta("MEMBER")},
       .access = kReadOnly,
       .handler =
           [](Call& c) {
             const std::string& set = c.a.Text("SET");
             return CmdFtVerify(c.s, c.opt, set, c.a.Flag("repair"), c.a.Int("from"), c.out, c.err);
           },
       .switchOption = "--repair",
       .accessWith = kWrites},

      {.path = "ft find",
       .help = "find the FT sets the disks hold when their configuration is lost",
       .options = {Flag("--apply", "record the sets it is sure of (ft edit define)"),
                   Flag("--full", "read whole members to confirm mirrors and parity, not samples")},
       .access = kReadOnly,
       .handler =
           [](Call& c) { return CmdFtFind(c.s, c.opt, c.a.Flag("apply"), c.a.Flag("full"), c.out, c.err); },
       .example = "ftdiskctl -m m ft find   |   ftdiskctl --image a.img --image b.img ft find",
       .switchOption = "--apply",
       .accessWith = kWrites},
  };
}

}  // namespace cli
