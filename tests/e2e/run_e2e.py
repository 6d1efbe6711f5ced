#!/usr/bin/env python3
"""Black-box end-to-end tests: start the real quillmere binary in a temporary
folder, talk to it with curl, openssl and raw sockets, and stop it with
SIGTERM.

    run_e2e.py --server path/to/quillmere --group paths|vdirs|files|listings|https

Prints one line per check and a summary; exits non-zero on any failure.
"""

import argparse
import hashlib
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Results, free_port  # noqa: E402

CURL_TIMEOUT = 30


# ---------------------------------------------------------------- fixture

def offset_bytes(size):
    """Bytes whose content encodes their offset: every 16-byte block holds
    its own offset in hex, so any slice can be checked by position."""
    blocks = (size + 15) // 16
    data = b"".join(b"%015x\n" % (i * 16) for i in range(blocks))
    return data[:size]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


ODD_IMG = "<img src=x onerror=alert(1)>.txt"
ODD_HASH = "a b#c.txt"


def make_tree(base):
    """The document root under base/www_document_root and an absolute vdir under base/media."""
    www = os.path.join(base, "www_document_root")
    write(os.path.join(www, "f1000.bin"), offset_bytes(1000))
    write(os.path.join(www, "f1m.bin"), offset_bytes(1 << 20))
    write(os.path.join(www, "f8m1.bin"), offset_bytes(8 * 1024 * 1024 + 1))
    write(os.path.join(www, "a.txt"), "plain a\n")
    write(os.path.join(www, "A"), "upper A\n")
    write(os.path.join(www, "a", "c"), "file a/c\n")
    write(os.path.join(www, "a", "b", "x"), "file a/b/x\n")
    write(os.path.join(www, "withhtm", "index.htm"), "<p>index htm</p>")
    write(os.path.join(www, "withhtm", "index.html"), "<p>index html loses</p>")
    write(os.path.join(www, "withhtml", "index.html"), "<p>index html</p>")
    write(os.path.join(www, "noindex", "one.txt"), "one\n")
    # variants (min_gz)
    write(os.path.join(www, "app.js"), "plain js\n")
    write(os.path.join(www, "app.js.br"), "brotli js\n")
    write(os.path.join(www, "app.js.gz"), "gzip js\n")
    write(os.path.join(www, "site.css"), "plain css\n")
    write(os.path.join(www, "site.min.css"), "min css\n")
    write(os.path.join(www, "photo.png"), "plain png\n")
    write(os.path.join(www, "photo.png.webp"), "webp of png\n")
    write(os.path.join(www, "photo.PNG"), "plain PNG\n")
    write(os.path.join(www, "photo.PNG.webp"), "webp of PNG\n")
    # listing folder: file names sort before the folder name on purpose
    odd = os.path.join(www, "odd")
    write(os.path.join(odd, ODD_IMG), "img\n")
    write(os.path.join(odd, ODD_HASH), "hash\n")
    write(os.path.join(odd, "s0.txt"), b"")
    write(os.path.join(odd, "s8192.txt"), b"x" * 8192)
    write(os.path.join(odd, "s8193.txt"), b"x" * 8193)
    os.makedirs(os.path.join(odd, "zz_folder"))
    # many long names: the listing overflows one send half
    many = os.path.join(www, "many")
    os.makedirs(many)
    for i in range(3000):
        name = "entry_%04d_" % i + "n" * 120 + ".txt"
        with open(os.path.join(many, name), "wb") as f:
            f.write(b"%d" % i)
    # vdirs
    write(os.path.join(www, "reldocs", "doc.txt"), "relative vdir doc\n")
    media = os.path.join(base, "media")
    write(os.path.join(media, "m.txt"), "absolute vdir media\n")
    return www, media


# ---------------------------------------------------------------- server

