// tolvane-cli peer: a headless copy of the program in the net group.
//
// It joins the group (by LAN broadcast, or through one member given by address or host name) and reports on stdout,
// one JSON object per line, flushed at once, each with "event" and "t" (milliseconds since the start):
//   started (with "wall": milliseconds since 1970 at the start, and the ports actually used), joined, left,
//   member_joined / member_left / member_changed (name, class, ip, service_port),
//   members (list: objects with name and ip; after every change of the list, once for changes that come together),
//   error (text).
// It takes commands on stdin, one per line: members, rename NAME, leave, join, quit. The end of the input is quit.
// A bad command prints an error event and changes nothing.
#include "cli/commands.h"

#include "app/config_record.h"
#include "cli/json_lines.h"
#include "foundation/deferred_calls.h"
#include "cli/stdin_lines.h"
#include "foundation/main_loop.h"
#include "group/net_group.h"
#include "net/multi_timer.h"
#include "net/socket_primitives.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace cli {

namespace {

using Json = nlohmann::json;

// Leaving when the program ends waits at most this long for the members to take the notices, as the launcher does.
constexpr uint32_t C_QuitLeaveWaitMs = 5000;

struct TPeerOptions {
    std::string Name = "New player";
    std::string Group = "GameDuke3d";
    std::string Class = "Launcher";
    uint16_t UdpPort = rv::C_LauncherUdpPort;
    uint16_t InfoPort = rv::C_LauncherInfoReplyPort;
    uint16_t ServicePort = rv::C_LauncherServicePort;
    std::string JoinIp;
    std::string JoinHost;
    uint16_t TimeOut = rv::C_NetGroupDefaultMsgTimeOut;
    std::string ConfigFile;
};

class TPeer {
public:
    explicit TPeer(rv::T_NetGroupCfg& Cfg) : FCfg(Cfg) {}

    int Run() {
        FEvents = TJsonLines(stdout);
        const auto wall = std::chrono::duration<double, std::milli>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
        rv::StartMultiTimer();
        try {
            FGroup = std::make_unique<rv::T_NetGroup>(
                FCfg, [this](rv::T_NetGroup*, const std::string& Text) { Error(Text); });
        } catch (const std::exception& e) {
            Error(e.what());
            rv::FinishMultiTimer();
            rv::WS_Finish();
            return 2;
        }
        Emit("started", {{"wall", wall},
                         {"name", FGroup->UnitId()},
                         {"udp_port", FCfg.sT.UdpPort},
                         {"info_port", FGroup->InfoReplyPort()}});
        try {
            FGroup->UdpLink->CheckSocketInitialized();
        } catch (const std::exception& e) {
            Error(e.what());
        }
        if (FCfg.sT.InfoReplyPort != 0 && FGroup->InfoReplyPort() == 0)
            Error("no answer port could be opened from " + std::to_string(FCfg.sT.InfoReplyPort) + " on");
        Hook();
        Join();
        TStdinLines input([this](const std::string& Line) { Command(Line); }, [this] { Quit(); });
        const int rc = rv::RunMessageLoop();
        FClosing = true;
        rv::AsyncRemoveCallBackEvent(FMembersCall);
        // The group's destructor lets messages flow; nothing may reach the commands meanwhile.
        FGroup.reset();
        rv::FinishMultiTimer();
        rv::WS_Finish();
        return rc;
    }

private:
    using TArgsCommand = void (TPeer::*)(const std::string& Args);
    struct TCommandEntry {
        TArgsCommand Run;
        bool TakesArgument;
    };

    // The commands, by name. Later commands (chat, map, launch) are added here.
    const std::map<std::string, TCommandEntry>& Commands() {
        static const std::map<std::string, TCommandEntry> table = {
            {"members", {&TPeer::CmdMembers, false}}, {"rename", {&TPeer::CmdRename, true}},
            {"leave", {&TPeer::CmdLeave, false}},     {"join", {&TPeer::CmdJoin, false}},
            {"quit", {&TPeer::CmdQuit, false}},
        };
        return table;
    }

