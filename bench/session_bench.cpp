// TCP sessions on loopback, each figure against a baseline measured in the same run.
//
// Throughput: N packets of one payload size from a sender thread to the main thread. Baseline: plain blocking
// send of the same framed bytes on one socket and blocking recv of header and payload on the other. Session:
// a client session's SessionSend on the sender thread, the accepted session's OnData on the main thread. Each
// is run nine times, alternating, with 128 MiB each; the best run of each counts. Single runs of either vary up to
// fourfold here: a receiver that catches the sender up sleeps, and then every send pays for waking it. Reported in
// MB/s and as session / plain.
//
// Latency: round trips of a 64-byte packet. Baseline: one thread sends on one end of a plain blocking
// connection, receives on the other, answers and receives the answer (no thread hand-over: the least a round
// trip costs). Also a plain echo thread (one hand-over each way). Session: two sessions on the main thread, the
// accepted one answering from OnData. Five alternating rounds of 2,000; the best median of each kind, with its
// 99th percentile, in microseconds, and session / plain.
//
// Idle CPU: the process's own CPU time (CLOCK_PROCESS_CPUTIME_ID) over a wall-clock window with 100 live
// timers and idle connections (each a client session and its accepted session), the main thread in the
// program's message loop (RunMessageLoop). TOLVANE_IDLE_SECONDS sets the window (30 s).

#include "foundation/main_loop.h"
#include "foundation/message_pump.h"
#include "net/multi_timer.h"
#include "net/server_session.h"
#include "net/tcp_session.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

rv::T_NumericIpAddress Loopback() { return rv::WS_IpAddress(127, 0, 0, 1); }

// Keeps the main thread's messages flowing until Done holds; false at the deadline.
template <class Pred>
bool ServeMainThreadUntil(Pred Done, Clock::duration Limit) {
    auto deadline = Clock::now() + Limit;
    while (!Done()) {
        if (Clock::now() > deadline) return false;
        rv::ProcessApplicationMessages(1000, rv::pmoNone);
        if (!Done()) rv::WaitForMessages(1);
    }
    return true;
}

// The library and the timer service for one benchmark; both end before the foundation does.
struct TNetScope {
    TNetScope() {
        if (!rv::WS_Start()) throw std::runtime_error("the sockets library does not start");
        rv::StartMultiTimer();
    }
    ~TNetScope() {
        rv::FinishMultiTimer();
        rv::WS_Finish();
    }
};

// A connected pair of plain sockets, blocking, with no-delay on both.
struct TPlainPair {
    rv::TSocket A = rv::C_InvalidSocket, B = rv::C_InvalidSocket;
    TPlainPair() {
        rv::TSocket l;
        if (!rv::WS_CreateSocket(l) || !rv::WS_AddressBind(l, Loopback(), 0) || !rv::WS_Listen(l, 5))
            throw std::runtime_error("no listener");
        rv::TWS_SockAddrIn a;
        rv::WS_GetSockName(l, a);
        rv::T_NumericIpAddress peer;
        if (!rv::WS_CreateSocket(A) || !rv::WS_ConnectToSocket(A, Loopback(), rv::WS_SockAddrPort(a)) ||
            !rv::WS_Accept(l, B, peer))
            throw std::runtime_error("no connection");
        rv::WS_CloseSocket(l);
        rv::WS_SetSocketOption(A, rv::TWS_SocketOption::NoTcpDelay, 0xffffffffu);
        rv::WS_SetSocketOption(B, rv::TWS_SocketOption::NoTcpDelay, 0xffffffffu);
    }
    ~TPlainPair() {
        rv::WS_CloseSocket(A);
        rv::WS_CloseSocket(B);
    }
};