class Server:
    def __init__(self, binary, base, www, media, extra=""):
        self.base = base
        self.port = free_port()
        self.root = www
        self.exe = os.path.join(base, "quillmere")
        shutil.copy2(binary, self.exe)
        ini = ("root=%s\nport=%d\nlist_directories=1\n%s"
               "vdir=\n{\n\tdocs|reldocs\n\tmedia|%s\n}\n"
               % (www, self.port, extra, media))
        write(os.path.join(base, "quillmere.ini"), ini)
        self.log = open(os.path.join(base, "server.log"), "wb")
        self.proc = subprocess.Popen([self.exe], cwd=base, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)

    def wait_ready(self, timeout=15):
        end = time.time() + timeout
        while time.time() < end:
            if self.proc.poll() is not None:
                return False
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.5).close()
                return True
            except OSError:
                time.sleep(0.1)
        return False

    def stop(self):
        """SIGTERM; returns the exit code, or None when it did not end in 5 s."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            rc = None
        self.log.close()
        return rc

    def sanitizer_reports(self):
        """Lines of a sanitizer's report in the server's output."""
        return [line for line in self.log_tail(1000000).splitlines()
                if "Sanitizer" in line or "runtime error:" in line]

    def log_tail(self, n=20):
        try:
            with open(os.path.join(self.base, "server.log"), "rb") as f:
                return b"\n".join(f.read().splitlines()[-n:]).decode("utf-8", "replace")
        except OSError:
            return ""


# ---------------------------------------------------------------- clients

class Reply:
    def __init__(self, rc, status, headers, body, stderr):
        self.rc = rc
        self.status = status
        self.headers = headers      # lower-case name -> last value
        self.all_headers = []       # (name, value) in order
        self.body = body
        self.stderr = stderr

    def h(self, name):
        return self.headers.get(name.lower())

    def __repr__(self):
        return "rc=%s status=%s headers=%r body[:80]=%r" % (
            self.rc, self.status, self.headers, self.body[:80])


def parse_head_dump(text):
    """The last header block of a curl -D dump (after any 1xx)."""
    blocks = [b for b in re.split(r"\r?\n\r?\n", text) if b.strip()]
    status, headers, pairs = None, {}, []
    if blocks:
        lines = blocks[-1].splitlines()
        m = re.match(r"HTTP/\S+\s+(\d+)", lines[0]) if lines else None
        status = int(m.group(1)) if m else None
        for line in lines[1:]:
            if ":" in line:
                k, v = line.split(":", 1)
                headers[k.strip().lower()] = v.strip()
                pairs.append((k.strip(), v.strip()))
    return status, headers, pairs


def curl(url, *args, tmp):
    head = os.path.join(tmp, "curl.head")
    body = os.path.join(tmp, "curl.body")
    for p in (head, body):
        if os.path.exists(p):
            os.remove(p)
    cmd = ["curl", "-s", "-S", "--max-time", str(CURL_TIMEOUT), "-D", head,
           "-o", body] + list(args) + [url]
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    text = open(head, "rb").read().decode("latin-1") if os.path.exists(head) else ""
    data = open(body, "rb").read() if os.path.exists(body) else b""
    status, headers, pairs = parse_head_dump(text)
    r = Reply(p.returncode, status, headers, data, p.stderr.decode("utf-8", "replace"))
    r.all_headers = pairs
    return r


def raw(port, data, timeout=10):
    """Send bytes, read until the server closes or the timeout; returns
    (bytes received, closed by server)."""
    s = socket.create_connection(("127.0.0.1", port), 5)
    s.settimeout(timeout)
    s.sendall(data)
    out = b""
    closed = False
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                closed = True
                break
            out += chunk
    except socket.timeout:
        pass
    finally:
        s.close()
    return out, closed


def raw_status(data):
    m = re.match(rb"HTTP/1\.\d (\d+)", data)
    return int(m.group(1)) if m else None


# ---------------------------------------------------------------- groups

PASSWD_MARK = b"root:"


def group_paths(srv, res, tmp):
    base = "http://127.0.0.1:%d" % srv.port
    for label, target in [("dotdot", "/../../etc/passwd"),
                          ("encoded dotdot", "/%2e%2e/%2e%2e/etc/passwd"),
                          ("encoded backslash", "/a%5c..%5c..%5cetc/passwd")]:
        r = curl(base + target, "--path-as-is", tmp=tmp)
        res.check("paths: %s stays in root" % label,
                  r.status == 404 and PASSWD_MARK not in r.body, repr(r))
    r = curl(base + "/a/./b/../c", "--path-as-is", tmp=tmp)
    res.check("paths: /a/./b/../c is /a/c", r.status == 200 and r.body == b"file a/c\n", repr(r))
    r = curl(base + "/%41", tmp=tmp)
    res.check("paths: /%41 is /A", r.status == 200 and r.body == b"upper A\n", repr(r))
    # The whole request fits the 8192-byte request limit, but root + target
    # does not fit the 8192-unit path buffer (the root's folder name is long
    # enough for that whatever the temp folder).
    fits_request = "/" + "a/" * 4082
    out, closed = raw(srv.port, b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n"
                      % fits_request.encode())
    res.check("paths: target too long for the path buffer gives 500 and close",
              raw_status(out) == 500 and closed, "status %r closed %r"
              % (raw_status(out), closed))
    # 9000 bytes no longer fit the request-line limit: rejected by the parser.
    r = curl(base + "/" + "a/" * 4500, "--path-as-is", tmp=tmp)
    res.check("paths: 9000-byte target is refused (400 or 500)",
              r.status in (400, 500) and r.rc == 0, repr(r))

    out, closed = raw(srv.port, b"get / HTTP/1.1\r\nHost: x\r\n\r\n")
    res.check("paths: lower-case method gives 400 and close",
              raw_status(out) == 400 and closed, "status %r closed %r: %r"
              % (raw_status(out), closed, out[:120]))
    out, closed = raw(srv.port, b"PUT / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
    res.check("paths: PUT gives 405 and close",
              raw_status(out) == 405 and closed, "status %r closed %r: %r"
              % (raw_status(out), closed, out[:120]))


def group_vdirs(srv, res, tmp):
    base = "http://127.0.0.1:%d" % srv.port
    for label, target, loc in [("bare name", "/docs", "/docs/"),
                               ("with query", "/docs?x=1", "/docs/?x=1")]:
        r = curl(base + target, tmp=tmp)
        res.check("vdirs: %s redirects" % label,
                  r.status == 302 and r.h("location") == loc, repr(r))
    r = curl(base + "/Docs", tmp=tmp)
    res.expect("vdirs: /Docs is not the vdir", r.status, 404)
    r = curl(base + "/Docs/doc.txt", tmp=tmp)
    res.expect("vdirs: /Docs/doc.txt is not the vdir", r.status, 404)
    r = curl(base + "/docs/doc.txt", tmp=tmp)
    res.check("vdirs: relative entry serves its file",
              r.status == 200 and r.body == b"relative vdir doc\n", repr(r))
    r = curl(base + "/media/m.txt", tmp=tmp)
    res.check("vdirs: absolute entry serves its file",
              r.status == 200 and r.body == b"absolute vdir media\n", repr(r))
    r = curl(base + "/media/../a.txt", "--path-as-is", tmp=tmp)
    res.check("vdirs: .. does not climb out of the absolute vdir",
              r.status == 404, repr(r))


def group_files(srv, res, tmp):
    base = "http://127.0.0.1:%d" % srv.port
    r = curl(base + "/withhtm/", tmp=tmp)
    res.check("files: index.htm", r.status == 200 and r.body == b"<p>index htm</p>", repr(r))
    r = curl(base + "/withhtml/", tmp=tmp)
    res.check("files: index.html", r.status == 200 and r.body == b"<p>index html</p>", repr(r))
    r = curl(base + "/noindex/", tmp=tmp)
    res.check("files: folder without index lists",
              r.status == 200 and b"one.txt" in r.body, repr(r))
    r = curl(base + "/missing.txt", tmp=tmp)
    res.expect("files: missing file 404", r.status, 404)

    f1000 = offset_bytes(1000)
    for label, rng, status, lo, hi in [
            ("0-99", "0-99", 206, 0, 99),
            ("900-", "900-", 206, 900, 999),
            ("-100 (suffix)", "-100", 206, 900, 999),
            ("0-0", "0-0", 206, 0, 0),
            ("500-5000", "500-5000", 206, 500, 999)]:
        r = curl(base + "/f1000.bin", "-r", rng, tmp=tmp)
        want_cr = "bytes %d-%d/1000" % (lo, hi)
        res.check("files: range %s" % label,
                  r.status == status and r.body == f1000[lo:hi + 1]
                  and r.h("content-range") == want_cr,
                  "status %r Content-Range %r body %d bytes (want %d, %r)"
                  % (r.status, r.h("content-range"), len(r.body), hi - lo + 1, want_cr))
    r = curl(base + "/f1000.bin", "-r", "1000-", tmp=tmp)
    res.expect("files: range 1000- gives 416", r.status, 416)

    r = curl(base + "/f1m.bin", "-r", "70000-70009", tmp=tmp)
    res.check("files: range 70000-70009 on 1 MiB",
              r.status == 206 and r.body == offset_bytes(1 << 20)[70000:70010]
              and r.h("content-range") == "bytes 70000-70009/1048576", repr(r))

    r = curl(base + "/f1000.bin", tmp=tmp)
    lm = r.h("last-modified")
    res.check("files: Last-Modified present", bool(lm), repr(r))
    if lm:
        r = curl(base + "/f1000.bin", "-H", "If-Modified-Since: " + lm, tmp=tmp)
        res.check("files: If-Modified-Since equal gives 304",
                  r.status == 304 and r.body == b"", repr(r))

    r = curl(base + "/a.txt?download", tmp=tmp)
    res.check("files: ?download is octet-stream",
              r.status == 200 and (r.h("content-type") or "").startswith("application/octet-stream"),
              repr(r))

    out, closed = raw(srv.port, b"GET /f1000.bin\n")
    res.check("files: request without version gets bare bytes", out == f1000,
              "got %d bytes starting %r" % (len(out), out[:40]))

    r = curl(base + "/favicon.ico", tmp=tmp)
    res.check("files: built-in favicon",
              r.status == 200 and (r.h("content-type") or "").startswith("image/x-icon")
              and len(r.body) > 0, repr(r))

    r = curl(base + "/f8m1.bin", tmp=tmp)
    want = hashlib.sha256(offset_bytes(8 * 1024 * 1024 + 1)).hexdigest()
    res.check("files: 8 MiB + 1 arrives whole",
              r.status == 200 and hashlib.sha256(r.body).hexdigest() == want,
              "status %r, %d bytes" % (r.status, len(r.body)))


def group_variants(srv, res, tmp):
    """Runs on a second server started with min_gz=1."""
    base = "http://127.0.0.1:%d" % srv.port
    r = curl(base + "/app.js", "-H", "Accept-Encoding: gzip, br", tmp=tmp)
    res.check("files: min_gz prefers app.js.br",
              r.status == 200 and r.body == b"brotli js\n" and r.h("content-encoding") == "br"
              and r.h("vary") is not None, repr(r))
    r = curl(base + "/app.js", "-H", "Accept-Encoding: gzip", tmp=tmp)
    res.check("files: min_gz gzip only gets app.js.gz",
              r.status == 200 and r.body == b"gzip js\n" and r.h("content-encoding") == "gzip",
              repr(r))
    r = curl(base + "/site.css", tmp=tmp)
    res.check("files: min_gz serves site.min.css",
              r.status == 200 and r.body == b"min css\n", repr(r))
    r = curl(base + "/photo.png", "-H", "Accept: image/avif,image/webp,*/*", tmp=tmp)
    res.check("files: min_gz serves photo.png.webp",
              r.status == 200 and r.body == b"webp of png\n"
              and (r.h("content-type") or "").startswith("image/webp"), repr(r))
    r = curl(base + "/photo.PNG", "-H", "Accept: image/avif,image/webp,*/*", tmp=tmp)
    res.check("files: min_gz photo.PNG gets no variant",
              r.status == 200 and r.body == b"plain PNG\n", repr(r))


def listing_rows(page):
    """(href, is_folder) per row, in page order, plus the separator position."""
    rows = []
    for m in re.finditer(rb'<tr class="st_item[^"]*"><td><a [^>]*href="([^"]*)"', page):
        rows.append((m.group(1), m.start()))
    sep = page.find(b'class="st_separator"')
    return rows, sep


def group_listings(srv, res, tmp):
    base = "http://127.0.0.1:%d" % srv.port
    r = curl(base + "/odd/", tmp=tmp)
    page = r.body
    res.check("listings: small listing 200 with Content-Length",
              r.status == 200 and r.h("content-length") == str(len(page))
              and r.h("transfer-encoding") is None, repr(r))
    rows, sep = listing_rows(page)
    folders = [h for h, pos in rows if pos < sep]
    files = [h for h, pos in rows if pos > sep]
    res.check("listings: folder rows before the separator, files after",
              sep > 0 and sorted(folders) == [b"../", b"zz_folder/"] and len(files) == 5,
              "separator at %d, folders %r, files %r" % (sep, folders, files))
    res.check("listings: no raw <img from a file name", b"<img src=x" not in page,
              "page holds the raw name")
    res.check("listings: odd name escaped in text",
              b"&lt;img src=x onerror=alert(1)&gt;.txt" in page, "escaped text missing")
    hrefs = [h.decode("latin-1") for h in files]
    decoded = [urllib.parse.unquote(h) for h in hrefs]
    res.check("listings: odd names percent-encoded in href",
              ODD_IMG in decoded and ODD_HASH in decoded
              and not any(c in h for h in hrefs for c in '<> #"'),
              "hrefs %r" % hrefs)
    for label, name, num, unit in [("0", "s0.txt", "0", " "), ("8192", "s8192.txt", "8192", " "),
                                   ("8193", "s8193.txt", "8", "K")]:
        m = re.search(re.escape(name.encode()) + rb'</td>.*?st_size">([^<]*)</td><td class="st_u st_right_4">([^<]*)</td>',
                      page)
        got = (m.group(1).decode(), m.group(2).decode()) if m else None
        res.expect("listings: size %s" % label, got, (num, unit))
    r = curl(base + "/odd/", "-r", "0-99", tmp=tmp)
    res.check("listings: range 0-99 on a small listing",
              r.status == 206 and r.body == page[:100], repr(r))
    r = curl(base + "/odd", tmp=tmp)
    res.check("listings: folder without slash redirects",
              r.status == 302 and r.h("location") == "/odd/", repr(r))

    r = curl(base + "/many/", tmp=tmp)
    rows, sep = listing_rows(r.body)
    files = [h for h, pos in rows if pos > sep]
    res.check("listings: 3000 entries arrive chunked and decode",
              r.rc == 0 and r.status == 200
              and (r.h("transfer-encoding") or "").lower() == "chunked"
              and len(files) == 3000 and r.body.endswith(b"</html>"),
              "rc %r (%s) status %r TE %r file rows %d tail %r"
              % (r.rc, r.stderr.strip(), r.status, r.h("transfer-encoding"),
                 len(files), r.body[-30:]))


HSTS = "max-age=63072000; includeSubDomains; preload"


def make_cert(base, names="DNS:localhost"):
    cer = os.path.join(base, "cert.pem")
    key = os.path.join(base, "key.pem")
    p = subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-384", "-nodes", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=" + names, "-days", "2",
                        "-keyout", key, "-out", cer],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if p.returncode != 0:
        raise RuntimeError("openssl req failed: " + p.stdout.decode("utf-8", "replace"))
    return cer, key


def tls_read_to_close(port, version):
    """One request with Connection: close over TLS; the reply and whether the
    server ended the session with close_notify (a bare TCP close raises)."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    ctx.minimum_version = ctx.maximum_version = version
    raw = socket.create_connection(("127.0.0.1", port), timeout=10)
    with ctx.wrap_socket(raw, server_hostname="localhost",
                         suppress_ragged_eofs=False) as s:
        s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
        data = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return data, True
                data += chunk
        except ssl.SSLEOFError:
            return data, False