    void Command(const std::string& Line) {
        if (FClosing || FQuitting) return;
        const size_t first = Line.find_first_not_of(" \t");
        if (first == std::string::npos) return; // blank lines are ignored
        const size_t end = Line.find_first_of(" \t", first);
        const std::string name = Line.substr(first, end == std::string::npos ? std::string::npos : end - first);
        std::string args;
        if (end != std::string::npos) {
            const size_t a = Line.find_first_not_of(" \t", end);
            if (a != std::string::npos) args = Line.substr(a, Line.find_last_not_of(" \t") - a + 1);
        }
        const auto it = Commands().find(name);
        if (it == Commands().end()) return Error("unknown command: " + name);
        if (it->second.TakesArgument && args.empty()) return Error(name + ": an argument is needed");
        if (!it->second.TakesArgument && !args.empty()) return Error(name + " takes no argument");
        try {
            (this->*it->second.Run)(args);
        } catch (const std::exception& e) {
            Error(name + ": " + e.what());
        }
    }

    void CmdMembers(const std::string&) { EmitMembers(); }

    void CmdRename(const std::string& Name) {
        rv::TRV_Constructed<rv::T_NetGroupCfg> next;
        next.Assign(&FCfg);
        next.UnitId = Name;
        // Configure checks the new identity before it changes anything.
        FGroup->Configure(next);
        FCfg.Assign(&next);
    }

    void CmdLeave(const std::string&) {
        if (!FGroup->ParticipatingInGroup()) return Error("leave: not in the group");
        FGroup->LeaveGroup();
        EmitMembers();
    }

    void CmdJoin(const std::string&) {
        if (FGroup->ParticipatingInGroup()) return Error("join: already in the group");
        Join();
    }

    void CmdQuit(const std::string&) { Quit(); }

    void Join() {
        try {
            FGroup->JoinGroup();
        } catch (const std::exception& e) {
            Error(e.what());
        }
    }

    void Quit() {
        if (FClosing || FQuitting) return;
        FQuitting = true;
        if (FGroup->ParticipatingInGroup()) {
            FGroup->LeaveGroup(C_QuitLeaveWaitMs);
            EmitMembers();
        }
        rv::ApplicationTerminate(0);
    }

    void Hook() {
        FMembersCall = rv::AsyncRegisterCallBackEvent([this](int32_t) {
            FMembersPosted = false;
            EmitMembers();
        });
        FGroup->OnJoin = [this](rv::T_NetGroup*) { Emit("joined"); };
        // The list is emptied after this event when leaving (see CmdLeave, Quit), before it on an identity change.
        FGroup->OnLeave = [this](rv::T_NetGroup*) {
            Emit("left");
            if (FGroup->Members().Count() == 0) EmitMembers();
        };
        FGroup->OnMemberJoin = [this](rv::T_NetGroup*, rv::T_NetGroupMember* M) { MemberEvent("member_joined", *M); };
        FGroup->OnMemberLeave = [this](rv::T_NetGroup*, rv::T_NetGroupMember* M) { MemberEvent("member_left", *M); };
        FGroup->OnMemberInfoChanged = [this](rv::T_NetGroup*, rv::T_NetGroupMember* M) {
            MemberEvent("member_changed", *M);
        };
    }

    void MemberEvent(const char* Event, const rv::T_NetGroupMember& M) {
        Emit(Event, {{"name", M.UnitId},
                     {"class", M.ClassId},
                     {"ip", rv::WS_IpToStr(static_cast<rv::T_NumericIpAddress>(M.sT.MemberIpAddress))},
                     {"service_port", rv::LoWord(M.sT.isR.TcpIpServices)}});
        // The list once the changes that come together are made: a message naming a thousand members costs a
        // thousand events, not a thousand lists.
        if (!FMembersPosted) {
            FMembersPosted = true;
            rv::AsyncPostNotification(FMembersCall, 0);
        }
    }

    void EmitMembers() {
        Json list = Json::array();
        const rv::T_NetGroupMemberList& members = FGroup->Members();
        for (int i = 0; i < members.Count(); ++i) {
            if (const rv::T_NetGroupMember* m = members.Item(i))
                list.push_back({{"name", m->UnitId},
                                {"ip", rv::WS_IpToStr(static_cast<rv::T_NumericIpAddress>(m->sT.MemberIpAddress))}});
        }
        Emit("members", {{"list", list}});
    }

    void Error(const std::string& Text) { Emit("error", {{"text", Text}}); }

