#!/usr/bin/env python3
"""Compares two builds of the agent: the replies, trace lines and exit statuses of a corpus of
sessions, in both byte orders. Usage: tools/agentdiff.py OLD_AGENT NEW_AGENT

Each session starts the agent in daemon mode with its options, in a fresh scratch directory
(the same path for both builds, so that traced paths agree), sends its requests one by one over
loopback and records every reply. Words that differ from run to run (times, inode numbers, process
ids, free blocks) are masked, and so are the time prefixes and process ids in the trace. Every
path the corpus changes is relative to the scratch directory. Exit status 0 when both records
agree, 1 with a diff otherwise.
"""
import difflib, os, re, select, shutil, socket, struct, subprocess, sys, tempfile, time

MAGIC = 0x2ED76D19

def req(call, words=(), strings=(), data=b"", order="<", length=None):
    body = b"".join(struct.pack(order + "i", w) for w in words)
    body += b"".join((s if isinstance(s, bytes) else s.encode()) + b"\0" for s in strings) + data
    n = 4 + len(body) if length is None else length
    return struct.pack(order + "HBB", n, call, 0) + body

def corpus(order):
    r = lambda call, words=(), strings=(), data=b"", length=None: req(call, words, strings, data, order, length)
    ctl = b"ctl\x01\x1b[2J\tname\n"
    std = [
        r(1, (0, 0), ("file",)), r(2, (3, 100)), r(5, (3, 4, 0)), r(2, (3, 65508)), r(34, (3,)), r(6, (3,)),
        r(1, (0x602, 0o644), ("out",)), r(3, (3, 5), data=b"hello"), r(5, (3, 0, 2)), r(3, (3, 70000)),
        r(3, (3, 9), data=b"abc"), r(6, (3,)), r(20, (), ("out",)),
        r(1, (0x2a02, 0o600), (ctl,)), r(6, (3,)), r(18, (), (ctl,)), r(20, (), (ctl,)), r(20, (), (ctl,)),
        r(7, (), ("dir",)), r(8, (0x101,)), r(8, (0x100,)), r(8, (0x100,)), r(8, (0x100,)), r(8, (0x100,)), r(9, (0x100,)),
        r(8, (0x100,)), r(10, (0x100,)), r(8, (0x100,)), r(10, (0x100,)), r(7, (), ("nodir",)),
        r(18, (), ("link",)), r(32, (), ("link",)), r(33, (), ("link",)), r(33, (), ("file",)),
        r(17, (4,), ("dir",)), r(17, (7,), ("nosuch",)), r(21, (0o755,), ("new",)),
        r(24, (0x10700,), ("new",)), r(22, (), ("new",)), r(22, (), ("new",)),
        r(19, (), ("file", "hard")), r(31, (), ("file", "soft")), r(31, (), ("file", "soft")),
        r(20, (), ("hard",)), r(20, (), ("soft",)), r(25), r(26, (), ("dir",)), r(25), r(26, (), ("..",)),
        r(35, (14,), ("FUZZ=value", "X=y")), r(11), r(12), r(13), r(14), r(15), r(16), r(27), r(28),
        r(29, (), ("localhost",)), r(29, (), ("a" * 70,)), r(30, (2, 4), data=bytes([127, 0, 0, 1])),
        r(30, (2, 99), data=b"x"), r(41, (), ("ssh", "tcp")), r(41, (), ("nosuchservice", "udp")),
        r(46), r(47), r(45), r(43, (0, 0)), r(40, (0, 9)), r(6, (9,)), r(40, (1, 200)), r(6, (200,)),
        r(42, (1,)),
        r(23, (2,), ("/bin/echo", "echo", "hi")), r(23, (1,), ("/nonexistent", "x")),
        r(36), r(46), r(39, (3,)),
        r(36), r(38, (1,), ("nosuchprogram-xyz", "nosuchprogram-xyz")),
        r(37, (1, 1), ("/nonexistent", "x", "A=b")), r(39, (0,)),
        # malformed
        r(1, (0,), ()), r(2, (3,)), r(35, (9999,), ("A=b",)), r(23, (-1,)), r(37, (1000, 1000), ("x",)),
        struct.pack(order + "HBB", 2, 6, 0), r(33, (), ("a" * 1500,)), r(6), r(34), r(40, (3,)),
        r(18, (), data=b"nonul"), r(19, (), ("only",)), r(41, (), data=b"svc"), r(29, (), data=b"host"),
        r(5, (3, 0)), r(3, (5, 100), data=b"short"), r(17, ()), r(24, (1,)),
        r(6, (1000,)), r(2, (1000, 10)),
        r(44), r(44),
    ]
    ext = [r(63, (0,)), r(1, (0x602, 0o620), ("x",)), r(57, (3, 5, 0, 7), data=b"abcde"),
           r(56, (3, 100, 0, 0)), r(56, (3, 70000, 1, 0)), r(51, (3, 0, 3)), r(60, (3,)), r(62, (3, 1)), r(62, (3, 0)),
           r(6, (3,)), r(50, (0, 1), ("x",)), r(58, (), ("x",)), r(59, (), ("link",)), r(58, (), ("nosuch",)),
           r(52, (1, 0, 5, 7, 0, 6, 0x3ffffffe), ("link",)), r(52, (0, 0, 5, 7, 0, 6, 8), ("x",)), r(53, (-1, -1), ("x",)),
           r(54, (0o10644,), ("fifo",)), r(54, (0o20644,), ("dev",)), r(54, (0o644,), ("plain",)),
           r(55, (), (".",)), r(55, (), ("nosuch",)), r(49, (), ("x", "y")), r(49, (), ("x", "y")), r(7, (), ("dir",)),
           r(61, (0x100, 2)), r(61, (0x100, 0)), r(61, (0x100, 0)), r(61, (0x555, 0)), r(10, (0x100,)),
           r(57, (3, 9999, 0, 0), data=b"x"), r(52, (0,)), r(61, ()), r(49, (), ("y",)), r(51, (0, 0, 0)),
           r(56, (0, 1, 0, 0)), r(60, (0,)), r(62, (0, 0)), r(57, (1000, 1, 0, 0), data=b"z"),
           r(60, (1000,)), r(51, (1000, 0, 0)), r(62, (1000, 0)), r(56, (1000, 10, 0, 0)),
           r(50, (0, 0)), r(53, (1,)), r(63, ()), r(63, (0o22,)),
           r(1, (0, 0), ("plain",)), r(3, (3, 1), data=b"q"), r(56, (3, 5, 0, 0)), r(57, (3, 2, 0, 0), data=b"ab"),
           r(61, (0x100,)), r(58, (), (ctl,)), r(49, (), (ctl, "y"))]
    return [
        ("std", ["-v", "-x"], std + [r(6, (3,))]),
        ("std-noext", ["-v"], std[:20]),
        ("ext", ["-v", "-x"], ext),
        ("ext-quiet", ["-x"], ext),
        ("ext-off", ["-v"], [r(49, (), ("x", "y"))]),
        ("call4", ["-v"], [r(6, (3,)), r(4)]),
        ("call48", ["-v", "-x"], [r(48, (1,))]),
        ("call48-noext", ["-v"], [r(48, (1,))]),
        ("openread", ["-v", "-x"], [r(1, (0x602, 0o644), ("f",)), r(3, (5, 5), data=b"hello"), r(64, (0, 0, 100), ("f",)),
                                    r(64, (0, 0, 2), ("f",)), r(2, (7, 10)), r(64, (0, 0, 1), ("nosuch",)),
                                    r(64, (0, 0, 8), (ctl,)), r(64, (0, 0)), r(6, (5,)), r(6, (6,)), r(6, (7,))]),
        ("call64-noext", ["-v"], [r(64, (0, 0, 1), ("f",))]),
        ("call66", ["-v", "-x"], [r(66, (1,))]),
        ("call255", ["-v"], [r(255)]),
        ("exit", ["-v"], [r(39, (7,))]),
        ("execvp", ["-v"], [r(38, (2,), ("sh", "sh", "-c:"))]),
        ("execve", ["-v"], [r(36), r(37, (3, 1), ("/bin/sh", "sh", "-c", "exit 0", "A=b"))]),
        ("long", ["-v"], [struct.pack(order + "HBB", 65535, 6, 0) + b"\0" * 100]),
        ("cut", ["-v"], [struct.pack(order + "HBB", 40, 6, 0) + b"\0" * 4]),
        ("quiet", [], std[:30]),
    ]

