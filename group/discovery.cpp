#include "group/discovery.h"

#include "foundation/thread_contract.h"
#include "foundation/tick_count.h"

#include <algorithm>
#include <random>

namespace rv {

uint32_t DiscoveryRandom(uint32_t Below) {
    if (Below == 0) return 0;
    // One generator for the process, drawn from on any thread.
    static std::mutex lock;
    static std::mt19937 gen{std::random_device{}()};
    std::lock_guard<std::mutex> guard(lock);
    return std::uniform_int_distribution<uint32_t>(0, Below - 1)(gen);
}

// --- T_BroadcastSchedule ---------------------------------------------------------------------------------------

T_BroadcastSchedule::T_BroadcastSchedule() : FGen(std::random_device{}()) {}

T_BroadcastSchedule::T_BroadcastSchedule(uint32_t Seed) : FGen(Seed) {}

void T_BroadcastSchedule::Reseed(uint32_t Seed) { FGen.seed(Seed); }

uint32_t T_BroadcastSchedule::Jittered(uint32_t BasePeriodMs) {
    const uint32_t draw = std::uniform_int_distribution<uint32_t>(0, C_JitterSpanMs - 1)(FGen);
    const int64_t p = static_cast<int64_t>(BasePeriodMs) + draw - C_JitterBelowMs;
    return static_cast<uint32_t>(std::max<int64_t>(p, C_MinJitteredPeriodMs));
}

T_BroadcastSchedule::TStep T_BroadcastSchedule::Start(uint32_t InitPeriodMs, uint32_t InitDurationMs,
                                                      uint32_t BroadcastPeriodMs, uint32_t GiveUpPeriodMs) {
    FInitPeriodMs = InitPeriodMs;
    FInitDurationMs = InitDurationMs;
    FBroadcastPeriodMs = BroadcastPeriodMs;
    FGiveUpPeriodMs = GiveUpPeriodMs;
    if (InitDurationMs > 0 && InitPeriodMs > 0) {
        FState = bsInit;
        return {FState, InitPeriodMs, false};
    }
    FBroadcastPeriodMs = std::max(FBroadcastPeriodMs, C_MinBroadcastPeriodMs);
    FState = bsNormal;
    return {FState, FBroadcastPeriodMs, false};
}

T_BroadcastSchedule::TStep T_BroadcastSchedule::Tick(uint32_t ElapsedMs) {
    switch (FState) {
    case bsInit:
        if (ElapsedMs > FInitDurationMs) {
            FState = bsNormal;
            return {FState, FBroadcastPeriodMs, false};
        }
        return {FState, Jittered(FInitPeriodMs), false};
    case bsNormal:
        if (FGiveUpPeriodMs > 0 && ElapsedMs > FGiveUpPeriodMs) {
            FState = bsGivenUp;
            return {FState, 0, true};
        }
        return {FState, Jittered(FBroadcastPeriodMs), false};
    default:
        return {FState, 0, false};
    }
}

// --- T_UpdReqInfoBroadcaster -----------------------------------------------------------------------------------

T_UpdReqInfoBroadcaster::T_UpdReqInfoBroadcaster(uint16_t UdpPort, T_OnBroadcastReply OnBroadcastReply,
                                                 const std::string& UniqueIdStr, uint16_t InfoReplyPort)
    : TWS_TudpSocket(UdpPort), FOnBroadcastReply(std::move(OnBroadcastReply)),
      FTick(std::make_shared<TTickShared>()) {
    RV_ASSERT_MAIN_THREAD();
    FTick->Owner = this;
    BroadcastR.sT.TransmissionType = ttBroadcast;
    const uint16_t announced = InfoReplyPort != 0 ? OpenAnswerServer(InfoReplyPort) : 0;
    Configure(announced, UniqueIdStr);
}

T_UpdReqInfoBroadcaster::~T_UpdReqInfoBroadcaster() { DetachBroadcaster(); }

void T_UpdReqInfoBroadcaster::DetachBroadcaster() {
    RV_ASSERT_MAIN_THREAD();
    {
        std::lock_guard<std::mutex> lock(FTick->Lock);
        FTick->Owner = nullptr;
        ++FTick->Generation;
        FreeServiceTimer(BroadCastTimer);
    }
    LeaveNotifier();
    FRxInfoSess.reset();
}

uint16_t T_UpdReqInfoBroadcaster::OpenAnswerServer(uint16_t InfoReplyPort) {
    RV_ASSERT_MAIN_THREAD();
    FRxInfoSess.reset();
    uint32_t port = InfoReplyPort;
    uint32_t alt = static_cast<uint32_t>(InfoReplyPort) + 100 + DiscoveryRandom(80);
    for (int attempt = 0; attempt < C_AnswerPortAttempts && port != 0 && port <= 0xFFFF; ++attempt) {
        auto server = std::make_unique<TWS_ServerSession>(true, false);
        // Open to the world: a connection that sends no reply is closed, and one address holds a few at most.
        // The broadcaster's configuration has no group time-out, so the longest one a group may have applies.
        server->AcceptIdleTimeOutMs = 30000;
        server->MaxConnectionsPerAddress = 8;
        server->OnClientConnect = [this](TWS_ServerSession* Sender, TWS_TcpIpSession* Session) {
            E_OnInfoConnect(Sender, Session);
        };
        if (server->StartServerSession(static_cast<uint16_t>(port))) {
            FRxInfoSess = std::move(server);
            return AnswerPort();
        }
        if (!WS_PortInUseError()) {
            // Kept, as a record of the failure; it listens on nothing.
            FRxInfoSess = std::move(server);
            return 0;
        }
        port = alt++;
    }
    return 0;
}

uint16_t T_UpdReqInfoBroadcaster::AnswerPort() const {
    if (!FRxInfoSess || !SocketIsOpen(FRxInfoSess->FSocket.load())) return 0;
    TWS_SockAddrIn bound;
    if (!WS_GetSockName(FRxInfoSess->FSocket.load(), bound)) return 0;
    return WS_SockAddrPort(bound);
}

void T_UpdReqInfoBroadcaster::Configure(uint16_t InfoReplyPort, const std::string& UniqueIdStr) {
    RV_ASSERT_MAIN_THREAD();
    const uint16_t oldPort = BroadcastR.sT.isR.InfoReplyPort;
    const std::string oldId = BroadcastR.FUniqueIdStr;
    BroadcastR.sT.isR.InfoReplyPort = InfoReplyPort;
    BroadcastR.FUniqueIdStr = UniqueIdStr;
    try {
        CreateSendStream();
    } catch (...) {
        BroadcastR.sT.isR.InfoReplyPort = oldPort;
        BroadcastR.FUniqueIdStr = oldId;
        throw;
    }
}

void T_UpdReqInfoBroadcaster::CreateSendStream() {
    RV_ASSERT_MAIN_THREAD();
    std::lock_guard<std::mutex> lock(FTick->Lock);
    CreateSendStreamLocked();
}

void T_UpdReqInfoBroadcaster::CreateSendStreamLocked() {
    TMemoryStream bytes;
    BroadcastR.SaveToStream(bytes);
    if (bytes.Size() > static_cast<int64_t>(C_MaxBroadcastSize)) throw ERV_Error(C_BroadcastTooLargeText);
    SendStream.Clear();
    SendStream.WriteBuffer(bytes.Memory(), bytes.Size());
}

std::string T_UpdReqInfoBroadcaster::SendStreamBytes() {
    std::lock_guard<std::mutex> lock(FTick->Lock);
    return std::string(reinterpret_cast<const char*>(SendStream.Memory()), static_cast<size_t>(SendStream.Size()));
}

bool T_UpdReqInfoBroadcaster::Broadcasting() {
    std::lock_guard<std::mutex> lock(FTick->Lock);
    return BroadCastTimer != C_NullTimerID;
}

uint32_t T_UpdReqInfoBroadcaster::TimerPeriodMs() {
    std::lock_guard<std::mutex> lock(FTick->Lock);
    return FTimerPeriodMs;
}

void T_UpdReqInfoBroadcaster::SetScheduleClock(std::function<uint32_t()> Clock) {
    RV_ASSERT_MAIN_THREAD();
    std::lock_guard<std::mutex> lock(FTick->Lock);
    FClock = std::move(Clock);
}

void T_UpdReqInfoBroadcaster::SetScheduleSeed(uint32_t Seed) {
    RV_ASSERT_MAIN_THREAD();
    std::lock_guard<std::mutex> lock(FTick->Lock);
    FSchedule.Reseed(Seed);
}

uint32_t T_UpdReqInfoBroadcaster::NowLocked() const { return FClock ? FClock() : TickCount32(); }

void T_UpdReqInfoBroadcaster::NewSessionId() {
    RV_ASSERT_MAIN_THREAD();
    uint32_t id = 0;
    for (int i = 0; i < 4; ++i) id |= DiscoveryRandom(256) << (8 * i);
    BroadcastR.sT.isR.SessionId = id;
}

void T_UpdReqInfoBroadcaster::StartBroadcasting(uint32_t BroadcastPeriodMs, uint32_t GiveUpPeriodMs) {
    RV_ASSERT_MAIN_THREAD();
    NewSessionId();
    BroadcastR.sT.TransmissionType = ttBroadcast;
    std::shared_ptr<TTickShared> tick = FTick;
    std::lock_guard<std::mutex> lock(tick->Lock);
    CreateSendStreamLocked();
    StopBroadcastingLocked();
    StartTime = NowLocked();
    SendLocked();

    const T_BroadcastSchedule::TStep first = FSchedule.Start(InitBroadcastPeriodMs.load(),
                                                             InitBroadcastDurationMs.load(), BroadcastPeriodMs,
                                                             GiveUpPeriodMs);
    FState = first.State;
    FTimerPeriodMs = first.PeriodMs;
    TRV_MultiTimer* timer = MultiTimer.load();
    if (!timer) return;
    const uint64_t generation = tick->Generation;
    BroadCastTimer =
        timer->CreateMSTimer(first.PeriodMs, T_TimerCallBackOptions::tcbNotSynchronized, [tick, generation] {
            std::lock_guard<std::mutex> guard(tick->Lock);
            // A tick of a timer that was stopped, or of a broadcaster that is gone, was already on its way.
            if (tick->Owner && tick->Generation == generation) tick->Owner->DoBroadcastLocked();
        });
}

void T_UpdReqInfoBroadcaster::StopBroadcasting() {
    RV_ASSERT_MAIN_THREAD();
    std::lock_guard<std::mutex> lock(FTick->Lock);
    StopBroadcastingLocked();
}

void T_UpdReqInfoBroadcaster::StopBroadcastingLocked() {
    ++FTick->Generation;
    if (BroadCastTimer == C_NullTimerID) return;
    if (TRV_MultiTimer* t = MultiTimer.load()) t->FreeTimer(BroadCastTimer);
    BroadCastTimer = C_NullTimerID;
}

void T_UpdReqInfoBroadcaster::SetTimerPeriodLocked(uint32_t PeriodMs) {
    FTimerPeriodMs = PeriodMs;
    if (TRV_MultiTimer* t = MultiTimer.load()) t->ChangeTimerPeriod(BroadCastTimer, PeriodMs);
}

void T_UpdReqInfoBroadcaster::DoBroadcastLocked() {
    const T_BroadcastSchedule::TStep step = FSchedule.Tick(NowLocked() - StartTime);
    if (step.Stop)
        StopBroadcastingLocked();
    else if (step.PeriodMs != 0)
        SetTimerPeriodLocked(step.PeriodMs);
    FState = step.State;
    SendLocked();
}

void T_UpdReqInfoBroadcaster::SendLocked() {
    // Sending is best effort: a socket that could not bind, or a network that refuses broadcasts, sends nothing
    // and the next tick tries again.
    try {
        SendBroadcastDatagram(SendStream.Memory(), static_cast<uint32_t>(SendStream.Size()));
    } catch (const std::exception&) {
    }
}

void T_UpdReqInfoBroadcaster::E_OnInfoConnect(TWS_ServerSession* /*Sender*/, TWS_TcpIpSession* Session) {
    Session->OnData = [this](TWS_TcpIpSession* S, const uint8_t* DataPtr, uint32_t DataLen) {
        return E_TcpInfoDataReceived(S, DataPtr, DataLen);
    };
}

bool T_UpdReqInfoBroadcaster::E_TcpInfoDataReceived(TWS_TcpIpSession* Session, const uint8_t* DataPtr,
                                                    uint32_t DataLen) {
    FReceivingByTcp = true;
    DoOnDatagramReceived(Session->RemoteAddr(), DataPtr, DataLen);
    FReceivingByTcp = false;
    return true;
}

void T_UpdReqInfoBroadcaster::DoOnDatagramReceived(T_NumericIpAddress FromIP, const uint8_t* DataPtr,
                                                   uint32_t DataLen) {
    RV_ASSERT_MAIN_THREAD();
    try {
        TRV_BlockMemoryStream in(DataPtr, DataLen);
        if (!BroadcastReplyR.ReadFromStream(in)) return; // damaged: its check value fails
        if (!BroadcastR.UniqueIdMatches(BroadcastReplyR.UniqueIdStr())) return;
        if (BroadcastReplyR.sT.TransmissionType == ttInfoReply) {
            if (!FOnBroadcastReply) return;
            bool stop = true;
            BroadcastReplyR.AppDataStream.SetPosition(0);
            const uint32_t services = BroadcastReplyR.sT.isR.TcpIpServices;
            FOnBroadcastReply(this, FromIP, LoWord(services), HiWord(services), BroadcastReplyR.AppDataStream, stop);
            if (stop) StopBroadcasting();
        } else if (BroadcastReplyR.sT.TransmissionType == ttBroadcast) {
            ReceivedBroadcast(FromIP, DataPtr, DataLen);
        }
    } catch (const std::exception&) {
        // Malformed data and the handlers' errors end here; the broadcaster goes on.
    }
}

void T_UpdReqInfoBroadcaster::ReceivedBroadcast(T_NumericIpAddress /*FromIp*/, const uint8_t* /*DataPtr*/,
                                                uint32_t /*DataLen*/) {}

// --- T_UpdInfoProvider -----------------------------------------------------------------------------------------

T_UpdInfoProvider::T_UpdInfoProvider(const std::string& UniqueIdStr, uint16_t TcpPort1, uint16_t TcpPort2) {
    RV_ASSERT_MAIN_THREAD();
    ReplyInfoR.sT.TransmissionType = ttInfoReply;
    ReplyInfoR.AppDataStream.Clear();
    CreateReplyStream();
    Configure(UniqueIdStr, TcpPort1, TcpPort2);
}

T_UpdInfoProvider::~T_UpdInfoProvider() {
    RV_ASSERT_MAIN_THREAD();
    // No more requests, then the deliveries: ConSendList's destructor drops them.
    InfoSocket.reset();
}

bool T_UpdInfoProvider::ListenOn(uint16_t UdpPort) {
    RV_ASSERT_MAIN_THREAD();
    InfoSocket = std::make_unique<TWS_TudpSocket>(UdpPort);
    InfoSocket->OnDatagram = [this](TWS_TudpSocket* Sender, T_NumericIpAddress FromIp, const uint8_t* DataPtr,
                                    uint32_t DataLen) { E_OnDatagramReceived(Sender, FromIp, DataPtr, DataLen); };
    return InfoSocket->SocketBound();
}

void T_UpdInfoProvider::Configure(const std::string& UniqueIdStr, uint16_t TcpPort1, uint16_t TcpPort2) {
    RV_ASSERT_MAIN_THREAD();
    ReplyInfoR.SetUniqueIdStr(UniqueIdStr);
    ReplyInfoR.sT.isR.TcpIpServices = MakeServices(TcpPort1, TcpPort2);
    CreateReplyStream();
}

void T_UpdInfoProvider::CreateReplyStream() {
    ReplyStream.Clear();
    ReplyInfoR.SaveToStream(ReplyStream);
}

void T_UpdInfoProvider::SetAppData(TRV_SmartStream& AppData) {
    RV_ASSERT_MAIN_THREAD();
    ReplyStream.Clear();
    ReplyInfoR.AppDataStream.Clear();
    AppData.SaveToStream(ReplyInfoR.AppDataStream);
    ReplyInfoR.SaveToStream(ReplyStream);
}

void T_UpdInfoProvider::SendUdpInfoReply() {
    if (InfoSocket) InfoSocket->SendDatagramReply(ReplyStream.Memory(), static_cast<uint32_t>(ReplyStream.Size()));
}

void T_UpdInfoProvider::SendTcpIpReply(T_NumericIpAddress Ip, uint16_t Port) {
    RV_ASSERT_MAIN_THREAD();
    // Answers to one address that still wait all carry the same record: the newest, with the latest details.
    ConSendList.Send(Ip, Port, C_InfoReplyTimeOutMs, ReplyInfoR, C_InfoReplyKind,
                     [this](T_ConSendData* Worker, bool Successful) { E_OnConSendComplete(Worker, Successful); });
}

void T_UpdInfoProvider::E_OnConSendComplete(T_ConSendData* Worker, bool Successful) {
    DoTcpIpInfoReplyStatus(Worker->HostAddr(), Successful);
}

void T_UpdInfoProvider::E_OnDatagramReceived(TWS_TudpSocket* /*Sender*/, T_NumericIpAddress FromIp,
                                             const uint8_t* DataPtr, uint32_t DataLen) {
    RV_ASSERT_MAIN_THREAD();
    try {
        TRV_BlockMemoryStream in(DataPtr, DataLen);
        if (!RxBroadcastR.ReadFromStream(in)) return;
        if (RxBroadcastR.sT.TransmissionType != ttBroadcast) return;
        if (!ReplyInfoR.UniqueIdMatches(RxBroadcastR.UniqueIdStr())) return;
        bool reply = true;
        try {
            DoBroadcastReceived(RxBroadcastR, reply);
        } catch (const std::exception&) {
        }
        if (!reply || FromIp == 0) return;
        const uint16_t port = RxBroadcastR.sT.isR.InfoReplyPort;
        DoAboutToSendInfoReply(FromIp, port, RxBroadcastR, reply);
        if (!reply) return;
        if (port > 0)
            SendTcpIpReply(FromIp, port);
        else
            SendUdpInfoReply();
    } catch (const std::exception&) {
        // A malformed request or a failing handler costs this request only.
    }
}

void T_UpdInfoProvider::DoBroadcastReceived(T_UpdInfoStream& Request, bool& Reply) {
    if (FOnBroadcastReceived) FOnBroadcastReceived(this, Request, Reply);
}

void T_UpdInfoProvider::DoAboutToSendInfoReply(T_NumericIpAddress FromIp, uint16_t Port, T_UpdInfoStream& Request,
                                               bool& Reply) {
    if (FOnAboutToSendInfoReply) FOnAboutToSendInfoReply(this, FromIp, Port, Request, Reply);
}

void T_UpdInfoProvider::DoTcpIpInfoReplyStatus(T_NumericIpAddress Ip, bool Successful) {
    if (FOnTcpIpInfoReplyStatus) FOnTcpIpInfoReplyStatus(this, Ip, Successful);
}

// --- T_DualUpdInfoProvider -------------------------------------------------------------------------------------

T_DualUpdInfoProvider::T_DualUpdInfoProvider(const std::string& UniqueIdStr, uint16_t TcpPort1, uint16_t TcpPort2,
                                             T_UpdReqInfoBroadcaster* BroadcasterRef)
    : T_UpdInfoProvider(UniqueIdStr, TcpPort1, TcpPort2), FBroadcasterRef(BroadcasterRef) {}

void T_DualUpdInfoProvider::SendUdpInfoReply() {
    if (!FBroadcasterRef || FBroadcasterRef->ReceivingByTcp()) return;
    FBroadcasterRef->SendDatagramReply(ReplyStream.Memory(), static_cast<uint32_t>(ReplyStream.Size()));
}

// --- T_BroadcasterAndInfoProvider ------------------------------------------------------------------------------

T_BroadcasterAndInfoProvider::T_BroadcasterAndInfoProvider(uint16_t UdpPort, uint16_t TcpPort1, uint16_t TcpPort2,
                                                           T_OnBroadcastReply OnBroadcastReply,
                                                           const std::string& UniqueIdStr, uint16_t InfoReplyPort)
    : T_UpdReqInfoBroadcaster(UdpPort, std::move(OnBroadcastReply), UniqueIdStr, InfoReplyPort) {
    RV_ASSERT_MAIN_THREAD();
    BroadcastR.sT.isR.TcpIpServices = MakeServices(TcpPort1, TcpPort2);
    CreateSendStream();
    InfoProvider = std::make_unique<T_DualUpdInfoProvider>(UniqueIdStr, TcpPort1, TcpPort2, this);
    // The port the broadcaster announces: the one its answer server got.
    InfoProvider->ReplyInfoR.sT.isR.InfoReplyPort = BroadcastR.sT.isR.InfoReplyPort;
    InfoProvider->CreateReplyStream();
}

T_BroadcasterAndInfoProvider::~T_BroadcasterAndInfoProvider() {
    // The provider's deliveries are dropped; nothing may reach it or this object meanwhile.
    DetachBroadcaster();
    InfoProvider.reset();
}

void T_BroadcasterAndInfoProvider::Configure(uint16_t InfoReplyPort, const std::string& UniqueIdStr,
                                             uint16_t TcpPort1, uint16_t TcpPort2) {
    RV_ASSERT_MAIN_THREAD();
    const uint32_t oldServices = BroadcastR.sT.isR.TcpIpServices;
    BroadcastR.sT.isR.TcpIpServices = MakeServices(TcpPort1, TcpPort2);
    try {
        T_UpdReqInfoBroadcaster::Configure(InfoReplyPort, UniqueIdStr);
    } catch (...) {
        BroadcastR.sT.isR.TcpIpServices = oldServices;
        throw;
    }
    // The port first, so the answer's bytes carry it at once.
    InfoProvider->ReplyInfoR.sT.isR.InfoReplyPort = InfoReplyPort;
    InfoProvider->Configure(UniqueIdStr, TcpPort1, TcpPort2);
}

void T_BroadcasterAndInfoProvider::NewSessionId() {
    T_UpdReqInfoBroadcaster::NewSessionId();
    InfoProvider->ReplyInfoR.sT.isR.SessionId = GetSessionId();
    // Datagram answers send the prepared bytes: they must carry the new number too.
    InfoProvider->CreateReplyStream();
}

void T_BroadcasterAndInfoProvider::ReceivedBroadcast(T_NumericIpAddress FromIp, const uint8_t* DataPtr,
                                                     uint32_t DataLen) {
    if (InfoProvider) InfoProvider->E_OnDatagramReceived(this, FromIp, DataPtr, DataLen);
}

} // namespace rv
