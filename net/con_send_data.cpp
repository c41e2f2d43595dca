#include "net/con_send_data.h"

#include "foundation/deferred_calls.h"
#include "foundation/thread_contract.h"
#include "foundation/tick_count.h"
#include "net/tcp_session.h"
#include "stream/smart_stream.h"

namespace rv {

namespace {
// How often the time-outs are looked at while anything is queued or under way: a time-out ends at most this
// much late.
constexpr uint32_t C_ConSendTickMs = 100;
} // namespace

// The delivery's session: no-delay on, keep-alive off, every packet asking for an acknowledgement; its events
// go to the delivery.
class T_ConSendSession final : public TWS_TcpIpSession {
public:
    explicit T_ConSendSession(T_ConSendData& Owner) : TWS_TcpIpSession(true, false), FOwner(Owner) {
        SetReqPacketAck(true);
    }

protected:
    void DoConnected() override {
        TWS_TcpIpSession::DoConnected();
        FOwner.E_Connected();
    }
    void DoOnPacketAck() override { FOwner.E_OnPacketAck(); }
    // Also a connect that failed: the base reports that to no handler.
    void DoDisConnected(int32_t DisconnectError) override {
        TWS_TcpIpSession::DoDisConnected(DisconnectError);
        FOwner.E_Ended();
    }

private:
    T_ConSendData& FOwner;
};

// --- T_ConSendData --------------------------------------------------------------------------------------------

T_ConSendData::T_ConSendData(T_ConSendList& List, T_NumericIpAddress HostAddr, uint16_t HostPort, int Kind)
    : FList(List), FHostAddr(HostAddr), FHostPort(HostPort), FKind(Kind) {}

T_ConSendData::~T_ConSendData() = default;

void T_ConSendData::E_Connected() {
    if (FState != TState::Connecting) return;
    FState = TState::AwaitingAck;
    FPhaseStart = TickCount32();
    const bool sent = Sess->SessionSend(FData.data(), static_cast<uint32_t>(FData.size()));
    // What the socket did not take at once waits in the session's own buffer.
    std::vector<uint8_t>().swap(FData);
    if (!sent) Finish(false);
}

void T_ConSendData::E_OnPacketAck() {
    if (FState != TState::AwaitingAck) return;
    FConSendSuccess = true;
    Finish(true);
}

void T_ConSendData::E_Ended() {
    if (FState == TState::Connecting || FState == TState::AwaitingAck) Finish(false);
}

void T_ConSendData::Finish(bool Successful) {
    if (FState == TState::Done) return;
    FState = TState::Done;
    FConSendSuccess = Successful;
    FList.Finished(*this);
}

// --- T_ConSendList --------------------------------------------------------------------------------------------

T_ConSendList::T_ConSendList(T_ConSendLimits Limits)
    : FLimits(Limits), FAlive(std::make_shared<bool>(true)) {}

T_ConSendList::~T_ConSendList() {
    RV_ASSERT_MAIN_THREAD();
    *FAlive = false;
    Clear();
    if (FReportHandle) AsyncRemoveCallBackEvent(FReportHandle);
}

uint64_t T_ConSendList::CoalesceKey(T_NumericIpAddress HostAddr, uint16_t HostPort, int Kind) {
    return (static_cast<uint64_t>(HostAddr) << 32) | (static_cast<uint64_t>(HostPort) << 16) |
           static_cast<uint16_t>(Kind);
}

void T_ConSendList::Send(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t TimeOutMS,
                         TRV_SmartStream& DataToSend, int Kind, T_OnConSendDataComplete OnComplete) {
    RV_ASSERT_MAIN_THREAD();
    TMemoryStream bytes;
    DataToSend.SaveToStream(bytes);
    const auto size = static_cast<size_t>(bytes.Size());
    const auto* data = static_cast<const uint8_t*>(bytes.Memory());

    T_ConSendData* item = nullptr;
    if (Kind != C_NoCoalescing) {
        auto it = FQueuedByKey.find(CoalesceKey(HostAddr, HostPort, Kind));
        if (it != FQueuedByKey.end()) {
            item = it->second;
            FQueuedBytes -= item->FData.size();
        }
    }
    if (!item) {
        FItems.push_back(std::unique_ptr<T_ConSendData>(new T_ConSendData(*this, HostAddr, HostPort, Kind)));
        item = FItems.back().get();
        item->FPos = std::prev(FItems.end());
        if (static_cast<int>(FQueue.size()) >= FLimits.MaxQueued ||
            FQueuedBytes + size > FLimits.MaxQueuedBytes) {
            item->FOnConSendDataComplete = std::move(OnComplete);
            item->Finish(false);
            return;
        }
        FQueue.push_back(item);
        if (Kind != C_NoCoalescing) FQueuedByKey[CoalesceKey(HostAddr, HostPort, Kind)] = item;
    }
    item->FData.assign(data, data + size);
    item->FTimeOutMS = TimeOutMS;
    item->FOnConSendDataComplete = std::move(OnComplete);
    item->FPhaseStart = TickCount32();
    FQueuedBytes += size;
    StartWaiting();
    UpdateTick();
}

void T_ConSendList::StartWaiting() {
    while (FActive < FLimits.MaxActive && !FQueue.empty()) {
        T_ConSendData* item = FQueue.front();
        Unqueue(*item);
        Start(*item);
    }
}

void T_ConSendList::Unqueue(T_ConSendData& Item) {
    // Starting takes the front; only a time-out takes one from the middle.
    if (!FQueue.empty() && FQueue.front() == &Item)
        FQueue.pop_front();
    else
        std::erase(FQueue, &Item);
    FQueuedBytes -= Item.FData.size();
    if (Item.FKind != C_NoCoalescing) {
        auto it = FQueuedByKey.find(CoalesceKey(Item.FHostAddr, Item.FHostPort, Item.FKind));
        if (it != FQueuedByKey.end() && it->second == &Item) FQueuedByKey.erase(it);
    }
}

void T_ConSendList::Start(T_ConSendData& Item) {
    ++FActive;
    Item.FState = T_ConSendData::TState::Connecting;
    Item.FPhaseStart = TickCount32();
    Item.Sess = std::make_unique<T_ConSendSession>(Item);
    // Without a wait the call only starts the connect; its event brings the outcome. A socket that could not
    // be made (descriptors exhausted) fails here.
    if (!Item.Sess->OpenConnection(Item.FHostAddr, Item.FHostPort, 0, false)) Item.Finish(false);
}

void T_ConSendList::Finished(T_ConSendData& Item) {
    // Queued items that fail (a full queue, a time-out in the queue) have been taken out of the queue
    // already.
    if (Item.Sess) --FActive;
    FDone.push_back(&Item);
    PostReports();
}

void T_ConSendList::PostReports() {
    if (FReportPosted) return;
    if (!FReportHandle) FReportHandle = AsyncRegisterCallBackEvent([this](int32_t) { E_Reports(); });
    FReportPosted = true;
    AsyncPostNotification(FReportHandle, 0);
}

void T_ConSendList::E_Reports() {
    FReportPosted = false;
    const std::shared_ptr<bool> alive = FAlive;
    // Only the outcomes known now: deliveries started meanwhile that fail at once (an unreachable network, no
    // descriptors) have posted the next turn, so a long queue of them never holds up the other messages.
    for (size_t n = FDone.size(); n > 0 && !FDone.empty(); --n) {
        T_ConSendData* done = FDone.front();
        FDone.pop_front();
        std::unique_ptr<T_ConSendData> item = std::move(*done->FPos);
        FItems.erase(done->FPos);
        // Closed before the report: outside any socket event, and a handler that sends again finds a free
        // slot.
        item->Sess.reset();
        StartWaiting();
        if (item->FOnConSendDataComplete) {
            try {
                item->FOnConSendDataComplete(item.get(), item->FConSendSuccess);
            } catch (...) {
                // A failing handler costs its own report only.
            }
        }
        if (!*alive) return; // the handler freed the list
    }
    StartWaiting();
    UpdateTick();
}

void T_ConSendList::E_Tick() {
    const uint32_t now = TickCount32();
    auto expired = [now](const T_ConSendData* Item) { return now - Item->FPhaseStart > Item->FTimeOutMS; };
    // The queue first: a message that waited its whole time-out goes unsent.
    std::vector<T_ConSendData*> stale;
    for (T_ConSendData* item : FQueue)
        if (expired(item)) stale.push_back(item);
    for (T_ConSendData* item : stale) {
        Unqueue(*item);
        item->Finish(false);
    }
    for (auto& item : FItems) {
        const auto state = item->FState;
        if ((state == T_ConSendData::TState::Connecting || state == T_ConSendData::TState::AwaitingAck) &&
            expired(item.get()))
            item->Finish(false);
    }
    StartWaiting();
}

void T_ConSendList::UpdateTick() {
    const bool busy = !FQueue.empty() || FActive > 0;
    if (busy && FTick == C_NullTimerID) {
        if (TRV_MultiTimer* t = MultiTimer.load())
            FTick = t->CreateMSTimer(C_ConSendTickMs, [this] { E_Tick(); });
    } else if (!busy && FTick != C_NullTimerID) {
        FreeServiceTimer(FTick);
    }
}

void T_ConSendList::Clear() {
    RV_ASSERT_MAIN_THREAD();
    FreeServiceTimer(FTick);
    FQueue.clear();
    FQueuedByKey.clear();
    FDone.clear();
    FQueuedBytes = 0;
    FActive = 0;
    // The sessions close as their deliveries go; a report already posted finds nothing to report.
    FItems.clear();
}

} // namespace rv
