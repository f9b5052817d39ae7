#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

Each seed is a well-formed input of the kind the target parses, so that the
fuzzer starts from the formats' real shapes: overlay packets of every type
and bundles, a topology description, a galaxy list, time packets, the
room key's handshake and sealed packets, a registry file and a log
configuration. Run it again after changing a
format; the files it writes are committed.
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Packet types.
REGISTER, PING_TEST, TIME_SYNC, DISCONNECT, DATA, PEEK, DIRECT, PING, PONG, ERROR = (
    17, 18, 20, 24, 33, 34, 35, 36, 37, 62)


def packet(kind, payload=b"", frame=True, index=0, src=0, dst=0, immediate=True, sequenced=False,
           frame_id=0, ping=5):
    word0 = (kind & 0x3F) | (int(frame) << 6) | ((index & 0x1FFFFFF) << 7)
    word1 = (src & 0x1FF) | ((dst & 0x1FF) << 9) | (int(immediate) << 18) | (int(sequenced) << 19) \
        | ((len(payload) & 0x7FF) << 21)
    head = struct.pack("<II", word0, word1)
    if frame:
        head += struct.pack("<IH", frame_id, ping)
    return head + payload


def peer_property(peer_id, slot, major=1, minor=2, ip=0x7F000001, port=7000):
    room = (major & 0x3FF) | ((minor & 0x3FFF) << 10) | ((slot & 0xFF) << 24)
    # id, roomId, ip, port, hasRealIp, listen, auxFlag, excludeFromClosest,
    # aux1, tag (id, kind, address, port), aux2..aux5: 50 bytes
    record = struct.pack("<iIIHBBBBIiHIHIIII", peer_id, room, ip, port, 0, 1, 0, 0, 0, -1, 0, 0xFFFFFFFF, 0xFFFF,
                         0, 0xFFFFFFFF, 0, 0)
    assert len(record) == 50
    return record


def step(sender, data, reliable=True):
    """One received ENet packet in an overlay input."""
    return bytes([(sender & 7) | (8 if reliable else 0)]) + struct.pack("<H", len(data)) + data


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def overlay():
    # setup byte: mode index (0, 3, 5) + 3 * place (root, inner, leaf) + 9 * sync
    def setup(mode, place, sync):
        return bytes([mode + 3 * place + 9 * int(sync)])

    ntp = bytes([0x1B, 0x0F, 0x08, 0x00]) + bytes(36) + struct.pack(">II", 3976214400, 250)
    room = struct.pack("<I", 1 | (2 << 10))
    for mode in range(3):
        for place in range(3):
            sync = place != 1
            s = setup(mode, place, sync)
            # immediate and ordered broadcasts from a child and from the parent
            data = step(2, packet(DATA, b"hello", src=2, dst=2, immediate=True))
            data += step(2, packet(DATA, b"ordered", src=2, dst=2, immediate=False, index=0))
            data += step(0, packet(DATA, b"down", src=0, dst=0, immediate=False, index=3,
                                   sequenced=mode == 2))
            data += step(3, packet(PEEK, b"", src=3, dst=3, immediate=False, index=0))
            data += b"\xF7"
            write("overlay", f"broadcast_m{mode}_p{place}", s + data)
    s = setup(1, 2, True)
    # a bundle of three stored packets from the parent
    bundle = b"".join(packet(DATA, bytes([65 + i]) * 40, src=0, dst=1, immediate=False, index=i)
                      for i in range(3))
    write("overlay", "bundle_leaf", s + step(1, bundle) + b"\xF2\x01" + step(1, bundle))
    s = setup(1, 1, False)
    write("overlay", "bundle_inner", s + step(0, bundle + packet(PEEK, b"", frame=False, immediate=False)))
    s = setup(0, 1, True)
    write("overlay", "direct", s + step(0, packet(DIRECT, b"to me", src=0, dst=1))
          + step(2, packet(DIRECT, b"to five", src=4, dst=5)))
    write("overlay", "ping_pong", s + step(2, packet(PING, struct.pack("<I", 900), src=2, dst=0))
          + step(0, packet(PONG, struct.pack("<I", 900), src=0, dst=1)) + b"\xF4")
    write("overlay", "disconnect", s + step(0, packet(DISCONNECT, peer_property(104, 4), src=0, dst=0)))
    write("overlay", "error", s + step(3, packet(ERROR, struct.pack("<I", 0x10F05), src=3, dst=3)))
    write("overlay", "time_sync", s + step(7, packet(TIME_SYNC, ntp, src=4, dst=4)))
    write("overlay", "ping_test", s + step(7, packet(PING_TEST, struct.pack("<I", 77), frame=False)))
    write("overlay", "register", s + step(7, packet(REGISTER, struct.pack("<i", 105) + room, src=5, dst=5)))
    write("overlay", "host_calls", setup(1, 0, True) + b"\xF0\x10\x00\x00\xF1\x20\x00\x01\xF2\x00"
          + b"\xF3\x08\x03\xF4\xF5\x02\xF6\x10\x00\x10\x00\xF7")


