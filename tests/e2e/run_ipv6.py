#!/usr/bin/env python3
"""IPv4 and IPv6 on the one port.

    run_ipv6.py --server path/to/quillmere

Starts the real server with the HTTPS upgrade on and a certificate for
localhost, ::1 and 127.0.0.1, then checks: the bind line; plain and TLS
requests with curl over 127.0.0.1 and over ::1 on the same port; the
upgrade's Location for IPv6, IPv4 and name Hosts; and the client address in
the lines that report connections freed under pressure ([::1]:port for an
IPv6 client, a.b.c.d:port for an IPv4 one, never ::ffff:a.b.c.d).

Where ::1 cannot be bound (a container without IPv6) the checks that need
it are skipped with the reason printed; the rest still run. Loopback only;
bounded in time.
"""

import argparse
import os
import re
import socket
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Results  # noqa: E402
from run_e2e import curl, make_cert, run_server, write  # noqa: E402

SLOTS = 64
A_TXT = b"plain a\n"
UPGRADE = ("-H", "Upgrade-Insecure-Requests: 1")
BOTH = "(IPv4 and IPv6)"
IPV4_ONLY = "(IPv4 only)"


def why_no_ipv6():
    """None when ::1 can be bound here, else the reason."""
    try:
        s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    except OSError as e:
        return "no IPv6 sockets here (%s)" % e
    try:
        s.bind(("::1", 0))
        return None
    except OSError as e:
        return "::1 cannot be bound here (%s)" % e
    finally:
        s.close()


def bind_line(srv, families):
    return ":: bind(0.0.0.0:%d)  %s  HTTP HTTPS  max connections: %d" % (srv.port, families, SLOTS)


def check_bind_line(srv, res, v6):
    text = srv.log_tail(100000)
    if v6:
        res.check("the bind line names both families", bind_line(srv, BOTH) in text, text)
    else:
        res.check("the bind line names the families it serves",
                  bind_line(srv, BOTH) in text or bind_line(srv, IPV4_ONLY) in text, text)


def check_requests(srv, res, tmp, v6):
    urls = [("IPv4", "127.0.0.1")] + ([("IPv6", "[::1]")] if v6 else [])
    for family, host in urls:
        for scheme, flags in (("http", ()), ("https", ("-k",))):
            r = curl("%s://%s:%d/a.txt" % (scheme, host, srv.port), "-g", *flags, tmp=tmp)
            res.check("%s: %s on the one port" % (family, scheme),
                      r.rc == 0 and r.status == 200 and r.body == A_TXT, "%r %s" % (r, r.stderr.strip()))


def check_upgrade(srv, res, tmp, v6):
    port = srv.port
    plain = "http://127.0.0.1:%d" % port
    for label, host, location in [
            ("IPv6 Host with its port", "[::1]:%d" % port, "https://[::1]:%d/p?q" % port),
            ("IPv6 Host without a port", "[::1]", "https://[::1]/p?q"),
            ("IPv6 Host in another spelling", "[0:0::1]:%d" % port, "https://[0:0::1]:%d/p?q" % port),
            ("dotted IPv4 Host", "127.0.0.1:%d" % port, "https://127.0.0.1:%d/p?q" % port),
            ("name Host", "localhost:%d" % port, "https://localhost:%d/p?q" % port)]:
        r = curl(plain + "/p?q", "-H", "Host: " + host, *UPGRADE, tmp=tmp)
        res.check("upgrade: %s" % label, r.status == 302 and r.h("location") == location, repr(r))
    for label, host in [("IPv6 address outside the certificate", "[::2]:%d" % port),
                        ("bracket not closed", "[::1:%d" % port),
                        ("IPv6 address without brackets", "::1")]:
        r = curl(plain + "/a.txt", "-H", "Host: " + host, *UPGRADE, tmp=tmp)
        res.check("upgrade: %s served plainly" % label, r.status == 200 and r.body == A_TXT, repr(r))
    if v6:
        url = "http://[::1]:%d/a.txt" % port
        r = curl(url, "-g", *UPGRADE, tmp=tmp)
        res.check("upgrade: curl over ::1 sent to https://[::1]:port",
                  r.status == 302 and r.h("location") == "https://[::1]:%d/a.txt" % port, repr(r))
        r = curl(url, "-g", "-k", "-L", *UPGRADE, tmp=tmp)
        res.check("upgrade: that Location is served over TLS on ::1",
                  r.rc == 0 and r.status == 200 and r.body == A_TXT, "%r %s" % (r, r.stderr.strip()))


