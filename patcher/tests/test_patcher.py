"""Runs the built lumatra_fw_update_patcher (test-path variant) against substitute hook scripts and list files.

Usage: test_patcher.py --root DIR --production BIN [--sanitized=LIST] [unittest args] -- [EMULATOR...] TEST_BIN
"""
import argparse
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
import unittest

ROOT = b""
SCRIPT = b""
LIST = b""
PREFIX = []       # emulator words, empty on the host
PROGRAM = []      # PREFIX plus the test-path binary
PRODUCTION = []   # PREFIX plus the shipped binary
SANITIZED = False

TIMEOUT = 120     # seconds per run; qemu on a loaded machine is slow, never this slow
USAGE = [b"[ERROR] Usage: lumatra_fw_update_patcher <string>"]
REJECTED = [b"[ERROR] Argument is not a valid string (empty or contains control characters)."]


def configure(root, production, command, sanitized):
    global ROOT, SCRIPT, LIST, PREFIX, PROGRAM, PRODUCTION, SANITIZED
    ROOT = os.fsencode(os.path.abspath(root))
    SCRIPT = ROOT + b"/hooks/firmware-update"
    LIST = ROOT + b"/affected_versions.txt"
    PREFIX = command[:-1]
    PROGRAM = command
    PRODUCTION = PREFIX + [production]
    SANITIZED = bool(sanitized)


def path(name):
    return ROOT + b"/" + name


def loaded(count):
    return [b"[INFO] Loaded match list from file: " + LIST + b" (" + str(count).encode() + b" entries)"]


def fallback():
    # The dash is U+2013, not a hyphen.
    return [b"[WARN] Could not read list file '" + LIST + b"' \xe2\x80\x93 falling back to hardcoded list.",
            b"[INFO] Hardcoded list loaded (2 entries)"]


def accepted(version):
    return [b"[INFO] Input accepted: '" + version + b"'"]


def no_match(version):
    return [b"[INFO] No match found for '" + version + b"'. Nothing to patch."]


def matched(version):
    return [b"[INFO] Match found for '" + version + b"'. Proceeding with patch.",
            b"[INFO] Executing script: " + SCRIPT + b" 'start'"]


SUCCESS = [b"[INFO] Script completed successfully."]


def exited(code):
    return [b"[ERROR] Script exited with code " + str(code).encode() + b"."]


def as_bytes(s):
    return s if isinstance(s, bytes) else s.encode()


def lines(*groups):
    return b"".join(line + b"\n" for group in groups for line in group)


class PatcherCase(unittest.TestCase):
    """Gives each test a fresh scratch folder at the paths the test variant was built with."""

    def setUp(self):
        shutil.rmtree(ROOT, ignore_errors=True)
        os.makedirs(path(b"hooks"))

    def write_list(self, content):
        if content is not None:
            with open(LIST, "wb") as f:
                f.write(content)

    def write_script(self, body, mode=0o755):
        with open(SCRIPT, "wb") as f:
            f.write(b"#!/bin/sh\n" + as_bytes(body))
        os.chmod(SCRIPT, mode)

    def write_marking_script(self):
        """A script whose only trace is a marker file, to tell whether it ran."""
        self.write_script(b"touch " + path(b"ran") + b"\n")

    def script_ran(self):
        return os.path.exists(path(b"ran"))

    def run_patcher(self, args, preexec_fn=None, stderr_expected=False):
        proc = subprocess.run(PROGRAM + [as_bytes(a) for a in args],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT, preexec_fn=preexec_fn)
        self.assertIn(proc.returncode, (0, 1), proc)
        if not stderr_expected:
            self.assertEqual(proc.stderr, b"", "the patcher wrote to standard error")
        return proc

    def check(self, args, stdout, status, **kwargs):
        proc = self.run_patcher(args, **kwargs)
        self.assertEqual(proc.stdout, stdout)
        self.assertEqual(proc.returncode, status)
        return proc


