#include "group/net_group.h"

#include "foundation/message_pump.h"
#include "foundation/stop_watch.h"
#include "foundation/text.h"
#include "foundation/thread_contract.h"
#include "foundation/tick_count.h"
#include "net/async_name_lookup.h"

#include <algorithm>

namespace rv {

namespace {

std::string WithoutTilde(std::string S) {
    std::erase(S, '~');
    return S;
}

// The address in a member's 64-bit field, or 0 when the field holds something else.
T_NumericIpAddress MemberAddress(const T_NetGroupMember& M) {
    const auto v = static_cast<uint64_t>(M.sT.MemberIpAddress);
    return v > 0xFFFFFFFFu ? 0 : static_cast<T_NumericIpAddress>(v);
}

// Bytes a search broadcast takes for a search identifier and a parameter text: 37 with both empty.
int64_t BroadcastSize(const std::string& SearchId, const std::string& Parameter) {
    return 37 + static_cast<int64_t>(SearchId.size() + Parameter.size());
}

} // namespace

TLeavingNetGroupNotice& LeavingNetGroupNotice() {
    static TLeavingNetGroupNotice notice;
    return notice;
}

// --- Life --------------------------------------------------------------------------------------------------------

T_NetGroup::T_NetGroup(const T_NetGroupCfg& Cfg, T_OnNetGroupJoinFailed OnNetGroupJoinFailed)
    : TWS_ServerSession(true, false), FLookUpTarget(std::make_shared<T_NetGroup*>(this)),
      FOnNetGroupJoinFailed(std::move(OnNetGroupJoinFailed)) {
    RV_ASSERT_MAIN_THREAD();
    NgInfo.LocalMember.sT.MemberIpAddress = MemberIpOf(WS_LocalAddr.load());
    NgInfo.sT.MessageType = ngmtJoinReply;
    Configure(Cfg);
    UdpLink = std::make_unique<T_BroadcasterAndInfoProvider>(
        Cfg.sT.UdpPort, LoWord(Cfg.sT.TcpIpServices), HiWord(Cfg.sT.TcpIpServices),
        [this](T_UpdReqInfoBroadcaster* Sender, T_NumericIpAddress FromIp, uint16_t TcpPort1, uint16_t TcpPort2,
               TStream& AppData, bool& Stop) {
            E_OnMemberInfoReceived(Sender, FromIp, TcpPort1, TcpPort2, AppData, Stop);
        },
        GroupSearchId(), Cfg.sT.InfoReplyPort);
    UdpLink->InitBroadcastPeriodMs = C_NetGroupInitBroadcastPeriodMs;
    UdpLink->InitBroadcastDurationMs = C_NetGroupInitBroadcastDurationMs;
    UdpLink->InfoProvider->FOnAboutToSendInfoReply = [this](T_UpdInfoProvider* Sender, T_NumericIpAddress FromIp,
                                                            uint16_t Port, T_UpdInfoStream& Request, bool& Reply) {
        E_AboutToSendInfoReply(Sender, FromIp, Port, Request, Reply);
    };
    UdpLink->InfoProvider->FOnTcpIpInfoReplyStatus = [this](T_UpdInfoProvider* Sender, T_NumericIpAddress Ip,
                                                            bool Successful) {
        E_OnInfoSendComplete(Sender, Ip, Successful);
    };
    // Everything that names this copy's answer port names the one its server got.
    NgInfo.LocalMember.sT.isR.InfoReplyPort = UdpLink->BroadcastR.sT.isR.InfoReplyPort;
    ConfigureUdpLink();
}

T_NetGroup::~T_NetGroup() {
    RV_ASSERT_MAIN_THREAD();
    FDestroying = true;
    *FLookUpTarget = nullptr;
    FreeServiceTimer(RetryJoinTimer);
    FreeServiceTimer(DetailsChangedTimer);
    // Both drop their deliveries; the handlers find FDestroying set meanwhile.
    UdpLink.reset();
    NotifySendList.Clear();
}

// --- Identity --------------------------------------------------------------------------------------------------

void T_NetGroup::SetGroupId(const std::string& V) {
    RV_ASSERT_MAIN_THREAD();
    FGroupId = WithoutTilde(V);
}

void T_NetGroup::SetClassId(const std::string& V) {
    RV_ASSERT_MAIN_THREAD();
    NgInfo.LocalMember.ClassId = WithoutTilde(V);
}

void T_NetGroup::SetUnitId(const std::string& V) {
    RV_ASSERT_MAIN_THREAD();
    NgInfo.LocalMember.UnitId = WithoutTilde(V);
}

std::string T_NetGroup::GetFullId() const {
    RV_ASSERT_MAIN_THREAD();
    return FGroupId + "~" + ClassId() + "~" + UnitId();
}

std::string T_NetGroup::GroupSearchId() const {
    RV_ASSERT_MAIN_THREAD();
    return FGroupId + "~*";
}

void T_NetGroup::ExtractIdFields(const std::string& FullId, std::string& GroupId, std::string& ClassId,
                                 std::string& UnitId) {
    GroupId.clear();
    ClassId.clear();
    UnitId.clear();
    std::string rest = FullId;
    for (std::string* out : {&GroupId, &ClassId, &UnitId}) {
        const size_t tilde = rest.find('~');
        if (tilde == std::string::npos) {
            *out = rest;
            rest.clear();
        } else {
            *out = rest.substr(0, tilde);
            rest.erase(0, tilde + 1);
        }
    }
}

bool T_NetGroup::IdentityClash() const {
    RV_ASSERT_MAIN_THREAD();
    for (int i = 0; i < MemberList.Count(); ++i) {
        const T_NetGroupMember* m = MemberList.Item(i);
        if (m && SameTextAscii(m->ClassId, ClassId()) && SameTextAscii(m->UnitId, UnitId())) return true;
    }
    return false;
}

void T_NetGroup::ProcessError(const std::string& Msg) {
    RV_ASSERT_MAIN_THREAD();
    if (FOnNetGroupJoinFailed) FOnNetGroupJoinFailed(this, C_JoinFailedPrefix + FGroupId + " failed: " + Msg);
}

// --- Configuration -----------------------------------------------------------------------------------------------

void T_NetGroup::Configure(const T_NetGroupCfg& Cfg) {
    RV_ASSERT_MAIN_THREAD();
    const std::string group = WithoutTilde(Cfg.GroupId);
    const std::string cls = WithoutTilde(Cfg.ClassId);
    const std::string unit = WithoutTilde(Cfg.UnitId);
    // Checked before anything changes: a rejected configuration leaves the copy as it was.
    if (BroadcastSize(group + "~*", group + "~" + cls + "~" + unit) > static_cast<int64_t>(C_MaxBroadcastSize))
        throw ERV_Error(C_BroadcastTooLargeText);

    // 1. Ports and time-out. A new answer port opens the answer server there (or on a fall-back port).
    T_InfoServicesRec& own = NgInfo.LocalMember.sT.isR;
    if (UdpLink && Cfg.sT.InfoReplyPort != FConfiguredInfoReplyPort)
        own.InfoReplyPort = Cfg.sT.InfoReplyPort != 0 ? UdpLink->OpenAnswerServer(Cfg.sT.InfoReplyPort) : 0;
    FConfiguredInfoReplyPort = Cfg.sT.InfoReplyPort;
    own.TcpIpServices = Cfg.sT.TcpIpServices;
    own.OtherServices = Cfg.sT.OtherServices;
    FNgTimeOut = std::max<uint32_t>(static_cast<uint32_t>(Cfg.sT.MsgTimeOut) * 1000u, 1000u);
    // The service port is open to the world: a connection that delivers no message within the group's time-out
    // (at most 30 s) is closed, and one address holds a few at most.
    AcceptIdleTimeOutMs = std::min<uint32_t>(FNgTimeOut, 30000u);
    MaxConnectionsPerAddress = 8;

    // 2. A new identity: the members hear that the old one leaves.
    const bool changed = FParticipatingInGroup && (group != FGroupId || cls != ClassId() || unit != UnitId());
    if (changed) {
        NotifyMembers(ngmtLeaving);
        FJoinInProgress = false;
        MemberList.Clear();
        DoLeave();
    }

    // 3, 4. Identity and the way of joining.
    SetGroupId(group);
    SetClassId(cls);
    SetUnitId(unit);
    JoinUsingMemberName.clear();
    JoinUsingMemberIp = 0;
    if (Cfg.sT.NetGroupSearchMethod == ngsMemberHostName)
        JoinUsingMemberName = Cfg.HostName;
    else if (Cfg.sT.NetGroupSearchMethod == ngsMemberIp)
        JoinUsingMemberIp = Cfg.sT.HostIP;

    // 5.
    if (!FParticipatingInGroup) {
        ConfigureUdpLink();
    } else if (changed) {
        FreeServiceTimer(DetailsChangedTimer);
        DetailsChangedCount = 0;
        if (TRV_MultiTimer* t = MultiTimer.load())
            DetailsChangedTimer = t->CreateMSTimer(C_DetailsChangedPeriodMs, [this] { E_CheckNotifyChange(); });
    } else {
        ConfigureUdpLink();
        NotifyMembers(ngmtChangedInfo);
    }
}

void T_NetGroup::ConfigureUdpLink() {
    if (!UdpLink) return;
    UdpLink->BroadcastR.SetParameterStr(GetFullId());
    const uint32_t services = NgInfo.LocalMember.sT.isR.TcpIpServices;
    UdpLink->Configure(InfoReplyPort(), GroupSearchId(), LoWord(services), HiWord(services));
}

void T_NetGroup::E_CheckNotifyChange() {
    ++DetailsChangedCount;
    if (DetailsChangedCount < C_DetailsChangedTicks && NotifySendList.Count() > 0) return;
    FreeServiceTimer(DetailsChangedTimer);
    // A timer call-back must not raise: a failure to join goes to the owner as a join failure.
    try {
        ConfigureUdpLink();
        FParticipatingInGroup = false;
        JoinGroup();
    } catch (const std::exception& e) {
        ProcessError(e.what());
    }
}

// --- Joining and leaving -------------------------------------------------------------------------------------------

void T_NetGroup::JoinGroup() {
    RV_ASSERT_MAIN_THREAD();
    if (FGroupId.empty() || UnitId().empty() || FParticipatingInGroup) return;
    FParticipatingInGroup = true;
    FJoinInProgress = true;
    MemberList.Clear();
    UdpLink->BroadcastR.SetParameterStr(GetFullId());
    ++FJoinGeneration;
    if (!JoinUsingMemberName.empty()) {
        std::weak_ptr<T_NetGroup*> target = FLookUpTarget;
        const uint64_t generation = FJoinGeneration;
        const bool started = WS_AsyncLookUpName(
            JoinUsingMemberName, [target, generation](int32_t ErrorCode, const std::string& IpText) {
                std::shared_ptr<T_NetGroup*> t = target.lock();
                // The group is gone, or has left or joined again since: the answer is for nobody.
                if (!t || !*t || (*t)->FJoinGeneration != generation || !(*t)->FParticipatingInGroup) return;
                (*t)->E_JoinNameLookup(ErrorCode, IpText);
            });
        if (!started) ProcessError("Unable to resolve host name " + JoinUsingMemberName);
    } else if (JoinUsingMemberIp != 0) {
        JoinGroupByIP();
    } else {
        try {
            UdpLink->StartBroadcasting(C_NetGroupBroadcastPeriodMs, 0);
        } catch (...) {
            FParticipatingInGroup = false;
            FJoinInProgress = false;
            throw;
        }
    }
}

void T_NetGroup::E_JoinNameLookup(int32_t ErrorCode, const std::string& IpText) {
    if (ErrorCode == 0) {
        T_NumericIpAddress ip = 0;
        if (WS_StrToIp(IpText, ip) && ip != 0) { // 0.0.0.0 names no member
            JoinUsingMemberIp = ip;
            JoinGroupByIP();
            return;
        }
    }
    ProcessError("Member host name " + JoinUsingMemberName + " does not exist");
}

void T_NetGroup::JoinGroupByIP() {
    UdpLink->NewSessionId();
    // The target takes requests at the configured answer port, as this copy would; answers come back to the port
    // this copy announces (the one its server got).
    NotifyMember(JoinUsingMemberIp, FConfiguredInfoReplyPort, ngmtJoinRequest);
    FreeServiceTimer(RetryJoinTimer);
    if (TRV_MultiTimer* t = MultiTimer.load())
        RetryJoinTimer = t->CreateMSTimer(FNgTimeOut + 1000, [this] { E_RetryTcpIpJoin(); });
}

void T_NetGroup::E_RetryTcpIpJoin() {
    if (!FParticipatingInGroup || JoinUsingMemberIp == 0) return;
    NotifyMember(JoinUsingMemberIp, FConfiguredInfoReplyPort, ngmtJoinRequest);
}

void T_NetGroup::LeaveGroup(uint32_t MaxWaitMs) {
    RV_ASSERT_MAIN_THREAD();
    if (!FParticipatingInGroup) return;
    FParticipatingInGroup = false;
    FreeServiceTimer(RetryJoinTimer);
    // A re-join still waiting for an identity change's notices would otherwise join again after this.
    FreeServiceTimer(DetailsChangedTimer);
    UdpLink->StopBroadcasting();
    DoLeave();

    NotifySendList.Clear();
    NotifyMembers(ngmtLeaving);
    FJoinInProgress = false;
    MemberList.Clear();

    TLeavingNetGroupNotice& ui = LeavingNetGroupNotice();
    if (ui.HourGlass) ui.HourGlass(true);
    bool shown = false;
    TRV_StopWatch watch(true);
    for (;;) {
        // Wakes early for a message (a delivery's report, a socket event); never spins.
        WaitForMessages(C_LeaveSliceMs);
        if (!ProcessApplicationMessages(C_LeavePumpMessages, pmoNone)) break;
        if (NotifySendList.Count() == 0) break;
        const uint32_t elapsed = watch.ElapsedTimeMS();
        if (!shown && elapsed > C_LeavingNoticeAfterMs) {
            shown = true;
            if (ui.Display) ui.Display();
        }
        if (elapsed > MaxWaitMs) break;
    }
    if (ui.HourGlass) ui.HourGlass(false);
    if (shown && ui.Close) ui.Close();
}

// --- Group messages ----------------------------------------------------------------------------------------------

int64_t T_NetGroup::InfoStreamOverhead(const std::string& UniqueId, const std::string& Parameter) {
    // After the 2-byte check value: the 17-byte record, both texts and the payload's size field.
    return (4 + 17) + (4 + static_cast<int64_t>(UniqueId.size()) + 1) +
           (4 + static_cast<int64_t>(Parameter.size()) + 1) + 4;
}

int T_NetGroup::FitMembers(const T_NetGroupMemberList& Source, T_NetGroupInfoR& Message, int64_t FixedBytes) {
    RV_ASSERT_MAIN_THREAD();
    Message.Members.Clear();
    TMemoryStream bytes;
    Message.SaveToStream(bytes);
    int64_t used = FixedBytes + bytes.Size();
    int skipped = 0;
    for (int i = 0; i < Source.Count(); ++i) {
        T_NetGroupMember* m = Source.Item(i);
        if (!m) continue;
        // A member on its own carries a check value and header that it does not carry in the list, but the list
        // adds a size field: counting the lone size plus 4 never undercounts.
        TMemoryStream one;
        m->SaveToStream(one);
        const int64_t cost = one.Size() + 4;
        if (used + cost > C_MaxInfoStreamBody) {
            ++skipped;
            continue;
        }
        auto copy = MakeSmartStream<T_NetGroupMember>();
        copy->Assign(m);
        Message.Members.Add(std::move(copy));
        used += cost;
    }
    return skipped;
}

void T_NetGroup::NotifyMember(T_NumericIpAddress Ip, uint16_t Port, T_NetGroupMessageType MessageType) {
    RV_ASSERT_MAIN_THREAD();
    TRV_Constructed<T_UpdInfoStream> msg;
    msg.sT.TransmissionType = ttInfoReply;
    msg.sT.isR = UdpLink->InfoProvider->ReplyInfoR.sT.isR;
    msg.SetUniqueIdStr(GetFullId());
    NgInfo.sT.MessageType = MessageType;
    if (MessageType == ngmtJoinReply)
        FitMembers(MemberList, NgInfo, InfoStreamOverhead(msg.UniqueIdStr(), msg.ParameterStr()));
    else
        NgInfo.Members.Clear();
    NgInfo.SaveToStream(msg.AppDataStream);
    NgInfo.Members.Clear();
    // A newer message of the same type to an address replaces one still waiting for it: it says the same, newer.
    NotifySendList.Send(Ip, Port, FNgTimeOut, msg, MessageType,
                        [this, MessageType](T_ConSendData* Worker, bool Successful) {
                            E_NotifyComplete(Worker, Successful, MessageType);
                        });
}

void T_NetGroup::NotifyMembers(T_NetGroupMessageType MessageType) {
    RV_ASSERT_MAIN_THREAD();
    for (int i = MemberList.Count() - 1; i >= 0; --i) {
        const T_NetGroupMember* m = MemberList.Item(i);
        if (m) NotifyMember(MemberAddress(*m), m->sT.isR.InfoReplyPort, MessageType);
    }
}

void T_NetGroup::E_NotifyComplete(T_ConSendData* Worker, bool Successful, T_NetGroupMessageType MessageType) {
    if (FDestroying) return;
    const T_NumericIpAddress ip = Worker->HostAddr();
    const int i = MemberList.IndexOfIp(ip);
    if (Successful) {
        FreeServiceTimer(RetryJoinTimer);
        if (i >= 0) MemberList.Item(i)->HaveSentToMember = true;
        return;
    }
    // A member that this copy's join request cannot reach and that was never reached nor heard from over TCP (known
    // from another member's list, or from a search whose source may be made up) is not kept as a member.
    if (MessageType != ngmtJoinRequest || ip == JoinUsingMemberIp || !FParticipatingInGroup) return;
    if (i >= 0 && !MemberList.Item(i)->Reachable()) RemoveMemberByIndex(i);
}

void T_NetGroup::HeardFrom(T_NetGroupMember& M) {
    M.HaveReceivedFromMember = true;
    // Over TCP the address is proven; a datagram's source may be made up.
    M.HaveReceivedByTcp = M.HaveReceivedByTcp || UdpLink->ReceivingByTcp();
    M.LastCommTime = TickCount32();
}

void T_NetGroup::RemoveMemberByIndex(int Index) {
    RV_ASSERT_MAIN_THREAD();
    std::unique_ptr<TRV_SmartStream> m = MemberList.NoDestroyDelete(Index);
    DoMemberLeft(static_cast<T_NetGroupMember*>(m.get()));
}

// --- Answering searches ----------------------------------------------------------------------------------------------

void T_NetGroup::E_AboutToSendInfoReply(T_UpdInfoProvider* Sender, T_NumericIpAddress FromIp, uint16_t /*Port*/,
                                        T_UpdInfoStream& Request, bool& Reply) {
    const int index = MemberList.IndexOfIp(FromIp);
    T_NetGroupMember* known = index >= 0 ? MemberList.Item(index) : nullptr;
    if (!FParticipatingInGroup || FDestroying)
        Reply = false;
    else if (!known)
        Reply = true;
    else if (known->sT.isR.SessionId != Request.sT.isR.SessionId)
        Reply = true; // the member started a new search
    else
        Reply = known->BroadcastRxCount > C_MaxUnansweredBroadcasts;
    if (!Reply) {
        if (known) ++known->BroadcastRxCount;
        return;
    }

    NgInfo.sT.MessageType = ngmtJoinReply;
    const int64_t overhead = InfoStreamOverhead(Sender->ReplyInfoR.UniqueIdStr(), Sender->ReplyInfoR.ParameterStr());
    FitMembers(MemberList, NgInfo, overhead);
    std::string group, cls, unit;
    ExtractIdFields(Request.ParameterStr(), group, cls, unit);
    if (!known) {
        TRV_Constructed<T_NetGroupInfoR> payload;
        Request.AppDataStream.SetPosition(0);
        payload.ReadFromStream(Request.AppDataStream); // an empty payload reads as a join reply (type 0)
        if (payload.sT.MessageType != ngmtLeaving) {
            auto m = MakeSmartStream<T_NetGroupMember>();
            m->sT.MemberIpAddress = MemberIpOf(FromIp);
            m->sT.isR = Request.sT.isR;
            HeardFrom(*m);
            m->ClassId = cls;
            m->UnitId = unit;
            T_NetGroupMember* added = m.get();
            MemberList.Add(std::move(m));
            DoMemberJoined(added);
        }
    } else {
        known->BroadcastRxCount = 0;
        // The answer does not list the sender to itself.
        const int inMessage = NgInfo.Members.IndexOfIp(FromIp);
        if (inMessage >= 0) NgInfo.Members.Delete(inMessage);
        known->sT.isR = Request.sT.isR;
        known->ClassId = cls;
        known->UnitId = unit;
        HeardFrom(*known);
        DoMemberLeft(known);
        // The handler may have changed the list: raise the join only for a member that is still there.
        if (MemberList.IndexOf(known) >= 0) DoMemberJoined(known);
    }
    NgInfo.LocalMember.sT.isR.SessionId = UdpLink->SessionId();
    Sender->SetAppData(NgInfo);
    NgInfo.Members.Clear();
}

void T_NetGroup::E_OnInfoSendComplete(T_UpdInfoProvider* /*Sender*/, T_NumericIpAddress Ip, bool Successful) {
    if (FDestroying) return;
    const int index = MemberList.IndexOfIp(Ip);
    if (index < 0) return;
    T_NetGroupMember* m = MemberList.Item(index);
    if (Successful) {
        m->HaveSentToMember = true;
        m->NotifyTries = 0;
        m->LastCommTime = TickCount32();
        return;
    }
    ++m->NotifyTries;
    // Never reached and never heard from over TCP: the member may not exist at all (a search from a made-up
    // address), so the first answer that fails removes it.
    if (!m->Reachable()) {
        RemoveMemberByIndex(index);
        return;
    }
    if (m->NotifyTries <= C_MaxNotifyTries) return;
    const bool recent = TickCount32() - m->LastCommTime <= C_ConfirmedMemberGraceMs;
    if (!(m->ConfirmedMember() && recent)) RemoveMemberByIndex(index);
}

// --- Receiving group messages ---------------------------------------------------------------------------------

void T_NetGroup::E_OnMemberInfoReceived(T_UpdReqInfoBroadcaster* /*Sender*/, T_NumericIpAddress FromIp,
                                        uint16_t /*TcpPort1*/, uint16_t /*TcpPort2*/, TStream& AppData, bool& Stop) {
    Stop = false;
    // This copy's own messages, whichever of its addresses they come from, and messages after it left.
    if (FDestroying || !FParticipatingInGroup || WS_IsLocalAddress(FromIp)) return;
    try {
        // An empty payload would read as a join reply from a member without a name: not a group message.
        if (AppData.Size() == 0) return;
        AppData.SetPosition(0);
        if (!ReceivedNetGroupInfoR.ReadFromStream(AppData)) return; // damaged: not a group message
        T_NetGroupInfoR& msg = ReceivedNetGroupInfoR;
        msg.LocalMember.sT.MemberIpAddress = MemberIpOf(FromIp); // as the connection saw it
        const T_NetGroupMessageType type = msg.sT.MessageType;
        if (type == ngmtLeaving) {
            const int index = MemberList.IndexOfIp(FromIp);
            if (index >= 0) RemoveMemberByIndex(index);
            return;
        }
        Stop = true;
        AcceptMember(msg.LocalMember, true, type);
        if (type == ngmtJoinRequest && FParticipatingInGroup)
            NotifyMember(FromIp, msg.LocalMember.sT.isR.InfoReplyPort, ngmtJoinReply);
        // Handlers may have reused the scratch record meanwhile; the list is walked while it still has entries.
        for (int i = msg.Members.Count() - 1; i >= 0 && FParticipatingInGroup; --i) {
            if (i >= msg.Members.Count()) continue;
            if (const T_NetGroupMember* m = msg.Members.Item(i)) AcceptMember(*m, false, type);
        }
    } catch (const std::exception&) {
        // A malformed message or a failing handler: the message is dropped, the group goes on.
    }
}

void T_NetGroup::AcceptMember(const T_NetGroupMember& M, bool Direct, T_NetGroupMessageType MessageType) {
    const T_NumericIpAddress ip = MemberAddress(M);
    if (ip == 0 || WS_IsLocalAddress(ip)) return;
    const int index = MemberList.IndexOfIp(ip);
    if (index < 0) {
        auto m = MakeSmartStream<T_NetGroupMember>();
        m->Assign(const_cast<T_NetGroupMember*>(&M));
        if (Direct) HeardFrom(*m);
        const uint16_t port = m->sT.isR.InfoReplyPort;
        T_NetGroupMember* added = m.get();
        MemberList.Add(std::move(m));
        DoMemberJoined(added);
        // A member known only from another member's list may never have heard of this copy (it joined through
        // that other member): this copy introduces itself, and the member answers with its own list.
        if (!Direct && FParticipatingInGroup) NotifyMember(ip, port, ngmtJoinRequest);
        return;
    }
    if (!Direct) return;
    T_NetGroupMember* m = MemberList.Item(index);
    m->Assign(const_cast<T_NetGroupMember*>(&M));
    HeardFrom(*m);
    if (MessageType == ngmtChangedInfo) DoMemberInfoChanged(m);
}

// --- Events ------------------------------------------------------------------------------------------------------

void T_NetGroup::DoMemberJoined(T_NetGroupMember* Member) {
    if (JoinUsingMemberIp != 0 && MemberAddress(*Member) == JoinUsingMemberIp) FreeServiceTimer(RetryJoinTimer);
    if (FJoinInProgress) {
        FJoinInProgress = false;
        DoJoin();
    }
    if (OnMemberJoin) OnMemberJoin(this, Member);
}

void T_NetGroup::DoMemberLeft(T_NetGroupMember* Member) {
    if (OnMemberLeave) OnMemberLeave(this, Member);
}

void T_NetGroup::DoMemberInfoChanged(T_NetGroupMember* Member) {
    if (OnMemberInfoChanged) OnMemberInfoChanged(this, Member);
}

void T_NetGroup::DoJoin() {
    if (OnJoin) OnJoin(this);
}

void T_NetGroup::DoLeave() {
    if (OnLeave) OnLeave(this);
}

} // namespace rv