def mask_reply(call, b, order):
    b = bytearray(b)
    def m(*words):
        for w in words:
            if 4 * w + 4 <= len(b):
                b[4 * w:4 * w + 4] = b"MMMM"
    if call == 12: m(3, 4)
    if call in (18, 32, 34): m(4, 10, 11, 12)
    if call in (58, 59, 60): m(9, 10, *range(18, 27))
    if call in (23, 36, 44, 45, 46, 47): m(1)
    if call == 55: m(*range(5, 19))
    if call == 61:
        pos = 12  # each entry: length, error word, status record, name
        while pos + 104 <= len(b):
            step = struct.unpack(order + "i", bytes(b[pos:pos + 4]))[0]
            for w in list(range(2 + 6, 2 + 8)) + list(range(2 + 15, 2 + 24)):
                b[pos + 4 * w:pos + 4 * w + 4] = b"MMMM"
            if step < 104:
                break
            pos += step
    return bytes(b)

def mask_trace(t):
    t = re.sub(r"(?m)^([0-9][0-9.e+-]* )+", "T ", t)
    t = re.sub(r"\b\d{4,}\b", "N", t)
    t = re.sub(r"-?\d+ = (getpid|getppid|getpgrp|setsid|fork)\(\)", r"N = \1()", t)
    t = re.sub(r"0x[0-9a-f]{9,}", "P", t)
    return t

