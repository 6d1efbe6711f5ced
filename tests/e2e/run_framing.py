#!/usr/bin/env python3
"""Request framing and deadlines, through the real binary: no body is ever
read as a request, conflicting lengths are refused, every request head,
body and TLS handshake is bounded in time, and telling TLS from plain HTTP
does not depend on how the first bytes are split.

    run_framing.py --server path/to/quillmere

The slow cases (up to about 35 s each) run side by side; the whole run
takes well under a minute. Loopback only.
"""

import argparse
import os
import shutil
import socket
import ssl
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Results  # noqa: E402
from run_e2e import Server, make_cert, make_tree  # noqa: E402

A_TXT = b"plain a\n"


def client_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


class Channel:
    """A connection, plain or TLS over a memory BIO, whose writes can be cut
    and spaced as a test likes."""

    def __init__(self, port, tls, opening=None, wait_before=0.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.tls = None
        if tls:
            self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
            self.tls = client_context().wrap_bio(self.incoming, self.outgoing, server_hostname="localhost")
            time.sleep(wait_before)
            self.handshake(opening)

    def handshake(self, opening):
        first = True
        while True:
            try:
                self.tls.do_handshake()
                self.flush()
                return
            except ssl.SSLWantReadError:
                data = self.outgoing.read()
                if first and opening:
                    self.send_in_pieces(data, opening)
                else:
                    self.sock.sendall(data)
                first = False
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise OSError("closed in the handshake")
                self.incoming.write(chunk)

    def send_in_pieces(self, data, pieces):
        """pieces: [(cut, pause)]: send up to each cut, then pause."""
        at = 0
        for cut, pause in pieces:
            self.sock.sendall(data[at:cut])
            at = cut
            time.sleep(pause)
        self.sock.sendall(data[at:])

    def flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def send(self, data):
        if self.tls:
            self.tls.write(data)
            self.flush()
        else:
            self.sock.sendall(data)

    def read_all(self, timeout):
        """Everything until the peer closes or timeout passes; (bytes, closed)."""
        self.sock.settimeout(timeout)
        out, closed = b"", False
        end = time.monotonic() + timeout
        try:
            while time.monotonic() < end:
                if self.tls:
                    try:
                        piece = self.tls.read(65536)
                        if not piece:  # close_notify
                            closed = True
                            break
                        out += piece
                        continue
                    except ssl.SSLWantReadError:
                        pass
                    except ssl.SSLZeroReturnError:
                        closed = True
                        break
                chunk = self.sock.recv(65536)
                if not chunk:
                    closed = True
                    break
                if self.tls:
                    self.incoming.write(chunk)
                else:
                    out += chunk
        except socket.timeout:
            pass
        except (OSError, ssl.SSLError):
            closed = True
        return out, closed

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def responses(data):
    return data.count(b"HTTP/1.1 ")


def request(target, extra=b"", keep=True):
    return (b"GET " + target + b" HTTP/1.1\r\nHost: x\r\n" + (b"Connection: keep-alive\r\n" if keep else b"")
            + extra + b"\r\n")


def smuggle_cases(res, port, tls):
    kind = "TLS" if tls else "HTTP"
    # The body's bytes from 65 535 on hold a request of their own.
    body = bytearray(b"x" * 70000)
    smuggled = request(b"/f1000.bin", keep=True)
    body[65535:65535 + len(smuggled)] = smuggled
    head = request(b"/a.txt", b"Content-Length: 70000\r\n")
    for label, pieces in (("whole", None), ("in pieces", [1000, 40000, 65000, 65535, 66000])):
        c = Channel(port, tls)
        data = head + bytes(body)
        if pieces:
            at = 0
            for cut in pieces:
                c.send(data[at:cut])
                at = cut
                time.sleep(0.05)
            c.send(data[at:])
        else:
            c.send(data)
        c.send(request(b"/a.txt"))
        out, _ = c.read_all(3)
        c.close()
        res.check("%s, body of a GET read %s: two answers for the two real requests, none smuggled" % (kind, label),
                  responses(out) == 2 and out.endswith(A_TXT) and b"00000000000000" not in out, repr(out[:300]))
    # A body too large to read away ends the connection after the answer.
    c = Channel(port, tls)
    c.send(request(b"/a.txt", b"Content-Length: 5000000\r\n") + b"y" * 100000 + smuggled)
    out, closed = c.read_all(5)
    c.close()
    res.check("%s, GET with a 5 MB body: answered, then closed" % kind,
              responses(out) == 1 and out.endswith(A_TXT) and closed, repr(out[:200]))


def length_cases(res, port, tls):
    kind = "TLS" if tls else "HTTP"
    for label, extra, status, closed_too in (
            ("two Content-Lengths that differ", b"Content-Length: 3\r\nContent-Length: 1\r\n", b"400", True),
            ("Transfer-Encoding and Content-Length", b"Transfer-Encoding: chunked\r\nContent-Length: 3\r\n",
             b"400", True),
            ("Transfer-Encoding alone", b"Transfer-Encoding: chunked\r\n", b"501", True),
            ("the same Content-Length twice", b"Content-Length: 3\r\nContent-Length: 3\r\n", b"200", False)):
        c = Channel(port, tls)
        c.send(b"POST /echo HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n" + extra + b"\r\nabc")
        out, closed = c.read_all(2)
        c.close()
        res.check("%s, %s: %s%s" % (kind, label, status.decode(), ", closed" if closed_too else ""),
                  out.startswith(b"HTTP/1.1 " + status) and (closed or not closed_too), repr(out[:120]))


def dribble(c, data, gap, stop_after):
    """Sends data a byte at a time, gap seconds apart; (closed, seconds)."""
    begin = time.monotonic()
    c.sock.settimeout(gap)
    for i in range(len(data)):
        if time.monotonic() - begin > stop_after:
            break
        try:
            c.send(data[i:i + 1])
            chunk = c.sock.recv(65536)
            if not chunk:
                return True, time.monotonic() - begin
        except socket.timeout:
            continue
        except (OSError, ssl.SSLError):
            return True, time.monotonic() - begin
    return False, time.monotonic() - begin


def deadline_cases(res, port):
    """Each in a thread: all are slow, none depends on another."""
    results = {}

    def post_body():
        c = Channel(port, False)
        c.send(b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n")
        results["post"] = dribble(c, b"z" * 100, 2.0, 60)
        c.close()

    def second_head(tls):
        c = Channel(port, tls)
        c.send(request(b"/a.txt"))
        first, _ = c.read_all(1)
        head = request(b"/a.txt") + b"X-Pad: " + b"p" * 200 + b"\r\n"
        results["second head %s" % tls] = (first.endswith(A_TXT),) + dribble(c, head, 3.0, 60)
        c.close()

    def handshake():
        s = socket.create_connection(("127.0.0.1", port), timeout=60)
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        t = client_context().wrap_bio(incoming, outgoing, server_hostname="localhost")
        try:
            t.do_handshake()
        except ssl.SSLWantReadError:
            pass
        hello = outgoing.read()
        begin = time.monotonic()
        s.settimeout(1.0)
        closed = False
        for i in range(len(hello)):
            try:
                s.sendall(hello[i:i + 1])
                if s.recv(65536) == b"":
                    closed = True
                    break
            except socket.timeout:
                continue
            except OSError:
                closed = True
                break
            if time.monotonic() - begin > 60:
                break
        results["handshake"] = (closed, time.monotonic() - begin)
        s.close()

    threads = [threading.Thread(target=f, args=a) for f, a in
               ((post_body, ()), (second_head, (False,)), (second_head, (True,)), (handshake, ()))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(90)
    closed, took = results.get("post", (False, 0))
    res.check("a POST body a byte every 2 s: closed after about 30 s (%.1f s)" % took, closed and 28 < took < 36,
              repr(results.get("post")))
    for tls in (False, True):
        answered, closed, took = results.get("second head %s" % tls, (False, False, 0))
        res.check("%s, the second request's head a byte every 3 s: closed after about 30 s (%.1f s)"
                  % ("TLS" if tls else "HTTP", took), answered and closed and 28 < took < 36,
                  repr(results.get("second head %s" % tls)))
    closed, took = results.get("handshake", (False, 0))
    res.check("a ClientHello dribbled a byte a second: closed after about 10 s (%.1f s)" % took,
              closed and 9 < took < 14, repr(results.get("handshake")))


def opening_cases(res, port):
    for label, pieces, wait in (("split after 1 byte", [(1, 0.3)], 0), ("split after 3 bytes", [(3, 0.3)], 0),
                                ("split after 5 bytes", [(5, 0.3)], 0),
                                ("split after 1, 3 and 5", [(1, 0.3), (3, 0.3), (5, 0.3)], 0),
                                ("after waiting 1.5 s", None, 1.5)):
        try:
            c = Channel(port, True, opening=pieces, wait_before=wait)
            c.send(request(b"/a.txt", keep=False))
            out, _ = c.read_all(3)
            c.close()
        except (OSError, ssl.SSLError) as e:
            out = repr(e).encode()
        res.check("TLS %s: handshake and answer" % label,
                  out.startswith(b"HTTP/1.1 200") and out.endswith(A_TXT), repr(out[:120]))
    # Plain HTTP cut the same way is still plain HTTP.
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    for piece in (b"GE", b"T /a", b".txt HTTP/1.1\r\nHost: x\r\n\r\n"):
        s.sendall(piece)
        time.sleep(0.3)
    s.settimeout(3)
    out = b""
    try:
        while not out.endswith(A_TXT):
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
    except socket.timeout:
        pass
    s.close()
    res.check("plain HTTP in pieces: answered", out.startswith(b"HTTP/1.1 200") and out.endswith(A_TXT),
              repr(out[:120]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    args = ap.parse_args()
    res = Results()
    tmp = tempfile.mkdtemp(prefix="qm-framing-")
    os.chmod(tmp, 0o755)
    try:
        www, media = make_tree(tmp)
        cer, key = make_cert(tmp)
        srv = Server(args.server, tmp, www, media, "tls_cer=%s\ntls_key=%s\n" % (cer, key))
        try:
            if not res.check("server starts and listens", srv.wait_ready(), srv.log_tail()):
                return 1
            slow = threading.Thread(target=deadline_cases, args=(res, srv.port))
            slow.start()
            for tls in (False, True):
                smuggle_cases(res, srv.port, tls)
                length_cases(res, srv.port, tls)
            opening_cases(res, srv.port)
            slow.join(120)
        finally:
            rc = srv.stop()
            res.expect("server exits 0 within 5 s of SIGTERM", rc, 0)
            reports = srv.sanitizer_reports()
            res.check("no sanitizer report in the server's output", not reports, "\n".join(reports[:20]))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("%d passed, %d failed" % (res.passed, res.failed))
    return 1 if res.failed else 0


if __name__ == "__main__":
    sys.exit(main())
