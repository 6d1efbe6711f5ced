#!/usr/bin/env python3
"""Listing order through the real binary: rows come folders first, then
files, each group in name order (UTF-16 units compared after upper-casing
each, then as they are), and a folder too large to sort in the slot's
buffer lists every name once, the first ones in order and the rest in
ordered runs, with a row wherever the order starts again.

    run_listing_order.py --server path/to/quillmere

Loopback only; the server is stopped with SIGTERM at the end.
"""

import argparse
import http.client
import os
import re
import shutil
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Results  # noqa: E402
from run_e2e import run_server  # noqa: E402

HTTP_TIMEOUT = 60
RESTART = b"the order starts again here"
# Names of mixed case and scripts; none holds a unit whose single upper-case
# form Python does not give (the Greek letters with ypogegrammeni).
STEMS = ["\u00c4pfel", "\u00e4pfel", "Apfel", "apfel", "APFEL", "Zebra", "zebra", "\u00e9coute", "Ecoute",
         "\u00c9COUTE", "\u0391\u039b\u03a6\u0391", "\u03b1\u03bb\u03c6\u03b1", "\u03c9\u03bc\u03ad\u03b3\u03b1",
         "\u0401\u043b\u043a\u0430", "\u0451\u043b\u043a\u0430", "\u044f\u0431\u043b\u043e\u043a\u043e",
         "\u65e5\u672c", "\U0001f600 smile", "file9", "file10", "_notes", "a b", "\u00df", "SS", "\uff21",
         "\uff41", "\u0151", "\u0150"]
HUGE_COUNT = 3000
HUGE_NAME_BYTES = 240  # about 66 names fit the slot's 16 KiB per read: more than 32 reads


def units(name):
    data = name.encode("utf-16-le", "surrogatepass")
    return [int.from_bytes(data[i:i + 2], "little") for i in range(0, len(data), 2)]


def upper_unit(unit):
    if 0xD800 <= unit <= 0xDFFF:
        return unit
    up = chr(unit).upper()
    return ord(up) if len(up) == 1 and ord(up) <= 0xFFFF else unit


def order_key(name):
    us = units(name)
    return ([upper_unit(u) for u in us], us)


def touch(path):
    with open(path, "wb") as f:
        f.write(b"x")


def make_tree(base):
    www = os.path.join(base, "www_document_root")
    order = os.path.join(www, "order")
    os.makedirs(order)
    folders, files = [], []
    n = 0
    for stem in STEMS:
        for k in range(14):
            name = "%s%s%d" % (stem, "-" if k % 2 else "_", k * 5 % 14)
            if n % 6 == 1:
                os.mkdir(os.path.join(order, name))
                folders.append(name)
            else:
                touch(os.path.join(order, name))
                files.append(name)
            n += 1
    for hidden in ("._resource", ".DS_Store"):
        touch(os.path.join(order, hidden))
    huge = os.path.join(www, "huge")
    os.makedirs(huge)
    names = []
    for i in range(HUGE_COUNT):
        stem = ["\u00dcber", "\u00fcber", "Apfel", "apfel", "zebra", "Zebra", "\u03a9mega", "\u03c9mega"][i % 8]
        name = "%s_%04d_" % (stem, i * 7919 % HUGE_COUNT)
        name += ("nN" * HUGE_NAME_BYTES)[:HUGE_NAME_BYTES - len(name.encode()) - 4] + ".txt"
        touch(os.path.join(huge, name))
        names.append(name)
    media = os.path.join(base, "media")
    os.makedirs(media)
    return www, media, folders, files, names


def get(port, target):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=HTTP_TIMEOUT)
    try:
        c.request("GET", target)
        r = c.getresponse()
        return r.status, r.getheader("Transfer-Encoding"), r.read()
    finally:
        c.close()


ROW = re.compile(rb'<tr class="st_item [^"]*"><td><a class="st_u st_block" name="links" href="([^"]*)"')


def page_rows(page):
    """(folders, files, restart positions among the files): names as sent."""
    separator = page.find(b'<td class="st_separator"')
    folders, files, restarts = [], [], []
    marks = [m.start() for m in re.finditer(re.escape(RESTART), page)]
    for m in ROW.finditer(page):
        name = urllib.parse.unquote(m.group(1).decode("ascii"), errors="strict")
        if m.start() < separator:
            folders.append(name[:-1] if name.endswith("/") else name)
        else:
            while marks and marks[0] < m.start():
                marks.pop(0)
                restarts.append(len(files))
            files.append(name)
    return folders, files, restarts, separator


def check_order(res, port, folders, files):
    status, _, page = get(port, "/order/")
    got_folders, got_files, restarts, separator = page_rows(page)
    res.check("order: 200 and a separator", status == 200 and separator > 0, "status %r" % status)
    want_folders = [".."] + sorted(folders, key=order_key)
    want_files = sorted(files, key=order_key)
    res.expect("order: %d folders in name order after '..'" % len(folders), got_folders, want_folders)
    res.expect("order: %d files in name order" % len(files), got_files, want_files)
    res.check("order: no restart in a folder that fits", not restarts, "restarts at %r" % restarts)
    res.check("order: hidden names stay hidden", b"._resource" not in page and b"DS_Store" not in page,
              "a hidden name is listed")
    again = get(port, "/order/")[2]
    res.check("order: the same page every time", again == page, "two requests gave different pages")


def check_huge(res, port, names):
    status, coding, page = get(port, "/huge/")
    res.check("huge: 200, chunked, complete", status == 200 and (coding or "").lower() == "chunked"
              and page.endswith(b"</html>"), "status %r coding %r tail %r" % (status, coding, page[-20:]))
    _, got, restarts, _ = page_rows(page)
    res.expect("huge: every name exactly once", sorted(got), sorted(names))
    want = sorted(names, key=order_key)
    prefix = 0
    while prefix < len(got) and got[prefix] == want[prefix]:
        prefix += 1
    # 32 reads of at least three quarters of 16 KiB, 245 bytes a name.
    res.check("huge: the first names in order (%d)" % prefix, prefix >= 32 * 45, "only %d" % prefix)
    res.check("huge: the rest in runs, each marked (%d)" % len(restarts), len(restarts) >= 2
              and all(restarts[i] < restarts[i + 1] for i in range(len(restarts) - 1)), "restarts %r" % restarts)
    bounds = [0] + restarts + [len(got)]
    unordered = [i for a, b in zip(bounds, bounds[1:]) for i in range(a + 1, b)
                 if order_key(got[i]) < order_key(got[i - 1])]
    res.check("huge: each run in order", not unordered, "out of order at %r" % unordered[:5])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    args = ap.parse_args()
    res = Results()
    tmp = tempfile.mkdtemp(prefix="qm-order-")
    os.chmod(tmp, 0o755)  # a server started as root serves as "nobody"
    try:
        www, media, folders, files, names = make_tree(tmp)

        def body(srv, res_, _base):
            check_order(res_, srv.port, folders, files)
            check_huge(res_, srv.port, names)

        run_server(args, res, tmp, www, media, "", body)
    except Exception as e:  # a broken harness is a failure, not a crash
        res.check("harness", False, "%s: %s" % (type(e).__name__, e))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("%d passed, %d failed" % (res.passed, res.failed))
    return 1 if res.failed else 0


if __name__ == "__main__":
    sys.exit(main())
