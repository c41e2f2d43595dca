"""An independent encoder and decoder of the launcher's wire format, for the tests that cross a network.

Written from the format's description alone (element records with check values and headers, the info stream,
group messages, the 5-byte TCP framing), so a test that pairs it with the program checks both against the format,
not one against the other.
"""

import socket
import struct
import zlib

# --- check values ----------------------------------------------------------------------------------------------


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def _crc16_usb_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
        table.append(c)
    return table


_CRC16 = _crc16_usb_table()


def crc16_usb(data):
    c = 0xFFFF
    for b in data:
        c = (c >> 8) ^ _CRC16[(c ^ b) & 0xFF]
    return c ^ 0xFFFF


# --- elements --------------------------------------------------------------------------------------------------


def long_string(s):
    b = s.encode("latin-1") + b"\0"
    return struct.pack("<I", len(b)) + b


def sized(payload):
    return struct.pack("<I", len(payload)) + payload


def record(raw):
    return sized(raw)


def wrap_record(elements, crc=True, header=True, short=False):
    """A whole record: check value (32 or 16 bits) and header (02 02) when asked, then the elements."""
    body = (b"\x02\x02" if header else b"") + elements
    if not crc:
        return body
    return (struct.pack("<H", crc16_usb(body)) if short else struct.pack("<I", crc32(body))) + body


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def left(self):
        return len(self.data) - self.pos

    def take(self, n):
        if self.left() < n:
            raise ValueError("short data")
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def sized(self):
        return self.take(self.u32())

    def long_string(self):
        payload = self.sized()
        return payload.split(b"\0", 1)[0].decode("latin-1")


def unwrap_record(data, crc=True, header=True, short=False):
    """Checks and strips the check value and header; returns the element bytes."""
    r = Reader(data)
    if crc:
        stored = struct.unpack("<H", r.take(2))[0] if short else r.u32()
        rest = data[r.pos:]
        actual = crc16_usb(rest) if short else crc32(rest)
        if stored != actual:
            raise ValueError("check value mismatch")
    if header:
        r.take(2)
    return data[r.pos:]


# --- addresses -------------------------------------------------------------------------------------------------


def ip_to_u32(ip):
    """Dotted text to the 32-bit value in network byte order (first number in the first byte in memory)."""
    return struct.unpack("<I", socket.inet_aton(ip))[0]


def u32_to_ip(v):
    return socket.inet_ntoa(struct.pack("<I", v))


# --- records of the net group -----------------------------------------------------------------------------------

TT_BROADCAST, TT_INFO_REPLY = 0, 1
NGMT_JOIN_REPLY, NGMT_JOIN_REQUEST, NGMT_LEAVING, NGMT_CHANGED_INFO = 0, 1, 2, 3


class Services:
    """The 16-byte service record: session, spare, answer port, two TCP and two other service ports."""

    def __init__(self, session_id=0, info_reply_port=0, tcp=(0, 0), other=(0, 0)):
        self.session_id = session_id
        self.info_reply_port = info_reply_port
        self.tcp = tuple(tcp)
        self.other = tuple(other)

    def pack(self):
        return struct.pack("<IHHHHHH", self.session_id, 0, self.info_reply_port, self.tcp[0], self.tcp[1],
                           self.other[0], self.other[1])

    @classmethod
    def unpack(cls, b):
        sid, _spare, port, t1, t2, o1, o2 = struct.unpack("<IHHHHHH", b)
        return cls(sid, port, (t1, t2), (o1, o2))


class Member:
    def __init__(self, ip="0.0.0.0", services=None, class_id="", unit_id=""):
        self.ip = ip
        self.services = services or Services()
        self.class_id = class_id
        self.unit_id = unit_id

    def elements(self):
        st = struct.pack("<Q", ip_to_u32(self.ip)) + self.services.pack()
        return record(st) + long_string(self.class_id) + long_string(self.unit_id)

    @classmethod
    def read(cls, r):
        """Reads the three elements; missing data gives null values, as the format allows."""
        m = cls()
        if r.left() >= 4:
            st = r.sized()
            st = (st + bytes(24))[:24]
            m.ip = u32_to_ip(struct.unpack("<Q", st[:8])[0] & 0xFFFFFFFF)
            m.services = Services.unpack(st[8:24])
        if r.left() >= 4:
            m.class_id = r.long_string()
        if r.left() >= 4:
            m.unit_id = r.long_string()
        return m


