#pragma once
// TWS_StreamSocket: a plain TCP byte stream on the socket notifier, without the session's packet framing. The
// HTTP client talks through it, and the tests' small servers answer through it.
//
// Threads: main thread only. Events come from the notifier's dispatch; the handlers may close the socket or
// connect it again, but must not free the object (free it from a deferred call).

#include "net/socket_notifier.h"

#include <cstdint>
#include <functional>
#include <string>

namespace rv {

class TWS_StreamSocket;

// Error: 0 when connected, else the Winsock code (10061 refused, ...).
using TWS_OnStreamConnect = std::function<void(TWS_StreamSocket* Sender, int32_t Error)>;
// Bytes wait to be read: call Receive until it reports would-block.
using TWS_OnStreamData = std::function<void(TWS_StreamSocket* Sender)>;
// The peer closed (0) or the connection failed (the Winsock code, 10054 for a reset). Reported once, after
// OnDataAvailable has been given the chance to read what the peer sent before closing.
using TWS_OnStreamClose = std::function<void(TWS_StreamSocket* Sender, int32_t Error)>;

class TWS_StreamSocket : public TWS_SocketObj {
public:
    // No socket yet: Connect makes one. Main thread.
    TWS_StreamSocket();
    // Adopts an accepted, connected socket and asks for read, write and close events. Main thread.
    explicit TWS_StreamSocket(TSocket Accepted);
    // Closes the socket. Main thread, never inside the object's own event.
    ~TWS_StreamSocket() override;

    // Closes any present socket, then connects a fresh one to the host; the outcome comes as OnConnect. False
    // at once (LastWSError) when the connect cannot start. Main thread.
    bool Connect(T_NumericIpAddress HostAddr, uint16_t HostPort);
    // Sends all of Data: what the platform does not take now goes out on the next write events. False when not
    // connected or the send failed (LastWSError). Main thread.
    bool Send(const void* Data, uint32_t Len);
    bool Send(const std::string& Data) { return Send(Data.data(), static_cast<uint32_t>(Data.size())); }
    // One read: the byte count, 0 when the peer closed, or -1 with the Winsock code in Error (10035 would-block:
    // nothing waits now; the next data raises OnDataAvailable again). Main thread.
    int Receive(void* Buffer, int Len, int32_t& Error);
    // Closes in order (FIN); no event follows. Main thread.
    void Close();
    // Closes with a reset; no event follows. Main thread.
    void Abort();
    // Connected and not closed since. Main thread.
    bool Connected() const { return FConnected; }
    // The peer has closed and OnDataAvailable is being called for the last time: read everything that is left,
    // no further read event follows. Main thread.
    bool PeerClosing() const { return FPeerClosing; }
    // Bytes queued for the write events. Main thread.
    size_t WaitingToSend() const { return FOut.size() - FOutPos; }

    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override;

    TWS_OnStreamConnect OnConnect;
    TWS_OnStreamData OnDataAvailable;
    TWS_OnStreamClose OnClose;

private:
    // Sends queued bytes until done or would-block; false (and the close is reported) on a failure.
    bool Flush();
    void Closed(int32_t Error);

    bool FConnected = false;
    bool FConnecting = false;
    bool FPeerClosing = false;
    std::string FOut;   // bytes waiting for a write event
    size_t FOutPos = 0; // the first of them not sent yet
};

} // namespace rv
