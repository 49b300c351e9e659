"""voxframe's VoxFrame against the fastest pure-Python class doing the same: the constructor alone,
get_data() alone and both, at 20 and 1,400 payload bytes.

Rounds are interleaved: each round times one batch of every variant, so a busy moment of a shared
machine slows all of them alike; each variant's fastest batch is reported. Run under the
interpreter the module was built for, with its build folder on PYTHONPATH:
    PYTHONPATH=build/voxframe "$(pyenv prefix 3.8)/bin/python3.8" bench/voxframe_bench.py [rounds]
"""
import sys
import time
from ctypes import POINTER, Structure, c_bool, c_ubyte, c_uint8, c_uint16, c_uint32, string_at
from typing import Union

import voxframe

BATCH = 2000
SIZES = (20, 1400)
STAMP = b"\x00\x01\x02\x03"


class PyVoxFrame(Structure):
    """The record as a device developer would write it in Python, tuned: the base initialiser
    called directly, and get_data() one ctypes.string_at instead of a slice into a list."""
    _fields_ = [
        ("sequence_number", c_uint16),
        ("gpios", c_uint8),
        ("timestamp_bytes", c_ubyte * 4),
        ("rtp_timestamp_ms", c_uint32),
        ("data", POINTER(c_ubyte)),
        ("data_len", c_uint16),
        ("replica", c_bool),
        ("timestamp_ms", c_uint32),
    ]

    def __init__(self, sequence_number, gpios, timestamp_bytes, rtp_timestamp_ms, data,
                 data_len=None, replica=False, timestamp_ms=None, empty_packet=False):
        Structure.__init__(self)
        self.data_len = data_len if data_len is not None else len(data)
        self.sequence_number = sequence_number
        self.gpios = gpios
        self.timestamp_bytes = (c_ubyte * len(timestamp_bytes))(*timestamp_bytes)
        self.rtp_timestamp_ms = rtp_timestamp_ms
        self.data = (c_ubyte * self.data_len).from_buffer_copy(data)
        self.replica = replica
        if timestamp_ms is not None:
            self.timestamp_ms = timestamp_ms
        else:
            self.timestamp_ms = self._bytes_timestamp_to_ms(timestamp_bytes)
        self.__empty = empty_packet

    @staticmethod
    def _bytes_timestamp_to_ms(timestamp: Union[bytes, bytearray]):
        return int.from_bytes(timestamp, byteorder="big")

    def is_empty(self):
        return self.__empty

    def get_data(self):
        return string_at(self.data, self.data_len)


def construct(cls, payload, records):
    start = time.perf_counter()
    for seq in range(BATCH):
        cls(seq, 0, STAMP, seq, payload)
    return time.perf_counter() - start


def read(cls, payload, records):
    start = time.perf_counter()
    for r in records:
        r.get_data()
    return time.perf_counter() - start


def both(cls, payload, records):
    start = time.perf_counter()
    for seq in range(BATCH):
        cls(seq, 0, STAMP, seq, payload).get_data()
    return time.perf_counter() - start


OPERATIONS = [("constructor", construct), ("get_data()", read), ("both", both)]
CLASSES = [voxframe.VoxFrame, PyVoxFrame]


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    print("python %s, module %s, %d interleaved rounds of %d records"
          % (sys.version.split()[0], voxframe.__file__, rounds, BATCH))
    payloads = {size: bytes(range(256)) * (size // 256) + bytes(range(size % 256))
                for size in SIZES}
    records = {}
    for size, payload in payloads.items():
        for cls in CLASSES:
            assert cls(1, 0, STAMP, 0, payload).get_data() == payload
            records[cls, size] = [cls(seq, 0, STAMP, seq, payload) for seq in range(BATCH)]
    best = {}
    for _ in range(rounds):
        for size, payload in payloads.items():
            for name, operation in OPERATIONS:
                for cls in CLASSES:
                    seconds = operation(cls, payload, records[cls, size])
                    key = (size, name, cls)
                    best[key] = min(best.get(key, seconds), seconds)
    print("| payload | operation | voxframe ns/record | pure Python ns/record | ratio |")
    print("|---|---|---|---|---|")
    for size in SIZES:
        for name, _ in OPERATIONS:
            native, python = (best[size, name, cls] / BATCH * 1e9 for cls in CLASSES)
            target = " (target >= 2)" if size == 20 and name != "get_data()" else ""
            print("| %d bytes | %s | %.0f | %.0f | %.2fx%s |"
                  % (size, name, native, python, python / native, target))


if __name__ == "__main__":
    main()
