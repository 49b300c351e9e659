#!/usr/bin/env python3
"""Stand-in configuration server: answers each UDP request with a configurable reply text."""

import argparse
import os
import re
import select
import signal
import socket
import sys
import time

DEFAULT_REPLY = r"id=12,ref_ip=127.0.0.1,audio_port=5004,"

ESCAPE = re.compile(rb"\\(x[0-9a-fA-F]{2}|[0\\nrt])")
SIMPLE = {b"0": b"\0", b"\\": b"\\", b"n": b"\n", b"r": b"\r", b"t": b"\t"}


def unescape(text):
    """Turn the C-style escapes of a reply given on the command line into bytes."""
    def one(match):
        code = match.group(1)
        if code.startswith(b"x"):
            return bytes([int(code[1:], 16)])
        return SIMPLE[code]
    return ESCAPE.sub(one, text.encode("latin-1"))


def shown(data):
    """One-line form of a datagram: printable ASCII as is, anything else as \\xNN."""
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Stand-in for the configuration server. Prints the bound port alone on "
                    "its first line, then one line per request received and per reply sent.")
    p.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=0,
                   help="UDP port to bind; 0 picks a free one (default 0)")
    p.add_argument("--reply", action="append", metavar="TEXT",
                   help="reply text; \\0 \\\\ \\n \\r \\t \\xNN are decoded. Repeat it to answer "
                        "successive requests with successive texts, the last one repeating "
                        "(default %r)" % DEFAULT_REPLY)
    p.add_argument("--pad-to", type=int, default=0, metavar="N",
                   help="append '.' to each reply up to N bytes, e.g. 2000 for an oversize reply")
    p.add_argument("--silent", type=int, default=0, metavar="K",
                   help="stay silent for the first K requests")
    p.add_argument("--delay", type=int, default=0, metavar="MS",
                   help="wait MS milliseconds before each reply")
    p.add_argument("--until-eof", action="store_true",
                   help="also end when standard input ends, so that a test that started it "
                        "through a pipe takes it down with itself, even when the test dies")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    replies = [unescape(r) for r in (args.reply or [DEFAULT_REPLY])]
    replies = [r + b"." * max(0, args.pad_to - len(r)) for r in replies]

    # Terminated from outside in normal use: end quietly.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.host, args.port))
    print(sock.getsockname()[1], flush=True)

    watch = [sock, sys.stdin] if args.until_eof else [sock]
    requests = 0
    answered = 0
    try:
        while True:
            ready, _, _ = select.select(watch, [], [])
            if sys.stdin in ready and not os.read(sys.stdin.fileno(), 4096):
                break
            if sock not in ready:
                continue
            data, peer = sock.recvfrom(65535)
            requests += 1
            print("request %d from %s:%d (%d bytes): %s"
                  % (requests, peer[0], peer[1], len(data), shown(data)), flush=True)
            if requests <= args.silent:
                print("silent %d" % requests, flush=True)
                continue
            if args.delay > 0:
                time.sleep(args.delay / 1000.0)
            reply = replies[min(answered, len(replies) - 1)]
            answered += 1
            sock.sendto(reply, peer)
            print("reply %d (%d bytes)" % (requests, len(reply)), flush=True)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