bool SendAll(rv::TSocket S, const char* Data, size_t Len) {
    while (Len > 0) {
        int n = rv::WS_Send(S, Data, static_cast<int>(std::min<size_t>(Len, 1 << 30)));
        if (n <= 0) return false;
        Data += n;
        Len -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(rv::TSocket S, char* Data, size_t Len) {
    while (Len > 0) {
        int n = rv::WS_Recv(S, Data, static_cast<int>(std::min<size_t>(Len, 1 << 30)));
        if (n <= 0) return false;
        Data += n;
        Len -= static_cast<size_t>(n);
    }
    return true;
}

std::string Framed(const std::string& Payload) {
    char head[rv::C_PacketHeaderSize];
    rv::TWS_ReservedHeader{rv::C_PacketStx, static_cast<uint32_t>(Payload.size())}.Encode(
        reinterpret_cast<uint8_t*>(head));
    return std::string(head, sizeof head) + Payload;
}

// A client session connected to a server session on the main thread; Accepted is the server's session.
struct TSessionLink {
    rv::TWS_ServerSession Server{true, false};
    std::unique_ptr<rv::TWS_TcpIpSession> Client;
    rv::TWS_TcpIpSession* Accepted = nullptr;
    TSessionLink() {
        Server.OnClientConnect = [this](rv::TWS_ServerSession*, rv::TWS_TcpIpSession* S) { Accepted = S; };
        if (!Server.StartServerSession(0)) throw std::runtime_error("no server");
        Client = std::make_unique<rv::TWS_TcpIpSession>(true, false);
        if (!Client->OpenConnection(Loopback(), Server.ServerPort(), 5000, false))
            throw std::runtime_error("no connection");
        if (!ServeMainThreadUntil([this] { return Accepted != nullptr; }, std::chrono::seconds(5)))
            throw std::runtime_error("not accepted");
    }
};

// --- Throughput -----------------------------------------------------------------------------------------------

double PlainThroughput(const std::string& Payload, int Packets) {
    TPlainPair pair;
    const std::string packet = Framed(Payload);
    auto started = Clock::now();
    std::thread sender([&] {
        for (int i = 0; i < Packets; ++i)
            if (!SendAll(pair.A, packet.data(), packet.size())) return;
    });
    std::vector<char> buf(Payload.size() + rv::C_PacketHeaderSize);
    for (int i = 0; i < Packets; ++i) {
        if (!RecvAll(pair.B, buf.data(), rv::C_PacketHeaderSize)) break;
        if (!RecvAll(pair.B, buf.data(), Payload.size())) break;
    }
    double s = Seconds(Clock::now() - started);
    sender.join();
    return static_cast<double>(Payload.size()) * Packets / s;
}

double SessionThroughput(const std::string& Payload, int Packets) {
    TSessionLink link;
    int received = 0;
    bool intact = true;
    link.Accepted->OnData = [&](rv::TWS_TcpIpSession*, const uint8_t* Data, uint32_t Len) {
        intact = intact && Len == Payload.size() && Data[Len / 2] == static_cast<uint8_t>(Payload[Len / 2]);
        ++received;
        return true;
    };
    std::atomic<bool> sendFailed{false};
    auto started = Clock::now();
    std::thread sender([&] {
        for (int i = 0; i < Packets; ++i) {
            if (!link.Client->SessionSend(Payload.data(), static_cast<uint32_t>(Payload.size()))) {
                sendFailed = true;
                return;
            }
        }
    });
    bool done = ServeMainThreadUntil([&] { return received == Packets || sendFailed.load(); }, std::chrono::seconds(120));
    double s = Seconds(Clock::now() - started);
    sender.join();
    if (!done || sendFailed || !intact) throw std::runtime_error("session throughput run failed");
    return static_cast<double>(Payload.size()) * Packets / s;
}

void BM_PacketThroughput(benchmark::State& State) {
    TNetScope net;
    const auto size = static_cast<uint32_t>(State.range(0));
    // 128 MiB per run.
    const int packets = static_cast<int>((128u << 20) / size);
    std::string payload(size, '\0');
    for (uint32_t i = 0; i < size; ++i) payload[i] = static_cast<char>(i * 7 + 1);
    double plain = 0, session = 0;
    for (auto _ : State) {
        for (int round = 0; round < 9; ++round) {
            plain = std::max(plain, PlainThroughput(payload, packets));
            session = std::max(session, SessionThroughput(payload, packets));
        }
    }
    State.counters["plain_MBps"] = plain / 1e6;
    State.counters["session_MBps"] = session / 1e6;
    State.counters["session_to_plain"] = session / plain;
    State.counters["packets"] = packets;
}
BENCHMARK(BM_PacketThroughput)->ArgName("payload")->Arg(1024)->Arg(64 * 1024)->Arg(1024 * 1024)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- Latency --------------------------------------------------------------------------------------------------

constexpr int kRoundTrips = 2000;
constexpr uint32_t kPingSize = 64;

struct TPercentiles {
    double Median = 0, P99 = 0;
};

TPercentiles Percentiles(std::vector<double>& Us) {
    std::sort(Us.begin(), Us.end());
    return {Us[Us.size() / 2], Us[static_cast<size_t>(0.99 * static_cast<double>(Us.size() - 1))]};
}

TPercentiles PlainSameThreadRoundTrip() {
    TPlainPair pair;
    const std::string packet = Framed(std::string(kPingSize, 'p'));
    std::vector<char> buf(packet.size());
    std::vector<double> us;
    us.reserve(kRoundTrips);
    for (int i = 0; i < kRoundTrips; ++i) {
        auto t0 = Clock::now();
        SendAll(pair.A, packet.data(), packet.size());
        RecvAll(pair.B, buf.data(), rv::C_PacketHeaderSize);
        RecvAll(pair.B, buf.data(), kPingSize);
        SendAll(pair.B, packet.data(), packet.size());
        RecvAll(pair.A, buf.data(), rv::C_PacketHeaderSize);
        RecvAll(pair.A, buf.data(), kPingSize);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return Percentiles(us);
}

TPercentiles PlainEchoThreadRoundTrip() {
    TPlainPair pair;
    const std::string packet = Framed(std::string(kPingSize, 'p'));
    std::thread echo([&] {
        std::vector<char> buf(packet.size());
        for (int i = 0; i < kRoundTrips; ++i) {
            if (!RecvAll(pair.B, buf.data(), rv::C_PacketHeaderSize) || !RecvAll(pair.B, buf.data(), kPingSize)) return;
            SendAll(pair.B, packet.data(), packet.size());
        }
    });
    std::vector<char> buf(packet.size());
    std::vector<double> us;
    us.reserve(kRoundTrips);
    for (int i = 0; i < kRoundTrips; ++i) {
        auto t0 = Clock::now();
        SendAll(pair.A, packet.data(), packet.size());
        RecvAll(pair.A, buf.data(), rv::C_PacketHeaderSize);
        RecvAll(pair.A, buf.data(), kPingSize);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    echo.join();
    return Percentiles(us);
}

TPercentiles SessionRoundTrip() {
    TSessionLink link;
    const std::string ping(kPingSize, 'p');
    link.Accepted->OnData = [&](rv::TWS_TcpIpSession* S, const uint8_t* Data, uint32_t Len) {
        S->SessionSend(Data, Len);
        return true;
    };
    int answers = 0;
    link.Client->OnData = [&](rv::TWS_TcpIpSession*, const uint8_t*, uint32_t) {
        ++answers;
        return true;
    };
    std::vector<double> us;
    us.reserve(kRoundTrips);
    for (int i = 0; i < kRoundTrips; ++i) {
        auto t0 = Clock::now();
        link.Client->SessionSend(ping.data(), kPingSize);
        if (!ServeMainThreadUntil([&] { return answers == i + 1; }, std::chrono::seconds(5)))
            throw std::runtime_error("no answer");
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return Percentiles(us);
}

void BM_PacketRoundTrip(benchmark::State& State) {
    TNetScope net;
    // Five rounds, alternating; the best median of each kind counts, so a disturbance by other processes in one
    // round does not decide the comparison.
    TPercentiles same{1e9, 0}, echo{1e9, 0}, session{1e9, 0};
    auto keepBest = [](TPercentiles& Best, TPercentiles Now) {
        if (Now.Median < Best.Median) Best = Now;
    };
    for (auto _ : State) {
        for (int round = 0; round < 5; ++round) {
            keepBest(same, PlainSameThreadRoundTrip());
            keepBest(echo, PlainEchoThreadRoundTrip());
            keepBest(session, SessionRoundTrip());
        }
    }
    State.counters["plain_same_thread_median_us"] = same.Median;
    State.counters["plain_echo_thread_median_us"] = echo.Median;
    State.counters["session_median_us"] = session.Median;
    State.counters["plain_same_thread_p99_us"] = same.P99;
    State.counters["session_p99_us"] = session.P99;
    State.counters["session_to_plain_same_thread"] = session.Median / same.Median;
    State.counters["session_to_plain_echo_thread"] = session.Median / echo.Median;
}
BENCHMARK(BM_PacketRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- Idle CPU -------------------------------------------------------------------------------------------------

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_IdleCpu(benchmark::State& State) {
    TNetScope net;
    const char* env = std::getenv("TOLVANE_IDLE_SECONDS");
    const int seconds = env ? std::max(1, std::atoi(env)) : 30;
    const auto firstPeriod = static_cast<uint32_t>(State.range(0));
    const auto sessions = static_cast<int>(State.range(1));
    for (auto _ : State) {
        rv::TRV_MultiTimer* timers = rv::MultiTimer.load();
        std::vector<rv::T_TimerID> ids;
        long calls = 0;
        for (uint32_t i = 0; i < 100; ++i)
            ids.push_back(timers->CreateMSTimer(firstPeriod + i, [&calls] { ++calls; }));
        rv::TWS_ServerSession server(true, false);
        server.OnClientConnect = [](rv::TWS_ServerSession*, rv::TWS_TcpIpSession*) {};
        if (!server.StartServerSession(0)) throw std::runtime_error("no server");
        std::vector<std::unique_ptr<rv::TWS_TcpIpSession>> clients;
        for (int i = 0; i < sessions; ++i) {
            clients.push_back(std::make_unique<rv::TWS_TcpIpSession>(true, false));
            if (!clients.back()->OpenConnection(Loopback(), server.ServerPort(), 5000, false))
                throw std::runtime_error("no connection");
        }
        ServeMainThreadUntil([&] { return server.GetClientCount() == sessions; }, std::chrono::seconds(5));
        // The program's own loop, ended by a timer on the timer thread.
        rv::T_TimerID end =
            timers->CreateOneShotTimerEx(static_cast<uint32_t>(seconds) * 1000,
                                         rv::T_TimerCallBackOptions::tcbNotSynchronized,
                                         [] { rv::ApplicationTerminate(0); });
        double cpu0 = ProcessCpuSeconds();
        auto wall0 = Clock::now();
        rv::RunMessageLoop();
        double cpu = ProcessCpuSeconds() - cpu0;
        double wall = Seconds(Clock::now() - wall0);
        rv::ResetApplicationTerminated();
        timers->FreeTimer(end);
        for (auto& id : ids) timers->FreeTimer(id);
        State.SetIterationTime(wall);
        State.counters["cpu_ms"] = cpu * 1000.0;
        State.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
        State.counters["timer_calls"] = static_cast<double>(calls);
        State.counters["connections"] = server.GetClientCount();
    }
}
// The goal's case (1 s timers and 20 connections), and each part alone: the timers at rest (periods of a minute
// and more: none expires in the window), and no connections.
BENCHMARK(BM_IdleCpu)
    ->ArgNames({"first_period_ms", "connections"})
    ->Args({1000, 20})
    ->Args({60000, 20})
    ->Args({1000, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace
