// The TCP session over real loopback connections: framing on the wire, the receiver's state machine, paused
// reception, acknowledgements, the call-back sender, connecting and the idle disconnect.

#include "net/tcp_session.h"

#include "foundation/deferred_calls.h"
#include "foundation/stop_watch.h"
#include "net/server_session.h"
#include "stream/smart_stream.h"
#include "tests/net/net_test_support.h"
#include "tests/net/session_test_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace session_testing;
using net_testing::FreeTcpPort;
using net_testing::Loopback;
using net_testing::PumpFor;
using testing_support::PumpUntil;

namespace {

// Two sessions of this program joined over loopback: Client connected with OpenConnection, Server accepted by a
// server session (which owns it).
struct TSessionPair {
    rv::TWS_ServerSession Listener{true, false};
    std::unique_ptr<TProbeSession> Client;
    rv::TWS_TcpIpSession* Server = nullptr;
    std::vector<std::string> ServerPackets;

    TSessionPair() {
        Listener.OnClientConnect = [this](rv::TWS_ServerSession*, rv::TWS_TcpIpSession* S) {
            Server = S;
            S->OnData = [this](rv::TWS_TcpIpSession*, const uint8_t* Data, uint32_t Len) {
                ServerPackets.emplace_back(reinterpret_cast<const char*>(Data), Len);
                return true;
            };
        };
        if (!Listener.StartServerSession(0)) throw std::runtime_error("no server");
        Client = std::make_unique<TProbeSession>(true);
        if (!Client->OpenConnection(Loopback(), Listener.ServerPort(), 5000, false))
            throw std::runtime_error("no connection");
        if (!PumpUntil([this] { return Server != nullptr; })) throw std::runtime_error("not accepted");
    }
};

// Each test may adopt a connected pair (Adopt): a session set up as a server sets up an accepted one, with a raw
// peer on the other end whose bytes the test controls. Adopting again replaces the pair.
class TcpSession : public ::testing::Test {
protected:
    void Adopt(uint32_t IdleMs = 0, std::atomic<bool>* Freed = nullptr) {
        MakeAdoptedPair(session, peer, IdleMs, Freed);
    }

    std::unique_ptr<TProbeSession> session;
    std::unique_ptr<TRawPeer> peer;
};

} // namespace

TEST_F(TcpSession, SendPutsTheExactPacketOnTheWire) {
    struct TCase {
        std::string First, Second;
        bool Ack;
        std::string Wire;
    } cases[] = {
        {"abc", "", true, "02 03 00 00 80 61 62 63"},
        {"", "", true, "02 00 00 00 80"},
        {"abc", "", false, "02 03 00 00 00 61 62 63"},
        {"ab", "cd", false, "02 04 00 00 00 61 62 63 64"},
        {"", "", false, "02 00 00 00 00"},
    };
    for (const TCase& c : cases) {
        Adopt();
        session->SetReqPacketAck(c.Ack);
        ASSERT_TRUE(session->SessionSend(c.First.data(), static_cast<uint32_t>(c.First.size()), c.Second.data(),
                                         static_cast<uint32_t>(c.Second.size())));
        const std::string want = Hex(c.Wire);
        ASSERT_TRUE(peer->WaitForBytes(want.size())) << c.Wire;
        PumpFor(20);
        EXPECT_EQ(peer->Received, want) << c.Wire;
    }
}

TEST_F(TcpSession, SendOnASessionThatIsNotConnectedFailsAndSendsNothing) {
    TProbeSession idle(true);
    EXPECT_EQ(idle.Status(), rv::ssIdle);
    EXPECT_FALSE(idle.SessionSend("abc", 3));

    Adopt();
    peer->Close();
    ASSERT_TRUE(PumpUntil([&] { return session->Status() == rv::ssDisconnected; }));
    EXPECT_FALSE(session->SessionSend("abc", 3));
}

