"""Shared helpers of relaysim's black-box tests: processes, loopback sockets, deadlines."""
import os
import re
import select
import socket
import subprocess
import sys
import threading
import time

LOOPBACK = "127.0.0.1"


def free_port():
    """A UDP port that was free a moment ago, for programs that bind a port they are given."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def udp_socket(port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    s.bind((LOOPBACK, port))
    return s


def receive(sock, timeout):
    """One datagram and its sender within timeout seconds, or None."""
    ready, _, _ = select.select([sock], [], [], timeout)
    if not ready:
        return None
    return sock.recvfrom(65536)


def receive_all(sock, quiet=0.5, limit=10.0):
    """Datagrams until none comes for `quiet` seconds."""
    got = []
    end = time.monotonic() + limit
    while time.monotonic() < end:
        d = receive(sock, quiet)
        if d is None:
            break
        got.append(d)
    return got


class Program:
    """A child process whose standard output is collected by a thread."""

    def __init__(self, argv, stdin=subprocess.PIPE):
        self.argv = argv
        self.proc = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self._out = bytearray()
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                return
            with self._lock:
                self._out += chunk

    @property
    def output(self):
        with self._lock:
            return self._out.decode("latin-1")

    def wait_for(self, pattern, timeout, start=0):
        """Waits until the output (from offset `start`) matches; returns the match."""
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        while True:
            m = rx.search(self.output, start)
            if m:
                return m
            if time.monotonic() > end:
                raise AssertionError("timed out waiting for %r in output of %s:\n%s"
                                     % (pattern, self.argv[0], self.output[-4000:]))
            time.sleep(0.05)

    def send(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def cpu_seconds(self):
        """User plus system time of the process and all its threads."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        tick = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / tick

    def resident_kib(self):
        """Resident memory (VmRSS) of the process, in KiB."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def alive(self):
        return self.proc.poll() is None

    def wait(self, timeout):
        """The exit status of a process that ends by itself within timeout seconds."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s still running after %.0f s:\n%s"
                                 % (self.argv[0], timeout, self.output[-4000:]))
        self._reader.join(5)
        return status

    def stop(self):
        if self.alive():
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._reader.join(5)
        return self.output


class Tests:
    """Runs every method named test_* and reports like a tiny unit-test runner."""

    def run(self):
        names = [n for n in sorted(dir(self)) if n.startswith("test_")]
        if len(sys.argv) > 2:
            names = [n for n in names if n in sys.argv[2:]]
        failed = 0
        for name in names:
            t0 = time.monotonic()
            try:
                getattr(self, name)()
                print("PASS %s (%.1f s)" % (name, time.monotonic() - t0), flush=True)
            except Exception as e:  # a failing check or a broken peer alike
                failed += 1
                print("FAIL %s: %s" % (name, e), flush=True)
                import traceback
                traceback.print_exc()
        sys.exit(1 if failed else 0)


def binaries():
    """Program paths from the first argument: name=path pairs joined by commas."""
    arg = sys.argv[1]
    paths = dict(item.split("=", 1) for item in arg.split(","))
    return paths
