#include "net/tcp_session.h"

#include "foundation/deferred_calls.h"
#include "foundation/message_pump.h"
#include "foundation/stop_watch.h"
#include "foundation/thread_contract.h"
#include "stream/smart_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace rv {

namespace {

// A read event reads on past a packet that was taken while it has read less than this, so one busy connection
// does not hold the main thread's other messages up for long.
constexpr uint32_t C_RxPassBytes = 256 * 1024;
// Nor does a stream of small packets, each of which costs its handler's work and an acknowledgement: a read event
// hands over at most this many and lets the other messages through before it goes on.
constexpr uint32_t C_RxPassPackets = 64;
// While reads keep filling the read-ahead (a flood of small packets), it doubles up to this size, so such a stream
// costs few reads; the first read that leaves room brings it back to C_RxAheadSize.
constexpr uint32_t C_RxAheadMax = 16 * 1024;
// A first block at least this large is not copied beside the header: the header goes out on its own and the
// blocks from where they lie.
constexpr uint32_t C_DirectSendMin = 256 * 1024;

TRV_MultiTimer* Timers() { return MultiTimer.load(); }

} // namespace

// --- Life -----------------------------------------------------------------------------------------------------

TWS_TcpIpSession::TWS_TcpIpSession(bool SocketNoTcpIpDelay, bool SocketKeepAlive)
    : FSocketNoTcpIpDelay(SocketNoTcpIpDelay), FSocketKeepAlive(SocketKeepAlive) {
    AfterConstruction();
    CreateSocket();
}

TWS_TcpIpSession::TWS_TcpIpSession(TSocket Socket, bool SocketNoTcpIpDelay, bool SocketKeepAlive)
    : FSocketNoTcpIpDelay(SocketNoTcpIpDelay), FSocketKeepAlive(SocketKeepAlive) {
    AfterConstruction();
    FSocket = Socket;
    ApplySocketOptions();
}

void TWS_TcpIpSession::AfterConstruction() {
    FLife = std::make_shared<TLife>();
    FLife->Session = this;
    FPacketMode = pmPacket;
    FEolChar = '\n';
    MinRecBufferSize = C_MinRecBufferSize;
}

TWS_TcpIpSession::~TWS_TcpIpSession() {
    DetachSession();
    if (FFreeLaterHandle) AsyncRemoveCallBackEvent(FFreeLaterHandle);
    FreeServiceTimer(ConnectionTimeOutTimer);
    FreeServiceTimer(IdlePeriodTimer);
    FreeServiceTimer(FirstPacketTimer);
    {
        std::lock_guard<std::mutex> lock(FSendLock);
        FreeServiceTimer(CallBackSendTimer);
    }
    ShutDownSocket();
}

void TWS_TcpIpSession::DetachSession() {
    // No event can reach the session once it left the notifier (that waits for a dispatch in progress), and no
    // timer call-back or deferred call once its life record is cleared (that waits for a call-back running).
    LeaveNotifier();
    std::lock_guard<std::recursive_mutex> lock(FLife->Lock);
    FLife->Session = nullptr;
}

T_TimerCallBackEvent TWS_TcpIpSession::Guarded(void (TWS_TcpIpSession::*Method)()) {
    return [life = FLife, Method] {
        std::lock_guard<std::recursive_mutex> lock(life->Lock);
        if (life->Session) (life->Session->*Method)();
    };
}

void TWS_TcpIpSession::FreeLater() {
    if (FFreeLaterHandle) return;
    FFreeLaterHandle = AsyncRegisterCallBackEvent([life = FLife](int32_t) {
        TWS_TcpIpSession* s;
        {
            std::lock_guard<std::recursive_mutex> lock(life->Lock);
            s = life->Session;
        }
        delete s; // its destructor removes this registration
    });
    AsyncPostNotification(FFreeLaterHandle, 0);
}

// --- Socket ---------------------------------------------------------------------------------------------------

bool TWS_TcpIpSession::CreateSocket() {
    TSocket s = C_InvalidSocket;
    if (!WS_CreateSocket(s)) return false;
    FSocket = s;
    ApplySocketOptions();
    return true;
}

