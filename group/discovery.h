#pragma once
// Discovery: the search broadcast and its answers.
//
// A copy that looks for partners broadcasts an info stream on the discovery port (T_UpdReqInfoBroadcaster); every
// copy listening there whose identifier matches answers with an info stream of its own that carries a payload
// (T_UpdInfoProvider): by TCP to the answer port that the request named, or by datagram when it named none.
// T_BroadcasterAndInfoProvider plays both roles on one UDP socket. Nothing here knows about net groups: the
// identifiers and the payload belong to the user of these classes.
//
// Threads. Everything runs on the main thread except the broadcast tick, which runs on the timer service's own
// thread (a timer that is not synchronised, so a busy main thread does not hold the broadcasts up). The tick reads
// SendStream, moves the schedule on, changes or ends its own timer and broadcasts on the socket; the tick lock
// (TTickShared::Lock) keeps it apart from every rebuild of SendStream, from starting and stopping, and from
// destruction.

#include "group/info_stream.h"
#include "net/con_send_data.h"
#include "net/multi_timer.h"
#include "net/server_session.h"
#include "net/udp_socket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>

namespace rv {

enum T_UdpBroadcastState : uint8_t {
    bsIdle = 0,
    bsInit = 1,    // the fast phase
    bsNormal = 2,  // the normal period
    bsGivenUp = 3, // stopped after the give-up period
};

// A broadcast is at most this many bytes: it must fit the receivers' datagram buffer.
inline constexpr uint32_t C_MaxBroadcastSize = 512;
inline const std::string C_BroadcastTooLargeText = "T_UpdReqInfoBroadcaster.StartBroadcasting message too large";
// The answer server tries the asked port, then up to 200 others.
inline constexpr int C_AnswerPortAttempts = 201;
// Time-out of a TCP answer's connect and, once more, of its acknowledgement.
inline constexpr uint32_t C_InfoReplyTimeOutMs = 8000;
// The coalescing kind of the TCP answers: a newer answer to an address replaces one still queued for it.
inline constexpr int C_InfoReplyKind = 0;
// Jitter of the broadcast period: base - 80 to base + 19 ms, never below 50 ms.
inline constexpr int32_t C_JitterBelowMs = 80;
inline constexpr int32_t C_JitterSpanMs = 100;
inline constexpr uint32_t C_MinJitteredPeriodMs = 50;
// The normal period when the fast phase is switched off is never below this.
inline constexpr uint32_t C_MinBroadcastPeriodMs = 200;

// A uniform random number in 0 .. Below - 1 (0 when Below is 0). Any thread.
uint32_t DiscoveryRandom(uint32_t Below);

// The broadcast schedule: the phase and the broadcast timer's period at the start and after every tick, from the
// time since the start and a generator of its own. It reads no clock and drives no timer: the broadcaster feeds it
// the tick count under its tick lock, a test feeds it made-up times and a fixed seed. One thread at a time.
class T_BroadcastSchedule {
public:
    struct TStep {
        T_UdpBroadcastState State = bsIdle;
        uint32_t PeriodMs = 0; // the timer's period from now on; 0: unchanged
        bool Stop = false;     // this tick gives up: its broadcast is the last
    };

    // Jitter drawn from an unpredictable seed.
    T_BroadcastSchedule();
    // The same seed draws the same jitter.
    explicit T_BroadcastSchedule(uint32_t Seed);
    void Reseed(uint32_t Seed);

    // The fast phase (InitPeriodMs) when InitPeriodMs and InitDurationMs are both non-zero; otherwise the normal
    // phase at once, its period raised to C_MinBroadcastPeriodMs. The first period is not jittered. GiveUpPeriodMs
    // > 0 ends the normal phase at the first tick after that long.
    TStep Start(uint32_t InitPeriodMs, uint32_t InitDurationMs, uint32_t BroadcastPeriodMs, uint32_t GiveUpPeriodMs);
    // A tick ElapsedMs after the start. Fast phase: past its duration the normal phase starts with the plain normal
    // period, otherwise the fast period jittered. Normal phase: past the give-up period it gives up, otherwise the
    // normal period jittered. Idle or given up: nothing changes.
    TStep Tick(uint32_t ElapsedMs);
    // BasePeriodMs - C_JitterBelowMs + 0 .. C_JitterSpanMs - 1, never below C_MinJitteredPeriodMs.
    uint32_t Jittered(uint32_t BasePeriodMs);

