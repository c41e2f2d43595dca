// The plain stream socket over real loopback connections: connecting, sending more than the platform takes at
// once, reading to the peer's close, and the reset that Abort gives.

#include "net/stream_socket.h"

#include "tests/net/net_test_support.h"
#include "tests/net/reset_expectation.h"
#include "tests/net/session_test_support.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>

using net_testing::FreeTcpPort;
using net_testing::Loopback;
using net_testing::PumpFor;
using testing_support::PumpUntil;

namespace {

// A stream socket that reads whatever comes into Received and records its connect and close.
struct TReader {
    explicit TReader(std::unique_ptr<rv::TWS_StreamSocket> S) : Socket(std::move(S)) {
        Socket->OnConnect = [this](rv::TWS_StreamSocket*, int32_t E) { ConnectErrors.push_back(E); };
        Socket->OnDataAvailable = [this](rv::TWS_StreamSocket* S) {
            if (!Reading) return;
            char b[8192];
            int32_t e = 0;
            int n;
            while ((n = S->Receive(b, sizeof b, e)) > 0) Received.append(b, static_cast<size_t>(n));
        };
        Socket->OnClose = [this](rv::TWS_StreamSocket*, int32_t E) { CloseErrors.push_back(E); };
    }
    std::unique_ptr<rv::TWS_StreamSocket> Socket;
    std::string Received;
    bool Reading = true;
    std::vector<int32_t> ConnectErrors;
    std::vector<int32_t> CloseErrors;
};

// A client stream socket connected to an accepted one.
struct TPair {
    TPair() {
        uint16_t port = 0;
        rv::TSocket listener = net_testing::Listener(port);
        Client = std::make_unique<TReader>(std::make_unique<rv::TWS_StreamSocket>());
        EXPECT_TRUE(Client->Socket->Connect(Loopback(), port));
        EXPECT_TRUE(PumpUntil([&] { return !Client->ConnectErrors.empty(); }));
        rv::TSocket accepted;
        rv::T_NumericIpAddress from;
        EXPECT_TRUE(PumpUntil([&] { return rv::WS_Accept(listener, accepted, from); }));
        rv::WS_CloseSocket(listener);
        Server = std::make_unique<TReader>(std::make_unique<rv::TWS_StreamSocket>(accepted));
    }
    std::unique_ptr<TReader> Client;
    std::unique_ptr<TReader> Server;
};

TEST(StreamSocket, SendsMoreThanThePlatformTakesAtOnceInOrder) {
    TPair p;
    ASSERT_EQ(p.Client->ConnectErrors, std::vector<int32_t>{0});
    ASSERT_TRUE(p.Client->Socket->Connected());
    p.Server->Reading = false;
    // Until the platform's buffers are full (their size differs between platforms) and bytes wait in the queue.
    std::string data;
    for (uint32_t i = 0; i < 64 && p.Client->Socket->WaitingToSend() == 0; ++i) {
        const std::string piece = session_testing::Pattern(1024 * 1024, i);
        ASSERT_TRUE(p.Client->Socket->Send(piece));
        data += piece;
    }
    ASSERT_GT(p.Client->Socket->WaitingToSend(), 0u) << "a reader that does not read leaves bytes queued";
    p.Server->Reading = true;
    // Asking again reports the data that is already waiting.
    p.Server->Socket->SetSocketEvents(rv::C_FD_READ | rv::C_FD_WRITE | rv::C_FD_CLOSE);
    ASSERT_TRUE(PumpUntil([&] { return p.Server->Received.size() == data.size(); }, 20000));
    EXPECT_TRUE(p.Server->Received == data);
    EXPECT_EQ(p.Client->Socket->WaitingToSend(), 0u);
}

TEST(StreamSocket, PeerCloseComesOnceAfterItsData) {
    TPair p;
    ASSERT_TRUE(p.Server->Socket->Send("last words"));
    p.Server->Socket->Close();
    ASSERT_TRUE(PumpUntil([&] { return !p.Client->CloseErrors.empty(); }));
    PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(p.Client->Received, "last words");
    EXPECT_EQ(p.Client->CloseErrors, std::vector<int32_t>{0});
    EXPECT_FALSE(p.Client->Socket->Connected());
    EXPECT_TRUE(p.Server->CloseErrors.empty()) << "closing by hand raises no event";
}

TEST(StreamSocket, AbortResetsThePeer) {
    TPair p;
    p.Server->Socket->Abort();
    ASSERT_TRUE(PumpUntil([&] { return !p.Client->CloseErrors.empty(); }));
    PumpFor(net_testing::kQuietMs);
    ASSERT_EQ(p.Client->CloseErrors.size(), 1u);
    EXPECT_THAT(net_testing::ResetCloseErrors(), testing::Contains(p.Client->CloseErrors[0]));
    EXPECT_FALSE(p.Client->Socket->Send("x"));
}

TEST(StreamSocket, RefusedConnectIsReportedOnce) {
    TReader r(std::make_unique<rv::TWS_StreamSocket>());
    ASSERT_TRUE(r.Socket->Connect(Loopback(), FreeTcpPort()));
    ASSERT_TRUE(PumpUntil([&] { return !r.ConnectErrors.empty(); }));
    PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(r.ConnectErrors, std::vector<int32_t>{rv::C_WSAECONNREFUSED});
    EXPECT_TRUE(r.CloseErrors.empty());
    EXPECT_FALSE(r.Socket->Connected());
}

} // namespace