void TWS_TcpIpSession::ApplySocketOptions() {
    // The results are not acted on: a socket without an option still works.
    if (FSocketKeepAlive) SocketSetOptionKeepAlive();
    if (FSocketNoTcpIpDelay) SocketSetOptionNoTcpDelay();
}

bool TWS_TcpIpSession::SocketSetOptionKeepAlive() {
    return WS_SetSocketOption(FSocket.load(), TWS_SocketOption::KeepAlive, 0xffffffffu);
}

bool TWS_TcpIpSession::SocketSetOptionNoTcpDelay() {
    return WS_SetSocketOption(FSocket.load(), TWS_SocketOption::NoTcpDelay, 0xffffffffu);
}

// --- Connecting -----------------------------------------------------------------------------------------------

bool TWS_TcpIpSession::OpenConnection(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t TimeOutMS,
                                      bool AreThreaded, const T_ConnectCancelled& ConnectionCancelled) {
    if (!AreThreaded) RV_ASSERT_MAIN_THREAD(); // its wait pumps the main thread's messages
    FRemoteAddr = HostAddr;
    FRemotePort = HostPort;
    SetSocketEvents(C_ClientSessionEvents);
    // Before the connect: its event may be handled on the main thread before the call below returns.
    FStatus = ssConnecting;
    if (!WS_ConnectToSocket(FSocket.load(), HostAddr, HostPort)) {
        FStatus = ssIdle;
        return false;
    }
    if (TimeOutMS < 1) return true;
    TRV_StopWatch watch(true);
    for (;;) {
        const T_SessionState status = FStatus.load();
        if (status == ssConnected) return true;
        // A failed attempt is reported by its connect event; waiting on would only reach the time-out.
        if (status != ssConnecting) return false;
        if (AreThreaded) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            if (!ProcessApplicationMessages(100, pmoNone)) return false;
            if (FStatus.load() == ssConnecting) WaitForMessages(1);
        }
        if (ConnectionCancelled && ConnectionCancelled()) return false;
        if (watch.ElapsedTimeMS() > TimeOutMS) return FStatus.load() == ssConnected;
    }
}

void TWS_TcpIpSession::AsyncOpenConnection(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t ReTryTimeMS) {
    RV_ASSERT_MAIN_THREAD();
    FAsyncConnectRetry = ReTryTimeMS;
    FreeServiceTimer(ConnectionTimeOutTimer);
    if (TRV_MultiTimer* t = Timers())
        ConnectionTimeOutTimer = t->CreateOneShotTimer(ReTryTimeMS, Guarded(&TWS_TcpIpSession::E_AsyncConnectionRetry));
    OpenConnection(HostAddr, HostPort, 0, false);
}

void TWS_TcpIpSession::E_AsyncConnectionRetry() {
    TRV_MultiTimer* t = Timers();
    if (ConnectionTimeOutTimer != C_NullTimerID && t && t->TimerRunning(ConnectionTimeOutTimer))
        return; // an attempt is under way and has its own retry pending
    FreeServiceTimer(ConnectionTimeOutTimer);
    ShutDownSocket();
    CreateSocket();
    AsyncOpenConnection(FRemoteAddr, FRemotePort, FAsyncConnectRetry);
}

// --- Connection events ----------------------------------------------------------------------------------------

void TWS_TcpIpSession::DoConnected() {
    RV_ASSERT_MAIN_THREAD();
    FreeServiceTimer(IdlePeriodTimer);
    if (IdlePeriodDisconnectMs > 0) {
        if (TRV_MultiTimer* t = Timers())
            IdlePeriodTimer =
                t->CreateOneShotTimer(IdlePeriodDisconnectMs, Guarded(&TWS_TcpIpSession::E_IdlePeriodDisconnect));
    }
    FreeServiceTimer(FirstPacketTimer);
    if (FirstPacketTimeOutMs > 0) {
        // Unlike the idle period, no event restarts it: a peer trickling bytes gains nothing.
        if (TRV_MultiTimer* t = Timers())
            FirstPacketTimer =
                t->CreateOneShotTimer(FirstPacketTimeOutMs, Guarded(&TWS_TcpIpSession::E_FirstPacketTimeOut));
    }
    FStatus = ssConnected;
    FreeServiceTimer(ConnectionTimeOutTimer);
    InitConnection();
    if (OnConnect) {
        try {
            OnConnect(this);
        } catch (...) {
            // The session goes on as if the handler had returned.
        }
    }
}