    T_UdpBroadcastState State() const { return FState; }

private:
    std::mt19937 FGen;
    T_UdpBroadcastState FState = bsIdle;
    uint32_t FInitPeriodMs = 0;
    uint32_t FInitDurationMs = 0;
    uint32_t FBroadcastPeriodMs = 0;
    uint32_t FGiveUpPeriodMs = 0;
};

class T_UpdReqInfoBroadcaster;

// (Sender, FromIp in network order, the answer's two TCP service ports, the answer's payload (valid during the
// call), Stop). Stop enters true; left true, the broadcasting ends.
using T_OnBroadcastReply = std::function<void(T_UpdReqInfoBroadcaster* Sender, T_NumericIpAddress FromIp,
                                              uint16_t TcpPort1, uint16_t TcpPort2, TStream& AppData, bool& Stop)>;

// The search broadcaster: itself the UDP socket on the discovery port, and the owner of the TCP server on which
// answers arrive. Main thread unless an operation says otherwise.
class T_UpdReqInfoBroadcaster : public TWS_TudpSocket {
public:
    // Binds the UDP socket to UdpPort. A non-zero InfoReplyPort opens the answer server there or on a fall-back
    // port (OpenAnswerServer) and announces the port bound; 0 announces none (answers come by datagram). Main
    // thread.
    T_UpdReqInfoBroadcaster(uint16_t UdpPort, T_OnBroadcastReply OnBroadcastReply, const std::string& UniqueIdStr,
                            uint16_t InfoReplyPort);
    // Ends the tick (waiting for one that is running), then frees the answer server and closes the socket. Main
    // thread.
    ~T_UpdReqInfoBroadcaster() override;

    // The announced answer port and the search identifier, stored unchanged (a "*" stays: it is the search's
    // wildcard); then CreateSendStream. Raises C_BroadcastTooLargeText (nothing changed then). Main thread.
    void Configure(uint16_t InfoReplyPort, const std::string& UniqueIdStr);
    // Serialises BroadcastR into SendStream. A record of more than C_MaxBroadcastSize bytes raises
    // C_BroadcastTooLargeText and leaves SendStream as it was. Main thread.
    void CreateSendStream();
    // Main thread.
    uint32_t GetSessionId() const { return BroadcastR.sT.isR.SessionId; }
    uint32_t SessionId() const { return GetSessionId(); }
    // Four random bytes, the first into the lowest byte. Main thread.
    virtual void NewSessionId();

    // A new session number, SendStream rebuilt (may raise C_BroadcastTooLargeText), one broadcast at once, then
    // the ticks as T_BroadcastSchedule says: the fast phase (InitBroadcastPeriodMs for InitBroadcastDurationMs,
    // when both are non-zero) and the normal period BroadcastPeriodMs (at least C_MinBroadcastPeriodMs when there
    // is no fast phase), both jittered. GiveUpPeriodMs > 0 ends the broadcasting that long after the start. Main
    // thread.
    void StartBroadcasting(uint32_t BroadcastPeriodMs, uint32_t GiveUpPeriodMs);
    // Ends the ticks (a tick that is running is waited for); the state stays. Main thread.
    void StopBroadcasting();

    // The schedule's seams, for tests: the clock its ticks read (default TickCount32, which is also what an empty
    // function restores) and a fixed seed for its jitter (default unpredictable). Main thread, before
    // StartBroadcasting.
    void SetScheduleClock(std::function<uint32_t()> Clock);
    void SetScheduleSeed(uint32_t Seed);

    // (Re)opens the answer server: InfoReplyPort, else InfoReplyPort + 100 + a random 0..79 and on upwards, at
    // most C_AnswerPortAttempts ports in all, while the failure is a port in use. Returns the port listened on, 0
    // when none could be opened (the server object of the last failure other than a port in use is kept). Does
    // not change what is announced: Configure does. Main thread.
    uint16_t OpenAnswerServer(uint16_t InfoReplyPort);
    // The port the answer server listens on; 0 when it does not listen. Main thread.
    uint16_t AnswerPort() const;

    // A received datagram, or the payload of a TCP packet on the answer server: answers that match go to
    // OnBroadcastReply, search requests to ReceivedBroadcast. Malformed data and handler errors end here. Main
    // thread.
    void DoOnDatagramReceived(T_NumericIpAddress FromIP, const uint8_t* DataPtr, uint32_t DataLen) override;
    // A search request that matches. Empty here. Main thread.
    virtual void ReceivedBroadcast(T_NumericIpAddress FromIp, const uint8_t* DataPtr, uint32_t DataLen);
    // True while DoOnDatagramReceived handles a TCP packet: there is no datagram sender to reply to then. Main
    // thread.
    bool ReceivingByTcp() const { return FReceivingByTcp; }

