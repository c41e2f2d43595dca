#pragma once
// Helpers for the session tests: a raw peer socket whose bytes the test controls, sessions that report their
// end, and a small record to send. The timer service comes with timer_environment.cpp.

#include "net/tcp_session.h"
#include "stream/smart_stream.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace session_testing {

// A small record the session tests send: a number and a text.
class TNote : public rv::TRV_SmartStream {
public:
    int32_t Number = 0;
    std::string Text;

protected:
    void AssignElements() override {
        TRV_SmartStream::AssignElements();
        AddLongInt(Number);
        AddLongString(Text);
    }
};

// "02 03 00 00 80" -> bytes.
std::string Hex(const std::string& Text);
// A payload of N bytes that shows a misplaced byte: i * 7 + 1 mod 251.
std::string Pattern(uint32_t N, uint32_t Seed = 0);
// The packet as a sender of this program puts it on the wire.
std::string Packet(const std::string& Payload, bool AskAck);

// One end of a TCP connection driven byte by byte (main thread). It reads everything that arrives into Received
// (unless Reading is off) and records the peer's close.
class TRawPeer : public rv::TWS_SocketObj {
public:
    explicit TRawPeer(rv::TSocket S);
    ~TRawPeer() override { LeaveNotifier(); }
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;
    // Sends all of Data, keeping the main thread's messages flowing while the socket's buffer is full.
    bool Send(const std::string& Data);
    // Turns reading on again and takes what waits.
    void StartReading();
    // Waits (pumping) until Received holds at least N bytes.
    bool WaitForBytes(size_t N, uint32_t TimeoutMs = 5000);
    void Close() { ShutDownSocket(); }

    std::string Received;
    bool Reading = true;
    bool Closed = false;
    int32_t CloseError = -1;

private:
    void ReadAvailable();
};

// A session that records what it is given and when it is freed.
class TProbeSession : public rv::TWS_TcpIpSession {
public:
    TProbeSession(rv::TSocket S, std::atomic<bool>* Freed = nullptr);
    TProbeSession(bool NoDelay, std::atomic<bool>* Freed = nullptr);
    ~TProbeSession() override;

    std::vector<std::string> Packets; // OnData payloads, in order
    int Acks = 0;
    int Connects = 0;
    int DisConnects = 0;
    std::function<bool(const std::string&)> Take = [](const std::string&) { return true; };

private:
    void Hook();
    std::atomic<bool>* FFreed;
};

// A connected pair over loopback: a session adopting one end as a server does (DoConnected, then read and close
// events) and a raw peer on the other. IdleMs is the session's idle period, set before it comes up.
void MakeAdoptedPair(std::unique_ptr<TProbeSession>& Session, std::unique_ptr<TRawPeer>& Peer, uint32_t IdleMs = 0,
                     std::atomic<bool>* Freed = nullptr);

} // namespace session_testing