void TWS_TcpIpSession::DoDisConnected(int32_t DisconnectError) {
    RV_ASSERT_MAIN_THREAD();
    FreeServiceTimer(IdlePeriodTimer);
    FreeServiceTimer(FirstPacketTimer);
    // Bytes of a packet that did not go out belong to the connection that is gone; sent on a later connection
    // they would put the peer's receiver out of step.
    DropWaitingData();
    // Bytes read ahead belong to the connection that is gone as well.
    DropRxAhead();
    bool andFree = false;
    FDisconnectError = DisconnectError;
    const T_SessionState was = FStatus.load();
    if ((was == ssConnected || was == ssTimedOut) && OnDisConnect) {
        try {
            OnDisConnect(this, andFree);
        } catch (...) {
            // The session goes on as if the handler had returned.
        }
    }
    FStatus = ssDisconnected;
    if (FKeepConnection)
        E_AsyncConnectionRetry();
    else if (andFree)
        FreeLater();
}

void TWS_TcpIpSession::E_IdlePeriodDisconnect() {
    FreeServiceTimer(IdlePeriodTimer);
    ShutDownSocket();
    FStatus = ssTimedOut;
    DoDisConnected(0);
}

void TWS_TcpIpSession::E_FirstPacketTimeOut() {
    FreeServiceTimer(FirstPacketTimer);
    E_IdlePeriodDisconnect();
}

void TWS_TcpIpSession::ProcessEvent(uint16_t EventId, uint16_t ErrorCode) {
    RV_ASSERT_MAIN_THREAD();
    if (IdlePeriodTimer != C_NullTimerID) {
        if (TRV_MultiTimer* t = Timers()) t->ReStartPeriod(IdlePeriodTimer);
    }
    switch (EventId) {
    case C_FD_READ:
        ProcessSessionRx();
        SendHeldAcks();
        break;
    case C_FD_CONNECT:
        if (ErrorCode != 0)
            DoDisConnected(ErrorCode);
        else if (FStatus.load() == ssConnecting)
            DoConnected();
        break;
    case C_FD_CLOSE:
        // An orderly close while a paused packet, or packets already read, wait to be handed over: the receive
        // pass that hands them over reads to the end of the stream and disconnects then.
        if (ErrorCode == 0 && FStatus.load() == ssConnected &&
            (FDecoder.State() == srPacketAvailable || RxAheadPending())) {
            FCloseHeld = true;
            break;
        }
        DoDisConnected(ErrorCode);
        break;
    case C_FD_WRITE: E_SocketWritable(); break;
    default: break;
    }
}

// --- Receiving ------------------------------------------------------------------------------------------------

void TWS_TcpIpSession::InitConnection() {
    RV_ASSERT_MAIN_THREAD();
    FDecoder.Init(std::max<uint32_t>(MinRecBufferSize, C_PacketHeaderSize));
    MoreRxData = false;
    ReplyWithAck = false;
    DropRxAhead();
}

void TWS_TcpIpSession::ResetRx() {
    RV_ASSERT_MAIN_THREAD();
    FDecoder.NextPacket();
    RxDataEnabled(true);
}

void TWS_TcpIpSession::RxDataEnabled(bool Enabled) {
    RV_ASSERT_MAIN_THREAD();
    if (!Enabled) {
        FDecoder.Hold();
        return;
    }
    if (FInRxPass) {
        MoreRxData = false; // the pass reads on itself
        return;
    }
    if (MoreRxData || RxAheadPending() || FCloseHeld) {
        MoreRxData = false;
        // A read event was set aside while the packet waited, or bytes already read (or a close) wait behind it:
        // ask for a read again.
        PostReadAgain();
    }
}