# ------------------------------------------------- client addresses in lines

def connect(host, port):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    s = socket.socket(family, socket.SOCK_STREAM)
    s.settimeout(10)
    s.connect((host, port))
    return s


def idle_connection(host, port):
    """A keep-alive connection that has had its answer and now idles."""
    s = connect(host, port)
    s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n")
    data = b""
    while not data.endswith(A_TXT):
        chunk = s.recv(4096)
        if not chunk:
            raise OSError("closed before the answer")
        data += chunk
    return s


def served_when_slots_are_full(host, port):
    """A request that waits in the accept queue until a slot is freed."""
    s = connect(host, port)
    try:
        s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                return data.endswith(A_TXT)
            data += chunk
    finally:
        s.close()


def peer_text(s):
    host, port = s.getsockname()[:2]
    return ("[%s]:%d" if ":" in host else "%s:%d") % (host, port)


FREED = re.compile(r"^!! (\S+)  idle keep-alive connection closed after \d+ ms: a client was waiting"
                   r"( \(and \d+ more since the last line\))?$", re.M)


def freed_lines(srv):
    return [peer for peer, _ in FREED.findall(srv.log_tail(100000))]


def freed_since(srv, before, timeout=5):
    """The peers named by the lines after the first before ones, once there is one."""
    end = time.time() + timeout
    while time.time() < end:
        named = freed_lines(srv)[before:]
        if named:
            return named
        time.sleep(0.1)
    return []


def check_freed_round(srv, res, family, host):
    """Every slot held by an idle client over host, then one client more
    (over IPv4): an idle one is freed, and the line names it as the client
    sees itself, never the client that takes its slot. Which one goes first
    does not matter (a slow server may free two)."""
    held = []
    before = len(freed_lines(srv))
    try:
        for _ in range(SLOTS):
            held.append(idle_connection(host, srv.port))
        res.check("%s: a client beyond the slots is served" % family,
                  served_when_slots_are_full("127.0.0.1", srv.port))
        peers = {peer_text(s) for s in held}
        named = freed_since(srv, before)
        res.check("%s: the freed client is reported as %s" % (family, named[0] if named else "?"),
                  named and all(p in peers for p in named),
                  "named %s, held %s...; log:\n%s" % (named, sorted(peers)[:3], srv.log_tail(5)))
    finally:
        for s in held:
            s.close()


def check_freed_lines(srv, res, v6):
    if v6:
        check_freed_round(srv, res, "IPv6", "::1")
        time.sleep(1.1)  # one report a second: the next round's line must not be held back
    check_freed_round(srv, res, "IPv4", "127.0.0.1")
    res.check("no client reported as an IPv4-mapped address", "::ffff:" not in srv.log_tail(100000))


def group_ipv6(srv, res, tmp):
    reason = why_no_ipv6()
    if reason:
        print("skip: IPv6 checks over ::1: " + reason, flush=True)
    v6 = reason is None
    check_bind_line(srv, res, v6)
    check_requests(srv, res, tmp, v6)
    check_upgrade(srv, res, tmp, v6)
    check_freed_lines(srv, res, v6)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    args = ap.parse_args()
    res = Results()
    with tempfile.TemporaryDirectory(prefix="qm-ipv6-", ignore_cleanup_errors=True) as tmp:
        os.chmod(tmp, 0o755)  # a server started as root serves as "nobody"
        www, media = os.path.join(tmp, "www"), os.path.join(tmp, "media")
        write(os.path.join(www, "a.txt"), A_TXT)
        os.makedirs(media)
        try:
            cer, key = make_cert(tmp, "DNS:localhost,IP:::1,IP:127.0.0.1")
            extra = "tls_cer=%s\ntls_key=%s\nupgrade_https=1\n" % (cer, key)
            run_server(args, res, tmp, www, media, extra, group_ipv6)
        except Exception as e:  # a broken harness is a failure, not a crash
            res.check("harness", False, "%s: %s" % (type(e).__name__, e))
    print("%d passed, %d failed" % (res.passed, res.failed))
    return 1 if res.failed else 0


if __name__ == "__main__":
    sys.exit(main())
