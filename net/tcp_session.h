#pragma once
// TWS_TcpIpSession: one TCP connection carrying packets.
//
// Packet framing (net/packet_framing.h decodes and encodes it), little-endian, no padding: the byte 0x02 (STX),
// a 32-bit size word whose bits 0-30 give the payload length and whose bit 31 asks for an acknowledgement, then
// the payload. An acknowledgement is the header alone with the flag set and length 0: 02 00 00 00 80. The
// receiver returns it once the packet has been handed to its handler; the acknowledgements due in one read event go
// out together at its end, or before a packet the session sends meanwhile. Payloads are at most C_MaxPacketSize
// bytes; a header announcing more closes the session.
// An orderly close by the peer is reported only after the packets it sent before it have been handed over, so
// a session whose reception is paused stays connected until ResetRx.
//
// Sending never blocks: what the platform does not take at once waits in the send buffer and goes out on the
// next write event, with a 50 ms timer as the fall-back. A later packet waits for those bytes to go first; an
// acknowledgement due meanwhile is queued behind them.
//
// Threads. Socket events, timer call-backs and every handler run on the main thread. A worker thread may create
// a session, call OpenConnection with AreThreaded, SessionSend / SessionSendSmartStream, and free the session;
// everything else, and the whole receive side, belongs to the main thread. The send side (the send buffer and the
// bytes waiting for the call-back sender) is guarded by FSendLock, so the main thread's acknowledgements and
// call-back sends never interleave with a worker's packet.

#include "foundation/streams.h"
#include "net/multi_timer.h"
#include "net/packet_framing.h"
#include "net/socket_notifier.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace rv {

class TRV_SmartStream;
class TWS_TcpIpSession;

constexpr uint32_t C_MinRecBufferSize = 4096;
// One read takes a header and a payload of up to this size together; a larger payload is read into its buffer
// directly. Kept small on purpose: a receiver that drains the socket faster than a sender fills it sleeps and is
// woken for every few packets, which costs a stream of small packets more than the reads it saves.
constexpr uint32_t C_RxAheadSize = 512;
constexpr uint32_t C_DefaultAsyncConnectRetryMs = 8000;
constexpr uint32_t C_CallBackSendPeriodMs = 50;
// The events a session asks for: a client read, write, connect and close; an accepted session the same without
// connect. Write events send what waits for the call-back sender as soon as the platform can take it.
constexpr uint32_t C_ClientSessionEvents = C_FD_READ | C_FD_WRITE | C_FD_CONNECT | C_FD_CLOSE;
constexpr uint32_t C_AcceptedSessionEvents = C_FD_READ | C_FD_WRITE | C_FD_CLOSE;

enum T_PacketMode : uint8_t { pmNone = 0, pmLine = 1, pmPacket = 2 };
enum T_SessionState : uint8_t { ssIdle = 0, ssConnecting = 1, ssConnected = 2, ssTimedOut = 3, ssDisconnected = 4 };
using TWS_OnConnect = std::function<void(TWS_TcpIpSession* Sender)>;
// Setting AndFree makes the session free itself once the handler (and the event that raised it) returned.
using TWS_OnDisConnect = std::function<void(TWS_TcpIpSession* Sender, bool& AndFree)>;
// The payload is valid during the call only. True: the packet is taken and reception goes on; false: it stays
// in the buffer and reception pauses until ResetRx.
using TWS_OnData = std::function<bool(TWS_TcpIpSession* Sender, const uint8_t* DataPtr, uint32_t DataLen)>;
// The stream lies over the receive buffer (no copy) and is valid during the call only. Result as TWS_OnData.
using TWS_OnDataAsStream = std::function<bool(TWS_TcpIpSession* Sender, TStream& Stream)>;
using TWS_OnPacketAck = std::function<void(TWS_TcpIpSession* Sender)>;
// A connection wait's cancel test: true stops the wait.
using T_ConnectCancelled = std::function<bool()>;