void TWS_TcpIpSession::PostReadAgain() {
    if (T_WSAsyncSocketNotifier* owner = Owner())
        owner->PostMessage(C_WM_WSREAD_AGAIN, static_cast<uintptr_t>(FSocket.load()), WS_MakeSelectReply(C_FD_READ, 0));
}

bool TWS_TcpIpSession::TakeRxAhead() {
    T_PacketFeedResult result;
    RxAheadPos += FDecoder.Feed(FRxAhead.data() + RxAheadPos, RxAheadLen - RxAheadPos, result);
    switch (result) {
    case pfNone: return true;
    case pfPayloadStart:
        ReplyWithAck = FDecoder.AckRequested();
        return true;
    case pfAck:
        ReplyWithAck = false;
        ResetRx();
        DoOnPacketAck();
        return SocketIsOpen(FSocket.load());
    case pfOversize:
        // The decoder refuses the rest of the stream, and so does the session: it closes.
        ReplyWithAck = false;
        ShutDownSocket();
        InitConnection();
        DoDisConnected(C_WSAEMSGSIZE);
        return false;
    }
    return true;
}

void TWS_TcpIpSession::ProcessSessionRx() {
    if (FDecoder.State() == srPacketAvailable) {
        MoreRxData = true; // the packet in the buffer has not been taken yet
        return;
    }
    MoreRxData = false;
    if (!FDecoder.HasBuffer()) InitConnection();
    struct TPass {
        bool& Flag;
        bool Was;
        explicit TPass(bool& F) : Flag(F), Was(F) { Flag = true; }
        ~TPass() { Flag = Was; }
    } pass(FInRxPass);
    uint32_t taken = 0;   // bytes read in this pass
    uint32_t packets = 0; // packets handed over in this pass
    bool drained = false; // a read returned less than it asked for: the socket held no more
    for (;;) {
        const TSocket s = FSocket.load();
        if (!SocketIsOpen(s)) return;
        if (FDecoder.PacketComplete()) {
            // The payload is complete. The acknowledgement goes after the handler, whatever it returned.
            DoOnPacketReceived();
            if (ReplyWithAck) {
                ReplyWithAck = false;
                // Held until the pass ends (or this session sends a packet): one send for many.
                std::lock_guard<std::mutex> lock(FSendLock);
                ++FAcksHeld;
            }
            if (FDecoder.State() != srWaitStx) return; // paused until ResetRx
            if (++packets >= C_RxPassPackets && SocketIsOpen(FSocket.load())) {
                // Bytes left in the socket bring their own read event; bytes already read ask for one.
                if (RxAheadPending() || FCloseHeld) PostReadAgain();
                return;
            }
            continue;
        }
        // An acknowledgement's handler paused reception: what was read waits for ResetRx.
        if (FDecoder.State() == srPacketAvailable) return;
        if (RxAheadPending()) {
            if (!TakeRxAhead()) return;
            continue;
        }
        if (FCloseHeld) {
            // The peer is gone; what it sent is read to the end whatever the pass has taken.
        } else if (drained || taken >= C_RxPassBytes) {
            // Every read re-enabled the read event, so whatever came meanwhile or is left is reported again.
            return;
        }
        // A payload too large for the read-ahead is read where it belongs.
        // The room first: it grows the buffer when it is full.
        const bool direct = FDecoder.State() == srData && FDecoder.PayloadLeft() >= C_RxAheadSize;
        if (!direct && FRxAhead.size() < FRxAheadRoom) FRxAhead.resize(FRxAheadRoom);
        const uint32_t room = direct ? FDecoder.PayloadWanted() : FRxAheadRoom;
        uint8_t* into = direct ? FDecoder.PayloadSpace() : FRxAhead.data();
        const int n = WS_Recv(s, into, static_cast<int>(room));
        if (n <= 0) {
            // Would-block or an error: the state is kept for the next read event. 0: the peer closed, and the
            // close event that follows disconnects the session, unless it came already and waited for this.
            if (FCloseHeld) {
                FCloseHeld = false;
                DoDisConnected(0);
            }
            return;
        }
        const auto got = static_cast<uint32_t>(n);
        taken += got;
        drained = got < room;
        if (direct) {
            FDecoder.PayloadArrived(got);
        } else {
            RxAheadPos = 0;
            RxAheadLen = got;
            FRxAheadRoom = drained ? C_RxAheadSize : std::min(FRxAheadRoom * 2, C_RxAheadMax);
        }
    }
}

