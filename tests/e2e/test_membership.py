"""Net group membership across real hosts: copies on separate network hosts find, list and lose each other."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402


def setUpModule():
    peers.announce_if_not_run()


class Membership(peers.LabTest):
    def assertMembers(self, peer, expected, timeout=15.0):
        got = peer.wait_members(expected, timeout)
        self.assertEqual(got, sorted(expected), f"{peer.label}'s members; stderr: {peer.stderr[-5:]}")

    def test_three_peers_on_a_lan_list_the_two_others_and_never_themselves(self):
        lab = self.lab(3)
        ps = [peers.native(lab, i, f"P{i}") for i in range(3)]
        everyone = {(f"P{i}", lab.hosts[i].ip) for i in range(3)}
        for i, p in enumerate(ps):
            self.assertMembers(p, everyone - {(f"P{i}", lab.hosts[i].ip)})
            self.assertIsNotNone(p.wait_for(lambda e: e["event"] == "joined", 1))
        for p in ps:
            self.assertEqual(p.quit(), 0)

    def test_a_peer_that_quits_is_removed_from_the_others(self):
        lab = self.lab(3)
        ps = [peers.native(lab, i, f"P{i}") for i in range(3)]
        for i, p in enumerate(ps):
            self.assertEqual(len(p.wait_members({(f"P{j}", lab.hosts[j].ip) for j in range(3) if j != i})), 2)
        self.assertEqual(ps[2].quit(), 0)
        for i in range(2):
            self.assertMembers(ps[i], {(f"P{1 - i}", lab.hosts[1 - i].ip)})
            left = ps[i].wait_for(lambda e: e["event"] == "member_left" and e["name"] == "P2", 5)
            self.assertIsNotNone(left)
            self.assertEqual(left["ip"], lab.hosts[2].ip)

    def test_a_rename_is_seen_by_the_others(self):
        lab = self.lab(2)
        a, b = peers.native(lab, 0, "Alice"), peers.native(lab, 1, "Bob")
        self.assertMembers(a, {("Bob", lab.hosts[1].ip)})
        self.assertMembers(b, {("Alice", lab.hosts[0].ip)})
        b.send("rename Robert")
        self.assertMembers(a, {("Robert", lab.hosts[1].ip)})

    def test_joining_by_ip_through_one_member_learns_every_member(self):
        lab = self.lab(4)
        ps = [peers.native(lab, i, f"P{i}") for i in range(3)]
        for i, p in enumerate(ps):
            self.assertEqual(len(p.wait_members({(f"P{j}", lab.hosts[j].ip) for j in range(3) if j != i})), 2)
        newcomer = peers.native(lab, 3, "New", "--join-ip", lab.hosts[0].ip)
        self.assertMembers(newcomer, {(f"P{j}", lab.hosts[j].ip) for j in range(3)})
        for p in ps:
            self.assertIn(("New", lab.hosts[3].ip), p.wait_members(
                {(f"P{j}", lab.hosts[j].ip) for j in range(4) if p.host.index != j}))

    def test_joining_by_an_unknown_host_name_reports_that_it_does_not_exist(self):
        lab = self.lab(1)
        p = peers.native(lab, 0, "Lost", "--join-host", "no-such-host.invalid")
        err = p.wait_for(lambda e: e["event"] == "error", 30)
        self.assertIsNotNone(err, p.stderr[-5:])
        self.assertIn("Member host name no-such-host.invalid does not exist", err["text"])
        self.assertEqual(p.quit(), 0)

    def test_an_independent_peer_and_the_program_see_each_other_join_and_leave(self):
        lab = self.lab(2)
        prog, other = peers.native(lab, 0, "Prog"), peers.fake(lab, 1, "Indep")
        self.assertMembers(prog, {("Indep", lab.hosts[1].ip)})
        self.assertMembers(other, {("Prog", lab.hosts[0].ip)})
        self.assertEqual(prog.quit(), 0)
        self.assertIsNotNone(other.wait_for(lambda e: e["event"] == "member_left" and e["name"] == "Prog", 10))

    @unittest.skipUnless(peers.CLI_EXE and os.path.exists(peers.CLI_EXE), "tolvane-cli.exe not built")
    def test_windows_and_native_peers_see_each_other_both_ways(self):
        lab = self.lab(2)
        tmp = tempfile.mkdtemp(prefix="tolvane-e2e-")
        self.addCleanup(lambda: __import__("shutil").rmtree(tmp, ignore_errors=True))
        win = peers.wine(lab, 0, "WinPlayer", tmp)
        nat = peers.native(lab, 1, "LinuxPlayer")
        self.assertMembers(nat, {("WinPlayer", lab.hosts[0].ip)}, timeout=60)
        self.assertMembers(win, {("LinuxPlayer", lab.hosts[1].ip)}, timeout=60)
        self.assertEqual(nat.quit(), 0)
        self.assertIsNotNone(win.wait_for(lambda e: e["event"] == "member_left", 15))
        self.assertEqual(win.quit(60), 0)


if __name__ == "__main__":
    unittest.main()