class ArgumentTest(PatcherCase):
    def test_wrong_argument_counts_give_count_and_usage(self):
        for args, count in [([], b"0"), (["2.3.2", "2.3.2"], b"2"), (["a", "b", "c"], b"3"), (["", ""], b"2")]:
            with self.subTest(args=args):
                self.write_marking_script()
                self.check(args, lines([b"[ERROR] Expected exactly 1 argument, got " + count + b"."], USAGE), 1)
                self.assertFalse(self.script_ran())

    def test_control_characters_and_empty_argument_are_rejected(self):
        self.write_list(b"2.3.2\n")
        for arg in [b"", b"2.3\t2", b"\t", b"2.3.2\x7f", b"\x7f", b"2.3.2\n", b"\n2.3.2", b"2.3.2\r",
                    b"\x01", b"\x1f2.3.2", b"2.3.2\x1b[0m"]:
            with self.subTest(arg=arg):
                self.write_marking_script()
                self.check([arg], lines(REJECTED), 1)
                self.assertFalse(self.script_ran())

    def test_printable_and_high_bytes_are_accepted_verbatim(self):
        for arg in [b" ", b"~", b'say "2.3.2"', b"it's", "2.3.2\u00e9".encode(), "\u00e9".encode(),
                    b"\x80", b"\xff\xfe", b"2.3.2 ", b" 2.3.2", b"V2.3.2", b"x" * 100000]:
            with self.subTest(arg=arg[:20]):
                self.write_marking_script()
                self.check([arg], lines(accepted(arg), fallback(), no_match(arg)), 0)
                self.assertFalse(self.script_ran(), "a version not in the set must start no process")


class ListFileTest(PatcherCase):
    # name, list file content (None: no file), version, expected entry count, matched
    CASES = [
        ("no file: first built-in", None, "2.3.2", None, True),
        ("no file: second built-in", None, "2.3.3", None, True),
        ("no file: other version", None, "2.3.4", None, False),
        ("no file: built-in needs exact case and form", None, "v2.3.2", None, False),
        ("empty file", b"", "2.3.2", 0, False),
        ("only comments and blank lines", b"# affected\n\n#2.3.2\n\r\n#\n", "2.3.2", 0, False),
        ("file replaces the built-in list", b"9.9.9\n", "2.3.2", 1, False),
        ("file entry matches", b"9.9.9\n", "9.9.9", 1, True),
        ("LF line ends", b"2.3.4\n2.3.5\n", "2.3.5", 2, True),
        ("CR-LF line ends", b"2.3.4\r\n2.3.5\r\n", "2.3.5", 2, True),
        ("CR-LF first entry", b"2.3.4\r\n2.3.5\r\n", "2.3.4", 2, True),
        ("two CRs keep one", b"2.3.4\r\r\n", "2.3.4", 1, False),
        ("last line without LF", b"2.3.4\n2.3.5", "2.3.5", 2, True),
        ("last line without LF after CR", b"2.3.4\r", "2.3.4", 1, True),
        ("blank after version: bare misses", b"2.3.4 \n", "2.3.4", 1, False),
        ("blank after version: exact hits", b"2.3.4 \n", "2.3.4 ", 1, True),
        ("blank before version: bare misses", b" 2.3.4\n", "2.3.4", 1, False),
        ("blank before version: exact hits", b" 2.3.4\n", " 2.3.4", 1, True),
        ("tab kept in entry", b"2.3.4\t\n", "2.3.4", 1, False),
        ("hash after a blank is an entry", b" #2.3.4\n", " #2.3.4", 1, True),
        ("hash inside an entry", b"2.3#4\n", "2.3#4", 1, True),
        ("duplicates count once", b"2.3.2\n2.3.2\n2.3.3\n", "2.3.3", 2, True),
        ("suffix does not match", b"2.3.4-rc1\n", "2.3.4", 1, False),
        ("prefix does not match", b"v2.3.4\n", "2.3.4", 1, False),
        ("case is kept", b"A.B\n", "a.b", 1, False),
        ("NUL inside an entry", b"2.3\x004\n", "2.3", 1, False),
        ("binary noise", bytes(range(256)) * 4, "2.3.2", 3, False),
        ("UTF-8 entry", "2.3.\u00e9\n".encode(), "2.3.\u00e9", 1, True),
        ("long entry", b"y" * 100000 + b"\n", "y" * 100000, 1, True),
        ("many entries", b"".join(b"1.%d\n" % i for i in range(20000)), "1.19999", 20000, True),
    ]

    def test_list_file_decides_the_match(self):
        for name, content, version, count, hit in self.CASES:
            with self.subTest(name):
                self.setUp()
                self.write_list(content)
                self.write_marking_script()
                version = as_bytes(version)
                source = fallback() if count is None else loaded(count)
                tail = matched(version) + SUCCESS if hit else no_match(version)
                self.check([version], lines(accepted(version), source, tail), 0)
                self.assertEqual(self.script_ran(), hit)

    def test_unreadable_list_paths_never_crash(self):
        # A directory opens but reads nothing: counted as loaded with no entry, like a read error at the start.
        os.mkdir(LIST)
        self.check(["2.3.2"], lines(accepted(b"2.3.2"), loaded(0), no_match(b"2.3.2")), 0)
        os.rmdir(LIST)
        # A dangling link cannot be opened: the built-in list is used.
        os.symlink(path(b"nowhere"), LIST)
        self.write_marking_script()
        self.check(["2.3.3"], lines(accepted(b"2.3.3"), fallback(), matched(b"2.3.3"), SUCCESS), 0)
        self.assertTrue(self.script_ran())


