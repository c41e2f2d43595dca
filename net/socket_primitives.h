#pragma once
// The sockets library's start and stop, and thin primitives over the socket calls.
//
// Addresses are T_NumericIpAddress values in network byte order (first dotted number in the first byte); ports
// are 16-bit values in host order and are converted only inside these primitives. Errors are Winsock codes on
// both platforms: the POSIX backend translates errno through one table. Would-block (10035) is a normal result
// of the non-blocking calls: it is handed back to the caller and never stored in LastWSError.
//
// Every socket is event driven through the notifier (net/socket_notifier.h). On POSIX the reads, sends,
// accepts and connects below also keep that notifier's emulation of Winsock's event rules in step, so sockets
// are read, written, accepted and connected through these calls only.

#include "foundation/errors.h"
#include "net/socket_types.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace rv {

// The platform's IPv4 socket address record, 16 bytes, laid out as sockaddr_in on both platforms.
struct TWS_SockAddrIn {
    uint16_t sin_family = 0; // AF_INET is 2 on both platforms
    uint16_t sin_port = 0;   // network byte order
    T_NumericIpAddress sin_addr = 0;
    uint8_t sin_zero[8] = {};
};
static_assert(sizeof(TWS_SockAddrIn) == 16);
constexpr uint16_t C_AF_INET = 2;

// Winsock error codes that callers test for.
constexpr int32_t C_WSAEINTR = 10004;
constexpr int32_t C_WSAEACCES = 10013;
constexpr int32_t C_WSAEINVAL = 10022;
constexpr int32_t C_WSAEMFILE = 10024;
constexpr int32_t C_WSAEWOULDBLOCK = 10035;
constexpr int32_t C_WSAENOTSOCK = 10038;
constexpr int32_t C_WSAEMSGSIZE = 10040;
constexpr int32_t C_WSAEADDRINUSE = 10048;
constexpr int32_t C_WSAEADDRNOTAVAIL = 10049;
constexpr int32_t C_WSAENETUNREACH = 10051;
constexpr int32_t C_WSAECONNABORTED = 10053;
constexpr int32_t C_WSAECONNRESET = 10054;
constexpr int32_t C_WSAENOBUFS = 10055;
constexpr int32_t C_WSAENOTCONN = 10057;
constexpr int32_t C_WSAETIMEDOUT = 10060;
constexpr int32_t C_WSAECONNREFUSED = 10061;
constexpr int32_t C_WSAEHOSTUNREACH = 10065;
constexpr int32_t C_WSANOTINITIALISED = 10093;
constexpr int32_t C_WSAHOST_NOT_FOUND = 11001;
constexpr int32_t C_WSATRY_AGAIN = 11002;
constexpr int32_t C_WSANO_RECOVERY = 11003;
constexpr int32_t C_WSANO_DATA = 11004;

// Raised by socket objects for failures that stop an operation.
class EWS_SocketError : public ERV_Error {
public:
    using ERV_Error::ERV_Error;
};

// The Winsock error code of the last primitive that failed (0 at start). Written by whichever thread failed last.
extern std::atomic<int32_t> LastWSError;

// The local host's first address (network order), set by WS_Start: the host name's address, or when that does
// not resolve the first interface address. Any thread.
extern std::atomic<T_NumericIpAddress> WS_LocalAddr;

// Guards every notifier's socket list (see net/socket_notifier.h). Recursive: the notifier holds it while a
// socket object handles its event, and the handler may free socket objects. Lives as long as the program.
std::recursive_mutex& WS_SessionCS();

// Starts the library when it is not started: the platform start-up (version 1.1), the notifier WSFOwner, the
// look-up list WS_AsyncList and the local addresses. True when started. The first call must come from the
// main thread (the notifier's window lives there); before that, calls from other threads return false with
// 10093. Later calls from any thread return true and create nothing.
bool WS_Start();
// Main thread. Frees WSFOwner (servers with clients are shut down first) and WS_AsyncList (pending look-ups are
// cancelled), then the platform clean-up, whose result goes to LastWSError. Call before FinishFoundation.
void WS_Finish();
// Any thread: whether WSFOwner exists.
bool WS_Started();

// The operations below may be called from any thread unless they say otherwise.

