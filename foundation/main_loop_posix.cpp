#include "foundation/main_loop.h"

#include "foundation/errors.h"
#include "foundation/main_loop_internal.h"
#include "foundation/main_loop_posix.h"

#include <atomic>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/epoll.h>
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
    short Events; // poll() bits wanted; 0: paused
    std::shared_ptr<posix::TFdCallback> Callback;
    short Registered = 0; // the bits in the epoll set (0: not in it)
    bool Dirty = false;   // Events changed on the main thread; the set follows before the next wait
};

struct TLoop {
    std::mutex Lock;
    std::deque<TQueued> Queue;                          // guarded by Lock
    std::map<TWindowHandle, TRV_WndMsgProcessor*> Windows; // guarded by Lock
    TWindowHandle NextWindow = 1;                       // guarded by Lock; handles are never reused
    std::map<uint64_t, TWatch> Watches;                 // guarded by Lock
    std::vector<uint64_t> DirtyWatches;                 // guarded by Lock
    uint64_t NextWatch = 1;                             // guarded by Lock; 0 names the wake pipe
    int WakeRead = -1;
    int WakeWrite = -1;
    // The watched descriptors stay registered here between waits, so a wait costs the same however many are
    // watched. Changed under Lock; a change reaches a wait in progress at once.
    int Epoll = -1;
    std::atomic<bool> WakePending{false};
};

TLoop& Loop() {
    static TLoop loop;
    return loop;
}

// Caller holds Lock.
void EnsurePipe(TLoop& l) {
    if (l.WakeRead >= 0) return;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw ERV_Error("Cannot create the main loop's wake pipe");
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, fds[0], &ev) != 0)
        throw ERV_Error("Cannot create the main loop's descriptor set");
    l.WakeRead = fds[0];
    l.WakeWrite = fds[1];
    l.Epoll = ep;
}

static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT && POLLERR == EPOLLERR && POLLHUP == EPOLLHUP &&
              POLLRDHUP == EPOLLRDHUP);

// Brings the epoll set in line with what a watch wants. Caller holds Lock. A paused watch leaves the set: epoll
// would report an error or hang-up on it whatever was asked, and keep reporting it.
void Register(TLoop& l, uint64_t Id, TWatch& W) {
    W.Dirty = false;
    if (W.Registered == W.Events) return;
    epoll_event ev{};
    ev.events = static_cast<uint32_t>(static_cast<unsigned short>(W.Events)); // the poll bits are epoll's on Linux
    ev.data.u64 = Id;
    if (W.Registered == 0)
        epoll_ctl(l.Epoll, EPOLL_CTL_ADD, W.Fd, &ev);
    else if (W.Events == 0)
        epoll_ctl(l.Epoll, EPOLL_CTL_DEL, W.Fd, nullptr);
    else
        epoll_ctl(l.Epoll, EPOLL_CTL_MOD, W.Fd, &ev);
    W.Registered = W.Events;
}

void Wake(TLoop& l) {
    if (l.WakeWrite >= 0 && !l.WakePending.exchange(true)) {
        char b = 1;
        [[maybe_unused]] ssize_t n = write(l.WakeWrite, &b, 1);
    }
}

void DrainWake(TLoop& l) {
    char buf[64];
    while (read(l.WakeRead, buf, sizeof buf) == static_cast<ssize_t>(sizeof buf)) {
    }
    // Cleared after the pipe is empty: cleared before, a wake-up written meanwhile would be read here while the
    // flag stayed set, and no later wake-up would ever be written. A post that finds the flag still set has
    // queued its message already, and the loop looks at the queue before it waits again.
    l.WakePending = false;
}

// Waits up to TimeoutMs (-1: no limit) for a descriptor or the wake pipe, then runs the callbacks of the ready
// watches. Returns at once when messages are queued.
void PollOnce(int TimeoutMs) {
    TLoop& l = Loop();
    int ep;
    {
        std::lock_guard<std::mutex> lock(l.Lock);
        EnsurePipe(l);
        if (!l.Queue.empty()) TimeoutMs = 0;
        // A wait that may block must not be woken by readiness nobody wants any more. A look without waiting
        // may see it: it is filtered out below.
        if (TimeoutMs != 0) {
            for (uint64_t id : l.DirtyWatches) {
                auto it = l.Watches.find(id);
                if (it != l.Watches.end() && it->second.Dirty) Register(l, id, it->second);
            }
            l.DirtyWatches.clear();
        }
        ep = l.Epoll;
    }
    epoll_event ready[64];
    int n = epoll_wait(ep, ready, 64, TimeoutMs);
    for (int i = 0; i < n; ++i) {
        const uint64_t id = ready[i].data.u64;
        if (id == 0) {
            DrainWake(l);
            continue;
        }
        std::shared_ptr<posix::TFdCallback> cb;
        auto revents = static_cast<short>(ready[i].events & 0xffff);
        {
            std::lock_guard<std::mutex> lock(l.Lock);
            auto it = l.Watches.find(id);
            // Skip a watch that ended or paused since the wait began.
            if (it == l.Watches.end() || it->second.Events == 0) continue;
            revents &= static_cast<short>(it->second.Events | POLLERR | POLLHUP);
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
    // The main thread itself is not waiting, and its next wait sees the queue is not empty.
    if (!IsMainThread()) Wake(l);
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

int PumpWaitingMessages(int MaxMessages, const std::function<bool(uint32_t Msg)>& Discards, uintptr_t Window) {
    PollOnce(0); // turn descriptor readiness into messages first
    int n = 0;
    TQueued q;
    TRV_WndMsgProcessor* target = nullptr;
    while (n < MaxMessages && !ApplicationTerminated() && TakeMessage(Window, q, target)) {
        ++n;
        if (!Discards(q.Msg)) Deliver(q, target);
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
    std::lock_guard<std::mutex> lock(l.Lock);
    EnsurePipe(l);
    uint64_t id = l.NextWatch++;
    TWatch& w = l.Watches[id] = TWatch{Fd, Events, std::make_shared<TFdCallback>(std::move(Callback))};
    Register(l, id, w);
    return id;
}

void SetWatchEvents(uint64_t Id, short Events) {
    TLoop& l = Loop();
    std::lock_guard<std::mutex> lock(l.Lock);
    auto it = l.Watches.find(Id);
    if (it == l.Watches.end() || it->second.Events == Events) return;
    TWatch& w = it->second;
    w.Events = Events;
    // The main thread changes a watch off and on around every read; the set follows once, before its next wait,
    // and often not at all. Another thread's change must reach a wait in progress now.
    if (IsMainThread()) {
        if (!w.Dirty) {
            w.Dirty = true;
            l.DirtyWatches.push_back(Id);
        }
    } else {
        Register(l, Id, w);
    }
}

void UnwatchFd(uint64_t Id) {
    TLoop& l = Loop();
    std::lock_guard<std::mutex> lock(l.Lock);
    auto it = l.Watches.find(Id);
    if (it == l.Watches.end()) return;
    // Out of the set now: the descriptor is closed next.
    it->second.Events = 0;
    Register(l, Id, it->second);
    l.Watches.erase(it);
}

} // namespace posix

} // namespace rv