void TWS_TcpIpSession::DoOnPacketReceived() {
    RV_ASSERT_MAIN_THREAD();
    FreeServiceTimer(FirstPacketTimer);
    FDecoder.Hold();
    bool taken = false;
    try {
        if (OnData) {
            taken = OnData(this, FDecoder.Payload(), FDecoder.PayloadLength());
        } else if (OnDataAsStream) {
            TRV_BlockMemoryStream stream(FDecoder.Payload(), FDecoder.PayloadLength());
            taken = OnDataAsStream(this, stream);
        }
    } catch (...) {
        // A handler's error ends here and the connection goes on: the packet counts as taken.
        taken = true;
    }
    if (taken) ResetRx();
}

void TWS_TcpIpSession::DoOnPacketAck() {
    RV_ASSERT_MAIN_THREAD();
    if (OnPacketAck) OnPacketAck(this);
}

// --- Sending --------------------------------------------------------------------------------------------------

uint32_t TWS_TcpIpSession::WaitingToSend() {
    std::lock_guard<std::mutex> lock(FSendLock);
    return CallBackSendSize;
}

void TWS_TcpIpSession::AllocateBuffer(uint32_t Needed) {
    // Room for Needed bytes from the start of the waiting bytes: they move to the front first.
    if (SendHead > 0) {
        if (CallBackSendSize) std::memmove(SendBuffer.data(), SendBuffer.data() + SendHead, CallBackSendSize);
        SendHead = 0;
    }
    if (SendBuffer.size() >= Needed) return;
    // Grows keeping the bytes that wait; never shrinks.
    std::vector<uint8_t> grown(GrownSize(Needed));
    if (CallBackSendSize) std::memcpy(grown.data(), SendBuffer.data(), CallBackSendSize);
    SendBuffer.swap(grown);
}

bool TWS_TcpIpSession::WaitForCallBackSend() {
    const bool mainThread = IsMainThread();
    for (;;) {
        if (FStatus.load() != ssConnected) return false;
        if (WaitingToSend() == 0) return true;
        // One slice of the call-back period, ended early when the waiting bytes have gone.
        if (mainThread) {
            TRV_StopWatch watch(true);
            for (;;) {
                if (!ProcessApplicationMessages(1000, pmoNone)) return false;
                const uint32_t elapsed = watch.ElapsedTimeMS();
                if (WaitingToSend() == 0 || elapsed >= C_CallBackSendPeriodMs) break;
                WaitForMessages(std::min<uint32_t>(C_CallBackSendPeriodMs - elapsed, 5));
            }
        } else {
            // A worker sends the waiting bytes itself when the main thread sees the socket writable, so the
            // main thread only passes the event on.
            std::unique_lock<std::mutex> lock(FSendLock);
            ++FSendWaiters;
            FSendDrained.wait_for(lock, std::chrono::milliseconds(C_CallBackSendPeriodMs),
                                  [this] { return CallBackSendSize == 0 || FSendWritable; });
            --FSendWaiters;
            FSendWritable = false;
        }
        if (FStatus.load() != ssConnected) return false;
        E_CallBackSend();
    }
}

