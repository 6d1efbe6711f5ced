#!/usr/bin/env python3
"""The server as a service, through the real binary.

    run_service.py --server path/to/quillmere --group fallback|systemd

fallback: no service manager can be reached (a mount namespace whose /run
is empty): every command prints the "Cannot connect" lines and a server
started with a service name runs in the foreground.

systemd: a private systemd boots as PID 1 of its own namespaces
(systemd_sandbox.sh beside this file); the commands run inside it, as root
and as nobody, and the service is checked through its output, its log
file, its unit file, the manager's view of it and HTTP on loopback.

Each group prints one line per check and a summary and exits non-zero on
any failure; where its sandbox cannot be made it prints "skipped: <why>"
and passes.
"""

import argparse
import ctypes
import http.client
import os
import pty
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from checks import Results, free_port, wait_for  # noqa: E402

STAMP = r"\[\d{4}-\d\d-\d\d / \d\d:\d\d:\d\d\] "
SEPARATOR = "#" * 33
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


class ServiceResults(Results):
    def lines(self, name, text, patterns):
        """text holds a line matching each pattern, in this order."""
        at = 0
        lines = text.splitlines()
        for pattern in patterns:
            while at < len(lines) and not re.fullmatch(pattern, lines[at]):
                at += 1
            if at == len(lines):
                return self.check(name, False, "no line %r in %r" % (pattern, text))
            at += 1
        return self.check(name, True)


def http_get(port, path="/", timeout=5):
    """(status, body), or (None, why) when no answer came."""
    try:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
        c.request("GET", path)
        r = c.getresponse()
        body = r.read()
        c.close()
        return r.status, body
    except (OSError, http.client.HTTPException) as e:
        return None, repr(e)


def readable_tree(base):
    """The service lowers itself to nobody, which must reach its files."""
    for folder, _, files in os.walk(base):
        os.chmod(folder, 0o755)
        for f in files:
            os.chmod(os.path.join(folder, f), 0o644)
    path = base
    while path not in ("/", ""):
        mode = os.stat(path).st_mode
        os.chmod(path, mode | stat.S_IXOTH | stat.S_IROTH)
        path = os.path.dirname(path)


# The program's folder: blanks, and what the manager would otherwise expand.
PROGRAM_FOLDER = "bin dir $HOME %n"


def unit_quoted(program):
    """The program's path in ExecStart, as the unit file must carry it: the
    manager expands specifiers there, but no variables."""
    return '"%s"' % program.replace("\\", "\\\\").replace('"', '\\"').replace("%", "%%")


def make_site(base, binary):
    """A program folder whose name needs quoting, and a document root."""
    bindir = os.path.join(base, PROGRAM_FOLDER)
    www = os.path.join(base, "www")
    os.makedirs(bindir)
    os.makedirs(os.path.join(www, "folder"))
    with open(os.path.join(www, "index.html"), "w") as f:
        f.write("<p>service page</p>")
    with open(os.path.join(www, "folder", "a.txt"), "w") as f:
        f.write("a\n")
    exe = os.path.join(bindir, "quillmere")
    shutil.copy2(binary, exe)
    readable_tree(base)
    os.chmod(exe, 0o755)
    return exe, bindir, www


def write_ini(bindir, name, www, port, extra=""):
    path = os.path.join(bindir, name + ".ini")
    with open(path, "w") as f:
        f.write("root=%s\nport=%d\n%s" % (www, port, extra))
    os.chmod(path, 0o644)


# ---------------------------------------------------------------- fallback

def can_unshare():
    if os.geteuid() != 0:
        return "not root"
    if not shutil.which("unshare"):
        return "no unshare"
    p = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
    return None if p.returncode == 0 else "unshare refused: " + p.stderr.decode().strip()


# A mount namespace without the manager's socket or the system bus, and with
# a log folder of its own (remove deletes the service's log file).
NO_MANAGER = ("mount --make-rprivate / && mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/log && "
              "exec \"$@\"")


def without_manager(args, as_nobody=False, **kw):
    """Runs args where no manager socket and no system bus exist."""
    inner = NO_MANAGER
    prefix = NOBODY if as_nobody else []
    return subprocess.run(["unshare", "--mount", "sh", "-c", inner, "sh"] + prefix + args,
                          capture_output=True, text=True, timeout=60, **kw)


