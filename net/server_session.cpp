#include "net/server_session.h"

#include "foundation/thread_contract.h"

namespace rv {

TWS_ServerSession::TWS_ServerSession(bool NoTcpDelay, bool KeepAlive)
    : FOptionNoTcpDelay(NoTcpDelay), FOptionKeepAlive(KeepAlive) {
    RV_ASSERT_MAIN_THREAD();
}

TWS_ServerSession::~TWS_ServerSession() {
    RV_ASSERT_MAIN_THREAD();
    FreeServiceTimer(AcceptRetryTimer);
    FClientList.Clear();
    LeaveNotifier();
    ShutDownSocket();
}

bool TWS_ServerSession::StartServerSession(uint16_t ServerPort) {
    RV_ASSERT_MAIN_THREAD();
    LastWSError = 0;
    FreeServiceTimer(AcceptRetryTimer);
    ShutDownSocket();
    TSocket s = C_InvalidSocket;
    if (!WS_CreateSocket(s)) return false;
    FSocket = s;
    SetSocketEvents(C_FD_ACCEPT);
    FServerPort = ServerPort;
    if (!WS_ProtocolBind(s, 0, ServerPort)) return false;
    if (ServerPort == 0) {
        TWS_SockAddrIn bound;
        if (WS_GetSockName(s, bound)) FServerPort = WS_SockAddrPort(bound);
    }
    return WS_Listen(s, 5);
}

void TWS_ServerSession::ProcessEvent(uint16_t EventId, uint16_t /*ErrorCode*/) {
    RV_ASSERT_MAIN_THREAD();
    if (EventId == C_FD_ACCEPT) DoSessionAccept();
}

void TWS_ServerSession::DoSessionAccept() {
    RV_ASSERT_MAIN_THREAD();
    if (OnClientConnect) SessionAccept();
}

TWS_TcpIpSession* TWS_ServerSession::SessionAccept() {
    RV_ASSERT_MAIN_THREAD();
    TSocket s = C_InvalidSocket;
    T_NumericIpAddress peer = 0;
    if (!WS_Accept(FSocket.load(), s, peer)) {
        const int32_t error = LastWSError.load();
        // Out of descriptors or buffers: the connection stays waiting, so asking again at once would only fail
        // again.
        if (error == C_WSAEMFILE || error == C_WSAENOBUFS) PauseAccepting();
        return nullptr;
    }
    if ((FMaxClientConnections > 0 && static_cast<uint32_t>(GetClientCount()) >= FMaxClientConnections) ||
        (MaxConnectionsPerAddress > 0 && static_cast<uint32_t>(ConnectionsFrom(peer)) >= MaxConnectionsPerAddress)) {
        WS_CloseSocket(s);
        return nullptr;
    }
    TWS_TcpIpSession* session = CreateClientSession(s);
    session->FRemoteAddr = peer;
    session->FRemotePort = FServerPort;
    session->IdlePeriodDisconnectMs = FIdlePeriodDisconnectMs;
    session->FirstPacketTimeOutMs = AcceptIdleTimeOutMs;
    session->SetOwner(Owner());
    FClientList.Add(session);
    session->OnDisConnect = [this](TWS_TcpIpSession* Session, bool& CanFree) { DoClientDisconnect(Session, CanFree); };
    session->DoConnected();
    // The accepted socket asked for the listener's events until now; data that came meanwhile is reported here.
    session->SetSocketEvents(C_AcceptedSessionEvents);
    if (OnClientConnect) OnClientConnect(this, session);
    return session;
}

TWS_TcpIpSession* TWS_ServerSession::CreateClientSession(TSocket Socket) {
    return new TWS_TcpIpSession(Socket, FOptionNoTcpDelay, FOptionKeepAlive);
}

void TWS_ServerSession::DoClientDisconnect(TWS_TcpIpSession* Session, bool& CanFree) {
    RV_ASSERT_MAIN_THREAD();
    FClientList.NoDestroyRemove(Session);
    // Set before the handler runs, so a handler that raises still leaves the session to free itself.
    CanFree = true;
    // Off the notifier: nothing reaches the session between here and its deferred free.
    Session->SetOwner(nullptr);
    if (OnClientDisConnect) OnClientDisConnect(this, Session);
}

int TWS_ServerSession::ConnectionsFrom(T_NumericIpAddress Addr) const {
    int n = 0;
    for (int i = 0; i < FClientList.Count(); ++i)
        if (FClientList.GetItem(i)->RemoteAddr() == Addr) ++n;
    return n;
}

void TWS_ServerSession::PauseAccepting() {
    if (AcceptRetryTimer != C_NullTimerID) return; // already paused
    TRV_MultiTimer* t = MultiTimer.load();
    if (!t) return; // no timer service: nothing could ask again
    SetSocketEvents(0);
    AcceptRetryTimer = t->CreateOneShotTimer(C_AcceptRetryMs, [this] { E_AcceptRetry(); });
}

void TWS_ServerSession::E_AcceptRetry() {
    // Main thread (a synchronised call-back); the destructor frees the timer first, so this is alive.
    FreeServiceTimer(AcceptRetryTimer);
    // Asking again reports a connection that is still waiting at once.
    if (SocketIsOpen(FSocket.load())) SetSocketEvents(C_FD_ACCEPT);
}

void TWS_ServerSession::CloseAllConnections(bool DoNotAcceptAnyMoreConnections) {
    RV_ASSERT_MAIN_THREAD();
    if (DoNotAcceptAnyMoreConnections) ShutDownSocket();
    FClientList.Clear();
}

void TWS_ServerSession::ShutDownServerSession() { CloseAllConnections(true); }

} // namespace rv
