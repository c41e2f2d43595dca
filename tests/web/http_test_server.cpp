#include "tests/web/http_test_server.h"

#include "foundation/tick_count.h"
#include "tests/net/net_test_support.h"

namespace web_testing {

std::string Answer(int Status, const std::string& Body, const std::string& Headers, bool WithLength) {
    std::string a = "HTTP/1.0 " + std::to_string(Status) + " Test\r\n" + Headers;
    if (WithLength) a += "Content-Length: " + std::to_string(Body.size()) + "\r\n";
    return a + "\r\n" + Body;
}

class THttpTestServer::TListener : public rv::TWS_SocketObj {
public:
    TListener(THttpTestServer& Server, rv::TSocket S) : FServer(Server) {
        FSocket = S;
        SetSocketEvents(rv::C_FD_ACCEPT);
    }
    ~TListener() override { LeaveNotifier(); }
    void ProcessEvent(uint16_t EventId, uint16_t) override {
        if (EventId != rv::C_FD_ACCEPT) return;
        rv::TSocket s;
        rv::T_NumericIpAddress from;
        while (rv::WS_Accept(FSocket.load(), s, from)) FServer.Accepted(s);
    }

private:
    THttpTestServer& FServer;
};

struct THttpTestServer::TConn {
    std::unique_ptr<rv::TWS_StreamSocket> Socket;
    std::string Request;
    bool Answered = false;
    TRoute Route;
    size_t NextPiece = 0;
    rv::T_TimerID Timer = rv::C_NullTimerID;
    ~TConn() { rv::FreeServiceTimer(Timer); }
};

THttpTestServer::THttpTestServer() {
    rv::TSocket s = net_testing::Listener(FPort);
    FListener = std::make_unique<TListener>(*this, s);
}

THttpTestServer::~THttpTestServer() {
    FListener.reset();
    FConns.clear();
}

std::string THttpTestServer::Url(const std::string& Path) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + Path;
}

int THttpTestServer::Hits(const std::string& Path) const { return static_cast<int>(FHits.count(Path)); }

std::vector<uint32_t> THttpTestServer::HitTimes(const std::string& Path) const {
    std::vector<uint32_t> times;
    auto [b, e] = FHits.equal_range(Path);
    for (auto i = b; i != e; ++i) times.push_back(i->second);
    return times;
}

void THttpTestServer::Accepted(rv::TSocket S) {
    auto c = std::make_unique<TConn>();
    TConn* conn = c.get();
    c->Socket = std::make_unique<rv::TWS_StreamSocket>(S);
    c->Socket->OnDataAvailable = [this, conn](rv::TWS_StreamSocket*) { E_Data(*conn); };
    FConns.push_back(std::move(c));
}

void THttpTestServer::E_Data(TConn& C) {
    char buffer[4096];
    for (;;) {
        int32_t error = 0;
        const int n = C.Socket->Receive(buffer, sizeof buffer, error);
        if (n <= 0) break;
        if (!C.Answered) C.Request.append(buffer, static_cast<size_t>(n));
    }
    if (C.Answered) return;
    const size_t end = C.Request.find("\r\n\r\n");
    if (end == std::string::npos) return;
    C.Answered = true;
    C.Request.resize(end + 4);
    Requests.push_back(C.Request);
    // "GET <path> HTTP/1.0"
    const size_t sp1 = C.Request.find(' ');
    const size_t sp2 = C.Request.find(' ', sp1 + 1);
    const std::string path = C.Request.substr(sp1 + 1, sp2 - sp1 - 1);
    FHits.emplace(path, rv::TickCount32());
    auto r = FRoutes.find(path);
    C.Route = r != FRoutes.end() ? r->second : TRoute{Answer(404, "not here"), {}, 0, TAfter::Close};
    C.Socket->Send(C.Route.Answer);
    if (!C.Route.Later.empty()) {
        TConn* conn = &C;
        C.Timer = rv::MultiTimer.load()->CreateMSTimer(C.Route.LaterMs, [this, conn] { SendLater(*conn); });
        return;
    }
    Finish(C);
}

void THttpTestServer::SendLater(TConn& C) {
    if (C.NextPiece < C.Route.Later.size()) C.Socket->Send(C.Route.Later[C.NextPiece++]);
    if (C.NextPiece < C.Route.Later.size()) return;
    rv::FreeServiceTimer(C.Timer);
    Finish(C);
}

void THttpTestServer::Finish(TConn& C) {
    switch (C.Route.After) {
    case TAfter::Close: C.Socket->Close(); break;
    case TAfter::Reset: C.Socket->Abort(); break;
    case TAfter::StayOpen: break;
    }
}

} // namespace web_testing