TEST_F(TcpSession, APacketSplitAcrossManyReadsIsReassembled) {
    Adopt();
    const std::string payload = Pattern(3000);
    // Bytes before the STX are discarded. Each header byte goes alone and is seen before the next is sent,
    // so the header is split across reads for certain.
    const std::string noise = Hex("41 00 ff");
    for (char b : noise) {
        ASSERT_TRUE(peer->Send(std::string(1, b)));
        PumpFor(10);
        EXPECT_EQ(session->RecState(), rv::srWaitStx);
    }
    const std::string packet = Packet(payload, false);
    const rv::T_SessionRecState after[] = {rv::srSize1, rv::srSize2, rv::srSize3, rv::srSize4, rv::srData};
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(peer->Send(packet.substr(static_cast<size_t>(i), 1)));
        ASSERT_TRUE(PumpUntil([&] { return session->RecState() == after[i]; })) << "header byte " << i;
    }
    // The payload in uneven pieces.
    size_t at = 5;
    for (size_t piece : {1u, 999u, 7u, 1500u}) {
        ASSERT_TRUE(peer->Send(packet.substr(at, piece)));
        at += piece;
        PumpFor(10);
        EXPECT_TRUE(session->Packets.empty());
    }
    ASSERT_TRUE(peer->Send(packet.substr(at)));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 1; }));
    EXPECT_EQ(session->Packets[0], payload);
    EXPECT_EQ(session->RecState(), rv::srWaitStx);
}

TEST_F(TcpSession, TwoPacketsInOneWriteAreHandedOverOneAfterTheOther) {
    Adopt();
    ASSERT_TRUE(peer->Send(Packet("first", false) + Packet("second", false) + Packet("", false)));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 3; }));
    EXPECT_EQ(session->Packets, (std::vector<std::string>{"first", "second", ""}));
}

// A stream of many small packets does not hold up the main thread's other messages: a call posted when the first
// packet is handed over runs long before the last one, and every packet still arrives, in order.
TEST_F(TcpSession, ManySmallPacketsInOneWriteLetOtherMessagesThrough) {
    Adopt();
    constexpr size_t kPackets = 1000;
    std::string stream;
    for (size_t i = 0; i < kPackets; ++i) stream += Packet(std::to_string(i), true);
    size_t handedOverWhenPostedRan = 0;
    const int32_t handle = rv::AsyncRegisterCallBackEvent([&](int32_t) {
        handedOverWhenPostedRan = session->Packets.size();
    });
    session->Take = [&](const std::string& P) {
        if (P == "0") rv::AsyncPostNotification(handle, 0);
        return true;
    };
    ASSERT_TRUE(peer->Send(stream));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == kPackets; }));
    rv::AsyncRemoveCallBackEvent(handle);
    EXPECT_GT(handedOverWhenPostedRan, 0u);
    EXPECT_LT(handedOverWhenPostedRan, kPackets / 4);
    for (size_t i = 0; i < kPackets; ++i) ASSERT_EQ(session->Packets[i], std::to_string(i));
    EXPECT_TRUE(peer->WaitForBytes(kPackets * rv::C_PacketHeaderSize)) << "every packet acknowledged";
}

TEST_F(TcpSession, AHandlerReturningFalsePausesUntilResetRx) {
    Adopt();
    session->Take = [](const std::string& p) { return p != "hold"; };
    ASSERT_TRUE(peer->Send(Packet("hold", false) + Packet("queued", false)));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 1; }));
    // Data that arrives while the packet waits is not read.
    ASSERT_TRUE(peer->Send(Packet("later", false)));
    PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(session->Packets, (std::vector<std::string>{"hold"}));
    EXPECT_EQ(session->RecState(), rv::srPacketAvailable);
    session->ResetRx();
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 3; }));
    EXPECT_EQ(session->Packets, (std::vector<std::string>{"hold", "queued", "later"}));
}

TEST_F(TcpSession, PacketsOfEverySizeInOneWriteArriveWholeAndInOrder) {
    // Sizes around what one read takes with a header, so headers and payloads are cut at every place a read can
    // end; acknowledgements in between.
    Adopt();
    const uint32_t near = rv::C_RxAheadSize - rv::C_PacketHeaderSize;
    std::vector<std::string> sent;
    std::string wire;
    uint32_t seed = 1;
    int acks = 0;
    for (uint32_t size : {0u, 1u, near - 1, near, near + 1, near + 2, rv::C_RxAheadSize, rv::C_RxAheadSize + 1,
                          2 * rv::C_RxAheadSize - 3, 3u, 5000u, near, 70000u, 4u}) {
        sent.push_back(Pattern(size, seed++));
        wire += Packet(sent.back(), false);
        if (seed % 3 == 0) {
            wire += Hex("02 00 00 00 80");
            ++acks;
        }
    }
    ASSERT_TRUE(peer->Send(wire));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == sent.size(); }));
    EXPECT_EQ(session->Packets, sent);
    EXPECT_EQ(session->Acks, acks);
    EXPECT_EQ(session->RecState(), rv::srWaitStx);
}

