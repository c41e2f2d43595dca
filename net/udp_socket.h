#pragma once
// The datagram socket: one UDP socket bound to one port on all interfaces. It receives datagrams through the
// notifier (main thread), broadcasts to the same port on the local network, and replies to the sender of the
// last datagram received. Datagrams sent from any of this host's own addresses are dropped.
//
// Threads: the receiving side and the reply belong to the main thread. Broadcasting may also come from the timer
// thread (the discovery tick): the port, the handle and the bind result do not change after construction, and
// FBroadcastLock guards what a broadcast reads or sets.

#include "net/socket_notifier.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace rv {

class TWS_TudpSocket;

// (Sender, FromIP in network order, the datagram, its length). The data is valid during the call only.
using TWS_OnDatagram =
    std::function<void(TWS_TudpSocket* Sender, T_NumericIpAddress FromIP, const uint8_t* DataPtr, uint32_t DataLen)>;

class TWS_TudpSocket : public TWS_SocketObj {
public:
    // The largest datagram received; a longer one is dropped whole.
    static constexpr uint32_t C_RecBufferSize = 512;

    // Creates the socket, asks for read events and binds it to all interfaces on Port. A failed creation or bind
    // raises nothing here: the first send reports it. Main thread.
    explicit TWS_TudpSocket(uint16_t Port);
    // Any thread.
    ~TWS_TudpSocket() override;

    // Raises EWS_SocketError when the socket is not usable (CheckSocketInitialized). The first broadcast sets the
    // broadcast permission (false with LastWSError when refused). True only when all DataLen bytes were sent;
    // otherwise the error is in LastWSError. Any thread (the discovery tick calls it on the timer thread).
    bool SendBroadcastDatagram(const void* DataPtr, uint32_t DataLen);
    // Sends to the address and port of the last datagram's sender; false with LastWSError. Main thread.
    bool SendDatagramReply(const void* DataPtr, uint32_t DataLen);
    // Raises "TWS_TudpSocket: socket failed to be created" or "TWS_TudpSocket: socket on port <port> failed to
    // bind, probably already in use". Any thread.
    void CheckSocketInitialized() const;

    // Event 1 (read) reads one datagram; other events are ignored. Main thread.
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;
    // Calls OnDatagram when assigned. Main thread.
    virtual void DoOnDatagramReceived(T_NumericIpAddress FromIP, const uint8_t* DataPtr, uint32_t DataLen);

    // Where broadcasts go: {AF_INET, the port, 255.255.255.255} unless changed (tests aim them at one address on
    // loopback). Any thread.
    void SetBroadcastAddr(const TWS_SockAddrIn& Addr);
    // Whether the broadcast permission has been set on the socket. Any thread.
    bool BroadcastOptionEnabled() const;

    // Host order. Any thread.
    uint16_t Port() const { return FPort; }
    // Whether the bind at construction succeeded. Any thread.
    bool SocketBound() const { return FSocketBound; }
    // The last datagram received: its sender and length. Main thread.
    T_NumericIpAddress DatagramReceivedFromIP() const { return FDatagramReceivedFromAddr.sin_addr; }
    uint32_t RxBytes() const { return FRecPacketSize; }

    // Main thread.
    TWS_OnDatagram OnDatagram;

private:
    void ProcessRx();

    // Set by the constructor, then constant.
    const uint16_t FPort; // host order
    bool FSocketBound = false;
    // Main thread.
    std::unique_ptr<uint8_t[]> FRecBufferPtr;
    uint32_t FRecPacketSize = 0;
    TWS_SockAddrIn FDatagramReceivedFromAddr; // the last datagram's sender
    // Guards FBroadcastOptionEnabled and FBroadcastAddr.
    mutable std::mutex FBroadcastLock;
    bool FBroadcastOptionEnabled = false;
    TWS_SockAddrIn FBroadcastAddr; // {AF_INET, port, 255.255.255.255}
};

} // namespace rv
