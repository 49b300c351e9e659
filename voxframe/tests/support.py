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


def python_command():
    """The interpreter under test, with the emulator in front of it when cross-built."""
    command = os.environ.get("VOXFRAME_SUBPROCESS")
    return command.split("|") if command else [sys.executable]


def run_python(code, command=None, timeout=300):
    """Runs code in a new interpreter; the module's build folder stays on PYTHONPATH."""
    return subprocess.run((command or python_command()) + ["-c", code],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout, env=dict(os.environ))