TEST_F(TcpSession, PacketsReadBehindAPausedOneAreHandedOverAfterResetRxEvenWhenThePeerClosed) {
    for (bool peerCloses : {false, true}) {
        SCOPED_TRACE(peerCloses ? "peer closes" : "peer stays");
        Adopt();
        session->Take = [](const std::string& p) { return p != "hold"; };
        std::vector<std::string> atDisconnect;
        session->OnDisConnect = [&](rv::TWS_TcpIpSession*, bool&) { atDisconnect = session->Packets; };
        // One write, read at once: the last two wait behind the paused packet without anything left to read.
        ASSERT_TRUE(peer->Send(Packet("hold", false) + Packet("a", false) + Packet("b", true)));
        ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 1; }));
        if (peerCloses) peer->Close();
        PumpFor(net_testing::kQuietMs);
        EXPECT_EQ(session->Packets, (std::vector<std::string>{"hold"}));
        EXPECT_EQ(session->Status(), rv::ssConnected);
        session->ResetRx();
        ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 3; }));
        EXPECT_EQ(session->Packets, (std::vector<std::string>{"hold", "a", "b"}));
        if (peerCloses) {
            // The disconnect comes, after the last packet.
            ASSERT_TRUE(PumpUntil([&] { return session->Status() == rv::ssDisconnected; }));
            EXPECT_EQ(atDisconnect, session->Packets);
        } else {
            ASSERT_TRUE(peer->WaitForBytes(5));
            EXPECT_EQ(peer->Received, Hex("02 00 00 00 80"));
            EXPECT_EQ(session->Status(), rv::ssConnected);
        }
    }
}

TEST_F(TcpSession, AHeaderAloneReservesNothingTheBufferGrowsWithTheBytesThatArrive) {
    Adopt();
    ASSERT_TRUE(peer->Send(Hex("02 00 00 20 00"))); // announces 2,097,152 bytes, then nothing
    ASSERT_TRUE(PumpUntil([&] { return session->RecState() == rv::srData; }));
    EXPECT_EQ(session->RecPacketSize(), rv::C_MaxPacketSize);
    PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(session->GetRecBufferSize(), rv::C_MinRecBufferSize);
    // Part of the payload: the buffer holds about what came, not what was announced.
    const std::string payload = Pattern(rv::C_MaxPacketSize, 11);
    const size_t part = 10000;
    ASSERT_TRUE(peer->Send(payload.substr(0, part)));
    ASSERT_TRUE(PumpUntil([&] { return session->GetRecBufferSize() >= part; }));
    PumpFor(net_testing::kQuietMs);
    EXPECT_LE(session->GetRecBufferSize(), 2 * part);
    ASSERT_TRUE(peer->Send(payload.substr(part)));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 1; }, 20000));
    EXPECT_TRUE(session->Packets[0] == payload);
    EXPECT_EQ(session->GetRecBufferSize(), rv::C_MaxPacketSize);
}

TEST_F(TcpSession, TheReceiveBufferEndsAtTheLargestPayloadAndNeverShrinks) {
    for (uint32_t size : {1u, 4096u, 4097u, 10240u, 1048579u}) {
        SCOPED_TRACE(size);
        Adopt();
        EXPECT_EQ(session->GetRecBufferSize(), rv::C_MinRecBufferSize);
        const std::string payload = Pattern(size, size);
        ASSERT_TRUE(peer->Send(Packet(payload, false)));
        ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 1; }, 20000));
        EXPECT_TRUE(session->Packets[0] == payload);
        const uint32_t want = std::max(size, rv::C_MinRecBufferSize);
        EXPECT_EQ(session->GetRecBufferSize(), want);
        ASSERT_TRUE(peer->Send(Packet("x", false)));
        ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 2; }));
        EXPECT_EQ(session->GetRecBufferSize(), want);
    }
}