bool TWS_TcpIpSession::SessionSend(const void* DataPtr, uint32_t DataLen, const void* SecDataPtr,
                                   uint32_t SecDataLen) {
    if (FStatus.load() != ssConnected) return false;
    if (DataLen > C_MaxPacketSize || SecDataLen > C_MaxPacketSize - DataLen) {
        LastWSError = C_WSAEMSGSIZE; // the peer would close the connection on such a header
        return false;
    }
    if (!SecDataPtr) SecDataLen = 0;
    // Earlier data goes out first.
    if (!WaitForCallBackSend()) return false;

    std::lock_guard<std::mutex> lock(FSendLock);
    // Acknowledgements held back by the receive pass go before this packet, as they would have without holding.
    SendHeldAcksLocked();
    uint8_t head[C_PacketHeaderSize];
    EncodePacketHeader(DataLen + SecDataLen, FReqPacketAck.load(), head);
    if (CallBackSendSize > 0) {
        // An acknowledgement queued on the main thread since the wait: this packet goes behind it.
        QueueForCallBackSend(head, C_PacketHeaderSize);
        QueueForCallBackSend(static_cast<const uint8_t*>(DataPtr), DataLen);
        QueueForCallBackSend(static_cast<const uint8_t*>(SecDataPtr), SecDataLen);
        return true;
    }
    const TSocket s = FSocket.load();
    if (DataLen >= C_DirectSendMin) {
        // Only what the socket does not take now is copied, to wait for the call-back sender.
        const uint8_t* pieces[] = {head, static_cast<const uint8_t*>(DataPtr), static_cast<const uint8_t*>(SecDataPtr)};
        const uint32_t lens[] = {C_PacketHeaderSize, DataLen, SecDataLen};
        for (int i = 0; i < 3; ++i) {
            if (lens[i] == 0) continue;
            const int64_t n = SendSome(s, pieces[i], lens[i]);
            if (n < 0) return false; // LastWSError holds it
            if (static_cast<uint32_t>(n) < lens[i]) {
                QueueForCallBackSend(pieces[i] + n, lens[i] - static_cast<uint32_t>(n));
                for (int j = i + 1; j < 3; ++j) QueueForCallBackSend(pieces[j], lens[j]);
                return true;
            }
        }
        return true;
    }
    // Header and first block go out in one send; the second block is sent from where it lies.
    const uint32_t first = C_PacketHeaderSize + DataLen;
    AllocateBuffer(first + SecDataLen);
    std::memcpy(SendBuffer.data(), head, C_PacketHeaderSize);
    if (DataLen) std::memcpy(SendBuffer.data() + C_PacketHeaderSize, DataPtr, DataLen);
    int64_t n = SendSome(s, SendBuffer.data(), first);
    if (n < 0) return false; // LastWSError holds it
    auto sent = static_cast<uint32_t>(n);
    if (sent < first) {
        // The rest, then the second block, wait for the call-back sender.
        if (SecDataLen) std::memcpy(SendBuffer.data() + first, SecDataPtr, SecDataLen);
        SendHead = sent;
        CallBackSendSize = first - sent + SecDataLen;
        SetCallBackSend();
        return true;
    }
    if (SecDataLen > 0) {
        n = SendSome(s, static_cast<const uint8_t*>(SecDataPtr), SecDataLen);
        if (n < 0) return false;
        sent = static_cast<uint32_t>(n);
        if (sent < SecDataLen) {
            std::memcpy(SendBuffer.data(), static_cast<const uint8_t*>(SecDataPtr) + sent, SecDataLen - sent);
            SendHead = 0;
            CallBackSendSize = SecDataLen - sent;
            SetCallBackSend();
        }
    }
    return true;
}

