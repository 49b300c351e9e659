"""Black-box test of both roads through relaysim, with this script as reflector and player."""
import re
import struct
import time

from harness import (LOOPBACK, Program, Tests, binaries, free_port, receive, receive_all,
                     udp_socket)

BIN = binaries()
RELAYSIM = BIN["relaysim"]


def rtp(length, ssrc, fill=0x5A):
    body = bytearray([fill]) * length
    if length >= 12:
        body[0:12] = struct.pack(">BBHII", 0x80, 0, 7, 1234, ssrc)
    return bytes(body)


class StreamTests(Tests):
    def test_both_roads(self):
        decoder_port = udp_socket()
        encoder_port = udp_socket()
        player = udp_socket()
        source = udp_socket()
        local = free_port()
        started = time.monotonic()
        p = Program([RELAYSIM, "-n", "3", "-d", "-e", "-l", str(local),
                     "-r", "%s:%d" % (LOOPBACK, encoder_port.getsockname()[1]),
                     "-pd", str(decoder_port.getsockname()[1]),
                     "-p", "%s:%d" % (LOOPBACK, player.getsockname()[1])])
        try:
            self.check(p, started, decoder_port, encoder_port, player, source, local)
        finally:
            p.stop()

    def check(self, p, started, decoder_port, encoder_port, player, source, local):
        # Requests: 12 bytes, one decoder each, the first within about 2 s of start.
        macs = [int(m, 16) for m in re.findall(r"Adding decoder:0x([0-9a-f]+)\n",
                                               p.wait_for(r"(Adding decoder.*\n(.|\n)*){3}", 20).group(0))]
        decoders = {}
        while len(decoders) < 3:
            got = receive(decoder_port, 8)
            assert got, "requests from %d decoders only" % len(decoders)
            data, addr = got
            assert len(data) == 12 and data[:4] == b"QVL " and data[10:] == b"\0\0", data
            decoders.setdefault(int.from_bytes(data[4:10], "big"), (addr, time.monotonic()))
        assert sorted(decoders) == sorted(macs), (decoders, macs)
        for mac, (addr, at) in decoders.items():
            assert at - started < 6.0, "first request after %.1f s" % (at - started)

        # Online reports with running totals, the SSRC taken from the first datagram.
        addrs = [decoders[m][0] for m in macs]
        for i, addr in enumerate(addrs):
            decoder_port.sendto(rtp(172, 0x10000000 + i), addr)
            p.wait_for(r"\n\[SSRC: %x\] ORVANTEX - %d : Online \[Total online: %d\]"
                       % (0x10000000 + i, i, i + 1), 10)

        # Selection, then forwarding with exact lengths from the selected decoder only.
        mark = len(p.output)
        p.send("1\n")
        p.wait_for(r"Selecting stream - ORVANTEX - 1\nDe-selecting stream - ORVANTEX - 0\n", 10, mark)
        time.sleep(0.3)
        for length in (12, 172, 1500):
            decoder_port.sendto(rtp(length, 0x10000000), addrs[0])
            decoder_port.sendto(rtp(length, 0x20000001, fill=length % 256), addrs[1])
        forwarded = [d for d, _ in receive_all(player, quiet=1.5)]
        assert forwarded == [rtp(n, 0x20000001, fill=n % 256) for n in (12, 172, 1500)], \
            [len(d) for d in forwarded]
        p.wait_for(r"\nreflector stream online\. streaming to 127\.0\.0\.1:%d\n"
                   % player.getsockname()[1], 5)

        # The local road: under 50 bytes dropped, otherwise one copy per encoder,
        # in ascending key order, from the local port, identical but bytes 8-11.
        encoders = [int(e, 16) for e in re.findall(r"Adding encoder 0x([0-9a-f]+)\.", p.output)]
        assert len(encoders) == 3, p.output
        source.sendto(rtp(49, 0xDEADBEEF), (LOOPBACK, local))
        assert not receive_all(encoder_port, quiet=1.0), "a 49-byte datagram was relayed"
        assert "local stream online" not in p.output
        sent = rtp(50, 0xDEADBEEF, fill=0x33)
        source.sendto(sent, (LOOPBACK, local))
        copies = receive_all(encoder_port, quiet=1.0)
        key_order = sorted(encoders, key=lambda a: int.from_bytes((a & 0xFFFFFFFF).to_bytes(4, "big"),
                                                                   "little"))
        assert [int.from_bytes(d[8:12], "big") for d, _ in copies] == \
            [a & 0xFFFFFFFF for a in key_order], copies
        for d, addr in copies:
            assert addr[1] == local, addr
            assert len(d) == 50 and d[:8] == sent[:8] and d[12:] == sent[12:]
        p.wait_for(r"local stream online\n", 5)

        # Silence: both relays and all decoders report offline, totals counting down.
        p.wait_for(r"local stream offline\n", 15)
        p.wait_for(r"reflector stream offline\n", 15)
        out = p.wait_for(r"(ORVANTEX - \d : Offline \[Total online: \d\](.|\n)*){3}", 15).group(0)
        totals = re.findall(r"Offline \[Total online: (\d)\]", out)
        assert totals == ["2", "1", "0"], totals

        mark = len(p.output)
        p.send("-1\n")
        p.wait_for(r"Stop listening on PC\nDe-selecting stream - ORVANTEX - 1\n", 10, mark)
        assert p.alive()


if __name__ == "__main__":
    StreamTests().run()