class RelayTest(PatcherCase):
    LINE = bytes((b"0123456789abcdefghijklmnopqrstuvwxyz" * 40)[:1200])
    # name, what the script writes, the relayed pieces
    CASES = [
        ("nothing", b"", []),
        ("one line", b"patching\n", [b"patching"]),
        ("1200-byte line in three pieces", LINE + b"\n", [LINE[:511], LINE[511:1022], LINE[1022:]]),
        ("510 bytes and LF fit one piece", LINE[:510] + b"\n", [LINE[:510]]),
        ("511 bytes fill a piece, LF comes alone", LINE[:511] + b"\n", [LINE[:511], b""]),
        ("empty line", b"\n", [b""]),
        ("empty lines between", b"a\n\n\nb\n", [b"a", b"", b"", b"b"]),
        ("last line without LF", b"one\ntwo", [b"one", b"two"]),
        ("CR kept", b"dos\r\nline\r\n", [b"dos\r", b"line\r"]),
        ("lone CR kept", b"\r", [b"\r"]),
        ("NUL cuts the piece", b"ab\x00cd\nef\n", [b"ab", b"ef"]),
        ("NUL first", b"\x00xyz\n", [b""]),
        ("high bytes", "\u00e9t\u00e9\n".encode() + b"\xff\n", ["\u00e9t\u00e9".encode(), b"\xff"]),
    ]

    def test_script_output_is_relayed_in_pieces(self):
        for name, output, pieces in self.CASES:
            with self.subTest(name):
                with open(path(b"output"), "wb") as f:
                    f.write(output)
                self.write_script(b"cat " + path(b"output") + b"\n")
                relayed = [b"[SCRIPT] " + p for p in pieces]
                self.check(["2.3.2"], lines(accepted(b"2.3.2"), fallback(), matched(b"2.3.2"), relayed, SUCCESS), 0)

    def test_script_gets_the_one_word_start_and_shares_stderr(self):
        self.write_script(b'echo "$#:$1"\necho "to stderr" >&2\n')
        proc = self.check(["2.3.3"], lines(accepted(b"2.3.3"), fallback(), matched(b"2.3.3"),
                                           [b"[SCRIPT] 1:start"], SUCCESS), 0, stderr_expected=True)
        self.assertEqual(proc.stderr, b"to stderr\n")


def four_descriptors():
    # Enough for the loader to open one library at a time, one short of a pipe.
    resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))


