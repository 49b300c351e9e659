"""Shared by the voxframe tests: the record's usual arguments and a fresh interpreter per snippet."""
import os
import subprocess
import sys

STAMP_1000 = b"\x00\x00\x03\xe8"


def base_args(**overrides):
    args = dict(sequence_number=1, gpios=0, timestamp_bytes=STAMP_1000, rtp_timestamp_ms=0,
                data=b"abc")
    args.update(overrides)
    return args


def python_command(executable=None):
    """An interpreter (by default the one under test), with the emulator in front when cross-built."""
    emulator = os.environ.get("VOXFRAME_EMULATOR")
    return (emulator.split("|") if emulator else []) + [executable or sys.executable]


def run_python(code, command=None, timeout=300, env=None):
    """Runs code in a new interpreter and returns its output; the child must exit with status 0.
    The module's build folder stays on PYTHONPATH; env adds to the environment."""
    done = subprocess.run((command or python_command()) + ["-c", code],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout,
                          env=dict(os.environ, **(env or {})))
    if done.returncode != 0:
        raise AssertionError("child exit status %d: %s" % (done.returncode, done.stderr[-3000:]))
    return done.stdout
