#!/usr/bin/env python3
"""A hostile copy of the net group, built on the independent wire encoder, for load and abuse measurements.

Runs on its own lab host and reports JSON lines on stdout, like the peers (`event` and `t`, milliseconds since the
attack started), so a test or the bench can drive it with the same reader:

  attack.py burst --target IP --count N --answer-ports P[-Q]
      listens on the answer ports, sends N join requests to the target's answer port in one write, reads the 5-byte
      acknowledgements, and counts the join replies that arrive on the answer ports until none came for --quiet
      seconds (or --max-seconds passed). Request i names answer port P + i mod (Q - P + 1).
  attack.py search --answer-port P [--watch S]
      broadcasts one search whose answer port has nobody listening here, so the answer is refused (a stand-in for a
      searcher whose address is forged); with --watch, reports the connection attempts to that port for S seconds.

The helpers for the watching side (thread count and memory of a process) are here too, since both the tests and the
bench use them.
"""

import argparse
import json
import os
import resource
import selectors
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wire  # noqa: E402

GROUP, CLASS = "GameDuke3d", "Launcher"
T0 = time.monotonic()
OUT = threading.Lock()


def now_ms():
    return (time.monotonic() - T0) * 1000


def emit(event, **fields):
    with OUT:
        sys.stdout.write(json.dumps({"event": event, "t": int(now_ms()), **fields}) + "\n")
        sys.stdout.flush()


# --- messages ---------------------------------------------------------------------------------------------------


def join_request(answer_port, name, own_ip="0.0.0.0", group=GROUP, cls=CLASS):
    """One framed join request (asking for an acknowledgement), naming answer_port in its local member."""
    services = wire.Services(session_id=0x5EED0000 | (answer_port & 0xFFFF), info_reply_port=answer_port)
    local = wire.Member(own_ip, services, cls, name)
    full_id = f"{group}~{cls}~{name}"
    g = wire.GroupMessage(wire.NGMT_JOIN_REQUEST, local)
    info = wire.InfoStream(wire.TT_INFO_REPLY, services, full_id, full_id, g.encode())
    return wire.frame(info.encode())


def search(answer_port, name, group=GROUP, cls=CLASS):
    """A search broadcast of a copy called name, whose answers are to go to answer_port by TCP."""
    services = wire.Services(session_id=0x0BAD0000 | (answer_port & 0xFFFF), info_reply_port=answer_port)
    return wire.InfoStream(wire.TT_BROADCAST, services, f"{group}~*", f"{group}~{cls}~{name}").encode()


def answer_ports(text):
    """'P' or 'P-Q' to the list of ports."""
    lo, _, hi = text.partition("-")
    lo, hi = int(lo), int(hi or lo)
    if not 0 < lo <= hi < 65536:
        raise argparse.ArgumentTypeError(f"bad port range: {text}")
    return list(range(lo, hi + 1))


# --- watching a process -------------------------------------------------------------------------------------------


def proc_status(pid):
    """Threads, VmRSS and VmHWM (peak RSS) of a process, the sizes in KiB; None once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            text = f.read()
    except OSError:
        return None
    got = {}
    for line in text.splitlines():
        key, _, value = line.partition(":")
        if key in ("Threads", "VmRSS", "VmHWM"):
            got[key] = int(value.split()[0])
    return got


class Sampler:
    """Samples a process's threads and memory every `period` seconds on a thread of its own, keeping the peaks."""

    def __init__(self, pid, period=0.02):
        self.pid = pid
        self.period = period
        self.peak_threads = 0
        self.peak_rss_kib = 0
        self.samples = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def _take(self):
        s = proc_status(self.pid)
        if s is None:
            return False
        self.samples += 1
        self.peak_threads = max(self.peak_threads, s.get("Threads", 0))
        # The high-water mark catches a peak between two samples.
        self.peak_rss_kib = max(self.peak_rss_kib, s.get("VmRSS", 0), s.get("VmHWM", 0))
        return True

    def _run(self):
        while self._take() and not self._stop.wait(self.period):
            pass

    def stop(self):
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
        self._take()