    // Any thread.
    T_UdpBroadcastState State() const { return FState.load(); }
    // The bytes of SendStream. Any thread.
    std::string SendStreamBytes();
    // Whether the broadcast timer exists. Any thread.
    bool Broadcasting();
    // The period last given to the broadcast timer (0 before the first start). Any thread.
    uint32_t TimerPeriodMs();

    // The fast phase, taken at StartBroadcasting. Any thread.
    std::atomic<uint32_t> InitBroadcastPeriodMs{200};
    std::atomic<uint32_t> InitBroadcastDurationMs{10000};
    // The request: TransmissionType ttBroadcast. Main thread; SendStream holds what is sent.
    TRV_Constructed<T_UpdInfoStream> BroadcastR;
    // Main thread.
    T_OnBroadcastReply FOnBroadcastReply;

protected:
    // Cuts the tick off for good and ends the answer server, so nothing reaches a derived object that is being
    // destroyed. A derived destructor that frees what the handlers use calls this first. Main thread; idempotent.
    void DetachBroadcaster();

private:
    // Shared with the tick's call-back, which may still be on its way when the broadcaster is gone.
    struct TTickShared {
        std::mutex Lock;
        T_UpdReqInfoBroadcaster* Owner = nullptr; // guarded by Lock; cleared when the broadcaster goes
        uint64_t Generation = 0;                  // guarded by Lock; a tick of an older timer does nothing
    };

    // Caller holds the tick lock. The tick: the schedule's step, then the broadcast.
    void DoBroadcastLocked();
    void SendLocked();
    void StopBroadcastingLocked();
    void SetTimerPeriodLocked(uint32_t PeriodMs);
    void CreateSendStreamLocked();
    uint32_t NowLocked() const;
    // Main thread.
    void E_OnInfoConnect(TWS_ServerSession* Sender, TWS_TcpIpSession* Session);
    bool E_TcpInfoDataReceived(TWS_TcpIpSession* Session, const uint8_t* DataPtr, uint32_t DataLen);

    std::shared_ptr<TTickShared> FTick;
    // Guarded by the tick lock.
    TMemoryStream SendStream;
    T_TimerID BroadCastTimer = C_NullTimerID;
    uint32_t StartTime = 0; // the schedule clock's count at the last start
    uint32_t FTimerPeriodMs = 0;
    T_BroadcastSchedule FSchedule;
    std::function<uint32_t()> FClock; // empty: TickCount32
    // Written under the tick lock, read anywhere.
    std::atomic<T_UdpBroadcastState> FState{bsIdle};

    // Main thread.
    std::unique_ptr<TWS_ServerSession> FRxInfoSess;
    TRV_Constructed<T_UpdInfoStream> BroadcastReplyR; // scratch record for every answer received
    bool FReceivingByTcp = false;
};

class T_UpdInfoProvider;

// (Sender, the request, Reply): Reply false refuses the answer.
using T_OnBroadcastReceived = std::function<void(T_UpdInfoProvider* Sender, T_UpdInfoStream& Request, bool& Reply)>;
// (Sender, the requester's address, the request's answer port, the request, Reply): the last look at the answer,
// whose payload the handler may set (SetAppData).
using T_OnAboutToSendInfoReply = std::function<void(T_UpdInfoProvider* Sender, T_NumericIpAddress FromIp,
                                                    uint16_t Port, T_UpdInfoStream& Request, bool& Reply)>;
// (Sender, the address answered, whether the peer acknowledged the answer.)
using T_OnTcpIpInfoReplyStatus =
    std::function<void(T_UpdInfoProvider* Sender, T_NumericIpAddress Ip, bool Successful)>;

// The answering side: answers every matching search request with ReplyInfoR. Every operation: main thread.
class T_UpdInfoProvider {
public:
    // Answers through a socket of its own only after ListenOn; the dual variant answers through its broadcaster.
    // Main thread.
    T_UpdInfoProvider(const std::string& UniqueIdStr, uint16_t TcpPort1, uint16_t TcpPort2);
    T_UpdInfoProvider(const T_UpdInfoProvider&) = delete;
    T_UpdInfoProvider& operator=(const T_UpdInfoProvider&) = delete;
    // Drops the deliveries still under way (they report nothing) and closes the own socket. Not inside one of the
    // provider's events. Main thread.
    virtual ~T_UpdInfoProvider();

    // A stand-alone provider: its own UDP socket on UdpPort, whose requests it answers. False when the port could
    // not be bound. Main thread.
    bool ListenOn(uint16_t UdpPort);