TEST_F(TcpSession, ThePayloadLimitIsTakenAndOneByteMoreClosesTheSession) {
    Adopt();
    const std::string largest = Pattern(rv::C_MaxPacketSize, 3);
    ASSERT_TRUE(peer->Send(Packet(largest, false)));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 1; }, 20000));
    EXPECT_TRUE(session->Packets[0] == largest);
    EXPECT_EQ(session->DisConnects, 0);

    // A header announcing more: the session closes instead of reading a cut length out of step.
    std::string header = Hex("02 01 00 20 00"); // 2,097,153
    ASSERT_TRUE(peer->Send(header + "more bytes that must not be taken as a packet"));
    ASSERT_TRUE(PumpUntil([&] { return peer->Closed; }));
    EXPECT_EQ(session->Status(), rv::ssDisconnected);
    EXPECT_EQ(session->DisConnects, 1);
    EXPECT_EQ(session->DisconnectError(), rv::C_WSAEMSGSIZE);
    EXPECT_EQ(session->Packets.size(), 1u);
}

TEST_F(TcpSession, AnAcknowledgementCallsOnPacketAckAndNeverOnData) {
    Adopt();
    ASSERT_TRUE(peer->Send(Hex("02 00 00 00 80") + Hex("02 00 00 00 80") + Packet("data", false)));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 1; }));
    EXPECT_EQ(session->Acks, 2);
    EXPECT_EQ(session->Packets, (std::vector<std::string>{"data"}));
    // An acknowledgement is not answered.
    PumpFor(net_testing::kQuietMs);
    EXPECT_TRUE(peer->Received.empty());
}

TEST_F(TcpSession, AFlaggedPacketIsAcknowledgedAfterTheHandlerWhateverItReturned) {
    for (bool taken : {true, false}) {
        Adopt();
        std::string seenByHandler = "not called";
        session->Take = [&](const std::string&) {
            PumpFor(20); // the acknowledgement would have arrived meanwhile had it gone first
            seenByHandler = peer->Received;
            return taken;
        };
        ASSERT_TRUE(peer->Send(Packet("abc", true)));
        ASSERT_TRUE(peer->WaitForBytes(5));
        PumpFor(20);
        EXPECT_EQ(seenByHandler, "") << "taken " << taken;
        EXPECT_EQ(peer->Received, Hex("02 00 00 00 80")) << "taken " << taken;
        EXPECT_EQ(session->Packets, (std::vector<std::string>{"abc"}));
    }
}

TEST_F(TcpSession, AHandlerThatRaisesCountsAsHavingTakenThePacket) {
    Adopt();
    session->Take = [](const std::string& p) -> bool {
        if (p == "bad") throw std::runtime_error("malformed");
        return true;
    };
    ASSERT_TRUE(peer->Send(Packet("bad", true) + Packet("good", false)));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 2; }));
    EXPECT_EQ(session->Packets, (std::vector<std::string>{"bad", "good"}));
    ASSERT_TRUE(peer->WaitForBytes(5));
    EXPECT_EQ(peer->Received, Hex("02 00 00 00 80"));
}

// An acknowledgement due while part of a large packet still waits for the call-back sender goes behind it:
// sent at once it would land inside that packet.
TEST_F(TcpSession, AnAcknowledgementWaitsBehindThePacketStillBeingSent) {
    Adopt();
    peer->Reading = false;
    // Large packets until the platform's buffers are full and part of one waits.
    std::string want;
    for (uint32_t i = 0; i < 16 && session->WaitingToSend() == 0; ++i) {
        const std::string big = Pattern(rv::C_MaxPacketSize, i);
        ASSERT_TRUE(session->SessionSend(big.data(), static_cast<uint32_t>(big.size())));
        want += Packet(big, false);
    }
    ASSERT_GT(session->WaitingToSend(), 0u) << "the platform took every packet; nothing to show";
    ASSERT_TRUE(peer->Send(Packet("ask", true)));
    ASSERT_TRUE(PumpUntil([&] { return session->Packets.size() == 1; }));
    want += Hex("02 00 00 00 80");
    ASSERT_TRUE(PumpUntil(
        [&] {
            peer->StartReading();
            return peer->Received.size() >= want.size();
        },
        20000));
    EXPECT_TRUE(peer->Received == want) << "received " << peer->Received.size() << " of " << want.size();
    EXPECT_EQ(session->WaitingToSend(), 0u);
}

