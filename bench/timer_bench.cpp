// The timer service under load and at rest.
//
// Lateness: how long after its due time a call-back starts, for 1,000 timers; due time = the moment of creation
// plus the period (one-shot), or plus k periods (periodic). Reported as median, 99th percentile and maximum in ms;
// a small negative value is the tick count's 1 ms granularity (an expiry falls on a tick boundary).
//
// Idle CPU: the process's own CPU time (CLOCK_PROCESS_CPUTIME_ID) over a wall-clock window with 100 live timers
// and the main thread in its message loop, as a share of one core. TOLVANE_IDLE_SECONDS sets the window (30 s).

#include "foundation/main_loop.h"
#include "foundation/message_pump.h"
#include "net/multi_timer.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMainThread = 0;
constexpr uint32_t kTimerThread = 1;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Runs the main thread's loop until Done holds or the deadline passes.
template <class Pred>
void ServeMainThreadUntil(Pred Done, Clock::time_point Deadline) {
    while (!Done() && Clock::now() < Deadline) {
        rv::ProcessApplicationMessages(1000, rv::pmoNone);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
        rv::WaitForMessages(static_cast<uint32_t>(std::clamp<long long>(left, 0, 1000)));
    }
}

struct TServiceScope {
    rv::TRV_MultiTimer* Service = rv::TRV_Thread::Create<rv::TRV_MultiTimer>(0);
    TServiceScope() { Service->SetPriority(rv::TThreadPriority::TimeCritical); }
    ~TServiceScope() { Service->Free(); }
};

void ReportLateness(benchmark::State& State, std::vector<double>& Lateness) {
    std::sort(Lateness.begin(), Lateness.end());
    auto at = [&](double q) { return Lateness[static_cast<size_t>(q * static_cast<double>(Lateness.size() - 1))]; };
    State.counters["calls"] = static_cast<double>(Lateness.size());
    State.counters["median_ms"] = at(0.5);
    State.counters["p99_ms"] = at(0.99);
    State.counters["max_ms"] = Lateness.back();
}

// 1,000 one-shot timers, periods 100 .. 1099 ms, all created in one burst.
void BM_OneShotLateness(benchmark::State& State) {
    const auto tcbs = State.range(0) == kTimerThread ? rv::T_TimerCallBackOptions::tcbNotSynchronized
                                                     : rv::T_TimerCallBackOptions::tcbSynchronized;
    constexpr int kTimers = 1000;
    std::vector<double> lateness;
    for (auto _ : State) {
        TServiceScope scope;
        std::mutex lock;
        std::vector<double> late;
        std::vector<Clock::time_point> due(kTimers);
        auto started = Clock::now();
        Clock::time_point last = started; // the last call-back's start
        for (int i = 0; i < kTimers; ++i) {
            uint32_t period = 100 + static_cast<uint32_t>(i);
            due[i] = Clock::now() + std::chrono::milliseconds(period);
            scope.Service->CreateOneShotTimerEx(period, tcbs, [&, i] {
                auto now = Clock::now();
                std::lock_guard<std::mutex> l(lock);
                late.push_back(Ms(now - due[i]));
                last = std::max(last, now);
            });
        }
        ServeMainThreadUntil(
            [&] {
                std::lock_guard<std::mutex> l(lock);
                return late.size() == kTimers;
            },
            started + std::chrono::seconds(10));
        std::lock_guard<std::mutex> l(lock);
        State.SetIterationTime(std::chrono::duration<double>(last - started).count());
        lateness = late;
    }
    ReportLateness(State, lateness);
}
BENCHMARK(BM_OneShotLateness)->ArgName("timer_thread")->Arg(kMainThread)->Arg(kTimerThread)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// 1,000 periodic timers, periods 200 .. 1199 ms, for 3 s: every expiry measured against creation + k periods.
void BM_PeriodicLateness(benchmark::State& State) {
    const auto tcbs = State.range(0) == kTimerThread ? rv::T_TimerCallBackOptions::tcbNotSynchronized
                                                     : rv::T_TimerCallBackOptions::tcbSynchronized;
    constexpr int kTimers = 1000;
    std::vector<double> lateness;
    for (auto _ : State) {
        TServiceScope scope;
        std::mutex lock;
        std::vector<double> late;
        struct TBeat {
            Clock::time_point Created;
            uint32_t Period;
            int Count = 0;
        };
        std::vector<TBeat> beats(kTimers);
        std::vector<rv::T_TimerID> ids(kTimers);
        auto started = Clock::now();
        for (int i = 0; i < kTimers; ++i) {
            beats[i].Period = 200 + static_cast<uint32_t>(i);
            beats[i].Created = Clock::now();
            ids[i] = scope.Service->CreateMSTimer(beats[i].Period, tcbs, [&, i] {
                auto now = Clock::now();
                std::lock_guard<std::mutex> l(lock);
                TBeat& b = beats[i];
                ++b.Count;
                late.push_back(Ms(now - (b.Created + std::chrono::milliseconds(b.Count * b.Period))));
            });
        }
        ServeMainThreadUntil([] { return false; }, started + std::chrono::seconds(3));
        for (auto& id : ids) scope.Service->FreeTimer(id);
        State.SetIterationTime(std::chrono::duration<double>(Clock::now() - started).count());
        std::lock_guard<std::mutex> l(lock);
        lateness = late;
    }
    ReportLateness(State, lateness);
}
BENCHMARK(BM_PeriodicLateness)->ArgName("timer_thread")->Arg(kMainThread)->Arg(kTimerThread)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// 100 live synchronised timers; range(0) is the first period in ms (the others follow 1 ms apart). With periods
// of a minute and more none expires in the window: the service at rest. With 1 s periods each fires every second.
void BM_IdleCpu100Timers(benchmark::State& State) {
    const uint32_t firstPeriod = static_cast<uint32_t>(State.range(0));
    const char* env = std::getenv("TOLVANE_IDLE_SECONDS");
    const int seconds = env ? std::max(1, std::atoi(env)) : 30;
    for (auto _ : State) {
        TServiceScope scope;
        long calls = 0;
        for (uint32_t i = 0; i < 100; ++i) scope.Service->CreateMSTimer(firstPeriod + i, [&calls] { ++calls; });
        double cpu0 = ProcessCpuSeconds();
        auto wall0 = Clock::now();
        ServeMainThreadUntil([] { return false; }, wall0 + std::chrono::seconds(seconds));
        double cpu = ProcessCpuSeconds() - cpu0;
        double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        State.SetIterationTime(wall);
        State.counters["cpu_ms"] = cpu * 1000.0;
        State.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
        State.counters["calls"] = static_cast<double>(calls);
    }
}
BENCHMARK(BM_IdleCpu100Timers)->ArgName("first_period_ms")->Arg(60000)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace
