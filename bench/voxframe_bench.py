"""Records built and read back per second: voxframe's VoxFrame against the same class in pure Python.

Run with the module's build folder on PYTHONPATH, under the interpreter it was built for:
    PYTHONPATH=build/voxframe "$(pyenv prefix 3.8)/bin/python3.8" bench/voxframe_bench.py [seconds]
"""
import sys
import time
from ctypes import POINTER, Structure, c_bool, c_ubyte, c_uint8, c_uint16, c_uint32
from typing import Union

import voxframe


class PyVoxFrame(Structure):
    """What a device developer would write without the extension module."""
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
        super().__init__()
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

    def get_timestamp_ms(self):
        return self.timestamp_ms

    def get_data(self):
        return bytes(self.data[:self.data_len])


def rate(cls, payload, seconds, read=True, kept=0):
    """Records per second in the fastest batch (on a shared machine the least disturbed one):
    build one and, if read, read its payload and timestamp back; the last kept records stay
    alive, as in a jitter buffer."""
    stamp = b"\x00\x01\x02\x03"
    batch = 2000
    ring = [None] * max(kept, 1)
    best = 0.0
    deadline = time.perf_counter() + seconds
    while True:
        start = time.perf_counter()
        for seq in range(batch):
            r = cls(seq, 0, stamp, seq, payload)
            if read:
                r.get_data()
                r.get_timestamp_ms()
            ring[seq % len(ring)] = r
        now = time.perf_counter()
        best = max(best, batch / (now - start))
        if now >= deadline:
            return best


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0
    print("python %s, module %s" % (sys.version.split()[0], voxframe.__file__))
    for size in (20, 160, 1000):
        payload = bytes(range(256)) * (size // 256) + bytes(size % 256)
        assert voxframe.VoxFrame(1, 0, b"1234", 0, payload).get_data() == \
            PyVoxFrame(1, 0, b"1234", 0, payload).get_data() == payload
        rate(voxframe.VoxFrame, payload, 0.2)  # warm-up
        native = rate(voxframe.VoxFrame, payload, seconds)
        python = rate(PyVoxFrame, payload, seconds)
        print("payload %4d bytes: voxframe %9.0f records/s, pure Python %9.0f records/s, "
              "ratio %.2f (target >= 2)" % (size, native, python, native / python))
        print("    voxframe constructor alone: %9.0f records/s, with 1000 records kept %9.0f/s"
              % (rate(voxframe.VoxFrame, payload, seconds, read=False),
                 rate(voxframe.VoxFrame, payload, seconds, read=False, kept=1000)))


if __name__ == "__main__":
    main()
