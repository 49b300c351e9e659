#!/usr/bin/env python3
"""Soak run of relaysim: 174 decoders and 174 encoders at 50 datagrams a second; prints counts, loss and memory."""
import argparse
import os
import re
import select
import socket
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "relaysim", "tests", "blackbox"))
from harness import LOOPBACK, Program, free_port, udp_socket  # noqa: E402


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("-t", "--duration", type=float, default=600,
                    help="seconds of traffic (default 600)")
    ap.add_argument("-n", "--devices", type=int, default=174,
                    help="emulated decoders and encoders (default 174)")
    ap.add_argument("-r", "--rate", type=float, default=50, help="local datagrams a second")
    ap.add_argument("-s", "--size", type=int, default=172, help="local datagram size")
    ap.add_argument("-b", "--build", default=os.path.join(REPO, "build"),
                    help="build directory holding relaysim/relaysim and tools/reflector")
    ap.add_argument("--reflector-buffer", type=int, default=64 << 20,
                    help="receive buffer of the stand-in reflector's sockets, bytes (default 64 MiB)")
    ap.add_argument("--report-every", type=float, default=60, help="progress line period, s")
    return ap.parse_args()


def wait_until(what, predicate, timeout):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            raise SystemExit("soak: timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(0.1)


def socket_inodes(pid):
    inodes = set()
    fd_dir = "/proc/%d/fd" % pid
    for fd in os.listdir(fd_dir):
        try:
            m = re.match(r"socket:\[(\d+)\]", os.readlink(os.path.join(fd_dir, fd)))
        except OSError:
            continue
        if m:
            inodes.add(int(m.group(1)))
    return inodes


def udp_table():
    """inode -> (local port, remote port, rx_queue bytes, drops) from /proc/net/udp."""
    rows = {}
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            w = line.split()
            local_port = int(w[1].split(":")[1], 16)
            remote_port = int(w[2].split(":")[1], 16)
            rx_queue = int(w[4].split(":")[1], 16)
            rows[int(w[9])] = (local_port, remote_port, rx_queue, int(w[12]))
    return rows


def sockets_of(pid):
    table = udp_table()
    return [table[i] for i in socket_inodes(pid) if i in table]


def snmp_udp():
    with open("/proc/net/snmp") as f:
        lines = [l.split() for l in f if l.startswith("Udp:")]
    return dict(zip(lines[0][1:], map(int, lines[1][1:])))


def cpu_share(before, after):
    (c0, t0), (c1, t1) = before, after
    return 100.0 * (c1 - c0) / max(t1 - t0, 1e-9)


class Sender(threading.Thread):
    """The local stream: RTP datagrams on an absolute 1/rate schedule, counted when sent."""

    def __init__(self, port, count, rate, size):
        super().__init__(daemon=True)
        self.port, self.count, self.period, self.size = port, count, 1.0 / rate, size
        self.sent = self.failed = 0
        self.late = 0.0

    def run(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        packet = bytearray(b"\xff") * self.size
        start = time.monotonic()
        for n in range(self.count):
            due = start + n * self.period
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                self.late = max(self.late, -delay)
            packet[0:12] = struct.pack(">BBHII", 0x80, 0, n & 0xFFFF, (160 * n) & 0xFFFFFFFF,
                                       0x50A50000)
            try:
                if s.sendto(packet, (LOOPBACK, self.port)) == self.size:
                    self.sent += 1
            except OSError:
                self.failed += 1
        s.close()


class Sink(threading.Thread):
    """The local player: counts what relaysim forwards from the selected decoder."""

    def __init__(self, sock):
        super().__init__(daemon=True)
        self.sock, self.count, self.stop = sock, 0, False

    def run(self):
        while not self.stop:
            if select.select([self.sock], [], [], 0.2)[0]:
                self.sock.recv(65536)
                self.count += 1


def main():
    a = parse_args()
    relaysim_bin = os.path.join(a.build, "relaysim", "relaysim")
    reflector_bin = os.path.join(a.build, "tools", "reflector")
    for b in (relaysim_bin, reflector_bin):
        if not os.access(b, os.X_OK):
            raise SystemExit("soak: %s not built (give --build)" % b)
    n = a.devices
    datagrams = int(round(a.duration * a.rate))
    print("soak: %d decoders, %d encoders, %d local datagrams of %d bytes at %g/s (%.0f s)"
          % (n, n, datagrams, a.size, a.rate, a.duration), flush=True)

    reflector = Program([reflector_bin, "-a", LOOPBACK, "-e", "0", "-d", "0", "-c",
                         "-B", str(a.reflector_buffer)])
    relaysim = None
    try:
        m = reflector.wait_for(r"reflector: encoder port (\d+) decoder port (\d+)\n", 10)
        enc_port, dec_port = int(m.group(1)), int(m.group(2))
        player = udp_socket()
        local = free_port()
        relaysim = Program([relaysim_bin, "-n", str(n), "-d", "-e", "-l", str(local),
                            "-r", "%s:%d" % (LOOPBACK, enc_port), "-pd", str(dec_port),
                            "-p", "%s:%d" % (LOOPBACK, player.getsockname()[1])])
        wait_until("relaysim's start-up",
                   lambda: "\rSelect stream" in relaysim.output or not relaysim.alive(), 60)
        made = (relaysim.output.count("Adding decoder:"), relaysim.output.count("Adding encoder "))
        if made != (n, n) or "failed" in relaysim.output:
            raise SystemExit("soak: relaysim made %d decoders and %d encoders of %d, or failed:\n%s"
                             % (made + (n, relaysim.output[-3000:])))
        relaysim.send("0\n")  # decoder 0's stream goes on to the player: one direct count
        first_mac = re.search(r"Adding decoder:0x([0-9a-f]+)", relaysim.output).group(1)
        wait_until("all decoders' requests at the reflector",
                   lambda: reflector.output.count(" joined\n") >= n, 60)

        sink = Sink(player)
        sink.start()
        snmp0 = snmp_udp()
        rss = [("after start-up", 0.0, relaysim.resident_kib())]
        cpu0 = (relaysim.cpu_seconds(), time.monotonic())
        sender = Sender(local, datagrams, a.rate, a.size)
        t0 = time.monotonic()
        sender.start()

        all_online = None
        next_report = t0 + min(10.0, a.duration / 2)
        while sender.is_alive():
            sender.join(0.2)
            now = time.monotonic()
            if all_online is None and relaysim.output.count(" : Online [") >= n:
                all_online = now - t0
            if not relaysim.alive() or not reflector.alive():
                raise SystemExit("soak: a process ended early:\n" + relaysim.output[-3000:]
                                 + reflector.output[-2000:])
            if now >= next_report:
                text = relaysim.output
                online = text.count(" : Online [") - text.count(" : Offline [")
                label = "warmed up" if len(rss) == 1 else "running"
                rss.append((label, now - t0, relaysim.resident_kib()))
                print("  %6.0f s: relaysim RSS %d KiB, CPU %.1f%% of one core, online %d, "
                      "player got %d" % (now - t0, rss[-1][2],
                                         cpu_share(cpu0, (relaysim.cpu_seconds(), now)),
                                         online, sink.count), flush=True)
                next_report = now + a.report_every
        traffic = time.monotonic() - t0
        cpu1 = (relaysim.cpu_seconds(), time.monotonic())
        rss.append(("end of traffic", traffic, relaysim.resident_kib()))

        # Let every queue drain before the counters are read.
        wait_until("empty receive queues",
                   lambda: all(q == 0 for _, _, q, _ in sockets_of(relaysim.proc.pid)
                               + sockets_of(reflector.proc.pid)), 20)
        time.sleep(0.5)
        socks = sockets_of(relaysim.proc.pid)
        refl_socks = sockets_of(reflector.proc.pid)
        snmp1 = snmp_udp()
        sink.stop = True
        sink.join(2)
        offline_lines = relaysim.output.count(" : Offline [")
        out = reflector.stop()
    finally:
        if relaysim is not None:
            relaysim.stop()
        reflector.stop()

    m = re.search(r"reflector: requests (\d+) copies (\d+) sent (\d+)", out)
    if not m:
        raise SystemExit("soak: no totals from the reflector:\n" + out[-2000:])
    copies, refl_sent = int(m.group(2)), int(m.group(3))
    streams = [int(c) for c in re.findall(r"stream [0-9a-f]+ copies (\d+)", out)]
    per_decoder = {mac: int(c) for mac, c in re.findall(r"decoder ([0-9a-f]+) sent (\d+)", out)}

    local_drops = sum(d for lp, _, _, d in socks if lp == local)
    decoder_socks = [s for s in socks if s[1] == dec_port]
    decoder_drops = sum(d for _, _, _, d in decoder_socks)
    decoder_queued = sum(q for _, _, q, _ in decoder_socks)
    enc_drops = sum(d for lp, _, _, d in refl_socks if lp == enc_port)
    expected_copies = sender.sent * n
    sent0 = per_decoder.get(first_mac, 0)
    loss1 = expected_copies - copies
    received_dec = refl_sent - decoder_drops
    loss2 = refl_sent - received_dec
    loss_player = sent0 - sink.count

    print()
    print("traffic: %.1f s; local stream sent %d datagrams (%d send errors, worst lateness %.0f ms)"
          % (traffic, sender.sent, sender.failed, 1000 * sender.late))
    print("road 1, local stream -> relaysim -> reflector encoder port (counted by the reflector):")
    print("  expected copies        %d (%d datagrams x %d encoders)" % (expected_copies, sender.sent, n))
    print("  received by reflector  %d" % copies)
    print("  per encoder stream     %d streams, %d to %d copies each"
          % (len(streams), min(streams, default=0), max(streams, default=0)))
    print("  kernel drops           %d at relaysim's local socket, %d at the reflector's encoder socket"
          % (local_drops, enc_drops))
    print("  loss                   %d (%.4f%%)" % (loss1, 100.0 * loss1 / max(expected_copies, 1)))
    print("road 2, reflector -> emulated decoders (sent counted by the reflector; receipt inferred"
          " from the kernel's per-socket drop counters, relaysim counts nothing itself):")
    print("  sent by reflector      %d to %d decoders, %d to %d each"
          % (refl_sent, len(per_decoder), min(per_decoder.values(), default=0),
             max(per_decoder.values(), default=0)))
    print("  decoder sockets        %d, drops %d, left queued %d bytes"
          % (len(decoder_socks), decoder_drops, decoder_queued))
    print("  received by decoders   %d (inferred)" % received_dec)
    print("  loss                   %d (%.4f%%)" % (loss2, 100.0 * loss2 / max(refl_sent, 1)))
    print("  direct check, decoder 0 (0x%s) forwarded to the player: reflector sent %d, player got %d,"
          " loss %d" % (first_mac, sent0, sink.count, loss_player))
    print("  offline reports during the run: %d" % offline_lines)
    print("  all decoders online after %s" % ("%.1f s" % all_online if all_online is not None
                                              else "never"))
    print("whole machine, /proc/net/snmp Udp during the run (other processes included):")
    print("  " + ", ".join("%s +%d" % (k, snmp1[k] - snmp0[k])
                           for k in ("InDatagrams", "OutDatagrams", "InErrors", "RcvbufErrors",
                                     "SndbufErrors")))
    print("relaysim CPU: %.1f%% of one core during the traffic" % cpu_share(cpu0, cpu1))
    print("relaysim resident memory (VmRSS):")
    for label, at, kib in rss:
        print("  %-15s %7.0f s  %d KiB" % (label, at, kib))
    start_kib = rss[1][2] if len(rss) > 2 else rss[0][2]
    print("  growth from warm-up to end: %+d KiB" % (rss[-1][2] - start_kib))
    # The reflector is the instrument here: what its own socket drops says nothing of relaysim.
    unaccounted = loss1 - local_drops * n - enc_drops
    relaysim_loss = local_drops * n + max(unaccounted, 0) + decoder_drops + max(loss_player, 0)
    print("verdict: %d lost on relaysim's side (its sockets, unsent copies, forwarding),"
          " %d at the stand-in reflector's socket: %s"
          % (relaysim_loss, enc_drops,
             "no loss" if relaysim_loss == 0 and enc_drops == 0 else "LOSS"))
    return 0 if relaysim_loss == 0 and enc_drops == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
