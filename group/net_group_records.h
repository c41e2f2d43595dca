#pragma once
// The records of the net group: its configuration (kept in the launcher's configuration record), one member, the
// list of members, and the group message that copies exchange as the payload of an info stream. All are element
// streams with the default options (CRC-32, header); nested members and list items carry neither.
//
// Threads: as every record, one object is used by one thread at a time.

#include "group/info_stream.h"
#include "net/socket_primitives.h"
#include "stream/smart_stream.h"
#include "stream/smart_stream_list.h"

#include <cstdint>
#include <string>

namespace rv {

enum T_NetGroupSearchMethod : uint8_t {
    ngsUdp = 0,            // LAN broadcast
    ngsMemberHostName = 1, // join the member named by HostName
    ngsMemberIp = 2,       // join the member at HostIP
};

// 23 bytes, little-endian.
struct T_NetGroupCfgSimpleRec {
    uint32_t HostIP_MS = 0;              // the high half of a 64-bit address; not read by the net group
    T_NumericIpAddress HostIP = 0;       // member to join directly (network byte order: first number first)
    uint16_t UdpPort = 0;                // discovery broadcasts
    uint16_t InfoReplyPort = 0;          // TCP port for info replies and group messages
    uint16_t MsgTimeOut = 0;             // time-out of a group message, seconds
    uint32_t TcpIpServices = 0;          // two TCP service ports, low word first
    uint32_t OtherServices = 0;          // two other service ports, low word first
    T_NetGroupSearchMethod NetGroupSearchMethod = ngsUdp;
    static constexpr uint32_t RecordSize = 23;
    template <class F>
    void Fields(F& f) {
        f(HostIP_MS);
        f(HostIP);
        f(UdpPort);
        f(InfoReplyPort);
        f(MsgTimeOut);
        f(TcpIpServices);
        f(OtherServices);
        f(NetGroupSearchMethod);
    }
};

// Defaults of a bare net group configuration (the launcher places its own over them).
inline constexpr uint16_t C_NetGroupDefaultUdpPort = 53783;
inline constexpr uint16_t C_NetGroupDefaultInfoReplyPort = 53784;
inline constexpr uint16_t C_NetGroupDefaultMsgTimeOut = 6;

class T_NetGroupCfg : public TRV_SmartStream {
public:
    T_NetGroupCfgSimpleRec sT;
    std::string GroupId;  // the group: first part of the identity
    std::string HostName; // member to join by name (ngsMemberHostName)
    std::string ClassId;  // the kind of program: second part
    std::string UnitId;   // the player's name: third part

protected:
    void AssignElements() override;
    void SetDefaultValues() override;
};

// 24 bytes: the member's address in a 64-bit field (high half 0), then its services.
struct T_NetGroupMemberSimpleRec {
    int64_t MemberIpAddress = 0; // low 32 bits: the address in network byte order
    T_InfoServicesRec isR;
    static constexpr uint32_t RecordSize = 24;
    template <class F>
    void Fields(F& f) {
        f(MemberIpAddress);
        f(isR);
    }
};

// The 64-bit member address field of Ip, and the reverse (0 when the high half is not 0).
inline int64_t MemberIpOf(T_NumericIpAddress Ip) { return static_cast<int64_t>(Ip); }
inline bool MemberIpIs(int64_t MemberIpAddress, T_NumericIpAddress Ip) {
    return static_cast<uint64_t>(MemberIpAddress) == static_cast<uint64_t>(Ip);
}

class T_NetGroupMember : public TRV_SmartStream {
public:
    T_NetGroupMemberSimpleRec sT;
    std::string ClassId;
    std::string UnitId;

    // Kept only in memory: never serialised, never copied by Assign.
    uint32_t LastCommTime = 0;         // tick (ms) of the last successful exchange with the member
    bool HaveSentToMember = false;     // an answer of ours reached the member
    bool HaveReceivedFromMember = false; // the member spoke to us directly
    bool HaveReceivedByTcp = false;    // the member delivered a message of its own over TCP
    uint16_t NotifyTries = 0;          // consecutive failed deliveries of our answers
    uint16_t BroadcastRxCount = 0;     // search broadcasts from the member not answered since the last answer

    // The member has been in direct contact, one way or the other.
    bool ConfirmedMember() const { return HaveSentToMember || HaveReceivedFromMember; }
    bool GetConfirmedMember() const { return ConfirmedMember(); }
    // The member is known to exist at its address: a TCP exchange with it has completed, one way or the other.
    // A search datagram proves nothing: its source address may be made up.
    bool Reachable() const { return HaveSentToMember || HaveReceivedByTcp; }

protected:
    void AssignElements() override;
};

class T_NetGroupMemberList : public TRV_SmartStreamListOf<T_NetGroupMember> {
public:
    // The member at Index (nullptr for an empty entry); out of range raises std::out_of_range.
    T_NetGroupMember* GetItem(int Index) const { return Item(Index); }
    // The highest index whose member's address field is exactly Ip (high half 0); -1 when none.
    int IndexOfIp(T_NumericIpAddress Ip) const;
};

enum T_NetGroupMessageType : uint8_t {
    ngmtJoinReply = 0,      // answer to a search or join request; Members lists the sender's other members
    ngmtJoinRequest = 1,    // the sender asks to be taken into the group
    ngmtLeaving = 2,        // the sender leaves the group
    ngmtChangedInfo = 3,    // the sender's details changed
    ngmtRefreshingList = 4, // defined; never sent
};

struct T_NetGroupInfoRSimpleRec {
    T_NetGroupMessageType MessageType = ngmtJoinReply;
    static constexpr uint32_t RecordSize = 1;
    template <class F>
    void Fields(F& f) {
        f(MessageType);
    }
};

// The group message: the sender's own member record and the members it knows.
class T_NetGroupInfoR : public TRV_SmartStream {
public:
    T_NetGroupInfoRSimpleRec sT;
    T_NetGroupMember LocalMember;
    T_NetGroupMemberList Members;

protected:
    void AssignElements() override;
};

// The service ports of a member as shown to the user: "T1,T2 : O1,O2", leaving out every port that is 0 and the
// " : " part when both other ports are 0, then without leading and trailing blanks. Examples: 2000; 2000,2001;
// ": 3000" (only O1); ",2001" (only T2); "" (none).
std::string ServicePortsText(uint32_t TcpIpServices, uint32_t OtherServices);

} // namespace rv