bool SocketIsOpen(TSocket S);
// socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) into S; false (S invalid) on failure.
bool WS_CreateSocket(TSocket& S);
// socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP) into S.
bool WS_CreateUdpSocket(TSocket& S);
// Shuts both directions down; when that worked, reads and discards what is still pending in chunks of 100
// bytes until a read fails or returns nothing (at most 64 KiB, so a peer that keeps sending cannot hold the
// close); closes S and sets it invalid. True when the close succeeded.
bool WS_CloseSocket(TSocket& S);
// Closes S at once with a reset (linger on, time 0): the peer's next read or send fails with 10054. Sets S
// invalid. True when the close succeeded.
bool WS_AbortSocket(TSocket& S);
// Binds S to {AF_INET, Port, Addr}. On POSIX a stream socket gets SO_REUSEADDR first, which gives Winsock's
// rule there: a port held only by closed connections (TIME_WAIT) can be bound again, one that is bound or
// listening cannot.
bool WS_AddressBind(TSocket S, T_NumericIpAddress S_Addr, uint16_t SinPort);
bool WS_ProtocolBind(TSocket S, T_NumericIpAddress S_Addr, uint16_t SinPort);
// Whether LastWSError is 10048 (address in use).
bool WS_PortInUseError();
// Connects S to the host; true when connected at once or when the connection is under way (would-block: a
// connect event follows). Other errors: false, and the error goes to LastWSError; 10035 never does.
bool WS_ConnectToSocket(TSocket S, T_NumericIpAddress HostAddr, uint16_t HostPort);
bool WS_Listen(TSocket S, int Backlog);
// Accepts one connection: the new socket and the peer's address. A listening socket that was not waiting for a
// connection fails with would-block, which is not stored in LastWSError. Re-enables accept events.
bool WS_Accept(TSocket ListenSocket, TSocket& ReplySocket, T_NumericIpAddress& RemoteAddr);

// recv / send / recvfrom / sendto. The result is the byte count, or -1 with the Winsock code in *Error (when
// given); would-block is not stored in LastWSError, other errors are. WS_Recv and WS_RecvFrom re-enable read
// events, WS_Send and WS_SendTo arm the write event when they would block.
int WS_Recv(TSocket S, void* Buffer, int Len, int32_t* Error = nullptr);
int WS_Send(TSocket S, const void* Data, int Len, int32_t* Error = nullptr);
// A datagram longer than Len is consumed and reported as -1 with 10040 (message too long), as Winsock does.
int WS_RecvFrom(TSocket S, void* Buffer, int Len, TWS_SockAddrIn& From, int32_t* Error = nullptr);
int WS_SendTo(TSocket S, const void* Data, int Len, const TWS_SockAddrIn& To, int32_t* Error = nullptr);
// The address S is bound to (port 0 binds give their port here).
bool WS_GetSockName(TSocket S, TWS_SockAddrIn& Addr);

// Socket options set with a 32-bit value (all bits set for "on", as the program has always done).
enum class TWS_SocketOption { Broadcast, KeepAlive, NoTcpDelay };
bool WS_SetSocketOption(TSocket S, TWS_SocketOption Option, uint32_t Value);
// Reads an option; false (and LastWSError) on failure.
bool WS_GetSocketOption(TSocket S, TWS_SocketOption Option, uint32_t& Value);

// The local host name; empty on failure.
std::string WS_GetHostName();
// Blocking look-up of a host name or dotted address: its first IPv4 address, or 0 when the name is empty, the
// library can't start or the look-up fails (error in LastWSError).
T_NumericIpAddress WS_LookUpName(const std::string& Name);
// WS_LookUpName of WS_GetHostName.
T_NumericIpAddress WS_LocalIP();

// Dotted text of an address.
std::string WS_IpToStr(T_NumericIpAddress Ip);
std::string WS_IpToStr(const TWS_SockAddrIn& Addr);
// Dotted text to an address: exactly four parts of one to three decimal digits (leading zeros allowed, still
// decimal), each 0 to 255, joined by single dots, with nothing before, between or after (no sign, no space).
// False, and Ip untouched, for anything else.
bool WS_StrToIp(const std::string& Text, T_NumericIpAddress& Ip);

// Every IPv4 address of this host, taken by WS_Start: WS_LocalAddr first, then each interface's address
// (loopback included). Datagrams from any of them are this host's own. Any thread.
std::vector<T_NumericIpAddress> WS_LocalAddresses();
bool WS_IsLocalAddress(T_NumericIpAddress Addr);
// Takes the addresses again (an adapter came or went). Any thread, after WS_Start.
void WS_RefreshLocalAddresses();

// Helpers for building addresses without platform headers.
T_NumericIpAddress WS_IpAddress(uint8_t A, uint8_t B, uint8_t C, uint8_t D);
uint16_t WS_HostToNetPort(uint16_t Port);
uint16_t WS_NetToHostPort(uint16_t Port);
TWS_SockAddrIn WS_MakeSockAddr(T_NumericIpAddress Addr, uint16_t Port);
inline uint16_t WS_SockAddrPort(const TWS_SockAddrIn& Addr) { return WS_NetToHostPort(Addr.sin_port); }

} // namespace rv
