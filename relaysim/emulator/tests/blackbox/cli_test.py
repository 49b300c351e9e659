"""Black-box tests of relaysim's command line, device lists and start-up messages."""
import os
import re
import resource
import socket
import subprocess
import tempfile

from harness import Program, Tests, binaries, free_port

BIN = binaries()
RELAYSIM = BIN["relaysim"]

USAGE = (
    "Usage:%s {-l local_port} {-r ref_server:port} {-p player:port} [-pd QRTP_port] "
    "[-d encoder_list.txt] [-e encoder_list.txt]\n"
    "{-l local_port}:local udp port to listen for unicast audio\n"
    "{-r ref_server:port}:reflector server and listening port for audio\n"
    "{-p player:port}: an audio player in local network e.g. 127.0.0.1:14590. "
    "E.g. in vlc rtp://@:23456\n"
    "{-pd port_decoders}: a port on ref server where a QRTP request can sent. "
    "If not set, reflector server port is used\n"
    "[-n count]: no of encoder and decode to emulate, if available in list. "
    "Must be given before options e or d\n"
    "[-st start_at]: Use this to select a starting point from the mac list, different than 0\n"
    "[-d decoder_list.txt]: list of decoders files. if not set, some defaults are used\n"
    "[-e encoder_list.txt]: list of encoders files\n"
    "{-x project_id}: Emulate a diagnostic decoder to connect to the given project ID\n"
    "Every option: %s --help, or man relaysim\n")
MAN_PAGE = os.path.join(os.path.dirname(__file__), "..", "..", "..", "..", "packaging", "relaysim.1")

PROMPT = "\rSelect stream to listen on the local PC?"


def started(args):
    """Runs relaysim until its first prompt and returns everything it printed by then."""
    p = Program([RELAYSIM] + args)
    try:
        p.wait_for(re.escape(PROMPT), 30)
        return p.output
    finally:
        p.stop()


def decoders(out):
    return re.findall(r"Adding decoder:0x([0-9a-f]+)\n", out)


def encoders(out):
    return re.findall(r"Adding encoder 0x([0-9a-f]+)\. stream audio to - ([0-9.]+):(\d+)\n", out)