def fixture(d):
    with open(os.path.join(d, "file"), "wb") as f: f.write(b"0123456789" * 20)
    os.mkdir(os.path.join(d, "dir"))
    for n in ("a", "bb", "ccc"):
        open(os.path.join(d, "dir", n), "w").close()
    os.symlink("file", os.path.join(d, "link"))
    for p in ("file", "dir/a", "dir/bb", "dir/ccc", "dir"):
        os.utime(os.path.join(d, p), (1000000000, 1000000000))

def recvn(s, n, timeout):
    buf = b""
    end = time.time() + timeout
    while len(buf) < n:
        left = end - time.time()
        if left <= 0 or not select.select([s], [], [], left)[0]: return buf
        try: c = s.recv(n - len(buf))
        except ConnectionResetError: return buf + b"<reset>"
        if not c: return buf
        buf += c
    return buf

def session(agent, base, name, opts, reqs, order, out):
    d = os.path.join(base, "run")
    shutil.rmtree(d, ignore_errors=True)
    os.mkdir(d)
    try:
        fixture(d)
        env = {"PATH": "/usr/bin:/bin", "HOME": d, "LANG": "C"}
        err = open(d + ".err", "wb")
        p = subprocess.Popen(["xt.term"] + opts + ["-d", "--"], executable=agent, cwd=d, env=env,
                             stdout=subprocess.PIPE, stderr=err, stdin=subprocess.DEVNULL)
        line = p.stdout.readline().decode()
        port = int(line.split("=")[1])
        s = socket.create_connection(("127.0.0.1", port))
        hs = struct.pack(order + "HBBIii", 16, 0, 0, MAGIC, 1, 0x11223344)
        s.sendall(hs)
        out.append("%s %s hs %s" % (name, order, recvn(s, 16, 5).hex()))
        for i, q in enumerate(reqs):
            try: s.sendall(q)
            except OSError as e: out.append("send %d: %s" % (i, e)); break
            h = recvn(s, 4, 3 if q[2] in (36, 37, 38, 23) else 1.5)
            if len(h) < 4:
                out.append("%d call %d: no reply %s" % (i, q[2], h.hex()))
                if len(h) == 0 and p.poll() is not None: break
                continue
            n = struct.unpack(order + "H", h[:2])[0]
            body = recvn(s, max(0, n - 4), 3)
            out.append("%d call %d: %s" % (i, q[2], mask_reply(q[2], h + body, order).hex()))
        s.close()
        try: p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill(); p.wait(); out.append("killed")
        out.append("status %s" % p.returncode)
        time.sleep(0.2)
        err.close()
        out.append(mask_trace(open(d + ".err", "rb").read().decode("latin-1")))
    finally:
        shutil.rmtree(d, ignore_errors=True)
        try: os.unlink(d + ".err")
        except OSError: pass

def record(agent, base):
    out = []
    for order in ("<", ">"):
        for name, opts, reqs in corpus(order):
            session(agent, base, name, opts, reqs, order, out)
    return "\n".join(out).splitlines(keepends=True)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    old, new = (os.path.abspath(a) for a in sys.argv[1:3])
    base = tempfile.mkdtemp(prefix="agentdiff.")
    try:
        before, after = record(old, base), record(new, base)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    diff = list(difflib.unified_diff(before, after, old, new))
    sys.stdout.writelines(diff)
    print("%d lines recorded; %s" % (len(before), "they differ" if diff else "the same"))
    sys.exit(1 if diff else 0)


main()