    // The answer's identifier (without any "*") and TCP service ports; then CreateReplyStream. Main thread.
    void Configure(const std::string& UniqueIdStr, uint16_t TcpPort1, uint16_t TcpPort2);
    // Serialises ReplyInfoR into ReplyStream. No size limit beyond the record's own (see the info stream). Main
    // thread.
    void CreateReplyStream();
    // The payload of the answers from now on: AppData serialised into ReplyInfoR's payload, then ReplyStream.
    // Main thread.
    void SetAppData(TRV_SmartStream& AppData);

    // Answers the last datagram's sender with ReplyStream. Main thread.
    virtual void SendUdpInfoReply();
    // Queues the delivery of ReplyInfoR to Ip:Port (time-out C_InfoReplyTimeOutMs); the outcome comes through
    // OnTcpIpInfoReplyStatus, on the main thread, never from inside this call. Main thread.
    void SendTcpIpReply(T_NumericIpAddress Ip, uint16_t Port);
    // A datagram from Sender's socket: a matching search request is answered (see the events). Main thread.
    virtual void E_OnDatagramReceived(TWS_TudpSocket* Sender, T_NumericIpAddress FromIp, const uint8_t* DataPtr,
                                      uint32_t DataLen);

    // The events' raisers. Main thread.
    virtual void DoBroadcastReceived(T_UpdInfoStream& Request, bool& Reply);
    virtual void DoAboutToSendInfoReply(T_NumericIpAddress FromIp, uint16_t Port, T_UpdInfoStream& Request,
                                        bool& Reply);
    virtual void DoTcpIpInfoReplyStatus(T_NumericIpAddress Ip, bool Successful);

    // Main thread.
    const T_ConSendList& Workers() const { return ConSendList; }

    // The answer: TransmissionType ttInfoReply. Main thread.
    TRV_Constructed<T_UpdInfoStream> ReplyInfoR;
    T_OnBroadcastReceived FOnBroadcastReceived;
    T_OnAboutToSendInfoReply FOnAboutToSendInfoReply;
    T_OnTcpIpInfoReplyStatus FOnTcpIpInfoReplyStatus;

protected:
    std::unique_ptr<TWS_TudpSocket> InfoSocket; // the stand-alone form's socket; none in the dual variant
    TMemoryStream ReplyStream;

private:
    void E_OnConSendComplete(T_ConSendData* Worker, bool Successful);

    TRV_Constructed<T_UpdInfoStream> RxBroadcastR; // scratch record for every request received
    T_ConSendList ConSendList;
};

// The provider inside a T_BroadcasterAndInfoProvider: it answers by datagram through the broadcaster's socket.
class T_DualUpdInfoProvider : public T_UpdInfoProvider {
public:
    // Main thread.
    T_DualUpdInfoProvider(const std::string& UniqueIdStr, uint16_t TcpPort1, uint16_t TcpPort2,
                          T_UpdReqInfoBroadcaster* BroadcasterRef);
    // Replies to the datagram's sender. A request that came as a TCP packet has no datagram sender and gets no
    // datagram answer. Main thread.
    void SendUdpInfoReply() override;

    T_UpdReqInfoBroadcaster* const FBroadcasterRef;
};

// Broadcaster and provider on one UDP socket: requests and answers of one copy carry one session number. Main
// thread, as its broadcaster's operations say.
class T_BroadcasterAndInfoProvider : public T_UpdReqInfoBroadcaster {
public:
    // Main thread.
    T_BroadcasterAndInfoProvider(uint16_t UdpPort, uint16_t TcpPort1, uint16_t TcpPort2,
                                 T_OnBroadcastReply OnBroadcastReply, const std::string& UniqueIdStr,
                                 uint16_t InfoReplyPort);
    // The tick and the sockets end before the provider goes. Not inside one of the object's events. Main thread.
    ~T_BroadcasterAndInfoProvider() override;

    // The announced answer port, the identifier and the TCP service ports of both the request and the answer.
    // Raises C_BroadcastTooLargeText (the request then keeps its previous bytes). Main thread.
    void Configure(uint16_t InfoReplyPort, const std::string& UniqueIdStr, uint16_t TcpPort1, uint16_t TcpPort2);
    // The broadcaster's, then the same number into the answer. Main thread.
    void NewSessionId() override;
    // Every matching request goes to the provider. Main thread.
    void ReceivedBroadcast(T_NumericIpAddress FromIp, const uint8_t* DataPtr, uint32_t DataLen) override;

    // Main thread.
    std::unique_ptr<T_DualUpdInfoProvider> InfoProvider;
};

} // namespace rv
