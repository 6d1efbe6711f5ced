#!/usr/bin/env python3
"""Slots under pressure: while clients hold every slot without using it, a
fresh client must still be served within a second.

    run_pressure.py --server path/to/quillmere [--probes N] [--only NAME]

Starts the real server (plain HTTP and TLS on its one port), then for each
attack, over plain HTTP and over TLS: opens the attacking connections, lets
them settle, sends fresh probes one after another (each a new connection,
GET of a small file, the whole response read) and counts those answered
within 1 s. At least 99 % must be. The attacks:

  slow-headers   200 connections that send a request head a line every 10 s
  slow-read      200 connections that read a 16 MiB response 32 bytes a second
  never-read     64 connections that request a 50 MiB file and never read
  idle           64 keep-alive connections that make one request, then idle
  silent         64 connections that send nothing
  half-tls       64 connections that send half a TLS record
  none           no attack: the probes alone

Every attacker is closed at the end of its case; the server must still exit
0 on SIGTERM. Loopback only; bounded in time.
"""

import argparse
import os
import socket
import ssl
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Results  # noqa: E402
from run_e2e import Server, make_cert, make_tree, write  # noqa: E402

PROBE_LIMIT = 1.0


def client_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


CLIENT_TLS = client_context()
SETTLE = 3.0  # long enough for the server's 2 s rate window


class Attack:
    """Attacking connections, one thread each, until stop() is called."""

    def __init__(self, port, tls, count, behave, sustained=False):
        self.port, self.tls, self.count, self.behave = port, tls, count, behave
        self.sustained = sustained  # a dropped attacker connects again at once
        self.stopping = threading.Event()
        self.threads = []
        self.ready = 0
        self.lock = threading.Lock()
        self.sockets = set()

    def track(self, s):
        with self.lock:
            self.sockets.add(s)
        if self.stopping.is_set():
            raise OSError("stopping")
        return s

    def connect(self, rcvbuf=None):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(30)
        self.track(s)
        s.connect(("127.0.0.1", self.port))
        if self.tls:
            s = self.track(CLIENT_TLS.wrap_socket(s, server_hostname="localhost"))
        return s

    def connect_raw(self):
        s = self.track(socket.socket(socket.AF_INET, socket.SOCK_STREAM))
        s.settimeout(30)
        s.connect(("127.0.0.1", self.port))
        return s

    def started(self):
        with self.lock:
            self.ready += 1

    def run_one(self):
        while True:
            s = None
            try:
                s = self.behave(self)
            except (OSError, ssl.SSLError):
                pass
            finally:
                if s is not None:
                    try:
                        s.close()
                    except OSError:
                        pass
            if not self.sustained or self.stopping.is_set():
                return

    def start(self):
        for _ in range(self.count):
            t = threading.Thread(target=self.run_one, daemon=True)
            t.start()
            self.threads.append(t)

    def stop(self):
        """Ends every attacker at once, wherever it blocks."""
        self.stopping.set()
        with self.lock:
            sockets = list(self.sockets)
        for s in sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for t in self.threads:
            t.join(5)


def slow_headers(a):
    s = a.connect()
    s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: x\r\n")
    a.started()
    while not a.stopping.wait(10):
        s.sendall(b"X-Trickle: 1\r\n")
    return s


def slow_read(a):
    s = a.connect(rcvbuf=4096)
    s.sendall(b"GET /big16.bin HTTP/1.1\r\nHost: x\r\n\r\n")
    a.started()
    while not a.stopping.wait(1):
        if not s.recv(32):
            break
    return s


def never_read(a):
    s = a.connect(rcvbuf=4096)
    s.sendall(b"GET /big50.bin HTTP/1.1\r\nHost: x\r\n\r\n")
    a.started()
    a.stopping.wait(600)
    return s


def idle(a):
    s = a.connect()
    s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n")
    data = b""
    while b"\r\n\r\n" not in data or not data.endswith(b"plain a\n"):
        chunk = s.recv(4096)
        if not chunk:
            return s
        data += chunk
    a.started()
    a.stopping.wait(600)
    return s


def silent(a):
    s = a.connect_raw()
    a.started()
    a.stopping.wait(600)
    return s


# The record header of a ClientHello and the first half of its body.
HALF_RECORD = bytes([22, 3, 1, 0, 200, 1, 0, 0, 196]) + b"\x03\x03" + bytes(50)


def half_tls(a):
    s = a.connect_raw()
    s.sendall(HALF_RECORD)
    a.started()
    a.stopping.wait(600)
    return s


ATTACKS = {
    "slow-headers": (200, slow_headers),
    "slow-read": (200, slow_read),
    "never-read": (64, never_read),
    "idle": (64, idle),
    "silent": (64, silent),
    "half-tls": (64, half_tls),
    "none": (0, None),
}


def probe(port, tls):
    """Seconds until a fresh client had the whole answer, or None."""
    begin = time.monotonic()
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=PROBE_LIMIT * 3)
        if tls:
            s = CLIENT_TLS.wrap_socket(s, server_hostname="localhost")
        s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
        s.close()
        if not data.startswith(b"HTTP/1.1 200") or not data.endswith(b"plain a\n"):
            return None
        return time.monotonic() - begin
    except (OSError, ssl.SSLError):
        return None