TEST_F(TcpSession, LargePacketsSentBackToBackArriveWholeAndInOrder) {
    TSessionPair pair;
    const std::string a = Pattern(1 << 20, 1), b = Pattern(1 << 20, 2), c = "tail";
    ASSERT_TRUE(pair.Client->SessionSend(a.data(), static_cast<uint32_t>(a.size())));
    ASSERT_TRUE(pair.Client->SessionSend(b.data(), static_cast<uint32_t>(b.size())));
    ASSERT_TRUE(pair.Client->SessionSend(c.data(), 2, c.data() + 2, 2));
    // A large first block with a second one: one packet of both.
    ASSERT_TRUE(pair.Client->SessionSend(b.data(), static_cast<uint32_t>(b.size()), a.data(), 1000));
    ASSERT_TRUE(PumpUntil([&] { return pair.ServerPackets.size() == 4; }, 20000));
    EXPECT_TRUE(pair.ServerPackets[0] == a);
    EXPECT_TRUE(pair.ServerPackets[1] == b);
    EXPECT_EQ(pair.ServerPackets[2], c);
    EXPECT_TRUE(pair.ServerPackets[3] == b + a.substr(0, 1000));
}

// A worker sends large packets back to back: what the platform does not take at once, the worker sends itself
// when the main thread sees the socket writable. The peer answers each packet with one that asks for an
// acknowledgement, which the client's main thread owes while the worker's next packet is on its way: it must go
// between packets, never inside one.
TEST_F(TcpSession, AWorkersLargePacketsArriveWholeWhileTheMainThreadAcknowledgesOnTheSameSession) {
    TSessionPair pair;
    constexpr int kPackets = 8;
    std::vector<std::string> sent;
    for (int i = 0; i < kPackets; ++i) sent.push_back(Pattern(rv::C_MaxPacketSize - static_cast<uint32_t>(i), i));
    pair.Server->SetReqPacketAck(true);
    pair.Server->OnData = [&](rv::TWS_TcpIpSession* S, const uint8_t* Data, uint32_t Len) {
        pair.ServerPackets.emplace_back(reinterpret_cast<const char*>(Data), Len);
        S->SessionSend("?", 1);
        return true;
    };
    int acks = 0;
    pair.Server->OnPacketAck = [&](rv::TWS_TcpIpSession*) { ++acks; };
    std::atomic<int> failed{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (const std::string& p : sent)
            if (!pair.Client->SessionSend(p.data(), static_cast<uint32_t>(p.size()))) ++failed;
        done = true;
    });
    bool finished = PumpUntil([&] { return done.load() && acks == kPackets; }, 15000);
    worker.join();
    ASSERT_TRUE(finished) << pair.ServerPackets.size() << " packets, " << acks << " acknowledgements";
    EXPECT_EQ(failed.load(), 0);
    ASSERT_EQ(pair.ServerPackets.size(), static_cast<size_t>(kPackets));
    for (int i = 0; i < kPackets; ++i) EXPECT_TRUE(pair.ServerPackets[i] == sent[i]) << i;
    EXPECT_EQ(pair.Client->Packets.size(), static_cast<size_t>(kPackets));
}

TEST_F(TcpSession, ASmartStreamTravelsAsOnePacketAndReadsBackThroughTheStreamHandler) {
    TSessionPair pair;
    rv::TRV_Constructed<TNote> got;
    bool read = false;
    pair.Server->OnData = nullptr;
    pair.Server->OnDataAsStream = [&](rv::TWS_TcpIpSession*, rv::TStream& S) {
        got.LoadFromStream(S);
        read = true;
        return true;
    };
    rv::TRV_Constructed<TNote> note;
    note.Number = -42;
    note.Text = "map notice";
    ASSERT_TRUE(pair.Client->SessionSendSmartStream(note));
    ASSERT_TRUE(PumpUntil([&] { return read; }));
    EXPECT_EQ(got.Number, -42);
    EXPECT_EQ(got.Text, "map notice");
}

