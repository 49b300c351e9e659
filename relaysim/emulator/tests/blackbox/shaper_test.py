"""Black-box test behind a real kernel shaper: the stand-in reflector and relaysim in a network
namespace of their own whose loopback a token bucket (tc tbf) holds to 1 Mbit/s, 11.7 streams
of 50 datagrams a second. The shaper starves the same decoders at the end of every burst: the
loss relaysim reports is the kernel's own drop count, and a ramp finds 11 decoders. Skips
(status 77) where namespaces or tc are not available."""
import json
import os
import re
import subprocess
import sys
import tempfile

from harness import LOOPBACK, Program, binaries, free_port

BIN = binaries()
NS = "relaysim-shaper-%d" % os.getpid()
DECODERS = 13


def ip(*args):
    return subprocess.run(["ip"] + list(args), capture_output=True, text=True, timeout=10)


def qdisc_counts():
    """(sent, dropped) datagrams of the namespace's loopback shaper."""
    out = subprocess.run(["tc", "-n", NS, "-s", "qdisc", "show", "dev", "lo"], capture_output=True,
                         text=True, timeout=10).stdout
    m = re.search(r"Sent \d+ bytes (\d+) pkt \(dropped (\d+)", out)
    return int(m.group(1)), int(m.group(2))


def skip(why):
    print("SKIP: %s" % why)
    sys.exit(77)


def main():
    if os.geteuid() != 0:
        skip("needs root for a network namespace and tc")
    made = ip("netns", "add", NS)
    if made.returncode != 0:
        skip("ip netns add failed: %s" % made.stderr.strip())
    try:
        ip("-n", NS, "link", "set", "lo", "up")
        shaped = subprocess.run(["tc", "-n", NS, "qdisc", "add", "dev", "lo", "root", "tbf", "rate",
                                 "1mbit", "burst", "10kb", "latency", "50ms"],
                                capture_output=True, text=True, timeout=10)
        if shaped.returncode != 0:
            skip("tc tbf is not available: %s" % shaped.stderr.strip())
        timed_run(["ip", "netns", "exec", NS])
        print("PASS the loss is the kernel's drop count", flush=True)
        ramp_run(["ip", "netns", "exec", NS])
        print("PASS the ramp finds the shaper's capacity", flush=True)
    finally:
        ip("netns", "del", NS)


def measure(inside, options, during=lambda p: None):
    """relaysim's status, report and output against the stand-in reflector in the namespace."""
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "report.json")
        reflector = Program(inside + [BIN["reflector"], "-a", LOOPBACK, "-e", "0", "-g", "50"])
        p = None
        try:
            port = int(reflector.wait_for(r"encoder port (\d+)", 10).group(1))
            p = Program(inside + [BIN["relaysim"], "-n", str(DECODERS), "-d", "-l", str(free_port()),
                                  "-r", "%s:%d" % (LOOPBACK, port), "--max-loss", "5",
                                  "--report", report] + options)
            during(p)
            status = p.wait(90)
        finally:
            reflector.stop()
            if p:
                p.stop()
        with open(report) as f:
            return status, json.load(f), p.output


def ramp_run(inside):
    status, r, out = measure(inside, ["--ramp", "9:2:8:13"])
    assert (status, r["capacity"], r["ramp_end"]) == (3, 11, "broke"), (status, r["steps"], out[-2000:])


def timed_run(inside):
    counts = []

    def window(p):
        p.wait_for(r"Online \[Total online: %d\]" % (DECODERS - 1), 20)
        counts.append(qdisc_counts())
        p.wait(40)
        counts.append(qdisc_counts())
    status, r, out = measure(inside, ["--duration", "8"], window)
    before, after = counts
    sent, dropped = after[0] - before[0], after[1] - before[1]
    kernel = 100.0 * dropped / (sent + dropped)
    loss = r["totals"]["loss_percent"]
    # The kernel's share counts the window; relaysim's the whole run: a few points apart. A
    # starved decoder's loss shows as its silent tail, or as a gap where the shaper's bucket
    # left it a datagram.
    assert status == 3 and abs(loss - kernel) < 3, \
        (status, loss, kernel, r["totals"], out[-2000:])


if __name__ == "__main__":
    main()