int64_t TWS_TcpIpSession::SendSome(TSocket S, const uint8_t* Data, uint32_t Len) {
    // On until the platform would block: only a send that would block makes it report the next write event.
    uint32_t done = 0;
    while (done < Len) {
        int32_t error = 0;
        int n = WS_Send(S, Data + done, static_cast<int>(Len - done), &error);
        if (n < 0) return error == C_WSAEWOULDBLOCK ? done : -1;
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

bool TWS_TcpIpSession::SessionSendSmartStream(TRV_SmartStream& Stream) {
    TMemoryStream data;
    Stream.SaveToStream(data);
    return SessionSend(data.Memory(), static_cast<uint32_t>(data.Size()));
}

bool TWS_TcpIpSession::SendPacketAck() {
    RV_ASSERT_MAIN_THREAD();
    uint8_t ack[C_PacketHeaderSize];
    EncodePacketAck(ack);
    std::lock_guard<std::mutex> lock(FSendLock);
    return SendOrQueue(ack, C_PacketHeaderSize);
}

void TWS_TcpIpSession::SendHeldAcks() {
    std::lock_guard<std::mutex> lock(FSendLock);
    SendHeldAcksLocked();
}

void TWS_TcpIpSession::SendHeldAcksLocked() {
    if (FAcksHeld == 0) return;
    std::vector<uint8_t> acks(static_cast<size_t>(FAcksHeld) * C_PacketHeaderSize);
    for (size_t i = 0; i < acks.size(); i += C_PacketHeaderSize) EncodePacketAck(acks.data() + i);
    FAcksHeld = 0;
    // A socket that has gone takes nothing; the connection's end is reported by its own event.
    SendOrQueue(acks.data(), static_cast<uint32_t>(acks.size()));
}

bool TWS_TcpIpSession::SendOrQueue(const uint8_t* Data, uint32_t Len) {
    if (CallBackSendSize > 0) {
        // Sent now it would land inside the packet whose rest is waiting.
        QueueForCallBackSend(Data, Len);
        return true;
    }
    int64_t n = SendSome(FSocket.load(), Data, Len);
    if (n < 0) return false;
    if (static_cast<uint32_t>(n) < Len) QueueForCallBackSend(Data + n, Len - static_cast<uint32_t>(n));
    return true;
}

void TWS_TcpIpSession::QueueForCallBackSend(const uint8_t* Data, uint32_t Len) {
    if (Len == 0) return;
    if (SendHead + CallBackSendSize + Len > SendBuffer.size()) AllocateBuffer(CallBackSendSize + Len);
    std::memcpy(SendBuffer.data() + SendHead + CallBackSendSize, Data, Len);
    CallBackSendSize += Len;
    if (CallBackSendTimer == C_NullTimerID) SetCallBackSend();
}

void TWS_TcpIpSession::SetCallBackSend() {
    FreeServiceTimer(CallBackSendTimer);
    if (TRV_MultiTimer* t = Timers())
        CallBackSendTimer = t->CreateMSTimer(C_CallBackSendPeriodMs, Guarded(&TWS_TcpIpSession::E_CallBackSend));
}

void TWS_TcpIpSession::E_CallBackSend() {
    std::lock_guard<std::mutex> lock(FSendLock);
    CallBackSendLocked();
}

void TWS_TcpIpSession::CallBackSendLocked() {
    if (CallBackSendSize > 0) {
        // A failure keeps the data for the next tick (LastWSError holds it).
        int64_t n = SendSome(FSocket.load(), SendBuffer.data() + SendHead, CallBackSendSize);
        if (n > 0) {
            SendHead += static_cast<uint32_t>(n);
            CallBackSendSize -= static_cast<uint32_t>(n);
        }
    }
    if (CallBackSendSize == 0) {
        SendHead = 0;
        FreeServiceTimer(CallBackSendTimer);
        FSendDrained.notify_all();
    }
}

void TWS_TcpIpSession::E_SocketWritable() {
    std::lock_guard<std::mutex> lock(FSendLock);
    if (FSendWaiters > 0 && CallBackSendSize > 0) {
        // A worker waits to send these bytes: it does so on its own thread.
        FSendWritable = true;
        FSendDrained.notify_all();
        return;
    }
    CallBackSendLocked();
}

void TWS_TcpIpSession::DropWaitingData() {
    std::lock_guard<std::mutex> lock(FSendLock);
    CallBackSendSize = 0;
    SendHead = 0;
    FAcksHeld = 0;
    FreeServiceTimer(CallBackSendTimer);
    FSendDrained.notify_all();
}

} // namespace rv