def command_latency(peer, n, timeout):
    """Seconds until `peer` (a peers.Peer) answers `members` on its stdin; None when no answer came in timeout.

    A bad command tagged n follows it: commands are answered in order, so the last member list before that
    command's error is the answer (a list the program emitted on its own, later, only makes the figure larger)."""
    tag = f"probe-{n}"
    start = len(peer.events)
    sent = time.monotonic()
    peer.send("members")
    peer.send(tag)
    arrived = {}
    deadline = sent + timeout
    seen = start
    while True:
        while seen < len(peer.events):
            ev = peer.events[seen]
            seen += 1
            if ev.get("event") == "members":
                arrived["members"] = time.monotonic()
            elif ev.get("event") == "error" and tag in ev.get("text", ""):
                return arrived["members"] - sent if "members" in arrived else None
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        peer._pull(left)


def drive_burst(lab, peer, host, count, ports, window=15.0, probe_timeout=5.0, pause=0.2, max_seconds=60.0,
                all_ports=False):
    """Runs `attack.py burst` on lab host `host` against `peer` (a peers.Peer) and watches the peer meanwhile.

    Returns the attacker's summary with the peer's peak threads and RSS, and the latencies of `members` asked every
    `pause` seconds from the start of the burst until the attacker has drained (at most `window` seconds); a
    latency is None when no answer came within probe_timeout."""
    import peers  # the driving side only; the attacker itself runs without it
    with open(f"/proc/{peer.proc.pid}/comm") as f:
        comm = f.read().strip()
    if comm not in ("tolvane-cli", "tolvane-cli.exe"):  # natively, or the Windows build under Wine
        raise RuntimeError(f"watching {comm}, not the peer")
    argv = [sys.executable, os.path.abspath(__file__), "burst", "--target", peer.host.ip, "--count", str(count),
            "--answer-ports", ports, "--wait-go", "--max-seconds", str(max_seconds)]
    attacker = peers.Peer(lab, host, argv + (["--all-ports"] if all_ports else []), "attacker")
    is_summary = lambda e: e["event"] == "summary"
    if attacker.wait_for(lambda e: e["event"] == "ready", 30) is None:
        raise RuntimeError("the attacker did not start: " + " | ".join(attacker.stderr[-5:]))
    latencies = []
    with Sampler(peer.proc.pid) as sampler:
        attacker.send("go")
        start = time.monotonic()
        while time.monotonic() - start < window and attacker.wait_for(is_summary, pause) is None:
            latencies.append(command_latency(peer, len(latencies), probe_timeout))
        summary = attacker.wait_for(is_summary, max_seconds + 10)
    if summary is None:
        raise RuntimeError("the attacker gave no summary: " + " | ".join(attacker.stderr[-5:]))
    answered = [x for x in latencies if x is not None]
    return dict(summary, peak_threads=sampler.peak_threads, peak_rss_mib=sampler.peak_rss_kib / 1024,
                latencies=latencies, probes=len(latencies), unanswered=len(latencies) - len(answered),
                worst_latency=None if len(answered) < len(latencies) else max(answered, default=None))


# --- listening for replies ----------------------------------------------------------------------------------------