TEST_F(TcpSession, AnEmptyFlaggedPacketIsTakenByThePeerAsAnAcknowledgement) {
    TSessionPair pair;
    pair.Client->SetReqPacketAck(true);
    ASSERT_TRUE(pair.Client->SessionSend(nullptr, 0));
    ASSERT_TRUE(pair.Client->SessionSend("x", 1));
    // The peer answers the second packet; the first was no packet to it.
    ASSERT_TRUE(PumpUntil([&] { return pair.Client->Acks == 1; }));
    PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(pair.ServerPackets, (std::vector<std::string>{"x"}));
    EXPECT_EQ(pair.Client->Acks, 1);
}

TEST_F(TcpSession, OpenConnectionOnTheMainThreadConnectsAndReportsOnConnect) {
    rv::TWS_ServerSession listener(true, false);
    listener.OnClientConnect = [](rv::TWS_ServerSession*, rv::TWS_TcpIpSession*) {};
    ASSERT_TRUE(listener.StartServerSession(0));
    TProbeSession client(true);
    ASSERT_TRUE(client.OpenConnection(Loopback(), listener.ServerPort(), 5000, false));
    EXPECT_EQ(client.Status(), rv::ssConnected);
    EXPECT_EQ(client.Connects, 1);
    EXPECT_EQ(client.RemoteAddr(), Loopback());
    EXPECT_EQ(client.RemotePort(), listener.ServerPort());
}

TEST_F(TcpSession, OpenConnectionFromAWorkerThreadWaitsForTheMainThreadsConnectEvent) {
    rv::TWS_ServerSession listener(true, false);
    listener.OnClientConnect = [](rv::TWS_ServerSession*, rv::TWS_TcpIpSession*) {};
    ASSERT_TRUE(listener.StartServerSession(0));
    TProbeSession client(true);
    std::atomic<int> result{-1};
    std::thread worker(
        [&] { result = client.OpenConnection(Loopback(), listener.ServerPort(), 5000, true) ? 1 : 0; });
    bool done = PumpUntil([&] { return result.load() >= 0; });
    worker.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(client.Status(), rv::ssConnected);
}

TEST_F(TcpSession, ARefusedConnectionEndsTheWaitWithoutWaitingForTheTimeOut) {
    TProbeSession client(true);
    rv::TRV_StopWatch watch(true);
    EXPECT_FALSE(client.OpenConnection(Loopback(), FreeTcpPort(), 30000, false));
    EXPECT_LT(watch.ElapsedTimeMS(), 15000u);
    EXPECT_EQ(client.Status(), rv::ssDisconnected);
    EXPECT_EQ(client.DisConnects, 0); // never connected: nothing to report
}

TEST_F(TcpSession, TheConnectWaitStopsWhenCancelledOrTimedOut) {
    uint16_t port;
    rv::TSocket listening = net_testing::Listener(port);
    // The threaded form called here lets no message through, so the connect event cannot arrive: only the
    // cancel test or the time-out ends the wait.
    {
        TProbeSession client(true);
        int asked = 0;
        EXPECT_FALSE(client.OpenConnection(Loopback(), port, 30000, true, [&] { return ++asked == 3; }));
        EXPECT_EQ(asked, 3);
    }
    {
        TProbeSession client(true);
        rv::TRV_StopWatch watch(true);
        EXPECT_FALSE(client.OpenConnection(Loopback(), port, 60, true));
        EXPECT_GE(watch.ElapsedTimeMS(), 60u);
    }
    net_testing::CloseQuietly(listening);
}

