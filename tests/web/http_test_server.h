#pragma once
// A small HTTP server for the web tests, on 127.0.0.1 and the project's own sockets (so the same tests run on
// both socket backends). Each path has a scripted answer: bytes sent at once, further pieces sent later, and what
// happens then (close, stay silent, reset). Main thread; it answers while the test pumps messages.

#include "net/multi_timer.h"
#include "net/stream_socket.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace web_testing {

enum class TAfter { Close, StayOpen, Reset };

struct TRoute {
    std::string Answer;              // sent as soon as the request has been read
    std::vector<std::string> Later;  // then these, one every LaterMs
    uint32_t LaterMs = 0;
    TAfter After = TAfter::Close;    // once everything is sent
};

// An answer with a status line, the given header lines (each ending in CR LF) and a body; WithLength adds
// Content-Length.
std::string Answer(int Status, const std::string& Body, const std::string& Headers = "", bool WithLength = true);

class THttpTestServer {
public:
    THttpTestServer();
    ~THttpTestServer();

    uint16_t Port() const { return FPort; }
    std::string Url(const std::string& Path) const;
    void Route(const std::string& Path, TRoute R) { FRoutes[Path] = std::move(R); }
    void Route(const std::string& Path, std::string Answer, TAfter After = TAfter::Close) {
        FRoutes[Path] = TRoute{std::move(Answer), {}, 0, After};
    }
    // Requests for Path so far, and the tick count at which each was read.
    int Hits(const std::string& Path) const;
    std::vector<uint32_t> HitTimes(const std::string& Path) const;
    // Every request read, whole, in order.
    std::vector<std::string> Requests;

private:
    class TListener;
    struct TConn;
    void Accepted(rv::TSocket S);
    void E_Data(TConn& C);
    void SendLater(TConn& C);
    void Finish(TConn& C);

    uint16_t FPort = 0;
    std::unique_ptr<TListener> FListener;
    std::vector<std::unique_ptr<TConn>> FConns; // freed with the server: never inside their own events
    std::map<std::string, TRoute> FRoutes;
    std::multimap<std::string, uint32_t> FHits;
};

} // namespace web_testing