class TWS_TcpIpSession : public TWS_SocketObj {
public:
    // Client side: creates its socket. Any thread, once the library was started on the main thread.
    TWS_TcpIpSession(bool SocketNoTcpIpDelay, bool SocketKeepAlive);
    // Adopts an accepted socket and applies the options to it (keep-alive first). Main thread.
    TWS_TcpIpSession(TSocket Socket, bool SocketNoTcpIpDelay, bool SocketKeepAlive);
    // Frees the timers, closes the socket, frees the buffers. Any thread, but never inside the session's own
    // event or handler (set AndFree instead). Waits for a timer call-back of this session that is running on the
    // main thread.
    ~TWS_TcpIpSession() override;

    // WS_CreateSocket into FSocket, then keep-alive and no-delay as configured. Any thread.
    bool CreateSocket();
    // Set the option to all bits on; false with LastWSError. Any thread.
    bool SocketSetOptionKeepAlive();
    bool SocketSetOptionNoTcpDelay();

    // Connects to the host, asking for read, write, connect and close events. False at once when the connect cannot
    // start (state back to ssIdle). TimeOutMS < 1: true at once, the outcome comes as events. Otherwise waits
    // for ssConnected: AreThreaded sleeps 1 ms a pass (worker threads); the main thread's form keeps its
    // messages flowing. False when the attempt failed, ConnectionCancelled returns true, the application
    // terminates or more than TimeOutMS passed. Any thread with AreThreaded, else the main thread.
    bool OpenConnection(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t TimeOutMS, bool AreThreaded,
                        const T_ConnectCancelled& ConnectionCancelled = {});
    // Starts a connection without waiting and keeps trying, one attempt per ReTryTimeMS on a fresh socket, until
    // one succeeds. Main thread.
    void AsyncOpenConnection(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t ReTryTimeMS);

    // Sends one packet: the first block followed by the second (SecDataLen may be 0). What the platform does not
    // take at once goes to the call-back sender; bytes already waiting there go out first (the call waits for
    // them, keeping the main thread's messages flowing). False when not connected, when the payload exceeds
    // C_MaxPacketSize (10040) or the send failed (LastWSError). Main thread or a worker.
    bool SessionSend(const void* DataPtr, uint32_t DataLen, const void* SecDataPtr = nullptr, uint32_t SecDataLen = 0);
    // Sends the whole serialised element stream as one packet. Main thread or a worker.
    bool SessionSendSmartStream(TRV_SmartStream& Stream);
    // Sends 02 00 00 00 80 (behind any bytes already waiting to go). False with LastWSError. Main thread.
    bool SendPacketAck();

    // Takes the packet in the buffer (or none) as done and resumes reception, reading again when a read event
    // was set aside meanwhile or bytes already read wait. Main thread.
    void ResetRx();
    // False pauses reception; true resumes it (see ResetRx). Main thread.
    void RxDataEnabled(bool Enabled);
    // Receive buffer (allocated once, MinRecBufferSize bytes) and receiver state for a fresh connection. Main
    // thread.
    void InitConnection();

    // Main thread, under WS_SessionCS. Every event restarts the idle period; read receives, connect completes
    // the attempt, close disconnects, write sends the bytes waiting for the call-back sender.
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;
    // Hands the complete packet to OnData, else to OnDataAsStream. A handler that raises counts as having taken
    // the packet (the error ends here and the connection goes on). Main thread.
    virtual void DoOnPacketReceived();
    // Calls OnPacketAck. Main thread.
    virtual void DoOnPacketAck();
    // The connection is up: idle timer, state, receiver, OnConnect. Main thread.
    virtual void DoConnected();
    // The connection is gone (DisconnectError: the platform's code, 0 orderly): OnDisConnect for a session that
    // was connected, then a new attempt (FKeepConnection) or the deferred free (AndFree). Main thread.
    virtual void DoDisConnected(int32_t DisconnectError);

