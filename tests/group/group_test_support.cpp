#include "tests/group/group_test_support.h"

#include "net/socket_primitives_internal.h"
#include "net/tcp_session.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace group_testing {

rv::T_NumericIpAddress Lo(uint8_t Last) { return rv::WS_IpAddress(127, 0, 0, Last); }

namespace {
// A record whose identifier is stored as given: a search request's "*" stays in it.
class TRawInfo : public rv::T_UpdInfoStream {
public:
    void SetRawId(const std::string& V) { FUniqueIdStr = V; }
};
} // namespace

std::string Info(rv::T_InfoTransmissionType Type, const std::string& UniqueId, const std::string& Parameter,
                 const rv::T_InfoServicesRec& Services, rv::TRV_SmartStream* Payload) {
    rv::TRV_Constructed<TRawInfo> r;
    r.sT.TransmissionType = Type;
    r.sT.isR = Services;
    r.SetRawId(UniqueId);
    r.SetParameterStr(Parameter);
    if (Payload) Payload->SaveToStream(r.AppDataStream);
    rv::TMemoryStream m;
    r.SaveToStream(m);
    return std::string(reinterpret_cast<const char*>(m.Memory()), static_cast<size_t>(m.Size()));
}

std::string GroupMessage(rv::T_NetGroupMessageType Type, const std::string& ClassId, const std::string& UnitId,
                         uint16_t InfoReplyPort, uint16_t ServicePort,
                         const std::vector<std::pair<rv::T_NumericIpAddress, std::string>>& Members,
                         uint16_t ListedPort) {
    rv::TRV_Constructed<rv::T_NetGroupInfoR> g;
    g.sT.MessageType = Type;
    g.LocalMember.ClassId = ClassId;
    g.LocalMember.UnitId = UnitId;
    g.LocalMember.sT.isR.InfoReplyPort = InfoReplyPort;
    g.LocalMember.sT.isR.TcpIpServices = rv::MakeServices(ServicePort, 0);
    for (const auto& [ip, unit] : Members) {
        auto m = rv::MakeSmartStream<rv::T_NetGroupMember>();
        m->sT.MemberIpAddress = rv::MemberIpOf(ip);
        m->sT.isR.InfoReplyPort = ListedPort;
        m->ClassId = ClassId;
        m->UnitId = unit;
        g.Members.Add(std::move(m));
    }
    rv::T_InfoServicesRec isR;
    isR.InfoReplyPort = InfoReplyPort;
    return Info(rv::ttInfoReply, "G~" + ClassId + "~" + UnitId, "", isR, &g);
}

bool ReadGroupMessage(const std::string& InfoBytes, rv::T_UpdInfoStream& Info, rv::T_NetGroupInfoR& Message) {
    rv::TRV_BlockMemoryStream in(InfoBytes.data(), static_cast<int64_t>(InfoBytes.size()));
    if (!Info.ReadFromStream(in)) return false;
    Info.AppDataStream.SetPosition(0);
    return Message.ReadFromStream(Info.AppDataStream);
}

TInfoSink::TInfoSink() {
    Server.OnClientConnect = [this](rv::TWS_ServerSession*, rv::TWS_TcpIpSession* S) {
        S->OnData = [this](rv::TWS_TcpIpSession* Session, const uint8_t* Data, uint32_t Len) {
            Packets.push_back({std::string(reinterpret_cast<const char*>(Data), Len), Session->RemoteAddr()});
            return true;
        };
    };
    if (!Server.StartServerSession(0)) throw std::runtime_error("the sink does not listen");
}

TUdpPeer::TUdpPeer(uint8_t Last) : Socket(Lo(Last)) {
    TRawUdp probe(Lo(1));
    if (!Socket.SendTo("probe", Lo(1), probe.Port()) ||
        !testing_support::PumpUntil([&] { return !probe.Received.empty(); }))
        throw std::runtime_error("the peer's datagrams do not arrive");
    Ip = probe.Received[0].From.sin_addr;
    if (rv::WS_IsLocalAddress(Ip)) {
        std::vector<rv::T_NumericIpAddress> others = rv::WS_LocalAddresses();
        std::erase(others, Ip);
        rv::detail::SetLocalAddresses(others);
        FNarrowed = true;
    }
}

TUdpPeer::~TUdpPeer() {
    if (FNarrowed) rv::WS_RefreshLocalAddresses();
}

bool SendPacketFrom(rv::T_NumericIpAddress From, uint16_t Port, const std::string& Payload) {
    rv::TWS_TcpIpSession s(true, false);
    bool acked = false;
    s.SetReqPacketAck(true);
    s.OnPacketAck = [&](rv::TWS_TcpIpSession*) { acked = true; };
    // Bound before the connect: the receiver sees the connection come from From.
    if (!rv::WS_AddressBind(s.FSocket.load(), From, 0)) return false;
    if (!s.OpenConnection(Lo(1), Port, 5000, false)) return false;
    if (!s.SessionSend(Payload.data(), static_cast<uint32_t>(Payload.size()))) return false;
    return testing_support::PumpUntil([&] { return acked; }, 5000);
}

THangingListener::THangingListener() : THangingListener(0) {}

THangingListener::THangingListener(uint16_t Port) {
    rv::TSocket s;
    if (!rv::WS_CreateSocket(s)) throw std::runtime_error("no socket");
    FSocket = s;
    if (!rv::WS_ProtocolBind(s, 0, Port) || !rv::WS_Listen(s, 16)) throw std::runtime_error("cannot listen");
    rv::TWS_SockAddrIn a;
    rv::WS_GetSockName(s, a);
    FPort = rv::WS_SockAddrPort(a);
    SetSocketEvents(rv::C_FD_ACCEPT);
}

THangingListener::~THangingListener() {
    LeaveNotifier();
    for (rv::TSocket& s : Accepted) rv::WS_CloseSocket(s);
}

void THangingListener::ProcessEvent(uint16_t EventId, uint16_t) {
    if (EventId != rv::C_FD_ACCEPT || !AcceptEvents) return;
    rv::TSocket s;
    rv::T_NumericIpAddress peer;
    if (rv::WS_Accept(FSocket.load(), s, peer)) {
        rv::WS_AsyncSelect(s, 0, 0, 0); // nobody reads it
        Accepted.push_back(s);
    }
}

} // namespace group_testing
