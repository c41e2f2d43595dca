#include "web/http_client.h"

#include "foundation/deferred_calls.h"
#include "foundation/thread_contract.h"
#include "net/async_name_lookup.h"

namespace rv {

namespace {

// One read takes at most this much; the socket reports again for the rest.
constexpr int C_ReadChunk = 16 * 1024;
// Reads in one socket event, so one fast server does not hold up the main thread's other messages.
constexpr int C_ReadsPerEvent = 16;

} // namespace

THttpClient::THttpClient() : FLife(std::make_shared<THttpClient*>(this)) {
    RV_ASSERT_MAIN_THREAD();
    FSocket = std::make_unique<TWS_StreamSocket>();
    FSocket->OnConnect = [this](TWS_StreamSocket*, int32_t Error) { E_Connected(Error); };
    FSocket->OnDataAvailable = [this](TWS_StreamSocket*) { E_DataAvailable(); };
    FSocket->OnClose = [this](TWS_StreamSocket*, int32_t Error) { E_Closed(Error); };
    FDoneHandle = AsyncRegisterCallBackEvent([this](int32_t Error) { E_RequestDone(Error); });
}

THttpClient::~THttpClient() {
    RV_ASSERT_MAIN_THREAD();
    *FLife = nullptr;
    AsyncRemoveCallBackEvent(FDoneHandle);
    FSocket.reset();
}

void THttpClient::GetASync() {
    RV_ASSERT_MAIN_THREAD();
    if (Busy()) {
        // The running request goes on; this call is answered on its own.
        AsyncPostNotification(FDoneHandle, C_httperrBusy);
        return;
    }
    FRedirects = 0;
    FStatusCode = 0;
    FContentLength = 0;
    FRcvdCount = 0;
    FState = TState::LookingUp;
    StartUrl(URL);
}

void THttpClient::StartUrl(const std::string& Url) {
    FCurrentUrl = Url;
    if (!ParseHttpUrl(Url, FUrl)) {
        Finish(C_httperrBadUrl);
        return;
    }
    FStatusCode = 0;
    FContentLength = 0;
    FRcvdCount = 0;
    FFollowLocation = false;
    T_NumericIpAddress addr = 0;
    if (WS_StrToIp(FUrl.Host, addr)) {
        Connect(addr);
        return;
    }
    FState = TState::LookingUp;
    const uint32_t serial = ++FLookUpSerial;
    std::weak_ptr<THttpClient*> life = FLife;
    const bool started = WS_AsyncLookUpName(FUrl.Host, [life, serial](int32_t Error, const std::string& Result) {
        auto l = life.lock();
        if (!l || !*l) return;
        THttpClient* self = *l;
        if (self->FLookUpSerial != serial || self->FState != TState::LookingUp) return;
        self->E_LookUpDone(Error, Result);
    });
    if (!started) Finish(LastWSError.load() ? LastWSError.load() : C_WSAHOST_NOT_FOUND);
}

void THttpClient::E_LookUpDone(int32_t Error, const std::string& Result) {
    T_NumericIpAddress addr = 0;
    if (Error != 0 || !WS_StrToIp(Result, addr)) {
        Finish(Error ? Error : C_WSAHOST_NOT_FOUND);
        return;
    }
    Connect(addr);
}

void THttpClient::Connect(T_NumericIpAddress Addr) {
    FState = TState::Connecting;
    if (!FSocket->Connect(Addr, FUrl.Port)) Finish(LastWSError.load() ? LastWSError.load() : C_WSAECONNREFUSED);
}

void THttpClient::E_Connected(int32_t Error) {
    if (FState != TState::Connecting) return;
    if (Error != 0) {
        Finish(Error);
        return;
    }
    FState = TState::Waiting;
    FParser = std::make_unique<THttpResponseParser>(MaxBodySize);
    FParser->OnStatusLine = [this](int Status) { return E_StatusLine(Status); };
    FParser->OnHeadersDone = [this] { return E_HeadersDone(); };
    FParser->OnBody = [this](const char* Data, size_t Len) { E_Body(Data, Len); };
    FRequestText = "GET " + FUrl.Path + " HTTP/1.0\r\n" + "Host: " + FUrl.Host + "\r\n" + "User-Agent: " + Agent +
                   "\r\n" + "Accept: " + Accept + "\r\n" + "\r\n";
    if (!FSocket->Send(FRequestText)) {
        Finish(LastWSError.load() ? LastWSError.load() : C_WSAENOTCONN);
        return;
    }
    if (OnSendData) OnSendData(this, static_cast<uint32_t>(FRequestText.size()));
}

bool THttpClient::E_StatusLine(int Status) {
    FStatusCode = Status;
    // A failure's body is of no use: the answer ends here.
    return Status < 400;
}

bool THttpClient::E_HeadersDone() {
    FContentLength = FParser->ContentLength() >= 0 ? FParser->ContentLength() : 0;
    if (!FParser->Location().empty()) {
        FFollowLocation = true;
        return false;
    }
    return true;
}

void THttpClient::E_Body(const char* Data, size_t Len) {
    FRcvdCount += Len;
    if (RcvdStream) RcvdStream->WriteBuffer(Data, static_cast<int64_t>(Len));
    if (OnDocData) OnDocData(this, Data, static_cast<uint32_t>(Len));
}

void THttpClient::E_DataAvailable() {
    if (FState != TState::Waiting || !FParser) return;
    char buffer[C_ReadChunk];
    bool stopped = false;
    // After the peer's close no read event follows: what is left is read now (the parser's limits bound it).
    const bool last = FSocket->PeerClosing();
    for (int reads = 0; (last || reads < C_ReadsPerEvent) && !stopped; ++reads) {
        int32_t error = 0;
        const int n = FSocket->Receive(buffer, sizeof buffer, error);
        if (n < 0) {
            if (error != C_WSAEWOULDBLOCK) Finish(error);
            return;
        }
        if (n == 0) {
            E_Closed(0);
            return;
        }
        stopped = !FParser->Feed(buffer, static_cast<size_t>(n));
    }
    // Not stopped: more is to come, and every read re-armed the read event, so the socket reports again.
    if (!stopped) return;
    if (FParser->Failed()) {
        Finish(FParser->Error());
    } else if (FFollowLocation) {
        THttpUrl next;
        if (++FRedirects > C_MaxHttpRedirects) {
            Finish(C_httperrTooManyRedirects);
        } else if (!ResolveHttpLocation(FUrl, FParser->Location(), next)) {
            Finish(C_httperrBadUrl);
        } else {
            FSocket->Close();
            FParser.reset();
            StartUrl(next.Text());
        }
    } else {
        // Done, or a status of 400 and above read.
        Finish(0);
    }
}

void THttpClient::E_Closed(int32_t Error) {
    if (FState == TState::Connecting) {
        Finish(Error ? Error : C_httperrNoAnswer);
        return;
    }
    if (FState != TState::Waiting || !FParser) return;
    if (Error != 0) {
        Finish(Error);
        return;
    }
    FParser->EndOfInput();
    if (FParser->Failed())
        Finish(FParser->Error());
    else
        Finish(0);
}

void THttpClient::Abort() {
    RV_ASSERT_MAIN_THREAD();
    if (Busy()) Finish(C_httperrAborted);
}

void THttpClient::Finish(int32_t Error) {
    if (FState == TState::Idle) return;
    FState = TState::Idle;
    ++FLookUpSerial; // a look-up still running is forgotten
    FSocket->Close();
    AsyncPostNotification(FDoneHandle, Error);
}

void THttpClient::E_RequestDone(int32_t Error) {
    // The parser is kept until here: its handlers may be on the stack when Finish runs.
    FParser.reset();
    // A copy: the handler may free the client, and with it the handler itself.
    if (THttpRequestDone done = OnRequestDone) done(this, Error);
}

} // namespace rv