def group_https(srv, res, tmp):
    port = srv.port
    resolve = "localhost:%d:127.0.0.1" % port
    url = "https://localhost:%d/a.txt" % port
    for label, flags in [("TLS 1.2", ["--tlsv1.2", "--tls-max", "1.2"]),
                         ("TLS 1.3", ["--tlsv1.3", "--tls-max", "1.3"])]:
        r = curl(url, "-k", "--resolve", resolve, *flags, tmp=tmp)
        res.check("https: %s serves a.txt with HSTS" % label,
                  r.rc == 0 and r.status == 200 and r.body == b"plain a\n"
                  and r.h("strict-transport-security") == HSTS,
                  "%r stderr %s" % (r, r.stderr.strip()))
    for label, version in [("TLS 1.2", ssl.TLSVersion.TLSv1_2),
                           ("TLS 1.3", ssl.TLSVersion.TLSv1_3)]:
        data, notified = tls_read_to_close(port, version)
        res.check("https: %s session ends with close_notify" % label,
                  data.endswith(b"plain a\n") and notified,
                  "close_notify %r, reply %r" % (notified, data[:200]))
    r = curl("http://localhost:%d/p?q" % port, "--resolve", resolve,
             "-H", "Upgrade-Insecure-Requests: 1", tmp=tmp)
    res.check("https: plain upgrade request redirected",
              r.status == 302 and r.h("location") == "https://localhost:%d/p?q" % port,
              repr(r))
    res.check("https: plain response has no HSTS",
              r.h("strict-transport-security") is None, repr(r))
    r = curl("http://127.0.0.1:%d/a.txt" % port, "-H", "Host: example.org",
             "-H", "Upgrade-Insecure-Requests: 1", tmp=tmp)
    res.check("https: host outside the certificate served plainly",
              r.status == 200 and r.body == b"plain a\n", repr(r))
    r = curl("https://localhost:%d/f1m.bin" % port, "-k", "--resolve", resolve, tmp=tmp)
    res.check("https: 1 MiB over TLS intact",
              r.rc == 0 and r.status == 200 and r.body == offset_bytes(1 << 20),
              "rc %r status %r %d bytes %s" % (r.rc, r.status, len(r.body), r.stderr.strip()))


