#!/usr/bin/env python3
"""What a newcomer meets first, through the real binary and scripts/run.sh.

    run_newcomer.py --server path/to/quillmere

lines: started in the foreground, the server names its root and each
virtual directory, with a "!!" line for every one that is not a readable
folder for the account that serves the files (nobody, when started as root).
run.sh: scripts/run.sh serves a folder, or the demo folder it makes, on a
free port, prints the address, writes no .ini but its own, and leaves
nothing running after Ctrl+C. It runs with --no-build, on a copy of the
binary in a build folder of the test's own.

Only a service reloads its settings: the same lines after a reload are
checked by the service tests (tests/platform/run_service.py).

Prints one line per check and a summary; exits non-zero on any failure.
"""

import argparse
import http.client
import io
import os
import pwd
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
RUN_SH = os.path.join(HERE, "..", "..", "scripts", "run.sh")
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from checks import Results, free_port, wait_for  # noqa: E402

MARKER = "# scripts/run.sh="


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def read(path):
    with open(path, "rb") as f:
        return f.read()


def serving_account():
    """Who reads the files: a server started as root lowers itself to nobody."""
    return "nobody" if os.geteuid() == 0 else pwd.getpwuid(os.geteuid()).pw_name


def http_get(port, path="/", timeout=5):
    """(status, content type, body), or (None, why, b"") when no answer came."""
    try:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
        c.request("GET", path)
        r = c.getresponse()
        body = r.read()
        c.close()
        return r.status, r.getheader("Content-Type", ""), body
    except (OSError, http.client.HTTPException) as e:
        return None, repr(e), b""


def sanitizer_reports(text):
    return [line for line in text.splitlines() if "Sanitizer" in line or "runtime error:" in line]


def has_run(lines, run):
    """lines holds run as consecutive lines."""
    return any(lines[i:i + len(run)] == run for i in range(len(lines) - len(run) + 1))


# ---------------------------------------------------------------- lines

def served_lines(rows, account):
    """The block a start prints: per (subject, error) a "::" line, and a
    "!!" line when error is given."""
    lines = []
    for subject, error in rows:
        lines.append(":: " + subject)
        if error:
            lines.append("!! %s is not a readable folder for %s: %s" % (subject, account, error))
    return lines