def topology():
    def description(capacity, size, sync, records, entries):
        out = struct.pack("<iiB", capacity, size, sync)
        out += struct.pack("<i", len(records)) + b"".join(records)
        out += struct.pack("<i", len(entries))
        out += b"".join(struct.pack("<BBi", s, p, ping) for s, p, ping in entries)
        return out

    records = [peer_property(4242 if s == 1 else 100 + s, s) for s in range(4)]
    write("topology", "star", b"\x01" + description(64, 1478, 1, records, [(0, 0, 10), (1, 0, 20), (2, 0, 30),
                                                                          (3, 0, 40)]))
    write("topology", "chain", b"\x02" + description(16, 200, 0, records, [(0, 0, 1), (1, 0, 2), (2, 1, 3),
                                                                          (3, 2, 4)]))
    write("topology", "cycle", b"\x00" + description(0, 0, 0, records[:2], [(0, 1, 5), (1, 0, 5)]))
    write("topology", "short", b"\x03" + description(8, 100, 1, records, [])[:30])


def galaxy():
    def entry(gid, name, port):
        return struct.pack("<iI", gid, len(name)) + name + struct.pack("<i", port)

    write("galaxy", "two", struct.pack("<iI", 800, 2) + entry(1, b"galaxy1.example\0", 7000)
          + entry(2, b"10.0.0.1", 7001))
    write("galaxy", "long_name", struct.pack("<iI", 300, 1) + entry(9, b"x" * 64, 1))
    write("galaxy", "cut", struct.pack("<iI", 300, 3) + entry(1, b"a", 1)[:9])


def net_time():
    now = struct.pack("<Q", 1767225600000)
    request = bytes([0x1B, 0x0F, 0x08, 0x00]) + bytes(36) + struct.pack(">II", 3976214400, 120)
    answer = bytes([0x1C, 0x0F, 0x08, 0x00]) + bytes(20) + struct.pack(">IIIIII", 3976214400, 100,
                                                                         3976214400, 350, 3976214400, 351)
    write("net_time", "request", now + request)
    write("net_time", "answer", now + answer)
    write("net_time", "insane", now + answer[:24] + struct.pack(">II", 1, 0) + answer[32:])


def room_key():
    hello = packet(21, bytes(range(32)), frame=False, immediate=False)
    proof = packet(22, bytes(32), frame=False, immediate=False)

    def net(data):
        return b"\x00" + struct.pack("<H", len(data)) + data

    write("room_key", "handshake", b"\x00" + net(hello) + net(proof))
    write("room_key", "handshake_out_of_order", b"\x00" + net(proof) + net(hello))
    # Genuine packets in order, one again, one altered, one far behind,
    # and bytes that only look sealed.
    write("room_key", "open", b"\x80" + b"".join(bytes([0x80 | i, 0xFF]) for i in range(6))
          + b"\x82\xFF\x84\x10\x9F\xFF\x80\xFF" + net(struct.pack("<Q", 40) + bytes(40)))


def registry():
    write("registry", "cache", b"Windows Registry Editor Version 5.00\r\n\r\n"
          b"[HKEY_CURRENT_USER\\Software\\Zintar\\Galaxy]\r\n"
          b"\"galaxy1.example:7000\"=dword:0000012c\r\n\"Time\"=dword:69559a00\r\n"
          b"\"LocalIp\"=dword:0a000001\r\n\r\n"
          b"[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\General]\r\n\"RandomFake\"=dword:0\r\n"
          b"[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\3]\r\n"
          b"\"galaxy1.example:7000\"=dword:00000020\r\n")
    write("registry", "odd", b"\xEF\xBB\xBF[HKEY_CURRENT_USER\\Software\\Zintar\\Galaxy\\]\n"
          b"\"a\\\"b\\\\c\"=dword:ffffffff\n\"x\"=hex:01,02\n[-HKEY_CURRENT_USER\\Software]\n[broken\n")


def log_config():
    write("log_config", "full", b"[Log]\nFileName=logs/app\nType=Hourly\nLevel=Debug\nBuffering=1\n"
          b"DisplayDate=1\nVerbose=0\n")
    write("log_config", "odd", b"; comment\n[log]\ntype = weekly\nLEVEL=detail\nBuffering=99999999999999999999\n"
          b"[Other]\nFileName=x\n[Log]\nFileName=" + b"y" * 300 + b"\n")


if __name__ == "__main__":
    overlay()
    topology()
    galaxy()
    net_time()
    room_key()
    registry()
    log_config()
