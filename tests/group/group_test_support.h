#pragma once
// Helpers for the discovery and net group tests: requests and answers built byte for byte, a TCP sink that takes
// (and acknowledges) every packet, a datagram peer on another loopback address, and a sender that speaks from a
// chosen loopback address, so one test process can play several hosts.

#include "group/info_stream.h"
#include "group/net_group_records.h"
#include "net/server_session.h"
#include "net/socket_notifier.h"
#include "tests/net/net_test_support.h"

#include <cstdint>
#include <string>
#include <vector>

namespace group_testing {

rv::T_NumericIpAddress Lo(uint8_t Last); // 127.0.0.<Last>

// A serialised info stream.
std::string Info(rv::T_InfoTransmissionType Type, const std::string& UniqueId, const std::string& Parameter,
                 const rv::T_InfoServicesRec& Services, rv::TRV_SmartStream* Payload = nullptr);
// A serialised group message from a member with this identity and answer port (its address is what the connection
// shows); Members lists (address, unit) pairs, each with answer port ListedPort.
std::string GroupMessage(rv::T_NetGroupMessageType Type, const std::string& ClassId, const std::string& UnitId,
                         uint16_t InfoReplyPort, uint16_t ServicePort = 0,
                         const std::vector<std::pair<rv::T_NumericIpAddress, std::string>>& Members = {},
                         uint16_t ListedPort = 0);
// The group message of an info stream whose bytes are given (false when either does not read).
bool ReadGroupMessage(const std::string& InfoBytes, rv::T_UpdInfoStream& Info, rv::T_NetGroupInfoR& Message);

// A server on a free port of every interface whose sessions take and acknowledge every packet.
class TInfoSink {
public:
    TInfoSink();
    uint16_t Port() const { return Server.ServerPort(); }
    struct TPacket {
        std::string Data;
        rv::T_NumericIpAddress From;
    };
    std::vector<TPacket> Packets;
    rv::TWS_ServerSession Server{true, false};
};

using net_testing::TRawUdp;

// A datagram socket of another host on 127.0.0.<Last>. Wine binds a datagram socket to every address whatever it
// is given, so there its datagrams leave from 127.0.0.1, which the sockets under test drop as their own: then
// 127.0.0.1 is taken off this host's address list for the object's life and stands for the other host. Ip is the
// address its datagrams really come from. One at a time.
class TUdpPeer {
public:
    explicit TUdpPeer(uint8_t Last);
    ~TUdpPeer();
    TRawUdp Socket;
    rv::T_NumericIpAddress Ip = 0;

private:
    bool FNarrowed = false;
};

// Sends Payload as one packet asking for an acknowledgement, from address From to 127.0.0.1:Port, and waits for
// the acknowledgement: when this returns true, the receiver's handler has run.
bool SendPacketFrom(rv::T_NumericIpAddress From, uint16_t Port, const std::string& Payload);

// A listening socket on every interface that lets connections wait in its backlog: nothing is ever read from them
// or acknowledged. Accept takes the connections that are waiting.
class THangingListener : public rv::TWS_SocketObj {
public:
    THangingListener(); // on a free port
    explicit THangingListener(uint16_t Port);
    ~THangingListener() override;
    uint16_t Port() const { return FPort; }
    // The connections accepted so far (main thread, pumping): open sockets nobody reads.
    std::vector<rv::TSocket> Accepted;
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;
    bool AcceptEvents = false; // accept connections when their events come

private:
    uint16_t FPort = 0;
};

} // namespace group_testing
