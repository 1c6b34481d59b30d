#!/usr/bin/env python3
"""Writes the seed corpus of client_fuzz: replies of real sessions, and replies built alike.

Each seed is one mode byte (bits 0-2 the work of client_fuzz.cpp, bit 3 the other byte order)
followed by the bytes the agent sends after the handshake. The listing and the file read are
recorded: the real agent (daemon mode) serves a scratch directory to the `list`
and `fetch` examples through a relay here that keeps what the agent sent. The rest are built
as the agent builds its replies.

Run from the repository after a build: fuzz/make_client_seeds.py [BUILD_DIR]
(it rewrites fuzz/seeds/client_fuzz).
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "seeds", "client_fuzz")


def reply(call, words=(), data=b"", order="<"):
    body = b"".join(struct.pack(order + "i", w) for w in words) + data
    body += b"\0" * (-len(body) % 4)
    return struct.pack(order + "HBB", 4 + len(body), call, 0) + body


def relay(agent_port, kept, ready):
    """Accepts one client on loopback, relays it to the agent, keeps what the agent sends."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    ready.append(listener.getsockname()[1])
    listener.settimeout(20)
    client, _ = listener.accept()
    agent = socket.create_connection(("127.0.0.1", agent_port), timeout=20)
    client.settimeout(20)

    def up():
        try:
            while data := client.recv(65536):
                agent.sendall(data)
        except OSError:
            pass
        agent.shutdown(socket.SHUT_WR)

    t = threading.Thread(target=up)
    t.start()
    try:
        while data := agent.recv(65536):
            kept.extend(data)
            client.sendall(data)
    except OSError:
        pass
    client.close()
    t.join()
    listener.close()


def record(build, argv_tail):
    """Runs a fresh daemon-mode agent and one example against it; the agent's bytes after the
    handshake reply."""
    agent = subprocess.Popen([os.path.join(build, "hostagent"), "-d", "--"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
    try:
        port = int(agent.stdout.readline().decode().split("=")[1])
        kept, ready = bytearray(), []
        t = threading.Thread(target=relay, args=(port, kept, ready))
        t.start()
        while not ready:
            pass
        example, *rest = argv_tail
        subprocess.run([os.path.join(build, "examples", example), "127.0.0.1:%d" % ready[0], *rest],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30, check=False)
        t.join(timeout=30)
        # After the handshake's 16 bytes comes the answer to the connect's getenv (whether the
        # agent serves the extension calls), which the fuzz target does not ask for.
        first = struct.unpack("<H", bytes(kept[16:18]))[0] if len(kept) >= 18 else 0
        return bytes(kept[16 + first:])
    finally:
        agent.kill()
        agent.wait()


def built(order):
    r = lambda call, words=(), data=b"": reply(call, words, data, order)
    status = (0o100644, 12, 2049, 1, 0, 0, 5, 1700000000, 1700000000, 1700000000)
    status64 = (0o100644, 1, 0, 0, 0, 5, 0, 12, 8, 1, 0, 0, 0, 8, 4096, 0, 1700000000, 0, 0, 1700000000, 0, 0,
                1700000000, 0)
    entry = struct.pack(order + "ii", 4 * 26 + 8, 0) + b"".join(struct.pack(order + "i", w) for w in status64)
    entry += b"name\0\0\0\0"
    return {
        # Mode 3: stat, read, readdir, readlink, getcwd, read, getpid.
        3: r(18, (0, 0) + status) + r(2, (5, 0), b"hello") + r(8, (0, 0), b"entry\0") + r(33, (4, 0), b"dest") +
        r(25, (1, 0), b"/home\0") + r(2, (0, 0)) + r(46, (77, 0)),
        # Mode 4: getenv, gethostbyname, getservbyname, readdirplus, stat64, statvfs, pread64,
        # readlink, gettimeofday.
        4: r(11, (8,), b"A=1\0B=2\0") + r(29, (0, 1, 1, 4, 2), b"localhost\0alias\0\x7f\0\0\x01") +
        r(41, (22, 1, 0, 0), b"ssh\0tcp\0alt\0") + r(61, (1, 0), entry) + r(58, (0, 0) + status64) +
        r(55, (0, 0, 4096, 4096, 0, 1000, 0, 500, 0, 400, 0, 100, 0, 50, 0, 50, 0, 7, 0, 255)) +
        r(56, (3, 0), b"abc") + r(33, (-1, 2)) + r(12, (0, 0, 1700000000, 5, 0, 0)),
        # Mode 5: read, getcwd, readdir (the end), getlogin.
        5: r(2, (3, 0), b"abc") + r(25, (1, 0), b"/\0") + r(8, (-1, 22)) + r(27, (), b"user".ljust(64, b"\0")),
        # Mode 0: one reply of each shape.
        0: r(29, (0, 0, 0x7fffffff, 0, 2), b"a\0"),
    }


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "default")
    if os.path.isdir(OUT):
        shutil.rmtree(OUT)
    os.makedirs(OUT)
    seeds = {}
    with tempfile.TemporaryDirectory() as scratch:
        for i in range(5):
            with open(os.path.join(scratch, "file%d" % i), "w") as f:
                f.write("x" * (i * 1000))
        with open(os.path.join(scratch, "big"), "wb") as f:
            f.write(bytes(range(256)) * 300)
        os.symlink("file1", os.path.join(scratch, "link"))
        seeds["list-recorded"] = b"\x01" + record(build, ["list", scratch])
        seeds["fetch-recorded"] = b"\x02" + record(build, ["fetch", os.path.join(scratch, "big"),
                                                           os.path.join(scratch, "copy")])
    for order, flag, name in (("<", 0, "host"), (">", 8, "swapped")):
        for mode, data in built(order).items():
            seeds["mode%d-%s" % (mode, name)] = bytes([mode | flag]) + data
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print("wrote %d seeds to %s" % (len(seeds), OUT))


if __name__ == "__main__":
    main()