    void Emit(const char* Event, const Json& Fields = Json::object()) { FEvents.Emit(Event, Fields); }

    rv::T_NetGroupCfg& FCfg;
    std::unique_ptr<rv::T_NetGroup> FGroup;
    TJsonLines FEvents{stdout}; // "t" counts from the start of Run
    bool FQuitting = false;
    int32_t FMembersCall = 0;    // the deferred call that shows the list
    bool FMembersPosted = false; // it is on its way
    bool FClosing = false;
};

int RunPeer(const TPeerOptions& O) {
    rv::TRV_Constructed<rv::T_NetGroupCfg> cfg;
    if (!O.ConfigFile.empty()) {
        rv::TRV_Constructed<rv::T_ConfigRec> rec;
        std::string reason;
        const rv::TCfgLoadStatus st = rv::LoadConfigFile(rec, O.ConfigFile, &reason);
        if (st != rv::TCfgLoadStatus::Loaded) {
            std::cerr << "tolvane-cli: cannot use the configuration file " << O.ConfigFile
                      << (st == rv::TCfgLoadStatus::Missing   ? " (it does not exist)"
                          : st == rv::TCfgLoadStatus::Damaged ? " (it is damaged)"
                          : reason.empty()                    ? " (it cannot be read)"
                                                              : " (it cannot be read: " + reason + ")")
                      << "\n";
            return 2;
        }
        cfg.Assign(&rec.NetGroupCfgR);
    } else {
        cfg.UnitId = O.Name;
        cfg.GroupId = O.Group;
        cfg.ClassId = O.Class;
        cfg.sT.UdpPort = O.UdpPort;
        cfg.sT.InfoReplyPort = O.InfoPort;
        cfg.sT.TcpIpServices = rv::MakeServices(O.ServicePort, 0);
        cfg.sT.MsgTimeOut = O.TimeOut;
        if (!O.JoinIp.empty()) {
            rv::T_NumericIpAddress ip = 0;
            if (!rv::WS_StrToIp(O.JoinIp, ip)) {
                std::cerr << "tolvane-cli: --join-ip needs an address A.B.C.D, not " << O.JoinIp << "\n";
                return 2;
            }
            cfg.sT.HostIP = ip;
            cfg.sT.NetGroupSearchMethod = rv::ngsMemberIp;
        } else if (!O.JoinHost.empty()) {
            cfg.HostName = O.JoinHost;
            cfg.sT.NetGroupSearchMethod = rv::ngsMemberHostName;
        }
    }
    TPeer peer(cfg);
    return peer.Run();
}

} // namespace

TCommand AddPeerCommand(CLI::App& App) {
    auto options = std::make_shared<TPeerOptions>();
    CLI::App* sub = App.add_subcommand("peer", "Join the net group and report it as JSON lines; commands on stdin");
    sub->add_option("--name", options->Name, "The player's name (UnitId)")->capture_default_str();
    sub->add_option("--group", options->Group, "The group (GroupId)")->capture_default_str();
    sub->add_option("--class", options->Class, "The kind of program (ClassId)")->capture_default_str();
    sub->add_option("--udp-port", options->UdpPort, "UDP port of the discovery broadcasts")->capture_default_str();
    sub->add_option("--info-port", options->InfoPort, "TCP port for answers and group messages")
        ->capture_default_str();
    sub->add_option("--service-port", options->ServicePort, "The first TCP service port announced")
        ->capture_default_str();
    CLI::Option* ip = sub->add_option("--join-ip", options->JoinIp, "Join through the member at this address");
    CLI::Option* host = sub->add_option("--join-host", options->JoinHost, "Join through the member of this name");
    ip->excludes(host);
    sub->add_option("--timeout", options->TimeOut, "Time-out of a group message, seconds (MsgTimeOut)")
        ->capture_default_str();
    CLI::Option* config =
        sub->add_option("--config", options->ConfigFile, "Take all of these from a configuration record file");
    for (const char* other :
         {"--name", "--group", "--class", "--udp-port", "--info-port", "--service-port", "--timeout"})
        config->excludes(sub->get_option(other));
    config->excludes(ip);
    config->excludes(host);
    return {sub, [options] { return RunPeer(*options); }};
}

} // namespace cli
