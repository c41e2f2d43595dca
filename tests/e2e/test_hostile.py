"""tolvane-cli peer under attack from a hostile copy on another lab host: it stays responsive and bounded, keeps its
well-behaved members, and does not keep a searcher that cannot be answered."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import attack  # noqa: E402
import peers  # noqa: E402

BURST = 2000
MAX_COMMAND_SECONDS = 1.0
MAX_THREADS = 40
MAX_RSS_MIB = 100
# A refused answer is known at once; a few seconds leave room for a loaded machine.
GONE_WITHIN_SECONDS = 5.0
STILL_GONE_AFTER_SECONDS = 10.0


def setUpModule():
    peers.announce_if_not_run()


class Hostile(peers.LabTest):
    def lists(self, peer, member, timeout=10.0):
        """Asks `peer` for its members until `member` (name, ip) is among them or timeout passes."""
        deadline = time.monotonic() + timeout
        while True:
            before = len(peer.events)
            peer.send("members")
            ev = peer.wait_for(lambda e: e["event"] == "members", max(0.1, min(2.0, deadline - time.monotonic())),
                               start=before)
            if ev and member in [(m["name"], m["ip"]) for m in ev["list"]]:
                return True
            if time.monotonic() >= deadline:
                return False

    def test_a_burst_of_join_requests_leaves_the_peer_responsive_bounded_and_in_its_group(self):
        lab = self.lab(3)
        a, b = peers.native(lab, 0, "Alice"), peers.native(lab, 1, "Bob")
        alice, bob = ("Alice", lab.hosts[0].ip), ("Bob", lab.hosts[1].ip)
        self.assertIn(bob, a.wait_members({bob}), a.stderr[-5:])
        self.assertIn(alice, b.wait_members({alice}), b.stderr[-5:])

        # Asked often, so that a burst handled in a fraction of a second is still asked during it.
        r = attack.drive_burst(lab, a, 2, BURST, "60000", window=15.0, pause=0.05, max_seconds=30.0)
        figures = {k: r[k] for k in ("acks", "acks_ms", "join_replies", "connections", "last_reply_ms",
                                     "peak_threads", "peak_rss_mib", "probes", "unanswered", "worst_latency",
                                     "write_error")}
        print(f"\nburst of {BURST} join requests: {figures}", file=sys.stderr)

        self.assertGreaterEqual(r["probes"], 3, "the peer was asked several times during the burst")
        with self.subTest("answers members within 1 s throughout"):
            slow = [x for x in r["latencies"] if x is None or x > MAX_COMMAND_SECONDS]
            self.assertEqual(slow, [], f"latencies (s, None = none in 5 s): {r['latencies']}")
        with self.subTest("threads bounded"):
            self.assertLessEqual(r["peak_threads"], MAX_THREADS)
        with self.subTest("memory bounded"):
            self.assertLess(r["peak_rss_mib"], MAX_RSS_MIB)
        with self.subTest("the attacker is answered"):
            self.assertGreater(r["join_replies"], 0, figures)
        with self.subTest("the good members still list each other"):
            self.assertIsNone(a.proc.poll(), a.stderr[-5:])
            self.assertTrue(self.lists(a, bob), a.latest_members())
            self.assertTrue(self.lists(b, alice), b.latest_members())

    def test_a_searcher_whose_answer_is_refused_is_not_kept(self):
        lab = self.lab(2)
        a = peers.native(lab, 0, "Alice")
        self.assertIsNotNone(a.wait_for(lambda e: e["event"] == "started", 10), a.stderr[-5:])
        ghost_ip = lab.hosts[1].ip
        is_ghost = lambda e: e.get("ip") == ghost_ip
        searcher = peers.Peer(lab, 1, [sys.executable, attack.__file__, "search", "--answer-port", "61000",
                                       "--watch", "3"], "searcher")
        searched = searcher.wait_for(lambda e: e["event"] in ("searched", "error"), 20)
        self.assertEqual(searched and searched["event"], "searched", (searched, searcher.stderr[-5:]))
        sent = time.monotonic()

        # The search must have been handled: the peer listed the searcher or tried to answer it.
        joined = a.wait_for(lambda e: e["event"] == "member_joined" and is_ghost(e), 3)
        attempt = searcher.wait_for(lambda e: e["event"] == "answer_attempt", 4)
        self.assertTrue(joined or attempt, "the peer neither listed nor answered the search")
        if joined:
            left = a.wait_for(lambda e: e["event"] == "member_left" and is_ghost(e),
                              max(0, GONE_WITHIN_SECONDS - (time.monotonic() - sent)))
            self.assertIsNotNone(left, f"still listed {GONE_WITHIN_SECONDS} s after its search: {a.latest_members()}")

        time.sleep(max(0, STILL_GONE_AFTER_SECONDS - (time.monotonic() - sent)))
        before = len(a.events)
        a.send("members")
        listed = a.wait_for(lambda e: e["event"] == "members", 5, start=before)
        self.assertIsNotNone(listed, a.stderr[-5:])
        self.assertNotIn(ghost_ip, [m["ip"] for m in listed["list"]])
        self.assertEqual(a.quit(), 0)


if __name__ == "__main__":
    unittest.main()
