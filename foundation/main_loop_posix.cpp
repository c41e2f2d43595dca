#include "foundation/main_loop.h"

#include "foundation/errors.h"
#include "foundation/main_loop_posix.h"
#include "foundation/message_pump.h"

#include <atomic>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace rv {

namespace detail {
void SetMainThreadToCurrent();
}

namespace {

struct TQueued {
    TWindowHandle Wnd;
    uint32_t Msg;
    uintptr_t WParam;
    intptr_t LParam;
};

struct TWatch {
    int Fd;
    short Events;
    std::shared_ptr<posix::TFdCallback> Callback;
};

struct TLoop {
    std::mutex Lock;
    std::deque<TQueued> Queue;                          // guarded by Lock
    std::map<TWindowHandle, TRV_WndMsgProcessor*> Windows; // guarded by Lock
    TWindowHandle NextWindow = 1;                       // guarded by Lock; handles are never reused
    std::map<uint64_t, TWatch> Watches;                 // guarded by Lock
    uint64_t NextWatch = 1;                             // guarded by Lock
    int WakeRead = -1;
    int WakeWrite = -1;
    std::atomic<bool> WakePending{false};
};

TLoop& Loop() {
    static TLoop loop;
    return loop;
}

void EnsurePipe(TLoop& l) {
    if (l.WakeRead >= 0) return;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw ERV_Error("Cannot create the main loop's wake pipe");
    l.WakeRead = fds[0];
    l.WakeWrite = fds[1];
}

void Wake(TLoop& l) {
    if (l.WakeWrite >= 0 && !l.WakePending.exchange(true)) {
        char b = 1;
        [[maybe_unused]] ssize_t n = write(l.WakeWrite, &b, 1);
    }
}

void DrainWake(TLoop& l) {
    l.WakePending = false;
    char buf[64];
    while (read(l.WakeRead, buf, sizeof buf) > 0) {
    }
}

// Waits up to TimeoutMs (-1: no limit) for a descriptor or the wake pipe, then runs the callbacks of the ready
// watches. Returns at once when messages are queued.
void PollOnce(int TimeoutMs) {
    TLoop& l = Loop();
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    {
        std::lock_guard<std::mutex> lock(l.Lock);
        EnsurePipe(l);
        if (!l.Queue.empty()) TimeoutMs = 0;
        fds.push_back({l.WakeRead, POLLIN, 0});
        for (auto& [id, w] : l.Watches) {
            if (w.Events == 0) continue;
            fds.push_back({w.Fd, w.Events, 0});
            ids.push_back(id);
        }
    }
    int n = poll(fds.data(), fds.size(), TimeoutMs);
    if (n <= 0) return;
    if (fds[0].revents) DrainWake(l);
    for (size_t i = 1; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        std::shared_ptr<posix::TFdCallback> cb;
        short revents = fds[i].revents;
        {
            std::lock_guard<std::mutex> lock(l.Lock);
            auto it = l.Watches.find(ids[i - 1]);
            // Skip a watch that ended or paused since the poll began.
            if (it == l.Watches.end() || it->second.Events == 0) continue;
            revents &= static_cast<short>(it->second.Events | POLLERR | POLLHUP | POLLNVAL);
            cb = it->second.Callback;
        }
        if (revents) (*cb)(revents);
    }
}

// Takes the next queued message (of Wnd, or of any window when Wnd is 0).
bool TakeMessage(TWindowHandle Wnd, TQueued& Out, TRV_WndMsgProcessor*& Target) {
    TLoop& l = Loop();
    std::lock_guard<std::mutex> lock(l.Lock);
    for (auto it = l.Queue.begin(); it != l.Queue.end(); ++it) {
        if (Wnd != 0 && it->Wnd != Wnd) continue;
        Out = *it;
        l.Queue.erase(it);
        auto w = l.Windows.find(Out.Wnd);
        Target = w == l.Windows.end() ? nullptr : w->second;
        return true;
    }
    return false;
}

void Deliver(const TQueued& q, TRV_WndMsgProcessor* Target) {
    if (!Target) return; // the window was destroyed after the post
    TMessage m{q.Msg, q.WParam, q.LParam, 0};
    Target->WndProc(m);
}

} // namespace

TRV_WndMsgProcessor::TRV_WndMsgProcessor() {
    TLoop& l = Loop();
    std::lock_guard<std::mutex> lock(l.Lock);
    FWindowHandle = l.NextWindow++;
    l.Windows[FWindowHandle] = this;
}

TRV_WndMsgProcessor::~TRV_WndMsgProcessor() {
    TLoop& l = Loop();
    std::lock_guard<std::mutex> lock(l.Lock);
    l.Windows.erase(FWindowHandle);
    // Like a destroyed window, queued messages for it vanish.
    std::erase_if(l.Queue, [this](const TQueued& q) { return q.Wnd == FWindowHandle; });
}

void TRV_WndMsgProcessor::WndProc(TMessage& Message) { Message.Result = 0; }

bool PostWindowMessage(TWindowHandle Wnd, uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
    TLoop& l = Loop();
    {
        std::lock_guard<std::mutex> lock(l.Lock);
        if (!l.Windows.count(Wnd)) return false;
        l.Queue.push_back({Wnd, Msg, WParam, LParam});
    }
    Wake(l);
    return true;
}

int RunMessageLoop() {
    while (!ApplicationTerminated()) {
        TQueued q;
        TRV_WndMsgProcessor* target = nullptr;
        while (!ApplicationTerminated() && TakeMessage(0, q, target)) Deliver(q, target);
        if (ApplicationTerminated()) break;
        PollOnce(-1);
    }
    return detail::ExitCode();
}

void WaitForMessages(uint32_t TimeoutMs) { PollOnce(static_cast<int>(TimeoutMs)); }

namespace detail {

int PumpWaitingMessages(int MaxMessages, const T_ApplicationMsgObject& Hook, uintptr_t Window) {
    PollOnce(0); // turn descriptor readiness into messages first
    int n = 0;
    TQueued q;
    TRV_WndMsgProcessor* target = nullptr;
    while (n < MaxMessages && !ApplicationTerminated() && TakeMessage(Window, q, target)) {
        ++n;
        if (!Hook.Discards(q.Msg)) Deliver(q, target);
    }
    return n;
}

void InitMainLoopBackend() {
    SetMainThreadToCurrent();
    TLoop& l = Loop();
    std::lock_guard<std::mutex> lock(l.Lock);
    EnsurePipe(l);
}

void FinishMainLoopBackend() {
    TLoop& l = Loop();
    std::lock_guard<std::mutex> lock(l.Lock);
    l.Queue.clear();
}

void WakeMainLoop() { Wake(Loop()); }

} // namespace detail

namespace posix {

uint64_t WatchFd(int Fd, short Events, TFdCallback Callback) {
    TLoop& l = Loop();
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(l.Lock);
        id = l.NextWatch++;
        l.Watches[id] = TWatch{Fd, Events, std::make_shared<TFdCallback>(std::move(Callback))};
    }
    Wake(l);
    return id;
}

void SetWatchEvents(uint64_t Id, short Events) {
    TLoop& l = Loop();
    {
        std::lock_guard<std::mutex> lock(l.Lock);
        auto it = l.Watches.find(Id);
        if (it == l.Watches.end() || it->second.Events == Events) return;
        it->second.Events = Events;
    }
    Wake(l);
}

void UnwatchFd(uint64_t Id) {
    TLoop& l = Loop();
    {
        std::lock_guard<std::mutex> lock(l.Lock);
        l.Watches.erase(Id);
    }
    Wake(l);
}

} // namespace posix

} // namespace rv
