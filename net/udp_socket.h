#pragma once
// The datagram socket: one UDP socket bound to one port on all interfaces. It receives datagrams through the
// notifier (main thread), broadcasts to the same port on the local network, and replies to the sender of the
// last datagram received. Datagrams sent from any of this host's own addresses are dropped.

#include "net/socket_notifier.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace rv {

class TWS_TudpSocket;

// (Sender, FromIP in network order, the datagram, its length). The data is valid during the call only.
using TWS_OnDatagram =
    std::function<void(TWS_TudpSocket* Sender, T_NumericIpAddress FromIP, const uint8_t* DataPtr, uint32_t DataLen)>;

class TWS_TudpSocket : public TWS_SocketObj {
public:
    // The largest datagram received; a longer one is dropped whole.
    static constexpr uint32_t C_RecBufferSize = 512;

    // Main thread. Creates the socket, asks for read events and binds it to all interfaces on Port. A failed
    // creation or bind raises nothing here: the first send reports it.
    explicit TWS_TudpSocket(uint16_t Port);
    // Any thread.
    ~TWS_TudpSocket() override;

    // Main thread. Raises EWS_SocketError when the socket is not usable (CheckSocketInitialized). The first
    // broadcast sets the broadcast permission (false with LastWSError when refused). True only when all
    // DataLen bytes were sent; otherwise the error is in LastWSError.
    bool SendBroadcastDatagram(const void* DataPtr, uint32_t DataLen);
    // Main thread. Sends to the address and port of the last datagram's sender; false with LastWSError.
    bool SendDatagramReply(const void* DataPtr, uint32_t DataLen);
    // Raises "TWS_TudpSocket: socket failed to be created" or "TWS_TudpSocket: socket on port <port> failed to
    // bind, probably already in use".
    void CheckSocketInitialized() const;

    // Event 1 (read) reads one datagram; other events are ignored.
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;
    // Calls OnDatagram when assigned.
    virtual void DoOnDatagramReceived(T_NumericIpAddress FromIP, const uint8_t* DataPtr, uint32_t DataLen);

    void SetPort(uint16_t v);
    uint16_t Port() const { return FPort; }
    T_NumericIpAddress DatagramReceivedFromIP() const { return FDatagramReceivedFromAddr.sin_addr; }
    const uint8_t* RxBufferPtr() const { return FRecBufferPtr.get(); }
    uint32_t RxBytes() const { return FRecPacketSize; }

    uint16_t FPort = 0; // host order
    bool SocketBound = false;
    const uint32_t RecBufferSize = C_RecBufferSize;
    std::unique_ptr<uint8_t[]> FRecBufferPtr;
    uint32_t FRecPacketSize = 0;
    bool BroadcastOptionEnabled = false;
    TWS_SockAddrIn BroadcastAddr;             // {AF_INET, port, 255.255.255.255}
    TWS_SockAddrIn FDatagramReceivedFromAddr; // the last datagram's sender
    TWS_OnDatagram OnDatagram;

private:
    void CommonCreate();
    void ProcessRx();
};

} // namespace rv
