"""Black-box tests of relaysim's console: bad input, end of input, and idle CPU use."""
import re
import subprocess
import time

from harness import LOOPBACK, Program, Tests, binaries, free_port, udp_socket

BIN = binaries()
RELAYSIM = BIN["relaysim"]
PROMPT = "\rSelect stream to listen on the local PC?"


def idle_cpu(p, seconds):
    before = p.cpu_seconds()
    prompts = p.output.count(PROMPT)
    time.sleep(seconds)
    return p.cpu_seconds() - before, p.output.count(PROMPT) - prompts


class ConsoleTests(Tests):
    def test_garbage_then_end_of_input(self):
        # No reflector listens on its port: refused requests must not make decoders spin.
        gone = free_port()
        p = Program([RELAYSIM, "-n", "3", "-d", "-l", str(free_port()),
                     "-r", "%s:%d" % (LOOPBACK, gone)])
        try:
            p.wait_for(re.escape(PROMPT), 20)
            p.send("abc\n12abc\n\n")
            p.wait_for(r"Selecting stream - ORVANTEX - 12|" + re.escape(PROMPT * 3), 10)
            time.sleep(2.5)  # the decoders' first requests have been refused by now
            cpu, prompts = idle_cpu(p, 2.5)
            assert cpu < 0.25, "%.2f s CPU in 2.5 s after garbage" % cpu
            assert 1 <= prompts <= 5, prompts
            mark = len(p.output)
            p.send("2\n")
            p.wait_for(r"Selecting stream - ORVANTEX - 2\nDe-selecting stream - ORVANTEX - 0\n",
                       10, mark)
            p.proc.stdin.close()
            cpu, prompts = idle_cpu(p, 2.5)
            assert cpu < 0.25, "%.2f s CPU in 2.5 s after end of input" % cpu
            assert 1 <= prompts <= 5, "the loop still wakes once a second (%d)" % prompts
            assert p.alive()
            assert "Selecting stream - ORVANTEX - 12" not in p.output
        finally:
            p.stop()

    def test_stop_with_no_decoders(self):
        p = Program([RELAYSIM, "-l", str(free_port())])
        try:
            p.wait_for(re.escape(PROMPT), 20)
            mark = len(p.output)
            p.send("-1\n0\n")
            p.wait_for(r"Stop listening on PC\n", 10, mark)
            p.wait_for(re.escape(PROMPT), 5, mark)
            time.sleep(1.5)
            assert "De-selecting" not in p.output and "Selecting" not in p.output
            assert p.alive()
        finally:
            p.stop()

    def test_stdin_closed_from_the_start(self):
        p = Program([RELAYSIM, "-n", "1", "-d", "-l", str(free_port())], stdin=subprocess.DEVNULL)
        try:
            p.wait_for(re.escape(PROMPT), 20)
            cpu, prompts = idle_cpu(p, 2.5)
            assert cpu < 0.25 and 1 <= prompts <= 5, (cpu, prompts)
        finally:
            p.stop()


if __name__ == "__main__":
    ConsoleTests().run()