def start_lines(res, binary, base, www, rows, expect_file_status, name):
    exe = os.path.join(base, "quillmere")
    shutil.copy2(binary, exe)
    port = free_port()
    media, gone, plain = (os.path.join(base, n) for n in ("media", "gone", "plain.txt"))
    write(os.path.join(base, "quillmere.ini"),
          "root=%s\nport=%d\nvdir=\n{\n\tdocs|docs\n\tmedia|%s\n\tgone|%s\n\tfile|%s\n}\n" % (www, port, media, gone, plain))
    log_path = os.path.join(base, "server.log")
    with open(log_path, "wb") as log:
        proc = subprocess.Popen([exe], cwd=base, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        try:
            # A slot answers only after the lines have been printed.
            status = wait_for(lambda: http_get(port, "/a.txt")[0], 15)
            res.expect(name + ": /a.txt", status, expect_file_status)
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                rc = proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                rc = proc.wait()
    text = read(log_path).decode("utf-8", "replace")
    res.expect(name + ": exits 0 on SIGTERM", rc, 0)
    # The virtual directories come sorted by name: docs, file, gone, media.
    want = served_lines(rows + [
        ("virtual /file -> %s" % plain, "Not a directory"),
        ("virtual /gone -> %s" % gone, "No such file or directory"),
        ("virtual /media -> %s" % media, None)], serving_account())
    res.check(name + ": the root and the virtual directories, in order", has_run(text.splitlines(), want),
              "want:\n%s\nlog:\n%s" % ("\n".join(want), text))
    res.expect(name + ": no sanitizer report", sanitizer_reports(text), [])


def group_lines(res, binary, base):
    www = os.path.join(base, "www")
    write(os.path.join(www, "a.txt"), "a\n")
    write(os.path.join(www, "docs", "d.txt"), "d\n")
    write(os.path.join(base, "media", "m.txt"), "m\n")
    write(os.path.join(base, "plain.txt"), "not a folder\n")
    docs = "virtual /docs -> %s/docs" % www
    # (name, mode of the root, rows of the root and of docs beneath it, status of /a.txt)
    cases = [("readable root", 0o755, [("root " + www, None), (docs, None)], 200),
             ("root of mode 700", 0o700, [("root " + www, "Permission denied"), (docs, "Permission denied")], 404)]
    for name, mode, rows, status in cases:
        if mode == 0o700 and os.geteuid() != 0:
            print("skipped: %s (only a server started as root serves as another account)" % name)
            continue
        os.chmod(www, mode)
        start_lines(res, binary, base, www, rows, status, name)
    os.chmod(www, 0o755)


# ---------------------------------------------------------------- run.sh

class RunScript:
    """bash scripts/run.sh --no-build ARGS in a session of its own, as a
    terminal would start it; Ctrl+C is SIGINT to that process group."""

    def __init__(self, build, args, cwd):
        env = dict(os.environ, QM_BUILD_DIR=build)
        self.build = build
        self.output = b""
        self.proc = subprocess.Popen(["bash", RUN_SH, "--no-build"] + args, cwd=cwd, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)

    def read_until(self, pattern=None, timeout=30):
        """The first match of pattern in the output, read as it comes; with
        no pattern, reads to the end of the output."""
        end = time.time() + timeout
        while time.time() < end:
            m = pattern and re.search(pattern, self.output)
            if m:
                return m
            r, _, _ = select.select([self.proc.stdout], [], [], 0.2)
            if r:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    break
                self.output += chunk
        return pattern and re.search(pattern, self.output)

    def program(self):
        try:
            return os.readlink("/proc/%d/exe" % self.proc.pid)
        except OSError:
            return None

    def interrupt(self):
        """Ctrl+C; the exit code, or None when it did not end within 10 s."""
        try:
            os.killpg(self.proc.pid, signal.SIGINT)
        except ProcessLookupError:
            pass
        try:
            rc = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            rc = None
        self.read_until(timeout=2)
        return rc

    def left_running(self):
        """Processes of its group, or any process of its build folder's programs."""
        left = []
        try:
            os.killpg(self.proc.pid, 0)
            left.append("process group %d" % self.proc.pid)
        except ProcessLookupError:
            pass
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                exe = os.readlink("/proc/%s/exe" % pid)
            except OSError:
                continue
            if exe.startswith(self.build + os.sep):
                left.append("%s (%s)" % (pid, exe))
        return left

    def kill(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()


def make_build(base, binary, name):
    build = os.path.join(base, name)
    os.makedirs(build)
    shutil.copy2(binary, os.path.join(build, "quillmere"))
    return build


def wav_seconds(data):
    with wave.open(io.BytesIO(data)) as w:
        return w.getnframes() / w.getframerate()


def serve(res, name, build, args, check, cwd=None):
    """Runs the script (from cwd, the build folder by default), finds the
    address it prints, lets check look at the server, then stops it with
    Ctrl+C."""
    run = RunScript(build, args, cwd or build)
    try:
        m = run.read_until(rb"http://localhost:(\d+)/")
        if not res.check(name + ": prints the address to open", m, run.output.decode("utf-8", "replace")):
            return
        port = int(m.group(1))
        res.check(name + ": serves its listing", wait_for(lambda: http_get(port)[0] == 200, 15), http_get(port))
        res.check(name + ": says how to stop", run.read_until(rb"stop +Ctrl\+C", 5), run.output)
        check(run, port)
        rc = run.interrupt()
        res.expect(name + ": Ctrl+C ends it with 0", rc, 0)
        res.expect(name + ": nothing is left running", run.left_running(), [])
        shown = run.output.decode("utf-8", "replace")
        res.check(name + ": the served folder is readable for the server",
                  ":: root " in shown and not re.search(r"^!! (root|virtual) ", shown, re.M), shown)
        res.expect(name + ": no sanitizer report", sanitizer_reports(shown), [])
    finally:
        if run.proc.poll() is None:
            run.kill()


def group_run_sh(res, binary, base):
    folder = os.path.join(base, "shared folder")
    write(os.path.join(folder, "song one.txt"), "la\n")
    os.makedirs(os.path.join(folder, "sub"))

    # A folder named from where the script is started, on the port asked
    # for: the script writes its own .ini beside the program.
    build = make_build(base, binary, "build-folder")
    port = free_port()

    def check_folder(run, served):
        res.expect("a folder: on the port asked for", served, port)
        page = http_get(served)[2]
        res.check("a folder: the listing shows its entries", b"song%20one.txt" in page and b"sub/" in page, page[:300])
        ini = read(os.path.join(build, "quillmere.ini")).decode()
        res.check("a folder: its own .ini, marked, beside the program", ini.startswith(MARKER) and
                  "\nroot=%s\nport=%d\nlist_directories=1\n" % (folder, port) in ini, ini)
        res.expect("a folder: the built program serves", run.program(), os.path.join(build, "quillmere"))

    serve(res, "a folder", build, ["--port", str(port), os.path.basename(folder)], check_folder, cwd=base)

    # A user's .ini beside the program and the port taken: a copy with its own .ini, on the next free port.
    build = make_build(base, binary, "build-user-ini")
    users = b"root=/srv/www\r\nport=81\r\n"
    write(os.path.join(build, "quillmere.ini"), users)
    taken = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    taken.bind(("0.0.0.0", 0))
    taken.listen(1)
    port = taken.getsockname()[1]

    def check_user_ini(run, served):
        res.check("a user's .ini: the next free port", served > port, "served on %d, %d taken" % (served, port))
        res.check("a user's .ini: says it is left alone", b"was not written by this script" in run.output, run.output)
        res.expect("a user's .ini: unchanged", read(os.path.join(build, "quillmere.ini")), users)
        res.expect("a user's .ini: a copy of the program serves", run.program(),
                   os.path.join(build, "run", "quillmere"))
        ini = read(os.path.join(build, "run", "quillmere.ini")).decode()
        res.check("a user's .ini: the copy's own .ini", ini.startswith(MARKER) and "\nroot=%s\n" % folder in ini, ini)

    try:
        serve(res, "a user's .ini", build, ["--port", str(port), folder], check_user_ini)
    finally:
        taken.close()

    # No folder: the demo, made once.
    build = make_build(base, binary, "build-demo")
    demo = os.path.join(build, "demo")
    names = [b"welcome.html", b"notes.txt", b"more/", b"tones.wav"]

    def check_demo(run, served):
        res.check("the demo: made in the build folder", all(os.path.exists(os.path.join(demo, n.decode()))
                                                            for n in names), demo)
        page = http_get(served)[2]
        res.check("the demo: page, text, subfolder and audio listed", all(n in page for n in names), page[:400])
        status, kind, data = http_get(served, "/tones.wav")
        try:
            seconds = wav_seconds(data)
        except (wave.Error, EOFError) as e:
            seconds = repr(e)
        res.check("the demo: a few seconds of audio", status == 200 and kind.startswith("audio/") and
                  isinstance(seconds, float) and 1 <= seconds <= 10, (status, kind, seconds))

    serve(res, "the demo", build, ["--port", str(free_port())], check_demo)
    write(os.path.join(demo, "kept.txt"), "kept\n")
    made = os.stat(os.path.join(demo, "tones.wav")).st_mtime_ns

    def check_demo_kept(run, served):
        res.check("the demo again: not made anew", b"kept.txt" in http_get(served)[2] and
                  os.stat(os.path.join(demo, "tones.wav")).st_mtime_ns == made, os.listdir(demo))

    serve(res, "the demo again", build, ["--port", str(free_port())], check_demo_kept)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--keep", action="store_true", help="keep the temp folder")
    args = ap.parse_args()
    binary = os.path.abspath(args.server)
    res = Results()
    # the script names its folders without symbolic links, as /proc does
    tmp = os.path.realpath(tempfile.mkdtemp(prefix="qm-newcomer-"))
    # a server started as root serves as nobody, which must reach the tree
    os.chmod(tmp, 0o755)
    try:
        for group in (group_lines, group_run_sh):
            base = os.path.join(tmp, group.__name__)
            os.makedirs(base)
            group(res, binary, base)
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
