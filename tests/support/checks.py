"""What the scripted tests share: the results of their checks, a free
loopback port, and waiting for a condition."""

import socket
import time


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, why=""):
        if ok:
            self.passed += 1
            print("ok  " + name, flush=True)
        else:
            self.failed += 1
            print("FAIL %s: %s" % (name, why), flush=True)
        return ok

    def expect(self, name, got, want):
        return self.check(name, got == want, "got %r, want %r" % (got, want))


def free_port():
    """A port free on every address of both families, as the server binds
    it (one dual-stack socket); IPv4 alone where the system has no IPv6."""
    try:
        s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        s.bind(("::", 0))
    except OSError:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind(("0.0.0.0", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(predicate, timeout=15, step=0.1):
    """predicate's first true value within timeout seconds, else its last value."""
    end = time.time() + timeout
    while time.time() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()
