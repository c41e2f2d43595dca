#include "net/stream_socket.h"

#include "foundation/thread_contract.h"

namespace rv {

TWS_StreamSocket::TWS_StreamSocket() = default;

TWS_StreamSocket::TWS_StreamSocket(TSocket Accepted) {
    RV_ASSERT_MAIN_THREAD();
    FSocket = Accepted;
    FConnected = true;
    SetSocketEvents(C_FD_READ | C_FD_WRITE | C_FD_CLOSE);
}

TWS_StreamSocket::~TWS_StreamSocket() {
    LeaveNotifier();
    ShutDownSocket();
}

bool TWS_StreamSocket::Connect(T_NumericIpAddress HostAddr, uint16_t HostPort) {
    RV_ASSERT_MAIN_THREAD();
    Close();
    TSocket s = C_InvalidSocket;
    if (!WS_CreateSocket(s)) return false;
    FSocket = s;
    if (!SetSocketEvents(C_FD_READ | C_FD_WRITE | C_FD_CONNECT | C_FD_CLOSE)) {
        ShutDownSocket();
        return false;
    }
    // Before the connect: its event comes through the message queue, never before this returns.
    FConnecting = true;
    if (!WS_ConnectToSocket(s, HostAddr, HostPort)) {
        FConnecting = false;
        ShutDownSocket();
        return false;
    }
    return true;
}

bool TWS_StreamSocket::Send(const void* Data, uint32_t Len) {
    RV_ASSERT_MAIN_THREAD();
    if (!FConnected) {
        LastWSError = C_WSAENOTCONN;
        return false;
    }
    if (FOutPos == FOut.size()) {
        FOut.clear();
        FOutPos = 0;
    }
    FOut.append(static_cast<const char*>(Data), Len);
    return Flush();
}

bool TWS_StreamSocket::Flush() {
    while (FOutPos < FOut.size()) {
        int32_t error = 0;
        const int n = WS_Send(FSocket.load(), FOut.data() + FOutPos, static_cast<int>(FOut.size() - FOutPos), &error);
        if (n < 0) return error == C_WSAEWOULDBLOCK; // the write event sends the rest
        FOutPos += static_cast<size_t>(n);
    }
    FOut.clear();
    FOutPos = 0;
    return true;
}

int TWS_StreamSocket::Receive(void* Buffer, int Len, int32_t& Error) {
    RV_ASSERT_MAIN_THREAD();
    Error = 0;
    const TSocket s = FSocket.load();
    if (!SocketIsOpen(s)) {
        Error = C_WSAENOTCONN;
        return -1;
    }
    return WS_Recv(s, Buffer, Len, &Error);
}

void TWS_StreamSocket::Close() {
    RV_ASSERT_MAIN_THREAD();
    FConnected = FConnecting = false;
    FOut.clear();
    FOutPos = 0;
    ShutDownSocket();
}

void TWS_StreamSocket::Abort() {
    RV_ASSERT_MAIN_THREAD();
    FConnected = FConnecting = false;
    FOut.clear();
    FOutPos = 0;
    TSocket s = FSocket.load();
    if (!SocketIsOpen(s)) return;
    SetSocketEvents(0);
    FSocket = C_InvalidSocket;
    WS_AbortSocket(s);
}

void TWS_StreamSocket::Closed(int32_t Error) {
    FConnected = FConnecting = false;
    FOut.clear();
    FOutPos = 0;
    ShutDownSocket();
    if (OnClose) OnClose(this, Error);
}

void TWS_StreamSocket::ProcessEvent(uint16_t EventId, uint16_t ErrorCode) {
    RV_ASSERT_MAIN_THREAD();
    switch (EventId) {
    case C_FD_CONNECT:
        if (!FConnecting) break;
        FConnecting = false;
        if (ErrorCode != 0) {
            ShutDownSocket();
        } else {
            FConnected = true;
        }
        if (OnConnect) OnConnect(this, ErrorCode);
        break;
    case C_FD_WRITE:
        if (FConnected && !Flush()) Closed(LastWSError.load());
        break;
    case C_FD_READ:
        if (FConnected && OnDataAvailable) OnDataAvailable(this);
        break;
    case C_FD_CLOSE: {
        if (!FConnected) break;
        // Winsock may report the close while bytes the peer sent before it still wait: they are read first.
        const TSocket s = FSocket.load();
        if (ErrorCode == 0 && OnDataAvailable) {
            FPeerClosing = true;
            OnDataAvailable(this);
            FPeerClosing = false;
        }
        // The handler may have closed or reconnected the socket meanwhile.
        if (FConnected && FSocket.load() == s) Closed(ErrorCode);
        break;
    }
    default: break;
    }
}

} // namespace rv
