#include "net/multi_timer.h"

#include "foundation/main_loop.h"
#include "foundation/message_box.h"
#include "foundation/thread_contract.h"
#include "foundation/tick_count.h"
#include "net/callback_guard.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <thread>
#include <vector>

namespace rv {

std::atomic<TRV_MultiTimer*> MultiTimer{nullptr};

namespace {

// Every wait is slept, however short. Starting the next pass at once instead would spin: on Windows the tick
// count moves in 15.6 ms steps, so a 1 ms wait would repeat until the step comes (measured: 14% of a core with
// 100 one-second timers, against 3.6% sleeping).
constexpr uint32_t C_NoSleepWaitMs = 0;
// The wait of an empty schedule.
constexpr uint32_t C_IdleWaitMs = 1000;

constexpr uint32_t WM_RV_TIMER_FAULT = WM_USER_BASE + 1;

uint32_t SaturatingAdd(uint32_t a, uint32_t b) {
    return b > std::numeric_limits<uint32_t>::max() - a ? std::numeric_limits<uint32_t>::max() : a + b;
}

} // namespace

// Shows the fault box on the main thread, after the delivery that faulted has returned, so neither the timer
// thread nor the other timers wait for the user.
class TRV_MultiTimer::TFaultNotifier : public TRV_WndMsgProcessor {
public:
    void WndProc(TMessage& Message) override {
        if (Message.Msg == WM_RV_TIMER_FAULT)
            ShowMessageBox(C_TimerFaultTitle, C_TimerFaultText, mbOK | mbIconError);
        else
            TRV_WndMsgProcessor::WndProc(Message);
    }
};

TRV_MultiTimer::TRV_MultiTimer() = default;

TRV_MultiTimer::~TRV_MultiTimer() = default;

// --- Service life ---------------------------------------------------------------------------------------------

void TRV_MultiTimer::ExecuteInitialization() {
    FFaultNotifier = std::make_unique<TFaultNotifier>();
    TLock lock(ListCS);
    PrevTime = TickCount32();
}

void TRV_MultiTimer::OnSetTerminate() {
    // Under the lock: the thread resets the event under it and then looks at Terminated, so this wake-up cannot
    // fall between the two.
    TLock lock(ListCS);
    NewTimerObjectH.Set();
}

void TRV_MultiTimer::ExecuteFinalization() {
    decltype(FItems) items;
    {
        TLock lock(ListCS);
        TimerDeactivated = true;
        ListHead = nullptr;
        FinishedOneShotList = nullptr;
        CallBackTimer = C_NullTimerID;
        items.swap(FItems);
    }
    // The call-backs' captures are destroyed outside the lock; should their destructors call the service, it
    // does nothing.
    items.clear();
    FFaultNotifier.reset();
}

void TRV_MultiTimer::Execute() {
    for (;;) {
        uint32_t wait;
        {
            TLock lock(ListCS);
            if (Terminated()) break;
            ProcessTimerList(lock);
            NewTimerObjectH.Reset();
            if (Terminated()) break;
            wait = ListHeadRemaining;
        }
        if (wait > C_NoSleepWaitMs)
            NewTimerObjectH.WaitFor(wait);
        else if (wait > 0)
            std::this_thread::yield(); // waiting for the tick to reach an expiry at most 2 ms away
    }
}

// --- The delta list (caller holds ListCS) ---------------------------------------------------------------------

TRV_MultiTimerItem* TRV_MultiTimer::FindItem(T_TimerID Timer) {
    if (Timer == C_NullTimerID || TimerDeactivated) return nullptr;
    auto it = FItems.find(Timer);
    return it == FItems.end() ? nullptr : it->second.get();
}

uint32_t TRV_MultiTimer::FromNow(uint64_t Ms) const {
    // The list counts from PrevTime, which may be up to a whole wait in the past.
    uint64_t delta = Ms + static_cast<uint32_t>(TickCount32() - PrevTime);
    return static_cast<uint32_t>(std::min<uint64_t>(delta, std::numeric_limits<uint32_t>::max()));
}

void TRV_MultiTimer::InsertTimer(TRV_MultiTimerItem* Item, uint32_t Delta, bool SignalHead) {
    Item->Running = true;
    TRV_MultiTimerItem* prev = nullptr;
    TRV_MultiTimerItem* next = ListHead;
    // An item expiring at the same time as one already listed goes first.
    while (next && next->msRemaining < Delta) {
        Delta -= next->msRemaining;
        prev = next;
        next = next->NextTimer;
    }
    Item->msRemaining = Delta;
    if (next) {
        next->msRemaining -= Delta;
        next->PrevTimer = Item;
    }
    Item->NextTimer = next;
    Item->PrevTimer = prev;
    Item->OwnerList = &ListHead;
    if (prev) {
        prev->NextTimer = Item;
    } else {
        ListHead = Item;
        // The thread may be sleeping towards a later expiry.
        if (SignalHead) NewTimerObjectH.Set();
    }
}

void TRV_MultiTimer::RemoveTimer(TRV_MultiTimerItem* Item) {
    if (Item->OwnerList) {
        if (Item->NextTimer) {
            Item->NextTimer->msRemaining = SaturatingAdd(Item->NextTimer->msRemaining, Item->msRemaining);
            Item->NextTimer->PrevTimer = Item->PrevTimer;
        }
        if (Item->PrevTimer)
            Item->PrevTimer->NextTimer = Item->NextTimer;
        else
            *Item->OwnerList = Item->NextTimer;
        Item->NextTimer = Item->PrevTimer = nullptr;
        Item->OwnerList = nullptr;
    }
    Item->Running = false;
    // A synchronised delivery on its way belongs to the expiry this removal cancels.
    if (CallBackTimer == Item->ID) CallBackTimer = C_NullTimerID;
}

void TRV_MultiTimer::PushFinished(TRV_MultiTimerItem* Item) {
    Item->msRemaining = 0;
    Item->PrevTimer = nullptr;
    Item->NextTimer = FinishedOneShotList;
    if (FinishedOneShotList) FinishedOneShotList->PrevTimer = Item;
    FinishedOneShotList = Item;
    Item->OwnerList = &FinishedOneShotList;
}

// --- The thread's pass ----------------------------------------------------------------------------------------

void TRV_MultiTimer::ProcessTimerList(TLock& Lock) {
    ListHeadRemaining = C_IdleWaitMs;
    uint32_t now = TickCount32();
    uint32_t elapsed = now - PrevTime; // unsigned: a wrap of the tick count is harmless
    PrevTime = now;
    while (TRV_MultiTimerItem* head = ListHead) {
        if (head->msRemaining > elapsed) {
            head->msRemaining -= elapsed;
            break;
        }
        // The head has expired; the list's time now stands at its expiry, `elapsed` ms before now.
        elapsed -= head->msRemaining;
        head->msRemaining = 0;
        ++head->Cycles;
        RemoveTimer(head);
        if (head->OneShot) {
            PushFinished(head);
        } else {
            // Counted from this expiry, so the timer keeps its phase. Expiries that also fell due while the
            // thread was held up are merged into this one call instead of following in a burst.
            uint64_t next = (static_cast<uint64_t>(elapsed) / head->TimePeriod + 1) * head->TimePeriod;
            InsertTimer(head, static_cast<uint32_t>(std::min<uint64_t>(next, std::numeric_limits<uint32_t>::max())),
                        false);
        }
        if (head->OnTimerEvent) {
            // The time not yet applied to the list is kept for the next pass, which starts at once.
            PrevTime = now - elapsed;
            ListHeadRemaining = 0;
            Deliver(Lock, head);
            return;
        }
    }
    if (ListHead) ListHeadRemaining = ListHead->msRemaining;
}

void TRV_MultiTimer::Deliver(TLock& Lock, TRV_MultiTimerItem* Item) {
    T_TimerID id = Item->ID;
    std::shared_ptr<const T_TimerCallBackEvent> event = Item->OnTimerEvent;
    bool synchronised = Item->CallBackOption == T_TimerCallBackOptions::tcbSynchronized;
    CallBackTimer = id;
    Lock.unlock();
    if (synchronised)
        SynchronizeMethod([this, id, &event] { CallTimerEvent(id, *event); });
    else
        CallTimerEvent(id, *event);
    event.reset(); // the last reference may be this one; its captures are not destroyed under the lock
    Lock.lock();
    CallBackTimer = C_NullTimerID;
}

void TRV_MultiTimer::CallTimerEvent(T_TimerID Timer, const T_TimerCallBackEvent& Event) {
    {
        TLock lock(ListCS);
        if (CallBackTimer != Timer || TimerDeactivated) return; // freed or re-timed since it expired
    }
    if (CallGuarded(Event) == TGuardedCallResult::Returned) return;
    std::shared_ptr<const T_TimerCallBackEvent> disabled;
    {
        TLock lock(ListCS);
        if (TRV_MultiTimerItem* item = FindItem(Timer)) disabled = std::move(item->OnTimerEvent);
    }
    disabled.reset();
    if (FFaultNotifier) FFaultNotifier->PostMessage(WM_RV_TIMER_FAULT, 0, 0);
}

// --- Operations -----------------------------------------------------------------------------------------------

T_TimerID TRV_MultiTimer::CreateTimer(uint32_t TimePeriod, T_TimerCallBackOptions Tcbs,
                                      T_TimerCallBackEvent TimerEvent, bool OneShot) {
    if (TimePeriod == 0) return C_NullTimerID;
    auto item = std::make_unique<TRV_MultiTimerItem>();
    item->TimePeriod = TimePeriod;
    item->OneShot = OneShot;
    item->CallBackOption = Tcbs; // tcbWithTimerID and tcbAM are delivered like tcbNotSynchronized
    if (TimerEvent) item->OnTimerEvent = std::make_shared<const T_TimerCallBackEvent>(std::move(TimerEvent));
    TLock lock(ListCS);
    if (TimerDeactivated) return C_NullTimerID;
    item->ID = ++FLastTimerID;
    TRV_MultiTimerItem* p = item.get();
    FItems.emplace(p->ID, std::move(item));
    InsertTimer(p, FromNow(TimePeriod), true);
    return p->ID;
}

T_TimerID TRV_MultiTimer::CreateMSTimer(uint32_t TimePeriod, T_TimerCallBackOptions Tcbs,
                                        T_TimerCallBackEvent TimerEvent) {
    return CreateTimer(TimePeriod, Tcbs, std::move(TimerEvent), false);
}

T_TimerID TRV_MultiTimer::CreateMSTimer(uint32_t TimePeriod, T_TimerCallBackEvent TimerEvent) {
    return CreateTimer(TimePeriod, T_TimerCallBackOptions::tcbSynchronized, std::move(TimerEvent), false);
}

T_TimerID TRV_MultiTimer::CreateOneShotTimerEx(uint32_t TimePeriod, T_TimerCallBackOptions Tcbs,
                                               T_TimerCallBackEvent TimerEvent) {
    return CreateTimer(TimePeriod, Tcbs, std::move(TimerEvent), true);
}

T_TimerID TRV_MultiTimer::CreateOneShotTimer(uint32_t TimePeriod, T_TimerCallBackEvent TimerEvent) {
    return CreateTimer(TimePeriod, T_TimerCallBackOptions::tcbSynchronized, std::move(TimerEvent), true);
}

void TRV_MultiTimer::FreeTimer(T_TimerID& Timer) {
    if (Timer == C_NullTimerID) return;
    std::unique_ptr<TRV_MultiTimerItem> freed;
    {
        TLock lock(ListCS);
        if (TRV_MultiTimerItem* item = FindItem(Timer)) {
            RemoveTimer(item);
            auto it = FItems.find(Timer);
            freed = std::move(it->second);
            FItems.erase(it);
        }
    }
    Timer = C_NullTimerID;
    // freed (and its call-back's captures) goes here, outside the lock.
}

void FreeServiceTimer(T_TimerID& Timer) {
    if (TRV_MultiTimer* t = MultiTimer.load()) t->FreeTimer(Timer);
    Timer = C_NullTimerID;
}

void TRV_MultiTimer::ReStartPeriod(T_TimerID Timer) {
    TLock lock(ListCS);
    TRV_MultiTimerItem* item = FindItem(Timer);
    if (!item) return;
    RemoveTimer(item);
    InsertTimer(item, FromNow(item->TimePeriod), true);
}

void TRV_MultiTimer::ChangeTimerPeriod(T_TimerID Timer, uint32_t NewPeriod) {
    if (NewPeriod == 0) return; // a periodic timer of 0 ms would fire on every pass
    TLock lock(ListCS);
    TRV_MultiTimerItem* item = FindItem(Timer);
    if (!item) return;
    // Time left from now: its expiry counted from the list's time base, less the time since the last pass.
    int64_t left = 0;
    if (item->OwnerList == &ListHead) {
        for (TRV_MultiTimerItem* p = ListHead; p; p = p->NextTimer) {
            left += p->msRemaining;
            if (p == item) break;
        }
        left -= static_cast<uint32_t>(TickCount32() - PrevTime);
    }
    left = std::max<int64_t>(left, 0) + static_cast<int64_t>(NewPeriod) - static_cast<int64_t>(item->TimePeriod);
    RemoveTimer(item);
    item->TimePeriod = NewPeriod;
    InsertTimer(item, FromNow(static_cast<uint64_t>(std::max<int64_t>(left, 0))), true);
}

bool TRV_MultiTimer::TimerRunning(T_TimerID Timer) {
    TLock lock(ListCS);
    TRV_MultiTimerItem* item = FindItem(Timer);
    return item && item->Running;
}

uint32_t TRV_MultiTimer::TimerCycles(T_TimerID Timer, bool Reset) {
    TLock lock(ListCS);
    TRV_MultiTimerItem* item = FindItem(Timer);
    if (!item) return 0;
    uint32_t cycles = item->Cycles;
    if (Reset) item->Cycles = 0;
    return cycles;
}

bool TRV_MultiTimer::RunningTimersFound(bool ShutThemDown) {
    std::vector<std::unique_ptr<TRV_MultiTimerItem>> freed;
    bool found = false;
    {
        TLock lock(ListCS);
        if (TimerDeactivated) return false;
        std::ofstream log; // opened (appending) for the first live timer only
        for (TRV_MultiTimerItem* p = ListHead; p; p = p->NextTimer) {
            found = true;
            if (!log.is_open()) log.open(C_TimerLogFileName, std::ios::out | std::ios::app);
            log << "Live timer: Period " << p->TimePeriod << " User Val " << p->UserVal << " Cycles " << p->Cycles
                << '\n';
        }
        if (ShutThemDown) {
            while (TRV_MultiTimerItem* p = ListHead) {
                RemoveTimer(p);
                auto it = FItems.find(p->ID);
                freed.push_back(std::move(it->second));
                FItems.erase(it);
            }
        }
    }
    return found;
}

// --- The program's service ------------------------------------------------------------------------------------

void StartMultiTimer() {
    RV_ASSERT_MAIN_THREAD();
    if (MultiTimer.load()) return;
    TRV_MultiTimer* timer = TRV_Thread::Create<TRV_MultiTimer>(0);
    timer->SetPriority(TThreadPriority::TimeCritical);
    MultiTimer = timer;
}

void FinishMultiTimer() {
    RV_ASSERT_MAIN_THREAD();
    TRV_MultiTimer* timer = MultiTimer.load();
    if (!timer) return;
    timer->RunningTimersFound(true);
    MultiTimer = nullptr;
    timer->Free();
}

} // namespace rv