    // Any thread.
    T_SessionState Status() const { return FStatus.load(); }
    // The receiver's state and the length of the packet being received. Main thread.
    T_SessionRecState RecState() const { return FDecoder.State(); }
    T_PacketMode PacketMode() const { return FPacketMode; }
    uint32_t RecPacketSize() const { return FDecoder.PayloadLength(); }
    // The present size of the receive buffer (0 before the first connection). Main thread.
    uint32_t GetRecBufferSize() const { return FDecoder.BufferSize(); }
    // Main thread (written when the session disconnects).
    int32_t DisconnectError() const { return FDisconnectError; }
    // Whoever connects writes these; read them on that thread or once the connection is up.
    T_NumericIpAddress RemoteAddr() const { return FRemoteAddr; }
    uint16_t RemotePort() const { return FRemotePort; }
    // Any thread; applies to the packets sent after the call.
    bool ReqPacketAck() const { return FReqPacketAck.load(); }
    void SetReqPacketAck(bool v) { FReqPacketAck = v; }
    // Main thread: the disconnect event reads them.
    bool KeepConnection() const { return FKeepConnection; }
    void SetKeepConnection(bool v) { FKeepConnection = v; }
    uint32_t AsynConnectRetryPeriod() const { return FAsyncConnectRetry; }
    // Bytes waiting for the call-back sender. Any thread.
    uint32_t WaitingToSend();

    // Options applied to every socket the session creates or adopts; set them before the socket is made.
    bool FSocketNoTcpIpDelay = false;
    bool FSocketKeepAlive = false;
    // 0: no idle disconnect. Otherwise a connection without any socket event for this long is closed. Set before
    // the connection comes up.
    uint32_t IdlePeriodDisconnectMs = 0;
    // 0: none. Otherwise a connection that has not delivered a complete packet this long after it came up is
    // closed as timed out; acknowledgements count as nothing. Set before the connection comes up.
    uint32_t FirstPacketTimeOutMs = 0;
    // Size of the receive buffer made by InitConnection (it grows with the packets); set before the connection
    // comes up.
    uint32_t MinRecBufferSize = C_MinRecBufferSize;

    TWS_OnConnect OnConnect;
    TWS_OnDisConnect OnDisConnect;
    TWS_OnData OnData;
    TWS_OnDataAsStream OnDataAsStream;
    TWS_OnPacketAck OnPacketAck;

protected:
    friend class TWS_ServerSession;

    // Nothing reaches the session any more: it leaves the notifier, and its timer call-backs and deferred free
    // are cut off (waiting for one that is running). A derived destructor that may run on a worker thread calls
    // this first, before its own members go. Any thread; idempotent.
    void DetachSession();

    // Receive side: main thread only.
    // Headers, acknowledgements, the size limit and the receive buffer with the packet being gathered.
    TWS_PacketDecoder FDecoder;
    bool ReplyWithAck = false; // the packet being received asked for an acknowledgement
    bool MoreRxData = false;   // a read event was set aside while a packet waited to be taken
    // What one read took past the header or payload being received waits here, so a small packet costs one read.
    std::vector<uint8_t> FRxAhead;            // the largest read-ahead so far
    uint32_t FRxAheadRoom = C_RxAheadSize;    // what the next read into it asks for
    uint32_t RxAheadPos = 0;  // the next byte not yet taken
    uint32_t RxAheadLen = 0;  // the bytes read
    bool FInRxPass = false;   // ProcessSessionRx is running: it takes the read-ahead bytes itself
    bool FCloseHeld = false;  // the peer closed in order while bytes it sent were still to be handed over
    int32_t FDisconnectError = 0;

    T_PacketMode FPacketMode = pmPacket;
    char FEolChar = '\n'; // line mode only, which is not built
    std::atomic<T_SessionState> FStatus{ssIdle};
    std::atomic<bool> FReqPacketAck{false};
    uint32_t FAsyncConnectRetry = C_DefaultAsyncConnectRetryMs;
    bool FKeepConnection = false;
    // The peer: for an accepted session its address and the server's port. Written by whoever connects.
    T_NumericIpAddress FRemoteAddr = 0;
    uint16_t FRemotePort = 0;

