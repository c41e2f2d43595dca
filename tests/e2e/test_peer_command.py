"""tolvane-cli peer as a program: its commands, its options and its end, on hosts of a network lab."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402


def setUpModule():
    peers.announce_if_not_run()


class PeerCommand(peers.LabTest):
    def pair(self, lab, b_args=()):
        """Alice on host 0 and Bob on host 1 (started with b_args when given)."""
        a = peers.native(lab, 0, "Alice")
        b = peers.Peer(lab, 1, [peers.CLI, "peer", *b_args], "Bob") if b_args else peers.native(lab, 1, "Bob")
        return a, b

    def test_bad_commands_are_reported_and_change_nothing(self):
        lab = self.lab(2)
        a, b = self.pair(lab)
        bob = ("Bob", lab.hosts[1].ip)
        self.assertEqual(a.wait_members({bob}), [bob])
        for bad in ("frobnicate", "rename", "members now", "quit please", "leave 3"):
            with self.subTest(bad):
                before = len(a.events)
                a.send(bad)
                err = a.wait_for(lambda e: e["event"] == "error", 5, start=before)
                self.assertIsNotNone(err, a.events[before:])
                self.assertIn(bad.split()[0], err["text"])
        # Still running, still in the group, still listing Bob.
        before = len(a.events)
        a.send("members")
        self.assertEqual(a.wait_for(lambda e: e["event"] == "members", 5, start=before)["list"],
                         [{"name": "Bob", "ip": lab.hosts[1].ip}])
        self.assertIsNone(a.proc.poll())
        self.assertEqual(a.quit(), 0)
        self.assertEqual(b.quit(), 0)

    def test_leave_and_join_again_and_the_end_of_input_means_quit(self):
        lab = self.lab(2)
        a, b = self.pair(lab)
        alice, bob = ("Alice", lab.hosts[0].ip), ("Bob", lab.hosts[1].ip)
        self.assertEqual(a.wait_members({bob}), [bob])
        self.assertEqual(b.wait_members({alice}), [alice])

        b.send("leave")
        self.assertIsNotNone(b.wait_for(lambda e: e["event"] == "left", 5))
        self.assertEqual(b.wait_members(set(), 5), [])
        self.assertIsNotNone(a.wait_for(lambda e: e["event"] == "member_left" and e["name"] == "Bob", 10))
        self.assertEqual(a.wait_members(set(), 5), [])
        b.send("leave")  # not in the group any more
        self.assertIsNotNone(b.wait_for(lambda e: e["event"] == "error" and "leave" in e["text"], 5))

        b.send("join")
        self.assertEqual(b.wait_members({alice}), [alice])
        self.assertEqual(a.wait_members({bob}), [bob])
        joined = [e for e in b.events if e["event"] == "joined"]
        self.assertEqual(len(joined), 2, "joined once per join")
        b.send("join")  # in the group already
        self.assertIsNotNone(b.wait_for(lambda e: e["event"] == "error" and "join" in e["text"], 5))

        before = len(a.events)
        b.proc.stdin.close()
        self.assertEqual(b.proc.wait(20), 0)
        self.assertIsNotNone(a.wait_for(lambda e: e["event"] == "member_left" and e["name"] == "Bob", 10, before))
        self.assertEqual(a.wait_members(set(), 5), [])
        self.assertEqual(a.quit(), 0)

    def test_a_member_event_carries_name_class_address_and_service_port(self):
        lab = self.lab(2)
        a, b = self.pair(lab, ["--name", "Bob", "--class", "Headless", "--service-port", "40123"])
        ev = a.wait_for(lambda e: e["event"] == "member_joined", 15)
        self.assertIsNotNone(ev, a.stderr[-5:])
        self.assertEqual((ev["name"], ev["class"], ev["ip"], ev["service_port"]),
                         ("Bob", "Headless", lab.hosts[1].ip, 40123))
        self.assertIsInstance(ev["t"], int)
        b.send("rename Robert")
        self.assertEqual(a.wait_members({("Robert", lab.hosts[1].ip)}), [("Robert", lab.hosts[1].ip)])
        self.assertEqual(b.quit(), 0)
        self.assertEqual(a.quit(), 0)

    def test_the_configuration_file_gives_the_identity_and_the_ports(self):
        lab = self.lab(2)
        tmp = tempfile.mkdtemp(prefix="tolvane-peer-")
        self.addCleanup(lambda: __import__("shutil").rmtree(tmp, ignore_errors=True))
        cfg = os.path.join(tmp, "Tolvane.dat")
        subprocess.run([peers.CLI, "config", "set", "--file", cfg, "NetGroupCfgR.UnitId=FromFile",
                        "NetGroupCfgR.GroupId=Other", "NetGroupCfgR.sT.InfoReplyPort=41000",
                        "NetGroupCfgR.sT.TcpIpServices=[41001,0]"], check=True)
        a = peers.native(lab, 0, "Alice", "--group", "Other", "--info-port", "41000")
        b = peers.Peer(lab, 1, [peers.CLI, "peer", "--config", cfg], "FromFile")
        ev = a.wait_for(lambda e: e["event"] == "member_joined", 15)
        self.assertIsNotNone(ev, (a.stderr[-5:], b.stderr[-5:]))
        self.assertEqual((ev["name"], ev["service_port"]), ("FromFile", 41001))
        started = b.wait_for(lambda e: e["event"] == "started", 5)
        self.assertEqual(started["info_port"], 41000)
        self.assertEqual(b.quit(), 0)
        self.assertEqual(a.quit(), 0)

    def test_unusable_options_end_the_program_with_status_2(self):
        lab = self.lab(1)
        tmp = tempfile.mkdtemp(prefix="tolvane-peer-")
        self.addCleanup(lambda: __import__("shutil").rmtree(tmp, ignore_errors=True))
        damaged = os.path.join(tmp, "damaged.dat")
        with open(damaged, "wb") as f:
            f.write(b"\x01\x02not a record")
        for args in (["--join-ip", "10.77.0.300"], ["--join-ip", "host0"], ["--config", os.path.join(tmp, "none")],
                     ["--config", damaged], ["--config", damaged, "--name", "X"],
                     ["--join-ip", "10.77.0.1", "--join-host", "host0"]):
            with self.subTest(args):
                p = lab.spawn(0, [peers.CLI, "peer", *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
                out, err = p.communicate(timeout=20)
                self.assertEqual(p.returncode, 2, out)
                self.assertTrue(err.strip(), "says why on stderr")
                self.assertNotIn('"joined"', out)


if __name__ == "__main__":
    unittest.main()