class ReplyCounter:
    """Listens on the answer ports and acknowledges and counts the group messages that arrive, per port and type."""

    def __init__(self, ports):
        self.sel = selectors.DefaultSelector()
        self.listeners = []
        self.join_replies = {p: 0 for p in ports}
        self.first_reply_ms = {}
        self.other_messages = 0
        self.bad_packets = 0
        self.connections = 0
        self.last_reply_ms = None
        for p in ports:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("0.0.0.0", p))
            s.listen(4096)
            s.setblocking(False)
            self.sel.register(s, selectors.EVENT_READ, ("listen", p))
            self.listeners.append(s)

    def poll(self, timeout):
        for key, _ in self.sel.select(timeout):
            kind, state = key.data
            if kind == "listen":
                self._accept(key.fileobj, state)
            else:
                self._read(key.fileobj, state)

    def _accept(self, lsock, port):
        while True:
            try:
                conn, _ = lsock.accept()
            except BlockingIOError:
                return
            except OSError as e:
                emit("error", text=f"accept on {port}: {e}")
                return
            conn.setblocking(False)
            self.connections += 1
            self.sel.register(conn, selectors.EVENT_READ, ("conn", {"port": port, "buf": b""}))

    def _read(self, conn, st):
        try:
            chunk = conn.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if not chunk:
            self.sel.unregister(conn)
            conn.close()
            return
        packets, st["buf"] = wire.split_packets(st["buf"] + chunk)
        for payload, ack in packets:
            self._packet(st["port"], payload)
            if ack:
                try:
                    conn.send(wire.ACK)
                except OSError:
                    pass

    def _packet(self, port, payload):
        try:
            g = wire.GroupMessage.decode(wire.InfoStream.decode(payload).app_data)
        except (ValueError, IndexError, struct.error):
            self.bad_packets += 1
            return
        if g.message_type != wire.NGMT_JOIN_REPLY:
            self.other_messages += 1
            return
        t = now_ms()
        self.join_replies[port] += 1
        self.first_reply_ms.setdefault(port, t)
        self.last_reply_ms = t

    def total(self):
        return sum(self.join_replies.values())


# --- the attacks ------------------------------------------------------------------------------------------------


def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def run_burst(a):
    raise_descriptor_limit()
    ports = a.answer_ports
    counter = ReplyCounter(ports)
    own_ip = os.environ.get("TOLVANE_HOST_IP", "0.0.0.0")
    data = b"".join(join_request(ports[i % len(ports)], f"{a.name}{i}", own_ip) for i in range(a.count))
    emit("ready", requests=a.count, bytes=len(data), ports=len(ports))
    if a.wait_go:
        if sys.stdin.readline().strip() != "go":
            emit("error", text="expected go on stdin")
            return 1

    sock = socket.create_connection((a.target, a.port), timeout=10)
    acks = {"n": 0, "last_ms": None, "closed_ms": None}

    def read_acks():
        got = b""
        sock.settimeout(a.max_seconds)
        while acks["n"] < a.count:
            try:
                chunk = sock.recv(65536)
            except OSError:
                break
            if not chunk:
                acks["closed_ms"] = now_ms()
                break
            got += chunk
            whole = len(got) // 5
            for i in range(whole):
                if got[5 * i:5 * i + 5] == wire.ACK:
                    acks["n"] += 1
            got = got[5 * whole:]
            acks["last_ms"] = now_ms()

    written = {"error": None}

    def write():
        try:
            sock.sendall(data)  # one write: the kernel cuts it into segments as it likes
        except OSError as e:
            written["error"] = str(e)
        emit("sent", ms=now_ms() - start, error=written["error"])

    sock.settimeout(a.max_seconds)
    reader = threading.Thread(target=read_acks, daemon=True)
    writer = threading.Thread(target=write, daemon=True)
    start = now_ms()
    emit("sending")
    reader.start()
    # The write blocks as long as the peer reads slowly; the replies are taken meanwhile, as a real copy would.
    writer.start()

    deadline = time.monotonic() + a.max_seconds
    acks_done_reported = False
    while time.monotonic() < deadline:
        counter.poll(0.05)
        if acks["n"] >= a.count and not acks_done_reported:
            acks_done_reported = True
            emit("acks_done", ms=acks["last_ms"] - start)
        # Drained: every acknowledgement (or the end of the connection) is in, and neither a reply nor an
        # acknowledgement came for --quiet s (the last requests' replies get their time too).
        settled = acks["n"] >= a.count or not reader.is_alive()
        last = max(x for x in (counter.last_reply_ms, acks["last_ms"], start) if x is not None)
        if settled and now_ms() - last >= a.quiet * 1000:
            break
        if a.all_ports and len(counter.first_reply_ms) == len(ports):
            break
    sock.close()
    first = counter.first_reply_ms
    emit("summary", requests=a.count, bytes_sent=len(data), ports=len(ports), acks=acks["n"],
         acks_ms=(acks["last_ms"] - start) if acks["last_ms"] is not None else None,
         closed_ms=(acks["closed_ms"] - start) if acks["closed_ms"] is not None else None,
         join_replies=counter.total(),
         ports_answered=len(first),
         first_reply_ms=(min(first.values()) - start) if first else None,
         last_reply_ms=(counter.last_reply_ms - start) if counter.last_reply_ms is not None else None,
         all_ports_ms=(max(first.values()) - start) if len(first) == len(ports) else None,
         other_messages=counter.other_messages, bad_packets=counter.bad_packets,
         connections=counter.connections, write_error=written["error"])
    return 0