class ExitCodeTest(PatcherCase):
    # Kills the shell popen started (the script's parent) when there is one, else the script itself:
    # either way the process pclose waits for ends by SIGKILL.
    KILL_PARENT = (b"echo going\n"
                   b"if tr '\\000' ' ' < /proc/$PPID/cmdline | grep -q '^sh -c '; then kill -KILL $PPID;"
                   b" else kill -KILL $$; fi\n")
    # name, script body (None: absent), file mode, relayed pieces, reported code,
    # the shell's complaint on stderr (None: it may or may not report the signal)
    CASES = [
        ("exit 1", b"exit 1\n", 0o755, [], 1, False),
        ("exit 3", b"echo failing\nexit 3\n", 0o755, [b"failing"], 3, False),
        ("exit 255", b"exit 255\n", 0o755, [], 255, False),
        ("absent script", None, 0, [], 127, True),
        ("script not executable", b"exit 0\n", 0o644, [], 126, True),
        ("script kills its parent shell", KILL_PARENT, 0o755, [b"going"], 137, False),
        ("script ended by SIGTERM", b"kill -TERM $$\n", 0o755, [], 143, None),
    ]

    def test_script_failures_give_status_1_with_the_code(self):
        for name, body, mode, pieces, code, shell_complains in self.CASES:
            with self.subTest(name):
                self.setUp()
                if body is not None:
                    self.write_script(body, mode)
                relayed = [b"[SCRIPT] " + p for p in pieces]
                proc = self.check(["2.3.2"], lines(accepted(b"2.3.2"), fallback(), matched(b"2.3.2"), relayed,
                                                   exited(code)), 1, stderr_expected=shell_complains is not False)
                if shell_complains:
                    self.assertNotEqual(proc.stderr, b"")

    def test_shell_that_cannot_start_is_reported_as_minus_1(self):
        if PREFIX or SANITIZED:
            self.skipTest("the emulator and the sanitizers need descriptors of their own")
        self.write_marking_script()
        self.check(["2.3.2"], lines(accepted(b"2.3.2"), fallback(), matched(b"2.3.2"),
                                    [b"[ERROR] popen failed: Too many open files"], exited(-1)), 1,
                   preexec_fn=four_descriptors)
        self.assertFalse(self.script_ran())


class ShellSafetyTest(PatcherCase):
    def test_version_with_shell_metacharacters_reaches_no_shell(self):
        marks = [path(b"m%d" % i) for i in range(5)]
        version = (b"2.3.2$(touch " + marks[0] + b")`touch " + marks[1] + b"`'; touch " + marks[2] +
                   b"; '\"; touch " + marks[3] + b"; \"|touch " + marks[4] + b"&$HOME*?<>")
        self.write_list(b"2.3.2\n" + version + b"\n")
        # The script records what it was given: its words, its environment and its parent's command line.
        self.write_script(b'for a in "$@"; do printf "%s\\n" "$a"; done > ' + path(b"args") + b"\n"
                          b"cat /proc/$$/environ > " + path(b"environ") + b"\n"
                          b"cat /proc/$PPID/cmdline > " + path(b"parent") + b"\n")
        self.check([version], lines(accepted(version), loaded(2), matched(version), SUCCESS), 0)
        for mark in marks:
            self.assertFalse(os.path.exists(mark), mark)
        with open(path(b"args"), "rb") as f:
            self.assertEqual(f.read(), b"start\n")
        with open(path(b"environ"), "rb") as f:
            self.assertNotIn(b"$(touch", f.read())
        with open(path(b"parent"), "rb") as f:
            parent = f.read()
        # A shell that execs its one command leaves the patcher itself as the parent.
        if parent.startswith(b"sh\0-c\0"):
            self.assertEqual(parent, b"sh\0-c\0" + SCRIPT + b" 'start'\0")


def wait_in_shell(name):
    """Shell lines that wait for the file `name` to appear, for two minutes at most."""
    return (b"i=0; while [ ! -e " + path(name) + b" ] && [ $i -lt 1200 ]; do sleep 0.1; i=$((i+1)); done\n")


def wait_for(name):
    """Waits for the file `name` to appear, for two minutes at most."""
    for _ in range(1200):
        if os.path.exists(name):
            return
        time.sleep(0.1)


def ignore_sigpipe():
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)


def inherit(ignored, blocked):
    """A parent that leaves these signals ignored and blocked, as a careless wrapper does."""
    def prepare():
        for number in ignored:
            signal.signal(number, signal.SIG_IGN)
        signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
    return prepare


