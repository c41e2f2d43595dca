#pragma once
// T_NetGroup: this copy's membership of one net group.
//
// It finds the other members by LAN broadcast or by asking one known member directly, keeps MemberList up to date
// from the group messages (T_NetGroupInfoR carried as the payload of an info stream, always by TCP to a member's
// answer port), tells the members when this copy's details change or when it leaves, and raises an event for
// every change. It owns one T_BroadcasterAndInfoProvider for the discovery exchange and sends group messages through
// a connect-and-send list (bounded deliveries with a queue).
//
// Identity: GroupId, ClassId and UnitId, each without "~". The full identifier is GroupId~ClassId~UnitId; the
// search identifier GroupId~* matches every full identifier of the group (ASCII case-insensitive).
//
// MemberList never holds this copy: messages from any of this host's own addresses are ignored, and so is an entry
// of a received list that names one of them.
//
// Threads: every operation is for the main thread (checked in debug builds), except the static ExtractIdFields,
// which any thread may call. Socket events, look-up completions, the synchronised timers and the deliveries' reports
// all arrive there; only the broadcast tick of UdpLink runs on the timer thread.

#include "group/discovery.h"
#include "group/net_group_records.h"
#include "net/server_session.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace rv {

class T_NetGroup;

using T_OnNetGroupEvent = std::function<void(T_NetGroup* Sender)>;
using T_OnNetGroupMemberEvent = std::function<void(T_NetGroup* Sender, T_NetGroupMember* Member)>;
using T_OnNetGroupJoinFailed = std::function<void(T_NetGroup* Sender, const std::string& ErrorText)>;

inline const std::string C_JoinFailedPrefix = "Joining Net Group ";
inline constexpr uint32_t C_DefaultLeaveWaitMs = 8000;
// The fast phase of the group's search broadcasts, and the normal period after it.
inline constexpr uint32_t C_NetGroupInitBroadcastPeriodMs = 250;
inline constexpr uint32_t C_NetGroupInitBroadcastDurationMs = 8000;
inline constexpr uint32_t C_NetGroupBroadcastPeriodMs = 500;
// A known member that keeps searching with one session number is answered once its unanswered broadcasts pass this.
inline constexpr uint16_t C_MaxUnansweredBroadcasts = 10;
// Consecutive undelivered answers after which a member is dropped, unless confirmed and heard from recently.
inline constexpr uint16_t C_MaxNotifyTries = 3;
inline constexpr uint32_t C_ConfirmedMemberGraceMs = 60000;
// The re-join wait after an identity change: ticks of this period, at most C_DetailsChangedTicks of them.
inline constexpr uint32_t C_DetailsChangedPeriodMs = 250;
inline constexpr int C_DetailsChangedTicks = 21;
// LeaveGroup: the slice of its wait, the pump's share, and when the leaving notice appears.
inline constexpr uint32_t C_LeaveSliceMs = 20;
inline constexpr int C_LeavePumpMessages = 100;
inline constexpr uint32_t C_LeavingNoticeAfterMs = 300;
// An info stream's check value covers at most this many bytes: a group message must fit in them.
inline constexpr int64_t C_MaxInfoStreamBody = 65535;

// The window layer's part in LeaveGroup (main thread). Display shows the "Leaving Net Group" notice once leaving
// has taken more than C_LeavingNoticeAfterMs, Close takes it away at the end (only when it was displayed), and
// HourGlass(true/false) brackets the wait. Empty functions show nothing (headless programs, tests).
struct TLeavingNetGroupNotice {
    std::function<void()> Display;
    std::function<void()> Close;
    std::function<void(bool)> HourGlass;
};
TLeavingNetGroupNotice& LeavingNetGroupNotice();

class T_NetGroup : public TWS_ServerSession {
public:
    // Applies Cfg, then creates UdpLink on Cfg.UdpPort with its answer server on Cfg.InfoReplyPort (or a fall-back
    // port, which is then announced everywhere). Does not join: call JoinGroup.
    T_NetGroup(const T_NetGroupCfg& Cfg, T_OnNetGroupJoinFailed OnNetGroupJoinFailed = {});
    // Frees the timers, cancels a pending look-up, drops the deliveries under way, then UdpLink and
    // the lists. Not inside one of the group's events.
    ~T_NetGroup() override;

    // Applies a configuration at any time. A new identity while participating sends leave notices, clears the list
    // and joins again under the new identity once the notices are out (at most about 5 s). A new answer port opens
    // the answer server there. Raises C_BroadcastTooLargeText, changing nothing, when the new identity would not
    // fit a broadcast.
    void Configure(const T_NetGroupCfg& Cfg);
    // Starts participating: by host name, by address or by broadcast, as configured. Nothing when GroupId or
    // UnitId is empty or the copy participates already. Raises C_BroadcastTooLargeText.
    void JoinGroup();
    // Stops participating: leave notices to every member, then waits (keeping the messages flowing, at most
    // MaxWaitMs) until they are delivered. Not inside a socket event or a delivery's report.
    void LeaveGroup(uint32_t MaxWaitMs = C_DefaultLeaveWaitMs);
    // Some member has this copy's ClassId and UnitId (ASCII case-insensitive).
    bool IdentityClash() const;

