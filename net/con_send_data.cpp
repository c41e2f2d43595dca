#include "net/con_send_data.h"

#include "foundation/main_loop.h"
#include "foundation/message_pump.h"
#include "foundation/stop_watch.h"
#include "foundation/thread_contract.h"
#include "stream/smart_stream.h"

namespace rv {

namespace {
// The acknowledgement wait's slice.
constexpr uint32_t C_AckPollMs = 20;
// Clear's wait for messages between passes: short, so a worker that ended without posting anything is freed
// promptly, and no busy loop.
constexpr uint32_t C_ClearWaitMs = 5;
} // namespace

T_ConSendData* T_ConSendData::Create(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t TimeOutMS,
                                     TRV_SmartStream& DataToSend, T_OnConSendDataComplete OnComplete) {
    return TRV_Thread::Create<T_ConSendData>(0, HostAddr, HostPort, TimeOutMS, DataToSend, std::move(OnComplete));
}

T_ConSendData::T_ConSendData(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t TimeOutMS,
                             TRV_SmartStream& DataToSend, T_OnConSendDataComplete OnComplete)
    : FHostAddr(HostAddr), FHostPort(HostPort), FTimeOutMS(TimeOutMS), FOnConSendDataComplete(std::move(OnComplete)),
      DataAsStream(std::make_unique<TMemoryStream>()) {
    DataToSend.SaveToStream(*DataAsStream);
}

T_ConSendData::~T_ConSendData() = default;

void T_ConSendData::ExecuteInitialization() {
    Sess = std::make_unique<TWS_TcpIpSession>(true, false);
    Sess->SetReqPacketAck(true);
    Sess->OnPacketAck = [this](TWS_TcpIpSession* Session) { E_OnPacketAck(Session); };
}

void T_ConSendData::E_OnPacketAck(TWS_TcpIpSession* /*Session*/) { FConSendSuccess = true; }

void T_ConSendData::Execute() {
    if (!Terminated()) {
        // The connect and the acknowledgement are handled on the main thread; this thread polls for them.
        if (Sess->OpenConnection(FHostAddr, FHostPort, FTimeOutMS, true, [this] { return ConnectionCancelled(); }) &&
            Sess->SessionSend(DataAsStream->Memory(), static_cast<uint32_t>(DataAsStream->Size()))) {
            TRV_StopWatch watch(true);
            while (!FConSendSuccess.load() && watch.ElapsedTimeMS() <= FTimeOutMS) {
                if (!ThreadSleep(C_AckPollMs)) break;
            }
        }
        // Closes the connection; the session leaves the notifier before it goes.
        Sess.reset();
        DataAsStream.reset();
    }
    if (!Terminated() && FOnConSendDataComplete) SynchronizeMethod([this] { DoFinished(); });
    FProcessingComplete = true;
}

void T_ConSendData::DoFinished() {
    // A worker told to stop while this call was on its way reports nothing either.
    if (Terminated()) return;
    bool freeObject = false;
    FOnConSendDataComplete(this, FConSendSuccess.load(), freeObject);
    FProcessingComplete = true;
    if (freeObject) SetFreeOnTerminate(true);
}

void T_ConSendData::ExecuteFinalization() {
    Sess.reset();
    DataAsStream.reset();
}

// --- T_ConSendList --------------------------------------------------------------------------------------------

T_ConSendList::~T_ConSendList() { Clear(); }

void T_ConSendList::FreeCompletedThreads() {
    for (int i = Count() - 1; i >= 0; --i) {
        if (i >= Count()) continue; // a worker's freeing may have let the main thread change the list
        T_ConSendData* worker = Items(i);
        if (!worker || worker->ProcessingComplete()) Delete(i);
    }
}

void T_ConSendList::Clear() {
    RV_ASSERT_MAIN_THREAD();
    FreeCompletedThreads();
    if (Count() == 0) return;
    for (T_ConSendData* worker : *this)
        if (worker) worker->Terminate(false);
    // The workers need the main thread to see their events end; a worker that ended is freed on the next pass.
    for (;;) {
        ProcessApplicationMessages(100, pmoNone);
        // A report already queued must still be let through (it reports nothing now), also while the
        // application terminates and the pump above takes no messages.
        if (TRV_Synchronize* s = RV_Synch.load()) s->SyncCallBack();
        FreeCompletedThreads();
        if (Count() == 0) break;
        WaitForMessages(C_ClearWaitMs);
    }
}

} // namespace rv