class CliTests(Tests):
    def test_usage_exits(self):
        for args, examined in [([], []), (["-d"], [RELAYSIM, "-d"]), (["-n", "3"], [RELAYSIM, "-n"]),
                               (["-l", "0"], [RELAYSIM, "-l"])]:
            r = subprocess.run([RELAYSIM] + args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                               timeout=30)
            expected = ("Initializing Logging service\n"
                        + "".join("Current Options:%s\n" % w for w in examined)
                        + USAGE % (RELAYSIM, RELAYSIM))
            assert r.returncode == 255, (args, r.returncode)
            assert r.stdout.decode() == expected, (args, r.stdout.decode())

    def test_start_up_order_and_last_word(self):
        port = free_port()
        out = started(["-l", str(port), "-r", "127.0.0.1:%d" % free_port(), "-p",
                       "127.0.0.1:4000", "-d", "-e"])
        lines = out.split("\n")
        assert lines[0] == "Initializing Logging service", lines[0]
        assert lines[1] == "Current Options:%s" % RELAYSIM
        assert lines[2:7] == ["Current Options:-l", "Current Options:-r", "Current Options:-p",
                              "Current Options:-d", "Current Options:-e"], lines[2:7]
        m = re.search(r"ref server is : 7f000001, project ID - 0, encoder port - (\d+), "
                      r"decoder port - (\d+)\n", out)
        assert m and m.group(1) == m.group(2), out[:2000]
        assert len(decoders(out)) == 10, out
        assert out.count("Thread 0x") >= 10
        assert len(encoders(out)) == 10, "-e written last still emulates encoders"
        assert out.index("ref server is") < out.index("Adding decoder")

    def test_diagnostic_decoders(self):
        port = str(free_port())
        out = started(["-l", port, "-x", "258", "-n", "2", "-d", "-l", port])
        assert decoders(out) == ["ffff00010102", "ffff00020102"], decoders(out)
        assert "project ID - 258," in out
        out = started(["-l", port, "-x", "258", "-n", "2"])
        assert decoders(out) == [], "no -d, no decoders"
        out = started(["-l", port, "-st", "65535", "-x", "258", "-n", "1", "-d", "-l", port])
        assert decoders(out) == ["ffff00000102"], decoders(out)

    def test_list_files(self):
        with tempfile.TemporaryDirectory() as tmp:
            dec = os.path.join(tmp, "decoders.txt")
            enc = os.path.join(tmp, "encoders.txt")
            with open(dec, "wb") as f:
                f.write(b"# decoders of the test rig\r\n"
                        b"0x0a1b2c3d4e01\r\n"
                        b"0A1B2C3D4E02  front desk\r\n"
                        b"\r\n"
                        b"00:0a:1b:2c:3d:4e\r\n"
                        b"0a:1b:2c:3d:4e:5f\r\n"
                        b"0a1b2c3d4e03\r\n"
                        b"0a1b2c3d4e04")
            with open(enc, "wb") as f:
                f.write(b"0b0000000001\n0b0000000002\n0b0000000003\n")
            port = str(free_port())
            out = started(["-n", "3", "-st", "3", "-d", dec, "-e", enc, "-r", "127.0.0.1:7000",
                           "-l", port])
            assert "reading decoder mac list from - %s\n" % dec in out
            assert "reading encoder mac list from - %s\n" % enc in out
            # From line 3 on: the remark line, the blank line and the first address are skipped.
            assert decoders(out) == ["0a1b2c3d4e02", "00000000000a", "0a1b2c3d4e03"], decoders(out)
            assert [e[0] for e in encoders(out)] == ["0b0000000003"], "line 3 and on"
            assert encoders(out)[0][1:] == ("127.0.0.1", "7000")

            # "-n" after "-d": the file is read with the count 10; a count of -1 then takes
            # the whole decoder list but a single encoder.
            out = started(["-d", dec, "-e", enc, "-n", "-1", "-l", port])
            assert len(decoders(out)) == 5, decoders(out)
            assert [e[0] for e in encoders(out)] == ["0b0000000001"]

    def test_bad_input_is_refused_in_one_line(self):
        """Nothing that would run silently wrong gets past the door: exit 255, one line."""
        with tempfile.TemporaryDirectory() as tmp, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
            taken.bind(("0.0.0.0", 0))
            busy = str(taken.getsockname()[1])
            empty = os.path.join(tmp, "empty.txt")
            with open(empty, "w") as f:
                f.write("# no address here\n\n")
            l = ["-l", str(free_port())]
            HP = "needs host:port with a port from 1 to 65535, not "
            cases = [
                (["-r", "nosuchhost.invalid:5000"] + l, '-r: can\'t resolve the host "nosuchhost.invalid"'),
                (["-r", "127.0.0.1"] + l, '-r ' + HP + '"127.0.0.1"'),
                (["-r", "127.0.0.1:99999"] + l, '-r ' + HP + '"127.0.0.1:99999"'),
                (["-p", ":5"] + l, '-p ' + HP + '":5"'),
                (["-l", "70000"], '-l needs a port from 0 to 65535, not "70000"'),
                (["-l", "12x"], '-l needs a port from 0 to 65535, not "12x"'),
                (l + ["--duraton", "3"], 'unknown option "--duraton" (%s --help lists them)' % RELAYSIM),
                (l + ["stray"], '"stray" is no option (%s --help lists them)' % RELAYSIM),
                (l + ["-n", "abc"], '-n needs a whole number, not "abc"'),
                (l + ["-x", "65794"], '-x needs a project ID from 0 to 65535, not "65794"'),
                (l + ["-n"], "-n needs a value: -n COUNT"),
                (l + ["-d", "/nonexistent"], "-d: can't read the list file /nonexistent: No such file or directory"),
                (l + ["-e", tmp + "/"], "-e: can't read the list file %s/: it is a folder" % tmp),
                (l + ["-d", empty], "-d: the list file %s holds no device address" % empty),
                (l + ["-st", "9", "-d", empty], "-d: the list file %s holds no device address from line 9 on" % empty),
                (["-l", busy, "-d"], "-l %s: can't bind the local port: Address already in use" % busy),
            ]
            for args, line in cases:
                r = subprocess.run([RELAYSIM] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, timeout=30)
                assert (r.returncode, r.stderr.decode()) == (255, "relaysim: %s\n" % line), (args, r)
                assert "Adding decoder" not in r.stdout.decode(), (args, "nothing starts")

    def test_help_lists_what_the_man_page_describes(self):
        r = subprocess.run([RELAYSIM, "-l", "1", "--help"], stdout=subprocess.PIPE, timeout=30)
        assert r.returncode == 0, r.returncode
        listed = re.findall(r"^  (-[-a-z]+)", r.stdout.decode(), re.M)
        assert len(listed) == 23 and "--start-interval" in listed, listed
        with open(MAN_PAGE) as f:
            page = f.read()
        page = page[page.index(".SH OPTIONS\n"):page.index(".SH DEVICE LIST FILES\n")]
        described = {d.replace("\\-", "-") for d in re.findall(r"^\.TP\n\.B[IR]? (\S+)", page, re.M)
                     if d.startswith("\\-")}
        assert described == set(listed), (sorted(described - set(listed)), sorted(set(listed) - described))

    def test_descriptor_limit_it_cannot_raise(self):
        def hard_1024():
            resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))
        r = subprocess.run([RELAYSIM, "-l", str(free_port()), "-x", "7", "-n", "3000", "-d"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                           preexec_fn=hard_1024, timeout=30)
        assert r.returncode == 255, r.returncode
        assert r.stderr.decode() == (
            "relaysim: 3000 decoders need 3064 open files, but the hard limit (ulimit -Hn) is "
            "1024: raise it (as root: ulimit -Hn 3064)\n"), r.stderr
        assert "Adding decoder" not in r.stdout.decode(), "nothing starts"


if __name__ == "__main__":
    CliTests().run()
