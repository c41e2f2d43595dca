#!/usr/bin/env python3
"""A minimal independent peer of the launcher's net group, written from the wire format alone.

It speaks the same JSON lines as `tolvane-cli peer` (events on stdout, commands on stdin), so a test can drive it
and a real copy side by side: it searches by broadcast (or asks one address to take it in), answers searches and
join requests by TCP, keeps a member list from the group messages it receives, and sends leave notices when it quits.
"""

import argparse
import json
import os
import random
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wire  # noqa: E402

T0 = time.monotonic()
OUT = threading.Lock()


def emit(event, **fields):
    with OUT:
        sys.stdout.write(json.dumps({"event": event, "t": int((time.monotonic() - T0) * 1000), **fields}) + "\n")
        sys.stdout.flush()


def own_addresses():
    addrs = {"127.0.0.1"}
    if os.environ.get("TOLVANE_HOST_IP"):
        addrs.add(os.environ["TOLVANE_HOST_IP"])
    return addrs


class Peer:
    def __init__(self, a):
        self.a = a
        self.group, self.class_id, self.unit_id = a.group, a.cls, a.name
        self.lock = threading.RLock()
        self.members = {}  # ip -> wire.Member
        self.joined = False
        self.own = own_addresses()
        self.session = random.getrandbits(32)
        self.stop_broadcast = threading.Event()

        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind(("0.0.0.0", a.info_port))
        self.tcp.listen(16)
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.udp.bind(("0.0.0.0", a.udp_port))

    # identity and records

    def full_id(self):
        return f"{self.group}~{self.class_id}~{self.unit_id}"

    def search_id(self):
        return f"{self.group}~*"

    def services(self):
        return wire.Services(self.session, self.a.info_port, (self.a.service_port, 0))

    def local_member(self):
        ip = next(iter(self.own - {"127.0.0.1"}), "127.0.0.1")
        return wire.Member(ip, self.services(), self.class_id, self.unit_id)

    def message(self, mtype, members=()):
        g = wire.GroupMessage(mtype, self.local_member(), members)
        return wire.InfoStream(wire.TT_INFO_REPLY, self.services(), self.full_id(), self.full_id(), g.encode())

    def send_tcp(self, ip, port, info):
        try:
            with socket.create_connection((ip, port), timeout=3) as s:
                s.sendall(wire.frame(info.encode()))
                s.settimeout(3)
                got = b""
                while len(got) < 5:
                    chunk = s.recv(5 - len(got))
                    if not chunk:
                        return False
                    got += chunk
                return got == wire.ACK
        except OSError:
            return False

    # member list

    def publish(self):
        with self.lock:
            lst = [{"name": m.unit_id, "ip": ip} for ip, m in sorted(self.members.items())]
        emit("members", list=lst)

    def accept(self, m, direct, mtype):
        if m.ip in self.own or m.ip == "0.0.0.0":
            return
        with self.lock:
            old = self.members.get(m.ip)
            if old is None:
                self.members[m.ip] = m
                if not self.joined:
                    self.joined = True
                    emit("joined")
                emit("member_joined", name=m.unit_id, **{"class": m.class_id}, ip=m.ip,
                     service_port=m.services.tcp[0])
                self.publish()
            elif direct:
                self.members[m.ip] = m
                if mtype == wire.NGMT_CHANGED_INFO:
                    emit("member_changed", name=m.unit_id, **{"class": m.class_id}, ip=m.ip,
                         service_port=m.services.tcp[0])
                    self.publish()

    def remove(self, ip):
        with self.lock:
            m = self.members.pop(ip, None)
        if m:
            emit("member_left", name=m.unit_id, **{"class": m.class_id}, ip=ip, service_port=m.services.tcp[0])
            self.publish()

    # receiving

    def on_tcp_packet(self, peer_ip, payload):
        try:
            info = wire.InfoStream.decode(payload)
        except ValueError:
            return
        if info.transmission_type != wire.TT_INFO_REPLY or not wire.unique_id_matches(self.search_id(),
                                                                                         info.unique_id):
            return
        g = wire.GroupMessage.decode(info.app_data)
        g.local.ip = peer_ip
        if g.message_type == wire.NGMT_LEAVING:
            self.remove(peer_ip)
            return
        self.stop_broadcast.set()
        self.accept(g.local, True, g.message_type)
        if g.message_type == wire.NGMT_JOIN_REQUEST:
            with self.lock:
                others = [m for ip, m in self.members.items() if ip != peer_ip]
            threading.Thread(target=self.send_tcp, args=(peer_ip, g.local.services.info_reply_port,
                                                         self.message(wire.NGMT_JOIN_REPLY, others)),
                             daemon=True).start()
        for m in reversed(g.members):
            self.accept(m, False, g.message_type)

    def serve_tcp(self):
        while True:
            conn, addr = self.tcp.accept()
            threading.Thread(target=self.serve_conn, args=(conn, addr[0]), daemon=True).start()

    def serve_conn(self, conn, ip):
        with conn:
            wire.read_packets(conn, lambda p: self.on_tcp_packet(ip, p))

    def serve_udp(self):
        while True:
            data, (ip, port) = self.udp.recvfrom(2048)
            if ip in self.own:
                continue
            try:
                req = wire.InfoStream.decode(data)
            except ValueError:
                continue
            if req.transmission_type != wire.TT_BROADCAST:
                continue
            if not wire.unique_id_matches(self.full_id(), req.unique_id):
                continue
            parts = (req.parameter.split("~") + ["", "", ""])[:3]
            sender = wire.Member(ip, req.services, parts[1], parts[2])
            self.accept(sender, True, wire.NGMT_JOIN_REPLY)
            with self.lock:
                others = [m for mip, m in self.members.items() if mip != ip]
            reply = self.message(wire.NGMT_JOIN_REPLY, others)
            if req.services.info_reply_port:
                threading.Thread(target=self.send_tcp, args=(ip, req.services.info_reply_port, reply),
                                 daemon=True).start()
            else:
                self.udp.sendto(reply.encode(), (ip, port))

    # searching and leaving

    def broadcast(self):
        req = wire.InfoStream(wire.TT_BROADCAST, self.services(), self.search_id(), self.full_id())
        deadline = time.monotonic() + 30
        while not self.stop_broadcast.is_set() and time.monotonic() < deadline:
            try:
                self.udp.sendto(req.encode(), ("255.255.255.255", self.a.udp_port))
            except OSError as e:
                emit("error", text=str(e))
            self.stop_broadcast.wait(0.25)

    def join(self):
        self.stop_broadcast.clear()
        if self.a.join_ip:
            msg = self.message(wire.NGMT_JOIN_REQUEST)
            threading.Thread(target=self.send_tcp, args=(self.a.join_ip, self.a.info_port, msg), daemon=True).start()
        else:
            threading.Thread(target=self.broadcast, daemon=True).start()

    def leave(self):
        self.stop_broadcast.set()
        with self.lock:
            targets = [(ip, m.services.info_reply_port) for ip, m in self.members.items()]
            self.members.clear()
        threads = [threading.Thread(target=self.send_tcp, args=(ip, port, self.message(wire.NGMT_LEAVING)))
                   for ip, port in targets]
        for t in threads:
            t.start()
        for t in threads:
            t.join(5)
        self.joined = False
        emit("left")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--name", default="Fake player")
    ap.add_argument("--group", default="GameDuke3d")
    ap.add_argument("--class", dest="cls", default="Launcher")
    ap.add_argument("--udp-port", type=int, default=53795)
    ap.add_argument("--info-port", type=int, default=53796)
    ap.add_argument("--service-port", type=int, default=53797)
    ap.add_argument("--join-ip")
    a = ap.parse_args()
    p = Peer(a)
    threading.Thread(target=p.serve_tcp, daemon=True).start()
    threading.Thread(target=p.serve_udp, daemon=True).start()
    p.join()
    for line in sys.stdin:
        cmd = line.strip()
        if cmd == "quit":
            break
        if cmd == "members":
            p.publish()
        elif cmd == "leave":
            p.leave()
        elif cmd == "join":
            p.join()
        elif cmd:
            emit("error", text="unknown command: " + cmd)
    p.leave()
    return 0


if __name__ == "__main__":
    sys.exit(main())