# ---------------------------------------------------------------- driver

IMF_DATE = re.compile(r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                      r"\d{4} \d\d:\d\d:\d\d GMT")
DEC_8_2021_085156 = 1638953516  # Wed, 08 Dec 2021 08:51:56 GMT: a one-digit hour


def set_time(path, seconds, nanoseconds=0):
    os.utime(path, ns=(seconds * 10**9 + nanoseconds, seconds * 10**9 + nanoseconds))


def make_precompressed(www, res):
    """k.txt with a fraction of a second in its time, k.txt.br as brotli -k
    leaves it (whole seconds) and g.txt.gz as gzip -k does (nanoseconds)."""
    folder = os.path.join(www, "clients")
    os.makedirs(folder, exist_ok=True)
    for name in ("k.txt", "g.txt"):
        write(os.path.join(folder, name), "precompressed source " * 50)
        set_time(os.path.join(folder, name), DEC_8_2021_085156, 750000000)
    if shutil.which("brotli"):
        subprocess.run(["brotli", "-k", "-f", os.path.join(folder, "k.txt")], check=True)
    else:  # as brotli -k would leave it: the source's time cut to whole seconds
        print("note: no brotli command; the variant gets a whole-second time")
        write(os.path.join(folder, "k.txt.br"), b"\x0b\x02\x80hello\x03")
        set_time(os.path.join(folder, "k.txt.br"), DEC_8_2021_085156)
    subprocess.run(["gzip", "-k", "-f", os.path.join(folder, "g.txt")], check=True)
    for name in ("k.txt.br", "g.txt.gz"):
        os.chmod(os.path.join(folder, name), 0o644)
    return folder


