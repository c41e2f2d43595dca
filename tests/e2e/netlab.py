#!/usr/bin/env python3
"""A network lab of several hosts on one machine, for tests that cross a network.

Each host is a network namespace with its own loopback, one Ethernet interface on a shared bridge (the bridge lives
in a hub namespace of its own, so the machine's own network is never touched), an address 10.77.0.<i+1>/24 and a
default route through that interface, so a datagram to 255.255.255.255 reaches every other host. Each command runs
with its own host name (a UTS namespace), so the hosts also differ by name. As on a real network, every host name
resolves: each host gets its own /etc/hosts naming all hosts of the lab (`ip netns exec` lays /etc/netns/<ns>/
over /etc/), and a resolver configuration without a name server, so an unknown name fails at once instead of
waiting for the machine's name server, which the lab cannot reach.

Names carry the process id and a random tag, so two labs never collide. Everything (processes, namespaces, and with
them the interfaces and the bridge) is removed on exit, also after a failure, SIGINT or SIGTERM.

As a module:  with Lab(3) as lab: p = lab.spawn(0, ["prog", "arg"])
As a command: netlab.py -n 3 -- prog --ip {ip} --name {name}   (runs prog once in every host, waits for all)
"""

import argparse
import atexit
import os
import secrets
import shutil
import signal
import subprocess
import sys
import time

SUBNET = "10.77.0"


def _ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def available():
    """Returns None when the lab can run here, else the reason it cannot."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    name = f"tvprobe{os.getpid()}"
    r = _ip("netns", "add", name, check=False)
    if r.returncode != 0:
        return "ip netns add failed: " + r.stderr.strip()
    _ip("netns", "del", name, check=False)
    return None


class Host:
    def __init__(self, lab, index):
        self.lab = lab
        self.index = index
        self.netns = f"{lab.tag}h{index}"
        self.ip = f"{SUBNET}.{index + 1}"
        self.name = f"host{index}"


# The system's neighbour table (hardware addresses learnt by ARP) is shared by every namespace and holds 1,024 entries
# by default. Every host of a lab learns every other's address, so past about 32 hosts resolution fails ("neighbor
# table overflow" in the kernel log) and live hosts look absent: connects time out or find no route. A lab raises
# the limits for its life; the last lab to close puts the old ones back.
_NEIGH = "/proc/sys/net/ipv4/neigh/default/gc_thresh{}"
_neigh_saved = None


def _neighbour_room(entries):
    global _neigh_saved
    try:
        old = [int(open(_NEIGH.format(i)).read()) for i in (1, 2, 3)]
    except OSError:
        return  # not this kind of system: nothing to raise
    want = [entries // 2, entries, entries * 2]
    if all(o >= w for o, w in zip(old, want)):
        return
    if _neigh_saved is None:
        _neigh_saved = old
    for i, (o, w) in zip((1, 2, 3), zip(old, want)):
        with open(_NEIGH.format(i), "w") as f:
            f.write(str(max(o, w)))


def _neighbour_restore():
    global _neigh_saved
    if _neigh_saved is None or _LIVE:
        return
    for i, v in zip((3, 2, 1), reversed(_neigh_saved)):
        try:
            with open(_NEIGH.format(i), "w") as f:
                f.write(str(v))
        except OSError:
            pass
    _neigh_saved = None


class Lab:
    def __init__(self, n):
        self.tag = f"tv{os.getpid() % 100000}{secrets.token_hex(2)}"
        self.hub = f"{self.tag}hub"
        self.hosts = [Host(self, i) for i in range(n)]
        self.procs = []
        self._made = []
        self._folders = []
        self._closed = False

    def __enter__(self):
        _LIVE.append(self)
        try:
            self._create()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _netns(self, name):
        _ip("netns", "add", name)
        self._made.append(name)
        _ip("-n", name, "link", "set", "lo", "up")

    def _name_files(self, h):
        """/etc/hosts and /etc/resolv.conf as host h sees them."""
        folder = os.path.join("/etc/netns", h.netns)
        os.makedirs(folder, exist_ok=True)
        self._folders.append(folder)
        with open(os.path.join(folder, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n")
            for other in self.hosts:
                f.write(f"{other.ip} {other.name}\n")
        with open(os.path.join(folder, "resolv.conf"), "w") as f:
            f.write("# no name server in the lab\noptions timeout:1 attempts:1\n")

    def _create(self):
        n = len(self.hosts)
        _neighbour_room(n * (n + 1) + 1024)
        self._netns(self.hub)
        _ip("-n", self.hub, "link", "add", "br0", "type", "bridge")
        _ip("-n", self.hub, "link", "set", "br0", "up")
        for h in self.hosts:
            self._name_files(h)
            self._netns(h.netns)
            port = f"p{h.index}"
            _ip("-n", self.hub, "link", "add", port, "type", "veth", "peer", "name", "eth0", "netns", h.netns)
            _ip("-n", self.hub, "link", "set", port, "master", "br0", "up")
            _ip("-n", h.netns, "addr", "add", f"{h.ip}/24", "brd", f"{SUBNET}.255", "dev", "eth0")
            _ip("-n", h.netns, "link", "set", "eth0", "up")
            _ip("-n", h.netns, "route", "add", "default", "dev", "eth0")

    def spawn(self, index, argv, **popen_args):
        """Starts argv in host `index` (its own network and host name); returns the Popen."""
        h = self.hosts[index]
        env = dict(popen_args.pop("env", None) or os.environ)
        env.update(TOLVANE_HOST_INDEX=str(index), TOLVANE_HOST_IP=h.ip, TOLVANE_HOST_NAME=h.name)
        wrapped = ["ip", "netns", "exec", h.netns, "unshare", "--uts", "--",
                   "sh", "-c", 'hostname "$0" && exec "$@"', h.name, *argv]
        p = subprocess.Popen(wrapped, env=env, start_new_session=True, **popen_args)
        self.procs.append(p)
        return p

    def close(self):
        if self._closed:
            return
        self._closed = True
        for p in self.procs:
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        deadline = time.monotonic() + 5
        for p in self.procs:
            try:
                p.wait(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                p.wait()
        # Deleting a namespace removes its interfaces; the veth pairs and the bridge go with them.
        for name in reversed(self._made):
            _ip("netns", "del", name, check=False)
        self._made.clear()
        for folder in self._folders:
            shutil.rmtree(folder, ignore_errors=True)
        self._folders.clear()
        if self in _LIVE:
            _LIVE.remove(self)
        _neighbour_restore()


_LIVE = []


def _cleanup_all(*_):
    for lab in list(_LIVE):
        lab.close()


def _on_signal(signum, frame):
    _cleanup_all()
    sys.exit(128 + signum)


atexit.register(_cleanup_all)
for _sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(_sig, _on_signal)


def main():
    ap = argparse.ArgumentParser(description="Run a command in each host of a fresh network lab.")
    ap.add_argument("-n", "--hosts", type=int, default=2)
    ap.add_argument("command", nargs=argparse.REMAINDER, help="command; {i}, {ip} and {name} are replaced per host")
    args = ap.parse_args()
    cmd = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not cmd:
        ap.error("no command given")
    reason = available()
    if reason:
        print(f"netlab: cannot run: {reason}", file=sys.stderr)
        return 77
    with Lab(args.hosts) as lab:
        procs = [lab.spawn(h.index, [a.format(i=h.index, ip=h.ip, name=h.name) for a in cmd]) for h in lab.hosts]
        return max(p.wait() for p in procs)


if __name__ == "__main__":
    sys.exit(main())
