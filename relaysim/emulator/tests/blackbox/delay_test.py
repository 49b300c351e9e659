"""Black-box test of the delay through the reflector: relaysim's figures against a stand-in
reflector that holds every datagram a known time."""
import json
import os
import tempfile

from harness import LOOPBACK, Program, Tests, binaries, free_port

BIN = binaries()


class DelayTests(Tests):
    def test_a_known_delay_is_found_and_judged(self):
        # D + uniform 0..J: p50 D + J/2, p99 D + 0.99 J. A loaded machine only adds delay (the
        # stand-in's and the kernel's scheduling are part of it), so the lower bounds are tight,
        # the histogram's 5 %, and the upper ones leave room for a busy machine.
        d_ms, j_ms, limit_ms = 20.0, 10.0, 15
        with tempfile.TemporaryDirectory() as tmp:
            report = os.path.join(tmp, "run.json")
            reflector = Program([BIN["reflector"], "-a", LOOPBACK, "-e", "0", "--delay", str(d_ms),
                                 "--delay-jitter", str(j_ms)])
            source = relaysim = None
            try:
                port = int(reflector.wait_for(r"encoder port (\d+)", 10).group(1))
                local = free_port()
                source = Program([BIN["rtp_source"], "-t", "%s:%d" % (LOOPBACK, local)])
                relaysim = Program([BIN["relaysim"], "-n", "2", "-d", "-e", "-l", str(local),
                                    "-r", "%s:%d" % (LOOPBACK, port), "--duration", "5",
                                    "--max-delay", str(limit_ms), "--report", report])
                assert relaysim.wait(30) == 3, relaysim.output[-3000:]
            finally:
                for p in (relaysim, source, reflector):
                    if p:
                        p.stop()
            with open(report) as f:
                r = json.load(f)
        total = r["totals"]["delay"]
        assert total and total["matched"] >= 100, r["totals"]
        p50, p99 = d_ms + j_ms / 2, d_ms + 0.99 * j_ms
        assert 0.95 * p50 <= total["p50_ms"] <= p50 + 15, total
        assert 0.95 * p99 <= total["p99_ms"] <= p99 + 50, total
        assert all(d["delay"]["matched"] > 0 for d in r["decoders"]), r["decoders"]
        assert r["verdict"] == "fail" and "delay p99" in relaysim.output, relaysim.output[-2000:]


if __name__ == "__main__":
    DelayTests().run()
