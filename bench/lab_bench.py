#!/usr/bin/env python3
"""Membership speed and idle cost of `tolvane-cli peer`, measured across the hosts of a network lab.

1. Join latency: one peer runs; another is started on a second host, again and again. Measured from starting the
   process to the running peer's member_joined event for it.
2. Group forming: 12 peers started together on 12 hosts; time until every one lists all 11 others.
3. Idle cost: CPU time (user + system, from /proc) of a joined peer over an idle minute, as a share of one core.
4. Burst: a hostile host sends 2,000 join requests in one write to a peer on another host, all naming one answer
   port, then again spread over 50 answer ports (a fresh peer each time). Time until every acknowledgement came,
   time until the last join reply came (drained: none for 2 s after that), join replies received, the peer's peak
   threads and RSS, and the worst time it took to answer `members` on its stdin meanwhile (asked every 0.2 s).
   With --wine-exe, the same again against the Windows build under Wine.
5. Answers to 200 members: 200 join requests in one write, each naming an answer port of its own; time until every
   port had its join reply, and replies per second.

Needs root (network namespaces). Usage: lab_bench.py --cli build/bench/cli/tolvane-cli [--idle-seconds 60]
[--parts join,forming,idle,burst,answers] [--wine-exe build/win64/cli/tolvane-cli.exe --wine-prefix build/win64/wineprefix]
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import attack  # noqa: E402
import netlab  # noqa: E402
import peers  # noqa: E402

PARTS = ("join", "forming", "idle", "burst", "answers")


def peer(lab, host, name):
    return peers.native(lab, host, name)


def event_time(p, pred, timeout):
    """Monotonic time at which the harness received the first event matching pred (None if none came)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if p._pull(deadline - time.monotonic()) and pred(p.events[-1]):
            return time.monotonic()
    return None


def join_latency(runs):
    with netlab.Lab(2) as lab:
        host = peer(lab, 0, "Host")
        # Alone, a peer reports nothing (it has joined when it first sees a member): give it time to start.
        time.sleep(1)
        if host.proc.poll() is not None:
            raise RuntimeError("the first peer ended: " + " | ".join(host.stderr[-5:]))
        samples = []
        for i in range(runs):
            name = f"Guest{i}"
            start = time.monotonic()
            guest = peer(lab, 1, name)
            at = event_time(host, lambda e: e["event"] == "member_joined" and e["name"] == name, 10)
            if at is None:
                raise RuntimeError(f"{name} was never seen joining")
            samples.append((at - start) * 1000)
            # A copy that quits before it has heard the answer has nobody to send its leave notice to.
            if guest.wait_members({("Host", lab.hosts[0].ip)}, 10) != [("Host", lab.hosts[0].ip)]:
                raise RuntimeError(f"{name} never listed the running peer")
            if guest.quit() != 0:
                raise RuntimeError(f"{name} did not quit cleanly")
            if host.wait_for(lambda e: e["event"] == "member_left" and e["name"] == name, 10) is None:
                raise RuntimeError(f"{name} was never seen leaving")
        host.quit()
        return samples


def group_forming(n):
    with netlab.Lab(n) as lab:
        start = time.monotonic()
        ps = [peer(lab, i, f"P{i}") for i in range(n)]
        done_at = []
        for i, p in enumerate(ps):
            others = {(f"P{j}", lab.hosts[j].ip) for j in range(n) if j != i}
            if p.wait_members(others, 30) != sorted(others):
                raise RuntimeError(f"P{i} lists {p.latest_members()}")
            done_at.append(time.monotonic())
        # Each wait ends when that peer's list is right or at once if it already was, so the latest end is when
        # the last peer got there.
        total = max(done_at) - start
        for p in ps:
            p.quit()
        return total * 1000


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_cpu(seconds):
    with netlab.Lab(2) as lab:
        a, b = peer(lab, 0, "A"), peer(lab, 1, "B")
        for p, other in ((a, ("B", lab.hosts[1].ip)), (b, ("A", lab.hosts[0].ip))):
            if p.wait_members({other}, 15) != [other]:
                raise RuntimeError(f"{p.label} did not see the other peer")
        # `ip netns exec` and `unshare` exec the next program in turn, so the process started is the peer itself.
        with open(f"/proc/{a.proc.pid}/comm") as f:
            comm = f.read().strip()
        if comm != "tolvane-cli":
            raise RuntimeError(f"measuring {comm}, not the peer")
        time.sleep(1)
        c0, t0 = cpu_seconds(a.proc.pid), time.monotonic()
        time.sleep(seconds)
        c1, t1 = cpu_seconds(a.proc.pid), time.monotonic()
        if a.latest_members() != [("B", lab.hosts[1].ip)]:
            raise RuntimeError("the peers lost each other while idle")
        a.quit()
        b.quit()
        return (c1 - c0) / (t1 - t0) * 100, t1 - t0


