"""The several-machines recipe on one machine: two relaysim instances with disjoint device ranges
write their textfiles into one node_exporter folder, Prometheus scrapes node_exporter, and its
HTTP API adds the instances up. Needs Debian's prometheus and prometheus-node-exporter; without
them the test is skipped, except in CI, where it fails."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

from harness import LOOPBACK, Program, Tests, binaries, free_port

BIN = binaries()
SKIPPED = 77  # ctest's SKIP_RETURN_CODE for this test
# Two instances of the same project's diagnostic decoders: -st makes their addresses disjoint.
INSTANCES = (("rack-a", 0, 3), ("rack-b", 3, 2))
PROJECT = "9"
# The README's recipe.
TOTAL_ONLINE = "sum(relaysim_decoders_online)"
WORST_JITTER = "max(relaysim_decoder_jitter_seconds)"
LOSS_RATE = ("1 - sum(rate(relaysim_decoder_received_distinct_total[1m]))"
             " / sum(rate(relaysim_decoder_expected_total[1m]))")
DELAY_P99 = "histogram_quantile(0.99, sum by (le) (rate(relaysim_delay_seconds_bucket[1m])))"
DELAY_MS = 5  # the stand-in holds every copy this long


def tcp_port():
    """A TCP port that was free a moment ago on loopback."""
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def query(port, promql):
    """The instant vector of a PromQL query: [(labels, value)]."""
    url = "http://%s:%d/api/v1/query?%s" % (LOOPBACK, port, urllib.parse.urlencode({"query": promql}))
    with urllib.request.urlopen(url, timeout=5) as r:
        answer = json.load(r)
    assert answer["status"] == "success", answer
    return [(s["metric"], float(s["value"][1])) for s in answer["data"]["result"]]


def serving(program, port, path, timeout):
    """Waits until program answers HTTP on port; False if it ended or never answered."""
    end = time.monotonic() + timeout
    while time.monotonic() < end and program.alive():
        try:
            with urllib.request.urlopen("http://%s:%d%s" % (LOOPBACK, port, path), timeout=2):
                return True
        except OSError:
            time.sleep(0.2)
    return False


def start_server(argv_for_port, path):
    """A server on a free loopback port, retried if another process took the port first."""
    for _ in range(3):
        port = tcp_port()
        p = Program(argv_for_port(port), stdin=subprocess.DEVNULL)
        if serving(p, port, path, 30):
            return p, port
        p.stop()
    raise AssertionError("%s never served:\n%s" % (p.argv[0], p.output[-3000:]))


class PrometheusTests(Tests):
    def test_two_instances_add_up_in_prometheus(self):
        with tempfile.TemporaryDirectory() as tmp:
            textfiles = os.path.join(tmp, "textfiles")
            os.mkdir(textfiles)
            running = []
            try:
                # Each instance's encoders send its own local stream in, and its decoders hear
                # them back through a reflector of known delay.
                reflector = Program([BIN["reflector"], "-a", LOOPBACK, "-e", "0",
                                     "--delay", str(DELAY_MS)])
                running.append(reflector)
                port = int(reflector.wait_for(r"encoder port (\d+)", 10).group(1))
                instances = []
                for name, start, count in INSTANCES:
                    local = free_port()
                    running.append(Program([BIN["rtp_source"], "-t", "%s:%d" % (LOOPBACK, local)]))
                    instances.append(Program([
                        BIN["relaysim"], "-x", PROJECT, "-st", str(start), "-n", str(count), "-d",
                        "-e", "-l", str(local), "-r", "%s:%d" % (LOOPBACK, port),
                        "--prom", os.path.join(textfiles, name + ".prom")]))
                    running.append(instances[-1])
                for p, (_, _, count) in zip(instances, INSTANCES):
                    p.wait_for(r"Online \[Total online: %d\]" % count, 30)

                ne, ne_port = start_server(lambda port: [
                    "prometheus-node-exporter", "--web.listen-address=%s:%d" % (LOOPBACK, port),
                    "--collector.disable-defaults", "--collector.textfile",
                    "--collector.textfile.directory=" + textfiles], "/metrics")
                running.append(ne)
                config = os.path.join(tmp, "prometheus.yml")
                with open(config, "w") as f:
                    f.write("global:\n  scrape_interval: 1s\n"
                            "scrape_configs:\n  - job_name: relaysim\n    static_configs:\n"
                            "      - targets: ['%s:%d']\n" % (LOOPBACK, ne_port))
                prom, prom_port = start_server(lambda port: [
                    "prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(tmp, "data"),
                    "--web.listen-address=%s:%d" % (LOOPBACK, port)], "/-/ready")
                running.append(prom)

                # The textfiles are rewritten every 5 s and scraped every second; a rate needs
                # two scrapes.
                end = time.monotonic() + 60
                while True:
                    total = query(prom_port, TOTAL_ONLINE)
                    loss = query(prom_port, LOSS_RATE)
                    # NaN until two scrapes of a rewritten textfile show the buckets rising.
                    delay = [d for d in query(prom_port, DELAY_P99) if d[1] == d[1]]
                    if total and total[0][1] == 5 and loss and delay or time.monotonic() > end:
                        break
                    time.sleep(0.5)
                assert total and total[0][1] == 5, total
                assert len(loss) == 1 and len(query(prom_port, WORST_JITTER)) == 1
                per_instance = {m["relaysim"]: v for m, v in
                                query(prom_port, "sum by (relaysim) (relaysim_decoders_online)")}
                assert per_instance == {"rack-a": 3, "rack-b": 2}, per_instance
                # Every decoder is its own series across instances, told apart by its address.
                macs = query(prom_port, "count(count by (mac) (relaysim_decoder_received_total))")
                assert macs[0][1] == 5, macs
                # Both instances' histograms add up. No copy comes back sooner than the delay, so
                # the p99 lies at least in its bucket (4 to 8 ms, where Prometheus interpolates);
                # a busy machine only adds to it.
                assert len(delay) == 1 and 0.004 <= delay[0][1] < 1.024, delay
            finally:
                for p in reversed(running):
                    p.stop()


if __name__ == "__main__":
    missing = [n for n in ("prometheus", "prometheus-node-exporter") if not shutil.which(n)]
    if missing:
        if os.environ.get("CI") == "true":
            print("FAIL: %s not installed (scripts/setup.sh installs them)" % " and ".join(missing))
            sys.exit(1)
        print("SKIP: %s not installed; scripts/setup.sh installs them" % " and ".join(missing))
        sys.exit(SKIPPED)
    PrometheusTests().run()
