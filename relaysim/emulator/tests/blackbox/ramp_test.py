"""Black-box test of the ramp (--ramp): against a stand-in reflector of known capacity the
capacity found is the step the cap predicts; a ramp that reaches its maximum passes; the console
answers while steps are added; a ramp whose relaysim was stopped found relaysim's own limit."""
import csv
import json
import os
import re
import signal
import subprocess
import tempfile
import time

from harness import LOOPBACK, Program, Tests, binaries, free_port

BIN = binaries()
RELAYSIM = BIN["relaysim"]
REFLECTOR = BIN["reflector"]
RATE = 50  # datagrams a second to each decoder


def ramp_run(tmp, reflector_args, ramp, decoders=10):
    """Runs relaysim's ramp against a stand-in reflector; returns (status, report, csv rows,
    Prometheus text, relaysim)."""
    report, rows, prom = (os.path.join(tmp, n) for n in ("ramp.json", "ramp.csv", "ramp.prom"))
    reflector = Program([REFLECTOR, "-a", LOOPBACK, "-e", "0", "-g", str(RATE)] + reflector_args)
    p = None
    try:
        port = int(reflector.wait_for(r"encoder port (\d+)", 10).group(1))
        p = Program([RELAYSIM, "-x", "7", "-n", str(decoders), "-d", "-l", str(free_port()),
                     "-r", "%s:%d" % (LOOPBACK, port), "--ramp", ramp, "--max-loss", "1",
                     "--report", report, "--csv", rows, "--prom", prom])
        # The console's turn comes while the second step adds its decoders.
        p.wait_for(r"Adding decoder:0xffff00030007", 60)
        p.send("1\n")
        status = p.wait(120)
    finally:
        reflector.stop()
        if p:
            p.stop()
    with open(report) as f, open(rows) as g, open(prom) as h:
        return status, json.load(f), list(csv.DictReader(g)), h.read(), p


class RampTests(Tests):
    def test_capacity_is_the_largest_step_within_the_reflector_cap(self):
        cap = 250  # datagrams a second: 5 decoders at 50/s
        with tempfile.TemporaryDirectory() as tmp:
            status, r, rows, prom, p = ramp_run(tmp, ["--max-rate", str(cap)], "2:2:4")
        steps = [(s["decoders"], s["verdict"]) for s in r["steps"]]
        assert steps == [(2, "held"), (4, "held"), (6, "broke")], r["steps"]
        assert r["capacity"] == 4 == max(n for n in (2, 4, 6) if n <= cap / RATE), r["capacity"]
        assert (status, r["ramp_end"]) == (3, "broke"), (status, p.output[-3000:])
        assert r["steps"][2]["why"].startswith("loss "), r["steps"][2]
        assert re.search(r"\ncapacity: 4 decoders \(step 3, 6 decoders, broke: loss", p.output)
        assert {row["step"] for row in rows} == {"1", "2", "3"}, rows
        assert re.search(r'\nrelaysim_ramp_capacity_decoders\{relaysim="ramp"\} 4\n', prom), prom
        # The console took its input during the second step, not after the ramp.
        selected = p.output.find("Selecting stream - ORVANTEX - 1")
        assert 0 < selected < p.output.find("Adding decoder:0xffff00050007"), p.output[-3000:]

    def test_a_ramp_that_reaches_its_maximum_passes(self):
        # More than the command line gives is refused before anything starts.
        r = subprocess.run([RELAYSIM, "-x", "7", "-n", "3", "-d", "-l", str(free_port()),
                            "-r", "%s:9" % LOOPBACK, "--ramp", "2:2:3:5"],
                           capture_output=True, text=True, timeout=30)
        assert r.returncode == 255 and "Adding decoder" not in r.stdout, r
        assert r.stderr == ("relaysim: --ramp wants up to 5 decoders, but -d, -n and the lists "
                            "give 3\n"), r.stderr
        with tempfile.TemporaryDirectory() as tmp:
            status, r, _, _, p = ramp_run(tmp, [], "2:2:4", decoders=4)
        assert [(s["decoders"], s["verdict"]) for s in r["steps"]] == [(2, "held"), (4, "held")]
        assert (status, r["capacity"], r["ramp_end"]) == (0, 4, "reached_max"), p.output[-3000:]

    def test_a_step_that_relaysim_could_not_keep_up_with_is_its_own_limit(self):
        with tempfile.TemporaryDirectory() as tmp:
            report = os.path.join(tmp, "ramp.json")
            # 1,000 datagrams/s a decoder fill its receive buffer within 3 s (as in measure_test).
            reflector = Program([REFLECTOR, "-a", LOOPBACK, "-e", "0", "-g", "1000"])
            p = None
            try:
                port = int(reflector.wait_for(r"encoder port (\d+)", 10).group(1))
                p = Program([RELAYSIM, "-x", "7", "-n", "4", "-d", "-l", str(free_port()),
                             "-r", "%s:%d" % (LOOPBACK, port), "--ramp", "2:2:10",
                             "--max-loss", "1", "--report", report])
                p.wait_for(r"Online \[Total online: 2\]", 15)
                time.sleep(1)  # the steady part starts within a quarter of a second
                p.proc.send_signal(signal.SIGSTOP)
                time.sleep(5)
                p.proc.send_signal(signal.SIGCONT)
                status = p.wait(60)
            finally:
                reflector.stop()
                if p:
                    p.stop()
            with open(report) as f:
                r = json.load(f)
        assert (status, r["ramp_end"], r["capacity"]) == (4, "own_limit", 0), p.output[-3000:]
        step = r["steps"][0]
        assert step["dropped_here"] > 0 and step["why"].startswith("relaysim dropped"), step
        assert "the limit found is relaysim's own" in p.output, p.output[-3000:]


if __name__ == "__main__":
    RampTests().run()