def attacked(count, ports, all_ports=False, wine=False):
    """A fresh peer on host 0 (the Windows build under Wine when asked) attacked from host 1; returns the figures of
    attack.drive_burst."""
    with netlab.Lab(2) as lab, tempfile.TemporaryDirectory() as prefixes:
        p = peers.wine(lab, 0, "Target", prefixes) if wine else peer(lab, 0, "Target")
        if p.wait_for(lambda e: e["event"] == "started", 60 if wine else 10) is None:
            raise RuntimeError("the peer did not start: " + " | ".join(p.stderr[-5:]))
        # Give the peer's answer port time to open before the attack connects to it.
        time.sleep(0.5)
        r = attack.drive_burst(lab, p, 1, count, ports, window=120, max_seconds=300, all_ports=all_ports)
        r["alive"] = p.proc.poll() is None
        p.quit()
        return r


def ms(v):
    return "none" if v is None else f"{v:.0f} ms"


def print_burst(label, r):
    answered = [x for x in r["latencies"] if x is not None]
    worst = f"{max(answered) * 1000:.0f} ms" if answered else "none"
    print(f"burst of {r['requests']} join requests ({r['bytes_sent'] / 1e6:.2f} MB in one write), {label}: "
          f"acks {r['acks']}/{r['requests']} after {ms(r['acks_ms'])}, last join reply after "
          f"{ms(r['last_reply_ms'])}, {r['join_replies']} join replies on {r['ports_answered']}/{r['ports']} ports "
          f"({r['connections']} connections made to them), peak {r['peak_threads']} threads, "
          f"peak RSS {r['peak_rss_mib']:.1f} MiB, `members` asked {r['probes']} times: worst answer {worst}, "
          f"{r['unanswered']} unanswered within 5 s{'' if r['alive'] else ', THE PEER ENDED'} "
          f"(goal: <= 40 threads, < 100 MiB, `members` < 1000 ms)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cli", required=True, help="the native tolvane-cli to measure")
    ap.add_argument("--runs", type=int, default=15, help="join latency samples")
    ap.add_argument("--peers", type=int, default=12)
    ap.add_argument("--idle-seconds", type=float, default=60)
    ap.add_argument("--parts", default=",".join(PARTS), help="which measurements, comma-separated: " + ",".join(PARTS))
    ap.add_argument("--burst", type=int, default=2000, help="join requests in the burst")
    ap.add_argument("--members", type=int, default=200, help="answer ports in the throughput measurement")
    ap.add_argument("--wine-exe", help="the Windows tolvane-cli.exe: the burst is measured under Wine too")
    ap.add_argument("--wine-prefix", help="the Wine prefix the Windows build prepared (copied for each peer)")
    args = ap.parse_args()
    parts = args.parts.split(",")
    unknown = [x for x in parts if x not in PARTS]
    if unknown:
        ap.error(f"unknown part {', '.join(unknown)}; the parts are {', '.join(PARTS)}")
    reason = netlab.available()
    if reason:
        print(f"lab_bench: NOT RUN: {reason}", file=sys.stderr)
        return 77
    peers.CLI = os.path.abspath(args.cli)

    if "join" in parts:
        lat = join_latency(args.runs)
        lat.sort()
        print(f"join latency (start -> member_joined at a running peer), {len(lat)} runs: "
              f"median {statistics.median(lat):.1f} ms, min {lat[0]:.1f} ms, max {lat[-1]:.1f} ms "
              f"(goal: median < 50 ms)")
    if "forming" in parts:
        form = group_forming(args.peers)
        print(f"{args.peers} peers started together, all listing all {args.peers - 1} others after: "
              f"{form:.0f} ms (goal: < 3000 ms)")
    if "idle" in parts:
        share, span = idle_cpu(args.idle_seconds)
        print(f"idle joined peer: {share:.3f}% of one core over {span:.0f} s (goal: < 1%)")
    if "burst" in parts:
        print_burst("one answer port", attacked(args.burst, "60000"))
        print_burst("50 answer ports", attacked(args.burst, "60000-60049"))
        if args.wine_exe:
            peers.CLI_EXE = os.path.abspath(args.wine_exe)
            peers.WINE_TEMPLATE = os.path.abspath(args.wine_prefix)
            print_burst("one answer port, under Wine", attacked(args.burst, "60000", wine=True))
            print_burst("50 answer ports, under Wine", attacked(args.burst, "60000-60049", wine=True))
    if "answers" in parts:
        n = args.members
        r = attacked(n, f"60000-{60000 + n - 1}", all_ports=True)
        done = r["all_ports_ms"]
        rate = f"{r['ports_answered'] / (done / 1000):.0f} replies/s" if done else "not every port answered"
        print(f"answers to {n} members (one join request each, own answer port): {r['ports_answered']}/{n} ports "
              f"answered, all after {ms(done)}, {rate}, peak {r['peak_threads']} threads "
              f"(goal: every port answered)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
