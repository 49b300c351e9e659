"""Black-box test of measured runs: verdict, report, CSV and Prometheus file against what the
stand-in reflector really sent, the signals that end a run, and refused options."""
import csv
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from harness import LOOPBACK, Program, Tests, binaries, free_port, receive, udp_socket

BIN = binaries()
RELAYSIM = BIN["relaysim"]
REFLECTOR = BIN["reflector"]

DECODERS = 3
RATE = 50
DROP_EVERY = 25      # 4 % of what each decoder is offered
TRAFFIC_S = 1.5      # of stream once every decoder is online: about 75 datagrams, 3 dropped
DURATION_S = 6       # the reflector stops well before: online ~2 s after start, plus TRAFFIC_S
# A measured run prints whole lines: the prompt once, and again only after the operator acts.
PROMPT = re.escape("Select stream to listen on the local PC?\n")
LIVE_HEADER = "  time s      online  dgram/s loss %  run % jit ms dropped  cpu % p99 ms step\n"
LIVE_LINE = r"\n +\d+\.\d +\d+/\d+ +\d+ "
COUNTS_RX = re.compile(r"decoder ([0-9a-f]{12}) sent (\d+) dropped \d+ duplicated \d+ "
                       r"swapped \d+ lost (\d+) failed (\d+)")
PROM_RX = re.compile(r'^([a-z0-9_]+)\{relaysim="run"(?:,index="(\d+)",mac="([0-9a-f:]+)")?'
                     r'(?:,le="([^"]+)")?\} (\S+)$')


def relaysim_argv(reflector_port, *extra):
    return [RELAYSIM, "-n", str(DECODERS), "-d", "-l", str(free_port()),
            "-r", "%s:%d" % (LOOPBACK, reflector_port)] + list(extra)


def read_prometheus(path):
    """{(name, index or None): value} of every sample; comment lines must be HELP or TYPE."""
    samples = {}
    with open(path) as f:
        for line in f.read().splitlines():
            if line.startswith("#"):
                assert re.match(r"# (HELP|TYPE) [a-z0-9_]+ ", line), line
                continue
            m = PROM_RX.match(line)
            assert m, "not a sample line: %r" % line
            name = m.group(1) + ("@" + m.group(4) if m.group(4) else "")  # a histogram's bucket
            samples[(name, m.group(2) and int(m.group(2)))] = float(m.group(5))
    if shutil.which("promtool"):
        with open(path, "rb") as f:
            check = subprocess.run(["promtool", "check", "metrics"], stdin=f,
                                   capture_output=True, timeout=30)
        assert check.returncode == 0, check.stdout + check.stderr
    return samples