    std::string GetFullId() const;
    std::string GroupSearchId() const;
    // Splits at the first two "~"; a part without a "~" after it takes the whole rest. Any thread.
    static void ExtractIdFields(const std::string& FullId, std::string& GroupId, std::string& ClassId,
                                std::string& UnitId);
    // "Joining Net Group <group> failed: <Msg>" to OnNetGroupJoinFailed.
    void ProcessError(const std::string& Msg);

    // Sends a group message to Ip:Port; a join reply lists MemberList (trimmed to fit, see FitMembers).
    void NotifyMember(T_NumericIpAddress Ip, uint16_t Port, T_NetGroupMessageType MessageType);
    // Sends a message without a list to every member, last to first, at its answer port.
    void NotifyMembers(T_NetGroupMessageType MessageType);
    // The member spoke to this copy directly, just now (by TCP while UdpLink receives by TCP).
    void HeardFrom(T_NetGroupMember& M);
    // Takes the member out of the list, raises DoMemberLeft with it, then frees it.
    void RemoveMemberByIndex(int Index);

    virtual void DoMemberInfoChanged(T_NetGroupMember* Member);
    virtual void DoMemberJoined(T_NetGroupMember* Member);
    virtual void DoMemberLeft(T_NetGroupMember* Member);
    virtual void DoJoin();
    virtual void DoLeave();

    bool ParticipatingInGroup() const { return FParticipatingInGroup; }
    bool JoinInProgress() const { return FJoinInProgress; }
    const std::string& GroupId() const { return FGroupId; }
    const std::string& ClassId() const { return NgInfo.LocalMember.ClassId; }
    const std::string& UnitId() const { return NgInfo.LocalMember.UnitId; }
    void SetGroupId(const std::string& V);
    void SetClassId(const std::string& V);
    void SetUnitId(const std::string& V);
    // The answer port that is announced: the one the answer server listens on (0: none, answers by datagram).
    uint16_t InfoReplyPort() const { return NgInfo.LocalMember.sT.isR.InfoReplyPort; }
    // The answer port asked for in the configuration; a direct join asks the target at this port.
    uint16_t ConfiguredInfoReplyPort() const { return FConfiguredInfoReplyPort; }
    const T_NetGroupMemberList& Members() const { return MemberList; }
    const T_ConSendList& NotifyWorkers() const { return NotifySendList; }
    bool RetryingJoin() const { return RetryJoinTimer != C_NullTimerID; }

    T_OnNetGroupEvent OnJoin;
    T_OnNetGroupEvent OnLeave;
    T_OnNetGroupMemberEvent OnMemberInfoChanged;
    T_OnNetGroupMemberEvent OnMemberJoin;
    T_OnNetGroupMemberEvent OnMemberLeave;

    // Owned: discovery and answers.
    std::unique_ptr<T_BroadcasterAndInfoProvider> UdpLink;

protected:
    // Members of Source that fit a group message beside the rest of Message (whose Members is filled here), in
    // Source's order, skipping any that would overflow the info stream's 65,535 bytes. Returns how many were left
    // out.
    int FitMembers(const T_NetGroupMemberList& Source, T_NetGroupInfoR& Message, int64_t FixedBytes);

private:
    void ConfigureUdpLink();
    void JoinGroupByIP();
    void E_JoinNameLookup(int32_t ErrorCode, const std::string& IpText);
    void E_RetryTcpIpJoin();
    void E_CheckNotifyChange();
    void E_NotifyComplete(T_ConSendData* Worker, bool Successful, T_NetGroupMessageType MessageType);
    void E_AboutToSendInfoReply(T_UpdInfoProvider* Sender, T_NumericIpAddress FromIp, uint16_t Port,
                                T_UpdInfoStream& Request, bool& Reply);
    void E_OnInfoSendComplete(T_UpdInfoProvider* Sender, T_NumericIpAddress Ip, bool Successful);
    void E_OnMemberInfoReceived(T_UpdReqInfoBroadcaster* Sender, T_NumericIpAddress FromIp, uint16_t TcpPort1,
                                uint16_t TcpPort2, TStream& AppData, bool& Stop);
    void AcceptMember(const T_NetGroupMember& M, bool Direct, T_NetGroupMessageType MessageType);
    // Bytes of an info stream around a payload: everything but the payload itself.
    static int64_t InfoStreamOverhead(const std::string& UniqueId, const std::string& Parameter);

    bool FParticipatingInGroup = false;
    bool FJoinInProgress = false;
    bool FDestroying = false; // set first in the destructor: late reports and events do nothing
    uint64_t FJoinGeneration = 0; // every JoinGroup; a look-up answers only the join that started it
    uint32_t FNgTimeOut = 6000;
    T_TimerID RetryJoinTimer = C_NullTimerID;
    T_TimerID DetailsChangedTimer = C_NullTimerID;
    int DetailsChangedCount = 0;
    std::string FGroupId;
    uint16_t FConfiguredInfoReplyPort = 0;
    std::string JoinUsingMemberName;
    T_NumericIpAddress JoinUsingMemberIp = 0;
    // Cleared in the destructor: a look-up completing later finds it and does nothing.
    std::shared_ptr<T_NetGroup*> FLookUpTarget;
    T_OnNetGroupJoinFailed FOnNetGroupJoinFailed;

    T_ConSendList NotifySendList;
    TRV_Constructed<T_NetGroupInfoR> NgInfo; // LocalMember is this copy's own record
    TRV_Constructed<T_NetGroupMemberList> MemberList;
    TRV_Constructed<T_NetGroupInfoR> ReceivedNetGroupInfoR;
};

} // namespace rv