class GroupMessage:
    """The group message: type, the sender's own member record, and the members it knows."""

    def __init__(self, message_type=NGMT_JOIN_REPLY, local=None, members=()):
        self.message_type = message_type
        self.local = local or Member()
        self.members = list(members)

    def encode(self):
        items = b"".join(sized(m.elements()) for m in self.members)
        elements = (record(bytes([self.message_type])) + sized(self.local.elements()) +
                    sized(struct.pack("<I", len(self.members)) + items))
        return wrap_record(elements)

    @classmethod
    def decode(cls, data):
        g = cls()
        if not data:
            return g
        r = Reader(unwrap_record(data))
        if r.left() >= 4:
            g.message_type = (r.sized() + b"\0")[0]
        if r.left() >= 4:
            g.local = Member.read(Reader(r.sized()))
        if r.left() >= 4:
            lr = Reader(r.sized())
            count = lr.u32() if lr.left() >= 4 else 0
            for _ in range(count):
                g.members.append(Member.read(Reader(lr.sized())))
        return g


class InfoStream:
    """The discovery record: no header, a 16-bit check value."""

    def __init__(self, transmission_type=TT_BROADCAST, services=None, unique_id="", parameter="", app_data=b""):
        self.transmission_type = transmission_type
        self.services = services or Services()
        self.unique_id = unique_id
        self.parameter = parameter
        self.app_data = app_data

    def encode(self):
        st = bytes([self.transmission_type]) + self.services.pack()
        elements = record(st) + long_string(self.unique_id) + long_string(self.parameter) + sized(self.app_data)
        return wrap_record(elements, header=False, short=True)

    @classmethod
    def decode(cls, data):
        r = Reader(unwrap_record(data, header=False, short=True))
        st = r.sized()
        i = cls(st[0], Services.unpack(st[1:17]))
        i.unique_id = r.long_string()
        i.parameter = r.long_string()
        i.app_data = r.sized()
        return i


def unique_id_matches(own, other):
    """The wildcard rule: a '*' in either identifier (the other's first) matches any rest, ASCII case-insensitive."""
    p = other.find("*")
    if p < 0:
        p = own.find("*")
    up = lambda s: "".join(c.upper() if "a" <= c <= "z" else c for c in s)
    if p < 0:
        return up(own) == up(other)
    return up(own[:p]) == up(other[:p])


# --- TCP framing ------------------------------------------------------------------------------------------------

ACK = b"\x02\x00\x00\x00\x80"


def frame(payload, ask_ack=True):
    n = len(payload) | (0x80000000 if ask_ack else 0)
    return b"\x02" + struct.pack("<I", n) + payload


def split_packets(buf):
    """The whole packets at the start of buf, as (payload, asks_ack), and the bytes left; garbage before an STX and
    bare acknowledgements are dropped."""
    packets = []
    while True:
        stx = buf.find(b"\x02")
        if stx < 0:
            return packets, b""
        buf = buf[stx:]
        if len(buf) < 5:
            return packets, buf
        n = struct.unpack("<I", buf[1:5])[0]
        ack, length = bool(n & 0x80000000), n & 0x7FFFFFFF
        if ack and length == 0:
            buf = buf[5:]
            continue
        if len(buf) < 5 + length:
            return packets, buf
        packets.append((buf[5:5 + length], ack))
        buf = buf[5 + length:]


def read_packets(sock, on_packet):
    """Reads framed packets until the peer closes; acknowledges those that ask for it after on_packet ran."""
    buf = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except OSError:
            return
        if not chunk:
            return
        packets, buf = split_packets(buf + chunk)
        for payload, ack in packets:
            on_packet(payload)
            if ack:
                sock.sendall(ACK)
