"""Black-box test of the verdict: each way a run can go wrong, against the stand-in reflector,
gives the answer the truth calls for, the same in the summary line, the JSON and the exit status."""
import json
import os
import re
import signal
import tempfile
import time

from harness import LOOPBACK, Program, Tests, binaries, free_port, udp_socket

BIN = binaries()
RELAYSIM = BIN["relaysim"]
REFLECTOR = BIN["reflector"]
ONLINE = r"Online \[Total online: %d\]"


def stop_for(seconds):
    def act(p):
        p.proc.send_signal(signal.SIGSTOP)
        time.sleep(seconds)
        p.proc.send_signal(signal.SIGCONT)
    return act


def interrupt(p):
    time.sleep(1)
    p.proc.send_signal(signal.SIGINT)


# name, reflector's options (None: a port that never answers), relaysim's decoders and options,
# what the test does once they are all online, exit status, check of the JSON report.
CASES = [
    # Every other datagram 15 ms late for 4 s; the estimate has fallen back long before the end
    # (unless the machine is loaded: the worst is the check).
    ("worst jitter, not the last estimate, is judged",
     ["-g", "50", "--jitter", "15:3:4"], 2, ["--duration", "9", "--max-jitter", "8"], None, 3,
     lambda r: r["totals"]["jitter_ms_worst"] > 8 and "worst jitter" in r["why"]),
    # A shaper's budget of 4.2 streams: of 6 decoders the fifth hears a fifth of its stream,
    # the sixth is starved once the bucket runs dry; the run as a whole stays within the limit.
    ("a step that broke fails the ramp, in the JSON as in the exit status",
     ["-g", "50", "--shape", "210:0.5"], 6, ["-x", "7", "--ramp", "2:2:6", "--max-loss", "12"],
     None, 3,
     lambda r: (r["capacity"], r["ramp_end"], r["verdict"]) == (4, "broke", "fail")),
    # 2.9 streams for 4 decoders: the fourth should have heard as much as the first (its tail
    # silent, or a gap where a late tick left it a datagram).
    ("a starved tail counts as loss in a --duration run",
     ["-g", "50", "--shape", "145:0.5"], 4, ["--duration", "6", "--max-loss", "5"], None, 3,
     lambda r: abs(r["decoders"][3]["expected"] - r["decoders"][0]["expected"])
     <= 0.05 * r["decoders"][0]["expected"]),
    ("relaysim stopped in front of a reflector that forgets it is inconclusive",
     ["-g", "50", "-f", "5"], 2, ["--duration", "12", "--max-loss", "5"], stop_for(7), 4,
     lambda r: r["stall_s"] > 6 and "stalled" in r["why"]),
    ("relaysim stopped in front of a reflector that streams on is inconclusive",
     ["-g", "50"], 2, ["--duration", "6", "--max-loss", "5"], stop_for(3), 4,
     lambda r: r["stall_s"] > 2 and r["totals"]["dropped_here"] == 0),
    ("a run cut short by a signal says so",
     ["-g", "50"], 2, ["--duration", "30", "--max-loss", "5"], interrupt, 130,
     lambda r: (r["ended"], r["signal"], r["requested_duration_s"], r["verdict"])
     == ("signal", 2, 30, "inconclusive") and r["judged_s"] < 30),
    ("nothing received is no pass, without thresholds too",
     None, 2, ["--duration", "1"], None, 3,
     lambda r: (r["verdict"], r["why"]) == ("fail", "nothing received")),
    ("a short run is judged once the first requests are out",
     ["-g", "50"], 2, ["--duration", "1.5", "--max-loss", "5"], None, 0,
     lambda r: r["verdict"] == "pass" and r["totals"]["received"] > 0),
]


class VerdictTests(Tests):
    def test_each_way_a_run_goes_wrong_gets_its_answer(self):
        failures = []
        for case in CASES:
            try:
                self.run_case(*case)
            except Exception as e:  # a failed check, or a report without the key checked
                failures.append("%s: %s" % (case[0], str(e)[:1500]))
        assert not failures, "\n".join(failures)

    def run_case(self, name, reflector_args, decoders, options, act, status, check):
        with tempfile.TemporaryDirectory() as tmp:
            report = os.path.join(tmp, "report.json")
            sink = udp_socket() if reflector_args is None else None
            reflector = None if sink else Program([REFLECTOR, "-a", LOOPBACK, "-e", "0"] + reflector_args)
            p = None
            try:
                port = sink.getsockname()[1] if sink else \
                    int(reflector.wait_for(r"encoder port (\d+)", 10).group(1))
                p = Program([RELAYSIM, "-n", str(decoders), "-d", "-l", str(free_port()),
                             "-r", "%s:%d" % (LOOPBACK, port), "--report", report] + options)
                if act:
                    p.wait_for(ONLINE % decoders, 15)
                    act(p)
                got = p.wait(90)
            finally:
                if reflector:
                    reflector.stop()
                if sink:
                    sink.close()
                if p:
                    p.stop()
            with open(report) as f:
                r = json.load(f)
            line = re.search(r"\nverdict: (\w+)", p.output)
            assert got == status and line and line.group(1) == r["verdict"], \
                "exit %d, verdict line %s, JSON %s\n%s" % (got, line and line.group(1), r["verdict"],
                                                           p.output[-1500:])
            assert check(r), {k: v for k, v in r.items() if k != "decoders"}


if __name__ == "__main__":
    VerdictTests().run()
