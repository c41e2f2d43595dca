// Socket tests whose expectations are those of the Windows backends.
#include "tests/net/platform_test.h"

#include "net/socket_notifier.h"
#include "net/socket_primitives.h"
#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace net_testing;
using testing_support::PumpUntil;

void ExpectTheLocalIpOfTheHostName(const std::string&) { EXPECT_NE(rv::WS_LocalIP(), 0u); }

// Winsock hands a closed socket's handle value to the next socket at once, while events posted for the closed
// one may still wait in the queue: delivered by handle, they would reach the new socket.
TEST(SocketNotifier, EventsQueuedForAClosedSocketNeverReachTheSocketThatGetsItsHandleAgain) {
    std::vector<std::string> log;
    TRecordingSocket first;
    rv::TSocket s;
    ASSERT_TRUE(rv::WS_CreateSocket(s));
    first.FSocket = s;
    ASSERT_TRUE(first.SetSocketEvents(rv::C_FD_READ | rv::C_FD_CLOSE));
    const rv::TSocket handle = s;
    // A close the platform posted before the socket was closed, still queued.
    rv::T_WSAsyncSocketNotifier* n = rv::WSFOwner.load();
    ASSERT_TRUE(n->PostMessage(rv::C_WM_WSASYNC_SELECT, handle, rv::WS_MakeSelectReply(rv::C_FD_CLOSE, 0)));
    first.ShutDownSocket();
    // The socket that got the handle again (here: an object holding it), and an event posted for it.
    TFakeSocket second(log, "second", handle);
    ASSERT_TRUE(n->PostMessage(rv::C_WM_WSASYNC_SELECT, handle, rv::WS_MakeSelectReply(rv::C_FD_READ, 0)));
    ASSERT_TRUE(PumpUntil([&] { return !second.Events.empty(); }));
    PumpFor(kQuietMs);
    EXPECT_EQ(second.Events, (std::vector<TEvent>{{rv::C_FD_READ, 0}}));
}
