#pragma once
// Helpers for the socket tests: real sockets on loopback, and socket objects that record their events.

#include "net/socket_notifier.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace net_testing {

struct TEvent {
    uint16_t Event;
    uint16_t Error;
    bool operator==(const TEvent&) const = default;
};

// Records every event it is given (main thread); OnEvent, when set, runs after the event was recorded.
class TRecordingSocket : public rv::TWS_SocketObj {
public:
    explicit TRecordingSocket(rv::TSocket S = rv::C_InvalidSocket) { FSocket = S; }
    ~TRecordingSocket() override { LeaveNotifier(); }
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;
    int Count(uint16_t Event) const;
    std::vector<TEvent> Events;
    bool OnMainThread = true;
    std::function<void(uint16_t Event, uint16_t Error)> OnEvent;
};

// Handles that no socket has: the notifier only compares them.
constexpr rv::TSocket kFakeHandle = 0x7000123;
constexpr rv::TSocket kOtherFakeHandle = 0x7000456;

// A recording object on a fake handle that logs its name on each event; the handle is dropped before
// destruction so nothing is closed.
class TFakeSocket : public TRecordingSocket {
public:
    TFakeSocket(std::vector<std::string>& Log, std::string Name, rv::TSocket S = kFakeHandle)
        : TRecordingSocket(S), FLog(Log), FName(std::move(Name)) {}
    ~TFakeSocket() override { FSocket = rv::C_InvalidSocket; }
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;

private:
    std::vector<std::string>& FLog;
    std::string FName;
};

// The notification the notifier's window gets when Event (with Error) happened on S.
rv::TMessage SelectMessage(rv::TSocket S, uint16_t Event, uint16_t Error = 0);

// A UDP socket of the tests' own, bound to Addr:Port (0: any), that keeps every datagram with the time it came.
class TRawUdp : public rv::TWS_SocketObj {
public:
    explicit TRawUdp(rv::T_NumericIpAddress Addr, uint16_t Port = 0);
    ~TRawUdp() override { LeaveNotifier(); }
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;
    bool SendTo(const std::string& Data, rv::T_NumericIpAddress Addr, uint16_t Port);
    uint16_t Port() const;
    struct TDatagram {
        std::string Data;
        rv::TWS_SockAddrIn From;
        std::chrono::steady_clock::time_point At;
    };
    std::vector<TDatagram> Received;
};

rv::T_NumericIpAddress Loopback();   // 127.0.0.1
rv::T_NumericIpAddress Loopback2();  // 127.0.0.2: on loopback, yet not one of the host's listed addresses
// The first IPv4 address the platform's own resolver gives for Name (getaddrinfo), 0 when it gives none: what a
// look-up should find, whatever this machine's host files say.
rv::T_NumericIpAddress SystemLookUp(const std::string& Name);

// A listening TCP socket on 127.0.0.1 and a free port; the port goes to Port.
rv::TSocket Listener(uint16_t& Port);
// A port on 127.0.0.1 that nothing listens on (bound for a moment, then released).
uint16_t FreeTcpPort();
uint16_t FreeUdpPort();
// A connected pair on loopback: Client (blocking, connected with WS_ConnectToSocket) and Server (accepted).
void TcpPair(rv::TSocket& Client, rv::TSocket& Server);
// Closes S when open.
void CloseQuietly(rv::TSocket& S);

// Pumps the main thread's messages for Ms. Only for checking that something does NOT happen: the time the
// platform gets to do it anyway. Waiting for something to happen uses PumpUntil.
void PumpFor(uint32_t Ms);
constexpr uint32_t kQuietMs = 150;

} // namespace net_testing