def version_answer(port, line):
    out, closed = raw(port, line.encode() + b"Host: x\r\nConnection: keep-alive\r\n\r\n", timeout=3)
    return out, closed


def group_clients(srv, res, tmp):
    """What curl, wget and brotli users tripped over."""
    base = "http://127.0.0.1:%d" % srv.port
    f1000 = offset_bytes(1000)
    f1m = offset_bytes(1 << 20)

    # 416: the size, and none of the file.
    for label, path, rng, size in [("at the end", "/f1000.bin", "1000-", 1000),
                                   ("past the end of 1 MiB", "/f1m.bin", "2000000-", 1 << 20),
                                   ("empty suffix", "/f1000.bin", "-0", 1000)]:
        r = curl(base + path, "--range", rng, tmp=tmp)
        res.check("416 %s: Content-Range */size, no content" % label,
                  r.status == 416 and r.h("content-range") == "bytes */%d" % size and r.body == b""
                  and r.h("content-length") == "0", repr(r))
    r = curl(base + "/f1000.bin", "-H", "Range: bytes=100-99", tmp=tmp)
    res.check("an end before the start is no range: 200 whole",
              r.status == 200 and r.body == f1000 and r.h("content-range") is None, repr(r))

    # wget -c of a file already complete.
    if shutil.which("wget"):
        dest = os.path.join(tmp, "wget")
        os.makedirs(dest, exist_ok=True)
        first = subprocess.run(["wget", "-q", "-P", dest, base + "/f1m.bin"], capture_output=True, timeout=60)
        again = subprocess.run(["wget", "-c", "-P", dest, base + "/f1m.bin"], capture_output=True, timeout=60)
        got = open(os.path.join(dest, "f1m.bin"), "rb").read()
        res.check("wget -c of a complete file: nothing to do, file intact",
                  first.returncode == 0 and again.returncode == 0 and got == f1m
                  and b"already fully retrieved" in again.stderr,
                  "rc %r/%r, %d bytes, %r" % (first.returncode, again.returncode, len(got), again.stderr[-300:]))
        write(os.path.join(dest, "f1m.bin"), f1m[:300000])
        resumed = subprocess.run(["wget", "-c", "-q", "-P", dest, base + "/f1m.bin"], capture_output=True, timeout=60)
        got = open(os.path.join(dest, "f1m.bin"), "rb").read()
        res.check("wget -c of a part: resumed to the whole file", resumed.returncode == 0 and got == f1m,
                  "rc %r, %d bytes" % (resumed.returncode, len(got)))
    else:
        print("note: no wget; its checks skipped")

    # Dates: IMF-fixdate out, any HTTP date in, compared as times (curl -z).
    folder = make_precompressed(srv.root, res)
    r = curl(base + "/clients/k.txt", tmp=tmp)
    res.check("Date, Expires and Last-Modified are IMF-fixdates",
              all(IMF_DATE.fullmatch(r.h(h) or "") for h in ("date", "expires", "last-modified"))
              and r.h("last-modified") == "Wed, 08 Dec 2021 08:51:56 GMT", repr(r.headers))
    for label, when, status in [("its own time", "Wed, 08 Dec 2021 08:51:56 GMT", 304),
                                ("a later time", "Thu, 09 Dec 2021 00:00:00 GMT", 304),
                                ("a second earlier", "Wed, 08 Dec 2021 08:51:55 GMT", 200)]:
        r = curl(base + "/clients/k.txt", "-z", when, tmp=tmp)
        res.expect("curl -z %s" % label, r.status, status)
    r = curl(base + "/quillmere/theme.css", tmp=tmp)
    lm = r.h("last-modified") or ""
    r2 = curl(base + "/quillmere/theme.css", "-z", lm, tmp=tmp)
    res.check("built-in resource: IMF-fixdate, curl -z gives 304",
              bool(IMF_DATE.fullmatch(lm)) and r2.status == 304 and r2.body == b"", "%r %r" % (lm, r2))

    # Codings by their weights, variants by whole seconds, ranges of the file itself.
    for label, accept, body in [("gzip;q=0", "gzip;q=0", b"plain js\n"),
                                ("x-gzipped, xbrowser", "x-gzipped, xbrowser", b"plain js\n"),
                                ("br;q=0, gzip", "br;q=0, gzip", b"gzip js\n"),
                                ("*", "*", b"brotli js\n")]:
        r = curl(base + "/app.js", "-H", "Accept-Encoding: " + accept, tmp=tmp)
        res.check("Accept-Encoding %s" % label, r.status == 200 and r.body == body, repr(r))
    br = open(os.path.join(folder, "k.txt.br"), "rb").read()
    r = curl(base + "/clients/k.txt", "-H", "Accept-Encoding: br", tmp=tmp)
    res.check("a .br made by brotli -k is served", r.h("content-encoding") == "br" and r.body == br, repr(r))
    gz = open(os.path.join(folder, "g.txt.gz"), "rb").read()
    r = curl(base + "/clients/g.txt", "-H", "Accept-Encoding: gzip", tmp=tmp)
    res.check("a .gz made by gzip -k is served", r.h("content-encoding") == "gzip" and r.body == gz, repr(r))
    r = curl(base + "/app.js", "-H", "Accept-Encoding: gzip, br", "--range", "0-4", tmp=tmp)
    res.check("a range comes from the file itself", r.status == 206 and r.body == b"plain"
              and r.h("content-encoding") is None and r.h("content-range") == "bytes 0-4/9", repr(r))

    # Control bytes in the decoded target.
    write(os.path.join(srv.root, "clients", "a b.txt"), "a b\n")
    os.chmod(os.path.join(srv.root, "clients", "a b.txt"), 0o644)
    for target in ("/clients/a%20b.txt%00.html", "/%00.txt", "/clients/a%1fb.txt", "/a.txt%7f"):
        out, closed = raw(srv.port, ("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % target).encode(), timeout=3)
        res.check("target %s: 400, closed" % target, raw_status(out) == 400 and closed, repr(out[:80]))
    r = curl(base + "/clients/a%20b.txt", tmp=tmp)
    res.check("an escaped blank still serves", r.status == 200 and r.body == b"a b\n", repr(r))

    # Versions.
    out, _ = version_answer(srv.port, "GET /a.txt HTTP/1.2\r\n")
    res.check("HTTP/1.2 is answered as HTTP/1.1", out.startswith(b"HTTP/1.1 200 OK\r\n") and out.endswith(b"plain a\n"),
              repr(out[:80]))
    for line in ("GET /a.txt HTTP/2.0\r\n", "GET /a.txt HTTP/0.9\r\n"):
        out, closed = version_answer(srv.port, line)
        res.check("%s: 505, closed" % line.strip(),
                  out.startswith(b"HTTP/1.1 505 HTTP Version Not Supported\r\n") and closed, repr(out[:80]))
    out, closed = version_answer(srv.port, "GET /a.txt FOO\r\n")
    res.check("a word for a version: 400", raw_status(out) == 400 and closed, repr(out[:80]))
    out, closed = raw(srv.port, b"GET /a.txt\r\n", timeout=3)
    res.check("no version at all: the bare file", out == b"plain a\n" and closed, repr(out[:80]))


def run_server(args, res, base, www, media, extra, body):
    srv = Server(args.server, base, www, media, extra)
    try:
        if not res.check("server starts and listens", srv.wait_ready(),
                         "no listener; log:\n" + srv.log_tail()):
            return
        body(srv, res, base)
    finally:
        rc = srv.stop()
        res.expect("server exits 0 within 5 s of SIGTERM", rc, 0)
        reports = srv.sanitizer_reports()
        res.check("no sanitizer report in the server's output", not reports, "\n".join(reports[:20]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--group", required=True,
                    choices=["paths", "vdirs", "files", "listings", "https", "clients"])
    ap.add_argument("--keep", action="store_true", help="keep the temp folder")
    args = ap.parse_args()

    res = Results()
    tmp = tempfile.mkdtemp(prefix="qm-e2e-")
    # a server started as root serves as "nobody", which must reach the tree
    os.chmod(tmp, 0o755)
    try:
        www, media = make_tree(tmp)
        if args.group == "paths":
            run_server(args, res, tmp, www, media, "", group_paths)
        elif args.group == "vdirs":
            run_server(args, res, tmp, www, media, "", group_vdirs)
        elif args.group == "files":
            run_server(args, res, tmp, www, media, "", group_files)
            run_server(args, res, tmp, www, media, "min_gz=1\n", group_variants)
        elif args.group == "clients":
            run_server(args, res, tmp, www, media, "min_gz=1\n", group_clients)
        elif args.group == "listings":
            run_server(args, res, tmp, www, media, "", group_listings)
        elif args.group == "https":
            cer, key = make_cert(tmp)
            extra = ("tls_cer=%s\ntls_key=%s\nupgrade_https=1\nupgrade_hsts=1\n"
                     % (cer, key))
            run_server(args, res, tmp, www, media, extra, group_https)
    except Exception as e:  # a broken harness is a failure, not a crash
        res.check("harness", False, "%s: %s" % (type(e).__name__, e))
    finally:
        if args.keep:
            print("kept " + tmp)
        else:
            shutil.rmtree(tmp, ignore_errors=True)
    print("%d passed, %d failed" % (res.passed, res.failed))
    return 1 if res.failed else 0


if __name__ == "__main__":
    sys.exit(main())
