#!/usr/bin/env python3
"""A hostile or broken Zmodem sender for the tests of tests/noisy/hostile.sh.

    evil_peer.py DEVICE SCENARIO [ARG]

It opens DEVICE (one end of a pseudo-terminal pair whose other end `zmodem /r`
holds), answers the receiver's headers with crafted frames and logs every
header it sees from the receiver, one per line ("seen TYPE OFFSET"), to
standard output, after a first line "ready" once its end is open and set up
(the receiver is started only then). When its scenario is over it stays on
the line, reading, until the receiver has hung up. Scenarios:

    name NAME_HEX       offer a file named by the hex bytes, then close the batch
    unterminated-name   a ZFILE subpacket whose name has no NUL
    endless-subpacket   a ZFILE subpacket that never reaches a frame end (20000 bytes)
    cut-subpacket       a ZFILE subpacket that stops in the middle: silence after,
                        until the receiver hangs up
    flood KIND          CAN, ZPAD or noise for 3 s first, then send a 5000-byte file
    flood-mid KIND      the same flood in the middle of the file's data
    full-disk           offer "full" with 10000 bytes of data
    vanish              offer a 10000-byte file, send 4096 bytes of it, go silent
    wrong-offset        answers the first ZRPOS 0 with data from offset 100 (ZDATA 100)

A file a scenario sends is made of the bytes (i * 7 + 3) & 0xFF, written to
evil.payload in the working directory so the test can compare it.
"""
import os
import random
import select
import sys
import termios
import time
import tty

ZPAD, ZDLE = 0x2A, 0x18
ZRQINIT, ZRINIT, ZFILE, ZSKIP, ZFIN, ZRPOS, ZDATA, ZEOF = 0, 1, 4, 5, 8, 9, 10, 11
ZCRCE, ZCRCG, ZCRCW = ord("h"), ord("i"), ord("k")


