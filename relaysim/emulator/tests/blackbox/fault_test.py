"""Fault run: 50 emulated decoders against a reflector port that is closed, then served, then closed again."""
import re
import time

from harness import LOOPBACK, Program, Tests, binaries, free_port

BIN = binaries()
RELAYSIM = BIN["relaysim"]
REFLECTOR = BIN["reflector"]

DECODERS = 50
CPU_WINDOW = 5.0        # seconds of idle CPU measured against the closed port
CPU_LIMIT = 0.05        # share of one core
ONLINE_DEADLINE = 20.0  # requests go out every 4 s; the box may be loaded
OFFLINE_TARGET = 7.0    # the last datagram is followed by an offline report within this
OFFLINE_SLOP = 2.0      # the whole-second clock and a loaded scheduler
ONLINE_RX = re.compile(r"\n\[SSRC: [0-9a-f]+\] ORVANTEX - (\d+) : Online \[Total online: (\d+)\]")
OFFLINE_RX = re.compile(r"\nORVANTEX - (\d+) : Offline \[Total online: (\d+)\]")


class PortTaken(Exception):
    """The port picked for the reflector was bound by someone else in the meantime."""


def wait_until(what, predicate, timeout, describe):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            raise AssertionError("timed out after %.0f s waiting for %s; %s"
                                 % (timeout, what, describe()))
        time.sleep(0.05)
    return time.monotonic()


def reports(rx, text):
    return [(int(a), int(b)) for a, b in rx.findall(text)]


class FaultTests(Tests):
    def test_closed_served_closed(self):
        # The decoders must aim at a port that nobody holds yet; should another process
        # take it before the reflector binds it, the run starts over with a new port.
        for attempt in range(3):
            try:
                return self.run_once(free_port())
            except PortTaken as e:
                print("port %s was taken meanwhile; trying another" % e, flush=True)
        raise AssertionError("no port stayed free for the reflector in 3 attempts")

    def run_once(self, port):
        p = Program([RELAYSIM, "-n", str(DECODERS), "-d", "-l", str(free_port()),
                     "-r", "%s:%d" % (LOOPBACK, port)])
        reflector = None
        try:
            wait_until("every decoder created",
                       lambda: p.output.count("Adding decoder:0x") >= DECODERS, 30,
                       lambda: p.output[-2000:])
            created = time.monotonic()
            p.wait_for(re.escape("\rSelect stream to listen on the local PC?"), 20)
            assert p.output.count("Adding decoder:0x") == DECODERS, p.output[-2000:]
            # A decoder's first request leaves within 2 s of its start; its refusal is shown
            # with the next request, one period later.
            time.sleep(3)
            cpu_before, t_before = p.cpu_seconds(), time.monotonic()
            time.sleep(CPU_WINDOW)
            cpu = (p.cpu_seconds() - cpu_before) / (time.monotonic() - t_before)
            print("closed port: relaysim used %.2f%% of one core over %.0f s"
                  % (100 * cpu, CPU_WINDOW), flush=True)
            assert p.alive(), p.output[-2000:]
            assert cpu < CPU_LIMIT, "%.2f%% of one core against a closed port" % (100 * cpu)
            assert "Online" not in p.output, p.output[-2000:]
            # The operator sees the refusals, at most one per decoder a request period.
            refusals = p.output.count("CSocket::send():ERR:Connection refused")
            elapsed = time.monotonic() - created
            print("closed port: %d refusals shown in %.1f s" % (refusals, elapsed), flush=True)
            assert refusals >= DECODERS // 2, refusals
            assert refusals <= DECODERS * (elapsed / 4 + 1), refusals

            mark = len(p.output)
            reflector = Program([REFLECTOR, "-a", LOOPBACK, "-e", str(port), "-g", "20"])
            m = reflector.wait_for(r"reflector: (encoder port \d+|bind)", 10)
            if "bind" in m.group(1):
                raise PortTaken(port)
            served = time.monotonic()
            wait_until("every decoder online",
                       lambda: len(reports(ONLINE_RX, p.output[mark:])) >= DECODERS,
                       ONLINE_DEADLINE,
                       lambda: "%d online; relaysim:\n%s\nreflector:\n%s"
                       % (len(reports(ONLINE_RX, p.output[mark:])), p.output[-2000:],
                          reflector.output[-2000:]))
            print("reflector up: all %d online after %.1f s"
                  % (DECODERS, time.monotonic() - served), flush=True)
            online = reports(ONLINE_RX, p.output[mark:])
            assert sorted(d for d, _ in online) == list(range(DECODERS)), online
            # Each printed total is the count right after its change, whatever the print order.
            assert sorted(t for _, t in online) == list(range(1, DECODERS + 1)), online

            # A steady stream keeps them online.
            time.sleep(1)
            assert not OFFLINE_RX.search(p.output, mark), p.output[-2000:]

            mark = len(p.output)
            reflector.stop()
            stopped = time.monotonic()
            last = wait_until("every decoder offline",
                              lambda: len(reports(OFFLINE_RX, p.output[mark:])) >= DECODERS,
                              OFFLINE_TARGET + OFFLINE_SLOP + 5,
                              lambda: "%d offline; relaysim:\n%s"
                              % (len(reports(OFFLINE_RX, p.output[mark:])), p.output[-2000:]))
            print("reflector down: last of %d offline after %.1f s"
                  % (DECODERS, last - stopped), flush=True)
            offline = reports(OFFLINE_RX, p.output[mark:])
            assert sorted(d for d, _ in offline) == list(range(DECODERS)), offline
            assert sorted(t for _, t in offline) == list(range(DECODERS)), offline
            assert last - stopped < OFFLINE_TARGET + OFFLINE_SLOP, \
                "offline %.1f s after the reflector stopped" % (last - stopped)
            # Nothing flaps back once the port is closed again.
            time.sleep(1)
            assert len(reports(OFFLINE_RX, p.output[mark:])) == DECODERS
            assert not ONLINE_RX.search(p.output, mark), p.output[-2000:]
            assert p.alive()
        finally:
            if reflector is not None:
                reflector.stop()
            p.stop()


if __name__ == "__main__":
    FaultTests().run()
