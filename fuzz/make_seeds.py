#!/usr/bin/env python3
"""Writes the seed corpus of service_fuzz: real request streams, every call number.

Each seed is one mode byte (0: handshake in the host's order, 1: in the other order, 2: the
stream opens with its own connection request; bit 7 turns tracing on) followed by requests.
Run from the repository: fuzz/make_seeds.py (it rewrites fuzz/seeds/service_fuzz).
"""
import os
import shutil
import struct
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds", "service_fuzz")
MAGIC = 0x2ED76D19


def req(call, words=(), strings=(), data=b"", order="<"):
    body = b"".join(struct.pack(order + "i", w) for w in words)
    body += b"".join(s.encode() + b"\0" for s in strings) + data
    return struct.pack(order + "HBB", 4 + len(body), call, 0) + body


def seeds(order):
    r = lambda call, words=(), strings=(), data=b"": req(call, words, strings, data, order)
    return {
        "file-read": [r(1, (0, 0), ("/scratch/file",)), r(2, (3, 100)), r(5, (3, 4, 0)), r(2, (3, 65508)),
                      r(34, (3,)), r(6, (3,))],
        "file-write": [r(1, (0x602, 0o644), ("/scratch/out",)), r(3, (3, 5), data=b"hello"),
                       r(5, (3, 0, 2)), r(3, (3, 70000)), r(6, (3,)), r(20, (), ("/scratch/out",))],
        "dir": [r(7, (), ("/scratch/dir",)), r(8, (1,)), r(8, (1,)), r(9, (1,)), r(8, (1,)), r(10, (1,)),
                r(8, (1,))],
        "paths": [r(18, (), ("/scratch/link",)), r(32, (), ("/scratch/link",)), r(33, (), ("/scratch/link",)),
                  r(17, (4,), ("/scratch/dir",)), r(21, (0o755,), ("/scratch/new",)),
                  r(24, (0x10700,), ("/scratch/new",)), r(22, (), ("/scratch/new",)),
                  r(19, (), ("/scratch/file", "/scratch/hard")), r(31, (), ("file", "/scratch/soft")),
                  r(20, (), ("/scratch/hard",)), r(20, (), ("/scratch/soft",)), r(25), r(26, (), ("/scratch/dir",)),
                  r(25)],
        "environ": [r(35, (14,), ("FUZZ=value", "X=y")), r(11), r(12), r(13), r(14), r(15), r(16), r(27), r(28)],
        "names": [r(29, (), ("localhost",)), r(30, (2, 4), data=bytes([127, 0, 0, 1])),
                  r(41, (), ("ssh", "tcp")), r(41, (), ("nosuchservice", "udp"))],
        "process": [r(46), r(47), r(45), r(44), r(43, (0, 0)), r(40, (0, 9)), r(6, (9,)), r(42, (6000,)),
                    r(23, (2,), ("/bin/echo", "echo", "hi")), r(36), r(46),
                    r(38, (1,), ("true", "true")), r(37, (1, 1), ("/bin/true", "true", "A=b")), r(39, (3,))],
        "malformed": [r(1, (0,), ()), r(2, (3,)), r(35, (9999,), ("A=b",)), r(23, (-1,)),
                      r(37, (1000, 1000), ("x",)), struct.pack(order + "HBB", 2, 6, 0), r(33, (), ("a" * 1500,))],
    }


def ext_seeds(order):
    r = lambda call, words=(), strings=(), data=b"": req(call, words, strings, data, order)
    return [r(63, (0,)), r(1, (0x602, 0o620), ("/scratch/x",)), r(57, (3, 5, 0, 7), data=b"abcde"),
            r(56, (3, 100, 0, 0)), r(56, (3, 70000, 1, 0)), r(51, (3, 0, 3)), r(60, (3,)), r(62, (3, 1)),
            r(6, (3,)), r(50, (0, 1), ("/scratch/x",)), r(58, (), ("/scratch/x",)), r(59, (), ("/scratch/link",)),
            r(52, (1, 0, 5, 7, 0, 6, 0x3ffffffe), ("/scratch/link",)), r(53, (-1, -1), ("/scratch/x",)),
            r(54, (0o10644,), ("/scratch/fifo",)), r(54, (0o20644,), ("/scratch/dev",)),
            r(55, (), ("/scratch",)), r(49, (), ("/scratch/x", "/scratch/y")), r(7, (), ("/scratch/dir",)),
            r(61, (1, 5)), r(61, (1, 0)), r(61, (1, 0)), r(10, (1,)), r(57, (3, 9999, 0, 0), data=b"x"),
            r(52, (0,)), r(61, ()), r(49, (), ("/scratch/y",)), r(48, (1,))]


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(OUT)
    host = "<" if sys.byteorder == "little" else ">"
    other = ">" if host == "<" else "<"
    for mode, order in ((0, host), (1, other)):
        for name, stream in seeds(order).items():
            with open(os.path.join(OUT, f"{name}-{'host' if mode == 0 else 'swapped'}"), "wb") as f:
                f.write(bytes([mode | 0x80]) + b"".join(stream))
    # Extension calls (agent option -x: mode bit 0x40; 0xc0 and 0xc1 keep the handshake's order).
    for mode, order, tag in ((0xC0, host, "host"), (0xC1, other, "swapped")):
        with open(os.path.join(OUT, f"extensions-{tag}"), "wb") as f:
            f.write(bytes([mode]) + b"".join(ext_seeds(order)))
    # A stream that makes its own connection request, in the other byte order.
    hello = struct.pack(">HBBIIi", 16, 0, 0, MAGIC, 1, 41)
    with open(os.path.join(OUT, "own-handshake"), "wb") as f:
        f.write(bytes([2]) + hello + req(46, order=">") + req(48, order=">"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