class MeasureTests(Tests):
    def test_verdict_and_outputs_match_what_the_reflector_sent(self):
        # The reflector stops seconds before the run ends: what it should have sent meanwhile
        # is lost too, beyond any limit but 100 %.
        for max_loss, status in (("1", 3), ("100", 0)):
            with tempfile.TemporaryDirectory() as tmp:
                self.measured_run(tmp, max_loss, status)

    def measured_run(self, tmp, max_loss, status):
        counts, report, run_csv, prom = (os.path.join(tmp, name) for name in
                                         ("counts.txt", "report.json", "run.csv", "run.prom"))
        reflector = Program([REFLECTOR, "-a", LOOPBACK, "-e", "0", "-g", str(RATE),
                             "--drop-every", str(DROP_EVERY), "--counts-file", counts])
        p = None
        try:
            port = int(reflector.wait_for(r"encoder port (\d+)", 10).group(1))
            p = Program(relaysim_argv(port, "--duration", str(DURATION_S), "--max-loss", max_loss,
                                      "--report", report, "--csv", run_csv, "--prom", prom,
                                      "--interval", "1"))
            # Exact counts need both edges inside the run: the reflector sends to a decoder
            # only after its request, and it stops before relaysim's last measurement.
            p.wait_for(r"Online \[Total online: %d\]" % DECODERS, 15)
            time.sleep(TRAFFIC_S)
            reflector.proc.send_signal(signal.SIGTERM)
            assert reflector.wait(10) == 0, reflector.output
            assert p.alive(), "the run ended before the reflector stopped:\n" + p.output[-3000:]
            assert p.wait(DURATION_S + 10) == status, p.output[-3000:]
        finally:
            reflector.stop()
            if p:
                p.stop()
        out = p.output
        # Whole lines for a log: no carriage return, one prompt, live lines under one header.
        assert "\r" not in out and out.count("Select stream to listen") == 1, out[-3000:]
        live = [line for line in out[out.index(LIVE_HEADER):].splitlines()
                if re.match(r" +\d+\.\d ", line)]
        assert out.count(LIVE_HEADER) == 1 and len(live) >= DURATION_S - 1, out[-3000:]
        assert all(len(line) <= 80 for line in live), live
        assert "verdict: %s" % ("fail" if status == 3 else "pass") in out, out[-3000:]
        assert re.search(r"\ntotal +%d decoders +\d+" % DECODERS, out), out[-3000:]

        with open(counts) as f:
            sent = {mac: (int(s), int(lost), int(failed))
                    for mac, s, lost, failed in COUNTS_RX.findall(f.read())}
        with open(report) as f:
            r = json.load(f)
        assert r["verdict"] == ("fail" if status == 3 else "pass"), r
        assert r["clock_rate"] == 8000 and r["thresholds"]["max_loss_percent"] == float(max_loss)
        decoders = r["decoders"]
        assert sorted(d["mac"].replace(":", "") for d in decoders) == sorted(sent), (decoders, sent)
        for d in decoders:
            s, lost, failed = sent[d["mac"].replace(":", "")]
            assert failed == 0 and lost > 0, sent
            got = (d["received"], d["lost"] - d["lost_silent"], d["duplicates"], d["reordered"])
            assert got == (s, lost, 0, 0) and d["lost_silent"] > 0, (d, sent)
        totals = r["totals"]
        assert totals["received"] == sum(d["received"] for d in decoders), r
        assert totals["lost"] == sum(d["lost"] for d in decoders), r

        with open(run_csv, newline="") as f:
            rows = list(csv.DictReader(f))
        assert len(rows) >= DURATION_S, rows
        assert float(rows[-1]["time_s"]) == r["duration_s"], (rows[-1], r["duration_s"])
        assert int(rows[-1]["decoders_online"]) == totals["online"], rows[-1]
        column = lambda name: sum(int(row[name]) for row in rows)
        assert all(float(row[name] or 0) >= 0 for row in rows for name in row), rows  # "": no delay
        assert (column("received"), column("lost") - column("recovered"), column("duplicates"),
                column("reordered")) == (totals["received"], totals["lost"], 0, 0), rows
        # One clock: rows while the decoders start are marked, then the run's own seconds.
        assert rows[0]["startup"] == "1" and rows[-1]["startup"] == "0", rows
        assert all(float(row["time_s"]) <= r["startup_s"] + 1 for row in rows
                   if row["startup"] == "1"), (rows, r["startup_s"])
        local = r["local_stream"]
        assert (column("local_received"), column("copies_sent"), column("send_errors")) \
            == (local["received"], local["copies_sent"], local["send_errors"]), rows

        samples = read_prometheus(prom)
        assert samples[("relaysim_decoders_online", None)] == totals["online"], samples
        for d in decoders:
            assert samples[("relaysim_decoder_received_total", d["index"])] == d["received"]
            assert samples[("relaysim_decoder_lost", d["index"])] == d["lost"]
            assert samples[("relaysim_decoder_expected_total", d["index"])] \
                - samples[("relaysim_decoder_received_distinct_total", d["index"])] \
                == d["lost"] - d["lost_silent"]

    def test_stopped_longer_than_its_buffers_last_the_run_is_inconclusive(self):
        with tempfile.TemporaryDirectory() as tmp:
            counts, report = os.path.join(tmp, "counts.txt"), os.path.join(tmp, "report.json")
            # 1,000 datagrams/s a decoder fill its receive buffer (2 MiB at most) within 3 s.
            reflector = Program([REFLECTOR, "-a", LOOPBACK, "-e", "0", "-g", "1000",
                                 "--counts-file", counts])
            p = None
            try:
                port = int(reflector.wait_for(r"encoder port (\d+)", 10).group(1))
                p = Program(relaysim_argv(port, "--duration", "12", "--max-loss", "100",
                                          "--report", report))
                p.wait_for(r"Online \[Total online: %d\]" % DECODERS, 15)
                p.proc.send_signal(signal.SIGSTOP)
                time.sleep(5)
                p.proc.send_signal(signal.SIGCONT)
                assert p.wait(30) == 4, p.output[-3000:]
                reflector.proc.send_signal(signal.SIGTERM)
                assert reflector.wait(10) == 0, reflector.output
            finally:
                reflector.stop()
                if p:
                    p.stop()
            assert "verdict: inconclusive" in p.output, p.output[-3000:]
            with open(report) as f:
                r = json.load(f)
            totals = r["totals"]
            assert r["verdict"] == "inconclusive" and totals["dropped_here"] > 0, totals
            # Nothing was lost on the way: every loss is one relaysim dropped itself.
            assert totals["network_lost"] == 0 and totals["lost"] > 0, totals
            with open(counts) as f:
                sent = COUNTS_RX.findall(f.read())
            # The reflector sent everything: the losses are relaysim's own.
            assert len(sent) == DECODERS and all(int(failed) == 0 for _, _, _, failed in sent), sent

    def test_signals_end_a_run_in_order(self):
        sink = udp_socket()  # takes the decoders' requests and never answers
        with tempfile.TemporaryDirectory() as tmp:
            report = os.path.join(tmp, "report.json")
            for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
                p = Program(relaysim_argv(sink.getsockname()[1], "--report", report))
                try:
                    p.wait_for(PROMPT, 10)
                    # SIGUSR1 writes the report now, and the run goes on.
                    p.proc.send_signal(signal.SIGUSR1)
                    end = time.monotonic() + 5
                    while not os.path.exists(report) and time.monotonic() < end:
                        time.sleep(0.05)
                    assert os.path.exists(report), "no report after SIGUSR1"
                    assert p.alive(), p.output[-2000:]
                    os.remove(report)
                    p.proc.send_signal(sig)
                    assert p.wait(10) == status, p.output[-2000:]
                finally:
                    p.stop()
                assert re.search(r"\ntotal +%d decoders" % DECODERS, p.output), p.output[-2000:]
                with open(report) as f:
                    assert len(json.load(f)["decoders"]) == DECODERS

    def test_signal_during_start_up_and_a_reader_that_goes_away(self):
        sink = udp_socket()
        with tempfile.TemporaryDirectory() as tmp:
            report = os.path.join(tmp, "report.json")
            # 200 decoders take 4 s to start; SIGTERM in the middle ends the run at once, in order.
            p = Program([RELAYSIM, "-n", "200", "-d", "-l", str(free_port()),
                         "-r", "%s:%d" % (LOOPBACK, sink.getsockname()[1]), "--duration", "60",
                         "--report", report])
            try:
                p.wait_for(r"Adding decoder", 10)
                time.sleep(0.5)
                p.proc.send_signal(signal.SIGTERM)
                assert p.wait(3) == 143, p.output[-2000:]
            finally:
                p.stop()
            with open(report) as f:
                assert 0 < len(json.load(f)["decoders"]) < 200
            os.remove(report)
            # A reader of standard output that exits early does not end the run before its report.
            r = subprocess.run("%s | head -c 10 >/dev/null; exit ${PIPESTATUS[0]}" % " ".join(
                relaysim_argv(sink.getsockname()[1], "--duration", "1.5", "--report", report)),
                shell=True, executable="/bin/bash", stdin=subprocess.DEVNULL, timeout=30)
            assert r.returncode == 3, r.returncode  # nothing received: no pass
            assert os.path.exists(report)

    def test_failed_writes_are_reported_once(self):
        sink = udp_socket()
        # (options, signal that ends the run or None, exit status)
        cases = [((), signal.SIGTERM, 143), (("--duration", "4"), None, 1)]
        for extra, sig, status in cases:
            with tempfile.TemporaryDirectory() as tmp:
                folder = os.path.join(tmp, "out")
                os.mkdir(folder)
                prom = os.path.join(folder, "run.prom")
                p = Program(relaysim_argv(sink.getsockname()[1], "--report",
                                          os.path.join(folder, "report.json"), "--prom", prom,
                                          "--csv", os.path.join(folder, "run.csv"),
                                          "--interval", "0.2", *extra))
                try:
                    p.wait_for(PROMPT, 10)
                    assert os.path.exists(prom), "no Prometheus file at the start"
                    shutil.rmtree(folder)
                    # The report fails on each SIGUSR1 and at the end, the Prometheus file
                    # at the end, the CSV file (open, but in no folder) at its next row.
                    for _ in range(2):
                        mark = len(p.output)
                        p.proc.send_signal(signal.SIGUSR1)
                        p.wait_for(LIVE_LINE, 5, mark)
                    assert p.alive(), p.output[-2000:]
                    if sig:
                        p.proc.send_signal(sig)
                    assert p.wait(10) == status, p.output[-2000:]
                finally:
                    p.stop()
                failed = re.findall(r"relaysim: (--[a-z]+): can't write ", p.output)
                assert sorted(failed) == ["--csv", "--prom", "--report"], (extra, p.output[-2000:])

    def test_bad_options_start_nothing(self):
        sink = udp_socket()
        cases = [
            (["--duration", "abc"], "--duration"),
            (["--duration", "-3"], "--duration"),
            (["--clock-rate", "0"], "--clock-rate"),
            (["--csv", "/nonexistent-folder/run.csv"], "--csv"),
            (["--max-loss"], "--max-loss"),
        ]
        for extra, option in cases:
            r = subprocess.run(relaysim_argv(sink.getsockname()[1], *extra),
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
            err = r.stderr.decode().splitlines()
            assert r.returncode == 255, (extra, r.returncode)
            assert len(err) == 1 and err[0].startswith("relaysim: " + option), (extra, err)
            assert b"ref server is" not in r.stdout and b"Adding decoder" not in r.stdout, r.stdout
        assert receive(sink, 0.5) is None, "a refused run sent a request"


if __name__ == "__main__":
    MeasureTests().run()