HELP_TEXT = """:: service commands ::        :name:  specify service name
   s  start                   P  pause
   q  stop                    C  continue
   r  restart
   i  install                 I install interactive service
   u  uninstall               h  help  ?
   c  configuration reload

   -di               install service with default name marvent.quillmere
   -d:+.8080:i       install service marvent.quillmere.8080
   -dir -uninstall   commands are executed in the order they appear
   -d:marvent.quillmere:i  install service marvent.quillmere
   -d:marvent.quillmere::  run in foreground using marvent.quillmere.ini

   configuration .ini files for each service are stored in the
   application directory, and can be reloaded [-reload] without restart


"""


def connect_lines(name, what, error):
    return [STAMP + re.escape("!! Cannot connect to Service Control Manager."),
            re.escape("\tDo I have administrator priviledges?"),
            re.escape("\t%s %s [%d]" % (name, what, error))]


def group_fallback(res, binary, base):
    why = can_unshare()
    if why:
        print("skipped: " + why)
        return
    exe, bindir, www = make_site(base, binary)
    for who, nobody in (("root", False), ("nobody", True)):
        for label, args in (("-dq", ["-dq"]), ("-ds", ["-ds"]), ("-dP", ["-dP"]), ("-dC", ["-dC"]),
                            ("-dc", ["-dc"]), ("-d stop", ["-d", "stop"])):
            p = without_manager([exe] + args, nobody)
            res.lines("%s %s: cannot connect" % (who, label), p.stdout,
                      connect_lines("marvent.quillmere", "service command failed", 2))
        p = without_manager([exe, "-di"], nobody)
        res.lines("%s -di: cannot connect" % who, p.stdout,
                  connect_lines("marvent.quillmere", "service installation failed", 2))
        res.check("%s -di: no start is tried" % who, "service command" not in p.stdout, p.stdout)
        p = without_manager([exe, "-d:web:u"], nobody)
        res.lines("%s -d:web:u: stop, then not found" % who, p.stdout,
                  connect_lines("web", "service command failed", 2) +
                  [STAMP + re.escape("!! web service was not found on the system! service remove [1060]")])
    p = without_manager([exe, "-dh"])
    res.expect("-dh prints the help text", p.stdout, HELP_TEXT)
    for label, args in (("-dx", ["-dx"]), ("-d -start", ["-d", "-start"])):
        p = without_manager([exe] + args)
        res.expect("%s prints an empty line only" % label, (p.stdout, p.returncode), ("\n", 0))

    # A server started with a service name runs in the foreground: SIGHUP
    # and SIGTERM stop it, SIGUSR1 and SIGUSR2 do not.
    port = free_port()
    write_ini(bindir, "web", www, port)
    for stop_signal in (signal.SIGHUP, signal.SIGTERM):
        out = open(os.path.join(base, "fg.out"), "w+")
        inner = NO_MANAGER
        proc = subprocess.Popen(["unshare", "--mount", "sh", "-c", inner, "sh", exe, "-d:web::"],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        name = "foreground -d:web:: until %s" % signal.Signals(stop_signal).name
        res.check(name + ": serves", wait_for(lambda: http_get(port)[0] == 200, 15), http_get(port))
        proc.send_signal(signal.SIGUSR1)
        proc.send_signal(signal.SIGUSR2)
        time.sleep(0.3)
        res.expect(name + ": SIGUSR1/SIGUSR2 ignored", (proc.poll(), http_get(port)[0]), (None, 200))
        proc.send_signal(stop_signal)
        try:
            rc = proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            rc = "still running"
        res.expect(name + ": ends with 0", rc, 0)
        out.seek(0)
        text = out.read()
        out.close()
        res.check(name + ": console lines on its own output", ":: bind(0.0.0.0:%d)" % port in text, text)


# ---------------------------------------------------------------- systemd

def sandbox_missing():
    why = can_unshare()
    if why:
        return why
    for need in ("/lib/systemd/systemd", "/usr/bin/dbus-daemon", "/usr/bin/nsenter", "/usr/bin/setpriv"):
        if not os.path.exists(need):
            return need + " is missing"
    for folder in ("/etc/systemd/system", "/var/log"):
        if not os.path.isdir(folder):
            return folder + " is missing"
    return None


def die_with_parent():
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Sandbox:
    """systemd as PID 1 of new namespaces; stopped by SIGKILL to that PID."""

    def __init__(self, state):
        self.state = state
        self.log = open(os.path.join(state, "systemd.out"), "w")
        # Should this test be killed, unshare dies with it and takes the
        # namespace's PID 1, and so every process of the sandbox, along.
        self.proc = subprocess.Popen(
            ["unshare", "--kill-child", "--pid", "--fork", "--mount", "--uts", "--ipc", "--mount-proc",
             os.path.join(HERE, "systemd_sandbox.sh"), state],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        self.pid = None

    def find_pid(self):
        """The namespace's PID 1, as the host sees it: unshare's child."""
        children = subprocess.run(["pgrep", "-P", str(self.proc.pid)], capture_output=True, text=True).stdout.split()
        return int(children[0]) if children else None

    def start(self):
        self.pid = wait_for(self.find_pid, 10)
        if not self.pid:
            return "the sandbox did not start"
        ready = wait_for(lambda: self.run(["systemctl", "is-system-running"]).stdout.strip()
                         in ("running", "degraded"), 30, 0.2)
        if not ready:
            return "the sandbox's manager did not come up: " + self.run(
                ["systemctl", "is-system-running"]).stdout.strip()
        return None

    def enter(self):
        return ["nsenter", "-t", str(self.pid), "-m", "-p", "-u"]

    def run(self, args, nobody=False, **kw):
        prefix = NOBODY if nobody else []
        kw.setdefault("timeout", 60)
        return subprocess.run(self.enter() + prefix + args, capture_output=True, text=True, **kw)

    def show(self, unit, prop):
        return self.run(["systemctl", "show", "-p", prop, "--value", unit]).stdout.strip()

    def read(self, path):
        p = self.run(["cat", path])
        return p.stdout if p.returncode == 0 else None

    def stop(self):
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        self.log.close()


class Service:
    """One service name with its .ini beside the shared program."""

    def __init__(self, box, exe, bindir, www, name, port=None, extra=""):
        self.box, self.exe, self.bindir, self.www, self.name = box, exe, bindir, www, name
        self.unit = name + ".service"
        self.port = port or free_port()
        write_ini(bindir, name, www, self.port, extra)

    def cmd(self, letters, nobody=False):
        return self.box.run([self.exe, "-d:%s:%s" % (self.name, letters)], nobody).stdout

    def active(self):
        return self.box.show(self.unit, "ActiveState")

    def wait_state(self, state, timeout=20):
        return wait_for(lambda: self.active() == state, timeout)

    def main_pid(self):
        return self.box.show(self.unit, "MainPID")

    def log(self):
        return self.box.read("/var/log/%s.log" % self.name) or ""

    def serves(self, path="/"):
        return http_get(self.port, path)[0] == 200


def check_install(res, box, svc):
    out = svc.cmd("i")
    quoted = unit_quoted(svc.exe) + ' "-d:%s"' % svc.name
    res.lines("-d:web:i prints installed, rights, command line and start", out, [
        STAMP + re.escape(":: web service installed"),
        STAMP + re.escape(":: root requires Read+Execute ACL rights on:"),
        re.escape(quoted),
        STAMP + re.escape(":: web service start [OK]")])
    unit = box.read("/etc/systemd/system/web.service") or ""
    res.check("unit file: notify type, quoted command line, reload, values", all(
        line in unit.splitlines() for line in (
            "Type=notify", "NotifyAccess=main", "ExecStart=" + quoted,
            "ExecReload=/bin/kill -HUP $MAINPID", "WantedBy=multi-user.target",
            "[X-Quillmere]", "Type=0x10", "_console_pid=0", "_console_sid=0")), unit)
    mode = box.run(["stat", "-c", "%a", "/etc/systemd/system/web.service"]).stdout.strip()
    res.expect("unit file mode", mode, "644")
    res.expect("unit enabled", box.show("web.service", "UnitFileState"), "enabled")
    res.check("active once started", svc.wait_state("active"), svc.active())
    res.check("answers HTTP once ready", wait_for(svc.serves, 10), http_get(svc.port))
    res.expect("status text", box.show("web.service", "StatusText"), "[RUNNING]")
    res.check("log: started", re.search(STAMP + re.escape("[STARTED] web"), svc.log()), svc.log())
    out = svc.cmd("i")
    res.lines("second install: already exists, start anyway", out, [
        STAMP + re.escape("!! web service already exists."), STAMP + re.escape(":: web service start [OK]")])


def check_pause_continue(res, box, svc):
    res.lines("-dP prints paused", svc.cmd("P"), [STAMP + re.escape(":: web service [PAUSED]")])
    status, why = http_get(svc.port)
    res.check("paused: connection closed unserved", status is None, "got %r" % status)
    res.check("log: {paused}", re.search(STAMP + re.escape("{paused}"), svc.log()), svc.log())
    res.lines("-dC prints running", svc.cmd("C"), [STAMP + re.escape(":: web service [RUNNING]")])
    res.check("continued: served again", svc.serves(), http_get(svc.port))
    res.check("log: {resumed}", re.search(STAMP + re.escape("{resumed}"), svc.log()), svc.log())


def check_reload(res, box, svc):
    pid = svc.main_pid()
    res.expect("no listing before the reload", http_get(svc.port, "/folder/")[0], 404)
    write_ini(svc.bindir, svc.name, svc.www, svc.port, "list_directories=1\n")
    res.lines("-dc prints running", svc.cmd("c"), [STAMP + re.escape(":: web service [RUNNING]")])
    res.check("reloaded: listings on", wait_for(lambda: svc.serves("/folder/"), 10),
              http_get(svc.port, "/folder/"))
    res.expect("reloaded in the same process", svc.main_pid(), pid)
    res.check("reload done: active again", svc.wait_state("active"), svc.active())


def served_lines(text):
    """The lines that name what is served, and their "!!" lines."""
    return [line for line in text.splitlines() if re.match(r"(::|!!) (root|virtual) ", line)]


def check_served_lines(res, box, svc):
    """At start and after every reload the log names the root and each
    virtual directory, with a "!!" line for each that nobody, who serves
    the files, cannot read."""
    root = ":: root " + svc.www
    res.check("log: the root named at start", root in svc.log().splitlines(), svc.log())
    gone = os.path.join(os.path.dirname(svc.www), "gone")
    folder = "virtual /folder -> %s/folder" % svc.www
    denied = "is not a readable folder for nobody: Permission denied"
    # (what, mode of the root, the vdir block, the lines the reload prints)
    cases = [("root of mode 700, a vdir below it, a missing one", 0o700, "\tfolder|folder\n\tgone|%s\n" % gone,
              [root, "!! root %s %s" % (svc.www, denied), ":: " + folder, "!! %s %s" % (folder, denied),
               ":: virtual /gone -> " + gone,
               "!! virtual /gone -> %s is not a readable folder for nobody: No such file or directory" % gone]),
             ("readable again, no vdirs", 0o755, "", [root])]
    for name, mode, block, want in cases:
        os.chmod(svc.www, mode)
        write_ini(svc.bindir, svc.name, svc.www, svc.port, "list_directories=1\nvdir=\n{\n%s}\n" % block)
        before = len(svc.log())
        svc.cmd("c")

        def printed():
            lines = served_lines(svc.log()[before:])
            return lines if len(lines) >= len(want) else None

        res.expect("reload, %s: the lines" % name, wait_for(printed, 10), want)
    res.check("readable again: serves", wait_for(svc.serves, 10), http_get(svc.port))


def check_stop_start(res, box, svc):
    # The state after the stop control: its queued job reads as STOP
    # PENDING, unless the idle server has already ended by the query.
    res.lines("-dq prints stop pending", svc.cmd("q"), [STAMP + r":: web service \[(STOP PENDING|STOPPED)\]"])
    res.check("stopped: inactive", svc.wait_state("inactive"), svc.active())
    log = svc.log()
    res.lines("log: stopped with the separator", log, [
        STAMP + re.escape("[STARTED] web"), STAMP + re.escape("[STOPPED] web"), re.escape(SEPARATOR)])
    res.lines("-ds prints OK", svc.cmd("s"), [STAMP + re.escape(":: web service start [OK]")])
    res.check("started again", svc.wait_state("active") and wait_for(svc.serves, 10), svc.active())
    later = svc.log()
    res.check("log: the second run appends", later.startswith(log) and later.count("[STARTED] web") == 2, later)
    pid = svc.main_pid()
    out = svc.cmd("r")
    res.lines("-dr prints the stop and the start", out, [
        STAMP + re.escape(":: web service ") + r"\[[A-Z ]+\]", STAMP + re.escape(":: web service start [OK]")])
    res.check("restarted: a new process", wait_for(lambda: svc.active() == "active" and svc.main_pid() not in
                                                  (pid, "0"), 20), (pid, svc.main_pid()))
    res.check("restarted: serves", wait_for(svc.serves, 10), http_get(svc.port))


def check_unprivileged(res, box, svc):
    for letters, codes in (("q", [1]), ("s", [0]), ("P", [2]), ("C", [3]), ("c", [6]), ("r", [1, 0])):
        out = svc.cmd(letters, nobody=True)
        res.lines("nobody -d:web:%s: access denied" % letters, out, [
            STAMP + re.escape("!! service command [%d]: failed to open web! [5]" % c) for c in codes])
    res.lines("nobody -d:web:i: access denied", svc.cmd("i", nobody=True),
              connect_lines("web", "service installation failed", 5))
    res.lines("nobody -d:web:u: access denied", svc.cmd("u", nobody=True), [
        STAMP + re.escape("!! service command [1]: failed to open web! [5]"),
        STAMP + re.escape("!! service remove: failed to open service web! [5]")])
    res.check("nobody changed nothing", svc.active() == "active" and svc.serves(), svc.active())


def check_foreground(res, box, svc):
    """A console start of the installed service, while the service is stopped."""
    svc.cmd("q")
    svc.wait_state("inactive")
    # With a terminal: a console process; Q stops it.
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp("nsenter", box.enter() + [svc.exe, "-d:web::"])
    text = b""
    served = wait_for(svc.serves, 15)
    res.check("foreground on a terminal: serves", served, http_get(svc.port))
    res.expect("foreground on a terminal: the unit stays inactive", svc.active(), "inactive")
    os.write(fd, b"q")
    end = time.time() + 10
    ended = None
    while time.time() < end and ended is None:
        r, _, _ = select.select([fd], [], [], 0.2)
        if r:
            try:
                text += os.read(fd, 65536)
            except OSError:
                pass
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            ended = os.waitstatus_to_exitcode(status)
    if ended is None:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    os.close(fd)
    res.expect("foreground on a terminal: Q stops it with 0", ended, 0)
    res.check("foreground on a terminal: its lines on the terminal",
              b":: bind(0.0.0.0:%d)" % svc.port in text, text[-400:])
    # Without a terminal: taken for the service, its output goes to the log,
    # the manager does not take it, and it runs in the foreground.
    before = svc.log()
    proc = subprocess.Popen(box.enter() + [svc.exe, "-d:web::"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    res.check("foreground without a terminal: serves", wait_for(svc.serves, 15), http_get(svc.port))
    res.expect("foreground without a terminal: the unit stays inactive", svc.active(), "inactive")
    # nsenter forwards no signal: stop the server itself.
    server_pid = wait_for(lambda: [p for p in box.run(["pgrep", "-x", "quillmere"]).stdout.split()
                                   if "-d:web::" in (box.read("/proc/%s/cmdline" % p) or "")], 5)
    if server_pid:
        box.run(["kill", "-TERM", server_pid[0]])
    try:
        rc = proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        rc = "still running"
    res.expect("foreground without a terminal: SIGTERM stops it with 0", rc, 0)
    after = svc.log()
    added = after[len(before):]
    res.check("foreground without a terminal: its lines in the log, no [STARTED]",
              after.startswith(before) and "stopping..." in added and "[STARTED]" not in added, added)
    svc.cmd("s")
    svc.wait_state("active")


def check_remove(res, box, svc):
    res.check("running before remove", svc.wait_state("active"), svc.active())
    out = svc.cmd("u")
    # The stop takes time, so a running service usually needs a second
    # remove; but the stop can end before the status query (the server
    # stops in milliseconds when idle), and the first remove then deletes
    # it at once, its stop line saying either state.
    if "was removed successfully!" in out:
        res.lines("-du on a running service that stopped at once: stop line, removed", out, [
            STAMP + r":: web service \[(STOP PENDING|STOPPED)\]",
            STAMP + re.escape(":: web service was removed successfully!")])
    else:
        res.lines("-du on a running service: stop line, still running", out, [
            STAMP + re.escape(":: web service [STOP PENDING]"),
            STAMP + re.escape("!! web is still running. Stop the service and try again!")])
        res.check("log kept while the service exists", svc.log() != "", "no log")
        svc.wait_state("inactive")
        out = svc.cmd("u")
        res.lines("second -du removes it", out, [
            STAMP + re.escape(":: web service [STOPPED]"),
            STAMP + re.escape(":: web service was removed successfully!")])
    res.expect("unit file gone", box.read("/etc/systemd/system/web.service"), None)
    res.expect("enablement gone",
               box.run(["ls", "/etc/systemd/system/multi-user.target.wants/web.service"]).returncode != 0, True)
    res.expect("log gone", box.read("/var/log/web.log"), None)
    res.expect("manager forgot it", box.show("web.service", "LoadState"), "not-found")
    out = svc.cmd("u")
    res.lines("third -du: not found", out, [
        STAMP + re.escape("!! service command [1]: failed to open web! [1060]"),
        STAMP + re.escape("!! web service was not found on the system! service remove [1060]")])


def check_interactive(res, box, exe, bindir, www):
    svc = Service(box, exe, bindir, www, "web-i")
    out = svc.cmd("Ii")
    res.lines("-dIi: installed interactive, then already exists", out, [
        STAMP + re.escape(":: web-i service installed [INTERACTIVE]"),
        STAMP + re.escape(":: web-i service start [OK]"),
        STAMP + re.escape("!! web-i service already exists."),
        STAMP + re.escape(":: web-i service start [OK]")])
    unit = box.read("/etc/systemd/system/web-i.service") or ""
    res.check("interactive unit: Type=0x110", "Type=0x110" in unit.splitlines(), unit)
    console = os.path.join(box.state, "console")
    res.check("interactive service: serves", svc.wait_state("active") and wait_for(svc.serves, 10), svc.active())
    shown = wait_for(lambda: "[STARTED] web-i" in open(console).read(), 10)
    res.check("interactive service: its lines on the system console", shown, open(console).read()[-400:])
    res.expect("interactive service: no log file", box.read("/var/log/web-i.log"), None)
    svc.cmd("q")
    svc.wait_state("inactive")
    svc.cmd("u")


def check_suffixed_name(res, box, exe, bindir, www):
    svc = Service(box, exe, bindir, www, "marvent.quillmere.8080")
    out = box.run([exe, "-d:+.8080:i"]).stdout
    res.lines("-d:+.8080:i installs the suffixed name", out, [
        STAMP + re.escape(":: marvent.quillmere.8080 service installed"),
        re.escape(unit_quoted(exe) + ' "-d:marvent.quillmere.8080"')])
    res.check("suffixed service serves from its own .ini", svc.wait_state("active") and wait_for(svc.serves, 10),
              svc.active())
    box.run([exe, "-d:+.8080:q"])
    svc.wait_state("inactive")
    out = box.run([exe, "-d:+.8080:u"]).stdout
    res.check("suffixed service removed", "marvent.quillmere.8080 service was removed successfully!" in out, out)


def check_log_refused(res, box, exe, bindir, www):
    """A log folder that refuses the file: the service's own console instead."""
    svc = Service(box, exe, bindir, www, "web-ro")
    box.run(["mount", "-o", "remount,ro", "/var/log"])
    try:
        svc.cmd("i")
        console = os.path.join(box.state, "console")
        shown = wait_for(lambda: "[STARTED] web-ro" in open(console).read(), 10)
        res.check("log folder refused: lines on the system console", shown, open(console).read()[-400:])
        res.check("log folder refused: serves", wait_for(svc.serves, 10), http_get(svc.port))
    finally:
        box.run(["mount", "-o", "remount,rw", "/var/log"])
    svc.cmd("q")
    svc.wait_state("inactive")
    svc.cmd("u")


def check_attached(res, box, exe, bindir, www):
    """_console_pid names a process whose terminal shows the service's lines."""
    svc = Service(box, exe, bindir, www, "web-a")
    master, slave = pty.openpty()
    holder = subprocess.Popen(box.enter() + ["sh", "-c", "echo PID=$$; exec sleep 120"],
                              stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
    os.close(slave)
    shown = b""

    def read_terminal(seconds, until=None):
        nonlocal shown
        end = time.time() + seconds
        while time.time() < end and not (until and until in shown):
            r, _, _ = select.select([master], [], [], 0.2)
            if r:
                try:
                    shown += os.read(master, 65536)
                except OSError:
                    return

    try:
        read_terminal(10, b"PID=")
        m = re.search(rb"PID=(\d+)", shown)
        holder_pid = m.group(1).decode() if m else "0"
        svc.cmd("i")
        svc.wait_state("active")
        svc.cmd("q")
        svc.wait_state("inactive")
        path = "/etc/systemd/system/web-a.service"
        unit = (box.read(path) or "").replace("_console_pid=0", "_console_pid=" + holder_pid)
        box.run(["sh", "-c", "cat > " + path], input=unit)
        shown = b""
        log_before = svc.log()
        svc.cmd("s")
        read_terminal(15, b"waiting for client connection")
        res.check("attached: two line breaks, then ++ in white on green",
                  shown.startswith(b"\r\n\r\n\x1b[97;42m++ marvent.quillmere\x1b[0m\r\n"), shown[:200])
        res.check("attached: the service's lines follow", b":: bind(0.0.0.0:%d)" % svc.port in shown, shown)
        svc.cmd("q")
        svc.wait_state("inactive")
        read_terminal(5, b"-- marvent")
        # How the process ended, for the report: a line missing at the end
        # is told apart from a process that never reached its teardown.
        how_ended = " ".join(p + "=" + box.show("web-a.service", p)
                         for p in ("ActiveState", "Result", "ExecMainCode", "ExecMainStatus"))
        res.check("attached: -- in white on red at the end", b"\x1b[97;41m-- marvent.quillmere\x1b[0m" in shown,
                  repr(shown[-200:]) + " " + how_ended)
        res.check("attached: no [STARTED] or [STOPPED], nothing in the log",
                  b"[STARTED]" not in shown and b"[STOPPED]" not in shown and svc.log() == log_before, shown)
    finally:
        holder.kill()
        holder.wait()
        os.close(master)
    svc.cmd("u")


def group_systemd(res, binary, base):
    why = sandbox_missing()
    if why:
        print("skipped: " + why)
        return
    canary = tempfile.NamedTemporaryFile(prefix="qm-canary-", dir="/tmp", delete=False)
    canary.close()
    state = os.path.join(base, "sandbox")
    os.makedirs(state)
    box = Sandbox(state)
    try:
        why = box.start()
        if why:
            res.check("sandbox", False, why + "\n" + open(os.path.join(state, "systemd.out")).read()[-2000:])
            return
        exe, bindir, www = make_site(os.path.join(base, "site"), binary)
        svc = Service(box, exe, bindir, www, "web")
        for step in (check_install, check_pause_continue, check_reload, check_served_lines, check_stop_start,
                     check_unprivileged, check_foreground, check_remove):
            step(res, box, svc)
            if not os.path.exists(canary.name):
                res.check("the machine's /tmp is untouched", False, "the canary %s is gone" % canary.name)
                return
        steps = [check_suffixed_name, check_attached]
        if os.path.exists(os.path.join(state, "console-bound")):
            steps += [check_interactive, check_log_refused]
        else:
            print("skipped: the system console checks (no /dev/console to stand in for)")
        for step in steps:
            step(res, box, exe, bindir, www)
        res.check("the machine's /tmp is untouched", os.path.exists(canary.name), "the canary is gone")
    finally:
        box.stop()
        if os.path.exists(canary.name):
            os.unlink(canary.name)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--group", required=True, choices=["fallback", "systemd"])
    args = ap.parse_args()
    res = ServiceResults()
    base = tempfile.mkdtemp(prefix="qm-service-")
    try:
        {"fallback": group_fallback, "systemd": group_systemd}[args.group](res, os.path.abspath(args.server), base)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("%d passed, %d failed" % (res.passed, res.failed))
    return 1 if res.failed else 0


if __name__ == "__main__":
    sys.exit(main())