def signal_bit(number):
    return 1 << (number - 1)


SIGPIPE_BIT = signal_bit(signal.SIGPIPE)


class HookLifetimeTest(PatcherCase):
    # name, signals the patcher's parent ignores, signals it blocks, the background child, hook exit code
    CASES = [
        ("inherited defaults", [], [], "holder", 3),
        ("SIGCHLD ignored", [signal.SIGCHLD], [], "holder", 0),
        ("SIGCHLD blocked", [], [signal.SIGCHLD], "holder", 0),
        ("nohup-like: SIGHUP and SIGCHLD ignored, SIGCHLD blocked",
         [signal.SIGHUP, signal.SIGCHLD], [signal.SIGCHLD], "holder", 4),
        ("SIGCHLD blocked, background child writing without pause", [], [signal.SIGCHLD], "flood", 0),
    ]

    def test_background_child_holding_the_output_does_not_hold_the_patcher(self):
        # The child keeps the hook's output open until released, which happens only after the patcher
        # has ended; a patcher that waits for the pipe's end runs into the time-out instead.
        for name, ignored, blocked, child, code in self.CASES:
            with self.subTest(name):
                self.setUp()
                flood = b"yes noise | head -n 2000000; " if child == "flood" else b""
                # The shell takes SIGCHLD and clears its mask for itself, so of what the parent left only
                # the other ignored signals show in the hook's own view.
                self.write_script(b"grep SigIgn /proc/$$/status > " + path(b"sigign") + b"\n"
                                  b"echo before\n"
                                  b"(" + flood + wait_in_shell(b"release") + b"touch " + path(b"released") + b"\n"
                                  b"echo late) 2>/dev/null &\n"
                                  b"echo after\nexit %d\n" % code)
                try:
                    proc = subprocess.run(PROGRAM + [b"2.3.2"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, timeout=TIMEOUT / 2,
                                          preexec_fn=inherit(ignored, blocked))
                finally:
                    open(path(b"release"), "wb").close()
                    # The next case's fresh folder must not take the release away from this child.
                    if os.path.exists(path(b"sigign")):
                        wait_for(path(b"released"))
                head = lines(accepted(b"2.3.2"), fallback(), matched(b"2.3.2"), [b"[SCRIPT] before"])
                tail = lines(SUCCESS if code == 0 else exited(code))
                if child == "flood":
                    # What the flood adds before the shell's end interleaves with "after" at any byte.
                    self.assertTrue(proc.stdout.startswith(head), proc.stdout[:1000])
                    self.assertTrue(proc.stdout.endswith(tail), proc.stdout[-1000:])
                    relayed = proc.stdout[len(head):-len(tail)].splitlines()
                    self.assertEqual([line for line in relayed if not line.startswith(b"[SCRIPT] ")], [])
                else:
                    self.assertEqual(proc.stdout, head + lines([b"[SCRIPT] after"]) + tail)
                self.assertEqual(proc.stderr, b"")
                self.assertEqual(proc.returncode, 0 if code == 0 else 1)
                with open(path(b"sigign"), "rb") as f:
                    ignoring = int(f.read().split()[1], 16)
                if not PREFIX:
                    # qemu-user takes the fatal signals for itself, so nothing it runs inherits them ignored.
                    self.assertEqual(ignoring & signal_bit(signal.SIGHUP) != 0, signal.SIGHUP in ignored)
                self.assertEqual(ignoring & SIGPIPE_BIT, 0, "the hook inherited an ignored SIGPIPE")

    def test_reader_going_away_lets_the_hook_run_to_its_end(self):
        # The hook writes far more than a pipe holds once the reader has gone, then records its end.
        # hook exit code, patcher status, the patcher itself started with SIGPIPE ignored
        for code, status, inherited_ignore in [(0, 0, False), (3, 1, False), (0, 0, True)]:
            with self.subTest(code=code, inherited_ignore=inherited_ignore):
                self.setUp()
                self.write_script(wait_in_shell(b"go") +
                                  b"i=0; while [ $i -lt 4000 ]; do echo \"progress line $i of a long firmware step\";"
                                  b" i=$((i+1)); done\n"
                                  b"grep SigIgn /proc/$$/status > " + path(b"sigign") + b"\n"
                                  b"touch " + path(b"done") + b"\nexit %d\n" % code)
                proc = subprocess.Popen(PROGRAM + [b"2.3.2"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE,
                                        preexec_fn=ignore_sigpipe if inherited_ignore else None)
                try:
                    first = proc.stdout.readline()
                    proc.stdout.close()
                    open(path(b"go"), "wb").close()
                    stderr = proc.stderr.read()
                    returncode = proc.wait(timeout=TIMEOUT)
                finally:
                    proc.kill()
                    proc.wait()
                    proc.stderr.close()
                self.assertTrue(os.path.exists(path(b"done")), "the hook was ended half way")
                self.assertEqual(first, lines(accepted(b"2.3.2")))
                self.assertEqual(stderr, b"")
                self.assertEqual(returncode, status)
                with open(path(b"sigign"), "rb") as f:
                    self.assertEqual(int(f.read().split()[1], 16) & SIGPIPE_BIT, 0,
                                     "the hook inherited an ignored SIGPIPE")


def limit_address_space(megabytes):
    limit = megabytes << 20
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


class MemoryTest(PatcherCase):
    def setUp(self):
        if PREFIX or SANITIZED:
            self.skipTest("needs a plain host build to cap its address space")
        super().setUp()

    def test_endless_list_line_ends_the_reading(self):
        # The stream turns the failed allocation into a read error: the entries so far count as loaded.
        os.symlink(b"/dev/zero", LIST)
        self.write_marking_script()
        self.check(["2.3.2"], lines(accepted(b"2.3.2"), loaded(0), no_match(b"2.3.2")), 0,
                   preexec_fn=limit_address_space(256))
        self.assertFalse(self.script_ran())

    def test_exhausted_memory_is_one_error_line_and_status_1(self):
        # One line just under a string capacity step: reading it needs about 190 MB at the peak,
        # copying it into the set about 250 MB, so the copy fails under a 230 MB cap. The file is sparse.
        length = 15 * (1 << 23) - 1
        with open(LIST, "wb") as f:
            f.seek(length)
            f.write(b"\n")
        self.check(["2.3.2"], lines(accepted(b"2.3.2"), [b"[ERROR] Unhandled exception: std::bad_alloc"]), 1,
                   preexec_fn=limit_address_space(230))


class ProductionBuildTest(unittest.TestCase):
    def test_shipped_binary_carries_the_device_paths_only(self):
        with open(PRODUCTION[-1], "rb") as f:
            image = f.read()
        self.assertIn(b"/quorvel/hooks/application/firmware-update", image)
        self.assertIn(b"/mnt/data/package/patches/affected_versions.txt", image)
        self.assertNotIn(ROOT, image)

    def test_shipped_binary_runs_without_touching_the_device(self):
        proc = subprocess.run(PRODUCTION, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
        self.assertEqual(proc.stdout, b"[ERROR] Expected exactly 1 argument, got 0.\n" + lines(USAGE))
        self.assertEqual(proc.stderr, b"")
        self.assertEqual(proc.returncode, 1)
        # No device list file here: a version outside the built-in list ends before any hook script.
        if not os.path.exists("/mnt/data/package/patches/affected_versions.txt"):
            proc = subprocess.run(PRODUCTION + [b"0.0.0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  timeout=TIMEOUT)
            self.assertTrue(proc.stdout.endswith(lines(no_match(b"0.0.0"))), proc.stdout)
            self.assertEqual(proc.returncode, 0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--production", required=True)
    parser.add_argument("--sanitized", default="")
    argv = sys.argv[1:]
    if "--" not in argv:
        parser.error("expected -- [EMULATOR...] TEST_BINARY")
    split = argv.index("--")
    options, rest = parser.parse_known_args(argv[:split])
    command = argv[split + 1:]
    if not command:
        parser.error("no test binary given")
    configure(options.root, options.production, command, options.sanitized)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
