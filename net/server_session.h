#pragma once
// TWS_ServerSession: a listening TCP socket that turns every accepted connection into a TWS_TcpIpSession it owns.
//
// Main thread only: accept and close events arrive there, and the client list is not locked. A client session
// that disconnects leaves the list, is reported through OnClientDisConnect and then frees itself (deferred).

#include "foundation/object_list.h"
#include "net/tcp_session.h"

#include <cstdint>
#include <functional>

namespace rv {

class TWS_ServerSession;

// How long a server that ran out of descriptors waits before it accepts again.
constexpr uint32_t C_AcceptRetryMs = 250;

// An owning list of sessions: deleting or clearing frees them.
class TWS_TcpIpSessionList : public TRV_ObjectList<TWS_TcpIpSession> {
public:
    TWS_TcpIpSession* GetItem(int Index) const { return Items(Index); }
};

// (Sender: the server, Session: the client session.)
using TWS_OnClientConnect = std::function<void(TWS_ServerSession* Sender, TWS_TcpIpSession* Session)>;

class TWS_ServerSession : public TWS_SocketObj {
public:
    // Main thread. Registers with the notifier; nothing listens until StartServerSession.
    TWS_ServerSession(bool NoTcpDelay, bool KeepAlive);
    // Main thread, not inside an event of the server or of one of its clients: frees every client session,
    // then closes the listening socket (and frees the accept retry timer).
    ~TWS_ServerSession() override;

    // Listens on every interface on ServerPort (0: a free port, which FServerPort then holds) with a backlog
    // of 5, closing any previous listening socket first. False with LastWSError (0 when the failing step stored
    // none); WS_PortInUseError tells a port already taken. Main thread.
    bool StartServerSession(uint16_t ServerPort);
    // Accepts one connection into a new client session; none when the accept failed or a limit is reached (the
    // connection is then closed at once). When the accept failed for want of descriptors or buffers, the server
    // stops asking for accept events for C_AcceptRetryMs, so the waiting connection does not spin the main
    // thread; it asks again after that. Main thread.
    TWS_TcpIpSession* SessionAccept();
    // Every client session's OnDisConnect: the session leaves the list and the notifier, OnClientDisConnect
    // runs, and CanFree lets the session free itself afterwards. Main thread.
    void DoClientDisconnect(TWS_TcpIpSession* Session, bool& CanFree);
    // Frees every client session without reporting them; with DoNotAcceptAnyMoreConnections the listening
    // socket is closed first. Main thread, not inside an event of one of the clients.
    void CloseAllConnections(bool DoNotAcceptAnyMoreConnections);
    // CloseAllConnections(true). The notifier calls it for a server that still has clients when it is freed.
    // Main thread.
    void ShutDownServerSession() override;
    bool HasClientsToShutDown() const override { return GetClientCount() > 0; }

    // Event 8 (accept) calls DoSessionAccept; others are ignored. Main thread.
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;
    // Accepts only when OnClientConnect is assigned: a server without it leaves connections waiting. Main thread.
    virtual void DoSessionAccept();

    // Main thread, like everything below.
    int GetClientCount() const { return FClientList.Count(); }
    int ClientCount() const { return GetClientCount(); }
    const TWS_TcpIpSessionList& Clients() const { return FClientList; }
    uint16_t ServerPort() const { return FServerPort; }

    uint16_t FServerPort = 0;            // host order
    uint32_t FMaxClientConnections = 0;  // 0: no limit
    bool FOptionNoTcpDelay = false;      // handed to every accepted session
    bool FOptionKeepAlive = false;
    uint32_t FIdlePeriodDisconnectMs = 0; // handed to every accepted session; 0: none
    // 0: none. An accepted session that has not delivered a complete packet this long after the accept is closed
    // (its FirstPacketTimeOutMs), so connections that say nothing do not hold descriptors.
    uint32_t AcceptIdleTimeOutMs = 0;
    // 0: no limit. A connection accepted while this many sessions from the same address are open is closed at
    // once.
    uint32_t MaxConnectionsPerAddress = 0;

    TWS_OnClientConnect OnClientConnect;    // assign the session's data handlers here
    TWS_OnClientConnect OnClientDisConnect; // the session has left Clients; it is freed after the call

protected:
    // Makes the session for an accepted socket (no-delay and keep-alive as the server's options). A derived
    // server may make a derived session.
    virtual TWS_TcpIpSession* CreateClientSession(TSocket Socket);

    TWS_TcpIpSessionList FClientList;

private:
    // The accept failed for want of resources: accept events stop until the retry timer asks for them again.
    void PauseAccepting();
    void E_AcceptRetry();
    int ConnectionsFrom(T_NumericIpAddress Addr) const;

    T_TimerID AcceptRetryTimer = C_NullTimerID;
};

} // namespace rv