def open_descriptors(pid):
    kinds = {}
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        kind = "socket" if target.startswith("socket:") else target
        kinds[kind] = kinds.get(kind, 0) + 1
    return kinds


# Each slot keeps the last few (small) files it served open (up to 4, 64 slots).
KEPT_FILES = 64 * 4


def descriptors(pid):
    """Sockets, and descriptors of anything else beyond what slots may keep."""
    kinds = open_descriptors(pid)
    sockets = kinds.get("socket", 0)
    others = sum(kinds.values()) - sockets
    return sockets + max(0, others - KEPT_FILES)


def wait_for_descriptors(pid, count, seconds=20):
    end = time.monotonic() + seconds
    while time.monotonic() < end and descriptors(pid) > count:
        time.sleep(0.5)
    return descriptors(pid)


def run_case(res, port, name, tls, probes, sustained):
    count, behave = ATTACKS[name]
    attack = Attack(port, tls, count, behave, sustained) if count else None
    label = "%s over %s" % (name, "TLS" if tls else "HTTP")
    if attack:
        attack.start()
        time.sleep(SETTLE)
    times = [probe(port, tls) for _ in range(probes)]
    if attack:
        attack.stop()
    served = [t for t in times if t is not None and t <= PROBE_LIMIT]
    ordered = sorted(t for t in times if t is not None)
    median = ordered[len(ordered) // 2] if ordered else None
    worst = ordered[-1] if ordered else None
    summary = "%d of %d within %.0f s (median %s, worst %s; %d attackers had started)" % (
        len(served), probes, PROBE_LIMIT, "%.3f s" % median if median is not None else "-",
        "%.3f s" % worst if worst is not None else "-", attack.ready if attack else 0)
    res.check("%s: %s" % (label, summary), len(served) * 100 >= 99 * probes, summary)
    # The slots come back once the attackers are gone.
    time.sleep(1.5)


def attach(res, args):
    """Another server's root must hold a.txt ("plain a\\n"), big16.bin, big50.bin."""
    names = [args.only] if args.only else ["none", "idle", "never-read", "slow-headers", "slow-read"]
    for name in names:
        for tls in (False, True):
            run_case(res, (args.attach_tls or args.attach) if tls else args.attach, name, tls, args.probes,
                     args.sustained)
    print("%d passed, %d failed" % (res.passed, res.failed))
    return 1 if res.failed else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", help="the binary to start")
    ap.add_argument("--attach", type=int, help="attack a server that runs already, on this port")
    ap.add_argument("--attach-tls", type=int, help="and its TLS port (the same one by default)")
    ap.add_argument("--probes", type=int, default=100)
    ap.add_argument("--only", choices=sorted(ATTACKS))
    ap.add_argument("--sustained", action="store_true",
                    help="attackers connect again as soon as they are dropped (a report, not a pass mark)")
    args = ap.parse_args()
    res = Results()
    if args.attach:
        return attach(res, args)
    import tempfile
    import shutil
    tmp = tempfile.mkdtemp(prefix="qm-pressure-")
    os.chmod(tmp, 0o755)
    try:
        www, media = make_tree(tmp)
        for name, size in (("big16.bin", 16 << 20), ("big50.bin", 50 << 20)):
            with open(os.path.join(www, name), "wb") as f:
                f.truncate(size)
            os.chmod(os.path.join(www, name), 0o644)
        cer, key = make_cert(tmp)
        srv = Server(args.server, tmp, www, media, "tls_cer=%s\ntls_key=%s\n" % (cer, key))
        try:
            if not res.check("server starts and listens", srv.wait_ready(), srv.log_tail()):
                return 1
            names = [args.only] if args.only else ["none", "idle", "never-read", "slow-headers", "slow-read",
                                                   "silent", "half-tls"]
            before = descriptors(srv.proc.pid)
            for name in names:
                for tls in ((False,) if name in ("silent", "half-tls") else (False, True)):
                    run_case(res, srv.port, name, tls, args.probes, args.sustained)
            # Every connection's socket and file are given back.
            after = wait_for_descriptors(srv.proc.pid, before)
            res.check("sockets (and files beyond those slots keep) back to %d after the attacks" % before,
                      after <= before,
                      "%d open: %s" % (after, open_descriptors(srv.proc.pid)))
        finally:
            rc = srv.stop()
            res.expect("server exits 0 within 5 s of SIGTERM", rc, 0)
            reports = srv.sanitizer_reports()
            res.check("no sanitizer report in the server's output", not reports, "\n".join(reports[:20]))
            drops = [line for line in srv.log_tail(1000000).splitlines() if line.startswith("!! ")]
            print("server's drop lines: %d, for example: %s" % (len(drops), drops[:3]))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("%d passed, %d failed" % (res.passed, res.failed))
    return 1 if res.failed else 0


if __name__ == "__main__":
    sys.exit(main())
