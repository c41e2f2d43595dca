"""Drives copies of the program (and the independent fake peer) in a network lab through their JSON lines."""

import json
import os
import queue
import shutil
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import netlab  # noqa: E402

# Why the lab cannot run here (None when it can).
LAB_UNAVAILABLE = netlab.available()


def announce_if_not_run():
    """For setUpModule: loud on purpose, a skipped tier must not pass unnoticed."""
    if LAB_UNAVAILABLE:
        print(f"\n*** e2e tier NOT RUN: {LAB_UNAVAILABLE} ***\n", file=sys.stderr)


@unittest.skipIf(LAB_UNAVAILABLE, LAB_UNAVAILABLE or "")
class LabTest(unittest.TestCase):
    """A test case whose tests each make fresh lab hosts, removed when the test ends."""

    def lab(self, n):
        lab = netlab.Lab(n).__enter__()
        self.addCleanup(lab.close)
        return lab


CLI = os.environ.get("TOLVANE_CLI", "")
CLI_EXE = os.environ.get("TOLVANE_CLI_EXE", "")
WINE_TEMPLATE = os.environ.get("TOLVANE_WINE_PREFIX", "")


class Peer:
    """One running peer: its events arrive on a queue and are kept in `events`."""

    def __init__(self, lab, host, argv, label, env=None):
        self.label = label
        self.host = lab.hosts[host]
        self.events = []
        self.q = queue.Queue()
        self.proc = lab.spawn(host, argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, bufsize=1, env=env)
        self.stderr = []
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._read_err, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            line = line.strip()
            if not line:
                continue
            try:
                ev = json.loads(line)
            except ValueError:
                ev = {"event": "unparsed", "line": line}
            self.q.put(ev)
        self.q.put(None)

    def _read_err(self):
        for line in self.proc.stderr:
            self.stderr.append(line.rstrip())

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def _pull(self, timeout):
        """Moves one event from the queue to `events`; False when none came or the output ended."""
        try:
            ev = self.q.get(timeout=max(timeout, 0))
        except queue.Empty:
            return False
        if ev is None:
            self.q.put(None)
            time.sleep(min(max(timeout, 0), 0.05))
            return False
        self.events.append(ev)
        return True

    def wait_for(self, pred, timeout=15.0, start=0):
        """Returns the first event from index `start` of `events` on (seen before or arriving within timeout) for
        which pred holds, else None."""
        seen = start
        deadline = time.monotonic() + timeout
        while True:
            for ev in self.events[seen:]:
                if pred(ev):
                    return ev
            seen = len(self.events)
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self._pull(left)

    def latest_members(self):
        for ev in reversed(self.events):
            if ev.get("event") == "members":
                return sorted((m["name"], m["ip"]) for m in ev["list"])
        return []

    def wait_members(self, expected, timeout=15.0):
        """Waits until the latest member list equals `expected` (a set of (name, ip)); returns the last list seen."""
        expected = sorted(expected)
        deadline = time.monotonic() + timeout
        while self.latest_members() != expected:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self._pull(left)
        return self.latest_members()

    def quit(self, timeout=20.0):
        try:
            self.send("quit")
        except (BrokenPipeError, ValueError):
            pass
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None


def native(lab, host, name, *extra):
    return Peer(lab, host, [CLI, "peer", "--name", name, *extra], name)


def fake(lab, host, name, *extra):
    return Peer(lab, host, [sys.executable, os.path.join(HERE, "fake_peer.py"), "--name", name, *extra], name)


def wine(lab, host, name, prefix_dir, *extra):
    """tolvane-cli.exe under Wine, in a Wine prefix of its own (a copy of the build's prepared prefix)."""
    prefix = os.path.join(prefix_dir, f"wine-{host}")
    if not os.path.exists(os.path.join(WINE_TEMPLATE, "system.reg")):
        # The build's prefix is made on first use; make it now if no Windows test ran before.
        subprocess.run([os.environ["TOLVANE_WINE_RUN"], "cmd", "/c", "exit"], check=True,
                       env=dict(os.environ, WINEPREFIX=WINE_TEMPLATE), stdout=subprocess.DEVNULL)
    if not os.path.exists(prefix):
        shutil.copytree(WINE_TEMPLATE, prefix, symlinks=True)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return Peer(lab, host, ["wine", CLI_EXE, "peer", "--name", name, *extra], name, env=env)