def crc16(data, crc=0):
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def crc32(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xEDB88320 if crc & 1 else crc >> 1
    return crc ^ 0xFFFFFFFF


def escape(data):
    out = bytearray()
    for b in data:
        if (b & 0x7F) in (0x10, 0x11, 0x13, 0x18, 0x7F):
            out.append(ZDLE)
            out.append(0x6C if b == 0x7F else 0x6D if b == 0xFF else b | 0x40)
        else:
            out.append(b)
    return bytes(out)


def header_bytes(kind, value):
    return bytes([kind, value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF, (value >> 24) & 0xFF])


def hex_header(kind, value=0):
    body = header_bytes(kind, value)
    c = crc16(body)
    text = (body + bytes([c >> 8, c & 0xFF])).hex().encode()
    tail = b"\r\n" + (b"" if kind in (ZFIN, 3) else b"\x11")
    return b"**\x18B" + text + tail


def bin32_header(kind, value=0):
    body = header_bytes(kind, value)
    c = crc32(body)
    return b"*\x18C" + escape(body + c.to_bytes(4, "little"))


def subpacket32(data, end):
    c = crc32(data + bytes([end]))
    return escape(data) + bytes([ZDLE, end]) + escape(c.to_bytes(4, "little"))


def zfile(name, size):
    info = name + b"\0" + str(size).encode() + b" 0 0 0\0"
    return bin32_header(ZFILE, 1 << 24) + subpacket32(info, ZCRCW)


class Line:
    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[3] &= ~termios.ECHO
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        self.pending = bytearray()

    def write(self, data, paced=False):
        if not paced:
            os.write(self.fd, data)
            return
        for i in range(0, len(data), 64):  # about 115200 baud
            os.write(self.fd, data[i:i + 64])
            time.sleep(64 * 10 / 115200)

    def until_hangup(self):
        """Reads and drops what the receiver still sends until it hangs up."""
        while True:
            try:
                if not os.read(self.fd, 4096):
                    return
            except OSError:
                return

    def header(self, timeout=30.0):
        """The next hex header from the receiver: (type, offset), or None."""
        deadline = time.time() + timeout
        while True:
            i = self.pending.find(b"\x18B")
            if i >= 0 and len(self.pending) >= i + 16:
                try:
                    raw = bytes.fromhex(self.pending[i + 2:i + 16].decode())
                except ValueError:
                    raw = None
                del self.pending[:i + 16]
                if raw is not None and crc16(raw[:5]) == (raw[5] << 8 | raw[6]):
                    value = int.from_bytes(raw[1:5], "little")
                    print("seen %d %d" % (raw[0], value), flush=True)
                    return raw[0], value
                continue
            left = deadline - time.time()
            if left <= 0:
                return None
            r, _, _ = select.select([self.fd], [], [], left)
            if r:
                try:
                    self.pending += os.read(self.fd, 4096)
                except OSError:
                    return None

    def expect(self, kinds, timeout=30.0):
        while True:
            h = self.header(timeout)
            if h is None or h[0] in kinds:
                return h


def payload(n):
    data = bytes(((i * 7 + 3) & 0xFF) for i in range(n))
    with open("evil.payload", "wb") as f:
        f.write(data)
    return data


def flood_bytes(kind, n):
    if kind == "can":
        return bytes([0x18]) * n
    if kind == "zpad":
        return b"*" * n
    rnd = random.Random(7)
    return bytes(rnd.randrange(256) for _ in range(n))


def send_file(line, name, data, flood_mid=None, wrong_offset=False):
    """Plays a sender for one file; returns True when the receiver took it."""
    line.write(zfile(name, len(data)))
    flooded = False
    answers_due = 1
    while True:
        # Data for the wrong offset draws two ZRPOS (one for the data, one for
        # the ZEOF after it): both are waited for, whatever the load.
        for _ in range(answers_due):
            h = line.expect((ZRPOS, ZSKIP, ZRINIT))
            if h is None:
                return False
            if h[0] != ZRPOS:
                break
        answers_due = 1
        # Requests that piled up while a transmission went out: answer the last.
        while True:
            later = line.expect((ZRPOS, ZSKIP, ZRINIT), 0.5)
            if later is None:
                break
            h = later
        kind, offset = h
        if kind == ZSKIP:
            return False
        if kind == ZRINIT:
            return True
        claim = offset
        if wrong_offset:
            claim, wrong_offset, answers_due = offset + 100, False, 2
        out = bytearray(bin32_header(ZDATA, claim))
        pos = claim
        while pos < len(data):
            block = data[pos:pos + 1024]
            last = pos + len(block) >= len(data)
            out += subpacket32(block, ZCRCE if last else ZCRCG)
            pos += len(block)
            if flood_mid and not flooded and pos >= len(data) // 2:
                line.write(bytes(out), paced=True)
                out = bytearray()
                line.write(flood_bytes(flood_mid, 3 * 11520), paced=True)
                flooded = True
        out += hex_header(ZEOF, len(data))
        line.write(bytes(out), paced=True)


def close_batch(line):
    line.write(hex_header(ZFIN))
    if line.expect((ZFIN,), 30.0) is not None:
        line.write(b"OO")


def main():
    device, scenario = sys.argv[1], sys.argv[2]
    arg = sys.argv[3] if len(sys.argv) > 3 else ""
    line = Line(device)
    print("ready", flush=True)
    if scenario == "flood":
        line.write(flood_bytes(arg, 3 * 11520), paced=True)
    if line.expect((ZRINIT,)) is None:
        print("no ZRINIT", flush=True)
        return 1
    if scenario == "name":
        send_file(line, bytes.fromhex(arg), payload(100))
        close_batch(line)
    elif scenario == "unterminated-name":
        line.write(bin32_header(ZFILE, 1 << 24) + subpacket32(b"noterminator", ZCRCW))
        line.expect((ZRINIT, ZSKIP, ZRPOS), 30.0)
    elif scenario == "endless-subpacket":
        line.write(bin32_header(ZFILE, 1 << 24) + escape(b"x" * 20000), paced=True)
        line.expect((ZRINIT, ZSKIP, ZRPOS), 30.0)
    elif scenario == "cut-subpacket":
        line.write(bin32_header(ZFILE, 1 << 24) + escape(b"cut\0" + b"1"))
    elif scenario in ("flood", "flood-mid"):
        ok = send_file(line, b"flooded.bin", payload(5000), flood_mid=arg if scenario == "flood-mid" else None)
        if ok:
            close_batch(line)
    elif scenario == "full-disk":
        send_file(line, b"full", payload(10000))
    elif scenario == "vanish":
        data = payload(10000)
        line.write(zfile(b"vanish.bin", len(data)))
        h = line.expect((ZRPOS,))
        if h is None:
            return 1
        out = bytearray(bin32_header(ZDATA, 0))
        for pos in range(0, 4096, 1024):
            out += subpacket32(data[pos:pos + 1024], ZCRCG)
        line.write(bytes(out), paced=True)
        print("vanished", flush=True)
        while line.header(600) is not None:  # log what the receiver still asks
            pass
    elif scenario == "wrong-offset":
        if send_file(line, b"offset.bin", payload(3000), wrong_offset=True):
            close_batch(line)
    else:
        print("unknown scenario", scenario, file=sys.stderr)
        return 2
    line.until_hangup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