    // Main thread (a worker's session never makes these).
    T_TimerID ConnectionTimeOutTimer = C_NullTimerID;
    T_TimerID IdlePeriodTimer = C_NullTimerID;
    T_TimerID FirstPacketTimer = C_NullTimerID; // runs until the first complete packet

private:
    // Keeps timer call-backs and deferred calls from reaching a freed session: they hold the record, lock it and
    // find Session cleared once the destructor has begun. The destructor waits for a call-back that is running.
    struct TLife {
        std::recursive_mutex Lock;
        TWS_TcpIpSession* Session = nullptr; // guarded by Lock
    };

    void AfterConstruction();
    void ApplySocketOptions();
    void ProcessSessionRx();
    // Asks the notifier for another read event, behind the messages already queued.
    void PostReadAgain();
    // Feeds read-ahead bytes to the decoder up to the end of a header or payload. False when the session closed.
    bool TakeRxAhead();
    bool RxAheadPending() const { return RxAheadPos < RxAheadLen; }
    // Forgets the bytes read ahead and a held close: they belong to a connection that is gone.
    void DropRxAhead() {
        RxAheadPos = RxAheadLen = 0;
        FCloseHeld = false;
    }
    void E_AsyncConnectionRetry();
    void E_IdlePeriodDisconnect();
    void E_FirstPacketTimeOut();
    // Sends what waits for the call-back sender; frees its timer once nothing is left.
    void E_CallBackSend();
    void CallBackSendLocked(); // caller holds FSendLock
    // A write event: a worker waiting in SessionSend sends the waiting bytes itself, else they go from here.
    void E_SocketWritable();
    // Waits until nothing waits for the call-back sender; false when the session left ssConnected meanwhile.
    bool WaitForCallBackSend();
    // Caller holds FSendLock. Moves the waiting bytes to the front and makes room for Needed bytes from there.
    void AllocateBuffer(uint32_t Needed);
    // Sends until all of Data went or the platform would block; the bytes sent, or -1 (LastWSError).
    static int64_t SendSome(TSocket S, const uint8_t* Data, uint32_t Len);
    // Caller holds FSendLock: sends Data now, or queues it (behind what already waits) for the call-back sender.
    // False with LastWSError on a failure other than would-block.
    bool SendOrQueue(const uint8_t* Data, uint32_t Len);
    // Sends the acknowledgements held back by a receive pass. The second: caller holds FSendLock.
    void SendHeldAcks();
    void SendHeldAcksLocked();
    void QueueForCallBackSend(const uint8_t* Data, uint32_t Len);
    void SetCallBackSend();
    void DropWaitingData();
    // Frees the session once the present event has returned (a deferred call).
    void FreeLater();
    // A timer call-back that reaches this session only while it lives.
    T_TimerCallBackEvent Guarded(void (TWS_TcpIpSession::*Method)());

    std::shared_ptr<TLife> FLife;
    int32_t FFreeLaterHandle = 0; // the deferred free's registration, main thread

    // The send side.
    std::mutex FSendLock;
    std::condition_variable FSendDrained; // nothing waits for the call-back sender any more
    std::vector<uint8_t> SendBuffer; // guarded by FSendLock; its size is the capacity (SendBufferSize)
    uint32_t SendHead = 0;           // guarded by FSendLock: where the waiting bytes start in SendBuffer
    uint32_t CallBackSendSize = 0;   // guarded by FSendLock: bytes waiting to go, from SendHead on
    int FSendWaiters = 0;            // guarded by FSendLock: worker threads waiting in SessionSend
    bool FSendWritable = false;      // guarded by FSendLock: a write event came for the waiting worker
    uint32_t FAcksHeld = 0;          // guarded by FSendLock: acknowledgements due, held until the pass ends
    T_TimerID CallBackSendTimer = C_NullTimerID; // guarded by FSendLock
};

} // namespace rv
