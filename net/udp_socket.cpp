#include "net/udp_socket.h"

#include "foundation/thread_contract.h"

#include <string>

namespace rv {

TWS_TudpSocket::TWS_TudpSocket(uint16_t Port) : FPort(Port) {
    RV_ASSERT_MAIN_THREAD();
    FBroadcastAddr.sin_family = C_AF_INET;
    FBroadcastAddr.sin_addr = 0xffffffffu;
    FBroadcastAddr.sin_port = WS_HostToNetPort(Port);
    TSocket s = C_InvalidSocket;
    if (WS_CreateUdpSocket(s)) {
        FSocket = s;
        FRecBufferPtr = std::make_unique<uint8_t[]>(C_RecBufferSize);
        SetSocketEvents(C_FD_READ);
        FSocketBound = WS_AddressBind(s, 0, FPort);
    }
}

TWS_TudpSocket::~TWS_TudpSocket() {
    // Off the notifier before the buffer goes, so no event can reach a half-destroyed socket.
    LeaveNotifier();
    ShutDownSocket();
    FRecBufferPtr.reset();
}

void TWS_TudpSocket::CheckSocketInitialized() const {
    if (!SocketIsOpen(FSocket.load())) throw EWS_SocketError("TWS_TudpSocket: socket failed to be created");
    if (!FSocketBound)
        throw EWS_SocketError("TWS_TudpSocket: socket on port " + std::to_string(FPort) +
                              " failed to bind, probably already in use");
}

void TWS_TudpSocket::SetBroadcastAddr(const TWS_SockAddrIn& Addr) {
    std::lock_guard<std::mutex> lock(FBroadcastLock);
    FBroadcastAddr = Addr;
}

bool TWS_TudpSocket::BroadcastOptionEnabled() const {
    std::lock_guard<std::mutex> lock(FBroadcastLock);
    return FBroadcastOptionEnabled;
}

bool TWS_TudpSocket::SendBroadcastDatagram(const void* DataPtr, uint32_t DataLen) {
    CheckSocketInitialized();
    const TSocket s = FSocket.load();
    TWS_SockAddrIn to;
    {
        // Two threads broadcasting at once set the permission once; the send itself needs no lock.
        std::lock_guard<std::mutex> lock(FBroadcastLock);
        if (!FBroadcastOptionEnabled) {
            if (!WS_SetSocketOption(s, TWS_SocketOption::Broadcast, 0xffffffffu)) return false;
            FBroadcastOptionEnabled = true;
        }
        to = FBroadcastAddr;
    }
    int32_t error = 0;
    int n = WS_SendTo(s, DataPtr, static_cast<int>(DataLen), to, &error);
    if (n < 0) {
        LastWSError = error; // would-block included: the datagram was not sent
        return false;
    }
    return static_cast<uint32_t>(n) == DataLen;
}

bool TWS_TudpSocket::SendDatagramReply(const void* DataPtr, uint32_t DataLen) {
    RV_ASSERT_MAIN_THREAD();
    CheckSocketInitialized();
    int32_t error = 0;
    if (WS_SendTo(FSocket.load(), DataPtr, static_cast<int>(DataLen), FDatagramReceivedFromAddr, &error) < 0) {
        LastWSError = error;
        return false;
    }
    return true;
}

void TWS_TudpSocket::ProcessEvent(uint16_t EventId, uint16_t /*ErrorCode*/) {
    RV_ASSERT_MAIN_THREAD();
    if (EventId == C_FD_READ) ProcessRx();
}

void TWS_TudpSocket::ProcessRx() {
    if (!FRecBufferPtr) return;
    TWS_SockAddrIn from;
    // One datagram per notification; the platform notifies again while more are queued. Errors, a datagram
    // longer than the buffer and an empty one deliver nothing.
    int n = WS_RecvFrom(FSocket.load(), FRecBufferPtr.get(), static_cast<int>(C_RecBufferSize), from);
    if (n <= 0) return;
    FDatagramReceivedFromAddr = from;
    FRecPacketSize = static_cast<uint32_t>(n);
    // This host's own datagrams (its broadcasts come back to it) are dropped, whichever adapter sent them.
    if (WS_IsLocalAddress(from.sin_addr)) return;
    DoOnDatagramReceived(from.sin_addr, FRecBufferPtr.get(), FRecPacketSize);
}

void TWS_TudpSocket::DoOnDatagramReceived(T_NumericIpAddress FromIP, const uint8_t* DataPtr, uint32_t DataLen) {
    if (OnDatagram) OnDatagram(this, FromIP, DataPtr, DataLen);
}

} // namespace rv