def run_search(a):
    # Nobody may listen on the answer port here, or the answer would be delivered.
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        probe.bind(("0.0.0.0", a.answer_port))
    except OSError as e:
        emit("error", text=f"answer port {a.answer_port} is in use here: {e}")
        return 1
    finally:
        probe.close()
    # The answers' connection attempts are watched on the wire, so a test can tell that the search was handled
    # even by a program that never lists the searcher. The sniffer is open before the search goes out.
    sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0800)) if a.watch > 0 else None
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.sendto(search(a.answer_port, a.name), ("255.255.255.255", a.udp_port))
    s.close()
    emit("searched", name=a.name, answer_port=a.answer_port)
    if sniffer:
        attempts = watch_connects(sniffer, a.answer_port, a.watch)
        sniffer.close()
        emit("watched", attempts=attempts)
    return 0


def watch_connects(sniffer, port, seconds):
    """Reports every TCP connection attempt (SYN) to `port` seen within `seconds`; returns how many came."""
    n = 0
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return n
        sniffer.settimeout(left)
        try:
            frame_ = sniffer.recv(65536)
        except socket.timeout:
            return n
        ip = frame_[14:]
        if len(ip) < 20 or ip[9] != 6:
            continue
        tcp = ip[(ip[0] & 0x0F) * 4:]
        if len(tcp) < 14:
            continue
        dst, flags = struct.unpack(">H", tcp[2:4])[0], tcp[13]
        if dst == port and flags & 0x02 and not flags & 0x10:
            n += 1
            emit("answer_attempt", source=socket.inet_ntoa(ip[12:16]), port=dst)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    b = sub.add_parser("burst", help="join requests in one write; counts acknowledgements and join replies")
    b.add_argument("--target", required=True, help="the peer's address")
    b.add_argument("--port", type=int, default=53796, help="the peer's answer port")
    b.add_argument("--count", type=int, default=2000)
    b.add_argument("--answer-ports", type=answer_ports, default=answer_ports("60000"))
    b.add_argument("--name", default="Flood")
    b.add_argument("--quiet", type=float, default=2.0, help="drained after this many seconds without a reply")
    b.add_argument("--max-seconds", type=float, default=120.0)
    b.add_argument("--all-ports", action="store_true", help="stop once every answer port has had a join reply")
    b.add_argument("--wait-go", action="store_true", help="send only after a line 'go' on stdin")
    s = sub.add_parser("search", help="one search broadcast whose answer is refused")
    s.add_argument("--answer-port", type=int, default=61000)
    s.add_argument("--udp-port", type=int, default=53795)
    s.add_argument("--name", default="Ghost")
    s.add_argument("--watch", type=float, default=0, help="report connection attempts to the answer port this long")
    a = ap.parse_args()
    return run_burst(a) if a.cmd == "burst" else run_search(a)


if __name__ == "__main__":
    sys.exit(main())