TEST_F(TcpSession, AsyncOpenConnectionRetriesUntilTheHostListens) {
    const uint16_t port = FreeTcpPort();
    TProbeSession client(true);
    client.AsyncOpenConnection(Loopback(), port, 100);
    EXPECT_EQ(client.Status(), rv::ssConnecting);
    // The first attempts are refused.
    ASSERT_TRUE(PumpUntil([&] { return client.Status() == rv::ssDisconnected; }));
    PumpFor(250);
    rv::TWS_ServerSession listener(true, false);
    int accepted = 0;
    listener.OnClientConnect = [&](rv::TWS_ServerSession*, rv::TWS_TcpIpSession*) { ++accepted; };
    ASSERT_TRUE(listener.StartServerSession(port));
    ASSERT_TRUE(PumpUntil([&] { return client.Status() == rv::ssConnected && accepted == 1; }));
    EXPECT_EQ(client.Connects, 1);
    EXPECT_EQ(client.DisConnects, 0); // failed attempts are not disconnections
    // Connected: no more attempts.
    PumpFor(300);
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(client.Status(), rv::ssConnected);
}

TEST_F(TcpSession, KeepConnectionReconnectsAfterTheHostDropsIt) {
    rv::TWS_ServerSession listener(true, false);
    int accepted = 0;
    listener.OnClientConnect = [&](rv::TWS_ServerSession*, rv::TWS_TcpIpSession*) { ++accepted; };
    ASSERT_TRUE(listener.StartServerSession(0));
    TProbeSession client(true);
    client.SetKeepConnection(true);
    client.AsyncOpenConnection(Loopback(), listener.ServerPort(), 100);
    ASSERT_TRUE(PumpUntil([&] { return accepted == 1 && client.Status() == rv::ssConnected; }));
    listener.CloseAllConnections(false);
    ASSERT_TRUE(PumpUntil([&] { return accepted == 2 && client.Status() == rv::ssConnected; }));
    EXPECT_EQ(client.DisConnects, 1);
    EXPECT_EQ(client.Connects, 2);
    client.SetKeepConnection(false);
}

TEST_F(TcpSession, AnIdleSessionTimesOutAndActivityPostponesIt) {
    Adopt(300);
    // Traffic every 100 ms keeps it up past its period.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(peer->Send(Packet("ping", false)));
        PumpFor(100);
        ASSERT_EQ(session->Status(), rv::ssConnected) << i;
    }
    EXPECT_EQ(session->Packets.size(), 5u);
    rv::TRV_StopWatch watch(true);
    ASSERT_TRUE(PumpUntil([&] { return session->Status() == rv::ssDisconnected; }));
    EXPECT_GE(watch.ElapsedTimeMS() + 20, 200u); // not before (most of) the period
    EXPECT_EQ(session->DisConnects, 1);
    EXPECT_EQ(session->DisconnectError(), 0);
    ASSERT_TRUE(PumpUntil([&] { return peer->Closed; }));
}

TEST_F(TcpSession, AndFreeFreesTheSessionAfterItsEventHasReturned) {
    std::atomic<bool> freed{false};
    Adopt(0, &freed);
    TProbeSession* released = session.release(); // from here the session owns itself
    bool freedInHandler = true;
    released->OnDisConnect = [&](rv::TWS_TcpIpSession* S, bool& AndFree) {
        AndFree = true;
        freedInHandler = freed.load();
        EXPECT_EQ(S, released);
    };
    peer->Close();
    ASSERT_TRUE(PumpUntil([&] { return freed.load(); }));
    EXPECT_FALSE(freedInHandler);
}

TEST_F(TcpSession, HandlersThatRaiseDoNotStopTheSession) {
    rv::TWS_ServerSession listener(true, false);
    rv::TWS_TcpIpSession* accepted = nullptr;
    listener.OnClientConnect = [&](rv::TWS_ServerSession*, rv::TWS_TcpIpSession* S) { accepted = S; };
    ASSERT_TRUE(listener.StartServerSession(0));
    TProbeSession client(true);
    client.OnConnect = [](rv::TWS_TcpIpSession*) { throw std::runtime_error("handler fault"); };
    ASSERT_TRUE(client.OpenConnection(Loopback(), listener.ServerPort(), 5000, false));
    EXPECT_EQ(client.Status(), rv::ssConnected);
    ASSERT_TRUE(PumpUntil([&] { return accepted != nullptr; }));
    client.OnDisConnect = [](rv::TWS_TcpIpSession*, bool&) { throw std::runtime_error("handler fault"); };
    listener.CloseAllConnections(true);
    ASSERT_TRUE(PumpUntil([&] { return client.Status() == rv::ssDisconnected; }));
}
